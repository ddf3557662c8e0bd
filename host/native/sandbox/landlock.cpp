#include "landlock.hpp"
#include "common/fd.hpp"
#include "common/system_error.hpp"

#include <cerrno>
#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sandbox {
namespace {

// Access rights of later ABI versions than the installed header knows.
constexpr std::uint64_t kFsTruncate = 1ULL << 14;              // ABI 3
constexpr std::uint64_t kFsIoctlDev = 1ULL << 15;              // ABI 5
constexpr std::uint64_t kNetBindTcp = 1ULL << 0;               // ABI 4
constexpr std::uint64_t kNetConnectTcp = 1ULL << 1;            // ABI 4
constexpr std::uint64_t kScopeAbstractUnixSocket = 1ULL << 0;  // ABI 6
constexpr std::uint64_t kScopeSignal = 1ULL << 1;              // ABI 6

// The ruleset attribute as of ABI 6; the kernel takes the size it is given.
struct RulesetAttr {
    std::uint64_t handled_access_fs;
    std::uint64_t handled_access_net;
    std::uint64_t scoped;
};

struct PathBeneathAttr {
    std::uint64_t allowed_access;
    std::int32_t parent_fd;
} __attribute__((packed));

constexpr std::uint64_t kRuleTypePathBeneath = 1;

constexpr std::uint64_t kFsAbi1 =
    LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
    LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
    LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
    LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
    LANDLOCK_ACCESS_FS_MAKE_SYM;

// Rights that apply to a file itself; a rule on a file may hold only these.
constexpr std::uint64_t kFileRights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                      LANDLOCK_ACCESS_FS_READ_FILE | kFsTruncate | kFsIoctlDev;

constexpr std::uint64_t kRead = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
constexpr std::uint64_t kExecute = kRead | LANDLOCK_ACCESS_FS_EXECUTE;
// Everything a scratch folder needs; not execute, sockets or device nodes.
constexpr std::uint64_t kWrite = kRead | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                 LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
                                 LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                                 LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_SYM |
                                 LANDLOCK_ACCESS_FS_REFER | kFsTruncate | kFsIoctlDev;

std::uint64_t handled_fs(int abi) {
    std::uint64_t rights = kFsAbi1;
    if (abi >= 2) rights |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3) rights |= kFsTruncate;
    if (abi >= 5) rights |= kFsIoctlDev;
    return rights;
}

using sys::fail;
using sys::Fd;

}  // namespace

int landlock_abi() {
    long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi < 0 ? 0 : static_cast<int>(abi);
}

int landlock_ruleset(const std::vector<PathGrant>& grants, bool network) {
    const int abi = landlock_abi();
    if (abi < 1) {
        errno = EOPNOTSUPP;
        fail("Landlock");
    }
    RulesetAttr attr{};
    attr.handled_access_fs = handled_fs(abi);
    std::size_t size = sizeof(std::uint64_t);
    if (abi >= 4) {
        attr.handled_access_net = network ? 0 : (kNetBindTcp | kNetConnectTcp);
        size = 2 * sizeof(std::uint64_t);
    }
    if (abi >= 6) {
        attr.scoped = kScopeAbstractUnixSocket | kScopeSignal;
        size = sizeof(attr);
    }
    Fd ruleset(static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, size, 0)));
    if (ruleset.get() < 0) fail("landlock_create_ruleset");
    landlock_add(ruleset.get(), grants);
    return ruleset.release();
}

void landlock_add(int ruleset, const std::vector<PathGrant>& grants) {
    const std::uint64_t handled = handled_fs(landlock_abi());
    for (const PathGrant& grant : grants) {
        std::uint64_t access = grant.kind == PathGrant::Kind::write     ? kWrite
                               : grant.kind == PathGrant::Kind::execute ? kExecute
                                                                        : kRead;
        struct stat st{};
        if (fstat(grant.fd, &st) != 0) fail("fstat of a granted path");
        if (!S_ISDIR(st.st_mode)) access &= kFileRights;
        access &= handled;
        PathBeneathAttr rule{access, grant.fd};
        if (syscall(SYS_landlock_add_rule, ruleset, kRuleTypePathBeneath, &rule, 0) != 0)
            fail("landlock_add_rule");
    }
}

void landlock_restrict_self(int ruleset) {
    if (syscall(SYS_landlock_restrict_self, ruleset, 0) != 0) fail("landlock_restrict_self");
}

void landlock_restrict(const std::vector<PathGrant>& grants, bool network) {
    Fd ruleset(landlock_ruleset(grants, network));
    landlock_restrict_self(ruleset.get());
}

}  // namespace sandbox
