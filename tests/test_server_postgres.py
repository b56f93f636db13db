"""latchwork-gate on PostgreSQL: the schema made and checked by `migrate`, clear refusals at
start, and several servers on one database acting as one gate, releases exactly once."""
import multiprocessing
import random
import re

import pytest

import latchwork
from gate_process import GateProcess, ServerGate, migrate, run_gate
from postgres_cluster import free_port

pytestmark = pytest.mark.postgres

SPAWN = multiprocessing.get_context("spawn")


def tables_of(database):
    return database.psql("SELECT table_name FROM information_schema.tables "
                         "WHERE table_schema NOT IN ('pg_catalog', 'information_schema') "
                         "ORDER BY 1")


def version_columns(database):
    """Where the schema keeps its version: the columns named for it."""
    return database.psql("SELECT table_schema, table_name, column_name "
                         "FROM information_schema.columns WHERE column_name ILIKE '%version%' "
                         "AND table_schema NOT IN ('pg_catalog', 'information_schema')")


# --- the schema ---------------------------------------------------------------------

def test_migrate_makes_the_schema_once_and_again_changes_nothing(postgres_database,
                                                                 gate_process):
    assert tables_of(postgres_database) == []
    first = migrate(postgres_database.url)
    made = tables_of(postgres_database)
    assert made, "migrate made no tables"
    assert migrate(postgres_database.url) == first
    assert tables_of(postgres_database) == made
    server = gate_process("--store", postgres_database.url)
    assert server.request({"op": "submit", "run_id": "r", "effect_key": "e"}) == {
        "verdict": "release"}


def test_migrate_leaves_what_the_gate_holds_alone(postgres_database, gate_process):
    migrate(postgres_database.url)
    view = ServerGate(gate_process("--store", postgres_database.url))
    view.submit("r", "released")
    view.submit("r", "held", True)
    view.cancel("c")
    migrate(postgres_database.url)  # while a server runs on it, too
    again = ServerGate(gate_process("--store", postgres_database.url))
    assert (again.pending_count(), again.state_len(), again.is_cancelled("c")) == (1, 2, True)
    assert again.submit("r", "released").kind == "refused_duplicate"


def test_migrate_refuses_a_schema_newer_than_it_knows(postgres_database):
    version = int(migrate(postgres_database.url).rsplit(" ", 1)[1])
    columns = version_columns(postgres_database)
    assert columns, f"no column names the schema version among {tables_of(postgres_database)}"
    for schema, table, column in columns:
        postgres_database.psql(f'UPDATE "{schema}"."{table}" SET "{column}" = {version + 1}')
    done = run_gate("migrate", "--store", postgres_database.url)
    assert done.returncode == 2, (done.returncode, done.stdout, done.stderr)
    assert "newer" in done.stderr, done.stderr
    # and serve will not start on it either
    refused = GateProcess("--store", postgres_database.url)
    with pytest.raises(RuntimeError):
        refused.start()
    assert refused.wait() != 0


def test_serve_on_a_database_without_the_schema_says_to_migrate(postgres_database):
    server = GateProcess("--store", postgres_database.url)
    with pytest.raises(RuntimeError):
        server.start()
    assert server.wait() == 2
    assert "latchwork-gate migrate" in server.stderr(), server.stderr()
    assert tables_of(postgres_database) == []  # serve made nothing of its own


# --- starting --------------------------------------------------------------------------

@pytest.mark.parametrize("command", ["serve", "migrate"])
def test_nothing_listening_on_the_port_is_a_clear_failure(command):
    port = free_port()  # and nothing listens there
    url = f"postgresql://latchwork@127.0.0.1:{port}/gate"
    if command == "migrate":
        done = run_gate("migrate", "--store", url)
        code, errors, out = done.returncode, done.stderr.splitlines(), done.stdout
    else:
        server = GateProcess("--store", url)
        with pytest.raises(RuntimeError, match="did not listen"):
            server.start()
        code, errors, out = server.wait(), server.stderr_lines, ""
    assert code != 0
    assert "listening on" not in out and not re.search(r"^schema version", out, re.M)
    # One line says what failed and names the store; the bare store line is not it.
    failures = [line for line in errors if line.startswith("latchwork-gate: ")
                and line != f"latchwork-gate: store {url}" and str(port) in line]
    assert failures, errors


@pytest.mark.parametrize("scheme", ["postgresql", "postgres"])
def test_the_store_line_names_the_database_and_never_the_password(
        postgres_cluster, postgres_database, gate_process, scheme):
    migrate(postgres_database.url)
    # Trust authentication lets any password in; the server must not repeat it.
    url = (f"{scheme}://latchwork:hunter2-secret@127.0.0.1:{postgres_cluster.port}/"
           f"{postgres_database.name}")
    server = gate_process("--store", url)
    assert server.request({"op": "submit", "run_id": "r", "effect_key": "e"}) == {
        "verdict": "release"}
    assert server.stop() == 0
    first = server.stderr_lines[0]
    assert first.startswith(f"latchwork-gate: store {scheme}://"), server.stderr_lines
    assert f"127.0.0.1:{postgres_cluster.port}/{postgres_database.name}" in first
    assert not any("hunter2" in line for line in server.stderr_lines), server.stderr_lines


# --- several servers, one database ----------------------------------------------------

@pytest.fixture
def two_servers(new_postgres_store, gate_process):
    url = new_postgres_store()
    return gate_process("--store", url), gate_process("--store", url)


def test_what_one_server_does_the_other_sees_at_once(two_servers):
    first, second = (ServerGate(server) for server in two_servers)
    assert first.submit("r", "e", True).kind == "held_for_approval"
    assert second.pending_count() == 1
    assert second.submit("r", "e").kind == "held_for_approval"
    assert second.decide("r", "e", True).kind == "release"
    assert first.decide("r", "e", False).kind == "refused_duplicate"
    assert first.submit("r", "e").kind == "refused_duplicate"
    first.cancel("r")
    assert (second.is_cancelled("r"), second.pending_count(), second.state_len()) == (True, 0, 1)
    assert second.submit("r", "new").kind == "refused_cancelled"
    second.close_run("q")
    assert first.is_closed("q")


EFFECTS = 300


def release_through_both(operation, addresses, seed):
    """Releases every effect once by `operation` ("submit" of a new effect, or "approve"
    of a held one), in an order of its own, each through one of the servers chosen at
    random; the keys it was released."""
    rng = random.Random(seed)
    clients = [latchwork.GateClient(address) for address in addresses]
    keys = list(range(EFFECTS))
    rng.shuffle(keys)
    released = []
    for key in keys:
        client = rng.choice(clients)
        if operation == "submit":
            kind = client.submit("race", str(key)).kind
        else:
            kind = client.decide("held", str(key), True).kind
        assert kind in ("release", "refused_duplicate"), kind
        if kind == "release":
            released.append(key)
    return released


@pytest.mark.parametrize("operation", ["submit", "approve"])
def test_racing_processes_through_two_servers_release_each_effect_once(two_servers, operation):
    addresses = [server.address for server in two_servers]
    setup = latchwork.GateClient(addresses[0])
    for key in range(EFFECTS):
        assert setup.submit("held", str(key), True).kind == "held_for_approval"
    with SPAWN.Pool(4) as pool:
        results = pool.starmap(release_through_both,
                               [(operation, addresses, seed) for seed in range(4)])
    released = sorted(key for result in results for key in result)
    assert released == list(range(EFFECTS))
    approving = operation == "approve"
    for server in two_servers:
        view = ServerGate(server)
        assert view.pending_count() == (0 if approving else EFFECTS)
        assert view.state_len() == (EFFECTS if approving else 2 * EFFECTS)


DECISIONS = 200


def decide_all(address, approved, seed):
    """Decides every held effect the same way, in an order shared with the rival; the
    verdict kinds by key."""
    client = latchwork.GateClient(address)
    keys = list(range(DECISIONS))
    random.Random(seed).shuffle(keys)
    return {key: client.decide("held", str(key), approved).kind for key in keys}


def serial_answers(first, second):
    """What one in-process Gate answers to two decisions on a held effect, in that order."""
    gate = latchwork.Gate()
    gate.submit("held", "e", True)
    return gate.decide("held", "e", first).kind, gate.decide("held", "e", second).kind


STANDS_AS = {"release": "refused_duplicate", "refused_rejected": "refused_rejected"}


@pytest.mark.parametrize("approvals", [(True, False), (False, True), (True, True),
                                       (False, False)])
def test_rival_decisions_through_two_servers_agree_on_one_winner(two_servers, approvals):
    addresses = [server.address for server in two_servers]
    setup = latchwork.GateClient(addresses[0])
    for key in range(DECISIONS):
        assert setup.submit("held", str(key), True).kind == "held_for_approval"
    with SPAWN.Pool(2) as pool:
        # The same order on both sides, so that most decisions truly meet.
        answers = pool.starmap(decide_all, [(addresses[side], approvals[side], 7)
                                            for side in (0, 1)])
    checks = [latchwork.GateClient(address) for address in addresses]
    for key in range(DECISIONS):
        pair = (answers[0][key], answers[1][key])
        one_first = serial_answers(approvals[0], approvals[1])
        other_first = serial_answers(approvals[1], approvals[0])[::-1]
        assert pair in (one_first, other_first), (key, pair)
        winner = pair[0] if pair == one_first else pair[1]
        for check in checks:
            assert check.submit("held", str(key)).kind == STANDS_AS[winner], key
    assert ServerGate(two_servers[1]).pending_count() == 0


AWKWARD_IDS = ["", "\x00", "nul\x00inside", 'quote"and\\backslash', "{,}", "é ✓ 𝄞", "\\x41"]


def test_ids_are_stored_as_the_exact_bytes_sent(postgres_database, gate_process):
    migrate(postgres_database.url)
    server = ServerGate(gate_process("--store", postgres_database.url))
    for number, text in enumerate(AWKWARD_IDS):
        assert server.submit(text, f"k{number}", True).kind == "held_for_approval"
        assert server.submit(f"run{number}", text, True).kind == "held_for_approval"
    stored = {bytes.fromhex(run) + b"|" + bytes.fromhex(key)
              for run, key in postgres_database.psql(
                  "SELECT encode(run_id, 'hex'), encode(effect_key, 'hex') FROM latchwork_effects")}
    sent = {text.encode() + b"|" + f"k{n}".encode() for n, text in enumerate(AWKWARD_IDS)}
    sent |= {f"run{n}".encode() + b"|" + text.encode() for n, text in enumerate(AWKWARD_IDS)}
    assert stored == sent
    # And they read back as sent: each a duplicate of itself, none of another.
    for number, text in enumerate(AWKWARD_IDS):
        assert server.submit(text, f"k{number}", True).kind == "held_for_approval"
        assert server.decide(text, f"k{number}", True).kind == "release"
        assert server.submit(text, f"k{number}").kind == "refused_duplicate"
    assert server.pending_count() == len(AWKWARD_IDS)
