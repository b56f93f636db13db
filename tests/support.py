"""Helpers shared by the Python tests: verdicts of each kind, gate snapshots, subprocesses."""
import subprocess
import sys
import textwrap

import latchwork

GATE_KINDS = ("release", "held_for_approval", "refused_cancelled", "refused_duplicate",
              "refused_rejected")


def verdict_of(kind):
    """A verdict of one of the five gate kinds, obtained the only way there is: from a gate."""
    gate = latchwork.Gate()
    if kind == "release":
        return gate.submit("r", "e")
    if kind == "held_for_approval":
        return gate.submit("r", "e", True)
    if kind == "refused_duplicate":
        return gate.decide("r", "e", True)
    if kind == "refused_rejected":
        return gate.decide("r", "e", False)
    gate.cancel("r")
    return gate.submit("r", "e")


def snapshot(gate, runs=("", "r", "x")):
    """Everything a gate lets one observe without changing it."""
    return (gate.pending_count(), gate.state_len(),
            tuple((gate.is_cancelled(run), gate.is_closed(run)) for run in runs))


def busy_gate():
    """A gate holding one effect in each state, and a cancelled and a closed run."""
    gate = latchwork.Gate()
    gate.submit("r", "released")
    gate.submit("r", "pending", True)
    gate.decide("r", "rejected", False)
    gate.submit("x", "e")
    gate.cancel("x")
    gate.close_run("gone")
    return gate


def run_python(code, timeout=60):
    """Runs code in a fresh interpreter (for what must not touch this process)."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout)
