#!/usr/bin/env python3
"""An RFC 3161 time-stamp server on loopback for the signing tests.

It makes a time-stamping certificate of its own in FOLDER (tsa.pem, tsa.key),
binds a free port, prints "port N" and answers every POST of a time-stamp
query with openssl's reply, signed with that certificate. It serves until it
is stopped, at most ten minutes.

usage: tsa.py FOLDER
"""
import http.server
import os
import subprocess
import sys
import tempfile
import threading

CONFIG = """
[ tsa ]
default_tsa = here
[ here ]
dir = {folder}
serial = {folder}/serial
crypto_device = builtin
signer_cert = {folder}/tsa.pem
signer_key = {folder}/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    folder = os.path.abspath(sys.argv[1])
    os.makedirs(folder, exist_ok=True)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                    "-subj", "/CN=text snap test time-stamps", "-keyout", f"{folder}/tsa.key",
                    "-out", f"{folder}/tsa.pem", "-addext", "extendedKeyUsage=critical,timeStamping"],
                   check=True, capture_output=True)
    with open(f"{folder}/serial", "w") as f:
        f.write("01\n")
    config = f"{folder}/tsa.cnf"
    with open(config, "w") as f:
        f.write(CONFIG.format(folder=folder))

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            with tempfile.TemporaryDirectory() as tmp:
                with open(f"{tmp}/query", "wb") as f:
                    f.write(query)
                done = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile", f"{tmp}/query",
                                       "-out", f"{tmp}/reply"], capture_output=True)
                if done.returncode != 0:
                    self.send_error(500, done.stderr.decode(errors="replace")[:200])
                    return
                with open(f"{tmp}/reply", "rb") as f:
                    reply = f.read()
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    print(f"port {server.server_port}", flush=True)
    threading.Timer(600, server.shutdown).start()
    server.serve_forever()


if __name__ == "__main__":
    main()
