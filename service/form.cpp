#include "service/form.h"

namespace pinleaf {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsBlankByte(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string DecodeFormComponent(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 && HexDigitValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

FormFields DecodeForm(std::string_view body) {
  while (!body.empty() && IsBlankByte(body.front())) body.remove_prefix(1);
  while (!body.empty() && IsBlankByte(body.back())) body.remove_suffix(1);
  FormFields fields;
  while (!body.empty()) {
    size_t amp = body.find('&');
    std::string_view piece = body.substr(0, amp);
    body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
    if (piece.empty()) continue;
    size_t eq = piece.find('=');
    if (eq == std::string_view::npos) {
      fields.emplace_back(DecodeFormComponent(piece), std::string());
    } else {
      fields.emplace_back(DecodeFormComponent(piece.substr(0, eq)), DecodeFormComponent(piece.substr(eq + 1)));
    }
  }
  return fields;
}

std::optional<std::string> FindField(const FormFields& fields, std::string_view name) {
  for (const auto& [n, v] : fields) {
    if (n == name) return v;
  }
  return std::nullopt;
}

}  // namespace pinleaf
