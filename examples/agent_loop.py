"""An agent loop over the tool registry, with a scripted model in place of a real one.

Before every model request the loop reads `registry.definitions()` afresh, so a
tool the agent made in one step is offered in the next; each tool call the
model makes is answered through `registry.call`. Replace `scripted_model` with
a call to your model's API (the messages and definitions are in the common
function-calling shape).
"""

import asyncio
import json

from velmor.core.subprocess_manager import SubprocessManager
from velmor.tools.base import ToolRegistry
from velmor.tools.saved import load_saved_tools
from velmor.tools.tool_creator import ToolCreatorTool

WORD_COUNT = "def main(args):\n    return {'words': len(args['text'].split())}\n"


def scripted_model(messages, tools):
    """Answers as a model would: a tool call (arguments as JSON text) or a final text."""
    offered = {tool["name"] for tool in tools}
    last = messages[-1]["content"]
    if "custom_word_count" not in offered and "Deleted" not in last:
        call = (
            "tool_creator",
            {
                "operation": "create",
                "tool_name": "word_count",
                "description": "Counts the words of args['text']",
                "code": WORD_COUNT,
            },
        )
    elif "custom_word_count" in offered and '"words"' not in last:
        call = ("custom_word_count", {"args": {"text": "the quick brown fox"}})
    elif "custom_word_count" in offered:
        call = ("tool_creator", {"operation": "delete", "tool_name": "word_count"})
    else:
        counted = [json.loads(m["content"]) for m in messages if '"words"' in m["content"]]
        return {"role": "assistant", "content": f"The text has {counted[-1]['words']} words."}
    name, arguments = call
    tool_call = {"id": f"call_{len(messages)}", "name": name, "arguments": json.dumps(arguments)}
    return {"role": "assistant", "content": "", "tool_calls": [tool_call]}


async def run_agent(registry, model, task, max_steps=10):
    messages = [{"role": "user", "content": task}]
    for _ in range(max_steps):
        tools = registry.definitions()  # read again every step: a create adds a tool
        reply = model(messages, tools)
        messages.append(reply)
        if not reply.get("tool_calls"):
            return reply["content"]
        for call in reply["tool_calls"]:
            try:
                answer = await registry.call(call["name"], **json.loads(call["arguments"]))
            except Exception as exc:  # an unknown tool, bad arguments: tell the model
                answer = f"[ERROR] {type(exc).__name__}: {exc}"
            print(f"{call['name']} -> {answer}")
            messages.append({"role": "tool", "tool_call_id": call["id"], "content": answer})
    raise RuntimeError(f"no final answer within {max_steps} steps")


async def main():
    async with SubprocessManager() as manager:
        registry = ToolRegistry()
        registry.register(ToolCreatorTool(subprocess_manager=manager, tool_registry=registry))
        load_saved_tools(registry, manager)
        print(await run_agent(registry, scripted_model, "How many words: the quick brown fox?"))


asyncio.run(main())
