// Decoding of application/x-www-form-urlencoded request bodies.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pinleaf {

// The fields of one form body, in the order they were sent. Names may repeat.
using FormFields = std::vector<std::pair<std::string, std::string>>;

// One name or value: "+" stands for a blank and "%" with two hexadecimal digits
// (either case) for that byte. A "%" not followed by two hexadecimal digits is
// kept as it stands, the way browsers treat it, so no input is ever rejected.
// The value of one hexadecimal digit of either case, or -1.
int HexDigitValue(char c);
// Blank, tab, CR or LF: the space that may surround a form body or markup.
bool IsBlankByte(char c);

std::string DecodeFormComponent(std::string_view text);

// Splits a body at "&"; each piece is a name, "=" and a value (a piece without
// "=" is a name with an empty value). Empty pieces are skipped. Leading and
// trailing CR/LF and blanks around the whole body are ignored, since some
// clients end the body with a line break.
FormFields DecodeForm(std::string_view body);

// The value of the first field called `name`, if any.
std::optional<std::string> FindField(const FormFields& fields, std::string_view name);

}  // namespace pinleaf
