"""The audit log and hold expiry of the real latchwork-gate: from both doors, across restarts."""

from __future__ import annotations

import re
import signal
import time

import pytest

import latchwork
from console_http import Console, EventStream, write_approvers
from gate_process import GateProcess, run_gate

TOKENS = "alice:token-of-alice\nbob:token-of-bob\n"
LOG_LINE = re.compile(r'^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (held|decided|expired|cancelled|closed) ')


@pytest.fixture
def approvers(tmp_path):
    return write_approvers(tmp_path, TOKENS)


def audit(console: Console, query: str = "") -> list[dict]:
    """The whole audit log through the API, oldest first, page by page."""
    items, cursor = [], None
    while True:
        page = console.get("/api/audit?limit=3" + query + (f"&after={cursor}" if cursor else ""))
        items += page["items"]
        cursor = page["next"]
        if cursor is None:
            return items


# The stores that outlive a server; the shared store's cases need the test cluster.
DURABLE_STORES = ["sqlite", pytest.param("postgresql", marks=pytest.mark.postgres)]


@pytest.fixture(params=DURABLE_STORES)
def durable_store(request, tmp_path) -> str:
    """A store URL that keeps what a server wrote for the next one."""
    if request.param == "sqlite":
        return f"sqlite:{tmp_path / 'gate.db'}"
    return request.getfixturevalue("new_postgres_store")()


def log_lines(url: str, *options: str) -> list[str]:
    result = run_gate("log", "--store", url, *options)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert all(LOG_LINE.match(line) for line in lines), lines
    return lines


def wait_for(condition, seconds: float = 10):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


@pytest.mark.parametrize("store", ["memory", "sqlite",
                                   pytest.param("postgresql", marks=pytest.mark.postgres)])
def test_a_hold_past_its_deadline_is_rejected_announced_and_logged(
        gate_process, approvers, tmp_path, store, request):
    if store == "postgresql":
        url = request.getfixturevalue("new_postgres_store")()
    else:
        url = "memory:" if store == "memory" else f"sqlite:{tmp_path / 'gate.db'}"
    process = gate_process("--console", "127.0.0.1:0", "--approvers", str(approvers),
                           "--hold-timeout", "300ms", store=url)
    console = Console(process.console_port, "token-of-bob")
    stream = EventStream(console)
    gate, oracle = latchwork.GateClient(process.address), latchwork.Gate()
    started = time.monotonic()
    assert gate.submit("r", "slow", True).kind == "held_for_approval"
    name, held = stream.next_event()
    assert name == "held" and held["deadline"] - held["held_at"] == 300
    name, expired = stream.next_event()
    assert (name, expired["run_id"], expired["effect_key"]) == ("expired", "r", "slow")
    assert expired["verdict"] == "refused_rejected" and expired["at"] >= held["deadline"]
    # Not early: the deadline is in whole milliseconds of the server's clock, so the
    # hold may end up to a millisecond before 300 ms of this clock have passed.
    assert time.monotonic() - started >= 0.299
    assert console.get("/api/pending")["items"] == []
    # Exactly what a rejecting decide leaves behind.
    oracle.submit("r", "slow", True)
    oracle.decide("r", "slow", False)
    assert gate.submit("r", "slow", True).kind == oracle.submit("r", "slow", True).kind
    entries = audit(console)
    assert [(e["event"], e["effect_key"], e["source"]) for e in entries][-1] == (
        "expired", "slow", "expiry")
    assert entries[-1]["verdict"] == "refused_rejected" and entries[-1]["approved"] is False
    stream.close()


def test_a_deadline_that_passed_while_the_server_was_down_is_kept_before_serving(
        gate_process, approvers, durable_store):
    options = ("--hold-timeout", "1500ms", "--store", durable_store)
    first = gate_process(*options)
    gate = latchwork.GateClient(first.address)
    assert gate.submit("r", "waits", True).kind == "held_for_approval"
    assert gate.submit("r", "decided", True).kind == "held_for_approval"
    assert gate.decide("r", "decided", True).kind == "release"
    first.kill()  # no orderly stop: the hold and its deadline come from the log alone
    time.sleep(1.8)
    second = gate_process(*options)
    # The very first request already sees it rejected.
    assert latchwork.GateClient(second.address).submit("r", "waits", True).kind == "refused_rejected"
    second.stop()
    lines = log_lines(durable_store)
    assert [line.split()[1] for line in lines] == ["held", "held", "decided", "expired"]
    assert 'effect="waits"' in lines[3] and 'source="expiry"' in lines[3]


def test_hold_times_and_order_survive_a_restart(gate_process, approvers, durable_store):
    options = ("--console", "127.0.0.1:0", "--approvers", str(approvers), "--store",
               durable_store)
    first = gate_process(*options)
    gate = latchwork.GateClient(first.address)
    for key in ("z-first", "a-second", "m-third"):
        gate.submit("r", key, True)
        time.sleep(0.01)
    before = Console(first.console_port, "token-of-alice").get("/api/pending")["items"]
    assert first.stop() == 0
    second = gate_process(*options)
    after = Console(second.console_port, "token-of-alice").get("/api/pending")["items"]
    # When a worker last asked is kept in memory only: a new server has seen none.
    assert [i.pop("last_asked") for i in after] == [None] * 3
    assert after == [{k: v for k, v in i.items() if k != "last_asked"} for i in before]
    assert [i["effect_key"] for i in after] == ["z-first", "a-second", "m-third"]


def test_a_mixed_session_logs_every_decision_with_its_source(gate_process, approvers, tmp_path,
                                                             durable_store):
    secret = tmp_path / "secret"
    secret.write_bytes(b"the secret")
    secret.chmod(0o600)
    console_options = ("--console", "127.0.0.1:0", "--approvers", str(approvers),
                       "--store", durable_store, "--hold-timeout", "2s")

    # Without a secret: decisions on the line protocol are taken without a mac.
    open_server = gate_process(*console_options)
    with open_server.connect() as raw:
        plain_peer = "line:%s:%d" % raw.socket.getsockname()
        raw.request({"op": "submit", "run_id": "r1", "effect_key": "a", "needs_approval": True})
        assert raw.request({"op": "decide", "run_id": "r1", "effect_key": "a",
                            "approved": True}) == {"verdict": "release"}
        raw.request({"op": "submit", "run_id": "r1", "effect_key": "b", "needs_approval": True})
        raw.request({"op": "submit", "run_id": "r1", "effect_key": "c", "needs_approval": True})
        raw.request({"op": "submit", "run_id": "r2", "effect_key": "d", "needs_approval": True})
    alice = Console(open_server.console_port, "token-of-alice")
    bob = Console(open_server.console_port, "token-of-bob")
    assert alice.decide("r1", "b", False, "too risky") == "refused_rejected"
    # Too late: answered with who released it, and not logged.
    late = bob.decide_call("r1", "a", True, "again")
    assert (late.status, late.json()["state"], late.json()["decided_by"]) == (
        409, "released", plain_peer)
    assert bob.call("POST", "/api/runs/r2/cancel").json() == {"verdict": "ok"}
    wait_for(lambda: audit(alice)[-1]["event"] == "expired")  # r1/c
    assert open_server.stop() == 0

    # With a secret: only tagged decisions reach the ledger, and the log says so.
    tagged_server = gate_process("--secret-file", str(secret), *console_options)
    with tagged_server.connect() as raw:
        tagged_peer = "line:%s:%d" % raw.socket.getsockname()
        raw.request({"op": "submit", "run_id": "r3", "effect_key": "e", "needs_approval": True})
        untagged = raw.request({"op": "decide", "run_id": "r3", "effect_key": "e",
                                "approved": True})
        assert untagged["verdict"] == "error"
        tag = latchwork.decision_tag(b"the secret", "r3", "e", True)
        assert raw.request({"op": "decide", "run_id": "r3", "effect_key": "e", "approved": True,
                            "mac": tag}) == {"verdict": "release"}
        raw.request({"op": "close_run", "run_id": "r3"})
        raw.request({"op": "close_run", "run_id": "r3"})  # changes nothing: not logged
    api_entries = audit(Console(tagged_server.console_port, "token-of-bob"))
    assert tagged_server.stop() == 0

    expected = [
        ("held", "r1", "a", plain_peer, False, "", ""),
        ("decided", "r1", "a", plain_peer, False, "release", ""),
        ("held", "r1", "b", plain_peer, False, "", ""),
        ("held", "r1", "c", plain_peer, False, "", ""),
        ("held", "r2", "d", plain_peer, False, "", ""),
        ("decided", "r1", "b", "console:alice", False, "refused_rejected", "too risky"),
        ("cancelled", "r2", "", "console:bob", False, "", ""),
        ("expired", "r1", "c", "expiry", False, "refused_rejected", ""),
        ("held", "r3", "e", tagged_peer, False, "", ""),
        ("decided", "r3", "e", tagged_peer, True, "release", ""),
        ("closed", "r3", "", tagged_peer, False, "", ""),
    ]
    seen = [(e["event"], e["run_id"], e["effect_key"], e["source"], e["mac_verified"],
             e["verdict"] if e["event"] in ("decided", "expired") else "", e["reason"])
            for e in api_entries]
    assert seen == expected
    assert [int(e["seq"]) for e in api_entries] == sorted(int(e["seq"]) for e in api_entries)
    times = [e["at"] for e in api_entries]
    assert times == sorted(times)

    lines = log_lines(durable_store)
    assert len(lines) == len(expected)
    assert lines[5].endswith(' decided run="r1" effect="b" approved=false verdict=refused_rejected'
                             ' source="console:alice" reason="too risky"')
    assert f'source="{tagged_peer}" mac=verified' in lines[9]
    assert f'source="{plain_peer}" mac=none' in lines[1]
    assert log_lines(durable_store, "--run", "r2") == [lines[4], lines[6]]


def test_log_lines_cannot_be_forged_by_an_id(gate_process, tmp_path):
    database = tmp_path / "gate.db"
    process = gate_process(store=f"sqlite:{database}")
    hostile = 'x"\n2026-01-01T00:00:00.000Z decided run="forged\\'
    gate = latchwork.GateClient(process.address)
    gate.submit(hostile, "e\x1b[31m", True)
    gate.decide(hostile, "e\x1b[31m", False)
    assert process.stop() == 0
    lines = log_lines(f"sqlite:{database}")
    assert len(lines) == 2
    assert lines[0].split(" run=", 1)[1].startswith(
        r'"x\"\n2026-01-01T00:00:00.000Z decided run=\"forged\\" effect="e\x1b[31m"')
    assert log_lines(f"sqlite:{database}", "--run", hostile) == lines


def test_log_refuses_what_it_cannot_read(gate_process, tmp_path):
    missing = tmp_path / "missing.db"
    result = run_gate("log", "--store", f"sqlite:{missing}")
    assert (result.returncode, result.stdout) == (1, "")
    assert f"store {missing} does not exist" in result.stderr
    assert not missing.exists()
    for url, text in [("memory:", "keeps no log"), ("redis://x", "unsupported store"),
                      ("sqlite:", "store path is empty")]:
        result = run_gate("log", "--store", url)
        assert (result.returncode, result.stdout) == (2, ""), url
        assert text in result.stderr

    # A file a server holds is read beside it, at once (tests/test_sqlite_readers.py
    # reads one with entries).
    held = tmp_path / "held.db"
    process = gate_process(store=f"sqlite:{held}")
    started = time.monotonic()
    result = run_gate("log", "--store", f"sqlite:{held}")
    assert time.monotonic() - started < 10  # at once, never waiting for the server
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    process.signal(signal.SIGTERM)
    assert process.wait() == 0
    assert log_lines(f"sqlite:{held}") == []


@pytest.mark.parametrize("text", ["15", "0s", "1.5s", "-3m", "1d", "ms", "10 s"])
def test_a_bad_hold_timeout_is_a_usage_error(text):
    result = run_gate("serve", "--store", "memory:", "--listen", "127.0.0.1:0",
                      "--hold-timeout", text)
    assert result.returncode == 2
    assert result.stdout == ""
    assert "--hold-timeout" in result.stderr


def test_metrics_show_the_commit_latency_histogram(gate_process, approvers, tmp_path):
    process = gate_process("--console", "127.0.0.1:0", "--approvers", str(approvers),
                           store=f"sqlite:{tmp_path / 'gate.db'}")
    gate = latchwork.GateClient(process.address)
    for i in range(5):
        gate.submit("r", f"e{i}")
    text = Console(process.console_port).call("GET", "/metrics").body.decode()
    assert "# TYPE latchwork_commit_seconds histogram" in text
    buckets = re.findall(r'^latchwork_commit_seconds_bucket\{le="([^"]+)"\} (\d+)$', text, re.M)
    counts = [int(count) for _, count in buckets]
    assert buckets[-1][0] == "+Inf" and counts == sorted(counts)
    count = int(re.search(r"^latchwork_commit_seconds_count (\d+)$", text, re.M).group(1))
    assert count == counts[-1] >= 1
    assert float(re.search(r"^latchwork_commit_seconds_sum (\S+)$", text, re.M).group(1)) > 0
