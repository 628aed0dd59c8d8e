// The front every connection passes before a worker sees it.
//
// The HTTP library gives each connection a worker for its whole life, so a
// client that sends its request one byte at a time, or opens a connection and
// says nothing, holds a worker. The gate holds such connections itself, in one
// thread over epoll, and hands a connection to a worker only once a whole
// request head (and a small body) has arrived. It also enforces what the
// library cannot: a deadline for the whole head, caps on connections in all and
// per client address, a bounded queue of requests waiting for a worker, and a
// refusal of any body that is too large or framed in a way we do not take,
// answered before a byte of it is read.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "service/poller.h"

namespace pinleaf {

struct TGateLimits {
  size_t max_head_bytes = 16 * 1024;
  // From the connection's start (or from the first byte of a later request on
  // a kept-alive connection) to the end of the request head.
  int head_timeout_ms = 10000;
  // A kept-alive connection with no new request is closed after this long.
  int idle_timeout_ms = 5000;
  // From the hand-over to a worker to the end of the answer.
  int request_timeout_ms = 30000;
  size_t max_connections = 1000;
  size_t max_per_address = 64;
  size_t workers = 16;
  // Requests of one address on workers at once: a client sending large bodies
  // slowly holds a worker each, so it may hold only a few; its further
  // requests wait in the gate (and are refused with 503 past their deadline).
  size_t max_busy_per_address = 0;  // 0: half the workers
  // Complete requests waiting for a worker; beyond this they get 503.
  size_t max_queued = 256;
  size_t max_requests_per_connection = 100;
  // Bodies up to this size are waited for in the gate too, so a slow sender
  // of a small form never holds a worker.
  size_t prefetch_body_bytes = 64 * 1024;
};

// What the gate learnt from a request head.
struct TRequestHead {
  std::string method;
  std::string target;
  std::string content_type;
  std::string content_encoding;
  std::string transfer_encoding;
  int64_t content_length = -1;  // -1 when absent
  size_t head_bytes = 0;
};

// Reads the request line and the headers the gate cares about. False when the
// head is not well formed (answered with 400).
bool ParseRequestHead(std::string_view head, TRequestHead& out);

// The peer's IP address of a connected socket, "?" when it has none.
std::string PeerAddress(int fd);

// One accepted connection while the gate or a worker holds it.
struct TGateConnection {
  int fd = -1;
  std::string address;
  int64_t deadline_ms = 0;
  bool kept_alive = false;  // waiting for a later request on the connection
  bool saw_bytes = false;   // some of the awaited head has arrived
  bool in_worker = false;   // a worker has it; the gate neither reads nor times it
  bool parked = false;      // complete, waiting until its address has a worker free
  bool lingering = false;   // answered and closing: unread input is dropped
  size_t lingered_bytes = 0;
  size_t requests = 0;
  TRequestHead head;
  size_t body_limit = 0;
  bool must_close = false;  // set by the request's handler
};

class TGate {
public:
  // The largest body taken for a request; answers a head with a status to
  // refuse it with, or 0 to go on.
  using THeadCheck = std::function<int(const TRequestHead& head, size_t& body_limit)>;
  // Runs one request of the connection on a worker; true when the connection
  // may carry another request.
  using TServe = std::function<bool(TGateConnection& connection)>;

  TGate(TGateLimits limits, THeadCheck check, TServe serve);
  ~TGate();
  TGate(const TGate&) = delete;
  TGate& operator=(const TGate&) = delete;

  void Start();
  // Closes every connection and joins the threads.
  void Stop();
  // Takes over an accepted socket (from the accepting thread).
  void Admit(int fd);
  // The same for a socket whose peer is not the client itself (the TLS front's
  // end of a socket pair): caps and logs count `address`, the client's own.
  void Admit(int fd, const std::string& address);

  const TGateLimits& Limits() const { return limits_; }
  // Connections now held (by the gate and by workers).
  size_t OpenConnections();

  // Requests whose target starts with this (an API's path) are refused with
  // a JSON body ({"error": ...}) rather than plain text.
  std::string json_prefix;

  // Told of each connection the gate ends on its own: "408 10.0.0.1" and so on.
  std::function<void(const std::string&)> log;

  static int64_t NowMs();

private:
  void Loop();
  void Work();
  void OnReadable(TGateConnection& c);
  void Refuse(TGateConnection& c, int status);
  void Watch(TGateConnection& c);
  void Release(int fd);  // closes and forgets
  void Unpark(TGateConnection* c);
  void Return(TGateConnection* c, bool keep);

  TGateLimits limits_;
  THeadCheck check_;
  TServe serve_;
  TPoller poll_;  // woken when connections are handed back, or to stop
  std::atomic<bool> stopping_{false};
  bool started_ = false;
  std::thread loop_;
  std::vector<std::thread> workers_;

  std::mutex lock_;  // guards everything below
  std::map<int, std::unique_ptr<TGateConnection>> connections_;
  std::map<std::string, size_t> per_address_;
  std::map<std::string, size_t> busy_per_address_;
  std::vector<TGateConnection*> parked_;
  std::deque<TGateConnection*> queue_;      // complete heads waiting for a worker
  std::vector<TGateConnection*> returned_;  // back from workers, to watch again
  std::condition_variable work_ready_;
};

}  // namespace pinleaf
