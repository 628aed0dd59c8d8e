// One epoll set with a wake-up of its own. The gate and the TLS front each run
// one loop over such a set; other threads wake the loop (to stop it, or when
// there is something new for it).
#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <vector>

namespace pinleaf {

class TPoller {
public:
  TPoller() = default;
  ~TPoller() { Close(); }
  TPoller(const TPoller&) = delete;
  TPoller& operator=(const TPoller&) = delete;

  // Makes the set and its wake-up, watched for reading; Close ends both.
  void Open();
  void Close();

  // Wakes the loop waiting in Wait (from any thread).
  void Wake();
  // Whether `fd` is the wake-up; when it is, the wake-up is taken in.
  bool TakeWake(int fd);

  void Add(int fd, uint32_t events);
  void Remove(int fd);
  // From watching `fd` for `was` to watching it for `want`: added when it was
  // watched for nothing, removed when nothing is wanted any more.
  void Change(int fd, uint32_t was, uint32_t want);

  // Waits up to `timeoutMs` for events; how many came (0 on a time-out or an
  // interruption).
  int Wait(std::vector<epoll_event>& events, int timeoutMs);

private:
  int epoll_ = -1;
  int wake_ = -1;  // an eventfd
};

}  // namespace pinleaf
