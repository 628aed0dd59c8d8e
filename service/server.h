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

#include "service/gate.h"
#include "service/pages.h"
#include "service/store.h"
#include "service/throttle.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace pinleaf {

class TTLSFront;

// Largest request body read at all. A note of the largest size, written the
// way the client writes it (five bytes per byte of text once the form encoding
// is applied on top of the note's own escapes), fits with room to spare; above
// this the request is cut off without being read.
inline constexpr size_t kMaxRequestBodyBytes = 8 * kMaxNoteBodyBytes;
// Largest body of every other form (sign-in, sign-up, sign-out, delete).
inline constexpr size_t kMaxSmallFormBytes = 4 * 1024;
// A form with more fields than this is refused undecoded.
inline constexpr size_t kMaxFormFields = 16;
// Notes shown per page of the notes list at most; a page also ends once its
// previews add up to kNotesPageBytes.
inline constexpr int64_t kNotesPageSize = 50;
inline constexpr size_t kNotesPageBytes = 64 * 1024;
// A note longer than this shows its beginning on the list, with a link to the whole.
inline constexpr size_t kNotePreviewBytes = 2000;
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

// A value fit for one log line: control bytes, "\\" and bytes that are not
// UTF-8 text are written as \xNN, so no request can start a line of its own
// or hide one.
std::string LogEscape(std::string_view text);

struct TServerSettings {
  TGateLimits limits;
  // Host names (with or without ":port") the service is reached by. When any
  // is given, requests naming another host are refused, so a name that some
  // other site points at this address (DNS rebinding) gets nothing.
  std::vector<std::string> public_names;
  // Addresses of reverse proxies in front of the service. Behind one, every
  // connection comes from the proxy; the client is the last entry of the
  // X-Forwarded-For it sets (entries before it are the client's own say).
  std::vector<std::string> trusted_proxies;
  // With TLS files, HTTPS only (TLS 1.2 or newer), the session cookie marked
  // Secure and every answer carrying Strict-Transport-Security. The files
  // must have been checked (CheckCertificateAndKey).
  TTLSFiles tls;
  // Whether anybody may make an account on the sign-up page; when not, only
  // the operator adds accounts.
  bool sign_up_open = true;
};

// Largest JSON body of the API and largest import; the same as a note upload's.
inline constexpr size_t kMaxApiBodyBytes = kMaxRequestBodyBytes;
// Notes an API list gives at most, and the first bytes of each body it holds.
inline constexpr int64_t kApiPageSize = 100;
inline constexpr size_t kApiBodyBytes = 64 * 1024;

class TPinleafServer {
public:
  TPinleafServer(TNoteStore& store, std::string base, TServerSettings settings = {});
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

  class THttp;

  void Dispatch(const httplib::Request& req, httplib::Response& res, const std::string& body);
  std::optional<TUser> SessionUser(const httplib::Request& req, std::string* token = nullptr);
  void StartSession(httplib::Response& res, const TUser& user, const httplib::Request& req);
  int CheckHead(const TRequestHead& head, size_t& body_limit);
  bool HostAllowed(const httplib::Request& req) const;
  bool OriginAllowed(const httplib::Request& req) const;
  // The address that sent the request: the connection's, or behind a trusted
  // proxy the one the proxy names.
  std::string ClientAddress(const httplib::Request& req) const;
  // The form token for this browser, setting its form cookie when it has none.
  std::string FormToken(const httplib::Request& req, httplib::Response& res);
  bool FormTokenValid(const httplib::Request& req, const std::string& token);

  void Probe(const httplib::Request& req, httplib::Response& res);
  void LoginPost(const httplib::Request& req, httplib::Response& res, const std::string& body);
  void Home(const httplib::Request& req, httplib::Response& res);
  void Logout(const httplib::Request& req, httplib::Response& res, const std::string& body);
  void Upload(const httplib::Request& req, httplib::Response& res, const std::string& body);
  void SignUpPost(const httplib::Request& req, httplib::Response& res, const std::string& body);
  void NotesList(const httplib::Request& req, httplib::Response& res);
  void NoteView(const httplib::Request& req, httplib::Response& res);
  void NoteDelete(const httplib::Request& req, httplib::Response& res, const std::string& body);
  void NotesExport(const httplib::Request& req, httplib::Response& res, bool zip);
  void NotesImport(const httplib::Request& req, httplib::Response& res, const std::string& body);
  void TokensPage(const httplib::Request& req, httplib::Response& res, const std::string& body, std::string_view rel);

  // Pairing a device (device.cpp): the device's two requests and the page
  // where its owner approves it.
  void OAuthDevice(const httplib::Request& req, httplib::Response& res, const std::string& body);
  void OAuthToken(const httplib::Request& req, httplib::Response& res, const std::string& body);
  void DevicePage(const httplib::Request& req, httplib::Response& res, const std::string& body);
  // "https://host:port", as the client reached the service.
  std::string PublicOrigin(const httplib::Request& req) const;

  // The JSON API (api.cpp); `rel` is the path after "/api/v1".
  void Api(const httplib::Request& req, httplib::Response& res, const std::string& body, std::string_view rel);
  // Streams a download of the account's notes; false (answered) when too many run already.
  bool StreamExport(httplib::Response& res, int64_t user_id, bool zip);
  // How long the client must wait before its next try of a token, 0 when it may go on.
  int64_t TokenWaitMs(const httplib::Request& req);

  TNoteStore& store_;
  std::string base_;
  bool secure_ = false;
  TServerSettings settings_;
  TPages pages_;
  std::string form_secret_;
  TLoginThrottle throttle_{store_.Data()};
  std::unique_ptr<THttp> http_;
  std::unique_ptr<TGate> gate_;
  // HTTPS: TLS ends here, in front of the gate (declared after it, so it goes first).
  std::unique_ptr<TTLSFront> front_;
  // Stop may come before Serve has started listening; these let it wait for
  // that, or tell Serve not to start at all, instead of being lost.
  std::atomic<int> exports_running_{0};
  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> serving_{false};
};

}  // namespace pinleaf
