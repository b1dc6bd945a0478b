"""oxa-notary against a log and files it cannot take on trust: a checkpoint whose unsigned bytes
were moved, a log rewritten under follow, files planted by another user, and FIFOs or devices
where a regular file belongs. Nothing may be signed that the log does not give, nothing written
through a planted link, and nothing may wait or grow without end."""

import base64
import json
import os
import shutil
import signal
import subprocess
import time
from pathlib import Path

import pytest

from conftest import signal_state, wait_until_follow_started
from test_notary import BIN, ORIGIN, checkpoints, mth, open_note, run

PLANTER = "oxa-notary-planter"


def lines_text(start, stop):
    return b"".join(b'{"n":%d,"pad":"%s"}\n' % (i, b"x" * (i % 7)) for i in range(start, stop))


@pytest.fixture
def sealed(tmp_path, notary_key):
    """A log of plain lines sealed at 12 and 13 lines, then grown to 15."""
    log = tmp_path / "audit.wal"
    log.write_bytes(lines_text(0, 12))
    assert seal(notary_key[0], log).returncode == 0
    with open(log, "ab") as f:
        f.write(lines_text(12, 13))
    assert seal(notary_key[0], log).returncode == 0
    with open(log, "ab") as f:
        f.write(lines_text(13, 15))
    return log


@pytest.fixture(scope="module")
def planter_uid():
    """The uid of a second user, made here, who owns what is 'planted' for the notary (run as root)."""
    if os.geteuid() != 0:
        pytest.skip("making a second user and giving it files needs root")
    if shutil.which("useradd") is None:
        pytest.skip("useradd is not installed")
    made = subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", PLANTER],
                          capture_output=True, text=True)
    if made.returncode not in (0, 9):  # 9: the user exists already
        pytest.skip(f"useradd failed: {made.stderr.strip()}")
    import pwd

    return pwd.getpwnam(PLANTER).pw_uid


def seal(key, log, *extra):
    return run("oxa-notary", "seal", "--key", key, *extra, log, timeout=30)


def rewrite_last_checkpoint(path, change):
    lines = Path(path).read_text().splitlines()
    entry = json.loads(lines[-1])
    change(entry)
    lines[-1] = json.dumps(entry, separators=(",", ":"))
    Path(path).write_text("\n".join(lines) + "\n")


def line_end(log, count):
    data = log.read_bytes()
    return sum(len(line) + 1 for line in data.split(b"\n")[:count])


def flip_in_line(log, number):
    lines = log.read_bytes().split(b"\n")
    lines[number - 1] = lines[number - 1].replace(b'"n"', b'"N"')
    log.write_bytes(b"\n".join(lines))


@pytest.mark.parametrize(
    "mutate, size",
    [
        (lambda log, cp: rewrite_last_checkpoint(cp, lambda e: e.update(bytes=line_end(log, 15))), 13),
        (lambda log, cp: rewrite_last_checkpoint(cp, lambda e: e.update(bytes=line_end(log, 12))), 13),
        (lambda log, cp: flip_in_line(log, 13), 13),
        # Size 12: its smallest frontier block is lines 9 to 12.
        (lambda log, cp: (Path(cp).write_text(Path(cp).read_text().splitlines()[0] + "\n"), flip_in_line(log, 10)),
         12),
        (lambda log, cp: (Path(cp).write_text(Path(cp).read_text().splitlines()[0] + "\n"),
                          rewrite_last_checkpoint(cp, lambda e: e.update(bytes=line_end(log, 13)))), 12),
    ],
    ids=["bytes-moved-forward", "bytes-moved-back", "last-sealed-line-changed", "line-in-last-block-changed",
         "bytes-over-an-extra-line"],
)
@pytest.mark.parametrize("command", ["seal", "follow"])
def test_a_checkpoint_the_log_does_not_give_is_not_continued(sealed, notary_key, mutate, size, command):
    """The checkpoint's bytes are not signed, and only its last lines are re-hashed: whatever does
    not add up is refused (exit 1) naming the checkpoint, and nothing is signed."""
    log = sealed
    checkpoint_file = Path(f"{log}.checkpoints")
    mutate(log, checkpoint_file)
    before = checkpoint_file.read_bytes()
    if command == "seal":
        result = seal(notary_key[0], log)
    else:
        result = run("oxa-notary", "follow", "--key", notary_key[0], "--every", "1", log, timeout=30)
    assert result.returncode == 1, result.stdout + result.stderr
    assert f"the checkpoint of size {size} (line" in result.stderr
    assert checkpoint_file.read_bytes() == before


def test_an_intact_log_is_still_continued(sealed, notary_key):
    log = sealed
    assert seal(notary_key[0], log).returncode == 0
    entry = checkpoints(f"{log}.checkpoints")[-1]
    _, size, root = open_note(entry["note"], notary_key[1]).splitlines()
    every_line = log.read_bytes().split(b"\n")[:-1]
    assert (int(size), base64.b64decode(root)) == (15, mth(every_line))


def position_file(log):
    return Path(f"{log}.tiles") / "notary-position"


def write_position(log, size, end, identity=None):
    """Stores a position for the next seal, of the log's own file unless `identity` (device, inode) is given."""
    status = os.stat(log)
    device, inode = identity or (os.major(status.st_dev) << 32 | os.minor(status.st_dev), status.st_ino)
    position_file(log).write_text(f"oxa-notary position\n{size} {end} {device} {inode}\n")


def forge_end(log, checkpoint_file, end):
    """Moves the last checkpoint's unsigned bytes to `end`, and the stored position with them."""
    rewrite_last_checkpoint(checkpoint_file, lambda e: e.update(bytes=end))
    write_position(log, 13, end)


def replace_by_copy(log):
    copy = log.with_name("copy")
    shutil.copyfile(log, copy)
    os.replace(copy, log)


def split_line(log, number):
    lines = log.read_bytes().split(b"\n")
    lines[number - 1] = lines[number - 1].replace(b",", b"\n", 1)
    log.write_bytes(b"\n".join(lines))


def read_bytes_of(call):
    """What call() reads from files in this process (rchar of /proc/self/io), and its result."""
    def rchar():
        return int(dict(line.split(": ") for line in Path("/proc/self/io").read_text().splitlines())["rchar"])
    before = rchar()
    result = call()
    return rchar() - before, result


@pytest.mark.parametrize(
    "change, outcome",
    [
        (lambda log, cp: position_file(log).unlink(), "sealed"),
        (lambda log, cp: position_file(log).write_text("oxa-notary position\n13 x\n"), "sealed"),
        (lambda log, cp: write_position(log, 12, line_end(log, 12)), "sealed"),
        (lambda log, cp: write_position(log, 13, line_end(log, 13), (0, 1)), "sealed"),
        (lambda log, cp: replace_by_copy(log), "sealed"),
        (lambda log, cp: flip_in_line(log, 13), "refused"),
        (lambda log, cp: split_line(log, 13), "refused"),
        (lambda log, cp: forge_end(log, cp, line_end(log, 14)), "refused"),
        (lambda log, cp: forge_end(log, cp, line_end(log, 13) + 5), "refused"),
        (lambda log, cp: (forge_end(log, cp, line_end(log, 15) + 40), log.write_bytes(log.read_bytes() + b"x" * 39)),
         "refused"),
        (lambda log, cp: os.truncate(log, line_end(log, 13) - 1), "refused"),
    ],
    ids=["missing", "unreadable", "of-an-older-checkpoint", "of-another-file", "log-replaced-by-a-copy",
         "last-line-rewritten-same-length", "last-line-split", "moved-to-the-next-line", "moved-mid-line",
         "beyond-the-log-end", "log-cut-short"],
)
def test_a_stale_or_forged_position_never_gives_a_wrong_checkpoint(sealed, notary_key, change, outcome):
    """The position of the last sealed line, kept beside the tiles so that a later seal need not count
    the covered lines, is used only when it is this checkpoint's, of this file, at a line feed, and the
    line it ends is the signed tree's last leaf. Otherwise the lines are counted: an intact log is sealed
    with the tree of all its lines, anything else refused as before, with nothing signed."""
    log = sealed
    checkpoint_file = Path(f"{log}.checkpoints")
    assert position_file(log).exists()
    change(log, checkpoint_file)
    before = checkpoint_file.read_bytes()
    result = seal(notary_key[0], log)
    if outcome == "refused":
        assert result.returncode == 1, result.stdout + result.stderr
        assert checkpoint_file.read_bytes() == before
        return
    assert result.returncode == 0, result.stdout + result.stderr
    _, size, root = open_note(checkpoints(checkpoint_file)[-1]["note"], notary_key[1]).splitlines()
    assert (int(size), base64.b64decode(root)) == (15, mth(log.read_bytes().split(b"\n")[:-1]))
    # Kept again for the next seal, for this file and these lines.
    status = os.stat(log)
    assert position_file(log).read_text().split("\n")[1].split() == [
        "15", str(log.stat().st_size), str(os.major(status.st_dev) << 32 | os.minor(status.st_dev)),
        str(status.st_ino)]


@pytest.mark.parametrize("kept", [True, False], ids=["position-kept", "position-lost"])
def test_a_later_seal_reads_only_the_new_lines_when_the_position_holds(tmp_path, notary_key, kept):
    from oxa_verify import notary_cli

    log = tmp_path / "audit.wal"
    log.write_bytes(lines_text(0, 50_000))
    assert seal(notary_key[0], log).returncode == 0
    with open(log, "ab") as f:
        f.write(lines_text(50_000, 50_010))
    if not kept:
        position_file(log).unlink()
    read, status = read_bytes_of(lambda: notary_cli.main(["seal", "--key", str(notary_key[0]), str(log)]))
    assert status == 0
    size = log.stat().st_size
    assert (read < size // 10) if kept else (read > size)
    _, count, root = open_note(checkpoints(f"{log}.checkpoints")[-1]["note"], notary_key[1]).splitlines()
    assert (int(count), base64.b64decode(root)) == (50_010, mth(log.read_bytes().split(b"\n")[:-1]))


def wait_for_size(path, size, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if os.path.exists(path) and os.path.getsize(path) and checkpoints(path)[-1]["size"] == size:
            return
        time.sleep(0.05)
    raise AssertionError(f"no checkpoint of size {size}")


@pytest.mark.parametrize(
    "rewritten",
    [
        # The same line lengths, other text: the byte before the resume point is still a line feed.
        lambda old: old.replace(b'"n"', b'"m"') + lines_text(20, 23),
        # Other lengths: the old resume point falls inside a line.
        lambda old: b'{"shift":1}\n' + old + lines_text(20, 23),
    ],
    ids=["line-feed-kept", "line-feed-moved"],
)
def test_follow_refuses_a_log_rewritten_in_place_between_two_polls(tmp_path, notary_key, rewritten):
    log = tmp_path / "audit.wal"
    old = lines_text(0, 5)
    log.write_bytes(old)
    checkpoint_file = f"{log}.checkpoints"
    follower = subprocess.Popen([str(BIN / "oxa-notary"), "follow", "--key", str(notary_key[0]), "--every", "1",
                                 str(log)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        wait_for_size(checkpoint_file, 5)
        before = Path(checkpoint_file).read_bytes()
        # Paused, so that it sees only the file before and after: truncated and written longer.
        follower.send_signal(signal.SIGSTOP)
        log.write_bytes(rewritten(old))
        follower.send_signal(signal.SIGCONT)
        out, err = follower.communicate(timeout=20)
    finally:
        if follower.poll() is None:
            follower.kill()
            follower.wait()
    assert follower.returncode == 1, out + err
    assert "rewritten in place" in err
    assert Path(checkpoint_file).read_bytes() == before


def test_no_checkpoint_file_is_made_through_a_link_planted_at_its_name(tmp_path, notary_key):
    log = tmp_path / "audit.wal"
    log.write_bytes(lines_text(0, 3))
    guarded = tmp_path / "root-only"
    guarded.mkdir(mode=0o700)
    os.symlink(guarded / "created", f"{log}.checkpoints")
    result = seal(notary_key[0], log)
    assert result.returncode == 2 and "symbolic link" in result.stderr
    assert not (guarded / "created").exists()


@pytest.mark.parametrize("plant", ["file-of-another-user", "link-of-another-user", "writable-by-others"])
def test_an_existing_checkpoint_file_is_appended_to_only_when_it_can_be_trusted(tmp_path, notary_key, plant, request):
    log = tmp_path / "audit.wal"
    log.write_bytes(lines_text(0, 3))
    checkpoint_file = Path(f"{log}.checkpoints")
    if plant == "writable-by-others":
        checkpoint_file.touch()
        checkpoint_file.chmod(0o646)
        target = checkpoint_file
    else:
        uid = request.getfixturevalue("planter_uid")
        target = tmp_path / "elsewhere.checkpoints"
        target.touch()
        if plant == "file-of-another-user":
            os.chown(target, uid, -1)
        os.symlink(target, checkpoint_file)
        if plant == "link-of-another-user":
            os.lchown(checkpoint_file, uid, -1)
    result = seal(notary_key[0], log)
    assert result.returncode == 2, result.stdout
    assert "refusing to append" in result.stderr
    assert target.read_bytes() == b""


def test_an_own_link_to_an_own_checkpoint_file_is_followed(tmp_path, notary_key):
    log = tmp_path / "audit.wal"
    log.write_bytes(lines_text(0, 3))
    target = tmp_path / "kept.checkpoints"
    target.touch()
    os.symlink(target, f"{log}.checkpoints")
    assert seal(notary_key[0], log).returncode == 0
    assert checkpoints(target)[-1]["size"] == 3


@pytest.mark.parametrize("kind", ["symlink", "hard-link", "fifo"])
def test_a_proof_file_is_never_written_through_a_link(tmp_path, notary_key, kind):
    log = tmp_path / "audit.wal"
    log.write_bytes(lines_text(0, 3))
    assert seal(notary_key[0], log).returncode == 0
    protected = tmp_path / "protected"
    protected.write_bytes(b"keep me\n")
    out = tmp_path / "record.tlog-proof"
    if kind == "symlink":
        os.symlink(protected, out)
    elif kind == "hard-link":
        os.link(protected, out)
    else:
        os.mkfifo(out)
    result = run("oxa-notary", "prove", "--checkpoints", f"{log}.checkpoints", "--out", out, log, 2, timeout=30)
    assert result.returncode == 2 and "cannot be written" in result.stderr
    assert protected.read_bytes() == b"keep me\n"


def test_an_own_proof_file_is_rewritten(tmp_path, notary_key):
    log = tmp_path / "audit.wal"
    log.write_bytes(lines_text(0, 3))
    assert seal(notary_key[0], log).returncode == 0
    out = tmp_path / "record.tlog-proof"
    out.write_bytes(b"x" * 100000)
    assert run("oxa-notary", "prove", "--checkpoints", f"{log}.checkpoints", "--out", out, log, 2).returncode == 0
    assert out.read_text().startswith("c2sp.org/tlog-proof@v1\n") and len(out.read_bytes()) < 100000


@pytest.mark.parametrize("plant", ["mode-0666", "mode-0620", "owned-by-another-user", "link-of-another-user", "fifo"])
def test_a_notary_key_that_someone_else_could_have_planted_is_refused(tmp_path, notary_key, plant, request):
    key = notary_key[0]
    log = tmp_path / "audit.wal"
    log.write_bytes(lines_text(0, 3))
    used = key
    if plant.startswith("mode-"):
        key.chmod(int(plant[5:], 8))
    elif plant == "owned-by-another-user":
        os.chown(key, request.getfixturevalue("planter_uid"), -1)
    elif plant == "link-of-another-user":
        used = tmp_path / "linked.key"
        os.symlink(key, used)
        os.lchown(used, request.getfixturevalue("planter_uid"), -1)
    else:
        used = tmp_path / "fifo.key"
        os.mkfifo(used)
    for command in (["seal", "--key", used, log], ["vkey", "--key", used]):
        result = run("oxa-notary", *command, timeout=30)
        assert result.returncode == 2, (command, result.stdout)
        assert str(used) in result.stderr
    assert not os.path.exists(f"{log}.checkpoints")


def test_a_notary_key_others_can_read_is_used_with_a_warning(tmp_path, notary_key):
    key = notary_key[0]
    key.chmod(0o644)
    log = tmp_path / "audit.wal"
    log.write_bytes(lines_text(0, 3))
    result = seal(key, log)
    assert result.returncode == 0
    assert "warning" in result.stderr and "chmod 600" in result.stderr


@pytest.mark.parametrize(
    "args, named",
    [
        (["seal", "--key", "{key}", "--out", "{fifo}", "{log}"], "not a regular file"),
        (["seal", "--key", "{key}", "--out", "/dev/zero", "{log}"], "not a regular file"),
        (["seal", "--key", "{key}", "{fifo}"], "FIFO"),
        (["follow", "--key", "{key}", "--out", "{fifo}", "{log}"], "not a regular file"),
        (["follow", "--key", "{key}", "--out", "{dir}/c", "/dev/zero"], "/dev/zero"),
        (["follow", "--key", "{key}", "--out", "{dir}/c", "{fifo}"], "FIFO"),
        (["prove", "--checkpoints", "{fifo}", "{log}", "1"], "not a regular file"),
        (["prove", "--checkpoints", "/dev/zero", "{log}", "1"], "not a regular file"),
    ],
    ids=["seal-checkpoints-fifo", "seal-checkpoints-dev-zero", "seal-log-fifo", "follow-checkpoints-fifo",
         "follow-log-dev-zero", "follow-log-fifo", "prove-checkpoints-fifo", "prove-checkpoints-dev-zero"],
)
def test_a_fifo_or_device_where_a_file_belongs_is_refused_at_once(tmp_path, notary_key, args, named):
    log = tmp_path / "audit.wal"
    log.write_bytes(lines_text(0, 3))
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    fill = {"key": str(notary_key[0]), "fifo": str(fifo), "log": str(log), "dir": str(tmp_path)}
    result = run("oxa-notary", *[a.format(**fill) for a in args], timeout=20)
    assert result.returncode == 2
    assert named in result.stderr


def test_follow_stops_when_its_log_is_replaced_by_a_fifo(tmp_path, notary_key):
    log = tmp_path / "audit.wal"
    log.write_bytes(lines_text(0, 3))
    follower = subprocess.Popen([str(BIN / "oxa-notary"), "follow", "--key", str(notary_key[0]), "--every", "1",
                                 str(log)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        wait_for_size(f"{log}.checkpoints", 3)
        with open(log, "ab") as f:
            f.write(lines_text(3, 5))
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        os.rename(fifo, log)
        out, err = follower.communicate(timeout=20)
    finally:
        if follower.poll() is None:
            follower.kill()
            follower.wait()
    assert follower.returncode == 2 and "FIFO" in err
    # The old file was read to its end and sealed first.
    assert checkpoints(f"{log}.checkpoints")[-1]["size"] == 5


def _stop_signals_as_at_a_shell():
    # A process inherits ignored and blocked signals through exec: start the
    # follow as a shell would, whatever the test runner's process left set.
    signal.pthread_sigmask(signal.SIG_SETMASK, [])
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
def test_a_stop_signal_ends_a_follow_that_waits_for_its_log(tmp_path, notary_key, signum):
    follower = subprocess.Popen([str(BIN / "oxa-notary"), "follow", "--key", str(notary_key[0]),
                                 str(tmp_path / "not-yet.wal")], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, preexec_fn=_stop_signals_as_at_a_shell)
    try:
        wait_until_follow_started(follower)
        time.sleep(0.3)  # into the wait for the log
        assert follower.poll() is None
        follower.send_signal(signum)
        try:
            out, err = follower.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            masks = {who: {name: hex(mask) for name, mask in signal_state(pid).items()}
                     for who, pid in (("follow", follower.pid), ("test", os.getpid()))}
            pytest.fail(f"follow did not stop; signal masks: {masks}")
    finally:
        if follower.poll() is None:
            follower.kill()
            follower.wait()
    assert follower.returncode == 0, err
    assert "nothing sealed" in out
    assert not (tmp_path / "not-yet.wal.checkpoints").exists()
