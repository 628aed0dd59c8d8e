#include "platform/module.h"

#include <windows.h>

namespace platform {

std::string ModuleFileName() {
  char buf[MAX_PATH * 4];
  DWORD n = ::GetModuleFileNameA(nullptr, buf, sizeof buf);
  return std::string(buf, n);
}

}  // namespace platform
