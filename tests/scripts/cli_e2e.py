#!/usr/bin/env python3
"""End to end: quorvel-serve's command line, through its messages, exit statuses and what it
then serves on 127.0.0.1 (and ::1). Usage: cli_e2e.py BUILD_DIR
"""
import contextlib
import errno
import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
import announced  # noqa: E402

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
SERVE = os.path.join(BUILD, "tools", "quorvel-serve")
# The same program built without the path of the sources, as it is installed.
INSTALLED = os.path.join(BUILD, "tools", "installed", "quorvel-serve")
TOP = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DEMO = os.path.join(TOP, "demo", "www")
STAMP = rb"^\[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d\] - "
ACCESS = re.compile(rb'127\.0\.0\.1 - - \[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d \+0000\] '
                    rb'"GET (/\S*) HTTP/1\.[01]" (\d{3}) (\d+|-)')


def project_version():
    with open(os.path.join(TOP, "CMakeLists.txt")) as f:
        return re.search(r"project\(quorvel VERSION ([0-9.]+)", f.read()).group(1)


def run(*args, program=SERVE, **popen):
    """Runs quorvel-serve to its end (it must end by itself) and returns the result."""
    return subprocess.run([program, *args], capture_output=True, timeout=30, **popen)


def get(port, path, host="127.0.0.1", headers=None):
    conn = http.client.HTTPConnection(host, port, timeout=10)
    try:
        conn.request("GET", path, headers=headers or {})
        response = conn.getresponse()
        return response.status, response.read()
    finally:
        conn.close()


class Served:
    """A quorvel-serve started on a port the system gives; stop() ends it with SIGTERM and
    returns its exit status, the rest of its standard output and its standard error (when
    piped)."""

    def __init__(self, args, command=None, **popen):
        self.process, self.port = announced.start([*(command or [SERVE]), *args], **popen)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            out, err = self.process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
            raise
        return self.process.returncode, out, err


@contextlib.contextmanager
def serving(*args, **popen):
    served = Served(args, **popen)
    try:
        yield served
    finally:
        if served.process.returncode is None:
            served.stop()


def site(top, files):
    for name, data in files.items():
        path = os.path.join(top, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return top


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        self.top = tempfile.mkdtemp(prefix="quorvel-cli-")
        self.root = site(os.path.join(self.top, "root"), {
            "index.html": b"<p>home</p>\n", "a.txt": b"plain text\n",
            "sub/index.html": b"<p>sub index</p>\n", "sub/b.txt": b"b\n"})

    def tearDown(self):
        shutil.rmtree(self.top, ignore_errors=True)

    def test_version_and_help_with_every_option_and_its_default(self):
        result = run("--version")
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (0, b"quorvel-serve %s\n" % project_version().encode(), b""))
        result = run("--help")
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        text = result.stdout.decode()
        # One entry per option, from its name to the next entry: each names its default.
        entries = re.split(r"\n(?=  [-D])", text.partition("\n\n")[2])
        named = {re.match(r"  (DIR, )?(--[a-z-]+)", entry).group(2): entry for entry in entries}
        self.assertEqual(sorted(named), sorted([
            "--root", "--port", "--bind", "--index", "--no-dir-index", "--no-listing", "--log",
            "--access-log", "--debug", "--handlers", "--cache", "--ssi", "--bubbles",
            "--timeout", "--version", "--help"]))
        for name, entry in named.items():
            if name not in ("--version", "--help"):
                self.assertIn("default", entry, name)
        self.assertIn("(default: the demo site, %s)" % DEMO, " ".join(text.split()))

    def test_usage_errors_are_named_with_status_2(self):
        other = os.path.join(self.top, "other")
        for args, message in (
                (["--prot", "80"], "unknown option --prot (see --help)"),
                (["--prot=80"], "unknown option --prot (see --help)"),
                (["-p", "80"], "unknown option -p (see --help)"),
                (["--port", "abc"], "--port: 'abc' is not a number from 0 to 65534"),
                (["--port=65535"], "--port: '65535' is not a number from 0 to 65534"),
                (["--port", "-1"], "--port: '-1' is not a number from 0 to 65534"),
                (["--port"], "--port needs a value (see --help)"),
                (["--root", "--port", "0"], "--root needs a value (see --help)"),
                (["--handlers=0"], "--handlers: '0' is not a number from 1 to 1024"),
                (["--timeout", "5s"], "--timeout: '5s' is not a number of seconds from 1 to 86400"),
                (["--cache", "a.txt"], "--cache: 'a.txt' is not /URI=FILE"),
                (["--log="], "--log: the value is empty"),
                (["--debug=yes"], "--debug takes no value"),
                ([self.root, other], "one directory to serve, not two ('%s' and '%s')"
                 % (self.root, other)),
                ([self.root, "--root", other], "the directory to serve is given twice ('%s' "
                 "and --root '%s')" % (self.root, other))):
            result = run(*args)
            self.assertEqual((result.returncode, result.stdout, result.stderr.decode()),
                             (2, b"", "quorvel-serve: %s\n" % message), args)

    def test_a_root_that_cannot_be_served_is_named_with_its_cause_and_status_1(self):
        missing = os.path.join(self.top, "missing")
        file = os.path.join(self.root, "a.txt")
        for root, cause in ((missing, "no such directory"), (file, "not a directory"),
                            (os.path.join(file, "x"), "no such directory")):
            result = run(root, "--port", "0")
            self.assertEqual((result.returncode, result.stdout, result.stderr.decode()),
                             (1, b"", "quorvel-serve: cannot serve %s: %s\n" % (root, cause)))

    def test_a_port_in_use_is_named_with_its_cause_and_status_1(self):
        with socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen()
            port = holder.getsockname()[1]
            result = run("--root", self.root, "--port", str(port))
        self.assertEqual(result.returncode, 1)
        self.assertTrue(result.stderr.endswith(
            b"quorvel-serve: cannot listen on 127.0.0.1:%d: Address already in use\n" % port),
            result.stderr)

    def test_a_privileged_port_is_refused_with_permission_denied(self):
        # Run as nobody when the tests run as root, who may bind any port.
        as_user = {"user": 65534, "group": 65534, "extra_groups": []} if os.geteuid() == 0 else {}
        with open("/proc/sys/net/ipv4/ip_unprivileged_port_start") as f:
            if not as_user and int(f.read()) <= 80:
                self.skipTest("this machine lets every user bind port 80")
        os.chmod(self.top, 0o755)
        try:
            result = run(self.root, "--port", "80", **as_user)
        except PermissionError:
            self.skipTest("nobody cannot run %s here" % SERVE)
        if result.returncode == 127:
            self.skipTest("nobody cannot load the library here")
        self.assertEqual(result.returncode, 1)
        self.assertTrue(result.stderr.endswith(
            b"quorvel-serve: cannot listen on 127.0.0.1:80: Permission denied\n"), result.stderr)

    def test_value_forms_and_a_positional_root_serve_that_root(self):
        for args in ([self.root, "--port=0"], ["--root=" + self.root, "--port", "0"],
                     ["--port", "0", "--index=a.txt", "--", self.root]):
            with serving(*args, stderr=subprocess.DEVNULL) as served:
                status, body = get(served.port, "/")
            self.assertEqual(status, 200, args)
            self.assertEqual(body, b"plain text\n" if "--index=a.txt" in args else b"<p>home</p>\n",
                             args)

    def test_the_index_answers_every_directory_unless_no_dir_index(self):
        for flags, answer in (([], b"<p>sub index</p>\n"), (["--no-dir-index"], b"Index of /sub")):
            with serving(self.root, "--port", "0", *flags, stderr=subprocess.DEVNULL) as served:
                status, body = get(served.port, "/sub/")
            self.assertEqual(status, 200, flags)
            self.assertIn(answer, body, flags)

    def test_signed_in_private_folder_of_the_demo_shows_its_own_index_page(self):
        with open(os.path.join(DEMO, "private", "index.html"), "rb") as f:
            page = f.read()
        credentials = {"Authorization": "Basic ZGVtbzpxdW9ydmVs"}  # demo:quorvel
        # The demo's access file names its password file from the project's top.
        with serving("--port", "0", cwd=TOP, stderr=subprocess.DEVNULL) as served:
            self.assertEqual(get(served.port, "/private/")[0], 401)
            self.assertEqual(get(served.port, "/private/", headers=credentials), (200, page))

    def test_the_error_log_is_descriptor_2_itself_whatever_it_is(self):
        # A file without O_APPEND (as "2> file" opens it), a pipe, and a socket, which cannot
        # be opened again by a path.
        for kind in ("file", "pipe", "socket"):
            with contextlib.ExitStack() as held:
                if kind == "file":
                    target = held.enter_context(open(os.path.join(self.top, "stderr"), "wb"))
                elif kind == "socket":
                    ours, target = socket.socketpair()
                    held.enter_context(ours).settimeout(10)
                    held.enter_context(target)
                else:
                    target = subprocess.PIPE
                served = Served([self.root, "--port", "0", "--debug"], stderr=target)
                try:
                    self.assertEqual(get(served.port, "/a.txt"), (200, b"plain text\n"))
                finally:
                    code, _, text = served.stop()
                if kind == "file":
                    target.close()
                    with open(target.name, "rb") as f:
                        text = f.read()
                elif kind == "socket":
                    target.close()
                    text = ours.makefile("rb").read()
            self.assertEqual(code, 0, kind)
            self.assertIn(b"(quorvel_kernel, 15668): primary thread coming up...\n", text, kind)
            self.assertIn(b"(handler_thread, 15530): received connection..\n", text, kind)
            for line in text.splitlines():
                self.assertRegex(line, STAMP, kind)

    def test_messages_and_log_lines_on_one_file_keep_their_order(self):
        # The log shares descriptor 2 with the program's own messages: nothing is written
        # over, and the lines come in the order they were written.
        with open(os.path.join(self.top, "stderr"), "wb") as f, socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen()
            port = holder.getsockname()[1]
            code = subprocess.run([SERVE, self.root, "--port", str(port)], stdout=f, stderr=f,
                                  timeout=30).returncode
        with open(f.name, "rb") as written:
            lines = written.read().splitlines()
        self.assertEqual(code, 1)
        self.assertEqual(len(lines), 3, lines)
        self.assertRegex(lines[0], STAMP + rb"root directory set to ")
        self.assertRegex(lines[1], STAMP + rb"error \(socket_bind, 8538\): Address already in use")
        self.assertEqual(lines[2], b"quorvel-serve: cannot listen on 127.0.0.1:%d: Address "
                                   b"already in use" % port)

    def test_access_log_lines_on_standard_error_or_in_a_file(self):
        access = os.path.join(self.top, "access.log")
        for target in ("-", access):
            with serving(self.root, "--port", "0", "--log", os.path.join(self.top, "errors"),
                         "--access-log", target, stderr=subprocess.PIPE) as served:
                self.assertEqual(get(served.port, "/a.txt")[0], 200)
                self.assertEqual(get(served.port, "/missing")[0], 404)
                err = served.stop()[2]
            if target != "-":
                self.assertEqual(err, b"")
                with open(access, "rb") as f:
                    err = f.read()
            # A line leaves after its answer, so two handlers may write them in either order.
            lines = sorted((ACCESS.fullmatch(line) for line in err.splitlines()),
                           key=lambda line: line.groups() if line else ())
            self.assertTrue(all(lines), err)
            self.assertEqual([line.groups()[:2] for line in lines],
                             [(b"/a.txt", b"200"), (b"/missing", b"404")], err)
            self.assertEqual(lines[0].group(3), b"11")
        result = run(self.root, "--port", "0", "--access-log", os.path.join(self.top, "no", "x"))
        self.assertEqual(result.returncode, 1)
        self.assertTrue(result.stderr.endswith(b"quorvel-serve: cannot write the access log %s: "
                                               b"No such file or directory\n"
                                               % os.path.join(self.top, "no", "x").encode()),
                        result.stderr)


class AddressTest(unittest.TestCase):
    """--bind with a host name: one listener per address it has, on one port."""

    @staticmethod
    def ipv6_loopback():
        try:
            with socket.socket(socket.AF_INET6) as s:
                s.bind(("::1", 0))
            return True
        except OSError:
            return False

    def answers_on_every_address(self, addresses, command=None):
        with serving("--bind", "localhost", "--port", "0", command=command,
                     stderr=subprocess.DEVNULL) as served:
            for address in addresses:
                self.assertEqual(get(served.port, "/style.css", host=address)[0], 200, address)

    def test_localhost_answers_on_each_of_its_addresses(self):
        addresses = {ai[4][0] for ai in socket.getaddrinfo("localhost", None,
                                                           type=socket.SOCK_STREAM)}
        self.assertIn("127.0.0.1", addresses)
        self.answers_on_every_address(sorted(addresses))

    def test_a_name_of_both_loopbacks_shares_one_free_port_between_them(self):
        # Where localhost names 127.0.0.1 only, a private mount namespace gives this run a
        # hosts file that names both.
        if not self.ipv6_loopback():
            self.skipTest("no ::1 here")
        with tempfile.NamedTemporaryFile("w", prefix="quorvel-hosts-") as hosts:
            hosts.write("::1 localhost\n127.0.0.1 localhost\n")
            hosts.flush()
            command = ["unshare", "--map-root-user", "--mount", "sh", "-c",
                       'mount --bind "$0" /etc/hosts && exec "$@"', hosts.name, SERVE]
            probe = subprocess.run(command[:-1] + ["getent", "ahosts", "localhost"],
                                   capture_output=True, timeout=30) if shutil.which(
                "unshare") else None
            if probe is None or probe.returncode != 0 or b"::1" not in probe.stdout:
                self.skipTest("no private mount namespace here")
            self.answers_on_every_address(["127.0.0.1", "::1"], command=command)

    def test_every_interface_with_a_free_port(self):
        with serving("--bind", "any", "--port", "0", stderr=subprocess.DEVNULL) as served:
            self.assertEqual(get(served.port, "/style.css")[0], 200)
            if self.ipv6_loopback():
                self.assertEqual(get(served.port, "/style.css", host="::1")[0], 200)


class DefaultRootTest(unittest.TestCase):
    def test_the_build_serves_the_demo_site_of_its_sources(self):
        with serving("--port", "0", stderr=subprocess.DEVNULL) as served:
            status, body = get(served.port, "/style.css")
        with open(os.path.join(DEMO, "style.css"), "rb") as f:
            self.assertEqual((status, body), (200, f.read()))

    def test_installed_it_serves_the_site_beside_it_or_asks_for_a_root(self):
        if not os.path.exists(INSTALLED):
            self.skipTest("no installed variant in this build")
        with tempfile.TemporaryDirectory() as prefix:
            os.mkdir(os.path.join(prefix, "bin"))
            program = shutil.copy(INSTALLED, os.path.join(prefix, "bin"))
            result = run("--port", "0", program=program)
            self.assertEqual((result.returncode, result.stdout), (2, b""))
            self.assertEqual(result.stderr, b"quorvel-serve: no directory to serve: the demo "
                             b"site is not installed here; name one (quorvel-serve DIR, or "
                             b"--root DIR)\n")
            www = site(os.path.join(prefix, "share", "quorvel", "www"),
                       {"index.html": b"installed\n"})
            with serving("--port", "0", command=[program], stderr=subprocess.DEVNULL) as served:
                self.assertEqual(get(served.port, "/"), (200, b"installed\n"))
            self.assertIn(b"(default: the demo site, %s)" % www.encode(),
                          b" ".join(run("--help", program=program).stdout.split()))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
