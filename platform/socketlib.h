// The socket library, found by name at run time, and the binary shapes its
// exports use. The transport binds every export by name from the handle this
// loader returns; on Windows that is the system's Winsock DLL, elsewhere a
// built-in library with the same exports, numbers and record layouts.
#pragma once

#include <cstdint>
#include <string>

// Calling convention of the library's exports (only 32-bit Windows has a
// separate one; every other target uses the default).
#if defined(_WIN32) && defined(__i386__)
#define TS_WINAPI __stdcall
#else
#define TS_WINAPI
#endif

namespace platform {

// Load the library registered under `name` (compared without case); nullptr when
// there is none, with the reason in LastSystemError().
void* LoadSocketLibrary(const char* name);
// The export `name` of a loaded library, nullptr when it has no such export.
void* GetSocketProc(void* library, const char* name);
void FreeSocketLibrary(void* library);

// The number of the last failed system call of this thread (GetLastError style).
uint32_t LastSystemError();
// The operating system's message text for a system or socket error number,
// without a trailing line break; empty when the system has none.
std::string SystemErrorText(uint32_t code);

// True on the NT family of Windows, where the library's whole-file send exists.
bool IsNTPlatform();
// Send a whole file over a connected socket with the library's whole-file send
// export `transmitProc`. Returns the file size, 0 when the send failed, or -1
// when the file could not be opened.
int64_t TransmitWholeFile(void* transmitProc, uintptr_t socket, const std::string& fileName);

// Binary shapes of the library's records (64-bit layouts).
namespace winsock {

using TSocket = uintptr_t;
constexpr TSocket INVALID_SOCKET_ = ~static_cast<TSocket>(0);
constexpr int SOCKET_ERROR_ = -1;
constexpr int FD_SETSIZE_ = 64;

constexpr int AF_INET_ = 2;
constexpr int SOCK_STREAM_ = 1;
constexpr int SOCK_DGRAM_ = 2;
constexpr int IPPROTO_TCP_ = 6;
constexpr int TCP_NODELAY_ = 1;
constexpr int SOL_SOCKET_ = 0xFFFF;
constexpr int SO_REUSEADDR_ = 4;
constexpr int SO_KEEPALIVE_ = 8;
constexpr int SO_LINGER_ = 0x80;
constexpr int SO_SNDBUF_ = 0x1001;
constexpr int SO_RCVBUF_ = 0x1002;
constexpr int SO_ERROR_ = 0x1007;
constexpr int SO_TYPE_ = 0x1008;
constexpr int SD_RECEIVE_ = 0;
constexpr int SD_SEND_ = 1;
constexpr int SD_BOTH_ = 2;
constexpr int MSG_OOB_ = 1;
constexpr int MSG_PEEK_ = 2;
constexpr int32_t FIONREAD_ = 0x4004667F;
constexpr int32_t FIONBIO_ = static_cast<int32_t>(0x8004667E);

struct TInAddr {
  uint32_t s_addr;  // network order
};

struct TSockAddr {
  uint16_t sa_family;
  char sa_data[14];
};

struct TSockAddrIn {
  int16_t sin_family;
  uint16_t sin_port;  // network order
  TInAddr sin_addr;
  char sin_zero[8];
};
static_assert(sizeof(TSockAddrIn) == 16);

// A select set: a count followed by up to 64 handles.
struct TFDSet {
  uint32_t fd_count;
  TSocket fd_array[FD_SETSIZE_];
};

struct TTimeVal {
  int32_t tv_sec;
  int32_t tv_usec;
};

struct THostEnt {
  char* h_name;
  char** h_aliases;
  int16_t h_addrtype;
  int16_t h_length;
  char** h_addr_list;
};

struct TServEnt {
  char* s_name;
  char** s_aliases;
  char* s_proto;
  int16_t s_port;  // network order
};

struct TProtoEnt {
  char* p_name;
  char** p_aliases;
  int16_t p_proto;
};

struct TLinger {
  uint16_t l_onoff;
  uint16_t l_linger;
};

// Start-up record; only the versions are read by the transport, the rest is
// space the library may fill.
struct TWSAData {
  uint16_t wVersion;
  uint16_t wHighVersion;
  unsigned char reserved[1020];
};

// Error numbers of the library.
constexpr int WSAEINTR_ = 10004;
constexpr int WSAEBADF_ = 10009;
constexpr int WSAEACCES_ = 10013;
constexpr int WSAEFAULT_ = 10014;
constexpr int WSAEINVAL_ = 10022;
constexpr int WSAEMFILE_ = 10024;
constexpr int WSAEWOULDBLOCK_ = 10035;
constexpr int WSAEINPROGRESS_ = 10036;
constexpr int WSAEALREADY_ = 10037;
constexpr int WSAENOTSOCK_ = 10038;
constexpr int WSAEDESTADDRREQ_ = 10039;
constexpr int WSAEMSGSIZE_ = 10040;
constexpr int WSAEPROTOTYPE_ = 10041;
constexpr int WSAENOPROTOOPT_ = 10042;
constexpr int WSAEPROTONOSUPPORT_ = 10043;
constexpr int WSAESOCKTNOSUPPORT_ = 10044;
constexpr int WSAEOPNOTSUPP_ = 10045;
constexpr int WSAEPFNOSUPPORT_ = 10046;
constexpr int WSAEAFNOSUPPORT_ = 10047;
constexpr int WSAEADDRINUSE_ = 10048;
constexpr int WSAEADDRNOTAVAIL_ = 10049;
constexpr int WSAENETDOWN_ = 10050;
constexpr int WSAENETUNREACH_ = 10051;
constexpr int WSAENETRESET_ = 10052;
constexpr int WSAECONNABORTED_ = 10053;
constexpr int WSAECONNRESET_ = 10054;
constexpr int WSAENOBUFS_ = 10055;
constexpr int WSAEISCONN_ = 10056;
constexpr int WSAENOTCONN_ = 10057;
constexpr int WSAESHUTDOWN_ = 10058;
constexpr int WSAETOOMANYREFS_ = 10059;
constexpr int WSAETIMEDOUT_ = 10060;
constexpr int WSAECONNREFUSED_ = 10061;
constexpr int WSAELOOP_ = 10062;
constexpr int WSAENAMETOOLONG_ = 10063;
constexpr int WSAEHOSTDOWN_ = 10064;
constexpr int WSAEHOSTUNREACH_ = 10065;
constexpr int WSAENOTEMPTY_ = 10066;
constexpr int WSAVERNOTSUPPORTED_ = 10092;
constexpr int WSANOTINITIALISED_ = 10093;
constexpr int WSAHOST_NOT_FOUND_ = 11001;
constexpr int WSATRY_AGAIN_ = 11002;
constexpr int WSANO_RECOVERY_ = 11003;
constexpr int WSANO_DATA_ = 11004;

}  // namespace winsock

}  // namespace platform
