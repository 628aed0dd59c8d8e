// Clean-up that runs when a scope ends, however it ends (return or exception).
//   auto done = OnScopeExit([&] { busy = false; });
//   TRestore<int> limit(ReadTimeout, 2000);   // the old value comes back at the end
#pragma once

#include <utility>

namespace ts {

template <typename F>
class TScopeExit {
public:
  explicit TScopeExit(F action) : action_(std::move(action)) {}
  ~TScopeExit() { action_(); }
  TScopeExit(const TScopeExit&) = delete;
  TScopeExit& operator=(const TScopeExit&) = delete;

private:
  F action_;
};

template <typename F>
[[nodiscard]] TScopeExit<F> OnScopeExit(F action) {
  return TScopeExit<F>(std::move(action));
}

// Gives a variable a value for the length of a scope, then puts the old one back.
template <typename T>
class TRestore {
public:
  TRestore(T& target, T value) : target_(target), saved_(target) { target_ = std::move(value); }
  ~TRestore() { target_ = std::move(saved_); }
  TRestore(const TRestore&) = delete;
  TRestore& operator=(const TRestore&) = delete;

private:
  T& target_;
  T saved_;
};

}  // namespace ts
