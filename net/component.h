// Base of every transport component: keeps the shared socket stack alive,
// reports status texts and work progress. The anti-freeze hooks let a blocking
// wait pump the GUI; none is placed by this program, so they stay inert.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

#include "runtime/component.h"
#include "runtime/text.h"

namespace ts {

// Time-outs are in milliseconds, with two values of their own.
inline constexpr int NetTimeoutDefault = -1;   // the component's own setting (a read: ReadTimeout)
inline constexpr int NetTimeoutInfinite = -2;  // no limit

enum class TWorkMode { WorkRead = 0, WorkWrite = 1 };

enum class TNetStatus {
  StatusResolving = 0,
  StatusConnecting = 1,
  StatusConnected = 2,
  StatusDisconnecting = 3,
  StatusDisconnected = 4,
  StatusMessage = 5,
  StatusReserved6 = 6,
  StatusReserved7 = 7,
  StatusReserved8 = 8,
};

// The fixed text of a status, before formatting.
const char* NetStatusText(TNetStatus status);

using TNetStatusEvent = std::function<void(TObject* sender, TNetStatus status, const std::string& statusText)>;
using TWorkEvent = std::function<void(TObject* sender, TWorkMode workMode, int64_t workCount)>;
using TWorkBeginEvent = std::function<void(TObject* sender, TWorkMode workMode, int64_t workCountMax)>;
using TWorkEndEvent = std::function<void(TObject* sender, TWorkMode workMode)>;

class TNetBaseComponent : public TComponent {
public:
  explicit TNetBaseComponent(TComponent* owner) : TComponent(owner) {}
};

class TNetComponent : public TNetBaseComponent {
public:
  explicit TNetComponent(TComponent* owner);
  ~TNetComponent() override;

  TNetStatusEvent OnStatus;
  TWorkEvent OnWork;
  TWorkBeginEvent OnWorkBegin;
  TWorkEndEvent OnWorkEnd;

  // Fires OnStatus with the status's text formatted with `args`; without a
  // handler nothing is formatted.
  void ReportStatus(TNetStatus status, std::initializer_list<FormatValue> args = {});

  virtual void WorkStart(TWorkMode mode, int64_t maximum);
  virtual void WorkProgress(TWorkMode mode, int64_t count);
  virtual void WorkStop(TWorkMode mode);

  // Work-span state of one mode (for inspection).
  struct TWorkInfo {
    int64_t current = 0;
    int64_t maximum = 0;
    int level = 0;
  };
  const TWorkInfo& WorkInfo(TWorkMode mode) const { return work_[static_cast<int>(mode)]; }

private:
  std::array<TWorkInfo, 2> work_{};
};

// Lets blocking waits process GUI messages. Creating one at run time makes it
// the current one; destroying one clears the current one.
class TNetAntiFreezeBase : public TNetBaseComponent {
public:
  explicit TNetAntiFreezeBase(TComponent* owner);
  ~TNetAntiFreezeBase() override;

  bool Active = true;
  bool ApplicationHasPriority = true;
  int IdleTimeOut = 250;
  bool OnlyWhenIdle = true;

  virtual void ProcessMessages() = 0;

  // True when an anti-freeze is current, active, and the caller is the main thread.
  static bool InUse();
  // Let the current anti-freeze process messages when idle (or not only when
  // idle, or forced).
  static void Pump(bool idle, bool force = false);
};

extern TNetAntiFreezeBase* CurrentAntiFreeze;

// Whether the calling thread is the one that started the program.
bool IsMainThread();

}  // namespace ts
