"""One engine shared by a pool of threads, and file work that must not freeze the interpreter."""
import json
import os
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import blake3
import pytest

import tvel_oxa
from conftest import run_python

GENESIS = blake3.blake3(b"genesis").hexdigest()


def next_root(root_hex, hash_hex):
    return blake3.blake3(f'Hash("{root_hex}")Hash("{hash_hex}")'.encode()).hexdigest()


@pytest.fixture
def frequent_switches():
    """Makes the interpreter switch threads often, inside json.dumps too."""
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(before)


def test_pool_sharing_one_engine_loses_no_record(tmp_path, triplet, review, frequent_switches):
    threads, per_thread = 8, 1000
    log = tmp_path / "pool.wal"
    engine = tvel_oxa.OXAEngine(str(log))
    # A context that takes json.dumps a while, so threads meet inside captures.
    ctx = {f"field-{i}": [i, str(i), {"nested": i}] for i in range(40)}

    def worker(n):
        records = []
        for i in range(per_thread):
            sum(range(200))  # some pure-Python work of the caller's own
            records.append(engine.capture(ctx, f"prompt {n}-{i}", [n, i], "out", triplet, review))
        return records

    with ThreadPoolExecutor(threads) as pool:
        results = [r for records in pool.map(worker, range(threads)) for r in records]

    assert len(results) == threads * per_thread
    assert all(isinstance(r, tvel_oxa.SealedRecord) for r in results)
    lines = [json.loads(line) for line in log.read_text().splitlines()]
    assert len(lines) == threads * per_thread
    # The log's order is the capture order: each root folds in its own record's
    # hash after the root of the line before.
    root = GENESIS
    for line in lines:
        root = next_root(root, line["hash"])
        assert line["merkle_root"] == root
    assert sorted(line["id"] for line in lines) == sorted(r.id for r in results)
    assert {r.merkle_root for r in results} == {line["merkle_root"] for line in lines}


def test_other_threads_run_while_an_engine_waits_for_a_fifo(tmp_path):
    # The log is a FIFO whose reader (a Python thread) drains it slowly, so a
    # capture's write of a long line waits for it. Three threads capture on
    # the engine, so some find it held and queue for it. Were the interpreter
    # lock kept during a write, the reader could not run and nothing would
    # end.
    result = run_python(f"""
        import os, threading, time, tvel_oxa
        fifo = {str(tmp_path / "log.fifo")!r}
        os.mkfifo(fifo)
        engine = tvel_oxa.OXAEngine(fifo)  # no reader: construction does not wait
        reader_fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        received = bytearray()
        def slow_reader():
            while received.count(b"\\n") < 3:
                try:
                    received.extend(os.read(reader_fd, 4096))
                except BlockingIOError:
                    pass
                time.sleep(0.001)
        args = (None, "p" * 200000, None, "o", tvel_oxa.PPPTriplet("a", "b", "c"),
                tvel_oxa.HumanDeltaChain("r", True, "n", "c"))
        captures = [threading.Thread(target=engine.capture, args=args) for _ in range(3)]
        reader = threading.Thread(target=slow_reader)
        reader.start()
        for thread in captures:
            thread.start()
        ticks = 0
        while any(thread.is_alive() for thread in captures):
            ticks += 1  # the main thread keeps running Python code meanwhile
            time.sleep(0.001)
        reader.join()
        print(ticks, len(received), received.count(b"\\n"))
    """, timeout=60)
    assert result.returncode == 0, result.stderr
    ticks, received, lines = map(int, result.stdout.split())
    assert ticks > 5
    assert (received > 3 * 200000, lines) == (True, 3)


def test_fifo_without_reader_fails_the_append_instead_of_hanging(tmp_path, capture_args):
    fifo = tmp_path / "audit.fifo"
    os.mkfifo(fifo)
    engine = tvel_oxa.OXAEngine(str(fifo))
    with pytest.warns(RuntimeWarning, match=r"was not appended to the audit log .*No such device or address"):
        record = engine.capture(**capture_args)
    assert isinstance(record, tvel_oxa.SealedRecord)


def test_daemon_threads_capturing_at_exit_end_cleanly():
    # At shutdown the interpreter ends a daemon thread that takes its lock
    # back (after signing, or after waiting for a shared engine) by
    # unwinding it; that must pass through the module, not abort the process.
    script = """
        import threading, time, tvel_oxa
        own, shared = tvel_oxa.OXAEngine(":memory:"), tvel_oxa.OXAEngine(":memory:")
        args = (None, "p", None, "o", tvel_oxa.PPPTriplet("a", "b", "c"),
                tvel_oxa.HumanDeltaChain("r", True, "n", "c"))
        def loop(engine):
            while True:
                engine.capture(*args)
        for engine in (own, shared, shared, shared):
            threading.Thread(target=loop, args=(engine,), daemon=True).start()
        time.sleep(0.2)
        print("exiting")
    """
    for _ in range(3):
        result = run_python(script, timeout=60)
        assert (result.returncode, result.stdout.strip()) == (0, "exiting"), result.stderr


def test_forked_child_does_not_wait_for_threads_it_does_not_have():
    # A thread is inside a capture (in json.dumps: the engine held, the context
    # objects being read) when another thread forks. The child has only the
    # forking thread: the reads simply ended there, while the engine, which
    # may be half changed, is refused as the holding thread's own re-entry
    # would be. Nothing in the child waits for the vanished thread.
    result = run_python("""
        import json, os, sys, threading, time, types, tvel_oxa
        real_json = json
        inside, finish = threading.Event(), threading.Event()
        stand_in = types.ModuleType("json")
        def dumps(value):
            inside.set()
            finish.wait()
            return real_json.dumps(value)
        stand_in.dumps = dumps
        sys.modules["json"] = stand_in

        engine = tvel_oxa.OXAEngine(":memory:")
        triplet = tvel_oxa.PPPTriplet("a", "b", "c")
        review = tvel_oxa.HumanDeltaChain("r", True, "n", "c")
        args = (None, "p", None, "o", triplet, review)
        worker = threading.Thread(target=engine.capture, args=args)
        worker.start()
        inside.wait()

        reader, writer = os.pipe()
        pid = os.fork()
        if pid == 0:
            sys.modules["json"] = real_json
            seen = []
            try:
                triplet.place = "child"
                review.resolved = False
                seen.append(triplet.place + str(review.resolved))
                for action in (lambda: engine.capture(*args), engine.public_key_hex):
                    try:
                        action()
                    except RuntimeError as error:
                        seen.append(str(error))
                fresh = tvel_oxa.OXAEngine(":memory:")
                seen.append(fresh.capture(*args).ppp_json)
                os.write(writer, "|".join(seen).encode())
            finally:
                os._exit(0)
        os.close(writer)
        deadline = time.monotonic() + 20
        while os.waitpid(pid, os.WNOHANG) == (0, 0):
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                print("child hung")
                break
            time.sleep(0.01)
        print(os.read(reader, 4096).decode())
        finish.set()
        worker.join()
        print(engine.capture(*args).ppp_json)
    """, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        'childFalse|Already borrowed|Already mutably borrowed|{"provenance":"a","place":"child","purpose":"c"}',
        '{"provenance":"a","place":"b","purpose":"c"}',
    ]


def test_daemon_thread_ended_inside_json_dumps_drops_no_reference():
    # The interpreter ends a daemon thread that wakes inside json.dumps while
    # it finalises. The unwinding passes the capture, which holds the last
    # reference to the "json" module it called: dropping it there, without
    # the interpreter lock, freed the module under the finalising thread.
    script = """
        import builtins, sys, threading, time, types, tvel_oxa
        inside = threading.Event()
        stand_in = types.ModuleType("json")
        def dumps(value):
            inside.set()
            time.sleep(0.2)
            return "null"
        stand_in.dumps = dumps
        sys.modules["json"] = stand_in

        class SlowFinaliser:
            # Runs while the interpreter finalises, after daemon threads are
            # told to end, and lets the sleeping one wake meanwhile.
            def __del__(self, sleep=time.sleep):
                sleep(0.5)

        builtins.slow_finaliser = SlowFinaliser()
        engine = tvel_oxa.OXAEngine(":memory:")
        args = (None, "p", None, "o", tvel_oxa.PPPTriplet("a", "b", "c"),
                tvel_oxa.HumanDeltaChain("r", True, "n", "c"))
        threading.Thread(target=engine.capture, args=args, daemon=True).start()
        inside.wait()
        del sys.modules["json"], stand_in
        print("exiting")
    """
    result = run_python(script, timeout=60)
    assert (result.returncode, result.stdout.strip()) == (0, "exiting"), result.stderr
