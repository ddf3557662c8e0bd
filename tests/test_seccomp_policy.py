"""The job's system-call filter: the reviewed policy text, the compiled program
run against the table for every call number, the answers a filtered process
really gets, and the legitimate tools under the filter alone.

The reviewed text lives in tests/golden/job_filter*.<machine>.txt. After a
deliberate change of policy, regenerate it and review the diff:

    VELMOR_UPDATE_GOLDEN=1 .venv/bin/python -m pytest -q tests/test_seccomp_policy.py

tests/golden/observed_job_calls.<machine>.txt is what bench/trace_job_calls.py
saw legitimate tools call; rerun that script when the tools change.
"""

from __future__ import annotations

import errno
import fcntl
import json
import os
import platform
import resource
import socket
import stat
import struct
import subprocess
import sys
import termios
import textwrap
from pathlib import Path

import pytest

from tests.legitimate_tools import TOOLS
from velmor.core import sandbox

GOLDEN = Path(__file__).resolve().parent / "golden"
MACHINE = platform.machine()
UPDATE = os.environ.get("VELMOR_UPDATE_GOLDEN") == "1"

ALLOW = 0x7FFF0000
KILL = 0x80000000
ANSWERS = {"allow": ALLOW} | {
    name: 0x00050000 | getattr(errno, name) for name in ("EPERM", "ENOSYS", "EOPNOTSUPP")
}
AUDIT_ARCH = {"x86_64": 0xC000003E, "aarch64": 0xC00000B7}
AUDIT_ARCH_I386 = 0x40000003
X32_BIT = 0x40000000
# The environment of the fresh interpreters below, as minimal as a job's: a
# sanitizer the test run preloads would make calls the filter refuses (its
# leak check traces the process).
JOB_ENV = {"PATH": os.defpath, "LANG": "C.UTF-8"}

CLONE_NEWUSER, CLONE_NEWNET, CLONE_NEWNS, CLONE_NEWPID = 0x10000000, 0x40000000, 0x20000, 0x20000000
CLONE_PARENT, CLONE_THREAD_FLAGS = 0x8000, 0x3D0F00  # what pthread_create passes
SIGCHLD = int(__import__("signal").SIGCHLD)
TIOCLINUX, TIOCSETD = 0x541C, 0x5423


def table(network: bool) -> dict[str, tuple[int, str]]:
    """The described policy: call name -> (number, what it answers)."""
    rules = {}
    for line in sandbox.describe_job_filter(network).splitlines():
        if not line.startswith("#"):
            name, number, answer = line.split(None, 2)
            rules[name] = (int(number), answer)
    return rules


class TestReviewedPolicy:
    @pytest.mark.parametrize("network", [False, True], ids=["closed", "network"])
    def test_policy_text_matches_the_reviewed_copy(self, network):
        path = GOLDEN / f"job_filter{'_network' if network else ''}.{MACHINE}.txt"
        text = sandbox.describe_job_filter(network)
        if UPDATE:
            path.write_text(text, encoding="utf-8")
        if not path.exists():
            pytest.skip(f"no reviewed policy for {MACHINE}")
        assert text == path.read_text(encoding="utf-8"), (
            "the job filter changed: review it and regenerate the copy "
            "(VELMOR_UPDATE_GOLDEN=1, see this file's docstring)"
        )

    def test_every_call_tools_were_seen_to_make_has_a_rule(self):
        # A call tools make must never meet the default by accident: each is
        # allowed, or refused on purpose by a rule of its own.
        path = GOLDEN / f"observed_job_calls.{MACHINE}.txt"
        if not path.exists():
            pytest.skip(f"no observed calls for {MACHINE}")
        lines = path.read_text(encoding="utf-8").splitlines()
        observed = {line.split()[0] for line in lines if line and not line.startswith("#")}
        assert len(observed) > 100
        assert observed - set(table(True)) == set()

    def test_network_adds_ip_sockets_and_their_bind_and_nothing_else(self):
        closed, open_net = table(False), table(True)
        changed = {name for name in closed if closed[name] != open_net[name]}
        assert changed == {"socket", "bind"} and closed.keys() == open_net.keys()
        assert "AF_INET" in open_net["socket"][1] and "AF_INET" not in closed["socket"][1]
        # Without an IP socket, nothing a job holds needs a name.
        assert closed["bind"][1] == "EPERM" and "sizeof(sockaddr_in)" in open_net["bind"][1]


def run_program(program: bytes, number: int, args=(), arch: int | None = None) -> int:
    """Evaluate the compiled classic-BPF program as the kernel would."""
    arch = AUDIT_ARCH[MACHINE] if arch is None else arch
    data = struct.pack("<IIQ6Q", number & 0xFFFFFFFF, arch, 0, *(list(args) + [0] * 6)[:6])
    insns = list(struct.iter_unpack("<HBBI", program))
    pc, acc = 0, 0
    for _ in range(len(insns)):  # forward jumps only: no path is longer
        code, jt, jf, k = insns[pc]
        if code == 0x20:  # BPF_LD | BPF_W | BPF_ABS
            acc = struct.unpack_from("<I", data, k)[0]
        elif code == 0x54:  # BPF_ALU | BPF_AND | BPF_K
            acc &= k
        elif code == 0x06:  # BPF_RET | BPF_K
            return k
        elif code == 0x05:  # BPF_JMP | BPF_JA
            pc += k
        elif code in (0x15, 0x25, 0x35, 0x45):  # JEQ, JGT, JGE, JSET
            hit = {0x15: acc == k, 0x25: acc > k, 0x35: acc >= k, 0x45: acc & k != 0}[code]
            pc += jt if hit else jf
        else:
            raise AssertionError(f"instruction {code:#x} the filter should not use")
        pc += 1
    raise AssertionError("ran off the end of the program")


# Calls allowed on their arguments: (call, arguments, answer, with network).
ARGUMENT_CASES = [
    ("prlimit64", (0, resource.RLIMIT_NOFILE, 0, 0), "allow", False),
    ("prlimit64", (1, resource.RLIMIT_NOFILE, 0, 0), "EPERM", False),
    ("prlimit64", (4242, resource.RLIMIT_CPU, 1, 0), "EPERM", False),
    ("setpriority", (os.PRIO_PROCESS, 0, 10), "allow", False),
    ("setpriority", (os.PRIO_USER, 0, 19), "EPERM", False),
    ("setpriority", (os.PRIO_PGRP, 0, 19), "EPERM", False),
    ("setpriority", (os.PRIO_PROCESS, 1, 19), "EPERM", False),
    ("getpriority", (os.PRIO_PROCESS, 0), "allow", False),
    ("getpriority", (os.PRIO_USER, 0), "EPERM", False),
    ("sched_setaffinity", (0, 8, 0), "allow", False),
    ("sched_setaffinity", (1, 8, 0), "EPERM", False),
    ("sched_setscheduler", (1, 5, 0), "EPERM", False),
    ("sched_setparam", (1, 0), "EPERM", False),
    ("sched_setattr", (1, 0, 0), "EPERM", False),
    ("clone", (SIGCHLD,), "allow", False),
    ("clone", (CLONE_THREAD_FLAGS,), "allow", False),
    ("clone", (CLONE_NEWUSER | SIGCHLD,), "EPERM", False),
    ("clone", (CLONE_NEWNS | SIGCHLD,), "EPERM", False),
    ("clone", (CLONE_NEWPID | CLONE_NEWNET,), "EPERM", False),
    ("clone", (CLONE_PARENT | SIGCHLD,), "EPERM", False),
    ("clone", (CLONE_PARENT | CLONE_THREAD_FLAGS,), "EPERM", False),
    ("clone3", (0, 88), "ENOSYS", False),
    ("ioctl", (0, termios.TIOCSTI), "EPERM", False),
    ("ioctl", (0, TIOCLINUX), "EPERM", False),
    ("ioctl", (0, TIOCSETD), "EPERM", False),
    ("ioctl", (0, termios.FIONREAD), "allow", False),
    ("ioctl", (0, termios.TCGETS), "allow", False),
    ("socket", (socket.AF_INET, socket.SOCK_STREAM), "EPERM", False),
    ("socket", (socket.AF_UNIX, socket.SOCK_STREAM), "EPERM", False),
    ("socket", (socket.AF_INET, socket.SOCK_STREAM), "allow", True),
    ("socket", (socket.AF_INET6, socket.SOCK_DGRAM), "allow", True),
    ("socket", (socket.AF_UNIX, socket.SOCK_STREAM), "EPERM", True),
    ("socket", (socket.AF_NETLINK, socket.SOCK_RAW), "EPERM", True),
    ("socket", (socket.AF_PACKET, socket.SOCK_RAW), "EPERM", True),
    ("socketpair", (socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_CLOEXEC), "allow", False),
    # No set-user-id or set-group-id file: opening without creating allows any
    # mode word (nothing reads it), creating or changing a mode allows no set-id bit.
    ("openat", (3, 0, os.O_RDONLY, 0o6755), "allow", False),
    ("openat", (3, 0, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o1777), "allow", False),
    ("openat", (3, 0, os.O_WRONLY | os.O_CREAT, 0o4755), "EPERM", False),
    ("openat", (3, 0, os.O_CREAT, 0o2644), "EPERM", False),
    ("openat", (3, 0, os.O_TMPFILE | os.O_RDWR, 0o6700), "EPERM", False),
    ("openat", (3, 0, os.O_TMPFILE | os.O_RDWR, 0o600), "allow", False),
    ("open", (0, os.O_RDWR, 0o4755), "allow", False),
    ("open", (0, os.O_CREAT | os.O_TRUNC, 0o755), "allow", False),
    ("open", (0, os.O_CREAT | os.O_TRUNC, 0o4755), "EPERM", False),
    ("creat", (0, 0o644), "allow", False),
    ("creat", (0, 0o2755), "EPERM", False),
    ("chmod", (0, 0o1777), "allow", False),
    ("chmod", (0, 0o4755), "EPERM", False),
    ("chmod", (0, 0o2711), "EPERM", False),
    ("fchmod", (3, 0o755), "allow", False),
    ("fchmod", (3, 0o6755), "EPERM", True),
    ("fchmodat", (3, 0, 0o644), "allow", False),
    ("fchmodat", (3, 0, 0o4000), "EPERM", False),
    ("mknodat", (3, 0, stat.S_IFREG | 0o644, 0), "allow", False),
    ("mknodat", (3, 0, stat.S_IFREG | 0o6755, 0), "EPERM", False),
    ("openat2", (3, 0, 0, 24), "ENOSYS", False),
    ("socketpair", (socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_NONBLOCK), "allow", True),
    ("socketpair", (socket.AF_UNIX, socket.SOCK_DGRAM), "EPERM", False),
    ("socketpair", (socket.AF_UNIX, socket.SOCK_SEQPACKET), "EPERM", False),
    ("socketpair", (socket.AF_INET, socket.SOCK_STREAM), "EPERM", True),
    # fcntl but watching a folder and leasing a file; bind only with IP sockets.
    ("fcntl", (3, fcntl.F_NOTIFY, fcntl.DN_CREATE), "EPERM", False),
    ("fcntl", (3, fcntl.F_SETLEASE, fcntl.F_RDLCK), "EPERM", True),
    ("fcntl", (3, fcntl.F_GETLEASE), "allow", False),
    ("fcntl", (3, fcntl.F_SETFL, os.O_NONBLOCK), "allow", False),
    ("fcntl", (3, fcntl.F_SETLK, 0), "allow", False),
    ("bind", (3, 0, 16), "EPERM", False),
    ("bind", (3, 0, 16), "allow", True),
    ("bind", (3, 0, 28), "allow", True),
    # A pair's abstract name of another length, or one the kernel picks (autobind).
    ("bind", (3, 0, 21), "EPERM", True),
    ("bind", (3, 0, 2), "EPERM", True),
    ("bind", (3, 0, 110), "EPERM", True),
]


@pytest.mark.skipif(MACHINE not in AUDIT_ARCH, reason="no filter for this architecture")
class TestCompiledProgram:
    @pytest.mark.parametrize("network", [False, True], ids=["closed", "network"])
    def test_every_call_number_gets_its_rules_answer(self, network):
        program = sandbox._native_module().filter_program(network)
        rules = {number: answer for number, answer in table(network).values()}
        for number in range(1100):
            got = run_program(program, number)
            if number not in rules:
                assert got == ANSWERS["ENOSYS"], number
            elif rules[number] in ANSWERS:  # answered whatever the arguments
                assert got == ANSWERS[rules[number]], (number, rules[number])

    @pytest.mark.parametrize(
        "call, args, answer, network",
        ARGUMENT_CASES,
        ids=[f"{c[0]}-{i}" for i, c in enumerate(ARGUMENT_CASES)],
    )
    def test_argument_rules(self, call, args, answer, network):
        if call not in table(network):
            pytest.skip(f"no {call} on {MACHINE}")
        program = sandbox._native_module().filter_program(network)
        number = table(network)[call][0]
        assert run_program(program, number, args) == ANSWERS[answer]
        # Only the low 32 bits count, as for the kernel, which reads an int.
        high = [arg | (1 << 32) for arg in args]
        assert run_program(program, number, high) == ANSWERS[answer]

    def test_other_architectures_and_x32_are_killed(self):
        program = sandbox._native_module().filter_program(False)
        assert run_program(program, 20, arch=AUDIT_ARCH_I386) == KILL
        if MACHINE == "x86_64":
            assert run_program(program, X32_BIT | 39) == KILL  # getpid through x32
            assert run_program(program, 0xFFFFFFFF) == KILL


# Runs in a fresh interpreter with the job's filter: makes each call of the
# table in argv (number and integer arguments, chosen so that a call let
# through does no harm and fails differently) and prints the errno names.
FILTERED_CALLS = """
import ctypes, errno, json, os, sys
from velmor.core import _sandbox as native
calls = json.loads(sys.argv[1])
libc = ctypes.CDLL(None, use_errno=True)
libc.syscall.restype = ctypes.c_long
native.no_new_privileges()
native.install_seccomp(False)
answers = {}
for name, number, args in calls:
    args = [ctypes.c_long(arg) for arg in args]
    result = libc.syscall(ctypes.c_long(number), *args)
    if result == 0 and name.startswith("clone"):
        os._exit(0)  # a child, had a refused clone gone through
    answers[name] = "ok" if result >= 0 else errno.errorcode[ctypes.get_errno()]
print(json.dumps(answers))
"""

NOWHERE_PID = 4_194_000  # above any pid a test machine hands out
# x86-64 numbers; each (name, number, arguments, answer).
LIVE_CASES = [
    ("inotify_init1", 294, (0,), "ENOSYS"),
    ("fanotify_init", 300, (0, 0), "ENOSYS"),
    ("io_setup", 206, (1, 0), "ENOSYS"),
    ("io_uring_setup", 425, (1, 0), "ENOSYS"),
    ("listmount", 458, (0, 0, 0, 0), "ENOSYS"),
    ("statmount", 457, (0, 0, 0, 0), "ENOSYS"),
    ("bpf", 321, (0, 0, 0), "ENOSYS"),
    ("perf_event_open", 298, (0, 0, -1, -1, 0), "ENOSYS"),
    ("keyctl", 250, (0, -3, 0), "ENOSYS"),
    ("add_key", 248, (0, 0, 0, 0, 0), "ENOSYS"),
    ("request_key", 249, (0, 0, 0, 0), "ENOSYS"),
    ("userfaultfd", 323, (0,), "ENOSYS"),
    ("mount", 165, (0, 0, 0, 0, 0), "ENOSYS"),
    ("umount2", 166, (0, 0), "ENOSYS"),
    ("fsopen", 430, (0, 0), "ENOSYS"),
    ("open_tree", 428, (-1, 0, 0), "ENOSYS"),
    ("pivot_root", 155, (0, 0), "ENOSYS"),
    ("chroot", 161, (0,), "ENOSYS"),
    ("unshare", 272, (0,), "ENOSYS"),
    ("setns", 308, (-1, 0), "ENOSYS"),
    ("ptrace", 101, (2, NOWHERE_PID, 0, 0), "ENOSYS"),  # PTRACE_PEEKDATA
    ("process_vm_readv", 310, (NOWHERE_PID, 0, 0, 0, 0, 0), "ENOSYS"),
    ("pidfd_getfd", 438, (-1, 0, 0), "ENOSYS"),
    ("kcmp", 312, (NOWHERE_PID, NOWHERE_PID, 0, 0, 0), "ENOSYS"),
    ("shmctl", 31, (0, 2, 0), "ENOSYS"),  # IPC_STAT, no buffer
    ("semget", 64, (-1, 0, 0), "ENOSYS"),  # a key that exists nowhere, no IPC_CREAT
    ("msgget", 68, (-1, 0), "ENOSYS"),
    ("mq_open", 240, (0, 0, 0, 0), "ENOSYS"),
    ("memfd_create", 319, (0, 0), "ENOSYS"),
    ("memfd_secret", 447, (0,), "ENOSYS"),
    ("clone3", 435, (0, 0), "ENOSYS"),
    # Calls that could make a set-id file past the mode checks of the table.
    ("openat2", 437, (-100, 0, 0, 24), "ENOSYS"),
    ("fchmodat2", 452, (-100, 0, 0o4755, 0), "ENOSYS"),
    ("mknod", 133, (0, stat.S_IFREG | 0o6755, 0), "ENOSYS"),
    ("not_a_call", 1023, (), "ENOSYS"),
    ("setsid", 112, (), "EPERM"),
    ("setpgid", 109, (0, 0), "EPERM"),
    ("prlimit64 of pid 1", 302, (1, resource.RLIMIT_NOFILE, 0, 0), "EPERM"),
    ("setpriority PRIO_USER", 141, (os.PRIO_USER, NOWHERE_PID, 19), "EPERM"),
    ("sched_setaffinity elsewhere", 203, (NOWHERE_PID, 8, 0), "EPERM"),
    ("sched_setscheduler elsewhere", 144, (NOWHERE_PID, 0, 0), "EPERM"),
    ("clone CLONE_NEWUSER", 56, (CLONE_NEWUSER | SIGCHLD, 0, 0, 0, 0), "EPERM"),
    ("clone CLONE_PARENT", 56, (CLONE_PARENT | SIGCHLD, 0, 0, 0, 0), "EPERM"),
    ("socket AF_UNIX", 41, (socket.AF_UNIX, socket.SOCK_STREAM, 0), "EPERM"),
    ("socket AF_INET", 41, (socket.AF_INET, socket.SOCK_STREAM, 0), "EPERM"),
    ("ioctl TIOCLINUX", 16, (0, TIOCLINUX, 0), "EPERM"),
    ("ioctl TIOCSETD", 16, (0, TIOCSETD, 0), "EPERM"),
    ("fcntl F_NOTIFY", 72, (0, fcntl.F_NOTIFY, fcntl.DN_CREATE), "EPERM"),
    ("fcntl F_SETLEASE", 72, (0, fcntl.F_SETLEASE, fcntl.F_RDLCK), "EPERM"),
    ("bind", 49, (0, 0, 0), "EPERM"),
    ("setxattr", 188, (0, 0, 0, 0, 0), errno.errorcode[errno.EOPNOTSUPP]),
    ("prlimit64 of self", 302, (0, resource.RLIMIT_NOFILE, 0, 0), "ok"),
    ("getpriority of self", 140, (os.PRIO_PROCESS, 0), "ok"),
    ("getppid", 110, (), "ok"),
]


@pytest.mark.skipif(MACHINE != "x86_64", reason="call numbers of x86-64")
def test_filtered_process_gets_the_tables_answers():
    calls = [[name, number, list(args)] for name, number, args, _ in LIVE_CASES]
    done = subprocess.run(
        [sys.executable, "-c", FILTERED_CALLS, json.dumps(calls)],
        capture_output=True,
        text=True,
        timeout=30,
        env=JOB_ENV,
    )
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == {name: answer for name, _, _, answer in LIVE_CASES}


# Runs one legitimate tool in a fresh interpreter under the job's filter and
# nothing else, in a folder of its own, and prints its answer.
FILTER_ALONE = """
import json, os, sys, types
from velmor.core import _sandbox as native
source, network, folder = sys.argv[1], sys.argv[2] == "1", sys.argv[3]
os.chdir(folder)
native.no_new_privileges()
native.install_seccomp(network)
module = types.ModuleType("custom_tool")
sys.modules["custom_tool"] = module
exec(compile(source, "<tool code>", "exec"), module.__dict__)
print(json.dumps(module.main({})))
"""


@pytest.mark.parametrize("tool", TOOLS, ids=[tool.name for tool in TOOLS])
def test_legitimate_tool_under_the_filter_alone(tool, tmp_path):
    # The filter alone lets every legitimate tool do its work: where one fails
    # in the sandbox, another layer is the cause.
    folder = tmp_path / "job"
    folder.mkdir()
    done = subprocess.run(
        [sys.executable, "-c", FILTER_ALONE, textwrap.dedent(tool.source), "01"[tool.network]]
        + [str(folder)],
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(JOB_ENV, HOME=str(folder), TMPDIR=str(folder)),
    )
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout.splitlines()[-1]) == tool.expected


# Runs in a fresh interpreter with the job's filter, in a folder of its own:
# tries to make set-id files every way the table rules and ordinary files
# beside them, and prints what each attempt answered.
SET_ID_ATTEMPTS = """
import ctypes, json, os, stat, sys
from velmor.core import _sandbox as native
os.chdir(sys.argv[1])
os.umask(0)
libc = ctypes.CDLL(None, use_errno=True)
libc.syscall.restype = ctypes.c_long
for name in ("plain", "sticky"):
    os.close(os.open(name, os.O_WRONLY | os.O_CREAT, 0o600))
native.no_new_privileges()
native.install_seccomp(False)
answers = {}

def attempt(name, action):
    try:
        action()
        answers[name] = "ok"
    except OSError as error:
        answers[name] = __import__("errno").errorcode[error.errno]

def libc_call(function, *args):
    if function(*args) < 0:
        raise OSError(ctypes.get_errno(), "")

def close_open(path, flags, mode):
    os.close(os.open(path, flags, mode))

def raw_openat_without_create():
    # Garbage in the mode word of an open that creates nothing.
    fd = libc.syscall(257, -100, b"plain", os.O_RDONLY, 0o6755)
    if fd < 0:
        raise OSError(ctypes.get_errno(), "")
    os.close(fd)

fd = os.open("plain", os.O_RDONLY)
attempt("chmod 4755", lambda: os.chmod("plain", 0o4755))
attempt("chmod 2755", lambda: os.chmod("plain", 0o2755))
attempt("fchmod 6755", lambda: os.fchmod(fd, 0o6755))
attempt("creat 4755", lambda: libc_call(libc.creat, b"by_creat", 0o4755))
attempt("open O_CREAT 4755", lambda: close_open("by_open", os.O_WRONLY | os.O_CREAT, 0o4755))
attempt("open O_TMPFILE 2755", lambda: close_open(".", os.O_TMPFILE | os.O_RDWR, 0o2755))
attempt("mknod 6755", lambda: os.mknod("by_mknod", stat.S_IFREG | 0o6755))
attempt("chmod 644", lambda: os.chmod("plain", 0o644))
attempt("fchmod 755", lambda: os.fchmod(fd, 0o755))
attempt("chmod 1777", lambda: os.chmod("sticky", 0o1777))
attempt("open O_CREAT 755", lambda: close_open("new_755", os.O_WRONLY | os.O_CREAT, 0o755))
attempt("creat 644", lambda: libc_call(libc.creat, b"new_644", 0o644))
attempt("mknod 644", lambda: os.mknod("node_644", stat.S_IFREG | 0o644))
attempt("open read, set-id mode word", raw_openat_without_create)
print(json.dumps(answers))
"""


@pytest.mark.skipif(MACHINE not in AUDIT_ARCH, reason="no filter for this architecture")
def test_a_job_makes_no_set_id_file_but_ordinary_modes_work(tmp_path):
    folder = tmp_path / "job"
    folder.mkdir()
    done = subprocess.run(
        [sys.executable, "-c", SET_ID_ATTEMPTS, str(folder)],
        capture_output=True,
        text=True,
        timeout=30,
        env=JOB_ENV,
    )
    assert done.returncode == 0, done.stderr
    answers = json.loads(done.stdout)
    refused = ["chmod 4755", "chmod 2755", "fchmod 6755", "creat 4755", "open O_CREAT 4755"]
    refused += ["open O_TMPFILE 2755", "mknod 6755"]
    assert answers == dict.fromkeys(refused, "EPERM") | dict.fromkeys(
        set(answers) - set(refused), "ok"
    )
    assert len(answers) == len(refused) + 7
    modes = {path.name: stat.S_IMODE(path.stat().st_mode) for path in folder.iterdir()}
    assert modes == {
        "plain": 0o755,
        "sticky": 0o1777,
        "new_755": 0o755,
        "new_644": 0o644,
        "node_644": 0o644,
    }
