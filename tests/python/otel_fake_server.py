"""A small OpenAI-compatible chat completions server on 127.0.0.1 for tests.

It answers POST /v1/chat/completions, plain or streamed (server-sent
events), with a tool call when the request offers tools and no tool result
has come back yet, and records every request body with the reply text it
sent, so that tests compare sealed records with what the server really saw.
"""
from __future__ import annotations

import json
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Dict, List, Optional, Tuple

MODEL = "fake-model-1"


def reply_text(request: Dict[str, Any]) -> str:
    """The answer's text: derived from the last user message, so it is unique per call."""
    for message in reversed(request.get("messages", [])):
        if message.get("role") == "user":
            content = message.get("content")
            if isinstance(content, list):
                content = " ".join(p.get("text", "") for p in content if isinstance(p, dict))
            return f"answer to <{content}>"
    return "answer"


def wants_tool_call(request: Dict[str, Any]) -> bool:
    messages = request.get("messages", [])
    return bool(request.get("tools")) and not any(m.get("role") == "tool" for m in messages)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body leave in separate writes: without this, each answer on
    # a kept-alive connection waits for the client's delayed acknowledgement.
    disable_nagle_algorithm = True
    server: "FakeOpenAIServer"

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - keep test output clean
        pass

    def do_POST(self) -> None:  # noqa: N802 - http.server's naming
        length = int(self.headers.get("Content-Length", "0"))
        request = json.loads(self.rfile.read(length) or b"{}")
        if not self.path.endswith("/chat/completions"):
            self._send_json(404, {"error": {"message": "not found"}})
            return
        n = self.server.next_number()
        tool = wants_tool_call(request)
        text = "" if tool else reply_text(request)
        tool_call = None
        if tool:
            name = request["tools"][0]["function"]["name"]
            tool_call = {"id": f"call_{n}", "type": "function",
                         "function": {"name": name, "arguments": json.dumps({"city": f"city-{n}"})}}
        self.server.record(request, text, tool_call)
        if request.get("stream"):
            self._stream(request, n, text, tool_call)
        else:
            message: Dict[str, Any] = {"role": "assistant", "content": text or None}
            if tool_call:
                message["tool_calls"] = [tool_call]
            self._send_json(200, {
                "id": f"chatcmpl-{n}", "object": "chat.completion", "created": int(time.time()),
                "model": MODEL,
                "choices": [{"index": 0, "message": message,
                             "finish_reason": "tool_calls" if tool_call else "stop"}],
                "usage": {"prompt_tokens": 11, "completion_tokens": 7, "total_tokens": 18},
            })

    def _send_json(self, status: int, body: Dict[str, Any]) -> None:
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def _stream(self, request: Dict[str, Any], n: int, text: str,
                tool_call: Optional[Dict[str, Any]]) -> None:
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Connection", "close")
        self.end_headers()

        def chunk(delta: Dict[str, Any], finish: Optional[str]) -> Dict[str, Any]:
            return {"id": f"chatcmpl-{n}", "object": "chat.completion.chunk",
                    "created": int(time.time()), "model": MODEL,
                    "choices": [{"index": 0, "delta": delta, "finish_reason": finish}]}

        events: List[Dict[str, Any]] = [chunk({"role": "assistant", "content": ""}, None)]
        if tool_call:
            events.append(chunk({"tool_calls": [dict(tool_call, index=0)]}, None))
        else:
            # Three pieces, so that the instrumentation has to join them.
            third = max(1, len(text) // 3)
            for piece in (text[:third], text[third:2 * third], text[2 * third:]):
                events.append(chunk({"content": piece}, None))
        events.append(chunk({}, "tool_calls" if tool_call else "stop"))
        if (request.get("stream_options") or {}).get("include_usage"):
            usage = chunk({}, None)
            usage["choices"] = []
            usage["usage"] = {"prompt_tokens": 11, "completion_tokens": 7, "total_tokens": 18}
            events.append(usage)
        for event in events:
            self.wfile.write(b"data: " + json.dumps(event).encode() + b"\n\n")
        self.wfile.write(b"data: [DONE]\n\n")
        self.wfile.flush()
        self.close_connection = True


class FakeOpenAIServer(ThreadingHTTPServer):
    daemon_threads = True
    # Room for every call of an asyncio program arriving at once.
    request_queue_size = 128

    def __init__(self) -> None:
        super().__init__(("127.0.0.1", 0), _Handler)
        self._lock = threading.Lock()
        self._count = 0
        # (request body, reply text, tool call or None), in arrival order.
        self.seen: List[Tuple[Dict[str, Any], str, Optional[Dict[str, Any]]]] = []
        self._thread = threading.Thread(target=self.serve_forever, daemon=True)

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self.server_address[1]}/v1"

    def next_number(self) -> int:
        with self._lock:
            self._count += 1
            return self._count

    def record(self, request: Dict[str, Any], text: str, tool_call: Optional[Dict[str, Any]]) -> None:
        with self._lock:
            self.seen.append((request, text, tool_call))

    def __enter__(self) -> "FakeOpenAIServer":
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.shutdown()
        self.server_close()


if __name__ == "__main__":  # a server for the benchmark or a look by hand
    with FakeOpenAIServer() as server:
        print(server.base_url, flush=True)
        threading.Event().wait()
