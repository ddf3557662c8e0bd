// The custom tools store: where saved tools live on disk.
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

const FunctionSpec kGetCustomToolsDir = {
    .name = "_get_custom_tools_dir",
    .qualname = "_get_custom_tools_dir",
    .doc = texts::kGetCustomToolsDirDoc,
    .params = {},
    .return_annotation = "Path",
    .plain = get_custom_tools_dir,
};

}  // namespace tc
