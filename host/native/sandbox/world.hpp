// A job's world: the root it sees, built in its own mount namespace from
// read-only bind mounts of what the interpreter and common tools need, so
// that nothing else of the host exists in its view (the model of
// bubblewrap). Built ahead of the job in a spare child; the job's own files
// and scratch folder are attached once the job is known.
#pragma once

#include "common/fd.hpp"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sandbox {

// One entry of the new root, at the same path as on the host.
struct WorldEntry {
    enum class Kind {
        read,    // bound read-only, nosuid, nodev
        write,   // bound read-write, nosuid, nodev
        device,  // a character device bound read-write, nosuid
        link,    // a symbolic link to `target`
        file,    // a file of the world's own holding `target` as its text
        tree,    // a detached mount, its fd's number in `target`, attached read-write
    };
    std::string path;
    Kind kind;
    std::string target;
};

struct WorldPlan {
    std::vector<WorldEntry> entries;
    std::uint64_t shm_size = 0;  // bytes of the private /dev/shm
};

// The host's files the plan binds, opened (O_PATH) while the caller can
// still search their folders; -1 for entries that bind nothing or are gone.
sys::FdList open_world_sources(const WorldPlan& plan);

// In a fresh mount namespace (and the pid namespace whose /proc it mounts),
// as the ids the world's folders will belong to: makes the planned root
// from the opened sources and moves into it; the host's tree is detached.
// The root stays writable to this process until seal_world. Throws
// std::system_error naming the step.
void build_world(const WorldPlan& plan, const sys::FdList& sources);

// A detached, read-only, nosuid, nodev copy of the file at `path` of the
// caller's mount namespace (close-on-exec fd), for attach_file in a world.
int detached_file(const std::string& path);

// Attaches a mount made by detached_file (or a detached scratch tmpfs) at
// `path` in the world, making the folders on the way.
void attach_file(int mount_fd, const std::string& path);
void attach_folder(int mount_fd, const std::string& path);

// Makes the world's own root read-only: nothing is added to it after this.
void seal_world();

}  // namespace sandbox
