// What the Python-object runtime keeps for the life of the process: its types,
// the interned names it uses, and the namespace that run-time name lookups
// read. One interpreter per process uses the module, so these are
// process-wide records rather than per-module state.
#pragma once

#include "common/py.hpp"

#include <string>

namespace rt {

// Interned strings of the runtime's own, created once.
#define RT_NAMES(X)                    \
    X(empty, "")                       \
    X(add_note, "add_note")            \
    X(throw_, "throw")                 \
    X(close, "close")                  \
    X(value, "value")                  \
    X(mro_entries, "__mro_entries__")  \
    X(prepare, "__prepare__")          \
    X(dunder_module, "__module__")     \
    X(dunder_qualname, "__qualname__") \
    X(dunder_doc, "__doc__")           \
    X(dunder_name, "__name__")         \
    X(orig_bases, "__orig_bases__")    \
    X(is_coroutine, "_is_coroutine")   \
    X(is_coroutine_marker, "_is_coroutine_marker")

struct Names {
#define RT_DECLARE_NAME(ident, text) py::Ref ident;
    RT_NAMES(RT_DECLARE_NAME)
#undef RT_DECLARE_NAME
};

struct Runtime {
    Names names;
    py::Ref module_name;             // `__module__` of every function and class made
    std::string function_type_name;  // PyType_Spec names, kept alive with the types
    std::string coroutine_type_name;
    std::string wrapper_type_name;
    py::Ref function_type;
    py::Ref coroutine_type;
    py::Ref coroutine_wrapper_type;
    py::Ref asyncio_coroutine_marker;  // asyncio.coroutines._is_coroutine
    py::Ref inspect_coroutine_marker;  // inspect._is_coroutine_mark
    py::Ref globals;                   // the namespace of the module being (or last) executed
    py::Ref builtins;                  // the builtins namespace
};

// The process-wide runtime; `init` fills it once (later calls do nothing),
// naming the module whose functions and classes it makes.
Runtime& runtime();
void init(const char* module_name);
// The module namespace that `global` reads and classes are bound in.
void set_globals(py::Borrowed globals);

inline const Names& names() { return runtime().names; }

// A module-level name looked up as a function body would at run time: the
// module namespace, then builtins; NameError when neither has it. Callers
// look names up at each use on purpose, so that rebinding a module attribute
// changes what later calls use.
py::Ref global(py::Borrowed name);

}  // namespace rt
