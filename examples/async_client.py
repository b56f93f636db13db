"""GateClient from asyncio: each blocking call runs in a worker thread via asyncio.to_thread.

    python examples/async_client.py            # against a small stand-in server started here
    python examples/async_client.py HOST:PORT  # against a running gate server

GateClient releases the interpreter lock for each exchange with the server, so while a
worker thread waits for a reply the event loop and every other thread keep running.
"""

from __future__ import annotations

import asyncio
import json
import sys

import latchwork


async def stand_in_server(finished: asyncio.Event) -> tuple[asyncio.Server, str]:
    """A minimal gate server on a free loopback port, answering from an in-process Gate;
    sets finished when its connection ends."""
    gate = latchwork.Gate()

    def answer(request: dict[str, object]) -> dict[str, object]:
        op, run_id = request.get("op"), str(request.get("run_id", ""))
        if op == "submit":
            return {"verdict": gate.submit(run_id, str(request["effect_key"]),
                                           bool(request["needs_approval"])).kind}
        if op == "decide":
            return {"verdict": gate.decide(run_id, str(request["effect_key"]),
                                           bool(request["approved"])).kind}
        if op == "cancel":
            gate.cancel(run_id)
            return {"verdict": "ok"}
        if op == "ping":
            return {"verdict": "pong"}
        return {"message": f"unknown op {op!r}", "verdict": "error"}

    async def serve(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        while line := await reader.readline():
            reply = json.dumps(answer(json.loads(line)), separators=(",", ":"), sort_keys=True)
            writer.write(reply.encode() + b"\n")
            await writer.drain()
        writer.close()
        finished.set()

    server = await asyncio.start_server(serve, "127.0.0.1", 0)
    host, port = server.sockets[0].getsockname()[:2]
    return server, f"{host}:{port}"


async def ask(client: latchwork.GateClient, run_id: str, effect_key: str) -> str:
    verdict = await asyncio.to_thread(client.submit, run_id, effect_key, needs_approval=True)
    return f"{effect_key}: {verdict.kind}"


async def main(addr: str | None) -> None:
    server, finished = None, asyncio.Event()
    if addr is None:
        server, addr = await stand_in_server(finished)
    # The constructor connects while holding the interpreter lock: a thread of its own too.
    client = await asyncio.to_thread(latchwork.GateClient, addr)
    print("ping:", (await asyncio.to_thread(client.ping)).kind)
    for line in await asyncio.gather(*(ask(client, "run-1", f"email:{n}") for n in range(3))):
        print(line)
    verdict = await asyncio.to_thread(client.decide, "run-1", "email:0", True)
    print("decide email:0 approved:", verdict.kind)
    print("cancel run-1:", (await asyncio.to_thread(client.cancel, "run-1")).kind)
    print("decide email:1 approved:", (await asyncio.to_thread(client.decide, "run-1", "email:1", True)).kind)
    del client  # closes the connection
    if server is not None:
        await finished.wait()
        server.close()
        await server.wait_closed()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1] if len(sys.argv) > 1 else None))
