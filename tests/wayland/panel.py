#!/usr/bin/env python3
"""A panel for tests that draws StatusNotifierItem menus itself, as KDE
Plasma's and GNOME's AppIndicator do: owns org.kde.StatusNotifierWatcher on
the session bus and reads the menu of the item that registers through its
Menu property (com.canonical.dbusmenu). The test works it through a method of
its own, on the name org.textsnap.test.Panel, object /org/textsnap/test:
  Menu() -> s        the item's menu as JSON: [[label, enabled, [submenu...]], ...]
                     ("-" for a separator), read with GetLayout as a panel does
  Click(s label) -> b  clicks the top-level item with that label (Event "clicked")
Prints "ready" once it owns the names, then "registered NAME" and
"menu PATH" for the item."""
import json
import sys

from gi.repository import Gio, GLib

WATCHER = """<node><interface name='org.kde.StatusNotifierWatcher'>
<method name='RegisterStatusNotifierItem'><arg type='s' direction='in'/></method>
<method name='RegisterStatusNotifierHost'><arg type='s' direction='in'/></method>
<property name='RegisteredStatusNotifierItems' type='as' access='read'/>
<property name='IsStatusNotifierHostRegistered' type='b' access='read'/>
<property name='ProtocolVersion' type='i' access='read'/>
</interface></node>"""
TEST = """<node><interface name='org.textsnap.test.Panel'>
<method name='Menu'><arg type='s' direction='out'/></method>
<method name='Click'><arg type='s' direction='in'/><arg type='b' direction='out'/></method>
</interface></node>"""
item = {}  # "name", "menu"


def say(text):
    print(text, flush=True)


def layout(conn):
    # A panel asks before it shows the menu, and then for the whole tree.
    conn.call_sync(item["name"], item["menu"], "com.canonical.dbusmenu", "AboutToShow", GLib.Variant("(i)", (0,)),
                   None, Gio.DBusCallFlags.NONE, 5000, None)
    _revision, tree = conn.call_sync(item["name"], item["menu"], "com.canonical.dbusmenu", "GetLayout",
                                     GLib.Variant("(iias)", (0, -1, [])), None, Gio.DBusCallFlags.NONE, 10000,
                                     None).unpack()
    return tree


def simple(node):
    _id, props, children = node
    label = "-" if props.get("type") == "separator" else props.get("label", "").replace("__", "_")
    return [label, props.get("enabled", True), [simple(c) for c in children]]


def watcher_call(conn, sender, path, iface, method, params, invocation):
    invocation.return_value(None)
    if method != "RegisterStatusNotifierItem":
        return
    (service,) = params.unpack()
    item["name"] = service if service.startswith(":") or "." in service else sender
    say("registered " + item["name"])

    # After the answer: the item waits for it before it serves anything.
    def read_menu():
        menu = conn.call_sync(item["name"], "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                              GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "Menu")), None,
                              Gio.DBusCallFlags.NONE, 5000, None).unpack()[0]
        item["menu"] = menu
        say("menu " + menu)
        return False
    GLib.idle_add(read_menu)


def watcher_property(conn, sender, path, iface, name):
    if name == "RegisteredStatusNotifierItems":
        return GLib.Variant("as", [item["name"]] if "name" in item else [])
    if name == "IsStatusNotifierHostRegistered":
        return GLib.Variant("b", True)
    return GLib.Variant("i", 0)


def test_call(conn, sender, path, iface, method, params, invocation):
    try:
        tree = layout(conn)
        if method == "Menu":
            invocation.return_value(GLib.Variant("(s)", (json.dumps([simple(c) for c in tree[2]],
                                                                     ensure_ascii=False),)))
            return
        (label,) = params.unpack()
        for child_id, props, _children in tree[2]:
            if props.get("label", "").replace("__", "_") == label:
                conn.call_sync(item["name"], item["menu"], "com.canonical.dbusmenu", "Event",
                               GLib.Variant("(isvu)", (child_id, "clicked", GLib.Variant("i", 0), 0)), None,
                               Gio.DBusCallFlags.NONE, 5000, None)
                invocation.return_value(GLib.Variant("(b)", (True,)))
                return
        invocation.return_value(GLib.Variant("(b)", (False,)))
    except GLib.Error as e:
        invocation.return_dbus_error("org.textsnap.test.Failed", e.message)


def on_bus(conn, name):
    conn.register_object("/StatusNotifierWatcher", Gio.DBusNodeInfo.new_for_xml(WATCHER).interfaces[0],
                         watcher_call, watcher_property, None)
    conn.register_object("/org/textsnap/test", Gio.DBusNodeInfo.new_for_xml(TEST).interfaces[0], test_call, None,
                         None)


owned = []


def on_name(conn, name):
    owned.append(name)
    if len(owned) == 2:
        say("ready")


Gio.bus_own_name(Gio.BusType.SESSION, "org.kde.StatusNotifierWatcher", Gio.BusNameOwnerFlags.NONE, on_bus, on_name,
                 lambda c, n: sys.exit(1))
Gio.bus_own_name(Gio.BusType.SESSION, "org.textsnap.test.Panel", Gio.BusNameOwnerFlags.NONE, None, on_name,
                 lambda c, n: sys.exit(1))
GLib.MainLoop().run()
