// A failed system call, thrown in C++: std::system_error with the errno and
// the step that failed. A module function's boundary raises it in Python as
// the OSError of that errno (py.hpp, os_error.hpp).
#pragma once

#include <cerrno>
#include <string>
#include <system_error>

namespace sys {

// Throws the current errno, naming the step that failed. errno is read first:
// making the exception allocates, and an allocation may change errno.
[[noreturn]] inline void fail(const char* what) {
    const int code = errno;
    throw std::system_error(code, std::generic_category(), what);
}
[[noreturn]] inline void fail(const std::string& what) {
    const int code = errno;
    throw std::system_error(code, std::generic_category(), what);
}

}  // namespace sys
