"""What ordinary tools do, as tool bodies with the answer each must give.

Shared by the legitimate-tools test, which runs them through the sandbox, and
by bench/trace_job_calls.py, which traces them unconfined to find the system
calls a job's filter has to allow. Each body runs in its job's working folder
(a scratch folder of its own) and must give `expected` exactly.

`network` marks the tools that need a policy granting the network.
"""

from __future__ import annotations

import textwrap
from dataclasses import dataclass


@dataclass(frozen=True)
class LegitimateTool:
    name: str
    source: str
    expected: object
    network: bool = False


def _tool(name: str, source: str, expected: object, network: bool = False) -> LegitimateTool:
    return LegitimateTool(name, textwrap.dedent(source), expected, network)


TOOLS = [
    _tool(
        "proc_self",
        """
        import os
        def main(args):
            fields = dict(
                line.split(":", 1) for line in open("/proc/self/status").read().splitlines()
            )
            cpus = open("/proc/cpuinfo").read().count("processor")
            memory = open("/proc/meminfo").readline().split()[0]
            return [
                int(fields["Pid"]) == os.getpid(),
                "VmRSS" in fields,
                os.readlink("/proc/self/cwd") == os.getcwd(),
                cpus >= 1,
                memory,
                len(os.listdir("/proc/self/fd")) >= 3,
            ]
        """,
        [True, True, True, True, "MemTotal:", True],
    ),
    _tool(
        "multiprocessing_pool",
        """
        import multiprocessing
        def square(n):
            return n * n
        def main(args):
            with multiprocessing.Pool(2) as pool:
                return pool.map(square, range(6))
        """,
        [0, 1, 4, 9, 16, 25],
    ),
    _tool(
        "multiprocessing_queue",
        """
        import multiprocessing
        def produce(queue):
            for n in range(3):
                queue.put(n * 10)
        def main(args):
            queue = multiprocessing.Queue()
            child = multiprocessing.Process(target=produce, args=(queue,))
            child.start()
            got = [queue.get(timeout=10) for _ in range(3)]
            child.join(10)
            return [got, child.exitcode]
        """,
        [[0, 10, 20], 0],
    ),
    _tool(
        "process_pool_executor",
        """
        from concurrent.futures import ProcessPoolExecutor
        def cube(n):
            return n ** 3
        def main(args):
            with ProcessPoolExecutor(max_workers=2) as pool:
                return list(pool.map(cube, range(4)))
        """,
        [0, 1, 8, 27],
    ),
    _tool(
        "mimetypes",
        """
        import mimetypes
        def main(args):
            mimetypes.init()
            return [
                mimetypes.guess_type("report.pdf")[0],
                mimetypes.guess_type("data.json")[0],
                mimetypes.guess_extension("text/html"),
            ]
        """,
        ["application/pdf", "application/json", ".html"],
    ),
    _tool(
        "git_init",
        """
        import os, subprocess
        def main(args):
            subprocess.run(["git", "init", "-q", "repo"], check=True, capture_output=True)
            inside = subprocess.run(
                ["git", "-C", "repo", "rev-parse", "--is-inside-work-tree"],
                check=True, capture_output=True, text=True,
            ).stdout.strip()
            return [os.path.isdir("repo/.git/objects"), inside]
        """,
        [True, "true"],
    ),
    _tool(
        "file_command",
        """
        import subprocess
        def main(args):
            with open("notes.txt", "w") as out:
                out.write("plain words\\n")
            done = subprocess.run(
                ["file", "--brief", "--mime-type", "notes.txt"], capture_output=True, text=True
            )
            return [done.returncode, done.stdout.strip()]
        """,
        [0, "text/plain"],
    ),
    _tool(
        "pwd_getpass",
        """
        import getpass, grp, os, pwd
        def main(args):
            entry = pwd.getpwuid(os.getuid())
            group = grp.getgrgid(os.getgid())
            return [getpass.getuser() == entry.pw_name, bool(entry.pw_name), bool(group.gr_name)]
        """,
        [True, True, True],
    ),
    _tool(
        "sqlite3",
        """
        import sqlite3
        def main(args):
            with sqlite3.connect("notes.db") as db:
                db.execute("create table notes (id integer primary key, body text)")
                db.executemany("insert into notes (body) values (?)", [("a",), ("b",)])
            db = sqlite3.connect("notes.db")
            rows = db.execute("select id, body from notes order by id").fetchall()
            db.close()
            memory = sqlite3.connect(":memory:").execute("select 6 * 7").fetchone()[0]
            return [[list(row) for row in rows], memory]
        """,
        [[[1, "a"], [2, "b"]], 42],
    ),
    _tool(
        "subprocess",
        """
        import os, subprocess
        def main(args):
            shell = subprocess.run(
                ["/bin/sh", "-c", "echo $((6 * 7))"], capture_output=True, text=True
            ).stdout
            open("listed.txt", "w").close()
            listing = subprocess.run(["ls"], capture_output=True, text=True).stdout.split()
            status = subprocess.call(["sh", "-c", "exit 3"])
            return [shell, "listed.txt" in listing, status]
        """,
        ["42\n", True, 3],
    ),
    _tool(
        "threads",
        """
        import threading
        from concurrent.futures import ThreadPoolExecutor
        def main(args):
            lock, seen, ready = threading.Lock(), [], threading.Event()
            def work(n):
                with lock:
                    seen.append(n)
                ready.wait(5)
                return n * 2
            with ThreadPoolExecutor(max_workers=4) as pool:
                futures = [pool.submit(work, n) for n in range(8)]
                ready.set()
                doubled = [future.result(10) for future in futures]
            return [doubled, sorted(seen)]
        """,
        [[0, 2, 4, 6, 8, 10, 12, 14], [0, 1, 2, 3, 4, 5, 6, 7]],
    ),
    _tool(
        "asyncio",
        """
        import asyncio, socket
        async def echo_over_pair():
            loop = asyncio.get_running_loop()
            mine, theirs = socket.socketpair()
            mine.setblocking(False)
            theirs.setblocking(False)
            await loop.sock_sendall(mine, b"ping")
            got = await loop.sock_recv(theirs, 4)
            mine.close()
            theirs.close()
            return got.decode()
        async def run():
            proc = await asyncio.create_subprocess_exec(
                "echo", "child", stdout=asyncio.subprocess.PIPE
            )
            out, _ = await proc.communicate()
            slept = await asyncio.gather(*(asyncio.sleep(0.01, result=n) for n in range(3)))
            in_thread = await asyncio.to_thread(sum, [1, 2, 3])
            return [out.decode().strip(), proc.returncode, slept, in_thread, await echo_over_pair()]
        def main(args):
            return asyncio.run(run())
        """,
        ["child", 0, [0, 1, 2], 6, "ping"],
    ),
    _tool(
        "files_in_scratch",
        """
        import os, shutil, tempfile
        def main(args):
            os.makedirs("tree/a/b")
            for path in ("tree/top.txt", "tree/a/mid.txt", "tree/a/b/deep.txt"):
                with open(path, "w") as out:
                    out.write(path)
            os.symlink("top.txt", "tree/link")
            os.link("tree/top.txt", "tree/hard.txt")
            os.chmod("tree/top.txt", 0o600)
            os.utime("tree/top.txt", (1, 1))
            shutil.copytree("tree", "copy", symlinks=True)
            os.rename("copy/a/mid.txt", "copy/a/moved.txt")
            walked = sorted(os.path.join(d, f) for d, _, files in os.walk("copy") for f in files)
            shutil.rmtree("tree")
            with tempfile.TemporaryDirectory() as folder:
                with tempfile.NamedTemporaryFile(dir=folder, delete=False) as temp:
                    temp.write(b"temp")
                in_temp = open(temp.name, "rb").read()
            return [walked, os.readlink("copy/link"), in_temp.decode(), os.path.exists("tree")]
        """,
        [
            ["copy/a/b/deep.txt", "copy/a/moved.txt", "copy/hard.txt", "copy/link", "copy/top.txt"],
            "top.txt",
            "temp",
            False,
        ],
    ),
    _tool(
        "archives",
        """
        import gzip, io, tarfile, zipfile
        def main(args):
            with zipfile.ZipFile("a.zip", "w", zipfile.ZIP_DEFLATED) as archive:
                archive.writestr("inside.txt", "zipped " * 100)
            with zipfile.ZipFile("a.zip") as archive:
                zipped = archive.read("inside.txt").decode()[:6]
            with tarfile.open("a.tar.gz", "w:gz") as archive:
                archive.add("a.zip")
            with tarfile.open("a.tar.gz") as archive:
                names = archive.getnames()
                archive.extractall("out", filter="data")
            same = open("out/a.zip", "rb").read() == open("a.zip", "rb").read()
            return [zipped, names, same, gzip.decompress(gzip.compress(b"gz")).decode()]
        """,
        ["zipped", ["a.zip"], True, "gz"],
    ),
    _tool(
        "hashes_and_ssl",
        """
        import hashlib, hmac, secrets, ssl, uuid
        def main(args):
            context = ssl.create_default_context()
            return [
                hashlib.sha256(b"abc").hexdigest()[:16],
                hashlib.blake2b(b"abc", digest_size=8).hexdigest(),
                hashlib.pbkdf2_hmac("sha256", b"pw", b"salt", 1000).hex()[:8],
                hmac.new(b"k", b"m", "sha1").hexdigest()[:8],
                len(secrets.token_bytes(16)),
                uuid.uuid4().version,
                context.verify_mode == ssl.CERT_REQUIRED,
            ]
        """,
        ["ba7816bf8f01cfea", "d8bb14d833d59559", "0a382535", "772b71c8", 16, 4, True],
    ),
    _tool(
        "time_and_dates",
        """
        import datetime, time, zoneinfo
        def main(args):
            start, cpu = time.monotonic(), time.process_time()
            time.sleep(0.01)
            local = datetime.datetime.now().astimezone()
            utc = datetime.datetime(2024, 1, 1, 12, tzinfo=zoneinfo.ZoneInfo("UTC"))
            return [
                time.monotonic() - start >= 0.01,
                time.process_time() >= cpu,
                local.tzinfo is not None,
                utc.isoformat(),
                time.strftime("%Y", time.gmtime(0)),
            ]
        """,
        [True, True, True, "2024-01-01T12:00:00+00:00", "1970"],
    ),
    _tool(
        "signals",
        """
        import os, signal, time
        def main(args):
            caught = []
            signal.signal(signal.SIGUSR1, lambda number, frame: caught.append(number))
            os.kill(os.getpid(), signal.SIGUSR1)
            signal.signal(signal.SIGALRM, lambda number, frame: caught.append(number))
            signal.setitimer(signal.ITIMER_REAL, 0.01)
            time.sleep(0.5)
            signal.signal(signal.SIGALRM, signal.SIG_IGN)
            signal.alarm(30)
            armed = signal.getitimer(signal.ITIMER_REAL)[0] > 0
            signal.alarm(0)
            signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGUSR2])
            signal.raise_signal(signal.SIGUSR2)
            pending = signal.SIGUSR2 in signal.sigpending()
            signal.signal(signal.SIGUSR2, signal.SIG_IGN)
            signal.pthread_sigmask(signal.SIG_UNBLOCK, [signal.SIGUSR2])
            return [caught == [signal.SIGUSR1, signal.SIGALRM], pending, armed]
        """,
        [True, True, True],
    ),
    _tool(
        "select_poll_selectors",
        # Not epoll by name: a job has none (selectors choose poll there).
        """
        import os, select, selectors
        def main(args):
            read, write = os.pipe()
            os.write(write, b"x")
            ready = select.select([read], [], [], 1)[0] == [read]
            poller = select.poll()
            poller.register(read, select.POLLIN)
            polled = poller.poll(1000)[0][0] == read
            with selectors.DefaultSelector() as chosen:
                chosen.register(read, selectors.EVENT_READ)
                selected = len(chosen.select(1)) == 1
            return [ready, polled, selected, os.read(read, 1).decode()]
        """,
        [True, True, True, "x"],
    ),
    _tool(
        "own_limits_and_priority",
        """
        import os, resource
        def main(args):
            soft, hard = resource.getrlimit(resource.RLIMIT_CORE)
            resource.setrlimit(resource.RLIMIT_CORE, (0, hard))
            cpu = resource.prlimit(0, resource.RLIMIT_CPU)
            os.setpriority(os.PRIO_PROCESS, 0, os.getpriority(os.PRIO_PROCESS, 0) + 1)
            niced = os.nice(0)
            allowed = os.sched_getaffinity(0)
            os.sched_setaffinity(0, allowed)
            os.sched_setscheduler(0, os.SCHED_BATCH, os.sched_param(0))
            os.sched_setparam(0, os.sched_param(0))
            batch = os.sched_getscheduler(0) == os.SCHED_BATCH
            usage = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss > 0
            return [
                resource.getrlimit(resource.RLIMIT_CORE)[0], len(cpu), niced >= 1, usage,
                os.sched_getaffinity(0) == allowed, os.cpu_count() >= 1, batch,
            ]
        """,
        [0, 2, True, True, True, True, True],
    ),
    _tool(
        "stdlib_imports",
        """
        import importlib
        NAMES = (
            "argparse base64 bisect bz2 calendar collections contextlib copy csv ctypes dataclasses "
            "decimal difflib email.message email.parser enum fnmatch fractions functools glob "
            "gzip heapq html.parser http.client inspect io ipaddress itertools json locale "
            "logging lzma math operator pathlib pickle platform pprint queue random re shlex "
            "shutil socket statistics string struct textwrap typing unicodedata unittest "
            "urllib.parse urllib.request uuid warnings weakref xml.dom.minidom xml.etree.ElementTree "
            "zipfile zlib"
        ).split()
        def main(args):
            modules = [importlib.import_module(name) for name in NAMES]
            import json, re, platform, locale
            locale.setlocale(locale.LC_ALL, "C")
            text = json.dumps({"words": re.findall(r"\\w+", "one two three")})
            return [len(modules), json.loads(text)["words"], bool(platform.platform())]
        """,
        [60, ["one", "two", "three"], True],
    ),
    _tool(
        "os_level_calls",
        """
        import ctypes, fcntl, mmap, os, signal, socket, time
        from multiprocessing import reduction
        def main(args):
            libc = ctypes.CDLL(None)
            libc.prctl(15, b"renamed", 0, 0, 0)  # PR_SET_NAME, as setproctitle does
            name = ctypes.create_string_buffer(16)
            libc.prctl(16, name, 0, 0, 0)  # PR_GET_NAME
            fd = os.open("data.bin", os.O_RDWR | os.O_CREAT, 0o600)
            os.writev(fd, [b"abc", b"def"])
            os.pwrite(fd, b"X", 0)
            os.posix_fallocate(fd, 0, 4096)
            os.ftruncate(fd, 8)
            os.fsync(fd)
            fcntl.flock(fd, fcntl.LOCK_EX)
            os.lockf(fd, os.F_LOCK, 0)
            with mmap.mmap(fd, 8) as mapped:
                mapped[1:2] = b"Y"
                mapped.flush()
            copy = os.dup2(os.dup(fd), 100, inheritable=False)
            os.lseek(copy, 0, os.SEEK_SET)
            parts = [bytearray(3), bytearray(3)]
            os.readv(copy, parts)
            os.close(copy)
            out = os.open("copy.bin", os.O_WRONLY | os.O_CREAT, 0o600)
            os.copy_file_range(fd, out, 8, 0, 0)
            os.sendfile(out, fd, 0, 8)
            os.fchmod(out, 0o640)
            os.close(out)
            os.close(fd)
            os.truncate("copy.bin", 4)
            os.mkfifo("fifo")
            here = os.open(".", os.O_RDONLY)
            os.chdir("/")
            os.fchdir(here)
            os.close(here)
            os.umask(os.umask(0o022))
            left, right = socket.socketpair()
            reader, writer = os.pipe()
            reduction.send_handle(left, reader, os.getpid())
            passed = reduction.recv_handle(right)
            os.write(writer, b"via fd")
            through = os.read(passed, 6).decode()
            left.shutdown(socket.SHUT_RDWR)
            event = os.eventfd(0)
            os.eventfd_write(event, 3)
            counted = os.eventfd_read(event)
            signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGUSR1])
            signal.pidfd_send_signal(os.pidfd_open(os.getpid()), signal.SIGUSR1)
            waited = signal.sigtimedwait([signal.SIGUSR1], 1).si_signo == signal.SIGUSR1
            child = os.fork()
            if child == 0:
                os._exit(7)
            status = os.waitid(os.P_PID, child, os.WEXITED).si_status
            return [
                bytes(parts[0] + parts[1]) == b"XYcdef",
                os.path.getsize("copy.bin"),
                oct(os.stat("copy.bin").st_mode & 0o777),
                os.statvfs(".").f_bsize > 0,
                through, counted, waited, status,
                os.getpgrp() == os.getpgid(0), isinstance(os.getsid(0), int), len(os.getresuid() + os.getresgid()),
                os.times().elapsed > 0, time.clock_getres(time.CLOCK_MONOTONIC) > 0,
                os.sched_getscheduler(0) == os.SCHED_OTHER,
                os.sched_getparam(0).sched_priority == 0,
                os.sched_get_priority_max(os.SCHED_FIFO) > 0, os.sched_yield() is None,
                isinstance(os.getgroups(), list), name.value == b"renamed",
            ]
        """,
        [True, 4, "0o640", True, "via fd", 3, True, 7] + [True] * 2 + [6] + [True] * 8,
    ),
    _tool(
        "shell_utilities",
        """
        import subprocess
        SCRIPT = '''
        set -e
        mkdir -p a/b && printf 'b\\\\na\\\\nc\\\\n' > a/b/list.txt && touch -d @0 a/b/list.txt
        sort a/b/list.txt | head -n 2 | tr '\\\\n' ' '; echo
        grep -c . a/b/list.txt
        sed 's/a/A/' a/b/list.txt | tail -n 2 | wc -l
        cp -a a copied && mv copied moved && ln -s moved/b link && readlink link
        chmod 600 moved/b/list.txt && stat -c '%a %Y' moved/b/list.txt
        find . -name list.txt | sort | xargs -n1 dirname
        tar czf a.tgz a && tar tzf a.tgz | sort | head -n 1
        du -s a > /dev/null && df . > /dev/null && date -u -d @0 +%Y
        env -i PATH=/usr/bin:/bin timeout 5 sh -c 'echo timed'
        rm -rf a moved link && ls
        '''
        def main(args):
            done = subprocess.run(["sh", "-c", SCRIPT], capture_output=True, text=True)
            return [done.returncode, done.stdout.split(), done.stderr]
        """,
        [
            0,
            ["a", "b", "3", "2", "moved/b", "600", "0", "./a/b", "./moved/b", "a/", "1970"]
            + ["timed", "a.tgz"],
            "",
        ],
    ),
    _tool(
        "getaddrinfo_and_tcp",
        """
        import socket, threading
        def main(args):
            # AI_ADDRCONFIG asks netlink first, and assumes every family when refused.
            found = socket.getaddrinfo("127.0.0.1", 80, flags=socket.AI_ADDRCONFIG)
            names = {info[4][0] for info in found}
            server = socket.create_server(("127.0.0.1", 0))
            port = server.getsockname()[1]
            def answer():
                conn, _ = server.accept()
                with conn:
                    conn.sendall(conn.recv(16).upper())
            thread = threading.Thread(target=answer)
            thread.start()
            with socket.create_connection(("127.0.0.1", port), timeout=5) as client:
                client.sendall(b"hello")
                reply = client.recv(16)
            thread.join(5)
            server.close()
            udp = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
            udp.close()
            return [sorted(names), reply.decode()]
        """,
        [["127.0.0.1"], "HELLO"],
        network=True,
    ),
]
