// Helpers shared by the operations that work on the custom tools store.
#pragma once

#include "py.hpp"

namespace tc {

// kwargs.get(key, default) on the call's exact dict.
py::Ref kwarg(PyObject* kwargs, PyObject* key, PyObject* default_value);

// The refusal answer for a tool name that is not one plain folder name (it
// would lead outside the store), or a null Ref when the name is acceptable
// or is not text at all (such names fail later, at the path join).
py::Ref refuse_unsafe_tool_name(PyObject* tool_name);

// path / part
py::Ref join(PyObject* path, PyObject* part);
// self._custom_tools_dir / tool_name
py::Ref tool_folder(PyObject* self, PyObject* tool_name);
bool exists(PyObject* path);
// path.read_text(encoding="utf-8"): what create wrote reads back the same
// under any locale.
py::Ref read_text_utf8(PyObject* path);
// path.write_text(text, encoding="utf-8")
void write_text_utf8(PyObject* path, PyObject* text);

// prefix + format(value, "")
py::Ref compose(PyObject* prefix, PyObject* value);

}  // namespace tc
