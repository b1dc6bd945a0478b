import os
from typing import Any, Dict, Iterable, Optional, Sequence, Union

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

__all__ = ["verify_log", "write_html_report"]

def verify_log(
    paths: Union[_Path, Sequence[_Path]],
    public_key: Optional[str] = ...,
    anchors: Iterable[str] = ...,
    jobs: Optional[int] = ...,
) -> Dict[str, Any]: ...
def write_html_report(
    report: Dict[str, Any],
    path: _Path,
    argv: Optional[Sequence[str]] = ...,
) -> None: ...
