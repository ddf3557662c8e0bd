// Bound call arguments: what the argument binder hands to a function body.
#pragma once

#include "common/py.hpp"

#include <array>
#include <cstddef>

namespace rt {

// The most named parameters (self included) that any function has.
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
    PyObject* operator[](std::size_t i) const noexcept {
        assert(i < kMaxParams);
        return bound_->values[i].get();
    }
    PyObject* self() const noexcept { return (*this)[0]; }
    PyObject* kwargs() const noexcept { return bound_->kwargs.get(); }
    // Stores `value` in keep-slot `Slot` and returns it, borrowed from there.
    template <std::size_t Slot>
    PyObject* keep(py::Ref value) const noexcept {
        static_assert(Slot < kMaxKept, "keep-slot out of range: raise kMaxKept");
        bound_->kept[Slot] = std::move(value);
        return bound_->kept[Slot].get();
    }
    // What `keep<Slot>` stored, borrowed.
    template <std::size_t Slot>
    PyObject* kept() const noexcept {
        static_assert(Slot < kMaxKept, "keep-slot out of range: raise kMaxKept");
        return bound_->kept[Slot].get();
    }

private:
    BoundArgs* bound_;
};

}  // namespace rt
