#include "service/json.h"

#include <algorithm>
#include <charconv>

#include "service/note_document.h"

namespace pinleaf {

namespace {

const char kHex[] = "0123456789abcdef";

size_t Utf8Length(std::string_view text, size_t at) {
  auto c = static_cast<unsigned char>(text[at]);
  size_t n = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  if (n <= 1 || at + n > text.size()) return n == 1 ? 1 : 0;
  return IsValidUtf8(text.substr(at, n)) ? n : 0;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      size_t n = Utf8Length(text, i);
      if (n == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(text.substr(i, n));
        i += n;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '/':
        // "</script>" cannot end an enclosing element.
        out += i > 0 && text[i - 1] == '<' ? "\\/" : "/";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
  return out;
}

const TJson* TJson::Find(std::string_view name) const {
  const TJson* found = nullptr;
  for (size_t i = 0; i < member_names.size(); ++i) {
    if (member_names[i] == name) found = &member_values[i];
  }
  return found;
}

std::optional<int64_t> TJson::Integer() const {
  if (kind != Kind::kNumber) return std::nullopt;
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Bytes of the input, read ahead in pieces; counts what one value takes.
struct TJsonArrayReader::TSource {
  TRead read;
  std::string buffer;
  size_t at = 0;
  bool eof = false;
  size_t taken = 0;  // bytes consumed since the count was last reset

  int Peek() {
    if (at == buffer.size()) {
      if (eof) return -1;
      buffer.resize(64 * 1024);
      size_t n = read(buffer.data(), buffer.size());
      buffer.resize(n);
      at = 0;
      if (n == 0) {
        eof = true;
        return -1;
      }
    }
    return static_cast<unsigned char>(buffer[at]);
  }
  int Get() {
    int c = Peek();
    if (c >= 0) {
      ++at;
      ++taken;
    }
    return c;
  }
  void SkipBlanks() {
    for (int c = Peek(); c == ' ' || c == '\t' || c == '\n' || c == '\r'; c = Peek()) Get();
  }
};

namespace {

class TParser {
public:
  using TSource = TJsonArrayReader::TSource;
  TParser(TSource& in, TJsonLimits limits) : in_(in), limits_(limits) {}

  bool Value(TJson& out, size_t depth, std::string& error) {
    if (depth > limits_.max_depth) return Fail(error, "nested too deeply");
    in_.SkipBlanks();
    int c = in_.Peek();
    if (c == '{') return Object(out, depth, error);
    if (c == '[') return Array(out, depth, error);
    if (c == '"') {
      out.kind = TJson::Kind::kString;
      return String(out.text, error);
    }
    if (c == 't') return Word("true", out, TJson::Kind::kBool, true, error);
    if (c == 'f') return Word("false", out, TJson::Kind::kBool, false, error);
    if (c == 'n') return Word("null", out, TJson::Kind::kNull, false, error);
    if (c == '-' || (c >= '0' && c <= '9')) return Number(out, error);
    return Fail(error, c < 0 ? "unexpected end" : "unexpected character");
  }

  bool Fail(std::string& error, const std::string& what) {
    error = what + " near byte " + std::to_string(in_.taken);
    return false;
  }
  bool OverSize(std::string& error) {
    if (in_.taken <= limits_.max_value_bytes) return false;
    Fail(error, "value too large");
    return true;
  }

private:
  bool Word(std::string_view word, TJson& out, TJson::Kind kind, bool value, std::string& error) {
    for (char w : word) {
      if (in_.Get() != static_cast<unsigned char>(w)) return Fail(error, "unknown word");
    }
    out.kind = kind;
    out.boolean = value;
    return true;
  }

  bool Number(TJson& out, std::string& error) {
    out.kind = TJson::Kind::kNumber;
    out.text.clear();
    for (int c = in_.Peek();
         c >= 0 && std::string_view("+-.eE0123456789").find(static_cast<char>(c)) != std::string_view::npos;
         c = in_.Peek()) {
      out.text += static_cast<char>(in_.Get());
      if (out.text.size() > 64) return Fail(error, "number too long");
    }
    double check = 0;
    auto [end, ec] = std::from_chars(out.text.data(), out.text.data() + out.text.size(), check);
    if (ec != std::errc() || end != out.text.data() + out.text.size() || out.text[0] == '+')
      return Fail(error, "bad number");
    return true;
  }

  int Hex4(std::string& error) {
    int value = 0;
    for (int k = 0; k < 4; ++k) {
      int c = in_.Get();
      int v = c >= '0' && c <= '9'   ? c - '0'
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                     : -1;
      if (v < 0) {
        Fail(error, "bad \\u escape");
        return -1;
      }
      value = value * 16 + v;
    }
    return value;
  }

  bool String(std::string& out, std::string& error) {
    out.clear();
    in_.Get();  // the opening quote
    for (;;) {
      if (OverSize(error)) return false;
      int c = in_.Get();
      if (c < 0) return Fail(error, "unterminated string");
      if (c == '"') break;
      if (c < 0x20) return Fail(error, "control character in a string");
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      int e = in_.Get();
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += static_cast<char>(e);
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          int cp = Hex4(error);
          if (cp < 0) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (in_.Get() != '\\' || in_.Get() != 'u') return Fail(error, "lone surrogate");
            int low = Hex4(error);
            if (low < 0) return false;
            if (low < 0xDC00 || low > 0xDFFF) return Fail(error, "lone surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return Fail(error, "lone surrogate");
          }
          AppendUtf8(out, static_cast<uint32_t>(cp));
          break;
        }
        default:
          return Fail(error, "bad escape");
      }
    }
    if (!IsValidUtf8(out)) return Fail(error, "a string is not UTF-8");
    return true;
  }

  bool Array(TJson& out, size_t depth, std::string& error) {
    out.kind = TJson::Kind::kArray;
    in_.Get();
    in_.SkipBlanks();
    if (in_.Peek() == ']') {
      in_.Get();
      return true;
    }
    for (;;) {
      out.items.emplace_back();
      if (!Value(out.items.back(), depth + 1, error)) return false;
      if (OverSize(error)) return false;
      in_.SkipBlanks();
      int c = in_.Get();
      if (c == ']') return true;
      if (c != ',') return Fail(error, "expected , or ]");
    }
  }

  bool Object(TJson& out, size_t depth, std::string& error) {
    out.kind = TJson::Kind::kObject;
    in_.Get();
    in_.SkipBlanks();
    if (in_.Peek() == '}') {
      in_.Get();
      return true;
    }
    for (;;) {
      in_.SkipBlanks();
      if (in_.Peek() != '"') return Fail(error, "expected a member name");
      std::string name;
      if (!String(name, error)) return false;
      in_.SkipBlanks();
      if (in_.Get() != ':') return Fail(error, "expected :");
      out.member_names.push_back(std::move(name));
      out.member_values.emplace_back();
      if (!Value(out.member_values.back(), depth + 1, error)) return false;
      if (OverSize(error)) return false;
      in_.SkipBlanks();
      int c = in_.Get();
      if (c == '}') return true;
      if (c != ',') return Fail(error, "expected , or }");
    }
  }

  TSource& in_;
  TJsonLimits limits_;
};

}  // namespace

bool ParseJson(std::string_view text, TJson& value, std::string& error, TJsonLimits limits) {
  TJsonArrayReader::TSource in;
  // The whole text is the buffer: nothing to read ahead.
  in.read = [](char*, size_t) -> size_t { return 0; };
  in.buffer.assign(text);
  limits.max_value_bytes = std::max(limits.max_value_bytes, text.size());
  TParser parser(in, limits);
  value = TJson();
  error.clear();
  if (!parser.Value(value, 0, error)) return false;
  in.SkipBlanks();
  if (in.Peek() >= 0) return parser.Fail(error, "text after the value");
  return true;
}

TJsonArrayReader::TJsonArrayReader(TRead read, TJsonLimits limits)
    : source_(std::make_unique<TSource>()), limits_(limits) {
  source_->read = std::move(read);
}

TJsonArrayReader::~TJsonArrayReader() = default;

bool TJsonArrayReader::Next(TJson& element) {
  if (ended_ || !error_.empty()) return false;
  TSource& in = *source_;
  TParser parser(in, limits_);
  in.SkipBlanks();
  if (!started_) {
    started_ = true;
    if (in.Get() != '[') return parser.Fail(error_, "the document is not an array");
    in.SkipBlanks();
    if (in.Peek() == ']') {
      in.Get();
      ended_ = true;
      in.SkipBlanks();
      if (in.Peek() >= 0) parser.Fail(error_, "text after the array");
      return false;
    }
  } else {
    int c = in.Get();
    if (c == ']') {
      ended_ = true;
      in.SkipBlanks();
      if (in.Peek() >= 0) parser.Fail(error_, "text after the array");
      return false;
    }
    if (c != ',') return parser.Fail(error_, "expected , or ] between elements");
  }
  in.taken = 0;
  element = TJson();
  if (!parser.Value(element, 1, error_)) return false;
  in.SkipBlanks();
  return true;
}

}  // namespace pinleaf
