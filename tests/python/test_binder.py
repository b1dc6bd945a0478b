"""Argument binding and conversion messages, shared by every callable."""
import pytest

from tvel_oxa import HumanDeltaChain, OXAEngine, PPPTriplet

T = PPPTriplet("a", "b", "c")
H = HumanDeltaChain("r", True, "n")
E = OXAEngine(":memory:")

CASES = [
    ("engine-missing", lambda: OXAEngine(),
     "OXAEngine.__new__() missing 1 required positional argument: 'wal_path'"),
    ("engine-too-many", lambda: OXAEngine("a", "b"),
     "OXAEngine.__new__() takes 1 positional arguments but 2 were given"),
    ("engine-twice", lambda: OXAEngine("a", wal_path="b"),
     "OXAEngine.__new__() got multiple values for argument 'wal_path'"),
    ("engine-unknown-keyword", lambda: OXAEngine(path="x"),
     "OXAEngine.__new__() got an unexpected keyword argument 'path'"),
    ("engine-not-text", lambda: OXAEngine(5),
     "argument 'wal_path': 'int' object cannot be converted to 'PyString'"),
    ("triplet-missing-three", lambda: PPPTriplet(),
     "PPPTriplet.__new__() missing 3 required positional arguments: 'provenance', 'place', and 'purpose'"),
    ("triplet-missing-two", lambda: PPPTriplet("a"),
     "PPPTriplet.__new__() missing 2 required positional arguments: 'place' and 'purpose'"),
    ("triplet-missing-by-keyword", lambda: PPPTriplet("a", purpose="c"),
     "PPPTriplet.__new__() missing 1 required positional argument: 'place'"),
    ("triplet-first-bad-argument-wins", lambda: PPPTriplet(1, 2, 3),
     "argument 'provenance': 'int' object cannot be converted to 'PyString'"),
    ("triplet-none", lambda: PPPTriplet("a", None, "c"),
     "argument 'place': 'NoneType' object cannot be converted to 'PyString'"),
    ("triplet-bytes", lambda: PPPTriplet("a", "b", b"c"),
     "argument 'purpose': 'bytes' object cannot be converted to 'PyString'"),
    ("chain-missing-one", lambda: HumanDeltaChain("a", True),
     "HumanDeltaChain.__new__() missing 1 required positional argument: 'terminal_node'"),
    ("chain-too-many", lambda: HumanDeltaChain("a", True, "c", "d", "e"),
     "HumanDeltaChain.__new__() takes from 3 to 4 positional arguments but 5 were given"),
    ("chain-int-flag", lambda: HumanDeltaChain("ref", 1, "node"),
     "argument 'resolved': 'int' object cannot be converted to 'PyBool'"),
    ("chain-nested-qualname", lambda: HumanDeltaChain("ref", True, "node", chain_id=Outer.Inner()),
     "argument 'chain_id': 'Outer.Inner' object cannot be converted to 'PyString'"),
    ("unknown-keyword-after-positionals", lambda: PPPTriplet("a", "b", "c", x=1),
     "PPPTriplet.__new__() got an unexpected keyword argument 'x'"),
    ("keyword-case-sensitive", lambda: PPPTriplet("a", "b", Purpose="c"),
     "PPPTriplet.__new__() got an unexpected keyword argument 'Purpose'"),
    ("capture-missing", lambda: E.capture(None, "p", None, "o", T),
     "OXAEngine.capture() missing 1 required positional argument: 'human_delta_chain'"),
    ("capture-too-many", lambda: E.capture(None, "p", None, "o", T, H, True, 8),
     "OXAEngine.capture() takes from 6 to 7 positional arguments but 8 were given"),
    ("capture-auto-insight-int", lambda: E.capture(None, "p", None, "o", T, H, 1),
     "argument 'auto_insight': 'int' object cannot be converted to 'PyBool'"),
    ("capture-prompt-not-text", lambda: E.capture(None, 1, None, "o", T, H),
     "argument 'prompt': 'int' object cannot be converted to 'PyString'"),
    ("capture-output-not-text", lambda: E.capture(None, "p", None, None, T, H),
     "argument 'output': 'NoneType' object cannot be converted to 'PyString'"),
    ("capture-triplet-wrong-class", lambda: E.capture(None, "p", None, "o", H, H),
     "argument 'ppp_triplet': 'HumanDeltaChain' object cannot be converted to 'PPPTriplet'"),
    ("capture-chain-wrong-class", lambda: E.capture(None, "p", None, "o", T, "chain"),
     "argument 'human_delta_chain': 'str' object cannot be converted to 'HumanDeltaChain'"),
]


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize("call, message", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_binding_and_conversion_messages(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def test_str_subclass_is_text():
    class Label(str):
        pass

    value = PPPTriplet(Label("a"), "b", "c").provenance
    assert type(value) is str and value == "a"


def test_unreadable_type_name_has_a_stand_in():
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise RuntimeError("no name")
            return super().__getattribute__(name)

    class Opaque(metaclass=Meta):
        pass

    with pytest.raises(TypeError) as caught:
        PPPTriplet(Opaque(), "b", "c")
    assert str(caught.value) == "argument 'provenance': '<failed to extract type name>' object cannot be converted to 'PyString'"


def test_unicode_error_passes_unchanged():
    with pytest.raises(UnicodeEncodeError) as caught:
        PPPTriplet("\ud800", "b", "c")
    assert not str(caught.value).startswith("argument '")
