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
// asyncio.CancelledError and GeneratorExit, is rethrown at the `co_await` as a
// `PyError` and unwinds the C++ frames like any other C++ exception.
//
// References a suspended body holds.  The garbage collector must see every
// object a suspended coroutine keeps alive, or a reference cycle through it
// is never collected.  It sees the body's `Ref` parameters (the promise
// records them) and every local declared as a `Local` (an owning reference
// that links itself into the running coroutine's root list), a
// `LocalError` (a caught error kept for later) or a `LocalValue` (a C++
// value made of references, such as a vector of plans, whose type says how to
// visit them).  A plain `Ref` local, or a
// temporary of the full expression around a `co_await`, is invisible to it: a
// body keeps nothing in one across a `co_await` (`awaitPy(Ref&&)` empties the
// temporary it is given).
//
//     Coro work(Ref self) {
//         Local con = co_await awaitPy(callMethod(self.get(), "getCon"));
//         Local rows = co_await awaitPy(callMethod(con.get(), "fetchall"));
//         co_return rows.take();
//     }
//
// Errors in bodies.  A `PyError` caught in a body may be an Exception, or a
// BaseException that must pass through: GeneratorExit (the coroutine is being
// closed), asyncio.CancelledError (its task is being cancelled),
// KeyboardInterrupt, SystemExit.
//   - A catch that handles an error and goes on handles only Exceptions:
//         catch (PyError& e) { if (!e.isException()) throw; ...handle... }
//   - A catch that keeps an error to clean up with more awaits (roll back,
//     close) always rethrows what it kept, and its cleanup's own catch passes
//     every non-Exception through:
//         LocalError failure;
//         try { co_await awaitPy(step()); } catch (PyError& e) { failure = std::move(e); }
//         if (failure) {
//             try { co_await awaitPy(undo()); } catch (PyError& e) { if (!e.isException()) throw; }
//             failure.rethrow();
//         }
//     A cancelled task may still await its cleanup (asyncio allows it); a
//     coroutine being closed may not suspend at all, so while `close()` runs
//     every `co_await` fails at once with GeneratorExit, without starting
//     its awaitable, and the cleanup unwinds straight through.
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

// ---------------------------------------------------------------------------
// Rooted locals.
// ---------------------------------------------------------------------------

// A node of a coroutine's root list (circular, with the promise's node as
// its head); `visit` reports the references the node holds.
struct RootLink {
    RootLink* prev = this;
    RootLink* next = this;
    int (*visit)(const RootLink* self, visitproc visit, void* arg) = nullptr;

    RootLink() noexcept = default;
    RootLink(const RootLink&) = delete;
    RootLink& operator=(const RootLink&) = delete;
    ~RootLink() { unlink(); }

    // Joins the root list of the coroutine whose body is running on this
    // thread (none outside a body: then it stays on its own).
    inline void linkToRunning() noexcept;
    void unlink() noexcept {
        prev->next = next;
        next->prev = prev;
        prev = next = this;
    }
};

namespace coro_detail {
// The promise whose body is running on this thread (bodies nest when one
// drives another); a plain pointer, nothing to destroy at exit.
inline thread_local CoroPromise* runningPromise = nullptr;
}  // namespace coro_detail

// An owning reference that the garbage collector sees through the coroutine
// whose body declared it.  Outside a body it is a plain owning reference.
class Local : RootLink {
public:
    Local() noexcept { init(); }
    Local(Ref r) noexcept : value_(std::move(r)) { init(); }
    // Leaves the root list before the reference is released (the release
    // may run a collection, which must not visit it any more).
    ~Local() { unlink(); }
    Local& operator=(Ref r) noexcept {
        value_ = std::move(r);
        return *this;
    }

    PyObject* get() const noexcept { return value_.get(); }
    const Ref& ref() const noexcept { return value_; }
    // Hands the reference out (the local is empty afterwards).
    Ref take() noexcept { return std::move(value_); }
    PyObject* release() noexcept { return value_.release(); }
    PyObject* newRef() const noexcept { return value_.newRef(); }
    explicit operator bool() const noexcept { return static_cast<bool>(value_); }
    void reset() noexcept { value_.reset(); }
    template <class T> T* as() const noexcept { return value_.as<T>(); }

private:
    void init() noexcept {
        visit = [](const RootLink* self, visitproc visit, void* arg) -> int {
            Py_VISIT(static_cast<const Local*>(self)->value_.get());
            return 0;
        };
        linkToRunning();
    }

    Ref value_;
};

// A caught error that a body keeps across awaits (to clean up, then rethrow
// it), seen by the garbage collector like a `Local`.
class LocalError : RootLink {
public:
    LocalError() noexcept {
        visit = [](const RootLink* self, visitproc v, void* arg) -> int {
            const auto& e = static_cast<const LocalError*>(self)->error_;
            return e ? e->traverse(v, arg) : 0;
        };
        linkToRunning();
    }
    ~LocalError() { unlink(); }
    LocalError& operator=(PyError&& e) noexcept {
        error_.emplace(std::move(e));
        return *this;
    }
    explicit operator bool() const noexcept { return error_.has_value(); }
    const PyError& operator*() const noexcept { return *error_; }
    const PyError* operator->() const noexcept { return &*error_; }
    void reset() noexcept { error_.reset(); }
    [[noreturn]] void rethrow() {
        PyError e = std::move(*error_);
        error_.reset();
        throw e;
    }

private:
    std::optional<PyError> error_;
};

// The references of a vector of values, for `LocalValue`.
template <class T>
int traverseValue(const std::vector<T>& values, visitproc visit, void* arg) {
    for (const T& v : values)
        if (int r = traverseValue(v, visit, arg)) return r;
    return 0;
}

// A C++ value that holds references (a struct of Refs, a vector of such
// structs) and that a body keeps across awaits, seen by the garbage
// collector like a `Local`: its type provides `traverseValue(value, visit, arg)`.
template <class T>
class LocalValue : RootLink {
public:
    explicit LocalValue(T value) : value_(std::move(value)) {
        visit = [](const RootLink* self, visitproc v, void* arg) -> int {
            return traverseValue(static_cast<const LocalValue*>(self)->value_, v, arg);
        };
        linkToRunning();
    }
    ~LocalValue() { unlink(); }
    T& operator*() noexcept { return value_; }
    T* operator->() noexcept { return &value_; }

private:
    T value_;
};

// ---------------------------------------------------------------------------
// The promise.
// ---------------------------------------------------------------------------

struct CoroPromise {
    Ref delegate;                        // the Python iterator the body awaits
    Ref resumeValue;                     // what that iterator returned
    std::optional<PyError> resumeError;  // or the error it raised
    Ref result;                          // the body's co_return value
    std::optional<PyError> error;        // or the error that ended the body
    std::vector<Ref*> params;            // parameter copies, for GC traverse
    RootLink locals;                     // head of the rooted locals
    bool closing = false;                // close() runs: the body may not suspend

    CoroPromise() = default;
    // The promise sees the frame's parameter copies; remember the references
    // among them so the garbage collector can see what a suspended body holds.
    template <class... Args>
    explicit CoroPromise(Args&... args) {
        (remember(args), ...);
    }
    template <class T>
    void remember(T&) {}
    void remember(Ref& r) { params.push_back(&r); }

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

    // Every reference the frame holds, for the coroutine object's traverse.
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(delegate.get());
        Py_VISIT(resumeValue.get());
        Py_VISIT(result.get());
        if (resumeError)
            if (int r = resumeError->traverse(visit, arg)) return r;
        if (error)
            if (int r = error->traverse(visit, arg)) return r;
        for (Ref* p : params) Py_VISIT(p->get());
        for (const RootLink* l = locals.next; l != &locals; l = l->next)
            if (int r = l->visit(l, visit, arg)) return r;
        return 0;
    }
};

inline void RootLink::linkToRunning() noexcept {
    CoroPromise* p = coro_detail::runningPromise;
    if (!p) return;
    prev = &p->locals;
    next = p->locals.next;
    next->prev = this;
    p->locals.next = this;
}

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
inline PyAwaiter awaitPy(const Local& obj) { return awaitPy(obj.get()); }
// The usual `co_await awaitPy(callMethod(...))`: the awaitable is released
// once its iterator is taken, as Python's `await` does.  A temporary of the
// co_await expression lives in the frame across the suspension, where the
// garbage collector cannot see it; it must not keep the awaitable.
inline PyAwaiter awaitPy(Ref&& obj) {
    Ref awaitable = std::move(obj);
    return PyAwaiter{awaitIterator(awaitable.get())};
}

// Wraps a C++ coroutine in a Python coroutine object; `qualname` names it in
// reprs (asyncio prints it in task reprs).  The coroutine type is created by
// `initCoroutines(module)` in every module that uses it.
Ref toPython(Coro coro, const char* qualname);
void initCoroutines(PyObject* module);

// ---------------------------------------------------------------------------
// The Python coroutine object.
//
// The driver has three entries, as a generator does: send (start the body or
// pass a value to the awaited iterator), throw (pass an exception to the
// awaited iterator, or close it for GeneratorExit) and close.  Each of them
// ends in `advance`, which resumes the body and starts every new iterator it
// awaits until one of them yields (the coroutine yields that value) or the
// body ends (the coroutine returns or raises).
// ---------------------------------------------------------------------------

namespace coro_detail {

struct CoroutineObject {
    PyObject_HEAD
    CoroHandle handle;
    const char* qualname;
    bool started;
    bool running;  // inside send/throw/close: the body or its awaited iterator runs
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

// Marks the coroutine as executing for the length of one driver entry: a
// re-entrant send/throw/close is refused and GC clear leaves the frame alone.
struct Executing {
    CoroutineObject* self;
    explicit Executing(CoroutineObject* s) noexcept : self(s) { self->running = true; }
    ~Executing() { self->running = false; }
};

// Runs the C++ body until it awaits a new Python iterator (left in
// `delegate`) or ends.  Locals it declares join its root list.
inline void resumeBody(CoroutineObject* self) {
    CoroPromise* outer = runningPromise;
    runningPromise = &promiseOf(self);
    self->handle.resume();
    runningPromise = outer;
}

// The awaited iterator has ended: its error (pending) or its value becomes
// what the body's `co_await` gives.  The error is taken before the iterator
// is released, whose release may run code.
inline void delegateEnded(CoroPromise& p, PySendResult r, PyObject* value) {
    if (r == PYGEN_RETURN)
        p.resumeValue = Ref::stealOrNull(value);
    else
        p.resumeError.emplace();
    p.delegate.reset();
}

// Closes an awaitable (its `close()`, when it has one); false with the error
// set when closing it failed.
inline bool closeAwaitable(PyObject* it) {
    Ref closer = Ref::stealOrNull(PyObject_GetAttrString(it, "close"));
    if (!closer) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    Ref done = Ref::stealOrNull(PyObject_CallNoArgs(closer.get()));
    return static_cast<bool>(done);
}

// The value of the pending StopIteration (a new reference), or null with an
// error set.
inline PyObject* takeStopIterationValue() {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    Ref type = Ref::stealOrNull(t), exc = Ref::stealOrNull(v), trace = Ref::stealOrNull(tb);
    if (!exc) return Py_NewRef(Py_None);
    return PyObject_GetAttrString(exc.get(), "value");
}

// The body has ended: its result or its error leaves the coroutine, after
// the frame (and every reference it held) is gone.
inline PySendResult finishBody(CoroutineObject* self, PyObject** out) {
    CoroPromise& p = promiseOf(self);
    std::optional<PyError> error = std::move(p.error);
    Ref result = std::move(p.result);
    destroyFrame(self);
    if (error) {
        error->restore();
        return PYGEN_ERROR;
    }
    *out = result ? result.release() : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

// Resumes the body and starts each iterator it awaits until one yields or
// the body ends.
inline PySendResult advance(CoroutineObject* self, PyObject** out) {
    CoroPromise& p = promiseOf(self);
    for (;;) {
        resumeBody(self);
        if (self->handle.done()) return finishBody(self, out);
        if (p.closing) {
            // A coroutine being closed may not suspend: the await fails at
            // once with GeneratorExit and its awaitable never runs.
            Ref refused = std::move(p.delegate);
            if (closeAwaitable(refused.get())) PyErr_SetNone(PyExc_GeneratorExit);
            p.resumeError.emplace();
            continue;
        }
        PyObject* value = nullptr;
        PySendResult r = PyIter_Send(p.delegate.get(), Py_None, &value);
        if (r == PYGEN_NEXT) {
            *out = value;
            return PYGEN_NEXT;
        }
        delegateEnded(p, r, value);
    }
}

// A coroutine that can be driven now, or the error to raise.
inline bool drivable(CoroutineObject* self) {
    if (self->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return false;
    }
    return true;
}

inline PySendResult sendValue(CoroutineObject* self, PyObject* arg, PyObject** out) {
    if (!drivable(self)) return PYGEN_ERROR;
    if (self->finished) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    Executing executing(self);
    CoroPromise& p = promiseOf(self);
    if (!self->started) {
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        self->started = true;
        return advance(self, out);
    }
    if (!p.delegate) {
        PyErr_SetString(PyExc_SystemError, "native coroutine suspended without an awaitable");
        return PYGEN_ERROR;
    }
    PyObject* value = nullptr;
    PySendResult r = PyIter_Send(p.delegate.get(), arg, &value);
    if (r == PYGEN_NEXT) {
        *out = value;
        return PYGEN_NEXT;
    }
    delegateEnded(p, r, value);
    return advance(self, out);
}

// Passes `exc` (an exception instance) to the awaited iterator as `yield
// from` does: GeneratorExit closes it and is raised in the body; any other
// exception goes to its `throw()` (or straight to the body without one).
inline PySendResult throwToDelegate(CoroPromise& p, PyObject* exc, PyObject** out) {
    if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
        Ref closing = std::move(p.delegate);
        if (closeAwaitable(closing.get())) PyErr_SetObject((PyObject*)Py_TYPE(exc), exc);
        p.resumeError.emplace();
        return PYGEN_ERROR;
    }
    Ref thrower = Ref::stealOrNull(PyObject_GetAttrString(p.delegate.get(), "throw"));
    if (!thrower) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_SetObject((PyObject*)Py_TYPE(exc), exc);
        }
        delegateEnded(p, PYGEN_ERROR, nullptr);
        return PYGEN_ERROR;
    }
    PyObject* value = PyObject_CallOneArg(thrower.get(), exc);
    if (value) {
        *out = value;
        return PYGEN_NEXT;
    }
    PySendResult r = PYGEN_ERROR;
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        value = takeStopIterationValue();
        if (value) r = PYGEN_RETURN;
    }
    delegateEnded(p, r, value);
    return r;
}

inline PySendResult throwValue(CoroutineObject* self, PyObject* exc, PyObject** out) {
    if (!drivable(self)) return PYGEN_ERROR;
    if (self->finished || !self->started) {
        // Thrown into a coroutine that has ended or never ran: it ends at once.
        destroyFrame(self);
        PyErr_SetObject((PyObject*)Py_TYPE(exc), exc);
        return PYGEN_ERROR;
    }
    Executing executing(self);
    CoroPromise& p = promiseOf(self);
    if (!p.delegate) {
        PyErr_SetString(PyExc_SystemError, "native coroutine suspended without an awaitable");
        return PYGEN_ERROR;
    }
    PyObject* value = nullptr;
    if (throwToDelegate(p, exc, &value) == PYGEN_NEXT) {
        *out = value;
        return PYGEN_NEXT;
    }
    return advance(self, out);
}

// close(): GeneratorExit at the body's current await; the body may clean up
// without suspending and ends.  Returns a new reference to None, or null.
inline PyObject* closeCoroutine(CoroutineObject* self) {
    if (self->finished || !self->started) {
        destroyFrame(self);
        Py_RETURN_NONE;
    }
    if (!drivable(self)) return nullptr;
    Ref exit = Ref::stealOrNull(PyObject_CallNoArgs(PyExc_GeneratorExit));
    if (!exit) return nullptr;
    promiseOf(self).closing = true;
    PyObject* res = nullptr;
    // Cannot yield: the awaited iterator is closed, not thrown into, and the
    // body cannot suspend again.
    PySendResult r = throwValue(self, exit.get(), &res);
    if (r != PYGEN_ERROR) {
        Py_XDECREF(res);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
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
    return sendValue((CoroutineObject*)self, arg, result);
}

inline PyObject* iternext(PyObject* self) {
    PyObject* res = nullptr;
    PySendResult r = sendValue((CoroutineObject*)self, Py_None, &res);
    if (r == PYGEN_RETURN && res == Py_None) {
        Py_DECREF(res);
        return nullptr;  // plain exhaustion
    }
    return finishAsStopIteration(r, res);
}

inline PyObject* send(PyObject* self, PyObject* arg) {
    PyObject* res = nullptr;
    // Two statements: `res` must be read after sendValue() has filled it.
    PySendResult r = sendValue((CoroutineObject*)self, arg, &res);
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
    PySendResult r = throwValue((CoroutineObject*)self, instance.get(), &res);
    return finishAsStopIteration(r, res);
}

inline PyObject* close(PyObject* self, PyObject*) { return closeCoroutine((CoroutineObject*)self); }

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
        PyObject* r = closeCoroutine(self);
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
    if (self->handle) return promiseOf(self).traverse(visit, arg);
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
