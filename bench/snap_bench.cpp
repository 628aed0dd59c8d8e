// Times whole snaps against a running note service: the program's window over
// the in-process desktop, from the hotkey to the "complete!" balloon, with our
// HTTP client doing the requests. Each snap copies a fresh text and starts
// five (simulated) seconds after the last upload, so every one goes all the way
// to "complete!". The in-process desktop plays cues instantly and the 300 ms
// pause after a login passes on the simulated clock, so what is timed is the
// client's own work plus the service's answers.
//
//   snap_bench BASE_URL USER PASSWORD COUNT [LABEL]
// prints tab-separated lines: figure, unit, value (wall time of the first snap,
// median and p99 of the others, and the client's own CPU time per snap).
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/form1.h"
#include "app/settings.h"
#include "platform/headless/control.h"
#include "platform/headless/desktop.h"
#include "runtime/codepage.h"
#include "ui/application.h"

using namespace ts;
namespace hl = platform::headless;

namespace {

constexpr unsigned kHotKeyCode = 120;  // Ctrl+Shift+F9
constexpr unsigned kHotKeyMods = 6;

// The title of the last balloon the window sent to the shell.
std::string LastBalloonTitle() {
  const auto& calls = hl::NotifyIconCalls();
  for (auto it = calls.rbegin(); it != calls.rend(); ++it)
    if ((it->data.uFlags & platform::nif::Info) && it->data.szInfoTitle[0]) return it->data.szInfoTitle;
  return "";
}

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
  const auto dir = std::filesystem::temp_directory_path() / ("textsnap-snap-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string ini = (dir / "ini.ini").string();
  TSettings settings;
  settings.url = argv[1];
  settings.id = argv[2];
  settings.password = argv[3];
  settings.hotkeyCode = kHotKeyCode;
  settings.hotkeyModifiers = kHotKeyMods;
  settings.autoCopy = false;
  SaveSettings(ini, settings);
  auto app = std::make_unique<TApplication>();
  app->ShowMainForm = false;
  new TForm1(app.get(), ini);
  std::vector<double> ms;
  double cpuAfterFirst = 0;
  int status = 0;
  for (int i = 0; i < count && status == 0; ++i) {
    if (i == 1) cpuAfterFirst = CpuMs();
    hl::SetClipboardUnicodeText(
        Utf8ToUtf16("snap " + std::to_string(i) + " \xe3\x83\x86\xe3\x82\xad\xe3\x82\xb9\xe3\x83\x88"));
    hl::AdvanceClock(5000);
    hl::ClearNotifyIconCalls();
    const auto start = std::chrono::steady_clock::now();
    hl::PressHotKey(kHotKeyMods, kHotKeyCode);
    app->ProcessMessages();
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    if (LastBalloonTitle() != "complete!") {
      std::fprintf(stderr, "snap %d ended with \"%s\"\n", i, LastBalloonTitle().c_str());
      for (const auto& box : hl::MessageBoxes()) std::fprintf(stderr, "  error box: %s\n", box.text.c_str());
      status = 1;
    }
  }
  app.reset();
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  if (status) return status;
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
