// Times whole snaps against a running note service: the snap pipeline over the
// in-process desktop, with our HTTP client doing the requests. Each snap copies
// a fresh text and starts five (simulated) seconds after the last upload, so
// every one goes all the way to "complete!". The cues are not played and the
// 300 ms pause after a login passes on the simulated clock, so what is timed
// is the client's own work plus the service's answers.
//
//   snap_bench BASE_URL USER PASSWORD COUNT
// prints tab-separated lines: figure, unit, value.
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

class THttpHost : public TSnapHost {
public:
  THttpHost(std::string base, std::string user, std::string password)
      : base_(std::move(base)), user_(std::move(user)), password_(std::move(password)) {
    // Set up as the settings window sets its client up: redirects followed, cookies kept.
    if constexpr (requires(TNetHTTP& h) { h.HandleRedirects = true; })
      http_.HandleRedirects = true;
    else
      http_.SetHandleRedirects(true);
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
    if constexpr (requires(TNetHTTP& h) { h.PostForm(url, &form); })
      return http_.PostForm(url, &form);
    else
      return http_.PostForm(url, form);
  }

  std::string lastTitle;

private:
  TNetHTTP http_{nullptr};
  std::string base_, user_, password_;
};

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const size_t at = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5));
  return values[at];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s BASE_URL USER PASSWORD COUNT\n", argv[0]);
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
  try {
    for (int i = 0; i < count; ++i) {
      hl::SetClipboardUnicodeText(Utf8ToUtf16("snap " + std::to_string(i) + " \xe3\x83\x86\xe3\x82\xad\xe3\x82\xb9\xe3\x83\x88"));
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
  // The first snap signs in; the figures are those of the snaps that follow it.
  std::vector<double> steady(ms.size() > 1 ? ms.begin() + 1 : ms.begin(), ms.end());
  std::printf("snap, first (signs in)\tms\t%.3f\n", ms.front());
  std::printf("snap overhead median\tms\t%.3f\n", Percentile(steady, 0.5));
  std::printf("snap overhead p99\tms\t%.3f\n", Percentile(steady, 0.99));
  return 0;
}
