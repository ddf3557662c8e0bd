"""The warm helper's server: forks a fresh worker process per job from a loaded interpreter.

Starting an interpreter and importing the worker costs every spawned job more
than the job itself. The subprocess manager therefore starts this script once,

    python -I /abs/path/helper_server.py CONTROL_FD [--sandbox SETUP_JSON] WORKER_SCRIPT...

and it loads the worker scripts (and the modules they list in WARM_IMPORTS),
then forks one child per job. The helper never runs tool code: a child turns
itself into an ordinary worker process (own session and process group,
resource limits, minimal environment, fresh working directory, only its own
channels open) and calls the worker's `serve(COMMAND_FD, RESULT_FD)`.

Each child is forked one job ahead (a spare): it takes every step that does
not depend on the job (its session, the helper's channels closed, the
sandbox's job-independent steps, a rehearsal that copies the pages a job
writes) and then waits for the helper to hand it a request and its pipes.
Sandboxed, the spare first forks the job's process into a pid namespace of
its own and waits for it, ending as it ended (confinement.py); that process
takes the steps and the job.
A job therefore pays neither the fork nor those steps; the next spare is
forked once the job has been answered.

Before it forks anything, the helper has each worker rehearse its own paths
(`warm_up()`), so that children start with the caches and specialised code
that first calls build instead of building them again in every job.

The protocol with the manager is defined in helper_protocol.py. With
`--sandbox SETUP_JSON` the helper first moves into namespaces of its own
(confinement.py), and every child it forks confines itself before it runs
the worker: see sandbox.py.

Only this process may wait for its children, so only it kills a job's group:
it does so while the child is still unreaped, which keeps the group id from
being reused by an unrelated process. End-of-file on CONTROL_FD, which the
host's exit also causes, kills every job and ends the helper. Children die
with the helper too (PR_SET_PDEATHSIG), so a helper killed outright leaves no
job running on its own.
"""

from __future__ import annotations

import gc
import importlib.util
import json
import os
import resource
import select
import selectors
import signal
import socket
import sys
import types

# True for the type checker only: at run time this script imports nothing it
# does not use (`typing` alone would add milliseconds to the helper's start).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any

_prctl: Callable[..., int] | None
try:
    import ctypes

    _prctl = ctypes.CDLL(None, use_errno=True).prctl
except (ImportError, OSError, AttributeError):  # not glibc-like: no parent-death signal
    _prctl = None

_PR_SET_PDEATHSIG = 1
_PR_SET_NAME = 15
_MAXFD = os.sysconf("SC_OPEN_MAX")

# Nothing of ours is importable under -I: this folder's loader comes by path
# and loads the rest (see loader.py).
_spec = importlib.util.spec_from_file_location(
    "_velmor_loader", os.path.join(os.path.dirname(os.path.abspath(__file__)), "loader.py")
)
assert _spec is not None and _spec.loader is not None
loader = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(loader)

if TYPE_CHECKING:
    from velmor.core.inside import helper_protocol as protocol
else:
    protocol = loader.load_sibling("helper_protocol")


class HelperConfinement:
    """What the helper keeps for confining its jobs: the native sequence, the
    confinement module, and the description every job shares (its world)."""

    def __init__(self, setup: dict[str, Any]) -> None:
        self.setup = setup
        self.confinement = loader.load_sibling("confinement")
        self.native = loader.load_native(setup["native"])
        self.native.confine("helper", setup)


class _Spare:
    """A child forked ahead of its job, waiting on `channel` for it."""

    __slots__ = ("channel", "pid", "pidfd", "workers")

    def __init__(
        self, pid: int, pidfd: int, channel: socket.socket, workers: frozenset[str]
    ) -> None:
        self.pid = pid
        self.pidfd = pidfd
        self.channel: socket.socket | None = channel  # None once handed a job or let go
        self.workers = workers  # the workers it has loaded


class _Job:
    __slots__ = ("pid", "pidfd", "sock")

    def __init__(self, pid: int, pidfd: int, sock: socket.socket) -> None:
        self.pid = pid
        self.pidfd = pidfd
        self.sock: socket.socket | None = sock  # None once the manager has let go of the job


def load_worker(path: str) -> types.ModuleType:
    """Run a worker script as a module (not as __main__) and import what it asks for."""
    module: types.ModuleType = loader.load_worker(path, "_velmor_warm_worker")
    for name in getattr(module, "WARM_IMPORTS", ()):
        importlib.import_module(name)
    rehearse(module)
    return module


def rehearse(worker: types.ModuleType) -> None:
    """Run the worker's own warm-up and the environment swap a job makes."""
    warm_up = getattr(worker, "warm_up", None)
    if warm_up is not None:
        warm_up()
    saved = dict(os.environ)
    os.environ.clear()
    os.environ.update(saved)


class HelperServer:
    def __init__(
        self,
        control: socket.socket,
        workers: dict[str, types.ModuleType],
        sandbox: HelperConfinement | None = None,
        refusal: str | None = None,
    ) -> None:
        self.pid = os.getpid()
        # Why every job is refused (the sandbox could not be entered); no child is made then.
        self.refusal = refusal
        with open("/proc/self/comm", "rb") as comm:
            self.name = comm.read().rstrip(b"\n")  # a job's process name, a spare's aside
        self.sandbox = sandbox
        self.control = control
        self.workers = workers
        self.jobs: dict[int, _Job] = {}
        self.spare: _Spare | None = None
        self.idle: dict[int, _Spare] = {}  # spares not yet reaped that have no job
        self.closing = False
        self.selector = selectors.DefaultSelector()
        self.selector.register(control, selectors.EVENT_READ)

    def serve(self) -> None:
        """Handle jobs until the manager closes the control socket."""
        self.fork_spare()
        while True:
            for key, _ in self.selector.select():
                if key.fileobj is self.control:
                    if not self.accept():
                        self.shutdown()
                        return
                elif key.data[0] == "exit":
                    self.reap(key.data[1])
                elif key.data[0] == "spare":
                    self.reap_spare(key.data[1])
                else:
                    self.hear(key.data[1])

    # -- one job ------------------------------------------------------------

    def accept(self) -> bool:
        """Take one job request and start it; False when the manager has gone."""
        try:
            data, fds, flags, _ = socket.recv_fds(
                self.control, protocol.REQUEST_MAX, protocol.JOB_FDS, socket.MSG_CMSG_CLOEXEC
            )
        except OSError:
            return False
        if not data and not fds:
            return False
        if len(fds) != protocol.JOB_FDS or flags & (socket.MSG_CTRUNC | socket.MSG_TRUNC):
            for fd in fds:
                os.close(fd)
            return True
        sock = socket.socket(fileno=fds[0])
        pipes = fds[1:]
        try:
            try:
                if self.refusal is not None:
                    raise RuntimeError(self.refusal)
                request = protocol.JobRequest.from_json(data)
                if request.worker not in self.workers:
                    self.workers[request.worker] = load_worker(request.worker)
                if (request.sandbox is None) != (self.sandbox is None):
                    raise RuntimeError(
                        "this helper was started "
                        + ("with" if self.sandbox is not None else "without")
                        + " the sandbox"
                    )
                if self.sandbox is not None and request.sandbox is not None:
                    # The job's own files, as mounts its world attaches: here,
                    # where the host's paths can still be seen.
                    own = list(request.sandbox.own)
                    for _, fd in self.sandbox.confinement.own_mounts(self.sandbox.native, own):
                        pipes.append(fd)
                spare = self.hand_over(data, pipes, request.worker)
            except Exception as exc:
                _send(sock, protocol.REFUSED + f" {type(exc).__name__}: {exc}".encode())
                sock.close()
                return True
        finally:
            for fd in pipes:
                os.close(fd)
        job = _Job(spare.pid, spare.pidfd, sock)
        self.jobs[job.pid] = job
        self.selector.modify(job.pidfd, selectors.EVENT_READ, ("exit", job))
        self.selector.register(sock, selectors.EVENT_READ, ("message", job))
        if not _send(sock, protocol.STARTED + b" %d" % job.pid):
            self.let_go(job)
        return True

    def hand_over(self, data: bytes, pipes: list[int], worker: str) -> _Spare:
        """Give a job (its request and its pipes) to the spare child, making
        one first if there is none that has its worker loaded."""
        for _ in range(2):
            spare = self.spare
            if spare is None or worker not in spare.workers:
                self.let_go_spare()
                spare = self.fork_spare(required=True)
            assert spare is not None and spare.channel is not None
            try:
                sent = socket.send_fds(spare.channel, [data], pipes, socket.MSG_NOSIGNAL)
            except OSError:
                sent = -1
            if sent != len(data):
                self.let_go_spare()  # it died: the next one takes the job
                continue
            spare.channel.close()
            spare.channel = None
            self.spare = None
            del self.idle[spare.pid]
            return spare
        raise RuntimeError("no child could be made for the job")

    # -- made ahead ---------------------------------------------------------

    def fork_spare(self, required: bool = False) -> _Spare | None:
        """Fork the child the next job will run in; it takes every step that
        does not depend on the job now and then waits for the job."""
        if self.spare is not None or self.closing or self.refusal is not None:
            return self.spare
        try:
            # A stream pair: the only kind the helper's system-call filter allows.
            mine, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
            # Named from birth, so that no one sees a spare under a job's name.
            _set_name(protocol.SPARE_NAME)
            try:
                pid = os.fork()
            except BaseException:
                mine.close()
                theirs.close()
                raise
            finally:
                if os.getpid() == self.pid:
                    _set_name(self.name)
        except Exception:
            if required:
                raise
            return None  # tried again when a job comes
        if pid == 0:
            try:
                mine.close()
                self.run_spare(theirs)  # never returns
            finally:
                os._exit(protocol.STATUS_SETUP_FAILED)
        theirs.close()
        spare = _Spare(pid, os.pidfd_open(pid), mine, frozenset(self.workers))
        self.selector.register(spare.pidfd, selectors.EVENT_READ, ("spare", spare))
        self.spare = self.idle[pid] = spare
        return spare

    def let_go_spare(self) -> None:
        """Kill the spare; its exit is reaped as usual."""
        spare, self.spare = self.spare, None
        if spare is not None:
            kill(spare.pid)
            if spare.channel is not None:
                spare.channel.close()
                spare.channel = None

    def reap_spare(self, spare: _Spare) -> None:
        """A spare that ended before it had a job."""
        if self.spare is spare:
            self.let_go_spare()
        os.waitpid(spare.pid, 0)
        self.selector.unregister(spare.pidfd)
        os.close(spare.pidfd)
        del self.idle[spare.pid]

    def hear(self, job: _Job) -> None:
        if job.sock is None:
            return  # reaped earlier in the same round of events
        try:
            message = job.sock.recv(protocol.MESSAGE_MAX, socket.MSG_DONTWAIT)
        except BlockingIOError:
            return
        except OSError:
            message = b""
        if message == protocol.KILL:
            kill(job.pid)
        elif not message:
            self.let_go(job)

    def let_go(self, job: _Job) -> None:
        """The manager no longer waits for this job: end it; its exit is reaped as usual."""
        kill(job.pid)
        if job.sock is not None:
            self.selector.unregister(job.sock)
            job.sock.close()
            job.sock = None

    def reap(self, job: _Job) -> None:
        # The child has exited but is not reaped yet, so its group id is still
        # reserved: kill whatever it left behind in the group, then collect it.
        kill(job.pid)
        _, status = os.waitpid(job.pid, 0)
        self.selector.unregister(job.pidfd)
        os.close(job.pidfd)
        del self.jobs[job.pid]
        if job.sock is not None:
            _send(job.sock, protocol.EXITED + b" %d" % os.waitstatus_to_exitcode(status))
            self.selector.unregister(job.sock)
            _discard_unread(job.sock)
            job.sock.close()
            job.sock = None
        # The next job's child is made now, while the manager reads this
        # one's answer, rather than when the next job comes.
        self.fork_spare()

    def shutdown(self) -> None:
        self.closing = True
        self.let_go_spare()
        for spare in self.idle.values():
            kill(spare.pid)
        for job in list(self.jobs.values()):
            kill(job.pid)
        for job in list(self.jobs.values()):
            self.reap(job)
        for spare in list(self.idle.values()):
            self.reap_spare(spare)
        self.selector.close()
        self.control.close()

    # -- in the child -------------------------------------------------------

    def run_spare(self, channel: socket.socket) -> None:
        """In a fresh child: take the steps no job changes, wait for a job, run it."""
        problem = None
        setup = None
        try:
            if _prctl is not None:
                _prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
            if os.getppid() != self.pid:  # the helper died before the line above
                os._exit(protocol.STATUS_ORPHANED)
            # Nothing of the helper's stays open here: a job holding another
            # job's socket or pipes would keep that job from ever ending.
            self.selector.close()
            self.control.close()
            for other in self.jobs.values():
                os.close(other.pidfd)
                if other.sock is not None:
                    other.sock.close()
            for spare in self.idle.values():
                os.close(spare.pidfd)
            os.setsid()
            if self.sandbox is not None:
                # This process stays outside, waits for the job's process and
                # ends as it ended; only the job's process goes on from here,
                # in a pid namespace of its own and this process's group.
                sandbox = self.sandbox
                setup = sandbox.confinement.fork_job_process(
                    sandbox.native, sandbox.setup, lambda: _set_name(self.name)
                )
                self.sandbox.native.confine("spare", setup)
            # The pages a job writes are copied on its first write to each:
            # a rehearsal here copies most of them before the job comes; not
            # once the job is here, as when jobs come back to back.
            for worker in self.workers.values():
                if select.select([channel], [], [], 0)[0]:
                    break
                rehearse(worker)
        except BaseException as exc:
            problem = exc  # told on the job's stderr, once there is one
        try:
            data, pipes, _, _ = socket.recv_fds(
                channel,
                protocol.REQUEST_MAX,
                protocol.JOB_FDS - 1 + protocol.MAX_OWN_FILES,
                socket.MSG_CMSG_CLOEXEC,
            )
            if len(pipes) < protocol.JOB_FDS - 1:
                os._exit(protocol.STATUS_ORPHANED)  # let go before it had a job
            # The request's first part came with the pipes; the rest follows
            # up to the end of the stream, which the helper closes.
            parts = [data]
            while part := channel.recv(protocol.REQUEST_MAX):
                parts.append(part)
            channel.close()
            request = protocol.JobRequest.from_json(b"".join(parts))
            worker = self.workers[request.worker]
        except BaseException:
            os._exit(protocol.STATUS_SETUP_FAILED)
        if setup is not None and self.sandbox is not None:
            # The process that waits for this one takes the job's name.
            self.sandbox.confinement.job_started(setup)
        self.become_worker(worker, request, pipes, problem)

    def become_worker(
        self,
        worker: types.ModuleType,
        request: protocol.JobRequest,
        pipes: list[int],
        problem: BaseException | None,
    ) -> None:
        """Turn this spare child into a worker process for one job and run it."""
        command_fd, result_fd, stdout_fd, stderr_fd = pipes[: protocol.JOB_FDS - 1]
        own_fds = pipes[protocol.JOB_FDS - 1 :]
        try:
            _set_name(self.name)
            os.dup2(stdout_fd, 1)
            os.dup2(stderr_fd, 2)
            if problem is not None:
                raise problem
            os.environ.clear()
            os.environ.update(request.env)
            for which, soft, hard in request.limits:
                resource.setrlimit(which, (soft, hard))
            if request.sandbox is not None:
                assert self.sandbox is not None
                own = list(zip(request.sandbox.own, own_fds, strict=True))
                job = {**self.sandbox.setup, "scratch": request.sandbox.scratch, "own": own}
                # Into the job's world, its scratch folder the working one.
                self.sandbox.native.confine("job", job)
                self.sandbox.confinement.poll_for_selectors()
            else:
                os.chdir(request.cwd)
            # fd 0 is an empty pipe in the sandbox, else the helper's /dev/null:
            # either way the job's stdin is at end-of-file.
            _close_all_but((0, 1, 2, command_fd, result_fd))
            assert worker.__file__ is not None  # loaded from its file
            sys.argv = [worker.__file__]
        except BaseException as exc:
            _die(f"The warm helper could not prepare the worker process: {exc!r}")
        try:
            worker.serve(command_fd, result_fd)  # ends the process itself
        except BaseException as exc:
            _die(f"The worker failed outside the job: {exc!r}")
        _die("The worker returned instead of ending its process")


def kill(pid: int) -> None:
    """SIGKILL a job and its group; only safe while the job is unreaped.

    The job itself first: once SIGKILL is pending it can start nothing more,
    and before its setsid() it has no group of its own to kill.
    """
    for send in (os.kill, os.killpg):
        try:
            send(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def _set_name(name: bytes) -> None:
    if _prctl is not None:
        _prctl(_PR_SET_NAME, name, 0, 0, 0)


def _die(message: str) -> None:
    """End a child that cannot become a worker, saying why on its stderr."""
    try:
        os.write(2, message.encode("utf-8", "replace") + b"\n")
    finally:
        os._exit(protocol.STATUS_SETUP_FAILED)


def _send(sock: socket.socket, message: bytes) -> bool:
    """Tell the manager something without ever blocking; False if it is gone."""
    try:
        sock.send(message, socket.MSG_DONTWAIT | socket.MSG_NOSIGNAL)
    except OSError:
        return False
    return True


def _discard_unread(sock: socket.socket) -> None:
    """Read away what the manager sent and nobody read (a late "kill"): closing
    a socket with unread data makes the manager's next read fail with a reset
    instead of returning what was sent to it."""
    try:
        while sock.recv(64, socket.MSG_DONTWAIT):
            pass
    except OSError:
        pass


def _close_all_but(keep: tuple[int, ...]) -> None:
    low = 0
    for fd in sorted(set(keep)):
        # Never an empty range: os.closerange(n, n) may close everything from n up.
        if low < fd:
            os.closerange(low, fd)
        low = fd + 1
    os.closerange(low, max(low + 1, _MAXFD))


def main(argv: list[str]) -> None:
    if len(argv) < 2:
        print(
            f"usage: {os.path.basename(argv[0])} CONTROL_FD [--sandbox SETUP_JSON] WORKER_SCRIPT...",
            file=sys.stderr,
        )
        raise SystemExit(2)
    control = socket.socket(fileno=int(argv[1]))
    os.set_inheritable(control.fileno(), False)
    scripts = argv[2:]
    sandbox = None
    refusal = None
    if scripts[:1] == ["--sandbox"]:
        # Before any worker is loaded, so that nothing it sets up is shared
        # with the namespaces the helper leaves.
        try:
            sandbox = HelperConfinement(json.loads(scripts[1]))
        except Exception as exc:
            # Each job is told why and none runs, rather than the helper ending
            # with the reason on a stderr no one reads.
            refusal = f"its sandbox failed: {exc}"
        scripts = scripts[2:] if refusal is None else []
    workers = {path: load_worker(path) for path in scripts}
    helper = HelperServer(control, workers, sandbox, refusal)
    # What is loaded now stays put, so the collector does not touch (and copy)
    # the shared pages in every child.
    gc.collect()
    gc.freeze()
    helper.serve()


if __name__ == "__main__":
    main(sys.argv)
