"""An approver's edits: a changed detail approved within what the submitter marked
editable reaches only a worker that can take it, restarts a quorum's count, and stays
with the waiting effect across a restart (SQLite) and between servers (PostgreSQL)."""
import json
import os
import sqlite3

import pytest

from console_http import Console, write_approvers
from gate_process import run_gate
from test_server_postgres_approvals import wait_until_held
from test_sqlite_approvals import VERSION_TWO

RULES = """\
[[rule]]
name      = "payments"
effect    = "pay:*"
action    = "hold"
approvers = ["ada", "bob"]
quorum    = 2
"""
PEOPLE = "ada:token-of-ada\nbob:token-of-bob\n"
DETAIL = {"amount": 100, "to": "acme", "memo": "march"}
EDITABLE = ["/amount", "/to"]


def submit(key, *, attempt=None, editable=None, wait_ms=0, detail=DETAIL, needs_approval=True):
    request = {"op": "submit", "run_id": "r", "effect_key": key, "detail": detail,
               "needs_approval": needs_approval, "wait_ms": wait_ms}
    if attempt is not None:
        request["attempt"] = attempt
    if editable is not None:
        request["editable"] = editable
    return request


def approve(console, key, detail=None, approved=True, who="ada"):
    body = {"run_id": "r", "effect_key": key, "approved": approved}
    if detail is not None:
        body["detail"] = detail
    reply = console.call("POST", "/api/decide", body, token=f"token-of-{who}")
    return reply.status, reply.json()


def pending(console):
    return {item["effect_key"]: (item["state"], item["editable"], item["edited_detail"], item["approvals"])
            for item in console.get("/api/pending?run=r")["items"] if item["effect_key"] != "old"}


@pytest.mark.parametrize("store", ["memory", "sqlite"])
def test_an_edited_approval_reaches_only_a_worker_that_can_take_it(gate_process, tmp_path, store):
    rules = tmp_path / "rules.toml"
    rules.write_text(RULES)
    approvers = write_approvers(tmp_path, PEOPLE)
    url = "memory:"
    if store == "sqlite":  # an old file, upgraded in place through every step
        with sqlite3.connect(tmp_path / "gate.db") as db:
            db.executescript(VERSION_TWO)
        url = f"sqlite:{tmp_path / 'gate.db'}"

    def serve():
        return gate_process("--store", url, "--rules", str(rules), "--console", "127.0.0.1:0",
                            "--approvers", str(approvers), "--max-detail", "256")

    server = serve()
    console = Console(server.console_port, "token-of-ada")
    edited = {**DETAIL, "amount": 90}

    # Refused edits change nothing.
    assert server.request(submit("fixed")) == {"verdict": "held_for_approval"}
    assert server.request(submit("send", editable=EDITABLE)) == {"verdict": "held_for_approval"}
    for key, detail, approved, answer in [
        ("send", {**DETAIL, "memo": "april"}, True, (422, {"error": "only /amount, /to may be changed"})),
        ("send", {"amount": 90, "to": "acme"}, True, (422, {"error": "only /amount, /to may be changed"})),
        ("fixed", edited, True, (422, {"error": "nothing in this effect's detail may be changed"})),
        ("send", {**DETAIL, "to": "x" * 300}, True, (422, {"error": "member detail is longer than 256 bytes"})),
        ("send", edited, False, (400, {"error": "\"detail\" goes with an approval only"})),
    ]:
        assert approve(console, key, detail, approved) == answer, key
    for bad in [["amount"], ["/a~2"], "/amount", ["/x"] * 65, ["/" + "x" * 256]]:
        assert server.request(submit("bad", editable=bad))["verdict"] == "error", bad

    # A worker with an attempt, waiting, is handed the approved detail.
    waiting = server.connect()
    waiting.send(json.dumps(submit("send", attempt="a1", editable=EDITABLE, wait_ms=30000)).encode() + b"\n")
    wait_until_held(console, "r", "send")
    assert approve(console, "send", edited) == (200, {"verdict": "approved"})
    assert waiting.reply() == {"detail": edited, "verdict": "release"}
    # Its reply lost, the worker's retry is handed the approved detail again.
    assert server.request(submit("send", attempt="a1")) == {"again": True, "detail": edited,
                                                            "verdict": "release"}

    # One without an attempt or editable is refused and the approval stays to be taken.
    assert server.request(submit("later", editable=EDITABLE)) == {"verdict": "held_for_approval"}
    assert approve(console, "later", {**DETAIL, "to": "globex"}) == (200, {"verdict": "approved"})
    refused = server.request(submit("later"))
    assert refused == {"verdict": "error", "message":
                       "effect was approved with changes: take it with a client that sends an attempt"}

    # Under a quorum an edit starts the count again, its approver's the first.
    assert server.request(submit("pay:1", editable=EDITABLE)) == {"verdict": "held_for_approval"}
    assert approve(console, "pay:1")[1]["approvals"] == ["ada"]
    assert approve(console, "pay:1", edited, who="bob") == (
        200, {"verdict": "approval_recorded", "approvals": ["bob"], "quorum": 2})
    if store == "sqlite":
        server.kill()
        server = serve()
        console = Console(server.console_port, "token-of-ada")
    assert pending(console) == {
        "fixed": ("held", [], None, []),
        "later": ("approved", EDITABLE, {**DETAIL, "to": "globex"}, []),
        "pay:1": ("held", EDITABLE, edited, ["bob"]),
    }
    assert server.request(submit("send", attempt="a1"))["detail"] == edited  # kept across it
    assert approve(console, "pay:1", edited) == (200, {"verdict": "approved"})
    # The waiting detail used for matching stays the submitted one.
    assert server.request(submit("pay:1", attempt="a2")) == {"detail": edited, "verdict": "release"}
    assert server.request(submit("later", editable=EDITABLE)) == {
        "detail": {**DETAIL, "to": "globex"}, "verdict": "release"}

    # The held entry keeps the submitted detail, each edit and what came of it the changed one.
    log = [(e["event"], e["source"].removeprefix("console:").split(":")[0], e["detail"], e["edited"])
           for e in console.get("/api/audit?run=r")["items"] if e["effect_key"] == "pay:1"]
    assert log == [("held", "line", DETAIL, False), ("approval_recorded", "ada", None, False),
                   ("approval_recorded", "bob", edited, True), ("decided", "ada", edited, True),
                   ("taken", "line", edited, True)]


@pytest.mark.postgres
def test_an_edit_on_one_server_reaches_a_worker_waiting_on_another(new_postgres_store, gate_process, tmp_path):
    url = new_postgres_store()
    approvers = write_approvers(tmp_path, PEOPLE)
    servers = [gate_process("--store", url, "--console", "127.0.0.1:0", "--approvers", str(approvers))
               for _ in range(2)]
    console = Console(servers[1].console_port, "token-of-ada")
    waiting = servers[0].connect()
    waiting.send(json.dumps(submit("send", attempt="a1", editable=EDITABLE, wait_ms=30000)).encode() + b"\n")
    wait_until_held(console, "r", "send")
    assert pending(console) == {"send": ("held", EDITABLE, None, [])}
    edited = {**DETAIL, "to": "globex"}
    assert approve(console, "send", {**DETAIL, "memo": "x"})[0] == 422
    assert approve(console, "send", edited) == (200, {"verdict": "approved"})
    assert waiting.reply() == {"detail": edited, "verdict": "release"}
    decided = [e for e in console.get("/api/audit?run=r")["items"] if e["event"] == "decided"]
    assert [(e["detail"], e["edited"]) for e in decided] == [(edited, True)]


def test_approve_set_changes_the_detail_it_approves(gate_process, tmp_path):
    approvers = write_approvers(tmp_path, PEOPLE)
    server = gate_process("--console", "127.0.0.1:0", "--approvers", str(approvers))
    assert server.request(submit("send", editable=EDITABLE)) == {"verdict": "held_for_approval"}
    env = {**os.environ, "LATCHWORK_TOKEN": "token-of-ada"}

    def approve_with(*sets):
        return run_gate("approve", "--console", server.console_url, "r", "send",
                        *[part for s in sets for part in ("--set", s)], env=env)

    outside = approve_with("/memo=april")
    assert (outside.returncode, outside.stderr) == (
        1, "latchwork-gate: the console answered 422: only /amount, /to may be changed\n")
    assert approve_with("/nowhere/deep=1").returncode == 2
    done = approve_with("/amount=90", "/to=globex inc")
    assert (done.returncode, done.stdout) == (0, "approved\n"), done.stderr
    assert server.request(submit("send", attempt="a")) == {
        "detail": {**DETAIL, "amount": 90, "to": "globex inc"}, "verdict": "release"}
