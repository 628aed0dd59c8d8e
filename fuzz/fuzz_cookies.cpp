// The cookie store fed by a hostile server: header values parsed, admitted or
// refused for the request host, updated in place, then the Cookie header built
// for a request. Input: byte 0 picks the code page, then
// host "\n" request URL "\n" one header value per line; a value that starts
// with "2" goes through Set-cookie2, any other through Set-cookie.
#include "fuzz/fuzz_common.h"
#include "http/cookies.h"
#include "runtime/exception.h"
#include "runtime/text.h"

using namespace ts;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::FixClock();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::PickCodePage(data, size);
  std::vector<std::string> p = fuzz::Split(data, size, 64);
  p.resize(std::max<size_t>(p.size(), 2));
  // The host comes from the user's own URL: a name without blanks or ";".
  std::string host;
  for (char c : p[0])
    if (static_cast<unsigned char>(c) > 0x20 && c != ';') host += c;
  TNetURI uri(p[1]);

  TNetCookieManager manager(nullptr);
  for (size_t i = 2; i < p.size(); ++i) {
    const std::string& line = p[i];
    try {
      if (!line.empty() && line[0] == '2')
        manager.StoreSetCookie2(line.substr(1), host);
      else
        manager.StoreSetCookie(line, host);
    } catch (const EConvertError&) {
      // A Port item that is not a number: the value is refused with this error.
    } catch (const EListError&) {
    }
  }

  // Every cookie in the index is one the host was allowed to set, and no
  // group holds a name twice.
  TNetCookies* cookies = manager.CookieCollection();
  TNetCookieList& index = cookies->LockIndex(TNetAccessKind::akRead);
  for (int g = 0; g < index.Count(); ++g) {
    auto* group = static_cast<TNetCookieList*>(index.Objects(g));
    for (int c = 0; c < group->Count(); ++c) {
      auto* cookie = static_cast<TNetNetscapeCookie*>(group->Objects(c));
      if (!cookie->MatchesHost(host))
        std::fprintf(stderr, "host [%s] domain [%s] name [%s] raw [%s]\n", host.c_str(), cookie->Domain.c_str(),
                     cookie->Name.c_str(), cookie->RawText.c_str());
      FUZZ_CHECK(cookie->MatchesHost(host), "only cookies the host may set are kept");
      FUZZ_CHECK(SameText(index[g], cookie->Domain + cookie->Path), "a cookie sits under its domain and path");
      for (int d = c + 1; d < group->Count(); ++d)
        FUZZ_CHECK(!SameText((*group)[c], (*group)[d]), "names are unique within a group");
    }
  }
  cookies->UnlockIndex(TNetAccessKind::akRead);

  std::string header = manager.CookieHeaderFor(uri, size & 1);
  FUZZ_CHECK(header.find("\r") == std::string::npos && header.find("\n") == std::string::npos,
             "the Cookie header stays on its line");

  // A cookie read from another's server text, and copied onto a third.
  TNetCookieRFC2965 a(nullptr), b(nullptr);
  try {
    a.ParseText(p.back());
    b.ParseText(a.ServerText());
    b.CopyFrom(a);
    if (!a.Value.empty() && Trim(a.Name) == a.Name) FUZZ_CHECK(b.Name == a.Name, "a copy keeps the name");
  } catch (const EConvertError&) {
  } catch (const EListError&) {
  }
  return 0;
}
