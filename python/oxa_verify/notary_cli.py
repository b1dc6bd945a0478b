"""The ``oxa-notary`` command: signed checkpoints of an audit log.

``keygen`` makes the notary's key and ``vkey`` prints the verifier key of one,
``seal`` appends one checkpoint, ``follow`` keeps sealing a live log until
SIGTERM or SIGINT, ``prove`` writes the evidence for one record, and
``consistency`` prints the proof that one tree size extends another, from the
tiles that ``seal`` and ``follow`` keep. The arguments are parsed here; the
work is done by the native code.
"""

import argparse
import base64
import json
import math
import os
import signal
import sys
import threading

from . import _native, witness_client

PROG = "oxa-notary"
DEFAULT_KEY = "notary.key"
DEFAULT_MAX_LINE_BYTES = 64 << 20
# Exit statuses: done; refused because the log contradicts what was signed
# before; a usage error or an input that cannot be used.
EXIT_OK, EXIT_REFUSED, EXIT_USAGE = 0, 1, 2


def _version():
    try:
        from importlib.metadata import version

        return version("tvel_oxa")
    except Exception:  # an uninstalled tree: the command still runs
        return "unknown"


def _positive_int(text):
    try:
        value = int(text, 10)
    except ValueError:
        value = 0
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive whole number, not {text!r}")
    return value


def _size(text):
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a whole number, not {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be a whole number, not {text!r}")
    return value


def _positive_seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, not {text!r}")
    return value


def _add_sealing_options(parser):
    parser.add_argument("--key", required=True, metavar="KEYFILE",
                        help="the notary's private key file (made by keygen); it must be a regular file of this "
                             "user's (or root's) that group and others cannot write")
    parser.add_argument("--origin", metavar="ORIGIN",
                        help="the log's name signed into every checkpoint; it is the key's NAME, so it may be left "
                             "out. Given, it must equal the key's NAME, else the command refuses (exit 2)")
    parser.add_argument("--out", metavar="FILE",
                        help="the checkpoint file appended to (default: the last LOG's name with '.checkpoints')")
    parser.add_argument("--recheck", action="store_true",
                        help="re-hash the whole log and check every earlier checkpoint against it before signing, "
                             "instead of continuing from the last checkpoint's frontier")
    tiles = parser.add_mutually_exclusive_group()
    tiles.add_argument("--tiles", metavar="DIR",
                       help="the directory of the tree's tiles and latest signed checkpoint, a static log any web "
                            "server can serve (default: the checkpoint file's name with '.tiles' for "
                            "'.checkpoints')")
    tiles.add_argument("--no-tiles", action="store_true", help="keep no tiles")
    parser.add_argument("--policy", metavar="FILE",
                        help="a trust policy (log, witness, group and quorum lines) whose log line is this notary's "
                             "verifier key: every witness with a URL is asked to cosign each new checkpoint, and "
                             "the cosignatures that verify are added to its note. The size each witness last "
                             "cosigned is kept beside the checkpoint file (LOG.witnesses). A witness that is down "
                             "or refuses is reported and never stops the sealing")
    parser.add_argument("--witness-timeout", type=_positive_seconds, default=witness_client.DEFAULT_TIMEOUT,
                        metavar="T", help="give up on a witness's request after this many seconds (default: 10)")
    parser.add_argument("logs", nargs="+", metavar="LOG",
                        help="the log's pieces, oldest first (rotated pieces, then the live file); plain files only")


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Signed checkpoints of a tvel_oxa audit log: a Merkle tree over its lines, signed as a C2SP "
                    "checkpoint, so that any later change, removal or reordering of a sealed line is found.",
        epilog="Exit status: 0 done, 1 refused (the log contradicts what was signed before), 2 usage error or "
               "an input that cannot be used.")
    parser.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    keygen = commands.add_parser(
        "keygen", help="write a new private key and print its verifier key",
        description="Writes a new notary private key (owner-only, never over an existing file or through a link) "
                    "and prints the verifier key to publish for oxa-verify --notary-key.")
    keygen.add_argument("--key", default=DEFAULT_KEY, metavar="FILE",
                        help=f"where the private key is written (default: {DEFAULT_KEY})")
    keygen.add_argument("name", metavar="NAME",
                        help="the key's name, which is also the origin its checkpoints sign (for example "
                             "example.com/audit): UTF-8, no spaces, no '+'")

    vkey = commands.add_parser(
        "vkey", help="print the verifier key of an existing private key",
        description="Prints the verifier key (NAME+ID+KEY) of an existing notary private key, to publish it again.")
    vkey.add_argument("--key", required=True, metavar="FILE", help="the notary's private key file")

    seal = commands.add_parser(
        "seal", help="append one checkpoint of the log",
        description="Appends one signed checkpoint of the log's complete lines to the checkpoint file, when the "
                    "log grew since the last one. It continues from the last checkpoint after checking that the "
                    "log still gives it; a log that contradicts it is refused (exit 1) and nothing is signed.")
    _add_sealing_options(seal)
    seal.add_argument("--max-line-bytes", metavar="N", type=_positive_int, default=DEFAULT_MAX_LINE_BYTES,
                      help="a longer line is hashed while it is read, never held whole (default: 64 MiB)")
    seal.add_argument("--json", action="store_true",
                      help="print the outcome as one JSON object on standard output")

    follow = commands.add_parser(
        "follow", help="keep sealing a live log until SIGTERM or SIGINT",
        description="Keeps sealing the live log (the last LOG) as it grows: after every N new lines or T seconds, "
                    "when it is rotated by rename (after the old file was read to its end) and at SIGTERM or "
                    "SIGINT, when it prints what it sealed. A log that does not exist yet is waited for. A log "
                    "truncated or rewritten in place is refused (exit 1) and nothing more is signed.")
    _add_sealing_options(follow)
    follow.add_argument("--every", type=_positive_int, default=64, metavar="N",
                        help="checkpoint after this many new lines (default: 64)")
    follow.add_argument("--seconds", type=_positive_seconds, default=5.0, metavar="T",
                        help="checkpoint new lines after this many seconds at most (default: 5)")
    follow.add_argument("--json", action="store_true",
                        help="print one JSON object per checkpoint on standard output as it is written, and the "
                             "outcome as a last one (without --json a status line per checkpoint goes to standard "
                             "error when it is a terminal)")

    prove = commands.add_parser(
        "prove", help="write the proof of one line",
        description="Writes the tlog-proof of one log line: the line itself, its inclusion path and the latest "
                    "checkpoint covering it, checkable offline with oxa-verify --proof.")
    prove.add_argument("--checkpoints", required=True, metavar="FILE", help="the log's checkpoint file")
    prove.add_argument("--out", metavar="FILE",
                       help="write the proof to FILE (a new file, or one of this user's rewritten in place; never "
                            "through a symbolic link) instead of standard output")
    prove.add_argument("--tiles", metavar="DIR",
                       help="the tiles the inclusion path is read from (default: beside the checkpoint file); "
                            "without usable tiles the path is computed from the log")
    prove.add_argument("logs", nargs="+", metavar="LOG", help="the log's pieces, oldest first")
    prove.add_argument("line", type=_positive_int, metavar="LINE", help="the line to prove, counted from 1")

    consistency = commands.add_parser(
        "consistency", help="print the consistency proof between two tree sizes",
        description="Prints the RFC 6962 consistency proof that the tree of NEW lines extends the tree of OLD "
                    "lines, one base64 hash a line, read from the tiles. Both sizes may be any up to the size of "
                    "the directory's published checkpoint.")
    consistency.add_argument("--tiles", required=True, metavar="DIR", help="the tile directory (LOG.tiles)")
    consistency.add_argument("old", type=_size, metavar="OLD", help="the smaller tree size")
    consistency.add_argument("new", type=_size, metavar="NEW", help="the larger tree size")
    return parser


class _UsageError(Exception):
    pass


def _same_file(first, second):
    try:
        a, b = os.stat(first), os.stat(second)
    except (OSError, ValueError):
        return False
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def _check_inputs(logs, out, others=()):
    for log in logs:
        if log == "-":
            raise _UsageError("the notary reads log files, not standard input")
    # The notary only ever writes its output file: one that is also an input
    # (a log piece, the checkpoint file of a proof) would be damaged by it.
    for name in [*logs, *others]:
        if out is not None and _same_file(out, name):
            raise _UsageError(f"the output {out} is also an input ({name})")


def _print(text, stream):
    stream.write(text)
    stream.flush()


def _warn(message):
    _print(f"{PROG}: warning: {message}\n", sys.stderr)


def _outcome_text(outcome):
    if not outcome["ok"]:
        return f"refused: {outcome['message']}\n"
    return (f"{outcome['message']}\n"
            f"tree: {outcome['size']} lines, {outcome['bytes']} bytes, root {outcome['root']}\n"
            f"checkpoints: {outcome['checkpoint_file']} ({outcome['checkpoints_written']} written)\n")


def _report_outcome(text, as_json, witnesses=None):
    outcome = json.loads(text)
    if witnesses is not None:
        outcome["witnesses"] = witnesses
        text = json.dumps(outcome, ensure_ascii=False, separators=(",", ":"))
    if as_json:
        _print(text + "\n", sys.stdout)
    elif outcome["ok"] and witnesses:
        _print(_outcome_text(outcome) + f"witnesses: {_witness_text(witnesses)}\n", sys.stdout)
    else:
        _print(_outcome_text(outcome), sys.stdout if outcome["ok"] else sys.stderr)
    return EXIT_OK if outcome["ok"] else EXIT_REFUSED


def _witness_text(results):
    """One line on how the witnesses answered for a checkpoint."""
    cosigned = [result["name"] for result in results if result["ok"]]
    return f"cosigned by {len(cosigned)} of {len(results)} witnesses" + (f" ({', '.join(cosigned)})" if cosigned else "")


def _report_witness_failures(results, size):
    # Always on standard error: an operator must see a witness that stopped cosigning.
    for result in results:
        if not result["ok"]:
            _warn(f"witness {result['name']} ({result['url']}) did not cosign the checkpoint of size {size}: "
                  f"{result['reason']}")


# The signals that end a follow: SIGTERM through _stop, SIGINT through
# Python's own KeyboardInterrupt.
_STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}


def _checkpoint_reporter(as_json, client=None):
    """What follow does with each checkpoint it writes.

    A stop signal that interrupts a report makes the native loop call it again
    with the same checkpoint. So the report is made with the stop signals held
    back, and counted as made before they are let through: each checkpoint is
    reported once, however a stop falls."""
    reported = [None]

    def report(text):
        if text == reported[0]:
            return
        held = signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS)
        try:
            _report_checkpoint(text)
            reported[0] = text
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, held)

    def _report_checkpoint(text):
        try:
            event = json.loads(text)
            if client is not None:
                event["witnesses"] = client.results
                _report_witness_failures(client.results, event["size"])
            if as_json:
                event = {"event": "checkpoint", **event}
                _print(json.dumps(event, ensure_ascii=False, separators=(",", ":")) + "\n", sys.stdout)
            elif sys.stderr.isatty():
                witnessed = f", {_witness_text(client.results)}" if client is not None else ""
                _print(f"{PROG}: checkpoint {event['checkpoints_written']}: {event['size']} lines, "
                       f"{event['bytes']} bytes, root {event['root']}{witnessed}\n", sys.stderr)
        except OSError:
            pass  # a reader that went away does not stop the sealing
    return report


def _witness_client(args, checkpoint_path):
    """The client that asks the policy's witnesses, or None without --policy."""
    if args.policy is None:
        return None
    if args.no_tiles:
        raise _UsageError("--policy needs the tiles: witnesses check consistency proofs made from them")
    _, notary_vkey, _ = _native.notary_key_info(args.key)
    try:
        return witness_client.WitnessClient(args.policy, notary_vkey, notary_vkey.split("+", 1)[0],
                                            checkpoint_path, args.witness_timeout, _warn)
    except witness_client.PolicyError as error:
        raise _UsageError(str(error)) from None


def _run(args):
    if args.command == "keygen":
        _print(_native.notary_keygen(args.key, args.name) + "\n", sys.stdout)
        return EXIT_OK
    if args.command == "vkey":
        _, verifier_key, warning = _native.notary_key_info(args.key)
        if warning:
            _warn(warning)
        _print(verifier_key + "\n", sys.stdout)
        return EXIT_OK
    if args.command == "prove":
        _check_inputs(args.logs, args.out, [args.checkpoints])
        proof = _native.notary_prove(args.checkpoints, args.logs, args.line, args.out, args.tiles)
        if args.out is None:
            _print(proof, sys.stdout)
        return EXIT_OK
    if args.command == "consistency":
        if args.old > args.new:
            raise _UsageError(f"the old size {args.old} is larger than the new size {args.new}")
        try:
            data = _native.consistency_proof(args.tiles, args.old, args.new)
        except ValueError as error:
            raise _UsageError(str(error)) from None
        _print("".join(base64.b64encode(data[i:i + 32]).decode() + "\n" for i in range(0, len(data), 32)),
               sys.stdout)
        return EXIT_OK
    out = args.out if args.out is not None else args.logs[-1] + ".checkpoints"
    _check_inputs(args.logs, out)
    client = _witness_client(args, out)
    if args.command == "seal":
        text = _native.notary_seal(args.key, args.origin, args.out, args.logs, args.recheck, _warn,
                                   args.tiles, not args.no_tiles, min(args.max_line_bytes, 2**64 - 1), client)
        if client is not None:
            _report_witness_failures(client.results, json.loads(text)["size"])
        return _report_outcome(text, args.json, None if client is None else client.results)
    text = _native.notary_follow(args.key, args.origin, args.out, args.logs, args.recheck, args.every,
                                 args.seconds, _warn, _checkpoint_reporter(args.json, client),
                                 args.tiles, not args.no_tiles, client)
    return _report_outcome(text, args.json)


def _stop(signum, frame):
    # Raised inside the native signal check: it ends a follow after its last
    # checkpoint instead of killing the process between two writes.
    raise KeyboardInterrupt


def main(argv=None):
    """Run oxa-notary with ``argv`` (default: the process's arguments); returns the exit status."""
    if argv is not None:
        argv = [os.fsdecode(arg) if isinstance(arg, bytes) else arg for arg in argv]
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as done:  # --help, --version and usage errors (exit 2)
        return done.code if isinstance(done.code, int) else EXIT_USAGE
    sys.stdout.flush()
    sys.stderr.flush()
    # follow ends cleanly at SIGTERM or SIGINT after its last checkpoint; the
    # other commands write at most one line at their very end, so a stop
    # signal ends them at once wherever they are.
    handlers = {signal.SIGTERM: _stop} if args.command == "follow" else {
        signal.SIGTERM: signal.SIG_DFL, signal.SIGINT: signal.SIG_DFL}
    previous = {}
    if threading.current_thread() is threading.main_thread():
        previous = {signum: signal.signal(signum, handler) for signum, handler in handlers.items()}
    try:
        return _run(args)
    except _UsageError as error:
        _print(f"{PROG}: error: {error}\n", sys.stderr)
        return EXIT_USAGE
    except OSError as error:
        _print(f"{PROG}: error: {error}\n", sys.stderr)
        return EXIT_USAGE
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


if __name__ == "__main__":
    sys.exit(main())
