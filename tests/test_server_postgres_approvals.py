"""latchwork-gate on PostgreSQL, several servers on one database: a person's approval
handed to the effect's submitter through any server, the detail kept with the waiting
effect, what one server commits heard by the others' consoles at once, and a database
of the first schema version upgraded by `migrate`."""
import json
import pathlib
import subprocess
import time

import pytest

from console_http import Console, EventStream, write_approvers
from gate_process import ServerGate, migrate, run_gate
from postgres_cluster import clean_environment

pytestmark = pytest.mark.postgres

DETAIL = {"to": "ada@example.org", "amount": 120}
CANONICAL_DETAIL = '{"amount":120,"to":"ada@example.org"}'
VERSION_1 = pathlib.Path(__file__).parent / "data" / "postgres_schema_version_1.sql"


@pytest.fixture
def consoles(tmp_path, gate_process):
    """Starts servers with consoles on one database; each as (process, console)."""
    approvers = write_approvers(tmp_path, "ada:token-of-ada\n")

    def start(url, count=2):
        servers = []
        for _ in range(count):
            process = gate_process("--console", "127.0.0.1:0", "--approvers", str(approvers),
                                   store=url)
            servers.append((process, Console(process.console_port, "token-of-ada")))
        return servers

    return start


def database_of(url):
    return url.rsplit("/", 1)[1]


def submit(process, run_id, effect_key, detail=None, needs_approval=True):
    request = {"op": "submit", "run_id": run_id, "effect_key": effect_key,
               "needs_approval": needs_approval}
    if detail is not None:
        request["detail"] = detail
    return process.request(request)


def wait_until_held(console, run_id, effect_key, seconds=10):
    """Until the shared store lists the effect as held: a submit sent on another server
    has been decided, however slow its server is to take it."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        items = console.get(f"/api/pending?run={run_id}")["items"]
        if any(item["effect_key"] == effect_key for item in items):
            return
        time.sleep(0.05)
    raise AssertionError(f"{run_id}/{effect_key} was not held within {seconds} s")


def events_until(stream, name, seconds):
    """The events read until one named `name` came, or fails after `seconds`."""
    started = time.monotonic()
    seen = []
    while True:
        seen.append(stream.next_event())
        if seen[-1][0] == name:
            return seen, time.monotonic() - started
        assert time.monotonic() - started < seconds, seen


# --- approvals across servers -------------------------------------------------------

def test_an_approval_on_one_server_is_taken_once_by_a_submit_on_another(
        new_postgres_store, consoles, postgres_cluster):
    url = new_postgres_store()
    (first, _), (second, console) = consoles(url)
    assert submit(first, "r", "pay", DETAIL) == {"verdict": "held_for_approval"}
    # The other server compares with the detail the first one stored.
    assert submit(second, "r", "pay", {"amount": 121, "to": "ada@example.org"})["verdict"] == "error"
    assert submit(second, "r", "pay", {"amount": 120, "to": "ada@example.org"}) == {
        "verdict": "held_for_approval"}
    assert console.decide("r", "pay", True, "fine") == "approved"
    late = console.decide_call("r", "pay", True)
    assert (late.status, late.json()["state"]) == (409, "approved")
    stored = postgres_cluster.psql(database_of(url), "SELECT state, detail FROM latchwork_effects")
    assert stored == [("3", CANONICAL_DETAIL)]
    waiting = console.get("/api/pending")["items"]
    assert [(item["run_id"], item["effect_key"]) for item in waiting] == [("r", "pay")]
    view = ServerGate(first)
    assert (view.pending_count(), view.state_len()) == (0, 1)
    # Its release is the submitter's: a line decide does not take it.
    assert view.decide("r", "pay", True).kind == "refused_duplicate"
    assert submit(first, "r", "pay", DETAIL) == {"verdict": "release"}
    assert submit(second, "r", "pay", DETAIL) == {"verdict": "refused_duplicate"}
    assert console.get("/api/pending")["items"] == []
    log = run_gate("log", "--store", url)
    assert log.returncode == 0, log.stderr
    lines = log.stdout.splitlines()
    assert [line for line in lines if " held " in line and "detail=" in line], lines
    assert any(" taken " in line for line in lines), lines


def test_cancel_drops_approved_effects_with_held_ones(new_postgres_store, consoles):
    url = new_postgres_store()
    (first, console), = consoles(url, count=1)
    submit(first, "r", "approved")
    submit(first, "r", "held")
    assert console.decide("r", "approved", True) == "approved"
    view = ServerGate(first)
    assert (view.pending_count(), view.state_len()) == (1, 2)
    view.cancel("r")
    assert (view.pending_count(), view.state_len()) == (0, 0)
    assert submit(first, "r", "approved") == {"verdict": "refused_cancelled"}


# --- what other servers commit, heard at once -----------------------------------

AWKWARD_RUN = 'nul\x00 "quoted" é'


def test_the_console_of_one_server_hears_what_another_commits_within_a_second(
        new_postgres_store, consoles):
    url = new_postgres_store()
    (first, console_a), (second, console_b) = consoles(url)
    stream = EventStream(console_a)
    try:
        assert submit(second, AWKWARD_RUN, "e", DETAIL) == {"verdict": "held_for_approval"}
        seen, took = events_until(stream, "held", 1)
        assert seen[-1][1]["run_id"] == AWKWARD_RUN and seen[-1][1]["effect_key"] == "e"
        assert took < 1
        assert console_b.decide(AWKWARD_RUN, "e", True, "ok") == "approved"
        seen, took = events_until(stream, "approved", 1)
        assert (seen[-1][1]["effect_key"], seen[-1][1]["approver"]) == ("e", "ada")
        ServerGate(second).cancel("gone")
        events_until(stream, "cancelled", 1)
        # A notice carries no ids, so the longest ones are told like any other.
        long_run = "r" * 4096
        assert submit(second, long_run, "k" * 4096) == {"verdict": "held_for_approval"}
        seen, _ = events_until(stream, "held", 2)
        assert seen[-1][1]["run_id"] == long_run
        # Its own decisions it does not hear twice.
        assert submit(first, "own", "e") == {"verdict": "held_for_approval"}
        seen, _ = events_until(stream, "held", 1)
        assert seen[-1][1]["run_id"] == "own"
        assert submit(first, "own2", "e") == {"verdict": "held_for_approval"}
        seen, _ = events_until(stream, "held", 1)
        assert seen[-1][1]["run_id"] == "own2"
    finally:
        stream.close()


def test_after_losing_the_database_the_console_is_told_to_read_again(
        new_postgres_store, consoles, postgres_cluster):
    url = new_postgres_store()
    (first, console), = consoles(url, count=1)
    stream = EventStream(console)
    try:
        postgres_cluster.psql(database_of(url),
                              "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity"
                              " WHERE datname = current_database() AND pid <> pg_backend_pid()")
        events_until(stream, "resync", 5)
    finally:
        stream.close()
    # and goes on serving
    assert submit(first, "after", "e") == {"verdict": "held_for_approval"}


# --- upgrading ----------------------------------------------------------------------

def test_a_database_of_the_first_version_is_upgraded_with_what_it_holds(
        postgres_database, consoles):
    postgres_database.psql(VERSION_1.read_text())
    postgres_database.psql(
        "SELECT nextval('latchwork_hold_order');"
        " INSERT INTO latchwork_effects (run_id, effect_key, state, hold_order, held_at)"
        " VALUES ('\\x72'::bytea, '\\x6f6c64'::bytea, 0, 1, now())")
    # As servers before the schema kept it: made beside the schema, on first use.
    postgres_database.psql("CREATE TABLE latchwork_notify_cursor (target text PRIMARY KEY,"
                           " seq bigint NOT NULL); INSERT INTO latchwork_notify_cursor VALUES ('t', 7)")
    assert migrate(postgres_database.url).endswith(" 9")
    (server, console), = consoles(postgres_database.url, count=1)
    assert [(item["effect_key"], item["editable"], item["edited_detail"])
            for item in console.get("/api/pending")["items"]] == [("old", [], None)]
    assert console.decide("r", "old", True) == "approved"
    taking = {"op": "submit", "run_id": "r", "effect_key": "old", "attempt": "a1"}
    assert server.request(taking) == {"verdict": "release"}
    assert server.request(taking) == {"again": True, "verdict": "release"}
    assert postgres_database.psql("SELECT version FROM latchwork_schema") == [("9",)]
    assert postgres_database.psql("SELECT target, seq FROM latchwork_notify_cursor") == [("t", "7")]


def test_an_attempt_and_its_result_are_shared_by_the_servers(new_postgres_store, consoles):
    (first, _), (second, _) = consoles(new_postgres_store())
    request = {"op": "submit", "run_id": "r", "effect_key": "pay", "attempt": "a1"}
    assert first.request(request) == {"verdict": "release"}
    assert second.request(request) == {"again": True, "verdict": "release"}
    done = {"op": "complete", "run_id": "r", "effect_key": "pay", "result": [1, "sent"]}
    assert first.request({**done, "attempt": "a2"})["verdict"] == "error"
    assert second.request({**done, "attempt": "a1"}) == {"verdict": "completed"}
    duplicate = first.request({**request, "attempt": "a2"})
    assert (duplicate["result"], duplicate["decided_by"][:5]) == ([1, "sent"], "line:")
    second.request({"op": "close_run", "run_id": "r"})
    assert first.request({**done, "attempt": "a1"}) == {
        "message": "effect was not released", "verdict": "error"}


def test_a_submit_waiting_on_one_server_is_woken_by_a_decision_on_another(
        new_postgres_store, consoles):
    url = new_postgres_store()
    (first, _), (second, console) = consoles(url)
    with first.connect() as waiting:
        for effect, decide in (("pay", True), ("refund", False)):
            waiting.send(f'{{"op":"submit","run_id":"r","effect_key":"{effect}",'
                         f'"needs_approval":true,"wait_ms":30000}}\n'.encode())
            wait_until_held(console, "r", effect)
            decided_at = time.monotonic()
            reply = console.call("POST", "/api/decide", {"run_id": "r", "effect_key": effect,
                                                         "approved": decide, "reason": "checked"})
            assert reply.status == 200, reply.body
            expected = {"verdict": "release"} if decide else {
                "decided_by": "ada", "reason": "checked", "verdict": "refused_rejected"}
            assert waiting.reply() == expected
            assert time.monotonic() - decided_at < 5  # woken, not timed out


# --- strangers on the database ------------------------------------------------------

def stranger_psql(database, script, background=False):
    """psql as a login with no privilege on the gate's tables (made on first use)."""
    cluster = database.cluster
    database.psql("DO $$ BEGIN CREATE ROLE stranger LOGIN;"
                  " EXCEPTION WHEN duplicate_object THEN NULL; END $$")
    command = [cluster.psql_binary, "--no-psqlrc", "--host", "127.0.0.1", "--port", str(cluster.port),
               "--username", "stranger", "--dbname", database.name, "--file", "-"]
    started = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, env=clean_environment())
    if background:
        started.stdin.write(script)
        started.stdin.close()
        return started
    return started.communicate(script, timeout=60)[0]


def advisory_key(run_id: str) -> int:
    """The per-run advisory lock key servers used to take (FNV-1a of the id, signed)."""
    value = 2166136261
    for byte in run_id.encode():
        value = ((value ^ byte) * 16777619) & 0xFFFFFFFF
    return value - (1 << 32) if value >= 1 << 31 else value


def test_a_stranger_can_neither_stall_a_run_nor_learn_or_forge_what_was_decided(
        postgres_database, consoles):
    database = postgres_database
    migrate(database.url)
    (first, _), (second, console) = consoles(database.url)
    assert "permission denied" in stranger_psql(
        database, "SELECT slot FROM latchwork_run_locks FOR UPDATE;")
    # Holding the lock that once serialised run "r" holds nothing up.
    holder = stranger_psql(database, f"SELECT pg_advisory_lock(1819566967, {advisory_key('r')});"
                                     " SELECT pg_sleep(20);", background=True)
    listener = stranger_psql(database, "LISTEN latchwork; SELECT pg_sleep(4);", background=True)
    try:
        time.sleep(0.5)
        assert submit(first, "r", "plain", needs_approval=False) == {"verdict": "release"}
        with first.connect() as waiting:
            waiting.send(b'{"op":"submit","run_id":"r","effect_key":"refund",'
                         b'"needs_approval":true,"wait_ms":30000}\n')
            wait_until_held(console, "r", "refund")
            # Notices in the form servers used to trust, naming someone who never decided.
            forged = ('{"server":"f00d","kind":"effect_state","op":"decide","verdict":"refused_rejected",'
                      '"run":"72","effect":"726566756e64","state":"rejected","source":"console:mallory",'
                      '"reason":"70617920363636","at":1,"deadline":0}')
            stranger_psql(database, f"NOTIFY latchwork, '{forged}';"
                                    " SELECT pg_notify('latchwork', '{\"server\":\"f00d\",\"xact\":1}');")
            reply = console.call("POST", "/api/decide", {"run_id": "r", "effect_key": "refund",
                                                         "approved": False, "reason": "checked"})
            assert reply.status == 200, reply.body
            assert waiting.reply() == {"decided_by": "ada", "reason": "checked",
                                       "verdict": "refused_rejected"}
        heard = [json.loads(line.split('with payload "', 1)[1].rsplit('" received', 1)[0])
                 for line in listener.stdout.read().splitlines() if "with payload" in line]
        ours = [payload for payload in heard if payload.get("server") != "f00d"]
        assert ours and all(set(payload) == {"server", "xact"} for payload in ours), heard
    finally:
        holder.kill()
        holder.wait()
