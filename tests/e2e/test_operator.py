"""End to end: what a rig owner uses besides mining: the local status API, one statistics
file per miner, and the benchmark."""

import json
import os
import re
import tempfile
import time
import unittest
import urllib.error
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

from harness import Miner, free_port, jobs, logged
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


def wait_for_value(read, predicate, timeout=30.0):
    deadline = time.monotonic() + timeout
    while True:
        value = read()
        if predicate(value) or time.monotonic() > deadline:
            return value
        time.sleep(0.2)


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
                                            "drevik_bus_refused_oversized", "drevik_gpu_hardware_errors",
                                            "drevik_jobs_cancelled", "drevik_jobs_received",
                                            "drevik_jobs_skipped", "drevik_shares_sent"])

        status, headers, body = get(base + "/")
        self.assertEqual((status, headers["Content-Type"]), (200, "text/html; charset=utf-8"))
        self.assertTrue(body.startswith(b"<!DOCTYPE html>"))
        for method, path, expected in [("GET", "/index.html", 404), ("GET", "/statusx", 404), ("POST", "/status", 405),
                                       ("PUT", "/metrics", 405), ("HEAD", "/metrics", 200)]:
            self.assertEqual(get(base + path, method)[0], expected, (method, path))
        self.assert_clean_exit(miner)

    def test_port_in_use_fails_the_start(self):
        port = free_port()
        first = self.start_miner("--gpus", "", "--api-port", str(port))
        second = self.start_miner("--gpus", "", "--api-port", str(port), connect=False)
        self.assertEqual(second.wait_exit(30), 1)
        self.assertRegex(second.lines[-1], logged("ERROR", r"Status API: cannot listen on 127\.0\.0\.1 port %d$"
                                                  % port))
        self.assertEqual(second.matching("NATS"), [])
        self.assert_clean_exit(first)


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
