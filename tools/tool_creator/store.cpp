// The custom tools store: where saved tools live on disk.
#include "store.hpp"

#include "state.hpp"
#include "texts.hpp"
#include "tools.hpp"

namespace tc {

namespace {

// Path.home() / ".velmor" / "custom_tools", created with its parents.
py::Ref get_custom_tools_dir(Args) {
    const Names& n = names();
    py::Ref path_type = global(n.Path.get());
    py::Ref home = py::call_method(path_type.get(), n.home.get());
    py::Ref velmor = py::Ref::steal(PyNumber_TrueDivide(home.get(), n.velmor_dir.get()));
    py::Ref root = py::Ref::steal(PyNumber_TrueDivide(velmor.get(), n.custom_tools.get()));
    py::Ref mkdir = py::getattr(root.get(), n.mkdir.get());
    py::call_kw(mkdir.get(), {Py_True, Py_True}, constants().kw_parents_exist_ok.get());
    return root;
}

}  // namespace

py::Ref kwarg(PyObject* kwargs, PyObject* key, PyObject* default_value) {
    if (py::Ref value = py::dict_get(kwargs, key)) return value;
    return py::Ref::borrow(default_value);
}

FolderName check_tool_name(PyObject* tool_name) {
    py::Ref text;
    if (PyUnicode_Check(tool_name)) {
        text = py::Ref::borrow(tool_name);
    } else if (py::getattr_optional(reinterpret_cast<PyObject*>(Py_TYPE(tool_name)), names().fspath_method.get())) {
        text = py::Ref::steal(PyOS_FSPath(tool_name));
        if (!PyUnicode_Check(text.get())) return {.refusal = {}, .part = py::Ref::borrow(tool_name)};
    } else {
        return {.refusal = {}, .part = py::Ref::borrow(tool_name)};
    }
    PyObject* t = text.get();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(t);
    bool unsafe = PyUnicode_CompareWithASCIIString(t, ".") == 0 || PyUnicode_CompareWithASCIIString(t, "..") == 0;
    for (Py_UCS4 forbidden : {Py_UCS4('/'), Py_UCS4('\\'), Py_UCS4('\0')}) {
        if (unsafe) break;
        Py_ssize_t at = PyUnicode_FindChar(t, forbidden, 0, length, 1);
        if (at == -2) throw py::ErrorAlreadySet{};
        unsafe = at >= 0;
    }
    if (!unsafe) return {.refusal = {}, .part = std::move(text)};
    // The plain str repr, whatever a subclass would make of it.
    py::Ref repr = py::Ref::steal(PyUnicode_Type.tp_repr(t));
    return {.refusal = py::Ref::steal(PyUnicode_FromFormat(texts::kInvalidToolName, repr.get())), .part = {}};
}

py::Ref join(PyObject* path, PyObject* part) { return py::Ref::steal(PyNumber_TrueDivide(path, part)); }

py::Ref tool_folder(PyObject* self, PyObject* part) {
    py::Ref root = py::getattr(self, names().custom_tools_dir_attr.get());
    return join(root.get(), part);
}

bool exists(PyObject* path) { return py::truthy(py::call_method(path, names().exists.get()).get()); }

py::Ref read_text_utf8(PyObject* path) {
    py::Ref read = py::getattr(path, names().read_text.get());
    return py::call_kw(read.get(), {names().utf8.get()}, constants().kw_encoding.get());
}

void write_text_utf8(PyObject* path, PyObject* text) {
    py::Ref write = py::getattr(path, names().write_text.get());
    py::call_kw(write.get(), {text, names().utf8.get()}, constants().kw_encoding.get());
}

py::Ref compose(PyObject* prefix, PyObject* value) { return py::concat(prefix, py::format(value).get()); }

const FunctionSpec kGetCustomToolsDir = {
    .name = "_get_custom_tools_dir",
    .qualname = "_get_custom_tools_dir",
    .doc = texts::kGetCustomToolsDirDoc,
    .params = {},
    .return_annotation = "Path",
    .plain = get_custom_tools_dir,
};

}  // namespace tc
