#include <gtest/gtest.h>

#include "app/protocol.h"
#include "app/source.h"
#include "runtime/codepage.h"
#include "tests/support/wire.h"

using namespace ts;
using testwire::Wire;

TEST(ProbeNumbers, EveryRunStartsWithTheSameSequence) {
  TProbeNumbers n;
  const uint32_t expected[] = {0, 313, 8610, 2025, 2729, 6716};
  for (uint32_t e : expected) EXPECT_EQ(n.Next(), e);
  TProbeNumbers fresh;
  EXPECT_EQ(fresh.Next(), 0u);
  for (int i = 0; i < 100000; ++i) ASSERT_LT(fresh.Next(), 10000u);
}

TEST(NoteDocument, BodyIsEveryUtf8ByteEscaped) {
  platform::LocalTime t{2026, 3, 7, 6, 9, 5, 4, 42};
  EXPECT_EQ(BuildNoteDocument("a", t), Wire("note-document.xml"));
  const std::string doc = BuildNoteDocument("<&\r\n日", t);
  EXPECT_NE(doc.find("<body>%3C%26%0D%0A%E6%97%A5</body>"), std::string::npos) << doc;
  EXPECT_NE(BuildNoteDocument("", t).find("<body></body>"), std::string::npos);
  EXPECT_EQ(PercentEncodeAll(std::string("\x00\xff", 2)), "%00%FF");
}

TEST(NoteDocument, PaperIdHasSeventeenDigits) {
  EXPECT_EQ(PaperId({2026, 12, 31, 4, 23, 59, 58, 999}), "20261231235958999");
  EXPECT_EQ(PaperId({999, 1, 2, 0, 3, 4, 5, 6}), "09990102030405006");
  EXPECT_EQ(PaperId({2026, 12, 8, 2, 14, 30, 0, 0}).size(), 17u);
}

TEST(Markers, PlainCaseSensitiveSearchAnywhere) {
  EXPECT_TRUE(HasLoginMarker("<input name=\"data[User][username]\">"));
  EXPECT_FALSE(HasLoginMarker("data[user][username]"));
  EXPECT_TRUE(HasSuccessMarker("x====y"));
  EXPECT_FALSE(HasSuccessMarker("=== ="));
  // The service's own answers.
  EXPECT_TRUE(HasLoginMarker(Wire("answer-login.html")));
  EXPECT_FALSE(HasLoginMarker(Wire("answer-signed-in.html")));
  EXPECT_FALSE(HasLoginMarker(Wire("answer-stored.html")));
  EXPECT_TRUE(HasSuccessMarker(Wire("answer-stored.html")));
  EXPECT_FALSE(HasSuccessMarker(Wire("answer-login.html")));
}

TEST(NoteDocument, TitleIsEncodedAsTheBodyIsAndEmptyLeavesTodaysDocument) {
  EXPECT_EQ(BuildNoteDocument("a", "20260307090504042", ""), Wire("note-document.xml"));
  const std::string doc = BuildNoteDocument("a", "20260307090504042", "日 <x> (notepad.exe)");
  EXPECT_NE(doc.find("<title>%E6%97%A5%20%3C%78%3E%20%28%6E%6F%74%65%70%61%64%2E%65%78%65%29</title><body>%61</body>"),
            std::string::npos)
      << doc;
}

TEST(SnapSource, TitleIsWindowAndProgramCutOnACharacterToTwoHundred) {
  EXPECT_EQ(NoteTitle("無題 - メモ帳", "notepad.exe"), "無題 - メモ帳 (notepad.exe)");
  EXPECT_EQ(NoteTitle("  Report\r\nDraft\t", ""), "Report  Draft");
  EXPECT_EQ(NoteTitle("", "gedit"), "(gedit)");
  EXPECT_EQ(NoteTitle("", ""), "");
  // 300 Japanese characters (900 bytes): the title is cut, the program's name stays.
  std::string longTitle;
  for (int i = 0; i < 300; ++i) longTitle += "字";
  const std::string title = NoteTitle(longTitle, "editor");
  EXPECT_EQ(title, FirstCharacters(longTitle, 200 - 9) + " (editor)");
  EXPECT_EQ(Utf8ToUtf16(title).size(), 200u);
  // A character of four bytes is never cut in half.
  std::string emoji;
  for (int i = 0; i < 250; ++i) emoji += "😀";
  EXPECT_EQ(CleanTitle(emoji), FirstCharacters(emoji, 200));
  EXPECT_EQ(CleanTitle(emoji).size(), 800u);
  EXPECT_EQ(CleanTitle("bad \xff byte"), "bad \xEF\xBF\xBD byte");
}

TEST(SnapSource, OnlyWebAndFileAddressesOfAtMost2048CharactersAreNoted) {
  for (const char* ok : {"https://example.com/a?b=c#d", "http://x", "HTTPS://EXAMPLE.COM/", "file:///home/me/a.txt",
                         "https://例え.jp/パス"})
    EXPECT_TRUE(UsableSourceUrl(ok)) << ok;
  for (const char* no : {"", "https:", "javascript:alert(1)", "ftp://example.com/", "data:text/plain,x",
                         "https://example.com/a b", "https://example.com/\r\nx", "about:blank", "chrome://settings"})
    EXPECT_FALSE(UsableSourceUrl(no)) << no;
  const std::string base = "https://example.com/";
  EXPECT_TRUE(UsableSourceUrl(base + std::string(2048 - base.size(), 'a')));
  EXPECT_FALSE(UsableSourceUrl(base + std::string(2049 - base.size(), 'a')));
}

TEST(SnapSource, AddressIsTheLastLineAfterOneEmptyLine) {
  EXPECT_EQ(WithSourceLine("quoted text", "https://a.example/"), "quoted text\r\n\r\nhttps://a.example/");
  EXPECT_EQ(WithSourceLine("one\r\ntwo\r\n", "https://a.example/"), "one\r\ntwo\r\n\r\nhttps://a.example/");
  EXPECT_EQ(WithSourceLine("one\ntwo", "file:///x"), "one\ntwo\n\nfile:///x");
}
