// The create operation: validate through a worker, save the tool folder,
// then register a DynamicTool for it.
#include "jobs.hpp"
#include "json_text.hpp"
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
    // The store root is read now, after validation, not when the call began.
    py::Ref folder = tool_folder(self, folder_name);
    py::Ref mkdir = py::getattr(folder, n.mkdir);
    py::call_kw(mkdir, constants().kw_parents_exist_ok, Py_True, Py_True);

    py::Ref script_path = join(folder, n.tool_py);
    write_text_utf8(script_path, code);

    py::Ref metadata = py::new_dict();
    py::set_item(metadata, n.name, tool_name);
    py::set_item(metadata, n.description, description);
    py::set_item(metadata, n.script, py::str_of(script_path));
    py::set_item(metadata, n.created_by, n.agent);
    py::Ref meta_path = join(folder, n.metadata_json);
    write_text_utf8(meta_path, json_text(metadata));
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
py::Ref provider_name_refusal(py::Borrowed folder_name) {
    if (!PyUnicode_Check(folder_name)) return {};
    const Py_ssize_t length = PyUnicode_GET_LENGTH(folder_name);
    bool safe = length >= 1 && length <= kMaxNewToolNameLength;
    for (Py_ssize_t i = 0; safe && i < length; ++i) safe = provider_safe_char(PyUnicode_READ_CHAR(folder_name, i));
    if (safe) return {};
    py::Ref repr = py::Ref::steal(PyUnicode_Type.tp_repr(folder_name));
    return py::Ref::steal(PyUnicode_FromFormat(texts::kNotProviderSafeToolName, repr.get()));
}

void log(py::Borrowed level, py::Borrowed message) {
    // `logger` is read from the module at each use, so that rebinding it
    // redirects the log.
    py::Ref logger = global(names().logger);
    py::call_method(logger, level, message);
}

// Builds and registers the DynamicTool. Returns the failure text when that
// raised an Exception (the files stay), or a null Ref on success.
py::Ref register_tool(py::Borrowed self, py::Borrowed tool_name, py::Borrowed description, py::Borrowed script_path) {
    const Names& n = names();
    try {
        // `DynamicTool`, `_manager` and `_registry` are read now, at
        // registration, each from where a host or test may have replaced it.
        py::Ref tool_type = global(n.DynamicTool);
        py::Ref path_text = py::str_of(script_path);
        py::Ref manager = py::getattr(self, n.manager_attr);
        py::Ref tool =
            py::call_kw(tool_type, constants().kw_dynamic_tool, tool_name, description, path_text, manager);
        py::Ref registry = py::getattr(self, n.registry_attr);
        py::call_method(registry, n.register_, tool);
        log(n.info, py::fstring(texts::kRegisteredLog, tool_name));
        return {};
    } catch (...) {
        py::set_error_from_current_exception();
        if (!PyErr_ExceptionMatches(PyExc_Exception)) py::throw_error_set();
    }
    py::SavedError error = py::SavedError::fetch();
    py::Ref error_text = py::format(error.get());
    py::Ref warning = py::fstring(texts::kRegisterFailedLog, tool_name);
    warning = py::concat(warning, py::str(": "));
    warning = py::concat(warning, error_text);
    log(n.warning, warning);

    py::Ref answer = py::fstring(texts::kSavedButNotRegistered, script_path);
    answer = py::concat(answer, py::str(texts::kRegistrationFailed));
    answer = py::concat(answer, error_text);
    return py::concat(answer, py::str(texts::kRunItAnyway));
}

}  // namespace

Task create_tool(Args a) {
    const Names& n = names();
    PyObject* self = a[0];
    PyObject* kwargs = a[1];
    // Kept in the coroutine's traversed slots: they are needed after the await.
    // All four are read before anything is tested, in this order.
    PyObject* tool_name = a.keep<0>(py::dict_get(kwargs, n.tool_name, n.empty));
    PyObject* description = a.keep<1>(py::dict_get(kwargs, n.description, n.empty));
    PyObject* code = a.keep<2>(py::dict_get(kwargs, n.code, n.empty));
    PyObject* should_register = a.keep<3>(py::dict_get(kwargs, n.register_, Py_True));
    ToolRequest request = resolve_tool(tool_name, code);
    if (request.refusal) co_return std::move(request.refusal);
    // A new tool's name must also make a registered name providers accept.
    if (py::Ref refusal = provider_name_refusal(request.part)) co_return refusal;
    PyObject* folder_name = a.keep<4>(std::move(request.part));

    // Looked up on the instance, so that an override is honoured.
    py::Ref check = py::call_method(self, n.validate_code, code);
    py::Ref validation = co_await awaiting(std::move(check));
    py::Ref valid = py::call_method(validation, n.get, n.valid);
    if (!py::truthy(valid)) {
        py::Ref message = py::call_method(validation, n.get, n.message, n.unknown_error);
        co_return py::fstring(texts::kInvalidCode, message);
    }

    py::Ref script_path = save_tool_folder(self, folder_name, tool_name, description, code);

    // "registered" tells whether this call registered the tool, not merely
    // whether registration was asked for. `_registry` is read after the
    // await, so a registry set meanwhile is used.
    bool registered = false;
    if (py::truthy(should_register) && py::truthy(py::getattr(self, n.registry_attr))) {
        if (py::Ref failure = register_tool(self, tool_name, description, script_path)) co_return failure;
        registered = true;
    }

    py::Ref answer = py::new_dict();
    py::set_item(answer, n.created, tool_name);
    py::set_item(answer, n.path, py::str_of(script_path));
    py::set_item(answer, n.registered, registered ? Py_True : Py_False);
    py::set_item(answer, n.description, description);
    co_return json_text(answer);
}

}  // namespace tc::operations
