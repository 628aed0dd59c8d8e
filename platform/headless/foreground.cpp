// The focused window of the in-process desktop: what a test says it is.
#include <mutex>

#include "platform/foreground.h"
#include "platform/headless/desktop.h"
#include "platform/headless/desktop_internal.h"

namespace platform {

namespace {
struct Focused {
  std::mutex lock;
  ForegroundWindow window;
  int asked = 0;
};
Focused& F() {
  static Focused* f = new Focused;
  return *f;
}
}  // namespace

ForegroundWindow ForegroundWindowInfo() {
  std::lock_guard<std::mutex> hold(F().lock);
  ++F().asked;
  return F().window;
}

namespace headless {
namespace detail {
void ResetForeground() {
  std::lock_guard<std::mutex> hold(F().lock);
  F().window = {};
  F().asked = 0;
}
}  // namespace detail

void SetForegroundWindowInfo(const std::string& title, const std::string& program) {
  std::lock_guard<std::mutex> hold(F().lock);
  F().window = {title, program};
}
int ForegroundWindowAsked() {
  std::lock_guard<std::mutex> hold(F().lock);
  return F().asked;
}
}  // namespace headless
}  // namespace platform
