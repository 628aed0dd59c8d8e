// The CLIPBOARD and PRIMARY selections as text. Their owner answers
// asynchronously, so each read waits in a loop of its own; posted messages
// wait meanwhile, as nothing of ours may run inside a read.
//
// In a Wayland session the compositor shows the selections only to the
// client with the keyboard focus, and the tray client has none when its
// hotkey fires: there the selections are read through the compositor's
// data-control protocol, or else through the X server beside it (Xwayland),
// and only as the last resort through GTK.
#include <gtk/gtk.h>

#include "platform/clipboard.h"
#include "platform/codepage.h"
#include "platform/linux/desktop.h"
#include "platform/linux/wayland.h"

namespace platform {

namespace {
GtkClipboard* Board(desktop::Selection which) {
  if (!desktop::HaveDisplay()) return nullptr;
  return gtk_clipboard_get_for_display(gdk_display_get_default(), which == desktop::Selection::Primary
                                                                      ? GDK_SELECTION_PRIMARY
                                                                      : GDK_SELECTION_CLIPBOARD);
}

class Holding {
public:
  Holding() { desktop::HoldPosted(true); }
  ~Holding() { desktop::HoldPosted(false); }
  Holding(const Holding&) = delete;
  Holding& operator=(const Holding&) = delete;
};

// A read that does not need the focus, in a Wayland session; nullopt where
// there is no way to make one.
std::optional<desktop::SelectionText> ReadWithoutFocus(desktop::Selection which, bool withText) {
  if (!desktop::WaylandSession()) return std::nullopt;
  std::optional<desktop::SelectionText> read = desktop::ReadByDataControl(which, withText);
  // GTK on the X server reads the X selections itself.
  if (!read && !desktop::XDisplay()) read = desktop::ReadByXSelection(which, withText);
  return read;
}

// nullopt when the selection cannot be read; empty when it holds no text.
std::optional<std::string> ReadUtf8(desktop::Selection which) {
  GtkClipboard* board = Board(which);
  if (!board) return std::nullopt;
  Holding hold;
  if (std::optional<desktop::SelectionText> read = ReadWithoutFocus(which, true)) {
    if (!read->read) return std::nullopt;
    return read->text ? read->utf8 : std::string();
  }
  gchar* text = gtk_clipboard_wait_for_text(board);
  if (!text) return std::string();
  std::string out(text);
  g_free(text);
  return out;
}
}  // namespace

bool ClipboardHasFormat(ClipboardFormat /*format*/) {
  // Both text forms are offered whenever the selection converts to text.
  GtkClipboard* board = Board(desktop::Selection::Clipboard);
  if (!board) return false;
  Holding hold;
  if (std::optional<desktop::SelectionText> read = ReadWithoutFocus(desktop::Selection::Clipboard, false))
    return read->text;
  return gtk_clipboard_wait_is_text_available(board) != FALSE;
}

std::optional<std::string> ClipboardText() {
  auto utf8 = ReadUtf8(desktop::Selection::Clipboard);
  if (!utf8) return std::nullopt;
  // The system code page is UTF-8 here, unless a caller changed nothing else.
  return AnsiCodePage() == 65001 ? *utf8 : FromUtf16(AnsiCodePage(), ToUtf16(65001, *utf8));
}

std::optional<std::u16string> ClipboardUnicodeText() {
  auto utf8 = ReadUtf8(desktop::Selection::Clipboard);
  if (!utf8) return std::nullopt;
  return ToUtf16(65001, *utf8);
}

bool ClipboardSetText(const std::string& text) {
  GtkClipboard* board = Board(desktop::Selection::Clipboard);
  if (!board) return false;
  std::string utf8 = AnsiCodePage() == 65001 ? text : FromUtf16(65001, ToUtf16(AnsiCodePage(), text));
  gtk_clipboard_set_text(board, utf8.c_str(), static_cast<gint>(utf8.size()));
  gtk_clipboard_store(board);
  return true;
}

bool ClipboardSetUnicodeText(const std::u16string& text) { return ClipboardSetText(FromUtf16(AnsiCodePage(), text)); }

SelectionCopy HowSelectionIsCopied() {
  // Keys synthesised through Xwayland would reach X programs only.
  return desktop::WaylandSession() ? SelectionCopy::PrimarySelection : SelectionCopy::Keys;
}

std::optional<std::u16string> PrimarySelectionText() {
  auto utf8 = ReadUtf8(desktop::Selection::Primary);
  if (!utf8) return std::nullopt;
  return ToUtf16(65001, *utf8);
}

}  // namespace platform
