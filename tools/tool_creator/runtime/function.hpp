// Native function objects: one Python type for every function and method of
// the module. A declarative signature drives one argument binder, so every
// function reports binding and argument-type errors with the same texts.
#pragma once

#include "args.hpp"
#include "py.hpp"
#include "task.hpp"

#include <cstdint>
#include <span>

namespace tc {

// Arguments of these parameters must be exactly of the built-in type.
enum class ArgCheck : std::uint8_t { Any, ExactStr, ExactDict };

struct Param {
    const char* name;
    const char* annotation = nullptr;  // shown in __annotations__; none when null
    ArgCheck check = ArgCheck::Any;
    bool defaults_to_none = false;
};

using PlainBody = py::Ref (*)(Args);
using CoroutineBody = Task (*)(Args);

// Everything Python can see of a function, and its body. Specs are static
// data; a function object points at its spec for its whole life.
struct FunctionSpec {
    const char* name;
    const char* qualname;
    const char* doc;                          // null: no docstring
    std::span<const Param> params;            // `self` first for methods
    const char* var_keyword = nullptr;        // name of `**kwargs`, if taken
    const char* var_keyword_annotation = nullptr;
    const char* return_annotation = nullptr;  // "str"/"dict" results are type-checked
    PlainBody plain = nullptr;                // exactly one of plain/coroutine
    CoroutineBody coroutine = nullptr;
};

py::Ref make_function_type();

// A new function object for `spec`, belonging to module `module_name`.
py::Ref make_function(const FunctionSpec& spec);

// Results annotated "str" or "dict" must be None or exactly that type; other
// annotations are not enforced.
enum class ResultCheck : std::uint8_t { None, ExactStr, ExactDict };
ResultCheck result_check_for(const char* return_annotation) noexcept;
// Raises the result-type TypeError when `result` fails `check`.
void check_result(ResultCheck check, PyObject* result);

}  // namespace tc
