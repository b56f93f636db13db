"""What a gated call leaves behind: its recorded result, returned to any later call of the
same effect, and an approver's changes, which reach the function it runs."""

from __future__ import annotations

import asyncio
import threading

import pytest

from approvals_support import Person, start_gate, wait_until_held
from latchwork_approvals import AsyncClient, Client, Refused, requires_approval


class RaisesWith:
    """The table's expectation: the second call raises, carrying `recorded`."""

    def __init__(self, recorded):
        self.recorded = recorded


def gated_calls(flavour: str, address: str, ran: list, result, calls: int, **options):
    """The gated refund called `calls` times in a row; each ends as its return value or
    its Refused."""
    def refund(order: int, amount: int):
        ran.append((order, amount))
        return result

    async def refund_async(order: int, amount: int):
        return refund(order, amount)

    options = dict(run_id="run-r", key="refund:{order}", timeout=30, **options)
    ended: list[object] = []
    if flavour == "asyncio":
        async def main() -> None:
            async with AsyncClient(address) as client:
                gated = requires_approval(client, **options)(refund_async)
                for _ in range(calls):
                    try:
                        ended.append(await gated(7, 100))
                    except Refused as refused:
                        ended.append(refused)
        asyncio.run(main())
    else:
        gated = requires_approval(Client(address), **options)(refund)
        for _ in range(calls):
            try:
                ended.append(gated(7, 100))
            except Refused as refused:
                ended.append(refused)
    return ended


REFUND = {"refund": "r-7", "amount": 100}


@pytest.mark.parametrize("flavour", ["blocking", "asyncio"])
@pytest.mark.parametrize("result, on_duplicate, second", [
    (REFUND, "result", REFUND),
    (None, "result", None),                      # None is a result too
    (REFUND, "raise", RaisesWith(REFUND)),          # raised, carrying it
    (object(), "result", RaisesWith(None)),         # not JSON: nothing recorded
])
def test_a_later_call_learns_what_the_first_one_returned(gate_process, tmp_path, flavour,
                                                        result, on_duplicate, second):
    process, console = start_gate(gate_process, tmp_path)
    ran: list = []
    Person(console, "run-r", "refund:7")
    ended = gated_calls(flavour, process.address, ran, result, 2, on_duplicate=on_duplicate)
    assert ended[0] is result and ran == [(7, 100)]
    if isinstance(second, RaisesWith):
        refused = ended[1]
        assert isinstance(refused, Refused) and refused.kind == "refused_duplicate"
        assert (refused.result, refused.decided_by) == (second.recorded, "ada")
        assert isinstance(refused.released_at, int)
    else:
        assert ended[1] == second


def test_an_approvers_change_reaches_the_function(gate_process, tmp_path):
    process, console = start_gate(gate_process, tmp_path)
    ran: list = []
    replies: list = []

    def approve_with_changes() -> None:  # a change outside editable first, then a good one
        detail = wait_until_held(console, "run-r", ["refund:7"])["refund:7"]["detail"]
        for name, value in [("order", 8), ("amount", 90)]:
            changed = {**detail, "arguments": {**detail["arguments"], name: value}}
            replies.append(console.call("POST", "/api/decide", {
                "run_id": "run-r", "effect_key": "refund:7", "approved": True,
                "detail": changed}))

    person = threading.Thread(target=approve_with_changes)
    person.start()
    ended = gated_calls("blocking", process.address, ran, "done", 2, editable=["amount"])
    person.join(30)
    assert [(reply.status, reply.json()) for reply in replies] == [
        (422, {"error": "only /arguments/amount may be changed"}), (200, {"verdict": "approved"})]
    assert ended == ["done", "done"] and ran == [(7, 90)]
