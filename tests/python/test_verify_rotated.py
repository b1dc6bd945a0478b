"""oxa-verify on a log rotated by the real logrotate (rename rotation, compress, delaycompress): the
pieces found and ordered by --rotated, where each finding lies, pieces missing, out of order or cut
short, a piece verified on its own with --continues, and compressed input known by its content."""
import gzip
import json
import os
import shutil
import subprocess
import time

import pytest

import oxa_verify
import tvel_oxa
from oxa_verify._pieces import check_piece_order, rotated_pieces
from test_verify_log import edit, flip_signature, run

LOGROTATE = shutil.which("logrotate") or "/usr/sbin/logrotate"
needs_logrotate = pytest.mark.skipif(not os.path.exists(LOGROTATE), reason="logrotate is not installed")

CONFIG = """\
{log} {{
    rotate 5
    compress
    delaycompress
    missingok
    notifempty
    nocreate
{extra}}}
"""


class Rotated:
    """Two engines writing to audit.wal, rotated three times by logrotate: four pieces."""

    def __init__(self, directory, dated=False):
        self.log = directory / "audit.wal"
        config = directory / "logrotate.conf"
        extra = "    dateext\n    dateformat -%Y%m%d%H%M%S\n" if dated else ""
        config.write_text(CONFIG.format(log=self.log, extra=extra))
        os.chmod(config, 0o644)
        engines = [tvel_oxa.OXAEngine(str(self.log)), tvel_oxa.OXAEngine(str(self.log))]
        self.key = engines[0].public_key_hex()
        self.lines = []
        triplet = tvel_oxa.PPPTriplet("model-a", "eu-west", "triage")
        count = 0
        for round_size in (7, 6, 8, 5):
            if count:
                if dated:
                    time.sleep(1.1)  # one rotation per second of the date format
                self.lines += self.log.read_bytes().splitlines(keepends=True)
                subprocess.run([LOGROTATE, "-f", "-s", str(directory / "logrotate.state"), str(config)], check=True,
                               timeout=60)
                assert not self.log.exists()
            for _ in range(round_size):
                engines[count % 2].capture({"n": count}, f"prompt {count}", [], "o" * (count % 4), triplet,
                                           tvel_oxa.HumanDeltaChain(f"t-{count}", False, "queue"))
                count += 1
        self.lines += self.log.read_bytes().splitlines(keepends=True)
        self.pieces = rotated_pieces(str(self.log))


@pytest.fixture(scope="module")
def rotated(tmp_path_factory):
    if not os.path.exists(LOGROTATE):
        pytest.skip("logrotate is not installed")
    return Rotated(tmp_path_factory.mktemp("rotated"))


@needs_logrotate
@pytest.mark.parametrize("dated", [False, True], ids=["numbered", "dateext"])
def test_rotated_finds_the_pieces_oldest_first(tmp_path, dated):
    made = Rotated(tmp_path, dated)
    names = [os.path.basename(p) for p in made.pieces]
    if dated:
        assert len(names) == 4 and names[-1] == "audit.wal" and names[:-1] == sorted(names[:-1])
        assert names[0].endswith(".gz") and not names[2].endswith(".gz")  # delaycompress
    else:
        assert names == ["audit.wal.3.gz", "audit.wal.2.gz", "audit.wal.1", "audit.wal"]
    code, out, err = run("--json", "--rotated", "--public-key", made.key, str(made.log))
    assert code == 0, out + err
    report = json.loads(out)
    assert report["pieces"] == made.pieces
    assert report["records"] == len(made.lines) == 26 and len(report["chains"]) == 2
    assert report == oxa_verify.verify_log(made.log, public_key=made.key, rotated=True)
    # The key file beside the current log, not beside the oldest piece, when no key is given.
    from_key_file = oxa_verify.verify_log(made.log, rotated=True)
    assert from_key_file["ok"] and from_key_file["key_file"] == f"{made.log}.key"


def test_findings_name_the_piece_and_the_line_within_it(rotated, tmp_path):
    pieces = [tmp_path / os.path.basename(p) for p in rotated.pieces]
    for source, copy in zip(rotated.pieces, pieces):
        shutil.copy(source, copy)
    piece_lines = pieces[2].read_bytes().splitlines(keepends=True)
    piece_lines[2] = edit(piece_lines[2], flip_signature)
    pieces[2].write_bytes(b"".join(piece_lines))
    before = sum(len(gzip.decompress(p.read_bytes()).splitlines()) for p in pieces[:2])
    code, out, _ = run("--json", "--public-key", rotated.key, *map(str, pieces))
    assert code == 1
    [problem] = json.loads(out)["problems"]
    assert (problem["kind"], problem["file"], problem["file_line"], problem["line"]) == \
        ("bad-signature", str(pieces[2]), 3, before + 3)
    plain = run("--public-key", rotated.key, *map(str, pieces))[1]
    assert f"{pieces[2]} line 3 (line {before + 3} of the log): bad-signature: " in plain


def test_a_missing_piece_is_named_at_the_first_record_after_it(rotated):
    without = [p for p in rotated.pieces if not p.endswith(".2.gz")]
    report = oxa_verify.verify_log(without, public_key=rotated.key)
    first = report["problems"][0]
    assert (first["kind"], first["file"], first["file_line"]) == ("chain-break", without[1], 1)
    assert "a piece before it may be missing or out of order" in first["message"]


def test_a_glob_order_is_refused_naming_the_file(rotated):
    globbed = sorted(rotated.pieces)  # audit.wal, audit.wal.1, audit.wal.2.gz, audit.wal.3.gz
    code, out, err = run("--public-key", rotated.key, *globbed)
    assert code == 2 and out == ""
    assert err.startswith(f"oxa-verify: {rotated.pieces[2]} is an older piece") and "--rotated" in err
    with pytest.raises(ValueError, match="oldest first"):
        oxa_verify.verify_log(globbed, public_key=rotated.key)


@pytest.mark.parametrize("names, oldest_first", [
    (["a.wal", "a.wal.1", "a.wal.2.gz", "a.wal.10.gz"], ["a.wal.10.gz", "a.wal.2.gz", "a.wal.1", "a.wal"]),
    (["a.wal", "a.wal-20260102.gz", "a.wal-20260101.gz", "a.wal.key", "a.wal.checkpoints", "b.wal.1"],
     ["a.wal-20260101.gz", "a.wal-20260102.gz", "a.wal"]),
    (["a.wal.1", "a.wal.2.gz"], ["a.wal.2.gz", "a.wal.1"]),  # the current log not written yet
], ids=["numbered", "dated", "no-current-log"])
def test_rotated_names_and_their_order(tmp_path, names, oldest_first):
    for name in names:
        (tmp_path / name).write_bytes(b"")
    found = rotated_pieces(str(tmp_path / "a.wal"))
    assert found == [str(tmp_path / name) for name in oldest_first]
    check_piece_order(found)
    with pytest.raises(ValueError):
        check_piece_order(found[::-1])


def test_continues_verifies_one_piece_on_its_own(rotated):
    piece = rotated.pieces[2]  # yesterday's piece, audit.wal.1
    code, out, _ = run("--json", "--public-key", rotated.key, piece)
    assert code == 1
    assert {p["kind"] for p in json.loads(out)["problems"]} == {"chain-break"}
    code, out, err = run("--json", "--continues", "--public-key", rotated.key, piece)
    assert code == 0, out + err
    report = json.loads(out)
    # One warning per chain, at its first line; its replay cannot run, which the warning says.
    assert [(w["line"], w["kind"]) for w in report["warnings"] if w["line"]] == [(1, "starts-mid-chain"),
                                                                                (2, "starts-mid-chain")]
    assert report == oxa_verify.verify_log(piece, public_key=rotated.key, continues=True)
    # A later break in the piece stays a problem.
    lines = open(piece, "rb").read().splitlines(keepends=True)
    del lines[3]
    code, out, _ = run("--json", "--continues", "--public-key", rotated.key, "-", stdin=b"".join(lines))
    assert code == 1
    assert [p["kind"] for p in json.loads(out)["problems"]] == ["chain-break"]


def test_compressed_input_is_known_by_its_content(rotated, tmp_path):
    whole = b"".join(rotated.lines)
    unnamed = tmp_path / "yesterday"
    unnamed.write_bytes(gzip.compress(whole))
    for args, stdin in (([str(unnamed)], None), (["-"], gzip.compress(whole))):
        code, out, err = run("--json", "--public-key", rotated.key, *args, stdin=stdin)
        assert code == 0, out + err
        assert json.loads(out)["records"] == len(rotated.lines)


def test_a_compressed_piece_cut_short_is_reported_as_far_as_read(rotated, tmp_path):
    pieces = [tmp_path / os.path.basename(p) for p in rotated.pieces]
    for source, copy in zip(rotated.pieces, pieces):
        shutil.copy(source, copy)
    packed = pieces[1].read_bytes()
    pieces[1].write_bytes(packed[: len(packed) * 2 // 3])
    code, out, err = run("--json", "--public-key", rotated.key, *map(str, pieces))
    assert code == 1, err
    report = json.loads(out)
    assert report["records"] > len(gzip.decompress(pieces[0].read_bytes()).splitlines())
    truncated = [p for p in report["problems"] if p["kind"] == "truncated"]
    assert len(truncated) == 1 and str(pieces[1]) in truncated[0]["message"]
