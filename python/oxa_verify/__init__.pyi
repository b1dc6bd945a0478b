import os
from typing import Any, Dict, Iterable, Optional, Sequence, Union

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

__all__ = ["verify_log", "verify_proof", "verify_fleet"]

def verify_log(
    paths: Union[_Path, Sequence[_Path]],
    public_key: Optional[str] = ...,
    anchors: Iterable[str] = ...,
    jobs: Optional[int] = ...,
    checkpoints: Optional[_Path] = ...,
    notary_key: Optional[str] = ...,
    require_sealed: bool = ...,
    rotated: bool = ...,
    continues: bool = ...,
) -> Dict[str, Any]: ...
def verify_proof(
    path: _Path,
    public_key: Optional[str] = ...,
    notary_key: Optional[str] = ...,
) -> Dict[str, Any]: ...
def verify_fleet(
    entries: Iterable[Dict[str, Any]],
    client: Any = ...,
    progress: Optional[Any] = ...,
) -> Dict[str, Any]: ...
