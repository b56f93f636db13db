"""Agent tools that wait for a person, with latchwork_approvals.

    python examples/approval_tools.py

A gate is started here with its console; a stand-in for the person approves or rejects
through the console's API a moment after each tool asks. The tools:

  * send_email (blocking): its effect is "email:" + the address, its detail the
    arguments. It runs once approved; the agent retrying it is refused, never sends twice;
  * refund (asyncio): three refunds wait at once on one event loop; the person approves
    two and rejects one, which raises Refused with who decided and why.
"""

from __future__ import annotations

import asyncio
import uuid

from local_gate import LocalGate

from latchwork_approvals import AsyncClient, Client, Refused, requires_approval, run_scope


def blocking_tool(gate: LocalGate) -> None:
    client = Client(gate.address)

    @requires_approval(client, key="email:{to}", timeout=60)
    def send_email(to: str, subject: str) -> str:
        print(f"tool: sent {subject!r} to {to}")
        return "sent"

    with run_scope(f"run-{uuid.uuid4().hex[:12]}") as run_id:
        gate.decide_later(run_id, "email:ann@example.com", approved=True)
        answer = send_email("ann@example.com", subject="Your refund")
        print(f"agent: {answer}")
        try:
            send_email("ann@example.com", subject="Your refund")  # the agent retries
        except Refused as refused:
            print(f"agent: retry refused, {refused.kind}")
    client.close()


async def asyncio_tools(gate: LocalGate) -> None:
    async with AsyncClient(gate.address) as client:

        @requires_approval(client, key="refund:{order}", timeout=60)
        async def refund(order: int, amount: int) -> str:
            return f"refunded {amount} on order {order}"

        async def agent(order: int, amount: int) -> str:
            try:
                return await refund(order, amount)
            except Refused as refused:
                return f"refund {order} not made: {refused.kind} by {refused.decided_by} ({refused.reason})"

        with run_scope(f"run-{uuid.uuid4().hex[:12]}") as run_id:
            gate.decide_later(run_id, "refund:1", approved=True, after=0.3)
            gate.decide_later(run_id, "refund:2", approved=False, reason="too much", after=0.5)
            gate.decide_later(run_id, "refund:3", approved=True, after=0.7)
            for line in await asyncio.gather(agent(1, 20), agent(2, 9000), agent(3, 35)):
                print(f"agent: {line}")


if __name__ == "__main__":
    with LocalGate() as local:
        blocking_tool(local)
        asyncio.run(asyncio_tools(local))
