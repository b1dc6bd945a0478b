#!/usr/bin/env python3
"""Memory soak: many captures on one engine, records dropped at once.

A long-running engine must not grow: its history is capped, and every record,
text and temporary belongs to the call or to the caller. The soak reads the
process's resident set size (VmRSS) after the first 1,000 captures, when the
history is already full, at a few points in between and at the end, and
checks that the end stays within 1 MiB of the 1,000-capture figure.

The inputs vary from call to call (prompt length, auto_insight, ctx present or
None, non-ASCII text) so that every path of a capture, with and without a core
insight, runs many times; every 100th record also has all its attributes read.

Prints the figures and PASS/FAIL and exits 0; with --check it exits 1 on a miss.
"""

import argparse
import gc
import os
import sys
import tempfile
import time

import tvel_oxa

BASELINE_AT = 1000
ALLOWED_GROWTH_KIB = 1024
FIELDS = ("id", "timestamp", "monotonic_nanos", "hash", "signature", "merkle_root",
          "coherence_score", "reputation_scalar", "ppp_json", "ctx_json", "prompt",
          "reasoning_trace_json", "output", "human_delta_chain_json", "core_insight_json")


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("VmRSS not found in /proc/self/status")


def checkpoints(count):
    points = {BASELINE_AT, count}
    points.update(count * k // 10 for k in range(1, 10))
    return sorted(p for p in points if BASELINE_AT <= p <= count)


def soak(engine, count):
    triplet = tvel_oxa.PPPTriplet("model-a@2024-06", "eu-west-1", "support triage")
    review = tvel_oxa.HumanDeltaChain("ticket-17", True, "reviewer-queue", "chain-0001")
    prompts = [("Fassen Sie die Tickets zusammen; Dringlichkeit prüfen. " * 8)[:n] for n in (0, 40, 200, 420)]
    output = "Zwei Tickets betreffen die Abrechnung, eines meldet einen Ausfall. ✓" * 3
    contexts = [{"user": "u-48213", "session": 9137, "flags": ["beta", "eu"]}, None]
    trace = ["retrieved 3 documents", {"score": 0.87, "kept": 2}]
    capture = engine.capture

    marks = iter(checkpoints(count))
    next_mark = next(marks)
    readings = []
    started = time.monotonic()
    for i in range(1, count + 1):
        record = capture(contexts[i % 2], prompts[i % 4], trace, output, triplet, review, i % 3 != 0)
        if i % 100 == 0:
            for name in FIELDS:
                getattr(record, name)
        del record
        if i == next_mark:
            gc.collect()
            readings.append((i, rss_kib(), time.monotonic() - started))
            next_mark = next(marks, None)
    return readings


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=None,
                        help="captures to run (default 200,000 in memory, 50,000 with --log)")
    parser.add_argument("--log", action="store_true",
                        help="capture to a log file in a temporary directory instead of ':memory:'")
    parser.add_argument("--check", action="store_true", help="exit 1 if the end exceeds the allowed growth")
    args = parser.parse_args()
    count = args.count if args.count is not None else (50_000 if args.log else 200_000)
    if count < BASELINE_AT:
        parser.error(f"--count must be at least {BASELINE_AT}")

    with tempfile.TemporaryDirectory(prefix="oxa-soak-") as tmp:
        path = os.path.join(tmp, "soak.wal") if args.log else ":memory:"
        engine = tvel_oxa.OXAEngine(path)
        readings = soak(engine, count)
        log_size = os.path.getsize(path) if args.log else None

    print(f"soak: {count:,} captures on {'a log file' if args.log else ':memory:'}, records dropped"
          + (f"; log grew to {log_size / 2**20:.1f} MiB" if log_size is not None else ""))
    base = readings[0][1]
    print(f"{'captures':>10}  {'VmRSS KiB':>10}  {'vs 1,000':>9}  {'elapsed s':>9}")
    for i, kib, elapsed in readings:
        print(f"{i:>10,}  {kib:>10,}  {kib - base:>+9,}  {elapsed:>9.1f}")
    growth = readings[-1][1] - base
    ok = growth <= ALLOWED_GROWTH_KIB
    print(f"growth from 1,000 captures to the end: {growth:+,} KiB "
          f"(allowed {ALLOWED_GROWTH_KIB:,} KiB) {'PASS' if ok else 'FAIL'}")
    return 1 if (not ok and args.check) else 0


if __name__ == "__main__":
    sys.exit(main())
