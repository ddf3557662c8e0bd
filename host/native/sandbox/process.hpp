// Process-level steps of entering a job: capabilities, no_new_privs, the
// scratch mount, and probing which namespaces the kernel lets us make.
#pragma once

#include <cstdint>
#include <string>

namespace sandbox {

// Empties the bounding and ambient sets, so that no exec can bring a
// capability back; the warm helper does this once for all its jobs. Throws.
void drop_capability_bounds();

// Drops the effective, permitted and inheritable capabilities. Throws.
void drop_capabilities();

void set_no_new_privileges();

// Mounts a fresh tmpfs of `size` bytes and one inode per KiB on `path`
// (nosuid, nodev, mode 0700).
void mount_scratch(const std::string& path, std::uint64_t size);
void unmount(const std::string& path);

// The same tmpfs made ahead, not yet attached anywhere: the fd of a detached
// mount (close-on-exec), which attach_scratch moves onto `path` (the fd is
// still the caller's to close).
int make_scratch(std::uint64_t size);
void attach_scratch(int mount_fd, const std::string& path);

// Makes every mount of this mount namespace private, so that mounts made
// here never propagate back to the namespace it was copied from.
void make_mounts_private();

// 0 when a child can be cloned into new namespaces `flags`, else the errno.
int probe_namespaces(int flags);

}  // namespace sandbox
