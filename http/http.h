// The HTTP/1.0 and HTTP/1.1 client: resolves each target against the previous
// one, reuses or opens the connection, writes the request head and body, reads
// and judges the answer, and repeats the exchange for redirects and
// authentication challenges.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "http/authentication.h"
#include "http/cookies.h"
#include "http/headers.h"
#include "http/uri.h"
#include "net/tcpconnection.h"
#include "net/tlshandler.h"
#include "runtime/stream.h"
#include "runtime/strings.h"

namespace ts {

// The body of a form post: the lines' text trimmed, each CR LF between two
// lines turned into "&"; with `encodeValues` every value is encoded first,
// in place in `lines`.
std::string FormBody(TStringList& lines, bool encodeValues);

class TNetCustomHTTP;
class TBoundedBody;

enum class TNetHTTPProtocolVersion { pv1_0, pv1_1 };

enum class TNetHTTPOption { hoInProcessAuth, hoKeepOrigProtocol, hoForceEncodeParams };

// A set of TNetHTTPOption.
class TNetHTTPOptions {
public:
  TNetHTTPOptions(std::initializer_list<TNetHTTPOption> options = {}) {
    for (TNetHTTPOption option : options) Include(option);
  }
  bool Contains(TNetHTTPOption option) const { return (bits_ & Bit(option)) != 0; }
  TNetHTTPOptions& Include(TNetHTTPOption option) {
    bits_ |= Bit(option);
    return *this;
  }
  TNetHTTPOptions& Exclude(TNetHTTPOption option) {
    bits_ &= ~Bit(option);
    return *this;
  }
  bool operator==(const TNetHTTPOptions& other) const = default;

private:
  static unsigned Bit(TNetHTTPOption option) { return 1u << static_cast<unsigned>(option); }
  unsigned bits_ = 0;
};

enum class TNetHTTPMethod { hmHead, hmGet, hmPost, hmOptions, hmTrace, hmPut, hmConnect, hmDelete };

// The word that opens the request line, with its trailing blank ("GET ").
const char* HTTPMethodWord(TNetHTTPMethod method);

// How a request reaches its server.
enum class TNetHTTPConnectionType { ctNormal, ctSSL, ctProxy, ctSSLProxy };

// What the exchange does after judging an answer.
enum class TNetHTTPWhatsNext { wnGoToURL, wnAuthRequest, wnJustExit, wnDontKnow };

class TNetHTTPRequest : public TNetRequestHeaderInfo {
public:
  std::string Target;  // the URL given, then the request-target of the request line
  TNetHTTPMethod Method = TNetHTTPMethod::hmGet;
  TStream* SourceStream = nullptr;  // body to send; not owned
  TNetHTTPConnectionType Route = TNetHTTPConnectionType::ctNormal;
};

class TNetHTTPResponse : public TNetResponseHeaderInfo {
public:
  explicit TNetHTTPResponse(TNetCustomHTTP* http) : http_(http) {}

  const std::string& StatusLine() const { return statusLine_; }
  // Also sets StatusCode from the line: the number after the first blank, -1
  // when there is none.
  void SetStatusLine(const std::string& line);
  int StatusCode = -1;
  TNetHTTPProtocolVersion ServerVersion = TNetHTTPProtocolVersion::pv1_0;
  TStream* BodyStream = nullptr;  // not owned

  // Whether the connection may carry the next request after this answer. The
  // client's own protocol version decides, not the server's; also notices a
  // peer that has closed meanwhile.
  bool KeepConnection();

  // The body's framing as the head gives it, checked: chunked, or the length
  // from Content-Length (-1 when none was given).
  bool Chunked = false;
  int64_t BodyLength = -1;
  // The head framed its body two ways (Content-Length and chunked): the
  // connection carries no further request, whatever the head says of it.
  bool AmbiguousFraming = false;

private:
  TNetCustomHTTP* http_;
  std::string statusLine_;
};

// One request/answer pair on a client's connection.
class TNetHTTPProtocol : public TObject {
public:
  explicit TNetHTTPProtocol(TNetCustomHTTP* http);
  ~TNetHTTPProtocol() override;

  TNetHTTPRequest& Request() { return *request_; }
  TNetHTTPResponse& Response() { return *response_; }

  // Writes the request line, the head and, for POST and PUT, the body.
  void BuildAndSendRequest(const TNetURI& uri);
  // Reads the status line and head (again while the status is 100) and hands
  // the cookies of each head to the cookie manager.
  void RetrieveHeaders();
  // Reads the rest of a head whose status line has been read, and hands its
  // cookies to the cookie manager.
  void ReadHeadAfter(const std::string& statusLine);
  // Whether a byte of the answer to the last request sent has come.
  bool AnswerStarted() const { return answerStarted_; }
  // Decides how the exchange goes on; reads or discards the body on the way.
  TNetHTTPWhatsNext ProcessResponse();

private:
  void ReadHead();
  // One line of a head or of a chunked body's framing, counted against the
  // answer's head bounds.
  std::string ReadHeadLine();
  // Checks the framing fields of the head just read into the response.
  void ReadFraming();
  void ReadResult(TNetHTTPResponse& response);
  void ReadChunked(TBoundedBody& body);
  // Reads the body into a scratch stream under a short read time-out. False
  // when that failed (the answer's remainder is then of no use).
  bool DiscardBody(int timeout);
  [[noreturn]] void RaiseProtocolError();
  bool BodyAllowed() const;

  TNetCustomHTTP* http_;
  std::unique_ptr<TNetHTTPRequest> request_;
  std::unique_ptr<TNetHTTPResponse> response_;
  bool answerStarted_ = false;
  int64_t headBytes_ = 0;  // of the answer being read, interim heads included
  int headLines_ = 0;
};

// (Sender, dest, NumRedirect, Handled, VMethod): `dest` and `VMethod` may be
// changed; the handler's final `Handled` decides whether the redirect is taken.
using TNetHTTPOnRedirectEvent =
    std::function<void(TObject* Sender, std::string& dest, int NumRedirect, bool& Handled, TNetHTTPMethod& VMethod)>;
using TNetOnSelectAuthorization = std::function<void(
    TObject* Sender, const TNetAuthenticationClass*& AuthenticationClass, const TNetHeaderList& AuthInfo)>;
using TNetOnAuthorization = std::function<void(TObject* Sender, TNetAuthentication* Authentication, bool& Handled)>;

class TNetCustomHTTP : public TNetTCPClient {
public:
  explicit TNetCustomHTTP(TComponent* owner);
  ~TNetCustomHTTP() override;

  // GET; the body as a string.
  std::string GetText(const std::string& url);
  // GET; the body is written into `stream` at its position.
  void GetToStream(const std::string& url, TStream& stream);
  // POST of `lines` (name=value each) as an urlencoded form. With
  // hoForceEncodeParams the values in `lines` are encoded in place.
  std::string PostForm(const std::string& url, TStringList& lines);
  // The same for a list the caller keeps unchanged: a copy is encoded.
  std::string PostForm(const std::string& url, const TStringList& lines);
  void PostFormToStream(const std::string& url, TStringList& lines, TStream& stream);
  // POST of the bytes of `source` on a fresh connection, as HTTP/1.0 unless
  // hoKeepOrigProtocol is set.
  void PostStream(const std::string& url, TStream& source, TStream* response);
  // The common exchange: redirects and authentication are followed here.
  void Perform(TNetHTTPMethod method, const std::string& url, TStream* source, TStream* response);

  // Also move the host and port of the current URI.
  void SetHost(const std::string& host) override;
  void SetPort(int port) override;

  TNetHTTPProtocolVersion ProtocolVersion = TNetHTTPProtocolVersion::pv1_1;
  TNetHTTPOptions HTTPOptions{TNetHTTPOption::hoForceEncodeParams};
  bool HandleRedirects = false;
  int RedirectMaximum = 15;
  int AuthRetries = 3;
  bool AllowCookies = true;
  int ConnectTimeout = 0;
  // What the client reads of one answer: its head (status line and header
  // lines, interim answers and a chunked body's trailer lines counted too) and
  // its body. Beyond them the exchange ends with ENetAnswerTooLarge.
  int64_t MaxHeadBytes = 64 * 1024;
  int MaxHeadLines = 100;
  int64_t MaxBodyBytes = 8 * 1024 * 1024;

  TNetCookieManager* CookieManager() const { return cookieManager_; }
  // A manager the client made itself is freed when another is assigned.
  void SetCookieManager(TNetCookieManager* manager);
  TNetProxyConnectionInfo& ProxyParams() { return proxyParams_; }
  TNetHTTPRequest& Request() { return protocol_->Request(); }
  TNetHTTPResponse& Response() { return protocol_->Response(); }
  TNetHTTPProtocol& Protocol() { return *protocol_; }
  // The URI every target is resolved against: the last one requested.
  TNetURI& URL() { return url_; }
  int RedirectCount() const { return redirectCount_; }
  int ResponseCode() { return Response().StatusCode; }
  const std::string& ResponseText() { return Response().StatusLine(); }

  TNetHTTPOnRedirectEvent OnRedirect;
  TNetOnSelectAuthorization OnSelectAuthorization;
  TNetOnSelectAuthorization OnSelectProxyAuthorization;
  TNetOnAuthorization OnAuthorization;
  TNetOnAuthorization OnProxyAuthorization;

protected:
  void DoOnDisconnected() override;
  void Notification(TComponent* component, TOperation operation) override;

private:
  friend class TNetHTTPProtocol;
  friend class TNetHTTPResponse;

  void ResolveTarget(TNetHTTPRequest& request);
  // True when an open connection is used again.
  bool ConnectToHost(TNetHTTPRequest& request, TNetHTTPResponse& response);
  // Asks the proxy on the open connection for a tunnel to the current URI's
  // host and port (CONNECT), following its authentication requests; returns
  // once the proxy agreed, and the connection then carries the target's bytes.
  void ConnectThroughProxy(const TNetHTTPRequest& request);
  // Writes the request and reads the answer's head. A kept connection that the
  // server closed just as the request went out is replaced once.
  void SendAndReceiveHead(TNetHTTPRequest& request, TNetHTTPResponse& response);
  void CheckTLSHandler(TNetHTTPConnectionType route);
  bool SecureConnection() const;
  void HandOverCookies(const TNetHTTPResponse& response);
  // Fires OnRedirect; the result is its final Handled.
  bool DoOnRedirect(std::string& location, TNetHTTPMethod& method, int count);
  // The authorization step for a 401 (server) or 407 (proxy); true when the
  // request is to be sent again with credentials.
  bool DoOnAuthorization(TNetHTTPRequest& request, TNetHTTPResponse& response);
  bool DoOnProxyAuthorization(TNetHTTPRequest& request, TNetHTTPResponse& response);
  void CloseIfNotKept();

  std::unique_ptr<TNetHTTPProtocol> protocol_;
  TNetProxyConnectionInfo proxyParams_;
  TNetURI url_;
  TNetCookieManager* cookieManager_ = nullptr;
  bool ownsCookieManager_ = false;
  int redirectCount_ = 0;
};

// The client as placed on a form.
class TNetHTTP : public TNetCustomHTTP {
public:
  explicit TNetHTTP(TComponent* owner) : TNetCustomHTTP(owner) {}
};

}  // namespace ts
