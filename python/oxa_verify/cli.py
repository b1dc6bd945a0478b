"""The ``oxa-verify`` command."""

import os
import signal
import sys
import threading

from . import _native


def main(argv=None):
    """Run oxa-verify with ``argv`` (default: the process's arguments); returns the exit status."""
    if argv is None:
        argv = sys.argv[1:]
    args = [os.fsdecode(arg) if isinstance(arg, bytes) else arg for arg in argv]
    # The report is written by the native code straight to the descriptors.
    sys.stdout.flush()
    sys.stderr.flush()
    # The verification runs in native code, where a KeyboardInterrupt would
    # wait for its end: while it runs, Ctrl-C ends the process at once.
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.signal(signal.SIGINT, signal.SIG_DFL)
    try:
        return _native.run_command(args)
    finally:
        if previous is not None:
            signal.signal(signal.SIGINT, previous)


if __name__ == "__main__":
    sys.exit(main())
