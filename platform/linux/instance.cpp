// One instance per session: the instance holds a lock on a file in a folder
// only its user may enter ($XDG_RUNTIME_DIR, else a folder of its own under
// $TMPDIR or /tmp, its owner and mode checked) and listens on a socket file
// beside it, both named after the display. Later starts talk to it over that
// socket (a window handle means nothing to another process here): a command
// line, with a body of bytes when it carries data, and one line of answer
// once the instance has dealt with it. Both ends check that the other is a
// process of the same user, so no other user of the machine can keep a
// start from running, make it snap, or receive the notes handed to it.
#include <fcntl.h>
#include <glib-unix.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>

#include "platform/instance.h"

namespace platform {

namespace {

// A folder of ours that no one else may enter or change: not a link, owned
// by this user, no access for group or others.
bool Private(const std::string& folder, std::string& why) {
  struct stat st;
  if (lstat(folder.c_str(), &st) != 0) {
    why = folder + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode))
    why = folder + " is not a folder";
  else if (st.st_uid != getuid())
    why = folder + " belongs to another user";
  else if ((st.st_mode & 077) != 0)
    why = folder + " is open to other users";
  else
    return true;
  return false;
}

// Where the session's instance keeps its lock and socket; nothing (and why)
// when there is no such folder.
std::optional<std::string> InstanceFolder(std::string& why) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/' && Private(runtime, why)) return std::string(runtime);
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = std::string(tmp && tmp[0] == '/' ? tmp : "/tmp") + "/textsnap-" + std::to_string(getuid());
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    why = folder + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (!Private(folder, why)) return std::nullopt;
  return folder;
}

// The lock and the socket of the instance `name` in this session (its display).
struct TPlace {
  std::string lock;
  sockaddr_un address{};
  socklen_t length = 0;
};

std::optional<TPlace> PlaceOf(const std::string& name, std::string& why) {
  std::optional<std::string> folder = InstanceFolder(why);
  if (!folder) return std::nullopt;
  const char* display = std::getenv("WAYLAND_DISPLAY");
  if (!display || !*display) display = std::getenv("DISPLAY");
  std::string session = display ? display : "";
  std::replace(session.begin(), session.end(), '/', '_');
  const std::string base = *folder + "/" + name + "-" + session;
  TPlace place;
  place.lock = base + ".lock";
  const std::string socket = base + ".socket";
  if (socket.size() >= sizeof place.address.sun_path) {
    why = socket + ": the path is too long for a socket";
    return std::nullopt;
  }
  place.address.sun_family = AF_UNIX;
  std::memcpy(place.address.sun_path, socket.c_str(), socket.size() + 1);
  place.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket.size() + 1);
  return place;
}

// A process of this user at the other end of a connected socket.
bool OwnUser(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == getuid();
}

// The lock the running instance holds (an open-file lock: it goes with the
// process, however it ends, and a query takes nothing).
flock WholeFile(short type) {
  flock whole{};
  whole.l_type = type;
  whole.l_whence = SEEK_SET;
  return whole;
}
bool HeldByAnother(const std::string& lock) {
  int fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  flock query = WholeFile(F_WRLCK);
  const bool held = fcntl(fd, F_OFD_GETLK, &query) == 0 && query.l_type != F_UNLCK;
  close(fd);
  return held;
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
  // Only the user's own programs may make this one snap or keep notes for
  // the account (the folder already keeps others out).
  if (!OwnUser(fd)) {
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

// Listens at the place whose lock this process holds; a socket file left by
// an instance that crashed is replaced.
bool Listen(const TPlace& place, std::string& why) {
  unlink(place.address.sun_path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&place.address), place.length) != 0 || listen(fd, 16) != 0) {
    why = std::string(place.address.sun_path) + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  g_unix_fd_add(fd, G_IO_IN, OnConnection, nullptr);
  return true;
}

}  // namespace

bool ClaimInstance(const std::string& name, TInstanceRequestHandler onRequest) {
  static std::set<std::string> claimed;
  if (!claimed.insert(name).second) return false;  // ours already
  delete g_onRequest;
  g_onRequest = new TInstanceRequestHandler(std::move(onRequest));
  std::string why;
  std::optional<TPlace> place = PlaceOf(name, why);
  if (place) {
    int fd = open(place->lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    flock whole = WholeFile(F_WRLCK);
    if (fd >= 0 && fcntl(fd, F_OFD_SETLK, &whole) != 0) {
      const bool taken = errno == EAGAIN || errno == EACCES;
      close(fd);
      if (taken) return false;
      fd = -1;
    }
    if (fd < 0) {
      why = place->lock + ": " + std::strerror(errno);
    } else if (Listen(*place, why)) {
      return true;  // the lock stays held for the life of the process
    } else {
      close(fd);  // later starts are not to wait for a socket that will not come
    }
  }
  // Nothing to coordinate with: run all the same, and say what later starts will miss.
  std::fprintf(stderr, "textsnap: %s; a later start will not find this one\n", why.c_str());
  return true;
}

std::optional<std::string> AskInstance(const std::string& name, const std::string& command, const std::string& body,
                                       int waitMs) {
  std::string why;
  std::optional<TPlace> place = PlaceOf(name, why);
  if (!place) return std::nullopt;
  TDeadline deadline(waitMs);
  for (;;) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&place->address), place->length) == 0) {
      std::optional<std::string> reply;
      // Never a note, nor a start given up, for a process of another user.
      if (OwnUser(fd)) {
        std::string request = body.empty() ? command + "\n" : command + " " + std::to_string(body.size()) + "\n" + body;
        if (WriteAll(fd, request, deadline)) reply = ReadLine(fd, deadline);
      }
      close(fd);
      return reply;
    }
    close(fd);
    // The running one may still be starting: it holds the lock before it listens.
    if (!HeldByAnother(place->lock) || deadline.Left() == 0) return std::nullopt;
    poll(nullptr, 0, std::min(50, deadline.Left()));
  }
}

}  // namespace platform
