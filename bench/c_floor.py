"""Builds a bench's small C file into a shared library loaded through ctypes."""

import ctypes
import os
import shlex
import subprocess
import sys
from pathlib import Path


def load_c_floor(source, build_dir, link, program, what):
    """Compiles `source` with `$CC` (default cc) against `link` (e.g. "-lcrypto")
    into `build_dir` and loads it; exits naming `program` and `what` when that fails."""
    library = str(Path(build_dir) / (Path(source).stem + ".so"))
    command = shlex.split(os.environ.get("CC", "cc")) + ["-O2", "-shared", "-fPIC", "-o", library, str(source), link]
    try:
        subprocess.run(command, check=True, capture_output=True, text=True)
    except (OSError, subprocess.CalledProcessError) as error:
        detail = getattr(error, "stderr", "") or error
        sys.exit(f"{program}: could not build {what} ({' '.join(command)}): {detail}")
    return ctypes.CDLL(library)
