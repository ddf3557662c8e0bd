"""A scripted langchain-mcp-adapters session against `velmor-tools serve`.

Run in the clients' own venv with the server's `velmor-tools` on PATH. The
client keeps its default settings (a new server session per listing and per
call). Each step lists the tools, as an agent binding tools for its next model
request does, and calls one through its LangChain tool with a tool call, as
an agent's tool node does. Prints one JSON document: a record per step.
"""

import asyncio
import json
import shutil
import sys

from langchain_mcp_adapters.client import MultiServerMCPClient

WORD_COUNT = "def main(args):\n    return {'words': len(args['text'].split())}\n"
STEPS = [
    ("tool_creator", {"operation": "create", "tool_name": "word_count", "code": WORD_COUNT}),
    ("custom_word_count", {"args": {"text": "one two three"}}),
    ("tool_creator", {"operation": "delete", "tool_name": "word_count"}),
    ("custom_word_count", {"args": {"text": "one two three"}}),
]


async def main():
    server = shutil.which("velmor-tools")
    client = MultiServerMCPClient(
        {"velmor-tools": {"command": server, "args": ["serve"], "transport": "stdio"}}
    )
    steps = []
    for number, (name, arguments) in enumerate(STEPS):
        tools = {tool.name: tool for tool in await client.get_tools()}
        step = {"offered": list(tools), "called": name}
        if name in tools:
            call = {"name": name, "args": arguments, "id": f"call-{number}", "type": "tool_call"}
            message = await tools[name].ainvoke(call)
            step["answer"] = "".join(block["text"] for block in message.content)
            step["status"] = message.status
        steps.append(step)
    json.dump(steps, sys.stdout)


asyncio.run(main())
