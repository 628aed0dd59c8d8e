#include "platform/posix/folders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace platform::posix {

bool FolderWritable(const std::string& folder) {
  std::string probe = folder + "/textsnap-" + std::to_string(getpid()) + ".probe";
  int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  close(fd);
  unlink(probe.c_str());
  return true;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool CreateFolder(const std::string& folder) {
  if (mkdir(folder.c_str(), 0700) == 0) return true;
  struct stat st;
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateFolders(const std::string& folder) {
  for (size_t at = folder.find('/', 1); at != std::string::npos; at = folder.find('/', at + 1))
    CreateFolder(folder.substr(0, at));  // a failure shows in the last one
  return CreateFolder(folder);
}

void KeepNewFilesPrivate() { umask(077); }

std::string ConfigHome() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return config;
  const char* home = std::getenv("HOME");
  return home && *home ? std::string(home) + "/.config" : std::string();
}

}  // namespace platform::posix
