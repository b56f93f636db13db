"""bench_tag.py: decision_tag against Python's hmac, and SHA-256 over 1 MiB against hashlib.

A pyperf script (run by run_bench.py). The short case is what a client pays per
decision: a 20-byte secret and short ids, against building the same message in Python
and calling hmac.new(secret, msg, "sha256").hexdigest(). The long case gives
decision_tag a 1 MiB run id, so nearly all of its time is SHA-256 over 1 MiB, beside
hashlib.sha256 of 1 MiB.

With OPENSSL_ia32cap set in the environment (run_bench.py sets it to mask the SHA
extensions) only hashlib is measured, as sha256_1mib.hashlib_masked: latchwork's
numbers do not depend on it, and the plain hashlib name must mean OpenSSL as it is.
`--only NAME` runs a single benchmark, so that run_bench.py can alternate them.
"""

import hashlib
import hmac
import os

import pyperf

import latchwork

SECRET = bytes(range(20))
RUN_ID, EFFECT_KEY = "run-1", "email:42"
MEBIBYTE = 1 << 20
LONG_RUN_ID = "r" * MEBIBYTE
LONG_BYTES = LONG_RUN_ID.encode()


def python_tag(secret, run_id, effect_key, approved):
    message = f"{run_id}\n{effect_key}\n{'1' if approved else '0'}".encode()
    return hmac.new(secret, message, "sha256").hexdigest()


def hashlib_digest(data):
    return hashlib.sha256(data).digest()


def pass_options_to_workers(command, args):
    if args.only:
        command.extend(["--only", args.only])


def main():
    runner = pyperf.Runner(processes=6, values=3, add_cmdline_args=pass_options_to_workers)
    runner.argparser.add_argument("--only", metavar="NAME", help="run only this benchmark")
    args = runner.parse_args()
    if os.environ.get("OPENSSL_ia32cap"):
        cases = {"sha256_1mib.hashlib_masked": (hashlib_digest, LONG_BYTES)}
    else:
        assert latchwork.decision_tag(SECRET, RUN_ID, EFFECT_KEY, True) == python_tag(
            SECRET, RUN_ID, EFFECT_KEY, True)
        cases = {
            "decision_tag_short.latchwork": (latchwork.decision_tag, SECRET, RUN_ID, EFFECT_KEY,
                                             True),
            "decision_tag_short.baseline": (python_tag, SECRET, RUN_ID, EFFECT_KEY, True),
            "sha256_1mib.latchwork": (latchwork.decision_tag, SECRET, LONG_RUN_ID, "e", True),
            "sha256_1mib.hashlib": (hashlib_digest, LONG_BYTES),
        }
    for name, (func, *func_args) in cases.items():
        if args.only in (None, name):
            runner.bench_func(name, func, *func_args)


if __name__ == "__main__":
    main()
