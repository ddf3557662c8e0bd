"""The sandbox's own pieces: the policy, the status a manager reports, failing
closed, the native steps (seccomp filter, Landlock), and the per-job bounds,
in both modes."""

from __future__ import annotations

import asyncio
import json
import os
import pwd
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from tests.processes import cmdline, processes, wait_until
from velmor.core import sandbox as sandboxing
from velmor.core.inside import confinement
from velmor.core.subprocess_manager import (
    SandboxPolicy,
    SandboxStatus,
    SubprocessManager,
    SubprocessTask,
)

DEFAULT_LAYERS = {
    "user-namespace",
    "network-namespace",
    "mount-namespace",
    "ipc-namespace",
    "pid-namespace",
    "own-root",
    "landlock",
    "seccomp",
    "no-new-privileges",
    "rlimits",
} | {"memory-cgroup" if sandboxing.memory_cgroups_usable() else "memory-watch"}
# An ordinary user with a subordinate range that newuidmap maps (as root: none).
DEFAULT_LAYERS |= {"subordinate-uid"} if sandboxing.subordinate_ids() else set()


def _children(pid: int) -> list[int]:
    found = []
    for thread in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{thread}/children") as file:
                found += [int(child) for child in file.read().split()]
        except OSError:
            continue  # ended meanwhile
    return found


def run(path: str, timeout: float | None = 10.0) -> SubprocessTask:
    command = {"action": "run_function", "path": path, "function": "main", "args": {}}
    return SubprocessTask(worker_type="custom", command=command, timeout=timeout)


@pytest.fixture
def tool(tmp_path):
    counter = iter(range(1000))

    def write(source: str) -> str:
        path = tmp_path / f"tool{next(counter)}.py"
        path.write_text(textwrap.dedent(source), encoding="utf-8")
        return str(path)

    return write


@pytest.fixture(params=["warm", "spawned"])
def mode(request) -> dict[str, bool]:
    return {"warm": request.param == "warm"}


class TestPolicy:
    def test_defaults_and_paths_made_absolute(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        policy = SandboxPolicy(read_only_paths=["data"], writable_paths=(Path("/srv/out"),))
        assert policy.read_only_paths == (str(tmp_path / "data"),)
        assert policy.writable_paths == ("/srv/out",)
        assert SandboxPolicy().network is False

    @pytest.mark.parametrize(
        "options, error",
        [
            ({"network": "yes"}, TypeError),
            ({"network": 1}, TypeError),
            ({"read_only_paths": "/data"}, TypeError),
            ({"writable_paths": (3,)}, TypeError),
            ({"writable_paths": ("",)}, ValueError),
            ({"read_only_paths": ("/a\0b",)}, ValueError),
            ({"max_processes": 0}, ValueError),
            ({"max_processes": True}, TypeError),
            ({"max_file_size": 1.5}, TypeError),
            ({"max_scratch_bytes": -1}, ValueError),
        ],
    )
    def test_invalid_values_are_refused(self, options, error):
        with pytest.raises(error):
            SandboxPolicy(**options)

    def test_frozen(self):
        with pytest.raises(AttributeError):
            SandboxPolicy().network = True  # type: ignore[misc]


class TestStatus:
    def test_default_manager_is_sandboxed_with_every_layer(self, make_manager):
        status = make_manager().sandbox
        assert isinstance(status, SandboxStatus)
        assert status.policy == SandboxPolicy() and status.missing is None
        assert status.layers == DEFAULT_LAYERS

    def test_network_policy_has_no_network_namespace(self, make_manager):
        status = make_manager(sandbox=SandboxPolicy(network=True)).sandbox
        assert status.layers == DEFAULT_LAYERS - {"network-namespace"}

    def test_sandbox_false_is_the_way_out(self, make_manager):
        assert make_manager(sandbox=False).sandbox is None

    @pytest.mark.parametrize("value", ["yes", 1, None, {"network": True}])
    def test_other_values_are_refused(self, value):
        with pytest.raises(TypeError, match="sandbox must be True, False or a SandboxPolicy"):
            SubprocessManager(sandbox=value)


class FakeNative:
    """The native part as a kernel without some feature would answer."""

    __file__ = "/nonexistent/_sandbox.so"

    def __init__(self, abi: int = 7, namespaces: int = 0, seccomp: bool = True) -> None:
        self.abi, self.namespaces, self.seccomp = abi, namespaces, seccomp

    def landlock_abi(self) -> int:
        return self.abi

    def seccomp_supported(self) -> bool:
        return self.seccomp

    def probe_namespaces(self, flags: int) -> int:
        return self.namespaces


class TestFailClosed:
    @pytest.mark.parametrize(
        "native, feature, layer",
        [
            (FakeNative(abi=3), "Landlock ABI 6 or later (ABI 3)", "landlock"),
            (FakeNative(abi=0), "Landlock ABI 6 or later (not enabled)", "landlock"),
            (FakeNative(namespaces=1), "unprivileged user namespaces", "user-namespace"),
            (FakeNative(seccomp=False), "a seccomp filter for this architecture", "seccomp"),
        ],
    )
    async def test_missing_feature_is_an_error_naming_it_and_the_way_out(
        self, make_manager, tool, monkeypatch, mode, native, feature, layer
    ):
        monkeypatch.setattr(sandboxing, "_native_module", lambda: native)
        manager = make_manager(**mode)
        assert layer not in manager.sandbox.layers
        result = await manager.spawn(run(tool("def main(args):\n    return 1\n")))
        assert result.output is None and result.returncode is None
        assert feature in result.error
        assert "SubprocessManager(sandbox=False)" in result.error
        assert manager.helper_pid is None  # nothing was started

    async def test_missing_native_part(self, make_manager, tool, monkeypatch):
        def missing():
            raise ImportError("no module named velmor.core._sandbox")

        monkeypatch.setattr(sandboxing, "_native_module", missing)
        result = await make_manager().spawn(run(tool("def main(args):\n    return 1\n")))
        assert "native part" in result.error and "sandbox=False" in result.error


# Runs in a fresh interpreter: applies the steps named in argv and reports,
# as JSON, what each probe gave (an errno name, or "ok").
NATIVE_PROBE = """
import ctypes, errno, fcntl, json, os, platform, socket, sys, termios
from velmor.core import _sandbox as native
stages, probes, folder = sys.argv[1].split(","), sys.argv[2].split(","), sys.argv[3]
libc = ctypes.CDLL(None, use_errno=True)
native.no_new_privileges()
for stage in stages:
    if stage == "landlock":
        native.restrict_paths([(sys.base_prefix, "execute"), (folder, "write")], False)
    elif stage == "filter":
        native.install_seccomp(False)
def attempt(probe):
    if probe == "ptrace":
        if libc.ptrace(0, 0, 0, 0) == -1:  # PTRACE_TRACEME
            raise OSError(ctypes.get_errno(), "ptrace")
    elif probe == "setsid":
        os.setsid()
    elif probe == "unshare":
        os.unshare(os.CLONE_NEWUSER)
    elif probe == "socket":
        socket.socket(socket.AF_INET).close()
    elif probe == "unix":
        socket.socket(socket.AF_UNIX).close()
    elif probe == "pair":
        socket.socketpair()
    elif probe == "dgram_pair":
        socket.socketpair(type=socket.SOCK_DGRAM)
    elif probe == "read_etc":
        open("/etc/hostname", "rb").close()
    elif probe == "write_folder":
        with open(os.path.join(folder, "f"), "w") as f:
            f.write("x")
    elif probe == "memfd":
        os.close(os.memfd_create("held"))
    elif probe == "shmget":
        if libc.shmget(0, 4096, 0o1600) == -1:  # IPC_PRIVATE, IPC_CREAT | 0600
            raise OSError(ctypes.get_errno(), "shmget")
    elif probe == "fork":
        pid = os.fork()
        if pid == 0:
            os._exit(0)
        os.waitpid(pid, 0)
    elif probe in ("clone_namespace", "clone_parent"):
        call = {"x86_64": 56, "aarch64": 220}[platform.machine()]
        flag = os.CLONE_NEWUSER if probe == "clone_namespace" else 0x8000  # CLONE_PARENT
        pid = libc.syscall(call, flag | 17, 0, 0, 0, 0)  # | SIGCHLD
        if pid == 0:
            os._exit(0)  # a child, had the call been let through
        if pid == -1:
            raise OSError(ctypes.get_errno(), "clone")
        os.waitpid(pid, 0)
    elif probe in ("tiocsti", "tioclinux", "tiocsetd", "fionread"):
        read, write = os.pipe()
        try:
            request = {"tiocsti": termios.TIOCSTI, "tioclinux": 0x541C, "tiocsetd": 0x5423,
                       "fionread": termios.FIONREAD}[probe]
            fcntl.ioctl(read, request, bytes(4))
        finally:
            os.close(read)
            os.close(write)
    elif probe == "x32":
        libc.syscall(39 | 0x40000000)  # getpid through the x32 entry
answers = {}
for probe in probes:
    try:
        attempt(probe)
        answers[probe] = "ok"
    except OSError as exc:
        answers[probe] = errno.errorcode[exc.errno]
print(json.dumps(answers))
"""


def native_probe(stages: str, probes: str, folder: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-c", NATIVE_PROBE, stages, probes, str(folder)],
        capture_output=True,
        text=True,
        timeout=30,
    )


class TestNativeSteps:
    def test_filter_refuses_what_is_not_allowed_and_keeps_socketpair(self, tmp_path):
        probes = (
            "ptrace,setsid,unshare,socket,unix,dgram_pair,memfd,shmget,pair,"
            "clone_namespace,clone_parent,fork,tiocsti,tioclinux,tiocsetd,fionread"
        )
        done = native_probe("filter", probes, tmp_path)
        assert json.loads(done.stdout) == {
            # Refused on their arguments: EPERM.
            "clone_namespace": "EPERM",
            "clone_parent": "EPERM",
            "fork": "ok",
            "tiocsti": "EPERM",  # on a pipe they would otherwise be ENOTTY
            "tioclinux": "EPERM",
            "tiocsetd": "EPERM",
            "fionread": "ok",
            "socket": "EPERM",
            "unix": "EPERM",
            "dgram_pair": "EPERM",
            "pair": "ok",
            # Refused by a rule of their own: the job stays in its group.
            "setsid": "EPERM",
            # Not in the allow-list: as if the kernel had no such call.
            "memfd": "ENOSYS",
            "shmget": "ENOSYS",
            "ptrace": "ENOSYS",
            "unshare": "ENOSYS",
        }

    @pytest.mark.skipif(os.uname().machine != "x86_64", reason="x32 exists on x86-64 only")
    def test_x32_calls_kill_the_process(self, tmp_path):
        done = native_probe("filter", "x32", tmp_path)
        assert done.returncode == -signal.SIGSYS

    def test_landlock_grants_the_folder_and_nothing_else(self, tmp_path):
        done = native_probe("landlock", "read_etc,write_folder", tmp_path)
        assert json.loads(done.stdout) == {"read_etc": "EACCES", "write_folder": "ok"}
        assert (tmp_path / "f").read_text() == "x"


def running(pid: int) -> bool:
    return any(found == pid and state != "Z" for found, _, _, state in processes())


class TestJobBounds:
    async def test_double_forked_process_cannot_leave_and_dies_with_the_job(
        self, make_manager, tool, mode
    ):
        # The job's pids are those of its own pid namespace: the straggler is
        # found on the host by the unique duration it sleeps for.
        marker = f"{time.time_ns() % 10**9 + 10**9}"
        path = tool(
            f"""
            import os, subprocess
            def main(args):
                read, write = os.pipe()
                if os.fork() == 0:
                    try:
                        os.setsid()
                        refused = "no"
                    except OSError as exc:
                        refused = exc.strerror
                    if os.fork() == 0:
                        os.write(write, refused.encode())
                        os.execv("/bin/sleep", ["sleep", "{marker}"])
                    os._exit(0)
                return os.read(read, 200).decode()
            """
        )
        result = await make_manager(**mode).spawn(run(path))
        assert result.output == "Operation not permitted"

        def straggling() -> bool:
            return any(marker.encode() in cmdline(pid) for pid, _, _, _ in processes())

        assert await wait_until(lambda: not straggling())

    @pytest.mark.parametrize("cap", [4, 16])
    async def test_process_cap_per_job(self, make_manager, tool, mode, cap):
        path = tool(
            """
            import os, time
            def main(args):
                started = 0
                try:
                    for _ in range(100):
                        if os.fork() == 0:
                            time.sleep(5)
                            os._exit(0)
                        started += 1
                except OSError as exc:
                    return [started, exc.strerror]
                return [started, None]
            """
        )
        manager = make_manager(sandbox=SandboxPolicy(max_processes=cap), **mode)
        result = await manager.spawn(run(path))
        assert result.output == [cap - 1, "Resource temporarily unavailable"]

    async def test_scratch_folder_is_capped(self, make_manager, tool, mode):
        path = tool(
            """
            def main(args):
                written = 0
                try:
                    for i in range(64):
                        with open(f"part{i}", "wb") as file:
                            file.write(b"x" * (256 << 10))
                        written += 256 << 10
                except OSError as exc:
                    return [written, exc.strerror]
            """
        )
        manager = make_manager(sandbox=SandboxPolicy(max_scratch_bytes=1 << 20), **mode)
        result = await manager.spawn(run(path))
        assert result.output[1] == "No space left on device"
        assert result.output[0] <= 1 << 20

    async def test_scratch_folder_bounds_the_number_of_files(self, make_manager, tool, mode):
        path = tool(
            """
            import os
            def main(args):
                made = 0
                try:
                    while made < 10_000:
                        os.close(os.open(f"empty{made}", os.O_CREAT | os.O_WRONLY))
                        made += 1
                except OSError as exc:
                    return [made, exc.strerror]
            """
        )
        manager = make_manager(sandbox=SandboxPolicy(max_scratch_bytes=256 << 10), **mode)
        made, error = (await manager.spawn(run(path))).output
        assert made < 256 and error == "No space left on device"

    @pytest.mark.parametrize(
        "memory_limit, files", [(1 << 30, 1024), (256 << 20, 512), (64 << 20, 128), (None, 1024)]
    )
    async def test_open_files_follow_the_memory_limit(
        self, make_manager, tool, mode, memory_limit, files
    ):
        # Socket buffers sit outside the address space: the descriptors bound them.
        path = tool(
            "import resource\ndef main(args):\n"
            "    return resource.getrlimit(resource.RLIMIT_NOFILE)\n"
        )
        manager = make_manager(memory_limit=memory_limit, **mode)
        assert (await manager.spawn(run(path))).output == [files, files]

    async def test_no_capability_left(self, make_manager, tool, mode):
        path = tool(
            """
            import ctypes
            def main(args):
                header = (ctypes.c_uint32 * 2)(0x20080522, 0)  # version 3, this process
                data = (ctypes.c_uint32 * 6)()
                if ctypes.CDLL(None).capget(header, data) != 0:
                    return "capget failed"
                return list(data)
            """
        )
        result = await make_manager(**mode).spawn(run(path))
        assert result.output == [0] * 6

    async def test_network_policy_opens_ip_but_not_unix_sockets(self, make_manager, tool, mode):
        path = tool(
            """
            import socket
            def main(args):
                answers = []
                for family in (socket.AF_INET, socket.AF_UNIX):
                    try:
                        socket.socket(family).close()
                        answers.append("ok")
                    except OSError as exc:
                        answers.append(exc.strerror)
                return answers
            """
        )
        open_net = make_manager(sandbox=SandboxPolicy(network=True), **mode)
        closed = make_manager(**mode)
        assert (await open_net.spawn(run(path))).output == ["ok", "Operation not permitted"]
        assert (await closed.spawn(run(path))).output == ["Operation not permitted"] * 2

    async def test_extra_paths_of_the_policy(self, make_manager, tool, mode, tmp_path):
        shared, out = tmp_path / "shared", tmp_path / "out"
        shared.mkdir()
        out.mkdir()
        (shared / "data.txt").write_text("hello")
        path = tool(
            f"""
            def main(args):
                text = open({str(shared / "data.txt")!r}).read()
                open({str(out / "copy.txt")!r}, "w").write(text)
                try:
                    open({str(shared / "new.txt")!r}, "w")
                except OSError as exc:
                    return exc.strerror
            """
        )
        policy = SandboxPolicy(read_only_paths=(shared,), writable_paths=(out,))
        result = await make_manager(sandbox=policy, **mode).spawn(run(path))
        assert result.output == "Read-only file system"
        assert (out / "copy.txt").read_text() == "hello"
        assert (out / "copy.txt").stat().st_uid == os.geteuid()
        assert not (shared / "new.txt").exists()


class TestJobIds:
    """Which ids an ordinary user's jobs get: the last of its subordinate
    ranges when it has one and the helpers are installed, else its own."""

    USER = pwd.struct_passwd(("alice", "x", 1000, 1000, "", "/home/alice", "/bin/sh"))

    @pytest.mark.parametrize(
        ("lines", "found"),
        [
            ("alice:100000:65536\n", (100000, 65536)),
            ("bob:100000:65536\n1000:300000:5\n", (300000, 5)),  # by uid, as the helpers take
            ("alice:x:5\nalice:100000:0\nalice:200000:1\n", (200000, 1)),  # malformed, empty
            ("alice:0:65536\n", None),  # would hold root
            ("alice:500:1000\n", None),  # would hold the user's own uid
            ("alice:4294967290:100\n", None),  # beyond the last uid
            ("bob:100000:65536\n", None),
        ],
    )
    def test_ranges_read(self, tmp_path, lines, found):
        path = tmp_path / "subuid"
        path.write_text(lines)
        assert sandboxing._subordinate_range(str(path), self.USER) == found

    @pytest.fixture
    def alice(self, tmp_path, monkeypatch):
        """An ordinary user with a range of each kind; the helpers in `tmp_path/bin`."""
        for name, text in (("subuid", "alice:100000:65536\n"), ("subgid", "alice:200000:10\n")):
            (tmp_path / name).write_text(text)
        (tmp_path / "bin").mkdir()
        for name in ("newuidmap", "newgidmap"):
            (tmp_path / "bin" / name).write_text("")
            (tmp_path / "bin" / name).chmod(0o755)
        monkeypatch.setattr(sandboxing, "SUBUID_FILE", str(tmp_path / "subuid"))
        monkeypatch.setattr(sandboxing, "SUBGID_FILE", str(tmp_path / "subgid"))
        monkeypatch.setattr(sandboxing, "ID_MAPPER_FOLDERS", (str(tmp_path / "bin"),))
        monkeypatch.setattr(sandboxing.os, "geteuid", lambda: 1000)
        monkeypatch.setattr(sandboxing.os, "getegid", lambda: 1000)
        monkeypatch.setattr(sandboxing.pwd, "getpwuid", lambda uid: self.USER)
        return tmp_path

    def test_the_last_subordinate_ids_mapped_with_the_users_own(self, alice):
        ids = sandboxing.choose_job_ids(SandboxPolicy())
        assert (ids.uid, ids.gid) == (165535, 200009)
        mapping = sandboxing.id_map(ids)
        assert mapping is not None
        assert mapping["newuidmap"] == str(alice / "bin" / "newuidmap")
        assert mapping["uids"] == [[1000, 1000, 1], [165535, 165535, 1]]
        assert mapping["gids"] == [[1000, 1000, 1], [200009, 200009, 1]]

    @pytest.mark.parametrize("without", ["writable paths", "a helper", "a group range"])
    def test_the_users_own_ids_otherwise(self, alice, tmp_path, without):
        policy = SandboxPolicy()
        if without == "writable paths":
            policy = SandboxPolicy(writable_paths=(tmp_path,))
        elif without == "a helper":
            (alice / "bin" / "newgidmap").unlink()
        else:
            (alice / "subgid").write_text("bob:200000:10\n")
        ids = sandboxing.choose_job_ids(policy)
        assert (ids.uid, ids.gid, ids.mappers) == (1000, 1000, None)
        assert sandboxing.id_map(ids) is None


class TestLayerFailures:
    """A layer that cannot be set up ends the job with an error naming it;
    the tool never runs unconfined."""

    @staticmethod
    def unmountable_proc(policy, uid, gid):
        # A link where the world's /proc goes: the world cannot be finished.
        return [("/proc", "link", "elsewhere"), *WORLD_ENTRIES(policy, uid, gid)]

    @pytest.mark.parametrize(
        "target, replacement, step",
        [
            ("world_entries", "unmountable_proc", "mount of proc"),
            ("choose_job_ids", "unmappable_ids", "id maps"),
        ],
        ids=["world", "uid-mapping"],
    )
    async def test_layer_that_fails_fails_the_job(
        self, make_manager, tool, mode, monkeypatch, target, replacement, step
    ):
        replacements = {
            "unmountable_proc": self.unmountable_proc,
            # No namespace can map the id (uid_t)-1: the pid namespace is not made.
            "unmappable_ids": lambda _: sandboxing.JobIds((1 << 32) - 1, (1 << 32) - 1),
        }
        monkeypatch.setattr(sandboxing, target, replacements[replacement])
        path = tool("def main(args):\n    return 'ran'\n")
        result = await make_manager(**mode).spawn(run(path))
        assert result.output is None
        assert step in result.error


class TestWorld:
    """What a job sees: its own root, processes, ids and devices, the same in both modes."""

    async def test_what_the_job_sees(self, make_manager, tool, mode):
        path = tool(
            """
            import getpass, multiprocessing, os, sqlite3, subprocess, sys
            def square(x):
                return x * x
            def main(args):
                with multiprocessing.get_context("fork").Pool(2) as pool:
                    squares = pool.map(square, range(4))
                return {
                    "root": sorted(os.listdir("/")),
                    "dev": sorted(os.listdir("/dev")),
                    "processes": sorted(p for p in os.listdir("/proc") if p.isdigit()),
                    "ids": [os.getuid(), os.geteuid(), os.getgid()],
                    "user": getpass.getuser(),
                    "squares": squares,
                    "stdin_is_pipe": os.path.stat.S_ISFIFO(os.fstat(0).st_mode),
                    "chmod_null": _try(lambda: os.chmod("/dev/null", 0)),
                    "chmod_python": _try(lambda: os.chmod(sys.executable, 0o4755)),
                    "git": subprocess.run(["git", "init", "-q", "repo"]).returncode,
                    "sqlite": sqlite3.connect("db").execute("select 1").fetchone()[0],
                }
            def _try(call):
                try:
                    call()
                except OSError as exc:
                    return exc.strerror
                return "done"
            """
        )
        result = await make_manager(**mode).spawn(run(path))
        seen = result.output
        assert result.error is None, result.error
        # Only the top folders of what the world binds are there, wherever the
        # interpreter, the venv and the tool live; the rest of the host is not.
        uid, gid = sandboxing.job_ids()
        bound = sandboxing.world_entries(sandboxing.SandboxPolicy(), uid, gid)
        tops = {Path(entry).parts[1] for entry, _, _ in bound} | {Path(path).parts[1]}
        assert set(seen["root"]) <= tops | {"dev", "proc", "tmp"}
        assert seen["dev"] == ["full", "null", "random", "shm", "urandom", "zero"]
        assert seen["processes"] == ["1", "2"]  # its namespace's init and itself
        assert seen["ids"] == [uid, uid, gid] and uid != 0
        if os.geteuid() == 0:
            from velmor.core import _sandbox

            assert uid == gid == sandboxing.JOB_ID_UNDER_ROOT == _sandbox.JOB_UID_UNDER_ROOT
        assert seen["user"] == sandboxing.JOB_USER
        assert seen["squares"] == [0, 1, 4, 9]
        assert seen["stdin_is_pipe"]
        assert seen["chmod_null"] == "Read-only file system"  # its mount, before its owner
        assert seen["chmod_python"] in ("Read-only file system", "Operation not permitted")
        assert seen["git"] == 0 and seen["sqlite"] == 1

    @pytest.fixture(params=["memory-cgroup", "memory-watch"])
    def memory_bound(self, request, monkeypatch):
        """Each way the job's memory in all is bounded; the watch is what a
        host that is not root gets, forced here by hiding the cgroups."""
        if request.param == "memory-cgroup" and not sandboxing.memory_cgroups_usable():
            pytest.skip("no memory cgroup for jobs here")
        if request.param == "memory-watch":
            monkeypatch.setattr(sandboxing, "memory_cgroups_usable", lambda: False)
        return request.param

    @pytest.mark.parametrize(
        ("processes", "each_mib", "error"),
        [
            # Four of 40 MiB each stay under the per-process limit, not under
            # the job's 64 MiB in all.
            (4, 40, "Exceeded the memory limit of 64 MiB"),
            # Four of 8 MiB fit, though each forked interpreter maps the same
            # pages as its parent: those count once, not once per process.
            (4, 8, None),
        ],
        ids=["over", "within"],
    )
    async def test_memory_of_all_processes_together_is_bounded(
        self, make_manager, tool, mode, memory_bound, processes, each_mib, error
    ):
        path = tool(
            f"""
            import os, time
            def main(args):
                children = []
                for _ in range({processes} - 1):
                    pid = os.fork()
                    if pid == 0:
                        children = None
                        break
                    children.append(pid)
                held = bytearray({each_mib} << 20)
                for i in range(0, len(held), 4096):
                    held[i] = 1
                time.sleep(0.5)
                if children is None:
                    os._exit(0)
                for pid in children:
                    os.waitpid(pid, 0)
                return "held"
            """
        )
        policy = SandboxPolicy(max_memory=64 << 20)
        manager = make_manager(sandbox=policy, **mode)
        assert memory_bound in manager.sandbox.layers
        result = await manager.spawn(run(path, timeout=20))
        assert result.error == error
        assert result.output == (None if error else "held")

    async def test_the_watch_keeps_up_with_busy_processes(self, make_manager, tool, monkeypatch):
        # Three processes that only spin, five that allocate 40 MiB each
        # under 128 MiB in all: the watch, which the spinners once starved,
        # must stop them near the budget, not at the 200 MiB they reach.
        monkeypatch.setattr(sandboxing, "memory_cgroups_usable", lambda: False)
        path = tool(
            """
            import os, time
            def main(args):
                for _ in range(3):
                    if os.fork() == 0:
                        while True:
                            pass
                for _ in range(4):
                    if os.fork() == 0:
                        break
                held = bytearray(40 << 20)
                for i in range(0, len(held), 4096):
                    held[i] = 1
                time.sleep(5)
                return "held"
            """
        )
        budget = 128 << 20
        manager = make_manager(sandbox=SandboxPolicy(max_memory=budget), warm=False)
        job = asyncio.ensure_future(manager.spawn(run(path, timeout=30)))
        peak = 0
        while not job.done():
            # Spawned: this process's children wait for the jobs, whose
            # namespaces' inits and first processes they forked.
            roots = tuple(job for child in _children(os.getpid()) for job in _children(child))
            processes = confinement.namespace_processes(roots)
            peak = max(peak, confinement.namespace_memory(processes))
            await asyncio.sleep(0.002)
        assert (await job).error == "Exceeded the memory limit of 128 MiB"
        assert peak <= budget + (32 << 20)

    async def test_watched_jobs_yield_the_cpu_to_their_watch(
        self, make_manager, tool, mode, memory_bound
    ):
        # Busy processes of a job at the priority of its watch left it so
        # little CPU that its looks came late, while they allocated.
        path = tool(
            """
            import json, os
            def main(args):
                def niceness():
                    try:
                        os.setpriority(os.PRIO_PROCESS, 0, 0)
                        raised = "raised"
                    except PermissionError:
                        raised = "kept"
                    return [os.getpriority(os.PRIO_PROCESS, 0), raised]
                read, write = os.pipe()
                if os.fork() == 0:
                    os.write(write, json.dumps(niceness()).encode())
                    os._exit(0)
                os.wait()
                return json.dumps([niceness(), json.loads(os.read(read, 100))])
            """
        )
        manager = make_manager(sandbox=SandboxPolicy(), **mode)
        result = await manager.spawn(run(path, timeout=20))
        assert result.error is None, result
        if memory_bound == "memory-watch":
            niceness = [confinement.WATCHED_JOB_NICENESS, "kept"]
        else:
            niceness = [0, "raised"]  # already at 0: setting it again is no raise
        assert json.loads(result.output) == [niceness, niceness]


WORLD_ENTRIES = sandboxing.world_entries
