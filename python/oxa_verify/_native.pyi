from typing import Callable, List, Optional, Tuple, Union

def verify(
    paths: List[str],
    public_key: Optional[str],
    anchors: List[str],
    jobs: int,
    checkpoints: Optional[str],
    notary_key: Optional[str],
    require_sealed: bool,
    continues: bool,
    max_line_bytes: int,
    policy: Optional[str],
    require_witnessed: bool,
) -> str: ...
def run_verify(
    paths: List[str],
    public_key: Optional[str],
    anchors: List[str],
    jobs: int,
    checkpoints: Optional[str],
    notary_key: Optional[str],
    require_sealed: bool,
    continues: bool,
    max_line_bytes: int,
    policy: Optional[str],
    require_witnessed: bool,
    as_json: bool,
) -> int: ...
def run_verify_with_report(
    paths: List[str],
    public_key: Optional[str],
    anchors: List[str],
    jobs: int,
    checkpoints: Optional[str],
    notary_key: Optional[str],
    require_sealed: bool,
    continues: bool,
    max_line_bytes: int,
    policy: Optional[str],
    require_witnessed: bool,
    as_json: bool,
) -> Tuple[int, Optional[str]]: ...
def verify_proof(proof: str, public_key: Optional[str], notary_key: Optional[str], policy: Optional[str]) -> str: ...
def run_proof(
    proof: str, public_key: Optional[str], notary_key: Optional[str], policy: Optional[str], as_json: bool
) -> int: ...
def witness_keygen(path: str, name: str) -> str: ...
def witness_vkey(path: str) -> str: ...
def witness_new(key_path: str, policy: bytes) -> Tuple[object, str, List[str]]: ...
def witness_open_request(
    witness: object, body: bytes
) -> Tuple[int, str, Optional[bytes], Optional[int], Optional[int], Optional[bytes], Optional[object]]: ...
def witness_extends(submission: object, stored_size: int, stored_root: Optional[bytes]) -> int: ...
def witness_cosign(witness: object, submission: object, timestamp: int) -> str: ...
def policy_check(policy: bytes) -> None: ...
def policy_quorum(policy: bytes, cosigned: List[str]) -> bool: ...
def policy_cosignatures(policy: bytes, note: bytes) -> Tuple[List[str], List[str]]: ...
def notary_keygen(key_path: str, name: str) -> str: ...
def notary_key_info(key_path: str) -> Tuple[str, str, Optional[str]]: ...
def notary_seal(
    key_path: str, origin: Optional[str], out_path: Optional[str], logs: List[str], recheck: bool,
    on_warning: Callable[[str], object], tiles_dir: Optional[str] = ..., keep_tiles: bool = ...,
    max_line_bytes: int = ...,
    cosign: Optional[Callable[[bytes, int, str], Tuple[bytes, bool]]] = ...,
) -> str: ...
def notary_follow(
    key_path: str, origin: Optional[str], out_path: Optional[str], logs: List[str], recheck: bool, every: int,
    seconds: float, on_warning: Callable[[str], object], on_checkpoint: Callable[[str], object],
    tiles_dir: Optional[str] = ..., keep_tiles: bool = ...,
    cosign: Optional[Callable[[bytes, int, str], Tuple[bytes, bool]]] = ...,
) -> str: ...
def notary_prove(
    checkpoints_path: str, logs: List[str], line: int, out_path: Optional[str], tiles_dir: Optional[str] = ...,
) -> str: ...
def consistency_proof(tiles_dir: str, old: int, new: int) -> bytes: ...
def consistency_proof_at(tiles_dir: str, old: int, new: int, root: bytes) -> bytes: ...
def check_consistency(old_size: int, old_root: bytes, new_size: int, new_root: bytes, proof: bytes) -> bool: ...
def check_range(
    path: str,
    base: int,
    start: int,
    end: int,
    public_key: Optional[str],
    key_file: str,
    jobs: int,
    max_line_bytes: int,
) -> Tuple[int, int, bytes, int, bytes, bytes, bytes, int]: ...
def verify_checked(
    paths: List[str],
    public_key: Optional[str],
    anchors: List[str],
    jobs: int,
    checkpoints: Optional[str],
    notary_key: Optional[str],
    require_sealed: bool,
    continues: bool,
    max_line_bytes: int,
    policy: Optional[str],
    require_witnessed: bool,
    ranges: Union[List[Tuple[int, int, bytes, int, bytes, bytes, bytes, int]],
                  Callable[[], List[Tuple[int, int, bytes, int, bytes, bytes, bytes, int]]]],
    bounds: Optional[List[Tuple[int, int]]] = ...,
) -> str: ...
