"""The gate server's client for asyncio: the same calls as Client, awaited."""

from __future__ import annotations

import asyncio
import ssl
from typing import Any

from . import wire
from .errors import GateUnavailable, OutcomeUnknown, ReplyTimeout, ServerError
from .outcome import Outcome
from .wire import Detail, Request, Secret

__all__ = ["AsyncClient"]

_MAX_LINE = 1 << 20


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
            raise ReplyTimeout(request.op, request.run_id, request.effect_key,
                               "no reply in time") from None
        except (OSError, ValueError) as why:  # ValueError: a line over the limit
            raise OutcomeUnknown(request.op, request.run_id, request.effect_key,
                                 f"connection lost: {why}") from None
        if not line.endswith(b"\n"):
            raise OutcomeUnknown(request.op, request.run_id, request.effect_key,
                                 "the server closed the connection")
        return line

    def close(self) -> None:
        # The transport closes at once; nothing more is read from or written to it.
        self.writer.close()


class AsyncClient:
    """A gate server's client for asyncio, over a small pool of connections.

    It behaves as Client does: each call has a connection of its own for its exchange
    (200 submits waiting at once hold 200 connections, and nothing else waits behind
    them); a connection is opened only before a request is written; a request whose
    connection fails after it was written raises OutcomeUnknown, never resent. A call
    that is cancelled while it waits (task.cancel(), asyncio.wait_for) closes its
    connection, which no other call ever gets. Use it within one event loop.
    """

    def __init__(self, address: str = "127.0.0.1:8796", *, secret: Secret | None = None,
                 client_name: str | None = None, token: str | None = None,
                 ssl_context: ssl.SSLContext | None = None, server_hostname: str | None = None,
                 timeout: float = 30.0, pool_size: int = 4) -> None:
        if (client_name is None) != (token is None):
            raise ValueError("client_name and token go together")
        if timeout <= 0:
            raise ValueError("timeout must be positive")
        self.address = address
        self._host, self._port = wire.split_address(address)
        self._secret = None if secret is None else bytes(secret)
        self._hello = (None if client_name is None or token is None
                       else wire.hello_request(client_name, token))
        self._ssl_context = ssl_context
        self._server_hostname = (server_hostname or self._host) if ssl_context else None
        self.timeout = timeout
        self._pool_size = pool_size
        self._idle: list[_Connection] = []
        self._closed = False

    async def submit(self, run_id: str, effect_key: str, *, needs_approval: bool = False,
                     detail: Detail | None = None, wait: float | None = None) -> Outcome:
        """As Client.submit: with ``wait`` (seconds) a held answer waits on the server."""
        request = wire.submit_request(run_id, effect_key, needs_approval, detail, wait)
        return wire.outcome_of(await self._exchange(request))

    async def decide(self, run_id: str, effect_key: str, approved: bool) -> Outcome:
        return wire.outcome_of(await self._exchange(
            wire.decide_request(run_id, effect_key, approved, self._secret)))

    async def cancel(self, run_id: str) -> Outcome:
        return wire.outcome_of(await self._exchange(wire.run_request("cancel", run_id)))

    async def close_run(self, run_id: str) -> Outcome:
        return wire.outcome_of(await self._exchange(wire.run_request("close_run", run_id)))

    async def is_cancelled(self, run_id: str) -> bool:
        return bool(await self._value(wire.run_request("is_cancelled", run_id)))

    async def is_closed(self, run_id: str) -> bool:
        return bool(await self._value(wire.run_request("is_closed", run_id)))

    async def pending_count(self) -> int:
        return int(await self._value(wire.plain_request("pending_count")))

    async def state_len(self) -> int:
        return int(await self._value(wire.plain_request("state_len")))

    async def ping(self) -> Outcome:
        return wire.outcome_of(await self._exchange(wire.plain_request("ping")))

    @property
    def idle_connections(self) -> int:
        """How many connections lie in the pool, ready for the next call."""
        return len(self._idle)

    async def close(self) -> None:
        """Close the idle connections; calls still running close theirs when done."""
        self._closed = True
        idle, self._idle = self._idle, []
        for connection in idle:
            connection.close()
        for connection in idle:
            try:
                await connection.writer.wait_closed()
            except OSError:
                pass

    async def __aenter__(self) -> AsyncClient:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    # ---- connections ----------------------------------------------------------------

    async def _value(self, request: Request) -> Any:
        return wire.value_of(request, await self._exchange(request))

    async def _exchange(self, request: Request) -> dict[str, Any]:
        connection = await self._take()
        try:
            try:
                connection.writer.write(request.line)
                await connection.writer.drain()
            except OSError as why:
                raise OutcomeUnknown(request.op, request.run_id, request.effect_key,
                                     f"connection lost while sending: {why}") from None
            line = await connection.read_line(request, request.wait_seconds + self.timeout)
            reply = wire.read_reply(request, line)
        except BaseException:
            # Cancelled, timed out, out of step or refused: never handed to another call.
            connection.close()
            raise
        if not self._closed and len(self._idle) < self._pool_size:
            self._idle.append(connection)
        else:
            connection.close()
        return reply

    async def _take(self) -> _Connection:
        if self._closed:
            raise GateUnavailable("the client is closed")
        while self._idle:
            connection = self._idle.pop()
            if connection.looks_alive():
                return connection
            connection.close()
        return await self._open()

    async def _open(self) -> _Connection:
        try:
            reader, writer = await asyncio.wait_for(asyncio.open_connection(
                self._host, self._port, ssl=self._ssl_context,
                server_hostname=self._server_hostname, limit=_MAX_LINE), self.timeout)
        except (OSError, asyncio.TimeoutError) as why:
            raise GateUnavailable(f"cannot connect to {self.address}: {why!r}") from None
        connection = _Connection(reader, writer)
        if self._hello is not None:
            await self._greet(connection, self._hello)
        return connection

    async def _greet(self, connection: _Connection, hello: Request) -> None:
        """Say hello; any failure here comes before the caller's request was written."""
        try:
            connection.writer.write(hello.line)
            await connection.writer.drain()
            reply = wire.read_reply(hello, await connection.read_line(hello, self.timeout))
        except ServerError:
            connection.close()
            raise
        except (OSError, OutcomeUnknown) as why:
            connection.close()
            raise GateUnavailable(f"hello to {self.address} failed: {why}") from None
        except BaseException:
            connection.close()
            raise
        if reply["verdict"] != "ok":
            connection.close()
            raise GateUnavailable(f"hello to {self.address} answered {reply['verdict']!r}")
