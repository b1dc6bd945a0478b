"""An application traced with OpenTelemetry that calls a chat model through
the openai client, run by the span processor's tests in a fresh interpreter
(the instrumentations read their settings once per process).

It sets up tracing the way an application does (global providers, the
processor added in three lines), makes N calls from 8 threads and then N
from one asyncio program, each inside a non-GenAI request span, writes the ids of the
GenAI spans it saw to a JSON file, and exits without shutting anything down:
the queue is drained at interpreter exit.
"""
from __future__ import annotations

import argparse
import asyncio
import json
import sys
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Dict, List

from opentelemetry import trace
from opentelemetry._logs import set_logger_provider
from opentelemetry.sdk._logs import LoggerProvider
from opentelemetry.sdk.resources import Resource
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

TOOLS = [{"type": "function", "function": {
    "name": "get_weather", "description": "The weather in a city",
    "parameters": {"type": "object", "properties": {"city": {"type": "string"}}}}}]
KINDS = ("plain", "streamed", "tool")


def question(i: int) -> str:
    return f"question number {i}"


def request_arguments(i: int, kinds: List[str]) -> Dict[str, Any]:
    kind = kinds[i % len(kinds)]
    arguments: Dict[str, Any] = {
        "model": "fake-model",
        "messages": [{"role": "system", "content": "Answer briefly."},
                     {"role": "user", "content": question(i)}],
    }
    if kind == "streamed":
        arguments["stream"] = True
    elif kind == "tool":
        arguments["tools"] = TOOLS
    return arguments


def set_up(args: argparse.Namespace) -> InMemorySpanExporter:
    resource = Resource.create({"service.name": "triage-api", "service.version": "1.4.2",
                                "deployment.environment.name": "test"})
    provider = TracerProvider(resource=resource)
    exporter = InMemorySpanExporter()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    trace.set_tracer_provider(provider)
    logs = LoggerProvider(resource=resource)
    set_logger_provider(logs)
    try:  # the older official instrumentation emits through the Events API
        from opentelemetry._events import set_event_logger_provider
        from opentelemetry.sdk._events import EventLoggerProvider

        set_event_logger_provider(EventLoggerProvider(logs))
    except ImportError:
        pass

    if not args.no_processor:
        # The three lines an application adds.
        import oxa_otel

        trace.get_tracer_provider().add_span_processor(oxa_otel.SealingSpanProcessor(args.log))

    if args.instrumentation == "official":
        from opentelemetry.instrumentation.openai_v2 import OpenAIInstrumentor
    else:
        from opentelemetry.instrumentation.openai import OpenAIInstrumentor
    OpenAIInstrumentor().instrument()
    return exporter


def consume(response: Any, streamed: bool) -> None:
    if streamed:
        for _ in response:
            pass


async def consume_async(response: Any, streamed: bool) -> None:
    if streamed:
        async for _ in response:
            pass


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--log", required=True)
    parser.add_argument("--base-url", required=True)
    parser.add_argument("--instrumentation", choices=("official", "openllmetry"), required=True)
    parser.add_argument("--calls", type=int, required=True)
    parser.add_argument("--kinds", default=",".join(KINDS))
    parser.add_argument("--ids", required=True)
    parser.add_argument("--no-processor", action="store_true")
    args = parser.parse_args(argv)
    kinds = args.kinds.split(",")
    exporter = set_up(args)

    import openai

    tracer = trace.get_tracer("otel_app")
    client = openai.OpenAI(base_url=args.base_url, api_key="test", max_retries=0)

    def call(i: int) -> None:
        with tracer.start_as_current_span("handle-request"):
            arguments = request_arguments(i, kinds)
            consume(client.chat.completions.create(**arguments), arguments.get("stream", False))

    with ThreadPoolExecutor(8) as pool:
        list(pool.map(call, range(args.calls)))

    async_client = openai.AsyncOpenAI(base_url=args.base_url, api_key="test", max_retries=0)

    async def call_async(i: int) -> None:
        with tracer.start_as_current_span("handle-request"):
            arguments = request_arguments(i, kinds)
            response = await async_client.chat.completions.create(**arguments)
            await consume_async(response, arguments.get("stream", False))

    async def run_all() -> None:
        await asyncio.gather(*(call_async(i) for i in range(args.calls, 2 * args.calls)))

    asyncio.run(run_all())

    spans = [{"trace_id": format(s.context.trace_id, "032x"), "span_id": format(s.context.span_id, "016x"),
              "name": s.name, "genai": "gen_ai.operation.name" in s.attributes or "llm.request.type" in s.attributes}
             for s in exporter.get_finished_spans()]
    with open(args.ids, "w") as out:
        json.dump(spans, out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
