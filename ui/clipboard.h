// The clipboard object: its text forms.
#pragma once

#include <string>

#include "runtime/exception.h"

namespace ts {

constexpr unsigned cfText = 1, cfUnicodeText = 13;

class EClipboardException : public Exception {
public:
  using Exception::Exception;
};

class TClipboard {
public:
  bool HasFormat(unsigned format) const;
  // Each read opens the clipboard and closes it again; empty when no text is
  // held. Raises EClipboardException when the clipboard cannot be opened.
  std::string AsText() const;  // system code page
  std::u16string AsUnicodeText() const;
  void SetAsText(const std::string& systemText);
  void SetAsUnicodeText(const std::u16string& text);
};

TClipboard& Clipboard();

}  // namespace ts
