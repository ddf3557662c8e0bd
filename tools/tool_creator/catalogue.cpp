// The catalogue operations: list the store, report on one tool, delete one.
#include "jobs.hpp"
#include "operations.hpp"
#include "state.hpp"
#include "store.hpp"
#include "texts.hpp"

namespace tc::operations {

namespace {

// The report shows the script's first lines only; the counts cover all of it.
constexpr Py_ssize_t kPreviewLines = 50;

py::Ref listing_entry(PyObject* tool_dir) {
    const Names& n = names();
    py::Ref meta_path = join(tool_dir, n.metadata_json.get());
    py::Ref entry = py::new_dict();
    if (exists(meta_path.get())) {
        py::Ref json = global(n.json.get());
        py::Ref meta = py::call_method(json.get(), n.loads.get(), {read_text_utf8(meta_path.get()).get()});
        py::Ref folder_name = py::getattr(tool_dir, n.name.get());
        py::set_item(entry.get(), n.name.get(),
                     py::call_method(meta.get(), n.get.get(), {n.name.get(), folder_name.get()}).get());
        py::set_item(entry.get(), n.description.get(),
                     py::call_method(meta.get(), n.get.get(), {n.description.get(), n.empty.get()}).get());
    } else {
        py::set_item(entry.get(), n.name.get(), py::getattr(tool_dir, n.name.get()).get());
        py::set_item(entry.get(), n.description.get(), n.no_metadata.get());
    }
    py::Ref script_path = join(tool_dir, n.tool_py.get());
    py::set_item(entry.get(), n.path.get(), py::Ref::steal(PyObject_Str(script_path.get())).get());
    return entry;
}

// The name the checks of info and delete share; the answer to give instead
// when the call cannot go on.
struct NamedTool {
    py::Ref tool_name;
    py::Ref folder;
    py::Ref refusal;
};

NamedTool find_tool(PyObject* self, PyObject* kwargs) {
    const Names& n = names();
    NamedTool found{kwarg(kwargs, n.tool_name.get(), n.empty.get()), {}, {}};
    if (!py::truthy(found.tool_name.get())) {
        found.refusal = n.tool_name_required.copy();
    } else if (FolderName checked = check_tool_name(found.tool_name.get()); checked.refusal) {
        found.refusal = std::move(checked.refusal);
    } else {
        found.folder = tool_folder(self, checked.part.get());
        if (!exists(found.folder.get())) {
            found.refusal = compose(py::str(texts::kToolNotFound).get(), found.tool_name.get());
        }
    }
    return found;
}

}  // namespace

py::Ref list_tools(Args a) {
    const Names& n = names();
    PyObject* self = a[0];
    py::Ref tools = py::Ref::steal(PyList_New(0));
    py::Ref root = py::getattr(self, n.custom_tools_dir_attr.get());
    if (exists(root.get())) {
        root = py::getattr(self, n.custom_tools_dir_attr.get());
        py::Ref entries = py::Ref::steal(PySequence_List(py::call_method(root.get(), n.iterdir.get()).get()));
        py::check(PyList_Sort(entries.get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
            py::Ref tool_dir = py::Ref::borrow(PyList_GET_ITEM(entries.get(), i));
            if (!py::truthy(py::call_method(tool_dir.get(), n.is_dir.get()).get())) continue;
            py::check(PyList_Append(tools.get(), listing_entry(tool_dir.get()).get()));
        }
    }
    if (PyList_GET_SIZE(tools.get()) == 0) return n.no_custom_tools.copy();
    py::Ref listing = py::new_dict();
    py::set_item(listing.get(), n.tools.get(), tools.get());
    py::set_item(listing.get(), n.count.get(), py::Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(tools.get()))).get());
    return json_text(listing.get());
}

py::Ref tool_info(Args a) {
    const Names& n = names();
    NamedTool tool = find_tool(a[0], a[1]);
    if (tool.refusal) return std::move(tool.refusal);

    py::Ref meta_path = join(tool.folder.get(), n.metadata_json.get());
    py::Ref script_path = join(tool.folder.get(), n.tool_py.get());
    py::Ref info = py::new_dict();
    py::set_item(info.get(), n.name.get(), tool.tool_name.get());
    if (exists(meta_path.get())) {
        py::Ref json = global(n.json.get());
        py::Ref meta = py::call_method(json.get(), n.loads.get(), {read_text_utf8(meta_path.get()).get()});
        py::call_method(info.get(), n.update.get(), {meta.get()});
    }
    if (exists(script_path.get())) {
        py::Ref code = read_text_utf8(script_path.get());
        py::Ref lines = py::Ref::steal(PyUnicode_Splitlines(code.get(), 0));
        const Py_ssize_t line_count = PyList_GET_SIZE(lines.get());
        py::Ref preview_lines = py::Ref::steal(PyList_GetSlice(lines.get(), 0, kPreviewLines));
        py::set_item(info.get(), n.code_lines.get(), py::Ref::steal(PyLong_FromSsize_t(line_count)).get());
        py::set_item(info.get(), n.code_size.get(),
                     py::Ref::steal(PyLong_FromSsize_t(PyUnicode_GET_LENGTH(code.get()))).get());
        py::set_item(info.get(), n.code_preview.get(),
                     py::Ref::steal(PyUnicode_Join(n.newline.get(), preview_lines.get())).get());
    }
    return json_text(info.get());
}

py::Ref delete_tool(Args a) {
    const Names& n = names();
    PyObject* self = a[0];
    NamedTool tool = find_tool(self, a[1]);
    if (tool.refusal) return std::move(tool.refusal);

    py::Ref name = n.shutil.copy();
    py::Ref globals = state().globals.copy();
    py::Ref shutil = py::Ref::steal(PyImport_ImportModuleLevelObject(name.get(), globals.get(), nullptr, nullptr, 0));
    py::call_method(shutil.get(), n.rmtree.get(), {tool.folder.get()});

    py::Ref registry_name = compose(n.registry_prefix.get(), tool.tool_name.get());
    if (py::truthy(py::getattr(self, n.registry_attr.get()).get())) {
        py::Ref registry = py::getattr(self, n.registry_attr.get());
        py::Ref registered = py::call_method(registry.get(), n.get.get(), {registry_name.get()});
        if (py::truthy(registered.get())) {
            registry = py::getattr(self, n.registry_attr.get());
            if (py::getattr_optional(registry.get(), n.tools_attr.get())) {
                py::Ref tools = py::getattr(py::getattr(self, n.registry_attr.get()).get(), n.tools_attr.get());
                py::call_method(tools.get(), n.pop.get(), {registry_name.get(), Py_None});
            }
        }
    }
    return compose(py::str(texts::kDeleted).get(), tool.tool_name.get());
}

}  // namespace tc::operations
