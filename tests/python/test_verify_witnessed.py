"""oxa-verify with an auditor's witness policy: cosignatures on the notary's checkpoints, the quorum,
the unwitnessed tail, and proofs of one record.

The cosignatures are made and checked with independent code (cryptography and hashlib); one case
takes them from a real `oxa-witness serve`.
"""

import base64
import hashlib
import http.client
import json
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

import oxa_verify
import tvel_oxa
from oxa_verify import fleet

BIN = Path(sys.executable).parent
ORIGIN = "example.com/witnessed-audit"
EM_DASH = "\u2014"
SIZES = [4, 8, 12]  # the checkpoints the fixture's notary makes
TIME = 1_780_000_000


def run(command, *args, timeout=120):
    return subprocess.run([str(BIN / command), *map(str, args)], capture_output=True, text=True, timeout=timeout)


def raw_public(key):
    return key.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)


def key_id(name, type_byte, public):
    return hashlib.sha256(name.encode() + b"\n" + bytes([type_byte]) + public).digest()[:4]


def vkey_text(name, type_byte, public):
    data = base64.b64encode(bytes([type_byte]) + public).decode()
    return f"{name}+{key_id(name, type_byte, public).hex()}+{data}"


class Witness:
    """A witness's Ed25519 cosignature key (type 0x04), held by the test."""

    def __init__(self, name):
        self.name = name
        self.key_name = f"{name.lower()}.witness.example"
        self.key = Ed25519PrivateKey.generate()

    @property
    def vkey(self):
        return vkey_text(self.key_name, 4, raw_public(self.key))

    def line(self, text, timestamp=TIME, key=None):
        """The cosignature line of a checkpoint text."""
        message = f"cosignature/v1\ntime {timestamp}\n{text}".encode()
        blob = key_id(self.key_name, 4, raw_public(self.key)) + timestamp.to_bytes(8, "big") + (key or self.key).sign(
            message)
        return f"{EM_DASH} {self.key_name} {base64.b64encode(blob).decode()}\n"


WITNESSES = {name: Witness(name) for name in "ABCD"}


def body_of(note):
    return note[: note.rindex("\n\n") + 1]


def cosigned_entries(path, who, forge=None):
    """The checkpoint file at `path` with cosignatures added: who[size] names the witnesses of the checkpoint
    of that size; forge(witness, text, line) may replace a line."""
    entries = [json.loads(line) for line in Path(path).read_text().splitlines()]
    for entry in entries:
        text = body_of(entry["note"])
        for name in who.get(entry["size"], ""):
            line = WITNESSES[name].line(text)
            entry["note"] += forge(WITNESSES[name], text, line) if forge else line
    Path(path).write_text("".join(json.dumps(entry) + "\n" for entry in entries))
    return entries


def capture(engine, count, tag):
    for i in range(count):
        engine.capture({"i": i, "tag": tag}, f"prompt {tag} {i}", ["looked"], f"output {tag} {i}",
                       tvel_oxa.PPPTriplet("model-a", "eu-west", "triage"),
                       tvel_oxa.HumanDeltaChain(f"ticket-{tag}-{i}", False, "queue"))


def make_log(directory, key, tag="a", sizes=SIZES):
    """A log of two engines sealed at each of `sizes` lines; returns (log, engine public key)."""
    log = directory / "audit.wal"
    first, second = tvel_oxa.OXAEngine(str(log)), tvel_oxa.OXAEngine(str(log))
    done = 0
    for size in sizes:
        capture(first, (size - done) // 2, tag + "1")
        capture(second, size - done - (size - done) // 2, tag + "2")
        done = size
        sealed = run("oxa-notary", "seal", "--key", key, "--origin", ORIGIN, log)
        assert sealed.returncode == 0, sealed.stderr
    return log, first.public_key_hex()


@pytest.fixture
def sealed(tmp_path, notary_key):
    log, public_key = make_log(tmp_path, notary_key[0])
    return log, Path(f"{log}.checkpoints"), public_key


def write_policy(path, notary_vkey, rules, witnesses="ABCD"):
    path.write_text(f"# the auditor's policy\nlog {notary_vkey}\n"
                    + "".join(f"witness {n} {WITNESSES[n].vkey}\n" for n in witnesses) + rules)
    return path


def verify(log, checkpoints, policy, *extra):
    result = run("oxa-verify", "--json", "--checkpoints", checkpoints, "--policy", policy, *extra, log)
    assert result.returncode in (0, 1), result.stderr
    return result.returncode, json.loads(result.stdout)


def kinds(findings):
    return [finding["kind"] for finding in findings]


# --- the quorum, end to end -----------------------------------------------------------------------

# (rules, who cosigns the last checkpoint, whether the quorum is met, the witnesses the report names)
QUORUM_CASES = [
    ("any", "group G any A B C\nquorum G\n", "C", True, ["C"]),
    ("all-met", "group G all A B C\nquorum G\n", "ABC", True, ["A", "B", "C"]),
    ("all-one-missing", "group G all A B C\nquorum G\n", "AB", False, None),
    ("two-of-three", "group G 2 A B C\nquorum G\n", "AD", False, None),
    ("two-of-three-met", "group G 2 A B C\nquorum G\n", "BCD", True, ["B", "C", "D"]),
    ("nested", "group X 2 A B C\ngroup Y any D\ngroup Q all X Y\nquorum Q\n", "ACD", True, ["A", "C", "D"]),
    ("nested-short", "group X 2 A B C\ngroup Y any D\ngroup Q all X Y\nquorum Q\n", "ABC", False, None),
    ("single-witness", "quorum D\n", "D", True, ["D"]),
    ("none", "quorum none\n", "", True, []),
]


@pytest.mark.parametrize("rules, who, met, named", [case[1:] for case in QUORUM_CASES],
                         ids=[case[0] for case in QUORUM_CASES])
def test_quorum_decides_the_verdict(sealed, notary_key, tmp_path, rules, who, met, named):
    log, checkpoints, _ = sealed
    cosigned_entries(checkpoints, {SIZES[-1]: who})
    status, report = verify(log, checkpoints, write_policy(tmp_path / "policy", notary_key[1], rules))
    summary = report["checkpoints"]
    assert summary["witnesses"] == list("ABCD")
    if met:
        assert status == 0, report["problems"]
        assert summary["last_witnessed"] == {"size": SIZES[-1], "witnesses": named}
        assert summary["witnessed_lines"] == SIZES[-1] and summary["unwitnessed_lines"] == 0
        assert "unwitnessed-tail" not in kinds(report["warnings"])
    else:
        assert status == 1
        assert kinds(report["problems"]) == ["witness-quorum"]
        assert summary["last_witnessed"] is None and summary["unwitnessed_lines"] == SIZES[-1]


def test_quorum_is_described_for_the_reader(sealed, notary_key, tmp_path):
    log, checkpoints, _ = sealed
    cosigned_entries(checkpoints, {8: "AD"})
    policy = write_policy(tmp_path / "policy", notary_key[1], "group X 2 A B C\ngroup Q all X D\nquorum Q\n")
    _, report = verify(log, checkpoints, policy)
    assert report["checkpoints"]["quorum"] == "Q (all of X (2 of A, B, C), D)"
    plain = run("oxa-verify", "--checkpoints", checkpoints, "--policy", policy, log)
    assert plain.returncode == 1
    assert "no checkpoint meets the witness quorum Q (all of X (2 of A, B, C), D)" in plain.stdout


# --- the unwitnessed tail -------------------------------------------------------------------------

@pytest.mark.parametrize("require", [False, True], ids=["warning", "required"])
def test_lines_after_the_last_witnessed_checkpoint(sealed, notary_key, tmp_path, require):
    log, checkpoints, _ = sealed
    # The first two checkpoints meet the quorum, the last only half of it; three more lines are unsealed.
    cosigned_entries(checkpoints, {4: "AB", 8: "BC", 12: "C"})
    engine = tvel_oxa.OXAEngine(str(log))
    capture(engine, 3, "late")
    policy = write_policy(tmp_path / "policy", notary_key[1], "group G 2 A B C\nquorum G\n")
    status, report = verify(log, checkpoints, policy, *(["--require-witnessed"] if require else []))
    summary = report["checkpoints"]
    assert summary["last_witnessed"] == {"size": 8, "witnesses": ["B", "C"]}
    assert (summary["witnessed_lines"], summary["unwitnessed_lines"]) == (8, 7)
    tail = [f for f in report["problems"] + report["warnings"] if f["kind"] == "unwitnessed-tail"]
    assert len(tail) == 1 and tail[0]["line"] == 9 and tail[0]["message"].startswith("7 lines after")
    listed_in = report["problems"] if require else report["warnings"]
    assert tail[0] in listed_in
    assert status == (1 if require else 0)
    if require:
        assert kinds(report["problems"]) == ["unwitnessed-tail"]
    plain = run("oxa-verify", "--checkpoints", checkpoints, "--policy", policy, log)
    assert "last witnessed checkpoint: size 8, cosigned by B, C (quorum G (2 of A, B, C)), covering 8 lines " \
           "(7 after them not witnessed)" in plain.stdout


# --- forged and altered cosignatures --------------------------------------------------------------

def changed_blob(witness, line, change):
    blob = bytearray(base64.b64decode(line.split(" ")[2]))
    change(blob)
    return f"{EM_DASH} {witness.key_name} {base64.b64encode(bytes(blob)).decode()}\n"


def flip_signature(witness, text, line):
    return changed_blob(witness, line, lambda blob: blob.__setitem__(-1, blob[-1] ^ 1))


FORGERIES = {
    "flipped-signature-bit": flip_signature,
    "other-timestamp": lambda w, text, line: changed_blob(
        w, line, lambda blob: blob.__setitem__(slice(4, 12), (TIME + 1).to_bytes(8, "big"))),
    "signed-by-another-key": lambda w, text, line: w.line(text, key=Ed25519PrivateKey.generate()),
    "over-another-checkpoint": lambda w, text, line: w.line(text.replace(ORIGIN, ORIGIN + "-other")),
    "cut-short": lambda w, text, line: changed_blob(w, line, lambda blob: blob.__delitem__(slice(-4, None))),
}


@pytest.mark.parametrize("forge", FORGERIES.values(), ids=FORGERIES.keys())
def test_an_altered_cosignature_is_a_bad_cosignature(sealed, notary_key, tmp_path, forge):
    log, checkpoints, _ = sealed
    cosigned_entries(checkpoints, {8: "AB"})
    # The last checkpoint's cosignature of B is forged; A's alone does not meet the quorum.
    cosigned_entries(checkpoints, {12: "A"})
    cosigned_entries(checkpoints, {12: "B"}, forge=forge)
    policy = write_policy(tmp_path / "policy", notary_key[1], "group G all A B\nquorum G\n")
    status, report = verify(log, checkpoints, policy)
    assert status == 1
    bad = [p for p in report["problems"] if p["kind"] == "bad-cosignature"]
    assert len(bad) == 1 and "size 12" in bad[0]["message"] and "witness B" in bad[0]["message"]
    assert report["checkpoints"]["last_witnessed"] == {"size": 8, "witnesses": ["A", "B"]}


def test_cosignatures_of_keys_outside_the_policy_are_ignored(sealed, notary_key, tmp_path):
    log, checkpoints, _ = sealed
    stranger = Witness("A")  # the same names as A, another key: another key id
    entries = [json.loads(line) for line in checkpoints.read_text().splitlines()]
    for entry in entries:
        entry["note"] += stranger.line(body_of(entry["note"])) + WITNESSES["A"].line(body_of(entry["note"]))
    checkpoints.write_text("".join(json.dumps(entry) + "\n" for entry in entries))
    status, report = verify(log, checkpoints, write_policy(tmp_path / "policy", notary_key[1], "quorum A\n"))
    assert status == 0, report["problems"]
    assert report["checkpoints"]["last_witnessed"] == {"size": 12, "witnesses": ["A"]}


# --- a rewritten history --------------------------------------------------------------------------

@pytest.mark.parametrize("copy_cosignatures", [False, True], ids=["sealed-again", "old-cosignatures-copied"])
def test_a_history_rewritten_and_sealed_again_fails_the_quorum(tmp_path, notary_key, copy_cosignatures):
    first = tmp_path / "first"
    first.mkdir()
    log, _ = make_log(first, notary_key[0])
    witnessed = cosigned_entries(f"{log}.checkpoints", {size: "AB" for size in SIZES})
    policy = write_policy(tmp_path / "policy", notary_key[1], "group G 2 A B C\nquorum G\n")
    assert verify(log, f"{log}.checkpoints", policy)[0] == 0

    # Whoever holds the notary key writes another history and seals it from scratch, in place of the old.
    second = tmp_path / "second"
    second.mkdir()
    rewritten, _ = make_log(second, notary_key[0], tag="z")
    checkpoints = Path(f"{rewritten}.checkpoints")
    if copy_cosignatures:
        entries = [json.loads(line) for line in checkpoints.read_text().splitlines()]
        for entry, old in zip(entries, witnessed):
            entry["note"] += old["note"][old["note"].index(f"{EM_DASH} a.witness"):]
        checkpoints.write_text("".join(json.dumps(entry) + "\n" for entry in entries))
    status, report = verify(rewritten, checkpoints, policy)
    assert status == 1
    expected = (["bad-cosignature"] * 6 if copy_cosignatures else []) + ["witness-quorum"]
    assert sorted(kinds(report["problems"])) == sorted(expected)
    # The notary's own signatures all verify: only the witnesses tell the histories apart.
    assert report["checkpoints"]["count"] == len(SIZES)
    assert "checkpoint-mismatch" not in kinds(report["problems"])


# --- proofs ---------------------------------------------------------------------------------------

def prove(log, line, out):
    result = run("oxa-notary", "prove", "--checkpoints", f"{log}.checkpoints", "--out", out, log, line)
    assert result.returncode == 0, result.stderr
    return out.read_text()


def cosignature_lines(text):
    return [line for line in text.splitlines() if line.startswith(f"{EM_DASH} ") and "witness.example" in line]


@pytest.mark.parametrize("rules, forge, problems, cosigners", [
    ("group G 2 A B C\nquorum G\n", None, [], ["A", "B"]),
    ("group G all A B C\nquorum G\n", None, ["witness-quorum"], ["A", "B"]),
    ("group G 2 A B C\nquorum G\n", flip_signature, ["bad-cosignature", "witness-quorum"], ["A"]),
    ("quorum none\n", None, [], ["A", "B"]),
], ids=["met", "short", "altered", "none-needed"])
def test_a_proof_carries_the_cosigned_checkpoint(sealed, notary_key, tmp_path, rules, forge, problems, cosigners):
    log, checkpoints, public_key = sealed
    cosigned_entries(checkpoints, {12: "A"})
    cosigned_entries(checkpoints, {12: "B"}, forge=forge)
    text = prove(log, 6, tmp_path / "record.proof")
    # The proof holds the checkpoint note whole, cosignatures included, each still verifiable alone.
    note = text[text.index("\n\n") + 2:]
    assert note == json.loads(checkpoints.read_text().splitlines()[-1])["note"]
    for line in cosignature_lines(note):
        witness = next(w for w in WITNESSES.values() if line.startswith(f"{EM_DASH} {w.key_name} "))
        blob = base64.b64decode(line.split(" ")[2])
        if forge is None or witness.name == "A":
            message = f"cosignature/v1\ntime {int.from_bytes(blob[4:12], 'big')}\n{body_of(note)}".encode()
            Ed25519PublicKey.from_public_bytes(raw_public(witness.key)).verify(blob[12:], message)

    policy = write_policy(tmp_path / "policy", notary_key[1], rules)
    result = run("oxa-verify", "--json", "--proof", tmp_path / "record.proof", "--policy", policy,
                 "--public-key", public_key)
    report = json.loads(result.stdout)
    assert result.returncode == (1 if problems else 0), report
    assert kinds(report["problems"]) == problems
    assert report["witnesses"] == cosigners and report["quorum_met"] is ("witness-quorum" not in problems)
    assert report["record_checked"] and report["line"] == 6
    assert oxa_verify.verify_proof(tmp_path / "record.proof", public_key=public_key, policy=policy) == report


# --- usage -----------------------------------------------------------------------------------------

@pytest.mark.parametrize("case, named", [
    ("notary-key-disagrees", "is not a log key of the policy"),
    ("two-logs-no-notary-key", "give --notary-key"),
    ("require-witnessed-without-policy", "--require-witnessed needs --policy"),
    ("policy-without-checkpoints", "--policy needs --checkpoints"),
    ("no-quorum-line", "no quorum line"),
    ("missing-policy-file", "policy"),
    ("policy-is-a-directory", "policy"),
    ("proof-with-require-witnessed", "--require-witnessed"),
])
def test_usage_errors_exit_2(sealed, notary_key, tmp_path, case, named):
    log, checkpoints, _ = sealed
    policy = write_policy(tmp_path / "policy", notary_key[1], "quorum A\n")
    other_vkey = vkey_text(ORIGIN, 1, raw_public(Ed25519PrivateKey.generate()))
    base = ["--checkpoints", checkpoints, log]
    args = {
        "notary-key-disagrees": ["--policy", policy, "--notary-key", other_vkey, *base],
        "two-logs-no-notary-key": [
            "--policy", write_policy(tmp_path / "two", notary_key[1], f"log {other_vkey}\nquorum A\n"), *base],
        "require-witnessed-without-policy": ["--notary-key", notary_key[1], "--require-witnessed", *base],
        "policy-without-checkpoints": ["--policy", policy, log],
        "no-quorum-line": ["--policy", write_policy(tmp_path / "bare", notary_key[1], ""), *base],
        "missing-policy-file": ["--policy", tmp_path / "absent", *base],
        "policy-is-a-directory": ["--policy", tmp_path, *base],
        "proof-with-require-witnessed": ["--proof", checkpoints, "--policy", policy, "--require-witnessed"],
    }[case]
    result = run("oxa-verify", *args)
    assert result.returncode == 2, result.stdout
    assert named in result.stderr


def test_a_notary_key_that_agrees_with_the_policy_picks_its_log(sealed, notary_key, tmp_path):
    log, checkpoints, _ = sealed
    cosigned_entries(checkpoints, {12: "A"})
    other_vkey = vkey_text("other.example/log", 1, raw_public(Ed25519PrivateKey.generate()))
    policy = write_policy(tmp_path / "policy", notary_key[1], f"log {other_vkey}\nquorum A\n")
    status, report = verify(log, checkpoints, policy, "--notary-key", notary_key[1])
    assert status == 0 and report["checkpoints"]["last_witnessed"]["size"] == 12


# --- from Python and in a fleet -------------------------------------------------------------------

def test_verify_log_and_a_fleet_manifest_take_the_policy(sealed, notary_key, tmp_path):
    log, checkpoints, public_key = sealed
    cosigned_entries(checkpoints, {8: "A"})
    policy = write_policy(tmp_path / "policy", notary_key[1], "quorum A\n")
    report = oxa_verify.verify_log(log, public_key=public_key, checkpoints=checkpoints, policy=policy,
                                   require_witnessed=True)
    assert not report["ok"] and kinds(report["problems"]) == ["unwitnessed-tail"]
    status, command = verify(log, checkpoints, policy, "--public-key", public_key, "--require-witnessed")
    assert report == command and status == 1

    manifest = tmp_path / "fleet.jsonl"
    manifest.write_text(json.dumps({"log": log.name, "public_key": public_key, "checkpoints": checkpoints.name,
                                    "policy": "policy", "require_witnessed": True}) + "\n")
    entry, = fleet.read_manifest(manifest)
    assert entry["policy"] == str(policy)
    assert fleet.verify_entry(entry)["report"] == report
    with pytest.raises(fleet.ManifestError, match="line 1"):
        manifest.write_text(json.dumps({"log": log.name, "policy": 7}) + "\n")
        fleet.read_manifest(manifest)


# --- a real witness ---------------------------------------------------------------------------------

def test_a_cosignature_from_a_running_witness_meets_the_quorum(sealed, notary_key, tmp_path):
    log, checkpoints, _ = sealed
    key = tmp_path / "witness.key"
    made = run("oxa-witness", "keygen", "--key", key, "w.example/live")
    assert made.returncode == 0, made.stderr
    vkey = made.stdout.strip()
    (tmp_path / "logs").write_text(f"log {notary_key[1]}\n")
    with open(tmp_path / "witness.stderr", "wb") as errors:
        server = subprocess.Popen([str(BIN / "oxa-witness"), "serve", "--key", str(key), "--policy",
                                   str(tmp_path / "logs"), "--db", str(tmp_path / "witness.db"), "--listen",
                                   "127.0.0.1:0"], stdout=subprocess.PIPE, stderr=errors, text=True)
    try:
        port = int(server.stdout.readline().rsplit(":", 1)[1])
        entries = [json.loads(line) for line in checkpoints.read_text().splitlines()]
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
        # First contact: old size 0, no proof.
        connection.request("POST", "/add-checkpoint", body=("old 0\n\n" + entries[-1]["note"]).encode())
        response = connection.getresponse()
        answer = response.read().decode()
        assert response.status == 200, answer
        connection.close()
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=20)
        server.stdout.close()
    entries[-1]["note"] += answer
    checkpoints.write_text("".join(json.dumps(entry) + "\n" for entry in entries))
    policy = tmp_path / "policy"
    policy.write_text(f"log {notary_key[1]}\nwitness Live {vkey}\nquorum Live\n")
    status, report = verify(log, checkpoints, policy)
    assert status == 0, report["problems"]
    assert report["checkpoints"]["last_witnessed"] == {"size": SIZES[-1], "witnesses": ["Live"]}
