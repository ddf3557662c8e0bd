// Bound call arguments: what the argument binder hands to a function body.
#pragma once

#include "py.hpp"

#include <array>
#include <cstddef>

namespace tc {

// The most named parameters (self included) that any member function has.
inline constexpr std::size_t kMaxParams = 6;

// Owning storage of one call's bound arguments, in parameter order, plus the
// collected `**kwargs` dict for functions that take one.
struct BoundArgs {
    std::array<py::Ref, kMaxParams> values;
    py::Ref kwargs;
};

// A borrowed view of bound arguments; valid while the storage lives.
class Args {
public:
    explicit Args(const BoundArgs& bound) noexcept : bound_(&bound) {}
    PyObject* operator[](std::size_t i) const noexcept { return bound_->values[i].get(); }
    PyObject* self() const noexcept { return (*this)[0]; }
    PyObject* kwargs() const noexcept { return bound_->kwargs.get(); }

private:
    const BoundArgs* bound_;
};

}  // namespace tc
