#!/usr/bin/env python3
"""End to end: quorvel-serve on 127.0.0.1 answering real clients (http.client, curl and raw
sockets) from a site built in a temporary directory. Usage: serve_e2e.py BUILD_DIR
"""
import base64
import concurrent.futures
import email.utils
import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
import announced  # noqa: E402

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
SERVE = os.path.join(BUILD, "tools", "quorvel-serve")
# Written by the htpasswd tool: bea's password is bcrypt, april's the default MD5 form.
HTPASSWD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures", "htpasswd")
DATE = re.compile(r"Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep"
                  r"|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d GMT$")


def raw(port, request, timeout=10):
    """Sends the request bytes and returns everything until the server closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        return s.makefile("rb").read()


def header_lines(lines):
    """The header lines with the Date line's form checked and its value replaced by '*'."""
    lines = list(lines)
    assert all(DATE.match(line) for line in lines if line.startswith("Date: ")), lines
    return ["Date: *" if line.startswith("Date: ") else line for line in lines]


def basic(user, password, scheme="Basic"):
    credentials = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
    return {"Authorization": "%s %s" % (scheme, credentials)}


class ServeTest(unittest.TestCase):
    """One quorvel-serve for a site with a canary and a password file outside its root."""

    @classmethod
    def setUpClass(cls):
        cls.top = tempfile.mkdtemp(prefix="quorvel-e2e-")
        cls.root, cls.canary, cls.log = (os.path.join(cls.top, name)
                                         for name in ("root", "canary.txt", "log"))
        cls.files = {
            "index.html": b"<html><body>home</body></html>\n",
            "a.txt": b"plain text file\n",
            "style.css": b"body { color: red; }\n",
            "image.png": b"\x89PNG\r\n\x1a\n" + bytes(range(256)),
            "notes.unknownext": b"just some readable words\n",
            "blob.unknownext": bytes(range(256)) * 4,
            "docs/bb.txt": b"b" * 2000,
            "private/secret.txt": b"top secret\n",
            "private/inner/deep.txt": b"deep secret\n",
            "big.bin": os.urandom(3 * 1024 * 1024),
        }
        outside = {"canary.txt": b"CANARY-SECRET",
                   "root/private/.htaccess": b"AuthType Basic\nAuthName \"Private\"\n"
                   b"AuthUserFile %s\nRequire valid-user\n" % HTPASSWD.encode()}
        for name, data in [("root/" + n, d) for n, d in cls.files.items()] + [*outside.items()]:
            path = os.path.join(cls.top, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        # Serving once it prints its URL, with the port the system gave.
        cls.process, cls.port = announced.start(
            [SERVE, "--root", cls.root, "--port", "0", "--log", cls.log,
             "--cache", "/private/secret.txt=private/secret.txt"], stderr=subprocess.PIPE)

    @classmethod
    def tearDownClass(cls):
        cls.process.send_signal(signal.SIGTERM)
        try:
            code = cls.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            cls.process.kill()
            raise
        out = cls.process.communicate()[0]
        with open(cls.log, "rb") as f:
            log = f.read()
        shutil.rmtree(cls.top, ignore_errors=True)
        # Served and stopped cleanly on SIGTERM.
        assert code == 0, "quorvel-serve exited with %d" % code
        assert b"stopping" in out, out
        # Nothing but expected refusals may have reached the error log.
        for line in log.decode(errors="replace").splitlines():
            assert "error (" not in line or any(known in line for known in (
                "http_check_access", "httpsrv_rslvpath", "map_uri", "socket_",
                "parse_request_header", "http_request")), line

    def get(self, path, headers=None, method="GET"):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        conn.request(method, path, headers=headers or {})
        response = conn.getresponse()
        body = response.read()
        conn.close()
        return response, body

    def test_file_header_lines_in_order_and_body_with_http_client(self):
        mtime = os.stat(os.path.join(self.root, "a.txt")).st_mtime
        expected = ["Date: *", "Server: Quorvel/1.0", "Content-Type: text/plain",
                    "Last-Modified: " + email.utils.formatdate(mtime, usegmt=True),
                    "Content-Length: 16", "Connection: close"]
        for method, body in (("GET", self.files["a.txt"]), ("HEAD", b"")):
            response, got = self.get("/a.txt", method=method)
            self.assertEqual((response.version, response.status, response.reason), (10, 200, "OK"))
            self.assertEqual(header_lines("%s: %s" % h for h in response.getheaders()), expected)
            self.assertEqual(got, body)

    def curl(self, path, *options):
        return subprocess.run(["curl", "-s", "--http1.0", "--max-time", "30", *options,
                               "http://127.0.0.1:%d%s" % (self.port, path)],
                              capture_output=True, check=True).stdout

    def test_three_mebibyte_file_with_curl(self):
        out = os.path.join(self.top, "download.bin")
        lines = header_lines(self.curl("/big.bin", "-D", "-", "-o", out).decode().split("\r\n"))
        self.assertEqual(lines[:3], ["HTTP/1.0 200 OK", "Date: *", "Server: Quorvel/1.0"])
        self.assertEqual(lines[3], "Content-Type: application/octet-stream")
        self.assertEqual(lines[5:], ["Content-Length: 3145728", "Connection: close", "", ""])
        with open(out, "rb") as f:
            self.assertTrue(f.read() == self.files["big.bin"])

    def test_mime_by_extension_and_by_content_and_the_index_file(self):
        cases = {"/style.css": "text/css", "/image.png": "image/png", "/a.txt": "text/plain",
                 "/notes.unknownext": "text/plain", "/blob.unknownext": "application/octet-stream",
                 "/": "text/html"}
        for path, expected in cases.items():
            response, body = self.get(path)
            self.assertEqual((response.status, response.getheader("Content-Type")),
                             (200, expected), path)
            self.assertEqual(body, self.files[path[1:] or "index.html"], path)

    def test_traversal_never_leaks_the_canary(self):
        canary = self.canary.encode()
        for path in (b"/../canary.txt", b"/%2e%2e/canary.txt", b"/%2E%2E%2Fcanary.txt",
                     b"/..%2fcanary.txt", b"/..\\canary.txt", b"/%5c..%5ccanary.txt",
                     b"/docs/../../canary.txt", b"//../canary.txt", canary, b"/" + canary,
                     b"/a.txt%00/../../canary.txt", b"/%00../canary.txt",
                     b"/docs/%2e%2e/%2e%2e/canary.txt", b"/....//canary.txt"):
            response = raw(self.port, b"GET " + path + b" HTTP/1.0\r\n\r\n")
            self.assertNotIn(b"CANARY-SECRET", response, path)
            self.assertRegex(response, rb"^HTTP/1\.0 (401|403|404) ", path)

    def test_basic_authentication_and_inheritance(self):
        # /private/secret.txt is also served from the cache: it is guarded all the same.
        for path in ("/private/secret.txt", "/private/inner/deep.txt"):
            response, _ = self.get(path)
            self.assertEqual(response.status, 401, path)
            self.assertEqual(response.getheader("WWW-Authenticate"),
                             'Basic realm="File Download Authorization"')
            for user, password in (("bea", "wrong"), ("nobody", "x"), ("be", "Blow fish 5")):
                self.assertEqual(self.get(path, basic(user, password))[0].status, 401, user)
        response, body = self.get("/private/inner/deep.txt", basic("april", "apr:il-1", "basic"))
        self.assertEqual((response.status, body), (200, b"deep secret\n"))
        self.assertEqual(self.curl("/private/secret.txt", "-u", "bea:Blow fish 5"), b"top secret\n")

    def test_bounded_load_5000_requests_from_32_threads(self):
        expected = self.files["docs/bb.txt"]
        deadline = time.monotonic() + 120

        def client(count):  # the first failure of one client, or None
            for _ in range(count):
                if time.monotonic() > deadline:
                    return "deadline"
                response = raw(self.port, b"GET /docs/bb.txt HTTP/1.0\r\n\r\n")
                if not response.startswith(b"HTTP/1.0 200 OK\r\n") or \
                        response.partition(b"\r\n\r\n")[2] != expected:
                    return "wrong answer %r" % response[:100]
            return None

        with concurrent.futures.ThreadPoolExecutor(32) as pool:
            failures = pool.map(client, [5000 // 32 + (i < 5000 % 32) for i in range(32)])
        self.assertEqual([f for f in failures if f], [])


class ServeProcessTest(unittest.TestCase):
    """Features that need a quorvel-serve of their own (its command line: cli_e2e.py)."""

    def test_ssi_builds_the_demo_welcome_page(self):
        demo = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "demo", "www")
        with tempfile.TemporaryDirectory() as top:
            log = os.path.join(top, "log")
            process, port = announced.start(
                [SERVE, "--root", demo, "--port", "0", "--log", log, "--ssi",
                 "--cache", "/welcome.shtml=welcome.shtml"], stderr=subprocess.PIPE)
            try:
                reply = raw(port, b"GET /welcome.shtml?hello HTTP/1.0\r\n"
                                  b"User-Agent: e2e <agent>\r\n\r\n")
            finally:
                process.send_signal(signal.SIGTERM)
                process.communicate(timeout=10)
            with open(log, "rb") as f:
                self.assertNotIn(b"error (", f.read())
        head, _, body = reply.partition(b"\r\n\r\n")
        lines = head.decode().split("\r\n")
        self.assertEqual(lines[0], "HTTP/1.0 200 OK")
        self.assertIn("Content-Type: text/html", lines)
        self.assertIn("Content-Length: %d" % len(body), lines)
        for name in ("parts/banner.html", "parts/note.html"):
            with open(os.path.join(demo, name), "rb") as f:
                self.assertIn(f.read(), body, name)
        self.assertIn(b"<code>e2e &lt;agent&gt;</code>", body)
        self.assertIn(b"<code>hello</code>", body)
        self.assertIn(b"the conditional kept this line", body)
        self.assertNotIn(b"Wrap up warm", body)
        self.assertNotIn(b"<!--#", body)

    def test_plugins_dropped_into_a_directory_answer_after_the_start(self):
        demo = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "demo", "www")
        built = os.path.join(BUILD, "examples", "bubbles")
        with tempfile.TemporaryDirectory() as top:
            plugins = os.path.join(top, "plugins")
            os.mkdir(plugins)
            for name in os.listdir(built):
                if name.endswith(".bbl"):
                    shutil.copy(os.path.join(built, name), plugins)
            log = os.path.join(top, "log")
            process, port = announced.start(
                [SERVE, "--root", demo, "--port", "0", "--log", log, "--bubbles", plugins],
                stderr=subprocess.PIPE)
            try:
                hello = raw(port, b"GET /bubble/hello?e2e HTTP/1.0\r\n\r\n")
                notes = raw(port, b"GET /docs/notes.md HTTP/1.0\r\n\r\n")
            finally:
                process.send_signal(signal.SIGTERM)
                process.communicate(timeout=10)
            with open(log, "rb") as f:
                self.assertNotIn(b"could not load", f.read())
        self.assertTrue(hello.startswith(b"HTTP/1.0 200 OK\r\n"), hello[:200])
        self.assertIn(b"Hello from a bubble, e2e!", hello)
        if os.path.exists(os.path.join(built, "markdown_bubble.bbl")):
            head, _, body = notes.partition(b"\r\n\r\n")
            self.assertIn(b"Content-Type: text/html", head)
            self.assertIn(b"<h1>", body)
            self.assertNotIn(b"\n# ", body)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
