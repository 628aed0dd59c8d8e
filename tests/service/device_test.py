#!/usr/bin/env python3
"""Pairing a device (the OAuth 2.0 device authorization grant) with two
instances of pinleaf-server on one database, on both backends: the device
asks one instance, its owner approves on the other, and either answers the
polls. Every answer of the token endpoint (authorization_pending, slow_down,
access_denied, expired_token, the token, invalid_grant for a code used),
a code used once, wrong codes throttled like sign-ins, and the token a
capture token named after the device.

  device_test.py PINLEAF_SERVER [--xml RESULT.xml]
"""
import argparse
import json
import re
import sys
import time
import urllib.parse

from service_support import Api, Browser, Server, psql, request, run_suite

GRANT = "urn:ietf:params:oauth:grant-type:device_code"


def form(server, path, fields, source="127.0.0.1"):
    status, headers, body = request(server.port, "POST", server.base + path, urllib.parse.urlencode(fields).encode(),
                                    {"Content-Type": "application/x-www-form-urlencoded"}, source)
    assert headers.get("content-type", "").startswith("application/json"), (status, headers, body[:200])
    return status, json.loads(body)


def ask(server, device="HOST-1", client="textsnap"):
    status, answer = form(server, "/oauth/device", {"client_id": client, "scope": "capture", "device_name": device})
    assert status == 200, (status, answer)
    return answer


def poll(server, answer, client="textsnap"):
    return form(server, "/oauth/token", {"grant_type": GRANT, "device_code": answer["device_code"],
                                          "client_id": client})


def expect_error(got, error, what):
    status, answer = got
    assert status == 400 and answer.get("error") == error, f"{what}: expected {error}, got {status} {answer}"
    return answer


def set_grant(db, answer, column, value):
    code = answer["user_code"].replace("-", "")
    if db.kind == "sqlite":
        import subprocess
        subprocess.run(["sqlite3", "-cmd", ".timeout 5000", db.path,
                        f"UPDATE device_grants SET {column} = {value} WHERE user_code = '{code}'"], check=True)
    else:
        psql(f"UPDATE {db.schema}.device_grants SET {column} = {value} WHERE user_code = '{code}'")


def decide(browser, server, answer, decision):
    """Opens verification_uri_complete as the signed-in owner and presses a button; the page's text."""
    path = urllib.parse.urlsplit(answer["verification_uri_complete"])
    status, page = browser.get(path.path + "?" + path.query)
    assert status == 200 and answer["user_code"] in page, page[:400]
    status, page = browser.post(server.base + "/device", {"token": browser.token_of(page),
                                                           "user_code": answer["user_code"].replace("-", ""),
                                                           "decision": decision})
    return status, page


def PairingAcrossTwoInstances(exe, db, work):
    one = Server(exe, db, work)
    two = Server(exe, db, work, users=())
    try:
        # The device asks the first instance.
        answer = ask(one)
        assert re.fullmatch(r"[BCDFGHJKLMNPQRSTVWXZ]{4}-[BCDFGHJKLMNPQRSTVWXZ]{4}", answer["user_code"]), answer
        assert answer["verification_uri"] == one.url + "/device", answer
        assert answer["verification_uri_complete"] == one.url + "/device?user_code=" + answer["user_code"]
        assert answer["expires_in"] == 600 and answer["interval"] == 5 and len(answer["device_code"]) >= 32
        expect_error(poll(one, answer), "authorization_pending", "the first poll")
        slow = expect_error(poll(two, answer), "slow_down", "a poll sooner than the interval")
        assert slow["interval"] == 10, slow
        polled_at = time.monotonic()

        # The owner, signed out, follows the link at the second instance: the
        # sign-in leads back to the code, the code is shown with the device's name.
        owner = Browser(two)
        path = urllib.parse.urlsplit(answer["verification_uri_complete"])
        status, page = owner.get(path.path + "?" + path.query)
        assert "Sign in to pair a device" in page, page[:300]
        status, page = owner.post(two.base + "/users/login", {
            "token": owner.token_of(page), "data[User][username]": "alice", "data[User][password]": "alice-pw",
            "next": re.search(r'name="next" value="([^"]+)"', page).group(1).replace("&amp;", "&")})
        assert status == 200 and answer["user_code"] in page and "text snap on HOST-1" in page, page[:500]
        status, page = owner.post(two.base + "/device", {"token": owner.token_of(page),
                                                          "user_code": answer["user_code"], "decision": "approve"})
        assert status == 200 and "Paired" in page, page[:300]
        time.sleep(max(0.0, 10.5 - (time.monotonic() - polled_at)))
        status, token = poll(two, answer)
        assert status == 200 and token["token_type"] == "Bearer" and token["scope"] == "capture", (status, token)

        # A capture token, named after the device, that works at either instance.
        api = Api(one, token["access_token"])
        assert api.call("POST", "/notes", {"text": "paired", "paper_id": "20261213000000001"})[0] == 201
        assert Api(two, token["access_token"]).call("GET", "/notes")[0] == 403
        _, page = owner.get(two.base + "/tokens")
        assert "text snap on HOST-1" in page and ">capture<" in page, page[:600]

        # Used once: the device code gives no second token, the user code no second decision.
        expect_error(poll(one, answer), "invalid_grant", "a used device code")
        status, page = owner.post(two.base + "/device", {"token": owner.token_of(page),
                                                          "user_code": answer["user_code"], "decision": "approve"})
        assert "used already" in page, page[:300]

        # Denied.
        denied = ask(two, device="HOST-2")
        status, page = decide(owner, one, denied, "deny")
        assert "Not paired" in page, page[:300]
        expect_error(poll(one, denied), "access_denied", "a denied code")

        # Expired: neither approved on the page nor answered with a token.
        late = ask(one, device="HOST-3")
        set_grant(db, late, "expires_ms", "1")
        expect_error(poll(two, late), "expired_token", "an expired code")
        status, page = owner.get(one.base + "/device?user_code=" + late["user_code"])
        assert "not valid, or it has expired" in page, page[:300]

        # A device code of another client, and malformed requests.
        other = ask(one, client="other-app")
        expect_error(poll(one, other, client="textsnap"), "invalid_grant", "another client's code")
        expect_error(form(one, "/oauth/token", {"grant_type": "password", "device_code": "x", "client_id": "textsnap"}),
                     "unsupported_grant_type", "a password grant")
        expect_error(form(one, "/oauth/token", {"grant_type": GRANT, "client_id": "textsnap"}), "invalid_request",
                     "no device code")
        expect_error(form(one, "/oauth/device", {"scope": "capture"}), "invalid_request", "no client_id")
        expect_error(form(one, "/oauth/device", {"client_id": "textsnap", "scope": "admin"}), "invalid_scope",
                     "an unknown scope")
        status, headers, _ = request(one.port, "GET", one.base + "/oauth/token")
        assert status == 405, status
    finally:
        one.stop()
        two.stop()


def WrongCodesAreThrottledLikeSignIns(exe, db, work):
    server = Server(exe, db, work)
    try:
        right = ask(server)
        owner = Browser(server)
        owner.sign_in("alice", "alice-pw")
        said = []
        for wrong in ("BBBB-BBBB", "CCCC-CCCC", "DDDD-DDDD", "FFFF-FFFF", "GGGG-GGGG", "HHHH-HHHH"):
            status, page = owner.get(server.base + "/device?user_code=" + wrong)
            said.append("Too many wrong codes" in page)
        assert said == [False] * 5 + [True], said
        # Held back, the right code waits too ...
        status, page = owner.get(server.base + "/device?user_code=" + right["user_code"])
        assert "Too many wrong codes" in page
        # ... until the wait is over; the grant was kept meanwhile.
        time.sleep(2.5)
        status, page = decide(owner, server, right, "approve")
        assert "Paired" in page, page[:300]
        # Codes typed loosely still count as the code.
        again = ask(server, device="HOST-9")
        loose = again["user_code"].lower().replace("-", " ")
        status, page = owner.get(server.base + "/device?user_code=" + urllib.parse.quote(loose))
        assert "text snap on HOST-9" in page, page[:300]
    finally:
        server.stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("server")
    ap.add_argument("--xml")
    a = ap.parse_args()
    return run_suite("DeviceGrant", [PairingAcrossTwoInstances, WrongCodesAreThrottledLikeSignIns],
                     ["sqlite", "postgresql"], a.xml, a.server)


if __name__ == "__main__":
    sys.exit(main())
