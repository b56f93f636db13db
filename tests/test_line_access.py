"""Who may speak to the line port, and what they may do: the protected default, --allow
networks, and clients that say hello with a token and are held to their scopes."""
from __future__ import annotations

import os
import re
import select
import socket
import time

import pytest

import latchwork
from console_http import Console
from gate_process import encode, run_gate
from webhook_receiver import Receiver

SECRET = b"0123456789abcdef0123456789abcdef"
CLIENTS = (b"# name:token:scopes\n\n"
           b"worker:w-token:submit\n"
           b"approver:a:token:with:colons:decide\n"
           b"operator:o-token:admin,submit\n")
HELD = {"op": "submit", "run_id": "pay", "effect_key": "invoice-7", "needs_approval": True}


def private_file(path, content: bytes) -> str:
    path.write_bytes(content)
    os.chmod(path, 0o600)
    return str(path)


def hello(name, token):
    return {"op": "hello", "client": name, "token": token}


def tagged(run_id, effect_key, approved=True):
    return {"op": "decide", "run_id": run_id, "effect_key": effect_key, "approved": approved,
            "mac": latchwork.decision_tag(SECRET, run_id, effect_key, approved)}


def replies_then_closed(connection, count) -> list[dict]:
    replies = [connection.reply() for _ in range(count)]
    try:
        assert connection.read_line() == b""
    except ConnectionResetError:
        pass
    return replies


# --- Refused at start ------------------------------------------------------------

PROTECTED = ("latchwork-gate: refusing to listen on {host} with no access rules: anyone who "
             "can reach it could decide; say who may connect with --allow CIDR (repeatable) "
             "and/or --clients FILE, or listen on 127.0.0.1\n")


@pytest.mark.parametrize("listen, options, clients, stderr", [
    ("0.0.0.0:0", (), None, PROTECTED.format(host="0.0.0.0")),
    ("0.0.0.0:0", ("--allow", "10.0.0.0/33"), None,
     'latchwork-gate: --allow "10.0.0.0/33": the prefix length must be 0 to 32\n'),
    ("127.0.0.1:0", (), b"# nobody\n\n", "latchwork-gate: clients file {path}: names no client\n"),
    ("127.0.0.1:0", (), b"w:tok\n", "latchwork-gate: clients file {path}: line 1 is not name:token:scopes\n"),
    ("127.0.0.1:0", (), b"w:tok:submit,root\n",
     'latchwork-gate: clients file {path}: line 1: unknown scope "root" (the scopes are '
     "submit, decide and admin)\n"),
    ("127.0.0.1:0", (), b"w:t ok:submit\n",
     "latchwork-gate: clients file {path}: line 1: the token holds white space\n"),
    ("127.0.0.1:0", (), b"w:a:submit\n#\nw:b:decide\n",
     "latchwork-gate: clients file {path}: line 3 repeats the name of line 1\n"),
    ("127.0.0.1:0", (), b"w:a:submit\nv:a:decide\n",
     "latchwork-gate: clients file {path}: line 2 repeats the token of line 1\n"),
    ("127.0.0.1:0", (), b"w x:a:submit\n",
     "latchwork-gate: clients file {path}: line 1: a name is letters, digits, '.', '_' or '-', "
     "at most 64\n"),
])
def test_what_cannot_be_served_safely_is_refused_at_start(tmp_path, listen, options, clients,
                                                           stderr):
    path = tmp_path / "clients"
    if clients is not None:
        options = (*options, "--clients", private_file(path, clients))
    result = run_gate("serve", "--listen", listen, "--store", "memory:", *options)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == stderr.format(path=path)


# --- Peers in --allow speak as before; others must say hello -----------------------

@pytest.mark.parametrize("listen, options", [
    ("0.0.0.0:0", ("--allow", "127.0.0.0/8")),
    ("0.0.0.0:0", ("--allow", "10.0.0.0/8", "--allow", "127.0.0.1")),
    ("[::]:0", ("--allow", "127.0.0.1")),  # an IPv4 peer of a dual-stack port
])
def test_a_peer_in_an_allowed_network_speaks_without_hello(gate_process, listen, options):
    try:
        server = gate_process(*options, listen=listen)
    except RuntimeError as error:  # a host without IPv6
        pytest.skip(f"cannot listen on {listen}: {error}")
    with server.connect() as connection:
        assert connection.request(HELD) == {"verdict": "held_for_approval"}
        # hello is no operation of a server without --clients, as before.
        connection.send(encode(hello("w", "t")))
        assert connection.read_line() == b'{"message":"unknown op: hello","verdict":"error"}\n'
        assert connection.request({"op": "pending_count"}) == {"value": 1, "verdict": "ok"}


@pytest.mark.parametrize("listen, options, message", [
    ("0.0.0.0:0", ("--allow", "10.0.0.0/8"), "this peer is not allowed to use the line port"),
    # Rules given, loopback gets no pass of its own: other local users reach it too.
    ("127.0.0.1:0", ("--clients",), "hello first: this peer is not allowed without a client token"),
    ("0.0.0.0:0", ("--allow", "10.0.0.0/8", "--clients"),
     "hello first: this peer is not allowed without a client token"),
])
def test_a_peer_outside_allow_gets_one_error_and_is_closed(gate_process, tmp_path, listen,
                                                          options, message):
    if "--clients" in options:  # last in the row: the file follows it
        options = (*options, private_file(tmp_path / "clients", CLIENTS))
    server = gate_process(*options, listen=listen)
    with server.connect() as connection:
        # A ping reflects nothing: health checks need no token.
        assert connection.request({"op": "ping"}) == {"verdict": "pong"}
        connection.send(encode({"op": "close_run", "run_id": "victim"}) + encode(HELD))
        assert replies_then_closed(connection, 1) == [{"message": message, "verdict": "error"}]
    if "--clients" in options:
        with server.connect() as connection:
            assert connection.request(hello("operator", "o-token"))["verdict"] == "ok"
            assert connection.request({"op": "is_closed", "run_id": "victim"})["value"] is False
            assert connection.request({"op": "state_len"})["value"] == 0


GOOD_HELLO = {"client": "worker", "verdict": "ok"}


@pytest.mark.parametrize("hellos, replies", [
    ([hello("worker", "wrong")], ["hello refused: unknown client or wrong token"]),
    ([hello("nobody", "w-token")], ["hello refused: unknown client or wrong token"]),
    ([hello("approver", "w-token")], ["hello refused: unknown client or wrong token"]),
    ([{"op": "hello", "client": "worker", "token": 7}],
     ["hello needs the string members client and token"]),
    ([hello("worker", "w-token")] * 2, [GOOD_HELLO, "hello was already said on this connection"]),
])
def test_a_bad_hello_is_answered_once_and_closed(gate_process, tmp_path, hellos, replies):
    # From an allowed peer too: a hello that fails ends the connection all the same.
    server = gate_process("--clients", private_file(tmp_path / "clients", CLIENTS),
                          "--allow", "127.0.0.1", listen="0.0.0.0:0")
    with server.connect() as connection:
        connection.send(b"".join(encode(line) for line in hellos) + encode(HELD))
        assert replies_then_closed(connection, len(replies)) == [
            reply if isinstance(reply, dict) else {"message": reply, "verdict": "error"}
            for reply in replies]
    assert server.request({"op": "pending_count"}) == {"value": 0, "verdict": "ok"}


# --- Wrong hellos are warned of, logged, counted and slowed -------------------------

REFUSED = {"message": "hello refused: unknown client or wrong token", "verdict": "error"}
REFUSAL_LINE = re.compile(r'latchwork-gate: hello refused from 127\.0\.0\.1:\d+ for client '
                          r'("worker"|"no\\nbody")'
                          r'(?: \((\d+) more refused since the last such line\))?')


def stderr_when(server, done):
    """The server's standard error lines once done(lines) holds (read by another thread)."""
    deadline = time.monotonic() + 30
    while not done(server.stderr_lines) and time.monotonic() < deadline:
        time.sleep(0.02)
    return list(server.stderr_lines)


def test_wrong_hellos_are_logged_counted_and_slowed_for_hellos_only(gate_process, tmp_path):
    server = gate_process("--clients", private_file(tmp_path / "clients", CLIENTS),
                          "--console", "127.0.0.1:0")
    short = ("latchwork-gate: the token of client {} is shorter than 16 bytes; use at least 16 "
             "random bytes (head -c 24 /dev/urandom | base64)")
    warnings = [short.format("worker"), short.format("operator")]  # not approver's 19 bytes
    assert stderr_when(server, lambda lines: warnings[-1] in lines)[-2:] == warnings
    worker = server.connect()
    assert worker.request(hello("worker", "w-token")) == GOOD_HELLO
    for name in ["no\nbody"] + ["worker"] * 7:  # the last three replies wait already
        with server.connect() as connection:
            connection.send(encode(hello(name, "guess")))
            assert replies_then_closed(connection, 1) == [REFUSED]
    with server.connect() as slowed:
        slowed.send(encode(hello("worker", "guess")) + encode(HELD))
        assert select.select([slowed.socket], [], [], 0.1)[0] == []  # it waits 400 ms
        # Meanwhile the same address's other clients are answered, and so are pings.
        assert worker.request(HELD) == {"verdict": "held_for_approval"}
        assert server.request({"op": "ping"}) == {"verdict": "pong"}
        assert replies_then_closed(slowed, 1) == [REFUSED]
    with server.connect() as operator:  # a right hello waits too, then goes on as usual
        operator.send(encode(hello("operator", "o-token")) + encode({"op": "pending_count"}))
        assert [operator.reply(), operator.reply()] == [
            {"client": "operator", "verdict": "ok"}, {"value": 1, "verdict": "ok"}]
    time.sleep(1.1)  # so that this last one is logged, with the count left out before it
    with server.connect() as connection:
        connection.send(encode(hello("worker", "guess")))
        assert replies_then_closed(connection, 1) == [REFUSED]
    metrics = Console(server.console_port).call("GET", "/metrics").body.decode()
    assert ("# TYPE latchwork_hello_failures_total counter\n"
            "latchwork_hello_failures_total 10\n") in metrics

    def refusals(lines):
        return [REFUSAL_LINE.fullmatch(line) for line in lines if "hello refused" in line]
    logged = refusals(stderr_when(
        server, lambda lines: sum(1 + int(m[2] or 0) for m in refusals(lines) if m) >= 10))
    assert all(logged) and logged[0][1] == r'"no\nbody"' and logged[0][2] is None
    assert sum(1 + int(match[2] or 0) for match in logged) == 10
    assert not any("guess" in line or "w-token" in line for line in server.stderr_lines)
    worker.close()


# --- A named client is held to its scopes and named in the audit -------------------

def test_a_hello_client_is_held_to_its_scopes_and_audited_by_name(gate_process, tmp_path):
    store = f"sqlite:{tmp_path / 'gate.db'}"
    server = gate_process("--clients", private_file(tmp_path / "clients", CLIENTS),
                          "--secret-file", private_file(tmp_path / "secret", SECRET),
                          store=store)
    worker, approver, operator = (server.connect() for _ in range(3))
    assert approver.request(hello("approver", "a:token:with:colons")) == {
        "client": "approver", "verdict": "ok"}
    assert worker.request(hello("worker", "w-token")) == {"client": "worker", "verdict": "ok"}
    assert operator.request(hello("operator", "o-token"))["verdict"] == "ok"
    refused = [
        (worker, tagged("pay", "invoice-7"), "client worker may not decide"),
        (worker, {"op": "cancel", "run_id": "pay"}, "client worker may not cancel"),
        (worker, {"op": "close_run", "run_id": "pay"}, "client worker may not close_run"),
        (worker, {"op": "pending_count"}, "client worker may not pending_count"),
        (approver, HELD, "client approver may not submit"),
        (approver, {"op": "state_len"}, "client approver may not state_len"),
        (operator, tagged("pay", "invoice-7"), "client operator may not decide"),
        # decide scope or not, the tag rule stands.
        (approver, dict(tagged("pay", "invoice-7"), mac="0" * 64), "decision not authenticated"),
    ]
    assert worker.request(HELD) == {"verdict": "held_for_approval"}
    for connection, request, message in refused:
        assert connection.request(request) == {"message": message, "verdict": "error"}, request
    # Reads that change nothing are open to every named client.
    assert worker.request({"op": "is_cancelled", "run_id": "pay"})["value"] is False
    assert operator.request({"op": "pending_count"}) == {"value": 1, "verdict": "ok"}
    assert approver.request(tagged("pay", "invoice-7")) == {"verdict": "release"}
    assert operator.request({"op": "close_run", "run_id": "pay"}) == {"verdict": "ok"}
    # With rules given and no --allow, a loopback peer without hello is refused too.
    with server.connect() as connection:
        connection.send(encode({"op": "cancel", "run_id": "pay"}))
        assert replies_then_closed(connection, 1)[0]["verdict"] == "error"
    for connection in (worker, approver, operator):
        connection.close()
    assert server.stop() == 0
    log = run_gate("log", "--store", store)
    assert log.returncode == 0, log.stderr
    assert [line.split(" ", 1)[1] for line in log.stdout.splitlines()] == [
        'held run="pay" effect="invoice-7" source="client:worker"',
        'decided run="pay" effect="invoice-7" approved=true verdict=release '
        'source="client:approver" mac=verified reason=""',
        'closed run="pay" source="client:operator"',
    ]


@pytest.mark.parametrize("store", ["memory", "sqlite", pytest.param("postgresql", marks=pytest.mark.postgres)])
def test_releases_to_a_named_client_are_on_record_but_not_announced(gate_process, tmp_path, request,
                                                                     store):
    url = {"memory": "memory:", "sqlite": f"sqlite:{tmp_path / 'gate.db'}"}.get(store) or \
        request.getfixturevalue("new_postgres_store")()
    with Receiver() as receiver:
        server = gate_process("--clients", private_file(tmp_path / "clients", CLIENTS),
                              "--console", "127.0.0.1:0", "--notify", receiver.url,
                              "--notify-secret-file", private_file(tmp_path / "notify", b"k" * 32),
                              store=url)
        with server.connect() as worker:
            assert worker.request(hello("worker", "w-token"))["verdict"] == "ok"
            assert worker.request({"op": "submit", "run_id": "pay", "effect_key": "fee",
                                   "detail": {"eur": 2}}) == {"verdict": "release"}
            assert worker.request(HELD) == {"verdict": "held_for_approval"}
        [(_, told)] = receiver.wait_for(1)
        entries = Console(server.console_port).get("/api/audit")["items"]
    assert told["data"]["effect_key"] == "invoice-7"  # the hold alone: the release is no news
    assert [(e["event"], e["effect_key"], e["source"], e["verdict"]) for e in entries] == [
        ("released", "fee", "client:worker", "release"),
        ("held", "invoice-7", "client:worker", "held_for_approval")]
    assert entries[0]["detail"] == {"eur": 2}


# --- The module's GateClient against the recommended configuration ----------------

def test_the_module_client_works_unchanged_with_allow_and_a_secret(gate_process, tmp_path):
    server = gate_process("--allow", "127.0.0.1/32",
                          "--secret-file", private_file(tmp_path / "secret", SECRET),
                          listen="0.0.0.0:0")
    client = latchwork.GateClient(server.address, SECRET)
    assert client.submit("deploy", "notify", True).kind == "held_for_approval"
    assert client.decide("deploy", "notify", True).kind == "release"
    assert client.submit("deploy", "log").kind == "release"
    assert client.cancel("deploy").kind == "ok"
