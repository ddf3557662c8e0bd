// DynamicTool: one saved custom tool, offered to the agent as a tool of its
// own and run through a worker job on every call.
#include "jobs.hpp"
#include "operations.hpp"
#include "schema.hpp"
#include "state.hpp"
#include "texts.hpp"
#include "tools.hpp"

namespace tc {

namespace {

py::Ref init(Args a) {
    const Names& n = names();
    PyObject* self = a[0];
    py::Ref registry_name = py::concat(n.registry_prefix, a[1]);
    py::setattr(self, n.name_attr, registry_name);
    py::setattr(self, n.description_attr, a[2]);
    py::setattr(self, n.script_path_attr, a[3]);
    py::setattr(self, n.manager_attr, a[4]);
    return py::none();
}

// Read from the instance at each access: the attributes are the tool's state,
// and replacing one changes what the tool shows (and is type-checked).
py::Ref name(Args a) { return py::getattr(a.self(), names().name_attr); }
py::Ref description(Args a) { return py::getattr(a.self(), names().description_attr); }
py::Ref parameters(Args) { return copy_json(state().dynamic_tool_schema.get()); }

rt::Step start_execute(Args a) {
    const Names& n = names();
    PyObject* self = a[0];
    py::Ref job = start_job(self, constants().run_timeout, [&] {
        py::Ref args = py::dict_get(a.kwargs(), n.args);
        if (!args) args = py::new_dict();
        // `_script_path` is read at each call, after `SubprocessTask`.
        py::Ref script_path = py::getattr(self, n.script_path_attr);
        return run_function_command(script_path, args);
    });
    return {.answer = {}, .awaitable = std::move(job)};
}

py::Ref finish_execute(Args, py::Ref result) { return run_answer(result); }

constexpr rt::CoroutineSteps execute{start_execute, finish_execute};

constexpr rt::Param kInitParams[] = {
    {.name = "self"},
    {.name = "tool_name", .annotation = "str", .check = rt::ArgCheck::ExactStr},
    {.name = "tool_description", .annotation = "str", .check = rt::ArgCheck::ExactStr},
    {.name = "script_path", .annotation = "str", .check = rt::ArgCheck::ExactStr},
    {.name = "subprocess_manager", .annotation = "SubprocessManager"},
};

constexpr rt::MemberSpec kOwnMembers[] = {
    {rt::MemberKind::Method, {.name = "__init__", .params = kInitParams, .body = init}},
};

constexpr auto kMembers = tool_members(kOwnMembers, {name, description, parameters, execute});

}  // namespace

const rt::ClassSpec kDynamicToolClass = {
    .name = "DynamicTool",
    .doc = texts::kDynamicToolDoc,
    .base = "Tool",
    .members = kMembers,
};

}  // namespace tc
