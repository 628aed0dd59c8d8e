#include "ui/clipboard.h"

#include "platform/clipboard.h"

namespace ts {

namespace {
[[noreturn]] void CannotOpen() { throw EClipboardException("クリップボードを開くことができません"); }
}  // namespace

bool TClipboard::HasFormat(unsigned format) const {
  return platform::ClipboardHasFormat(static_cast<platform::ClipboardFormat>(format));
}

std::string TClipboard::AsText() const {
  auto text = platform::ClipboardText();
  if (!text) CannotOpen();
  return *text;
}

std::u16string TClipboard::AsUnicodeText() const {
  auto text = platform::ClipboardUnicodeText();
  if (!text) CannotOpen();
  return *text;
}

void TClipboard::SetAsText(const std::string& systemText) {
  if (!platform::ClipboardSetText(systemText)) CannotOpen();
}

void TClipboard::SetAsUnicodeText(const std::u16string& text) {
  if (!platform::ClipboardSetUnicodeText(text)) CannotOpen();
}

TClipboard& Clipboard() {
  static TClipboard clipboard;
  return clipboard;
}

}  // namespace ts
