"""An engine used in a process made by fork(): each child starts a chain of its own at its first
capture there, as a new engine on the same log would, and the parent's chain goes on. The log then
verifies with one chain per process instead of a replayed record per child."""
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import blake3
import pytest

import tvel_oxa
from conftest import run_python

OXA_VERIFY = str(Path(sys.executable).with_name("oxa-verify"))
GENESIS = blake3.blake3(b"genesis").hexdigest()


def chain_step(root_hex, hash_hex):
    return blake3.blake3(f'Hash("{root_hex}")Hash("{hash_hex}")'.encode()).hexdigest()


def records_of(path):
    return [json.loads(line) for line in Path(path).read_text().splitlines()]


def chains_of(records):
    """The records grouped into chains by recomputing each root, in log order (independent of the
    verifier): a record extends the chain whose head it hashes onto, or starts one at genesis. The
    records' prompts differ, so that no two chains share a head."""
    chains = []
    for record in records:
        for chain in chains:
            if chain_step(chain[-1]["merkle_root"], record["hash"]) == record["merkle_root"]:
                chain.append(record)
                break
        else:
            assert chain_step(GENESIS, record["hash"]) == record["merkle_root"], record["id"]
            chains.append([record])
    return chains


def verify(path, public_key):
    result = subprocess.run([OXA_VERIFY, "--json", "--public-key", public_key, str(path)],
                            capture_output=True, timeout=120)
    return result.returncode, json.loads(result.stdout)


def first_capture_of_a_new_engine(capture_args):
    record = tvel_oxa.OXAEngine(":memory:").capture(**capture_args)
    return record.coherence_score, record.reputation_scalar


def test_forked_children_start_their_own_chains(tmp_path, capture_args):
    path = tmp_path / "audit.wal"
    engine = tvel_oxa.OXAEngine(str(path))
    # The parent's history and reputation have moved on before the forks.
    for _ in range(3):
        engine.capture(**dict(capture_args, output="x" * 500))
    children = []
    for child in range(3):
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                for step in range(2):
                    engine.capture(**dict(capture_args, ctx={"child": child}, prompt=f"child {child} step {step}"))
                status = 0
            finally:
                os._exit(status)
        children.append(pid)
    for pid in children:
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    engine.capture(**capture_args)

    code, report = verify(path, engine.public_key_hex())
    assert code == 0, report["problems"]
    assert len(report["chains"]) == 4

    chains = chains_of(records_of(path))
    owners = [{json.loads(r["ctx_json"]).get("child") for r in chain} for chain in chains]
    assert sorted(owners, key=str) == [{0}, {1}, {2}, {None}]
    assert [len(chain) for chain in chains if json.loads(chain[0]["ctx_json"]).get("child") is None] == [4]
    fresh = first_capture_of_a_new_engine(dict(capture_args, prompt="child 0 step 0"))
    for chain in chains:
        if json.loads(chain[0]["ctx_json"]).get("child") is not None:
            # Empty history and reputation 0.5, as in a new engine.
            assert (chain[0]["coherence_score"], chain[0]["reputation_scalar"]) == fresh


CAPTURE_SETUP = """
    import json, multiprocessing, os, sys, types, tvel_oxa
    engine = tvel_oxa.OXAEngine({path!r})
    triplet = tvel_oxa.PPPTriplet("model-a", "eu-west", "triage")
    review = tvel_oxa.HumanDeltaChain("ref-1", True, "node-9", "chain-x")
    def capture(tag):
        engine.capture({{"pid": os.getpid()}}, f"Hello {{tag}}", ["step"], "done", triplet, review)
        return os.getpid()
"""

WORKER_SHAPES = {
    "multiprocessing-fork-pool": """
        capture("parent")
        with multiprocessing.get_context("fork").Pool(3) as pool:
            pids = set(pool.map(capture, range(12), chunksize=1))
        capture("parent")
        print(len(pids) + 1)
    """,
    # The fork happens inside a capture, in code that json.dumps runs: the
    # child's record of that very capture already starts its chain.
    "fork-inside-a-capture": """
        real_json = json
        stand_in = types.ModuleType("json")
        fork_next = []
        def dumps(value):
            if fork_next:
                fork_next.clear()
                if os.fork() == 0:
                    stand_in.child = True
            if isinstance(value, dict) and "pid" in value:
                value = dict(value, pid=os.getpid())
            return real_json.dumps(value)
        stand_in.dumps = dumps
        stand_in.child = False
        sys.modules["json"] = stand_in
        capture("parent")
        fork_next.append(True)
        capture("both")
        if stand_in.child:
            capture("child")
            os._exit(0)
        os.wait()
        capture("parent")
        print(2)
    """,
}


@pytest.mark.parametrize("shape", list(WORKER_SHAPES), ids=list(WORKER_SHAPES))
def test_worker_processes_verify_as_one_chain_each(tmp_path, shape):
    path = tmp_path / "audit.wal"
    script = textwrap.dedent(CAPTURE_SETUP.format(path=str(path))) + textwrap.dedent(WORKER_SHAPES[shape])
    result = run_python(script)
    assert result.returncode == 0, result.stderr
    processes = int(result.stdout.split()[-1])
    public_key = tvel_oxa.OXAEngine(str(path)).public_key_hex()
    code, report = verify(path, public_key)
    assert code == 0, report["problems"]
    assert len(report["chains"]) == processes
    chains = chains_of(records_of(path))
    assert len(chains) == processes
    # Each chain is one process's records.
    assert all(len({json.loads(r["ctx_json"])["pid"] for r in chain}) == 1 for chain in chains)
