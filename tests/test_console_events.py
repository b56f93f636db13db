"""The console's event stream: ids from the audit log, resuming after a dropped
connection, the heartbeat, and the bounds on its subscribers."""

from __future__ import annotations

import socket
import time

import pytest

from console_http import Console, EventStream, write_approvers
from support import UNDER_SANITIZER


@pytest.fixture
def approvers(tmp_path):
    return write_approvers(tmp_path, "ada:token-of-ada\n")


def start(gate_process, approvers, *options, store="memory:"):
    process = gate_process("--console", "127.0.0.1:0", "--approvers", str(approvers), *options,
                           store=store)
    return process, Console(process.console_port, "token-of-ada")


def hold(process, run_id, effect_key, detail=None):
    request = {"op": "submit", "run_id": run_id, "effect_key": effect_key, "needs_approval": True}
    if detail is not None:
        request["detail"] = detail
    assert process.request(request) == {"verdict": "held_for_approval"}


def read(stream, count):
    """The next `count` events as (id, name, run_id, effect_key)."""
    found = []
    for _ in range(count):
        name, data = stream.next_event()
        found.append((stream.last_id, name, data.get("run_id"), data.get("effect_key")))
    return found


def until_accepted(console, seconds=20):
    """An event stream, once the server has room for one again."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            return EventStream(console)
        except AssertionError:
            assert time.monotonic() < deadline, "no room for a stream"
            time.sleep(0.2)


# --- ids and resuming --------------------------------------------------------------------

@pytest.mark.parametrize("kind", ["memory", "sqlite"])
def test_a_resumed_stream_gets_exactly_the_events_it_missed(gate_process, approvers, tmp_path,
                                                            kind):
    store = "memory:" if kind == "memory" else f"sqlite:{tmp_path / 'gate.db'}"
    process, console = start(gate_process, approvers, store=store)
    stream = EventStream(console)
    hold(process, "r", "a")
    [(seen, name, _, _)] = read(stream, 1)
    assert name == "held" and int(seen) > 0
    stream.close()
    # Missed while away: a hold, a person's approval, a cancel.
    hold(process, "r", "b")
    assert console.decide("r", "a", True, "fine") == "approved"
    process.request({"op": "cancel", "run_id": "r"})
    resumed = EventStream(console, last_event_id=seen)
    missed = read(resumed, 3)
    assert [(name, run, key) for _, name, run, key in missed] == [
        ("held", "r", "b"), ("approved", "r", "a"), ("cancelled", "r", None)]
    ids = [int(seen)] + [int(event_id) for event_id, *_ in missed]
    assert ids == sorted(set(ids))
    # Then live events, with no gap and nothing twice.
    hold(process, "live", "c")
    [(live_id, name, run, _)] = read(resumed, 1)
    assert (name, run) == ("held", "live") and int(live_id) > ids[-1]
    resumed.close()
    # An id from before the stream opened replays everything after it.
    again = EventStream(console, last_event_id="0")
    assert [name for _, name, _, _ in read(again, 5)] == [
        "held", "held", "approved", "cancelled", "held"]
    again.close()


def test_an_id_the_log_no_longer_holds_starts_with_resync(gate_process, approvers):
    process, console = start(gate_process, approvers, "--audit-max-entries", "2")
    for key in "abcd":
        hold(process, "r", key)
    stream = EventStream(console, last_event_id="1")
    events = read(stream, 3)
    assert events[0][1] == "resync" and events[0][0] is None
    assert [(name, key) for _, name, _, key in events[1:]] == [("held", "c"), ("held", "d")]
    stream.close()


# --- heartbeat and bounds ----------------------------------------------------------------

def test_an_idle_stream_hears_a_heartbeat(gate_process, approvers):
    _, console = start(gate_process, approvers, "--event-heartbeat", "200ms")
    stream = EventStream(console)
    lines = []
    while b": keep-alive\n" not in lines:
        lines.append(stream.response.fp.readline())
        assert len(lines) < 20, lines
    stream.close()


def test_subscribers_beyond_the_cap_are_refused(gate_process, approvers):
    _, console = start(gate_process, approvers, "--max-subscribers", "2",
                       "--event-heartbeat", "200ms")
    streams = [EventStream(console), EventStream(console)]
    reply = console.call("GET", "/api/events")
    assert (reply.status, reply.json()) == (503, {"error": "too many event subscribers"})
    # A closed stream's place is free again once the server notices (its next write).
    streams.pop().close()
    streams.append(until_accepted(console))
    for stream in streams:
        stream.close()


def rss_kib(process) -> int:
    with open(f"/proc/{process.process.pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def test_a_subscriber_that_does_not_read_is_dropped(gate_process, approvers):
    process, console = start(gate_process, approvers, "--max-subscribers", "1",
                             "--write-timeout", "1s")
    stalled = socket.socket()
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.connect(("127.0.0.1", console.port))
    stalled.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                    b"Authorization: Bearer token-of-ada\r\n\r\n")
    time.sleep(0.5)
    before = rss_kib(process)
    detail = {"note": "x" * 4000}
    # About 8 MB of events (past the 1 MiB backlog and the sockets' buffers) for a
    # client that reads none of them.
    for index in range(2000):
        hold(process, "r", f"e{index}", detail)
    # Its place is taken back, and what it did not read was not kept.
    stream = until_accepted(console)
    stream.close()
    # The sanitizer's quarantine keeps freed memory resident: RSS says nothing there.
    if not UNDER_SANITIZER:
        assert rss_kib(process) - before < 64 * 1024
    stalled.close()


@pytest.mark.postgres
def test_resuming_on_one_server_replays_what_another_committed(gate_process, approvers,
                                                               new_postgres_store):
    url = new_postgres_store()
    first, console_a = start(gate_process, approvers, store=url)
    second, console_b = start(gate_process, approvers, store=url)
    stream = EventStream(console_a)
    hold(first, "r", "a")
    [(seen, name, _, _)] = read(stream, 1)
    assert name == "held"
    stream.close()
    # Server B commits while A's stream is gone.
    hold(second, "r", "b")
    assert console_b.decide("r", "b", True, "fine") == "approved"
    resumed = EventStream(console_a, last_event_id=seen)
    missed = read(resumed, 2)
    assert [(name, key) for _, name, _, key in missed] == [("held", "b"), ("approved", "b")]
    assert int(seen) < int(missed[0][0]) < int(missed[1][0])
    # What B commits next reaches A's resumed stream live, once.
    hold(second, "r", "c")
    [(_, name, _, key)] = read(resumed, 1)
    assert (name, key) == ("held", "c")
    resumed.close()
