#include "service/gate.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>

namespace pinleaf {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

const char* Reason(int status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 408:
      return "Request Timeout";
    case 413:
      return "Payload Too Large";
    case 415:
      return "Unsupported Media Type";
    case 421:
      return "Misdirected Request";
    case 431:
      return "Request Header Fields Too Large";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    default:
      return "Refused";
  }
}

std::string Refusal(int status, bool json = false) {
  std::string text = std::to_string(status) + " " + Reason(status) + "\n";
  if (json) text = "{\"error\":\"" + std::string(Reason(status)) + "\"}\n";
  std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) +
                       "\r\nContent-Type: " + (json ? "application/json" : "text/plain; charset=utf-8") +
                       "\r\nContent-Length: " + std::to_string(text.size()) +
                       "\r\nConnection: close\r\nCache-Control: no-store\r\n";
  if (status == 503) answer += "Retry-After: 5\r\n";
  return answer + "\r\n" + text;
}

}  // namespace

std::string PeerAddress(int fd) {
  sockaddr_storage addr{};
  socklen_t size = sizeof addr;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0) return "?";
  char text[INET6_ADDRSTRLEN] = "?";
  if (addr.ss_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&addr)->sin_addr, text, sizeof text);
  else if (addr.ss_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&addr)->sin6_addr, text, sizeof text);
  return text;
}

bool ParseRequestHead(std::string_view head, TRequestHead& out) {
  size_t line_end = head.find('\n');
  if (line_end == std::string_view::npos) return false;
  std::string_view line = Trim(head.substr(0, line_end));
  size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
  if (sp1 == std::string_view::npos || sp1 == sp2 || sp1 == 0) return false;
  out.method = std::string(line.substr(0, sp1));
  out.target = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
  if (line.substr(sp2 + 1).rfind("HTTP/1.", 0) != 0) return false;
  head.remove_prefix(line_end + 1);
  while (!head.empty()) {
    size_t end = head.find('\n');
    std::string_view field = head.substr(0, end);
    head = end == std::string_view::npos ? std::string_view() : head.substr(end + 1);
    field = Trim(field);
    if (field.empty()) break;
    size_t colon = field.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    std::string name = Lower(field.substr(0, colon));
    std::string_view value = Trim(field.substr(colon + 1));
    if (name == "content-length") {
      int64_t length = -1;
      auto [p, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
      if (ec != std::errc() || p != value.data() + value.size() || length < 0) return false;
      // Two lengths that differ leave the framing open to two readings.
      if (out.content_length >= 0 && out.content_length != length) return false;
      out.content_length = length;
    } else if (name == "transfer-encoding") {
      out.transfer_encoding += (out.transfer_encoding.empty() ? "" : ", ") + Lower(value);
    } else if (name == "content-encoding") {
      out.content_encoding += (out.content_encoding.empty() ? "" : ", ") + Lower(value);
    } else if (name == "content-type") {
      out.content_type = Lower(value);
    }
  }
  return true;
}

TGate::TGate(TGateLimits limits, THeadCheck check, TServe serve)
    : limits_(limits), check_(std::move(check)), serve_(std::move(serve)) {
  limits_.workers = std::max<size_t>(1, limits_.workers);
  if (limits_.max_busy_per_address == 0) limits_.max_busy_per_address = std::max<size_t>(1, limits_.workers / 2);
}

TGate::~TGate() { Stop(); }

int64_t TGate::NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void TGate::Start() {
  if (started_) return;
  started_ = true;
  stopping_ = false;
  poll_.Open();
  loop_ = std::thread([this] { Loop(); });
  for (size_t i = 0; i < std::max<size_t>(1, limits_.workers); ++i) workers_.emplace_back([this] { Work(); });
}

void TGate::Stop() {
  if (!started_) return;
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
    // Workers blocked on a slow client wake up at once.
    for (auto& [fd, c] : connections_) shutdown(fd, SHUT_RDWR);
  }
  poll_.Wake();
  work_ready_.notify_all();
  loop_.join();
  for (std::thread& t : workers_) t.join();
  workers_.clear();
  std::lock_guard guard(lock_);
  for (auto& [fd, c] : connections_) close(fd);
  connections_.clear();
  per_address_.clear();
  busy_per_address_.clear();
  parked_.clear();
  queue_.clear();
  returned_.clear();
  poll_.Close();
  started_ = false;
}

size_t TGate::OpenConnections() {
  std::lock_guard guard(lock_);
  return connections_.size();
}

void TGate::Admit(int fd) { Admit(fd, PeerAddress(fd)); }

void TGate::Admit(int fd, const std::string& address) {
  // Answers go out as they are written: the library writes head and body
  // apart, and with Nagle's algorithm the body would wait for the client's
  // delayed acknowledgement of the head (40 ms) on a kept-alive connection.
  // (The TLS front's socket pairs are no TCP: nothing to set there.)
  int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  auto c = std::make_unique<TGateConnection>();
  c->fd = fd;
  c->address = address;
  c->deadline_ms = NowMs() + limits_.head_timeout_ms;
  TGateConnection* raw = c.get();
  {
    std::lock_guard guard(lock_);
    size_t& mine = per_address_[address];
    if (stopping_ || connections_.size() >= limits_.max_connections || mine >= limits_.max_per_address) {
      if (mine == 0) per_address_.erase(address);
      std::string answer = Refusal(503);
      if (send(fd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
      }
      close(fd);
      if (log) log("503 " + address + " too many connections");
      return;
    }
    ++mine;
    connections_[fd] = std::move(c);
  }
  Watch(*raw);
}

void TGate::Watch(TGateConnection& c) { poll_.Add(c.fd, EPOLLIN | EPOLLRDHUP | EPOLLET); }

void TGate::Unpark(TGateConnection* c) {
  c->parked = false;
  parked_.erase(std::remove(parked_.begin(), parked_.end(), c), parked_.end());
}

void TGate::Release(int fd) {
  poll_.Remove(fd);
  {
    std::lock_guard guard(lock_);
    auto it = connections_.find(fd);
    if (it != connections_.end()) {
      if (it->second->parked) Unpark(it->second.get());
      auto count = per_address_.find(it->second->address);
      if (count != per_address_.end() && --count->second == 0) per_address_.erase(count);
      connections_.erase(it);
    }
  }
  // Closed only once forgotten, so a new connection given the same number is not mixed up with it.
  close(fd);
}

void TGate::Refuse(TGateConnection& c, int status) {
  bool json = !json_prefix.empty() && c.head.target.rfind(json_prefix, 0) == 0;
  std::string answer = Refusal(status, json);
  if (send(c.fd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
  }
  // The client may still be sending; what it sends is read and dropped for a
  // moment, so its stack does not reset the connection before it has read the
  // answer, but the body itself is never taken.
  shutdown(c.fd, SHUT_WR);
  c.lingering = true;
  c.deadline_ms = NowMs() + 1000;
  if (log) log(std::to_string(status) + " " + c.address + (c.head.target.empty() ? "" : " " + c.head.target));
}

void TGate::OnReadable(TGateConnection& c) {
  static thread_local std::vector<char> buffer;
  if (c.parked) return;  // taken up again when its address has a worker free
  if (c.lingering) {
    buffer.resize(64 * 1024);
    for (;;) {
      ssize_t n = recv(c.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n <= 0 || (c.lingered_bytes += static_cast<size_t>(n)) > 256 * 1024) {
        Release(c.fd);
        return;
      }
    }
  }
  size_t cap = limits_.max_head_bytes + limits_.prefetch_body_bytes;
  buffer.resize(cap);
  ssize_t n = recv(c.fd, buffer.data(), cap, MSG_PEEK | MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n <= 0) {
    Release(c.fd);
    return;
  }
  if (!c.saw_bytes) {
    c.saw_bytes = true;
    if (c.kept_alive) c.deadline_ms = NowMs() + limits_.head_timeout_ms;
  }
  std::string_view seen(buffer.data(), static_cast<size_t>(n));
  std::string_view window = seen.substr(0, std::min(seen.size(), limits_.max_head_bytes));
  size_t end = window.find("\r\n\r\n");
  size_t head_bytes = end == std::string_view::npos ? 0 : end + 4;
  if (end == std::string_view::npos) {
    size_t lf = window.find("\n\n");
    if (lf != std::string_view::npos) head_bytes = lf + 2;
  }
  if (head_bytes == 0) {
    if (window.size() >= limits_.max_head_bytes) Refuse(c, 431);
    return;
  }
  TRequestHead head;
  if (!ParseRequestHead(seen.substr(0, head_bytes), head)) {
    Refuse(c, 400);
    return;
  }
  head.head_bytes = head_bytes;
  c.head = head;
  bool chunked = !head.transfer_encoding.empty();
  if (chunked && head.content_length >= 0) return Refuse(c, 400);  // two framings: one would be ignored
  if (chunked && head.transfer_encoding != "chunked") return Refuse(c, 501);
  // A compressed body would be inflated by the library without bound: not taken.
  if (!head.content_encoding.empty() && head.content_encoding != "identity") return Refuse(c, 415);
  size_t body_limit = 0;
  if (int status = check_(head, body_limit)) return Refuse(c, status);
  c.body_limit = body_limit;
  if (head.content_length > 0 && static_cast<uint64_t>(head.content_length) > body_limit) return Refuse(c, 413);
  if (head.content_length > 0 && static_cast<size_t>(head.content_length) <= limits_.prefetch_body_bytes &&
      seen.size() < head_bytes + static_cast<size_t>(head.content_length))
    return;  // a small body is awaited here

  std::unique_lock guard(lock_);
  if (queue_.size() >= limits_.max_queued) {
    guard.unlock();
    Refuse(c, 503);
    return;
  }
  size_t& busy = busy_per_address_[c.address];
  if (busy >= limits_.max_busy_per_address) {
    c.parked = true;
    parked_.push_back(&c);
    return;
  }
  ++busy;
  poll_.Remove(c.fd);
  c.deadline_ms = NowMs() + limits_.request_timeout_ms;
  c.in_worker = true;  // timed by its stream from now on, not by the gate
  queue_.push_back(&c);
  guard.unlock();
  work_ready_.notify_one();
}

void TGate::Return(TGateConnection* c, bool keep) {
  {
    std::lock_guard guard(lock_);
    auto busy = busy_per_address_.find(c->address);
    if (busy != busy_per_address_.end() && --busy->second == 0) busy_per_address_.erase(busy);
    c->kept_alive = keep;
    returned_.push_back(c);
  }
  poll_.Wake();
}

void TGate::Work() {
  for (;;) {
    TGateConnection* c;
    {
      std::unique_lock guard(lock_);
      work_ready_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      c = queue_.front();
      queue_.pop_front();
    }
    bool keep = false;
    try {
      keep = serve_(*c);
    } catch (...) {
      keep = false;
    }
    ++c->requests;
    keep = keep && !c->must_close && c->requests < limits_.max_requests_per_connection;
    Return(c, keep);
  }
}

void TGate::Loop() {
  std::vector<epoll_event> events(256);
  int64_t next_sweep = 0;
  while (!stopping_) {
    int n = poll_.Wait(events, 100);
    for (int i = 0; i < n; ++i) {
      int fd = events[static_cast<size_t>(i)].data.fd;
      if (poll_.TakeWake(fd)) continue;
      TGateConnection* c = nullptr;
      {
        std::lock_guard guard(lock_);
        auto it = connections_.find(fd);
        if (it != connections_.end() && !it->second->in_worker) c = it->second.get();
      }
      if (c) OnReadable(*c);
    }
    std::vector<TGateConnection*> back;
    {
      std::lock_guard guard(lock_);
      back.swap(returned_);
      for (TGateConnection* c : back) c->in_worker = false;
    }
    for (TGateConnection* c : back) {
      if (!c->kept_alive || stopping_) {
        Release(c->fd);
        continue;
      }
      c->saw_bytes = false;
      c->must_close = false;
      c->head = TRequestHead();
      c->deadline_ms = NowMs() + limits_.idle_timeout_ms;
      Watch(*c);
    }
    // Requests parked for want of a worker for their address, whose turn has come.
    if (!back.empty()) {
      std::vector<TGateConnection*> ready;
      {
        std::lock_guard guard(lock_);
        for (TGateConnection* c : parked_) {
          auto busy = busy_per_address_.find(c->address);
          if (busy == busy_per_address_.end() || busy->second < limits_.max_busy_per_address) ready.push_back(c);
        }
        for (TGateConnection* c : ready) Unpark(c);
      }
      for (TGateConnection* c : ready) OnReadable(*c);
    }
    int64_t now = NowMs();
    if (now < next_sweep) continue;
    next_sweep = now + 100;
    std::vector<TGateConnection*> late;
    {
      std::lock_guard guard(lock_);
      for (auto& [fd, c] : connections_) {
        if (!c->in_worker && c->deadline_ms <= now) late.push_back(c.get());
      }
    }
    for (TGateConnection* c : late) {
      if (c->parked) {
        {
          std::lock_guard guard(lock_);
          Unpark(c);
        }
        Refuse(*c, 503);  // complete, but its address kept every worker it may have busy
      } else if (c->lingering || (c->kept_alive && !c->saw_bytes)) {
        Release(c->fd);
      } else {
        Refuse(*c, 408);
      }
    }
  }
}

}  // namespace pinleaf
