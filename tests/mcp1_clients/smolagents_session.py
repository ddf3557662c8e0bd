"""A scripted smolagents session against `velmor-tools serve`.

Run in the clients' own venv with the server's `velmor-tools` on PATH.
smolagents' `MCPClient` (default settings) lists the server's tools once, when
it connects, and an agent keeps the tools it was given for its whole run. So
within one connection the new tool is reached through `tool_creator`'s `run`
operation, and the next connection (the next agent) is offered it as a tool of
its own. Prints one JSON document: a record per connection.
"""

import json
import shutil
import sys
import warnings

from mcp import StdioServerParameters
from smolagents import MCPClient

WORD_COUNT = "def main(args):\n    return {'words': len(args['text'].split())}\n"
TEXT = {"text": "one two three"}
CONNECTIONS = [
    [
        ("tool_creator", {"operation": "create", "tool_name": "word_count", "code": WORD_COUNT}),
        ("tool_creator", {"operation": "run", "tool_name": "word_count", "args": TEXT}),
    ],
    [
        ("custom_word_count", {"args": TEXT}),
        ("tool_creator", {"operation": "delete", "tool_name": "word_count"}),
        ("custom_word_count", {"args": TEXT}),
    ],
    [],
]


def main():
    # The default client warns that its structured-output default will change.
    warnings.simplefilter("ignore", FutureWarning)
    server = StdioServerParameters(command=shutil.which("velmor-tools"), args=["serve"])
    connections = []
    for calls in CONNECTIONS:
        with MCPClient(server) as tools:
            tools = {tool.name: tool for tool in tools}
            answers = [
                {"called": name, "answer": tools[name](**arguments)} for name, arguments in calls
            ]
            connections.append({"offered": list(tools), "calls": answers})
    json.dump(connections, sys.stdout)


main()
