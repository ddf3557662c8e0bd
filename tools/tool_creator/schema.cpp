#include "schema.hpp"

#include "texts.hpp"

#include <span>

namespace tc {

namespace {

struct SchemaProperty {
    const char* name;
    const char* type;
    std::span<const char* const> choices;  // "enum"; empty when free
    const char* description;
};

constexpr const char* kOperations[] = {"create", "validate", "list", "delete", "run", "info"};

constexpr SchemaProperty kToolCreatorProperties[] = {
    {"operation", "string", kOperations, texts::kOperationDescription},
    {"tool_name", "string", {}, texts::kToolNameDescription},
    {"description", "string", {}, texts::kDescriptionDescription},
    {"code", "string", {}, texts::kCodeDescription},
    {"args", "object", {}, texts::kArgsDescription},
    {"register", "boolean", {}, texts::kRegisterDescription},
};
constexpr const char* kToolCreatorRequired[] = {"operation"};

constexpr SchemaProperty kDynamicToolProperties[] = {
    {"args", "object", {}, texts::kDynamicArgsDescription},
};

py::Ref string_list(std::span<const char* const> items) {
    py::Ref list = py::Ref::steal(PyList_New(0));
    for (const char* item : items) py::check(PyList_Append(list.get(), py::str(item).get()));
    return list;
}

// {"type": "object", "properties": {...}[, "required": [...]]}
py::Ref build_schema(std::span<const SchemaProperty> properties, std::span<const char* const> required) {
    py::Ref props = py::new_dict();
    for (const SchemaProperty& p : properties) {
        py::Ref entry = py::new_dict();
        py::set_item(entry.get(), "type", py::str(p.type).get());
        if (!p.choices.empty()) py::set_item(entry.get(), "enum", string_list(p.choices).get());
        py::set_item(entry.get(), "description", py::str(p.description).get());
        py::set_item(props.get(), p.name, entry.get());
    }
    py::Ref schema = py::new_dict();
    py::set_item(schema.get(), "type", py::str("object").get());
    py::set_item(schema.get(), "properties", props.get());
    if (!required.empty()) py::set_item(schema.get(), "required", string_list(required).get());
    return schema;
}

}  // namespace

py::Ref build_tool_creator_schema() { return build_schema(kToolCreatorProperties, kToolCreatorRequired); }
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
            if (PyDict_CheckExact(item) || PyList_CheckExact(item)) py::set_item(copy.get(), key, copy_json(item).get());
        }
        return copy;
    }
    if (PyList_CheckExact(value)) {
        const Py_ssize_t n = PyList_GET_SIZE(value);
        py::Ref copy = py::Ref::steal(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(copy.get(), i, copy_json(PyList_GET_ITEM(value, i)).release());
        return copy;
    }
    return py::Ref::borrow(value);
}

}  // namespace tc
