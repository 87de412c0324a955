"""A small blocking NATS client over plain TCP: enough to publish jobs and read results."""

import json
import select
import socket
import time


class NatsError(Exception):
    pass


class NatsConnection:
    def __init__(self, host, port, name="pool-sim", timeout=5.0):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""
        self.pending = []
        self.next_sid = 1
        self.subjects = {}
        info = self._read_line(timeout)
        if not info.startswith(b"INFO "):
            raise NatsError("unexpected greeting: %r" % info[:80])
        connect = {"verbose": False, "pedantic": False, "name": name}
        self.sock.sendall(b"CONNECT " + json.dumps(connect).encode() + b"\r\n")
        self.flush(timeout)

    @classmethod
    def from_url(cls, url, **kwargs):
        host, port = parse_url(url)
        return cls(host, port, **kwargs)

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def subscribe(self, subject):
        sid = self.next_sid
        self.next_sid += 1
        self.subjects[sid] = subject
        self.sock.sendall(b"SUB %s %d\r\n" % (subject.encode(), sid))
        return sid

    def publish(self, subject, payload):
        if isinstance(payload, str):
            payload = payload.encode()
        self.sock.sendall(b"PUB %s %d\r\n%s\r\n" % (subject.encode(), len(payload), payload))

    def flush(self, timeout=5.0):
        """Round trip to the server: everything sent before has been processed by it."""
        self.sock.sendall(b"PING\r\n")
        deadline = time.monotonic() + timeout
        while True:
            item = self._read_item(deadline)
            if item == "PONG":
                return
            if item is None:
                raise NatsError("no PONG within %.1fs" % timeout)
            if isinstance(item, tuple):
                self.pending.append(item)

    def next_message(self, timeout):
        """(subject, payload bytes) of the next message, or None after `timeout` seconds."""
        if self.pending:
            return self.pending.pop(0)
        deadline = time.monotonic() + timeout
        while True:
            item = self._read_item(deadline)
            if item is None or isinstance(item, tuple):
                return item

    def _read_item(self, deadline):
        line = self._read_line(max(0.0, deadline - time.monotonic()))
        if line is None:
            return None
        if line == b"PING":
            self.sock.sendall(b"PONG\r\n")
            return "PING"
        if line == b"PONG":
            return "PONG"
        if line.startswith(b"-ERR"):
            raise NatsError(line.decode(errors="replace"))
        if line.startswith(b"MSG "):
            parts = line.split()
            count = int(parts[-1])
            while len(self.buffer) < count + 2:
                if not self._receive(max(0.0, deadline - time.monotonic()) + 5.0):
                    raise NatsError("payload incomplete")
            payload, self.buffer = self.buffer[:count], self.buffer[count + 2:]
            return (parts[1].decode(), payload)
        return "OTHER"

    def _read_line(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\r\n" not in self.buffer:
            if not self._receive(max(0.0, deadline - time.monotonic())):
                return None
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line

    def _receive(self, timeout):
        readable, _, _ = select.select([self.sock], [], [], timeout)
        if not readable:
            return False
        chunk = self.sock.recv(65536)
        if not chunk:
            raise NatsError("connection closed by server")
        self.buffer += chunk
        return True


def parse_url(url):
    rest = url.split("://", 1)[1] if "://" in url else url
    host, _, port = rest.rpartition(":")
    if not host:
        return rest, 4222
    return host, int(port.rstrip("/"))
