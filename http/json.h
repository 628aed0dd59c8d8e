// The little JSON the client speaks with the service's API: a note going out
// as an object of strings, and the flat objects of the pairing answers coming
// back. Strings are UTF-8 both ways.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace ts {

// `utf8` as a JSON string, quotes included. Control characters are escaped;
// bytes that are not UTF-8 become U+FFFD, so the service never gets a
// document it has to refuse for them.
std::string JsonQuote(std::string_view utf8);

// The members of one JSON object whose values are strings, numbers, true,
// false or null: each value as text (a string's value unescaped, a number as
// written, "true", "false", "" for null). Members whose values are arrays or
// objects are read over and left out. False when `text` is not one such
// object (with nothing after it but blanks), or is nested too deeply.
bool ParseJsonMembers(std::string_view text, std::map<std::string, std::string>& members);

}  // namespace ts
