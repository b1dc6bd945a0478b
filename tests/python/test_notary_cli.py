"""The oxa-notary command line: sub-commands, their help, the key's name as the origin, vkey, and
what follow reports while it runs."""

import base64
import hashlib
import json
import os
import pty
import signal
import subprocess
import threading
import time

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

import tvel_oxa
from conftest import wait_until_follow_started
from oxa_verify import notary_cli
from test_notary import BIN, ORIGIN, capture, checkpoints, complete_lines, mth, open_note, run


@pytest.fixture
def log(tmp_path):
    path = tmp_path / "audit.wal"
    capture(tvel_oxa.OXAEngine(str(path)), 3)
    return path


@pytest.mark.parametrize(
    "command, named",
    [
        ([], ["keygen", "vkey", "seal", "follow", "prove", "--version"]),
        (["keygen"], ["--key", "NAME", "origin"]),
        (["vkey"], ["--key"]),
        (["seal"], ["--key", "--origin", "NAME", "--out", "--recheck", "--json", "LOG"]),
        (["follow"], ["--key", "--origin", "NAME", "--out", "--recheck", "--every", "--seconds", "--json",
                      "SIGTERM", "terminal"]),
        (["prove"], ["--checkpoints", "--out", "standard output", "LINE"]),
    ],
    ids=["command", "keygen", "vkey", "seal", "follow", "prove"],
)
def test_every_sub_command_has_its_own_help(capsys, command, named):
    assert notary_cli.main([*command, "--help"]) == 0
    text = " ".join(capsys.readouterr().out.split())
    for word in named:
        assert word in text


def test_version(capsys):
    assert notary_cli.main(["--version"]) == 0
    assert capsys.readouterr().out.startswith("oxa-notary ")


@pytest.mark.parametrize(
    "args, named",
    [
        (["follow", "--key", "k", "--every", "x", "l"], "--every"),
        (["follow", "--key", "k", "--seconds", "nan", "l"], "--seconds"),
        (["follow", "--key", "k", "--seconds", "-1", "l"], "--seconds"),
        (["prove", "--checkpoints", "c", "l", "0"], "LINE"),
        (["seal", "l"], "--key"),
        (["seal", "--key", "k", "-"], "standard input"),
        ([], "COMMAND"),
    ],
    ids=["every-not-a-number", "seconds-nan", "seconds-negative", "line-zero", "no-key", "stdin", "no-command"],
)
def test_usage_errors_exit_2(capsys, args, named):
    assert notary_cli.main(args) == 2
    err = capsys.readouterr().err
    assert err.startswith(("usage: oxa-notary", "oxa-notary: error:"))
    assert named in err


def test_vkey_prints_the_verifier_key_keygen_printed(notary_key, capsys):
    key, vkey = notary_key
    assert notary_cli.main(["vkey", "--key", str(key)]) == 0
    out = capsys.readouterr()
    assert (out.out, out.err) == (vkey + "\n", "")
    assert notary_cli.main(["vkey", "--key", str(key) + ".missing"]) == 2


def test_the_origin_is_the_keys_name_and_another_is_refused(notary_key, log, capsys):
    key, vkey = notary_key
    refused = run("oxa-notary", "seal", "--key", key, "--origin", "example.com/other", log)
    assert refused.returncode == 2
    assert "example.com/other" in refused.stderr and ORIGIN in refused.stderr
    assert not os.path.exists(f"{log}.checkpoints")

    assert notary_cli.main(["seal", "--key", str(key), str(log)]) == 0
    assert "sealed 3 lines" in capsys.readouterr().out
    origin, size, root = open_note(checkpoints(f"{log}.checkpoints")[0]["note"], vkey).splitlines()
    assert (origin, int(size), base64.b64decode(root)) == (ORIGIN, 3, mth(complete_lines(log)))
    # Naming the key's own name is the same.
    capture(tvel_oxa.OXAEngine(str(log)), 1)
    assert notary_cli.main(["seal", "--json", "--key", str(key), "--origin", ORIGIN, str(log)]) == 0
    outcome = json.loads(capsys.readouterr().out)
    assert (outcome["ok"], outcome["size"], outcome["origin"]) == (True, 4, ORIGIN)


def private_key_text(name: bytes, seed: bytes) -> bytes:
    """A notary private key file's text, made with independent code."""
    public = Ed25519PrivateKey.from_private_bytes(seed).public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)
    key_id = hashlib.sha256(name + b"\n\x01" + public).digest()[:4]
    return b"PRIVATE+KEY+" + name + b"+" + key_id.hex().encode() + b"+" + base64.b64encode(b"\x01" + seed) + b"\n"


def test_a_name_or_origin_that_is_not_utf8_is_refused_before_signing(tmp_path, notary_key, log):
    """Notes are UTF-8: a checkpoint signed for such an origin could never be read back."""
    key, _ = notary_key
    bad = os.fsdecode(b"example.com/\xff")
    assert run("oxa-notary", "keygen", "--key", tmp_path / "bad.key", bad).returncode == 2
    assert not (tmp_path / "bad.key").exists()
    assert run("oxa-notary", "seal", "--key", key, "--origin", bad, log).returncode == 2
    crafted = tmp_path / "crafted.key"
    crafted.write_bytes(private_key_text(b"example.com/\xff", bytes(range(32))))
    crafted.chmod(0o600)
    result = run("oxa-notary", "seal", "--key", crafted, log)
    assert result.returncode == 2 and "crafted.key" in result.stderr
    assert not os.path.exists(f"{log}.checkpoints")
    # The same file with a UTF-8 name is a good key: the refusal is the name's.
    crafted.write_bytes(private_key_text("example.com/ä".encode(), bytes(range(32))))
    assert run("oxa-notary", "seal", "--key", crafted, log).returncode == 0


def start_follow(key, log, *extra, **kwargs):
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.PIPE)
    return subprocess.Popen([str(BIN / "oxa-notary"), "follow", "--key", str(key), "--every", "1", *extra, str(log)],
                            text=True, **kwargs)


def wait_for(condition, seconds=20):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


def sealed_size(log):
    path = f"{log}.checkpoints"
    return checkpoints(path)[-1]["size"] if os.path.exists(path) and os.path.getsize(path) else 0


def test_follow_waits_for_the_log_and_prints_one_json_object_per_checkpoint(tmp_path, notary_key):
    log = tmp_path / "later.wal"
    follower = start_follow(notary_key[0], log, "--json")
    try:
        time.sleep(0.5)
        assert follower.poll() is None, follower.communicate()
        engine = tvel_oxa.OXAEngine(str(log))
        capture(engine, 2)
        wait_for(lambda: sealed_size(log) == 2)
        capture(engine, 3)
        wait_for(lambda: sealed_size(log) == 5)
        follower.send_signal(signal.SIGTERM)
        out, err = follower.communicate(timeout=20)
    finally:
        if follower.poll() is None:
            follower.kill()
            follower.wait()
    assert follower.returncode == 0, err
    objects = [json.loads(line) for line in out.splitlines()]
    events, summary = objects[:-1], objects[-1]
    assert [e["event"] for e in events] == ["checkpoint"] * len(events)
    written = checkpoints(f"{log}.checkpoints")
    assert [e["size"] for e in events] == [c["size"] for c in written]
    assert [e["checkpoints_written"] for e in events] == list(range(1, len(written) + 1))
    assert events[-1]["root"] == base64.b64encode(mth(complete_lines(log))).decode()
    assert "event" not in summary and summary["ok"] and summary["size"] == 5
    assert summary["checkpoints_written"] == len(written)


def test_follow_prints_a_status_line_per_checkpoint_to_a_terminal_and_what_it_sealed_at_sigterm(
        tmp_path, notary_key, log):
    controller, terminal = pty.openpty()
    try:
        follower = start_follow(notary_key[0], log, stderr=terminal)
        os.close(terminal)
        terminal = None
        try:
            wait_for(lambda: sealed_size(log) == 3)
            capture(tvel_oxa.OXAEngine(str(log)), 2)
            wait_for(lambda: sealed_size(log) == 5)
            follower.send_signal(signal.SIGTERM)
            out, _ = follower.communicate(timeout=20)
        finally:
            if follower.poll() is None:
                follower.kill()
                follower.wait()
        status = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the terminal's other end is closed
                break
            if not chunk:
                break
            status += chunk
    finally:
        os.close(controller)
        if terminal is not None:
            os.close(terminal)
    assert follower.returncode == 0
    lines = status.decode().splitlines()
    assert len(lines) == len(checkpoints(f"{log}.checkpoints")) >= 2
    assert all(line.startswith("oxa-notary: checkpoint ") for line in lines)
    assert "5 lines" in lines[-1]
    assert "stopped after" in out and "tree: 5 lines" in out
    # Standard error that is not a terminal gets no status lines.
    capture(tvel_oxa.OXAEngine(str(log)), 1)
    quiet = start_follow(notary_key[0], log)
    try:
        wait_for(lambda: sealed_size(log) == 6)
        quiet.send_signal(signal.SIGTERM)
        _, err = quiet.communicate(timeout=20)
    finally:
        if quiet.poll() is None:
            quiet.kill()
            quiet.wait()
    assert (quiet.returncode, err) == (0, "")


def test_a_stop_signal_during_a_checkpoint_report_leaves_one_report(monkeypatch):
    # The native loop calls a report again when a stop signal interrupted it; a
    # signal that lands just after the line was written must not make it twice.
    written = []

    def write_then_stop(text, stream):
        written.append(text)
        if len(written) == 1:
            signal.pthread_kill(threading.main_thread().ident, signal.SIGTERM)

    monkeypatch.setattr(notary_cli, "_print", write_then_stop)
    report = notary_cli._checkpoint_reporter(as_json=True)
    previous = signal.signal(signal.SIGTERM, notary_cli._stop)
    try:
        with pytest.raises(KeyboardInterrupt):
            report('{"size":3}')
        report('{"size":3}')
    finally:
        signal.signal(signal.SIGTERM, previous)
    assert written == ['{"event":"checkpoint","size":3}\n']


def test_the_checkpoint_written_at_the_stop_is_reported_too(tmp_path, notary_key, log):
    follower = start_follow(notary_key[0], log, "--json", "--every", "1000", "--seconds", "1000")
    try:
        wait_until_follow_started(follower)
        time.sleep(0.5)  # past the first seal of the lines already there
        follower.send_signal(signal.SIGTERM)
        out, err = follower.communicate(timeout=20)
    finally:
        if follower.poll() is None:
            follower.kill()
            follower.wait()
    assert follower.returncode == 0, err
    event, summary = [json.loads(line) for line in out.splitlines()]
    assert (event["event"], event["size"], summary["size"], summary["checkpoints_written"]) == ("checkpoint", 3, 3, 1)
