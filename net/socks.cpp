#include "net/socks.h"

#include "net/exceptions.h"
#include "net/iohandler.h"

namespace ts {

void TNetSocksInfo::Assign(const TNetSocksInfo& source) {
  Authentication = source.Authentication;
  Host = source.Host;
  Password = source.Password;
  Port = source.Port;
  Username = source.Username;
  Version = source.Version;
}

void TNetSocksInfo::NegotiateProxy(TNetIOHandlerSocket& /*handler*/, const std::string& /*host*/, int /*port*/) {
  if (Version == TSocksVersion::svNoSocks) return;
  // The proxy exchange is not built yet: refuse clearly rather than pretend the
  // proxy connected us onward.
  throw ENetSocksError("SOCKS proxy negotiation is not supported.");
}

}  // namespace ts
