"""The ``oxa-witness`` command.

``keygen`` makes the witness's key and prints its verifier key, ``vkey``
prints it again, and ``serve`` runs the witness until SIGTERM or SIGINT.
"""

import argparse
import signal
import sqlite3
import sys
import threading

from oxa_verify import _native

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
DEFAULT_IDLE_TIMEOUT = 10.0
# How long a stopping witness waits for the requests it is answering.
STOP_GRACE_SECONDS = 10.0


def _parser():
    parser = argparse.ArgumentParser(prog="oxa-witness", description="A transparency-log witness.")
    commands = parser.add_subparsers(dest="command", required=True)
    keygen = commands.add_parser("keygen", help="write a new witness key and print its verifier key")
    keygen.add_argument("--key", required=True, metavar="FILE", help="the private key file to create (0600)")
    keygen.add_argument("name", metavar="NAME", help="the witness's key name, e.g. witness.example.com/w1")
    vkey = commands.add_parser("vkey", help="print the verifier key of a witness key")
    vkey.add_argument("--key", required=True, metavar="FILE")
    serve = commands.add_parser("serve", help="answer add-checkpoint requests")
    serve.add_argument("--key", required=True, metavar="FILE")
    serve.add_argument("--policy", required=True, metavar="FILE", help="a policy whose log lines name the logs to witness")
    serve.add_argument("--db", required=True, metavar="FILE", help="the SQLite database of cosigned checkpoints")
    serve.add_argument("--listen", required=True, metavar="HOST:PORT", help="address to listen on (port 0: any free port)")
    serve.add_argument("--idle-timeout", type=float, default=DEFAULT_IDLE_TIMEOUT, metavar="SECONDS",
                       help="close a connection silent this long (default: %(default)s)")
    return parser


def _listen_address(text):
    host, colon, port = text.rpartition(":")
    if not colon or not host or not port.isdigit() or int(port) > 65535:
        raise ValueError(f"--listen {text!r}: expected HOST:PORT")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    return host, int(port)


def _url_host(host):
    return f"[{host}]" if ":" in host else host


def _serve(args):
    from .server import WitnessServer
    from .state import WitnessState

    address = _listen_address(args.listen)
    with open(args.policy, "rb") as policy_file:
        policy = policy_file.read()
    witness, _vkey, _origins = _native.witness_new(args.key, policy)
    state = WitnessState(args.db)
    try:
        server = WitnessServer(address, witness, state, args.idle_timeout)
    except BaseException:
        state.close()
        raise
    stop = threading.Event()

    def request_stop(signum, frame):
        stop.set()

    previous = {sig: signal.signal(sig, request_stop) for sig in (signal.SIGTERM, signal.SIGINT)}
    try:
        print(f"listening on http://{_url_host(address[0])}:{server.server_address[1]}", flush=True)
        worker = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
        worker.start()
        # A timed wait, so that the signal handlers run promptly on every version.
        while not stop.wait(0.5):
            pass
        server.stopping = True
        server.shutdown()
        server.wait_idle(STOP_GRACE_SECONDS)
        server.server_close()
        state.close()
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
    return EXIT_OK


def main(argv=None):
    """Run oxa-witness with ``argv`` (default: the process's arguments); returns the exit status."""
    args = _parser().parse_args(argv)
    try:
        if args.command == "keygen":
            print(_native.witness_keygen(args.key, args.name))
        elif args.command == "vkey":
            print(_native.witness_vkey(args.key))
        else:
            return _serve(args)
    except (OSError, ValueError, sqlite3.Error) as error:
        print(f"oxa-witness: {error}", file=sys.stderr)
        return EXIT_FAILURE
    return EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
