#!/usr/bin/env python3
"""The service's pages in a real browser: headless chromium driven over its
DevTools protocol against pinleaf-server on loopback.

Sign-up through the form, notes sent the way text snap sends them, the notes
page with a long Japanese note and markup in a note, the whole-note link, a
delete refused without its form token and accepted with it, sign-out and
sign-in through the forms. Writes gtest-style XML for the suite counter and,
with --screenshot, a picture of the notes page.

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
import urllib.request

CASE = "PagesInABrowser.SignUpNotesDeleteSignOut"


def write_xml(path, failure=None, skipped=None):
    if not path:
        return
    body = ""
    if failure:
        body = '<failure message="%s"/>' % failure.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;")
    if skipped:
        body = '<skipped message="%s"/>' % skipped
    suite, name = CASE.split(".")
    with open(path, "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<testsuites><testsuite name="%s">'
                '<testcase name="%s" classname="%s"%s>%s</testcase></testsuite></testsuites>\n'
                % (suite, name, suite, ' result="skipped"' if skipped else "", body))


class Page:
    """One browser tab over the DevTools websocket."""

    def __init__(self, ws_url):
        try:
            import websocket  # python3-websocket
        except ImportError:  # a python3 of its own before Debian's on PATH
            sys.path.append("/usr/lib/python3/dist-packages")
            import websocket
        self.ws = websocket.create_connection(ws_url, timeout=30, suppress_origin=True)
        self.next_id = 0
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


def start_server(exe, work):
    proc = subprocess.Popen([exe, "--port", "0", "--db", os.path.join(work, "pinleaf.db")], stdout=subprocess.PIPE,
                            stderr=open(os.path.join(work, "server.log"), "w"), text=True)
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


def snap(base, name, password, text, paper):
    """Signs in and uploads one note exactly the way text snap does (no Origin, no token)."""
    import http.cookiejar
    jar = http.cookiejar.CookieJar()
    opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(jar))
    login = f"data[User][username]={client_encode(name)}&data[User][password]={client_encode(password)}"
    # Escaped values are bytes written as characters (one byte, 0x80, travels raw): latin-1 keeps them bytes.
    opener.open(base + "/users/login", login.encode("latin-1")).read()
    doc = ("<xml><post><title></title><body>" + "".join("%%%02X" % b for b in text.encode("utf-8")) +
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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("server")
    ap.add_argument("--xml")
    ap.add_argument("--screenshot")
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="pinleaf-browser-")
    server = browser = None
    try:
        browser, port, why = start_chromium(work)
        if not browser:
            print(f"SKIPPED: {why}")
            write_xml(a.xml, skipped=why)
            return 77
        server, base = start_server(a.server, work)
        targets = json.load(urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=10))
        ws = next(t["webSocketDebuggerUrl"] for t in targets if t.get("type") == "page")
        run(Page(ws), base, a.screenshot)
        print(f"[       OK ] {CASE}")
        write_xml(a.xml)
        return 0
    except Exception as e:  # any failure is the test's failure, reported with its cause
        print(f"[  FAILED  ] {CASE}: {e}")
        write_xml(a.xml, failure=str(e))
        return 1
    finally:
        for proc in (browser, server):
            if proc:
                proc.terminate()
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    proc.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
