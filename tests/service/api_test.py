#!/usr/bin/env python3
"""The JSON API of pinleaf-server with a client of its own, on both backends:
every answer a script can meet (201, 200, 204, 400, 401, 403, 404, 405, 413,
415, 429 with Retry-After), scopes, search, tags and paging through it,
downloads, a token revoked on the page and by itself, and no cross-origin
access anywhere.

  api_test.py PINLEAF_SERVER [--xml RESULT.xml]
"""
import argparse
import io
import json
import sys
import zipfile

from service_support import Api, Browser, Server, Snapper, request, run_suite


def expect(status, got, what):
    assert got[0] == status, f"{what}: expected {status}, got {got[0]}: {got[2]!r:.300}"
    return got


def no_cross_origin(headers, what):
    leaked = [k for k in headers if k.startswith("access-control-")]
    assert not leaked, f"{what} answers with {leaked}"


def ApiAnswersEveryStatus(exe, db, work):
    server = Server(exe, db, work, users=(("alice", "alice-pw"), ("bob", "bob-pw")))
    try:
        browser = Browser(server)
        browser.sign_in("alice", "alice-pw")
        full = Api(server, browser.make_token("script", "full"))
        capture = Api(server, browser.make_token("phone", "capture"))
        read = Api(server, browser.make_token("reader", "read"))

        # 201 with the note, 200 and nothing stored for the same paper ID and text again.
        note = {"text": "会議の議事録 #仕事 with Alice", "title": "Minutes (editor)", "paper_id": "20261210093000123"}
        status, headers, made = expect(201, capture.call("POST", "/notes", note), "a new note")
        assert made["paper_id"] == note["paper_id"] and made["body"] == note["text"] and made["tags"] == ["仕事"]
        assert headers["location"].endswith("/api/v1/notes/%d" % made["id"]), headers
        status, _, again = expect(200, capture.call("POST", "/notes", note), "the same note again")
        assert again["id"] == made["id"]
        assert db.count("notes") == 1, "a repeated paper ID stored a second note"
        # The same paper ID with other text is another note (two snaps in one millisecond).
        other = dict(note, text="another text")
        assert expect(201, capture.call("POST", "/notes", other), "other text")[2]["id"] != made["id"]
        expect(201, capture.call("POST", "/notes", {"text": "no paper id, no title"}), "text alone")

        # Reading: list, search, tag, one note; paging with next.
        status, _, page = expect(200, read.call("GET", "/notes"), "the list")
        assert [n["body"] for n in page["notes"]][0] == "no paper id, no title" and page["next"] is None
        assert len(expect(200, read.call("GET", "/notes?q=%E4%BC%9A%E8%AD%B0"), "search")[2]["notes"]) == 1
        assert len(expect(200, read.call("GET", "/notes?tag=%E4%BB%95%E4%BA%8B"), "tag")[2]["notes"]) == 1
        first = expect(200, read.call("GET", "/notes?limit=2"), "a page of two")[2]
        assert len(first["notes"]) == 2 and first["next"], first
        rest = expect(200, read.call("GET", "/notes?limit=2&before=" + first["next"]), "the next page")[2]
        assert len(rest["notes"]) == 1 and rest["next"] is None, rest
        assert expect(200, read.call("GET", "/notes/%d" % made["id"]), "one note")[2]["title"] == note["title"]

        # 400: not JSON, no text, a bad paper ID, a bad limit or cursor.
        expect(400, capture.call("POST", "/notes", b"{not json", {"Content-Type": "application/json"}), "bad JSON")
        expect(400, capture.call("POST", "/notes", {"title": "no text"}), "no text")
        expect(400, capture.call("POST", "/notes", {"text": ""}), "empty text")
        expect(400, capture.call("POST", "/notes", {"text": "x", "paper_id": "12345"}), "short paper ID")
        expect(400, capture.call("POST", "/notes", {"text": "x", "paper_id": 20261210093000123}), "numeric paper ID")
        expect(400, read.call("GET", "/notes?limit=0"), "limit 0")
        expect(400, read.call("GET", "/notes?limit=101"), "limit 101")
        expect(400, read.call("GET", "/notes?before=yesterday"), "a bad cursor")

        # 401: no token, a made-up one, a session cookie instead of a token.
        status, headers, body = expect(401, full.call("GET", "/notes", token=""), "no token")
        assert headers["www-authenticate"].startswith("Bearer"), headers
        assert "error" in body
        expect(401, full.call("GET", "/notes", token="plf_" + "0" * 48), "an unknown token")
        status, _, _ = request(server.port, "GET", server.base + "/api/v1/notes",
                               headers={"Cookie": "; ".join(f"{c.name}={c.value}" for c in browser.jar)})
        assert status == 401, f"a browser's session opened the API ({status})"

        # 403: each scope does only what it says.
        expect(403, read.call("POST", "/notes", {"text": "read may not add"}), "read adds")
        expect(403, capture.call("GET", "/notes"), "capture lists")
        expect(403, capture.call("GET", "/notes/%d" % made["id"]), "capture reads")
        expect(403, capture.call("GET", "/export"), "capture exports")
        expect(403, read.call("DELETE", "/notes/%d" % made["id"]), "read deletes")
        expect(403, capture.call("DELETE", "/notes/%d" % made["id"]), "capture deletes")
        # A page of another site may not use it, token or not.
        status, headers, _ = request(server.port, "POST", server.base + "/api/v1/notes",
                                     json.dumps({"text": "from elsewhere"}).encode(),
                                     {"Authorization": "Bearer " + capture.token, "Content-Type": "application/json",
                                      "Origin": "https://evil.example"})
        assert status == 403, f"a foreign Origin was taken ({status})"
        no_cross_origin(headers, "a foreign Origin")
        status, headers, _ = request(server.port, "OPTIONS", server.base + "/api/v1/notes", headers={
            "Origin": "https://evil.example", "Access-Control-Request-Method": "POST",
            "Access-Control-Request-Headers": "authorization"})
        assert status in (403, 405), f"a preflight was answered {status}"
        no_cross_origin(headers, "a preflight")

        # 404: another account's note, a note that is gone, a path that is none.
        bob = Browser(server)
        bob.sign_in("bob", "bob-pw")
        bobs = Api(server, bob.make_token("bob", "full"))
        expect(404, bobs.call("GET", "/notes/%d" % made["id"]), "another account's note")
        expect(404, bobs.call("DELETE", "/notes/%d" % made["id"]), "deleting another account's note")
        expect(204, full.call("DELETE", "/notes/%d" % made["id"]), "a delete")
        expect(404, full.call("GET", "/notes/%d" % made["id"]), "a deleted note")
        expect(404, full.call("DELETE", "/notes/%d" % made["id"]), "a second delete")
        expect(404, full.call("GET", "/nothing"), "an unknown path")
        # 405: a method a path does not take.
        status, headers, _ = expect(405, full.call("POST", "/notes/1", {"text": "x"}), "POST to a note")
        assert "DELETE" in headers["allow"]

        # 413: over the note limit inside the body limit, and over the body limit (refused unread).
        expect(413, capture.call("POST", "/notes", {"text": "x" * (1024 * 1024 + 1)}), "a text over 1 MiB")
        status, headers, body = request(server.port, "POST", server.base + "/api/v1/notes", b"", {
            "Authorization": "Bearer " + capture.token, "Content-Type": "application/json",
            "Content-Length": str(9 * 1024 * 1024)})
        assert status == 413 and headers["content-type"].startswith("application/json"), (status, headers)
        json.loads(body)

        # 415: not JSON, or compressed.
        expect(415, capture.call("POST", "/notes", b"text=x", {"Content-Type": "application/x-www-form-urlencoded"}),
               "a form body")
        status, headers, _ = request(server.port, "POST", server.base + "/api/v1/notes", b"\x1f\x8b", {
            "Authorization": "Bearer " + capture.token, "Content-Type": "application/json",
            "Content-Encoding": "gzip"})
        assert status == 415, f"a compressed body was answered {status}"

        # The downloads through the API: the JSON array and the zip hold the same notes.
        status, headers, data = expect(200, read.call("GET", "/export"), "the JSON download")
        exported = json.loads(data)
        assert sorted(n["body"] for n in exported) == ["another text", "no paper id, no title"], exported
        status, headers, data = expect(200, read.call("GET", "/export?format=zip"), "the zip download")
        names = zipfile.ZipFile(io.BytesIO(data)).namelist()
        assert len(names) == 2 and all(n.endswith(".md") for n in names), names
        expect(400, read.call("GET", "/export?format=pdf"), "an unknown format")

        # A token revoked on the page is refused at once; one that revokes itself too.
        _, page = browser.get(server.base + "/tokens")
        assert page.count('class="inline revoke"') == 3 and "never" not in page.split("reader")[0], \
            "the tokens page does not list three tokens with their last use"
        token_id = page.split('id="token-')[1].split('"')[0]  # the newest: "reader"
        status, page = browser.post(server.base + "/tokens/revoke", {"token": browser.token_of(page), "id": token_id})
        assert status == 200 and "reader" not in page, "revoke did not revoke"
        expect(401, read.call("GET", "/notes"), "a revoked token")
        expect(204, capture.call("DELETE", "/tokens/self"), "a token revoking itself")
        expect(401, capture.call("POST", "/notes", {"text": "after revoking"}), "a token that revoked itself")
    finally:
        server.stop()


def FailedTokensAreThrottledLikeSignIns(exe, db, work):
    server = Server(exe, db, work)
    try:
        browser = Browser(server)
        browser.sign_in("alice", "alice-pw")
        good = browser.make_token("good", "full")
        guesser = Api(server, "plf_" + "1" * 48, source="127.0.0.77")
        statuses = [guesser.call("GET", "/notes")[0] for _ in range(21)]
        assert statuses[:19] == [401] * 19, statuses
        status, headers, body = guesser.call("GET", "/notes")
        assert status == 429 and int(headers["retry-after"]) >= 1, (status, headers)
        assert "error" in body
        # Held back like a guessing address: even a right token from there waits ...
        assert Api(server, good, source="127.0.0.77").call("GET", "/notes")[0] == 429
        # ... and nobody else does, nor the sign-in of another address.
        assert Api(server, good).call("GET", "/notes")[0] == 200
        Snapper(server, "alice", "alice-pw")
    finally:
        server.stop()


def SignUpClosedLeavesAccountsToTheOperator(exe, db, work):
    server = Server(exe, db, work, args=("--sign-up", "closed"))
    try:
        browser = Browser(server)
        status, page = browser.get(server.base + "/users/add")
        assert status == 200 and "Sign-up is closed" in page and "password_confirm" not in page, page[:300]
        status, page = browser.post(server.base + "/users/add", {"data[User][username]": "mallory",
                                                                  "data[User][password]": "pw",
                                                                  "data[User][password_confirm]": "pw"})
        assert status == 403, status
        assert db.count("users") == 1, "an account was made with sign-up closed"
        Snapper(server, "alice", "alice-pw")  # the operator's accounts sign in as ever
    finally:
        server.stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("server")
    ap.add_argument("--xml")
    a = ap.parse_args()
    cases = [ApiAnswersEveryStatus, FailedTokensAreThrottledLikeSignIns, SignUpClosedLeavesAccountsToTheOperator]
    return run_suite("ApiClient", cases, ["sqlite", "postgresql"], a.xml, a.server)


if __name__ == "__main__":
    sys.exit(main())
