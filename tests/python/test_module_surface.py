import ctypes
import sys
import weakref

import pytest

import tvel_oxa
from conftest import run_python

CLASSES = ["OXAEngine", "PPPTriplet", "HumanDeltaChain", "SealedRecord"]

CLASS_DOCS = {
    "OXAEngine": ("(wal_path)", "High-performance Python extension wrapper container exposed for model integration bindings."),
    "PPPTriplet": (
        "(provenance, place, purpose)",
        "A triad of metadata anchoring the lineage, physical origin, and analytical intent of an event block.",
    ),
    "HumanDeltaChain": (
        "(agent_decision_ref, resolved, terminal_node, chain_id=None)",
        "An audit node linking autonomous determinations to definitive human-in-the-loop review overrides.",
    ),
    "SealedRecord": (
        None,
        "A court-admissible, tamper-evident data structure capturing an immutable point-in-time calculation state.",
    ),
}


def test_module_attributes():
    assert tvel_oxa.__all__ == CLASSES
    assert tvel_oxa.__doc__ == "Main native library interface mapping out public Python module interface class pointers."
    public = {name for name in vars(tvel_oxa) if not name.startswith("__")}
    assert public == set(CLASSES)
    assert not hasattr(tvel_oxa, "PanicException")


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity_and_docs(name):
    cls = getattr(tvel_oxa, name)
    signature, doc = CLASS_DOCS[name]
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__doc__ == doc
    # Before 3.10 the interpreter derives no text signature for heap types.
    if sys.version_info >= (3, 10) or signature is None:
        assert cls.__text_signature__ == signature
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_method_docs_and_signatures():
    capture = tvel_oxa.OXAEngine.capture
    assert capture.__text_signature__ == (
        "($self, ctx, prompt, reasoning_trace, output, ppp_triplet, human_delta_chain, auto_insight=True)"
    )
    assert capture.__doc__ == (
        "Captures execution contexts, runs real-time consistency checks, and signs an immutable audit record."
    )
    pk = tvel_oxa.OXAEngine.public_key_hex
    assert pk.__text_signature__ == "($self)"
    assert pk.__doc__ == "Exposes the verifying identity public hex configuration signature."


@pytest.mark.parametrize(
    "make",
    [
        lambda: tvel_oxa.OXAEngine(":memory:"),
        lambda: tvel_oxa.PPPTriplet("a", "b", "c"),
        lambda: tvel_oxa.HumanDeltaChain("a", True, "c"),
        lambda: tvel_oxa.OXAEngine(":memory:").capture(
            None, "", None, "", tvel_oxa.PPPTriplet("", "", ""), tvel_oxa.HumanDeltaChain("", False, "")
        ),
    ],
    ids=CLASSES,
)
def test_instances_have_no_dict_weakref_or_own_identity_rules(make):
    obj = make()
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.anything = 1
    assert not hasattr(obj, "__dict__")
    other = make()
    assert obj == obj and obj != other
    assert hash(obj) == object.__hash__(obj)


@pytest.mark.parametrize("args", [(), (1, 2)], ids=["no-args", "two-args"])
def test_sealed_record_cannot_be_constructed(args):
    with pytest.raises(TypeError, match=r"^No constructor defined for SealedRecord$"):
        tvel_oxa.SealedRecord(*args)
    with pytest.raises(TypeError, match=r"^No constructor defined for SealedRecord$"):
        tvel_oxa.SealedRecord.__new__(tvel_oxa.SealedRecord, *args)


def test_engine_exposes_only_its_methods(memory_engine):
    with pytest.raises(AttributeError):
        memory_engine.wal_path
    with pytest.raises(TypeError):
        memory_engine.public_key_hex(1)


def test_second_initialisation_returns_the_same_module():
    lib = ctypes.PyDLL(tvel_oxa.__file__)
    lib.PyInit_tvel_oxa.restype = ctypes.py_object
    again = lib.PyInit_tvel_oxa()
    assert again is tvel_oxa
    assert again.OXAEngine is tvel_oxa.OXAEngine


def test_only_the_init_symbol_is_exported():
    lib = ctypes.CDLL(tvel_oxa.__file__)
    assert hasattr(lib, "PyInit_tvel_oxa")
    # BLAKE3 is linked in statically; its symbols stay inside the module.
    for hidden in ["blake3_hasher_init", "blake3_hasher_update", "blake3_compress_in_place_portable"]:
        assert not hasattr(lib, hidden)


def test_import_from_a_sub_interpreter_is_refused():
    result = run_python(
        """
        import tvel_oxa
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("SKIP")
            raise SystemExit
        try:
            # From 3.12 on an isolated interpreter refuses every single-phase
            # module before loading it; a legacy one reaches the module's own check.
            interp = interpreters.create(isolated=False)
        except TypeError:
            interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import tvel_oxa")
        except Exception as error:
            print(type(error).__name__, error)
        else:
            print("imported")
        """
    )
    assert result.returncode == 0, result.stderr
    if result.stdout.strip() == "SKIP":
        pytest.skip("no sub-interpreter support in this interpreter")
    assert "ImportError" in result.stdout
    assert "sub-interpreters" in result.stdout
