// Scripted loopback peers for the transport tests: a listener on 127.0.0.1 that
// accepts one connection on its own thread and runs a script against it (send
// these bytes, wait, close or reset). Built on the stack's raw operations, so the
// same peer runs over the built-in library and over the system's Winsock.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "net/component.h"
#include "net/stack.h"
#include "platform/clock.h"

namespace nettest {

using namespace ts;
using namespace platform::winsock;

// Keeps the shared stack alive for the length of a test.
struct TStackKeeper {
  TStackKeeper() : component(new TNetComponent(nullptr)) {}
  ~TStackKeeper() { delete component; }
  TNetComponent* component;
};

class TPeerSocket {
public:
  explicit TPeerSocket(TNetSocket s) : s_(s) {}
  ~TPeerSocket() { Close(); }

  TNetSocket Handle() const { return s_; }
  bool Open() const { return s_ != NetInvalidSocket; }

  void Send(const std::string& bytes) {
    size_t pos = 0;
    while (pos < bytes.size()) {
      int n = SharedStack->NetSend(s_, bytes.data() + pos, static_cast<int>(bytes.size() - pos), 0);
      if (n <= 0) return;
      pos += static_cast<size_t>(n);
    }
  }

  // Whatever arrives within `waitMs`, up to `limit` bytes; stops early at a close.
  std::string ReceiveFor(int waitMs, size_t limit = 1 << 30) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (got.size() < limit) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      TNetSocketVector list{s_};
      if (SharedStack->NetSelect(&list, nullptr, static_cast<int>(left.count()), nullptr) != 1) break;
      char buffer[65536];
      int want = static_cast<int>(std::min<size_t>(sizeof buffer, limit - got.size()));
      int n = SharedStack->NetRecv(s_, buffer, want, 0);
      if (n <= 0) {
        peerClosed = true;
        break;
      }
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }

  // Exactly `count` bytes, or fewer when the time runs out or the other side closes.
  std::string Receive(size_t count, int timeoutMs = 5000) { return ReceiveFor(timeoutMs, count); }

  // Everything up to and including `marker`.
  std::string ReceiveUntil(const std::string& marker, int timeoutMs = 5000) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.find(marker) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      std::string more = ReceiveFor(static_cast<int>(left.count()), 1);
      if (more.empty()) break;
      got += more;
    }
    return got;
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

  bool peerClosed = false;

private:
  TNetSocket s_;
};

// A listening socket on 127.0.0.1 and a free port.
inline TNetSocket Listen(int backlog, int& port) {
  TNetSocket s = SharedStack->NewSocket(SOCK_STREAM_, 0);
  SharedStack->CheckSocketResult(SharedStack->NetBind(s, AF_INET_, "127.0.0.1", 0));
  SharedStack->CheckSocketResult(SharedStack->NetListen(s, backlog));
  int family;
  std::string ip;
  SharedStack->NetSockName(s, family, ip, port);
  return s;
}

class TScriptedPeer {
public:
  using TScript = std::function<void(TPeerSocket&)>;

  explicit TScriptedPeer(TScript script, int backlog = 5) : script_(std::move(script)) {
    listener_ = Listen(backlog, port_);
    thread_ = std::thread([this] { Run(); });
  }
  ~TScriptedPeer() {
    stop_ = true;
    Join();
    SharedStack->NetCloseSocket(listener_);
  }

  int Port() const { return port_; }
  bool Accepted() const { return accepted_.load(); }
  // Wait for the script to finish.
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

private:
  void Run() {
    // Wait for the client in short slices, so an unused peer ends promptly.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!stop_ && std::chrono::steady_clock::now() < end) {
      TNetSocketVector list{listener_};
      if (SharedStack->NetSelect(&list, nullptr, 50, nullptr) != 1) continue;
      std::string ip;
      int port;
      TNetSocket s = SharedStack->NetAccept(listener_, ip, port);
      if (s == NetInvalidSocket) return;
      accepted_ = true;
      TPeerSocket peer(s);
      script_(peer);
      return;
    }
  }

  TScript script_;
  TNetSocket listener_ = NetInvalidSocket;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> accepted_{false};
};

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
  TNetSocket s;
  int port = 0;
};

inline void SleepMs(int ms) { platform::Sleep(static_cast<uint32_t>(ms)); }

// Whether a zero-linger close reaches the other end as a reset here (some
// emulated systems close gracefully regardless).
inline bool AbortiveCloseWorks() {
  int port;
  TNetSocket listener = Listen(1, port);
  TNetSocket a = SharedStack->NewSocket(SOCK_STREAM_, 0);
  SharedStack->NetConnect(a, AF_INET_, "127.0.0.1", port);
  std::string ip;
  int peerPort;
  TNetSocket b = SharedStack->NetAccept(listener, ip, peerPort);
  TPeerSocket closing(b);
  closing.Reset();
  TNetSocketVector list{a};
  SharedStack->NetSelect(&list, nullptr, 2000, nullptr);
  char byte;
  int n = SharedStack->NetRecv(a, &byte, 1, 0);
  SharedStack->NetCloseSocket(a);
  SharedStack->NetCloseSocket(listener);
  return n == NetSocketError;
}

}  // namespace nettest
