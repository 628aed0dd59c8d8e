// The session bus: desktop notifications, and the application's picture.
#include <gio/gio.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <string>

#include "platform/linux/desktop.h"
#include "platform/module.h"

namespace platform::desktop {

GDBusConnection* SessionBus() {
  static GDBusConnection* bus = [] {
    // Without an address the library would try to start a bus of its own.
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string socket = runtime ? std::string(runtime) + "/bus" : std::string();
    if ((!address || !*address) && (socket.empty() || !g_file_test(socket.c_str(), G_FILE_TEST_EXISTS)))
      return static_cast<GDBusConnection*>(nullptr);
    return g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  }();
  return bus;
}

namespace {
// Whether the notification service reads markup in the body: then the text
// is escaped, so that a note holding "<b>" is shown as it is written.
bool BodyMarkup(GDBusConnection* bus) {
  static int markup = -1;
  if (markup >= 0) return markup == 1;
  markup = 0;
  GVariant* caps = g_dbus_connection_call_sync(bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                               "org.freedesktop.Notifications", "GetCapabilities", nullptr,
                                               G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
  if (!caps) return false;
  GVariantIter* iter = nullptr;
  const char* cap = nullptr;
  g_variant_get(caps, "(as)", &iter);
  while (g_variant_iter_loop(iter, "&s", &cap))
    if (std::string(cap) == "body-markup") markup = 1;
  g_variant_iter_free(iter);
  g_variant_unref(caps);
  return markup == 1;
}
}  // namespace

uint32_t Notify(const std::string& summary, const std::string& body, const char* icon, int timeoutMs,
                uint32_t replaces) {
  GDBusConnection* bus = SessionBus();
  if (!bus) return 0;
  std::string text = body;
  if (BodyMarkup(bus)) {
    char* escaped = g_markup_escape_text(body.c_str(), -1);
    text = escaped;
    g_free(escaped);
  }
  GVariantBuilder actions, hints;
  g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
  g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string("textsnap"));
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications", "org.freedesktop.Notifications", "Notify",
      g_variant_new("(susssasa{sv}i)", "text snap", replaces, icon, summary.c_str(), text.c_str(), &actions, &hints,
                    timeoutMs),
      G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
  if (!reply) return 0;
  uint32_t id = 0;
  g_variant_get(reply, "(u)", &id);
  g_variant_unref(reply);
  return id;
}

GdkPixbuf* ApplicationPixbuf() {
  static GdkPixbuf* picture = [] {
    GdkPixbuf* p = nullptr;
    // Installed: the hicolor theme; in the build tree: the picture beside the program.
    if (GtkIconTheme* theme = gtk_icon_theme_get_default())
      p = gtk_icon_theme_load_icon(theme, "textsnap", 64, static_cast<GtkIconLookupFlags>(0), nullptr);
    if (!p) {
      std::string exe = ModuleFileName();
      std::string beside = exe.substr(0, exe.find_last_of('/') + 1) + "textsnap.png";
      p = gdk_pixbuf_new_from_file_at_size(beside.c_str(), 64, 64, nullptr);
    }
    if (!p) {
      // Never without a picture: a plain note in the note colour.
      p = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 32, 32);
      gdk_pixbuf_fill(p, 0xFFF7ABFF);
    }
    return p;
  }();
  return picture;
}

}  // namespace platform::desktop
