#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "http/cookies.h"
#include "http/httpdate.h"
#include "runtime/exception.h"

using namespace ts;

namespace {

// A manager fed with Set-cookie values as a server on `host` would send them.
struct Jar {
  TNetCookieManager manager{nullptr};
  void Set(const std::string& value, const std::string& host = "app.example.com") {
    manager.StoreSetCookie(value, host);
  }
  std::string For(const std::string& url, bool secure = false) { return manager.CookieHeaderFor(TNetURI(url), secure); }
  int Count() { return manager.CookieCollection()->Count(); }
  TNetNetscapeCookie* Cookie(int i) { return manager.CookieCollection()->Cookies(i); }
};

std::string InDays(double days) { return FormatGmtDate(Now() - LocalUtcOffset() + days); }

}  // namespace

TEST(Cookies, HostOnlyCookieWithoutPathIsKeptButNeverSent) {
  Jar jar;
  jar.Set("sid=abc");
  ASSERT_EQ(jar.Count(), 1);
  EXPECT_EQ(jar.Cookie(0)->Domain, "app.example.com");
  EXPECT_EQ(jar.Cookie(0)->Path, "");
  EXPECT_EQ(jar.For("http://app.example.com/"), "");
}

TEST(Cookies, SentToItsHostAndSubdomainsUnderItsPath) {
  Jar jar;
  jar.Set("sid=abc; path=/");
  EXPECT_EQ(jar.For("http://app.example.com/"), "sid=abc");
  EXPECT_EQ(jar.For("http://APP.example.com/dir/page?x=1"), "sid=abc");
  EXPECT_EQ(jar.For("http://x.app.example.com/"), "sid=abc");
  EXPECT_EQ(jar.For("http://example.com/"), "");
  EXPECT_EQ(jar.For("http://otherapp.example.com/"), "");
  EXPECT_EQ(jar.For("http://xapp.example.com/"), "");

  jar.Set("p=1; path=/pinleaf2/");
  EXPECT_EQ(jar.For("http://app.example.com/pinleaf2/posts/nop/?1"), "p=1; sid=abc");
  EXPECT_EQ(jar.For("http://app.example.com/other/pinleaf2/"), "sid=abc");
}

TEST(Cookies, DomainCookiesMatchWholeLabelsOnly) {
  Jar jar;
  jar.Set("d=1; path=/; domain=example.com");
  jar.Set("e=2; path=/; domain=.example.com");
  EXPECT_EQ(jar.For("http://example.com/"), "d=1; e=2");
  EXPECT_EQ(jar.For("http://www.example.com/"), "d=1; e=2");
  EXPECT_EQ(jar.For("http://notexample.com/"), "");
  EXPECT_EQ(jar.For("http://example.com.evil.test/"), "");
  // A path that merely contains the domain does not qualify either.
  EXPECT_EQ(jar.For("http://evil.test/example.com/"), "");
}

TEST(Cookies, HostMaySetItselfAndParentDomainsOnly) {
  struct Case {
    const char* domain;
    bool kept;
  } cases[] = {{"app.example.com", true},
               {".example.com", true},
               {"example.com", true},
               {"EXAMPLE.com", true},
               {".app.example.com", true},
               {"com", false},
               {".com", false},
               {"ple.com", false},
               {"other.example", false},
               {"x.app.example.com", false},
               {"pp.example.com", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.domain);
    Jar jar;
    jar.Set(std::string("a=1; path=/; domain=") + c.domain);
    EXPECT_EQ(jar.Count(), c.kept ? 1 : 0);
  }
  // An address sets only itself.
  for (const char* domain : {"192.168.0.1", "", "168.0.1", ".0.1", "192.168.0.10"}) {
    SCOPED_TRACE(domain);
    Jar jar;
    jar.Set(std::string("a=1; path=/") + (*domain ? std::string("; domain=") + domain : ""), "192.168.0.1");
    EXPECT_EQ(jar.Count(), std::string(domain).empty() || std::string(domain) == "192.168.0.1" ? 1 : 0);
  }
  // Nor does an address receive the cookies of a name that ends like it.
  Jar jar;
  jar.Set("n=1; path=/; domain=168.0.1", "x.168.0.1");
  ASSERT_EQ(jar.Count(), 1);
  EXPECT_EQ(jar.For("http://y.168.0.1/"), "n=1");
  EXPECT_EQ(jar.For("http://192.168.0.1/"), "");
}

TEST(Cookies, LongestPathFirstEqualPathsInTheOrderMet) {
  Jar jar;
  jar.Set("a=1; path=/");
  jar.Set("b=2; path=/dir/");
  EXPECT_EQ(jar.For("http://app.example.com/dir/page"), "b=2; a=1");
  EXPECT_EQ(jar.For("http://app.example.com/"), "a=1");
  // Within one domain and path the newer cookie is met first.
  jar.Set("c=3; path=/");
  EXPECT_EQ(jar.For("http://app.example.com/"), "c=3; a=1");
  // Across domains with equal paths the index order counts.
  jar.Set("z=9; path=/; domain=example.com");
  EXPECT_EQ(jar.For("http://app.example.com/dir/"), "b=2; c=3; a=1; z=9");
}

TEST(Cookies, SameDomainPathAndNameReplacesInPlace) {
  Jar jar;
  jar.Set("SID=1; path=/");
  jar.Set("other=x; path=/");
  TNetNetscapeCookie* first = jar.Cookie(0);
  jar.Set("sid=2; path=/");
  ASSERT_EQ(jar.Count(), 2);
  EXPECT_EQ(jar.Cookie(0), first);
  EXPECT_EQ(first->Name, "sid");
  EXPECT_EQ(jar.For("http://app.example.com/"), "other=x; sid=2");
  // Another path is another cookie.
  jar.Set("sid=3; path=/x/");
  EXPECT_EQ(jar.Count(), 3);
  EXPECT_EQ(jar.For("http://app.example.com/x/"), "sid=3; other=x; sid=2");
}

TEST(Cookies, SecureEmptyAndExpiredCookies) {
  Jar jar;
  jar.Set("s=1; path=/; secure");
  jar.Set("t=; path=/");
  EXPECT_EQ(jar.Count(), 2);
  EXPECT_EQ(jar.For("http://app.example.com/"), "");
  EXPECT_EQ(jar.For("http://app.example.com/", true), "s=1");

  jar.Set("x=1; path=/; max-age=0");
  EXPECT_EQ(jar.Count(), 3);
  jar.Set("old=1; path=/; expires=" + InDays(-1));
  jar.Set("bad=1; path=/; expires=never");
  jar.Set("new=1; path=/; expires=" + InDays(1));
  jar.Set("age=1; path=/; max-age=600");
  EXPECT_EQ(jar.For("http://app.example.com/"), "age=1; new=1");
  EXPECT_EQ(jar.Count(), 4);
}

TEST(Cookies, AttributesAreReadCaseInsensitivelyFirstOneCounting) {
  Jar jar;
  jar.Set("a=1; path=/x/; Path=/; DOMAIN=app.example.com");
  ASSERT_EQ(jar.Count(), 1);
  EXPECT_EQ(jar.Cookie(0)->Path, "/x/");
  jar.Set("q=v=w; path=\"/\"; Secure");
  auto* q = jar.Cookie(1);
  EXPECT_EQ(q->Name, "q");
  EXPECT_EQ(q->Value, "v=w");
  EXPECT_EQ(q->Path, "/");
  EXPECT_TRUE(q->Secure);
  jar.Set("r=1; path=\"");
  EXPECT_EQ(jar.Cookie(2)->Path, "");
}

TEST(Cookies, MaxAgeBecomesAnExpiryDate) {
  Jar jar;
  jar.Set("m=1; path=/; max-age=3600; version=1; comment=hi");
  auto* m = static_cast<TNetCookieRFC2109*>(jar.Cookie(0));
  EXPECT_EQ(m->Kind, TNetCookieKind::ckNetscape);
  EXPECT_FALSE(m->Expires.empty());
  EXPECT_GE(m->MaxAge, 3598);
  EXPECT_LE(m->MaxAge, 3600);
  EXPECT_NEAR(HttpDateToLocal(m->Expires) - Now(), 1.0 / 24, 5.0 / 86400);
  EXPECT_EQ(m->ServerText(), "m=1; path=/; expires=" + m->Expires + "; domain=app.example.com; comment=hi; version=1");
  EXPECT_EQ(m->ClientText(), "m=1");
}

TEST(Cookies, ServerTextOfAKeptCookie) {
  TNetCookies cookies(nullptr);
  TNetCookieRFC2109* c = cookies.NewCookie();
  c->Name = "sid";
  c->Value = "abc";
  c->Path = "/";
  c->Domain = "example.com";
  c->Secure = true;
  c->Version = "1";
  EXPECT_EQ(c->ServerText(), "sid=abc; path=/; domain=example.com; secure; version=1");
  EXPECT_EQ(c->ServerCookie(), c->ServerText());
  c->MaxAge = 30;
  EXPECT_EQ(c->ServerText(), "sid=abc; path=/; domain=example.com; secure; max-age=30; version=1");
  c->Value.clear();
  EXPECT_EQ(c->ServerText(), "path=/; domain=example.com; secure; max-age=30; version=1");
  EXPECT_EQ(c->ClientText(), "sid=");

  // Copying re-reads the source's server text, kind included.
  TNetCookieRFC2109* d = cookies.NewCookie();
  c->Value = "abc";
  d->CopyFrom(*c);
  EXPECT_EQ(d->Name, "sid");
  EXPECT_EQ(d->Domain, "example.com");
  EXPECT_TRUE(d->Secure);
  EXPECT_EQ(d->Kind, TNetCookieKind::ckRFC2109);
  EXPECT_EQ(d->Version, "1");
  EXPECT_EQ(cookies.Count(), 2);
}

TEST(Cookies, SetCookie2Ports) {
  Jar jar;
  jar.manager.StoreSetCookie2("a=1; path=/; Port=\"8080, 81,82\"; CommentURL=http://c/; Discard", "app.example.com");
  auto* a = static_cast<TNetCookieRFC2965*>(jar.Cookie(0));
  ASSERT_EQ(a->PortCount(), 3);
  EXPECT_EQ(a->Ports(0), 8080);
  EXPECT_EQ(a->Ports(2), 82);
  EXPECT_EQ(a->CommentURL, "http://c/");
  EXPECT_TRUE(a->Discard);
  EXPECT_EQ(a->Kind, TNetCookieKind::ckNetscape);  // no expiry given

  jar.manager.StoreSetCookie2("b=1; path=/; Port", "app.example.com");
  auto* b = static_cast<TNetCookieRFC2965*>(jar.Cookie(1));
  EXPECT_EQ(b->PortCount(), 1);
  EXPECT_EQ(b->Ports(0), 80);
  EXPECT_THROW(b->SetPorts(2, 1), EListError);
  EXPECT_THROW(b->SetPorts(-1, 1), EListError);
  b->SetPorts(1, 443);
  EXPECT_EQ(b->PortCount(), 2);

  // A port that is not a number fails the store and leaves nothing behind.
  EXPECT_THROW(jar.manager.StoreSetCookie2("c=1; path=/; Port=\"80,x\"", "app.example.com"), EConvertError);
  EXPECT_EQ(jar.Count(), 2);
  EXPECT_EQ(jar.For("http://app.example.com/"), "b=1; a=1");
}

TEST(CookieManager, EventsAndApproval) {
  auto* owner = new TComponent(nullptr);
  auto* manager = new TNetCookieManager(owner);
  std::vector<std::string> offered;
  manager->OnNewCookie = [&](TNetCookieManager* sender, TNetCookieRFC2109* cookie, bool& accept) {
    EXPECT_EQ(sender, manager);
    offered.push_back(cookie->Name);
    accept = cookie->Name != "tracker";
  };
  manager->StoreSetCookie("keep=1; path=/", "h.test");
  manager->StoreSetCookie("tracker=1; path=/", "h.test");
  manager->StoreSetCookie("foreign=1; path=/; domain=x.test", "h.test");  // refused before being offered
  EXPECT_EQ(offered, (std::vector<std::string>{"keep", "tracker"}));
  EXPECT_EQ(manager->CookieCollection()->Count(), 1);

  TNetCookies* seen = nullptr;
  manager->OnDestroy = [&](TNetCookieManager*, TNetCookies* cookies) {
    seen = cookies;
    EXPECT_EQ(cookies->Count(), 1);
  };
  TNetCookies* mine = manager->CookieCollection();
  delete owner;  // and with it the manager
  EXPECT_EQ(seen, mine);
}

TEST(CookieLock, ReadersShareWritersExcludeAndTheWriterMayReenter) {
  TNetMultiReadExclusiveWriteLock lock;
  // Re-entry by the writing thread, for writing and for reading.
  lock.BeginWrite();
  lock.BeginWrite();
  lock.BeginRead();
  lock.EndRead();
  lock.EndWrite();

  std::atomic<bool> readerIn{false};
  std::thread reader([&] {
    lock.BeginRead();
    readerIn = true;
    lock.EndRead();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(readerIn.load());  // still held for writing
  lock.EndWrite();
  reader.join();
  EXPECT_TRUE(readerIn.load());

  // Two readers at once.
  lock.BeginRead();
  std::thread second([&] {
    lock.BeginRead();
    lock.EndRead();
  });
  second.join();
  std::atomic<bool> writerIn{false};
  std::thread writer([&] {
    lock.BeginWrite();
    writerIn = true;
    lock.EndWrite();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(writerIn.load());  // waits for the reader
  lock.EndRead();
  writer.join();
  EXPECT_TRUE(writerIn.load());
}

TEST(Cookies, StoringFindsGroupsAndNamesWhateverTheirCase) {
  Jar jar;
  jar.Set("k=1; path=/Docs/");
  jar.Set("K=2; path=/docs/");  // the same domain, path and name, compared without case
  EXPECT_EQ(jar.Count(), 1);
  EXPECT_EQ(jar.Cookie(0)->Value, "2");
  EXPECT_EQ(jar.For("http://app.example.com/docs/"), "K=2");

  // A cookie that has gone (expired, purged) is not updated again: the same
  // name is stored anew.
  jar.Set("gone=1; path=/; max-age=0");
  EXPECT_EQ(jar.For("http://app.example.com/"), "");
  jar.Set("gone=2; path=/");
  EXPECT_EQ(jar.For("http://app.example.com/"), "gone=2");
  EXPECT_EQ(jar.Count(), 2);
}

TEST(Cookies, IndexEditedByHandStillDecidesWhatStoringFinds) {
  Jar jar;
  jar.Set("a=1; path=/");
  TNetCookies* cookies = jar.manager.CookieCollection();
  TNetCookieList& index = cookies->LockIndex(TNetAccessKind::akReadWrite);
  auto* group = static_cast<TNetCookieList*>(index.Objects(index.IndexOf("app.example.com/")));
  group->Delete(group->IndexOf("a"));  // the cookie stays in the collection, in no group
  cookies->UnlockIndex(TNetAccessKind::akReadWrite);

  jar.Set("a=2; path=/");
  EXPECT_EQ(jar.For("http://app.example.com/"), "a=2");
  EXPECT_EQ(jar.Count(), 2);
  EXPECT_EQ(jar.Cookie(0)->Value, "1");  // the one taken out was left alone
}

// A server ends a session by sending the cookie again with an empty value or
// an expiry in the past; the updated cookie must stop being sent, and must
// not turn into a cookie named after one of its attributes.
TEST(CookieUpdates, ClearingOrExpiringACookieStopsSendingIt) {
  for (const std::string& ending :
       {std::string("sid=; path=/"), std::string("sid=; path=/; expires=").append(InDays(-1)),
        std::string("sid=gone; path=/; expires=").append(InDays(-1)), std::string("sid=gone; path=/; max-age=0")}) {
    SCOPED_TRACE(ending);
    Jar s;
    s.Set("sid=abc; path=/");
    ASSERT_EQ(s.For("http://app.example.com/"), "sid=abc");
    s.Set(ending);
    EXPECT_EQ(s.For("http://app.example.com/"), "");
    for (int i = 0; i < s.Count(); ++i) {
      const std::string& name = s.Cookie(i)->Name;
      EXPECT_TRUE(name == "sid" || name.empty()) << name;
    }
  }
}

TEST(CookieUpdates, AnUpdateKeepsTheNewExpiryAndAttributes) {
  Jar s;
  s.Set("sid=abc; path=/");
  const std::string expires = InDays(2);
  s.Set(std::string("sid=def; path=/; expires=").append(expires).append("; version=1; comment=c"));
  ASSERT_EQ(s.Count(), 1);
  TNetNetscapeCookie* cookie = s.Cookie(0);
  EXPECT_EQ(cookie->Name, "sid");
  EXPECT_EQ(cookie->Value, "def");
  EXPECT_EQ(cookie->Expires, expires);
  EXPECT_EQ(static_cast<TNetCookieRFC2109*>(cookie)->Comment, "c");
  EXPECT_EQ(s.For("http://app.example.com/"), "sid=def");

  // A later update without an expiry makes it a session cookie again.
  s.Set("sid=ghi; path=/");
  ASSERT_EQ(s.Count(), 1);
  EXPECT_EQ(s.Cookie(0)->Expires, "");
  EXPECT_EQ(s.For("http://app.example.com/"), "sid=ghi");
}

// Only a ";" splits a value into pieces, so a bare CR (or LF, or NUL) in front
// of the first ";" would end up in the name or value and, through the Cookie
// header, break the request's header lines.
TEST(CookieAdmission, ValuesThatWouldBreakTheHeaderLineAreDropped) {
  for (const std::string& value : {std::string("n=1\rX-Injected: yes; path=/"), std::string("n=1\nHost: evil; path=/"),
                                   std::string("n\r\n=1; path=/"), std::string("n=a\0b; path=/", 14)}) {
    Jar s;
    s.Set(value);
    EXPECT_EQ(s.Count(), 0) << value;
    EXPECT_EQ(s.For("http://app.example.com/"), "");
  }
  // A tab is an ordinary byte of the value and stays.
  Jar s;
  s.Set("n=a\tb; path=/");
  EXPECT_EQ(s.For("http://app.example.com/"), "n=a\tb");
}
