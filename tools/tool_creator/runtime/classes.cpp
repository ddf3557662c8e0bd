#include "classes.hpp"

#include "runtime.hpp"

namespace rt {

namespace {

// Bases after __mro_entries__, as the class statement resolves them.
py::Ref resolve_bases(PyObject* bases) {
    py::Ref resolved = py::new_list();
    bool changed = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        py::Ref entries;
        if (!PyType_Check(base)) entries = py::getattr_optional(base, names().mro_entries);
        if (!entries) {
            py::append(resolved, base);
            continue;
        }
        py::Ref new_bases = py::call(entries, bases);
        if (!PyTuple_Check(new_bases.get())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            py::throw_error_set();
        }
        changed = true;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(new_bases.get()); ++j) {
            py::append(resolved, PyTuple_GET_ITEM(new_bases.get(), j));
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
        PyErr_SetString(
            PyExc_TypeError,
            "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of "
            "the metaclasses of all its bases");
        py::throw_error_set();
    }
    return py::Ref::borrow(reinterpret_cast<PyObject*>(winner));
}

py::Ref make_member(const MemberSpec& member, const char* owner) {
    py::Ref function = make_function(member.function, owner);
    if (member.kind == MemberKind::Method) return function;
    return py::call(reinterpret_cast<PyObject*>(&PyProperty_Type), function);
}

}  // namespace

py::Ref create_class(const ClassSpec& spec, py::Borrowed globals) {
    const Names& n = names();
    py::Ref base_name = py::str(spec.base);
    py::Ref base = global(base_name);
    py::Ref original_bases = py::new_tuple({base});
    py::Ref bases = resolve_bases(original_bases.get());
    py::Ref metaclass = most_derived_metaclass(bases.get());
    py::Ref name = py::str(spec.name);

    py::Ref prepare = py::getattr_optional(metaclass, n.prepare);
    py::Ref ns = prepare ? py::call(prepare, name, bases) : py::new_dict();

    auto store = [&](py::Borrowed key, py::Borrowed value) {
        py::check(PyObject_SetItem(ns.get(), key, value));
    };
    store(n.dunder_module, runtime().module_name);
    store(n.dunder_qualname, name);
    store(n.dunder_doc, py::str(spec.doc));
    for (const MemberSpec& member : spec.members) {
        store(py::str(member.function.name), make_member(member, spec.name));
    }
    if (bases.get() != original_bases.get()) store(n.orig_bases, original_bases);

    py::Ref cls = py::call(metaclass, name, bases, ns);
    py::set_item(globals, name, cls);
    return cls;
}

}  // namespace rt
