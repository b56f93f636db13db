"""A worker that performs an effect only once a person approved it.

It starts its own latchwork-gate (memory store, with the console on loopback), then
runs the two ways a worker waits side by side while a stand-in for the approver
clicks Approve through the console's HTTP API a moment later:

  * with the plain GateClient: submit, and while the answer is held_for_approval,
    submit again every second. Nothing new is needed on the wire;
  * on a raw socket with "wait_ms": one submit that carries a detail for the
    approver and is answered as soon as the effect is decided.

Either way the worker performs the effect on "release" and on nothing else.
"""

from __future__ import annotations

import json
import shutil
import socket
import subprocess
import sys
import threading
import time
import urllib.request
from pathlib import Path

import latchwork


def start_gate() -> tuple[subprocess.Popen, str, str]:
    program = Path(sys.executable).parent / "latchwork-gate"
    command = str(program) if program.exists() else shutil.which("latchwork-gate")
    gate = subprocess.Popen([command, "serve", "--listen", "127.0.0.1:0",
                             "--console", "127.0.0.1:0", "--store", "memory:"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line_port = gate.stdout.readline().rsplit(":", 1)[1].strip()
    console = gate.stdout.readline().removeprefix("console on ").strip()
    return gate, f"127.0.0.1:{line_port}", console


def approve_soon(console: str, run_id: str, effect_key: str, after: float) -> None:
    """What a person does in the console, through its API."""
    def click() -> None:
        time.sleep(after)
        body = json.dumps({"run_id": run_id, "effect_key": effect_key, "approved": True,
                           "reason": "looks right"}).encode()
        request = urllib.request.Request(console + "api/decide", data=body, method="POST",
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request) as reply:
            print(f"approver: {effect_key} -> {json.load(reply)['verdict']}")
    threading.Thread(target=click, daemon=True).start()


def send_email(effect_key: str) -> None:
    print(f"worker: sent {effect_key}")


def wait_by_polling(address: str, run_id: str, effect_key: str) -> None:
    client = latchwork.GateClient(address)
    verdict = client.submit(run_id, effect_key, needs_approval=True)
    while verdict.kind == "held_for_approval":
        time.sleep(1)
        verdict = client.submit(run_id, effect_key, needs_approval=True)
    if verdict.kind == "release":
        send_email(effect_key)
    else:
        print(f"worker: not sent, {verdict.kind}")


def wait_on_the_line(address: str, run_id: str, effect_key: str, detail: dict) -> None:
    host, port = address.rsplit(":", 1)
    with socket.create_connection((host, int(port))) as connection:
        reader = connection.makefile("rb")
        request = {"op": "submit", "run_id": run_id, "effect_key": effect_key,
                   "needs_approval": True, "detail": detail, "wait_ms": 60_000}
        while True:
            connection.sendall(json.dumps(request).encode() + b"\n")
            reply = json.loads(reader.readline())
            if reply["verdict"] != "held_for_approval":
                break  # decided; held again only when the wait ran out
    if reply["verdict"] == "release":
        send_email(effect_key)
    else:
        print(f"worker: not sent, {reply}")


def main() -> None:
    gate, address, console = start_gate()
    try:
        run_id = f"run-{time.time_ns()}"
        approve_soon(console, run_id, "email:41", after=0.5)
        wait_by_polling(address, run_id, "email:41")
        approve_soon(console, run_id, "email:42", after=0.5)
        wait_on_the_line(address, run_id, "email:42",
                         {"to": "ann@example.com", "subject": "Your refund", "amount": 120})
    finally:
        gate.terminate()
        gate.wait()


if __name__ == "__main__":
    main()
