// Shared pieces of the harnesses: splitting one input into several texts,
// a fixed clock, and a check that stops the run with a readable message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/headless/control.h"

namespace fuzz {

// The input cut at every "\n" (kept out of the parts); at most `maxParts`
// parts, the last one taking the rest with its line feeds.
inline std::vector<std::string> Split(const uint8_t* data, size_t size, size_t maxParts) {
  std::vector<std::string> parts;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  while (parts.size() + 1 < maxParts) {
    size_t nl = rest.find('\n');
    if (nl == std::string_view::npos) break;
    parts.emplace_back(rest.substr(0, nl));
    rest.remove_prefix(nl + 1);
  }
  parts.emplace_back(rest);
  return parts;
}

// A fixed moment, so that expiry decisions repeat from run to run.
inline void FixClock() {
  platform::LocalTime t{};
  t.year = 2026;
  t.month = 9;
  t.day = 7;
  t.hour = 14;
  t.minute = 5;
  t.second = 9;
  platform::headless::SetLocalTime(t);
}

// Alternates the system code page between Shift-JIS and a single-byte one by
// the input's first byte, so both kinds of substring search are walked.
inline void PickCodePage(const uint8_t* data, size_t size) {
  platform::headless::SetAnsiCodePage(size > 0 && (data[0] & 1) ? 1252 : 932);
}

#define FUZZ_CHECK(cond, what)                                          \
  do {                                                                  \
    if (!(cond)) {                                                      \
      std::fprintf(stderr, "invariant broken: %s (%s)\n", what, #cond); \
      std::abort();                                                     \
    }                                                                   \
  } while (0)

}  // namespace fuzz
