#!/usr/bin/env python3
"""End-to-end run of the example host examples/sum_host.c.

Starts sum_host on a free port of 127.0.0.1 and runs 2000 "sum" exchanges from 16 client
threads, one connection each: "&sum;" and the record "ii" (the big-endian checksum of the
format, then both integers big-endian) go out, the record "i" (the checksum of "i", then the
sum) comes back. Every exchange must succeed; after SIGTERM the host must exit with status 0
and no error line in its log. Everything is bounded in time.

Usage: sum_host.py BUILD_DIR
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

EXCHANGES = 2000
CLIENTS = 16
IO_TIMEOUT = 10.0      # seconds for any one socket operation
START_TIMEOUT = 20.0   # seconds for the host to start listening
RUN_TIMEOUT = 120.0    # seconds for all exchanges
EXIT_TIMEOUT = 15.0    # seconds for the host to exit after SIGTERM

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


CHECK_II = checksum("ii")
CHECK_I = checksum("i")


def exchange(port, a, b):
    with socket.create_connection(("127.0.0.1", port), timeout=IO_TIMEOUT) as sock:
        sock.sendall(b"&sum;" + struct.pack(">Iii", CHECK_II, a, b))
        data = b""
        while len(data) < 8:
            piece = sock.recv(8 - len(data))
            if not piece:
                raise ConnectionError("closed after %d of 8 bytes" % len(data))
            data += piece
        check, total = struct.unpack(">Ii", data)
        if check != CHECK_I:
            raise ValueError("checksum %#x, expected %#x" % (check, CHECK_I))
        if total != (a + b + 2**31) % 2**32 - 2**31:
            raise ValueError("%d + %d gave %d" % (a, b, total))
        if sock.recv(1) != b"":
            raise ValueError("bytes after the answer")


def run_clients(port):
    failures, done, lock = [], [0], threading.Lock()
    deadline = time.monotonic() + RUN_TIMEOUT

    def client(seed):
        rng = random.Random(seed)
        for _ in range(EXCHANGES // CLIENTS):
            try:
                if time.monotonic() > deadline:
                    raise TimeoutError("out of time")
                exchange(port, rng.randint(-2**31, 2**31 - 1), rng.randint(-2**31, 2**31 - 1))
            except Exception as e:  # every failure is collected and reported
                with lock:
                    failures.append("client %d: %r" % (seed, e))
                return
            with lock:
                done[0] += 1

    threads = [threading.Thread(target=client, args=(i,), daemon=True) for i in range(CLIENTS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()) + IO_TIMEOUT)
    if any(t.is_alive() for t in threads):
        failures.append("clients still running after %.0f s" % RUN_TIMEOUT)
    return done[0], failures


def main():
    host = os.path.abspath(os.path.join(sys.argv[1] if len(sys.argv) > 1 else ".", "sum_host"))
    if not os.access(host, os.X_OK):
        print("missing %s" % host, file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory() as work, socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        log_path = os.path.join(work, "sum_host.log")
        process = subprocess.Popen([host, str(port), log_path], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, cwd=work)
        problems, done = [], 0
        try:
            deadline = time.monotonic() + START_TIMEOUT
            while process.poll() is None and time.monotonic() < deadline:
                try:  # the host listens once a connection succeeds
                    socket.create_connection(("127.0.0.1", port), timeout=1.0).close()
                    break
                except OSError:
                    time.sleep(0.05)
            else:
                raise RuntimeError("sum_host did not start listening")
            done, failures = run_clients(port)
            problems += failures[:10]
        finally:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
            try:
                err = process.communicate(timeout=EXIT_TIMEOUT)[1]
            except subprocess.TimeoutExpired:
                process.kill()
                err = process.communicate()[1]
                problems.append("sum_host did not exit within %.0f s of SIGTERM" % EXIT_TIMEOUT)
        if done != EXCHANGES:
            problems.append("%d of %d exchanges done" % (done, EXCHANGES))
        if process.returncode != 0:
            problems.append("sum_host exited with status %d" % process.returncode)
        with open(log_path, errors="replace") as f:
            problems += ["log: " + line.rstrip() for line in f if "error (" in line][:10]
        sys.stderr.write(err.decode(errors="replace"))
        for p in problems:
            print(p, file=sys.stderr)
        if not problems:
            print("%d exchanges from %d clients" % (done, CLIENTS))
        return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
