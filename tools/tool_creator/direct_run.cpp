// The run operation: a saved tool run by its folder name, registered or not.
#include "jobs.hpp"
#include "operations.hpp"
#include "state.hpp"
#include "store.hpp"
#include "texts.hpp"

namespace tc::operations {

namespace {

// Checks the call and, when it can go on, hands the "run_function" job to
// the manager.
AnswerOrJob start_run(PyObject* self, PyObject* kwargs) {
    const Names& n = names();
    // Both are read before anything is tested, the name first.
    py::Ref tool_name = py::dict_get(kwargs, n.tool_name, n.empty);
    py::Ref args = py::dict_get(kwargs, n.args);
    if (!args) args = py::new_dict();
    ToolRequest request = resolve_tool(tool_name);
    if (request.refusal) return {.answer = std::move(request.refusal), .job = {}};

    py::Ref folder = tool_folder(self, request.part);
    py::Ref script_path = join(folder, n.tool_py);
    if (!exists(script_path)) return {.answer = py::fstring(texts::kScriptNotFound, script_path), .job = {}};
    return {.answer = {}, .job = start_job(self, constants().run_timeout, [&] {
                return run_function_command(py::str_of(script_path), args);
            })};
}

}  // namespace

Task run_tool(Args a) {
    AnswerOrJob next = start_run(a[0], a[1]);
    if (!next.job) co_return std::move(next.answer);
    py::Ref result = co_await awaiting(std::move(next.job));
    co_return run_answer(result);
}

}  // namespace tc::operations
