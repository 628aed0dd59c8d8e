// One instance per session: the instance listens on an abstract local socket
// named after the user and the display, so a second start finds it without a
// file to clean up, and a crashed instance leaves nothing behind. Later
// starts talk to it over that socket (a window handle means nothing to
// another process here): a command line, with a body of bytes when it
// carries data, and one line of answer once the instance has dealt with it.
#include "platform/session.h"

#include <map>

#include <glib-unix.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/instance.h"
#include "platform/linux/desktop.h"

namespace platform {

namespace {

socklen_t AddressOf(const std::string& name, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  const char* display = std::getenv("WAYLAND_DISPLAY");
  if (!display || !*display) display = std::getenv("DISPLAY");
  std::string id = name + "-" + std::to_string(getuid()) + "-" + (display ? display : "");
  id = id.substr(0, sizeof addr.sun_path - 2);
  std::memcpy(addr.sun_path + 1, id.data(), id.size());  // abstract: a leading zero byte
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + id.size());
}

// The exchange with another process runs against a deadline: a peer that
// stops half way must not hold either side for long.
class TDeadline {
public:
  explicit TDeadline(int ms) : end_(Now() + ms) {}
  int Left() const { return static_cast<int>(std::max<int64_t>(0, end_ - Now())); }

private:
  static int64_t Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
  }
  int64_t end_;
};

bool WaitFor(int fd, short events, const TDeadline& deadline) {
  pollfd p{fd, events, 0};
  for (;;) {
    int n = poll(&p, 1, deadline.Left());
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

// Exactly `count` bytes more; false when the peer ended first or the time ran out.
bool ReadExactly(int fd, std::string& out, size_t count, const TDeadline& deadline) {
  char buffer[65536];
  while (count > 0) {
    if (!WaitFor(fd, POLLIN, deadline)) return false;
    ssize_t n = recv(fd, buffer, std::min(count, sizeof buffer), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    out.append(buffer, static_cast<size_t>(n));
    count -= static_cast<size_t>(n);
  }
  return true;
}

// One line without its end; nullopt when no whole line came in time.
std::optional<std::string> ReadLine(int fd, const TDeadline& deadline) {
  std::string line;
  while (line.size() < 256) {
    std::string c;
    if (!ReadExactly(fd, c, 1, deadline)) return std::nullopt;
    if (c[0] == '\n') return line;
    line += c;
  }
  return std::nullopt;
}

bool WriteAll(int fd, const std::string& bytes, const TDeadline& deadline) {
  size_t done = 0;
  while (done < bytes.size()) {
    if (!WaitFor(fd, POLLOUT, deadline)) return false;
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// A request is "command\n", or "command LENGTH\n" and LENGTH bytes of body.
bool ParseRequestLine(const std::string& line, std::string& command, size_t& length) {
  command = line;
  length = 0;
  const size_t space = line.rfind(' ');
  if (space == std::string::npos || space + 1 == line.size() ||
      line.find_first_not_of("0123456789", space + 1) != std::string::npos)
    return true;
  if (line.size() - space - 1 > 9) return false;
  length = std::stoul(line.substr(space + 1));
  command = line.substr(0, space);
  return length <= kMaxInstanceRequestBody;
}

TInstanceRequestHandler* g_onRequest = nullptr;

gboolean OnConnection(gint listener, GIOCondition, gpointer) {
  int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return G_SOURCE_CONTINUE;
  // An abstract socket is open to every user of the machine: only the
  // user's own programs may make this one snap or keep notes for the account.
  ucred peer{};
  socklen_t peerSize = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0 || peer.uid != getuid()) {
    close(fd);
    return G_SOURCE_CONTINUE;
  }
  // The sender writes its whole request at once: a big body takes well
  // under a second here, and this runs on the GUI thread.
  TDeadline deadline(10000);
  std::string command, body;
  size_t length = 0;
  std::optional<std::string> line = ReadLine(fd, deadline);
  std::string reply;
  if (!line || !ParseRequestLine(*line, command, length))
    reply = "bad request";
  else if (!ReadExactly(fd, body, length, deadline))
    reply = "request cut short";
  else if (!command.empty() && g_onRequest && *g_onRequest)
    reply = (*g_onRequest)(command, body);
  if (reply.empty()) reply = "ok";
  for (char& c : reply)
    if (c == '\n' || c == '\r') c = ' ';
  WriteAll(fd, reply + "\n", TDeadline(2000));
  close(fd);
  return G_SOURCE_CONTINUE;
}

}  // namespace

bool ClaimSessionName(const std::string& name) {
  static std::map<std::string, int> held;
  if (held.count(name)) return true;  // ours already
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;  // nothing to coordinate with: run all the same
  sockaddr_un addr;
  socklen_t len = AddressOf(name, addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 4) != 0) {
    bool taken = errno == EADDRINUSE;
    close(fd);
    return !taken;
  }
  held[name] = fd;
  g_unix_fd_add(fd, G_IO_IN, OnConnection, nullptr);
  return true;
}

namespace {
std::map<std::string, WindowHandle>& Marks() {
  static auto* marks = new std::map<std::string, WindowHandle>;
  return *marks;
}
}  // namespace

void MarkWindow(WindowHandle window, const std::string& name) { Marks()[name] = window; }

WindowHandle FindMarkedWindow(const std::string& name) {
  auto it = Marks().find(name);
  return it != Marks().end() && WindowExists(it->second) ? it->second : 0;
}

bool ClaimInstance(const std::string& name, TInstanceRequestHandler onRequest) {
  if (!ClaimSessionName(name)) return false;
  delete g_onRequest;
  g_onRequest = new TInstanceRequestHandler(std::move(onRequest));
  return true;
}

std::optional<std::string> AskInstance(const std::string& name, const std::string& command, const std::string& body,
                                       int waitMs) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  sockaddr_un addr;
  socklen_t len = AddressOf(name, addr);
  std::optional<std::string> reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0) {
    TDeadline deadline(waitMs);
    std::string request = body.empty() ? command + "\n" : command + " " + std::to_string(body.size()) + "\n" + body;
    if (WriteAll(fd, request, deadline)) reply = ReadLine(fd, deadline);
  }
  close(fd);
  return reply;
}

}  // namespace platform
