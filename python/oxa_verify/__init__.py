"""Offline verification of tvel_oxa audit logs.

``verify_log(paths)`` checks every record of a log (its format, content hash,
signature, place in its chain and replayed consistency analysis) and returns
the report as a dict; the ``oxa-verify`` command prints the same report.
"""

import gzip
import json
import os

from . import _native

__all__ = ["verify_log"]


def _path_text(path):
    path = os.fspath(path)
    if isinstance(path, bytes):
        return os.fsdecode(path)
    return path


def _hex_text(value, what):
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str of 64 hexadecimal digits, not {type(value).__name__}")
    return value


def verify_log(paths, public_key=None, anchors=(), jobs=None, max_line_bytes=None):
    """Verify an audit log offline and return the report as a dict.

    paths: one path, or several read in order as one log (rotated pieces,
    oldest first); "-" is standard input, names ending ".gz" are decompressed.
    public_key: the engine's published public key as 64 hex digits; without
    it the key is derived from the key file beside the first path, and the
    report says so. anchors: merkle_root values kept earlier, each of which
    some record must have. jobs: threads for the signature checks (default:
    all cores). max_line_bytes: a longer line is malformed and passed over
    without being held in memory (default: 64 MiB).

    The dict holds ok, lines, records, public_key, key_source ("argument" or
    "key-file"), chains, problems and warnings. Raises ValueError or TypeError
    for bad arguments and OSError for input that cannot be read. The log and
    its key file are only read, never changed.
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    paths = [_path_text(path) for path in paths]
    if not paths:
        raise ValueError("no log given")
    if public_key is not None:
        public_key = _hex_text(public_key, "public_key")
    if isinstance(anchors, str):
        raise TypeError("anchors must be an iterable of str, not a single str")
    anchors = [_hex_text(anchor, "an anchor") for anchor in anchors]
    if jobs is None:
        jobs = 0
    elif isinstance(jobs, bool) or not isinstance(jobs, int):
        raise TypeError(f"jobs must be an int or None, not {type(jobs).__name__}")
    elif not 1 <= jobs <= 1024:
        raise ValueError("jobs must be from 1 to 1024")
    if max_line_bytes is None:
        report = json.loads(_native.verify(paths, public_key, anchors, jobs))
        _name_traced_spans(report, paths)
        return report
    if isinstance(max_line_bytes, bool) or not isinstance(max_line_bytes, int):
        raise TypeError(f"max_line_bytes must be an int or None, not {type(max_line_bytes).__name__}")
    if not 1 <= max_line_bytes < 2**64:
        raise ValueError("max_line_bytes must be at least 1")
    report = json.loads(_native.verify(paths, public_key, anchors, jobs, max_line_bytes))
    _name_traced_spans(report, paths)
    return report


def _span_ids(raw):
    """(trace_id, span_id) of a record sealed from an OpenTelemetry span, else None."""
    try:
        ctx = json.loads(json.loads(raw)["ctx_json"])
        trace_id, span_id = ctx["trace_id"], ctx["span_id"]
    except (ValueError, KeyError, TypeError):
        return None
    if isinstance(trace_id, str) and isinstance(span_id, str):
        return trace_id, span_id
    return None


def _name_traced_spans(report, paths):
    """Adds trace_id and span_id to each problem whose line is a record sealed
    from an OpenTelemetry span, so that a problem leads back to its trace.
    Standard input cannot be read twice: problems read from it stay as they are."""
    problems = report.get("problems") or []
    wanted = {p["line"] for p in problems if isinstance(p.get("line"), int)}
    if not wanted or "-" in paths:
        return
    found = {}
    number = 0
    try:
        for path in paths:
            opener = gzip.open if path.endswith(".gz") else open
            with opener(path, "rb") as stream:
                for raw in stream:
                    number += 1
                    if number in wanted:
                        ids = _span_ids(raw)
                        if ids is not None:
                            found[number] = ids
    except (OSError, EOFError):
        pass  # the report stands as the verifier made it
    for problem in problems:
        ids = found.get(problem.get("line"))
        if ids is not None:
            problem["trace_id"], problem["span_id"] = ids
