"""What the service's Python suites share: the real pinleaf-server started on
a database of the case's own (an SQLite file, or a schema of its own in the
PostgreSQL cluster libpq's PG* variables name), a client that signs in and
uploads exactly as text snap does, one that uses the pages as a browser does
(form cookie and token), and a small runner that writes gtest-style XML for
the suite counter.

Every case runs once per backend; the PostgreSQL run is skipped, saying why,
when no cluster is named (./test.sh names one).
"""
import http.client
import http.cookiejar
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import traceback
import urllib.parse
import urllib.request
import uuid


class Skip(Exception):
    pass


def pg_available():
    return any(os.environ.get(v) for v in ("PGHOST", "PGPORT", "PGUSER", "PGDATABASE", "PGSERVICE"))


def psql(sql):
    """Runs SQL as the cluster's user; the first column of the first row, or None."""
    out = subprocess.run(["psql", "-qAtX", "-v", "ON_ERROR_STOP=1", "-c", sql], capture_output=True, text=True)
    if out.returncode != 0:
        raise AssertionError(f"psql failed: {sql}: {out.stderr}")
    lines = out.stdout.strip().splitlines()
    return lines[0] if lines else None


class Database:
    """A database of one case's own on one backend; removed by close()."""

    def __init__(self, kind, work):
        self.kind = kind
        self.schema = None
        if kind == "sqlite":
            self.path = os.path.join(work, "pinleaf-%s.db" % uuid.uuid4().hex[:8])
            self.option = self.path
        else:
            if not pg_available():
                raise Skip("no PostgreSQL cluster named (PGHOST ...): scripts/pg-cluster.sh start build/pg")
            self.schema = "pinleaf_py%d_%s" % (os.getpid(), uuid.uuid4().hex[:8])
            psql("CREATE SCHEMA " + self.schema)
            self.option = "postgresql://?options=-csearch_path%3D" + self.schema

    def count(self, table, where="true"):
        if self.kind == "sqlite":
            out = subprocess.run(["sqlite3", "-cmd", ".timeout 5000", self.path,
                                  f"SELECT COUNT(*) FROM {table} WHERE {where}"], capture_output=True, text=True)
            return int(out.stdout.strip())
        return int(psql(f"SELECT COUNT(*) FROM {self.schema}.{table} WHERE {where}"))

    def close(self):
        if self.schema:
            psql(f"DROP SCHEMA IF EXISTS {self.schema} CASCADE")


class Server:
    """The real pinleaf-server on a free loopback port."""

    def __init__(self, exe, db, work, args=(), users=(("alice", "alice-pw"),)):
        self.log_path = os.path.join(work, "server-%s.log" % uuid.uuid4().hex[:8])
        command = [exe, "--port", "0", "--db", db.option, *args]
        for name, _ in users:
            command += ["--add-user", name]
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=open(self.log_path, "w"), text=True)
        self.proc.stdin.write("".join(pw + "\n" for _, pw in users))
        self.proc.stdin.close()
        line = self.proc.stdout.readline()
        match = re.search(r"listening on (http://127\.0\.0\.1:(\d+)(/\S*))", line)
        if not match:
            self.stop()
            raise AssertionError("pinleaf-server did not start: " + line + self.log())
        self.url, self.port, self.base = match.group(1), int(match.group(2)), match.group(3)

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def request(port, method, path, body=None, headers=None, source="127.0.0.1"):
    """One request on a connection of its own: (status, headers dict lower-cased, body bytes)."""
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=60, source_address=(source, 0))
    try:
        c.request(method, path, body=body, headers=headers or {})
        r = c.getresponse()
        return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read()
    finally:
        c.close()


def client_escape(value):
    """A form value escaped as text snap escapes it."""
    return "".join("%%%02X" % b if b < 33 or b > 128 or chr(b) in "#%*<>[]&+=" else chr(b)
                   for b in value.encode("utf-8"))


def note_document(text, paper, title=""):
    encode = lambda t: "".join("%%%02X" % b for b in t.encode("utf-8"))
    return (f"<xml><post><title>{encode(title)}</title><body>{encode(text)}</body><color>11270143</color>"
            f"<paperid>{paper}</paperid></post></xml>")


class Snapper:
    """Signs in once and uploads notes exactly as text snap does (no Origin, no form token)."""

    def __init__(self, server, name, password):
        self.server = server
        status, headers, _ = request(server.port, "POST", server.base + "/users/login",
                                     f"data[User][username]={client_escape(name)}&data[User][password]="
                                     f"{client_escape(password)}".encode("latin-1"),
                                     {"Content-Type": "application/x-www-form-urlencoded"})
        assert status == 302, f"sign-in of {name} refused ({status})"
        self.cookie = headers["set-cookie"].split(";")[0]

    def snap(self, text, paper, title=""):
        body = ("data[Param][xmldata]=" + client_escape(note_document(text, paper, title))).encode("latin-1")
        status, _, answer = request(self.server.port, "POST", self.server.base + "/posts/addpinleaf", body,
                                    {"Content-Type": "application/x-www-form-urlencoded", "Cookie": self.cookie})
        return status == 200 and b"====" in answer


class Browser:
    """Uses the pages as a browser does: cookies, form tokens, its own Origin."""

    def __init__(self, server):
        self.server = server
        self.jar = http.cookiejar.CookieJar()
        self.opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(self.jar))
        self.origin = "http://127.0.0.1:%d" % server.port

    def get(self, path):
        try:
            r = self.opener.open(self.server.url[: -len(self.server.base)] + path, timeout=60)
            return r.status, r.read().decode("utf-8", "replace")
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode("utf-8", "replace")

    def post(self, path, fields):
        data = urllib.parse.urlencode(fields).encode()
        req = urllib.request.Request(self.server.url[: -len(self.server.base)] + path, data,
                                     {"Origin": self.origin})
        try:
            r = self.opener.open(req, timeout=60)
            return r.status, r.read().decode("utf-8", "replace")
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode("utf-8", "replace")

    def token_of(self, page):
        match = re.search(r'name="token" value="([0-9a-f]{64})"', page)
        assert match, "no form token on the page: " + page[:300]
        return match.group(1)

    def sign_in(self, name, password):
        _, page = self.get(self.server.base + "/users/login")
        status, page = self.post(self.server.base + "/users/login",
                                 {"token": self.token_of(page), "data[User][username]": name,
                                  "data[User][password]": password})
        assert status == 200 and "You are signed in" in page, f"sign-in refused: {status} {page[:300]}"

    def make_token(self, name, scope):
        """Creates an access token on the tokens page; the token, shown once."""
        _, page = self.get(self.server.base + "/tokens")
        status, page = self.post(self.server.base + "/tokens", {"token": self.token_of(page), "name": name,
                                                                 "scope": scope})
        match = re.search(r'id="new-token">(plf_[0-9a-f]+)<', page)
        assert status == 200 and match, f"no token made: {status} {page[:400]}"
        return match.group(1)


class Api:
    """A small client of the JSON API of our own."""

    def __init__(self, server, token, source="127.0.0.1"):
        self.server, self.token, self.source = server, token, source

    def call(self, method, path, body=None, headers=None, token=None):
        h = {"Authorization": "Bearer " + (token if token is not None else self.token)}
        if token == "":
            h = {}
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode()
            h["Content-Type"] = "application/json"
        h.update(headers or {})
        status, headers, data = request(self.server.port, method, self.server.base + "/api/v1" + path, body, h,
                                        self.source)
        parsed = None
        if headers.get("content-type", "").startswith("application/json") and data and not path.startswith("/export"):
            parsed = json.loads(data)
        return status, headers, parsed if parsed is not None else data


def run_suite(suite, cases, kinds, xml, argv_exe):
    """Runs each case on each backend; prints one line per case and writes gtest-style XML.
    Returns the exit code (0 all passed or skipped, 1 any failed)."""
    results = []
    # PINLEAF_ONLY=Name runs only the cases whose name holds it.
    only = os.environ.get("PINLEAF_ONLY")
    cases = [c for c in cases if not only or only in c.__name__]
    work = tempfile.mkdtemp(prefix="pinleaf-py-")
    try:
        for case in cases:
            for kind in kinds:
                name = f"{case.__name__}/{'SQLite' if kind == 'sqlite' else 'PostgreSQL'}"
                db = None
                started = time.monotonic()
                try:
                    db = Database(kind, work)
                    case(argv_exe, db, work)
                    results.append((name, None, None))
                    print(f"[       OK ] {suite}.{name} ({time.monotonic() - started:.1f} s)", flush=True)
                except Skip as s:
                    results.append((name, None, str(s)))
                    print(f"[  SKIPPED ] {suite}.{name}: {s}", flush=True)
                except Exception as e:  # the case's failure, with where it happened
                    detail = "".join(traceback.format_exception(type(e), e, e.__traceback__)[-3:])
                    results.append((name, detail, None))
                    print(f"[  FAILED  ] {suite}.{name}: {detail}", flush=True)
                finally:
                    if db:
                        db.close()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if xml:
        esc = lambda t: t.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;")
        with open(xml, "w") as f:
            f.write(f'<?xml version="1.0" encoding="UTF-8"?>\n<testsuites><testsuite name="{suite}">')
            for name, failure, skipped in results:
                inner = f'<failure message="{esc(failure)}"/>' if failure else ""
                inner += f'<skipped message="{esc(skipped)}"/>' if skipped else ""
                f.write(f'<testcase name="{esc(name)}" classname="{suite}"'
                        f'{" result=" + chr(34) + "skipped" + chr(34) if skipped else ""}>{inner}</testcase>')
            f.write("</testsuite></testsuites>\n")
    failed = sum(1 for _, f, _ in results if f)
    print(f"{suite}: {len(results) - failed} of {len(results)} cases without failure")
    return 1 if failed else 0
