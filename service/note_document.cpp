#include "service/note_document.h"

#include "service/form.h"

#include <array>
#include <utility>

namespace pinleaf {

namespace {

bool IsAllDigits(std::string_view s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Reads the markup by hand: the document has a fixed, shallow shape, and a
// general XML parser would accept far more than a note can mean.
class TReader {
public:
  explicit TReader(std::string_view text) : text_(text) {}

  bool AtEnd() const { return pos_ >= text_.size(); }

  void SkipSpace() {
    while (pos_ < text_.size() && IsBlankByte(text_[pos_])) ++pos_;
  }

  // An optional <?xml ...?> declaration.
  bool SkipDeclaration() {
    if (text_.substr(pos_, 5) != "<?xml") return true;
    size_t end = text_.find("?>", pos_);
    if (end == std::string_view::npos) return false;
    pos_ = end + 2;
    return true;
  }

  bool AtEndTag() const { return text_.substr(pos_, 2) == "</"; }

  // "<name>" or "<name/>"; no attributes. `empty` tells the self-closing form.
  bool ReadStartTag(std::string_view& name, bool& empty) {
    if (pos_ >= text_.size() || text_[pos_] != '<' || AtEndTag()) return false;
    size_t start = pos_ + 1;
    size_t end = start;
    while (end < text_.size() && IsNameChar(text_[end])) ++end;
    if (end == start || end >= text_.size()) return false;
    name = text_.substr(start, end - start);
    if (text_[end] == '>') {
      empty = false;
      pos_ = end + 1;
      return true;
    }
    if (text_.substr(end, 2) == "/>") {
      empty = true;
      pos_ = end + 2;
      return true;
    }
    return false;
  }

  bool ReadEndTag(std::string_view name) {
    if (!AtEndTag()) return false;
    size_t start = pos_ + 2;
    if (text_.substr(start, name.size()) != name) return false;
    size_t end = start + name.size();
    while (end < text_.size() && IsBlankByte(text_[end])) ++end;
    if (end >= text_.size() || text_[end] != '>') return false;
    pos_ = end + 1;
    return true;
  }

  // Character data up to the next "<", with the five predefined entities and
  // numeric character references resolved.
  bool ReadText(std::string& out) {
    out.clear();
    while (pos_ < text_.size() && text_[pos_] != '<') {
      char c = text_[pos_];
      if (c != '&') {
        out += c;
        ++pos_;
        continue;
      }
      size_t semi = text_.find(';', pos_);
      if (semi == std::string_view::npos || semi - pos_ > 12) return false;
      std::string_view ref = text_.substr(pos_ + 1, semi - pos_ - 1);
      if (!AppendReference(out, ref)) return false;
      pos_ = semi + 1;
    }
    return true;
  }

private:
  static bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.' || c == ':';
  }

  static bool AppendReference(std::string& out, std::string_view ref) {
    static constexpr std::pair<std::string_view, char> kNamed[] = {
        {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto& [entity, c] : kNamed) {
      if (ref == entity) {
        out += c;
        return true;
      }
    }
    if (ref.size() < 2 || ref[0] != '#') return false;
    uint32_t cp = 0;
    bool hex = ref[1] == 'x';
    std::string_view digits = ref.substr(hex ? 2 : 1);
    if (digits.empty()) return false;
    for (char c : digits) {
      int v = hex ? HexDigitValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
      if (v < 0) return false;
      cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(v);
      if (cp > 0x10FFFF) return false;
    }
    if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    AppendUtf8(out, cp);
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

TNoteParseResult Fail(TNoteError error, std::string message) {
  TNoteParseResult r;
  r.error = error;
  r.message = std::move(message);
  return r;
}

enum Field { kTitle, kBody, kColor, kPaperId, kFieldCount };

int FieldIndex(std::string_view name) {
  if (name == "title") return kTitle;
  if (name == "body") return kBody;
  if (name == "color") return kColor;
  if (name == "paperid") return kPaperId;
  return -1;
}

// Decodes a title or body element's text into UTF-8.
TNoteParseResult DecodeTextField(std::string_view raw, std::string_view what, size_t limit, std::string& out) {
  // A decoded byte takes at most three bytes of input, so this much input is
  // over the limit whatever it holds; refusing early saves decoding it.
  if (raw.size() / 3 > limit)
    return Fail(TNoteError::TooLarge, std::string("The note's ") + std::string(what) + " is too long.");
  std::optional<std::string> decoded = DecodePercentText(raw);
  if (!decoded)
    return Fail(TNoteError::BadEscape, std::string("The note's ") + std::string(what) +
                                           " holds a \"%\" that is not followed by two hex digits.");
  if (decoded->size() > limit)
    return Fail(TNoteError::TooLarge, std::string("The note's ") + std::string(what) + " is too long.");
  if (!IsValidUtf8(*decoded))
    return Fail(TNoteError::NotUtf8, std::string("The note's ") + std::string(what) + " is not UTF-8 text.");
  out = std::move(*decoded);
  return {};
}

}  // namespace

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::optional<std::string> DecodePercentText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size() || HexDigitValue(text[i + 1]) < 0 || HexDigitValue(text[i + 2]) < 0) return std::nullopt;
    out += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
    i += 2;
  }
  return out;
}

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2, cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3, cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4, cp = b & 0x07;
    } else {
      return false;
    }
    if (i + len > text.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

TNoteParseResult ParseNoteDocument(std::string_view document) {
  const auto malformed = [](std::string message) { return Fail(TNoteError::Malformed, std::move(message)); };
  TReader r(document);
  r.SkipSpace();
  if (!r.SkipDeclaration()) return malformed("The XML declaration is not closed.");
  r.SkipSpace();

  std::string_view name;
  bool empty = false;
  if (!r.ReadStartTag(name, empty) || name != "xml" || empty)
    return malformed("The document does not start with <xml>.");
  r.SkipSpace();
  if (!r.ReadStartTag(name, empty) || name != "post" || empty) return malformed("<xml> does not hold a <post>.");

  std::array<bool, kFieldCount> seen{};
  std::array<std::string, kFieldCount> raw;
  for (;;) {
    r.SkipSpace();
    if (r.AtEndTag()) break;
    if (!r.ReadStartTag(name, empty)) return malformed("<post> holds something other than elements.");
    int field = FieldIndex(name);
    if (field < 0) return malformed("<post> holds an unknown element <" + std::string(name) + ">.");
    if (seen[field]) return malformed("<post> holds <" + std::string(name) + "> twice.");
    seen[field] = true;
    if (empty) continue;
    if (!r.ReadText(raw[field])) return malformed("<" + std::string(name) + "> holds an unknown entity.");
    if (!r.ReadEndTag(name)) return malformed("<" + std::string(name) + "> is not closed where its text ends.");
  }
  if (!r.ReadEndTag("post")) return malformed("<post> is not closed.");
  r.SkipSpace();
  if (!r.ReadEndTag("xml")) return malformed("<xml> is not closed after <post>.");
  r.SkipSpace();
  if (!r.AtEnd()) return malformed("Text follows </xml>.");

  TNoteParseResult result;
  TNote& note = result.note;
  if (seen[kColor]) {
    const std::string& c = raw[kColor];
    if (c.empty() || c.size() > 10 || !IsAllDigits(c) || std::stoull(c) > 0xFFFFFFFFull)
      return malformed("<color> is not a colour value.");
    note.color = static_cast<uint32_t>(std::stoull(c));
  }
  if (!raw[kPaperId].empty()) {
    if (raw[kPaperId].size() != kPaperIdDigits || !IsAllDigits(raw[kPaperId]))
      return malformed("<paperid> is not 17 digits.");
    note.paper_id = raw[kPaperId];
  }
  if (TNoteParseResult t = DecodeTextField(raw[kTitle], "title", kMaxNoteTitleBytes, note.title); !t.Ok()) return t;
  if (!seen[kBody]) return malformed("<post> has no <body>.");
  if (TNoteParseResult b = DecodeTextField(raw[kBody], "body", kMaxNoteBodyBytes, note.body); !b.Ok()) return b;
  if (note.body.empty()) return Fail(TNoteError::Empty, "The note is empty.");
  return result;
}

}  // namespace pinleaf
