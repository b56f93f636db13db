"""An MCP server for latchwork-mcp's tests, written with the SDK: its tools send_money and
lookup append each call to CALLS_FILE; it offers one resource too.

    python mcp_tools_server.py CALLS_FILE [--exit-after N]   (exits with code 3 at call N)
"""

import json
import os
import sys

import anyio
import mcp.types as types
from mcp.server.lowlevel import Server
from mcp.server.stdio import stdio_server

calls_file, option, value = (sys.argv[1:] + [None, None])[:3]


def schema(*names):
    return {"type": "object", "properties": {name: {} for name in names}}


async def list_tools(ctx, params):
    return types.ListToolsResult(tools=[types.Tool(name="send_money", input_schema=schema("to", "amount")),
                                        types.Tool(name="lookup", input_schema=schema("name"))])


async def call_tool(ctx, params):
    with open(calls_file, "a") as calls:
        calls.write(json.dumps({"tool": params.name, "arguments": params.arguments}) + "\n")
    with open(calls_file) as calls:
        made = len(calls.readlines())
    if option == "--exit-after" and made >= int(value):  # as if it crashed
        os._exit(3)
    text = f"{params.name} done: {json.dumps(params.arguments, sort_keys=True)}"
    return types.CallToolResult(content=[types.TextContent(text=text)], structured_content={"call": made})


async def list_resources(ctx, params):
    return types.ListResourcesResult(resources=[types.Resource(uri="note://hi", name="hi")])


async def read_resource(ctx, params):
    return types.ReadResourceResult(contents=[types.TextResourceContents(uri=params.uri, text="hello")])


server = Server("tools-under-test", version="1.2", on_list_tools=list_tools, on_call_tool=call_tool,
                on_list_resources=list_resources, on_read_resource=read_resource)


async def main():
    async with stdio_server() as (read, write):
        await server.run(read, write, server.create_initialization_options())


anyio.run(main)
