#include "platform/profile.h"

#include <windows.h>

namespace platform {

std::string ProfileGetString(const char* section, const char* key, const char* defaultValue,
                             const std::string& fileName) {
  char buffer[kProfileBufferSize];
  DWORD n = ::GetPrivateProfileStringA(section, key, defaultValue, buffer, sizeof buffer, fileName.c_str());
  return std::string(buffer, n);
}

bool ProfileWriteString(const char* section, const char* key, const char* value, const std::string& fileName) {
  return ::WritePrivateProfileStringA(section, key, value, fileName.c_str()) != 0;
}

}  // namespace platform
