// The socket library on Windows: the system's Winsock DLL, loaded by name.
#include "platform/socketlib.h"

#include <windows.h>

namespace platform {

namespace {
thread_local uint32_t lastSystemError = 0;
}

void* LoadSocketLibrary(const char* name) {
  HMODULE module = ::LoadLibraryA(name);
  if (!module) lastSystemError = ::GetLastError();
  return reinterpret_cast<void*>(module);
}

void* GetSocketProc(void* library, const char* name) {
  FARPROC proc = ::GetProcAddress(static_cast<HMODULE>(library), name);
  if (!proc) lastSystemError = ::GetLastError();
  return reinterpret_cast<void*>(proc);
}

void FreeSocketLibrary(void* library) {
  if (library) ::FreeLibrary(static_cast<HMODULE>(library));
}

uint32_t LastSystemError() { return lastSystemError; }

std::string SystemErrorText(uint32_t code) {
  char* text = nullptr;
  DWORD n =
      ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result;
  if (n && text) result.assign(text, n);
  if (text) ::LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ')) result.pop_back();
  return result;
}

bool IsNTPlatform() {
  // Every system this program runs on is of the NT family; ask anyway, as the
  // version query is what tells.
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!::GetVersionExA(&info)) return true;
#pragma GCC diagnostic pop
  return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

int64_t TransmitWholeFile(void* transmitProc, uintptr_t socket, const std::string& fileName) {
  using TTransmitFile = BOOL(WINAPI*)(UINT_PTR, HANDLE, DWORD, DWORD, void*, void*, DWORD);
  HANDLE file = ::CreateFileA(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  LARGE_INTEGER size{};
  ::GetFileSizeEx(file, &size);
  BOOL ok = reinterpret_cast<TTransmitFile>(transmitProc)(socket, file, 0, 0, nullptr, nullptr, 0);
  ::CloseHandle(file);
  return ok ? static_cast<int64_t>(size.QuadPart) : 0;
}

}  // namespace platform
