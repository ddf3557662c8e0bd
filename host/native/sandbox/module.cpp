// velmor.core._sandbox: the confinement sequence of a job (sequence.hpp), in
// native code so that its order is checked in one place, and the single
// steps the tests and the launcher call on their own.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "sequence.hpp"
#include "world.hpp"
#include "landlock.hpp"
#include "process.hpp"
#include "seccomp_filter.hpp"

#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// An owned reference, released on every path.
class Ref {
public:
    explicit Ref(PyObject* object = nullptr) noexcept : object_(object) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }
    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_;
};

// Descriptors this call opened itself, closed when it returns.
class OpenedFds {
public:
    OpenedFds() = default;
    OpenedFds(const OpenedFds&) = delete;
    OpenedFds& operator=(const OpenedFds&) = delete;
    ~OpenedFds() {
        for (int fd : fds_) close(fd);
    }
    void add(int fd) { fds_.push_back(fd); }
    bool empty() const noexcept { return fds_.empty(); }

private:
    std::vector<int> fds_;
};

PyObject* raise_os_error(int code, const std::string& what) {
    Ref args(Py_BuildValue("(is)", code, (what + ": " + std::strerror(code)).c_str()));
    if (args) {
        Ref error(PyObject_Call(PyExc_OSError, args.get(), nullptr));
        if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    }
    return nullptr;
}

PyObject* raise_system_error(const std::system_error& error) {
    return raise_os_error(error.code().value(), error.what());
}

PyObject* landlock_abi(PyObject*, PyObject*) { return PyLong_FromLong(sandbox::landlock_abi()); }

bool parse_kind(PyObject* text, sandbox::PathGrant::Kind& kind) {
    const char* name = PyUnicode_AsUTF8(text);
    if (name == nullptr) return false;
    if (std::strcmp(name, "read") == 0) {
        kind = sandbox::PathGrant::Kind::read;
    } else if (std::strcmp(name, "execute") == 0) {
        kind = sandbox::PathGrant::Kind::execute;
    } else if (std::strcmp(name, "write") == 0) {
        kind = sandbox::PathGrant::Kind::write;
    } else {
        PyErr_Format(PyExc_ValueError, "unknown kind of access %R", text);
        return false;
    }
    return true;
}

// Parses a sequence of (path or fd, kind); paths are opened into `opened`.
bool parse_grants(PyObject* grants_arg, OpenedFds& opened,
                  std::vector<sandbox::PathGrant>& parsed) {
    Ref grants(PySequence_Fast(grants_arg, "grants must be a sequence"));
    if (!grants) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(grants.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(grants.get(), i);
        PyObject* target = nullptr;
        PyObject* kind_text = nullptr;
        if (!PyArg_ParseTuple(item, "OU:grant", &target, &kind_text)) return false;
        sandbox::PathGrant grant{-1, sandbox::PathGrant::Kind::read};
        if (!parse_kind(kind_text, grant.kind)) return false;
        if (PyLong_Check(target)) {
            grant.fd = PyLong_AsInt(target);
            if (grant.fd == -1 && PyErr_Occurred()) return false;
        } else {
            if (!PyUnicode_FSConverter(target, reinterpret_cast<void*>(&target))) return false;
            Ref bytes(target);  // PyUnicode_FSConverter gave a new reference
            const int fd = open(PyBytes_AS_STRING(bytes.get()), O_PATH | O_CLOEXEC);
            if (fd < 0) {
                raise_os_error(errno, std::string("open ") + PyBytes_AS_STRING(bytes.get()));
                return false;
            }
            opened.add(fd);
            grant.fd = fd;
        }
        parsed.push_back(grant);
    }
    return true;
}

// restrict_paths(grants, network): grants is a sequence of (path or fd, kind).
PyObject* restrict_paths(PyObject*, PyObject* args) {
    PyObject* grants_arg = nullptr;
    int network = 0;
    if (!PyArg_ParseTuple(args, "Op:restrict_paths", &grants_arg, &network)) return nullptr;
    OpenedFds opened;
    std::vector<sandbox::PathGrant> parsed;
    if (!parse_grants(grants_arg, opened, parsed)) return nullptr;
    try {
        sandbox::landlock_restrict(parsed, network != 0);
    } catch (const std::system_error& error) {
        return raise_system_error(error);
    }
    Py_RETURN_NONE;
}

PyObject* install_seccomp(PyObject*, PyObject* args) {
    int network = 0;
    if (!PyArg_ParseTuple(args, "p:install_seccomp", &network)) return nullptr;
    try {
        sandbox::install_job_filter(network != 0);
    } catch (const std::system_error& error) {
        return raise_system_error(error);
    }
    Py_RETURN_NONE;
}

PyObject* seccomp_supported(PyObject*, PyObject*) {
    return PyBool_FromLong(sandbox::seccomp_supported_architecture());
}

// The compiled program, as the kernel is given it (struct sock_filter in a row).
PyObject* filter_program(PyObject*, PyObject* args) {
    int network = 0;
    if (!PyArg_ParseTuple(args, "p:filter_program", &network)) return nullptr;
    try {
        const std::vector<sock_filter>& program = sandbox::job_filter(network != 0);
        const auto bytes = static_cast<Py_ssize_t>(program.size() * sizeof(sock_filter));
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(program.data()), bytes);
    } catch (const std::exception& error) {  // a policy the compiler cannot take
        PyErr_SetString(PyExc_RuntimeError, error.what());
        return nullptr;
    }
}

PyObject* describe_filter(PyObject*, PyObject* args) {
    int network = 0;
    if (!PyArg_ParseTuple(args, "p:describe_filter", &network)) return nullptr;
    try {
        const std::string text = sandbox::describe_job_filter(network != 0);
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        return nullptr;
    }
}

template <void (*Step)()>
PyObject* simple_step(PyObject*, PyObject*) {
    try {
        Step();
    } catch (const std::system_error& error) {
        return raise_system_error(error);
    }
    Py_RETURN_NONE;
}


// Reads description[key] when present; false with an exception set on a bad value.
bool read_item(PyObject* description, const char* key, PyObject*& value) {
    value = PyDict_GetItemString(description, key);  // borrowed; NULL when absent
    return true;
}

bool read_bool(PyObject* description, const char* key, bool& out) {
    PyObject* value = nullptr;
    read_item(description, key, value);
    if (value == nullptr) return true;
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

template <class Number>
bool read_number(PyObject* description, const char* key, Number& out) {
    PyObject* value = nullptr;
    read_item(description, key, value);
    if (value == nullptr) return true;
    const unsigned long long number = PyLong_AsUnsignedLongLong(value);
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = static_cast<Number>(number);
    if (static_cast<unsigned long long>(out) != number) {
        PyErr_Format(PyExc_OverflowError, "%s is out of range", key);
        return false;
    }
    return true;
}

bool read_text(PyObject* value, std::string& out) {
    PyObject* bytes = nullptr;
    if (!PyUnicode_FSConverter(value, &bytes)) return false;
    Ref owned(bytes);
    out.assign(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
    return true;
}

// A list or tuple of `count` fields (JSON gives lists); NULL with an exception otherwise.
PyObject* as_fields(PyObject* item, Py_ssize_t count, const char* what) {
    PyObject* fields = PySequence_Fast(item, what);
    if (fields != nullptr && PySequence_Fast_GET_SIZE(fields) != count) {
        Py_DECREF(fields);
        PyErr_Format(PyExc_ValueError, "%s must have %zd fields", what, count);
        return nullptr;
    }
    return fields;
}

bool parse_entry_kind(const char* name, sandbox::WorldEntry::Kind& kind) {
    using Kind = sandbox::WorldEntry::Kind;
    static const std::pair<const char*, Kind> kinds[] = {
        {"read", Kind::read}, {"write", Kind::write}, {"device", Kind::device},
        {"link", Kind::link}, {"file", Kind::file},     {"tree", Kind::tree},
    };
    for (const auto& [known, value] : kinds) {
        if (std::strcmp(name, known) == 0) {
            kind = value;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "unknown kind of world entry %s", name);
    return false;
}

bool read_world(PyObject* description, sandbox::WorldPlan& world) {
    if (!read_number(description, "shm_size", world.shm_size)) return false;
    PyObject* entries = nullptr;
    read_item(description, "world", entries);
    if (entries == nullptr) return true;
    Ref items(PySequence_Fast(entries, "world must be a sequence"));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        Ref fields(as_fields(PySequence_Fast_GET_ITEM(items.get(), i), 3, "a world entry"));
        if (!fields) return false;
        PyObject** field = PySequence_Fast_ITEMS(fields.get());
        const char* kind = PyUnicode_AsUTF8(field[1]);
        sandbox::WorldEntry entry{};
        if (kind == nullptr || !read_text(field[0], entry.path) ||
            !parse_entry_kind(kind, entry.kind) || !read_text(field[2], entry.target))
            return false;
        world.entries.push_back(std::move(entry));
    }
    return true;
}

bool read_own(PyObject* description, std::vector<std::pair<std::string, int>>& own) {
    PyObject* files = nullptr;
    read_item(description, "own", files);
    if (files == nullptr) return true;
    Ref items(PySequence_Fast(files, "own must be a sequence"));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        Ref fields(as_fields(PySequence_Fast_GET_ITEM(items.get(), i), 2, "an own file"));
        if (!fields) return false;
        std::string text;
        if (!read_text(PySequence_Fast_ITEMS(fields.get())[0], text)) return false;
        const int fd = PyLong_AsInt(PySequence_Fast_ITEMS(fields.get())[1]);
        if (fd == -1 && PyErr_Occurred()) return false;
        own.emplace_back(std::move(text), fd);
    }
    return true;
}

bool read_description(PyObject* description, sandbox::ConfinementStage stage,
                      sandbox::Description& d) {
    if (!PyDict_Check(description)) {
        PyErr_SetString(PyExc_TypeError, "the description must be a dict");
        return false;
    }
    PyObject* scratch = nullptr;
    read_item(description, "scratch", scratch);
    if (scratch != nullptr && !read_text(scratch, d.scratch)) return false;
    return read_bool(description, "network", d.network) &&
           read_number(description, "user_namespace", d.user_namespace) &&
           read_number(description, "uid", d.uid) && read_number(description, "gid", d.gid) &&
           read_number(description, "scratch_size", d.scratch_size) &&
           read_number(description, "max_processes", d.max_processes) &&
           read_world(description, d.world) &&
           (stage != sandbox::ConfinementStage::job || read_own(description, d.own));
}

// confine(stage, description): the stage's steps of the sequence.
PyObject* confine(PyObject*, PyObject* args) {
    const char* stage_name = nullptr;
    PyObject* description = nullptr;
    if (!PyArg_ParseTuple(args, "sO:confine", &stage_name, &description)) return nullptr;
    sandbox::ConfinementStage stage{};
    if (std::strcmp(stage_name, "helper") == 0) {
        stage = sandbox::ConfinementStage::helper;
    } else if (std::strcmp(stage_name, "spare") == 0) {
        stage = sandbox::ConfinementStage::spare;
    } else if (std::strcmp(stage_name, "job") == 0) {
        stage = sandbox::ConfinementStage::job;
    } else {
        PyErr_Format(PyExc_ValueError, "unknown confinement stage %s", stage_name);
        return nullptr;
    }
    sandbox::Description d;
    if (!read_description(description, stage, d)) return nullptr;
    try {
        sandbox::confine(stage, d);
    } catch (const std::system_error& error) {
        return raise_system_error(error);
    }
    Py_RETURN_NONE;
}

// pid_namespace(uid, gid): (pid, user namespace fd) of a new pid namespace's
// init, in a new user namespace where only uid and gid are mapped; this
// process's next children are made in that pid namespace.
PyObject* pid_namespace(PyObject*, PyObject* args) {
    unsigned int uid = 0;
    unsigned int gid = 0;
    if (!PyArg_ParseTuple(args, "II:pid_namespace", &uid, &gid)) return nullptr;
    try {
        const sandbox::JobInit init = sandbox::make_job_init(uid, gid);
        return Py_BuildValue("(ii)", static_cast<int>(init.pid), init.user_namespace);
    } catch (const std::system_error& error) {
        return raise_system_error(error);
    }
}

PyObject* detached_file(PyObject*, PyObject* args) {
    PyObject* path_arg = nullptr;
    if (!PyArg_ParseTuple(args, "O:detached_file", &path_arg)) return nullptr;
    std::string path;
    if (!read_text(path_arg, path)) return nullptr;
    try {
        return PyLong_FromLong(sandbox::detached_file(path));
    } catch (const std::system_error& error) {
        return raise_system_error(error);
    }
}

PyObject* idmapped_tree(PyObject*, PyObject* args) {
    PyObject* path_arg = nullptr;
    unsigned int uid = 0;
    unsigned int gid = 0;
    if (!PyArg_ParseTuple(args, "OII:idmapped_tree", &path_arg, &uid, &gid)) return nullptr;
    std::string path;
    if (!read_text(path_arg, path)) return nullptr;
    try {
        return PyLong_FromLong(sandbox::idmapped_tree(path, uid, gid));
    } catch (const std::system_error& error) {
        return raise_system_error(error);
    }
}

PyObject* probe_namespaces(PyObject*, PyObject* args) {
    int flags = 0;
    if (!PyArg_ParseTuple(args, "i:probe_namespaces", &flags)) return nullptr;
    int result = 0;
    Py_BEGIN_ALLOW_THREADS
    result = sandbox::probe_namespaces(flags);
    Py_END_ALLOW_THREADS
    return PyLong_FromLong(result);
}

// Each docstring that takes arguments opens with its signature in the form
// inspect.signature reads ("name($module, ..., /)" and a "--" line), so that
// tools (and the stubs' check) see the parameters of these positional-only
// functions.
PyMethodDef methods[] = {
    {"landlock_abi", landlock_abi, METH_NOARGS,
     "The running kernel's Landlock ABI version; 0 when Landlock is unavailable."},
    {"restrict_paths", restrict_paths, METH_VARARGS,
     "restrict_paths($module, grants, network, /)\n--\n\n"
     "Confine this process to the granted paths with Landlock; grants are "
     "(path or O_PATH fd, 'read' | 'execute' | 'write')."},
    {"confine", confine, METH_VARARGS,
     "confine($module, stage, description, /)\n--\n\n"
     "Take the steps of stage 'helper', 'spare' or 'job' of the confinement sequence "
     "(sequence.hpp); raises OSError naming the step that failed."},
    {"pid_namespace", pid_namespace, METH_VARARGS,
     "pid_namespace($module, uid, gid, /)\n--\n\n"
     "Start the init of a new pid namespace, in a new user namespace with only uid and gid "
     "mapped, and make this process's next children there; (init's pid, the user "
     "namespace's fd). The init reaps orphans and dies with its parent."},
    {"detached_file", detached_file, METH_VARARGS,
     "detached_file($module, path, /)\n--\n\n"
     "A detached read-only copy of the mount of the file at path, as an fd a job's "
     "confinement attaches in its world."},
    {"install_seccomp", install_seccomp, METH_VARARGS,
     "install_seccomp($module, network, /)\n--\n\n"
     "Install the job's system-call filter, an allow-list; the last step of confining a job."},
    {"seccomp_supported", seccomp_supported, METH_NOARGS,
     "Whether the system-call filter knows this architecture."},
    {"filter_program", filter_program, METH_VARARGS,
     "filter_program($module, network, /)\n--\n\n"
     "The job's filter as the kernel gets it, 8 bytes an instruction."},
    {"describe_filter", describe_filter, METH_VARARGS,
     "describe_filter($module, network, /)\n--\n\n"
     "The job's filter as text, one line a call."},
    {"drop_capability_bounds", simple_step<sandbox::drop_capability_bounds>, METH_NOARGS,
     "Empty the bounding and ambient capability sets."},
    {"drop_capabilities", simple_step<sandbox::drop_capabilities>, METH_NOARGS,
     "Drop the effective, permitted and inheritable capabilities."},
    {"no_new_privileges", simple_step<sandbox::set_no_new_privileges>, METH_NOARGS,
     "Set no_new_privs: no exec can raise privileges from here on."},
    {"make_mounts_private", simple_step<sandbox::make_mounts_private>, METH_NOARGS,
     "Make every mount of this mount namespace private."},
    {"idmapped_tree", idmapped_tree, METH_VARARGS,
     "idmapped_tree($module, path, uid, gid, /)\n--\n\n"
     "A detached copy of path's mount on which root's files are uid's and gid's, as an fd "
     "(for a writable path of a job under a root host)."},
    {"probe_namespaces", probe_namespaces, METH_VARARGS,
     "probe_namespaces($module, flags, /)\n--\n\n"
     "0 if a child can be cloned with these CLONE_NEW* flags, else the errno."},
    {nullptr, nullptr, 0, nullptr},
};

int add_constants(PyObject* module) {
    return PyModule_AddIntConstant(module, "JOB_UID_UNDER_ROOT", sandbox::kJobIdUnderRoot);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_constants)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_sandbox", "Per-job confinement steps of the sandbox.", 0, methods,
    slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__sandbox() { return PyModuleDef_Init(&module_def); }
