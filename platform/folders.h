// The user's own folders, and the questions the settings file's place asks of
// the file system. Paths are in the system code page.
#pragma once

#include <string>

namespace platform {

// The user's folder for the settings of programs (%APPDATA% on Windows;
// $XDG_CONFIG_HOME, else ~/.config, on Linux), without a separator at the
// end; empty when the system cannot say.
std::string UserDataFolder();
// The folder called `name` in it, with the system's separator at the end;
// nothing is made. Empty when UserDataFolder is.
std::string UserProgramFolder(const std::string& name);

// Whether a file can be created in `folder` now (a probe file is made and
// removed again). False for a folder that is missing, read-only, on a
// read-only medium or closed to this user.
bool FolderWritable(const std::string& folder);
bool FileExists(const std::string& path);
// Creates one folder; true when it exists afterwards.
bool CreateFolder(const std::string& folder);
// Creates the folder and every missing one above it, each open to its user
// only where the system has such a mode; true when it exists afterwards.
bool CreateFolders(const std::string& folder);

// From now on the files and folders this process makes are its user's alone
// (on Linux the mode mask 077); on Windows the user's profile is so already.
void KeepNewFilesPrivate();

}  // namespace platform
