"""End to end: results kept by a JetStream stream on a real nats-server. The pool simulator reads
them through a durable consumer, so a pool that is away misses nothing; the miner's journal
keeps what it found while a crash took it down, and sends it once it is back."""

import json
import os
import signal
import struct
import tempfile
import time
import unittest
import urllib.request

from harness import Miner, NatsServer, PoolSim, free_port, jobs, logged

STREAM = "RESULTS"


def outbox_size(port):
    """The miner's outbox_size from /status; None while the API is not up yet."""
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/status" % port, timeout=10) as response:
            return json.load(response)["outbox_size"]
    except OSError:
        return None


def wait_until(predicate, timeout=60.0, what="condition", process=None):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            said = "" if process is None else "; the miner wrote:\n" + process.text()
            raise AssertionError("timed out waiting for " + what + said)
        time.sleep(0.2)


def pending_in_journal(path):
    """Message ids of the finds a journal holds and has not marked done: its records are a
    32-bit length, a checksum, a type (1 find, 2 done) and a body, integers little-endian; a find's
    body is its kind, then its subject and id each after a 16-bit length, then the payload."""
    with open(path, "rb") as f:
        data = f.read()
    pending, at = [], 0
    while at + 9 <= len(data):
        length, _, kind = struct.unpack_from("<IIB", data, at)
        body = data[at + 9:at + 9 + length]
        if len(body) < length:
            break
        if kind == 1:
            subject_length = struct.unpack_from("<H", body, 1)[0]
            id_at = 3 + subject_length
            id_length = struct.unpack_from("<H", body, id_at)[0]
            pending.append(body[id_at + 2:id_at + 2 + id_length].decode())
        elif body.decode() in pending:
            pending.remove(body.decode())
        at += 9 + length
    return pending


class ResultsStore(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.server = NatsServer(store=os.path.join(self.directory.name, "store"))
        self.processes = []
        self.conns = []

    def tearDown(self):
        for process in self.processes:
            if process.process.poll() is None:
                process.process.send_signal(signal.SIGCONT)
            process.kill()
        for conn in self.conns:
            conn.close()
        self.server.stop()
        self.directory.cleanup()

    def client(self):
        conn = self.server.client()
        self.conns.append(conn)
        return conn

    def start(self, process):
        self.processes.append(process)
        return process

    def miner(self, *args, devices=4):
        return self.start(Miner(["--nats", self.server.url, "--id", "rig-js", "--stats", "600"] + list(args),
                                devices=devices))

    def test_a_pool_that_is_away_misses_nothing(self):
        pool = self.start(PoolSim(["--nats", self.server.url, "--client-id", "rig-js", "--difficulty", "4000000000",
                                   "--interval", "600"]))
        pool.wait_for(r"^\[pool\] results stored in stream RESULTS, read through its durable consumer pool-sim$")
        miner = self.miner()
        pool.wait_for(r"share accepted")
        reader = self.client()

        # The pool stops reading; the miner goes on finding, and the stream stores what it finds.
        pool.process.send_signal(signal.SIGSTOP)
        held = len(reader.stored(STREAM))
        wait_until(lambda: len(reader.stored(STREAM)) >= held + 4, what="finds while the pool is away")
        pool.process.send_signal(signal.SIGCONT)
        status, _ = miner.interrupt()
        self.assertEqual(status, 0)

        stored = reader.stored(STREAM)
        ids = [msg_id for _, msg_id, _ in stored]
        self.assertEqual(len(ids), len(set(ids)))
        nonces = {json.loads(payload)["nonce"] for subject, _, payload in stored if subject == jobs.SHARE_SUBJECT}
        wait_until(lambda: len(pool.matching(r"share accepted")) >= len(nonces), what="the pool to catch up")
        accepted = {line.rsplit("nonce=", 1)[1] for line in pool.matching(r"share accepted")}
        self.assertEqual(accepted, nonces)
        self.assertEqual(pool.matching("REJECTED"), [])
        self.assertEqual(miner.matching(r"WARN"), [])

    def test_finds_pending_when_the_miner_is_killed_are_sent_once_after_it_restarts(self):
        reader = self.client()
        self.assertTrue(reader.bind_stream(STREAM, [jobs.SHARE_SUBJECT, jobs.RESULT_SUBJECT]))
        journal = os.path.join(self.directory.name, "results.journal")
        api = free_port()
        miner = self.miner("--journal", journal, "--api-port", str(api))
        miner.wait_for(r"^\[NATS\] Connected: ")
        self.server.wait_subscribed(count=4)
        # Shares as often as at the default divisor, blocks 32 times rarer: a block ends the job,
        # and the finds this test counts must keep coming.
        reader.publish(jobs.CONFIG_SUBJECT, '{"share_divisor":131072}')
        reader.publish(jobs.JOB_SUBJECT, jobs.job_payload(jobs.make_job(100, 128_000_000_000)))
        reader.flush()
        wait_until(lambda: len(reader.stored(STREAM)) >= 1, what="a first stored find", process=miner)
        reader.close()
        self.conns.remove(reader)

        self.server.stop(signal.SIGKILL)
        miner.wait_for(r"^\[NATS\] Disconnected from ")
        wait_until(lambda: (outbox_size(api) or 0) >= 3, what="finds kept while the server is down", process=miner)
        miner.kill()  # SIGKILL: nothing is flushed or said
        pending = pending_in_journal(journal)
        self.assertGreaterEqual(len(pending), 3)

        self.server.start()
        reader = self.client()
        before = reader.stored(STREAM)
        restarted = self.miner("--journal", journal, "--api-port", str(api))
        restarted.wait_for(logged("INFO", r"Journal %s: %d undelivered result\(s\) to send$" % (journal, len(pending))))
        wait_until(lambda: outbox_size(api) == 0, what="the pending finds to be stored", process=restarted)
        after = reader.stored(STREAM)
        ids = [msg_id for _, msg_id, _ in after]
        self.assertEqual(len(ids), len(set(ids)), "a find stored twice")
        self.assertTrue(set(pending) <= set(ids))
        self.assertEqual(after[:len(before)], before)
        self.assertEqual(pending_in_journal(journal), [])


if __name__ == "__main__":
    unittest.main()
