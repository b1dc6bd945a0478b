"""Trust policies: parsing the log, witness, group and quorum lines, and evaluating the quorum."""

import base64
import hashlib

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

from oxa_witness import check_policy, quorum_met


def vkey(name, type_byte):
    public = Ed25519PrivateKey.generate().public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)
    key_id = hashlib.sha256(name.encode() + b"\n" + bytes([type_byte]) + public).digest()[:4]
    return f"{name}+{key_id.hex()}+{base64.b64encode(bytes([type_byte]) + public).decode()}"


LOG = f"log {vkey('example.com/log', 0x01)} https://log.example.com/\n"
WITNESSES = "".join(f"witness {n} {vkey(f'{n.lower()}.example/w', 0x04)}\n" for n in "ABCDEF")


def policy(rules):
    return LOG + WITNESSES + rules


# The quorum rules, and the sets of cosigning witnesses that meet them or not.
QUORUM_CASES = [
    ("none", "quorum none\n", [([], True)]),
    ("single-witness", "quorum B\n", [(["B"], True), (["A", "C"], False)]),
    ("any", "group G any A B C\nquorum G\n", [(["C"], True), ([], False), (["D", "E"], False)]),
    ("all", "group G all A B C\nquorum G\n", [(["A", "B", "C"], True), (["A", "B", "D"], False)]),
    ("two-of-three", "group G 2 A B C\nquorum G\n",
     [(["A", "C"], True), (["A", "B", "C"], True), (["B"], False), (["B", "D", "E"], False)]),
    ("threshold-equal-to-size", "group G 3 A B C\nquorum G\n", [(["A", "B", "C"], True), (["A", "B"], False)]),
    ("nested-groups",
     "group X 2 A B C\ngroup Y any D E F\ngroup XY all X Y\nquorum XY\n",
     [(["A", "B", "F"], True), (["A", "B", "C"], False), (["A", "D", "E"], False), (["B", "C", "D"], True)]),
    ("group-and-witness-mixed",
     "group X any A B\ngroup Q 2 X C D\nquorum Q\n",
     [(["A", "B"], False), (["A", "C"], True), (["C", "D"], True), (["B", "E"], False)]),
    ("three-levels",
     "group X any A B\ngroup Y any C D\ngroup XY 2 X Y E\ngroup Top all XY F\nquorum Top\n",
     [(["A", "C", "F"], True), (["A", "E", "F"], True), (["A", "B", "F"], False), (["A", "C"], False)]),
]


@pytest.mark.parametrize("rules, outcomes", [case[1:] for case in QUORUM_CASES],
                         ids=[case[0] for case in QUORUM_CASES])
def test_quorum(rules, outcomes):
    text = policy(rules)
    check_policy(text)
    for cosigned, expected in outcomes:
        assert quorum_met(text, cosigned) is expected, cosigned


def test_comments_blank_lines_tabs_and_urls_are_allowed():
    text = ("# an auditor's policy\n\n  \t\n" + LOG.replace(" ", "\t", 1)
            + f"witness W {vkey('w.example/w', 0x04)} https://w.example/\n"
            + "  group\tG  any W  \n# end\nquorum G")  # the last line without its line feed
    check_policy(text)
    assert quorum_met(text, ["W"]) and not quorum_met(text, [])


@pytest.mark.parametrize("rules, fault", [
    ("", "no quorum line"),
    ("quorum A\nquorum B\n", "second quorum"),
    ("quorum Z\n", "not defined"),
    ("quorum G\ngroup G any A\n", "not defined"),
    ("group G any A Z\nquorum G\n", "not defined"),
    ("group G any A A\nquorum G\n", "listed twice"),
    ("group G any none\nquorum G\n", "none"),
    ("group G 0 A B\nquorum G\n", "threshold"),
    ("group G 3 A B\nquorum G\n", "threshold"),
    ("group G 01 A B\nquorum G\n", "threshold"),
    ("group G any\nquorum G\n", "group line"),
    ("group A any B\nquorum A\n", "defined twice"),
    ("group none any A\nquorum none\n", "reserved"),
    ("frobnicate A\nquorum A\n", "unknown keyword"),
    ("quorum A extra\n", "quorum line"),
    ("quorum A\r\n", "control character"),
], ids=["no-quorum", "two-quorums", "undefined-quorum", "group-defined-later", "undefined-member",
        "member-twice", "none-as-member", "threshold-zero", "threshold-above-size", "threshold-leading-zero",
        "no-members", "name-reused", "none-defined", "unknown-keyword", "quorum-extra-item", "carriage-return"])
def test_invalid_rules_are_refused(rules, fault):
    with pytest.raises(ValueError, match=fault):
        check_policy(policy(rules))


@pytest.mark.parametrize("line, fault", [
    ("witness W {cosigner}\nwitness W2 {cosigner}\n", "listed twice"),
    ("witness W {note_key}\n", "0x04"),
    ("witness W\n", "witness line"),
    ("witness W {cosigner} url extra\n", "witness line"),
    ("log {cosigner}\n", "log key"),
    ("log {log}\nlog {log}\n", "listed twice"),
], ids=["duplicate-witness-key", "witness-with-note-key-type", "witness-without-key", "witness-extra-item",
        "log-with-cosignature-key", "duplicate-log"])
def test_invalid_keys_are_refused(line, fault):
    cosigner = vkey("c.example/w", 0x04)
    text = line.format(cosigner=cosigner, note_key=vkey("n.example/w", 0x01), log=vkey("l.example/log", 0x01))
    with pytest.raises(ValueError, match=fault):
        check_policy(text + "quorum none\n")


def test_a_vkey_whose_key_id_does_not_match_is_refused():
    name, key_id, data = vkey("w.example/w", 0x04).split("+", 2)
    wrong = f"{name}+{(int(key_id, 16) ^ 1):08x}+{data}"
    with pytest.raises(ValueError, match="key id"):
        check_policy(f"witness W {wrong}\nquorum W\n")


def test_naming_a_witness_the_policy_does_not_have_is_an_error():
    with pytest.raises(ValueError, match="not a witness"):
        quorum_met(policy("quorum A\n"), ["Z"])
