"""Helpers shared by the Python tests: verdicts of each kind, gate snapshots, subprocesses,
a refusing port, a model of the ledger."""
import contextlib
import os
import socket
import subprocess
import sys
import textwrap

import pytest

import latchwork

# Under the sanitizer run every allocation goes through the sanitizer's malloc: the
# interpreter counts no blocks, resident memory includes the quarantine, and every
# call is slow. Leaks are the sanitizer's to judge there; loops only walk the paths.
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")

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


@contextlib.contextmanager
def bound_but_not_listening(port: int = 0):
    """A loopback port that refuses connections for as long as the block runs."""
    holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        holder.bind(("127.0.0.1", port))
    except OSError:
        holder.close()
        pytest.skip(f"127.0.0.1:{port} is in use")
    with holder:
        yield holder.getsockname()[1]
