#include "id_mappers.hpp"
#include "process.hpp"

#include "common/fd.hpp"
#include "common/system_error.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sched.h>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <system_error>
#include <tuple>
#include <unistd.h>

namespace sandbox {
namespace {

using sys::fail;
using sys::Fd;

[[noreturn]] void refused(const std::string& why) {
    throw std::system_error(EPERM, std::generic_category(), why);
}

pid_t wait_for(pid_t pid, int& status) {
    pid_t done = 0;
    while ((done = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    return done;
}

// Everything a descriptor gives until end-of-file, at most `most` bytes kept.
std::string read_all(int fd, std::size_t most = 4096) {
    std::string text;
    std::array<char, 512> buffer{};
    for (;;) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(buffer.data(), std::min(static_cast<std::size_t>(got), most - text.size()));
        if (text.size() >= most) break;
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// Runs one helper on `pid` with an empty environment; "" when it mapped,
// else the helper's name, how it ended and what it wrote.
std::string run_helper(const std::string& program, pid_t pid, const std::vector<IdRange>& ranges) {
    std::vector<std::string> words{program, std::to_string(pid)};
    for (const IdRange& range : ranges) {
        for (unsigned long number : {range.inside, range.outside, range.count})
            words.push_back(std::to_string(number));
    }
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    char* no_environment[] = {nullptr};

    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) fail("pipe for an id mapper's messages");
    Fd said(ends[0]);
    pid_t child = -1;
    int spawned = 0;
    {
        Fd says(ends[1]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, says.get(), 1);
        posix_spawn_file_actions_adddup2(&actions, says.get(), 2);
        spawned =
            posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), no_environment);
        posix_spawn_file_actions_destroy(&actions);
    }
    if (spawned != 0) return program + ": " + std::strerror(spawned);
    const std::string text = read_all(said.get());
    int status = 0;
    if (wait_for(child, status) < 0) return program + ": " + std::strerror(errno);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
    std::ostringstream why;
    why << program;
    if (WIFEXITED(status))
        why << " exited with status " << WEXITSTATUS(status);
    else
        why << " ended by signal " << WTERMSIG(status);
    if (!text.empty()) why << ": " << text;
    return why.str();
}

// The lines of a /proc id map, as (inside, outside, count).
std::set<std::tuple<unsigned long, unsigned long, unsigned long>> read_map(
    const std::string& path) {
    std::ifstream file(path);
    std::set<std::tuple<unsigned long, unsigned long, unsigned long>> lines;
    unsigned long inside = 0, outside = 0, count = 0;
    while (file >> inside >> outside >> count) lines.emplace(inside, outside, count);
    return lines;
}

bool map_is(const std::string& path, const std::vector<IdRange>& ranges) {
    std::set<std::tuple<unsigned long, unsigned long, unsigned long>> wanted;
    for (const IdRange& range : ranges) wanted.emplace(range.inside, range.outside, range.count);
    return read_map(path) == wanted;
}

// "" once the helpers have mapped `pid`'s namespace as asked, else why not.
std::string mapping_refusal(pid_t pid, const IdMappers& mappers) {
    // Groups first: newgidmap also sets whether the namespace may call setgroups.
    std::string why = run_helper(mappers.newgidmap, pid, mappers.gids);
    if (why.empty()) why = run_helper(mappers.newuidmap, pid, mappers.uids);
    if (!why.empty()) return why;
    // Nothing less than asked: a helper that wrote another map fails the step.
    const std::string proc = "/proc/" + std::to_string(pid);
    if (!map_is(proc + "/uid_map", mappers.uids) || !map_is(proc + "/gid_map", mappers.gids))
        return "the subordinate id maps are not the ones asked for";
    return "";
}

}  // namespace

void unshare_mapped_by_helpers(int flags, const IdMappers& mappers) {
    int go[2];
    int told[2];
    if (pipe2(go, O_CLOEXEC) != 0) fail("pipe");
    Fd go_read(go[0]);
    Fd go_write(go[1]);
    if (pipe2(told, O_CLOEXEC) != 0) fail("pipe");
    Fd told_read(told[0]);
    Fd told_write(told[1]);
    const pid_t self = getpid();
    const pid_t child = fork();
    if (child < 0) fail("fork of the id mapper's caller");
    if (child == 0) {
        // Outside the namespace the parent is about to enter: wait until it
        // has, then map it. End-of-file means it gave up.
        close(go_write.release());
        close(told_read.release());
        char byte = 0;
        ssize_t got = 0;
        while ((got = read(go_read.get(), &byte, 1)) < 0 && errno == EINTR) {
        }
        if (got != 1) _exit(1);
        std::string why;
        try {
            why = mapping_refusal(self, mappers);
        } catch (const std::exception& error) {
            why = std::string("the id mappers' caller: ") + error.what();
        }
        if (!why.empty()) {
            const ssize_t written = write(told_write.get(), why.data(), why.size());
            _exit(written < 0 ? 2 : 1);
        }
        _exit(0);
    }
    close(go_read.release());
    close(told_write.release());
    int status = 0;
    if (unshare(CLONE_NEWUSER | flags) != 0) {
        const int error = errno;
        close(go_write.release());  // the child ends at end-of-file
        wait_for(child, status);
        errno = error;
        fail("unshare of the helper's namespaces");
    }
    const char go_ahead = 1;
    const bool sent = write(go_write.get(), &go_ahead, 1) == 1;
    close(go_write.release());
    const std::string why = read_all(told_read.get());
    wait_for(child, status);
    if (!sent || !why.empty() || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        refused(why.empty() ? "the id mappers' caller failed" : why);
}

std::string probe_id_mappers(const IdMappers& mappers) {
    try {
        HeldUserNamespace held;
        return mapping_refusal(held.pid(), mappers);
    } catch (const std::exception& error) {
        return error.what();
    }
}

}  // namespace sandbox
