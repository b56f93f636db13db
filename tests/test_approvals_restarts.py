"""Gated calls outlive their gate and their process: calls waiting when the gate is killed
(kill -9, SQLite store) carry on after its restart, and a call made with wait=False is
finished by another process once a person decided."""

from __future__ import annotations

import asyncio
import subprocess
import sys
import textwrap
import threading

import pytest

from approvals_support import start_gate, wait_until_held
from latchwork_approvals import AsyncClient, Client, Refused, requires_approval

# ann's e-mail is asked for twice (a retried tool call): one effect, performed once.
CALLS = [("ann", "refund"), ("bob", "refund"), ("ann", "refund")]


def run_calls(flavour: str, address: str, sent: list[str]) -> list[str]:
    """Every call of CALLS at once, each ending as what it returned or the refusal's kind;
    anything else raised is the test's failure."""
    def ended(result: object) -> str:
        if isinstance(result, Refused):
            return result.kind
        if isinstance(result, BaseException):
            raise result
        return str(result)

    if flavour == "asyncio":
        async def main() -> list[object]:
            async with AsyncClient(address) as client:
                @requires_approval(client, run_id="run-k", key="email:{to}", timeout=60)
                async def send_email(to: str, subject: str) -> str:
                    sent.append(to)
                    return f"sent to {to}"
                return await asyncio.gather(*(send_email(*call) for call in CALLS),
                                            return_exceptions=True)
        return [ended(result) for result in asyncio.run(main())]

    client = Client(address)

    @requires_approval(client, run_id="run-k", key="email:{to}", timeout=60)
    def send_email(to: str, subject: str) -> str:
        sent.append(to)
        return f"sent to {to}"

    results: list[object] = [None] * len(CALLS)

    def call(index: int) -> None:
        try:
            results[index] = send_email(*CALLS[index])
        except BaseException as error:  # noqa: BLE001 - reported by ended()
            results[index] = error

    threads = [threading.Thread(target=call, args=(n,)) for n in range(len(CALLS))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return [ended(result) for result in results]


@pytest.mark.parametrize("flavour", ["blocking", "asyncio"])
def test_waiting_calls_survive_a_killed_gate_and_end_performed_once_or_refused(
        gate_process, tmp_path, flavour):
    store = ("--store", f"sqlite:{tmp_path / 'gate.db'}")
    process, console = start_gate(gate_process, tmp_path, *store)
    sent: list[str] = []
    ended: list[list[str]] = []
    callers = threading.Thread(target=lambda: ended.append(run_calls(flavour, process.address,
                                                                      sent)))
    callers.start()
    wait_until_held(console, "run-k", ["email:ann", "email:bob"])
    process.kill()  # SIGKILL: the waiting submits lose their connections, unanswered
    process, console = start_gate(gate_process, tmp_path, *store, listen=process.address)
    wait_until_held(console, "run-k", ["email:ann", "email:bob"])  # kept by the store
    assert console.decide("run-k", "email:ann", True) == "approved"
    assert console.decide("run-k", "email:bob", False, "wrong customer") == "refused_rejected"
    callers.join(90)
    assert sorted(ended[0]) == ["refused_duplicate", "refused_rejected", "sent to ann"]
    assert sent == ["ann"]


# One agent turn in a process of its own: it calls the gated tool with wait=False once.
TURN = textwrap.dedent("""
    import asyncio, sys
    from latchwork_approvals import (ApprovalPending, AsyncClient, Client, Refused,
                                     requires_approval)
    flavour, address = sys.argv[1:3]

    def turn():
        if flavour == "asyncio":
            async def main():
                async with AsyncClient(address) as client:
                    @requires_approval(client, run_id="run-p", key="email:{to}", wait=False)
                    async def send_email(to, subject):
                        return "performed"
                    return await send_email("ann", "refund")
            return asyncio.run(main())

        @requires_approval(Client(address), run_id="run-p", key="email:{to}", wait=False)
        def send_email(to, subject):
            return "performed"
        return send_email("ann", "refund")

    try:
        print(turn())
    except ApprovalPending as pending:
        print("pending", pending.effect_key, pending.link)
    except Refused as refused:
        print(refused.kind)
""")


@pytest.mark.parametrize("flavour", ["blocking", "asyncio"])
@pytest.mark.parametrize("approved, after", [(True, ["performed", "refused_duplicate"]),
                                             (False, ["refused_rejected", "refused_rejected"])])
def test_a_call_that_does_not_wait_is_finished_by_a_later_process(gate, flavour, approved,
                                                                  after):
    process, console = gate

    def turn() -> str:
        done = subprocess.run([sys.executable, "-c", TURN, flavour, process.address],
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        return done.stdout.strip()

    assert turn() == "pending email:ann None"
    assert turn() == "pending email:ann None"  # still held: asked again, not waited for
    assert console.decide("run-p", "email:ann", approved) in ("approved", "refused_rejected")
    assert [turn(), turn()] == after


@pytest.fixture
def gate(gate_process, tmp_path):
    return start_gate(gate_process, tmp_path)
