"""Helpers shared by the Python tests: verdicts of each kind, gate snapshots, subprocesses,
a refusing port, calls after a server has gone, a model of the ledger, an index that
fails with a cause, secrets of every form and the bytes they stand for."""
import contextlib
import os
import socket
import subprocess
import sys
import textwrap

import latchwork

# Under the sanitizer run every allocation goes through the sanitizer's malloc: the
# interpreter counts no blocks, resident memory includes the quarantine, and every
# call is slow. Leaks are the sanitizer's to judge there; loops only walk the paths.
# The server's tests run in an ordinary interpreter against the sanitizer build of
# the server, which tools/pytest_under_asan.sh says with LATCHWORK_GATE_SANITIZED.
UNDER_SANITIZER = ("libasan" in os.environ.get("LD_PRELOAD", "")
                   or os.environ.get("LATCHWORK_GATE_SANITIZED") == "1")

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


def failures_after_the_end(address, calls=50):
    """Calls every method `calls` times on a client whose server has gone; the messages seen."""
    client = latchwork.GateClient(address, b"k")
    seen = []
    for i in range(calls):
        for call in (client.ping, lambda: client.submit("r", f"e{i}"), lambda: client.decide("r", "e", True),
                     lambda: client.cancel("r")):
            try:
                seen.append(f"unexpected verdict {call().kind}")
            except RuntimeError as error:
                seen.append(str(error))
    return seen


@contextlib.contextmanager
def bound_but_not_listening(port: int = 0):
    """A loopback port that refuses connections for as long as the block runs."""
    import pytest  # here only: a child process that imports this module does without it

    holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        holder.bind(("127.0.0.1", port))
    except OSError:
        holder.close()
        pytest.skip(f"127.0.0.1:{port} is in use")
    with holder:
        yield holder.getsockname()[1]


class LedgerModel:
    """The five containers and the decision rules, nothing more."""

    def __init__(self):
        self.released, self.cancelled, self.pending = set(), set(), {}
        self.rejected, self.closed = set(), set()

    def stopped(self, run):
        return run in self.cancelled or run in self.closed

    def submit(self, run, key, needs_approval):
        effect = (run, key)
        if self.stopped(run):
            return "refused_cancelled"
        if effect in self.released:
            return "refused_duplicate"
        if effect in self.rejected:
            return "refused_rejected"
        if effect in self.pending:
            return "held_for_approval"
        if needs_approval:
            self.pending[effect] = (run, key, True)
            return "held_for_approval"
        self.released.add(effect)
        return "release"

    def decide(self, run, key, approved):
        effect = (run, key)
        if self.pending.pop(effect, None) is not None:
            (self.released if approved else self.rejected).add(effect)
            return "release" if approved else "refused_rejected"
        if self.stopped(run):
            return "refused_cancelled"
        if approved or effect in self.released:
            return "refused_duplicate"
        self.rejected.add(effect)
        return "refused_rejected"

    def cancel(self, run):
        self.cancelled.add(run)
        self.pending = {e: p for e, p in self.pending.items() if e[0] != run}

    def close_run(self, run):
        self.closed.add(run)
        self.released = {e for e in self.released if e[0] != run}
        self.rejected = {e for e in self.rejected if e[0] != run}
        self.pending = {e: p for e, p in self.pending.items() if e[0] != run}

    def counts(self):
        return len(self.pending), len(self.released) + len(self.pending) + len(self.rejected)


class CausedIndex:
    """An item whose __index__ raises TypeError from another exception."""

    def __index__(self):
        try:
            raise KeyError("root")
        except KeyError as cause:
            raise TypeError("bad index") from cause


class ReversedBytes(bytes):
    """A secret subclass may iterate to other bytes than its buffer holds; the iteration counts."""

    def __iter__(self):
        return iter(bytes(self)[::-1])


class ReversedByteArray(bytearray):
    def __iter__(self):
        return iter(bytes(self)[::-1])


class PlainBytesSubclass(bytes):
    pass


class RefusingBytes(bytes):
    def __iter__(self):
        raise LookupError("no iteration")


SECRET_FORMS = [
    (b"abc\x00\xff", b"abc\x00\xff"), (bytearray(b"abc\x00\xff"), b"abc\x00\xff"),
    (b"", b""), (bytearray(), b""), (bytes(range(256)) * 3, bytes(range(256)) * 3),
    (PlainBytesSubclass(b"abc"), b"abc"), (ReversedBytes(b"abc"), b"cba"),
    (ReversedByteArray(b"abc"), b"cba"), (memoryview(b"abcd")[1:3], b"bc"),
    (memoryview(bytearray(b"abc")), b"abc"),
]

