// Times whole snaps against a running note service: the snap pipeline over the
// in-process desktop, with our HTTP client doing the requests. Each snap copies
// a fresh text and starts five (simulated) seconds after the last upload, so
// every one goes all the way to "complete!". The cues are not played and the
// 300 ms pause after a login passes on the simulated clock, so what is timed
// is the client's own work plus the service's answers.
//
//   snap_bench BASE_URL USER PASSWORD COUNT [LABEL]
// prints tab-separated lines: figure, unit, value (wall time of the first snap,
// median and p99 of the others, and the client's own CPU time per snap).
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include TS_NETHTTP_HEADER
#include "app/snap.h"
#include "http/cookies.h"
#include "platform/headless/control.h"
#include "platform/headless/desktop.h"
#include "runtime/codepage.h"

using namespace ts;
namespace hl = platform::headless;

namespace {

// The client's settings and form posts, whichever form its interface takes
// (a plain field or a setter; the list by pointer or by reference).
template <typename Client>
void FollowRedirects(Client& http) {
  if constexpr (requires { http.HandleRedirects = true; })
    http.HandleRedirects = true;
  else
    http.SetHandleRedirects(true);
}

template <typename Client>
std::string PostLines(Client& http, const std::string& url, TStringList& form) {
  if constexpr (requires { http.PostForm(url, &form); })
    return http.PostForm(url, &form);
  else
    return http.PostForm(url, form);
}

class THttpHost : public TSnapHost {
public:
  THttpHost(std::string base, std::string user, std::string password)
      : base_(std::move(base)), user_(std::move(user)), password_(std::move(password)) {
    // Set up as the settings window sets its client up: redirects followed, cookies kept.
    FollowRedirects(http_);
  }

  void ClearBalloon() override {}
  void TitleBalloon(int, const std::string& title) override { lastTitle = title; }
  void FullBalloon(int, const std::string& title, const std::string&) override { lastTitle = title; }
  bool AutoCopy() override { return false; }
  std::string UserId() override { return user_; }
  std::string Password() override { return password_; }
  std::string BaseUrl() override { return base_; }
  void SetSendEnabled(bool) override {}
  void ShowResponse(const std::string&) override {}
  void ProcessMessages() override {}
  void PlayCue(int) override {}
  std::string GetText(const std::string& url) override { return http_.GetText(url); }
  std::string PostForm(const std::string& url, const TStringList& lines) override {
    TStringList form(lines);  // the client encodes the caller's list in place
    return PostLines(http_, url, form);
  }

  std::string lastTitle;

private:
  TNetHTTP http_{nullptr};
  std::string base_, user_, password_;
};

double CpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0);
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const size_t at = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5));
  return values[at];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s BASE_URL USER PASSWORD COUNT [LABEL]\n", argv[0]);
    return 2;
  }
  const int count = std::max(1, std::atoi(argv[4]));
  hl::ResetDesktop();
  hl::SetAnsiCodePage(932);
  hl::SetTickCount(100000);
  hl::SetLocalTime({2026, 12, 8, 2, 14, 30, 15, 123});
  THttpHost host(argv[1], argv[2], argv[3]);
  TSnapPipeline snap(host);
  std::vector<double> ms;
  double cpuAfterFirst = 0;
  try {
    for (int i = 0; i < count; ++i) {
      if (i == 1) cpuAfterFirst = CpuMs();
      hl::SetClipboardUnicodeText(
          Utf8ToUtf16("snap " + std::to_string(i) + " \xe3\x83\x86\xe3\x82\xad\xe3\x82\xb9\xe3\x83\x88"));
      hl::AdvanceClock(5000);
      const auto start = std::chrono::steady_clock::now();
      snap.Run();
      ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
      if (host.lastTitle != "complete!") {
        std::fprintf(stderr, "snap %d ended with \"%s\"\n", i, host.lastTitle.c_str());
        return 1;
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  // The first snap may sign in; the figures are those of the snaps that follow it.
  const std::string label = argc > 5 ? std::string(argv[5]) + " " : std::string();
  std::vector<double> steady(ms.size() > 1 ? ms.begin() + 1 : ms.begin(), ms.end());
  const double cpu = count > 1 ? (CpuMs() - cpuAfterFirst) / (count - 1) : 0;
  std::printf("snap %sfirst\tms\t%.3f\n", label.c_str(), ms.front());
  std::printf("snap %smedian\tms\t%.3f\n", label.c_str(), Percentile(steady, 0.5));
  std::printf("snap %sp99\tms\t%.3f\n", label.c_str(), Percentile(steady, 0.99));
  std::printf("snap %sclient CPU mean\tms\t%.3f\n", label.c_str(), cpu);
  return 0;
}
