#include "platform/linux/statusnotifier.h"

#include <gio/gio.h>
#include <unistd.h>

#include <string>

#include "platform/linux/dbusmenu.h"
#include "platform/linux/desktop.h"

namespace platform::desktop {

namespace {

const char kIntrospection[] =
    "<node><interface name='org.kde.StatusNotifierItem'>"
    "<property name='Category' type='s' access='read'/>"
    "<property name='Id' type='s' access='read'/>"
    "<property name='Title' type='s' access='read'/>"
    "<property name='Status' type='s' access='read'/>"
    "<property name='IconName' type='s' access='read'/>"
    "<property name='IconPixmap' type='a(iiay)' access='read'/>"
    "<property name='ToolTip' type='(sa(iiay)ss)' access='read'/>"
    "<property name='ItemIsMenu' type='b' access='read'/>"
    "<property name='Menu' type='o' access='read'/>"
    "<method name='Activate'><arg type='i' direction='in'/><arg type='i' direction='in'/></method>"
    "<method name='SecondaryActivate'><arg type='i' direction='in'/><arg type='i' direction='in'/></method>"
    "<method name='ContextMenu'><arg type='i' direction='in'/><arg type='i' direction='in'/></method>"
    "<method name='Scroll'><arg type='i' direction='in'/><arg type='s' direction='in'/></method>"
    "<signal name='NewToolTip'/><signal name='NewStatus'><arg type='s'/></signal>"
    "</interface></node>";

struct Item {
  guint object = 0;
  guint name = 0;
  std::string busName;
  std::string tip;
  bool visible = true;
  std::function<void(bool)> clicked;
  GdkPixbuf* icon = nullptr;
  bool menu = false;  // the panel draws the menu (dbusmenu.cpp)
};
Item* g_item = nullptr;

// The picture as ARGB32 in network byte order, as the protocol wants it.
GVariant* Pixmaps() {
  GVariantBuilder list;
  g_variant_builder_init(&list, G_VARIANT_TYPE("a(iiay)"));
  if (g_item && g_item->icon) {
    GdkPixbuf* p = gdk_pixbuf_add_alpha(g_item->icon, FALSE, 0, 0, 0);
    int w = gdk_pixbuf_get_width(p), h = gdk_pixbuf_get_height(p), stride = gdk_pixbuf_get_rowstride(p);
    const guchar* px = gdk_pixbuf_read_pixels(p);
    std::string argb;
    argb.reserve(static_cast<size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const guchar* c = px + y * stride + x * 4;
        argb += static_cast<char>(c[3]);
        argb += static_cast<char>(c[0]);
        argb += static_cast<char>(c[1]);
        argb += static_cast<char>(c[2]);
      }
    GVariant* bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, argb.data(), argb.size(), 1);
    g_variant_builder_add(&list, "(ii@ay)", w, h, bytes);
    g_object_unref(p);
  }
  return g_variant_builder_end(&list);
}

GVariant* GetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name, GError**,
                      gpointer) {
  std::string n = name;
  if (n == "Category") return g_variant_new_string("ApplicationStatus");
  if (n == "Id") return g_variant_new_string("textsnap");
  if (n == "Title") return g_variant_new_string("text snap");
  if (n == "Status") return g_variant_new_string(g_item && !g_item->visible ? "Passive" : "Active");
  if (n == "IconName") return g_variant_new_string("textsnap");
  if (n == "IconPixmap") return Pixmaps();
  if (n == "ItemIsMenu") return g_variant_new_boolean(FALSE);
  // Without an exported menu, a path that names none tells the panel to ask
  // for ContextMenu instead.
  if (n == "Menu") return g_variant_new_object_path(g_item && g_item->menu ? kMenuPath : "/NO_DBUSMENU");
  if (n == "ToolTip") {
    GVariantBuilder none;
    g_variant_builder_init(&none, G_VARIANT_TYPE("a(iiay)"));
    return g_variant_new("(sa(iiay)ss)", "textsnap", &none, g_item ? g_item->tip.c_str() : "", "");
  }
  return nullptr;
}

void CallMethod(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method, GVariant*,
                GDBusMethodInvocation* invocation, gpointer) {
  std::string m = method;
  g_dbus_method_invocation_return_value(invocation, nullptr);
  if (!g_item || !g_item->clicked) return;
  if (m == "ContextMenu") g_item->clicked(true);
  if (m == "Activate") g_item->clicked(false);
}

const GDBusInterfaceVTable kVTable = {CallMethod, GetProperty, nullptr, {}};

void Emit(const char* signal, GVariant* args) {
  if (GDBusConnection* bus = SessionBus())
    g_dbus_connection_emit_signal(bus, nullptr, "/StatusNotifierItem", "org.kde.StatusNotifierItem", signal, args,
                                  nullptr);
}

}  // namespace

bool SniStart(std::function<void(bool right)> clicked, GdkPixbuf* icon) {
  GDBusConnection* bus = SessionBus();
  if (!bus || g_item) return false;
  // Only where a host watches for items.
  GVariant* owner =
      g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                  "NameHasOwner", g_variant_new("(s)", "org.kde.StatusNotifierWatcher"),
                                  G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
  gboolean watched = FALSE;
  if (owner) {
    g_variant_get(owner, "(b)", &watched);
    g_variant_unref(owner);
  }
  if (!watched) return false;

  auto* item = new Item;
  item->clicked = std::move(clicked);
  item->icon = icon;
  // A Wayland client with no window of its own can open no popup: there the
  // panel draws the menu. On X the menu is ours, at the pointer.
  if (!XDisplay())
    item->menu = MenuExportStart([clicked = item->clicked] {
      if (clicked) clicked(true);
    });
  GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  item->object = g_dbus_connection_register_object(bus, "/StatusNotifierItem", info->interfaces[0], &kVTable, nullptr,
                                                   nullptr, nullptr);
  g_dbus_node_info_unref(info);
  item->busName = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1";
  item->name = g_bus_own_name_on_connection(bus, item->busName.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr,
                                            nullptr, nullptr);
  g_item = item;
  GVariant* done = g_dbus_connection_call_sync(bus, "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                                               "org.kde.StatusNotifierWatcher", "RegisterStatusNotifierItem",
                                               g_variant_new("(s)", item->busName.c_str()), nullptr,
                                               G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
  if (!done) {
    SniStop();
    return false;
  }
  g_variant_unref(done);
  return true;
}

void SniUpdate(const std::string& tip, bool visible) {
  if (!g_item) return;
  bool statusChanged = visible != g_item->visible;
  g_item->tip = tip;
  g_item->visible = visible;
  Emit("NewToolTip", nullptr);
  if (statusChanged) Emit("NewStatus", g_variant_new("(s)", visible ? "Active" : "Passive"));
}

void SniStop() {
  if (!g_item) return;
  if (g_item->menu) MenuExportStop();
  GDBusConnection* bus = SessionBus();
  if (bus && g_item->object) g_dbus_connection_unregister_object(bus, g_item->object);
  if (g_item->name) g_bus_unown_name(g_item->name);
  delete g_item;
  g_item = nullptr;
}

}  // namespace platform::desktop
