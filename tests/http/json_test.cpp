// The client's JSON: what it writes must come back as it went, and what it
// reads must be exactly the document's members, or nothing.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "http/json.h"

namespace ts {
namespace {

using Members = std::map<std::string, std::string>;

TEST(Json, QuotedTextReadsBackAsItWent) {
  const std::string texts[] = {
      "plain",
      "quote \" backslash \\ slash / tab\t cr\r lf\n",
      std::string("nul \0 bell \x07 del \x7F", 18),
      "\xE3\x81\x82\xE3\x81\x84 \xF0\x9F\x98\x80 \xC3\xA9",  // Japanese, an emoji, an accent
      "</script>",
  };
  for (const std::string& text : texts) {
    const std::string quoted = JsonQuote(text);
    for (char c : quoted) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << "raw control byte in " << quoted;
    Members members;
    ASSERT_TRUE(ParseJsonMembers("{\"t\":" + quoted + "}", members)) << quoted;
    EXPECT_EQ(members["t"], text);
  }
  // Bytes that are not UTF-8 never reach the document as they are.
  EXPECT_EQ(JsonQuote("a\xFF"
                      "b\xC3"),
            "\"a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD\"");
  EXPECT_EQ(JsonQuote("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"") << "a lone surrogate";
}

TEST(Json, MembersOfOneFlatObject) {
  Members m;
  ASSERT_TRUE(ParseJsonMembers(
      " {\"device_code\":\"ab12\",\"user_code\":\"WDJB-MJHT\",\"expires_in\":600,\"interval\":5,"
      "\"nested\":{\"a\":[1,{\"b\":null}],\"c\":\"x\"},\"list\":[],\"ok\":true,\"no\":false,\"none\":null,"
      "\"esc\":\"\\u00e9\\ud83d\\ude00\\/\"}\n",
      m));
  EXPECT_EQ(m, (Members{{"device_code", "ab12"},
                        {"user_code", "WDJB-MJHT"},
                        {"expires_in", "600"},
                        {"interval", "5"},
                        {"ok", "true"},
                        {"no", "false"},
                        {"none", ""},
                        {"esc", "\xC3\xA9\xF0\x9F\x98\x80/"}}));
  EXPECT_TRUE(ParseJsonMembers("{}", m));
  EXPECT_TRUE(m.empty());
  // The last of a repeated member counts.
  ASSERT_TRUE(ParseJsonMembers("{\"error\":\"a\",\"error\":\"slow_down\",\"n\":-1.5e+3}", m));
  EXPECT_EQ(m["error"], "slow_down");
  EXPECT_EQ(m["n"], "-1.5e+3");
}

TEST(Json, AnythingElseIsNoObject) {
  const char* bad[] = {
      "",
      "[]",
      "\"text\"",
      "{\"a\":1,}",
      "{\"a\" 1}",
      "{\"a\":01}",
      "{\"a\":tru}",
      "{\"a\":\"\\x\"}",
      "{\"a\":\"\\ud83d\"}",  // half a surrogate pair
      "{\"a\":\"line\nbreak\"}",
      "{\"a\":\"\xC0\xAF\"}",  // an overlong form
      "{\"a\":1} {}",
      "{\"a\":1",
      "<html>502 Bad Gateway</html>",
  };
  for (const char* text : bad) {
    Members m{{"old", "value"}};
    EXPECT_FALSE(ParseJsonMembers(text, m)) << text;
    EXPECT_TRUE(m.empty()) << text;
  }
  // Deep nesting ends the reading rather than the stack.
  std::string deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
  Members m;
  EXPECT_FALSE(ParseJsonMembers(deep, m));
}

}  // namespace
}  // namespace ts
