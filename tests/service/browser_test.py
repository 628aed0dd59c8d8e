#!/usr/bin/env python3
"""The service's pages in a real browser: headless chromium driven over its
DevTools protocol against pinleaf-server on loopback.

Sign-up through the form, notes sent the way text snap sends them, the notes
page with a long Japanese note and markup in a note, the whole-note link, a
delete refused without its form token and accepted with it, sign-out and
sign-in through the forms. Then finding notes again (a two-character
Japanese word, a phrase, a tag, with the matches marked), both downloads and
the import of the JSON into another account (twice: each note once), and the
access tokens page (create, use with the API, last use shown, revoke,
refused). On SQLite and, when a cluster is named, on PostgreSQL. Writes
gtest-style XML for the suite counter and, with --screenshot, a picture of
the notes page.

  browser_test.py PINLEAF_SERVER --xml RESULT.xml [--screenshot FILE.png]

Exit code 77 (skipped) only when chromium cannot be started at all.
"""
import argparse
import base64
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
import zipfile

SUITE = "PagesInABrowser"


def write_xml(path, results):
    """results: (case name, failure or None, skipped reason or None)."""
    if not path:
        return
    esc = lambda t: t.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;")
    with open(path, "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<testsuites><testsuite name="%s">' % SUITE)
        for name, failure, skipped in results:
            body = '<failure message="%s"/>' % esc(failure) if failure else ""
            body += '<skipped message="%s"/>' % esc(skipped) if skipped else ""
            f.write('<testcase name="%s" classname="%s"%s>%s</testcase>'
                    % (esc(name), SUITE, ' result="skipped"' if skipped else "", body))
        f.write("</testsuite></testsuites>\n")


class Page:
    """One browser tab over the DevTools websocket."""

    def __init__(self, ws_url, page_domains=True):
        try:
            import websocket  # python3-websocket
        except ImportError:  # a python3 of its own before Debian's on PATH
            sys.path.append("/usr/lib/python3/dist-packages")
            import websocket
        self.ws = websocket.create_connection(ws_url, timeout=30, suppress_origin=True)
        self.next_id = 0
        if page_domains:
            self.call("Page.enable")
            self.call("Runtime.enable")

    def call(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.ws.recv())
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message.get("result", {})

    def js(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"script failed: {expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_for(self, expression, what, seconds=20):
        until = time.monotonic() + seconds
        while time.monotonic() < until:
            try:
                if self.js(expression):
                    return
            except RuntimeError:
                pass  # the page is being replaced
            time.sleep(0.1)
        raise AssertionError(f"timed out waiting for {what}; at {self.js('location.href')}: "
                             f"{(self.js('document.body && document.body.innerText') or '')[:300]}")

    def go(self, url):
        self.call("Page.navigate", url=url)
        self.wait_for(f"location.href === {json.dumps(url)} && document.readyState === 'complete'", url)

    def click_and_wait(self, selector, expression, what):
        self.js("window.__old = true")
        self.js(f"document.querySelector({json.dumps(selector)}).click()")
        self.wait_for(f"!window.__old && document.readyState === 'complete' && ({expression})", what)


def start_server(exe, work, db):
    proc = subprocess.Popen([exe, "--port", "0", "--db", db], stdout=subprocess.PIPE,
                            stderr=open(os.path.join(work, "server.log"), "a"), text=True)
    line = proc.stdout.readline()
    match = re.search(r"listening on (http://\S+)", line)
    if not match:
        proc.kill()
        raise AssertionError("pinleaf-server did not start: " + line)
    return proc, match.group(1)


def start_chromium(work):
    exe = shutil.which("chromium") or shutil.which("chromium-browser")
    if not exe:
        return None, None, "chromium is not installed"
    proc = subprocess.Popen([exe, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                             "--no-first-run", "--remote-debugging-port=0", "--window-size=900,1100",
                             f"--user-data-dir={work}/profile", "about:blank"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    until = time.monotonic() + 30
    while time.monotonic() < until:
        line = proc.stderr.readline()
        if not line:
            break
        match = re.search(r"DevTools listening on ws://127\.0\.0\.1:(\d+)/", line)
        if match:
            return proc, int(match.group(1)), None
    proc.kill()
    return None, None, "chromium did not start (no DevTools endpoint)"


def client_encode(value):
    return "".join("%%%02X" % b if b < 33 or b > 128 or chr(b) in "#%*<>[]&+=" else chr(b)
                   for b in value.encode("utf-8"))


def snap(base, name, password, text, paper, title=""):
    """Signs in and uploads one note exactly the way text snap does (no Origin, no token)."""
    import http.cookiejar
    jar = http.cookiejar.CookieJar()
    opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(jar))
    login = f"data[User][username]={client_encode(name)}&data[User][password]={client_encode(password)}"
    # Escaped values are bytes written as characters (one byte, 0x80, travels raw): latin-1 keeps them bytes.
    opener.open(base + "/users/login", login.encode("latin-1")).read()
    doc = ("<xml><post><title>" + "".join("%%%02X" % b for b in title.encode("utf-8")) + "</title><body>" +
           "".join("%%%02X" % b for b in text.encode("utf-8")) +
           f"</body><color>11270143</color><paperid>{paper}</paperid></post></xml>")
    answer = opener.open(base + "/posts/addpinleaf", ("data[Param][xmldata]=" + client_encode(doc)).encode("latin-1")).read()
    assert b"====" in answer, "the note was not stored: " + answer.decode("utf-8", "replace")[:300]


def run(page, base, screenshot):
    name, password = "ブラウザの利用者", "秘密 pass&word"
    # Sign-up through the form: the browser sends the form's token and its own origin.
    page.go(base + "/users/add")
    page.js(f"""document.querySelector('[name="data[User][username]"]').value = {json.dumps(name)};
               document.querySelector('[name="data[User][password]"]').value = {json.dumps(password)};
               document.querySelector('[name="data[User][password_confirm]"]').value = {json.dumps(password)};""")
    page.click_and_wait("button[type=submit]", "location.pathname.endsWith('/notes')", "the notes page after sign-up")
    assert name in page.js("document.querySelector('h1').innerText"), "the notes page does not name the user"

    long_text = "吾輩は猫である。名前はまだ無い。\n" * 300  # about 15 KB of Japanese
    snap(base, name, password, long_text, "20261209010203004")
    snap(base, name, password, "<b>not bold</b> & \"quoted\" 日本語", "20261209010203005")
    page.go(base + "/notes")
    assert page.js("document.querySelectorAll('article.note').length") == 2, "two notes expected"
    shown = page.js("document.body.innerText")
    assert "吾輩は猫である。名前はまだ無い。" in shown, "the Japanese note is not shown as text"
    assert "<b>not bold</b> & \"quoted\" 日本語" in shown, "markup in a note was not shown as text"
    assert page.js("document.querySelectorAll('article b').length") == 0, "markup in a note became elements"
    assert page.js("getComputedStyle(document.querySelector('article.note')).backgroundColor") == \
        "rgb(255, 247, 171)", "the note colour is not applied (inline style blocked?)"
    preview = page.js("document.querySelector('article.note:last-of-type pre').innerText")
    assert len(preview) < len(long_text) / 3, "the long note is shown whole on the list"
    if screenshot:
        data = page.call("Page.captureScreenshot", format="png")["data"]
        with open(screenshot, "wb") as f:
            f.write(base64.b64decode(data))

    page.click_and_wait("a.more", "location.pathname.endsWith('/notes/view')", "the whole note")
    whole = page.js("document.querySelector('pre').innerText")
    assert whole.count("吾輩は猫である") == 300, "the whole note is not whole"

    # A delete whose token was tampered with is refused and deletes nothing.
    page.go(base + "/notes")
    page.js("document.querySelector('form.delete [name=token]').value = '0'.repeat(64)")
    page.click_and_wait("form.delete button", "document.title.startsWith('Form expired')", "the refusal")
    page.go(base + "/notes")
    assert page.js("document.querySelectorAll('article.note').length") == 2, "a tampered delete deleted"
    page.click_and_wait("form.delete button", "location.pathname.endsWith('/notes')", "the list after a delete")
    assert page.js("document.querySelectorAll('article.note').length") == 1, "the delete did not delete"

    # Sign-out is a form; afterwards the notes need a sign-in, which works through its form.
    page.click_and_wait("form[action$='/users/logout'] button", "location.pathname.endsWith('/users/login')",
                        "the sign-in page after sign-out")
    page.go(base + "/notes")
    assert page.js("!!document.querySelector('[name=\"data[User][username]\"]')"), "notes shown after sign-out"
    page.js(f"""document.querySelector('[name="data[User][username]"]').value = {json.dumps(name)};
               document.querySelector('[name="data[User][password]"]').value = {json.dumps(password)};""")
    page.click_and_wait("button[type=submit]", "location.pathname.endsWith('/users/home')", "home after sign-in")


def api(base, token, method, path, body=None):
    """One call of the JSON API; (status, parsed JSON or None)."""
    data = json.dumps(body).encode() if body is not None else None
    req = urllib.request.Request(base + "/api/v1" + path, data=data, method=method,
                                 headers={"Authorization": "Bearer " + token, "Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(req, timeout=30) as r:
            raw = r.read()
            return r.status, json.loads(raw) if raw else None
    except urllib.error.HTTPError as e:
        return e.code, None


def fill(page, values):
    for selector, value in values.items():
        page.js(f"document.querySelector({json.dumps(selector)}).value = {json.dumps(value)}")


def downloaded(folder, suffix, seconds=30):
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        done = [f for f in os.listdir(folder) if f.endswith(suffix)]
        if done and not any(f.endswith(".crdownload") for f in os.listdir(folder)):
            return os.path.join(folder, done[0])
        time.sleep(0.1)
    raise AssertionError(f"no {suffix} download in {folder}: {os.listdir(folder)}")


def run_find_and_keep(page, browser_ws, base, work):
    """Search, tags, downloads, import and tokens, as a person uses them."""
    name, password = "探す人", "find-pw"
    page.go(base + "/users/add")
    fill(page, {'[name="data[User][username]"]': name, '[name="data[User][password]"]': password,
                '[name="data[User][password_confirm]"]': password})
    page.click_and_wait("button[type=submit]", "location.pathname.endsWith('/notes')", "the notes page after sign-up")
    snap(base, name, password, "会議の議事録: 予算は来週 #仕事", "20261210090000001", title="議事録 - メモ帳 (notepad.exe)")
    snap(base, name, password, "the quick brown fox jumps #pets", "20261210090000002")
    snap(base, name, password, "brown and quick are two words #pets", "20261210090000003")

    # A two-character Japanese word, typed into the search box.
    page.go(base + "/notes")
    fill(page, {"form.search [name=q]": "会議"})
    page.click_and_wait("form.search button", "location.search.includes('q=')", "the search answer")
    assert page.js("document.querySelectorAll('article.note').length") == 1, "会議 did not find one note"
    assert page.js("document.querySelector('article mark').innerText") == "会議", "the match is not marked"
    # A phrase matches as written, not as two words anywhere.
    fill(page, {"form.search [name=q]": '"quick brown"'})
    page.click_and_wait("form.search button", "location.search.includes('quick')", "the phrase answer")
    assert page.js("document.querySelectorAll('article.note').length") == 1, "the phrase found other than one note"
    assert "fox" in page.js("document.querySelector('article pre').innerText")
    # Tags are listed with their counts and filter by one.
    page.go(base + "/notes")
    assert page.js("document.querySelector('.tags').innerText").replace(" ", "").startswith("Tags:#pets2#仕事1"), \
        page.js("document.querySelector('.tags').innerText")
    page.click_and_wait(".tags a", "location.search.includes('tag=')", "the tag's notes")
    assert page.js("document.querySelectorAll('article.note').length") == 2, "#pets did not list two notes"

    # Both downloads, through the links of the notes page.
    folder = os.path.join(work, "downloads")
    os.makedirs(folder, exist_ok=True)
    browser = Page(browser_ws, page_domains=False)
    browser.call("Browser.setDownloadBehavior", behavior="allow", downloadPath=folder)
    page.go(base + "/notes")
    page.js("document.querySelector('a.export-json').click()")
    exported = downloaded(folder, ".json")
    notes = json.load(open(exported, encoding="utf-8"))
    assert sorted(n["paper_id"] for n in notes) == ["20261210090000001", "20261210090000002", "20261210090000003"]
    assert notes[0]["title"] == "議事録 - メモ帳 (notepad.exe)" and notes[0]["tags"] == ["仕事"], notes[0]
    page.js("document.querySelector('a.export-zip').click()")
    names = zipfile.ZipFile(downloaded(folder, ".zip")).namelist()
    assert len(names) == 3 and any("議事録 - メモ帳 (notepad.exe)" in n for n in names), names

    # The JSON into a new account, twice: each note once.
    page.click_and_wait("form[action$='/users/logout'] button", "location.pathname.endsWith('/users/login')",
                        "the sign-in page after sign-out")
    page.go(base + "/users/add")
    fill(page, {'[name="data[User][username]"]': "importer", '[name="data[User][password]"]': "imp-pw",
                '[name="data[User][password_confirm]"]': "imp-pw"})
    page.click_and_wait("button[type=submit]", "location.pathname.endsWith('/notes')", "the new account's notes")
    for expected in ("3 notes imported, 0 were here already", "0 notes imported, 3 were here already"):
        page.go(base + "/notes")
        root = page.call("DOM.getDocument")["root"]["nodeId"]
        node = page.call("DOM.querySelector", nodeId=root, selector="form.import input[type=file]")["nodeId"]
        page.call("DOM.setFileInputFiles", files=[exported], nodeId=node)
        page.click_and_wait("form.import button", "document.title.startsWith('Import')", "the import's answer")
        said = page.js("document.querySelector('.summary').innerText")
        assert said.startswith(expected), said
    page.go(base + "/notes")
    assert page.js("document.querySelectorAll('article.note').length") == 3, "the import did not show three notes"
    assert page.js("document.querySelector('.count').innerText") == "3 notes"

    # An access token: made on its page, shown once, used by a script, revoked, refused.
    page.go(base + "/tokens")
    fill(page, {"form.create [name=name]": "laptop script"})
    page.js("document.querySelector('form.create [name=scope]').value = 'full'")
    page.click_and_wait("form.create button", "!!document.querySelector('#new-token')", "the new token")
    token = page.js("document.querySelector('#new-token').innerText")
    assert token.startswith("plf_"), token
    status, made = api(base, token, "POST", "/notes", {"text": "from a script #api", "paper_id": "20261210090000009"})
    assert status == 201 and made["tags"] == ["api"], (status, made)
    assert api(base, token, "GET", "/notes?q=script")[1]["notes"][0]["id"] == made["id"]
    page.go(base + "/tokens")
    assert not page.js("!!document.querySelector('#new-token')"), "the token is shown again"
    assert page.js("document.querySelector('td.used').innerText") != "never", "the last use is not shown"
    page.click_and_wait("form.revoke button", "location.pathname.endsWith('/tokens')", "the tokens after revoking")
    assert page.js("document.querySelectorAll('form.revoke').length") == 0, "the token is still listed"
    assert api(base, token, "GET", "/notes")[0] == 401, "a revoked token was taken"


def run_titles_and_links(page, base):
    """Where a snap came from: its title (window and program) on the list and on the note's page,
    and the address it was copied from, its last line, a link; nothing else becomes markup."""
    name, password = "出所の人", "source-pw"
    page.go(base + "/users/add")
    fill(page, {'[name="data[User][username]"]': name, '[name="data[User][password]"]': password,
                '[name="data[User][password_confirm]"]': password})
    page.click_and_wait("button[type=submit]", "location.pathname.endsWith('/notes')", "the notes page after sign-up")
    title = "記事 <b>Article</b> - Chromium (chromium)"
    address = "https://example.com/記事?id=1&x=2"
    snap(base, name, password, "copied from the web\nsee https://example.org/ inside\n\n" + address,
         "20261210100000001", title=title)
    snap(base, name, password, '<a href="https://example.com/">not a link</a>\njavascript:alert(1)',
         "20261210100000002")
    page.go(base + "/notes")
    assert page.js("document.querySelector('article h2').innerText") == title, "the title is not shown as text"
    links = page.js("[...document.querySelectorAll('article pre a')].map(a => [a.getAttribute('href'), a.rel, "
                    "a.innerText])")
    assert links == [[address, "noopener noreferrer nofollow", address]], links
    assert page.js("document.querySelectorAll('article pre b, article h2 b').length") == 0, "markup became elements"
    assert "see https://example.org/ inside" in page.js("document.querySelector('article:last-of-type pre').innerText")
    assert "javascript:alert(1)" in page.js("document.querySelector('article pre').innerText")
    # The note's own page: its title, the same link.
    page.click_and_wait("article:last-of-type a[href*='/notes/view']", "location.pathname.endsWith('/notes/view')",
                        "the note's page")
    assert page.js("document.title").startswith(title), page.js("document.title")
    assert page.js("document.querySelector('a.source').rel") == "noopener noreferrer nofollow"
    assert page.js("document.querySelectorAll('pre a').length") == 1, "more than the last line became a link"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("server")
    ap.add_argument("--xml")
    ap.add_argument("--screenshot")
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="pinleaf-browser-")
    results = []
    browser = None
    try:
        browser, port, why = start_chromium(work)
        backends = [("SQLite", os.path.join(work, "pinleaf.db"), None)]
        schema = None
        if any(os.environ.get(v) for v in ("PGHOST", "PGPORT", "PGUSER", "PGDATABASE")):
            schema = "pinleaf_browser_%d" % os.getpid()
            subprocess.run(["psql", "-qAtX", "-v", "ON_ERROR_STOP=1", "-c", "CREATE SCHEMA " + schema], check=True)
            backends.append(("PostgreSQL", "postgresql://?options=-csearch_path%3D" + schema, None))
        else:
            backends.append(("PostgreSQL", None, "no PostgreSQL cluster named (PGHOST ...)"))
        cases = [("SignUpNotesDeleteSignOut", lambda page, ws, base: run(page, base, a.screenshot)),
                 ("FindDownloadImportAndTokens", lambda page, ws, base: run_find_and_keep(page, ws, base, work)),
                 ("TitlesAndSourceLinks", lambda page, ws, base: run_titles_and_links(page, base))]
        for backend, db, skip in backends:
            for case, body in cases:
                name = f"{case}/{backend}"
                if not browser or skip:
                    results.append((name, None, why or skip))
                    print(f"SKIPPED {name}: {why or skip}")
                    continue
                server = ws = None
                try:
                    server, base = start_server(a.server, work, db)
                    targets = json.load(urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=10))
                    ws = next(t["webSocketDebuggerUrl"] for t in targets if t.get("type") == "page")
                    version = json.load(urllib.request.urlopen(f"http://127.0.0.1:{port}/json/version", timeout=10))
                    body(Page(ws), version["webSocketDebuggerUrl"], base)
                    print(f"[       OK ] {SUITE}.{name}")
                    results.append((name, None, None))
                except Exception as e:  # any failure is the case's failure, reported with its cause
                    print(f"[  FAILED  ] {SUITE}.{name}: {e}")
                    results.append((name, f"{type(e).__name__}: {e}", None))
                finally:
                    if server:
                        server.terminate()
                        try:
                            server.wait(timeout=10)
                        except subprocess.TimeoutExpired:
                            server.kill()
                    # Each case starts afresh: a new account database, no cookies.
                    if db and not db.startswith("postgresql"):
                        for tail in ("", "-wal", "-shm"):
                            if os.path.exists(db + tail):
                                os.remove(db + tail)
                    elif db:
                        subprocess.run(["psql", "-qAtX", "-v", "ON_ERROR_STOP=1", "-c", f"SET client_min_messages = warning; DROP SCHEMA {schema} CASCADE; CREATE SCHEMA {schema}"],
                                       check=True)
                    if ws:
                        Page(ws).call("Network.clearBrowserCookies")
        if schema:
            subprocess.run(["psql", "-qAtX", "-v", "ON_ERROR_STOP=1", "-c", f"SET client_min_messages = warning; DROP SCHEMA IF EXISTS {schema} CASCADE"])
        write_xml(a.xml, results)
        if not browser:
            return 77
        return 1 if any(f for _, f, _ in results) else 0
    finally:
        if browser:
            browser.terminate()
            try:
                browser.wait(timeout=10)
            except subprocess.TimeoutExpired:
                browser.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
