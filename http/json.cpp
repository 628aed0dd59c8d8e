#include "http/json.h"

#include <cstdint>

#include "runtime/codepage.h"

namespace ts {

namespace {

constexpr int kMaxDepth = 16;

// The length of the well-formed UTF-8 sequence at `at` (overlong forms,
// surrogates and code points past U+10FFFF are not); 0 when there is none.
size_t Utf8Length(std::string_view s, size_t at) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = b(at);
  if (c < 0x80) return 1;
  size_t n;
  uint32_t cp;
  if ((c & 0xE0) == 0xC0) {
    n = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (at + n > s.size()) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((b(at + i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(at + i) & 0x3F);
  }
  static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

class TReader {
public:
  explicit TReader(std::string_view text) : s_(text) {}

  bool Object(std::map<std::string, std::string>& members) {
    Blanks();
    if (!Take('{')) return false;
    Blanks();
    if (Take('}')) return End();
    for (;;) {
      std::string name, value;
      bool scalar = false;
      Blanks();
      if (!String(name)) return false;
      Blanks();
      if (!Take(':')) return false;
      Blanks();
      if (!Value(value, scalar, 1)) return false;
      if (scalar) members[name] = value;
      Blanks();
      if (Take('}')) return End();
      if (!Take(',')) return false;
    }
  }

private:
  bool End() {
    Blanks();
    return at_ == s_.size();
  }
  void Blanks() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\r' || s_[at_] == '\n')) ++at_;
  }
  bool Take(char c) {
    if (at_ < s_.size() && s_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Word(std::string_view word) {
    if (s_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }
  bool Hex4(uint32_t& unit) {
    if (at_ + 4 > s_.size()) return false;
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[at_++];
      unit <<= 4;
      if (c >= '0' && c <= '9')
        unit |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        unit |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        unit |= static_cast<uint32_t>(c - 'A' + 10);
      else
        return false;
    }
    return true;
  }
  bool String(std::string& out) {
    if (!Take('"')) return false;
    while (at_ < s_.size()) {
      const char c = s_[at_];
      if (c == '"') {
        ++at_;
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        const size_t n = Utf8Length(s_, at_);
        if (n == 0) return false;
        out.append(s_.substr(at_, n));
        at_ += n;
        continue;
      }
      if (++at_ >= s_.size()) return false;
      const char e = s_[at_++];
      // The one-letter escapes, each followed by the byte it stands for.
      static constexpr std::string_view kEscapes("\"\"\\\\//b\bf\fn\nr\rt\t", 16);
      if (e != 'u') {
        size_t at = 0;
        while (at < kEscapes.size() && kEscapes[at] != e) at += 2;
        if (at >= kEscapes.size()) return false;
        out += kEscapes[at + 1];
        continue;
      }
      uint32_t unit;
      if (!Hex4(unit)) return false;
      std::u16string units(1, static_cast<char16_t>(unit));
      // Half a surrogate pair is no character: the other half must follow.
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        uint32_t low;
        if (!Word("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
        units += static_cast<char16_t>(low);
      } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        return false;
      }
      out += Utf16ToUtf8(units);
    }
    return false;
  }
  bool Number(std::string& out) {
    const size_t start = at_;
    Take('-');
    const size_t digits = at_;
    while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_;
    if (at_ == digits || (s_[digits] == '0' && at_ - digits > 1)) return false;
    if (Take('.')) {
      const size_t fraction = at_;
      while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_;
      if (at_ == fraction) return false;
    }
    if (Take('e') || Take('E')) {
      if (!Take('+')) Take('-');
      const size_t exponent = at_;
      while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_;
      if (at_ == exponent) return false;
    }
    out.assign(s_.substr(start, at_ - start));
    return true;
  }
  // A value; `scalar` says whether it was one a member keeps.
  bool Value(std::string& out, bool& scalar, int depth) {
    if (at_ >= s_.size()) return false;
    scalar = true;
    const char c = s_[at_];
    if (c == '"') return String(out);
    if (c == 't') return Word("true") && (out = "true", true);
    if (c == 'f') return Word("false") && (out = "false", true);
    if (c == 'n') return Word("null") && (out.clear(), true);
    if (c == '-' || (c >= '0' && c <= '9')) return Number(out);
    scalar = false;
    if (depth >= kMaxDepth) return false;
    if (c != '[' && c != '{') return false;
    const bool object = c == '{';
    ++at_;
    Blanks();
    if (Take(object ? '}' : ']')) return true;
    for (;;) {
      std::string ignored;
      bool unused = false;
      Blanks();
      if (object) {
        if (!String(ignored)) return false;
        Blanks();
        if (!Take(':')) return false;
        Blanks();
      }
      if (!Value(ignored, unused, depth + 1)) return false;
      Blanks();
      if (Take(object ? '}' : ']')) return true;
      if (!Take(',')) return false;
    }
  }

  std::string_view s_;
  size_t at_ = 0;
};

}  // namespace

std::string JsonQuote(std::string_view utf8) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  out.reserve(utf8.size() + 2);
  for (size_t at = 0; at < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[at]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else if (c >= 0x80) {
      const size_t n = Utf8Length(utf8, at);
      if (n == 0) {
        out += "\xEF\xBF\xBD";
        ++at;
        continue;
      }
      out.append(utf8.substr(at, n));
      at += n;
      continue;
    } else {
      out += static_cast<char>(c);
    }
    ++at;
  }
  out += '"';
  return out;
}

bool ParseJsonMembers(std::string_view text, std::map<std::string, std::string>& members) {
  members.clear();
  TReader reader(text);
  if (reader.Object(members)) return true;
  members.clear();
  return false;
}

}  // namespace ts
