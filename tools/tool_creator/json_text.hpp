// The JSON text of a value: what the module's `json.dumps(value, indent=2)`
// gives, the form of every JSON answer and of metadata.json.
#pragma once

#include "common/py.hpp"

namespace tc {

// json.dumps(value, indent=2), with `json` looked up at each call.
py::Ref json_text(py::Borrowed value);

// Captures the standard json module's encoder at import, for `json_text`.
void capture_json_encoding(py::Borrowed json_module);

}  // namespace tc
