// In-memory cookie store: cookies set by servers ("Set-cookie", "Set-cookie2")
// are kept per domain, path and name and handed back in the "Cookie" header of
// later requests to the same site.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "http/uri.h"
#include "net/component.h"
#include "runtime/collection.h"
#include "runtime/component.h"
#include "runtime/strings.h"

namespace ts {

enum class TNetCookieKind : uint8_t { ckNetscape = 0, ckRFC2109 = 1, ckRFC2965 = 2 };

class TNetCookies;
class TNetCookieList;

class TNetNetscapeCookie : public TCollectionItem {
public:
  explicit TNetNetscapeCookie(TCollection* collection);
  ~TNetNetscapeCookie() override;

  // Sets the cookie from one header value; the same value twice in a row is read once.
  void ParseText(std::string_view text);

  virtual std::string ServerText() const;  // the cookie in Set-Cookie form
  virtual void SetExpiry(const std::string& text);
  std::string ServerCookie() const { return ServerText(); }
  virtual std::string ClientText() const;  // name=value
  // Takes the attributes from pieces normalised by ParseText (NAME=value, FLAG).
  virtual void ApplyAttributes(const TStringList& attributes);
  // May a response from `host` set this cookie for its domain?
  virtual bool MatchesHost(std::string_view host) const;
  // Re-reads `source`'s server text (only from RFC 2109 and RFC 2965 cookies).
  virtual void CopyFrom(const TNetNetscapeCookie& source);

  std::string RawText;
  std::string Domain;
  std::string Expires;
  std::string Name;
  std::string Path;
  bool Secure = false;
  std::string Value;
  TNetCookieKind Kind = TNetCookieKind::ckNetscape;

protected:
  // Value of the first attribute piece named `name`, and whether a flag piece is present.
  static std::string AttributeValue(const TStringList& attributes, std::string_view name);
  static bool HasFlag(const TStringList& attributes, std::string_view name);
  static void AppendPair(std::string& text, std::string_view name, std::string_view value);

private:
  friend class TNetCookies;
  TNetCookieList* group_ = nullptr;  // the group Store entered this cookie in
};

class TNetCookieRFC2109 : public TNetNetscapeCookie {
public:
  explicit TNetCookieRFC2109(TCollection* collection);

  std::string ServerText() const override;
  void SetExpiry(const std::string& text) override;
  std::string ClientText() const override;
  void ApplyAttributes(const TStringList& attributes) override;

  int64_t MaxAge = -1;  // seconds; -1 = none
  std::string Version;
  std::string Comment;
};

class TNetCookieRFC2965 : public TNetCookieRFC2109 {
public:
  explicit TNetCookieRFC2965(TCollection* collection);

  std::string ServerText() const override;
  void ApplyAttributes(const TStringList& attributes) override;

  int PortCount() const { return static_cast<int>(ports_.size()); }
  int32_t Ports(int index) const;
  // `index` may be at most one past the last entry (which appends).
  void SetPorts(int index, int32_t port);

  std::string CommentURL;
  bool Discard = false;

private:
  std::vector<int32_t> ports_{80};
};

// An ordered list of (key, object) entries, keys compared case-insensitively.
class TNetCookieList : public TStringList {};

enum class TNetAccessKind { akRead, akReadWrite };

// Many readers or one writer; the writing thread may take the lock again
// (for reading or writing) while it holds it. A reader must not ask for the
// write lock before it has let go of its read lock.
class TNetMultiReadExclusiveWriteLock {
public:
  void BeginRead();
  void EndRead();
  void BeginWrite();
  void EndWrite();

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int readers_ = 0;
  std::thread::id writer_;
  int writeDepth_ = 0;
  int nestedReads_ = 0;  // reads taken by the writing thread while it writes
};

class TNetCookies : public TOwnedCollection {
public:
  // A server may send any number of cookies; the store keeps at most this many
  // per domain and path, and in all, dropping the oldest first.
  static constexpr int kMaxCookiesPerPlace = 50;
  static constexpr int kMaxCookies = 3000;

  explicit TNetCookies(TObject* owner);
  ~TNetCookies() override;

  TNetCookieRFC2109* NewCookie();
  TNetCookieRFC2965* NewCookie2();
  // Enters `cookie` under its domain, path and name; an existing cookie of the
  // same three is updated from it and `cookie` is destroyed.
  void Store(TNetNetscapeCookie* cookie);
  // Locks the index (shared for akRead, exclusive for akReadWrite) and returns it.
  TNetCookieList& LockIndex(TNetAccessKind access);
  void UnlockIndex(TNetAccessKind access);

  // Cookie at `index` of the collection.
  TNetNetscapeCookie* Cookies(int index) const;

private:
  friend class TNetNetscapeCookie;
  friend class TNetCookieManager;
  // LockIndex for the store's own work, which keeps the lookup tables right.
  TNetCookieList& LockOwnIndex(TNetAccessKind access);
  void Forget(TNetNetscapeCookie* cookie);  // takes the cookie out of its group
  // Destroys a stored cookie to make room; a group left empty leaves the index.
  void Evict(TNetNetscapeCookie* cookie);
  TNetCookieList index_;
  std::vector<TNetCookieList*> groups_;  // every group ever made, freed with the collection
  TNetMultiReadExclusiveWriteLock lock_;
  // Lookup tables over the index and the groups, so storing a cookie does not
  // search through every cookie held: the upper-cased key of each index entry
  // with its position (entries never move, groups are never removed), and per
  // group its upper-cased names with their cookies. Once the index has been
  // handed out for writing, Store searches the lists themselves again.
  std::unordered_map<std::string, int> keyPositions_;
  std::unordered_map<const TNetCookieList*, std::unordered_map<std::string, TNetNetscapeCookie*>> names_;
  bool indexHandedOut_ = false;
};

class TNetCookieManager;
using TOnManagerEvent = std::function<void(TNetCookieManager* ASender, TNetCookies* ACookieCollection)>;
using TOnNewCookieEvent = std::function<void(TNetCookieManager* ASender, TNetCookieRFC2109* ACookie, bool& VAccept)>;

class TNetCookieManager : public TNetBaseComponent {
public:
  explicit TNetCookieManager(TComponent* owner);
  ~TNetCookieManager() override;

  // `secure`: whether the answer that set the cookie came over a secured
  // connection; a cookie marked Secure that did not is ignored.
  void StoreSetCookie(const std::string& value, const std::string& host, bool secure = true);
  void StoreSetCookie2(const std::string& value, const std::string& host, bool secure = true);
  // Value of the "Cookie" header for a request to `uri`; empty when none applies.
  std::string CookieHeaderFor(const TNetURI& uri, bool secure);
  void PurgeExpired();

  TNetCookies* CookieCollection() const { return cookies_; }

  TOnManagerEvent OnCreate;
  TOnManagerEvent OnDestroy;
  TOnNewCookieEvent OnNewCookie;

protected:
  virtual void NotifyCreated();
  virtual void NotifyDestroying();
  virtual bool ApproveCookie(TNetCookieRFC2109* cookie);

private:
  void Admit(TNetCookieRFC2109* cookie, const std::string& value, const std::string& host, bool secure);
  TNetCookies* cookies_ = nullptr;
};

}  // namespace ts
