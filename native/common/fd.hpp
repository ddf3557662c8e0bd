// Owned file descriptors: one (Fd) and a list of them (FdList), closed when
// their owner goes out of scope, on every path, errors included.
#pragma once

#include <unistd.h>

#include <utility>
#include <vector>

namespace sys {

// An owned descriptor; -1 (what a failed open returns) owns nothing.
class Fd {
public:
    Fd() noexcept = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Fd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Hands the descriptor over; it is no longer closed here.
    int release() noexcept { return std::exchange(fd_, -1); }
    // Closes the descriptor held, if any, and holds `fd` instead.
    void reset(int fd = -1) noexcept {
        const int old = std::exchange(fd_, fd);
        if (old >= 0) ::close(old);
    }

private:
    int fd_ = -1;
};

// Descriptors opened for one piece of work (a call's paths, a world's
// sources), closed together when it is done. An entry may hold -1 where a
// descriptor was not to be had, so that entries keep their positions.
using FdList = std::vector<Fd>;

}  // namespace sys
