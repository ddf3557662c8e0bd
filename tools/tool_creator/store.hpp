// Helpers shared by the operations that work on the custom tools store.
#pragma once

#include "runtime/py.hpp"

namespace tc {

// kwargs.get(key, default) on the call's exact dict.
py::Ref kwarg(PyObject* kwargs, PyObject* key, PyObject* default_value);

// A tool name checked for use as a folder name. A name that is not one plain
// folder name (it would lead outside the store) gets a `refusal` answer.
// Otherwise `part` is what to join to the store root: the checked text for a
// str or path-like name (so a path-like object cannot answer differently
// the second time it is asked), the name itself for anything else, which the
// join then refuses.
struct FolderName {
    py::Ref refusal;
    py::Ref part;
};
FolderName check_tool_name(PyObject* tool_name);

// path / part
py::Ref join(PyObject* path, PyObject* part);
// self._custom_tools_dir / part
py::Ref tool_folder(PyObject* self, PyObject* part);
bool exists(PyObject* path);
// path.read_text(encoding="utf-8"): what create wrote reads back the same
// under any locale.
py::Ref read_text_utf8(PyObject* path);
// path.write_text(text, encoding="utf-8")
void write_text_utf8(PyObject* path, PyObject* text);

// prefix + format(value, "")
py::Ref compose(PyObject* prefix, PyObject* value);

}  // namespace tc
