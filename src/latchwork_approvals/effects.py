"""Which effect a call is: its run id, its key and its detail, from the call's arguments."""

from __future__ import annotations

import contextlib
import contextvars
import hashlib
import inspect
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any, Union

from .wire import canonical_json

__all__ = ["KeySpec", "DetailSpec", "RunSpec", "run_scope", "current_run_id", "EffectNamer"]

# The effect key: a template filled from the arguments ("email:{to}"), a function of
# the arguments, or None for the function's name and a hash of all its arguments.
KeySpec = Union[str, Callable[..., str], None]
# The detail shown to the people who decide: all the arguments (True), none (False) or
# a function of the arguments that returns a JSON object.
DetailSpec = Union[bool, Callable[..., Mapping[str, Any]]]
# The run: a run id, a function that returns one, or None for the run_scope in force.
RunSpec = Union[str, Callable[[], str], None]

_current_run: contextvars.ContextVar[str] = contextvars.ContextVar("latchwork_run_id")

# Arguments that are the object or class a method is called on, not the effect's.
_NOT_ARGUMENTS = ("self", "cls")


@contextlib.contextmanager
def run_scope(run_id: str) -> Iterator[str]:
    """Within the block, gated calls without a run of their own belong to ``run_id``.
    It follows asyncio tasks started inside, as context variables do."""
    token = _current_run.set(run_id)
    try:
        yield run_id
    finally:
        _current_run.reset(token)


def current_run_id() -> str:
    try:
        return _current_run.get()
    except LookupError:
        raise LookupError("no run: give the gated call a run_id or call it within "
                          "run_scope(run_id)") from None


class EffectNamer:
    """Names the effect of each call of one function, or of one tool whose calls come as
    arguments by name (``function`` None, ``name`` the tool's)."""

    def __init__(self, function: Callable[..., Any] | None, run_id: RunSpec, key: KeySpec,
                 detail: DetailSpec, *, name: str | None = None,
                 editable: Sequence[str] = ()) -> None:
        self.signature = None if function is None else inspect.signature(function)
        if name is None:
            name = str(getattr(function, "__qualname__", getattr(function, "__name__", "call")))
        self.name = name
        self.run_id = run_id
        self.key = key
        self.detail = detail
        self.editable = self._check_editable(editable)

    def _check_editable(self, editable: Sequence[str]) -> tuple[str, ...]:
        """An approver's change reaches the call only through the arguments the detail
        shows, so editable names need the default detail and must be parameters."""
        if isinstance(editable, str):
            raise TypeError("editable is a list of argument names, not one string")
        names = tuple(editable)
        if names and self.detail is not True:
            raise TypeError("editable arguments need the default detail (the call's arguments)")
        if self.signature is not None:
            unknown = [name for name in names if name not in self.signature.parameters
                       or name in _NOT_ARGUMENTS]
            if unknown:
                raise TypeError(f"editable names no parameter: {', '.join(unknown)}")
        return names

    def editable_pointers(self) -> list[str]:
        """Where the editable arguments are in the detail, as JSON Pointers."""
        return ["/arguments/" + name.replace("~", "~0").replace("/", "~1")
                for name in self.editable]

    def approved_arguments(self, arguments: Mapping[str, Any],
                           approved: Mapping[str, Any] | None) -> dict[str, Any]:
        """The arguments to run with: the call's own, with the editable ones taken from
        the detail a person approved with changes (``approved``; None: as submitted)."""
        changed = dict(arguments)
        shown = approved.get("arguments") if approved is not None else None
        if isinstance(shown, dict):
            changed.update((name, shown[name]) for name in self.editable if name in shown)
        return changed

    def call_with(self, args: tuple[Any, ...], kwargs: Mapping[str, Any],
                  approved: Mapping[str, Any] | None) -> tuple[tuple[Any, ...], dict[str, Any]]:
        """The positional and keyword arguments of the call with an approver's changes."""
        if approved is None or not self.editable or self.signature is None:
            return args, dict(kwargs)
        bound = self.signature.bind(*args, **kwargs)
        bound.apply_defaults()
        for name, value in self.approved_arguments(bound.arguments, approved).items():
            if name in self.editable:
                bound.arguments[name] = value
        return bound.args, bound.kwargs

    def arguments(self, args: tuple[Any, ...], kwargs: Mapping[str, Any]) -> dict[str, Any]:
        """The call's arguments by parameter name, defaults filled in."""
        if self.signature is None:
            return dict(kwargs)
        bound = self.signature.bind(*args, **kwargs)
        bound.apply_defaults()
        return {name: value for name, value in bound.arguments.items()
                if name not in _NOT_ARGUMENTS}

    def run_of(self) -> str:
        if self.run_id is None:
            return current_run_id()
        return self.run_id if isinstance(self.run_id, str) else self.run_id()

    def key_of(self, arguments: Mapping[str, Any]) -> str:
        if self.key is None:
            # Two calls are one effect exactly when their arguments are equal as JSON.
            digest = hashlib.sha256(canonical_json(arguments).encode()).hexdigest()
            return f"{self.name}:{digest[:32]}"
        if isinstance(self.key, str):
            return self.key.format(**arguments)
        return self.key(**arguments)

    def detail_of(self, arguments: Mapping[str, Any]) -> Mapping[str, Any] | None:
        if isinstance(self.detail, bool):
            return {"call": self.name, "arguments": dict(arguments)} if self.detail else None
        return self.detail(**arguments)
