"""conftest.py: shared fixtures, among them the scriptable test gate server."""

from __future__ import annotations

import pytest

from gate_server import GateServer


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
