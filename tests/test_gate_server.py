"""test_gate_server.py: the test gate server itself, driven by a raw socket client."""

from __future__ import annotations

import socket

import pytest

import gate_server as gs


def connect(server: gs.GateServer) -> socket.socket:
    client = socket.create_connection(("127.0.0.1", server.port), timeout=5)
    return client


def read_until_closed(client: socket.socket) -> bytes:
    data = b""
    while chunk := client.recv(65536):
        data += chunk
    return data


def read_exactly(client: socket.socket, size: int) -> bytes:
    data = b""
    while len(data) < size:
        chunk = client.recv(size - len(data))
        assert chunk, f"closed after {data!r}"
        data += chunk
    return data


def test_answers_each_line_in_order_and_records_the_requests(gate_server):
    server = gate_server([b'{"verdict":"release"}\n', gs.send(b'{"verdict":"held_for_approval"}\n')])
    assert server.address == f"127.0.0.1:{server.port}"
    with connect(server) as client:
        client.sendall(b'{"op":"ping"}')
        client.sendall(b"\n")
        assert read_exactly(client, 22) == b'{"verdict":"release"}\n'
        client.sendall(b'{"op":"cancel","run_id":"r1"}\n')
        assert read_exactly(client, 32) == b'{"verdict":"held_for_approval"}\n'
        # The script is used up: the next request closes the connection.
        client.sendall(b'{"op":"ping"}\n')
        assert read_until_closed(client) == b""
    assert server.requests == [b'{"op":"ping"}\n', b'{"op":"cancel","run_id":"r1"}\n', b'{"op":"ping"}\n']
    assert server.connections == 1


def test_a_callable_script_sees_each_request_line(gate_server):
    server = gate_server(lambda line: b'{"verdict":"' + str(len(line)).encode() + b'"}\n')
    with connect(server) as client:
        client.sendall(b"abc\nde\n")
        assert read_exactly(client, 32) == b'{"verdict":"4"}\n{"verdict":"3"}\n'


@pytest.mark.parametrize(
    "entry, expected",
    [
        (b'{"verdict":"a"}\n{"verdict":"b"}\n', b'{"verdict":"a"}\n{"verdict":"b"}\n'),
        (gs.close(b'{"verdict":"release"}'), b'{"verdict":"release"}'),
        (gs.close(b'{"verdict":"\xff"}\n'), b'{"verdict":"\xff"}\n'),
        (gs.CLOSE, b""),
    ],
    ids=["several-lines", "no-line-feed-then-close", "invalid-utf8", "close-without-answer"],
)
def test_sends_the_entry_as_raw_bytes(gate_server, entry, expected):
    server = gate_server([entry, gs.CLOSE])
    with connect(server) as client:
        client.sendall(b'{"op":"ping"}\n')
        if isinstance(entry, gs.Action):
            assert read_until_closed(client) == expected
        else:
            assert read_exactly(client, len(expected)) == expected


def test_reset_aborts_the_connection(gate_server):
    server = gate_server([gs.RESET])
    with connect(server) as client:
        client.sendall(b'{"op":"ping"}\n')
        with pytest.raises(ConnectionResetError):
            read_until_closed(client)


def test_hang_records_but_never_answers_until_stopped(gate_server):
    server = gate_server([gs.HANG])
    client = connect(server)
    try:
        client.sendall(b'{"op":"ping"}\n{"op":"ping"}\n')
        assert server.wait_for_requests(2) == [b'{"op":"ping"}\n'] * 2
        client.settimeout(0.2)
        with pytest.raises(socket.timeout):
            client.recv(1)
        client.settimeout(5)
        server.stop()
        assert read_until_closed(client) == b""
    finally:
        client.close()


def test_on_connect_acts_before_any_request(gate_server):
    server = gate_server(on_connect=gs.close(b"hello\n"))
    with connect(server) as client:
        assert read_until_closed(client) == b"hello\n"
    assert server.requests == []


def test_later_connections_continue_the_script(gate_server):
    server = gate_server([gs.close(b"one\n"), b"two\n"])
    with connect(server) as first:
        first.sendall(b"x\n")
        assert read_until_closed(first) == b"one\n"
    with connect(server) as second:
        second.sendall(b"y\n")
        assert read_exactly(second, 4) == b"two\n"
    assert server.connections == 2
    assert server.requests == [b"x\n", b"y\n"]


def test_stop_ends_every_thread_and_closes_the_port():
    with gs.GateServer([b"ok\n"]) as server:
        client = connect(server)
        client.sendall(b"q\n")
        assert read_exactly(client, 3) == b"ok\n"
    assert read_until_closed(client) == b""
    client.close()
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", server.port), timeout=5)
