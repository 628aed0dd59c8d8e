// The program's files on Linux: the executable from /proc, the user's
// settings folder after the XDG rules ($XDG_CONFIG_HOME, else ~/.config).
#include "platform/module.h"
#include "platform/posix/folders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace platform {

std::string ModuleFileName() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string UserDataFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return config;  // a relative one is to be ignored
  const char* home = std::getenv("HOME");
  return home && *home ? std::string(home) + "/.config" : std::string();
}

bool FolderWritable(const std::string& folder) { return posix::FolderWritable(folder); }
bool FileExists(const std::string& path) { return posix::FileExists(path); }
bool CreateFolder(const std::string& folder) { return posix::CreateFolder(folder); }

}  // namespace platform
