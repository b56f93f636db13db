"""The gate server from asyncio with latchwork_approvals.AsyncClient.

    python examples/async_client.py                              # a gate started here
    python examples/async_client.py HOST:PORT [SECRET_FILE]      # a running gate server

Every call is awaited on the event loop: no threads. Decisions are tagged with the
server's secret when there is one (the gate started here has one), and each run has
a fresh id, so the example can run again and again against the same server.
"""

from __future__ import annotations

import asyncio
import sys
import uuid
from pathlib import Path

from local_gate import LocalGate

from latchwork_approvals import AsyncClient


async def ask(client: AsyncClient, run_id: str, effect_key: str) -> str:
    outcome = await client.submit(run_id, effect_key, needs_approval=True)
    return f"{effect_key}: {outcome.kind}"


async def main(address: str, secret: bytes | None) -> None:
    run_id = f"run-{uuid.uuid4().hex[:12]}"
    async with AsyncClient(address, secret=secret) as client:
        print("ping:", (await client.ping()).kind)
        for line in await asyncio.gather(*(ask(client, run_id, f"email:{n}") for n in range(3))):
            print(line)
        print("decide email:0 approved:", (await client.decide(run_id, "email:0", True)).kind)
        print(f"cancel {run_id}:", (await client.cancel(run_id)).kind)
        print("decide email:1 approved:", (await client.decide(run_id, "email:1", True)).kind)


if __name__ == "__main__":
    if len(sys.argv) > 1:
        secret = Path(sys.argv[2]).read_bytes() if len(sys.argv) > 2 else None
        asyncio.run(main(sys.argv[1], secret))
    else:
        with LocalGate(secret=b"a secret shared with the gate") as gate:
            asyncio.run(main(gate.address, gate.secret))
