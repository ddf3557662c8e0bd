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
#include "common/py.hpp"

namespace rt {

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

}  // namespace rt
