"""Calls that wait for a person: a decorator and context managers around the gate.

Each waits the same way: submit the effect with needs_approval and a wait, submit again
while the answer is held (each wait a slice of the overall timeout), go ahead on
"release", raise Refused on a refusal and ApprovalTimeout when the time is up. Each
call's submits carry one attempt id: those that fail before their answer are made
again, and the gate answers a retry after a lost "release" with the release once more,
any other call of a released effect with refused_duplicate, so an effect is performed
at most once. With wait=False a held effect raises ApprovalPending instead of being
waited for. A decorated call records what its function returned, and a later call of
the same effect returns that instead of running again.
"""

from __future__ import annotations

import asyncio
import contextlib
import functools
import inspect
import logging
import random
import secrets
import time
from collections.abc import (AsyncIterator, Awaitable, Callable, Coroutine, Iterator, Mapping,
                             Sequence)
from typing import Any, Literal, ParamSpec, TypeVar, overload

from .async_client import AsyncClient
from .effects import DetailSpec, EffectNamer, KeySpec, RunSpec
from .errors import (ApprovalPending, ApprovalTimeout, GateUnavailable, OutcomeUnknown, Refused,
                     ServerError)
from .outcome import Outcome
from .sync_client import Client
from .wire import canonical_json

__all__ = ["requires_approval", "approval", "async_approval", "OnDuplicate", "DEFAULT_TIMEOUT",
           "DEFAULT_WAIT_SLICE", "RETRY_FIRST", "RETRY_LONGEST", "RECORD_PATIENCE"]

# What a call of an effect performed before does: return the result its first call
# recorded ("result"), or raise Refused with it ("raise").
OnDuplicate = Literal["result", "raise"]

_log = logging.getLogger("latchwork_approvals")

P = ParamSpec("P")
R = TypeVar("R")

# An hour for a person to answer; each submit waits a minute of it, well within the
# server's cap on wait_ms (--max-wait, 15 minutes unless lowered).
DEFAULT_TIMEOUT = 3600.0
DEFAULT_WAIT_SLICE = 60.0
# After a failed submit the call pauses about RETRY_FIRST seconds, twice that after the
# next failure in a row, and so on up to RETRY_LONGEST; each pause is drawn from its
# upper half, so calls that failed together do not all come back at once.
RETRY_FIRST = 0.1
RETRY_LONGEST = 5.0
# How long a call that performed its effect goes on trying to record the result while
# the gate cannot be reached: the effect is done, so the caller is not kept waiting
# long for a record that only later duplicates read.
RECORD_PATIENCE = 10.0


class _Asking:
    """One gated call's submits, from its first to its last: what each answer means and
    how long to pause after a failure.

    Every submit of the call carries the same attempt id. A submit that failed before
    its reply (GateUnavailable, OutcomeUnknown: the gate restarting, a dropped
    connection) is made again after a growing, jittered pause until the call's timeout;
    asking again about an effect is safe, since the gate answers refused_duplicate to an
    effect it released already.
    """

    def __init__(self, run_id: str, effect_key: str, detail: Mapping[str, Any] | None,
                 timeout: float, wait_slice: float, block: bool,
                 editable: Sequence[str] = ()) -> None:
        self.check_times(timeout, wait_slice)
        self.run_id, self.effect_key, self.detail = run_id, effect_key, detail
        self.editable = list(editable)
        self.timeout, self.wait_slice, self.block = timeout, wait_slice, block
        self.attempt = secrets.token_hex(16)
        self.deadline = time.monotonic() + timeout
        self.failures = 0

    def wait(self) -> float | None:
        """How long the next submit asks the server to wait; None with wait=False."""
        if not self.block:
            return None
        return min(max(0.0, self.deadline - time.monotonic()), self.wait_slice)

    def settled(self, outcome: Outcome) -> bool:
        """True on release; False to ask again; raises when the call ends otherwise."""
        self.failures = 0
        if outcome.released:
            return True
        if not outcome.held:
            raise Refused(outcome, self.run_id, self.effect_key)
        if not self.block:
            raise ApprovalPending(self.run_id, self.effect_key, outcome.link)
        if time.monotonic() >= self.deadline:
            raise ApprovalTimeout(self.run_id, self.effect_key, self.timeout)
        return False

    def pause(self) -> float | None:
        """The pause before asking again after a failed submit; None once time is up."""
        left = self.deadline - time.monotonic()
        if left <= 0:
            return None
        longest = min(RETRY_LONGEST, RETRY_FIRST * 2 ** min(self.failures, 32))
        self.failures += 1
        return min(left, random.uniform(longest / 2, longest))

    @staticmethod
    def check_times(timeout: float, wait_slice: float) -> None:
        if timeout < 0 or wait_slice <= 0:
            raise ValueError("timeout must not be negative and wait_slice must be positive")


def _wait(client: Client, asking: _Asking) -> Outcome:
    while True:
        try:
            outcome = client.submit(asking.run_id, asking.effect_key, needs_approval=True,
                                    detail=asking.detail, wait=asking.wait(),
                                    attempt=asking.attempt, editable=asking.editable)
        except (GateUnavailable, OutcomeUnknown):
            pause = None if client.closed else asking.pause()
            if pause is None:
                raise
            time.sleep(pause)
            continue
        if asking.settled(outcome):
            return outcome


async def _async_wait(client: AsyncClient, asking: _Asking) -> Outcome:
    while True:
        try:
            outcome = await client.submit(asking.run_id, asking.effect_key,
                                          needs_approval=True, detail=asking.detail,
                                          wait=asking.wait(), attempt=asking.attempt,
                                          editable=asking.editable)
        except (GateUnavailable, OutcomeUnknown):
            pause = None if client.closed else asking.pause()
            if pause is None:
                raise
            await asyncio.sleep(pause)
            continue
        if asking.settled(outcome):
            return outcome


@contextlib.contextmanager
def approval(client: Client, run_id: str, effect_key: str, *,
             detail: Mapping[str, Any] | None = None, timeout: float = DEFAULT_TIMEOUT,
             wait_slice: float = DEFAULT_WAIT_SLICE, wait: bool = True) -> Iterator[Outcome]:
    """``with approval(client, run, key):`` enters once the effect is released to this
    caller, and raises Refused (or ApprovalTimeout) instead of entering otherwise. With
    ``wait=False`` a held effect raises ApprovalPending at once instead of waiting."""
    yield _wait(client, _Asking(run_id, effect_key, detail, timeout, wait_slice, wait))


@contextlib.asynccontextmanager
async def async_approval(client: AsyncClient, run_id: str, effect_key: str, *,
                         detail: Mapping[str, Any] | None = None,
                         timeout: float = DEFAULT_TIMEOUT,
                         wait_slice: float = DEFAULT_WAIT_SLICE,
                         wait: bool = True) -> AsyncIterator[Outcome]:
    """``async with async_approval(client, run, key):`` as approval, for asyncio."""
    yield await _async_wait(client, _Asking(run_id, effect_key, detail, timeout, wait_slice,
                                            wait))


@overload
def requires_approval(
    client: AsyncClient, *, run_id: RunSpec = None, key: KeySpec = None,
    detail: DetailSpec = True, timeout: float = DEFAULT_TIMEOUT,
    wait_slice: float = DEFAULT_WAIT_SLICE, wait: bool = True, record_result: bool = True,
    on_duplicate: OnDuplicate = "result", editable: Sequence[str] = (),
) -> Callable[[Callable[P, Awaitable[R]]], Callable[P, Coroutine[Any, Any, R]]]: ...


@overload
def requires_approval(
    client: Client, *, run_id: RunSpec = None, key: KeySpec = None,
    detail: DetailSpec = True, timeout: float = DEFAULT_TIMEOUT,
    wait_slice: float = DEFAULT_WAIT_SLICE, wait: bool = True, record_result: bool = True,
    on_duplicate: OnDuplicate = "result", editable: Sequence[str] = (),
) -> Callable[[Callable[P, R]], Callable[P, R]]: ...


def requires_approval(
    client: Client | AsyncClient, *, run_id: RunSpec = None, key: KeySpec = None,
    detail: DetailSpec = True, timeout: float = DEFAULT_TIMEOUT,
    wait_slice: float = DEFAULT_WAIT_SLICE, wait: bool = True, record_result: bool = True,
    on_duplicate: OnDuplicate = "result", editable: Sequence[str] = (),
) -> Any:
    """Each call of the decorated function waits until a person approved its effect,
    then runs; a refusal raises Refused and the function does not run.

    The effect is named from the call's arguments: ``key`` is a template filled from
    them ("email:{to}"), a function of them, or by default the function's name and a
    hash of them all, so two different calls are two effects and a retried call is the
    same one. ``detail`` (by default the arguments) is shown to the people who decide.
    ``run_id`` is a run id, a function returning one, or by default the run_scope's.
    With an AsyncClient it decorates coroutine functions, with a Client plain ones.

    A submit that fails before its answer (the gate restarting, a connection dropped) is
    made again until ``timeout``. With ``wait=False`` a call whose effect is held raises
    ApprovalPending at once; calling it again later finds the decision.

    What the function returns is recorded on the gate when it is JSON (``record_result``),
    and a later call of the same effect returns it without running the function
    (``on_duplicate="result"``; ``"raise"`` raises Refused carrying it). With no result
    recorded such a call raises Refused, whose ``result`` is None. The arguments named in
    ``editable`` may be changed by the approver, and the function runs with the values
    approved.
    """
    settings = _Settings(timeout, wait_slice, wait, record_result, on_duplicate)

    def decorate(function: Callable[..., Any]) -> Callable[..., Any]:
        namer = EffectNamer(function, run_id, key, detail, editable=editable)
        if isinstance(client, AsyncClient):
            if not inspect.iscoroutinefunction(function):
                raise TypeError("an AsyncClient gates coroutine functions (async def)")
            return _gated_async(function, client, namer, settings)
        if inspect.iscoroutinefunction(function):
            raise TypeError("a coroutine function is gated with an AsyncClient")
        return _gated(function, client, namer, settings)

    return decorate


class _Settings:
    """How the calls of one gated function wait, record and repeat."""

    def __init__(self, timeout: float, wait_slice: float, wait: bool, record_result: bool,
                 on_duplicate: OnDuplicate) -> None:
        _Asking.check_times(timeout, wait_slice)
        if on_duplicate not in ("result", "raise"):
            raise ValueError('on_duplicate must be "result" or "raise"')
        self.timeout, self.wait_slice, self.wait = timeout, wait_slice, wait
        self.record_result, self.on_duplicate = record_result, on_duplicate

    def asking(self, namer: EffectNamer, arguments: Mapping[str, Any]) -> _Asking:
        return _Asking(namer.run_of(), namer.key_of(arguments), namer.detail_of(arguments),
                       self.timeout, self.wait_slice, self.wait, namer.editable_pointers())

    def recorded(self, refused: Refused) -> Any:
        """The result a duplicate returns, or raises ``refused`` when it returns none."""
        if (refused.kind == "refused_duplicate" and self.on_duplicate == "result"
                and refused.outcome.completed):
            return refused.outcome.result
        raise refused


def _patience(asking: _Asking, result: Any) -> _Asking | None:
    """How long recording ``result`` may go on trying; None when it is no JSON, so there
    is nothing to record."""
    try:
        canonical_json(result)
    except (TypeError, ValueError):
        return None
    return _Asking(asking.run_id, asking.effect_key, None, RECORD_PATIENCE, 1.0, True)


def _unrecorded(asking: _Asking, why: object) -> None:
    _log.warning("result of %s in run %s not recorded: %s", asking.effect_key, asking.run_id, why)


def _record(client: Client, asking: _Asking, result: Any) -> None:
    """Records ``result`` of the effect ``asking`` performed; never raises: the effect is
    done whether or not the gate keeps what it returned."""
    patience = _patience(asking, result)
    while patience is not None:
        try:
            client.complete(asking.run_id, asking.effect_key, asking.attempt, result)
            return
        except ServerError as refused:
            return _unrecorded(asking, refused.message)
        except (GateUnavailable, OutcomeUnknown) as failed:
            pause = None if client.closed else patience.pause()
            if pause is None:
                return _unrecorded(asking, failed)
            time.sleep(pause)


async def _async_record(client: AsyncClient, asking: _Asking, result: Any) -> None:
    """_record, for asyncio."""
    patience = _patience(asking, result)
    while patience is not None:
        try:
            await client.complete(asking.run_id, asking.effect_key, asking.attempt, result)
            return
        except ServerError as refused:
            return _unrecorded(asking, refused.message)
        except (GateUnavailable, OutcomeUnknown) as failed:
            pause = None if client.closed else patience.pause()
            if pause is None:
                return _unrecorded(asking, failed)
            await asyncio.sleep(pause)


def _gated(function: Callable[..., Any], client: Client, namer: EffectNamer,
           settings: _Settings) -> Callable[..., Any]:
    @functools.wraps(function)
    def gated(*args: Any, **kwargs: Any) -> Any:
        asking = settings.asking(namer, namer.arguments(args, kwargs))
        try:
            outcome = _wait(client, asking)
        except Refused as refused:
            return settings.recorded(refused)
        args, kwargs = namer.call_with(args, kwargs, outcome.detail)
        result = function(*args, **kwargs)
        if settings.record_result:
            _record(client, asking, result)
        return result

    return gated


def _gated_async(function: Callable[..., Any], client: AsyncClient, namer: EffectNamer,
                 settings: _Settings) -> Callable[..., Any]:
    @functools.wraps(function)
    async def gated(*args: Any, **kwargs: Any) -> Any:
        asking = settings.asking(namer, namer.arguments(args, kwargs))
        try:
            outcome = await _async_wait(client, asking)
        except Refused as refused:
            return settings.recorded(refused)
        args, kwargs = namer.call_with(args, kwargs, outcome.detail)
        result = await function(*args, **kwargs)
        if settings.record_result:
            await _async_record(client, asking, result)
        return result

    return gated
