// The loopback ceiling: HTTP/1.1 GETs over one plain socket with a bare recv
// loop (the head is found, Content-Length read, the body counted and dropped).
// What a client that does nothing else could reach on this machine.
//
//   recv_ceiling PORT PATH [REPEAT] [BUFFER]
// prints "seconds bytes" for REPEAT sequential GETs of PATH on one connection.
// The same loop builds for Windows, where it shows what Wine's own socket
// layer costs before any of our code runs.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#define strcasestr StrCaseStr
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const char* what) {
  std::perror(what);
  std::exit(1);
}

#ifdef _WIN32
const char* StrCaseStr(const char* hay, const char* needle) {
  for (; *hay; ++hay) {
    size_t i = 0;
    while (needle[i] &&
           std::tolower(static_cast<unsigned char>(hay[i])) == std::tolower(static_cast<unsigned char>(needle[i])))
      ++i;
    if (!needle[i]) return hay;
  }
  return nullptr;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s PORT PATH [REPEAT] [BUFFER]\n", argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const std::string path = argv[2];
  const long repeat = argc > 3 ? std::atol(argv[3]) : 1;
  const size_t bufferSize = argc > 4 ? static_cast<size_t>(std::atol(argv[4])) : 128 * 1024;

  const auto start = std::chrono::steady_clock::now();
#ifdef _WIN32
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) Fail("WSAStartup");
  SOCKET fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd == INVALID_SOCKET) Fail("socket");
#else
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) Fail("socket");
#endif
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Fail("connect");

  const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
  std::vector<char> buffer(bufferSize);
  std::string pending;  // bytes received beyond the current response
  long long total = 0;
  for (long r = 0; r < repeat; ++r) {
    if (send(fd, request.data(), static_cast<int>(request.size()), 0) != static_cast<ssize_t>(request.size()))
      Fail("send");
    std::string head = pending;
    pending.clear();
    size_t end;
    while ((end = head.find("\r\n\r\n")) == std::string::npos) {
      ssize_t n = recv(fd, buffer.data(), static_cast<int>(buffer.size()), 0);
      if (n <= 0) Fail("recv head");
      head.append(buffer.data(), static_cast<size_t>(n));
    }
    const char* length = strcasestr(head.c_str(), "\r\nContent-Length:");
    if (!length || length > head.c_str() + end) Fail("no Content-Length");
    long long remaining = std::atoll(length + 17);
    long long already = static_cast<long long>(head.size() - (end + 4));
    if (already > remaining) {
      pending = head.substr(end + 4 + static_cast<size_t>(remaining));
      already = remaining;
    }
    total += already;
    remaining -= already;
    while (remaining > 0) {
      ssize_t n = recv(fd, buffer.data(), static_cast<int>(buffer.size()), 0);
      if (n <= 0) Fail("recv body");
      long long got = n;
      if (got > remaining) {
        pending.assign(buffer.data() + remaining, static_cast<size_t>(got - remaining));
        got = remaining;
      }
      total += got;
      remaining -= got;
    }
  }
#ifdef _WIN32
  closesocket(fd);
#else
  close(fd);
#endif
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.6f %lld\n", seconds, total);
  return 0;
}
