#!/usr/bin/env python3
"""The example host examples/sum_host.c on 127.0.0.1 and the port it announces once serving
(usage: sum_host.py BUILD_DIR).

2000 exchanges from 16 client threads, one connection each: "&sum;" and the record "ii" (checksum
of the format, both integers, big-endian) go out, the record "i" with the sum comes back. All must
succeed; after SIGTERM the host exits with status 0 and no error line in its log.
"""
import os
import random
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
import announced  # noqa: E402

EXCHANGES, CLIENTS = 2000, 16
IO_TIMEOUT, START_TIMEOUT, RUN_TIMEOUT, EXIT_TIMEOUT = 10.0, 20.0, 120.0, 15.0  # seconds

# The library's checksum of marshalled records: a nibble-table CRC-16 update started at
# 101012345. The last entry of the high table is 0x4600, not the textbook 0x4400.
HASH_LOW = [0x0000, 0xC0C1, 0xC181, 0x0140, 0xC301, 0x03C0, 0x0280, 0xC241,
            0xC601, 0x06C0, 0x0780, 0xC741, 0x0500, 0xC5C1, 0xC481, 0x0440]
HASH_HIGH = [0x0000, 0xCC01, 0xD801, 0x1400, 0xF001, 0x3C00, 0x2800, 0xE401,
             0xA001, 0x6C00, 0x7800, 0xB401, 0x5000, 0x9C01, 0x8801, 0x4600]


def checksum(fmt):
    r = 101012345
    for byte in fmt.encode():
        v = (byte ^ r) & 0xFF
        r = (r >> 8) ^ HASH_HIGH[v >> 4] ^ HASH_LOW[v & 0xF]
    return r & 0xFFFFFFFF


CHECK_II, CHECK_I = checksum("ii"), checksum("i")


def exchange(port, a, b):
    with socket.create_connection(("127.0.0.1", port), timeout=IO_TIMEOUT) as sock:
        sock.sendall(b"&sum;" + struct.pack(">Iii", CHECK_II, a, b))
        data = sock.makefile("rb").read()  # everything until the host closes
        expected = struct.pack(">Ii", CHECK_I, (a + b + 2**31) % 2**32 - 2**31)
        if data != expected:
            raise ValueError("%d + %d: got %r, expected %r" % (a, b, data, expected))


def run_clients(port):
    failures, done = [], [0] * CLIENTS  # each client counts its own exchanges
    deadline = time.monotonic() + RUN_TIMEOUT

    def client(seed):
        rng = random.Random(seed)
        for _ in range(EXCHANGES // CLIENTS):
            try:
                if time.monotonic() > deadline:
                    raise TimeoutError("out of time")
                exchange(port, rng.randint(-2**31, 2**31 - 1), rng.randint(-2**31, 2**31 - 1))
                done[seed] += 1
            except Exception as e:  # every failure is collected and reported
                failures.append("client %d: %r" % (seed, e))
                return

    threads = [threading.Thread(target=client, args=(i,), daemon=True) for i in range(CLIENTS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()) + IO_TIMEOUT)
    if any(t.is_alive() for t in threads):
        failures.append("clients still running after %.0f s" % RUN_TIMEOUT)
    return sum(done), failures[:10]


def main():
    host = os.path.abspath(os.path.join(sys.argv[1] if len(sys.argv) > 1 else ".", "sum_host"))
    with tempfile.TemporaryDirectory() as work:
        log_path = os.path.join(work, "sum_host.log")
        # The host listens once it prints "serving on 127.0.0.1:PORT".
        process, port = announced.start([host, "0", log_path], timeout=START_TIMEOUT,
                                        stderr=subprocess.PIPE, cwd=work)
        problems, done = [], 0
        try:
            done, problems = run_clients(port)
        finally:
            process.send_signal(signal.SIGTERM)  # a no-op once the host has exited
            try:
                err = process.communicate(timeout=EXIT_TIMEOUT)[1]
            except subprocess.TimeoutExpired:
                process.kill()
                err = process.communicate()[1]
                problems.append("sum_host did not exit within %.0f s of SIGTERM" % EXIT_TIMEOUT)
        if done != EXCHANGES or process.returncode != 0:
            problems.append("%d of %d exchanges done, exit status %d"
                            % (done, EXCHANGES, process.returncode))
        with open(log_path, errors="replace") as f:
            problems += ["log: " + line.rstrip() for line in f if "error (" in line][:10]
        sys.stderr.write(err.decode(errors="replace"))
        print("\n".join(problems) or "%d exchanges from %d clients" % (done, CLIENTS),
              file=sys.stderr if problems else sys.stdout)
        return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
