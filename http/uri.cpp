#include "http/uri.h"

#include <vector>

#include "http/exceptions.h"
#include "runtime/codepage.h"
#include "runtime/text.h"

namespace ts {

size_t NetPos(std::string_view needle, std::string_view haystack) {
  // AnsiPos steps over double-byte characters when the code page has lead bytes
  // and is a plain byte search otherwise.
  return AnsiPos(needle, haystack);
}

std::string CutToken(std::string& input, std::string_view delimiter, bool remove, bool caseSensitive) {
  size_t at = caseSensitive ? NetPos(delimiter, input) : NetPos(UpperCase(delimiter), UpperCase(input));
  std::string token;
  if (at > 0) {
    token = input.substr(0, at - 1);
    if (remove) input.erase(0, at - 1 + delimiter.size());
  } else {
    token = input;
    if (remove) input.clear();
  }
  return token;
}

size_t FindLast(std::string_view needle, std::string_view haystack, long start) {
  if (needle.empty() || needle.size() > haystack.size()) return 0;
  long last = static_cast<long>(haystack.size() - needle.size()) + 1;
  if (start < 0 || start > last) start = last;
  // Candidate positions are character starts only, so a trail byte never matches.
  std::vector<size_t> starts;
  for (size_t i = 0; i < haystack.size(); ++i) {
    starts.push_back(i);
    if (IsLeadByte(static_cast<unsigned char>(haystack[i])) && i + 1 < haystack.size()) ++i;
  }
  for (auto it = starts.rbegin(); it != starts.rend(); ++it) {
    long pos = static_cast<long>(*it) + 1;
    if (pos > start) continue;
    if (SameText(haystack.substr(*it, needle.size()), needle)) return static_cast<size_t>(pos);
  }
  return 0;
}

std::string MergePath(std::string_view base, std::string_view path, std::string_view delimiter) {
  const char slash = delimiter.empty() ? '/' : delimiter[0];
  if (!path.empty() && path[0] == slash) return std::string(path);
  bool keepTrailing = path.empty() || path.back() == slash;
  std::string work(base);
  if (!work.empty() && work.back() != slash) work += slash;
  work += path;

  std::string result;
  for (size_t i = 0; i < work.size(); ++i) {
    char c = work[i];
    bool atSlash = !result.empty() && result.back() == slash;
    if (c == slash) {
      if (i == 0)
        result.assign(1, slash);
      else if (!atSlash)
        result += slash;
    } else if (c == '.' && atSlash && work.compare(i, 2, "..") == 0) {
      // One level up: drop the last segment, keeping its leading delimiter.
      result.pop_back();
      while (!result.empty() && result.back() != slash) result.pop_back();
      ++i;
    } else {
      result += c;
    }
  }
  if (!keepTrailing && !result.empty() && result.back() == slash) result.pop_back();
  return result;
}

TNetURI::TNetURI(std::string_view url) {
  if (!url.empty()) SetURI(url);
}

namespace {

// Splits the query off `copy` and the directory off the document (shared by
// absolute and relative URLs); returns the length of the directory part.
size_t SplitQuery(const std::string& copy, std::string& document, std::string& params) {
  size_t q = NetPos("?", copy);
  if (q == 0) q = NetPos("=", copy);
  size_t p = FindLast("/", copy, q == 0 ? -1 : static_cast<long>(q));
  if (q == 0) {
    document = copy;
  } else {
    document = copy.substr(0, q - 1);
    params = copy.substr(q - 1);
  }
  document.erase(0, std::min(p, document.size()));
  return p;
}

void SplitAt(std::string& text, char mark, std::string& rest) {
  size_t at = NetPos(std::string_view(&mark, 1), text);
  if (at == 0) return;
  rest = text.substr(at);
  text.erase(at - 1);
}

}  // namespace

void TNetURI::SetURI(std::string_view url) {
  FullText = std::string(url);
  std::string copy(url);
  for (size_t i = 0; i < copy.size(); ++i) {
    if (IsLeadByte(static_cast<unsigned char>(copy[i])) && i + 1 < copy.size())
      ++i;  // the trail byte may be 0x5C and is not a back-slash
    else if (copy[i] == '\\')
      copy[i] = '/';
  }
  Protocol.clear(), Host.clear(), Port.clear(), Path.clear(), Document.clear();
  Params.clear(), Bookmark.clear(), Username.clear(), Password.clear();

  size_t scheme = NetPos("://", copy);
  if (scheme > 0) {
    Protocol = copy.substr(0, scheme - 1);
    copy.erase(0, scheme + 2);
    std::string authority = CutToken(copy, "/");
    size_t at = NetPos("@", authority);
    if (at > 0) {
      std::string credentials = authority.substr(0, at - 1);
      authority.erase(0, at);
      Username = CutToken(credentials, ":");
      Password = credentials;
      if (Username.empty()) Password.clear();
    }
    Host = CutToken(authority, ":");
    Port = authority;
    size_t p = SplitQuery(copy, Document, Params);
    Path = std::string("/").append(copy, 0, p);
    SplitAt(Document, '#', Bookmark);
  } else {
    size_t p = SplitQuery(copy, Document, Params);
    Path = copy.substr(0, p);
  }
  if (Bookmark.empty()) SplitAt(Params, '#', Bookmark);
}

std::string TNetURI::GetFullURI(bool withCredentials, bool withBookmark) const {
  if (Protocol.empty()) throw ENetURIException("Protocol field is empty");
  if (Host.empty()) throw ENetURIException("Host field is empty");
  std::string result = Protocol + "://";
  if (withCredentials && !Username.empty()) {
    result += Username;
    if (!Password.empty()) result += ":" + Password;
    result += "@";
  }
  result += Host;
  if (!Port.empty()) result += ":" + Port;
  result += Path + Document + Params;
  if (withBookmark && !Bookmark.empty()) result += "#" + Bookmark;
  return result;
}

std::string TNetURI::URI() {
  FullText = GetFullURI(true, true);
  return GetFullURI(false, false);
}

std::string TNetURI::EncodeParamValue(std::string_view value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (char ch : value) {
    unsigned char b = static_cast<unsigned char>(ch);
    // "&", "+" and "=" are escaped too: raw, they would split the value or turn into a blank.
    bool escape = b < 33 || b > 128 || b == '#' || b == '%' || b == '*' || b == '<' || b == '>' || b == '[' ||
                  b == ']' || b == '&' || b == '+' || b == '=';
    if (escape) {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace ts
