#include "service/tls_front.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "service/gate.h"

namespace pinleaf {

namespace {

// Work done for one connection before the others get their turn.
constexpr int kRoundsPerTurn = 64;

void NonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

bool Retry(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

std::string OpenSSLError(const std::string& what) {
  char text[256] = "";
  if (unsigned long code = ERR_get_error()) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return what + (text[0] ? std::string(": ") + text : std::string());
}

}  // namespace

struct TTLSFront::TLink {
  int net = -1;    // the client's socket
  int inner = -1;  // our end of the pair; the gate holds the other
  SSL* ssl = nullptr;
  bool handshaken = false;
  bool client_done = false;                   // the client said close_notify
  bool inner_done = false;                    // the gate has closed its end
  bool inner_shut = false;                    // told the gate there is no more from the client
  bool net_in = false, net_out = false;       // what the TLS side waits for
  uint32_t net_events = 0, inner_events = 0;  // as registered with epoll
  std::string to_inner;                       // from the client, for the gate
  std::string to_client;                      // from the gate, for the client
  int64_t deadline_ms = 0;                    // set once the gate has closed its end
  bool closing = false;                       // all said; what the client still sends is dropped
  size_t dropped = 0;
};

TTLSFront::TTLSFront(TGate& gate) : gate_(gate) {}

TTLSFront::~TTLSFront() {
  Stop();
  if (ctx_) SSL_CTX_free(ctx_);
}

std::string TTLSFront::Load(const std::string& certFile, const std::string& keyFile) {
  if (ctx_) SSL_CTX_free(ctx_);
  ctx_ = SSL_CTX_new(TLS_server_method());
  if (!ctx_) return OpenSSLError("cannot set up TLS");
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  // A client may not renegotiate: each renegotiation costs the server a handshake.
  SSL_CTX_set_options(ctx_, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  // Records are written as our buffers allow, and idle connections keep no record buffers.
  SSL_CTX_set_mode(ctx_,
                   SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
  if (SSL_CTX_use_certificate_chain_file(ctx_, certFile.c_str()) != 1)
    return OpenSSLError("cannot use the TLS certificate " + certFile);
  if (SSL_CTX_use_PrivateKey_file(ctx_, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    return OpenSSLError("cannot use the TLS key " + keyFile);
  if (SSL_CTX_check_private_key(ctx_) != 1)
    return OpenSSLError("the TLS key " + keyFile + " does not belong to the certificate " + certFile);
  // Resumed handshakes skip the certificate and the key agreement. The
  // tickets are this instance's alone: its own keys, rotated (TicketKey);
  // one ticket per connection is all a client keeps.
  {
    std::lock_guard<std::mutex> guard(ticket_lock_);
    if (!NewTicketKey(ticket_keys_[0])) return OpenSSLError("cannot make a session ticket key");
    ticket_keys_[1] = TTicketKey{};
  }
  SSL_CTX_set_app_data(ctx_, this);
  SSL_CTX_set_tlsext_ticket_key_evp_cb(ctx_, TicketKey);
  SSL_CTX_set_num_tickets(ctx_, 1);
  SSL_CTX_set_timeout(ctx_, static_cast<long>(kTicketKeyLifetime.count()));
  return {};
}

bool TTLSFront::NewTicketKey(TTicketKey& key) {
  if (RAND_bytes(key.name, sizeof key.name) != 1 || RAND_bytes(key.aes, sizeof key.aes) != 1 ||
      RAND_bytes(key.hmac, sizeof key.hmac) != 1)
    return false;
  key.made = std::chrono::steady_clock::now();
  return true;
}

int TTLSFront::TicketKey(SSL* ssl, unsigned char name[16], unsigned char* iv, EVP_CIPHER_CTX* cipher, EVP_MAC_CTX* mac,
                         int enc) {
  auto* front = static_cast<TTLSFront*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  if (!front) return -1;
  TTicketKey key;
  bool renew = false;
  {
    std::lock_guard<std::mutex> guard(front->ticket_lock_);
    const auto now = std::chrono::steady_clock::now();
    TTicketKey* keys = front->ticket_keys_;
    if (enc) {
      if (now - keys[0].made >= kTicketKeyLifetime) {
        TTicketKey fresh;
        if (!front->NewTicketKey(fresh)) return -1;
        keys[1] = keys[0];
        keys[0] = fresh;
      }
      key = keys[0];
    } else if (std::memcmp(name, keys[0].name, sizeof keys[0].name) == 0) {
      key = keys[0];
    } else if (keys[1].made != std::chrono::steady_clock::time_point{} && now - keys[1].made < 2 * kTicketKeyLifetime &&
               std::memcmp(name, keys[1].name, sizeof keys[1].name) == 0) {
      key = keys[1];
      renew = true;
    } else {
      return 0;  // not ours, or too old: a full handshake
    }
  }
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_octet_string(OSSL_MAC_PARAM_KEY, key.hmac, sizeof key.hmac),
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>("sha256"), 0),
      OSSL_PARAM_construct_end(),
  };
  if (enc) {
    std::memcpy(name, key.name, sizeof key.name);
    if (RAND_bytes(iv, 16) != 1 || EVP_EncryptInit_ex(cipher, EVP_aes_256_cbc(), nullptr, key.aes, iv) != 1) return -1;
  } else if (EVP_DecryptInit_ex(cipher, EVP_aes_256_cbc(), nullptr, key.aes, iv) != 1) {
    return -1;
  }
  if (EVP_MAC_CTX_set_params(mac, params) != 1) return -1;
  return renew ? 2 : 1;
}

void TTLSFront::Start() {
  if (started_) return;
  started_ = true;
  stopping_ = false;
  poll_.Open();
  loop_ = std::thread([this] { Loop(); });
}

void TTLSFront::Stop() {
  if (!started_) return;
  stopping_ = true;
  poll_.Wake();
  loop_.join();
  while (!links_.empty()) Drop(*links_.begin()->second);
  std::vector<std::unique_ptr<TLink>> incoming;
  {
    std::lock_guard guard(lock_);
    incoming.swap(incoming_);
  }
  for (auto& l : incoming) Take(std::move(l));  // registered, then dropped
  while (!links_.empty()) Drop(*links_.begin()->second);
  poll_.Close();
  started_ = false;
}

size_t TTLSFront::OpenConnections() {
  std::lock_guard guard(lock_);
  return count_;
}

void TTLSFront::Admit(int fd) {
  std::string address = PeerAddress(fd);
  {
    std::lock_guard guard(lock_);
    // Connections the gate has refused linger here a moment to get the refusal
    // out; beyond twice the gate's own cap they are closed at once.
    if (stopping_ || !ctx_ || count_ >= 2 * gate_.Limits().max_connections) {
      close(fd);
      return;
    }
    ++count_;
  }
  int pair[2];
  SSL* ssl = nullptr;
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0 || !(ssl = SSL_new(ctx_))) {
    if (ssl) SSL_free(ssl);
    close(fd);
    std::lock_guard guard(lock_);
    --count_;
    return;
  }
  NonBlocking(fd);
  NonBlocking(pair[0]);
  int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  SSL_set_fd(ssl, fd);
  SSL_set_accept_state(ssl);
  auto link = std::make_unique<TLink>();
  link->net = fd;
  link->inner = pair[0];
  link->ssl = ssl;
  {
    std::lock_guard guard(lock_);
    incoming_.push_back(std::move(link));
  }
  poll_.Wake();
  gate_.Admit(pair[1], address);
}

void TTLSFront::Take(std::unique_ptr<TLink> link) {
  TLink* l = link.get();
  links_[l] = std::move(link);
  by_fd_[l->net] = l;
  by_fd_[l->inner] = l;
  Pump(*l);
}

void TTLSFront::Drop(TLink& l) {
  for (int* fd : {&l.net, &l.inner}) {
    if (*fd < 0) continue;
    by_fd_.erase(*fd);
    close(*fd);  // leaves epoll with it
    *fd = -1;
  }
  SSL_free(l.ssl);
  links_.erase(&l);
  std::lock_guard guard(lock_);
  --count_;
}

void TTLSFront::Pump(TLink& l) {
  static thread_local char buffer[16 * 1024];
  if (l.closing) {
    // Read and dropped until the client closes too (or the deadline): closing
    // with its input unread would reset the connection, and the client could
    // lose the end of the answer.
    for (;;) {
      ssize_t n = recv(l.net, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n < 0 && Retry(errno)) return;
      if (n <= 0 || (l.dropped += static_cast<size_t>(n)) > 4 * kBufferBytes) return Drop(l);
    }
  }
  bool more = false;
  for (int round = 0;; ++round) {
    if (round == kRoundsPerTurn) {
      more = true;
      break;
    }
    bool progress = false;
    l.net_in = l.net_out = false;
    const auto wait = [&](int result) {
      int error = SSL_get_error(l.ssl, result);
      if (error == SSL_ERROR_WANT_READ) {
        l.net_in = true;
        return true;
      }
      if (error == SSL_ERROR_WANT_WRITE) {
        l.net_out = true;
        return true;
      }
      return false;
    };
    if (!l.handshaken) {
      ERR_clear_error();
      int r = SSL_do_handshake(l.ssl);
      if (r == 1) {
        l.handshaken = progress = true;
      } else if (!wait(r)) {
        return Drop(l);  // not TLS, or nothing we speak
      }
    }
    // Client to gate, while our buffer has room.
    if (l.handshaken && !l.client_done && !l.inner_done && l.to_inner.size() < kBufferBytes) {
      ERR_clear_error();
      int n = SSL_read(l.ssl, buffer, static_cast<int>(std::min(sizeof buffer, kBufferBytes - l.to_inner.size())));
      if (n > 0) {
        l.to_inner.append(buffer, static_cast<size_t>(n));
        progress = true;
      } else if (SSL_get_error(l.ssl, n) == SSL_ERROR_ZERO_RETURN) {
        l.client_done = progress = true;
      } else if (!wait(n)) {
        return Drop(l);  // reset, or a broken record: nothing more can reach the client
      }
    }
    if (!l.to_inner.empty() && !l.inner_done) {
      ssize_t n = send(l.inner, l.to_inner.data(), l.to_inner.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        l.to_inner.erase(0, static_cast<size_t>(n));
        progress = true;
      } else if (n < 0 && !Retry(errno)) {
        // The gate takes no more (it has refused the connection, say): what it
        // said is still to be read and passed on, but nothing more of the client's.
        l.to_inner.clear();
        l.client_done = l.inner_shut = progress = true;
      }
    }
    if (l.client_done && l.to_inner.empty() && !l.inner_done && !l.inner_shut) {
      shutdown(l.inner, SHUT_WR);
      l.inner_shut = progress = true;
    }
    // Gate to client, while our buffer has room.
    if (!l.inner_done && l.to_client.size() < kBufferBytes) {
      ssize_t n = recv(l.inner, buffer, std::min(sizeof buffer, kBufferBytes - l.to_client.size()), MSG_DONTWAIT);
      if (n > 0) {
        l.to_client.append(buffer, static_cast<size_t>(n));
        progress = true;
      } else if (n == 0 || !Retry(errno)) {
        l.inner_done = progress = true;
      }
    }
    if (l.handshaken && !l.to_client.empty()) {
      ERR_clear_error();
      int n = SSL_write(l.ssl, l.to_client.data(), static_cast<int>(l.to_client.size()));
      if (n > 0) {
        l.to_client.erase(0, static_cast<size_t>(n));
        progress = true;
      } else if (!wait(n)) {
        return Drop(l);
      }
    }
    if (!progress) break;
  }
  if (l.inner_done) {
    if (l.inner >= 0) {
      by_fd_.erase(l.inner);
      close(l.inner);
      l.inner = -1;
      l.inner_events = 0;
      l.to_inner.clear();
    }
    if (l.deadline_ms == 0) l.deadline_ms = TGate::NowMs() + kFlushMs;
    if (l.to_client.empty()) {
      if (!l.handshaken) return Drop(l);
      ERR_clear_error();
      SSL_shutdown(l.ssl);  // close_notify, if the socket takes it now
      shutdown(l.net, SHUT_WR);
      l.closing = true;
      l.net_in = true;
      l.net_out = false;
      more = false;
    }
  }
  if (more) again_.push_back(l.net);
  Interest(l);
}

void TTLSFront::Interest(TLink& l) {
  const auto set = [this](int fd, uint32_t& now, uint32_t want) {
    if (fd < 0) return;
    // Nothing wanted: out of the set, so a hang-up on that side cannot spin the loop.
    poll_.Change(fd, now, want);
    now = want;
  };
  const uint32_t in = EPOLLIN, out = EPOLLOUT;
  set(l.net, l.net_events, (l.net_in ? in : 0u) | (l.net_out ? out : 0u));
  uint32_t inner = 0;
  if (!l.inner_done) {
    if (l.to_client.size() < kBufferBytes) inner |= in;
    if (!l.to_inner.empty()) inner |= out;
  }
  set(l.inner, l.inner_events, inner);
}

void TTLSFront::Loop() {
  std::vector<epoll_event> events(256);
  int64_t next_sweep = 0;
  while (!stopping_) {
    int n = poll_.Wait(events, again_.empty() ? 100 : 0);
    for (int i = 0; i < n; ++i) {
      const epoll_event& ev = events[static_cast<size_t>(i)];
      if (poll_.TakeWake(ev.data.fd)) {
        std::vector<std::unique_ptr<TLink>> incoming;
        {
          std::lock_guard guard(lock_);
          incoming.swap(incoming_);
        }
        for (auto& l : incoming) Take(std::move(l));
        continue;
      }
      auto it = by_fd_.find(ev.data.fd);
      if (it == by_fd_.end()) continue;
      TLink& l = *it->second;
      // Reset or hung up on both ways: no answer can reach the client any more.
      if (ev.data.fd == l.net && (ev.events & (EPOLLERR | EPOLLHUP))) {
        Drop(l);
        continue;
      }
      Pump(l);
    }
    std::vector<int> again;
    again.swap(again_);
    for (int fd : again) {
      auto it = by_fd_.find(fd);
      if (it != by_fd_.end()) Pump(*it->second);
    }
    int64_t now = TGate::NowMs();
    if (now < next_sweep) continue;
    next_sweep = now + 100;
    std::vector<TLink*> late;
    for (auto& [l, owned] : links_) {
      if (l->deadline_ms != 0 && l->deadline_ms <= now) late.push_back(l);
    }
    for (TLink* l : late) Drop(*l);
  }
}

}  // namespace pinleaf
