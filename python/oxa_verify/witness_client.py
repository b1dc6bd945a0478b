"""The notary's side of witnessing: asking witnesses to cosign each new checkpoint.

A trust policy (``log``, ``witness``, ``group``, ``quorum`` lines) names the
notary's own key and the witnesses, with their URLs. For every checkpoint the
notary signs, each witness with a URL gets one ``POST <url>/add-checkpoint``
carrying the consistency proof from the size that witness last cosigned (kept
in a small state file beside the checkpoint file) to the new size, read from
the tiles, which are durable by then. The witnesses are asked concurrently;
a witness that is down, slow or refusing costs at most its timeout and never
stops the sealing: the checkpoint is stored with the cosignatures it got, and
the next one asks again. Only cosignature lines that verify under the
policy's key for that witness are kept.

HTTP is the standard library's ``http.client``; the signatures and proofs are
checked by the native code.
"""

import base64
import binascii
import http.client
import json
import os
import re
import ssl
import threading
import time
import urllib.parse

from . import _native

ADD_CHECKPOINT_PATH = "/add-checkpoint"
SIZE_CONTENT_TYPE = "text/x.tlog.size"
DEFAULT_TIMEOUT = 10.0
# A witness answers with a few signature lines; anything far longer is no answer.
MAX_RESPONSE_BYTES = 64 * 1024
EM_DASH_SPACE = "\u2014 "
STATE_SUFFIX = ".witnesses"
CHECKPOINTS_SUFFIX = ".checkpoints"


class PolicyError(ValueError):
    """A policy that the notary cannot use: its message names the file and the fault."""


def state_path(checkpoint_path):
    """The witness state file beside a checkpoint file: LOG.checkpoints gives LOG.witnesses."""
    path = os.fspath(checkpoint_path)
    if path.endswith(CHECKPOINTS_SUFFIX) and len(path) > len(CHECKPOINTS_SUFFIX):
        return path[: -len(CHECKPOINTS_SUFFIX)] + STATE_SUFFIX
    return path + STATE_SUFFIX


def _vkey_parts(vkey):
    """(name, key id bytes, key bytes) of a verifier key the native policy check has accepted."""
    name, key_id, data = vkey.split("+", 2)
    return name, bytes.fromhex(key_id), base64.b64decode(data)


class Witness:
    """One policy witness: its name in the policy, its verifier key and its URL."""

    def __init__(self, name, vkey, url):
        self.name = name
        self.vkey = vkey
        self.url = url
        self.key_name, self.key_id, _ = _vkey_parts(vkey)


def _policy_lines(text):
    """The items of each line of a policy the native check has accepted, as it reads them."""
    for line in text.split("\n"):
        items = [item for item in re.split(r"[ \t]+", line) if item]
        if items and not items[0].startswith("#"):
            yield items


def read_policy(path, notary_vkey):
    """The witnesses of the policy at ``path``, after checking it names the notary's own key as its log.

    Raises PolicyError (the file cannot be read, is not a valid policy, or its
    log is not this notary's)."""
    try:
        with open(path, "rb") as policy_file:
            data = policy_file.read()
    except OSError as error:
        raise PolicyError(f"policy {path}: {error.strerror or error}") from None
    try:
        _native.policy_check(data)
    except ValueError as error:
        raise PolicyError(f"policy {path}: {error}") from None
    text = data.decode("utf-8")
    own_name, own_id, own_key = _vkey_parts(notary_vkey)
    logs = [fields[1] for fields in _policy_lines(text) if fields[0] == "log"]
    ours = False
    for vkey in logs:
        name, key_id, key = _vkey_parts(vkey)
        if (name, key_id, key) == (own_name, own_id, own_key):
            ours = True
        elif name == own_name:
            raise PolicyError(f"policy {path}: its log line for the origin {own_name} has another key than the "
                              f"notary's ({notary_vkey})")
    if not ours:
        raise PolicyError(f"policy {path}: no log line names the notary's key {notary_vkey} (the origin "
                          f"{own_name}); a policy for this notary needs the line: log {notary_vkey}")
    witnesses = []
    for fields in _policy_lines(text):
        if fields[0] == "witness":
            witnesses.append(Witness(fields[1], fields[2], fields[3] if len(fields) > 3 else None))
    for witness in witnesses:
        if witness.url is not None:
            parts = urllib.parse.urlsplit(witness.url)
            if parts.scheme not in ("http", "https") or not parts.hostname or parts.query or parts.fragment:
                raise PolicyError(f"policy {path}: the witness {witness.name} has the URL {witness.url!r}; "
                                  "a witness URL is http:// or https://, a host and an optional path")
    return data, witnesses


class WitnessState:
    """The size each witness last cosigned for this log, kept in a JSON file written atomically.

    The file only saves requests: a witness that holds another size says so
    (409), and the notary goes on from it. A file that cannot be read is
    taken as empty."""

    def __init__(self, path, origin):
        self.path = path
        self.origin = origin
        self.sizes = {}
        self.problem = None
        try:
            with open(path, "rb") as state_file:
                data = json.loads(state_file.read().decode("utf-8"))
            if data.get("origin") == origin:
                for vkey, entry in data.get("witnesses", {}).items():
                    size = entry.get("size")
                    if isinstance(size, int) and not isinstance(size, bool) and size >= 0:
                        self.sizes[vkey] = size
        except FileNotFoundError:
            pass
        except (OSError, ValueError, AttributeError) as error:
            self.problem = f"witness state {path} cannot be read ({error}); witnesses are asked from size 0"

    def size(self, witness):
        return self.sizes.get(witness.vkey, 0)

    def store(self, updates):
        """Records the sizes in ``updates`` (vkey to size): temporary file, fsync, rename, fsync of the directory."""
        if not updates:
            return
        self.sizes.update(updates)
        content = json.dumps({"origin": self.origin,
                              "witnesses": {vkey: {"size": size} for vkey, size in sorted(self.sizes.items())}},
                             ensure_ascii=False, indent=1).encode() + b"\n"
        directory = os.path.dirname(os.path.abspath(self.path))
        temporary = f"{self.path}.{os.getpid()}.{threading.get_ident()}.tmp"
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
        try:
            try:
                view = memoryview(content)
                while view:
                    view = view[os.write(fd, view):]
                os.fsync(fd)
            finally:
                os.close(fd)
            os.replace(temporary, self.path)
        except BaseException:
            try:
                os.unlink(temporary)
            except OSError:
                pass
            raise
        directory_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            os.fsync(directory_fd)
        finally:
            os.close(directory_fd)


def _checkpoint_root(note):
    """The root hash signed in a checkpoint note."""
    lines = note.split(b"\n", 3)
    return base64.b64decode(lines[2], validate=True)


def request_body(old_size, proof, note):
    """The add-checkpoint body: the old size, the proof's hashes (base64, a line each), a blank line, the note."""
    lines = [b"old %d\n" % old_size]
    lines += [base64.b64encode(proof[i:i + 32]) + b"\n" for i in range(0, len(proof), 32)]
    return b"".join(lines) + b"\n" + note


class _Refused(Exception):
    """A witness's answer that gives no cosignature, with the reason."""

    def __init__(self, reason, status=None):
        super().__init__(reason)
        self.reason = reason
        self.status = status


def _describe_os_error(error):
    if isinstance(error, TimeoutError) or "timed out" in str(error):
        return "timed out"
    if isinstance(error, ssl.SSLError):
        return f"TLS: {error.reason or error}"
    return error.strerror or str(error) or type(error).__name__


class _Exchange:
    """The requests to one witness for one checkpoint, run on a thread of their own."""

    def __init__(self, witness, old_size, note, size, tiles_dir, root, timeout):
        self.witness = witness
        self.old_size = old_size
        self.note = note
        self.size = size
        self.tiles_dir = tiles_dir
        self.root = root
        self.timeout = timeout
        self.deadline = time.monotonic() + timeout
        self.finished = threading.Event()
        self.result = None

    def run(self):
        try:
            self.result = self._ask()
        except _Refused as refusal:
            self.result = {"ok": False, "reason": refusal.reason, "status": refusal.status}
        except Exception as error:  # the worker's failure is this witness's, never the sealing's
            self.result = {"ok": False, "reason": f"{type(error).__name__}: {error}"}
        finally:
            self.finished.set()

    def _post(self, old_size):
        try:
            proof = _native.consistency_proof_at(self.tiles_dir, old_size, self.size, self.root) if old_size else b""
        except ValueError as error:
            raise _Refused(f"no consistency proof from size {old_size}: {error}") from None
        body = request_body(old_size, proof, self.note)
        parts = urllib.parse.urlsplit(self.witness.url)
        self.deadline = time.monotonic() + self.timeout
        if parts.scheme == "https":
            connection = http.client.HTTPSConnection(parts.hostname, parts.port, timeout=self.timeout,
                                                     context=ssl.create_default_context())
        else:
            connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=self.timeout)
        try:
            connection.request("POST", parts.path.rstrip("/") + ADD_CHECKPOINT_PATH, body=body,
                               headers={"Content-Type": "text/plain; charset=utf-8"})
            response = connection.getresponse()
            data = response.read(MAX_RESPONSE_BYTES + 1)
            return response.status, response.getheader("Content-Type", ""), data
        except (OSError, http.client.HTTPException) as error:
            reason = _describe_os_error(error) if isinstance(error, OSError) else f"bad HTTP answer: {error!r}"
            raise _Refused(reason) from None
        finally:
            connection.close()

    def _ask(self):
        old_size = self.old_size
        status, content_type, data = self._post(old_size)
        if status == 409:
            # The witness holds another size: one retry from it.
            held = self._size_answer(content_type, data)
            if held > self.size:
                raise _Refused(f"the witness has cosigned size {held}, beyond this checkpoint's {self.size}", 409)
            old_size = held
            status, content_type, data = self._post(old_size)
            if status == 409:
                raise _Refused(f"the witness holds size {self._size_answer(content_type, data)} after it said "
                               f"{held}", 409)
        if status != 200:
            text = data[:200].decode("utf-8", "replace").strip()
            raise _Refused(f"HTTP {status}" + (f": {text}" if text else ""), status)
        if len(data) > MAX_RESPONSE_BYTES:
            raise _Refused("the answer is too long for signature lines", status)
        return {"ok": True, "old_size": old_size, "size": self.size, "lines": self._cosignature_lines(data)}

    @staticmethod
    def _size_answer(content_type, data):
        if content_type.split(";")[0].strip().lower() != SIZE_CONTENT_TYPE:
            raise _Refused(f"HTTP 409 without its size ({content_type or 'no content type'})", 409)
        text = data.decode("ascii", "replace").strip()
        if not text.isdigit() or not text.isascii():
            raise _Refused(f"HTTP 409 with a size that is no number: {text[:40]!r}", 409)
        return int(text)

    def _cosignature_lines(self, data):
        """The answer's signature lines of this witness's key, which must be there and must verify."""
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError:
            raise _Refused("the answer is not UTF-8 text", 200) from None
        if not text.endswith("\n"):
            raise _Refused("the answer does not end in a line feed", 200)
        kept = []
        for line in text[:-1].split("\n"):
            if not line.startswith(EM_DASH_SPACE):
                raise _Refused(f"the answer holds a line that is no signature line: {line[:60]!r}", 200)
            name, _, blob = line[len(EM_DASH_SPACE):].partition(" ")
            try:
                raw = base64.b64decode(blob, validate=True)
            except (binascii.Error, ValueError):
                raise _Refused("the answer holds a signature line that is not base64", 200) from None
            # Lines of other keys (another signature type of the same witness) are not this policy's.
            if name == self.witness.key_name and raw[:4] == self.witness.key_id:
                kept.append(line + "\n")
        if not kept:
            raise _Refused("the answer holds no cosignature of the witness's key", 200)
        return "".join(kept).encode()


class WitnessClient:
    """Asks the policy's witnesses to cosign each new checkpoint; called by the notary's native loop.

    ``client(note, size, tiles_dir)`` returns ``(lines, stop)``: the verified
    cosignature lines to add to the note, and whether a stop signal came while
    it waited. ``results`` holds the last round's outcome per witness."""

    def __init__(self, policy_path, notary_vkey, origin, checkpoint_path, timeout=DEFAULT_TIMEOUT, on_warning=None):
        if not (timeout > 0):
            raise ValueError("the witness timeout must be a positive number of seconds")
        self.policy, self.witnesses = read_policy(policy_path, notary_vkey)
        self.asked = [witness for witness in self.witnesses if witness.url is not None]
        self.timeout = float(timeout)
        self.state = WitnessState(state_path(checkpoint_path), origin)
        self.results = []
        self.on_warning = on_warning
        if self.state.problem and on_warning:
            on_warning(self.state.problem)

    def __call__(self, note, size, tiles_dir):
        note = bytes(note)
        self.results = []
        if not self.asked:
            return b"", False
        if not tiles_dir:
            self.results = [self._result(w, 0, {"ok": False, "reason": "no tiles to prove consistency from"})
                            for w in self.asked]
            return b"", False
        root = _checkpoint_root(note)
        exchanges = []
        for witness in self.asked:
            old_size = self.state.size(witness)
            # A state that claims more than this tree is stale (or the log was
            # rolled back): the witness's own 409 tells where it stands.
            exchanges.append(_Exchange(witness, old_size if old_size <= size else 0, note, size, tiles_dir, root,
                                       self.timeout))
        for exchange in exchanges:
            threading.Thread(target=exchange.run, name=f"witness {exchange.witness.name}", daemon=True).start()
        stop = self._wait(exchanges)

        lines, updates = [], {}
        for exchange in exchanges:
            outcome = exchange.result if exchange.finished.is_set() else None
            if outcome is None:
                outcome = {"ok": False, "reason": f"timed out after {self.timeout:g} s"}
            elif outcome["ok"]:
                cosigned = note + outcome["lines"]
                verified, bad = _native.policy_cosignatures(self.policy, cosigned)
                if exchange.witness.name in verified and exchange.witness.name not in bad:
                    lines.append(outcome["lines"])
                    updates[exchange.witness.vkey] = size
                else:
                    outcome = {"ok": False, "reason": "the cosignature does not verify under the policy's key"}
            self.results.append(self._result(exchange.witness, outcome.get("old_size", exchange.old_size), outcome))
        try:
            self.state.store(updates)
        except OSError as error:
            if self.on_warning:
                self.on_warning(f"witness state {self.state.path} cannot be written: {error.strerror or error}")
        return b"".join(lines), stop

    def _wait(self, exchanges):
        """Waits for every exchange to finish or pass its deadline; True when a stop signal came meanwhile."""
        stop = False
        pending = list(exchanges)
        while pending:
            try:
                exchange = pending[0]
                remaining = exchange.deadline - time.monotonic()
                # A little beyond the socket's own timeout, so that a refusal is told as such.
                if exchange.finished.wait(max(remaining, 0) + 0.5) or time.monotonic() >= exchange.deadline + 0.5:
                    pending.pop(0)
            except KeyboardInterrupt:
                # The stop is for the loop, after this checkpoint is stored with what the witnesses give.
                stop = True
        return stop

    @staticmethod
    def _result(witness, old_size, outcome):
        result = {"name": witness.name, "url": witness.url, "ok": bool(outcome["ok"]), "old_size": old_size}
        if outcome["ok"]:
            result["size"] = outcome["size"]
        else:
            result["reason"] = outcome["reason"]
            if outcome.get("status") is not None:
                result["status"] = outcome["status"]
        return result
