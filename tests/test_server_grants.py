"""Grants remembered with an approval in the real latchwork-gate: later like calls of the
same rule released without a person (logged as the grant's), nothing wider, refused when
they would not cover the approval, ended by a revoke or by time, kept across a restart,
and shared by servers on one PostgreSQL database."""

from __future__ import annotations

import time

import pytest

from console_http import Console, write_approvers
from test_approver_commands import command
from test_notify_webhooks import secret  # noqa: F401  (a fixture)
from test_server_postgres_approvals import wait_until_held
from webhook_receiver import Receiver

RULES = """\
[[rule]]
name   = "payments"
effect = "pay:*"
action = "hold"
grantable = true

[[rule]]
name   = "transfers"
effect = "xfer:*"
action = "hold"
grantable = true

[[rule]]
name   = "refunds"
effect = "refund:*"
action = "hold"
"""
HELD = {"verdict": "held_for_approval"}
RELEASE = {"verdict": "release"}
LIKE = {"effect": "*", "run": "this", "for": "8h", "detail": {"/amount": {"le": 10}}}
APPROVERS = "ada:token-of-ada\nvic:token-of-vic:viewer\n"


def submit(key, amount=5, run="r"):
    return {"op": "submit", "run_id": run, "effect_key": key, "detail": {"amount": amount}}


def approve(console, key, remember, run="r"):
    return console.call("POST", "/api/decide", {"run_id": run, "effect_key": key, "approved": True,
                                                "remember": remember})


def pending(console):
    return [(item["run_id"], item["effect_key"]) for item in console.get("/api/pending")["items"]]


@pytest.fixture(params=["memory", "sqlite"])
def serve(request, gate_process, tmp_path):
    url = "memory:" if request.param == "memory" else f"sqlite:{tmp_path / 'gate.db'}"
    rules = tmp_path / "rules.toml"
    rules.write_text(RULES)
    approvers = write_approvers(tmp_path, APPROVERS)

    def start(*options):
        server = gate_process("--store", url, "--rules", str(rules), "--console", "127.0.0.1:0",
                              "--approvers", str(approvers), *options)
        return server, Console(server.console_port, "token-of-ada")
    start.durable = request.param != "memory"
    return start


def test_a_grant_releases_like_calls_of_its_rule_and_nothing_wider(serve):
    server, console = serve("--max-grant", "2h")
    assert server.request(submit("pay:1", 7)) == HELD
    reply = approve(console, "pay:1", LIKE)
    assert (reply.status, reply.json()["verdict"]) == (200, "approved")
    [grant] = console.get("/api/grants")["grants"]
    assert {k: grant[k] for k in ("rule", "effect", "run", "detail", "granted_by")} == {
        "rule": "payments", "effect": "*", "run": "r", "detail": {"/amount": {"le": 10}}, "granted_by": "ada"}
    assert grant["expires_at"] - grant["granted_at"] == 2 * 3600 * 1000  # cut to --max-grant
    if serve.durable:
        server.kill()
        server, console = serve()
    assert server.request(submit("pay:2", 10)) == RELEASE
    for wider in (submit("pay:3", 11), submit("pay:4", 1, run="other"), submit("xfer:1", 1),
                  submit("refund:1", 1)):
        assert server.request(wider) == HELD, wider
    assert sorted(pending(console)) == [("other", "pay:4"), ("r", "pay:1"), ("r", "pay:3"), ("r", "refund:1"),
                                        ("r", "xfer:1")]  # pay:1 approved, waiting for its submitter
    log = console.get("/api/audit?run=r")["items"]
    by_grant = [(e["effect_key"], e["verdict"], e["reason"]) for e in log if e["source"] == f"grant:{grant['id']}"]
    assert by_grant == [("pay:2", "release", "granted by ada")]
    assert [(e["event"], e["source"], e["reason"]) for e in log if e["event"] == "granted"] == [
        ("granted", "console:ada", f"grant:{grant['id']}")]


@pytest.mark.parametrize("key, remember, status, error", [
    ("pay:1", dict(LIKE, effect="pay:2*"), 422, "the grant must cover the approved effect"),
    ("refund:1", LIKE, 422, 'rule "refunds" is not grantable: each of its holds needs a person'),
    ("pay:1", dict(LIKE, run="some"), 400, '"remember.run" must be "this" or "any"'),
    ("pay:1", dict(LIKE, effect=""), 400, '"remember.effect" must be a glob of effect keys'),
    ("pay:1", dict(LIKE, detail={"/amount": {"below": 3}}), 400,
     '"remember.detail": detail "/amount": unknown test "below" (eq ne lt le gt ge in glob exists)'),
    ("pay:1", {"effect": "*", "for": "ever"}, 400, None),
])
def test_a_grant_that_would_not_cover_its_approval_changes_nothing(serve, key, remember, status, error):
    server, console = serve()
    assert server.request(submit(key)) == HELD
    reply = approve(console, key, remember)
    assert reply.status == status, reply.body
    if error is not None:
        assert reply.json() == {"error": error}
    assert pending(console) == [("r", key)]
    assert console.get("/api/grants") == {"grants": []}


def test_a_revoke_or_the_end_of_its_time_stops_a_grant(serve):
    server, console = serve()
    assert server.request(submit("pay:1")) == HELD
    assert approve(console, "pay:1", dict(LIKE, run="any")).status == 200
    [grant] = console.get("/api/grants")["grants"]
    assert grant["run"] is None
    assert server.request(submit("pay:2", run="s")) == RELEASE
    revoke = f"/api/grants/{grant['id']}/revoke"
    assert console.call("POST", revoke, token="token-of-vic").status == 403
    assert console.call("POST", "/api/grants/nosuchgrant/revoke").status == 404
    done = console.call("POST", revoke)
    assert (done.status, done.json()) == (200, {"revoked": grant["id"]})
    assert console.call("POST", revoke).status == 404
    assert server.request(submit("pay:3")) == HELD
    assert [e["reason"] for e in console.get("/api/audit")["items"] if e["event"] == "revoked"] == [
        f"grant:{grant['id']}"]

    done = command(server, "approve", "r", "pay:3", "--remember", "pay:*", "--remember-for", "1s",
                   "--remember-detail", '{"/amount": {"le": 10}}', token="token-of-ada")
    assert (done.returncode, done.stdout) == (0, "approved\n"), done.stderr
    [grant] = console.get("/api/grants")["grants"]
    assert (grant["run"], grant["detail"], grant["expires_at"] - grant["granted_at"]) == (
        "r", {"/amount": {"le": 10}}, 1000)
    if serve.durable:
        server.kill()
        server, console = serve()
    while console.get("/api/grants")["grants"]:
        time.sleep(0.05)
    assert server.request(submit("pay:4")) == HELD


@pytest.mark.parametrize("events, told", [("all", ["held", "approved", "held"]),
                                          ("all,auto", ["held", "approved", "approved", "held"])])
def test_a_grants_release_is_told_only_to_receivers_that_ask_for_auto(gate_process, tmp_path, secret,
                                                                      events, told):
    rules = tmp_path / "rules.toml"
    rules.write_text(RULES)
    approvers = write_approvers(tmp_path, APPROVERS)
    with Receiver() as receiver:
        server = gate_process("--rules", str(rules), "--console", "127.0.0.1:0", "--approvers", str(approvers),
                              "--notify", receiver.url, "--notify-secret-file", secret[1], "--notify-events", events)
        assert server.request(submit("pay:1")) == HELD
        assert approve(Console(server.console_port, "token-of-ada"), "pay:1", LIKE).status == 200
        assert server.request(submit("pay:2")) == RELEASE
        assert server.request(submit("pay:3", 99)) == HELD
        received = receiver.wait_for(len(told))
    assert [(body["type"], body["data"]["effect_key"]) for _, body in received][-1] == ("held", "pay:3")
    assert [body["type"] for _, body in received] == told
    if len(told) == 4:
        assert received[2][1]["data"]["decided_by"].startswith("grant:")


@pytest.mark.postgres
def test_a_grant_made_or_revoked_on_one_server_is_obeyed_by_another(new_postgres_store, gate_process,
                                                                     tmp_path):
    url = new_postgres_store()
    rules = tmp_path / "rules.toml"
    rules.write_text(RULES)
    approvers = write_approvers(tmp_path, APPROVERS)
    servers = [gate_process("--rules", str(rules), "--console", "127.0.0.1:0", "--approvers", str(approvers),
                            store=url) for _ in range(2)]
    (one, first), (two, second) = [(server, Console(server.console_port, "token-of-ada")) for server in servers]
    assert one.request(submit("pay:1")) == HELD
    assert approve(first, "pay:1", LIKE).status == 200
    assert two.request(submit("pay:2")) == RELEASE
    [grant] = second.get("/api/grants")["grants"]
    assert second.call("POST", f"/api/grants/{grant['id']}/revoke").status == 200
    assert one.request(submit("pay:3")) == HELD
    wait_until_held(first, "r", "pay:3")
    assert first.get("/api/grants") == {"grants": []}
