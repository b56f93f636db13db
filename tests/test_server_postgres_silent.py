"""A PostgreSQL that stops answering while its connections stay open: the server keeps
serving what needs no database, answers requests with store errors within its store
timeout, stops promptly, and decides again once the database answers."""
import socket
import threading
import time

import pytest

import latchwork
from console_http import Console

pytestmark = pytest.mark.postgres

STORE_FAILED = "gate error: store failed: "


class Relay:
    """Forwards TCP between its own port and the database's; frozen, it forwards
    nothing either way but keeps every socket open, as a hung database would."""

    def __init__(self, target_port):
        self.target = ("127.0.0.1", target_port)
        self.flowing = threading.Event()
        self.flowing.set()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.sockets = []
        threading.Thread(target=self._accept, daemon=True).start()

    def url(self, url):
        return url.replace(f":{self.target[1]}/", f":{self.port}/")

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            upstream = socket.create_connection(self.target)
            self.sockets += [client, upstream]
            for source, sink in ((client, upstream), (upstream, client)):
                threading.Thread(target=self._pump, args=(source, sink), daemon=True).start()

    def _pump(self, source, sink):
        try:
            while data := source.recv(65536):
                self.flowing.wait()
                sink.sendall(data)
        except OSError:
            pass

    def close(self):
        self.listener.close()
        for held in self.sockets:
            held.close()


@pytest.fixture
def relay(postgres_cluster, new_postgres_store):
    url = new_postgres_store()
    made = Relay(postgres_cluster.port)
    made.store_url = made.url(url)
    yield made
    made.flowing.set()
    made.close()


def until(condition, seconds=20):
    deadline = time.monotonic() + seconds
    while not (got := condition()):
        assert time.monotonic() < deadline, "not within the wait"
        time.sleep(0.05)
    return got


def submit_error(gate, run, key):
    try:
        return gate.submit(run, key).kind
    except RuntimeError as failure:
        return str(failure)


def read_quietly(console):
    """A console read that the stop may cut off."""
    try:
        console.call("GET", "/api/pending")
    except OSError:
        pass


def test_a_silent_database_stalls_nothing_but_its_own_answers(relay, gate_process):
    process = gate_process("--console", "127.0.0.1:0", "--store-timeout", "1s",
                           store=relay.store_url)
    console = Console(process.console_port, "")
    gate = latchwork.GateClient(process.address)
    assert gate.submit("r", "before").kind == "release"
    relay.flowing.clear()
    assert submit_error(gate, "r", "during").startswith(STORE_FAILED)
    assert process.request({"op": "ping"}) == {"verdict": "pong"}
    health = until(lambda: (reply := console.call("GET", "/healthz")).status == 503 and reply)
    assert health.json()["error"]
    assert console.call("GET", "/metrics").status == 200
    assert console.call("GET", "/api/pending").status == 503
    relay.flowing.set()
    # Served again without a restart, once the new connection is made.
    until(lambda: submit_error(gate, "r", "after") == "release")
    until(lambda: console.call("GET", "/healthz").status == 200)
    assert console.call("GET", "/api/pending").status == 200


def test_a_stop_ends_promptly_while_the_database_is_silent(relay, gate_process):
    process = gate_process("--console", "127.0.0.1:0", "--store-timeout", "1s",
                           store=relay.store_url)
    gate = latchwork.GateClient(process.address)
    assert gate.submit("r", "before").kind == "release"
    relay.flowing.clear()
    # A request in flight, and console reads queued for the database.
    pending = threading.Thread(target=submit_error, args=(gate, "r", "during"), daemon=True)
    pending.start()
    console = Console(process.console_port, "")
    readers = [threading.Thread(target=read_quietly, args=(console,), daemon=True)
               for _ in range(3)]
    for reader in readers:
        reader.start()
    time.sleep(0.3)
    process.signal()
    assert process.wait(timeout=10) == 0, process.stderr()
