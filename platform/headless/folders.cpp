// The user's folders on the in-process desktop: the real file system, with
// the user's data folder and read-only folders set by the tests (as root a
// test cannot make a folder read-only).
#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/folders.h"
#include "platform/headless/desktop.h"
#include "platform/headless/desktop_internal.h"
#include "platform/posix/folders.h"

namespace platform {

namespace {
struct Folders {
  std::mutex lock;
  std::string userData;  // empty: $HOME/.config
  bool userDataSet = false;
  std::vector<std::string> readOnly;
};
Folders& F() {
  static Folders* f = new Folders;
  return *f;
}

// Paths here are Linux paths: "/" is the only separator (a 0x5C at the end
// may be the trail byte of a double-byte character).
std::string WithoutSeparator(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

bool ReadOnly(const std::string& folder) {
  std::lock_guard<std::mutex> hold(F().lock);
  return std::find(F().readOnly.begin(), F().readOnly.end(), WithoutSeparator(folder)) != F().readOnly.end();
}
}  // namespace

std::string UserDataFolder() {
  {
    std::lock_guard<std::mutex> hold(F().lock);
    if (F().userDataSet) return F().userData;
  }
  return posix::ConfigHome();
}

std::string UserProgramFolder(const std::string& name) {
  std::string base = UserDataFolder();
  return base.empty() ? base : base + "/" + name + "/";
}

bool FolderWritable(const std::string& folder) {
  return !ReadOnly(folder) && posix::FolderWritable(WithoutSeparator(folder));
}

bool FileExists(const std::string& path) { return posix::FileExists(path); }

bool CreateFolder(const std::string& folder) { return !ReadOnly(folder) && posix::CreateFolder(folder); }

bool CreateFolders(const std::string& folder) {
  const std::string target = WithoutSeparator(folder);
  for (size_t at = target.find('/', 1);; at = target.find('/', at + 1)) {
    if (!CreateFolder(target.substr(0, at))) return false;
    if (at == std::string::npos) return true;
  }
}

// The test process keeps its own mask: its files are the test's scratch.
void KeepNewFilesPrivate() {}

namespace headless {
namespace detail {
void ResetFiles() {
  ResetModule();
  std::lock_guard<std::mutex> hold(F().lock);
  F().userData.clear();
  F().userDataSet = false;
  F().readOnly.clear();
}
}  // namespace detail

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
