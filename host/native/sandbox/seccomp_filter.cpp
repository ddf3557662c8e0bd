#include "seccomp_filter.hpp"

#include <array>
#include <cerrno>
#include <cstddef>
#include <linux/audit.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <system_error>
#include <sys/ioctl.h>
#include <unistd.h>

namespace sandbox {
namespace {

#if defined(__x86_64__)
constexpr unsigned kArch = AUDIT_ARCH_X86_64;
constexpr unsigned kX32Bit = 0x40000000U;  // __X32_SYSCALL_BIT
#elif defined(__aarch64__)
constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
constexpr unsigned kX32Bit = 0;
#else
constexpr unsigned kArch = 0;
constexpr unsigned kX32Bit = 0;
#endif

// Calls refused outright: debugging and reading other processes, mounting and
// namespaces, keys, BPF and performance counters, kernel modules and images,
// io_uring (which would run calls past this filter), handles that bypass
// path checks, the clock and host name, System V and POSIX message-queue
// IPC, whose objects would outlive the job, and memory files, which no
// address-space limit counts.
constexpr std::array kRefused = {
    SYS_ptrace, SYS_process_vm_readv, SYS_process_vm_writev, SYS_pidfd_getfd, SYS_kcmp,
    SYS_pivot_root, SYS_chroot, SYS_setns,
    SYS_open_tree, SYS_fspick,
    SYS_mount_setattr, SYS_keyctl, SYS_add_key, SYS_request_key, SYS_bpf, SYS_perf_event_open,
    SYS_init_module, SYS_finit_module, SYS_delete_module, SYS_kexec_load, SYS_kexec_file_load,
    SYS_reboot, SYS_swapon, SYS_swapoff, SYS_acct, SYS_quotactl, SYS_userfaultfd,
    SYS_io_uring_setup, SYS_io_uring_enter, SYS_io_uring_register, SYS_open_by_handle_at,
    SYS_name_to_handle_at, SYS_syslog, SYS_settimeofday, SYS_clock_settime, SYS_clock_adjtime,
    SYS_adjtimex, SYS_sethostname, SYS_setdomainname, SYS_vhangup,
    SYS_shmget, SYS_shmat, SYS_shmctl, SYS_shmdt, SYS_msgget, SYS_msgsnd, SYS_msgrcv, SYS_msgctl,
    SYS_semget, SYS_semop, SYS_semctl, SYS_semtimedop, SYS_mq_open, SYS_mq_unlink,
    SYS_memfd_create,
#if defined(SYS_memfd_secret)
    SYS_memfd_secret,
#endif
#if defined(__x86_64__)
    SYS_iopl, SYS_ioperm, SYS_uselib, SYS_lookup_dcookie,
#endif
};

// What the warm helper still does for each job, refused to the job itself.
constexpr std::array kRefusedToJobs = {
    SYS_setsid, SYS_setpgid, SYS_mount, SYS_umount2, SYS_unshare,
    SYS_fsopen, SYS_fsconfig, SYS_fsmount, SYS_move_mount,
};

// clone() flags that would make a namespace (CLONE_NEWTIME shares its bit
// with the exit signal in clone() and is not accepted there).
constexpr unsigned kNamespaceFlags = CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS |
                                     CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET;

constexpr std::uint32_t kAllow = SECCOMP_RET_ALLOW;
constexpr std::uint32_t kRefuse = SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);
constexpr std::uint32_t kNoSys = SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA);
constexpr std::uint32_t kKill = SECCOMP_RET_KILL_PROCESS;

constexpr std::uint32_t kNrOffset = offsetof(seccomp_data, nr);
constexpr std::uint32_t kArchOffset = offsetof(seccomp_data, arch);
// The low 32 bits of an argument (little-endian on both architectures).
constexpr std::uint32_t arg(int i) { return offsetof(seccomp_data, args) + 8U * i; }

sock_filter stmt(std::uint16_t code, std::uint32_t k) { return BPF_STMT(code, k); }
sock_filter jump(std::uint16_t code, std::uint32_t k, std::uint8_t yes, std::uint8_t no) {
    return BPF_JUMP(code, k, yes, no);
}

// Appends "if A == value: return verdict" (A unchanged otherwise).
void return_if(std::vector<sock_filter>& p, std::uint32_t value, std::uint32_t verdict) {
    p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, value, 0, 1));
    p.push_back(stmt(BPF_RET | BPF_K, verdict));
}

// Appends "if A == call: refuse when argument `index` passes `test` (BPF_JEQ
// or BPF_JSET) against `value`, allow otherwise" (A unchanged for other calls).
void refuse_when_argument(std::vector<sock_filter>& p, std::uint32_t call, int index,
                          std::uint16_t test, std::uint32_t value) {
    p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 4));
    p.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, arg(index)));
    p.push_back(jump(BPF_JMP | test | BPF_K, value, 0, 1));
    p.push_back(stmt(BPF_RET | BPF_K, kRefuse));
    p.push_back(stmt(BPF_RET | BPF_K, kAllow));
}

}  // namespace

bool seccomp_supported_architecture() { return kArch != 0; }

std::vector<sock_filter> build_filter(bool network, Stage stage) {
    std::vector<sock_filter> p;
    // The architecture first: system-call numbers mean nothing without it.
    p.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, kArchOffset));
    p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0));
    p.push_back(stmt(BPF_RET | BPF_K, kKill));
    p.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, kNrOffset));
    if (kX32Bit != 0) {
        p.push_back(jump(BPF_JMP | BPF_JGE | BPF_K, kX32Bit, 0, 1));
        p.push_back(stmt(BPF_RET | BPF_K, kKill));
    }
    if (stage != Stage::helper) {
        for (long nr : kRefusedToJobs) return_if(p, static_cast<std::uint32_t>(nr), kRefuse);
    }
    if (stage == Stage::job) {
        p.push_back(stmt(BPF_RET | BPF_K, kAllow));
        return p;
    }
    for (long nr : kRefused) return_if(p, static_cast<std::uint32_t>(nr), kRefuse);
    // clone3 passes its flags in memory the filter cannot read: the C library
    // then falls back to clone, whose flags it can.
    return_if(p, SYS_clone3, kNoSys);

    // clone: no namespace flags.
    refuse_when_argument(p, SYS_clone, 0, BPF_JSET, kNamespaceFlags);

    // ioctl: no typing into the terminal.
    refuse_when_argument(p, SYS_ioctl, 1, BPF_JEQ, TIOCSTI);

    // socket: IP and netlink with network, nothing without. A UNIX socket
    // could reach the host's sockets by path, which Landlock does not cover.
    p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 0, network ? 6 : 1));
    if (network) {
        p.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, arg(0)));
        p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, AF_INET, 2, 0));
        p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, AF_INET6, 1, 0));
        p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, AF_NETLINK, 0, 1));
        p.push_back(stmt(BPF_RET | BPF_K, kAllow));
    }
    p.push_back(stmt(BPF_RET | BPF_K, kRefuse));

    // socketpair: a connected AF_UNIX stream pair only (asyncio's self-pipe);
    // a datagram pair could still send to a named socket.
    p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_socketpair, 0, 7));
    p.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, arg(0)));
    p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, AF_UNIX, 0, 4));
    p.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, arg(1)));
    p.push_back(stmt(BPF_ALU | BPF_AND | BPF_K, ~static_cast<std::uint32_t>(SOCK_NONBLOCK | SOCK_CLOEXEC)));
    p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, SOCK_STREAM, 0, 1));
    p.push_back(stmt(BPF_RET | BPF_K, kAllow));
    p.push_back(stmt(BPF_RET | BPF_K, kRefuse));

    p.push_back(stmt(BPF_RET | BPF_K, kAllow));
    return p;
}

void install_filter(bool network, Stage stage) {
    if (!seccomp_supported_architecture()) {
        errno = ENOSYS;
        throw std::system_error(errno, std::generic_category(), "seccomp on this architecture");
    }
    std::vector<sock_filter> program = build_filter(network, stage);
    sock_fprog fprog{static_cast<unsigned short>(program.size()), program.data()};
    if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &fprog) != 0)
        throw std::system_error(errno, std::generic_category(), "seccomp");
}

}  // namespace sandbox
