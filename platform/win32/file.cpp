#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/file.h"
#include "platform/socketlib.h"

namespace platform {

namespace {
bool WriteAll(HANDLE h, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
    DWORD written = 0;
    if (!::WriteFile(h, bytes.data() + done, chunk, &written, nullptr) || written == 0) return false;
    done += written;
  }
  return true;
}
}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path, bool* missing, std::string* error) {
  if (missing) *missing = false;
  auto failed = [error](DWORD code) {
    if (error) *error = SystemErrorText(code);
    return std::nullopt;
  };
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = ::GetLastError();
    if (missing) *missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
    return failed(code);
  }
  std::string out;
  char buffer[65536];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(h, buffer, sizeof buffer, &n, nullptr)) {
      const DWORD code = ::GetLastError();
      ::CloseHandle(h);
      return failed(code);
    }
    if (n == 0) break;
    out.append(buffer, n);
  }
  ::CloseHandle(h);
  return out;
}

bool AppendDurably(const std::string& path, const std::string& bytes) {
  HANDLE h = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteAll(h, bytes) && ::FlushFileBuffers(h);
  ok = ::CloseHandle(h) && ok;
  return ok;
}

bool ReplaceDurably(const std::string& path, const std::string& bytes) {
  const std::string temp = path + ".tmp";
  HANDLE h = ::CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteAll(h, bytes) && ::FlushFileBuffers(h);
  ok = ::CloseHandle(h) && ok;
  if (!ok || !::MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ::DeleteFileA(temp.c_str());
    return false;
  }
  return true;
}

bool RemoveFile(const std::string& path) {
  return ::DeleteFileA(path.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND;
}

int LockFile(const std::string& path, uint32_t waitMs) {
  HANDLE h =
      ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  for (uint32_t waited = 0;; waited += 20) {
    OVERLAPPED at{};
    if (::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
      return HandleToLong(h);  // kernel handles keep their meaning in 32 bits
    if (waited >= waitMs) break;
    ::Sleep(20);
  }
  ::CloseHandle(h);
  return -1;
}

void UnlockFile(int lock) {
  if (lock != -1) ::CloseHandle(LongToHandle(lock));  // closing the handle releases its lock
}

}  // namespace platform
