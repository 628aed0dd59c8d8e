// The hotkey of a Wayland session, as a shortcut of the desktop's
// GlobalShortcuts portal (xdg-desktop-portal with the KDE, GNOME or Hyprland
// backend): a session, one shortcut "snap" bound in it with the configured
// hotkey as the preferred trigger, and its Activated signal posting the
// hotkey message. The desktop decides the trigger in the end (it may ask the
// user, or keep what the user chose before); when it differs from the one
// asked for, a notification says which it is.
//
// Calls through the portal answer at once with a request object whose
// Response signal brings the outcome later; everything here runs on the GUI
// thread, from its loop. A session binds its shortcuts once, so a new hotkey
// takes a new session.
#include <gio/gio.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/input.h"
#include "platform/linux/desktop.h"
#include "platform/linux/wayland.h"

namespace platform::desktop {

namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kShortcuts = "org.freedesktop.portal.GlobalShortcuts";
constexpr const char* kShortcutId = "snap";
constexpr const char* kDescription = "Snap the selection";
constexpr const char* kTitle = "text snap for pinleaf online";
// The portal may have to be started first.
constexpr int kCallTimeoutMs = 25000;

struct Binding {
  bool missing = false;  // the session bus has no portal with the interface
  WindowHandle window = 0;
  int id = 0;
  unsigned modifiers = 0, virtualKey = 0;
  bool active = false;  // posts while true
  std::string asked;    // the trigger of the session's binding
  std::string session;  // empty until the portal made it
  unsigned generation = 0;
  unsigned tokens = 0;
  guint activated = 0, closed = 0;
};
Binding& B() {
  static Binding* b = new Binding;
  return *b;
}

// The hotkey as people write it: "Ctrl+Shift+F9".
std::string HumanHotKey(unsigned modifiers, unsigned virtualKey) {
  std::string name;
  if (modifiers & 2) name += "Ctrl+";
  if (modifiers & 1) name += "Alt+";
  if (modifiers & 4) name += "Shift+";
  if (modifiers & 8) name += "Super+";
  const char* key = gdk_keyval_name(KeysymOfVirtualKey(virtualKey));
  std::string k = key ? key : "?";
  if (k.size() == 1) k[0] = static_cast<char>(g_ascii_toupper(k[0]));
  return name + k;
}

void Say(const std::string& body, const char* icon) {
  std::fprintf(stderr, "textsnap: %s\n", body.c_str());
  Notify(kTitle, body, icon, 15000, 0);
}

// The path of the request object a call with this token gets: subscribing
// to it before the call, no answer can come before we listen.
std::string RequestPath(GDBusConnection* bus, const std::string& token) {
  std::string sender = g_dbus_connection_get_unique_name(bus) ? g_dbus_connection_get_unique_name(bus) + 1 : "";
  for (char& c : sender)
    if (c == '.') c = '_';
  return std::string(kPortalPath) + "/request/" + sender + "/" + token;
}

std::string NextToken() { return "textsnap" + std::to_string(++B().tokens); }

using Answer = void (*)(GDBusConnection* bus, uint32_t code, GVariant* results);
struct Pending {
  unsigned generation;
  Answer answer;
  guint subscription = 0;
};

void OnResponse(GDBusConnection* bus, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                gpointer data) {
  const Pending p = *static_cast<Pending*>(data);
  g_dbus_connection_signal_unsubscribe(bus, p.subscription);  // one answer per request
  if (p.generation != B().generation) return;                 // a newer hotkey took over
  uint32_t code = 2;
  GVariant* results = nullptr;
  g_variant_get(parameters, "(u@a{sv})", &code, &results);
  p.answer(bus, code, results);
  g_variant_unref(results);
}

// Calls a portal method whose outcome comes as a Response; nullptr on
// success, else the error (the caller frees it).
GError* Request(GDBusConnection* bus, const char* method, GVariant* parameters, const std::string& token,
                Answer answer) {
  auto* pending = new Pending{B().generation, answer};
  const std::string path = RequestPath(bus, token);
  pending->subscription = g_dbus_connection_signal_subscribe(
      bus, kPortal, "org.freedesktop.portal.Request", "Response", path.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
      OnResponse, pending, [](gpointer p) { delete static_cast<Pending*>(p); });
  GError* error = nullptr;
  guint subscription = pending->subscription;
  GVariant* reply =
      g_dbus_connection_call_sync(bus, kPortal, kPortalPath, kShortcuts, method, parameters, G_VARIANT_TYPE("(o)"),
                                  G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &error);
  if (!reply) {
    g_dbus_connection_signal_unsubscribe(bus, subscription);
    return error;
  }
  const char* handle = nullptr;
  g_variant_get(reply, "(&o)", &handle);
  if (path != handle) {
    // A portal that names its requests otherwise: listen there instead.
    g_dbus_connection_signal_unsubscribe(bus, subscription);
    pending = new Pending{B().generation, answer};
    pending->subscription = g_dbus_connection_signal_subscribe(
        bus, kPortal, "org.freedesktop.portal.Request", "Response", handle, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        OnResponse, pending, [](gpointer p) { delete static_cast<Pending*>(p); });
  }
  g_variant_unref(reply);
  return nullptr;
}

void OnActivated(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                 gpointer) {
  const char* session = nullptr;
  const char* shortcut = nullptr;
  g_variant_get(parameters, "(&o&sta{sv})", &session, &shortcut, nullptr, nullptr);
  if (!B().active || B().session != session || std::string(shortcut) != kShortcutId) return;
  PostToWindow(B().window, wm::HotKey, static_cast<std::uintptr_t>(B().id),
               static_cast<std::intptr_t>(B().modifiers | (B().virtualKey << 16)));
}

void OnSessionClosed(GDBusConnection* bus, const gchar*, const gchar* path, const gchar*, const gchar*, GVariant*,
                     gpointer) {
  if (B().session != path) return;
  std::fprintf(stderr, "textsnap: the desktop closed the shortcut session\n");
  g_dbus_connection_signal_unsubscribe(bus, B().closed);
  B().closed = 0;
  B().session.clear();
  B().asked.clear();
}

void CloseSession(GDBusConnection* bus) {
  if (B().session.empty()) return;
  if (B().closed) g_dbus_connection_signal_unsubscribe(bus, B().closed);
  B().closed = 0;
  g_dbus_connection_call(bus, kPortal, B().session.c_str(), "org.freedesktop.portal.Session", "Close", nullptr, nullptr,
                         G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
  B().session.clear();
}

void Bound(GDBusConnection* bus, uint32_t code, GVariant* results) {
  const std::string wanted = HumanHotKey(B().modifiers, B().virtualKey);
  if (code != 0) {
    // A session binds once: the next hotkey from the settings window asks anew.
    CloseSession(bus);
    B().asked.clear();
    Say(wanted + " was not made text snap's shortcut" + (code == 1 ? " (cancelled)" : "") +
            ". Choose the key again under Settings... in the tray menu, or bind a desktop shortcut to: textsnap --snap",
        "dialog-warning");
    return;
  }
  GVariant* shortcuts = g_variant_lookup_value(results, "shortcuts", G_VARIANT_TYPE("a(sa{sv})"));
  std::string trigger;
  bool found = false;
  if (shortcuts) {
    GVariantIter iter;
    g_variant_iter_init(&iter, shortcuts);
    const char* id = nullptr;
    GVariant* properties = nullptr;
    while (g_variant_iter_next(&iter, "(&s@a{sv})", &id, &properties)) {
      if (std::string(id) == kShortcutId) {
        found = true;
        const char* described = nullptr;
        if (g_variant_lookup(properties, "trigger_description", "&s", &described)) trigger = described;
      }
      g_variant_unref(properties);
    }
    g_variant_unref(shortcuts);
  }
  if (found && SameTrigger(trigger, B().asked)) return;
  if (!found || trigger.empty())
    Say(std::string("The desktop has given \"") + kDescription + "\" no key yet (" + wanted +
            " was asked for): choose one in its keyboard shortcut settings",
        "dialog-information");
  else
    Say(std::string("The desktop assigned ") + trigger + " to \"" + kDescription + "\" instead of " + wanted + ".",
        "dialog-information");
}

void BindIn(GDBusConnection* bus) {
  GVariantBuilder shortcut, list, options;
  g_variant_builder_init(&shortcut, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&shortcut, "{sv}", "description", g_variant_new_string(kDescription));
  g_variant_builder_add(&shortcut, "{sv}", "preferred_trigger", g_variant_new_string(B().asked.c_str()));
  g_variant_builder_init(&list, G_VARIANT_TYPE("a(sa{sv})"));
  g_variant_builder_add(&list, "(sa{sv})", kShortcutId, &shortcut);
  const std::string token = NextToken();
  g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
  GError* error = Request(bus, "BindShortcuts",
                          g_variant_new("(oa(sa{sv})sa{sv})", B().session.c_str(), &list, "", &options), token, Bound);
  if (error) {
    Say(std::string("The desktop's shortcut service did not take text snap's hotkey: ") + error->message,
        "dialog-warning");
    g_error_free(error);
  }
}

void SessionMade(GDBusConnection* bus, uint32_t code, GVariant* results) {
  const char* handle = nullptr;
  // Portals hand the session over as a string or as an object path.
  if (code != 0 || (!g_variant_lookup(results, "session_handle", "&s", &handle) &&
                    !g_variant_lookup(results, "session_handle", "&o", &handle))) {
    std::fprintf(stderr, "textsnap: the desktop made no shortcut session (answer %u)\n", code);
    B().asked.clear();
    SayNoGlobalHotKey();
    return;
  }
  B().session = handle;
  B().closed = g_dbus_connection_signal_subscribe(bus, kPortal, "org.freedesktop.portal.Session", "Closed", handle,
                                                  nullptr, G_DBUS_SIGNAL_FLAGS_NONE, OnSessionClosed, nullptr, nullptr);
  BindIn(bus);
}

// A session bus connection of the portal's own: portals from 1.19 on learn a
// host program's name from its first call on a connection, before any other
// portal call on it (which GTK may have made on the shared one).
GDBusConnection* PortalBus() {
  static GDBusConnection* bus = [] {
    if (!SessionBus()) return static_cast<GDBusConnection*>(nullptr);
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!address) return static_cast<GDBusConnection*>(nullptr);
    GDBusConnection* own = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    g_free(address);
    if (!own) return static_cast<GDBusConnection*>(nullptr);
    GVariantBuilder none;
    g_variant_builder_init(&none, G_VARIANT_TYPE("a{sv}"));
    GVariant* reply = g_dbus_connection_call_sync(own, kPortal, kPortalPath, "org.freedesktop.host.portal.Registry",
                                                  "Register", g_variant_new("(sa{sv})", "textsnap", &none), nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, nullptr);
    if (reply) g_variant_unref(reply);
    return own;
  }();
  return bus;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(g_ascii_toupper(c));
  return s;
}

// A trigger as a set of modifier bits and a key name in one spelling.
struct Keys {
  unsigned modifiers = 0;
  std::string key;
};

Keys Parse(const std::string& text) {
  Keys k;
  std::vector<std::string> parts;
  std::string rest = text;
  // GTK's form: "<Control><Shift>F9".
  while (!rest.empty() && rest[0] == '<' && rest.find('>') != std::string::npos) {
    parts.push_back(rest.substr(1, rest.find('>') - 1));
    rest = rest.substr(rest.find('>') + 1);
  }
  // The "+" form; a key that is "+" itself ends in "++".
  size_t at;
  while ((at = rest.find('+')) != std::string::npos && at + 1 < rest.size()) {
    parts.push_back(rest.substr(0, at));
    rest = rest.substr(at + 1);
  }
  for (const std::string& part : parts) {
    const std::string m = Upper(part);
    if (m == "CTRL" || m == "CONTROL" || m == "PRIMARY") k.modifiers |= 2;
    if (m == "ALT" || m == "MOD1") k.modifiers |= 1;
    if (m == "SHIFT") k.modifiers |= 4;
    if (m == "LOGO" || m == "SUPER" || m == "META" || m == "WIN" || m == "MOD4") k.modifiers |= 8;
  }
  std::string key;
  for (char c : Upper(rest))
    if (c != '_' && c != ' ') key += c;
  // The same keys under the names desktops show them by.
  static const std::pair<const char*, const char*> kAliases[] = {
      {"PRIOR", "PGUP"},  {"PAGEUP", "PGUP"},  {"NEXT", "PGDOWN"},  {"PAGEDOWN", "PGDOWN"}, {"DELETE", "DEL"},
      {"INSERT", "INS"},  {"ESCAPE", "ESC"},   {"RETURN", "ENTER"}, {"SYSREQ", "PRINT"},    {"GRAVE", "`"},
      {"MINUS", "-"},     {"EQUAL", "="},      {"COMMA", ","},      {"PERIOD", "."},        {"SLASH", "/"},
      {"SEMICOLON", ";"}, {"APOSTROPHE", "'"}, {"BACKSLASH", "\\"}, {"BRACKETLEFT", "["},   {"BRACKETRIGHT", "]"}};
  for (const auto& [name, same] : kAliases)
    if (key == name) key = same;
  k.key = key;
  return k;
}

}  // namespace

std::string PortalTrigger(unsigned modifiers, unsigned virtualKey) {
  const unsigned sym = KeysymOfVirtualKey(virtualKey);
  const char* key = sym ? gdk_keyval_name(sym) : nullptr;
  if (!key) return std::string();
  std::string trigger;
  if (modifiers & 2) trigger += "CTRL+";
  if (modifiers & 1) trigger += "ALT+";
  if (modifiers & 4) trigger += "SHIFT+";
  if (modifiers & 8) trigger += "LOGO+";
  return trigger + key;
}

bool SameTrigger(const std::string& described, const std::string& asked) {
  const Keys a = Parse(described), b = Parse(asked);
  return !a.key.empty() && a.modifiers == b.modifiers && a.key == b.key;
}

bool PortalBindHotKey(WindowHandle window, int id, unsigned modifiers, unsigned virtualKey) {
  GDBusConnection* bus = PortalBus();
  if (!bus || B().missing) return false;
  const std::string trigger = PortalTrigger(modifiers, virtualKey);
  if (trigger.empty()) return false;
  B().window = window;
  B().id = id;
  B().modifiers = modifiers;
  B().virtualKey = virtualKey;
  B().active = true;
  if (!B().session.empty() && B().asked == trigger) return true;  // bound so already
  ++B().generation;                                               // answers to an earlier binding are stale now
  CloseSession(bus);
  B().asked = trigger;
  if (!B().activated)
    B().activated = g_dbus_connection_signal_subscribe(bus, kPortal, kShortcuts, "Activated", kPortalPath, nullptr,
                                                       G_DBUS_SIGNAL_FLAGS_NONE, OnActivated, nullptr, nullptr);
  const std::string token = NextToken();
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
  g_variant_builder_add(&options, "{sv}", "session_handle_token", g_variant_new_string(token.c_str()));
  GError* error = Request(bus, "CreateSession", g_variant_new("(a{sv})", &options), token, SessionMade);
  if (error) {
    // No portal, or one without the interface: the desktop's own shortcut
    // settings and `textsnap --snap` are the way, as told then.
    std::fprintf(stderr, "textsnap: no global shortcuts portal: %s\n", error->message);
    g_error_free(error);
    B().missing = true;
    B().active = false;
    B().asked.clear();
    return false;
  }
  return true;
}

bool PortalReleaseHotKey(WindowHandle window, int id) {
  if (B().window != window || B().id != id || !B().active) return false;
  B().active = false;
  return true;
}

}  // namespace platform::desktop
