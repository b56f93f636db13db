"""gate_process.py: the installed latchwork-gate, started on a free port and spoken to.

GateProcess starts the real server program with `serve --listen 127.0.0.1:0`, the
memory store unless a test names a store, and whatever options a test adds, waits for its "listening on HOST:PORT" line and stops
it with SIGTERM (SIGKILL if it will not go). RawConnection speaks the wire protocol
over a plain socket; ServerGate puts GateClient and raw requests together into an
object with the in-process Gate's eight methods, so one table can test both.
"""

from __future__ import annotations

import json
import os
import pathlib
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import latchwork

# The sanitizer build starts and answers slowly; a lost ready line is still caught.
READY_SECONDS = 60
STOP_SECONDS = 30


def gate_executable() -> str:
    """$LATCHWORK_GATE when set (a build tree's program), else the latchwork-gate that pip
    installed beside this interpreter, else the one on PATH."""
    chosen = os.environ.get("LATCHWORK_GATE")
    if chosen:
        return chosen
    beside = pathlib.Path(sys.executable).parent / "latchwork-gate"
    if beside.is_file():
        return str(beside)
    found = shutil.which("latchwork-gate")
    if found is None:
        raise RuntimeError("latchwork-gate is not installed (make install-test installs it)")
    return found


def encode(request) -> bytes:
    """A request object as one compact line, members sorted as a client writes them."""
    return json.dumps(request, separators=(",", ":"), sort_keys=True,
                      ensure_ascii=False).encode() + b"\n"


class RawConnection:
    """One TCP connection to the server, read line by line."""

    def __init__(self, port: int, timeout: float = 30):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.reader = self.socket.makefile("rb")

    def send(self, data: bytes) -> None:
        self.socket.sendall(data)

    def read_line(self) -> bytes:
        return self.reader.readline()

    def reply(self) -> dict:
        line = self.read_line()
        assert line.endswith(b"\n"), line
        return json.loads(line)

    def request(self, request) -> dict:
        self.send(encode(request))
        return self.reply()

    def close(self) -> None:
        self.reader.close()
        self.socket.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class GateProcess:
    def __init__(self, *options: str, listen: str = "127.0.0.1:0", store: str | None = "memory:",
                 cwd=None, env=None):
        # Durability is for the tests that ask for it (--store sqlite:PATH); the rest
        # leave no database behind. store=None starts on the program's default store.
        if store is not None and "--store" not in options:
            options = ("--store", store, *options)
        self.command = [gate_executable(), "serve", "--listen", listen, *options]
        # With --console a second ready line names the console's URL.
        self.console_url = ""
        self.console_port = 0
        self.cwd = cwd
        self.env = env  # the environment, when not this process's
        self.process: subprocess.Popen | None = None
        self.stderr_lines: list[str] = []
        self._stderr_reader: threading.Thread | None = None
        self.ready_line = ""
        self.port = 0

    @property
    def address(self) -> str:
        return f"127.0.0.1:{self.port}"

    def start(self) -> "GateProcess":
        self.process = subprocess.Popen(self.command, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, cwd=self.cwd, env=self.env)
        # Standard error is drained all along, so the server never blocks on it.
        self._stderr_reader = threading.Thread(target=self._read_stderr, daemon=True)
        self._stderr_reader.start()
        self.ready_line = self._wait_for_ready_line()
        self.port = int(self.ready_line.rsplit(":", 1)[1])
        if "--console" in self.command:
            # Flushed together with the first, so it may sit in the reader's buffer
            # already, where select() would not see it.
            line = self.process.stdout.readline().decode().rstrip("\n")
            assert line.startswith("console on "), (line, self.stderr())
            self.console_url = line.removeprefix("console on ")
            self.console_port = int(self.console_url.rstrip("/").rsplit(":", 1)[1])
        return self

    def _read_stderr(self) -> None:
        for line in self.process.stderr:
            self.stderr_lines.append(line.decode(errors="replace").rstrip("\n"))

    def _wait_for_ready_line(self) -> str:
        deadline = time.monotonic() + READY_SECONDS
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.process.stdout], [], [], 0.1)
            if ready:
                line = self.process.stdout.readline().decode()
                if not line:
                    break  # it ended without listening
                assert line.startswith("listening on "), line
                return line.rstrip("\n")
        self.kill()
        raise RuntimeError(f"latchwork-gate did not listen: {self.stderr()}")

    def stderr(self) -> str:
        return "\n".join(self.stderr_lines)

    def connect(self, timeout: float = 30) -> RawConnection:
        return RawConnection(self.port, timeout)

    def request(self, request) -> dict:
        """One request on a connection of its own."""
        with self.connect() as connection:
            return connection.request(request)

    def signal(self, number: int = signal.SIGTERM) -> None:
        self.process.send_signal(number)

    def wait(self, timeout: float = STOP_SECONDS) -> int:
        code = self.process.wait(timeout)
        self._stderr_reader.join(timeout)
        return code

    def stop(self) -> int | None:
        """SIGTERM and wait for the exit code; SIGKILL if the server does not end."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            self.signal(signal.SIGTERM)
            try:
                self.process.wait(STOP_SECONDS)
            except subprocess.TimeoutExpired:
                self.kill()
        return self.close()

    def kill(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()

    def close(self) -> int:
        if self._stderr_reader is not None:
            self._stderr_reader.join(STOP_SECONDS)
        self.process.stdout.close()
        self.process.stderr.close()
        return self.process.returncode


def run_gate(*arguments: str, timeout: float = 60, env=None,
             cwd=None) -> subprocess.CompletedProcess:
    """Runs latchwork-gate to its end (for what it does without serving)."""
    return subprocess.run([gate_executable(), *arguments], capture_output=True, text=True,
                          timeout=timeout, env=env, cwd=cwd)


SCHEMA_LINE = re.compile(r"^schema version \d+$")


def migrate(url: str) -> str:
    """Runs `latchwork-gate migrate` on a store and checks that it succeeded; its line."""
    done = run_gate("migrate", "--store", url)
    assert done.returncode == 0, (done.returncode, done.stdout, done.stderr)
    assert SCHEMA_LINE.match(done.stdout.rstrip("\n")), done.stdout
    return done.stdout.rstrip("\n")


class ServerGate:
    """A running server seen as a Gate: GateClient for submit, decide and cancel; raw
    requests for the operations the client does not have."""

    def __init__(self, process: GateProcess, secret: bytes | None = None):
        if secret is None:
            self.client = latchwork.GateClient(process.address)
        else:
            self.client = latchwork.GateClient(process.address, secret)
        self.raw = process.connect()

    def submit(self, run_id, effect_key, needs_approval=False):
        return self.client.submit(run_id, effect_key, needs_approval)

    def decide(self, run_id, effect_key, approved):
        return self.client.decide(run_id, effect_key, approved)

    def cancel(self, run_id):
        assert self.client.cancel(run_id).kind == "ok"

    def close_run(self, run_id):
        assert self.raw.request({"op": "close_run", "run_id": run_id}) == {"verdict": "ok"}

    def _value(self, request):
        reply = self.raw.request(request)
        assert reply["verdict"] == "ok" and set(reply) == {"value", "verdict"}, reply
        return reply["value"]

    def is_cancelled(self, run_id):
        return self._value({"op": "is_cancelled", "run_id": run_id})

    def is_closed(self, run_id):
        return self._value({"op": "is_closed", "run_id": run_id})

    def pending_count(self):
        return self._value({"op": "pending_count"})

    def state_len(self):
        return self._value({"op": "state_len"})
