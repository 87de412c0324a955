#!/usr/bin/env python3
"""Resident memory of the miner around one huge job message.

Starts a nats-server that accepts 64 MiB payloads and the miner with no GPU (it takes jobs and
mines nothing). By default it publishes one hostile job of the given size, an unterminated JSON
string, and reports the miner's resident set before, at its peak and a second after, with the
length of the console line the job produced. With --receipts N it publishes a valid job with N
receipts instead, then a small job, and reports the resident set before, at the peak and a
second after the small job.

    bench/bus_memory.py build/host/drevik-miner [MiB | --receipts N]
"""

import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def status_kib(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def publish(port, subject, payload):
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.recv(65536)  # INFO
        s.sendall(b'CONNECT {"verbose":false,"pedantic":false}\r\n')
        s.sendall(b"PUB %s %d\r\n" % (subject, len(payload)) + payload + b"\r\nPING\r\n")
        reply = b""
        while b"PONG" not in reply:
            reply += s.recv(65536)


def job(height, receipts):
    return json.dumps({"height": height, "previous_blockhash": "%078x" % height, "difficulty": 2 ** 62,
                       "receipts": ["receipt-%08x" % i for i in range(receipts)]}).encode()


def wait_for_line(err, text, seconds=60):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        err.seek(0)
        if text in err.read():
            return True
        time.sleep(0.05)
    return False


def main():
    miner = sys.argv[1]
    receipts = int(sys.argv[3]) if len(sys.argv) > 3 and sys.argv[2] == "--receipts" else 0
    mib = int(sys.argv[2]) if len(sys.argv) > 2 and not receipts else 64
    port = free_port()
    with tempfile.NamedTemporaryFile("w", suffix=".conf") as conf:
        conf.write("max_payload: 67108864\n")
        conf.flush()
        server = subprocess.Popen(["nats-server", "-a", "127.0.0.1", "-p", str(port), "-c", conf.name],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        err = tempfile.TemporaryFile()
        proc = None
        try:
            time.sleep(0.5)
            proc = subprocess.Popen([miner, "--nats", "nats://127.0.0.1:%d" % port, "--gpus", "", "--id", "bench"],
                                    stdout=subprocess.DEVNULL, stderr=err)
            time.sleep(1.5)
            before = status_kib(proc.pid, "VmRSS")
            if receipts:
                publish(port, b"drevik.mining.job", job(1, receipts))
                wait_for_line(err, b"[h=1] Mining on 0 GPU(s)")
                publish(port, b"drevik.mining.job", job(2, 3))
                wait_for_line(err, b"[h=2] Mining on 0 GPU(s)")
                time.sleep(1.0)
                print("receipts           %d" % receipts)
                print("RSS before         %d KiB" % before)
                print("RSS peak           %d KiB" % status_kib(proc.pid, "VmHWM"))
                print("RSS 1 s after      %d KiB" % status_kib(proc.pid, "VmRSS"))
                return
            payload = b'{"previous_blockhash":"' + b"a" * (mib * 1024 * 1024 - 24)
            publish(port, b"drevik.mining.job", payload)
            wait_for_line(err, b"Job parse error", 30)
            time.sleep(1.0)
            after = status_kib(proc.pid, "VmRSS")
            peak = status_kib(proc.pid, "VmHWM")
            err.seek(0)
            lines = [l for l in err.read().split(b"\n") if b"Job parse error" in l]
            if os.environ.get("SMAPS"):
                with open("/proc/%d/smaps" % proc.pid) as f:
                    cur = None
                    for line in f:
                        if re.match(r"^[0-9a-f]+-[0-9a-f]+ ", line):
                            cur = line.strip()
                        elif line.startswith("Rss:") and int(line.split()[1]) > 2000:
                            print(line.strip(), cur)
            print("payload            %d MiB" % mib)
            print("RSS before         %d KiB" % before)
            print("RSS peak           %d KiB" % peak)
            print("RSS 1 s after      %d KiB" % after)
            print("console line       %d bytes" % (len(lines[0]) if lines else -1))
            if not lines:
                err.seek(0)
                sys.stdout.write(err.read().decode("utf-8", "replace")[-3000:])
        finally:
            if proc:
                proc.terminate()
                proc.wait(10)
            server.terminate()
            server.wait(10)


if __name__ == "__main__":
    main()
