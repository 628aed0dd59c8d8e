// A TLS server that does what an ordinary server does not, for the TLS suite:
//   tls_peer PORT CERT KEY MAX_VERSION(1.2|1.3) [CERT2 KEY2]
// serves one connection after another on 127.0.0.1:PORT, reads one request
// head and acts on its path:
//   /cut         an HTTP/1.0 answer without a length, then the socket closed
//                without the session's end (close_notify)
//   /whole       the same answer, ended properly
//   /keyupdate   a TLS 1.3 key update that asks the client for its own; the
//                answer says whether it came within three seconds
//   /renegotiate a TLS 1.2 renegotiation request; what the client did is kept
//                for /report: "refused" (its no_renegotiation alert),
//                "renegotiated" (a new ClientHello) or "ignored"
//   /report      the last /renegotiate's outcome
//   /swap-next   the next connection is served as by a restarted server with
//                the second certificate: a context of its own, so neither
//                the certificate nor the ticket keys of the first; the one
//                after it is served as before
// Sessions are resumed with the context's own tickets (and TLS 1.2 ids).
// It prints "listening" once the port is bound and runs until killed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Seen {
  int clientHellos = 0;
  bool keyUpdate = false;
  bool noRenegotiation = false;
};

void Watch(int writing, int, int contentType, const void* buffer, size_t length, SSL* ssl, void*) {
  auto* seen = static_cast<Seen*>(SSL_get_app_data(ssl));
  if (!seen || writing || length == 0) return;
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  if (contentType == SSL3_RT_HANDSHAKE && bytes[0] == SSL3_MT_CLIENT_HELLO) ++seen->clientHellos;
  if (contentType == SSL3_RT_HANDSHAKE && bytes[0] == SSL3_MT_KEY_UPDATE) seen->keyUpdate = true;
  if (contentType == SSL3_RT_ALERT && length >= 2 && bytes[1] == SSL_AD_NO_RENEGOTIATION) seen->noRenegotiation = true;
}

void SetBlocking(int fd, bool blocking) {
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

// Lets the session read (and so react to handshake messages) for up to
// `ms`, until `done` says it has seen enough.
template <class Done>
void ReadFor(SSL* ssl, int fd, int ms, Done done) {
  SetBlocking(fd, false);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  char scratch[4096];
  while (!done() && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    int n = SSL_read(ssl, scratch, sizeof scratch);
    if (n <= 0) {
      int error = SSL_get_error(ssl, n);
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) break;
    }
  }
  ERR_clear_error();
  SetBlocking(fd, true);
}

bool SendAll(SSL* ssl, const std::string& text) {
  return SSL_write(ssl, text.data(), static_cast<int>(text.size())) == static_cast<int>(text.size());
}

std::string Answer(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

void Serve(SSL_CTX* context, int fd, std::string& outcome, bool& swapNext) {
  Seen seen;
  SSL* ssl = SSL_new(context);
  SSL_set_fd(ssl, fd);
  SSL_set_app_data(ssl, &seen);
  SSL_set_msg_callback(ssl, Watch);
  if (SSL_accept(ssl) != 1) {
    SSL_free(ssl);
    return;
  }
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    int n = SSL_read(ssl, buffer, sizeof buffer);
    if (n <= 0) break;
    request.append(buffer, static_cast<size_t>(n));
  }
  if (request.size() < 5) {
    // The client went away (a refused certificate) before its request.
    SSL_free(ssl);
    return;
  }
  const std::string path = request.substr(4, request.find(' ', 4) - 4);
  bool closeNotify = true;
  if (path == "/cut" || path == "/whole") {
    SendAll(ssl, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nthe whole body");
    closeNotify = path == "/whole";
  } else if (path == "/keyupdate") {
    if (SSL_version(ssl) != TLS1_3_VERSION) {
      SendAll(ssl, Answer("no TLS 1.3"));
    } else {
      SSL_key_update(ssl, SSL_KEY_UPDATE_REQUESTED);
      SSL_do_handshake(ssl);  // sends it now
      ReadFor(ssl, fd, 3000, [&] { return seen.keyUpdate; });
      SendAll(ssl, Answer(seen.keyUpdate ? "key update answered" : "no key update"));
    }
  } else if (path == "/renegotiate") {
    SSL_renegotiate(ssl);
    SSL_do_handshake(ssl);  // the HelloRequest
    ReadFor(ssl, fd, 3000, [&] { return seen.noRenegotiation || seen.clientHellos > 1; });
    outcome = seen.noRenegotiation ? "refused" : seen.clientHellos > 1 ? "renegotiated" : "ignored";
    closeNotify = SendAll(ssl, Answer("after renegotiation: " + outcome));
  } else if (path == "/swap-next") {
    swapNext = true;
    SendAll(ssl, Answer(SSL_session_reused(ssl) ? "swapping, resumed" : "swapping"));
  } else if (path == "/report") {
    SendAll(ssl, Answer(outcome));
  } else if (path == "/resumed") {
    SendAll(ssl, Answer(SSL_session_reused(ssl) ? "resumed" : "full handshake"));
  } else {
    SendAll(ssl, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  }
  if (closeNotify) SSL_shutdown(ssl);
  ERR_clear_error();
  SSL_free(ssl);
}

}  // namespace

SSL_CTX* Context(const char* cert, const char* key, const char* version) {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  SSL_CTX_set_max_proto_version(context, std::strcmp(version, "1.2") == 0 ? TLS1_2_VERSION : TLS1_3_VERSION);
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  if (SSL_CTX_use_certificate_chain_file(context, cert) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, key, SSL_FILETYPE_PEM) != 1) {
    ERR_print_errors_fp(stderr);
    std::exit(1);
  }
  return context;
}

int main(int argc, char** argv) {
  if (argc != 5 && argc != 7) {
    std::fprintf(stderr, "usage: tls_peer PORT CERT KEY 1.2|1.3 [CERT2 KEY2]\n");
    return 2;
  }
  // A client that hung up must not end the peer when it writes.
  signal(SIGPIPE, SIG_IGN);
  SSL_CTX* context = Context(argv[2], argv[3], argv[4]);
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 8) != 0) {
    std::perror("tls_peer");
    return 1;
  }
  std::printf("listening\n");
  std::fflush(stdout);
  std::string outcome = "none yet";
  bool swapNext = false;
  for (;;) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    if (swapNext && argc == 7) {
      swapNext = false;
      SSL_CTX* restarted = Context(argv[5], argv[6], argv[4]);
      Serve(restarted, fd, outcome, swapNext);
      SSL_CTX_free(restarted);
    } else {
      Serve(context, fd, outcome, swapNext);
    }
    close(fd);
  }
}
