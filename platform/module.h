// The running executable, the user's own folders and the questions the
// settings file's location asks of the file system. Paths are in the system
// code page.
#pragma once

#include <string>

namespace platform {

std::string ModuleFileName();  // full path of the running executable

// The user's roaming application-data folder (%APPDATA% on Windows), without
// a separator at the end; empty when the system cannot say.
std::string UserDataFolder();

// Whether a file can be created in `folder` now (a probe file is made and
// removed again). False for a folder that is missing, read-only, on a
// read-only medium or closed to this user.
bool FolderWritable(const std::string& folder);
bool FileExists(const std::string& path);
// Creates one folder; true when it exists afterwards.
bool CreateFolder(const std::string& folder);

}  // namespace platform
