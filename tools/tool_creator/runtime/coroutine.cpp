#include "coroutine.hpp"

#include "runtime.hpp"
#include "task.hpp"

#include <cstdint>
#include <new>

namespace rt {

// ---- the C++ side -----------------------------------------------------------

void Promise::unhandled_exception() noexcept {
    py::set_error_from_current_exception();
    error = py::SavedError::fetch();
}

py::Ref AwaitPython::await_resume() {
    assert(promise_ && !promise_->delegate && "resumed while still awaiting");
    if (promise_->sent_error) {
        promise_->sent_error.restore();
        py::throw_error_set();
    }
    return std::move(promise_->sent_value);
}

Task run_steps(CoroutineSteps steps, Args a) {
    py::Ref awaitable;
    {
        Step step = steps.prepare(a);
        if (!step.awaitable) co_return std::move(step.answer);
        awaitable = std::move(step.awaitable);
    }
    // `awaiting` takes the reference out of `awaitable`: across the
    // suspension this frame holds no Python reference, only the promise's
    // traversed `delegate` does.
    py::Ref awaited = co_await awaiting(std::move(awaitable));
    co_return steps.finish(a, std::move(awaited));
}

namespace {

// Whether `o` is a coroutine of this module suspended in an await already.
bool is_suspended_in_await(PyObject* o);

bool is_module_coroutine(PyObject* o) {
    return Py_TYPE(o) == reinterpret_cast<PyTypeObject*>(runtime().coroutine_type.get());
}

bool is_iterable_coroutine(PyObject* o) {
    if (!PyGen_CheckExact(o)) return false;
    PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(o));
    const bool flagged = code && (code->co_flags & CO_ITERABLE_COROUTINE);
    Py_XDECREF(code);
    return flagged;
}

}  // namespace

AwaitPython awaiting(py::Ref awaitable_param) {
    // A by-value parameter lives until the end of the caller's full
    // expression, which spans the suspension; take the reference out of it.
    py::Ref awaitable_ref = std::move(awaitable_param);
    PyObject* awaitable = awaitable_ref.get();
    if (PyCoro_CheckExact(awaitable) || is_module_coroutine(awaitable) ||
        is_iterable_coroutine(awaitable)) {
        if (is_suspended_in_await(awaitable)) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            py::throw_error_set();
        }
        return AwaitPython(std::move(awaitable_ref));
    }
    PyAsyncMethods* am = Py_TYPE(awaitable)->tp_as_async;
    if (!am || !am->am_await) {
        PyErr_Format(PyExc_TypeError, "object %.200s can't be used in 'await' expression",
                     py::type_name(awaitable));
        py::throw_error_set();
    }
    py::Ref iterator = py::Ref::steal(am->am_await(awaitable));
    if (PyCoro_CheckExact(iterator.get()) || is_module_coroutine(iterator.get())) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        py::throw_error_set();
    }
    if (!PyIter_Check(iterator.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     py::type_name(iterator.get()));
        py::throw_error_set();
    }
    return AwaitPython(std::move(iterator));
}

// ---- the Python side ----------------------------------------------------------

namespace {

enum class CoroutineState : std::uint8_t { Created, Suspended, Running, Finished };

struct CoroutineObject {
    PyObject_HEAD
    Task::Handle handle;  // null once finished
    BoundArgs args;       // the body reads its arguments from here
    py::Ref name;         // always a str: repr and warnings use them
    py::Ref qualname;
    ResultCheck result_check;
    CoroutineState state;
    PyObject* weakrefs;
};

CoroutineObject* as_coroutine(PyObject* o) noexcept {
    return reinterpret_cast<CoroutineObject*>(o);
}

// Ends the coroutine's life: destroys the body's frame and drops the
// arguments, as a finished native coroutine drops its frame.
void discard_body(CoroutineObject* c) noexcept {
    assert(c->state != CoroutineState::Running && "a running body discarded");
    c->state = CoroutineState::Finished;
    if (Task::Handle h = std::exchange(c->handle, {})) h.destroy();
    c->args = BoundArgs{};
}

// A StopIteration escaping a coroutine body would end an enclosing iteration
// silently; like native coroutines, report it as a RuntimeError instead.
void replace_escaping_stop_iteration() noexcept {
    const char* message = nullptr;
    if (PyErr_ExceptionMatches(PyExc_StopIteration))
        message = "coroutine raised StopIteration";
    else if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration))
        message = "coroutine raised StopAsyncIteration";
    if (!message) return;
    py::Ref original = py::SavedError::fetch().take();
    PyErr_SetString(PyExc_RuntimeError, message);
    py::Ref replacement = py::SavedError::fetch().take();
    PyException_SetCause(replacement.get(), Py_NewRef(original.get()));
    PyException_SetContext(replacement.get(), original.release());
    PyErr_SetRaisedException(replacement.release());
}

PySendResult finish(CoroutineObject* c, PyObject** presult) noexcept {
    assert(c->state == CoroutineState::Running && c->handle.done());
    Promise& p = c->handle.promise();
    py::Ref result = std::move(p.result);
    py::SavedError error = std::move(p.error);
    c->state = CoroutineState::Finished;
    discard_body(c);
    if (error) {
        error.restore();
        replace_escaping_stop_iteration();
        return PYGEN_ERROR;
    }
    if (!result) result = py::none();
    try {
        check_result(c->result_check, result.get());
    } catch (...) {
        py::set_error_from_current_exception();
        return PYGEN_ERROR;
    }
    *presult = result.release();
    return PYGEN_RETURN;
}

// Hands the awaited object's outcome to the body: the returned value, or the
// exception now set.
void deliver(Promise& p, PySendResult outcome, PyObject* value) noexcept {
    assert(outcome == PYGEN_RETURN ? value != nullptr : PyErr_Occurred() != nullptr);
    if (outcome == PYGEN_RETURN) {
        p.sent_value = py::Ref::steal_or_null(value);
    } else {
        p.sent_error = py::SavedError::fetch();
    }
    p.delegate.reset();
}

// Resumes the body and runs it until it waits on an awaited object that
// yields, or until it finishes. The state is Running on entry.
PySendResult run(CoroutineObject* c, PyObject** presult) noexcept {
    for (;;) {
        assert(c->state == CoroutineState::Running && c->handle && !c->handle.done());
        c->handle.resume();
        if (c->handle.done()) return finish(c, presult);
        Promise& p = c->handle.promise();
        assert(p.delegate && "a body suspended without an awaited object");
        PySendResult outcome = PyIter_Send(p.delegate.get(), Py_None, presult);
        if (outcome == PYGEN_NEXT) {
            c->state = CoroutineState::Suspended;
            return outcome;
        }
        deliver(p, outcome, *presult);
        *presult = nullptr;
    }
}

PySendResult coroutine_am_send(PyObject* self, PyObject* arg, PyObject** presult) noexcept {
    CoroutineObject* c = as_coroutine(self);
    *presult = nullptr;
    switch (c->state) {
        case CoroutineState::Finished:
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        case CoroutineState::Running:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return PYGEN_ERROR;
        case CoroutineState::Created:
            if (arg && arg != Py_None) {
                PyErr_SetString(PyExc_TypeError,
                                "can't send non-None value to a just-started coroutine");
                return PYGEN_ERROR;
            }
            c->state = CoroutineState::Running;
            return run(c, presult);
        case CoroutineState::Suspended: {
            assert(c->handle && !c->handle.done() && c->handle.promise().delegate);
            c->state = CoroutineState::Running;
            Promise& p = c->handle.promise();
            PySendResult outcome = PyIter_Send(p.delegate.get(), arg ? arg : Py_None, presult);
            if (outcome == PYGEN_NEXT) {
                c->state = CoroutineState::Suspended;
                return outcome;
            }
            deliver(p, outcome, *presult);
            *presult = nullptr;
            return run(c, presult);
        }
    }
    return PYGEN_ERROR;
}

// Sets the exception described by throw()'s arguments (type[, value[, tb]]),
// normalised as a raise statement would.
bool set_thrown_exception(PyObject* const* args, Py_ssize_t nargs) noexcept {
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 ? args[2] : nullptr;
    if (value == Py_None) value = nullptr;
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    py::Ref exception;
    if (PyExceptionClass_Check(type)) {
        if (value && PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type))) {
            exception = py::Ref::borrow(value);
        } else if (value && PyTuple_Check(value)) {
            exception = py::Ref::steal_or_null(PyObject_Call(type, value, nullptr));
        } else if (value) {
            exception = py::Ref::steal_or_null(PyObject_CallOneArg(type, value));
        } else {
            exception = py::Ref::steal_or_null(PyObject_CallNoArgs(type));
        }
        if (!exception) return false;
        if (!PyExceptionInstance_Check(exception.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         type, py::type_name(exception.get()));
            return false;
        }
    } else if (PyExceptionInstance_Check(type)) {
        if (value) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        exception = py::Ref::borrow(type);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     py::type_name(type));
        return false;
    }
    if (tb && PyException_SetTraceback(exception.get(), tb) < 0) return false;
    PyErr_SetRaisedException(exception.release());
    return true;
}

// close() of an awaited object, as `yield from` closes its delegate.
bool close_delegate(PyObject* delegate) noexcept {
    py::Ref close;
    try {
        close = py::getattr_optional(delegate, names().close);
    } catch (const py::ErrorAlreadySet&) {
        return false;
    }
    if (!close) return true;
    py::Ref result = py::Ref::steal_or_null(PyObject_CallNoArgs(close.get()));
    return bool(result);
}

// throw() semantics shared by throw() and close(): forwarded to the awaited
// object while suspended, raised at the start of a coroutine never started.
PySendResult throw_into(CoroutineObject* c, PyObject* const* args, Py_ssize_t nargs,
                        PyObject** presult) noexcept {
    *presult = nullptr;
    switch (c->state) {
        case CoroutineState::Running:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return PYGEN_ERROR;
        case CoroutineState::Finished:
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        case CoroutineState::Created:
            discard_body(c);
            set_thrown_exception(args, nargs);
            return PYGEN_ERROR;
        case CoroutineState::Suspended:
            break;
    }

    assert(c->handle && !c->handle.done() && c->handle.promise().delegate);
    c->state = CoroutineState::Running;
    Promise& p = c->handle.promise();
    py::Ref delegate = p.delegate.copy();
    if (PyErr_GivenExceptionMatches(args[0], PyExc_GeneratorExit)) {
        // Closing: close the awaited object first; an error from that is
        // what the body sees instead of GeneratorExit.
        if (close_delegate(delegate.get())) set_thrown_exception(args, nargs);
        deliver(p, PYGEN_ERROR, nullptr);
        return run(c, presult);
    }

    py::Ref throw_method;
    try {
        throw_method = py::getattr_optional(delegate, names().throw_);
    } catch (const py::ErrorAlreadySet&) {
        deliver(p, PYGEN_ERROR, nullptr);
        return run(c, presult);
    }
    if (!throw_method) {
        set_thrown_exception(args, nargs);
        deliver(p, PYGEN_ERROR, nullptr);
        return run(c, presult);
    }
    PyObject* yielded =
        PyObject_Vectorcall(throw_method.get(), args, static_cast<size_t>(nargs), nullptr);
    if (yielded) {
        c->state = CoroutineState::Suspended;
        *presult = yielded;
        return PYGEN_NEXT;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        // The awaited object finished: its value is the await's result.
        py::Ref stop = py::SavedError::fetch().take();
        PyObject* value = PyObject_GetAttr(stop.get(), names().value.get());
        deliver(p, value ? PYGEN_RETURN : PYGEN_ERROR, value);
    } else {
        deliver(p, PYGEN_ERROR, nullptr);
    }
    return run(c, presult);
}

// Turns a send outcome into the result of send()/__next__(): the yielded
// value, or StopIteration carrying the return value.
PyObject* send_outcome_to_object(PySendResult outcome, PyObject* result) noexcept {
    if (outcome == PYGEN_NEXT) return result;
    if (outcome == PYGEN_ERROR) return nullptr;
    py::Ref value = py::Ref::steal_or_null(result);
    if (value.get() == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
    } else if (PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value.get())) {
        PyErr_SetRaisedException(stop);
    }
    return nullptr;
}

PyObject* coroutine_send(PyObject* self, PyObject* arg) noexcept {
    PyObject* result = nullptr;
    PySendResult outcome = coroutine_am_send(self, arg, &result);
    return send_outcome_to_object(outcome, result);
}

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        if (nargs > 3) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        }
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0) {
        return nullptr;
    }
    PyObject* result = nullptr;
    PySendResult outcome = throw_into(as_coroutine(self), args, nargs, &result);
    return send_outcome_to_object(outcome, result);
}

PyObject* coroutine_close(PyObject* self, PyObject* = nullptr) noexcept {
    CoroutineObject* c = as_coroutine(self);
    switch (c->state) {
        case CoroutineState::Created:
            discard_body(c);
            Py_RETURN_NONE;
        case CoroutineState::Finished:
            Py_RETURN_NONE;
        case CoroutineState::Running:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return nullptr;
        case CoroutineState::Suspended:
            break;
    }
    PyObject* exit_type = PyExc_GeneratorExit;
    PyObject* result = nullptr;
    PySendResult outcome = throw_into(c, &exit_type, 1, &result);
    if (outcome == PYGEN_NEXT) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (outcome == PYGEN_RETURN) return result;
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
        PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* make_wrapper(PyObject* coroutine) noexcept;

bool is_suspended_in_await(PyObject* o) {
    return is_module_coroutine(o) && as_coroutine(o)->state == CoroutineState::Suspended;
}

PyObject* coroutine_await(PyObject* self) noexcept {
    // A second await of a coroutine suspended in another one would send
    // into the same awaited object twice.
    if (is_suspended_in_await(self)) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return make_wrapper(self);
}

void coroutine_finalize(PyObject* self) noexcept {
    CoroutineObject* c = as_coroutine(self);
    if (c->state != CoroutineState::Created && c->state != CoroutineState::Suspended) return;
    py::SavedError pending = py::SavedError::fetch();
    if (c->state == CoroutineState::Created) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited",
                             c->qualname.get()) < 0) {
            PyErr_WriteUnraisable(self);
        }
    } else if (PyObject* result = coroutine_close(self)) {
        Py_DECREF(result);
    } else {
        PyErr_WriteUnraisable(self);
    }
    pending.restore();
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    CoroutineObject* c = as_coroutine(self);
    Py_VISIT(c->name.get());
    Py_VISIT(c->qualname.get());
    for (const py::Ref& value : c->args.values) Py_VISIT(value.get());
    Py_VISIT(c->args.kwargs.get());
    for (const py::Ref& value : c->args.kept) Py_VISIT(value.get());
    if (c->handle) {
        const Promise& p = c->handle.promise();
        Py_VISIT(p.delegate.get());
        Py_VISIT(p.sent_value.get());
        Py_VISIT(p.result.get());
    }
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int coroutine_clear(PyObject* self) noexcept {
    CoroutineObject* c = as_coroutine(self);
    if (c->state != CoroutineState::Running) discard_body(c);
    // The names may be str subclasses in a cycle; they stay strings, because
    // repr and the never-awaited warning use them.
    c->name = names().empty.copy();
    c->qualname = names().empty.copy();
    return 0;
}

void coroutine_dealloc(PyObject* self) noexcept {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    CoroutineObject* c = as_coroutine(self);
    if (c->weakrefs) PyObject_ClearWeakRefs(self);
    if (c->handle) c->handle.destroy();
    c->~CoroutineObject();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* coroutine_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coroutine(self)->qualname.get(),
                                self);
}

template <py::Ref CoroutineObject::* Member>
PyObject* get_name(PyObject* self, void*) noexcept {
    return Py_NewRef((as_coroutine(self)->*Member).get());
}

template <py::Ref CoroutineObject::* Member>
int set_name(PyObject* self, PyObject* value, void* closure) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                     static_cast<const char*>(closure));
        return -1;
    }
    as_coroutine(self)->*Member = py::Ref::borrow(value);
    return 0;
}

PyObject* get_await(PyObject* self, void*) noexcept {
    CoroutineObject* c = as_coroutine(self);
    PyObject* delegate =
        (c->handle && !c->handle.done()) ? c->handle.promise().delegate.get() : nullptr;
    return Py_NewRef(delegate ? delegate : Py_None);
}

PyObject* get_running(PyObject* self, void*) noexcept {
    return PyBool_FromLong(as_coroutine(self)->state == CoroutineState::Running);
}

PyObject* get_suspended(PyObject* self, void*) noexcept {
    return PyBool_FromLong(as_coroutine(self)->state == CoroutineState::Suspended);
}

PyObject* get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name<&CoroutineObject::name>, set_name<&CoroutineObject::name>, nullptr,
     const_cast<char*>("__name__")},
    {"__qualname__", get_name<&CoroutineObject::qualname>, set_name<&CoroutineObject::qualname>,
     nullptr, const_cast<char*>("__qualname__")},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)),
     METH_FASTCALL, nullptr},
    {"close", coroutine_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef coroutine_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(CoroutineObject, weakrefs), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(coroutine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(coroutine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coroutine_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(coroutine_finalize)},
    {Py_tp_repr, reinterpret_cast<void*>(coroutine_repr)},
    {Py_tp_getset, coroutine_getset},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_members, coroutine_members},
    {Py_am_await, reinterpret_cast<void*>(coroutine_await)},
    {Py_am_send, reinterpret_cast<void*>(coroutine_am_send)},
    {0, nullptr},
};

PyType_Spec coroutine_spec = {
    nullptr,  // the name, given by make_coroutine_type
    sizeof(CoroutineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    coroutine_slots,
};

// ---- the iterator returned by __await__ ---------------------------------------

struct WrapperObject {
    PyObject_HEAD
    py::Ref coroutine;
};

WrapperObject* as_wrapper(PyObject* o) noexcept { return reinterpret_cast<WrapperObject*>(o); }

PyObject* make_wrapper(PyObject* coroutine) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(runtime().coroutine_wrapper_type.get());
    PyObject* object = type->tp_alloc(type, 0);
    if (!object) return nullptr;
    new (&as_wrapper(object)->coroutine) py::Ref(py::Ref::borrow(coroutine));
    return object;
}

PyObject* wrapper_iternext(PyObject* self) noexcept {
    PyObject* result = nullptr;
    PySendResult outcome = coroutine_am_send(as_wrapper(self)->coroutine.get(), Py_None, &result);
    return send_outcome_to_object(outcome, result);
}

// Lets `await` from Python code drive the coroutine without raising and
// catching StopIteration on every completion.
PySendResult wrapper_am_send(PyObject* self, PyObject* arg, PyObject** presult) noexcept {
    return coroutine_am_send(as_wrapper(self)->coroutine.get(), arg, presult);
}

PyObject* wrapper_send(PyObject* self, PyObject* arg) noexcept {
    return coroutine_send(as_wrapper(self)->coroutine.get(), arg);
}

PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return coroutine_throw(as_wrapper(self)->coroutine.get(), args, nargs);
}

PyObject* wrapper_close(PyObject* self, PyObject*) noexcept {
    return coroutine_close(as_wrapper(self)->coroutine.get());
}

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_wrapper(self)->coroutine.get());
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int wrapper_clear(PyObject* self) noexcept {
    as_wrapper(self)->coroutine.reset();
    return 0;
}

void wrapper_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_wrapper(self)->~WrapperObject();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_throw)),
     METH_FASTCALL, nullptr},
    {"close", wrapper_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot wrapper_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(wrapper_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(wrapper_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(wrapper_iternext)},
    {Py_tp_methods, wrapper_methods},
    {Py_am_send, reinterpret_cast<void*>(wrapper_am_send)},
    {0, nullptr},
};

PyType_Spec wrapper_spec = {
    nullptr,  // the name, given by make_coroutine_wrapper_type
    sizeof(WrapperObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    wrapper_slots,
};

}  // namespace

py::Ref make_coroutine_type(const char* type_name) {
    coroutine_spec.name = type_name;
    return py::Ref::steal(PyType_FromSpec(&coroutine_spec));
}
py::Ref make_coroutine_wrapper_type(const char* type_name) {
    wrapper_spec.name = type_name;
    return py::Ref::steal(PyType_FromSpec(&wrapper_spec));
}

py::Ref make_coroutine(CoroutineBody body, BoundArgs&& args, py::Borrowed name,
                       py::Borrowed qualname, ResultCheck result_check) {
    assert(PyUnicode_Check(name.get()) && PyUnicode_Check(qualname.get()));
    auto* type = reinterpret_cast<PyTypeObject*>(runtime().coroutine_type.get());
    py::Ref object = py::Ref::steal(type->tp_alloc(type, 0));
    CoroutineObject* c = as_coroutine(object.get());
    // Until the body exists the object is an already finished coroutine, so
    // that a failure below deallocates it quietly.
    c->handle = {};
    new (&c->args) BoundArgs(std::move(args));
    new (&c->name) py::Ref(name.ref());
    new (&c->qualname) py::Ref(qualname.ref());
    c->result_check = result_check;
    c->state = CoroutineState::Finished;
    c->weakrefs = nullptr;
    c->handle = run_steps(body, Args(c->args)).release();
    c->state = CoroutineState::Created;
    return object;
}

}  // namespace rt
