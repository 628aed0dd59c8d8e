// Files that must survive a crash: whole-file reads, appends that are on the
// disk before the call returns, and replacement through a temporary file and
// a rename, so a reader sees either the old content or the new, never a mix.
// Paths are in the system code page.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The whole file; nullopt when it does not exist or cannot be read
// (`missing` tells the two apart when given; `error` receives the system's
// reason, in the system code page, when it could not be read).
std::optional<std::string> ReadWholeFile(const std::string& path, bool* missing = nullptr,
                                         std::string* error = nullptr);
// Appends the bytes and flushes them to the disk; false when any step failed.
bool AppendDurably(const std::string& path, const std::string& bytes);
// Writes `path` + ".tmp", flushes it to the disk and renames it over `path`.
bool ReplaceDurably(const std::string& path, const std::string& bytes);
// Removes the file; true when it is gone (also when it never existed).
bool RemoveFile(const std::string& path);

// Files that more than one process of the user may change are guarded by an
// exclusive lock on a lock file beside them. LockFile makes `path` when
// missing and waits up to `waitMs` for another holder to let go; it gives a
// handle for UnlockFile, or -1 when the lock could not be had in time. The
// lock also ends with the process that holds it.
int LockFile(const std::string& path, uint32_t waitMs);
void UnlockFile(int lock);

}  // namespace platform
