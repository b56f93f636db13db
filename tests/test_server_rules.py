"""The rules file decides new effects in the real latchwork-gate, on every store: release,
hold and reject whatever the client asked, a rule's hold settled by people only (by its
approvers, when it names them) or by its own timeout, also after a restart; read again
on SIGHUP; and in shadow mode only asked, counted and logged where they differ."""

from __future__ import annotations

import pytest

import re
import signal
import time

from console_http import Console, write_approvers
from gate_process import run_gate
from test_approver_commands import command
from test_notify_webhooks import secret  # noqa: F401  (a fixture)
from webhook_receiver import Receiver

RULES = """\
[[rule]]
name   = "small refunds"
effect = "refund:*"
action = "release"
[rule.detail]
"/amount" = { le = 100 }

[[rule]]
name   = "no mass mail"
effect = "mail:*"
action = "reject"
reason = "mass mail is not allowed from agents"
[rule.detail]
"/recipients" = { gt = 50 }

[[rule]]
name   = "payments"
effect = "pay:*"
action = "hold"
"""
HELD = {"verdict": "held_for_approval"}
RELEASE = {"verdict": "release"}
BY_PEOPLE = {"message": "effect is decided by people (rule payments)", "verdict": "error"}
MASS_MAIL = {"decided_by": "rule:no mass mail", "reason": "mass mail is not allowed from agents",
             "verdict": "refused_rejected"}


def submit(key, needs_approval=False, detail=None):
    request = {"op": "submit", "run_id": "r", "effect_key": key, "needs_approval": needs_approval}
    if detail is not None:
        request["detail"] = detail
    return request


def decide(key, approved=True):
    return {"op": "decide", "run_id": "r", "effect_key": key, "approved": approved}


@pytest.fixture(params=["memory", "sqlite", pytest.param("postgresql", marks=pytest.mark.postgres)])
def serve(request, gate_process, tmp_path):
    """Starts (again) a server on one store with the rules and a console."""
    if request.param == "memory":
        url = "memory:"
    elif request.param == "sqlite":
        url = f"sqlite:{tmp_path / 'gate.db'}"
    else:
        url = request.getfixturevalue("new_postgres_store")()
    rules = tmp_path / "rules.toml"
    approvers = write_approvers(tmp_path, "ada:token-of-ada\nbob:token-of-bob\ncarol:token-of-carol\n")

    def start(text=RULES, *options):
        rules.write_text(text)
        rules.chmod(0o644)
        return gate_process("--store", url, "--rules", str(rules), "--console", "127.0.0.1:0",
                            "--approvers", str(approvers), *options)
    start.durable = request.param != "memory"
    return start


def test_rules_release_hold_and_reject_whatever_the_client_asked(serve):
    server = serve()
    steps = [
        (submit("refund:1", True, {"amount": 50}), RELEASE),       # released by the rule
        (submit("refund:2", True, {"amount": 500}), HELD),         # no rule: the client asked
        (submit("refund:3"), RELEASE),                             # a release rule fails closed
        (submit("mail:1", False, {"recipients": 80}), MASS_MAIL),
        (submit("mail:2"), MASS_MAIL),                             # a reject rule fails closed
        (submit("mail:1", False, {"recipients": 80}), {"verdict": "refused_rejected"}),
        (submit("pay:1"), HELD),                                   # held though not asked
        (decide("pay:1"), BY_PEOPLE),
        (decide("pay:1", False), BY_PEOPLE),
        (decide("refund:2"), RELEASE),                             # a client's hold: as before
    ]
    for asked, expected in steps:
        assert server.request(asked) == expected, asked
    console = Console(server.console_port, "token-of-ada")
    assert console.decide("r", "pay:1", True) == "approved"
    assert server.request(submit("pay:1")) == RELEASE
    log = console.get("/api/audit?run=r")["items"]
    by_rule = [(e["effect_key"], e["verdict"], e["source"]) for e in log if e["source"].startswith("rule:")]
    assert by_rule == [("refund:1", "release", "rule:small refunds"),
                       ("mail:1", "refused_rejected", "rule:no mass mail"),
                       ("mail:2", "refused_rejected", "rule:no mass mail")]


def test_a_rules_hold_is_still_for_people_after_a_restart(serve):
    if not serve.durable:
        pytest.skip("the memory: store keeps nothing across a restart")
    server = serve()
    assert server.request(submit("pay:1", False, {"amount": 7})) == HELD
    server.kill()
    server = serve()
    assert server.request(decide("pay:1")) == BY_PEOPLE
    assert Console(server.console_port, "token-of-ada").decide("r", "pay:1", False) == "refused_rejected"


def test_a_rules_own_hold_timeout_expires_its_holds_without_a_server_timeout(serve):
    server = serve(RULES + 'hold_timeout = "1s"\n')
    assert server.request(submit("pay:1")) == HELD
    assert server.request(submit("refund:2", True)) == HELD  # the client's hold: no deadline
    console = Console(server.console_port, "token-of-ada")
    waiting = {item["effect_key"]: item for item in console.get("/api/pending")["items"]}
    assert waiting["pay:1"]["deadline"] - waiting["pay:1"]["held_at"] == 1000
    assert waiting["refund:2"]["deadline"] is None
    if serve.durable:  # the deadline is kept with the hold
        server.kill()
        server = serve(RULES + 'hold_timeout = "1s"\n')
        console = Console(server.console_port, "token-of-ada")
    for _ in range(100):
        if [item["effect_key"] for item in console.get("/api/pending")["items"]] == ["refund:2"]:
            break
        time.sleep(0.05)
    assert server.request(submit("pay:1")) == {"verdict": "refused_rejected"}
    expired = [e for e in console.get("/api/audit?run=r")["items"] if e["event"] == "expired"]
    assert [(e["effect_key"], e["source"]) for e in expired] == [("pay:1", "expiry")]
    assert expired[0]["at"] >= waiting["pay:1"]["deadline"]


def test_only_a_rules_approvers_decide_its_holds(serve):
    server = serve('[groups]\nfinance = ["bob"]\n' + RULES + 'approvers = ["finance", "carol"]\n')
    assert server.request(submit("pay:1")) == HELD
    assert server.request(submit("refund:2", True)) == HELD
    console = Console(server.console_port, "token-of-ada")
    listed = [(i["effect_key"], i["rule"], i["approvers"]) for i in console.get("/api/pending")["items"]]
    assert listed == [("pay:1", "payments", ["bob", "carol"]), ("refund:2", None, None)]
    refused = console.decide_call("r", "pay:1", True)
    assert (refused.status, refused.json()) == (403, {"error": "ada may not decide this effect"})
    done = command(server, "reject", "r", "pay:1", token="token-of-ada")
    assert (done.returncode, done.stderr) == (1, "latchwork-gate: ada may not decide this effect\n")
    assert len(console.get("/api/pending")["items"]) == 2  # nothing changed
    assert console.decide("r", "refund:2", True) == "approved"  # anyone decides a client's hold
    assert Console(server.console_port, "token-of-carol").decide("r", "pay:1", True) == "approved"


@pytest.mark.parametrize("events, told", [("all", ["held"]), ("all,auto", ["approved", "held"])])
def test_a_rules_release_is_told_only_to_receivers_that_ask_for_auto(gate_process, tmp_path, secret,
                                                                     events, told):
    rules = tmp_path / "rules.toml"
    rules.write_text(RULES)
    with Receiver() as receiver:
        server = gate_process("--rules", str(rules), "--notify", receiver.url,
                              "--notify-secret-file", secret[1], "--notify-events", events)
        assert server.request(submit("refund:1", False, {"amount": 5})) == RELEASE
        assert server.request(submit("pay:1")) == HELD
        received = receiver.wait_for(len(told))
    assert [body["type"] for _, body in received] == told
    if "approved" in told:
        assert received[0][1]["data"]["decided_by"] == "rule:small refunds"


@pytest.mark.parametrize("extra, key", [('remind_after = "1h"', "remind_after"),
                                        ('escalate_after = "2h"\nescalate_to = ["ada"]', "escalate_after")])
def test_serve_refuses_a_rule_it_cannot_keep_yet(tmp_path, extra, key):
    rules = tmp_path / "rules.toml"
    rules.write_text(RULES + extra + "\n")
    done = run_gate("serve", "--listen", "127.0.0.1:0", "--store", "memory:", "--rules", str(rules))
    assert done.returncode == 2
    assert done.stderr.strip() == (f'latchwork-gate: {rules}:16: rule "payments" sets {key}, which serve '
                                   "does not enforce yet; remove it to serve these rules")


def said(server, pattern):
    """The stderr line matching `pattern` (a regular expression) once the server says it."""
    for _ in range(200):
        found = [line for line in server.stderr_lines if re.fullmatch(pattern, line)]
        if found:
            return found[0]
        time.sleep(0.02)
    raise AssertionError(server.stderr())


def test_sighup_reloads_the_rules_and_a_bad_file_keeps_those_in_force(gate_process, tmp_path):
    rules = tmp_path / "rules.toml"
    rules.write_text(RULES)
    server = gate_process("--rules", str(rules))
    assert server.request(submit("pay:1")) == HELD
    rules.write_text(RULES.replace('"pay:*"', '"wire:*"'))
    server.signal(signal.SIGHUP)
    said(server, re.escape(f"latchwork-gate: rules {rules}: reloaded, 3 rules"))
    assert server.request(submit("pay:2")) == RELEASE
    assert server.request(submit("wire:1")) == HELD
    for bad, why in [('action = "maybe"', "action"), ('remind_after = "1h"', "does not enforce yet")]:
        rules.write_text(RULES + bad + "\n")
        server.signal(signal.SIGHUP)
        said(server, re.escape(f"latchwork-gate: rules {rules}:") + rf"\d+: .*{why}.*; keeping the rules "
             r"loaded at \d\d:\d\d:\d\dZ")
        assert server.request(submit("wire:2" + why)) == HELD
        assert server.request(submit("pay:3" + why)) == RELEASE


def test_sighup_without_rules_leaves_the_server_serving(gate_process):
    server = gate_process()
    server.signal(signal.SIGHUP)
    assert server.request(submit("a")) == RELEASE


def test_shadow_rules_decide_nothing_but_log_and_count_what_they_would_have(serve):
    server = serve(RULES, "--rules-mode", "shadow")
    steps = [
        (submit("refund:1", True, {"amount": 50}), HELD),           # would release
        (submit("mail:1", False, {"recipients": 80}), RELEASE),     # would reject
        (submit("pay:1"), RELEASE),                                 # would hold
        (submit("pay:2", True), HELD),                              # agrees: nothing logged
        (submit("other"), RELEASE),                                 # no rule matches
        (decide("pay:2"), RELEASE),                                 # a line decide is taken
    ]
    for asked, expected in steps:
        assert server.request(asked) == expected, asked
    console = Console(server.console_port, "token-of-ada")
    log = console.get("/api/audit?run=r")["items"]
    assert [(e["effect_key"], e["verdict"], e["source"], e["detail"]) for e in log if e["event"] == "would"] == [
        ("refund:1", "release", "rule:small refunds", {"amount": 50}),
        ("mail:1", "refused_rejected", "rule:no mass mail", {"recipients": 80}),
        ("pay:1", "held_for_approval", "rule:payments", None)]
    metrics = console.call("GET", "/metrics").body.decode()
    assert sorted(re.findall(r"^latchwork_rule_matches_total\{(.*)\} (\d+)$", metrics, re.M)) == [
        ('rule="no mass mail",action="reject"', "1"), ('rule="payments",action="hold"', "2"),
        ('rule="small refunds",action="release"', "1")]


@pytest.mark.postgres
@pytest.mark.parametrize("other", [RULES + '\n[[rule]]\nname = "all"\naction = "hold"\n', "shadow"],
                         ids=["other file", "same file in shadow mode"])
def test_servers_sharing_a_database_are_told_when_their_rules_differ(gate_process, tmp_path,
                                                                     new_postgres_store, other):
    url = new_postgres_store()
    approvers = write_approvers(tmp_path, "ada:token-of-ada\n")

    def start(name, text, *options):
        path = tmp_path / name
        path.write_text(text)
        path.chmod(0o644)
        process = gate_process("--store", url, "--rules", str(path), "--console", "127.0.0.1:0",
                               "--approvers", str(approvers), *options)
        return process, Console(process.console_port, "token-of-ada")

    def rules_seen(console, servers):
        deadline = time.monotonic() + 10
        while True:
            seen = console.get("/api/rules")
            if len(seen["servers"]) == servers or time.monotonic() > deadline:
                return seen
            time.sleep(0.1)

    _, first = start("a.toml", RULES)
    start("b.toml", RULES)
    agreed = rules_seen(first, 2)
    assert agreed["agree"] and agreed["mode"] == "enforce"
    assert {server["digest"] for server in agreed["servers"]} == {agreed["digest"]}
    third, third_console = (start("c.toml", RULES, "--rules-mode", "shadow") if other == "shadow"
                            else start("c.toml", other))
    for console in (first, third_console):
        assert not rules_seen(console, 3)["agree"]
    third.stop()  # a server that stops leaves the list at once
    assert rules_seen(first, 2)["agree"]


def test_a_server_that_shares_its_store_with_none_agrees_with_itself(gate_process, tmp_path):
    rules = tmp_path / "rules.toml"
    rules.write_text(RULES)
    rules.chmod(0o644)
    approvers = write_approvers(tmp_path, "ada:token-of-ada\n")
    process = gate_process("--rules", str(rules), "--console", "127.0.0.1:0", "--approvers", str(approvers))
    seen = Console(process.console_port, "token-of-ada").get("/api/rules")
    assert seen["servers"] == [] and seen["agree"] and len(seen["digest"]) == 64
