"""The span processor: takes each ended GenAI span on the calling thread and
seals it on one background worker, in the order the spans ended."""
from __future__ import annotations

import atexit
import collections
import logging
import os
import queue
import threading
import warnings
import weakref
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

from opentelemetry.sdk._logs import LogRecordProcessor
from opentelemetry.sdk.trace import ReadableSpan, Span, SpanProcessor

import tvel_oxa

from . import _content

_logger = logging.getLogger("oxa_otel")

CONTENT_CAPTURE_OFF = (
    "oxa_otel: a GenAI span carried no message text, so its record seals empty prompt and output. "
    "Instrumentations record message text only when told to: set "
    "OTEL_INSTRUMENTATION_GENAI_CAPTURE_MESSAGE_CONTENT=true (with "
    "OTEL_SEMCONV_STABILITY_OPT_IN=gen_ai_latest_experimental: SPAN_ONLY or SPAN_AND_EVENT), "
    "or the setting your instrumentation names for content capture."
)
CAPTURE_FAILED = "oxa_otel: sealing the span trace_id=%s span_id=%s failed"
SELECT_FAILED = "oxa_otel: select raised on the span trace_id=%s span_id=%s; it is not sealed"

_plain_attributes = _content.plain_attributes
_OPERATION = _content.OPERATION
_LEGACY_OPERATION = _content.LEGACY_OPERATION
# How long a producer facing a full queue sleeps between looks, in seconds:
# the worker wakes it sooner through the condition.
_ROOM_POLL = 0.05
_PPP_CACHE_SIZE = 256


class _Log:
    """A GenAI message log record, queued behind the spans that ended before it."""

    __slots__ = ("key", "name", "body")

    def __init__(self, key: Tuple[int, int], name: str, body: Any) -> None:
        self.key = key
        self.name = name
        self.body = body


class _Flush:
    __slots__ = ("done",)

    def __init__(self) -> None:
        self.done = threading.Event()


_STOP = object()


class _MessageLogProcessor(LogRecordProcessor):
    """Hands the GenAI message log records to the span processor's queue."""

    def __init__(self, owner: "SealingSpanProcessor") -> None:
        self._owner = weakref.ref(owner)

    def on_emit(self, log_data: Any) -> None:
        owner = self._owner()
        if owner is None:
            return
        # SDK releases pass a LogData or a ReadWriteLogRecord, both holding .log_record.
        record = getattr(log_data, "log_record", log_data)
        name = getattr(record, "event_name", None)
        if not name:
            attributes = getattr(record, "attributes", None) or {}
            name = attributes.get("event.name")
        if not name or not str(name).startswith("gen_ai."):
            return
        span_id = getattr(record, "span_id", 0)
        if not span_id:
            return
        owner._put(_Log((record.trace_id, span_id), str(name), record.body))

    # Older SDK releases call emit().
    emit = on_emit

    def shutdown(self) -> None:
        pass

    def force_flush(self, timeout_millis: int = 30000) -> bool:
        owner = self._owner()
        return True if owner is None else owner.force_flush(timeout_millis)


Selector = Callable[[ReadableSpan], bool]
PPPSource = Union["tvel_oxa.PPPTriplet", Callable[[ReadableSpan], "tvel_oxa.PPPTriplet"], None]
ReviewSource = Optional[Callable[[ReadableSpan], "tvel_oxa.HumanDeltaChain"]]


class SealingSpanProcessor(SpanProcessor):
    """Seals every ended GenAI span into a tvel_oxa audit log.

    engine: an ``OXAEngine``, or the path of a log for which one is made.
    ppp: a ``PPPTriplet`` for every record, or a function of the span that
    returns one; by default it is derived from the span and its resource.
    review: a function of the span returning the ``HumanDeltaChain`` to seal;
    by default an unresolved one naming the trace and span.
    select: a function of the span that decides which spans are sealed; by
    default those with ``gen_ai.operation.name`` (or the older
    ``llm.request.type``).
    max_queue_size: spans waiting for the worker before a producer waits.
    max_pending_log_spans: spans whose message log records are held until the
    span ends; past it the oldest are dropped and counted in
    ``dropped_log_records``.
    """

    def __init__(
        self,
        engine: Union["tvel_oxa.OXAEngine", str, "os.PathLike[str]"],
        *,
        ppp: PPPSource = None,
        review: ReviewSource = None,
        select: Optional[Selector] = None,
        max_queue_size: int = 2048,
        max_pending_log_spans: int = 1024,
    ) -> None:
        if isinstance(engine, (str, os.PathLike)):
            engine = tvel_oxa.OXAEngine(os.fspath(engine))
        if not hasattr(engine, "capture"):
            raise TypeError(f"engine must be an OXAEngine or a log path, not {type(engine).__name__}")
        if max_queue_size < 1 or max_pending_log_spans < 1:
            raise ValueError("max_queue_size and max_pending_log_spans must be at least 1")
        self.engine = engine
        self._ppp = ppp
        self._review = review
        self._select = select
        self._max_queue_size = max_queue_size
        self._max_pending = max_pending_log_spans
        self.dropped_log_records = 0
        self.failed_captures = 0
        self.log_record_processor = _MessageLogProcessor(self)
        self._warned_content = False
        self._ppp_cache: Dict[Tuple[str, str, str], "tvel_oxa.PPPTriplet"] = {}
        self._closed = False
        self._inline_lock = threading.Lock()
        self._start_worker()
        weak = weakref.WeakMethod(self._after_fork_in_child)
        os.register_at_fork(after_in_child=lambda: (weak() or (lambda: None))())
        weak_shutdown = weakref.WeakMethod(self.shutdown)
        atexit.register(lambda: (weak_shutdown() or (lambda: None))())
        self._register_on_global_logger_provider()

    # -- set-up ---------------------------------------------------------------------------------

    def _start_worker(self) -> None:
        self._queue: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        self._room = threading.Condition(threading.Lock())
        self._waiting = 0
        self._pending: "collections.OrderedDict[Tuple[int, int], List[Tuple[str, Any]]]" = (
            collections.OrderedDict())
        self._worker = threading.Thread(target=self._work, name="oxa_otel-sealer", daemon=True)
        self._worker.start()

    def _after_fork_in_child(self) -> None:
        # The parent's worker seals what was queued before the fork; the child
        # starts empty with a worker of its own (threads do not survive fork).
        self._inline_lock = threading.Lock()
        if not self._closed:
            self._start_worker()

    def _register_on_global_logger_provider(self) -> None:
        try:
            from opentelemetry._logs import get_logger_provider
            from opentelemetry.sdk._logs import LoggerProvider
        except ImportError:  # pragma: no cover - every supported SDK has both
            return
        provider = get_logger_provider()
        if isinstance(provider, LoggerProvider):
            provider.add_log_record_processor(self.log_record_processor)

    # -- the calling thread ---------------------------------------------------------------------

    def on_start(self, span: Span, parent_context: Any = None) -> None:
        pass

    def on_end(self, span: ReadableSpan) -> None:
        select = self._select
        if select is None:
            attributes = _plain_attributes(span)
            if _OPERATION not in attributes and _LEGACY_OPERATION not in attributes:
                return
        else:
            try:
                chosen = select(span)
            except Exception:  # a faulty rule must not break the application's span
                _logger.exception(SELECT_FAILED, _content.trace_hex(span.context.trace_id),
                                  _content.span_hex(span.context.span_id))
                return
            if not chosen:
                return
        # A finished span no longer changes: the worker reads it later.
        self._put(span)

    def _put(self, item: Any) -> None:
        if self._closed:
            # After shutdown nothing is thrown away: seal on the caller's thread.
            with self._inline_lock:
                self._handle(item)
            return
        work = self._queue
        if work.qsize() >= self._max_queue_size:
            self._wait_for_room(work)
        work.put(item)

    def _wait_for_room(self, work: "queue.SimpleQueue[Any]") -> None:
        with self._room:
            self._waiting += 1
            try:
                while work.qsize() >= self._max_queue_size and self._worker.is_alive():
                    self._room.wait(_ROOM_POLL)
            finally:
                self._waiting -= 1

    # -- the worker -----------------------------------------------------------------------------

    def _work(self) -> None:
        get = self._queue.get
        seal = self._seal
        while True:
            item = get()
            if self._waiting:
                with self._room:
                    self._room.notify_all()
            kind = item.__class__
            # Spans come by far the most often: the markers are told apart by class first.
            if kind is _Log:
                self._hold(item)
            elif kind is _Flush:
                item.done.set()
            elif item is _STOP:
                return
            else:
                seal(item)

    def _handle(self, item: Any) -> None:
        if isinstance(item, _Log):
            self._hold(item)
        elif isinstance(item, _Flush):
            item.done.set()
        elif item is not _STOP:
            self._seal(item)

    def _hold(self, log: _Log) -> None:
        pending = self._pending
        held = pending.get(log.key)
        if held is None:
            if len(pending) >= self._max_pending:
                _, dropped = pending.popitem(last=False)
                self.dropped_log_records += len(dropped)
            held = pending[log.key] = []
        held.append((log.name, log.body))

    def _seal(self, span: ReadableSpan) -> None:
        context = span.context
        pending = self._pending
        logs = pending.pop((context.trace_id, context.span_id), ()) if pending else ()
        try:
            derive = self._ppp is None
            ctx, prompt, reasoning_trace, output, content_missing, fields = _content.record_parts(span, logs, derive)
            if content_missing and not self._warned_content:
                self._warned_content = True
                warnings.warn(CONTENT_CAPTURE_OFF, RuntimeWarning, stacklevel=1)
            ppp = self._triplet(fields) if derive else self._given_ppp(span)
            self.engine.capture(ctx, prompt, reasoning_trace, output, ppp, self._review_of(span, ctx))
        except BaseException:  # noqa: B036 - a failed record must not stop the next ones
            self.failed_captures += 1
            _logger.exception(CAPTURE_FAILED, _content.trace_hex(context.trace_id),
                              _content.span_hex(context.span_id))

    def _triplet(self, fields: Tuple[str, str, str]) -> "tvel_oxa.PPPTriplet":
        # Few distinct triplets occur (one per service and model): reuse them.
        triplet = self._ppp_cache.get(fields)
        if triplet is None:
            if len(self._ppp_cache) >= _PPP_CACHE_SIZE:
                self._ppp_cache.clear()
            triplet = self._ppp_cache[fields] = tvel_oxa.PPPTriplet(*fields)
        return triplet

    def _given_ppp(self, span: ReadableSpan) -> "tvel_oxa.PPPTriplet":
        ppp = self._ppp
        return ppp(span) if callable(ppp) else ppp

    def _review_of(self, span: ReadableSpan, ctx: Dict[str, Any]) -> "tvel_oxa.HumanDeltaChain":
        if self._review is not None:
            return self._review(span)
        return tvel_oxa.HumanDeltaChain(f"trace/{ctx['trace_id']}/span/{ctx['span_id']}", False, "unreviewed")

    # -- draining -------------------------------------------------------------------------------

    def force_flush(self, timeout_millis: int = 30000) -> bool:
        """Wait until every span that ended before the call is sealed; False on timeout."""
        if self._closed:
            return True
        marker = _Flush()
        self._put(marker)
        return marker.done.wait(None if timeout_millis is None else timeout_millis / 1000)

    def shutdown(self) -> None:
        """Seal every queued span, then stop the worker. Spans that end later
        are sealed on their own thread."""
        if self._closed:
            return
        self._put(_STOP)
        self._worker.join()
        self._closed = True
        # A span that ended while the worker was stopping is still sealed.
        while True:
            try:
                item = self._queue.get_nowait()
            except queue.Empty:
                break
            with self._inline_lock:
                self._handle(item)
