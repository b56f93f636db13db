"""A LangChain tool gated by latchwork_approvals, invoked as an agent graph invokes it (no
model, no network) against a real latchwork-gate and a person at its console."""

from __future__ import annotations

import asyncio
import sys

import pytest

from approvals_support import Person, start_gate
from latchwork_approvals import AsyncClient, Client, Refused

# The test extra installs langchain-core wherever it can be installed: only an
# interpreter it does not support may go without it.
if sys.version_info[:2] <= (3, 13):
    import langchain_core.tools as langchain_tools
else:
    langchain_tools = pytest.importorskip("langchain_core.tools")

from latchwork_approvals.langchain_tools import gate_tool  # noqa: E402


@pytest.fixture
def gate(gate_process, tmp_path):
    return start_gate(gate_process, tmp_path)


def email_tools():
    sent = []

    @langchain_tools.tool
    def send_email(to: str, subject: str) -> str:
        """Send an e-mail to a customer."""
        sent.append(to)
        return f"sent to {to}"

    @langchain_tools.tool
    async def send_email_async(to: str, subject: str) -> str:
        """Send an e-mail to a customer."""
        sent.append(to)
        return f"sent to {to}"

    return send_email, send_email_async, sent


def refusal_text(refused: Refused) -> str:
    return f"not sent: {refused.kind} by {refused.decided_by} ({refused.reason})"


@pytest.mark.parametrize("flavour", ["invoke", "ainvoke", "ainvoke of a blocking tool"])
def test_a_gated_tool_runs_once_approved_and_answers_a_rejection(gate, flavour):
    process, console = gate
    send_email, send_email_async, sent = email_tools()
    options = dict(run_id="run-l", key="email:{to}", timeout=30, on_refused=refusal_text)
    Person(console, "run-l", "email:ann")
    Person(console, "run-l", "email:bob", approved=False, reason="wrong customer")
    calls = [{"to": "ann", "subject": "refund"}, {"to": "bob", "subject": "refund"},
             {"to": "ann", "subject": "refund"}]
    if flavour == "invoke":
        gated = gate_tool(send_email, Client(process.address), **options)
        answers = [gated.invoke(call) for call in calls]
    else:
        async def main():
            async with AsyncClient(process.address) as client:
                tool = send_email_async if flavour == "ainvoke" else send_email
                gated = gate_tool(tool, client, **options)
                return [await gated.ainvoke(call) for call in calls]
        answers = asyncio.run(main())
    # The repeated call answers what the first one returned, recorded on the gate.
    assert answers == ["sent to ann", "not sent: refused_rejected by ada (wrong customer)",
                       "sent to ann"]
    assert sent == ["ann"]


def test_the_gated_tool_shows_the_model_the_same_tool():
    send_email, _, _ = email_tools()
    gated = gate_tool(send_email, Client("127.0.0.1:1"), key="email:{to}")
    assert (gated.name, gated.description, gated.args) == \
        (send_email.name, send_email.description, send_email.args)


def test_by_default_a_tool_answers_plainly_why_it_did_nothing(gate):
    process, console = gate
    send_email, _, sent = email_tools()
    Person(console, "run-t", "email:ann")
    answers = [gate_tool(send_email, Client(process.address), run_id="run-t", key="email:{to}",
                         timeout=timeout).invoke({"to": to, "subject": "refund"})
               for to, timeout in [("ann", 30), ("ann", 30), ("bob", 0)]]
    assert answers == [
        "sent to ann", "sent to ann",
        "Not done: email:bob was still waiting for a person's approval after 0 s. It stays "
        "waiting; calling again with the same arguments waits on for the same decision."]
    assert sent == ["ann"]


@pytest.mark.parametrize("reply, answer", [  # what a gate may add to its replies
    ('{"decided_by":"ada","released_at":1796997723000,"verdict":"refused_duplicate"}',
     "Already done: email:ann was already performed at 2026-12-11 14:02:03 UTC (approved by "
     "ada); no result was recorded. It was not performed again."),
    ('{"link":"http://gate/p/7","verdict":"held_for_approval"}',
     "Not done yet: email:ann waits for a person's approval at http://gate/p/7. Call again "
     "later with the same arguments to get the decision."),
])
def test_a_tool_answers_with_what_the_gate_said(gate_server, reply, answer):
    server = gate_server([reply.encode() + b"\n"])
    send_email, _, sent = email_tools()
    gated = gate_tool(send_email, Client(server.address), run_id="run-s", key="email:{to}",
                      wait=False)
    assert gated.invoke({"to": "ann", "subject": "refund"}) == answer and sent == []
