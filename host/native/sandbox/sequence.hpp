// The confinement of a job, in one place and one order: every step a
// process takes on its way from the host to running tool code, by stage.
// Both modes run the same stages: a warm helper takes `helper` once and
// each child it forks ahead takes `spare` before its job comes and `job`
// once it has it; a spawned worker's launcher takes `helper` and its child
// takes `spare` and `job` at once.
#pragma once

#include "id_mappers.hpp"
#include "world.hpp"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace sandbox {

enum class ConfinementStage { helper, spare, job };

// What the stages need to know, filled in as far as the stage needs.
struct Description {
    // helper, spare, job
    bool network = false;
    // helper, spare: under an ordinary user with subordinate ids, the helpers
    // that map the helper's user namespace (its own ids and the job's)
    IdMappers id_mappers;
    // spare: the user namespace it joins (from make_job_init; the fd, like
    // those of the world's detached trees, is closed once used), the ids the
    // job runs under, its world, its scratch's size
    int user_namespace = -1;
    uid_t uid = 0;
    gid_t gid = 0;
    WorldPlan world;
    std::uint64_t scratch_size = 0;
    // job: where its scratch folder is (also its working folder), its own
    // files as detached mounts (path, fd), its process cap
    std::string scratch;
    std::vector<std::pair<std::string, int>> own;
    unsigned long max_processes = 1;
};

// How long one step took: what the benchmark prints per step.
struct StepTime {
    const char* step;
    double seconds;
};

// Takes the stage's steps in order and says how long each took. Throws
// std::system_error naming the step that failed: the caller must then not
// run the job.
std::vector<StepTime> confine(ConfinementStage stage, const Description& description);

// The kernel uid a job runs under when the host is root: one that owns no
// file and no process but the jobs'.
constexpr uid_t kJobIdUnderRoot = 2000000000;

}  // namespace sandbox
