#include "common/py.hpp"

#include "common/os_error.hpp"

#include <exception>
#include <new>
#include <string>
#include <system_error>

namespace py {

void set_error_from_current_exception(PyObject* other) noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::system_error& e) {
        // what() is already "<step>: <strerror>", the text OSError shows after the errno.
        try {
            set_os_error(e.code().value(), e.what());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
    } catch (const std::exception& e) {
        PyErr_SetString(other, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

}  // namespace py
