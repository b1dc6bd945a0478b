"""The ``oxa-verify`` command."""

import os
import sys

from . import _native


def main(argv=None):
    """Run oxa-verify with ``argv`` (default: the process's arguments); returns the exit status."""
    if argv is None:
        argv = sys.argv[1:]
    # The report is written by the native code straight to the descriptors.
    sys.stdout.flush()
    sys.stderr.flush()
    return _native.run_command([os.fsdecode(arg) if isinstance(arg, bytes) else arg for arg in argv])


if __name__ == "__main__":
    sys.exit(main())
