"""oxa-witness: its key, the add-checkpoint protocol, its durable state, and the HTTP service.

The logs here are not ours: their notes, trees and consistency proofs are made
with independent code (cryptography and hashlib), and so are the checks of
the cosignatures the witness returns.
"""

import base64
import hashlib
import http.client
import signal
import socket
import sqlite3
import stat
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

from oxa_verify import _native
import oxa_witness
from oxa_witness import cli

BIN = Path(sys.executable).parent
WITNESS_NAME = "witness.example.com/w1"
EM_DASH = "\u2014"


# Independent RFC 6962 trees and consistency proofs.
def mth(leaves):
    if not leaves:
        return hashlib.sha256(b"").digest()
    if len(leaves) == 1:
        return hashlib.sha256(b"\0" + leaves[0]).digest()
    k = 1
    while 2 * k < len(leaves):
        k *= 2
    return hashlib.sha256(b"\1" + mth(leaves[:k]) + mth(leaves[k:])).digest()


def consistency_proof(m, leaves, complete=True):
    n = len(leaves)
    if m == n:
        return [] if complete else [mth(leaves)]
    k = 1
    while 2 * k < n:
        k *= 2
    if m <= k:
        return consistency_proof(m, leaves[:k], complete) + [mth(leaves[k:])]
    return consistency_proof(m - k, leaves[k:], False) + [mth(leaves[:k])]


def raw_public(key):
    return key.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)


def key_id(name, type_byte, public):
    return hashlib.sha256(name.encode() + b"\n" + bytes([type_byte]) + public).digest()[:4]


class Log:
    """A log of someone else's: its key, its leaves and signed checkpoints."""

    def __init__(self, origin):
        self.origin = origin
        self.key = Ed25519PrivateKey.generate()
        self.leaves = []

    @property
    def vkey(self):
        public = raw_public(self.key)
        data = base64.b64encode(b"\x01" + public).decode()
        return f"{self.origin}+{key_id(self.origin, 1, public).hex()}+{data}"

    def grow(self, size):
        while len(self.leaves) < size:
            self.leaves.append(f"{self.origin} entry {len(self.leaves)}".encode())

    def text(self, size, root=None, extra=""):
        self.grow(size)
        root = mth(self.leaves[:size]) if root is None else root
        return f"{self.origin}\n{size}\n{base64.b64encode(root).decode()}\n{extra}"

    def signature_line(self, text, key=None, name=None):
        key = key or self.key
        name = name or self.origin
        blob = key_id(name, 1, raw_public(key)) + key.sign(text.encode())
        return f"{EM_DASH} {name} {base64.b64encode(blob).decode()}\n"

    def note(self, size, **text_options):
        text = self.text(size, **text_options)
        return text + "\n" + self.signature_line(text)

    def proof(self, old, size):
        self.grow(size)
        return consistency_proof(old, self.leaves[:size]) if old else []


def request_body(old, proof, note):
    lines = [f"old {old}\n"] + [base64.b64encode(h).decode() + "\n" for h in proof]
    return ("".join(lines) + "\n" + note).encode()


def check_cosignature(line, witness_vkey, checkpoint_text):
    """The timestamp of a cosignature line, checked independently against the witness's vkey."""
    name, hex_id, data = witness_vkey.split("+", 2)
    raw = base64.b64decode(data)
    assert raw[0] == 0x04 and len(raw) == 33
    assert bytes.fromhex(hex_id) == key_id(name, 4, raw[1:])
    assert line.startswith(f"{EM_DASH} {name} ") and line.endswith("\n")
    blob = base64.b64decode(line.split(" ")[2])
    assert len(blob) == 4 + 8 + 64 and blob[:4] == bytes.fromhex(hex_id)
    timestamp = int.from_bytes(blob[4:12], "big")
    message = f"cosignature/v1\ntime {timestamp}\n{checkpoint_text}".encode()
    Ed25519PublicKey.from_public_bytes(raw[1:]).verify(blob[12:], message)
    return timestamp


def witness_key(path):
    assert cli.main(["keygen", "--key", str(path), WITNESS_NAME]) == 0
    return _native.witness_vkey(str(path))


class WitnessProcess:
    """A real `oxa-witness serve` on 127.0.0.1."""

    def __init__(self, directory, logs, extra=(), db=None):
        self.directory = Path(directory)
        self.key = self.directory / "witness.key"
        if not self.key.exists():
            witness_key(self.key)
        self.vkey = _native.witness_vkey(str(self.key))
        self.policy = self.directory / "policy"
        self.policy.write_text("# the logs this witness follows\n" + "".join(f"log {log.vkey}\n" for log in logs))
        self.db = db or self.directory / "witness.db"
        self.extra = list(extra)
        self.start()

    def start(self):
        # Standard error goes to a file: a pipe nobody reads could fill and stall the witness.
        self.errors = self.directory / "witness.stderr"
        with open(self.errors, "ab") as errors:
            self.process = subprocess.Popen(
                [str(BIN / "oxa-witness"), "serve", "--key", str(self.key), "--policy", str(self.policy),
                 "--db", str(self.db), "--listen", "127.0.0.1:0", *self.extra],
                stdout=subprocess.PIPE, stderr=errors, text=True)
        first = self.process.stdout.readline()
        assert first.startswith("listening on http://127.0.0.1:"), first + self.errors.read_text()
        self.port = int(first.rsplit(":", 1)[1])

    def connection(self):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=20)

    def post(self, body, connection=None):
        """(status, content type, body text) of one add-checkpoint request."""
        own = connection is None
        connection = connection or self.connection()
        try:
            connection.request("POST", "/add-checkpoint", body=body)
            response = connection.getresponse()
            return response.status, response.getheader("Content-Type"), response.read().decode()
        finally:
            if own:
                connection.close()

    def stored_size(self, log):
        """The size the witness holds for a log it has cosigned, from its 409 answer."""
        status, content_type, body = self.post(request_body(0, [], log.note(max(len(log.leaves), 1))))
        assert status == 409 and content_type == "text/x.tlog.size", (status, body)
        return int(body)

    def stop(self):
        """SIGTERM; returns the exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=20)
        finally:
            self.process.stdout.close()

    def kill(self):
        self.process.kill()
        self.process.wait()
        self.process.stdout.close()


@pytest.fixture
def make_witness(tmp_path):
    started = []

    def make(logs, **options):
        witness = WitnessProcess(tmp_path, logs, **options)
        started.append(witness)
        return witness

    yield make
    for witness in started:
        if witness.process.poll() is None:
            assert witness.stop() == 0


# The key commands.

def test_keygen_writes_an_owner_only_key_once_and_prints_the_cosignature_vkey(tmp_path, capsys):
    key = tmp_path / "w.key"
    assert cli.main(["keygen", "--key", str(key), WITNESS_NAME]) == 0
    vkey = capsys.readouterr().out.strip()
    assert stat.S_IMODE(key.stat().st_mode) == 0o600
    name, hex_id, data = vkey.split("+", 2)
    raw = base64.b64decode(data)
    assert name == WITNESS_NAME and raw[0] == 0x04 and bytes.fromhex(hex_id) == key_id(name, 4, raw[1:])

    before = key.read_bytes()
    assert cli.main(["keygen", "--key", str(key), WITNESS_NAME]) == 1
    assert "already exists" in capsys.readouterr().err
    assert key.read_bytes() == before
    assert cli.main(["vkey", "--key", str(key)]) == 0
    assert capsys.readouterr().out.strip() == vkey


@pytest.mark.parametrize("policy, db, message", [
    ("", "db", "names no log"),
    ("log not-a-key\n", "db", "line 1"),
    ("log {vkey}\nlog {vkey}\n", "db", "listed twice"),
    ("log {vkey}\n", "missing/db", "unable to open"),
], ids=["no-log", "bad-vkey", "duplicate-log", "database-in-missing-directory"])
def test_serve_refuses_what_it_cannot_use(tmp_path, capsys, policy, db, message):
    key = tmp_path / "w.key"
    witness_key(key)
    policy_file = tmp_path / "policy"
    policy_file.write_text(policy.format(vkey=Log("example.com/log").vkey))
    status = cli.main(["serve", "--key", str(key), "--policy", str(policy_file), "--db", str(tmp_path / db),
                       "--listen", "127.0.0.1:0"])
    assert status == 1
    assert message in capsys.readouterr().err


# The protocol's checks, run in-process on the native code the server uses.

@pytest.fixture
def native_witness(tmp_path):
    log = Log("example.com/proofs")
    key = tmp_path / "w.key"
    witness_key(key)
    handle, vkey, origins = _native.witness_new(str(key), f"log {log.vkey}\n".encode())
    assert origins == [log.origin]
    return handle, log


def test_every_consistency_proof_between_small_trees_verifies(native_witness):
    handle, log = native_witness
    log.grow(17)
    for size in range(1, 18):
        for old in range(1, size + 1):
            body = request_body(old, log.proof(old, size), log.note(size))
            status, _, _, _, _, _, submission = _native.witness_open_request(handle, body)
            assert status == 200
            assert _native.witness_extends(submission, old, mth(log.leaves[:old])) == 200, (old, size)


def tampered_proofs(proof):
    """Each hash flipped, each hash dropped, one hash too many."""
    for i in range(len(proof)):
        yield proof[:i] + [bytes([proof[i][0] ^ 1]) + proof[i][1:]] + proof[i + 1:]
        yield proof[:i] + proof[i + 1:]
    yield proof + [hashlib.sha256(b"extra").digest()]


@pytest.mark.parametrize("old, size", [(1, 2), (3, 7), (4, 8), (5, 13), (8, 9), (6, 6)])
def test_a_tampered_proof_or_an_old_root_that_differs_is_refused(native_witness, old, size):
    handle, log = native_witness
    proof = log.proof(old, size)
    for bad in tampered_proofs(proof):
        status, _, _, _, _, _, submission = _native.witness_open_request(handle, request_body(old, bad, log.note(size)))
        assert status == 200
        assert _native.witness_extends(submission, old, mth(log.leaves[:old])) == 422, bad
    status, _, _, _, _, _, submission = _native.witness_open_request(handle, request_body(old, proof, log.note(size)))
    other_root = hashlib.sha256(b"another history").digest()
    assert _native.witness_extends(submission, old, other_root) == (409 if old == size else 422)


# The add-checkpoint protocol against a real server. Each case starts from a
# log whose checkpoint of size 4 the witness has cosigned.

def foreign_key_note(log, size):
    """A checkpoint with the log's origin signed by a key the witness does not trust."""
    text = log.text(size)
    return text + "\n" + log.signature_line(text, key=Ed25519PrivateKey.generate())


def forged_signature_note(log, size):
    text = log.text(size)
    line = log.signature_line(text)
    blob = bytearray(base64.b64decode(line.split(" ")[2]))
    blob[-1] ^= 1
    return text + "\n" + f"{EM_DASH} {log.origin} {base64.b64encode(bytes(blob)).decode()}\n"


STATUS_CASES = {
    # id: (build the body from the log, expected status, expected body or None)
    "extends-with-proof": (lambda log: request_body(4, log.proof(4, 7), log.note(7)), 200, None),
    "same-checkpoint-again": (lambda log: request_body(4, [], log.note(4)), 200, None),
    "unknown-origin": (lambda log: request_body(0, [], Log("example.com/stranger").note(3)), 404, None),
    "untrusted-key-only": (lambda log: request_body(4, log.proof(4, 7), foreign_key_note(log, 7)), 403, None),
    "forged-signature": (lambda log: request_body(4, log.proof(4, 7), forged_signature_note(log, 7)), 403, None),
    "old-above-new": (lambda log: request_body(5, [], log.note(4)), 400, None),
    "old-size-leading-zero": (lambda log: request_body("04", log.proof(4, 7), log.note(7)), 400, None),
    "proof-line-not-base64": (lambda log: b"old 4\nnot base64!\n\n" + log.note(7).encode(), 400, None),
    "proof-line-short-hash": (lambda log: request_body(4, [b"\1" * 31], log.note(7)), 400, None),
    "sixty-four-proof-lines": (lambda log: request_body(4, [b"\1" * 32] * 64, log.note(7)), 400, None),
    "no-empty-line": (lambda log: b"old 4\n" + log.note(7).encode().replace(b"\n\n", b"\n"), 400, None),
    "note-without-signature": (lambda log: request_body(4, log.proof(4, 7), log.text(7)), 400, None),
    "old-size-not-stored": (lambda log: request_body(2, log.proof(2, 7), log.note(7)), 409, "4\n"),
    "first-contact-assumed": (lambda log: request_body(0, [], log.note(7)), 409, "4\n"),
    "same-size-other-root": (lambda log: request_body(4, [], log.note(4, root=b"\7" * 32)), 409, "4\n"),
    "proof-wrong-hashes": (lambda log: request_body(4, [b"\2" * 32 for _ in log.proof(4, 7)], log.note(7)), 422, None),
    "proof-too-short": (lambda log: request_body(4, log.proof(4, 7)[:-1], log.note(7)), 422, None),
    "proof-of-equal-sizes": (lambda log: request_body(4, [b"\2" * 32], log.note(4)), 422, None),
    "checkpoint-of-another-tree": (lambda log: request_body(4, log.proof(4, 7), log.note(7, root=b"\3" * 32)), 422, None),
}

POOL_SIZE = len(STATUS_CASES)


@pytest.fixture(scope="module")
def shared_witness(tmp_path_factory):
    logs = [Log(f"example.org/log-{i}") for i in range(POOL_SIZE + 4)]
    witness = WitnessProcess(tmp_path_factory.mktemp("witness"), logs)
    for log in logs:
        assert witness.post(request_body(0, [], log.note(4)))[0] == 200
    yield witness, logs
    assert witness.stop() == 0


@pytest.mark.parametrize("case", list(STATUS_CASES), ids=list(STATUS_CASES))
def test_add_checkpoint_answers(shared_witness, case):
    witness, logs = shared_witness
    log = logs[list(STATUS_CASES).index(case)]
    build, expected, expected_body = STATUS_CASES[case]
    status, content_type, body = witness.post(build(log))
    assert status == expected, body
    if expected == 409:
        assert content_type == "text/x.tlog.size" and body == expected_body
    elif expected == 200:
        size = 7 if case == "extends-with-proof" else 4
        timestamp = check_cosignature(body, witness.vkey, log.text(size))
        assert abs(timestamp - time.time()) < 60
    # A refused request leaves the stored checkpoint as it was.
    assert witness.stored_size(log) == (7 if case == "extends-with-proof" else 4)
    # A signed checkpoint that contradicts the cosigned one is noted as evidence.
    noted = f"{log.origin}: a checkpoint of size" in witness.errors.read_text()
    assert noted == (case in ("same-size-other-root", "proof-wrong-hashes", "proof-too-short",
                              "proof-of-equal-sizes", "checkpoint-of-another-tree"))


def test_a_checkpoint_with_extension_lines_and_several_signatures_is_cosigned(shared_witness):
    witness, logs = shared_witness
    log = logs[POOL_SIZE]
    text = log.text(9, extra="extension line\n")
    note = (text + "\n" + log.signature_line(text, key=Ed25519PrivateKey.generate(), name="other.example/key")
            + log.signature_line(text, key=Ed25519PrivateKey.generate())  # the origin's name, another key
            + log.signature_line(text))
    status, content_type, body = witness.post(request_body(4, log.proof(4, 9), note))
    assert status == 200 and content_type.startswith("text/plain")
    check_cosignature(body, witness.vkey, text)
    # The cosigned note, with the witness's line added, is still a note the witness accepts.
    assert witness.post(request_body(9, [], note + body))[0] == 200


def cosignature_line(key, name, text, timestamp):
    """A cosignature line made with cryptography."""
    message = f"cosignature/v1\ntime {timestamp}\n{text}".encode()
    blob = key_id(name, 4, raw_public(key)) + timestamp.to_bytes(8, "big") + key.sign(message)
    return f"{EM_DASH} {name} {base64.b64encode(blob).decode()}\n"


def test_cosignatures_on_a_note_are_checked_against_a_policy_and_its_quorum(shared_witness):
    witness, logs = shared_witness
    log = logs[POOL_SIZE + 2]
    status, _, witness_line = witness.post(request_body(4, log.proof(4, 6), log.note(6)))
    assert status == 200
    other, forged = Ed25519PrivateKey.generate(), Ed25519PrivateKey.generate()
    text = log.text(6)
    # Signed at one time, claiming another: the signature does not cover the claim.
    signed = cosignature_line(forged, "y.example/w", text, 1700000000)
    blob = bytearray(base64.b64decode(signed.split(" ")[2]))
    blob[11] ^= 1
    forged_line = f"{EM_DASH} y.example/w {base64.b64encode(bytes(blob)).decode()}\n"
    note = (log.note(6) + witness_line + cosignature_line(other, "x.example/w", text, 1700000000)
            + forged_line + cosignature_line(Ed25519PrivateKey.generate(), "z.example/w", text, 1))

    def cosigner_vkey(key, name):
        data = base64.b64encode(bytes([4]) + raw_public(key)).decode()
        return f"{name}+{key_id(name, 4, raw_public(key)).hex()}+{data}"

    policy = (f"log {log.vkey}\nwitness W {witness.vkey}\nwitness X {cosigner_vkey(other, 'x.example/w')}\n"
              f"witness Y {cosigner_vkey(forged, 'y.example/w')}\n"
              f"witness Q {cosigner_vkey(Ed25519PrivateKey.generate(), 'q.example/w')}\n"
              "group G 2 W X Y Q\nquorum G\n")
    verified, bad = oxa_witness.cosignatures(policy, note)
    assert sorted(verified) == ["W", "X"] and bad == ["Y"]
    assert oxa_witness.quorum_met(policy, verified)
    assert not oxa_witness.quorum_met(policy, ["W"])


# The HTTP service.

def test_keep_alive_carries_many_requests_and_other_paths_are_refused(shared_witness):
    witness, logs = shared_witness
    log = logs[POOL_SIZE + 1]
    connection = witness.connection()
    try:
        for size in range(5, 12):
            status, _, body = witness.post(request_body(size - 1, log.proof(size - 1, size), log.note(size)), connection)
            assert status == 200, body
        connection.request("POST", "/other", body=b"x")
        response = connection.getresponse()
        assert response.status == 404 and response.read()
        connection.request("GET", "/add-checkpoint")
        response = connection.getresponse()
        assert response.status == 405 and response.read() == b""
        # An oversized body is refused without being read, and the connection closed.
        connection.request("POST", "/add-checkpoint", body=b"x" * (64 * 1024 + 1))
        response = connection.getresponse()
        assert response.status == 413 and response.getheader("Connection") == "close"
        response.read()
    finally:
        connection.close()


def test_a_silent_client_is_dropped_and_never_stalls_the_others(make_witness):
    log = Log("example.net/log")
    witness = make_witness([log], extra=["--idle-timeout", "1"])
    silent = socket.create_connection(("127.0.0.1", witness.port))
    try:
        silent.sendall(b"POST /add-checkpoint HTTP/1.1\r\nHost: x\r\nContent-Length: 500\r\n\r\nold 0\n")
        started = time.monotonic()
        assert witness.post(request_body(0, [], log.note(3)))[0] == 200
        assert time.monotonic() - started < 1
        silent.settimeout(10)
        assert silent.recv(1024) == b""  # closed by the witness
        assert time.monotonic() - started < 5
    finally:
        silent.close()


def test_racing_requests_for_one_origin_never_roll_it_back(make_witness):
    log = Log("example.net/raced")
    witness = make_witness([log])
    assert witness.post(request_body(0, [], log.note(1)))[0] == 200
    stored = 1
    for round_ in range(15):
        sizes = [stored + 1 + i * 3 for i in range(4)]
        bodies = [request_body(stored, log.proof(stored, size), log.note(size)) for size in sizes]
        barrier = threading.Barrier(len(bodies))
        answers = [None] * len(bodies)

        def submit(i):
            connection = witness.connection()
            connection.connect()
            barrier.wait()
            answers[i] = witness.post(bodies[i], connection)
            connection.close()

        threads = [threading.Thread(target=submit, args=(i,)) for i in range(len(bodies))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        winners = [size for size, answer in zip(sizes, answers) if answer[0] == 200]
        assert len(winners) == 1, answers
        assert all(answer[0] == 409 and int(answer[2]) == winners[0]
                   for answer in answers if answer[0] != 200)
        stored = witness.stored_size(log)
        assert stored == winners[0]


@pytest.mark.integration
def test_state_survives_sigkill_under_load_and_sigterm_exits_cleanly(make_witness):
    logs = [Log(f"example.net/load-{i}") for i in range(6)]
    witness = make_witness(logs)
    answered = {log.origin: 0 for log in logs}
    stop = threading.Event()

    def submit(log):
        connection = witness.connection()
        size = 0
        try:
            while not stop.is_set():
                status, _, _ = witness.post(request_body(size, log.proof(size, size + 3), log.note(size + 3)), connection)
                if status != 200:
                    return
                size += 3
                answered[log.origin] = size
        except (OSError, http.client.HTTPException):
            pass  # the witness was killed
        finally:
            connection.close()

    threads = [threading.Thread(target=submit, args=(log,)) for log in logs]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + 20
    while min(answered.values()) < 9 and time.monotonic() < deadline:
        time.sleep(0.05)
    witness.kill()
    stop.set()
    for thread in threads:
        thread.join()
    assert min(answered.values()) >= 9

    witness.start()
    for log in logs:
        assert witness.stored_size(log) >= answered[log.origin]
    assert witness.stop() == 0


# Storage failures are never answered as cosigned.

def test_a_failed_commit_raises_and_stores_nothing(tmp_path):
    from oxa_witness.state import WitnessState

    state = WitnessState(str(tmp_path / "state.db"))
    try:
        assert state.advance(b"o", 3, b"r" * 32, lambda size, root: 200) == (200, 0)
        with pytest.raises(sqlite3.Error):
            state.advance(b"o", 5, object(), lambda size, root: 200)  # a root SQLite cannot bind
        seen = []
        assert state.advance(b"o", 5, b"s" * 32, lambda size, root: seen.append((size, root)) or 200) == (200, 3)
        assert seen == [(3, b"r" * 32)]
    finally:
        state.close()


def test_a_storage_failure_is_answered_500_without_a_cosignature(tmp_path):
    from oxa_witness.server import WitnessServer

    class BrokenState:
        def advance(self, origin, size, root, check):
            raise sqlite3.OperationalError("disk I/O error")

    log = Log("example.net/broken-disk")
    key = tmp_path / "w.key"
    witness_key(key)
    handle, _, _ = _native.witness_new(str(key), f"log {log.vkey}\n".encode())
    server = WitnessServer(("127.0.0.1", 0), handle, BrokenState(), 10)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        connection = http.client.HTTPConnection("127.0.0.1", server.server_address[1], timeout=20)
        connection.request("POST", "/add-checkpoint", body=request_body(0, [], log.note(2)))
        response = connection.getresponse()
        assert response.status == 500 and EM_DASH not in response.read().decode()
        connection.close()
    finally:
        server.shutdown()
        server.server_close()
