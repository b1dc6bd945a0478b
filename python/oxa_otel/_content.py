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
from typing import Any, Dict, Iterable, List, Mapping, NamedTuple, Optional, Sequence, Tuple

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
    second = value[1:2]
    if second != "]" and not second.isspace():  # "[{...": no copy of the text to find that out
        return True
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


def trace_hex(trace_id: int) -> str:
    return "%032x" % trace_id


def span_hex(span_id: int) -> str:
    return "%016x" % span_id


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


class _ResourceParts(NamedTuple):
    resource: Any
    ctx_resource: Dict[str, Any]  # what ctx keeps of it
    place: str                    # the triplet's place


# The parts of the last resource met. A provider gives all its spans one
# resource, which never changes, so they are worked out once for it; the
# object is held, so its identity cannot be reused by another.
_last_resource = _ResourceParts(object(), {}, "")


def _resource_parts(resource: Any) -> _ResourceParts:
    global _last_resource
    last = _last_resource
    if resource is last.resource and resource is not None:
        return last
    attributes = getattr(resource, "attributes", None)
    inner = getattr(attributes, "_dict", None)
    if isinstance(inner, dict):
        attributes = inner
    attributes = attributes or {}
    where = (attributes.get("deployment.environment.name") or attributes.get("deployment.environment")
             or attributes.get("cloud.region"))
    parts = _ResourceParts(resource, {key: attributes[key] for key in _RESOURCE_KEYS if key in attributes},
                           _joined(attributes.get("service.name"), where))
    if resource is not None:
        _last_resource = parts
    return parts


def _ctx_attributes(attributes: Mapping[str, Any]) -> Dict[str, Any]:
    """The attributes ctx keeps, in the span's order."""
    kept = _KEPT_IN_CTX
    try:
        # Every name judged before (the rule for all spans after the first of
        # an instrumentation): one dict look-up per attribute, no call.
        return {key: value for key, value in attributes.items() if kept[key]}
    except KeyError:
        return {key: value for key, value in attributes.items() if _kept_in_ctx(key)}


_NO_LOGS: Sequence[LogContent] = ()


def _sdk_span_class() -> Any:
    """The SDK's ReadableSpan when its members can be read straight from the
    instance, each the object its property returns; else None.

    Its properties are Python calls, a dozen per span; the worker reads the
    members instead. A release that keeps them elsewhere fails this probe,
    and every span is read through the properties again.
    """
    try:
        from opentelemetry.sdk.trace import ReadableSpan
        from opentelemetry.trace import SpanContext

        probe = ReadableSpan(name="probe", context=SpanContext(1, 2, False), parent=SpanContext(1, 3, False),
                             start_time=4, end_time=5)
        same = (probe._name is probe.name and probe._context is probe.context and probe._parent is probe.parent
                and probe._start_time is probe.start_time and probe._end_time is probe.end_time
                and probe._status is probe.status and probe._resource is probe.resource
                and tuple(probe._events) == probe.events)
    except Exception:  # noqa: BLE001 - any surprise means: use the properties
        return None
    return ReadableSpan if same else None


_SDK_SPAN = _sdk_span_class()


def record_parts(span: Any, logs: Sequence[LogContent] = _NO_LOGS, with_ppp: bool = False) -> Tuple[Any, ...]:
    """(ctx, prompt, reasoning_trace, output, content_missing, ppp) of a
    finished span: the four arguments of capture it gives, whether it looked
    like a message operation without any message text, and with ``with_ppp``
    the derived triplet's three texts (as ``derived_ppp``; else None).

    Runs once per sealed span on the worker, so the common case (the current
    conventions' JSON texts, no events) reads each span member once and
    calls as little as it can; the texts are the same whichever way they
    are reached.
    """
    if span.__class__ is _SDK_SPAN:
        context, parent, name, resource = span._context, span._parent, span._name, span._resource
        start_time, end_time, status, events = span._start_time, span._end_time, span._status, span._events
    else:
        context, parent, name, resource = span.context, span.parent, span.name, getattr(span, "resource", None)
        start_time, end_time, status, events = span.start_time, span.end_time, span.status, span.events
    attributes = plain_attributes(span)
    get = attributes.get
    operation = get(OPERATION)
    if operation is None:
        operation = get(LEGACY_OPERATION)
    operation = "" if operation is None else str(operation)
    if operation == TOOL_OPERATION:
        prompt = _value_text(get("gen_ai.tool.call.arguments"))
        output = _value_text(get("gen_ai.tool.call.result"))
        tool_calls: List[Dict[str, Any]] = []
    else:
        given_input = get(INPUT_MESSAGES)
        given_output = get(OUTPUT_MESSAGES)
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
                      and part.get("type") == "tool_call"] if outputs else []

    description = status.description
    # The member's own attribute: Enum.name is a descriptor call.
    status_entry: Dict[str, Any] = {"code": status.status_code._name_}
    if description:
        status_entry["description"] = description
    resource = _resource_parts(resource)
    ctx: Dict[str, Any] = {
        "trace_id": "%032x" % context.trace_id,
        "span_id": "%016x" % context.span_id,
        "parent_span_id": None if parent is None else "%016x" % parent.span_id,
        "name": name,
        "start_time_unix_nano": start_time,
        "end_time_unix_nano": end_time,
        "status": status_entry,
        "operation": operation,
        "provider": get("gen_ai.provider.name", get("gen_ai.system")),
        "conversation_id": get("gen_ai.conversation.id"),
        "attributes": _ctx_attributes(attributes),
        "resource": dict(resource.ctx_resource),
    }
    # The tool calls are fresh copies already: the list itself is the trace.
    reasoning = tool_calls
    if events:
        for event in events:
            reasoning.append({"type": "event", "name": event.name, "time_unix_nano": event.timestamp,
                              "attributes": dict(event.attributes or {})})
    ppp = None
    if with_ppp:
        ppp = (_joined(get("gen_ai.provider.name") or get("gen_ai.system"),
                       get("gen_ai.response.model") or get("gen_ai.request.model")),
               resource.place, str(get("gen_ai.agent.name") or operation))
    return ctx, prompt, reasoning, output, operation in MESSAGE_OPERATIONS and not prompt and not output, ppp


def _joined(first: Any, second: Any) -> str:
    if first and second:
        return f"{first}/{second}"
    return str(first or second or "")


def derived_ppp(span: Any) -> Tuple[str, str, str]:
    """provenance (provider/response model), place (service and its
    environment or region) and purpose (agent name, else the operation)."""
    attributes = plain_attributes(span)
    get = attributes.get
    provider = get("gen_ai.provider.name") or get("gen_ai.system")
    model = get("gen_ai.response.model") or get("gen_ai.request.model")
    purpose = get("gen_ai.agent.name") or operation_of(attributes)
    return _joined(provider, model), _resource_parts(getattr(span, "resource", None)).place, str(purpose)
