"""latchwork-gate bounds what one peer can make it keep: a client that never reads stops
being read, unfinished lines, stalled writes and quiet connections are closed after
their timeouts, one address holds at most its share of connections, and the console
keeps room for approvers."""
from __future__ import annotations

import socket
import time

import pytest

from gate_process import ServerGate, encode, run_gate
from support import UNDER_SANITIZER

PING = b'{"op":"ping"}\n'
PONG = b'{"verdict":"pong"}\n'


def closed_by_server(sock: socket.socket, within: float = 10) -> bool:
    """Reads (and drops) until the server closes; False if it is still open `within` later."""
    sock.settimeout(within)
    deadline = time.monotonic() + within
    try:
        while time.monotonic() < deadline:
            if sock.recv(1 << 16) == b"":
                return True
    except (ConnectionResetError, BrokenPipeError):
        return True
    except socket.timeout:
        return False
    return False


def left_established(sock: socket.socket, within: float = 30) -> bool:
    """Whether the connection leaves TCP's established state (the server closed it)
    within `within` seconds, read from TCP_INFO without reading any data."""
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        if sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 1)[0] != 1:  # TCP_ESTABLISHED
            return True
        time.sleep(0.05)
    return False


def ping(port: int) -> bytes:
    with socket.create_connection(("127.0.0.1", port), timeout=30) as sock:
        sock.sendall(PING)
        return sock.makefile("rb").readline()


def flood_without_reading(port: int, most: int = 64 << 20, quiet: float = 1.0,
                          first: bytes = b"", line: bytes = b"x\n"):
    """A client sending `first`, then one-byte lines (each answered by a longer error) or
    `line`, reading none; returns its socket and the bytes it got through before the
    sends stopped going."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=30)
    sock.sendall(first)
    sock.setblocking(False)
    chunk = line * (65536 // len(line))
    sent, last_progress = 0, time.monotonic()
    while sent < most and time.monotonic() - last_progress < quiet:
        try:
            sent += sock.send(chunk)
            last_progress = time.monotonic()
        except BlockingIOError:
            time.sleep(0.01)
        except (ConnectionResetError, BrokenPipeError):
            break  # closed by the server already
    sock.setblocking(True)
    return sock, sent


# --- The line port -------------------------------------------------------------------


def resident_bytes(pid: int) -> int:
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS")


def test_clients_that_never_read_stop_being_read_and_others_are_answered(gate_process):
    server = gate_process()
    before = resident_bytes(server.process.pid)
    sock, sent = flood_without_reading(server.port)
    # Reading stopped: 64 MiB of requests would otherwise have gone in (each answered
    # by ~90 bytes, far past the 1 MiB of queued replies).
    assert sent < 32 << 20
    assert ping(server.port) == PONG
    more = [flood_without_reading(server.port, most=4 << 20, quiet=0.3)[0] for _ in range(39)]
    # 1 MiB of replies each, and one read of requests, not what a read asks for (3 MB).
    # The sanitizer's quarantine keeps freed memory resident: RSS says nothing there.
    if not UNDER_SANITIZER:
        assert resident_bytes(server.process.pid) - before < 40 * (3 << 19)
    assert ping(server.port) == PONG
    for each in [sock, *more]:
        each.close()
    assert ping(server.port) == PONG


def test_replies_behind_a_waiting_submit_count_against_the_reply_cap(gate_process):
    server = gate_process()
    before = resident_bytes(server.process.pid)
    waiting = [flood_without_reading(
        server.port, most=16 << 20, quiet=0.5, line=PING,
        first=(b'{"op":"submit","run_id":"r","effect_key":"e%d","needs_approval":true,'
               b'"wait_ms":60000}\n' % i))[0] for i in range(8)]
    # Tiny replies held behind the submit: about 2 MiB a connection, not ten times that.
    if not UNDER_SANITIZER:
        assert resident_bytes(server.process.pid) - before < 8 * (3 << 20)
    assert ping(server.port) == PONG
    for sock in waiting:
        sock.close()


def test_unfinished_lines_stalled_writes_and_quiet_connections_are_closed(gate_process):
    server = gate_process("--line-timeout", "300ms", "--idle-timeout", "1500ms",
                          "--write-timeout", "500ms")
    unfinished = socket.create_connection(("127.0.0.1", server.port), timeout=30)
    unfinished.sendall(b'{"op":"ping"')  # its line feed never comes
    quiet = socket.create_connection(("127.0.0.1", server.port), timeout=30)
    quiet.sendall(PING)
    # A client that keeps asking is not idle, however long it stays.
    busy = socket.create_connection(("127.0.0.1", server.port), timeout=30)
    busy_reader = busy.makefile("rb")
    for _ in range(8):
        busy.sendall(PING)
        assert busy_reader.readline() == PONG
        time.sleep(0.3)
    assert closed_by_server(unfinished)
    assert quiet.recv(64) == PONG
    assert closed_by_server(quiet)
    # Replies nobody takes: the write stalls and the connection goes. Reading would
    # unstall it, so the close is seen in the socket's state, not by reading.
    stalled, _ = flood_without_reading(server.port)
    assert left_established(stalled)
    for sock in (unfinished, quiet, busy, stalled):
        sock.close()
    assert ping(server.port) == PONG


def test_without_an_idle_timeout_a_quiet_connection_stays(gate_process):
    server = gate_process("--line-timeout", "300ms")
    with socket.create_connection(("127.0.0.1", server.port), timeout=30) as sock:
        time.sleep(1)
        sock.sendall(PING)
        assert sock.makefile("rb").readline() == PONG


def test_one_address_holds_at_most_its_share_of_connections(gate_process):
    server = gate_process("--max-connections-per-peer", "3")
    kept = [socket.create_connection(("127.0.0.1", server.port), timeout=30) for _ in range(3)]
    for sock in kept:
        sock.sendall(PING)
        assert sock.makefile("rb").readline() == PONG
    extra = socket.create_connection(("127.0.0.1", server.port), timeout=30)
    extra.sendall(PING)
    assert closed_by_server(extra)
    extra.close()
    kept.pop().close()
    time.sleep(0.2)  # the server sees the close
    assert ping(server.port) == PONG
    for sock in kept:
        sock.close()


# --- The console ---------------------------------------------------------------------


def half_sent(port: int) -> socket.socket:
    sock = socket.create_connection(("127.0.0.1", port), timeout=30)
    sock.sendall(b"GET /api/pending HTTP/1.1\r\nHost: 127.0.0.1\r\n")  # headers never end
    return sock


def test_console_closes_half_sent_requests_and_keeps_slots_for_approvers(gate_process, tmp_path):
    from console_http import Console, write_approvers

    approvers = write_approvers(tmp_path, "alice:token-of-alice\n")
    server = gate_process("--console", "127.0.0.1:0", "--approvers", str(approvers),
                          "--console-max-connections", "20", "--console-header-timeout", "2s")
    console = Console(server.console_port, "token-of-alice")
    # 18 half-sent requests: the 18 slots not kept for tokens are taken.
    hogs = [half_sent(server.console_port) for _ in range(18)]
    time.sleep(0.3)
    assert console.call("GET", "/api/pending").status == 200  # a kept slot, with a token
    assert console.call("GET", "/api/pending", token="wrong").status == 503
    assert console.call("GET", "/", token="wrong").status == 503  # the page too, for now
    # Half-sent requests are closed after the header timeout, and room comes back.
    assert all(closed_by_server(sock, within=10) for sock in hogs)
    for sock in hogs:
        sock.close()
    time.sleep(0.2)
    assert console.call("GET", "/", token="wrong").status == 200


def test_console_caps_connections_per_peer(gate_process, tmp_path):
    from console_http import Console, write_approvers

    approvers = write_approvers(tmp_path, "alice:token-of-alice\n")
    server = gate_process("--console", "127.0.0.1:0", "--approvers", str(approvers),
                          "--console-max-connections-per-peer", "2")
    hogs = [half_sent(server.console_port) for _ in range(2)]
    time.sleep(0.2)
    extra = socket.create_connection(("127.0.0.1", server.console_port), timeout=30)
    assert closed_by_server(extra, within=5)
    extra.close()
    for sock in hogs:
        sock.close()
    time.sleep(0.2)
    assert Console(server.console_port, "token-of-alice").call("GET", "/api/pending").status == 200


def unread(port: int, path: str, header: str = "") -> socket.socket:
    """A console request whose reply is never read, into a small receive buffer."""
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.connect(("127.0.0.1", port))
    sock.sendall(f"GET {path} HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer token-of-alice\r\n{header}\r\n"
                 .encode())
    return sock


def test_unread_console_pages_and_resumed_streams_hold_their_bounds(gate_process, tmp_path):
    from console_http import Console, write_approvers

    approvers = write_approvers(tmp_path, "alice:token-of-alice\n")
    server = gate_process("--console", "127.0.0.1:0", "--approvers", str(approvers))
    # 400 held effects of about 24 KB each, as listed and as events.
    with server.connect() as conn:
        conn.send(b"".join(encode({"op": "submit", "run_id": f"{i}".ljust(4000, "r"),
                                   "effect_key": "k" * 4000, "needs_approval": True,
                                   "detail": {"d": "x" * 16000}}) for i in range(400)))
        assert all(b"held_for_approval" in conn.read_line() for _ in range(400))
    console = Console(server.console_port, "token-of-alice")
    # A page ends early when its items would pass the cap; its cursor goes on.
    pages = [console.get("/api/pending?limit=1000")]
    while pages[-1]["next"]:
        pages.append(console.get(f"/api/pending?limit=1000&after={pages[-1]['next']}"))
    assert max(len(page["items"]) for page in pages) < 20
    assert [item["run_id"] for page in pages for item in page["items"]] == \
        [f"{i}".ljust(4000, "r") for i in range(400)]
    before = resident_bytes(server.process.pid)
    hogs = [unread(server.console_port, "/api/pending?limit=1000") for _ in range(4)]
    hogs += [unread(server.console_port, "/api/events", "Last-Event-ID: 0\r\n") for _ in range(4)]
    time.sleep(1)  # the replies and the replays are written as far as they go
    # Without the caps: 20 MB for each page, 6 MB for each stream's page of the log.
    if not UNDER_SANITIZER:
        assert resident_bytes(server.process.pid) - before < 16 << 20
    for sock in hogs:
        sock.close()


# --- The audit log's retention ---------------------------------------------------------


@pytest.mark.parametrize("kind", ["sqlite", pytest.param("postgresql", marks=pytest.mark.postgres)])
def test_audit_entries_older_than_the_retention_are_pruned(gate_process, tmp_path, kind, request):
    url = (f"sqlite:{tmp_path / 'gate.db'}" if kind == "sqlite"
           else request.getfixturevalue("new_postgres_store")())
    first = gate_process("--audit-retention", "1s", store=url)
    for i in range(5):
        first.request({"op": "submit", "run_id": "old", "effect_key": f"e{i}", "needs_approval": True})
    first.request({"op": "close_run", "run_id": "old"})
    assert first.stop() == 0
    time.sleep(1.5)
    # A step is due at start: what aged while no server ran goes first.
    second = gate_process("--audit-retention", "1s", store=url)
    second.request({"op": "submit", "run_id": "new", "effect_key": "e", "needs_approval": True})
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        log = run_gate("log", "--store", url).stdout
        if 'held run="old"' not in log:
            break
        time.sleep(0.2)
    # (SQLite keeps its newest entry, then the close of "old", for its seq numbering.)
    assert 'held run="old"' not in log and 'run="new"' in log, log


# --- Stopped runs ----------------------------------------------------------------------


def test_closed_runs_cost_a_digest_not_their_ids(gate_process):
    server = gate_process("--audit-max-entries", "1000")
    with server.connect() as conn:
        conn.request({"op": "ping"})
        before = resident_bytes(server.process.pid)
        for batch in range(40):
            conn.send(b"".join(encode({"op": "close_run", "run_id": f"{batch}.{i}".ljust(4000, "r")})
                               for i in range(500)))
            assert all(conn.read_line() == b'{"verdict":"ok"}\n' for _ in range(500))
        # 20,000 ids of 4 KB would be 80 MB; their digests are under 1 MB.
        if not UNDER_SANITIZER:
            assert resident_bytes(server.process.pid) - before < 20 << 20


def test_stopped_runs_loaded_from_a_sqlite_file_answer_as_before(gate_process, tmp_path):
    url = f"sqlite:{tmp_path / 'gate.db'}"
    server = gate_process(store=url)
    gate = ServerGate(server)
    for run, key, held in [("closed", "e", False), ("cancelled", "kept", False), ("cancelled", "held", True)]:
        gate.submit(run, key, held)
    for step, run in [("close_run", "closed"), ("cancel", "cancelled"), ("cancel", "empty")]:
        getattr(gate, step)(run)
    gate.raw.close()
    assert server.stop() == 0
    gate = ServerGate(gate_process(store=url))
    assert [(gate.submit(run, "e").kind, gate.is_closed(run), gate.is_cancelled(run))
            for run in ("closed", "cancelled", "empty")] == \
        [("refused_cancelled", True, False)] + [("refused_cancelled", False, True)] * 2
    assert (gate.pending_count(), gate.state_len()) == (0, 1)
    gate.cancel("closed")
    gate.close_run("empty")
    assert gate.is_cancelled("closed") and gate.is_closed("empty")
