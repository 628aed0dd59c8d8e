// Start-up of the client over the in-process desktop, as the program starts:
// the application object, the invisible main window with its components (the
// tray icon adds itself while the window is created) and the message loop.
// The clock stops when the loop first has nothing to do, the icon in the tray;
// then the program quits as from its tray menu.
//
//   footprint SETTINGS_FILE
// prints tab-separated lines: figure, unit, value.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "app/form1.h"
#include "platform/headless/control.h"
#include "platform/headless/desktop.h"
#include "ui/application.h"

using namespace ts;
namespace hl = platform::headless;

namespace {

std::string g_settings;

class TFootprintForm : public TForm1 {
public:
  explicit TFootprintForm(TComponent* owner) : TForm1(owner, g_settings) {}
};

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const auto start = std::chrono::steady_clock::now();
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s SETTINGS_FILE\n", argv[0]);
    return 2;
  }
  g_settings = argv[1];
  double ready = -1;
  size_t icons = 0;
  long rssReady = 0;
  TApplication application;
  hl::SetIdleHandler([&] {
    if (ready < 0) {
      ready = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      icons = hl::TrayIcons().size();
      rssReady = PeakRssKiB();
      application.Terminate();
      return true;
    }
    return false;
  });
  // The same steps as the program's start-up.
  application.Initialize();
  application.ShowMainForm = false;
  application.SetTitle(kApplicationTitle);
  application.CreateForm<TFootprintForm>();
  application.Run();
  hl::SetIdleHandler(nullptr);
  if (ready < 0 || icons != 1) {
    std::fprintf(stderr, "the loop never idled with one tray icon (%zu icons)\n", icons);
    return 1;
  }
  std::printf("client start-up to tray icon (in process)\tms\t%.3f\n", ready);
  std::printf("client peak RSS at start-up\tKiB\t%ld\n", rssReady);
  return 0;
}
