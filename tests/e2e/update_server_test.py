#!/usr/bin/env python3
"""examples/update-server/server.py over real sockets on 127.0.0.1: the list replies, the
package route and what it refuses.

Usage: update_server_test.py SERVER_PY PACKAGES_DIR
"""
import hashlib
import http.client
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SERVER = None
PACKAGES = None


class Server:
    """server.py started on a free port with `replies` (name -> text) as its reply folder."""

    def __init__(self, replies):
        self.dir = tempfile.mkdtemp()
        os.mkdir(os.path.join(self.dir, "replies"))
        for name, text in replies.items():
            with open(os.path.join(self.dir, "replies", name), "w", encoding="utf-8") as f:
                f.write(text)
        self.log = os.path.join(self.dir, "log")
        self.process = subprocess.Popen(
            [sys.executable, SERVER, "--packages", PACKAGES, "--replies",
             os.path.join(self.dir, "replies"), "--log", self.log],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        self.port = int(line.split()[1]) if line.startswith("PORT ") else None

    def request(self, method, target, body=None, headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            connection.request(method, target, body=body, headers=headers or {})
            response = connection.getresponse()
            return response.status, response.read()
        finally:
            connection.close()

    def close(self):
        self.process.terminate()
        _, err = self.process.communicate(timeout=10)
        shutil.rmtree(self.dir)
        return err


def digest(name):
    with open(os.path.join(PACKAGES, name), "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class ListRepliesTest(unittest.TestCase):
    def setUp(self):
        self.server = Server({
            "extsetup.json": '{"u":"http://{{host}}/packages/readinglist.zip",'
                             '"h":"{{sha256:readinglist.zip}}"}',
            "extupdate.json": "{}",
        })
        self.assertIsNotNone(self.server.port)

    def tearDown(self):
        self.server.close()

    def test_setup_reply_names_the_request_host_and_the_package_digest(self):
        # Absolute-form target: the server is reached as a proxy under the update host's name.
        status, body = self.server.request(
            "POST", "http://updates.example.test/extlist",
            body="sign_algorithm=rsa&product_name=a b&comp_names=extsetup")
        self.assertEqual(status, 200)
        reply = json.loads(body)
        self.assertEqual(reply["u"], "http://updates.example.test/packages/readinglist.zip")
        self.assertEqual(reply["h"], digest("readinglist.zip"))

    def test_short_reply_is_padded_past_fifty_five_characters(self):
        status, body = self.server.request("POST", "/x", body="comp_names=extupdate")
        self.assertEqual(status, 200)
        self.assertEqual(len(body), 56)
        self.assertEqual(json.loads(body), {})

    def test_unknown_or_missing_list_names_get_404(self):
        for body in ["comp_names=extother", "comp_names=", "type=auto",
                     "comp_names=../extsetup", "comp_names=extsetup.json"]:
            with self.subTest(body=body):
                status, _ = self.server.request("POST", "/x", body=body)
                self.assertEqual(status, 404)

    def test_oversized_body_is_refused_unread(self):
        status, _ = self.server.request("POST", "/x", body="",
                                        headers={"Content-Length": str(64 * 1024 + 1)})
        self.assertEqual(status, 413)

    def test_packages_are_served_byte_for_byte_and_nothing_else(self):
        status, body = self.server.request("GET", "http://h.test/packages/translatebar.zip")
        self.assertEqual(status, 200)
        self.assertEqual(hashlib.sha256(body).hexdigest(), digest("translatebar.zip"))
        for target in ["/packages/../replies/extsetup.json", "/packages/%2e%2e%2fx.zip",
                       "/packages/.hidden.zip", "/packages/missing.zip", "/packages/",
                       "/other/translatebar.zip", "/packages/translatebar.zip/x"]:
            with self.subTest(target=target):
                status, _ = self.server.request("GET", target)
                self.assertEqual(status, 404)

    def test_every_request_is_logged(self):
        self.server.request("POST", "/extlist", body="comp_names=extsetup")
        self.server.request("GET", "/packages/readinglist.zip")
        with open(self.server.log, encoding="utf-8") as f:
            self.assertEqual(f.read().splitlines(),
                             ["POST /extlist comp_names=extsetup",
                              "GET /packages/readinglist.zip"])


class StartTest(unittest.TestCase):
    def test_reply_naming_a_missing_package_stops_the_start(self):
        server = Server({"extsetup.json": '{"h":"{{sha256:nothere.zip}}"}'})
        self.assertIsNone(server.port)
        self.assertEqual(server.process.wait(timeout=10), 1)
        self.assertIn("nothere.zip", server.close())


if __name__ == "__main__":
    SERVER, PACKAGES = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1])
