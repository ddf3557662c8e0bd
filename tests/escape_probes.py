"""Attacks a hostile tool would try, as tool code, and the jobs that carry them.

Each probe defines `attack(ctx)`: it tries one thing a tool must not manage
and returns what it got, refusals included, in words the tests look for
("DONE", "TRACED", "CONNECTED", ...). `ctx` names the targets (paths, pids,
ports), which the test plants and checks.

A probe runs in either of the two places tool code runs:
- "run": as a saved tool's tool.py whose main(args) returns the outcome;
- "validate": at the top level of the code validation imports, where the
  outcome comes back inside the verdict through a top-level raise, which is
  how validation alone would leak what it read.
"""

from __future__ import annotations

import textwrap
from pathlib import Path
from typing import Any

from velmor.core.subprocess_manager import SubprocessTask

PHASES = ("validate", "run")

# Shared by the probes below that aim at processes: ctx["pids"], and the job's
# parent (the warm helper, or the host for a spawned job) only when asked.
_TARGETS = """
import os

def targets(ctx):
    return list(ctx["pids"]) + ([os.getppid()] if ctx.get("parent") else [])
"""

# Shared by the probes below that try many things: one step of an attack,
# noted in `done` as `label` when it went through, passed over when refused.
_ATTEMPT = """
def attempt(done, label, step):
    try:
        step()
    except OSError:
        return
    done.append(label)
"""

# Reads every path in ctx["paths"] (files or folders) and returns all it saw.
READ = """
import os

def attack(ctx):
    seen = []
    for path in ctx["paths"]:
        try:
            if os.path.isdir(path):
                seen.append(" ".join(sorted(os.listdir(path))))
            else:
                with open(path, "rb") as file:
                    seen.append(file.read().decode("utf-8", "replace"))
        except OSError as exc:
            seen.append(f"refused: {exc!r}")
    return " | ".join(seen)
"""

# Tries every way of changing the files in ctx["paths"]: writing in place,
# appending, replacing by rename, removing; and creating ctx["create"] files.
WRITE = """
import os

def attack(ctx):
    done = []
    for index, path in enumerate(ctx["paths"]):
        for how in ("hardlink", "symlink", "append", "rewrite", "replace", "unlink"):
            try:
                if how in ("hardlink", "symlink"):
                    # a name in the job's own folder, written through
                    name = f"{how}-{index}"
                    (os.link if how == "hardlink" else os.symlink)(path, name)
                    with open(name, "ab") as file:
                        file.write(b"# through a link")
                elif how == "append":
                    with open(path, "ab") as file:
                        file.write(b"\\n# appended by an escape probe\\n")
                elif how == "rewrite":
                    with open(path, "r+b") as file:
                        file.write(b"# overwritten")
                elif how == "replace":
                    forged = path + ".forged"
                    with open(forged, "wb") as file:
                        file.write(b"def main(args):\\n    return 'forged'\\n")
                    os.replace(forged, path)
                else:
                    os.unlink(path)
                done.append(f"{how} {path}")
            except OSError:
                pass
    for path in ctx.get("create", ()):
        try:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "xb") as file:
                file.write(b"# escape probe\\n")
            done.append(f"created {path}")
        except OSError:
            pass
    return "DONE: " + "; ".join(done) if done else "nothing changed"
"""

# The environment of the host and of the processes around the job; only
# entries carrying ctx["marker"] are returned, so that a failure shows no
# unrelated process's environment.
HOST_ENVIRON = (
    _TARGETS
    + """
def attack(ctx):
    found = []
    for pid in targets(ctx) + [1]:
        try:
            with open(f"/proc/{pid}/environ", "rb") as file:
                entries = file.read().split(b"\\0")
        except OSError as exc:
            found.append(f"{pid}: {exc!r}")
            continue
        marker = ctx["marker"].encode()
        found += [entry.decode() for entry in entries if marker in entry]
    return found
"""
)

# What /proc tells about other processes: their command line, status, maps,
# open files, working folder and root. Returns the command lines it read and
# names every other entry that gave anything.
PROC_PEEK = (
    _TARGETS
    + """
def attack(ctx):
    seen = []
    for pid in targets(ctx):
        for name in ("cmdline", "status", "stat", "maps", "io", "syscall", "stack", "mountinfo"):
            try:
                with open(f"/proc/{pid}/{name}", "rb") as file:
                    data = file.read()
                if data:
                    seen.append(data.decode("latin-1") if name == "cmdline" else f"READ {pid}/{name}")
            except OSError:
                pass
        for name in ("cwd", "root", "exe"):
            try:
                seen.append(f"LINKED {pid}/{name} -> {os.readlink(f'/proc/{pid}/{name}')}")
            except OSError:
                pass
        for name in ("fd", "task", "cwd"):
            try:
                seen.append(f"LISTED {pid}/{name}: {len(os.listdir(f'/proc/{pid}/{name}'))}")
            except OSError:
                pass
    return seen
"""
)

# What the job inherited: its descriptors above stderr, by kind, and its
# environment.
INHERITED = """
import os, stat

def attack(ctx):
    kinds = []
    for fd in range(3, 1024):
        try:
            mode = os.fstat(fd).st_mode
        except OSError:
            continue
        kinds.append("socket" if stat.S_ISSOCK(mode) else "pipe" if stat.S_ISFIFO(mode) else "other")
    return {"fds": kinds, "environ": dict(os.environ)}
"""

# Reads the host's secret at its address, through /proc/PID/mem and process_vm_readv.
HOST_MEMORY_READ = """
import ctypes, os

def attack(ctx):
    pid, address, length = ctx["host_pid"], ctx["address"], ctx["length"]
    got = []
    try:
        with open(f"/proc/{pid}/mem", "rb") as file:
            file.seek(address)
            got.append(file.read(length).decode("latin-1"))
    except (OSError, ValueError, OverflowError) as exc:
        got.append(f"mem refused: {exc!r}")
    class IOVec(ctypes.Structure):
        _fields_ = [("base", ctypes.c_void_p), ("len", ctypes.c_size_t)]
    libc = ctypes.CDLL(None, use_errno=True)
    buffer = ctypes.create_string_buffer(length)
    local = IOVec(ctypes.cast(buffer, ctypes.c_void_p), length)
    remote = IOVec(address, length)
    # process_vm_readv, x86-64
    count = libc.syscall(310, pid, ctypes.byref(local), 1, ctypes.byref(remote), 1, 0)
    got.append(buffer.raw.decode("latin-1") if count > 0 else f"vm_readv refused: {ctypes.get_errno()}")
    return got
"""

# Overwrites the host's secret in its memory, through /proc/PID/mem and process_vm_writev.
HOST_MEMORY_WRITE = """
import ctypes, os

def attack(ctx):
    pid, address, length = ctx["host_pid"], ctx["address"], ctx["length"]
    done = []
    try:
        with open(f"/proc/{pid}/mem", "r+b", buffering=0) as file:
            file.seek(address)
            file.write(b"X" * length)
            done.append("MEM WRITTEN")
    except (OSError, ValueError, OverflowError) as exc:
        done.append(f"mem refused: {exc!r}")
    class IOVec(ctypes.Structure):
        _fields_ = [("base", ctypes.c_void_p), ("len", ctypes.c_size_t)]
    libc = ctypes.CDLL(None, use_errno=True)
    buffer = ctypes.create_string_buffer(b"Y" * length, length)
    local = IOVec(ctypes.cast(buffer, ctypes.c_void_p), length)
    remote = IOVec(address, length)
    # process_vm_writev, x86-64
    count = libc.syscall(311, pid, ctypes.byref(local), 1, ctypes.byref(remote), 1, 0)
    done.append("VM_WRITEV DONE" if count > 0 else f"vm_writev refused: {ctypes.get_errno()}")
    return done
"""

# Seizes each target with ptrace (PTRACE_SEIZE does not stop it; the tracer's
# exit detaches it again).
PTRACE = (
    _TARGETS
    + """
import ctypes

def attack(ctx):
    libc = ctypes.CDLL(None, use_errno=True)
    libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
    done = []
    for pid in targets(ctx):
        if libc.ptrace(0x4206, pid, None, None) == 0:
            done.append(f"TRACED {pid}")
        else:
            done.append(f"{pid} refused: {ctypes.get_errno()}")
    return done
"""
)

# Sends ctx["signal"] to each of ctx["pids"] and to the job's parent.
SIGNAL = (
    _TARGETS
    + """
def attack(ctx):
    done = []
    for pid in targets(ctx):
        if pid <= 1:
            continue
        try:
            os.kill(pid, ctx["signal"])
            done.append(f"SIGNALLED {pid}")
        except OSError as exc:
            done.append(f"{pid} refused: {exc!r}")
    return done
"""
)

# Takes descriptors out of the parent (the warm helper, whose control socket
# carries every job) and of the host with pidfd_getfd.
PIDFD_GETFD = (
    _TARGETS
    + """
import ctypes

def attack(ctx):
    libc = ctypes.CDLL(None, use_errno=True)
    taken = []
    for pid in targets(ctx):
        try:
            pidfd = os.pidfd_open(pid)
        except OSError as exc:
            taken.append(f"{pid} refused: {exc!r}")
            continue
        for fd in range(64):
            got = libc.syscall(438, pidfd, fd, 0)  # pidfd_getfd, x86-64
            if got >= 0:
                taken.append(f"TOOK fd {fd} of {pid}")
                os.close(got)
        os.close(pidfd)
    return taken
"""
)

# Everything a job could do to another job's process: kill it, trace it,
# read its memory and environment, take its descriptors.
NEIGHBOUR = """
import ctypes, os, signal

def attack(ctx):
    libc = ctypes.CDLL(None, use_errno=True)
    libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
    done = []
    for pid in ctx["pids"]:
        for name in ("mem", "environ", "maps"):
            try:
                with open(f"/proc/{pid}/{name}", "rb") as file:
                    file.read(1)
                done.append(f"OPENED /proc/{pid}/{name}")
            except OSError:
                pass
        if libc.ptrace(0x4206, pid, None, None) == 0:
            done.append(f"TRACED {pid}")
        try:
            pidfd = os.pidfd_open(pid)
            if libc.syscall(438, pidfd, 0, 0) >= 0:  # pidfd_getfd
                done.append(f"TOOK fd 0 of {pid}")
            os.close(pidfd)
        except OSError:
            pass
        for sig in (signal.SIGSTOP, signal.SIGKILL):
            try:
                os.kill(pid, sig)
                done.append(f"SIGNALLED {pid}")
            except OSError:
                pass
    for folder in ctx["folders"]:  # the other job's working folder
        try:
            done.append(f"LISTED {os.listdir(folder)}")
        except OSError:
            pass
        try:
            with open(os.path.join(folder, "planted.py"), "x") as file:
                file.write("# planted by another job")
            done.append(f"WROTE in {folder}")
        except OSError:
            pass
    return done
"""

# System calls tools never need. Each is made with arguments that do no harm
# if it goes through; a call "reached the kernel" when it succeeded or failed
# for a reason other than being refused (EPERM, EACCES, ENOSYS).
SYSCALLS = """
import ctypes, errno, mmap, os

def i386_getpid():
    # The 32-bit entry: mov eax, 20 (getpid); int 0x80; ret.
    code = bytes([0xB8, 20, 0, 0, 0, 0xCD, 0x80, 0xC3])
    memory = mmap.mmap(-1, mmap.PAGESIZE, prot=mmap.PROT_READ | mmap.PROT_WRITE | mmap.PROT_EXEC)
    memory.write(code)
    address = ctypes.addressof(ctypes.c_char.from_buffer(memory))
    return ctypes.CFUNCTYPE(ctypes.c_int)(address)()

def attack(ctx):
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    buffer = ctypes.create_string_buffer(b"self", 8)
    class IOVec(ctypes.Structure):
        _fields_ = [("base", ctypes.c_void_p), ("len", ctypes.c_size_t)]
    mine = IOVec(ctypes.cast(buffer, ctypes.c_void_p), 4)
    theirs = IOVec(ctypes.cast(buffer, ctypes.c_void_p), 4)
    attr = ctypes.create_string_buffer(128)
    pidfd = os.pidfd_open(os.getpid())
    calls = {
        "process_vm_readv": (310, os.getpid(), ctypes.byref(mine), 1, ctypes.byref(theirs), 1, 0),
        "pidfd_getfd": (438, pidfd, 0, 0),
        "unshare(CLONE_NEWUSER)": (272, 0x10000000),
        "unshare(CLONE_NEWNS)": (272, 0x00020000),
        "mount": (165, b"none", b"/nonexistent-velmor-probe", b"tmpfs", 0, None),
        "keyctl": (250, 0, -3, 0),  # the session keyring's id
        "bpf": (321, 0, attr, 0),
        "perf_event_open": (298, attr, 0, -1, -1, 0),
        "x32 getpid": (0x40000000 + 39,),
        # Memory files run without a path; fault handling, rings and groups of
        # events the kernel keeps for the process; its execution domain and I/O
        # class; file handles, namespaces, the kernel's log and clock; keys.
        "memfd_create": (319, b"probe", 0),
        "execveat": (322, -1, b"", None, None, 0x1000),  # AT_EMPTY_PATH of no descriptor
        "userfaultfd": (323, 0),
        "io_uring_setup": (425, 1, ctypes.create_string_buffer(120)),
        "personality": (135, 0xFFFFFFFF),  # only asks
        "ioprio_set": (251, 1, 0, 0),  # IOPRIO_WHO_PROCESS, itself
        "name_to_handle_at": (303, -100, b"/", ctypes.create_string_buffer(16), attr, 0),
        "fanotify_init": (300, 0, 0),
        "kcmp": (312, os.getpid(), os.getpid(), 0, 0, 0),
        "setns": (308, -1, 0),
        "fsopen": (430, b"tmpfs", 0),
        "open_tree": (428, -100, b"/nonexistent-velmor-probe", 0),
        "mq_getsetattr": (245, -1, None, None),
        "request_key": (249, b"user", b"velmor-probe-none", None, 0),
        "syslog": (103, 10, None, 0),  # the size of the kernel's log
        "adjtimex": (159, ctypes.create_string_buffer(208)),  # modes 0: only reads
        "epoll_create1": (291, 0),
    }
    calls["i386 getpid"] = (None,)
    reached = []
    for name, (number, *args) in calls.items():
        # Each in a child of its own: a filter may kill the caller outright.
        child = os.fork()
        if child == 0:
            refused = True
            try:
                if number is None:
                    refused = i386_getpid() != os.getpid()
                else:
                    result = libc.syscall(number, *args)
                    refused = result < 0 and ctypes.get_errno() in (errno.EPERM, errno.EACCES, errno.ENOSYS)
            finally:
                os._exit(1 if refused else 0)
        _, status = os.waitpid(child, 0)
        if os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0:
            reached.append(f"REACHED {name}")
    os.close(pidfd)
    return f"tried {len(calls)}: {reached}"
"""

# Takes ctx["name"] in the abstract UNIX namespace with the one kind of
# socket a job may make (a connected pair) and holds it for ctx["hold"]
# seconds: that namespace belongs to the network namespace, whose other
# processes then cannot take the name. "IN USE" when another holds it.
ABSTRACT_NAME = """
import errno, socket, time

def attack(ctx):
    left, right = socket.socketpair()
    with left, right:
        try:
            left.bind("\\0" + ctx["name"])
        except OSError as exc:
            return "IN USE" if exc.errno == errno.EADDRINUSE else f"refused: {exc!r}"
        try:
            right.bind("")  # a name the kernel picks
            taken = "BOUND and autobound"
        except OSError:
            taken = "BOUND"
        time.sleep(ctx["hold"])
        return taken
"""

# Watches ctx["folder"] for what others make there (dnotify, through fcntl,
# whose events come as SIGIO) and takes a read lease on ctx["file"], which
# would hold back anyone else's open of it for writing while the job holds it.
FCNTL_WATCH = """
import fcntl, os, signal, time

def attack(ctx):
    events = []
    signal.signal(signal.SIGIO, lambda *_: events.append(1))
    done = []
    folder = os.open(ctx["folder"], os.O_RDONLY)
    file = os.open(ctx["file"], os.O_RDONLY)
    try:
        try:
            fcntl.fcntl(folder, fcntl.F_NOTIFY, fcntl.DN_CREATE | fcntl.DN_MULTISHOT)
            done.append("WATCHING")
        except OSError as exc:
            done.append(f"dnotify refused: {exc!r}")
        try:
            fcntl.fcntl(file, fcntl.F_SETLEASE, fcntl.F_RDLCK)
            done.append("LEASED")
        except OSError as exc:
            done.append(f"lease refused: {exc!r}")
        time.sleep(ctx["seconds"])
    finally:
        os.close(folder)
        os.close(file)
    return f"{done} NOTIFIED {len(events)}"
"""

TCP_CONNECT = """
import socket

def attack(ctx):
    try:
        with socket.create_connection(("127.0.0.1", ctx["port"]), timeout=2) as sock:
            sock.sendall(b"escape probe")
            return "CONNECTED"
    except OSError as exc:
        return f"refused: {exc!r}"
"""

UDP_SEND = """
import socket

def attack(ctx):
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            sock.sendto(b"escape probe", ("127.0.0.1", ctx["port"]))
            return "SENT"
    except OSError as exc:
        return f"refused: {exc!r}"
"""

# A vsock socket: no network namespace holds it, and on a virtual machine it
# reaches the hypervisor. Only made, never connected.
VSOCK = """
import socket

def attack(ctx):
    try:
        socket.socket(socket.AF_VSOCK, socket.SOCK_STREAM).close()
        return "OPENED"
    except OSError as exc:
        return f"refused: {exc!r}"
"""

RESOLVE = """
import socket

def attack(ctx):
    try:
        return "RESOLVED " + repr(socket.getaddrinfo(ctx["name"], 443))
    except OSError as exc:
        return f"refused: {exc!r}"
"""

UNIX_CONNECT = """
import socket

def attack(ctx):
    address = ctx["address"]
    if address.startswith("@"):
        address = "\\0" + address[1:]  # an abstract name
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.settimeout(2)
            sock.connect(address)
            sock.sendall(b"escape probe")
            return "CONNECTED"
    except OSError as exc:
        return f"refused: {exc!r}"
"""

# What a job leaves behind carries ctx["tag"] among its arguments, so that
# it can be found from outside.
_TAG = """
import os, sys, time

# A left-behind process runs this, its tag among its arguments: it is found
# from outside by them, as a job cannot always name itself (naming takes
# prctl or /proc/self/comm, which a filter or the job's view may refuse).
LINGER = "import signal, sys, time; signal.signal(signal.SIGTERM, signal.SIG_IGN); time.sleep(float(sys.argv[2]))"

def leave_the_group():
    # A session of its own, else a process group of its own: out of reach of
    # a kill aimed at the job's group either way.
    try:
        os.setsid()
    except OSError:
        try:
            os.setpgid(0, 0)
        except OSError:
            pass

def linger(tag, seconds):
    # What is left behind ends on its own, so that even an escape is short-lived.
    try:
        os.execv(sys.executable, [sys.executable, "-I", "-c", LINGER, tag, str(seconds)])
    finally:
        os._exit(0)
"""

# A double-forked process in a session of its own, meant to outlive the job.
SURVIVOR = (
    _TAG
    + """
def attack(ctx):
    pid = os.fork()
    if pid == 0:
        try:  # a child never returns into the job, whatever is refused to it
            leave_the_group()
            if os.fork() == 0:
                leave_the_group()
                linger(ctx["tag"], ctx["linger"])
        finally:
            os._exit(0)
    os.waitpid(pid, 0)
    return "tagged, left one behind"
"""
)

# ctx["count"] processes, each in a session of its own, meant to outlive the job.
STORM = (
    _TAG
    + """
def attack(ctx):
    started = 0
    for _ in range(ctx["count"]):
        try:
            pid = os.fork()
        except OSError:
            break
        if pid == 0:
            leave_the_group()
            linger(ctx["tag"], ctx["linger"])
        started += 1
    time.sleep(ctx.get("hold", 0))  # the storm stands while others work
    return f"tagged, started {started}"
"""
)

# System V objects (shared memory filled with ctx["secret"], a message
# queue, a semaphore) under ctx["key"]: they would outlive the job, hold
# memory no limit of the job counts, and reach later jobs. With
# ctx["read"], instead looks for what an earlier job left under that key.
SYSV_IPC = """
import ctypes

def attack(ctx):
    libc = ctypes.CDLL(None, use_errno=True)
    libc.shmat.restype = ctypes.c_void_p
    libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
    libc.shmdt.argtypes = [ctypes.c_void_p]
    key, size = ctx["key"], 1 << 20
    if ctx.get("read"):
        shm = libc.shmget(key, 0, 0)
        if shm < 0:
            return f"found nothing: {ctypes.get_errno()}"
        address = libc.shmat(shm, None, 0o10000)  # SHM_RDONLY
        if address in (None, ctypes.c_void_p(-1).value):
            return f"FOUND {shm}, unreadable"
        found = ctypes.string_at(address, len(ctx["secret"])).decode("latin-1")
        libc.shmdt(ctypes.c_void_p(address))
        return f"FOUND {shm}: {found}"
    made = []
    shm = libc.shmget(key, size, 0o1600)  # IPC_CREAT | 0600
    if shm >= 0:
        made.append(f"MADE shm {shm}")
        address = libc.shmat(shm, None, 0)
        if address not in (None, ctypes.c_void_p(-1).value):
            ctypes.memmove(address, ctx["secret"].encode(), len(ctx["secret"]))
            ctypes.memset(address + 64, 1, size - 64)  # the pages are really used
            libc.shmdt(ctypes.c_void_p(address))
    for name, call, args in (("msg", libc.msgget, (key, 0o1600)), ("sem", libc.semget, (key, 1, 0o1600))):
        made_id = call(*args)
        if made_id >= 0:
            made.append(f"MADE {name} {made_id}")
    return made or "made nothing"
"""

# Memory a process holds outside its address space, which its address-space
# limit does not count: in anonymous memory files (ctx["how"] == "memfd"),
# in the buffers of socket pairs ("sockets") or of pipes ("pipes"), up to
# ctx["limit"] bytes.
MEMORY_OUTSIDE = """
import fcntl, os, resource, socket

def attack(ctx):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 1 << 16), hard))
    except (OSError, ValueError):
        pass
    chunk = b"x" * (1 << 16)
    held, total = [], 0
    try:
        while total < ctx["limit"]:
            if ctx["how"] == "memfd":
                fd = os.memfd_create("held")
                held.append(fd)
                for _ in range(512):  # 32 MiB a file
                    total += os.write(fd, chunk)
            elif ctx["how"] == "pipes":
                read_end, write_end = os.pipe()
                held.append((read_end, write_end))
                try:
                    fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 1 << 20)
                except OSError:
                    pass
                os.set_blocking(write_end, False)
                try:
                    while True:
                        total += os.write(write_end, chunk)
                except BlockingIOError:
                    pass
            else:
                ours, theirs = socket.socketpair()
                held.append((ours, theirs))
                ours.setblocking(False)
                try:
                    while True:
                        total += ours.send(chunk)
                except BlockingIOError:
                    pass
    except OSError as exc:
        return f"held {total}: {exc!r}"
    return f"held {total}"
"""

# Address space reserved (not touched) across as many processes as the job
# can start, each holding ctx["each"] bytes; returns the total held at once.
MEMORY_ACROSS_PROCESSES = """
import mmap, os

def attack(ctx):
    children, total = [], 0
    for _ in range(ctx["max_processes"]):
        ready_r, ready_w = os.pipe()
        try:
            pid = os.fork()
        except OSError:
            os.close(ready_r)
            os.close(ready_w)
            break
        if pid == 0:
            try:
                os.close(ready_r)
                try:
                    held = mmap.mmap(-1, ctx["each"])
                    os.write(ready_w, b"1")
                except (OSError, MemoryError):
                    os.write(ready_w, b"0")
                import time
                time.sleep(ctx["hold"])  # held until the probe ends it
            finally:
                os._exit(0)
        os.close(ready_w)
        answer = os.read(ready_r, 1)
        os.close(ready_r)
        children.append(pid)
        if answer != b"1":
            break
        total += ctx["each"]
    for pid in children:
        try:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
        except OSError:
            pass
    return f"held {total}"
"""

# A reply of the job's own making, written on every descriptor that takes
# it (the result pipe among them) before the job ends without its own.
FORGED_REPLY = """
import os

def attack(ctx):
    payload = ctx["payload"].encode("utf-8", "surrogateescape")  # \\udcff: a lone 0xff byte
    for fd in range(3, 64):
        try:
            os.write(fd, payload)
        except OSError:
            pass
    os._exit(0)
"""

# A file whose size passes ctx["size"] (sparse: nothing is really written).
BIG_FILE = """
import os

def attack(ctx):
    try:
        with open("big", "wb") as file:
            file.seek(ctx["size"])
            file.write(b"x")
        return f"WROTE past {ctx['size']}"
    except OSError as exc:
        return f"refused: {exc!r}"
"""

# Real bytes, file after file below any size cap, up to ctx["limit"] in all.
MANY_FILES = """
import os

def attack(ctx):
    chunk = b"x" * ctx["chunk"]
    written = 0
    try:
        while written < ctx["limit"]:
            with open(f"part{written // ctx['chunk']}", "wb") as file:
                file.write(chunk)
            written += len(chunk)
    except OSError as exc:
        return f"written {written}: {exc!r}"
    return f"written {written}"
"""

# Empty files, up to ctx["count"]: no bytes written, but each one an inode
# and a directory entry of kernel memory.
EMPTY_FILES = """
import os

def attack(ctx):
    made = 0
    try:
        while made < ctx["count"]:
            os.close(os.open(f"empty{made}", os.O_CREAT | os.O_WRONLY))
            made += 1
    except OSError as exc:
        return f"made {made}: {exc!r}"
    return f"made {made}"
"""

# What a root-started job may do to host objects given to it to write:
# change owners, make device nodes, write a file whose mode forbids it, read
# or chmod another user's file, raise its own hard limits. Each of these
# takes a capability; what an owner may do without one (chmod its own file)
# is not tried.
PRIVILEGES = """
import os, resource, stat

def attack(ctx):
    done = []
    folder = ctx["folder"]
    attempts = {
        "chown": lambda: os.chown(os.path.join(folder, "readonly"), 4242, 4242),
        "chmod other's": lambda: os.chmod(os.path.join(folder, "others"), 0o666),
        "mknod": lambda: os.mknod(os.path.join(folder, "null"), stat.S_IFCHR | 0o666, os.makedev(1, 3)),
        "write read-only": lambda: open(os.path.join(folder, "readonly"), "ab").close(),
        "read other user's": lambda: open(os.path.join(folder, "others"), "rb").read(),
        "raise RLIMIT_NOFILE": lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (resource.RLIM_INFINITY,) * 2),
        "raise RLIMIT_AS": lambda: resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2),
        "setuid": lambda: os.setuid(4242),
    }
    for name, attempt in attempts.items():
        try:
            attempt()
            done.append(f"DID {name}")
        except (OSError, ValueError):
            pass
    return done
"""


# Every way of changing a file's metadata without writing its bytes: its
# mode (by path, and through a descriptor of the job's own opening), its
# times, its extended attributes (a new one, and ctx["mark"], which the test
# planted). Landlock governs none of these; only the file's owner may make
# them, and a job may run under the uid that owns the user's files.
METADATA = (
    _ATTEMPT
    + """
import os

def attack(ctx):
    done = []
    name = "user.velmor-" + ctx["token"]
    for path in ctx["paths"]:
        mode = 0o777 if os.path.isdir(path) else 0o6777

        def through_descriptor(change):
            fd = os.open(path, os.O_RDONLY)
            try:
                change(fd)
            finally:
                os.close(fd)

        steps = {
            "chmod": lambda: os.chmod(path, mode),
            "utime": lambda: os.utime(path, (0, 0)),
            "touch": lambda: os.utime(path, None),
            "setxattr": lambda: os.setxattr(path, name, b"x"),
            "removexattr": lambda: os.removexattr(path, ctx["mark"]),
            "fchmod": lambda: through_descriptor(lambda fd: os.chmod(fd, mode)),
            "futimens": lambda: through_descriptor(lambda fd: os.utime(fd, (0, 0))),
            "fsetxattr": lambda: through_descriptor(lambda fd: os.setxattr(fd, name, b"x")),
        }
        for how, step in steps.items():
            attempt(done, f"{how} {path}", step)
    return "DONE: " + "; ".join(done) if done else "nothing changed"
"""
)

# Touches the files of ctx["paths"] to now, by path and through a
# descriptor: what needs only the write permission anyone has on the
# world's devices (/dev/null), not their ownership.
DEVICE_TIMES = (
    _ATTEMPT
    + """
import os

def attack(ctx):
    done = []
    for path in ctx["paths"]:

        def through_descriptor():
            fd = os.open(path, os.O_WRONLY)
            try:
                os.utime(fd, None)
            finally:
                os.close(fd)

        attempt(done, f"touch {path}", lambda: os.utime(path, None))
        attempt(done, f"futimens {path}", through_descriptor)
    return "DONE: " + "; ".join(done) if done else "nothing changed"
"""
)

# Set-user-id and set-group-id bits on files of a folder the job may write:
# on a copy of a binary that is there (root's own under a root host), on
# one it writes itself, and on files it creates with those bits (open,
# mknod). The kernel keeps the owner's ids on the file, so on the host such
# a file runs as its owner, whatever the job's mount said.
SET_ID_BITS = (
    _ATTEMPT
    + """
import os, shutil, stat, sys

def attack(ctx):
    done = []
    made = os.path.join(ctx["folder"], "made-" + ctx["token"])
    attempt(done, f"wrote {made}", lambda: shutil.copyfile(sys.executable, made))
    opened = os.path.join(ctx["folder"], "opened-" + ctx["token"])
    flags = os.O_CREAT | os.O_EXCL | os.O_WRONLY
    attempt(done, f"created {opened}", lambda: os.close(os.open(opened, flags, 0o6755)))
    node = os.path.join(ctx["folder"], "node-" + ctx["token"])
    attempt(done, f"made node {node}", lambda: os.mknod(node, stat.S_IFREG | 0o6755))
    for path in (ctx["binary"], made):
        for mode in (0o4755, 0o2755, 0o6777):
            attempt(done, f"chmod {mode:o} {path}", lambda: os.chmod(path, mode))
    return done
"""
)

# The descriptors the job was started with. The ones that name ctx["decoys"]
# (a file the test put where the host's /dev/null would be) are changed in
# every way; pipes and sockets are left alone, as their mode guards nothing;
# any other file is only described, with whether its mount is read-only, so
# that a real system file is never touched.
INHERITED_METADATA = (
    _ATTEMPT
    + """
import os, stat

def attack(ctx):
    decoys = {tuple(decoy) for decoy in ctx["decoys"]}
    name = "user.velmor-" + ctx["token"]
    seen = []
    for fd in range(64):
        try:
            info = os.fstat(fd)
        except OSError:
            continue
        if stat.S_ISFIFO(info.st_mode) or stat.S_ISSOCK(info.st_mode):
            continue
        if (info.st_dev, info.st_ino) not in decoys:
            read_only = bool(os.fstatvfs(fd).f_flag & os.ST_RDONLY)
            try:
                name = os.readlink(f"/proc/self/fd/{fd}")
            except OSError:
                name = "?"
            seen.append(f"FILE fd {fd} {name} {info.st_dev}:{info.st_ino} read-only={read_only}")
            continue
        steps = {
            "fchmod": lambda: os.chmod(fd, 0),
            "futimens": lambda: os.utime(fd, (0, 0)),
            "fsetxattr": lambda: os.setxattr(fd, name, b"x"),
            "fremovexattr": lambda: os.removexattr(fd, ctx["mark"]),
        }
        for how, step in steps.items():
            attempt(seen, f"CHANGED fd {fd} by {how}", step)
    return seen
"""
)

# Extended attributes as a channel between jobs: sets ctx["name"] to
# ctx["secret"] on each of ctx["paths"] ("." is the job's own scratch
# folder); with ctx["read"], instead reports what an earlier job left there.
XATTR_CHANNEL = """
import os

def attack(ctx):
    name, found = ctx["name"], []
    for path in ctx["paths"]:
        try:
            if ctx.get("read"):
                found.append(f"FOUND {path}: {os.getxattr(path, name).decode()}")
            else:
                os.setxattr(path, name, ctx["secret"].encode())
                found.append(f"SET {path}")
        except OSError:
            pass
    return found or "nothing"
"""

# What looking at paths tells without reading them: existence, size and
# times (stat, lstat), access, a link's target, entering a folder. Each
# result is reported as "pN.how=RESULT" for ctx["paths"][N], refusals as
# their errno, so that the test can compare an existing path with a missing one.
PATH_PEEK = """
import os

def attack(ctx):
    start, seen = os.getcwd(), []
    for index, path in enumerate(ctx["paths"]):
        steps = {
            "stat": lambda: "size%d,mtime%d" % (os.stat(path).st_size, os.stat(path).st_mtime_ns),
            "lstat": lambda: "mode%o" % os.lstat(path).st_mode,
            "access": lambda: "ok" if os.access(path, os.F_OK) else "no",
            "readlink": lambda: "LINK:" + os.readlink(path),
            "chdir": lambda: os.chdir(path) or "ENTERED",
        }
        for how, step in steps.items():
            try:
                result = step()
            except OSError as exc:
                result = f"errno{exc.errno}"
            seen.append(f"p{index}.{how}={result}")
    os.chdir(start)
    return " ".join(seen)
"""

# Watches ctx["paths"] with inotify for ctx["seconds"] and lists the names
# it saw created or opened there; then lists the mounts it can see with
# listmount and statmount (call numbers in ctx["calls"], if this
# architecture has them), which would name other jobs' scratch folders.
WATCH = """
import ctypes, os, select, struct, time

def statmount_point(libc, statmount, mount_id):
    request = (ctypes.c_uint64 * 4)(32 | (0 << 32), mount_id, 0x10, 0)  # STATMOUNT_MNT_POINT
    buffer = ctypes.create_string_buffer(1 << 16)
    if libc.syscall(statmount, request, buffer, len(buffer), 0) < 0:
        return None
    raw = buffer.raw
    # struct statmount: the mount point's offset at byte 108, its strings from byte 512.
    offset = int.from_bytes(raw[108:112], "little")
    return raw[512 + offset:].split(b"\\0", 1)[0].decode("utf-8", "replace")

def mounts(ctx):
    if not ctx.get("calls"):
        return "no listmount here"
    listmount, statmount = ctx["calls"]
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    request = (ctypes.c_uint64 * 4)(32, (1 << 64) - 1, 0, 0)  # size, LSMT_ROOT: every mount
    ids = (ctypes.c_uint64 * 4096)()
    count = libc.syscall(listmount, request, ids, 4096, 0)
    if count < 0:
        return f"listmount refused: {ctypes.get_errno()}"
    points = [statmount_point(libc, statmount, ids[i]) for i in range(count)]
    return f"LISTED {count} mounts: {points}"

def attack(ctx):
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
    if fd < 0:
        return f"inotify refused: {ctypes.get_errno()}; {mounts(ctx)}"
    watched = []
    for path in ctx["paths"]:
        # IN_CREATE | IN_OPEN | IN_MODIFY
        if libc.inotify_add_watch(fd, path.encode(), 0x100 | 0x20 | 0x2) >= 0:
            watched.append(path)
    names = set()
    deadline = time.monotonic() + ctx["seconds"]
    while watched and time.monotonic() < deadline:
        select.select([fd], [], [], 0.05)
        try:
            data = os.read(fd, 1 << 16)
        except BlockingIOError:
            continue
        offset = 0
        while offset < len(data):
            _, _, _, length = struct.unpack_from("iIII", data, offset)
            names.add(data[offset + 16 : offset + 16 + length].rstrip(b"\\0").decode())
            offset += 16 + length
    os.close(fd)
    return f"WATCHED {len(watched)} {watched}: SAW {sorted(names)}; {mounts(ctx)}"
"""

# Kernel objects counted per uid or per machine, not per job: inotify
# instances (the uid's 128 by default) and AIO contexts (the machine's
# aio-max-nr). Takes up to ctx["most"] of each and holds them for
# ctx["hold"] seconds, while the test checks that the host can still get one.
QUOTAS = """
import ctypes, os, time

def attack(ctx):
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    instances = []
    while len(instances) < ctx["most_inotify"]:
        fd = libc.inotify_init1(os.O_CLOEXEC)
        if fd < 0:
            break
        instances.append(fd)
    events = 0
    while ctx.get("io_setup") is not None and events < ctx["most_aio"]:
        handle = ctypes.c_ulong(0)
        if libc.syscall(ctx["io_setup"], ctx["aio_each"], ctypes.byref(handle)) != 0:
            break
        events += ctx["aio_each"]
    time.sleep(ctx["hold"])
    return f"inotify instances {len(instances)}, aio events {events}"
"""

# Runs code in a child interpreter whose command line carries ctx["tag"], so
# that the test finds the job's process from outside by its arguments (a
# job's process name cannot be relied on: setting it takes prctl, which a
# filter may refuse). The child shares the job's ids, capabilities,
# working folder and place in the process tree.
# Watches one pipe under many descriptor numbers from many epoll instances,
# up to ctx["most"] watches: each counts against the machine's limit of
# watches per uid (fs.epoll.max_user_watches), shared by every process of
# the job's uid, which a job reaches in seconds. Then holds them.
EPOLL_WATCHES = """
import os, select, time

def attack(ctx):
    read, write = os.pipe()
    numbers = range(600, 600 + ctx["numbers"])
    instances, count = [], 0
    try:
        while count < ctx["most"]:
            instances.append(select.epoll())
            for number in numbers:
                os.dup2(read, number)
                instances[-1].register(number, select.EPOLLIN)
                count += 1
            for number in numbers:  # the watches stay: the pipe is still open
                os.close(number)
    except OSError as exc:
        refused = f"refused: {exc!r}"
    else:
        refused = ""
    time.sleep(ctx["hold"])
    return f"epoll watches {count} {refused}"
"""

# Queues up to ctx["most"] real-time signals to itself, blocked, and holds
# them for ctx["hold"] seconds; then tells how many its processes have
# pending (each one also counts for the job's uid in the host's namespace,
# where real-time signals past the limit are lost).
SIGNAL_QUEUE = """
import os, signal, time

def pending():
    with open("/proc/self/status") as status:
        return status.read().split("SigQ:")[1].split("/")[0].strip()

def attack(ctx):
    signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGRTMIN])
    for _ in range(ctx["most"]):
        os.kill(os.getpid(), signal.SIGRTMIN)  # one past the limit is lost, not refused
    time.sleep(ctx["hold"])
    return f"pending {pending()}"
"""

TAGGED_CHILD = """
import subprocess, sys

def in_tagged_child(ctx, code, *args):
    done = subprocess.run(
        [sys.executable, "-I", "-c", code, ctx["tag"], *map(str, args)],
        capture_output=True,
        text=True,
    )
    return (done.stdout + done.stderr).strip()
"""

# The job's capability bounding set as it sees it (from /proc when it has
# one, else PR_CAPBSET_READ cap by cap), held still for ctx["hold"] seconds
# so that the test can look at its kernel ids and bounding set from outside.
IDENTITY = (
    TAGGED_CHILD
    + """
CHILD = '''
import ctypes, os, sys, time

def bounding():
    try:
        with open("/proc/self/status") as file:
            for line in file:
                if line.startswith("CapBnd:"):
                    return "%x" % int(line.split()[1], 16)
    except OSError:
        pass
    libc = ctypes.CDLL(None, use_errno=True)
    found = 0
    for cap in range(64):
        held = libc.prctl(23, cap, 0, 0, 0)  # PR_CAPBSET_READ
        if held < 0:
            if cap == 0:
                return "unknown(errno%d)" % ctypes.get_errno()
            break  # past the last capability this kernel knows
        found |= held << cap
    return "%x" % found

print("CAPBND", bounding(), "uid", os.getuid(), "euid", os.geteuid(), flush=True)
time.sleep(float(sys.argv[2]))
'''

def attack(ctx):
    return in_tagged_child(ctx, CHILD, ctx["hold"])
"""
)

# Memory really used (every page touched) across ctx["processes"] processes
# of ctx["each"] bytes each, all held at once for ctx["hold"] seconds.
MEMORY_TOUCHED = """
import mmap, os, time

def attack(ctx):
    # Every child holds its memory until the parent has seen all of them hold
    # theirs, so that they all hold at once however slowly each one starts.
    release_r, release_w = os.pipe()
    children, total = [], 0
    for _ in range(ctx["processes"]):
        ready_r, ready_w = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.close(ready_r)
                os.close(release_w)
                try:
                    held = mmap.mmap(-1, ctx["each"])
                    for page in range(0, ctx["each"], mmap.PAGESIZE):
                        held[page] = 1
                    os.write(ready_w, b"1")
                except (OSError, MemoryError):
                    os.write(ready_w, b"0")
                os.read(release_r, 1)
            finally:
                os._exit(0)
        os.close(ready_w)
        answer = os.read(ready_r, 1)
        os.close(ready_r)
        children.append(pid)
        if answer != b"1":
            break
        total += ctx["each"]
    time.sleep(ctx["hold"])
    os.close(release_w)
    for pid in children:
        os.waitpid(pid, 0)
    return f"held {total}"
"""

# Everything a job could do to the scheduling and limits of the processes
# around it: lower their CPU and open-file limits (prlimit), renice them by
# process, group and user, change their scheduling policy and pin them to
# one CPU. Targets: ctx["pids"], the job's parent, and every pid up to
# ctx["sweep"] (the decoy host runs in a pid namespace of its own, so that
# a sweep reaches nothing else). The changes are mild (a limit lowered by
# one, nice 1, SCHED_BATCH) so that the decoy lives to report them; they need
# the same permission as the harmful ones (RLIMIT_CPU 0, nice 19, SCHED_IDLE).
# Then the job's clone(CLONE_PARENT) children, which are its parent's to
# reap: ctx["clone"] is the clone call's number, if known here.
HOST_SCHEDULING = (
    _ATTEMPT
    + """
import ctypes, os, resource, time

def lowered(value):
    return 1 << 30 if value == resource.RLIM_INFINITY else max(value - 1, 0)

def targets(ctx):
    pids = set(ctx["pids"]) | set(range(1, ctx["sweep"] + 1)) | {os.getppid()}
    pids.discard(os.getpid())
    return sorted(pids)

def zombies(ctx):
    if ctx.get("clone") is None:
        return "no clone number here"
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    made = 0
    for _ in range(ctx["zombies"]):
        pid = libc.syscall(ctx["clone"], 0x8000 | 17, 0, 0, 0, 0)  # CLONE_PARENT | SIGCHLD
        if pid == 0:
            os._exit(0)
        if pid < 0:
            break
        made += 1
    return f"cloned {made} for the parent"

def attack(ctx):
    # Meanwhile the decoy host ends a short job, after which its warm helper
    # forks the spare that will take the next job: that one waits now.
    time.sleep(ctx["delay"])
    done = []
    one_cpu = {min(os.sched_getaffinity(0))}
    for pid in targets(ctx):
        for name, which in (("CPU", resource.RLIMIT_CPU), ("NOFILE", resource.RLIMIT_NOFILE)):
            try:
                soft, hard = resource.prlimit(pid, which)
                resource.prlimit(pid, which, (lowered(soft), lowered(hard)))
                done.append(f"LIMITED {pid} {name}")
            except (OSError, ValueError):
                pass
        steps = {
            "RENICED": lambda: os.setpriority(os.PRIO_PROCESS, pid, 1),
            "BATCHED": lambda: os.sched_setscheduler(pid, os.SCHED_BATCH, os.sched_param(0)),
            "PINNED": lambda: os.sched_setaffinity(pid, one_cpu),
        }
        for word, step in steps.items():
            attempt(done, f"{word} {pid}", step)
    for kind, which, whom in [
        *(("user", os.PRIO_USER, uid) for uid in {0, os.getuid(), os.geteuid(), ctx["uid"]}),
        *(("group", os.PRIO_PGRP, pgid) for pgid in ctx["pgids"]),
    ]:
        attempt(done, f"RENICED {kind} {whom}", lambda: os.setpriority(which, whom, 1))
    return f"{done}; {zombies(ctx)}"
"""
)


def _dedent(source: str) -> str:
    return textwrap.dedent(source).strip() + "\n"


def validation_code(probe: str, ctx: dict[str, Any]) -> str:
    """Tool code that attacks while validation imports it and raises the outcome."""
    return (
        f"CTX = {ctx!r}\n"
        + _dedent(probe)
        + "\nraise RuntimeError(f'outcome: {attack(CTX)}')\n"
        + "\ndef main(args):\n    return None\n"
    )


def tool_code(probe: str) -> str:
    """A tool whose main(args) attacks with its args as the context."""
    return _dedent(probe) + "\ndef main(args):\n    return {'outcome': str(attack(args))}\n"


def write_tool(folder: Path, code: str) -> Path:
    """A saved tool as the store holds it: folder/tool.py and folder/metadata.json."""
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / "tool.py"
    path.write_text(code, encoding="utf-8")
    # What only reading the tool's own metadata would show: a job may read its tool.py alone.
    metadata = f'{{"name": "{folder.name}", "note": "own-metadata-{folder.name}"}}\n'
    (folder / "metadata.json").write_text(metadata, encoding="utf-8")
    return path


def task(
    probe: str, ctx: dict[str, Any], phase: str, folder: Path, timeout: float = 20.0
) -> SubprocessTask:
    """The job that attacks in `phase`; a run's tool is saved under `folder`."""
    if phase == "validate":
        command = {"action": "validate", "code": validation_code(probe, ctx)}
    else:
        path = write_tool(folder, tool_code(probe))
        command = {"action": "run_function", "path": str(path), "function": "main", "args": ctx}
    return SubprocessTask(worker_type="custom", command=command, timeout=timeout)


def probe_ran(result: Any) -> bool:
    """The probe went to its end and reported, or the sandbox killed it for a refused call."""
    text = everything(result)
    return "outcome" in text or "SIGSYS" in text


def everything(result: Any) -> str:
    """All a job's result carries back, as one text to search for a leak."""
    return "\n".join(
        str(part) for part in (result.output, result.error, result.stdout, result.stderr)
    )
