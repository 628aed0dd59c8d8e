#include "runtime/inifile.h"

#include "platform/profile.h"
#include "runtime/codepage.h"
#include "runtime/exception.h"
#include "runtime/text.h"

namespace ts {

TIniFile::~TIniFile() { platform::ProfileWriteString(nullptr, nullptr, nullptr, fileName_); }

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
  return platform::ProfileGetString(section.c_str(), key.c_str(), def.c_str(), fileName_);
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key, int32_t def) const {
  std::string text = ReadString(section, key, "");
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text = "$" + text.substr(2);
  return StrToIntDef(text, def);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  if (!platform::ProfileWriteString(section.c_str(), key.c_str(), value.c_str(), fileName_))
    // The path is in the system code page, the message (like every message) in UTF-8.
    throw EIniFileException(Format("%s に書き込めません", {SystemToUtf8(fileName_)}));
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key) {
  if (!platform::ProfileWriteString(section.c_str(), key.c_str(), nullptr, fileName_))
    throw EIniFileException(Format("%s に書き込めません", {SystemToUtf8(fileName_)}));
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteString(section, key, IntToStr(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

}  // namespace ts
