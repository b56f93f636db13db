"""The gate server over raw sockets: every reply form, every refusal, pipelining, the line
cap, a client that never reads, many connections and the connection cap."""
import resource
import socket
import threading
import time

import pytest

from gate_process import RawConnection, encode


def error(message):
    return b'{"message":"' + message.encode() + b'","verdict":"error"}\n'


@pytest.fixture
def server(gate_process):
    return gate_process()


@pytest.fixture
def connection(server):
    with server.connect() as opened:
        yield opened


def exchange(connection, line: bytes) -> bytes:
    connection.send(line + b"\n")
    return connection.read_line()


# Each reply form, byte for byte: compact, members in ascending name order.
@pytest.mark.parametrize("line, reply", [
    (b'{"op":"ping"}', b'{"verdict":"pong"}\n'),
    (b'{"effect_key":"e","needs_approval":false,"op":"submit","run_id":"r"}',
     b'{"verdict":"release"}\n'),
    (b'{"effect_key":"h","needs_approval":true,"op":"submit","run_id":"r"}',
     b'{"verdict":"held_for_approval"}\n'),
    (b'{"approved":true,"effect_key":"x","op":"decide","run_id":"r"}',
     b'{"verdict":"refused_duplicate"}\n'),
    (b'{"op":"cancel","run_id":"c"}', b'{"verdict":"ok"}\n'),
    (b'{"op":"close_run","run_id":"d"}', b'{"verdict":"ok"}\n'),
    (b'{"op":"is_cancelled","run_id":"c"}', b'{"value":false,"verdict":"ok"}\n'),
    (b'{"op":"is_closed","run_id":"d"}', b'{"value":false,"verdict":"ok"}\n'),
    (b'{"op":"pending_count"}', b'{"value":0,"verdict":"ok"}\n'),
    (b'{"op":"state_len"}', b'{"value":0,"verdict":"ok"}\n'),
])
def test_each_reply_form_is_compact_and_sorted(connection, line, reply):
    assert exchange(connection, line) == reply


def test_our_operations_report_the_ledger(connection):
    for line in [b'{"effect_key":"a","op":"submit","run_id":"r"}',
                 b'{"effect_key":"b","needs_approval":true,"op":"submit","run_id":"r"}',
                 b'{"approved":false,"effect_key":"c","op":"decide","run_id":"r"}']:
        exchange(connection, line)
    assert exchange(connection, b'{"op":"pending_count"}') == b'{"value":1,"verdict":"ok"}\n'
    assert exchange(connection, b'{"op":"state_len"}') == b'{"value":3,"verdict":"ok"}\n'
    assert connection.request({"op": "cancel", "run_id": "r"}) == {"verdict": "ok"}
    assert connection.request({"op": "is_cancelled", "run_id": "r"}) == {"value": True, "verdict": "ok"}
    assert connection.request({"op": "pending_count"})["value"] == 0
    assert connection.request({"op": "close_run", "run_id": "r"}) == {"verdict": "ok"}
    assert connection.request({"op": "is_closed", "run_id": "r"}) == {"value": True, "verdict": "ok"}
    assert connection.request({"op": "state_len"})["value"] == 0


TOO_DEEP = b'{"op":' + b"[" * 128 + b"]" * 128 + b"}"


@pytest.mark.parametrize("line, message", [
    (b"nope", "request is not valid JSON: expected ident at line 1 column 2"),
    (b"", "request is not valid JSON: EOF while parsing a value at line 1 column 0"),
    (b'{"op":"ping"', "request is not valid JSON: EOF while parsing an object at line 1 column 12"),
    (b'{"op":"ping"} x', "request is not valid JSON: trailing characters at line 1 column 15"),
    (b'{"op":"ping",}', "request is not valid JSON: trailing comma at line 1 column 14"),
    (b"{op:1}", "request is not valid JSON: key must be a string at line 1 column 2"),
    (TOO_DEEP, "request is not valid JSON: recursion limit exceeded at line 1 column 133"),
    (b"[]", "request is not a JSON object"),
    (b'"ping"', "request is not a JSON object"),
    (b"5", "request is not a JSON object"),
    (b"null", "request is not a JSON object"),
    (b"{}", "missing member: op"),
    (b'{"run_id":"r"}', "missing member: op"),
    (b'{"op":null}', "member op must be a string"),
    (b'{"op":["ping"]}', "member op must be a string"),
    (b'{"op":"ping","op":1}', "member op must be a string"),
    (b'{"op":"Ping"}', "unknown op: Ping"),
    (b'{"op":""}', "unknown op: "),
    (b'{"op":"x\\"\\n\xc3\xa9"}', 'unknown op: x\\"\\né'),
    (b'{"op":"submit","effect_key":"e"}', "missing member: run_id"),
    (b'{"op":"submit","run_id":5,"effect_key":"e"}', "member run_id must be a string"),
    (b'{"op":"submit","run_id":"r"}', "missing member: effect_key"),
    (b'{"op":"submit","run_id":"r","effect_key":{}}', "member effect_key must be a string"),
    (b'{"op":"submit","run_id":"r","effect_key":"e","needs_approval":"yes"}',
     "member needs_approval must be a boolean"),
    (b'{"op":"submit","run_id":"r","effect_key":"e","needs_approval":null}',
     "member needs_approval must be a boolean"),
    (b'{"op":"submit","run_id":"r","effect_key":"e","needs_approval":1}',
     "member needs_approval must be a boolean"),
    (b'{"op":"decide","run_id":"r","effect_key":"e"}', "missing member: approved"),
    (b'{"op":"decide","run_id":"r","effect_key":"e","approved":0}',
     "member approved must be a boolean"),
    (b'{"op":"decide","effect_key":"e","approved":true}', "missing member: run_id"),
    (b'{"op":"cancel"}', "missing member: run_id"),
    (b'{"op":"close_run","run_id":false}', "member run_id must be a string"),
    (b'{"op":"is_cancelled"}', "missing member: run_id"),
    (b'{"op":"is_closed","run_id":[]}', "member run_id must be a string"),
    (b"\xff", "request is not valid UTF-8"),
    (b'{"op":"ping","x":"\xc3"}', "request is not valid UTF-8"),
    (b'{"op":"\xc0\xaf"}', "request is not valid UTF-8"),
    (b'{"op":"\xed\xa0\x80"}', "request is not valid UTF-8"),
    (b'{"op":"ping","x":"\xf4\x90\x80\x80"}', "request is not valid UTF-8"),
])
def test_refusals_have_fixed_messages_change_nothing_and_keep_the_connection(
        connection, line, message):
    assert exchange(connection, line) == error(message)
    assert exchange(connection, b'{"op":"ping"}') == b'{"verdict":"pong"}\n'
    assert exchange(connection, b'{"op":"state_len"}') == b'{"value":0,"verdict":"ok"}\n'
    assert connection.request({"op": "is_cancelled", "run_id": "r"})["value"] is False
    assert connection.request({"op": "is_closed", "run_id": "r"})["value"] is False


@pytest.mark.parametrize("line, reply", [
    # unknown members are ignored, whatever their type
    (b'{"op":"ping","extra":[1,{"a":null}],"run_id":7}', b'{"verdict":"pong"}\n'),
    # the last of a repeated member counts
    (b'{"op":"cancel","op":"ping"}', b'{"verdict":"pong"}\n'),
    # JSON white space around and inside, a carriage return before the line feed
    (b'  { "op" : "ping" }\t\r', b'{"verdict":"pong"}\n'),
    # needs_approval defaults to false, as for the in-process gate
    (b'{"op":"submit","run_id":"r","effect_key":"e"}', b'{"verdict":"release"}\n'),
    # escapes decode before the ids are compared
    (b'{"op":"submit","run_id":"\\u0072","effect_key":"\\ud83d\\ude00"}', b'{"verdict":"release"}\n'),
])
def test_accepted_request_forms(connection, line, reply):
    assert exchange(connection, line) == reply


def test_escaped_ids_are_the_same_ids(connection):
    connection.request({"op": "submit", "run_id": "r", "effect_key": "\U0001F600"})
    assert exchange(connection, b'{"op":"submit","run_id":"\\u0072","effect_key":"\\ud83d\\ude00"}') \
        == b'{"verdict":"refused_duplicate"}\n'


def test_a_refused_request_is_not_half_applied(connection):
    line = b'{"op":"submit","run_id":"r","effect_key":"e","needs_approval":"yes"}'
    assert exchange(connection, line) == error("member needs_approval must be a boolean")
    assert connection.request({"op": "submit", "run_id": "r", "effect_key": "e"}) == {
        "verdict": "release"}


def test_pipelined_requests_are_answered_in_order(connection):
    requests, expected = [], []
    for i in range(2000):
        if i % 3 == 2:
            requests.append({"op": "pending_count"})
            expected.append({"value": len([j for j in range(i) if j % 3 == 1]), "verdict": "ok"})
        else:
            requests.append({"op": "submit", "run_id": "r", "effect_key": str(i),
                             "needs_approval": i % 3 == 1})
            expected.append({"verdict": "held_for_approval" if i % 3 == 1 else "release"})
    # several requests per segment, and requests split across segments
    data = b"".join(encode(request) for request in requests)
    for start in range(0, len(data), 997):
        connection.send(data[start:start + 997])
    assert [connection.reply() for _ in requests] == expected


def read_until_closed(connection: RawConnection) -> bytes:
    received = b""
    while chunk := connection.reader.read1(65536):
        received += chunk
    return received


LIMIT = 64


@pytest.fixture
def capped(gate_process):
    return gate_process("--max-line", str(LIMIT))


def line_of(size: int) -> bytes:
    """A ping request padded with an unknown member to exactly `size` bytes."""
    base = b'{"op":"ping","pad":""}'
    return base[:-2] + b"x" * (size - len(base)) + b'"}'


@pytest.mark.parametrize("tail", [b"\n", b""])
def test_a_line_over_the_cap_gets_an_error_and_the_connection_closes(capped, tail):
    with capped.connect() as connection:
        # a line of exactly the cap is served; the one after it is one byte too long
        connection.send(line_of(LIMIT) + b"\n" + line_of(LIMIT + 1) + tail)
        assert read_until_closed(connection) == (
            b'{"verdict":"pong"}\n' + error("request line too long"))
    assert capped.request({"op": "ping"}) == {"verdict": "pong"}


def test_a_long_line_in_small_pieces_is_caught(capped):
    with capped.connect() as connection:
        for _ in range(LIMIT + 10):
            connection.send(b" ")
        assert read_until_closed(connection) == error("request line too long")


def test_the_default_cap_is_one_mebibyte(server):
    with server.connect() as connection:
        connection.send(line_of(1 << 20) + b"\n")
        assert connection.reply() == {"verdict": "pong"}
        connection.send(line_of((1 << 20) + 1) + b"\n")
        assert read_until_closed(connection) == error("request line too long")


def test_a_client_that_never_reads_is_not_read_from_and_others_are_served(server):
    ping = b'{"op":"ping"}\n'
    hoarder = socket.create_connection(("127.0.0.1", server.port))
    hoarder.setblocking(False)
    block = ping * 4096
    sent, stalled_since = 0, None
    # Send until the server has stopped reading for a good while.
    while stalled_since is None or time.monotonic() - stalled_since < 1.0:
        try:
            sent += hoarder.send(block[sent % len(block):])
            stalled_since = None
        except BlockingIOError:
            stalled_since = stalled_since or time.monotonic()
            time.sleep(0.01)
        assert sent < 256 << 20, "the server kept reading from a client that never reads"
    assert server.request({"op": "ping"}) == {"verdict": "pong"}
    # Once the client reads, every whole request it sent is answered, in order.
    hoarder.settimeout(30)
    expected = b'{"verdict":"pong"}\n' * (sent // len(ping))
    received = b""
    while len(received) < len(expected):
        received += hoarder.recv(1 << 20)
    assert received == expected
    hoarder.close()


def raise_open_files_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return min(hard, 1 << 20)


def test_many_idle_connections_then_all_served(server):
    count = min(3000, raise_open_files_limit() - 100)
    connections = [socket.create_connection(("127.0.0.1", server.port)) for _ in range(count)]
    try:
        for opened in connections:
            opened.sendall(b'{"op":"pending_count"}\n')
        replies = set()
        for opened in connections:
            replies.add(opened.makefile("rb").readline())
        assert replies == {b'{"value":0,"verdict":"ok"}\n'}
    finally:
        for opened in connections:
            opened.close()
    assert server.request({"op": "ping"}) == {"verdict": "pong"}


def served(port: int) -> bool:
    """Whether a new connection is answered; one closed at once may also be reset, as its
    request arrives after the close."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as opened:
        try:
            opened.sendall(b'{"op":"ping"}\n')
            return opened.makefile("rb").readline() == b'{"verdict":"pong"}\n'
        except (ConnectionResetError, BrokenPipeError):
            return False


def test_connections_over_the_cap_are_closed_at_once(gate_process):
    server = gate_process("--max-connections", "3")
    held = [server.connect() for _ in range(3)]
    for opened in held:
        assert opened.request({"op": "ping"}) == {"verdict": "pong"}
    assert not served(server.port)
    held.pop().close()
    # The server notices the close in its own time; then there is room again.
    deadline = time.monotonic() + 30
    while not served(server.port):
        assert time.monotonic() < deadline
        time.sleep(0.02)
    for opened in held:
        assert opened.request({"op": "ping"}) == {"verdict": "pong"}
        opened.close()


def test_connections_from_many_threads_share_one_ledger(server):
    def work(worker):
        with server.connect() as opened:
            for i in range(200):
                assert opened.request({"op": "submit", "run_id": f"w{worker}",
                                       "effect_key": str(i)}) == {"verdict": "release"}

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert server.request({"op": "state_len"}) == {"value": 1600, "verdict": "ok"}
