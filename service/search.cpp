#include "service/search.h"

#include <unicode/uchar.h>

#include <algorithm>

#include "service/note_document.h"
#include "service/pages.h"

namespace pinleaf {

namespace {

// The code point at `at` and its length in bytes; -1 (length 1) for a byte
// that does not start a well-formed sequence.
int32_t NextCodePoint(std::string_view text, size_t at, size_t& length) {
  auto b = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char c = b(at);
  length = 1;
  if (c < 0x80) return c;
  size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  if (n == 0 || at + n > text.size()) return -1;
  int32_t cp = c & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
  for (size_t k = 1; k < n; ++k) {
    if ((b(at + k) & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (b(at + k) & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
    return -1;
  length = n;
  return cp;
}

int32_t FoldCodePoint(int32_t cp) {
  if (cp < 0x80) return cp >= 'A' && cp <= 'Z' ? cp + 32 : cp == 0 ? ' ' : cp;
  return u_foldCase(cp, U_FOLD_CASE_DEFAULT);
}

// The folded text, and for each byte of it the offset in `text` of the
// character it came from (plus one entry for the end).
void FoldWithOffsets(std::string_view text, std::string& folded, std::vector<size_t>& from) {
  folded.clear();
  from.clear();
  for (size_t i = 0; i < text.size();) {
    size_t length = 1;
    int32_t cp = NextCodePoint(text, i, length);
    size_t before = folded.size();
    if (cp < 0)
      folded += text[i];
    else
      AppendUtf8(folded, static_cast<uint32_t>(FoldCodePoint(cp)));
    from.insert(from.end(), folded.size() - before, i);
    i += length;
  }
  from.push_back(text.size());
}

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool IsBlank(int32_t cp) { return cp == ' ' || cp == '\t' || cp == '\r' || cp == '\n' || cp == 0x3000; }

bool IsTagCharacter(int32_t cp) {
  if (cp < 0) return false;
  if (cp == '_') return true;
  if (u_isalnum(cp)) return true;
  int8_t type = u_charType(cp);
  return type == U_NON_SPACING_MARK || type == U_COMBINING_SPACING_MARK;
}

}  // namespace

std::string FoldForSearch(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c == 0 ? ' ' : c);
      ++i;
      continue;
    }
    size_t length = 1;
    int32_t cp = NextCodePoint(text, i, length);
    if (cp < 0)
      out += text[i];
    else
      AppendUtf8(out, static_cast<uint32_t>(FoldCodePoint(cp)));
    i += length;
  }
  return out;
}

size_t CharacterCount(std::string_view text) {
  size_t n = 0;
  for (size_t i = 0; i < text.size();) {
    size_t length = 1;
    NextCodePoint(text, i, length);
    i += length;
    ++n;
  }
  return n;
}

std::vector<std::string> ParseSearch(std::string_view query) {
  std::vector<std::string> terms;
  if (query.size() > kMaxSearchBytes) return terms;
  std::string current;
  bool quoted = false;
  auto finish = [&] {
    // Blanks at the ends of a phrase are not part of it.
    size_t start = current.find_first_not_of(' ');
    size_t end = current.find_last_not_of(' ');
    std::string term = start == std::string::npos ? std::string() : current.substr(start, end - start + 1);
    current.clear();
    if (term.empty()) return;
    term = FoldForSearch(term);
    if (std::find(terms.begin(), terms.end(), term) == terms.end() && terms.size() < kMaxSearchTerms)
      terms.push_back(std::move(term));
  };
  for (size_t i = 0; i < query.size();) {
    size_t length = 1;
    int32_t cp = NextCodePoint(query, i, length);
    if (cp == '"') {
      finish();
      quoted = !quoted;
    } else if (IsBlank(cp)) {
      if (quoted)
        current += ' ';
      else
        finish();
    } else if (cp >= 0 && cp < 0x20) {
      // Control characters never match anything a person meant.
    } else {
      current.append(query.substr(i, length));
    }
    i += length;
  }
  finish();
  return terms;
}

namespace {

// Whether no character of the (folded) term has case: no other character
// folds to one of its characters, so it can be looked for in text as it is.
bool CaseFree(std::string_view term) {
  for (size_t i = 0; i < term.size();) {
    size_t length = 1;
    int32_t cp = NextCodePoint(term, i, length);
    if (cp < 0x80 || u_tolower(cp) != cp || u_toupper(cp) != cp || u_foldCase(cp, U_FOLD_CASE_DEFAULT) != cp)
      return false;
    i += length;
  }
  return true;
}

bool ContainsAsciiFolded(std::string_view text, std::string_view folded_term) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c == 0 ? ' ' : c; };
  auto it = std::search(text.begin(), text.end(), folded_term.begin(), folded_term.end(),
                        [&](char a, char b) { return lower(a) == b; });
  return it != text.end();
}

}  // namespace

bool ContainsFolded(std::string_view text, std::string_view folded_term) {
  if (folded_term.empty()) return true;
  // The common cases need no copy of the text: a word without case letters
  // (Japanese, Chinese ...) is found as it is; an ASCII word by comparing
  // ASCII letters without case, unless the text holds one of the two
  // characters outside ASCII that fold into it (the Kelvin sign, the long s).
  if (CaseFree(folded_term)) return text.find(folded_term) != std::string_view::npos;
  if (IsAscii(folded_term) && (IsAscii(text) || (text.find("\xE2\x84\xAA") == std::string_view::npos &&
                                                 text.find("\xC5\xBF") == std::string_view::npos)))
    return ContainsAsciiFolded(text, folded_term);
  if (IsAscii(text)) return false;  // a term outside ASCII in ASCII text
  thread_local std::string folded;
  folded = FoldForSearch(text);
  return folded.find(folded_term) != std::string::npos;
}

bool NoteMatches(std::string_view title, std::string_view body, const std::vector<std::string>& folded_terms) {
  for (const std::string& term : folded_terms) {
    if (!ContainsFolded(title, term) && !ContainsFolded(body, term)) return false;
  }
  return true;
}

std::vector<std::pair<size_t, size_t>> FindMatches(std::string_view text,
                                                   const std::vector<std::string>& folded_terms) {
  std::vector<std::pair<size_t, size_t>> ranges;
  if (folded_terms.empty()) return ranges;
  std::string folded;
  std::vector<size_t> from;
  FoldWithOffsets(text, folded, from);
  for (const std::string& term : folded_terms) {
    if (term.empty()) continue;
    for (size_t at = folded.find(term); at != std::string::npos; at = folded.find(term, at + 1)) {
      size_t end = at + term.size();
      // The match ends where the character after its last folded byte begins.
      size_t original_end = end < folded.size() ? from[end] : text.size();
      ranges.emplace_back(from[at], original_end);
    }
  }
  std::sort(ranges.begin(), ranges.end());
  std::vector<std::pair<size_t, size_t>> merged;
  for (const auto& r : ranges) {
    if (!merged.empty() && r.first <= merged.back().second)
      merged.back().second = std::max(merged.back().second, r.second);
    else
      merged.push_back(r);
  }
  return merged;
}

std::string HighlightHtml(std::string_view text, const std::vector<std::string>& folded_terms) {
  std::string out;
  size_t at = 0;
  for (const auto& [begin, end] : FindMatches(text, folded_terms)) {
    out += HtmlEscape(text.substr(at, begin - at));
    out += "<mark>" + HtmlEscape(text.substr(begin, end - begin)) + "</mark>";
    at = end;
  }
  out += HtmlEscape(text.substr(at));
  return out;
}

std::vector<std::string> ExtractTags(std::string_view title, std::string_view body) {
  std::vector<std::string> tags;
  for (std::string_view text : {title, body}) {
    size_t token_start = 0;  // where the current blank-separated piece begins
    int32_t previous = ' ';
    for (size_t i = 0; i < text.size() && tags.size() < kMaxTagsPerNote;) {
      size_t length = 1;
      int32_t cp = NextCodePoint(text, i, length);
      if (IsBlank(cp)) token_start = i + length;
      bool hash = cp == '#' || cp == 0xFF03;
      if (!hash || IsTagCharacter(previous) || previous == '&' || previous == '#' || previous == 0xFF03) {
        previous = cp;
        i += length;
        continue;
      }
      // Inside an address the "#" starts a fragment, not a tag.
      size_t token_end = i;
      while (token_end < text.size() && text[token_end] != ' ' && text[token_end] != '\n' && text[token_end] != '\t' &&
             text[token_end] != '\r')
        ++token_end;
      std::string_view piece = text.substr(token_start, token_end - token_start);
      std::string lowered = FoldForSearch(piece.substr(0, i - token_start));
      bool address = lowered.find("://") != std::string::npos || lowered.rfind("www.", 0) == 0 ||
                     lowered.find('/') != std::string::npos || lowered.find("mailto:") != std::string::npos;
      size_t end = i + length;
      bool digits_only = true;
      while (end < text.size()) {
        size_t n = 1;
        int32_t c = NextCodePoint(text, end, n);
        if (!IsTagCharacter(c)) break;
        if (!(c >= '0' && c <= '9')) digits_only = false;
        end += n;
      }
      std::string_view word = text.substr(i + length, end - i - length);
      if (!address && !word.empty() && !digits_only && word.size() <= kMaxTagBytes) {
        std::string tag = FoldForSearch(word);
        if (std::find(tags.begin(), tags.end(), tag) == tags.end()) tags.push_back(std::move(tag));
      }
      // What follows a tag at once ("#a#b") starts no tag of its own.
      previous = end > i + length ? 'a' : cp;
      i = end;
    }
  }
  return tags;
}

std::string NormaliseTag(std::string_view tag) {
  if (!tag.empty() && tag.front() == '#')
    tag.remove_prefix(1);
  else if (tag.rfind("\xEF\xBC\x83", 0) == 0)  // the full-width number sign
    tag.remove_prefix(3);
  if (tag.empty() || tag.size() > kMaxTagBytes) return {};
  bool digits_only = true;
  for (size_t i = 0; i < tag.size();) {
    size_t length = 1;
    int32_t cp = NextCodePoint(tag, i, length);
    if (!IsTagCharacter(cp)) return {};
    if (!(cp >= '0' && cp <= '9')) digits_only = false;
    i += length;
  }
  return digits_only ? std::string() : FoldForSearch(tag);
}

std::string SearchKey(std::string_view folded) {
  static const char kSymbols[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string out;
  out.reserve(folded.size() + folded.size() / 2);
  for (size_t i = 0; i < folded.size();) {
    auto c = static_cast<unsigned char>(folded[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    size_t length = 1;
    int32_t cp = NextCodePoint(folded, i, length);
    uint32_t v = static_cast<uint32_t>(cp < 0 ? c : cp) % (36 * 36 * 36);
    out += kSymbols[v / (36 * 36)];
    out += kSymbols[(v / 36) % 36];
    out += kSymbols[v % 36];
    i += length;
  }
  return out;
}

}  // namespace pinleaf
