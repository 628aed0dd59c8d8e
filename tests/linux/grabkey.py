#!/usr/bin/env python3
"""Another X client that holds a key combination, as a program that took the
user's hotkey first would: grabs it on the root window of $DISPLAY, prints
"grabbed" and keeps it until it is killed.

usage: grabkey.py KEYSYM [ctrl] [shift] [alt]"""
import ctypes
import sys
import time

x = ctypes.CDLL("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XDefaultRootWindow.restype = ctypes.c_ulong
x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x.XStringToKeysym.restype = ctypes.c_ulong
x.XStringToKeysym.argtypes = [ctypes.c_char_p]
x.XKeysymToKeycode.restype = ctypes.c_ubyte
x.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
x.XGrabKey.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                       ctypes.c_int]
x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]

SHIFT, CONTROL, ALT = 1, 4, 8
GRAB_MODE_ASYNC = 1

dpy = x.XOpenDisplay(None)
if not dpy:
    sys.exit("no display")
code = x.XKeysymToKeycode(dpy, x.XStringToKeysym(sys.argv[1].encode()))
if not code:
    sys.exit("unknown key " + sys.argv[1])
mask = 0
for word in sys.argv[2:]:
    mask |= {"ctrl": CONTROL, "shift": SHIFT, "alt": ALT}[word]
x.XGrabKey(dpy, code, mask, x.XDefaultRootWindow(dpy), 0, GRAB_MODE_ASYNC, GRAB_MODE_ASYNC)
x.XSync(dpy, 0)
print("grabbed", flush=True)
while True:
    time.sleep(60)
