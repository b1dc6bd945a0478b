"""Offline verification of tvel_oxa audit logs.

``verify_log(paths)`` checks every record of a log (its format, content hash,
signature, place in its chain and replayed consistency analysis) and, with
``checkpoints``, every line against the notary's signed checkpoints; it returns
the report as a dict. ``verify_proof(path)`` checks one record's proof file.
The ``oxa-verify`` command prints the same reports.
"""

import json
import os

from . import _native
from ._pieces import check_piece_order, rotated_pieces

__all__ = ["verify_log", "verify_proof", "verify_fleet"]


def _path_text(path, what="a path"):
    try:
        path = os.fspath(path)
    except TypeError:
        raise TypeError(f"{what} must be a str, bytes or os.PathLike, not {type(path).__name__}") from None
    if isinstance(path, bytes):
        return os.fsdecode(path)
    return path


def _optional_path(path, what):
    return None if path is None else _path_text(path, what)


def _hex_text(value, what):
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str of 64 hexadecimal digits, not {type(value).__name__}")
    return value


def _optional_text(value, what):
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    return value


def _flag(value, what):
    if not isinstance(value, bool):
        raise TypeError(f"{what} must be a bool, not {type(value).__name__}")
    return value


def _log_arguments(paths, public_key=None, anchors=(), jobs=None, checkpoints=None, notary_key=None,
                  require_sealed=False, rotated=False, continues=False):
    """The arguments of a log's verification, checked and typed as the native code takes them.

    Shared by verify_log and the command, so that both verify the same pieces the same way.
    Raises TypeError or ValueError for bad arguments, OSError when rotated pieces cannot be listed.
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    paths = [_path_text(path) for path in paths]
    if not paths:
        raise ValueError("no log given")
    if _flag(rotated, "rotated"):
        if len(paths) != 1:
            raise ValueError("rotated takes the one current log, whose rotated pieces are found beside it")
        paths = rotated_pieces(paths[0])
    else:
        check_piece_order(paths)
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
    checkpoints = _optional_path(checkpoints, "checkpoints")
    notary_key = _optional_text(notary_key, "notary_key")
    return (paths, public_key, anchors, jobs, checkpoints, notary_key, _flag(require_sealed, "require_sealed"),
            _flag(continues, "continues"))


def verify_log(paths, public_key=None, anchors=(), jobs=None, checkpoints=None, notary_key=None,
               require_sealed=False, rotated=False, continues=False):
    """Verify an audit log offline and return the report as a dict.

    paths: one path, or several read in order as one log (rotated pieces,
    oldest first); "-" is standard input, and compressed pieces are recognised
    by their content. public_key: the engine's published public key as 64 hex
    digits; without it the key is derived from the key file beside the log,
    and the report says so. anchors: merkle_root values kept earlier, each of
    which some record must have. jobs: threads for the signature checks
    (default: all cores). checkpoints and notary_key: the notary's checkpoint
    file and verifier key, to check every line against the signed trees;
    require_sealed makes lines after the last checkpoint a problem. rotated:
    paths is the current log, and its rotated pieces beside it (LOG.N,
    LOG.N.gz, LOG-YYYYMMDD[.gz]) are read with it, oldest first. continues:
    the pieces follow older ones not given, so each chain's first record in
    them may extend a root from before them (a `starts-mid-chain` warning).

    The dict holds ok, lines, records, public_key, key_source ("argument" or
    "key-file"), pieces, checkpoints, chains, problems and warnings, exactly
    as ``oxa-verify --json`` prints them. Raises ValueError or TypeError for
    bad arguments (a piece that is no log, the same file twice) and OSError
    for input that cannot be read. Files are only read, never changed.
    """
    arguments = _log_arguments(paths, public_key, anchors, jobs, checkpoints, notary_key, require_sealed, rotated,
                              continues)
    return json.loads(_native.verify(*arguments))


def _proof_arguments(path, public_key=None, notary_key=None):
    """The arguments of a proof check, checked and typed as the native code takes them."""
    path = _path_text(path, "path")
    if public_key is not None:
        public_key = _hex_text(public_key, "public_key")
    notary_key = _optional_text(notary_key, "notary_key")
    if notary_key is None:
        raise ValueError("a proof is checked under the notary's verifier key: give notary_key")
    return path, public_key, notary_key


def verify_proof(path, public_key=None, notary_key=None):
    """Check one record's proof file offline and return its report as a dict.

    notary_key: the notary's verifier key (needed); public_key: the engine's
    public key, to check the record's own hash and signature as well. The dict
    holds ok, line, tree_size, origin, record_checked, public_key and
    problems, exactly as ``oxa-verify --proof FILE --json`` prints them.
    Raises ValueError or TypeError for bad arguments and OSError for a file
    that cannot be read.
    """
    return json.loads(_native.verify_proof(*_proof_arguments(path, public_key, notary_key)))


def verify_fleet(entries, client=None, progress=None):
    """Verify every log of a fleet (dicts as a manifest's lines give them) and return one report.

    Runs on this machine's cores, or with ``client`` (a dask.distributed.Client)
    on that cluster; see ``oxa_verify.fleet.verify_fleet``.
    """
    from .fleet import verify_fleet as run
    return run(entries, client, progress)
