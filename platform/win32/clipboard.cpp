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
}  // namespace

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
