// The socket library loader on Linux: the only library there is the built-in
// one registered under the Winsock name, whose exports live in socketlib_ws2.cpp.
#include "platform/socketlib.h"

#include <strings.h>

#include <cstring>

namespace platform {

namespace ws2 {
void* FindExport(const char* name);  // socketlib_ws2.cpp
}

namespace {

constexpr uint32_t ERROR_MOD_NOT_FOUND_ = 126;
constexpr uint32_t ERROR_PROC_NOT_FOUND_ = 127;
constexpr uint32_t ERROR_INVALID_HANDLE_ = 6;

thread_local uint32_t lastSystemError = 0;

// The built-in library's handle: the address of this marker.
char builtinLibrary;
int loadCount = 0;

}  // namespace

void* LoadSocketLibrary(const char* name) {
  if (name && strcasecmp(name, "WS2_32.DLL") == 0) {
    ++loadCount;
    return &builtinLibrary;
  }
  lastSystemError = ERROR_MOD_NOT_FOUND_;
  return nullptr;
}

void* GetSocketProc(void* library, const char* name) {
  if (library != &builtinLibrary || loadCount == 0) {
    lastSystemError = ERROR_INVALID_HANDLE_;
    return nullptr;
  }
  void* address = name ? ws2::FindExport(name) : nullptr;
  if (!address) lastSystemError = ERROR_PROC_NOT_FOUND_;
  return address;
}

void FreeSocketLibrary(void* library) {
  if (library == &builtinLibrary && loadCount > 0) --loadCount;
}

uint32_t LastSystemError() { return lastSystemError; }

std::string SystemErrorText(uint32_t code) {
  switch (code) {
    case ERROR_INVALID_HANDLE_:
      return "The handle is invalid.";
    case ERROR_MOD_NOT_FOUND_:
      return "The specified module could not be found.";
    case ERROR_PROC_NOT_FOUND_:
      return "The specified procedure could not be found.";
    case winsock::WSAEINTR_:
      return "A blocking operation was interrupted.";
    case winsock::WSAEACCES_:
      return "An attempt was made to access a socket in a way forbidden by its access permissions.";
    case winsock::WSAEINVAL_:
      return "An invalid argument was supplied.";
    case winsock::WSAEWOULDBLOCK_:
      return "A non-blocking socket operation could not be completed immediately.";
    case winsock::WSAENOTSOCK_:
      return "An operation was attempted on something that is not a socket.";
    case winsock::WSAEADDRINUSE_:
      return "Only one usage of each socket address (protocol/network address/port) is normally permitted.";
    case winsock::WSAEADDRNOTAVAIL_:
      return "The requested address is not valid in its context.";
    case winsock::WSAENETDOWN_:
      return "A socket operation encountered a dead network.";
    case winsock::WSAENETUNREACH_:
      return "A socket operation was attempted to an unreachable network.";
    case winsock::WSAECONNABORTED_:
      return "An established connection was aborted by the software in your host machine.";
    case winsock::WSAECONNRESET_:
      return "An existing connection was forcibly closed by the remote host.";
    case winsock::WSAENOTCONN_:
      return "A request to send or receive data was disallowed because the socket is not connected.";
    case winsock::WSAESHUTDOWN_:
      return "A request to send or receive data was disallowed because the socket had already been shut down.";
    case winsock::WSAETIMEDOUT_:
      return "A connection attempt failed because the connected party did not properly respond after a period "
             "of time.";
    case winsock::WSAECONNREFUSED_:
      return "No connection could be made because the target machine actively refused it.";
    case winsock::WSAEHOSTUNREACH_:
      return "A socket operation was attempted to an unreachable host.";
    case winsock::WSAVERNOTSUPPORTED_:
      return "The Windows Sockets version requested is not supported.";
    case winsock::WSANOTINITIALISED_:
      return "Either the application has not called WSAStartup, or WSAStartup failed.";
    case winsock::WSAHOST_NOT_FOUND_:
      return "No such host is known.";
    default:
      return std::string();
  }
}

bool IsNTPlatform() { return false; }

int64_t TransmitWholeFile(void* /*transmitProc*/, uintptr_t /*socket*/, const std::string& /*fileName*/) { return -1; }

}  // namespace platform
