"""Internal faults, injected through the test build's trigger run ids, surface as PanicException."""
import functools
import re
import sys

import pytest

import latchwork
from support import run_python

UNDER_LOCK = "latchwork-test:fault-under-lock"
ON_DEALLOC = "latchwork-test:fault-on-dealloc"
WHILE_RAISING = "latchwork-test:fault-while-raising"
POISONED = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }"
LOCATION = re.compile(r"\S+\.\w+:\d+")

CALLS = {
    "submit": lambda gate, run: gate.submit(run, "e", True),
    "decide": lambda gate, run: gate.decide(run, "e", False),
    "cancel": lambda gate, run: gate.cancel(run),
    "close_run": lambda gate, run: gate.close_run(run),
    "is_cancelled": lambda gate, run: gate.is_cancelled(run),
    "is_closed": lambda gate, run: gate.is_closed(run),
    "pending_count": lambda gate, run: gate.pending_count(),
    "state_len": lambda gate, run: gate.state_len(),
}
WITH_RUN_ID = [name for name in CALLS if name not in ("pending_count", "state_len")]


@functools.cache
def hooks_enabled():
    try:
        latchwork.Gate().cancel(UNDER_LOCK)
    except BaseException:
        return True
    return False


@pytest.fixture(autouse=True)
def needs_hooks():
    if not hooks_enabled():
        pytest.skip("built without the fault-injection hooks")


def panic_from(call):
    """The exception of a call that must panic, checking no Exception handler sees it."""
    try:
        try:
            call()
        except Exception as error:
            pytest.fail(f"an Exception handler caught {error!r}")
    except BaseException as error:
        return error
    pytest.fail("no exception")


@pytest.mark.parametrize("name", WITH_RUN_ID)
def test_fault_under_lock_poisons_only_its_gate(name, capfd):
    bystander, gate = latchwork.Gate(), latchwork.Gate()
    bystander.submit("r", "e", True)
    capfd.readouterr()
    panic = panic_from(lambda: CALLS[name](gate, UNDER_LOCK))
    panic_type = type(panic)
    assert (panic_type.__name__, panic_type.__module__) == ("PanicException", "pyo3_runtime")
    assert panic_type.__mro__ == (panic_type, BaseException, object)
    assert str(panic) == UNDER_LOCK and panic.args == (UNDER_LOCK,)
    assert isinstance(panic_type.__doc__, str) and panic_type.__doc__.strip()
    assert not hasattr(latchwork, "PanicException")
    out, err = capfd.readouterr()
    assert out == "" and UNDER_LOCK in err and LOCATION.search(err)

    for call in CALLS.values():
        again = panic_from(lambda: call(gate, "r"))
        assert type(again) is panic_type and str(again) == POISONED
    assert POISONED in capfd.readouterr().err
    # arguments are still refused before the lock is reached
    with pytest.raises(TypeError, match="^argument 'run_id': "):
        gate.submit(1, "e")
    assert (bystander.pending_count(), bystander.submit("r", "e").kind) == (1, "held_for_approval")
    assert latchwork.Gate().submit("r", "e").kind == "release"


def make_gate_that_faults_on_dealloc():
    gate = latchwork.Gate()
    gate.close_run(ON_DEALLOC)
    return gate


def fail_with(error):
    raise error


def test_fault_on_dealloc_is_unraisable(monkeypatch, capfd):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    gate = make_gate_that_faults_on_dealloc()
    del gate
    pending = KeyError("pending")
    with pytest.raises(KeyError) as caught:
        # the gate is dropped while the KeyError unwinds past it
        print(make_gate_that_faults_on_dealloc(), fail_with(pending))
    assert caught.value is pending
    assert [type(report.exc_value).__name__ for report in reports] == ["PanicException"] * 2
    assert all(str(report.exc_value) for report in reports)
    assert LOCATION.search(capfd.readouterr().err)


def test_fault_while_raising_ends_the_process():
    result = run_python(f"""
        import latchwork
        print("before", flush=True)
        latchwork.Gate().cancel({WHILE_RAISING!r})
        print("after", flush=True)
    """)
    assert result.returncode != 0
    assert result.stdout == "before\n"
    assert "uncaught panic at ffi boundary" in result.stderr
