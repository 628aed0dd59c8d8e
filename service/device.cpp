// Pairing a device with an account, the OAuth 2.0 device authorization
// grant (RFC 8628): the device asks for codes (BASE/oauth/device), its owner
// approves it on BASE/device, the device polls BASE/oauth/token until it gets
// a token of its own. Every step lives in the database, so several instances
// may answer the steps of one pairing.
#include <httplib.h>

#include "service/form.h"
#include "service/json.h"
#include "service/note_document.h"
#include "service/server.h"

namespace pinleaf {

namespace {

const char kDeviceGrantType[] = "urn:ietf:params:oauth:grant-type:device_code";

void OAuthAnswer(httplib::Response& res, int status, const std::string& json) {
  res.status = status;
  res.set_content(json + "\n", "application/json");
}

void OAuthError(httplib::Response& res, std::string_view error, std::string_view description, int status = 400) {
  OAuthAnswer(res, status,
              "{\"error\":" + JsonString(error) + ",\"error_description\":" + JsonString(description) + "}");
}

// A client's name or a device's: printable, UTF-8, not too long.
bool Printable(std::string_view text, size_t most) {
  if (text.empty() || text.size() > most || !IsValidUtf8(text)) return false;
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return true;
}

void Html(httplib::Response& res, const std::string& page, int status = 200) {
  res.status = status;
  res.set_content(page, "text/html; charset=utf-8");
}

// Wrong codes typed by an account count like failed sign-ins of a name of
// their own (no account name holds a control character).
std::string CodeKey(const TUser& user) {
  return "\x01"
         "device code " +
         user.name;
}

}  // namespace

std::string TPinleafServer::PublicOrigin(const httplib::Request& req) const {
  std::string scheme = secure_ ? "https" : "http";
  const auto& proxies = settings_.trusted_proxies;
  if (std::find(proxies.begin(), proxies.end(), req.remote_addr) != proxies.end()) {
    std::string forwarded = req.get_header_value("X-Forwarded-Proto");
    if (forwarded == "https" || forwarded == "http") scheme = forwarded;
  }
  std::string host = req.get_header_value("Host");
  if (host.empty() || host.find_first_of(" /\\\"<>") != std::string::npos)
    host = settings_.public_names.empty() ? "localhost" : settings_.public_names.front();
  return scheme + "://" + host;
}

void TPinleafServer::OAuthDevice(const httplib::Request& req, httplib::Response& res, const std::string& body) {
  FormFields fields = DecodeForm(body);
  std::string client_id = FindField(fields, "client_id").value_or("");
  if (!Printable(client_id, 64)) return OAuthError(res, "invalid_request", "client_id is missing or not a name");
  std::optional<TScope> scope = ParseScope(FindField(fields, "scope").value_or("capture"));
  if (!scope) return OAuthError(res, "invalid_scope", "the scope is capture, read or full");
  // The device says what it is ("text snap on HOSTNAME"): its owner sees it
  // when approving, and the token is named after it.
  std::string device = FindField(fields, "device_name").value_or("");
  if (!device.empty() && !Printable(device, 64))
    return OAuthError(res, "invalid_request", "device_name is at most 64 printable characters");
  std::string program = client_id == "textsnap" ? "text snap" : client_id;
  std::string name = device.empty() ? program : program + " on " + device;
  std::optional<TNoteStore::TDeviceCodes> codes = store_.StartDeviceGrant(client_id, *scope, name, ClientAddress(req));
  if (!codes) {
    res.set_header("Retry-After", "60");
    return OAuthError(res, "slow_down", "too many pairings are waiting; try again later", 429);
  }
  const std::string uri = PublicOrigin(req) + base_ + "/device";
  const std::string shown = TNoteStore::ShowUserCode(codes->user_code);
  OAuthAnswer(res, 200,
              "{\"device_code\":" + JsonString(codes->device_code) + ",\"user_code\":" + JsonString(shown) +
                  ",\"verification_uri\":" + JsonString(uri) + ",\"verification_uri_complete\":" +
                  JsonString(uri + "?user_code=" + shown) + ",\"expires_in\":" + std::to_string(codes->expires_in_s) +
                  ",\"interval\":" + std::to_string(codes->interval_s) + "}");
}

void TPinleafServer::OAuthToken(const httplib::Request& req, httplib::Response& res, const std::string& body) {
  FormFields fields = DecodeForm(body);
  if (FindField(fields, "grant_type").value_or("") != kDeviceGrantType)
    return OAuthError(res, "unsupported_grant_type", std::string("grant_type is ") + kDeviceGrantType);
  std::string device_code = FindField(fields, "device_code").value_or("");
  std::string client_id = FindField(fields, "client_id").value_or("");
  if (device_code.empty() || device_code.size() > 128 || client_id.empty())
    return OAuthError(res, "invalid_request", "device_code and client_id are needed");
  // Unknown device codes count as failed sign-ins of the address.
  if (int64_t wait = TokenWaitMs(req); wait > 0) {
    res.set_header("Retry-After", std::to_string((wait + 999) / 1000));
    return OAuthError(res, "slow_down", "too many failed attempts from this address", 429);
  }
  TDevicePollResult r = store_.PollDeviceGrant(device_code, client_id);
  switch (r.answer) {
    case TDevicePoll::kUnknown:
      throttle_.AddressFailed(ClientAddress(req), store_.now_ms());
      return OAuthError(res, "invalid_grant", "no such device code, or it has been used");
    case TDevicePoll::kPending:
      return OAuthError(res, "authorization_pending", "the code has not been approved yet");
    case TDevicePoll::kSlowDown:
      return OAuthAnswer(res, 400,
                         "{\"error\":\"slow_down\",\"error_description\":\"polled sooner than the interval\","
                         "\"interval\":" +
                             std::to_string(r.interval_s) + "}");
    case TDevicePoll::kDenied:
      return OAuthError(res, "access_denied", "the account's owner refused the pairing");
    case TDevicePoll::kExpired:
      return OAuthError(res, "expired_token", "the code has expired; ask for a new one");
    case TDevicePoll::kTokenLimit:
      return OAuthError(res, "access_denied", "the account holds as many tokens as it may; revoke one first");
    case TDevicePoll::kIssued:
      return OAuthAnswer(res, 200,
                         "{\"access_token\":" + JsonString(r.secret) +
                             ",\"token_type\":\"Bearer\",\"scope\":" + JsonString(ScopeName(r.token.scope)) + "}");
  }
}

void TPinleafServer::DevicePage(const httplib::Request& req, httplib::Response& res, const std::string& body) {
  const bool post = req.method == "POST";
  FormFields fields = post ? DecodeForm(body) : FormFields();
  std::string typed = post ? FindField(fields, "user_code").value_or("")
                           : (req.has_param("user_code") ? req.get_param_value("user_code") : "");
  if (typed.size() > 20) typed.resize(20);
  const std::string code = TNoteStore::NormaliseUserCode(typed);
  std::optional<TUser> user = SessionUser(req);
  if (!user) {
    std::string next = base_ + "/device" + (code.empty() ? "" : "?user_code=" + TNoteStore::ShowUserCode(code));
    return Html(res, pages_.Login("Sign in to pair a device.", FormToken(req, res), next), post ? 403 : 200);
  }
  if (post && !FormTokenValid(req, FindField(fields, "token").value_or("")))
    return Html(res, pages_.Message("Form expired", "Please enter the code again."), 403);
  if (typed.empty()) return Html(res, pages_.DeviceCode("", ""));
  const std::string address = ClientAddress(req);
  const int64_t now = store_.now_ms();
  if (int64_t wait = throttle_.WaitMs(CodeKey(*user), address, now); wait > 0) {
    res.set_header("Retry-After", std::to_string((wait + 999) / 1000));
    return Html(res, pages_.DeviceCode("Too many wrong codes. Please wait a moment and try again.", typed));
  }
  std::optional<TDeviceGrant> grant = code.empty() ? std::nullopt : store_.Data().DeviceGrantByUserCode(code);
  if (!grant || grant->expires_ms <= now) {
    throttle_.Failed(CodeKey(*user), address, now);
    return Html(
        res, pages_.DeviceCode("That code is not valid, or it has expired. Check the code your device shows.", typed));
  }
  if (grant->state != "pending")
    return Html(res, pages_.DeviceCode("That code has been used already. Ask the device for a new one.", ""));
  if (!post) return Html(res, pages_.DeviceConfirm(*grant, TNoteStore::ShowUserCode(code), FormToken(req, res)));
  const bool approve = FindField(fields, "decision").value_or("") == "approve";
  switch (store_.Data().DecideDeviceGrant(code, user->id, approve, now, kMaxTokensPerUser)) {
    case TDeviceDecision::kDone:
      return Html(res, pages_.DeviceDone(approve, grant->token_name));
    case TDeviceDecision::kDecided:
      return Html(res, pages_.DeviceCode("That code has been used already. Ask the device for a new one.", ""));
    case TDeviceDecision::kNoSuchCode:
      return Html(res, pages_.DeviceCode("That code has expired. Ask the device for a new one.", ""));
    case TDeviceDecision::kTokenLimit:
      return Html(res, pages_.DeviceCode("You hold " + std::to_string(kMaxTokensPerUser) +
                                             " access tokens already; revoke one on the page Access tokens first.",
                                         typed));
  }
}

}  // namespace pinleaf
