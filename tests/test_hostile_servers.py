"""Servers that misbehave on purpose: endless and deeply nested lines, broken UTF-8, replies
dripped byte by byte, connections closed or reset under the client."""

from __future__ import annotations

import contextlib
import json
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import latchwork
import gate_server as gs
from support import UNDER_SANITIZER, failures_after_the_end

RELEASE = b'{"verdict":"release"}\n'
MiB = 1024 * 1024


@contextlib.contextmanager
def raw_server(handler):
    """Runs handler(connection) for the first connection to a loopback port; yields the address."""
    listener = socket.create_server(("127.0.0.1", 0))
    accepted: list[socket.socket] = []

    def serve() -> None:
        with contextlib.suppress(OSError):  # the client went away, or none came
            connection, _ = listener.accept()
            accepted.append(connection)
            with connection:
                handler(connection)

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    try:
        yield f"127.0.0.1:{listener.getsockname()[1]}"
    finally:
        for sock in (listener, *accepted):  # wakes an accept, or a handler blocked in a send
            with contextlib.suppress(OSError):
                sock.shutdown(socket.SHUT_RDWR)
        listener.close()
        thread.join(timeout=10)


def read_request(connection: socket.socket) -> bytes:
    request = b""
    while not request.endswith(b"\n"):
        chunk = connection.recv(1)
        if not chunk:
            raise OSError("client went away")
        request += chunk
    return request


def status_kib(name: str) -> int:
    return int(re.search(rf"^{name}:\s+(\d+) kB", Path("/proc/self/status").read_text(), re.M).group(1))


def failure(call) -> str:
    with pytest.raises(RuntimeError) as caught:
        call()
    return str(caught.value)


def test_a_line_that_never_ends_stops_at_the_cap_with_bounded_memory():
    chunk = memoryview(b"x" * MiB)

    def endless(connection: socket.socket) -> None:
        read_request(connection)
        while True:
            connection.sendall(chunk)

    with raw_server(endless) as address:
        client = latchwork.GateClient(address)
        baseline = status_kib("VmRSS")
        Path("/proc/self/clear_refs").write_text("5")  # restarts the peak at the current size
        for _ in range(2):  # the second call reads on in the same endless line
            assert failure(client.ping) == "gate read failed: reply line exceeds 67108864 bytes"
        peak_growth = (status_kib("VmHWM") - baseline) * 1024
        del client  # the server's next send fails, and it stops
    if not UNDER_SANITIZER:  # whose quarantine keeps freed memory resident
        assert peak_growth < 200 * MiB


@pytest.mark.parametrize(
    "opening, column",
    [("[", 128), ('{"a":', 636), ('[{"":', 317)],
    ids=["arrays", "objects", "alternating"],
)
def test_a_million_levels_of_nesting_stop_at_the_depth_limit(gate_server, opening, column):
    line = opening * 1_000_000 + "\n"
    client = latchwork.GateClient(gate_server([line.encode(), RELEASE]).address)
    quoted = line.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
    message = failure(client.ping)
    assert len(message) > len(line)  # the whole line is quoted
    assert message == f'bad gate reply "{quoted}": recursion limit exceeded at line 1 column {column}'
    assert client.ping().kind == "release"  # and the next line is read as the next reply


def test_a_reply_dripped_byte_by_byte():
    replies = ['  {"verdict":"é€😀"}\r\n'.encode(), b'{"verdict":"error","message":"slow"}\n']

    def drip(connection: socket.socket) -> None:
        for reply in replies:
            read_request(connection)
            for i in range(len(reply)):
                connection.sendall(reply[i:i + 1])
                time.sleep(0.002)
        read_request(connection)
        connection.sendall(RELEASE)

    with raw_server(drip) as address:
        client = latchwork.GateClient(address)
        assert client.submit("r", "e").kind == "é€😀"
        assert failure(lambda: client.decide("r", "e", True)) == "gate error: slow"
        assert client.cancel("r").kind == "release"


BAD_UTF8 = "gate read failed: stream did not contain valid UTF-8"
BOUNDARY = 8192  # the receive buffer's size: a read ends there


@pytest.mark.parametrize(
    "first, outcome",
    [
        (b'\xff{"verdict":"release"}\n', BAD_UTF8),
        (b'{"verdict":"rel\xc3\x28ase"}\n', BAD_UTF8),
        (b'{"verdict":"release"}\xe2\x82\n', BAD_UTF8),
        (b'{"verdict":"release"}\xf4\x90\x80\x80\n', BAD_UTF8),
        (b" " * (BOUNDARY - 1) + b'\xe2\x82{"verdict":"release"}\n', BAD_UTF8),
        (b" " * (BOUNDARY - 13) + '{"verdict":"€"}\n'.encode(), "€"),
        (b" " * (BOUNDARY - 14) + '{"verdict":"😀"}\n'.encode(), "😀"),
    ],
    ids=["start", "middle", "end-truncated", "end-beyond-unicode", "split-at-buffer-end", "valid-split-at-buffer-end",
         "valid-4-byte-split"],
)
def test_invalid_utf8_consumes_its_line_only(gate_server, first, outcome):
    # The bad line and the next one arrive together: the next call reads the next line.
    client = latchwork.GateClient(gate_server([first + b'{"verdict":"next"}\n', gs.HANG]).address)
    try:
        assert client.ping().kind == outcome
    except RuntimeError as error:
        assert str(error) == outcome
    assert client.ping().kind == "next"


# What the system may report for a call on a connection the server has ended.
AFTER_THE_END = {
    "gate write failed: Broken pipe (os error 32)",
    "gate write failed: Connection reset by peer (os error 104)",
    "gate read failed: Connection reset by peer (os error 104)",
    "gate closed the connection",
}


# How each connection ends: what the server does on connecting, and at the first request.
ENDINGS = {
    "closed-before-any-request": (gs.CLOSE, None),
    "reset-before-any-request": (gs.RESET, None),
    "closed-at-the-first-request": (None, gs.CLOSE),
    "reset-at-the-first-request": (None, gs.RESET),
    "reset-after-part-of-a-reply": (None, gs.reset(b'{"verdict":"rel')),
}
# The child restores the default action of SIGPIPE, which the interpreter ignores: a
# write that raised it would end the process.
CHILD = """
import json, signal, sys
sys.path.insert(0, sys.argv[1])
signal.signal(signal.SIGPIPE, signal.SIG_DFL)
from support import failures_after_the_end
print(json.dumps(failures_after_the_end(sys.argv[2])))
"""


@pytest.mark.parametrize("ending", ENDINGS)
def test_a_server_that_has_gone_fails_every_later_call_without_sigpipe(gate_server, ending):
    on_connect, at_request = ENDINGS[ending]
    server = gate_server(lambda _line: at_request, on_connect=on_connect)
    child = subprocess.run([sys.executable, "-c", CHILD, str(Path(__file__).parent), server.address],
                           capture_output=True, text=True, timeout=60)
    assert child.returncode != -signal.SIGPIPE, "a write raised SIGPIPE"
    assert (child.returncode, child.stderr) == (0, "")
    in_child = json.loads(child.stdout)
    in_process = failures_after_the_end(server.address)
    for seen in (in_child, in_process):
        assert len(seen) == 200 and set(seen) <= AFTER_THE_END, set(seen) - AFTER_THE_END
    assert "gate write failed: Broken pipe (os error 32)" in in_child  # the write that would signal
