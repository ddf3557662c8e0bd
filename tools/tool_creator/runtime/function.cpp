#include "function.hpp"

#include "coroutine.hpp"
#include "runtime.hpp"

#include <cstddef>
#include <cstring>
#include <new>
#include <stdexcept>

namespace rt {

namespace {

// Note added to the argument-type TypeError for instances of subclasses;
// filled with the given type and the expected type (twice).
constexpr const char* kSubclassNote =
    "'%s' is a subclass of '%s'; subclasses of built-in types are rejected, pass an exact '%s'.";

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    ResultCheck result_check;
    Py_ssize_t required;  // leading parameters without a default
    py::Ref param_names;  // interned, so keywords usually match by identity
    py::Ref name;         // always a str: error texts use it
    py::Ref qualname;     // always a str
    py::Ref module;
    py::Ref doc;
    py::Ref annotations;
    py::Ref defaults;
    py::Ref dict;
    py::Ref signature;  // built on first request
    PyObject* weakrefs;
};

FunctionObject* as_function(PyObject* o) noexcept { return reinterpret_cast<FunctionObject*>(o); }

const char* name_of(const FunctionObject* f) {
    assert(f->name && PyUnicode_Check(f->name.get()));
    const char* text = PyUnicode_AsUTF8(f->name.get());
    if (!text) py::throw_error_set();
    return text;
}

// ---- argument binding --------------------------------------------------

[[noreturn]] void raise_positional_count(const FunctionObject* f, Py_ssize_t given) {
    const Py_ssize_t total = static_cast<Py_ssize_t>(f->spec->params.size());
    const bool has_defaults = f->required < total;
    const bool too_many = given > total;
    const char* how = !has_defaults ? "exactly" : (too_many ? "at most" : "at least");
    const Py_ssize_t expected = (has_defaults && !too_many) ? f->required : total;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name_of(f), how, expected, expected == 1 ? "" : "s", given);
    py::throw_error_set();
}

[[noreturn]] void raise_argument_type(const Param& param, PyObject* value, PyTypeObject* expected) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param.name,
                 expected->tp_name, py::type_name(value));
    if (PyObject_TypeCheck(value, expected)) {
        // Subclasses can override comparison, hashing or formatting in ways
        // the module does not guard against, so they are refused outright.
        py::SavedError error = py::SavedError::fetch();
        py::Ref note = py::Ref::steal(PyUnicode_FromFormat(kSubclassNote, py::type_name(value),
                                                           expected->tp_name, expected->tp_name));
        py::call_method(error.get(), names().add_note, note);
        error.restore();
    }
    py::throw_error_set();
}

void check_argument_type(const Param& param, PyObject* value) {
    switch (param.check) {
        case ArgCheck::Any:
            return;
        case ArgCheck::ExactStr:
            if (!PyUnicode_CheckExact(value)) raise_argument_type(param, value, &PyUnicode_Type);
            return;
        case ArgCheck::ExactDict:
            if (!PyDict_CheckExact(value)) raise_argument_type(param, value, &PyDict_Type);
            return;
    }
}

Py_ssize_t find_param(const FunctionObject* f, PyObject* keyword) {
    PyObject* names = f->param_names.get();
    const Py_ssize_t count = PyTuple_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(names, i) == keyword) return i;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyUnicode_Compare(PyTuple_GET_ITEM(names, i), keyword) == 0) return i;
    }
    return -1;
}

// Binds a vectorcall's arguments to the spec's parameters. Errors are
// reported in a fixed order: too many positional arguments, a missing
// required one, the first bad keyword, then argument types.
void bind(const FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          BoundArgs& out) {
    const FunctionSpec& spec = *f->spec;
    const Py_ssize_t total = static_cast<Py_ssize_t>(spec.params.size());
    if (nargs > total) raise_positional_count(f, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out.values[i] = py::Ref::borrow(args[i]);
    if (spec.var_keyword) out.kwargs = py::new_dict();

    enum class KeywordFault { None, NotString, Unexpected, Repeated } fault = KeywordFault::None;
    PyObject* fault_keyword = nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        KeywordFault this_fault = KeywordFault::None;
        if (!PyUnicode_Check(keyword)) {
            this_fault = KeywordFault::NotString;
        } else if (Py_ssize_t index = find_param(f, keyword); index < 0) {
            if (spec.var_keyword) {
                py::set_item(out.kwargs.get(), keyword, value);
            } else {
                this_fault = KeywordFault::Unexpected;
            }
        } else if (out.values[index]) {
            this_fault = KeywordFault::Repeated;
        } else {
            out.values[index] = py::Ref::borrow(value);
        }
        if (this_fault != KeywordFault::None && fault == KeywordFault::None) {
            fault = this_fault;
            fault_keyword = keyword;
        }
    }

    for (Py_ssize_t i = 0; i < total; ++i) {
        if (out.values[i]) continue;
        if (!spec.params[i].defaults_to_none) raise_positional_count(f, nargs);
        out.values[i] = py::none();
    }

    switch (fault) {
        case KeywordFault::None:
            break;
        case KeywordFault::NotString:
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name_of(f));
            py::throw_error_set();
        case KeywordFault::Unexpected:
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         name_of(f), fault_keyword);
            py::throw_error_set();
        case KeywordFault::Repeated:
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         name_of(f), fault_keyword);
            py::throw_error_set();
    }

    for (Py_ssize_t i = 0; i < total; ++i) check_argument_type(spec.params[i], out.values[i].get());
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    try {
        FunctionObject* f = as_function(self);
        BoundArgs bound;
        bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
        if (f->spec->body.is_coroutine()) {
            return make_coroutine(f->spec->body.coroutine, std::move(bound), f->name, f->qualname,
                                  f->result_check)
                .release();
        }
        py::Ref result = f->spec->body.plain(Args(bound));
        check_result(f->result_check, result.get());
        return result.release();
    } catch (...) {
        py::set_error_from_current_exception();
        return nullptr;
    }
}

// ---- signature for introspection ----------------------------------------

py::Ref build_signature(const FunctionObject* f) {
    const FunctionSpec& spec = *f->spec;
    py::Ref inspect = py::Ref::steal(PyImport_ImportModule("inspect"));
    py::Ref parameter_type = py::Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    py::Ref signature_type = py::Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    py::Ref positional_or_keyword =
        py::Ref::steal(PyObject_GetAttrString(parameter_type.get(), "POSITIONAL_OR_KEYWORD"));
    py::Ref var_keyword_kind =
        py::Ref::steal(PyObject_GetAttrString(parameter_type.get(), "VAR_KEYWORD"));

    auto make_parameter = [&](const char* name, PyObject* kind, const char* annotation,
                              bool defaults_to_none) {
        py::Ref kwargs = py::new_dict();
        if (defaults_to_none) py::set_item(kwargs.get(), "default", Py_None);
        if (annotation) py::set_item(kwargs.get(), "annotation", py::str(annotation).get());
        py::Ref call_args = py::new_tuple({py::str(name).get(), kind});
        return py::Ref::steal(PyObject_Call(parameter_type.get(), call_args.get(), kwargs.get()));
    };

    py::Ref parameters = py::Ref::steal(PyList_New(0));
    for (const Param& p : spec.params) {
        py::Ref parameter =
            make_parameter(p.name, positional_or_keyword.get(), p.annotation, p.defaults_to_none);
        py::append(parameters, parameter);
    }
    if (spec.var_keyword) {
        py::Ref parameter = make_parameter(spec.var_keyword, var_keyword_kind.get(),
                                           spec.var_keyword_annotation, false);
        py::append(parameters, parameter);
    }
    py::Ref kwargs = py::new_dict();
    if (spec.return_annotation)
        py::set_item(kwargs.get(), "return_annotation", py::str(spec.return_annotation).get());
    py::Ref call_args = py::new_tuple({parameters.get()});
    return py::Ref::steal(PyObject_Call(signature_type.get(), call_args.get(), kwargs.get()));
}

// ---- type slots -----------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* f = as_function(self);
    for (const py::Ref* member : {&f->name, &f->qualname, &f->module, &f->doc, &f->annotations,
                                  &f->defaults, &f->dict, &f->signature}) {
        Py_VISIT(member->get());
    }
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int function_clear(PyObject* self) noexcept {
    FunctionObject* f = as_function(self);
    for (py::Ref* member :
         {&f->module, &f->doc, &f->annotations, &f->defaults, &f->dict, &f->signature}) {
        member->reset();
    }
    // The names may be str subclasses in a cycle; they stay strings, because
    // error texts and repr use them.
    f->name = names().empty.copy();
    f->qualname = names().empty.copy();
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    FunctionObject* f = as_function(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    f->~FunctionObject();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname.get(), self);
}

// Attribute accessors. Names must stay strings because error texts use them.
template <py::Ref FunctionObject::* Member>
PyObject* get_member(PyObject* self, void*) noexcept {
    const py::Ref& value = as_function(self)->*Member;
    return Py_NewRef(value ? value.get() : Py_None);
}

template <py::Ref FunctionObject::* Member>
int set_string_member(PyObject* self, PyObject* value, void* closure) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                     static_cast<const char*>(closure));
        return -1;
    }
    as_function(self)->*Member = py::Ref::borrow(value);
    return 0;
}

template <py::Ref FunctionObject::* Member>
int set_any_member(PyObject* self, PyObject* value, void*) noexcept {
    as_function(self)->*Member = py::Ref::borrow(value ? value : Py_None);
    return 0;
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    as_function(self)->annotations = py::Ref::borrow(value);
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (!f->annotations) {
        f->annotations = py::Ref::steal_or_null(PyDict_New());
        if (!f->annotations) return nullptr;
    }
    return Py_NewRef(f->annotations.get());
}

PyObject* get_signature(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    try {
        if (!f->signature) f->signature = build_signature(f);
        return Py_NewRef(f->signature.get());
    } catch (...) {
        py::set_error_from_current_exception();
        return nullptr;
    }
}

PyGetSetDef function_getset[] = {
    {"__name__", get_member<&FunctionObject::name>, set_string_member<&FunctionObject::name>,
     nullptr, const_cast<char*>("__name__")},
    {"__qualname__", get_member<&FunctionObject::qualname>,
     set_string_member<&FunctionObject::qualname>, nullptr, const_cast<char*>("__qualname__")},
    {"__module__", get_member<&FunctionObject::module>, set_any_member<&FunctionObject::module>,
     nullptr, nullptr},
    {"__doc__", get_member<&FunctionObject::doc>, set_any_member<&FunctionObject::doc>, nullptr,
     nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_member<&FunctionObject::defaults>, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    nullptr,  // the name, given by make_function_type
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

py::Ref string_or_none(const char* text) { return text ? py::str(text) : py::none(); }

// Whether a spec's result check agrees with its return annotation: "str" and
// "dict" are checked, every other annotation is not.
[[maybe_unused]] bool result_check_matches_annotation(const FunctionSpec& spec) noexcept {
    const char* annotation = spec.return_annotation ? spec.return_annotation : "";
    switch (spec.result_check) {
        case ResultCheck::None:
            return std::strcmp(annotation, "str") != 0 && std::strcmp(annotation, "dict") != 0;
        case ResultCheck::ExactStr:
            return std::strcmp(annotation, "str") == 0;
        case ResultCheck::ExactDict:
            return std::strcmp(annotation, "dict") == 0;
    }
    return false;
}

}  // namespace

void check_result(ResultCheck check, PyObject* result) {
    if (check == ResultCheck::None || result == Py_None) return;
    const bool ok =
        check == ResultCheck::ExactStr ? PyUnicode_CheckExact(result) : PyDict_CheckExact(result);
    if (ok) return;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s",
                 check == ResultCheck::ExactStr ? "str" : "dict", py::type_name(result));
    py::throw_error_set();
}

py::Ref make_function_type(const char* type_name) {
    function_spec.name = type_name;
    return py::Ref::steal(PyType_FromSpec(&function_spec));
}

py::Ref make_function(const FunctionSpec& spec, const char* owner) {
    if (spec.params.size() > kMaxParams)
        throw std::logic_error("too many parameters in a function spec");
    if (!spec.body.is_set()) throw std::logic_error("a function needs exactly one body");
    assert(result_check_matches_annotation(spec) &&
           "result_check disagrees with return_annotation");

    Py_ssize_t required = 0;
    py::Ref annotations = py::new_dict();
    py::Ref param_names = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(spec.params.size())));
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        const Param& p = spec.params[i];
        PyTuple_SET_ITEM(param_names.get(), static_cast<Py_ssize_t>(i),
                         py::interned(p.name).release());
        if (!p.defaults_to_none) ++required;
        if (p.annotation) py::set_item(annotations.get(), p.name, py::str(p.annotation).get());
    }
    if (spec.var_keyword && spec.var_keyword_annotation) {
        py::set_item(annotations.get(), spec.var_keyword,
                     py::str(spec.var_keyword_annotation).get());
    }
    if (spec.return_annotation)
        py::set_item(annotations.get(), "return", py::str(spec.return_annotation).get());

    const Py_ssize_t ndefaults = static_cast<Py_ssize_t>(spec.params.size()) - required;
    py::Ref defaults = py::none();
    if (ndefaults > 0) {
        defaults = py::Ref::steal(PyTuple_New(ndefaults));
        for (Py_ssize_t i = 0; i < ndefaults; ++i)
            PyTuple_SET_ITEM(defaults.get(), i, Py_NewRef(Py_None));
    }

    const Runtime& r = runtime();
    const bool is_coroutine = spec.body.is_coroutine();
    py::Ref dict = py::new_dict();
    py::set_item(dict, r.names.is_coroutine,
                 is_coroutine ? r.asyncio_coroutine_marker.get() : Py_False);
    if (is_coroutine) py::set_item(dict, r.names.is_coroutine_marker, r.inspect_coroutine_marker);

    py::Ref name = py::str(spec.name);
    py::Ref qualname =
        owner ? py::Ref::steal(PyUnicode_FromFormat("%s.%s", owner, spec.name)) : name.copy();
    py::Ref module = r.module_name.copy();
    py::Ref doc = string_or_none(spec.doc);

    // Everything that can fail is done; from here on only moves.
    auto* type = reinterpret_cast<PyTypeObject*>(r.function_type.get());
    py::Ref object = py::Ref::steal(type->tp_alloc(type, 0));
    FunctionObject* f = as_function(object.get());
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->result_check = spec.result_check;
    f->required = required;
    new (&f->param_names) py::Ref(std::move(param_names));
    new (&f->name) py::Ref(std::move(name));
    new (&f->qualname) py::Ref(std::move(qualname));
    new (&f->module) py::Ref(std::move(module));
    new (&f->doc) py::Ref(std::move(doc));
    new (&f->annotations) py::Ref(std::move(annotations));
    new (&f->defaults) py::Ref(std::move(defaults));
    new (&f->dict) py::Ref(std::move(dict));
    new (&f->signature) py::Ref();
    f->weakrefs = nullptr;
    return object;
}

}  // namespace rt
