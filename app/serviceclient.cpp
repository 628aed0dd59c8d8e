#include "app/serviceclient.h"

#include "http/cookies.h"
#include "http/exceptions.h"
#include "http/http.h"
#include "http/json.h"
#include "net/exceptions.h"
#include "net/tlshandler.h"
#include "platform/clock.h"
#include "runtime/scope.h"
#include "runtime/stream.h"
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

std::string TServiceHttp::PostJson(const std::string& url, const std::string& json, const std::string& token) {
  return WithToken(true, url, json, token);
}

void TServiceHttp::Delete(const std::string& url, const std::string& token) { WithToken(false, url, "", token); }

std::string TServiceHttp::WithToken(bool post, const std::string& url, const std::string& json,
                                    const std::string& token) {
  TNetHTTPRequest& request = http_->Request();
  // The token and the JSON type are this request's alone: the form requests
  // that may follow on the same client go out as they always did. A redirect
  // is not followed, so the token never goes anywhere but to the address asked.
  TRestore<std::string> type(request.ContentType, post ? std::string("application/json") : request.ContentType);
  TRestore<bool> redirects(http_->HandleRedirects, false);
  request.CustomHeaders().PutValue("Authorization", "Bearer " + token);
  auto forget = OnScopeExit([&request] { request.CustomHeaders().PutValue("Authorization", ""); });
  TMemoryStream answer;
  try {
    if (post) {
      TMemoryStream source;
      source.WriteString(json);
      source.SetPosition(0);
      http_->PostStream(url, source, &answer);
    } else {
      http_->Perform(TNetHTTPMethod::hmDelete, url, nullptr, &answer);
    }
  } catch (const ENetHTTPProtocolException& e) {
    // A stored note's answer names it in Location, which the client takes
    // for a redirect and, not following it, raises with the answer: by its
    // status it is the service's yes all the same.
    if (e.ReplyCode / 100 == 2) return e.ErrorMessage;
    throw;
  }
  const int code = http_->ResponseCode();
  // Not followed, a redirect is no answer of the API.
  if (code / 100 != 2) throw ENetHTTPProtocolException(code, http_->ResponseText(), answer.DataString());
  return answer.DataString();
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

std::string TServiceClient::NoteJson(const TOutgoingNote& note) {
  std::string json = "{\"text\":" + JsonQuote(note.text);
  if (!note.paperId.empty()) json += ",\"paper_id\":" + JsonQuote(note.paperId);
  if (!note.title.empty()) json += ",\"title\":" + JsonQuote(note.title);
  return json + "}";
}

TServiceOutcome TServiceClient::SendWithToken(const TServiceAccount& account, const TNoteSource& note,
                                              const TAnswerSink& onAnswer) {
  TServiceOutcome outcome;
  try {
    const std::string answer = transport_.PostJson(account.baseUrl + "/api/v1/notes", NoteJson(note()), account.token);
    if (onAnswer) onAnswer(answer);
    outcome.result = TServiceResult::srStored;
  } catch (const ENetException& e) {
    const auto* reply = dynamic_cast<const ENetProtocolReplyError*>(&e);
    const int code = reply ? reply->ReplyCode : 0;
    if (code == 401 || code == 403) {
      // Revoked, or never a token that may add notes: the note waits as it
      // does for a refused sign-in, until the device is paired again.
      outcome.result = TServiceResult::srLoginRefused;
      outcome.reason = kPairAgainReason;
      return outcome;
    }
    // Too many tries from here: the service takes the note later.
    outcome.result = IsPassingFailure(e) || code == 429 ? TServiceResult::srFailed : TServiceResult::srRefused;
    outcome.reason = e.Message();
    outcome.error = std::current_exception();
  }
  return outcome;
}

TServiceOutcome TServiceClient::Send(const TServiceAccount& account, const TNoteSource& note,
                                     const TAnswerSink& onAnswer) {
  if (!account.token.empty()) return SendWithToken(account, note, onAnswer);
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
