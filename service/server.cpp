#include "service/server.h"

#include <httplib.h>
#include <poll.h>
#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <exception>
#include <thread>

#include "service/archive.h"
#include "service/form.h"
#include "service/search.h"
#include "service/tls_front.h"

namespace pinleaf {

namespace {

const char kHtml[] = "text/html; charset=utf-8";
const char kUserField[] = "data[User][username]";
const char kPasswordField[] = "data[User][password]";
const char kConfirmField[] = "data[User][password_confirm]";
const char kDocumentField[] = "data[Param][xmldata]";
const char kTokenField[] = "token";
const char kFormCookie[] = "pinleaf_form";
// What a page may do in a browser: its own inline style, forms to itself, nothing else.
const char kContentSecurityPolicy[] =
    "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'";

// The connection the current worker serves; its request handler may mark it
// to be closed after the answer (a body refused half-read).
thread_local TGateConnection* current_connection = nullptr;
// The parts of the current request's multipart body (a browser's file
// upload), read by the library's multipart reader.
thread_local const FormFields* current_parts = nullptr;

// One request of a connection, read and written with the gate's deadline and
// a cap on the bytes taken, whatever the framing. Reads take no more than
// asked, so a following request stays in the socket for the gate.
class TGateStream : public httplib::Stream {
public:
  TGateStream(TGateConnection& c, size_t budget) : c_(c), budget_(budget) {}

  bool is_readable() const override { return true; }
  bool is_writable() const override { return true; }

  ssize_t read(char* ptr, size_t size) override {
    if (budget_ == 0) return -1;
    size = std::min(size, budget_);
    for (;;) {
      ssize_t n = recv(c_.fd, ptr, size, MSG_DONTWAIT);
      if (n > 0) {
        budget_ -= static_cast<size_t>(n);
        return n;
      }
      if (n == 0) return 0;
      if (errno == EINTR) continue;
      if ((errno != EAGAIN && errno != EWOULDBLOCK) || !Wait(POLLIN)) return -1;
    }
  }
  ssize_t write(const char* ptr, size_t size) override {
    for (;;) {
      ssize_t n = send(c_.fd, ptr, size, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if ((errno != EAGAIN && errno != EWOULDBLOCK) || !Wait(POLLOUT)) return -1;
    }
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = c_.address;
    port = 0;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip.clear();
    port = 0;
  }
  int socket() const override { return c_.fd; }

private:
  bool Wait(short events) {
    int64_t left = c_.deadline_ms - TGate::NowMs();
    if (left <= 0) return false;
    pollfd p{c_.fd, events, 0};
    return poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 60000))) > 0;
  }

  TGateConnection& c_;
  size_t budget_;
};

bool IsValidUtf8At(std::string_view text, size_t at, size_t& length) {
  auto b = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char c = b(at);
  length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (length == 0 || at + length > text.size()) return false;
  return IsValidUtf8(text.substr(at, length));
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

void Answer(httplib::Response& res, const std::string& html, int status = 200) {
  res.status = status;
  res.set_content(html, kHtml);
}

// Runs of "/" count as one, so a client whose base URL ends in "/" (and so asks
// for "/pinleaf2//posts/nop/") still reaches the right page.
std::string CollapseSlashes(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (char c : path) {
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out += c;
  }
  return out;
}

bool IsOneOf(std::string_view path, std::initializer_list<std::string_view> choices) {
  for (std::string_view c : choices) {
    if (path == c) return true;
  }
  return false;
}

}  // namespace

// The HTTP library, fed by the gate: each connection the library accepts is
// handed to the gate, and a worker of the gate runs one request of it at a time.
class TPinleafServer::THttp : public httplib::Server {
public:
  TGate* gate = nullptr;
  TTLSFront* front = nullptr;  // HTTPS only
  // The library listens with a backlog of 5: connections beyond it wait for
  // the client's retransmission, seconds under load. Listening again widens it.
  void WidenBacklog() { ::listen(svr_sock_, 1024); }
  bool ServeOne(httplib::Stream& stream, bool close, bool& closed) {
    return process_request(stream, close, closed, {});
  }

private:
  bool process_and_close_socket(socket_t sock) override {
    if (front)
      front->Admit(sock);
    else
      gate->Admit(sock);
    return true;
  }
};

namespace {

// Runs the library's "process this socket" step at once on the accepting
// thread: all it does now is hand the socket to the gate.
class TInlineQueue : public httplib::TaskQueue {
public:
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override {}
};

}  // namespace

std::string LogEscape(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    size_t length = 1;
    if (c >= 0x20 && c != 0x7F && c != '\\' && IsValidUtf8At(text, i, length)) {
      // C1 controls (U+0080-U+009F) are escaped like C0 ones.
      bool c1 = length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
      if (!c1) {
        out.append(text.substr(i, length));
        i += length;
        continue;
      }
      length = 2;
    } else {
      length = 1;
    }
    for (size_t k = 0; k < length; ++k) {
      auto byte = static_cast<unsigned char>(text[i + k]);
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
    i += length;
  }
  return out;
}

bool NormaliseBase(std::string_view base, std::string& normalised) {
  if (base.empty() || base.front() != '/') return false;
  for (char c : base) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '-' ||
              c == '.' || c == '_' || c == '~';
    if (!ok) return false;
  }
  normalised = CollapseSlashes(base);
  if (normalised.back() == '/') normalised.pop_back();
  return true;
}

std::vector<std::string> CookieValues(std::string_view header, std::string_view name) {
  std::vector<std::string> values;
  while (!header.empty()) {
    size_t semi = header.find(';');
    std::string_view piece = header.substr(0, semi);
    header = semi == std::string_view::npos ? std::string_view() : header.substr(semi + 1);
    while (!piece.empty() && (piece.front() == ' ' || piece.front() == '\t')) piece.remove_prefix(1);
    while (!piece.empty() && (piece.back() == ' ' || piece.back() == '\t')) piece.remove_suffix(1);
    size_t eq = piece.find('=');
    if (eq == std::string_view::npos || piece.substr(0, eq) != name) continue;
    std::string_view value = piece.substr(eq + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    values.emplace_back(value);
  }
  return values;
}

TPinleafServer::TPinleafServer(TNoteStore& store, std::string base, TServerSettings settings)
    : store_(store),
      base_(std::move(base)),
      secure_(!settings.tls.cert.empty()),
      settings_(std::move(settings)),
      pages_(base_),
      form_secret_(store.Secret("form")),
      http_(std::make_unique<THttp>()) {
  THttp& http = *http_;
  gate_ = std::make_unique<TGate>(
      settings_.limits, [this](const TRequestHead& head, size_t& limit) { return CheckHead(head, limit); },
      [this](TGateConnection& c) {
        // What one request may take from the socket: its head, and its body
        // under the limit with room for chunk framing; never more.
        size_t budget = c.head.head_bytes + (c.head.content_length >= 0 ? static_cast<size_t>(c.head.content_length)
                                                                        : 2 * c.body_limit + 64 * 1024);
        TGateStream stream(c, budget);
        current_connection = &c;
        bool closed = false;
        bool last = c.requests + 1 >= gate_->Limits().max_requests_per_connection;
        bool ok = http_->ServeOne(stream, last, closed);
        current_connection = nullptr;
        return ok && !closed;
      });
  gate_->json_prefix = base_ + "/api/";
  gate_->log = [this](const std::string& line) {
    if (log) log(LogEscape(line));
  };
  http.gate = gate_.get();
  if (secure_) {
    front_ = std::make_unique<TTLSFront>(*gate_);
    if (std::string bad = front_->Load(settings_.tls.cert, settings_.tls.key); !bad.empty())
      throw std::runtime_error(bad);
    http.front = front_.get();
  }
  http.new_task_queue = [] { return new TInlineQueue; };
  // Only SO_REUSEADDR: the library's default also sets SO_REUSEPORT, which lets
  // a second server bind the same port silently and share its clients.
  http.set_socket_options([](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  http.set_payload_max_length(kMaxRequestBodyBytes);
  // Only for what the library says in its Keep-Alive header: the gate enforces both.
  http.set_keep_alive_max_count(settings_.limits.max_requests_per_connection);
  http.set_keep_alive_timeout(std::max(1, settings_.limits.idle_timeout_ms / 1000));
  httplib::Headers defaults{{"Cache-Control", "no-store"},
                            {"X-Content-Type-Options", "nosniff"},
                            {"X-Frame-Options", "DENY"},
                            {"Content-Security-Policy", kContentSecurityPolicy},
                            // "same-origin", not "no-referrer": under the latter browsers post forms with
                            // "Origin: null", which the origin check must refuse.
                            {"Referrer-Policy", "same-origin"}};
  // Browsers that have seen the service over HTTPS keep to it.
  if (secure_) defaults.emplace("Strict-Transport-Security", "max-age=31536000");
  http.set_default_headers(defaults);
  http.set_exception_handler([this](const httplib::Request& req, httplib::Response& res, const std::exception_ptr& e) {
    std::string cause = "unknown";
    bool busy = false, unavailable = false;
    try {
      if (e) std::rethrow_exception(e);
    } catch (const EStoreBusy& x) {
      busy = true;
      cause = x.what();
    } catch (const EStoreUnavailable& x) {
      unavailable = true;
      cause = x.what();
    } catch (const std::exception& x) {
      cause = x.what();
    } catch (...) {
    }
    if (log) log(LogEscape(req.method + " " + req.path + " failed: " + cause));
    if (busy) {
      res.set_header("Retry-After", "5");
      Answer(res, pages_.Message("Busy", "Too many sign-ins at once. Please try again in a few seconds."), 503);
    } else if (unavailable) {
      res.set_header("Retry-After", "5");
      Answer(res,
             pages_.Message("Unavailable", "The service cannot reach its data. Please try again in a few seconds."),
             503);
    } else {
      Answer(res, pages_.Message("Server error", "The request could not be handled. Please try again later."), 500);
    }
  });
  http.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
    if (log) log(LogEscape(req.method + " " + req.path + " " + std::to_string(res.status) + " " + ClientAddress(req)));
  });

  http.Get(".*", [this](const httplib::Request& req, httplib::Response& res) { Dispatch(req, res, std::string()); });
  http.Delete(".*", [this](const httplib::Request& req, httplib::Response& res) { Dispatch(req, res, std::string()); });
  // No cross-origin access: a preflight gets no permission.
  http.Options(".*",
               [this](const httplib::Request& req, httplib::Response& res) { Dispatch(req, res, std::string()); });
  // Bodies are read here rather than by the library, under the limit the gate
  // chose for the request, decoded size counted whatever the framing.
  http.Post(".*", [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& read) {
    size_t limit = current_connection ? current_connection->body_limit : kMaxSmallFormBytes;
    std::string body;
    bool too_large = false;
    FormFields parts;
    size_t taken = 0;
    bool complete = false;
    if (req.is_multipart_form_data()) {
      complete = read(
          [&](const httplib::MultipartFormData& part) {
            parts.emplace_back(part.name, std::string());
            return parts.size() <= 8;
          },
          [&](const char* data, size_t size) {
            if (taken + size > limit || parts.empty()) {
              too_large = true;
              return false;
            }
            taken += size;
            parts.back().second.append(data, size);
            return true;
          });
    } else {
      complete = read([&](const char* data, size_t size) {
        if (body.size() + size > limit) {
          too_large = true;
          return false;
        }
        body.append(data, size);
        return true;
      });
    }
    if (!complete) {
      // Whatever is left of the body is not read: the connection ends with the answer.
      if (current_connection) current_connection->must_close = true;
      res.set_header("Connection", "close");
      // A body that did not come whole within the request's deadline is a time-out, not a bad request.
      bool late = current_connection && TGate::NowMs() >= current_connection->deadline_ms;
      int status = too_large ? 413 : late ? 408 : (res.status >= 400 ? res.status : 400);
      Answer(res, pages_.Message("Request refused", "The request body could not be read or is too large."), status);
      return;
    }
    bool form = req.get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) == 0 ||
                !req.has_header("Content-Type");
    if (form && static_cast<size_t>(std::count(body.begin(), body.end(), '&')) >= kMaxFormFields) {
      Answer(res, pages_.Message("Request refused", "The form has too many fields."), 400);
      return;
    }
    current_parts = req.is_multipart_form_data() ? &parts : nullptr;
    Dispatch(req, res, body);
    current_parts = nullptr;
  });
}

TPinleafServer::~TPinleafServer() { Stop(); }

int TPinleafServer::Bind(const std::string& host, int port) {
  int bound = port == 0 ? http_->bind_to_any_port(host) : (http_->bind_to_port(host, port) ? port : -1);
  if (bound > 0) http_->WidenBacklog();
  return bound;
}

bool TPinleafServer::Serve() {
  serving_ = true;
  gate_->Start();
  if (front_) front_->Start();
  bool ok = stop_requested_ || http_->listen_after_bind();
  if (front_) front_->Stop();
  gate_->Stop();
  serving_ = false;
  return ok;
}

void TPinleafServer::Stop() {
  stop_requested_ = true;
  while (serving_ && !http_->is_running()) std::this_thread::yield();
  http_->stop();
}

int TPinleafServer::CheckHead(const TRequestHead& head, size_t& body_limit) {
  std::string path = head.target.substr(0, head.target.find('?'));
  path = CollapseSlashes(path);
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  body_limit = kMaxSmallFormBytes;
  if (head.method == "POST" || head.method == "PUT" || head.method == "DELETE") {
    const bool import = path == base_ + "/notes/import";
    // Only the import page takes a browser's file upload.
    if (head.content_type.rfind("multipart/", 0) == 0 && !import) return 415;
    if (path == base_ + "/posts/addpinleaf") body_limit = kMaxRequestBodyBytes;
    if (import || path == base_ + "/api/v1/notes") body_limit = kMaxApiBodyBytes;
  }
  return 0;
}

bool TPinleafServer::HostAllowed(const httplib::Request& req) const {
  if (settings_.public_names.empty()) return true;
  std::string host = Lower(req.get_header_value("Host"));
  for (const std::string& name : settings_.public_names) {
    std::string n = Lower(name);
    if (host == n) return true;
    // A name given without a port stands for every port.
    if (n.find(':') == std::string::npos && host.rfind(n + ":", 0) == 0) return true;
  }
  return false;
}

std::string TPinleafServer::ClientAddress(const httplib::Request& req) const {
  const auto& proxies = settings_.trusted_proxies;
  if (std::find(proxies.begin(), proxies.end(), req.remote_addr) == proxies.end()) return req.remote_addr;
  std::string forwarded = req.get_header_value("X-Forwarded-For");
  size_t comma = forwarded.rfind(',');
  std::string last = comma == std::string::npos ? forwarded : forwarded.substr(comma + 1);
  last.erase(0, last.find_first_not_of(" \t"));
  last.erase(last.find_last_not_of(" \t") + 1);
  // Only an address is taken: anything else keeps the proxy's own.
  const bool address =
      !last.empty() && last.size() <= 45 && last.find_first_not_of("0123456789abcdefABCDEF:.") == std::string::npos;
  return address ? last : req.remote_addr;
}

bool TPinleafServer::OriginAllowed(const httplib::Request& req) const {
  // Requests without Origin come from programs such as text snap (browsers
  // send one with every form they post): they are taken as before.
  if (!req.has_header("Origin")) return true;
  std::string origin = Lower(req.get_header_value("Origin"));
  size_t scheme = origin.find("://");
  if (scheme == std::string::npos) return false;  // "null" and the like
  std::string host = origin.substr(scheme + 3);
  if (host.empty()) return false;
  if (host == Lower(req.get_header_value("Host"))) return true;
  // Behind a proxy that passes on its own Host, the public names stand for the service.
  for (const std::string& name : settings_.public_names) {
    std::string n = Lower(name);
    if (host == n || (n.find(':') == std::string::npos && host.rfind(n + ":", 0) == 0)) return true;
  }
  return false;
}

std::string TPinleafServer::FormToken(const httplib::Request& req, httplib::Response& res) {
  std::string seed;
  for (const std::string& value : CookieValues(req.get_header_value("Cookie"), kFormCookie)) {
    if (value.size() == 64) seed = value;
  }
  if (seed.empty()) {
    unsigned char random[32];
    randombytes_buf(random, sizeof random);
    char hex[65];
    sodium_bin2hex(hex, sizeof hex, random, sizeof random);
    seed = hex;
    res.set_header("Set-Cookie", std::string(kFormCookie) + "=" + seed + "; Path=" + base_ +
                                     "/; HttpOnly; SameSite=Strict" + (secure_ ? "; Secure" : ""));
  }
  unsigned char mac[32];
  crypto_generichash(mac, sizeof mac, reinterpret_cast<const unsigned char*>(seed.data()), seed.size(),
                     reinterpret_cast<const unsigned char*>(form_secret_.data()), 32);
  char hex[65];
  sodium_bin2hex(hex, sizeof hex, mac, sizeof mac);
  return hex;
}

bool TPinleafServer::FormTokenValid(const httplib::Request& req, const std::string& token) {
  if (token.size() != 64) return false;
  for (const std::string& seed : CookieValues(req.get_header_value("Cookie"), kFormCookie)) {
    if (seed.size() != 64) continue;
    unsigned char mac[32];
    crypto_generichash(mac, sizeof mac, reinterpret_cast<const unsigned char*>(seed.data()), seed.size(),
                       reinterpret_cast<const unsigned char*>(form_secret_.data()), 32);
    char hex[65];
    sodium_bin2hex(hex, sizeof hex, mac, sizeof mac);
    if (sodium_memcmp(hex, token.data(), 64) == 0) return true;
  }
  return false;
}

void TPinleafServer::Dispatch(const httplib::Request& req, httplib::Response& res, const std::string& body) {
  if (!HostAllowed(req)) {
    Answer(res, pages_.Message("Unknown host", "This service does not answer for that host name."), 421);
    return;
  }
  bool post = req.method == "POST";
  if ((post || req.method == "DELETE" || req.method == "OPTIONS") && !OriginAllowed(req)) {
    Answer(res, pages_.Message("Forbidden", "Forms are taken only from this service's own pages."), 403);
    return;
  }
  std::string path = CollapseSlashes(req.path);
  if (path.compare(0, base_.size(), base_) != 0 || (path.size() > base_.size() && path[base_.size()] != '/')) {
    Answer(res, pages_.Message("Not found", "There is no page at this address."), 404);
    return;
  }
  std::string_view rel = std::string_view(path).substr(base_.size());
  if (!rel.empty() && rel.back() == '/' && rel.size() > 1) rel.remove_suffix(1);

  if (rel.rfind("/api/v1/", 0) == 0 || rel == "/api/v1") {
    Api(req, res, body, rel.substr(7));
    return;
  }
  if (req.method != "GET" && req.method != "POST") {
    res.set_header("Allow", "GET, POST");
    Answer(res, pages_.Message("Method not allowed", "This page takes GET and POST only."), 405);
    return;
  }
  if (IsOneOf(rel, {"", "/"})) {
    res.set_redirect(base_ + "/notes", 302);
  } else if (rel == "/posts/nop") {
    Probe(req, res);
  } else if (rel == "/users/login") {
    if (post)
      LoginPost(req, res, body);
    else
      Answer(res, pages_.Login("", FormToken(req, res)));
  } else if (rel == "/users/home") {
    // Reached by the redirect after a sign-in; the client repeats its POST here.
    Home(req, res);
  } else if (rel == "/users/logout") {
    if (post) {
      Logout(req, res, body);
    } else {
      // Signing out changes state, so it takes a POST with the form token;
      // an old link shows the button instead.
      res.set_header("Allow", "POST");
      Answer(res, pages_.Home(FormToken(req, res)), 405);
    }
  } else if (rel == "/users/add") {
    if (!settings_.sign_up_open)
      Answer(res, pages_.SignUpClosed(), post ? 403 : 200);
    else if (post)
      SignUpPost(req, res, body);
    else
      Answer(res, pages_.SignUp("", FormToken(req, res)));
  } else if (rel == "/posts/addpinleaf") {
    if (post) {
      Upload(req, res, body);
    } else {
      res.set_header("Allow", "POST");
      Answer(res, pages_.Message("Method not allowed", "Notes are sent here with POST."), 405);
    }
  } else if (rel == "/notes") {
    NotesList(req, res);
  } else if (rel == "/notes/view") {
    NoteView(req, res);
  } else if (rel == "/notes/export.json" || rel == "/notes/export.zip") {
    NotesExport(req, res, rel == "/notes/export.zip");
  } else if (rel == "/notes/import") {
    if (post) {
      NotesImport(req, res, body);
    } else {
      res.set_header("Allow", "POST");
      Answer(res, pages_.Message("Method not allowed", "Notes are imported with the form on the notes page."), 405);
    }
  } else if (rel == "/oauth/device" || rel == "/oauth/token") {
    if (post) {
      if (rel == "/oauth/device")
        OAuthDevice(req, res, body);
      else
        OAuthToken(req, res, body);
    } else {
      res.set_header("Allow", "POST");
      res.status = 405;
      res.set_content("{\"error\":\"invalid_request\",\"error_description\":\"use POST\"}\n", "application/json");
    }
  } else if (rel == "/device") {
    DevicePage(req, res, body);
  } else if (rel == "/tokens" || rel == "/tokens/revoke") {
    TokensPage(req, res, body, rel);
  } else if (rel == "/notes/delete") {
    if (post) {
      NoteDelete(req, res, body);
    } else {
      res.set_header("Allow", "POST");
      Answer(res, pages_.Message("Method not allowed", "Notes are deleted with the button on the notes page."), 405);
    }
  } else {
    Answer(res, pages_.Message("Not found", "There is no page at this address."), 404);
  }
}

std::optional<TUser> TPinleafServer::SessionUser(const httplib::Request& req, std::string* token) {
  // A browser may hold stale cookies of the same name (another path, an old
  // sign-in); any one that is still valid will do.
  size_t headers = req.get_header_value_count("Cookie");
  for (size_t i = 0; i < headers; ++i) {
    for (const std::string& value : CookieValues(req.get_header_value("Cookie", i), kSessionCookie)) {
      if (auto user = store_.UserForSession(value)) {
        if (token) *token = value;
        return user;
      }
    }
  }
  return std::nullopt;
}

void TPinleafServer::StartSession(httplib::Response& res, const TUser& user, const httplib::Request& req) {
  // A new sign-in replaces the one this client held, so an old token cannot be reused.
  std::string old;
  if (SessionUser(req, &old)) store_.DeleteSession(old);
  std::string token = store_.CreateSession(user.id);
  // The path must end in "/" so it matches every page below the base, and it
  // must be given at all: a cookie without a path is never sent back by the client.
  res.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + token + "; Path=" + base_ +
                                   "/; HttpOnly; SameSite=Lax" + (secure_ ? "; Secure" : ""));
}

void TPinleafServer::Probe(const httplib::Request& req, httplib::Response& res) {
  if (SessionUser(req))
    Answer(res, pages_.ProbeSignedIn());
  else
    Answer(res, pages_.Login("", FormToken(req, res)));
}

void TPinleafServer::LoginPost(const httplib::Request& req, httplib::Response& res, const std::string& body) {
  FormFields fields = DecodeForm(body);
  // A browser (it says where the form came from) must send the form's token;
  // text snap sends neither and signs in as it always has.
  if (req.has_header("Origin") && !FormTokenValid(req, FindField(fields, kTokenField).value_or(""))) {
    Answer(res, pages_.Login("The form has expired; please sign in again.", FormToken(req, res)), 403);
    return;
  }
  std::optional<std::string> name = FindField(fields, kUserField);
  std::optional<std::string> password = FindField(fields, kPasswordField);
  if (!name || !password || name->empty() || password->empty()) {
    Answer(res, pages_.Login("Enter your ID and password.", FormToken(req, res)));
    return;
  }
  std::string account = NormaliseAccountName(*name);
  int64_t now = store_.now_ms();
  // Held back the same way whether the account exists or not, so the answer
  // tells nothing about which names are taken.
  const std::string address = ClientAddress(req);
  if (int64_t wait = throttle_.WaitMs(account, address, now); wait > 0) {
    res.set_header("Retry-After", std::to_string((wait + 999) / 1000));
    Answer(res, pages_.Login("Too many failed sign-ins. Please wait a moment and try again.", FormToken(req, res)));
    return;
  }
  std::optional<TUser> user = store_.CheckLogin(*name, *password);
  if (!user) {
    throttle_.Failed(account, address, now);
    Answer(res, pages_.Login("The ID or the password is wrong.", FormToken(req, res)));
    return;
  }
  throttle_.Succeeded(account);
  StartSession(res, *user, req);
  // A sign-in on the way to pairing a device goes back there; nowhere else
  // (never off this service).
  std::string next = FindField(fields, "next").value_or("");
  const bool back = next.rfind(base_ + "/device", 0) == 0 && next.size() < 100 &&
                    next.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/?=-_") ==
                        std::string::npos &&
                    (next.size() == base_.size() + 7 || next[base_.size() + 7] == '?');
  res.set_redirect(back ? next : base_ + "/users/home", 302);
}

void TPinleafServer::Home(const httplib::Request& req, httplib::Response& res) {
  if (SessionUser(req))
    Answer(res, pages_.Home(FormToken(req, res)));
  else
    Answer(res, pages_.Login("", FormToken(req, res)));
}

void TPinleafServer::Logout(const httplib::Request& req, httplib::Response& res, const std::string& body) {
  if (!FormTokenValid(req, FindField(DecodeForm(body), kTokenField).value_or(""))) {
    Answer(res, pages_.Message("Form expired", "Please use the Sign out button again."), 403);
    return;
  }
  std::string token;
  while (SessionUser(req, &token)) store_.DeleteSession(token);
  res.set_header("Set-Cookie", std::string(kSessionCookie) + "=; Path=" + base_ +
                                   "/; Max-Age=0; Expires=Thu, 01 Jan 1970 00:00:00 GMT; HttpOnly; SameSite=Lax" +
                                   (secure_ ? "; Secure" : ""));
  res.set_redirect(base_ + "/users/login", 303);
}

void TPinleafServer::Upload(const httplib::Request& req, httplib::Response& res, const std::string& body) {
  std::optional<TUser> user = SessionUser(req);
  if (!user) {
    Answer(res, pages_.NoteRefused("You are not signed in."));
    return;
  }
  std::optional<std::string> document = FindField(DecodeForm(body), kDocumentField);
  if (!document) {
    Answer(res, pages_.NoteRefused("The request carries no note document."));
    return;
  }
  TNoteParseResult parsed = ParseNoteDocument(*document);
  if (!parsed.Ok()) {
    Answer(res, pages_.NoteRefused(parsed.message));
    return;
  }
  // The same note sent again (its first answer was lost) is stored once and answered as stored.
  store_.AddNote(user->id, parsed.note);
  Answer(res, pages_.NoteStored());
}

void TPinleafServer::SignUpPost(const httplib::Request& req, httplib::Response& res, const std::string& body) {
  FormFields fields = DecodeForm(body);
  if (!FormTokenValid(req, FindField(fields, kTokenField).value_or(""))) {
    Answer(res, pages_.SignUp("The form has expired; please try again.", FormToken(req, res)), 403);
    return;
  }
  std::string name = NormaliseAccountName(FindField(fields, kUserField).value_or(""));
  std::string password = FindField(fields, kPasswordField).value_or("");
  std::optional<std::string> confirm = FindField(fields, kConfirmField);
  if (confirm && *confirm != password) {
    Answer(res, pages_.SignUp("The two passwords differ.", FormToken(req, res)));
    return;
  }
  if (std::string why = CheckAccount(name, password); !why.empty()) {
    Answer(res, pages_.SignUp(why, FormToken(req, res)));
    return;
  }
  std::optional<TUser> user = store_.CreateUser(name, password);
  if (!user) {
    Answer(res, pages_.SignUp("That ID is taken; choose another.", FormToken(req, res)));
    return;
  }
  StartSession(res, *user, req);
  res.set_redirect(base_ + "/notes", 303);
}

namespace {

// A decimal number of 1-18 digits, or -1.
int64_t Number(const std::string& text) {
  int64_t value = -1;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.size() > 18 || value < 0) return -1;
  return value;
}

}  // namespace

void TPinleafServer::NotesList(const httplib::Request& req, httplib::Response& res) {
  std::optional<TUser> user = SessionUser(req);
  if (!user) {
    Answer(res, pages_.Login("Sign in to see your notes.", FormToken(req, res)));
    return;
  }
  // Pages follow each other by the last note shown ("before=MS.ID"), so a
  // deep page costs no more than the first.
  int64_t before_ms = 0, before_id = 0;
  if (req.has_param("before")) {
    std::string cursor = req.get_param_value("before");
    size_t dot = cursor.find('.');
    if (dot != std::string::npos) {
      before_ms = Number(cursor.substr(0, dot));
      before_id = Number(cursor.substr(dot + 1));
    }
    if (before_ms < 0 || before_id < 0) before_ms = before_id = 0;
  }
  TNotesView view;
  view.user = *user;
  view.query = req.has_param("q") ? req.get_param_value("q") : "";
  view.tag = req.has_param("tag") ? req.get_param_value("tag") : "";
  if (view.query.size() > kMaxSearchBytes) view.query.resize(kMaxSearchBytes);
  if (view.tag.size() > kMaxTagBytes + 4) view.tag.resize(kMaxTagBytes + 4);
  view.terms = ParseSearch(view.query);
  TNoteQueryResult found =
      store_.FindNotes(user->id, view.query, view.tag, before_ms, before_id, kNotesPageSize + 1, kNotePreviewBytes);
  std::vector<TStoredNote>& notes = found.notes;
  // A page ends after kNotesPageSize notes or once its previews reach kNotesPageBytes.
  size_t shown = 0, bytes = 0;
  while (shown < notes.size() && shown < static_cast<size_t>(kNotesPageSize) &&
         (shown == 0 || bytes < kNotesPageBytes)) {
    bytes += notes[shown].body.size() + notes[shown].title.size();
    ++shown;
  }
  if (shown < notes.size()) {
    view.next = "before=" + std::to_string(notes[shown - 1].received_ms) + "." + std::to_string(notes[shown - 1].id);
  } else if (found.scan_cut) {
    // The search read as far as it may at once: the next page reads on from there.
    view.next = "before=" + std::to_string(found.scanned_to_ms) + "." + std::to_string(found.scanned_to_id);
    view.scanned_to_ms = std::max<int64_t>(1, found.scanned_to_ms);
  }
  notes.resize(shown);
  view.notes = std::move(notes);
  view.first = before_id == 0;
  view.total = store_.CountNotes(user->id);
  view.tags = store_.Data().Tags(user->id, 100);
  view.token = FormToken(req, res);
  Answer(res, pages_.Notes(view));
}

bool TPinleafServer::StreamExport(httplib::Response& res, int64_t user_id, bool zip) {
  // Each download holds a worker while it runs: a few at a time at most.
  const int most = std::max<int>(1, static_cast<int>(settings_.limits.workers) / 4);
  if (++exports_running_ > most) {
    --exports_running_;
    return false;
  }
  TExportFormat format = zip ? TExportFormat::kMarkdownZip : TExportFormat::kJson;
  std::shared_ptr<TNoteExport> exporter;
  try {
    exporter = std::make_shared<TNoteExport>(store_, user_id, format);
  } catch (...) {
    --exports_running_;
    throw;
  }
  res.status = 200;
  res.set_header("Content-Disposition",
                 "attachment; filename=\"" + TNoteExport::FileName(format, store_.now_ms()) + "\"");
  TGateConnection* connection = current_connection;
  res.set_chunked_content_provider(
      TNoteExport::ContentType(format),
      [this, exporter, connection](size_t, httplib::DataSink& sink) {
        // A download may take longer than one request may: it goes on while
        // the client keeps reading, and ends when it stops for as long.
        if (connection) connection->deadline_ms = TGate::NowMs() + settings_.limits.request_timeout_ms;
        std::string piece;
        bool more = false;
        try {
          more = exporter->Next(piece);
        } catch (const std::exception& e) {
          if (log) log(LogEscape(std::string("export failed: ") + e.what()));
          return false;  // the client sees the download cut short, never a complete-looking file
        }
        if (!piece.empty() && !sink.write(piece.data(), piece.size())) return false;
        if (!more) sink.done();
        return true;
      },
      [this](bool) { --exports_running_; });
  return true;
}

void TPinleafServer::NotesExport(const httplib::Request& req, httplib::Response& res, bool zip) {
  std::optional<TUser> user = SessionUser(req);
  if (!user) {
    Answer(res, pages_.Login("Sign in to download your notes.", FormToken(req, res)));
    return;
  }
  if (!StreamExport(res, user->id, zip)) {
    res.set_header("Retry-After", "30");
    Answer(res, pages_.Message("Busy", "Too many downloads at once. Please try again in a minute."), 503);
  }
}

void TPinleafServer::NotesImport(const httplib::Request& req, httplib::Response& res, const std::string& body) {
  std::optional<TUser> user = SessionUser(req);
  if (!user) {
    Answer(res, pages_.Login("Sign in to import notes.", FormToken(req, res)), 403);
    return;
  }
  (void)body;
  const FormFields* parts = current_parts;
  if (!parts) {
    Answer(res, pages_.Message("Not imported", "The upload is not a file sent by the import form."), 400);
    return;
  }
  if (!FormTokenValid(req, FindField(*parts, kTokenField).value_or(""))) {
    Answer(res, pages_.Message("Form expired", "Please reload the notes page and try again."), 403);
    return;
  }
  std::optional<std::string> file = FindField(*parts, "file");
  if (!file || file->empty()) {
    Answer(res, pages_.Message("Not imported", "Choose a file to import."), 400);
    return;
  }
  size_t at = 0;
  TImportResult r = ImportJson(store_, user->id, [&](char* buffer, size_t size) {
    size_t n = std::min(size, file->size() - at);
    std::copy_n(file->data() + at, n, buffer);
    at += n;
    return n;
  });
  std::string summary = std::to_string(r.stored) + " notes imported, " + std::to_string(r.present) +
                        " were here already, " + std::to_string(r.refused) + " refused.";
  std::vector<std::string> problems = r.problems;
  if (!r.error.empty()) problems.push_back("The file could not be read on: " + r.error);
  Answer(res, pages_.ImportDone(summary, problems), r.error.empty() || r.stored + r.present > 0 ? 200 : 400);
}

void TPinleafServer::TokensPage(const httplib::Request& req, httplib::Response& res, const std::string& body,
                                std::string_view rel) {
  std::optional<TUser> user = SessionUser(req);
  if (!user) {
    Answer(res, pages_.Login("Sign in to see your access tokens.", FormToken(req, res)),
           req.method == "POST" ? 403 : 200);
    return;
  }
  TTokensView view;
  if (req.method == "POST") {
    FormFields fields = DecodeForm(body);
    if (!FormTokenValid(req, FindField(fields, kTokenField).value_or(""))) {
      Answer(res, pages_.Message("Form expired", "Please reload the tokens page and try again."), 403);
      return;
    }
    if (rel == "/tokens/revoke") {
      int64_t id = Number(FindField(fields, "id").value_or(""));
      if (id <= 0 || !store_.Data().DeleteToken(user->id, id)) {
        Answer(res, pages_.Message("Not found", "You have no such token."), 404);
        return;
      }
      res.set_redirect(base_ + "/tokens", 303);
      return;
    }
    std::string name = FindField(fields, "name").value_or("");
    while (!name.empty() && IsBlankByte(name.back())) name.pop_back();
    while (!name.empty() && IsBlankByte(name.front())) name.erase(0, 1);
    std::optional<TScope> scope = ParseScope(FindField(fields, "scope").value_or(""));
    if (name.empty() || name.size() > kMaxTokenNameBytes || !IsValidUtf8(name) || !scope) {
      view.notice = "Give the token a name (up to 100 bytes) and a scope.";
    } else if (auto made = store_.CreateToken(user->id, name, *scope)) {
      view.created = made->first;
      view.created_name = name;
    } else {
      view.notice = "You hold " + std::to_string(kMaxTokensPerUser) + " tokens already; revoke one first.";
    }
  }
  view.tokens = store_.Data().ListTokens(user->id);
  view.token = FormToken(req, res);
  Answer(res, pages_.Tokens(*user, view));
}

void TPinleafServer::NoteView(const httplib::Request& req, httplib::Response& res) {
  std::optional<TUser> user = SessionUser(req);
  if (!user) {
    Answer(res, pages_.Login("Sign in to see your notes.", FormToken(req, res)));
    return;
  }
  int64_t id = req.has_param("id") ? Number(req.get_param_value("id")) : -1;
  std::optional<TStoredNote> note = id > 0 ? store_.GetNote(user->id, id) : std::nullopt;
  if (!note) {
    Answer(res, pages_.Message("Not found", "You have no such note."), 404);
    return;
  }
  Answer(res, pages_.Note(*note, FormToken(req, res)));
}

void TPinleafServer::NoteDelete(const httplib::Request& req, httplib::Response& res, const std::string& body) {
  std::optional<TUser> user = SessionUser(req);
  if (!user) {
    Answer(res, pages_.Login("Sign in to see your notes.", FormToken(req, res)), 403);
    return;
  }
  FormFields fields = DecodeForm(body);
  if (!FormTokenValid(req, FindField(fields, kTokenField).value_or(""))) {
    Answer(res, pages_.Message("Form expired", "Please reload the notes page and try again."), 403);
    return;
  }
  int64_t id = Number(FindField(fields, "id").value_or(""));
  // Only a note of the signed-in user's own is ever touched.
  if (id <= 0 || !store_.DeleteNote(user->id, id)) {
    Answer(res, pages_.Message("Not found", "You have no such note."), 404);
    return;
  }
  res.set_redirect(base_ + "/notes", 303);
}

}  // namespace pinleaf
