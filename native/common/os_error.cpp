#include "common/os_error.hpp"

#include <cerrno>
#include <cstring>

namespace py {

void set_os_error(int code, const std::string& message) noexcept {
    // Calling OSError itself picks the subclass of the errno, as the os module's errors have.
    const Ref args = Ref::steal_or_null(
        Py_BuildValue("(is#)", code, message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!args) return;
    const Ref error = Ref::steal_or_null(PyObject_Call(PyExc_OSError, args.get(), nullptr));
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

void raise_os_error(int code, const std::string& step) {
    set_os_error(code, step + ": " + std::strerror(code));
    throw_error_set();
}

void raise_os_error(int code, Borrowed path, Borrowed other) {
    errno = code;
    PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, path, other);
    throw_error_set();
}

}  // namespace py
