"""oxa-verify against hostile input: huge lines, pipes and devices where files are meant, a torn
record past the last checkpoint, and logs shaped to make the chain search slow."""
import gzip
import json
import os
import random
import subprocess
import sys
import zlib
from pathlib import Path

import pytest

import oxa_verify
import tvel_oxa

BIN = Path(sys.executable).parent
OXA_VERIFY = str(BIN / "oxa-verify")
ORIGIN = "example.com/hostile"


def run(command, *args, timeout=60):
    return subprocess.run([str(BIN / command), *map(str, args)], capture_output=True, text=True, timeout=timeout)


def capture(engine, tag, i, output=""):
    return engine.capture({"i": i}, f"prompt {tag} {i}", [], output or f"out {tag} {i}",
                          tvel_oxa.PPPTriplet("m", "p", "u"), tvel_oxa.HumanDeltaChain("r", False, "q"))


@pytest.fixture(scope="module")
def small_log(tmp_path_factory):
    """Six records of two engines, and the engines' public key."""
    path = tmp_path_factory.mktemp("small") / "audit.wal"
    first, second = tvel_oxa.OXAEngine(str(path)), tvel_oxa.OXAEngine(str(path))
    for i in range(3):
        capture(first, "a", i)
        capture(second, "b", i)
    return path, first.public_key_hex()


# Line length

def test_a_line_over_the_limit_is_malformed_and_the_rest_still_checked(small_log, tmp_path):
    path, key = small_log
    lines = path.read_bytes().splitlines(keepends=True)
    limit = max(len(line) for line in lines)  # every record fits, line feed aside
    damaged = tmp_path / "long.wal"
    damaged.write_bytes(b"".join(lines[:2]) + b"x" * (limit + 1) + b"\n" + b"".join(lines[2:]))

    report = oxa_verify.verify_log(damaged, public_key=key, max_line_bytes=limit)
    assert [(p["line"], p["kind"]) for p in report["problems"]] == [(3, "malformed")]
    assert f"longer than {limit} bytes" in report["problems"][0]["message"]
    assert report["records"] == len(lines)
    # The same line at the limit is an ordinary malformed line, not a long one.
    at_limit = oxa_verify.verify_log(damaged, public_key=key, max_line_bytes=limit + 1)
    assert "longer than" not in at_limit["problems"][0]["message"]

    result = run("oxa-verify", "--json", "--public-key", key, "--max-line-bytes", limit, damaged)
    assert result.returncode == 1
    assert json.loads(result.stdout)["problems"] == report["problems"]


def test_a_long_torn_last_line_is_a_torn_tail(small_log, tmp_path):
    path, key = small_log
    torn = tmp_path / "torn.wal"
    limit = max(len(line) for line in path.read_bytes().splitlines())
    torn.write_bytes(path.read_bytes() + b"y" * (limit + 1))
    report = oxa_verify.verify_log(torn, public_key=key, max_line_bytes=limit)
    assert report["ok"], report["problems"]
    assert [(w["line"], w["kind"]) for w in report["warnings"] if w["kind"] != "hash-only"] == [(7, "torn-tail")]


def max_rss_kib(args):
    """Peak resident memory of a command run alone, in KiB."""
    probe = ("import resource, subprocess, sys; "
             "status = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL).returncode; "
             "print(status, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    result = subprocess.run([sys.executable, "-c", probe, *map(str, args)], capture_output=True, text=True,
                            timeout=300, check=True)
    status, rss = result.stdout.split()
    return int(status), int(rss)


def test_a_huge_line_in_a_gzip_piece_is_never_held_whole(small_log, tmp_path):
    """A 256 MiB line compresses to a few hundred KB: it must be passed over, not read into memory."""
    path, key = small_log
    line_mib = 256
    piece = tmp_path / "huge.wal.gz"
    with open(piece, "wb") as out:
        packer = zlib.compressobj(6, zlib.DEFLATED, 31)
        out.write(packer.compress(path.read_bytes()))
        block = b"z" * (1 << 20)
        for _ in range(line_mib):
            out.write(packer.compress(block))
        out.write(packer.compress(b"\n"))
        out.write(packer.flush())
    assert piece.stat().st_size < 2 << 20

    small = tmp_path / "small.wal.gz"
    small.write_bytes(gzip.compress(path.read_bytes()))
    base_status, base_rss = max_rss_kib([OXA_VERIFY, "--public-key", key, small])
    status, rss = max_rss_kib([OXA_VERIFY, "--public-key", key, "--max-line-bytes", 1 << 16, piece])
    assert (base_status, status) == (0, 1)
    # Loosely: far below the line's size above what a small log takes.
    assert rss - base_rss < line_mib * 1024 // 8, (rss, base_rss)


# Pipes and devices where a regular file is meant

@pytest.mark.parametrize("option", ["--checkpoints", "--proof"])
@pytest.mark.parametrize("kind", ["fifo", "device"])
def test_a_pipe_or_device_named_as_a_file_is_refused_at_once(small_log, notary_key, tmp_path, option, kind):
    path, key = small_log
    if kind == "fifo":
        named = tmp_path / "named.pipe"
        os.mkfifo(named)
    else:
        named = "/dev/zero"
    log_args = [path] if option == "--checkpoints" else []
    # Without a writer, a blocking open of the pipe would wait forever; /dev/zero never ends.
    result = subprocess.run(["timeout", "-s", "KILL", "20", OXA_VERIFY, "--public-key", key, option, named,
                             "--notary-key", notary_key[1], *map(str, log_args)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 2, (result.returncode, result.stderr)
    assert "not a regular file" in result.stderr
    assert str(named) in result.stderr


def test_a_log_from_a_pipe_is_still_read(small_log, tmp_path):
    path, key = small_log
    result = subprocess.run(["timeout", "-s", "KILL", "20", OXA_VERIFY, "--public-key", key, "-"],
                            input=path.read_bytes(), capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr


# A torn record after the last checkpoint

def change_context(line):
    record = json.loads(line)
    assert "ctx_json" in record
    record["ctx_json"] = record["ctx_json"].replace("1", "7") if "1" in record["ctx_json"] else '{"i":99}'
    return json.dumps(record, separators=(",", ":"), ensure_ascii=False).encode()


@pytest.mark.parametrize("unsealed_before", [0, 2], ids=["only-the-torn-record", "after-unsealed-lines"])
def test_a_torn_record_after_the_last_checkpoint_is_unsealed(tmp_path, notary_key, unsealed_before):
    log = tmp_path / "audit.wal"
    engine = tvel_oxa.OXAEngine(str(log))
    for i in range(10):
        capture(engine, "s", i)
    assert run("oxa-notary", "seal", "--key", notary_key[0], "--origin", ORIGIN, log).returncode == 0
    for i in range(unsealed_before + 1):
        capture(engine, "u", 11 + i)
    lines = log.read_bytes().splitlines(keepends=True)
    # The last record, changed outside its hash, and without its line feed.
    log.write_bytes(b"".join(lines[:-1]) + change_context(lines[-1]))

    common = ["--json", "--public-key", engine.public_key_hex(), "--checkpoints", f"{log}.checkpoints",
              "--notary-key", notary_key[1]]
    loose = run("oxa-verify", *common, log)
    assert loose.returncode == 0, loose.stdout
    warnings = json.loads(loose.stdout)["warnings"]
    unsealed = [w for w in warnings if w["kind"] == "unsealed-tail"]
    count = unsealed_before + 1
    assert [(w["line"], w["message"].split(" ")[0]) for w in unsealed] == [(11, str(count))]
    assert ("torn-tail", 11 + unsealed_before) in [(w["kind"], w["line"]) for w in warnings]

    required = run("oxa-verify", *common, "--require-sealed", log)
    assert required.returncode == 1
    problems = json.loads(required.stdout)["problems"]
    assert [(p["line"], p["kind"]) for p in problems] == [(11, "unsealed-tail")]
    assert problems[0]["message"].startswith(f"{count} line")


# Logs shaped against the chain search: the findings stay exact (the time is the benchmark's)

def edited(line, **members):
    record = json.loads(line)
    record.update(members)
    return (json.dumps(record, separators=(",", ":"), ensure_ascii=False) + "\n").encode()


def damaged_root(line):
    root = json.loads(line)["merkle_root"]
    return edited(line, merkle_root=root[:-1] + ("0" if root[-1] != "0" else "1"))


def test_every_root_damaged_is_a_break_on_every_line(tmp_path):
    path = tmp_path / "audit.wal"
    engine = tvel_oxa.OXAEngine(str(path))
    for i in range(40):
        capture(engine, "d", i)
    path.write_bytes(b"".join(damaged_root(line) for line in path.read_bytes().splitlines()))
    report = oxa_verify.verify_log(path, public_key=engine.public_key_hex())
    assert [(p["line"], p["kind"]) for p in report["problems"]] == [(n, "chain-break") for n in range(1, 41)]
    assert [w["kind"] for w in report["warnings"] if w["kind"] != "hash-only"] == ["replay-stopped"] * 40
    assert [c["records"] for c in report["chains"]] == [1] * 40


def test_copies_of_a_first_record_and_successors_that_never_replay(tmp_path):
    """Every copy of the first record is a fork; every successor extends the shared root, joins the
    most recent chain still ending in it and fails its replay there."""
    path = tmp_path / "audit.wal"
    engine = tvel_oxa.OXAEngine(str(path))
    for _ in range(2):
        engine.capture(None, "same", [], "same", tvel_oxa.PPPTriplet("m", "p", "u"),
                       tvel_oxa.HumanDeltaChain("r", False, "q"), auto_insight=True)
    first, successor = path.read_bytes().splitlines(keepends=True)
    insight = json.loads(successor)["core_insight_json"]
    successor = edited(successor, core_insight_json=insight.replace("aligns well", "aligns poorly"))
    copies = 25
    path.write_bytes(first * copies + successor * copies)

    report = oxa_verify.verify_log(path, public_key=engine.public_key_hex())
    expected = [(n, "fork") for n in range(2, copies + 1)]
    expected += [(n, "replay-mismatch") for n in range(copies + 1, 2 * copies + 1)]
    assert [(p["line"], p["kind"]) for p in report["problems"]] == expected
    assert all("already extended" in p["message"] and "line 1 " in p["message"]
               for p in report["problems"] if p["kind"] == "fork")
    # Most recent first: the last copy's chain takes the first successor, and so on down.
    assert [(c["first_line"], c["last_line"]) for c in report["chains"]] == [
        (n, 2 * copies + 1 - n) for n in range(1, copies + 1)]


def test_short_lived_workers_interleaved_at_random(tmp_path):
    scratch = tmp_path / "scratch.wal"
    engines, per_engine = 60, 4
    for e in range(engines):
        worker = tvel_oxa.OXAEngine(str(scratch))
        for i in range(per_engine):
            capture(worker, f"w{e}", i, output="o" * (e % 7 + i))
        key = worker.public_key_hex()
        del worker
    lines = scratch.read_bytes().splitlines(keepends=True)
    queues = [iter(lines[e * per_engine:(e + 1) * per_engine]) for e in range(engines)]
    order = [e for e in range(engines) for _ in range(per_engine)]
    random.Random(5).shuffle(order)
    path = tmp_path / "audit.wal"
    path.write_bytes(b"".join(next(queues[e]) for e in order))

    report = oxa_verify.verify_log(path, public_key=key)
    assert report["ok"], report["problems"][:3]
    assert sorted(c["records"] for c in report["chains"]) == [per_engine] * engines
    # Each chain holds exactly one worker's lines.
    firsts = sorted(c["first_line"] for c in report["chains"])
    assert firsts == sorted(order.index(e) + 1 for e in range(engines))
