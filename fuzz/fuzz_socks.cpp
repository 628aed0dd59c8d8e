// SOCKS 4, 4A and 5 negotiation against whatever the proxy replies.
// Input: byte 0 picks the version, the authentication and the target form
// (name or address), the rest is the proxy's reply bytes.
#include "fuzz/fuzz_common.h"
#include "fuzz/memory_handler.h"
#include "net/exceptions.h"
#include "net/socks.h"

using namespace ts;

// One socket stack for the whole run, as in the program, instead of one per input.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static TNetComponent keeper(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  fuzz::TMemoryIOHandler handler(std::string(reinterpret_cast<const char*>(data + 1), size - 1), 1 + (mode >> 5));
  handler.Active = true;
  TNetSocksInfo socks(nullptr);
  static const TSocksVersion kVersions[] = {TSocksVersion::svSocks4, TSocksVersion::svSocks4A, TSocksVersion::svSocks5,
                                            TSocksVersion::svSocks5};
  socks.Version = kVersions[mode & 3];
  if (mode & 4) {
    socks.Authentication = TSocksAuthentication::saUsernamePassword;
    socks.Username = "user";
    socks.Password = "pw";
  }
  try {
    // SOCKS 4 resolves a name itself, which would ask the system's resolver:
    // it gets an address only. 4A and 5 hand names to the proxy.
    const bool byName = (mode & 8) && socks.Version != TSocksVersion::svSocks4;
    socks.NegotiateProxy(handler, byName ? "app.example.com" : "127.0.0.1", 8660);
  } catch (const Exception&) {
    // A short, refused or malformed reply is one of the SOCKS errors or a closed connection.
  }
  return 0;
}
