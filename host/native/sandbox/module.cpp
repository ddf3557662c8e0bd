// velmor.core._sandbox: the confinement sequence of a job (sequence.hpp), in
// native code so that its order is checked in one place, and the single
// steps the tests and the launcher call on their own.
#include "common/fd.hpp"
#include "common/os_error.hpp"
#include "common/py.hpp"
#include "id_mappers.hpp"
#include "landlock.hpp"
#include "process.hpp"
#include "seccomp_filter.hpp"
#include "sequence.hpp"
#include "world.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using py::Borrowed;
using py::Ref;

// The body of a module function: a failed step raises the OSError of its
// errno, naming the step; anything else the native side cannot do (a policy
// the filter's compiler rejects) raises RuntimeError.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    return py::guarded(PyExc_RuntimeError, std::forward<Body>(body));
}

void parse_args(int parsed) {
    if (!parsed) py::throw_error_set();
}

const char* utf8(Borrowed text) {
    const char* chars = PyUnicode_AsUTF8(text);
    if (chars == nullptr) py::throw_error_set();
    return chars;
}

int as_int(Borrowed number) {
    const int value = PyLong_AsInt(number);
    if (value == -1 && PyErr_Occurred()) py::throw_error_set();
    return value;
}

// The value a name stands for in `table`, if it is there.
template <class Value, std::size_t N>
std::optional<Value> lookup(const std::pair<const char*, Value> (&table)[N], const char* name) {
    for (const auto& [known, value] : table) {
        if (std::strcmp(name, known) == 0) return value;
    }
    return std::nullopt;
}

using Access = sandbox::PathGrant::Kind;
constexpr std::pair<const char*, Access> kAccesses[] = {
    {"read", Access::read}, {"execute", Access::execute}, {"write", Access::write}};

using EntryKind = sandbox::WorldEntry::Kind;
constexpr std::pair<const char*, EntryKind> kEntryKinds[] = {
    {"read", EntryKind::read}, {"write", EntryKind::write}, {"device", EntryKind::device},
    {"link", EntryKind::link}, {"file", EntryKind::file},   {"tree", EntryKind::tree}};

using Stage = sandbox::ConfinementStage;
constexpr std::pair<const char*, Stage> kStages[] = {
    {"helper", Stage::helper}, {"spare", Stage::spare}, {"job", Stage::job}};

// A sequence of (path or fd, kind); paths are opened into `opened`.
std::vector<sandbox::PathGrant> read_grants(Borrowed grants_arg, sys::FdList& opened) {
    const Ref grants = Ref::steal(PySequence_Fast(grants_arg, "grants must be a sequence"));
    std::vector<sandbox::PathGrant> parsed;
    // The size is read afresh: a path's __fspath__ may change a list.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(grants.get()); ++i) {
        const Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(grants.get(), i));
        PyObject* target = nullptr;
        PyObject* kind_text = nullptr;
        parse_args(PyArg_ParseTuple(item.get(), "OU:grant", &target, &kind_text));
        const std::optional<Access> kind = lookup(kAccesses, utf8(kind_text));
        if (!kind) {
            PyErr_Format(PyExc_ValueError, "unknown kind of access %R", kind_text);
            py::throw_error_set();
        }
        sandbox::PathGrant grant{-1, *kind};
        if (PyLong_Check(target)) {
            grant.fd = as_int(target);
        } else {
            const std::string path = py::fs_path(target);
            sys::Fd fd(open(path.c_str(), O_PATH | O_CLOEXEC));
            if (!fd) {
                const int error = errno;
                py::raise_os_error(error, "open " + path);
            }
            grant.fd = fd.get();
            opened.push_back(std::move(fd));
        }
        parsed.push_back(grant);
    }
    return parsed;
}

// restrict_paths(grants, network): grants is a sequence of (path or fd, kind).
PyObject* restrict_paths(PyObject*, PyObject* args) {
    return guarded([args] {
        PyObject* grants_arg = nullptr;
        int network = 0;
        parse_args(PyArg_ParseTuple(args, "Op:restrict_paths", &grants_arg, &network));
        sys::FdList opened;
        sandbox::landlock_restrict(read_grants(grants_arg, opened), network != 0);
        return py::none();
    });
}

// The one flag `network` of the functions about the job's filter.
bool network_arg(PyObject* args, const char* format) {
    int network = 0;
    parse_args(PyArg_ParseTuple(args, format, &network));
    return network != 0;
}

PyObject* install_seccomp(PyObject*, PyObject* args) {
    return guarded([args] {
        sandbox::install_job_filter(network_arg(args, "p:install_seccomp"));
        return py::none();
    });
}

// The compiled program, as the kernel is given it (struct sock_filter in a row).
PyObject* filter_program(PyObject*, PyObject* args) {
    return guarded([args] {
        const std::vector<sock_filter>& program =
            sandbox::job_filter(network_arg(args, "p:filter_program"));
        const auto bytes = static_cast<Py_ssize_t>(program.size() * sizeof(sock_filter));
        return Ref::steal(
            PyBytes_FromStringAndSize(reinterpret_cast<const char*>(program.data()), bytes));
    });
}

PyObject* describe_filter(PyObject*, PyObject* args) {
    return guarded([args] {
        return py::str(sandbox::describe_job_filter(network_arg(args, "p:describe_filter")));
    });
}

PyObject* landlock_abi(PyObject*, PyObject*) { return PyLong_FromLong(sandbox::landlock_abi()); }

PyObject* seccomp_supported(PyObject*, PyObject*) {
    return PyBool_FromLong(sandbox::seccomp_supported_architecture());
}

template <void (*Step)()>
PyObject* simple_step(PyObject*, PyObject*) {
    return guarded([] {
        Step();
        return py::none();
    });
}

// description[key], or null when it is absent.
Ref item(Borrowed description, const char* key) {
    PyObject* value = nullptr;
    py::check(PyDict_GetItemStringRef(description, key, &value));
    return Ref::steal_or_null(value);
}

// The readers below leave `out` as it is when the description lacks the key.
void read_bool(Borrowed description, const char* key, bool& out) {
    if (const Ref value = item(description, key)) out = py::truthy(value);
}

template <class Number>
void read_number(Borrowed description, const char* key, Number& out) {
    const Ref value = item(description, key);
    if (!value) return;
    const unsigned long long number = PyLong_AsUnsignedLongLong(value.get());
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) py::throw_error_set();
    out = static_cast<Number>(number);
    if (static_cast<unsigned long long>(out) != number) {
        PyErr_Format(PyExc_OverflowError, "%s is out of range", key);
        py::throw_error_set();
    }
}

// Calls each(fields) for every record of the sequence `records`, each a list
// or tuple (JSON gives lists) of `count` fields, named `what` in errors. The
// fields are a tuple of their own, so that a path's __fspath__ cannot change
// them while they are read.
template <class Each>
void for_each_record(Borrowed records, const char* not_sequence, Py_ssize_t count, const char* what,
                     Each&& each) {
    const Ref items = Ref::steal(PySequence_Fast(records, not_sequence));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        const Ref fields =
            Ref::steal(PySequence_Fast(PySequence_Fast_GET_ITEM(items.get(), i), what));
        if (PySequence_Fast_GET_SIZE(fields.get()) != count) {
            PyErr_Format(PyExc_ValueError, "%s must have %zd fields", what, count);
            py::throw_error_set();
        }
        const Ref record = Ref::steal(PySequence_Tuple(fields.get()));
        each(PySequence_Fast_ITEMS(record.get()));
    }
}

// The same for the records of description[key], when it has them.
template <class Each>
void read_records(Borrowed description, const char* key, Py_ssize_t count, const char* what,
                  Each&& each) {
    const Ref records = item(description, key);
    if (!records) return;
    const std::string not_sequence = std::string(key) + " must be a sequence";
    for_each_record(records, not_sequence.c_str(), count, what, std::forward<Each>(each));
}

void read_world(Borrowed description, sandbox::WorldPlan& world) {
    read_number(description, "shm_size", world.shm_size);
    read_records(description, "world", 3, "a world entry", [&](PyObject* const* field) {
        const char* kind_name = utf8(field[1]);
        sandbox::WorldEntry entry{};
        entry.path = py::fs_path(field[0]);
        const std::optional<EntryKind> kind = lookup(kEntryKinds, kind_name);
        if (!kind) {
            PyErr_Format(PyExc_ValueError, "unknown kind of world entry %s", kind_name);
            py::throw_error_set();
        }
        entry.kind = *kind;
        entry.target = py::fs_path(field[2]);
        world.entries.push_back(std::move(entry));
    });
}

void read_own(Borrowed description, std::vector<std::pair<std::string, int>>& own) {
    read_records(description, "own", 2, "an own file", [&](PyObject* const* field) {
        std::string path = py::fs_path(field[0]);
        own.emplace_back(std::move(path), as_int(field[1]));
    });
}

unsigned long as_unsigned(Borrowed number) {
    const unsigned long value = PyLong_AsUnsignedLong(number);
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) py::throw_error_set();
    return value;
}

std::vector<sandbox::IdRange> read_ranges(Borrowed value) {
    std::vector<sandbox::IdRange> ranges;
    for_each_record(
        value, "id ranges must be a sequence", 3, "an id range", [&](PyObject* const* field) {
            ranges.push_back({as_unsigned(field[0]), as_unsigned(field[1]), as_unsigned(field[2])});
        });
    return ranges;
}

// value[key] of the id map, which must have it.
Ref required(Borrowed id_map, const char* key) {
    Ref value = item(id_map, key);
    if (!value) {
        PyErr_Format(PyExc_KeyError, "id_map has no %s", key);
        py::throw_error_set();
    }
    return value;
}

// id_map: None, or {"newuidmap": path, "newgidmap": path, "uids": ranges, "gids": ranges},
// ranges being (inside, outside, count) triples.
sandbox::IdMappers read_id_mappers(Borrowed id_map) {
    sandbox::IdMappers mappers;
    if (!id_map || id_map.get() == Py_None) return mappers;
    if (!PyDict_Check(id_map.get())) {
        PyErr_SetString(PyExc_TypeError, "id_map must be a dict or None");
        py::throw_error_set();
    }
    mappers.newuidmap = py::fs_path(required(id_map, "newuidmap"));
    mappers.newgidmap = py::fs_path(required(id_map, "newgidmap"));
    mappers.uids = read_ranges(required(id_map, "uids"));
    mappers.gids = read_ranges(required(id_map, "gids"));
    if (mappers.newuidmap.empty() || mappers.newgidmap.empty() || mappers.uids.empty() ||
        mappers.gids.empty()) {
        PyErr_SetString(PyExc_ValueError, "id_map needs both helpers and a range of each kind");
        py::throw_error_set();
    }
    return mappers;
}

sandbox::Description read_description(Borrowed description, Stage stage) {
    if (!PyDict_Check(description.get())) {
        PyErr_SetString(PyExc_TypeError, "the description must be a dict");
        py::throw_error_set();
    }
    sandbox::Description d;
    if (const Ref scratch = item(description, "scratch")) d.scratch = py::fs_path(scratch);
    if (const Ref id_map = item(description, "id_map")) d.id_mappers = read_id_mappers(id_map);
    read_bool(description, "network", d.network);
    read_number(description, "user_namespace", d.user_namespace);
    read_number(description, "uid", d.uid);
    read_number(description, "gid", d.gid);
    read_number(description, "scratch_size", d.scratch_size);
    read_number(description, "max_processes", d.max_processes);
    read_world(description, d.world);
    if (stage == Stage::job) read_own(description, d.own);
    return d;
}

// confine(stage, description): the stage's steps of the sequence; a list of
// (step, seconds) it took, in order.
PyObject* confine(PyObject*, PyObject* args) {
    return guarded([args] {
        const char* stage_name = nullptr;
        PyObject* description = nullptr;
        parse_args(PyArg_ParseTuple(args, "sO:confine", &stage_name, &description));
        const std::optional<Stage> stage = lookup(kStages, stage_name);
        if (!stage) {
            PyErr_Format(PyExc_ValueError, "unknown confinement stage %s", stage_name);
            py::throw_error_set();
        }
        const std::vector<sandbox::StepTime> taken =
            sandbox::confine(*stage, read_description(description, *stage));
        Ref steps = Ref::steal(PyList_New(static_cast<Py_ssize_t>(taken.size())));
        for (std::size_t i = 0; i < taken.size(); ++i) {
            Ref pair = Ref::steal(Py_BuildValue("(sd)", taken[i].step, taken[i].seconds));
            PyList_SET_ITEM(steps.get(), static_cast<Py_ssize_t>(i), pair.release());
        }
        return steps;
    });
}

// A descriptor made for the caller, as an int; closed if it cannot be handed over.
Ref hand_over(sys::Fd fd) {
    Ref number = Ref::steal(PyLong_FromLong(fd.get()));
    fd.release();
    return number;
}

// pid_namespace(uid, gid): (pid, user namespace fd) of a new pid namespace's
// init, in a new user namespace where only uid and gid are mapped; this
// process's next children are made in that pid namespace.
PyObject* pid_namespace(PyObject*, PyObject* args) {
    return guarded([args] {
        unsigned int uid = 0;
        unsigned int gid = 0;
        parse_args(PyArg_ParseTuple(args, "II:pid_namespace", &uid, &gid));
        const sandbox::JobInit init = sandbox::make_job_init(uid, gid);
        sys::Fd user_namespace(init.user_namespace);
        Ref result =
            Ref::steal(Py_BuildValue("(ii)", static_cast<int>(init.pid), user_namespace.get()));
        user_namespace.release();
        return result;
    });
}

PyObject* detached_file(PyObject*, PyObject* args) {
    return guarded([args] {
        PyObject* path = nullptr;
        parse_args(PyArg_ParseTuple(args, "O:detached_file", &path));
        return hand_over(sys::Fd(sandbox::detached_file(py::fs_path(path))));
    });
}

PyObject* idmapped_tree(PyObject*, PyObject* args) {
    return guarded([args] {
        PyObject* path = nullptr;
        unsigned int uid = 0;
        unsigned int gid = 0;
        parse_args(PyArg_ParseTuple(args, "OII:idmapped_tree", &path, &uid, &gid));
        return hand_over(sys::Fd(sandbox::idmapped_tree(py::fs_path(path), uid, gid)));
    });
}

PyObject* probe_id_mappers(PyObject*, PyObject* id_map) {
    return guarded([id_map] {
        if (id_map == Py_None) {
            PyErr_SetString(PyExc_TypeError, "probe_id_mappers needs an id map");
            py::throw_error_set();
        }
        const sandbox::IdMappers mappers = read_id_mappers(Borrowed(id_map));
        std::string why;
        Py_BEGIN_ALLOW_THREADS
            why = sandbox::probe_id_mappers(mappers);
        Py_END_ALLOW_THREADS
        return Ref::steal(
            PyUnicode_DecodeFSDefaultAndSize(why.data(), static_cast<Py_ssize_t>(why.size())));
    });
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
     "(sequence.hpp); raises OSError naming the step that failed. Returns (step, seconds) "
     "for each step taken, in order."},
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
    {"probe_id_mappers", probe_id_mappers, METH_O,
     "probe_id_mappers($module, id_map, /)\n--\n\n"
     "'' if newuidmap and newgidmap map a throw-away user namespace as id_map asks, "
     "else why not."},
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
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_sandbox",
    .m_doc = "Per-job confinement steps of the sandbox.",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__sandbox() { return PyModuleDef_Init(&module_def); }
