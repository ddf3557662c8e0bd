// The module definition and what importing it does.
#include "json_text.hpp"
#include "runtime/classes.hpp"
#include "runtime/runtime.hpp"
#include "state.hpp"
#include "texts.hpp"
#include "tools.hpp"

#include <cstdint>

namespace tc {

namespace {

// Process-wide import records: the interpreter that first created the module,
// and the module object once its execution has begun. Deliberately never
// destroyed (see state()).
struct ImportRecords {
    std::int64_t interpreter_id = -1;
    py::Ref module;
};

ImportRecords& records() noexcept {
    static ImportRecords* const instance = new ImportRecords();
    return *instance;
}

// ---- the module statements --------------------------------------------------

void bind(PyObject* globals, const char* name, py::Borrowed value) {
    py::set_item(globals, name, value);
}

// `import <dotted>`: binds the top-level package under its own name.
void import_module(PyObject* globals, const char* dotted, const char* bound_name) {
    py::Ref name = py::str(dotted);
    py::Ref top =
        py::Ref::steal(PyImport_ImportModuleLevelObject(name.get(), globals, nullptr, nullptr, 0));
    bind(globals, bound_name, top);
}

// One name of `from <module> import ...`: an attribute, else a submodule that
// is already in sys.modules.
py::Ref import_from(PyObject* module, PyObject* name) {
    if (py::Ref value = py::getattr_optional(module, name)) return value;
    if (py::Ref package = py::getattr_optional(module, rt::names().dunder_name);
        package && PyUnicode_Check(package.get())) {
        py::Ref full = py::Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
        if (py::Ref submodule = py::Ref::steal_or_null(PyImport_GetModule(full.get())))
            return submodule;
        py::check_error();
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    py::throw_error_set();
}

// `from <module> import <names...>`
void import_names(PyObject* globals, const char* module_name,
                  std::initializer_list<const char*> imported) {
    py::Ref fromlist = py::names_tuple(imported);
    py::Ref name = py::str(module_name);
    py::Ref module = py::Ref::steal(
        PyImport_ImportModuleLevelObject(name.get(), globals, nullptr, fromlist.get(), 0));
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(fromlist.get()); ++j) {
        PyObject* item = PyTuple_GET_ITEM(fromlist.get(), j);
        py::set_item(globals, item, import_from(module.get(), item));
    }
}

void run_module_statements(PyObject* globals) {
    import_module(globals, "importlib.util", "importlib");
    import_module(globals, "json", "json");
    capture_json_encoding(rt::global(names().json));
    import_module(globals, "logging", "logging");
    import_module(globals, "os", "os");
    import_module(globals, "sys", "sys");
    import_names(globals, "pathlib", {"Path"});
    import_names(globals, "typing", {"Any"});
    import_names(globals, "velmor.core.subprocess_manager",
                 {"SubprocessManager", "SubprocessTask"});
    import_names(globals, "velmor.tools.base", {"Tool"});

    py::Ref logging = rt::global(py::interned("logging"));
    py::Ref get_logger = py::getattr(logging, py::interned("getLogger"));
    bind(globals, "logger", py::call(get_logger, py::str("velmor.tool_creator")));

    bind(globals, "_get_custom_tools_dir", rt::make_function(kGetCustomToolsDir));
    rt::create_class(kToolCreatorToolClass, globals);
    rt::create_class(kDynamicToolClass, globals);
}

// ---- the two slots -------------------------------------------------------------

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
    try {
        PyInterpreterState* interpreter = PyInterpreterState_Get();
        const std::int64_t id = PyInterpreterState_GetID(interpreter);
        if (id < 0) py::throw_error_set();
        ImportRecords& rec = records();
        if (rec.interpreter_id < 0) rec.interpreter_id = id;
        if (rec.interpreter_id != id) {
            PyErr_SetString(PyExc_ImportError, texts::kInterpreterChanged);
            return nullptr;
        }
        if (rec.module) return rec.module.copy().release();

        py::Ref name = py::Ref::steal(PyObject_GetAttrString(spec, "name"));
        py::Ref module = py::Ref::steal(PyModule_NewObject(name.get()));
        PyObject* dict = PyModule_GetDict(module.get());
        // Spec attributes copied into the new module, in this order; a
        // missing one is skipped, and __path__ only exists for packages.
        static constexpr struct {
            const char* spec_attribute;
            const char* module_attribute;
            bool none_means_absent;
        } kCopied[] = {{"loader", "__loader__", false},
                       {"origin", "__file__", false},
                       {"parent", "__package__", false},
                       {"submodule_search_locations", "__path__", true}};
        for (const auto& copied : kCopied) {
            py::Ref value = py::getattr_optional(spec, py::str(copied.spec_attribute));
            if (!value || (copied.none_means_absent && value.get() == Py_None)) continue;
            py::set_item(dict, copied.module_attribute, value);
        }
        return module.release();
    } catch (...) {
        py::set_error_from_current_exception();
        return nullptr;
    }
}

int exec_module(PyObject* module) noexcept {
    ImportRecords& rec = records();
    if (rec.module) {
        if (rec.module.get() == module) return 0;
        PyErr_SetString(PyExc_RuntimeError, texts::kAlreadyImported);
        return -1;
    }
    rec.module = py::Ref::borrow(module);
    try {
        rt::init(texts::kModuleName);
        init_state();
        rt::set_globals(PyModule_GetDict(module));
        run_module_statements(rt::runtime().globals.get());
        return 0;
    } catch (...) {
        py::set_error_from_current_exception();
        // A failed import leaves nothing usable; the next import starts afresh.
        py::SavedError error = py::SavedError::fetch();
        rec.module.reset();
        error.restore();
        return -1;
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tool_creator",
    .m_doc = texts::kModuleDoc,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace tc

PyMODINIT_FUNC PyInit_tool_creator() { return PyModuleDef_Init(&tc::module_def); }
