#!/usr/bin/env python3
"""The status API under load and under attack, beside mining.

Starts a nats-server and the miner on the host device with the status API, gives it a job that
yields no block, and then runs each case for 30 s, the length of the miner's hash-rate window:

- bursts of 200 concurrent GET /status, one after the other: time from a burst's start until
  its last answer (the slowest burst), and how many got no answer within 30 s;
- a header flood: two connections sending header lines as fast as they can, connecting again
  whenever they are cut off;
- an endless request line: the same with one line that never ends;

reporting for each the miner's resident memory before, at its peak (sampled every 20 ms) and
5 s after, and its hash rate over the case against the rate before (idle API).

    bench/api_bench.py build/host/drevik-miner
"""

import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))

from pool import jobs  # noqa: E402

CASE_SECONDS = 30  # the hash-rate window
NEVER = 2 ** 62     # no block while the bench runs


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def publish(port, subject, payload):
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.recv(65536)  # INFO
        data = payload.encode()
        s.sendall(b'CONNECT {"verbose":false,"pedantic":false}\r\n')
        s.sendall(b"PUB %s %d\r\n%s\r\nPING\r\n" % (subject.encode(), len(data), data))
        reply = b""
        while b"PONG" not in reply:
            reply += s.recv(65536)


def status(api_port):
    with urllib.request.urlopen("http://127.0.0.1:%d/status" % api_port, timeout=30) as response:
        return json.load(response)


def burst(port, count=200):
    """Seconds from the start until the last of `count` concurrent GETs is answered, and how many
    got no whole answer within 30 s."""
    answered = []
    lock = threading.Lock()
    start_line = threading.Barrier(count + 1)

    def one():
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=30)
        except OSError:
            start_line.wait()
            return
        with s:
            start_line.wait()
            reply = b""
            try:
                s.sendall(b"GET /status HTTP/1.1\r\nHost: bench\r\n\r\n")
                while True:
                    data = s.recv(65536)
                    if not data:
                        break
                    reply += data
            except OSError:
                return
        if reply.startswith(b"HTTP/1.1 200"):
            with lock:
                answered.append(time.monotonic())

    threads = [threading.Thread(target=one) for _ in range(count)]
    for t in threads:
        t.start()
    start_line.wait()
    start = time.monotonic()
    for t in threads:
        t.join()
    last = max(answered) - start if answered else float("nan")
    return last, count - len(answered)


def bursts(port, until):
    times, unanswered = [], 0
    while time.monotonic() < until:
        last, missing = burst(port)
        times.append(last)
        unanswered += missing
    times.sort()
    return "%d bursts, last answer after %.3f s (median burst), %.3f s (slowest), %d unanswered" % (
        len(times), times[len(times) // 2], times[-1], unanswered)


def flood(port, first, repeated, until, connections=2):
    """Sends `first` then `repeated` over and over on each connection, connecting again when cut off."""
    opened = [0] * connections
    block = repeated * max(1, 65536 // len(repeated))

    def one(i):
        while time.monotonic() < until:
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                    opened[i] += 1
                    s.sendall(first)
                    while time.monotonic() < until:
                        s.sendall(block)
            except OSError:
                time.sleep(0.001)

    threads = [threading.Thread(target=one, args=(i,)) for i in range(connections)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return "%d connections" % sum(opened)


def run_case(pid, work):
    """Runs `work(until)` for CASE_SECONDS while sampling resident memory; returns its text and
    the peak."""
    until = time.monotonic() + CASE_SECONDS
    result = []
    worker = threading.Thread(target=lambda: result.append(work(until)))
    worker.start()
    peak = 0
    while worker.is_alive():
        peak = max(peak, rss_kib(pid))
        time.sleep(0.02)
    return result[0], peak


def main():
    miner_path = sys.argv[1]
    nats_port, api_port = free_port(), free_port()
    server = subprocess.Popen(["nats-server", "-a", "127.0.0.1", "-p", str(nats_port)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    directory = tempfile.TemporaryDirectory()
    miner = None
    try:
        time.sleep(0.5)
        with open(os.path.join(directory.name, "miner.log"), "wb") as err:
            miner = subprocess.Popen([miner_path, "--nats", "nats://127.0.0.1:%d" % nats_port, "--id", "bench",
                                      "--api-port", str(api_port), "--stats", "600",
                                      "--stats-file", os.path.join(directory.name, "stats.json")],
                                     stdout=subprocess.DEVNULL, stderr=err)
        deadline = time.monotonic() + 60
        while True:
            try:
                if status(api_port)["connected"]:
                    break
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise RuntimeError("the miner did not come up")
            time.sleep(0.2)
        publish(nats_port, jobs.JOB_SUBJECT, jobs.job_payload(jobs.make_job(1, NEVER)))
        time.sleep(CASE_SECONDS + 2)
        baseline = status(api_port)["hashrate_mhs"]
        print("idle API: %.2f MH/s, RSS %d KiB" % (baseline, rss_kib(miner.pid)))

        cases = [
            ("200 concurrent GETs", lambda until: bursts(api_port, until)),
            ("header flood", lambda until: flood(api_port, b"GET /status HTTP/1.1\r\nHost: bench\r\n",
                                                 b"a: b\r\n", until)),
            ("endless request line", lambda until: flood(api_port, b"GET /", b"a" * 4096, until)),
        ]
        for name, work in cases:
            before = rss_kib(miner.pid)
            text, peak = run_case(miner.pid, work)
            rate = status(api_port)["hashrate_mhs"]
            time.sleep(5)
            after = rss_kib(miner.pid)
            print("%s: %s; RSS before %d KiB, peak %d KiB, 5 s after %d KiB; %.2f MH/s (%.0f%%)"
                  % (name, text, before, peak, after, rate, 100 * rate / baseline))
    finally:
        if miner:
            miner.terminate()
            miner.wait(20)
        server.terminate()
        server.wait(10)
        directory.cleanup()


if __name__ == "__main__":
    main()
