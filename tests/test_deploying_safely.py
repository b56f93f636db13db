"""latchwork-gate refuses what only a mistake or an attacker sends: HTTP on the line
port, foreign calls to the token-less console, ids that make a decision tag ambiguous,
ids over --max-id-bytes, weak or odd secret and approver files, and a store file that
vanished since the last start."""
from __future__ import annotations

import http.client
import json
import os
import socket

import pytest

import latchwork
from gate_process import encode, run_gate

SECRET = b"0123456789abcdef0123456789abcdef"
MEMORY_STORE = "latchwork-gate: store memory:"


def private_file(path, content: bytes) -> str:
    path.write_bytes(content)
    os.chmod(path, 0o600)
    return str(path)


def closed_without_a_word(connection) -> bool:
    try:
        return connection.socket.recv(1) == b""
    except ConnectionResetError:
        return True


# --- The line port takes no HTTP -------------------------------------------------

ATTACK = (b'{"op":"close_run","run_id":"victim"}\n'
          b'{"approved":true,"effect_key":"held","op":"decide","run_id":"victim"}\n')


@pytest.mark.parametrize("opening", [
    b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\n\r\n",
    b"GET /anything HTTP/1.0\r\n\r\n",
    b"OPTIONS * HTTP/1.1\r\n",
    b"HTTP/1.1 200 OK\r\n",
    b"PUT /x\n",
])
def test_a_connection_that_opens_like_http_is_closed_with_nothing_done(gate_process, opening):
    server = gate_process()
    assert server.request({"op": "submit", "run_id": "victim", "effect_key": "held",
                           "needs_approval": True}) == {"verdict": "held_for_approval"}
    with server.connect() as connection:
        connection.send(opening + ATTACK)
        assert closed_without_a_word(connection)
    assert server.request({"op": "is_closed", "run_id": "victim"}) == {
        "value": False, "verdict": "ok"}
    assert server.request({"op": "pending_count"}) == {"value": 1, "verdict": "ok"}
    # Only the first line is looked at: later ones are requests as before.
    with server.connect() as connection:
        connection.send(b'{"op":"ping"}\nGET / HTTP/1.1\n{"op":"ping"}\n')
        assert [connection.reply()["verdict"] for _ in range(3)] == ["pong", "error", "pong"]


# --- The token-less console answers its own page only ----------------------------

@pytest.mark.parametrize("method, path, headers, status", [
    ("GET", "/api/pending", {"Host": "attacker.example:{port}"}, 421),
    ("POST", "/api/runs/victim/cancel", {"Host": "attacker.example"}, 421),
    ("POST", "/api/runs/victim/cancel", {"Host": "127.0.0.1:{other}"}, 421),
    ("POST", "/api/runs/victim/cancel", {"Host": ""}, 421),
    ("POST", "/api/runs/victim/cancel", {"Origin": "http://127.0.0.1:{other}"}, 403),
    ("POST", "/api/runs/victim/cancel", {"Origin": "http://attacker.example"}, 403),
    ("POST", "/api/runs/victim/cancel", {"Origin": "null"}, 403),
    ("POST", "/api/runs/victim/cancel", {"Content-Type": "text/plain"}, 415),
    ("POST", "/api/runs/victim/close", {"Content-Type": "application/x-www-form-urlencoded"}, 415),
    ("POST", "/api/runs/victim/cancel", {"Content-Type": None}, 415),
    ("GET", "/api/pending", {"Host": "localhost:{port}"}, 200),
    ("GET", "/api/pending", {"Host": "[::1]:{port}", "Origin": "http://127.0.0.1:{port}"}, 200),
    ("GET", "/api/pending", {"Host": "127.0.0.2:{port}"}, 200),
])
def test_the_token_less_console_refuses_foreign_calls(gate_process, method, path, headers, status):
    process = gate_process("--console", "127.0.0.1:0")
    client = latchwork.GateClient(process.address)
    assert client.submit("victim", "held", True).kind == "held_for_approval"
    sent = {"Host": f"127.0.0.1:{process.console_port}", "Content-Type": "application/json"}
    for name, value in headers.items():
        sent[name] = value and value.format(port=process.console_port, other=process.port)
    sent = {name: value for name, value in sent.items() if value is not None}
    connection = http.client.HTTPConnection("127.0.0.1", process.console_port, timeout=30)
    try:
        connection.request(method, path, body=b"{}" if method == "POST" else None, headers=sent)
        reply = connection.getresponse()
        assert reply.status == status, reply.read()
    finally:
        connection.close()
    assert client.submit("victim", "held", True).kind == "held_for_approval"  # not cancelled


# --- With a secret, no id holds a line feed --------------------------------------

def tagged(run_id, effect_key, approved=True):
    return {"op": "decide", "run_id": run_id, "effect_key": effect_key, "approved": approved,
            "mac": latchwork.decision_tag(SECRET, run_id, effect_key, approved)}


@pytest.mark.parametrize("request_, member", [
    ({"op": "submit", "run_id": "deploy\nnotify", "effect_key": "wipe", "needs_approval": True},
     "run_id"),
    # The tag of (deploy, notify\nwipe) is the tag of (deploy\nnotify, wipe).
    (dict(tagged("deploy", "notify\nwipe"), run_id="deploy\nnotify", effect_key="wipe"), "run_id"),
    (tagged("deploy", "notify\nwipe"), "effect_key"),
    ({"op": "submit", "run_id": "r", "effect_key": "\n"}, "effect_key"),
    ({"op": "cancel", "run_id": "\n"}, "run_id"),
    ({"op": "close_run", "run_id": "a\nb"}, "run_id"),
    ({"op": "is_cancelled", "run_id": "a\n"}, "run_id"),
])
def test_with_a_secret_an_id_with_a_line_feed_is_refused(gate_process, tmp_path, request_,
                                                         member):
    server = gate_process("--secret-file", private_file(tmp_path / "secret", SECRET))
    client = latchwork.GateClient(server.address, SECRET)
    assert client.submit("deploy", "notify", True).kind == "held_for_approval"
    with server.connect() as connection:
        connection.send(encode(request_))
        assert connection.read_line() == (
            b'{"message":"' + member.encode() + b' must not contain a line feed when decisions '
            b'are authenticated","verdict":"error"}\n')
        assert connection.request({"op": "state_len"})["value"] == 1
    # The module's client goes on as before.
    assert client.decide("deploy", "notify", True).kind == "release"


def test_without_a_secret_ids_with_line_feeds_are_taken_as_before(gate_process):
    server = gate_process()
    assert server.request({"op": "submit", "run_id": "a\nb", "effect_key": "\n"}) == {
        "verdict": "release"}


# --- --max-id-bytes ----------------------------------------------------------------

@pytest.mark.parametrize("options, limit", [((), 4096), (("--max-id-bytes", "8"), 8)])
def test_ids_over_the_limit_are_refused(gate_process, options, limit):
    server = gate_process(*options)
    with server.connect() as connection:
        for member in ("run_id", "effect_key"):
            ids = {"run_id": "r", "effect_key": "e", member: "é" * (limit // 2) + "x"}
            assert connection.request({"op": "submit", **ids}) == {
                "message": f"{member} is longer than {limit} bytes", "verdict": "error"}
            assert connection.request({"op": "decide", "approved": True, **ids})["message"] == (
                f"{member} is longer than {limit} bytes")
        assert connection.request({"op": "cancel", "run_id": "x" * (limit + 1)})["verdict"] == (
            "error")
        assert connection.request({"op": "state_len"})["value"] == 0
        assert connection.request({"op": "submit", "run_id": "r" * limit,
                                   "effect_key": "e" * limit}) == {"verdict": "release"}


# --- Start-up -------------------------------------------------------------------------

SHORT = ("latchwork-gate: the secret is shorter than 16 bytes ({n}); use at least 16 random "
         "bytes (head -c 32 /dev/urandom > FILE)")
LINE_FEED = ("latchwork-gate: the secret ends in a line feed, which is part of it: every "
             "client must hold it too (printf, not echo, writes a secret without one)")


@pytest.mark.parametrize("secret, warnings", [
    (b"k" * 16, []),
    (b"k" * 15, [SHORT.format(n=15)]),
    (b"k" * 16 + b"\n", [LINE_FEED]),
    (b"\n", [SHORT.format(n=1), LINE_FEED]),
])
def test_weak_secrets_are_warned_of(gate_process, tmp_path, secret, warnings):
    server = gate_process("--secret-file", private_file(tmp_path / "secret", secret))
    assert server.stop() == 0
    assert server.stderr_lines == [MEMORY_STORE] + warnings


def test_a_fifo_as_secret_file_is_refused_at_once(tmp_path):
    fifo = tmp_path / "secret"
    os.mkfifo(fifo, 0o600)
    result = run_gate("serve", "--listen", "127.0.0.1:0", "--store", "memory:",
                      "--secret-file", str(fifo), timeout=20)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == f"latchwork-gate: secret file {fifo}: not a regular file\n"


def test_a_store_file_gone_since_the_last_start_is_refused_unless_create(gate_process, tmp_path):
    store = tmp_path / "gate.db"
    url = f"sqlite:{store}"
    server = gate_process(store=url)
    assert server.request({"op": "submit", "run_id": "pay", "effect_key": "invoice-7"}) == {
        "verdict": "release"}
    assert server.stop() == 0
    assert (tmp_path / "gate.db.created").is_file()
    store.unlink()
    result = run_gate("serve", "--listen", "127.0.0.1:0", "--store", url)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == (
        f"latchwork-gate: store {store} is gone, but {store}.created says a server used it: "
        "restore the store, or pass --create to start an empty gate there\n")
    assert not store.exists()
    server = gate_process("--create", store=url)
    assert server.request({"op": "submit", "run_id": "pay", "effect_key": "invoice-7"}) == {
        "verdict": "release"}


def test_the_default_store_falls_back_to_the_home_directory(gate_process, tmp_path):
    env = {name: value for name, value in os.environ.items() if name != "XDG_STATE_HOME"}
    env["HOME"] = str(tmp_path)
    server = gate_process(store=None, env=env, cwd=tmp_path)
    assert server.stop() == 0
    path = tmp_path / ".local" / "state" / "latchwork" / "gate.db"
    assert server.stderr_lines[0] == f"latchwork-gate: store sqlite:{path}"
    assert path.is_file() and path.with_name("gate.db.created").is_file()


def test_the_old_default_store_in_the_working_directory_is_not_left_behind(tmp_path):
    (tmp_path / "latchwork-gate.db").write_bytes(b"")
    env = dict(os.environ, XDG_STATE_HOME=str(tmp_path / "state"))
    result = run_gate("serve", "--listen", "127.0.0.1:0", env=env, cwd=tmp_path)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == (
        f"latchwork-gate: the default store is {tmp_path}/state/latchwork/gate.db now, and "
        f"{tmp_path}/latchwork-gate.db is where it was before: pass --store "
        f"sqlite:{tmp_path}/latchwork-gate.db to go on with it, or --create to start an empty "
        "gate at the new place\n")
    assert not (tmp_path / "state").exists()
