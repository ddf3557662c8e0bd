"""Doubles and helpers shared by the operation, end-to-end and operation-leak tests."""

import os
import subprocess
import sys
import textwrap


class JobResult:
    """A job result as the subprocess manager hands it back."""

    def __init__(self, error=None, output=None):
        self.error, self.output = error, output

    def __repr__(self):
        return f"JobResult(error={self.error!r}, output={self.output!r})"


class RecordingManager:
    """Records every `spawn` call as (args, kwargs); answers the queued results,
    then `default`. A queued exception is raised from inside the awaited `spawn`."""

    def __init__(self, *results, default=None):
        self.calls, self._results = [], list(results)
        self.default = JobResult(output={"ok": True}) if default is None else default

    @property
    def tasks(self):
        return [args[0] for args, _ in self.calls]

    async def spawn(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        result = self._results.pop(0) if self._results else self.default
        if isinstance(result, BaseException):
            raise result
        return result


def finish(coro):
    """Drive `coro` by hand to its end and return its result."""
    try:
        while True:
            coro.send(None)
    except StopIteration as stop:
        return stop.value


def run_python(code, home, **env):
    """Run `code` in a fresh interpreter with HOME set to `home` (and `env`); return the process."""
    environment = dict(os.environ, HOME=str(home), PYTHONDONTWRITEBYTECODE="1", **env)
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=environment, timeout=120)
    assert proc.returncode == 0, f"subprocess failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}"
    return proc
