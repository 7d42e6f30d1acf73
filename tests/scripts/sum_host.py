#!/usr/bin/env python3
"""End-to-end run of the example host examples/sum_host.c.

Starts sum_host on a free port of 127.0.0.1, waits for it by retrying connect, then runs
2000 "sum" exchanges from 16 client threads, one connection each: the client sends "&sum;"
and the record "ii" (the big-endian checksum of the format, then both integers big-endian),
and reads back the record "i" (the checksum of "i", then the sum). Every exchange must
succeed. Finally the host is stopped with SIGTERM and must exit with status 0, leaving no
error line in its log. Everything is bounded in time.

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


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def recv_exact(sock, count):
    data = b""
    while len(data) < count:
        piece = sock.recv(count - len(data))
        if not piece:
            raise ConnectionError("connection closed after %d of %d bytes" % (len(data), count))
        data += piece
    return data


def wrap32(value):
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


def exchange(port, a, b):
    with socket.create_connection(("127.0.0.1", port), timeout=IO_TIMEOUT) as sock:
        sock.settimeout(IO_TIMEOUT)
        sock.sendall(b"&sum;" + struct.pack(">Iii", CHECK_II, a, b))
        check, total = struct.unpack(">Ii", recv_exact(sock, 8))
        if check != CHECK_I:
            raise ValueError("checksum %#x, expected %#x" % (check, CHECK_I))
        if total != wrap32(a + b):
            raise ValueError("%d + %d gave %d" % (a, b, total))
        if sock.recv(1) != b"":
            raise ValueError("bytes after the answer")


def wait_for_listener(port, process, deadline):
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError("sum_host exited early with status %d" % process.returncode)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1.0):
                return
        except OSError:
            time.sleep(0.05)
    raise TimeoutError("sum_host did not listen within %.0f s" % START_TIMEOUT)


def run_clients(port):
    failures = []
    done = [0]
    lock = threading.Lock()
    deadline = time.monotonic() + RUN_TIMEOUT
    per_client = EXCHANGES // CLIENTS

    def client(seed):
        rng = random.Random(seed)
        for _ in range(per_client):
            if time.monotonic() > deadline:
                with lock:
                    failures.append("client %d: out of time" % seed)
                return
            a = rng.randint(-2**31, 2**31 - 1)
            b = rng.randint(-2**31, 2**31 - 1)
            try:
                exchange(port, a, b)
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
    if len(sys.argv) < 2:
        print("usage: sum_host.py BUILD_DIR", file=sys.stderr)
        return 2
    host = os.path.abspath(os.path.join(sys.argv[1], "sum_host"))
    if not os.access(host, os.X_OK):
        print("missing %s" % host, file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory() as work:
        log_path = os.path.join(work, "sum_host.log")
        port = free_port()
        process = subprocess.Popen([host, str(port), log_path], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, cwd=work)
        try:
            wait_for_listener(port, process, time.monotonic() + START_TIMEOUT)
            started = time.monotonic()
            done, failures = run_clients(port)
            elapsed = time.monotonic() - started
        finally:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
            try:
                out, err = process.communicate(timeout=EXIT_TIMEOUT)
            except subprocess.TimeoutExpired:
                process.kill()
                out, err = process.communicate()
                print("sum_host did not exit within %.0f s of SIGTERM" % EXIT_TIMEOUT,
                      file=sys.stderr)
                return 1
        ok = True
        if failures:
            ok = False
            print("%d exchanges failed, first ones:" % len(failures), file=sys.stderr)
            for f in failures[:10]:
                print("  " + f, file=sys.stderr)
        if done != EXCHANGES:
            ok = False
            print("%d of %d exchanges done" % (done, EXCHANGES), file=sys.stderr)
        if process.returncode != 0:
            ok = False
            print("sum_host exited with status %d" % process.returncode, file=sys.stderr)
        with open(log_path, errors="replace") as f:
            errors = [line for line in f if "error (" in line]
        if errors:
            ok = False
            print("error lines in the host's log:", file=sys.stderr)
            for line in errors[:10]:
                print("  " + line.rstrip(), file=sys.stderr)
        if err:
            sys.stderr.write(err.decode(errors="replace"))
        if ok:
            print("%d exchanges from %d clients in %.1f s" % (done, CLIENTS, elapsed))
        return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
