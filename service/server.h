// The HTTP side of the note service: routes, sessions, answers.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/pages.h"
#include "service/store.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace pinleaf {

// Largest request body read at all. A note of the largest size, written the
// way the client writes it (five bytes per byte of text once the form encoding
// is applied on top of the note's own escapes), fits with room to spare; above
// this the request is cut off without being read.
inline constexpr size_t kMaxRequestBodyBytes = 8 * kMaxNoteBodyBytes;
// Notes shown per page of the notes list.
inline constexpr int64_t kNotesPageSize = 50;
// Name of the session cookie.
inline constexpr std::string_view kSessionCookie = "pinleaf_session";

// "/pinleaf2", "" for the server root. False when `base` holds anything but
// letters, digits and "/-._~", or does not start with "/". A trailing "/" is dropped.
bool NormaliseBase(std::string_view base, std::string& normalised);

// The session tokens named `name` in a Cookie header value, in order.
std::vector<std::string> CookieValues(std::string_view header, std::string_view name);

// PEM files of a server that speaks HTTPS; both empty for plain HTTP.
struct TTLSFiles {
  std::string cert;
  std::string key;
};

class TPinleafServer {
public:
  // With TLS files, HTTPS only (TLS 1.2 or newer), the session cookie marked
  // Secure and every answer carrying Strict-Transport-Security. The files
  // must have been checked (CheckCertificateAndKey).
  TPinleafServer(TNoteStore& store, std::string base, const TTLSFiles& tls = {});
  ~TPinleafServer();
  TPinleafServer(const TPinleafServer&) = delete;
  TPinleafServer& operator=(const TPinleafServer&) = delete;

  // Binds the listening socket; port 0 takes a free one. Returns the bound
  // port, or -1 when the address cannot be bound (for example, it is in use).
  int Bind(const std::string& host, int port);
  // Serves until Stop; false when serving could not start.
  bool Serve();
  // Ends Serve from any thread; safe to call more than once.
  void Stop();

  // Log lines ("GET /path 200") go here when set.
  std::function<void(const std::string&)> log;

private:
  struct TContext;

  void Dispatch(const httplib::Request& req, httplib::Response& res, const std::string& body);
  std::optional<TUser> SessionUser(const httplib::Request& req, std::string* token = nullptr);
  void StartSession(httplib::Response& res, const TUser& user, const httplib::Request& req);

  void Probe(const httplib::Request& req, httplib::Response& res);
  void LoginPost(const httplib::Request& req, httplib::Response& res, const std::string& body);
  void Home(const httplib::Request& req, httplib::Response& res);
  void Logout(const httplib::Request& req, httplib::Response& res);
  void Upload(const httplib::Request& req, httplib::Response& res, const std::string& body);
  void SignUpPost(const httplib::Request& req, httplib::Response& res, const std::string& body);
  void NotesList(const httplib::Request& req, httplib::Response& res);

  TNoteStore& store_;
  std::string base_;
  bool secure_ = false;
  TPages pages_;
  std::unique_ptr<httplib::Server> http_;
  // Stop may come before Serve has started listening; these let it wait for
  // that, or tell Serve not to start at all, instead of being lost.
  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> serving_{false};
};

}  // namespace pinleaf
