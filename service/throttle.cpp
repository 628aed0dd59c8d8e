#include "service/throttle.h"

#include <algorithm>
#include <limits>

namespace pinleaf {

int64_t TLoginThrottle::Wait(const std::string& key, int64_t now_ms) {
  std::optional<TThrottleEntry> e = data_.ThrottleEntry(key);
  if (!e || now_ms - e->last_ms > kForgetMs) return 0;
  return std::max<int64_t>(0, e->blocked_until_ms - now_ms);
}

namespace {

// The key that records that `address` has failed on `name` (addresses hold no blanks).
std::string PairKey(std::string_view name, std::string_view address) {
  return "p:" + std::string(address) + " " + std::string(name);
}

// Counted only to be remembered: never makes anybody wait by itself.
constexpr TThrottleRule kPair{std::numeric_limits<int>::max(), 0, 0};

}  // namespace

bool TLoginThrottle::Tried(std::string_view name, std::string_view address, int64_t now_ms) {
  std::optional<TThrottleEntry> e = data_.ThrottleEntry(PairKey(name, address));
  return e && e->failures > 0 && now_ms - e->last_ms <= kForgetMs;
}

int64_t TLoginThrottle::WaitMs(std::string_view name, std::string_view address, int64_t now_ms) {
  int64_t wait = Wait("a:" + std::string(address), now_ms);
  int64_t name_wait = Wait("n:" + std::string(name), now_ms);
  if (name_wait > wait && Tried(name, address, now_ms)) wait = name_wait;
  return wait;
}

void TLoginThrottle::Count(const std::string& key, const TThrottleRule& rule, int64_t now_ms) {
  data_.UpdateThrottle(key, [&](const std::optional<TThrottleEntry>& was) {
    TThrottleEntry e = was.value_or(TThrottleEntry());
    if (now_ms - e.last_ms > kForgetMs) e = TThrottleEntry();
    ++e.failures;
    e.last_ms = now_ms;
    int over = e.failures - rule.free_failures;
    if (over >= 0) {
      int64_t wait = rule.first_wait_ms << std::min(over, 20);
      e.blocked_until_ms = now_ms + std::min(wait, rule.longest_wait_ms);
    }
    return e;
  });
}

void TLoginThrottle::Failed(std::string_view name, std::string_view address, int64_t now_ms) {
  // What is forgotten anyway goes, so the table holds only the last quarter
  // of an hour's failures however many names and addresses were tried.
  data_.PurgeThrottle(now_ms - kForgetMs);
  Count("n:" + std::string(name), kName, now_ms);
  Count("a:" + std::string(address), kAddress, now_ms);
  Count(PairKey(name, address), kPair, now_ms);
}

int64_t TLoginThrottle::AddressWaitMs(std::string_view address, int64_t now_ms) {
  return Wait("a:" + std::string(address), now_ms);
}

void TLoginThrottle::AddressFailed(std::string_view address, int64_t now_ms) {
  data_.PurgeThrottle(now_ms - kForgetMs);
  Count("a:" + std::string(address), kAddress, now_ms);
}

void TLoginThrottle::Succeeded(std::string_view name) {
  // The address's count stays until it ages out: a guesser who owns an
  // account could otherwise sign in to it after every few guesses and never
  // be held back.
  data_.ForgetThrottle("n:" + std::string(name));
}

}  // namespace pinleaf
