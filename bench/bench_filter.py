"""What the job's system-call filter costs: installing it, and each call under it.

Installing: the time of install_seccomp() in fresh children (the last step of
every job). Each call: a loop of cheap calls in a child without a filter,
with a one-instruction filter that allows everything (what any filter costs:
the kernel takes its slower way into each call once a process has one), and
with the job's filter. getppid() is allowed outright, which the kernel
answers from its per-call cache without running the program; getpriority()
is allowed on its arguments, so the program runs for each call.

    python bench/bench_filter.py [--runs N] [--calls N]
"""

from __future__ import annotations

import argparse
import ctypes
import os
import statistics
import struct
import time

from velmor.core import _sandbox as native


def in_child(measure) -> float:
    """Run measure() in a forked child and return the float it gives."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read)
            os.write(write, struct.pack("d", measure()))
        finally:
            os._exit(0)
    os.close(write)
    data = os.read(read, 8)
    os.close(read)
    os.waitpid(pid, 0)
    return struct.unpack("d", data)[0]


class _Insn(ctypes.Structure):
    _fields_ = [
        ("code", ctypes.c_ushort),
        ("jt", ctypes.c_ubyte),
        ("jf", ctypes.c_ubyte),
        ("k", ctypes.c_uint),
    ]


class _Program(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.POINTER(_Insn))]


_SYSCALL = ctypes.CDLL(None, use_errno=True).syscall
_SYSCALL(39)  # getpid: ctypes looks the function up now, not in the timed install
_ALLOW_ALL = _Program(1, (_Insn * 1)(_Insn(0x06, 0, 0, 0x7FFF0000)))  # return ALLOW


def install_allow_all() -> None:
    """A filter of one instruction, "allow": the cost of having any filter."""
    if _SYSCALL(317, 1, 0, ctypes.byref(_ALLOW_ALL)) != 0:  # seccomp(SET_MODE_FILTER)
        raise OSError(ctypes.get_errno(), "seccomp")


def install_job_filter() -> None:
    native.install_seccomp(False)


INSTALLS = {"none": lambda: None, "allow-all": install_allow_all, "job": install_job_filter}


def install_time(install) -> float:
    native.no_new_privileges()
    # A fresh child copies each page it first writes: a dry run takes those
    # copies for the timing's own objects, and these two calls for each
    # install's, before the clock starts.
    _SYSCALL(39)
    native.seccomp_supported()
    timed(lambda: None)
    return timed(install)


def timed(call) -> float:
    started = time.perf_counter_ns()
    call()
    return (time.perf_counter_ns() - started) / 1000


def per_call(call, calls: int, install) -> float:
    def measure() -> float:
        native.no_new_privileges()
        install()
        started = time.perf_counter_ns()
        for _ in range(calls):
            call()
        return (time.perf_counter_ns() - started) / calls

    return in_child(measure)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--calls", type=int, default=200_000)
    options = parser.parse_args()
    if os.uname().machine != "x86_64":
        raise SystemExit("the allow-all filter here is written for x86-64")
    # Compiled here, as the warm helper does before forking.
    print(f"job filter: {len(native.filter_program(False)) // 8} instructions")
    installs = {"allow-all": [], "job": []}
    for _ in range(options.runs):  # interleaved, so that a change of load touches both alike
        for name, times in installs.items():
            install = INSTALLS[name]
            times.append(in_child(lambda install=install: install_time(install)))
    for name, times in installs.items():
        print(
            f"install {name}: median {statistics.median(times):.1f} µs, "
            f"p90 {statistics.quantiles(times, n=10)[-1]:.1f} µs"
        )
    loops = {
        "getppid (allowed outright)": os.getppid,
        "getpriority (allowed on its arguments)": lambda: os.getpriority(os.PRIO_PROCESS, 0),
    }
    for name, call in loops.items():
        times = {which: [] for which in INSTALLS}
        for _ in range(7):
            for which, install in INSTALLS.items():
                times[which].append(per_call(call, options.calls, install))
        none, allow_all, job = (statistics.median(times[which]) for which in INSTALLS)
        print(
            f"{name}: {none:.0f} ns without a filter, {allow_all:.0f} ns under allow-all, "
            f"{job:.0f} ns under the job filter ({job - allow_all:+.0f} ns for its program)"
        )


if __name__ == "__main__":
    main()
