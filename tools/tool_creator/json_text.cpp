#include "json_text.hpp"

#include "state.hpp"

namespace tc {

namespace {

// The standard json module's encoding machinery, captured at import, so that
// `json.dumps(value, indent=2)` can run its C encoder directly while the
// module's `json` and its `dumps` and `JSONEncoder` are still the originals.
struct JsonEncoding {
    py::Ref module;
    py::Ref dumps;
    py::Ref encoder_type;    // json.JSONEncoder
    py::Ref make_encoder;    // json.encoder.c_make_encoder
    py::Ref encode_string;   // json.encoder.encode_basestring_ascii
    py::Ref default_method;  // JSONEncoder(indent=2).default
    py::Ref indent;          // "  "
    py::Ref key_separator;   // ": "
    py::Ref item_separator;  // ","
    py::Ref zero;            // 0
};

// Unset when the C encoder is unavailable. Never destroyed (see state()).
JsonEncoding& encoding() {
    static JsonEncoding* const instance = new JsonEncoding();
    return *instance;
}

// What json.dumps(value, indent=2) does with the standard encoder, minus its
// Python-level layers: a str is escaped directly, anything else goes through
// a fresh C encoder (fresh, so that its record of containers being encoded
// never outlives one call).
py::Ref encode_directly(const JsonEncoding& j, PyObject* value) {
    if (PyUnicode_Check(value)) return py::call(j.encode_string, value);
    py::Ref markers = py::new_dict();
    py::Ref encoder = py::call(j.make_encoder, markers, j.default_method, j.encode_string, j.indent,
                               j.key_separator, j.item_separator, Py_False, Py_False, Py_True);
    py::Ref chunks = py::call(encoder, value, j.zero);
    if (!PyList_Check(chunks.get()) && !PyTuple_Check(chunks.get()))
        chunks = py::Ref::steal(PySequence_List(chunks.get()));
    return py::Ref::steal(PyUnicode_Join(names().empty.get(), chunks.get()));
}

}  // namespace

void capture_json_encoding(py::Borrowed json_module) {
    JsonEncoding j;
    py::Ref encoder_module = py::Ref::steal(PyImport_ImportModule("json.encoder"));
    j.make_encoder = py::getattr_optional(encoder_module, py::interned("c_make_encoder"));
    if (!j.make_encoder || j.make_encoder.get() == Py_None)
        return;  // no C encoder: always call dumps
    j.module = json_module.ref();
    j.dumps = py::getattr(json_module, names().dumps);
    j.encoder_type = py::getattr(json_module, names().JSONEncoder);
    j.encode_string = py::getattr(encoder_module, py::interned("encode_basestring_ascii"));
    py::Ref instance = py::call_kw(j.encoder_type, constants().kw_indent, constants().two);
    j.default_method = py::getattr(instance, py::interned("default"));
    j.indent = py::str("  ");
    j.key_separator = py::str(": ");
    j.item_separator = py::str(",");
    j.zero = py::integer(0);
    encoding() = std::move(j);
}

py::Ref json_text(py::Borrowed value) {
    const Names& n = names();
    const JsonEncoding& j = encoding();
    // Read at each call: a host or test that rebinds the module's `json`, or
    // replaces its `dumps` or `JSONEncoder`, gets its replacement used; only
    // the untouched standard module takes the direct path.
    py::Ref json = global(n.json);
    py::Ref dumps = py::getattr(json, n.dumps);
    if (j.module && json.get() == j.module.get() && dumps.get() == j.dumps.get() &&
        py::getattr(json, n.JSONEncoder).get() == j.encoder_type.get()) {
        return encode_directly(j, value);
    }
    return py::call_kw(dumps, constants().kw_indent, value, constants().two);
}

}  // namespace tc
