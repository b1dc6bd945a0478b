"""oxa-witness: a transparency-log witness, and the trust policies that ask for witnesses.

A witness remembers, for every log it follows, the last checkpoint it cosigned,
and cosigns a new checkpoint only with a consistency proof that it extends that
one. ``oxa-witness serve`` speaks the ``add-checkpoint`` protocol over HTTP;
the checks and the signatures are the native code of ``oxa_verify``.

``check_policy``, ``cosignatures`` and ``quorum_met`` read a trust policy
(``log``, ``witness``, ``group`` and ``quorum`` lines), check the witnesses'
cosignatures on a checkpoint and tell whether they meet its quorum.
"""

from oxa_verify import _native

__all__ = ["check_policy", "cosignatures", "quorum_met"]


def _policy_bytes(policy):
    return policy.encode() if isinstance(policy, str) else bytes(policy)


def check_policy(policy):
    """Raise ValueError, naming the line and the fault, when ``policy`` (str or bytes) is not a valid policy."""
    _native.policy_check(_policy_bytes(policy))


def quorum_met(policy, cosigned):
    """Whether the witnesses named in ``cosigned`` (their names in the policy) meet the policy's quorum."""
    return _native.policy_quorum(_policy_bytes(policy), [str(name) for name in cosigned])


def cosignatures(policy, note):
    """``(verified, bad)``: the policy's witnesses (by name) whose cosignatures on ``note`` verify, and those
    with a cosignature line (their name and key id) that does not. Lines of other keys are ignored."""
    note = note.encode() if isinstance(note, str) else bytes(note)
    verified, bad = _native.policy_cosignatures(_policy_bytes(policy), note)
    return verified, bad
