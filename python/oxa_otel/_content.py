"""From a finished GenAI span (and the message log records joined to it) to
the six arguments of ``OXAEngine.capture``.

Every input form ends up in one shape, that of ``gen_ai.input.messages`` and
``gen_ai.output.messages``: a list of ``{"role", "parts", ...}`` messages
whose parts are ``{"type": "text", "content"}``, ``{"type": "tool_call", "id",
"name", "arguments"}`` and ``{"type": "tool_call_response", "id",
"response"}``.
"""
from __future__ import annotations

import json
import re
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

Message = Dict[str, Any]
# (event name, body) of a message log record, in the order it was emitted.
LogContent = Tuple[str, Any]

OPERATION = "gen_ai.operation.name"
INPUT_MESSAGES = "gen_ai.input.messages"
OUTPUT_MESSAGES = "gen_ai.output.messages"
SYSTEM_INSTRUCTIONS = "gen_ai.system_instructions"
# The operation attribute of the older indexed-attribute instrumentations.
LEGACY_OPERATION = "llm.request.type"

# Operations whose spans carry message text when content capture is on.
MESSAGE_OPERATIONS = frozenset({"chat", "text_completion", "generate_content", "completion"})
TOOL_OPERATION = "execute_tool"

# Span attributes that the record's ctx keeps: the request settings, the
# response and the token counts, plus the tool's and agent's identity.
_CTX_PREFIXES = ("gen_ai.request.", "gen_ai.response.", "gen_ai.usage.", "gen_ai.agent.", "gen_ai.tool.")
# The tool's arguments and result are the record's prompt and output already.
_CTX_SKIPPED = frozenset({"gen_ai.tool.call.arguments", "gen_ai.tool.call.result"})
_RESOURCE_KEYS = ("service.name", "service.version")

_ROLE_OF_EVENT = {
    "gen_ai.system.message": "system",
    "gen_ai.user.message": "user",
    "gen_ai.assistant.message": "assistant",
    "gen_ai.tool.message": "tool",
}
_CHOICE_EVENT = "gen_ai.choice"
_INDEXED = re.compile(r"gen_ai\.(prompt|completion)\.(\d+)\.(.+)\Z")
_INDEXED_TOOL_CALL = re.compile(r"tool_calls\.(\d+)\.(.+)\Z")


# Made once: json.dumps with any option builds a new encoder at every call.
_COMPACT = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), default=str)


def compact(value: Any) -> str:
    return _COMPACT.encode(value)


def _json_or_text(value: Any) -> Any:
    """A JSON text as its value; anything else (or text that is no JSON) as it is."""
    if isinstance(value, str):
        try:
            return json.loads(value)
        except ValueError:
            return value
    return value


def _text_parts(content: Any) -> List[Dict[str, Any]]:
    if content is None or content == "":
        return []
    if isinstance(content, str):
        return [{"type": "text", "content": content}]
    if isinstance(content, (list, tuple)):
        parts: List[Dict[str, Any]] = []
        for item in content:
            if isinstance(item, dict) and item.get("type") == "text" and "text" in item:
                parts.append({"type": "text", "content": item["text"]})
            elif isinstance(item, dict):
                parts.append(dict(item))
            else:
                parts.extend(_text_parts(item))
        return parts
    return [{"type": "text", "content": content}]


def _tool_call_parts(tool_calls: Any) -> List[Dict[str, Any]]:
    parts = []
    for call in tool_calls or ():
        if not isinstance(call, dict):
            continue
        function = call.get("function") or {}
        part: Dict[str, Any] = {"type": "tool_call", "id": call.get("id"),
                                "name": function.get("name", call.get("name"))}
        arguments = function.get("arguments", call.get("arguments"))
        if arguments is not None:
            part["arguments"] = _json_or_text(arguments)
        parts.append(part)
    return parts


def _message_list(value: Any) -> Optional[List[Message]]:
    """Messages given as one JSON text, a sequence of JSON texts, or structured values."""
    if value is None:
        return None
    if isinstance(value, str):
        loaded = _json_or_text(value)
        if isinstance(loaded, str):
            return [{"role": "user", "parts": _text_parts(loaded)}]
        value = loaded
    if isinstance(value, dict):
        return [value]
    if isinstance(value, (list, tuple)):
        messages: List[Message] = []
        for item in value:
            item = _json_or_text(item)
            messages.append(item if isinstance(item, dict) else {"role": "user", "parts": _text_parts(item)})
        return messages
    return [{"role": "user", "parts": _text_parts(value)}]


def _instruction_parts(value: Any) -> List[Dict[str, Any]]:
    loaded = _json_or_text(value)
    if isinstance(loaded, str):
        return _text_parts(loaded)
    if isinstance(loaded, dict):
        return [loaded]
    if isinstance(loaded, (list, tuple)):
        parts: List[Dict[str, Any]] = []
        for item in loaded:
            item = _json_or_text(item)
            parts.extend([item] if isinstance(item, dict) else _text_parts(item))
        return parts
    return _text_parts(loaded)


def _from_logs(logs: Sequence[LogContent]) -> Tuple[Optional[List[Message]], Optional[List[Message]]]:
    """The older form: one log record per input message, one per choice."""
    inputs: List[Message] = []
    choices: List[Tuple[int, Message]] = []
    for name, body in logs:
        body = body if isinstance(body, dict) else {"content": body}
        if name == _CHOICE_EVENT:
            message = body.get("message") or {}
            out: Message = {"role": message.get("role") or "assistant",
                            "parts": _text_parts(message.get("content")) + _tool_call_parts(message.get("tool_calls"))}
            if body.get("finish_reason") is not None:
                out["finish_reason"] = body["finish_reason"]
            index = body.get("index")
            choices.append((index if isinstance(index, int) else len(choices), out))
            continue
        role = _ROLE_OF_EVENT.get(name)
        if role is None:
            continue
        if role == "tool":
            parts: List[Dict[str, Any]] = []
            if "content" in body or "id" in body:
                part: Dict[str, Any] = {"type": "tool_call_response", "id": body.get("id")}
                if "content" in body:
                    part["response"] = body["content"]
                parts.append(part)
        else:
            parts = _text_parts(body.get("content")) + _tool_call_parts(body.get("tool_calls"))
        inputs.append({"role": body.get("role") or role, "parts": parts})
    choices.sort(key=lambda item: item[0])
    return (inputs or None), ([m for _, m in choices] or None)


def _from_indexed(attributes: Mapping[str, Any]) -> Tuple[Optional[List[Message]], Optional[List[Message]]]:
    """Indexed attributes: gen_ai.prompt.N.role, gen_ai.completion.N.tool_calls.M.name, ..."""
    found: Dict[str, Dict[int, Dict[str, Any]]] = {"prompt": {}, "completion": {}}
    for key, value in attributes.items():
        if not key.startswith(("gen_ai.prompt.", "gen_ai.completion.")):
            continue
        match = _INDEXED.match(key)
        if match is None:
            continue
        side, index, field = match.group(1), int(match.group(2)), match.group(3)
        entry = found[side].setdefault(index, {})
        call = _INDEXED_TOOL_CALL.match(field)
        if call is not None:
            entry.setdefault("tool_calls", {}).setdefault(int(call.group(1)), {})[call.group(2)] = value
        else:
            entry[field] = value

    def messages(side: str, default_role: str) -> Optional[List[Message]]:
        result = []
        for _, entry in sorted(found[side].items()):
            role = entry.get("role") or default_role
            calls = [entry["tool_calls"][i] for i in sorted(entry.get("tool_calls", {}))]
            if role == "tool" and "tool_call_id" in entry:
                parts: List[Dict[str, Any]] = [{"type": "tool_call_response", "id": entry["tool_call_id"],
                                                "response": entry.get("content")}]
            else:
                parts = _text_parts(entry.get("content")) + _tool_call_parts(calls)
            message: Message = {"role": role, "parts": parts}
            if entry.get("finish_reason") is not None:
                message["finish_reason"] = entry["finish_reason"]
            result.append(message)
        return result or None

    return messages("prompt", "user"), messages("completion", "assistant")


def messages_of(attributes: Mapping[str, Any], logs: Sequence[LogContent]
                ) -> Tuple[Optional[List[Message]], Optional[List[Message]]]:
    """The input messages (system instructions first) and the output messages,
    from whichever form the span's instrumentation used."""
    inputs = _message_list(attributes.get(INPUT_MESSAGES))
    outputs = _message_list(attributes.get(OUTPUT_MESSAGES))
    if inputs is None or outputs is None:
        log_in, log_out = _from_logs(logs) if logs else (None, None)
        inputs = inputs if inputs is not None else log_in
        outputs = outputs if outputs is not None else log_out
    if inputs is None or outputs is None:
        idx_in, idx_out = _from_indexed(attributes)
        inputs = inputs if inputs is not None else idx_in
        outputs = outputs if outputs is not None else idx_out
    instructions = attributes.get(SYSTEM_INSTRUCTIONS)
    if instructions is not None:
        inputs = [{"role": "system", "parts": _instruction_parts(instructions)}] + list(inputs or [])
    return inputs, outputs


def _has_content(messages: Optional[Iterable[Message]]) -> bool:
    return any(m.get("parts") for m in messages or () if isinstance(m, dict))


def messages_text(messages: Optional[List[Message]], given: Any = None) -> str:
    """The JSON text of messages; empty when they carry nothing (content
    capture off). ``given`` is the attribute they were read from: when it is
    already their JSON text, it is kept as the instrumentation wrote it."""
    if not _has_content(messages):
        return ""
    if isinstance(given, str) and given.lstrip().startswith("["):
        return given
    return compact(messages)


def _is_message_text(value: Any) -> bool:
    """A JSON text of a non-empty message list, judged by its first and last characters."""
    if not isinstance(value, str):
        return False
    if value[:1] != "[" or value[-1:] != "]":  # instrumentations write no padding: no copy then
        value = value.strip()
        if value[:1] != "[" or value[-1:] != "]":
            return False
    return len(value) > 2 and value[1:-1].strip() != ""


def _value_text(value: Any) -> str:
    if value is None:
        return ""
    return value if isinstance(value, str) else compact(value)


def operation_of(attributes: Mapping[str, Any]) -> str:
    operation = attributes.get(OPERATION)
    if operation is None:
        operation = attributes.get(LEGACY_OPERATION)
    return "" if operation is None else str(operation)


def _hex(value: Optional[int], width: int) -> Optional[str]:
    return None if value is None else format(value, f"0{width}x")


def trace_hex(trace_id: int) -> str:
    return format(trace_id, "032x")


def span_hex(span_id: int) -> str:
    return format(span_id, "016x")


# Whether ctx keeps an attribute, by name: spans of one instrumentation repeat
# the same few dozen names, so each is judged once.
_KEPT_IN_CTX: Dict[str, bool] = {}


def _kept_in_ctx(key: str) -> bool:
    kept = _KEPT_IN_CTX.get(key)
    if kept is None:
        kept = key.startswith(_CTX_PREFIXES) and key not in _CTX_SKIPPED
        if len(_KEPT_IN_CTX) < 4096:  # indexed attribute names are unbounded: stop remembering
            _KEPT_IN_CTX[key] = kept
    return kept


def plain_attributes(span: Any) -> Mapping[str, Any]:
    """The span's attributes as a plain dict where the SDK keeps one.

    ``ReadableSpan.attributes`` is a read-only view of the SDK's
    ``BoundedAttributes``, whose look-ups and iteration run in Python; the
    dict it wraps answers the same in C, several times faster. A finished
    span's attributes no longer change, so reading the dict is safe.
    """
    raw = getattr(span, "_attributes", None)
    inner = getattr(raw, "_dict", None)
    if isinstance(inner, dict):
        return inner
    return span.attributes or {}


def resource_attributes(span: Any) -> Mapping[str, Any]:
    """The attributes of the span's resource, as a plain dict where the SDK keeps one."""
    attributes = getattr(getattr(span, "resource", None), "attributes", None)
    inner = getattr(attributes, "_dict", None)
    if isinstance(inner, dict):
        return inner
    return attributes or {}


def record_parts(span: Any, logs: Sequence[LogContent]) -> Dict[str, Any]:
    """ctx, prompt, reasoning_trace and output of a finished span, and whether
    it looked like a message operation without any message text."""
    attributes = plain_attributes(span)
    context = span.context
    operation = operation_of(attributes)
    if operation == TOOL_OPERATION:
        prompt = _value_text(attributes.get("gen_ai.tool.call.arguments"))
        output = _value_text(attributes.get("gen_ai.tool.call.result"))
        tool_calls: List[Dict[str, Any]] = []
    else:
        given_input = attributes.get(INPUT_MESSAGES)
        given_output = attributes.get(OUTPUT_MESSAGES)
        if (isinstance(given_input, str) and isinstance(given_output, str)
                and _is_message_text(given_input) and _is_message_text(given_output)
                and SYSTEM_INSTRUCTIONS not in attributes):
            # The common case of the current conventions: both texts are kept
            # as written, and only an output that names a tool call is parsed.
            prompt, output = given_input, given_output
            outputs = _message_list(given_output) if "tool_call" in given_output else None
        else:
            inputs, outputs = messages_of(attributes, logs)
            prompt = messages_text(inputs, None if SYSTEM_INSTRUCTIONS in attributes else given_input)
            output = messages_text(outputs, given_output)
        tool_calls = [dict(part) for message in outputs or () if isinstance(message, dict)
                      for part in message.get("parts") or () if isinstance(part, dict)
                      and part.get("type") == "tool_call"]

    status = span.status
    status_entry: Dict[str, Any] = {"code": status.status_code.name}
    if status.description:
        status_entry["description"] = status.description
    resource = resource_attributes(span)
    parent = span.parent
    ctx: Dict[str, Any] = {
        "trace_id": trace_hex(context.trace_id),
        "span_id": span_hex(context.span_id),
        "parent_span_id": _hex(parent.span_id if parent is not None else None, 16),
        "name": span.name,
        "start_time_unix_nano": span.start_time,
        "end_time_unix_nano": span.end_time,
        "status": status_entry,
        "operation": operation,
        "provider": attributes.get("gen_ai.provider.name", attributes.get("gen_ai.system")),
        "conversation_id": attributes.get("gen_ai.conversation.id"),
        "attributes": {key: value for key, value in attributes.items() if _kept_in_ctx(key)},
        "resource": {key: resource[key] for key in _RESOURCE_KEYS if key in resource},
    }
    reasoning: List[Dict[str, Any]] = [dict(call) for call in tool_calls]
    for event in span.events or ():
        reasoning.append({"type": "event", "name": event.name, "time_unix_nano": event.timestamp,
                          "attributes": dict(event.attributes or {})})
    return {
        "ctx": ctx,
        "prompt": prompt,
        "output": output,
        "reasoning_trace": reasoning,
        "content_missing": operation in MESSAGE_OPERATIONS and not prompt and not output,
    }


def _joined(first: Any, second: Any) -> str:
    if first and second:
        return f"{first}/{second}"
    return str(first or second or "")


def derived_ppp(span: Any) -> Tuple[str, str, str]:
    """provenance (provider/response model), place (service and its
    environment or region) and purpose (agent name, else the operation)."""
    attributes = plain_attributes(span)
    resource = resource_attributes(span)
    provider = attributes.get("gen_ai.provider.name") or attributes.get("gen_ai.system")
    model = attributes.get("gen_ai.response.model") or attributes.get("gen_ai.request.model")
    where = (resource.get("deployment.environment.name") or resource.get("deployment.environment")
             or resource.get("cloud.region"))
    purpose = attributes.get("gen_ai.agent.name") or operation_of(attributes)
    return _joined(provider, model), _joined(resource.get("service.name"), where), str(purpose)
