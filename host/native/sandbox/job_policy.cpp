#include "job_policy.hpp"

#include <cstdio>
#include <fcntl.h>
#include <linux/sched.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <utility>

namespace sandbox {
namespace {

struct Call {
    long number;
    const char* name;
};

// The tables of calls are laid out by hand, in groups with their reasons.
// clang-format off
#define CALL(name) Call{SYS_##name, #name}

// Allowed whatever the arguments: what CPython, its standard library and
// the programs tools run (sh, coreutils, git, file) were seen to call in
// bench/trace_job_calls.py (tests/golden/observed_job_calls.*.txt), plus
// the forms every architecture has of calls seen in their older x86-64 form
// (openat for open, ppoll for poll, epoll_pwait for epoll_wait ...), which
// is what the C library makes for them elsewhere. A few are kept for other
// reasons, said where they are.
constexpr Call kAllowed[] = {
    // Descriptors and files. Which files a job reaches is up to its view of
    // the file system, not to this filter.
    CALL(read), CALL(write), CALL(readv), CALL(writev), CALL(pread64), CALL(pwrite64),
    CALL(lseek), CALL(close), CALL(close_range), CALL(dup), CALL(dup3), CALL(flock),
    CALL(fsync), CALL(fdatasync), CALL(ftruncate), CALL(truncate), CALL(fallocate),
    CALL(fadvise64), CALL(sendfile), CALL(copy_file_range), CALL(pipe2), CALL(newfstatat),
    CALL(statx), CALL(statfs), CALL(fstatfs), CALL(getdents64), CALL(faccessat),
    CALL(faccessat2), CALL(readlinkat), CALL(mkdirat), CALL(unlinkat), CALL(renameat),
    CALL(renameat2), CALL(linkat), CALL(symlinkat), CALL(fchown), CALL(fchownat),
    CALL(utimensat), CALL(getcwd), CALL(chdir), CALL(fchdir), CALL(umask),
    // Opening, creating and changing the mode of files, and fcntl, are ruled below.
    // Reading extended attributes (cp -a lists them); setting them is refused below.
    CALL(getxattr), CALL(fgetxattr), CALL(listxattr), CALL(llistxattr), CALL(flistxattr),
    // Memory.
    CALL(brk), CALL(mmap), CALL(munmap), CALL(mprotect), CALL(mremap), CALL(madvise), CALL(msync),
    // Processes and threads of the job's own (clone is ruled below).
    CALL(execve), CALL(exit), CALL(exit_group), CALL(wait4), CALL(waitid), CALL(set_tid_address),
    CALL(set_robust_list), CALL(rseq), CALL(futex), CALL(sched_yield), CALL(sched_getaffinity),
    CALL(sched_getparam), CALL(sched_getscheduler), CALL(sched_get_priority_max),
    CALL(getrusage), CALL(prctl),
    // How the kernel resumes a sleep a signal handler interrupted; no
    // program calls it by name.
    CALL(restart_syscall),
    // Who the job is, and what it holds (capget: a job may check that it
    // holds no capability).
    CALL(getpid), CALL(getppid), CALL(gettid), CALL(getuid), CALL(geteuid), CALL(getgid),
    CALL(getegid), CALL(getresuid), CALL(getresgid), CALL(getgroups), CALL(getpgid),
    CALL(getsid), CALL(capget),
    // Signals. Which processes a job can signal is bounded by its Landlock
    // scope and its pid namespace (tkill: tgkill's older form, which some
    // language runtimes still use for their threads).
    CALL(kill), CALL(tkill), CALL(tgkill), CALL(pidfd_open), CALL(pidfd_send_signal),
    CALL(rt_sigaction), CALL(rt_sigprocmask), CALL(rt_sigreturn), CALL(rt_sigpending),
    CALL(rt_sigsuspend), CALL(rt_sigtimedwait), CALL(sigaltstack),
    // Time and timers (timer_delete: the timeout command ends by exiting
    // and leaves its timer to the kernel; another program deletes its own).
    CALL(clock_gettime), CALL(clock_nanosleep), CALL(getitimer), CALL(setitimer),
    CALL(timer_create), CALL(timer_settime), CALL(timer_delete), CALL(times),
    // Waiting on descriptors. No epoll: each descriptor an epoll instance
    // watches counts against a limit shared by every process of the uid
    // (all jobs under a root host, the user's own processes under its own
    // uid), which one job fills in seconds by watching one file under many
    // descriptor numbers. Refused below.
    CALL(pselect6), CALL(ppoll), CALL(eventfd2),
    // Using a socket the job may have (socket, socketpair and bind are ruled below).
    CALL(listen), CALL(accept4), CALL(connect), CALL(getsockname),
    CALL(getpeername), CALL(setsockopt), CALL(getsockopt), CALL(sendto), CALL(recvfrom),
    CALL(sendmsg), CALL(recvmsg), CALL(shutdown),
    // The machine, read only.
    CALL(uname), CALL(sysinfo), CALL(getrandom),
#if defined(__x86_64__)
    // The older calls x86-64 keeps, which its C library still makes.
    CALL(access), CALL(readlink), CALL(mkdir), CALL(rmdir), CALL(unlink), CALL(rename),
    CALL(link), CALL(symlink), CALL(chown),
    CALL(dup2), CALL(poll), CALL(vfork), CALL(alarm), CALL(getpgrp),
    CALL(arch_prctl),
#endif
};

// Refused with EPERM, which callers take for "not allowed here" rather than
// "not there": a job stays in the session and process group it was started
// in, so that killing the group ends all of it.
constexpr Call kRefused[] = {CALL(setsid), CALL(setpgid)};

// Setting extended attributes would carry data between jobs past their
// files. EOPNOTSUPP, "not on this file system", is what copying tools
// expect and step over (cp -a then sets plain modes, shutil.copystat
// skips the attributes); EPERM would make them fail.
constexpr Call kUnsupported[] = {
    CALL(setxattr),    CALL(lsetxattr),    CALL(fsetxattr),
    CALL(removexattr), CALL(lremovexattr), CALL(fremovexattr),
};

#undef CALL
// clang-format on

// clone() flags that would make a namespace or a child of the job's parent
// (which would outlive the job and land on whoever started it). CLONE_NEWTIME
// shares its bit with the exit signal in clone() and is not accepted there.
constexpr std::uint32_t kCloneRefused = CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS |
                                        CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET |
                                        CLONE_PARENT;
constexpr std::uint32_t kAll = ~std::uint32_t{0};

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%#x", value);
    return text;
}

ArgTest equals(unsigned index, const char* argument, std::uint32_t value, const char* name) {
    return {index, kAll, value, std::string(argument) + " == " + name};
}

ArgTest masked(unsigned index, const char* argument, std::uint32_t mask, std::uint32_t value,
               const std::string& name) {
    return {index, mask, value,
            std::string(argument) + " & " + hex(mask) + " == " + hex(value) + " (" + name + ")"};
}

// The calls that act on a process named by pid: allowed on the job's own
// (pid 0, which is what the C library and CPython pass for "this process"),
// so that a job cannot lower the limits, priority or CPUs of another. The
// job's own pid cannot be told from another in a filter shared by all its
// processes, so it is refused too.
Rule own_process_only(long number, const char* name) {
    return {number, name, {{{equals(0, "pid", 0, "0")}, Answer::allow}}, Answer::refuse};
}

// A terminal request refused: TIOCSTI types into the terminal, as if its
// reader had; TIOCLINUX pastes the console selection and more; TIOCSETD
// swaps the line discipline, whose kernel code is rarely reached otherwise.
Clause ioctl_refused(std::uint32_t request, const char* name) {
    return {{equals(1, "cmd", request, name)}, Answer::refuse};
}

// A file the job makes or changes never gets a set-user-id or set-group-id
// bit. In a folder granted writable, the host's root may own the job's
// files (an id-mapped mount): such a file would run as root on the host, and
// nosuid on the job's mount does not bind the host, which sees the mode
// itself. The kernel reads a mode as a umode_t, so its low word is all of it.
constexpr std::uint32_t kSetId = S_ISUID | S_ISGID;

ArgTest no_set_id(unsigned index) {
    return masked(index, "mode", kSetId, 0, "no S_ISUID, no S_ISGID");
}

Rule without_set_id(long number, const char* name, unsigned mode_index) {
    return {number, name, {{{no_set_id(mode_index)}, Answer::allow}}, Answer::refuse};
}

// The kernel's own bit for O_TMPFILE (the C library's O_TMPFILE adds
// O_DIRECTORY to it): with it or O_CREAT, open creates a file of the mode
// given; without either, it ignores the mode, which the caller may leave
// unset, so that garbage there must not refuse a plain open.
constexpr std::uint32_t kTmpFileBit = 020000000;
static_assert((O_TMPFILE & kTmpFileBit) != 0 && (O_CREAT & kTmpFileBit) == 0);

Rule opening(long number, const char* name, unsigned flags_index) {
    return {number,
            name,
            {{{masked(flags_index, "flags", O_CREAT | kTmpFileBit, 0, "creates nothing")},
              Answer::allow},
             {{no_set_id(flags_index + 1)}, Answer::allow}},
            Answer::refuse};
}

}  // namespace

std::vector<Rule> job_policy(bool network) {
    std::vector<Rule> rules;
    for (const Call& call : kAllowed) rules.push_back({call.number, call.name, {}, Answer::allow});
    for (const Call& call : kRefused) rules.push_back({call.number, call.name, {}, Answer::refuse});
    for (const Call& call : kUnsupported)
        rules.push_back({call.number, call.name, {}, Answer::not_supported});

    // No epoll (see the waiting calls above), said on purpose: CPython's
    // selectors take ENOSYS for an older kernel and choose poll.
    for (auto [number, name] :
         {Call{SYS_epoll_create1, "epoll_create1"}, Call{SYS_epoll_ctl, "epoll_ctl"},
          Call{SYS_epoll_pwait, "epoll_pwait"}, Call{SYS_epoll_pwait2, "epoll_pwait2"}})
        rules.push_back({number, name, {}, Answer::no_such_call});
#if defined(__x86_64__)
    rules.push_back({SYS_epoll_create, "epoll_create", {}, Answer::no_such_call});
    rules.push_back({SYS_epoll_wait, "epoll_wait", {}, Answer::no_such_call});
#endif

    // clone3 passes its flags in memory the filter cannot read: the C library
    // then falls back to clone, whose flags it can.
    rules.push_back({SYS_clone3, "clone3", {}, Answer::no_such_call});
    rules.push_back(
        {SYS_clone,
         "clone",
         {{{masked(0, "flags", kCloneRefused, 0, "no namespace, no CLONE_PARENT")}, Answer::allow}},
         Answer::refuse});

    rules.push_back(opening(SYS_openat, "openat", 2));
    rules.push_back(without_set_id(SYS_mknodat, "mknodat", 2));
    rules.push_back(without_set_id(SYS_fchmod, "fchmod", 1));
    rules.push_back(without_set_id(SYS_fchmodat, "fchmodat", 2));
#if defined(__x86_64__)
    rules.push_back(opening(SYS_open, "open", 1));
    rules.push_back(without_set_id(SYS_creat, "creat", 1));
    rules.push_back(without_set_id(SYS_chmod, "chmod", 1));
#endif
    // openat2 passes its mode in memory the filter cannot read, as clone3
    // its flags: the C library falls back to openat. fchmodat2 (the C
    // library's fchmodat with flags) and mknod stay unnamed, so ENOSYS: the
    // C library falls back to fchmodat and mknodat, whose modes it can read.
    rules.push_back({SYS_openat2, "openat2", {}, Answer::no_such_call});

    rules.push_back(own_process_only(SYS_prlimit64, "prlimit64"));
    rules.push_back(own_process_only(SYS_sched_setaffinity, "sched_setaffinity"));
    rules.push_back(own_process_only(SYS_sched_setscheduler, "sched_setscheduler"));
    rules.push_back(own_process_only(SYS_sched_setparam, "sched_setparam"));
    rules.push_back(own_process_only(SYS_sched_setattr, "sched_setattr"));
    // Priorities by process only: PRIO_PGRP and PRIO_USER reach others.
    for (auto [number, name] :
         {Call{SYS_getpriority, "getpriority"}, Call{SYS_setpriority, "setpriority"}}) {
        rules.push_back(
            {number,
             name,
             {{{equals(0, "which", PRIO_PROCESS, "PRIO_PROCESS"), equals(1, "who", 0, "0")},
               Answer::allow}},
             Answer::refuse});
    }

    // fcntl but two commands that reach past the job's own descriptors:
    // F_NOTIFY watches a folder of the host's (those of the world are) for
    // what others make there, as inotify would; F_SETLEASE, which an owner
    // of the file may take, holds back anyone else's next open of it for
    // writing by up to the machine's lease-break time.
    rules.push_back({SYS_fcntl,
                     "fcntl",
                     {{{equals(1, "cmd", F_NOTIFY, "F_NOTIFY")}, Answer::refuse},
                      {{equals(1, "cmd", F_SETLEASE, "F_SETLEASE")}, Answer::refuse}},
                     Answer::allow});

    rules.push_back({SYS_ioctl,
                     "ioctl",
                     {ioctl_refused(TIOCSTI, "TIOCSTI"), ioctl_refused(TIOCLINUX, "TIOCLINUX"),
                      ioctl_refused(TIOCSETD, "TIOCSETD")},
                     Answer::allow});

    // Sockets: IP with network, nothing without. A UNIX socket could reach the
    // host's sockets by path; netlink only tells the C library which address
    // families are configured, which it assumes all are when refused.
    Rule socket{SYS_socket, "socket", {}, Answer::refuse};
    if (network) {
        socket.clauses.push_back({{equals(0, "domain", AF_INET, "AF_INET")}, Answer::allow});
        socket.clauses.push_back({{equals(0, "domain", AF_INET6, "AF_INET6")}, Answer::allow});
    }
    rules.push_back(socket);
    // Without network the only sockets a job holds are connected pairs,
    // which never need a name; bound, one would take a name in the abstract
    // namespace the helper's network namespace shares with every other job.
    // With network, IP sockets need bind, and a pair's name would be taken in
    // the host's namespace, where others could not take it. The family is in
    // memory the filter cannot read; the address's length is not: an IP bind
    // gives the size of its address, so a pair can take no name but those
    // of the lengths of an IP address (and never one the kernel picks).
    Rule bind{SYS_bind, "bind", {}, Answer::refuse};
    if (network) {
        for (auto [size, name] : {std::pair{sizeof(sockaddr_in), "sizeof(sockaddr_in)"},
                                  std::pair{sizeof(sockaddr_in6), "sizeof(sockaddr_in6)"}})
            bind.clauses.push_back(
                {{equals(2, "addrlen", static_cast<std::uint32_t>(size), name)}, Answer::allow});
    }
    rules.push_back(bind);
    // A connected AF_UNIX stream pair only (asyncio's self-pipe,
    // multiprocessing's channels); a datagram pair could still send to a
    // named socket.
    const std::uint32_t type_mask = ~static_cast<std::uint32_t>(SOCK_NONBLOCK | SOCK_CLOEXEC);
    rules.push_back({SYS_socketpair,
                     "socketpair",
                     {{{equals(0, "domain", AF_UNIX, "AF_UNIX"),
                        masked(1, "type", type_mask, SOCK_STREAM, "SOCK_STREAM, any flags")},
                       Answer::allow}},
                     Answer::refuse});
    return rules;
}

}  // namespace sandbox
