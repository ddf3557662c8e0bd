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

rt::Step prepare_validate(Args a) {
    const Names& n = names();
    py::Ref code = py::dict_get(a[1], n.code, n.empty);
    if (!py::truthy(code)) return {.answer = n.code_required.copy(), .awaitable = {}};
    // Looked up on the instance, so that an override is honoured.
    return {.answer = {}, .awaitable = py::call_method(a.self(), n.validate_code, code)};
}

py::Ref finish_validate(Args, py::Ref verdict) { return json_text(verdict); }

rt::Step prepare_validate_code(Args a) {
    const Names& n = names();
    PyObject* code = a[1];
    py::Ref job = start_job(a.self(), constants().validate_timeout, [&] {
        py::Ref command = py::new_dict();
        py::set_item(command, n.action, n.validate);
        py::set_item(command, n.code, code);
        return command;
    });
    return {.answer = {}, .awaitable = std::move(job)};
}

py::Ref finish_validate_code(Args, py::Ref result) {
    const Names& n = names();
    py::Ref error = py::getattr(result, n.error);
    // Read a second time for the verdict's message, as the test and the use
    // are two reads of the attribute.
    if (py::truthy(error)) return invalid_verdict(py::getattr(result, n.error));
    py::Ref output = py::getattr(result, n.output);
    // The worker's own verdict, unchanged; it must be exactly a dict, which
    // the result check of this coroutine enforces.
    if (py::truthy(output)) return output;
    return invalid_verdict(n.no_validation_result);
}

}  // namespace tc::operations
