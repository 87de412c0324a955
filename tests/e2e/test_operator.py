"""End to end: what a rig owner uses besides mining: the local status API, one statistics
file per miner, and the benchmark."""

import fcntl
import json
import os
import re
import signal
import stat
import subprocess
import tempfile
import time
import unittest
import urllib.error
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

from harness import LOG_PREFIX, MINER, Miner, free_port, jobs, logged, wait_for_value
from test_miner import NEVER, MinerTestCase

HEARTBEAT_KEYS = {"client_id", "found_session", "gpus", "hashrate_mhs", "hostname", "jobs_received",
                  "shares_session", "uptime_seconds", "version", "wallet"}


def get(url, method="GET"):
    """(status, headers, body) of one request; HTTP errors are answers too."""
    request = urllib.request.Request(url, method=method)
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.status, response.headers, response.read()
    except urllib.error.HTTPError as error:
        with error:
            return error.code, error.headers, error.read()


def samples(metrics_text):
    """{(name, labels as sorted tuple): value} parsed by Prometheus' own text parser."""
    found = {}
    for family in text_string_to_metric_families(metrics_text):
        for sample in family.samples:
            found[(sample.name, tuple(sorted(sample.labels.items())))] = sample.value
    return found


class StatusApi(MinerTestCase):
    def test_status_and_metrics_follow_the_miner(self):
        port = free_port()
        base = "http://127.0.0.1:%d" % port
        miner = self.start_miner("--id", "api-rig", "--wallet", "W", "--stats", "600", "--api-port", str(port))
        miner.wait_for(logged("INFO", r"Status API: 127\.0\.0\.1 port %d \(/status, /metrics\)$" % port))

        status, headers, body = get(base + "/status")
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Type"], "application/json")
        idle = json.loads(body)
        self.assertTrue(HEARTBEAT_KEYS <= set(idle), idle)
        self.assertEqual((idle["client_id"], idle["hostname"], idle["wallet"], idle["version"]),
                         ("api-rig", "api-rig", "W", "3.0.0"))
        self.assertEqual((idle["connected"], idle["server"]), (True, "127.0.0.1:%d" % self.server.port))
        self.assertEqual((idle["height"], idle["jobs_received"], idle["share_divisor"]), (0, 0, 4096))
        self.assertEqual([(g["index"], g["state"]) for g in idle["gpus"]], [(0, "idle")])

        pool = self.pool()
        self.publish_job(pool, jobs.make_job(321, NEVER))
        miner.wait_for(logged("INFO", r"\[h=321\] Mining on 1 GPU\(s\)"))
        mining = wait_for_value(lambda: json.loads(get(base + "/status")[2]),
                                lambda s: s["gpus"][0]["hashrate_mhs"] > 0)
        self.assertEqual((mining["height"], mining["jobs_received"], mining["gpus"][0]["state"]), (321, 1, "mining"))
        self.assertGreater(mining["hashrate_mhs"], 0)

        status, headers, body = get(base + "/metrics")
        self.assertEqual(status, 200)
        self.assertTrue(headers["Content-Type"].startswith("text/plain; version=0.0.4"))
        parsed = samples(body.decode("utf-8"))
        self.assertGreater(parsed[("drevik_hashrate_hashes_per_second", (("gpu", "0"),))], 0)
        self.assertEqual(parsed[("drevik_gpu_state", (("gpu", "0"), ("state", "mining")))], 1)
        self.assertEqual(parsed[("drevik_gpu_state", (("gpu", "0"), ("state", "idle")))], 0)
        self.assertEqual(parsed[("drevik_jobs_received_total", ())], 1)
        self.assertEqual(parsed[("drevik_job_height", ())], 321)
        self.assertEqual(parsed[("drevik_bus_connected", ())], 1)
        self.assertEqual(parsed[("drevik_miner_info", (("client_id", "api-rig"),))], 1)
        counters = [f.name for f in text_string_to_metric_families(body.decode("utf-8")) if f.type == "counter"]
        self.assertEqual(sorted(counters), ["drevik_blocks_found", "drevik_bus_outbox_dropped",
                                            "drevik_bus_refused_oversized", "drevik_console_dropped_lines",
                                            "drevik_gpu_hardware_errors",
                                            "drevik_jobs_cancelled", "drevik_jobs_received",
                                            "drevik_jobs_skipped", "drevik_shares_sent"])

        status, headers, body = get(base + "/")
        self.assertEqual((status, headers["Content-Type"]), (200, "text/html; charset=utf-8"))
        self.assertTrue(body.startswith(b"<!DOCTYPE html>"))
        for method, path, expected in [("GET", "/index.html", 404), ("GET", "/statusx", 404), ("POST", "/status", 405),
                                       ("PUT", "/metrics", 405), ("HEAD", "/metrics", 200)]:
            self.assertEqual(get(base + path, method)[0], expected, (method, path))
        self.assert_clean_exit(miner)

    def test_every_address_is_warned_of(self):
        for bind in ("0", "::"):
            with self.subTest(bind=bind):
                port = free_port()
                miner = self.start_miner("--gpus", "", "--api-port", str(port), "--api-bind", bind)
                info = miner.wait_for(logged("INFO", r"Status API: %s port %d \(/status, /metrics\)$"
                                             % (re.escape(bind), port)))
                self.assertRegex(miner.lines[info + 1], logged("WARN", r"Status API: --api-bind %s listens on every "
                                                               r"address, reachable from the network$"
                                                               % re.escape(bind)))
                self.assertEqual(get("http://127.0.0.1:%d/status" % port)[0], 200)
                self.assert_clean_exit(miner)
        loopback = self.start_miner("--gpus", "", "--api-port", str(free_port()))
        self.assertEqual(loopback.matching(r"\[WARN\]"), [])
        self.assert_clean_exit(loopback)

    def test_port_in_use_fails_the_start(self):
        port = free_port()
        first = self.start_miner("--gpus", "", "--api-port", str(port))
        second = self.start_miner("--gpus", "", "--api-port", str(port), connect=False)
        self.assertEqual(second.wait_exit(30), 1)
        self.assertRegex(second.lines[-1], logged("ERROR", r"Status API: cannot listen on 127\.0\.0\.1 port %d$"
                                                  % port))
        self.assertEqual(second.matching("NATS"), [])
        self.assert_clean_exit(first)


F_SETPIPE_SZ = getattr(fcntl, "F_SETPIPE_SZ", 1031)


class BlockedConsole(MinerTestCase):
    """Standard error into a pipe that nobody reads, as under a paused pager or a stuck log
    collector."""

    def test_neither_mining_nor_shutdown_waits_for_the_console(self):
        read_end, write_end = os.pipe()
        fcntl.fcntl(write_end, F_SETPIPE_SZ, 4096)
        port = free_port()
        base = "http://127.0.0.1:%d" % port
        miner = subprocess.Popen([MINER, "--nats", self.server.url, "--id", "muted", "--stats", "600",
                                  "--api-port", str(port)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=write_end)
        os.close(write_end)
        try:
            def status():
                try:
                    return json.loads(get(base + "/status")[2])
                except OSError:
                    return {}

            self.assertTrue(wait_for_value(status, lambda s: s.get("connected"), timeout=60), "never connected")
            self.server.wait_subscribed("drevik-miner")
            pool = self.pool()
            # Each job the miner takes writes a line or two: enough of them overflow the console.
            height = 0
            deadline = time.monotonic() + 60
            while status()["console_dropped"] == 0 and time.monotonic() < deadline:
                for _ in range(200):
                    height += 1
                    pool.publish(jobs.JOB_SUBJECT, jobs.job_payload(jobs.make_job(height, NEVER)))
                pool.flush()
            self.assertGreater(status()["console_dropped"], 0)

            # Still blocked, the miner takes the next job and mines it.
            height += 1
            self.publish_job(pool, jobs.make_job(height, NEVER))
            mining = wait_for_value(status, lambda s: s["height"] == height and s["gpus"][0]["state"] == "mining")
            self.assertEqual((mining["height"], mining["gpus"][0]["state"]), (height, "mining"))
            dropped = samples(get(base + "/metrics")[2].decode("utf-8"))[("drevik_console_dropped_lines_total", ())]
            self.assertGreater(dropped, 0)

            # And a signal ends it, the console still blocked: the last lines are lost.
            miner.send_signal(signal.SIGINT)
            self.assertEqual(miner.wait(20), 0)
        finally:
            if miner.poll() is None:
                miner.kill()
                miner.wait(10)
            with os.fdopen(read_end, "rb") as pipe:
                written = pipe.read().decode("utf-8", "replace")
        whole = re.compile("^(%s\\[(INFO|WARN|ERROR|DEBUG)\\] |\\[NATS\\] |\\[GPU 0\\] )" % LOG_PREFIX)
        self.assertTrue(written.endswith("\n"), written[-200:])
        for line in written[:-1].split("\n"):
            self.assertRegex(line, whole)


class StatsFiles(MinerTestCase):
    def test_two_miners_write_their_own_files(self):
        with tempfile.TemporaryDirectory() as directory:
            paths = {name: os.path.join(directory, name + ".json") for name in ("rig-a", "rig-b")}
            miners = [self.start_miner("--gpus", "", "--id", name, "--stats-file", path)
                      for name, path in paths.items()]
            for name, path in paths.items():
                content = wait_for_value(lambda: open(path).read() if os.path.exists(path) else "",
                                         lambda text: text != "", timeout=20)
                self.assertEqual(json.loads(content)["client_id"], name)
            self.assertEqual(sorted(os.listdir(directory)), ["rig-a.json", "rig-b.json"], "temporary files left")
            for miner in miners:
                self.assert_clean_exit(miner)

    def test_a_path_the_file_cannot_take_fails_the_start(self):
        with tempfile.TemporaryDirectory() as directory:
            fifo = os.path.join(directory, "fifo")
            os.mkfifo(fifo)
            missing = os.path.join(directory, "missing", "stats.json")
            for path, why in [(fifo, "is a FIFO, not a regular file"),
                              (missing, "cannot make a file in its directory: No such file or directory")]:
                miner = self.start_miner("--stats-file", path, connect=False)
                self.assertEqual(miner.wait_exit(30), 1)
                self.assertRegex(miner.lines[-1], logged("ERROR", re.escape("Statistics file %s: %s" % (path, why)) + "$"))
                self.assertEqual(miner.matching("NATS"), [])
            self.assertTrue(stat.S_ISFIFO(os.stat(fifo).st_mode), "the FIFO was replaced")


class Benchmark(unittest.TestCase):
    def test_benchmark_reports_rates_without_a_pool(self):
        miner = Miner(["--benchmark", "6", "--id", "bench", "--nats", "nats://127.0.0.1:%d" % free_port()])
        try:
            self.assertEqual(miner.wait_exit(120), 0, miner.text())
        finally:
            miner.kill()
        self.assertEqual(miner.matching("NATS"), [], "the benchmark touched the bus")
        miner.wait_for(logged("INFO", r"Benchmark: 1 GPU\(s\) for 6s, no pool; rates over the last 30s$"))
        periodic = miner.wait_for(logged("INFO", r"Benchmark \(\d+s\)$"))
        final = miner.wait_for(logged("INFO", r"Benchmark result \(\d+s\)$"))
        self.assertLess(periodic, final)
        rows = [re.search(r"\] (.*)$", line).group(1) for line in miner.lines[final + 1:]]
        self.assertRegex(rows[0], r"^  GPU 0: .+ \| \d+\.\d MH/s$")
        total = re.match(r"^  Total: (\d+\.\d) MH/s$", rows[1])
        self.assertIsNotNone(total, rows)
        self.assertGreater(float(total.group(1)), 0)


if __name__ == "__main__":
    unittest.main()
