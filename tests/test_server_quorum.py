"""A rule's quorum: approvals short of it are recorded and kept with the waiting effect
(across a restart on SQLite, upgraded in place from an old file), the Nth distinct one
approves it, one rejection vetoes it; and on PostgreSQL two servers' approvals made at
the same moment make exactly one transition."""
import json
import sqlite3
import threading

import pytest

from console_http import Console, write_approvers
from test_server_postgres_approvals import wait_until_held
from test_sqlite_approvals import VERSION_TWO

RULES = """\
[[rule]]
name      = "payments"
effect    = "pay:*"
action    = "hold"
approvers = ["ada", "bob", "carol"]
quorum    = 2
"""
PEOPLE = "ada:token-of-ada\nbob:token-of-bob\ncarol:token-of-carol\ndave:token-of-dave\n"


def submit_line(key, wait_ms=0):
    return json.dumps({"op": "submit", "run_id": "pay", "effect_key": key,
                       "wait_ms": wait_ms}).encode() + b"\n"


def decide(server, who, key, approved):
    reply = Console(server.console_port, f"token-of-{who}").decide_call("pay", key, approved)
    return reply.status, reply.json()


@pytest.mark.parametrize("store", ["memory", "sqlite"])
def test_a_quorum_approves_on_its_nth_distinct_approval_and_one_rejection_vetoes(
        gate_process, tmp_path, store):
    rules = tmp_path / "rules.toml"
    rules.write_text(RULES)
    approvers = write_approvers(tmp_path, PEOPLE)
    url = "memory:"
    if store == "sqlite":  # an old file, upgraded in place to take the new entries
        with sqlite3.connect(tmp_path / "gate.db") as db:
            db.executescript(VERSION_TWO)
        url = f"sqlite:{tmp_path / 'gate.db'}"

    def serve():
        return gate_process("--store", url, "--rules", str(rules), "--console", "127.0.0.1:0",
                            "--approvers", str(approvers))

    server = serve()
    waiting = server.connect()
    waiting.send(submit_line("pay:1", 30000))
    console = Console(server.console_port, "token-of-ada")
    wait_until_held(console, "pay", "pay:1")
    assert server.request(json.loads(submit_line("pay:2"))) == {"verdict": "held_for_approval"}

    assert decide(server, "ada", "pay:1", True) == (
        200, {"verdict": "approval_recorded", "approvals": ["ada"], "quorum": 2})
    assert decide(server, "ada", "pay:1", True) == (409, {"error": "already approved by ada"})
    assert decide(server, "dave", "pay:1", True) == (403, {"error": "dave may not decide this effect"})
    if store == "sqlite":
        server.kill()
        server = serve()
        console = Console(server.console_port, "token-of-ada")
        assert decide(server, "ada", "pay:1", True) == (409, {"error": "already approved by ada"})
        waiting = server.connect()
        waiting.send(submit_line("pay:1", 30000))
    listed = {i["effect_key"]: (i["state"], i["quorum"], i["approvals"])
              for i in console.get("/api/pending?run=pay")["items"] if i["effect_key"] != "old"}
    assert listed == {"pay:1": ("held", 2, ["ada"]), "pay:2": ("held", 2, [])}

    assert decide(server, "bob", "pay:1", True) == (200, {"verdict": "approved"})
    assert waiting.reply() == {"verdict": "release"}
    assert server.request(json.loads(submit_line("pay:1"))) == {"verdict": "refused_duplicate"}

    assert decide(server, "carol", "pay:2", True)[1]["verdict"] == "approval_recorded"
    assert decide(server, "bob", "pay:2", False) == (200, {"verdict": "refused_rejected"})
    assert server.request(json.loads(submit_line("pay:2"))) == {"verdict": "refused_rejected"}

    # Who decided, told later, is whose approval completed the quorum.
    assert server.request(json.loads(submit_line("pay:3"))) == {"verdict": "held_for_approval"}
    assert decide(server, "carol", "pay:3", True)[1]["verdict"] == "approval_recorded"
    assert decide(server, "ada", "pay:3", True) == (200, {"verdict": "approved"})
    status, late = decide(server, "bob", "pay:3", True)
    assert (status, late["state"], late["decided_by"]) == (409, "approved", "ada")

    # Who: a person's name; a line peer's door alone (its port is the client's).
    log = [(e["event"], e["effect_key"], e["source"] if e["source"].startswith("console:")
            else e["source"].split(":")[0], e["verdict"])
           for e in console.get("/api/audit?run=pay")["items"] if e["event"] != "held"]
    assert log == [
        ("approval_recorded", "pay:1", "console:ada", "approval_recorded"),
        ("decided", "pay:1", "console:bob", "approved"),
        ("taken", "pay:1", "line", "release"),
        ("approval_recorded", "pay:2", "console:carol", "approval_recorded"),
        ("decided", "pay:2", "console:bob", "refused_rejected"),
        ("approval_recorded", "pay:3", "console:carol", "approval_recorded"),
        ("decided", "pay:3", "console:ada", "approved"),
    ]


@pytest.mark.postgres
def test_two_servers_approving_at_the_same_moment_make_one_transition(
        new_postgres_store, gate_process, tmp_path):
    url = new_postgres_store()
    rules = tmp_path / "rules.toml"
    rules.write_text(RULES)
    approvers = write_approvers(tmp_path, PEOPLE)
    servers = [gate_process("--store", url, "--rules", str(rules), "--console", "127.0.0.1:0",
                            "--approvers", str(approvers)) for _ in range(2)]
    consoles = [Console(servers[0].console_port, "token-of-ada"),
                Console(servers[1].console_port, "token-of-bob")]
    for round_number in range(5):
        key = f"pay:{round_number}"
        waiting = servers[0].connect()
        waiting.send(submit_line(key, 30000))
        wait_until_held(consoles[1], "pay", key)
        start = threading.Barrier(2)
        replies = [None, None]

        def approve(index):
            start.wait()
            reply = consoles[index].decide_call("pay", key, True)
            replies[index] = (reply.status, reply.json()["verdict"])

        threads = [threading.Thread(target=approve, args=(i,)) for i in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert sorted(replies) == [(200, "approval_recorded"), (200, "approved")], replies
        assert waiting.reply() == {"verdict": "release"}
        assert servers[1].request(json.loads(submit_line(key))) == {"verdict": "refused_duplicate"}
        events = [(e["event"], e["verdict"]) for e in consoles[0].get("/api/audit?run=pay")["items"]
                  if e["effect_key"] == key and e["event"] != "held"]
        assert events == [("approval_recorded", "approval_recorded"), ("decided", "approved"),
                          ("taken", "release")]
