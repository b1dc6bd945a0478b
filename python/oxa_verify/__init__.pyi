import os
from typing import Any, Dict, Iterable, Optional, Sequence, Union

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

__all__ = ["verify_log"]

def verify_log(
    paths: Union[_Path, Sequence[_Path]],
    public_key: Optional[str] = ...,
    anchors: Iterable[str] = ...,
    jobs: Optional[int] = ...,
    max_line_bytes: Optional[int] = ...,
) -> Dict[str, Any]: ...
