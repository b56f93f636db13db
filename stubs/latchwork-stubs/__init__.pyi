# Type stubs for the latchwork extension module; installed beside it as a stub-only package.
from collections.abc import Sequence
from typing import ClassVar, TypeAlias, final

__all__ = ["Verdict", "Gate", "GateClient", "decision_tag"]

_Secret: TypeAlias = bytes | bytearray | Sequence[int]

@final
class Verdict:
    """The gate's answer about one effect: its kind and three views of it; made only by the module."""

    @property
    def kind(self) -> str:
        """The kind, such as "release" or "held_for_approval"; a client's verdict carries the server's text."""
    @property
    def released(self) -> bool:
        """True when the kind is "release": the effect may happen now."""
    @property
    def held(self) -> bool:
        """True when the kind is "held_for_approval": the effect waits for a decision."""
    @property
    def refused(self) -> bool:
        """True when the kind begins with "refused_"."""
    def __eq__(self, other: object, /) -> bool:
        """Equal to a verdict of the same kind and to the str of its kind; unequal to anything else."""
    def __ne__(self, other: object, /) -> bool:
        """The negation of ==."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Gate:
    """An in-process approval gate whose whole state lives in this object; thread-safe."""

    def __new__(cls) -> Gate:
        """An empty gate: no runs, no effects."""
    def submit(self, run_id: str, effect_key: str, needs_approval: bool = False) -> Verdict:
        """Ask whether the effect may happen now; with needs_approval a new effect is held for a decision."""
    def decide(self, run_id: str, effect_key: str, approved: bool) -> Verdict:
        """Settle a held effect: approval releases it, rejection refuses it for good."""
    def cancel(self, run_id: str) -> None:
        """Drop the run's held effects and refuse every later submission and decision of it."""
    def close_run(self, run_id: str) -> None:
        """Forget every effect of the run and refuse every later submission and decision of it."""
    def is_cancelled(self, run_id: str) -> bool:
        """True once the run has been cancelled."""
    def is_closed(self, run_id: str) -> bool:
        """True once the run has been closed."""
    def pending_count(self) -> int:
        """The number of held effects, over all runs."""
    def state_len(self) -> int:
        """The number of remembered effects (released, held and rejected), over all runs."""

@final
class GateClient:
    """A gate server's client over one TCP connection; the interpreter lock is released for each exchange."""

    def __new__(cls, addr: str = "127.0.0.1:8796", secret: _Secret | None = None) -> GateClient:
        """Connect to the server at "host:port"; with a secret every decision carries its tag."""
    def submit(self, run_id: str, effect_key: str, needs_approval: bool = False) -> Verdict:
        """Send a submission and return the server's verdict."""
    def decide(self, run_id: str, effect_key: str, approved: bool) -> Verdict:
        """Send a decision, tagged when the client holds a secret, and return the server's verdict."""
    def cancel(self, run_id: str) -> Verdict:
        """Ask the server to cancel the run and return its verdict."""
    def ping(self) -> Verdict:
        """Check that the server answers; returns its verdict."""

def decision_tag(secret: _Secret, run_id: str, effect_key: str, approved: bool) -> str:
    """The HMAC-SHA-256 tag of one decision as 64 lowercase hex digits."""
