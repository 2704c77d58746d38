// Owning references and the one error rule of the native code.
//
// Inside C++ a failed C-API call becomes a `PyError` exception that carries
// the fetched Python exception; every function that CPython (or another
// module through a native table) calls catches at its boundary with
// `boundary(...)` and restores the Python error.  No C++ exception ever
// crosses a CPython frame or a module boundary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace quillon {

// ---------------------------------------------------------------------------
// Ref: a move-only owning reference.
// ---------------------------------------------------------------------------

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
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

    // Takes over a new reference; a null pointer means a pending error.
    static inline Ref steal(PyObject* p);
    // Takes over a new reference that may legitimately be null (no error).
    static Ref stealOrNull(PyObject* p) noexcept { Ref r; r.ptr_ = p; return r; }
    // Adds a reference to a borrowed pointer (which may be null).
    static Ref borrow(PyObject* p) noexcept { Py_XINCREF(p); Ref r; r.ptr_ = p; return r; }
    static Ref none() noexcept { return borrow(Py_None); }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { PyObject* p = ptr_; ptr_ = nullptr; return p; }
    // A new reference for handing out (the Ref keeps its own).
    PyObject* newRef() const noexcept { Py_XINCREF(ptr_); return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    void reset() noexcept { Py_CLEAR(ptr_); }

    template <class T> T* as() const noexcept { return reinterpret_cast<T*>(ptr_); }

private:
    PyObject* ptr_ = nullptr;
};

// ---------------------------------------------------------------------------
// Borrowed: a pointer that something else owns.
//
// An object read from a field, a list, a tuple or a dict without taking a
// reference stays valid only until Python code next runs: a conversion, a
// comparison, `__bool__`, `__hash__`, `__repr__` or an overridden operation
// may drop its last owner (or empty the list it was read from).  Such reads
// have a type of their own, so that each line shows which pointers are owned:
// a Borrowed converts to nothing implicitly (`get()` for a use before any
// call, `ref()` for a reference that is held across calls), cannot be
// re-pointed, and cannot be made from a Ref or put on the heap.  A function
// that hands out a borrowed pointer returns one.
// ---------------------------------------------------------------------------

class Ref;

class Borrowed {
public:
    explicit Borrowed(PyObject* p) noexcept : ptr_(p) {}
    Borrowed(const Borrowed&) noexcept = default;
    Borrowed& operator=(const Borrowed&) = delete;
    Borrowed(const Ref&) = delete;
    Borrowed(Ref&&) = delete;
    static void* operator new(size_t) = delete;
    static void* operator new[](size_t) = delete;

    PyObject* get() const noexcept { return ptr_; }
    // A reference of its own, for a use after Python code has run.
    inline Ref ref() const noexcept;
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    template <class T> T* as() const noexcept { return reinterpret_cast<T*>(ptr_); }

private:
    PyObject* ptr_;
};

// ---------------------------------------------------------------------------
// Leaked: a reference kept for the life of the process.
//
// Interned names, constants and imported objects that a module keeps for as
// long as the process runs are deliberately never released: a C++ static or
// global with a destructor would release them after the interpreter has
// finalized, which crashes at exit.  This is the one idiom for such objects.
// ---------------------------------------------------------------------------

class Leaked {
public:
    constexpr Leaked() noexcept = default;
    Leaked(Ref r) noexcept : ptr_(r.release()) {}
    Leaked(const Leaked&) = delete;
    Leaked& operator=(const Leaked&) = delete;
    // Replacing a value (a module executed again) releases the old one while
    // the interpreter is still alive.
    Leaked& operator=(Ref r) noexcept {
        PyObject* old = ptr_;
        ptr_ = r.release();
        Py_XDECREF(old);
        return *this;
    }
    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

// ---------------------------------------------------------------------------
// PyError: a Python exception in flight through C++ frames.
// ---------------------------------------------------------------------------

class PyError : public std::exception {
public:
    // Captures the currently pending Python error (there must be one).
    PyError() noexcept {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        if (!t) {
            t = Py_NewRef(PyExc_SystemError);
            v = PyUnicode_FromString("native error without a Python exception");
        }
        type_ = Ref::stealOrNull(t);
        value_ = Ref::stealOrNull(v);
        tb_ = Ref::stealOrNull(tb);
    }
    PyError(PyError&&) noexcept = default;
    PyError& operator=(PyError&&) noexcept = default;

    // Puts the error back as the pending Python error.
    void restore() noexcept { PyErr_Restore(type_.release(), value_.release(), tb_.release()); }
    bool matches(PyObject* exc) const noexcept {
        return type_ && PyErr_GivenExceptionMatches(type_.get(), exc);
    }
    // True for an Exception; false for the other BaseExceptions
    // (GeneratorExit, asyncio.CancelledError, KeyboardInterrupt, SystemExit),
    // which no catch clause may swallow.
    bool isException() const noexcept { return matches(PyExc_Exception); }
    // GC support for holders of an error (a suspended coroutine's frame).
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(type_.get());
        Py_VISIT(value_.get());
        Py_VISIT(tb_.get());
        return 0;
    }
    const char* what() const noexcept override { return "Python exception"; }

private:
    Ref type_, value_, tb_;
};

[[noreturn]] inline void throwPending() { throw PyError(); }

inline Ref Ref::steal(PyObject* p) {
    if (!p) throwPending();
    Ref r;
    r.ptr_ = p;
    return r;
}

inline Ref Borrowed::ref() const noexcept { return Ref::borrow(ptr_); }

// Checks an int-returning C-API result (-1 is failure).
inline int check(int rc) {
    if (rc == -1 && PyErr_Occurred()) throwPending();
    return rc;
}
inline Py_ssize_t checkSize(Py_ssize_t n) {
    if (n == -1 && PyErr_Occurred()) throwPending();
    return n;
}
inline void checkError() {
    if (PyErr_Occurred()) throwPending();
}

template <class... A>
[[noreturn]] inline void raise(PyObject* type, const char* fmt, A... args) {
    PyErr_Format(type, fmt, args...);
    throwPending();
}

// Runs `body` as the boundary of an entry point: a C++ exception becomes the
// pending Python error and the function's error value is returned.
template <class R, class F>
inline R boundary(R errorValue, F&& body) noexcept {
    try {
        return body();
    } catch (PyError& e) {
        e.restore();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown native exception");
    }
    return errorValue;
}
// The usual case: an entry point returning a new reference (null on error).
template <class F>
inline PyObject* entry(F&& body) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* { return body().release(); });
}

// ---------------------------------------------------------------------------
// Reads that borrow.  Each is valid until Python code next runs; a loop over
// a list that runs Python code re-reads the size and holds each item it
// calls out with, as the interpreter's own list loops do.
// ---------------------------------------------------------------------------

inline Borrowed listItem(PyObject* list, Py_ssize_t i) noexcept { return Borrowed(PyList_GET_ITEM(list, i)); }
inline Borrowed tupleItem(PyObject* tuple, Py_ssize_t i) noexcept { return Borrowed(PyTuple_GET_ITEM(tuple, i)); }
// An item of the result of PySequence_Fast (a list or a tuple).
inline Borrowed fastItem(PyObject* seq, Py_ssize_t i) noexcept { return Borrowed(PySequence_Fast_GET_ITEM(seq, i)); }
// The value of `key` in a dict, or a null Borrowed when it has none.  The
// lookup itself may run Python code (a key of the dict whose hash collides
// compares itself with `key`).
inline Borrowed dictItem(PyObject* dict, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (!v && PyErr_Occurred()) throwPending();
    return Borrowed(v);
}

// The items of a sequence in a form that Python code run while they are
// walked can neither change nor free: a tuple as it is, a list copied into a
// tuple, anything else listed once into a list that nobody else sees.  Read
// it with PySequence_Fast_GET_SIZE and fastItem.
inline Ref stableItems(PyObject* seq, const char* message) {
    if (PyTuple_Check(seq)) return Ref::borrow(seq);
    if (PyList_Check(seq)) return Ref::steal(PyList_AsTuple(seq));
    return Ref::steal(PySequence_Fast(seq, message));
}

// ---------------------------------------------------------------------------
// Small helpers over the C API that throw instead of returning null.
// ---------------------------------------------------------------------------

inline Ref str(const char* s) { return Ref::steal(PyUnicode_FromString(s)); }
inline Ref str(std::string_view s) {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), (Py_ssize_t)s.size()));
}
inline Ref interned(const char* s) { return Ref::steal(PyUnicode_InternFromString(s)); }
inline Ref integer(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

inline Ref getattr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }
inline Ref getattr(PyObject* o, const char* name) { return Ref::steal(PyObject_GetAttrString(o, name)); }
inline void setattr(PyObject* o, const char* name, PyObject* v) { check(PyObject_SetAttrString(o, name, v)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* v) { check(PyObject_SetAttr(o, name, v)); }
inline Ref importModule(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }
inline Ref importFrom(const char* module, const char* name) { return getattr(importModule(module).get(), name); }

inline Ref call(PyObject* f) { return Ref::steal(PyObject_CallNoArgs(f)); }
template <class... A>
inline Ref call(PyObject* f, A... args) {
    PyObject* argv[] = {args...};
    return Ref::steal(PyObject_Vectorcall(f, argv, sizeof...(A), nullptr));
}
template <class... A>
inline Ref callMethod(PyObject* o, PyObject* name, A... args) {
    PyObject* argv[] = {o, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
template <class... A>
inline Ref callMethod(PyObject* o, const char* name, A... args) {
    Ref n = interned(name);
    return callMethod(o, n.get(), args...);
}

inline bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }
inline bool isInstance(PyObject* o, PyObject* cls) { return check(PyObject_IsInstance(o, cls)) != 0; }
inline bool isSubclass(PyObject* o, PyObject* cls) { return check(PyObject_IsSubclass(o, cls)) != 0; }
inline Ref tupleOf(std::initializer_list<PyObject*> items) {
    Ref t = Ref::steal(PyTuple_New((Py_ssize_t)items.size()));
    Py_ssize_t i = 0;
    for (PyObject* o : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
    return t;
}
inline std::string_view utf8(PyObject* s) {
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) throwPending();
    return {p, (size_t)n};
}
inline const char* typeName(PyObject* o) { return Py_TYPE(o)->tp_name; }

// Replaces the object a field holds; the field owns its reference.
inline void assignField(PyObject*& field, PyObject* value) noexcept {
    PyObject* old = field;
    field = Py_NewRef(value);
    Py_XDECREF(old);
}
inline void assignField(PyObject*& field, Ref value) noexcept {
    PyObject* old = field;
    field = value.release();
    Py_XDECREF(old);
}

// ---------------------------------------------------------------------------
// The type errors every native entry point reports the same way.
// ---------------------------------------------------------------------------

// "Argument 'x' has incorrect type (expected T, got U)"
[[noreturn]] inline void raiseArgType(const char* arg, const char* expected, PyObject* got) {
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg, expected,
          typeName(got));
}
// "Cannot convert U to T"
[[noreturn]] inline void raiseConvert(PyObject* got, const char* expected) {
    raise(PyExc_TypeError, "Cannot convert %.200s to %.200s", typeName(got), expected);
}
// Exact-type argument tests that admit None.
inline void requireStrOrNone(const char* arg, PyObject* v) {
    if (v != Py_None && !PyUnicode_CheckExact(v)) raiseArgType(arg, "str", v);
}
inline void requireTupleOrNone(const char* arg, PyObject* v) {
    if (v != Py_None && !PyTuple_CheckExact(v)) raiseArgType(arg, "tuple", v);
}
inline void requireDictOrNone(const char* arg, PyObject* v) {
    if (v != Py_None && !PyDict_CheckExact(v)) raiseArgType(arg, "dict", v);
}
inline void requireListOrNone(const char* arg, PyObject* v) {
    if (v != Py_None && !PyList_CheckExact(v)) raiseArgType(arg, "list", v);
}
// An argument that must be an instance of a native type (or None when allowed).
inline void requireType(const char* arg, PyObject* v, PyTypeObject* type, bool noneOk) {
    if (noneOk && v == Py_None) return;
    if (!PyObject_TypeCheck(v, type)) raiseArgType(arg, type->tp_name, v);
}
// A converted value that must be an instance of a native type (or None).
inline void requireConvertible(PyObject* v, PyTypeObject* type, bool noneOk = true) {
    if (noneOk && v == Py_None) return;
    if (!PyObject_TypeCheck(v, type)) raiseConvert(v, type->tp_name);
}

inline int asInt32(PyObject* v) {
    long x = PyLong_AsLong(v);
    if (x == -1 && PyErr_Occurred()) throwPending();
    if (x < INT32_MIN || x > INT32_MAX) raise(PyExc_OverflowError, "value too large to convert to int");
    return (int)x;
}

}  // namespace quillon
