// The system-call filter of a job: a fixed list of calls tools never need is
// refused with EPERM; calls of other architectures (and x32) kill the process.
#pragma once

#include <linux/filter.h>
#include <vector>

namespace sandbox {

// True on architectures the filter knows; elsewhere jobs cannot be filtered.
bool seccomp_supported_architecture();

// Which part of the filter: a warm helper installs `helper` once, which its
// jobs inherit, and each job adds `job`, the few calls the helper itself
// still makes (leaving its session, mounting, new namespaces); a spawned
// worker installs `whole`. Splitting keeps the per-job program short: the
// kernel compiles every filter it is given.
enum class Stage { whole, helper, job };

// The filter program. `network` admits IP and netlink sockets; without it no
// socket can be created. socketpair(AF_UNIX, SOCK_STREAM) always works.
std::vector<sock_filter> build_filter(bool network, Stage stage);

// Installs the filter on the calling thread; needs no_new_privs set. Throws
// std::system_error.
void install_filter(bool network, Stage stage);

}  // namespace sandbox
