"""The gate server's client for asyncio: the same calls as Client, awaited."""

from __future__ import annotations

import asyncio
from collections.abc import Sequence
from typing import Any

from . import wire
from ._base_client import MAX_LINE, BaseClient, unknown
from .errors import GateUnavailable, ReplyTimeout
from .outcome import Outcome
from .wire import Detail, Request

__all__ = ["AsyncClient"]


class _Connection:
    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self.reader = reader
        self.writer = writer

    def looks_alive(self) -> bool:
        """False once the peer closed it while it lay idle (as far as the loop has seen)."""
        return not (self.reader.at_eof() or self.writer.is_closing())

    async def read_line(self, request: Request, timeout: float) -> bytes:
        try:
            line = await asyncio.wait_for(self.reader.readline(), timeout)
        except asyncio.TimeoutError:
            raise unknown(request, "no reply in time", ReplyTimeout) from None
        except (OSError, ValueError) as why:  # ValueError: a line over the limit
            raise unknown(request, f"connection lost: {why}") from None
        if not line.endswith(b"\n"):
            raise unknown(request, "the server closed the connection")
        return line

    def close(self) -> None:
        # The transport closes at once; nothing more is read from or written to it.
        self.writer.close()


class AsyncClient(BaseClient[_Connection]):
    """A gate server's client for asyncio, over a small pool of connections.

    It behaves as Client does: each call has a connection of its own for its exchange
    (200 submits waiting at once hold 200 connections, and nothing else waits behind
    them); a connection is opened only before a request is written; a request whose
    connection fails after it was written raises OutcomeUnknown, never resent. A call
    that is cancelled while it waits (task.cancel(), asyncio.wait_for) closes its
    connection, which no other call ever gets. Use it within one event loop.
    """

    async def submit(self, run_id: str, effect_key: str, *, needs_approval: bool = False,
                     detail: Detail | None = None, wait: float | None = None,
                     attempt: str | None = None,
                     editable: Sequence[str] | None = None) -> Outcome:
        """As Client.submit: with ``wait`` (seconds) a held answer waits on the server."""
        return await self._outcome(wire.submit_request(run_id, effect_key, needs_approval,
                                                       detail, wait, attempt, editable))

    async def decide(self, run_id: str, effect_key: str, approved: bool) -> Outcome:
        return await self._outcome(self._decide_request(run_id, effect_key, approved))

    async def complete(self, run_id: str, effect_key: str, attempt: str,
                       result: object) -> Outcome:
        """Records what performing a released effect produced (JSON), for later
        duplicates to learn; only the attempt that took the release may."""
        return await self._outcome(wire.complete_request(run_id, effect_key, attempt, result))

    async def cancel(self, run_id: str) -> Outcome:
        return await self._outcome(wire.run_request("cancel", run_id))

    async def close_run(self, run_id: str) -> Outcome:
        return await self._outcome(wire.run_request("close_run", run_id))

    async def is_cancelled(self, run_id: str) -> bool:
        return bool(await self._value(wire.run_request("is_cancelled", run_id)))

    async def is_closed(self, run_id: str) -> bool:
        return bool(await self._value(wire.run_request("is_closed", run_id)))

    async def pending_count(self) -> int:
        return int(await self._value(wire.plain_request("pending_count")))

    async def state_len(self) -> int:
        return int(await self._value(wire.plain_request("state_len")))

    async def ping(self) -> Outcome:
        return await self._outcome(wire.plain_request("ping"))

    @property
    def idle_connections(self) -> int:
        """How many connections lie in the pool, ready for the next call."""
        return len(self._idle)

    async def close(self) -> None:
        """Close the idle connections; calls still running close theirs when done."""
        for connection in self._close_idle():
            try:
                await connection.writer.wait_closed()
            except OSError:
                pass

    async def __aenter__(self) -> AsyncClient:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    # ---- connections ----------------------------------------------------------------

    async def _outcome(self, request: Request) -> Outcome:
        return wire.outcome_of(await self._exchange(request))

    async def _value(self, request: Request) -> Any:
        return wire.value_of(request, await self._exchange(request))

    async def _exchange(self, request: Request) -> dict[str, Any]:
        with self._lent(await self._take()) as connection:
            with self._sending(request):
                connection.writer.write(request.line)
                await connection.writer.drain()
            line = await connection.read_line(request, self._reply_time(request))
            return wire.read_reply(request, line)

    async def _take(self) -> _Connection:
        connection = self._reuse()
        return connection if connection is not None else await self._open()

    async def _open(self) -> _Connection:
        try:
            reader, writer = await asyncio.wait_for(asyncio.open_connection(
                self._host, self._port, ssl=self._ssl_context,
                server_hostname=self._server_hostname, limit=MAX_LINE), self.timeout)
        except (OSError, asyncio.TimeoutError) as why:
            raise GateUnavailable(f"cannot connect to {self.address}: {why!r}") from None
        connection = _Connection(reader, writer)
        if self._hello is not None:
            await self._greet(connection, self._hello)
        return connection

    async def _greet(self, connection: _Connection, hello: Request) -> None:
        """Say hello; any failure here comes before the caller's request was written."""
        with self._greeting(connection):
            connection.writer.write(hello.line)
            await connection.writer.drain()
            reply = wire.read_reply(hello, await connection.read_line(hello, self.timeout))
        self._welcomed(connection, reply)
