"""The benchmarks' pure-Python gate must give latchwork.Gate's verdicts, or the comparison lies."""

import pathlib
import random
import sys

import pytest

import latchwork

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import baseline_gate  # noqa: E402

RUNS = ["r1", "r2", "r3", ""]
KEYS = ["a", "b", "c", "d", ""]


def random_op(rng):
    run, key = rng.choice(RUNS), rng.choice(KEYS)
    roll = rng.random()
    if roll < 0.45:
        return "submit", (run, key, rng.random() < 0.5)
    if roll < 0.85:
        return "decide", (run, key, rng.random() < 0.5)
    if roll < 0.93:
        return "cancel", (run,)
    return "close_run", (run,)


@pytest.mark.parametrize("seed", range(8))
def test_same_verdicts_and_counts_as_latchwork(seed):
    rng = random.Random(seed)
    real, model = latchwork.Gate(), baseline_gate.Gate()
    for step in range(400):
        name, args = random_op(rng)
        got, expected = getattr(model, name)(*args), getattr(real, name)(*args)
        where = f"step {step}: {name}{args}"
        if expected is None:
            assert got is None, where
        else:
            assert got.kind == expected.kind, where
            assert (got.released, got.held, got.refused) == (
                expected.released, expected.held, expected.refused), where
        assert model.pending_count() == real.pending_count(), where
        assert model.state_len() == real.state_len(), where
    for run in RUNS:
        assert model.is_cancelled(run) == real.is_cancelled(run)
        assert model.is_closed(run) == real.is_closed(run)


def test_verdict_value_behaviour_matches():
    real = latchwork.Gate().submit("r", "e")
    model = baseline_gate.Gate().submit("r", "e")
    assert (str(model), model == "release", model == real.kind) == (str(real), real == "release", True)
