#include "service/server.h"

#include <httplib.h>
#include <sys/socket.h>

#include <charconv>
#include <exception>
#include <thread>

#include "service/form.h"

namespace pinleaf {

namespace {

const char kHtml[] = "text/html; charset=utf-8";
const char kUserField[] = "data[User][username]";
const char kPasswordField[] = "data[User][password]";
const char kConfirmField[] = "data[User][password_confirm]";
const char kDocumentField[] = "data[Param][xmldata]";

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

namespace {

std::unique_ptr<httplib::Server> NewServer(const TTLSFiles& tls) {
  if (tls.cert.empty()) return std::make_unique<httplib::Server>();
  auto server = std::make_unique<httplib::SSLServer>(tls.cert.c_str(), tls.key.c_str());
  if (!server->is_valid()) throw std::runtime_error("the TLS certificate or key could not be loaded");
  SSL_CTX_set_min_proto_version(server->ssl_context(), TLS1_2_VERSION);
  return server;
}

}  // namespace

TPinleafServer::TPinleafServer(TNoteStore& store, std::string base, const TTLSFiles& tls)
    : store_(store), base_(std::move(base)), secure_(!tls.cert.empty()), pages_(base_), http_(NewServer(tls)) {
  httplib::Server& http = *http_;
  // Only SO_REUSEADDR: the library's default also sets SO_REUSEPORT, which lets
  // a second server bind the same port silently and share its clients.
  http.set_socket_options([](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  http.set_payload_max_length(kMaxRequestBodyBytes);
  httplib::Headers defaults{{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}};
  // Browsers that have seen the service over HTTPS keep to it.
  if (secure_) defaults.emplace("Strict-Transport-Security", "max-age=31536000");
  http.set_default_headers(defaults);
  http.set_exception_handler([this](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    Answer(res, pages_.Message("Server error", "The request could not be handled. Please try again later."), 500);
  });
  http.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
    if (log) log(req.method + " " + req.path + " " + std::to_string(res.status));
  });

  http.Get(".*", [this](const httplib::Request& req, httplib::Response& res) { Dispatch(req, res, std::string()); });
  // Bodies are read here rather than by the library, which would refuse any
  // form body over 8 KiB: a note of a few thousand characters is larger.
  http.Post(".*", [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& read) {
    std::string body;
    bool complete;
    if (req.is_multipart_form_data()) {
      // Nothing here takes multipart forms; read it past so the connection stays in step.
      complete = read([](const httplib::MultipartFormData&) { return true; }, [](const char*, size_t) { return true; });
      if (complete) {
        Answer(res, pages_.Message("Unsupported form", "Send the form as application/x-www-form-urlencoded."), 415);
        return;
      }
    } else {
      complete = read([&body](const char* data, size_t size) {
        body.append(data, size);
        return true;
      });
    }
    if (!complete) {
      // The library has refused the body (too large, or cut short) and set the status.
      if (res.status < 400) res.status = 400;
      Answer(res, pages_.Message("Request refused", "The request body could not be read or is too large."), res.status);
      return;
    }
    Dispatch(req, res, body);
  });
}

TPinleafServer::~TPinleafServer() { Stop(); }

int TPinleafServer::Bind(const std::string& host, int port) {
  if (port == 0) return http_->bind_to_any_port(host);
  return http_->bind_to_port(host, port) ? port : -1;
}

bool TPinleafServer::Serve() {
  serving_ = true;
  bool ok = stop_requested_ || http_->listen_after_bind();
  serving_ = false;
  return ok;
}

void TPinleafServer::Stop() {
  stop_requested_ = true;
  while (serving_ && !http_->is_running()) std::this_thread::yield();
  http_->stop();
}

void TPinleafServer::Dispatch(const httplib::Request& req, httplib::Response& res, const std::string& body) {
  std::string path = CollapseSlashes(req.path);
  if (path.compare(0, base_.size(), base_) != 0 || (path.size() > base_.size() && path[base_.size()] != '/')) {
    Answer(res, pages_.Message("Not found", "There is no page at this address."), 404);
    return;
  }
  std::string_view rel = std::string_view(path).substr(base_.size());
  bool post = req.method == "POST";

  if (IsOneOf(rel, {"", "/"})) {
    res.set_redirect(base_ + "/notes", 302);
  } else if (IsOneOf(rel, {"/posts/nop", "/posts/nop/"})) {
    Probe(req, res);
  } else if (IsOneOf(rel, {"/users/login", "/users/login/"})) {
    if (post)
      LoginPost(req, res, body);
    else
      Answer(res, pages_.Login(""));
  } else if (IsOneOf(rel, {"/users/home", "/users/home/"})) {
    // Reached by the redirect after a sign-in; the client repeats its POST here.
    Home(req, res);
  } else if (IsOneOf(rel, {"/users/logout", "/users/logout/"})) {
    Logout(req, res);
  } else if (IsOneOf(rel, {"/users/add", "/users/add/"})) {
    if (post)
      SignUpPost(req, res, body);
    else
      Answer(res, pages_.SignUp(""));
  } else if (IsOneOf(rel, {"/posts/addpinleaf", "/posts/addpinleaf/"})) {
    if (post) {
      Upload(req, res, body);
    } else {
      res.set_header("Allow", "POST");
      Answer(res, pages_.Message("Method not allowed", "Notes are sent here with POST."), 405);
    }
  } else if (IsOneOf(rel, {"/notes", "/notes/"})) {
    NotesList(req, res);
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
    Answer(res, pages_.Login(""));
}

void TPinleafServer::LoginPost(const httplib::Request& req, httplib::Response& res, const std::string& body) {
  FormFields fields = DecodeForm(body);
  std::optional<std::string> name = FindField(fields, kUserField);
  std::optional<std::string> password = FindField(fields, kPasswordField);
  if (!name || !password || name->empty() || password->empty()) {
    Answer(res, pages_.Login("Enter your ID and password."));
    return;
  }
  std::optional<TUser> user = store_.CheckLogin(*name, *password);
  if (!user) {
    Answer(res, pages_.Login("The ID or the password is wrong."));
    return;
  }
  StartSession(res, *user, req);
  res.set_redirect(base_ + "/users/home", 302);
}

void TPinleafServer::Home(const httplib::Request& req, httplib::Response& res) {
  if (SessionUser(req))
    Answer(res, pages_.Home());
  else
    Answer(res, pages_.Login(""));
}

void TPinleafServer::Logout(const httplib::Request& req, httplib::Response& res) {
  std::string token;
  while (SessionUser(req, &token)) store_.DeleteSession(token);
  res.set_header("Set-Cookie", std::string(kSessionCookie) + "=; Path=" + base_ +
                                   "/; Max-Age=0; Expires=Thu, 01 Jan 1970 00:00:00 GMT; HttpOnly; SameSite=Lax" +
                                   (secure_ ? "; Secure" : ""));
  res.set_redirect(base_ + "/users/login", 302);
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
  if (!parsed.ok()) {
    Answer(res, pages_.NoteRefused(parsed.message));
    return;
  }
  store_.AddNote(user->id, parsed.note);
  Answer(res, pages_.NoteStored());
}

void TPinleafServer::SignUpPost(const httplib::Request& req, httplib::Response& res, const std::string& body) {
  FormFields fields = DecodeForm(body);
  std::string name = FindField(fields, kUserField).value_or("");
  std::string password = FindField(fields, kPasswordField).value_or("");
  std::optional<std::string> confirm = FindField(fields, kConfirmField);
  if (confirm && *confirm != password) {
    Answer(res, pages_.SignUp("The two passwords differ."));
    return;
  }
  if (std::string why = CheckAccount(name, password); !why.empty()) {
    Answer(res, pages_.SignUp(why));
    return;
  }
  std::optional<TUser> user = store_.CreateUser(name, password);
  if (!user) {
    Answer(res, pages_.SignUp("That ID is taken; choose another."));
    return;
  }
  StartSession(res, *user, req);
  res.set_redirect(base_ + "/notes", 302);
}

void TPinleafServer::NotesList(const httplib::Request& req, httplib::Response& res) {
  std::optional<TUser> user = SessionUser(req);
  if (!user) {
    Answer(res, pages_.Login("Sign in to see your notes."));
    return;
  }
  int64_t page = 1;
  if (req.has_param("page")) {
    std::string text = req.get_param_value("page");
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc() && end == text.data() + text.size() && value >= 1 && value <= 1000000000) page = value;
  }
  int64_t total = store_.CountNotes(user->id);
  std::vector<TStoredNote> notes = store_.ListNotes(user->id, kNotesPageSize, (page - 1) * kNotesPageSize);
  Answer(res, pages_.Notes(*user, notes, total, page, kNotesPageSize));
}

}  // namespace pinleaf
