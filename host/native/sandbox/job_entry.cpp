#include "job_entry.hpp"

#include "process.hpp"
#include "seccomp_filter.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace sandbox {
namespace {

constexpr uid_t kNobody = 65534;

struct Prepared {
    std::vector<PathGrant> grants;
    bool network = false;
    // In a spare child, the ruleset with the grants above, built ahead of its job.
    int ruleset = -1;
};

Prepared& prepared() {
    static Prepared state;
    return state;
}

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

class OpenedPaths {
public:
    OpenedPaths() = default;
    OpenedPaths(const OpenedPaths&) = delete;
    OpenedPaths& operator=(const OpenedPaths&) = delete;
    ~OpenedPaths() {
        for (int fd : fds_) close(fd);
    }
    int open_path(const std::string& path) {
        const int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
        if (fd < 0) fail("open of a granted path");
        fds_.push_back(fd);
        return fd;
    }

private:
    std::vector<int> fds_;
};

}  // namespace

void prepare_jobs(std::vector<PathGrant> grants, bool network) {
    prepared().grants = std::move(grants);
    prepared().network = network;
    job_filter(network);  // compiled here once, not in every job
}

void enter_spare() {
    if (getuid() == 0 && setresuid(kNobody, 0, 0) != 0) fail("setresuid");
    if (unshare(CLONE_NEWUSER) != 0) fail("unshare of the job's user namespace");
    drop_capabilities();
    set_no_new_privileges();
    prepared().ruleset = landlock_ruleset(prepared().grants, prepared().network);
}

void enter_job(const std::string& scratch, const std::vector<std::string>& own,
               unsigned long max_processes) {
    if (prepared().ruleset < 0) enter_spare();
    // After the unshare: the new namespace's own limit comes from the one in
    // force when it was made, which must not count the other jobs.
    const rlimit limit{max_processes, max_processes};
    if (setrlimit(RLIMIT_NPROC, &limit) != 0) fail("setrlimit of the process cap");
    OpenedPaths opened;
    std::vector<PathGrant> grants;
    grants.push_back({opened.open_path(scratch), PathGrant::Kind::write});
    for (const std::string& path : own) grants.push_back({opened.open_path(path), PathGrant::Kind::read});
    const int ruleset = std::exchange(prepared().ruleset, -1);
    try {
        landlock_add(ruleset, grants);
        landlock_restrict_self(ruleset);
    } catch (...) {
        close(ruleset);
        throw;
    }
    close(ruleset);
    install_job_filter(prepared().network);  // last: the steps above make calls jobs may not
}

}  // namespace sandbox
