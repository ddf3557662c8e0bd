// Crash-safe writes of a tool's files: a temporary file of the writer's own,
// synced, then renamed over the final name (store.hpp says why).
#include "store.hpp"

#include "common/fd.hpp"
#include "common/os_error.hpp"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tc {

namespace {

// A temporary file is ".<final name>.<pid>.<16 hex digits>.tmp": the leading
// dot and the suffix keep it apart from the two names any reader opens, and
// pid and nonce make it one writer's own.
constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr std::string_view kFinalNames[] = {"tool.py", "metadata.json"};
constexpr std::size_t kNonceDigits = 16;
// A write takes milliseconds; a temporary file this old whose pid lives on
// belongs to a writer that died and whose pid was given to another process.
constexpr std::time_t kAbandonedAfterSeconds = 600;

// How often a create or delete looks again for the store's lock, and how long
// it waits for it at most before going on without.
constexpr std::chrono::nanoseconds kStoreLockPoll = std::chrono::milliseconds(1);
constexpr std::chrono::nanoseconds kStoreLockPatience = std::chrono::seconds(10);

struct DirCloser {
    void operator()(DIR* d) const noexcept { ::closedir(d); }
};

// Flushes the file or folder at `path` to the disk; 0 or the errno.
int sync_to_disk(const std::string& path, int flags) noexcept {
    int error = 0;
    Py_BEGIN_ALLOW_THREADS
        sys::Fd fd(::open(path.c_str(), flags | O_CLOEXEC));
        if (!fd || ::fsync(fd.get()) != 0) error = errno;
    Py_END_ALLOW_THREADS
    return error;
}

std::uint64_t nonce() noexcept {
    std::uint64_t value = 0;
    if (::getrandom(&value, sizeof value, 0) == static_cast<ssize_t>(sizeof value)) return value;
    // No entropy to be had: the clock and a count still differ per write.
    static std::uint64_t count = 0;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<std::uint64_t>(now.tv_nsec) << 20) ^
           static_cast<std::uint64_t>(now.tv_sec) ^ ++count;
}

py::Ref temporary_name(py::Borrowed final_name) {
    char digits[kNonceDigits + 1];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(nonce()));
    return py::Ref::steal(PyUnicode_FromFormat(".%U.%ld.%s.tmp", final_name.get(),
                                               static_cast<long>(::getpid()), digits));
}

// The writer's pid when `name` is a temporary file's name, else 0.
pid_t temporary_file_writer(std::string_view name) {
    if (name.size() < 2 || name.front() != '.' || !name.ends_with(kTemporarySuffix)) return 0;
    name.remove_prefix(1);
    name.remove_suffix(kTemporarySuffix.size());
    bool known = false;
    for (std::string_view final_name : kFinalNames) {
        if (name.size() > final_name.size() && name.starts_with(final_name) &&
            name[final_name.size()] == '.') {
            name.remove_prefix(final_name.size() + 1);
            known = true;
            break;
        }
    }
    if (!known) return 0;
    const std::size_t dot = name.find('.');
    if (dot == std::string_view::npos || name.size() - dot - 1 != kNonceDigits) return 0;
    for (char c : name.substr(dot + 1)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return 0;
    }
    pid_t pid = 0;
    auto [end, error] = std::from_chars(name.data(), name.data() + dot, pid);
    if (error != std::errc() || end != name.data() + dot || pid <= 0) return 0;
    return pid;
}

bool abandoned(int folder_fd, const char* name, pid_t writer) noexcept {
    if (::kill(writer, 0) != 0 && errno == ESRCH) return true;
    struct stat info{};
    if (::fstatat(folder_fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
    return std::time(nullptr) - info.st_mtime > kAbandonedAfterSeconds;
}

}  // namespace

void write_durably(py::Borrowed folder, py::Borrowed name, py::Borrowed text) {
    py::Ref temporary = join(folder, temporary_name(name));
    py::Ref final_path = join(folder, name);
    const std::string temporary_text = py::fs_path(temporary);
    try {
        write_text_utf8(temporary, text);
        if (int error = sync_to_disk(temporary_text, O_RDONLY))
            py::raise_os_error(error, temporary);
        const std::string final_text = py::fs_path(final_path);
        if (::rename(temporary_text.c_str(), final_text.c_str()) != 0)
            py::raise_os_error(errno, temporary, final_path);
    } catch (...) {
        ::unlink(temporary_text.c_str());
        throw;
    }
}

void sync_folder(py::Borrowed folder) {
    if (int error = sync_to_disk(py::fs_path(folder), O_RDONLY | O_DIRECTORY))
        py::raise_os_error(error, folder);
}

void remove_stale_temporaries(py::Borrowed folder) {
    const std::string folder_text = py::fs_path(folder);
    Py_BEGIN_ALLOW_THREADS
        // Best effort: a folder that cannot be read or a file that cannot be
        // removed is left for the write that follows (or the next create) to meet.
        if (std::unique_ptr<DIR, DirCloser> dir{::opendir(folder_text.c_str())}) {
            const int folder_fd = ::dirfd(dir.get());
            // Removing the entry just read is safe while reading the folder on.
            while (const dirent* entry = ::readdir(dir.get())) {
                const pid_t writer = temporary_file_writer(entry->d_name);
                if (writer != 0 && abandoned(folder_fd, entry->d_name, writer))
                    ::unlinkat(folder_fd, entry->d_name, 0);
            }
        }
    Py_END_ALLOW_THREADS
}

StoreLock::StoreLock(py::Borrowed tool_folder) {
    const std::string folder = py::fs_path(tool_folder);
    const std::size_t slash = folder.find_last_of('/');
    const std::string store =
        slash == std::string::npos ? std::string(".") : folder.substr(0, slash == 0 ? 1 : slash);
    Py_BEGIN_ALLOW_THREADS
        fd_.reset(::open(store.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        // A holder writes two small files, so the wait is short. It is bounded
        // all the same: a process forked while the lock was held keeps it as
        // long as it lives, and the operation then goes on under its retries.
        const timespec pause{0, kStoreLockPoll.count()};
        for (auto waited = std::chrono::nanoseconds(0);
             fd_ && ::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0; waited += kStoreLockPoll) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= kStoreLockPatience) {
                fd_.reset();
                break;
            }
            ::nanosleep(&pause, nullptr);
        }
    Py_END_ALLOW_THREADS
}

}  // namespace tc
