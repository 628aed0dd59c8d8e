#include "http/http.h"

#include <cstring>
#include <limits>

#include "http/exceptions.h"
#include "net/exceptions.h"
#include "runtime/scope.h"
#include "runtime/text.h"

namespace ts {

namespace {

const char* VersionText(TNetHTTPProtocolVersion version) {
  return version == TNetHTTPProtocolVersion::pv1_0 ? "1.0" : "1.1";
}

bool CarriesBody(TNetHTTPMethod method) { return method == TNetHTTPMethod::hmPost || method == TNetHTTPMethod::hmPut; }

// A plain decimal number, nothing else; false for anything that is not one.
bool ReadDecimal(std::string_view text, int& value) {
  if (text.empty() || text.size() > 9) return false;
  int result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
  }
  value = result;
  return true;
}

// Larger than any bound an answer may have; sizes beyond it are read as it.
constexpr int64_t kHugeSize = int64_t{1} << 60;

// A chunk size: hexadecimal digits only; -1 when the text is not one.
int64_t ReadHexSize(std::string_view text) {
  if (text.empty()) return -1;
  int64_t result = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return -1;
    result = result >= kHugeSize / 16 ? kHugeSize : result * 16 + digit;
  }
  return result;
}

// A Content-Length value: decimal digits only (no sign, no base prefix, no
// blank inside); -1 when the text is not one.
int64_t ReadLength(std::string_view text) {
  if (text.empty()) return -1;
  int64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    result = result >= kHugeSize / 10 ? kHugeSize : result * 10 + (c - '0');
  }
  return result;
}

}  // namespace

// The stream a body is read into, within the answer's bound: a write that
// would take the body beyond it raises before a byte of it is kept. A memory
// stream's room grows by doubling, but never past the bound, so a body at its
// bound holds no more memory than the bound (and for a moment half of it
// besides).
class TBoundedBody : public TStream {
public:
  TBoundedBody(TStream& target, int64_t limit)
      : target_(target), memory_(dynamic_cast<TMemoryStream*>(&target)), start_(target.Position()), limit_(limit) {}

  int64_t Read(void* buffer, int64_t count) override { return target_.Read(buffer, count); }
  int64_t Write(const void* buffer, int64_t count) override {
    const int64_t end = target_.Position() + count - start_;
    if (end > limit_) throw ENetAnswerTooLarge("a body over " + IntToStr(limit_) + " bytes");
    MakeRoom(end);
    return target_.Write(buffer, count);
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override { return target_.Seek(offset, origin); }
  void SetSize(int64_t size) override {
    MakeRoom(std::min(size - start_, limit_));
    target_.SetSize(size);
  }
  int64_t Size() override { return target_.Size(); }

  // The bytes of the body so far.
  int64_t Taken() { return target_.Position() - start_; }
  int64_t Left() { return limit_ - Taken(); }
  // Room for a body of `length` bytes (a length the head announced).
  void MakeRoom(int64_t length) {
    if (!memory_ || length <= room_) return;
    room_ = std::min(std::max(length, std::max<int64_t>(room_ * 2, 64 * 1024)), limit_);
    memory_->Reserve(start_ + room_);
  }

private:
  TStream& target_;
  TMemoryStream* memory_;
  int64_t start_;
  int64_t limit_;
  int64_t room_ = 0;
};

namespace {}  // namespace

namespace {
// scheme://host:port of a URI, the port always written.
std::string Origin(const TNetURI& uri) {
  std::string scheme = uri.Protocol.empty() ? std::string("http") : LowerCase(uri.Protocol);
  std::string port = uri.Port.empty() ? (scheme == "https" ? std::string("443") : std::string("80")) : uri.Port;
  return scheme + "://" + LowerCase(uri.Host) + ":" + port;
}
}  // namespace

const char* HTTPMethodWord(TNetHTTPMethod method) {
  switch (method) {
    case TNetHTTPMethod::hmHead:
      return "HEAD ";
    case TNetHTTPMethod::hmGet:
      return "GET ";
    case TNetHTTPMethod::hmPost:
      return "POST ";
    case TNetHTTPMethod::hmOptions:
      return "OPTIONS ";
    case TNetHTTPMethod::hmTrace:
      return "TRACE ";
    case TNetHTTPMethod::hmPut:
      return "PUT ";
    case TNetHTTPMethod::hmConnect:
      return "CONNECT ";
    case TNetHTTPMethod::hmDelete:
      return "DELETE ";
  }
  return "GET ";
}

// ---- response -------------------------------------------------------------------

void TNetHTTPResponse::SetStatusLine(const std::string& line) {
  statusLine_ = line;
  StatusCode = -1;
  size_t space = line.find(' ');
  if (space == std::string::npos) return;
  std::string rest = Trim(std::string_view(line).substr(space + 1));
  std::string code = rest.substr(0, rest.find(' '));
  int value;
  if (ReadDecimal(code, value)) StatusCode = value;
}

bool TNetHTTPResponse::KeepConnection() {
  if (statusLine_.size() >= 8) {
    std::string_view version = std::string_view(statusLine_).substr(5, 3);
    if (SameText(version, "1.0"))
      ServerVersion = TNetHTTPProtocolVersion::pv1_0;
    else if (SameText(version, "1.1"))
      ServerVersion = TNetHTTPProtocolVersion::pv1_1;
  }
  try {
    http_->ProbeDisconnect(false);
  } catch (const ENetSocketError&) {
    // A connection the peer has reset is of no further use.
    http_->Disconnect();
  }
  bool keep = http_->IsConnected();
  if (keep) {
    std::string connection = Trim(Connection);
    std::string proxyConnection = Trim(ProxyConnection);
    // An HTTP/1.0 server closes after its answer unless it said keep-alive,
    // whatever version we spoke: reusing that connection would fail the next
    // request ("Connection Closed Gracefully.") whenever its close has not
    // arrived yet.
    const bool oneZero = http_->ProtocolVersion == TNetHTTPProtocolVersion::pv1_0 ||
                         (statusLine_.size() >= 8 && ServerVersion == TNetHTTPProtocolVersion::pv1_0);
    if (!oneZero)
      keep = !SameText(connection, "close") && !SameText(proxyConnection, "close");
    else
      keep = SameText(connection, "keep-alive") || SameText(proxyConnection, "keep-alive");
    // Where the answer ended depends on which framing one believed: the next
    // answer on this connection could be bytes of this one.
    if (AmbiguousFraming) keep = false;
  }
  return keep;
}

// ---- protocol: writing ----------------------------------------------------------

namespace {
// The target as the request line carries it: a CR or LF in it (a redirect's
// Location may hold a bare CR) is written percent-encoded, so that it can
// neither end the line nor start a header of the peer's reading.
std::string RequestLineTarget(const std::string& target) {
  if (target.find_first_of("\r\n") == std::string::npos) return target;
  std::string line;
  line.reserve(target.size() + 8);
  for (char c : target) {
    if (c == '\r')
      line += "%0D";
    else if (c == '\n')
      line += "%0A";
    else
      line += c;
  }
  return line;
}
}  // namespace

TNetHTTPProtocol::TNetHTTPProtocol(TNetCustomHTTP* http)
    : http_(http), request_(std::make_unique<TNetHTTPRequest>()), response_(std::make_unique<TNetHTTPResponse>(http)) {}

TNetHTTPProtocol::~TNetHTTPProtocol() = default;

void TNetHTTPProtocol::BuildAndSendRequest(const TNetURI& uri) {
  TNetHTTPRequest& request = *request_;
  answerStarted_ = false;
  request.WriteHeaders();
  TNetHeaderList& raw = request.RawHeaders();
  http_->ProxyParams().WriteCredentials(raw);
  // A tunnel request goes to the proxy in the clear: the target's cookies stay out of it.
  TNetCookieManager* manager = request.Method == TNetHTTPMethod::hmConnect ? nullptr : http_->CookieManager();
  if (manager) {
    std::string cookies = manager->CookieHeaderFor(uri, http_->SecureConnection());
    if (!cookies.empty()) raw.PutValue("Cookie", cookies);
  }
  // The whole head leaves in one send.
  http_->StartWriteBuffering(-1);
  try {
    http_->WriteLine(HTTPMethodWord(request.Method) + RequestLineTarget(request.Target) + " HTTP/" +
                     VersionText(http_->ProtocolVersion));
    for (int i = 0; i < raw.Count(); ++i)
      if (!raw[i].empty()) http_->WriteLine(raw[i]);
    http_->WriteLine(std::string());
  } catch (...) {
    http_->DiscardWriteBuffering();
    http_->FinishWriteBuffering();
    throw;
  }
  http_->FinishWriteBuffering();
  if (CarriesBody(request.Method) && request.SourceStream) http_->WriteFromStream(*request.SourceStream, true);
}

// ---- protocol: reading ----------------------------------------------------------

std::string TNetHTTPProtocol::ReadHeadLine() {
  const int64_t left = http_->MaxHeadBytes - headBytes_;
  if (left <= 0) throw ENetAnswerTooLarge("a head over " + IntToStr(http_->MaxHeadBytes) + " bytes");
  // A line may take no more than what is left of the head's bytes.
  const int32_t lineLimit = http_->MaxLineLength;
  const bool headBound = lineLimit == 0 || left < lineLimit;
  std::string line;
  try {
    line = http_->ReadLine("\n", NetTimeoutDefault, headBound ? static_cast<int32_t>(left) : lineLimit);
  } catch (const ENetReadLnMaxLineLengthExceeded&) {
    if (!headBound) throw;
    throw ENetAnswerTooLarge("a head over " + IntToStr(http_->MaxHeadBytes) + " bytes");
  }
  headBytes_ += static_cast<int64_t>(line.size()) + 2;
  // The empty line that ends a head is not one of its lines.
  if (!line.empty() && ++headLines_ > http_->MaxHeadLines)
    throw ENetAnswerTooLarge("a head over " + IntToStr(http_->MaxHeadLines) + " lines");
  return line;
}

void TNetHTTPProtocol::ReadHead() {
  std::string statusLine = ReadHeadLine();
  answerStarted_ = true;
  ReadHeadAfter(statusLine);
}

void TNetHTTPProtocol::ReadHeadAfter(const std::string& statusLine) {
  TNetHTTPResponse& response = *response_;
  response.SetStatusLine(statusLine);
  TNetHeaderList& raw = response.RawHeaders();
  raw.Clear();
  try {
    for (;;) {
      std::string line = ReadHeadLine();
      if (line.empty()) break;
      raw.Add(line);
    }
  } catch (const ENetConnClosedGracefully&) {
    // A head ends with an empty line; one the close ended is a cut answer,
    // whatever it holds so far.
    http_->Disconnect();
    throw ENetAnswerCut();
  }
  response.ParseHeaders();
  ReadFraming();
  http_->HandOverCookies(response);
}

void TNetHTTPProtocol::ReadFraming() {
  TNetHTTPResponse& response = *response_;
  response.Chunked = response.RawHeaders().ValueOf("Transfer-Encoding").find("chunked") != std::string::npos;
  response.BodyLength = -1;
  TStringList values;
  response.RawHeaders().CollectValues("Content-Length", &values);
  // Each field, and each item of a field that lists several, must be the
  // same plain number.
  for (int i = 0; i < values.Count(); ++i) {
    std::string_view rest = values[i];
    for (;;) {
      const size_t comma = rest.find(',');
      const int64_t length = ReadLength(Trim(rest.substr(0, comma)));
      if (length < 0) throw ENetAnswerMalformed("Content-Length is not a number: " + values[i].substr(0, 64));
      if (response.BodyLength >= 0 && length != response.BodyLength)
        throw ENetAnswerMalformed("several Content-Length values that differ");
      response.BodyLength = length;
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  response.AmbiguousFraming = response.Chunked && response.BodyLength >= 0;
}

void TNetHTTPProtocol::RetrieveHeaders() {
  headBytes_ = 0;
  headLines_ = 0;
  do {
    ReadHead();
  } while (response_->StatusCode == 100);
}

bool TNetHTTPProtocol::BodyAllowed() const {
  // These answers end with their head whatever their length fields say;
  // waiting for a body that never comes would stall the exchange.
  int code = response_->StatusCode;
  if (request_->Method == TNetHTTPMethod::hmHead) return false;
  return !(code == 204 || code == 304 || (code >= 100 && code < 200));
}

void TNetHTTPProtocol::ReadChunked(TBoundedBody& body) {
  auto readSize = [this]() -> int64_t {
    std::string line = http_->ReadLine();
    // The size ends at a blank or at the ";" of a chunk extension.
    size_t end = line.find_first_of(" ;\t");
    if (end != std::string::npos) line.resize(end);
    int64_t size = ReadHexSize(line);
    if (size < 0) throw ENetAnswerMalformed("a chunk size that is not hexadecimal: " + line.substr(0, 64));
    return size;
  };
  for (int64_t size = readSize(); size > 0; size = readSize()) {
    // Refused before a byte of it is read or room made for it.
    if (size > body.Left()) throw ENetAnswerTooLarge("a body over " + IntToStr(http_->MaxBodyBytes) + " bytes");
    http_->ReadToStream(body, size, false);
    if (!http_->ReadLine().empty()) throw ENetAnswerMalformed("a chunk longer than its size");
  }
  // Trailer lines, if the server sends any, end with the empty line; they
  // count as a head of their own.
  headBytes_ = 0;
  headLines_ = 0;
  while (!ReadHeadLine().empty()) {
  }
}

void TNetHTTPProtocol::ReadResult(TNetHTTPResponse& response) {
  TStream* stream = response.BodyStream;
  if (!stream || !BodyAllowed()) return;
  TBoundedBody body(*stream, http_->MaxBodyBytes);
  try {
    if (response.Chunked) {
      // Chunked wins over a Content-Length beside it.
      http_->ReportStatus(TNetStatus::StatusMessage, {std::string("Chunk Started")});
      ReadChunked(body);
    } else if (response.BodyLength > 0) {
      if (response.BodyLength > http_->MaxBodyBytes)
        throw ENetAnswerTooLarge("a body over " + IntToStr(http_->MaxBodyBytes) + " bytes");
      body.MakeRoom(response.BodyLength);
      http_->ReadToStream(body, response.BodyLength, false);
    } else if (response.BodyLength < 0) {
      http_->ReadToStream(body, -1, true);
      // Only the close marks this body's end; on a secured connection a close
      // without the session's own end may be anyone's on the path.
      auto* tls = dynamic_cast<TNetSSLIOHandlerSocketBase*>(http_->IOHandler());
      if (tls && tls->EndedWithoutCloseNotify()) throw ENetAnswerCut();
    }
  } catch (const ENetConnClosedGracefully&) {
    // The connection ended before the length or the last chunk came.
    throw ENetAnswerCut();
  }
}

bool TNetHTTPProtocol::DiscardBody(int timeout) {
  if (!http_->IsConnected()) return true;
  TRestore<int32_t> readTimeout(http_->ReadTimeout, timeout);
  TMemoryStream scratch;
  TRestore<TStream*> body(response_->BodyStream, &scratch);
  try {
    ReadResult(*response_);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

void TNetHTTPProtocol::RaiseProtocolError() {
  TMemoryStream errorBody;
  {
    TRestore<int32_t> readTimeout(http_->ReadTimeout, 2000);
    TRestore<TStream*> body(response_->BodyStream, &errorBody);
    ReadResult(*response_);
  }
  throw ENetHTTPProtocolException(response_->StatusCode, response_->StatusLine(), errorBody.DataString());
}

// ---- protocol: judgement --------------------------------------------------------

TNetHTTPWhatsNext TNetHTTPProtocol::ProcessResponse() {
  TNetHTTPRequest& request = *request_;
  TNetHTTPResponse& response = *response_;
  const int code = response.StatusCode;

  const bool redirect = (code / 100 == 3 && code != 304) || !response.Location.empty();
  if (redirect) {
    std::string location = response.Location;
    TNetHTTPMethod method = request.Method;
    // "See other" asks for the new resource to be fetched, not the form to be
    // sent there again.
    if (code == 303 && method == TNetHTTPMethod::hmPost) method = TNetHTTPMethod::hmGet;
    const bool follow = http_->HandleRedirects && http_->redirectCount_ < http_->RedirectMaximum;
    if (!http_->DoOnRedirect(location, method, http_->redirectCount_)) RaiseProtocolError();
    // Whatever remains of the redirect's body would be read as the next answer.
    if (!DiscardBody(4000)) http_->Disconnect();
    if (follow) {
      request.Target = location;
      request.Method = method;
      if (!CarriesBody(method)) request.SourceStream = nullptr;
      return TNetHTTPWhatsNext::wnGoToURL;
    }
    response.Location = location;
    return TNetHTTPWhatsNext::wnJustExit;
  }

  if (code / 100 == 2) {
    if (!http_->IsConnected()) return TNetHTTPWhatsNext::wnDontKnow;
    if (code != 204) ReadResult(response);
    return TNetHTTPWhatsNext::wnJustExit;
  }

  if (code == 401) {
    TNetAuthentication* auth = request.Authentication();
    if ((auth && auth->Attempts >= http_->AuthRetries) || !http_->DoOnAuthorization(request, response)) {
      if (TNetAuthentication* kept = request.Authentication()) kept->Reset();
      RaiseProtocolError();
    }
  } else if (code == 407) {
    TNetProxyConnectionInfo& proxy = http_->ProxyParams();
    TNetAuthentication* auth = proxy.Authentication();
    if ((auth && auth->Attempts >= http_->AuthRetries) || !http_->DoOnProxyAuthorization(request, response)) {
      if (TNetAuthentication* kept = proxy.Authentication()) kept->Reset();
      proxy.ProxyUsername.clear();
      proxy.ProxyPassword.clear();
      RaiseProtocolError();
    }
  } else {
    RaiseProtocolError();
  }

  if (!http_->IsConnected()) return TNetHTTPWhatsNext::wnGoToURL;
  if (http_->HTTPOptions.Contains(TNetHTTPOption::hoInProcessAuth)) {
    if (!DiscardBody(4000)) http_->Disconnect();
    return TNetHTTPWhatsNext::wnAuthRequest;
  }
  if (code != 204) ReadResult(response);
  return TNetHTTPWhatsNext::wnJustExit;
}

// ---- client -----------------------------------------------------------------------

TNetCustomHTTP::TNetCustomHTTP(TComponent* owner)
    : TNetTCPClient(owner), protocol_(std::make_unique<TNetHTTPProtocol>(this)) {
  TNetTCPClient::SetPort(80);
}

TNetCustomHTTP::~TNetCustomHTTP() {
  try {
    DropSocket();
  } catch (...) {
  }
  SetCookieManager(nullptr);
}

void TNetCustomHTTP::SetHost(const std::string& host) {
  TNetTCPClient::SetHost(host);
  url_.Host = host;
}

void TNetCustomHTTP::SetPort(int port) {
  TNetTCPClient::SetPort(port);
  url_.Port = IntToStr(port);
}

void TNetCustomHTTP::SetCookieManager(TNetCookieManager* manager) {
  if (manager == cookieManager_) return;
  TNetCookieManager* old = cookieManager_;
  bool owned = ownsCookieManager_;
  cookieManager_ = nullptr;
  ownsCookieManager_ = false;
  if (old) {
    RemoveFreeNotification(old);
    if (owned) delete old;
  }
  cookieManager_ = manager;
  if (manager) FreeNotification(manager);
}

void TNetCustomHTTP::Notification(TComponent* component, TOperation operation) {
  TNetTCPClient::Notification(component, operation);
  if (operation == TOperation::opRemove && component == cookieManager_) {
    cookieManager_ = nullptr;
    ownsCookieManager_ = false;
  }
}

void TNetCustomHTTP::DoOnDisconnected() {
  TNetTCPClient::DoOnDisconnected();
  // Schemes that have gone through all their steps start over on the next
  // connection; a scheme still at work (Basic stays at step 0) keeps sending.
  TNetHTTPRequest& request = Request();
  if (TNetAuthentication* auth = request.Authentication(); auth && auth->CurrentStep == auth->Steps())
    request.SetAuthentication(nullptr);
  if (TNetAuthentication* auth = proxyParams_.Authentication(); auth && auth->CurrentStep == auth->Steps())
    auth->Reset();
}

bool TNetCustomHTTP::SecureConnection() const {
  auto* tls = dynamic_cast<TNetSSLIOHandlerSocketBase*>(IOHandler());
  return tls && !tls->PassThrough();
}

void TNetCustomHTTP::HandOverCookies(const TNetHTTPResponse& response) {
  if (!cookieManager_ && AllowCookies) {
    SetCookieManager(new TNetCookieManager(this));
    ownsCookieManager_ = true;
  }
  if (!cookieManager_) return;
  // A cookie marked Secure is only taken from a secured connection: over
  // plain http anyone on the path could set (or overwrite) it.
  const bool secure = SecureConnection();
  TStringList values;
  response.RawHeaders().CollectValues("Set-cookie", &values);
  for (int i = 0; i < values.Count(); ++i) cookieManager_->StoreSetCookie(values[i], url_.Host, secure);
  values.Clear();
  response.RawHeaders().CollectValues("Set-cookie2", &values);
  for (int i = 0; i < values.Count(); ++i) cookieManager_->StoreSetCookie2(values[i], url_.Host, secure);
}

// ---- target, route, connection ------------------------------------------------------

void TNetCustomHTTP::ResolveTarget(TNetHTTPRequest& request) {
  TNetURI uri(request.Target);
  if (!uri.Username.empty()) {
    request.Username = uri.Username;
    request.Password = uri.Password;
  }
  url_.Username = request.Username;
  url_.Password = request.Password;

  url_.Path = MergePath(url_.Path, uri.Path);
  url_.Document = uri.Document;
  url_.Params = uri.Params;
  if (!uri.Host.empty()) url_.Host = uri.Host;
  // A relative target (a redirect's "Location: /next") stays on the protocol
  // it came from: a secured exchange never drops to plain text on its own.
  if (!uri.Protocol.empty())
    url_.Protocol = uri.Protocol;
  else if (url_.Protocol.empty() || !uri.Host.empty())
    url_.Protocol = "http";

  if (!uri.Port.empty())
    url_.Port = uri.Port;
  else if (SameText(uri.Protocol, "http"))
    url_.Port = "80";
  else if (SameText(uri.Protocol, "https"))
    url_.Port = "443";
  else if (!uri.Protocol.empty() || url_.Port.empty())
    // A protocol of which no default port is known, or a relative target
    // with nothing to continue from.
    throw ENetUnknownProtocol();

  if (request.Method == TNetHTTPMethod::hmOptions && url_.Document == "*")
    request.Target = "*";
  else
    request.Target = url_.Path + url_.Document + url_.Params;

  if ((request.Method == TNetHTTPMethod::hmOptions || request.Method == TNetHTTPMethod::hmTrace ||
       request.Method == TNetHTTPMethod::hmPut) &&
      ProtocolVersion != TNetHTTPProtocolVersion::pv1_1)
    throw ENetException("This request method is supported in HTTP 1.1");

  if (CarriesBody(request.Method))
    request.SetContentLength(request.SourceStream ? request.SourceStream->Size() : 0);
  else
    request.SetContentLength(-1);

  request.Host = url_.Port == "80" ? url_.Host : url_.Host + ":" + url_.Port;
}

void TNetCustomHTTP::CheckTLSHandler(TNetHTTPConnectionType route) {
  auto* tls = dynamic_cast<TNetSSLIOHandlerSocketBase*>(IOHandler());
  const bool secured = route == TNetHTTPConnectionType::ctSSL || route == TNetHTTPConnectionType::ctSSLProxy;
  if (secured && !tls) throw ENetIOHandlerPropInvalid("IOHandler value is not valid");
  if (!tls) return;
  // A kept connection serves the next request only when it is secured the way
  // the route asks and, for a tunnel, leads to the same server: a plain
  // connection is never switched to TLS under a request, nor a secured one
  // used in the clear.
  const bool encrypting = IsConnected() && !tls->PassThrough();
  const int port = StrToInt(url_.Port);
  if (IsConnected() &&
      (secured != encrypting || (secured && (!SameText(tls->PeerHost, url_.Host) || tls->PeerPort != port))))
    Disconnect();
  // Through a tunnel the handler connects to the proxy; the certificate must
  // still be the target's.
  tls->PeerHost = url_.Host;
  tls->PeerPort = port;
  // The tunnel is set up in the clear; its handler is switched once it stands.
  if (!IsConnected()) tls->SetPassThrough(route != TNetHTTPConnectionType::ctSSL);
}

bool TNetCustomHTTP::ConnectToHost(TNetHTTPRequest& request, TNetHTTPResponse& response) {
  const bool https = SameText(url_.Protocol, "HTTPS");
  if (proxyParams_.ProxyServer().empty()) {
    int port = StrToInt(url_.Port);
    if (!SameText(Host(), url_.Host) || Port() != port) {
      if (IsConnected()) Disconnect();
      // The engine moves the connection only; the current URI stays the target's.
      TNetTCPClient::SetHost(url_.Host);
      TNetTCPClient::SetPort(port);
    }
    request.Route = https ? TNetHTTPConnectionType::ctSSL : TNetHTTPConnectionType::ctNormal;
  } else {
    if ((!SameText(Host(), proxyParams_.ProxyServer()) || Port() != proxyParams_.ProxyPort()) && IsConnected())
      Disconnect();
    TNetTCPClient::SetHost(proxyParams_.ProxyServer());
    TNetTCPClient::SetPort(proxyParams_.ProxyPort());
    if (https) {
      request.Route = TNetHTTPConnectionType::ctSSLProxy;
    } else {
      request.Route = TNetHTTPConnectionType::ctProxy;
      request.Target = url_.GetFullURI(false, false);
    }
  }
  CheckTLSHandler(request.Route);

  switch (request.Route) {
    case TNetHTTPConnectionType::ctNormal:
      if (ProtocolVersion == TNetHTTPProtocolVersion::pv1_0 && request.Connection.empty())
        request.Connection = "keep-alive";
      break;
    case TNetHTTPConnectionType::ctProxy:
      if (ProtocolVersion == TNetHTTPProtocolVersion::pv1_0 && request.Connection.empty())
        request.ProxyConnection = "keep-alive";
      break;
    case TNetHTTPConnectionType::ctSSL:
    case TNetHTTPConnectionType::ctSSLProxy:
      request.Connection.clear();
      break;
  }

  // The keep-alive rule has just looked for a close by the peer (and dropped
  // a reset connection); a second look at once would only cost a poll.
  if (!response.KeepConnection()) Disconnect();
  if (IsConnected()) return true;

  Connect(ConnectTimeout);
  // A request leaves in two writes (head, then body) and the next one follows
  // an answer; with Nagle's algorithm on, a write made while an earlier one is
  // unacknowledged waits for the peer's delayed acknowledgement (some 40 ms).
  if (TNetIOHandlerSocket* socket = SocketHandler()) socket->SetUseNagle(false);
  if (request.Route != TNetHTTPConnectionType::ctSSLProxy) return false;

  // The real request goes through the tunnel once the proxy agrees.
  ConnectThroughProxy(request);
  if (auto* tls = dynamic_cast<TNetSSLIOHandlerSocketBase*>(IOHandler())) tls->SetPassThrough(false);
  return false;
}

void TNetCustomHTTP::ConnectThroughProxy(const TNetHTTPRequest& request) {
  TNetHTTPProtocol tunnel(this);
  TNetHTTPRequest& connect = tunnel.Request();
  connect.UserAgent = request.UserAgent;
  connect.Host = request.Host;
  connect.SetContentLength(request.ContentLength());
  connect.Pragma = "no-cache";
  connect.ProxyConnection = "keep-alive";
  connect.Method = TNetHTTPMethod::hmConnect;
  for (;;) {
    connect.Target = url_.Host + ":" + url_.Port;
    if (!IsConnected()) Connect(ConnectTimeout);
    tunnel.BuildAndSendRequest(url_);
    std::string line = ReadLine();
    if (line.empty()) {
      // An empty line for an answer counts as the proxy's agreement.
      tunnel.Response().SetStatusLine("HTTP/1.0 200 OK");
      tunnel.Response().RawHeaders().Clear();
      tunnel.Response().ParseHeaders();
      tunnel.Response().Connection = "close";
    } else {
      tunnel.ReadHeadAfter(line);
    }
    if (tunnel.Response().StatusCode == 200) return;
    TNetHTTPWhatsNext next = tunnel.ProcessResponse();
    if (next != TNetHTTPWhatsNext::wnAuthRequest && next != TNetHTTPWhatsNext::wnGoToURL)
      throw ENetHTTPProtocolException(tunnel.Response().StatusCode, tunnel.Response().StatusLine(), std::string());
  }
}

void TNetCustomHTTP::SendAndReceiveHead(TNetHTTPRequest& request, TNetHTTPResponse& response) {
  const bool reused = ConnectToHost(request, response);
  try {
    protocol_->BuildAndSendRequest(url_);
    protocol_->RetrieveHeaders();
    return;
  } catch (const ENetException& e) {
    // A server may end an idle kept connection at the moment the request
    // leaves; nothing of it was handled then. A form is never sent twice (it
    // always goes on a fresh connection anyway).
    const bool closed = dynamic_cast<const ENetConnClosedGracefully*>(&e) || dynamic_cast<const ENetSocketError*>(&e);
    if (!reused || !closed || protocol_->AnswerStarted() || InputBuffer().Size() > 0 ||
        request.Method == TNetHTTPMethod::hmPost)
      throw;
  }
  Disconnect();
  ConnectToHost(request, response);
  protocol_->BuildAndSendRequest(url_);
  protocol_->RetrieveHeaders();
}

void TNetCustomHTTP::CloseIfNotKept() {
  bool keep = false;
  try {
    keep = Response().KeepConnection();
  } catch (...) {
  }
  if (!keep) Disconnect();
}

// ---- events ---------------------------------------------------------------------------

bool TNetCustomHTTP::DoOnRedirect(std::string& location, TNetHTTPMethod& method, int count) {
  bool handled = HandleRedirects;
  Fire(OnRedirect, this, location, count, handled, method);
  return handled;
}

namespace {

// The authorization step shared by server and proxy: pick a scheme from the
// challenges when none is kept, then let it decide, asking the program for
// credentials when it needs them.
struct TAuthorizationStep {
  TObject* sender;
  const TNetHeaderList& challenges;
  const TNetOnSelectAuthorization& onSelect;
  const TNetOnAuthorization& onAuthorization;
  bool inProcess;
  int maxAttempts;
  std::string& username;
  std::string& password;
  bool& basicAuthentication;

  bool Run(TNetAuthentication* kept,
           const std::function<TNetAuthentication*(std::unique_ptr<TNetAuthentication>)>& keep) {
    TNetAuthentication* auth = kept;
    if (!auth) {
      const TNetAuthenticationClass* chosen = nullptr;
      for (int i = 0; i < challenges.Count() && !chosen; ++i) {
        std::string line = challenges[i];
        chosen = FindAuthenticationMethod(CutToken(line, " "));
      }
      if (!chosen) return false;
      Fire(onSelect, sender, chosen, challenges);
      if (!chosen || !chosen->Create) return false;
      auth = keep(chosen->Create());
      if (!auth) return false;
    }
    if (!onAuthorization && !inProcess) return false;
    auth->SetUsername(username);
    auth->SetPassword(password);
    auth->Params().PutValue("Authorization", auth->HeaderValue());
    auth->SetChallenges(challenges);
    for (;;) {
      switch (auth->Next()) {
        case TNetAuthWhatsNext::wnDoRequest:
          return true;
        case TNetAuthWhatsNext::wnFail:
          return false;
        case TNetAuthWhatsNext::wnAskTheProgram: {
          if (!onAuthorization) return false;
          // A handler that keeps accepting without giving usable credentials
          // must not hold the exchange forever.
          if (auth->Attempts > maxAttempts) return false;
          auth->SetUsername(username);
          auth->SetPassword(password);
          bool handled = false;
          onAuthorization(sender, auth, handled);
          if (!handled) return false;
          basicAuthentication = true;
          username = auth->Username();
          password = auth->Password();
          break;
        }
      }
    }
  }
};

}  // namespace

bool TNetCustomHTTP::DoOnAuthorization(TNetHTTPRequest& request, TNetHTTPResponse& response) {
  TAuthorizationStep step{this,
                          response.WWWAuthenticate(),
                          OnSelectAuthorization,
                          OnAuthorization,
                          HTTPOptions.Contains(TNetHTTPOption::hoInProcessAuth),
                          AuthRetries,
                          request.Username,
                          request.Password,
                          request.BasicAuthentication};
  return step.Run(request.Authentication(), [&request](std::unique_ptr<TNetAuthentication> made) {
    request.SetAuthentication(std::move(made));
    return request.Authentication();
  });
}

bool TNetCustomHTTP::DoOnProxyAuthorization(TNetHTTPRequest& /*request*/, TNetHTTPResponse& response) {
  TAuthorizationStep step{this,
                          response.ProxyAuthenticate(),
                          OnSelectProxyAuthorization,
                          OnProxyAuthorization,
                          HTTPOptions.Contains(TNetHTTPOption::hoInProcessAuth),
                          AuthRetries,
                          proxyParams_.ProxyUsername,
                          proxyParams_.ProxyPassword,
                          proxyParams_.BasicAuthentication};
  return step.Run(proxyParams_.Authentication(), [this](std::unique_ptr<TNetAuthentication> made) {
    proxyParams_.SetAuthentication(std::move(made));
    return proxyParams_.Authentication();
  });
}

// ---- operations -------------------------------------------------------------------------

void TNetCustomHTTP::Perform(TNetHTTPMethod method, const std::string& url, TStream* source, TStream* response) {
  const int64_t start = response ? response->Position() : 0;
  TNetHTTPRequest& request = Request();
  TNetHTTPResponse& answer = Response();
  request.Target = url;
  request.Method = method;
  request.SourceStream = source;
  answer.BodyStream = response;
  try {
    bool redirected = false;
    for (bool done = false; !done;) {
      ++redirectCount_;
      const std::string origin = Origin(url_);
      ResolveTarget(request);
      if (redirected) {
        // An exchange that went out encrypted never goes on in the clear: a
        // form would put the password or the note on the wire, a GET the
        // session's cookies and whatever the answer is trusted for.
        if (SameText(origin.substr(0, 6), "https:") && !SameText(url_.Protocol, "https"))
          throw ENetRedirectToPlain(url_.Host + (url_.Port == "80" ? "" : ":" + url_.Port));
        // A body is for the site it was sent to; the service's own redirects
        // (its login) stay on its origin.
        if (CarriesBody(request.Method) && !SameText(Origin(url_), origin))
          throw ENetRedirectToOtherOrigin(Origin(url_));
      }
      SendAndReceiveHead(request, answer);
      redirected = false;
      switch (protocol_->ProcessResponse()) {
        case TNetHTTPWhatsNext::wnGoToURL:
          redirected = true;
          if (response) {
            response->SetSize(start);
            response->SetPosition(start);
          }
          break;
        case TNetHTTPWhatsNext::wnAuthRequest:
          --redirectCount_;
          request.Target = url;
          break;
        case TNetHTTPWhatsNext::wnJustExit:
          done = true;
          break;
        case TNetHTTPWhatsNext::wnDontKnow:
          throw ENetException("Undefined situation");
      }
    }
  } catch (const ENetHTTPProtocolException&) {
    redirectCount_ = 0;
    CloseIfNotKept();
    throw;
  } catch (...) {
    // The answer was cut short (read time-out, over-long line, unreadable
    // field): whatever is left of it on the connection would be taken for the
    // answer to the next request.
    redirectCount_ = 0;
    Disconnect();
    throw;
  }
  redirectCount_ = 0;
  CloseIfNotKept();
}

std::string TNetCustomHTTP::GetText(const std::string& url) {
  TMemoryStream body;
  GetToStream(url, body);
  return body.DataString();
}

void TNetCustomHTTP::GetToStream(const std::string& url, TStream& stream) {
  Perform(TNetHTTPMethod::hmGet, url, nullptr, &stream);
}

std::string TNetCustomHTTP::PostForm(const std::string& url, TStringList& lines) {
  TMemoryStream body;
  PostFormToStream(url, lines, body);
  return body.DataString();
}

std::string TNetCustomHTTP::PostForm(const std::string& url, const TStringList& lines) {
  TStringList copy;
  copy.Assign(lines);
  return PostForm(url, copy);
}

std::string FormBody(TStringList& lines, bool encodeValues) {
  if (encodeValues) {
    // Each line once, by its place: a name that repeats does not get its first
    // value encoded twice or its later values left raw.
    for (int i = 0; i < lines.Count(); ++i) {
      const std::string& line = lines[i];
      size_t eq = line.find('=');
      if (eq == std::string::npos || eq == 0) continue;
      std::string value = line.substr(eq + 1);
      if (value.empty()) continue;
      lines.SetStrings(i, line.substr(0, eq + 1) + TNetURI::EncodeParamValue(value));
    }
  }
  std::string body = Trim(lines.Text());
  if (lines.Count() < 2) return body;
  std::string joined;
  joined.reserve(body.size());
  for (size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') {
      joined += '&';
      ++i;
    } else {
      joined += body[i];
    }
  }
  return joined;
}

void TNetCustomHTTP::PostFormToStream(const std::string& url, TStringList& lines, TStream& stream) {
  TNetHTTPRequest& request = Request();
  if (request.ContentType.empty() || SameText(request.ContentType, "text/html"))
    request.ContentType = "application/x-www-form-urlencoded";
  const std::string body = FormBody(lines, HTTPOptions.Contains(TNetHTTPOption::hoForceEncodeParams));
  TMemoryStream source;
  source.WriteString(body);
  source.SetPosition(0);
  PostStream(url, source, &stream);
}

void TNetCustomHTTP::PostStream(const std::string& url, TStream& source, TStream* response) {
  Disconnect();
  const TNetHTTPProtocolVersion saved = ProtocolVersion;
  if (!HTTPOptions.Contains(TNetHTTPOption::hoKeepOrigProtocol)) ProtocolVersion = TNetHTTPProtocolVersion::pv1_0;
  try {
    Perform(TNetHTTPMethod::hmPost, url, &source, response);
  } catch (...) {
    ProtocolVersion = saved;
    throw;
  }
  ProtocolVersion = saved;
}

}  // namespace ts
