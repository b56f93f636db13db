"""conftest.py: shared fixtures, among them the scriptable test gate server and a
PostgreSQL cluster for the server's shared store."""

from __future__ import annotations

import atexit
import faulthandler
import itertools
import os

import pytest

from gate_process import GateProcess, migrate
from gate_server import GateServer
from postgres_cluster import PostgresCluster, Unavailable

# A test stuck in native code (a lost reply, a lock never released) holds no Python
# timeout; the watchdog thread needs no interpreter lock and ends the run instead.
_WATCHDOG_SECONDS = 120


@pytest.fixture(autouse=True)
def _watchdog():
    faulthandler.dump_traceback_later(_WATCHDOG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def gate_server():
    """Starts GateServer(script, **options) on demand; every server is stopped after the test.

    Usage: server = gate_server([b'{"verdict":"release"}\\n']); connect to server.address.
    """
    servers: list[GateServer] = []

    def start(script=(), **options) -> GateServer:
        server = GateServer(script, **options).start()
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.stop()


@pytest.fixture
def gate_process():
    """Starts the real latchwork-gate (GateProcess(*options)) on demand, each on a free
    port; every one still running is stopped after the test.

    Usage: server = gate_process("--secret-file", path); connect to server.address.
    """
    processes: list[GateProcess] = []

    def start(*options: str, **keywords) -> GateProcess:
        process = GateProcess(*options, **keywords)
        processes.append(process)
        return process.start()

    yield start
    ended_badly = []
    for process in processes:
        running = process.process.poll() is None
        code = process.stop()
        # SIGTERM is an orderly stop: anything but 0 is a fault at shut-down.
        if running and code != 0:
            ended_badly.append(f"exit code {code}: {process.stderr()}")
    assert not ended_badly


# --- PostgreSQL ------------------------------------------------------------------


# The files that test the gate server itself (its stores, wire, console and process
# life), not the module: what they find does not depend on the interpreter.
SERVER_TEST_FILES = ("test_audit_and_expiry.py", "test_console_api.py", "test_console_browser.py",
                     "test_console_events.py", "test_console_roles.py", "test_chat_actions.py",
                     "test_notify_webhooks.py", "test_approver_commands.py", "test_rules_commands.py",
                     "test_bounds.py", "test_deploying_safely.py", "test_sqlite_readers.py",
                     "test_sqlite_approvals.py")


@pytest.hookimpl(tryfirst=True)
def pytest_collection_modifyitems(items):
    """Whatever uses the cluster carries the postgres marker, so `-m "not postgres"`
    leaves out every test that needs one; the server's own tests carry the server
    marker."""
    for item in items:
        if "postgres_cluster" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.postgres)
        name = item.path.name
        if name.startswith(("test_server_", "test_line_")) or name in SERVER_TEST_FILES:
            item.add_marker(pytest.mark.server)


@pytest.fixture(scope="session")
def postgres_cluster(request):
    """One PostgreSQL for the whole run, on a free port of 127.0.0.1; stopped and removed
    at the end however the run ends (failures, Ctrl-C). Skips without PostgreSQL."""
    cluster = PostgresCluster()
    try:
        cluster.check_available()
    except Unavailable as why:
        pytest.skip(str(why))
    request.addfinalizer(cluster.destroy)
    atexit.register(cluster.destroy)  # and should the finalizer never run
    cluster.start()
    return cluster


class PostgresDatabase:
    """One empty database of the cluster: its name, its URL, SQL on it."""

    def __init__(self, cluster: PostgresCluster, name: str):
        self.cluster = cluster
        self.name = name
        self.url = cluster.create_database(name)

    def psql(self, sql: str):
        return self.cluster.psql(self.name, sql)


_database_numbers = itertools.count()
# Dropped when the next test asks for a database: by then the servers of the test that
# made them are stopped, so dropping them cuts no one off.
_databases_to_drop: list[str] = []


@pytest.fixture
def new_postgres_database(postgres_cluster):
    """Makes a fresh empty database on demand (new_postgres_database() -> PostgresDatabase).
    A cluster a failed test left stopped is started again first."""
    if not postgres_cluster.running:
        postgres_cluster.start()
    while _databases_to_drop:
        postgres_cluster.drop_database(_databases_to_drop.pop())
    made: list[str] = []

    def make() -> PostgresDatabase:
        database = PostgresDatabase(postgres_cluster,
                                    f"gate_{os.getpid()}_{next(_database_numbers)}")
        made.append(database.name)
        return database

    yield make
    _databases_to_drop.extend(made)


@pytest.fixture
def postgres_database(new_postgres_database):
    return new_postgres_database()


@pytest.fixture
def new_postgres_store(new_postgres_database):
    """Makes a fresh database with the gate's schema on demand; its URL."""
    def make() -> str:
        url = new_postgres_database().url
        migrate(url)
        return url

    return make
