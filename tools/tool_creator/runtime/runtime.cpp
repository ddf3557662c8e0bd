#include "runtime.hpp"

#include "coroutine.hpp"
#include "function.hpp"

namespace rt {

Runtime& runtime() {
    // Deliberately never destroyed: the module, once imported, lives as long as
    // the process, and releasing references after the interpreter is gone
    // would be unsafe.
    static Runtime* const instance = new Runtime();
    return *instance;
}

namespace {

py::Ref attribute_of_module(const char* module, const char* attribute) {
    py::Ref mod = py::Ref::steal(PyImport_ImportModule(module));
    return py::Ref::steal(PyObject_GetAttrString(mod.get(), attribute));
}

}  // namespace

void init(const char* module_name) {
    Runtime& r = runtime();
    if (r.function_type) return;

    Names names;
#define RT_MAKE_NAME(ident, text) names.ident = py::interned(text);
    RT_NAMES(RT_MAKE_NAME)
#undef RT_MAKE_NAME

    py::Ref module = py::interned(module_name);
    py::Ref asyncio_marker = attribute_of_module("asyncio.coroutines", "_is_coroutine");
    py::Ref inspect_marker = attribute_of_module("inspect", "_is_coroutine_mark");
    py::Ref builtins_module = py::Ref::steal(PyImport_ImportModule("builtins"));
    py::Ref builtins = py::Ref::borrow(PyModule_GetDict(builtins_module.get()));

    // Set once: a type made by a failed earlier attempt may still point at them.
    if (r.function_type_name.empty()) {
        const std::string prefix = std::string(module_name) + ".";
        r.function_type_name = prefix + "native_function";
        r.coroutine_type_name = prefix + "native_coroutine";
        r.wrapper_type_name = prefix + "native_coroutine_wrapper";
    }
    py::Ref function_type = make_function_type(r.function_type_name.c_str());
    py::Ref coroutine_type = make_coroutine_type(r.coroutine_type_name.c_str());
    py::Ref wrapper_type = make_coroutine_wrapper_type(r.wrapper_type_name.c_str());

    // Commit only once everything exists, so a failed first import can retry.
    r.names = std::move(names);
    r.module_name = std::move(module);
    r.asyncio_coroutine_marker = std::move(asyncio_marker);
    r.inspect_coroutine_marker = std::move(inspect_marker);
    r.builtins = std::move(builtins);
    r.coroutine_type = std::move(coroutine_type);
    r.coroutine_wrapper_type = std::move(wrapper_type);
    r.function_type = std::move(function_type);
}

void set_globals(py::Borrowed globals) { runtime().globals = globals.ref(); }

py::Ref global(py::Borrowed name) {
    const Runtime& r = runtime();
    assert(r.globals && "a name looked up before the module namespace exists");
    if (py::Ref value = py::dict_get(r.globals, name)) return value;
    if (py::Ref value = py::dict_get(r.builtins, name)) return value;
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    py::throw_error_set();
}

}  // namespace rt
