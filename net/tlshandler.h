// The connection's end point for TLS: a socket handler that passes bytes
// through unencrypted until it is told to encrypt (at connect for a direct
// secure route, or once a proxy's tunnel stands), then runs a TLS session of
// the platform over the same socket. Certificate failures are raised before a
// single byte of the caller's own has been sent.
#pragma once

#include <memory>
#include <string>

#include "net/exceptions.h"
#include "net/iohandler.h"

namespace platform::tls {
class Session;
class SessionCache;
}  // namespace platform::tls

namespace ts {

// A secured connection could not be set up; each cause has its own class.
class ENetTLSError : public ENetException {
public:
  using ENetException::ENetException;
};
class ENetTLSNotTrusted : public ENetTLSError {
public:
  explicit ENetTLSNotTrusted(const std::string& host)
      : ENetTLSError("Secure connection to " + host + " refused: the server's certificate is not trusted") {}
};
class ENetTLSNotTimeValid : public ENetTLSError {
public:
  explicit ENetTLSNotTimeValid(const std::string& host)
      : ENetTLSError("Secure connection to " + host +
                     " refused: the server's certificate has expired or is not yet valid") {}
};
class ENetTLSOtherHost : public ENetTLSError {
public:
  explicit ENetTLSOtherHost(const std::string& host)
      : ENetTLSError("Secure connection to " + host + " refused: the server's certificate is issued for another host") {
  }
};
class ENetTLSPinMismatch : public ENetTLSError {
public:
  explicit ENetTLSPinMismatch(const std::string& host)
      : ENetTLSError("Secure connection to " + host + " refused: the server's certificate is not the pinned one") {}
};
// The pin is not a SHA-256 in hex, so no certificate could ever match it.
class ENetTLSPinInvalid : public ENetTLSError {
public:
  explicit ENetTLSPinInvalid(const std::string& host)
      : ENetTLSError("Secure connection to " + host +
                     " refused: the pinned certificate digest is not a SHA-256 (64 hex digits)") {}
};
class ENetTLSHandshakeRefused : public ENetTLSError {
public:
  explicit ENetTLSHandshakeRefused(const std::string& host)
      : ENetTLSError("Secure connection to " + host +
                     " failed: the TLS handshake was refused (TLS 1.2 or newer is required)") {}
};
// The session broke after it stood (a record that does not decrypt).
class ENetTLSBroken : public ENetTLSError {
public:
  ENetTLSBroken() : ENetTLSError("The secure connection to the server was broken") {}
};

// What the request engine sees of a TLS handler: the switch between passing
// bytes through and encrypting, and the host its certificate must be for.
class TNetSSLIOHandlerSocketBase : public TNetIOHandlerSocket {
public:
  explicit TNetSSLIOHandlerSocketBase(TComponent* owner) : TNetIOHandlerSocket(owner) {}
  // While true the bytes go through unencrypted (plain routes and the proxy
  // CONNECT exchange before the tunnel stands).
  virtual void SetPassThrough(bool value) { passThrough_ = value; }
  bool PassThrough() const { return passThrough_; }
  // Whether the last secured session ended with its socket closing before
  // the server's own end of the session came (close_notify): where the close
  // marks the end of an answer, the answer may have been cut by anyone on the
  // path. Stays until the next connect.
  virtual bool EndedWithoutCloseNotify() const { return false; }
  // The server the certificate must name; empty means the host connected to
  // (through a tunnel that is the proxy, so the engine sets it).
  std::string PeerHost;
  int PeerPort = 0;  // the target's port, by which the engine tells tunnels apart

private:
  bool passThrough_ = true;
};

class TNetSSLIOHandlerSocket : public TNetSSLIOHandlerSocketBase {
public:
  explicit TNetSSLIOHandlerSocket(TComponent* owner);
  ~TNetSSLIOHandlerSocket() override;

  // The SHA-256 of the one certificate to accept, as hex; colons, blanks and
  // case do not matter. Empty: the system's trust store decides.
  const std::string& PinnedCertificate() const { return pin_; }
  void SetPinnedCertificate(const std::string& sha256Hex);
  // How long the handshake may wait for the server, in ms.
  int HandshakeTimeout = 30000;

  // The sessions kept for resumption. Each handler has its own, so the
  // client that keeps its handler keeps its sessions from one snap to the
  // next; handlers given one cache share their servers' sessions. A session
  // is offered only to the server name, port and pin it was made with, and
  // only after its certificate passed.
  const std::shared_ptr<platform::tls::SessionCache>& SessionCache() const { return sessions_; }
  void SetSessionCache(std::shared_ptr<platform::tls::SessionCache> cache) { sessions_ = std::move(cache); }
  // Every later connection starts with a full handshake.
  void ForgetSessions();

  bool Encrypting() const { return session_ != nullptr; }
  // Whether the session of the connection resumed a kept one.
  bool Resumed() const;
  // "TLSv1.2" or "TLSv1.3" while encrypting.
  std::string Protocol() const;
  // Lower-case hex SHA-256 of the server's certificate while encrypting.
  std::string PeerCertificateSha256() const;

  void SetPassThrough(bool value) override;
  bool EndedWithoutCloseNotify() const override { return endedWithoutNotify_; }
  void Close() override;
  void ConnectTo(const std::string& host, int port, const std::string& boundIP, int boundPort, int boundPortLow,
                 int boundPortHigh, int timeout) override;
  bool WaitReadable(int timeout) override;
  int Receive(void* buffer, int length) override;
  int Transmit(const void* buffer, int length) override;

private:
  void StartTLS();
  // Reads what the socket has (waiting for it when it has nothing) and
  // decrypts it. False when the socket failed.
  bool ReadRecords();
  bool SendRaw(const char* bytes, int length);
  // Sends what the session wrote on its own while decrypting (the answer to
  // a key update, a refusal of renegotiation).
  void SendSessionOutput();
  int TakePlain(void* buffer, int length);

  std::string pin_;
  std::string connectedHost_;
  int connectedPort_ = 0;
  std::shared_ptr<platform::tls::SessionCache> sessions_;
  std::unique_ptr<platform::tls::Session> session_;
  std::string plain_;
  size_t plainPos_ = 0;
  std::string raw_;
  bool sessionClosed_ = false;  // the server ended the session or the socket
  bool socketFailed_ = false;   // a receive failed; reported by the next Receive
  bool endedWithoutNotify_ = false;
};

}  // namespace ts
