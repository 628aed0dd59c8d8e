// Files and folders on Linux, for the desktop backends that build on the
// posix one (each decides which folders its program may write).
#pragma once

#include <string>

namespace platform::posix {

bool FolderWritable(const std::string& folder);  // by creating and removing a probe file
bool FileExists(const std::string& path);        // a regular file
bool CreateFolder(const std::string& folder);    // owner only; true when it exists afterwards

}  // namespace platform::posix
