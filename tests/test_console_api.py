"""The console's HTTP API against the real latchwork-gate: every endpoint, every error."""

from __future__ import annotations

import json
import os
import signal
import socket
import time

import pytest

import latchwork
from console_http import Console, EventStream, quote, write_approvers
from gate_process import GateProcess, run_gate

TOKENS = "alice:token-of-alice\nbob:token-of-bob\n"


@pytest.fixture
def approvers(tmp_path):
    return write_approvers(tmp_path, "# who may decide\n" + TOKENS)


# Every store the server has; each API test runs against each. The shared store's
# cases need the test cluster, so they carry its marker.
STORES = ["memory", "sqlite", pytest.param("postgresql", marks=pytest.mark.postgres)]


@pytest.fixture(params=STORES)
def store(request, tmp_path):
    if request.param == "memory":
        return "memory:"
    if request.param == "sqlite":
        return f"sqlite:{tmp_path / 'gate.db'}"
    return request.getfixturevalue("new_postgres_store")()


@pytest.fixture
def served(gate_process, approvers, store):
    process = gate_process("--console", "127.0.0.1:0", "--approvers", str(approvers),
                           store=store)
    return process, Console(process.console_port, "token-of-alice")


def client(process: GateProcess) -> latchwork.GateClient:
    return latchwork.GateClient(process.address)


def test_ready_lines_name_both_doors(served):
    process, _ = served
    assert process.ready_line == f"listening on 127.0.0.1:{process.port}"
    assert process.console_url == f"http://127.0.0.1:{process.console_port}/"


def test_health_and_metrics_need_no_token(served):
    process, console = served
    reply = console.call("GET", "/healthz", token="")
    assert (reply.status, reply.json()) == (200, {"status": "ok"})
    gate = client(process)
    gate.submit("r", "held", True)
    gate.submit("r", "free")
    reply = console.call("GET", "/metrics", token="")
    assert reply.status == 200
    assert reply.headers["content-type"].startswith("text/plain; version=0.0.4")
    text = reply.body.decode()
    assert 'latchwork_requests_total{op="submit",verdict="held_for_approval"} 1' in text
    assert 'latchwork_requests_total{op="submit",verdict="release"} 1' in text
    assert "latchwork_pending_effects 1\n" in text
    assert 'latchwork_open_connections{door="line"} 1' in text
    assert 'latchwork_open_connections{door="console"} 1' in text


@pytest.mark.parametrize("path", ["/api/pending", "/api/runs/r", "/api/events", "/api/audit",
                                  "/api/nothing"])
@pytest.mark.parametrize("token", ["", "token-of-nobody", "token-of-alic", "TOKEN-OF-ALICE"])
def test_api_refuses_a_missing_or_wrong_token(served, path, token):
    _, console = served
    reply = console.call("GET", path, token=token)
    assert reply.status == 401
    assert reply.json() == {"error": "missing or wrong bearer token"}
    assert reply.headers["www-authenticate"] == "Bearer"


def test_every_approver_token_is_taken(served):
    _, console = served
    for token in ("token-of-alice", "token-of-bob"):
        assert console.call("GET", "/api/pending", token=token).status == 200


def test_a_detail_keeps_its_numbers_as_written(served):
    process, console = served
    written = (b'{"op":"submit","run_id":"n","effect_key":"pay","needs_approval":true,'
               b'"detail":{"to":"bob","amount":120.50,"fee":1.999e1}}\n')
    with process.connect() as raw:
        for line, verdict in [(written, "held_for_approval"),
                              (written.replace(b"120.50", b"120.5"), "held_for_approval"),  # equal
                              (written.replace(b"120.50", b"120.51"), "error")]:
            raw.send(line)
            assert raw.reply()["verdict"] == verdict
    shown = b'"detail":{"amount":120.50,"fee":1.999e1,"to":"bob"}'
    assert shown in console.call("GET", "/api/pending").body
    assert shown in console.call("GET", "/api/audit?limit=5").body


def test_pending_oldest_first_paged_and_filtered(served):
    process, console = served
    gate = client(process)
    held = [("run-a", "one"), ("run-b", "two"), ("run-a", "three"), ("other", "four"),
            ("run-a/x", "five")]
    for run_id, key in held:
        assert gate.submit(run_id, key, True).kind == "held_for_approval"
    gate.submit("run-a", "one", True)  # held again: keeps its place
    gate.submit("run-b", "released", False)

    whole = console.get("/api/pending")
    assert [(i["run_id"], i["effect_key"]) for i in whole["items"]] == held
    assert whole["next"] is None
    times = [i["held_at"] for i in whole["items"]]
    assert times == sorted(times) and all(isinstance(t, int) for t in times)

    seen, cursor = [], None
    while True:
        page = console.get("/api/pending?limit=2" + (f"&after={cursor}" if cursor else ""))
        assert len(page["items"]) <= 2
        seen += [(i["run_id"], i["effect_key"]) for i in page["items"]]
        cursor = page["next"]
        if cursor is None:
            break
        assert isinstance(cursor, str)
    assert seen == held

    page = console.get("/api/pending?run=" + quote("run-a"))
    assert [i["effect_key"] for i in page["items"]] == ["one", "three", "five"]
    page = console.get("/api/pending?run=run-a%2F")
    assert [i["effect_key"] for i in page["items"]] == ["five"]

    # Rejected, cancelled and closed effects leave the list; an approved one stays
    # until its worker takes it.
    assert console.decide("run-a", "one", True) == "approved"
    gate.decide("run-b", "two", False)
    gate.cancel("other")
    page = console.get("/api/pending")
    assert [(i["run_id"], i["effect_key"], i["state"]) for i in page["items"]] == [
        ("run-a", "one", "approved"), ("run-a", "three", "held"), ("run-a/x", "five", "held")]
    assert console.call("POST", "/api/runs/run-a/close").json() == {"verdict": "ok"}
    items = console.get("/api/pending")["items"]
    assert isinstance(items[0].pop("last_asked"), int)
    assert items == [
        {"run_id": "run-a/x", "effect_key": "five", "held_at": times[4], "state": "held",
         "detail": None, "deadline": None, "rule": None, "approvers": None, "quorum": 1,
         "approvals": [], "editable": [], "edited_detail": None, "grantable": False,
         "waiting": 0}]


# Each step: (door, arguments, answer). A person's approval is handed to the next
# submit; deciding what is not held is a 409 that names the effect's state.
DECISIONS = [
    ("submit", ("r", "e1", True), "held_for_approval"),
    ("http_decide", ("r", "e1", True), "approved"),
    ("submit", ("r", "e1", True), "release"),
    ("submit", ("r", "e1", True), "refused_duplicate"),
    ("submit", ("r", "e2", True), "held_for_approval"),
    ("http_decide", ("r", "e2", False), "refused_rejected"),
    ("submit", ("r", "e2", False), "refused_rejected"),
    ("http_decide", ("r", "e2", True), "409 rejected"),
    ("http_decide", ("r", "never-held", True), "409 unknown"),
    ("http_cancel", ("r",), "ok"),
    ("submit", ("r", "e3", True), "refused_cancelled"),
    ("http_decide", ("r", "e3", True), "409 cancelled"),
    ("submit", ("s", "e1", True), "held_for_approval"),
    ("http_close", ("s",), "ok"),
    ("submit", ("s", "e1", True), "refused_cancelled"),
    ("http_decide", ("s", "e1", False), "409 closed"),
]


def test_console_decisions_and_their_verdicts(served):
    process, console = served
    gate = client(process)
    for door, arguments, answer in DECISIONS:
        if door == "submit":
            assert gate.submit(*arguments).kind == answer, arguments
        elif door == "http_decide":
            reply = console.decide_call(*arguments)
            if answer.startswith("409 "):
                assert (reply.status, reply.json()["state"]) == (409, answer[4:]), arguments
            else:
                assert (reply.status, reply.json()) == (200, {"verdict": answer}), arguments
        else:
            action = "cancel" if door == "http_cancel" else "close"
            reply = console.call("POST", f"/api/runs/{quote(arguments[0])}/{action}")
            assert (reply.status, reply.json()) == (200, {"verdict": answer})
    with process.connect() as raw:
        assert raw.request({"op": "is_cancelled", "run_id": "r"})["value"] is True
        assert raw.request({"op": "is_closed", "run_id": "s"})["value"] is True
        assert raw.request({"op": "state_len"})["value"] == 2  # r's e1 and e2


@pytest.mark.parametrize("run_id,key", [
    ("run/with/slashes", "key?with=query&x"),
    ("ünïcödé run", "ключ 🔑"),
    ("100%", "#fragment"),
    ("", "empty run id"),
])
def test_any_string_in_a_path(served, run_id, key):
    process, console = served
    gate = client(process)
    gate.submit(run_id, key, True)
    gate.submit(run_id, "done")
    assert console.decide(run_id, key, False, "not today") == "refused_rejected"
    found = console.get(f"/api/runs/{quote(run_id)}")
    history = found.pop("history")
    assert found.pop("history_next") is None
    assert [(h["event"], h["run_id"], h["effect_key"], h["source"], h["reason"])
            for h in history] == [("held", run_id, key, history[0]["source"], ""),
                                  ("decided", run_id, key, "console:alice", "not today")]
    assert history[0]["source"].startswith("line:127.0.0.1:")
    assert found == {"run_id": run_id, "cancelled": False, "closed": False,
                     "effects": sorted([{"effect_key": key, "state": "rejected"},
                                        {"effect_key": "done", "state": "released"}],
                                       key=lambda e: e["effect_key"].encode())}
    reply = console.call("POST", f"/api/runs/{quote(run_id)}/cancel")
    assert reply.json() == {"verdict": "ok"}
    assert console.get(f"/api/runs/{quote(run_id)}")["cancelled"] is True


def test_run_states(served):
    process, console = served
    gate = client(process)
    gate.submit("r", "p", True)
    gate.submit("r", "q")
    found = console.get("/api/runs/r")
    assert [h["event"] for h in found.pop("history")] == ["held"]
    assert found == {
        "run_id": "r", "cancelled": False, "closed": False, "history_next": None,
        "effects": [{"effect_key": "p", "state": "pending", "detail": None},
                    {"effect_key": "q", "state": "released"}],}
    assert console.call("POST", "/api/runs/r/close").json() == {"verdict": "ok"}
    found = console.get("/api/runs/r")
    history = found.pop("history")
    assert [h["event"] for h in history] == ["held", "closed"]
    assert history[1]["source"] == "console:alice"
    assert found == {"run_id": "r", "cancelled": False, "closed": True, "history_next": None,
                     "effects": [],}


def test_a_runs_effects_come_in_pages_an_unread_reply_cannot_outgrow(served):
    process, console = served
    gate = client(process)
    keys = [f"{n:03}" + "k" * 3000 for n in range(100)]  # 300 KB of keys in all
    for key in keys:
        gate.submit("big", key)
    listed, after, pages = [], None, 0
    while True:
        page = console.get("/api/runs/big" + (f"?effects_after={quote(after)}" if after else ""))
        listed += [effect["effect_key"] for effect in page["effects"]]
        pages += 1
        after = page.get("effects_next")
        if after is None:
            break
        assert after == listed[-1]
    assert listed == keys and pages == 2


LONG = "x" * (64 * 1024 + 1)
# (method, path, JSON body or raw bytes, extra headers, status, error text)
ERRORS = [
    ("GET", "/nothing", None, {}, 404, "no such resource"),
    ("GET", "/api/runs/unknown", None, {}, 404, "no such run"),
    ("GET", "/api/runs/a/b", None, {}, 404, "no such resource"),
    ("POST", "/api/runs/a/reopen", None, {}, 404, "no such resource"),
    ("GET", "/api/runs/%zz", None, {}, 400, "run id is not percent-encoded UTF-8"),
    ("GET", "/api/runs/%ff", None, {}, 400, "run id is not percent-encoded UTF-8"),
    ("GET", "/api/pending?limit=0", None, {}, 400, "limit must be a whole number from 1 to 1000"),
    ("GET", "/api/pending?limit=1001", None, {}, 400,
     "limit must be a whole number from 1 to 1000"),
    ("GET", "/api/pending?limit=two", None, {}, 400,
     "limit must be a whole number from 1 to 1000"),
    ("GET", "/api/pending?after=-1", None, {}, 400, "after must be a cursor from a previous page"),
    ("GET", "/api/pending?run=%e2%82", None, {}, 400, "query is not percent-encoded UTF-8"),
    ("POST", "/api/decide", b"{", {"Content-Type": "application/json"}, 400,
     "body must be a JSON object"),
    ("POST", "/api/decide", b"[]", {"Content-Type": "application/json"}, 400,
     "body must be a JSON object"),
    ("POST", "/api/decide", b'{"run_id":"\xff"}', {"Content-Type": "application/json"}, 400,
     "body must be a JSON object"),
    ("POST", "/api/decide", {"effect_key": "e", "approved": True}, {}, 400,
     '"run_id" must be a string'),
    ("POST", "/api/decide", {"run_id": 1, "effect_key": "e", "approved": True}, {}, 400,
     '"run_id" must be a string'),
    ("POST", "/api/decide", {"run_id": "r", "approved": True}, {}, 400,
     '"effect_key" must be a string'),
    ("POST", "/api/decide", {"run_id": "r", "effect_key": "e"}, {}, 400,
     '"approved" must be true or false'),
    ("POST", "/api/decide", {"run_id": "r", "effect_key": "e", "approved": 1}, {}, 400,
     '"approved" must be true or false'),
    ("POST", "/api/decide", {"run_id": "r", "effect_key": "e", "approved": True, "reason": 5},
     {}, 400, '"reason" must be a string'),
    ("POST", "/api/decide", b'{}', {"Content-Type": "text/plain"}, 415,
     "content type must be application/json"),
    ("POST", "/api/decide", b'{}', {}, 415, "content type must be application/json"),
    ("POST", "/api/decide", {"reason": LONG}, {}, 413, "request body too large"),
    ("GET", "/api/pending", None, {"X-Big": "y" * 9000}, 431, "request header too large"),
    ("GET", "/api/audit?limit=0", None, {}, 400, "limit must be a whole number from 1 to 1000"),
    ("GET", "/api/audit?after=x", None, {}, 400, "after must be a cursor from a previous page"),
    ("GET", "/api/audit?before=0", None, {}, 400,
     "before must be a cursor from a previous page"),
    ("GET", "/api/audit?order=sideways", None, {}, 400, "order must be oldest or newest"),
    ("GET", "/api/audit?order=newest&after=1", None, {}, 400,
     "after pages oldest first; newest first pages with before"),
    ("POST", "/api/audit", None, {}, 405, "method not allowed"),
    ("DELETE", "/api/pending", None, {}, 405, "method not allowed"),
    ("GET", "/api/decide", None, {}, 405, "method not allowed"),
    ("GET", "/api/runs/r/cancel", None, {}, 405, "method not allowed"),
    ("POST", "/api/runs/r", None, {}, 405, "method not allowed"),
    ("POST", "/api/events", None, {}, 405, "method not allowed"),
    ("PUT", "/healthz", None, {}, 405, "method not allowed"),
    ("POST", "/metrics", None, {}, 405, "method not allowed"),
    ("POST", "/", None, {}, 405, "method not allowed"),
]


@pytest.mark.parametrize("method,path,body,headers,status,text", ERRORS,
                         ids=[f"{e[4]}-{e[0]}-{e[1][:30]}" for e in ERRORS])
def test_error_replies(served, method, path, body, headers, status, text):
    process, console = served
    client(process).submit("r", "e", True)
    if isinstance(body, bytes):
        reply = console.call(method, path, raw=body, headers=headers)
    else:
        reply = console.call(method, path, body, headers=headers)
    assert reply.status == status
    assert reply.json() == {"error": text}
    assert reply.headers["x-content-type-options"] == "nosniff"
    if status == 405:
        assert reply.headers["allow"] in ("GET", "POST")
    # A refused call changed nothing.
    assert console.get("/api/pending")["items"][0]["effect_key"] == "e"


def test_a_malformed_request_gets_json(served):
    _, console = served
    with socket.create_connection(("127.0.0.1", console.port), timeout=10) as raw:
        raw.sendall(b"NOT HTTP AT ALL\r\n\r\n")
        answer = raw.recv(65536).decode()
    head, _, body = answer.partition("\r\n\r\n")
    assert head.startswith("HTTP/1.1 400 ")
    assert json.loads(body) == {"error": "malformed HTTP request"}


def test_keep_alive_serves_several_requests(served):
    _, console = served
    connection = console.connection()
    for _ in range(3):
        connection.request("GET", "/api/pending", headers=console.headers())
        response = connection.getresponse()
        assert response.status == 200 and json.loads(response.read())["items"] == []
    connection.close()


def test_events_of_either_door(served):
    process, console = served
    stream = EventStream(console)
    gate = client(process)
    gate.submit("r", "a/b", True)
    name, data = stream.next_event()
    assert name == "held" and (data["run_id"], data["effect_key"]) == ("r", "a/b")
    assert isinstance(data["held_at"], int)
    console.decide("r", "a/b", False, "looks wrong")
    assert stream.next_event() == ("decided", {
        "run_id": "r", "effect_key": "a/b", "approved": False, "verdict": "refused_rejected",
        "approver": "alice", "reason": "looks wrong", "at": stream_time(stream)})
    gate.submit("r", "c", True)
    assert stream.next_event()[0] == "held"
    gate.decide("r", "c", False)
    name, data = stream.next_event()
    assert (name, data["approved"], data["verdict"], data["approver"], data["reason"]) == (
        "decided", False, "refused_rejected", "", "")
    gate.submit("r", "released at once")  # decides nothing a person waits on
    gate.cancel("r")
    assert stream.next_event()[0] == "cancelled"
    console.call("POST", "/api/runs/r/close")
    name, data = stream.next_event()
    assert (name, data["run_id"]) == ("closed", "r")
    stream.close()


def stream_time(stream: EventStream):
    """Matches any event time (an int)."""
    class AnyInt:
        def __eq__(self, other):
            return isinstance(other, int)
    return AnyInt()


def test_sigterm_with_an_open_event_stream_exits_cleanly(gate_process, approvers):
    process = gate_process("--console", "127.0.0.1:0", "--approvers", str(approvers))
    stream = EventStream(Console(process.console_port, "token-of-bob"))
    process.signal(signal.SIGTERM)
    assert process.wait() == 0
    with pytest.raises(EOFError):
        stream.next_event()
    stream.close()


def test_console_decides_without_a_mac_where_the_line_protocol_needs_one(
        gate_process, approvers, tmp_path):
    secret = tmp_path / "secret"
    secret.write_bytes(b"s3cret")
    secret.chmod(0o600)
    process = gate_process("--secret-file", str(secret), "--console", "127.0.0.1:0",
                           "--approvers", str(approvers))
    console = Console(process.console_port, "token-of-bob")
    client(process).submit("r", "e", True)
    with process.connect() as raw:
        assert raw.request({"op": "decide", "run_id": "r", "effect_key": "e",
                            "approved": True})["verdict"] == "error"
    assert console.decide("r", "e", True) == "approved"


def test_open_console_on_loopback_without_approvers(gate_process):
    process = gate_process("--console", "127.0.0.1:0")
    warning = ("latchwork-gate: no --approvers: the console takes every call without a token "
               "(loopback only)")
    # Standard error is read by a thread of its own: the line may lag the ready line.
    deadline = time.monotonic() + 30
    while warning not in process.stderr_lines and time.monotonic() < deadline:
        time.sleep(0.01)
    assert warning in process.stderr_lines
    console = Console(process.console_port)
    assert console.get("/api/pending") == {"items": [], "next": None}


REFUSED = "--console needs --approvers unless it listens on a loopback address and the " \
          "server has no --secret-file"


@pytest.mark.parametrize("setup,expected", [
    ("any-address", REFUSED),
    ("secret", REFUSED),
    ("readable", "group or others may access it (mode 0644); allow its owner only (chmod 600)"),
    ("malformed", "line 2 is not name:token"),
    ("empty-token", "line 1 is not name:token"),
    ("no-approver", "names no approver"),
    ("missing", "cannot be opened"),
    ("repeated-token", "line 3 repeats the token of line 1"),
    ("spaced-token", "line 2: the token holds white space"),
    ("bad-role", 'line 2: unknown role "admin" (the roles are approver and viewer)'),
    ("unknown-key", 'line 1: unknown key "phone" (the keys are chat and email)'),
    ("repeated-chat-user", "line 2 repeats the chat user of line 1"),
    ("fifo", "not a regular file"),
    ("bad-address", 'invalid listen address "nowhere"'),
])
def test_start_up_refusals(tmp_path, setup, expected):
    arguments = ["serve", "--listen", "127.0.0.1:0", "--console", "127.0.0.1:0"]
    if setup == "any-address":
        arguments[-1] = "0.0.0.0:0"
    elif setup == "bad-address":
        arguments[-1] = "nowhere"
    elif setup == "secret":
        secret = tmp_path / "secret"
        secret.write_bytes(b"k")
        secret.chmod(0o600)
        arguments += ["--secret-file", str(secret)]
    else:
        texts = {"readable": TOKENS, "malformed": "alice:a\nbob\n", "empty-token": "alice:\n",
                 "no-approver": "# nobody\n\n", "repeated-token": "alice:a\n\nbob:a\n",
                 "spaced-token": "alice:a\nbob:b \n",
                 "bad-role": "alice:a\nbob:b:admin\n",
                 "unknown-key": "alice:a:approver:chat=U1,phone=5\n",
                 "repeated-chat-user": "alice:a:approver:chat=U1\nbob:b:viewer:chat=U1\n"}
        path = write_approvers(tmp_path, texts.get(setup, ""),
                               0o644 if setup == "readable" else 0o600)
        if setup in ("missing", "fifo"):
            path.unlink()
        if setup == "fifo":
            os.mkfifo(path, 0o600)
        arguments += ["--approvers", str(path)]
    result = run_gate(*arguments)
    assert result.returncode == 2
    assert result.stdout == ""
    assert expected in result.stderr
    assert len(result.stderr.splitlines()) == 1, result.stderr


def test_audit_pages_both_ways_and_filters_by_run(served):
    process, console = served
    gate = client(process)
    for i in range(5):
        gate.submit("a" if i % 2 else "b", f"e{i}", True)
    assert console.decide("a", "e1", True, "fine") == "approved"
    assert gate.decide("a", "e1", True).kind == "refused_duplicate"  # logged all the same

    oldest = console.get("/api/audit?limit=1000")
    assert oldest["next"] is None
    keys = [(i["event"], i["effect_key"]) for i in oldest["items"]]
    assert keys == [("held", f"e{i}") for i in range(5)] + [("decided", "e1")] * 2
    seqs = [int(i["seq"]) for i in oldest["items"]]
    assert seqs == sorted(seqs) and len(set(seqs)) == len(seqs)

    seen, cursor = [], None
    while True:
        page = console.get("/api/audit?order=newest&limit=2" +
                           (f"&before={cursor}" if cursor else ""))
        seen += page["items"]
        cursor = page["next"]
        if cursor is None:
            break
    assert seen == oldest["items"][::-1]

    only_a = console.get("/api/audit?run=a")["items"]
    assert [i["effect_key"] for i in only_a] == ["e1", "e3", "e1", "e1"]
    assert console.get("/api/audit?run=" + quote("a/"))["items"] == []
    assert console.get(f"/api/audit?after={seqs[-1]}") == {"items": [], "next": None}


# --- A person's approval, handed to the worker that submits the effect ---------------

DETAIL = {"to": "finance@example.com", "amount": {"value": 249, "currency": "EUR"},
          "lines": ["a", "b"]}


def raw_submit(raw, run_id, key, **extra):
    return raw.request({"op": "submit", "run_id": run_id, "effect_key": key,
                        "needs_approval": True, **extra})["verdict"]


def pending_item(console, run_id, key):
    items = console.get("/api/pending?run=" + quote(run_id))["items"]
    return next(i for i in items if (i["run_id"], i["effect_key"]) == (run_id, key))


def test_an_approval_waits_for_its_worker_and_is_taken_once(served):
    process, console = served
    with process.connect() as worker:
        assert raw_submit(worker, "pay", "invoice 7", detail=DETAIL) == "held_for_approval"
        item = pending_item(console, "pay", "invoice 7")
        assert (item["state"], item["detail"], item["deadline"]) == ("held", DETAIL, None)
        assert isinstance(item["held_at"], int)

        reply = console.decide_call("pay", "invoice 7", True, "amount checked")
        assert (reply.status, reply.json()) == (200, {"verdict": "approved"})
        assert pending_item(console, "pay", "invoice 7")["state"] == "approved"
        run = console.get("/api/runs/pay")
        assert run["effects"] == [{"effect_key": "invoice 7", "state": "approved",
                                   "detail": DETAIL}]

        assert raw_submit(worker, "pay", "invoice 7", detail=DETAIL) == "release"
        assert raw_submit(worker, "pay", "invoice 7", detail=DETAIL) == "refused_duplicate"
    assert console.get("/api/pending?run=pay")["items"] == []
    assert console.get("/api/runs/pay")["effects"] == [
        {"effect_key": "invoice 7", "state": "released"}]
    events = [(h["event"], h["source"].split(":")[0])
              for h in console.get("/api/runs/pay")["history"]]
    assert events == [("held", "line"), ("decided", "console"), ("taken", "line")]
    audit = console.get("/api/audit?run=pay")["items"]
    # Every entry of the effect says what it is, so a notice of each does too.
    assert [(i["event"], i["detail"]) for i in audit] == [
        ("held", DETAIL), ("decided", DETAIL), ("taken", DETAIL)]


def test_a_late_decision_is_told_who_made_the_first(served):
    process, console = served
    gate = client(process)
    for key in ("to reject", "to approve", "to take"):
        gate.submit("r", key, True)
    bob = "token-of-bob"
    assert console.decide_call("r", "to reject", False, "wrong account", token=bob).status == 200
    assert console.decide_call("r", "to approve", True, "fine").status == 200
    assert console.decide_call("r", "to take", True, "go").status == 200
    assert gate.submit("r", "to take", True).kind == "release"

    def late(key, approved):
        reply = console.decide_call("r", key, approved)
        assert reply.status == 409, reply.body
        body = reply.json()
        assert body["error"] == "already decided" and isinstance(body["decided_at"], int)
        return body["state"], body["decided_by"], body["reason"], body["taken_by"]

    assert late("to reject", True) == ("rejected", "bob", "wrong account", None)
    assert late("to reject", False) == ("rejected", "bob", "wrong account", None)
    assert late("to approve", False) == ("approved", "alice", "fine", None)
    # The worker took it; the approver decided it.
    state, decider, reason, taker = late("to take", True)
    assert (state, decider, reason) == ("released", "alice", "go") and taker.startswith("line:127.0.0.1:")
    # Nothing to tell of an effect the gate never held.
    reply = console.decide_call("r", "never held", True)
    assert (reply.status, reply.json()) == (409, {
        "error": "already decided", "state": "unknown", "decided_by": None,
        "decided_at": None, "reason": None, "taken_by": None})
    # A late decision changed nothing and left no entry.
    assert [h["event"] for h in console.get("/api/runs/r")["history"]].count("decided") == 3


def test_pending_items_say_when_a_worker_last_asked_and_whether_one_waits_now(served):
    process, console = served
    with process.connect() as gone_worker:
        assert raw_submit(gone_worker, "w", "asked once") == "held_for_approval"
    seen = pending_item(console, "w", "asked once")
    assert seen["waiting"] == 0 and seen["last_asked"] >= seen["held_at"]
    assert console.decide_call("w", "asked once", True).status == 200
    # The approval stays until a worker takes it; nothing says one will.
    assert pending_item(console, "w", "asked once")["waiting"] == 0
    with process.connect() as waiting:
        waiting.send(b'{"op":"submit","run_id":"w","effect_key":"waited on",'
                     b'"needs_approval":true,"wait_ms":30000}\n')
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            items = console.get("/api/pending?run=w")["items"]
            if any(i["effect_key"] == "waited on" and i["waiting"] == 1 for i in items):
                break
            time.sleep(0.05)
        else:
            pytest.fail("the waiting submit was never counted")
        console.decide("w", "waited on", True)
        assert json.loads(waiting.read_line()) == {"verdict": "release"}
    # What a worker took leaves nothing behind.
    assert [i["effect_key"] for i in console.get("/api/pending?run=w")["items"]] == ["asked once"]


def test_an_expired_hold_is_told_as_decided_by_expiry(gate_process, approvers):
    process = gate_process("--console", "127.0.0.1:0", "--approvers", str(approvers),
                           "--hold-timeout", "300ms")
    console = Console(process.console_port, "token-of-alice")
    client(process).submit("r", "slow", True)
    item = pending_item(console, "r", "slow")
    assert item["deadline"] - item["held_at"] == 300
    deadline = time.monotonic() + 10
    while console.get("/api/pending")["items"] and time.monotonic() < deadline:
        time.sleep(0.05)
    reply = console.decide_call("r", "slow", True)
    assert reply.status == 409
    assert (reply.json()["state"], reply.json()["decided_by"]) == ("rejected", "expiry")


def test_events_of_an_approval_and_its_taking(served):
    process, console = served
    stream = EventStream(console)
    with process.connect() as worker:
        raw_submit(worker, "r", "e", detail=DETAIL)
        name, data = stream.next_event()
        assert (name, data["effect_key"], data["detail"]) == ("held", "e", DETAIL)
        console.decide("r", "e", True, "looks right")
        assert stream.next_event() == ("approved", {
            "run_id": "r", "effect_key": "e", "approver": "alice", "reason": "looks right",
            "at": stream_time(stream)})
        raw_submit(worker, "r", "e", detail=DETAIL)
        assert stream.next_event() == ("taken", {"run_id": "r", "effect_key": "e",
                                                 "at": stream_time(stream)})
        # A submit released at once, without approval, is no taking.
        worker.request({"op": "submit", "run_id": "r", "effect_key": "free"})
        raw_submit(worker, "r", "after")
        assert stream.next_event()[0:1] == ("held",)
    stream.close()
