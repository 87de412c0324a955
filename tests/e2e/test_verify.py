"""The pool simulator's independent checks against the worked examples of the hashed formats."""

import unittest

from harness import verify

JOB = {"height": 5, "receipts": [], "main_height": -1, "main_blockhash": "mb", "validator": "v", "miner": "m",
       "previous_blockhash": "060a24181e4000" + "a" * 64, "difficulty": 1000}


class VerifyTest(unittest.TestCase):
    def test_worked_examples(self):
        self.assertEqual(verify.receipt_root(["a", "b"]),
                         "62af5c3cb8da3e4f25061e829ebeea5c7513c54949115b1acc225930a90154da")
        text = verify.header_text(JOB, 1700000000000000)
        self.assertEqual(len(text), 190)
        self.assertEqual(verify.sha256_hex(text), "5236a361a4e4266ee94759b82ac403d1d31fd29a8cddedb2fdc6524160364b38")
        self.assertEqual("%064x" % verify.target(1000),
                         "004189374bc6a7ef9db22d0e5604189374bc6a7ef9db22d0e5604189374bc6a7")
        self.assertEqual(verify.block_hash_text(1700000000000000, bytes(32))[:14], "060a24181e4000")
        self.assertEqual(verify.share_difficulty(10000, 4096), 2)

    def test_rejects_a_share_whose_digest_misses_the_target(self):
        def share(nonce, **changes):
            message = {"client_id": "c", "difficulty": 1000, "height": 5, "main_blockhash": "mb", "main_height": -1,
                       "miner": "m", "nonce": nonce, "previous_blockhash": JOB["previous_blockhash"],
                       "receipts": [], "share_difficulty": 1, "timestamp": 1700000000000000, "validator": "v",
                       "wallet": ""}
            message.update(changes)
            return verify.canonical_json(message)

        job = dict(JOB, difficulty=1000)
        self.assertIsNone(verify.verify_share(share("0" * 16), job, "c", "", 4096)[1])
        self.assertIn("share_difficulty", verify.verify_share(share("0" * 16, share_difficulty=2), job, "c", "",
                                                              4096)[1])
        self.assertIn("nonce", verify.verify_share(share("0" * 15 + "G"), job, "c", "", 4096)[1])
        hard = dict(job, difficulty=2 ** 62)
        reason = verify.verify_share(share("0" * 16, difficulty=2 ** 62, share_difficulty=2 ** 50), hard, "c", "",
                                     4096)[1]
        self.assertIn("above the share target", reason)
        self.assertIn("compact", verify.verify_share(share("0" * 16).replace(b",", b", "), job, "c", "", 4096)[1])


if __name__ == "__main__":
    unittest.main()
