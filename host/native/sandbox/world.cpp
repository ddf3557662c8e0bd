#include "world.hpp"

#include "common/fd.hpp"
#include "common/system_error.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sandbox {
namespace {

// The mount API's constants and structure, which the installed headers may lack.
constexpr unsigned kOpenTreeClone = 1;
constexpr unsigned kOpenTreeCloexec = O_CLOEXEC;
constexpr unsigned kAtRecursive = 0x8000;
constexpr unsigned kMountAttrRdonly = 0x1;
constexpr unsigned kMountAttrNosuid = 0x2;
constexpr unsigned kMountAttrNodev = 0x4;
constexpr unsigned kMoveMountFEmptyPath = 0x4;
struct MountAttr {
    std::uint64_t attr_set;
    std::uint64_t attr_clr;
    std::uint64_t propagation;
    std::uint64_t userns_fd;
};

// Where the new root is built: over a folder every system has, in the
// job's own mount namespace, where hiding it costs nothing.
constexpr const char* kNew = "/tmp";

using sys::fail;
using sys::Fd;

void must(bool ok, const std::string& what) {
    if (!ok) fail(what);
}

// mkdir -p of the folders leading to `path` (not `path` itself).
void make_parents(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
            struct stat st{};
            if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) fail("mkdir of " + folder);
        }
    }
}

// An empty folder or file at `path` to mount on, unless one is there already.
void make_mount_point(const std::string& path, bool folder) {
    make_parents(path);
    const int made = folder ? mkdir(path.c_str(), 0755) : mknod(path.c_str(), S_IFREG | 0444, 0);
    if (made == 0 || errno == EEXIST) return;
    struct stat st{};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) == folder) return;
    fail("making the mount point " + path);
}

void set_attributes(const std::string& path, std::uint64_t attributes) {
    MountAttr attr{attributes, 0, 0, 0};
    must(syscall(SYS_mount_setattr, AT_FDCWD, path.c_str(), kAtRecursive, &attr, sizeof attr) == 0,
         "mount_setattr of " + path);
}

void place(const WorldEntry& entry, const Fd& source) {
    const std::string target = kNew + entry.path;
    if (entry.kind == WorldEntry::Kind::link) {
        make_parents(target);
        must(symlink(entry.target.c_str(), target.c_str()) == 0 || errno == EEXIST,
             "symlink " + entry.path);
        return;
    }
    if (entry.kind == WorldEntry::Kind::file) {
        make_parents(target);
        Fd file(open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        must(file.get() >= 0, "creating " + entry.path);
        const std::string& text = entry.target;
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t wrote = write(file.get(), text.data() + done, text.size() - done);
            must(wrote > 0, "writing " + entry.path);
            done += static_cast<std::size_t>(wrote);
        }
        return;
    }
    if (entry.kind == WorldEntry::Kind::tree) {
        const int tree = std::stoi(entry.target);
        struct stat st{};
        must(fstat(tree, &st) == 0, "stat of " + entry.path);
        make_mount_point(target, S_ISDIR(st.st_mode));
        must(syscall(SYS_move_mount, tree, "", AT_FDCWD, target.c_str(), kMoveMountFEmptyPath) == 0,
             "move_mount of " + entry.path);
        close(tree);  // attached now: the job keeps no handle on it
        return;
    }
    if (source.get() < 0) return;  // gone since the plan was made: nothing to show
    struct stat st{};
    must(fstat(source.get(), &st) == 0, "stat of " + entry.path);
    make_mount_point(target, S_ISDIR(st.st_mode));
    // Through the descriptor: its folders need not be searchable by the job's uid.
    const std::string from = "/proc/self/fd/" + std::to_string(source.get());
    must(mount(from.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0,
         "bind mount of " + entry.path);
    std::uint64_t attributes = kMountAttrNosuid;
    if (entry.kind != WorldEntry::Kind::device) attributes |= kMountAttrNodev;
    // Devices too: a read-only mount still reads and writes a device node,
    // but no longer changes the host's inode (utime with no times needs only
    // the write permission every user has on /dev/null).
    if (entry.kind == WorldEntry::Kind::read || entry.kind == WorldEntry::Kind::device)
        attributes |= kMountAttrRdonly;
    set_attributes(target, attributes);
}

void mount_fresh(const char* type, const std::string& path, unsigned long flags,
                 const std::string& options) {
    make_mount_point(path, true);
    must(mount(type, path.c_str(), type, flags, options.empty() ? nullptr : options.c_str()) == 0,
         std::string("mount of ") + type + " on " + path);
}

}  // namespace

sys::FdList open_world_sources(const WorldPlan& plan) {
    sys::FdList sources;
    for (const WorldEntry& entry : plan.entries) {
        const bool bound = entry.kind == WorldEntry::Kind::read ||
                           entry.kind == WorldEntry::Kind::write ||
                           entry.kind == WorldEntry::Kind::device;
        sources.emplace_back(bound ? open(entry.path.c_str(), O_PATH | O_CLOEXEC) : -1);
        if (bound && sources.back().get() < 0 && errno != ENOENT) fail("open of " + entry.path);
    }
    return sources;
}

void build_world(const WorldPlan& plan, const sys::FdList& sources) {
    // The job's root: a small tmpfs holding only folders, mount points and
    // the world's own files (passwd, group), made where nothing needs the
    // host's tree any more (the sources are open).
    mount_fresh("tmpfs", kNew, MS_NOSUID | MS_NODEV, "size=1m,nr_inodes=4096,mode=0755");
    for (std::size_t i = 0; i < plan.entries.size(); ++i) place(plan.entries[i], sources[i]);
    // A private /dev/shm (POSIX semaphores and shared memory), bounded.
    mount_fresh("tmpfs", std::string(kNew) + "/dev/shm", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                "size=" + std::to_string(plan.shm_size) + ",nr_inodes=1024,mode=01777");
    // /proc of the job's own pid namespace, showing only its processes.
    mount_fresh("proc", std::string(kNew) + "/proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, "");
    // Into the new root; the host's tree is stacked above it and detached.
    must(chdir(kNew) == 0, "chdir to the new root");
    must(syscall(SYS_pivot_root, ".", ".") == 0, "pivot_root to the new root");
    must(umount2(".", MNT_DETACH) == 0, "detaching the host's tree");
    must(chdir("/") == 0, "chdir / of the new root");
}

int detached_file(const std::string& path) {
    Fd tree(static_cast<int>(
        syscall(SYS_open_tree, AT_FDCWD, path.c_str(), kOpenTreeClone | kOpenTreeCloexec)));
    must(tree.get() >= 0, "open_tree of " + path);
    MountAttr attr{kMountAttrRdonly | kMountAttrNosuid | kMountAttrNodev, 0, 0, 0};
    must(syscall(SYS_mount_setattr, tree.get(), "", AT_EMPTY_PATH, &attr, sizeof attr) == 0,
         "mount_setattr of " + path);
    return tree.release();
}

namespace {
void attach(int mount_fd, const std::string& path, bool folder) {
    make_mount_point(path, folder);
    must(syscall(SYS_move_mount, mount_fd, "", AT_FDCWD, path.c_str(), kMoveMountFEmptyPath) == 0,
         "move_mount onto " + path);
}
}  // namespace

void attach_file(int mount_fd, const std::string& path) { attach(mount_fd, path, false); }
void attach_folder(int mount_fd, const std::string& path) { attach(mount_fd, path, true); }

void seal_world() {
    must(mount(nullptr, "/", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID | MS_NODEV,
               nullptr) == 0,
         "remounting the new root read-only");
}

}  // namespace sandbox
