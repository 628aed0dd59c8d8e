// HTTPS in front of the gate.
//
// The gate reads plain request heads from a socket. For HTTPS each accepted
// socket is taken here instead: one thread over epoll runs the TLS side of
// every connection without blocking and hands the gate one end of a socket
// pair, under the client's own address, so the gate's deadlines, caps and
// body limits hold for HTTPS clients exactly as for plain ones. The bytes are
// pumped both ways through small bounded buffers; a side that cannot take
// more stops the other side from being read.
//
// Nothing here waits for a client: a connection whose handshake never ends is
// ended by the gate's head deadline (the gate closes its end, and so the TLS
// side is closed too), and a connection the gate has closed is given a short
// while to get the last answer out, then dropped. The process must ignore
// SIGPIPE (pinleaf-server does): TLS records are written to the client's
// socket with plain writes.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/poller.h"

namespace pinleaf {

class TGate;

class TTLSFront {
public:
  explicit TTLSFront(TGate& gate);
  ~TTLSFront();
  TTLSFront(const TTLSFront&) = delete;
  TTLSFront& operator=(const TTLSFront&) = delete;

  // Loads the certificate (with its chain) and its key; TLS 1.2 or newer only.
  // Empty when they can be served, else what is wrong.
  std::string Load(const std::string& certFile, const std::string& keyFile);

  void Start();
  // Closes every connection and joins the thread.
  void Stop();
  // Takes over an accepted socket (from the accepting thread).
  void Admit(int fd);

  // Connections the front holds now.
  size_t OpenConnections();

  // Bytes held in our buffers for one direction of one connection at most.
  static constexpr size_t kBufferBytes = 64 * 1024;
  // How long a connection the gate has closed may take to get the rest out.
  static constexpr int kFlushMs = 2000;
  // Session tickets are sealed with a key of this instance's own, made from
  // the system's random source and never written anywhere; a new key is made
  // once the current one is this old. A ticket of the key before is still
  // taken (and replaced), older ones start a full handshake.
  static constexpr std::chrono::seconds kTicketKeyLifetime{3600};

private:
  struct TLink;
  struct TTicketKey {
    unsigned char name[16];
    unsigned char aes[32];
    unsigned char hmac[32];
    std::chrono::steady_clock::time_point made;
  };

  // OpenSSL's ticket key callback: seals (enc) or opens a ticket.
  static int TicketKey(SSL* ssl, unsigned char name[16], unsigned char* iv, EVP_CIPHER_CTX* cipher, EVP_MAC_CTX* mac,
                       int enc);
  bool NewTicketKey(TTicketKey& key);

  void Loop();
  void Take(std::unique_ptr<TLink> link);
  void Pump(TLink& l);
  void Interest(TLink& l);
  void Drop(TLink& l);

  TGate& gate_;
  SSL_CTX* ctx_ = nullptr;
  std::mutex ticket_lock_;          // guards the two keys: the handshakes' callbacks
  TTicketKey ticket_keys_[2] = {};  // the current one, and the one before (made == {} when none)
  TPoller poll_;                    // woken when links come in, or to stop
  std::atomic<bool> stopping_{false};
  bool started_ = false;
  std::thread loop_;

  std::mutex lock_;  // guards incoming_ and count_
  std::vector<std::unique_ptr<TLink>> incoming_;
  size_t count_ = 0;

  // Loop thread only.
  std::map<int, TLink*> by_fd_;  // both sockets of each connection
  std::map<TLink*, std::unique_ptr<TLink>> links_;
  std::vector<int> again_;  // connections with work left over from their last turn
};

}  // namespace pinleaf
