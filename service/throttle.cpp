#include "service/throttle.h"

#include <algorithm>

namespace pinleaf {

int64_t TLoginThrottle::Wait(const std::string& key, int64_t now_ms) {
  auto it = entries_.find(key);
  if (it == entries_.end()) return 0;
  if (now_ms - it->second.last_ms > kForgetMs) {
    entries_.erase(it);
    return 0;
  }
  return std::max<int64_t>(0, it->second.blocked_until_ms - now_ms);
}

int64_t TLoginThrottle::WaitMs(std::string_view name, std::string_view address, int64_t now_ms) {
  std::lock_guard guard(lock_);
  return std::max(Wait("n:" + std::string(name), now_ms), Wait("a:" + std::string(address), now_ms));
}

void TLoginThrottle::Count(const std::string& key, const TThrottleRule& rule, int64_t now_ms) {
  if (entries_.size() >= kMaxEntries && entries_.find(key) == entries_.end()) {
    // Full: drop what is forgotten anyway; if that is not enough, the oldest half.
    for (auto it = entries_.begin(); it != entries_.end();)
      it = now_ms - it->second.last_ms > kForgetMs ? entries_.erase(it) : std::next(it);
    while (entries_.size() >= kMaxEntries / 2) entries_.erase(entries_.begin());
  }
  TEntry& e = entries_[key];
  if (now_ms - e.last_ms > kForgetMs) e = TEntry();
  ++e.failures;
  e.last_ms = now_ms;
  int over = e.failures - rule.free_failures;
  if (over >= 0) {
    int64_t wait = rule.first_wait_ms << std::min(over, 20);
    e.blocked_until_ms = now_ms + std::min(wait, rule.longest_wait_ms);
  }
}

void TLoginThrottle::Failed(std::string_view name, std::string_view address, int64_t now_ms) {
  std::lock_guard guard(lock_);
  Count("n:" + std::string(name), kName, now_ms);
  Count("a:" + std::string(address), kAddress, now_ms);
}

void TLoginThrottle::Succeeded(std::string_view name, std::string_view address) {
  std::lock_guard guard(lock_);
  entries_.erase("n:" + std::string(name));
  auto it = entries_.find("a:" + std::string(address));
  if (it != entries_.end() && it->second.blocked_until_ms == 0) entries_.erase(it);
}

}  // namespace pinleaf
