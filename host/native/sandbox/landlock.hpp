// Landlock ruleset for one job. The installed kernel headers may predate the
// running kernel, so the constants of later ABI versions are defined here and
// each one is used only when the kernel reports an ABI that knows it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sandbox {

// One path the job keeps, already opened (O_PATH) by the caller.
struct PathGrant {
    int fd;
    enum class Kind { read, execute, write } kind;
};

// The Landlock ABI version of the running kernel; 0 when Landlock is off.
int landlock_abi();

// Restricts the calling thread (and what it starts) to `grants`; network
// false also refuses TCP bind and connect. Signals and abstract UNIX sockets
// are scoped to the job when the ABI has scoping. Throws std::system_error.
void landlock_restrict(const std::vector<PathGrant>& grants, bool network);

// The same in steps, so that a ruleset with the grants every job shares can
// be built before the job is known: the ruleset's fd (owned by the caller),
// more grants added to it, and the calling thread restricted by it.
int landlock_ruleset(const std::vector<PathGrant>& grants, bool network);
void landlock_add(int ruleset, const std::vector<PathGrant>& grants);
void landlock_restrict_self(int ruleset);

}  // namespace sandbox
