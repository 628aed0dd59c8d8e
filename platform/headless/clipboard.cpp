// The in-process desktop's clipboard: text (kept in both forms, as the system
// converts between them), nothing, or a non-text format; it can refuse to open.
#include <mutex>

#include "platform/clipboard.h"
#include "platform/codepage.h"
#include "platform/headless/desktop.h"
#include "platform/headless/desktop_internal.h"

namespace platform {

namespace {
enum class Content { Empty, Text, NonText };
struct Board {
  std::mutex lock;
  Content content = Content::Empty;
  std::u16string text;
  bool refuses = false;
  int opens = 0;
  SelectionCopy copy = SelectionCopy::Keys;
  std::optional<std::u16string> primary = std::u16string();
  int primaryReads = 0;
  std::string sourceUrl;
  bool marked = false;
};
Board& B() {
  static Board* b = new Board;
  return *b;
}
// Opening fails when refused; a successful open is always closed again here.
bool Open() {
  if (B().refuses) return false;
  ++B().opens;
  return true;
}
}  // namespace

bool ClipboardHasFormat(ClipboardFormat format) {
  std::lock_guard<std::mutex> hold(B().lock);
  (void)format;  // both text forms are offered whenever text is present
  return B().content == Content::Text;
}

std::optional<std::string> ClipboardText() {
  std::lock_guard<std::mutex> hold(B().lock);
  if (!Open()) return std::nullopt;
  if (B().content != Content::Text) return std::string();
  std::u16string t = B().text;
  return FromUtf16(AnsiCodePage(), t);
}

std::optional<std::u16string> ClipboardUnicodeText() {
  std::lock_guard<std::mutex> hold(B().lock);
  if (!Open()) return std::nullopt;
  if (B().content != Content::Text) return std::u16string();
  return B().text;
}

bool ClipboardSetText(const std::string& text) {
  std::lock_guard<std::mutex> hold(B().lock);
  if (!Open()) return false;
  B().content = Content::Text;
  B().text = ToUtf16(AnsiCodePage(), text);
  B().sourceUrl.clear();
  B().marked = false;
  return true;
}

bool ClipboardSetUnicodeText(const std::u16string& text) {
  std::lock_guard<std::mutex> hold(B().lock);
  if (!Open()) return false;
  B().content = Content::Text;
  B().text = text;
  B().sourceUrl.clear();
  B().marked = false;
  return true;
}

std::string ClipboardSourceUrl() {
  std::lock_guard<std::mutex> hold(B().lock);
  if (B().refuses || B().content != Content::Text) return {};
  return B().sourceUrl;
}

bool ClipboardMarkedSecret() {
  std::lock_guard<std::mutex> hold(B().lock);
  return !B().refuses && B().content != Content::Empty && B().marked;
}

SelectionCopy HowSelectionIsCopied() {
  std::lock_guard<std::mutex> hold(B().lock);
  return B().copy;
}

std::optional<std::u16string> PrimarySelectionText() {
  std::lock_guard<std::mutex> hold(B().lock);
  ++B().primaryReads;
  return B().primary;
}

namespace headless {
namespace detail {
void ResetClipboard() {
  std::lock_guard<std::mutex> hold(B().lock);
  B().content = Content::Empty;
  B().text.clear();
  B().refuses = false;
  B().opens = 0;
  B().copy = SelectionCopy::Keys;
  B().primary = std::u16string();
  B().primaryReads = 0;
  B().sourceUrl.clear();
  B().marked = false;
}
}  // namespace detail

void SetClipboardText(const std::string& systemText) {
  std::lock_guard<std::mutex> hold(B().lock);
  B().sourceUrl.clear();
  B().marked = false;
  B().content = Content::Text;
  B().text = ToUtf16(AnsiCodePage(), systemText);
}
void SetClipboardUnicodeText(const std::u16string& text) {
  std::lock_guard<std::mutex> hold(B().lock);
  B().sourceUrl.clear();
  B().marked = false;
  B().content = Content::Text;
  B().text = text;
}
void SetClipboardEmpty() {
  std::lock_guard<std::mutex> hold(B().lock);
  B().sourceUrl.clear();
  B().marked = false;
  B().content = Content::Empty;
  B().text.clear();
}
void SetClipboardNonText() {
  std::lock_guard<std::mutex> hold(B().lock);
  B().sourceUrl.clear();
  B().marked = false;
  B().content = Content::NonText;
  B().text.clear();
}
void SetClipboardRefusesOpen(bool refuses) {
  std::lock_guard<std::mutex> hold(B().lock);
  B().refuses = refuses;
}
int ClipboardOpenCount() {
  std::lock_guard<std::mutex> hold(B().lock);
  return B().opens;
}
void SetSelectionCopy(SelectionCopy copy) {
  std::lock_guard<std::mutex> hold(B().lock);
  B().copy = copy;
}
void SetPrimarySelection(std::optional<std::u16string> text) {
  std::lock_guard<std::mutex> hold(B().lock);
  B().primary = std::move(text);
}
void SetClipboardSourceUrl(const std::string& utf8) {
  std::lock_guard<std::mutex> hold(B().lock);
  B().sourceUrl = utf8;
}
void SetClipboardMarkedSecret(bool marked) {
  std::lock_guard<std::mutex> hold(B().lock);
  B().marked = marked;
}
int PrimarySelectionReads() {
  std::lock_guard<std::mutex> hold(B().lock);
  return B().primaryReads;
}
}  // namespace headless
}  // namespace platform
