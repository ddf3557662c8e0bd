// Native function objects: one Python type for every function and method of
// the module. A declarative signature drives one argument binder, so every
// function reports binding and argument-type errors with the same texts.
#pragma once

#include "args.hpp"
#include "common/py.hpp"
#include "steps.hpp"

#include <cstdint>
#include <span>

namespace rt {

// Arguments of these parameters must be exactly of the built-in type.
enum class ArgCheck : std::uint8_t { Any, ExactStr, ExactDict };

// Results that must be None or exactly of the built-in type.
enum class ResultCheck : std::uint8_t { None, ExactStr, ExactDict };

struct Param {
    const char* name;
    const char* annotation = nullptr;  // shown in __annotations__; none when null
    ArgCheck check = ArgCheck::Any;
    bool defaults_to_none = false;
};

using PlainBody = py::Ref (*)(Args);
using CoroutineBody = CoroutineSteps;

// What a function runs: a plain body, whose result is the call's result, or
// coroutine steps, run by the coroutine object that the call returns.
struct Body {
    PlainBody plain = nullptr;
    CoroutineBody coroutine{};

    constexpr Body() noexcept = default;
    constexpr Body(PlainBody body) noexcept : plain(body) {}
    constexpr Body(CoroutineBody steps) noexcept : coroutine(steps) {}
    constexpr bool is_coroutine() const noexcept { return coroutine.prepare != nullptr; }
    constexpr bool is_set() const noexcept {
        return plain != nullptr ? coroutine.prepare == nullptr && coroutine.finish == nullptr
                                : coroutine.prepare != nullptr && coroutine.finish != nullptr;
    }
};

// Everything Python can see of a function, and its body. Specs are static
// data; a function object points at its spec for its whole life.
struct FunctionSpec {
    const char* name = nullptr;
    const char* doc = nullptr;          // null: no docstring
    std::span<const Param> params;      // `self` first for methods
    const char* var_keyword = nullptr;  // name of `**kwargs`, if taken
    const char* var_keyword_annotation = nullptr;
    const char* return_annotation = nullptr;  // shown in __annotations__ only
    ResultCheck result_check = ResultCheck::None;
    Body body;
};

py::Ref make_function_type(const char* type_name);

// A new function object for `spec`. `owner` is the name of the class that
// defines it, the prefix of its __qualname__; null for a module function.
py::Ref make_function(const FunctionSpec& spec, const char* owner = nullptr);

// Raises the result-type TypeError when `result` fails `check`.
void check_result(ResultCheck check, PyObject* result);

}  // namespace rt
