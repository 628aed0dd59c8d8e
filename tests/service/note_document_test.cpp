#include "service/note_document.h"

#include <gtest/gtest.h>

#include "support.h"
#include "tests/support/wire.h"

namespace pinleaf {
namespace {

TEST(NoteDocument, ClientDocumentsDecodeByteForByte) {
  for (std::string text :
       std::initializer_list<std::string>{"a", "日本語のメモ", "emoji 🎉 and 한글 é", "<b>&amp;</b>\r\nline 2\t%41",
                                          "====", std::string("nul\0byte", 8)}) {
    TNoteParseResult r = ParseNoteDocument(test::NoteDocument(text));
    ASSERT_TRUE(r.Ok()) << text << ": " << r.message;
    EXPECT_EQ(r.note.body, text);
    EXPECT_EQ(r.note.title, "");
    EXPECT_EQ(r.note.color, 11270143u);
    EXPECT_EQ(r.note.paper_id, "20261208143405123");
  }
}

TEST(NoteDocument, TheClientsSharedDocumentDecodes) {
  TNoteParseResult r = ParseNoteDocument(testwire::Wire("note-document.xml"));
  ASSERT_TRUE(r.Ok()) << r.message;
  EXPECT_EQ(r.note.body, "a");
  EXPECT_EQ(r.note.title, "");
  EXPECT_EQ(r.note.color, 11270143u);
  EXPECT_EQ(r.note.paper_id, "20260307090504042");
}

TEST(NoteDocument, BodyLimitIsOneMebibyteOfText) {
  std::string text(kMaxNoteBodyBytes - 3, 'x');
  text += "日";  // the limit counts bytes, and this ends exactly on it
  EXPECT_TRUE(ParseNoteDocument(test::NoteDocument(text)).Ok());
  EXPECT_EQ(ParseNoteDocument(test::NoteDocument(text + "y")).error, TNoteError::TooLarge);
  // Unescaped text counts the same way.
  std::string raw = "<xml><post><body>" + std::string(kMaxNoteBodyBytes + 1, 'z') + "</body></post></xml>";
  EXPECT_EQ(ParseNoteDocument(raw).error, TNoteError::TooLarge);
}

TEST(NoteDocument, RefusesWhatIsNotANote) {
  const std::string ok_body = "<body>%61</body>";
  const struct {
    std::string document;
    TNoteError error;
  } cases[] = {
      {"", TNoteError::Malformed},
      {"<xml><post><title></title></post></xml>", TNoteError::Malformed},  // no body
      {"<xml><post>" + ok_body + "</post>", TNoteError::Malformed},        // not closed
      {"<xml><post><body>%61</title></post></xml>", TNoteError::Malformed},
      {"<xml><post>" + ok_body + ok_body + "</post></xml>", TNoteError::Malformed},
      {"<xml><post>" + ok_body + "<extra/></post></xml>", TNoteError::Malformed},
      {"<xml><post>" + ok_body + "</post></xml><xml>", TNoteError::Malformed},
      {"<xml><post><body a=\"1\">%61</body></post></xml>", TNoteError::Malformed},
      {"<xml><post>" + ok_body + "<color>red</color></post></xml>", TNoteError::Malformed},
      {"<xml><post>" + ok_body + "<color>4294967296</color></post></xml>", TNoteError::Malformed},
      {"<xml><post>" + ok_body + "<paperid>2026120814340512</paperid></post></xml>", TNoteError::Malformed},
      {"<xml><post><body>&bogus;</body></post></xml>", TNoteError::Malformed},
      {"<xml><post><body><i>%61</i></body></post></xml>", TNoteError::Malformed},
      {"<xml><post><body>%6</body></post></xml>", TNoteError::BadEscape},
      {"<xml><post><body>%G1</body></post></xml>", TNoteError::BadEscape},
      {"<xml><post><body>%FF</body></post></xml>", TNoteError::NotUtf8},
      {"<xml><post><body>%C0%AF</body></post></xml>", TNoteError::NotUtf8},     // overlong "/"
      {"<xml><post><body>%ED%A0%80</body></post></xml>", TNoteError::NotUtf8},  // surrogate
      {"<xml><post><title>%E6%97</title>" + ok_body + "</post></xml>", TNoteError::NotUtf8},
      {"<xml><post><body></body></post></xml>", TNoteError::Empty},
      {"<xml><post><body/></post></xml>", TNoteError::Empty},
  };
  for (const auto& c : cases) {
    TNoteParseResult r = ParseNoteDocument(c.document);
    EXPECT_EQ(r.error, c.error) << c.document;
    EXPECT_FALSE(r.message.empty()) << c.document;
  }
}

TEST(NoteDocument, ToleratesDeclarationBlanksEntitiesAndMissingExtras) {
  TNoteParseResult r = ParseNoteDocument(
      "<?xml version=\"1.0\"?>\n<xml>\n <post>\n  <title>a &lt;b&gt; &amp; &#x65E5;&#26412;</title>\n"
      "  <body>plain %e6%97%a5 text</body >\n </post>\n</xml>\n");
  ASSERT_TRUE(r.Ok()) << r.message;
  EXPECT_EQ(r.note.title, "a <b> & 日本");
  EXPECT_EQ(r.note.body, "plain 日 text");
  EXPECT_EQ(r.note.color, std::nullopt);
  EXPECT_EQ(r.note.paper_id, "");
}

TEST(Utf8, SequenceBoundaries) {
  EXPECT_TRUE(IsValidUtf8("\x7F\xC2\x80\xEF\xBF\xBF\xF4\x8F\xBF\xBF"));  // last of each length, U+10FFFF
  for (std::string bad : {"\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xE6\x97",
                          "\xF5\x80\x80\x80", "\xC3\x28"}) {
    EXPECT_FALSE(IsValidUtf8(bad)) << testing::PrintToString(bad);
  }
}

}  // namespace
}  // namespace pinleaf
