// Finding notes again: what a search box's text asks for, how note text is
// compared with it, the tags a note carries, and the marks around matches.
//
// Text is compared after case folding (Latin, Greek, Cyrillic and the other
// scripts with case), so "Meeting", "MEETING" and "meeting" are one word;
// nothing else is changed, so Japanese, Chinese and Korean words are found
// as they are written, whatever their length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pinleaf {

// What one search box text may hold at most.
inline constexpr size_t kMaxSearchBytes = 1024;
inline constexpr size_t kMaxSearchTerms = 8;
// A tag's length at most, in bytes; a note's tags at most.
inline constexpr size_t kMaxTagBytes = 100;
inline constexpr size_t kMaxTagsPerNote = 32;

// The text case-folded code point by code point; NUL becomes a blank (it can
// be neither typed into a search box nor kept in some databases' text).
// Bytes that are not UTF-8 are kept as they are.
std::string FoldForSearch(std::string_view text);

// The words of a search box text, folded: words are separated by blanks
// (including the ideographic space), "a phrase" in double quotes is one word
// with its blanks. Repeated words count once; at most kMaxSearchTerms words,
// and nothing at all for a text over kMaxSearchBytes.
std::vector<std::string> ParseSearch(std::string_view query);

// The number of characters (code points) of UTF-8 text.
size_t CharacterCount(std::string_view text);

// Whether `folded_term` (folded already) occurs in `text` (not folded).
bool ContainsFolded(std::string_view text, std::string_view folded_term);
// Whether every term occurs in the title or in the body.
bool NoteMatches(std::string_view title, std::string_view body, const std::vector<std::string>& folded_terms);

// The byte ranges [begin, end) of `text` where any of the terms occurs,
// sorted and merged where they touch or overlap.
std::vector<std::pair<size_t, size_t>> FindMatches(std::string_view text, const std::vector<std::string>& folded_terms);

// The text escaped for HTML with each match wrapped in <mark>.
std::string HighlightHtml(std::string_view text, const std::vector<std::string>& folded_terms);

// The tags of a note: "#word" in its title or body, where word is letters,
// digits, marks and "_" of any script ("#" or the full-width "＃"), not part of
// an address ("https://example.com/#part", "www.example.com/#x"), not right
// after a letter or digit ("C#", "issue#5"), and not digits alone ("#1" is a
// number). Folded, each once, in the order they first appear; at most
// kMaxTagsPerNote, each at most kMaxTagBytes.
std::vector<std::string> ExtractTags(std::string_view title, std::string_view body);
// A tag as typed in a filter ("#Work" or "work"), folded; empty when it is no tag.
std::string NormaliseTag(std::string_view tag);

// The folded text again, written so that a trigram index that knows only
// ASCII letters and digits as word characters (PostgreSQL's pg_trgm in a
// database whose character type is C) still indexes every other script:
// ASCII stays as it is, every other character becomes three letters or
// digits. Different characters may share a spelling, so a match found
// through it is only a candidate, checked against the text itself.
std::string SearchKey(std::string_view folded);

}  // namespace pinleaf
