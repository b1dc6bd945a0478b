#!/usr/bin/env python3
"""Steady-state cost of OXAEngine.capture against the floor it cannot go below.

Every capture necessarily runs the interpreter's json.dumps on ctx and on the
reasoning trace and one Ed25519 signature of a 32-byte hash; a capture on a
log file also opens, appends one line to and closes the log. Those calls are
the floor. The signature is timed in C (libsodium's crypto_sign_detached, from
a small library this script compiles, called once per batch), the rest in
Python. Everything else a capture does (argument binding, analysis over a full
history, BLAKE3, UUID, clocks, record JSON, the record object) should stay
within 10 % of that floor in memory and 15 % with a log file. For comparison
the script also reports the ratio against a floor that signs through PyNaCl,
whose binding adds a few microseconds to the floor.

All variants run in one process, in interleaved batches (shuffled order each
round) so that frequency drift and neighbours on the machine hit all of them
alike; the figure for each is the median per-op time over the batches.

Prints the figures and PASS/FAIL per case and exits 0; with --check it exits 1
when a ratio misses the target.
"""

import argparse
import ctypes
import gc
import json
import os
import random
import statistics
import sys
import tempfile
import time

import tvel_oxa
from c_floor import load_c_floor

TARGET_RATIO = {":memory:": 1.10, "log file": 1.15}  # against the floor signed in C
SIGN_FLOOR_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sign_floor.c")
WARM_UP = 600  # more than the 500 entries of a full history

CTX = {"user": "u-48213", "session": 9137, "locale": "en-GB", "flags": ["beta", "eu"]}
TRACE = ["retrieved 3 documents", "ranked by recency", {"score": 0.87, "kept": 2}]


def text(stem, size):
    return (stem * (size // len(stem) + 1))[:size]


PROMPT = text("Summarise the customer's last three support tickets and flag urgency. ", 200)
OUTPUT = text("Two tickets concern billing; one reports an outage and is urgent. ", 200)


def context_objects(module):
    return (module.PPPTriplet("model-a@2024-06", "eu-west-1", "support triage"),
            module.HumanDeltaChain("ticket-17", False, "reviewer-queue", "chain-0001"))


def load_build(path):
    """Another build of the module (the .so file at path), loaded beside the installed one."""
    import importlib.util

    spec = importlib.util.spec_from_file_location("tvel_oxa", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


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


def c_signer(build_dir):
    """Builds bench/sign_floor.c and returns sign_batch(n) -> elapsed ns of n signatures in C."""
    lib = load_c_floor(SIGN_FLOOR_SOURCE, build_dir, "-lsodium", "capture_bench", "the C signing floor")
    lib.sign_floor_batch.restype = ctypes.c_longlong
    lib.sign_floor_batch.argtypes = [ctypes.c_uint]
    if lib.sign_floor_init() != 0:
        sys.exit("capture_bench: libsodium could not be initialised")
    return lib.sign_floor_batch


def batch_runner(op, n):
    """A timed batch of n calls of op; returns ns per op."""

    def run():
        start = time.perf_counter_ns()
        for _ in range(n):
            op()
        return (time.perf_counter_ns() - start) / n

    return run


def c_floor_runner(python_part, sign_batch, n):
    """A timed batch of n calls of python_part timed in Python, plus n
    signatures timed in C right after it; returns ns per op."""

    def run():
        start = time.perf_counter_ns()
        for _ in range(n):
            python_part()
        python_ns = time.perf_counter_ns() - start
        return (python_ns + sign_batch(n)) / n

    return run


def capture_op(engine, prompt=PROMPT, output=OUTPUT, ctx=CTX, trace=TRACE, auto_insight=True, module=tvel_oxa):
    capture = engine.capture
    triplet, review = context_objects(module)

    def op():
        capture(ctx, prompt, trace, output, triplet, review, auto_insight)

    return op


def warmed_engine(path, module=tvel_oxa, **kwargs):
    engine = module.OXAEngine(path)
    op = capture_op(engine, module=module, **kwargs)
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
    parser.add_argument("--baseline", metavar="SO",
                        help="also time captures by another build of the module (its tvel_oxa*.so), "
                             "interleaved with the rest, to compare two builds under the same load")
    args = parser.parse_args()

    dumps = json.dumps
    sign, signer_name = make_signer()
    flags = os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC
    n = args.batch

    with tempfile.TemporaryDirectory(prefix="oxa-bench-") as tmp:
        sign_batch = c_signer(tmp)
        log_path = os.path.join(tmp, "capture.wal")
        floor_path = os.path.join(tmp, "floor.wal")
        mem_engine = warmed_engine(":memory:")
        file_engine = warmed_engine(log_path)
        line_size = mean_line_size(log_path)
        line = b"x" * (line_size - 1) + b"\n"

        def dumps_twice():
            dumps(CTX)
            dumps(TRACE)

        def append_line():
            fd = os.open(floor_path, flags, 0o666)
            try:
                os.write(fd, line)
            finally:
                os.close(fd)

        def dumps_twice_and_append():
            dumps(CTX)
            dumps(TRACE)
            append_line()

        def floor_memory_pynacl():
            dumps(CTX)
            dumps(TRACE)
            sign()

        def floor_file_pynacl():
            dumps(CTX)
            dumps(TRACE)
            sign()
            append_line()

        runners = {
            "capture :memory:": batch_runner(capture_op(mem_engine), n),
            "floor   :memory:": c_floor_runner(dumps_twice, sign_batch, n),
            "floor   :memory:, PyNaCl": batch_runner(floor_memory_pynacl, n),
            "capture log file": batch_runner(capture_op(file_engine), n),
            "floor   log file": c_floor_runner(dumps_twice_and_append, sign_batch, n),
            "floor   log file, PyNaCl": batch_runner(floor_file_pynacl, n),
        }
        if args.baseline:
            baseline = load_build(args.baseline)
            runners["capture :memory:, baseline"] = batch_runner(
                capture_op(warmed_engine(":memory:", module=baseline), module=baseline), n)
            baseline_log = os.path.join(tmp, "baseline.wal")
            runners["capture log file, baseline"] = batch_runner(
                capture_op(warmed_engine(baseline_log, module=baseline), module=baseline), n)
        if args.breakdown:
            runners.update({
                "  json.dumps x2": batch_runner(dumps_twice, n),
                "  Ed25519 sign 32 B, C": lambda: sign_batch(n) / n,
                "  Ed25519 sign 32 B, PyNaCl": batch_runner(sign, n),
                "  open/append/close": batch_runner(append_line, n),
                "  capture :memory:, auto_insight=False": batch_runner(
                    capture_op(warmed_engine(":memory:", auto_insight=False), auto_insight=False), n),
                "  capture :memory:, ctx=trace=None": batch_runner(
                    capture_op(warmed_engine(":memory:", ctx=None, trace=None), ctx=None, trace=None), n),
                "  capture :memory:, 1-byte prompt/output": batch_runner(
                    capture_op(warmed_engine(":memory:", prompt="p", output="o"), prompt="p", output="o"), n),
                "  empty loop": batch_runner(lambda: None, n),
            })

        samples = {name: [] for name in runners}
        order = list(runners)
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
    print(f"{args.rounds} interleaved rounds x {n} ops per variant, {elapsed:.1f} s; floor signs with "
          f"crypto_sign_detached in C, the PyNaCl floor with {signer_name}")
    width = max(len(name) for name in runners)
    print(f"{'':{width}}  {'median':>8}  {'p10':>8}  {'p90':>8}   (us per op)")
    for name, s in samples.items():
        print(f"{name:{width}}  {median[name]:8.2f}  {quantile(s, 0.1):8.2f}  {quantile(s, 0.9):8.2f}")

    missed = False
    for case, target in TARGET_RATIO.items():
        capture = median[f"capture {case}"]
        ratio = capture / median[f"floor   {case}"]
        ok = ratio <= target
        missed |= not ok
        print(f"ratio capture/floor, {case}: {ratio:.3f} (target <= {target:.2f}) {'PASS' if ok else 'FAIL'}; "
              f"against the PyNaCl floor {capture / median[f'floor   {case}, PyNaCl']:.3f}")
        if args.baseline:
            print(f"  baseline build, {case}: ratio {median[f'capture {case}, baseline'] / median[f'floor   {case}']:.3f}")
    return 1 if (missed and args.check) else 0


if __name__ == "__main__":
    sys.exit(main())
