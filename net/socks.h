// Proxy settings of a socket end point, and the exchange that asks a SOCKS 4,
// 4A or 5 proxy to connect onward to the real target.
#pragma once

#include <string>

#include "net/component.h"
#include "net/exceptions.h"

namespace ts {

class TNetIOHandler;

enum class TSocksVersion { svNoSocks, svSocks4, svSocks4A, svSocks5 };
enum class TSocksAuthentication { saNoAuthentication, saUsernamePassword };

// Refusals and failures reported by the proxy, or by its silence.
class ENetSocksRequestFailed : public ENetSocksError {
public:
  ENetSocksRequestFailed() : ENetSocksError("Request rejected or failed.") {}
};
class ENetSocksRequestServerFailed : public ENetSocksError {
public:
  ENetSocksRequestServerFailed() : ENetSocksError("Request rejected because SOCKS server cannot connect.") {}
};
class ENetSocksRequestIdentFailed : public ENetSocksError {
public:
  ENetSocksRequestIdentFailed()
      : ENetSocksError("Request rejected because the client program and identd report different user-ids.") {}
};
class ENetSocksUnknownError : public ENetSocksError {
public:
  ENetSocksUnknownError() : ENetSocksError("Unknown socks error.") {}
};
class ENetSocksServerRespondError : public ENetSocksError {
public:
  ENetSocksServerRespondError() : ENetSocksError("Socks server did not respond.") {}
};
class ENetSocksAuthMethodError : public ENetSocksError {
public:
  ENetSocksAuthMethodError() : ENetSocksError("Invalid socks authentication method.") {}
};
class ENetSocksAuthError : public ENetSocksError {
public:
  ENetSocksAuthError() : ENetSocksError("Authentication error to socks server.") {}
};
class ENetSocksServerGeneralError : public ENetSocksError {
public:
  ENetSocksServerGeneralError() : ENetSocksError("General SOCKS server failure.") {}
};
class ENetSocksServerPermissionError : public ENetSocksError {
public:
  ENetSocksServerPermissionError() : ENetSocksError("Connection not allowed by ruleset.") {}
};
class ENetSocksServerNetUnreachableError : public ENetSocksError {
public:
  ENetSocksServerNetUnreachableError() : ENetSocksError("Network unreachable.") {}
};
class ENetSocksServerHostUnreachableError : public ENetSocksError {
public:
  ENetSocksServerHostUnreachableError() : ENetSocksError("Host unreachable.") {}
};
class ENetSocksServerConnectionRefusedError : public ENetSocksError {
public:
  ENetSocksServerConnectionRefusedError() : ENetSocksError("Connection refused.") {}
};
class ENetSocksServerTTLExpiredError : public ENetSocksError {
public:
  ENetSocksServerTTLExpiredError() : ENetSocksError("TTL expired.") {}
};
class ENetSocksServerCommandError : public ENetSocksError {
public:
  ENetSocksServerCommandError() : ENetSocksError("Command not supported.") {}
};
class ENetSocksServerAddressError : public ENetSocksError {
public:
  ENetSocksServerAddressError() : ENetSocksError("Address type not supported.") {}
};

// A setting that cannot be put on the wire as it stands (too long for its length
// byte, or holding a zero byte where zero ends the field). Raised before anything
// is sent, so the proxy never sees a cut or garbled request.
class ENetSocksInvalidSetting : public ENetSocksError {
public:
  using ENetSocksError::ENetSocksError;
};

class TNetSocksInfo : public TNetComponent {
public:
  explicit TNetSocksInfo(TComponent* owner) : TNetComponent(owner) {}

  TSocksAuthentication Authentication = TSocksAuthentication::saNoAuthentication;
  std::string Host;
  std::string Password;
  int Port = 1080;
  std::string Username;
  TSocksVersion Version = TSocksVersion::svNoSocks;

  // Copies the settings of `source`.
  void Assign(const TNetSocksInfo& source);

  // Ask the proxy, over the end point already connected to it, to connect onward
  // to `host`:`port`. Does nothing without a proxy version. On success the next
  // byte the end point receives comes from the target. On failure the socket is
  // left as it is: the caller drops it.
  void NegotiateProxy(TNetIOHandler& handler, const std::string& host, int port);

private:
  void NegotiateSocks4(TNetIOHandler& handler, const std::string& host, int port);
  void NegotiateSocks5(TNetIOHandler& handler, const std::string& host, int port);
};

}  // namespace ts
