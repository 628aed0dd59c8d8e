#include <gtest/gtest.h>

#include "app/protocol.h"
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
