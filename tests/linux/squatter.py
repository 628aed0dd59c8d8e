#!/usr/bin/env python3
"""A program of another user that poses as the running text snap: it listens
where a later start would look for the client and answers every request
"kept", writing down what it was handed. Prints "ready" once it listens and
serves until it is killed.

usage: squatter.py RECORD [--abstract NAME] [--path SOCKET] [--as UID]
  --abstract NAME  listen on the abstract socket NAME
  --path SOCKET    listen on the socket file SOCKET (made before --as applies)
  --as UID         (as root) listen as user UID: the listening socket then
                   reports UID to whoever connects"""
import os
import select
import socket
import sys

args = sys.argv[1:]
record = args.pop(0)
abstract = path = None
uid = None
while args:
    flag, value = args.pop(0), args.pop(0)
    if flag == "--abstract":
        abstract = value
    elif flag == "--path":
        path = value
    elif flag == "--as":
        uid = int(value)
    else:
        sys.exit(__doc__)

listeners = []
for address in (["\0" + abstract] if abstract else []) + ([path] if path else []):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.bind(address)
    listeners.append(s)
if uid is not None:
    os.setegid(uid)
    os.seteuid(uid)
for s in listeners:
    s.listen(16)
print("ready", flush=True)


def serve(conn):
    conn.settimeout(10)
    data = b""
    while b"\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return
        data += chunk
    line, body = data.split(b"\n", 1)
    words = line.split(b" ")
    if len(words) > 1 and words[-1].isdigit():
        while len(body) < int(words[-1]):
            chunk = conn.recv(65536)
            if not chunk:
                break
            body += chunk
    with open(record, "ab") as out:
        out.write(line + b"\n" + body + b"\n")
    conn.sendall(b"kept\n")


while True:
    ready, _, _ = select.select(listeners, [], [])
    for s in ready:
        conn, _ = s.accept()
        try:
            serve(conn)
        except OSError:
            pass
        finally:
            conn.close()
