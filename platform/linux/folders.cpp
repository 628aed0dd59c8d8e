// The user's folders on Linux after the XDG rules ($XDG_CONFIG_HOME, else
// ~/.config).
#include "platform/folders.h"
#include "platform/posix/folders.h"

namespace platform {

std::string UserDataFolder() { return posix::ConfigHome(); }
std::string UserProgramFolder(const std::string& name) {
  std::string base = UserDataFolder();
  return base.empty() ? base : base + "/" + name + "/";
}

bool FolderWritable(const std::string& folder) { return posix::FolderWritable(folder); }
bool FileExists(const std::string& path) { return posix::FileExists(path); }
bool CreateFolder(const std::string& folder) { return posix::CreateFolder(folder); }
bool CreateFolders(const std::string& folder) { return posix::CreateFolders(folder); }
void KeepNewFilesPrivate() { posix::KeepNewFilesPrivate(); }

}  // namespace platform
