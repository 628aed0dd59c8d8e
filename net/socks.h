// Proxy settings of a socket end point.
#pragma once

#include <string>

#include "net/component.h"

namespace ts {

class TNetIOHandlerSocket;

enum class TSocksVersion { svNoSocks, svSocks4, svSocks4A, svSocks5 };
enum class TSocksAuthentication { saNoAuthentication, saUsernamePassword };

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

  // Ask the proxy, over the already connected end point, to connect onward to
  // the target. Does nothing without a proxy version.
  void NegotiateProxy(TNetIOHandlerSocket& handler, const std::string& host, int port);
};

}  // namespace ts
