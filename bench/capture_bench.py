#!/usr/bin/env python3
"""Steady-state cost of OXAEngine.capture against the floor it cannot go below.

Every capture necessarily runs the interpreter's json.dumps on ctx and on the
reasoning trace and one Ed25519 signature of a 32-byte hash; a capture on a
log file also opens, appends one line to and closes the log. Those calls, made
from Python with libsodium (PyNaCl), are the floor. Everything else a capture
does (argument binding, analysis over a full history, BLAKE3, UUID, clocks,
record JSON, the record object) should stay within 30 % of that floor.

All variants run in one process, in interleaved batches (shuffled order each
round) so that frequency drift and neighbours on the machine hit all of them
alike; the figure for each is the median per-op time over the batches.

Prints the figures and PASS/FAIL per case and exits 0; with --check it exits 1
when a ratio misses the target.
"""

import argparse
import gc
import json
import os
import random
import statistics
import sys
import tempfile
import time

import tvel_oxa

TARGET_RATIO = 1.3
WARM_UP = 600  # more than the 500 entries of a full history

CTX = {"user": "u-48213", "session": 9137, "locale": "en-GB", "flags": ["beta", "eu"]}
TRACE = ["retrieved 3 documents", "ranked by recency", {"score": 0.87, "kept": 2}]


def text(stem, size):
    return (stem * (size // len(stem) + 1))[:size]


PROMPT = text("Summarise the customer's last three support tickets and flag urgency. ", 200)
OUTPUT = text("Two tickets concern billing; one reports an outage and is urgent. ", 200)
TRIPLET = tvel_oxa.PPPTriplet("model-a@2024-06", "eu-west-1", "support triage")
REVIEW = tvel_oxa.HumanDeltaChain("ticket-17", False, "reviewer-queue", "chain-0001")


def make_signer():
    """The cheapest 32-byte Ed25519 signing call PyNaCl offers.

    PyNaCl has no detached signing; its public crypto_sign allocates fresh
    buffers and copies signature plus message out on every call. The raw
    libsodium binding with preallocated buffers does strictly less work, so
    it is preferred when present.
    """
    import nacl.bindings

    _, secret = nacl.bindings.crypto_sign_keypair()
    message = bytes(range(32))
    try:
        from nacl._sodium import ffi, lib

        signed = ffi.new("unsigned char[]", nacl.bindings.crypto_sign_BYTES + len(message))
        signed_len = ffi.new("unsigned long long *")
        raw = lib.crypto_sign

        def sign():
            raw(signed, signed_len, message, 32, secret)

        return sign, "libsodium crypto_sign (raw binding, preallocated buffers)"
    except (ImportError, AttributeError):
        public = nacl.bindings.crypto_sign

        def sign():
            public(message, secret)

        return sign, "nacl.bindings.crypto_sign"


def batch_runner(op, n):
    """A timed batch of n calls of op; returns ns per op."""

    def run():
        start = time.perf_counter_ns()
        for _ in range(n):
            op()
        return (time.perf_counter_ns() - start) / n

    return run


def capture_op(engine, prompt=PROMPT, output=OUTPUT, ctx=CTX, trace=TRACE, auto_insight=True):
    capture = engine.capture

    def op():
        capture(ctx, prompt, trace, output, TRIPLET, REVIEW, auto_insight)

    return op


def warmed_engine(path, **kwargs):
    engine = tvel_oxa.OXAEngine(path)
    op = capture_op(engine, **kwargs)
    for _ in range(WARM_UP):
        op()
    return engine


def mean_line_size(path):
    with open(path, "rb") as f:
        data = f.read()
    return round(len(data) / data.count(b"\n"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=300, help="interleaved rounds (default 300)")
    parser.add_argument("--batch", type=int, default=100, help="ops per timed batch (default 100)")
    parser.add_argument("--breakdown", action="store_true",
                        help="also time the floor's parts and capture variants, to see where time goes")
    parser.add_argument("--check", action="store_true", help="exit 1 if a ratio misses the target")
    args = parser.parse_args()

    dumps = json.dumps
    sign, signer_name = make_signer()
    flags = os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC

    with tempfile.TemporaryDirectory(prefix="oxa-bench-") as tmp:
        log_path = os.path.join(tmp, "capture.wal")
        floor_path = os.path.join(tmp, "floor.wal")
        mem_engine = warmed_engine(":memory:")
        file_engine = warmed_engine(log_path)
        line_size = mean_line_size(log_path)
        line = b"x" * (line_size - 1) + b"\n"

        def floor_memory():
            dumps(CTX)
            dumps(TRACE)
            sign()

        def append_line():
            fd = os.open(floor_path, flags, 0o666)
            try:
                os.write(fd, line)
            finally:
                os.close(fd)

        def floor_file():
            dumps(CTX)
            dumps(TRACE)
            sign()
            append_line()

        variants = {
            "capture :memory:": capture_op(mem_engine),
            "floor   :memory:": floor_memory,
            "capture log file": capture_op(file_engine),
            "floor   log file": floor_file,
        }
        if args.breakdown:
            variants.update({
                "  json.dumps x2": lambda: (dumps(CTX), dumps(TRACE)),
                "  Ed25519 sign 32 B": sign,
                "  open/append/close": append_line,
                "  capture :memory:, auto_insight=False":
                    capture_op(warmed_engine(":memory:", auto_insight=False), auto_insight=False),
                "  capture :memory:, ctx=trace=None":
                    capture_op(warmed_engine(":memory:", ctx=None, trace=None), ctx=None, trace=None),
                "  capture :memory:, 1-byte prompt/output":
                    capture_op(warmed_engine(":memory:", prompt="p", output="o"), prompt="p", output="o"),
                "  empty loop": lambda: None,
            })

        runners = {name: batch_runner(op, args.batch) for name, op in variants.items()}
        samples = {name: [] for name in variants}
        order = list(variants)
        shuffle = random.Random(20240601).shuffle
        for run in runners.values():  # one untimed pass through every path
            run()
        gc.collect()
        started = time.monotonic()
        for _ in range(args.rounds):
            shuffle(order)
            for name in order:
                samples[name].append(runners[name]())
        elapsed = time.monotonic() - started

    median = {name: statistics.median(s) / 1000 for name, s in samples.items()}

    def quantile(s, q):
        s = sorted(s)
        return s[min(len(s) - 1, int(q * len(s)))] / 1000

    print(f"capture benchmark: prompt {len(PROMPT.encode())} B, output {len(OUTPUT.encode())} B, "
          f"log line {line_size} B, warm-up {WARM_UP} captures per engine")
    print(f"{args.rounds} interleaved rounds x {args.batch} ops per variant, {elapsed:.1f} s; "
          f"signing with {signer_name}")
    width = max(len(name) for name in variants)
    print(f"{'':{width}}  {'median':>8}  {'p10':>8}  {'p90':>8}   (us per op)")
    for name, s in samples.items():
        print(f"{name:{width}}  {median[name]:8.2f}  {quantile(s, 0.1):8.2f}  {quantile(s, 0.9):8.2f}")

    missed = False
    for case in (":memory:", "log file"):
        ratio = median[f"capture {case}"] / median[f"floor   {case}"]
        ok = ratio <= TARGET_RATIO
        missed |= not ok
        print(f"ratio capture/floor, {case}: {ratio:.2f} (target <= {TARGET_RATIO}) "
              f"{'PASS' if ok else 'FAIL'}")
    return 1 if (missed and args.check) else 0


if __name__ == "__main__":
    sys.exit(main())
