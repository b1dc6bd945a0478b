import re

import numpy as np
import pytest

from tvel_oxa import HumanDeltaChain, PPPTriplet

UUID4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")

ATTRIBUTE_DOCS = {
    (PPPTriplet, "provenance"): "Cryptographic or system lineage tracking the structural history.",
    (PPPTriplet, "place"): "The specific systemic, environmental, or geographic processing node.",
    (PPPTriplet, "purpose"): "The logical framework intent guiding the execution loop.",
    (HumanDeltaChain, "chain_id"): "Unique identity tracking the active sequence.",
    (HumanDeltaChain, "agent_decision_ref"): "Reference signature pointer linking directly back to the original model output.",
    (HumanDeltaChain, "resolved"): "Evaluation state marking whether review processing has formally closed.",
    (HumanDeltaChain, "terminal_node"): "Terminal validation node sealing the chain integrity state.",
}


@pytest.mark.parametrize("cls, name", list(ATTRIBUTE_DOCS), ids=[n for _, n in ATTRIBUTE_DOCS])
def test_attribute_docstrings(cls, name):
    assert getattr(cls, name).__doc__ == ATTRIBUTE_DOCS[(cls, name)]


@pytest.mark.parametrize(
    "text",
    ["", "plain", "with\x00nul", "é中🙂", "line\nfeed"],
    ids=["empty", "plain", "nul", "non-ascii", "newline"],
)
def test_text_round_trips(text):
    t = PPPTriplet(text, text, text)
    assert (t.provenance, t.place, t.purpose) == (text, text, text)
    h = HumanDeltaChain(text, False, text, text)
    assert (h.agent_decision_ref, h.terminal_node, h.chain_id) == (text, text, text)


def test_keywords_and_positions_build_the_same_contents():
    a = PPPTriplet(provenance="a", place="b", purpose="c")
    b = PPPTriplet("a", "b", "c")
    assert (a.provenance, a.place, a.purpose) == (b.provenance, b.place, b.purpose)
    h = HumanDeltaChain(chain_id="x", terminal_node="t", resolved=True, agent_decision_ref="r")
    assert (h.chain_id, h.agent_decision_ref, h.resolved, h.terminal_node) == ("x", "r", True, "t")


def test_default_chain_id_is_a_fresh_uuid4():
    ids = {HumanDeltaChain("ref", True, "node").chain_id for _ in range(50)}
    ids.add(HumanDeltaChain("ref", True, "node", None).chain_id)
    assert len(ids) == 51
    assert all(UUID4.match(i) for i in ids)
    assert HumanDeltaChain("ref", True, "node", "").chain_id == ""


@pytest.mark.parametrize(
    "value, expected",
    [(True, True), (False, False), (np.bool_(True), True), (np.bool_(False), False),
     (np.array([1, 0]) > 0, None)],
    ids=["True", "False", "numpy-true", "numpy-false", "numpy-array"],
)
def test_flag_conversion(value, expected):
    if expected is None:
        with pytest.raises(TypeError, match="'ndarray' object cannot be converted to 'PyBool'"):
            HumanDeltaChain("r", value, "n")
        return
    h = HumanDeltaChain("r", value, "n")
    assert h.resolved is expected
    h.resolved = value
    assert h.resolved is expected


def _numpy_like(bool_method):
    """A stand-in for a NumPy boolean scalar type, with the given __bool__."""
    namespace = {"__module__": "numpy"}
    if bool_method is not None:
        namespace["__bool__"] = bool_method
    return type("bool_", (), namespace)


def _raise_type_error_with_cause(self):
    raise TypeError("inner") from KeyError("root")


@pytest.mark.parametrize(
    "bool_method, error, message",
    [
        (lambda self: 1, TypeError, "argument 'resolved': 'int' object cannot be converted to 'PyBool'"),
        (lambda self: 1 / 0, ZeroDivisionError, "division by zero"),
        (_raise_type_error_with_cause, TypeError, "argument 'resolved': inner"),
    ],
    ids=["returns-int", "raises-other", "raises-type-error"],
)
def test_numpy_like_bool_failures(bool_method, error, message):
    with pytest.raises(error) as caught:
        HumanDeltaChain("r", _numpy_like(bool_method)(), "n")
    assert str(caught.value) == message
    if message == "argument 'resolved': inner":
        assert isinstance(caught.value.__cause__, KeyError)


def test_numpy_like_without_bool_conversion():
    cls = _numpy_like(None)
    with pytest.raises(TypeError) as caught:
        HumanDeltaChain("r", cls(), "n")
    assert str(caught.value) == f"argument 'resolved': object of type '{cls}' does not define a '__bool__' conversion"


@pytest.mark.parametrize(
    "obj, name, bad, message",
    [
        (PPPTriplet("a", "b", "c"), "place", 3, "argument 'place': 'int' object cannot be converted to 'PyString'"),
        (HumanDeltaChain("r", True, "n", "id"), "chain_id", None,
         "argument 'chain_id': 'NoneType' object cannot be converted to 'PyString'"),
        (HumanDeltaChain("r", True, "n", "id"), "resolved", 1,
         "argument 'resolved': 'int' object cannot be converted to 'PyBool'"),
    ],
    ids=["triplet-text", "chain-id-none", "resolved-int"],
)
def test_failed_assignment_keeps_the_old_value(obj, name, bad, message):
    old = getattr(obj, name)
    with pytest.raises(TypeError) as caught:
        setattr(obj, name, bad)
    assert str(caught.value) == message
    assert getattr(obj, name) == old


def test_assignment_replaces_and_deletion_is_refused():
    t = PPPTriplet("a", "b", "c")
    t.place = "new"
    assert t.place == "new"
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del t.place
    assert t.place == "new"
    h = HumanDeltaChain("r", True, "n")
    h.resolved = False
    assert h.resolved is False
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del h.resolved


def test_surrogate_assignment_passes_unicode_error():
    t = PPPTriplet("a", "b", "c")
    with pytest.raises(UnicodeEncodeError):
        t.purpose = "\udc80"
    assert t.purpose == "c"
