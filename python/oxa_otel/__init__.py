"""Sealed audit records of the model calls an application already traces
with OpenTelemetry.

``SealingSpanProcessor(engine)`` added to an SDK ``TracerProvider`` seals one
tvel_oxa record per GenAI span (model call, tool execution, agent
invocation); ``find_record(log, trace_id, span_id)`` goes from a trace back
to its sealed line. The processor needs ``opentelemetry-sdk``
(``pip install tvel_oxa[otel]``); ``find_record`` does not.
"""
from typing import TYPE_CHECKING, Any

from ._find import find_record

if TYPE_CHECKING:  # type checkers see the class; the import at run time waits until it is used
    from ._processor import SealingSpanProcessor

__all__ = ["SealingSpanProcessor", "find_record"]


def __getattr__(name: str) -> Any:
    # The processor imports the OpenTelemetry SDK: only when it is asked for.
    if name == "SealingSpanProcessor":
        from ._processor import SealingSpanProcessor

        return SealingSpanProcessor
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
