// An owned file descriptor, closed when it goes out of scope.
#pragma once

#include <unistd.h>

namespace sandbox {

class Fd {
public:
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&&) = delete;
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const noexcept { return fd_; }
    // Hands the descriptor over; it is no longer closed here.
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

}  // namespace sandbox
