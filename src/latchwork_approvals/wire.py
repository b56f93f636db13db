"""The line protocol shared by both clients: request lines out, replies in.

A request is one compact JSON object with its members sorted, on one line; a reply is
one JSON object line with a string "verdict" ("error" with a "message" for failures).
"""

from __future__ import annotations

import json
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Union

import latchwork

from .errors import BadReply, ServerError
from .outcome import Outcome

__all__ = ["Detail", "Secret", "Request", "split_address", "submit_request", "decide_request",
           "complete_request", "run_request", "plain_request", "hello_request", "read_reply", "outcome_of", "value_of",
           "canonical_json"]

# A detail is any JSON object; what JSON can hold is checked when it is encoded.
Detail = Mapping[str, Any]
Secret = Union[bytes, bytearray]

def canonical_json(value: object) -> str:
    """JSON with members sorted and no white space, as the server keeps a detail."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False,
                      allow_nan=False)


@dataclass(frozen=True)
class Request:
    """One request line and what an outcome-unknown error would name."""

    op: str
    line: bytes
    run_id: str | None = None
    effect_key: str | None = None
    wait_seconds: float = 0.0  # how long the server may hold the reply back


def _request(members: dict[str, object], wait_seconds: float = 0.0) -> Request:
    run_id = members.get("run_id")
    effect_key = members.get("effect_key")
    return Request(str(members["op"]), canonical_json(members).encode() + b"\n",
                   run_id if isinstance(run_id, str) else None,
                   effect_key if isinstance(effect_key, str) else None, wait_seconds)


def split_address(address: str) -> tuple[str, int]:
    """"host:port" (or "[v6]:port") as a host and a port number."""
    host, sep, port = address.rpartition(":")
    if not sep or not port.isdigit() or not host:
        raise ValueError(f"address must be HOST:PORT, not {address!r}")
    return host.strip("[]"), int(port)


def submit_request(run_id: str, effect_key: str, needs_approval: bool, detail: Detail | None,
                   wait: float | None, attempt: str | None = None,
                   editable: Sequence[str] | None = None) -> Request:
    """A submit; with ``wait`` (seconds) a held answer waits on the server that long.
    ``attempt`` names the call that submits, the same across its own retries;
    ``editable`` the members of the detail (JSON Pointers) a person may change."""
    members: dict[str, object] = {"op": "submit", "run_id": run_id, "effect_key": effect_key,
                                  "needs_approval": needs_approval}
    if attempt is not None:
        members["attempt"] = attempt
    if editable:
        members["editable"] = list(editable)
    if detail is not None:
        members["detail"] = dict(detail)
    if wait is None:
        return _request(members)
    if wait < 0:
        raise ValueError("wait must not be negative")
    wait_ms = int(wait * 1000)
    members["wait_ms"] = wait_ms
    return _request(members, wait_ms / 1000)


def decide_request(run_id: str, effect_key: str, approved: bool, secret: Secret | None) -> Request:
    members: dict[str, object] = {"op": "decide", "run_id": run_id, "effect_key": effect_key,
                                  "approved": approved}
    if secret is not None:
        members["mac"] = latchwork.decision_tag(secret, run_id, effect_key, approved)
    return _request(members)


def complete_request(run_id: str, effect_key: str, attempt: str, result: object) -> Request:
    """Records what performing a released effect produced; ``result`` must be JSON."""
    return _request({"op": "complete", "run_id": run_id, "effect_key": effect_key,
                     "attempt": attempt, "result": result})


def run_request(op: str, run_id: str) -> Request:
    return _request({"op": op, "run_id": run_id})


def plain_request(op: str) -> Request:
    return _request({"op": op})


def hello_request(client: str, token: str) -> Request:
    return _request({"op": "hello", "client": client, "token": token})


def read_reply(request: Request, line: bytes) -> dict[str, Any]:
    """The reply as an object. An error reply raises ServerError; a line that is no reply
    raises BadReply (the request was still taken in, so its outcome is unknown)."""
    try:
        reply = json.loads(line)
    except ValueError as why:
        raise BadReply(request.op, request.run_id, request.effect_key,
                       f"bad reply {line!r}: {why}") from None
    if not isinstance(reply, dict) or not isinstance(reply.get("verdict"), str):
        raise BadReply(request.op, request.run_id, request.effect_key,
                       f"reply without a verdict: {line!r}")
    if reply["verdict"] == "error":
        message = reply.get("message")
        raise ServerError(message if isinstance(message, str) else "?")
    return reply


def _text(reply: Mapping[str, Any], name: str) -> str | None:
    value = reply.get(name)
    return value if isinstance(value, str) else None


def _millis(reply: Mapping[str, Any], name: str) -> int | None:
    value = reply.get(name)
    return value if isinstance(value, int) and not isinstance(value, bool) else None


def outcome_of(reply: Mapping[str, Any]) -> Outcome:
    detail = reply.get("detail")
    completed_at = _millis(reply, "completed_at")
    return Outcome(reply["verdict"], _text(reply, "decided_by"), _text(reply, "reason"),
                   reply.get("expired") is True, again=reply.get("again") is True,
                   link=_text(reply, "link"), released_at=_millis(reply, "released_at"),
                   detail=detail if isinstance(detail, dict) else None,
                   result=reply.get("result") if completed_at is not None else None,
                   completed_at=completed_at)


def value_of(request: Request, reply: Mapping[str, Any]) -> Any:
    """The "value" member of a read (is_cancelled, pending_count, ...)."""
    if "value" not in reply:
        raise BadReply(request.op, request.run_id, request.effect_key,
                       f"reply without a value: {dict(reply)!r}")
    return reply["value"]
