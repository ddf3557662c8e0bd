// Classes built the way a class statement builds them, from member tables.
#pragma once

#include "common/py.hpp"
#include "function.hpp"

#include <span>

namespace rt {

enum class MemberKind { Method, Property };

// One member of a class body: a method, or a read-only property whose getter
// is the function of `function`.
struct MemberSpec {
    MemberKind kind;
    FunctionSpec function;
};

struct ClassSpec {
    const char* name;
    const char* doc;
    const char* base;  // looked up by name in the module namespace, then builtins
    std::span<const MemberSpec> members;
};

// Builds the class as `class <name>(<base>): <doc>; <members>` would, in the
// module namespace `globals`, and binds it there under its name. Member
// functions are qualified by the class name.
py::Ref create_class(const ClassSpec& spec, py::Borrowed globals);

}  // namespace rt
