// The system-call filter of a job, compiled from the table in job_policy.cpp:
// the allowed calls (some on conditions on their arguments), EPERM for a
// few, ENOSYS for every other call, and death for calls of another
// architecture (and x32), whose numbers mean something else.
#pragma once

#include <linux/filter.h>
#include <string>
#include <vector>

namespace sandbox {

// True on architectures the filter knows; elsewhere jobs cannot be filtered.
bool seccomp_supported_architecture();

// The job's filter program, compiled once per process and kept, so that a
// job forked from a warm helper that compiled it only hands it to the
// kernel. `network` admits IP sockets.
const std::vector<sock_filter>& job_filter(bool network);

// The compiled policy as text, one line a call (name, number, conditions and
// answers), sorted by name, with the answer for every other call.
std::string describe_job_filter(bool network);

// Installs the job's filter on the calling thread; needs no_new_privs set.
// Meant as the last step of confining a job: only the calls the policy
// allows are possible after it. Throws std::system_error.
void install_job_filter(bool network);

}  // namespace sandbox
