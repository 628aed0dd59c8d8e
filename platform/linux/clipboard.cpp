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

#include <string>
#include <vector>

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
// The clipboard's targets beside its text, on X11: what the copying program
// wrote about its copy. A Wayland session shows them to the focused program
// only; there none are read.
class Targets {
public:
  Targets() : board_(desktop::WaylandSession() ? nullptr : Board(desktop::Selection::Clipboard)) {
    if (!board_) return;
    GdkAtom* atoms = nullptr;
    gint count = 0;
    if (gtk_clipboard_wait_for_targets(board_, &atoms, &count) && atoms) {
      for (gint i = 0; i < count; ++i) {
        gchar* name = gdk_atom_name(atoms[i]);
        if (name) names_.emplace_back(name);
        g_free(name);
      }
      g_free(atoms);
    }
  }
  bool Has(const char* target) const {
    for (const std::string& name : names_)
      if (name == target) return true;
    return false;
  }
  // The target's data; empty when it is not offered or not handed over.
  std::string Data(const char* target) const {
    if (!board_ || !Has(target)) return {};
    GtkSelectionData* data = gtk_clipboard_wait_for_contents(board_, gdk_atom_intern(target, FALSE));
    if (!data) return {};
    std::string out;
    const gint length = gtk_selection_data_get_length(data);
    const guchar* bytes = gtk_selection_data_get_data(data);
    if (bytes && length > 0) out.assign(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
    gtk_selection_data_free(data);
    return out;
  }

private:
  Holding hold_;
  GtkClipboard* board_;
  std::vector<std::string> names_;
};

// Firefox hands its addresses over in UTF-16, Chromium in UTF-8.
std::string AddressText(const std::string& data) {
  std::string utf8 = data;
  if (data.size() >= 2 && data.size() % 2 == 0 && data[1] == '\0') {
    std::u16string units(data.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i)
      units[i] = static_cast<char16_t>(static_cast<unsigned char>(data[2 * i]) |
                                       (static_cast<unsigned char>(data[2 * i + 1]) << 8));
    utf8 = FromUtf16(65001, units);
  }
  const size_t end = utf8.find_first_of(std::string("\r\n\0", 3));
  return end == std::string::npos ? utf8 : utf8.substr(0, end);
}
}  // namespace

std::string ClipboardSourceUrl() {
  Targets targets;
  for (const char* target : {"text/x-moz-url-priv", "chromium/x-source-url"}) {
    std::string address = AddressText(targets.Data(target));
    if (!address.empty()) return address;
  }
  return {};
}

bool ClipboardMarkedSecret() {
  Targets targets;
  std::string hint = targets.Data("x-kde-passwordManagerHint");
  while (!hint.empty() && (hint.back() == '\0' || hint.back() == '\n' || hint.back() == '\r')) hint.pop_back();
  return hint == "secret";
}

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
