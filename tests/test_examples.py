"""The examples run as documented, and the gating recipe holds to its word."""
import pathlib
import subprocess
import sys

import pytest

import latchwork

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
import gated_call  # noqa: E402
from gated_call import EffectHeld, EffectRefused, gated  # noqa: E402


@pytest.mark.parametrize("script, expected", [
    ("quickstart.py", "refused_rejected"),
    ("gated_call.py", "refused: email:ann@example.com of run run-1: refused_duplicate"),
    ("async_client.py", "decide email:1 approved: refused_cancelled"),
    ("durable_gate.py", "refund:7 again:     refused_duplicate"),
    ("waiting_worker.py", "worker: sent email:42"),  # after email:41, in turn
    ("approval_tools.py", "agent: refund 2 not made: refused_rejected by console (too much)"),
    ("langchain_tool.py",
     "tool answer: Not done: email:bob@example.com was rejected by console: wrong customer."),
])
def test_example_runs(script, expected):
    result = subprocess.run([sys.executable, EXAMPLES / script], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert expected in result.stdout and not result.stderr


def recorded(gate, template="email:{to}", **options):
    calls = []

    @gated(gate, template, **options)
    def send(run_id, to, body="hi"):
        calls.append((run_id, to, body))
        return f"sent {to}"

    return send, calls


def test_a_released_call_runs_once():
    gate = latchwork.Gate()
    send, calls = recorded(gate)
    assert send("r", "ann") == "sent ann"
    with pytest.raises(EffectRefused) as refused:
        send("r", to="ann", body="again")
    assert refused.value.verdict == "refused_duplicate"
    assert (refused.value.run_id, refused.value.effect_key) == ("r", "email:ann")
    assert calls == [("r", "ann", "hi")]
    assert send("r2", "ann") == "sent ann"  # another run, another effect


def test_a_held_call_runs_when_approved_and_never_when_rejected():
    gate = latchwork.Gate()
    send, calls = recorded(gate, needs_approval=True)
    for to in ("ann", "bob"):
        with pytest.raises(EffectHeld) as held:
            send("r", to)
        assert held.value.verdict.held
    assert gate.pending_count() == 2 and calls == []
    assert send.approve("r", "ann") == "sent ann"
    assert send.reject("r", "bob") == "refused_rejected"
    with pytest.raises(EffectRefused):
        send.approve("r", "bob")
    assert calls == [("r", "ann", "hi")] and gate.pending_count() == 0


@pytest.mark.parametrize("stop", ["cancel", "close_run"])
def test_a_stopped_run_is_refused_and_skip_returns_none(stop):
    gate = latchwork.Gate()
    send, calls = recorded(gate, "{run_id}/{to}/{body}", skip=True)
    getattr(gate, stop)("r")
    assert send("r", "ann") is None
    assert calls == [] and gate.state_len() == 0
    assert send("q", "ann", body="x") == "sent ann"
    assert gate.submit("q", "q/ann/x") == "refused_duplicate"  # the key is the filled template


def test_the_wrapper_keeps_the_function_name():
    assert gated_call.gated(latchwork.Gate(), "k")(test_the_wrapper_keeps_the_function_name).__name__ \
        == "test_the_wrapper_keeps_the_function_name"


def test_the_guide_shows_the_request_lines_the_client_sends():
    from gate_server import GateServer

    shown = [line for line in guide_section("The wire protocol") if line.startswith('{"')]
    secret = b"s"
    mac = latchwork.decision_tag(secret, "r1", "email:42", True)
    with GateServer(lambda _line: b'{"verdict":"release"}\n') as server:
        plain = latchwork.GateClient(server.address)
        plain.ping()
        plain.cancel("r1")
        plain.submit("r1", "email:42")
        plain.decide("r1", "email:42", True)
        latchwork.GateClient(server.address, secret).decide("r1", "email:42", True)
        sent = [line.decode().rstrip("\n") for line in server.wait_for_requests(5)]
    assert [line.replace("<64 hex digits>", mac) for line in shown] == sent
    assert (EXAMPLES.parent / "docs" / "effect-states.png").stat().st_size > 0


def guide_section(title: str) -> list[str]:
    """The lines of one ## section of the guide."""
    lines = (EXAMPLES.parent / "docs" / "guide.md").read_text().splitlines()
    start = lines.index("## " + title) + 1
    end = next((i for i in range(start, len(lines)) if lines[i].startswith("## ")), len(lines))
    return lines[start:end]


def test_the_guide_shows_what_the_server_answers(gate_process):
    server = gate_process("--store", "memory:")
    shown = [line.split("→") for line in guide_section("The gate server")
             if line.startswith('{"') and "→" in line]
    assert len(shown) == 7  # the plain requests, then an attempt answered twice
    with server.connect() as connection:
        for request, reply in shown:
            connection.send(request.strip().encode() + b"\n")
            assert connection.read_line() == reply.strip().encode() + b"\n"
