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

// A create that finds its tool folder removed under it (another process
// deleted the tool meanwhile) starts its writes again in a new folder, as if
// the delete had come first; this many times at most.
constexpr int kWriteAttempts = 5;

void write_tool_files(py::Borrowed folder, py::Borrowed tool_name, py::Borrowed description,
                      py::Borrowed code, py::Borrowed script_path) {
    const Names& n = names();
    py::Ref mkdir = py::getattr(folder, n.mkdir);
    py::call_kw(mkdir, constants().kw_parents_exist_ok, Py_True, Py_True);
    remove_stale_temporaries(folder);

    write_durably(folder, n.tool_py, code);

    py::Ref metadata = py::new_dict();
    py::set_item(metadata, n.name, tool_name);
    py::set_item(metadata, n.description, description);
    py::set_item(metadata, n.script, py::str_of(script_path));
    py::set_item(metadata, n.created_by, n.agent);
    write_durably(folder, n.metadata_json, json_text(metadata));
    sync_folder(folder);
}

// Writes tool.py and metadata.json; returns the script's path.
py::Ref save_tool_folder(PyObject* self, PyObject* folder_name, PyObject* tool_name,
                         PyObject* description, PyObject* code) {
    // The store root is read now, after validation, not when the call began.
    py::Ref folder = tool_folder(self, folder_name);
    py::Ref script_path = join(folder, names().tool_py);
    const StoreLock lock(folder);
    for (int attempt = 1;; ++attempt) {
        try {
            write_tool_files(folder, tool_name, description, code, script_path);
            return script_path;
        } catch (const py::ErrorAlreadySet&) {
            py::SavedError error = py::SavedError::fetch();
            // The folder or this writer's temporary file went, so another
            // process deleted the tool (and may have made it anew since); or
            // mkdir found the folder there but gone by the time it checked it.
            const bool deleted_meanwhile =
                PyErr_GivenExceptionMatches(error.get(), PyExc_FileNotFoundError) ||
                PyErr_GivenExceptionMatches(error.get(), PyExc_FileExistsError);
            if (attempt == kWriteAttempts || !deleted_meanwhile) {
                error.restore();
                throw;
            }
        }
    }
}

// Model providers accept function names matching [A-Za-z0-9_-]{1,64}; a new
// tool is registered as custom_<name>, so its name may use 64 - 7 characters.
constexpr Py_ssize_t kMaxNewToolNameLength = 57;

bool provider_safe_char(Py_UCS4 c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

// The refusal text for a folder name that would make an unusable registered
// name, or a null Ref when it is fine. Only text names are judged: other
// types reach the store as they always did.
py::Ref provider_name_refusal(py::Borrowed folder_name) {
    if (!PyUnicode_Check(folder_name)) return {};
    const Py_ssize_t length = PyUnicode_GET_LENGTH(folder_name);
    bool safe = length >= 1 && length <= kMaxNewToolNameLength;
    for (Py_ssize_t i = 0; safe && i < length; ++i)
        safe = provider_safe_char(PyUnicode_READ_CHAR(folder_name, i));
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
py::Ref register_tool(py::Borrowed self, py::Borrowed tool_name, py::Borrowed description,
                      py::Borrowed script_path) {
    const Names& n = names();
    try {
        // `DynamicTool`, `_manager` and `_registry` are read now, at
        // registration, each from where a host or test may have replaced it.
        py::Ref tool_type = global(n.DynamicTool);
        py::Ref path_text = py::str_of(script_path);
        py::Ref manager = py::getattr(self, n.manager_attr);
        py::Ref tool = py::call_kw(tool_type, constants().kw_dynamic_tool, tool_name, description,
                                   path_text, manager);
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

// What create keeps across its await.
enum CreateSlot : std::size_t { kToolName, kDescription, kCode, kShouldRegister, kFolderName };

rt::Step prepare_create(Args a) {
    const Names& n = names();
    PyObject* kwargs = a[1];
    // All four are read before anything is tested, in this order.
    PyObject* tool_name = a.keep<kToolName>(py::dict_get(kwargs, n.tool_name, n.empty));
    a.keep<kDescription>(py::dict_get(kwargs, n.description, n.empty));
    PyObject* code = a.keep<kCode>(py::dict_get(kwargs, n.code, n.empty));
    a.keep<kShouldRegister>(py::dict_get(kwargs, n.register_, Py_True));
    ToolRequest request = resolve_tool(tool_name, code);
    if (request.refusal) return {.answer = std::move(request.refusal), .awaitable = {}};
    // A new tool's name must also make a registered name providers accept.
    if (py::Ref refusal = provider_name_refusal(request.part))
        return {.answer = std::move(refusal), .awaitable = {}};
    a.keep<kFolderName>(std::move(request.part));
    // Looked up on the instance, so that an override is honoured.
    return {.answer = {}, .awaitable = py::call_method(a.self(), n.validate_code, code)};
}

py::Ref finish_create(Args a, py::Ref validation) {
    const Names& n = names();
    PyObject* self = a[0];
    PyObject* tool_name = a.kept<kToolName>();
    PyObject* description = a.kept<kDescription>();
    py::Ref valid = py::call_method(validation, n.get, n.valid);
    if (!py::truthy(valid)) {
        py::Ref message = py::call_method(validation, n.get, n.message, n.unknown_error);
        return py::fstring(texts::kInvalidCode, message);
    }

    py::Ref script_path =
        save_tool_folder(self, a.kept<kFolderName>(), tool_name, description, a.kept<kCode>());

    // "registered" tells whether this call registered the tool, not merely
    // whether registration was asked for. `_registry` is read after the
    // await, so a registry set meanwhile is used.
    bool registered = false;
    if (py::truthy(a.kept<kShouldRegister>()) && py::truthy(py::getattr(self, n.registry_attr))) {
        if (py::Ref failure = register_tool(self, tool_name, description, script_path))
            return failure;
        registered = true;
    }

    py::Ref answer = py::new_dict();
    py::set_item(answer, n.created, tool_name);
    py::set_item(answer, n.path, py::str_of(script_path));
    py::set_item(answer, n.registered, registered ? Py_True : Py_False);
    py::set_item(answer, n.description, description);
    return json_text(answer);
}

}  // namespace tc::operations
