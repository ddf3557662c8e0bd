#include "schema.hpp"

#include "operations.hpp"
#include "texts.hpp"

#include <span>
#include <string>

namespace tc {

namespace {

struct SchemaProperty {
    const char* name;
    const char* type;
    const char* description;    // null for the operation, described by its table
    bool is_operation = false;  // "enum" of the operation words
};

constexpr SchemaProperty kToolCreatorProperties[] = {
    {"operation", "string", nullptr, true},
    {"tool_name", "string", texts::kToolNameDescription},
    {"description", "string", texts::kDescriptionDescription},
    {"code", "string", texts::kCodeDescription},
    {"args", "object", texts::kArgsDescription},
    {"register", "boolean", texts::kRegisterDescription},
};
constexpr const char* kToolCreatorRequired[] = {"operation"};

constexpr SchemaProperty kDynamicToolProperties[] = {
    {"args", "object", texts::kDynamicArgsDescription},
};

py::Ref string_list(std::span<const char* const> items) {
    py::Ref list = py::new_list();
    for (const char* item : items) py::append(list, py::str(item));
    return list;
}

// The operation words, in table order.
py::Ref operation_words() {
    py::Ref list = py::new_list();
    for (const Operation& op : kOperations) {
        if (op.word) py::append(list, py::str(op.word));
    }
    return list;
}

// The heading, then "- <word>: <description>" per operation, one per line.
py::Ref operation_description() {
    std::string text = texts::kOperationHeading;
    for (const Operation& op : kOperations) {
        if (!op.word) continue;
        text.append("\n- ").append(op.word).append(": ").append(op.description);
    }
    return py::str(text);
}

// {"type": "object", "properties": {...}[, "required": [...]]}
py::Ref build_schema(std::span<const SchemaProperty> properties,
                     std::span<const char* const> required) {
    py::Ref props = py::new_dict();
    for (const SchemaProperty& p : properties) {
        py::Ref entry = py::new_dict();
        py::set_item(entry, "type", py::str(p.type));
        if (p.is_operation) py::set_item(entry, "enum", operation_words());
        py::set_item(entry, "description",
                     p.is_operation ? operation_description() : py::str(p.description));
        py::set_item(props, p.name, entry);
    }
    py::Ref schema = py::new_dict();
    py::set_item(schema, "type", py::str("object"));
    py::set_item(schema, "properties", props);
    if (!required.empty()) py::set_item(schema, "required", string_list(required));
    return schema;
}

}  // namespace

py::Ref build_tool_creator_schema() {
    return build_schema(kToolCreatorProperties, kToolCreatorRequired);
}
py::Ref build_dynamic_tool_schema() { return build_schema(kDynamicToolProperties, {}); }

py::Ref copy_json(PyObject* value) {
    if (PyDict_CheckExact(value)) {
        // Copying the whole dict first reuses its key table; only the values
        // that are containers are then replaced by copies of their own.
        py::Ref copy = py::Ref::steal(PyDict_Copy(value));
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* item;
        while (PyDict_Next(value, &pos, &key, &item)) {
            if (PyDict_CheckExact(item) || PyList_CheckExact(item))
                py::set_item(copy, key, copy_json(item));
        }
        return copy;
    }
    if (PyList_CheckExact(value)) {
        const Py_ssize_t n = PyList_GET_SIZE(value);
        py::Ref copy = py::Ref::steal(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(copy.get(), i, copy_json(PyList_GET_ITEM(value, i)).release());
        return copy;
    }
    return py::Ref::borrow(value);
}

}  // namespace tc
