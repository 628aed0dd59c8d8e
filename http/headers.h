// Message heads: the raw header lines of a request or response, and the typed
// records the client fills from them or writes into them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "http/httpdate.h"
#include "runtime/strings.h"

namespace ts {

class TNetAuthentication;

// Header lines "Name: value"; continuation lines begin with a space or a tab.
class TNetHeaderList : public TStringList {
public:
  TNetHeaderList() = default;
  explicit TNetHeaderList(int foldLength) : FoldLength(foldLength) {}

  std::string NameOfLine(int index) const;    // upper-cased unless CaseSensitiveNames
  std::string ValueOfLine(int index) const;   // unfolded and trimmed; empty out of range
  int FindName(std::string_view name) const;  // -1 when absent; names compare case-insensitively
  std::string ValueOf(std::string_view name) const { return ValueOfLine(FindName(name)); }
  // Replaces the first header of that name in place, appends it when absent,
  // or removes it (with its continuation lines) when `value` is empty.
  void PutValue(std::string_view name, std::string_view value);
  // Appends the value of every header of that name, in list order.
  void CollectValues(std::string_view name, TStringList* destination) const;
  // `text` wrapped at space, tab and "," after FoldLength columns, never inside
  // double quotes; the later lines begin with a space.
  TStringList FoldText(std::string_view text) const;

  std::string NameValueSeparator = ": ";
  bool CaseSensitiveNames = false;
  bool UnfoldLines = true;
  bool FoldLines = true;
  int FoldLength = 78;

private:
  size_t NameLength(int index) const;  // bytes before the separator; 0 without one
  bool LineHasName(int index, std::string_view name) const;
  void DeleteContinuation(int index);
};

// RFC 2045 Base64 of the bytes as they are, without line breaks.
std::string Base64Encode(std::string_view bytes);
// The value of an "Authorization: Basic" header.
std::string BasicCredentials(std::string_view username, std::string_view password);

// Fields shared by request and response heads.
class TNetEntityHeaderInfo : public TObject {
public:
  TNetEntityHeaderInfo();
  ~TNetEntityHeaderInfo() override;

  virtual void Clear();
  // Copies every field (and both header lists) of `source`.
  void Assign(const TNetEntityHeaderInfo& source);
  // Empties the raw headers and writes the set fields into them.
  virtual void WriteHeaders();
  // Reads the fields back from the raw headers.
  virtual void ParseHeaders();

  int32_t ContentLength() const { return contentLength_; }
  void SetContentLength(int32_t value) {
    contentLength_ = value;
    hasContentLength_ = value >= 0;
  }
  bool HasContentLength() const { return hasContentLength_; }

  TNetHeaderList& CustomHeaders() { return customHeaders_; }
  const TNetHeaderList& CustomHeaders() const { return customHeaders_; }
  TNetHeaderList& RawHeaders() { return rawHeaders_; }
  const TNetHeaderList& RawHeaders() const { return rawHeaders_; }

  std::string Connection;
  std::string ContentVersion;
  std::string ContentEncoding;
  std::string ContentLanguage;
  std::string ContentType;
  int32_t ContentRangeStart = 0;
  int32_t ContentRangeEnd = 0;
  std::string CacheControl;
  TDateTime Date = 0;
  TDateTime Expires = 0;
  TDateTime LastModified = 0;
  std::string Pragma;

protected:
  void ClearEntity();
  void WriteEntity();
  void ParseEntity();

private:
  int32_t contentLength_ = -1;
  bool hasContentLength_ = false;
  TNetHeaderList customHeaders_{78};
  TNetHeaderList rawHeaders_{1024};
};

class TNetRequestHeaderInfo : public TNetEntityHeaderInfo {
public:
  TNetRequestHeaderInfo();
  ~TNetRequestHeaderInfo() override;

  void Clear() override;
  void Assign(const TNetRequestHeaderInfo& source);
  void WriteHeaders() override;
  void ParseHeaders() override;

  // The scheme object that answers challenges; owned, absent at first.
  TNetAuthentication* Authentication() const { return authentication_.get(); }
  void SetAuthentication(std::unique_ptr<TNetAuthentication> authentication);

  std::string Accept;
  std::string AcceptCharSet;
  std::string AcceptEncoding;
  std::string AcceptLanguage;
  std::string Host;
  std::string From;
  std::string Referer;
  std::string UserAgent;
  std::string ProxyConnection;
  std::string Username;
  std::string Password;
  bool BasicAuthentication = false;

private:
  std::unique_ptr<TNetAuthentication> authentication_;
};

class TNetResponseHeaderInfo : public TNetEntityHeaderInfo {
public:
  TNetResponseHeaderInfo();
  ~TNetResponseHeaderInfo() override;

  void Clear() override;
  void Assign(const TNetResponseHeaderInfo& source);
  void ParseHeaders() override;

  TNetHeaderList& WWWAuthenticate() { return wwwAuthenticate_; }
  const TNetHeaderList& WWWAuthenticate() const { return wwwAuthenticate_; }
  TNetHeaderList& ProxyAuthenticate() { return proxyAuthenticate_; }
  const TNetHeaderList& ProxyAuthenticate() const { return proxyAuthenticate_; }

  std::string Location;
  std::string Server;
  std::string ProxyConnection;

private:
  TNetHeaderList wwwAuthenticate_;
  TNetHeaderList proxyAuthenticate_;
};

// Where and as whom to reach a proxy.
class TNetProxyConnectionInfo : public TObject {
public:
  TNetProxyConnectionInfo();
  ~TNetProxyConnectionInfo() override;

  void Clear();
  void Assign(const TNetProxyConnectionInfo& source);
  // Adds "Proxy-Authorization" to `headers` when credentials are to be sent.
  void WriteCredentials(TNetHeaderList& headers);

  const std::string& ProxyServer() const { return proxyServer_; }
  void SetProxyServer(const std::string& value);  // another server drops the kept credentials
  int ProxyPort() const { return proxyPort_; }
  void SetProxyPort(int value);

  TNetAuthentication* Authentication() const { return authentication_.get(); }
  void SetAuthentication(std::unique_ptr<TNetAuthentication> authentication);

  std::string ProxyUsername;
  std::string ProxyPassword;
  bool BasicAuthentication = false;

private:
  std::string proxyServer_;
  int proxyPort_ = 0;
  std::unique_ptr<TNetAuthentication> authentication_;
};

}  // namespace ts
