"""conftest.py: shared fixtures, among them the scriptable test gate server."""

from __future__ import annotations

import faulthandler

import pytest

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
