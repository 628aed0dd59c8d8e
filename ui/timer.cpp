#include "ui/timer.h"

namespace ts {

namespace {
constexpr std::uintptr_t kTimerId = 1;
}

TTimer::TTimer(TComponent* owner) : TComponent(owner) {
  handle_ = platform::NewWindow(platform::WindowKind::Hidden, 0, [this](platform::Message& m) {
    if (m.msg != platform::wm::Timer) return false;
    Fire(OnTimer, this);
    return true;
  });
  Restart();
}

TTimer::~TTimer() {
  platform::KillWindowTimer(handle_, kTimerId);
  platform::FreeWindow(handle_);
}

void TTimer::SetInterval(uint32_t milliseconds) {
  interval_ = milliseconds;
  Restart();
}

void TTimer::SetEnabled(bool enabled) {
  enabled_ = enabled;
  Restart();
}

void TTimer::Restart() {
  platform::KillWindowTimer(handle_, kTimerId);
  if (enabled_ && interval_ > 0) platform::SetWindowTimer(handle_, kTimerId, interval_);
}

}  // namespace ts
