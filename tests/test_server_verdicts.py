"""The gate server's verdicts: the same as an in-process Gate's over long random
sequences, exactly-once release across racing processes, and authenticated decisions."""
import multiprocessing
import random

import pytest

import latchwork
from gate_process import ServerGate

RUNS = ["r1", "r2", "", "r\n\"3"]
KEYS = ["e1", "e2", "e3", "", "é"]


def play_random_sequence(rng, server, gate, steps):
    """Random submit/decide/cancel/close_run on both gates: every answer the same, and
    the totals and run flags the same every fifty steps and at the end."""
    for step in range(steps):
        run, key, flag = rng.choice(RUNS), rng.choice(KEYS), rng.random() < 0.5
        roll = rng.random()
        if roll < 0.45:
            assert server.submit(run, key, flag).kind == gate.submit(run, key, flag).kind
        elif roll < 0.9:
            assert server.decide(run, key, flag).kind == gate.decide(run, key, flag).kind
        elif roll < 0.97:
            assert server.cancel(run) is gate.cancel(run)
        else:
            assert server.close_run(run) is gate.close_run(run)
        if step % 50 == 0 or step == steps - 1:
            assert_same_totals(server, gate)


def assert_same_totals(server, gate):
    assert (server.pending_count(), server.state_len()) == (
        gate.pending_count(), gate.state_len())
    assert [(server.is_cancelled(r), server.is_closed(r)) for r in RUNS] == [
        (gate.is_cancelled(r), gate.is_closed(r)) for r in RUNS]


@pytest.mark.parametrize("store, seed", [("memory", seed) for seed in range(4)] +
                         [("sqlite", seed) for seed in range(4, 6)] +
                         [pytest.param("postgres", seed, marks=pytest.mark.postgres)
                          for seed in range(6, 8)])
def test_random_sequences_match_an_in_process_gate(request, gate_process, tmp_path, store,
                                                   seed):
    if store == "postgres":
        url = request.getfixturevalue("new_postgres_store")()
    else:
        url = "memory:" if store == "memory" else f"sqlite:{tmp_path / 'gate.db'}"
    server, gate = ServerGate(gate_process("--store", url)), latchwork.Gate()
    play_random_sequence(random.Random(seed), server, gate, 3000)


EFFECTS = 300


def race_submissions(address, seed):
    """Submits every effect once, in an order of its own; the keys it was released."""
    client = latchwork.GateClient(address)
    keys = list(range(EFFECTS))
    random.Random(seed).shuffle(keys)
    return [key for key in keys if client.submit("race", str(key)).kind == "release"]


def race_approvals(address, seed):
    """Approves every held effect; the keys its approval released."""
    client = latchwork.GateClient(address)
    keys = list(range(EFFECTS))
    random.Random(seed).shuffle(keys)
    released = []
    for key in keys:
        kind = client.decide("held", str(key), True).kind
        assert kind in ("release", "refused_duplicate")
        if kind == "release":
            released.append(key)
    return released


@pytest.mark.parametrize("worker", [race_submissions, race_approvals])
def test_racing_processes_release_each_effect_exactly_once(gate_process, worker):
    server = gate_process()
    setup = latchwork.GateClient(server.address)
    for key in range(EFFECTS):
        assert setup.submit("held", str(key), True).kind == "held_for_approval"
    context = multiprocessing.get_context("spawn")
    with context.Pool(4) as pool:
        results = pool.starmap(worker, [(server.address, seed) for seed in range(4)])
    released = sorted(key for result in results for key in result)
    assert released == list(range(EFFECTS))
    pending = 0 if worker is race_approvals else EFFECTS
    assert ServerGate(server).pending_count() == pending


SECRET = b"s\x00\n\xffecret\n"  # raw bytes, line feeds and all


@pytest.fixture
def secret_server(gate_process, tmp_path):
    path = tmp_path / "secret"
    path.write_bytes(SECRET)
    path.chmod(0o600)
    return gate_process("--secret-file", str(path))


def hold(server, run="r", key="e"):
    assert server.request({"op": "submit", "run_id": run, "effect_key": key,
                           "needs_approval": True}) == {"verdict": "held_for_approval"}


def decide(server, mac, run="r", key="e", approved=True):
    request = {"op": "decide", "run_id": run, "effect_key": key, "approved": approved}
    if mac is not ...:
        request["mac"] = mac
    return server.request(request)


def tag(run="r", key="e", approved=True, secret=SECRET):
    return latchwork.decision_tag(secret, run, key, approved)


REFUSED = {"message": "decision not authenticated", "verdict": "error"}


@pytest.mark.parametrize("approved", [True, False])
def test_a_client_with_the_secret_decides(secret_server, approved):
    hold(secret_server)
    client = latchwork.GateClient(secret_server.address, SECRET)
    assert client.decide("r", "e", approved).kind == ("release" if approved else "refused_rejected")
    # decisions on effects that are not held are tagged and answered as ever
    assert client.decide("r", "other", True).kind == "refused_duplicate"


@pytest.mark.parametrize("secret", [None, b"", SECRET.rstrip(b"\n"), b"wrong"])
def test_a_client_without_the_right_secret_is_refused(secret_server, secret):
    hold(secret_server)
    client = (latchwork.GateClient(secret_server.address) if secret is None
              else latchwork.GateClient(secret_server.address, secret))
    for approved in (True, False):
        with pytest.raises(RuntimeError, match="^gate error: decision not authenticated$"):
            client.decide("r", "e", approved)
    # submissions carry no tag and need none
    assert client.submit("r", "free").kind == "release"
    assert ServerGate(secret_server).pending_count() == 1


@pytest.mark.parametrize("mac", [
    ...,                                # missing
    tag(approved=False),                # for the other approval
    tag(key="f"),                       # for another effect
    tag(run="q"),                       # for another run
    tag().upper(),                      # the same digits, upper case
    tag()[:-1],                         # one digit short
    tag() + "0",                        # one digit long
    "",
    5,                                  # not a string
    None,
    True,
])
def test_a_wrong_or_missing_mac_is_refused_and_changes_nothing(secret_server, mac):
    hold(secret_server)
    hold(secret_server, "q")
    hold(secret_server, key="f")
    assert decide(secret_server, mac) == REFUSED
    assert secret_server.request({"op": "pending_count"})["value"] == 3
    assert decide(secret_server, tag()) == {"verdict": "release"}


def test_a_refused_rejection_before_submission_records_nothing(secret_server):
    assert decide(secret_server, "0" * 64, approved=False) == REFUSED
    assert secret_server.request({"op": "state_len"})["value"] == 0
    assert secret_server.request({"op": "submit", "run_id": "r", "effect_key": "e"}) == {
        "verdict": "release"}


def test_a_mac_the_client_computed_is_the_one_the_server_expects(secret_server):
    hold(secret_server, "run \"quoted\"", "ключ")
    assert decide(secret_server, tag("run \"quoted\"", "ключ"), "run \"quoted\"", "ключ") == {
        "verdict": "release"}


def test_without_a_secret_mac_is_ignored(gate_process):
    server = gate_process()
    for mac in ("garbage", 5, None, tag()):
        hold(server, key=str(mac))
        assert decide(server, mac, key=str(mac)) == {"verdict": "release"}
    client = latchwork.GateClient(server.address, b"any secret at all")
    hold(server, key="x")
    assert client.decide("r", "x", True).kind == "release"
