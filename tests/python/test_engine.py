"""Engine construction, the signing key file and public_key_hex."""
import os
import re
import stat
import subprocess
import sys
import textwrap
import time

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

import tvel_oxa
from conftest import panic_message

HEX64 = re.compile(r"^[0-9a-f]{64}$")


def public_hex_of_seed(seed: bytes) -> str:
    key = Ed25519PrivateKey.from_private_bytes(seed).public_key()
    return key.public_bytes(Encoding.Raw, PublicFormat.Raw).hex()


def test_engine_on_a_path_creates_log_and_owner_only_key(tmp_path):
    old_umask = os.umask(0)
    try:
        engine = tvel_oxa.OXAEngine(str(tmp_path / "x.wal"))
    finally:
        os.umask(old_umask)
    log, key = tmp_path / "x.wal", tmp_path / "x.wal.key"
    assert log.read_bytes() == b""
    assert stat.S_IMODE(log.stat().st_mode) == 0o640  # it will hold prompts: not for others
    assert stat.S_IMODE(key.stat().st_mode) == 0o600
    seed = key.read_bytes()
    assert len(seed) == 32
    assert HEX64.match(engine.public_key_hex())
    assert engine.public_key_hex() == public_hex_of_seed(seed)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["x.wal", "x.wal.key"]


def test_existing_key_is_reused_and_left_untouched(tmp_path):
    path = str(tmp_path / "audit.wal")
    first = tvel_oxa.OXAEngine(path).public_key_hex()
    key = tmp_path / "audit.wal.key"
    before = (key.read_bytes(), key.stat().st_mtime_ns)
    assert tvel_oxa.OXAEngine(path).public_key_hex() == first
    assert (key.read_bytes(), key.stat().st_mtime_ns) == before


def test_any_32_bytes_are_a_key_and_removal_gives_a_new_one(tmp_path):
    path = str(tmp_path / "audit")
    key = tmp_path / "audit.key"
    key.write_bytes(bytes(range(32)))
    key.chmod(0o600)
    assert tvel_oxa.OXAEngine(path).public_key_hex() == public_hex_of_seed(bytes(range(32)))
    key.unlink()
    fresh = tvel_oxa.OXAEngine(path).public_key_hex()
    assert fresh != public_hex_of_seed(bytes(range(32)))
    assert fresh == public_hex_of_seed(key.read_bytes())


def test_memory_engines_use_no_files_and_fresh_keys(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    keys = {tvel_oxa.OXAEngine(":memory:").public_key_hex() for _ in range(3)}
    assert len(keys) == 3
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("name", [":MEMORY:", " :memory:", ":memory: "])
def test_near_memory_names_are_ordinary_paths(tmp_path, monkeypatch, name):
    monkeypatch.chdir(tmp_path)
    tvel_oxa.OXAEngine(name)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([name, name + ".key"])


def test_empty_path_keeps_its_key_in_dot_key(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    engine = tvel_oxa.OXAEngine("")
    assert [p.name for p in tmp_path.iterdir()] == [".key"]
    assert engine.public_key_hex() == public_hex_of_seed((tmp_path / ".key").read_bytes())


def test_public_key_is_stable_across_captures(memory_engine, capture_args):
    before = memory_engine.public_key_hex()
    for _ in range(3):
        memory_engine.capture(**capture_args)
    assert memory_engine.public_key_hex() == before


KEY_FAILURES = [
    ("key-is-directory", lambda d: (d / "a.wal.key").mkdir(), "a.wal",
     'Failed to read signing key: Os { code: 21, kind: IsADirectory, message: "Is a directory" }'),
    ("missing-directory", lambda d: None, "missing/a.wal",
     'Failed to write signing key: Os { code: 2, kind: NotFound, message: "No such file or directory" }'),
    ("nul-in-path", lambda d: None, "a\x00b.wal",
     'Failed to write signing key: Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'),
    ("empty-key", lambda d: (d / "a.wal.key").write_bytes(b""), "a.wal",
     "Invalid key length: expected 32 bytes, found 0"),
    ("short-key", lambda d: (d / "a.wal.key").write_bytes(b"k" * 31), "a.wal",
     "Invalid key length: expected 32 bytes, found 31"),
    ("key-plus-newline", lambda d: (d / "a.wal.key").write_bytes(b"k" * 32 + b"\n"), "a.wal",
     "Invalid key length: expected 32 bytes, found 33"),
]


@pytest.mark.parametrize("prepare, name, message", [c[1:] for c in KEY_FAILURES], ids=[c[0] for c in KEY_FAILURES])
def test_key_file_failures(tmp_path, prepare, name, message, capfd):
    prepare(tmp_path)
    key = tmp_path / (name + ".key")
    before = key.read_bytes() if key.is_file() else None
    assert panic_message(lambda: tvel_oxa.OXAEngine(str(tmp_path / name))) == message
    assert message in capfd.readouterr().err
    if before is not None:
        assert key.read_bytes() == before  # never repaired or replaced
    if "\x00" not in name and (tmp_path / name).parent.exists():
        assert (tmp_path / name).exists()  # the touched log stays


def test_dangling_symlink_at_key_path_is_not_written_through(tmp_path):
    target = tmp_path / "elsewhere"
    os.symlink(target, tmp_path / "a.wal.key")
    message = panic_message(lambda: tvel_oxa.OXAEngine(str(tmp_path / "a.wal")))
    assert message == 'Failed to write signing key: Os { code: 17, kind: AlreadyExists, message: "File exists" }'
    assert not target.exists()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.wal", "a.wal.key"]


def test_racing_processes_agree_on_one_key(tmp_path):
    path = tmp_path / "shared.wal"
    go = tmp_path / "go"
    script = textwrap.dedent(f"""
        import os, time, tvel_oxa
        while not os.path.exists({str(go)!r}):
            time.sleep(0.0005)
        print(tvel_oxa.OXAEngine({str(path)!r}).public_key_hex())
    """)
    workers = [subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True) for _ in range(8)]
    time.sleep(0.5)
    go.touch()
    keys = {w.communicate(timeout=60)[0].strip() for w in workers}
    assert all(w.returncode == 0 for w in workers)
    assert keys == {public_hex_of_seed((tmp_path / "shared.wal.key").read_bytes())}
    assert sorted(p.name for p in tmp_path.iterdir()) == ["go", "shared.wal", "shared.wal.key"]
