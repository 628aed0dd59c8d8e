#include "platform/file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace platform {

namespace {
bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The rename itself is durable only once the folder's entry is on the disk.
void SyncFolderOf(const std::string& path) {
  size_t cut = path.find_last_of('/');
  std::string folder = cut == std::string::npos ? "." : (cut == 0 ? "/" : path.substr(0, cut));
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}
}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path, bool* missing, std::string* error) {
  if (missing) *missing = false;
  auto failed = [error](int code) {
    if (error) *error = std::strerror(code);
    return std::nullopt;
  };
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (missing) *missing = errno == ENOENT;
    return failed(errno);
  }
  std::string out;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int code = errno;
      ::close(fd);
      return failed(code);
    }
    if (n == 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

bool AppendDurably(const std::string& path, const std::string& bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  struct stat before {};
  const bool created = ::fstat(fd, &before) == 0 && before.st_size == 0;
  bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  // A file this append created is found after a power loss only once its
  // folder's entry is on the disk too.
  if (ok && created) SyncFolderOf(path);
  return ok;
}

bool ReplaceDurably(const std::string& path, const std::string& bytes) {
  const std::string temp = path + ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  SyncFolderOf(path);
  return true;
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

int LockFile(const std::string& path, uint32_t waitMs) {
  // Close-on-exec: a program the client starts must not inherit the lock.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  for (uint32_t waited = 0;; waited += 20) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (waited >= waitMs) break;
    const timespec pause{0, 20 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
  }
  ::close(fd);
  return -1;
}

void UnlockFile(int lock) {
  if (lock >= 0) ::close(lock);  // closing the only descriptor releases the lock
}

}  // namespace platform
