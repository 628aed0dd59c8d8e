#!/usr/bin/env python3
"""Writes the ini.ini that textsnap.exe reads at start-up.

    scripts/write-ini.py PATH --url URL --id ID (--password PASSWORD | --password-file FILE)
                         [--hotkey 120] [--modifiers 6] [--autocopy 1]
                         [--codepage cp932] [--cert-sha256 HEX]

The file holds text in the system code page of the machine that runs the
program (cp932 on Japanese Windows and in the Wine prefix of run.sh). The
password is stored as the program stores it: every byte b becomes
(104 - b) mod 256, then everything except A-Z a-z 0-9 - . _ is written as
%XX with upper-case digits. With --password-file the password is the file's
first line, and stays out of the process list.
"""
import argparse
import sys

KEY = 617  # only its low 8 bits count: (617 & 0xFF) - 1 == 104
SAFE = set(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._")


def scramble(data: bytes) -> bytes:
    k = KEY & 0xFF
    return bytes((k - 1 - b) & 0xFF for b in data)


def percent_encode(data: bytes) -> str:
    return "".join(chr(b) if b in SAFE else "%%%02X" % b for b in data)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("path")
    p.add_argument("--url", required=True)
    p.add_argument("--id", required=True)
    given = p.add_mutually_exclusive_group(required=True)
    given.add_argument("--password")
    given.add_argument("--password-file")
    p.add_argument("--hotkey", type=int, default=120)  # F9
    p.add_argument("--modifiers", type=int, default=6)  # Ctrl + Shift
    p.add_argument("--autocopy", type=int, choices=(0, 1), default=1)
    p.add_argument("--codepage", default="cp932")
    p.add_argument("--cert-sha256", default="", help="pin an https service's certificate")
    a = p.parse_args()
    if a.password_file:
        with open(a.password_file, encoding="utf-8") as f:
            a.password = f.readline().rstrip("\r\n")
    try:
        user = a.id.encode(a.codepage)
        password = a.password.encode(a.codepage)
        url = a.url.encode(a.codepage)
    except UnicodeEncodeError as e:
        print(f"write-ini.py: not representable in {a.codepage}: {e.object[e.start:e.end]!r}", file=sys.stderr)
        return 2
    lines = [
        b"[globalsetting]",
        b"ini_online_url=" + url,
        b"ini_online_id=" + user,
        b"ini_online_pass=" + percent_encode(scramble(password)).encode("ascii"),
    ] + ([b"ini_online_cert_sha256=" + a.cert_sha256.encode("ascii")] if a.cert_sha256 else []) + [
        b"[setting]",
        b"hotkey_autocopy=%d" % a.autocopy,
        b"hotkey=%d" % a.hotkey,
        b"hotkey_shift=%d" % a.modifiers,
    ]
    with open(a.path, "wb") as f:
        f.write(b"\r\n".join(lines) + b"\r\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
