"""The span processor on spans made by the OpenTelemetry SDK itself: which
spans become records, what a record holds for each form of content, and the
worker's queue, failures, draining and fork."""
import gzip
import json
import logging
import os
import subprocess
import sys
import threading
import time
import warnings
from pathlib import Path
from types import SimpleNamespace

import pytest

pytest.importorskip("opentelemetry.sdk")

from opentelemetry.sdk.resources import Resource  # noqa: E402
from opentelemetry.sdk.trace import TracerProvider  # noqa: E402
from opentelemetry.trace import Status, StatusCode  # noqa: E402

import oxa_otel  # noqa: E402
import oxa_verify  # noqa: E402
import tvel_oxa  # noqa: E402

# Most spans here carry no message text on purpose; the one test about that warning records it.
pytestmark = pytest.mark.filterwarnings("ignore:oxa_otel. a GenAI span carried no message text:RuntimeWarning")

RESOURCE = {"service.name": "triage-api", "service.version": "1.4.2", "deployment.environment.name": "prod"}


class Traced:
    """A tracer provider with one sealing processor on a fresh log."""

    def __init__(self, path, resource=RESOURCE, **options):
        self.log = path
        self.provider = TracerProvider(resource=Resource.create(resource))
        self.processor = oxa_otel.SealingSpanProcessor(str(path), **options)
        self.provider.add_span_processor(self.processor)
        self.tracer = self.provider.get_tracer("test")

    def span(self, name="chat fake-model", attributes=None, logs=(), events=(), status=None):
        """One ended span; `logs` are (event name, body) emitted inside it."""
        with self.tracer.start_as_current_span(name, attributes=attributes or {}) as span:
            ctx = span.get_span_context()
            for event_name, body in logs:
                self.emit(ctx.trace_id, ctx.span_id, event_name, body)
            for event in events:
                span.add_event(event, {"step": 1})
            if status is not None:
                span.set_status(status)
        return ctx

    def emit(self, trace_id, span_id, event_name, body):
        record = SimpleNamespace(trace_id=trace_id, span_id=span_id, event_name=event_name,
                                 body=body, attributes={})
        self.processor.log_record_processor.on_emit(SimpleNamespace(log_record=record))

    def records(self):
        self.processor.force_flush()
        if not self.log.exists():
            return []
        return [json.loads(line) for line in self.log.read_text().splitlines()]

    def close(self):
        self.provider.shutdown()


@pytest.fixture
def traced(tmp_path):
    made = Traced(tmp_path / "audit.wal")
    yield made
    made.close()


CHAT = {"gen_ai.operation.name": "chat", "gen_ai.provider.name": "openai",
        "gen_ai.request.model": "fake-model", "gen_ai.response.model": "fake-model-1"}
USER = {"role": "user", "parts": [{"type": "text", "content": "Is it urgent?"}]}
SYSTEM = {"role": "system", "parts": [{"type": "text", "content": "Be brief."}]}
ANSWER = {"role": "assistant", "parts": [{"type": "text", "content": "Yes."}], "finish_reason": "stop"}
TOOL_CALL = {"type": "tool_call", "id": "call_1", "name": "get_weather", "arguments": {"city": "Oslo"}}
ASKS_TOOL = {"role": "assistant", "parts": [TOOL_CALL], "finish_reason": "tool_calls"}
TOOL_RESULT = {"role": "tool", "parts": [{"type": "tool_call_response", "id": "call_1", "response": "sunny"}]}


def js(value):
    return json.dumps(value)


# (attributes beyond CHAT, message log records, expected prompt, expected output)
CONTENT_FORMS = {
    "current-json-text": (
        {"gen_ai.input.messages": js([SYSTEM, USER]), "gen_ai.output.messages": js([ANSWER])},
        [], [SYSTEM, USER], [ANSWER]),
    "current-sequence-of-json-texts": (
        {"gen_ai.input.messages": (js(USER),), "gen_ai.output.messages": (js(ANSWER),)},
        [], [USER], [ANSWER]),
    "current-system-instructions-first": (
        {"gen_ai.system_instructions": js(SYSTEM["parts"]), "gen_ai.input.messages": js([USER]),
         "gen_ai.output.messages": js([ASKS_TOOL])},
        [], [SYSTEM, USER], [ASKS_TOOL]),
    "log-records": (
        {},
        [("gen_ai.system.message", {"content": "Be brief."}),
         ("gen_ai.user.message", {"content": "Is it urgent?"}),
         ("gen_ai.assistant.message", {"tool_calls": [{"id": "call_1", "type": "function", "function": {
             "name": "get_weather", "arguments": '{"city": "Oslo"}'}}]}),
         ("gen_ai.tool.message", {"content": "sunny", "id": "call_1"}),
         ("gen_ai.choice", {"index": 0, "finish_reason": "stop",
                            "message": {"role": "assistant", "content": "Yes."}})],
        [SYSTEM, USER, {"role": "assistant", "parts": [TOOL_CALL]}, TOOL_RESULT], [ANSWER]),
    "log-records-choices-in-index-order": (
        {},
        [("gen_ai.user.message", {"content": "Is it urgent?"}),
         ("gen_ai.choice", {"index": 1, "finish_reason": "stop", "message": {"content": "No."}}),
         ("gen_ai.choice", {"index": 0, "finish_reason": "stop", "message": {"content": "Yes."}})],
        [USER], [ANSWER, {"role": "assistant", "parts": [{"type": "text", "content": "No."}],
                          "finish_reason": "stop"}]),
    "indexed-attributes": (
        {"gen_ai.prompt.0.role": "system", "gen_ai.prompt.0.content": "Be brief.",
         "gen_ai.prompt.1.role": "user", "gen_ai.prompt.1.content": "Is it urgent?",
         "gen_ai.prompt.2.role": "assistant", "gen_ai.prompt.2.tool_calls.0.id": "call_1",
         "gen_ai.prompt.2.tool_calls.0.name": "get_weather",
         "gen_ai.prompt.2.tool_calls.0.arguments": '{"city": "Oslo"}',
         "gen_ai.prompt.3.role": "tool", "gen_ai.prompt.3.content": "sunny", "gen_ai.prompt.3.tool_call_id": "call_1",
         # indices sort as numbers, not as text
         "gen_ai.completion.10.role": "assistant", "gen_ai.completion.10.content": "Later.",
         "gen_ai.completion.2.role": "assistant", "gen_ai.completion.2.content": "Yes.",
         "gen_ai.completion.2.finish_reason": "stop"},
        [], [SYSTEM, USER, {"role": "assistant", "parts": [TOOL_CALL]}, TOOL_RESULT],
        [ANSWER, {"role": "assistant", "parts": [{"type": "text", "content": "Later."}]}]),
}


@pytest.mark.parametrize("attributes,logs,prompt,output", CONTENT_FORMS.values(), ids=CONTENT_FORMS.keys())
def test_every_content_form_seals_the_current_message_shape(traced, attributes, logs, prompt, output):
    ctx = traced.span(attributes={**CHAT, **attributes}, logs=logs)
    (record,) = traced.records()
    assert json.loads(record["prompt"]) == prompt
    assert json.loads(record["output"]) == output
    tool_calls = [p for m in output for p in m["parts"] if p.get("type") == "tool_call"]
    assert json.loads(record["reasoning_trace_json"]) == tool_calls
    assert json.loads(record["ctx_json"])["span_id"] == format(ctx.span_id, "016x")


def test_tool_span_seals_its_arguments_and_result(traced):
    traced.span("execute_tool get_weather", {
        "gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": "get_weather",
        "gen_ai.tool.call.id": "call_1", "gen_ai.tool.call.arguments": '{"city": "Oslo"}',
        "gen_ai.tool.call.result": "sunny"})
    (record,) = traced.records()
    assert (record["prompt"], record["output"]) == ('{"city": "Oslo"}', "sunny")
    attributes = json.loads(record["ctx_json"])["attributes"]
    assert attributes == {"gen_ai.tool.name": "get_weather", "gen_ai.tool.call.id": "call_1"}


def test_record_holds_the_span_identity_settings_and_events(traced):
    with traced.tracer.start_as_current_span("handle-request") as parent:
        ctx = traced.span(attributes={
            **CHAT, "gen_ai.request.temperature": 0.2, "gen_ai.usage.input_tokens": 11,
            "gen_ai.response.finish_reasons": ("stop",), "gen_ai.conversation.id": "conv-7",
            "server.address": "127.0.0.1", "gen_ai.input.messages": js([USER])},
            events=["retry", "first-token"], status=Status(StatusCode.ERROR, "rate limited"))
    (record,) = traced.records()
    got = json.loads(record["ctx_json"])
    assert got["trace_id"] == format(ctx.trace_id, "032x") and len(got["trace_id"]) == 32
    assert got["span_id"] == format(ctx.span_id, "016x")
    assert got["parent_span_id"] == format(parent.get_span_context().span_id, "016x")
    assert got["name"] == "chat fake-model"
    assert 0 < got["start_time_unix_nano"] <= got["end_time_unix_nano"]
    assert got["status"] == {"code": "ERROR", "description": "rate limited"}
    assert (got["operation"], got["provider"], got["conversation_id"]) == ("chat", "openai", "conv-7")
    assert got["attributes"] == {
        "gen_ai.request.model": "fake-model", "gen_ai.response.model": "fake-model-1",
        "gen_ai.request.temperature": 0.2, "gen_ai.usage.input_tokens": 11,
        "gen_ai.response.finish_reasons": ["stop"]}
    assert got["resource"] == {"service.name": "triage-api", "service.version": "1.4.2"}
    events = json.loads(record["reasoning_trace_json"])
    assert [(e["type"], e["name"], e["attributes"]) for e in events] == [
        ("event", "retry", {"step": 1}), ("event", "first-token", {"step": 1})]
    assert events[0]["time_unix_nano"] <= events[1]["time_unix_nano"]
    review = json.loads(record["human_delta_chain_json"])
    assert review["agent_decision_ref"] == f"trace/{got['trace_id']}/span/{got['span_id']}"
    assert review["resolved"] is False


@pytest.mark.parametrize("resource,attributes,expected", [
    pytest.param(RESOURCE, {}, ("openai/fake-model-1", "triage-api/prod", "chat"), id="environment"),
    pytest.param({"service.name": "triage-api", "cloud.region": "eu-west-1"},
                 {"gen_ai.agent.name": "triager"}, ("openai/fake-model-1", "triage-api/eu-west-1", "triager"),
                 id="region-and-agent"),
    pytest.param({"service.name": "triage-api"}, {"gen_ai.response.model": None},
                 ("openai/fake-model", "triage-api", "chat"), id="request-model-when-no-response"),
])
def test_ppp_derived_from_resource_and_span(tmp_path, resource, attributes, expected):
    traced = Traced(tmp_path / "audit.wal", resource=resource)
    span_attributes = {k: v for k, v in {**CHAT, **attributes}.items() if v is not None}
    traced.span(attributes=span_attributes)
    (record,) = traced.records()
    traced.close()
    ppp = json.loads(record["ppp_json"])
    assert (ppp["provenance"], ppp["place"], ppp["purpose"]) == expected


@pytest.mark.parametrize("given", ["triplet", "function"])
def test_ppp_and_review_given(tmp_path, given):
    triplet = tvel_oxa.PPPTriplet("model-a", "eu-west", "triage")
    ppp = triplet if given == "triplet" else (lambda span: tvel_oxa.PPPTriplet("m-" + span.name, "p", "q"))
    traced = Traced(tmp_path / "audit.wal", ppp=ppp,
                    review=lambda span: tvel_oxa.HumanDeltaChain("ticket-" + span.name, True, "queue-a"))
    traced.span("x", CHAT)
    (record,) = traced.records()
    traced.close()
    got = json.loads(record["ppp_json"])
    assert got["provenance"] == ("model-a" if given == "triplet" else "m-x")
    review = json.loads(record["human_delta_chain_json"])
    assert (review["agent_decision_ref"], review["resolved"], review["terminal_node"]) == ("ticket-x", True, "queue-a")


@pytest.mark.parametrize("select,names", [
    pytest.param(None, ["chat", "legacy"], id="default-rule"),
    pytest.param(lambda span: span.name.startswith("h"), ["http"], id="select-replaces-the-rule"),
])
def test_which_spans_are_sealed(tmp_path, select, names):
    traced = Traced(tmp_path / "audit.wal", select=select)
    traced.span("http", {"http.method": "GET"})
    traced.span("chat", CHAT)
    traced.span("legacy", {"llm.request.type": "chat"})
    traced.span("db", {})
    records = traced.records()
    traced.close()
    assert [json.loads(r["ctx_json"])["name"] for r in records] == names


def test_a_select_that_raises_is_logged_and_the_span_skipped(tmp_path, caplog):
    def select(span):
        if span.name == "bad":
            raise RuntimeError("rule broke")
        return True

    traced = Traced(tmp_path / "audit.wal", select=select)
    with caplog.at_level(logging.ERROR, logger="oxa_otel"):
        bad = traced.span("bad", CHAT)
        traced.span("good", CHAT)
    records = traced.records()
    traced.close()
    assert [json.loads(r["ctx_json"])["name"] for r in records] == ["good"]
    (message,) = [r for r in caplog.records if r.name == "oxa_otel"]
    assert format(bad.span_id, "016x") in message.getMessage()


class SlowEngine:
    """A real engine that takes a moment per capture, so that spans queue up."""

    def __init__(self, path, fail_on=None):
        self.engine = tvel_oxa.OXAEngine(str(path))
        self.fail_on = fail_on

    def capture(self, ctx, *args):
        time.sleep(0.0005)
        if ctx["name"] == self.fail_on:
            raise ValueError("the disk said no")
        return self.engine.capture(ctx, *args)


def test_shutdown_with_spans_queued_loses_none_and_keeps_their_order(tmp_path):
    log = tmp_path / "audit.wal"
    provider = TracerProvider()
    processor = oxa_otel.SealingSpanProcessor(SlowEngine(log), max_queue_size=3)
    provider.add_span_processor(processor)
    tracer = provider.get_tracer("test")

    def calls(thread):
        for i in range(50):
            with tracer.start_as_current_span(f"{thread}-{i}", attributes=CHAT):
                pass

    threads = [threading.Thread(target=calls, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    provider.shutdown()  # the producers waited on a queue of 3: most spans are still queued here

    names = [json.loads(json.loads(line)["ctx_json"])["name"] for line in log.read_text().splitlines()]
    assert len(names) == 200
    for t in range(4):
        assert [n for n in names if n.startswith(f"{t}-")] == [f"{t}-{i}" for i in range(50)]
    assert oxa_verify.verify_log(str(log))["ok"]


def test_a_failed_capture_is_logged_with_the_span_ids_and_the_next_go_on(tmp_path, caplog):
    log = tmp_path / "audit.wal"
    provider = TracerProvider()
    processor = oxa_otel.SealingSpanProcessor(SlowEngine(log, fail_on="bad"))
    provider.add_span_processor(processor)
    tracer = provider.get_tracer("test")
    with caplog.at_level(logging.ERROR, logger="oxa_otel"):
        for name in ("good-1", "bad", "good-2"):
            with tracer.start_as_current_span(name, attributes=CHAT) as span:
                if name == "bad":
                    bad = span.get_span_context()
        provider.shutdown()
    names = [json.loads(json.loads(line)["ctx_json"])["name"] for line in log.read_text().splitlines()]
    assert names == ["good-1", "good-2"]
    assert processor.failed_captures == 1
    (message,) = [r for r in caplog.records if r.name == "oxa_otel"]
    assert format(bad.trace_id, "032x") in message.getMessage()
    assert format(bad.span_id, "016x") in message.getMessage()
    assert "the disk said no" in message.exc_text


def test_content_capture_off_seals_empty_texts_and_warns_once(traced):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for _ in range(3):
            traced.span(attributes=CHAT, logs=[("gen_ai.user.message", {}),
                                               ("gen_ai.choice", {"index": 0, "finish_reason": "stop",
                                                                  "message": {"role": "assistant"}})])
        records = traced.records()
    assert [(r["prompt"], r["output"]) for r in records] == [("", "")] * 3
    (warning,) = [w for w in caught if "no message text" in str(w.message)]
    assert "OTEL_INSTRUMENTATION_GENAI_CAPTURE_MESSAGE_CONTENT" in str(warning.message)


def test_log_records_whose_span_never_ends_are_bounded_and_counted(tmp_path):
    traced = Traced(tmp_path / "audit.wal", max_pending_log_spans=2)
    trace_id = 0x1234
    for span_id in (1, 2, 3):  # spans that never end here
        traced.emit(trace_id, span_id, "gen_ai.user.message", {"content": "lost"})
        traced.emit(trace_id, span_id, "gen_ai.choice", {"index": 0, "message": {"content": "lost"}})
    traced.emit(trace_id, 9, "other.event", {"content": "not GenAI: never held"})
    ctx = traced.span(attributes=CHAT, logs=[("gen_ai.user.message", {"content": "Is it urgent?"})])
    (record,) = traced.records()
    traced.close()
    assert json.loads(record["prompt"]) == [USER]
    # Holding the ended span's content pushed out two of the three unended spans.
    assert traced.processor.dropped_log_records == 4
    assert json.loads(record["ctx_json"])["span_id"] == format(ctx.span_id, "016x")


def test_span_ending_after_shutdown_is_still_sealed(traced):
    traced.processor.shutdown()
    traced.span(attributes=CHAT)
    assert len(traced.records()) == 1


@pytest.mark.parametrize("trace_form,span_form", [
    pytest.param(int, int, id="ints"),
    pytest.param(lambda v: format(v, "032x"), lambda v: format(v, "016x"), id="hex"),
    pytest.param(lambda v: "0x" + format(v, "032X"), lambda v: format(v, "016X"), id="upper-hex"),
])
def test_find_record(traced, trace_form, span_form):
    first = traced.span("first", CHAT)
    second = traced.span("second", CHAT)
    traced.records()
    line = oxa_otel.find_record(traced.log, trace_form(second.trace_id), span_form(second.span_id))
    assert json.loads(json.loads(line)["ctx_json"])["name"] == "second"
    assert line == traced.log.read_text().splitlines()[1]
    assert oxa_otel.find_record(traced.log, first.trace_id, second.span_id) is None


def test_find_record_across_rotated_pieces(traced, tmp_path):
    ctx = traced.span("old", CHAT)
    traced.records()
    piece = tmp_path / "audit.wal.1.gz"
    piece.write_bytes(gzip.compress(traced.log.read_bytes()))
    empty = tmp_path / "audit.wal.2"
    empty.write_text("")
    assert "old" in oxa_otel.find_record([piece, empty], ctx.trace_id, ctx.span_id)


@pytest.mark.parametrize("trace_id,span_id,error", [
    ("abc", "0" * 15 + "1", ValueError),
    ("1" * 32, "xyz", ValueError),
    (0, 1, ValueError),
    (True, 1, TypeError),
    (1.0, 1, TypeError),
])
def test_find_record_refuses_bad_ids(traced, trace_id, span_id, error):
    with pytest.raises(error):
        oxa_otel.find_record(traced.log, trace_id, span_id)


def forked_child_records(tmp_path):
    """Seals spans in the parent, forks, seals more in the child; returns the log."""
    log = tmp_path / "audit.wal"
    provider = TracerProvider()
    processor = oxa_otel.SealingSpanProcessor(str(log))
    provider.add_span_processor(processor)
    tracer = provider.get_tracer("test")
    with tracer.start_as_current_span("parent-before", attributes=CHAT):
        pass
    processor.force_flush()
    pid = os.fork()
    if pid == 0:  # the child: its own worker must seal its spans
        code = 1
        try:
            for i in range(3):
                with tracer.start_as_current_span(f"child-{i}", attributes=CHAT):
                    pass
            code = 0 if processor.force_flush(10_000) else 2
        finally:
            os._exit(code)
    with tracer.start_as_current_span("parent-after", attributes=CHAT):
        pass
    _, status = os.waitpid(pid, 0)
    provider.shutdown()
    assert os.waitstatus_to_exitcode(status) == 0
    return log


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork with threads running
def test_forked_child_gets_its_own_worker_and_chain(tmp_path):
    log = forked_child_records(tmp_path)
    names = sorted(json.loads(json.loads(line)["ctx_json"])["name"] for line in log.read_text().splitlines())
    assert names == ["child-0", "child-1", "child-2", "parent-after", "parent-before"]
    report = oxa_verify.verify_log(str(log))
    assert report["ok"], report["problems"]
    assert len(report["chains"]) == 2


OXA_VERIFY = str(Path(sys.executable).with_name("oxa-verify"))


def flip_signature(record):
    record["signature"][0] ^= 1


# How the second record is damaged, the problem that follows, and whether the
# line still leads to its span (a line that is no JSON object does not).
DAMAGES = {
    "altered-prompt": (lambda r: r.update(prompt="altered"), "hash-mismatch", True),
    "altered-signature": (flip_signature, "bad-signature", True),
    "member-of-wrong-type": (lambda r: r.update(coherence_score="high"), "malformed", True),
    "cut-short": (None, "malformed", False),
}


@pytest.mark.parametrize("damage,kind,named", DAMAGES.values(), ids=DAMAGES.keys())
def test_oxa_verify_names_the_span_of_a_record_with_a_problem(traced, tmp_path, damage, kind, named):
    spans = [traced.span(f"call-{i}", CHAT) for i in range(3)]
    traced.records()
    lines = traced.log.read_text().splitlines()
    if damage is None:
        lines[1] = lines[1][:40]
    else:
        record = json.loads(lines[1])
        damage(record)
        lines[1] = json.dumps(record)
    # The first line in a rotated piece, so that lines count across files.
    piece = tmp_path / "audit.wal.1.gz"
    piece.write_bytes(gzip.compress((lines[0] + "\n").encode()))
    rest = tmp_path / "rest.wal"
    rest.write_text("\n".join(lines[1:]) + "\n")
    key = traced.processor.engine.public_key_hex()
    trace_hex, span_hex = format(spans[1].trace_id, "032x"), format(spans[1].span_id, "016x")
    ids = {"trace_id": trace_hex, "span_id": span_hex} if named else {}

    as_json = subprocess.run([OXA_VERIFY, "--json", "--public-key", key, str(piece), str(rest)],
                             capture_output=True, text=True, timeout=60)
    assert as_json.returncode == 1, as_json.stderr
    problems = json.loads(as_json.stdout)["problems"]
    assert kind in {p["kind"] for p in problems}
    third = {"trace_id": format(spans[2].trace_id, "032x"), "span_id": format(spans[2].span_id, "016x")}
    for problem in problems:  # a chain break after an unread line is on line 3, the third span's
        expected = {2: ids, 3: third}.get(problem["line"], {})
        assert {k: problem[k] for k in ("trace_id", "span_id") if k in problem} == expected, problem

    text = subprocess.run([OXA_VERIFY, "--public-key", key, str(piece), str(rest)],
                          capture_output=True, text=True, timeout=60)
    (shown,) = [line for line in text.stdout.splitlines() if f": {kind}: " in line]
    assert shown.endswith(f" (trace {trace_hex}, span {span_hex})") == named, shown

    report = oxa_verify.verify_log([str(piece), str(rest)], public_key=key)
    assert report["problems"] == problems


def test_problems_on_records_not_sealed_from_a_span_carry_no_span_ids(tmp_path):
    log = tmp_path / "plain.wal"
    engine = tvel_oxa.OXAEngine(str(log))
    for i in range(2):
        engine.capture({"user": f"u{i}", "trace": "not an OpenTelemetry span"}, "p", [], "o",
                       tvel_oxa.PPPTriplet("m", "p", "q"), tvel_oxa.HumanDeltaChain(f"t{i}", False, "queue"))
    lines = log.read_text().splitlines()
    record = json.loads(lines[1])
    record["prompt"] = "altered"
    log.write_text(lines[0] + "\n" + json.dumps(record) + "\n")
    result = subprocess.run([OXA_VERIFY, "--json", "--public-key", engine.public_key_hex(), str(log)],
                            capture_output=True, text=True, timeout=60)
    problems = json.loads(result.stdout)["problems"]
    assert "hash-mismatch" in {p["kind"] for p in problems}
    assert all(set(p) == {"line", "file", "file_line", "kind", "message"} for p in problems), problems
