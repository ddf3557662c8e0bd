// ToolCreatorTool: construction, registry, identity, and the dispatch of
// `execute` to one operation method of the table (operations.hpp).
#include "jobs.hpp"
#include "operations.hpp"
#include "schema.hpp"
#include "state.hpp"
#include "store.hpp"
#include "texts.hpp"
#include "tools.hpp"

#include <array>
#include <iterator>

namespace tc {

namespace {

py::Ref init(Args a) {
    const Names& n = names();
    PyObject* self = a[0];
    PyObject* given_manager = a[1];
    PyObject* registry = a[2];
    // `SubprocessManager` and `_get_custom_tools_dir` are read from the module
    // at each construction, so that rebinding them takes effect.
    py::Ref manager = py::truthy(given_manager) ? py::Ref::borrow(given_manager)
                                                : py::call(global(n.SubprocessManager));
    py::setattr(self, n.manager_attr, manager);
    py::setattr(self, n.registry_attr, registry);
    py::Ref root = py::call(global(n.get_custom_tools_dir));
    py::setattr(self, n.custom_tools_dir_attr, root);
    return py::none();
}

py::Ref set_registry(Args a) {
    py::setattr(a[0], names().registry_attr, a[1]);
    return py::none();
}

py::Ref name(Args) { return names().tool_creator_name.copy(); }
py::Ref description(Args) { return names().tool_creator_description.copy(); }
py::Ref parameters(Args) { return copy_json(state().tool_creator_schema.get()); }

constexpr std::size_t kNoOperation = std::size(kOperations);

// The first row whose word equals `operation`, compared with ==.
std::size_t find_operation(PyObject* operation) {
    const auto& words = state().operations.words;
    if (PyUnicode_CheckExact(operation)) {
        // An exact str equals a word exactly when their texts are equal, and
        // comparing has no side effects, so the order needs no honouring.
        for (std::size_t i = 0; i < words.size(); ++i) {
            PyObject* word = words[i].get();
            if (!word) continue;
            if (word == operation ||
                (PyUnicode_GET_LENGTH(word) == PyUnicode_GET_LENGTH(operation) &&
                 PyUnicode_Compare(word, operation) == 0)) {
                return i;
            }
        }
        return kNoOperation;
    }
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (!words[i]) continue;
        py::Ref equal = py::Ref::steal(PyObject_RichCompare(operation, words[i].get(), Py_EQ));
        if (py::truthy(equal)) return i;
    }
    return kNoOperation;
}

// Picks the operation: its answer for the plain ones, the coroutine to await
// for the others.
rt::Step dispatch(Args a) {
    PyObject* self = a[0];
    PyObject* kwargs = a.kwargs();
    const Names& n = names();
    py::Ref operation = py::dict_get(kwargs, n.operation);
    if (!operation) operation = n.default_operation.copy();
    const std::size_t found = find_operation(operation.get());
    if (found == kNoOperation)
        return {.answer = py::fstring(n.unknown_operation, operation), .awaitable = {}};
    const Operation& op = kOperations[found];
    // Looked up on the instance at each call, so that a subclass or an
    // instance attribute that overrides the method is honoured.
    py::Ref method = py::getattr(self, state().operations.methods[found]);
    py::Ref result = op.takes_kwargs() ? py::call(method, kwargs) : py::call(method);
    if (op.body.is_coroutine()) return {.answer = {}, .awaitable = std::move(result)};
    return {.answer = std::move(result), .awaitable = {}};
}

// The operation's coroutine's result is the answer.
py::Ref answer_of(Args, py::Ref answer) { return answer; }

constexpr rt::CoroutineSteps execute{dispatch, answer_of};

constexpr rt::Param kInitParams[] = {
    {.name = "self"},
    {.name = "subprocess_manager",
     .annotation = "SubprocessManager | None",
     .defaults_to_none = true},
    {.name = "tool_registry", .annotation = "Any", .defaults_to_none = true},
};
constexpr rt::Param kSetRegistryParams[] = {{.name = "self"},
                                            {.name = "registry", .annotation = "Any"}};

// Its own members ahead of the tool members, in class order.
constexpr rt::MemberSpec kLeadingMembers[] = {
    {rt::MemberKind::Method, {.name = "__init__", .params = kInitParams, .body = init}},
    {rt::MemberKind::Method,
     {.name = "set_registry",
      .doc = texts::kSetRegistryDoc,
      .params = kSetRegistryParams,
      .return_annotation = "None",
      .body = set_registry}},
};

// One method per row of the operation table.
constexpr auto kOperationMembers = [] {
    std::array<rt::MemberSpec, std::size(kOperations)> members{};
    std::size_t i = 0;
    for (const Operation& op : kOperations) members[i++] = {rt::MemberKind::Method, op.function()};
    return members;
}();

constexpr auto kMembers = tool_members(kLeadingMembers, {name, description, parameters, execute},
                                       std::span(kOperationMembers));

}  // namespace

const rt::ClassSpec kToolCreatorToolClass = {
    .name = "ToolCreatorTool",
    .doc = texts::kToolCreatorDoc,
    .base = "Tool",
    .members = kMembers,
};

}  // namespace tc
