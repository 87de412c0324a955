"""End to end: a real Prometheus server (Debian's package, on a free loopback port with a data
directory of its own) scrapes a running miner on the host device with the project's rules
loaded; what its query API returns matches the miner's /status."""

import json
import os
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

from harness import ROOT, LoggedProcess, StatusRecorder, free_port, jobs, logged, read_status
from test_miner import NEVER, SELF_TEST_LAUNCHES, MinerTestCase

PROMETHEUS = os.environ.get("PROMETHEUS", "/usr/bin/prometheus")
RULES = os.path.join(ROOT, "packaging", "prometheus", "drevik-miner.rules.yml")


class PrometheusServer(LoggedProcess):
    """Scrapes `target` (host:port) every second as the job "drevik-miner" of the example
    configuration, and evaluates the rules every second."""

    def __init__(self, target, directory):
        self.port = free_port()
        config = os.path.join(directory, "prometheus.yml")
        with open(config, "w") as f:
            json.dump({"global": {"scrape_interval": "1s", "evaluation_interval": "1s"},
                       "rule_files": [RULES],
                       "scrape_configs": [{"job_name": "drevik-miner",
                                           "static_configs": [{"targets": [target]}]}]}, f)
        super().__init__([PROMETHEUS, "--config.file=" + config,
                          "--storage.tsdb.path=" + os.path.join(directory, "data"),
                          "--web.listen-address=127.0.0.1:%d" % self.port])

    def wait_ready(self, timeout=60.0):
        deadline = time.monotonic() + timeout
        while True:
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/-/ready" % self.port, timeout=5) as response:
                    if response.status == 200:
                        return
            except OSError:
                pass
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("Prometheus did not become ready:\n" + self.text())
            time.sleep(0.2)

    def latest(self, selector):
        """The latest sample of each series `selector` names, from the last 10 seconds:
        {frozenset of labels: (sample time, value)}."""
        url = "http://127.0.0.1:%d/api/v1/query?%s" % (
            self.port, urllib.parse.urlencode({"query": selector + "[10s]"}))
        with urllib.request.urlopen(url, timeout=10) as response:
            answer = json.load(response)
        if answer["status"] != "success":
            raise AssertionError("query %s: %s" % (selector, answer))
        return {frozenset(r["metric"].items()): (float(r["values"][-1][0]), float(r["values"][-1][1]))
                for r in answer["data"]["result"]}

    def wait_latest(self, selector, predicate, timeout=60.0):
        deadline = time.monotonic() + timeout
        while True:
            result = self.latest(selector)
            if predicate(result):
                return result
            if time.monotonic() > deadline:
                raise AssertionError("%s never matched: %s" % (selector, result))
            time.sleep(0.25)


def rate_of(rates, gpu):
    """(sample time, hashes per second) of GPU `gpu` among the latest rate samples."""
    return next(sample for labels, sample in rates.items() if dict(labels)["gpu"] == gpu)


class PrometheusScrape(MinerTestCase):
    def assert_rate_matches(self, recorder, moment, hashes_per_second, read):
        """A rate Prometheus took at `moment` lies among the rates /status gave around it (its
        30-second window moves a little between two readings; /status rounds to 0.01 MH/s)."""
        around = recorder.values(read, moment - 2, moment + 2)
        self.assertTrue(around, "no /status reading around %.1f" % moment)
        low, high = min(around) * 1e6, max(around) * 1e6
        self.assertTrue(low * 0.95 - 5e3 <= hashes_per_second <= high * 1.05 + 5e3,
                        "Prometheus %.0f H/s at %.1f, /status %.0f to %.0f H/s around it"
                        % (hashes_per_second, moment, low, high))

    def test_prometheus_scrapes_what_status_reports(self):
        api_port = free_port()
        base = "http://127.0.0.1:%d" % api_port
        miner = self.start_miner("--id", "prom-rig", "--stats", "600", "--api-port", str(api_port), devices=2,
                                 env={"DREVIK_HOST_FAULT": "fail:1:%d" % (SELF_TEST_LAUNCHES + 3)})
        with tempfile.TemporaryDirectory() as directory:
            prometheus = PrometheusServer("127.0.0.1:%d" % api_port, directory)
            try:
                self.publish_job(self.pool(), jobs.make_job(42, NEVER))
                miner.wait_for(logged("ERROR", r"GPU 1 out of service: "), timeout=60)
                prometheus.wait_ready()
                with StatusRecorder(base) as recorder:
                    # Samples from after the failure, with GPU 0's rate up, and the recordings
                    # of one evaluation of the rules made from them.
                    since = time.time()
                    rates = prometheus.wait_latest("drevik_hashrate_hashes_per_second", lambda r: len(r) == 2 and all(
                        moment > since for moment, _ in r.values()) and rate_of(r, "0")[1] > 0)
                    states = prometheus.latest("drevik_gpu_state")
                    recorded = prometheus.wait_latest(
                        '{__name__=~"(instance|job):drevik_hashrate_hashes_per_second:sum"}',
                        lambda r: len(r) == 2 and len({moment for moment, _ in r.values()}) == 1 and all(
                            moment > since for moment, _ in r.values()))
                    pending = prometheus.wait_latest('ALERTS{alertname="DrevikGpuOutOfService"}', lambda r: r)
                    time.sleep(2.5)  # /status readings after the last sample, to bracket it
                status = read_status(base)

                # GPU states: the one that is 1 for each GPU, as /status names it.
                self.assertEqual({dict(labels)["gpu"]: dict(labels)["state"]
                                  for labels, (_, value) in states.items() if value == 1},
                                 {str(g["index"]): g["state"] for g in status["gpus"]})
                self.assertEqual({g["index"]: g["state"] for g in status["gpus"]}, {0: "mining", 1: "failed"})

                # Hash rates, per GPU and the rig's sum from the recording rule.
                for index in (0, 1):
                    moment, value = rate_of(rates, str(index))
                    self.assert_rate_matches(recorder, moment, value,
                                             lambda s: next(g for g in s["gpus"] if g["index"] == index)["hashrate_mhs"])
                instance = "127.0.0.1:%d" % api_port
                rig = recorded[frozenset({("__name__", "instance:drevik_hashrate_hashes_per_second:sum"),
                                          ("instance", instance), ("job", "drevik-miner")})]
                fleet = recorded[frozenset({("__name__", "job:drevik_hashrate_hashes_per_second:sum"),
                                            ("job", "drevik-miner")})]
                self.assert_rate_matches(recorder, rig[0], rig[1], lambda s: s["hashrate_mhs"])
                self.assertEqual(fleet, rig)

                # The rules see the failed GPU: its alert waits out its window.
                self.assertEqual([(dict(labels)["gpu"], dict(labels)["alertstate"]) for labels in pending],
                                 [("1", "pending")])
                self.assertEqual([value for _, value in prometheus.latest("drevik_job_height").values()], [status["height"]])
                self.assertEqual([value for _, value in prometheus.latest("drevik_bus_connected").values()], [1])
            finally:
                prometheus.kill()
        self.assert_clean_exit(miner)


if __name__ == "__main__":
    unittest.main()
