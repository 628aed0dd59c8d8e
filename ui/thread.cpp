#include "ui/thread.h"

#include <atomic>
#include <deque>
#include <mutex>

#include "platform/window.h"
#include "ui/controls.h"

namespace ts {

namespace {
struct Notices {
  std::mutex lock;
  std::deque<std::function<void()>> queue;
  std::atomic<platform::WindowHandle> window{0};
};
// Never destroyed: a worker may still hand over work while the process ends.
Notices& N() {
  static Notices* n = new Notices;
  return *n;
}
}  // namespace

namespace detail {
void SetNoticeWindow(platform::WindowHandle window) {
  N().window = window;
  if (!window) {
    std::lock_guard<std::mutex> hold(N().lock);
    N().queue.clear();
  }
}

void RunNotices() {
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard<std::mutex> hold(N().lock);
      if (N().queue.empty()) return;
      work = std::move(N().queue.front());
      N().queue.pop_front();
    }
    DispatchGuarded([&] {
      work();
      return true;
    });
  }
}
}  // namespace detail

void QueueOnMainThread(std::function<void()> work) {
  platform::WindowHandle window = N().window;
  if (!window) return;
  {
    std::lock_guard<std::mutex> hold(N().lock);
    N().queue.push_back(std::move(work));
  }
  platform::PostToWindow(window, platform::wm::Notice, 0, 0);
}

TThread::~TThread() {
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id())
      thread_.detach();
    else
      thread_.join();
  }
}

void TThread::Start() {
  thread_ = std::thread([this] {
    Execute();
    QueueOnMainThread([this] {
      Fire(OnTerminate, this);
      if (FreeOnTerminate) {
        if (thread_.joinable()) thread_.join();
        delete this;
      }
    });
  });
}

void TThread::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace ts
