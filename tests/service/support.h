// What the snap client puts on the wire, made by the client's own code, so that
// the service is checked against the bytes that really arrive.
#pragma once

#include <initializer_list>
#include <string>

#include "app/protocol.h"
#include "http/http.h"
#include "runtime/strings.h"

namespace pinleaf::test {

// A form post of these lines, values encoded as the client's HTTP engine does.
inline std::string FormPost(std::initializer_list<std::string> lines) {
  ts::TStringList list;
  for (const std::string& line : lines) list.Add(line);
  return ts::FormBody(list, true);
}

inline std::string LoginBody(const std::string& id, const std::string& password) {
  return FormPost({"data[User][username]=" + id, "data[User][password]=" + password});
}

// The note document the client builds for `text` (UTF-8), stamped 2026-12-08 14:34:05.123.
inline std::string NoteDocument(const std::string& text) {
  return ts::BuildNoteDocument(text, platform::LocalTime{2026, 12, 8, 2, 14, 34, 5, 123});
}

inline std::string UploadBody(const std::string& document) { return FormPost({"data[Param][xmldata]=" + document}); }

}  // namespace pinleaf::test
