"""Type-checked with mypy --strict, never run: every line marked
`type: ignore[...]` must be an error for the stubs (unused ignores fail under
--strict), and every other line must pass."""
from typing import NoReturn

from typing_extensions import assert_type

import numpy as np

import tvel_oxa

engine = tvel_oxa.OXAEngine(":memory:")
where = tvel_oxa.PPPTriplet("model", "eu-west", "triage")
review = tvel_oxa.HumanDeltaChain("ref", np.True_, "node")
review = tvel_oxa.HumanDeltaChain("ref", False, "node", None)
review.resolved = np.False_
record: tvel_oxa.SealedRecord = engine.capture(
    {"user": 1}, "prompt", ["step"], "output", where, review, auto_insight=np.bool_(True)
)
signature: list[int] = record.signature
insight: str | None = record.core_insight_json
nanos: int = record.monotonic_nanos
score: float = record.coherence_score + record.reputation_scalar

engine.capture({}, "p", [], "o", where, review, auto_insight=1)  # type: ignore[arg-type]
engine.capture({}, b"p", [], "o", where, review)  # type: ignore[arg-type]
engine.capture({}, "p", [], "o", review, where)  # type: ignore[arg-type]
tvel_oxa.HumanDeltaChain("ref", np.int64(1), "node")  # type: ignore[arg-type]
review.chain_id = None  # type: ignore[assignment]
record.id = "other"  # type: ignore[misc]


class Sub(tvel_oxa.OXAEngine):  # type: ignore[misc]
    pass


# Records come only from capture: the call never returns (and ends the checking).
assert_type(tvel_oxa.SealedRecord(), NoReturn)
