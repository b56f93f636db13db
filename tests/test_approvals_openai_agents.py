"""An OpenAI Agents SDK function tool gated by latchwork_approvals, invoked as the SDK's
runner invokes it (on_invoke_tool, no model) against a real latchwork-gate."""

from __future__ import annotations

import asyncio
import json

import pytest

from approvals_support import Person, start_gate
from latchwork_approvals import AsyncClient, Client, run_scope

# Installed under the main interpreter only (the "openai-agents" extra).
agents = pytest.importorskip("agents")
from agents.tool_context import ToolContext  # noqa: E402

from latchwork_approvals.openai_agents import gate_function_tool  # noqa: E402

# Notes are released by the gate's rules at once; e-mails wait for a person.
RULES = """
[[rule]]
name = "notes"
effect = "note:*"
action = "release"
"""


@pytest.fixture
def gate(gate_process, tmp_path):
    rules = tmp_path / "rules.toml"
    rules.write_text(RULES)
    return start_gate(gate_process, tmp_path, "--rules", str(rules))


def invoke(tool, arguments: dict) -> object:
    text = json.dumps(arguments)
    context = ToolContext(context=None, tool_name=tool.name, tool_call_id="call-1",
                          tool_arguments=text)
    return tool.on_invoke_tool(context, text)


DONE = "Already done: {} was performed earlier in this run, so it was not performed again."


@pytest.mark.parametrize("flavour", ["blocking", "asyncio"])
@pytest.mark.parametrize("to, key, decision, answers", [
    ("cat", "note:{to}", None, ["sent to cat", DONE.format("note:cat")]),
    ("ann", "email:{to}", True, ["sent to ann", DONE.format("email:ann")]),
    ("bob", "email:{to}", False, ["Not done: email:bob was rejected by ada: wrong customer.",
                                  "Not done: email:bob was rejected."]),
])
def test_a_gated_function_tool_runs_once_released_and_answers_otherwise(gate, flavour, to, key,
                                                                        decision, answers):
    process, console = gate
    sent = []

    @agents.function_tool
    def send_email(to: str, subject: str) -> str:
        """Send an e-mail to a customer."""
        sent.append(to)
        return f"sent to {to}"

    if decision is not None:
        Person(console, "run-o", f"email:{to}", approved=decision, reason="wrong customer")

    async def main() -> list[object]:
        client = AsyncClient(process.address) if flavour == "asyncio" else Client(process.address)
        gated = gate_function_tool(send_email, client, key=key, timeout=30)
        assert (gated.name, gated.params_json_schema) == \
            (send_email.name, send_email.params_json_schema)
        with run_scope("run-o"):  # the agent calls the tool, then calls it again
            return [await invoke(gated, {"to": to, "subject": "refund"}) for _ in range(2)]

    assert asyncio.run(main()) == answers
    assert sent == ([] if decision is False else [to])
