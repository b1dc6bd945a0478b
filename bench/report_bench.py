#!/usr/bin/env python3
"""The auditor's HTML report against verification alone, on a long log.

On one log made by tvel_oxa (1,000,000 records by default, four engines
interleaved, time stamps spread over 180 days so that the charts have a
long axis), in turns for --rounds rounds, each keeping its best:

- `oxa-verify --jobs 1 --json` (verification, with the statistics the report
  draws on gathered in the same pass);
- `oxa-verify --jobs 1 --html FILE` (the same, then the HTML page written);
- in one process, `verify_log` and `write_html_report` timed apart.

Wall and CPU time are shown; the target is judged on CPU time, which moves
less on a shared machine. Targets: the report costs at most 10 % more time
than verification alone,
and the file stays under 3 MB. The statistics' own share of the pass is
measured apart by the C++ benchmark `statistics_bench` (`make bench`).

The log is kept in build/bench-report and reused. Prints figures and
PASS/FAIL and exits 0; --check exits 1 on a missed target.
"""

import argparse
import datetime
import os
import resource
import subprocess
import sys
import time
from pathlib import Path

import oxa_verify
import tvel_oxa

HERE = Path(__file__).resolve().parent
WORK = HERE.parent / "build" / "bench-report"
OXA_VERIFY = str(Path(sys.executable).with_name("oxa-verify"))
SPAN = datetime.timedelta(days=180)
START = datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc)
TIME_TARGET = 1.10
SIZE_TARGET = 3_000_000

TRIPLET = tvel_oxa.PPPTriplet("model-a@2024-06", "eu-west-1", "support triage")
CTX = {"user": "u-48213", "session": 9137, "locale": "en-GB"}
PROMPT = "Summarise the customer's last three support tickets and flag urgency. " * 3
NODES = ["reviewer-queue", "team-lead", "compliance", "auto-closed"]
TIMESTAMP_KEY = b'"timestamp":"'


def make_log(path, records, engines):
    if path.exists() and path.with_name(path.name + ".key").exists():
        return
    path.unlink(missing_ok=True)
    scratch = path.with_name("scratch.wal")
    scratch.unlink(missing_ok=True)
    writers = [tvel_oxa.OXAEngine(str(scratch)) for _ in range(engines)]
    reviews = [tvel_oxa.HumanDeltaChain(f"ticket-{n}", n % 3 != 0, NODES[n]) for n in range(len(NODES))]
    started = time.perf_counter()
    for i in range(records):
        writers[i % engines].capture(CTX, PROMPT[: 150 + i % 60], ["step"], "Urgent: " + "x" * (i % 97),
                                     TRIPLET, reviews[i % len(reviews)], auto_insight=i % 5 != 0)
    del writers
    print(f"made {records:,} records in {time.perf_counter() - started:.1f} s")
    # Time stamps are outside the content hash: spread them over the span.
    step = SPAN / records
    with open(scratch, "rb") as source, open(path, "wb") as out:
        for i, line in enumerate(source):
            begin = line.index(TIMESTAMP_KEY) + len(TIMESTAMP_KEY)
            end = line.index(b'"', begin)
            stamp = (START + step * i).strftime("%Y-%m-%dT%H:%M:%S.%f+00:00").encode()
            out.write(line[:begin] + stamp + line[end:])
    os.replace(scratch.with_name(scratch.name + ".key"), path.with_name(path.name + ".key"))
    scratch.unlink()


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed_command(args):
    """Wall time and CPU time (which moves less on a shared machine) of one oxa-verify run."""
    started, cpu = time.perf_counter(), children_cpu()
    result = subprocess.run([OXA_VERIFY, "--jobs", "1", *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed, cpu = time.perf_counter() - started, children_cpu() - cpu
    if result.returncode != 0:
        sys.exit(f"oxa-verify {' '.join(args)} exited {result.returncode}: {result.stderr.decode()[-500:]}")
    return elapsed, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--engines", type=int, default=4)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--check", action="store_true", help="exit 1 on a missed target")
    options = parser.parse_args()

    from oxa_verify import html_report

    missing = html_report.missing_report_packages()
    if missing:
        sys.exit(f"needs {', '.join(missing)}: pip install 'tvel_oxa[report]'")

    WORK.mkdir(parents=True, exist_ok=True)
    log = WORK / f"audit-{options.records}x{options.engines}.wal"
    make_log(log, options.records, options.engines)
    page = WORK / "report.html"

    best = {name: (float("inf"), float("inf")) for name in ("json", "html", "verify_log", "write")}
    for _ in range(options.rounds):
        best["json"] = min(best["json"], timed_command(["--json", str(log)]))
        best["html"] = min(best["html"], timed_command(["--html", str(page), str(log)]))
        started, cpu = time.perf_counter(), time.process_time()
        report = oxa_verify.verify_log(log, jobs=1)
        middle, middle_cpu = time.perf_counter(), time.process_time()
        oxa_verify.write_html_report(report, page, [str(log)])
        best["verify_log"] = min(best["verify_log"], (middle - started, middle_cpu - cpu))
        best["write"] = min(best["write"], (time.perf_counter() - middle, time.process_time() - middle_cpu))

    size = page.stat().st_size
    ratio = best["html"][1] / best["json"][1]
    records = report["records"]
    print(f"log: {records:,} records, {len(report['chains'])} chains, {log.stat().st_size / 1e6:.0f} MB, "
          f"{report['statistics']['bucket_seconds'] // 3600} h buckets x {len(report['statistics']['buckets'])}")
    for name, label in [("json", "oxa-verify --jobs 1 --json"), ("html", "oxa-verify --jobs 1 --html"),
                        ("verify_log", "  in process: verify_log"), ("write", "  in process: write_html_report")]:
        wall, cpu = best[name]
        print(f"{label:<32} wall {wall:7.2f} s, CPU {cpu:7.2f} s")
    verdicts = []
    for what, figure, target, ok in [
        ("report CPU time / verification", f"{ratio:.3f}", f"<= {TIME_TARGET:.2f}", ratio <= TIME_TARGET),
        ("report file size", f"{size / 1e6:.2f} MB", f"< {SIZE_TARGET / 1e6:.0f} MB", size < SIZE_TARGET),
    ]:
        print(f"{what}: {figure} (target {target}) {'PASS' if ok else 'FAIL'}")
        verdicts.append(ok)
    return 1 if options.check and not all(verdicts) else 0


if __name__ == "__main__":
    sys.exit(main())
