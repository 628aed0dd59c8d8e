// The in-process desktop's monitors and what screen readers are told: one
// dpi for every window unless a test moves a window to a monitor of another,
// and the accessible names given to controls.
#include <map>
#include <mutex>

#include "platform/headless/desktop.h"
#include "platform/headless/desktop_internal.h"
#include "platform/shell.h"
#include "platform/window.h"

namespace platform {

namespace {
struct Monitors {
  std::mutex lock;
  int dpi = kBaseDpi;
  std::map<WindowHandle, int> windowDpi;
  std::map<WindowHandle, std::string> names;
};
Monitors& M() {
  static Monitors* m = new Monitors;
  return *m;
}
}  // namespace

int WindowDpi(WindowHandle window) {
  std::lock_guard<std::mutex> hold(M().lock);
  auto it = M().windowDpi.find(window);
  return it != M().windowDpi.end() ? it->second : M().dpi;
}

int NotifyIconPixels() {
  std::lock_guard<std::mutex> hold(M().lock);
  // The small icon is 16 pixels at 96 dpi and grows with it, as on Windows.
  return (16 * M().dpi + kBaseDpi / 2) / kBaseDpi;
}

void SetAccessibleName(WindowHandle window, const std::string& utf8) {
  std::lock_guard<std::mutex> hold(M().lock);
  M().names[window] = utf8;
}

namespace headless {
namespace detail {
void ResetDpi() {
  std::lock_guard<std::mutex> hold(M().lock);
  M().dpi = kBaseDpi;
  M().windowDpi.clear();
  M().names.clear();
}
}  // namespace detail

void SetDesktopDpi(int dpi) {
  std::lock_guard<std::mutex> hold(M().lock);
  M().dpi = dpi;
}

void SetWindowDpi(WindowHandle window, int dpi) {
  std::lock_guard<std::mutex> hold(M().lock);
  M().windowDpi[window] = dpi;
}

std::string AccessibleName(WindowHandle window) {
  std::lock_guard<std::mutex> hold(M().lock);
  auto it = M().names.find(window);
  return it != M().names.end() ? it->second : std::string();
}
}  // namespace headless
}  // namespace platform
