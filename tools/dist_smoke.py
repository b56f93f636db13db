"""What a user does first with an installed latchwork, run in the environment it is in.

Imports the module and the approvals package (typed), runs the README's quickstart block and examples/quickstart.py,
then starts the installed latchwork-gate on a SQLite store, sends GateClient
requests through it (a held effect approved with a tagged decision), the same with
latchwork_approvals.Client, restarts it
on the same file to see the state kept, and asks it for --version.

    python dist_smoke.py README.md examples/quickstart.py
"""

from __future__ import annotations

import importlib.metadata
import re
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

import latchwork
import latchwork_approvals

SECRET = b"shared secret"


def readme_quickstart(readme: Path) -> str:
    text = readme.read_text(encoding="utf-8")
    section = text[text.index("## Quickstart"):]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


class Gate:
    """latchwork-gate serve on a free port, stopped with SIGTERM on exit."""

    def __init__(self, program: Path, store: Path, secret_file: Path) -> None:
        self.process = subprocess.Popen(
            [program, "serve", "--listen", "127.0.0.1:0", "--store", f"sqlite:{store}",
             "--secret-file", secret_file],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if not line.startswith("listening on "):
            self.process.kill()
            raise SystemExit(f"latchwork-gate did not start: {line!r} {self.process.stderr.read()}")
        self.address = line.removeprefix("listening on ").strip()

    def __enter__(self) -> "Gate":
        return self

    def __exit__(self, *exc: object) -> None:
        self.process.terminate()
        code = self.process.wait(timeout=30)
        assert code == 0, f"latchwork-gate exited with {code}: {self.process.stderr.read()}"


def check_gate(program: Path) -> None:
    with tempfile.TemporaryDirectory() as work:
        store = Path(work, "gate.db")
        secret_file = Path(work, "gate.secret")
        secret_file.write_bytes(SECRET)
        secret_file.chmod(0o600)
        with Gate(program, store, secret_file) as gate:
            client = latchwork.GateClient(gate.address, secret=SECRET)
            assert client.submit("run-1", "email:42", needs_approval=True) == "held_for_approval"
            assert client.decide("run-1", "email:42", True) == "release"
            assert client.submit("run-1", "log:1").released
            print(f"GateClient through latchwork-gate on {gate.address}: held, approved, released")
            with latchwork_approvals.Client(gate.address, secret=SECRET) as approvals:
                assert approvals.submit("run-1", "sms:7", needs_approval=True, wait=0).held
                assert approvals.decide("run-1", "sms:7", True) == "release"
            print("latchwork_approvals.Client: held, approved with a tagged decision")
        with Gate(program, store, secret_file) as gate:
            client = latchwork.GateClient(gate.address, secret=SECRET)
            assert client.submit("run-1", "email:42") == "refused_duplicate"
            print("after a restart on the same SQLite file: refused_duplicate")
    version = subprocess.run([program, "--version"], capture_output=True, text=True, check=True)
    expected = f"latchwork-gate {importlib.metadata.version('latchwork')}"
    assert version.stdout.strip() == expected, version.stdout
    print(version.stdout.strip())


def main(readme: Path, quickstart: Path) -> None:
    print(f"import latchwork: {latchwork.__file__}")
    # The approvals package rides in the same wheel, typed.
    assert Path(latchwork_approvals.__file__).with_name("py.typed").is_file()
    print(f"import latchwork_approvals: {latchwork_approvals.__file__}")
    exec(compile(readme_quickstart(readme), "README quickstart", "exec"), {})
    print("README quickstart: passed")
    subprocess.run([sys.executable, quickstart], check=True, stdout=subprocess.DEVNULL)
    print(f"{quickstart.name}: passed")
    check_gate(Path(sysconfig.get_path("scripts"), "latchwork-gate"))
    print("dist smoke check passed")


if __name__ == "__main__":
    main(Path(sys.argv[1]), Path(sys.argv[2]))
