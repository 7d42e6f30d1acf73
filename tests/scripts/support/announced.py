"""Programs under test started on port 0 announce where they serve on their standard output
("http://127.0.0.1:PORT/" or "127.0.0.1:PORT"): the port is read from that line, never guessed
in advance, so tests running at the same time cannot pick the same one.
"""
import re
import select
import subprocess
import time

ADDRESS = re.compile(rb"127\.0\.0\.1:(\d+)")


def start(command, timeout=10, **popen):
    """Starts `command` with its standard output piped unbuffered; returns the process and the
    port of the first line naming 127.0.0.1:PORT. The process is killed when no such line comes
    within `timeout` seconds or the program ends first."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, bufsize=0, **popen)
    try:
        return process, port_of(process, timeout)
    except RuntimeError as failure:
        process.kill()
        err = process.communicate(timeout=timeout)[1]
        raise RuntimeError("%s; standard error: %r" % (failure, err)) from None


def port_of(process, timeout):
    deadline = time.monotonic() + timeout
    seen = b""
    while True:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([process.stdout], [], [], left)[0]:
            raise RuntimeError("%s announced no port within %d s: %r"
                               % (process.args[0], timeout, seen))
        line = process.stdout.readline()  # unbuffered: the rest stays in the pipe
        if not line:
            raise RuntimeError("%s ended with status %s before serving: %r"
                               % (process.args[0], process.wait(timeout), seen))
        seen += line
        match = ADDRESS.search(line)
        if match:
            return int(match.group(1))
