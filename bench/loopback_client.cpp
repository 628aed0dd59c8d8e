// Drives our HTTP client against a local server for bench/loopback.sh:
//
//   loopback_client bulk URL            one GetToStream into a discarding stream
//   loopback_client keepalive URL N     N GetText of URL, one after the other
//   loopback_client post URL N FILE     N PostForm of "note=" + FILE's bytes
//   loopback_client connect URL N       N GetText of URL, each on a new connection
//
// An https URL goes through the TLS end point (the system's trust store, so
// SSL_CERT_FILE may name the server's certificate). TS_BENCH_TRUST_CA names a
// PEM certificate to trust first, as the TLS suite does: under Wine it goes
// into the Root store of the prefix the run uses.
//
// prints "seconds bytes peak-rss-KiB" (bytes: body bytes received; under
// Windows the peak working set).
#ifdef _WIN32
#include <windows.h>
// windows.h first: psapi.h builds on its types.
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "bench/discard_stream.h"
#include "http/http.h"
#include "net/tlshandler.h"
#include "runtime/stream.h"
#include "runtime/strings.h"
#include "tests/tls/trust.h"

using namespace ts;

namespace {

using ts::bench::TDiscardStream;

// The client takes its stream and form list by pointer or by reference;
// either form is accepted here.
template <typename Client>
void GetInto(Client& http, const std::string& url, TStream& sink) {
  if constexpr (requires { http.GetToStream(url, &sink); })
    http.GetToStream(url, &sink);
  else
    http.GetToStream(url, sink);
}

template <typename Client>
std::string PostLines(Client& http, const std::string& url, TStringList& form) {
  if constexpr (requires { http.PostForm(url, &form); })
    return http.PostForm(url, &form);
  else
    return http.PostForm(url, form);
}

long PeakRssKiB() {
#ifdef _WIN32
  PROCESS_MEMORY_COUNTERS counters{};
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return static_cast<long>(counters.PeakWorkingSetSize / 1024);
#else
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s bulk|keepalive|post URL [N] [FILE]\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1], url = argv[2];
  const long count = argc > 3 ? std::atol(argv[3]) : 1;
  if (const char* ca = std::getenv("TS_BENCH_TRUST_CA")) {
    if (std::string why = TrustTestCA(ca); !why.empty()) {
      std::fprintf(stderr, "%s\n", why.c_str());
      return 1;
    }
  }
  TNetHTTP http(nullptr);
  if (url.rfind("https:", 0) == 0) http.SetIOHandler(new TNetSSLIOHandlerSocket(&http));
  long long bytes = 0;
  const auto start = std::chrono::steady_clock::now();
  try {
    if (mode == "bulk") {
      TDiscardStream sink;
      GetInto(http, url, sink);
      bytes = sink.Size();
    } else if (mode == "keepalive") {
      for (long i = 0; i < count; ++i) bytes += static_cast<long long>(http.GetText(url).size());
    } else if (mode == "connect") {
      for (long i = 0; i < count; ++i) {
        bytes += static_cast<long long>(http.GetText(url).size());
        http.Disconnect();
      }
    } else if (mode == "post" && argc > 4) {
      std::ifstream file(argv[4], std::ios::binary);
      const std::string note((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      for (long i = 0; i < count; ++i) {
        TStringList form;
        form.Add("note=" + note);
        bytes += static_cast<long long>(PostLines(http, url, form).size());
      }
    } else {
      std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
      return 2;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.6f %lld %ld\n", seconds, bytes, PeakRssKiB());
  return 0;
}
