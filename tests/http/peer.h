// A scripted HTTP peer on loopback: listens on 127.0.0.1 and a free port,
// accepts connections one after another and runs one script per connection.
// Every request it reads is kept byte for byte, so tests can compare the exact
// wire form. Built on the stack's raw operations, so the same peer runs over
// the built-in socket library and over the system's Winsock.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/component.h"
#include "net/stack.h"
#include "runtime/text.h"

namespace httptest {

using namespace ts;
using namespace platform::winsock;

// Keeps the shared stack alive for the length of a test.
struct TStackKeeper {
  TStackKeeper() : component(new TNetComponent(nullptr)) {}
  ~TStackKeeper() { delete component; }
  TNetComponent* component;
};

class THTTPPeer;

// One accepted connection, as the script sees it.
class TPeerConnection {
public:
  TPeerConnection(THTTPPeer& peer, TNetSocket s, int index) : peer_(peer), s_(s), index_(index) {}
  ~TPeerConnection() { Close(); }

  int Index() const { return index_; }

  void Send(const std::string& bytes) {
    size_t pos = 0;
    while (s_ != NetInvalidSocket && pos < bytes.size()) {
      int n = SharedStack->NetSend(s_, bytes.data() + pos, static_cast<int>(bytes.size() - pos), 0);
      if (n <= 0) return;
      pos += static_cast<size_t>(n);
    }
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
    size_t take = std::min(buffer_.size(), headEnd + length);
    std::string request = buffer_.substr(0, take);
    buffer_.erase(0, take);
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

  // Orderly close: the client reads the end of the stream.
  void Close() {
    if (s_ == NetInvalidSocket) return;
    SharedStack->NetShutdown(s_, SD_SEND_);
    SharedStack->NetCloseSocket(s_);
    s_ = NetInvalidSocket;
  }

  // Abortive close: the client sees its connection reset.
  void Reset() {
    if (s_ == NetInvalidSocket) return;
    TLinger linger{1, 0};
    SharedStack->NetSetSockOpt(s_, SOL_SOCKET_, SO_LINGER_, &linger, sizeof linger);
    SharedStack->NetCloseSocket(s_);
    s_ = NetInvalidSocket;
  }

  bool ClientClosed() const { return clientClosed_; }

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

  // Receives more bytes into the buffer; false at a close or when time is up.
  bool Fill(std::chrono::steady_clock::time_point end) {
    if (s_ == NetInvalidSocket || clientClosed_) return false;
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

  THTTPPeer& peer_;
  TNetSocket s_;
  int index_;
  std::string buffer_;
  bool clientClosed_ = false;
};

class THTTPPeer {
public:
  using TScript = std::function<void(TPeerConnection&)>;

  // One script per connection, in the order the connections come.
  explicit THTTPPeer(std::vector<TScript> scripts) : scripts_(std::move(scripts)) {
    listener_ = SharedStack->NewSocket(SOCK_STREAM_, 0);
    SharedStack->CheckSocketResult(SharedStack->NetBind(listener_, AF_INET_, "127.0.0.1", 0));
    SharedStack->CheckSocketResult(SharedStack->NetListen(listener_, 8));
    int family;
    std::string ip;
    SharedStack->NetSockName(listener_, family, ip, port_);
    thread_ = std::thread([this] { Run(); });
  }
  ~THTTPPeer() {
    Join();
    if (listener_ != NetInvalidSocket) SharedStack->NetCloseSocket(listener_);
  }

  int Port() const { return port_; }
  std::string Base() const { return "http://127.0.0.1:" + IntToStr(port_); }
  std::string HostHeader() const { return "127.0.0.1:" + IntToStr(port_); }

  // Lets the running script finish and takes no further connection: call it
  // once the client is done, before looking at what was recorded.
  void Join() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int Connections() const { return accepted_.load(); }
  // Every request read, in order, over all connections.
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
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!stop_ && next < scripts_.size() && std::chrono::steady_clock::now() < end) {
      TNetSocketVector list{listener_};
      if (SharedStack->NetSelect(&list, nullptr, 50, nullptr) != 1) continue;
      std::string ip;
      int port;
      TNetSocket s = SharedStack->NetAccept(listener_, ip, port);
      if (s == NetInvalidSocket) return;
      TPeerConnection connection(*this, s, static_cast<int>(next));
      ++accepted_;
      scripts_[next++](connection);
    }
    // A client that comes once more than scripted is turned away at once.
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

inline void TPeerConnection::Record(const std::string& request) { peer_.Record(request, index_); }

// A connection that answers each request it reads with the next answer, then
// either closes or waits for the client to close.
inline THTTPPeer::TScript Answers(std::vector<std::string> answers, bool closeAtEnd = false) {
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

}  // namespace httptest
