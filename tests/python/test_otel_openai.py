"""The span processor behind real instrumentations of the real openai client,
against a local OpenAI-compatible server: one sealed record per model call,
holding what the server saw, findable by its span's ids."""
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("opentelemetry.sdk")
pytest.importorskip("openai")

from otel_fake_server import FakeOpenAIServer  # noqa: E402

import oxa_otel  # noqa: E402

pytestmark = pytest.mark.integration

APP = Path(__file__).with_name("otel_app.py")
# From 8 threads, then as many from an asyncio program; a third of them
# streamed, a third answered with a tool call.
CALLS = 24
CONTENT_OFF_TEXT = "carried no message text"


def _have(module):
    try:
        __import__(module)
    except ImportError:
        return False
    return True


LATEST_NEEDS = pytest.mark.skipif(
    sys.version_info < (3, 10),
    reason="the official instrumentation writes the current GenAI conventions from Python 3.10 on")

# (instrumentation, environment that turns content capture on in that form)
FORMS = {
    "official-latest": ("official", {"OTEL_SEMCONV_STABILITY_OPT_IN": "gen_ai_latest_experimental",
                                     "OTEL_INSTRUMENTATION_GENAI_CAPTURE_MESSAGE_CONTENT": "SPAN_ONLY"}),
    "official-log-records": ("official", {"OTEL_INSTRUMENTATION_GENAI_CAPTURE_MESSAGE_CONTENT": "true"}),
    "openllmetry-indexed": ("openllmetry", {"TRACELOOP_TRACE_CONTENT": "true"}),
}


@pytest.fixture()
def server():
    with FakeOpenAIServer() as running:
        yield running


def run_app(tmp_path, server, form, calls=CALLS, kinds=None, capture=True):
    instrumentation, content_env = FORMS[form]
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("OTEL_", "TRACELOOP_"))}
    if capture:
        env.update(content_env)
    else:
        env["TRACELOOP_TRACE_CONTENT"] = "false"
    log = tmp_path / "audit.wal"
    ids = tmp_path / "spans.json"
    command = [sys.executable, str(APP), "--log", str(log), "--base-url", server.base_url,
               "--instrumentation", instrumentation, "--calls", str(calls),
               "--ids", str(ids)]
    if kinds:
        command += ["--kinds", kinds]
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    records = [json.loads(line) for line in log.read_text().splitlines()]
    return log, records, json.loads(ids.read_text()), done.stderr


def user_text(prompt):
    return [part["content"] for message in json.loads(prompt) if message["role"] == "user"
            for part in message["parts"] if part.get("type") == "text"]


@pytest.mark.parametrize("form", [pytest.param("official-latest", marks=LATEST_NEEDS),
                                  "official-log-records", "openllmetry-indexed"])
def test_one_record_per_call_with_what_the_server_saw(tmp_path, server, form):
    log, records, spans, _ = run_app(tmp_path, server, form)

    calls = 2 * CALLS
    genai = {(s["trace_id"], s["span_id"]) for s in spans if s["genai"]}
    assert len(spans) == 2 * calls and len(genai) == calls  # the request spans are not GenAI
    assert len(records) == calls
    ctxs = [json.loads(r["ctx_json"]) for r in records]
    assert {(c["trace_id"], c["span_id"]) for c in ctxs} == genai

    seen = {}
    for request, text, tool_call in server.seen:
        seen[request["messages"][-1]["content"]] = (request, text, tool_call)
    assert len(seen) == calls
    for record, ctx in zip(records, ctxs):
        prompt = json.loads(record["prompt"])
        (question,) = user_text(record["prompt"])
        request, text, tool_call = seen.pop(question)
        assert prompt[0] == {"role": "system", "parts": [{"type": "text", "content": "Answer briefly."}]}
        (message,) = json.loads(record["output"])
        reasoning = json.loads(record["reasoning_trace_json"])
        if tool_call:
            (part,) = message["parts"]
            assert part == {"type": "tool_call", "id": tool_call["id"], "name": "get_weather",
                            "arguments": json.loads(tool_call["function"]["arguments"])}
            assert reasoning[0] == part
        else:
            assert [p["content"] for p in message["parts"]] == [text]
        assert ctx["resource"] == {"service.name": "triage-api", "service.version": "1.4.2"}
        assert ctx["attributes"]["gen_ai.request.model"] == "fake-model"
        ppp = json.loads(record["ppp_json"])
        assert ppp["place"] == "triage-api/test" and ppp["purpose"] == "chat"
        assert ppp["provenance"].startswith("openai/")
        line = oxa_otel.find_record(log, ctx["trace_id"], ctx["span_id"])
        assert json.loads(line)["id"] == record["id"]
    assert not seen

    verify = subprocess.run([sys.executable, "-m", "oxa_verify", str(log)], capture_output=True, text=True)
    assert verify.returncode == 0, verify.stdout + verify.stderr


@pytest.mark.parametrize("form", ["official-log-records", "openllmetry-indexed",
                                  pytest.param("official-latest", marks=LATEST_NEEDS)])
def test_content_capture_off_seals_empty_texts_and_warns_once(tmp_path, server, form):
    _, records, _, stderr = run_app(tmp_path, server, form, calls=4, kinds="plain,streamed", capture=False)
    assert len(records) == 8
    assert all(r["prompt"] == "" and r["output"] == "" for r in records)
    assert stderr.count(CONTENT_OFF_TEXT) == 1
    assert "OTEL_INSTRUMENTATION_GENAI_CAPTURE_MESSAGE_CONTENT" in stderr
