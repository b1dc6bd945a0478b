from typing import List, Optional

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
    as_json: bool,
) -> int: ...
def verify_proof(proof: str, public_key: Optional[str], notary_key: Optional[str]) -> str: ...
def run_proof(proof: str, public_key: Optional[str], notary_key: Optional[str], as_json: bool) -> int: ...
def run_notary_command(args: List[str]) -> int: ...
