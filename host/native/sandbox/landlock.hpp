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

}  // namespace sandbox
