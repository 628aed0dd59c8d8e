#include "net/winsock.h"

#include <cstdio>

#include "net/exceptions.h"
#include "runtime/codepage.h"
#include "runtime/text.h"

namespace ts {

ENetWS2StubError::ENetWS2StubError(std::string title, uint32_t systemError)
    : ENetException(title), Title(std::move(title)), SystemError(systemError) {
  if (systemError != 0) {
    SystemErrorText = platform::SystemErrorText(systemError);
    // The system's text is in its code page; messages are UTF-8.
    SetMessage(Title + ": " + SystemToUtf8(SystemErrorText));
  }
}

namespace winsock {

namespace {

std::atomic<void*> libraryHandle{nullptr};

// The stub of entry I: bind the entry, then carry on into the library with the
// caller's arguments.
template <int I, typename Sig>
struct TStub;

template <int I, typename R, typename... A>
struct TStub<I, R(A...)> {
  static R TS_WINAPI Call(A... args) {
    using Fn = R(TS_WINAPI*)(A...);
    return reinterpret_cast<Fn>(BindWinsockEntry(I))(args...);
  }
};

}  // namespace

// The arguments are a name and a function type, which take no parentheses.
// NOLINTNEXTLINE(bugprone-macro-parentheses)
#define TS_WINSOCK_DEFINE(index, name, var, sig) TWinsockEntryVar<sig> var{index};
TS_WINSOCK_ENTRIES(TS_WINSOCK_DEFINE)
#undef TS_WINSOCK_DEFINE

// NOLINTNEXTLINE(bugprone-macro-parentheses)
#define TS_WINSOCK_ROW(index, name, var, sig) {reinterpret_cast<void*>(&TStub<index, sig>::Call), &var.address, name},
const TWinsockEntry WinsockEntryTable[WinsockEntryCount] = {TS_WINSOCK_ENTRIES(TS_WINSOCK_ROW)};
#undef TS_WINSOCK_ROW

namespace {

// Entries start out at their stubs. A component made by an earlier static
// initialiser may already have loaded the library and bound entries; those stay.
struct TEntrySetup {
  TEntrySetup() {
    for (const TWinsockEntry& entry : WinsockEntryTable) {
      void* expected = nullptr;
      entry.variable->compare_exchange_strong(expected, entry.stub);
    }
  }
} entrySetup;

}  // namespace

void ResetWinsockEntries() {
  libraryHandle.store(nullptr);
  for (const TWinsockEntry& entry : WinsockEntryTable) entry.variable->store(entry.stub, std::memory_order_release);
}

void* WinsockLibraryHandle() { return libraryHandle.load(); }

void* BindWinsockEntry(int index) {
  const TWinsockEntry& entry = WinsockEntryTable[index];
  void* library = libraryHandle.load();
  if (!library)
    throw ENetWS2StubError(Format("Error on call Winsock2 library function %s", {entry.name}), WSANOTINITIALISED_);
  void* address = platform::GetSocketProc(library, entry.name);
  // Calling through an empty address would crash; a missing export is reported
  // like a call before loading.
  if (!address)
    throw ENetWS2StubError(Format("Error on call Winsock2 library function %s", {entry.name}), WSANOTINITIALISED_);
  entry.variable->store(address, std::memory_order_release);
  return address;
}

bool WinsockEntryAvailable(int index) {
  void* library = libraryHandle.load();
  return library && platform::GetSocketProc(library, WinsockEntryTable[index].name) != nullptr;
}

int StartWinsock(uint16_t version, TWSAData* data) {
  if (libraryHandle.load()) return 0;
  void* library = platform::LoadSocketLibrary(WinsockLibraryName);
  if (!library)
    throw ENetWS2StubError(Format("Error on loading Winsock2 library (%s)", {WinsockLibraryName}),
                           platform::LastSystemError());
  void* expected = nullptr;
  if (!libraryHandle.compare_exchange_strong(expected, library)) {
    // Another thread loaded it meanwhile; keep that one.
    platform::FreeSocketLibrary(library);
    return 0;
  }
  using TStartup = int(TS_WINAPI*)(uint16_t, TWSAData*);
  auto startup = reinterpret_cast<TStartup>(platform::GetSocketProc(library, "WSAStartup"));
  if (!startup)
    throw ENetWS2StubError(Format("Error on call Winsock2 library function %s", {"WSAStartup"}), WSANOTINITIALISED_);
  return startup(version, data);
}

void UnloadWinsock() {
  void* library = libraryHandle.exchange(nullptr);
  if (library) {
    platform::FreeSocketLibrary(library);
    ResetWinsockEntries();
  }
}

}  // namespace winsock

}  // namespace ts
