// The conversation with the note service: the probe, the login and the note
// upload, the markers looked for in the answers, and the note document.
#pragma once

#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace ts {

inline constexpr const char* kLoginMarker = "data[User][username]";
inline constexpr const char* kSuccessMarker = "====";
inline constexpr const char* kNoteColour = "11270143";

// The program's own pseudo-random generator: a 32-bit state starting at 0,
// never seeded, so every run probes with the same numbers (0, 313, 8610, ...).
class TProbeNumbers {
public:
  // state := state * 134775813 + 1, then the upper half of state * range.
  uint32_t Next(uint32_t range = 10000);
  uint32_t State() const { return state_; }

private:
  uint32_t state_ = 0;
};

// Every byte as "%" and two upper-case hexadecimal digits.
std::string PercentEncodeAll(const std::string& bytes);

// "yyyymmddhhnnsszzz": 17 digits of local date and time with milliseconds.
std::string PaperId(const platform::LocalTime& time);

// The one-line note document; `utf8Text` is the note text already in UTF-8.
std::string BuildNoteDocument(const std::string& utf8Text, const platform::LocalTime& time);
// The same with a paper id taken earlier (a kept note keeps its capture time),
// and a title (UTF-8; encoded as the body is, every byte as "%XX").
std::string BuildNoteDocument(const std::string& utf8Text, const std::string& paperId,
                              const std::string& utf8Title = {});

bool HasLoginMarker(const std::string& response);
bool HasSuccessMarker(const std::string& response);

}  // namespace ts
