#!/usr/bin/env python3
"""What witnesses cost the notary: sealing time per checkpoint with two local witnesses against none.

Two logs grow side by side by the same lines (records made by the module).
After every batch, each log gets one `oxa-notary seal` (in this process,
through the command's main: no interpreter start-up in the figures): one with
`--policy` naming two real `oxa-witness serve` processes on 127.0.0.1 (their
state in SQLite on disk, fsync before each answer), one without. The order
alternates between rounds. Each witnessed seal asks both witnesses
concurrently, with the consistency proof from the size they last cosigned,
checks their cosignatures and writes the notary's witness state file
(fsync + rename) before the checkpoint is stored.

Prints the median and p90 wall time per checkpoint of each, and the
difference. There is no target: the figure says what a checkpoint's
witnesses cost on this machine.
"""

import argparse
import contextlib
import io
import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import tvel_oxa
from oxa_verify import _native, notary_cli

BIN = Path(sys.executable).parent
ORIGIN = "bench.example.com/audit"


def capture(engine, count, tag):
    for i in range(count):
        engine.capture({"user": i, "tag": tag}, f"prompt {tag} {i} " + "p" * 200, ["looked"],
                       f"output {tag} {i} " + "o" * 200, tvel_oxa.PPPTriplet("model-a", "eu-west", "triage"),
                       tvel_oxa.HumanDeltaChain(f"ticket-{i}", False, "queue"))


class Witness:
    def __init__(self, directory, name, notary_vkey):
        directory.mkdir()
        self.key = directory / "witness.key"
        subprocess.run([str(BIN / "oxa-witness"), "keygen", "--key", str(self.key), name], check=True,
                       capture_output=True)
        self.vkey = _native.witness_vkey(str(self.key))
        policy = directory / "policy"
        policy.write_text(f"log {notary_vkey}\n")
        self.process = subprocess.Popen(
            [str(BIN / "oxa-witness"), "serve", "--key", str(self.key), "--policy", str(policy),
             "--db", str(directory / "witness.db"), "--listen", "127.0.0.1:0"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        first = self.process.stdout.readline()
        if not first.startswith("listening on "):
            raise SystemExit(f"oxa-witness did not start: {first!r}")
        self.url = first.split()[-1]

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)
        self.process.stdout.close()


def seal(key, log, policy=None):
    args = ["seal", "--json", "--key", str(key), str(log)]
    if policy is not None:
        args[1:1] = ["--policy", str(policy)]
    out = io.StringIO()
    started = time.perf_counter()
    with contextlib.redirect_stdout(out):
        status = notary_cli.main(args)
    elapsed = time.perf_counter() - started
    outcome = json.loads(out.getvalue())
    if status != 0 or outcome["checkpoints_written"] != 1:
        raise SystemExit(f"seal failed: {out.getvalue()}")
    if policy is not None and not all(result["ok"] for result in outcome["witnesses"]):
        raise SystemExit(f"a witness did not cosign: {outcome['witnesses']}")
    return elapsed


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=40, help="checkpoints of each log (default: 40)")
    parser.add_argument("--lines", type=int, default=100, help="new lines before each checkpoint (default: 100)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="notary-witness-bench-") as directory:
        directory = Path(directory)
        key = directory / "notary.key"
        with contextlib.redirect_stdout(io.StringIO()) as out:
            notary_cli.main(["keygen", "--key", str(key), ORIGIN])
        notary_vkey = out.getvalue().strip()
        witnesses = [Witness(directory / f"w{i}", f"w{i}.bench.example.com/witness", notary_vkey) for i in (1, 2)]
        try:
            policy = directory / "notary.policy"
            policy.write_text(f"log {notary_vkey}\n"
                              + "".join(f"witness w{i} {w.vkey} {w.url}\n" for i, w in enumerate(witnesses, 1))
                              + "group both all w1 w2\nquorum both\n")
            logs = {"witnessed": directory / "witnessed" / "audit.wal", "alone": directory / "alone" / "audit.wal"}
            engines = {}
            for name, log in logs.items():
                log.parent.mkdir()
                engines[name] = tvel_oxa.OXAEngine(str(log))
            times = {"witnessed": [], "alone": []}
            for round_number in range(args.rounds):
                for name in engines:
                    capture(engines[name], args.lines, f"r{round_number}")
                order = ["witnessed", "alone"] if round_number % 2 == 0 else ["alone", "witnessed"]
                for name in order:
                    times[name].append(seal(key, logs[name], policy if name == "witnessed" else None))
        finally:
            for witness in witnesses:
                witness.stop()

    print(f"oxa-notary seal per checkpoint, {args.rounds} checkpoints of {args.lines} new lines each:")
    for name, label in (("alone", "no witnesses"), ("witnessed", "two local witnesses")):
        values = times[name]
        print(f"  {label:20s} median {statistics.median(values) * 1e3:7.2f} ms   "
              f"p90 {percentile(values, 0.9) * 1e3:7.2f} ms")
    extra = statistics.median(times["witnessed"]) - statistics.median(times["alone"])
    print(f"  witnesses add {extra * 1e3:.2f} ms per checkpoint (medians)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
