"""Overlapping use of one object: re-entry by the holding thread is refused, other threads wait."""
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


# What another thread does while a capture holds the engine and reads the
# context objects: it waits, with the interpreter lock released, and then
# succeeds.
OTHER_THREAD_ACTIONS = [
    ("assign-triplet", lambda engine, args: setattr(args["ppp_triplet"], "provenance", "from-thread"),
     lambda engine, args, result: args["ppp_triplet"].provenance == "from-thread"),
    ("assign-review", lambda engine, args: setattr(args["human_delta_chain"], "resolved", False),
     lambda engine, args, result: args["human_delta_chain"].resolved is False),
    ("capture-same-engine", lambda engine, args: engine.capture(**args),
     lambda engine, args, result: isinstance(result, tvel_oxa.SealedRecord)),
    ("public-key", lambda engine, args: engine.public_key_hex(),
     lambda engine, args, result: result == engine.public_key_hex()),
]


@pytest.mark.parametrize("action, succeeded", [a[1:] for a in OTHER_THREAD_ACTIONS],
                         ids=[a[0] for a in OTHER_THREAD_ACTIONS])
def test_another_thread_waits_for_a_running_capture(json_hook, memory_engine, capture_args, action, succeeded):
    outcome = {}

    def act():
        try:
            outcome["result"] = action(memory_engine, capture_args)
        except BaseException as error:  # pragma: no cover - reported below
            outcome["error"] = repr(error)

    worker = threading.Thread(target=act)

    def start_worker_while_held():
        if worker.ident is None:
            worker.start()
            # The worker runs meanwhile (this sleep releases the interpreter
            # lock) and must still be waiting for the borrow.
            worker.join(0.2)
            outcome["waited"] = worker.is_alive()

    json_hook.append(start_worker_while_held)
    record = memory_engine.capture(**capture_args)
    json_hook.clear()
    worker.join(10)

    assert not worker.is_alive()
    assert "error" not in outcome, outcome["error"]
    assert outcome["waited"]
    assert succeeded(memory_engine, capture_args, outcome["result"])
    # The running capture took its snapshot before the other thread's change.
    assert '"provenance":"model-a"' in record.ppp_json
    assert '"resolved":true' in record.human_delta_chain_json
