"""End to end: the real miner binary on the host device against a real nats-server, checked
by the pool simulator's independent verification."""

import json
import os
import re
import signal
import tempfile
import time
import unittest

from harness import Miner, NatsServer, jobs, logged, next_on, subscriber, verify, wait_for_value

EASY = 1000            # a block within the first launch
NEVER = 2 ** 62        # no block while a test runs
SELF_TEST_LAUNCHES = 4  # the start-up self-test: its search launches and the finds it reads back
STATS_FILE = "/tmp/drevik-miner-stats.json"
RULE = "=" * 60


class MinerTestCase(unittest.TestCase):
    def setUp(self):
        self.server = NatsServer()
        self.miners = []
        self.conns = []

    def tearDown(self):
        for miner in self.miners:
            miner.kill()
        for conn in self.conns:
            conn.close()
        self.server.stop()

    def start_miner(self, *args, devices=None, connect=True, env=None):
        miner = Miner(["--nats", self.server.url] + list(args), devices=devices, env=env)
        self.miners.append(miner)
        if connect:
            miner.wait_for(r"^\[NATS\] Connected: 127\.0\.0\.1:%d$" % self.server.port)
            self.server.wait_subscribed()
        return miner

    def pool(self, *subjects):
        conn = subscriber(self.server, *subjects)
        self.conns.append(conn)
        return conn

    def publish_job(self, conn, job):
        conn.publish(jobs.JOB_SUBJECT, jobs.job_payload(job))
        conn.flush()

    def assert_clean_exit(self, miner, sig=signal.SIGINT, reporting=False):
        """With `reporting` (a report every second) a report's rows may follow the last line. The
        server's answer to a result sent just before the signal may be read after it, while the
        outbox is flushed: the note that no stream stores that subject may come last."""
        status, seconds = miner.interrupt(sig)
        self.assertEqual(status, 0, miner.text())
        self.assertLess(seconds, 5.0, "shutdown took %.2fs" % seconds)
        late = [r"^\[NATS\] WARN: no stream stores "] + ([logged("INFO", "(  |-{44}|STATS)")] if reporting else [])
        last = [line for line in miner.lines if not any(re.match(pattern, line) for pattern in late)]
        self.assertRegex(last[-1], logged("INFO", r"Shutting down\.\.\.$"))
        return seconds


class BlockFlow(MinerTestCase):
    def test_job_yields_a_verified_share_then_block(self):
        miner = self.start_miner("--id", "rig-e2e", "--wallet", "W1", "--stats", "600")
        pool = self.pool(jobs.SHARE_SUBJECT, jobs.RESULT_SUBJECT)
        job = jobs.make_job(500, EASY)
        self.publish_job(pool, job)

        first = pool.next_message(60)
        self.assertEqual(first[0], jobs.SHARE_SUBJECT, "the block's share comes first")
        share, reason = verify.verify_share(first[1], job, "rig-e2e", "W1", 4096)
        self.assertIsNone(reason)
        result, reason = verify.verify_result(next_on(pool, jobs.RESULT_SUBJECT, 30), job, "rig-e2e")
        self.assertIsNone(reason)
        self.assertEqual((share["nonce"], share["timestamp"]), (result["nonce"], result["timestamp"]))

        miner.wait_for(logged("INFO", r"\[h=500\] Job: diff=1000 share_diff=1 prev=%s\.\.\."
                              % job["previous_blockhash"][:16]))
        miner.wait_for(logged("INFO", r"\[h=500\] Mining on 1 GPU\(s\)\.\.\."))
        miner.wait_for(logged("INFO", r"\[h=500\] FOUND by GPU 0! nonce=%s\.\.\. hash=%s\.\.\. \(\d+\.\ds\)$"
                              % (result["nonce"][:16], result["blockhash"][:16])))
        self.assert_clean_exit(miner)

        # Start-up banner, in order, around the engine's own set-up lines.
        info = [line for line in miner.lines if re.match(logged("INFO", ".*"), line)]
        body = [re.sub("^" + r"\[[^\]]*\]\[rig-e2e\]\[INFO\] ", "", line) for line in info]
        self.assertEqual(body[:4], [RULE, "  DREVIK GPU Miner v3.2.1 (split kernel + precomp)",
                                    "  Share divisor: 4096", RULE])
        self.assertRegex(body[4], r"^GPU 0: .+ \(SM=\d+, grid=\d+, loops=\d+, hashes/launch=\d+\)$")
        self.assertRegex(body[5], r"^GPU 0 self-test passed \(\d+\.\d ms\)$")
        self.assertEqual(body[6:12], ["All 1 GPU(s) ready (auto-detected)", "NATS: 1 server(s)",
                                      "  " + self.server.url, "Wallet: W1", RULE,
                                      "[h=500] Job: diff=1000 share_diff=1 prev=%s..."
                                      % job["previous_blockhash"][:16]])
        tuning = miner.matching(r"^\[GPU 0\] Tuned: grid=\d+ loops=\d+ kernel=")
        self.assertEqual(len(tuning), 1)

    def test_two_devices_mine_one_job_and_publish_one_block(self):
        miner = self.start_miner("--gpus", "1,0", "--stats", "600", devices=2)
        self.assertEqual(len(miner.matching(logged("INFO", r"GPU [01]: "))), 2)
        self.assertLess(miner.wait_for(logged("INFO", r"GPU 1: ")), miner.wait_for(logged("INFO", r"GPU 0: ")))
        miner.wait_for(logged("INFO", r"All 2 GPU\(s\) ready"))
        pool = self.pool(jobs.RESULT_SUBJECT)
        job = jobs.make_job(7, EASY)
        self.publish_job(pool, job)
        _, reason = verify.verify_result(next_on(pool, jobs.RESULT_SUBJECT, 60), job, logged_client_id(miner))
        self.assertIsNone(reason)
        miner.wait_for(logged("INFO", r"\[h=7\] Mining on 2 GPU\(s\)\.\.\."))
        miner.wait_for(logged("INFO", r"\[h=7\] FOUND by GPU [01]! "))
        self.assertIsNone(pool.next_message(2.0), "a second block was published for the same job")
        self.assert_clean_exit(miner)


def logged_client_id(miner):
    """The client id the miner logs with (its host name when --id is not given)."""
    return re.match(r"^\[[^\]]*\]\[([^\]]*)\]", miner.matching(logged("INFO", ".*"))[0]).group(1)


class JobRules(MinerTestCase):
    def test_duplicates_stale_jobs_newer_jobs_cancel_and_config(self):
        miner = self.start_miner("--id", "rules", "--stats", "1")
        pool = self.pool(jobs.SHARE_SUBJECT, jobs.RESULT_SUBJECT)

        pool.publish(jobs.CONFIG_SUBJECT, '{"share_divisor":1024}')
        miner.wait_for(logged("INFO", r"Share divisor updated: 0 -> 1024"))

        slow = jobs.make_job(100, NEVER)
        self.publish_job(pool, slow)
        miner.wait_for(logged("INFO", r"\[h=100\] Job: diff=%d share_diff=%d " % (NEVER, NEVER // 1024)))
        miner.wait_for(logged("INFO", r"\[h=100\] Mining on 1 GPU\(s\)"))
        mark = miner.mark()
        self.publish_job(pool, slow)  # duplicate: silent
        stale = jobs.make_job(99, EASY)
        self.publish_job(pool, stale)
        miner.wait_for(logged("DEBUG", r"\[h=99\] Stale job \(best=100\), skipped"), start=mark)

        # A newer job of the same height interrupts the search; only it yields a block.
        newer = jobs.make_job(100, EASY)
        self.publish_job(pool, newer)
        payload = next_on(pool, jobs.RESULT_SUBJECT, 60)
        _, reason = verify.verify_result(payload, newer, "rules")
        self.assertIsNone(reason)
        self.assertEqual(len(miner.matching(r"Job: ", start=mark)), 1, "the duplicate was logged")

        cancelled = jobs.make_job(101, NEVER)
        self.publish_job(pool, cancelled)
        miner.wait_for(logged("INFO", r"\[h=101\] Mining on 1 GPU\(s\)"))
        pool.publish(jobs.CANCEL_SUBJECT, json.dumps({"previous_blockhash": cancelled["previous_blockhash"]}))
        pool.flush()
        miner.wait_for(logged("INFO", r"  Jobs: recv=5 found=1 cancel=1 skip=2 shares=1"), timeout=10)
        # The search has stopped: the process stays idle.
        time.sleep(0.3)
        before = miner.cpu_seconds()
        time.sleep(1.0)
        self.assertLess(miner.cpu_seconds() - before, 0.3)

        # The divisor changed for later jobs only, and a later job still mines.
        pool.publish(jobs.CONFIG_SUBJECT, '{"share_divisor":"2048"}')
        miner.wait_for(logged("INFO", r"Share divisor updated: 1024 -> 2048"))
        last = jobs.make_job(102, 4096 * 1000)
        self.publish_job(pool, last)
        miner.wait_for(logged("INFO", r"\[h=102\] Job: diff=4096000 share_diff=2000 "))
        miner.wait_for(logged("INFO", r"\[h=102\] Mining on 1 GPU\(s\)"))
        self.assert_clean_exit(miner, signal.SIGTERM)


class Shares(MinerTestCase):
    def test_one_verified_share_per_window(self):
        miner = self.start_miner("--id", "sharer", "--wallet", "addr", "--stats", "600")
        pool = self.pool(jobs.SHARE_SUBJECT, jobs.RESULT_SUBJECT)
        pool.publish(jobs.CONFIG_SUBJECT, '{"share_divisor":131072}')
        miner.wait_for(logged("INFO", r"Share divisor updated: 0 -> 131072"))
        job = jobs.make_job(3, 2 ** 36)  # share difficulty 2^19: many candidates per window
        self.publish_job(pool, job)

        shares = []
        deadline = time.monotonic() + 11.5
        while time.monotonic() < deadline:
            item = pool.next_message(max(0.0, deadline - time.monotonic()))
            if item:
                self.assertEqual(item[0], jobs.SHARE_SUBJECT, "no block can be found at this difficulty")
                shares.append((time.monotonic(), item[1]))
        self.assertGreaterEqual(len(shares), 2, miner.text())
        stamps = []
        for _, payload in shares:
            share, reason = verify.verify_share(payload, job, "sharer", "addr", 131072)
            self.assertIsNone(reason)
            stamps.append(share["timestamp"])
        self.assertEqual(len(stamps), len(set(stamps)), "two shares carried the same window timestamp")
        self.assertGreater(shares[1][0] - shares[0][0], 3.0, "second share within the first window")
        self.assert_clean_exit(miner)


class Heartbeat(MinerTestCase):
    def test_heartbeat_and_statistics_file_hold_the_same_bytes(self):
        miner = self.start_miner("--id", "hb-rig", "--stats", "600")
        pool = self.pool(jobs.HEARTBEAT_PREFIX + "hb-rig")
        payload = next_on(pool, jobs.HEARTBEAT_PREFIX + "hb-rig", 20)
        message, reason = verify.verify_heartbeat(payload, "hb-rig", "")
        self.assertIsNone(reason)
        self.assertEqual(len(message["gpus"]), 1)
        self.assertGreaterEqual(message["uptime_seconds"], 9)
        deadline = time.monotonic() + 2
        while True:
            with open(STATS_FILE, "rb") as f:
                content = f.read()
            if content == payload or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.assertEqual(content, payload)
        self.assertEqual(os.stat(STATS_FILE).st_mode & 0o777, 0o644)
        self.assert_clean_exit(miner)


class Shutdown(MinerTestCase):
    def test_sigint_while_idle(self):
        miner = self.start_miner("--stats", "600")
        seconds = self.assert_clean_exit(miner)
        print("idle shutdown took %.3fs" % seconds)

    def test_sigterm_while_searching(self):
        miner = self.start_miner("--stats", "600")
        pool = self.pool()
        self.publish_job(pool, jobs.make_job(1, NEVER))
        miner.wait_for(logged("INFO", r"\[h=1\] Mining on 1 GPU\(s\)"))
        time.sleep(0.5)
        seconds = self.assert_clean_exit(miner, signal.SIGTERM)
        print("shutdown while searching took %.3fs" % seconds)

    def test_zero_gpus_take_jobs_without_results(self):
        miner = self.start_miner("--gpus", "", "--stats", "600")
        miner.wait_for(logged("INFO", r"All 0 GPU\(s\) ready$"))
        pool = self.pool(jobs.RESULT_SUBJECT)
        self.publish_job(pool, jobs.make_job(1, EASY))
        miner.wait_for(logged("INFO", r"\[h=1\] Mining on 0 GPU\(s\)\.\.\."))
        self.assertIsNone(pool.next_message(1.0))
        self.assert_clean_exit(miner)

    def test_failed_device_set_up_exits_with_status_one(self):
        miner = self.start_miner("--gpus", "7", connect=False)
        self.assertEqual(miner.wait_exit(120), 1)
        miner.wait_for(r"^CUDA error src/gpu_miner:\d+: invalid device ordinal$")
        self.assertRegex(miner.lines[-1], logged("ERROR", r"GPU 7 init failed: .+"))
        self.assertEqual(miner.matching(r"NATS"), [])


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


class Memory(MinerTestCase):
    def setUp(self):
        self.config = tempfile.NamedTemporaryFile("w", suffix=".conf")
        self.config.write("max_payload: 67108864\n")
        self.config.flush()
        self.server = NatsServer(["-c", self.config.name])
        self.miners = []
        self.conns = []

    def tearDown(self):
        super().tearDown()
        self.config.close()

    def test_a_job_with_a_million_receipts_leaves_the_heap_as_it_was(self):
        miner = self.start_miner("--gpus", "", "--stats", "600")
        pool = self.pool()
        usual = resident_kib(miner.process.pid)
        huge = jobs.make_job(1, NEVER, receipts=["receipt-%08x" % i for i in range(1000000)])
        self.publish_job(pool, huge)
        miner.wait_for(logged("INFO", r"\[h=1\] Mining on 0 GPU\(s\)"), timeout=120)
        self.publish_job(pool, jobs.make_job(2, NEVER))
        miner.wait_for(logged("INFO", r"\[h=2\] Mining on 0 GPU\(s\)"))
        # Parsing the job took well over 100 MiB; once it is gone, the process is its usual size.
        after = wait_for_value(lambda: resident_kib(miner.process.pid), lambda kib: kib < usual + 16384)
        self.assertLess(after, usual + 16384, "resident %d KiB, %d KiB before the job" % (after, usual))
        self.assert_clean_exit(miner)


class DeviceHealth(MinerTestCase):
    def assert_device_0_mines_on_alone(self, miner, pool, rig):
        """Once GPU 1 has left service (its one ERROR line): the next job is mined on GPU 0
        alone, whose block the pool verifies."""
        job = jobs.make_job(2, EASY)
        self.publish_job(pool, job)
        _, reason = verify.verify_result(next_on(pool, jobs.RESULT_SUBJECT, 60), job, rig)
        self.assertIsNone(reason)
        miner.wait_for(logged("INFO", r"\[h=2\] Mining on 1 GPU\(s\)\.\.\.$"))
        miner.wait_for(logged("INFO", r"\[h=2\] FOUND by GPU 0! "))
        self.assertEqual(len(miner.matching(logged("ERROR", ""))), 1, miner.text())
        self.assert_clean_exit(miner, reporting=True)

    def test_failed_or_hung_device_leaves_service_while_the_other_finds_the_block(self):
        for kind, reason in (("fail", r"launch failed: unspecified launch failure"),
                             ("hang", r"launch did not complete within 5\.0s")):
            with self.subTest(kind):
                miner = self.start_miner("--id", "rig-" + kind, "--stats", "1", devices=2,
                                         env={"DREVIK_HOST_FAULT": "%s:1:%d" % (kind, SELF_TEST_LAUNCHES + 2)})
                pool = self.pool(jobs.RESULT_SUBJECT)
                self.publish_job(pool, jobs.make_job(1, NEVER))
                miner.wait_for(logged("INFO", r"\[h=1\] Mining on 2 GPU\(s\)\.\.\.$"))
                failure = miner.wait_for(logged("ERROR", r"GPU 1 out of service: %s$" % reason), timeout=30)
                miner.wait_for(logged("INFO", r"  GPU 1: .* \| hw_errors=0 \| failed$"), start=failure)
                miner.wait_for(logged("INFO", r"  GPU 0: .* \| [1-9][0-9.]* MH/s \| .* \| mining$"), start=failure)
                self.assert_device_0_mines_on_alone(miner, pool, "rig-" + kind)

    def test_no_device_left_exits_with_status_one(self):
        miner = self.start_miner("--stats", "600", env={"DREVIK_HOST_FAULT": "fail:0:%d" % (SELF_TEST_LAUNCHES + 1)})
        pool = self.pool()
        self.publish_job(pool, jobs.make_job(1, NEVER))
        self.assertEqual(miner.wait_exit(60), 1)
        self.assertRegex(miner.lines[-3], logged("ERROR", r"GPU 0 out of service: launch failed: "
                                                          r"unspecified launch failure$"))
        self.assertRegex(miner.lines[-2], logged("ERROR", r"No GPU left in service, exiting$"))
        self.assertRegex(miner.lines[-1], logged("INFO", r"Shutting down\.\.\.$"))

        # Failed at start-up, in the self-test: the miner ends before it connects.
        miner = self.start_miner(connect=False, env={"DREVIK_HOST_FAULT": "fail:0:1"})
        self.assertEqual(miner.wait_exit(60), 1)
        self.assertRegex(miner.lines[-2], logged("ERROR", r"GPU 0 out of service: launch failed: "
                                                          r"unspecified launch failure$"))
        self.assertRegex(miner.lines[-1], logged("ERROR", r"No GPU left in service, exiting$"))
        self.assertEqual(miner.matching(r"NATS"), [])

    def test_device_failing_its_self_test_leaves_service_while_the_other_mines(self):
        missed = r"GPU 1 out of service: self-test: precomp kernel missed block nonce 3a7fc2e19b18f877$"
        # At start-up (miss from the first launch on), and while mining: the start-up test
        # passes, the device misses from the next launch on, and the self-test that its search
        # runs once 1.08 s have passed catches it.
        for case, fault, args in (("start-up", "miss:1:1", ()),
                                  ("mining", "miss:1:%d" % (SELF_TEST_LAUNCHES + 1), ("--self-test-hours", "0.0003"))):
            with self.subTest(case):
                miner = self.start_miner("--id", "rig-" + case, "--stats", "1", *args, devices=2,
                                         env={"DREVIK_HOST_FAULT": fault})
                passed = miner.wait_for(logged("INFO", r"GPU 0 self-test passed \(\d+\.\d ms\)$"))
                pool = self.pool(jobs.RESULT_SUBJECT)
                if case == "mining":
                    self.assertEqual(miner.matching(logged("ERROR", "")), [])
                    self.publish_job(pool, jobs.make_job(1, NEVER))
                    miner.wait_for(logged("INFO", r"\[h=1\] Mining on 2 GPU\(s\)\.\.\.$"))
                failure = miner.wait_for(logged("ERROR", missed), timeout=60)
                self.assertLess(passed, failure)
                miner.wait_for(logged("INFO", r"  GPU 1: .* \| hw_errors=0 \| failed$"), start=failure)
                self.assert_device_0_mines_on_alone(miner, pool, "rig-" + case)

    def test_corrupt_finds_never_reach_the_bus_nor_flood_the_console(self):
        # The first seven finds after the start-up self-test.
        corrupt = ",".join("corrupt:0:%d" % (SELF_TEST_LAUNCHES + n) for n in range(1, 8))
        miner = self.start_miner("--id", "rig-c", "--stats", "1", env={"DREVIK_HOST_FAULT": corrupt})
        pool = self.pool(jobs.SHARE_SUBJECT, jobs.RESULT_SUBJECT)
        job = jobs.make_job(5, 16384)  # share difficulty 4: a block within the first launches
        self.publish_job(pool, job)
        result, reason = verify.verify_result(next_on(pool, jobs.RESULT_SUBJECT, 60), job, "rig-c")
        self.assertIsNone(reason)
        warning = miner.wait_for(logged("WARN", r"GPU 0 hardware error: (block|share) nonce=[0-9a-f]{16} rejected "
                                                r"\(SHA-256 of the pre-image differs from the device's digest\)$"))
        bad_nonce = re.search(r"nonce=([0-9a-f]{16})", miner.lines[warning]).group(1)
        self.assertNotEqual(result["nonce"], bad_nonce)
        miner.wait_for(logged("INFO", r"  GPU 0: .* \| hw_errors=7 \| (idle|mining)$"), start=warning)
        # A few lines a window; the rest are counted once the window is over.
        miner.wait_for(logged("WARN", r"GPU hardware error: 2 more not shown$"), timeout=30)
        self.assertEqual(len(miner.matching(logged("WARN", r"GPU 0 hardware error: "))), 5)
        self.assert_clean_exit(miner, reporting=True)
        while True:
            item = pool.next_message(0.5)
            if item is None:
                break
            if item[0] == jobs.SHARE_SUBJECT:
                share, reason = verify.verify_share(item[1], job, "rig-c", "", 4096)
                self.assertIsNone(reason)
                self.assertNotEqual(share["nonce"], bad_nonce)

    def test_malformed_fault_plan_is_a_start_up_error(self):
        miner = self.start_miner(connect=False, env={"DREVIK_HOST_FAULT": "hang:1"})
        self.assertEqual(miner.wait_exit(30), 1)
        self.assertEqual(miner.lines[-2], 'DREVIK_HOST_FAULT: malformed entry "hang:1" (expected KIND:DEVICE:N, '
                                          'KIND fail, hang, corrupt or miss, DEVICE 0 to 63, N from 1)')
        self.assertEqual(miner.lines[-1], "ERROR: No usable CUDA GPUs found")

    def test_signal_during_tuning_ends_start_up(self):
        miner = self.start_miner(devices=3, connect=False)
        miner.wait_for(r"^\[GPU 0\] Auto-tuning ")
        status, seconds = miner.interrupt()
        print("SIGINT during tuning of 3 devices: exit after %.3fs" % seconds)
        self.assertEqual(status, 0, miner.text())
        self.assertLess(seconds, 5.0)
        self.assertEqual(miner.matching(r"^\[GPU [12]\]"), [])
        self.assertRegex(miner.lines[-1], logged("INFO", r"Shutting down\.\.\.$"))


class Telemetry(MinerTestCase):
    def test_heartbeat_and_rows_carry_each_devices_nvml_readings(self):
        stand_in = os.environ.get("DREVIK_NVML_STAND_IN")
        if not stand_in:
            self.skipTest("DREVIK_NVML_STAND_IN names no stand-in NVML library")
        miner = self.start_miner("--id", "hot-rig", "--gpus", "1,0", "--stats", "1", devices=2,
                                 env={"DREVIK_NVML_LIBRARY": stand_in})
        pool = self.pool(jobs.HEARTBEAT_PREFIX + "hot-rig")
        miner.wait_for(logged("INFO", r"  GPU 1: .* \| 0\.0 MH/s \| 72C 221W \| hw_errors=0 \| idle$"))
        miner.wait_for(logged("INFO", r"  GPU 0: .* \| 0\.0 MH/s \| 61C 151W \| hw_errors=0 \| idle$"))
        message, reason = verify.verify_heartbeat(next_on(pool, jobs.HEARTBEAT_PREFIX + "hot-rig", 20), "hot-rig")
        self.assertIsNone(reason)
        readings = [(g["index"], g["temp_c"], g["power_w"], g["fan_pct"], g["util_pct"], g["mem_used_mb"],
                     g["mem_total_mb"], g["state"]) for g in message["gpus"]]
        self.assertEqual(readings, [(1, 72, 221, 55, 88, 3072, 16384, "idle"),
                                    (0, 61, 151, 41, 97, 1536, 8192, "idle")])
        self.assertEqual(miner.matching(logged("DEBUG", "NVML")), [])
        self.assert_clean_exit(miner, reporting=True)

    def test_missing_library_leaves_zeros_and_one_debug_line(self):
        miner = self.start_miner("--stats", "1", env={"DREVIK_NVML_LIBRARY": "/nonexistent/libnvidia-ml.so.1"})
        miner.wait_for(logged("INFO", r"  GPU 0: .* \| 0C 0W \| hw_errors=0 \| idle$"))
        debug = miner.matching(logged("DEBUG", ""))
        self.assertEqual(len(debug), 1, miner.text())
        self.assertRegex(debug[0], logged("DEBUG", r"NVML not available, GPU telemetry reads 0: "
                                                   r".*/nonexistent/libnvidia-ml\.so\.1"))
        self.assert_clean_exit(miner, reporting=True)


class Reconnect(MinerTestCase):
    def test_server_restart_mid_search_is_survived(self):
        miner = self.start_miner("--stats", "600")
        pool = self.pool()
        self.publish_job(pool, jobs.make_job(1, NEVER))
        miner.wait_for(logged("INFO", r"\[h=1\] Mining on 1 GPU\(s\)"))
        pool.close()
        self.conns.clear()
        mark = miner.mark()
        self.server.stop()
        miner.wait_for(r"^\[NATS\] Disconnected from 127\.0\.0\.1:%d$" % self.server.port, start=mark, timeout=30)
        self.server.start()
        miner.wait_for(r"^\[NATS\] Connected: 127\.0\.0\.1:%d$" % self.server.port, start=mark, timeout=30)
        self.server.wait_subscribed()
        pool = self.pool(jobs.RESULT_SUBJECT)
        job = jobs.make_job(2, EASY)
        self.publish_job(pool, job)
        _, reason = verify.verify_result(next_on(pool, jobs.RESULT_SUBJECT, 60), job, logged_client_id(miner))
        self.assertIsNone(reason)
        self.assert_clean_exit(miner)


if __name__ == "__main__":
    unittest.main()
