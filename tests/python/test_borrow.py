"""Overlapping use of one object is refused while a capture holds it."""
import json
import sys
import threading
import types

import pytest

import tvel_oxa


@pytest.fixture
def json_hook(monkeypatch):
    """Installs a stand-in "json" module whose dumps first runs a hook."""
    hooks = []
    stand_in = types.ModuleType("json")

    def dumps(value):
        for hook in hooks:
            hook()
        return json.dumps(value)

    stand_in.dumps = dumps
    monkeypatch.setitem(sys.modules, "json", stand_in)
    return hooks


def test_reentry_during_capture(json_hook, memory_engine, capture_args):
    triplet = capture_args["ppp_triplet"]
    review = capture_args["human_delta_chain"]
    seen = {}

    def reenter():
        seen["read"] = (triplet.place, review.resolved)
        for name, action in [
            ("assign-triplet", lambda: setattr(triplet, "place", "x")),
            ("assign-review", lambda: setattr(review, "resolved", False)),
            ("capture", lambda: memory_engine.capture(**capture_args)),
            ("public-key", memory_engine.public_key_hex),
        ]:
            try:
                action()
            except RuntimeError as error:
                seen[name] = str(error)

    json_hook.append(reenter)
    record = memory_engine.capture(**capture_args)
    json_hook.clear()

    assert seen == {
        "read": ("eu-west", True),
        "assign-triplet": "Already borrowed",
        "assign-review": "Already borrowed",
        "capture": "Already borrowed",
        "public-key": "Already mutably borrowed",
    }
    assert '"place":"eu-west"' in record.ppp_json
    # Every borrow is released once the call returns.
    triplet.place = "after"
    assert triplet.place == "after"
    memory_engine.public_key_hex()


def test_context_objects_are_shareable_across_engines_during_capture(json_hook, capture_args):
    outer, inner = tvel_oxa.OXAEngine(":memory:"), tvel_oxa.OXAEngine(":memory:")
    records = []

    def capture_on_other_engine_once():
        if not records:
            records.append(None)
            records.append(inner.capture(**capture_args))

    json_hook.append(capture_on_other_engine_once)
    outer.capture(**capture_args)
    assert isinstance(records[-1], tvel_oxa.SealedRecord)


def test_borrows_are_released_when_capture_fails(json_hook, memory_engine, capture_args):
    def fail():
        raise ValueError("serialiser broke")

    json_hook.append(fail)
    with pytest.raises(ValueError, match="serialiser broke"):
        memory_engine.capture(**capture_args)
    json_hook.clear()
    capture_args["ppp_triplet"].purpose = "free again"
    assert memory_engine.capture(**capture_args).ppp_json.endswith('"purpose":"free again"}')


def test_inner_capture_error_leaving_dumps_fails_the_outer_call(json_hook, memory_engine, capture_args):
    fresh = tvel_oxa.OXAEngine(":memory:")
    json_hook.append(lambda: memory_engine.capture(**capture_args))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        memory_engine.capture(**capture_args)
    json_hook.clear()
    # The failed call changed nothing: the next record matches a fresh engine's first.
    ours = memory_engine.capture(**capture_args)
    theirs = fresh.capture(**capture_args)
    assert (ours.coherence_score, ours.reputation_scalar, ours.hash) == (
        theirs.coherence_score, theirs.reputation_scalar, theirs.hash)


def test_assignment_from_another_thread_during_capture(json_hook, memory_engine, capture_args):
    triplet = capture_args["ppp_triplet"]
    outcome = {}

    def assign_from_thread():
        try:
            triplet.provenance = "from-thread"
        except RuntimeError as error:
            outcome["error"] = str(error)
        outcome["read"] = triplet.provenance

    def run_thread_while_held():
        worker = threading.Thread(target=assign_from_thread)
        worker.start()
        worker.join()

    json_hook.append(run_thread_while_held)
    record = memory_engine.capture(**capture_args)
    assert outcome == {"error": "Already borrowed", "read": "model-a"}
    assert '"provenance":"model-a"' in record.ppp_json
