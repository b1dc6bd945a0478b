"""oxa-notary and the checkpoint and proof checks of oxa-verify, on real logs.

Notes, roots and proofs are checked with independent code (hashlib and
cryptography), not only with the notary's own.
"""

import base64
import hashlib
import json
import os
import signal
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

import tvel_oxa

BIN = Path(sys.executable).parent
ORIGIN = "example.com/triage-audit"


def run(command, *args, timeout=60):
    return subprocess.run([str(BIN / command), *map(str, args)], capture_output=True, text=True, timeout=timeout)


# Independent RFC 6962 tree hashing and signed-note checking.
def mth(leaves):
    if not leaves:
        return hashlib.sha256(b"").digest()
    if len(leaves) == 1:
        return hashlib.sha256(b"\0" + leaves[0]).digest()
    k = 1
    while 2 * k < len(leaves):
        k *= 2
    return hashlib.sha256(b"\1" + mth(leaves[:k]) + mth(leaves[k:])).digest()


def complete_lines(*paths):
    data = b"".join(Path(p).read_bytes() for p in paths)
    return data[: data.rfind(b"\n") + 1].split(b"\n")[:-1]


def parse_vkey(vkey):
    name, key_id, data = vkey.split("+", 2)
    raw = base64.b64decode(data)
    assert raw[0] == 1 and len(raw) == 33
    expected_id = hashlib.sha256(name.encode() + b"\n" + raw).digest()[:4]
    assert bytes.fromhex(key_id) == expected_id
    return name, expected_id, Ed25519PublicKey.from_public_bytes(raw[1:])


def open_note(note, vkey):
    """The signed text of a note, after checking its signature line under vkey."""
    name, key_id, public_key = parse_vkey(vkey)
    text, _, signatures = note.rpartition("\n\n")
    text += "\n"
    for line in signatures.splitlines():
        assert line.startswith("\u2014 ")
        signer, blob = line[2:].split(" ")
        blob = base64.b64decode(blob)
        if signer == name and blob[:4] == key_id:
            public_key.verify(blob[4:], text.encode())
            return text
    raise AssertionError("no signature of the notary key")


def checkpoints(path):
    return [json.loads(line) for line in Path(path).read_text().splitlines()]


def capture(engine, n, tag="x"):
    for i in range(n):
        engine.capture({"user": i, "tag": tag}, f"prompt {tag} {i}", ["looked"], f"output {tag} {i}",
                       tvel_oxa.PPPTriplet("model-a", "eu-west", "triage"),
                       tvel_oxa.HumanDeltaChain(f"ticket-{i}", False, "queue"))


@pytest.fixture
def sealed_log(tmp_path, notary_key):
    """A log of two interleaved engines, sealed after 5, 9 and 12 lines."""
    log = tmp_path / "audit.wal"
    first, second = tvel_oxa.OXAEngine(str(log)), tvel_oxa.OXAEngine(str(log))
    for count in (5, 4, 3):
        capture(first, count - count // 2, "a")
        capture(second, count // 2, "b")
        assert run("oxa-notary", "seal", "--key", notary_key[0], "--origin", ORIGIN, log).returncode == 0
    return log, first.public_key_hex()


def verify(log, vkey, *extra):
    return run("oxa-verify", "--json", *extra, "--checkpoints", f"{log}.checkpoints", "--notary-key", vkey, log)


def stop_follow_at(follower, checkpoint_file, size):
    """Waits (20 s at most) for a checkpoint of `size` lines, then stops the follower with SIGTERM."""
    try:
        deadline = time.monotonic() + 20
        while follower.poll() is None and time.monotonic() < deadline:
            entries = checkpoints(checkpoint_file) if os.path.exists(checkpoint_file) else []
            if entries and entries[-1]["size"] == size:
                break
            time.sleep(0.1)
        follower.send_signal(signal.SIGTERM)
        assert follower.wait(timeout=20) == 0, follower.stderr.read()
    finally:
        if follower.poll() is None:
            follower.kill()
            follower.wait()


def test_keygen_writes_a_private_key_once_and_prints_its_verifier_key(tmp_path, notary_key):
    key, vkey = notary_key
    assert stat.S_IMODE(key.stat().st_mode) == 0o600
    assert vkey.startswith(ORIGIN + "+")
    parse_vkey(vkey)
    before = key.read_bytes()
    again = run("oxa-notary", "keygen", "--key", key, ORIGIN)
    assert again.returncode == 2 and str(key) in again.stderr
    assert key.read_bytes() == before


def test_checkpoint_notes_and_roots_verify_independently(sealed_log, notary_key):
    log, _ = sealed_log
    lines = complete_lines(log)
    entries = checkpoints(f"{log}.checkpoints")
    assert [e["size"] for e in entries] == [5, 9, 12]
    for entry in entries:
        origin, size, root = open_note(entry["note"], notary_key[1]).splitlines()
        assert (origin, int(size)) == (ORIGIN, entry["size"])
        assert base64.b64decode(root) == mth(lines[: entry["size"]])
        assert entry["bytes"] == sum(len(line) + 1 for line in lines[: entry["size"]])
        # The frontier alone gives the signed root.
        frontier = [base64.b64decode(h) for h in entry["frontier"]]
        assert len(frontier) == bin(entry["size"]).count("1")
        folded = frontier[-1]
        for h in reversed(frontier[:-1]):
            folded = hashlib.sha256(b"\1" + h + folded).digest()
        assert folded == base64.b64decode(root)
    # A note altered after signing no longer verifies.
    text, _, signature = entries[0]["note"].rpartition("\n\n")
    with pytest.raises(InvalidSignature):
        open_note(text.replace("\n5\n", "\n6\n") + "\n\n" + signature, notary_key[1])
    result = verify(log, notary_key[1], "--public-key", sealed_log[1])
    assert result.returncode == 0, result.stdout + result.stderr


def change_member(line, member, replace):
    record = json.loads(line)
    old = record[member]
    record[member] = replace(old)
    assert record[member] != old
    return json.dumps(record, ensure_ascii=False, separators=(",", ":")).encode()


# Changes no record hash, signature or chain covers, and keeps the output's
# length so that the replay does not see them either: only the tree does.
@pytest.mark.parametrize(
    "member, replace",
    [
        ("output", lambda s: s.replace("output", "OUTPUT")),
        ("ctx_json", lambda s: s.replace('"user"', '"USER"')),
        ("timestamp", lambda s: s[:2] + ("8" if s[2] != "8" else "7") + s[3:]),
        ("monotonic_nanos", lambda n: n + 1),
    ],
    ids=["output", "ctx_json", "timestamp", "monotonic"],
)
def test_a_changed_sealed_line_is_a_checkpoint_mismatch(sealed_log, notary_key, member, replace):
    log, public_key = sealed_log
    lines = log.read_bytes().split(b"\n")
    lines[6] = change_member(lines[6], member, replace)
    log.write_bytes(b"\n".join(lines))
    plain = run("oxa-verify", "--public-key", public_key, log)
    assert plain.returncode == 0, "the record's own seal does not cover this member"
    result = verify(log, notary_key[1], "--public-key", public_key)
    assert result.returncode == 1
    report = json.loads(result.stdout)
    assert report["problems"][0]["kind"] == "checkpoint-mismatch"
    assert report["problems"][0]["line"] == 6  # lines 6 to 9: the checkpoint of size 5 holds


@pytest.mark.parametrize(
    "cut, kind",
    [(1, "truncated"), (4, "truncated"), (0, None)],
    ids=["last-line", "last-four", "nothing"],
)
def test_a_cut_tail_is_found_without_an_anchor(sealed_log, notary_key, cut, kind):
    log, public_key = sealed_log
    lines = complete_lines(log)
    log.write_bytes(b"".join(line + b"\n" for line in lines[: len(lines) - cut]))
    result = verify(log, notary_key[1], "--public-key", public_key)
    report = json.loads(result.stdout)
    assert [p["kind"] for p in report["problems"]] == ([kind] if kind else [])
    assert result.returncode == (1 if kind else 0)


def test_unsealed_tail_is_a_warning_unless_sealing_is_required(sealed_log, notary_key):
    log, public_key = sealed_log
    capture(tvel_oxa.OXAEngine(str(log)), 2, "late")
    report = json.loads(verify(log, notary_key[1], "--public-key", public_key).stdout)
    assert [(w["kind"], w["line"]) for w in report["warnings"] if w["kind"] == "unsealed-tail"] == [("unsealed-tail", 13)]
    required = verify(log, notary_key[1], "--public-key", public_key, "--require-sealed")
    assert required.returncode == 1
    assert [p["kind"] for p in json.loads(required.stdout)["problems"]] == ["unsealed-tail"]


def test_bad_checkpoints_and_unusable_keys(sealed_log, notary_key, tmp_path):
    log, public_key = sealed_log
    other = run("oxa-notary", "keygen", "--key", tmp_path / "other.key", ORIGIN).stdout.strip()
    report = json.loads(verify(log, other, "--public-key", public_key).stdout)
    # The likely cause leads; each checkpoint's own finding follows.
    assert [p["kind"] for p in report["problems"]] == ["wrong-key"] + ["bad-checkpoint"] * 3
    assert run("oxa-verify", "--checkpoints", f"{log}.checkpoints", "--notary-key", "junk", log).returncode == 2
    assert run("oxa-verify", "--checkpoints", tmp_path / "missing", "--notary-key", notary_key[1], log).returncode == 2


def test_a_notary_refuses_to_seal_a_rewritten_history(sealed_log, notary_key):
    log, _ = sealed_log
    key = notary_key[0]
    checkpoint_file = Path(f"{log}.checkpoints")
    before = checkpoint_file.read_bytes()
    lines = log.read_bytes().split(b"\n")
    lines[2] = change_member(lines[2], "output", lambda s: s.upper())
    log.write_bytes(b"\n".join(lines))
    capture(tvel_oxa.OXAEngine(str(log)), 2, "more")
    result = run("oxa-notary", "seal", "--recheck", "--key", key, "--origin", ORIGIN, log)
    assert result.returncode == 1
    assert "size 5 (line 1 of" in result.stderr
    assert checkpoint_file.read_bytes() == before
    # A log that lost its sealed end is refused even without --recheck.
    log.write_bytes(b"\n".join(lines[:3]) + b"\n")
    assert run("oxa-notary", "seal", "--key", key, "--origin", ORIGIN, log).returncode == 1
    assert checkpoint_file.read_bytes() == before


def test_seal_and_follow_continue_after_older_pieces_were_deleted(tmp_path, notary_key):
    """Rotated pieces are deleted in time: a seal or a follow given only the newer ones continues
    from the checkpoint they start at, and signs the root of every line of the log."""
    log, rotated, checkpoint_file = tmp_path / "audit.wal", tmp_path / "audit.wal.1", tmp_path / "audit.checkpoints"

    def seal(*pieces):
        return run("oxa-notary", "seal", "--key", notary_key[0], "--origin", ORIGIN, "--out", checkpoint_file, *pieces)

    engine = tvel_oxa.OXAEngine(str(log))
    capture(engine, 4, "first")
    assert seal(log).returncode == 0
    os.rename(log, rotated)
    capture(engine, 3, "second")
    assert seal(rotated, log).returncode == 0
    every_line = complete_lines(rotated, log)
    rotated.unlink()
    capture(engine, 2, "third")
    every_line += complete_lines(log)[3:]
    result = seal(log)
    assert result.returncode == 0, result.stderr
    last = checkpoints(checkpoint_file)[-1]
    _, size, root = open_note(last["note"], notary_key[1]).splitlines()
    assert int(size) == len(every_line) == 9 and base64.b64decode(root) == mth(every_line)
    assert last["bytes"] == sum(len(line) + 1 for line in every_line)
    result = run("oxa-verify", "--public-key", engine.public_key_hex(), "--checkpoints", checkpoint_file,
                 "--notary-key", notary_key[1], "--require-sealed", log)
    assert result.returncode == 0, result.stdout
    # A follow restarted on the live file alone goes on from there too.
    capture(engine, 2, "fourth")
    every_line += complete_lines(log)[5:]
    follower = subprocess.Popen(
        [str(BIN / "oxa-notary"), "follow", "--key", notary_key[0], "--origin", ORIGIN, "--out", checkpoint_file,
         "--every", "1", log], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    stop_follow_at(follower, checkpoint_file, len(every_line))
    _, size, root = open_note(checkpoints(checkpoint_file)[-1]["note"], notary_key[1]).splitlines()
    assert int(size) == len(every_line) == 11 and base64.b64decode(root) == mth(every_line)


def test_follow_seals_a_log_of_several_engines_and_processes_across_a_rotation(tmp_path, notary_key):
    log = tmp_path / "audit.wal"
    engine = tvel_oxa.OXAEngine(str(log))
    capture(engine, 3, "before")
    follower = subprocess.Popen(
        [str(BIN / "oxa-notary"), "follow", "--key", notary_key[0], "--origin", ORIGIN,
         "--out", tmp_path / "audit.checkpoints", "--every", "4", "--seconds", "0.2", log],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        script = (
            "import sys, tvel_oxa\n"
            "e = tvel_oxa.OXAEngine(sys.argv[1])\n"
            "for i in range(5): e.capture({}, f'child {i}', [], 'o', tvel_oxa.PPPTriplet('m', 'p', 'q'),"
            " tvel_oxa.HumanDeltaChain('t', False, 'n'))\n"
        )
        second = tvel_oxa.OXAEngine(str(log))
        child = subprocess.Popen([sys.executable, "-c", script, str(log)])
        capture(engine, 4, "main")
        capture(second, 3, "second")
        assert child.wait(timeout=60) == 0
        time.sleep(0.5)
        os.rename(log, tmp_path / "audit.wal.1")
        # The engines take turns: a record that extends no open root after a chain has
        # ended could be that chain's next record after a deleted one.
        capture(engine, 3, "after")
        capture(second, 2, "after2")
        capture(engine, 3, "after3")
        lines = complete_lines(tmp_path / "audit.wal.1", log)
        stop_follow_at(follower, tmp_path / "audit.checkpoints", len(lines))
    finally:
        if follower.poll() is None:
            follower.kill()
            follower.wait()
    entries = checkpoints(tmp_path / "audit.checkpoints")
    assert entries[-1]["size"] == len(lines) == 23
    # The rotated file was read to its end and sealed before the new one.
    rotated = len(complete_lines(tmp_path / "audit.wal.1"))
    assert rotated in [e["size"] for e in entries]
    for entry in entries:
        _, size, root = open_note(entry["note"], notary_key[1]).splitlines()
        assert base64.b64decode(root) == mth(lines[: int(size)])
    pieces = [tmp_path / "audit.wal.1", log]
    result = run("oxa-verify", "--json", "--public-key", engine.public_key_hex(), "--checkpoints",
                 tmp_path / "audit.checkpoints", "--notary-key", notary_key[1], "--require-sealed", *pieces)
    assert result.returncode == 0, result.stdout + result.stderr
    # With the older piece deleted, the newer one continues the rotation
    # checkpoint's frontier; the chains continuing from before it are warnings.
    alone = run("oxa-verify", "--json", "--public-key", engine.public_key_hex(), "--checkpoints",
                tmp_path / "audit.checkpoints", "--notary-key", notary_key[1], "--require-sealed", log)
    assert alone.returncode == 0, alone.stdout + alone.stderr
    report = json.loads(alone.stdout)
    assert {w["kind"] for w in report["warnings"]} == {"starts-mid-chain"}
    # Without the checkpoints, the same piece has no proof of where it starts.
    assert run("oxa-verify", "--public-key", engine.public_key_hex(), log).returncode == 1
    # A record of the newer piece alone can still be proved.
    proof = tmp_path / "record.tlog-proof"
    made = run("oxa-notary", "prove", "--checkpoints", tmp_path / "audit.checkpoints", "--out", proof, log, 2)
    assert made.returncode == 0, made.stderr
    assert parse_proof(proof.read_text())[0] == complete_lines(log)[1]
    checked = run("oxa-verify", "--json", "--proof", proof, "--notary-key", notary_key[1],
                  "--public-key", engine.public_key_hex())
    assert checked.returncode == 0, checked.stdout
    assert json.loads(checked.stdout)["line"] == rotated + 2


def parse_proof(text):
    head, _, checkpoint = text.partition("\n\n")
    lines = head.split("\n")
    assert lines[0] == "c2sp.org/tlog-proof@v1"
    assert lines[1].startswith("extra ") and lines[2].startswith("index ")
    return base64.b64decode(lines[1][6:]), int(lines[2][6:]), [base64.b64decode(h) for h in lines[3:]], checkpoint


@pytest.mark.parametrize("line", [1, 6, 12])
def test_a_proof_of_one_record_verifies_alone_and_fails_after_any_change(sealed_log, notary_key, tmp_path, line):
    log, public_key = sealed_log
    proof = tmp_path / "record.tlog-proof"
    made = run("oxa-notary", "prove", "--checkpoints", f"{log}.checkpoints", "--out", proof, log, line)
    assert made.returncode == 0, made.stderr
    record, index, path, checkpoint = parse_proof(proof.read_text())
    assert record == complete_lines(log)[line - 1] and index == line - 1
    _, size, root = open_note(checkpoint, notary_key[1]).splitlines()
    # The inclusion path, checked by recomputing the root from the leaf up.
    lines = complete_lines(log)[: int(size)]
    lines[index] = record
    assert mth(lines) == base64.b64decode(root)
    result = run("oxa-verify", "--proof", proof, "--notary-key", notary_key[1], "--public-key", public_key)
    assert result.returncode == 0, result.stdout + result.stderr

    text = proof.read_text()
    head, _, rest = text.partition("\n")
    extra_line, _, tail = rest.partition("\n")
    for position in range(0, len(record), max(1, len(record) // 9)):
        changed = bytearray(record)
        changed[position] ^= 0x01
        proof.write_text(head + "\nextra " + base64.b64encode(bytes(changed)).decode() + "\n" + tail)
        result = run("oxa-verify", "--json", "--proof", proof, "--notary-key", notary_key[1], "--public-key", public_key)
        assert result.returncode == 1, position
        assert "inclusion-mismatch" in [p["kind"] for p in json.loads(result.stdout)["problems"]]


def test_a_proof_with_another_path_or_checkpoint_fails(sealed_log, notary_key, tmp_path):
    log, public_key = sealed_log
    proof = tmp_path / "record.tlog-proof"
    assert run("oxa-notary", "prove", "--checkpoints", f"{log}.checkpoints", "--out", proof, log, 3).returncode == 0
    text = proof.read_text()
    lines = text.split("\n")
    flipped = bytearray(base64.b64decode(lines[3]))
    flipped[0] ^= 1
    other_path = "\n".join(lines[:3] + [base64.b64encode(bytes(flipped)).decode()] + lines[4:])
    other_size = text.replace(f"\n{ORIGIN}\n12\n", f"\n{ORIGIN}\n13\n")
    for changed, kind in [(other_path, "inclusion-mismatch"), (other_size, "bad-checkpoint")]:
        proof.write_text(changed)
        result = run("oxa-verify", "--json", "--proof", proof, "--notary-key", notary_key[1])
        assert result.returncode == 1
        assert [p["kind"] for p in json.loads(result.stdout)["problems"]] == [kind]


@pytest.mark.parametrize("extra", [["--public-key", ""], ["--anchor", "00" * 32]], ids=["empty-public-key", "anchor"])
def test_a_proof_check_refuses_what_it_cannot_check(sealed_log, notary_key, tmp_path, extra):
    """An empty key (an unset shell variable) must not quietly skip the record's own check, nor
    an anchor, which one record cannot answer for, be ignored."""
    log, _ = sealed_log
    proof = tmp_path / "record.tlog-proof"
    assert run("oxa-notary", "prove", "--checkpoints", f"{log}.checkpoints", "--out", proof, log, 3).returncode == 0
    result = run("oxa-verify", "--proof", proof, "--notary-key", notary_key[1], *extra)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith("oxa-verify: ")


def test_checkpoints_of_a_log_in_a_pipe_are_refused(sealed_log, notary_key, tmp_path):
    """The checkpoint check reads the log a second time beside the verification: two readers of
    one pipe would each get part of it, and an intact log would be reported damaged."""
    log, public_key = sealed_log
    fifo = tmp_path / "audit.fifo"
    os.mkfifo(fifo)
    verifier = subprocess.Popen(
        [str(BIN / "oxa-verify"), "--public-key", public_key, "--checkpoints", f"{log}.checkpoints",
         "--notary-key", notary_key[1], str(fifo)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 30
        while verifier.poll() is None and time.monotonic() < deadline:
            try:  # the log, to any reader that opened the pipe
                fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:
                time.sleep(0.05)
                continue
            os.set_blocking(fd, True)
            try:
                with open(fd, "wb") as pipe:
                    pipe.write(log.read_bytes())
            except BrokenPipeError:
                pass
    finally:
        if verifier.poll() is None:
            verifier.kill()
        out, err = verifier.communicate(timeout=20)
    assert (verifier.returncode, out) == (2, "")
    assert "cannot be read twice" in err


@pytest.mark.parametrize(
    "args, named",
    [
        (["seal", "--key", "{key}", "--origin", ORIGIN, "{dir}/missing.wal"], "missing.wal"),
        (["seal", "--key", "{dir}/missing.key", "--origin", ORIGIN, "{log}"], "missing.key"),
        (["seal", "--key", "{key}", "--origin", "example.com/other", "{log}"], "is not the name of the key"),
        (["follow", "--key", "{key}", "--origin", ORIGIN, "--every", "0", "{log}"], "--every"),
        (["prove", "--checkpoints", "{log}.checkpoints", "{log}", "99"], "no checkpoint covers line 99"),
        (["rewrite", "{log}"], "invalid choice: 'rewrite'"),
        (["seal", "--key", "{key}", "--origin", ORIGIN, "--out", "{log}", "{log}"], "is also an input"),
        (["prove", "--checkpoints", "{log}.checkpoints", "--out", "{log}", "{log}", "1"], "is also an input"),
        (["prove", "--checkpoints", "{log}.checkpoints", "--out", "{dir}/missing/p", "{log}", "1"],
         "No such file or directory"),
    ],
    ids=["missing-log", "missing-key", "origin-not-the-key-name", "zero-every", "line-not-sealed", "unknown-command",
         "seal-into-the-log", "proof-over-the-log", "proof-into-a-missing-directory"],
)
def test_usage_errors_and_unreadable_input_exit_2_naming_what_is_wrong(sealed_log, notary_key, args, named):
    log, _ = sealed_log
    before = log.read_bytes()
    fill = {"key": str(notary_key[0]), "dir": str(log.parent), "log": str(log)}
    result = run("oxa-notary", *[a.format(**fill) for a in args])
    assert result.returncode == 2
    assert named in result.stderr
    assert log.read_bytes() == before


def test_nothing_is_written_but_the_checkpoint_file_and_the_proof(sealed_log, notary_key, tmp_path):
    log, public_key = sealed_log
    capture(tvel_oxa.OXAEngine(str(log)), 2, "late")
    # The tree's tiles live in their own directory beside the checkpoint file.
    assert [p.name for p in tmp_path.iterdir() if p.is_dir()] == ["audit.wal.tiles"]
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    checkpoint_file = f"{log}.checkpoints"
    assert run("oxa-notary", "seal", "--key", notary_key[0], "--origin", ORIGIN, log).returncode == 0
    assert run("oxa-notary", "prove", "--checkpoints", checkpoint_file, "--out", tmp_path / "p", log, 2).returncode == 0
    assert verify(log, notary_key[1], "--public-key", public_key).returncode == 0
    assert [p.name for p in tmp_path.iterdir() if p.is_dir()] == ["audit.wal.tiles"]
    after = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    assert set(after) == set(before) | {"p"}
    changed = {name for name in before if after[name] != before[name]}
    assert changed == {"audit.wal.checkpoints"}
    assert after["audit.wal.checkpoints"].startswith(before["audit.wal.checkpoints"])


# Runs a command from a small interpreter, not from the test's large one: a
# child's peak resident size counts what its parent held when it forked.
_PEAK_OF_CHILD = """
import os, sys
pid = os.fork()
if pid == 0:
    os.execv(sys.argv[2], sys.argv[2:])
_, status, usage = os.wait4(pid, 0)
with open(sys.argv[1], "w") as out:
    out.write(str(usage.ru_maxrss))
sys.exit(os.waitstatus_to_exitcode(status))
"""


def run_measured(tmp_path, command, *args):
    """Runs an installed command as run() does; its result and its peak resident size in KiB."""
    figure = tmp_path / "peak"
    result = subprocess.run([sys.executable, "-c", _PEAK_OF_CHILD, str(figure), str(BIN / command),
                             *map(str, args)], capture_output=True, text=True, timeout=120)
    return result, int(figure.read_text())


def test_a_line_over_the_limit_is_sealed_and_checked_without_being_held(tmp_path, notary_key):
    log = tmp_path / "audit.wal"
    engine = tvel_oxa.OXAEngine(str(log))
    capture(engine, 3)
    small = tmp_path / "small.wal"
    small.write_bytes(log.read_bytes())
    line_size = 16 << 20
    with open(log, "ab") as out:
        out.write(b'{"padding":"' + b"p" * (line_size - 15) + b'"}\n')
    capture(engine, 2)
    sealed, seal_peak = run_measured(tmp_path, "oxa-notary", "seal", "--max-line-bytes", 65536, "--key",
                                     notary_key[0], "--origin", ORIGIN, log)
    assert sealed.returncode == 0, sealed.stderr
    # Independently: the signed root is that of the log's six lines.
    _, size, root = open_note(checkpoints(f"{log}.checkpoints")[-1]["note"], notary_key[1]).splitlines()
    assert int(size) == 6 and base64.b64decode(root) == mth(complete_lines(log))

    held = verify(log, notary_key[1])
    limited, check_peak = run_measured(tmp_path, "oxa-verify", "--json", "--max-line-bytes", 65536,
                                       "--checkpoints", f"{log}.checkpoints", "--notary-key", notary_key[1], log)
    assert limited.returncode == held.returncode == 1, limited.stderr
    limited, whole = json.loads(limited.stdout), json.loads(held.stdout)
    # Not a record either way (only the reason differs); the checkpoint covers it.
    assert [p["line"] for p in limited["problems"]] == [p["line"] for p in whole["problems"]] == [4]
    assert limited["problems"][0]["kind"] == whole["problems"][0]["kind"] == "malformed"
    # The report page shows the line's text only when it could be read whole.
    assert [(p["line"], p["cut"]) for p in limited["statistics"].pop("problem_lines")] == [(4, True)]
    for report in (limited, whole):
        del report["problems"][0]["message"]
        report["statistics"].pop("problem_lines", None)
    assert limited == whole
    assert limited["checkpoints"]["sealed_lines"] == 6

    # The same commands over the log without the long line give the
    # baselines; holding the line would add its size (and more, as the
    # buffer doubles).
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("resident size is not comparable under a sanitizer runtime")
    _, seal_baseline = run_measured(tmp_path, "oxa-notary", "seal", "--max-line-bytes", 65536, "--key",
                                    notary_key[0], "--origin", ORIGIN, small)
    _, check_baseline = run_measured(tmp_path, "oxa-verify", "--json", "--max-line-bytes", 65536,
                                     "--checkpoints", f"{log}.checkpoints", "--notary-key", notary_key[1], small)
    for peak, baseline in ((seal_peak, seal_baseline), (check_peak, check_baseline)):
        assert (peak - baseline) * 1024 < line_size // 4, (peak, baseline)
