// The running executable, from /proc.
#include "platform/module.h"

#include <unistd.h>

#include <climits>

namespace platform {

std::string ModuleFileName() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace platform
