"""test_gate_client_requests.py: the exact bytes GateClient puts on the wire."""

from __future__ import annotations

import json

import pytest

import latchwork
from gate_server import GateServer
from support import SECRET_FORMS, RefusingBytes

RELEASE = b'{"verdict":"release"}\n'


@pytest.fixture(scope="module")
def server():
    with GateServer(lambda _line: RELEASE) as server:
        yield server


def sent_by(server: GateServer, secret, call) -> bytes:
    client = latchwork.GateClient(server.address, secret)
    assert call(client).kind == "release"
    return server.requests[-1]


def tag(secret: bytes, run_id: str, effect_key: str, approved: bool) -> bytes:
    return latchwork.decision_tag(secret, run_id, effect_key, approved).encode()


def decide_line(approved: bytes, mac: bytes | None = None) -> bytes:
    mac_member = b'"mac":"' + mac + b'",' if mac is not None else b""
    return b'{"approved":' + approved + b',"effect_key":"email:42",' + mac_member + b'"op":"decide","run_id":"r1"}\n'


@pytest.mark.parametrize(
    "secret, call, expected",
    [
        (None, lambda c: c.ping(), b'{"op":"ping"}\n'),
        (b"k", lambda c: c.ping(), b'{"op":"ping"}\n'),
        (None, lambda c: c.cancel("r1"), b'{"op":"cancel","run_id":"r1"}\n'),
        (b"k", lambda c: c.cancel(run_id="r1"), b'{"op":"cancel","run_id":"r1"}\n'),
        (None, lambda c: c.submit("r1", "e"), b'{"effect_key":"e","needs_approval":false,"op":"submit","run_id":"r1"}\n'),
        (b"", lambda c: c.submit("r1", "e", True), b'{"effect_key":"e","needs_approval":true,"op":"submit","run_id":"r1"}\n'),
        (b"k", lambda c: c.submit(effect_key="e", run_id="r1"), b'{"effect_key":"e","needs_approval":false,"op":"submit","run_id":"r1"}\n'),
        (None, lambda c: c.submit("", ""), b'{"effect_key":"","needs_approval":false,"op":"submit","run_id":""}\n'),
        (None, lambda c: c.decide("r1", "email:42", True), decide_line(b"true")),
        (None, lambda c: c.decide(approved=False, effect_key="email:42", run_id="r1"), decide_line(b"false")),
        (b"k", lambda c: c.decide("r1", "email:42", True), decide_line(b"true", tag(b"k", "r1", "email:42", True))),
        (b"k", lambda c: c.decide("r1", "email:42", False), decide_line(b"false", tag(b"k", "r1", "email:42", False))),
        (b"", lambda c: c.decide("r1", "email:42", True), decide_line(b"true", tag(b"", "r1", "email:42", True))),
        ([0x6B], lambda c: c.decide("r1", "email:42", True), decide_line(b"true", tag(b"k", "r1", "email:42", True))),
        (bytearray(b"k"), lambda c: c.decide("r1", "email:42", False), decide_line(b"false", tag(b"k", "r1", "email:42", False))),
    ],
    ids=[
        "ping", "ping-with-secret", "cancel", "cancel-with-secret", "submit", "submit-needs-approval-empty-secret",
        "submit-by-keyword-with-secret", "submit-empty-strings", "decide-approved", "decide-rejected-by-keyword",
        "decide-mac-approved", "decide-mac-rejected", "decide-mac-empty-secret", "decide-mac-list-secret",
        "decide-mac-bytearray-secret",
    ],
)
def test_request_bytes(server, secret, call, expected):
    assert sent_by(server, secret, call) == expected


def test_mac_is_the_decision_tag_of_the_sent_values(server):
    secret = bytes(range(256)) * 2  # longer than one hash block
    for run_id, effect_key, approved in [("r", "e", True), ("é\n", '"', False), ("", "", True)]:
        line = sent_by(server, secret, lambda c: c.decide(run_id, effect_key, approved))
        request = json.loads(line)
        assert list(request) == ["approved", "effect_key", "mac", "op", "run_id"]
        assert request["mac"] == latchwork.decision_tag(secret, run_id, effect_key, approved)
        assert (request["run_id"], request["effect_key"], request["approved"]) == (run_id, effect_key, approved)


@pytest.mark.parametrize("secret, as_iterated", SECRET_FORMS)
def test_mac_uses_the_bytes_the_secret_iterates_to(server, secret, as_iterated):
    line = sent_by(server, secret, lambda c: c.decide("r", "e", True))
    assert json.loads(line)["mac"] == latchwork.decision_tag(as_iterated, "r", "e", True)


def test_a_secret_that_refuses_iteration_makes_no_client(server):
    connections = server.connections
    with pytest.raises(LookupError, match="no iteration"):
        latchwork.GateClient(server.address, RefusingBytes(b"k"))
    assert server.connections == connections


ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def json_escaped(char: str) -> str:
    if char in ESCAPES:
        return ESCAPES[char]
    return f"\\u{ord(char):04x}" if ord(char) < 0x20 else char


@pytest.mark.parametrize(
    "char, written",
    [('"', '\\"'), ("\\", "\\\\"), ("\b", "\\b"), ("\t", "\\t"), ("\n", "\\n"), ("\f", "\\f"), ("\r", "\\r"),
     ("\x00", "\\u0000"), ("\x01", "\\u0001"), ("\x1a", "\\u001a"), ("\x1f", "\\u001f"),
     ("/", "/"), ("\x7f", "\x7f"), ("é", "é"), ("\u2028", "\u2028"), ("\U0001f600", "\U0001f600")],
)
def test_string_escaping(server, char, written):
    line = sent_by(server, None, lambda c: c.cancel("a" + char + "b"))
    assert line == b'{"op":"cancel","run_id":"a' + written.encode() + b'b"}\n'


def test_every_character_round_trips_through_json(server):
    run_id = "".join(map(chr, range(0x80))) + "é€\u0301\U0001f600\ufeff"
    effect_key = run_id[::-1]
    line = sent_by(server, b"s", lambda c: c.decide(run_id, effect_key, True))
    expected_run_id = '"' + "".join(map(json_escaped, run_id)) + '"'
    assert line.endswith(b',"op":"decide","run_id":' + expected_run_id.encode() + b"}\n")
    assert line.count(b"\n") == 1
    request = json.loads(line)
    assert (request["run_id"], request["effect_key"]) == (run_id, effect_key)
    assert request["mac"] == latchwork.decision_tag(b"s", run_id, effect_key, True)
