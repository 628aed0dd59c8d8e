#!/usr/bin/env python3
"""The owner's side of pairing, in a real browser: headless chromium, driven
over its DevTools protocol (the driver of tests/service/browser_test.py),
opens the page a device showed, signs in through the page's own form when it
asks, checks that the page shows the device's code and name, and presses
Approve (or Deny). Prints "approved" or "denied" when the page says so.

usage: approve.py URL --user ID --password-file FILE --code CODE --device NAME
                  [--deny] [--screenshot FILE.png]

URL is the page the device gave; when it carries no code, the code is typed
into the page's box. Exits 0 when the page confirms the decision, 1 with the
reason otherwise, 77 when chromium cannot be started."""
import argparse
import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "service"))
from browser_test import Page, start_chromium  # noqa: E402


def decide(page, a, password):
    page.go(a.url)
    page.wait_for("document.readyState === 'complete' && !!document.querySelector('h1')", "the device page")
    if page.js("!!document.querySelector('[name=\"data[User][username]\"]')"):
        page.js(f"""document.querySelector('[name="data[User][username]"]').value = {json.dumps(a.user)};
                   document.querySelector('[name="data[User][password]"]').value = {json.dumps(password)};""")
        page.click_and_wait("button[type=submit]", "!!document.querySelector('h1')", "the page after signing in")
    if page.js("!!document.querySelector('form.code')"):
        page.js(f"document.querySelector('form.code [name=user_code]').value = {json.dumps(a.code)}")
        page.click_and_wait("form.code button", "!!document.querySelector('h1')", "the page after the code")
    shown = page.js("(document.querySelector('#user-code') || {}).innerText")
    device = page.js("(document.querySelector('b.device') || {}).innerText")
    if shown != a.code or device != a.device:
        raise AssertionError(f"the page asks for {device!r} with code {shown!r}, not {a.device!r} with {a.code!r}: "
                             + (page.js("document.body.innerText") or "")[:300])
    button = "button.deny" if a.deny else "button.approve"
    page.click_and_wait(button, "!!document.querySelector('p.done')", "the page's answer")
    if a.screenshot:
        with open(a.screenshot, "wb") as f:
            f.write(base64.b64decode(page.call("Page.captureScreenshot", format="png")["data"]))
    said = page.js("document.querySelector('h1').innerText")
    want = "Not paired" if a.deny else "Paired"
    if said != want:
        raise AssertionError(f"the page says {said!r}: " + page.js("document.body.innerText")[:300])
    print("denied" if a.deny else "approved", flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("url")
    ap.add_argument("--user", required=True)
    ap.add_argument("--password-file", required=True)
    ap.add_argument("--code", required=True)
    ap.add_argument("--device", required=True)
    ap.add_argument("--deny", action="store_true")
    ap.add_argument("--screenshot")
    a = ap.parse_args()
    with open(a.password_file, encoding="utf-8") as f:
        password = f.read().removesuffix("\n")
    work = tempfile.mkdtemp(prefix="textsnap-approve-")
    browser = None
    try:
        browser, port, why = start_chromium(work)
        if not browser:
            print("approve.py: " + why, file=sys.stderr)
            return 77
        until = time.monotonic() + 15
        ws = None
        while not ws and time.monotonic() < until:
            targets = json.load(urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=10))
            ws = next((t["webSocketDebuggerUrl"] for t in targets if t.get("type") == "page"), None)
            time.sleep(0.1)
        if not ws:
            print("approve.py: chromium shows no page", file=sys.stderr)
            return 1
        try:
            decide(Page(ws), a, password)
        except (AssertionError, RuntimeError) as e:
            print(f"approve.py: {e}", file=sys.stderr)
            return 1
        return 0
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
