// The create operation: validate through a worker, save the tool folder,
// then register a DynamicTool for it.
#include "jobs.hpp"
#include "operations.hpp"
#include "state.hpp"
#include "store.hpp"
#include "texts.hpp"

namespace tc::operations {

namespace {

// Writes tool.py and metadata.json; returns the script's path.
py::Ref save_tool_folder(PyObject* self, PyObject* folder_name, PyObject* tool_name, PyObject* description,
                         PyObject* code) {
    const Names& n = names();
    py::Ref folder = tool_folder(self, folder_name);
    py::Ref mkdir = py::getattr(folder.get(), n.mkdir.get());
    py::call_kw(mkdir.get(), {Py_True, Py_True}, constants().kw_parents_exist_ok.get());

    py::Ref script_path = join(folder.get(), n.tool_py.get());
    write_text_utf8(script_path.get(), code);

    py::Ref metadata = py::new_dict();
    py::set_item(metadata.get(), n.name.get(), tool_name);
    py::set_item(metadata.get(), n.description.get(), description);
    py::set_item(metadata.get(), n.script.get(), py::Ref::steal(PyObject_Str(script_path.get())).get());
    py::set_item(metadata.get(), n.created_by.get(), n.agent.get());
    py::Ref meta_path = join(folder.get(), n.metadata_json.get());
    write_text_utf8(meta_path.get(), json_text(metadata.get()).get());
    return script_path;
}

// Model providers accept function names matching [A-Za-z0-9_-]{1,64}; a new
// tool is registered as custom_<name>, so its name may use 64 - 7 characters.
constexpr Py_ssize_t kMaxNewToolNameLength = 57;

bool provider_safe_char(Py_UCS4 c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// The refusal text for a folder name that would make an unusable registered
// name, or a null Ref when it is fine. Only text names are judged: other
// types reach the store as they always did.
py::Ref provider_name_refusal(PyObject* folder_name) {
    if (!PyUnicode_Check(folder_name)) return {};
    const Py_ssize_t length = PyUnicode_GET_LENGTH(folder_name);
    bool safe = length >= 1 && length <= kMaxNewToolNameLength;
    for (Py_ssize_t i = 0; safe && i < length; ++i) safe = provider_safe_char(PyUnicode_READ_CHAR(folder_name, i));
    if (safe) return {};
    py::Ref repr = py::Ref::steal(PyUnicode_Type.tp_repr(folder_name));
    return py::Ref::steal(PyUnicode_FromFormat(texts::kNotProviderSafeToolName, repr.get()));
}

void log(PyObject* level, PyObject* message) {
    py::Ref logger = global(names().logger.get());
    py::call_method(logger.get(), level, {message});
}

// Builds and registers the DynamicTool. Returns the failure text when that
// raised an Exception (the files stay), or a null Ref on success.
py::Ref register_tool(PyObject* self, PyObject* tool_name, PyObject* description, PyObject* script_path) {
    const Names& n = names();
    try {
        py::Ref tool_type = global(n.DynamicTool.get());
        py::Ref path_text = py::Ref::steal(PyObject_Str(script_path));
        py::Ref manager = py::getattr(self, n.manager_attr.get());
        py::Ref tool = py::call_kw(tool_type.get(), {tool_name, description, path_text.get(), manager.get()},
                                   constants().kw_dynamic_tool.get());
        py::Ref registry = py::getattr(self, n.registry_attr.get());
        py::call_method(registry.get(), n.register_.get(), {tool.get()});
        log(n.info.get(), compose(py::str(texts::kRegisteredLog).get(), tool_name).get());
        return {};
    } catch (...) {
        py::set_error_from_current_exception();
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::ErrorAlreadySet{};
    }
    py::SavedError error = py::SavedError::fetch();
    py::Ref error_text = py::format(error.get());
    py::Ref warning = compose(py::str(texts::kRegisterFailedLog).get(), tool_name);
    warning = py::concat(warning.get(), py::str(": ").get());
    warning = py::concat(warning.get(), error_text.get());
    log(n.warning.get(), warning.get());

    py::Ref answer = compose(py::str(texts::kSavedButNotRegistered).get(), script_path);
    answer = py::concat(answer.get(), py::str(texts::kRegistrationFailed).get());
    answer = py::concat(answer.get(), error_text.get());
    return py::concat(answer.get(), py::str(texts::kRunItAnyway).get());
}

}  // namespace

Task create_tool(Args a) {
    const Names& n = names();
    PyObject* self = a[0];
    PyObject* kwargs = a[1];
    // Kept in the coroutine's traversed slots: they are needed after the await.
    PyObject* tool_name = a.keep(0, kwarg(kwargs, n.tool_name.get(), n.empty.get()));
    PyObject* description = a.keep(1, kwarg(kwargs, n.description.get(), n.empty.get()));
    PyObject* code = a.keep(2, kwarg(kwargs, n.code.get(), n.empty.get()));
    PyObject* should_register = a.keep(3, kwarg(kwargs, n.register_.get(), Py_True));

    if (!py::truthy(tool_name)) co_return n.tool_name_required.copy();
    if (!py::truthy(code)) co_return n.code_required.copy();
    FolderName checked = check_tool_name(tool_name);
    if (checked.refusal) co_return std::move(checked.refusal);
    if (py::Ref refusal = provider_name_refusal(checked.part.get())) co_return refusal;
    PyObject* folder_name = a.keep(4, std::move(checked.part));

    // (Made outside the await expression: GCC 12 miscompiles a braced list
    // inside one.)
    py::Ref check = py::call_method(self, n.validate_code.get(), {code});
    py::Ref validation = co_await awaiting(std::move(check));
    py::Ref valid = py::call_method(validation.get(), n.get.get(), {n.valid.get()});
    if (!py::truthy(valid.get())) {
        py::Ref message = py::call_method(validation.get(), n.get.get(), {n.message.get(), n.unknown_error.get()});
        co_return compose(py::str(texts::kInvalidCode).get(), message.get());
    }

    py::Ref script_path = save_tool_folder(self, folder_name, tool_name, description, code);

    // "registered" tells whether this call registered the tool, not merely
    // whether registration was asked for.
    bool registered = false;
    if (py::truthy(should_register) && py::truthy(py::getattr(self, n.registry_attr.get()).get())) {
        if (py::Ref failure = register_tool(self, tool_name, description, script_path.get())) co_return failure;
        registered = true;
    }

    py::Ref answer = py::new_dict();
    py::set_item(answer.get(), n.created.get(), tool_name);
    py::set_item(answer.get(), n.path.get(), py::Ref::steal(PyObject_Str(script_path.get())).get());
    py::set_item(answer.get(), n.registered.get(), registered ? Py_True : Py_False);
    py::set_item(answer.get(), n.description.get(), description);
    co_return json_text(answer.get());
}

}  // namespace tc::operations
