"""A gate that survives: latchwork-gate on a SQLite store, shared by two workers.

Starts latchwork-gate on a store in a temporary directory, lets two worker processes
race for the same 200 invoices (each is sent once), approves a held refund with a
tagged decision, kills the server with SIGKILL, restarts it on the same file and
shows that it remembers every answer it gave.
"""

from __future__ import annotations

import multiprocessing
import multiprocessing.synchronize
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import latchwork

INVOICES = [f"invoice:{n}" for n in range(200)]
_start_together: multiprocessing.synchronize.Barrier | None = None


def gate_program() -> str:
    beside = pathlib.Path(sys.executable).parent / "latchwork-gate"
    return str(beside) if beside.is_file() else shutil.which("latchwork-gate") or "latchwork-gate"


def start_gate(store: pathlib.Path, secret_file: pathlib.Path) -> tuple[subprocess.Popen[str], str]:
    """The server on a free port, once it says it listens; its address."""
    server = subprocess.Popen(
        [gate_program(), "serve", "--listen", "127.0.0.1:0", "--store", f"sqlite:{store}",
         "--secret-file", str(secret_file)],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    assert server.stdout is not None
    ready = server.stdout.readline()
    if not ready.startswith("listening on "):
        raise SystemExit(f"latchwork-gate did not start (exit code {server.wait()})")
    return server, ready.split()[-1]


def ready_to_race(barrier: multiprocessing.synchronize.Barrier) -> None:
    global _start_together
    _start_together = barrier


def worker(address: str) -> list[str]:
    """Sends every invoice the gate releases to this worker; the ones it sent."""
    client = latchwork.GateClient(address)
    assert _start_together is not None
    _start_together.wait()  # both connected: now they race
    return [key for key in INVOICES if client.submit("billing", key).kind == "release"]


def main() -> None:
    with tempfile.TemporaryDirectory() as directory:
        store = pathlib.Path(directory) / "gate.db"
        secret = b"a secret shared with the approvers only"
        secret_file = pathlib.Path(directory) / "secret"
        secret_file.write_bytes(secret)
        os.chmod(secret_file, 0o600)

        server, address = start_gate(store, secret_file)
        context = multiprocessing.get_context("spawn")
        with context.Pool(2, ready_to_race, (context.Barrier(2),)) as pool:
            sent = pool.map(worker, [address, address])
        print(f"two workers raced for {len(INVOICES)} invoices: "
              f"{len(sent[0])} + {len(sent[1])} sent, none twice: "
              f"{sorted(sent[0] + sent[1]) == sorted(INVOICES)}")

        client = latchwork.GateClient(address, secret)  # tags its decisions
        print("refund:7 submitted:", client.submit("billing", "refund:7", True).kind)
        print("refund:7 approved: ", client.decide("billing", "refund:7", True).kind)

        server.kill()  # SIGKILL: no chance to tidy up
        server.wait()
        print("server killed with SIGKILL, restarted on the same store")
        server, address = start_gate(store, secret_file)
        client = latchwork.GateClient(address, secret)
        print("invoice:3 again:   ", client.submit("billing", "invoice:3").kind)
        print("refund:7 again:    ", client.submit("billing", "refund:7", True).kind)
        server.terminate()
        server.wait()


if __name__ == "__main__":
    main()
