#!/usr/bin/env python3
"""What the OpenTelemetry span processor costs.

1. The calling thread: SealingSpanProcessor.on_end on a finished GenAI span
   (the work a request thread pays for; sealing happens on the worker), and on
   a span that is not GenAI. Target: median at most 5 us for a GenAI span.
2. Sealing throughput: spans sealed per second by the worker, against bare
   OXAEngine.capture calls with the same arguments on the same kind of log.
   Target: at least 80 % of bare capture. Shown in wall time (the target)
   and per CPU second, which moves less on a shared machine; --baseline DIR
   times another copy of the oxa_otel package in the same rounds.
3. A traced chat call through the openai client, instrumented by the
   official GenAI instrumentation, against a local OpenAI-compatible server,
   with and without the processor (interleaved rounds, median per call).

Prints the figures and PASS/FAIL per target and exits 0; with --check it exits
1 when a target is missed. Needs the test extra (opentelemetry-sdk, openai,
the instrumentation); part 3 is skipped when they are missing.
"""

import argparse
import importlib.util
import json
import os
import random
import statistics
import sys
import tempfile
import time
import warnings

from opentelemetry.sdk.resources import Resource
from opentelemetry.sdk.trace import SpanProcessor, TracerProvider

import oxa_otel
import tvel_oxa
from oxa_otel import _content

HERE = os.path.dirname(os.path.abspath(__file__))
CALLING_THREAD_TARGET_US = 5.0
THROUGHPUT_TARGET = 0.80

USER = [{"role": "user", "parts": [{"type": "text", "content": "Summarise the customer's last three support "
                                                             "tickets and flag urgency. " * 3}]}]
ANSWER = [{"role": "assistant", "parts": [{"type": "text", "content": "Two tickets are about billing; "
                                                                     "one is urgent. " * 5}],
           "finish_reason": "stop"}]
ATTRIBUTES = {
    "gen_ai.operation.name": "chat", "gen_ai.provider.name": "openai", "gen_ai.request.model": "gpt-x",
    "gen_ai.response.model": "gpt-x-2025", "gen_ai.response.id": "chatcmpl-1", "gen_ai.usage.input_tokens": 120,
    "gen_ai.usage.output_tokens": 60, "gen_ai.response.finish_reasons": ("stop",),
    "gen_ai.input.messages": json.dumps(USER), "gen_ai.output.messages": json.dumps(ANSWER),
}


class Keep(SpanProcessor):
    def __init__(self):
        self.spans = []

    def on_end(self, span):
        self.spans.append(span)


def finished_spans(count, attributes):
    provider = TracerProvider(resource=Resource.create({"service.name": "bench", "service.version": "1"}))
    keep = Keep()
    provider.add_span_processor(keep)
    tracer = provider.get_tracer("bench")
    for _ in range(count):
        with tracer.start_as_current_span("chat gpt-x", attributes=attributes):
            pass
    return keep.spans


def calling_thread(rounds, batch, log_dir):
    genai = finished_spans(batch, ATTRIBUTES)
    other = finished_spans(batch, {"http.method": "GET", "http.route": "/triage"})
    processor = oxa_otel.SealingSpanProcessor(os.path.join(log_dir, "calling.wal"), max_queue_size=4 * batch)
    per_op = {"GenAI span": [], "other span": []}
    clock = time.perf_counter_ns
    overhead = []
    for _ in range(batch):
        start = clock()
        overhead.append(clock() - start)
    timer = statistics.median(overhead)
    for _ in range(rounds):
        for label, spans in (("GenAI span", genai), ("other span", other)):
            on_end = processor.on_end
            times = per_op[label]
            # Each call timed on its own: the median is the cost a request
            # thread typically pays, without the moments the interpreter lock
            # spends with the worker.
            for span in spans:
                start = clock()
                on_end(span)
                times.append(clock() - start - timer)
            processor.force_flush()  # not timed: the worker catches up between batches
    processor.shutdown()
    return {label: statistics.median(values) / 1000 for label, values in per_op.items()}


def load_baseline(path):
    """Another copy of the oxa_otel package (for example one checked out from
    an earlier commit), imported beside this one under its own name."""
    name = "oxa_otel_baseline"
    init = os.path.join(path, "__init__.py")
    if not os.path.isfile(init):
        raise SystemExit(f"--baseline: {path} is not an oxa_otel package directory (no __init__.py)")
    spec = importlib.util.spec_from_file_location(name, init, submodule_search_locations=[path])
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


def throughput(rounds, count, log_dir, baseline=None):
    """Seconds per span, wall and CPU (the process's, all threads), of bare
    captures and of spans sealed through the processor (and through the
    baseline's), timed in interleaved rounds in a shuffled order."""
    spans = finished_spans(count, ATTRIBUTES)
    parts = [_content.record_parts(span, ()) for span in spans]
    ppp = tvel_oxa.PPPTriplet(*_content.derived_ppp(spans[0]))

    def clock():
        return time.perf_counter(), time.process_time()

    def bare(path):
        engine = tvel_oxa.OXAEngine(path)
        start = clock()
        for ctx, prompt, reasoning_trace, output, *_ in parts:
            review = tvel_oxa.HumanDeltaChain(f"trace/{ctx['trace_id']}/span/{ctx['span_id']}", False, "unreviewed")
            engine.capture(ctx, prompt, reasoning_trace, output, ppp, review)
        return start, clock()

    def sealed(module):
        def run(path):
            processor = module.SealingSpanProcessor(path, max_queue_size=count + 1)
            start = clock()
            for span in spans:
                processor.on_end(span)
            processor.force_flush(None)
            end = clock()
            processor.shutdown()
            return start, end
        return run

    variants = {"bare": bare, "processor": sealed(oxa_otel)}
    if baseline is not None:
        variants["baseline"] = sealed(baseline)
    times = {name: ([], []) for name in variants}
    for r in range(rounds):
        order = list(variants)
        random.shuffle(order)
        for name in order:
            start, end = variants[name](os.path.join(log_dir, f"{name}-{r}.wal"))
            times[name][0].append((end[0] - start[0]) / count)
            times[name][1].append((end[1] - start[1]) / count)
    return {name: (statistics.median(w), statistics.median(c)) for name, (w, c) in times.items()}


class Switch(SpanProcessor):
    """Hands spans to the sealing processor only while on, so rounds with and
    without it run interleaved on one instrumented client."""

    def __init__(self, inner):
        self.inner = inner
        self.on = False

    def on_end(self, span):
        if self.on:
            self.inner.on_end(span)

    def shutdown(self):
        self.inner.shutdown()

    def force_flush(self, timeout_millis=30000):
        return self.inner.force_flush(timeout_millis)


def traced_calls(rounds, calls, log_dir):
    try:
        import openai
        from opentelemetry.instrumentation.openai_v2 import OpenAIInstrumentor
    except ImportError as missing:
        return f"skipped ({missing.name} is not installed: pip install tvel_oxa[test,test-integration])"
    sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
    from otel_fake_server import FakeOpenAIServer

    os.environ["OTEL_INSTRUMENTATION_GENAI_CAPTURE_MESSAGE_CONTENT"] = "true"
    from opentelemetry.sdk._logs import LoggerProvider

    provider = TracerProvider()
    sealing = oxa_otel.SealingSpanProcessor(os.path.join(log_dir, "traced.wal"))
    switch = Switch(sealing)
    provider.add_span_processor(switch)
    logs = LoggerProvider()
    logs.add_log_record_processor(sealing.log_record_processor)
    options = {"tracer_provider": provider, "logger_provider": logs}
    try:  # the official instrumentation's releases for Python 3.9 emit through the Events API
        from opentelemetry.sdk._events import EventLoggerProvider

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            options["event_logger_provider"] = EventLoggerProvider(logs)
    except ImportError:
        pass
    instrumentor = OpenAIInstrumentor()
    instrumentor.instrument(**options)
    timings = {False: [], True: []}
    try:
        with FakeOpenAIServer() as server:
            client = openai.OpenAI(base_url=server.base_url, api_key="bench", max_retries=0)
            messages = [{"role": "user", "content": "Is this ticket urgent?"}]
            client.chat.completions.create(model="gpt-x", messages=messages)  # warm-up: lazy imports
            for _ in range(rounds):
                for on in (False, True):
                    switch.on = on
                    start = time.perf_counter()
                    for _ in range(calls):
                        client.chat.completions.create(model="gpt-x", messages=messages)
                    timings[on].append((time.perf_counter() - start) / calls * 1e6)
                switch.force_flush()
    finally:
        instrumentor.uninstrument()
        provider.shutdown()
    return {on: statistics.median(values) for on, values in timings.items()}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--batch", type=int, default=200)
    parser.add_argument("--spans", type=int, default=2000, help="spans per throughput round")
    parser.add_argument("--calls", type=int, default=20, help="traced calls per round")
    parser.add_argument("--baseline", metavar="DIR",
                        help="another oxa_otel package directory whose processor is timed beside this one's")
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args(argv)
    baseline = load_baseline(args.baseline) if args.baseline else None
    ok = True
    with tempfile.TemporaryDirectory() as log_dir:
        cost = calling_thread(args.rounds, args.batch, log_dir)
        met = cost["GenAI span"] <= CALLING_THREAD_TARGET_US
        ok &= met
        print(f"calling thread, on_end of a GenAI span: {cost['GenAI span']:.2f} us median "
              f"(target <= {CALLING_THREAD_TARGET_US} us) {'PASS' if met else 'FAIL'}")
        print(f"calling thread, on_end of another span: {cost['other span']:.2f} us median")

        figures = throughput(max(5, args.rounds // 3), args.spans, log_dir, baseline)
        (bare_wall, bare_cpu) = figures["bare"]
        met = bare_wall / figures["processor"][0] >= THROUGHPUT_TARGET
        ok &= met
        print(f"sealing throughput, spans/s (per CPU second beside it): bare capture {1 / bare_wall:,.0f} "
              f"({1 / bare_cpu:,.0f})")
        for name in ("processor", "baseline"):
            if name in figures:
                wall, cpu = figures[name]
                verdict = ""
                if name == "processor":
                    verdict = f" (target >= {THROUGHPUT_TARGET:.0%}) {'PASS' if met else 'FAIL'}"
                print(f"  through the {name + ':':10} {1 / wall:,.0f} ({1 / cpu:,.0f}): {bare_wall / wall:.0%} of bare "
                      f"({bare_cpu / cpu:.0%} per CPU second){verdict}")

        traced = traced_calls(max(3, args.rounds // 3), args.calls, log_dir)
        if isinstance(traced, str):
            print(f"traced chat call: {traced}")
        else:
            print(f"traced chat call through the instrumented openai client: {traced[False]:.0f} us without the "
                  f"processor, {traced[True]:.0f} us with it ({traced[True] - traced[False]:+.0f} us)")
    return 1 if args.check and not ok else 0


if __name__ == "__main__":
    sys.exit(main())
