"""End to end: the real miner binary on the host device against a real nats-server, checked
by the pool simulator's independent verification."""

import json
import os
import re
import signal
import time
import unittest

from harness import Miner, NatsServer, jobs, logged, next_on, subscriber, verify

EASY = 1000            # a block within the first launch
NEVER = 2 ** 62        # no block while a test runs
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

    def start_miner(self, *args, devices=None, connect=True):
        miner = Miner(["--nats", self.server.url] + list(args), devices=devices)
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

    def assert_clean_exit(self, miner, sig=signal.SIGINT):
        status, seconds = miner.interrupt(sig)
        self.assertEqual(status, 0, miner.text())
        self.assertLess(seconds, 5.0, "shutdown took %.2fs" % seconds)
        self.assertRegex(miner.lines[-1], logged("INFO", r"Shutting down\.\.\.$"))
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
        self.assertEqual(body[5:11], ["All 1 GPU(s) ready (auto-detected)", "NATS: 1 server(s)",
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
