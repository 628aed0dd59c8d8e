#include "service/poller.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace pinleaf {

void TPoller::Open() {
  Close();
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  Add(wake_, EPOLLIN);
}

void TPoller::Close() {
  if (epoll_ >= 0) close(epoll_);
  if (wake_ >= 0) close(wake_);
  epoll_ = wake_ = -1;
}

void TPoller::Wake() {
  uint64_t one = 1;
  if (write(wake_, &one, sizeof one) < 0) {
    // Already pending (the counter is full): the loop wakes anyway.
  }
}

bool TPoller::TakeWake(int fd) {
  if (fd != wake_) return false;
  uint64_t count;
  if (read(wake_, &count, sizeof count) < 0) {
    // Taken in already.
  }
  return true;
}

void TPoller::Add(int fd, uint32_t events) {
  epoll_event ev{};
  ev.events = events;
  ev.data.fd = fd;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
}

void TPoller::Remove(int fd) { epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr); }

void TPoller::Change(int fd, uint32_t was, uint32_t want) {
  if (was == want) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.fd = fd;
  epoll_ctl(epoll_, want == 0 ? EPOLL_CTL_DEL : was == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &ev);
}

int TPoller::Wait(std::vector<epoll_event>& events, int timeoutMs) {
  int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), timeoutMs);
  return n < 0 ? 0 : n;
}

}  // namespace pinleaf
