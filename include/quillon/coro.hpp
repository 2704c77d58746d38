// C++20 coroutines that Python sees as real coroutines.
//
// A native awaitable operation is written as a C++ coroutine returning
// `Coro`; `toPython(Coro)` wraps it in a Python object that implements the
// coroutine protocol (`__await__`, `send`, `throw`, `close`, `am_send`), so
// asyncio's tasks, `gather`, `wait_for` and `run_until_complete` drive it like
// any `async def`.  Inside the C++ body, `co_await awaitPy(obj)` delegates to
// a Python awaitable exactly as `yield from` does: whatever the awaited
// iterator yields (asyncio futures) passes through unchanged to the driver,
// values sent and exceptions thrown by the driver go to the iterator, and its
// result resumes the C++ coroutine.  An exception raised there, including
// asyncio.CancelledError, is rethrown at the `co_await` as a `PyError` and
// unwinds the C++ frames like any other C++ exception.
//
// Object references held in the coroutine's parameters are visible to the
// garbage collector through the wrapping object's traverse; locals created in
// the body are not, so bodies keep long-lived state in parameters.
#pragma once

#include "native.hpp"

#include <coroutine>
#include <optional>
#include <vector>

namespace quillon {

struct CoroPromise;
using CoroHandle = std::coroutine_handle<CoroPromise>;

struct Coro {
    using promise_type = CoroPromise;
    CoroHandle handle;
    explicit Coro(CoroHandle h) noexcept : handle(h) {}
    Coro(Coro&& o) noexcept : handle(o.handle) { o.handle = nullptr; }
    Coro(const Coro&) = delete;
    ~Coro();
};

struct CoroPromise {
    Ref delegate;                       // the Python iterator the body awaits
    Ref resumeValue;                    // what that iterator returned
    std::optional<PyError> resumeError; // or the error it raised
    Ref result;                         // the body's co_return value
    std::optional<PyError> error;       // or the error that ended the body
    std::vector<Ref*> roots;            // parameter copies, for GC traverse

    CoroPromise() = default;
    // The promise sees the frame's parameter copies; remember the references
    // among them so the garbage collector can see what a suspended body holds.
    template <class... Args>
    explicit CoroPromise(Args&... args) {
        (remember(args), ...);
    }
    template <class T>
    void remember(T&) {}
    void remember(Ref& r) { roots.push_back(&r); }

    Coro get_return_object() noexcept { return Coro(CoroHandle::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(Ref v) noexcept { result = std::move(v); }
    void unhandled_exception() noexcept {
        try {
            throw;
        } catch (PyError& e) {
            error.emplace(std::move(e));
        } catch (std::bad_alloc&) {
            PyErr_NoMemory();
            error.emplace();
        } catch (std::exception& e) {
            PyErr_SetString(PyExc_SystemError, e.what());
            error.emplace();
        } catch (...) {
            PyErr_SetString(PyExc_SystemError, "unknown native exception");
            error.emplace();
        }
    }
};

inline Coro::~Coro() {
    if (handle) handle.destroy();
}

// The iterator that `await obj` would delegate to.
inline Ref awaitIterator(PyObject* obj) {
    if (PyCoro_CheckExact(obj)) return Ref::borrow(obj);
    PyTypeObject* t = Py_TYPE(obj);
    if (t->tp_as_async && t->tp_as_async->am_await) {
        Ref it = Ref::steal(t->tp_as_async->am_await(obj));
        if (PyCoro_CheckExact(it.get()) || !PyIter_Check(it.get()))
            raise(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", typeName(it.get()));
        return it;
    }
    raise(PyExc_TypeError, "object %.100s can't be used in 'await' expression", typeName(obj));
}

struct PyAwaiter {
    Ref iter;
    CoroPromise* promise = nullptr;
    bool await_ready() const noexcept { return false; }
    void await_suspend(CoroHandle h) noexcept {
        promise = &h.promise();
        promise->delegate = std::move(iter);
    }
    Ref await_resume() {
        if (promise->resumeError) {
            PyError e = std::move(*promise->resumeError);
            promise->resumeError.reset();
            throw e;
        }
        return std::move(promise->resumeValue);
    }
};

// `co_await awaitPy(obj)`: delegate to a Python awaitable, `yield from` style.
inline PyAwaiter awaitPy(PyObject* obj) { return PyAwaiter{awaitIterator(obj)}; }
inline PyAwaiter awaitPy(const Ref& obj) { return awaitPy(obj.get()); }

// Wraps a C++ coroutine in a Python coroutine object; `qualname` names it in
// reprs (asyncio prints it in task reprs).  The coroutine type is created by
// `initCoroutines(module)` in every module that uses it.
Ref toPython(Coro coro, const char* qualname);
void initCoroutines(PyObject* module);

// ---------------------------------------------------------------------------
// The Python coroutine object.
// ---------------------------------------------------------------------------

namespace coro_detail {

struct CoroutineObject {
    PyObject_HEAD
    CoroHandle handle;
    const char* qualname;
    bool started;
    bool running;
    bool finished;
};

inline PyTypeObject* coroutineType = nullptr;

inline CoroPromise& promiseOf(CoroutineObject* self) { return self->handle.promise(); }

inline void destroyFrame(CoroutineObject* self) {
    if (self->handle) {
        CoroHandle h = self->handle;
        self->handle = nullptr;
        h.destroy();
    }
    self->finished = true;
}

// Resumes the C++ body until it either awaits a new Python iterator (left
// in `delegate`) or ends.
inline void resumeBody(CoroutineObject* self) {
    self->running = true;
    self->handle.resume();
    self->running = false;
}

// Runs the coroutine from its current state; `arg` is the value to send, or
// with `throwing` the exception (normalized instance) to throw.
inline PySendResult drive(CoroutineObject* self, PyObject* arg, bool throwing, PyObject** out) {
    if (self->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    if (self->finished) {
        if (throwing) {
            PyErr_SetObject((PyObject*)Py_TYPE(arg), arg);
            return PYGEN_ERROR;
        }
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    CoroPromise& p = promiseOf(self);
    if (!self->started) {
        if (throwing) {
            // Thrown into a coroutine that never ran: it ends at once.
            destroyFrame(self);
            PyErr_SetObject((PyObject*)Py_TYPE(arg), arg);
            return PYGEN_ERROR;
        }
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        self->started = true;
        resumeBody(self);
    } else if (p.delegate) {
        PyObject* res = nullptr;
        PySendResult r;
        if (!throwing) {
            r = PyIter_Send(p.delegate.get(), arg, &res);
        } else if (PyErr_GivenExceptionMatches(arg, PyExc_GeneratorExit)) {
            // Like `yield from`: close the delegate, then raise in the body.
            Ref closer = Ref::stealOrNull(PyObject_GetAttrString(p.delegate.get(), "close"));
            if (!closer) PyErr_Clear();
            Ref closed = closer ? Ref::stealOrNull(PyObject_CallNoArgs(closer.get())) : Ref::none();
            p.delegate.reset();
            if (!closed) {
                p.resumeError.emplace();
            } else {
                PyErr_SetObject((PyObject*)Py_TYPE(arg), arg);
                p.resumeError.emplace();
            }
            r = PYGEN_ERROR;
        } else {
            Ref thrower = Ref::stealOrNull(PyObject_GetAttrString(p.delegate.get(), "throw"));
            if (!thrower) {
                PyErr_Clear();
                PyErr_SetObject((PyObject*)Py_TYPE(arg), arg);
                r = PYGEN_ERROR;
            } else {
                res = PyObject_CallOneArg(thrower.get(), arg);
                if (res) {
                    r = PYGEN_NEXT;
                } else if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                    PyObject *t, *v, *tb;
                    PyErr_Fetch(&t, &v, &tb);
                    PyErr_NormalizeException(&t, &v, &tb);
                    res = v ? PyObject_GetAttrString(v, "value") : Py_NewRef(Py_None);
                    Py_XDECREF(t);
                    Py_XDECREF(v);
                    Py_XDECREF(tb);
                    if (!res) return PYGEN_ERROR;
                    r = PYGEN_RETURN;
                } else {
                    r = PYGEN_ERROR;
                }
            }
        }
        if (r == PYGEN_NEXT) {
            *out = res;
            return PYGEN_NEXT;
        }
        p.delegate.reset();
        if (r == PYGEN_RETURN) {
            p.resumeValue = Ref::stealOrNull(res);
        } else if (!p.resumeError) {
            p.resumeError.emplace();
        }
        resumeBody(self);
    } else {
        PyErr_SetString(PyExc_SystemError, "native coroutine suspended without an awaitable");
        return PYGEN_ERROR;
    }

    // The body either awaits a new iterator (start it) or has ended.
    for (;;) {
        if (self->handle.done()) {
            PySendResult r;
            if (p.error) {
                p.error->restore();
                p.error.reset();
                r = PYGEN_ERROR;
            } else {
                *out = p.result ? p.result.release() : Py_NewRef(Py_None);
                r = PYGEN_RETURN;
            }
            destroyFrame(self);
            return r;
        }
        PyObject* res = nullptr;
        PySendResult r = PyIter_Send(p.delegate.get(), Py_None, &res);
        if (r == PYGEN_NEXT) {
            *out = res;
            return PYGEN_NEXT;
        }
        p.delegate.reset();
        if (r == PYGEN_RETURN)
            p.resumeValue = Ref::stealOrNull(res);
        else
            p.resumeError.emplace();
        resumeBody(self);
    }
}

inline PyObject* finishAsStopIteration(PySendResult r, PyObject* res) {
    if (r == PYGEN_NEXT) return res;
    if (r == PYGEN_RETURN) {
        if (res == Py_None) {
            Py_DECREF(res);
            PyErr_SetNone(PyExc_StopIteration);
        } else {
            PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, res);
            Py_DECREF(res);
            if (exc) {
                PyErr_SetObject(PyExc_StopIteration, exc);
                Py_DECREF(exc);
            }
        }
    }
    return nullptr;
}

inline PySendResult amSend(PyObject* self, PyObject* arg, PyObject** result) {
    return drive((CoroutineObject*)self, arg, false, result);
}

inline PyObject* iternext(PyObject* self) {
    PyObject* res = nullptr;
    PySendResult r = drive((CoroutineObject*)self, Py_None, false, &res);
    if (r == PYGEN_RETURN && res == Py_None) {
        Py_DECREF(res);
        return nullptr;  // plain exhaustion
    }
    return finishAsStopIteration(r, res);
}

inline PyObject* send(PyObject* self, PyObject* arg) {
    PyObject* res = nullptr;
    // Two statements: `res` must be read after drive() has filled it.
    PySendResult r = drive((CoroutineObject*)self, arg, false, &res);
    return finishAsStopIteration(r, res);
}

// throw(exc) or the older throw(type[, value[, traceback]]).
inline PyObject* throwMethod(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "throw expected 1 to 3 arguments");
        return nullptr;
    }
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    Ref instance;
    if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        instance = Ref::borrow(typ);
    } else if (PyExceptionClass_Check(typ)) {
        PyObject* t = Py_NewRef(typ);
        PyObject* v = Py_NewRef(val);
        PyObject* tr = nullptr;
        PyErr_NormalizeException(&t, &v, &tr);
        Py_DECREF(t);
        Py_XDECREF(tr);
        if (!v) return nullptr;
        instance = Ref::stealOrNull(v);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     typeName(typ));
        return nullptr;
    }
    if (tb != Py_None && PyTraceBack_Check(tb)) PyException_SetTraceback(instance.get(), tb);
    PyObject* res = nullptr;
    PySendResult r = drive((CoroutineObject*)self, instance.get(), true, &res);
    return finishAsStopIteration(r, res);
}

inline PyObject* close(PyObject* selfObj, PyObject*) {
    auto* self = (CoroutineObject*)selfObj;
    if (self->finished || !self->started) {
        destroyFrame(self);
        Py_RETURN_NONE;
    }
    Ref exit = Ref::stealOrNull(PyObject_CallNoArgs(PyExc_GeneratorExit));
    if (!exit) return nullptr;
    PyObject* res = nullptr;
    PySendResult r = drive(self, exit.get(), true, &res);
    if (r == PYGEN_NEXT) {
        Py_DECREF(res);
        destroyFrame(self);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (r == PYGEN_RETURN) {
        Py_DECREF(res);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

inline PyObject* await(PyObject* self) { return Py_NewRef(self); }

inline void finalize(PyObject* selfObj) {
    auto* self = (CoroutineObject*)selfObj;
    if (self->finished || !self->handle) return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    if (!self->started) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%s' was never awaited", self->qualname) < 0)
            PyErr_WriteUnraisable(selfObj);
        destroyFrame(self);
    } else {
        PyObject* r = close(selfObj, nullptr);
        if (!r)
            PyErr_WriteUnraisable(selfObj);
        else
            Py_DECREF(r);
    }
    PyErr_Restore(t, v, tb);
}

inline int traverse(PyObject* selfObj, visitproc visit, void* arg) {
    auto* self = (CoroutineObject*)selfObj;
    Py_VISIT(Py_TYPE(selfObj));
    if (self->handle) {
        CoroPromise& p = promiseOf(self);
        Py_VISIT(p.delegate.get());
        Py_VISIT(p.resumeValue.get());
        Py_VISIT(p.result.get());
        for (Ref* r : p.roots) Py_VISIT(r->get());
    }
    return 0;
}

inline int clear(PyObject* selfObj) {
    auto* self = (CoroutineObject*)selfObj;
    if (!self->running) destroyFrame(self);
    return 0;
}

inline void dealloc(PyObject* selfObj) {
    if (PyObject_CallFinalizerFromDealloc(selfObj) < 0) return;  // resurrected
    PyTypeObject* tp = Py_TYPE(selfObj);
    PyObject_GC_UnTrack(selfObj);
    destroyFrame((CoroutineObject*)selfObj);
    tp->tp_free(selfObj);
    Py_DECREF(tp);
}

inline PyObject* getName(PyObject* self, void*) { return PyUnicode_FromString(((CoroutineObject*)self)->qualname); }
inline PyObject* getRunning(PyObject* self, void*) { return PyBool_FromLong(((CoroutineObject*)self)->running); }
inline PyObject* getAwait(PyObject* selfObj, void*) {
    auto* self = (CoroutineObject*)selfObj;
    if (self->handle && promiseOf(self).delegate) return promiseOf(self).delegate.newRef();
    Py_RETURN_NONE;
}

inline PyMethodDef methods[] = {
    {"send", (PyCFunction)send, METH_O, "send(value) -> the next value the coroutine yields"},
    {"throw", (PyCFunction)(void (*)(void))throwMethod, METH_FASTCALL, "throw(exc) -> raise exc inside the coroutine"},
    {"close", (PyCFunction)close, METH_NOARGS, "close() -> raise GeneratorExit inside the coroutine"},
    {nullptr, nullptr, 0, nullptr},
};
inline PyGetSetDef getset[] = {
    {"__name__", getName, nullptr, nullptr, nullptr},
    {"__qualname__", getName, nullptr, nullptr, nullptr},
    {"cr_running", getRunning, nullptr, nullptr, nullptr},
    {"cr_await", getAwait, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace coro_detail

inline void initCoroutines(PyObject* module) {
    using namespace coro_detail;
    static PyType_Slot slots[] = {
        {Py_am_await, (void*)await},
        {Py_am_send, (void*)amSend},
        {Py_tp_iternext, (void*)iternext},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_tp_traverse, (void*)traverse},
        {Py_tp_clear, (void*)clear},
        {Py_tp_finalize, (void*)finalize},
        {Py_tp_dealloc, (void*)dealloc},
        {0, nullptr},
    };
    Ref moduleName = getattr(module, "__name__");
    // The type keeps a pointer to its spec's name: the text lives for the
    // process (a static string would be destroyed at exit while the type
    // may still be named).
    static const char* name = (new std::string(std::string(utf8(moduleName.get())) + ".coroutine"))->c_str();
    static PyType_Spec spec = {name, sizeof(CoroutineObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                                   Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               slots};
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
    coroutineType = (PyTypeObject*)type.release();  // kept for the life of the process
}

inline Ref toPython(Coro coro, const char* qualname) {
    using namespace coro_detail;
    auto* obj = PyObject_GC_New(CoroutineObject, coroutineType);
    if (!obj) throwPending();
    obj->handle = coro.handle;
    coro.handle = nullptr;
    obj->qualname = qualname;
    obj->started = false;
    obj->running = false;
    obj->finished = false;
    PyObject_GC_Track((PyObject*)obj);
    return Ref::stealOrNull((PyObject*)obj);
}

}  // namespace quillon
