#include "jobs.hpp"

#include "state.hpp"

namespace tc {

py::Ref json_text(PyObject* value) {
    const Names& n = names();
    py::Ref json = global(n.json.get());
    py::Ref dumps = py::getattr(json.get(), n.dumps.get());
    return py::call_kw(dumps.get(), {value, constants().two.get()}, constants().kw_indent.get());
}

py::Ref make_custom_task(PyObject* task_type, PyObject* command, PyObject* timeout) {
    return py::call_kw(task_type, {names().custom.get(), command, timeout}, constants().kw_task.get());
}

py::Ref run_function_command(PyObject* path, PyObject* args) {
    const Names& n = names();
    py::Ref command = py::new_dict();
    py::set_item(command.get(), n.action.get(), n.run_function.get());
    py::set_item(command.get(), n.path.get(), path);
    py::set_item(command.get(), n.function.get(), n.main.get());
    py::set_item(command.get(), n.args.get(), args);
    return command;
}

py::Ref spawn_job(PyObject* owner, PyObject* task) {
    py::Ref manager = py::getattr(owner, names().manager_attr.get());
    return py::call_method(manager.get(), names().spawn.get(), {task});
}

py::Ref run_answer(PyObject* result) {
    const Names& n = names();
    py::Ref error = py::getattr(result, n.error.get());
    if (py::truthy(error.get())) {
        // Read again for the text, as the answer is composed from the attribute.
        py::Ref text = py::format(py::getattr(result, n.error.get()).get());
        return py::concat(n.error_prefix.get(), text.get());
    }
    py::Ref output = py::getattr(result, n.output.get());
    return json_text(output.get());
}

}  // namespace tc
