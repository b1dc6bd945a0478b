"""oxa-notary asks witnesses: real `oxa-witness serve` processes on 127.0.0.1 cosign each new checkpoint.

The cosignatures in the checkpoint file are checked with independent code
(cryptography and hashlib); a witness that is down, slow, refusing or
answering with a forged cosignature never stops the sealing.
"""

import base64
import json
import shutil
import signal
import subprocess
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

import tvel_oxa
from oxa_verify import notary_cli
from oxa_witness import cli as witness_cli
from test_notary import BIN, ORIGIN, capture, checkpoints, complete_lines, mth, open_note, run
from test_witness import EM_DASH, WitnessProcess, check_cosignature, key_id


class NotaryLog:
    """What a witness's policy names: the notary's verifier key."""

    def __init__(self, vkey):
        self.vkey = vkey


def start_witness(directory, name, notary_vkey, db=None):
    directory.mkdir(parents=True, exist_ok=True)
    key = directory / "witness.key"
    if not key.exists():
        assert witness_cli.main(["keygen", "--key", str(key), name]) == 0
    return WitnessProcess(directory, [NotaryLog(notary_vkey)], db=db)


def restart(witness):
    """The same witness (key and database) again, on a new port."""
    witness.start()
    return witness


def write_policy(path, notary_vkey, witnesses, quorum="group q 2 {names}\nquorum q\n"):
    """A policy with the notary's log line and one witness line per (name, vkey, url)."""
    lines = [f"log {notary_vkey}\n"]
    lines += [f"witness {name} {vkey} {url}\n" if url else f"witness {name} {vkey}\n" for name, vkey, url in witnesses]
    path.write_text("".join(lines) + quorum.format(names=" ".join(name for name, _, _ in witnesses)))
    return path


def policy_for(path, notary_vkey, witnesses):
    return write_policy(path, notary_vkey, [(name, w.vkey, f"http://127.0.0.1:{w.port}")
                                           for name, w in witnesses.items()])


def seal(key, log, policy, *extra, out=None):
    """(exit status, the --json outcome or None, standard error) of one oxa-notary seal."""
    args = ["seal", "--json", "--key", key, "--policy", policy, *extra]
    if out is not None:
        args += ["--out", out]
    result = run("oxa-notary", *args, log)
    outcome = json.loads(result.stdout) if result.stdout.strip() else None
    return result.returncode, outcome, result.stderr


def by_name(outcome):
    return {result["name"]: result for result in outcome["witnesses"]}


def cosignature_lines(note):
    """The signature lines after the notary's own (the first)."""
    return [line + "\n" for line in note.rpartition("\n\n")[2].splitlines()[1:]]


def check_cosigned(note, notary_vkey, witness_vkeys):
    """Checks the note under the notary key and one cosignature per witness, independently; returns their names."""
    text = open_note(note, notary_vkey)
    lines = cosignature_lines(note)
    names = []
    for vkey in witness_vkeys:
        name = vkey.split("+", 1)[0]
        mine = [line for line in lines if line.startswith(f"{EM_DASH} {name} ")]
        assert len(mine) == 1, (name, lines)
        check_cosignature(mine[0], vkey, text)
        names.append(name)
    assert len(lines) == len(witness_vkeys), lines
    return names


def verify_under_policy(log, policy, *extra):
    """(exit status, --json report) of the auditor's oxa-verify on a log and its checkpoints under a policy."""
    result = run("oxa-verify", "--json", "--checkpoints", f"{log}.checkpoints", "--policy", policy, *extra, log)
    return result.returncode, json.loads(result.stdout)


def kinds(findings):
    return [finding["kind"] for finding in findings]


def held_size(witness, note):
    """The size a witness holds for the notary's log, from its 409 answer to a request from size 0."""
    body = ("old 0\n\n" + note.rpartition("\n\n")[0] + "\n\n" + note.rpartition("\n\n")[2].splitlines()[0] + "\n")
    status, content_type, text = witness.post(body.encode())
    assert status == 409 and content_type == "text/x.tlog.size", (status, text)
    return int(text)


@pytest.fixture
def witnesses(tmp_path, notary_key):
    """Three witnesses of the notary's log, each with its own key and database."""
    started = {name: start_witness(tmp_path / name, f"{name}.example.org/witness", notary_key[1])
               for name in ("w1", "w2", "w3")}
    yield started
    for witness in started.values():
        if witness.process.poll() is None:
            assert witness.stop() == 0


@pytest.fixture
def engines(tmp_path):
    """A log written by two engines at once."""
    log = tmp_path / "audit.wal"
    return log, (tvel_oxa.OXAEngine(str(log)), tvel_oxa.OXAEngine(str(log)))


def grow(engines, count, tag):
    log, (first, second) = engines
    capture(first, count - count // 2, tag + "a")
    capture(second, count // 2, tag + "b")


def test_three_witnesses_cosign_every_checkpoint_of_a_growing_log(tmp_path, notary_key, witnesses, engines):
    key, notary_vkey = notary_key
    log = engines[0]
    policy = policy_for(tmp_path / "notary.policy", notary_vkey, witnesses)
    vkeys = [w.vkey for w in witnesses.values()]
    sizes = []
    for round_number, count in enumerate((5, 3, 8)):
        grow(engines, count, f"r{round_number}")
        status, outcome, err = seal(key, log, policy)
        assert status == 0 and outcome["ok"], err
        sizes.append(outcome["size"])
        previous = sizes[-2] if len(sizes) > 1 else 0
        # Each witness was asked with the proof from the size it cosigned last.
        assert [(r["name"], r["ok"], r["old_size"], r["size"]) for r in outcome["witnesses"]] == [
            (name, True, previous, outcome["size"]) for name in witnesses]
        assert "did not cosign" not in err

    entries = checkpoints(f"{log}.checkpoints")
    assert [entry["size"] for entry in entries] == sizes == [5, 8, 16]
    leaves = complete_lines(log)
    for entry in entries:
        assert check_cosigned(entry["note"], notary_vkey, vkeys) == [f"{name}.example.org/witness"
                                                                    for name in witnesses]
        text = open_note(entry["note"], notary_vkey)
        assert text == f"{ORIGIN}\n{entry['size']}\n{base64.b64encode(mth(leaves[:entry['size']])).decode()}\n"
    # The tiles publish the same cosigned note; each witness holds the last size.
    assert Path(f"{tmp_path}/audit.wal.tiles/checkpoint").read_text() == entries[-1]["note"]
    assert all(held_size(w, entries[-1]["note"]) == sizes[-1] for w in witnesses.values())
    state = json.loads((tmp_path / "audit.wal.witnesses").read_text())
    assert state["origin"] == ORIGIN
    assert {vkey: entry["size"] for vkey, entry in state["witnesses"].items()} == {v: 16 for v in vkeys}
    # Nothing new: no checkpoint and no witness asked.
    status, outcome, _ = seal(key, log, policy)
    assert status == 0 and outcome["checkpoints_written"] == 0 and outcome["witnesses"] == []

    # One witness gone: two of three still meet the auditor's quorum.
    assert witnesses["w3"].stop() == 0
    grow(engines, 4, "late")
    status, outcome, _ = seal(key, log, policy)
    assert status == 0 and [r["ok"] for r in outcome["witnesses"]] == [True, True, False]
    status, report = verify_under_policy(log, policy, "--require-witnessed")
    assert status == 0 and report["ok"], report["problems"]
    assert report["checkpoints"]["last_witnessed"] == {
        "size": 20, "witnesses": ["w1", "w2"]}


def test_a_witness_down_for_a_while_catches_up_from_its_own_size(tmp_path, notary_key, witnesses, engines):
    key, notary_vkey = notary_key
    log = engines[0]
    policy = tmp_path / "notary.policy"
    grow(engines, 4, "first")
    assert seal(key, log, policy_for(policy, notary_vkey, witnesses))[0] == 0

    assert witnesses["w3"].stop() == 0
    for count in (3, 2):
        grow(engines, count, f"while-down-{count}")
        status, outcome, err = seal(key, log, policy)
        assert status == 0 and outcome["ok"]
        results = by_name(outcome)
        assert results["w1"]["ok"] and results["w2"]["ok"] and not results["w3"]["ok"]
        assert "refused" in results["w3"]["reason"].lower()
        assert f"witness w3 (http://127.0.0.1:{witnesses['w3'].port}) did not cosign" in err
        # The checkpoint keeps the cosignatures it got.
        check_cosigned(checkpoints(f"{log}.checkpoints")[-1]["note"], notary_vkey,
                       [witnesses["w1"].vkey, witnesses["w2"].vkey])
    state = json.loads((tmp_path / "audit.wal.witnesses").read_text())["witnesses"]
    assert state[witnesses["w3"].vkey]["size"] == 4 and state[witnesses["w1"].vkey]["size"] == 9

    restart(witnesses["w3"])
    grow(engines, 2, "back")
    status, outcome, _ = seal(key, log, policy_for(policy, notary_vkey, witnesses))
    assert status == 0
    assert by_name(outcome)["w3"] == {"name": "w3", "url": f"http://127.0.0.1:{witnesses['w3'].port}", "ok": True,
                                      "old_size": 4, "size": 11}
    last = checkpoints(f"{log}.checkpoints")[-1]
    check_cosigned(last["note"], notary_vkey, [w.vkey for w in witnesses.values()])
    assert held_size(witnesses["w3"], last["note"]) == 11


def test_a_lost_state_file_costs_one_409_and_a_retry_from_the_witness_size(tmp_path, notary_key, witnesses,
                                                                            engines):
    key, notary_vkey = notary_key
    log = engines[0]
    policy = policy_for(tmp_path / "notary.policy", notary_vkey, witnesses)
    grow(engines, 6, "first")
    assert seal(key, log, policy)[0] == 0
    (tmp_path / "audit.wal.witnesses").write_text("not json")
    grow(engines, 3, "second")
    status, outcome, err = seal(key, log, policy)
    assert status == 0 and "cannot be read" in err
    assert [(r["ok"], r["old_size"]) for r in outcome["witnesses"]] == [(True, 6)] * 3
    check_cosigned(checkpoints(f"{log}.checkpoints")[-1]["note"], notary_vkey, [w.vkey for w in witnesses.values()])


def rewrite_from_scratch(tmp_path, log, lines):
    """Another history at a new path: `lines` records that were never in the log."""
    other = tmp_path / "rewritten" / log.name
    other.parent.mkdir()
    capture(tvel_oxa.OXAEngine(str(other)), lines, "forged")
    return other


def roll_back(saved, log):
    """Puts the notary's files (log, checkpoints, tiles, witness state) back as they were, then adds new lines."""
    for name in ("audit.wal", "audit.wal.checkpoints", "audit.wal.witnesses"):
        shutil.copy2(saved / name, log.parent / name)
    shutil.rmtree(log.parent / "audit.wal.tiles")
    shutil.copytree(saved / "audit.wal.tiles", log.parent / "audit.wal.tiles")
    capture(tvel_oxa.OXAEngine(str(log)), 9, "rolled")
    return log


@pytest.mark.parametrize("how, status", [
    ("rewritten-from-scratch-shorter", 409),
    ("rewritten-from-scratch-longer", 422),
    ("log-and-checkpoints-rolled-back", 422),
], ids=lambda value: str(value))
def test_a_history_rewritten_after_the_witnesses_saw_it_gets_no_cosignature(tmp_path, notary_key, witnesses,
                                                                           engines, how, status):
    key, notary_vkey = notary_key
    log = engines[0]
    policy = policy_for(tmp_path / "notary.policy", notary_vkey, witnesses)
    grow(engines, 6, "first")
    assert seal(key, log, policy)[0] == 0
    saved = tmp_path / "saved"
    saved.mkdir()
    for name in ("audit.wal", "audit.wal.checkpoints", "audit.wal.witnesses"):
        shutil.copy2(log.parent / name, saved / name)
    shutil.copytree(log.parent / "audit.wal.tiles", saved / "audit.wal.tiles")
    grow(engines, 4, "second")
    assert seal(key, log, policy)[0] == 0  # the witnesses hold 10 now

    if how == "log-and-checkpoints-rolled-back":
        target = roll_back(saved, log)
    else:
        target = rewrite_from_scratch(tmp_path, log, 7 if how.endswith("shorter") else 13)
    code, outcome, err = seal(key, target, policy)
    # The notary signs what it is given: the witnesses are what refuse it.
    assert code == 0 and outcome["ok"]
    assert [(r["ok"], r.get("status")) for r in outcome["witnesses"]] == [(False, status)] * 3
    assert err.count("did not cosign") == 3
    note = checkpoints(f"{target}.checkpoints")[-1]["note"]
    open_note(note, notary_vkey)
    assert cosignature_lines(note) == []
    assert all(held_size(w, note) == 10 for w in witnesses.values())
    # The auditor sees it: nothing of a rewritten history is witnessed; of a rolled-back one, only what
    # the witnesses cosigned before the rollback (the six lines that are still the same).
    status, report = verify_under_policy(target, policy, "--require-witnessed")
    assert status == 1
    if how == "log-and-checkpoints-rolled-back":
        assert report["checkpoints"]["last_witnessed"]["size"] == 6
        assert kinds(report["problems"]) == ["unwitnessed-tail"] and "9 lines" in report["problems"][0]["message"]
    else:
        assert kinds(report["problems"]) == ["witness-quorum"]


class FakeWitness:
    """A witness of the test's own on 127.0.0.1: one that answers slowly, or with a forged cosignature."""

    def __init__(self, name, behaviour, delay=0.0):
        self.name = name
        self.key = Ed25519PrivateKey.generate()
        public = self.key.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)
        self.key_id = key_id(name, 4, public)
        raw = bytes([4]) + public
        self.vkey = f"{name}+{self.key_id.hex()}+{base64.b64encode(raw).decode()}"
        self.released = threading.Event()
        self.requests = 0
        fake = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_POST(self):
                fake.requests += 1
                self.rfile.read(int(self.headers["Content-Length"]))
                if behaviour == "slow":
                    fake.released.wait(delay)
                # Right name and key id, a signature over the wrong message.
                blob = fake.key_id + (0).to_bytes(8, "big") + fake.key.sign(b"something else")
                data = f"{EM_DASH} {fake.name} {base64.b64encode(blob).decode()}\n".encode()
                self.send_response(200)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.released.set()
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def fakes():
    made = []

    def make(*args, **kwargs):
        made.append(FakeWitness(*args, **kwargs))
        return made[-1]

    yield make
    for fake in made:
        fake.close()


def test_slow_witnesses_cost_one_timeout_together_and_the_sealing_goes_on(tmp_path, notary_key, witnesses,
                                                                          engines, fakes):
    key, notary_vkey = notary_key
    log = engines[0]
    slow = [fakes(f"slow{i}.example.org/w", "slow", delay=30) for i in (1, 2)]
    policy = write_policy(tmp_path / "notary.policy", notary_vkey,
                          [("w1", witnesses["w1"].vkey, f"http://127.0.0.1:{witnesses['w1'].port}")]
                          + [(f"slow{i}", fake.vkey, fake.url) for i, fake in enumerate(slow, 1)])
    grow(engines, 5, "first")
    started = time.monotonic()
    status, outcome, err = seal(key, log, policy, "--witness-timeout", "5")
    elapsed = time.monotonic() - started
    assert status == 0 and outcome["ok"] and outcome["size"] == 5
    assert 5 <= elapsed < 9.5, elapsed  # one timeout and the start-up, not two timeouts
    results = by_name(outcome)
    assert results["w1"]["ok"]
    assert [results[name]["reason"] for name in ("slow1", "slow2")] == ["timed out"] * 2
    assert err.count("timed out") == 2
    check_cosigned(checkpoints(f"{log}.checkpoints")[-1]["note"], notary_vkey, [witnesses["w1"].vkey])
    # The next checkpoint asks again.
    grow(engines, 2, "second")
    assert seal(key, log, policy, "--witness-timeout", "1")[0] == 0
    assert [fake.requests for fake in slow] == [2, 2]


def test_a_forged_cosignature_is_left_out_and_reported(tmp_path, notary_key, witnesses, engines, fakes):
    key, notary_vkey = notary_key
    log = engines[0]
    forger = fakes("forger.example.org/w", "forge")
    policy = write_policy(tmp_path / "notary.policy", notary_vkey,
                          [("w1", witnesses["w1"].vkey, f"http://127.0.0.1:{witnesses['w1'].port}"),
                           ("forger", forger.vkey, forger.url)])
    grow(engines, 3, "first")
    status, outcome, err = seal(key, log, policy)
    assert status == 0 and by_name(outcome)["forger"]["reason"] == "the cosignature does not verify under the " \
                                                                   "policy's key"
    check_cosigned(checkpoints(f"{log}.checkpoints")[-1]["note"], notary_vkey, [witnesses["w1"].vkey])
    state = json.loads((tmp_path / "audit.wal.witnesses").read_text())["witnesses"]
    assert forger.vkey not in state


def test_follow_asks_the_witnesses_for_every_checkpoint(tmp_path, notary_key, witnesses, engines):
    key, notary_vkey = notary_key
    log = engines[0]
    policy = policy_for(tmp_path / "notary.policy", notary_vkey, {n: witnesses[n] for n in ("w1", "w2")})
    grow(engines, 2, "before")
    follower = subprocess.Popen(
        [str(BIN / "oxa-notary"), "follow", "--json", "--key", str(key), "--policy", str(policy), "--every", "3",
         "--seconds", "0.5", str(log)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        grow(engines, 3, "live")
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            entries = checkpoints(f"{log}.checkpoints") if Path(f"{log}.checkpoints").exists() else []
            if entries and entries[-1]["size"] == 5:
                break
            time.sleep(0.1)
        follower.send_signal(signal.SIGTERM)
        out, err = follower.communicate(timeout=30)
    finally:
        if follower.poll() is None:
            follower.kill()
            follower.wait()
    assert follower.returncode == 0, err
    events = [json.loads(line) for line in out.splitlines()]
    written = [event for event in events if event.get("event") == "checkpoint"]
    assert [event["size"] for event in written] == [entry["size"] for entry in checkpoints(f"{log}.checkpoints")]
    assert written and all([r["ok"] for r in event["witnesses"]] == [True, True] for event in written)
    for entry in checkpoints(f"{log}.checkpoints"):
        check_cosigned(entry["note"], notary_vkey, [witnesses["w1"].vkey, witnesses["w2"].vkey])
    assert Path(f"{tmp_path}/audit.wal.tiles/checkpoint").read_text() == checkpoints(f"{log}.checkpoints")[-1]["note"]


def note_vkey(name, type_byte=0x01):
    """A verifier key of a fresh key, made independently."""
    public = Ed25519PrivateKey.generate().public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)
    raw = bytes([type_byte]) + public
    return f"{name}+{key_id(name, type_byte, public).hex()}+{base64.b64encode(raw).decode()}"


@pytest.mark.parametrize("text, extra, message", [
    (f"log {note_vkey(ORIGIN)}\nquorum none\n", [], "another key"),
    (f"log {note_vkey('example.com/another-log')}\nquorum none\n", [], "no log line names the notary's key"),
    ("log {notary}\nwitness\n", [], "line 2"),
    (None, [], "No such file"),
    ("log {notary}\nquorum none\n", ["--no-tiles"], "needs the tiles"),
], ids=["another-key-for-the-origin", "another-log", "not-a-policy", "missing", "no-tiles"])
def test_the_policy_must_name_the_notary_as_its_log(tmp_path, notary_key, engines, capsys, text, extra, message):
    key, notary_vkey = notary_key
    log = engines[0]
    grow(engines, 2, "first")
    policy = tmp_path / "notary.policy"
    if text is not None:
        policy.write_text(text.format(notary=notary_vkey))
    assert notary_cli.main(["seal", "--key", str(key), "--policy", str(policy), *extra, str(log)]) == 2
    err = capsys.readouterr().err
    assert err.startswith("oxa-notary: error:") and message in err, err
    assert not Path(f"{log}.checkpoints").exists()


def test_a_stop_while_waiting_for_a_slow_witness_ends_follow_after_that_checkpoint(tmp_path, notary_key, witnesses,
                                                                                    engines, fakes):
    key, notary_vkey = notary_key
    log = engines[0]
    slow = fakes("slow.example.org/w", "slow", delay=60)
    policy = write_policy(tmp_path / "notary.policy", notary_vkey,
                          [("w1", witnesses["w1"].vkey, f"http://127.0.0.1:{witnesses['w1'].port}"),
                           ("slow", slow.vkey, slow.url)])
    grow(engines, 4, "before")
    follower = subprocess.Popen(
        [str(BIN / "oxa-notary"), "follow", "--key", str(key), "--policy", str(policy), "--every", "1",
         "--witness-timeout", "4", str(log)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 30
        while slow.requests == 0 and time.monotonic() < deadline:
            time.sleep(0.05)
        assert slow.requests == 1
        follower.send_signal(signal.SIGTERM)
        out, err = follower.communicate(timeout=30)
    finally:
        if follower.poll() is None:
            follower.kill()
            follower.wait()
    assert follower.returncode == 0, err
    assert "stopped after 1 checkpoints" in out and "slow" in err and "timed out" in err
    [entry] = checkpoints(f"{log}.checkpoints")
    assert entry["size"] == 4
    check_cosigned(entry["note"], notary_vkey, [witnesses["w1"].vkey])
