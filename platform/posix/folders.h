// Files and folders on Linux, for the desktop backends that build on the
// posix one (each decides which folders its program may write).
#pragma once

#include <string>

namespace platform::posix {

bool FolderWritable(const std::string& folder);  // by creating and removing a probe file
bool FileExists(const std::string& path);        // a regular file
bool CreateFolder(const std::string& folder);    // owner only; true when it exists afterwards
bool CreateFolders(const std::string& folder);   // with the missing ones above it, owner only
void KeepNewFilesPrivate();                      // the mode mask 077
// $XDG_CONFIG_HOME when it is absolute (a relative one is to be ignored),
// else ~/.config; empty without either.
std::string ConfigHome();

}  // namespace platform::posix
