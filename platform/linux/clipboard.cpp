// The CLIPBOARD selection as text. Its owner answers asynchronously, so each
// read waits in a loop of its own; posted messages wait meanwhile, as nothing
// of ours may run inside a read.
#include <gtk/gtk.h>

#include "platform/clipboard.h"
#include "platform/codepage.h"
#include "platform/linux/desktop.h"

namespace platform {

namespace {
GtkClipboard* Board() {
  return desktop::HaveDisplay() ? gtk_clipboard_get_for_display(gdk_display_get_default(), GDK_SELECTION_CLIPBOARD)
                                : nullptr;
}

class Holding {
public:
  Holding() { desktop::HoldPosted(true); }
  ~Holding() { desktop::HoldPosted(false); }
  Holding(const Holding&) = delete;
  Holding& operator=(const Holding&) = delete;
};

// nullopt without a display; empty when the selection holds no text.
std::optional<std::string> ReadUtf8() {
  GtkClipboard* board = Board();
  if (!board) return std::nullopt;
  Holding hold;
  gchar* text = gtk_clipboard_wait_for_text(board);
  if (!text) return std::string();
  std::string out(text);
  g_free(text);
  return out;
}
}  // namespace

bool ClipboardHasFormat(ClipboardFormat /*format*/) {
  // Both text forms are offered whenever the selection converts to text.
  GtkClipboard* board = Board();
  if (!board) return false;
  Holding hold;
  return gtk_clipboard_wait_is_text_available(board) != FALSE;
}

std::optional<std::string> ClipboardText() {
  auto utf8 = ReadUtf8();
  if (!utf8) return std::nullopt;
  // The system code page is UTF-8 here, unless a caller changed nothing else.
  return AnsiCodePage() == 65001 ? *utf8 : FromUtf16(AnsiCodePage(), ToUtf16(65001, *utf8));
}

std::optional<std::u16string> ClipboardUnicodeText() {
  auto utf8 = ReadUtf8();
  if (!utf8) return std::nullopt;
  return ToUtf16(65001, *utf8);
}

bool ClipboardSetText(const std::string& text) {
  GtkClipboard* board = Board();
  if (!board) return false;
  std::string utf8 = AnsiCodePage() == 65001 ? text : FromUtf16(65001, ToUtf16(AnsiCodePage(), text));
  gtk_clipboard_set_text(board, utf8.c_str(), static_cast<gint>(utf8.size()));
  gtk_clipboard_store(board);
  return true;
}

bool ClipboardSetUnicodeText(const std::u16string& text) { return ClipboardSetText(FromUtf16(AnsiCodePage(), text)); }

}  // namespace platform
