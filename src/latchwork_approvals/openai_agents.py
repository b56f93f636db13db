"""OpenAI Agents SDK function tools that wait for a person (needs openai-agents: the
"openai-agents" extra of latchwork).

    from latchwork_approvals.openai_agents import gate_function_tool
    send_email = gate_function_tool(send_email, client, key="email:{to}")

The gated tool is a copy of the FunctionTool with the same name, description and
parameter schema, so the model sees the same tool; only its invocation waits for the
approval first, and then runs the tool as it was.
"""

from __future__ import annotations

import asyncio
import dataclasses
import json
from collections.abc import Callable, Sequence
from typing import Any

from agents import FunctionTool
from agents.tool_context import ToolContext

from .async_client import AsyncClient
from .effects import DetailSpec, EffectNamer, KeySpec, RunSpec
from .errors import NOT_PERFORMED, NotPerformed, Refused, not_performed_text
from .gating import (DEFAULT_TIMEOUT, DEFAULT_WAIT_SLICE, OnDuplicate, _async_record,
                     _async_wait, _record, _Settings, _wait)
from .sync_client import Client

__all__ = ["gate_function_tool"]

def gate_function_tool(tool: FunctionTool, client: Client | AsyncClient, *,
                       run_id: RunSpec = None, key: KeySpec = None, detail: DetailSpec = True,
                       timeout: float = DEFAULT_TIMEOUT,
                       wait_slice: float = DEFAULT_WAIT_SLICE, wait: bool = True,
                       on_refused: Callable[[NotPerformed], str] | None = not_performed_text,
                       record_result: bool = True, on_duplicate: OnDuplicate = "result",
                       editable: Sequence[str] = ()) -> FunctionTool:
    """A copy of a FunctionTool (what ``@function_tool`` makes) whose every invocation
    waits until a person approved its effect, then runs the tool.

    The effect is named from the arguments the model sent, as requires_approval names a
    call from its arguments: ``key`` a template ("email:{to}") or a function of them, by
    default the tool's name and a hash of them all; ``detail`` by default the tool's name
    and arguments. ``run_id`` is a run id, a function returning one, or by default the
    run_scope's (around ``Runner.run``). With a Client the waiting is done in a worker
    thread, with an AsyncClient on the running loop.

    A refusal, an ApprovalTimeout and (with ``wait=False``) an ApprovalPending become the
    tool's output through ``on_refused``, by default a plain sentence for the model;
    ``on_refused=None`` raises them. Arguments that are not a JSON object are left to
    the tool itself to answer, and nothing is submitted for them. ``record_result``,
    ``on_duplicate`` and ``editable`` are requires_approval's: the tool's output is
    recorded, a repeated invocation answers it again, and the arguments named in
    ``editable`` reach the tool as the approver changed them.
    """
    if not isinstance(tool, FunctionTool):
        raise TypeError("gate_function_tool wraps a FunctionTool, as @function_tool makes")
    settings = _Settings(timeout, wait_slice, wait, record_result, on_duplicate)
    namer = EffectNamer(None, run_id, key, detail, name=tool.name, editable=editable)
    invoke = tool.on_invoke_tool

    async def performed(context: ToolContext[Any], text: str, arguments: dict[str, Any]) -> Any:
        asking = settings.asking(namer, arguments)
        try:
            if isinstance(client, AsyncClient):
                outcome = await _async_wait(client, asking)
            else:
                outcome = await asyncio.to_thread(_wait, client, asking)
        except Refused as refused:
            return settings.recorded(refused)
        if outcome.detail is not None and namer.editable:
            text = json.dumps(namer.approved_arguments(arguments, outcome.detail))
        result = await invoke(context, text)
        if settings.record_result:
            if isinstance(client, AsyncClient):
                await _async_record(client, asking, result)
            else:
                await asyncio.to_thread(_record, client, asking, result)
        return result

    async def gated(context: ToolContext[Any], arguments: str) -> Any:
        parsed = _arguments(arguments)
        if parsed is None:
            return await invoke(context, arguments)
        try:
            return await performed(context, arguments, parsed)
        except NOT_PERFORMED as error:
            if on_refused is None:
                raise
            return on_refused(error)

    return dataclasses.replace(tool, on_invoke_tool=gated)


def _arguments(text: str) -> dict[str, Any] | None:
    """The model's arguments as an object, or None when they are not one."""
    try:
        value = json.loads(text or "{}")
    except ValueError:
        return None
    return value if isinstance(value, dict) else None
