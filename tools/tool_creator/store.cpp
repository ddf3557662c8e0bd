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
    // `Path` is read at each call: a test that rebinds it moves the store.
    py::Ref path_type = global(n.Path);
    py::Ref home = py::call_method(path_type, n.home);
    py::Ref velmor = join(home, n.velmor_dir);
    py::Ref root = join(velmor, n.custom_tools);
    py::Ref mkdir = py::getattr(root, n.mkdir);
    py::call_kw(mkdir, constants().kw_parents_exist_ok, Py_True, Py_True);
    return root;
}

// The name's text when it is one, or its os.fspath text for a path-like
// object; null for anything else (then not a folder name at all).
py::Ref name_text(PyObject* tool_name) {
    if (PyUnicode_Check(tool_name)) return py::Ref::borrow(tool_name);
    if (!py::getattr_optional(reinterpret_cast<PyObject*>(Py_TYPE(tool_name)),
                              names().fspath_method))
        return {};
    py::Ref text = py::Ref::steal(PyOS_FSPath(tool_name));
    if (!PyUnicode_Check(text.get())) return {};
    return text;
}

bool is_unsafe_folder_name(PyObject* text) {
    if (PyUnicode_CompareWithASCIIString(text, ".") == 0 ||
        PyUnicode_CompareWithASCIIString(text, "..") == 0) {
        return true;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_UCS4 forbidden : {Py_UCS4('/'), Py_UCS4('\\'), Py_UCS4('\0')}) {
        Py_ssize_t at = PyUnicode_FindChar(text, forbidden, 0, length, 1);
        if (at == -2) py::throw_error_set();
        if (at >= 0) return true;
    }
    return false;
}

}  // namespace

ToolRequest resolve_tool(py::Borrowed tool_name, py::Borrowed code) {
    const Names& n = names();
    ToolRequest request{.tool_name = tool_name.ref(), .part = {}, .refusal = {}};
    if (!py::truthy(request.tool_name)) {
        request.refusal = n.tool_name_required.copy();
        return request;
    }
    if (code && !py::truthy(code)) {
        request.refusal = n.code_required.copy();
        return request;
    }
    py::Ref text = name_text(request.tool_name.get());
    if (!text) {
        request.part = request.tool_name.copy();
    } else if (!is_unsafe_folder_name(text.get())) {
        request.part = std::move(text);
    } else {
        // The plain str repr, whatever a subclass would make of it.
        py::Ref repr = py::Ref::steal(PyUnicode_Type.tp_repr(text.get()));
        request.refusal = py::Ref::steal(PyUnicode_FromFormat(texts::kInvalidToolName, repr.get()));
    }
    return request;
}

py::Ref join(py::Borrowed path, py::Borrowed part) {
    return py::Ref::steal(PyNumber_TrueDivide(path, part));
}

py::Ref tool_folder(py::Borrowed self, py::Borrowed part) {
    py::Ref root = py::getattr(self, names().custom_tools_dir_attr);
    return join(root, part);
}

bool exists(py::Borrowed path) { return py::truthy(py::call_method(path, names().exists)); }

py::Ref read_text_utf8(py::Borrowed path) {
    py::Ref read = py::getattr(path, names().read_text);
    return py::call_kw(read, constants().kw_encoding, names().utf8);
}

void write_text_utf8(py::Borrowed path, py::Borrowed text) {
    py::Ref write = py::getattr(path, names().write_text);
    py::call_kw(write, constants().kw_encoding, text, names().utf8);
}

const rt::FunctionSpec kGetCustomToolsDir = {
    .name = "_get_custom_tools_dir",
    .doc = texts::kGetCustomToolsDirDoc,
    .params = {},
    .return_annotation = "Path",
    .body = get_custom_tools_dir,
};

}  // namespace tc
