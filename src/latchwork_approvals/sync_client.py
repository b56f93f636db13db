"""A blocking client of a gate server, safe to share between threads."""

from __future__ import annotations

import select
import socket
import ssl
import time
from collections.abc import Sequence
from typing import Any

from . import wire
from ._base_client import MAX_LINE, BaseClient, unknown
from .errors import GateUnavailable, ReplyTimeout
from .outcome import Outcome
from .wire import Detail, Request

__all__ = ["Client"]

# Blocking reads wake this often, so that Ctrl-C and the call's deadline are seen
# promptly whatever the platform does with signals during a read.
_SLICE_SECONDS = 0.25


class _Connection:
    """One socket with its read buffer; used by one call at a time."""

    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        self.buffer = bytearray()

    def looks_alive(self) -> bool:
        """False when the peer closed it (or sent something unasked) while it lay idle."""
        if self.buffer:
            return False
        try:
            readable, _, _ = select.select([self.sock], [], [], 0)
        except (OSError, ValueError):
            return False
        return not readable

    def read_line(self, request: Request, deadline: float) -> bytes:
        while True:
            end = self.buffer.find(b"\n")
            if end >= 0:
                line = bytes(self.buffer[:end])
                del self.buffer[:end + 1]
                return line
            if len(self.buffer) > MAX_LINE:
                raise unknown(request, "reply line too long")
            left = deadline - time.monotonic()
            if left <= 0:
                raise unknown(request, "no reply in time", ReplyTimeout)
            self.sock.settimeout(min(left, _SLICE_SECONDS))
            try:
                chunk = self.sock.recv(65536)
            except (socket.timeout, ssl.SSLWantReadError):
                continue
            except OSError as why:
                raise unknown(request, f"connection lost: {why}") from None
            if not chunk:
                raise unknown(request, "the server closed the connection")
            self.buffer += chunk

    def close(self) -> None:
        try:
            self.sock.close()
        except OSError:
            pass


class Client(BaseClient[_Connection]):
    """A gate server's client over a small pool of connections.

    Each call takes a connection of its own for its exchange, so a submit that waits for
    a person never holds up another call; at most ``pool_size`` idle connections are
    kept. A connection is opened (and greeted with hello when ``client_name`` and
    ``token`` are given) only before a request is written; a request whose connection
    fails after it was written raises OutcomeUnknown and is never resent.

    ``timeout`` bounds connecting and each reply, on top of the time a waiting submit
    asked the server to wait. With ``secret`` every decide carries its decision tag.
    ``ssl_context`` speaks TLS to a server started with --tls-cert.
    """

    # ---- the operations -------------------------------------------------------------

    def submit(self, run_id: str, effect_key: str, *, needs_approval: bool = False,
               detail: Detail | None = None, wait: float | None = None,
               attempt: str | None = None,
               editable: Sequence[str] | None = None) -> Outcome:
        """Ask whether the effect may happen now. With ``wait`` (seconds, up to the
        server's --max-wait) an answer that would be held_for_approval waits on the
        server until the effect is decided or the wait ends; ``detail`` tells the
        people who decide what the effect is; ``attempt`` names the call submitting it,
        the same in each of its retries; ``editable`` the members of the detail (JSON
        Pointers) a person may change when approving."""
        return self._outcome(wire.submit_request(run_id, effect_key, needs_approval, detail,
                                                 wait, attempt, editable))

    def decide(self, run_id: str, effect_key: str, approved: bool) -> Outcome:
        """Settle a held effect; tagged with the client's secret when it has one."""
        return self._outcome(self._decide_request(run_id, effect_key, approved))

    def complete(self, run_id: str, effect_key: str, attempt: str, result: object) -> Outcome:
        """Records what performing a released effect produced (JSON), for later
        duplicates to learn; only the attempt that took the release may."""
        return self._outcome(wire.complete_request(run_id, effect_key, attempt, result))

    def cancel(self, run_id: str) -> Outcome:
        return self._outcome(wire.run_request("cancel", run_id))

    def close_run(self, run_id: str) -> Outcome:
        return self._outcome(wire.run_request("close_run", run_id))

    def is_cancelled(self, run_id: str) -> bool:
        return bool(self._value(wire.run_request("is_cancelled", run_id)))

    def is_closed(self, run_id: str) -> bool:
        return bool(self._value(wire.run_request("is_closed", run_id)))

    def pending_count(self) -> int:
        return int(self._value(wire.plain_request("pending_count")))

    def state_len(self) -> int:
        return int(self._value(wire.plain_request("state_len")))

    def ping(self) -> Outcome:
        return self._outcome(wire.plain_request("ping"))

    def close(self) -> None:
        """Close the idle connections; calls still running close theirs when done."""
        self._close_idle()

    def __enter__(self) -> Client:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # ---- connections ----------------------------------------------------------------

    def _outcome(self, request: Request) -> Outcome:
        return wire.outcome_of(self._exchange(request))

    def _value(self, request: Request) -> Any:
        return wire.value_of(request, self._exchange(request))

    def _exchange(self, request: Request) -> dict[str, Any]:
        with self._lent(self._take()) as connection:
            with self._sending(request):
                connection.sock.settimeout(self.timeout)
                connection.sock.sendall(request.line)
            deadline = time.monotonic() + self._reply_time(request)
            return wire.read_reply(request, connection.read_line(request, deadline))

    def _take(self) -> _Connection:
        connection = self._reuse()
        return connection if connection is not None else self._open()

    def _open(self) -> _Connection:
        try:
            sock = socket.create_connection((self._host, self._port), timeout=self.timeout)
        except OSError as why:
            raise GateUnavailable(f"cannot connect to {self.address}: {why}") from None
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if self._ssl_context is not None:
                sock = self._ssl_context.wrap_socket(sock, server_hostname=self._server_hostname)
        except OSError as why:
            sock.close()
            raise GateUnavailable(f"cannot connect to {self.address}: {why}") from None
        connection = _Connection(sock)
        if self._hello is not None:
            self._greet(connection, self._hello)
        return connection

    def _greet(self, connection: _Connection, hello: Request) -> None:
        """Say hello; any failure here comes before the caller's request was written."""
        with self._greeting(connection):
            connection.sock.sendall(hello.line)
            reply = wire.read_reply(hello, connection.read_line(
                hello, time.monotonic() + self.timeout))
        self._welcomed(connection, reply)
