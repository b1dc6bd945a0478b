"""Offline verification of tvel_oxa audit logs.

``verify_log(paths)`` checks every record of a log (its format, content hash,
signature, place in its chain and replayed consistency analysis) and returns
the report as a dict; the ``oxa-verify`` command prints the same report.
"""

import json
import os

from . import _native

__all__ = ["verify_log", "write_html_report"]


def write_html_report(report, path, argv=None):
    """Write the auditor's HTML report of a ``verify_log`` report to ``path``.

    Needs the ``report`` extra (jinja2, matplotlib); see ``oxa_verify.html_report``.
    """
    from .html_report import write_html_report as write

    write(report, path, argv)


def _path_text(path):
    path = os.fspath(path)
    if isinstance(path, bytes):
        return os.fsdecode(path)
    return path


def _hex_text(value, what):
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str of 64 hexadecimal digits, not {type(value).__name__}")
    return value


def verify_log(paths, public_key=None, anchors=(), jobs=None):
    """Verify an audit log offline and return the report as a dict.

    paths: one path, or several read in order as one log (rotated pieces,
    oldest first); "-" is standard input, names ending ".gz" are decompressed.
    public_key: the engine's published public key as 64 hex digits; without
    it the key is derived from the key file beside the first path, and the
    report says so. anchors: merkle_root values kept earlier, each of which
    some record must have. jobs: threads for the signature checks (default:
    all cores).

    The dict holds ok, lines, records, public_key, key_source ("argument" or
    "key-file"), chains, problems, warnings and statistics (counts over time,
    per chain and per review node, and the text of the lines with problems:
    what write_html_report draws). Raises ValueError or TypeError
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
    return json.loads(_native.verify(paths, public_key, anchors, jobs))
