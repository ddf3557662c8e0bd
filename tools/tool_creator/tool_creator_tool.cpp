// ToolCreatorTool: construction, registry, identity, and the dispatch of
// `execute` to one operation method.
#include "jobs.hpp"
#include "operations.hpp"
#include "schema.hpp"
#include "state.hpp"
#include "runtime/task.hpp"
#include "texts.hpp"
#include "tools.hpp"

#include <iterator>

namespace tc {

namespace {

py::Ref init(Args a) {
    const Names& n = names();
    PyObject* self = a[0];
    PyObject* given_manager = a[1];
    PyObject* registry = a[2];
    py::Ref manager = py::truthy(given_manager) ? py::Ref::borrow(given_manager)
                                                : py::call(global(n.SubprocessManager.get()).get());
    py::setattr(self, n.manager_attr.get(), manager.get());
    py::setattr(self, n.registry_attr.get(), registry);
    py::Ref root = py::call(global(n.get_custom_tools_dir.get()).get());
    py::setattr(self, n.custom_tools_dir_attr.get(), root.get());
    return py::none();
}

py::Ref set_registry(Args a) {
    py::setattr(a[0], names().registry_attr.get(), a[1]);
    return py::none();
}

py::Ref name(Args) { return names().tool_creator_name.copy(); }
py::Ref description(Args) { return names().tool_creator_description.copy(); }
py::Ref parameters(Args) { return copy_json(state().tool_creator_schema.get()); }

// The operations in the order `operation` is compared with them.
struct Operation {
    py::Ref Names::* word;
    py::Ref Names::* method;
    bool takes_kwargs;
    bool is_coroutine;
};
constexpr Operation kOperations[] = {
    {&Names::op_create, &Names::create_tool, true, true},
    {&Names::op_validate, &Names::validate_tool, true, true},
    {&Names::list, &Names::list_tools, false, false},
    {&Names::op_delete, &Names::delete_tool, true, false},
    {&Names::op_run, &Names::run_tool, true, true},
    {&Names::op_info, &Names::tool_info, true, false},
};

constexpr std::size_t kNoOperation = std::size(kOperations);

// The first operation whose word equals `operation`, compared with ==.
std::size_t find_operation(PyObject* operation) {
    const Names& n = names();
    if (PyUnicode_CheckExact(operation)) {
        // An exact str equals a word exactly when their texts are equal, and
        // comparing has no side effects, so the order needs no honouring.
        for (std::size_t i = 0; i < std::size(kOperations); ++i) {
            PyObject* word = (n.*kOperations[i].word).get();
            if (word == operation || (PyUnicode_GET_LENGTH(word) == PyUnicode_GET_LENGTH(operation) &&
                                      PyUnicode_Compare(word, operation) == 0)) {
                return i;
            }
        }
        return kNoOperation;
    }
    for (std::size_t i = 0; i < std::size(kOperations); ++i) {
        py::Ref equal = py::Ref::steal(PyObject_RichCompare(operation, (n.*kOperations[i].word).get(), Py_EQ));
        if (py::truthy(equal.get())) return i;
    }
    return kNoOperation;
}

// Picks the operation: its answer for the plain ones, the coroutine to await
// for the others.
AnswerOrJob dispatch(PyObject* self, PyObject* kwargs) {
    const Names& n = names();
    py::Ref operation = py::dict_get(kwargs, n.operation.get());
    if (!operation) operation = n.list.copy();
    const std::size_t found = find_operation(operation.get());
    if (found == kNoOperation) {
        return {.answer = py::concat(n.unknown_operation.get(), py::format(operation.get()).get()), .job = {}};
    }
    const Operation& op = kOperations[found];
    // Looked up on the instance at each call, so subclasses can override.
    py::Ref method = py::getattr(self, (n.*op.method).get());
    py::Ref result = op.takes_kwargs ? py::call(method.get(), {kwargs}) : py::call(method.get());
    if (op.is_coroutine) return {.answer = {}, .job = std::move(result)};
    return {.answer = std::move(result), .job = {}};
}

Task execute(Args a) {
    AnswerOrJob next = dispatch(a[0], a.kwargs());
    if (!next.job) co_return std::move(next.answer);
    co_return co_await awaiting(std::move(next.job));
}

constexpr Param kInitParams[] = {
    {.name = "self"},
    {.name = "subprocess_manager", .annotation = "SubprocessManager | None", .defaults_to_none = true},
    {.name = "tool_registry", .annotation = "Any", .defaults_to_none = true},
};
constexpr Param kSetRegistryParams[] = {{.name = "self"}, {.name = "registry", .annotation = "Any"}};
constexpr Param kSelfOnly[] = {{.name = "self"}};
constexpr Param kOperationParams[] = {{.name = "self"}, {.name = "kwargs", .annotation = "dict", .check = ArgCheck::ExactDict}};
constexpr Param kCodeParams[] = {{.name = "self"}, {.name = "code", .annotation = "str", .check = ArgCheck::ExactStr}};

constexpr MemberSpec kMembers[] = {
    {MemberKind::Method,
     {.name = "__init__", .qualname = "ToolCreatorTool.__init__", .doc = nullptr, .params = kInitParams,
      .plain = init}},
    {MemberKind::Method,
     {.name = "set_registry", .qualname = "ToolCreatorTool.set_registry", .doc = texts::kSetRegistryDoc,
      .params = kSetRegistryParams, .return_annotation = "None", .plain = set_registry}},
    {MemberKind::Property,
     {.name = "name", .qualname = "ToolCreatorTool.name", .doc = nullptr, .params = kSelfOnly,
      .return_annotation = "str", .plain = name}},
    {MemberKind::Property,
     {.name = "description", .qualname = "ToolCreatorTool.description", .doc = nullptr, .params = kSelfOnly,
      .return_annotation = "str", .plain = description}},
    {MemberKind::Property,
     {.name = "parameters", .qualname = "ToolCreatorTool.parameters", .doc = nullptr, .params = kSelfOnly,
      .return_annotation = "dict[str, Any]", .plain = parameters}},
    {MemberKind::Method,
     {.name = "execute", .qualname = "ToolCreatorTool.execute", .doc = nullptr, .params = kSelfOnly,
      .var_keyword = "kwargs", .var_keyword_annotation = "Any", .return_annotation = "Any",
      .coroutine = execute}},
    {MemberKind::Method,
     {.name = "_create_tool", .qualname = "ToolCreatorTool._create_tool", .doc = nullptr, .params = kOperationParams,
      .return_annotation = "str", .coroutine = operations::create_tool}},
    {MemberKind::Method,
     {.name = "_validate_tool", .qualname = "ToolCreatorTool._validate_tool", .doc = nullptr,
      .params = kOperationParams, .return_annotation = "str", .coroutine = operations::validate_tool}},
    {MemberKind::Method,
     {.name = "_validate_code", .qualname = "ToolCreatorTool._validate_code", .doc = texts::kValidateCodeDoc,
      .params = kCodeParams, .return_annotation = "dict", .coroutine = operations::validate_code}},
    {MemberKind::Method,
     {.name = "_list_tools", .qualname = "ToolCreatorTool._list_tools", .doc = texts::kListToolsDoc,
      .params = kSelfOnly, .return_annotation = "str", .plain = operations::list_tools}},
    {MemberKind::Method,
     {.name = "_delete_tool", .qualname = "ToolCreatorTool._delete_tool", .doc = nullptr, .params = kOperationParams,
      .return_annotation = "str", .plain = operations::delete_tool}},
    {MemberKind::Method,
     {.name = "_run_tool", .qualname = "ToolCreatorTool._run_tool", .doc = nullptr, .params = kOperationParams,
      .return_annotation = "str", .coroutine = operations::run_tool}},
    {MemberKind::Method,
     {.name = "_tool_info", .qualname = "ToolCreatorTool._tool_info", .doc = nullptr, .params = kOperationParams,
      .return_annotation = "str", .plain = operations::tool_info}},
};

}  // namespace

const ClassSpec kToolCreatorToolClass = {
    .name = "ToolCreatorTool",
    .doc = texts::kToolCreatorDoc,
    .base = "Tool",
    .members = kMembers,
};

}  // namespace tc
