"""Captures a few decisions of a small stand-in model into a local audit log.

Usage: python examples/demo.py [LOG_PATH]
The log defaults to build/demo/audit.wal in the repository; its signing key
lies beside it as audit.wal.key. With the `report` extra installed, it then
writes the auditor's HTML report of the log, and of a damaged copy of it,
beside the log.
"""
import importlib.util
import json
import sys
from pathlib import Path
from typing import Dict, List, Tuple, Union

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

import oxa_verify
import tvel_oxa

DEFAULT_LOG = Path(__file__).resolve().parent.parent / "build" / "demo" / "audit.wal"

URGENT_WORDS = {"outage": 3, "down": 2, "breach": 3, "refund": 1, "slow": 1}


def triage_model(ticket: str) -> Tuple[str, List[str], Dict[str, Union[int, str]]]:
    """A stand-in model: scores a support ticket by keywords and picks a queue."""
    words = ticket.lower().split()
    hits = {word: URGENT_WORDS[word] for word in words if word in URGENT_WORDS}
    score = sum(hits.values())
    label = "urgent" if score >= 3 else "normal" if score else "low"
    trace = [f"matched {word} (+{weight})" for word, weight in hits.items()] or ["no urgent keywords"]
    return label, trace, {"score": score, "model": "keyword-triage", "version": "1.2"}


def main() -> None:
    log_path = Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT_LOG
    log_path.parent.mkdir(parents=True, exist_ok=True)

    where = tvel_oxa.PPPTriplet("keyword-triage@1.2", "eu-west-1", "support-ticket-triage")
    print(f"PPPTriplet: provenance={where.provenance!r} place={where.place!r} purpose={where.purpose!r}")

    engine = tvel_oxa.OXAEngine(str(log_path))
    print(f"log: {log_path}")
    print(f"public key: {engine.public_key_hex()}")
    print()

    tickets = [
        "Checkout is down for all users since 09:00, full outage",
        "Please send a refund for order 1182",
        "The dashboard feels slow today",
        "Possible data breach reported by a customer",
        "How do I change my avatar?",
    ]
    records = []
    for number, ticket in enumerate(tickets, start=1):
        label, trace, ctx = triage_model(ticket)
        review = tvel_oxa.HumanDeltaChain(f"ticket-{number}", label != "urgent", "support-lead")
        if number == 1:
            print(f"HumanDeltaChain: chain_id={review.chain_id!r} agent_decision_ref={review.agent_decision_ref!r} "
                  f"resolved={review.resolved} terminal_node={review.terminal_node!r}")
            print()
        record = engine.capture(ctx, ticket, trace, label, where, review)
        records.append(record)
        print(f"{record.id}  {label:<6}  hash={record.hash[:16]}...  coherence={record.coherence_score:.4f}  "
              f"reputation={record.reputation_scalar:.4f}  insight={'yes' if record.core_insight_json else 'no'}")

    # Anyone holding the public key can check a record: the signed message is
    # the 32 bytes that the record's hash spells in hex.
    record = records[0]
    verifier = Ed25519PublicKey.from_public_bytes(bytes.fromhex(engine.public_key_hex()))
    verifier.verify(bytes(record.signature), bytes.fromhex(record.hash))
    print(f"\nsignature of {record.id} verifies under the public key")
    try:
        verifier.verify(bytes(record.signature), bytes.fromhex(records[1].hash))
    except InvalidSignature:
        print(f"...and does not verify for the hash of {records[1].id}")
    print(f"chain root after {len(records)} records: {records[-1].merkle_root}")
    print(f"{len(records)} lines appended to {log_path}")
    write_reports(log_path, engine.public_key_hex())


def damaged_copy(log_path: Path) -> Path:
    """A copy of the log with one prompt changed after sealing and one record deleted."""
    lines = log_path.read_bytes().splitlines(keepends=True)
    record = json.loads(lines[1])
    record["prompt"] = "Please send a refund for order 9999"
    lines[1] = (json.dumps(record, separators=(",", ":"), ensure_ascii=False) + "\n").encode()
    del lines[3]
    damaged = log_path.with_name("damaged.wal")
    damaged.write_bytes(b"".join(lines))
    return damaged


def write_reports(log_path: Path, public_key: str) -> None:
    """The auditor's HTML reports of the log and of a damaged copy (needs tvel_oxa[report])."""
    missing = [name for name in ("jinja2", "matplotlib") if importlib.util.find_spec(name) is None]
    if missing:
        print(f"\nno HTML report: install {', '.join(missing)} (pip install 'tvel_oxa[report]')")
        return
    print()
    for path in (log_path, damaged_copy(log_path)):
        argv = ["--public-key", public_key, str(path)]
        report = oxa_verify.verify_log(path, public_key=public_key)
        html_path = path.with_name(path.name + ".report.html")
        oxa_verify.write_html_report(report, html_path, argv)
        verdict = "OK" if report["ok"] else f"FAILED, {len(report['problems'])} problems"
        print(f"HTML report of {path.name} ({verdict}): {html_path}")


if __name__ == "__main__":
    main()
