"""LangChain / LangGraph tools that wait for a person (needs langchain-core: the
"langchain" extra of latchwork).

    from latchwork_approvals.langchain_tools import gate_tool
    send_email = gate_tool(send_email, client, key="email:{to}")

The gated tool keeps the tool's name, description and argument schema, so the model
and the graph see the same tool; only its call waits for the approval first.
"""

from __future__ import annotations

import asyncio
import functools
from collections.abc import Callable, Sequence
from typing import Any

from langchain_core.tools import BaseTool, StructuredTool

from .async_client import AsyncClient
from .effects import DetailSpec, KeySpec, RunSpec
from .errors import NOT_PERFORMED, NotPerformed, not_performed_text
from .gating import DEFAULT_TIMEOUT, DEFAULT_WAIT_SLICE, OnDuplicate, requires_approval
from .sync_client import Client

__all__ = ["gate_tool"]


def gate_tool(tool: BaseTool, client: Client | AsyncClient, *, run_id: RunSpec = None,
              key: KeySpec = None, detail: DetailSpec = True,
              timeout: float = DEFAULT_TIMEOUT, wait_slice: float = DEFAULT_WAIT_SLICE,
              wait: bool = True,
              on_refused: Callable[[NotPerformed], str] | None = not_performed_text,
              record_result: bool = True, on_duplicate: OnDuplicate = "result",
              editable: Sequence[str] = ()) -> StructuredTool:
    """A copy of a StructuredTool (what ``@tool`` makes) whose every call waits until a
    person approved its effect, named from the call's arguments as requires_approval
    names it. With a Client the tool is invoked synchronously (``tool.invoke``), with an
    AsyncClient from asyncio (``await tool.ainvoke``).

    A refusal, an ApprovalTimeout and (with ``wait=False``) an ApprovalPending become the
    tool's answer through ``on_refused``, so the model reads why it was not done: by
    default a plain sentence (not_performed_text). ``on_refused=None`` raises them.
    ``record_result``, ``on_duplicate`` and ``editable`` are requires_approval's: a
    repeated call answers what the first one returned.
    """
    if not isinstance(tool, StructuredTool) or (tool.func is None and tool.coroutine is None):
        raise TypeError("gate_tool wraps a StructuredTool with a function, as @tool makes")
    options: dict[str, Any] = {"run_id": run_id, "key": key, "detail": detail,
                               "timeout": timeout, "wait_slice": wait_slice, "wait": wait,
                               "record_result": record_result, "on_duplicate": on_duplicate,
                               "editable": editable}
    func: Callable[..., Any] | None = None
    coroutine: Callable[..., Any] | None = None
    if isinstance(client, AsyncClient):
        coroutine = requires_approval(client, **options)(_awaitable(tool))
    elif tool.func is not None:
        func = requires_approval(client, **options)(tool.func)
    else:
        raise TypeError(f"tool {tool.name!r} has only a coroutine: gate it with an AsyncClient")
    if on_refused is not None:
        func, coroutine = _answering(func, on_refused), _answering_async(coroutine, on_refused)
    return StructuredTool.from_function(
        func=func, coroutine=coroutine, name=tool.name, description=tool.description,
        args_schema=tool.args_schema, return_direct=tool.return_direct,
        response_format=tool.response_format)


def _awaitable(tool: StructuredTool) -> Callable[..., Any]:
    """The tool's coroutine, or its function run in a worker thread."""
    if tool.coroutine is not None:
        return tool.coroutine
    func = tool.func
    assert func is not None

    async def in_thread(*args: Any, **kwargs: Any) -> Any:
        return await asyncio.to_thread(func, *args, **kwargs)

    # The effect is named from the function's own parameters and name.
    return functools.update_wrapper(in_thread, func)


def _answering(func: Callable[..., Any] | None,
               on_refused: Callable[[NotPerformed], str]) -> Callable[..., Any] | None:
    if func is None:
        return None
    gated = func

    @functools.wraps(gated)
    def answering(*args: Any, **kwargs: Any) -> Any:
        try:
            return gated(*args, **kwargs)
        except NOT_PERFORMED as error:
            return on_refused(error)

    return answering


def _answering_async(coroutine: Callable[..., Any] | None,
                     on_refused: Callable[[NotPerformed], str]) -> Callable[..., Any] | None:
    if coroutine is None:
        return None
    gated = coroutine

    @functools.wraps(gated)
    async def answering(*args: Any, **kwargs: Any) -> Any:
        try:
            return await gated(*args, **kwargs)
        except NOT_PERFORMED as error:
            return on_refused(error)

    return answering
