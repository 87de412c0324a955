"""Pool simulator: publishes mining jobs over NATS, steers the miner with cancel and config
messages, and verifies every share, block result and heartbeat it receives independently."""

import argparse
import json
import os
import signal
import sys
import time

# Run as a script: its own folder (the package) gives way to the folder that holds the package.
sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

from pool import bus, jobs, verify  # noqa: E402


def parse_args():
    p = argparse.ArgumentParser(prog="pool_sim", description=__doc__)
    p.add_argument("--nats", metavar="URL", default="nats://127.0.0.1:4222",
                   help="server URL: nats:// or tls://, with user:password@ or token@ before the host "
                        "for a server that wants them (percent-encoded)")
    p.add_argument("--tls-ca", metavar="FILE",
                   help="authority to trust for the server's certificate instead of the system's (TLS on)")
    p.add_argument("--tls-cert", metavar="FILE", help="client certificate, for a server that verifies clients")
    p.add_argument("--tls-key", metavar="FILE", help="private key of --tls-cert")
    p.add_argument("--difficulty", type=int, default=50_000_000, help="block difficulty of each job")
    p.add_argument("--interval", type=float, default=60.0,
                   help="seconds before a job without a block is replaced by a newer one")
    p.add_argument("--height", type=int, default=1000, help="height of the first job")
    p.add_argument("--client-id", default=None, help="expected client id (default: accept any)")
    p.add_argument("--wallet", default=None, help="expected wallet in shares and heartbeats (default: any)")
    p.add_argument("--share-divisor", type=int, default=None, help="send a config message with this divisor")
    p.add_argument("--cancel-after", type=float, default=None,
                   help="cancel each job this many seconds after publishing it")
    p.add_argument("--blocks", type=int, default=0, help="exit after this many verified blocks (0: never)")
    p.add_argument("--duration", type=float, default=0, help="exit after this many seconds (0: never)")
    p.add_argument("--stream", default="RESULTS",
                   help="JetStream stream that stores the shares and block results (made when missing) and "
                        "the pool reads through its durable consumer 'pool-sim'; 'none', or a server without "
                        "JetStream, reads them as they pass")
    args = p.parse_args()
    # Mistakes in the connection options are said at once, not retried.
    try:
        bus.parse_endpoint(args.nats)
        if (args.tls_cert is None) != (args.tls_key is None):
            p.error("--tls-cert and --tls-key go together")
        if args.tls_ca or args.tls_cert:
            bus.tls_context(args.tls_ca, args.tls_cert, args.tls_key)
    except bus.BusError as error:
        p.error(str(error))
    return args


class Pool:
    def __init__(self, args, conn):
        self.args = args
        self.conn = conn
        self.divisor = 4096
        self.jobs = {}  # previous_blockhash -> job
        self.current = None
        self.current_payload = None
        self.published_at = 0.0
        self.cancelled = False
        self.blocks = 0
        self.rejected = 0

    def say(self, text):
        print("[pool] " + text, flush=True)

    def publish_job(self, previous_blockhash=None):
        height = self.current["height"] + 1 if self.current else self.args.height
        job = jobs.make_job(height, self.args.difficulty, previous_blockhash)
        self.jobs[job["previous_blockhash"]] = (job, self.divisor)
        self.current = job
        self.current_payload = jobs.job_payload(job)
        self.published_at = time.monotonic()
        self.cancelled = False
        self.conn.publish(jobs.JOB_SUBJECT, self.current_payload)
        self.say("job h=%d diff=%d prev=%s..." % (height, job["difficulty"], job["previous_blockhash"][:16]))

    def client_ok(self, message):
        expected = self.args.client_id
        return expected is None or message.get("client_id") == expected

    def lookup(self, payload):
        """The job a share or result names, by its previous block hash."""
        try:
            prev = json.loads(payload).get("previous_blockhash")
        except (ValueError, AttributeError):
            return None, None
        return self.jobs.get(prev, (None, None))

    def on_share(self, payload):
        job, divisor = self.lookup(payload)
        if job is None:
            self.reject("share", "names no job of this pool")
            return
        client = self.args.client_id or _client_of(payload)
        message, reason = verify.verify_share(payload, job, client, self.args.wallet, divisor)
        if reason:
            self.reject("share", reason)
        else:
            self.say("share accepted: h=%d nonce=%s" % (job["height"], message["nonce"]))

    def on_result(self, payload):
        job, _ = self.lookup(payload)
        if job is None:
            self.reject("block", "names no job of this pool")
            return
        client = self.args.client_id or _client_of(payload)
        message, reason = verify.verify_result(payload, job, client)
        if reason:
            self.reject("block", reason)
            return
        self.blocks += 1
        self.say("BLOCK accepted: h=%d nonce=%s hash=%s" % (job["height"], message["nonce"], message["blockhash"]))
        if job is self.current:
            self.publish_job(message["blockhash"])

    def on_heartbeat(self, subject, payload):
        client = subject[len(jobs.HEARTBEAT_PREFIX):]
        message, reason = verify.verify_heartbeat(payload, client, self.args.wallet)
        if reason:
            self.reject("heartbeat", reason)
        else:
            self.say("heartbeat from %s: %.2f MH/s, %d found, %d shares" % (
                client, message["hashrate_mhs"], message["found_session"], message["shares_session"]))

    def reject(self, kind, reason):
        self.rejected += 1
        self.say("%s REJECTED: %s" % (kind, reason))

    def send_config(self):
        if self.args.share_divisor is not None:
            self.conn.publish(jobs.CONFIG_SUBJECT, '{"share_divisor":%d}' % self.args.share_divisor)
            self.divisor = self.args.share_divisor

    def on_job_request(self, reply):
        """A miner that has just connected asks for the current job: the divisor goes out first,
        so that the job is judged by it, then the job message's own bytes as the answer."""
        if not reply:
            return
        self.send_config()
        if self.current is None:
            self.publish_job()
        self.conn.publish(reply, self.current_payload)
        self.say("job request: sent h=%d" % self.current["height"])

    def tick(self):
        if self.current is None:
            return
        age = time.monotonic() - self.published_at
        if self.args.cancel_after is not None and not self.cancelled and age >= self.args.cancel_after:
            self.cancelled = True
            self.conn.publish(jobs.CANCEL_SUBJECT,
                              '{"previous_blockhash":"%s"}' % self.current["previous_blockhash"])
            self.say("cancel h=%d" % self.current["height"])
        if age >= self.args.interval:
            self.publish_job()


def _client_of(payload):
    try:
        return json.loads(payload).get("client_id")
    except ValueError:
        return None


stopping = False


def request_stop(*_):
    global stopping
    stopping = True


def connect(args, pool, deadline):
    """The pool's connection, tried until it is made (the server may still be starting), the
    time is up or a signal came; each new reason for a failure is said once."""
    shown = bus.parse_endpoint(args.nats).display
    said = None
    heard = [None]

    def on_event(text):  # a server that stays away fails every reconnection the same way
        if text != heard[0]:
            heard[0] = text
            pool.say("bus " + text)

    while not stopping and not (deadline and time.monotonic() > deadline):
        try:
            conn = bus.connect(args.nats, tls_ca=args.tls_ca, tls_cert=args.tls_cert, tls_key=args.tls_key,
                               reconnect=True, on_event=on_event)
            pool.say("connected to %s" % shown)
            return conn
        except bus.BusError as error:
            if str(error) != said:
                said = str(error)
                pool.say("cannot connect to %s: %s; trying again" % (shown, error))
            time.sleep(0.2)
    return None


def main():
    signal.signal(signal.SIGTERM, request_stop)
    signal.signal(signal.SIGINT, request_stop)
    args = parse_args()
    deadline = time.monotonic() + args.duration if args.duration else None
    pool = Pool(args, None)
    conn = connect(args, pool, deadline)
    if conn is None:
        return 1
    pool.conn = conn
    results = [jobs.SHARE_SUBJECT, jobs.RESULT_SUBJECT]
    if args.stream != "none" and conn.bind_stream(args.stream, results):
        conn.read_stream(args.stream, "pool-sim")
        pool.say("results stored in stream %s, read through its durable consumer pool-sim" % args.stream)
    else:
        for subject in results:
            conn.subscribe(subject)
        pool.say("results read as they pass: %s" % (
            "no stream asked for" if args.stream == "none" else "the server runs no JetStream"))
    for subject in (jobs.HEARTBEAT_PREFIX + ">", jobs.JOB_REQUEST_SUBJECT):
        conn.subscribe(subject)
    conn.flush()
    pool.send_config()
    pool.publish_job()
    try:
        while not stopping and not (args.blocks and pool.blocks >= args.blocks):
            if deadline and time.monotonic() > deadline:
                break
            message = conn.next_message(0.2)
            if message:
                if message.subject == jobs.SHARE_SUBJECT:
                    pool.on_share(message.payload)
                elif message.subject == jobs.RESULT_SUBJECT:
                    pool.on_result(message.payload)
                elif message.subject == jobs.JOB_REQUEST_SUBJECT:
                    pool.on_job_request(message.reply)
                elif message.subject.startswith(jobs.HEARTBEAT_PREFIX):
                    pool.on_heartbeat(message.subject, message.payload)
                if message.ack:
                    message.ack()
            pool.tick()
    except bus.BusError as error:
        pool.say("connection lost: %s" % error)
    finally:
        conn.close()
    pool.say("%d block(s) accepted, %d message(s) rejected" % (pool.blocks, pool.rejected))
    return 1 if pool.rejected else 0


if __name__ == "__main__":
    sys.exit(main())
