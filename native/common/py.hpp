// Python toolkit of both extensions: owning references, borrowed views, one
// exception type for "a Python error is set", and thin wrappers over the C
// API calls they make. Business code never tests a C API return value by hand
// and never decrefs by hand.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

// A sanitizer build is where the asserts below are meant to run.
#if defined(VELMOR_EXPECT_ASSERTS) && defined(NDEBUG)
#error "this build expects live asserts, but NDEBUG is defined"
#endif

namespace py {

// Thrown when a C API call failed and left a Python exception set. Caught only
// at the boundaries where CPython calls into the module.
struct ErrorAlreadySet {};

// Throws ErrorAlreadySet; the caller asserts that the error really is set.
[[noreturn]] inline void throw_error_set() {
    assert(PyErr_Occurred() && "ErrorAlreadySet thrown without a Python error set");
    throw ErrorAlreadySet{};
}

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
        if (!p) throw_error_set();
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

// A borrowed view: a parameter type that takes a raw pointer or an owning
// Ref alike, so callers never write `.get()`. It owns nothing; use it for
// parameters and short-lived locals, never to keep an object.
class Borrowed {
public:
    constexpr Borrowed(PyObject* p) noexcept : ptr_(p) {}
    Borrowed(const Ref& ref) noexcept : ptr_(ref.get()) {}
    PyObject* get() const noexcept { return ptr_; }
    operator PyObject*() const noexcept { return ptr_; }
    // A new owning reference to the same object.
    Ref ref() const noexcept { return Ref::borrow(ptr_); }

private:
    PyObject* ptr_;
};

inline void check(int rc) {
    if (rc < 0) throw_error_set();
}
inline void check_error() {
    if (PyErr_Occurred()) throw ErrorAlreadySet{};
}

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref str(std::string_view text) {
    return Ref::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
inline Ref interned(const char* text) { return Ref::steal(PyUnicode_InternFromString(text)); }
inline Ref number(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
inline Ref integer(Py_ssize_t v) { return Ref::steal(PyLong_FromSsize_t(v)); }
// str(value)
inline Ref str_of(Borrowed value) { return Ref::steal(PyObject_Str(value)); }

inline bool truthy(Borrowed o) {
    int r = PyObject_IsTrue(o);
    check(r);
    return r != 0;
}

inline Ref getattr(Borrowed o, Borrowed name) { return Ref::steal(PyObject_GetAttr(o, name)); }
// The attribute, or a null Ref when `o` has none (AttributeError cleared).
inline Ref getattr_optional(Borrowed o, Borrowed name) {
    PyObject* result = nullptr;
    check(PyObject_GetOptionalAttr(o, name, &result));
    return Ref::steal_or_null(result);
}
inline void setattr(Borrowed o, Borrowed name, Borrowed value) {
    check(PyObject_SetAttr(o, name, value));
}

// callable(*args)
template <class... Args>
Ref call(Borrowed callable, const Args&... args) {
    PyObject* stack[] = {nullptr, Borrowed(args).get()...};
    return Ref::steal(PyObject_Vectorcall(callable, stack + 1, sizeof...(Args), nullptr));
}
// callable(*args) where `kwnames`, a tuple, names the last len(kwnames)
// arguments, which are passed as keywords in that order.
template <class... Args>
Ref call_kw(Borrowed callable, Borrowed kwnames, const Args&... args) {
    PyObject* stack[] = {nullptr, Borrowed(args).get()...};
    const auto nkw = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames.get()));
    assert(nkw <= sizeof...(Args));
    return Ref::steal(PyObject_Vectorcall(callable, stack + 1, sizeof...(Args) - nkw, kwnames));
}
// obj.name(*args): the attribute lookup of a normal method call, without
// making a bound method object.
template <class... Args>
Ref call_method(Borrowed obj, Borrowed name, const Args&... args) {
    PyObject* stack[] = {obj.get(), Borrowed(args).get()...};
    return Ref::steal(PyObject_VectorcallMethod(name, stack, 1 + sizeof...(Args), nullptr));
}

inline Ref new_dict() { return Ref::steal(PyDict_New()); }
inline Ref new_list() { return Ref::steal(PyList_New(0)); }
inline void set_item(Borrowed dict, Borrowed key, Borrowed value) {
    check(PyDict_SetItem(dict, key, value));
}
inline void set_item(Borrowed dict, const char* key, Borrowed value) {
    check(PyDict_SetItemString(dict, key, value));
}
inline void append(Borrowed list, Borrowed item) { check(PyList_Append(list, item)); }
// dict.get(key): a new reference, or null when absent (no error).
inline Ref dict_get(Borrowed dict, Borrowed key) {
    PyObject* result = nullptr;
    check(PyDict_GetItemRef(dict, key, &result));
    return Ref::steal_or_null(result);
}
// dict.get(key, default_value)
inline Ref dict_get(Borrowed dict, Borrowed key, Borrowed default_value) {
    if (Ref value = dict_get(dict, key)) return value;
    return default_value.ref();
}
inline Ref new_tuple(std::initializer_list<Borrowed> items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Borrowed item : items) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item.get()));
    return tuple;
}
// A tuple of interned strings, as keyword names are.
inline Ref names_tuple(std::initializer_list<const char*> items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const char* item : items) PyTuple_SET_ITEM(tuple.get(), i++, interned(item).release());
    return tuple;
}

// format(value, ""): how an f-string replacement field without a spec renders.
inline Ref format(Borrowed value) { return Ref::steal(PyObject_Format(value, nullptr)); }
inline Ref concat(Borrowed a, Borrowed b) { return Ref::steal(PyUnicode_Concat(a, b)); }
// f"{prefix}{value}": a fixed text followed by one replacement field.
inline Ref fstring(Borrowed prefix, Borrowed value) { return concat(prefix, format(value)); }
inline Ref fstring(const char* prefix, Borrowed value) { return fstring(str(prefix), value); }

// The name CPython error texts use for an object's type.
inline const char* type_name(Borrowed o) { return Py_TYPE(o.get())->tp_name; }

// The file system form of a path object (str, bytes or os.PathLike), as the
// os functions take it.
inline std::string fs_path(Borrowed path) {
    PyObject* bytes = nullptr;
    if (!PyUnicode_FSConverter(path, &bytes)) throw_error_set();
    const Ref owned = Ref::steal(bytes);
    return std::string(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
}

// Holds the currently raised exception aside and restores it on demand; used
// where C++ control flow must run between raising and reporting.
class SavedError {
public:
    SavedError() noexcept = default;
    static SavedError fetch() noexcept {
        return SavedError(Ref::steal_or_null(PyErr_GetRaisedException()));
    }
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
// from a catch(...) block at a boundary with CPython. A failed system call
// (std::system_error) becomes the OSError of its errno, any other C++ error
// an instance of `other`.
void set_error_from_current_exception(PyObject* other = PyExc_SystemError) noexcept;

// Runs `body` (which returns a Ref) where CPython calls in: its result as a
// new reference, or null with what it threw set as the Python error.
template <class Body>
PyObject* guarded(PyObject* other, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)().release();
    } catch (...) {
        set_error_from_current_exception(other);
        return nullptr;
    }
}

}  // namespace py
