"""latchwork-gate pending, approve and reject against a real console, and unknown subcommands."""

from __future__ import annotations

import os
import socket

import pytest

from gate_process import run_gate
from test_console_roles import held, served  # noqa: F401 (a fixture)


def command(process, *arguments, token="token-of-alice", token_file=None):
    """Runs an approver command against the console; the token from env unless a file."""
    env = {k: v for k, v in os.environ.items() if k != "LATCHWORK_TOKEN"}
    if token is not None and token_file is None:
        env["LATCHWORK_TOKEN"] = token
    console = ["--console", process.console_url]
    if token_file is not None:
        console += ["--token-file", str(token_file)]
    return run_gate(arguments[0], *console, *arguments[1:], env=env)


def test_pending_lists_every_page_as_a_table(served, tmp_path):
    process, _ = served
    assert command(process, "pending").stdout == "nothing is waiting for a decision\n"
    effects = [(f"run-{n:04d}", "send/email") for n in range(1005)]  # two pages
    held(process, *effects)
    with process.connect() as raw:
        assert raw.request({"op": "submit", "run_id": "run-x", "effect_key": "pay " + "€" * 100,
                            "needs_approval": True, "detail": {"amount": 12}})["verdict"] \
            == "held_for_approval"
    token_file = tmp_path / "token"
    token_file.write_text("token-of-carol\n")
    token_file.chmod(0o600)
    done = command(process, "pending", token_file=token_file)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].split() == ["RUN", "EFFECT", "STATE", "WAITING", "SINCE", "DEADLINE", "DETAIL"]
    assert len(lines) == 1 + 1006
    assert lines[1].startswith("run-0000  send/email") and " held " in lines[1]
    last = lines[-1]
    assert last.startswith("run-x") and '{"amount":12}' in last and "pay " + "€" * 25 + "...  held" in last
    assert max(len(line) for line in lines) < 200
    token_file.chmod(0o644)
    unsafe = command(process, "pending", token_file=token_file)
    assert unsafe.returncode == 2 and "group or others may access it" in unsafe.stderr


def test_approve_reject_and_their_exit_codes(served):
    process, _ = served
    held(process, ("r/1", "a b"), ("r/1", "c"))
    done = command(process, "approve", "r/1", "a b", "--reason", "looks fine")
    assert (done.returncode, done.stdout) == (0, "approved\n"), done.stderr
    again = command(process, "reject", "r/1", "a b", token="token-of-bob")
    assert (again.returncode, again.stdout) == (1, "already approved by alice (looks fine)\n")
    viewer = command(process, "reject", "r/1", "c", token="token-of-carol")
    assert (viewer.returncode, viewer.stderr) == (1, "latchwork-gate: viewer carol may not decide\n")
    done = command(process, "reject", "r/1", "c", "--reason", "no", token="token-of-bob")
    assert (done.returncode, done.stdout) == (0, "refused_rejected\n")
    wrong = command(process, "pending", token="token-of-nobody")
    assert wrong.returncode == 3 and "refused the token" in wrong.stderr
    assert command(process, "pending", token=None).returncode == 2
    assert command(process, "approve", "r/1").returncode == 2  # no effect key
    assert run_gate("approve", "r", "e").returncode == 2  # no --console


def test_an_unreachable_console_is_exit_code_3():
    with socket.socket() as unused:
        unused.bind(("127.0.0.1", 0))
        port = unused.getsockname()[1]
    env = dict(os.environ, LATCHWORK_TOKEN="t")
    done = run_gate("pending", "--console", f"http://127.0.0.1:{port}/", env=env)
    assert done.returncode == 3 and "connecting to" in done.stderr


@pytest.mark.parametrize("word", ["frobnicate", "pendin"])
def test_an_unknown_subcommand_is_named(word):
    done = run_gate(word)
    assert done.returncode == 2
    assert done.stderr == (f'latchwork-gate: unknown subcommand "{word}"; the subcommands are '
                           "serve, log, migrate, pending, approve, reject, rules, new-secret\n")
