"""What the gate server answered: the verdict's kind and, for decided effects, who and why."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

__all__ = ["Outcome"]


@dataclass(frozen=True, eq=False)
class Outcome:
    """The server's verdict on one request.

    It reads like ``latchwork.Verdict``: the same kinds, the same ``released``, ``held``
    and ``refused`` views, equal to the str of its kind and to an outcome of the same
    kind. A waiting submit that a person or the expiry decided also says who decided
    (``decided_by``), why (``reason``) and whether the hold ran out (``expired``);
    those are None and False when the server did not send them.

    ``again`` is True on a release the server hands out once more to the same attempt
    (its first reply was lost); it is a release all the same. ``detail`` is the detail a
    person approved with changes, on the release that hands it over (None when approved
    as submitted). ``link`` is where a person decides a held effect.

    A duplicate's refusal, to a submit that named its attempt, says when the effect was
    released (``released_at``, Unix ms) and, once the call that performed it recorded
    what it produced, that result (``result``) and when (``completed_at``); ``completed``
    tells a recorded None from no record.
    """

    kind: str
    decided_by: str | None = None
    reason: str | None = None
    expired: bool = False
    again: bool = False
    link: str | None = None
    released_at: int | None = None
    detail: Mapping[str, Any] | None = None
    result: Any = None
    completed_at: int | None = None

    @property
    def completed(self) -> bool:
        """True when the server holds a recorded result of the effect (``result``)."""
        return self.completed_at is not None

    @property
    def released(self) -> bool:
        """True when the kind is "release": the effect may happen now, here."""
        return self.kind == "release"

    @property
    def held(self) -> bool:
        """True when the kind is "held_for_approval": the effect still waits for a decision."""
        return self.kind == "held_for_approval"

    @property
    def refused(self) -> bool:
        """True when the kind begins with "refused_": the effect must not happen."""
        return self.kind.startswith("refused_")

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Outcome):
            return self.kind == other.kind
        if isinstance(other, str):
            return self.kind == other
        return NotImplemented

    # Equal to its kind's str, so hashed like it: a set or dict key mixes both freely.
    def __hash__(self) -> int:
        return hash(self.kind)

    def __str__(self) -> str:
        return self.kind
