#!/usr/bin/env python3
"""End to end: quorvel-serve on 127.0.0.1 answering real clients (raw sockets, http.client,
curl) from a site built in a temporary directory.

Usage: serve_e2e.py BUILD_DIR
"""
import base64
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
import threading
import time
import unittest

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
SERVE = os.path.join(BUILD, "tools", "quorvel-serve")
FOOTER = b"<ADDRESS>Server powered by Quorvel version 0.9.0</ADDRESS>\r\n</BODY></HTML>\r\n"
DATE_LINE = rb"Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d GMT\r\n"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            return False
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.02)
    return False


def raw(port, request, timeout=10):
    """Sends the request bytes and returns everything until the server closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        chunks = []
        while True:
            data = s.recv(65536)
            if not data:
                return b"".join(chunks)
            chunks.append(data)


def split(response):
    head, _, body = response.partition(b"\r\n\r\n")
    return head + b"\r\n\r\n", body


def error_page(title, heading, text):
    return ("<HTML><HEAD>\r\n<TITLE>%s</TITLE>\r\n</HEAD><BODY>\r\n<H1>%s</H1>\r\n%s\r\n<P>\r\n<HR>\r\n"
            % (title, heading, text)).encode() + FOOTER


NOT_FOUND = error_page("404 File not found", "File not found",
                       "The directory or document that you have\r\nrequested does not exist.")
UNAUTHORIZED = error_page("401 Unauthorized", "Unauthorized", "Your request has been refused.")
FORBIDDEN = error_page("403 Forbidden", "Forbidden",
                       "Your request will not be fulfilled.\r\nTo prevent your IP address from being blocked\r\non this server, do not make this request again.")


class Site:
    """The tree every test serves, with a canary file outside the root."""

    def __init__(self):
        self.top = tempfile.mkdtemp(prefix="quorvel-e2e-")
        self.root = os.path.join(self.top, "root")
        self.canary = os.path.join(self.top, "canary.txt")
        with open(self.canary, "w") as f:
            f.write("CANARY-SECRET")
        files = {
            "index.html": b"<html><body>home</body></html>\n",
            "a.txt": b"plain text file\n",
            "style.css": b"body { color: red; }\n",
            "image.png": b"\x89PNG\r\n\x1a\n" + bytes(range(256)),
            "notes.unknownext": b"just some readable words\n",
            "blob.unknownext": bytes(range(256)) * 4,
            "empty.txt": b"",
            "docs/a.txt": b"alpha\n",
            "docs/bb.txt": b"b" * 2000,
            "docs/sub/c.txt": b"c\n",
            "docs/<b>&\"name'.txt": b"hostile\n",
            "private/secret.txt": b"top secret\n",
            "private/inner/deep.txt": b"deep secret\n",
            "group/member.txt": b"for the group\n",
            "deny/x.txt": b"x\n",
            "allow/x.txt": b"x\n",
            "big.bin": os.urandom(3 * 1024 * 1024),
        }
        for name, data in files.items():
            path = os.path.join(self.root, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        self.files = files
        auth = os.path.join(self.top, "auth")
        os.makedirs(auth)
        self.passwd = os.path.join(auth, "passwd")
        self.groups = os.path.join(auth, "groups")
        with open(self.passwd, "w") as f:
            f.write("alice:wonder\nbob:builder\r\ncarol:singer")
        with open(self.groups, "w") as f:
            f.write("admins: carol\nadmin: bob,alice\n")
        self.htaccess("private", "AuthUserFile %s\nrequire valid-user\n" % self.passwd)
        self.htaccess("group", "AuthUserFile %s\nAuthGroupFile %s\nrequire group admins\n"
                      % (self.passwd, self.groups))
        self.htaccess("deny", "AuthUserFile %s\ndeny from 127.0.0.\n" % self.passwd)
        self.htaccess("allow", "AuthUserFile %s\nallow from 127.0.0.1\n" % self.passwd)

    def htaccess(self, directory, text):
        with open(os.path.join(self.root, directory, ".htaccess"), "w") as f:
            f.write(text)

    def remove(self):
        shutil.rmtree(self.top, ignore_errors=True)


class Server:
    def __init__(self, root, *args):
        self.port = free_port()
        self.log = tempfile.NamedTemporaryFile(prefix="quorvel-e2e-log-", delete=False).name
        self.process = subprocess.Popen(
            [SERVE, "--root", root, "--port", str(self.port), "--log", self.log] + list(args),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if not wait_for_port(self.port, self.process):
            out, err = self.process.communicate(timeout=10)
            raise RuntimeError("quorvel-serve did not come up: %r %r" % (out, err))

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            code = self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise
        out, err = self.process.communicate()
        with open(self.log, "rb") as f:
            log = f.read()
        os.unlink(self.log)
        return code, out, err, log


def basic(user, password):
    return base64.b64encode(("%s:%s" % (user, password)).encode()).decode()


class ServeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.site = Site()
        cls.server = Server(cls.site.root)
        cls.port = cls.server.port

    @classmethod
    def tearDownClass(cls):
        code, _, _, log = cls.server.stop()
        cls.site.remove()
        assert code == 0, "quorvel-serve exited with %d" % code
        # Nothing but expected refusals may have reached the error log.
        for line in log.decode(errors="replace").splitlines():
            assert "error (" not in line or any(
                known in line for known in (
                    "http_check_access", "httpsrv_rslvpath", "map_uri", "http_get_group",
                    "socket_", "parse_request_header", "http_request")), line

    def get(self, path, headers=None, method="GET"):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        conn.request(method, path, headers=headers or {})
        response = conn.getresponse()
        body = response.read()
        conn.close()
        return response, body

    # ---------------------------------------------------------------- files
    def test_file_header_lines_in_order_and_body(self):
        response = raw(self.port, b"GET /a.txt HTTP/1.0\r\n\r\n")
        head, body = split(response)
        mtime = os.stat(os.path.join(self.site.root, "a.txt")).st_mtime
        expected = (rb"HTTP/1\.0 200 OK\r\n" + DATE_LINE + rb"Server: Quorvel/1\.0\r\n"
                    rb"Content-Type: text/plain\r\nLast-Modified: "
                    + re.escape(email.utils.formatdate(mtime, usegmt=True).encode()) +
                    rb"\r\nContent-Length: 16\r\nConnection: close\r\n\r\n")
        self.assertRegex(head, expected)
        self.assertEqual(body, self.site.files["a.txt"])

    def test_three_mebibyte_file_with_curl(self):
        out = os.path.join(self.site.top, "download.bin")
        subprocess.run(["curl", "-s", "--http1.0", "--max-time", "30", "-o", out,
                        "http://127.0.0.1:%d/big.bin" % self.port], check=True)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), self.site.files["big.bin"])

    def test_mime_by_extension_and_by_content(self):
        cases = {"/style.css": "text/css", "/image.png": "image/png", "/a.txt": "text/plain",
                 "/notes.unknownext": "text/plain", "/blob.unknownext": "application/octet-stream",
                 "/": "text/html"}
        for path, expected in cases.items():
            response, _ = self.get(path)
            self.assertEqual(response.status, 200, path)
            self.assertEqual(response.getheader("Content-Type"), expected, path)

    def test_index_file_answers_the_root(self):
        response, body = self.get("/")
        self.assertEqual(body, self.site.files["index.html"])

    def test_empty_file_has_no_content_length(self):
        response = raw(self.port, b"GET /empty.txt HTTP/1.0\r\n\r\n")
        head, body = split(response)
        self.assertNotIn(b"Content-Length", head)
        self.assertEqual(body, b"")

    def test_head_carries_the_get_header_without_body(self):
        response = raw(self.port, b"HEAD /a.txt HTTP/1.0\r\n\r\n")
        self.assertTrue(response.endswith(b"Connection: close\r\n\r\n"), response)
        self.assertIn(b"Content-Length: 16\r\n", response)
        self.assertIn(b"Content-Type: text/plain\r\n", response)
        self.assertIn(b"Last-Modified: ", response)
        response, body = self.get("/a.txt", method="HEAD")
        self.assertEqual(response.status, 200)

    # ------------------------------------------------------------------ 304
    def test_not_modified_in_the_three_date_forms(self):
        later = time.time() + 3600
        forms = [
            email.utils.formatdate(later, usegmt=True),
            time.strftime("%A, %d-%b-%y %H:%M:%S GMT", time.gmtime(later)),
            time.strftime("%a %b %d %H:%M:%S %Y", time.gmtime(later)),
        ]
        for date in forms:
            response = raw(self.port, ("GET /a.txt HTTP/1.0\r\nIf-Modified-Since: %s\r\n\r\n"
                                       % date).encode())
            self.assertRegex(response, rb"^HTTP/1\.0 304 Not modified\r\n" + DATE_LINE +
                             rb"Server: Quorvel/1\.0\r\n\r\n$", date)
        earlier = email.utils.formatdate(time.time() - 10 * 365 * 86400, usegmt=True)
        response = raw(self.port, ("GET /a.txt HTTP/1.0\r\nIf-Modified-Since: %s\r\n\r\n"
                                   % earlier).encode())
        self.assertTrue(response.startswith(b"HTTP/1.0 200 OK\r\n"))
        response = raw(self.port, b"GET /a.txt HTTP/1.0\r\nIf-Modified-Since: garbage\r\n\r\n")
        self.assertTrue(response.startswith(b"HTTP/1.0 200 OK\r\n"))

    # ---------------------------------------------------------- error pages
    def assert_error(self, response, status_line, page):
        head, body = split(response)
        self.assertTrue(head.startswith(b"HTTP/1.0 " + status_line + b"\r\n"), head)
        self.assertIn(b"Content-Type: text/html\r\n", head)
        self.assertIn(b"Content-Length: %d\r\n" % len(body), head)
        self.assertEqual(body, page)

    def test_not_found_page_with_footer_and_exact_length(self):
        self.assert_error(raw(self.port, b"GET /nothing.html HTTP/1.0\r\n\r\n"),
                          b"404 File not found", NOT_FOUND)

    def test_dot_dot_is_refused_as_unauthorized(self):
        self.assert_error(raw(self.port, b"GET /docs/../a.txt HTTP/1.0\r\n\r\n"),
                          b"401 Unauthorized", UNAUTHORIZED)

    def test_access_files_are_forbidden(self):
        for path in (b"/private/.htaccess", b"/.htpasswd", b"/docs/.htsomething"):
            response = raw(self.port, b"GET " + path + b" HTTP/1.0\r\n\r\n")
            self.assert_error(response, b"403 Forbidden", FORBIDDEN)

    def test_traversal_never_leaks_the_canary(self):
        attempts = [b"/../canary.txt", b"/%2e%2e/canary.txt", b"/%2E%2E%2Fcanary.txt",
                    b"/..%2fcanary.txt", b"/..\\canary.txt", b"/%5c..%5ccanary.txt",
                    b"/docs/../../canary.txt", b"//../canary.txt",
                    self.site.canary.encode(), b"/" + self.site.canary.encode(),
                    b"/a.txt%00/../../canary.txt", b"/%00../canary.txt",
                    b"/docs/%2e%2e/%2e%2e/canary.txt", b"/....//canary.txt"]
        for path in attempts:
            response = raw(self.port, b"GET " + path + b" HTTP/1.0\r\n\r\n")
            self.assertNotIn(b"CANARY-SECRET", response, path)
            self.assertFalse(response.startswith(b"HTTP/1.0 200"), path)

    # ------------------------------------------------------ access control
    def test_basic_authentication(self):
        response = raw(self.port, b"GET /private/secret.txt HTTP/1.0\r\n\r\n")
        head, _ = split(response)
        self.assertTrue(head.startswith(b"HTTP/1.0 401 Authorization required\r\n"))
        self.assertIn(b'\r\nWWW-Authenticate: Basic realm="File Download Authorization"\r\n'
                      b"Content-Type: text/html\r\n", head)
        for user, password in (("alice", "wrong"), ("nobody", "x"), ("alic", "wonder")):
            response, _ = self.get("/private/secret.txt",
                                   {"Authorization": "Basic " + basic(user, password)})
            self.assertEqual(response.status, 401, user)
        for user, password in (("alice", "wonder"), ("bob", "builder"), ("carol", "singer")):
            response, body = self.get("/private/secret.txt",
                                      {"Authorization": "Basic " + basic(user, password)})
            self.assertEqual(response.status, 200, user)
            self.assertEqual(body, b"top secret\n")

    def test_subdirectory_inherits_protection(self):
        response, _ = self.get("/private/inner/deep.txt")
        self.assertEqual(response.status, 401)
        response, body = self.get("/private/inner/deep.txt",
                                  {"Authorization": "Basic " + basic("alice", "wonder")})
        self.assertEqual(body, b"deep secret\n")

    def test_curl_with_credentials(self):
        result = subprocess.run(["curl", "-s", "--http1.0", "--max-time", "10", "-u", "bob:builder",
                                 "http://127.0.0.1:%d/private/secret.txt" % self.port],
                                capture_output=True, check=True)
        self.assertEqual(result.stdout, b"top secret\n")

    def test_groups_compare_whole_names(self):
        carol = {"Authorization": "Basic " + basic("carol", "singer")}
        bob = {"Authorization": "Basic " + basic("bob", "builder")}
        self.assertEqual(self.get("/group/member.txt", carol)[0].status, 200)
        self.assertEqual(self.get("/group/member.txt", bob)[0].status, 401)  # group admin

    def test_address_rules(self):
        alice = {"Authorization": "Basic " + basic("alice", "wonder")}
        self.assertEqual(self.get("/deny/x.txt", alice)[0].status, 401)
        self.assertEqual(self.get("/allow/x.txt", alice)[0].status, 200)
        self.assertEqual(self.get("/allow/x.txt")[0].status, 401)

    # ------------------------------------------------------------- listings
    def listing(self, path):
        response, body = self.get(path)
        self.assertEqual(response.status, 200)
        self.assertEqual(response.getheader("Content-Type"), "text/html")
        self.assertIsNone(response.getheader("Content-Length"))
        return body.decode()

    def test_listing_title_parent_and_rows(self):
        page = self.listing("/docs/")
        self.assertTrue(page.startswith("<html><head><title>Index of /docs</title>"), page[:80])
        self.assertIn("<h2>Index of /docs</h2>", page)
        self.assertIn('<a href="/">(Parent Directory..)</a>', page)
        self.assertIn('<a href="/docs/a.txt">a.txt</a>', page)
        self.assertIn('<a href="/docs/sub">[sub]</a>', page)
        self.assertTrue(page.endswith("</table></div><hr><address>Server powered by Quorvel "
                                      "version 0.9.0</address></body></html>\r\n"))
        self.assertNotIn(".ht", page)

    def test_listing_escapes_hostile_names(self):
        page = self.listing("/docs/")
        self.assertNotIn("<b>&", page)
        self.assertIn("&lt;b&gt;&amp;&quot;name&#39;.txt", page)
        self.assertIn('href="/docs/%3Cb%3E%26%22name%27.txt"', page)

    def test_listing_sort_orders(self):
        def names(page):
            return re.findall(r'<a href="/docs/[^"]*">([^<]*)</a>', page)
        by_name = names(self.listing("/docs/"))
        self.assertEqual(by_name[0], "[sub]")  # directories first
        self.assertEqual(by_name[1:], sorted(by_name[1:]))
        by_size_desc = names(self.listing("/docs/?sm"))
        self.assertEqual(by_size_desc[0], "[sub]")
        self.assertEqual(by_size_desc[1], "bb.txt")
        page = self.listing("/docs/?sm")
        self.assertIn('<a href="?na">Name</a>', page)
        self.assertIn('<a href="?nm">Name</a>', self.listing("/docs/"))

    def test_root_listing_when_index_is_missing(self):
        site = Site()
        os.unlink(os.path.join(site.root, "index.html"))
        server = Server(site.root)
        try:
            conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
            conn.request("GET", "/")
            response = conn.getresponse()
            body = response.read().decode()
            self.assertIn("<title>Index of ROOT</title>", body)
            self.assertNotIn("Parent Directory", body)
            self.assertIn('<a href="/a.txt">a.txt</a>', body)
        finally:
            self.assertEqual(server.stop()[0], 0)
            site.remove()

    # ----------------------------------------------------------------- load
    def test_bounded_load_5000_requests_from_32_threads(self):
        expected = self.site.files["docs/bb.txt"]
        failures = []
        lock = threading.Lock()
        deadline = time.monotonic() + 120

        def client(count):
            for _ in range(count):
                if time.monotonic() > deadline:
                    with lock:
                        failures.append("deadline")
                    return
                try:
                    _, body = split(raw(self.port, b"GET /docs/bb.txt HTTP/1.0\r\n\r\n"))
                    if body != expected:
                        with lock:
                            failures.append("body")
                except OSError as e:
                    with lock:
                        failures.append(str(e))

        threads = [threading.Thread(target=client, args=(5000 // 32 + (1 if i < 5000 % 32 else 0),))
                   for i in range(32)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(failures, [])


class ServeProcessTest(unittest.TestCase):
    def test_busy_port_fails_with_status_1_and_a_message(self):
        with socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen()
            port = holder.getsockname()[1]
            site = Site()
            try:
                result = subprocess.run([SERVE, "--root", site.root, "--port", str(port),
                                         "--log", "/dev/null"], capture_output=True, timeout=30)
            finally:
                site.remove()
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"could not listen", result.stderr)

    def test_sigterm_stops_cleanly(self):
        site = Site()
        server = Server(site.root)
        try:
            self.assertEqual(raw(server.port, b"GET /a.txt HTTP/1.0\r\n\r\n")[:15], b"HTTP/1.0 200 OK")
        finally:
            code, out, _, _ = server.stop()
            site.remove()
        self.assertEqual(code, 0)
        self.assertIn(b"serving", out)

    def test_missing_root_is_reported(self):
        result = subprocess.run([SERVE, "--root", "/nonexistent/quorvel", "--port",
                                 str(free_port()), "--log", "/dev/null"],
                                capture_output=True, timeout=30)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"cannot serve", result.stderr)

    def test_help(self):
        result = subprocess.run([SERVE, "--help"], capture_output=True, timeout=30)
        self.assertEqual(result.returncode, 0)
        self.assertIn(b"--root", result.stdout)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
