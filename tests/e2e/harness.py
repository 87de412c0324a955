"""Processes for end-to-end tests: a real nats-server on a free loopback port (plain, TLS,
mutual TLS, with a user and password or a token), throw-away certificates for it, and the
miner binary on the host device, with its standard error collected line by line."""

import collections
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))

from pool import bus, jobs, verify  # noqa: E402,F401

MINER = os.environ.get("DREVIK_MINER", os.path.join(ROOT, "build", "host", "drevik-miner"))
NATS_SERVER = os.environ.get("NATS_SERVER", "/usr/sbin/nats-server")
LOG_PREFIX = r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC\]\[[^\]]*\]"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def logged(level, message_regex):
    """Pattern of a console log line whose message starts with `message_regex`."""
    return "^" + LOG_PREFIX + r"\[" + level + r"\] " + message_regex


Certificates = collections.namedtuple(
    "Certificates", "ca server_cert server_key client_cert client_key wrong_host_cert wrong_host_key other_ca")


def make_certificates(directory):
    """A throw-away authority and the certificates it signs, made by tests/support/make_tls_certs:
    the server's for 127.0.0.1, ::1 and localhost, a client's, one for another host name, and
    an unrelated authority."""
    subprocess.run([os.path.join(ROOT, "tests", "support", "make_tls_certs"), directory], check=True)
    names = ["ca", "server", "server-key", "client", "client-key", "wrong-host", "wrong-host-key", "other-ca"]
    return Certificates(*(os.path.join(directory, name + ".pem") for name in names))


class WithCertificates:
    """Test case mix-in: one set of throw-away certificates (make_certificates) per class, as
    `cls.certs`."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.directory = tempfile.TemporaryDirectory()
        cls.certs = make_certificates(cls.directory.name)

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()
        super().tearDownClass()


def tls_options(certs, cert=None, key=None, verify_clients=False):
    """nats-server options for TLS with the server certificate (or `cert`/`key`), and for
    mutual TLS: client certificates signed by the test authority required."""
    options = ["--tls", "--tlscert", cert or certs.server_cert, "--tlskey", key or certs.server_key]
    if verify_clients:
        options += ["--tlsverify", "--tlscacert", certs.ca]
    return options


class NatsServer:
    """`options`: more nats-server options, for example tls_options(...), ["--user", u, "--pass", p]
    or ["--auth", token]. With `store`, a folder, it runs JetStream and keeps its streams there."""

    def __init__(self, options=(), store=None):
        self.port = free_port()
        self.monitor_port = free_port()
        self.options = list(options) + (["-js", "-sd", store] if store else [])
        self.process = None
        self.start()

    @property
    def url(self):
        return "nats://127.0.0.1:%d" % self.port

    def start(self):
        self.process = subprocess.Popen([NATS_SERVER, "-a", "127.0.0.1", "-p", str(self.port),
                                         "-m", str(self.monitor_port)] + self.options,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("nats-server %s exited with status %d" % (self.options, self.process.returncode))
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.5).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("nats-server did not start on port %d" % self.port)

    def stop(self, sig=signal.SIGTERM):
        if self.process and self.process.poll() is None:
            self.process.send_signal(sig)
            self.process.wait(10)
        self.process = None

    def connections(self):
        """The server's client connections, from the monitoring endpoint."""
        url = "http://127.0.0.1:%d/connz?subs=1" % self.monitor_port
        with urllib.request.urlopen(url, timeout=5) as response:
            return json.load(response).get("connections", [])

    def subscriptions_of(self, name):
        """Subjects subscribed by the connections called `name`."""
        return [s for c in self.connections() if c.get("name") == name for s in c.get("subscriptions_list", [])]

    def wait_subscribed(self, name="drevik-miner", count=3, timeout=30.0):
        deadline = time.monotonic() + timeout
        while len(self.subscriptions_of(name)) < count:
            if time.monotonic() > deadline:
                raise AssertionError("%s has not subscribed" % name)
            time.sleep(0.05)

    def client(self):
        return bus.connect(self.url, name="e2e-test")


class LoggedProcess:
    """A child process whose standard error (and standard output, with `with_stdout`) is
    collected line by line."""

    def __init__(self, argv, env=None, with_stdout=False):
        self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE if with_stdout else subprocess.DEVNULL,
                                        stderr=subprocess.STDOUT if with_stdout else subprocess.PIPE, env=env)
        self.stream = self.process.stdout if with_stdout else self.process.stderr
        self.lines = []
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.stream:
            with self.changed:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    def wait_for(self, pattern, timeout=60.0, start=0):
        """Index of the first line from `start` on that matches `pattern`; fails after `timeout`."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                for i in range(start, len(self.lines)):
                    if regex.search(self.lines[i]):
                        return i
                remaining = deadline - time.monotonic()
                if remaining <= 0 or (self.process.poll() is not None and not self.reader.is_alive()):
                    raise AssertionError("no line matching %r; %s wrote:\n%s" % (
                        pattern, os.path.basename(self.process.args[0]), self.text()))
                self.changed.wait(min(remaining, 0.5))

    def matching(self, pattern, start=0):
        regex = re.compile(pattern)
        with self.changed:
            return [line for line in self.lines[start:] if regex.search(line)]

    def mark(self):
        with self.changed:
            return len(self.lines)

    def text(self):
        with self.changed:
            return "\n".join(self.lines)

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.process.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def interrupt(self, sig=signal.SIGINT, timeout=20.0):
        """Sends `sig`; returns (exit status, seconds until exit)."""
        start = time.monotonic()
        self.process.send_signal(sig)
        status = self.process.wait(timeout)
        self.reader.join(5)
        return status, time.monotonic() - start

    def wait_exit(self, timeout=60.0):
        status = self.process.wait(timeout)
        self.reader.join(5)
        return status

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)
        self.reader.join(5)
        self.stream.close()


class Miner(LoggedProcess):
    def __init__(self, args, devices=None, env=None):
        env = dict(os.environ, **(env or {}))
        if devices is not None:
            env["DREVIK_HOST_DEVICES"] = str(devices)
        super().__init__([MINER] + args, env=env)


class PoolSim(LoggedProcess):
    """tools/pool_sim with `args`; it says what it does on standard output."""

    def __init__(self, args):
        super().__init__([os.path.join(ROOT, "tools", "pool_sim")] + args, with_stdout=True)


def subscriber(server, *subjects):
    conn = server.client()
    for subject in subjects:
        conn.subscribe(subject)
    conn.flush()
    return conn


def next_on(conn, subject, timeout):
    """Payload of the next message on `subject` within `timeout` seconds (others are skipped)."""
    deadline = time.monotonic() + timeout
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise AssertionError("nothing on %s within %.0fs" % (subject, timeout))
        item = conn.next_message(remaining)
        if item and item[0] == subject:
            return item[1]


def wait_for_value(read, predicate, timeout=30.0):
    deadline = time.monotonic() + timeout
    while True:
        value = read()
        if predicate(value) or time.monotonic() > deadline:
            return value
        time.sleep(0.2)


def read_status(base_url):
    """The miner's /status, parsed."""
    with urllib.request.urlopen(base_url + "/status", timeout=10) as response:
        return json.load(response)


class StatusRecorder:
    """Reads /status every `period` seconds on a thread of its own while in a `with` block:
    `readings` holds (wall-clock time, status) pairs, to bracket what another reader of /status
    (a browser, Prometheus) saw at some moment in between."""

    def __init__(self, base_url, period=0.2):
        self.base_url = base_url
        self.period = period
        self.readings = []
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while True:
            self.readings.append((time.time(), read_status(self.base_url)))
            if self.stopping.wait(self.period):
                return

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self.thread.join(15)

    def values(self, read, since=float("-inf"), until=float("inf")):
        """`read(status)` of every reading taken between `since` and `until`."""
        return [read(status) for moment, status in self.readings if since <= moment <= until]
