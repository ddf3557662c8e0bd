#include "jobs.hpp"

#include "state.hpp"

namespace tc {

namespace {

// What json.dumps(value, indent=2) does with the standard encoder, minus its
// Python-level layers: a str is escaped directly, anything else goes through
// a fresh C encoder (fresh, so that its record of containers being encoded
// never outlives one call).
py::Ref encode_directly(const JsonEncoding& j, PyObject* value) {
    if (PyUnicode_Check(value)) return py::call(j.encode_string.get(), {value});
    py::Ref markers = py::new_dict();
    py::Ref encoder = py::call(j.make_encoder.get(), {markers.get(), j.default_method.get(), j.encode_string.get(),
                                                      j.indent.get(), j.key_separator.get(), j.item_separator.get(),
                                                      Py_False, Py_False, Py_True});
    py::Ref chunks = py::call(encoder.get(), {value, j.zero.get()});
    if (!PyList_Check(chunks.get()) && !PyTuple_Check(chunks.get())) {
        chunks = py::Ref::steal(PySequence_List(chunks.get()));
    }
    return py::Ref::steal(PyUnicode_Join(names().empty.get(), chunks.get()));
}

}  // namespace

void capture_json_encoding(PyObject* json_module) {
    JsonEncoding j;
    py::Ref encoder_module = py::Ref::steal(PyImport_ImportModule("json.encoder"));
    j.make_encoder = py::getattr_optional(encoder_module.get(), py::interned("c_make_encoder").get());
    if (!j.make_encoder || j.make_encoder.get() == Py_None) return;  // no C encoder: always call dumps
    j.module = py::Ref::borrow(json_module);
    j.dumps = py::getattr(json_module, names().dumps.get());
    j.encoder_type = py::getattr(json_module, names().JSONEncoder.get());
    j.encode_string = py::getattr(encoder_module.get(), py::interned("encode_basestring_ascii").get());
    py::Ref kw_indent = constants().kw_indent.copy();
    py::Ref instance = py::call_kw(j.encoder_type.get(), {constants().two.get()}, kw_indent.get());
    j.default_method = py::getattr(instance.get(), py::interned("default").get());
    j.indent = py::str("  ");
    j.key_separator = py::str(": ");
    j.item_separator = py::str(",");
    j.zero = py::Ref::steal(PyLong_FromLong(0));
    state().json = std::move(j);
}

py::Ref json_text(PyObject* value) {
    const Names& n = names();
    const JsonEncoding& j = state().json;
    py::Ref json = global(n.json.get());
    py::Ref dumps = py::getattr(json.get(), n.dumps.get());
    if (j.module && json.get() == j.module.get() && dumps.get() == j.dumps.get() &&
        py::getattr(json.get(), n.JSONEncoder.get()).get() == j.encoder_type.get()) {
        return encode_directly(j, value);
    }
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
