// Bound call arguments: what the argument binder hands to a function body.
#pragma once

#include "py.hpp"

#include <array>
#include <cstddef>

namespace tc {

// The most named parameters (self included) that any member function has.
inline constexpr std::size_t kMaxParams = 6;
// The most values a coroutine body keeps across an await.
inline constexpr std::size_t kMaxKept = 5;

// Owning storage of one call's bound arguments, in parameter order, plus the
// collected `**kwargs` dict for functions that take one. For a coroutine it
// lives in the coroutine object, whose GC traversal visits all of it.
struct BoundArgs {
    std::array<py::Ref, kMaxParams> values;
    py::Ref kwargs;
    // Values a coroutine body holds across an await. A reference held only by
    // a C++ local of a suspended body is invisible to the cycle collector, so
    // bodies keep such values here instead.
    std::array<py::Ref, kMaxKept> kept;
};

// A view of bound arguments; valid while the storage lives.
class Args {
public:
    explicit Args(BoundArgs& bound) noexcept : bound_(&bound) {}
    PyObject* operator[](std::size_t i) const noexcept { return bound_->values[i].get(); }
    PyObject* self() const noexcept { return (*this)[0]; }
    PyObject* kwargs() const noexcept { return bound_->kwargs.get(); }
    // Stores `value` in keep-slot `slot` and returns it, borrowed from there.
    PyObject* keep(std::size_t slot, py::Ref value) const noexcept {
        bound_->kept[slot] = std::move(value);
        return bound_->kept[slot].get();
    }

private:
    BoundArgs* bound_;
};

}  // namespace tc
