#include "sequence.hpp"

#include "common/fd.hpp"
#include "common/system_error.hpp"
#include "id_mappers.hpp"
#include "landlock.hpp"
#include "process.hpp"
#include "seccomp_filter.hpp"

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <system_error>
#include <time.h>
#include <unistd.h>

namespace sandbox {
namespace {

using sys::fail;
using sys::Fd;

// What a spare makes ahead for its job: the scratch tmpfs (detached) and
// the Landlock ruleset of its world.
struct Ahead {
    int scratch = -1;
    int ruleset = -1;
};

Ahead& ahead() {
    static Ahead state;
    return state;
}

void write_file(const std::string& path, const std::string& text) {
    Fd file(open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (file.get() < 0 || write(file.get(), text.data(), text.size()) != ssize_t(text.size()))
        fail("writing an id map");
}

void enter_helper_namespaces(bool network, const IdMappers& mappers) {
    const int flags = CLONE_NEWNS | CLONE_NEWIPC | (network ? 0 : CLONE_NEWNET);
    if (geteuid() == 0) {
        if (setgroups(0, nullptr) != 0) fail("setgroups");
        if (unshare(flags) != 0) fail("unshare of the helper's namespaces");
        return;
    }
    if (mappers.active()) {
        // The user's own ids (its files, the store) and the job's subordinate
        // ones, mapped by the setuid helpers; never fewer, or the step fails.
        unshare_mapped_by_helpers(flags, mappers);
        return;
    }
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | flags) != 0) fail("unshare of the helper's namespaces");
    write_file("/proc/self/setgroups", "deny");
    write_file("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1");
    write_file("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
}

void enter_job_namespaces(int user_namespace, bool subordinate) {
    // The user's groups stay behind with the helper: a subordinate job
    // reads only what anyone may (groups can be dropped where the helpers
    // mapped a subordinate gid range, not where the user mapped itself).
    if (subordinate && setgroups(0, nullptr) != 0) fail("setgroups of the job's process");
    if (setns(user_namespace, CLONE_NEWUSER) != 0) fail("setns into the job's user namespace");
    close(user_namespace);  // the job keeps no handle on a namespace
    if (unshare(CLONE_NEWNS) != 0) fail("unshare of the job's mount namespace");
}

void become(uid_t uid, gid_t gid) {
    if (setresgid(gid, gid, gid) != 0) fail("setresgid to the job's gid");
    if (setresuid(uid, uid, uid) != 0) fail("setresuid to the job's uid");
}

void empty_stdin() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) fail("pipe for standard input");
    close(ends[1]);
    if (dup2(ends[0], 0) != 0) fail("dup2 of standard input");
    close(ends[0]);
}

// The world is all the job may read (and run); these it may also write.
int world_ruleset(const Description& d) {
    std::vector<PathGrant> grants;
    sys::FdList opened;
    auto grant = [&](const std::string& path, PathGrant::Kind kind) {
        opened.emplace_back(open(path.c_str(), O_PATH | O_CLOEXEC));
        if (opened.back().get() < 0) {
            if (errno == ENOENT) return;
            fail("open of a granted path");
        }
        grants.push_back({opened.back().get(), kind});
    };
    grant("/", PathGrant::Kind::execute);
    grant("/dev/shm", PathGrant::Kind::write);
    for (const WorldEntry& entry : d.world.entries) {
        if (entry.kind == WorldEntry::Kind::write || entry.kind == WorldEntry::Kind::device ||
            entry.kind == WorldEntry::Kind::tree)
            grant(entry.path, PathGrant::Kind::write);
    }
    return landlock_ruleset(grants, d.network);
}

void limit_processes(unsigned long count) {
    const rlimit limit{count, count};
    if (setrlimit(RLIMIT_NPROC, &limit) != 0) fail("setrlimit of the process cap");
}

void restrict_to_world_and(const std::string& scratch) {
    Fd ruleset(std::exchange(ahead().ruleset, -1));
    Fd folder(open(scratch.c_str(), O_PATH | O_CLOEXEC));
    if (folder.get() < 0) fail("open of the scratch folder");
    landlock_add(ruleset.get(), {{folder.get(), PathGrant::Kind::write}});
    landlock_restrict_self(ruleset.get());
}

void attach_own_files(const Description& d) {
    for (const auto& [path, fd] : d.own) attach_file(fd, path);
}

void attach_scratch(const std::string& path) {
    Fd scratch(std::exchange(ahead().scratch, -1));
    attach_folder(scratch.get(), path);
}

// The time each step took, read off a monotonic clock after each.
class Laps {
public:
    void operator()(const char* step) {
        const double now = seconds();
        taken_.push_back({step, now - last_});
        last_ = now;
    }
    std::vector<StepTime> taken() && { return std::move(taken_); }

private:
    static double seconds() {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
    }
    double last_ = seconds();
    std::vector<StepTime> taken_;
};

}  // namespace

std::vector<StepTime> confine(ConfinementStage stage, const Description& d) {
    Laps lap;
    if (stage == ConfinementStage::helper) {
        // Mount, IPC and (unless granted) network namespaces of the helper's own; not root, a
        // user namespace too, the job's subordinate ids mapped in it by newuidmap if it has some.
        enter_helper_namespaces(d.network, d.id_mappers);
        lap("helper namespaces");
        // Mounts made here never propagate back to the host.
        make_mounts_private();
        lap("mounts private");
        return std::move(lap).taken();
    }
    if (stage == ConfinementStage::spare) {
        // (Forked into the job's pid namespace, not its init.) The job's user namespace, where
        // only its ids are mapped, and a mount namespace of its own there (subordinate: without
        // the user's groups).
        enter_job_namespaces(d.user_namespace, d.id_mappers.active());
        lap("job namespaces");
        // Mounts made from here on never reach the helper's namespace.
        make_mounts_private();
        lap("mounts private");
        // What the world shows of the host, opened while its folders can be searched.
        const sys::FdList sources = open_world_sources(d.world);
        lap("world sources opened");
        // The job's ids: under a root host a uid that owns nothing (still capable in its ns).
        become(d.uid, d.gid);
        lap("job ids");
        // The job's root: only what the plan names, read-only, its own /dev, /dev/shm, /proc.
        build_world(d.world, sources);
        lap("world built, pivot_root");
        // Standard input at end-of-file, and no file of the host's.
        empty_stdin();
        lap("empty stdin");
        // The scratch tmpfs, owned by the job's uid, detached until the job names its folder.
        ahead().scratch = make_scratch(d.scratch_size);
        lap("scratch tmpfs");
        // The Landlock ruleset of the world, the scratch folder added once known.
        ahead().ruleset = world_ruleset(d);
        lap("Landlock ruleset");
        // No exec can raise privileges from here on.
        set_no_new_privileges();
        lap("no_new_privs");
        // The job's system-call filter compiled ahead; installed as the job's last step.
        job_filter(d.network);
        lap("filter compiled");
        return std::move(lap).taken();
    }
    // The job's own files (its tool.py), read-only, at their paths.
    attach_own_files(d);
    lap("own files attached");
    // Its scratch folder, read-write, at the path it was given.
    attach_scratch(d.scratch);
    lap("scratch attached");
    // Nothing is added to the root after this: read-only.
    seal_world();
    lap("root sealed");
    // The job starts in its scratch folder.
    if (chdir(d.scratch.c_str()) != 0) fail("chdir to the scratch folder");
    lap("chdir");
    // Its process cap, counted in its own user namespace.
    limit_processes(d.max_processes);
    lap("process cap");
    // An empty bounding set: no exec brings a capability back.
    drop_capability_bounds();
    lap("bounding set emptied");
    // No capability left, even in its own namespaces.
    drop_capabilities();
    lap("capabilities dropped");
    // Landlock: read and run the world, write the scratch folder, /dev/shm and granted paths.
    restrict_to_world_and(d.scratch);
    lap("Landlock");
    // The job's part of the filter, last: no more mounts, namespaces or sessions.
    install_job_filter(d.network);
    lap("filter installed");
    return std::move(lap).taken();
}

}  // namespace sandbox
