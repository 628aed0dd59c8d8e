#!/usr/bin/env python3
"""A recording TCP relay: relay.py TARGET_PORT CAPTURE_FILE

Listens on a free loopback port (printed on the first line), forwards every
connection to 127.0.0.1:TARGET_PORT and appends every byte that passes, both
ways, to CAPTURE_FILE: what anyone on the network path would see."""
import socket
import sys
import threading

target = int(sys.argv[1])
capture = open(sys.argv[2], "ab", buffering=0)
lock = threading.Lock()


def pipe(source, sink):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            with lock:
                capture.write(data)
            sink.sendall(data)
    except OSError:
        pass
    try:
        sink.shutdown(socket.SHUT_WR)
    except OSError:
        pass


listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", 0))
listener.listen(16)
print(listener.getsockname()[1], flush=True)
while True:
    client, _ = listener.accept()
    server = socket.create_connection(("127.0.0.1", target))
    threading.Thread(target=pipe, args=(client, server), daemon=True).start()
    threading.Thread(target=pipe, args=(server, client), daemon=True).start()
