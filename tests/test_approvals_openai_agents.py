"""An OpenAI Agents SDK function tool gated by latchwork_approvals, invoked as the SDK's
runner invokes it (on_invoke_tool, no model) against a real latchwork-gate."""

from __future__ import annotations

import asyncio
import json

import pytest

from approvals_support import Person, start_gate
from latchwork_approvals import AsyncClient, Client, run_scope

agents = pytest.importorskip("agents")  # the "openai-agents" extra: main interpreter only
from agents.tool_context import ToolContext  # noqa: E402

from latchwork_approvals.openai_agents import gate_function_tool  # noqa: E402

@pytest.mark.parametrize("flavour", ["blocking", "asyncio"])
@pytest.mark.parametrize("to, key, approved, answers", [
    # A rule releases; the second call answers the first one's recorded output.
    ("cat", "note:{to}", None, ["sent to cat", "sent to cat"]),
    ("ann", "email:{to}", True, ["sent to ann", "sent to ann"]),
    ("bob", "email:{to}", False, ["Not done: email:bob was rejected by ada: wrong customer.",
                                  "Not done: email:bob was rejected."]),
])
def test_a_gated_function_tool_runs_once_released(gate_process, tmp_path, flavour, to, key,
                                                  approved, answers):
    rules = tmp_path / "rules.toml"
    rules.write_text('[[rule]]\nname = "notes"\neffect = "note:*"\naction = "release"\n')
    process, console = start_gate(gate_process, tmp_path, "--rules", str(rules))
    sent = []

    @agents.function_tool
    def send_email(to: str, subject: str) -> str:
        """Send an e-mail to a customer."""
        sent.append(to)
        return f"sent to {to}"

    if approved is not None:
        Person(console, "run-o", f"email:{to}", approved=approved, reason="wrong customer")
    client = AsyncClient(process.address) if flavour == "asyncio" else Client(process.address)
    gated = gate_function_tool(send_email, client, key=key, timeout=30)
    assert (gated.name, gated.params_json_schema) == (send_email.name,
                                                      send_email.params_json_schema)
    arguments = json.dumps({"to": to, "subject": "refund"})
    context = ToolContext(None, tool_name=gated.name, tool_call_id="c1",
                          tool_arguments=arguments)

    async def agent_turn() -> list[object]:  # the model calls the tool, then again
        with run_scope("run-o"):
            return [await gated.on_invoke_tool(context, arguments) for _ in range(2)]

    assert asyncio.run(agent_turn()) == answers
    assert sent == ([] if approved is False else [to])
