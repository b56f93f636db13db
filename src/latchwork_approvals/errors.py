"""The exceptions of the approvals package, one for each thing a caller acts on differently."""

from __future__ import annotations

import datetime
import json
from typing import Union

from .outcome import Outcome

__all__ = ["GateError", "ServerError", "GateUnavailable", "OutcomeUnknown", "ReplyTimeout",
           "BadReply", "Refused", "ApprovalTimeout", "ApprovalPending", "NotPerformed", "not_performed_text"]


class GateError(Exception):
    """Base of the errors raised when talking to a gate server."""


class ServerError(GateError):
    """The server answered {"verdict":"error"}; ``message`` is its text. Nothing changed."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class GateUnavailable(GateError, ConnectionError):
    """No connection could be made (or greeted) before the request was written: the
    request was never sent, so trying again later is safe."""


class OutcomeUnknown(GateError):
    """The request was written but its reply never came: the connection died or the time
    ran out. The server may or may not have acted on it, and nothing was resent.

    Submitting the same effect again is the way to find out: the gate answers
    "refused_duplicate" for an effect it already released, so a submit can never be
    performed twice. ``op``, ``run_id`` and ``effect_key`` say which request it was.
    """

    def __init__(self, op: str, run_id: str | None, effect_key: str | None, why: str) -> None:
        where = "".join(f" {name}={value!r}" for name, value in
                        (("run_id", run_id), ("effect_key", effect_key)) if value is not None)
        super().__init__(f"outcome of {op}{where} unknown: {why}")
        self.op = op
        self.run_id = run_id
        self.effect_key = effect_key


class ReplyTimeout(OutcomeUnknown, TimeoutError):
    """The reply did not come within the call's time; the connection was closed."""


class BadReply(OutcomeUnknown):
    """The reply was not a JSON object with a string "verdict"; the connection was closed."""


class Refused(GateError):
    """The gate refused an effect that a decorated call or an approval block asked for,
    so the effect was not performed. ``kind`` is the verdict ("refused_rejected",
    "refused_duplicate", "refused_cancelled"); ``decided_by``, ``reason`` and ``expired``
    are the server's when it sent them. A duplicate also says when its effect was
    released (``released_at``, Unix ms) and what performing it returned (``result``, None
    when no result was recorded), when the server knows."""

    def __init__(self, outcome: Outcome, run_id: str, effect_key: str) -> None:
        text = f"{effect_key!r} of run {run_id!r}: {outcome.kind}"
        if outcome.decided_by is not None:
            text += f" by {outcome.decided_by}"
        if outcome.reason:
            text += f" ({outcome.reason})"
        super().__init__(text)
        self.outcome = outcome
        self.kind = outcome.kind
        self.decided_by = outcome.decided_by
        self.reason = outcome.reason
        self.expired = outcome.expired
        self.released_at = outcome.released_at
        self.result = outcome.result
        self.run_id = run_id
        self.effect_key = effect_key


class ApprovalTimeout(GateError, TimeoutError):
    """No decision came within the call's overall timeout. The effect is still held on the
    server: a later call of the same effect goes on waiting for the same decision."""

    def __init__(self, run_id: str, effect_key: str, timeout: float) -> None:
        super().__init__(f"{effect_key!r} of run {run_id!r} still held after {timeout:g} s")
        self.run_id = run_id
        self.effect_key = effect_key
        self.timeout = timeout


class ApprovalPending(GateError):
    """A call made with ``wait=False`` found its effect held: the effect now waits for a
    person, and nothing was performed. Calling again later with the same arguments, from
    this process or another, finds the decision. ``link`` is where a person decides it,
    when the server names one."""

    def __init__(self, run_id: str, effect_key: str, link: str | None = None) -> None:
        text = f"{effect_key!r} of run {run_id!r} is held for approval"
        super().__init__(text + (f": {link}" if link else ""))
        self.run_id = run_id
        self.effect_key = effect_key
        self.link = link


# Why a gated call did not perform its effect: what a tool turns into its answer.
NotPerformed = Union[Refused, ApprovalTimeout, ApprovalPending]
NOT_PERFORMED = (Refused, ApprovalTimeout, ApprovalPending)  # the same, for except


def not_performed_text(error: NotPerformed) -> str:
    """A plain sentence for a model (or a person) on why the effect was not performed and
    whether calling again can help; the answer of a gated tool by default."""
    if isinstance(error, ApprovalPending):
        where = f" at {error.link}" if error.link else ""
        return (f"Not done yet: {error.effect_key} waits for a person's approval{where}. "
                "Call again later with the same arguments to get the decision.")
    if isinstance(error, ApprovalTimeout):
        return (f"Not done: {error.effect_key} was still waiting for a person's approval "
                f"after {error.timeout:g} s. It stays waiting; calling again with the same "
                "arguments waits on for the same decision.")
    if error.kind == "refused_duplicate":
        return _duplicate_text(error)
    if error.kind == "refused_rejected":
        if error.expired:
            return f"Not done: {error.effect_key} was not approved in time (its hold expired)."
        by = f" by {error.decided_by}" if error.decided_by else ""
        why = f": {error.reason}" if error.reason else ""
        return f"Not done: {error.effect_key} was rejected{by}{why}."
    if error.kind == "refused_cancelled":
        return f"Not done: run {error.run_id} was cancelled, so {error.effect_key} was not performed."
    why = f": {error.reason}" if error.reason else ""
    return f"Not done: the gate refused {error.effect_key} ({error.kind}){why}."


def _duplicate_text(error: Refused) -> str:
    outcome = error.outcome
    if outcome.released_at is None:  # a gate that says no more
        return (f"Already done: {error.effect_key} was performed earlier in this run, "
                "so it was not performed again.")
    when = datetime.datetime.fromtimestamp(outcome.released_at / 1000, datetime.timezone.utc)
    by = f" (approved by {error.decided_by})" if error.decided_by else ""
    said = f"Already done: {error.effect_key} was already performed at " \
           f"{when:%Y-%m-%d %H:%M:%S} UTC{by}"
    if outcome.completed:
        return f"{said}; it returned {_result_text(outcome.result)}. It was not performed again."
    return f"{said}; no result was recorded. It was not performed again."


def _result_text(value: object) -> str:
    """A recorded result as a model reads it: a string as it is, anything else as JSON."""
    if isinstance(value, str):
        return value
    return json.dumps(value, ensure_ascii=False, sort_keys=True)
