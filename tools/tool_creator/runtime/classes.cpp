#include "classes.hpp"

#include "../state.hpp"
#include "../texts.hpp"

namespace tc {

namespace {

// Bases after __mro_entries__, as the class statement resolves them.
py::Ref resolve_bases(PyObject* bases) {
    py::Ref resolved = py::Ref::steal(PyList_New(0));
    bool changed = false;
    py::Ref mro_entries_name = py::interned("__mro_entries__");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        py::Ref entries;
        if (!PyType_Check(base)) entries = py::getattr_optional(base, mro_entries_name.get());
        if (!entries) {
            py::check(PyList_Append(resolved.get(), base));
            continue;
        }
        py::Ref new_bases = py::call(entries.get(), {bases});
        if (!PyTuple_Check(new_bases.get())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            throw py::ErrorAlreadySet{};
        }
        changed = true;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(new_bases.get()); ++j) {
            py::check(PyList_Append(resolved.get(), PyTuple_GET_ITEM(new_bases.get(), j)));
        }
    }
    if (!changed) return py::Ref::borrow(bases);
    return py::Ref::steal(PyList_AsTuple(resolved.get()));
}

// The most derived metaclass of the bases, or TypeError on a conflict.
py::Ref most_derived_metaclass(PyObject* bases) {
    PyTypeObject* winner = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of "
                        "the metaclasses of all its bases");
        throw py::ErrorAlreadySet{};
    }
    return py::Ref::borrow(reinterpret_cast<PyObject*>(winner));
}

py::Ref make_member(const MemberSpec& member) {
    py::Ref function = make_function(member.function);
    if (member.kind == MemberKind::Method) return function;
    return py::call(reinterpret_cast<PyObject*>(&PyProperty_Type), {function.get()});
}

}  // namespace

py::Ref create_class(const ClassSpec& spec, PyObject* globals) {
    py::Ref base_name = py::str(spec.base);
    py::Ref base = global(base_name.get());
    py::Ref original_bases = py::new_tuple({base.get()});
    py::Ref bases = resolve_bases(original_bases.get());
    py::Ref metaclass = most_derived_metaclass(bases.get());
    py::Ref name = py::str(spec.name);

    py::Ref prepare = py::getattr_optional(metaclass.get(), py::interned("__prepare__").get());
    py::Ref ns = prepare ? py::call(prepare.get(), {name.get(), bases.get()}) : py::new_dict();

    auto store = [&](const char* key, PyObject* value) {
        py::Ref k = py::str(key);
        py::check(PyObject_SetItem(ns.get(), k.get(), value));
    };
    store("__module__", py::str(texts::kModuleName).get());
    store("__qualname__", name.get());
    store("__doc__", py::str(spec.doc).get());
    for (const MemberSpec& member : spec.members) store(member.function.name, make_member(member).get());
    if (bases.get() != original_bases.get()) store("__orig_bases__", original_bases.get());

    py::Ref cls = py::call(metaclass.get(), {name.get(), bases.get(), ns.get()});
    py::set_item(globals, name.get(), cls.get());
    return cls;
}

}  // namespace tc
