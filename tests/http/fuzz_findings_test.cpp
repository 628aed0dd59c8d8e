// Faults the fuzz harnesses found in the text layer, kept as plain tests.
#include <gtest/gtest.h>

#include "http/cookies.h"
#include "http/httpdate.h"

using namespace ts;

namespace {

struct Store {
  TNetCookieManager manager{nullptr};
  void Set(const std::string& value) { manager.StoreSetCookie(value, "app.example.com"); }
  std::string For(const std::string& url) { return manager.CookieHeaderFor(TNetURI(url), false); }
  TNetNetscapeCookie* Only() {
    EXPECT_EQ(manager.CookieCollection()->Count(), 1);
    return manager.CookieCollection()->Cookies(0);
  }
};

std::string GmtInDays(double days) { return FormatGmtDate(Now() - LocalUtcOffset() + days); }

}  // namespace

// A server ends a session by sending the cookie again with an empty value or
// an expiry in the past; the updated cookie must stop being sent, and must
// not turn into a cookie named after one of its attributes.
TEST(CookieUpdates, ClearingOrExpiringACookieStopsSendingIt) {
  for (const std::string& ending :
       {std::string("sid=; path=/"), std::string("sid=; path=/; expires=").append(GmtInDays(-1)),
        std::string("sid=gone; path=/; expires=").append(GmtInDays(-1)), std::string("sid=gone; path=/; max-age=0")}) {
    SCOPED_TRACE(ending);
    Store s;
    s.Set("sid=abc; path=/");
    ASSERT_EQ(s.For("http://app.example.com/"), "sid=abc");
    s.Set(ending);
    EXPECT_EQ(s.For("http://app.example.com/"), "");
    for (int i = 0; i < s.manager.CookieCollection()->Count(); ++i) {
      const std::string& name = s.manager.CookieCollection()->Cookies(i)->Name;
      EXPECT_TRUE(name == "sid" || name.empty()) << name;
    }
  }
}

TEST(CookieUpdates, AnUpdateKeepsTheNewExpiryAndAttributes) {
  Store s;
  s.Set("sid=abc; path=/");
  const std::string expires = GmtInDays(2);
  s.Set(std::string("sid=def; path=/; expires=").append(expires).append("; version=1; comment=c"));
  TNetNetscapeCookie* cookie = s.Only();
  EXPECT_EQ(cookie->Name, "sid");
  EXPECT_EQ(cookie->Value, "def");
  EXPECT_EQ(cookie->Expires, expires);
  EXPECT_EQ(static_cast<TNetCookieRFC2109*>(cookie)->Comment, "c");
  EXPECT_EQ(s.For("http://app.example.com/"), "sid=def");

  // A later update without an expiry makes it a session cookie again.
  s.Set("sid=ghi; path=/");
  EXPECT_EQ(s.Only()->Expires, "");
  EXPECT_EQ(s.For("http://app.example.com/"), "sid=ghi");
}

// Only a ";" splits a value into pieces, so a bare CR (or LF, or NUL) in front
// of the first ";" would end up in the name or value and, through the Cookie
// header, break the request's header lines.
TEST(CookieAdmission, ValuesThatWouldBreakTheHeaderLineAreDropped) {
  for (const std::string& value : {std::string("n=1\rX-Injected: yes; path=/"), std::string("n=1\nHost: evil; path=/"),
                                   std::string("n\r\n=1; path=/"), std::string("n=a\0b; path=/", 14)}) {
    Store s;
    s.Set(value);
    EXPECT_EQ(s.manager.CookieCollection()->Count(), 0) << value;
    EXPECT_EQ(s.For("http://app.example.com/"), "");
  }
  // A tab is an ordinary byte of the value and stays.
  Store s;
  s.Set("n=a\tb; path=/");
  EXPECT_EQ(s.For("http://app.example.com/"), "n=a\tb");
}
