#!/usr/bin/env python3
"""A loopback HTTP server for the tests: it answers as an origin server and as an HTTP proxy
(absolute-form request targets), so that clients pointed at it through `http_proxy` can ask for
any host name while nothing leaves 127.0.0.1.

Usage: loopback_http_server.py LOG_FILE
Prints "PORT <n>" on stdout once it listens on 127.0.0.1:<n>; stops when stdin closes.

Every request is appended to LOG_FILE, before the reply is sent, as one tab-separated line:
  method host port path query content-type content-length user-agent accept body-hex
(port is the one named in the target, "" when none; host is from the target or Host header).

Routes (by path; the host does not matter):
  /echo                 200, body "echo:" + request body
  /status/<code>        <code>, body "status <code>"
  /bytes/<n>            200, n bytes: byte i is 'a' + i % 26
  /empty                200, no body
  /redirect-to/<url>    302, Location: <url> (percent-decoded)
  /loop                 302, Location: the request's own absolute URL
  /stall/<total>/<sent> 200 with Content-Length <total>; sends <sent> bytes of the /bytes
                        pattern, then waits (up to 30 s) for the client to go away
  /files/<name>         200 with the bytes of <name> (a plain file name) in the directory named
                        by the environment variable LOOPBACK_FILES_DIR, read at request time;
                        404 when it is missing
  /slow/<ms>/<name>     as /files/<name>, after waiting <ms> milliseconds (at most 10 s)
  anything else         404, body "no route"
"""
import http.server
import os
import socketserver
import sys
import threading
import time
import urllib.parse

LOG_LOCK = threading.Lock()
LOG_PATH = None


def pattern(n):
    return bytes(ord("a") + i % 26 for i in range(n))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # headers and body leave at once, no delayed-ACK stall

    def log_message(self, fmt, *args):  # keep stderr quiet
        pass

    def _target(self):
        target = self.path
        if target.startswith("http://") or target.startswith("https://"):
            parts = urllib.parse.urlsplit(target)
            host = parts.hostname or ""
            port = "" if parts.port is None else str(parts.port)
            return host, port, parts.path or "/", parts.query, target
        host = (self.headers.get("Host") or "").split(":")[0]
        parts = urllib.parse.urlsplit(target)
        return host, "", parts.path or "/", parts.query, "http://%s%s" % (host, target)

    def _record(self, body):
        host, port, path, query, _ = self._target()
        fields = [self.command, host, port, path, query,
                  self.headers.get("Content-Type") or "",
                  self.headers.get("Content-Length") or "",
                  self.headers.get("User-Agent") or "",
                  self.headers.get("Accept") or "",
                  body.hex()]
        line = "\t".join(f.replace("\t", " ").replace("\n", " ") for f in fields) + "\n"
        with LOG_LOCK:
            with open(LOG_PATH, "a", encoding="utf-8") as log:
                log.write(line)

    def _reply(self, code, body=b"", headers=()):
        self.send_response(code)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _handle(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        self._record(body)
        _, _, path, _, absolute = self._target()
        segments = path.split("/")
        if path == "/echo":
            self._reply(200, b"echo:" + body)
        elif path == "/empty":
            self._reply(200)
        elif path == "/loop":
            self._reply(302, b"", [("Location", absolute)])
        elif len(segments) == 3 and segments[1] == "status" and segments[2].isdigit():
            code = int(segments[2])
            self._reply(code, ("status %d" % code).encode())
        elif len(segments) == 3 and segments[1] == "bytes" and segments[2].isdigit():
            self._reply(200, pattern(int(segments[2])))
        elif path.startswith("/redirect-to/"):
            location = urllib.parse.unquote(path[len("/redirect-to/"):])
            self._reply(302, b"", [("Location", location)])
        elif len(segments) == 3 and segments[1] == "files":
            self._file(segments[2])
        elif len(segments) == 4 and segments[1] == "slow" and segments[2].isdigit():
            time.sleep(min(int(segments[2]), 10000) / 1000.0)
            self._file(segments[3])
        elif (len(segments) == 4 and segments[1] == "stall" and segments[2].isdigit()
              and segments[3].isdigit()):
            self._stall(int(segments[2]), int(segments[3]))
        else:
            self._reply(404, b"no route")

    def _file(self, name):
        root = os.environ.get("LOOPBACK_FILES_DIR") or ""
        path = os.path.join(root, name)
        if (not root or name in ("", ".", "..") or "/" in name or "\\" in name
                or not os.path.isfile(path)):
            self._reply(404, b"no file")
            return
        with open(path, "rb") as f:
            self._reply(200, f.read())

    def _stall(self, total, sent):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(total))
        self.end_headers()
        self.wfile.write(pattern(total)[:sent])
        self.wfile.flush()
        self.connection.settimeout(30)
        deadline = time.monotonic() + 30
        try:
            while time.monotonic() < deadline:
                if not self.connection.recv(1):
                    break  # the client went away
        except OSError:
            pass
        self.close_connection = True

    do_GET = _handle
    do_POST = _handle
    do_HEAD = _handle


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128  # many clients at once must not wait for a SYN retry


def main():
    global LOG_PATH
    LOG_PATH = sys.argv[1]
    open(LOG_PATH, "w").close()
    server = Server(("127.0.0.1", 0), Handler)
    print("PORT %d" % server.server_address[1], flush=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    sys.stdin.read()  # returns when the test process closes our stdin or exits
    os._exit(0)  # at once: connections still stalled must not hold the test up


if __name__ == "__main__":
    main()
