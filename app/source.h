// Where a snap came from: the note's title made of the focused window's
// title and its program, and the address of the page the text was copied
// from as the body's last line.
#pragma once

#include <cstddef>
#include <string>

namespace ts {

inline constexpr size_t kMaxTitleCharacters = 200;
inline constexpr size_t kMaxSourceUrlCharacters = 2048;

// "WINDOW TITLE (program)" in UTF-8, at most 200 characters: the window
// title is cut (on a character boundary) so that the program's name stays.
// Line breaks and other controls become blanks; either part may be missing
// ("WINDOW TITLE", "(program)"); nothing known gives an empty title.
std::string NoteTitle(const std::string& windowTitle, const std::string& program);
// The same for a title given as it is (textsnap send --title).
std::string CleanTitle(const std::string& utf8);

// An address worth noting: http:, https: or file:, something after the
// scheme, at most 2048 characters, no blanks or controls, UTF-8.
bool UsableSourceUrl(const std::string& url);
// The text, then one empty line, then the address (its last line). The line
// breaks are the text's own kind: CR LF unless the text breaks its lines
// with LF alone.
std::string WithSourceLine(const std::string& text, const std::string& url);

// The first `count` characters of UTF-8 text (never half a character).
std::string FirstCharacters(const std::string& utf8, size_t count);

}  // namespace ts
