// The socket library's entry points, bound lazily by name.
//
// Every export the transport may call has an entry: a stub, the entry variable
// through which the rest of the program calls, and the export's name. An entry
// variable starts out pointing at its stub; the first call through it binds the
// name in the loaded library, stores the found address into the variable (so
// later calls go straight to the library) and continues into it with the
// caller's arguments. A call before the library is loaded, or for an export the
// library lacks, raises ENetWS2StubError instead of calling through nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <iterator>

#include "platform/socketlib.h"

namespace ts {

namespace winsock {

using namespace platform::winsock;

using HANDLE_ = void*;
using DWORD_ = uint32_t;
using BOOL_ = int32_t;

// One entry variable: a callable pointer with the export's signature.
template <typename Sig>
class TWinsockEntryVar;

void* BindWinsockEntry(int index);

template <typename R, typename... A>
class TWinsockEntryVar<R(A...)> {
public:
  using Fn = R(TS_WINAPI*)(A...);
  constexpr explicit TWinsockEntryVar(int index) : index_(index) {}
  R operator()(A... args) const {
    void* target = address.load(std::memory_order_acquire);
    // Empty only before the table is set up at start-up: bind right away.
    if (!target) target = BindWinsockEntry(index_);
    return reinterpret_cast<Fn>(target)(args...);
  }
  std::atomic<void*> address{nullptr};

private:
  int index_;
};

// index, export name, entry variable, signature
#define TS_WINSOCK_ENTRIES(X)                                                                                        \
  X(0, "WSACleanup", WSACleanup, int())                                                                              \
  X(1, "accept", accept, TSocket(TSocket, TSockAddr*, int*))                                                         \
  X(2, "bind", bind, int(TSocket, const TSockAddr*, int))                                                            \
  X(3, "closesocket", closesocket, int(TSocket))                                                                     \
  X(4, "connect", connect, int(TSocket, const TSockAddr*, int))                                                      \
  X(5, "ioctlsocket", ioctlsocket, int(TSocket, int32_t, uint32_t*))                                                 \
  X(6, "getpeername", getpeername, int(TSocket, TSockAddr*, int*))                                                   \
  X(7, "getsockname", getsockname, int(TSocket, TSockAddr*, int*))                                                   \
  X(8, "getsockopt", getsockopt, int(TSocket, int, int, char*, int*))                                                \
  X(9, "htonl", htonl, uint32_t(uint32_t))                                                                           \
  X(10, "htons", htons, uint16_t(uint16_t))                                                                          \
  X(11, "inet_addr", inet_addr, uint32_t(const char*))                                                               \
  X(12, "inet_ntoa", inet_ntoa, char*(TInAddr))                                                                      \
  X(13, "listen", listen, int(TSocket, int))                                                                         \
  X(14, "ntohl", ntohl, uint32_t(uint32_t))                                                                          \
  X(15, "ntohs", ntohs, uint16_t(uint16_t))                                                                          \
  X(16, "recv", recv, int(TSocket, char*, int, int))                                                                 \
  X(17, "recvfrom", recvfrom, int(TSocket, char*, int, int, TSockAddr*, int*))                                       \
  X(18, "select", select, int(int, TFDSet*, TFDSet*, TFDSet*, const TTimeVal*))                                      \
  X(19, "send", send, int(TSocket, const char*, int, int))                                                           \
  X(20, "sendto", sendto, int(TSocket, const char*, int, int, const TSockAddr*, int))                                \
  X(21, "setsockopt", setsockopt, int(TSocket, int, int, const char*, int))                                          \
  X(22, "shutdown", shutdown, int(TSocket, int))                                                                     \
  X(23, "socket", socket, TSocket(int, int, int))                                                                    \
  X(24, "gethostbyaddr", gethostbyaddr, THostEnt*(const char*, int, int))                                            \
  X(25, "gethostbyname", gethostbyname, THostEnt*(const char*))                                                      \
  X(26, "gethostname", gethostname, int(char*, int))                                                                 \
  X(27, "getservbyport", getservbyport, TServEnt*(int, const char*))                                                 \
  X(28, "getservbyname", getservbyname, TServEnt*(const char*, const char*))                                         \
  X(29, "getprotobynumber", getprotobynumber, TProtoEnt*(int))                                                       \
  X(30, "getprotobyname", getprotobyname, TProtoEnt*(const char*))                                                   \
  X(31, "WSASetLastError", WSASetLastError, void(int))                                                               \
  X(32, "WSAGetLastError", WSAGetLastError, int())                                                                   \
  X(33, "WSAIsBlocking", WSAIsBlocking, BOOL_())                                                                     \
  X(34, "WSAUnhookBlockingHook", WSAUnhookBlockingHook, int())                                                       \
  X(35, "WSASetBlockingHook", WSASetBlockingHook, void*(void*))                                                      \
  X(36, "WSACancelBlockingCall", WSACancelBlockingCall, int())                                                       \
  X(37, "WSAAsyncGetServByName", WSAAsyncGetServByName,                                                              \
    HANDLE_(void*, unsigned, const char*, const char*, char*, int))                                                  \
  X(38, "WSAAsyncGetServByPort", WSAAsyncGetServByPort, HANDLE_(void*, unsigned, int, const char*, char*, int))      \
  X(39, "WSAAsyncGetProtoByName", WSAAsyncGetProtoByName, HANDLE_(void*, unsigned, const char*, char*, int))         \
  X(40, "WSAAsyncGetProtoByNumber", WSAAsyncGetProtoByNumber, HANDLE_(void*, unsigned, int, char*, int))             \
  X(41, "WSAAsyncGetHostByName", WSAAsyncGetHostByName, HANDLE_(void*, unsigned, const char*, char*, int))           \
  X(42, "WSAAsyncGetHostByAddr", WSAAsyncGetHostByAddr, HANDLE_(void*, unsigned, const char*, int, int, char*, int)) \
  X(43, "WSACancelAsyncRequest", WSACancelAsyncRequest, int(HANDLE_))                                                \
  X(44, "WSAAsyncSelect", WSAAsyncSelect, int(TSocket, void*, unsigned, int32_t))                                    \
  X(45, "__WSAFDIsSet", WSAFDIsSet, int(TSocket, TFDSet*))                                                           \
  X(46, "WSAAccept", WSAAccept, TSocket(TSocket, TSockAddr*, int*, void*, uintptr_t))                                \
  X(47, "WSACloseEvent", WSACloseEvent, BOOL_(HANDLE_))                                                              \
  X(48, "WSAConnect", WSAConnect, int(TSocket, const TSockAddr*, int, void*, void*, void*, void*))                   \
  X(49, "WSACreateEvent", WSACreateEvent, HANDLE_())                                                                 \
  X(50, "WSADuplicateSocketA", WSADuplicateSocketA, int(TSocket, DWORD_, void*))                                     \
  X(51, "WSADuplicateSocketW", WSADuplicateSocketW, int(TSocket, DWORD_, void*))                                     \
  X(52, "WSAEnumNetworkEvents", WSAEnumNetworkEvents, int(TSocket, HANDLE_, void*))                                  \
  X(53, "WSAEnumProtocolsA", WSAEnumProtocolsA, int(int*, void*, DWORD_*))                                           \
  X(54, "WSAEnumProtocolsW", WSAEnumProtocolsW, int(int*, void*, DWORD_*))                                           \
  X(55, "WSAEventSelect", WSAEventSelect, int(TSocket, HANDLE_, int32_t))                                            \
  X(56, "WSAGetOverlappedResult", WSAGetOverlappedResult, BOOL_(TSocket, void*, DWORD_*, BOOL_, DWORD_*))            \
  X(57, "WSAGetQosByName", WSAGetQosByName, BOOL_(TSocket, void*, void*))                                            \
  X(58, "WSAHtonl", WSAHtonl, int(TSocket, uint32_t, uint32_t*))                                                     \
  X(59, "WSAHtons", WSAHtons, int(TSocket, uint16_t, uint16_t*))                                                     \
  X(60, "WSAIoctl", WSAIoctl, int(TSocket, DWORD_, void*, DWORD_, void*, DWORD_, DWORD_*, void*, void*))             \
  X(61, "WSAJoinLeaf", WSAJoinLeaf, TSocket(TSocket, const TSockAddr*, int, void*, void*, void*, void*, DWORD_))     \
  X(62, "WSANtohl", WSANtohl, int(TSocket, uint32_t, uint32_t*))                                                     \
  X(63, "WSANtohs", WSANtohs, int(TSocket, uint16_t, uint16_t*))                                                     \
  X(64, "WSARecv", WSARecv, int(TSocket, void*, DWORD_, DWORD_*, DWORD_*, void*, void*))                             \
  X(65, "WSARecvDisconnect", WSARecvDisconnect, int(TSocket, void*))                                                 \
  X(66, "WSARecvFrom", WSARecvFrom, int(TSocket, void*, DWORD_, DWORD_*, DWORD_*, TSockAddr*, int*, void*, void*))   \
  X(67, "WSAResetEvent", WSAResetEvent, BOOL_(HANDLE_))                                                              \
  X(68, "WSASend", WSASend, int(TSocket, void*, DWORD_, DWORD_*, DWORD_, void*, void*))                              \
  X(69, "WSASendDisconnect", WSASendDisconnect, int(TSocket, void*))                                                 \
  X(70, "WSASendTo", WSASendTo, int(TSocket, void*, DWORD_, DWORD_*, DWORD_, const TSockAddr*, int, void*, void*))   \
  X(71, "WSASetEvent", WSASetEvent, BOOL_(HANDLE_))                                                                  \
  X(72, "WSASocketA", WSASocketA, TSocket(int, int, int, void*, unsigned, DWORD_))                                   \
  X(73, "WSASocketW", WSASocketW, TSocket(int, int, int, void*, unsigned, DWORD_))                                   \
  X(74, "WSAWaitForMultipleEvents", WSAWaitForMultipleEvents, DWORD_(DWORD_, const HANDLE_*, BOOL_, DWORD_, BOOL_))  \
  X(75, "WSAAddressToStringA", WSAAddressToStringA, int(TSockAddr*, DWORD_, void*, char*, DWORD_*))                  \
  X(76, "WSAAddressToStringW", WSAAddressToStringW, int(TSockAddr*, DWORD_, void*, void*, DWORD_*))                  \
  X(77, "WSAStringToAddressA", WSAStringToAddressA, int(char*, int, void*, TSockAddr*, int*))                        \
  X(78, "WSAStringToAddressW", WSAStringToAddressW, int(void*, int, void*, TSockAddr*, int*))                        \
  X(79, "WSALookupServiceBeginA", WSALookupServiceBeginA, int(void*, DWORD_, HANDLE_*))                              \
  X(80, "WSALookupServiceBeginW", WSALookupServiceBeginW, int(void*, DWORD_, HANDLE_*))                              \
  X(81, "WSALookupServiceNextA", WSALookupServiceNextA, int(HANDLE_, DWORD_, DWORD_*, void*))                        \
  X(82, "WSALookupServiceNextW", WSALookupServiceNextW, int(HANDLE_, DWORD_, DWORD_*, void*))                        \
  X(83, "WSALookupServiceEnd", WSALookupServiceEnd, int(HANDLE_))                                                    \
  X(84, "WSAInstallServiceClassA", WSAInstallServiceClassA, int(void*))                                              \
  X(85, "WSAInstallServiceClassW", WSAInstallServiceClassW, int(void*))                                              \
  X(86, "WSARemoveServiceClass", WSARemoveServiceClass, int(void*))                                                  \
  X(87, "WSAGetServiceClassInfoA", WSAGetServiceClassInfoA, int(void*, void*, DWORD_*, void*))                       \
  X(88, "WSAGetServiceClassInfoW", WSAGetServiceClassInfoW, int(void*, void*, DWORD_*, void*))                       \
  X(89, "WSAEnumNameSpaceProvidersA", WSAEnumNameSpaceProvidersA, int(DWORD_*, void*))                               \
  X(90, "WSAEnumNameSpaceProvidersW", WSAEnumNameSpaceProvidersW, int(DWORD_*, void*))                               \
  X(91, "WSAGetServiceClassNameByClassIdA", WSAGetServiceClassNameByClassIdA, int(void*, char*, DWORD_*))            \
  X(92, "WSAGetServiceClassNameByClassIdW", WSAGetServiceClassNameByClassIdW, int(void*, void*, DWORD_*))            \
  X(93, "WSASetServiceA", WSASetServiceA, int(void*, int, DWORD_))                                                   \
  X(94, "WSASetServiceW", WSASetServiceW, int(void*, int, DWORD_))                                                   \
  X(95, "WSAProviderConfigChange", WSAProviderConfigChange, int(HANDLE_*, void*, void*))                             \
  X(96, "WSADuplicateSocketA", WSADuplicateSocket, int(TSocket, DWORD_, void*))                                      \
  X(97, "WSAEnumProtocolsA", WSAEnumProtocols, int(int*, void*, DWORD_*))                                            \
  X(98, "WSASocketA", WSASocket, TSocket(int, int, int, void*, unsigned, DWORD_))                                    \
  X(99, "WSAAddressToStringA", WSAAddressToString, int(TSockAddr*, DWORD_, void*, char*, DWORD_*))                   \
  X(100, "WSAStringToAddressA", WSAStringToAddress, int(char*, int, void*, TSockAddr*, int*))                        \
  X(101, "WSALookupServiceBeginA", WSALookupServiceBegin, int(void*, DWORD_, HANDLE_*))                              \
  X(102, "WSALookupServiceNextA", WSALookupServiceNext, int(HANDLE_, DWORD_, DWORD_*, void*))                        \
  X(103, "WSAInstallServiceClassA", WSAInstallServiceClass, int(void*))                                              \
  X(104, "WSAGetServiceClassInfoA", WSAGetServiceClassInfo, int(void*, void*, DWORD_*, void*))                       \
  X(105, "WSAEnumNameSpaceProvidersA", WSAEnumNameSpaceProviders, int(DWORD_*, void*))                               \
  X(106, "WSAGetServiceClassNameByClassIdA", WSAGetServiceClassNameByClassId, int(void*, char*, DWORD_*))            \
  X(107, "WSASetServiceA", WSASetService, int(void*, int, DWORD_))                                                   \
  X(108, "TransmitFile", TransmitFile, BOOL_(TSocket, HANDLE_, DWORD_, DWORD_, void*, void*, DWORD_))                \
  X(109, "AcceptEx", AcceptEx, BOOL_(TSocket, TSocket, void*, DWORD_, DWORD_, DWORD_, DWORD_*, void*))               \
  X(110, "GetAcceptExSockaddrs", GetAcceptExSockaddrs,                                                               \
    void(void*, DWORD_, DWORD_, DWORD_, TSockAddr**, int*, TSockAddr**, int*))                                       \
  X(111, "WSARecvEx", WSARecvEx, int(TSocket, char*, int, int*))

// NOLINTNEXTLINE(bugprone-macro-parentheses): a function type and a name, neither takes parentheses
#define TS_WINSOCK_DECLARE(index, name, var, sig) extern TWinsockEntryVar<sig> var;
TS_WINSOCK_ENTRIES(TS_WINSOCK_DECLARE)
#undef TS_WINSOCK_DECLARE

constexpr int WinsockEntryCount = 112;

// The list above holds exactly WinsockEntryCount entries, numbered in order:
// the stubs bind by number, so a gap or a duplicate would bind the wrong export.
namespace detail {
#define TS_WINSOCK_INDEX(index, name, var, sig) index,
inline constexpr int WinsockEntryIndices[] = {TS_WINSOCK_ENTRIES(TS_WINSOCK_INDEX)};
#undef TS_WINSOCK_INDEX
constexpr bool WinsockEntriesInOrder() {
  for (int i = 0; i < static_cast<int>(std::size(WinsockEntryIndices)); ++i)
    if (WinsockEntryIndices[i] != i) return false;
  return true;
}
}  // namespace detail
static_assert(std::size(detail::WinsockEntryIndices) == WinsockEntryCount, "one entry per export of the table");
static_assert(detail::WinsockEntriesInOrder(), "the entries are numbered 0, 1, 2, ... in list order");

// One row of the entry table.
struct TWinsockEntry {
  void* stub;                    // the routine that binds this entry on its first call
  std::atomic<void*>* variable;  // the address the program calls through
  const char* name;              // the export looked up in the library
};

extern const TWinsockEntry WinsockEntryTable[WinsockEntryCount];

// Bind entry `index` by name and return the library's address for it; raises
// ENetWS2StubError when the library is not loaded or lacks the export.
void* BindWinsockEntry(int index);
// Point every entry back at its stub and forget the library handle.
void ResetWinsockEntries();
// Load the library (once) and start it; returns the start-up result, 0 when it
// was already loaded. Raises ENetWS2StubError when the library cannot be loaded.
int StartWinsock(uint16_t version, TWSAData* data);
// Free the library once (the handle is taken atomically) and reset the entries.
void UnloadWinsock();
// The loaded library, nullptr while not loaded.
void* WinsockLibraryHandle();
// True when the loaded library has an export for entry `index` (binds nothing).
bool WinsockEntryAvailable(int index);

// The name the library is registered under.
inline constexpr const char* WinsockLibraryName = "WS2_32.DLL";

}  // namespace winsock

}  // namespace ts
