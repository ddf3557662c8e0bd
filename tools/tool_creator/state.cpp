#include "state.hpp"

#include "schema.hpp"

namespace tc {

State& state() {
    // Deliberately never destroyed: the module, once imported, lives as long as
    // the process, and releasing references after the interpreter is gone
    // would be unsafe.
    static State* const instance = new State();
    return *instance;
}

void init_state() {
    State& s = state();
    if (s.dynamic_tool_schema) return;

    Names names;
#define TC_MAKE_NAME(ident, text) names.ident = py::interned(text);
    TC_NAMES(TC_MAKE_NAME)
#undef TC_MAKE_NAME

    Constants c;
    c.kw_indent = py::names_tuple({"indent"});
    c.kw_parents_exist_ok = py::names_tuple({"parents", "exist_ok"});
    c.kw_task = py::names_tuple({"worker_type", "command", "timeout"});
    c.kw_dynamic_tool =
        py::names_tuple({"tool_name", "tool_description", "script_path", "subprocess_manager"});
    c.kw_encoding = py::names_tuple({"encoding"});
    c.two = py::integer(2);
    c.validate_timeout = py::number(10.0);
    c.run_timeout = py::number(60.0);

    OperationNames operations;
    for (std::size_t i = 0; i < std::size(kOperations); ++i) {
        if (kOperations[i].word) operations.words[i] = py::interned(kOperations[i].word);
        operations.methods[i] = py::interned(kOperations[i].method);
    }

    py::Ref tool_creator_schema = build_tool_creator_schema();
    py::Ref dynamic_tool_schema = build_dynamic_tool_schema();

    // Commit only once everything exists, so a failed first import can retry.
    s.names = std::move(names);
    s.constants = std::move(c);
    s.operations = std::move(operations);
    s.tool_creator_schema = std::move(tool_creator_schema);
    s.dynamic_tool_schema = std::move(dynamic_tool_schema);
}

}  // namespace tc
