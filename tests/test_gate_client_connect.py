"""test_gate_client_connect.py: GateClient construction, addresses, argument errors and class surface."""

from __future__ import annotations

import contextlib
import weakref

import pytest

import latchwork
import gate_server as gs
from gate_server import GateServer
from support import bound_but_not_listening

RELEASE = b'{"verdict":"release"}\n'
LATER_CALL_FAILURES = ("gate write failed: ", "gate read failed: ", "gate closed the connection")


def connect_failure(addr: str) -> str:
    with pytest.raises(RuntimeError) as caught:
        latchwork.GateClient(addr)
    return str(caught.value)


def test_nothing_listening():
    with bound_but_not_listening() as port:
        assert connect_failure(f"127.0.0.1:{port}") == f"connect 127.0.0.1:{port} failed: Connection refused (os error 111)"


@pytest.mark.parametrize(
    "addr, error_text",
    [
        ("localhost", "invalid socket address"),
        ("", "invalid socket address"),
        ("127.0.0.1", "invalid socket address"),
        ("127.0.0.1:70000", "invalid port value"),
        ("localhost:65536", "invalid port value"),
        ("localhost:", "invalid port value"),
        ("localhost:+", "invalid port value"),
        ("localhost:++80", "invalid port value"),
        ("localhost:-1", "invalid port value"),
        ("localhost:0x50", "invalid port value"),
        ("localhost:80 ", "invalid port value"),
        ("[::1]:70000", "invalid port value"),
        ("local\x00host:80", "file name contained an unexpected NUL byte"),
        ("127.0.0.1\x00:80", "file name contained an unexpected NUL byte"),
    ],
)
def test_address_errors(addr, error_text):
    assert connect_failure(addr) == f"connect {addr} failed: {error_text}"


@pytest.mark.parametrize("form", ["127.0.0.1:{port}", "localhost:{port}", "localhost:+{port}", "127.0.0.1:+{port}",
                                  "127.0.0.1:00{port}"])
def test_address_forms_that_connect(gate_server, form):
    server = gate_server([RELEASE])
    assert latchwork.GateClient(form.format(port=server.port)).ping().kind == "release"
    assert server.requests == [b'{"op":"ping"}\n']


@pytest.mark.parametrize("form", ["[::1]:{port}", "[::1%0]:{port}", "[0:0::1]:{port}"])
def test_ipv6_loopback(gate_server, form):
    try:
        server = gate_server([RELEASE], host="::1")
    except OSError:
        pytest.skip("no IPv6 loopback")
    assert latchwork.GateClient(form.format(port=server.port)).ping().kind == "release"


def test_default_address_is_127_0_0_1_port_8796():
    with bound_but_not_listening(8796):
        with pytest.raises(RuntimeError, match=r"^connect 127\.0\.0\.1:8796 failed: Connection refused \(os error 111\)$"):
            latchwork.GateClient()
    try:
        server = GateServer([RELEASE, RELEASE], port=8796)
    except OSError:
        pytest.skip("127.0.0.1:8796 is in use")
    with server:
        assert latchwork.GateClient().ping().kind == "release"
        assert latchwork.GateClient(secret=None).decide("r", "e", True).kind == "release"
        assert server.requests[-1] == b'{"approved":true,"effect_key":"e","op":"decide","run_id":"r"}\n'


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {"addr": None}, TypeError, "argument 'addr': 'NoneType' object cannot be converted to 'PyString'"),
        ((b"127.0.0.1:1",), {}, TypeError, "argument 'addr': 'bytes' object cannot be converted to 'PyString'"),
        (("{addr}", "key"), {}, TypeError, "argument 'secret': Can't extract `str` to `Vec`"),
        (("{addr}",), {"secret": 5}, TypeError, "argument 'secret': 'int' object cannot be converted to 'Sequence'"),
        (("{addr}",), {"secret": [1.5]}, TypeError, "argument 'secret': 'float' object cannot be interpreted as an integer"),
        (("{addr}",), {"secret": [256]}, OverflowError, "out of range integral type conversion attempted"),
        (("{addr}", None, 3), {}, TypeError, "GateClient.__new__() takes from 0 to 2 positional arguments but 3 were given"),
        (("{addr}",), {"x": 1}, TypeError, "GateClient.__new__() got an unexpected keyword argument 'x'"),
        (("{addr}",), {"addr": "{addr}"}, TypeError, "GateClient.__new__() got multiple values for argument 'addr'"),
        (("\ud800:1",), {}, UnicodeEncodeError, "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    ],
)
def test_constructor_argument_errors_make_no_connection(gate_server, args, kwargs, error, message):
    server = gate_server([RELEASE])
    fill = lambda value: value.format(addr=server.address) if isinstance(value, str) and "{addr}" in value else value
    with pytest.raises(error) as caught:
        latchwork.GateClient(*map(fill, args), **{name: fill(value) for name, value in kwargs.items()})
    assert type(caught.value) is error and str(caught.value) == message
    # Connections are accepted in order: had the failed call connected, this would be the second.
    assert latchwork.GateClient(server.address).ping().kind == "release"
    assert server.connections == 1


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda c: c.submit("r"), TypeError, "GateClient.submit() missing 1 required positional argument: 'effect_key'"),
        (lambda c: c.submit(), TypeError, "GateClient.submit() missing 2 required positional arguments: 'run_id' and 'effect_key'"),
        (lambda c: c.decide(), TypeError, "GateClient.decide() missing 3 required positional arguments: 'run_id', 'effect_key', and 'approved'"),
        (lambda c: c.decide("r", "e"), TypeError, "GateClient.decide() missing 1 required positional argument: 'approved'"),
        (lambda c: c.cancel(), TypeError, "GateClient.cancel() missing 1 required positional argument: 'run_id'"),
        (lambda c: c.cancel("a", "b"), TypeError, "GateClient.cancel() takes 1 positional arguments but 2 were given"),
        (lambda c: c.submit("a", "b", True, 4), TypeError, "GateClient.submit() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda c: c.cancel("r", run_id="r"), TypeError, "GateClient.cancel() got multiple values for argument 'run_id'"),
        (lambda c: c.cancel(5, x=1), TypeError, "GateClient.cancel() got an unexpected keyword argument 'x'"),
        (lambda c: c.decide(1, 2, 3), TypeError, "argument 'run_id': 'int' object cannot be converted to 'PyString'"),
        (lambda c: c.decide("r", b"e", True), TypeError, "argument 'effect_key': 'bytes' object cannot be converted to 'PyString'"),
        (lambda c: c.decide("r", "e", 1), TypeError, "argument 'approved': 'int' object cannot be converted to 'PyBool'"),
        (lambda c: c.submit("r", "e", None), TypeError, "argument 'needs_approval': 'NoneType' object cannot be converted to 'PyBool'"),
        (lambda c: c.cancel(None), TypeError, "argument 'run_id': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda c: c.cancel("\udc00"), UnicodeEncodeError, "'utf-8' codec can't encode character '\\udc00' in position 0: surrogates not allowed"),
        (lambda c: c.ping(1), TypeError, "GateClient.ping() takes no arguments (1 given)"),
        (lambda c: c.ping(x=1), TypeError, "GateClient.ping() takes no keyword arguments"),
    ],
)
def test_method_argument_errors_send_nothing(gate_server, call, error, message):
    server = gate_server([RELEASE])
    client = latchwork.GateClient(server.address, b"k")
    with pytest.raises(error) as caught:
        call(client)
    assert type(caught.value) is error and str(caught.value) == message
    assert client.ping().kind == "release"
    assert server.requests == [b'{"op":"ping"}\n']


@pytest.mark.parametrize("first", [gs.close(RELEASE), gs.close(b'{"verdict":"release"}'), gs.close()])
def test_after_the_server_closes_every_call_fails_and_a_new_client_connects(gate_server, first):
    server = gate_server([first, RELEASE])
    client = latchwork.GateClient(server.address, b"k")
    with contextlib.suppress(RuntimeError):
        client.ping()
    for call in [lambda: client.ping(), lambda: client.submit("r", "e"), lambda: client.decide("r", "e", True),
                 lambda: client.cancel("r"), lambda: client.ping()]:
        with pytest.raises(RuntimeError) as caught:
            call()
        assert str(caught.value).startswith(LATER_CALL_FAILURES), caught.value
    assert latchwork.GateClient(server.address).ping().kind == "release"


def test_reset_in_the_middle_of_a_reply(gate_server):
    server = gate_server([gs.reset(b'{"verdict":"rel')])
    client = latchwork.GateClient(server.address)
    with pytest.raises(RuntimeError, match=r"^gate read failed: Connection reset by peer \(os error 104\)$"):
        client.ping()
    with pytest.raises(RuntimeError) as caught:
        client.cancel("r")
    assert str(caught.value).startswith(LATER_CALL_FAILURES), caught.value


def test_class_surface(gate_server):
    names = set(dir(latchwork.GateClient))
    assert {"submit", "decide", "cancel", "ping"} <= names
    assert not names & {"close_run", "is_cancelled", "is_closed", "pending_count", "state_len", "__enter__", "close"}
    assert latchwork.GateClient.__text_signature__ == '(addr="127.0.0.1:8796", secret=None)'
    signatures = {name: getattr(latchwork.GateClient, name).__text_signature__ for name in ["submit", "decide", "cancel", "ping"]}
    assert signatures == {
        "submit": "($self, run_id, effect_key, needs_approval=False)",
        "decide": "($self, run_id, effect_key, approved)",
        "cancel": "($self, run_id)",
        "ping": "($self)",
    }
    assert [getattr(latchwork.GateClient, name).__doc__ for name in signatures] == [None] * 4
    assert (latchwork.GateClient.__module__, latchwork.GateClient.__qualname__) == ("latchwork", "GateClient")
    with pytest.raises(TypeError):
        type("Sub", (latchwork.GateClient,), {})

    server = gate_server([RELEASE])
    client, other = latchwork.GateClient(server.address), latchwork.GateClient(server.address)
    with pytest.raises(AttributeError):
        client.__dict__
    with pytest.raises(AttributeError):
        client.secret = b"k"
    with pytest.raises(TypeError):
        weakref.ref(client)
    assert hash(client) == object.__hash__(client) and hash(client) != hash(other)
    assert client == client and client != other
    assert repr(client).startswith("<latchwork.GateClient object at 0x")
