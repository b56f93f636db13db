"""Approvals from agent code: gate server clients (blocking and asyncio) and tools that
wait for a person.

    from latchwork_approvals import Client, requires_approval, run_scope

    client = Client("127.0.0.1:8796")

    @requires_approval(client, key="email:{to}")
    def send_email(to: str, body: str) -> None: ...

    with run_scope("run-7"):
        send_email("ann@example.com", "Your refund")  # waits; runs once approved

The ``latchwork`` extension module stays as it is; this package speaks the same line
protocol, with the waiting submits, details and hello that agent code needs.
"""

from .async_client import AsyncClient
from .effects import current_run_id, run_scope
from .errors import (ApprovalPending, ApprovalTimeout, BadReply, GateError, GateUnavailable,
                     NotPerformed, OutcomeUnknown, Refused, ReplyTimeout, ServerError,
                     not_performed_text)
from .gating import approval, async_approval, requires_approval
from .outcome import Outcome
from .sync_client import Client

__all__ = [
    "Client", "AsyncClient", "Outcome",
    "requires_approval", "approval", "async_approval", "run_scope", "current_run_id",
    "GateError", "ServerError", "GateUnavailable", "OutcomeUnknown", "ReplyTimeout",
    "BadReply", "Refused", "ApprovalTimeout", "ApprovalPending",
    "NotPerformed", "not_performed_text",
]
