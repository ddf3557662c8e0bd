// The validate operation and the worker check that creation shares.
#include "jobs.hpp"
#include "operations.hpp"
#include "state.hpp"
#include "store.hpp"

namespace tc::operations {

namespace {

py::Ref invalid_verdict(PyObject* message) {
    py::Ref verdict = py::new_dict();
    py::set_item(verdict.get(), names().valid.get(), Py_False);
    py::set_item(verdict.get(), names().message.get(), message);
    return verdict;
}

}  // namespace

Task validate_tool(Args a) {
    const Names& n = names();
    AnswerOrJob next;
    {
        py::Ref code = kwarg(a[1], n.code.get(), n.empty.get());
        if (!py::truthy(code.get())) co_return n.code_required.copy();
        next.job = py::call_method(a.self(), n.validate_code.get(), {code.get()});
    }
    py::Ref verdict = co_await awaiting(std::move(next.job));
    co_return json_text(verdict.get());
}

namespace {

// Builds the "validate" job and hands it to the manager.
py::Ref start_validation(PyObject* self, PyObject* code) {
    const Names& n = names();
    py::Ref task_type = global(n.SubprocessTask.get());
    py::Ref command = py::new_dict();
    py::set_item(command.get(), n.action.get(), n.validate.get());
    py::set_item(command.get(), n.code.get(), code);
    py::Ref task = make_custom_task(task_type.get(), command.get(), constants().validate_timeout.get());
    return spawn_job(self, task.get());
}

}  // namespace

Task validate_code(Args a) {
    const Names& n = names();
    py::Ref result = co_await awaiting(start_validation(a[0], a[1]));

    py::Ref error = py::getattr(result.get(), n.error.get());
    if (py::truthy(error.get())) co_return invalid_verdict(py::getattr(result.get(), n.error.get()).get());
    py::Ref output = py::getattr(result.get(), n.output.get());
    // The worker's own verdict, unchanged; it must be exactly a dict, which
    // the result check of this coroutine enforces.
    if (py::truthy(output.get())) co_return output;
    co_return invalid_verdict(n.no_validation_result.get());
}

}  // namespace tc::operations
