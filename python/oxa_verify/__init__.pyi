import os
from typing import Any, Dict, Iterable, List, Optional, Sequence, Union

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

__all__ = ["verify_log", "verify_proof", "consistency_proof", "check_consistency", "verify_fleet", "write_html_report"]

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
    max_line_bytes: Optional[int] = ...,
    policy: Optional[_Path] = ...,
    require_witnessed: bool = ...,
) -> Dict[str, Any]: ...
def verify_proof(
    path: _Path,
    public_key: Optional[str] = ...,
    notary_key: Optional[str] = ...,
    policy: Optional[_Path] = ...,
) -> Dict[str, Any]: ...

def consistency_proof(tiles_dir: _Path, old: int, new: int) -> List[bytes]: ...
def check_consistency(
    old_size: int, old_root: bytes, new_size: int, new_root: bytes, proof: Iterable[bytes]
) -> bool: ...
def verify_fleet(
    entries: Iterable[Dict[str, Any]],
    client: Any = ...,
    progress: Optional[Any] = ...,
) -> Dict[str, Any]: ...
def write_html_report(
    report: Dict[str, Any],
    path: _Path,
    argv: Optional[Sequence[str]] = ...,
) -> None: ...
