"""A person's decision reaching the worker: approvals handed to the submitter, and
submits that wait for them (wait_ms), through the real server and its console."""

from __future__ import annotations

import json
import signal
import threading
import time

import latchwork
import pytest

from console_http import Console, write_approvers
from gate_process import RawConnection

HELD = {"verdict": "held_for_approval"}
RELEASE = {"verdict": "release"}
DUPLICATE = {"verdict": "refused_duplicate"}


@pytest.fixture(params=["memory", "sqlite"])
def served(request, gate_process, tmp_path):
    store = "memory:" if request.param == "memory" else f"sqlite:{tmp_path / 'gate.db'}"
    approvers = write_approvers(tmp_path, "ada:token-of-ada\nbob:token-of-bob\n")
    process = gate_process("--console", "127.0.0.1:0", "--approvers", str(approvers),
                           "--hold-timeout", "2s", store=store)
    return process, Console(process.console_port, "token-of-ada")


def submit(run_id, effect_key, **members):
    return {"op": "submit", "run_id": run_id, "effect_key": effect_key,
            "needs_approval": True, **members}


class Waiter(threading.Thread):
    """One submit with wait_ms on a connection of its own; its reply and when it came."""

    def __init__(self, process, request):
        super().__init__(daemon=True)
        self.connection = process.connect()
        self.connection.send((json.dumps(request) + "\n").encode())
        self.reply = None
        self.answered_at = None
        self.start()

    def run(self):
        self.reply = self.connection.reply()
        self.answered_at = time.monotonic()

    def result(self, timeout=30):
        self.join(timeout)
        self.connection.close()
        return self.reply


def test_the_worker_takes_a_persons_approval_exactly_once(served):
    process, console = served
    worker = latchwork.GateClient(process.address)
    assert worker.submit("run-1", "email:42", needs_approval=True).kind == "held_for_approval"
    assert console.decide("run-1", "email:42", True) == "approved"
    assert process.request({"op": "pending_count"})["value"] == 0
    assert process.request({"op": "state_len"})["value"] == 1
    assert worker.decide("run-1", "email:42", True).kind == "refused_duplicate"  # no decider takes it
    assert worker.submit("run-1", "email:42", needs_approval=True).kind == "release"
    assert worker.submit("run-1", "email:42", needs_approval=True).kind == "refused_duplicate"
    events = [entry["event"] for entry in console.get("/api/audit?run=run-1")["items"]]
    assert events == ["held", "decided", "decided", "taken"]


def test_a_waiting_submit_is_answered_by_the_approval_and_only_one_of_two_is_released(served):
    process, console = served
    first = Waiter(process, submit("r", "pay", wait_ms=30_000))
    second = Waiter(process, submit("r", "pay", wait_ms=30_000))
    time.sleep(0.3)
    assert first.reply is None and second.reply is None
    approved_at = time.monotonic()
    assert console.decide("r", "pay", True) == "approved"
    replies = [first.result(), second.result()]
    assert sorted(reply["verdict"] for reply in replies) == ["refused_duplicate", "release"]
    # Answered by the approval, not by the end of the wait.
    assert max(first.answered_at, second.answered_at) - approved_at < 5


@pytest.mark.parametrize("ending, expected", [
    ("reject", {"decided_by": "bob", "reason": "too much", "verdict": "refused_rejected"}),
    ("expire", {"decided_by": "expiry", "expired": True, "reason": "",
                "verdict": "refused_rejected"}),
    ("decider", DUPLICATE),
    ("cancel", {"verdict": "refused_cancelled"}),
    ("close", {"verdict": "refused_cancelled"}),
    ("time", HELD),
])
def test_every_end_of_a_hold_answers_the_waiting_submit(served, ending, expected):
    process, console = served
    waiter = Waiter(process, submit("r", "e", wait_ms=700 if ending == "time" else 30_000))
    time.sleep(0.2)
    if ending == "reject":
        reply = console.call("POST", "/api/decide", {"run_id": "r", "effect_key": "e",
                                                     "approved": False, "reason": "too much"},
                             token="token-of-bob")
        assert reply.status == 200, reply.body
    elif ending == "decider":
        assert process.request({"op": "decide", "run_id": "r", "effect_key": "e",
                                "approved": True}) == RELEASE
    elif ending in ("cancel", "close"):
        process.request({"op": "cancel" if ending == "cancel" else "close_run", "run_id": "r"})
    assert waiter.result() == expected


def test_replies_keep_their_order_and_other_connections_are_not_held_up(served):
    process, console = served
    with RawConnection(process.port) as waiting, RawConnection(process.port) as other:
        waiting.send(b'{"op":"submit","run_id":"r","effect_key":"e","needs_approval":true,'
                     b'"wait_ms":30000}\n{"op":"ping"}\n')
        time.sleep(0.2)
        assert other.request({"op": "ping"}) == {"verdict": "pong"}
        console.decide("r", "e", True)
        assert waiting.reply() == RELEASE
        assert waiting.reply() == {"verdict": "pong"}


def test_sigterm_answers_every_waiting_submit_held(served):
    process, _ = served
    waiters = [Waiter(process, submit("r", f"e{i}", wait_ms=60_000)) for i in range(3)]
    time.sleep(0.3)
    process.signal(signal.SIGTERM)
    assert [waiter.result() for waiter in waiters] == [HELD] * 3
    assert process.wait() == 0


# --- attempts and results ---------------------------------------------------------------

def attempt_submit(run_id, effect_key, attempt, **members):
    return {"op": "submit", "run_id": run_id, "effect_key": effect_key, "attempt": attempt,
            **members}


def complete(run_id, effect_key, attempt, result):
    return {"op": "complete", "run_id": run_id, "effect_key": effect_key, "attempt": attempt,
            "result": result}


@pytest.mark.parametrize("taken_by", ["plain", "approval"])
def test_the_attempt_that_took_a_release_is_released_again_and_another_learns_what_happened(
        served, taken_by):
    process, console = served
    if taken_by == "approval":
        assert process.request(attempt_submit("r", "e", "a1", needs_approval=True)) == HELD
        assert console.decide("r", "e", True) == "approved"
    # Its reply lost, the call asks again with the same attempt.
    assert process.request(attempt_submit("r", "e", "a1")) == RELEASE
    assert process.request(attempt_submit("r", "e", "a1")) == {"again": True, "verdict": "release"}
    other = process.request(attempt_submit("r", "e", "a2"))
    assert other["verdict"] == "refused_duplicate" and other["released_at"] > 0
    if taken_by == "approval":
        assert other["decided_by"] == "ada"
    else:
        assert other["decided_by"].startswith("line:127.0.0.1:")
    assert "result" not in other
    # A request without an attempt is answered as ever.
    assert process.request({"op": "submit", "run_id": "r", "effect_key": "e"}) == DUPLICATE
    process.request({"op": "cancel", "run_id": "r"})
    assert process.request(attempt_submit("r", "e", "a1")) == {"verdict": "refused_cancelled"}


def test_only_the_taking_attempt_completes_once_and_a_duplicate_learns_the_result(
        served, tmp_path):
    process, console = served
    assert process.request(complete("r", "e", "a1", 1)) == {
        "message": "effect was not released", "verdict": "error"}
    assert process.request(attempt_submit("r", "e", "a1")) == RELEASE
    assert process.request(complete("r", "e", "a2", {"id": 7})) == {
        "message": "only the attempt that took the release may complete it", "verdict": "error"}
    result = {"to": "ada", "id": [7, "x"]}
    for _ in range(2):  # again with the same result: completed again
        assert process.request(complete("r", "e", "a1", result)) == {"verdict": "completed"}
    assert process.request(complete("r", "e", "a1", {"id": 8})) == {
        "message": "effect was completed already with another result", "verdict": "error"}
    if "sqlite" in " ".join(process.command):  # kept across a restart
        assert process.stop() == 0
        process.start()
    duplicate = process.request(attempt_submit("r", "e", "a2"))
    assert duplicate["result"] == result and duplicate["completed_at"] >= duplicate["released_at"]
    assert process.request(attempt_submit("r", "e", "a1")) == {"again": True, "verdict": "release"}
    entries = Console(process.console_port, "token-of-ada").get("/api/audit?run=r")["items"]
    assert [(entry["event"], entry["detail"]) for entry in entries] == [("completed", result)]
    # Closing the run forgets it all.
    process.request({"op": "close_run", "run_id": "r"})
    assert process.request(complete("r", "e", "a1", result))["verdict"] == "error"


@pytest.mark.parametrize("request_, message", [
    (attempt_submit("r", "e", ""), "member attempt must be a string of 1 to 128 bytes"),
    (attempt_submit("r", "e", "x" * 129), "member attempt must be a string of 1 to 128 bytes"),
    (attempt_submit("r", "e", 5), "member attempt must be a string of 1 to 128 bytes"),
    ({"op": "complete", "run_id": "r", "effect_key": "e", "result": 1}, "missing member: attempt"),
    ({"op": "complete", "run_id": "r", "effect_key": "e", "attempt": "a"}, "missing member: result"),
    (complete("r", "e", "a", "x" * 100), "member result is longer than 64 bytes"),
])
def test_attempts_and_results_out_of_bounds_are_refused(gate_process, request_, message):
    process = gate_process("--max-result", "64")
    assert process.request(request_) == {"message": message, "verdict": "error"}
    assert process.request({"op": "state_len"})["value"] == 0


def test_a_hold_told_to_an_attempt_links_to_the_console(gate_process):
    process = gate_process("--console-url", "https://gate.example/")
    assert process.request(attempt_submit("run 1", "k/1", "a1", needs_approval=True)) == {
        "link": "https://gate.example/#/effect/run%201/k%2F1", "verdict": "held_for_approval"}
    assert process.request(submit("run 1", "k/1")) == HELD
