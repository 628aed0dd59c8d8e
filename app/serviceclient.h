// The conversation with the note service, written once for everyone who
// talks to it: the tray's snap, the outbox's deliveries and `textsnap send`.
// A conversation is a probe, a login when the service asks for one, and the
// upload of one note; for a paired device it is one call of the service's
// API with the device's token instead. It ends in one of four outcomes.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "app/protocol.h"
#include "runtime/strings.h"

namespace ts {

class TNetHTTP;
class TNetCookieManager;
class TNetSSLIOHandlerSocket;

inline constexpr const char* kUserAgent = "Mozilla/3.0 (compatible; text snap)";
inline constexpr const char* kAcceptTypes = "text/html, */*";
// No conversation waits longer for the service: a silent service or a
// half-open connection ends it, and the note waits in the outbox.
inline constexpr int32_t kConnectTimeoutMs = 15000;
inline constexpr int32_t kReadTimeoutMs = 30000;
// The pause after a login, before the note goes out.
inline constexpr uint32_t kLoginPauseMs = 300;

// How the conversation reaches the service: the answers' texts as received;
// every failure raises (ENetException and its kin).
class TServiceTransport {
public:
  virtual ~TServiceTransport() = default;
  virtual std::string GetText(const std::string& url) = 0;
  virtual std::string PostForm(const std::string& url, const TStringList& lines) = 0;
  // Requests of the service's API, carrying the device's token
  // ("Authorization: Bearer"): a JSON document posted, and a DELETE. An
  // answer outside 2xx raises as any refusal does.
  virtual std::string PostJson(const std::string& url, const std::string& json, const std::string& token) = 0;
  virtual void Delete(const std::string& url, const std::string& token) = 0;
};

// The HTTP client set up as the service needs it: user agent, accepted
// types, form encoding, cookies, redirects, time-outs and the TLS end point
// with its pinned certificate.
class TServiceHttp : public TServiceTransport {
public:
  // Parts of its own (a command without a window).
  TServiceHttp();
  // The caller's parts, which stay the caller's (the window's components).
  TServiceHttp(TNetHTTP& http, TNetCookieManager& cookies);
  ~TServiceHttp() override;
  TServiceHttp(const TServiceHttp&) = delete;
  TServiceHttp& operator=(const TServiceHttp&) = delete;

  TNetHTTP& Http() { return *http_; }
  // The client's end point: plain bytes for "http://", TLS for "https://".
  TNetSSLIOHandlerSocket& Tls() { return *tls_; }
  // The SHA-256 of the one certificate an https service may present; empty
  // lets the system's trust store decide.
  void SetPinnedCertificate(const std::string& sha256Hex);

  std::string GetText(const std::string& url) override;
  std::string PostForm(const std::string& url, const TStringList& lines) override;
  std::string PostJson(const std::string& url, const std::string& json, const std::string& token) override;
  void Delete(const std::string& url, const std::string& token) override;

private:
  void SetUp(TNetCookieManager& cookies);
  // One request with the token, a POST of `json` or a DELETE; the answer's body.
  std::string WithToken(bool post, const std::string& url, const std::string& json, const std::string& token);

  std::unique_ptr<TNetCookieManager> ownCookies_;
  std::unique_ptr<TNetHTTP> ownHttp_;
  TNetHTTP* http_ = nullptr;
  TNetSSLIOHandlerSocket* tls_ = nullptr;  // owned by the HTTP client
};

// Where the note goes and as whom; UTF-8. With a token (this device is
// paired) the ID and the password are not used.
struct TServiceAccount {
  std::string baseUrl;
  std::string id;
  std::string password;
  std::string token;
};

// Why a paired device's note was not taken for its token: said in balloons
// and by `textsnap send`.
inline constexpr const char* kPairAgainReason = "the service no longer takes this device's pairing: pair again";

// A note as it leaves: its text (UTF-8), its paper id and its title (UTF-8,
// empty for none).
struct TOutgoingNote {
  std::string text;
  std::string paperId;
  std::string title;
};

enum class TServiceResult {
  srStored,        // the service said it stored the note
  srRefused,       // the service answered and did not store it; sending again will not help
  srLoginRefused,  // the service did not take the account
  srFailed,        // no answer that counts: unreachable, cut, timed out, overloaded
};

struct TServiceOutcome {
  TServiceResult result = TServiceResult::srFailed;
  std::string reason;        // why it was not stored, for the user
  std::exception_ptr error;  // the error that ended the conversation, when one did
  bool Stored() const { return result == TServiceResult::srStored; }
  // Raises the error that ended the conversation again; nothing without one.
  void RaiseError() const {
    if (error) std::rethrow_exception(error);
  }
};

class ENetException;
// Whether a failed conversation may succeed later by itself (the service was
// down, unreachable, overloaded or cut the connection), so the note is worth
// sending again; an HTTP answer below 500 is the service's own refusal.
bool IsPassingFailure(const ENetException& error);

class TServiceClient {
public:
  explicit TServiceClient(TServiceTransport& transport) : transport_(transport) {}

  // Called with each answer's text as it arrives (probe, login, upload).
  using TAnswerSink = std::function<void(const std::string& answer)>;
  // Asked for the note right before its upload, after the probe and the
  // login: the snap reads the clipboard once more there.
  using TNoteSource = std::function<TOutgoingNote()>;

  // One conversation: probe, login when the service asks (then the pause),
  // upload; with the account's token, the one API call. Errors of the
  // transport end it and are given back in the outcome, except the refusal
  // of the token (srLoginRefused, kPairAgainReason).
  TServiceOutcome Send(const TServiceAccount& account, const TNoteSource& note, const TAnswerSink& onAnswer = {});
  TServiceOutcome Send(const TServiceAccount& account, const TOutgoingNote& note, const TAnswerSink& onAnswer = {}) {
    return Send(
        account, [&note] { return note; }, onAnswer);
  }

  // The pause after a login; a command that sends one note needs none.
  uint32_t LoginPauseMs = kLoginPauseMs;

  // The three requests.
  std::string Probe(const std::string& base);
  // Two form lines, so an ID or password holding "&", "+" or "=" arrives intact.
  std::string Login(const std::string& base, const std::string& id, const std::string& password);
  std::string Upload(const std::string& base, const std::string& noteDocument);

  // The note as the API takes it: a JSON object of its text, paper id and title.
  static std::string NoteJson(const TOutgoingNote& note);

private:
  TServiceOutcome SendWithToken(const TServiceAccount& account, const TNoteSource& note, const TAnswerSink& onAnswer);

  TServiceTransport& transport_;
  TProbeNumbers numbers_;
};

}  // namespace ts
