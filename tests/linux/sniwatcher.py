#!/usr/bin/env python3
"""A StatusNotifierItem host for tests: owns org.kde.StatusNotifierWatcher on
the session bus, prints "ready", and for the first item that registers prints
"registered NAME", reads its tool tip ("tooltip TEXT") and its picture
("pixmap WxH"), then asks it for its context menu ("menu asked").
With --times it only prints "registered NAME AT" for every item that
registers, AT the time of the call in seconds since the epoch, and asks
nothing of the items (the benchmarks' host)."""
import sys
import time

from gi.repository import Gio, GLib

XML = """<node><interface name='org.kde.StatusNotifierWatcher'>
<method name='RegisterStatusNotifierItem'><arg type='s' direction='in'/></method>
<method name='RegisterStatusNotifierHost'><arg type='s' direction='in'/></method>
<property name='RegisteredStatusNotifierItems' type='as' access='read'/>
<property name='IsStatusNotifierHostRegistered' type='b' access='read'/>
<property name='ProtocolVersion' type='i' access='read'/>
</interface></node>"""
node = Gio.DBusNodeInfo.new_for_xml(XML)
items = []
times_only = "--times" in sys.argv[1:]


def say(text):
    print(text, flush=True)


def probe(conn, name):
    def get(prop):
        return conn.call_sync(name, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                              GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", prop)), None,
                              Gio.DBusCallFlags.NONE, 5000, None).unpack()[0]
    tip = get("ToolTip")
    say("tooltip " + tip[2])
    pixmaps = get("IconPixmap")
    if pixmaps:
        w, h, data = pixmaps[0]
        say("pixmap %dx%d %d" % (w, h, len(data)))
    conn.call_sync(name, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "ContextMenu",
                   GLib.Variant("(ii)", (10, 10)), None, Gio.DBusCallFlags.NONE, 5000, None)
    say("menu asked")
    return False


def call(conn, sender, path, iface, method, params, invocation):
    if method == "RegisterStatusNotifierItem":
        arrived = time.time()
        name = params.unpack()[0]
        if not name.startswith(":") and not name.startswith("org."):
            name = sender
        items.append(name)
        if times_only:
            say("registered %s %.6f" % (name, arrived))
        else:
            say("registered " + name)
            GLib.timeout_add(500, probe, conn, name)
    invocation.return_value(None)


def prop(conn, sender, path, iface, name):
    if name == "RegisteredStatusNotifierItems":
        return GLib.Variant("as", items)
    if name == "IsStatusNotifierHostRegistered":
        return GLib.Variant("b", True)
    return GLib.Variant("i", 0)


def on_bus(conn, name):
    conn.register_object("/StatusNotifierWatcher", node.interfaces[0], call, prop, None)


Gio.bus_own_name(Gio.BusType.SESSION, "org.kde.StatusNotifierWatcher", Gio.BusNameOwnerFlags.NONE, on_bus,
                 lambda c, n: say("ready"), lambda c, n: sys.exit(1))
GLib.MainLoop().run()
