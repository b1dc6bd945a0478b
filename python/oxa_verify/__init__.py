"""Offline verification of tvel_oxa audit logs.

``verify_log(paths)`` checks every record of a log (its format, content hash,
signature, place in its chain and replayed consistency analysis) and returns
the report as a dict; the ``oxa-verify`` command prints the same report.

``consistency_proof(tiles_dir, old, new)`` reads the proof that a notary's
tree of ``new`` lines extends the one of ``old`` lines from its tiles, and
``check_consistency`` checks such a proof against the two roots.
"""

import json
import os

from . import _native

__all__ = ["verify_log", "consistency_proof", "check_consistency"]


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
    return json.loads(_native.verify(paths, public_key, anchors, jobs))


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
