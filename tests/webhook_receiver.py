"""webhook_receiver.py: a local HTTP or HTTPS server that takes the gate's notifications
and answers them as a test scripts it."""

from __future__ import annotations

import http.server
import json
import socket
import ssl
import threading
import time


class Receiver:
    """Records every POST (headers lower-cased, raw body). `statuses` are answered in
    turn, then 204 for good; a port may be given so that a receiver comes up where a
    gate was told to send before it listened."""

    def __init__(self, statuses=(), tls: tuple[str, str] | None = None, port: int = 0):
        self.statuses = list(statuses)
        self.received: list[tuple[dict, bytes]] = []
        self.paths: list[str] = []  # of each delivered one, in turn with `received`
        self.answered: list[int] = []
        self.ids: list[str | None] = []  # of every request, answered 2xx or not
        self._lock = threading.Lock()
        receiver = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                body = self.rfile.read(length)
                with receiver._lock:
                    status = receiver.statuses.pop(0) if receiver.statuses else 204
                    receiver.answered.append(status)
                    receiver.ids.append(self.headers.get("webhook-id"))
                    if 200 <= status < 300:
                        receiver.received.append(
                            ({k.lower(): v for k, v in self.headers.items()}, body))
                        receiver.paths.append(self.path)
                self.send_response(status)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
        if tls is not None:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*tls)
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        self.url = f"{'https' if tls else 'http'}://127.0.0.1:{self.port}/hook"
        self._thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self) -> "Receiver":
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self.server.shutdown()
        self.server.server_close()

    def wait_for(self, count: int, seconds: float = 30) -> list[tuple[dict, dict]]:
        """The first `count` delivered notifications, headers and decoded body."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            with self._lock:
                if len(self.received) >= count:
                    return [(h, json.loads(b)) for h, b in self.received[:count]]
            time.sleep(0.02)
        raise AssertionError(f"{len(self.received)} of {count} notifications arrived; "
                             f"answers so far {self.answered}")


    def posted_to(self, path: str, count: int = 1, seconds: float = 30) -> dict:
        """The decoded body of the `count`th delivered POST to `path`."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            with self._lock:
                bodies = [body for at, (_, body) in zip(self.paths, self.received) if at == path]
                if len(bodies) >= count:
                    return json.loads(bodies[count - 1])
            time.sleep(0.02)
        raise AssertionError(f"{count} posts to {path} did not come; paths so far {self.paths}")


def free_port() -> int:
    """A port nothing listens on now (a receiver that is down)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
