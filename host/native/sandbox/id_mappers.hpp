// Mapping a user namespace onto the user's subordinate ids (/etc/subuid,
// /etc/subgid). Only the setuid helpers newuidmap and newgidmap may write
// such maps for an ordinary user, and only from outside the namespace: a
// process entering one has a child that stayed outside run them on its pid.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace sandbox {

// One line of an id map: `count` ids from `inside` in the namespace are the
// ids from `outside` in the namespace that holds it.
struct IdRange {
    unsigned long inside = 0;
    unsigned long outside = 0;
    unsigned long count = 0;
};

// The helpers' absolute paths and the lines each writes; with no helper the
// caller maps its own ids itself.
struct IdMappers {
    std::string newuidmap;
    std::string newgidmap;
    std::vector<IdRange> uids;
    std::vector<IdRange> gids;
    bool active() const noexcept { return !newuidmap.empty(); }
};

// unshare(CLONE_NEWUSER | flags) with the ids mapped by the helpers, which a
// child forked just before (still outside) runs on this process. Needs a
// single-threaded caller. Checks the maps it got; throws std::system_error
// naming the helper and quoting what it said: the caller must run no job.
void unshare_mapped_by_helpers(int flags, const IdMappers& mappers);

// Whether the helpers map a new user namespace here: "" if they do, else
// why not (a throw-away namespace held by a child is mapped and checked).
std::string probe_id_mappers(const IdMappers& mappers);

}  // namespace sandbox
