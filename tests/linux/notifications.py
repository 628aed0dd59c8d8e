#!/usr/bin/env python3
"""A desktop notification service for tests: owns org.freedesktop.Notifications
on the session bus and appends every notification, as one JSON line, to the
file named on the command line, with the time it arrived ("time", seconds
since the epoch). Claims "body-markup" like the common servers. Prints "ready"
once it owns the name."""
import json
import sys
import time

from gi.repository import Gio, GLib

XML = """<node><interface name='org.freedesktop.Notifications'>
<method name='Notify'><arg type='s' direction='in'/><arg type='u' direction='in'/><arg type='s' direction='in'/>
<arg type='s' direction='in'/><arg type='s' direction='in'/><arg type='as' direction='in'/>
<arg type='a{sv}' direction='in'/><arg type='i' direction='in'/><arg type='u' direction='out'/></method>
<method name='GetCapabilities'><arg type='as' direction='out'/></method>
<method name='CloseNotification'><arg type='u' direction='in'/></method>
<method name='GetServerInformation'><arg type='s' direction='out'/><arg type='s' direction='out'/>
<arg type='s' direction='out'/><arg type='s' direction='out'/></method>
</interface></node>"""

out = open(sys.argv[1], "a", encoding="utf-8")
node = Gio.DBusNodeInfo.new_for_xml(XML)
count = 0


def call(conn, sender, path, iface, method, params, invocation):
    global count
    if method == "Notify":
        arrived = time.time()
        app, replaces, icon, summary, body, _actions, _hints, timeout = params.unpack()
        count += 1
        out.write(json.dumps({"app": app, "replaces": replaces, "icon": icon, "summary": summary, "body": body,
                              "timeout": timeout, "time": arrived}, ensure_ascii=False) + "\n")
        out.flush()
        invocation.return_value(GLib.Variant("(u)", (count,)))
    elif method == "GetCapabilities":
        invocation.return_value(GLib.Variant("(as)", (["body", "body-markup"],)))
    elif method == "GetServerInformation":
        invocation.return_value(GLib.Variant("(ssss)", ("recorder", "text snap tests", "1", "1.2")))
    else:
        invocation.return_value(None)


def on_bus(conn, name):
    conn.register_object("/org/freedesktop/Notifications", node.interfaces[0], call, None, None)


Gio.bus_own_name(Gio.BusType.SESSION, "org.freedesktop.Notifications", Gio.BusNameOwnerFlags.NONE, on_bus,
                 lambda c, n: print("ready", flush=True), lambda c, n: sys.exit(1))
GLib.MainLoop().run()
