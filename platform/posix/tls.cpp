// TLS sessions over OpenSSL. The library talks to two memory buffers, not to
// the socket: the handshake moves bytes between them and the caller's channel,
// and afterwards the caller reads the socket itself and hands the bytes over.
#include "platform/tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <map>
#include <mutex>

namespace platform::tls {

namespace {

bool IsAddress(const std::string& host) {
  unsigned char scratch[16];
  return inet_pton(AF_INET, host.c_str(), scratch) == 1 || inet_pton(AF_INET6, host.c_str(), scratch) == 1;
}

std::string ErrorQueueText() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text;
}

Failure FromVerifyResult(long result) {
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_CRL_NOT_YET_VALID:
      return Failure::NotTimeValid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return Failure::OtherHost;
    default:
      return Failure::NotTrusted;
  }
}

// Kept sessions, one per key (the newest: a TLS 1.3 ticket is best used once,
// and the server sends fresh ones on every connection).
class OpenSSLSessionCache : public SessionCache {
public:
  ~OpenSSLSessionCache() override { Clear(); }

  void Clear() override {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& kept : sessions_) SSL_SESSION_free(kept.second);
    sessions_.clear();
  }

  // A copy of the session kept under `key` for the caller, or none. A copy,
  // since a connection marks its session as not resumable when it ends
  // without our close_notify (a server's close after its answer); the kept
  // one stays good for the next connection.
  SSL_SESSION* Find(const std::string& key) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = sessions_.find(key);
    return found == sessions_.end() ? nullptr : SSL_SESSION_dup(found->second);
  }

  // Keeps `session` under `key`; the caller's reference passes to the cache.
  void Keep(const std::string& key, SSL_SESSION* session) {
    std::lock_guard<std::mutex> guard(lock_);
    // A client talks to a handful of servers; a cache that somehow grew past
    // that starts over rather than grow on.
    if (sessions_.size() >= kMaxKeys && sessions_.find(key) == sessions_.end()) {
      for (auto& kept : sessions_) SSL_SESSION_free(kept.second);
      sessions_.clear();
    }
    SSL_SESSION*& slot = sessions_[key];
    if (slot) SSL_SESSION_free(slot);
    slot = session;
  }

  void Drop(const std::string& key) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = sessions_.find(key);
    if (found == sessions_.end()) return;
    SSL_SESSION_free(found->second);
    sessions_.erase(found);
  }

private:
  static constexpr size_t kMaxKeys = 64;
  std::mutex lock_;
  std::map<std::string, SSL_SESSION*> sessions_;
};

int NewSessionArrived(SSL* ssl, SSL_SESSION* session);

// One context per process and kind, made on first use: loading the trust
// store costs more than a whole handshake on loopback.
SSL_CTX* SharedContext(bool trustStore) {
  static SSL_CTX* contexts[2] = {nullptr, nullptr};
  static std::once_flag once[2];
  SSL_CTX*& context = contexts[trustStore ? 1 : 0];
  std::call_once(once[trustStore ? 1 : 0], [&] {
    SSL_CTX* made = SSL_CTX_new(TLS_client_method());
    if (!made) return;
    SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION);
    // A renegotiation could bring another certificate after the one judged at
    // the handshake; a server's request for one is refused.
    SSL_CTX_set_options(made, SSL_OP_NO_RENEGOTIATION);
    // The sessions a server hands out go to the session's own cache (through
    // the callback), never to one of the context's shared by every server.
    SSL_CTX_set_session_cache_mode(made, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(made, NewSessionArrived);
    if (trustStore && SSL_CTX_set_default_verify_paths(made) != 1) {
      SSL_CTX_free(made);
      return;
    }
    context = made;
  });
  return context;
}

class OpenSSLSession : public Session {
public:
  ~OpenSSLSession() override {
    if (ssl_) SSL_free(ssl_);  // also frees both buffers
    if (pending_) SSL_SESSION_free(pending_);
  }

  Failure Handshake(Channel& channel, const HandshakeParams& params, std::string& detail) override {
    cache_ = static_cast<OpenSSLSessionCache*>(params.cache);
    cacheKey_ = params.cacheKey;
    const Failure failure = FullOrResumed(channel, params, detail);
    if (failure != Failure::None) {
      // Whatever was kept for this server is not offered again.
      if (cache_) cache_->Drop(cacheKey_);
      cache_ = nullptr;
      return failure;
    }
    // A session that came during the handshake (TLS 1.2) is kept only now
    // that its certificate passed; those that come later (TLS 1.3 tickets)
    // go straight in.
    verified_ = true;
    if (pending_ && cache_)
      cache_->Keep(cacheKey_, pending_);
    else if (pending_)
      SSL_SESSION_free(pending_);
    pending_ = nullptr;
    return failure;
  }

  // A session the server handed out (OpenSSL's new-session callback). A
  // copy is kept: the library marks the connection's own session as not
  // resumable when the connection ends without our close_notify, which is
  // how a server's close after its answer ends it.
  int Arrived(SSL_SESSION* session) {
    if (!cache_) return 0;
    SSL_SESSION* copy = SSL_SESSION_dup(session);
    if (!copy) return 0;
    if (verified_) {
      cache_->Keep(cacheKey_, copy);
    } else {
      if (pending_) SSL_SESSION_free(pending_);
      pending_ = copy;
    }
    return 0;  // the library keeps its reference to `session`
  }

  bool Resumed() const override { return ssl_ && SSL_session_reused(ssl_) == 1; }

private:
  Failure FullOrResumed(Channel& channel, const HandshakeParams& params, std::string& detail) {
    ERR_clear_error();
    const bool pinned = !params.pinSha256.empty();
    // A pinned service is judged by its certificate's digest alone, after the
    // handshake; otherwise the trust store and the name decide during it.
    SSL_CTX* context = SharedContext(!pinned);
    if (!context) return Refuse(detail);
    ssl_ = SSL_new(context);
    if (!ssl_) return Refuse(detail);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, in, out);
    in_ = in;
    out_ = out;
    SSL_set_connect_state(ssl_);
    SSL_set_app_data(ssl_, this);
    // A kept session of this very server (name, port, pin) is offered; the
    // server may take it or make a new one.
    if (cache_) {
      if (SSL_SESSION* kept = cache_->Find(cacheKey_)) {
        SSL_set_session(ssl_, kept);
        SSL_SESSION_free(kept);
      }
    }
    const bool address = IsAddress(params.host);
    if (!address) SSL_set_tlsext_host_name(ssl_, params.host.c_str());
    if (pinned) {
      SSL_set_verify(ssl_, SSL_VERIFY_NONE, nullptr);
    } else {
      SSL_set_verify(ssl_, SSL_VERIFY_PEER, nullptr);
      X509_VERIFY_PARAM* check = SSL_get0_param(ssl_);
      X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      if (address)
        X509_VERIFY_PARAM_set1_ip_asc(check, params.host.c_str());
      else
        X509_VERIFY_PARAM_set1_host(check, params.host.c_str(), 0);
    }

    char buffer[16384];
    for (;;) {
      int result = SSL_do_handshake(ssl_);
      // Whatever the library wrote (the next flight, or an alert) goes out.
      if (!Flush(channel)) return Failure::Transport;
      if (result == 1) break;
      int error = SSL_get_error(ssl_, result);
      if (error != SSL_ERROR_WANT_READ) {
        long verify = SSL_get_verify_result(ssl_);
        if (!pinned && verify != X509_V_OK) {
          detail = X509_verify_cert_error_string(verify);
          ERR_clear_error();
          return FromVerifyResult(verify);
        }
        return Refuse(detail);
      }
      int n = channel.Recv(buffer, sizeof buffer);
      if (n == 0) {
        detail = "the server closed the connection";
        return Failure::Closed;
      }
      if (n < 0) return Failure::Transport;
      BIO_write(in_, buffer, n);
    }

    if (X509* cert = SSL_get1_peer_certificate(ssl_)) {
      unsigned char md[EVP_MAX_MD_SIZE];
      unsigned int length = 0;
      if (X509_digest(cert, EVP_sha256(), md, &length) == 1) {
        static const char digits[] = "0123456789abcdef";
        for (unsigned i = 0; i < length; ++i) {
          peerSha256_ += digits[md[i] >> 4];
          peerSha256_ += digits[md[i] & 15];
        }
      }
      X509_free(cert);
    }
    if (pinned && peerSha256_ != params.pinSha256) {
      detail = "certificate SHA-256 " + peerSha256_;
      std::string alert;
      CloseNotify(alert);
      channel.SendAll(alert.data(), static_cast<int>(alert.size()));
      return Failure::PinMismatch;
    }
    return Failure::None;
  }

public:
  bool Encrypt(const void* data, int length, std::string& out) override {
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
      size_t written = 0;
      if (SSL_write_ex(ssl_, bytes, static_cast<size_t>(length), &written) != 1) return false;
      bytes += written;
      length -= static_cast<int>(written);
    }
    Drain(out);
    return true;
  }

  DecryptStatus Decrypt(const void* data, int length, std::string& plain) override {
    if (length > 0) BIO_write(in_, data, length);
    for (;;) {
      size_t start = plain.size();
      // Read straight into the caller's string, a record's worth at a time.
      plain.resize(start + 16384);
      size_t got = 0;
      int result = SSL_read_ex(ssl_, plain.data() + start, 16384, &got);
      plain.resize(start + got);
      if (result == 1) continue;
      switch (SSL_get_error(ssl_, result)) {
        case SSL_ERROR_WANT_READ:
          // A server that updated its keys and asked for ours may wait for
          // our update; the library would only send it with our next record
          // of data. Asking for it again (the same kind, so still one update)
          // puts it into the outgoing buffer now, for TakeOutput.
          if (SSL_get_key_update_type(ssl_) != SSL_KEY_UPDATE_NONE &&
              SSL_key_update(ssl_, SSL_KEY_UPDATE_NOT_REQUESTED) == 1)
            SSL_do_handshake(ssl_);
          return DecryptStatus::Ok;
        case SSL_ERROR_ZERO_RETURN:
          return DecryptStatus::Closed;
        default:
          ERR_clear_error();
          return DecryptStatus::Failed;
      }
    }
  }

  void TakeOutput(std::string& out) override { Drain(out); }

  // OpenSSL reports the server's close_notify itself (DecryptStatus::Closed).
  bool LastRecordWasEmpty() const override { return false; }

  void CloseNotify(std::string& out) override {
    if (!ssl_) return;
    SSL_shutdown(ssl_);
    ERR_clear_error();
    Drain(out);
  }

  std::string PeerCertificateSha256() const override { return peerSha256_; }

  std::string Protocol() const override { return ssl_ ? SSL_get_version(ssl_) : ""; }

private:
  Failure Refuse(std::string& detail) {
    detail = ErrorQueueText();
    return Failure::HandshakeRefused;
  }

  void Drain(std::string& out) {
    char* bytes = nullptr;
    long pending = BIO_get_mem_data(out_, &bytes);
    if (pending > 0) out.append(bytes, static_cast<size_t>(pending));
    (void)BIO_reset(out_);
  }

  bool Flush(Channel& channel) {
    std::string bytes;
    Drain(bytes);
    return bytes.empty() || channel.SendAll(bytes.data(), static_cast<int>(bytes.size()));
  }

  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;
  BIO* out_ = nullptr;
  std::string peerSha256_;
  OpenSSLSessionCache* cache_ = nullptr;
  std::string cacheKey_;
  bool verified_ = false;
  SSL_SESSION* pending_ = nullptr;
};

int NewSessionArrived(SSL* ssl, SSL_SESSION* session) {
  auto* owner = static_cast<OpenSSLSession*>(SSL_get_app_data(ssl));
  return owner ? owner->Arrived(session) : 0;
}

}  // namespace

std::shared_ptr<SessionCache> NewSessionCache() { return std::make_shared<OpenSSLSessionCache>(); }

std::unique_ptr<Session> NewClientSession() { return std::make_unique<OpenSSLSession>(); }

}  // namespace platform::tls
