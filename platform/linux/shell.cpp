// Message boxes, popup menus, opening URLs, the tray icon and its balloons on
// the Linux desktop. The icon lives in the XEmbed system tray (GTK's status
// icon) unless the desktop has a StatusNotifierItem host (statusnotifier.cpp);
// balloons become desktop notifications with the same titles and texts.
#include <gtk/gtk.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/dbusmenu.h"
#include "platform/linux/desktop.h"
#include "platform/linux/statusnotifier.h"
#include "platform/shell.h"

namespace platform {

namespace {

struct TrayEntry {
  NotifyIconData record;
  GtkStatusIcon* status = nullptr;
  bool sni = false;
  uint32_t notification = 0;  // the last balloon's notification, replaced by the next
};

std::map<std::pair<WindowHandle, uint32_t>, TrayEntry>& Tray() {
  static auto* tray = new std::map<std::pair<WindowHandle, uint32_t>, TrayEntry>;
  return *tray;
}

std::string Field(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

void PostMouse(const TrayEntry& e, uint32_t down, uint32_t up) {
  PostToWindow(e.record.hWnd, e.record.uCallbackMessage, e.record.uID, static_cast<std::intptr_t>(down));
  PostToWindow(e.record.hWnd, e.record.uCallbackMessage, e.record.uID, static_cast<std::intptr_t>(up));
}

TrayEntry* EntryOfStatus(GtkStatusIcon* status) {
  for (auto& [key, e] : Tray())
    if (e.status == status) return &e;
  return nullptr;
}

void OnActivate(GtkStatusIcon* status, gpointer) {
  if (TrayEntry* e = EntryOfStatus(status)) PostMouse(*e, wm::LButtonDown, wm::LButtonUp);
}
void OnPopupMenu(GtkStatusIcon* status, guint, guint, gpointer) {
  if (TrayEntry* e = EntryOfStatus(status)) PostMouse(*e, wm::RButtonDown, wm::RButtonUp);
}

void ShowState(TrayEntry& e) {
  bool visible = (e.record.dwState & nis::Hidden) == 0;
  std::string tip = Field(e.record.szTip, sizeof e.record.szTip);
  if (e.sni) {
    desktop::SniUpdate(tip, visible);
    return;
  }
  if (!e.status) return;
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  gtk_status_icon_set_tooltip_text(e.status, tip.c_str());
  gtk_status_icon_set_title(e.status, tip.c_str());
  gtk_status_icon_set_visible(e.status, visible);
  G_GNUC_END_IGNORE_DEPRECATIONS
}

void CreateIcon(TrayEntry& e) {
  if (!desktop::HaveDisplay()) return;
  WindowHandle window = e.record.hWnd;
  uint32_t id = e.record.uID;
  // A StatusNotifierItem host wins; the XEmbed tray is the fallback.
  e.sni = desktop::SniStart(
      [window, id](bool right) {
        auto it = Tray().find({window, id});
        if (it == Tray().end()) return;
        if (right)
          PostMouse(it->second, wm::RButtonDown, wm::RButtonUp);
        else
          PostMouse(it->second, wm::LButtonDown, wm::LButtonUp);
      },
      desktop::ApplicationPixbuf());
  // The XEmbed tray is an X11 thing: a Wayland session has only the above.
  if (e.sni || !desktop::XDisplay()) return;
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  e.status = gtk_status_icon_new_from_pixbuf(desktop::ApplicationPixbuf());
  gtk_status_icon_set_name(e.status, "textsnap");
  G_GNUC_END_IGNORE_DEPRECATIONS
  g_signal_connect(e.status, "activate", G_CALLBACK(OnActivate), nullptr);
  g_signal_connect(e.status, "popup-menu", G_CALLBACK(OnPopupMenu), nullptr);
}

void DestroyIcon(TrayEntry& e) {
  if (e.sni) desktop::SniStop();
  if (e.status) {
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_status_icon_set_visible(e.status, FALSE);
    G_GNUC_END_IGNORE_DEPRECATIONS
    g_object_unref(e.status);
  }
  e.status = nullptr;
  e.sni = false;
}

void ShowBalloon(TrayEntry& e) {
  std::string title = Field(e.record.szInfoTitle, sizeof e.record.szInfoTitle);
  std::string text = Field(e.record.szInfo, sizeof e.record.szInfo);
  if (text == " ") text.clear();              // the placeholder of a balloon without text
  if (title.empty() && text.empty()) return;  // hiding: the next one replaces it
  const char* icon = "textsnap";
  switch (e.record.dwInfoFlags & 0x0F) {
    case niif::Info:
      icon = "dialog-information";
      break;
    case niif::Warning:
      icon = "dialog-warning";
      break;
    case niif::Error:
      icon = "dialog-error";
      break;
    default:
      break;
  }
  int timeout = e.record.uTimeout ? static_cast<int>(e.record.uTimeout) : -1;
  e.notification = desktop::Notify(title, text, icon, timeout, e.notification);
}

}  // namespace

int ShowMessageBox(WindowHandle owner, const std::string& text, const std::string& caption, unsigned style) {
  unsigned buttons = style & 0x0F;
  if (!desktop::HaveDisplay()) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return buttons == mb::YesNo ? mb::IdNo : buttons == mb::OkCancel ? mb::IdCancel : mb::IdOk;
  }
  GtkMessageType type = GTK_MESSAGE_OTHER;
  switch (style & 0xF0) {
    case mb::IconError:
      type = GTK_MESSAGE_ERROR;
      break;
    case mb::IconQuestion:
      type = GTK_MESSAGE_QUESTION;
      break;
    case mb::IconWarning:
      type = GTK_MESSAGE_WARNING;
      break;
    case mb::IconInformation:
      type = GTK_MESSAGE_INFO;
      break;
    default:
      break;
  }
  GtkWidget* parent = desktop::WidgetOf(owner);
  if (parent && (!GTK_IS_WINDOW(parent) || !gtk_widget_get_visible(parent))) parent = nullptr;
  GtkWidget* box = gtk_message_dialog_new(parent ? GTK_WINDOW(parent) : nullptr, GTK_DIALOG_MODAL, type,
                                          GTK_BUTTONS_NONE, "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(box), caption.c_str());
  if (buttons == mb::YesNo) {
    gtk_dialog_add_buttons(GTK_DIALOG(box), "_No", mb::IdNo, "_Yes", mb::IdYes, nullptr);
    gtk_dialog_set_default_response(GTK_DIALOG(box), mb::IdYes);
  } else if (buttons == mb::OkCancel) {
    gtk_dialog_add_buttons(GTK_DIALOG(box), "_Cancel", mb::IdCancel, "_OK", mb::IdOk, nullptr);
    gtk_dialog_set_default_response(GTK_DIALOG(box), mb::IdOk);
  } else {
    gtk_dialog_add_button(GTK_DIALOG(box), "_OK", mb::IdOk);
    gtk_dialog_set_default_response(GTK_DIALOG(box), mb::IdOk);
  }
  gtk_window_set_keep_above(GTK_WINDOW(box), TRUE);
  int answer = gtk_dialog_run(GTK_DIALOG(box));
  gtk_widget_destroy(box);
  if (answer <= 0) answer = buttons == mb::Ok ? mb::IdOk : buttons == mb::YesNo ? mb::IdNo : mb::IdCancel;
  return answer;
}

namespace {
struct MenuRun {
  GMainLoop* loop;
  int chosen = 0;
};
void OnMenuItem(GtkMenuItem* item, gpointer data) {
  static_cast<MenuRun*>(data)->chosen = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(item), "ts-command"));
}
void OnMenuDone(GtkMenuShell*, gpointer data) { g_main_loop_quit(static_cast<MenuRun*>(data)->loop); }

GtkWidget* BuildMenu(const std::vector<MenuEntry>& entries, MenuRun& run) {
  GtkWidget* menu = gtk_menu_new();
  for (const MenuEntry& e : entries) {
    GtkWidget* item;
    if (e.caption == "-") {
      item = gtk_separator_menu_item_new();
    } else {
      item = e.checked ? gtk_check_menu_item_new_with_label(e.caption.c_str())
                       : gtk_menu_item_new_with_label(e.caption.c_str());
      if (e.checked) gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), TRUE);
      gtk_widget_set_sensitive(item, e.enabled);
      if (!e.submenu.empty()) {
        gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), BuildMenu(e.submenu, run));
      } else {
        g_object_set_data(G_OBJECT(item), "ts-command", GINT_TO_POINTER(e.command));
        g_signal_connect(item, "activate", G_CALLBACK(OnMenuItem), &run);
      }
    }
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
  }
  return menu;
}
}  // namespace

int TrackPopup(WindowHandle /*owner*/, const std::vector<MenuEntry>& entries, int /*x*/, int /*y*/) {
  // The panel shows it, and says which item was clicked.
  if (std::optional<int> taken = desktop::MenuExportTake(entries)) return *taken;
  if (!desktop::HaveDisplay() || entries.empty()) return 0;
  MenuRun run{g_main_loop_new(nullptr, FALSE)};
  GtkWidget* menu = BuildMenu(entries, run);
  gtk_widget_show_all(menu);
  g_signal_connect(menu, "deactivate", G_CALLBACK(OnMenuDone), &run);
  // Opened from a click on the tray icon, at the pointer: no event of GTK's
  // own started it, so the menu is placed by the pointer's position.
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  gtk_menu_popup(GTK_MENU(menu), nullptr, nullptr, nullptr, nullptr, 3, gtk_get_current_event_time());
  G_GNUC_END_IGNORE_DEPRECATIONS
  if (gtk_widget_get_visible(menu)) g_main_loop_run(run.loop);
  gtk_widget_destroy(menu);
  g_main_loop_unref(run.loop);
  return run.chosen;
}

std::intptr_t ShellOpen(WindowHandle /*owner*/, const char* /*verb*/, const std::string& file,
                        const char* /*parameters*/, const char* /*directory*/, int /*showCommand*/) {
  GFile* target = g_file_new_for_commandline_arg(file.c_str());
  char* uri = g_file_get_uri(target);
  g_object_unref(target);
  GError* error = nullptr;
  gboolean ok = g_app_info_launch_default_for_uri(uri, nullptr, &error);
  g_free(uri);
  if (error) g_error_free(error);
  return ok ? 42 : 2;  // above 32: done; 2: nothing could open it
}

uint32_t NotifyIconSizeV1() { return 88; }
uint32_t NotifyIconSizeV5() { return 488; }

bool ShellNotifyIcon(uint32_t command, const NotifyIconData& d, uint32_t* lastError) {
  auto key = std::make_pair(d.hWnd, d.uID);
  auto it = Tray().find(key);
  bool ok = false;
  switch (command) {
    case nim::Add:
      if (it != Tray().end() || d.hWnd == 0) break;
      {
        TrayEntry& e = Tray()[key];
        e.record = d;
        CreateIcon(e);
        ShowState(e);
        if (d.uFlags & nif::Info) ShowBalloon(e);
      }
      ok = true;
      break;
    case nim::Modify: {
      if (it == Tray().end()) break;
      TrayEntry& e = it->second;
      if (d.uFlags & nif::Message) e.record.uCallbackMessage = d.uCallbackMessage;
      if (d.uFlags & nif::Icon) e.record.hIcon = d.hIcon;
      if (d.uFlags & nif::Tip) std::copy(std::begin(d.szTip), std::end(d.szTip), e.record.szTip);
      if (d.uFlags & nif::State) e.record.dwState = (e.record.dwState & ~d.dwStateMask) | (d.dwState & d.dwStateMask);
      if (d.uFlags & (nif::Tip | nif::State)) ShowState(e);
      if (d.uFlags & nif::Info) {
        std::copy(std::begin(d.szInfo), std::end(d.szInfo), e.record.szInfo);
        std::copy(std::begin(d.szInfoTitle), std::end(d.szInfoTitle), e.record.szInfoTitle);
        e.record.dwInfoFlags = d.dwInfoFlags;
        e.record.uTimeout = d.uTimeout;
        ShowBalloon(e);
      }
      ok = true;
      break;
    }
    case nim::Delete:
      if (it == Tray().end()) break;
      DestroyIcon(it->second);
      Tray().erase(it);
      ok = true;
      break;
    default:
      // No nim::SetVersion: the status notifier reports in the first
      // version's terms (a right button release opens the menu).
      break;
  }
  if (lastError) *lastError = ok ? 0 : 87;
  return ok;
}

// The tray component asks these to choose the record layout and its retry
// rules: this desktop behaves as a current shell does.
uint16_t Shell32MajorVersion() { return 6; }
OsVersion PlatformVersion() { return {6, 1, 0}; }

// One picture at every size: the status notifier hands the desktop a pixmap
// it scales itself.
IconHandle ApplicationIcon(int /*pixels*/) { return 1; }
int NotifyIconPixels() { return 16; }
IconHandle StockIcon(int which) { return which >= 0 && which <= 3 ? static_cast<IconHandle>(0x10 + which) : 0; }
IconHandle CopyIconHandle(IconHandle icon) { return icon; }
void FreeIconHandle(IconHandle /*icon*/) {}

}  // namespace platform
