// OSError as the os module raises it: the subclass of its errno
// (FileNotFoundError, PermissionError, ...), made in one place.
#pragma once

#include "common/py.hpp"

#include <string>

namespace py {

// Sets OSError(code, message), as the subclass of `code`. Never throws: a
// failure to make the exception (no memory) leaves that error set instead.
void set_os_error(int code, const std::string& message) noexcept;

// Raises OSError(code, "<step>: <strerror(code)>") and throws ErrorAlreadySet.
[[noreturn]] void raise_os_error(int code, const std::string& step);

// Raises the OSError an os function raises for `code` on `path` (and `other`,
// the second path of a rename), and throws ErrorAlreadySet.
[[noreturn]] void raise_os_error(int code, Borrowed path, Borrowed other = nullptr);

}  // namespace py
