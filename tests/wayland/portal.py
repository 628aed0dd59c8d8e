#!/usr/bin/env python3
"""A stand-in for the desktop's portal (org.freedesktop.portal.Desktop) on the
test's private session bus, with the GlobalShortcuts interface as
xdg-desktop-portal offers it: CreateSession and BindShortcuts answer with a
request object and then its Response signal; the session can be closed.
Every call is appended, as one JSON line, to the file named first.

  portal.py LOG                  binds, and describes the trigger as asked
  portal.py LOG --assign TEXT    binds, but the desktop describes TEXT instead
  portal.py LOG --missing        a portal without the GlobalShortcuts interface

The test makes the desktop press the shortcut through a method of its own:
org.textsnap.test.Portal.Activate(s shortcut_id) emits Activated, then
Deactivated, for the newest session that bound that shortcut.
Prints "ready" once it owns the name."""
import json
import sys
import time

from gi.repository import Gio, GLib

PATH = "/org/freedesktop/portal/desktop"
SHORTCUTS = """<node><interface name='org.freedesktop.portal.GlobalShortcuts'>
<method name='CreateSession'><arg type='a{sv}' direction='in'/><arg type='o' direction='out'/></method>
<method name='BindShortcuts'><arg type='o' direction='in'/><arg type='a(sa{sv})' direction='in'/>
<arg type='s' direction='in'/><arg type='a{sv}' direction='in'/><arg type='o' direction='out'/></method>
<method name='ListShortcuts'><arg type='o' direction='in'/><arg type='a{sv}' direction='in'/>
<arg type='o' direction='out'/></method>
<signal name='Activated'><arg type='o'/><arg type='s'/><arg type='t'/><arg type='a{sv}'/></signal>
<signal name='Deactivated'><arg type='o'/><arg type='s'/><arg type='t'/><arg type='a{sv}'/></signal>
<signal name='ShortcutsChanged'><arg type='o'/><arg type='a(sa{sv})'/></signal>
<property name='version' type='u' access='read'/>
</interface></node>"""
# What every portal has, with or without GlobalShortcuts.
SETTINGS = """<node><interface name='org.freedesktop.portal.Settings'>
<method name='Read'><arg type='s' direction='in'/><arg type='s' direction='in'/><arg type='v' direction='out'/></method>
<property name='version' type='u' access='read'/>
</interface></node>"""
SESSION = """<node><interface name='org.freedesktop.portal.Session'>
<method name='Close'/><signal name='Closed'><arg type='a{sv}'/></signal>
<property name='version' type='u' access='read'/>
</interface></node>"""
TEST = """<node><interface name='org.textsnap.test.Portal'>
<method name='Activate'><arg type='s' direction='in'/><arg type='b' direction='out'/></method>
</interface></node>"""

log = open(sys.argv[1], "a", encoding="utf-8")
missing = "--missing" in sys.argv
assign = sys.argv[sys.argv.index("--assign") + 1] if "--assign" in sys.argv else None
sessions = {}  # session path -> {"sender", "shortcuts": [ids], "registration"}
order = []  # session paths, oldest first


def record(entry):
    log.write(json.dumps(entry, ensure_ascii=False) + "\n")
    log.flush()


def node(xml):
    return Gio.DBusNodeInfo.new_for_xml(xml).interfaces[0]


def sender_part(sender):
    return sender[1:].replace(".", "_")


def respond(conn, request, code, results):
    # After the method's answer, as a real portal does.
    def emit():
        conn.emit_signal(None, request, "org.freedesktop.portal.Request", "Response",
                         GLib.Variant("(ua{sv})", (code, results)))
        return False
    GLib.timeout_add(50, emit)


def described(trigger):
    """The trigger as a desktop shows it: CTRL+SHIFT+F9 -> Ctrl+Shift+F9."""
    names = {"CTRL": "Ctrl", "ALT": "Alt", "SHIFT": "Shift", "LOGO": "Meta"}
    parts = trigger.split("+")
    key = parts[-1]
    return "+".join([names.get(p, p) for p in parts[:-1]] + [key.upper() if len(key) == 1 else key])


def session_call(conn, sender, path, iface, method, params, invocation):
    if method == "Close":
        record({"call": "Close", "session": path})
        if path in sessions:
            conn.unregister_object(sessions.pop(path)["registration"])
        invocation.return_value(None)


def shortcuts_call(conn, sender, path, iface, method, params, invocation):
    if method == "CreateSession":
        (options,) = params.unpack()
        request = f"{PATH}/request/{sender_part(sender)}/{options.get('handle_token', 'anon')}"
        session = f"{PATH}/session/{sender_part(sender)}/{options.get('session_handle_token', 'anon')}"
        record({"call": "CreateSession", "options": options})
        registration = conn.register_object(session, node(SESSION), session_call, None, None)
        sessions[session] = {"sender": sender, "shortcuts": [], "registration": registration}
        order.append(session)
        invocation.return_value(GLib.Variant("(o)", (request,)))
        # The portal hands the session over as a string.
        respond(conn, request, 0, {"session_handle": GLib.Variant("s", session)})
    elif method == "BindShortcuts":
        session, shortcuts, parent, options = params.unpack()
        request = f"{PATH}/request/{sender_part(sender)}/{options.get('handle_token', 'anon')}"
        record({"call": "BindShortcuts", "session": session, "shortcuts": shortcuts, "parent": parent})
        invocation.return_value(GLib.Variant("(o)", (request,)))
        if session not in sessions:
            respond(conn, request, 2, {})
            return
        answer = []
        for shortcut_id, props in shortcuts:
            sessions[session]["shortcuts"].append(shortcut_id)
            trigger = assign if assign is not None else described(props.get("preferred_trigger", ""))
            answer.append((shortcut_id, {"description": GLib.Variant("s", props.get("description", "")),
                                         "trigger_description": GLib.Variant("s", trigger)}))
        respond(conn, request, 0, {"shortcuts": GLib.Variant("a(sa{sv})", answer)})
    else:
        invocation.return_dbus_error("org.freedesktop.portal.Error.NotAllowed", "not in this stand-in")


def shortcuts_property(conn, sender, path, iface, name):
    return GLib.Variant("u", 1)


def test_call(conn, sender, path, iface, method, params, invocation):
    (shortcut_id,) = params.unpack()
    for session in reversed(order):
        if session in sessions and shortcut_id in sessions[session]["shortcuts"]:
            stamp = int(time.time() * 1000000)
            for signal in ("Activated", "Deactivated"):
                conn.emit_signal(None, PATH, "org.freedesktop.portal.GlobalShortcuts", signal,
                                 GLib.Variant("(osta{sv})", (session, shortcut_id, stamp, {})))
            record({"call": "Activate", "session": session, "shortcut": shortcut_id})
            invocation.return_value(GLib.Variant("(b)", (True,)))
            return
    invocation.return_value(GLib.Variant("(b)", (False,)))


def on_bus(conn, name):
    conn.register_object(PATH, node(SETTINGS), lambda *a: a[-1].return_value(GLib.Variant("(v)", (GLib.Variant("s", ""),))),
                         lambda *a: GLib.Variant("u", 1), None)
    if not missing:
        conn.register_object(PATH, node(SHORTCUTS), shortcuts_call, shortcuts_property, None)
    conn.register_object("/org/textsnap/test", node(TEST), test_call, None, None)


Gio.bus_own_name(Gio.BusType.SESSION, "org.freedesktop.portal.Desktop", Gio.BusNameOwnerFlags.NONE, on_bus,
                 lambda c, n: print("ready", flush=True), lambda c, n: sys.exit(1))
GLib.MainLoop().run()
