"""Gated calls outlive their gate and their process: calls waiting when the gate is killed
(kill -9, SQLite store) end performed once or refused after its restart, and a call made
with wait=False is finished by another process once a person decided."""

from __future__ import annotations

import asyncio
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from approvals_support import start_gate, wait_until_held
from latchwork_approvals import AsyncClient, Client, Refused, requires_approval

CALLS = [("ann", "refund"), ("bob", "refund"), ("ann", "refund")]  # ann's: a retried call
OPTIONS = dict(run_id="run-k", key="email:{to}", timeout=60)


def call_all(flavour: str, address: str, sent: list[str]) -> list[object]:
    """Every call at once, each ending as its result or the kind of its Refused; anything
    else raised fails the test."""
    def send_email(to: str, subject: str) -> str:
        sent.append(to)
        return f"sent to {to}"

    async def send_email_async(to: str, subject: str) -> str:
        return send_email(to, subject)

    if flavour == "asyncio":
        async def main() -> list[object]:
            async with AsyncClient(address) as client:
                gated = requires_approval(client, **OPTIONS)(send_email_async)
                return await asyncio.gather(*(gated(*call) for call in CALLS),
                                            return_exceptions=True)
        results = asyncio.run(main())
    else:
        with ThreadPoolExecutor(len(CALLS)) as pool:
            gated = requires_approval(Client(address), **OPTIONS)(send_email)
            futures = [pool.submit(gated, *call) for call in CALLS]
        results = [future.exception() or future.result() for future in futures]
    return [result.kind if isinstance(result, Refused) else result for result in results]


@pytest.mark.parametrize("flavour", ["blocking", "asyncio"])
def test_waiting_calls_survive_a_killed_gate(gate_process, tmp_path, flavour):
    store = ("--store", f"sqlite:{tmp_path / 'gate.db'}")
    process, console = start_gate(gate_process, tmp_path, *store)
    sent: list[str] = []
    ended: list[list[object]] = []
    callers = threading.Thread(target=lambda: ended.append(call_all(flavour, process.address,
                                                                     sent)))
    callers.start()
    wait_until_held(console, "run-k", ["email:ann", "email:bob"])
    process.kill()  # SIGKILL: the waiting submits lose their connections, unanswered
    process, console = start_gate(gate_process, tmp_path, *store, listen=process.address)
    assert console.decide("run-k", "email:ann", True) == "approved"  # held across the kill
    assert console.decide("run-k", "email:bob", False) == "refused_rejected"
    callers.join(90)
    # ann's retried call is refused, or returns the first one's result once recorded.
    ann, bob, ann_again = map(str, ended[0])
    assert bob == "refused_rejected" and sent == ["ann"]
    assert sorted([ann, ann_again]) in (["refused_duplicate", "sent to ann"], ["sent to ann"] * 2)


# One agent turn in a process of its own: it calls the gated tool once, without waiting.
TURN = """
import sys
from latchwork_approvals import ApprovalPending, Client, Refused, requires_approval
@requires_approval(Client(sys.argv[1]), run_id="run-p", key="email:{to}", wait=False)
def send_email(to, subject):
    with open(sys.argv[2], "a") as performed:
        performed.write(to + "\\n")
    return "performed"
try:
    print(send_email("ann", "refund"))
except ApprovalPending as pending:
    print("pending", pending.effect_key, pending.link)
except Refused as refused:
    print(refused.kind)
"""


@pytest.mark.parametrize("approved, after", [(True, ["performed", "performed"]),  # recorded
                                             (False, ["refused_rejected", "refused_rejected"])])
def test_a_call_that_does_not_wait_is_finished_by_a_later_process(gate_process, tmp_path,
                                                                  approved, after):
    process, console = start_gate(gate_process, tmp_path)
    performed = tmp_path / "performed"
    performed.touch()

    def turn() -> str:
        done = subprocess.run([sys.executable, "-c", TURN, process.address, str(performed)],
                              capture_output=True, text=True, timeout=60, check=True)
        return done.stdout.strip()

    assert [turn(), turn()] == ["pending email:ann None"] * 2  # asked again, not waited for
    console.decide("run-p", "email:ann", approved)
    assert [turn(), turn()] == after
    assert performed.read_text() == ("ann\n" if approved else "")
