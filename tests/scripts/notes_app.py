#!/usr/bin/env python3
"""End to end: the notes board of examples/notes_app.c on 127.0.0.1, driven by http.client the
way a browser would: post a note, follow the page back, read the cookie, fetch the JSON list,
the stored stylesheet and a static file. Usage: notes_app.py BUILD_DIR
"""
import http.client
import json
import os
import signal
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
import announced  # noqa: E402

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
APP = os.path.join(BUILD, "notes_app")
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "notes")


class NotesAppTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.log = tempfile.NamedTemporaryFile(prefix="quorvel-notes-", suffix=".log", delete=False)
        cls.data = cls.log.name + ".notes"
        # Serving once it prints its URL, with the port the system gave.
        cls.process, cls.port = announced.start(
            [APP, "--root", ROOT, "--port", "0", "--log", cls.log.name, "--data", cls.data],
            stderr=subprocess.PIPE)

    @classmethod
    def tearDownClass(cls):
        cls.process.send_signal(signal.SIGTERM)
        code = cls.process.wait(timeout=10)
        cls.process.communicate()
        cls.log.close()
        with open(cls.log.name, "rb") as f:
            log = f.read().decode(errors="replace")
        os.unlink(cls.log.name)
        assert code == 0, "notes_app exited with %d" % code
        assert "error (" not in log, log
        # The worker pool wrote the note to the data file before the stop ended.
        with open(cls.data, "rb") as f:
            lines = f.read().decode("latin-1").splitlines()
        os.unlink(cls.data)
        assert len(lines) == 1 and lines[0].endswith("\tZoë; <b>\t<script>alert(1)</script>\\nbye"), lines

    def request(self, method, path, body=None, headers=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        conn.request(method, path, body=body, headers=headers or {})
        response = conn.getresponse()
        data = response.read()
        conn.close()
        return response, data

    def test_post_follow_cookie_json_and_escaping(self):
        # The board's pages are Latin-1, so a browser posts the form in Latin-1.
        form = urllib.parse.urlencode({"author": "Zoë; <b>", "text": "<script>alert(1)</script>\nbye"},
                                      encoding="latin-1")
        response, body = self.request("POST", "/notes", form,
                                      {"Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(response.status, 200)
        self.assertIn(b'url=/"', body)  # the page sends the browser back to the board
        cookie = response.getheader("Set-Cookie")
        self.assertRegex(cookie, r"^author=Zo%EB%3B%20%3Cb%3E; expires=\w{3}, \d\d \w{3} \d{4} "
                                 r"[\d:]{8} GMT; path=/$")

        response, body = self.request("GET", "/", headers={"Cookie": cookie.split(";")[0]})
        self.assertEqual((response.status, response.getheader("Content-Type")), (200, "text/html"))
        page = body.decode("latin-1")
        self.assertNotIn("<script>alert", page)
        self.assertIn("&#60;script&#62;alert&#40;1&#41;&#60;/script&#62;\nbye", page)
        # The name the cookie brought back fills the form, escaped.
        self.assertIn('value="Zo&#235;&#59; &#60;b&#62;"', page)

        response, body = self.request("GET", "/api/notes")
        self.assertEqual(response.getheader("Content-Type"), "application/json")
        self.assertEqual(response.getheader("Cache-Control"), "max-age=0, must-revalidate")
        notes = json.loads(body)
        self.assertEqual(notes[0]["author"], "Zoë; <b>")
        self.assertEqual(notes[0]["text"], "<script>alert(1)</script>\nbye")

    def test_empty_note_stylesheet_and_static_files(self):
        response, body = self.request("POST", "/notes", "author=x&text=",
                                      {"Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(response.status, 200)
        self.assertIn(b"needs some text", body)
        self.assertIsNone(response.getheader("Set-Cookie"))
        response, body = self.request("GET", "/style.css")
        self.assertEqual((response.status, response.getheader("Content-Type")), (200, "text/css"))
        self.assertIn(b".note", body)
        response, body = self.request("GET", "/about.html")
        self.assertEqual(response.status, 200)
        self.assertIn(b"notes_app.c", body)
        self.assertEqual(self.request("GET", "/missing.html")[0].status, 404)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
