// Coroutine objects: the Python coroutine protocol (send, throw, close,
// __await__, am_send) over the C++20 coroutine that runs an operation's steps (task.hpp).
#pragma once

#include "args.hpp"
#include "common/py.hpp"
#include "function.hpp"

namespace rt {

py::Ref make_coroutine_type(const char* type_name);
py::Ref make_coroutine_wrapper_type(const char* type_name);

// A new, not yet started coroutine object running `body` over `args`.
py::Ref make_coroutine(CoroutineBody body, BoundArgs&& args, py::Borrowed name,
                       py::Borrowed qualname, ResultCheck result_check);

}  // namespace rt
