"""A LangChain / LangGraph tool that waits for a person (needs the "langchain" extra).

    python examples/langchain_tool.py

The tool is an ordinary ``@tool``; gate_tool makes a copy with the same name, schema
and description whose calls wait for an approval in the gate's console. An agent graph
(a LangGraph ToolNode, an AgentExecutor) calls it as it calls any tool; here it is
invoked directly, as a graph would, with no model. A rejection becomes the tool's
answer, a plain sentence by default, so the model reads why the e-mail was not sent.
"""

from __future__ import annotations

import uuid

from langchain_core.tools import tool
from local_gate import LocalGate

from latchwork_approvals import Client, run_scope
from latchwork_approvals.langchain_tools import gate_tool


@tool
def send_email(to: str, subject: str) -> str:
    """Send an e-mail to a customer."""
    print(f"tool: sent {subject!r} to {to}")
    return f"sent to {to}"


if __name__ == "__main__":
    with LocalGate() as gate, Client(gate.address) as client:
        gated = gate_tool(send_email, client, key="email:{to}", timeout=60)
        with run_scope(f"run-{uuid.uuid4().hex[:12]}") as run_id:
            gate.decide_later(run_id, "email:ann@example.com", approved=True)
            answer = gated.invoke({"to": "ann@example.com", "subject": "Refund"})
            print(f"tool answer: {answer}")
            gate.decide_later(run_id, "email:bob@example.com", approved=False,
                              reason="wrong customer")
            answer = gated.invoke({"to": "bob@example.com", "subject": "Refund"})
            print(f"tool answer: {answer}")
