"""Offline verification of tvel_oxa audit logs.

``verify_log(paths)`` checks every record of a log (its format, content hash,
signature, place in its chain and replayed consistency analysis) and, with
``checkpoints``, every line against the notary's signed checkpoints; it returns
the report as a dict. ``verify_proof(path)`` checks one record's proof file.
The ``oxa-verify`` command prints the same reports.

``consistency_proof(tiles_dir, old, new)`` reads the proof that a notary's
tree of ``new`` lines extends the one of ``old`` lines from its tiles, and
``check_consistency`` checks such a proof against the two roots.
"""

import json
import os

from . import _native
from ._pieces import check_piece_order, rotated_pieces

__all__ = ["verify_log", "verify_proof", "consistency_proof", "check_consistency", "verify_fleet", "write_html_report"]


def write_html_report(report, path, argv=None):
    """Write the auditor's HTML report of a ``verify_log`` report to ``path``.

    Needs the ``report`` extra (jinja2, matplotlib); see ``oxa_verify.html_report``.
    """
    from .html_report import write_html_report as write

    write(report, path, argv)


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


# A longer line is malformed and passed over unread, so that one huge line
# cannot take the memory it would need.
_DEFAULT_MAX_LINE_BYTES = 64 << 20


def _log_arguments(paths, public_key=None, anchors=(), jobs=None, checkpoints=None, notary_key=None,
                  require_sealed=False, rotated=False, continues=False, max_line_bytes=None, policy=None,
                  require_witnessed=False):
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
    if max_line_bytes is None:
        max_line_bytes = _DEFAULT_MAX_LINE_BYTES
    elif isinstance(max_line_bytes, bool) or not isinstance(max_line_bytes, int):
        raise TypeError(f"max_line_bytes must be an int or None, not {type(max_line_bytes).__name__}")
    elif not 1 <= max_line_bytes < 2**64:
        raise ValueError("max_line_bytes must be at least 1")
    policy = _optional_path(policy, "policy")
    return (paths, public_key, anchors, jobs, checkpoints, notary_key, _flag(require_sealed, "require_sealed"),
            _flag(continues, "continues"), max_line_bytes, policy, _flag(require_witnessed, "require_witnessed"))


def verify_log(paths, public_key=None, anchors=(), jobs=None, checkpoints=None, notary_key=None,
               require_sealed=False, rotated=False, continues=False, max_line_bytes=None, policy=None,
               require_witnessed=False):
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
    max_line_bytes: a longer line is malformed and passed over without being
    held in memory (default: 64 MiB). policy: an auditor's witness policy
    file (the notary's log line, the witnesses and their quorum), in place of
    notary_key: each checkpoint's cosignatures are checked, and lines after
    the last checkpoint that meets the quorum are an `unwitnessed-tail`
    warning, a problem with require_witnessed.

    The dict holds ok, lines, records, public_key, key_source ("argument" or
    "key-file"), pieces, checkpoints, chains, problems, warnings and
    statistics (counts over time, per chain and per review node, and the text
    of the lines with problems: what write_html_report draws), exactly as
    ``oxa-verify --json`` prints them. Raises ValueError or TypeError for
    bad arguments (a piece that is no log, the same file twice) and OSError
    for input that cannot be read. Files are only read, never changed.
    """
    arguments = _log_arguments(paths, public_key, anchors, jobs, checkpoints, notary_key, require_sealed, rotated,
                              continues, max_line_bytes, policy, require_witnessed)
    return json.loads(_native.verify(*arguments))


def _proof_arguments(path, public_key=None, notary_key=None, policy=None):
    """The arguments of a proof check, checked and typed as the native code takes them."""
    path = _path_text(path, "path")
    if public_key is not None:
        public_key = _hex_text(public_key, "public_key")
    notary_key = _optional_text(notary_key, "notary_key")
    policy = _optional_path(policy, "policy")
    if notary_key is None and policy is None:
        raise ValueError("a proof is checked under the notary's verifier key: give notary_key or policy")
    return path, public_key, notary_key, policy


def verify_proof(path, public_key=None, notary_key=None, policy=None):
    """Check one record's proof file offline and return its report as a dict.

    notary_key: the notary's verifier key; or policy: an auditor's witness
    policy file, whose log line gives that key and whose quorum the proof's
    checkpoint must meet with its cosignatures (one of the two is needed).
    public_key: the engine's public key, to check the record's own hash and
    signature as well. The dict holds ok, line, tree_size, origin,
    record_checked, public_key and problems (with a policy also witnesses,
    quorum and quorum_met), exactly as ``oxa-verify --proof FILE --json``
    prints them. Raises ValueError or TypeError for bad arguments and OSError
    for a file that cannot be read.
    """
    return json.loads(_native.verify_proof(*_proof_arguments(path, public_key, notary_key, policy)))


_HASH_BYTES = 32


def _size(value, what):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if not 0 <= value < 2**64:
        raise ValueError(f"{what} must be from 0 to 2**64 - 1")
    return value


def _hash(value, what):
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"{what} must be bytes, not {type(value).__name__}")
    value = bytes(value)
    if len(value) != _HASH_BYTES:
        raise ValueError(f"{what} must be {_HASH_BYTES} bytes, not {len(value)}")
    return value


def consistency_proof(tiles_dir, old, new):
    """The RFC 6962 consistency proof from tree size ``old`` to ``new``.

    tiles_dir: a notary's tile directory (LOG.tiles); both sizes may be any up
    to the size of its published checkpoint, whose root the tiles must give.
    Returns the proof as a list of 32-byte hashes (empty when old is 0 or
    equals new). Raises TypeError for arguments of the wrong type and
    ValueError for sizes out of order or beyond the checkpoint and for tiles
    that are missing or do not give its root.
    """
    old = _size(old, "old")
    new = _size(new, "new")
    if old > new:
        raise ValueError(f"old ({old}) is larger than new ({new})")
    data = _native.consistency_proof(_path_text(tiles_dir), old, new)
    return [data[i:i + _HASH_BYTES] for i in range(0, len(data), _HASH_BYTES)]


def check_consistency(old_size, old_root, new_size, new_root, proof):
    """Whether ``proof`` shows that the tree of ``new_size`` leaves with
    ``new_root`` extends the tree of ``old_size`` leaves with ``old_root``
    (RFC 9162 section 2.1.4.2; equal sizes need equal roots and no proof).

    Roots and proof hashes are 32-byte values. Returns True or False; raises
    TypeError or ValueError for arguments it cannot check (wrong types or
    lengths, old_size larger than new_size).
    """
    old_size = _size(old_size, "old_size")
    new_size = _size(new_size, "new_size")
    if old_size > new_size:
        raise ValueError(f"old_size ({old_size}) is larger than new_size ({new_size})")
    old_root = _hash(old_root, "old_root")
    new_root = _hash(new_root, "new_root")
    if isinstance(proof, (bytes, bytearray, memoryview, str)):
        raise TypeError("proof must be a sequence of 32-byte hashes, not a single value")
    hashes = b"".join(_hash(h, "a proof hash") for h in proof)
    return _native.check_consistency(old_size, old_root, new_size, new_root, hashes)
def verify_fleet(entries, client=None, progress=None):
    """Verify every log of a fleet (dicts as a manifest's lines give them) and return one report.

    Runs on this machine's cores, or with ``client`` (a dask.distributed.Client)
    on that cluster; see ``oxa_verify.fleet.verify_fleet``.
    """
    from .fleet import verify_fleet as run
    return run(entries, client, progress)
