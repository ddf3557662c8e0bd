// The C++ side of the module's coroutines. An operation that awaits is never
// written as a C++ coroutine itself: it is two plain functions around its one
// await (`CoroutineSteps`), and the runtime's single coroutine, `run_steps`,
// calls them. A suspended C++ frame holds references the cycle collector
// cannot see, so the rule "no Python reference in a C++ local across an
// await" is kept by construction: `prepare` returns before the suspension
// (its locals are gone), `finish` starts after it, and `run_steps` holds
// nothing across it. What `finish` needs besides the bound arguments,
// `prepare` stores in the keep-slots (args.hpp), which the coroutine object
// traverses.
#pragma once

#include "args.hpp"
#include "py.hpp"

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

// What a coroutine operation's preparation gives: its answer when the call
// ends before awaiting anything, otherwise the object to await.
struct Step {
    py::Ref answer;
    py::Ref awaitable;
};

// A coroutine operation. `prepare` runs when the coroutine first runs, up to
// the await, and keeps in `Args::keep` slots every value `finish` reads;
// `finish` gets the awaited object's value and gives the result. Both are
// plain functions: neither can hold a reference across the suspension.
struct CoroutineSteps {
    Step (*prepare)(Args) = nullptr;
    py::Ref (*finish)(Args, py::Ref awaited) = nullptr;
};

// The one C++ coroutine of the module: prepare, await, finish.
Task run_steps(CoroutineSteps steps, Args a);

// Prepares `co_await` of a Python object, as an await expression would:
// coroutines directly, otherwise through __await__; TypeError when the
// object cannot be awaited. Takes the awaitable over.
AwaitPython awaiting(py::Ref awaitable);

}  // namespace rt
