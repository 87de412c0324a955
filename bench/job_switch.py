#!/usr/bin/env python3
"""How fast the miner leaves a job for a newer one, on the host device against a real nats-server.

Publishes a job, then a newer one at a random moment of a launch, SWITCHES times, and reports
two delays from each publish: until the miner's "[h=N] Mining on" line is read, and until the
first search launch of the new job has started on every device (from the host device's launch
trace, DREVIK_HOST_TRACE, on the same monotonic clock). It runs once with the tuned launch time
and once with launches twice as long (DREVIK_HOST_TIMER_SCALE=0.5 makes tuning settle there):
a switch that waits for the running launch to end follows the launch time.

    bench/job_switch.py [MINER] [--switches N] [--devices N]

MINER defaults to build/host/drevik-miner. The figures suffer from other load on the machine:
the load average is printed before and after; run it under `nice -n -10` (as root) on a shared
machine.
"""

import argparse
import os
import random
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import harness  # noqa: E402
from pool import jobs  # noqa: E402

DIFFICULTY = 1 << 62  # neither blocks nor shares: every launch runs to its end unless stopped


class Console:
    """The miner's standard error, each line with the monotonic time it was read."""

    def __init__(self, stream):
        self.lines = []
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.reader.start()

    def _read(self, stream):
        for raw in stream:
            now = time.monotonic_ns()
            with self.changed:
                self.lines.append((now, raw.decode("utf-8", "replace").rstrip("\n")))
                self.changed.notify_all()

    def wait_for(self, pattern, timeout=60.0):
        """Read time of the first line matching `pattern`."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                for stamp, line in self.lines:
                    if regex.search(line):
                        return stamp
                if time.monotonic() > deadline:
                    raise RuntimeError("no line matching %r:\n%s" % (pattern, "\n".join(l for _, l in self.lines)))
                self.changed.wait(0.5)


class Trace:
    """The host device's launch trace: (nanoseconds, device, threads) per launch start."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.launches = []

    def read(self):
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            data = f.read()
        end = data.rfind(b"\n") + 1
        self.offset += end
        for line in data[:end].splitlines():
            stamp, device, threads = line.split()
            self.launches.append((int(stamp), int(device), int(threads)))

    def first_launches(self, since, devices):
        """Per device, the start of its first search launch after a midstate launch (one
        thread) that started after `since`: the first launch of the job published then."""
        first = {}
        window_started = set()
        for stamp, device, threads in self.launches:
            if stamp < since or device in first:
                continue
            if threads == 1:
                window_started.add(device)
            elif device in window_started:
                first[device] = stamp
        return first if len(first) == devices else None

    def launch_period(self, device):
        """Median time between consecutive search launch starts of `device`, in seconds."""
        starts = [stamp for stamp, d, threads in self.launches if d == device and threads > 1][-40:]
        gaps = [b - a for a, b in zip(starts, starts[1:])]
        return statistics.median(gaps) / 1e9 if gaps else 0.1


class Publisher:
    """A plain NATS connection: the publish is the moment the PUB leaves the bench."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.recv(65536)  # INFO
        self.sock.sendall(b'CONNECT {"verbose":false,"pedantic":false}\r\nPING\r\n')
        self._expect(b"PONG")

    def _expect(self, word):
        reply = b""
        while word not in reply:
            reply += self.sock.recv(65536)

    def publish(self, subject, payload):
        data = b"PUB %s %d\r\n%s\r\n" % (subject.encode(), len(payload), payload)
        stamp = time.monotonic_ns()
        self.sock.sendall(data)
        return stamp

    def flush(self):
        # Answers the server's PINGs, so a long run keeps its connection.
        self.sock.sendall(b"PING\r\n")
        reply = b""
        while b"PONG" not in reply:
            reply += self.sock.recv(65536)
            if b"PING\r\n" in reply:
                self.sock.sendall(b"PONG\r\n")

    def close(self):
        self.sock.close()


def percentile(values, fraction):
    ordered = sorted(values)
    position = fraction * (len(ordered) - 1)
    low = int(position)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)


def run(miner, switches, devices, timer_scale):
    server = harness.NatsServer()
    work = tempfile.TemporaryDirectory()
    trace_path = os.path.join(work.name, "launches")
    open(trace_path, "w").close()
    env = dict(os.environ, DREVIK_HOST_DEVICES=str(devices), DREVIK_HOST_TRACE=trace_path,
               DREVIK_HOST_TIMER_SCALE=str(timer_scale))
    process = subprocess.Popen([miner, "--nats", server.url, "--id", "bench", "--stats", "3600",
                                "--stats-file", os.path.join(work.name, "stats.json")],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    console = Console(process.stderr)
    publisher = None
    try:
        console.wait_for(r"All \d+ GPU\(s\) ready", timeout=300)
        server.wait_subscribed("drevik-miner")
        publisher = Publisher(server.port)
        trace = Trace(trace_path)
        height = 1000
        publisher.publish(jobs.JOB_SUBJECT, jobs.job_payload(jobs.make_job(height, DIFFICULTY)).encode())
        console.wait_for(r"\[h=%d\] Mining on" % height)
        time.sleep(1.0)
        trace.read()
        period = trace.launch_period(0)
        to_mining, to_launch = [], []
        for _ in range(switches):
            # A random moment of the launch running now, well inside the job's 5-second window.
            time.sleep(random.uniform(0.2, 0.2 + 2 * period))
            height += 1
            payload = jobs.job_payload(jobs.make_job(height, DIFFICULTY)).encode()
            published = publisher.publish(jobs.JOB_SUBJECT, payload)
            mining = console.wait_for(r"\[h=%d\] Mining on" % height, timeout=30)
            deadline = time.monotonic() + 30
            while True:
                trace.read()
                first = trace.first_launches(published, devices)
                if first:
                    break
                if time.monotonic() > deadline:
                    raise RuntimeError("no launch of job %d on every device" % height)
                time.sleep(0.005)
            to_mining.append((mining - published) / 1e6)
            to_launch.append((max(first.values()) - published) / 1e6)
            publisher.flush()
        return period, to_mining, to_launch
    finally:
        if publisher:
            publisher.close()
        process.terminate()
        process.wait(30)
        server.stop()
        work.cleanup()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("miner", nargs="?", default=os.path.join(ROOT, "build", "host", "drevik-miner"))
    parser.add_argument("--switches", type=int, default=60)
    parser.add_argument("--devices", type=int, default=2)
    args = parser.parse_args()
    print("load average before: %.2f %.2f %.2f" % os.getloadavg())
    print("%-22s %9s  %-28s %-28s" % ("", "launch", "publish -> Mining on (ms)", "publish -> launch on all (ms)"))
    print("%-22s %9s  %8s %8s %8s   %8s %8s %8s" % ("", "(ms)", "median", "p99", "max", "median", "p99", "max"))
    for name, scale in (("tuned launch time", 1.0), ("launch time doubled", 0.5)):
        period, to_mining, to_launch = run(args.miner, args.switches, args.devices, scale)
        print("%-22s %9.1f  %8.2f %8.2f %8.2f   %8.2f %8.2f %8.2f" % (
            name, period * 1000, statistics.median(to_mining), percentile(to_mining, 0.99), max(to_mining),
            statistics.median(to_launch), percentile(to_launch, 0.99), max(to_launch)))
        sys.stdout.flush()
    print("load average after: %.2f %.2f %.2f (%d switches each, %d host devices, %d CPU threads)" % (
        os.getloadavg() + (args.switches, args.devices, os.cpu_count())))


if __name__ == "__main__":
    main()
