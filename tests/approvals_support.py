"""approvals_support.py: a real latchwork-gate with its console for the approvals
package's tests, and a person who decides through the console once an effect is held."""

from __future__ import annotations

import os
import threading
import time

from console_http import Console, quote, write_approvers

APPROVER_TOKEN = "token-of-ada"


def private_file(path, data: bytes) -> str:
    path.write_bytes(data)
    os.chmod(path, 0o600)
    return str(path)


def start_gate(gate_process, tmp_path, *options: str, **keywords):
    """The server with its console (ada approves); its process and its Console."""
    approvers = write_approvers(tmp_path, f"ada:{APPROVER_TOKEN}\n")
    process = gate_process("--console", "127.0.0.1:0", "--approvers", str(approvers), *options,
                           **keywords)
    return process, Console(process.console_port, APPROVER_TOKEN)


def held_items(console: Console, run_id: str) -> dict[str, dict]:
    items = console.get(f"/api/pending?limit=1000&run={quote(run_id)}")["items"]
    return {item["effect_key"]: item for item in items if item["run_id"] == run_id}


def wait_until_held(console: Console, run_id: str, effect_keys, timeout: float = 30) -> dict:
    """The pending items of these effects, once all of them are held."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        held = held_items(console, run_id)
        if all(key in held for key in effect_keys):
            return held
        time.sleep(0.02)
    raise AssertionError(f"{effect_keys} of {run_id} never held: {held_items(console, run_id)}")


class Person(threading.Thread):
    """Decides an effect through the console as soon as it is held."""

    def __init__(self, console: Console, run_id: str, effect_key: str, approved: bool = True,
                 reason: str = ""):
        super().__init__(daemon=True)
        self.console, self.run_id, self.effect_key = console, run_id, effect_key
        self.approved, self.reason = approved, reason
        self.verdict: str | None = None
        self.start()

    def run(self) -> None:
        wait_until_held(self.console, self.run_id, [self.effect_key])
        self.verdict = self.console.decide(self.run_id, self.effect_key, self.approved, self.reason)

    def result(self) -> str | None:
        self.join(30)
        return self.verdict
