"""From a trace and span id back to the sealed line of that span."""
from __future__ import annotations

import gzip
import json
import os
from typing import IO, Iterable, Iterator, Optional, Union

PathLike = Union[str, "os.PathLike[str]"]


def _id_hex(value: Union[int, str], width: int, what: str) -> str:
    if isinstance(value, bool):
        raise TypeError(f"{what} must be an int or a hex str, not bool")
    if isinstance(value, int):
        if not 0 < value < 1 << (4 * width):
            raise ValueError(f"{what} out of range")
        return format(value, f"0{width}x")
    if isinstance(value, str):
        text = value.strip().lower()
        if text.startswith("0x"):
            text = text[2:]
        if len(text) != width or any(c not in "0123456789abcdef" for c in text):
            raise ValueError(f"{what} must be {width} hexadecimal digits")
        return text
    raise TypeError(f"{what} must be an int or a hex str, not {type(value).__name__}")


def _open(path: PathLike) -> IO[bytes]:
    name = os.fspath(path)
    if name.endswith(".gz"):
        return gzip.open(name, "rb")  # type: ignore[return-value]
    return open(name, "rb")


def _lines(paths: Iterable[PathLike]) -> Iterator[bytes]:
    for path in paths:
        with _open(path) as stream:
            yield from stream


def find_record(log: Union[PathLike, Iterable[PathLike]], trace_id: Union[int, str],
                span_id: Union[int, str]) -> Optional[str]:
    """The sealed line (without its line feed) of the span, or None.

    log: a log path, or several read in order (rotated pieces, ``.gz`` ones
    decompressed). trace_id and span_id: as OpenTelemetry holds them (int) or
    as OTLP shows them (32 and 16 hex digits). When a span was sealed more
    than once, the last line wins.
    """
    trace_hex = _id_hex(trace_id, 32, "trace_id")
    span_hex = _id_hex(span_id, 16, "span_id")
    paths = [log] if isinstance(log, (str, os.PathLike)) else list(log)
    needle = span_hex.encode()
    found: Optional[str] = None
    for raw in _lines(paths):
        # Most lines are skipped without parsing: the span id must appear.
        if needle not in raw:
            continue
        try:
            record = json.loads(raw)
            ctx = json.loads(record["ctx_json"])
        except (ValueError, KeyError, TypeError):
            continue
        if isinstance(ctx, dict) and ctx.get("trace_id") == trace_hex and ctx.get("span_id") == span_hex:
            found = raw.decode("utf-8").rstrip("\r\n")
    return found
