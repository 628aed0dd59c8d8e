// A hostile server may send any number of Set-cookie lines; the store keeps a
// bounded number, dropping the oldest first, and stays usable.
#include <gtest/gtest.h>

#include <string>

#include "http/cookies.h"

using namespace ts;

namespace {

struct Flood {
  TNetCookieManager manager{nullptr};
  void Set(const std::string& value) { manager.StoreSetCookie(value, "app.example.com"); }
  std::string For(const std::string& path) {
    return manager.CookieHeaderFor(TNetURI("http://app.example.com" + path), false);
  }
  int Stored() { return manager.CookieCollection()->Count(); }
  int Places() {
    TNetCookies* c = manager.CookieCollection();
    int n = c->LockIndex(TNetAccessKind::akRead).Count();
    c->UnlockIndex(TNetAccessKind::akRead);
    return n;
  }
};

std::string Name(int i) { return "c" + std::to_string(i); }

}  // namespace

TEST(CookieBounds, OnePlaceKeepsTheNewestFifty) {
  Flood f;
  const int sent = 20000;
  for (int i = 0; i < sent; ++i) f.Set(Name(i) + "=v; path=/");
  EXPECT_EQ(f.Stored(), TNetCookies::kMaxCookiesPerPlace);
  EXPECT_EQ(f.Places(), 1);
  const std::string header = f.For("/");
  EXPECT_NE(header.find(Name(sent - 1) + "=v"), std::string::npos);
  EXPECT_NE(header.find(Name(sent - TNetCookies::kMaxCookiesPerPlace) + "=v"), std::string::npos);
  EXPECT_EQ(header.find(Name(sent - TNetCookies::kMaxCookiesPerPlace - 1) + "=v"), std::string::npos);

  // Updating a kept cookie makes no room: nothing else goes.
  f.Set(Name(sent - 1) + "=new; path=/");
  EXPECT_EQ(f.Stored(), TNetCookies::kMaxCookiesPerPlace);
  EXPECT_NE(f.For("/").find(Name(sent - TNetCookies::kMaxCookiesPerPlace) + "=v"), std::string::npos);
  EXPECT_NE(f.For("/").find(Name(sent - 1) + "=new"), std::string::npos);
}

TEST(CookieBounds, ManyPlacesKeepTheNewestInAllAndTheIndexShrinksWithThem) {
  Flood f;
  const int sent = TNetCookies::kMaxCookies + 500;
  f.Set("sid=keep; path=/");
  for (int i = 0; i < sent; ++i) f.Set(Name(i) + "=v; path=/p" + std::to_string(i) + "/");
  EXPECT_EQ(f.Stored(), TNetCookies::kMaxCookies);
  EXPECT_EQ(f.Places(), TNetCookies::kMaxCookies);  // emptied places left the index
  EXPECT_EQ(f.For("/p" + std::to_string(sent - 1) + "/"), Name(sent - 1) + "=v");
  EXPECT_EQ(f.For("/p" + std::to_string(sent - TNetCookies::kMaxCookies) + "/"),
            Name(sent - TNetCookies::kMaxCookies) + "=v");
  EXPECT_EQ(f.For("/p0/"), "");  // the oldest went first, the session cookie with them
  EXPECT_EQ(f.For("/"), "");

  // The store takes new cookies as before.
  f.Set("sid=again; path=/");
  EXPECT_EQ(f.For("/"), "sid=again");
  EXPECT_EQ(f.Stored(), TNetCookies::kMaxCookies);

  // Places that moved up in the index when emptied ones left are still found:
  // a cookie set again replaces its old self instead of joining another place.
  const std::string last = "/p" + std::to_string(sent - 1) + "/";
  const int before = f.Places();
  f.Set(Name(sent - 1) + "=w; path=" + last);
  EXPECT_EQ(f.For(last), Name(sent - 1) + "=w; sid=again");  // longest path first
  EXPECT_EQ(f.Places(), before);
  EXPECT_EQ(f.Stored(), TNetCookies::kMaxCookies);
}
