#!/usr/bin/env python3
"""A small OAuth2 authorization server on 127.0.0.1 for the tests.

Prints "PORT <n>" on its first line of standard output once it listens, then serves
until it is terminated. Endpoints:

  GET  /authorize       authorization code with PKCE (S256 only); 302 to redirect_uri
  POST /token           grant_type authorization_code, refresh_token (rotating) and
                        urn:ietf:params:oauth:grant-type:device_code
  POST /device          device authorization (RFC 8628)
  POST /introspect      token introspection (RFC 7662)
  POST /control         JSON: user, introspection_down, access_lifetime,
                        device_approve_after_polls, device_slow_down_once,
                        device_expires_in, device_deny, device_interval
  GET  /control/issue   ?user=U: an access and a refresh token at once

A device code is approved on its device_approve_after_polls-th poll, not counting the
one answered slow_down; device_deny answers access_denied instead.
"""

import base64
import hashlib
import json
import secrets
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code"


class State:
    def __init__(self):
        self.lock = threading.Lock()
        self.user = "user"
        self.introspection_down = False
        self.access_lifetime = 3600
        self.device_approve_after_polls = 1
        self.device_slow_down_once = False
        self.device_expires_in = 600
        self.device_deny = False
        self.device_interval = 1
        self.access = {}  # token -> (user, expiry)
        self.refresh = {}  # token -> user
        self.codes = {}  # code -> what /authorize was given
        self.devices = {}  # device_code -> its state

    def mint(self, user):
        access = secrets.token_urlsafe(32)
        refresh = secrets.token_urlsafe(32)
        self.access[access] = (user, time.time() + self.access_lifetime)
        self.refresh[refresh] = user
        return access, refresh


STATE = State()


def loopback_redirect(uri):
    parts = urllib.parse.urlsplit(uri)
    try:
        port = parts.port
    except ValueError:
        return False
    return parts.scheme == "http" and parts.hostname == "127.0.0.1" and port is not None


def s256(verifier):
    digest = hashlib.sha256(verifier.encode("ascii", "replace")).digest()
    return base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body=None, headers=()):
        data = b"" if body is None else json.dumps(body).encode("utf-8")
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        if body is not None:
            self.send_header("Content-Type", "application/json")
            self.send_header("Cache-Control", "no-store")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length).decode("utf-8", "replace") if length > 0 else ""

    def form(self):
        return {k: v[0] for k, v in urllib.parse.parse_qs(self.body()).items()}

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = {k: v[0] for k, v in urllib.parse.parse_qs(url.query).items()}
        if url.path == "/authorize":
            self.authorize(query)
        elif url.path == "/control/issue":
            with STATE.lock:
                access, refresh = STATE.mint(query.get("user", STATE.user))
            self.answer(200, {"access_token": access, "refresh_token": refresh})
        else:
            self.answer(404, {"error": "not_found"})

    def do_POST(self):
        path = urllib.parse.urlsplit(self.path).path
        if path == "/token":
            self.token(self.form())
        elif path == "/device":
            self.device(self.form())
        elif path == "/introspect":
            self.introspect(self.form())
        elif path == "/control":
            self.control()
        else:
            self.answer(404, {"error": "not_found"})

    def authorize(self, query):
        redirect = query.get("redirect_uri", "")
        # A redirect that is not ours to check is never followed (RFC 6749, 4.1.2.1).
        if not loopback_redirect(redirect) or not query.get("client_id"):
            self.answer(400, {"error": "invalid_request"})
            return
        result = {"state": query.get("state", "")}
        if query.get("response_type") != "code":
            result["error"] = "unsupported_response_type"
        elif not query.get("code_challenge") or query.get("code_challenge_method") != "S256":
            result["error"] = "invalid_request"
        else:
            code = secrets.token_urlsafe(16)
            with STATE.lock:
                STATE.codes[code] = {
                    "client_id": query["client_id"],
                    "redirect_uri": redirect,
                    "challenge": query["code_challenge"],
                    "user": STATE.user,
                }
            result["code"] = code
        separator = "&" if urllib.parse.urlsplit(redirect).query else "?"
        location = redirect + separator + urllib.parse.urlencode(result)
        self.answer(302, None, [("Location", location)])

    def tokens(self, access, refresh):
        return {
            "access_token": access,
            "token_type": "Bearer",
            "expires_in": STATE.access_lifetime,
            "refresh_token": refresh,
        }

    def token(self, form):
        grant = form.get("grant_type")
        with STATE.lock:
            if grant == "authorization_code":
                answer = self.code_grant(form)
            elif grant == "refresh_token":
                # Rotating: the refresh token used here stops working.
                user = STATE.refresh.pop(form.get("refresh_token", ""), None)
                answer = (200, self.tokens(*STATE.mint(user))) if user else None
            elif grant == DEVICE_GRANT:
                answer = self.device_grant(form)
            else:
                answer = (400, {"error": "unsupported_grant_type"})
        self.answer(*(answer or (400, {"error": "invalid_grant"})))

    def code_grant(self, form):
        # A code is good for one exchange, whatever its outcome.
        given = STATE.codes.pop(form.get("code", ""), None)
        if (
            given is None
            or given["client_id"] != form.get("client_id")
            or given["redirect_uri"] != form.get("redirect_uri")
            or s256(form.get("code_verifier", "")) != given["challenge"]
        ):
            return None
        return 200, self.tokens(*STATE.mint(given["user"]))

    def device_grant(self, form):
        code = form.get("device_code", "")
        device = STATE.devices.get(code)
        if device is None:
            return None
        if time.time() > device["expires"]:
            del STATE.devices[code]
            return 400, {"error": "expired_token"}
        if STATE.device_deny:
            del STATE.devices[code]
            return 400, {"error": "access_denied"}
        if STATE.device_slow_down_once and not device["slowed"]:
            device["slowed"] = True
            return 400, {"error": "slow_down"}
        device["polls"] += 1
        if device["polls"] < STATE.device_approve_after_polls:
            return 400, {"error": "authorization_pending"}
        del STATE.devices[code]
        return 200, self.tokens(*STATE.mint(device["user"]))

    def device(self, form):
        if not form.get("client_id"):
            self.answer(400, {"error": "invalid_client"})
            return
        host, port = self.server.server_address[:2]
        with STATE.lock:
            code = secrets.token_urlsafe(24)
            user_code = "%04d-%04d" % (secrets.randbelow(10000), secrets.randbelow(10000))
            STATE.devices[code] = {
                "user": STATE.user,
                "expires": time.time() + STATE.device_expires_in,
                "polls": 0,
                "slowed": False,
            }
            answer = {
                "device_code": code,
                "user_code": user_code,
                "verification_uri": "http://%s:%d/device/verify" % (host, port),
                "expires_in": STATE.device_expires_in,
                "interval": STATE.device_interval,
            }
        self.answer(200, answer)

    def introspect(self, form):
        with STATE.lock:
            down = STATE.introspection_down
            found = STATE.access.get(form.get("token", ""))
        if down:
            self.answer(500, {"error": "temporarily_unavailable"})
        elif found is None or found[1] <= time.time():
            self.answer(200, {"active": False})
        else:
            self.answer(200, {"active": True, "username": found[0], "exp": int(found[1])})

    def control(self):
        try:
            settings = json.loads(self.body() or "{}")
        except ValueError:
            self.answer(400, {"error": "invalid_json"})
            return
        known = {
            "user": str,
            "introspection_down": bool,
            "access_lifetime": int,
            "device_approve_after_polls": int,
            "device_slow_down_once": bool,
            "device_expires_in": int,
            "device_deny": bool,
            "device_interval": int,
        }
        with STATE.lock:
            for name, kind in known.items():
                if name in settings:
                    setattr(STATE, name, kind(settings[name]))
        self.answer(200, {"ok": True})


def main():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
