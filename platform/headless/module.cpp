// The program's files on the in-process desktop: the real file system, with
// the executable's path, the user's data folder and read-only folders set by
// the tests (a test cannot move its own executable, and as root it cannot
// make a folder read-only).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/headless/desktop.h"
#include "platform/headless/desktop_internal.h"
#include "platform/module.h"
#include "platform/posix/folders.h"

namespace platform {

namespace {
struct Files {
  std::mutex lock;
  std::string moduleName;  // empty: the real executable
  std::string userData;    // empty: $HOME/.config
  bool userDataSet = false;
  std::vector<std::string> readOnly;
};
Files& F() {
  static Files* f = new Files;
  return *f;
}

// Paths here are Linux paths: "/" is the only separator (a 0x5C at the end
// may be the trail byte of a double-byte character).
std::string WithoutSeparator(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}
}  // namespace

std::string ModuleFileName() {
  {
    std::lock_guard<std::mutex> hold(F().lock);
    if (!F().moduleName.empty()) return F().moduleName;
  }
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string UserDataFolder() {
  std::lock_guard<std::mutex> hold(F().lock);
  if (F().userDataSet) return F().userData;
  const char* home = std::getenv("HOME");
  return home && *home ? std::string(home) + "/.config" : std::string();
}

bool FolderWritable(const std::string& folder) {
  {
    std::lock_guard<std::mutex> hold(F().lock);
    if (std::find(F().readOnly.begin(), F().readOnly.end(), WithoutSeparator(folder)) != F().readOnly.end())
      return false;
  }
  return posix::FolderWritable(WithoutSeparator(folder));
}

bool FileExists(const std::string& path) { return posix::FileExists(path); }

bool CreateFolder(const std::string& folder) {
  {
    std::lock_guard<std::mutex> hold(F().lock);
    if (std::find(F().readOnly.begin(), F().readOnly.end(), WithoutSeparator(folder)) != F().readOnly.end())
      return false;
  }
  return posix::CreateFolder(folder);
}

namespace headless {
namespace detail {
void ResetFiles() {
  std::lock_guard<std::mutex> hold(F().lock);
  F().moduleName.clear();
  F().userData.clear();
  F().userDataSet = false;
  F().readOnly.clear();
}
}  // namespace detail

void SetModuleFileName(const std::string& path) {
  std::lock_guard<std::mutex> hold(F().lock);
  F().moduleName = path;
}
void SetUserDataFolder(const std::string& folder) {
  std::lock_guard<std::mutex> hold(F().lock);
  F().userData = WithoutSeparator(folder);
  F().userDataSet = true;
}
void SetFolderReadOnly(const std::string& folder, bool readOnly) {
  std::lock_guard<std::mutex> hold(F().lock);
  auto& list = F().readOnly;
  std::string f = WithoutSeparator(folder);
  list.erase(std::remove(list.begin(), list.end(), f), list.end());
  if (readOnly) list.push_back(f);
}
}  // namespace headless
}  // namespace platform
