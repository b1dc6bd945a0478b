#!/usr/bin/env python3
"""oxa-verify against the limit of its design and against a plain Python verifier.

On one log made by tvel_oxa (100,000 records by default, two engines
interleaved), in one run, side by side:

- oxa-verify --jobs 1 and --jobs 2 (the whole command: reading, JSON, content
  hash, signatures, chains, replay), records per second and peak resident memory;
- libsodium's bare crypto_sign_verify_detached over the same (hash, signature)
  pairs, called through ctypes with everything prepared first (the call
  itself adds well under a microsecond to each verification):
  one verification per record is the least any verifier of this log must do;
- a plain Python verifier of the content hash, signature and chain (json,
  blake3, cryptography, one record at a time), carried here, on the first
  20,000 records.

Targets: --jobs 1 at least 85 % of the bare libsodium rate and 3x the Python
verifier; --jobs 2 at least 1.8x --jobs 1.

--engines 10000 also times a log of that many engines x 3 records, interleaved
at random (target: under a minute). --records 1000000 shows the memory of a
long log (target: under 100 MB resident). Logs are kept in build/bench-verify
and reused.

The variants run in turns for --rounds rounds (default 3), each keeping its
best. Prints figures and PASS/FAIL and exits 0; --check exits 1 on a missed
target.
"""

import argparse
import json
import os
import random
import resource
import subprocess
import sys
import time
from pathlib import Path

import tvel_oxa

HERE = Path(__file__).resolve().parent
WORK = HERE.parent / "build" / "bench-verify"
OXA_VERIFY = str(Path(sys.executable).with_name("oxa-verify"))
PYTHON_RECORDS = 20_000
BARE_RECORDS = 100_000

TRIPLET = tvel_oxa.PPPTriplet("model-a@2024-06", "eu-west-1", "support triage")
REVIEW = tvel_oxa.HumanDeltaChain("ticket-17", False, "reviewer-queue", "chain-0001")
CTX = {"user": "u-48213", "session": 9137, "locale": "en-GB"}
PROMPT = "Summarise the customer's last three support tickets and flag urgency. " * 3


def make_log(path, records, engines):
    if path.exists() and path.with_name(path.name + ".key").exists():
        return
    path.unlink(missing_ok=True)
    writers = [tvel_oxa.OXAEngine(str(path)) for _ in range(engines)]
    for i in range(records):
        writers[i % engines].capture(CTX, PROMPT[: 150 + i % 60], ["step"], "Urgent: " + "x" * (i % 97),
                                     TRIPLET, REVIEW)


def make_many_engines_log(path, engines, per_engine):
    """engines x per_engine records, each engine's records in order, engines interleaved at random."""
    if path.exists() and path.with_name(path.name + ".key").exists():
        return
    scratch = path.with_name("scratch.wal")
    scratch.unlink(missing_ok=True)
    for _ in range(engines):
        engine = tvel_oxa.OXAEngine(str(scratch))
        for i in range(per_engine):
            engine.capture(None, "p" * i, [], "o", TRIPLET, REVIEW)
        del engine
    lines = scratch.read_bytes().splitlines(keepends=True)
    queues = [iter(lines[e * per_engine:(e + 1) * per_engine]) for e in range(engines)]
    order = [e for e in range(engines) for _ in range(per_engine)]
    random.Random(9).shuffle(order)
    path.write_bytes(b"".join(next(queues[e]) for e in order))
    os.replace(scratch.with_name(scratch.name + ".key"), path.with_name(path.name + ".key"))
    scratch.unlink()


def public_key(path):
    from nacl.signing import SigningKey

    return SigningKey(path.with_name(path.name + ".key").read_bytes()).verify_key.encode().hex()


def run_oxa_verify(path, key, jobs):
    """(wall seconds, CPU seconds, report, peak resident MB) of one oxa-verify run."""
    args = [OXA_VERIFY, "--json", "--public-key", key, str(path)]
    if jobs:
        args[1:1] = ["--jobs", str(jobs)]
    start = time.perf_counter()
    child = subprocess.Popen(args, stdout=subprocess.PIPE)
    # The child's own high-water mark (getrusage would also count the pages this
    # large process had when it forked); read until the child is done.
    peak = 0
    with open(child.stdout.fileno(), "rb", closefd=False) as out_stream:
        chunks = []
        os.set_blocking(child.stdout.fileno(), False)
        while True:
            try:
                for row in Path(f"/proc/{child.pid}/status").read_text().splitlines():
                    if row.startswith("VmHWM:"):
                        peak = max(peak, int(row.split()[1]))
            except (FileNotFoundError, ProcessLookupError, ValueError):
                pass
            chunk = out_stream.read()
            if chunk:
                chunks.append(chunk)
            if child.poll() is not None:
                rest = out_stream.read()
                if rest:
                    chunks.append(rest)
                break
            time.sleep(0.02)
    seconds = time.perf_counter() - start
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = usage.ru_utime + usage.ru_stime - run_oxa_verify.cpu_before
    run_oxa_verify.cpu_before = usage.ru_utime + usage.ru_stime
    if child.returncode != 0:
        raise SystemExit(f"oxa-verify exited {child.returncode} on {path}")
    return seconds, cpu, json.loads(b"".join(chunks)), peak / 1024


run_oxa_verify.cpu_before = 0.0


def bare_libsodium_rate(lines, key_hex):
    import ctypes
    import ctypes.util

    sodium = ctypes.CDLL(ctypes.util.find_library("sodium") or "libsodium.so.23")
    if sodium.sodium_init() < 0:
        raise SystemExit("libsodium could not be initialised")
    verify = sodium.crypto_sign_verify_detached
    verify.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulonglong, ctypes.c_char_p]
    verify.restype = ctypes.c_int
    key = bytes.fromhex(key_hex)
    pairs = []
    for line in lines:
        record = json.loads(line)
        pairs.append((bytes(record["signature"]), bytes.fromhex(record["hash"])))
    start, cpu = time.perf_counter(), time.process_time()
    for signature, message in pairs:
        if verify(signature, message, 32, key) != 0:
            raise SystemExit("a signature of the benchmark log does not verify")
    return len(pairs) / (time.perf_counter() - start), len(pairs) / (time.process_time() - cpu)


def canonical_float(x):
    """The float text the content hash covers: Python's shortest digits, whose scientific form
    (below 1e-4) is written without the exponent's leading zero ("2.5e-7", not "2.5e-07")."""
    text = repr(x)
    if "e" in text:
        mantissa, exponent = text.split("e")
        return f"{mantissa}e{int(exponent)}"
    return text


def python_verifier_rate(lines, key_hex):
    """Checks 2 to 4 in plain Python, one record at a time."""
    import blake3
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

    key = Ed25519PublicKey.from_public_bytes(bytes.fromhex(key_hex))
    genesis = blake3.blake3(b"genesis").hexdigest()
    heads = []
    problems = 0
    start, cpu = time.perf_counter(), time.process_time()
    for line in lines:
        record = json.loads(line)
        ppp = json.loads(record["ppp_json"])
        content = (ppp["provenance"] + ppp["place"] + ppp["purpose"] + record["prompt"]
                   + canonical_float(record["coherence_score"]) + canonical_float(record["reputation_scalar"]))
        if blake3.blake3(content.encode()).hexdigest() != record["hash"]:
            problems += 1
        try:
            key.verify(bytes(record["signature"]), bytes.fromhex(record["hash"]))
        except Exception:
            problems += 1
        root = record["merkle_root"]
        for i, head in enumerate([genesis] + heads):
            if blake3.blake3(f'Hash("{head}")Hash("{record["hash"]}")'.encode()).hexdigest() == root:
                if i == 0:
                    heads.insert(0, root)
                else:
                    heads.pop(i - 1)
                    heads.insert(0, root)
                break
        else:
            problems += 1
    rates = len(lines) / (time.perf_counter() - start), len(lines) / (time.process_time() - cpu)
    if problems:
        raise SystemExit(f"the Python verifier found {problems} problems in a clean log")
    return rates


def verdict(ok):
    return "PASS" if ok else "FAIL"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records", type=int, default=100_000)
    parser.add_argument("--engines", type=int, default=0, help="also time ENGINES x 3 records in random order")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()

    WORK.mkdir(parents=True, exist_ok=True)
    log = WORK / f"records-{args.records}.wal"
    made = time.perf_counter()
    make_log(log, args.records, engines=2)
    print(f"log: {args.records} records, {log.stat().st_size / 1e6:.1f} MB ({time.perf_counter() - made:.1f} s to make"
          " or reuse)")
    key = public_key(log)
    with open(log, "rb") as stream:  # at most the first 100,000 lines in memory
        lines = [line for _, line in zip(range(BARE_RECORDS), stream)]

    # The variants take turns, round after round, and each keeps its best
    # round: neighbours' load on a shared machine then slows them alike.
    best = {}

    def keep(name, wall, cpu, rss=0.0):
        old = best.get(name)
        if old is None or wall > old[0]:
            best[name] = (wall, max(cpu, old[1] if old else 0.0), max(rss, old[2] if old else 0.0))

    for _ in range(args.rounds):
        for jobs in (1, 2):
            seconds, cpu, report, rss = run_oxa_verify(log, key, jobs)
            assert report["ok"] and report["records"] == args.records
            keep(jobs, args.records / seconds, args.records / cpu, rss)
        keep("bare", *bare_libsodium_rate(lines, key))  # the first 100,000 records
        keep("python", *python_verifier_rate(lines[:PYTHON_RECORDS], key))
    results = {1: best[1], 2: best[2]}
    bare, python_rate = best["bare"], best["python"]

    # On a shared machine the wall-clock rates move with the neighbours' load;
    # records per CPU second show the cost of the work itself.
    print(f"{'':34}{'records/s':>12}{'per CPU s':>12}{'peak RSS MB':>14}")
    print(f"{'oxa-verify --jobs 1':34}{results[1][0]:12.0f}{results[1][1]:12.0f}{results[1][2]:14.1f}")
    print(f"{'oxa-verify --jobs 2':34}{results[2][0]:12.0f}{results[2][1]:12.0f}{results[2][2]:14.1f}")
    print(f"{'libsodium verify_detached, bare':34}{bare[0]:12.0f}{bare[1]:12.0f}")
    print(f"{'Python verifier (checks 2-4)':34}{python_rate[0]:12.0f}{python_rate[1]:12.0f}")
    checks = [
        ("jobs 1 / bare libsodium >= 0.85", results[1][0] / bare[0], results[1][0] / bare[0] >= 0.85),
        ("jobs 1 / Python verifier >= 3", results[1][0] / python_rate[0], results[1][0] / python_rate[0] >= 3),
        ("jobs 2 / jobs 1 >= 1.8", results[2][0] / results[1][0], results[2][0] / results[1][0] >= 1.8),
    ]
    if args.records >= 1_000_000:
        checks.append(("peak RSS MB < 100 (jobs 2)", results[2][2], results[2][2] < 100))

    if args.engines:
        many = WORK / f"engines-{args.engines}x3.wal"
        made = time.perf_counter()
        make_many_engines_log(many, args.engines, 3)
        print(f"log: {args.engines} engines x 3 records in random order ({time.perf_counter() - made:.1f} s to make"
              " or reuse)")
        seconds, _, report, rss = run_oxa_verify(many, public_key(many), 0)
        assert report["ok"] and len(report["chains"]) == args.engines
        print(f"{'oxa-verify, all cores':34}{seconds:11.1f}s{rss:14.1f}")
        checks.append((f"{args.engines} engines x 3 in random order < 60 s", seconds, seconds < 60))

    failed = False
    for name, value, ok in checks:
        print(f"{name:40} {value:8.2f}  {verdict(ok)}")
        failed |= not ok
    return 1 if failed and args.check else 0


if __name__ == "__main__":
    sys.exit(main())
