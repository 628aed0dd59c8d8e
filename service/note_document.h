// The note document a client uploads, and the decoding of its text fields.
//
// The document is a tiny XML tree:
//   <xml><post><title>..</title><body>..</body><color>..</color><paperid>..</paperid></post></xml>
// Title and body carry UTF-8 text in which any byte may be written as "%" and two
// hexadecimal digits (the client writes every byte that way, so no note can break
// the markup). Blanks between elements and a leading <?xml ...?> are tolerated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pinleaf {

// Largest note body we keep, in bytes of its UTF-8 text.
inline constexpr size_t kMaxNoteBodyBytes = 1024 * 1024;
// Largest title, in bytes of its UTF-8 text.
inline constexpr size_t kMaxNoteTitleBytes = 4096;
// Length of a paper ID: yyyymmddhhnnsszzz.
inline constexpr size_t kPaperIdDigits = 17;

struct TNote {
  std::string title;              // UTF-8, may be empty
  std::string body;               // UTF-8, never empty once parsed
  std::optional<uint32_t> color;  // Windows colour value 0x00BBGGRR as sent, if sent
  std::string paper_id;           // 17 digits, or empty when the client sent none
};

enum class TNoteError {
  None,
  Malformed,  // not a note document (markup, unknown or repeated element, bad colour or paper ID)
  BadEscape,  // a "%" in title or body not followed by two hexadecimal digits
  NotUtf8,    // title or body does not decode to UTF-8 text
  Empty,      // no body text
  TooLarge,   // body or title over its limit
};

struct TNoteParseResult {
  TNoteError error = TNoteError::None;
  std::string message;  // for the person reading the answer page; empty when ok
  TNote note;
  bool Ok() const { return error == TNoteError::None; }
};

TNoteParseResult ParseNoteDocument(std::string_view document);

// Replaces each "%XX" by its byte; any other byte stands for itself. Returns
// nothing when a "%" is not followed by two hexadecimal digits.
std::optional<std::string> DecodePercentText(std::string_view text);

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view text);

// Appends code point `cp` (at most U+10FFFF) as UTF-8.
void AppendUtf8(std::string& out, uint32_t cp);

}  // namespace pinleaf
