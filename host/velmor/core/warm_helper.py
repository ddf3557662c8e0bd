"""The warm helper: forks a fresh worker process per job from a loaded interpreter.

Starting an interpreter and importing the worker costs every spawned job more
than the job itself. The subprocess manager therefore starts this script once,

    python -I /abs/path/warm_helper.py CONTROL_FD WORKER_SCRIPT...

and it loads the worker scripts (and the modules they list in WARM_IMPORTS),
then forks one child per job. The helper never runs tool code: a child turns
itself into an ordinary worker process (own session and process group,
resource limits, minimal environment, fresh working directory, only its own
channels open) and calls the worker's `serve(COMMAND_FD, RESULT_FD)`.

Before it forks anything, the helper has each worker rehearse its own paths
(`warm_up()`), so that children start with the caches and specialised code
that first calls build instead of building them again in every job.

CONTROL_FD is an AF_UNIX SOCK_SEQPACKET socket. Each message on it is one job:
a JSON object {"worker", "cwd", "env", "limits"} carrying five descriptors,
the job's own seqpacket socket and the child's ends of the command, result,
stdout and stderr pipes. On the job socket the helper answers "started PID"
(or "refused REASON") and, once the child has exited and its group has been
killed, "exited STATUS" with the status as subprocess reports it. The manager
may send "kill" on it at any time; closing it also ends the job.

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
import selectors
import signal
import socket
import sys
import types

try:
    import ctypes

    _prctl = ctypes.CDLL(None, use_errno=True).prctl
except (ImportError, OSError, AttributeError):  # not glibc-like: no parent-death signal
    _prctl = None

_PR_SET_PDEATHSIG = 1
_JOB_FDS = 5  # job socket, command_r, result_w, stdout_w, stderr_w
_REQUEST_MAX = 1 << 16
_MAXFD = os.sysconf("SC_OPEN_MAX")
# Exit statuses of a child that did not get as far as the job.
_STATUS_SETUP_FAILED = 71
_STATUS_ORPHANED = 72


class _Job:
    __slots__ = ("pid", "pidfd", "sock")

    def __init__(self, pid: int, pidfd: int, sock: socket.socket) -> None:
        self.pid = pid
        self.pidfd = pidfd
        self.sock: socket.socket | None = sock  # None once the manager has let go of the job


def load_worker(path: str) -> types.ModuleType:
    """Run a worker script as a module (not as __main__) and import what it asks for."""
    spec = importlib.util.spec_from_file_location("_velmor_warm_worker", path)
    if spec is None or spec.loader is None:
        raise ImportError(f"cannot load a worker from {path}")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
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


class Helper:
    def __init__(self, control: socket.socket, workers: dict[str, types.ModuleType]) -> None:
        self.pid = os.getpid()
        self.control = control
        self.workers = workers
        self.jobs: dict[int, _Job] = {}
        self.selector = selectors.DefaultSelector()
        self.selector.register(control, selectors.EVENT_READ)

    def serve(self) -> None:
        """Handle jobs until the manager closes the control socket."""
        while True:
            for key, _ in self.selector.select():
                if key.fileobj is self.control:
                    if not self.accept():
                        self.shutdown()
                        return
                elif key.data[0] == "exit":
                    self.reap(key.data[1])
                else:
                    self.hear(key.data[1])

    # -- one job ------------------------------------------------------------

    def accept(self) -> bool:
        """Take one job request and start it; False when the manager has gone."""
        try:
            data, fds, flags, _ = socket.recv_fds(
                self.control, _REQUEST_MAX, _JOB_FDS, socket.MSG_CMSG_CLOEXEC
            )
        except OSError:
            return False
        if not data and not fds:
            return False
        if len(fds) != _JOB_FDS or flags & (socket.MSG_CTRUNC | socket.MSG_TRUNC):
            for fd in fds:
                os.close(fd)
            return True
        sock = socket.socket(fileno=fds[0])
        pipes = fds[1:]
        try:
            try:
                request = json.loads(data)
                worker = self.workers.get(request["worker"])
                if worker is None:
                    worker = self.workers[request["worker"]] = load_worker(request["worker"])
                pid = os.fork()
            except Exception as exc:
                _send(sock, f"refused {type(exc).__name__}: {exc}".encode())
                sock.close()
                return True
            if pid == 0:
                self.become_worker(worker, request, pipes, sock)  # never returns
        finally:
            for fd in pipes:
                os.close(fd)
        job = _Job(pid, os.pidfd_open(pid), sock)
        self.jobs[pid] = job
        self.selector.register(job.pidfd, selectors.EVENT_READ, ("exit", job))
        self.selector.register(sock, selectors.EVENT_READ, ("message", job))
        if not _send(sock, b"started %d" % pid):
            self.let_go(job)
        return True

    def hear(self, job: _Job) -> None:
        if job.sock is None:
            return  # reaped earlier in the same round of events
        try:
            message = job.sock.recv(64, socket.MSG_DONTWAIT)
        except BlockingIOError:
            return
        except OSError:
            message = b""
        if message == b"kill":
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
            _send(job.sock, b"exited %d" % os.waitstatus_to_exitcode(status))
            self.selector.unregister(job.sock)
            _discard_unread(job.sock)
            job.sock.close()
            job.sock = None

    def shutdown(self) -> None:
        for job in list(self.jobs.values()):
            kill(job.pid)
        for job in list(self.jobs.values()):
            self.reap(job)
        self.selector.close()
        self.control.close()

    # -- in the child -------------------------------------------------------

    def become_worker(
        self, worker: types.ModuleType, request: dict, pipes: list[int], sock: socket.socket
    ) -> None:
        """Turn this fresh child into a worker process for one job and run it."""
        command_fd, result_fd, stdout_fd, stderr_fd = pipes
        try:
            if _prctl is not None:
                _prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
            if os.getppid() != self.pid:  # the helper died before the line above
                os._exit(_STATUS_ORPHANED)
            os.setsid()
            # Nothing of the helper's stays open here: a job holding another
            # job's socket or pipes would keep that job from ever ending.
            self.selector.close()
            self.control.close()
            sock.close()
            for other in self.jobs.values():
                os.close(other.pidfd)
                if other.sock is not None:
                    other.sock.close()
            os.dup2(stdout_fd, 1)
            os.dup2(stderr_fd, 2)
            # fd 0 is the helper's /dev/null: the job's stdin is at end-of-file.
            _close_all_but((0, 1, 2, command_fd, result_fd))
            os.chdir(request["cwd"])
            os.environ.clear()
            os.environ.update(request["env"])
            for which, soft, hard in request["limits"]:
                resource.setrlimit(which, (soft, hard))
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


def _die(message: str) -> None:
    """End a child that cannot become a worker, saying why on its stderr."""
    try:
        os.write(2, message.encode("utf-8", "replace") + b"\n")
    finally:
        os._exit(_STATUS_SETUP_FAILED)


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
        print(f"usage: {os.path.basename(argv[0])} CONTROL_FD WORKER_SCRIPT...", file=sys.stderr)
        raise SystemExit(2)
    control = socket.socket(fileno=int(argv[1]))
    os.set_inheritable(control.fileno(), False)
    workers = {path: load_worker(path) for path in argv[2:]}
    helper = Helper(control, workers)
    # What is loaded now stays put, so the collector does not touch (and copy)
    # the shared pages in every child.
    gc.collect()
    gc.freeze()
    helper.serve()


if __name__ == "__main__":
    main(sys.argv)
