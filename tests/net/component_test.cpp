// Transport components: the shared stack's lifetime, status texts, work spans
// and the anti-freeze hooks.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "net/component.h"
#include "net/stack.h"
#include "runtime/exception.h"

using namespace ts;

TEST(SharedStack, LivesFromTheFirstComponentToTheLast) {
  ASSERT_EQ(StackUserCount, 0) << "another test left a component alive";
  EXPECT_EQ(SharedStack, nullptr);
  auto* a = new TNetComponent(nullptr);
  TNetStack* first = SharedStack;
  ASSERT_NE(first, nullptr);
  void* library = winsock::WinsockLibraryHandle();
  auto* b = new TNetComponent(nullptr);
  EXPECT_EQ(SharedStack, first);
  EXPECT_EQ(StackUserCount, 2);
  delete a;
  EXPECT_EQ(SharedStack, first);
  delete b;
  EXPECT_EQ(SharedStack, nullptr);
  EXPECT_EQ(StackUserCount, 0);

  // A new stack later; the library stays loaded and is not started again.
  TNetComponent c(nullptr);
  EXPECT_NE(SharedStack, nullptr);
  EXPECT_TRUE(WinsockStarted.load());
  EXPECT_EQ(winsock::WinsockLibraryHandle(), library);
}

TEST(SharedStack, OwnedComponentsReleaseTheirShareWithTheirOwner) {
  {
    TComponent owner(nullptr);
    new TNetComponent(&owner);
    new TNetComponent(&owner);
    EXPECT_EQ(StackUserCount, 2);
  }
  EXPECT_EQ(StackUserCount, 0);
  EXPECT_EQ(SharedStack, nullptr);
}

TEST(ReportStatus, FormatsTheFixedTextOnlyForAHandler) {
  TNetComponent c(nullptr);
  // The resolving text needs an argument: formatting it without one would fail,
  // so no failure proves nothing was formatted.
  EXPECT_NO_THROW(c.ReportStatus(TNetStatus::StatusResolving));

  std::vector<std::pair<TNetStatus, std::string>> seen;
  TObject* sender = nullptr;
  c.OnStatus = [&](TObject* s, TNetStatus status, const std::string& text) {
    sender = s;
    seen.emplace_back(status, text);
  };
  c.ReportStatus(TNetStatus::StatusResolving, {"example.org"});
  c.ReportStatus(TNetStatus::StatusConnecting, {"127.0.0.1"});
  c.ReportStatus(TNetStatus::StatusConnected, {"example.org"});
  c.ReportStatus(TNetStatus::StatusDisconnecting);
  c.ReportStatus(TNetStatus::StatusDisconnected);
  c.ReportStatus(TNetStatus::StatusMessage, {"Chunk Started"});
  EXPECT_EQ(sender, &c);
  std::vector<std::pair<TNetStatus, std::string>> expected = {
      {TNetStatus::StatusResolving, "Resolving hostname example.org."},
      {TNetStatus::StatusConnecting, "Connecting to 127.0.0.1."},
      {TNetStatus::StatusConnected, "Connected."},
      {TNetStatus::StatusDisconnecting, "Disconnecting."},
      {TNetStatus::StatusDisconnected, "Disconnected."},
      {TNetStatus::StatusMessage, "Chunk Started"},
  };
  EXPECT_EQ(seen, expected);
  EXPECT_THROW(c.ReportStatus(TNetStatus::StatusResolving), EConvertError);
}

TEST(WorkSpans, NestedSpansFireOnceAndProgressIsARunningTotal) {
  TNetComponent c(nullptr);
  std::vector<std::string> events;
  c.OnWorkBegin = [&](TObject*, TWorkMode mode, int64_t max) {
    events.push_back("begin " + std::to_string(static_cast<int>(mode)) + " " + std::to_string(max));
  };
  c.OnWork = [&](TObject*, TWorkMode mode, int64_t count) {
    events.push_back("work " + std::to_string(static_cast<int>(mode)) + " " + std::to_string(count));
  };
  c.OnWorkEnd = [&](TObject*, TWorkMode mode) { events.push_back("end " + std::to_string(static_cast<int>(mode))); };

  c.WorkProgress(TWorkMode::WorkRead, 5);  // outside a span: dropped
  c.WorkStart(TWorkMode::WorkRead, 100);
  c.WorkProgress(TWorkMode::WorkRead, 30);
  c.WorkStart(TWorkMode::WorkRead, 999);  // nested: nothing fires
  c.WorkProgress(TWorkMode::WorkRead, 70);
  c.WorkStart(TWorkMode::WorkWrite, 10);  // the other mode has its own span
  c.WorkProgress(TWorkMode::WorkWrite, 10);
  c.WorkStop(TWorkMode::WorkWrite);
  c.WorkStop(TWorkMode::WorkRead);  // inner
  EXPECT_EQ(c.WorkInfo(TWorkMode::WorkRead).maximum, 100);
  c.WorkStop(TWorkMode::WorkRead);  // outer

  std::vector<std::string> expected = {"begin 0 100", "work 0 30", "work 0 100", "begin 1 10",
                                       "work 1 10",   "end 1",     "end 0"};
  EXPECT_EQ(events, expected);

  // An unbalanced stop does not leave the mode unable to start again.
  c.WorkStop(TWorkMode::WorkRead);
  events.clear();
  c.WorkStart(TWorkMode::WorkRead, 1);
  EXPECT_EQ(events, std::vector<std::string>{"begin 0 1"});
  c.WorkStop(TWorkMode::WorkRead);
}

namespace {
class TCountingAntiFreeze : public TNetAntiFreezeBase {
public:
  using TNetAntiFreezeBase::TNetAntiFreezeBase;
  void ProcessMessages() override { ++calls; }
  int calls = 0;
};
}  // namespace

TEST(AntiFreeze, PumpsOnlyWhenInUseIdleOrForced) {
  EXPECT_FALSE(TNetAntiFreezeBase::InUse());
  TNetAntiFreezeBase::Pump(true, true);  // nothing to call

  auto* first = new TCountingAntiFreeze(nullptr);
  TCountingAntiFreeze af(nullptr);  // replaces the first one
  EXPECT_EQ(CurrentAntiFreeze, &af);
  EXPECT_EQ(af.IdleTimeOut, 250);
  EXPECT_TRUE(af.OnlyWhenIdle && af.Active && af.ApplicationHasPriority);
  EXPECT_TRUE(TNetAntiFreezeBase::InUse());

  TNetAntiFreezeBase::Pump(true);
  TNetAntiFreezeBase::Pump(false);  // busy and only when idle: skipped
  TNetAntiFreezeBase::Pump(false, true);
  EXPECT_EQ(af.calls, 2);
  af.OnlyWhenIdle = false;
  TNetAntiFreezeBase::Pump(false);
  EXPECT_EQ(af.calls, 3);

  // Never from another thread.
  bool inUseElsewhere = true;
  std::thread([&] {
    inUseElsewhere = TNetAntiFreezeBase::InUse();
    TNetAntiFreezeBase::Pump(true, true);
  }).join();
  EXPECT_FALSE(inUseElsewhere);
  EXPECT_EQ(af.calls, 3);

  af.Active = false;
  EXPECT_FALSE(TNetAntiFreezeBase::InUse());
  TNetAntiFreezeBase::Pump(true, true);
  EXPECT_EQ(af.calls, 3);
  EXPECT_EQ(first->calls, 0);

  // Destroying any anti-freeze clears the current one.
  delete first;
  EXPECT_EQ(CurrentAntiFreeze, nullptr);
}
