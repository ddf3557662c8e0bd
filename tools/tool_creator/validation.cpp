// The validate operation and the worker check that creation shares.
#include "jobs.hpp"
#include "json_text.hpp"
#include "operations.hpp"
#include "state.hpp"
#include "store.hpp"

namespace tc::operations {

namespace {

py::Ref invalid_verdict(py::Borrowed message) {
    py::Ref verdict = py::new_dict();
    py::set_item(verdict, names().valid, Py_False);
    py::set_item(verdict, names().message, message);
    return verdict;
}

}  // namespace

Task validate_tool(Args a) {
    const Names& n = names();
    AnswerOrJob next;
    {
        py::Ref code = py::dict_get(a[1], n.code, n.empty);
        if (!py::truthy(code)) co_return n.code_required.copy();
        // Looked up on the instance, so that an override is honoured.
        next.job = py::call_method(a.self(), n.validate_code, code);
    }
    py::Ref verdict = co_await awaiting(std::move(next.job));
    co_return json_text(verdict);
}

Task validate_code(Args a) {
    const Names& n = names();
    PyObject* code = a[1];
    py::Ref job = start_job(a.self(), constants().validate_timeout, [&] {
        py::Ref command = py::new_dict();
        py::set_item(command, n.action, n.validate);
        py::set_item(command, n.code, code);
        return command;
    });
    py::Ref result = co_await awaiting(std::move(job));

    py::Ref error = py::getattr(result, n.error);
    // Read a second time for the verdict's message, as the test and the use
    // are two reads of the attribute.
    if (py::truthy(error)) co_return invalid_verdict(py::getattr(result, n.error));
    py::Ref output = py::getattr(result, n.output);
    // The worker's own verdict, unchanged; it must be exactly a dict, which
    // the result check of this coroutine enforces.
    if (py::truthy(output)) co_return output;
    co_return invalid_verdict(n.no_validation_result);
}

}  // namespace tc::operations
