"""The log file on another user's behalf: new logs are not readable by others, and a symbolic link at
the log's name is followed only when this user or root made every link on the way, so that someone
who can write the log's directory cannot lead the records (prompts, outputs) into a file of theirs
or of the victim's choosing."""
import os
import shutil
import stat
import subprocess
import tempfile
import warnings

import pytest

import tvel_oxa
from conftest import run_python

AS_ROOT = os.geteuid() == 0
PLANTER = "oxa-test-planter"


def capture_quietly(engine, capture_args):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return engine.capture(**capture_args)


def refusal(engine, capture_args):
    """The reason in the warning of a capture whose line was not appended."""
    with pytest.warns(RuntimeWarning) as caught:
        record = engine.capture(**capture_args)
    message = str(caught[0].message)
    assert f"record {record.id} was not appended to the audit log" in message
    return message.split("': ", 1)[1]


@pytest.mark.parametrize("existing_mode, expected_mode", [
    pytest.param(None, 0o640, id="new-log-0640"),
    pytest.param(0o666, 0o666, id="existing-0666-left-alone"),
    pytest.param(0o600, 0o600, id="existing-0600-left-alone"),
])
def test_log_mode(tmp_path, capture_args, existing_mode, expected_mode):
    log = tmp_path / "audit.wal"
    if existing_mode is not None:
        log.touch()
        log.chmod(existing_mode)
    old_umask = os.umask(0)
    try:
        engine = tvel_oxa.OXAEngine(str(log))
        capture_quietly(engine, capture_args)
    finally:
        os.umask(old_umask)
    assert stat.S_IMODE(log.stat().st_mode) == expected_mode
    assert log.read_bytes().count(b"\n") == 1


def own_relative_link(root):
    (root / "real").mkdir()
    os.symlink("real/audit.wal", root / "audit.wal")
    return root / "real" / "audit.wal"


def own_chain_of_links(root):
    (root / "a").mkdir()
    (root / "b").mkdir()
    os.symlink("../b/audit.wal", root / "a" / "hop")
    os.symlink(str(root / "a" / "hop"), root / "audit.wal")
    return root / "b" / "audit.wal"


def own_dangling_link(root):
    os.symlink("later.wal", root / "audit.wal")
    return root / "later.wal"


@pytest.mark.parametrize("plant", [own_relative_link, own_chain_of_links, own_dangling_link],
                         ids=["relative-link", "chain-of-links", "dangling-link-creates-target"])
def test_own_links_are_followed(tmp_path, capture_args, plant):
    target = plant(tmp_path)
    engine = tvel_oxa.OXAEngine(str(tmp_path / "audit.wal"))
    for _ in range(2):
        capture_quietly(engine, capture_args)
    assert target.read_bytes().count(b"\n") == 2
    assert stat.S_IMODE(target.stat().st_mode) & 0o007 == 0


def foreign_first_link(root, victim):
    os.symlink(victim, root / "audit.wal")
    os.lchown(root / "audit.wal", 4321, 4321)
    return f"'{root / 'audit.wal'}' is a symbolic link owned by uid 4321"


def foreign_link_further_on(root, victim):
    os.symlink(victim, root / "hop")
    os.lchown(root / "hop", 4321, 4321)
    os.symlink(root / "hop", root / "audit.wal")
    return f"'{root / 'audit.wal'}' leads through '{root / 'hop'}', a symbolic link owned by uid 4321"


@pytest.mark.skipif(not AS_ROOT, reason="giving a link away needs root")
@pytest.mark.parametrize("plant", [foreign_first_link, foreign_link_further_on],
                         ids=["the-name-itself", "a-link-further-on"])
@pytest.mark.parametrize("victim_exists", [True, False], ids=["victim-file", "dangling"])
def test_links_of_another_user_are_refused(tmp_path, capture_args, plant, victim_exists):
    victim = tmp_path / "victim" / "bashrc"
    victim.parent.mkdir()
    if victim_exists:
        victim.write_bytes(b"# untouched\n")
    reason_start = plant(tmp_path, victim)
    engine = tvel_oxa.OXAEngine(str(tmp_path / "audit.wal"))
    reason = refusal(engine, capture_args)
    assert reason == (f"{reason_start}, neither this process's user (uid {os.geteuid()}) nor root: "
                      "someone else may have planted it")
    if victim_exists:
        assert victim.read_bytes() == b"# untouched\n"
    else:
        assert not victim.exists()


def other_user():
    """The uid and gid of a second user made for these tests (kept for later runs)."""
    if not AS_ROOT or not shutil.which("useradd") or not shutil.which("setpriv"):
        pytest.skip("making a second user needs root, useradd and setpriv")
    made = subprocess.run(["useradd", "--system", "--user-group", "--no-create-home",
                           "--shell", "/usr/sbin/nologin", PLANTER], capture_output=True, text=True)
    if made.returncode not in (0, 9):  # 9: the user exists already
        pytest.skip(f"useradd failed: {made.stderr.strip()}")
    ids = subprocess.run(["id", "-u", PLANTER], capture_output=True, text=True, check=True).stdout
    groups = subprocess.run(["id", "-g", PLANTER], capture_output=True, text=True, check=True).stdout
    return int(ids), int(groups)


@pytest.fixture
def shared_directory():
    """A directory outside the test's private temporary tree, so that another user can reach it."""
    path = tempfile.mkdtemp(prefix="oxa-shared-")
    os.chmod(path, 0o755)
    yield path
    shutil.rmtree(path)


@pytest.mark.parametrize("mode", [0o775, 0o1775], ids=["group-writable", "group-writable-sticky"])
def test_link_planted_by_another_user_is_not_written_through(tmp_path, shared_directory, capture_args, mode):
    uid, gid = other_user()
    directory = os.path.join(shared_directory, "logs")
    os.mkdir(directory)
    os.chown(directory, 0, gid)
    os.chmod(directory, mode)
    victim = tmp_path / ".bashrc"
    victim.write_bytes(b"alias ll='ls -l'\n")
    log = os.path.join(directory, "audit.wal")
    subprocess.run(["setpriv", f"--reuid={uid}", f"--regid={gid}", "--clear-groups",
                    "ln", "-s", str(victim), log], check=True)
    assert os.lstat(log).st_uid == uid

    engine = tvel_oxa.OXAEngine(log)
    reason = refusal(engine, dict(capture_args, prompt="$(touch /tmp/owned)"))
    assert reason.startswith(f"'{log}' is a symbolic link owned by uid {uid}, neither this process's user")
    assert victim.read_bytes() == b"alias ll='ls -l'\n"


def test_link_through_proc_to_standard_output(tmp_path):
    # /proc/self/fd/1 is a link whose text ("pipe:[...]") names no path: the
    # system's own resolution decides where the name leads.
    os.symlink("/proc/self/fd/1", tmp_path / "audit.wal")
    result = run_python(f"""
        import warnings, tvel_oxa
        warnings.simplefilter("error")
        engine = tvel_oxa.OXAEngine({str(tmp_path / "audit.wal")!r})
        triplet = tvel_oxa.PPPTriplet("a", "b", "c")
        review = tvel_oxa.HumanDeltaChain("r", True, "n", "c")
        for _ in range(2):
            engine.capture(None, "p", None, "o", triplet, review)
    """)
    assert result.returncode == 0, result.stderr
    assert [line[:7] for line in result.stdout.splitlines()] == ['{"id":"'] * 2
