#!/usr/bin/env python3
"""oxa-verify's chain search on logs shaped to make it slow, against benign logs.

Nothing in a line names its engine, so the verifier tries each record against
the open chains. Logs made with tvel_oxa (kept in build/bench-chain-search and
reused):

- one engine, 50,000 records (the benign reference for the next shape);
- 10,000 engines x 5 records, interleaved at random (short-lived workers),
  50,000 lines: target at most 3x the time of one engine;
- every merkle_root damaged, 20,000 lines (every record opens a chain of its
  own and is tried against all before it): target at most 10x a benign log of
  one engine of the same length;
- 5,000 copies of one first record, then 5,000 copies of its successor whose
  insight never replays (each successor is tried against the replay of every
  chain sharing the root), 10,000 lines: target at most 10x a benign log of
  the same length.

Each runs as a child process (oxa-verify --json, --jobs as given, default 2);
shown: the best of --rounds runs (default 3) in wall time and in CPU time
(which moves less when the machine is shared; the ratios are taken from it)
and the peak resident memory. Prints PASS/FAIL per target and exits 0;
--check exits 1 on a missed target.
"""

import argparse
import json
import random
import subprocess
import sys
from pathlib import Path

import tvel_oxa

HERE = Path(__file__).resolve().parent
WORK = HERE.parent / "build" / "bench-chain-search"
OXA_VERIFY = str(Path(sys.executable).with_name("oxa-verify"))

TRIPLET = tvel_oxa.PPPTriplet("model-a@2024-06", "eu-west-1", "support triage")
REVIEW = tvel_oxa.HumanDeltaChain("ticket-17", False, "reviewer-queue", "chain-0001")
CTX = {"user": "u-48213", "session": 9137}

# Runs a command; prints its exit status, CPU seconds and peak resident KiB.
# A small process of its own, so that the peak is the command's alone.
PROBE = """
import resource, subprocess, sys, time
with open(sys.argv[1], "wb") as out:
    start = time.perf_counter()
    status = subprocess.run(sys.argv[2:], stdout=out).returncode
    wall = time.perf_counter() - start
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
print(status, wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss)
"""


def key_of(path):
    from nacl.signing import SigningKey

    return SigningKey(path.with_name(path.name + ".key").read_bytes()).verify_key.encode().hex()


def write_log(path, lines, key_from):
    path.write_bytes(b"".join(lines))
    path.with_name(path.name + ".key").write_bytes(key_from.with_name(key_from.name + ".key").read_bytes())


def one_engine(path, records):
    if path.exists():
        return
    engine = tvel_oxa.OXAEngine(str(path))
    for i in range(records):
        engine.capture(CTX, "Summarise the ticket " + "x" * (i % 50), ["step"], "Urgent: " + "y" * (i % 37),
                       TRIPLET, REVIEW)


def workers(path, engines, per_engine):
    """engines x per_engine records, each engine's in order, engines interleaved at random."""
    if path.exists():
        return
    scratch = path.with_name("workers-scratch.wal")
    for name in (scratch, scratch.with_name(scratch.name + ".key")):
        name.unlink(missing_ok=True)
    for _ in range(engines):
        engine = tvel_oxa.OXAEngine(str(scratch))  # one after another: each a short-lived worker
        for i in range(per_engine):
            engine.capture(None, "p" * i, [], "o", TRIPLET, REVIEW)
        del engine
    lines = scratch.read_bytes().splitlines(keepends=True)
    queues = [iter(lines[e * per_engine:(e + 1) * per_engine]) for e in range(engines)]
    order = [e for e in range(engines) for _ in range(per_engine)]
    random.Random(17).shuffle(order)
    write_log(path, [next(queues[e]) for e in order], scratch)


def damage_root(line):
    record = json.loads(line)
    root = record["merkle_root"]
    record["merkle_root"] = root[:-1] + ("0" if root[-1] != "0" else "1")
    return (json.dumps(record, separators=(",", ":"), ensure_ascii=False) + "\n").encode()


def damaged_roots(path, benign):
    if not path.exists():
        write_log(path, [damage_root(line) for line in benign.read_bytes().splitlines()], benign)


def first_and_successor(directory):
    """A first record and its successor with an insight, from an engine of their own."""
    scratch = directory / "pair-scratch.wal"
    for name in (scratch, scratch.with_name(scratch.name + ".key")):
        name.unlink(missing_ok=True)
    engine = tvel_oxa.OXAEngine(str(scratch))
    for _ in range(2):
        engine.capture(CTX, "same prompt", [], "same output", TRIPLET, REVIEW, auto_insight=True)
    first, successor = scratch.read_bytes().splitlines(keepends=True)
    record = json.loads(successor)
    assert record["core_insight_json"], "the successor needs an insight to change"
    # Outside the content hash: the hash, signature and chain still hold, only the replay differs.
    record["core_insight_json"] = record["core_insight_json"].replace("aligns well", "aligns poorly")
    successor = (json.dumps(record, separators=(",", ":"), ensure_ascii=False) + "\n").encode()
    return scratch, first, successor


def identical_firsts(path, copies):
    if path.exists():
        return
    scratch, first, successor = first_and_successor(path.parent)
    write_log(path, [first] * copies + [successor] * copies, scratch)


def prefix_log(path, source, lines):
    if not path.exists():
        write_log(path, source.read_bytes().splitlines(keepends=True)[:lines], source)


def run(path, jobs):
    """(wall s, CPU s, peak MB, report) of one oxa-verify run."""
    out = path.with_name(path.name + ".report.json")
    args = [OXA_VERIFY, "--json", "--jobs", str(jobs), "--public-key", key_of(path), str(path)]
    probe = subprocess.run([sys.executable, "-c", PROBE, str(out), *args], capture_output=True, text=True,
                           check=True)
    status, wall, cpu, rss = probe.stdout.split()
    if int(status) not in (0, 1):
        raise SystemExit(f"oxa-verify exited {status} on {path}")
    return float(wall), float(cpu), int(rss) / 1024, json.loads(out.read_bytes())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()

    WORK.mkdir(parents=True, exist_ok=True)
    logs = {
        "one-engine-50000": WORK / "one-engine.wal",
        "workers-10000x5": WORK / "workers.wal",
        "benign-20000": WORK / "benign-20000.wal",
        "damaged-roots-20000": WORK / "damaged-roots.wal",
        "benign-10000": WORK / "benign-10000.wal",
        "identical-firsts-10000": WORK / "identical-firsts.wal",
    }
    print("making the logs (kept in", WORK, "and reused) ...", flush=True)
    one_engine(logs["one-engine-50000"], 50_000)
    workers(logs["workers-10000x5"], 10_000, 5)
    prefix_log(logs["benign-20000"], logs["one-engine-50000"], 20_000)
    damaged_roots(logs["damaged-roots-20000"], logs["benign-20000"])
    prefix_log(logs["benign-10000"], logs["one-engine-50000"], 10_000)
    identical_firsts(logs["identical-firsts-10000"], 5_000)

    best = {}
    for _ in range(args.rounds):
        for name, path in logs.items():
            wall, cpu, rss, report = run(path, args.jobs)
            old = best.get(name)
            best[name] = (min(wall, old[0]) if old else wall, min(cpu, old[1]) if old else cpu,
                          max(rss, old[2]) if old else rss, report)

    print(f"{'log':26}{'lines':>8}{'chains':>8}{'problems':>10}{'wall s':>9}{'CPU s':>8}{'max RSS MB':>12}")
    for name, (wall, cpu, rss, report) in best.items():
        problems = len(report["problems"]) + report.get("problems_not_listed", 0)
        print(f"{name:26}{report['lines']:8}{len(report['chains']):8}{problems:10}{wall:9.2f}{cpu:8.2f}{rss:12.1f}")

    failed = False
    for shape, reference, limit in (("workers-10000x5", "one-engine-50000", 3),
                                    ("damaged-roots-20000", "benign-20000", 10),
                                    ("identical-firsts-10000", "benign-10000", 10)):
        ratio = best[shape][1] / best[reference][1]
        wall_ratio = best[shape][0] / best[reference][0]
        ok = ratio <= limit
        failed |= not ok
        print(f"{shape} / {reference}: {ratio:.2f}x CPU ({wall_ratio:.2f}x wall), target <= {limit}x: "
              f"{'PASS' if ok else 'FAIL'}")
    # Memory flat: no shape takes much more than the benign log of 50,000 lines.
    peak = max(rss for _, _, rss, _ in best.values())
    ok = peak <= 2 * best["one-engine-50000"][2] + 32
    failed |= not ok
    print(f"max RSS {peak:.1f} MB, one engine {best['one-engine-50000'][2]:.1f} MB: {'PASS' if ok else 'FAIL'}")
    return 1 if failed and args.check else 0


if __name__ == "__main__":
    sys.exit(main())
