"""End to end: the status page at / of a running miner, opened in headless Chromium (Debian's
package): the numbers it shows are those /status gives, and a screenshot of it is kept."""

import html.parser
import os
import re
import subprocess
import tempfile
import time
import unittest

from harness import MINER, StatusRecorder, free_port, jobs, logged, next_on, read_status
from test_miner import NEVER, SELF_TEST_LAUNCHES, MinerTestCase

CHROMIUM = os.environ.get("CHROMIUM", "/usr/bin/chromium")
ARTIFACTS = os.environ.get("DREVIK_TEST_ARTIFACTS", tempfile.gettempdir())


class PageText(html.parser.HTMLParser):
    """The text of each element with an id (`by_id`) and of each GPU row's cells
    (`gpus[index][field]`), from the page's DOM; `hidden` holds the ids of hidden elements,
    `polylines` counts each chart line's points."""

    VOID = {"meta", "link", "br", "img", "input", "hr", "col", "area", "base", "source", "wbr"}

    def __init__(self, document):
        super().__init__()
        self.by_id, self.gpus, self.polylines, self.body, self.hidden = {}, {}, {}, {}, set()
        self.open = []  # per open element: where its text goes, or None
        self.gpu = None
        self.feed(document)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "body":
            self.body = attrs
        if tag == "tr" and "data-gpu" in attrs:
            self.gpu = self.gpus.setdefault(int(attrs["data-gpu"]), {})
        if tag == "polyline":
            self.polylines[int(attrs["data-gpu"])] = len(attrs.get("points", "").split())
        if "hidden" in attrs:
            self.hidden.add(attrs.get("id"))
        if tag in self.VOID:
            return
        target = None
        if "id" in attrs:
            target = (self.by_id, attrs["id"])
        elif "data-field" in attrs and self.gpu is not None:
            target = (self.gpu, attrs["data-field"])
        if target:
            target[0][target[1]] = ""
        self.open.append(target)

    def handle_endtag(self, tag):
        if tag not in self.VOID and self.open:
            self.open.pop()
        if tag == "tr":
            self.gpu = None

    def handle_data(self, data):
        for target in self.open:
            if target:
                target[0][target[1]] += data


def megahashes(text):
    """MH/s of a rate as the page writes it: "4.01 MH/s" or "1.23 GH/s"."""
    match = re.fullmatch(r"([0-9.]+) (MH|GH)/s", text)
    assert match, text
    return float(match.group(1)) * (1000 if match.group(2) == "GH" else 1)


def seconds(text):
    match = re.fullmatch(r"(?:(\d+)d )?(\d\d):(\d\d):(\d\d)", text)
    assert match, text
    days, hours, minutes, secs = (int(group or 0) for group in match.groups())
    return ((days * 24 + hours) * 60 + minutes) * 60 + secs


class StatusPage(MinerTestCase):
    def assert_within(self, shown, readings, unit_step, what):
        """`shown` (rounded to `unit_step`) lies among the values /status gave while the page ran."""
        self.assertTrue(min(readings) - unit_step <= shown <= max(readings) + unit_step,
                        "%s: page %s, /status %s to %s" % (what, shown, min(readings), max(readings)))

    def test_page_shows_what_status_reports(self):
        stand_in = os.environ.get("DREVIK_NVML_STAND_IN")
        if not stand_in:
            self.skipTest("DREVIK_NVML_STAND_IN names no stand-in NVML library")
        port = free_port()
        base = "http://127.0.0.1:%d" % port
        # After the start-up self-test: GPU 0's first find is corrupted (a hardware error), GPU 1
        # fails its fourth launch.
        miner = self.start_miner("--id", "rig-07", "--wallet", "W1", "--stats", "600", "--api-port", str(port),
                                 devices=2, env={"DREVIK_NVML_LIBRARY": stand_in,
                                                 "DREVIK_HOST_FAULT": "corrupt:0:%d,fail:1:%d" % (SELF_TEST_LAUNCHES + 1, SELF_TEST_LAUNCHES + 4)})
        pool = self.pool(jobs.RESULT_SUBJECT)
        # Easy jobs (share difficulty 4: shares and a block at once) until GPU 0 has made a find,
        # as GPU 1 may find a job's block first; then one that yields nothing more to count.
        height = 1
        while not miner.matching(logged("WARN", r"GPU 0 hardware error: ")):
            self.assertLess(height, 20, miner.text())
            self.publish_job(pool, jobs.make_job(height, 16384))
            next_on(pool, jobs.RESULT_SUBJECT, 60)
            height += 1
        self.publish_job(pool, jobs.make_job(height, NEVER))
        miner.wait_for(logged("INFO", r"\[h=%d\] Mining on " % height))
        miner.wait_for(logged("ERROR", r"GPU 1 out of service: "), timeout=60)
        settled = None
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            status = read_status(base)
            counts = [status[key] for key in ("shares_session", "found_session", "outbox_size", "height")]
            if status["gpus"][0]["hashrate_mhs"] > 0 and counts == settled and counts[2] == 0:
                break
            settled = counts
            time.sleep(1)

        os.makedirs(ARTIFACTS, exist_ok=True)
        screenshot = os.path.join(ARTIFACTS, "status-page.png")
        if os.path.exists(screenshot):
            os.remove(screenshot)
        with tempfile.TemporaryDirectory() as profile, StatusRecorder(base) as recorder:
            # Virtual time lets the page refresh itself every 2 s for a minute within seconds;
            # its requests to the miner are real.
            browser = subprocess.run(
                [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + profile,
                 "--window-size=1200,640", "--virtual-time-budget=60000", "--screenshot=" + screenshot,
                 "--dump-dom", base + "/"], capture_output=True, timeout=180)
        self.assertEqual(browser.returncode, 0, browser.stderr.decode(errors="replace"))
        page = PageText(browser.stdout.decode())
        status = read_status(base)
        # The release the binary says it is, not the heartbeat format's "version" in /status.
        release = subprocess.run([MINER, "--version"], capture_output=True, text=True).stdout.splitlines()[0]
        print("screenshot: " + screenshot)

        with open(screenshot, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        self.assertGreater(int(page.body.get("data-refreshes", 0)), 2, "the page did not refresh itself")
        self.assertEqual({key: page.by_id[key] for key in ("client", "link", "version", "shares", "blocks", "outbox",
                                                            "dropped", "height", "jobs")},
                         {"client": "rig-07", "link": "connected to " + status["server"], "version": release,
                          "shares": str(status["shares_session"]), "blocks": str(status["found_session"]),
                          "outbox": str(status["outbox_size"]), "dropped": str(status["outbox_dropped"]),
                          "height": str(status["height"]), "jobs": str(status["jobs_received"])})
        self.assertIn("stale", page.hidden, "the page says the miner does not answer")
        self.assertGreaterEqual(status["found_session"], 1)
        self.assert_within(seconds(page.by_id["uptime"]), recorder.values(lambda s: s["uptime_seconds"]), 0,
                           "uptime")
        self.assert_within(megahashes(page.by_id["total"]), recorder.values(lambda s: s["hashrate_mhs"]), 0.01,
                           "total hash rate")

        # Per GPU: as /status has them, telemetry from the stand-in NVML library.
        self.assertEqual(sorted(page.gpus), [0, 1])
        for gpu in status["gpus"]:
            shown = page.gpus[gpu["index"]]
            self.assertEqual({key: shown[key] for key in ("index", "name", "state", "temp", "power", "fan", "hw_errors")},
                             {"index": str(gpu["index"]), "name": gpu["name"], "state": gpu["state"],
                              "temp": "%d °C" % gpu["temp_c"], "power": "%d W" % gpu["power_w"],
                              "fan": "%d %%" % gpu["fan_pct"], "hw_errors": str(gpu["hw_errors"])})
            readings = recorder.values(lambda s: next(g for g in s["gpus"] if g["index"] == gpu["index"])["hashrate_mhs"])
            self.assert_within(megahashes(shown["hashrate"]), readings, 0.01, "GPU %d hash rate" % gpu["index"])
            self.assertGreater(page.polylines.get(gpu["index"], 0), 2, "GPU %d has no line in the chart" % gpu["index"])
        self.assertEqual([(g["state"], g["temp_c"], g["hw_errors"]) for g in status["gpus"]],
                         [("mining", 61, 1), ("failed", 72, 0)])
        self.assert_clean_exit(miner)


if __name__ == "__main__":
    unittest.main()
