"""What an auditor reads in oxa-verify's report: what the checkpoints proved, one clear finding for a
wrong key, what a seal alone cannot show, and the same report from the command and from Python."""
import json
import subprocess
import sys
from pathlib import Path

import pytest

import oxa_verify
import tvel_oxa
from oxa_verify.cli import main
from test_verify_faults import ORIGIN, capture, notary
from test_verify_log import run

BIN = Path(sys.executable).parent


@pytest.fixture
def sealed(tmp_path, notary_key):  # noqa: F811 (the imported fixture)
    """Two engines, 12 lines in two checkpoints, then 3 lines not sealed yet."""
    log = tmp_path / "audit.wal"
    engines = [tvel_oxa.OXAEngine(str(log)), tvel_oxa.OXAEngine(str(log))]
    for start in (0, 7):
        capture(engines, 7 if start == 0 else 5, start)
        notary("seal", "--key", notary_key[0], "--origin", ORIGIN, log)
    capture(engines, 3, 12)
    return log, engines[0].public_key_hex(), notary_key[1]


def with_checkpoints(log, vkey, *extra):
    return ["--checkpoints", f"{log}.checkpoints", "--notary-key", vkey, *extra, str(log)]


def test_the_report_says_what_the_checkpoints_proved(sealed):
    log, key, vkey = sealed
    code, out, err = run("--json", "--public-key", key, *with_checkpoints(log, vkey))
    assert code == 0, out + err
    report = json.loads(out)
    assert report["checkpoints"] == {"origin": ORIGIN, "count": 2, "sealed_lines": 12, "unsealed_lines": 3,
                                     "last_size": 12}
    assert "hash-only" not in [w["kind"] for w in report["warnings"]]
    plain = run("--public-key", key, *with_checkpoints(log, vkey))[1]
    assert f"2 checkpoints of {ORIGIN} verified, covering 12 lines (3 after them not sealed)\n" in plain
    assert report == oxa_verify.verify_log(log, public_key=key, checkpoints=f"{log}.checkpoints", notary_key=vkey)
    required = oxa_verify.verify_log(log, public_key=key, checkpoints=f"{log}.checkpoints", notary_key=vkey,
                                     require_sealed=True)
    assert [p["kind"] for p in required["problems"]] == ["unsealed-tail"]


def test_without_checkpoints_one_warning_says_what_was_not_checked(sealed):
    log, key, _ = sealed
    report = oxa_verify.verify_log(log, public_key=key)
    assert report["ok"] and report["checkpoints"] is None
    [hash_only] = [w for w in report["warnings"] if w["kind"] == "hash-only"]
    for words in ("provenance, place, purpose and prompt", "without separators", "whole chain removed",
                  "new id", "oxa-notary"):
        assert words in hash_only["message"]


def test_a_wrong_public_key_leads_with_one_clear_problem(sealed, tmp_path):
    log, _, _ = sealed
    other = tvel_oxa.OXAEngine(str(tmp_path / "other.wal")).public_key_hex()
    report = oxa_verify.verify_log(log, public_key=other)
    problems = [(p["line"], p["kind"]) for p in report["problems"]]
    assert problems[0] == (0, "wrong-key")
    assert report["problems"][0]["message"] == "no record verifies under this public key: is it the right key?"
    assert problems[1:] == [(n, "bad-signature") for n in range(1, 16)]
    plain = run("--public-key", other, str(log))[1]
    first = plain.split("problems, first bad line first:\n")[1].splitlines()[0]
    assert first == "  wrong-key: no record verifies under this public key: is it the right key?"


def test_a_wrong_notary_key_leads_with_one_clear_problem(sealed, tmp_path):
    log, key, _ = sealed
    other = notary("keygen", "--key", tmp_path / "other.key", ORIGIN).strip()
    report = oxa_verify.verify_log(log, public_key=key, checkpoints=f"{log}.checkpoints", notary_key=other)
    assert [p["kind"] for p in report["problems"]] == ["wrong-key", "bad-checkpoint", "bad-checkpoint"]
    assert report["problems"][0]["message"] == "no checkpoint verifies under this notary key: is it the right key?"


def test_one_foreign_record_is_that_record_s_problem_alone(sealed, tmp_path):
    log, key, _ = sealed
    foreign = tmp_path / "other.wal"
    tvel_oxa.OXAEngine(str(foreign)).capture(None, "x", [], "y", tvel_oxa.PPPTriplet("a", "b", "c"),
                                            tvel_oxa.HumanDeltaChain("r", False, "q"))
    mixed = tmp_path / "mixed.wal"
    mixed.write_bytes(log.read_bytes() + foreign.read_bytes())
    report = oxa_verify.verify_log(mixed, public_key=key)
    assert [(p["line"], p["kind"]) for p in report["problems"]] == [(16, "bad-signature")]


def test_verify_proof_returns_the_command_report(sealed, tmp_path):
    log, key, vkey = sealed
    proof = tmp_path / "record.tlog-proof"
    notary("prove", "--checkpoints", f"{log}.checkpoints", "--out", proof, log, 4)
    code, out, err = run("--json", "--proof", str(proof), "--notary-key", vkey, "--public-key", key)
    assert code == 0, out + err
    report = oxa_verify.verify_proof(proof, public_key=key, notary_key=vkey)
    assert report == json.loads(out)
    assert report["ok"] and report["line"] == 4 and report["record_checked"] and report["origin"] == ORIGIN
    with pytest.raises(ValueError):
        oxa_verify.verify_proof(proof)
    with pytest.raises(OSError):
        oxa_verify.verify_proof(tmp_path / "missing", notary_key=vkey)


def test_help_describes_every_option_and_version_prints(capsys):
    assert main(["--help"]) == 0
    text = capsys.readouterr().out
    for option in ("--public-key", "--anchor", "--json", "--jobs", "--rotated", "--continues", "--checkpoints",
                   "--notary-key", "--require-sealed", "--proof", "--version"):
        assert option in text
    assert main(["--version"]) == 0
    assert capsys.readouterr().out.startswith("oxa-verify ")


@pytest.mark.parametrize("args, words", [
    (["--jobs", "two", "x.wal"], "--jobs"),
    (["--proof", "p", "x.wal"], "give no LOG"),
    (["--proof", "p", "--continues"], "--proof goes without --continues"),
    (["--rotated", "a.wal", "b.wal"], "rotated"),
    (["--unknown", "x.wal"], "--unknown"),
], ids=["jobs-not-a-number", "proof-with-log", "proof-with-continues", "rotated-two-logs", "unknown-option"])
def test_usage_errors_exit_2_naming_the_fault(args, words):
    result = subprocess.run([str(BIN / "oxa-verify"), *args], capture_output=True, text=True, timeout=60)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.startswith("oxa-verify: ") and words in result.stderr
