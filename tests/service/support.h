// Driving the service the way the snap client does, and as hostile clients do:
// the client's own form encoding and note document (from the client's code,
// not a copy of it), the real server executable, raw sockets from any loopback
// address, and the server's peak memory.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/protocol.h"
#include "http/uri.h"
#include "tests/support/process.h"

namespace pinleaf::test {

// One form value as the client escapes it.
inline std::string ClientEncode(std::string_view value) { return ts::TNetURI::EncodeParamValue(value); }

// The client's login: two lines, values escaped, joined by "&".
inline std::string LoginBody(std::string_view id, std::string_view password) {
  return "data[User][username]=" + ClientEncode(id) + "&data[User][password]=" + ClientEncode(password);
}

// The client's note document; the paper ID is built from the 17 digits given.
inline std::string NoteDocument(std::string_view text, std::string_view paper_id = "20261208143405123") {
  auto digits = [&](size_t at, size_t n) { return std::atoi(std::string(paper_id.substr(at, n)).c_str()); };
  platform::LocalTime t;
  t.year = digits(0, 4);
  t.month = digits(4, 2);
  t.day = digits(6, 2);
  t.hour = digits(8, 2);
  t.minute = digits(10, 2);
  t.second = digits(12, 2);
  t.milliseconds = digits(14, 3);
  return ts::BuildNoteDocument(std::string(text), t);
}

inline std::string UploadBody(std::string_view document) { return "data[Param][xmldata]=" + ClientEncode(document); }

// A TCP connection to the loopback server from `source` (any 127.x.y.z, so
// that tests can play several client addresses). -1 when it cannot connect.
inline int Connect(int port, const char* source = "127.0.0.1") {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, source, &local.sin_addr);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Whether the answer's announced length is in.
inline bool AnswerComplete(const std::string& answer) {
  size_t head = answer.find("\r\n\r\n"), length = answer.find("Content-Length: ");
  return head != std::string::npos && length != std::string::npos && length < head &&
         answer.size() >= head + 4 + std::stoul(answer.substr(length + 16));
}

// Reads until the peer closes, the answer's announced length is in, or
// `timeout_ms` passes without a byte.
inline std::string ReadAnswer(int fd, int timeout_ms = 10000) {
  std::string answer;
  char buffer[8192];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) break;
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
    if (AnswerComplete(answer)) break;
  }
  return answer;
}

// Sends bytes as they are and reads the answer.
inline std::string Exchange(int port, const std::string& request, const char* source = "127.0.0.1") {
  int fd = Connect(port, source);
  if (fd < 0) return {};
  std::string answer = SendAll(fd, request) ? ReadAnswer(fd) : std::string();
  close(fd);
  return answer;
}

// The same over TLS (the server's certificate is not checked: it is the
// test's own); "" when the handshake fails. An empty request sends nothing
// and waits for what the server says.
inline std::string TLSExchange(int port, const std::string& request, const char* source = "127.0.0.1") {
  static SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  int fd = Connect(port, source);
  if (fd < 0) return {};
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  std::string answer;
  if (SSL_connect(ssl) == 1 &&
      (request.empty() || SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0)) {
    char buffer[8192];
    int n;
    while (!AnswerComplete(answer) && (n = SSL_read(ssl, buffer, sizeof buffer)) > 0)
      answer.append(buffer, static_cast<size_t>(n));
  }
  SSL_free(ssl);
  close(fd);
  return answer;
}

// "HTTP/1.1 200 OK ..." → 200; 0 for no answer.
inline int StatusOf(const std::string& answer) {
  return answer.rfind("HTTP/1.", 0) == 0 && answer.size() > 12 ? std::atoi(answer.c_str() + 9) : 0;
}

inline std::string HeaderOf(const std::string& answer, const std::string& name) {
  size_t at = answer.find("\r\n" + name + ": ");
  if (at == std::string::npos || at > answer.find("\r\n\r\n")) return {};
  at += name.size() + 4;
  return answer.substr(at, answer.find("\r\n", at) - at);
}

inline std::string BodyOf(const std::string& answer) {
  size_t head = answer.find("\r\n\r\n");
  return head == std::string::npos ? std::string() : answer.substr(head + 4);
}

// A POST of a form body with the headers given (each ending in "\r\n").
inline std::string FormPost(const std::string& path, const std::string& body, const std::string& headers = "") {
  return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n" +
         headers + "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

inline std::string Get(const std::string& path, const std::string& headers = "") {
  return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "Connection: close\r\n\r\n";
}

// The real pinleaf-server, started with `args`; standard input carries
// `input` (the passwords of --add-user), standard output is read for its
// start-up line and standard error goes to a file.
class ServerProcess {
public:
  explicit ServerProcess(std::vector<std::string> args, const std::string& input = "") {
    static int serial = 0;
    args.insert(args.begin(), PINLEAF_SERVER_EXE);
    process_.Start(args, "/tmp/pinleaf-test-" + std::to_string(getpid()) + "-" + std::to_string(++serial) + ".log",
                   {input, true});
  }
  ~ServerProcess() {
    process_.Stop(SIGKILL);
    std::remove(process_.LogPath().c_str());
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // The first line the server prints, or "" if none comes in time.
  std::string FirstLine() { return process_.ReadLine(20000); }
  // Waits for the start-up line; the port, or -1.
  int Port() {
    if (port_ < 0) {
      std::string line = FirstLine();
      size_t at = line.find("://");  // http or https
      if (at == std::string::npos) return -1;
      size_t colon = line.find(':', at + 3);
      port_ = colon == std::string::npos ? -1 : std::atoi(line.c_str() + colon + 1);
    }
    return port_;
  }

  // Exit code after a signal (or after exiting on its own), -1 if it does not end in time.
  int Finish(int signal_number) {
    process_.Signal(signal_number);
    return process_.Wait(20000);
  }

  // A line of /proc/PID/status in KiB ("VmHWM" is the peak resident size).
  long StatusKiB(const std::string& field) const {
    std::ifstream status("/proc/" + std::to_string(process_.Pid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    }
    return -1;
  }
  long PeakKiB() const { return StatusKiB("VmHWM"); }
  // Starts the peak afresh from the present size, so that an earlier password
  // hash (64 MiB for a moment) does not hide what comes after.
  void ResetPeak() const { std::ofstream("/proc/" + std::to_string(process_.Pid()) + "/clear_refs") << "5"; }

  // Everything the server wrote to standard error so far.
  std::string Log() const { return process_.Output(); }

private:
  testprocess::TProcess process_;
  int port_ = -1;
};

}  // namespace pinleaf::test
