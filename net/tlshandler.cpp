#include "net/tlshandler.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "net/stack.h"
#include "platform/clock.h"
#include "platform/tls.h"

namespace ts {

namespace {

// The socket under a handshake: whole sends, and receives that give up after
// the handshake's time limit.
class TSocketChannel : public platform::tls::Channel {
public:
  TSocketChannel(TNetSocketHandle& binding, int timeout) : binding_(binding), timeout_(timeout) {}

  bool SendAll(const void* data, int length) override {
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
      int sent = binding_.Transmit(bytes, length);
      if (sent <= 0) return false;
      bytes += sent;
      length -= sent;
    }
    return true;
  }

  int Recv(void* buffer, int length) override {
    if (!binding_.WaitReadable(timeout_)) {
      timedOut = true;
      return -1;
    }
    int n = binding_.Receive(buffer, length);
    return n < 0 ? -1 : n;
  }

  bool timedOut = false;

private:
  TNetSocketHandle& binding_;
  int timeout_;
};

}  // namespace

TNetSSLIOHandlerSocket::TNetSSLIOHandlerSocket(TComponent* owner)
    : TNetSSLIOHandlerSocketBase(owner), sessions_(platform::tls::NewSessionCache()) {}

TNetSSLIOHandlerSocket::~TNetSSLIOHandlerSocket() = default;

void TNetSSLIOHandlerSocket::SetPinnedCertificate(const std::string& sha256Hex) {
  pin_.clear();
  for (char c : sha256Hex) {
    if (c == ':' || std::isspace(static_cast<unsigned char>(c))) continue;
    pin_ += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
}

std::string TNetSSLIOHandlerSocket::Protocol() const { return session_ ? session_->Protocol() : std::string(); }

void TNetSSLIOHandlerSocket::ForgetSessions() {
  if (sessions_) sessions_->Clear();
}

bool TNetSSLIOHandlerSocket::Resumed() const { return session_ && session_->Resumed(); }

std::string TNetSSLIOHandlerSocket::PeerCertificateSha256() const {
  return session_ ? session_->PeerCertificateSha256() : std::string();
}

void TNetSSLIOHandlerSocket::SetPassThrough(bool value) {
  TNetSSLIOHandlerSocketBase::SetPassThrough(value);
  if (!IsOpen()) return;
  if (!value && !session_) {
    StartTLS();
  } else if (value && session_) {
    // A secured connection never carries plain bytes: the caller gets a new one.
    Close();
  }
}

void TNetSSLIOHandlerSocket::Close() {
  if (session_ && !sessionClosed_ && !socketFailed_ && IsOpen()) {
    std::string notify;
    session_->CloseNotify(notify);
    if (!notify.empty()) SendRaw(notify.data(), static_cast<int>(notify.size()));
  }
  session_.reset();
  plain_.clear();
  plainPos_ = 0;
  TNetSSLIOHandlerSocketBase::Close();
}

void TNetSSLIOHandlerSocket::ConnectTo(const std::string& host, int port, const std::string& boundIP, int boundPort,
                                       int boundPortLow, int boundPortHigh, int timeout) {
  session_.reset();
  plain_.clear();
  plainPos_ = 0;
  sessionClosed_ = false;
  socketFailed_ = false;
  endedWithoutNotify_ = false;
  connectedHost_ = host;
  connectedPort_ = port;
  // A SOCKS proxy is asked in the clear; the session starts at the target.
  TNetSSLIOHandlerSocketBase::ConnectTo(host, port, boundIP, boundPort, boundPortLow, boundPortHigh, timeout);
  if (!PassThrough()) StartTLS();
}

void TNetSSLIOHandlerSocket::StartTLS() {
  using platform::tls::Failure;
  const std::string host = PeerHost.empty() ? connectedHost_ : PeerHost;
  if (!pin_.empty() && (pin_.size() != 64 || pin_.find_first_not_of("0123456789abcdef") != std::string::npos)) {
    TNetSSLIOHandlerSocketBase::Close();
    throw ENetTLSPinInvalid(host);
  }
  auto session = platform::tls::NewClientSession();
  TSocketChannel channel(*Binding(), HandshakeTimeout);
  std::string detail;
  platform::tls::HandshakeParams params{host, pin_, sessions_.get(), std::string()};
  // Through a tunnel the port connected to is the proxy's; the target's is
  // the engine's PeerPort.
  if (sessions_) params.cacheKey = host + ":" + std::to_string(PeerPort ? PeerPort : connectedPort_) + "#" + pin_;
  Failure failure = session->Handshake(channel, params, detail);
  if (failure == Failure::None) {
    session_ = std::move(session);
    sessionClosed_ = false;
    socketFailed_ = false;
    plain_.clear();
    plainPos_ = 0;
    // Records that came with the end of the handshake.
    if (session_->Decrypt(nullptr, 0, plain_) == platform::tls::DecryptStatus::Closed) sessionClosed_ = true;
    SendSessionOutput();
    return;
  }
  // Nothing of the caller's may travel over a connection that failed here.
  TNetSSLIOHandlerSocketBase::Close();
  switch (failure) {
    case Failure::NotTrusted:
      throw ENetTLSNotTrusted(host);
    case Failure::NotTimeValid:
      throw ENetTLSNotTimeValid(host);
    case Failure::OtherHost:
      throw ENetTLSOtherHost(host);
    case Failure::PinMismatch:
      throw ENetTLSPinMismatch(host);
    case Failure::Transport:
      if (channel.timedOut) throw ENetReadTimeout();
      throw ENetTLSHandshakeRefused(host);
    default:
      throw ENetTLSHandshakeRefused(host);
  }
}

int TNetSSLIOHandlerSocket::TakePlain(void* buffer, int length) {
  int n = static_cast<int>(std::min<size_t>(static_cast<size_t>(length), plain_.size() - plainPos_));
  std::memcpy(buffer, plain_.data() + plainPos_, static_cast<size_t>(n));
  plainPos_ += static_cast<size_t>(n);
  if (plainPos_ == plain_.size()) {
    plain_.clear();
    plainPos_ = 0;
  }
  return n;
}

bool TNetSSLIOHandlerSocket::ReadRecords() {
  if (raw_.size() != 65536) raw_.resize(65536);
  int n = Binding()->Receive(raw_.data(), static_cast<int>(raw_.size()));
  if (n < 0) {
    socketFailed_ = true;
    return false;
  }
  if (n == 0) {
    // The socket ended without the session's own end: what came is kept, and
    // the reader of a body that only the close ends is told. A record
    // without data just before is taken for that end: an attacker on the
    // path can cut the server's records short but cannot make one.
    sessionClosed_ = true;
    endedWithoutNotify_ = !session_->LastRecordWasEmpty();
    return true;
  }
  const platform::tls::DecryptStatus status = session_->Decrypt(raw_.data(), n, plain_);
  if (status == platform::tls::DecryptStatus::Failed) throw ENetTLSBroken();
  if (status == platform::tls::DecryptStatus::Closed) sessionClosed_ = true;
  SendSessionOutput();
  return true;
}

void TNetSSLIOHandlerSocket::SendSessionOutput() {
  std::string output;
  session_->TakeOutput(output);
  // A socket that fails here shows it at the next receive.
  if (!output.empty()) SendRaw(output.data(), static_cast<int>(output.size()));
}

bool TNetSSLIOHandlerSocket::WaitReadable(int timeout) {
  if (!session_) return TNetSSLIOHandlerSocketBase::WaitReadable(timeout);
  // Readable means plaintext to take, or an end to report: a record that
  // carried only session business (a ticket, a key update) does not count.
  const uint32_t start = platform::GetTickCount();
  for (;;) {
    if (plainPos_ < plain_.size() || sessionClosed_ || socketFailed_) return true;
    int wait = timeout;
    if (timeout >= 0) {
      const int spent = static_cast<int>(platform::GetTickCount() - start);
      wait = std::max(0, timeout - spent);
    }
    if (!TNetSSLIOHandlerSocketBase::WaitReadable(wait)) return false;
    ReadRecords();
    if (timeout >= 0 && plainPos_ == plain_.size() && !sessionClosed_ && !socketFailed_ &&
        static_cast<int>(platform::GetTickCount() - start) >= timeout)
      return false;
  }
}

int TNetSSLIOHandlerSocket::Receive(void* buffer, int length) {
  if (!session_) return TNetSSLIOHandlerSocketBase::Receive(buffer, length);
  if (!IsOpen()) throw ENetClosedSocket();
  while (plainPos_ == plain_.size()) {
    if (socketFailed_) {
      socketFailed_ = false;
      return NetSocketError;
    }
    if (sessionClosed_) return 0;
    ReadRecords();
  }
  return TakePlain(buffer, length);
}

bool TNetSSLIOHandlerSocket::SendRaw(const char* bytes, int length) {
  while (length > 0) {
    int sent = Binding()->Transmit(bytes, length);
    if (sent <= 0) return false;
    bytes += sent;
    length -= sent;
  }
  return true;
}

int TNetSSLIOHandlerSocket::Transmit(const void* buffer, int length) {
  if (!session_) return TNetSSLIOHandlerSocketBase::Transmit(buffer, length);
  if (!IsOpen()) throw ENetClosedSocket();
  std::string records;
  if (!session_->Encrypt(buffer, length, records)) throw ENetTLSBroken();
  if (!SendRaw(records.data(), static_cast<int>(records.size()))) return NetSocketError;
  return length;
}

}  // namespace ts
