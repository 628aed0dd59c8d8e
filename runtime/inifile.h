// An INI file read and written straight through the profile functions; it
// keeps no copy of the file. Releasing it asks the system to flush its cache.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/object.h"

namespace ts {

class TIniFile : public TObject {
public:
  explicit TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}
  ~TIniFile() override;

  const std::string& FileName() const { return fileName_; }

  std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
  int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;

  // A failed write raises EIniFileException "<path> に書き込めません".
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);
  void WriteBool(const std::string& section, const std::string& key, bool value);
  // Removes the key (nothing when it is not there); a failed write raises.
  void DeleteKey(const std::string& section, const std::string& key);

private:
  std::string fileName_;
};

}  // namespace ts
