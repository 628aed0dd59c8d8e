// Scripted loopback peers for the transport and HTTP tests: a listener on
// 127.0.0.1 and a port of its own that accepts connections one after another
// on its own thread and runs one script per connection (send these bytes,
// read a request, wait, close or reset). Every request a script reads whole is
// kept byte for byte, so tests can compare the exact wire form. Built on the
// stack's raw operations, so the same peer runs over the built-in socket
// library and over the system's Winsock.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "net/component.h"
#include "net/stack.h"
#include "platform/clock.h"
#include "runtime/text.h"

namespace testpeer {

using namespace ts;
using namespace platform::winsock;

// Keeps the shared stack alive for the length of a test.
struct TStackKeeper {
  TStackKeeper() : component(new TNetComponent(nullptr)) {}
  ~TStackKeeper() { delete component; }
  TStackKeeper(const TStackKeeper&) = delete;
  TStackKeeper& operator=(const TStackKeeper&) = delete;
  TNetComponent* component;
};

inline void SleepMs(int ms) { platform::Sleep(static_cast<uint32_t>(ms)); }

// A listening socket on 127.0.0.1 and a port the system picks.
inline TNetSocket Listen(int backlog, int& port) {
  TNetSocket s = SharedStack->NewSocket(SOCK_STREAM_, 0);
  SharedStack->CheckSocketResult(SharedStack->NetBind(s, AF_INET_, "127.0.0.1", 0));
  SharedStack->CheckSocketResult(SharedStack->NetListen(s, backlog));
  int family;
  std::string ip;
  SharedStack->NetSockName(s, family, ip, port);
  return s;
}

class TScriptedPeer;

// One accepted connection, as the script sees it. Everything received goes
// through one buffer, so the ways of reading can be mixed.
class TPeerConnection {
public:
  explicit TPeerConnection(TNetSocket s, TScriptedPeer* peer = nullptr, int index = 0)
      : peer_(peer), s_(s), index_(index) {}
  ~TPeerConnection() { Close(); }
  TPeerConnection(const TPeerConnection&) = delete;
  TPeerConnection& operator=(const TPeerConnection&) = delete;

  TNetSocket Handle() const { return s_; }
  bool Open() const { return s_ != NetInvalidSocket; }
  // The connection's place (0-based) among those the peer accepted.
  int Index() const { return index_; }
  // Whether the other side closed (or reset) the connection.
  bool ClientClosed() const { return clientClosed_; }

  void Send(const std::string& bytes) {
    size_t pos = 0;
    while (Open() && pos < bytes.size()) {
      int n = SharedStack->NetSend(s_, bytes.data() + pos, static_cast<int>(bytes.size() - pos), 0);
      if (n <= 0) return;
      pos += static_cast<size_t>(n);
    }
  }

  // Whatever arrives within `waitMs`, up to `limit` bytes; stops early at a close.
  std::string ReceiveFor(int waitMs, size_t limit = 1 << 30) {
    auto end = Deadline(waitMs);
    while (buffer_.size() < limit && Fill(end)) {
    }
    return Take(std::min(limit, buffer_.size()));
  }

  // Exactly `count` bytes, or fewer when the time runs out or the other side closes.
  std::string Receive(size_t count, int timeoutMs = 5000) { return ReceiveFor(timeoutMs, count); }

  // Everything up to and including `marker` (all that came when it does not come).
  std::string ReceiveUntil(const std::string& marker, int timeoutMs = 5000) {
    auto end = Deadline(timeoutMs);
    while (buffer_.find(marker) == std::string::npos)
      if (!Fill(end)) return Take(buffer_.size());
    return Take(buffer_.find(marker) + marker.size());
  }

  // One whole request: the head up to the empty line and as many body bytes
  // as its Content-Length gives. Kept in the peer's record. Empty when the
  // client closed (or nothing came within the time).
  std::string ReadRequest(int timeoutMs = 5000) {
    auto end = Deadline(timeoutMs);
    while (buffer_.find("\r\n\r\n") == std::string::npos)
      if (!Fill(end)) return std::string();
    size_t headEnd = buffer_.find("\r\n\r\n") + 4;
    size_t length = ContentLength(buffer_.substr(0, headEnd));
    while (buffer_.size() < headEnd + length)
      if (!Fill(end)) break;
    std::string request = Take(std::min(buffer_.size(), headEnd + length));
    Record(request);
    return request;
  }

  // Waits until the client closes; true when it did within the time.
  bool WaitForClose(int timeoutMs = 5000) {
    auto end = Deadline(timeoutMs);
    while (Fill(end)) {
    }
    return clientClosed_;
  }

  // Orderly close: the other side reads the end of the stream.
  void Close() {
    if (!Open()) return;
    SharedStack->NetShutdown(s_, SD_SEND_);
    SharedStack->NetCloseSocket(s_);
    s_ = NetInvalidSocket;
  }

  // Abortive close: the other side sees its connection reset.
  void Reset() {
    if (!Open()) return;
    TLinger linger{1, 0};
    SharedStack->NetSetSockOpt(s_, SOL_SOCKET_, SO_LINGER_, &linger, sizeof linger);
    SharedStack->NetCloseSocket(s_);
    s_ = NetInvalidSocket;
  }

private:
  static std::chrono::steady_clock::time_point Deadline(int ms) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  }

  static size_t ContentLength(const std::string& head) {
    std::string upper = UpperCase(head);
    size_t at = upper.find("\r\nCONTENT-LENGTH:");
    if (at == std::string::npos) return 0;
    size_t start = at + 17;
    size_t stop = upper.find("\r\n", start);
    return static_cast<size_t>(StrToIntDef(Trim(head.substr(start, stop - start)), 0));
  }

  std::string Take(size_t count) {
    std::string taken = buffer_.substr(0, count);
    buffer_.erase(0, count);
    return taken;
  }

  // Receives more bytes into the buffer; false at a close or when time is up.
  bool Fill(std::chrono::steady_clock::time_point end) {
    if (!Open() || clientClosed_) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    TNetSocketVector list{s_};
    if (SharedStack->NetSelect(&list, nullptr, static_cast<int>(left.count()), nullptr) != 1) return false;
    char chunk[65536];
    int n = SharedStack->NetRecv(s_, chunk, sizeof chunk, 0);
    if (n <= 0) {
      clientClosed_ = true;
      return false;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }

  void Record(const std::string& request);

  TScriptedPeer* peer_;
  TNetSocket s_;
  int index_;
  std::string buffer_;
  bool clientClosed_ = false;
};

class TScriptedPeer {
public:
  using TScript = std::function<void(TPeerConnection&)>;

  // One script per connection, in the order the connections come; a client
  // that comes once more than scripted is turned away.
  explicit TScriptedPeer(std::vector<TScript> scripts, int backlog = 8) : scripts_(std::move(scripts)) {
    listener_ = Listen(backlog, port_);
    thread_ = std::thread([this] { Run(); });
  }
  // One script (a lambda) for one connection.
  template <class F, class = std::enable_if_t<std::is_invocable_v<F&, TPeerConnection&> &&
                                              !std::is_same_v<std::decay_t<F>, TScript>>>
  explicit TScriptedPeer(F script, int backlog = 8)
      : TScriptedPeer(std::vector<TScript>{TScript(std::move(script))}, backlog) {}
  ~TScriptedPeer() { Join(); }
  TScriptedPeer(const TScriptedPeer&) = delete;
  TScriptedPeer& operator=(const TScriptedPeer&) = delete;

  int Port() const { return port_; }
  std::string Base() const { return "http://127.0.0.1:" + IntToStr(port_); }
  std::string HostHeader() const { return "127.0.0.1:" + IntToStr(port_); }

  // Serves the connections already made (a client's connect is complete once
  // it waits to be accepted), lets the running script finish and takes no
  // further connection: call it once the client is done, before looking at
  // what the scripts saw.
  void Join() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int Connections() const { return accepted_.load(); }
  bool Accepted() const { return Connections() > 0; }
  // Every request read whole, in order, over all connections.
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
  }
  // The connection (0-based) each request came on.
  std::vector<int> RequestConnections() {
    std::lock_guard<std::mutex> guard(lock_);
    return requestConnections_;
  }

private:
  friend class TPeerConnection;

  void Run() {
    size_t next = 0;
    // Waits for clients in short slices, so that a peer told to stop ends
    // promptly, and one nobody comes to ends by itself.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (next < scripts_.size() && std::chrono::steady_clock::now() < end) {
      TNetSocketVector list{listener_};
      if (SharedStack->NetSelect(&list, nullptr, 50, nullptr) != 1) {
        if (stop_) break;
        continue;
      }
      std::string ip;
      int port;
      TNetSocket s = SharedStack->NetAccept(listener_, ip, port);
      if (s == NetInvalidSocket) break;
      TPeerConnection connection(s, this, static_cast<int>(next));
      ++accepted_;
      scripts_[next++](connection);
    }
    SharedStack->NetCloseSocket(listener_);
    listener_ = NetInvalidSocket;
  }

  void Record(const std::string& request, int index) {
    std::lock_guard<std::mutex> guard(lock_);
    requests_.push_back(request);
    requestConnections_.push_back(index);
  }

  std::vector<TScript> scripts_;
  TNetSocket listener_ = NetInvalidSocket;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::mutex lock_;
  std::vector<std::string> requests_;
  std::vector<int> requestConnections_;
};

inline void TPeerConnection::Record(const std::string& request) {
  if (peer_) peer_->Record(request, index_);
}

// A port on 127.0.0.1 where nothing listens: a bound socket holds it so no one
// else takes it meanwhile; connecting there is refused.
struct TRefusingPort {
  TRefusingPort() {
    s = SharedStack->NewSocket(SOCK_STREAM_, 0);
    SharedStack->CheckSocketResult(SharedStack->NetBind(s, AF_INET_, "127.0.0.1", 0));
    int family;
    std::string ip;
    SharedStack->NetSockName(s, family, ip, port);
  }
  ~TRefusingPort() { SharedStack->NetCloseSocket(s); }
  TRefusingPort(const TRefusingPort&) = delete;
  TRefusingPort& operator=(const TRefusingPort&) = delete;
  TNetSocket s;
  int port = 0;
};

// Whether a zero-linger close reaches the other end as a reset here (some
// emulated systems close gracefully regardless).
inline bool AbortiveCloseWorks() {
  int port;
  TNetSocket listener = Listen(1, port);
  TNetSocket a = SharedStack->NewSocket(SOCK_STREAM_, 0);
  SharedStack->NetConnect(a, AF_INET_, "127.0.0.1", port);
  std::string ip;
  int peerPort;
  TPeerConnection closing(SharedStack->NetAccept(listener, ip, peerPort));
  closing.Reset();
  TNetSocketVector list{a};
  SharedStack->NetSelect(&list, nullptr, 2000, nullptr);
  char byte;
  int n = SharedStack->NetRecv(a, &byte, 1, 0);
  SharedStack->NetCloseSocket(a);
  SharedStack->NetCloseSocket(listener);
  return n == NetSocketError;
}

// ---- HTTP conveniences ------------------------------------------------------------

// A connection that answers each request it reads with the next answer, then
// either closes or waits for the client to close.
inline TScriptedPeer::TScript Answers(std::vector<std::string> answers, bool closeAtEnd = false) {
  return [answers = std::move(answers), closeAtEnd](TPeerConnection& c) {
    for (const std::string& answer : answers) {
      if (c.ReadRequest().empty()) return;
      c.Send(answer);
    }
    if (closeAtEnd)
      c.Close();
    else
      c.WaitForClose();
  };
}

// A complete HTTP/1.1 answer with a Content-Length body.
inline std::string Reply(const std::string& status, const std::string& body = std::string(),
                         const std::string& extraHeaders = std::string()) {
  return "HTTP/1.1 " + status + "\r\n" + extraHeaders +
         "Content-Length: " + IntToStr(static_cast<int64_t>(body.size())) + "\r\n\r\n" + body;
}

}  // namespace testpeer
