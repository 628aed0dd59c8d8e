// Drives our HTTP client against a local server for bench/loopback.sh:
//
//   loopback_client bulk URL            one GetToStream into a discarding stream
//   loopback_client keepalive URL N     N GetText of URL, one after the other
//   loopback_client post URL N FILE     N PostForm of "note=" + FILE's bytes
//   loopback_client connect URL N       N GetText of URL, each on a new connection
//   loopback_client snap BASE USER PASSWORD N
//                                       signs in at the note service BASE, then N
//                                       snaps' exchanges: the probe, then the
//                                       note's upload (a form post, on a new
//                                       connection), as the program does them
//
// An https URL goes through the TLS end point (the system's trust store, so
// SSL_CERT_FILE may name the server's certificate). TS_BENCH_TRUST_CA names a
// PEM certificate to trust first, as the TLS suite does: under Wine it goes
// into the Root store of the prefix the run uses. TS_BENCH_NO_RESUME=1 keeps
// no TLS sessions (every handshake a full one).
//
// prints "seconds bytes peak-rss-KiB" (bytes: body bytes received; under
// Windows the peak working set); snap prints "seconds median-ms p99-ms
// cpu-ms-per-snap" for the N snaps after the sign-in.
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
#include <stdexcept>
#include <string>
#include <vector>

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

// Milliseconds of CPU the process has used.
double CpuMs() {
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ms = [](const FILETIME& t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4;
  };
  return ms(kernel) + ms(user);
#else
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
#endif
}

// The program's exchange with the note service for one snap: the probe,
// the sign-in when the probe asks for it, the upload. False when the service
// did not store the note.
bool Snap(TNetHTTP& http, const std::string& base, const std::string& user, const std::string& password, long i) {
  const std::string probe = http.GetText(base + "/posts/nop/?" + std::to_string(i));
  if (probe.find("data[User][username]") != std::string::npos) {
    TStringList login;
    login.Add("data[User][username]=" + user);
    login.Add("data[User][password]=" + password);
    PostLines(http, base + "/users/login", login);
  }
  TStringList note;
  note.Add("data[Param][xmldata]=<xml><post><title></title><body>%E3%83%86%20" + std::to_string(i) +
           "</body><color>11270143</color><paperid>2026121002143" + std::to_string(1000 + i % 9000) +
           "</paperid></post></xml>");
  const std::string answer = PostLines(http, base + "/posts/addpinleaf", note);
  if (answer.find("====") != std::string::npos) return true;
  std::fprintf(stderr, "the upload was answered: %s\n", answer.c_str());
  return false;
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
  TNetSSLIOHandlerSocket* tls = nullptr;
  if (url.rfind("https:", 0) == 0) {
    tls = new TNetSSLIOHandlerSocket(&http);
    // TS_BENCH_NO_RESUME=1: every connection a full handshake, as before
    // sessions were kept.
    if (const char* off = std::getenv("TS_BENCH_NO_RESUME"); off && std::string(off) == "1")
      tls->SetSessionCache(nullptr);
    http.SetIOHandler(tls);
  }
  long connections = 0, resumed = 0;
  http.OnConnected = [&](TObject*) {
    ++connections;
    if (tls && tls->Resumed()) ++resumed;
  };
  if (mode == "snap") {
    // As the program sets its client up.
    if (argc < 6) return 2;
    http.HandleRedirects = true;
    http.Request().Accept = "text/html, */*";
    http.Request().UserAgent = "Mozilla/3.0 (compatible; text snap)";
    const long snaps = std::atol(argv[5]);
    std::vector<double> ms;
    try {
      if (!Snap(http, url, argv[3], argv[4], 0)) throw std::runtime_error("the first snap was not stored");
      const double cpu0 = CpuMs();
      const auto begin = std::chrono::steady_clock::now();
      for (long i = 1; i <= snaps; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        if (!Snap(http, url, argv[3], argv[4], i)) throw std::runtime_error("a snap was not stored");
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
      }
      const double cpu = (CpuMs() - cpu0) / static_cast<double>(snaps);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
      std::sort(ms.begin(), ms.end());
      const double median = ms[ms.size() / 2];
      const double p99 =
          ms[std::min(ms.size() - 1, static_cast<size_t>(0.99 * static_cast<double>(ms.size() - 1) + 0.5))];
      std::printf("%.6f %.3f %.3f %.3f\n", seconds, median, p99, cpu);
      std::fprintf(stderr, "%ld connections, %ld of them resumed a TLS session\n", connections, resumed);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
      return 1;
    }
    return 0;
  }
  long long bytes = 0;
  const auto start = std::chrono::steady_clock::now();
  try {
    if (mode == "bulk") {
      // A download of any size: the bound of an answer is the service
      // client's, not the engine's throughput's.
      http.MaxBodyBytes = int64_t{1} << 40;
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
