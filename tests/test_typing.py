"""The installed stubs: they match the built module, type the examples, and catch misuse."""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

from support import UNDER_SANITIZER

# The checkers are whole programs of their own; under the sanitizer they would only be
# slow and report on themselves. What they check, the stub file, is the same there.
pytestmark = pytest.mark.skipif(UNDER_SANITIZER, reason="type checkers are not run under the sanitizer")

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Each misuse, and the one mypy error code it must draw on its line.
MISUSE = {
    'gate.submit(1, "e")': "arg-type",
    'gate.decide("r", "e")': "call-arg",
    'gate.submit("r", "e", needs_approval=1)': "arg-type",
    'verdict.kind = "x"': "misc",
    'latchwork.GateClient(secret="key")': "arg-type",
    'latchwork.decision_tag(b"k", "r", "e", None)': "arg-type",
    'client.cancel("r").released = True': "misc",
    "class Mine(latchwork.Gate): pass": "misc",
    'count: str = gate.pending_count()': "assignment",
}

# Correct uses that a checker must accept as they stand.
GOOD_USE = """\
    import latchwork

    gate = latchwork.Gate()
    verdict: latchwork.Verdict = gate.submit("r", "e", needs_approval=True)
    kind: str = verdict.kind
    flags: tuple[bool, bool, bool] = (verdict.released, verdict.held, verdict.refused)
    same: bool = verdict == "held_for_approval"
    gate.cancel("r")
    tag: str = latchwork.decision_tag(bytearray(b"k"), "r", "e", approved=False)
    tag = latchwork.decision_tag([1, 2, 3], "r", "e", True)


    def ask(client: latchwork.GateClient) -> latchwork.Verdict:
        return client.cancel("r")
    """


def run_mypy(*args, cwd):
    # No cache: each interpreter's run must see the stubs installed in its own venv.
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull,
                           "--no-error-summary", "--hide-error-context", *map(str, args)],
                          capture_output=True, text=True, cwd=cwd, timeout=300)


def test_stubtest_finds_the_stubs_consistent_with_the_module(tmp_path):
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "latchwork"],
                            capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_stubs_are_installed_as_a_stub_only_package():
    stubs = pathlib.Path(sysconfig.get_paths()["purelib"]) / "latchwork-stubs" / "__init__.pyi"
    assert stubs.read_text() == (ROOT / "stubs" / "latchwork-stubs" / "__init__.pyi").read_text()


def test_examples_pass_mypy_strict(tmp_path):
    result = run_mypy(*sorted((ROOT / "examples").glob("*.py")), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_correct_use_passes_mypy_strict(tmp_path):
    (tmp_path / "good.py").write_text(textwrap.dedent(GOOD_USE))
    result = run_mypy("good.py", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_each_misuse_is_reported_by_mypy(tmp_path):
    lines = ["import latchwork", "gate = latchwork.Gate()", 'verdict = gate.submit("r", "e")',
             "client = latchwork.GateClient()", *MISUSE]
    (tmp_path / "misuse.py").write_text("\n".join(lines) + "\n")
    result = run_mypy("misuse.py", cwd=tmp_path)
    found = {}
    for line in result.stdout.splitlines():
        match = re.match(r"misuse\.py:(\d+): error: .*\[([a-z-]+)\]$", line)
        if match:
            found.setdefault(lines[int(match[1]) - 1], []).append(match[2])
    assert found == {use: [code] for use, code in MISUSE.items()}, result.stdout


def pyright_command():
    """pyright from this environment, provided a node it can run with is at hand."""
    pyright = shutil.which("pyright", path=os.path.dirname(sys.executable))
    if pyright is None or shutil.which("node") is None:
        return None
    return pyright


@pytest.mark.skipif(pyright_command() is None, reason="pyright or node is not installed")
def test_pyright_reads_the_stubs(tmp_path):
    (tmp_path / "good.py").write_text(textwrap.dedent(GOOD_USE))
    (tmp_path / "bad.py").write_text('import latchwork\nlatchwork.Gate().submit(1, "e")\n'
                                     'latchwork.Gate().submit("r", "e").kind = "x"\n')
    # As in an activated virtual environment: its python comes first on the path.
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    good = subprocess.run([pyright_command(), "good.py"], capture_output=True, text=True,
                          cwd=tmp_path, env=env, timeout=300)
    assert good.returncode == 0, good.stdout + good.stderr
    bad = subprocess.run([pyright_command(), "bad.py"], capture_output=True, text=True,
                         cwd=tmp_path, env=env, timeout=300)
    assert re.search(r"bad\.py:2:\d+ - error: .*\"run_id\"", bad.stdout), bad.stdout
    assert re.search(r"bad\.py:3:\d+ - error: .*\"kind\"", bad.stdout), bad.stdout
