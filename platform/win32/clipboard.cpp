#include <windows.h>

#include <cstring>

#include "platform/clipboard.h"

namespace platform {

namespace {
// The clipboard's owner while we write to it: the system refuses data handed
// over under a clipboard opened without a window.
HWND Owner() {
  static HWND owner =
      ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  return owner;
}

// Opens the clipboard for the duration of one read or write.
class Opened {
public:
  Opened() : ok_(::OpenClipboard(Owner()) != 0) {}
  ~Opened() {
    if (ok_) ::CloseClipboard();
  }
  bool ok() const { return ok_; }

private:
  bool ok_;
};

template <typename Char>
std::basic_string<Char> Read(UINT format) {
  HANDLE data = ::GetClipboardData(format);
  if (!data) return {};
  auto* p = static_cast<const Char*>(::GlobalLock(data));
  if (!p) return {};
  size_t limit = ::GlobalSize(data) / sizeof(Char), n = 0;
  while (n < limit && p[n]) ++n;
  std::basic_string<Char> out(p, n);
  ::GlobalUnlock(data);
  return out;
}
// A format's data as bytes, all the block holds; nullopt when it is absent.
std::optional<std::string> Bytes(UINT format) {
  HANDLE data = ::GetClipboardData(format);
  if (!data) return std::nullopt;
  const auto* p = static_cast<const char*>(::GlobalLock(data));
  if (!p) return std::nullopt;
  std::string out(p, ::GlobalSize(data));
  ::GlobalUnlock(data);
  return out;
}

UINT Registered(const wchar_t* name) { return ::RegisterClipboardFormatW(name); }

std::string SourceUrlOfHtmlFormat(const std::string& data) {
  // The description comes first, one "Name:value" a line, before the HTML
  // itself (StartHTML); a field is looked for only there.
  const size_t html = data.find('<');
  const std::string head = data.substr(0, html == std::string::npos ? data.size() : html);
  size_t at = 0;
  while (at < head.size()) {
    size_t end = head.find_first_of("\r\n", at);
    if (end == std::string::npos) end = head.size();
    const std::string line = head.substr(at, end - at);
    if (line.compare(0, 10, "SourceURL:") == 0) return line.substr(10);
    at = end + 1;
  }
  return {};
}
}  // namespace

std::string ClipboardSourceUrl() {
  Opened open;
  if (!open.ok()) return {};
  std::optional<std::string> html = Bytes(Registered(L"HTML Format"));
  if (!html) return {};
  // The block may be larger than its text.
  html->resize(std::strlen(html->c_str()));
  return SourceUrlOfHtmlFormat(*html);
}

bool ClipboardMarkedSecret() {
  if (::IsClipboardFormatAvailable(Registered(L"ExcludeClipboardContentFromMonitorProcessing"))) return true;
  Opened open;
  if (!open.ok()) return false;
  // A DWORD that says whether the copy may leave the machine or be kept.
  for (const wchar_t* name : {L"CanUploadToCloudClipboard", L"CanIncludeInClipboardHistory"}) {
    std::optional<std::string> allowed = Bytes(Registered(name));
    if (allowed && allowed->size() >= 4 && allowed->compare(0, 4, std::string(4, '\0')) == 0) return true;
  }
  return false;
}

bool ClipboardHasFormat(ClipboardFormat format) { return ::IsClipboardFormatAvailable(static_cast<UINT>(format)) != 0; }

std::optional<std::string> ClipboardText() {
  Opened open;
  if (!open.ok()) return std::nullopt;
  return Read<char>(CF_TEXT);
}

std::optional<std::u16string> ClipboardUnicodeText() {
  Opened open;
  if (!open.ok()) return std::nullopt;
  return Read<char16_t>(CF_UNICODETEXT);
}

bool ClipboardSetText(const std::string& text) {
  Opened open;
  if (!open.ok()) return false;
  ::EmptyClipboard();
  HGLOBAL mem = ::GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
  if (!mem) return false;
  auto* p = static_cast<char*>(::GlobalLock(mem));
  std::memcpy(p, text.c_str(), text.size() + 1);
  ::GlobalUnlock(mem);
  if (!::SetClipboardData(CF_TEXT, mem)) {
    ::GlobalFree(mem);
    return false;
  }
  return true;
}

bool ClipboardSetUnicodeText(const std::u16string& text) {
  Opened open;
  if (!open.ok()) return false;
  ::EmptyClipboard();
  const size_t bytes = (text.size() + 1) * sizeof(char16_t);
  HGLOBAL mem = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
  if (!mem) return false;
  auto* p = static_cast<char*>(::GlobalLock(mem));
  std::memcpy(p, text.c_str(), bytes);
  ::GlobalUnlock(mem);
  if (!::SetClipboardData(CF_UNICODETEXT, mem)) {
    ::GlobalFree(mem);
    return false;
  }
  return true;
}

// Any program may press keys in another here; Windows has no primary selection.
SelectionCopy HowSelectionIsCopied() { return SelectionCopy::Keys; }
std::optional<std::u16string> PrimarySelectionText() { return std::u16string(); }

}  // namespace platform
