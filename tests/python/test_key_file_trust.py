"""A key file that someone else could have planted or replaced is refused; one that others can read is warned about."""
import os
import warnings

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

import tvel_oxa
from conftest import panic_message

SEED = bytes(range(100, 132))
PUBLIC_HEX = Ed25519PrivateKey.from_private_bytes(SEED).public_key().public_bytes(
    Encoding.Raw, PublicFormat.Raw).hex()
AS_ROOT = os.geteuid() == 0


def write_key(path, mode=0o600, owner=None):
    path.write_bytes(SEED)
    os.chmod(path, mode)
    if owner is not None:
        os.chown(path, owner, owner)


def engine_failure(log):
    return panic_message(lambda: tvel_oxa.OXAEngine(str(log)))


REFUSED = [
    pytest.param(lambda key: write_key(key, 0o620), "has mode 0620, writable by group or others",
                 id="group-writable"),
    pytest.param(lambda key: write_key(key, 0o602), "has mode 0602, writable by group or others",
                 id="other-writable"),
    pytest.param(lambda key: write_key(key, 0o666), "has mode 0666, writable by group or others",
                 id="world-writable"),
    pytest.param(lambda key: write_key(key, owner=4321), "is owned by uid 4321, neither this process's user",
                 id="owned-by-another-user",
                 marks=pytest.mark.skipif(not AS_ROOT, reason="giving a file away needs root")),
    pytest.param(os.mkfifo, "is not a regular file (a FIFO)", id="fifo"),
    pytest.param(lambda key: os.symlink("/dev/zero", key), "is not a regular file (a character device)",
                 id="character-device"),
]


@pytest.mark.parametrize("plant, reason", REFUSED)
def test_untrustworthy_key_file_is_refused(tmp_path, capfd, plant, reason):
    log, key = tmp_path / "audit.wal", tmp_path / "audit.wal.key"
    plant(key)
    message = engine_failure(log)
    assert message.startswith(f"Failed to read signing key: '{key}' {reason}")
    assert message in capfd.readouterr().err
    # The message never shows key material, in any spelling.
    assert SEED.hex() not in message and SEED.decode("latin-1") not in message
    assert str(list(SEED)[:4])[1:-1] not in message
    if key.is_file() and not key.is_symlink():
        assert key.read_bytes() == SEED  # left as it was


def test_symlink_to_a_good_key_is_followed(tmp_path):
    good = tmp_path / "keys" / "real.key"
    good.parent.mkdir()
    write_key(good)
    os.symlink(good, tmp_path / "audit.wal.key")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert tvel_oxa.OXAEngine(str(tmp_path / "audit.wal")).public_key_hex() == PUBLIC_HEX


def test_symlink_to_a_writable_key_is_judged_by_its_target(tmp_path):
    bad = tmp_path / "real.key"
    write_key(bad, 0o622)
    os.symlink(bad, tmp_path / "audit.wal.key")
    assert engine_failure(tmp_path / "audit.wal").endswith("has mode 0622, writable by group or others: "
                                                           "someone else may have replaced the key")


@pytest.mark.parametrize("mode", [0o644, 0o640, 0o604], ids=oct)
def test_key_readable_by_others_loads_with_a_warning(tmp_path, mode):
    key = tmp_path / "audit.wal.key"
    write_key(key, mode)
    with pytest.warns(RuntimeWarning) as caught:
        engine = tvel_oxa.OXAEngine(str(tmp_path / "audit.wal"))
    assert engine.public_key_hex() == PUBLIC_HEX
    [warning] = caught
    text = str(warning.message)
    assert f"'{key}' has mode 0{mode:o}" in text
    assert "anyone who can read it can sign as this engine" in text
    assert f"chmod 600 '{key}'" in text
    assert SEED.hex() not in text


def test_warning_filter_set_to_error_refuses_a_readable_key(tmp_path):
    write_key(tmp_path / "audit.wal.key", 0o644)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning, match="can sign as this engine"):
            tvel_oxa.OXAEngine(str(tmp_path / "audit.wal"))


@pytest.mark.skipif(not AS_ROOT, reason="giving a file away needs root")
def test_key_owned_by_root_is_trusted(tmp_path):
    # Root may own the key of any engine: as root here, the effective user is
    # root too, so this checks that a root-owned 0600 key loads silently.
    write_key(tmp_path / "audit.wal.key", owner=0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert tvel_oxa.OXAEngine(str(tmp_path / "audit.wal")).public_key_hex() == PUBLIC_HEX


@pytest.mark.skipif(not AS_ROOT, reason="giving a link away needs root")
def test_symlink_planted_by_another_user_is_refused(tmp_path):
    # Someone who can write the log's directory links the key name to a file
    # they know the content of; the target itself passes every check (a key
    # of this user's, mode 0600), so only the link's owner gives it away.
    known = tmp_path / "keys" / "known.key"
    known.parent.mkdir()
    write_key(known)
    key = tmp_path / "audit.wal.key"
    os.symlink(known, key)
    os.lchown(key, 4321, 4321)
    message = engine_failure(tmp_path / "audit.wal")
    assert message == (f"Failed to read signing key: '{key}' is a symbolic link owned by uid 4321, neither "
                       f"this process's user (uid {os.geteuid()}) nor root: someone else may have planted it")
