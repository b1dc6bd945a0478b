"""What a record holds for a given span, pinned text for text: the members
taken from the span must not change from one release to the next (a trace is
looked up by them, and the texts feed the content hash), whatever the
processor does to be faster."""
import json
import re
from types import SimpleNamespace

import pytest

pytest.importorskip("opentelemetry.sdk")

from opentelemetry import trace  # noqa: E402
from opentelemetry.sdk.resources import Resource  # noqa: E402
from opentelemetry.sdk.trace import TracerProvider  # noqa: E402
from opentelemetry.sdk.trace.id_generator import IdGenerator  # noqa: E402
from opentelemetry.trace import Status, StatusCode  # noqa: E402

import oxa_otel  # noqa: E402
from oxa_otel import _content as oxa_otel_content  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore:oxa_otel. a GenAI span carried no message text:RuntimeWarning")

TRACE_ID = 0x4BF92F3577B34DA6A3CE929D0E0E4736
PARENT_ID = 0x00F067AA0BA902B7
SPAN_ID = 0x53995C3F42CD8AD8
START = 1_765_000_000_123_456_789
MEMBERS = ("ctx_json", "prompt", "output", "reasoning_trace_json", "ppp_json", "human_delta_chain_json")


class FixedIds(IdGenerator):
    """The parent span first, then the span to seal, in one fixed trace."""

    def __init__(self):
        self.span_ids = iter((PARENT_ID, SPAN_ID))

    def generate_trace_id(self):
        return TRACE_ID

    def generate_span_id(self):
        return next(self.span_ids)


def js(value):
    return json.dumps(value)


CHAT = {"gen_ai.operation.name": "chat", "gen_ai.provider.name": "openai", "gen_ai.request.model": "gpt-x",
        "gen_ai.response.model": "gpt-x-2025", "gen_ai.request.temperature": 0.2, "gen_ai.usage.input_tokens": 11,
        "gen_ai.usage.output_tokens": 7, "gen_ai.response.finish_reasons": ("stop",),
        "gen_ai.conversation.id": "conv-7", "server.address": "127.0.0.1"}
USER = {"role": "user", "parts": [{"type": "text", "content": "Is it urgent? «ünïcode»"}]}
SYSTEM = {"role": "system", "parts": [{"type": "text", "content": "Be brief."}]}
ANSWER = {"role": "assistant", "parts": [{"type": "text", "content": "Yes."}], "finish_reason": "stop"}
ASKS_TOOL = {"role": "assistant", "parts": [{"type": "tool_call", "id": "call_1", "name": "get_weather",
                                             "arguments": {"city": "Oslo"}}], "finish_reason": "tool_calls"}

# (span attributes, message log records, events, status, resource)
SPANS = {
    "current-json-text": (
        {**CHAT, "gen_ai.input.messages": js([SYSTEM, USER]), "gen_ai.output.messages": js([ANSWER])},
        [], [], None, {"service.name": "triage-api", "deployment.environment.name": "prod"}),
    "current-json-text-tool-call-events-error": (
        {**CHAT, "gen_ai.input.messages": js([USER]), "gen_ai.output.messages": js([ASKS_TOOL]),
         "gen_ai.agent.name": "triager"},
        [], ["retry", "first-token"], Status(StatusCode.ERROR, "rate limited"),
        {"service.name": "triage-api", "service.version": "1.4.2", "cloud.region": "eu-west-1"}),
    "current-structured-with-system-instructions": (
        {**CHAT, "gen_ai.system_instructions": js(SYSTEM["parts"]), "gen_ai.input.messages": (js(USER),),
         "gen_ai.output.messages": (js(ANSWER),)},
        [], [], Status(StatusCode.OK), {"service.name": "triage-api"}),
    "log-records": (
        {"gen_ai.operation.name": "chat", "gen_ai.system": "openai", "gen_ai.request.model": "gpt-x"},
        [("gen_ai.system.message", {"content": "Be brief."}), ("gen_ai.user.message", {"content": "Hi"}),
         ("gen_ai.assistant.message", {"tool_calls": [{"id": "call_1", "type": "function", "function": {
             "name": "get_weather", "arguments": '{"city": "Oslo"}'}}]}),
         ("gen_ai.tool.message", {"content": "sunny", "id": "call_1"}),
         ("gen_ai.choice", {"index": 0, "finish_reason": "stop", "message": {"role": "assistant", "content": "Yes."}})],
        [], None, {"service.name": "triage-api"}),
    "indexed-attributes": (
        {"llm.request.type": "chat", "gen_ai.system": "openai", "gen_ai.request.model": "gpt-x",
         "gen_ai.prompt.0.role": "user", "gen_ai.prompt.0.content": "Hi",
         "gen_ai.completion.0.role": "assistant", "gen_ai.completion.0.content": "Yes.",
         "gen_ai.completion.0.finish_reason": "stop"},
        [], [], None, {"service.name": "triage-api"}),
    "tool-span": (
        {"gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": "get_weather", "gen_ai.tool.call.id": "call_1",
         "gen_ai.tool.call.arguments": '{"city": "Oslo"}', "gen_ai.tool.call.result": "sunny"},
        [], [], None, {"service.name": "triage-api"}),
    "content-capture-off": (
        CHAT, [], [], None, {"service.name": "triage-api"}),
}


def sealed_members(tmp_path, attributes, logs, events, status, resource):
    provider = TracerProvider(resource=Resource.create(resource), id_generator=FixedIds())
    processor = oxa_otel.SealingSpanProcessor(str(tmp_path / "audit.wal"))
    provider.add_span_processor(processor)
    tracer = provider.get_tracer("test")
    parent = tracer.start_span("handle-request", start_time=START)
    span = tracer.start_span("chat gpt-x", context=trace.set_span_in_context(parent), attributes=attributes,
                             start_time=START + 1000)
    for body_name, body in logs:
        record = SimpleNamespace(trace_id=TRACE_ID, span_id=SPAN_ID, event_name=body_name, body=body, attributes={})
        processor.log_record_processor.on_emit(SimpleNamespace(log_record=record))
    for i, name in enumerate(events):
        span.add_event(name, {"step": i}, timestamp=START + 2000 + i)
    if status is not None:
        span.set_status(status)
    span.end(end_time=START + 5000)
    parent.end(end_time=START + 6000)
    provider.shutdown()
    (line,) = (tmp_path / "audit.wal").read_text(encoding="utf-8").splitlines()
    record = json.loads(line)
    members = {member: record[member] for member in MEMBERS}
    members["human_delta_chain_json"] = re.sub(r'"chain_id":"[^"]*"', '"chain_id":"CHAIN_ID"',
                                               members["human_delta_chain_json"])
    return members


# Made by the processor when these records were first pinned; the review's
# chain_id is random and shown as CHAIN_ID.
EXPECTED = {
    'current-json-text': {
        'ctx_json': (
            '{"trace_id": "4bf92f3577b34da6a3ce929d0e0e4736", "span_id": "53995c3f42cd8ad8", "parent_'
            'span_id": "00f067aa0ba902b7", "name": "chat gpt-x", "start_time_unix_nano": 176500000012'
            '3457789, "end_time_unix_nano": 1765000000123461789, "status": {"code": "UNSET"}, "operat'
            'ion": "chat", "provider": "openai", "conversation_id": "conv-7", "attributes": {"gen_ai.'
            'request.model": "gpt-x", "gen_ai.response.model": "gpt-x-2025", "gen_ai.request.temperat'
            'ure": 0.2, "gen_ai.usage.input_tokens": 11, "gen_ai.usage.output_tokens": 7, "gen_ai.res'
            'ponse.finish_reasons": ["stop"]}, "resource": {"service.name": "triage-api"}}'
        ),
        'prompt': (
            '[{"role": "system", "parts": [{"type": "text", "content": "Be brief."}]}, {"role": "user'
            '", "parts": [{"type": "text", "content": "Is it urgent? \\u00ab\\u00fcn\\u00efcode\\u00bb"}]'
            '}]'
        ),
        'output': '[{"role": "assistant", "parts": [{"type": "text", "content": "Yes."}], "finish_reason": "stop"}]',
        'reasoning_trace_json': '[]',
        'ppp_json': '{"provenance":"openai/gpt-x-2025","place":"triage-api/prod","purpose":"chat"}',
        'human_delta_chain_json': (
            '{"chain_id":"CHAIN_ID","agent_decision_ref":"trace/4bf92f3577b34da6a3ce929d0e0e4736/span'
            '/53995c3f42cd8ad8","resolved":false,"terminal_node":"unreviewed"}'
        ),
    },
    'current-json-text-tool-call-events-error': {
        'ctx_json': (
            '{"trace_id": "4bf92f3577b34da6a3ce929d0e0e4736", "span_id": "53995c3f42cd8ad8", "parent_'
            'span_id": "00f067aa0ba902b7", "name": "chat gpt-x", "start_time_unix_nano": 176500000012'
            '3457789, "end_time_unix_nano": 1765000000123461789, "status": {"code": "ERROR", "descrip'
            'tion": "rate limited"}, "operation": "chat", "provider": "openai", "conversation_id": "c'
            'onv-7", "attributes": {"gen_ai.request.model": "gpt-x", "gen_ai.response.model": "gpt-x-'
            '2025", "gen_ai.request.temperature": 0.2, "gen_ai.usage.input_tokens": 11, "gen_ai.usage'
            '.output_tokens": 7, "gen_ai.response.finish_reasons": ["stop"], "gen_ai.agent.name": "tr'
            'iager"}, "resource": {"service.name": "triage-api", "service.version": "1.4.2"}}'
        ),
        'prompt': (
            '[{"role": "user", "parts": [{"type": "text", "content": "Is it urgent? \\u00ab\\u00fcn\\u00'
            'efcode\\u00bb"}]}]'
        ),
        'output': (
            '[{"role": "assistant", "parts": [{"type": "tool_call", "id": "call_1", "name": "get_weat'
            'her", "arguments": {"city": "Oslo"}}], "finish_reason": "tool_calls"}]'
        ),
        'reasoning_trace_json': (
            '[{"type": "tool_call", "id": "call_1", "name": "get_weather", "arguments": {"city": "Osl'
            'o"}}, {"type": "event", "name": "retry", "time_unix_nano": 1765000000123458789, "attribu'
            'tes": {"step": 0}}, {"type": "event", "name": "first-token", "time_unix_nano": 176500000'
            '0123458790, "attributes": {"step": 1}}]'
        ),
        'ppp_json': '{"provenance":"openai/gpt-x-2025","place":"triage-api/eu-west-1","purpose":"triager"}',
        'human_delta_chain_json': (
            '{"chain_id":"CHAIN_ID","agent_decision_ref":"trace/4bf92f3577b34da6a3ce929d0e0e4736/span'
            '/53995c3f42cd8ad8","resolved":false,"terminal_node":"unreviewed"}'
        ),
    },
    'current-structured-with-system-instructions': {
        'ctx_json': (
            '{"trace_id": "4bf92f3577b34da6a3ce929d0e0e4736", "span_id": "53995c3f42cd8ad8", "parent_'
            'span_id": "00f067aa0ba902b7", "name": "chat gpt-x", "start_time_unix_nano": 176500000012'
            '3457789, "end_time_unix_nano": 1765000000123461789, "status": {"code": "OK"}, "operation'
            '": "chat", "provider": "openai", "conversation_id": "conv-7", "attributes": {"gen_ai.req'
            'uest.model": "gpt-x", "gen_ai.response.model": "gpt-x-2025", "gen_ai.request.temperature'
            '": 0.2, "gen_ai.usage.input_tokens": 11, "gen_ai.usage.output_tokens": 7, "gen_ai.respon'
            'se.finish_reasons": ["stop"]}, "resource": {"service.name": "triage-api"}}'
        ),
        'prompt': (
            '[{"role":"system","parts":[{"type":"text","content":"Be brief."}]},{"role":"user","parts'
            '":[{"type":"text","content":"Is it urgent? «ünïcode»"}]}]'
        ),
        'output': '[{"role":"assistant","parts":[{"type":"text","content":"Yes."}],"finish_reason":"stop"}]',
        'reasoning_trace_json': '[]',
        'ppp_json': '{"provenance":"openai/gpt-x-2025","place":"triage-api","purpose":"chat"}',
        'human_delta_chain_json': (
            '{"chain_id":"CHAIN_ID","agent_decision_ref":"trace/4bf92f3577b34da6a3ce929d0e0e4736/span'
            '/53995c3f42cd8ad8","resolved":false,"terminal_node":"unreviewed"}'
        ),
    },
    'log-records': {
        'ctx_json': (
            '{"trace_id": "4bf92f3577b34da6a3ce929d0e0e4736", "span_id": "53995c3f42cd8ad8", "parent_'
            'span_id": "00f067aa0ba902b7", "name": "chat gpt-x", "start_time_unix_nano": 176500000012'
            '3457789, "end_time_unix_nano": 1765000000123461789, "status": {"code": "UNSET"}, "operat'
            'ion": "chat", "provider": "openai", "conversation_id": null, "attributes": {"gen_ai.requ'
            'est.model": "gpt-x"}, "resource": {"service.name": "triage-api"}}'
        ),
        'prompt': (
            '[{"role":"system","parts":[{"type":"text","content":"Be brief."}]},{"role":"user","parts'
            '":[{"type":"text","content":"Hi"}]},{"role":"assistant","parts":[{"type":"tool_call","id'
            '":"call_1","name":"get_weather","arguments":{"city":"Oslo"}}]},{"role":"tool","parts":[{'
            '"type":"tool_call_response","id":"call_1","response":"sunny"}]}]'
        ),
        'output': '[{"role":"assistant","parts":[{"type":"text","content":"Yes."}],"finish_reason":"stop"}]',
        'reasoning_trace_json': '[]',
        'ppp_json': '{"provenance":"openai/gpt-x","place":"triage-api","purpose":"chat"}',
        'human_delta_chain_json': (
            '{"chain_id":"CHAIN_ID","agent_decision_ref":"trace/4bf92f3577b34da6a3ce929d0e0e4736/span'
            '/53995c3f42cd8ad8","resolved":false,"terminal_node":"unreviewed"}'
        ),
    },
    'indexed-attributes': {
        'ctx_json': (
            '{"trace_id": "4bf92f3577b34da6a3ce929d0e0e4736", "span_id": "53995c3f42cd8ad8", "parent_'
            'span_id": "00f067aa0ba902b7", "name": "chat gpt-x", "start_time_unix_nano": 176500000012'
            '3457789, "end_time_unix_nano": 1765000000123461789, "status": {"code": "UNSET"}, "operat'
            'ion": "chat", "provider": "openai", "conversation_id": null, "attributes": {"gen_ai.requ'
            'est.model": "gpt-x"}, "resource": {"service.name": "triage-api"}}'
        ),
        'prompt': '[{"role":"user","parts":[{"type":"text","content":"Hi"}]}]',
        'output': '[{"role":"assistant","parts":[{"type":"text","content":"Yes."}],"finish_reason":"stop"}]',
        'reasoning_trace_json': '[]',
        'ppp_json': '{"provenance":"openai/gpt-x","place":"triage-api","purpose":"chat"}',
        'human_delta_chain_json': (
            '{"chain_id":"CHAIN_ID","agent_decision_ref":"trace/4bf92f3577b34da6a3ce929d0e0e4736/span'
            '/53995c3f42cd8ad8","resolved":false,"terminal_node":"unreviewed"}'
        ),
    },
    'tool-span': {
        'ctx_json': (
            '{"trace_id": "4bf92f3577b34da6a3ce929d0e0e4736", "span_id": "53995c3f42cd8ad8", "parent_'
            'span_id": "00f067aa0ba902b7", "name": "chat gpt-x", "start_time_unix_nano": 176500000012'
            '3457789, "end_time_unix_nano": 1765000000123461789, "status": {"code": "UNSET"}, "operat'
            'ion": "execute_tool", "provider": null, "conversation_id": null, "attributes": {"gen_ai.'
            'tool.name": "get_weather", "gen_ai.tool.call.id": "call_1"}, "resource": {"service.name"'
            ': "triage-api"}}'
        ),
        'prompt': '{"city": "Oslo"}',
        'output': 'sunny',
        'reasoning_trace_json': '[]',
        'ppp_json': '{"provenance":"","place":"triage-api","purpose":"execute_tool"}',
        'human_delta_chain_json': (
            '{"chain_id":"CHAIN_ID","agent_decision_ref":"trace/4bf92f3577b34da6a3ce929d0e0e4736/span'
            '/53995c3f42cd8ad8","resolved":false,"terminal_node":"unreviewed"}'
        ),
    },
    'content-capture-off': {
        'ctx_json': (
            '{"trace_id": "4bf92f3577b34da6a3ce929d0e0e4736", "span_id": "53995c3f42cd8ad8", "parent_'
            'span_id": "00f067aa0ba902b7", "name": "chat gpt-x", "start_time_unix_nano": 176500000012'
            '3457789, "end_time_unix_nano": 1765000000123461789, "status": {"code": "UNSET"}, "operat'
            'ion": "chat", "provider": "openai", "conversation_id": "conv-7", "attributes": {"gen_ai.'
            'request.model": "gpt-x", "gen_ai.response.model": "gpt-x-2025", "gen_ai.request.temperat'
            'ure": 0.2, "gen_ai.usage.input_tokens": 11, "gen_ai.usage.output_tokens": 7, "gen_ai.res'
            'ponse.finish_reasons": ["stop"]}, "resource": {"service.name": "triage-api"}}'
        ),
        'prompt': '',
        'output': '',
        'reasoning_trace_json': '[]',
        'ppp_json': '{"provenance":"openai/gpt-x-2025","place":"triage-api","purpose":"chat"}',
        'human_delta_chain_json': (
            '{"chain_id":"CHAIN_ID","agent_decision_ref":"trace/4bf92f3577b34da6a3ce929d0e0e4736/span'
            '/53995c3f42cd8ad8","resolved":false,"terminal_node":"unreviewed"}'
        ),
    },
}


@pytest.mark.parametrize("read", ["members", "properties"])
@pytest.mark.parametrize("name", SPANS)
def test_record_members_of_a_span_are_pinned(tmp_path, monkeypatch, name, read):
    if read == "properties":  # as for a span class other than the SDK's
        monkeypatch.setattr(oxa_otel_content, "_SDK_SPAN", None)
    else:
        assert oxa_otel_content._SDK_SPAN is not None, "the SDK's spans are read through their properties"
    assert sealed_members(tmp_path, *SPANS[name]) == EXPECTED[name]
