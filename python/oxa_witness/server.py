"""The witness's HTTP service: ``POST /add-checkpoint``.

The standard library's threading HTTP server parses HTTP: one thread per
connection, so a slow client holds only its own thread; keep-alive (HTTP/1.1)
with a Content-Length on every response; a connection silent for the idle
timeout is closed by the socket timeout.
"""

import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from oxa_verify import _native

ADD_CHECKPOINT_PATH = "/add-checkpoint"
# A request body holds an old size, at most 63 hashes and a checkpoint with its
# signatures: a few KiB. Anything far larger is refused before it is read.
MAX_BODY_BYTES = 64 * 1024
SIZE_CONTENT_TYPE = "text/x.tlog.size"
TEXT_CONTENT_TYPE = "text/plain; charset=utf-8"


class AddCheckpointHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "oxa-witness"
    # Headers and body go out as separate writes; without TCP_NODELAY a
    # keep-alive client would wait for its delayed acknowledgement.
    disable_nagle_algorithm = True

    def setup(self):
        self.timeout = self.server.idle_timeout
        super().setup()

    def log_request(self, code="-", size="-"):
        # One line per request would cost more than the request itself.
        pass

    def _reply(self, status, body, content_type=TEXT_CONTENT_TYPE, close=False):
        data = body.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        if close or self.server.stopping:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        self.send_response(405)
        self.send_header("Allow", "POST")
        self.send_header("Content-Length", "0")
        self.end_headers()

    def _read_body(self):
        """The request body, or None once an answer (or a dropped connection) has dealt with the request."""
        if self.headers.get("Transfer-Encoding") is not None:
            self._reply(411, "a Content-Length is required\n", close=True)
            return None
        length = self.headers.get("Content-Length")
        if length is None:
            self._reply(411, "a Content-Length is required\n", close=True)
            return None
        if not length.isdigit() or not length.isascii():
            self._reply(400, "the Content-Length is not a number\n", close=True)
            return None
        length = int(length)
        if length > MAX_BODY_BYTES:
            # The body is not read: the connection cannot carry another request.
            self._reply(413, f"the body is larger than {MAX_BODY_BYTES} bytes\n", close=True)
            return None
        try:
            body = self.rfile.read(length)
        except OSError:
            body = b""
        if len(body) != length:
            self.close_connection = True
            return None
        return body

    def do_POST(self):
        # The body is read whatever the path: left unread, it would be taken
        # for the next request on the connection.
        body = self._read_body()
        if body is None:
            return
        if self.path != ADD_CHECKPOINT_PATH:
            self._reply(404, "not found\n")
            return
        with self.server.tracking():
            self._add_checkpoint(body)

    def _add_checkpoint(self, body):
        if self.server.stopping:
            self._reply(503, "the witness is stopping\n", close=True)
            return
        witness = self.server.witness
        status, message, origin, old_size, size, root, submission = _native.witness_open_request(witness, body)
        if status != 200:
            self._reply(status, message + "\n")
            return

        def check(stored_size, stored_root):
            return _native.witness_extends(submission, stored_size, stored_root)

        try:
            status, stored_size = self.server.state.advance(origin, size, root, check)
        except Exception as error:  # a storage failure: nothing was cosigned
            self.log_error("storing the checkpoint failed: %s", error)
            self._reply(500, "the witness could not store the checkpoint\n")
            return
        if status in (409, 422) and old_size == stored_size:
            # A checkpoint signed by the log that contradicts one this witness
            # cosigned: evidence of a forked or rewritten history, worth a note.
            self.log_error("%s: a checkpoint of size %d does not extend the cosigned size %d (%d)",
                           origin.decode("utf-8", "backslashreplace"), size, stored_size, status)
        if status == 409:
            self._reply(409, f"{stored_size}\n", content_type=SIZE_CONTENT_TYPE)
        elif status == 422:
            self._reply(422, "the consistency proof does not verify\n")
        else:
            line = _native.witness_cosign(witness, submission, int(time.time()))
            self._reply(200, line)


class WitnessServer(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 256

    def __init__(self, address, witness, state, idle_timeout):
        if ":" in address[0]:
            self.address_family = socket.AF_INET6
        self.witness = witness
        self.state = state
        self.idle_timeout = idle_timeout
        self.stopping = False
        self._active = 0
        self._idle = threading.Condition()
        super().__init__(address, AddCheckpointHandler)

    def tracking(self):
        server = self

        class _Tracked:
            def __enter__(self):
                with server._idle:
                    server._active += 1

            def __exit__(self, *exc):
                with server._idle:
                    server._active -= 1
                    server._idle.notify_all()

        return _Tracked()

    def wait_idle(self, timeout):
        """Wait until no request is being answered; False if some still are after ``timeout`` seconds."""
        with self._idle:
            return self._idle.wait_for(lambda: self._active == 0, timeout)

    def handle_error(self, request, client_address):
        # A client that vanished or stalled: one line, not a traceback.
        error = sys.exc_info()[1]
        print(f"oxa-witness: connection from {client_address[0]}: {error!r}", file=sys.stderr, flush=True)
