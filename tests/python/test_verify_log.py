"""oxa-verify on real logs written by tvel_oxa, clean and damaged: exit status, the first problem's
line and kind, the chains; the command and verify_log give the same report."""
import gzip
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import oxa_verify
import tvel_oxa
from conftest import run_python

OXA_VERIFY = str(Path(sys.executable).with_name("oxa-verify"))

# Which engine writes each line of the clean log: three engines on one file, interleaved.
WRITERS = "AABACBACCBABCAB"


class Log:
    """A clean log and what it was made of: its lines (bytes, with line feeds), the writer of each
    line, the engines' public key, and one record written to another log with another key."""

    def __init__(self, directory):
        self.path = directory / "audit.wal"
        triplet = tvel_oxa.PPPTriplet("model-a", "eu-west", "triage")
        review = tvel_oxa.HumanDeltaChain("ref-1", False, "queue")
        engines = {name: tvel_oxa.OXAEngine(str(self.path)) for name in sorted(set(WRITERS))}
        for i, name in enumerate(WRITERS):
            engines[name].capture({"i": i}, "prompt é" + "p" * (i % 5), ["t"], "out" * (i % 4), triplet,
                                  review, auto_insight=i % 6 != 5)
        self.key = engines["A"].public_key_hex()
        self.lines = self.path.read_bytes().splitlines(keepends=True)
        other = tvel_oxa.OXAEngine(str(directory / "other.wal"))
        for i in range(3):
            other.capture(None, "elsewhere", [], "x" * i, triplet, review)
        self.other_key = other.public_key_hex()
        self.other_lines = (directory / "other.wal").read_bytes().splitlines(keepends=True)

    def line_of(self, writer, nth):
        """1-based line number of the nth (0-based) record of a writer."""
        return [i + 1 for i, w in enumerate(WRITERS) if w == writer][nth]


@pytest.fixture(scope="module")
def clean_log(tmp_path_factory):
    return Log(tmp_path_factory.mktemp("clean"))


def edit(line, change):
    """A record line with its JSON members changed by `change` (a function of the dict)."""
    record = json.loads(line)
    change(record)
    return (json.dumps(record, separators=(",", ":"), ensure_ascii=False) + "\n").encode()


def edit_ppp(record, **values):
    record["ppp_json"] = json.dumps({**json.loads(record["ppp_json"]), **values}, separators=(",", ":"))


def flip_signature(record):
    record["signature"][7] ^= 1


def change_insight(record):
    insight = json.loads(record["core_insight_json"])
    insight["delta"]["vector"][0] += 1
    record["core_insight_json"] = json.dumps(insight, separators=(",", ":"))


def at(n, change):
    """Damage: the line numbered n changed by `change`."""
    def damage(log, lines):
        lines[n - 1] = edit(lines[n - 1], change)
        return lines
    return damage


def insight_line(log):
    return next(i + 1 for i, line in enumerate(log.lines) if json.loads(line)["core_insight_json"] is not None
                and i >= 4)


def delete_line(log, lines):
    del lines[log.line_of("A", 2) - 1]
    return lines


def swap_pair(log, lines):
    first, second = log.line_of("B", 1), log.line_of("B", 2)
    lines[first - 1], lines[second - 1] = lines[second - 1], lines[first - 1]
    return lines


def duplicate_line(log, lines):
    lines.insert(5, lines[4])
    return lines


def foreign_line(log, lines):
    lines.insert(6, log.other_lines[1])
    return lines


def malformed_line(log, lines):
    lines[8] = b'{"id":"oxa_broken"\n'
    return lines


def torn_tail(log, lines):
    lines[-1] = lines[-1][:40]
    return lines


def torn_line_feed_only(log, lines):
    lines[-1] = lines[-1].rstrip(b"\n")
    return lines


def cut_tail(log, lines):
    return lines[:-2]


def whole_prompt_change(record):
    record["prompt"] = record["prompt"].replace("p", "q", 1)


# (id, damage, extra arguments as a function of the log, exit status, first problem (line, kind) or None)
CASES = [
    ("clean", None, None, 0, None),
    ("prompt", at(5, whole_prompt_change), None, 1, (5, "hash-mismatch")),
    ("provenance", at(6, lambda r: edit_ppp(r, provenance="model-b")), None, 1, (6, "hash-mismatch")),
    ("coherence-text", at(7, lambda r: r.update(coherence_score=r["coherence_score"] * (1 - 2**-50))), None, 1,
     (7, "hash-mismatch")),
    ("reputation-text", at(7, lambda r: r.update(reputation_scalar=r["reputation_scalar"] + 1e-12)), None, 1,
     (7, "hash-mismatch")),
    ("output-length", at(8, lambda r: r.update(output=r["output"] + "!")), None, 1, (8, "replay-mismatch")),
    ("insight", lambda log, lines: at(insight_line(log), change_insight)(log, lines), None, 1, "insight"),
    ("signature-byte", at(9, flip_signature), None, 1, (9, "bad-signature")),
    ("merkle-root", at(10, lambda r: r.update(merkle_root="0" * 64)), None, 1, (10, "chain-break")),
    # The next record of the deleted one's engine, one line up after the deletion.
    ("deleted-line", delete_line, None, 1, "deleted"),
    ("swapped-pair", swap_pair, None, 1, "swapped"),
    ("duplicated-line", duplicate_line, None, 1, (6, "fork")),
    ("foreign-line", foreign_line, None, 1, (7, "bad-signature")),
    ("cut-tail-anchor", cut_tail, lambda log: ["--anchor", json.loads(log.lines[-1])["merkle_root"]], 1,
     (0, "anchor-missing")),
    ("anchor-present", None, lambda log: ["--anchor", json.loads(log.lines[-3])["merkle_root"]], 0, None),
    ("other-key", None, lambda log: ["--public-key", log.other_key], 1, (1, "bad-signature")),
    ("torn-tail", torn_tail, None, 0, None),
    ("torn-line-feed-only", torn_line_feed_only, None, 0, None),
    ("malformed-line", malformed_line, None, 1, (9, "malformed")),
]


def expected_first(log, expectation):
    if expectation == "deleted":
        return (log.line_of("A", 3) - 1, "chain-break")
    if expectation == "swapped":
        return (log.line_of("B", 1), "chain-break")
    if expectation == "insight":
        return (insight_line(log), "replay-mismatch")
    return expectation


def run(*args, stdin=None):
    result = subprocess.run([OXA_VERIFY, *args], input=stdin, capture_output=True, timeout=120)
    return result.returncode, result.stdout.decode(), result.stderr.decode()


@pytest.mark.parametrize("damage, extra, status, first", [case[1:] for case in CASES], ids=[c[0] for c in CASES])
def test_damage_is_caught(clean_log, tmp_path, damage, extra, status, first):
    lines = list(clean_log.lines)
    if damage is not None:
        lines = damage(clean_log, lines)
    path = tmp_path / "audit.wal"
    path.write_bytes(b"".join(lines))
    args = ["--public-key", clean_log.key] + (extra(clean_log) if extra else [])
    code, out, err = run("--json", *args, str(path))
    assert code == status, err
    assert err == ""  # no progress or anything else when standard error is not a terminal
    report = json.loads(out)
    assert report["ok"] == (status == 0)
    first = expected_first(clean_log, first)
    if first is None:
        assert report["problems"] == []
    else:
        assert (report["problems"][0]["line"], report["problems"][0]["kind"]) == first
    # The plain report names the same first problem.
    code_plain, plain, _ = run(*args, str(path))
    assert code_plain == status
    if first is not None:
        first_listed = plain.split("problems, first bad line first:\n")[1].splitlines()[0]
        assert f"{first[1]}: " in first_listed and (first[0] == 0 or f"line {first[0]}: " in first_listed)
    assert sorted(os.listdir(tmp_path)) == ["audit.wal"]


def test_clean_log_reports_one_chain_per_engine(clean_log):
    report = oxa_verify.verify_log(clean_log.path, public_key=clean_log.key)
    assert report["ok"] and report["lines"] == report["records"] == len(WRITERS)
    assert report["key_source"] == "argument" and report["public_key"] == clean_log.key
    assert report["warnings"] == []
    chains = {json.loads(clean_log.lines[c["first_line"] - 1])["id"]: c for c in report["chains"]}
    assert len(chains) == 3
    for writer in "ABC":
        lines = [i + 1 for i, w in enumerate(WRITERS) if w == writer]
        chain = chains[json.loads(clean_log.lines[lines[0] - 1])["id"]]
        assert (chain["first_line"], chain["last_line"], chain["records"]) == (lines[0], lines[-1], len(lines))
        assert chain["head"] == json.loads(clean_log.lines[lines[-1] - 1])["merkle_root"]


@pytest.mark.parametrize("damage, warning_line", [(torn_tail, len(WRITERS)), (torn_line_feed_only, len(WRITERS))],
                         ids=["partial-record", "whole-record"])
def test_torn_tail_is_a_warning(clean_log, tmp_path, damage, warning_line):
    path = tmp_path / "audit.wal"
    path.write_bytes(b"".join(damage(clean_log, list(clean_log.lines))))
    report = oxa_verify.verify_log(path, public_key=clean_log.key)
    assert report["ok"]
    assert [(w["line"], w["kind"]) for w in report["warnings"]] == [(warning_line, "torn-tail")]
    whole = damage is torn_line_feed_only
    assert report["records"] == len(WRITERS) - (0 if whole else 1)


def test_break_stops_the_replay_once(clean_log, tmp_path):
    path = tmp_path / "audit.wal"
    path.write_bytes(b"".join(delete_line(clean_log, list(clean_log.lines))))
    report = oxa_verify.verify_log(path, public_key=clean_log.key)
    broken = clean_log.line_of("A", 3) - 1
    assert [(p["line"], p["kind"]) for p in report["problems"]] == [(broken, "chain-break")]
    assert [(w["line"], w["kind"]) for w in report["warnings"]] == [(broken, "replay-stopped")]
    assert len(report["chains"]) == 4


def test_engines_with_identical_first_records(tmp_path):
    """Two engines whose first records differ only outside the hash share a root: not a fork, and
    each later record goes to the chain whose replay it matches."""
    path = tmp_path / "audit.wal"
    triplet = tvel_oxa.PPPTriplet("m", "p", "u")
    review = tvel_oxa.HumanDeltaChain("r", False, "t")
    first, second = tvel_oxa.OXAEngine(str(path)), tvel_oxa.OXAEngine(str(path))
    # Output lengths whose first records have the same coherence, so the same hash and root.
    assert first.capture(None, "same", [], "", triplet, review).merkle_root == \
        second.capture(None, "same", [], "bbb", triplet, review).merkle_root
    # The first engine's next record comes first: the most recent chain ending in the shared root is
    # the second engine's, whose replay it does not match.
    for i in range(3):
        first.capture(None, "x" * i, [], "", triplet, review)
        second.capture(None, "x" * i, [], "", triplet, review)
    report = oxa_verify.verify_log(path, public_key=first.public_key_hex())
    assert report["ok"], report["problems"]
    assert sorted(c["records"] for c in report["chains"]) == [4, 4]
    assert report["chains"][0]["head"] != report["chains"][1]["head"]


def test_rotated_pieces_with_gzip_and_standard_input(clean_log, tmp_path):
    data = b"".join(clean_log.lines)
    cut1, cut2 = len(data) // 3 + 5, 2 * len(data) // 3 + 11  # pieces split inside lines
    pieces = [tmp_path / "audit.wal.2.gz", tmp_path / "audit.wal.1", tmp_path / "audit.wal"]
    pieces[0].write_bytes(gzip.compress(data[:cut1]))
    pieces[1].write_bytes(data[cut1:cut2])
    pieces[2].write_bytes(data[cut2:])
    code, out, err = run("--json", "--public-key", clean_log.key, *map(str, pieces))
    assert code == 0, err
    report = json.loads(out)
    assert report["records"] == len(WRITERS) and len(report["chains"]) == 3
    code, out, err = run("--json", "--public-key", clean_log.key, "-", stdin=data)
    assert code == 0, err
    assert json.loads(out) == report
    # Standard input has no key file beside it.
    code, _, err = run("-", stdin=data)
    assert code == 2 and "--public-key" in err


def test_key_from_the_key_file_is_reported(clean_log, tmp_path):
    for name in ("audit.wal", "audit.wal.key"):
        shutil.copy(clean_log.path.parent / name, tmp_path / name)
    before = {p.name: (p.read_bytes(), p.stat().st_mtime_ns) for p in tmp_path.iterdir()}
    code, out, _ = run("--json", str(tmp_path / "audit.wal"))
    assert code == 0
    report = json.loads(out)
    assert report["key_source"] == "key-file" and report["public_key"] == clean_log.key
    assert [w["kind"] for w in report["warnings"]] == ["key-from-log-directory"]
    seed = (tmp_path / "audit.wal.key").read_bytes()
    assert seed.hex() not in out and seed.hex() not in run(str(tmp_path / "audit.wal"))[1]
    assert {p.name: (p.read_bytes(), p.stat().st_mtime_ns) for p in tmp_path.iterdir()} == before


def test_command_and_function_give_the_same_report(clean_log):
    code, out, _ = run("--json", "--jobs", "2", str(clean_log.path))
    assert code == 0
    assert json.loads(out) == oxa_verify.verify_log([str(clean_log.path)], jobs=1)


@pytest.mark.parametrize("args, setup", [
    (["missing.wal"], None),
    (["--public-key", "abc", "audit.wal"], "log"),
    (["--public-key", "zz" * 32, "audit.wal"], "log"),
    (["--anchor", "12", "--public-key", "00" * 32, "audit.wal"], "log"),
    (["--jobs", "0", "audit.wal"], "log"),
    (["--max-line-bytes", "0", "audit.wal"], "log"),
    (["--frobnicate", "audit.wal"], "log"),
    (["--public-key"], None),
    ([], None),
    (["audit.wal"], "log-without-key"),
    (["audit.wal"], "short-key"),
    (["audit.wal.gz"], "not-gzip"),
], ids=["missing-file", "short-hex", "bad-hex", "bad-anchor", "zero-jobs", "zero-line-limit", "unknown-option",
        "no-value", "no-log",
        "no-key-file", "short-key-file", "not-gzip"])
def test_usage_and_input_errors_exit_2(clean_log, tmp_path, args, setup):
    if setup is not None:
        shutil.copy(clean_log.path, tmp_path / "audit.wal")
    if setup == "short-key":
        (tmp_path / "audit.wal.key").write_bytes(b"k" * 31)
    if setup == "not-gzip":
        shutil.copy(clean_log.path, tmp_path / "audit.wal.gz")
    before = sorted(os.listdir(tmp_path))
    result = subprocess.run([OXA_VERIFY, *args], cwd=tmp_path, capture_output=True, timeout=60)
    assert result.returncode == 2
    assert result.stdout == b"" and result.stderr.startswith(b"oxa-verify: ")
    assert sorted(os.listdir(tmp_path)) == before


@pytest.mark.parametrize("kwargs, error", [
    (dict(paths=[]), ValueError),
    (dict(public_key="00"), ValueError),
    (dict(public_key=b"00" * 32), TypeError),
    (dict(anchors="00" * 32), TypeError),
    (dict(anchors=["xyz"]), ValueError),
    (dict(jobs=0), ValueError),
    (dict(jobs=1.5), TypeError),
    (dict(jobs=True), TypeError),
    (dict(paths=["does-not-exist.wal"]), OSError),
    (dict(paths=[123]), TypeError),
    (dict(max_line_bytes=0), ValueError),
    (dict(max_line_bytes="1"), TypeError),
], ids=["no-paths", "short-key", "bytes-key", "anchor-str", "bad-anchor", "zero-jobs", "float-jobs", "bool-jobs",
        "missing-file", "int-path", "zero-line-limit", "str-line-limit"])
def test_verify_log_argument_errors(clean_log, kwargs, error):
    arguments = dict(paths=[clean_log.path], public_key=clean_log.key)
    arguments.update(kwargs)
    with pytest.raises(error):
        oxa_verify.verify_log(**arguments)


def test_python_dash_m_runs_the_command(clean_log):
    result = subprocess.run([sys.executable, "-m", "oxa_verify", "--public-key", clean_log.key, str(clean_log.path)],
                            capture_output=True, timeout=60)
    assert result.returncode == 0
    assert result.stdout.decode().endswith("OK: no problem found\n")


def test_seal_by_hand_as_the_readme_shows(clean_log):
    """The byte-for-byte description of the seal, checked with blake3 and cryptography alone."""
    import blake3
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

    def canonical(x):
        text = repr(x)
        if "e" in text:
            mantissa, exponent = text.split("e")
            text = f"{mantissa}e{int(exponent)}"
        return text

    key = Ed25519PublicKey.from_public_bytes(bytes.fromhex(clean_log.key))
    genesis = blake3.blake3(b"genesis").hexdigest()
    assert genesis == "df840a304e772ef4cdfb23293d8adadde8d43567bde4b0190c3d954f696f0b0a"
    heads = {}
    for writer, line in zip(WRITERS, clean_log.lines):
        rec = json.loads(line)
        ppp = json.loads(rec["ppp_json"])
        hashed = (ppp["provenance"] + ppp["place"] + ppp["purpose"] + rec["prompt"]
                  + canonical(rec["coherence_score"]) + canonical(rec["reputation_scalar"]))
        assert blake3.blake3(hashed.encode()).hexdigest() == rec["hash"]
        key.verify(bytes(rec["signature"]), bytes.fromhex(rec["hash"]))
        chain_input = f'Hash("{heads.get(writer, genesis)}")Hash("{rec["hash"]}")'.encode()
        assert len(chain_input) == 144
        assert blake3.blake3(chain_input).hexdigest() == rec["merkle_root"]
        heads[writer] = rec["merkle_root"]
    assert [canonical(x) for x in (2.5e-7, 0.51, 1.0, 0.0001, 0.0)] == ["2.5e-7", "0.51", "1.0", "0.0001", "0.0"]


def test_verify_log_releases_the_interpreter_lock(clean_log, tmp_path):
    """The log is a named pipe that the main thread fills while verify_log, in another thread, reads
    it: that can only finish if verify_log lets go of the interpreter lock (else the child hangs and
    the timeout fails the test)."""
    fifo = tmp_path / "audit.fifo"
    os.mkfifo(fifo)
    result = run_python(f"""
        import threading, oxa_verify
        result = {{}}
        worker = threading.Thread(target=lambda: result.update(
            oxa_verify.verify_log({str(fifo)!r}, public_key={clean_log.key!r})))
        worker.start()
        with open({str(fifo)!r}, "wb") as pipe:
            pipe.write(open({str(clean_log.path)!r}, "rb").read())
        worker.join()
        print(result["ok"], result["records"])
    """, timeout=60)
    assert result.stdout.split() == ["True", str(len(WRITERS))], result.stderr
