// A timer component: OnTimer runs on the GUI thread every Interval
// milliseconds while Enabled, from the message loop (never in the middle of
// another handler unless that handler pumps messages itself).
#pragma once

#include <cstdint>

#include "platform/window.h"
#include "runtime/component.h"

namespace ts {

class TTimer : public TComponent {
public:
  explicit TTimer(TComponent* owner);
  ~TTimer() override;

  uint32_t Interval() const { return interval_; }
  // Restarts the count when enabled; 0 stops the timer.
  void SetInterval(uint32_t milliseconds);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  TNotifyEvent OnTimer;

private:
  void Restart();
  platform::WindowHandle handle_ = 0;
  uint32_t interval_ = 1000;
  bool enabled_ = true;
};

}  // namespace ts
