"""latchwork-mcp: a gate between any MCP client and an MCP server's tools (needs the
``mcp`` extra of latchwork).

    latchwork-mcp --gate 127.0.0.1:8796 -- python -m my_tools_server

starts the tool server (the downstream) and serves the same tools, resources and prompts
to its own client, over stdio or (``--http``) streamable HTTP. Each tool call is an
effect on the gate, submitted with an attempt of its own: the gate's rules decide, and
with no rule a person does. A released call is forwarded once and its result recorded on
the gate, so an identical call later gets that result without a second downstream call;
a refused one comes back as a tool error saying who decided and why.
"""

from __future__ import annotations

import argparse
import contextlib
import fnmatch
import hashlib
import hmac
import ipaddress
import json
import os
import re
import secrets
import signal
import socket
import sys
from collections.abc import AsyncIterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, TypeAlias, TypeVar

import anyio
import mcp.client.stdio as mcp_stdio
import mcp.types as types
import uvicorn
from anyio.abc import Process
from mcp.client.session import ClientSession
from mcp.client.streamable_http import streamable_http_client
from mcp.server.context import ServerRequestContext
from mcp.server.lowlevel import Server
from mcp.server.stdio import stdio_server
from mcp.shared.exceptions import MCPError
from pydantic import BaseModel, ValidationError
from starlette.types import ASGIApp, Receive, Scope, Send

from .async_client import AsyncClient
from .errors import (ApprovalTimeout, GateError, GateUnavailable, OutcomeUnknown, Refused, ServerError,
                     not_performed_text)
from .gating import DEFAULT_WAIT_SLICE, _async_record, _async_wait, _Asking
from .outcome import Outcome
from .wire import canonical_json

__all__ = ["main", "effect_key"]

# How long a call waits for a person before it answers that it still waits.
DEFAULT_WAIT = 15 * 60.0
# While a call waits, a client that sent a progress token hears of it this often.
PROGRESS_EVERY = 5.0
# How long a call goes on trying to reach a gate that cannot be reached (restarting,
# say) before it answers with a tool error.
GATE_PATIENCE = 10.0

Context: TypeAlias = "ServerRequestContext[Any, Any]"
R = TypeVar("R", bound=BaseModel)


def effect_key(tool: str, arguments: Mapping[str, Any]) -> str:
    """The effect of calling ``tool`` with ``arguments``: equal arguments as JSON, one
    effect."""
    digest = hashlib.sha256(canonical_json(dict(arguments)).encode()).hexdigest()
    return f"tool:{tool}:{digest[:16]}"


def _pointer(name: str) -> str:
    return "/arguments/" + name.replace("~", "~0").replace("/", "~1")


def _error(text: str) -> types.CallToolResult:
    return types.CallToolResult(content=[types.TextContent(type="text", text=text)],
                                is_error=True)


def _recorded(value: Any) -> types.CallToolResult:
    """A result recorded on the gate, as the call's result again."""
    try:
        return types.CallToolResult.model_validate(value, by_name=False)
    except ValidationError:  # recorded by something else than a gateway
        text = value if isinstance(value, str) else json.dumps(value, sort_keys=True)
        return types.CallToolResult(content=[types.TextContent(type="text", text=text)])


class _Waiting(_Asking):
    """One tool call's submits: the first asks without waiting, so a held call learns at
    once where a person decides it (``link``); a gate out of reach is given GATE_PATIENCE
    rather than the whole wait."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.link: str | None = None
        self.held = False
        self.first = True
        self.failing_since: float | None = None

    def wait(self) -> float | None:
        if self.first:
            self.first = False
            return 0.0
        return super().wait()

    def settled(self, outcome: Outcome) -> bool:
        self.failing_since = None
        if outcome.held:
            self.held = True
            self.link = outcome.link or self.link
        return super().settled(outcome)

    def pause(self) -> float | None:
        now = anyio.current_time()
        if self.failing_since is None:
            self.failing_since = now
        elif now - self.failing_since >= GATE_PATIENCE:
            return None
        return super().pause()


@dataclass
class Settings:
    gate: str
    run: str | None
    wait: float
    plain_tools: Sequence[str]


class Gateway:
    """The handlers of the client-facing server: tools/call goes through the gate, all
    else straight to the downstream session."""

    def __init__(self, downstream: ClientSession, gate: AsyncClient, settings: Settings,
                 process_run: str) -> None:
        self.downstream, self.gate, self.settings = downstream, gate, settings
        self.process_run = process_run

    def server(self, initialized: types.InitializeResult) -> Server[Any]:
        """A server offering what the downstream offers, under its name."""
        offered = initialized.capabilities
        info = initialized.server_info
        handlers: dict[str, Any] = {}
        if offered.tools is not None:
            handlers.update(on_list_tools=self.list_tools, on_call_tool=self.call_tool)
        if offered.resources is not None:
            handlers.update(on_list_resources=self.list_resources,
                            on_list_resource_templates=self.list_resource_templates,
                            on_read_resource=self.read_resource)
        if offered.prompts is not None:
            handlers.update(on_list_prompts=self.list_prompts, on_get_prompt=self.get_prompt)
        if offered.completions is not None:
            handlers.update(on_completion=self.complete)
        return Server(info.name, version=info.version, title=info.title,
                      instructions=initialized.instructions, **handlers)

    # ---- passed through ---------------------------------------------------------------

    async def _forward(self, request_type: Any, params: Any, result_type: type[R]) -> R:
        # The client's _meta (its progress token among them) is not the downstream's.
        if params is not None:
            params = params.model_copy(update={"meta": None})
        result: R = await self.downstream.send_request(request_type(params=params), result_type)
        return result

    async def list_tools(self, ctx: Context,
                         params: types.PaginatedRequestParams | None) -> types.ListToolsResult:
        return await self._forward(types.ListToolsRequest, params, types.ListToolsResult)

    async def list_resources(
            self, ctx: Context,
            params: types.PaginatedRequestParams | None) -> types.ListResourcesResult:
        return await self._forward(types.ListResourcesRequest, params, types.ListResourcesResult)

    async def list_resource_templates(
            self, ctx: Context,
            params: types.PaginatedRequestParams | None) -> types.ListResourceTemplatesResult:
        return await self._forward(types.ListResourceTemplatesRequest, params,
                                   types.ListResourceTemplatesResult)

    async def read_resource(self, ctx: Context,
                            params: types.ReadResourceRequestParams) -> types.ReadResourceResult:
        return await self._forward(types.ReadResourceRequest, params, types.ReadResourceResult)

    async def list_prompts(self, ctx: Context,
                           params: types.PaginatedRequestParams | None) -> types.ListPromptsResult:
        return await self._forward(types.ListPromptsRequest, params, types.ListPromptsResult)

    async def get_prompt(self, ctx: Context,
                         params: types.GetPromptRequestParams) -> types.GetPromptResult:
        return await self._forward(types.GetPromptRequest, params, types.GetPromptResult)

    async def complete(self, ctx: Context,
                       params: types.CompleteRequestParams) -> types.CompleteResult:
        return await self._forward(types.CompleteRequest, params, types.CompleteResult)

    # ---- tool calls ---------------------------------------------------------------------

    def run_of(self, ctx: Context) -> str:
        """--run, else the streamable-HTTP session's id, else this process's run."""
        if self.settings.run is not None:
            return self.settings.run
        headers = getattr(ctx.request, "headers", None)
        session = headers.get("mcp-session-id") if headers is not None else None
        return session if isinstance(session, str) and session else self.process_run

    async def call_tool(self, ctx: Context,
                        params: types.CallToolRequestParams) -> types.CallToolResult:
        name, arguments = params.name, dict(params.arguments or {})
        if any(fnmatch.fnmatchcase(name, glob) for glob in self.settings.plain_tools):
            return await self.perform(ctx, name, arguments)
        waiting = _Waiting(self.run_of(ctx), effect_key(name, arguments),
                           {"tool": name, "arguments": arguments}, self.settings.wait,
                           DEFAULT_WAIT_SLICE, True, [_pointer(key) for key in arguments])
        try:
            outcome = await self.released(ctx, waiting)
        except Refused as refused:
            if refused.kind == "refused_duplicate" and refused.outcome.completed:
                return _recorded(refused.result)
            return _error(not_performed_text(refused))
        except ApprovalTimeout:
            return _error(self.still_waiting(name, waiting))
        except ServerError as refused:
            return _error(f"Not done: the approval gate at {self.settings.gate} answered this "
                          f"call of {name} with an error: {refused.message}.")
        except (GateUnavailable, OutcomeUnknown) as failed:
            return _error(f"Not done: the approval gate at {self.settings.gate} could not be "
                          f"asked about this call of {name} ({failed}). Try again later.")
        approved = outcome.detail.get("arguments") if outcome.detail is not None else None
        if isinstance(approved, dict):  # a person changed some of them
            arguments.update((key, approved[key]) for key in arguments if key in approved)
        result = await self.perform(ctx, name, arguments)
        await _async_record(self.gate, waiting,
                            result.model_dump(mode="json", by_alias=True, exclude_none=True))
        return result

    async def released(self, ctx: Context, waiting: _Waiting) -> Outcome:
        """The release of the call, telling the client it waits meanwhile."""
        async def tell() -> None:
            told = 0
            while True:
                await anyio.sleep(PROGRESS_EVERY)
                if waiting.held:
                    told += 1
                    where = f" at {waiting.link}" if waiting.link else ""
                    await ctx.session.report_progress(
                        told, None, f"waiting for a person's approval of {waiting.effect_key}"
                                    f"{where}")

        answer: Outcome | GateError = GateUnavailable("the wait for the gate was cut short")
        async with anyio.create_task_group() as group:
            group.start_soon(tell)
            try:
                answer = await _async_wait(self.gate, waiting)
            except GateError as failed:  # raised below, not wrapped in the group's
                answer = failed
            group.cancel_scope.cancel()
        if isinstance(answer, GateError):
            raise answer
        return answer

    def still_waiting(self, name: str, waiting: _Waiting) -> str:
        where = (f"decide it at {waiting.link}" if waiting.link else
                 f"find it in the approval console: run {waiting.run_id}, effect "
                 f"{waiting.effect_key}")
        return (f"Not done yet: this call of {name} is still waiting for a person's approval "
                f"({where}). Calling again with the same arguments waits on for the same "
                "decision.")

    async def perform(self, ctx: Context, name: str,
                      arguments: dict[str, Any]) -> types.CallToolResult:
        """The call, made downstream; its progress reaches the client."""
        async def relay(progress: float, total: float | None, message: str | None) -> None:
            await ctx.session.report_progress(progress, total, message)

        return await self.downstream.call_tool(name, arguments, progress_callback=relay)


# ---- the downstream -----------------------------------------------------------------------


class _Downstream:
    """How the gateway reaches its tool server; the server's process when it started it."""

    def __init__(self) -> None:
        self.process: Process | None = None

    @contextlib.asynccontextmanager
    async def stdio(self, command: Sequence[str]) -> AsyncIterator[Any]:
        """stdio_client, keeping the process it starts for its exit code: the SDK does
        not hand it out, so its spawn is wrapped while the transport opens."""
        spawn = getattr(mcp_stdio, "_create_platform_compatible_process", None)

        async def kept(*args: Any, **kwargs: Any) -> Any:
            assert spawn is not None
            self.process = await spawn(*args, **kwargs)
            return self.process

        # The server gets the gateway's environment (its keys and settings), not the
        # SDK's short list of safe variables.
        parameters = mcp_stdio.StdioServerParameters(command=command[0], args=list(command[1:]),
                                                     env=dict(os.environ))
        transport = mcp_stdio.stdio_client(parameters)
        if spawn is not None:
            setattr(mcp_stdio, "_create_platform_compatible_process", kept)
        try:
            streams = await transport.__aenter__()
        finally:
            if spawn is not None:
                setattr(mcp_stdio, "_create_platform_compatible_process", spawn)
        try:
            yield streams
        except BaseException:
            if not await transport.__aexit__(*sys.exc_info()):
                raise
        else:
            await transport.__aexit__(None, None, None)

    def ended(self) -> int | None:
        """The started server's exit code (128 + N for signal N) once it has ended."""
        if self.process is None:
            return None
        code: int | None = self.process.returncode
        if code is None and hasattr(os, "waitid"):
            # Exited but not yet reaped by the event loop: read its status, leaving it
            # to be reaped.
            with contextlib.suppress(OSError):
                status = os.waitid(os.P_PID, self.process.pid,
                                   os.WEXITED | os.WNOHANG | os.WNOWAIT)
                if status is not None:
                    code = (status.si_status if status.si_code == os.CLD_EXITED
                            else -status.si_status)
        return None if code is None else 128 - code if code < 0 else code

    async def exit_code(self) -> int | None:
        """ended(), once the started server has ended; None at once when the gateway
        started no process."""
        if self.process is None:
            return None
        while self.ended() is None:
            await anyio.sleep(0.1)
        return self.ended()


# ---- serving ------------------------------------------------------------------------------


class _BearerOnly:
    """Answers 401 to an HTTP request without the bearer token."""

    def __init__(self, app: ASGIApp, token: bytes) -> None:
        self.app, self.expected = app, b"Bearer " + token

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http":
            given = dict(scope["headers"]).get(b"authorization", b"")
            if not hmac.compare_digest(given, self.expected):
                await send({"type": "http.response.start", "status": 401,
                            "headers": [(b"content-type", b"text/plain"),
                                        (b"www-authenticate", b"Bearer")]})
                await send({"type": "http.response.body", "body": b"bearer token required\n"})
                return
        await self.app(scope, receive, send)


def _loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


async def _serve_http(server: Server[Any], address: tuple[str, int], token: bytes | None,
                      stop: anyio.Event) -> None:
    host, port = address
    app: ASGIApp = server.streamable_http_app(host=host)
    if token is not None:
        app = _BearerOnly(app, token)
    listening = socket.create_server((host, port), family=socket.AF_INET6 if ":" in host
                                     else socket.AF_INET)
    bound = listening.getsockname()[1]
    shown = f"[{host}]" if ":" in host else host
    print(f"latchwork-mcp: serving MCP at http://{shown}:{bound}/mcp", file=sys.stderr,
          flush=True)
    http = uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="on",
                                         timeout_graceful_shutdown=5))
    # The gateway takes the signals itself and tells uvicorn when to stop (uvicorn would
    # raise them again once stopped, ending the process by the signal).
    setattr(http, "capture_signals", contextlib.nullcontext)
    async with anyio.create_task_group() as group:
        async def stopping() -> None:
            await stop.wait()
            http.should_exit = True

        group.start_soon(stopping)
        await http.serve(sockets=[listening])
        group.cancel_scope.cancel()


async def _serve_stdio(server: Server[Any]) -> None:
    async with stdio_server() as (read, write):
        await server.run(read, write, server.create_initialization_options())


async def _gateway(options: argparse.Namespace, http: tuple[str, int] | None,
                   http_token: bytes | None, gate_token: str | None) -> int:
    settings = Settings(options.gate, options.run, options.wait, options.plain_tools)
    process_run = options.run or f"mcp-{secrets.token_hex(8)}"
    print(f"latchwork-mcp: run {process_run} on the gate at {options.gate}"
          + (" (each HTTP session is a run of its own)" if http and not options.run else ""),
          file=sys.stderr, flush=True)
    downstream = _Downstream()
    async with contextlib.AsyncExitStack() as stack:
        gate = AsyncClient(options.gate, client_name=options.client, token=gate_token)
        stack.push_async_callback(gate.close)
        try:
            streams = await stack.enter_async_context(
                streamable_http_client(options.downstream_url) if options.downstream_url
                else downstream.stdio(options.command))
            session = await stack.enter_async_context(ClientSession(*streams))
            initialized = await session.initialize()
        except (OSError, MCPError, RuntimeError) as why:
            print(f"latchwork-mcp: the MCP server could not be started or reached: {why}",
                  file=sys.stderr)
            return 1
        server = Gateway(session, gate, settings, process_run).server(initialized)
        stop = anyio.Event()
        async with anyio.create_task_group() as group:
            async def watch() -> None:
                if await downstream.exit_code() is not None:
                    group.cancel_scope.cancel()

            async def serve() -> None:
                if http is not None:
                    await _serve_http(server, http, http_token, stop)
                else:
                    await _serve_stdio(server)
                group.cancel_scope.cancel()

            async def stopped_by_signal() -> None:
                with anyio.open_signal_receiver(signal.SIGTERM, signal.SIGINT) as signals:
                    async for _ in signals:
                        break
                stop.set()  # HTTP: uvicorn closes its connections first
                if http is None:
                    group.cancel_scope.cancel()

            group.start_soon(watch)
            group.start_soon(serve)
            group.start_soon(stopped_by_signal)
        # The server's exit may also have ended the client's session before watch() saw
        # it: the event loop learns a reaped child's status a moment later.
        code = downstream.ended()
        for _ in range(10):
            if code is not None:
                break
            await anyio.sleep(0.02)
            code = downstream.ended()
        if code is None:
            return 0
        print(f"latchwork-mcp: the MCP server exited with code {code}", file=sys.stderr)
        return code


# ---- the command line ---------------------------------------------------------------------

_DURATION = re.compile(r"(\d+(?:\.\d+)?)(ms|s|m|h)")
_UNIT_SECONDS = {"ms": 0.001, "s": 1.0, "m": 60.0, "h": 3600.0}


def _duration(text: str) -> float:
    """"900ms", "90s", "15m", "2h" in seconds."""
    match = _DURATION.fullmatch(text.strip())
    if match is None:
        raise argparse.ArgumentTypeError(f"not a duration such as 90s or 15m: {text!r}")
    return float(match[1]) * _UNIT_SECONDS[match[2]]


def _host_port(text: str) -> tuple[str, int]:
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit() or int(port) > 65535:
        raise argparse.ArgumentTypeError(f"not HOST:PORT: {text!r}")
    return host.strip("[]"), int(port)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="latchwork-mcp",
        usage="latchwork-mcp --gate HOST:PORT [options] -- COMMAND [ARGS...]\n"
              "       latchwork-mcp --gate HOST:PORT [options] --downstream-url URL",
        description="Serve an MCP server's tools, resources and prompts with every tool call "
                    "gated by latchwork: held for a person unless the gate's rules decide, "
                    "performed once when released.")
    parser.add_argument("--gate", required=True, metavar="HOST:PORT",
                        help="the gate server's line port")
    parser.add_argument("--client", metavar="NAME", help="the client name of the gate's hello")
    parser.add_argument("--client-token-file", metavar="FILE",
                        help="file holding that client's token")
    parser.add_argument("--run", metavar="RUN", help="the run every call belongs to (default: "
                        "the HTTP session's id, else one fresh run per gateway process)")
    parser.add_argument("--wait", type=_duration, default=DEFAULT_WAIT, metavar="DURATION",
                        help="how long a call waits for a person before answering that it still "
                             "waits (90s, 15m; default 15m)")
    parser.add_argument("--plain-tools", action="append", default=[], metavar="GLOB",
                        help="tools called straight through, without the gate (repeatable)")
    parser.add_argument("--http", type=_host_port, metavar="HOST:PORT",
                        help="serve streamable HTTP at /mcp instead of stdio")
    parser.add_argument("--http-token-file", metavar="FILE",
                        help="file holding the bearer token HTTP clients must send (needed to "
                             "serve on anything but loopback)")
    parser.add_argument("--downstream-url", metavar="URL",
                        help="reach the MCP server over streamable HTTP instead of starting it")
    return parser


def _secret(path: str | None) -> str | None:
    if path is None:
        return None
    with open(path, encoding="utf-8") as file:
        return file.read().strip()


def main(argv: Sequence[str] | None = None) -> int:
    """The console script: serves until the client goes or the downstream server ends,
    then returns the downstream's exit code (0 when it was not the one to end)."""
    arguments = list(sys.argv[1:] if argv is None else argv)
    command: list[str] = []
    if "--" in arguments:
        split = arguments.index("--")
        arguments, command = arguments[:split], arguments[split + 1:]
    parser = _parser()
    options = parser.parse_args(arguments)
    options.command = command
    if bool(command) == bool(options.downstream_url):
        parser.error("give either -- COMMAND [ARGS...] or --downstream-url URL")
    if (options.client is None) != (options.client_token_file is None):
        parser.error("--client and --client-token-file go together")
    if options.http is not None and options.http_token_file is None \
            and not _loopback(options.http[0]):
        parser.error("serving HTTP on anything but loopback needs --http-token-file")
    try:
        gate_token = _secret(options.client_token_file)
        http_token = _secret(options.http_token_file)
    except OSError as why:
        parser.error(str(why))
    if http_token == "":
        parser.error("the --http-token-file is empty")
    code: int = anyio.run(_gateway, options, options.http,
                          None if http_token is None else http_token.encode(), gate_token)
    return code


if __name__ == "__main__":
    sys.exit(main())
