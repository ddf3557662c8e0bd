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
    py::Ref tool_name = kwarg(kwargs, n.tool_name.get(), n.empty.get());
    py::Ref args = py::dict_get(kwargs, n.args.get());
    if (!args) args = py::new_dict();
    if (!py::truthy(tool_name.get())) return {.answer = n.tool_name_required.copy(), .job = {}};
    FolderName checked = check_tool_name(tool_name.get());
    if (checked.refusal) return {.answer = std::move(checked.refusal), .job = {}};

    py::Ref folder = tool_folder(self, checked.part.get());
    py::Ref script_path = join(folder.get(), n.tool_py.get());
    if (!exists(script_path.get())) {
        return {.answer = compose(py::str(texts::kScriptNotFound).get(), script_path.get()), .job = {}};
    }
    py::Ref task_type = global(n.SubprocessTask.get());
    py::Ref path_text = py::Ref::steal(PyObject_Str(script_path.get()));
    py::Ref command = run_function_command(path_text.get(), args.get());
    py::Ref task = make_custom_task(task_type.get(), command.get(), constants().run_timeout.get());
    return {.answer = {}, .job = spawn_job(self, task.get())};
}

}  // namespace

Task run_tool(Args a) {
    AnswerOrJob next = start_run(a[0], a[1]);
    if (!next.job) co_return std::move(next.answer);
    py::Ref result = co_await awaiting(std::move(next.job));
    co_return run_answer(result.get());
}

}  // namespace tc::operations
