// Entering a job forked by the warm helper, in one native call: what the
// helper prepared once (its granted paths, the job's compiled filter) is
// kept here, so that the child touches as few of the interpreter's objects
// (and so copies as few shared pages) as it can.
#pragma once

#include "landlock.hpp"

#include <string>
#include <vector>

namespace sandbox {

// In the helper, once: the base grants (opened fds it keeps) and the policy's network.
void prepare_jobs(std::vector<PathGrant> grants, bool network);

// In a child forked ahead of its job (a spare), what no job changes: its own
// user namespace (started by root, with nobody's real uid, since root's
// processes are never counted), no capabilities, no_new_privs, and a Landlock
// ruleset with the prepared grants, kept for enter_job. Throws
// std::system_error naming the step that failed.
void enter_spare();

// Once the child has its job (after enter_spare, or with it when not taken
// yet): the process cap, Landlock with the prepared ruleset plus `scratch`
// (read-write) and `own` (read), and last the job's system-call filter.
void enter_job(const std::string& scratch, const std::vector<std::string>& own,
               unsigned long max_processes);

}  // namespace sandbox
