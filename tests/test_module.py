"""Module registration: attributes, classes, text signatures, once-only import, exported symbols."""
import gc
import inspect
import shutil
import subprocess
import sys
import weakref

import pytest

import latchwork
from support import run_python, verdict_of

DOCUMENTED = ("Verdict", "Gate", "GateClient", "decision_tag")
PRESENT = [name for name in DOCUMENTED if hasattr(latchwork, name)]
CLASSES = [name for name in PRESENT if name != "decision_tag"]
GATE_SIGNATURES = {
    "submit": "($self, run_id, effect_key, needs_approval=False)",
    "decide": "($self, run_id, effect_key, approved)",
    "cancel": "($self, run_id)",
    "close_run": "($self, run_id)",
    "is_cancelled": "($self, run_id)",
    "is_closed": "($self, run_id)",
    "pending_count": "($self)",
    "state_len": "($self)",
}
ONCE_ONLY = ("PyO3 modules compiled for CPython 3.8 or older may only be initialized once per "
             "interpreter process")


def test_module_attributes():
    assert latchwork.__name__ == "latchwork"
    assert latchwork.__doc__ == ""
    assert PRESENT[:2] == ["Verdict", "Gate"] and PRESENT[-1] == "decision_tag"
    assert type(latchwork.__all__) is list and latchwork.__all__ == PRESENT
    assert all(type(name) is str for name in latchwork.__all__)
    import_system = {"__file__", "__loader__", "__spec__", "__package__"}
    assert set(vars(latchwork)) == {"__name__", "__doc__", "__all__", *PRESENT, *import_system}


@pytest.mark.parametrize("name", CLASSES)
def test_class_properties(name):
    cls = getattr(latchwork, name)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("latchwork", name, name)
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_gate_instances():
    gate = latchwork.Gate()
    assert hash(gate) == object.__hash__(gate)
    assert not gc.is_tracked(gate) and not gc.is_tracked(verdict_of("release"))
    with pytest.raises(AttributeError):
        gate.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(gate)


def test_class_objects_accept_new_attributes():
    result = run_python("""
        import latchwork
        latchwork.Gate.extra = 1
        latchwork.Verdict.extra = 2
        print(latchwork.Gate().extra, latchwork.Gate().submit("r", "e").extra)
    """)
    assert (result.returncode, result.stdout, result.stderr) == (0, "1 2\n", "")


@pytest.mark.parametrize("name, signature", GATE_SIGNATURES.items())
def test_gate_method_signatures(name, signature):
    method = getattr(latchwork.Gate, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None
    assert name in dir(latchwork.Gate)


def test_constructor_and_verdict_introspection():
    assert latchwork.Gate.__text_signature__ == "()"
    assert str(inspect.signature(latchwork.Gate)) == "()"
    assert latchwork.Verdict.__text_signature__ is None
    for name in ("kind", "released", "held", "refused"):
        prop = vars(latchwork.Verdict)[name]
        assert prop.__doc__ == ""
        with pytest.raises(AttributeError):
            prop.__set__(verdict_of("release"), "x")


def test_decision_tag_function():
    function = latchwork.decision_tag
    assert type(function).__name__ == "builtin_function_or_method"
    assert (function.__name__, function.__module__) == ("decision_tag", "latchwork")
    assert function.__self__ is latchwork
    assert function.__text_signature__ == "(secret, run_id, effect_key, approved)"
    assert function.__doc__ is None
    assert list(inspect.signature(function).parameters) == [
        "secret", "run_id", "effect_key", "approved"]


@pytest.mark.parametrize("second_import, reported", [
    ("del sys.modules['latchwork']; import latchwork", "ImportError "),
    ("import _xxsubinterpreters as sub; sub.run_string(sub.create(), 'import latchwork')",
     "RunFailedError <class 'ImportError'>: "),
])
def test_initialised_once_per_process(second_import, reported):
    if "_xxsub" in second_import:
        if sys.version_info >= (3, 12):
            pytest.skip("isolated sub-interpreters refuse single-phase modules before init")
        pytest.importorskip("_xxsubinterpreters")
    result = run_python(f"""
        import sys
        import latchwork
        first = latchwork
        try:
            {second_import}
        except Exception as error:
            print(type(error).__name__, error)
        print(sys.modules.get("latchwork") in (None, first), first.__all__)
        print(first.Gate().submit("r", "e"), first.decision_tag(b"", "", "", True)[:8])
    """)
    assert result.returncode == 0, result.stderr
    failure, kept, works = result.stdout.splitlines()
    assert failure == reported + ONCE_ONLY
    assert (kept, works) == (f"True {PRESENT}", "release " + latchwork.decision_tag(
        b"", "", "", True)[:8])


def test_only_the_init_entry_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not available")
    listing = subprocess.run([nm, "-D", "--defined-only", latchwork.__file__],
                             capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_latchwork"]


def test_reload_never_initialises_again():
    # The interpreter re-runs no single-phase init entry on reload: the module stays as it was.
    result = run_python("""
        import importlib, latchwork
        first, gate = latchwork, latchwork.Gate()
        gate.submit("r", "e")
        print(importlib.reload(latchwork) is first, first.__all__, gate.submit("r", "e"))
    """)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == f"True {PRESENT} refused_duplicate\n"
