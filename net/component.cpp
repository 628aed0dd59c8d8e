#include "net/component.h"

#include <thread>

#include "net/stack.h"

namespace ts {

TNetAntiFreezeBase* CurrentAntiFreeze = nullptr;

namespace {

// Static initialisation runs on the thread that starts the program.
const std::thread::id mainThreadId = std::this_thread::get_id();

}  // namespace

bool IsMainThread() { return std::this_thread::get_id() == mainThreadId; }

const char* NetStatusText(TNetStatus status) {
  switch (status) {
    case TNetStatus::StatusResolving:
      return "Resolving hostname %s.";
    case TNetStatus::StatusConnecting:
      return "Connecting to %s.";
    case TNetStatus::StatusConnected:
      return "Connected.";
    case TNetStatus::StatusDisconnecting:
      return "Disconnecting.";
    case TNetStatus::StatusDisconnected:
      return "Disconnected.";
    default:
      return "%s";
  }
}

// ---- TNetComponent ------------------------------------------------------------

TNetComponent::TNetComponent(TComponent* owner) : TNetBaseComponent(owner) {
  std::lock_guard<std::recursive_mutex> lock(SharedStackLock);
  if (StackUserCount == 0) SharedStack = new TNetStackWindows();
  ++StackUserCount;
}

TNetComponent::~TNetComponent() {
  std::lock_guard<std::recursive_mutex> lock(SharedStackLock);
  if (--StackUserCount == 0) {
    delete SharedStack;
    SharedStack = nullptr;
  }
}

void TNetComponent::ReportStatus(TNetStatus status, std::initializer_list<FormatValue> args) {
  if (!OnStatus) return;
  std::string text = Format(NetStatusText(status), args);
  OnStatus(this, status, text);
}

void TNetComponent::WorkStart(TWorkMode mode, int64_t maximum) {
  TWorkInfo& info = work_[static_cast<int>(mode)];
  if (++info.level == 1) {
    info.maximum = maximum;
    info.current = 0;
    Fire(OnWorkBegin, this, mode, maximum);
  }
}

void TNetComponent::WorkProgress(TWorkMode mode, int64_t count) {
  TWorkInfo& info = work_[static_cast<int>(mode)];
  if (info.level < 1) return;
  info.current += count;
  Fire(OnWork, this, mode, info.current);
}

void TNetComponent::WorkStop(TWorkMode mode) {
  TWorkInfo& info = work_[static_cast<int>(mode)];
  if (info.level == 1) Fire(OnWorkEnd, this, mode);
  // A stop without a start leaves the level at 0 rather than below it.
  if (info.level > 0) --info.level;
}

// ---- TNetAntiFreezeBase -------------------------------------------------------

TNetAntiFreezeBase::TNetAntiFreezeBase(TComponent* owner) : TNetBaseComponent(owner) { CurrentAntiFreeze = this; }

TNetAntiFreezeBase::~TNetAntiFreezeBase() { CurrentAntiFreeze = nullptr; }

bool TNetAntiFreezeBase::InUse() { return CurrentAntiFreeze && IsMainThread() && CurrentAntiFreeze->Active; }

void TNetAntiFreezeBase::Pump(bool idle, bool force) {
  if (!InUse()) return;
  if (idle || !CurrentAntiFreeze->OnlyWhenIdle || force) CurrentAntiFreeze->ProcessMessages();
}

}  // namespace ts
