// The C++ coroutine that runs every coroutine operation (steps.hpp says why
// operations are not coroutines themselves), and its awaiting of Python
// objects. Only the runtime includes this header.
#pragma once

#include "args.hpp"
#include "common/py.hpp"
#include "steps.hpp"

#include <coroutine>
#include <utility>

namespace rt {

struct Promise;

// Owns a suspended body; the coroutine object takes the handle over.
class Task {
public:
    using promise_type = Promise;
    using Handle = std::coroutine_handle<Promise>;

    explicit Task(Handle h) noexcept : handle_(h) {}
    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    Task& operator=(Task&&) = delete;
    ~Task() {
        if (handle_) handle_.destroy();
    }
    Handle release() noexcept { return std::exchange(handle_, {}); }

private:
    Handle handle_;
};

struct Promise {
    // The iterator the body is awaiting while it is suspended.
    py::Ref delegate;
    // What the awaited object delivered: a value, or the exception it raised.
    py::Ref sent_value;
    py::SavedError sent_error;
    // The body's outcome once it has finished.
    py::Ref result;
    py::SavedError error;

    Task get_return_object() noexcept { return Task(Task::Handle::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(py::Ref value) noexcept { result = std::move(value); }
    void unhandled_exception() noexcept;
};

// Awaiter for one Python awaitable; made by `awaiting`.
class AwaitPython {
public:
    explicit AwaitPython(py::Ref iterator) noexcept : iterator_(std::move(iterator)) {}
    bool await_ready() const noexcept { return false; }
    void await_suspend(Task::Handle h) noexcept {
        promise_ = &h.promise();
        promise_->delegate = std::move(iterator_);
    }
    // The awaited object's value; throws with its exception set otherwise.
    py::Ref await_resume();

private:
    py::Ref iterator_;
    Promise* promise_ = nullptr;
};

// The one C++ coroutine of the module: prepare, await, finish.
Task run_steps(CoroutineSteps steps, Args a);

// Prepares `co_await` of a Python object, as an await expression would:
// coroutines directly, otherwise through __await__; TypeError when the
// object cannot be awaited. Takes the awaitable over.
AwaitPython awaiting(py::Ref awaitable);

}  // namespace rt
