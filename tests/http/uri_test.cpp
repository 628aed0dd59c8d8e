#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>

#include "http/exceptions.h"
#include "http/httpdate.h"
#include "http/uri.h"
#ifndef _WIN32
#include "platform/headless/control.h"
#endif
#include "runtime/text.h"

using namespace ts;

namespace {

struct Parts {
  std::string protocol, user, password, host, port, path, document, params, bookmark;
};

void ExpectParts(const std::string& url, const Parts& want) {
  TNetURI uri(url);
  SCOPED_TRACE(url);
  EXPECT_EQ(uri.Protocol, want.protocol);
  EXPECT_EQ(uri.Username, want.user);
  EXPECT_EQ(uri.Password, want.password);
  EXPECT_EQ(uri.Host, want.host);
  EXPECT_EQ(uri.Port, want.port);
  EXPECT_EQ(uri.Path, want.path);
  EXPECT_EQ(uri.Document, want.document);
  EXPECT_EQ(uri.Params, want.params);
  EXPECT_EQ(uri.Bookmark, want.bookmark);
}

}  // namespace

TEST(NetURI, SplitsAbsoluteAndRelativeUrls) {
  ExpectParts("http://host:8080/a/b/c.php?x=1#f", {"http", "", "", "host", "8080", "/a/b/", "c.php", "?x=1", "f"});
  ExpectParts("http://host", {"http", "", "", "host", "", "/", "", "", ""});
  ExpectParts("http://h/posts/nop/?123", {"http", "", "", "h", "", "/posts/nop/", "", "?123", ""});
  ExpectParts("login", {"", "", "", "", "", "", "login", "", ""});
  ExpectParts("dir/sub/page?q=a/b", {"", "", "", "", "", "dir/sub/", "page", "?q=a/b", ""});
  // A bare "=" starts the query when there is no "?".
  ExpectParts("http://h/a/b=c", {"http", "", "", "h", "", "/a/", "b", "=c", ""});
  // The "/" inside the query does not move the directory end.
  ExpectParts("http://h/a/p?next=/x/y", {"http", "", "", "h", "", "/a/", "p", "?next=/x/y", ""});
}

TEST(NetURI, CredentialsAndFragments) {
  ExpectParts("http://user@host/", {"http", "user", "", "host", "", "/", "", "", ""});
  ExpectParts("http://user:pw@host:81/d", {"http", "user", "pw", "host", "81", "/", "d", "", ""});
  ExpectParts("http://:pw@host/", {"http", "", "", "host", "", "/", "", "", ""});
  ExpectParts("http://u:p:q@host/", {"http", "u", "p:q", "host", "", "/", "", "", ""});
  ExpectParts("http://h/d#f?x", {"http", "", "", "h", "", "/", "d", "?x", "f"});
  ExpectParts("http://h/d?x#f", {"http", "", "", "h", "", "/", "d", "?x", "f"});
  // Without a protocol the document keeps its "#".
  ExpectParts("d#f", {"", "", "", "", "", "", "d#f", "", ""});
}

TEST(NetURI, BackSlashesBecomeSlashesButNotInsideDoubleByteCharacters) {
  ExpectParts("http://h\\x\\y", {"http", "", "", "h", "", "/x/", "y", "", ""});
  // 0x95 0x5C is one Shift-JIS character whose second byte looks like a back-slash.
  const std::string kanji = "\x95\x5C";
  TNetURI uri("http://h/" + kanji + "/doc" + kanji);
  EXPECT_EQ(uri.Path, "/" + kanji + "/");
  EXPECT_EQ(uri.Document, "doc" + kanji);
}

TEST(NetURI, ComposesTheFullUriAgain) {
  for (const char* url : {"http://u:p@host:8080/a/b/c.php?x=1#f", "http://host/", "http://u@h/d?x", "HTTP://h/a/b=c"}) {
    TNetURI uri(url);
    EXPECT_EQ(uri.GetFullURI(true, true), url);
  }
  TNetURI uri("http://u:p@host:8080/a/c.php?x=1#f");
  EXPECT_EQ(uri.GetFullURI(false, false), "http://host:8080/a/c.php?x=1");
  EXPECT_EQ(uri.GetFullURI(true, false), "http://u:p@host:8080/a/c.php?x=1");
  EXPECT_EQ(uri.URI(), "http://host:8080/a/c.php?x=1");
  EXPECT_EQ(uri.FullText, "http://u:p@host:8080/a/c.php?x=1#f");
  uri.Password.clear();
  EXPECT_EQ(uri.GetFullURI(), "http://u@host:8080/a/c.php?x=1#f");
}

TEST(NetURI, ComposingNeedsProtocolAndHost) {
  TNetURI relative("a/b");
  try {
    relative.GetFullURI();
    FAIL() << "no exception";
  } catch (const ENetURIException& e) {
    EXPECT_EQ(e.Message(), "Protocol field is empty");
  }
  TNetURI noHost("http:///a");
  EXPECT_TRUE(noHost.Host.empty());
  try {
    noHost.URI();
    FAIL() << "no exception";
  } catch (const ENetException& e) {
    EXPECT_EQ(e.Message(), "Host field is empty");
  }
  // An empty URL leaves everything empty.
  TNetURI empty("");
  EXPECT_TRUE(empty.Protocol.empty() && empty.Path.empty() && empty.Document.empty());
}

TEST(EncodeParamValue, EscapesOnlyWhatBreaksAFormValue) {
  EXPECT_EQ(TNetURI::EncodeParamValue("a b[1]"), "a%20b%5B1%5D");
  EXPECT_EQ(TNetURI::EncodeParamValue(""), "");
  EXPECT_EQ(TNetURI::EncodeParamValue("<xml>100%</xml>"), "%3Cxml%3E100%25%3C/xml%3E");
  EXPECT_EQ(TNetURI::EncodeParamValue("#*\t\r\n"), "%23%2A%09%0D%0A");
  // A Japanese double-byte character becomes two escapes.
  EXPECT_EQ(TNetURI::EncodeParamValue("\x93\xfa"), "%93%FA");
  // Raw: "!" (33), DEL, 0x80, "~" and the URL punctuation the service expects unescaped.
  EXPECT_EQ(TNetURI::EncodeParamValue(std::string("!\x7f\x80~/:?$'", 9)), std::string("!\x7f\x80~/:?$'", 9));
  EXPECT_EQ(TNetURI::EncodeParamValue(std::string("\x81\xff\x20", 3)), "%81%FF%20");
}

TEST(EncodeParamValue, SeparatorsInsideAValueSurviveTheForm) {
  // A password such as "a&b=c+d" must reach the server whole and unaltered.
  EXPECT_EQ(TNetURI::EncodeParamValue("a&b=c+d"), "a%26b%3Dc%2Bd");
  // Their neighbours in the byte table stay raw.
  EXPECT_EQ(TNetURI::EncodeParamValue("%"), "%25");
  EXPECT_EQ(TNetURI::EncodeParamValue("',-<;>"), "',-%3C;%3E");
}

TEST(MergePath, FoldsDotDotAndSlashRuns) {
  EXPECT_EQ(MergePath("/a/b/", "c"), "/a/b/c");
  EXPECT_EQ(MergePath("/a/b/", "../c"), "/a/c");
  EXPECT_EQ(MergePath("/a/b/", ""), "/a/b/");
  EXPECT_EQ(MergePath("/a/", "x//y/"), "/a/x/y/");
  EXPECT_EQ(MergePath("/a/b", "c"), "/a/b/c");
  EXPECT_EQ(MergePath("/a/b/c/", "../../d/"), "/a/d/");
  EXPECT_EQ(MergePath("/posts/nop/", "/users/login"), "/users/login");
  EXPECT_EQ(MergePath("", "x"), "x");
  EXPECT_EQ(MergePath("//a///", "b"), "/a/b");
  // Climbing above the root stays at the root instead of failing.
  EXPECT_EQ(MergePath("/a/", "../../x"), "/x");
}

TEST(CutToken, CutsAndOptionallyRemoves) {
  std::string s = "one two three";
  EXPECT_EQ(CutToken(s), "one");
  EXPECT_EQ(s, "two three");
  EXPECT_EQ(CutToken(s, " ", false), "two");
  EXPECT_EQ(s, "two three");
  EXPECT_EQ(CutToken(s, "x"), "two three");
  EXPECT_EQ(s, "");
  std::string t = "aXXbxxc";
  EXPECT_EQ(CutToken(t, "xx"), "aXXb");
  EXPECT_EQ(t, "c");
  t = "aXXbxxc";
  EXPECT_EQ(CutToken(t, "xx", true, false), "a");
  EXPECT_EQ(t, "bxxc");
  // The second byte of a double-byte character is never taken for the delimiter.
  std::string u = "\x95\x5C\\x";
  EXPECT_EQ(CutToken(u, "\\"), "\x95\x5C");
  EXPECT_EQ(u, "x");
}

TEST(FindLast, SearchesBackwardsCaseInsensitively) {
  EXPECT_EQ(FindLast("/", "/a/b/c"), 5u);
  EXPECT_EQ(FindLast("/", "/a/b/c", 4), 3u);
  EXPECT_EQ(FindLast("AB", "xabyab"), 5u);
  EXPECT_EQ(FindLast("ab", "xabyab", 100), 5u);
  EXPECT_EQ(FindLast("q", "abc"), 0u);
  EXPECT_EQ(FindLast("abcd", "abc"), 0u);
  // A trail byte 0x5C is not a back-slash.
  EXPECT_EQ(FindLast("\\", "\x95\x5C"), 0u);
  EXPECT_EQ(FindLast("\\", "\x95\x5C\\"), 3u);
}

TEST(HttpDate, TheThreeFormsGiveTheSameInstant) {
  TDateTime expected = EncodeDateTime(1994, 11, 6, 8, 49, 37) + LocalUtcOffset();
  for (const char* text : {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
                           "Sun Nov  6 08:49:37 1994", "Sun,06 Nov 1994 08:49:37 GMT", "  sun, 6 nov 1994 08:49:37  ",
                           "Sun, 06 Nov 1994 17:49:37 +0900", "Sat, 05 Nov 1994 23:19:37 -0930"}) {
    SCOPED_TRACE(text);
    EXPECT_NEAR(HttpDateToLocal(text), expected, 1e-8);
  }
}

TEST(HttpDate, YearsAndUnreadableDates) {
  EXPECT_NEAR(HttpDateToLocal("Thu, 01-Jan-79 00:00:00 GMT"), EncodeDateTime(2079, 1, 1) + LocalUtcOffset(), 1e-8);
  EXPECT_NEAR(HttpDateToLocal("01 Jan 80 00:00:00 GMT"), EncodeDateTime(1980, 1, 1) + LocalUtcOffset(), 1e-8);
  // Written with four digits, a two-digit year is still moved into the window.
  EXPECT_NEAR(HttpDateToLocal("Mon, 01 Jan 0079 00:00:00 GMT"), EncodeDateTime(2079, 1, 1) + LocalUtcOffset(), 1e-8);
  EXPECT_NEAR(HttpDateToLocal("mon, 01 jan 2024 23:59:59 GMT"),
              EncodeDateTime(2024, 1, 1, 23, 59, 59) + LocalUtcOffset(), 1e-8);
  // Without a time the date is midnight.
  EXPECT_NEAR(HttpDateToLocal("7 Sep 2026"), EncodeDateTime(2026, 9, 7) + LocalUtcOffset(), 1e-8);
  for (const char* text : {"", "0", "never", "-1", "Sun, 31 Feb 2001 00:00:00 GMT", "Sun, 06 Foo 1994 08:49:37 GMT",
                           "Sun, 06 Nov 1994 25:00:00 GMT", "Sun, 06 Nov x",
                           // A year of 1900 sends the reader to the asctime form, where no year follows the clock.
                           "Mon, 01 Jan 1900 00:00:00 GMT", "Sun, 29 Feb 2100 00:00:00 GMT"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(HttpDateToLocal(text), 0);
  }
}

TEST(HttpDate, FormatsDates) {
  TDateTime sunday = EncodeDateTime(1994, 11, 6, 8, 49, 37);
  EXPECT_EQ(FormatGmtDate(sunday), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(FormatGmtDate(EncodeDateTime(2026, 9, 7, 14, 5, 9)), "Mon, 07 Sep 2026 14:05:09 GMT");
  EXPECT_EQ(FormatGmtDate(EncodeDateTime(2000, 2, 29, 23, 59, 59)), "Tue, 29 Feb 2000 23:59:59 GMT");
  std::string local = FormatLocalDate(EncodeDateTime(2026, 9, 7, 14, 5, 9));
  ASSERT_EQ(local.substr(0, 25), "Mon, 7 Sep 2026 14:05:09 ");
  ASSERT_EQ(local.size(), 30u);
  EXPECT_TRUE(local[25] == '+' || local[25] == '-');
  // What is written is read back as the same local moment.
  EXPECT_NEAR(HttpDateToLocal(local), EncodeDateTime(2026, 9, 7, 14, 5, 9), 1e-8);
}

#ifndef _WIN32
// The sign convention of the local offset, checked in two zones on either side of UTC.
TEST(HttpDate, LocalOffsetFollowsTheZoneAndFailsWithoutOne) {
  const char* saved = std::getenv("TZ");
  std::string old = saved ? saved : "";
  auto zone = [](const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  };
  TDateTime value = EncodeDateTime(2026, 1, 15, 12, 0, 0);
  zone("JST-9");
  EXPECT_NEAR(LocalUtcOffset(), 9.0 / 24, 1e-9);
  EXPECT_EQ(FormatLocalDate(value), "Thu, 15 Jan 2026 12:00:00 +0900");
  EXPECT_NEAR(HttpDateToLocal("Thu, 15 Jan 2026 03:00:00 GMT"), value, 1e-8);
  zone("EST5");
  EXPECT_EQ(FormatLocalDate(value), "Thu, 15 Jan 2026 12:00:00 -0500");
  EXPECT_NEAR(HttpDateToLocal("Thu, 15 Jan 2026 17:00:00 GMT"), value, 1e-8);
  zone("IST-5:30");
  EXPECT_EQ(FormatLocalDate(value), "Thu, 15 Jan 2026 12:00:00 +0530");
  if (saved)
    setenv("TZ", old.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();

  // A zone the system cannot tell is an error of its own, wherever the offset is needed.
  platform::headless::SetTimeZoneUnknown(true);
  auto expectZoneError = [](const std::function<void()>& use) {
    try {
      use();
      ADD_FAILURE() << "no time-zone error";
    } catch (const ENetFailedToRetreiveTimeZoneInfo& e) {
      EXPECT_EQ(e.Message(), "Failed attempting to retrieve time zone information.");
    }
  };
  expectZoneError([] { LocalUtcOffset(); });
  expectZoneError([&] { FormatLocalDate(value); });
  expectZoneError([] { HttpDateToLocal("Thu, 15 Jan 2026 03:00:00 GMT"); });
  platform::headless::SetTimeZoneUnknown(false);
  EXPECT_NO_THROW(LocalUtcOffset());
}
#endif

TEST(HttpDate, CalendarHelpers) {
  EXPECT_EQ(EncodeDateTime(1899, 12, 30), 0);
  EXPECT_EQ(EncodeDateTime(1970, 1, 1), 25569);
  int y, mo, d, h, mi, s, ms;
  DecodeDateTime(EncodeDateTime(2024, 2, 29, 23, 59, 59, 999), y, mo, d, h, mi, s, ms);
  EXPECT_EQ((std::vector<int>{y, mo, d, h, mi, s, ms}), (std::vector<int>{2024, 2, 29, 23, 59, 59, 999}));
  EXPECT_THROW(EncodeDateTime(2023, 2, 29), EConvertError);
  TDateTime now = Now();
  EXPECT_GT(now, EncodeDateTime(2020, 1, 1));
}
