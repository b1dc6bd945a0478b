"""The ``oxa-notary`` command: signed checkpoints of an audit log.

``keygen`` makes the notary's key, ``seal`` appends one checkpoint, ``follow``
keeps sealing a live log until SIGTERM or SIGINT, and ``prove`` writes the
evidence for one record. The work is done by the native code, which writes
straight to the process's standard output and error.
"""

import signal
import sys
import threading

from . import _native
from .cli import command_arguments


def _stop(signum, frame):
    # Raised inside the native signal check: it ends a follow after its last
    # checkpoint instead of killing the process between two writes.
    raise KeyboardInterrupt


def main(argv=None):
    """Run oxa-notary with ``argv`` (default: the process's arguments); returns the exit status."""
    args = command_arguments(argv)
    in_main_thread = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, _stop) if in_main_thread else None
    try:
        return _native.run_notary_command(args)
    finally:
        if in_main_thread:
            signal.signal(signal.SIGTERM, previous)


if __name__ == "__main__":
    sys.exit(main())
