"""The capture pipeline from end to end, checked against independent BLAKE3 and Ed25519."""
import json
import os
import re
import sys
import time
import types
from datetime import datetime, timezone

import blake3
import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

import tvel_oxa
from conftest import run_python

GENESIS = blake3.blake3(b"genesis").hexdigest()
RECORD_ID = re.compile(r"^oxa_[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
TIMESTAMP = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?\+00:00$")

RECORD_DOCS = {
    "id": "Universally unique identifier managing the tracking envelope.",
    "timestamp": "RFC3339 timestamp recording standard real-world clock time.",
    "monotonic_nanos": "Monotonic clock offset logging real-world physical processing sequence order.",
    "hash": "BLAKE3 hash string locking total structure components.",
    "signature": "Ed25519 digital signature verifying authority origins.",
    "merkle_root": "Accumulated chain integrity root verifying sequencing order.",
    "coherence_score": "Similarity rating measuring historical continuity states.",
    "reputation_scalar": "System health scale monitoring moving reliability baselines.",
    "ppp_json": "JSON serialization holding provenance parameters.",
    "ctx_json": "JSON string capturing overall operational environment conditions.",
    "prompt": "Standard engineering input used for generating calculations.",
    "reasoning_trace_json": "JSON representation outlining internal calculation steps.",
    "output": "Definitive answer generated through computational operations.",
    "human_delta_chain_json": "JSON structure tracking human oversight and adjustments.",
    "core_insight_json": "JSON representation storing analytical insight parameters.",
}


def canonical_float(x: float) -> str:
    """The hashed float text: Python's shortest digits, scientific below 1e-4 with no exponent padding."""
    if x != 0 and x < 1e-4:
        mantissa, exponent = repr(x).split("e")
        return f"{mantissa}e-{int(exponent[1:])}"
    return repr(x)


def expected_hash(triplet, prompt, record) -> bytes:
    text = (triplet.provenance + triplet.place + triplet.purpose + prompt).encode()
    text += (canonical_float(record.coherence_score) + canonical_float(record.reputation_scalar)).encode()
    return blake3.blake3(text).digest()


def chain_step(root_hex: str, hash_hex: str) -> str:
    return blake3.blake3(f'Hash("{root_hex}")Hash("{hash_hex}")'.encode()).hexdigest()


@pytest.mark.parametrize("x, text", [(1.0, "1.0"), (0.51, "0.51"), (0.0001, "0.0001"), (9.5e-5, "9.5e-5"),
                                     (1e-5, "1e-5"), (0.0, "0.0")])
def test_canonical_float_helper(x, text):
    assert canonical_float(x) == text


def test_record_fields_and_chain_against_independent_checks(memory_engine, capture_args):
    triplet = capture_args["ppp_triplet"]
    verifier = Ed25519PublicKey.from_public_bytes(bytes.fromhex(memory_engine.public_key_hex()))
    root = GENESIS
    for prompt in ["Hello", "é and 中", ""]:
        before_ns = time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW)
        wall_before = datetime.now(timezone.utc)
        record = memory_engine.capture(**{**capture_args, "prompt": prompt})
        wall_after = datetime.now(timezone.utc)

        assert RECORD_ID.match(record.id) and len(record.id) == 40
        assert TIMESTAMP.match(record.timestamp)
        whole_seconds = datetime.strptime(record.timestamp[:19], "%Y-%m-%dT%H:%M:%S").replace(tzinfo=timezone.utc)
        assert wall_before.replace(microsecond=0) <= whole_seconds <= wall_after
        assert before_ns <= record.monotonic_nanos <= time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW)

        digest = expected_hash(triplet, prompt, record)
        assert record.hash == digest.hex()
        signature = record.signature
        assert len(signature) == 64 and all(type(b) is int and 0 <= b <= 255 for b in signature)
        verifier.verify(bytes(signature), digest)
        root = chain_step(root, record.hash)
        assert record.merkle_root == root

        assert type(record.coherence_score) is float and 0.0 <= record.coherence_score <= 1.0
        assert type(record.reputation_scalar) is float
        assert record.ppp_json == '{"provenance":"model-a","place":"eu-west","purpose":"triage"}'
        assert record.human_delta_chain_json == (
            '{"chain_id":"chain-x","agent_decision_ref":"ref-1","resolved":true,"terminal_node":"node-9"}')
        assert (record.ctx_json, record.reasoning_trace_json) == ('{"user": 1}', '["step"]')
        assert (record.prompt, record.output) == (prompt, "done")


@pytest.mark.parametrize("name", list(RECORD_DOCS))
def test_record_attribute_docs_and_read_only(memory_engine, capture_args, name):
    record = memory_engine.capture(**capture_args)
    assert getattr(tvel_oxa.SealedRecord, name).__doc__ == RECORD_DOCS[name]
    before = getattr(record, name)
    with pytest.raises(AttributeError):
        setattr(record, name, before)
    with pytest.raises(AttributeError):
        delattr(record, name)
    assert getattr(record, name) == before


def test_signature_reads_are_fresh_lists(memory_engine, capture_args):
    record = memory_engine.capture(**capture_args)
    first, second = record.signature, record.signature
    assert first == second and first is not second
    first.append(7)
    first[0] = 999
    assert record.signature == second


def test_four_capture_sequence(memory_engine, triplet, review):
    # Combined prompt+output byte lengths 50, 50, 120 and 7.
    records = [memory_engine.capture(None, "p" * n, None, "", triplet, review) for n in (50, 50, 120, 7)]
    assert [round(r.coherence_score, 4) for r in records] == [1.0, 1.0, 0.9104, 0.9446]
    assert [round(r.reputation_scalar, 4) for r in records] == [0.51, 0.5198, 0.5276, 0.536]
    assert [r.core_insight_json is not None for r in records] == [True, True, False, True]
    first = json.loads(records[0].core_insight_json)
    assert list(first) == ["lesson", "confidence", "delta"]
    assert first["lesson"] == "Decision aligns well with historical pattern."
    assert first["delta"]["vector"] == [0] * 64
    assert list(first["delta"]) == ["vector", "confidence", "delta_norm"]
    assert first["delta"]["delta_norm"] == 0.18
    assert first["confidence"] == first["delta"]["confidence"] == records[0].coherence_score
    fourth = json.loads(records[3].core_insight_json)["delta"]["vector"]
    assert fourth[:16] == [34, 28, 19, 7, -5, -17, -27, -33, -35, -31, -24, -13, 0, 11, 23, 31]
    assert len(fourth) == 64


def test_same_length_texts_give_the_same_scores(triplet, review):
    a, b = tvel_oxa.OXAEngine(":memory:"), tvel_oxa.OXAEngine(":memory:")
    for (pa, oa), (pb, ob) in [(("ab", "c"), ("a", "bc")), (("é", ""), ("xy", ""))]:
        ra = a.capture(None, pa, None, oa, triplet, review)
        rb = b.capture(None, pb, None, ob, triplet, review)
        assert (ra.coherence_score, ra.reputation_scalar) == (rb.coherence_score, rb.reputation_scalar)


def test_auto_insight_false_changes_only_the_insight(triplet, review):
    on, off = tvel_oxa.OXAEngine(":memory:"), tvel_oxa.OXAEngine(":memory:")
    for n in (50, 50, 120, 7):
        with_insight = on.capture(None, "p" * n, None, "", triplet, review)
        without = off.capture(None, "p" * n, None, "", triplet, review, auto_insight=False)
        assert without.core_insight_json is None
        # The keys differ, but history, reputation and chain advance alike.
        assert (without.coherence_score, without.reputation_scalar, without.hash, without.merkle_root) == (
            with_insight.coherence_score, with_insight.reputation_scalar, with_insight.hash, with_insight.merkle_root)


def test_unhashed_inputs_leave_the_seal_unchanged(tmp_path, triplet):
    path = str(tmp_path / "shared.wal")
    a, b = tvel_oxa.OXAEngine(path), tvel_oxa.OXAEngine(path)
    ra = a.capture({"a": 1}, "Hello", [1], "out", triplet, tvel_oxa.HumanDeltaChain("r", True, "n"))
    rb = b.capture(None, "Hello", {"x": "y"}, "xyz", triplet, tvel_oxa.HumanDeltaChain("q", False, "m"), False)
    assert (ra.hash, ra.signature, ra.merkle_root) == (rb.hash, rb.signature, rb.merkle_root)
    assert ra.id != rb.id


def test_identical_captures_differ_in_id_and_root(memory_engine, capture_args):
    first, second = memory_engine.capture(**capture_args), memory_engine.capture(**capture_args)
    assert first.id != second.id
    assert first.merkle_root != second.merkle_root


def test_arguments_by_keyword_and_text_subclasses(memory_engine, capture_args):
    class Text(str):
        pass

    record = memory_engine.capture(**{**capture_args, "prompt": Text("Hi"), "output": Text(""), "auto_insight": True})
    assert type(record.prompt) is str and record.prompt == "Hi" and record.output == ""


@pytest.mark.parametrize("ctx, text", [(None, "null"), ({"a": [1, 2]}, '{"a": [1, 2]}'), ("é", '"\\u00e9"')])
def test_ctx_is_kept_as_json_dumps_wrote_it(memory_engine, capture_args, ctx, text):
    assert memory_engine.capture(**{**capture_args, "ctx": ctx}).ctx_json == text


def test_context_changes_after_capture_do_not_reach_the_record(memory_engine, capture_args):
    record = memory_engine.capture(**capture_args)
    capture_args["ppp_triplet"].place = "moved"
    capture_args["human_delta_chain"].resolved = False
    assert '"place":"eu-west"' in record.ppp_json
    assert '"resolved":true' in record.human_delta_chain_json


def _stand_in_json(dumps):
    module = types.ModuleType("json")
    if dumps is not None:
        module.dumps = dumps
    return module


FAILURES = [
    ("surrogate-prompt", {"prompt": "\ud800"}, None, UnicodeEncodeError, "surrogates not allowed"),
    ("surrogate-output", {"output": "x\udfff"}, None, UnicodeEncodeError, "surrogates not allowed"),
    ("unserialisable-ctx", {"ctx": {1, 2}}, None, TypeError, "Object of type set is not JSON serializable"),
    ("unserialisable-trace", {"reasoning_trace": object()}, None, TypeError, "is not JSON serializable"),
    ("dumps-not-text", {}, _stand_in_json(lambda value: 42), TypeError,
     "^'int' object cannot be converted to 'PyString'$"),
    ("no-dumps", {}, _stand_in_json(None), AttributeError, "dumps"),
    ("no-json-module", {}, None.__class__, ImportError, "json"),
]


@pytest.mark.parametrize("override, json_module, error, message", [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES])
def test_serialisation_failures_change_nothing(monkeypatch, tmp_path, capture_args, override, json_module, error, message):
    path = tmp_path / "x.wal"
    engine, twin = tvel_oxa.OXAEngine(str(path)), tvel_oxa.OXAEngine(str(path))
    with monkeypatch.context() as patch:
        if json_module is None.__class__:
            patch.setitem(sys.modules, "json", None)
        elif json_module is not None:
            patch.setitem(sys.modules, "json", json_module)
        with pytest.raises(error, match=message):
            engine.capture(**{**capture_args, **override})
    assert path.read_bytes() == b""
    ours, theirs = engine.capture(**capture_args), twin.capture(**capture_args)
    assert (ours.hash, ours.merkle_root, ours.reputation_scalar) == (theirs.hash, theirs.merkle_root, theirs.reputation_scalar)


def test_json_is_looked_up_at_every_capture(monkeypatch, memory_engine, capture_args):
    calls = []
    monkeypatch.setitem(sys.modules, "json", _stand_in_json(lambda value: calls.append(value) or "[]"))
    record = memory_engine.capture(**capture_args)
    assert calls == [capture_args["ctx"], capture_args["reasoning_trace"]]
    assert (record.ctx_json, record.reasoning_trace_json) == ("[]", "[]")


def test_wrong_receiver_is_refused(capture_args):
    with pytest.raises(TypeError):
        tvel_oxa.OXAEngine.capture("not an engine", **capture_args)


HOLLOW_ATTEMPTS = {
    "OXAEngine": ["hollow.public_key_hex()", "engine_capture(hollow)"],
    "PPPTriplet": ["hollow.place", "setattr(hollow, 'place', 'x')", "memory.capture(*args(ppp_triplet=hollow))"],
    "HumanDeltaChain": ["hollow.resolved", "setattr(hollow, 'chain_id', 'x')",
                        "memory.capture(*args(human_delta_chain=hollow))"],
    "SealedRecord": ["hollow.id", "hollow.signature"],
}


@pytest.mark.parametrize("name", list(HOLLOW_ATTEMPTS))
def test_objects_made_around_the_constructor_are_refused(name):
    # Replacing __new__ changes the class for the whole process: done in a child.
    result = run_python(f"""
        import tvel_oxa
        memory = tvel_oxa.OXAEngine(":memory:")
        def args(ppp_triplet=tvel_oxa.PPPTriplet("a", "b", "c"),
                 human_delta_chain=tvel_oxa.HumanDeltaChain("r", True, "n")):
            return (None, "p", None, "o", ppp_triplet, human_delta_chain)
        def engine_capture(engine):
            return engine.capture(*args())
        cls = tvel_oxa.{name}
        cls.__new__ = lambda cls, *a, **k: object.__new__(cls)
        hollow = cls()
        for attempt in {HOLLOW_ATTEMPTS[name]!r}:
            try:
                eval(attempt)
            except TypeError as error:
                print(error)
            else:
                print("accepted:", attempt)
        del hollow  # deallocation must not touch the payload it never had
        print("alive")
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[-1] == "alive"
    assert all(line.endswith(f"'{name}' object was not created by its constructor") for line in lines[:-1])
    assert len(lines) == len(HOLLOW_ATTEMPTS[name]) + 1


def test_forked_child_never_repeats_its_parents_identifiers(memory_engine, capture_args):
    # Identifiers come from a batch of random bytes; the first capture leaves
    # unserved bytes in it that the child inherits.
    memory_engine.capture(**capture_args)
    count = 20  # more than one batch holds
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(reader)
            ids = [memory_engine.capture(**capture_args).id.removeprefix("oxa_") for _ in range(count)]
            ids += [tvel_oxa.HumanDeltaChain("r", True, "n").chain_id for _ in range(count)]
            with os.fdopen(writer, "w") as out:
                out.write("\n".join(ids))
            status = 0
        finally:
            os._exit(status)
    os.close(writer)
    parent = {memory_engine.capture(**capture_args).id.removeprefix("oxa_") for _ in range(count)}
    parent |= {tvel_oxa.HumanDeltaChain("r", True, "n").chain_id for _ in range(count)}
    with os.fdopen(reader) as source:
        child = set(source.read().split("\n"))
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert len(child) == len(parent) == 2 * count
    assert not child & parent
