import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

import tvel_oxa

HERE = Path(__file__).parent


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "integration: drives a system of its own beside ours (a Dask cluster and an S3 server, the openai "
        "client, a browser, Go's tlog, kill loops); run once, under the default interpreter",
    )


def panic_message(call):
    """The message of the PanicException that `call` raises; fails the test when it raises none."""
    try:
        call()
    except Exception:
        raise
    except BaseException as error:
        assert type(error).__name__ == "PanicException"
        return str(error)
    pytest.fail("no PanicException")


def signal_state(pid):
    """A process's signal masks from /proc: {"SigPnd": ..., "SigBlk": ..., "SigIgn": ..., "SigCgt": ...}, as ints."""
    state = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            name, _, value = line.partition(":")
            if name in ("SigPnd", "SigBlk", "SigIgn", "SigCgt"):
                state[name] = int(value, 16)
    return state


def wait_until_follow_started(process, timeout=60):
    """Waits until an `oxa-notary follow` process catches SIGTERM, which it sets up
    once its start-up is over: a stop signal sent earlier ends the interpreter's
    start-up instead (a KeyboardInterrupt in an import), whatever the command does."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and process.poll() is None:
        if signal_state(process.pid)["SigCgt"] & (1 << (signal.SIGTERM - 1)):
            return
        time.sleep(0.05)
    pytest.fail(f"oxa-notary follow did not start within {timeout} s (exit status {process.poll()})")


@pytest.fixture
def memory_engine():
    return tvel_oxa.OXAEngine(":memory:")


@pytest.fixture
def triplet():
    return tvel_oxa.PPPTriplet("model-a", "eu-west", "triage")


@pytest.fixture
def review():
    return tvel_oxa.HumanDeltaChain("ref-1", True, "node-9", "chain-x")


@pytest.fixture
def capture_args(triplet, review):
    """Keyword arguments of one ordinary capture; tests override what they need."""
    return dict(
        ctx={"user": 1},
        prompt="Hello",
        reasoning_trace=["step"],
        output="done",
        ppp_triplet=triplet,
        human_delta_chain=review,
    )


@pytest.fixture
def notary_key(request, tmp_path):
    """A new notary key named after the test module's ORIGIN: its file and its verifier key."""
    from oxa_verify import _native

    key = tmp_path / "notary.key"
    return key, _native.notary_keygen(str(key), request.module.ORIGIN)


@pytest.fixture(scope="session")
def fault_shim(tmp_path_factory):
    """Builds the LD_PRELOAD shim that makes getrandom or clock_gettime fail on demand."""
    out = tmp_path_factory.mktemp("shim") / "fault_shim.so"
    subprocess.run(
        ["cc", "-shared", "-fPIC", "-O1", "-o", str(out), str(HERE / "fault_shim.c"), "-ldl"],
        check=True,
    )
    return out


def run_python(script, *, preload=None, cwd=None, timeout=120):
    """Runs a script in a fresh interpreter; returns the completed process."""
    env = dict(os.environ)
    if preload is not None:
        # After whatever is preloaded already (a sanitizer runtime must stay first).
        env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), str(preload)]))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        capture_output=True,
        text=True,
        env=env,
        cwd=cwd,
        timeout=timeout,
    )
