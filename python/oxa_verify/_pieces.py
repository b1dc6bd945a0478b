"""The pieces of a rotated log: found by their names, ordered oldest first.

logrotate renames the current log LOG to LOG.1 (and LOG.1 to LOG.2, ...), or,
with ``dateext``, to LOG-YYYYMMDD; ``compress`` adds ``.gz``. The engine's key
file (LOG.key) and the notary's checkpoint file (LOG.checkpoints) never match
these names.
"""

import os
import re

_NUMBERED = re.compile(r"^(?P<base>.+)\.(?P<number>[0-9]+)(?:\.gz)?$")
_DATED = re.compile(r"^(?P<base>.+)-(?P<date>[0-9]{8}(?:[0-9]{2}){0,3})(?:\.gz)?$")


def _age(name):
    """(base name, sort key) of a file name: older pieces sort first, the current log (no suffix) last."""
    match = _NUMBERED.match(name)
    if match:
        return match["base"], (1, -int(match["number"]))
    match = _DATED.match(name)
    if match:
        return match["base"], (0, len(match["date"]), match["date"])
    return name, (2,)


def rotated_pieces(log):
    """LOG's rotated pieces beside it and LOG itself (when it exists), oldest first.

    Raises ValueError when none exists, or when two pieces have the same place
    in the order (LOG.1 and LOG.1.gz); OSError when the directory cannot be read.
    """
    directory, base = os.path.split(log)
    if not base:
        raise ValueError(f"{log} names a directory, not a log")
    found = []
    for name in os.listdir(directory or "."):
        if name == base:
            found.append(((2,), name))
            continue
        piece_base, key = _age(name)
        if piece_base == base and key[0] != 2:
            found.append((key, name))
    if not found:
        raise ValueError(f"no log named {log} and no rotated piece of it (LOG.N, LOG.N.gz, LOG-YYYYMMDD[.gz])")
    found.sort()
    for (key, name), (next_key, next_name) in zip(found, found[1:]):
        if key == next_key:
            raise ValueError(f"{os.path.join(directory, name)} and {os.path.join(directory, next_name)} are the same "
                             "piece of the rotation: remove the one that is not the log's")
    if {key[0] for key, _ in found} >= {0, 1}:
        raise ValueError(f"{log} has both numbered (LOG.N) and dated (LOG-YYYYMMDD) pieces beside it: their order "
                         "cannot be told; give the pieces oldest first instead")
    return [os.path.join(directory, name) for _, name in found]


def check_piece_order(paths):
    """Raises ValueError when pieces of one rotated log are given newest first (as a glob sorts them)."""
    groups = {}
    for path in paths:
        if path == "-":
            continue
        directory, name = os.path.split(path)
        base, key = _age(name)
        groups.setdefault((directory, base), []).append((key, path))
    for (directory, base), pieces in groups.items():
        for (key, path), (next_key, next_path) in zip(pieces, pieces[1:]):
            if next_key < key:
                ordered = " ".join(path for _, path in sorted(pieces))
                raise ValueError(
                    f"{next_path} is an older piece of {os.path.join(directory, base)} than {path}, given before "
                    f"it: give the pieces oldest first ({ordered}), or the current log with --rotated")
