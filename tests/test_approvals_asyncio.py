"""latchwork_approvals from asyncio against a real latchwork-gate: many waiting calls on
one event loop, and waits given up without putting a connection out of step."""

from __future__ import annotations

import asyncio

import pytest

from approvals_support import start_gate
from latchwork_approvals import AsyncClient, Refused, requires_approval

WAITERS = 200


@pytest.fixture
def gate(gate_process, tmp_path):
    return start_gate(gate_process, tmp_path)


async def until_pending(client: AsyncClient, count: int) -> None:
    while await client.pending_count() < count:
        await asyncio.sleep(0.02)


def test_two_hundred_waiting_calls_are_each_answered_when_decided(gate):
    process, console = gate

    async def main() -> None:
        async with AsyncClient(process.address) as client:
            @requires_approval(client, run_id="run-a", key="task:{n}", detail=False, timeout=60)
            async def task(n: int) -> int:
                return n

            async def agent(n: int) -> int | str:
                try:
                    return await task(n)
                except Refused as refused:
                    return f"{refused.kind} by {refused.decided_by}"

            calls = [asyncio.create_task(agent(n)) for n in range(WAITERS)]
            await asyncio.wait_for(until_pending(client, WAITERS), 30)
            approved, rejected = range(0, WAITERS, 2), range(1, WAITERS, 2)
            verdicts = await asyncio.to_thread(
                lambda: {console.decide("run-a", f"task:{n}", True) for n in approved})
            assert verdicts == {"approved"}
            assert await asyncio.gather(*(calls[n] for n in approved)) == list(approved)
            assert not any(calls[n].done() for n in rejected)  # theirs are still held
            for n in rejected:  # a decider on the line this time
                assert await client.decide("run-a", f"task:{n}", False) == "refused_rejected"
            answers = await asyncio.gather(*(calls[n] for n in rejected))
            assert all(answer.startswith("refused_rejected by line:127.0.0.1:")
                       for answer in answers), answers
            assert await client.pending_count() == 0

    asyncio.run(main())


@pytest.mark.parametrize("give_up", ["cancel", "wait_for"])
def test_a_wait_given_up_closes_its_connection_and_leaves_the_rest_in_step(gate, give_up):
    process, console = gate

    async def main() -> None:
        async with AsyncClient(process.address) as client:
            waiting = asyncio.create_task(
                client.submit("run-c", "k", needs_approval=True, wait=30))
            await asyncio.wait_for(until_pending(client, 1), 30)
            idle = client.idle_connections
            if give_up == "cancel":
                waiting.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await waiting
            else:
                with pytest.raises(asyncio.TimeoutError):
                    await asyncio.wait_for(waiting, 0.1)
            assert client.idle_connections == idle  # the waiter's was never handed back
            assert await client.ping() == "pong"
            # The approval waits for the next submit: the abandoned wait did not take it.
            assert await asyncio.to_thread(console.decide, "run-c", "k", True) == "approved"
            assert await client.submit("run-c", "k", needs_approval=True, wait=5) == "release"
            assert await client.state_len() == 1 and await client.pending_count() == 0

    asyncio.run(main())
