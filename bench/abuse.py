#!/usr/bin/env python3
"""Load and abuse run against a real pinleaf-server on loopback.

N ordinary clients each sign in and send snaps (probe + upload, the way text
snap does) while M sockets trickle request heads a byte at a time (and get
re-opened when the server drops them) and K clients keep sending oversized
bodies (Content-Length and chunked). Reports the ordinary snaps' p50/p99 and
errors, the server's peak memory (VmHWM), and checks that every acknowledged
note is stored exactly once. Bounded in count and time; loopback only.

  bench/abuse.py build/native/service/pinleaf-server [--clients 8] [--snaps 40]
                 [--trickle 300] [--oversize 4] [--seconds 120] [--timing 16]

After the run, failed sign-ins with real names and with unknown names are
timed one at a time: their answers must be identical, their times alike.
"""
import argparse
import os
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time


def percent_all(data: bytes) -> str:
    return "".join("%%%02X" % b for b in data)


def client_encode(value: str) -> str:
    out = []
    for b in value.encode("utf-8"):
        if b < 33 or b > 128 or chr(b) in "#%*<>[]&+=":
            out.append("%%%02X" % b)
        else:
            out.append(chr(b))
    return "".join(out)


def exchange(port, request: bytes, source="127.0.0.1", timeout=30.0) -> bytes:
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout, source_address=(source, 0))
    try:
        s.sendall(request)
        data = b""
        while True:
            head = data.find(b"\r\n\r\n")
            if head >= 0:
                lower = data[:head].lower()
                at = lower.find(b"content-length: ")
                if at >= 0:
                    length = int(lower[at + 16:lower.find(b"\r\n", at)])
                    if len(data) >= head + 4 + length:
                        return data
            chunk = s.recv(65536)
            if not chunk:
                return data
            data += chunk
    finally:
        s.close()


def post(path, body: str, cookie=""):
    extra = f"Cookie: {cookie}\r\n" if cookie else ""
    return (f"POST {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
            f"{extra}Content-Length: {len(body)}\r\nConnection: close\r\n\r\n{body}").encode("latin-1")


def ordinary(port, name, password, snaps, results, acknowledged, lock, stop_at):
    body = f"data[User][username]={client_encode(name)}&data[User][password]={client_encode(password)}"
    cookie = ""
    for attempt in range(10):
        try:
            answer = exchange(port, post("/pinleaf2/users/login", body))
            for line in answer.split(b"\r\n"):
                if line.lower().startswith(b"set-cookie: pinleaf_session="):
                    cookie = line[12:].split(b";")[0].decode()
        except OSError:
            answer = b""
        # Told busy (too many sign-ins at once): try again after the pause it asks for.
        if cookie or not answer.startswith(b"HTTP/1.1 503"):
            break
        with lock:
            results.append((None, None))
        time.sleep(1)
    if not cookie:
        with lock:
            results.append((None, "login"))
        return
    for i in range(snaps):
        if time.monotonic() > stop_at:
            break
        text = f"{name} snap {i} 日本語"
        paper = time.strftime("%Y%m%d%H%M%S") + "%03d" % (i % 1000)
        doc = (f"<xml><post><title></title><body>{percent_all(text.encode())}</body><color>11270143</color>"
               f"<paperid>{paper}</paperid></post></xml>")
        started = time.monotonic()
        try:
            probe = exchange(port, f"GET /pinleaf2/posts/nop/?{i} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                   f"Cookie: {cookie}\r\nConnection: close\r\n\r\n".encode())
            answer = exchange(port, post("/pinleaf2/posts/addpinleaf",
                                         "data[Param][xmldata]=" + client_encode(doc), cookie))
            ok = b"====" in answer and b"data[User][username]" not in probe
            error = None if ok else "refused"
        except OSError as e:
            ok, error = False, type(e).__name__
        elapsed = time.monotonic() - started
        with lock:
            results.append((elapsed if ok else None, error))
            if ok:
                acknowledged.append(text)


def trickler(port, count, stop, stats, lock):
    socks = []
    head = b"GET /pinleaf2/notes HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"a" * 4000
    addresses = [f"127.0.2.{i}" for i in range(1, 1 + max(1, count // 50))]
    def opened(i):
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=2,
                                         source_address=(addresses[i % len(addresses)], 0))
            s.setblocking(False)
            return [s, 0]
        except OSError:
            with lock:
                stats["refused"] += 1
            return None
    socks = [opened(i) for i in range(count)]
    while not stop.is_set():
        for i, entry in enumerate(socks):
            if entry is None:
                socks[i] = opened(i)
                continue
            s, at = entry
            try:
                s.send(head[at % len(head):at % len(head) + 1])
                entry[1] += 1
                if s.recv(4096) == b"":
                    raise OSError
            except BlockingIOError:
                pass
            except OSError:
                with lock:
                    stats["dropped"] += 1
                s.close()
                socks[i] = opened(i)
        time.sleep(0.5)
    for entry in socks:
        if entry:
            entry[0].close()


def oversize(port, stop, stats, lock):
    big_length = (b"POST /pinleaf2/posts/addpinleaf HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                  b"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 1073741824\r\n\r\n")
    chunked = (b"POST /pinleaf2/posts/addpinleaf HTTP/1.1\r\nHost: 127.0.0.1\r\n"
               b"Content-Type: application/x-www-form-urlencoded\r\nTransfer-Encoding: chunked\r\n\r\n")
    piece = b"10000\r\n" + b"x" * 0x10000 + b"\r\n"
    n = 0
    while not stop.is_set():
        n += 1
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=5, source_address=("127.0.3.1", 0))
            if n % 2:
                s.sendall(big_length)
                answer = s.recv(4096)
            else:
                s.sendall(chunked)
                sent = 0
                while sent < (1 << 30):
                    s.sendall(piece)
                    sent += len(piece)
                answer = b""
            s.close()
            with lock:
                stats["oversize"] += 1
                stats["refused413"] += answer.startswith(b"HTTP/1.1 413")
        except OSError:
            with lock:
                stats["oversize"] += 1
                stats["cut"] += 1
        time.sleep(0.05)


def sign_in_times(port, names, pairs):
    """Wrong passwords for real accounts and any password for unknown names,
    taken in turn, one at a time, each from an address of its own (so no
    throttle holds them): the time of each answer, in seconds, and whether
    every answer was the same refusal."""
    known, unknown, same = [], [], True
    for i in range(pairs):
        for real, times in ((True, known), (False, unknown)):
            name = names[i % len(names)] if real else f"nobody{i}"
            body = f"data[User][username]={client_encode(name)}&data[User][password]=wrong{i}"
            source = f"127.0.4.{2 * i + (1 if real else 2)}"
            started = time.monotonic()
            answer = exchange(port, post("/pinleaf2/users/login", body), source=source)
            times.append(time.monotonic() - started)
            same = same and answer.startswith(b"HTTP/1.1 200") and b"The ID or the password is wrong." in answer
    return known, unknown, same


def peak_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("server")
    ap.add_argument("--clients", type=int, default=8)
    ap.add_argument("--snaps", type=int, default=40)
    ap.add_argument("--trickle", type=int, default=300)
    ap.add_argument("--oversize", type=int, default=4)
    ap.add_argument("--seconds", type=float, default=120)
    ap.add_argument("--timing", type=int, default=16,
                    help="pairs of failed sign-ins (real name, unknown name) timed after the run; at most 4 per account")
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="pinleaf-abuse-")
    db = os.path.join(work, "pinleaf.db")
    names = [f"user{i}" for i in range(a.clients)]
    args = [a.server, "--port", "0", "--db", db, "--max-per-address", "64"]
    for n in names:
        args += ["--add-user", n]
    server = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              text=True)
    server.stdin.write("".join(f"pw-{n}\n" for n in names))
    server.stdin.close()
    line = server.stdout.readline()
    port = int(line.rsplit(":", 1)[1].split("/")[0])
    base_peak = peak_kib(server.pid)
    lock = threading.Lock()
    stop = threading.Event()
    stats = {"refused": 0, "dropped": 0, "oversize": 0, "refused413": 0, "cut": 0}
    results, acknowledged = [], []
    stop_at = time.monotonic() + a.seconds
    background = [threading.Thread(target=trickler, args=(port, a.trickle, stop, stats, lock))]
    background += [threading.Thread(target=oversize, args=(port, stop, stats, lock)) for _ in range(a.oversize)]
    for t in background:
        t.start()
    time.sleep(2)  # let the siege set in
    started = time.monotonic()
    clients = [threading.Thread(target=ordinary, args=(port, n, f"pw-{n}", a.snaps, results, acknowledged, lock,
                                                       stop_at)) for n in names]
    for t in clients:
        t.start()
    for t in clients:
        t.join()
    wall = time.monotonic() - started
    stop.set()
    for t in background:
        t.join()
    peak = peak_kib(server.pid)
    timing = min(a.timing, 4 * len(names), 120)
    known, unknown, same = sign_in_times(port, names, timing)
    server.terminate()
    server.wait(timeout=20)

    times = sorted(r[0] for r in results if r[0] is not None)
    busy = sum(1 for r in results if r[0] is None and r[1] is None)
    errors = [r[1] for r in results if r[0] is None and r[1] is not None]
    con = sqlite3.connect(db)
    stored = {}
    for (body,) in con.execute("SELECT body FROM notes"):
        stored[body] = stored.get(body, 0) + 1
    once = sum(1 for t in acknowledged if stored.get(t) == 1)
    dup = sum(1 for v in stored.values() if v > 1)

    def pct(p):
        return times[min(len(times) - 1, int(p * len(times)))] * 1000 if times else float("nan")
    print(f"ordinary clients {a.clients} x {a.snaps} snaps; trickling sockets {a.trickle}; oversize senders {a.oversize}")
    print(f"snaps ok {len(times)}  errors {len(errors)} {sorted(set(errors))}  wall {wall:.1f} s")
    print(f"sign-ins told busy and retried {busy}")
    print(f"snap (probe+upload) p50 {pct(0.5):.1f} ms  p99 {pct(0.99):.1f} ms  max {pct(1.0):.1f} ms")
    print(f"trickling sockets dropped by the server {stats['dropped']}, refused at connect {stats['refused']}")
    print(f"oversize attempts {stats['oversize']} (413 seen {stats['refused413']}, cut off {stats['cut']})")
    print(f"server peak memory {peak} KiB (at start {base_peak} KiB)")
    print(f"acknowledged {len(acknowledged)}, stored exactly once {once}, stored twice or more {dup}, "
          f"rows {sum(stored.values())}")
    if timing:
        def ms(values, p):
            values = sorted(values)
            return values[min(len(values) - 1, int(p * len(values)))] * 1000
        print(f"failed sign-in, real name: p50 {ms(known, 0.5):.1f} ms  max {ms(known, 1.0):.1f} ms;  "
              f"unknown name: p50 {ms(unknown, 0.5):.1f} ms  max {ms(unknown, 1.0):.1f} ms  "
              f"({timing} each, answers {'identical' if same else 'DIFFER'})")
    ok = once == len(acknowledged) and dup == 0 and not errors and same
    subprocess.run(["rm", "-rf", work])
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
