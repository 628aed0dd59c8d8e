#include "net/socks.h"

#include <cstdint>
#include <cstring>

#include "net/iohandler.h"
#include "net/stack.h"
#include "runtime/text.h"

namespace ts {

namespace {

constexpr uint8_t kSocks4Version = 4;
constexpr uint8_t kSocks4Granted = 90;
constexpr uint8_t kSocks5Version = 5;
constexpr uint8_t kCommandConnect = 1;
constexpr uint8_t kMethodNone = 0;
constexpr uint8_t kMethodUsernamePassword = 2;
constexpr uint8_t kMethodNoneAcceptable = 255;
constexpr uint8_t kAuthVersion = 1;
constexpr uint8_t kAddressIPv4 = 1;
constexpr uint8_t kAddressDomain = 3;
constexpr uint8_t kAddressIPv6 = 4;

void Append8(std::string& out, unsigned value) { out.push_back(static_cast<char>(value & 0xFF)); }
void Append16(std::string& out, unsigned value) {
  Append8(out, value >> 8);
  Append8(out, value);
}

// Sends the whole request. A send can take less than it was given; the rest goes
// after it, so the proxy always sees the request whole.
void SendAll(TNetIOHandler& handler, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    int n = handler.Transmit(bytes.data() + sent, static_cast<int>(bytes.size() - sent));
    // A failed send carries the socket library's own error.
    SharedStack->CheckSocketResult(n);
    if (n <= 0) throw ENetSocksServerRespondError();
    sent += static_cast<size_t>(n);
  }
}

// Reads exactly `count` bytes of a fixed-size answer. TCP may hand an answer over
// in pieces, so one receive is not enough. A proxy that closes or fails before
// the answer is whole has not answered: taking whatever was left in the buffer
// for its reply would misread a refusal as a grant.
std::string ReceiveExactly(TNetIOHandler& handler, size_t count) {
  std::string got(count, '\0');
  size_t have = 0;
  while (have < count) {
    int n;
    try {
      n = handler.Receive(got.data() + have, static_cast<int>(count - have));
    } catch (const ENetException&) {
      throw ENetSocksServerRespondError();
    }
    if (n <= 0) throw ENetSocksServerRespondError();
    have += static_cast<size_t>(n);
  }
  return got;
}

uint8_t Byte(const std::string& bytes, size_t index) { return static_cast<uint8_t>(bytes[index]); }

void CheckLength(const std::string& value, const char* what) {
  if (value.size() > 255) throw ENetSocksInvalidSetting(Format("SOCKS %s is longer than 255 bytes.", {what}));
}

// SOCKS 4 ends its text fields with a zero byte: one inside would end the field
// early and let the rest be read as the next field.
void CheckNoZero(const std::string& value, const char* what) {
  if (value.find('\0') != std::string::npos)
    throw ENetSocksInvalidSetting(Format("SOCKS %s must not contain a zero byte.", {what}));
}

void CheckPort(int port) {
  // The request carries the port in two bytes; a wider value would quietly
  // become some other port.
  if (port < 0 || port > 0xFFFF) throw ENetSocksInvalidSetting(Format("SOCKS target port %d is out of range.", {port}));
}

}  // namespace

void TNetSocksInfo::Assign(const TNetSocksInfo& source) {
  Authentication = source.Authentication;
  Host = source.Host;
  Password = source.Password;
  Port = source.Port;
  Username = source.Username;
  Version = source.Version;
}

void TNetSocksInfo::NegotiateProxy(TNetIOHandler& handler, const std::string& host, int port) {
  switch (Version) {
    case TSocksVersion::svNoSocks:
      return;
    case TSocksVersion::svSocks4:
    case TSocksVersion::svSocks4A:
      NegotiateSocks4(handler, host, port);
      return;
    case TSocksVersion::svSocks5:
      NegotiateSocks5(handler, host, port);
      return;
  }
}

void TNetSocksInfo::NegotiateSocks4(TNetIOHandler& handler, const std::string& host, int port) {
  const bool byName = Version == TSocksVersion::svSocks4A;
  CheckPort(port);
  CheckLength(Username, "user name");
  CheckNoZero(Username, "user name");
  if (byName) CheckNoZero(host, "target host name");

  // Plain SOCKS 4 carries only an address, so the name is looked up here; 4A
  // sends an address the protocol reserves (0.0.0.x, x not 0) and lets the proxy
  // look up the name that follows the user name.
  uint32_t address = SharedStack->TextToInAddr(byName ? std::string("0.0.0.1") : SharedStack->ResolveHostAddress(host));

  std::string request;
  Append8(request, kSocks4Version);
  Append8(request, kCommandConnect);
  Append16(request, static_cast<unsigned>(port));
  request.append(reinterpret_cast<const char*>(&address), 4);
  request += Username;
  request.push_back('\0');
  if (byName) {
    request += host;
    request.push_back('\0');
  }
  SendAll(handler, request);

  std::string reply = ReceiveExactly(handler, 8);
  switch (Byte(reply, 1)) {
    case kSocks4Granted:
      return;
    case 91:
      throw ENetSocksRequestFailed();
    case 92:
      throw ENetSocksRequestServerFailed();
    case 93:
      throw ENetSocksRequestIdentFailed();
    default:
      throw ENetSocksUnknownError();
  }
}

void TNetSocksInfo::NegotiateSocks5(TNetIOHandler& handler, const std::string& host, int port) {
  const bool withPassword = Authentication == TSocksAuthentication::saUsernamePassword;
  // Everything that cannot go on the wire is refused before the first byte leaves.
  CheckPort(port);
  CheckLength(host, "target host name");
  if (withPassword) {
    CheckLength(Username, "user name");
    CheckLength(Password, "password");
  }

  const uint8_t method = withPassword ? kMethodUsernamePassword : kMethodNone;
  std::string greeting;
  Append8(greeting, kSocks5Version);
  Append8(greeting, 1);
  Append8(greeting, method);
  SendAll(handler, greeting);

  std::string choice = ReceiveExactly(handler, 2);
  if (Byte(choice, 1) != method || Byte(choice, 1) == kMethodNoneAcceptable) throw ENetSocksAuthMethodError();

  if (withPassword) {
    std::string login;
    Append8(login, kAuthVersion);
    Append8(login, static_cast<unsigned>(Username.size()));
    login += Username;
    Append8(login, static_cast<unsigned>(Password.size()));
    login += Password;
    SendAll(handler, login);
    std::string status = ReceiveExactly(handler, 2);
    if (Byte(status, 1) != 0) throw ENetSocksAuthError();
  }

  // The target always goes as a name, also an address text: the proxy resolves
  // it, so a name that only the proxy can resolve still works.
  std::string request;
  Append8(request, kSocks5Version);
  Append8(request, kCommandConnect);
  Append8(request, 0);
  Append8(request, kAddressDomain);
  Append8(request, static_cast<unsigned>(host.size()));
  request += host;
  Append16(request, static_cast<unsigned>(port));
  SendAll(handler, request);

  // Version, reply, reserved, address type and the first byte of the bound address.
  std::string reply = ReceiveExactly(handler, 5);
  switch (Byte(reply, 1)) {
    case 0:
      break;
    case 1:
      throw ENetSocksServerGeneralError();
    case 2:
      throw ENetSocksServerPermissionError();
    case 3:
      throw ENetSocksServerNetUnreachableError();
    case 4:
      throw ENetSocksServerHostUnreachableError();
    case 5:
      throw ENetSocksServerConnectionRefusedError();
    case 6:
      throw ENetSocksServerTTLExpiredError();
    case 7:
      throw ENetSocksServerCommandError();
    case 8:
      throw ENetSocksServerAddressError();
    default:
      throw ENetSocksUnknownError();
  }

  // Skip the bound address and port, so the next byte read is the target's.
  size_t rest;
  switch (Byte(reply, 3)) {
    case kAddressIPv4:
      rest = 4 + 2;
      break;
    case kAddressDomain:
      rest = 1 + Byte(reply, 4) + 2;
      break;
    case kAddressIPv6:
      rest = 16 + 2;
      break;
    default:
      rest = 3;
      break;
  }
  ReceiveExactly(handler, rest - 1);
}

}  // namespace ts
