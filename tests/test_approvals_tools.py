"""latchwork_approvals' decorator and blocking client against a real latchwork-gate: a
tool waits for a person, runs once on approval, and is refused otherwise."""

from __future__ import annotations

import threading

import pytest

from approvals_support import Person, private_file, start_gate, wait_until_held
from latchwork_approvals import (ApprovalTimeout, Client, Outcome, Refused, ServerError,
                                 approval, requires_approval, run_scope)


@pytest.fixture
def gate(gate_process, tmp_path):
    return start_gate(gate_process, tmp_path)


def recording_tool(client, **options):
    sent = []

    @requires_approval(client, **options)
    def send_email(to: str, subject: str, body: str = "") -> str:
        sent.append((to, subject, body))
        return f"sent to {to}"

    return send_email, sent


def test_a_tool_waits_for_a_person_and_runs_once(gate):
    process, console = gate
    with Client(process.address) as client:
        send_email, sent = recording_tool(client, key="email:{to}", on_duplicate="raise")
        person = Person(console, "run-1", "email:ann")
        with run_scope("run-1"):
            assert send_email("ann", "refund", body="120 EUR") == "sent to ann"
            with pytest.raises(Refused) as retried:  # the agent calls it again
                send_email("ann", "refund", body="120 EUR")
    assert person.result() == "approved"
    assert (retried.value.kind, retried.value.run_id, retried.value.effect_key,
            retried.value.result) == ("refused_duplicate", "run-1", "email:ann", "sent to ann")
    assert sent == [("ann", "refund", "120 EUR")]


@pytest.mark.parametrize("how, options, expected", [
    ("reject", (), ("refused_rejected", "ada", "not to this address", False)),
    ("expire", ("--hold-timeout", "1s"), ("refused_rejected", "expiry", "", True)),
    ("cancel", (), ("refused_cancelled", None, None, False)),
])
def test_a_tool_that_is_not_approved_raises_refused_and_never_runs(gate_process, tmp_path, how,
                                                                   options, expected):
    process, console = start_gate(gate_process, tmp_path, *options)
    client = Client(process.address)
    send_email, sent = recording_tool(client, run_id="run-2", key="email:{to}")
    if how == "reject":
        Person(console, "run-2", "email:bob", approved=False, reason="not to this address")
    elif how == "cancel":
        def cancel() -> None:  # on a connection of its own while the tool's waits
            wait_until_held(console, "run-2", ["email:bob"])
            assert client.cancel("run-2") == "ok"
        threading.Thread(target=cancel, daemon=True).start()
    with pytest.raises(Refused) as refused:
        send_email("bob", "hello")
    found = refused.value
    assert (found.kind, found.decided_by, found.reason, found.expired) == expected
    assert found.outcome.refused and sent == []


def test_the_effect_is_named_by_the_arguments_of_the_call(gate):
    process, _ = gate
    client = Client(process.address)
    by_hash, _ = recording_tool(client, run_id="run-3", timeout=0)
    for to, subject in [("ann", "a"), ("ann", "b"), ("ann", "a")]:
        with pytest.raises(ApprovalTimeout):  # timeout=0: asked once, still held
            by_hash(to, subject)
    assert client.pending_count() == 2  # two e-mails to one address are two effects
    by_template, _ = recording_tool(client, run_id="run-3", key="email:{to}", timeout=0)
    with pytest.raises(ApprovalTimeout):
        by_template("ann", "a")
    with pytest.raises(ServerError) as differs:  # one key, one effect: not another body
        by_template("ann", "b")
    assert differs.value.message == "detail differs from the waiting effect's"
    assert client.pending_count() == 3 and client.state_len() == 3


def test_an_approval_block_is_entered_only_on_release(gate):
    process, console = gate
    client = Client(process.address)
    Person(console, "run-4", "deploy")
    entered = []
    with approval(client, "run-4", "deploy", detail={"version": 7}, timeout=30) as outcome:
        entered.append(outcome)
    with pytest.raises(Refused):
        with approval(client, "run-4", "deploy", detail={"version": 7}):
            entered.append("twice")
    assert entered == ["release"]


SECRET = b"shared with the gate"


@pytest.mark.parametrize("secret, expected", [
    (SECRET, "release"),
    (b"another secret", ServerError),
    (None, ServerError),
])
def test_decisions_are_tagged_with_the_clients_secret(gate_process, tmp_path, secret, expected):
    process = gate_process("--secret-file", private_file(tmp_path / "secret", SECRET))
    client = Client(process.address, secret=secret)
    assert client.submit("run-5", "wire", needs_approval=True).held
    if expected is ServerError:
        with pytest.raises(ServerError) as refused:
            client.decide("run-5", "wire", True)
        assert refused.value.message == "decision not authenticated"
        assert client.pending_count() == 1
    else:
        assert client.decide("run-5", "wire", True) == expected


@pytest.mark.parametrize("token, error", [
    ("token-of-w", None),
    ("not-the-token", "hello refused: unknown client or wrong token"),
])
def test_a_named_client_says_hello_on_each_connection(gate_process, tmp_path, token, error):
    clients = private_file(tmp_path / "clients", b"w:token-of-w:submit,admin\n")
    process = gate_process("--clients", clients)
    client = Client(process.address, client_name="w", token=token)
    if error is None:
        assert client.submit("run-6", "k") == "release"
        assert client.pending_count() == 0
    else:
        with pytest.raises(ServerError, match=error):
            client.submit("run-6", "k")


@pytest.mark.parametrize("outcome, kind, views", [
    (Outcome("release"), "release", (True, False, False)),
    (Outcome("held_for_approval"), "held_for_approval", (False, True, False)),
    (Outcome("refused_rejected", "ada", "no", False), "refused_rejected", (False, False, True)),
])
def test_an_outcome_reads_like_a_verdict(outcome, kind, views):
    assert (outcome.released, outcome.held, outcome.refused) == views
    assert outcome == kind and kind == outcome and outcome != "other" and outcome != 1
    assert outcome == Outcome(kind) and {outcome, kind} == {kind} and str(outcome) == kind
