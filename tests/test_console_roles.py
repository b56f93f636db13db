"""Viewers on the console: they read everything and decide nothing."""

from __future__ import annotations

import pytest

import latchwork
from console_http import Console, EventStream, quote, write_approvers

APPROVERS = "alice:token-of-alice\nbob:token-of-bob:approver\ncarol:token-of-carol:viewer\n"


@pytest.fixture
def served(gate_process, tmp_path):
    approvers = write_approvers(tmp_path, APPROVERS)
    process = gate_process("--console", "127.0.0.1:0", "--approvers", str(approvers))
    return process, Console(process.console_port, "token-of-carol")


def held(process, *effects):
    gate = latchwork.GateClient(process.address)
    for run_id, key in effects:
        assert gate.submit(run_id, key, True).kind == "held_for_approval"


def test_me_names_the_user_and_role(served):
    _, viewer = served
    assert viewer.get("/api/me") == {"name": "carol", "role": "viewer"}
    assert viewer.get("/api/me", token="token-of-bob") == {"name": "bob", "role": "approver"}
    assert viewer.call("GET", "/api/me", token="nobody").status == 401


def test_a_viewer_reads_everything_and_decides_nothing(served):
    process, viewer = served
    stream = EventStream(viewer)
    held(process, ("run a", "deploy/prod"))
    assert stream.next_event()[0] == "held"
    stream.connection.close()
    for path in ("/api/pending", "/api/runs/run%20a", "/api/audit", "/api/notifications"):
        assert viewer.call("GET", path).status == 200, path
    assert viewer.call("GET", "/metrics").status == 200
    before = (viewer.get("/api/pending"), viewer.get("/api/audit"))
    refused = [viewer.decide_call("run a", "deploy/prod", True),
               viewer.decide_call("run a", "deploy/prod", False, "no"),
               viewer.call("POST", f"/api/runs/{quote('run a')}/cancel"),
               viewer.call("POST", f"/api/runs/{quote('run a')}/close")]
    for reply in refused:
        assert (reply.status, reply.json()) == (403, {"error": "viewer carol may not decide"})
    assert (viewer.get("/api/pending"), viewer.get("/api/audit")) == before
    # An approver on the same console still decides.
    assert viewer.decide_call("run a", "deploy/prod", True, token="token-of-alice").status == 200
