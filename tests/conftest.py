"""conftest.py: shared fixtures, among them the scriptable test gate server."""

from __future__ import annotations

import faulthandler

import pytest

from gate_process import GateProcess
from gate_server import GateServer

# A test stuck in native code (a lost reply, a lock never released) holds no Python
# timeout; the watchdog thread needs no interpreter lock and ends the run instead.
_WATCHDOG_SECONDS = 120


@pytest.fixture(autouse=True)
def _watchdog():
    faulthandler.dump_traceback_later(_WATCHDOG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def gate_server():
    """Starts GateServer(script, **options) on demand; every server is stopped after the test.

    Usage: server = gate_server([b'{"verdict":"release"}\\n']); connect to server.address.
    """
    servers: list[GateServer] = []

    def start(script=(), **options) -> GateServer:
        server = GateServer(script, **options).start()
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.stop()


@pytest.fixture
def gate_process():
    """Starts the real latchwork-gate (GateProcess(*options)) on demand, each on a free
    port; every one still running is stopped after the test.

    Usage: server = gate_process("--secret-file", path); connect to server.address.
    """
    processes: list[GateProcess] = []

    def start(*options: str, **keywords) -> GateProcess:
        process = GateProcess(*options, **keywords)
        processes.append(process)
        return process.start()

    yield start
    ended_badly = []
    for process in processes:
        running = process.process.poll() is None
        code = process.stop()
        # SIGTERM is an orderly stop: anything but 0 is a fault at shut-down.
        if running and code != 0:
            ended_badly.append(f"exit code {code}: {process.stderr()}")
    assert not ended_badly
