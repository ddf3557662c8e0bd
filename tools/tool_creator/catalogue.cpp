// The catalogue operations: list the store, report on one tool, delete one.
#include "json_text.hpp"
#include "operations.hpp"
#include "state.hpp"
#include "store.hpp"
#include "texts.hpp"

#include <cerrno>

namespace tc::operations {

namespace {

// The report shows the script's first lines only; the counts cover all of it.
constexpr Py_ssize_t kPreviewLines = 50;
// A delete that meets the folder changing under it (another process deleting
// it too, or writing into it) tries again this many times in all.
constexpr int kRemoveAttempts = 5;

// Several processes may share one store: between the test for a file and
// the reading of it, another process may delete the tool. Such a file is
// read as one that was not there.
bool gone_meanwhile() {
    if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError) &&
        !PyErr_ExceptionMatches(PyExc_NotADirectoryError)) {
        return false;
    }
    PyErr_Clear();
    return true;
}

// What `read` gives for `path` when the file exists, else a null Ref; `gone`
// tells whether it existed at the test and went before the read.
template <class Read>
py::Ref read_if_present(py::Borrowed path, Read&& read, bool& gone) {
    if (!exists(path)) return {};
    try {
        return read(path);
    } catch (const py::ErrorAlreadySet&) {
        if (!gone_meanwhile()) throw;
        gone = true;
        return {};
    }
}

// json.loads(path.read_text()), with `json` read from the module at each use.
py::Ref load_metadata(py::Borrowed meta_path) {
    const Names& n = names();
    py::Ref json = global(n.json);
    return py::call_method(json, n.loads, read_text_utf8(meta_path));
}

// The listing's entry for `tool_dir`, or a null Ref when the folder was
// deleted while it was being read.
py::Ref listing_entry(py::Borrowed tool_dir) {
    const Names& n = names();
    py::Ref meta_path = join(tool_dir, n.metadata_json);
    py::Ref entry = py::new_dict();
    bool gone = false;
    py::Ref meta = read_if_present(meta_path, load_metadata, gone);
    if (gone && !exists(tool_dir)) return {};
    if (meta) {
        py::Ref folder_name = py::getattr(tool_dir, n.name);
        py::set_item(entry, n.name, py::call_method(meta, n.get, n.name, folder_name));
        py::set_item(entry, n.description, py::call_method(meta, n.get, n.description, n.empty));
    } else {
        py::set_item(entry, n.name, py::getattr(tool_dir, n.name));
        py::set_item(entry, n.description, n.no_metadata);
    }
    py::Ref script_path = join(tool_dir, n.tool_py);
    py::set_item(entry, n.path, py::str_of(script_path));
    return entry;
}

// The opening info and delete share: the named tool's folder, which must
// exist, or the answer to give instead.
struct FoundTool {
    py::Ref tool_name;
    py::Ref folder;
    py::Ref refusal;
};

FoundTool find_tool(PyObject* self, PyObject* kwargs) {
    ToolRequest request = resolve_tool(py::dict_get(kwargs, names().tool_name, names().empty));
    FoundTool found{.tool_name = std::move(request.tool_name),
                    .folder = {},
                    .refusal = std::move(request.refusal)};
    if (found.refusal) return found;
    found.folder = tool_folder(self, request.part);
    if (!exists(found.folder)) found.refusal = py::fstring(texts::kToolNotFound, found.tool_name);
    return found;
}

}  // namespace

py::Ref list_tools(Args a) {
    const Names& n = names();
    PyObject* self = a[0];
    py::Ref tools = py::new_list();
    py::Ref root = py::getattr(self, n.custom_tools_dir_attr);
    if (exists(root)) {
        // Read again for the listing, as the test and the use are two reads
        // of the attribute.
        root = py::getattr(self, n.custom_tools_dir_attr);
        py::Ref entries = py::Ref::steal(PySequence_List(py::call_method(root, n.iterdir).get()));
        py::check(PyList_Sort(entries.get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
            py::Ref tool_dir = py::Ref::borrow(PyList_GET_ITEM(entries.get(), i));
            if (!py::truthy(py::call_method(tool_dir, n.is_dir))) continue;
            if (py::Ref entry = listing_entry(tool_dir)) py::append(tools, entry);
        }
    }
    if (PyList_GET_SIZE(tools.get()) == 0) return n.no_custom_tools.copy();
    py::Ref listing = py::new_dict();
    py::set_item(listing, n.tools, tools);
    py::set_item(listing, n.count, py::integer(PyList_GET_SIZE(tools.get())));
    return json_text(listing);
}

py::Ref tool_info(Args a) {
    const Names& n = names();
    FoundTool tool = find_tool(a[0], a[1]);
    if (tool.refusal) return std::move(tool.refusal);

    py::Ref meta_path = join(tool.folder, n.metadata_json);
    py::Ref script_path = join(tool.folder, n.tool_py);
    py::Ref info = py::new_dict();
    py::set_item(info, n.name, tool.tool_name);
    bool gone = false;
    if (py::Ref meta = read_if_present(meta_path, load_metadata, gone))
        py::call_method(info, n.update, meta);
    if (py::Ref code = read_if_present(script_path, read_text_utf8, gone)) {
        py::Ref lines = py::Ref::steal(PyUnicode_Splitlines(code.get(), 0));
        const Py_ssize_t line_count = PyList_GET_SIZE(lines.get());
        py::Ref preview_lines = py::Ref::steal(PyList_GetSlice(lines.get(), 0, kPreviewLines));
        py::set_item(info, n.code_lines, py::integer(line_count));
        py::set_item(info, n.code_size, py::integer(PyUnicode_GET_LENGTH(code.get())));
        py::set_item(info, n.code_preview,
                     py::Ref::steal(PyUnicode_Join(n.newline.get(), preview_lines.get())));
    }
    // Deleted while it was being read: the delete came first.
    if (gone && !exists(tool.folder)) return py::fstring(texts::kToolNotFound, tool.tool_name);
    return json_text(info);
}

// Whether `error` is what a removal meets when another process changes the
// folder under it: an entry already gone, or a folder no longer empty.
bool changed_under_removal(const py::SavedError& error) {
    PyObject* exc = error.get();
    if (PyErr_GivenExceptionMatches(exc, PyExc_FileNotFoundError)) return true;
    if (!PyErr_GivenExceptionMatches(exc, PyExc_OSError)) return false;
    py::Ref code = py::getattr(exc, names().errno_attr);
    return PyLong_Check(code.get()) && PyLong_AsLong(code.get()) == ENOTEMPTY;
}

// shutil.rmtree(folder). Another process may delete the same tool at once,
// or write into its folder while it goes: a removal that fails because
// entries vanished or appeared under it is tried again, and one that finds
// the folder gone has done its work.
void remove_folder(py::Borrowed shutil, py::Borrowed folder) {
    for (int attempt = 1;; ++attempt) {
        try {
            py::call_method(shutil, names().rmtree, folder);
            return;
        } catch (const py::ErrorAlreadySet&) {
            py::SavedError error = py::SavedError::fetch();
            if (!changed_under_removal(error)) {
                error.restore();
                throw;
            }
            if (!exists(folder)) return;
            if (attempt == kRemoveAttempts) {
                error.restore();
                throw;
            }
        }
    }
}

py::Ref delete_tool(Args a) {
    const Names& n = names();
    PyObject* self = a[0];
    FoundTool tool = find_tool(self, a[1]);
    if (tool.refusal) return std::move(tool.refusal);

    // `import shutil`, as the statement runs inside the function, each time.
    // The namespace is held for the import, which may run any code.
    py::Ref globals = rt::runtime().globals.copy();
    py::Ref shutil = py::Ref::steal(
        PyImport_ImportModuleLevelObject(n.shutil.get(), globals.get(), nullptr, nullptr, 0));
    {
        const StoreLock lock(tool.folder);
        remove_folder(shutil, tool.folder);
    }

    // `_registry` is read afresh for each step (test, lookup, withdrawal), as
    // `self._registry` spelt out at each would be: a registry replaced by one
    // of the steps is what the next step sees.
    py::Ref registry_name = py::fstring(n.registry_prefix, tool.tool_name);
    if (py::truthy(py::getattr(self, n.registry_attr))) {
        py::Ref registry = py::getattr(self, n.registry_attr);
        py::Ref registered = py::call_method(registry, n.get, registry_name);
        if (py::truthy(registered)) {
            registry = py::getattr(self, n.registry_attr);
            if (py::getattr_optional(registry, n.tools_attr)) {
                py::Ref tools = py::getattr(py::getattr(self, n.registry_attr), n.tools_attr);
                py::call_method(tools, n.pop, registry_name, Py_None);
            }
        }
    }
    return py::fstring(texts::kDeleted, tool.tool_name);
}

}  // namespace tc::operations
