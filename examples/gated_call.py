"""A recipe: a decorator that lets a function run only when the gate releases its effect.

    @gated(gate, "email:{to}", needs_approval=True)
    def send_email(run_id: str, to: str, body: str) -> str: ...

    send_email("run-1", "ann@example.com", "hi")          # held: raises EffectHeld
    send_email.approve("run-1", "ann@example.com", "hi")  # approved: the call runs now

The first argument of the gated function is the run id; the effect key is the template
filled in with the call's arguments. A refusal raises EffectRefused (or, with
skip=True, the call is skipped and returns None); either way the function never runs.
"""

from __future__ import annotations

import functools
import inspect
from typing import Callable, Generic, ParamSpec, Protocol, TypeVar

import latchwork

P = ParamSpec("P")
R = TypeVar("R")


class Gatekeeper(Protocol):
    """Gate and GateClient alike."""

    def submit(self, run_id: str, effect_key: str, needs_approval: bool = False) -> latchwork.Verdict: ...
    def decide(self, run_id: str, effect_key: str, approved: bool) -> latchwork.Verdict: ...


class EffectNotReleased(Exception):
    """The gate did not release the effect, so the function did not run."""

    def __init__(self, run_id: str, effect_key: str, verdict: latchwork.Verdict) -> None:
        super().__init__(f"{effect_key} of run {run_id}: {verdict.kind}")
        self.run_id, self.effect_key, self.verdict = run_id, effect_key, verdict


class EffectHeld(EffectNotReleased):
    """The effect waits for a decision; approve() runs the call once it is approved."""


class EffectRefused(EffectNotReleased):
    """The gate refused the effect (cancelled run, duplicate or rejected)."""


class GatedFunction(Generic[P, R]):
    def __init__(self, gate: Gatekeeper, key_template: str, needs_approval: bool, skip: bool,
                 function: Callable[P, R]) -> None:
        self._gate, self._template, self._function = gate, key_template, function
        self._needs_approval, self._skip = needs_approval, skip
        self._signature = inspect.signature(function)
        functools.update_wrapper(self, function)

    def effect_key(self, *args: P.args, **kwargs: P.kwargs) -> tuple[str, str]:
        """The run id and the effect key of one call."""
        bound = self._signature.bind(*args, **kwargs)
        bound.apply_defaults()
        run_id = next(iter(bound.arguments.values()))
        return str(run_id), self._template.format(**bound.arguments)

    def __call__(self, *args: P.args, **kwargs: P.kwargs) -> R | None:
        run_id, key = self.effect_key(*args, **kwargs)
        verdict = self._gate.submit(run_id, key, self._needs_approval)
        return self._run(verdict, run_id, key, functools.partial(self._function, *args, **kwargs))

    def approve(self, *args: P.args, **kwargs: P.kwargs) -> R | None:
        """Approve the held effect of this call and, when the gate releases it, run it."""
        run_id, key = self.effect_key(*args, **kwargs)
        verdict = self._gate.decide(run_id, key, True)
        return self._run(verdict, run_id, key, functools.partial(self._function, *args, **kwargs))

    def reject(self, *args: P.args, **kwargs: P.kwargs) -> latchwork.Verdict:
        """Reject the effect of this call: it will never run."""
        run_id, key = self.effect_key(*args, **kwargs)
        return self._gate.decide(run_id, key, False)

    def _run(self, verdict: latchwork.Verdict, run_id: str, key: str,
             call: Callable[[], R]) -> R | None:
        if verdict.released:
            return call()
        if self._skip:
            return None
        raise (EffectHeld if verdict.held else EffectRefused)(run_id, key, verdict)


def gated(gate: Gatekeeper, key_template: str, *, needs_approval: bool = False,
          skip: bool = False) -> Callable[[Callable[P, R]], GatedFunction[P, R]]:
    """Gate every call of the decorated function as the effect key_template of its run."""
    def decorate(function: Callable[P, R]) -> GatedFunction[P, R]:
        return GatedFunction(gate, key_template, needs_approval, skip, function)
    return decorate


if __name__ == "__main__":
    gate = latchwork.Gate()
    outbox: list[str] = []

    @gated(gate, "email:{to}", needs_approval=True)
    def send_email(run_id: str, to: str, body: str) -> str:
        outbox.append(f"to {to}: {body}")
        return "sent"

    @gated(gate, "log:{line}", skip=True)
    def log(run_id: str, line: str) -> None:
        outbox.append(f"log: {line}")

    log("run-1", "started")
    log("run-1", "started")                       # a duplicate: skipped
    try:
        send_email("run-1", "ann@example.com", "your invoice")
    except EffectHeld as held:
        print("held:", held)
    print("approved:", send_email.approve("run-1", "ann@example.com", "your invoice"))
    try:
        send_email("run-1", "ann@example.com", "your invoice")
    except EffectRefused as refused:
        print("refused:", refused)
    print("\n".join(outbox))
