#!/usr/bin/env python3
"""A small extension update server for the demo, on 127.0.0.1 only (Python standard library).

Usage: server.py --packages DIR [--replies DIR] [--port N] [--log FILE]

Prints "PORT <n>" on standard output once it listens on 127.0.0.1:<n> (N 0 or absent: a free
port), then serves until it is terminated. It answers as an origin server and as an HTTP proxy
(absolute-form request targets), so a browser whose http_proxy names it reaches it under any
host name without a name lookup.

Routes (the host name does not matter):
  POST <any path>          the browser's list requests: the form body's "comp_names" picks the
                           reply file "<comp_names>.json" of the replies folder ("extsetup",
                           "extupdate"); any other name gets 404. A reply is padded with blanks
                           to more than 55 characters, since the browser drops shorter ones.
  GET  /packages/<name>    the package <name> (letters, digits, ".", "-", "_"; ".zip") of the
                           packages folder; 404 otherwise.

In a reply file, "{{sha256:NAME}}" becomes the SHA-256 of package NAME (computed at start; a
reply naming a missing package is refused at start) and "{{host}}" the request's host name.
Every request is logged to FILE (default: standard error) as "METHOD PATH [comp_names]".
"""
import argparse
import hashlib
import http.server
import os
import re
import socketserver
import sys
import threading
import urllib.parse

MAX_BODY = 64 * 1024
SHORTEST_USED_REPLY = 56  # the browser drops replies of 55 characters or fewer
PACKAGE_NAME = re.compile(r"[A-Za-z0-9_-][A-Za-z0-9._-]{0,127}\.zip")
COMP_NAME = re.compile(r"[A-Za-z0-9_]{1,64}")
TOKEN = re.compile(r"\{\{(sha256:([^{}]*)|host)\}\}")


def package_digests(folder):
    """SHA-256 (hex) of every package file in `folder`, by name."""
    digests = {}
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if PACKAGE_NAME.fullmatch(name) and os.path.isfile(path):
            with open(path, "rb") as package:
                digests[name] = hashlib.sha256(package.read()).hexdigest()
    return digests


def load_replies(folder, digests):
    """The reply templates by request name; raises ValueError on a reply naming no package."""
    replies = {}
    for name in sorted(os.listdir(folder)):
        stem, ext = os.path.splitext(name)
        if ext != ".json" or not COMP_NAME.fullmatch(stem):
            continue
        with open(os.path.join(folder, name), encoding="utf-8") as reply:
            text = reply.read()
        for match in TOKEN.finditer(text):
            if match.group(2) is not None and match.group(2) not in digests:
                raise ValueError("%s names the missing package %r" % (name, match.group(2)))
        replies[stem] = text
    return replies


def render(template, digests, host):
    def substitute(match):
        return digests[match.group(2)] if match.group(2) is not None else host
    text = TOKEN.sub(substitute, template)
    return text.ljust(SHORTEST_USED_REPLY)


def form_value(body, key):
    """The value of `key` in a form body; the browser sends its values without URL-encoding."""
    for part in body.split("&"):
        name, _, value = part.partition("=")
        if name == key:
            return value
    return None


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "plexore-update-server"
    timeout = 30  # a client that stops sending mid-request loses its connection

    def log_message(self, fmt, *args):  # requests are logged by log_request below
        pass

    def log_request(self, code="-", size="-"):
        pass

    def _note(self, text):
        with self.server.log_lock:
            self.server.log.write(text + "\n")
            self.server.log.flush()

    def _target(self):
        """(host, path) of the request, for origin-form and absolute-form targets."""
        parts = urllib.parse.urlsplit(self.path)
        host = parts.hostname or (self.headers.get("Host") or "").split(":")[0]
        return host, parts.path or "/"

    def _reply(self, code, body, content_type="text/plain; charset=utf-8"):
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_POST(self):
        host, path = self._target()
        try:
            length = int(self.headers.get("Content-Length") or "0")
        except ValueError:
            length = -1
        if length < 0 or length > MAX_BODY:
            self.close_connection = True
            self._reply(413, b"body too large or unreadable")
            return
        body = self.rfile.read(length).decode("utf-8", "replace")
        comp = form_value(body, "comp_names")
        self._note("POST %s comp_names=%s" % (path, comp))
        template = self.server.replies.get(comp) if comp and COMP_NAME.fullmatch(comp) else None
        if template is None:
            self._reply(404, b"no such list")
            return
        text = render(template, self.server.digests, host)
        self._reply(200, text.encode("utf-8"), "application/json; charset=utf-8")

    def do_GET(self):
        _, path = self._target()
        self._note("%s %s" % (self.command, path))
        name = path[len("/packages/"):] if path.startswith("/packages/") else ""
        if not PACKAGE_NAME.fullmatch(name) or name not in self.server.digests:
            self._reply(404, b"no such package")
            return
        with open(os.path.join(self.server.packages, name), "rb") as package:
            data = package.read()
        self._reply(200, data, "application/zip")

    do_HEAD = do_GET


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packages", required=True, help="folder of the package zips")
    parser.add_argument("--replies", default=os.path.join(here, "replies"))
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--log", help="request log file (default: standard error)")
    args = parser.parse_args(argv)
    if not 0 <= args.port <= 65535:
        parser.error("--port must be 0..65535")
    try:
        digests = package_digests(args.packages)
        replies = load_replies(args.replies, digests)
    except (OSError, ValueError) as error:
        print("server.py: %s" % error, file=sys.stderr)
        return 1
    server = Server(("127.0.0.1", args.port), Handler)
    server.packages, server.digests, server.replies = args.packages, digests, replies
    server.log = open(args.log, "a", encoding="utf-8") if args.log else sys.stderr
    server.log_lock = threading.Lock()
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
