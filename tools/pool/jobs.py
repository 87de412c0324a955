"""Jobs as a pool publishes them on drevik.mining.job."""

import json
import os
import time

JOB_SUBJECT = "drevik.mining.job"
JOB_REQUEST_SUBJECT = "drevik.mining.job.current"  # a request; the answer is the current job
CANCEL_SUBJECT = "drevik.mining.cancel"
CONFIG_SUBJECT = "drevik.mining.config"
SHARE_SUBJECT = "drevik.mining.share"
RESULT_SUBJECT = "drevik.mining.result"
HEARTBEAT_PREFIX = "drevik.monitor.heartbeat."


def random_hex(count):
    return os.urandom((count + 1) // 2).hex()[:count]


def fresh_previous_hash():
    """78 characters in the block hash form: 14 hex digits of microseconds, 64 hex digits."""
    return "%014x" % int(time.time() * 1e6) + random_hex(64)


def make_job(height, difficulty, previous_blockhash=None, receipts=None):
    return {
        "height": height,
        "timestamp": int(time.time() * 1e6),
        "receipts": receipts if receipts is not None else ["receipt-%s" % random_hex(8) for _ in range(3)],
        "main_height": height * 10,
        "main_blockhash": random_hex(64),
        "previous_blockhash": previous_blockhash or fresh_previous_hash(),
        "nonce": "",
        "validator": "pool-sim-validator",
        "miner": "pool-sim",
        "difficulty": difficulty,
    }


def job_payload(job):
    return json.dumps(job, separators=(",", ":"))
