// One instance per session: the instance listens on an abstract local socket
// named after the user and the display, so a second start finds it without a
// file to clean up, and a crashed instance leaves nothing behind. Later
// starts talk to it over that socket (a window handle means nothing to
// another process here).
#include "platform/session.h"

#include <map>

#include <glib-unix.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

// One line, or what arrived within `ms`.
std::string ReadLine(int fd, int ms) {
  std::string line;
  char c;
  pollfd p{fd, POLLIN, 0};
  while (line.size() < 256 && poll(&p, 1, ms) > 0 && read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

std::function<void(const std::string&)>* g_onRequest = nullptr;

gboolean OnConnection(gint listener, GIOCondition, gpointer) {
  int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return G_SOURCE_CONTINUE;
  std::string request = ReadLine(fd, 2000);
  const char reply[] = "ok\n";
  (void)!write(fd, reply, sizeof reply - 1);
  close(fd);
  if (!request.empty() && g_onRequest && *g_onRequest) (*g_onRequest)(request);
  return G_SOURCE_CONTINUE;
}

}  // namespace

bool DesktopAvailable() { return desktop::HaveDisplay(); }

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

bool ClaimInstance(const std::string& name, std::function<void(const std::string& request)> onRequest) {
  if (!ClaimSessionName(name)) return false;
  delete g_onRequest;
  g_onRequest = new std::function<void(const std::string&)>(std::move(onRequest));
  return true;
}

bool SendToInstance(const std::string& name, const std::string& request) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr;
  socklen_t len = AddressOf(name, addr);
  bool ok = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0) {
    std::string line = request + "\n";
    ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && ReadLine(fd, 5000) == "ok";
  }
  close(fd);
  return ok;
}

}  // namespace platform
