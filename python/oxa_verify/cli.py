"""The ``oxa-verify`` command."""

import argparse
import json
import os
import signal
import sys
import threading

from . import _native, _log_arguments, _proof_arguments


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


def package_version():
    try:
        from importlib.metadata import version
        return version("tvel_oxa")
    except Exception:  # not installed as a distribution (a source tree on sys.path)
        return "unknown"


def _jobs(text):
    try:
        value = int(text, 10)
    except ValueError:
        value = 0
    if not 1 <= value <= 1024:
        raise argparse.ArgumentTypeError("needs a whole number from 1 to 1024")
    return value


def _max_line_bytes(text):
    try:
        value = int(text, 10)
    except ValueError:
        value = 0
    if not 1 <= value < 2**64:
        raise argparse.ArgumentTypeError("needs a whole number of bytes, at least 1")
    return value


DESCRIPTION = """\
Verifies an audit log offline: every record's format, content hash, signature,
place in its chain and replayed consistency analysis, and with --checkpoints
every line against the notary's signed checkpoints. Several LOG files are read
in the order given as one log (rotated pieces, oldest first); '-' is standard
input; compressed pieces are recognised by their content (gzip)."""

EPILOG = """\
Without --checkpoints only the records' own seals are checked, and the report
says what that cannot show (the hash-only warning).

Exit status: 0 no problem found, 1 problems found, 2 usage error or unreadable input."""


class _Once(argparse.Action):
    """A value that may be given once, never empty: a second one would silently win."""

    def __call__(self, parser, namespace, value, option_string=None):
        if not value:
            parser.error(f"{option_string} needs a value")
        if getattr(namespace, self.dest) is not None:
            parser.error(f"{option_string} given twice")
        setattr(namespace, self.dest, value)


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line naming the command and the fault, then how it is called.
        self.exit(2, f"{self.prog}: {message}\n{self.format_usage()}")


def build_parser():
    parser = _Parser(
        prog="oxa-verify", description=DESCRIPTION, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("logs", nargs="*", metavar="LOG",
                        help="the log, or its pieces oldest first; '-' is standard input")
    parser.add_argument("--public-key", metavar="HEX",
                        help="the engine's published public key (64 hex digits); without it the key is derived "
                             "from LOG.key beside the log, which proves nothing against someone able to rewrite both")
    parser.add_argument("--anchor", metavar="HEX", action="append", default=[],
                        help="a merkle_root kept earlier that some record must have (repeatable); catches a "
                             "cut-off end without the notary")
    parser.add_argument("--json", action="store_true", help="print the report as one JSON object")
    parser.add_argument("--html", metavar="FILE", action=_Once,
                        help="also write the auditor's HTML report to FILE (needs tvel_oxa[report]); the exit "
                             "status stays the check's")
    parser.add_argument("--jobs", metavar="N", type=_jobs, help="threads for the signature checks (default: all cores)")
    parser.add_argument("--rotated", action="store_true",
                        help="LOG is the current log: read its rotated pieces beside it as well (LOG.N, LOG.N.gz, "
                             "LOG-YYYYMMDD[.gz]), oldest first; --json lists them as 'pieces'")
    parser.add_argument("--max-line-bytes", metavar="N", type=_max_line_bytes,
                        help="a longer line is malformed and passed over unread (default: 64 MiB)")
    parser.add_argument("--continues", action="store_true",
                        help="the pieces follow older ones not given (a daily check of yesterday's piece): each "
                             "chain's first record in them may extend a root from before them (a starts-mid-chain "
                             "warning); any later break stays a problem")
    notary = parser.add_argument_group("the notary's checkpoints and proofs")
    notary.add_argument("--checkpoints", metavar="FILE",
                        help="the notary's checkpoint file: every byte of every sealed line is checked against the "
                             "signed roots, and a cut-off end is found without an anchor (needs --notary-key or "
                             "--policy)")
    notary.add_argument("--notary-key", metavar="VKEY", help="the notary's published verifier key")
    notary.add_argument("--require-sealed", action="store_true",
                        help="lines after the last checkpoint are a problem, not a warning")
    notary.add_argument("--policy", metavar="FILE", action=_Once,
                        help="the auditor's witness policy (log, witness, group and quorum lines): its log line is "
                             "the notary's key, and each checkpoint's cosignatures are checked against its "
                             "witnesses and quorum; with --notary-key too, that key must be one of its log lines")
    notary.add_argument("--require-witnessed", action="store_true",
                        help="lines after the last checkpoint that meets the policy's quorum are a problem, not a "
                             "warning (needs --policy)")
    notary.add_argument("--proof", metavar="FILE",
                        help="check one record's proof file (written by oxa-notary prove) instead of a log: its "
                             "inclusion in the signed tree, with --public-key its own hash and signature, and with "
                             "--policy its checkpoint's witness quorum (needs --notary-key or --policy; no LOG)")
    fleet = parser.add_argument_group("a fleet of logs (needs the fleet extra: pip install 'tvel_oxa[fleet]')")
    fleet.add_argument("--fleet", metavar="MANIFEST",
                       help="verify every log a manifest names (JSON lines: 'log', a path or an fsspec URL, and "
                            "verify_log's options by name) and print one fleet report (no LOG)")
    fleet.add_argument("--dask", metavar="ADDRESS",
                       help="run the fleet's tasks on the Dask cluster at ADDRESS, or on a new local cluster of N "
                            "worker processes with local:N (default: this machine's cores)")
    parser.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
    return parser


def _run(parser, options, args):
    if options.fleet is not None or options.dask is not None:
        from .fleet import run_command
        return run_command(parser, options)
    if options.proof is not None:
        if options.logs:
            parser.error("--proof checks one record: give no LOG")
        for given, name in ((options.checkpoints, "--checkpoints"), (options.require_sealed, "--require-sealed"),
                            (options.anchor, "--anchor"), (options.rotated, "--rotated"),
                            (options.continues, "--continues"), (options.require_witnessed, "--require-witnessed")):
            if given:
                parser.error(f"--proof goes without {name}")
        if options.notary_key is None and options.policy is None:
            parser.error("--proof needs --notary-key VKEY or --policy FILE")
        if options.html is not None:
            parser.error("--html writes the report of a log; a --proof check has none")
        arguments = _proof_arguments(options.proof, options.public_key, options.notary_key, options.policy)
        return _native.run_proof(*arguments, options.json)
    if not options.logs:
        parser.error("no LOG given")
    try:
        arguments = _log_arguments(options.logs, options.public_key, options.anchor, options.jobs, options.checkpoints,
                                  options.notary_key, options.require_sealed, options.rotated, options.continues,
                                  options.max_line_bytes, options.policy, options.require_witnessed)
    except (TypeError, ValueError) as error:
        parser.error(str(error))
    except OSError as error:
        print(f"oxa-verify: {error}", file=sys.stderr)
        return 2
    if options.html is not None:
        return run_with_html(arguments, options.json, options.html, args)
    return _native.run_verify(*arguments, options.json)


def html_path_problem(html_path, pieces, checkpoints, policy=None):
    """Why ``html_path`` must not be written, or None: it names one of the check's own input files."""
    if not os.path.exists(html_path):
        return None
    inputs = list(pieces) + [piece + ".key" for piece in pieces]
    inputs += [name for name in (checkpoints, policy) if name]
    for name in inputs:
        try:
            if name != "-" and os.path.samefile(html_path, name):
                return f"--html {html_path} is the input file {name}: it would be overwritten"
        except OSError:
            continue
    return None


def run_with_html(arguments, as_json, html_path, args):
    """Runs the check as usual and writes the HTML report of its outcome to ``html_path``."""
    from . import html_report

    missing = html_report.missing_report_packages()
    if missing:
        sys.stderr.write(f"oxa-verify: {html_report.MissingReportPackage(missing)}\n")
        return 2
    problem = html_path_problem(html_path, arguments[0], arguments[4], arguments[9])
    if problem:
        sys.stderr.write(f"oxa-verify: {problem}\n")
        return 2
    status, report_text = _native.run_verify_with_report(*arguments, as_json)
    if report_text is None:
        return status  # a usage error or unreadable input: the command has said why
    try:
        html_report.write_html_report(json.loads(report_text), html_path, args)
    except OSError as error:
        sys.stderr.write(f"oxa-verify: cannot write the HTML report {html_path}: {error.strerror or error}\n")
        return 2
    return status


def main(argv=None):
    """Run oxa-verify with ``argv`` (default: the process's arguments); returns the exit status."""
    args = command_arguments(argv)
    parser = build_parser()
    try:
        options = parser.parse_args(args)
    except SystemExit as exit:  # --help, --version and usage errors
        return exit.code if isinstance(exit.code, int) else 2
    # The verification runs in native code, where a KeyboardInterrupt would
    # wait for its end: while it runs, Ctrl-C ends the process at once.
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.signal(signal.SIGINT, signal.SIG_DFL)
    try:
        try:
            return _run(parser, options, args)
        except SystemExit as exit:
            return exit.code if isinstance(exit.code, int) else 2
        finally:
            sys.stdout.flush()
            sys.stderr.flush()
    finally:
        if previous is not None:
            signal.signal(signal.SIGINT, previous)


if __name__ == "__main__":
    sys.exit(main())
