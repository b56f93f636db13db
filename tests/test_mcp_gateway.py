"""latchwork-mcp between the MCP SDK's own client and a tool server written with the SDK
(mcp_tools_server.py, which counts its calls), on a real latchwork-gate."""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest

from approvals_support import start_gate, wait_until_held

pytest.importorskip("mcp")  # the "mcp" extra: main interpreter only
import anyio  # noqa: E402
import httpx2  # noqa: E402
from mcp.client.session import ClientSession  # noqa: E402
from mcp.client.stdio import StdioServerParameters, stdio_client  # noqa: E402
from mcp.client.streamable_http import streamable_http_client  # noqa: E402
from mcp.shared.exceptions import MCPError  # noqa: E402

GATEWAY = [sys.executable, "-m", "latchwork_approvals.mcp_gateway"]
TOOLS = [sys.executable, os.path.join(os.path.dirname(__file__), "mcp_tools_server.py")]
PAY = {"to": "ann", "amount": 5}
PAY_KEY = "tool:send_money:" + hashlib.sha256(b'{"amount":5,"to":"ann"}').hexdigest()[:16]
PAID = 'send_money done: {"amount": 5, "to": "ann"}'


def calls(tmp_path) -> list[dict]:
    path = tmp_path / "calls"
    return [json.loads(line) for line in path.read_text().splitlines()] if path.exists() else []


def text_of(result) -> str:
    return "".join(block.text for block in result.content)


@contextlib.asynccontextmanager
async def gateway(gate, tmp_path, *options: str, command=GATEWAY, tools=()):
    """A ClientSession on latchwork-mcp over stdio, in front of the tool server."""
    arguments = [*command[1:], "--gate", gate.address, *options, "--", *TOOLS,
                 str(tmp_path / "calls"), *tools]
    parameters = StdioServerParameters(command=command[0], args=arguments, env=dict(os.environ))
    async with stdio_client(parameters) as streams, ClientSession(*streams) as session:
        await session.initialize()
        yield session


async def decide_when_held(console, run_id: str | None, approved: bool, after: float = 0,
                           amount: int | None = None) -> None:
    """A person deciding PAY_KEY through the console (in the run that holds it when run_id
    is None), approving another amount when one is given."""
    while run_id is None:
        held = await anyio.to_thread.run_sync(console.get, "/api/pending")
        run_id = held["items"][0]["run_id"] if held["items"] else await anyio.sleep(0.05)
    item = (await anyio.to_thread.run_sync(wait_until_held, console, run_id, [PAY_KEY]))[PAY_KEY]
    assert item["detail"] == {"tool": "send_money", "arguments": PAY}
    await anyio.sleep(after)
    if amount is None:
        await anyio.to_thread.run_sync(console.decide, run_id, PAY_KEY, approved, "wrong account")
        return
    changed = {"tool": "send_money", "arguments": {**PAY, "amount": amount}}
    reply = await anyio.to_thread.run_sync(console.call, "POST", "/api/decide", {
        "run_id": run_id, "effect_key": PAY_KEY, "approved": True, "detail": changed})
    assert reply.status == 200, reply.body


def test_listings_resources_and_plain_tools_pass_through(gate_process, tmp_path):
    gate, _ = start_gate(gate_process, tmp_path)

    async def client() -> None:
        async with gateway(gate, tmp_path, "--plain-tools", "look*") as session:
            tools = (await session.list_tools()).tools
            assert [tool.name for tool in tools] == ["send_money", "lookup"]
            assert (await session.read_resource("note://hi")).contents[0].text == "hello"
            looked = await session.call_tool("lookup", {"name": "ann"})
            assert (text_of(looked), looked.structured_content) == (
                'lookup done: {"name": "ann"}', {"call": 1})
            too_long = await session.call_tool("send_money", {"to": "x" * 20000, "amount": 1})
            assert too_long.is_error and "detail is longer than 16384 bytes" in text_of(too_long)

    anyio.run(client)
    assert gate.request({"op": "pending_count"})["value"] == 0 and len(calls(tmp_path)) == 1


@pytest.mark.parametrize("case, gate_options, gateway_options, answer", [
    ("approved", (), (), PAID),
    ("edited", (), (), 'send_money done: {"amount": 4, "to": "ann"}'),
    ("rejected", (), (), f"Not done: {PAY_KEY} was rejected by ada: wrong account."),
    ("expired", ("--hold-timeout", "1s"), (),
     f"Not done: {PAY_KEY} was not approved in time (its hold expired)."),
    ("waited", (), ("--wait", "1s"), "Not done yet: this call of send_money is still waiting "
     f"for a person's approval (find it in the approval console: run run-h, effect {PAY_KEY})."),
], ids=["approved", "edited", "rejected", "expired", "waited"])
def test_a_held_call_waits_for_a_person(gate_process, tmp_path, case, gate_options,
                                        gateway_options, answer):
    gate, console = start_gate(gate_process, tmp_path, *gate_options)
    told: list[str] = []

    async def progress(done: float, total: float | None, message: str | None) -> None:
        told.append(message or "")

    async def client():
        async with gateway(gate, tmp_path, "--run", "run-h", *gateway_options) as session, \
                anyio.create_task_group() as group:
            if case in ("approved", "edited", "rejected"):  # approved: after some progress
                group.start_soon(decide_when_held, console, "run-h", case != "rejected",
                                 5.5 if case == "approved" else 0, 4 if case == "edited" else None)
            result = await session.call_tool("send_money", PAY, progress_callback=progress)
            # A retried call: a performed one answers its recorded result, not calling again.
            return result, await session.call_tool("send_money", PAY)

    result, again = anyio.run(client)
    performed = case in ("approved", "edited")
    assert text_of(result).startswith(answer) and bool(result.is_error) != performed
    assert len(calls(tmp_path)) == performed
    if performed:
        assert (text_of(again), again.structured_content, again.is_error) == (
            text_of(result), {"call": 1}, False)
    if case == "approved":
        assert told and all(PAY_KEY in message for message in told), told


def test_a_refused_hello_is_a_tool_error_and_the_servers_exit_ends_the_gateway(
        gate_process, tmp_path):
    (tmp_path / "clients").write_text("agent:right-token:submit\n")
    os.chmod(tmp_path / "clients", 0o600)
    gate = gate_process("--clients", str(tmp_path / "clients"))
    (tmp_path / "token").write_text("wrong-token\n")
    code = tmp_path / "code"
    shell = ["sh", "-c", f'"$@"; echo $? > {code}', "sh", *GATEWAY]  # keeps its exit code

    async def client() -> str:
        async with gateway(gate, tmp_path, "--client", "agent", "--client-token-file",
                           str(tmp_path / "token"), "--plain-tools", "lookup", command=shell,
                           tools=["--exit-after", "1"]) as session:
            refused = await session.call_tool("send_money", PAY)
            with pytest.raises(MCPError):  # the tool server exits at this call
                await session.call_tool("lookup", {"name": "ann"})
        return text_of(refused)

    assert anyio.run(client) == (f"Not done: the approval gate at {gate.address} answered this "
                                 "call of send_money with an error: hello refused: unknown "
                                 "client or wrong token.")
    for _ in range(400):
        if code.exists():
            break
        time.sleep(0.05)
    assert code.read_text() == "3\n"


def test_over_http_each_session_is_a_run_and_the_token_is_required(gate_process, tmp_path):
    gate, console = start_gate(gate_process, tmp_path)
    (tmp_path / "token").write_text("s3cret\n")
    log = tmp_path / "gateway.err"
    gateway_process = subprocess.Popen(
        [*GATEWAY, "--gate", gate.address, "--http", "127.0.0.1:0", "--http-token-file",
         str(tmp_path / "token"), "--", *TOOLS, str(tmp_path / "calls")], stderr=log.open("w"))
    try:
        while "serving MCP at" not in log.read_text():
            assert gateway_process.poll() is None, log.read_text()
            time.sleep(0.05)
        url = log.read_text().split("serving MCP at ")[1].split()[0]
        with pytest.raises(urllib.error.HTTPError, match="401"):
            urllib.request.urlopen(urllib.request.Request(url, b"{}", method="POST"))

        async def client() -> str:
            http = httpx2.AsyncClient(headers={"Authorization": "Bearer s3cret"},
                                      timeout=httpx2.Timeout(30, read=120))
            async with http, streamable_http_client(url, http_client=http) as streams, \
                    ClientSession(*streams) as session, anyio.create_task_group() as group:
                await session.initialize()
                group.start_soon(decide_when_held, console, None, True)
                return text_of(await session.call_tool("send_money", PAY))

        assert anyio.run(client) == PAID and len(calls(tmp_path)) == 1
        run_id = console.get("/api/audit?order=newest&limit=1")["items"][0]["run_id"]
        process_run = log.read_text().split("latchwork-mcp: run ")[1].split()[0]
        assert run_id != process_run and len(run_id) == 32  # the HTTP session's id
    finally:
        gateway_process.terminate()
    assert gateway_process.wait(10) == 0
