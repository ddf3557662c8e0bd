// Python toolkit: owning references, one exception type for "a Python error
// is set", and thin wrappers over the C API calls the module makes. Business
// code never tests a C API return value by hand and never decrefs by hand.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <utility>

namespace py {

// Thrown when a C API call failed and left a Python exception set. Caught only
// at the boundaries where CPython calls into the module.
struct ErrorAlreadySet {};

// An owning, move-only reference. Null only when moved from or default-made.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference; throws when it is null (the error is set).
    static Ref steal(PyObject* p) {
        if (!p) throw ErrorAlreadySet{};
        return Ref(p);
    }
    // Takes over a new reference that may legitimately be null.
    static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference to CPython.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    Ref copy() const noexcept { return borrow(ptr_); }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(ptr_, other.ptr_); }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

inline void check(int rc) {
    if (rc < 0) throw ErrorAlreadySet{};
}
inline void check_error() {
    if (PyErr_Occurred()) throw ErrorAlreadySet{};
}

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref str(std::string_view text) {
    return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
inline Ref interned(const char* text) { return Ref::steal(PyUnicode_InternFromString(text)); }
inline Ref number(double v) { return Ref::steal(PyFloat_FromDouble(v)); }

inline bool truthy(PyObject* o) {
    int r = PyObject_IsTrue(o);
    check(r);
    return r != 0;
}

inline Ref getattr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }
// The attribute, or a null Ref when `o` has none (AttributeError cleared).
inline Ref getattr_optional(PyObject* o, PyObject* name) {
    PyObject* result = nullptr;
    check(PyObject_GetOptionalAttr(o, name, &result));
    return Ref::steal_or_null(result);
}
inline void setattr(PyObject* o, PyObject* name, PyObject* value) { check(PyObject_SetAttr(o, name, value)); }

// Positional call.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {}) {
    return Ref::steal(PyObject_Vectorcall(callable, const_cast<PyObject**>(args.begin()), args.size(), nullptr));
}
// Call with positional arguments followed by keyword arguments; `kwnames` is a
// tuple naming the last len(kwnames) entries of `args`, in order.
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    return Ref::steal(PyObject_Vectorcall(callable, const_cast<PyObject**>(args.begin()),
                                          args.size() - static_cast<size_t>(nkw), kwnames));
}
// obj.name(*args): the attribute lookup of a normal method call, without
// making a bound method object.
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {}) {
    constexpr std::size_t kMaxArgs = 4;
    PyObject* stack[1 + kMaxArgs] = {obj};
    std::size_t n = 1;
    for (PyObject* arg : args) {
        if (n > kMaxArgs) {
            PyErr_SetString(PyExc_SystemError, "tool_creator: too many method arguments");
            throw ErrorAlreadySet{};
        }
        stack[n++] = arg;
    }
    return Ref::steal(PyObject_VectorcallMethod(name, stack, n, nullptr));
}

inline Ref new_dict() { return Ref::steal(PyDict_New()); }
inline void set_item(PyObject* dict, PyObject* key, PyObject* value) { check(PyDict_SetItem(dict, key, value)); }
inline void set_item(PyObject* dict, const char* key, PyObject* value) {
    check(PyDict_SetItemString(dict, key, value));
}
// dict.get(key): a new reference, or null when absent (no error).
inline Ref dict_get(PyObject* dict, PyObject* key) {
    PyObject* result = nullptr;
    check(PyDict_GetItemRef(dict, key, &result));
    return Ref::steal_or_null(result);
}
inline Ref new_list(std::initializer_list<PyObject*> items) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyList_SET_ITEM(list.get(), i++, Py_NewRef(item));
    return list;
}
inline Ref new_tuple(std::initializer_list<PyObject*> items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item));
    return tuple;
}

// format(value, ""): how an f-string replacement field without a spec renders.
inline Ref format(PyObject* value) { return Ref::steal(PyObject_Format(value, nullptr)); }
inline Ref concat(PyObject* a, PyObject* b) { return Ref::steal(PyUnicode_Concat(a, b)); }

// The name CPython error texts use for an object's type.
inline const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

// Holds the currently raised exception aside and restores it on demand; used
// where C++ control flow must run between raising and reporting.
class SavedError {
public:
    SavedError() noexcept = default;
    static SavedError fetch() noexcept { return SavedError(Ref::steal_or_null(PyErr_GetRaisedException())); }
    explicit operator bool() const noexcept { return bool(exc_); }
    void restore() noexcept { PyErr_SetRaisedException(exc_.release()); }
    PyObject* get() const noexcept { return exc_.get(); }
    // Hands the saved exception over as an owned reference.
    Ref take() noexcept { return std::move(exc_); }

private:
    explicit SavedError(Ref exc) noexcept : exc_(std::move(exc)) {}
    Ref exc_;
};

// Turns whatever C++ exception is in flight into a set Python error. Call only
// from a catch(...) block at a boundary with CPython.
void set_error_from_current_exception() noexcept;

}  // namespace py
