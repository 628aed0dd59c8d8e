// What the snap client puts on the wire, for driving the service the way it does.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace pinleaf::test {

// The client's form-value escaping: blanks, "#%*<>[]", "&+=", control bytes
// and bytes above 0x80 as %XX; everything else raw (so "/", "?", 0x80 pass).
inline std::string ClientEncode(std::string_view value) {
  std::string out;
  for (unsigned char c : value) {
    if (c < 33 || c > 128 || std::string_view(" #%*<>[]&+=").find(static_cast<char>(c)) != std::string_view::npos) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// The login as two form lines, names raw and values escaped.
inline std::string LoginBody(std::string_view id, std::string_view password) {
  return "data[User][username]=" + ClientEncode(id) + "&data[User][password]=" + ClientEncode(password);
}

inline std::string PercentEncodeAll(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    out += hex;
  }
  return out;
}

inline std::string NoteDocument(std::string_view text, std::string_view paper_id = "20261208143405123") {
  return "<xml><post><title></title><body>" + PercentEncodeAll(text) + "</body><color>11270143</color><paperid>" +
         std::string(paper_id) + "</paperid></post></xml>";
}

inline std::string UploadBody(std::string_view document) { return "data[Param][xmldata]=" + ClientEncode(document); }

}  // namespace pinleaf::test
