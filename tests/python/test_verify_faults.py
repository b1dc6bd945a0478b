"""oxa-verify never says OK about nothing, refuses what is no log or the same file twice, reports one
edit once, and excuses a chain break at the start of a partial log only where a chain may begin."""
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import oxa_verify
import tvel_oxa
from test_verify_log import WRITERS, clean_log, edit, run  # noqa: F401 (a fixture)

BIN = Path(sys.executable).parent
ORIGIN = "example.com/audit"


def kinds(findings, *skip):
    return [(f["line"], f["kind"]) for f in findings if f["kind"] not in skip]


# (id, what the log file holds, bytes on standard input or None to read the file)
NOTHING = [
    ("empty-file", b"", None),
    ("torn-record-only", b'{"id":"oxa_0123', None),
    ("failed-pipe", None, b""),  # zcat missing.gz | oxa-verify -
]


@pytest.mark.parametrize("content, stdin", [c[1:] for c in NOTHING], ids=[c[0] for c in NOTHING])
def test_a_log_without_a_record_is_a_problem(clean_log, tmp_path, content, stdin):
    path = tmp_path / "audit.wal"
    if content is not None:
        path.write_bytes(content)
    code, out, err = run("--json", "--public-key", clean_log.key, "-" if stdin is not None else str(path),
                         stdin=stdin)
    assert code == 1, err
    report = json.loads(out)
    assert not report["ok"] and report["records"] == 0
    assert kinds(report["problems"]) == [(0, "no-records")]
    code, plain, _ = run("--public-key", clean_log.key, "-" if stdin is not None else str(path), stdin=stdin)
    assert code == 1 and "OK" not in plain and "FAILED: 1 problem" in plain


CHECKPOINT_LINE = b'{"size":3,"bytes":2900,"frontier":["AAAA"],"note":"example.com/audit\\n3\\n..."}\n'

# (id, name, content (None: the engine's key file), words the message must hold)
NOT_LOGS = [
    ("key-file", "audit.wal.key", None, "key file"),
    ("checkpoint-file", "audit.wal.checkpoints", CHECKPOINT_LINE, "checkpoint file"),
    ("binary", "audit.bin", b"\x7fELF\x00\x01\x02\n{}\n", "NUL byte"),
    ("text", "notes.txt", b"hello, this is not json\n", "not a JSON object"),
]


@pytest.mark.parametrize("name, content, words", [c[1:] for c in NOT_LOGS], ids=[c[0] for c in NOT_LOGS])
@pytest.mark.parametrize("after_a_log", [False, True], ids=["alone", "after-a-log"])
def test_a_piece_that_is_no_log_is_a_usage_error(clean_log, tmp_path, name, content, words, after_a_log):
    piece = tmp_path / name
    if content is None:
        piece.write_bytes((clean_log.path.parent / "audit.wal.key").read_bytes())
    else:
        piece.write_bytes(content)
    log = tmp_path / "audit.wal"
    log.write_bytes(b"".join(clean_log.lines))
    paths = [str(log), str(piece)] if after_a_log else [str(piece)]
    code, out, err = run("--public-key", clean_log.key, *paths)
    assert code == 2 and out == ""
    assert err.startswith(f"oxa-verify: {piece}: ") and words in err, err
    with pytest.raises(ValueError, match=words):
        oxa_verify.verify_log(paths, public_key=clean_log.key)


@pytest.mark.parametrize("second", ["same", "symlink", "hardlink", "dash"])
def test_the_same_file_twice_is_a_usage_error(clean_log, tmp_path, second):
    log = tmp_path / "audit.wal"
    log.write_bytes(b"".join(clean_log.lines))
    if second == "dash":
        paths, stdin = ["-", "-"], b"".join(clean_log.lines)
    else:
        other = {"same": log, "symlink": tmp_path / "link.wal", "hardlink": tmp_path / "hard.wal"}[second]
        if second == "symlink":
            other.symlink_to(log)
        elif second == "hardlink":
            os.link(log, other)
        paths, stdin = [str(log), str(other)], None
    code, out, err = run("--public-key", clean_log.key, *paths, stdin=stdin)
    assert code == 2 and out == "" and "given twice" in err, err


def test_one_edit_gives_one_replay_mismatch_then_stops_that_chain(clean_log, tmp_path):
    """A longer output changes nothing sealed, but every later analysis of its engine: reported once."""
    second_of_a = clean_log.line_of("A", 1)
    lines = list(clean_log.lines)
    lines[second_of_a - 1] = edit(lines[second_of_a - 1], lambda r: r.update(output=r["output"] + "longer" * 40))
    path = tmp_path / "audit.wal"
    path.write_bytes(b"".join(lines))
    report = oxa_verify.verify_log(path, public_key=clean_log.key)
    assert WRITERS.count("A") > 3  # later records of the same chain exist
    assert kinds(report["problems"]) == [(second_of_a, "replay-mismatch")]
    stopped = [w for w in report["warnings"] if w["kind"] == "replay-stopped"]
    assert [w["line"] for w in stopped] == [second_of_a]
    assert "chain " in stopped[0]["message"]
    # The other engines' chains are still replayed: an edit there is found as well.
    first_of_b = clean_log.line_of("B", 1)
    lines[first_of_b - 1] = edit(lines[first_of_b - 1], lambda r: r.update(output=r["output"] + "x" * 90))
    path.write_bytes(b"".join(lines))
    report = oxa_verify.verify_log(path, public_key=clean_log.key)
    assert kinds(report["problems"]) == sorted([(second_of_a, "replay-mismatch"), (first_of_b, "replay-mismatch")])


def notary(*args):
    result = subprocess.run([str(BIN / "oxa-notary"), *map(str, args)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout


def capture(engines, count, start):
    triplet = tvel_oxa.PPPTriplet("model-a", "eu-west", "triage")
    for i in range(start, start + count):
        engines[i % len(engines)].capture({"i": i}, f"prompt {i}", [], "out" * (i % 3), triplet,
                                          tvel_oxa.HumanDeltaChain(f"t-{i}", False, "queue"))


def cut_log(tmp_path, notary_key, delete):
    """Two engines; seal 6 lines; (delete line 9); seal the rest; drop the first 6 lines."""
    log = tmp_path / "full.wal"
    engines = [tvel_oxa.OXAEngine(str(log)), tvel_oxa.OXAEngine(str(log))]
    capture(engines, 6, 0)
    notary("seal", "--key", notary_key[0], "--origin", ORIGIN, log)
    capture(engines, 14, 6)
    if delete:
        lines = log.read_bytes().splitlines(keepends=True)
        del lines[8]
        log.write_bytes(b"".join(lines))
    notary("seal", "--key", notary_key[0], "--origin", ORIGIN, log)
    cut = tmp_path / "cut.wal"
    cut.write_bytes(b"".join(log.read_bytes().splitlines(keepends=True)[6:]))
    return log, cut, engines[0].public_key_hex()


@pytest.mark.parametrize("delete", [False, True], ids=["intact", "line-9-deleted"])
def test_a_break_inside_the_sealed_lines_of_a_cut_log_stays_a_problem(tmp_path, notary_key, delete):
    log, cut, key = cut_log(tmp_path, notary_key, delete)
    checkpoints = ["--checkpoints", f"{log}.checkpoints", "--notary-key", notary_key[1]]
    full = json.loads(run("--json", "--public-key", key, *checkpoints, str(log))[1])
    code, out, err = run("--json", "--public-key", key, *checkpoints, str(cut))
    report = json.loads(out)
    assert code == (1 if delete else 0), out + err
    starts = [w["line"] for w in report["warnings"] if w["kind"] == "starts-mid-chain"]
    if not delete:
        # One starting record per engine may continue a chain from before the cut.
        assert full["ok"] and report["ok"] and starts == [1, 2]
    else:
        [broken] = [p["line"] for p in full["problems"] if p["kind"] == "chain-break"]
        # The record after the deleted one stays a problem. Nothing names an engine, so the other
        # engine's first record, which follows the end of the broken chain, cannot be told from
        # that chain's next record either: it is a problem too, and only line 1 is excused.
        assert starts == [1]
        assert kinds(report["problems"]) == [(2, "chain-break"), (broken - 6, "chain-break")]
        assert all("the chain that ended at line 1 may be the one it continues" in p["message"]
                   for p in report["problems"])
    # Without the checkpoints the cut log proves nothing about its start.
    assert run("--public-key", key, str(cut))[0] == 1


def test_partial_logs_are_classified_the_same_whatever_follows(tmp_path, notary_key):
    """Older pieces deleted: the middle piece alone and with the newest after it give the same
    findings about its own lines."""
    log = tmp_path / "audit.wal"
    engines = [tvel_oxa.OXAEngine(str(log)), tvel_oxa.OXAEngine(str(log))]
    for n in range(3):
        capture(engines, 6, 6 * n)
        notary("seal", "--key", notary_key[0], "--origin", ORIGIN, log)
    lines = log.read_bytes().splitlines(keepends=True)
    pieces = [tmp_path / f"audit.wal.{3 - n}" for n in range(3)]  # oldest first, as rotation names them
    for n, piece in enumerate(pieces):
        piece.write_bytes(b"".join(lines[6 * n:6 * n + 6]))
    verify = dict(public_key=engines[0].public_key_hex(), checkpoints=f"{log}.checkpoints", notary_key=notary_key[1])
    alone = oxa_verify.verify_log([pieces[1]], **verify)
    both = oxa_verify.verify_log(pieces[1:], **verify)
    assert both["ok"], both["problems"]

    def about_the_middle_piece(findings):
        return [(f["line"], f["kind"]) for f in findings if 1 <= f["line"] <= 6]

    assert about_the_middle_piece(alone["warnings"]) == about_the_middle_piece(both["warnings"]) == [
        (1, "starts-mid-chain"), (2, "starts-mid-chain")]
    assert about_the_middle_piece(alone["problems"]) == about_the_middle_piece(both["problems"]) == []
    # Alone, the piece lacks the newest checkpoint's lines: a cut-off end, and only that.
    assert [p["kind"] for p in alone["problems"]] == ["truncated"]


def test_a_chain_picked_up_mid_way_is_replayed_once_its_state_is_known(tmp_path):
    """The analysis keeps the latest 500 decisions: after that many records of a chain that began
    before the given lines, its replay runs, and an edit there is found."""
    log = tmp_path / "audit.wal"
    engine = tvel_oxa.OXAEngine(str(log))
    capture([engine], 640, 0)
    lines = log.read_bytes().splitlines(keepends=True)[40:]  # a piece whose older pieces are not given
    piece = tmp_path / "piece.wal"
    piece.write_bytes(b"".join(lines))
    report = oxa_verify.verify_log(piece, public_key=engine.public_key_hex(), continues=True)
    assert report["ok"] and kinds(report["warnings"], "hash-only") == [(1, "starts-mid-chain")]
    late = 560  # after the 500th record of the picked-up chain
    lines[late - 1] = edit(lines[late - 1], lambda r: r.update(output=r["output"] + "padding" * 30))
    piece.write_bytes(b"".join(lines))
    report = oxa_verify.verify_log(piece, public_key=engine.public_key_hex(), continues=True)
    assert kinds(report["problems"]) == [(late, "replay-mismatch")]
    assert kinds(report["warnings"], "hash-only") == [(1, "starts-mid-chain"), (late, "replay-stopped")]
