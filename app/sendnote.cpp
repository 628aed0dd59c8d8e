#include "app/sendnote.h"

#include "app/snap.h"
#include "http/cookies.h"
#include "http/exceptions.h"
#include "http/http.h"
#include "net/exceptions.h"
#include "net/tlshandler.h"
#include "runtime/codepage.h"
#include "runtime/text.h"

namespace ts {

namespace {

TUnreachableNoteHandler& UnreachableHandler() {
  static TUnreachableNoteHandler handler;
  return handler;
}

// The exchange needs only the HTTP client of a host; a command has no tray,
// no window and no cues.
class TCommandHost : public TSnapHost {
public:
  explicit TCommandHost(const std::string& pinnedCertificate) : http_(nullptr), cookies_(nullptr) {
    // https services as in the tray client, with the settings file's pinned
    // certificate; the client owns its end point.
    auto* tls = new TNetSSLIOHandlerSocket(&http_);
    tls->SetPinnedCertificate(pinnedCertificate);
    http_.SetIOHandler(tls);
    http_.HandleRedirects = true;
    http_.AllowCookies = true;
    http_.SetCookieManager(&cookies_);
    http_.HTTPOptions = TNetHTTPOptions{TNetHTTPOption::hoForceEncodeParams};
    http_.Request().Accept = "text/html, */*";
    http_.Request().UserAgent = "Mozilla/3.0 (compatible; text snap)";
    http_.MaxLineAction = TNetMaxLineAction::maException;
    // A script must not hang on a silent service.
    http_.ConnectTimeout = 15000;
    http_.ReadTimeout = 30000;
  }
  ~TCommandHost() override { http_.SetCookieManager(nullptr); }

  std::string GetText(const std::string& url) override { return http_.GetText(url); }
  std::string PostForm(const std::string& url, const TStringList& lines) override { return http_.PostForm(url, lines); }
  void ClearBalloon() override {}
  void TitleBalloon(int, const std::string&) override {}
  void FullBalloon(int, const std::string&, const std::string&) override {}
  bool AutoCopy() override { return false; }
  std::string UserId() override { return {}; }
  std::string Password() override { return {}; }
  std::string BaseUrl() override { return {}; }
  void SetSendEnabled(bool) override {}
  void ShowResponse(const std::string&) override {}
  void ProcessMessages() override {}
  void PlayCue(int) override {}

private:
  TNetHTTP http_;
  TNetCookieManager cookies_;
};

TSendResult Unreachable(const TSettings& settings, const std::string& text, const std::string& why) {
  std::string notKept;
  if (UnreachableHandler() && UnreachableHandler()(settings, text, notKept))
    return {TSendStatus::Kept, "the service cannot be reached (" + why + "); the note is kept to be sent later"};
  return {TSendStatus::Unreachable,
          "the service cannot be reached: " + why + (notKept.empty() ? "" : "; the note is NOT kept: " + notKept)};
}

}  // namespace

bool IsNoteText(const std::string& text) {
  return text.find('\0') == std::string::npos && Utf16ToUtf8(Utf8ToUtf16(text)) == text;
}

void SetUnreachableNoteHandler(TUnreachableNoteHandler handler) { UnreachableHandler() = std::move(handler); }

TSendResult SendNote(const TSettings& settings, const std::string& utf8Text) {
  if (!IsNoteText(utf8Text)) return {TSendStatus::Failed, "not text: the input is not UTF-8 text"};
  if (Trim(utf8Text).empty()) return {TSendStatus::Failed, "no data: the input holds only blanks"};
  // The settings hold text in the system code page; the service gets UTF-8.
  const std::string base = SystemToUtf8(settings.url);
  const std::string id = SystemToUtf8(settings.id);
  const std::string password = SystemToUtf8(settings.password);
  try {
    TCommandHost host(settings.certSha256);
    TServiceExchange exchange(host);
    std::string response = exchange.Probe(base);
    if (HasLoginMarker(response)) response = exchange.Login(base, id, password);
    if (HasLoginMarker(response)) return {TSendStatus::NotLoggedIn, "cannot login: the service refused the account"};
    response = exchange.Upload(base, BuildNoteDocument(utf8Text, platform::GetLocalTime()));
    if (!HasSuccessMarker(response)) return {TSendStatus::Refused, "cannot send data: the service did not store it"};
    return {TSendStatus::Stored, "stored"};
  } catch (const ENetHTTPProtocolException& e) {
    return {TSendStatus::Refused, "the service refused the request: " + std::string(e.what())};
  } catch (const ENetURIException& e) {
    return {TSendStatus::Failed, "bad service URL: " + std::string(e.what())};
  } catch (const ENetUnknownProtocol& e) {
    return {TSendStatus::Failed, "bad service URL: " + std::string(e.what())};
  } catch (const ENetException& e) {
    std::string why = e.what();
    for (char& c : why)
      if (c == '\r' || c == '\n') c = ' ';
    return Unreachable(settings, utf8Text, why);
  }
}

}  // namespace ts
