"""What runs inside a job's processes or the warm helper.

Every script here runs under `python -I`, with the standard library alone:
the host's package is not importable there, so the scripts load one another,
the worker scripts and the sandbox's native part by path, through loader.py.
The host imports some of them too (the helper protocol, the worker's rule of
what a command reads), which is why they live in the package at all; nothing
here may import from the rest of velmor.
"""
