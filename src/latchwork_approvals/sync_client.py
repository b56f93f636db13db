"""A blocking client of a gate server, safe to share between threads."""

from __future__ import annotations

import select
import socket
import ssl
import threading
import time
from typing import Any

from . import wire
from .errors import GateUnavailable, OutcomeUnknown, ReplyTimeout, ServerError
from .outcome import Outcome
from .wire import Detail, Request, Secret

__all__ = ["Client"]

# Blocking reads wake this often, so that Ctrl-C and the call's deadline are seen
# promptly whatever the platform does with signals during a read.
_SLICE_SECONDS = 0.25
_MAX_LINE = 1 << 20


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
            if len(self.buffer) > _MAX_LINE:
                raise OutcomeUnknown(request.op, request.run_id, request.effect_key,
                                     "reply line too long")
            left = deadline - time.monotonic()
            if left <= 0:
                raise ReplyTimeout(request.op, request.run_id, request.effect_key,
                                   "no reply in time")
            self.sock.settimeout(min(left, _SLICE_SECONDS))
            try:
                chunk = self.sock.recv(65536)
            except (socket.timeout, ssl.SSLWantReadError):
                continue
            except OSError as why:
                raise OutcomeUnknown(request.op, request.run_id, request.effect_key,
                                     f"connection lost: {why}") from None
            if not chunk:
                raise OutcomeUnknown(request.op, request.run_id, request.effect_key,
                                     "the server closed the connection")
            self.buffer += chunk

    def close(self) -> None:
        try:
            self.sock.close()
        except OSError:
            pass


class Client:
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
        self._server_hostname = server_hostname or self._host
        self.timeout = timeout
        self._pool_size = pool_size
        self._idle: list[_Connection] = []
        self._lock = threading.Lock()
        self._closed = False

    # ---- the operations -------------------------------------------------------------

    def submit(self, run_id: str, effect_key: str, *, needs_approval: bool = False,
               detail: Detail | None = None, wait: float | None = None) -> Outcome:
        """Ask whether the effect may happen now. With ``wait`` (seconds, up to the
        server's --max-wait) an answer that would be held_for_approval waits on the
        server until the effect is decided or the wait ends; ``detail`` tells the
        people who decide what the effect is."""
        request = wire.submit_request(run_id, effect_key, needs_approval, detail, wait)
        return wire.outcome_of(self._exchange(request))

    def decide(self, run_id: str, effect_key: str, approved: bool) -> Outcome:
        """Settle a held effect; tagged with the client's secret when it has one."""
        return wire.outcome_of(self._exchange(
            wire.decide_request(run_id, effect_key, approved, self._secret)))

    def cancel(self, run_id: str) -> Outcome:
        return wire.outcome_of(self._exchange(wire.run_request("cancel", run_id)))

    def close_run(self, run_id: str) -> Outcome:
        return wire.outcome_of(self._exchange(wire.run_request("close_run", run_id)))

    def is_cancelled(self, run_id: str) -> bool:
        return bool(self._value(wire.run_request("is_cancelled", run_id)))

    def is_closed(self, run_id: str) -> bool:
        return bool(self._value(wire.run_request("is_closed", run_id)))

    def pending_count(self) -> int:
        return int(self._value(wire.plain_request("pending_count")))

    def state_len(self) -> int:
        return int(self._value(wire.plain_request("state_len")))

    def ping(self) -> Outcome:
        return wire.outcome_of(self._exchange(wire.plain_request("ping")))

    def close(self) -> None:
        """Close the idle connections; calls still running close theirs when done."""
        with self._lock:
            self._closed = True
            idle, self._idle = self._idle, []
        for connection in idle:
            connection.close()

    def __enter__(self) -> Client:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # ---- connections ----------------------------------------------------------------

    def _value(self, request: Request) -> Any:
        return wire.value_of(request, self._exchange(request))

    def _exchange(self, request: Request) -> dict[str, Any]:
        connection = self._take()
        try:
            try:
                connection.sock.settimeout(self.timeout)
                connection.sock.sendall(request.line)
            except OSError as why:
                # Part of the line may have gone out: the server may have read it whole.
                raise OutcomeUnknown(request.op, request.run_id, request.effect_key,
                                     f"connection lost while sending: {why}") from None
            deadline = time.monotonic() + request.wait_seconds + self.timeout
            reply = wire.read_reply(request, connection.read_line(request, deadline))
        except BaseException:
            # Out of step, or its server refused us: never handed to another call.
            connection.close()
            raise
        self._give_back(connection)
        return reply

    def _take(self) -> _Connection:
        with self._lock:
            if self._closed:
                raise GateUnavailable("the client is closed")
            idle = self._idle.pop() if self._idle else None
        while idle is not None:
            if idle.looks_alive():
                return idle
            idle.close()
            with self._lock:
                idle = self._idle.pop() if self._idle else None
        return self._open()

    def _give_back(self, connection: _Connection) -> None:
        with self._lock:
            if not self._closed and len(self._idle) < self._pool_size:
                self._idle.append(connection)
                return
        connection.close()

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
        try:
            connection.sock.sendall(hello.line)
            reply = wire.read_reply(hello, connection.read_line(
                hello, time.monotonic() + self.timeout))
        except ServerError:
            connection.close()  # the server closes it too
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
