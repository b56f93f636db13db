"""What Client and AsyncClient share: their arguments, their pool and how failures read."""

from __future__ import annotations

import contextlib
import ssl
import threading
from collections.abc import Iterator, Mapping
from typing import Any, Generic, Protocol, TypeVar

from . import wire
from .errors import GateUnavailable, OutcomeUnknown, ServerError
from .wire import Request, Secret

__all__ = ["BaseClient", "MAX_LINE", "unknown"]

# A reply line longer than this is no reply of a gate server; its connection is given up.
MAX_LINE = 1 << 20


class Pooled(Protocol):
    """What the pool needs of a connection, however it does its I/O."""

    def looks_alive(self) -> bool: ...

    def close(self) -> None: ...


ConnectionT = TypeVar("ConnectionT", bound=Pooled)


def unknown(request: Request, why: str,
            error: type[OutcomeUnknown] = OutcomeUnknown) -> OutcomeUnknown:
    """The error of a request that was written and got no reply, naming the request."""
    return error(request.op, request.run_id, request.effect_key, why)


class BaseClient(Generic[ConnectionT]):
    """The constructor, the requests and the idle connections of both clients.

    It does no I/O: each client opens, writes, reads and waits in its own way, and
    leaves here what a failure means and which connection goes back to the pool.
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
        # Only TLS checks a name; asyncio refuses one given without it.
        self._server_hostname = ((server_hostname or self._host) if ssl_context is not None
                                 else None)
        self.timeout = timeout
        self._pool_size = pool_size
        self._idle: list[ConnectionT] = []
        # The blocking client is shared between threads; the asyncio one pays nothing for it.
        self._lock = threading.Lock()
        self._closed = False

    @property
    def closed(self) -> bool:
        """True once close() was called: no call is made on it any more."""
        return self._closed

    # ---- requests -------------------------------------------------------------------

    def _decide_request(self, run_id: str, effect_key: str, approved: bool) -> Request:
        """A decide, tagged with the client's secret when it has one."""
        return wire.decide_request(run_id, effect_key, approved, self._secret)

    def _reply_time(self, request: Request) -> float:
        """How long a reply may take: the wait the server was asked for, then the timeout."""
        return request.wait_seconds + self.timeout

    @contextlib.contextmanager
    def _sending(self, request: Request) -> Iterator[None]:
        """Around writing a request: from here on its outcome is unknown if it fails."""
        try:
            yield
        except OSError as why:
            # Part of the line may have gone out: the server may have read it whole.
            raise unknown(request, f"connection lost while sending: {why}") from None

    # ---- the pool -------------------------------------------------------------------

    def _reuse(self) -> ConnectionT | None:
        """An idle connection still open at the far end, or None; the dead are closed."""
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
        return None

    @contextlib.contextmanager
    def _lent(self, connection: ConnectionT) -> Iterator[ConnectionT]:
        """One exchange's connection: pooled again when it went well, closed otherwise."""
        try:
            yield connection
        except BaseException:
            # Cancelled, timed out, out of step or refused: never handed to another call.
            connection.close()
            raise
        with self._lock:
            if not self._closed and len(self._idle) < self._pool_size:
                self._idle.append(connection)
                return
        connection.close()

    def _close_idle(self) -> list[ConnectionT]:
        """Close the pool for good; the idle connections it held, each closed."""
        with self._lock:
            self._closed = True
            idle, self._idle = self._idle, []
        for connection in idle:
            connection.close()
        return idle

    # ---- hello ----------------------------------------------------------------------

    @contextlib.contextmanager
    def _greeting(self, connection: ConnectionT) -> Iterator[None]:
        """Around a hello's exchange; any failure here comes before the caller's request
        was written, so it is the connection that failed, not the request."""
        try:
            yield
        except ServerError:
            connection.close()  # the server closes it too
            raise
        except (OSError, OutcomeUnknown) as why:
            connection.close()
            raise GateUnavailable(f"hello to {self.address} failed: {why}") from None
        except BaseException:
            connection.close()
            raise

    def _welcomed(self, connection: ConnectionT, reply: Mapping[str, Any]) -> None:
        """The hello's reply: anything but "ok" and the connection is not to be used."""
        if reply["verdict"] != "ok":
            connection.close()
            raise GateUnavailable(f"hello to {self.address} answered {reply['verdict']!r}")
