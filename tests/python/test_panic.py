"""Internal faults reach Python as PanicException, after a report on stderr."""
import json

import pytest

from conftest import run_python

PRELUDE = """
import ctypes, errno, json, time
import tvel_oxa
shim = ctypes.CDLL(None)
def outcome(call):
    try:
        call()
    except Exception as error:
        return {"caught_by": "Exception", "type": type(error).__name__, "message": str(error)}
    except BaseException as error:
        return {"caught_by": "BaseException", "type": type(error).__name__, "module": type(error).__module__,
                "message": str(error), "args": list(error.args), "doc": type(error).__doc__,
                "bases": [b.__name__ for b in type(error).__mro__]}
    return {"caught_by": None}
"""


def run_faulty(fault_shim, body):
    result = run_python(PRELUDE + body, preload=fault_shim)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1]), result.stderr


def test_random_failure_while_making_a_chain_id(fault_shim):
    outcome, stderr = run_faulty(fault_shim, """
shim.oxa_shim_fail_random(errno.EIO)
first = outcome(lambda: tvel_oxa.HumanDeltaChain("r", True, "n"))
second_type = None
try:
    tvel_oxa.HumanDeltaChain("r", True, "n")
except BaseException as error:
    second_type = type(error)
shim.oxa_shim_fail_random(0)
first["same_class"] = second_type is not None and second_type.__name__ == "PanicException"
first["given_id_needs_no_random"] = tvel_oxa.HumanDeltaChain("r", True, "n", "id").chain_id
print(json.dumps(first))
""")
    assert outcome["caught_by"] == "BaseException"
    assert outcome["type"] == "PanicException"
    assert outcome["bases"] == ["PanicException", "BaseException", "object"]
    assert outcome["message"] == "could not retrieve random bytes for uuid: Input/output error (os error 5)"
    assert outcome["args"] == [outcome["message"]]
    assert "BaseException" in outcome["doc"]
    assert outcome["same_class"]
    assert outcome["given_id_needs_no_random"] == "id"
    assert outcome["message"] in stderr


def test_panic_class_is_created_once(fault_shim):
    outcome, _ = run_faulty(fault_shim, """
shim.oxa_shim_fail_random(errno.ENOSYS)
classes = set()
for _ in range(3):
    try:
        tvel_oxa.HumanDeltaChain("r", True, "n")
    except BaseException as error:
        classes.add(id(type(error)))
print(json.dumps({"distinct": len(classes)}))
""")
    assert outcome == {"distinct": 1}


@pytest.mark.parametrize(
    "setup, expected",
    [
        ("shim.oxa_shim_fail_random(errno.ENOSYS)",
         "could not retrieve random bytes for uuid: Function not implemented (os error 38)"),
        ("shim.oxa_shim_realtime_before_epoch(1)", "system time before Unix epoch"),
        ("shim.oxa_shim_fail_clock(time.CLOCK_MONOTONIC_RAW, errno.EINVAL)", "could not read the monotonic clock"),
    ],
    ids=["random-source", "clock-before-1970", "monotonic-clock"],
)
def test_capture_fault_after_sealing_keeps_the_engine_state(fault_shim, tmp_path, setup, expected):
    log = tmp_path / "audit.wal"
    outcome, stderr = run_faulty(fault_shim, f"""
engine = tvel_oxa.OXAEngine({str(log)!r})
twin = tvel_oxa.OXAEngine(":memory:")
args = (None, "Hello", None, "", tvel_oxa.PPPTriplet("a", "b", "c"), tvel_oxa.HumanDeltaChain("r", True, "n", "c"))
{setup}
result = outcome(lambda: engine.capture(*args))
shim.oxa_shim_fail_random(0); shim.oxa_shim_realtime_before_epoch(0); shim.oxa_shim_fail_clock(-1, 0)
after = engine.capture(*args)
twin.capture(*args)
twin_second = twin.capture(*args)
result["state_advanced"] = (after.reputation_scalar, after.hash) == (twin_second.reputation_scalar, twin_second.hash)
print(json.dumps(result))
""")
    assert outcome["type"] == "PanicException"
    assert outcome["message"].startswith(expected)
    assert outcome["state_advanced"]
    assert expected in stderr
    # The failed capture wrote no line; the one after it did.
    assert log.read_bytes().count(b"\n") == 1


def test_random_failure_while_making_a_memory_key(fault_shim):
    outcome, _ = run_faulty(fault_shim, """
shim.oxa_shim_fail_random(errno.EAGAIN)
print(json.dumps(outcome(lambda: tvel_oxa.OXAEngine(":memory:"))))
""")
    assert outcome["type"] == "PanicException"
    assert outcome["message"].startswith("Error: ")
