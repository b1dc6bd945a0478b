#!/usr/bin/env python3
"""A fleet verified on a local Dask cluster of 1 and of 2 worker processes, against oxa-verify --jobs 2.

Two cases, each timed from the fleet's start to its report:
- a fleet of LOGS logs of RECORDS records each (default 64 x 50,000), one
  log written by the engine and copied, so that every log costs the same;
- one log of BIG records (default 2,000,000), split into byte ranges of at
  most --split-bytes (default: 256 MiB, the command's default) whose
  signatures the workers check, while one pass beside them links the log
  and takes their outcomes at its end.
The reference is plain ``oxa-verify --jobs 2`` on the same files, one after
another: the cluster's overhead is its time over that one's.
Targets: 2 workers >= 1.8x one worker on the fleet and >= 1.7x on the large
log; 2 workers at most 10% slower than oxa-verify --jobs 2.

Without --full every size is divided by --scale (default 10: 64 x 5,000 and
200,000), for a quick run; --full runs the sizes above (it takes about an
hour on a 2-core machine, most of it writing the logs).
Prints the figures and PASS/FAIL per target and exits 0; with --check it exits 1
when a target is missed. Needs the fleet extra (dask[distributed]).
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import tvel_oxa
from oxa_verify import fleet


def write_log(path, records):
    engine = tvel_oxa.OXAEngine(str(path))
    triplet = tvel_oxa.PPPTriplet("model-a", "eu-west", "triage")
    review = tvel_oxa.HumanDeltaChain("t", False, "queue")
    for i in range(records):
        engine.capture({"i": i}, f"prompt {i}", [], "out", triplet, review)
    return engine.public_key_hex()


def timed(work):
    start = time.perf_counter()
    result = work()
    return time.perf_counter() - start, result


def on_cluster(entries, workers, split_bytes):
    client, cluster = fleet.start_local_cluster(workers)
    try:
        seconds, report = timed(lambda: fleet.verify_fleet(entries, client, split_bytes=split_bytes))
    finally:
        client.close()
        cluster.close()
    assert report["summary"]["failed"] == 0, report["summary"]
    return seconds


def with_command(entries, jobs):
    command = str(Path(sys.executable).with_name("oxa-verify"))
    def run():
        for entry in entries:
            subprocess.run([command, "--jobs", str(jobs), "--public-key", entry["public_key"], entry["log"]],
                           check=True, stdout=subprocess.DEVNULL)
    return timed(run)[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--logs", type=int, default=64)
    parser.add_argument("--records", type=int, default=50_000)
    parser.add_argument("--big", type=int, default=2_000_000)
    parser.add_argument("--scale", type=int, default=10)
    parser.add_argument("--full", action="store_true", help="the sizes the targets are set for (no --scale)")
    parser.add_argument("--split-bytes", type=int, default=fleet.DEFAULT_SPLIT_BYTES,
                        help="byte ranges of the large log (the fleet's logs are smaller and stay whole)")
    parser.add_argument("--check", action="store_true", help="exit 1 when a target is missed")
    options = parser.parse_args()
    scale = 1 if options.full else options.scale
    records, big = options.records // scale, options.big // scale
    with tempfile.TemporaryDirectory(prefix="fleet-bench-") as folder:
        folder = Path(folder)
        key = write_log(folder / "one.wal", records)
        entries = []
        for i in range(options.logs):
            path = folder / f"host-{i:03}.wal"
            shutil.copy(folder / "one.wal", path)
            entries.append({"log": str(path), "public_key": key, "jobs": 1})
        big_key = write_log(folder / "big.wal", big)
        big_entries = [{"log": str(folder / "big.wal"), "public_key": big_key, "jobs": 1}]
        big_bytes = os.path.getsize(folder / "big.wal")
        # A reduced run splits the large log as the full one would: into as many ranges.
        split_bytes = options.split_bytes if options.full else max(1, options.split_bytes // scale)
        figures = {}
        for name, case in (("fleet", entries), ("big", big_entries)):
            one = on_cluster(case, 1, split_bytes)
            two = on_cluster(case, 2, split_bytes)
            reference = with_command(case, 2)
            total = sum(records if name == "fleet" else big for _ in case)
            figures[name] = {"records": total, "1 worker s": round(one, 2), "2 workers s": round(two, 2),
                             "speed-up": round(one / two, 2), "oxa-verify --jobs 2 s": round(reference, 2),
                             "overhead": round(two / reference - 1, 3)}
            if name == "big":
                figures[name].update(bytes=big_bytes, ranges=len(fleet.split_ranges(big_bytes, split_bytes)))
        print(json.dumps(figures, indent=2))
    missed = False
    for name, speed_up in (("fleet", 1.8), ("big", 1.7)):
        for what, passed in ((f"{name}: 2 workers >= {speed_up}x 1 worker", figures[name]["speed-up"] >= speed_up),
                             (f"{name}: overhead over oxa-verify --jobs 2 <= 10%", figures[name]["overhead"] <= 0.10)):
            print(f"{'PASS' if passed else 'FAIL'} {what}")
            missed |= not passed
    return 1 if missed and options.check else 0


if __name__ == "__main__":
    sys.exit(main())
