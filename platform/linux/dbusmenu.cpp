// The tray menu as com.canonical.dbusmenu (version 3). The program builds its
// menu only when it is opened (the waiting notes and the recent ones
// change), so every request for the whole layout opens it anew without
// showing it: the answer waits until TrackPopup hands the entries over. An
// item the panel reports clicked opens the menu once more, and TrackPopup
// returns the entry at the same place with the same caption.
#include "platform/linux/dbusmenu.h"

#include <gio/gio.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/linux/desktop.h"

namespace platform::desktop {

namespace {

const char kIntrospection[] =
    "<node><interface name='com.canonical.dbusmenu'>"
    "<method name='GetLayout'><arg type='i' direction='in'/><arg type='i' direction='in'/>"
    "<arg type='as' direction='in'/><arg type='u' direction='out'/><arg type='(ia{sv}av)' direction='out'/></method>"
    "<method name='GetGroupProperties'><arg type='ai' direction='in'/><arg type='as' direction='in'/>"
    "<arg type='a(ia{sv})' direction='out'/></method>"
    "<method name='GetProperty'><arg type='i' direction='in'/><arg type='s' direction='in'/>"
    "<arg type='v' direction='out'/></method>"
    "<method name='Event'><arg type='i' direction='in'/><arg type='s' direction='in'/><arg type='v' direction='in'/>"
    "<arg type='u' direction='in'/></method>"
    "<method name='EventGroup'><arg type='a(isvu)' direction='in'/><arg type='ai' direction='out'/></method>"
    "<method name='AboutToShow'><arg type='i' direction='in'/><arg type='b' direction='out'/></method>"
    "<method name='AboutToShowGroup'><arg type='ai' direction='in'/><arg type='ai' direction='out'/>"
    "<arg type='ai' direction='out'/></method>"
    "<signal name='ItemsPropertiesUpdated'><arg type='a(ia{sv})'/><arg type='a(ias)'/></signal>"
    "<signal name='LayoutUpdated'><arg type='u'/><arg type='i'/></signal>"
    "<signal name='ItemActivationRequested'><arg type='i'/><arg type='u'/></signal>"
    "<property name='Version' type='u' access='read'/>"
    "<property name='TextDirection' type='s' access='read'/>"
    "<property name='Status' type='s' access='read'/>"
    "<property name='IconThemePath' type='as' access='read'/>"
    "</interface></node>";

// How long a request for the layout waits for the program's menu (it does
// not answer during a snap); then the last menu serves.
constexpr guint kMenuWaitMs = 2000;

struct Export {
  guint object = 0;
  std::function<void()> open;
  std::vector<MenuEntry> entries;          // the menu as last handed over
  std::vector<std::vector<int>> paths;     // item id -> place in entries; id 0 is the root
  std::vector<std::vector<int>> children;  // item id -> ids of its entries
  uint32_t revision = 1;
  std::vector<GDBusMethodInvocation*> waiting;  // layout requests until the menu comes
  bool opening = false;
  guint timer = 0;
  bool clicked = false;  // an item to carry out:
  std::vector<int> clickedPath;
  std::string clickedCaption;
};
Export* g_export = nullptr;

const MenuEntry* At(const std::vector<int>& path) {
  const std::vector<MenuEntry>* list = &g_export->entries;
  const MenuEntry* e = nullptr;
  for (int i : path) {
    if (i < 0 || static_cast<size_t>(i) >= list->size()) return nullptr;
    e = &(*list)[static_cast<size_t>(i)];
    list = &e->submenu;
  }
  return e;
}

void Number(const std::vector<MenuEntry>& list, const std::vector<int>& path, size_t parent) {
  for (size_t i = 0; i < list.size(); ++i) {
    std::vector<int> place = path;
    place.push_back(static_cast<int>(i));
    const size_t id = g_export->paths.size();
    g_export->paths.push_back(place);
    g_export->children.emplace_back();
    g_export->children[parent].push_back(static_cast<int>(id));
    Number(list[i].submenu, place, id);
  }
}

bool Same(const std::vector<MenuEntry>& a, const std::vector<MenuEntry>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].caption != b[i].caption || a[i].enabled != b[i].enabled || a[i].checked != b[i].checked ||
        !Same(a[i].submenu, b[i].submenu))
      return false;
  return true;
}

bool Known(int id) { return id >= 0 && static_cast<size_t>(id) < g_export->paths.size(); }

// An item's properties; the panel takes the defaults for those left out.
GVariant* Properties(int id) {
  GVariantBuilder p;
  g_variant_builder_init(&p, G_VARIANT_TYPE("a{sv}"));
  const MenuEntry* e = id == 0 ? nullptr : At(g_export->paths[static_cast<size_t>(id)]);
  if (!e) {
    g_variant_builder_add(&p, "{sv}", "children-display", g_variant_new_string("submenu"));
  } else if (e->caption == "-") {
    g_variant_builder_add(&p, "{sv}", "type", g_variant_new_string("separator"));
  } else {
    // An underscore marks the access key there: ours are shown as written.
    std::string label;
    for (char c : e->caption) label += c == '_' ? std::string("__") : std::string(1, c);
    g_variant_builder_add(&p, "{sv}", "label", g_variant_new_string(label.c_str()));
    if (!e->enabled) g_variant_builder_add(&p, "{sv}", "enabled", g_variant_new_boolean(FALSE));
    if (e->checked) {
      g_variant_builder_add(&p, "{sv}", "toggle-type", g_variant_new_string("checkmark"));
      g_variant_builder_add(&p, "{sv}", "toggle-state", g_variant_new_int32(1));
    }
    if (!e->submenu.empty()) g_variant_builder_add(&p, "{sv}", "children-display", g_variant_new_string("submenu"));
  }
  return g_variant_builder_end(&p);
}

GVariant* Layout(int id, int depth) {
  GVariantBuilder kids;
  g_variant_builder_init(&kids, G_VARIANT_TYPE("av"));
  if (depth != 0)
    for (int child : g_export->children[static_cast<size_t>(id)])
      g_variant_builder_add(&kids, "v", Layout(child, depth < 0 ? depth : depth - 1));
  return g_variant_new("(i@a{sv}av)", id, Properties(id), &kids);
}

void AnswerWaiting() {
  for (GDBusMethodInvocation* invocation : g_export->waiting) {
    GVariant* tree = Layout(0, -1);
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(u@(ia{sv}av))", g_export->revision, tree));
  }
  g_export->waiting.clear();
}

void Emit(const char* signal, GVariant* args) {
  if (GDBusConnection* bus = SessionBus())
    g_dbus_connection_emit_signal(bus, nullptr, kMenuPath, "com.canonical.dbusmenu", signal, args, nullptr);
}

gboolean OnLate(gpointer) {
  // The program did not hand its menu over: the last one serves.
  g_export->timer = 0;
  g_export->opening = false;
  g_export->clicked = false;
  AnswerWaiting();
  return G_SOURCE_REMOVE;
}

void Open() {
  if (g_export->opening) return;
  g_export->opening = true;
  g_export->timer = g_timeout_add(kMenuWaitMs, OnLate, nullptr);
  g_export->open();
}

void CallMethod(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method, GVariant* parameters,
                GDBusMethodInvocation* invocation, gpointer) {
  const std::string m = method;
  if (m == "GetLayout") {
    gint32 parent = 0, depth = -1;
    g_variant_get(parameters, "(ii@as)", &parent, &depth, nullptr);
    if (parent == 0 && depth != 0) {
      g_export->waiting.push_back(invocation);
      Open();
      return;
    }
    if (!Known(parent)) {
      g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.InvalidArgs", "no such item");
      return;
    }
    g_dbus_method_invocation_return_value(invocation,
                                          g_variant_new("(u@(ia{sv}av))", g_export->revision, Layout(parent, depth)));
  } else if (m == "GetGroupProperties") {
    GVariantIter* ids = nullptr;
    g_variant_get(parameters, "(ai@as)", &ids, nullptr);
    GVariantBuilder out;
    g_variant_builder_init(&out, G_VARIANT_TYPE("a(ia{sv})"));
    gint32 id = 0;
    bool any = false;
    while (g_variant_iter_next(ids, "i", &id)) {
      any = true;
      if (Known(id)) g_variant_builder_add(&out, "(i@a{sv})", id, Properties(id));
    }
    g_variant_iter_free(ids);
    if (!any)
      for (size_t all = 0; all < g_export->paths.size(); ++all)
        g_variant_builder_add(&out, "(i@a{sv})", static_cast<gint32>(all), Properties(static_cast<int>(all)));
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(a(ia{sv}))", &out));
  } else if (m == "GetProperty") {
    gint32 id = 0;
    const char* name = nullptr;
    g_variant_get(parameters, "(i&s)", &id, &name);
    GVariant* value = nullptr;
    if (Known(id)) {
      GVariant* all = Properties(id);
      value = g_variant_lookup_value(all, name, nullptr);
      g_variant_unref(g_variant_ref_sink(all));
    }
    if (value)
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", value));
    else
      g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.InvalidArgs",
                                                 "no such property");
  } else if (m == "Event" || m == "EventGroup") {
    GVariantBuilder errors;
    g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
    auto event = [&](gint32 id, const char* kind) {
      if (!Known(id) || id == 0) {
        g_variant_builder_add(&errors, "i", id);
        return;
      }
      const MenuEntry* e = At(g_export->paths[static_cast<size_t>(id)]);
      if (std::string(kind) != "clicked" || !e || !e->submenu.empty()) return;
      g_export->clicked = true;
      g_export->clickedPath = g_export->paths[static_cast<size_t>(id)];
      g_export->clickedCaption = e->caption;
      Open();
    };
    if (m == "Event") {
      gint32 id = 0;
      const char* kind = nullptr;
      g_variant_get(parameters, "(i&s@vu)", &id, &kind, nullptr, nullptr);
      event(id, kind);
      g_variant_builder_clear(&errors);
      g_dbus_method_invocation_return_value(invocation, nullptr);
    } else {
      GVariantIter* events = nullptr;
      g_variant_get(parameters, "(a(isvu))", &events);
      gint32 id = 0;
      const char* kind = nullptr;
      GVariant* data = nullptr;
      guint32 stamp = 0;
      while (g_variant_iter_next(events, "(i&svu)", &id, &kind, &data, &stamp)) {
        event(id, kind);
        g_variant_unref(data);
      }
      g_variant_iter_free(events);
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(ai)", &errors));
    }
  } else if (m == "AboutToShow") {
    // The layout is made afresh whenever the panel asks for it.
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", FALSE));
  } else if (m == "AboutToShowGroup") {
    GVariantBuilder none, errors;
    g_variant_builder_init(&none, G_VARIANT_TYPE("ai"));
    g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(aiai)", &none, &errors));
  } else {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.UnknownMethod", method);
  }
}

GVariant* GetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name, GError**,
                      gpointer) {
  const std::string n = name;
  if (n == "Version") return g_variant_new_uint32(3);
  if (n == "TextDirection") return g_variant_new_string("ltr");
  if (n == "Status") return g_variant_new_string("normal");
  if (n == "IconThemePath") return g_variant_new_strv(nullptr, 0);
  return nullptr;
}

const GDBusInterfaceVTable kVTable = {CallMethod, GetProperty, nullptr, {}};

}  // namespace

bool MenuExportStart(std::function<void()> open) {
  GDBusConnection* bus = SessionBus();
  if (!bus || g_export) return false;
  GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  guint object =
      g_dbus_connection_register_object(bus, kMenuPath, info->interfaces[0], &kVTable, nullptr, nullptr, nullptr);
  g_dbus_node_info_unref(info);
  if (!object) return false;
  g_export = new Export;
  g_export->object = object;
  g_export->open = std::move(open);
  g_export->paths.emplace_back();
  g_export->children.emplace_back();
  return true;
}

void MenuExportStop() {
  if (!g_export) return;
  if (g_export->timer) g_source_remove(g_export->timer);
  for (GDBusMethodInvocation* invocation : g_export->waiting)
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed", "the menu is gone");
  if (GDBusConnection* bus = SessionBus()) g_dbus_connection_unregister_object(bus, g_export->object);
  delete g_export;
  g_export = nullptr;
}

std::optional<int> MenuExportTake(const std::vector<MenuEntry>& entries) {
  if (!g_export || !g_export->opening) return std::nullopt;
  g_export->opening = false;
  if (g_export->timer) g_source_remove(g_export->timer);
  g_export->timer = 0;
  const bool changed = !Same(entries, g_export->entries);
  g_export->entries = entries;
  g_export->paths.assign(1, {});
  g_export->children.assign(1, {});
  Number(g_export->entries, {}, 0);
  int chosen = 0;
  if (g_export->clicked) {
    g_export->clicked = false;
    const MenuEntry* e = At(g_export->clickedPath);
    if (e && e->caption == g_export->clickedCaption && e->enabled && e->submenu.empty()) chosen = e->command;
  }
  if (changed) ++g_export->revision;
  if (changed && g_export->waiting.empty()) Emit("LayoutUpdated", g_variant_new("(ui)", g_export->revision, 0));
  AnswerWaiting();
  return chosen;
}

}  // namespace platform::desktop
