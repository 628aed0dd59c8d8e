// INI profile functions with the operating system's results: case-insensitive
// section and key names, values trimmed, a 2048-byte buffer (so at most 2047
// bytes come back), the default for an absent key or file.
#pragma once

#include <string>

namespace platform {

constexpr int kProfileBufferSize = 2048;

std::string ProfileGetString(const char* section, const char* key, const char* defaultValue,
                             const std::string& fileName);
// A null value deletes the key, a null key the section; all three null flush
// the cached copy of the file (and report false, whatever happened). Otherwise
// returns false when the file could not be written.
bool ProfileWriteString(const char* section, const char* key, const char* value, const std::string& fileName);

}  // namespace platform
