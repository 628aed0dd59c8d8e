// The built-in socket library: the Winsock exports the transport binds, with
// Winsock's records, handles, error numbers and behaviour, carried out over BSD
// sockets. Handles are the descriptors themselves; errors are kept per thread as
// Winsock numbers; a send never raises SIGPIPE.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/socketlib.h"

namespace platform {
namespace ws2 {

using namespace platform::winsock;

namespace {

thread_local int lastError = 0;
std::atomic<int> startCount{0};

// Descriptors whose sending side this library shut down: a later send there is
// "shut down", not "reset".
std::mutex shutMutex;
std::set<int> sendShut;

int ErrorFromErrno(int e) {
  switch (e) {
    case EINTR:
      return WSAEINTR_;
    case EBADF:
      return WSAENOTSOCK_;
    case EACCES:
    case EPERM:
      return WSAEACCES_;
    case EFAULT:
      return WSAEFAULT_;
    case EINVAL:
      return WSAEINVAL_;
    case EMFILE:
    case ENFILE:
      return WSAEMFILE_;
    case EAGAIN:
      return WSAEWOULDBLOCK_;
    case EINPROGRESS:
      return WSAEINPROGRESS_;
    case EALREADY:
      return WSAEALREADY_;
    case ENOTSOCK:
      return WSAENOTSOCK_;
    case EDESTADDRREQ:
      return WSAEDESTADDRREQ_;
    case EMSGSIZE:
      return WSAEMSGSIZE_;
    case EPROTOTYPE:
      return WSAEPROTOTYPE_;
    case ENOPROTOOPT:
      return WSAENOPROTOOPT_;
    case EPROTONOSUPPORT:
      return WSAEPROTONOSUPPORT_;
    case ESOCKTNOSUPPORT:
      return WSAESOCKTNOSUPPORT_;
    case EOPNOTSUPP:
      return WSAEOPNOTSUPP_;
    case EPFNOSUPPORT:
      return WSAEPFNOSUPPORT_;
    case EAFNOSUPPORT:
      return WSAEAFNOSUPPORT_;
    case EADDRINUSE:
      return WSAEADDRINUSE_;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL_;
    case ENETDOWN:
      return WSAENETDOWN_;
    case ENETUNREACH:
      return WSAENETUNREACH_;
    case ENETRESET:
      return WSAENETRESET_;
    case ECONNABORTED:
      return WSAECONNABORTED_;
    case ECONNRESET:
      return WSAECONNRESET_;
    case ENOBUFS:
    case ENOMEM:
      return WSAENOBUFS_;
    case EISCONN:
      return WSAEISCONN_;
    case ENOTCONN:
      return WSAENOTCONN_;
    case ESHUTDOWN:
      return WSAESHUTDOWN_;
    case ETOOMANYREFS:
      return WSAETOOMANYREFS_;
    case ETIMEDOUT:
      return WSAETIMEDOUT_;
    case ECONNREFUSED:
      return WSAECONNREFUSED_;
    case ELOOP:
      return WSAELOOP_;
    case ENAMETOOLONG:
      return WSAENAMETOOLONG_;
    case EHOSTDOWN:
      return WSAEHOSTDOWN_;
    case EHOSTUNREACH:
      return WSAEHOSTUNREACH_;
    case ENOTEMPTY:
      return WSAENOTEMPTY_;
    default:
      return WSAEINVAL_;
  }
}

int Fail(int error) {
  lastError = error;
  return SOCKET_ERROR_;
}
int FailErrno() { return Fail(ErrorFromErrno(errno)); }

bool Started() {
  if (startCount.load() > 0) return true;
  lastError = WSANOTINITIALISED_;
  return false;
}

// A handle names a descriptor only when it fits one.
bool ToFd(TSocket s, int& fd) {
  if (s == INVALID_SOCKET_ || s > static_cast<TSocket>(INT32_MAX)) {
    lastError = WSAENOTSOCK_;
    return false;
  }
  fd = static_cast<int>(s);
  return true;
}

bool ToSockaddr(const TSockAddr* name, int length, sockaddr_in& out) {
  if (!name || length < static_cast<int>(sizeof(TSockAddrIn))) {
    lastError = WSAEFAULT_;
    return false;
  }
  TSockAddrIn in;
  std::memcpy(&in, name, sizeof in);
  if (in.sin_family != AF_INET_) {
    lastError = WSAEAFNOSUPPORT_;
    return false;
  }
  std::memset(&out, 0, sizeof out);
  out.sin_family = AF_INET;
  out.sin_port = in.sin_port;
  out.sin_addr.s_addr = in.sin_addr.s_addr;
  return true;
}

// Copies a BSD address into the caller's record; false (WSAEFAULT) when it does not fit.
bool FromSockaddr(const sockaddr_in& in, TSockAddr* name, int* length) {
  if (!name || !length) return true;
  if (*length < static_cast<int>(sizeof(TSockAddrIn))) {
    lastError = WSAEFAULT_;
    return false;
  }
  TSockAddrIn out;
  std::memset(&out, 0, sizeof out);
  out.sin_family = AF_INET_;
  out.sin_port = in.sin_port;
  out.sin_addr.s_addr = in.sin_addr.s_addr;
  std::memcpy(name, &out, sizeof out);
  *length = sizeof out;
  return true;
}

// ---- start-up -------------------------------------------------------------

int TS_WINAPI WSAStartup(uint16_t version, TWSAData* data) {
  const int major = version & 0xFF, minor = version >> 8;
  if (major < 1) return WSAVERNOTSUPPORTED_;
  if (!data) return WSAEFAULT_;
  std::memset(data, 0, sizeof *data);
  data->wVersion = (major > 2 || (major == 2 && minor >= 2)) ? 0x0202 : version;
  data->wHighVersion = 0x0202;
  ++startCount;
  return 0;
}

int TS_WINAPI WSACleanup() {
  int count = startCount.load();
  while (count > 0 && !startCount.compare_exchange_weak(count, count - 1)) {
  }
  if (count <= 0) return Fail(WSANOTINITIALISED_);
  return 0;
}

void TS_WINAPI WSASetLastError(int error) { lastError = error; }
int TS_WINAPI WSAGetLastError() { return lastError; }

// ---- sockets --------------------------------------------------------------

TSocket TS_WINAPI socket_(int family, int type, int protocol) {
  if (!Started()) return INVALID_SOCKET_;
  if (family != AF_INET_) {
    lastError = WSAEAFNOSUPPORT_;
    return INVALID_SOCKET_;
  }
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    FailErrno();
    return INVALID_SOCKET_;
  }
  return static_cast<TSocket>(fd);
}

int TS_WINAPI closesocket_(TSocket s) {
  int fd;
  if (!Started() || !ToFd(s, fd)) return SOCKET_ERROR_;
  // Closing a Winsock handle ends a connect or accept that another thread is
  // blocked in; here only a shutdown wakes those. Other states keep the close
  // as it is (orderly, or abortive with a zero linger).
  tcp_info info{};
  socklen_t infoSize = sizeof info;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &infoSize) == 0 &&
      (info.tcpi_state == TCP_SYN_SENT || info.tcpi_state == TCP_LISTEN))
    ::shutdown(fd, SHUT_RDWR);
  {
    std::lock_guard<std::mutex> lock(shutMutex);
    sendShut.erase(fd);
  }
  if (::close(fd) != 0) return FailErrno();
  return 0;
}

int TS_WINAPI bind_(TSocket s, const TSockAddr* name, int length) {
  int fd;
  sockaddr_in address;
  if (!Started() || !ToFd(s, fd) || !ToSockaddr(name, length, address)) return SOCKET_ERROR_;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return FailErrno();
  return 0;
}

int TS_WINAPI connect_(TSocket s, const TSockAddr* name, int length) {
  int fd;
  sockaddr_in address;
  if (!Started() || !ToFd(s, fd) || !ToSockaddr(name, length, address)) return SOCKET_ERROR_;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return 0;
  if (errno == EINPROGRESS) {
    // Only a non-blocking socket gets here; Winsock calls that "would block".
    return Fail(WSAEWOULDBLOCK_);
  }
  if (errno == EINTR) {
    // The connect goes on in the background: wait for its outcome.
    pollfd p{fd, POLLOUT, 0};
    while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
    if (error == 0) return 0;
    return Fail(ErrorFromErrno(error));
  }
  return FailErrno();
}

int TS_WINAPI listen_(TSocket s, int backlog) {
  int fd;
  if (!Started() || !ToFd(s, fd)) return SOCKET_ERROR_;
  if (::listen(fd, backlog) != 0) return FailErrno();
  return 0;
}

TSocket TS_WINAPI accept_(TSocket s, TSockAddr* name, int* length) {
  int fd;
  if (!Started() || !ToFd(s, fd)) return INVALID_SOCKET_;
  sockaddr_in address;
  socklen_t size = sizeof address;
  int peer;
  do {
    peer = ::accept4(fd, reinterpret_cast<sockaddr*>(&address), &size, SOCK_CLOEXEC);
  } while (peer < 0 && errno == EINTR);
  if (peer < 0) {
    FailErrno();
    return INVALID_SOCKET_;
  }
  if (!FromSockaddr(address, name, length)) {
    ::close(peer);
    return INVALID_SOCKET_;
  }
  return static_cast<TSocket>(peer);
}

int TS_WINAPI getpeername_(TSocket s, TSockAddr* name, int* length) {
  int fd;
  if (!Started() || !ToFd(s, fd)) return SOCKET_ERROR_;
  sockaddr_in address;
  socklen_t size = sizeof address;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return FailErrno();
  return FromSockaddr(address, name, length) ? 0 : SOCKET_ERROR_;
}

int TS_WINAPI getsockname_(TSocket s, TSockAddr* name, int* length) {
  int fd;
  if (!Started() || !ToFd(s, fd)) return SOCKET_ERROR_;
  sockaddr_in address;
  socklen_t size = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return FailErrno();
  // An unbound Winsock socket has no name yet.
  if (address.sin_port == 0 && address.sin_addr.s_addr == 0) return Fail(WSAEINVAL_);
  return FromSockaddr(address, name, length) ? 0 : SOCKET_ERROR_;
}

int TS_WINAPI shutdown_(TSocket s, int how) {
  int fd;
  if (!Started() || !ToFd(s, fd)) return SOCKET_ERROR_;
  int mode = how == SD_RECEIVE_ ? SHUT_RD : how == SD_SEND_ ? SHUT_WR : how == SD_BOTH_ ? SHUT_RDWR : -1;
  if (mode < 0) return Fail(WSAEINVAL_);
  if (::shutdown(fd, mode) != 0) return FailErrno();
  if (mode != SHUT_RD) {
    std::lock_guard<std::mutex> lock(shutMutex);
    sendShut.insert(fd);
  }
  return 0;
}

int TS_WINAPI recv_(TSocket s, char* buffer, int length, int flags) {
  int fd;
  if (!Started() || !ToFd(s, fd)) return SOCKET_ERROR_;
  if (length < 0) return Fail(WSAEFAULT_);
  ssize_t n;
  do {
    n = ::recv(fd, buffer, static_cast<size_t>(length), flags & (MSG_OOB_ | MSG_PEEK_));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return FailErrno();
  return static_cast<int>(n);
}

int TS_WINAPI recvfrom_(TSocket s, char* buffer, int length, int flags, TSockAddr* from, int* fromLength) {
  int fd;
  if (!Started() || !ToFd(s, fd)) return SOCKET_ERROR_;
  if (length < 0) return Fail(WSAEFAULT_);
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  socklen_t size = sizeof address;
  ssize_t n;
  do {
    n = ::recvfrom(fd, buffer, static_cast<size_t>(length), flags & (MSG_OOB_ | MSG_PEEK_),
                   reinterpret_cast<sockaddr*>(&address), &size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return FailErrno();
  if (!FromSockaddr(address, from, fromLength)) return SOCKET_ERROR_;
  return static_cast<int>(n);
}

int SendError(int fd) {
  if (errno == EPIPE) {
    std::lock_guard<std::mutex> lock(shutMutex);
    return Fail(sendShut.count(fd) ? WSAESHUTDOWN_ : WSAECONNRESET_);
  }
  return FailErrno();
}

int TS_WINAPI send_(TSocket s, const char* buffer, int length, int flags) {
  int fd;
  if (!Started() || !ToFd(s, fd)) return SOCKET_ERROR_;
  if (length < 0) return Fail(WSAEFAULT_);
  ssize_t n;
  do {
    n = ::send(fd, buffer, static_cast<size_t>(length), MSG_NOSIGNAL | (flags & MSG_OOB_));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return SendError(fd);
  return static_cast<int>(n);
}

int TS_WINAPI sendto_(TSocket s, const char* buffer, int length, int flags, const TSockAddr* to, int toLength) {
  int fd;
  if (!Started() || !ToFd(s, fd)) return SOCKET_ERROR_;
  if (length < 0) return Fail(WSAEFAULT_);
  ssize_t n;
  if (to) {
    sockaddr_in address;
    if (!ToSockaddr(to, toLength, address)) return SOCKET_ERROR_;
    do {
      n = ::sendto(fd, buffer, static_cast<size_t>(length), MSG_NOSIGNAL | (flags & MSG_OOB_),
                   reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (n < 0 && errno == EINTR);
  } else {
    do {
      n = ::send(fd, buffer, static_cast<size_t>(length), MSG_NOSIGNAL | (flags & MSG_OOB_));
    } while (n < 0 && errno == EINTR);
  }
  if (n < 0) return SendError(fd);
  return static_cast<int>(n);
}

// ---- options --------------------------------------------------------------

bool MapOption(int level, int option, int& bsdLevel, int& bsdOption) {
  if (level == SOL_SOCKET_) {
    bsdLevel = SOL_SOCKET;
    switch (option) {
      case SO_REUSEADDR_:
        bsdOption = SO_REUSEADDR;
        return true;
      case SO_KEEPALIVE_:
        bsdOption = SO_KEEPALIVE;
        return true;
      case 0x20:
        bsdOption = SO_BROADCAST;
        return true;
      case SO_LINGER_:
        bsdOption = SO_LINGER;
        return true;
      case SO_SNDBUF_:
        bsdOption = SO_SNDBUF;
        return true;
      case SO_RCVBUF_:
        bsdOption = SO_RCVBUF;
        return true;
      case 0x1005:
        bsdOption = SO_SNDTIMEO;
        return true;
      case 0x1006:
        bsdOption = SO_RCVTIMEO;
        return true;
      case SO_ERROR_:
        bsdOption = SO_ERROR;
        return true;
      case SO_TYPE_:
        bsdOption = SO_TYPE;
        return true;
      default:
        return false;
    }
  }
  if (level == IPPROTO_TCP_ && option == TCP_NODELAY_) {
    bsdLevel = IPPROTO_TCP;
    bsdOption = TCP_NODELAY;
    return true;
  }
  return false;
}

int TS_WINAPI setsockopt_(TSocket s, int level, int option, const char* value, int length) {
  int fd, bsdLevel, bsdOption;
  if (!Started() || !ToFd(s, fd)) return SOCKET_ERROR_;
  if (!value) return Fail(WSAEFAULT_);
  if (!MapOption(level, option, bsdLevel, bsdOption)) return Fail(WSAENOPROTOOPT_);
  int rc;
  if (bsdOption == SO_LINGER && bsdLevel == SOL_SOCKET) {
    if (length < static_cast<int>(sizeof(TLinger))) return Fail(WSAEFAULT_);
    TLinger in;
    std::memcpy(&in, value, sizeof in);
    linger out{in.l_onoff ? 1 : 0, in.l_linger};
    rc = ::setsockopt(fd, bsdLevel, bsdOption, &out, sizeof out);
  } else if ((bsdOption == SO_SNDTIMEO || bsdOption == SO_RCVTIMEO) && bsdLevel == SOL_SOCKET) {
    if (length < 4) return Fail(WSAEFAULT_);
    uint32_t ms;
    std::memcpy(&ms, value, 4);
    timeval out{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
    rc = ::setsockopt(fd, bsdLevel, bsdOption, &out, sizeof out);
  } else {
    // Winsock takes a boolean or integer option from 1 to 4 bytes.
    if (length < 1) return Fail(WSAEFAULT_);
    int32_t v = 0;
    std::memcpy(&v, value, static_cast<size_t>(std::min(length, 4)));
    if (length < 4) v &= (1 << (length * 8)) - 1;
    rc = ::setsockopt(fd, bsdLevel, bsdOption, &v, sizeof v);
  }
  if (rc != 0) return FailErrno();
  return 0;
}

int TS_WINAPI getsockopt_(TSocket s, int level, int option, char* value, int* length) {
  int fd, bsdLevel, bsdOption;
  if (!Started() || !ToFd(s, fd)) return SOCKET_ERROR_;
  if (!value || !length) return Fail(WSAEFAULT_);
  if (!MapOption(level, option, bsdLevel, bsdOption)) return Fail(WSAENOPROTOOPT_);
  if (bsdOption == SO_LINGER && bsdLevel == SOL_SOCKET) {
    if (*length < static_cast<int>(sizeof(TLinger))) return Fail(WSAEFAULT_);
    linger in{};
    socklen_t size = sizeof in;
    if (::getsockopt(fd, bsdLevel, bsdOption, &in, &size) != 0) return FailErrno();
    TLinger out{static_cast<uint16_t>(in.l_onoff ? 1 : 0), static_cast<uint16_t>(in.l_linger)};
    std::memcpy(value, &out, sizeof out);
    *length = sizeof out;
    return 0;
  }
  if ((bsdOption == SO_SNDTIMEO || bsdOption == SO_RCVTIMEO) && bsdLevel == SOL_SOCKET) {
    if (*length < 4) return Fail(WSAEFAULT_);
    timeval in{};
    socklen_t size = sizeof in;
    if (::getsockopt(fd, bsdLevel, bsdOption, &in, &size) != 0) return FailErrno();
    uint32_t ms = static_cast<uint32_t>(in.tv_sec * 1000 + in.tv_usec / 1000);
    std::memcpy(value, &ms, 4);
    *length = 4;
    return 0;
  }
  if (*length < 1) return Fail(WSAEFAULT_);
  int v = 0;
  socklen_t size = sizeof v;
  if (::getsockopt(fd, bsdLevel, bsdOption, &v, &size) != 0) return FailErrno();
  if (bsdOption == SO_ERROR && bsdLevel == SOL_SOCKET && v != 0) v = ErrorFromErrno(v);
  if (bsdOption == TCP_NODELAY && bsdLevel == IPPROTO_TCP) v = v ? 1 : 0;
  int n = std::min(*length, 4);
  std::memcpy(value, &v, static_cast<size_t>(n));
  *length = n;
  return 0;
}

int TS_WINAPI ioctlsocket_(TSocket s, int32_t command, uint32_t* argument) {
  int fd;
  if (!Started() || !ToFd(s, fd)) return SOCKET_ERROR_;
  if (!argument) return Fail(WSAEFAULT_);
  if (command == FIONBIO_) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return FailErrno();
    flags = *argument ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (::fcntl(fd, F_SETFL, flags) != 0) return FailErrno();
    return 0;
  }
  if (command == FIONREAD_) {
    int available = 0;
    if (::ioctl(fd, FIONREAD, &available) != 0) return FailErrno();
    *argument = static_cast<uint32_t>(available);
    return 0;
  }
  return Fail(WSAEINVAL_);
}

// ---- readiness --------------------------------------------------------------

int TS_WINAPI select_(int /*nfds*/, TFDSet* readSet, TFDSet* writeSet, TFDSet* exceptSet, const TTimeVal* timeout) {
  if (!Started()) return SOCKET_ERROR_;
  TFDSet* sets[3] = {readSet, writeSet, exceptSet};
  std::vector<pollfd> polls;
  std::map<int, size_t> index;
  for (int i = 0; i < 3; ++i) {
    if (!sets[i]) continue;
    if (sets[i]->fd_count > static_cast<uint32_t>(FD_SETSIZE_)) return Fail(WSAEINVAL_);
    for (uint32_t k = 0; k < sets[i]->fd_count; ++k) {
      int fd;
      if (!ToFd(sets[i]->fd_array[k], fd)) return SOCKET_ERROR_;
      auto it = index.find(fd);
      if (it == index.end()) {
        it = index.emplace(fd, polls.size()).first;
        polls.push_back(pollfd{fd, 0, 0});
      }
      polls[it->second].events |= static_cast<short>(i == 0 ? POLLIN : i == 1 ? POLLOUT : POLLPRI);
    }
  }
  // Winsock refuses a wait on nothing.
  if (polls.empty()) return Fail(WSAEINVAL_);
  int64_t waitMs = -1;
  if (timeout) {
    int64_t usec = std::max<int64_t>(timeout->tv_usec, 0);
    waitMs = std::max<int64_t>(timeout->tv_sec, 0) * 1000 + (usec + 999) / 1000;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max<int64_t>(waitMs, 0));
  int rc;
  for (;;) {
    int wait = -1;
    if (waitMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      wait = static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT32_MAX));
    }
    rc = ::poll(polls.data(), polls.size(), wait);
    if (rc >= 0 || errno != EINTR) break;
  }
  if (rc < 0) return FailErrno();
  for (const pollfd& p : polls)
    if (p.revents & POLLNVAL) return Fail(WSAENOTSOCK_);
  int ready = 0;
  for (int i = 0; i < 3; ++i) {
    if (!sets[i]) continue;
    uint32_t kept = 0;
    for (uint32_t k = 0; k < sets[i]->fd_count; ++k) {
      const pollfd& p = polls[index[static_cast<int>(sets[i]->fd_array[k])]];
      short mask = i == 0 ? (POLLIN | POLLHUP | POLLERR) : i == 1 ? (POLLOUT | POLLERR) : (POLLPRI | POLLERR);
      // A socket still connecting reports POLLHUP before it has any peer;
      // Winsock only calls it readable once there is something to read or a close.
      if (p.revents & mask) sets[i]->fd_array[kept++] = sets[i]->fd_array[k];
    }
    sets[i]->fd_count = kept;
    ready += static_cast<int>(kept);
  }
  return ready;
}

int TS_WINAPI WSAFDIsSet(TSocket s, TFDSet* set) {
  if (!set) return 0;
  for (uint32_t k = 0; k < set->fd_count && k < static_cast<uint32_t>(FD_SETSIZE_); ++k)
    if (set->fd_array[k] == s) return 1;
  return 0;
}

// ---- byte order and address text ----------------------------------------------

uint32_t TS_WINAPI htonl_(uint32_t v) { return htonl(v); }
uint16_t TS_WINAPI htons_(uint16_t v) { return htons(v); }
uint32_t TS_WINAPI ntohl_(uint32_t v) { return ntohl(v); }
uint16_t TS_WINAPI ntohs_(uint16_t v) { return ntohs(v); }

uint32_t TS_WINAPI inet_addr_(const char* text) {
  if (!text) return INADDR_NONE;
  in_addr address;
  // Winsock reads the same shapes as inet_aton: a, a.b, a.b.c, a.b.c.d, in
  // decimal, octal or hexadecimal.
  if (::inet_aton(text, &address) == 0) return INADDR_NONE;
  return address.s_addr;
}

char* TS_WINAPI inet_ntoa_(TInAddr address) {
  thread_local char text[16];
  const auto* b = reinterpret_cast<const unsigned char*>(&address.s_addr);
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

// ---- names ----------------------------------------------------------------------

// Result records live per thread until the thread's next call of the same kind.
struct THostResult {
  THostEnt entry{};
  std::string name;
  std::vector<std::string> aliases;
  std::vector<char*> aliasPointers;
  std::vector<std::array<char, 4>> addresses;
  std::vector<char*> addressPointers;

  THostEnt* Build() {
    aliasPointers.clear();
    for (std::string& alias : aliases) aliasPointers.push_back(alias.data());
    aliasPointers.push_back(nullptr);
    addressPointers.clear();
    for (auto& address : addresses) addressPointers.push_back(address.data());
    addressPointers.push_back(nullptr);
    entry.h_name = name.data();
    entry.h_aliases = aliasPointers.data();
    entry.h_addrtype = AF_INET_;
    entry.h_length = 4;
    entry.h_addr_list = addressPointers.data();
    return &entry;
  }
};

int ErrorFromLookup(int e) {
  switch (e) {
    case EAI_NONAME:
      return WSAHOST_NOT_FOUND_;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return WSANO_DATA_;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      return WSANO_DATA_;
#endif
    case EAI_AGAIN:
      return WSATRY_AGAIN_;
    case EAI_MEMORY:
      return WSAENOBUFS_;
    case EAI_SYSTEM:
      return ErrorFromErrno(errno);
    default:
      return WSANO_RECOVERY_;
  }
}

THostEnt* TS_WINAPI gethostbyname_(const char* name) {
  if (!Started()) return nullptr;
  thread_local THostResult result;
  char local[256];
  if (!name || !*name) {
    if (::gethostname(local, sizeof local) != 0) {
      FailErrno();
      return nullptr;
    }
    local[sizeof local - 1] = 0;
    name = local;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(name, nullptr, &hints, &list);
  if (rc != 0) {
    lastError = ErrorFromLookup(rc);
    return nullptr;
  }
  result.name = list->ai_canonname ? list->ai_canonname : name;
  result.aliases.clear();
  result.addresses.clear();
  for (addrinfo* a = list; a; a = a->ai_next) {
    if (a->ai_family != AF_INET) continue;
    std::array<char, 4> bytes;
    std::memcpy(bytes.data(), &reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr, 4);
    if (std::find(result.addresses.begin(), result.addresses.end(), bytes) == result.addresses.end())
      result.addresses.push_back(bytes);
  }
  ::freeaddrinfo(list);
  if (result.addresses.empty()) {
    lastError = WSANO_DATA_;
    return nullptr;
  }
  return result.Build();
}

THostEnt* TS_WINAPI gethostbyaddr_(const char* address, int length, int type) {
  if (!Started()) return nullptr;
  if (!address || length < 4) {
    lastError = WSAEFAULT_;
    return nullptr;
  }
  if (type != AF_INET_) {
    lastError = WSAEAFNOSUPPORT_;
    return nullptr;
  }
  thread_local THostResult result;
  sockaddr_in in{};
  in.sin_family = AF_INET;
  std::memcpy(&in.sin_addr, address, 4);
  char host[NI_MAXHOST];
  int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&in), sizeof in, host, sizeof host, nullptr, 0, NI_NAMEREQD);
  if (rc != 0) {
    lastError = ErrorFromLookup(rc);
    return nullptr;
  }
  result.name = host;
  result.aliases.clear();
  result.addresses.assign(1, std::array<char, 4>{address[0], address[1], address[2], address[3]});
  return result.Build();
}

int TS_WINAPI gethostname_(char* name, int length) {
  if (!Started()) return SOCKET_ERROR_;
  if (!name || length <= 0) return Fail(WSAEFAULT_);
  char local[256];
  if (::gethostname(local, sizeof local) != 0) return FailErrno();
  local[sizeof local - 1] = 0;
  size_t n = std::strlen(local);
  if (n + 1 > static_cast<size_t>(length)) return Fail(WSAEFAULT_);
  std::memcpy(name, local, n + 1);
  return 0;
}

struct TServResult {
  TServEnt entry{};
  std::string name, proto;
  std::vector<std::string> aliases;
  std::vector<char*> aliasPointers;

  TServEnt* Build(const servent& s) {
    name = s.s_name ? s.s_name : "";
    proto = s.s_proto ? s.s_proto : "";
    aliases.clear();
    for (char** a = s.s_aliases; a && *a; ++a) aliases.push_back(*a);
    aliasPointers.clear();
    for (std::string& alias : aliases) aliasPointers.push_back(alias.data());
    aliasPointers.push_back(nullptr);
    entry.s_name = name.data();
    entry.s_aliases = aliasPointers.data();
    entry.s_proto = proto.data();
    entry.s_port = static_cast<int16_t>(s.s_port);
    return &entry;
  }
};

TServEnt* TS_WINAPI getservbyname_(const char* name, const char* proto) {
  if (!Started()) return nullptr;
  thread_local TServResult result;
  if (!name) {
    lastError = WSAEFAULT_;
    return nullptr;
  }
  servent entry;
  servent* found = nullptr;
  char buffer[4096];
  if (::getservbyname_r(name, proto, &entry, buffer, sizeof buffer, &found) != 0 || !found) {
    lastError = WSANO_DATA_;
    return nullptr;
  }
  return result.Build(*found);
}

TServEnt* TS_WINAPI getservbyport_(int port, const char* proto) {
  if (!Started()) return nullptr;
  thread_local TServResult result;
  servent entry;
  servent* found = nullptr;
  char buffer[4096];
  if (::getservbyport_r(port, proto, &entry, buffer, sizeof buffer, &found) != 0 || !found) {
    lastError = WSANO_DATA_;
    return nullptr;
  }
  return result.Build(*found);
}

struct TProtoResult {
  TProtoEnt entry{};
  std::string name;
  std::vector<std::string> aliases;
  std::vector<char*> aliasPointers;

  TProtoEnt* Build(const protoent& p) {
    name = p.p_name ? p.p_name : "";
    aliases.clear();
    for (char** a = p.p_aliases; a && *a; ++a) aliases.push_back(*a);
    aliasPointers.clear();
    for (std::string& alias : aliases) aliasPointers.push_back(alias.data());
    aliasPointers.push_back(nullptr);
    entry.p_name = name.data();
    entry.p_aliases = aliasPointers.data();
    entry.p_proto = static_cast<int16_t>(p.p_proto);
    return &entry;
  }
};

TProtoEnt* TS_WINAPI getprotobyname_(const char* name) {
  if (!Started()) return nullptr;
  thread_local TProtoResult result;
  protoent entry;
  protoent* found = nullptr;
  char buffer[1024];
  if (!name || ::getprotobyname_r(name, &entry, buffer, sizeof buffer, &found) != 0 || !found) {
    lastError = WSANO_DATA_;
    return nullptr;
  }
  return result.Build(*found);
}

TProtoEnt* TS_WINAPI getprotobynumber_(int number) {
  if (!Started()) return nullptr;
  thread_local TProtoResult result;
  protoent entry;
  protoent* found = nullptr;
  char buffer[1024];
  if (::getprotobynumber_r(number, &entry, buffer, sizeof buffer, &found) != 0 || !found) {
    lastError = WSANO_DATA_;
    return nullptr;
  }
  return result.Build(*found);
}

struct TExport {
  const char* name;
  void* address;
};

#define TS_EXPORT(name, fn) \
  { (name), reinterpret_cast<void*>(&(fn)) }
const TExport exports[] = {
    TS_EXPORT("WSAStartup", WSAStartup),
    TS_EXPORT("WSACleanup", WSACleanup),
    TS_EXPORT("WSASetLastError", WSASetLastError),
    TS_EXPORT("WSAGetLastError", WSAGetLastError),
    TS_EXPORT("socket", socket_),
    TS_EXPORT("closesocket", closesocket_),
    TS_EXPORT("bind", bind_),
    TS_EXPORT("connect", connect_),
    TS_EXPORT("listen", listen_),
    TS_EXPORT("accept", accept_),
    TS_EXPORT("getpeername", getpeername_),
    TS_EXPORT("getsockname", getsockname_),
    TS_EXPORT("shutdown", shutdown_),
    TS_EXPORT("recv", recv_),
    TS_EXPORT("recvfrom", recvfrom_),
    TS_EXPORT("send", send_),
    TS_EXPORT("sendto", sendto_),
    TS_EXPORT("setsockopt", setsockopt_),
    TS_EXPORT("getsockopt", getsockopt_),
    TS_EXPORT("ioctlsocket", ioctlsocket_),
    TS_EXPORT("select", select_),
    TS_EXPORT("__WSAFDIsSet", WSAFDIsSet),
    TS_EXPORT("htonl", htonl_),
    TS_EXPORT("htons", htons_),
    TS_EXPORT("ntohl", ntohl_),
    TS_EXPORT("ntohs", ntohs_),
    TS_EXPORT("inet_addr", inet_addr_),
    TS_EXPORT("inet_ntoa", inet_ntoa_),
    TS_EXPORT("gethostbyname", gethostbyname_),
    TS_EXPORT("gethostbyaddr", gethostbyaddr_),
    TS_EXPORT("gethostname", gethostname_),
    TS_EXPORT("getservbyname", getservbyname_),
    TS_EXPORT("getservbyport", getservbyport_),
    TS_EXPORT("getprotobyname", getprotobyname_),
    TS_EXPORT("getprotobynumber", getprotobynumber_),
};
#undef TS_EXPORT

}  // namespace

void* FindExport(const char* name) {
  for (const TExport& e : exports)
    if (std::strcmp(e.name, name) == 0) return e.address;
  return nullptr;
}

}  // namespace ws2
}  // namespace platform
