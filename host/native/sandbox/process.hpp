// Process-level steps of entering a job: capabilities, no_new_privs, the
// scratch mount, and probing which namespaces the kernel lets us make.
#pragma once

#include "common/fd.hpp"

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace sandbox {

// Empties the bounding and ambient sets, so that no exec can bring a
// capability back; the warm helper does this once for all its jobs. Throws.
void drop_capability_bounds();

// Drops the effective, permitted and inheritable capabilities. Throws.
void drop_capabilities();

void set_no_new_privileges();

// A fresh tmpfs of `size` bytes and one inode per KiB (nosuid, nodev, mode
// 0700, owned by the caller), made and not attached anywhere: the fd of the
// detached mount (close-on-exec).
int make_scratch(std::uint64_t size);

// Maps `uid` and `gid` (ids of the caller's namespace) to themselves in the
// user namespace of child `pid`, the only ids it has; setgroups is denied.
void write_id_maps(pid_t pid, uid_t uid, gid_t gid);

// The init of a job's pid namespace (pid 1 there, a child of the caller
// that runs no Python: it reaps orphans and dies with its parent), in a new
// user namespace with `uid` and `gid` mapped to themselves; the caller's
// next children are made in that pid namespace (setns), where the job's
// process joins `user_namespace` (an fd the caller closes).
struct JobInit {
    pid_t pid;
    int user_namespace;
};
JobInit make_job_init(uid_t uid, gid_t gid);

// A detached copy (close-on-exec fd) of the mount of `path`, nosuid, nodev,
// on which the owner 0 shows as (and files made there are stored as 0 for)
// uid and gid: what a root host lets a job that runs as uid write. Needs
// CAP_SYS_ADMIN over the file system's namespace.
int idmapped_tree(const std::string& path, uid_t uid, gid_t gid);

// A child in a new user namespace of its own that only waits, so that the
// caller can write its id maps and open its namespace. Leaving the scope
// lets the child end and reaps it. Throws when the child cannot be made.
class HeldUserNamespace {
public:
    HeldUserNamespace();
    ~HeldUserNamespace();
    HeldUserNamespace(const HeldUserNamespace&) = delete;
    HeldUserNamespace& operator=(const HeldUserNamespace&) = delete;

    pid_t pid() const { return pid_; }

private:
    sys::Fd hold_;  // the write end of the pipe the child waits on
    pid_t pid_ = -1;
};

// Makes every mount of this mount namespace private, so that mounts made
// here never propagate back to the namespace it was copied from.
void make_mounts_private();

// 0 when a child can be cloned into new namespaces `flags`, else the errno.
int probe_namespaces(int flags);

}  // namespace sandbox
