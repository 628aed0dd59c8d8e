#include "app/serviceclient.h"

#include "http/cookies.h"
#include "http/http.h"
#include "net/exceptions.h"
#include "net/tlshandler.h"
#include "platform/clock.h"
#include "runtime/strings.h"
#include "runtime/text.h"

namespace ts {

bool IsPassingFailure(const ENetException& error) {
  if (auto* reply = dynamic_cast<const ENetProtocolReplyError*>(&error)) return reply->ReplyCode >= 500;
  return true;
}

TServiceHttp::TServiceHttp()
    : ownCookies_(std::make_unique<TNetCookieManager>(nullptr)), ownHttp_(std::make_unique<TNetHTTP>(nullptr)) {
  http_ = ownHttp_.get();
  SetUp(*ownCookies_);
}

TServiceHttp::TServiceHttp(TNetHTTP& http, TNetCookieManager& cookies) : http_(&http) { SetUp(cookies); }

TServiceHttp::~TServiceHttp() {
  // The jar of our own goes first; the client must not point at it then.
  if (ownHttp_) ownHttp_->SetCookieManager(nullptr);
}

void TServiceHttp::SetUp(TNetCookieManager& cookies) {
  // Everything not set here keeps the client's default.
  http_->HandleRedirects = true;
  http_->AllowCookies = true;
  http_->SetCookieManager(&cookies);
  // Owned by the client: it is the client's end point.
  tls_ = new TNetSSLIOHandlerSocket(http_);
  http_->SetIOHandler(tls_);
  http_->HTTPOptions = TNetHTTPOptions{TNetHTTPOption::hoForceEncodeParams};
  http_->Request().Accept = kAcceptTypes;
  http_->Request().UserAgent = kUserAgent;
  http_->MaxLineAction = TNetMaxLineAction::maException;
  http_->ConnectTimeout = kConnectTimeoutMs;
  http_->ReadTimeout = kReadTimeoutMs;
}

void TServiceHttp::SetPinnedCertificate(const std::string& sha256Hex) { tls_->SetPinnedCertificate(sha256Hex); }

std::string TServiceHttp::GetText(const std::string& url) { return http_->GetText(url); }

std::string TServiceHttp::PostForm(const std::string& url, const TStringList& lines) {
  return http_->PostForm(url, lines);
}

std::string TServiceClient::Probe(const std::string& base) {
  return transport_.GetText(base + "/posts/nop/?" + IntToStr(numbers_.Next()));
}

std::string TServiceClient::Login(const std::string& base, const std::string& id, const std::string& password) {
  TStringList lines;
  lines.Add("data[User][username]=" + id);
  lines.Add("data[User][password]=" + password);
  return transport_.PostForm(base + "/users/login", lines);
}

std::string TServiceClient::Upload(const std::string& base, const std::string& noteDocument) {
  TStringList lines;
  lines.Add("data[Param][xmldata]=" + noteDocument);
  return transport_.PostForm(base + "/posts/addpinleaf", lines);
}

TServiceOutcome TServiceClient::Send(const TServiceAccount& account, const TNoteSource& note,
                                     const TAnswerSink& onAnswer) {
  TServiceOutcome outcome;
  auto answered = [&onAnswer](const std::string& answer) {
    if (onAnswer) onAnswer(answer);
    return answer;
  };
  try {
    std::string response = answered(Probe(account.baseUrl));
    if (HasLoginMarker(response)) {
      response = answered(Login(account.baseUrl, account.id, account.password));
      if (LoginPauseMs) platform::Sleep(LoginPauseMs);
    }
    if (HasLoginMarker(response)) {
      outcome.result = TServiceResult::srLoginRefused;
      outcome.reason = "cannot login!";
      return outcome;
    }
    const TOutgoingNote outgoing = note();
    response = answered(Upload(account.baseUrl, BuildNoteDocument(outgoing.text, outgoing.paperId, outgoing.title)));
    if (HasSuccessMarker(response)) {
      outcome.result = TServiceResult::srStored;
    } else {
      outcome.result = TServiceResult::srRefused;
      outcome.reason = "cannot send data.";
    }
  } catch (const ENetException& e) {
    outcome.result = IsPassingFailure(e) ? TServiceResult::srFailed : TServiceResult::srRefused;
    outcome.reason = e.Message();
    outcome.error = std::current_exception();
  }
  return outcome;
}

}  // namespace ts
