"""Loading modules by path, for the scripts of this folder.

Under `python -I` neither the host's package nor this folder is on sys.path,
so what a script here uses of ours is loaded from its file: a sibling script,
a worker script, or the sandbox's native part. The scripts started as
programs (helper_server.py, and confinement.py as a spawned job's launcher)
first load this file by path, in the same few lines, as "_velmor_loader".
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import os
import sys
import types

HERE = os.path.dirname(os.path.abspath(__file__))


def load_file(
    name: str, path: str, *, register: bool = False, what: str | None = None
) -> types.ModuleType:
    """Run the Python file at `path` as a module named `name`; with `register`
    the module is put in sys.modules first, where dataclasses look a module's
    names up. `what` names the file in the error when there is none to load."""
    spec = importlib.util.spec_from_file_location(name, path)
    if spec is None or spec.loader is None:
        raise ImportError(f"cannot load {what or name} from {path}")
    module = importlib.util.module_from_spec(spec)
    if register:
        sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


def load_sibling(name: str) -> types.ModuleType:
    """The script `name`.py of this folder, loaded once per process."""
    module_name = f"_velmor_{name}"
    module = sys.modules.get(module_name)
    if module is None:
        module = load_file(module_name, os.path.join(HERE, f"{name}.py"), register=True)
    return module


def load_worker(path: str, name: str) -> types.ModuleType:
    """A worker script, run as a module named `name` (not as __main__, so
    that its own command-line entry stays quiet)."""
    return load_file(name, path, what="a worker")


def load_native(path: str) -> types.ModuleType:
    """The sandbox's native part, the extension module at `path`."""
    loader = importlib.machinery.ExtensionFileLoader("_sandbox", path)
    spec = importlib.util.spec_from_file_location("_sandbox", path, loader=loader)
    if spec is None:
        raise ImportError(f"cannot load the sandbox's native part from {path}")
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module
