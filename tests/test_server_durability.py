"""latchwork-gate on its SQLite store: restarts and SIGKILL lose nothing that was
answered, a failing store fails closed, and a store file serves one server at a time."""
import multiprocessing
import os
import random
import subprocess
import time

import pytest

import latchwork
from gate_process import GateProcess, ServerGate
from test_server_verdicts import assert_same_totals, play_random_sequence


def sqlite_url(tmp_path, name="gate.db"):
    return f"sqlite:{tmp_path / name}"


@pytest.mark.parametrize("how", ["sigterm", "sigkill"])
def test_restarts_keep_every_table_state(gate_process, tmp_path, how):
    """One in-process Gate that never restarts, one server restarted between stretches
    of the same random sequence: every verdict stays the same."""
    rng, gate = random.Random(how), latchwork.Gate()
    for _ in range(4):
        server = gate_process("--store", sqlite_url(tmp_path))
        view = ServerGate(server)
        assert_same_totals(view, gate)  # what the restart rebuilt
        play_random_sequence(rng, view, gate, 400)
        if how == "sigkill":
            server.kill()
        else:
            assert server.stop() == 0


def test_the_store_is_named_in_full_and_the_default_is_per_user_whatever_the_directory(
        gate_process, tmp_path):
    """A restart from another working directory finds the same gate: the default store
    is under $XDG_STATE_HOME (or ~/.local/state), in directories only its owner may use."""
    state = tmp_path / "state"
    env = dict(os.environ, XDG_STATE_HOME=str(state))
    for cwd, verdict in [("a", "release"), ("b", "refused_duplicate")]:
        (tmp_path / cwd).mkdir()
        server = gate_process(store=None, cwd=tmp_path / cwd, env=env)
        assert server.request({"op": "submit", "run_id": "pay", "effect_key": "invoice-7"}) == {
            "verdict": verdict}
        assert server.stop() == 0  # and standard error read to its end
        assert server.stderr_lines[0] == f"latchwork-gate: store sqlite:{state}/latchwork/gate.db"
        assert not list((tmp_path / cwd).iterdir())
    assert (state / "latchwork" / "gate.db").is_file()
    assert [oct(path.stat().st_mode & 0o777) for path in (state, state / "latchwork")] == [
        "0o700", "0o700"]


def test_a_second_server_on_the_same_file_refuses_to_start(gate_process, tmp_path):
    gate_process("--store", sqlite_url(tmp_path))
    second = GateProcess("--store", sqlite_url(tmp_path))
    with pytest.raises(RuntimeError):
        second.start()
    assert second.wait() == 2
    assert second.stderr_lines == [
        f"latchwork-gate: store {tmp_path}/gate.db is in use by another process "
        "(database is locked)"]


# --- SIGKILL under load ---------------------------------------------------------

def hammer(address, log_path, seed, prefix, started):
    """Submits and decides as fast as one connection goes until the server is gone,
    logging every answer it got: shared effects raced by every worker, and effects of
    its own held, then approved or rejected."""
    rng = random.Random(seed)
    client = latchwork.GateClient(address)
    with open(log_path, "w", buffering=1) as log:
        try:
            for n in range(1_000_000):
                shared = f"{prefix}-{n // 2}"
                log.write(f"submit shared {shared} {client.submit('shared', shared).kind}\n")
                own = f"{prefix}-{seed}-{n}"
                log.write(f"submit held {own} {client.submit('held', own, True).kind}\n")
                approved = rng.random() < 0.5
                kind = client.decide("held", own, approved).kind
                log.write(f"decide held {own} {kind}\n")
                started.set()
        except (ConnectionError, OSError, RuntimeError):
            return


# What an answered verdict leaves behind: a submit of the same effect after restart.
STANDS_AS = {"release": "refused_duplicate", "refused_duplicate": "refused_duplicate",
             "refused_rejected": "refused_rejected"}


def test_sigkill_under_load_loses_no_answer(gate_process, tmp_path):
    context = multiprocessing.get_context("spawn")
    url = sqlite_url(tmp_path)
    answers = []
    for round_number, load_seconds in enumerate([0.4, 1.0, 1.8]):
        server = gate_process("--store", url)
        logs = [tmp_path / f"log-{round_number}-{w}" for w in range(3)]
        started = [context.Event() for _ in logs]
        workers = [context.Process(target=hammer, args=(server.address, str(log), w,
                                                         f"r{round_number}", started[w]))
                   for w, log in enumerate(logs)]
        for worker in workers:
            worker.start()
        # The clock runs from the moment every worker is under way.
        for event in started:
            assert event.wait(60)
        time.sleep(load_seconds)
        server.kill()
        for worker in workers:
            worker.join(30)
            assert worker.exitcode == 0
        for log in logs:
            answers += [line.split() for line in log.read_text().splitlines()
                        if line.count(" ") == 3]

        restarted = gate_process("--store", url)
        check = latchwork.GateClient(restarted.address)
        releases = [(run, key) for op, run, key, kind in answers if kind == "release"]
        assert len(releases) == len(set(releases)), "an effect was released twice"
        assert sum(op == "decide" for op, *_ in answers) > 0
        for op, run, key, kind in answers:
            if kind == "held_for_approval":
                continue  # its decision, if answered, is checked on its own line
            assert check.submit(run, key).kind == STANDS_AS[kind], (op, run, key, kind)
        restarted.kill()


# --- a failing store --------------------------------------------------------------

class SmallFilesystem:
    """A 1 MiB tmpfs (root may mount one), to be grown again with grow()."""

    def __init__(self, path):
        self.path = path

    def grow(self):
        subprocess.run(["mount", "-o", "remount,size=64m", str(self.path)], check=True)


@pytest.fixture
def small_filesystem(tmp_path):
    mount_point = tmp_path / "small"
    mount_point.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount_point)],
                             capture_output=True)
    if mounted.returncode != 0:
        pytest.skip("cannot mount a tmpfs here: " + mounted.stderr.decode().strip())
    try:
        yield SmallFilesystem(mount_point)
    finally:
        subprocess.run(["umount", "-l", str(mount_point)], check=False)


def fill_until_refused(server):
    """Releases effects with large keys until the store fails; the keys answered
    "release", and the first error reply."""
    released = []
    connection = server.connect()
    for n in range(100_000):
        key = f"{n:06d}-" + "x" * 4000
        reply = connection.request({"op": "submit", "run_id": "fill", "effect_key": key})
        if reply["verdict"] != "release":
            connection.close()
            return released, reply
        released.append(key)
    raise AssertionError("the store never filled up")


def assert_failed_closed(server, reply):
    assert set(reply) == {"message", "verdict"} and reply["verdict"] == "error", reply
    assert reply["message"].startswith("store failed: "), reply
    assert server.wait(30) == 1
    assert any(line.startswith("latchwork-gate: store failed: ") for line in server.stderr_lines)


def test_a_full_disk_fails_closed_and_the_next_start_is_consistent(gate_process,
                                                                     small_filesystem):
    url = f"sqlite:{small_filesystem.path}/gate.db"
    server = gate_process("--store", url)
    released, reply = fill_until_refused(server)
    assert released, "the first commit already failed"
    assert_failed_closed(server, reply)

    small_filesystem.grow()
    restarted = gate_process("--store", url)
    check = latchwork.GateClient(restarted.address)
    for key in released:
        assert check.submit("fill", key).kind == "refused_duplicate"
    assert restarted.stop() == 0


def test_requests_after_a_failure_are_refused_and_the_server_stops(gate_process, tmp_path):
    """The store file removed under the running server: the next commit fails, the
    reply waiting on it and every request read after it get the failure."""
    server = gate_process("--store", sqlite_url(tmp_path))
    connection = server.connect()
    assert connection.request({"op": "submit", "run_id": "r", "effect_key": "a"}) == {
        "verdict": "release"}
    for leftover in tmp_path.glob("gate.db*"):
        os.unlink(leftover)
    # Pipelined: the failed submit and the requests behind it, read together.
    connection.send(b'{"op":"submit","run_id":"r","effect_key":"b"}\n{"op":"ping"}\n'
                    b'{"op":"state_len"}\n')
    replies = [connection.reply() for _ in range(3)]
    assert_failed_closed(server, replies[0])
    # A pong reflects no state and may have been sent before the failure was known.
    assert replies[1] in ({"verdict": "pong"}, replies[0])
    assert replies[2] == replies[0]  # a count reflects the failed batch
    assert connection.read_line() == b""  # then the connection is closed
    with pytest.raises(OSError):
        server.connect(timeout=5).request({"op": "ping"})


def test_sigterm_folds_the_journal_so_the_file_reads_as_state(gate_process, tmp_path):
    sqlite3 = pytest.importorskip("sqlite3")
    server = gate_process("--store", sqlite_url(tmp_path))
    view = ServerGate(server)
    view.submit("r", "released")
    view.submit("r", "held", True)
    view.decide("r", "rejected", False)
    view.cancel("c")
    assert server.stop() == 0
    with sqlite3.connect(tmp_path / "gate.db") as db:
        assert db.execute("SELECT count(*) FROM journal").fetchone() == (0,)
        effects = db.execute("SELECT CAST(effect_key AS TEXT), state FROM effects "
                             "ORDER BY 1").fetchall()
        runs = db.execute("SELECT CAST(run_id AS TEXT), cancelled, closed FROM runs").fetchall()
        version = db.execute("SELECT version FROM schema_version").fetchall()
        audit = db.execute("SELECT event, CAST(run_id AS TEXT), CAST(effect_key AS TEXT), "
                           "verdict FROM audit ORDER BY seq").fetchall()
    assert effects == [("held", "pending"), ("rejected", "rejected"), ("released", "released")]
    assert runs == [("c", 1, 0)]
    assert version == [(9,)]
    assert audit == [("held", "r", "held", "held_for_approval"),
                     ("decided", "r", "rejected", "refused_rejected"), ("cancelled", "c", "", "ok")]


def test_a_console_decision_on_a_failed_store_is_refused_and_health_fails(gate_process,
                                                                          tmp_path):
    """The console's door fails closed too: the decision whose commit failed gets the
    failure as a 503, never a verdict, and the server stops."""
    from console_http import Console

    server = gate_process("--store", sqlite_url(tmp_path), "--console", "127.0.0.1:0")
    console = Console(server.console_port)
    assert latchwork.GateClient(server.address).submit("r", "e", True) == "held_for_approval"
    assert console.call("GET", "/healthz").status == 200
    for leftover in tmp_path.glob("gate.db*"):
        os.unlink(leftover)
    reply = console.call("POST", "/api/decide",
                         {"run_id": "r", "effect_key": "e", "approved": True, "reason": ""})
    assert reply.status == 503, (reply.status, reply.body)
    assert reply.json()["error"].startswith("store failed: ")
    assert server.wait(30) == 1
