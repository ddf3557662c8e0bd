// velmor.core._sandbox: the per-job confinement steps that are too slow, or
// impossible, in Python. Each function does one step; the Python side
// (confinement.py) decides the order and what to grant.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "job_entry.hpp"
#include "landlock.hpp"
#include "process.hpp"
#include "seccomp_filter.hpp"

#include <cerrno>
#include <cstring>
#include <exception>
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

// prepare_jobs(grants, network): grants of opened fds the caller keeps open
// (paths would be opened here and closed again on return).
PyObject* prepare_jobs(PyObject*, PyObject* args) {
    PyObject* grants_arg = nullptr;
    int network = 0;
    if (!PyArg_ParseTuple(args, "Op:prepare_jobs", &grants_arg, &network)) return nullptr;
    OpenedFds opened;
    std::vector<sandbox::PathGrant> parsed;
    if (!parse_grants(grants_arg, opened, parsed)) return nullptr;
    if (!opened.empty()) {
        PyErr_SetString(PyExc_TypeError, "prepare_jobs takes opened fds, not paths");
        return nullptr;
    }
    sandbox::prepare_jobs(std::move(parsed), network != 0);
    Py_RETURN_NONE;
}

// enter_job(scratch, own, max_processes)
PyObject* enter_job(PyObject*, PyObject* args) {
    const char* scratch = nullptr;
    PyObject* own_arg = nullptr;
    unsigned long max_processes = 0;
    if (!PyArg_ParseTuple(args, "sOk:enter_job", &scratch, &own_arg, &max_processes))
        return nullptr;
    Ref own_items(PySequence_Fast(own_arg, "own must be a sequence of paths"));
    if (!own_items) return nullptr;
    std::vector<std::string> own;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(own_items.get()); ++i) {
        const char* path = PyUnicode_AsUTF8(PySequence_Fast_GET_ITEM(own_items.get(), i));
        if (path == nullptr) return nullptr;
        own.emplace_back(path);
    }
    try {
        sandbox::enter_job(scratch, own, max_processes);
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

PyObject* mount_scratch(PyObject*, PyObject* args) {
    const char* path = nullptr;
    unsigned long long size = 0;
    if (!PyArg_ParseTuple(args, "sK:mount_scratch", &path, &size)) return nullptr;
    try {
        sandbox::mount_scratch(path, size);
    } catch (const std::system_error& error) {
        return raise_system_error(error);
    }
    Py_RETURN_NONE;
}

PyObject* make_scratch(PyObject*, PyObject* args) {
    unsigned long long size = 0;
    if (!PyArg_ParseTuple(args, "K:make_scratch", &size)) return nullptr;
    try {
        return PyLong_FromLong(sandbox::make_scratch(size));
    } catch (const std::system_error& error) {
        return raise_system_error(error);
    }
}

PyObject* attach_scratch(PyObject*, PyObject* args) {
    int mount_fd = -1;
    const char* path = nullptr;
    if (!PyArg_ParseTuple(args, "is:attach_scratch", &mount_fd, &path)) return nullptr;
    try {
        sandbox::attach_scratch(mount_fd, path);
    } catch (const std::system_error& error) {
        return raise_system_error(error);
    }
    Py_RETURN_NONE;
}

PyObject* unmount(PyObject*, PyObject* args) {
    const char* path = nullptr;
    if (!PyArg_ParseTuple(args, "s:unmount", &path)) return nullptr;
    try {
        sandbox::unmount(path);
    } catch (const std::system_error& error) {
        return raise_system_error(error);
    }
    Py_RETURN_NONE;
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

PyMethodDef methods[] = {
    {"landlock_abi", landlock_abi, METH_NOARGS,
     "The running kernel's Landlock ABI version; 0 when Landlock is unavailable."},
    {"restrict_paths", restrict_paths, METH_VARARGS,
     "restrict_paths(grants, network): confine this process to the granted paths with "
     "Landlock; grants are (path or O_PATH fd, 'read' | 'execute' | 'write')."},
    {"prepare_jobs", prepare_jobs, METH_VARARGS,
     "prepare_jobs(grants, network): in the warm helper, the base grants (opened fds, kept "
     "open) and network setting every later enter_job uses."},
    {"enter_spare", simple_step<sandbox::enter_spare>, METH_NOARGS,
     "enter_spare(): in a child forked ahead of its job, the steps no job changes: its own "
     "user namespace, no capabilities, no_new_privs, the ruleset of the prepared grants."},
    {"enter_job", enter_job, METH_VARARGS,
     "enter_job(scratch, own, max_processes): in a forked child, the steps that depend on its "
     "job (enter_spare's first, unless taken): the process cap, Landlock with the job's own "
     "paths and last the job's filter."},
    {"install_seccomp", install_seccomp, METH_VARARGS,
     "install_seccomp(network): install the job's system-call filter, an allow-list; the "
     "last step of confining a job."},
    {"seccomp_supported", seccomp_supported, METH_NOARGS,
     "Whether the system-call filter knows this architecture."},
    {"filter_program", filter_program, METH_VARARGS,
     "filter_program(network): the job's filter as the kernel gets it, 8 bytes an instruction."},
    {"describe_filter", describe_filter, METH_VARARGS,
     "describe_filter(network): the job's filter as text, one line a call."},
    {"drop_capability_bounds", simple_step<sandbox::drop_capability_bounds>, METH_NOARGS,
     "Empty the bounding and ambient capability sets."},
    {"drop_capabilities", simple_step<sandbox::drop_capabilities>, METH_NOARGS,
     "Drop the effective, permitted and inheritable capabilities."},
    {"no_new_privileges", simple_step<sandbox::set_no_new_privileges>, METH_NOARGS,
     "Set no_new_privs: no exec can raise privileges from here on."},
    {"make_mounts_private", simple_step<sandbox::make_mounts_private>, METH_NOARGS,
     "Make every mount of this mount namespace private."},
    {"mount_scratch", mount_scratch, METH_VARARGS,
     "mount_scratch(path, size): a fresh tmpfs of size bytes on path."},
    {"make_scratch", make_scratch, METH_VARARGS,
     "make_scratch(size): the tmpfs mount_scratch makes, made ahead and not attached: "
     "the fd of the detached mount (the caller closes it)."},
    {"attach_scratch", attach_scratch, METH_VARARGS,
     "attach_scratch(fd, path): move a mount made by make_scratch onto path."},
    {"unmount", unmount, METH_VARARGS, "unmount(path): detach what is mounted on path."},
    {"probe_namespaces", probe_namespaces, METH_VARARGS,
     "probe_namespaces(flags): 0 if a child can be cloned with these CLONE_NEW* flags, "
     "else the errno."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_sandbox", "Per-job confinement steps of the sandbox.", 0, methods,
    slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__sandbox() { return PyModuleDef_Init(&module_def); }
