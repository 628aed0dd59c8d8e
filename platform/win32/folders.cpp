// The user's folders on Windows: the roaming application-data folder, and the
// file-system questions behind the settings file's place.
#include "platform/folders.h"

#include <windows.h>
// after windows.h, which it needs
#include <shlobj.h>

namespace platform {

std::string UserDataFolder() {
  char buf[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buf))) return {};
  std::string folder(buf);
  if (!folder.empty() && folder.back() == '\\' && folder.size() > 3) folder.pop_back();
  return folder;
}

std::string UserProgramFolder(const std::string& name) {
  std::string base = UserDataFolder();
  return base.empty() ? base : base + "\\" + name + "\\";
}

bool FolderWritable(const std::string& folder) {
  // Asking for the folder's attributes or its security tells too little (a
  // read-only medium, a share, a policy): try it. The probe is deleted by the
  // system when its handle closes, so nothing is left behind even on a crash.
  std::string probe = folder;
  if (!probe.empty() && probe.back() != '\\' && probe.back() != '/') probe += '\\';
  probe += "textsnap-" + std::to_string(::GetCurrentProcessId()) + ".probe";
  HANDLE h = ::CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(h);
  return true;
}

bool FileExists(const std::string& path) {
  DWORD a = ::GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool CreateFolder(const std::string& folder) {
  if (::CreateDirectoryA(folder.c_str(), nullptr)) return true;
  DWORD a = ::GetFileAttributesA(folder.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CreateFolders(const std::string& folder) {
  // Byte by byte a 0x5C may be the trail byte of a double-byte character:
  // separators are found by character.
  for (const char* at = folder.c_str(); *at; at = ::CharNextA(at))
    if ((*at == '\\' || *at == '/') && at != folder.c_str() && at[-1] != ':')
      CreateFolder(folder.substr(0, static_cast<size_t>(at - folder.c_str())));  // a failure shows in the last one
  return CreateFolder(folder);
}

// A folder made in the user's profile inherits its protection.
void KeepNewFilesPrivate() {}

}  // namespace platform
