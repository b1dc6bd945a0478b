"""The ``oxa-verify`` command."""

import json
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


HTML_OPTION = "--html"
HTML_USAGE = "  --html FILE       also write the auditor's HTML report (needs tvel_oxa[report])\n"


def html_report_path(args):
    """The path of ``--html PATH`` (or ``--html=PATH``) and the arguments without it.

    Returns (None, args) when it is not given; raises ValueError when it has no
    value or is given twice. Arguments after "--" are left alone.
    """
    path = None
    rest = []
    i = 0
    while i < len(args):
        arg = args[i]
        if arg == "--":
            rest.extend(args[i:])
            break
        if arg == HTML_OPTION or arg.startswith(HTML_OPTION + "="):
            if path is not None:
                raise ValueError("--html given twice")
            if arg == HTML_OPTION:
                if i + 1 >= len(args):
                    raise ValueError("--html needs a value")
                i += 1
                path = args[i]
            else:
                path = arg[len(HTML_OPTION) + 1 :]
            if not path:
                raise ValueError("--html needs a value")
        else:
            rest.append(arg)
        i += 1
    return path, rest


def html_path_problem(html_path, args):
    """Why ``html_path`` must not be written, or None: it names one of the check's own input files."""
    from . import html_report

    if not os.path.exists(html_path):
        return None
    _, pieces = html_report._command_parts(args)
    inputs = pieces + [piece + ".key" for piece in pieces[:1]]
    for option in ("--checkpoints", "--notary-key", "--proof", "--policy"):
        value = html_report._option_value(args, option)
        if value:
            inputs.append(value)
    for name in inputs:
        try:
            if name != "-" and os.path.samefile(html_path, name):
                return f"--html {html_path} is the input file {name}: it would be overwritten"
        except OSError:
            continue
    return None


def run_with_html(args, html_path):
    """Runs the check as usual and writes the HTML report of its outcome to ``html_path``."""
    from . import html_report

    missing = html_report.missing_report_packages()
    if missing:
        sys.stderr.write(f"oxa-verify: {html_report.MissingReportPackage(missing)}\n")
        return 2
    problem = html_path_problem(html_path, args)
    if problem:
        sys.stderr.write(f"oxa-verify: {problem}\n")
        return 2
    status, report_text = _native.run_command_with_report(args)
    if report_text is None:
        # A usage error (the command has said why) or a proof check, which has no log report.
        if status != 2 and not any(arg in ("-h", "--help") for arg in args):
            sys.stderr.write("oxa-verify: --html writes the report of a log; a --proof check has none\n")
        return status
    try:
        html_report.write_html_report(json.loads(report_text), html_path, args)
    except OSError as error:
        sys.stderr.write(f"oxa-verify: cannot write the HTML report {html_path}: {error.strerror or error}\n")
        return 2
    return status


def main(argv=None):
    """Run oxa-verify with ``argv`` (default: the process's arguments); returns the exit status."""
    args = command_arguments(argv)
    try:
        html_path, args = html_report_path(args)
    except ValueError as error:
        sys.stderr.write(f"oxa-verify: {error}\n")
        return 2
    # The verification runs in native code, where a KeyboardInterrupt would
    # wait for its end: while it runs, Ctrl-C ends the process at once.
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.signal(signal.SIGINT, signal.SIG_DFL)
    try:
        if html_path is not None:
            status = run_with_html(args, html_path)
        else:
            status = _native.run_command(args)
        if any(arg in ("-h", "--help") for arg in args[: args.index("--") if "--" in args else len(args)]):
            sys.stdout.write(HTML_USAGE)
        return status
    finally:
        if previous is not None:
            signal.signal(signal.SIGINT, previous)


if __name__ == "__main__":
    sys.exit(main())
