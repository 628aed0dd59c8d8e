// Slows down guessing of passwords: failed sign-ins are counted per account
// name and per client address, and after a few of them that name or address
// must wait before it may try again, a little longer after each further failure.
// A name held back holds back only the addresses that have failed on it
// themselves, so guessing at somebody's name, however steadily, never keeps
// its owner out at an address of their own.
// The counts are kept in the store, so every instance of the service sharing
// one database holds back the same names and addresses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "service/store.h"

namespace pinleaf {

struct TThrottleRule {
  int free_failures;      // the failure that starts the first wait
  int64_t first_wait_ms;  // that first wait; it doubles with each further failure
  int64_t longest_wait_ms;
};

class TLoginThrottle {
public:
  // Names are held back for at most a minute at a time; addresses, which are
  // the guesser's own, wait up to a quarter of an hour.
  static constexpr TThrottleRule kName{5, 2000, 60 * 1000};
  static constexpr TThrottleRule kAddress{20, 2000, 15 * 60 * 1000};
  // Failures are forgotten after this long without another.
  static constexpr int64_t kForgetMs = 15 * 60 * 1000;

  explicit TLoginThrottle(TStoreBackend& data) : data_(data) {}

  // Milliseconds the sign-in must wait, 0 when it may go ahead now.
  int64_t WaitMs(std::string_view name, std::string_view address, int64_t now_ms);
  void Failed(std::string_view name, std::string_view address, int64_t now_ms);
  // A right password clears the count of that name; the address's count is
  // left to age out.
  void Succeeded(std::string_view name);

  // Guesses at access tokens name no account: they count on the address
  // alone, together with its failed sign-ins.
  int64_t AddressWaitMs(std::string_view address, int64_t now_ms);
  void AddressFailed(std::string_view address, int64_t now_ms);

private:
  int64_t Wait(const std::string& key, int64_t now_ms);
  // Whether `address` has failed on `name` within the last kForgetMs.
  bool Tried(std::string_view name, std::string_view address, int64_t now_ms);
  void Count(const std::string& key, const TThrottleRule& rule, int64_t now_ms);

  TStoreBackend& data_;
};

}  // namespace pinleaf
