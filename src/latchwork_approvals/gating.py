"""Calls that wait for a person: a decorator and context managers around the gate.

Each waits the same way: submit the effect with needs_approval and a wait, submit again
while the answer is held (each wait a slice of the overall timeout), go ahead on
"release", raise Refused on a refusal and ApprovalTimeout when the time is up. A call
retried after its effect was released is answered refused_duplicate, so it is refused,
never performed a second time.
"""

from __future__ import annotations

import contextlib
import functools
import inspect
import time
from collections.abc import AsyncIterator, Awaitable, Callable, Coroutine, Iterator, Mapping
from typing import Any, ParamSpec, TypeVar, overload

from .async_client import AsyncClient
from .effects import DetailSpec, EffectNamer, KeySpec, RunSpec
from .errors import ApprovalTimeout, Refused
from .outcome import Outcome
from .sync_client import Client

__all__ = ["requires_approval", "approval", "async_approval", "DEFAULT_TIMEOUT",
           "DEFAULT_WAIT_SLICE"]

P = ParamSpec("P")
R = TypeVar("R")

# An hour for a person to answer; each submit waits a minute of it, well within the
# server's cap on wait_ms (--max-wait, 15 minutes unless lowered).
DEFAULT_TIMEOUT = 3600.0
DEFAULT_WAIT_SLICE = 60.0


def _settled(outcome: Outcome, run_id: str, effect_key: str) -> bool:
    """True on release; False while still held; raises Refused otherwise."""
    if outcome.released:
        return True
    if outcome.held:
        return False
    raise Refused(outcome, run_id, effect_key)


def _check_times(timeout: float, wait_slice: float) -> None:
    if timeout < 0 or wait_slice <= 0:
        raise ValueError("timeout must not be negative and wait_slice must be positive")


def _wait(client: Client, run_id: str, effect_key: str, detail: Mapping[str, Any] | None,
          timeout: float, wait_slice: float) -> Outcome:
    _check_times(timeout, wait_slice)
    deadline = time.monotonic() + timeout
    while True:
        left = max(0.0, deadline - time.monotonic())
        outcome = client.submit(run_id, effect_key, needs_approval=True, detail=detail,
                                wait=min(left, wait_slice))
        if _settled(outcome, run_id, effect_key):
            return outcome
        if time.monotonic() >= deadline:
            raise ApprovalTimeout(run_id, effect_key, timeout)


async def _async_wait(client: AsyncClient, run_id: str, effect_key: str,
                      detail: Mapping[str, Any] | None, timeout: float,
                      wait_slice: float) -> Outcome:
    _check_times(timeout, wait_slice)
    deadline = time.monotonic() + timeout
    while True:
        left = max(0.0, deadline - time.monotonic())
        outcome = await client.submit(run_id, effect_key, needs_approval=True, detail=detail,
                                      wait=min(left, wait_slice))
        if _settled(outcome, run_id, effect_key):
            return outcome
        if time.monotonic() >= deadline:
            raise ApprovalTimeout(run_id, effect_key, timeout)


@contextlib.contextmanager
def approval(client: Client, run_id: str, effect_key: str, *,
             detail: Mapping[str, Any] | None = None, timeout: float = DEFAULT_TIMEOUT,
             wait_slice: float = DEFAULT_WAIT_SLICE) -> Iterator[Outcome]:
    """``with approval(client, run, key):`` enters once the effect is released to this
    caller, and raises Refused (or ApprovalTimeout) instead of entering otherwise."""
    yield _wait(client, run_id, effect_key, detail, timeout, wait_slice)


@contextlib.asynccontextmanager
async def async_approval(client: AsyncClient, run_id: str, effect_key: str, *,
                         detail: Mapping[str, Any] | None = None,
                         timeout: float = DEFAULT_TIMEOUT,
                         wait_slice: float = DEFAULT_WAIT_SLICE) -> AsyncIterator[Outcome]:
    """``async with async_approval(client, run, key):`` as approval, for asyncio."""
    yield await _async_wait(client, run_id, effect_key, detail, timeout, wait_slice)


@overload
def requires_approval(
    client: AsyncClient, *, run_id: RunSpec = None, key: KeySpec = None,
    detail: DetailSpec = True, timeout: float = DEFAULT_TIMEOUT,
    wait_slice: float = DEFAULT_WAIT_SLICE,
) -> Callable[[Callable[P, Awaitable[R]]], Callable[P, Coroutine[Any, Any, R]]]: ...


@overload
def requires_approval(
    client: Client, *, run_id: RunSpec = None, key: KeySpec = None,
    detail: DetailSpec = True, timeout: float = DEFAULT_TIMEOUT,
    wait_slice: float = DEFAULT_WAIT_SLICE,
) -> Callable[[Callable[P, R]], Callable[P, R]]: ...


def requires_approval(
    client: Client | AsyncClient, *, run_id: RunSpec = None, key: KeySpec = None,
    detail: DetailSpec = True, timeout: float = DEFAULT_TIMEOUT,
    wait_slice: float = DEFAULT_WAIT_SLICE,
) -> Any:
    """Each call of the decorated function waits until a person approved its effect,
    then runs; a refusal raises Refused and the function does not run.

    The effect is named from the call's arguments: ``key`` is a template filled from
    them ("email:{to}"), a function of them, or by default the function's name and a
    hash of them all, so two different calls are two effects and a retried call is the
    same one. ``detail`` (by default the arguments) is shown to the people who decide.
    ``run_id`` is a run id, a function returning one, or by default the run_scope's.
    With an AsyncClient it decorates coroutine functions, with a Client plain ones.
    """
    _check_times(timeout, wait_slice)

    def decorate(function: Callable[..., Any]) -> Callable[..., Any]:
        namer = EffectNamer(function, run_id, key, detail)
        if isinstance(client, AsyncClient):
            if not inspect.iscoroutinefunction(function):
                raise TypeError("an AsyncClient gates coroutine functions (async def)")
            return _gated_async(function, client, namer, timeout, wait_slice)
        if inspect.iscoroutinefunction(function):
            raise TypeError("a coroutine function is gated with an AsyncClient")
        return _gated(function, client, namer, timeout, wait_slice)

    return decorate


def _gated(function: Callable[..., Any], client: Client, namer: EffectNamer, timeout: float,
           wait_slice: float) -> Callable[..., Any]:
    @functools.wraps(function)
    def gated(*args: Any, **kwargs: Any) -> Any:
        arguments = namer.arguments(args, kwargs)
        _wait(client, namer.run_of(), namer.key_of(arguments), namer.detail_of(arguments),
              timeout, wait_slice)
        return function(*args, **kwargs)

    return gated


def _gated_async(function: Callable[..., Any], client: AsyncClient, namer: EffectNamer,
                 timeout: float, wait_slice: float) -> Callable[..., Any]:
    @functools.wraps(function)
    async def gated(*args: Any, **kwargs: Any) -> Any:
        arguments = namer.arguments(args, kwargs)
        await _async_wait(client, namer.run_of(), namer.key_of(arguments),
                          namer.detail_of(arguments), timeout, wait_slice)
        return await function(*args, **kwargs)

    return gated
