#include "http/cookies.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "http/httpdate.h"
#include "runtime/exception.h"
#include "runtime/text.h"

namespace ts {

namespace {

// Dotted IPv4 text: the first four "."-separated fields are decimals 0-255.
bool IsIPv4(std::string_view text) {
  std::string rest = Trim(text);
  for (int field = 0; field < 4; ++field) {
    if (rest.empty() && field > 0) return false;
    size_t dot = rest.find('.');
    std::string part = rest.substr(0, dot);
    if (dot == std::string::npos && field < 3) return false;
    rest = dot == std::string::npos ? std::string() : rest.substr(dot + 1);
    if (part.empty() || part.size() > 3 ||
        !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return false;
    if (std::stoi(part) > 255) return false;
  }
  return true;
}

std::string_view WithoutLeadingDot(std::string_view text) {
  if (!text.empty() && text[0] == '.') text.remove_prefix(1);
  return text;
}

// True when `host` is `domain` itself or lies inside it ("x.example.com" in
// "example.com"), a leading dot of the domain ignored. Labels are compared
// whole, so "notexample.com" is not inside "example.com".
bool HostInDomain(std::string_view host, std::string_view domain) {
  domain = WithoutLeadingDot(domain);
  if (domain.empty()) return false;
  if (IsIPv4(host)) return host == domain;  // an address has no parent domains
  if (SameText(host, domain)) return true;
  return host.size() > domain.size() && host[host.size() - domain.size() - 1] == '.' &&
         SameText(host.substr(host.size() - domain.size()), domain);
}

}  // namespace

// ---- TNetNetscapeCookie ----

TNetNetscapeCookie::TNetNetscapeCookie(TCollection* collection) : TCollectionItem(collection) {}

TNetNetscapeCookie::~TNetNetscapeCookie() {
  if (auto* cookies = dynamic_cast<TNetCookies*>(Collection())) cookies->Forget(this);
}

void TNetNetscapeCookie::ParseText(std::string_view text) {
  if (text == RawText) return;
  RawText = std::string(text);

  TStringList pieces;
  std::string rest(text);
  bool split = false;
  while (NetPos(";", rest) > 0) {
    split = true;
    pieces.Add(Trim(CutToken(rest, ";")));
  }
  if (split) {
    if (!rest.empty()) pieces.Add(Trim(rest));
  } else {
    pieces.SetText(text);
  }

  Name.clear();
  Value.clear();
  if (pieces.Count() > 0) {
    const std::string& first = pieces[0];
    size_t eq = first.find('=');
    if (eq != std::string::npos) {
      Name = first.substr(0, eq);
      Value = first.substr(eq + 1);
    }
    pieces.Delete(0);
  }

  // Attribute names are upper-cased; a repeated attribute takes the first one's value.
  for (int i = 0; i < pieces.Count(); ++i) {
    std::string piece = pieces[i];
    size_t eq = piece.find('=');
    if (eq == std::string::npos) {
      pieces.SetStrings(i, UpperCase(piece));
      continue;
    }
    std::string name = piece.substr(0, eq);
    std::string value = piece.substr(eq + 1);
    for (int j = 0; j <= i; ++j) {
      const std::string& other = pieces[j];
      size_t at = other.find('=');
      if (at != std::string::npos && SameText(other.substr(0, at), name)) {
        value = other.substr(at + 1);
        break;
      }
    }
    pieces.SetStrings(i, UpperCase(name) + "=" + value);
  }
  ApplyAttributes(pieces);
}

std::string TNetNetscapeCookie::AttributeValue(const TStringList& attributes, std::string_view name) {
  for (int i = 0; i < attributes.Count(); ++i) {
    const std::string& piece = attributes[i];
    size_t eq = piece.find('=');
    if (eq != std::string::npos && SameText(std::string_view(piece).substr(0, eq), name)) return piece.substr(eq + 1);
  }
  return std::string();
}

bool TNetNetscapeCookie::HasFlag(const TStringList& attributes, std::string_view name) {
  for (int i = 0; i < attributes.Count(); ++i)
    if (SameText(attributes[i], name)) return true;
  return false;
}

void TNetNetscapeCookie::AppendPair(std::string& text, std::string_view name, std::string_view value) {
  if (value.empty()) return;
  if (!text.empty()) text += "; ";
  text += std::string(name) + "=" + std::string(value);
}

void TNetNetscapeCookie::ApplyAttributes(const TStringList& attributes) {
  Path = AttributeValue(attributes, "PATH");
  if (!Path.empty() && Path.front() == '"') Path.erase(0, 1);
  if (!Path.empty() && Path.back() == '"') Path.pop_back();
  SetExpiry(AttributeValue(attributes, "EXPIRES"));
  Domain = AttributeValue(attributes, "DOMAIN");
  Secure = HasFlag(attributes, "SECURE");
}

void TNetNetscapeCookie::SetExpiry(const std::string& text) { Expires = text; }

std::string TNetNetscapeCookie::ServerText() const {
  std::string text;
  AppendPair(text, Name, Value);
  AppendPair(text, "path", Path);
  if (Kind == TNetCookieKind::ckNetscape) AppendPair(text, "expires", Expires);
  AppendPair(text, "domain", Domain);
  if (Secure) text += text.empty() ? "secure" : "; secure";
  return text;
}

std::string TNetNetscapeCookie::ClientText() const { return Name + "=" + Value; }

bool TNetNetscapeCookie::MatchesHost(std::string_view host) const {
  if (IsIPv4(host)) return Domain == host;
  // A server may set a cookie for its own name or for a parent domain, but not
  // for a bare top-level label ("com") nor for a name that merely ends alike.
  std::string_view bare = WithoutLeadingDot(host);
  std::string_view domain = WithoutLeadingDot(Domain);
  if (SameText(bare, domain)) return !domain.empty();
  return domain.find('.') != std::string_view::npos && HostInDomain(bare, domain);
}

void TNetNetscapeCookie::CopyFrom(const TNetNetscapeCookie& source) {
  const auto* from = dynamic_cast<const TNetCookieRFC2109*>(&source);
  if (!from) return;
  ParseText(source.ServerText());
  Kind = source.Kind;
  // The server text cannot carry everything: a cookie with an empty value (how
  // a server clears one) is written without its name, so re-reading it would
  // take the first attribute for name and value; and an expiry is written only
  // for the Netscape kind, so a session ended with a past date would live on.
  // What the text may lose is taken from the source itself.
  Name = source.Name;
  Value = source.Value;
  Path = source.Path;
  Domain = source.Domain;
  Secure = source.Secure;
  Expires = source.Expires;
  if (auto* self = dynamic_cast<TNetCookieRFC2109*>(this)) {
    self->MaxAge = from->MaxAge;
    self->Version = from->Version;
    self->Comment = from->Comment;
  }
}

// ---- TNetCookieRFC2109 ----

TNetCookieRFC2109::TNetCookieRFC2109(TCollection* collection) : TNetNetscapeCookie(collection) {
  Kind = TNetCookieKind::ckRFC2109;
}

void TNetCookieRFC2109::SetExpiry(const std::string& text) {
  if (!text.empty()) {
    TDateTime moment = HttpDateToLocal(text);
    if (moment != 0) {
      long long ms = std::llround((moment - Now()) * 86400000.0);
      MaxAge = ms / 1000;  // whole seconds, truncated toward zero
    }
  }
  Expires = text;
}

void TNetCookieRFC2109::ApplyAttributes(const TStringList& attributes) {
  TNetNetscapeCookie::ApplyAttributes(attributes);
  int32_t maxAge;
  MaxAge = TryStrToInt(AttributeValue(attributes, "MAX-AGE"), maxAge) ? maxAge : -1;
  Version = AttributeValue(attributes, "VERSION");
  Comment = AttributeValue(attributes, "COMMENT");
  if (Expires.empty()) {
    Kind = TNetCookieKind::ckNetscape;
    if (MaxAge >= 0) SetExpiry(FormatLocalDate(Now() + static_cast<double>(MaxAge * 1000) / 86400000.0));
  }
}

std::string TNetCookieRFC2109::ServerText() const {
  std::string text = TNetNetscapeCookie::ServerText();
  if (MaxAge >= 0 && Expires.empty()) AppendPair(text, "max-age", IntToStr(MaxAge));
  AppendPair(text, "comment", Comment);
  AppendPair(text, "version", Version);
  return text;
}

std::string TNetCookieRFC2109::ClientText() const { return TNetNetscapeCookie::ClientText(); }

// ---- TNetCookieRFC2965 ----

TNetCookieRFC2965::TNetCookieRFC2965(TCollection* collection) : TNetCookieRFC2109(collection) {
  Kind = TNetCookieKind::ckRFC2965;
}

int32_t TNetCookieRFC2965::Ports(int index) const {
  if (index < 0 || index >= PortCount()) throw EListError("Index out of range.");
  return ports_[static_cast<size_t>(index)];
}

void TNetCookieRFC2965::SetPorts(int index, int32_t port) {
  if (index < 0 || index > PortCount()) throw EListError("Index out of range.");
  if (index == PortCount())
    ports_.push_back(port);
  else
    ports_[static_cast<size_t>(index)] = port;
}

std::string TNetCookieRFC2965::ServerText() const { return TNetCookieRFC2109::ServerText(); }

void TNetCookieRFC2965::ApplyAttributes(const TStringList& attributes) {
  TNetCookieRFC2109::ApplyAttributes(attributes);
  CommentURL = AttributeValue(attributes, "CommentURL");
  Discard = HasFlag(attributes, "DISCARD");
  std::string ports = AttributeValue(attributes, "Port");
  if (ports.empty()) {
    SetPorts(0, 80);
    return;
  }
  if (ports.size() < 2 || ports.front() != '"' || ports.back() != '"') return;
  // Items separated by commas and/or blanks; an item may be quoted itself.
  std::string inner = ports.substr(1, ports.size() - 2);
  std::vector<std::string> items;
  size_t i = 0;
  bool pending = false;  // a comma asks for one more item
  while (true) {
    while (i < inner.size() && inner[i] == ' ') ++i;
    if (i >= inner.size()) break;
    std::string item;
    if (inner[i] == '"') {
      size_t close = inner.find('"', i + 1);
      item = inner.substr(i + 1, close == std::string::npos ? std::string::npos : close - i - 1);
      i = close == std::string::npos ? inner.size() : close + 1;
    } else {
      while (i < inner.size() && inner[i] != ',' && inner[i] != ' ') item += inner[i++];
    }
    items.push_back(item);
    pending = false;
    while (i < inner.size() && inner[i] == ' ') ++i;
    if (i < inner.size() && inner[i] == ',') {
      ++i;
      pending = true;
    }
  }
  if (pending) items.emplace_back();
  if (items.empty()) {
    SetPorts(0, 80);
    return;
  }
  for (size_t k = 0; k < items.size(); ++k) SetPorts(static_cast<int>(k), StrToInt(items[k]));
}

// ---- lock ----

void TNetMultiReadExclusiveWriteLock::BeginRead() {
  std::unique_lock<std::mutex> hold(mutex_);
  if (writeDepth_ > 0 && writer_ == std::this_thread::get_id()) {
    ++nestedReads_;
    return;
  }
  changed_.wait(hold, [this] { return writeDepth_ == 0; });
  ++readers_;
}

void TNetMultiReadExclusiveWriteLock::EndRead() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (nestedReads_ > 0 && writer_ == std::this_thread::get_id()) {
    --nestedReads_;
    return;
  }
  if (readers_ > 0 && --readers_ == 0) changed_.notify_all();
}

void TNetMultiReadExclusiveWriteLock::BeginWrite() {
  std::unique_lock<std::mutex> hold(mutex_);
  if (writeDepth_ > 0 && writer_ == std::this_thread::get_id()) {
    ++writeDepth_;
    return;
  }
  changed_.wait(hold, [this] { return writeDepth_ == 0 && readers_ == 0; });
  writer_ = std::this_thread::get_id();
  writeDepth_ = 1;
}

void TNetMultiReadExclusiveWriteLock::EndWrite() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (writeDepth_ == 0) return;
  if (--writeDepth_ == 0) {
    writer_ = std::thread::id();
    changed_.notify_all();
  }
}

// ---- TNetCookies ----

TNetCookies::TNetCookies(TObject* owner)
    : TOwnedCollection(owner, [](TCollection* c) -> TCollectionItem* { return new TNetCookieRFC2109(c); }) {}

TNetCookies::~TNetCookies() {
  // Cookies leave their groups as they go, so they must go while the groups exist.
  Clear();
  for (TNetCookieList* group : groups_) delete group;
}

TNetNetscapeCookie* TNetCookies::Cookies(int index) const { return static_cast<TNetNetscapeCookie*>(Items(index)); }

TNetCookieRFC2109* TNetCookies::NewCookie() { return new TNetCookieRFC2109(this); }
TNetCookieRFC2965* TNetCookies::NewCookie2() { return new TNetCookieRFC2965(this); }

TNetCookieList& TNetCookies::LockOwnIndex(TNetAccessKind access) {
  if (access == TNetAccessKind::akRead)
    lock_.BeginRead();
  else
    lock_.BeginWrite();
  return index_;
}

TNetCookieList& TNetCookies::LockIndex(TNetAccessKind access) {
  TNetCookieList& index = LockOwnIndex(access);
  // Whoever writes may change entries behind the lookup tables' back.
  if (access == TNetAccessKind::akReadWrite) indexHandedOut_ = true;
  return index;
}

void TNetCookies::UnlockIndex(TNetAccessKind access) {
  if (access == TNetAccessKind::akRead)
    lock_.EndRead();
  else
    lock_.EndWrite();
}

void TNetCookies::Store(TNetNetscapeCookie* cookie) {
  TNetCookieList& index = LockOwnIndex(TNetAccessKind::akReadWrite);
  try {
    const bool tables = !indexHandedOut_;
    std::string key = cookie->Domain + cookie->Path;
    int at = -1;
    if (tables) {
      auto found = keyPositions_.find(UpperCase(key));
      if (found != keyPositions_.end()) at = found->second;
    } else {
      at = index.IndexOf(key);
    }
    if (at < 0) {
      auto* group = new TNetCookieList;
      groups_.push_back(group);
      at = index.AddObject(key, group);
      if (tables) keyPositions_.emplace(UpperCase(key), at);
    }
    auto* group = static_cast<TNetCookieList*>(index.Objects(at));
    TNetNetscapeCookie* known = nullptr;
    if (tables) {
      auto& names = names_[group];
      auto found = names.find(UpperCase(cookie->Name));
      if (found != names.end()) known = found->second;
    } else {
      int position = group->IndexOf(cookie->Name);
      if (position >= 0) known = static_cast<TNetNetscapeCookie*>(group->Objects(position));
    }
    if (!known) {
      group->AddObject(cookie->Name, cookie);
      cookie->group_ = group;
      if (tables) names_[group].emplace(UpperCase(cookie->Name), cookie);
      if (group->Count() > kMaxCookiesPerPlace) Evict(static_cast<TNetNetscapeCookie*>(group->Objects(0)));
      // The collection holds the stored cookies in the order they were made.
      while (Count() > kMaxCookies && Cookies(0) != cookie) Evict(Cookies(0));
    } else {
      // The stored cookie keeps its object and place and takes the new one's
      // attributes; the new one, in no group, leaves the collection and goes.
      known->CopyFrom(*cookie);
      cookie->RemoveFromCollection();
      delete cookie;
    }
  } catch (...) {
    UnlockIndex(TNetAccessKind::akReadWrite);
    throw;
  }
  UnlockIndex(TNetAccessKind::akReadWrite);
}

namespace {

// Position of `object` in `list`, searched from the end, or -1.
int LastIndexOfObject(const TNetCookieList& list, const void* object) {
  for (int i = list.Count() - 1; i >= 0; --i)
    if (list.Objects(i) == object) return i;
  return -1;
}

}  // namespace

void TNetCookies::Evict(TNetNetscapeCookie* cookie) {
  TNetCookieList* home = cookie->group_;
  if (!home)
    for (TNetCookieList* group : groups_)
      if (group->IndexOfObject(cookie) >= 0) {
        home = group;
        break;
      }
  delete cookie;  // leaves its group through Forget
  if (!home || home->Count() != 0) return;
  // Otherwise a server that sets cookies under ever new paths would grow the
  // index without end.
  const int at = index_.IndexOfObject(home);
  if (at >= 0) {
    index_.Delete(at);
    // Entries after the removed one moved up by one.
    for (auto it = keyPositions_.begin(); it != keyPositions_.end();) {
      if (it->second == at) {
        it = keyPositions_.erase(it);
        continue;
      }
      if (it->second > at) --it->second;
      ++it;
    }
  }
  names_.erase(home);
  groups_.erase(std::find(groups_.begin(), groups_.end(), home));
  delete home;
}

void TNetCookies::Forget(TNetNetscapeCookie* cookie) {
  LockOwnIndex(TNetAccessKind::akReadWrite);
  auto leave = [this, cookie](TNetCookieList& group, int at) {
    auto names = names_.find(&group);
    if (names != names_.end()) {
      auto entry = names->second.find(UpperCase(group.Strings(at)));
      if (entry != names->second.end() && entry->second == cookie) names->second.erase(entry);
    }
    group.Delete(at);
  };
  // The group Store put it in is asked first, from its end, where the newest
  // cookies are: freeing the whole store then costs no search through it.
  TNetCookieList* own = cookie->group_;
  cookie->group_ = nullptr;
  int at = own ? LastIndexOfObject(*own, cookie) : -1;
  if (at >= 0) {
    leave(*own, at);
  } else {
    for (TNetCookieList* group : groups_) {
      at = group->IndexOfObject(cookie);
      if (at >= 0) {
        leave(*group, at);
        break;
      }
    }
  }
  UnlockIndex(TNetAccessKind::akReadWrite);
}

// ---- TNetCookieManager ----

TNetCookieManager::TNetCookieManager(TComponent* owner) : TNetBaseComponent(owner) {
  cookies_ = new TNetCookies(this);
  NotifyCreated();
}

TNetCookieManager::~TNetCookieManager() {
  PurgeExpired();
  NotifyDestroying();
  delete cookies_;
}

void TNetCookieManager::NotifyCreated() { Fire(OnCreate, this, cookies_); }
void TNetCookieManager::NotifyDestroying() { Fire(OnDestroy, this, cookies_); }

bool TNetCookieManager::ApproveCookie(TNetCookieRFC2109* cookie) {
  bool accept = true;
  if (OnNewCookie) OnNewCookie(this, cookie, accept);
  return accept;
}

void TNetCookieManager::Admit(TNetCookieRFC2109* cookie, const std::string& value, const std::string& host,
                              bool secure) {
  try {
    cookie->ParseText(value);
  } catch (...) {
    delete cookie;  // a cookie that cannot be read is not kept around either
    throw;
  }
  if (cookie->Domain.empty()) cookie->Domain = host;
  // A line break or NUL in the name or value would be carried into the Cookie
  // header of later requests and end that line early; such a cookie is dropped.
  const bool breaksLine = (cookie->Name + cookie->Value).find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
  // A Secure cookie set over plain http could be anyone's on the path, and
  // would replace the one the site set over TLS.
  const bool unsecured = cookie->Secure && !secure;
  if (breaksLine || unsecured || !cookie->MatchesHost(host) || !ApproveCookie(cookie)) {
    delete cookie;
    return;
  }
  cookies_->Store(cookie);
}

void TNetCookieManager::StoreSetCookie(const std::string& value, const std::string& host, bool secure) {
  Admit(cookies_->NewCookie(), value, host, secure);
}

void TNetCookieManager::StoreSetCookie2(const std::string& value, const std::string& host, bool secure) {
  Admit(cookies_->NewCookie2(), value, host, secure);
}

void TNetCookieManager::PurgeExpired() {
  TNetCookieList& index = cookies_->LockOwnIndex(TNetAccessKind::akReadWrite);
  try {
    TDateTime now = Now();
    for (int i = 0; i < index.Count(); ++i) {
      auto* group = static_cast<TNetCookieList*>(index.Objects(i));
      for (int j = group->Count() - 1; j >= 0; --j) {
        auto* cookie = static_cast<TNetNetscapeCookie*>(group->Objects(j));
        // An expiry that cannot be read counts as long past. A cookie that expires
        // this very second (max-age=0) is gone too.
        if (!cookie->Expires.empty() && now >= HttpDateToLocal(cookie->Expires)) delete cookie;
      }
    }
  } catch (...) {
    cookies_->UnlockIndex(TNetAccessKind::akReadWrite);
    throw;
  }
  cookies_->UnlockIndex(TNetAccessKind::akReadWrite);
}

std::string TNetCookieManager::CookieHeaderFor(const TNetURI& uri, bool secure) {
  PurgeExpired();
  // (path, name=value) of every cookie that applies, copied while the index is locked.
  std::vector<std::pair<std::string, std::string>> chosen;
  TNetCookieList& index = cookies_->LockOwnIndex(TNetAccessKind::akRead);
  for (int i = 0; i < index.Count(); ++i) {
    auto* group = static_cast<TNetCookieList*>(index.Objects(i));
    for (int j = group->Count() - 1; j >= 0; --j) {
      auto* cookie = static_cast<TNetNetscapeCookie*>(group->Objects(j));
      if (cookie->Path.empty() || cookie->Value.empty()) continue;
      if (cookie->Secure && !secure) continue;
      if (!HostInDomain(uri.Host, cookie->Domain)) continue;
      if (uri.Path.compare(0, cookie->Path.size(), cookie->Path) != 0) continue;
      chosen.emplace_back(cookie->Path, cookie->Name + "=" + cookie->Value);
    }
  }
  cookies_->UnlockIndex(TNetAccessKind::akRead);

  // Longest (greatest) path first; equal paths keep the order they were met in.
  std::stable_sort(chosen.begin(), chosen.end(),
                   [](const auto& a, const auto& b) { return CompareText(a.first, b.first) > 0; });
  std::string header;
  for (const auto& entry : chosen) {
    if (!header.empty()) header += "; ";
    header += entry.second;
  }
  return header;
}

}  // namespace ts
