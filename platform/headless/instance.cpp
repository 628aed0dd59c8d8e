// Session names and marked windows of the in-process desktop: the test
// process is the whole session, so a name claimed once stays claimed until the
// desktop is reset (or a test releases it, as when the first program ended).
#include <map>
#include <mutex>
#include <set>

#include "platform/headless/desktop.h"
#include "platform/headless/desktop_internal.h"
#include "platform/instance.h"

namespace platform {

namespace {
struct Instances {
  std::mutex lock;
  std::set<std::string> claimed;
  std::map<std::string, WindowHandle> marks;
};
Instances& I() {
  static Instances* i = new Instances;
  return *i;
}
}  // namespace

bool ClaimSessionName(const std::string& name) {
  std::lock_guard<std::mutex> hold(I().lock);
  return I().claimed.insert(name).second;
}

void MarkWindow(WindowHandle window, const std::string& name) {
  std::lock_guard<std::mutex> hold(I().lock);
  I().marks[name] = window;
}

WindowHandle FindMarkedWindow(const std::string& name) {
  WindowHandle w = 0;
  {
    std::lock_guard<std::mutex> hold(I().lock);
    auto it = I().marks.find(name);
    if (it != I().marks.end()) w = it->second;
  }
  // A mark goes with its window.
  return WindowExists(w) ? w : 0;
}

namespace headless {
namespace detail {
void ResetInstances() {
  std::lock_guard<std::mutex> hold(I().lock);
  I().claimed.clear();
  I().marks.clear();
}
}  // namespace detail

void ReleaseSessionName(const std::string& name) {
  std::lock_guard<std::mutex> hold(I().lock);
  I().claimed.erase(name);
}
}  // namespace headless
}  // namespace platform
