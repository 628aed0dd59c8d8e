#include "http/headers.h"

#include <algorithm>

#include "http/authentication.h"
#include "http/uri.h"
#include "runtime/codepage.h"
#include "runtime/exception.h"
#include "runtime/text.h"

namespace ts {

namespace {

bool IsContinuation(const std::string& line) { return !line.empty() && (line[0] == ' ' || line[0] == '\t'); }

bool IsBreakChar(char c) { return c == ' ' || c == '\t' || c == ','; }

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

char FoldLetter(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// Trim without copies: blanks and control bytes off both ends.
std::string_view TrimmedView(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

void TrimInPlace(std::string& text) {
  while (!text.empty() && IsBlank(text.back())) text.pop_back();
  size_t lead = 0;
  while (lead < text.size() && IsBlank(text[lead])) ++lead;
  if (lead > 0) text.erase(0, lead);
}

// Writers add a header only when its field is set: an empty value would
// otherwise remove a custom line of the same name.
void PutIfSet(TNetHeaderList& headers, std::string_view name, const std::string& value) {
  if (!value.empty()) headers.PutValue(name, value);
}

}  // namespace

// ---- header list ----

size_t TNetHeaderList::NameLength(int index) const {
  const std::string& line = Strings(index);
  std::string separator = TrimRight(NameValueSeparator);
  // The separator is looked for in the upper-cased line. Upper-casing moves no
  // byte and touches letters only, so a separator without letters (": ", "=")
  // is found where it stands in the line itself, without the copy.
  const bool noLetters = std::none_of(separator.begin(), separator.end(),
                                      [](char c) { return FoldLetter(c) >= 'A' && FoldLetter(c) <= 'Z'; });
  size_t at = CaseSensitiveNames || noLetters ? NetPos(separator, line) : NetPos(separator, UpperCase(line));
  return at > 0 ? at - 1 : 0;
}

std::string TNetHeaderList::NameOfLine(int index) const {
  if (index < 0 || index >= Count()) return std::string();
  std::string_view name = std::string_view(Strings(index)).substr(0, NameLength(index));
  return CaseSensitiveNames ? std::string(name) : UpperCase(name);
}

std::string TNetHeaderList::ValueOfLine(int index) const {
  if (index < 0 || index >= Count()) return std::string();
  const std::string& line = Strings(index);
  size_t start = NameLength(index) + 1;
  std::string value = start < line.size() ? line.substr(start) : std::string();
  if (UnfoldLines) {
    // Each continuation joins the value trimmed so far with one blank. The value
    // is trimmed in place and grows at its end only, so a header folded over
    // thousands of lines is read in time linear in its length.
    for (int i = index + 1; i < Count() && IsContinuation(Strings(i)); ++i) {
      TrimInPlace(value);
      value += ' ';
      value += TrimmedView(Strings(i));
    }
  }
  return Trim(value);
}

bool TNetHeaderList::LineHasName(int index, std::string_view name) const {
  // A line's name is a prefix of the line, so a line that does not begin with
  // `name` cannot carry it; only the few that do are cut into their name.
  // Lookups in a long head then cost a comparison per line, not a copy.
  // The first byte is compared here, letters folded, since most lines differ
  // there. A line that begins with `name` carries it when its name is exactly
  // that long.
  const std::string& line = Strings(index);
  if (!name.empty()) {
    if (line.empty() || FoldLetter(line[0]) != FoldLetter(name[0]) || !StartsText(name, line)) return false;
  }
  return NameLength(index) == name.size();
}

int TNetHeaderList::FindName(std::string_view name) const {
  for (int i = 0; i < Count(); ++i)
    if (LineHasName(i, name)) return i;
  return -1;
}

void TNetHeaderList::DeleteContinuation(int index) {
  while (index + 1 < Count() && IsContinuation(Strings(index + 1))) Delete(index + 1);
}

void TNetHeaderList::PutValue(std::string_view name, std::string_view value) {
  int index = FindName(name);
  if (value.empty()) {
    if (index < 0) return;
    if (FoldLines) DeleteContinuation(index);
    Delete(index);
    return;
  }
  std::string line = std::string(name) + NameValueSeparator + std::string(value);
  if (index < 0) index = Add(std::string());
  if (!FoldLines) {
    // Unfolded, the value has one line to itself: a line break in it would end that line.
    std::replace_if(
        line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    SetStrings(index, line);
    return;
  }
  DeleteContinuation(index);
  // A line that fits and holds no line break is its own single piece; most
  // heads are made of such lines, written for every request.
  if (line.size() <= static_cast<size_t>(std::max(FoldLength, 0)) && line.find_first_of("\r\n") == std::string::npos) {
    SetStrings(index, TrimRight(line));
    return;
  }
  TStringList pieces = FoldText(line);
  SetStrings(index, pieces.Count() > 0 ? pieces[0] : std::string());
  for (int i = 1; i < pieces.Count(); ++i) Insert(index + i, pieces[i]);
}

TStringList TNetHeaderList::FoldText(std::string_view text) const {
  static const std::string kBreak = "\r\n ";
  const size_t n = text.size();
  const size_t maxColumn = FoldLength < 0 ? 0 : static_cast<size_t>(FoldLength);
  std::string wrapped;
  size_t start = 0;                      // first byte of the piece being measured
  size_t lastBreak = std::string::npos;  // last break character seen in this piece
  bool quoted = false, existing = false;
  size_t i = 0;
  while (i < n) {
    char c = text[i];
    if (IsLeadByte(static_cast<unsigned char>(c)) && i + 1 < n) {
      i += 2;
    } else if (!quoted && c == '\r' && text.compare(i, kBreak.size(), kBreak) == 0) {
      // The text is already broken here: keep that break as it is.
      existing = true;
      lastBreak = i + kBreak.size() - 1;
      i += kBreak.size();
    } else {
      if (c == '"')
        quoted = !quoted;
      else if (!quoted && IsBreakChar(c))
        lastBreak = i;
      ++i;
    }
    bool breakable = lastBreak != std::string::npos && lastBreak >= start;
    if (!quoted && breakable && (existing || i - start > maxColumn)) {
      wrapped.append(text.substr(start, lastBreak + 1 - start));
      size_t next = lastBreak + 1;
      if (c != '"')
        while (next < n && (IsBreakChar(text[next]) || text[next] == '\r' || text[next] == '\n')) ++next;
      if (!existing && next < n) wrapped += kBreak;
      start = next;
      if (i < start) i = start;
      lastBreak = std::string::npos;
      existing = false;
    }
  }
  if (start < n) wrapped.append(text.substr(start));

  // Pieces end at every line break: CR LF, and a bare CR or LF too, since
  // many peers end a line at either.
  TStringList pieces;
  size_t from = 0;
  while (true) {
    size_t at = wrapped.find_first_of("\r\n", from);
    std::string piece = TrimRight(wrapped.substr(from, at == std::string::npos ? std::string::npos : at - from));
    // A line break inside the value itself must not start a header of its own.
    if (pieces.Count() > 0 && !IsContinuation(piece)) piece = std::string(" ").append(piece);
    pieces.Add(piece);
    if (at == std::string::npos) break;
    from = at + (wrapped.compare(at, 2, "\r\n") == 0 ? 2 : 1);
  }
  return pieces;
}

void TNetHeaderList::CollectValues(std::string_view name, TStringList* destination) const {
  if (!destination) return;
  for (int i = 0; i < Count(); ++i)
    if (LineHasName(i, name)) destination->Add(ValueOfLine(i));
}

// ---- Basic credentials ----

std::string Base64Encode(std::string_view bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                 static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string BasicCredentials(std::string_view username, std::string_view password) {
  return "Basic " + Base64Encode(std::string(username) + ":" + std::string(password));
}

// ---- entity ----

TNetEntityHeaderInfo::TNetEntityHeaderInfo() { ClearEntity(); }
TNetEntityHeaderInfo::~TNetEntityHeaderInfo() = default;

void TNetEntityHeaderInfo::ClearEntity() {
  Connection.clear();
  ContentVersion.clear();
  ContentEncoding.clear();
  ContentLanguage.clear();
  ContentType.clear();
  SetContentLength(-1);
  ContentRangeStart = 0;
  ContentRangeEnd = 0;
  Date = 0;
  Expires = 0;
  LastModified = 0;
  rawHeaders_.Clear();
}

void TNetEntityHeaderInfo::Clear() { ClearEntity(); }

void TNetEntityHeaderInfo::Assign(const TNetEntityHeaderInfo& source) {
  if (&source == this) return;
  Connection = source.Connection;
  ContentVersion = source.ContentVersion;
  ContentEncoding = source.ContentEncoding;
  ContentLanguage = source.ContentLanguage;
  ContentType = source.ContentType;
  SetContentLength(source.ContentLength());
  ContentRangeStart = source.ContentRangeStart;
  ContentRangeEnd = source.ContentRangeEnd;
  CacheControl = source.CacheControl;
  Date = source.Date;
  Expires = source.Expires;
  LastModified = source.LastModified;
  Pragma = source.Pragma;
  customHeaders_.Assign(source.customHeaders_);
  rawHeaders_.Assign(source.rawHeaders_);
}

void TNetEntityHeaderInfo::WriteEntity() {
  TNetHeaderList& raw = rawHeaders_;
  raw.Clear();
  PutIfSet(raw, "Connection", Connection);
  PutIfSet(raw, "Content-Version", ContentVersion);
  PutIfSet(raw, "Content-Encoding", ContentEncoding);
  PutIfSet(raw, "Content-Language", ContentLanguage);
  PutIfSet(raw, "Content-Type", ContentType);
  if (ContentLength() >= 0) PutIfSet(raw, "Content-Length", IntToStr(ContentLength()));
  PutIfSet(raw, "Cache-control", CacheControl);
  if (Date > 0) PutIfSet(raw, "Date", FormatLocalDate(Date));
  if (Expires > 0) PutIfSet(raw, "Expires", FormatLocalDate(Expires));
  if (LastModified > 0) PutIfSet(raw, "Last-Modified", FormatGmtDate(LastModified));
  PutIfSet(raw, "Pragma", Pragma);
  // Custom lines go in as they stand, even when they repeat a name.
  if (customHeaders_.Count() > 0) raw.SetText(raw.Text() + customHeaders_.Text());
}

void TNetEntityHeaderInfo::WriteHeaders() { WriteEntity(); }

void TNetEntityHeaderInfo::ParseEntity() {
  const TNetHeaderList& raw = rawHeaders_;
  Connection = raw.ValueOf("Connection");
  ContentVersion = raw.ValueOf("Content-Version");
  ContentEncoding = raw.ValueOf("Content-Encoding");
  ContentLanguage = raw.ValueOf("Content-Language");
  ContentType = raw.ValueOf("Content-Type");
  SetContentLength(StrToIntDef(Trim(raw.ValueOf("Content-Length")), -1));
  Date = HttpDateToLocal(raw.ValueOf("Date"));
  LastModified = HttpDateToLocal(raw.ValueOf("Last-Modified"));
  // "Expires" may be a count of seconds from now instead of a date; "-1" is a date that fails.
  std::string expires = raw.ValueOf("Expires");
  int32_t seconds;
  if (TryStrToInt(expires, seconds) && seconds != -1)
    Expires = Now() + seconds / 86400.0;
  else
    Expires = HttpDateToLocal(expires);
  Pragma = raw.ValueOf("Pragma");
}

void TNetEntityHeaderInfo::ParseHeaders() { ParseEntity(); }

// ---- request ----

TNetRequestHeaderInfo::TNetRequestHeaderInfo() { Clear(); }
TNetRequestHeaderInfo::~TNetRequestHeaderInfo() = default;

void TNetRequestHeaderInfo::Clear() {
  Accept = "text/html, */*";
  AcceptCharSet.clear();
  UserAgent = "Mozilla/3.0 (compatible; text snap)";
  BasicAuthentication = false;
  ClearEntity();
}

void TNetRequestHeaderInfo::Assign(const TNetRequestHeaderInfo& source) {
  if (&source == this) return;
  TNetEntityHeaderInfo::Assign(source);
  Accept = source.Accept;
  AcceptCharSet = source.AcceptCharSet;
  AcceptEncoding = source.AcceptEncoding;
  AcceptLanguage = source.AcceptLanguage;
  Host = source.Host;
  From = source.From;
  Referer = source.Referer;
  UserAgent = source.UserAgent;
  ProxyConnection = source.ProxyConnection;
  Username = source.Username;
  Password = source.Password;
  BasicAuthentication = source.BasicAuthentication;
}

void TNetRequestHeaderInfo::SetAuthentication(std::unique_ptr<TNetAuthentication> authentication) {
  authentication_ = std::move(authentication);
}

void TNetRequestHeaderInfo::WriteHeaders() {
  WriteEntity();
  TNetHeaderList& raw = RawHeaders();
  PutIfSet(raw, "Proxy-Connection", ProxyConnection);
  PutIfSet(raw, "Host", Host);
  PutIfSet(raw, "Accept", Accept);
  PutIfSet(raw, "Accept-Charset", AcceptCharSet);
  PutIfSet(raw, "Accept-Encoding", AcceptEncoding);
  PutIfSet(raw, "Accept-Language", AcceptLanguage);
  PutIfSet(raw, "From", From);
  PutIfSet(raw, "Referer", Referer);
  PutIfSet(raw, "User-Agent", UserAgent);
  if (LastModified > 0) PutIfSet(raw, "If-Modified-Since", FormatLocalDate(LastModified));
  if (ContentRangeStart != 0 || ContentRangeEnd != 0) {
    std::string range = "bytes=" + IntToStr(ContentRangeStart) + "-";
    if (ContentRangeEnd != 0) range += IntToStr(ContentRangeEnd);
    PutIfSet(raw, "Range", range);
  }
  if (authentication_) {
    PutIfSet(raw, "Authorization", authentication_->HeaderValue());
  } else if (BasicAuthentication) {
    authentication_ = std::make_unique<TNetBasicAuthentication>(Username, Password);
    PutIfSet(raw, "Authorization", authentication_->HeaderValue());
  }
}

void TNetRequestHeaderInfo::ParseHeaders() {
  const TNetHeaderList& raw = RawHeaders();
  Accept = raw.ValueOf("Accept");
  AcceptCharSet = raw.ValueOf("Accept-Charset");
  AcceptEncoding = raw.ValueOf("Accept-Encoding");
  AcceptLanguage = raw.ValueOf("Accept-Language");
  Host = raw.ValueOf("Host");
  From = raw.ValueOf("From");
  Referer = raw.ValueOf("Referer");
  UserAgent = raw.ValueOf("User-Agent");
  std::string range = raw.ValueOf("Range");
  CutToken(range, "=");
  ContentRangeStart = StrToIntDef(CutToken(range, "-"), 0);
  ContentRangeEnd = StrToIntDef(CutToken(range, " "), 0);
  ParseEntity();
}

// ---- response ----

TNetResponseHeaderInfo::TNetResponseHeaderInfo() { Clear(); }
TNetResponseHeaderInfo::~TNetResponseHeaderInfo() = default;

void TNetResponseHeaderInfo::Clear() {
  ClearEntity();
  ContentType = "text/html";
  Location.clear();
  Server.clear();
  wwwAuthenticate_.Clear();
  proxyAuthenticate_.Clear();
}

void TNetResponseHeaderInfo::Assign(const TNetResponseHeaderInfo& source) {
  if (&source == this) return;
  TNetEntityHeaderInfo::Assign(source);
  Location = source.Location;
  Server = source.Server;
  ProxyConnection = source.ProxyConnection;
  wwwAuthenticate_.Assign(source.wwwAuthenticate_);
  proxyAuthenticate_.Assign(source.proxyAuthenticate_);
}

void TNetResponseHeaderInfo::ParseHeaders() {
  const TNetHeaderList& raw = RawHeaders();
  Location = raw.ValueOf("Location");
  Server = raw.ValueOf("Server");
  ProxyConnection = raw.ValueOf("Proxy-Connection");
  std::string range = raw.ValueOf("Content-Range");
  if (!range.empty()) {
    CutToken(range, " ");
    ContentRangeStart = StrToInt(CutToken(range, "-"));
    ContentRangeEnd = StrToInt(CutToken(range, "/"));
  } else {
    ContentRangeStart = 0;
    ContentRangeEnd = 0;
  }
  wwwAuthenticate_.Clear();
  raw.CollectValues("WWW-Authenticate", &wwwAuthenticate_);
  proxyAuthenticate_.Clear();
  raw.CollectValues("Proxy-Authenticate", &proxyAuthenticate_);
  ParseEntity();
}

// ---- proxy ----

TNetProxyConnectionInfo::TNetProxyConnectionInfo() { Clear(); }
TNetProxyConnectionInfo::~TNetProxyConnectionInfo() = default;

void TNetProxyConnectionInfo::Clear() {
  SetProxyServer(std::string());
  ProxyUsername.clear();
  ProxyPassword.clear();
  SetProxyPort(0);
}

void TNetProxyConnectionInfo::Assign(const TNetProxyConnectionInfo& source) {
  if (&source == this) return;
  SetProxyServer(source.proxyServer_);
  SetProxyPort(source.proxyPort_);
  ProxyUsername = source.ProxyUsername;
  ProxyPassword = source.ProxyPassword;
  BasicAuthentication = source.BasicAuthentication;
}

void TNetProxyConnectionInfo::SetProxyServer(const std::string& value) {
  // Credentials answered for one proxy are not to be offered to another.
  if (!SameText(value, proxyServer_)) authentication_.reset();
  proxyServer_ = value;
}

void TNetProxyConnectionInfo::SetProxyPort(int value) {
  if (value != proxyPort_) authentication_.reset();
  proxyPort_ = value;
}

void TNetProxyConnectionInfo::SetAuthentication(std::unique_ptr<TNetAuthentication> authentication) {
  authentication_ = std::move(authentication);
}

void TNetProxyConnectionInfo::WriteCredentials(TNetHeaderList& headers) {
  if (authentication_) {
    PutIfSet(headers, "Proxy-Authorization", authentication_->HeaderValue());
  } else if (BasicAuthentication) {
    authentication_ = std::make_unique<TNetBasicAuthentication>(ProxyUsername, ProxyPassword);
    PutIfSet(headers, "Proxy-Authorization", authentication_->HeaderValue());
  }
}

}  // namespace ts
