#include "state.hpp"

#include "runtime/coroutine.hpp"
#include "runtime/function.hpp"

namespace tc {

State& state() {
    // Deliberately never destroyed: the module, once imported, lives as long as
    // the process, and releasing references after the interpreter is gone
    // would be unsafe.
    static State* const instance = new State();
    return *instance;
}

namespace {

py::Ref names_tuple(std::initializer_list<const char*> items) {
    py::Ref tuple = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const char* item : items) PyTuple_SET_ITEM(tuple.get(), i++, py::interned(item).release());
    return tuple;
}

py::Ref attribute_of_module(const char* module, const char* attribute) {
    py::Ref mod = py::Ref::steal(PyImport_ImportModule(module));
    return py::Ref::steal(PyObject_GetAttrString(mod.get(), attribute));
}

}  // namespace

void init_state() {
    State& s = state();
    if (s.function_type) return;

    Names names;
#define TC_MAKE_NAME(ident, text) names.ident = py::interned(text);
    TC_NAMES(TC_MAKE_NAME)
#undef TC_MAKE_NAME

    Constants c;
    c.kw_indent = names_tuple({"indent"});
    c.kw_parents_exist_ok = names_tuple({"parents", "exist_ok"});
    c.kw_task = names_tuple({"worker_type", "command", "timeout"});
    c.kw_dynamic_tool = names_tuple({"tool_name", "tool_description", "script_path", "subprocess_manager"});
    c.kw_encoding = names_tuple({"encoding"});
    c.two = py::Ref::steal(PyLong_FromLong(2));
    c.validate_timeout = py::number(10.0);
    c.run_timeout = py::number(60.0);
    c.asyncio_coroutine_marker = attribute_of_module("asyncio.coroutines", "_is_coroutine");
    c.inspect_coroutine_marker = attribute_of_module("inspect", "_is_coroutine_mark");

    py::Ref builtins_module = py::Ref::steal(PyImport_ImportModule("builtins"));
    py::Ref builtins = py::Ref::borrow(PyModule_GetDict(builtins_module.get()));

    py::Ref function_type = make_function_type();
    py::Ref coroutine_type = make_coroutine_type();
    py::Ref wrapper_type = make_coroutine_wrapper_type();

    // Commit only once everything exists, so a failed first import can retry.
    s.names = std::move(names);
    s.constants = std::move(c);
    s.builtins = std::move(builtins);
    s.coroutine_type = std::move(coroutine_type);
    s.coroutine_wrapper_type = std::move(wrapper_type);
    s.function_type = std::move(function_type);
}

py::Ref global(PyObject* name) {
    const State& s = state();
    if (py::Ref value = py::dict_get(s.globals.get(), name)) return value;
    if (py::Ref value = py::dict_get(s.builtins.get(), name)) return value;
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw py::ErrorAlreadySet{};
}

}  // namespace tc
