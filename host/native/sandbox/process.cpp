#include "process.hpp"
#include "common/fd.hpp"
#include "common/system_error.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace sandbox {
namespace {

using sys::fail;
using sys::Fd;

int probe_child(void*) { return 0; }

// Waits until its parent closes the pipe: holds a user namespace open while
// the parent maps its ids and opens it.
int holding_child(void* pipe_ends) {
    const int* ends = static_cast<int*>(pipe_ends);
    close(ends[1]);  // its own copy of the write end, else the read never ends
    char byte = 0;
    while (read(ends[0], &byte, 1) < 0 && errno == EINTR) {
    }
    return 0;
}

// The mount API's constants, which the installed headers may lack.
constexpr unsigned kFsopenCloexec = 1;
constexpr unsigned kFsconfigSetString = 1;
constexpr unsigned kFsconfigCmdCreate = 6;
constexpr unsigned kFsmountCloexec = 1;
constexpr unsigned kMountAttrNosuid = 0x2;
constexpr unsigned kMountAttrNodev = 0x4;
constexpr unsigned kMountAttrIdmap = 0x100000;
constexpr unsigned kOpenTreeClone = 1;

std::string scratch_options_inodes(std::uint64_t size) {
    // Inodes are bounded too, at one per KiB: empty files cost the kernel
    // memory that no size counts.
    return std::to_string(std::max<std::uint64_t>(16, size / 1024));
}

}  // namespace

void drop_capability_bounds() {
    // Dropping from the bounding set needs CAP_SETPCAP, so this comes first.
    // EINVAL marks the first capability this kernel does not know.
    for (int cap = 0; cap <= 63; ++cap) {
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
            if (errno == EINVAL) break;
            fail("PR_CAPBSET_DROP");
        }
    }
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL)
        fail("PR_CAP_AMBIENT_CLEAR_ALL");
}

void drop_capabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> data{};
    if (syscall(SYS_capset, &header, data.data()) != 0) fail("capset");
}

void set_no_new_privileges() {
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) fail("PR_SET_NO_NEW_PRIVS");
}

int make_scratch(std::uint64_t size) {
    Fd context(static_cast<int>(syscall(SYS_fsopen, "tmpfs", kFsopenCloexec)));
    if (context.get() < 0) fail("fsopen of the job's scratch folder");
    const std::string bytes = std::to_string(size);
    const std::string inodes = scratch_options_inodes(size);
    const std::pair<const char*, const char*> options[] = {
        {"size", bytes.c_str()}, {"nr_inodes", inodes.c_str()}, {"mode", "0700"}};
    for (const auto& [key, value] : options) {
        if (syscall(SYS_fsconfig, context.get(), kFsconfigSetString, key, value, 0) != 0)
            fail("fsconfig of the job's scratch folder");
    }
    if (syscall(SYS_fsconfig, context.get(), kFsconfigCmdCreate, nullptr, nullptr, 0) != 0)
        fail("fsconfig of the job's scratch folder");
    const long mount_fd =
        syscall(SYS_fsmount, context.get(), kFsmountCloexec, kMountAttrNosuid | kMountAttrNodev);
    if (mount_fd < 0) fail("fsmount of the job's scratch folder");
    return static_cast<int>(mount_fd);
}

void write_id_maps(pid_t pid, uid_t uid, gid_t gid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    const std::pair<std::string, std::string> maps[] = {
        {"/setgroups", "deny"},
        {"/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1"},
        {"/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1"},
    };
    for (const auto& [name, text] : maps) {
        Fd file(open((proc + name).c_str(), O_WRONLY | O_CLOEXEC));
        if (file.get() < 0 || write(file.get(), text.data(), text.size()) != ssize_t(text.size()))
            fail("writing the job's id maps");
    }
}

HeldUserNamespace::HeldUserNamespace() {
    int hold[2];
    if (pipe2(hold, O_CLOEXEC) != 0) fail("pipe");
    Fd hold_read(hold[0]);
    hold_ = Fd(hold[1]);
    alignas(16) static thread_local std::array<char, 16384> stack;
    int ends[2] = {hold_read.get(), hold_.get()};
    pid_ = clone(holding_child, stack.data() + stack.size(), CLONE_NEWUSER | SIGCHLD, ends);
    if (pid_ < 0) fail("clone of a user namespace");
}

HeldUserNamespace::~HeldUserNamespace() {
    hold_.reset();  // the child's read ends, and so does the child
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
}

int idmapped_tree(const std::string& path, uid_t uid, gid_t gid) {
    // A user namespace mapping the owner 0 to the job's ids, held just long
    // enough to be opened.
    Fd userns;
    {
        HeldUserNamespace held;
        const std::string proc = "/proc/" + std::to_string(held.pid());
        const std::pair<std::string, std::string> maps[] = {
            {"/uid_map", "0 " + std::to_string(uid) + " 1"},
            {"/gid_map", "0 " + std::to_string(gid) + " 1"},
        };
        for (const auto& [name, text] : maps) {
            Fd file(open((proc + name).c_str(), O_WRONLY | O_CLOEXEC));
            if (file.get() < 0 ||
                write(file.get(), text.data(), text.size()) != ssize_t(text.size()))
                fail("writing the id-mapping namespace's maps");
        }
        userns = Fd(open((proc + "/ns/user").c_str(), O_RDONLY | O_CLOEXEC));
        if (userns.get() < 0) fail("open of the id-mapping namespace");
    }
    Fd tree(static_cast<int>(
        syscall(SYS_open_tree, AT_FDCWD, path.c_str(), kOpenTreeClone | O_CLOEXEC)));
    if (tree.get() < 0) fail("open_tree of a writable path");
    struct {
        std::uint64_t attr_set, attr_clr, propagation, userns_fd;
    } attr{kMountAttrIdmap | kMountAttrNosuid | kMountAttrNodev, 0, 0,
           static_cast<std::uint64_t>(userns.get())};
    if (syscall(SYS_mount_setattr, tree.get(), "", AT_EMPTY_PATH, &attr, sizeof attr) != 0)
        fail("mount_setattr of an id-mapped writable path");
    return tree.release();
}

namespace {

int job_init_main(void*) {
    // Nothing of its parent's stays open here: it must hold no channel.
    syscall(SYS_close_range, 3U, ~0U, 0U);
    if (prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0) _exit(1);
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child, nullptr);
    for (;;) {
        while (waitpid(-1, nullptr, WNOHANG | __WALL) > 0) {
        }
        sigwaitinfo(&child, nullptr);
    }
}

}  // namespace

JobInit make_job_init(uid_t uid, gid_t gid) {
    alignas(16) static std::array<char, 16384> stack;
    const pid_t pid = clone(job_init_main, stack.data() + stack.size(),
                            CLONE_NEWUSER | CLONE_NEWPID | SIGCHLD, nullptr);
    if (pid < 0) fail("clone of the job's pid namespace");
    try {
        write_id_maps(pid, uid, gid);
        const std::string proc = "/proc/" + std::to_string(pid) + "/ns/";
        Fd pid_namespace(open((proc + "pid").c_str(), O_RDONLY | O_CLOEXEC));
        Fd user_namespace(open((proc + "user").c_str(), O_RDONLY | O_CLOEXEC));
        if (pid_namespace.get() < 0 || user_namespace.get() < 0)
            fail("open of the job's namespaces");
        if (setns(pid_namespace.get(), CLONE_NEWPID) != 0)
            fail("setns into the job's pid namespace");
        return {pid, user_namespace.release()};
    } catch (...) {
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        throw;
    }
}

void make_mounts_private() {
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail("making mounts private");
}

int probe_namespaces(int flags) {
    // A small stack is enough: the child returns at once. clone() rather
    // than fork() so that nothing of the interpreter runs in the child.
    alignas(16) static thread_local std::array<char, 16384> stack;
    const pid_t pid = clone(probe_child, stack.data() + stack.size(), flags | SIGCHLD, nullptr);
    if (pid < 0) return errno;
    int status = 0;
    while (waitpid(pid, &status, __WALL) < 0 && errno == EINTR) {
    }
    return 0;
}

}  // namespace sandbox
