"""Independent checks of what a miner sends: written apart from the miner's own hashing code
(Python's hashlib and big integers) so that one bug cannot pass both."""

import hashlib
import json

SHARE_KEYS = ["client_id", "difficulty", "height", "main_blockhash", "main_height", "miner", "nonce",
              "previous_blockhash", "receipts", "share_difficulty", "timestamp", "validator", "wallet"]
RESULT_KEYS = ["blockhash", "client_id", "difficulty", "height", "main_blockhash", "main_height", "miner",
               "nonce", "previous_blockhash", "receipts", "timestamp", "validator"]
JOB_FIELDS = ["height", "main_blockhash", "main_height", "miner", "previous_blockhash", "receipts",
              "validator"]


def sha256_hex(data):
    if isinstance(data, str):
        data = data.encode()
    return hashlib.sha256(data).hexdigest()


def receipt_root(receipts):
    if not receipts:
        return sha256_hex(b"")
    level = [sha256_hex(r) for r in receipts]
    while len(level) > 1:
        level = [sha256_hex(level[i] + level[i + 1]) if i + 1 < len(level) else level[i]
                 for i in range(0, len(level), 2)]
    return level[0]


def header_text(job, timestamp):
    return ('{"height":%d,"timestamp":%d,"receipt_root":"%s","main_height":%d,"main_blockhash":"%s",'
            '"validator":"%s","miner":"%s"}' % (job["height"], timestamp, receipt_root(job["receipts"]),
                                                job["main_height"], job["main_blockhash"],
                                                job["validator"], job["miner"]))


def target(difficulty):
    return (2 ** 256 - 1) // difficulty if difficulty > 0 else 0


def share_difficulty(difficulty, divisor):
    quotient = int(difficulty / divisor)  # truncates toward zero, as the miner's integer division
    return quotient if quotient > 0 else 1


def preimage_digest(job, timestamp, nonce):
    preimage = job["previous_blockhash"] + sha256_hex(header_text(job, timestamp)) + nonce
    return hashlib.sha256(preimage.encode()).digest()


def block_hash_text(timestamp, digest):
    return "%014x" % timestamp + sha256_hex(digest.hex())


def canonical_json(obj):
    """Compact JSON with keys in byte order and UTF-8 text: the form the miner must send."""
    return json.dumps(obj, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def _decode(payload, keys):
    try:
        message = json.loads(payload)
    except ValueError as error:
        return None, "not JSON: %s" % error
    if not isinstance(message, dict) or sorted(message) != keys:
        return None, "wrong keys: %s" % (sorted(message) if isinstance(message, dict) else type(message))
    if canonical_json(message) != payload:
        return None, "not compact sorted JSON"
    return message, None


def _check_common(message, job, client_id):
    for key in JOB_FIELDS:
        if message[key] != job[key]:
            return "%s differs from the job" % key
    if message["client_id"] != client_id:
        return "client_id %r" % message["client_id"]
    nonce = message["nonce"]
    if not (isinstance(nonce, str) and len(nonce) == 16 and all(c in "0123456789abcdef" for c in nonce)):
        return "nonce %r is not 16 lower-case hex digits" % nonce
    if not isinstance(message["timestamp"], int) or message["timestamp"] <= 0:
        return "bad timestamp"
    return None


def verify_share(payload, job, client_id, wallet, divisor):
    """(message, None) when the share is valid, else (message or None, reason)."""
    message, reason = _decode(payload, SHARE_KEYS)
    if reason:
        return None, reason
    reason = _check_common(message, job, client_id)
    if reason:
        return message, reason
    if wallet is not None and message["wallet"] != wallet:
        return message, "wallet %r, expected %r" % (message["wallet"], wallet)
    if message["difficulty"] != job["difficulty"]:
        return message, "difficulty %r" % message["difficulty"]
    if message["share_difficulty"] != share_difficulty(job["difficulty"], divisor):
        return message, "share_difficulty %r" % message["share_difficulty"]
    digest = preimage_digest(job, message["timestamp"], message["nonce"])
    if int.from_bytes(digest, "big") > target(message["share_difficulty"]):
        return message, "digest %s above the share target" % digest.hex()
    return message, None


def verify_result(payload, job, client_id):
    message, reason = _decode(payload, RESULT_KEYS)
    if reason:
        return None, reason
    reason = _check_common(message, job, client_id)
    if reason:
        return message, reason
    if message["difficulty"] != str(job["difficulty"]):
        return message, "difficulty %r is not the job's difficulty as text" % message["difficulty"]
    digest = preimage_digest(job, message["timestamp"], message["nonce"])
    if int.from_bytes(digest, "big") > target(job["difficulty"]):
        return message, "digest %s above the block target" % digest.hex()
    if message["blockhash"] != block_hash_text(message["timestamp"], digest):
        return message, "blockhash %s, expected %s" % (message["blockhash"],
                                                       block_hash_text(message["timestamp"], digest))
    return message, None


def verify_heartbeat(payload, client_id, wallet=None):
    message, reason = _decode(payload, ["client_id", "found_session", "gpus", "hashrate_mhs", "hostname",
                                        "jobs_received", "shares_session", "uptime_seconds", "version",
                                        "wallet"])
    if reason:
        return message, reason
    if message["client_id"] != client_id or message["hostname"] != client_id:
        return message, "client_id/hostname"
    if wallet is not None and message["wallet"] != wallet:
        return message, "wallet %r, expected %r" % (message["wallet"], wallet)
    if message["version"] != "3.0.0":
        return message, "version %r" % message["version"]
    if not isinstance(message["hashrate_mhs"], float):
        return message, "hashrate_mhs is not a floating-point number"
    return message, None
