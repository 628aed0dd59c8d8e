#!/usr/bin/env python3
"""A program the user copies from, on X11: owns the CLIPBOARD with a text and
what browsers and password managers write beside it, in a window of its own
whose title may be any Unicode; and, standing in for the window manager the
test display lacks, names that window the active one (_NET_ACTIVE_WINDOW).

usage: clipowner.py TITLE TEXTFILE [--url URL] [--chromium] [--hint secret]

--url offers the address as text/x-moz-url-priv (UTF-16, as Firefox does) or,
with --chromium, as chromium/x-source-url (UTF-8). --hint offers
x-kde-passwordManagerHint. Prints "owned" once it owns the selection and
serves requests until another program takes the selection or it is killed."""
import ctypes
import os
import sys

x = ctypes.CDLL("libX11.so.6")
VP, UL, INT = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int
x.XOpenDisplay.restype = VP
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XDefaultRootWindow.restype = UL
x.XDefaultRootWindow.argtypes = [VP]
x.XCreateSimpleWindow.restype = UL
x.XCreateSimpleWindow.argtypes = [VP, UL, INT, INT, ctypes.c_uint, ctypes.c_uint, ctypes.c_uint, UL, UL]
x.XInternAtom.restype = UL
x.XInternAtom.argtypes = [VP, ctypes.c_char_p, INT]
x.XChangeProperty.argtypes = [VP, UL, UL, UL, INT, INT, ctypes.c_char_p, INT]
x.XMapWindow.argtypes = [VP, UL]
x.XSetSelectionOwner.argtypes = [VP, UL, UL, UL]
x.XGetSelectionOwner.restype = UL
x.XGetSelectionOwner.argtypes = [VP, UL]
x.XNextEvent.argtypes = [VP, VP]
x.XSendEvent.argtypes = [VP, UL, INT, ctypes.c_long, VP]
x.XFlush.argtypes = [VP]
x.XSync.argtypes = [VP, INT]

SELECTION_CLEAR, SELECTION_REQUEST, SELECTION_NOTIFY = 29, 30, 31
PROP_MODE_REPLACE = 0


class SelectionRequest(ctypes.Structure):
    _fields_ = [("type", INT), ("serial", UL), ("send_event", INT), ("display", VP), ("owner", UL),
                ("requestor", UL), ("selection", UL), ("target", UL), ("property", UL), ("time", UL)]


class SelectionNotify(ctypes.Structure):
    _fields_ = [("type", INT), ("serial", UL), ("send_event", INT), ("display", VP), ("requestor", UL),
                ("selection", UL), ("target", UL), ("property", UL), ("time", UL)]


class Event(ctypes.Union):
    _fields_ = [("type", INT), ("request", SelectionRequest), ("pad", ctypes.c_long * 24)]


args = sys.argv[1:]
if len(args) < 2:
    sys.exit(__doc__)
title, text = args[0], open(args[1], "rb").read()
url = args[args.index("--url") + 1] if "--url" in args else None
hint = args[args.index("--hint") + 1].encode() if "--hint" in args else None

dpy = x.XOpenDisplay(None)
if not dpy:
    sys.exit("no display")
atom = lambda name: x.XInternAtom(dpy, name.encode(), 0)  # noqa: E731
root = x.XDefaultRootWindow(dpy)
window = x.XCreateSimpleWindow(dpy, root, 300, 260, 420, 240, 0, 0, 0xFFFFFF)
utf8 = atom("UTF8_STRING")
name = title.encode("utf-8")
x.XChangeProperty(dpy, window, atom("_NET_WM_NAME"), utf8, 8, PROP_MODE_REPLACE, name, len(name))
x.XChangeProperty(dpy, window, atom("WM_NAME"), utf8, 8, PROP_MODE_REPLACE, name, len(name))
pid = ctypes.c_long(os.getpid())
x.XChangeProperty(dpy, window, atom("_NET_WM_PID"), atom("CARDINAL"), 32, PROP_MODE_REPLACE,
                  ctypes.cast(ctypes.byref(pid), ctypes.c_char_p), 1)
x.XMapWindow(dpy, window)
active = ctypes.c_long(window)
x.XChangeProperty(dpy, root, atom("_NET_ACTIVE_WINDOW"), atom("WINDOW"), 32, PROP_MODE_REPLACE,
                  ctypes.cast(ctypes.byref(active), ctypes.c_char_p), 1)

offers = {atom("UTF8_STRING"): text, atom("text/plain;charset=utf-8"): text}
if url is not None:
    if "--chromium" in args:
        offers[atom("chromium/x-source-url")] = url.encode("utf-8")
    else:
        offers[atom("text/x-moz-url-priv")] = url.encode("utf-16-le")
if hint is not None:
    offers[atom("x-kde-passwordManagerHint")] = hint
targets_atom, atom_type = atom("TARGETS"), atom("ATOM")

clipboard = atom("CLIPBOARD")
x.XSetSelectionOwner(dpy, clipboard, window, 0)
x.XSync(dpy, 0)
if x.XGetSelectionOwner(dpy, clipboard) != window:
    sys.exit("the clipboard could not be owned")
print("owned", flush=True)

event = Event()
while True:
    x.XNextEvent(dpy, ctypes.byref(event))
    if event.type == SELECTION_CLEAR:
        break
    if event.type != SELECTION_REQUEST:
        continue
    req = event.request
    prop = req.property or req.target
    if req.target == targets_atom:
        atoms = [targets_atom] + list(offers)
        data = (ctypes.c_long * len(atoms))(*atoms)
        x.XChangeProperty(dpy, req.requestor, prop, atom_type, 32, PROP_MODE_REPLACE,
                          ctypes.cast(data, ctypes.c_char_p), len(atoms))
    elif req.target in offers:
        value = offers[req.target]
        x.XChangeProperty(dpy, req.requestor, prop, req.target, 8, PROP_MODE_REPLACE, value, len(value))
    else:
        prop = 0  # refused
    reply = SelectionNotify(SELECTION_NOTIFY, 0, 1, dpy, req.requestor, req.selection, req.target, prop, req.time)
    x.XSendEvent(dpy, req.requestor, 0, 0, ctypes.byref(reply))
    x.XFlush(dpy)
