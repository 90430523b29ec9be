#!/usr/bin/env python3
"""Serves the files of a directory over HTTPS and plain HTTP on loopback, for the
mail configuration lookup tests.

    autoconfig_server.py CERT KEY ROOT

prints "HTTPS_PORT HTTP_PORT" and serves until killed. GET /a/b answers with ROOT/a/b;
where ROOT/a/b.redirect exists, with a 301 to its text, "{http}" and "{https}" standing
for this server's two origins. Every request is appended to ROOT/requests.log as
"<scheme> <path with query>" with its Authorization header, if any."""

import http.server
import os
import ssl
import sys
import threading
import urllib.parse

CERT, KEY, ROOT = sys.argv[1:4]
LOCK = threading.Lock()
ORIGINS = {}


def handler_for(scheme):
    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_GET(self):
            with LOCK, open(os.path.join(ROOT, "requests.log"), "a") as log:
                log.write(f"{scheme} {self.path} {self.headers.get('Authorization', '')}\n")
            path = urllib.parse.urlsplit(self.path).path
            parts = [p for p in path.split("/") if p]
            if any(p in (".", "..") for p in parts):
                self.send_error(404)
                return
            file = os.path.join(ROOT, *parts)
            if os.path.isfile(file + ".redirect"):
                with open(file + ".redirect") as f:
                    target = f.read().strip().format(**ORIGINS)
                self.send_response(301)
                self.send_header("Location", target)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            if not os.path.isfile(file):
                self.send_error(404)
                return
            with open(file, "rb") as f:
                body = f.read()
            self.send_response(200)
            self.send_header("Content-Type", "text/xml")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

    return Handler


secure = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler_for("https"))
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(CERT, KEY)
secure.socket = context.wrap_socket(secure.socket, server_side=True)
plain = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler_for("http"))
ORIGINS["https"] = f"https://127.0.0.1:{secure.server_address[1]}"
ORIGINS["http"] = f"http://127.0.0.1:{plain.server_address[1]}"
threading.Thread(target=plain.serve_forever, daemon=True).start()
print(secure.server_address[1], plain.server_address[1], flush=True)
secure.serve_forever()
