#!/usr/bin/env python3
"""Captures per second from several Python threads, against one thread.

Three cases, timed in the same run in interleaved, shuffled rounds:
- 1 thread capturing on its own engine (the reference);
- 2 threads, each capturing on its own engine: the engine's part of a
  capture (most of it the Ed25519 signature) runs without the interpreter
  lock, so the two overlap on two cores;
- 4 threads sharing one engine: they take turns on it, waiting with the
  interpreter lock released, and none of their captures fails.

Each figure is the median over the rounds of (captures made by all threads)
/ (time from the threads' common start until the last one finishes); beside
it, the process's CPU time per wall-clock second, which exceeds 1 only when
threads really ran at the same time (on a busy machine the other processes
take the second core and the throughput cannot show it).
Targets on a 2-core machine: 2 threads on 2 engines >= 1.6x one thread;
4 threads sharing one engine >= 0.9x one thread.

Prints the figures and PASS/FAIL per case and exits 0; with --check it exits 1
when a ratio misses its target.
"""

import argparse
import os
import random
import statistics
import sys
import tempfile
import threading
import time

import tvel_oxa

CTX = {"user": "u-48213", "session": 9137, "locale": "en-GB", "flags": ["beta", "eu"]}
TRACE = ["retrieved 3 documents", "ranked by recency", {"score": 0.87, "kept": 2}]
PROMPT = ("Summarise the customer's last three support tickets and flag urgency. " * 3)[:200]
OUTPUT = ("Two tickets concern billing; one reports an outage and is urgent. " * 4)[:200]
TRIPLET = tvel_oxa.PPPTriplet("model-a@2024-06", "eu-west-1", "support triage")
REVIEW = tvel_oxa.HumanDeltaChain("ticket-17", False, "reviewer-queue", "chain-0001")
WARM_UP = 600  # more than the 500 entries of a full history

TARGETS = {"2 threads, 2 engines": 1.6, "4 threads, 1 shared engine": 0.9}


def new_engine(path):
    engine = tvel_oxa.OXAEngine(path)
    for _ in range(WARM_UP):
        engine.capture(CTX, PROMPT, TRACE, OUTPUT, TRIPLET, REVIEW)
    return engine


def run_round(engines_of_threads, per_thread):
    """Starts one thread per engine in the list, together; returns captures per
    second and the process's CPU time per wall-clock second (above 1 when
    threads ran at the same time)."""
    start = threading.Barrier(len(engines_of_threads) + 1)
    errors = []

    def work(engine):
        capture = engine.capture
        start.wait()
        try:
            for _ in range(per_thread):
                capture(CTX, PROMPT, TRACE, OUTPUT, TRIPLET, REVIEW)
        except BaseException as error:  # a failed capture spoils the figure
            errors.append(error)

    threads = [threading.Thread(target=work, args=(e,)) for e in engines_of_threads]
    for t in threads:
        t.start()
    start.wait()
    began, began_cpu = time.perf_counter(), time.process_time()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - began
    cpu = time.process_time() - began_cpu
    if errors:
        raise errors[0]
    return len(threads) * per_thread / elapsed, cpu / elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15, help="interleaved rounds (default 15)")
    parser.add_argument("--captures", type=int, default=4000,
                        help="captures per round and case, shared among its threads (default 4000)")
    parser.add_argument("--log", action="store_true", help="engines append to log files instead of ':memory:'")
    parser.add_argument("--check", action="store_true", help="exit 1 if a ratio misses its target")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="oxa-thread-bench-") as tmp:
        paths = iter(os.path.join(tmp, f"log{i}.wal") if args.log else ":memory:" for i in range(4))
        single, first, second, shared = (new_engine(next(paths)) for _ in range(4))
        cases = {
            "1 thread": [single],
            "2 threads, 2 engines": [first, second],
            "4 threads, 1 shared engine": [shared] * 4,
        }
        samples = {name: [] for name in cases}
        order = list(cases)
        shuffle = random.Random(20240601).shuffle
        for engines in cases.values():  # one untimed pass through every case
            run_round(engines, 200)
        started = time.monotonic()
        for _ in range(args.rounds):
            shuffle(order)
            for name in order:
                engines = cases[name]
                samples[name].append(run_round(engines, args.captures // len(engines)))
        elapsed = time.monotonic() - started

    print(f"thread benchmark: {'log files' if args.log else ':memory:'} engines, "
          f"{os.cpu_count()} CPUs, {args.rounds} interleaved rounds x {args.captures} captures per case, "
          f"{elapsed:.1f} s")
    width = max(len(name) for name in cases)
    print(f"{'':{width}}  {'median':>9}  {'min':>9}  {'max':>9}   (captures per second)   CPU/wall")
    median = {}
    for name, s in samples.items():
        rates = [rate for rate, _ in s]
        median[name] = statistics.median(rates)
        cpu_use = statistics.median(use for _, use in s)
        print(f"{name:{width}}  {median[name]:9.0f}  {min(rates):9.0f}  {max(rates):9.0f}   {cpu_use:22.2f}")

    missed = False
    for name, target in TARGETS.items():
        ratio = median[name] / median["1 thread"]
        ok = ratio >= target
        missed |= not ok
        print(f"ratio {name} / 1 thread: {ratio:.2f} (target >= {target}) {'PASS' if ok else 'FAIL'}")
    return 1 if (missed and args.check) else 0


if __name__ == "__main__":
    sys.exit(main())
