"""gate_server.py: a scriptable gate server on loopback for the client tests.

The server answers each request line (everything up to and including a line feed)
with the next entry of its script. An entry is raw bytes, sent as they are (several
lines, a line without its line feed, invalid UTF-8: whatever the test needs), or an
Action, which may also end the connection afterwards:

    send(data)   send data and keep serving
    close(data)  send data (possibly nothing), then close the connection
    reset(data)  send data, then abort the connection (RST instead of FIN)
    hang(data)   send data, then never answer this connection again

The script is a sequence, used in order across all connections (once it is used up,
a connection that sends another request is closed), or a callable mapping a request
line to an entry. Replies go out in one send call each.

Stdlib only; every socket and thread ends with stop() (or the with block).
"""

from __future__ import annotations

import dataclasses
import select
import socket
import struct
import threading
from typing import Callable, Iterable, Union

_POLL_SECONDS = 0.05


@dataclasses.dataclass(frozen=True)
class Action:
    data: bytes = b""
    then: str = "continue"  # "continue", "close", "reset" or "hang"


def send(data: bytes) -> Action:
    return Action(data, "continue")


def close(data: bytes = b"") -> Action:
    return Action(data, "close")


def reset(data: bytes = b"") -> Action:
    return Action(data, "reset")


def hang(data: bytes = b"") -> Action:
    return Action(data, "hang")


CLOSE = close()
RESET = reset()
HANG = hang()

Entry = Union[bytes, bytearray, Action]
Script = Union[Iterable[Entry], Callable[[bytes], Entry]]


class GateServer:
    """A gate server on a loopback address, served by background threads.

    `on_connect` is an optional entry performed as soon as a connection is accepted,
    before any request is read (e.g. CLOSE: close without answering anything).
    `host` is "127.0.0.1" or "::1"; `port` 0 lets the system choose one. Binding
    raises OSError when the address is unavailable.
    """

    def __init__(
        self,
        script: Script = (),
        *,
        on_connect: Entry | None = None,
        host: str = "127.0.0.1",
        port: int = 0,
    ) -> None:
        self._respond: Callable[[bytes], Entry]
        if callable(script):
            self._respond = script
        else:
            entries = iter(list(script))
            self._respond = lambda _line: next(entries, CLOSE)
        self._on_connect = on_connect
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)
        self._requests: list[bytes] = []
        self._connections = 0
        self._stopping = threading.Event()
        self._threads: list[threading.Thread] = []
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self._listener = socket.socket(family, socket.SOCK_STREAM)
        try:
            self._listener.bind((host, port))
            self._listener.listen(16)
        except OSError:
            self._listener.close()
            raise
        self.port: int = self._listener.getsockname()[1]
        self.address: str = f"[{host}]:{self.port}" if family == socket.AF_INET6 else f"{host}:{self.port}"
        self._acceptor = threading.Thread(target=self._accept_loop, name="gate-server-accept", daemon=True)
        self._started = False

    # -- lifecycle ---------------------------------------------------------------

    def start(self) -> "GateServer":
        if not self._started:
            self._started = True
            self._acceptor.start()
        return self

    def stop(self) -> None:
        """Stops accepting, closes every connection (a hung one included) and joins the threads."""
        self._stopping.set()
        if self._started:
            self._acceptor.join(timeout=5)
        with self._lock:
            threads = list(self._threads)
        for thread in threads:
            thread.join(timeout=5)
        self._listener.close()

    def __enter__(self) -> "GateServer":
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    # -- what was received ------------------------------------------------------

    @property
    def requests(self) -> list[bytes]:
        """Every complete request line received so far, line feed included, in arrival order."""
        with self._lock:
            return list(self._requests)

    @property
    def connections(self) -> int:
        """How many connections have been accepted."""
        with self._lock:
            return self._connections

    def wait_for_requests(self, count: int, timeout: float = 5.0) -> list[bytes]:
        """Waits until at least `count` request lines have arrived; raises TimeoutError otherwise."""
        with self._changed:
            if not self._changed.wait_for(lambda: len(self._requests) >= count, timeout):
                raise TimeoutError(f"{len(self._requests)} of {count} requests arrived")
            return list(self._requests)

    # -- serving ------------------------------------------------------------------

    def _accept_loop(self) -> None:
        while not self._stopping.is_set():
            ready, _, _ = select.select([self._listener], [], [], _POLL_SECONDS)
            if not ready:
                continue
            conn, _ = self._listener.accept()
            with self._lock:
                self._connections += 1
                thread = threading.Thread(target=self._serve, args=(conn,), name="gate-server-conn", daemon=True)
                self._threads.append(thread)
            thread.start()

    def _serve(self, conn: socket.socket) -> None:
        conn.settimeout(_POLL_SECONDS)
        answering = True
        pending = b""
        try:
            if self._on_connect is not None:
                answering = self._perform(conn, self._on_connect)
                if answering is None:
                    return
            while not self._stopping.is_set():
                try:
                    chunk = conn.recv(65536)
                except socket.timeout:
                    continue
                except OSError:
                    return
                if not chunk:
                    return
                pending += chunk
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    line += b"\n"
                    with self._changed:
                        self._requests.append(line)
                        self._changed.notify_all()
                    if answering:
                        answering = self._perform(conn, self._respond(line))
                        if answering is None:
                            return
        finally:
            conn.close()

    @staticmethod
    def _perform(conn: socket.socket, entry: Entry) -> bool | None:
        """Carries out one entry: True to keep answering, False to stay silent, None when closed."""
        action = entry if isinstance(entry, Action) else send(bytes(entry))
        if action.then not in ("continue", "close", "reset", "hang"):
            raise ValueError(f"unknown action {action.then!r}")
        if action.data:
            conn.settimeout(None)
            conn.sendall(action.data)
            conn.settimeout(_POLL_SECONDS)
        if action.then == "close":
            conn.close()
            return None
        if action.then == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            conn.close()
            return None
        return action.then == "continue"
