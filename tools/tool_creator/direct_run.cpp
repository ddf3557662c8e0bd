// The run operation: a saved tool run by its folder name, registered or not.
#include "jobs.hpp"
#include "operations.hpp"
#include "state.hpp"
#include "store.hpp"
#include "texts.hpp"

namespace tc::operations {

Task run_tool(Args a) {
    const Names& n = names();
    PyObject* self = a[0];
    py::Ref tool_name = kwarg(a[1], n.tool_name.get(), n.empty.get());
    py::Ref args = py::dict_get(a[1], n.args.get());
    if (!args) args = py::new_dict();
    if (!py::truthy(tool_name.get())) co_return n.tool_name_required.copy();
    if (py::Ref refusal = refuse_unsafe_tool_name(tool_name.get())) co_return refusal;

    py::Ref folder = tool_folder(self, tool_name.get());
    py::Ref script_path = join(folder.get(), n.tool_py.get());
    if (!exists(script_path.get())) co_return compose(py::str(texts::kScriptNotFound).get(), script_path.get());

    py::Ref task_type = global(n.SubprocessTask.get());
    py::Ref path_text = py::Ref::steal(PyObject_Str(script_path.get()));
    py::Ref command = run_function_command(path_text.get(), args.get());
    py::Ref task = make_custom_task(task_type.get(), command.get(), constants().run_timeout.get());
    py::Ref job = spawn_job(self, task.get());
    py::Ref result = co_await awaiting(job.get());
    co_return run_answer(result.get());
}

}  // namespace tc::operations
