import subprocess
import sys
from pathlib import Path

DEMO = Path(__file__).resolve().parents[2] / "examples" / "demo.py"


def test_demo_runs_and_logs_its_decisions(tmp_path):
    log = tmp_path / "demo.wal"
    result = subprocess.run([sys.executable, str(DEMO), str(log)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "verifies under the public key" in result.stdout
    assert log.read_bytes().count(b"\n") == 5
    assert (tmp_path / "demo.wal.key").stat().st_size == 32
