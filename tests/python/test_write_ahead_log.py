"""The audit log as a file: line format, failures that warn, whole lines from concurrent writers,
and cut-short lines never glued to the next record."""
import json
import shutil
import subprocess
import sys
import textwrap
import warnings

import pytest

import tvel_oxa
from conftest import run_python

KEYS = ["id", "timestamp", "monotonic_nanos", "hash", "signature", "merkle_root", "coherence_score",
        "reputation_scalar", "ppp_json", "ctx_json", "prompt", "reasoning_trace_json", "output",
        "human_delta_chain_json", "core_insight_json"]


def expected_line(record) -> bytes:
    """The record's line written by an independent compact writer (Python's json, no ASCII escaping)."""
    values = {key: getattr(record, key) for key in KEYS}
    return (json.dumps(values, separators=(",", ":"), ensure_ascii=False) + "\n").encode()


def parsed_lines(path):
    return [json.loads(line) for line in path.read_bytes().decode().splitlines()]


@pytest.mark.parametrize("auto_insight", [True, False], ids=["with-insight", "without-insight"])
def test_exact_line_bytes(tmp_path, capture_args, auto_insight):
    log = tmp_path / "audit.wal"
    engine = tvel_oxa.OXAEngine(str(log))
    prompt = 'line\nfeed\ttab\x01 "quote" back\\slash é / \x7f'
    record = engine.capture(**{**capture_args, "prompt": prompt, "auto_insight": auto_insight})
    line = log.read_bytes()
    assert line == expected_line(record)
    assert b"\\n" in line and b"\\t" in line and b"\\u0001" in line and "é /".encode() in line
    assert line.endswith(b',"core_insight_json":null}\n') != auto_insight
    assert b'"ppp_json":"{\\"provenance\\":\\"model-a\\",\\"place\\":\\"eu-west\\",\\"purpose\\":\\"triage\\"}"' in line


def test_lines_accumulate_in_key_order(tmp_path, capture_args):
    log = tmp_path / "audit.wal"
    engine = tvel_oxa.OXAEngine(str(log))
    records = [engine.capture(**capture_args) for _ in range(3)]
    data = log.read_bytes()
    assert data.count(b"\n") == 3 and data.endswith(b"\n")
    lines = parsed_lines(log)
    assert [list(line) for line in lines] == [KEYS] * 3
    assert [line["id"] for line in lines] == [r.id for r in records]
    assert all(len(line["signature"]) == 64 for line in lines)


def test_existing_log_is_appended_and_chain_restarts(tmp_path, capture_args):
    log = tmp_path / "audit.wal"
    tvel_oxa.OXAEngine(str(log)).capture(**capture_args)
    first = log.read_bytes()
    second_engine_record = tvel_oxa.OXAEngine(str(log)).capture(**capture_args)
    assert log.read_bytes().startswith(first)
    lines = parsed_lines(log)
    assert len(lines) == 2
    assert lines[1]["merkle_root"] == lines[0]["merkle_root"] == second_engine_record.merkle_root


def test_relative_path_follows_the_current_directory(tmp_path, monkeypatch, capture_args):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    monkeypatch.chdir(tmp_path / "a")
    engine = tvel_oxa.OXAEngine("rel.wal")
    engine.capture(**capture_args)
    monkeypatch.chdir(tmp_path / "b")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        engine.capture(**capture_args)
    assert len(parsed_lines(tmp_path / "a" / "rel.wal")) == 1
    assert len(parsed_lines(tmp_path / "b" / "rel.wal")) == 1


def test_memory_engine_opens_no_file(tmp_path, fault_shim):
    result = run_python("""
        import ctypes, tvel_oxa
        shim = ctypes.CDLL(None)
        args = (None, "p", None, "o", tvel_oxa.PPPTriplet("a", "b", "c"), tvel_oxa.HumanDeltaChain("r", True, "n"))
        counts = []
        for path in [":memory:", "audit.wal"]:
            engine = tvel_oxa.OXAEngine(path)
            engine.capture(*args)  # the json module is imported by now
            shim.oxa_shim_count_opens(1)
            engine.capture(*args)
            counts.append(shim.oxa_shim_opens_counted())
            shim.oxa_shim_count_opens(0)
        print(counts)
    """, preload=fault_shim, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[0, 1]"  # the file engine's one open shows the count works
    assert sorted(p.name for p in tmp_path.iterdir()) == ["audit.wal", "audit.wal.key"]


def engine_on_vanished_directory(root):
    (root / "gone").mkdir()
    engine = tvel_oxa.OXAEngine(str(root / "gone" / "audit.wal"))
    shutil.rmtree(root / "gone")
    return engine, root / "gone" / "audit.wal"


def engine_on_a_directory(root):
    (root / "dir").mkdir()
    return tvel_oxa.OXAEngine(str(root / "dir")), root / "dir"


@pytest.mark.parametrize(
    "make_engine, error",
    [
        (engine_on_vanished_directory, 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'),
        (engine_on_a_directory, 'Os { code: 21, kind: IsADirectory, message: "Is a directory" }'),
    ],
    ids=["missing-directory", "path-is-directory"],
)
def test_failed_append_warns_and_still_returns_the_record(tmp_path, capture_args, make_engine, error):
    engine, path = make_engine(tmp_path)
    with pytest.warns(RuntimeWarning) as caught:
        record = engine.capture(**capture_args)
    message = str(caught[0].message)
    assert record.id in message and str(path) in message and error in message
    assert record.hash and len(record.signature) == 64
    assert not path.is_file()
    assert not (tmp_path / "gone").exists()


def test_warning_filter_can_turn_a_failed_append_into_an_error(tmp_path, capture_args):
    log = tmp_path / "d"
    log.mkdir()
    engine, twin = tvel_oxa.OXAEngine(str(log)), tvel_oxa.OXAEngine(":memory:")
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning, match="was not appended to the audit log"):
            engine.capture(**capture_args)
    twin.capture(**capture_args)
    # The failed call advanced the engine like any late failure.
    with pytest.warns(RuntimeWarning):
        ours = engine.capture(**capture_args)
    assert ours.merkle_root == twin.capture(**capture_args).merkle_root


def test_concurrent_processes_write_whole_lines(tmp_path):
    log = tmp_path / "shared.wal"
    tvel_oxa.OXAEngine(str(log))
    script = textwrap.dedent(f"""
        import tvel_oxa
        engine = tvel_oxa.OXAEngine({str(log)!r})
        t = tvel_oxa.PPPTriplet("p" * 300, "place", "purpose")
        h = tvel_oxa.HumanDeltaChain("r" * 300, True, "n")
        for i in range(2000):
            engine.capture({{"i": i}}, "prompt " * 200, None, "output " * 200, t, h)
    """)
    workers = [subprocess.Popen([sys.executable, "-c", script]) for _ in range(4)]
    assert [w.wait(timeout=300) for w in workers] == [0] * 4
    lines = log.read_bytes().split(b"\n")
    assert lines[-1] == b""
    assert len(lines) - 1 == 8000
    assert all(list(json.loads(line)) == KEYS for line in lines[:-1])


def test_partial_line_left_before_construction_is_not_glued(tmp_path, capture_args):
    log = tmp_path / "audit.wal"
    log.write_bytes(b'{"whole":1}\n{"cut sh')
    engine = tvel_oxa.OXAEngine(str(log))
    engine.capture(**capture_args)
    engine.capture(**capture_args)
    lines = log.read_bytes().split(b"\n")
    assert lines[:2] == [b'{"whole":1}', b'{"cut sh']
    assert [list(json.loads(line)) for line in lines[2:4]] == [KEYS, KEYS]
    assert lines[4:] == [b""]


def test_write_cut_short_by_a_file_size_limit(tmp_path):
    log = tmp_path / "audit.wal"
    result = run_python(f"""
        import resource, signal, warnings, tvel_oxa
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        engine = tvel_oxa.OXAEngine({str(log)!r})
        args = (None, "p" * 100, None, "o", tvel_oxa.PPPTriplet("a", "b", "c"), tvel_oxa.HumanDeltaChain("r", True, "n"))
        engine.capture(*args)
        size = len(open({str(log)!r}, "rb").read())
        soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size + 200, hard))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            engine.capture(*args)
        print(caught[0].message)
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        engine.capture(*args)
    """)
    assert result.returncode == 0, result.stderr
    assert "File too large" in result.stdout
    lines = log.read_bytes().split(b"\n")
    assert len(lines) == 4 and lines[-1] == b""
    json.loads(lines[0])
    assert len(lines[1]) == 200  # the cut-short line keeps what was written
    with pytest.raises(json.JSONDecodeError):
        json.loads(lines[1])
    assert list(json.loads(lines[2])) == KEYS
