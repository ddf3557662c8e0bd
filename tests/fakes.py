"""Test doubles for the native tool creator: job results, managers that record
their jobs, a stand-in for SubprocessTask, an await target driven by hand, and
a runner for snippets that need a fresh interpreter."""

import os
import subprocess
import sys
import textwrap
import types

import pytest

MODULE_NAME = "velmor.tools.tool_creator"


class JobResult:
    """A job result as the subprocess manager hands it back."""

    def __init__(self, error=None, output=None):
        self.error, self.output = error, output

    def __repr__(self):
        return f"JobResult(error={self.error!r}, output={self.output!r})"


class RecordingManager:
    """Records every `spawn` call; answers the queued results (raising queued
    exceptions from inside the awaited spawn), then `default` ({"ok": True})."""

    def __init__(self, *results, default=None):
        self.calls, self.results = [], list(results)
        self.default = JobResult(output={"ok": True}) if default is None else default

    @property
    def tasks(self):
        return [args[0] for args, _ in self.calls]

    async def spawn(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        result = self.results.pop(0) if self.results else self.default
        if isinstance(result, BaseException):
            raise result
        return result


class Answering:
    """A manager whose plain `spawn` returns `answer(task)`."""

    def __init__(self, answer):
        self.answer = answer

    def spawn(self, task):
        return self.answer(task)


class TaskRecorder:
    """Stands in for the module's SubprocessTask and keeps how each task was made."""

    def __init__(self):
        self.tasks = []

    def __call__(self, *args, **kwargs):
        self.tasks.append(
            types.SimpleNamespace(args=args, kwargs=kwargs, command=kwargs.get("command"))
        )
        return self.tasks[-1]


class Step:
    """An await target (its own iterator) that suspends once, yielding "step",
    then returns `result`; it records the values sent, the exceptions thrown
    and the `close` calls forwarded to it. With `absorb` a thrown exception
    finishes it with `result`; `on_resume` runs when it is resumed."""

    def __init__(self, result=None, absorb=False, on_resume=None):
        self.result, self.absorb, self.on_resume = result, absorb, on_resume
        self.state, self.awaited, self.sent, self.thrown, self.closed = "new", 0, [], [], 0

    def __await__(self):
        self.awaited += 1
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return self.send(None)

    def send(self, value):
        self.sent.append(value)
        assert self.state != "done", "step resumed after it finished"
        if self.state == "new":
            self.state = "suspended"
            return "step"
        if self.on_resume is not None:
            self.on_resume()
        self.state = "done"
        raise StopIteration(self.result)

    def throw(self, exc, *rest):
        exc = exc(*rest[:1]) if isinstance(exc, type) else exc
        self.thrown.append(exc)
        self.state = "done"
        raise StopIteration(self.result) if self.absorb else exc

    def close(self):
        self.closed += 1
        self.state = "done"


def finish(coro):
    """Drive `coro` by hand to its end and return its result."""
    try:
        while True:
            coro.send(None)
    except StopIteration as stop:
        return stop.value


def run_python(code, home, **env):
    """Run `code` in a fresh interpreter with HOME set to `home` (and `env`); return its output lines."""
    env = dict(os.environ, HOME=str(home), PYTHONDONTWRITEBYTECODE="1", **env)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    if proc.returncode != 0:
        pytest.fail(f"subprocess failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc.stdout.splitlines()
