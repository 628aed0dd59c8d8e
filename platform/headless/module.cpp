// The running executable on the in-process desktop: the test executable's own
// path, or the one a test sets (a test cannot move its own executable).
#include <unistd.h>

#include <climits>
#include <mutex>

#include "platform/headless/desktop.h"
#include "platform/headless/desktop_internal.h"
#include "platform/module.h"

namespace platform {

namespace {
struct Module {
  std::mutex lock;
  std::string name;  // empty: the real executable
};
Module& M() {
  static Module* m = new Module;
  return *m;
}
}  // namespace

std::string ModuleFileName() {
  {
    std::lock_guard<std::mutex> hold(M().lock);
    if (!M().name.empty()) return M().name;
  }
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

namespace headless {
namespace detail {
void ResetModule() {
  std::lock_guard<std::mutex> hold(M().lock);
  M().name.clear();
}
}  // namespace detail

void SetModuleFileName(const std::string& path) {
  std::lock_guard<std::mutex> hold(M().lock);
  M().name = path;
}
}  // namespace headless
}  // namespace platform
