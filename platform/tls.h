// TLS client sessions: the system's TLS library behind one small interface.
// A session performs its handshake over a byte channel the caller supplies
// (the connection's socket), verifies the server's certificate, and then turns
// plaintext into records and records into plaintext on buffers, so the caller
// keeps control of when the socket is read and how long it waits.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform::tls {

// Why a handshake did not give a usable session.
enum class Failure {
  None,
  NotTrusted,        // the chain does not end at a trusted root (or the peer sent none)
  NotTimeValid,      // a certificate of the chain has expired or is not valid yet
  OtherHost,         // the certificate names another host
  PinMismatch,       // a pinned certificate was asked for and another one came
  HandshakeRefused,  // no common protocol version or cipher, or the peer broke off
  Closed,            // the peer closed the connection during the handshake
  Transport,         // the socket failed; its error is the channel's to report
};

// The raw byte pipe a session runs over.
class Channel {
public:
  virtual ~Channel() = default;
  // Sends all `length` bytes; false when the socket failed or closed.
  virtual bool SendAll(const void* data, int length) = 0;
  // Receives up to `length` bytes, waiting for at least one: the count, 0 when
  // the peer has closed, -1 when the socket failed.
  virtual int Recv(void* buffer, int length) = 0;
};

// The sessions of earlier connections, kept so that a later handshake with
// the same server can resume one (no certificate exchange, no new key
// agreement): TLS 1.3 tickets and TLS 1.2 session ids or tickets with
// OpenSSL; with Schannel one credential handle for every connection, so the
// system's own session cache applies. A session enters only after its
// certificate passed, and is offered only under the key it was made with
// (the caller's: server name, port and pin). Safe for use from several
// threads.
class SessionCache {
public:
  virtual ~SessionCache() = default;
  // Forgets every kept session.
  virtual void Clear() = 0;
};

std::shared_ptr<SessionCache> NewSessionCache();

struct HandshakeParams {
  std::string host;  // the name (or address) the certificate must be for; also sent as SNI when a name
  // Hex SHA-256 of the one certificate to accept instead of asking the trust
  // store; empty when the trust store decides.
  std::string pinSha256;
  // Where sessions are kept for resumption, and the key of this server
  // there; none: every handshake is a full one.
  SessionCache* cache = nullptr;
  std::string cacheKey;
};

// What a buffer of received records gave.
enum class DecryptStatus { Ok, Closed, Failed };

class Session {
public:
  virtual ~Session() = default;
  // Blocks until the session stands or fails. `detail` receives the library's
  // own words for a failure (for logs and messages), possibly empty.
  virtual Failure Handshake(Channel& channel, const HandshakeParams& params, std::string& detail) = 0;
  // Appends the records that carry `data` to `out`.
  virtual bool Encrypt(const void* data, int length, std::string& out) = 0;
  // Feeds received bytes (possibly none, to work on what is held back) and
  // appends every whole record's plaintext to `plain`; an incomplete record is
  // kept for the next call. Closed: the peer ended the session properly.
  virtual DecryptStatus Decrypt(const void* data, int length, std::string& plain) = 0;
  // Whether the last record decrypted carried no data, and so may have been
  // the server's end of the session where the library does not report that
  // end as such (Wine's Schannel); asked when the socket has ended.
  virtual bool LastRecordWasEmpty() const = 0;
  // What the session wrote on its own while decrypting (the answer to the
  // server's key update, a refusal of renegotiation), to be sent at once:
  // the server may wait for it.
  virtual void TakeOutput(std::string& out) = 0;
  // The record that announces the end of the session, to be sent before the
  // socket is closed.
  virtual void CloseNotify(std::string& out) = 0;
  // SHA-256 of the server's certificate, lower-case hex; empty before a handshake.
  virtual std::string PeerCertificateSha256() const = 0;
  // The negotiated protocol, "TLSv1.2" or "TLSv1.3".
  virtual std::string Protocol() const = 0;
  // Whether the handshake resumed a kept session.
  virtual bool Resumed() const = 0;
};

std::unique_ptr<Session> NewClientSession();

}  // namespace platform::tls
