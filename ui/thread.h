// Worker threads and the way their results reach the GUI thread.
#pragma once

#include <functional>
#include <thread>

#include "runtime/object.h"

namespace ts {

// Runs `work` on the GUI thread the next time the message loop runs; callable
// from any thread. Dropped when no application exists.
void QueueOnMainThread(std::function<void()> work);

class TThread : public TObject {
public:
  TThread() = default;
  ~TThread() override;
  // Starts Execute on a new thread. With FreeOnTerminate the object deletes
  // itself after OnTerminate has run on the GUI thread.
  void Start();
  bool FreeOnTerminate = false;
  TNotifyEvent OnTerminate;  // raised on the GUI thread after Execute
  void WaitFor();            // not for FreeOnTerminate threads

protected:
  virtual void Execute() = 0;

private:
  std::thread thread_;
};

}  // namespace ts
