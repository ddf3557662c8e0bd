// DynamicTool: one saved custom tool, offered to the agent as a tool of its
// own and run through a worker job on every call.
#include "jobs.hpp"
#include "schema.hpp"
#include "state.hpp"
#include "runtime/task.hpp"
#include "texts.hpp"
#include "tools.hpp"

namespace tc {

namespace {

py::Ref init(Args a) {
    const Names& n = names();
    PyObject* self = a[0];
    py::Ref registry_name = py::concat(n.registry_prefix.get(), a[1]);
    py::setattr(self, n.name_attr.get(), registry_name.get());
    py::setattr(self, n.description_attr.get(), a[2]);
    py::setattr(self, n.script_path_attr.get(), a[3]);
    py::setattr(self, n.manager_attr.get(), a[4]);
    return py::none();
}

py::Ref name(Args a) { return py::getattr(a.self(), names().name_attr.get()); }
py::Ref description(Args a) { return py::getattr(a.self(), names().description_attr.get()); }
py::Ref parameters(Args) { return copy_json(state().dynamic_tool_schema.get()); }

// Builds the "run_function" job for this call and hands it to the manager.
py::Ref start_run(Args a) {
    const Names& n = names();
    PyObject* self = a[0];
    py::Ref args = py::dict_get(a.kwargs(), n.args.get());
    if (!args) args = py::new_dict();
    py::Ref task_type = global(n.SubprocessTask.get());
    py::Ref script_path = py::getattr(self, n.script_path_attr.get());
    py::Ref command = run_function_command(script_path.get(), args.get());
    py::Ref task = make_custom_task(task_type.get(), command.get(), constants().run_timeout.get());
    return spawn_job(self, task.get());
}

Task execute(Args a) {
    py::Ref result = co_await awaiting(start_run(a));
    co_return run_answer(result.get());
}

constexpr Param kInitParams[] = {
    {.name = "self"},
    {.name = "tool_name", .annotation = "str", .check = ArgCheck::ExactStr},
    {.name = "tool_description", .annotation = "str", .check = ArgCheck::ExactStr},
    {.name = "script_path", .annotation = "str", .check = ArgCheck::ExactStr},
    {.name = "subprocess_manager", .annotation = "SubprocessManager"},
};
constexpr Param kSelfOnly[] = {{.name = "self"}};

constexpr MemberSpec kMembers[] = {
    {MemberKind::Method,
     {.name = "__init__", .qualname = "DynamicTool.__init__", .doc = nullptr, .params = kInitParams,
      .plain = init}},
    {MemberKind::Property,
     {.name = "name", .qualname = "DynamicTool.name", .doc = nullptr, .params = kSelfOnly,
      .return_annotation = "str", .plain = name}},
    {MemberKind::Property,
     {.name = "description", .qualname = "DynamicTool.description", .doc = nullptr, .params = kSelfOnly,
      .return_annotation = "str", .plain = description}},
    {MemberKind::Property,
     {.name = "parameters", .qualname = "DynamicTool.parameters", .doc = nullptr, .params = kSelfOnly,
      .return_annotation = "dict[str, Any]", .plain = parameters}},
    {MemberKind::Method,
     {.name = "execute", .qualname = "DynamicTool.execute", .doc = nullptr, .params = kSelfOnly,
      .var_keyword = "kwargs", .var_keyword_annotation = "Any", .return_annotation = "Any",
      .coroutine = execute}},
};

}  // namespace

const ClassSpec kDynamicToolClass = {
    .name = "DynamicTool",
    .doc = texts::kDynamicToolDoc,
    .base = "Tool",
    .members = kMembers,
};

}  // namespace tc
