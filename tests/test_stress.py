"""Many threads on one Gate and on one GateClient, with seeded random operations, checked
against what each thread saw."""

from __future__ import annotations

import collections
import json
import random
import sys
import threading

import pytest

import latchwork
from gate_server import GateServer
from support import UNDER_SANITIZER, LedgerModel

THREADS = 8
GATE_OPS = 300 if UNDER_SANITIZER else 2000
CLIENT_OPS = 40 if UNDER_SANITIZER else 300
KEYS = ["", "e1", "E1", "é", "e\0"]
OWN_RUNS = 6
# Many keys and rare stops keep fresh effects coming for the threads to contend over.
SHARED_RUNS = ["shared", "shared\n", ""]
SHARED_KEYS = KEYS + [f"k{i}" for i in range(200)]

# What a verdict shows of its effect's state, and how far along it is (1 held, 2 settled).
# A decision answered refused_duplicate shows nothing: the effect may be unknown, released
# or rejected.
SEEN = {
    ("submit", "release"): ("released", 2), ("submit", "held_for_approval"): (None, 1),
    ("submit", "refused_duplicate"): ("released", 2), ("submit", "refused_rejected"): ("rejected", 2),
    ("decide", "release"): ("released", 2), ("decide", "refused_rejected"): ("rejected", 2),
    ("decide", "refused_duplicate"): (None, None),
}


@pytest.fixture
def busy_switching():
    """Switches threads far more often than usual, so that their calls interleave."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def run_threads(work) -> None:
    start = threading.Barrier(THREADS)
    errors: list[BaseException] = []

    def body(number: int) -> None:
        try:
            start.wait()
            work(number)
        except BaseException as error:  # noqa: B036 - reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=body, args=(n,)) for n in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not any(thread.is_alive() for thread in threads)
    if errors:
        raise errors[0]


def random_op(rng: random.Random, runs: list[str], keys: list[str], stops: float) -> tuple:
    run, key, flag, roll = rng.choice(runs), rng.choice(keys), rng.random() < 0.5, rng.random()
    if roll < stops:
        return ("cancel", run) if roll < stops / 2 else ("close_run", run)
    if roll < 0.45:
        return ("submit", run, key, flag)
    if roll < 0.9:
        return ("decide", run, key, flag)
    if roll < 0.95:
        return ("is_cancelled", run) if roll < 0.925 else ("is_closed", run)
    return ("pending_count",) if roll < 0.975 else ("state_len",)


@pytest.mark.parametrize("seed", range(2))
def test_threads_on_one_gate_agree_with_a_replay_of_what_each_saw(busy_switching, seed):
    gate = latchwork.Gate()
    logs: dict[int, list[tuple]] = {}

    def work(number: int) -> None:
        rng = random.Random(seed * 100 + number)
        own = [f"t{number}:{i}" for i in range(OWN_RUNS)]
        log = logs[number] = []
        for i in range(GATE_OPS):
            # The shared runs are stopped only late, while other threads may still use them.
            if rng.random() < 0.3:
                op = random_op(rng, SHARED_RUNS, SHARED_KEYS, 0.01 if i > GATE_OPS * 0.8 else 0)
            else:
                op = random_op(rng, own, KEYS, 0.02)
            log.append((op, getattr(gate, op[0])(*op[1:])))

    run_threads(work)

    # Each thread's own runs saw only that thread: its log replays exactly.
    model = LedgerModel()
    for number, log in logs.items():
        for op, result in log:
            if op[0] in ("pending_count", "state_len"):
                assert type(result) is int and result >= 0
            elif op[1] not in SHARED_RUNS:
                expected = getattr(model, op[0])(*op[1:]) if op[0] in ("submit", "decide", "cancel", "close_run") \
                    else op[1] in (model.cancelled if op[0] == "is_cancelled" else model.closed)
                got = result.kind if isinstance(result, latchwork.Verdict) else result
                assert got == expected, (number, op)

    # The shared runs: invariants that hold in any interleaving.
    settled = collections.defaultdict(set)   # effect -> "released"/"rejected" as seen by anyone
    releases = collections.Counter()         # effect -> how many callers were told "release"
    for number, log in logs.items():
        highest, stopped = {}, set()
        for op, result in log:
            if len(op) < 2 or op[1] not in SHARED_RUNS:
                continue
            name, run = op[0], op[1]
            if name in ("cancel", "close_run") or (name in ("is_cancelled", "is_closed") and result):
                stopped.add(run)
            if name not in ("submit", "decide"):
                continue
            kind, effect = result.kind, (run, op[2])
            if kind == "refused_cancelled" or run in stopped:
                assert kind == "refused_cancelled", (number, op, kind)  # a stopped run stays stopped
                stopped.add(run)
                continue
            state, rank = SEEN[name, kind]
            if rank is not None:
                assert rank >= highest.get(effect, 0), (number, op, kind)  # an effect never goes back
                highest[effect] = rank
            if state:
                settled[effect].add(state)
            releases[effect] += kind == "release"
    assert [effect for effect, states in settled.items() if len(states) > 1] == []  # released or rejected
    assert [effect for effect, count in releases.items() if count > 1] == []  # released once at most

    for run in SHARED_RUNS:
        gate.close_run(run)
    # Nothing of a closed run is left: the counts are those of the threads' own runs.
    assert (gate.pending_count(), gate.state_len()) == model.counts()
    for run in SHARED_RUNS:
        assert gate.is_closed(run)
        assert {gate.submit(run, key).kind for key in KEYS} == {"refused_cancelled"}
    for number in logs:
        for run in (f"t{number}:{i}" for i in range(OWN_RUNS)):
            assert (gate.is_cancelled(run), gate.is_closed(run)) == (run in model.cancelled, run in model.closed)
            for key in KEYS:
                assert gate.submit(run, key, True).kind == model.submit(run, key, True)
    assert (gate.pending_count(), gate.state_len()) == model.counts()


def answer_with_the_request(line: bytes) -> bytes:
    """Echoes the request as the verdict, or as the error message for runs named "err..."."""
    text = line.decode().rstrip("\n")
    if json.loads(text).get("run_id", "").startswith("err"):
        return json.dumps({"verdict": "error", "message": text}).encode() + b"\n"
    return json.dumps({"verdict": text}).encode() + b"\n"


def test_threads_sharing_a_client_each_get_the_reply_to_their_own_request(busy_switching):
    secret = b"stress"
    with GateServer(answer_with_the_request) as server:
        client = latchwork.GateClient(server.address, secret)

        def work(number: int) -> None:
            rng = random.Random(number)
            for i in range(CLIENT_OPS):
                run = rng.choice(["err", "run", '"q"\\', "\n"]) + f"{number}/{i}"
                key, flag, roll = rng.choice(KEYS) * rng.randrange(1, 300), rng.random() < 0.5, rng.random()
                if roll < 0.35:
                    call, sent = lambda: client.submit(run, key, flag), {
                        "op": "submit", "run_id": run, "effect_key": key, "needs_approval": flag}
                elif roll < 0.7:
                    call, sent = lambda: client.decide(run, key, flag), {
                        "op": "decide", "run_id": run, "effect_key": key, "approved": flag,
                        "mac": latchwork.decision_tag(secret, run, key, flag)}
                elif roll < 0.9:
                    call, sent = lambda: client.cancel(run), {"op": "cancel", "run_id": run}
                else:
                    call, sent = client.ping, {"op": "ping"}
                try:
                    echoed = call().kind
                except RuntimeError as error:
                    assert str(error).startswith("gate error: ") and run.startswith("err"), error
                    echoed = str(error)[len("gate error: "):]
                else:
                    assert not run.startswith("err") or sent["op"] == "ping"
                assert json.loads(echoed) == sent, (number, i)

        run_threads(work)
        assert len(server.requests) == THREADS * CLIENT_OPS
