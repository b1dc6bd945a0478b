"""The ``oxa-verify`` command."""

import os
import signal
import sys
import threading

from . import _native


def command_arguments(argv):
    """The arguments as text (default: the process's), with Python's own output flushed.

    The native code writes straight to the process's descriptors, so anything
    still buffered on the Python side goes out first.
    """
    if argv is None:
        argv = sys.argv[1:]
    args = [os.fsdecode(arg) if isinstance(arg, bytes) else arg for arg in argv]
    sys.stdout.flush()
    sys.stderr.flush()
    return args


def main(argv=None):
    """Run oxa-verify with ``argv`` (default: the process's arguments); returns the exit status."""
    args = command_arguments(argv)
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
