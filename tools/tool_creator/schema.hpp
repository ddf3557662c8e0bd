// The JSON-schema `parameters` of the two tools, as data. Each read of a
// `parameters` property gets a fresh deep copy of a template built once.
#pragma once

#include "common/py.hpp"

namespace tc {

py::Ref build_tool_creator_schema();
py::Ref build_dynamic_tool_schema();

// A copy of a JSON-like value in which every dict and list is new.
py::Ref copy_json(PyObject* value);

}  // namespace tc
