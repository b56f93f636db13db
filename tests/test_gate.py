"""The gate tables and random operations against a model, for the in-process gate and for
the gate server (through GateClient and raw requests) on its memory store and on
PostgreSQL: one table, every gate."""
import random
import threading

import pytest

import latchwork
from gate_process import ServerGate
from support import LedgerModel, snapshot

COUNTS = {"none": (0, 0), "pending": (1, 1), "released": (0, 1), "rejected": (0, 1)}
PROBE = {"release": "none", "held_for_approval": "pending", "refused_duplicate": "released",
         "refused_rejected": "rejected"}
RUN_EFFECT = pytest.mark.parametrize("run, key", [("r", "e"), ("", "")])


@pytest.fixture(params=["in_process", "server",
                        pytest.param("server_on_postgres", marks=pytest.mark.postgres)])
def new_gate(request, gate_process):
    """Makes a fresh gate: a latchwork.Gate, or a ServerGate on a server of its own (on
    its memory store, or on a database of its own in the test PostgreSQL)."""
    if request.param == "in_process":
        return latchwork.Gate
    if request.param == "server_on_postgres":
        new_store = request.getfixturevalue("new_postgres_store")
        return lambda: ServerGate(gate_process("--store", new_store()))
    return lambda: ServerGate(gate_process())


def prepare(new_gate, run, key, state, stop=None):
    """A gate with the effect in `state`, its run then stopped, and a held neighbour effect
    under the run id that differs only in case (which must never be touched)."""
    gate = new_gate()
    gate.submit(run.upper() or "R", key, True)
    if state == "pending":
        gate.submit(run, key, True)
    elif state == "released":
        gate.submit(run, key)
    elif state == "rejected":
        gate.decide(run, key, False)
    if stop in ("cancelled", "both"):
        gate.cancel(run)
    if stop in ("closed", "both"):
        gate.close_run(run)
    return gate


def assert_state(gate, run, key, state):
    """Checks the counts and probes the effect; the probe releases an effect in state none."""
    pending, stored = COUNTS[state]
    assert (gate.pending_count(), gate.state_len()) == (pending + 1, stored + 1)
    assert PROBE[gate.submit(run, key).kind] == state
    assert gate.submit(run.upper() or "R", key).kind == "held_for_approval"


@RUN_EFFECT
@pytest.mark.parametrize("state, needs_approval, verdict, after", [
    ("released", False, "refused_duplicate", "released"),
    ("released", True, "refused_duplicate", "released"),
    ("rejected", False, "refused_rejected", "rejected"),
    ("rejected", True, "refused_rejected", "rejected"),
    ("pending", False, "held_for_approval", "pending"),
    ("pending", True, "held_for_approval", "pending"),
    ("none", True, "held_for_approval", "pending"),
    ("none", False, "release", "released"),
])
def test_submit_table(new_gate, run, key, state, needs_approval, verdict, after):
    gate = prepare(new_gate, run, key, state)
    assert gate.submit(run, key, needs_approval).kind == verdict
    assert_state(gate, run, key, after)


@RUN_EFFECT
@pytest.mark.parametrize("state, approved, verdict, after", [
    ("pending", True, "release", "released"),
    ("pending", False, "refused_rejected", "rejected"),
    ("none", True, "refused_duplicate", "none"),
    ("released", True, "refused_duplicate", "released"),
    ("rejected", True, "refused_duplicate", "rejected"),
    ("released", False, "refused_duplicate", "released"),
    ("rejected", False, "refused_rejected", "rejected"),
    ("none", False, "refused_rejected", "rejected"),
])
def test_decide_table(new_gate, run, key, state, approved, verdict, after):
    gate = prepare(new_gate, run, key, state)
    assert gate.decide(run, key, approved).kind == verdict
    assert_state(gate, run, key, after)


@RUN_EFFECT
@pytest.mark.parametrize("operation", ["submit", "decide"])
@pytest.mark.parametrize("stop", ["cancelled", "closed", "both"])
@pytest.mark.parametrize("state", ["none", "pending", "released", "rejected"])
@pytest.mark.parametrize("flag", [False, True])
def test_stopped_run_refuses_everything(new_gate, run, key, operation, stop, state, flag):
    gate = prepare(new_gate, run, key, state, stop)
    before = snapshot(gate, (run, "R"))
    assert getattr(gate, operation)(run, key, flag).kind == "refused_cancelled"
    assert snapshot(gate, (run, "R")) == before


def effects_of_every_state(gate, run):
    gate.submit(run, "a")
    gate.submit(run, "b", True)
    gate.submit(run, "c", True)
    gate.decide(run, "d", False)


@pytest.mark.parametrize("steps, counts, flags", [
    # cancel drops the run's held effects only; close_run drops all of them
    (["cancel"], (2, 6), (True, False)),
    (["cancel", "cancel"], (2, 6), (True, False)),
    (["close_run"], (2, 4), (False, True)),
    (["close_run", "close_run"], (2, 4), (False, True)),
    (["cancel", "close_run"], (2, 4), (True, True)),
    (["close_run", "cancel"], (2, 4), (True, True)),
])
def test_run_table(new_gate, steps, counts, flags):
    gate = new_gate()
    effects_of_every_state(gate, "r")
    effects_of_every_state(gate, "R")
    assert (gate.pending_count(), gate.state_len()) == (4, 8)
    for step in steps:
        assert getattr(gate, step)("r") is None
    assert (gate.pending_count(), gate.state_len()) == counts
    assert (gate.is_cancelled("r"), gate.is_closed("r")) == flags
    assert (gate.is_cancelled("R"), gate.is_closed("R")) == (False, False)
    assert [gate.decide("r", key, True).kind for key in "abcd"] == ["refused_cancelled"] * 4
    assert [gate.submit("R", key).kind for key in "abcd"] == [
        "refused_duplicate", "held_for_approval", "held_for_approval", "refused_rejected"]


@pytest.mark.parametrize("step", ["cancel", "close_run"])
def test_stopping_an_unknown_run_creates_only_its_flag(new_gate, step):
    gate = new_gate()
    assert snapshot(gate) == (0, 0, ((False, False),) * 3)
    gate.submit("other", "e", True)
    getattr(gate, step)("r")
    assert (gate.pending_count(), gate.state_len()) == (1, 1)
    assert (gate.is_cancelled("r"), gate.is_closed("r")) == (step == "cancel", step == "close_run")
    assert (gate.submit("r", "e").kind, gate.submit("r", "f", True).kind) == (
        "refused_cancelled", "refused_cancelled")


def test_gates_share_nothing(new_gate):
    first, second = new_gate(), new_gate()
    first.submit("r", "e", True)
    first.cancel("c")
    assert snapshot(second, ("r", "c")) == (0, 0, ((False, False), (False, False)))
    assert second.submit("r", "e").kind == "release"


def test_concurrent_submissions_are_all_counted():
    gate = latchwork.Gate()

    def work(worker):
        for i in range(300):
            gate.submit(f"run{worker}", f"e{i}", i % 3 == 0)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert (gate.pending_count(), gate.state_len()) == (4 * 100, 4 * 300)


RUNS = ["", "r1", "R1", "r2", "r\n", "ü", "r\0"]
KEYS = ["", "e1", "E1", "e2", "e\0", "é"]


@pytest.mark.parametrize("seed", range(6))
def test_random_operations_match_the_model(new_gate, seed):
    rng = random.Random(seed)
    gate, model = new_gate(), LedgerModel()
    for _ in range(600):
        run, key, flag = rng.choice(RUNS), rng.choice(KEYS), rng.random() < 0.5
        roll = rng.random()
        if roll < 0.45:
            assert gate.submit(run, key, flag).kind == model.submit(run, key, flag)
        elif roll < 0.9:
            assert gate.decide(run, key, flag).kind == model.decide(run, key, flag)
        elif roll < 0.95:
            assert gate.cancel(run) is model.cancel(run)
        else:
            assert gate.close_run(run) is model.close_run(run)
        assert (gate.pending_count(), gate.state_len()) == model.counts()
        assert (gate.is_cancelled(run), gate.is_closed(run)) == (
            run in model.cancelled, run in model.closed)
