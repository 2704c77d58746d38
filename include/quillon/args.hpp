// Argument binding for native entry points.
//
// A `Signature` names a function's parameters once; `bind` maps a call's
// positional and keyword arguments onto them (borrowed pointers, null for a
// parameter that was not given) and collects the surplus when the function
// takes *args / **kwargs.  The messages are the interpreter's own wording, so
// a native function reports a bad call the way every other one does.
#pragma once

#include "ref.hpp"

#include <array>
#include <vector>

namespace quillon {

template <size_t N>
struct Signature {
    const char* function;
    std::array<const char*, N> names;
    size_t required;        // leading parameters without a default
    bool varargs = false;   // surplus positional arguments go to `rest`
    bool varkw = false;     // unknown keywords go to `extra`
};

template <size_t N>
struct Bound {
    std::array<PyObject*, N> values{};  // borrowed; null when not given
    Ref rest;                           // tuple of surplus positional arguments (varargs only)
    Ref extra;                          // dict of unknown keywords (varkw only)
    PyObject* operator[](size_t i) const { return values[i]; }
    PyObject* get(size_t i, PyObject* fallback) const { return values[i] ? values[i] : fallback; }
};

namespace detail {
[[noreturn]] inline void raiseCount(const char* fn, size_t required, size_t total, bool varargs, Py_ssize_t given) {
    const char* more;
    Py_ssize_t expected;
    if (required == total && !varargs) {
        more = "exactly";
        expected = (Py_ssize_t)required;
    } else if ((size_t)given < required) {
        more = "at least";
        expected = (Py_ssize_t)required;
    } else {
        more = "at most";
        expected = (Py_ssize_t)total;
    }
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fn, more, expected,
          expected == 1 ? "" : "s", given);
}

inline bool nameEquals(PyObject* key, const char* name) {
    return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
}
}  // namespace detail

// Binds a vectorcall-style call.
template <size_t N>
Bound<N> bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bound<N> b;
    if (nargs > (Py_ssize_t)N && !sig.varargs) detail::raiseCount(sig.function, sig.required, N, false, nargs);
    Py_ssize_t npos = nargs < (Py_ssize_t)N ? nargs : (Py_ssize_t)N;
    for (Py_ssize_t i = 0; i < npos; ++i) b.values[i] = args[i];
    if (sig.varargs) {
        Py_ssize_t surplus = nargs > (Py_ssize_t)N ? nargs - (Py_ssize_t)N : 0;
        b.rest = Ref::steal(PyTuple_New(surplus));
        for (Py_ssize_t i = 0; i < surplus; ++i) PyTuple_SET_ITEM(b.rest.get(), i, Py_NewRef(args[N + i]));
    }
    if (sig.varkw) b.extra = Ref::steal(PyDict_New());
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "%s() keywords must be strings", sig.function);
        size_t i = 0;
        for (; i < N; ++i)
            if (detail::nameEquals(key, sig.names[i])) break;
        if (i == N) {
            if (!sig.varkw) raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
            check(PyDict_SetItem(b.extra.get(), key, value));
            continue;
        }
        if (b.values[i]) raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.function, key);
        b.values[i] = value;
    }
    for (size_t i = 0; i < sig.required; ++i)
        if (!b.values[i]) detail::raiseCount(sig.function, sig.required, N, sig.varargs, nargs);
    return b;
}

// Binds a tuple/dict call (tp_new, tp_init).
template <size_t N>
Bound<N> bind(const Signature<N>& sig, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return bind(sig, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    // Flatten into the vectorcall layout; the values stay borrowed from the
    // tuple and dict, which outlive the bound result.
    std::vector<PyObject*> flat;
    flat.reserve((size_t)(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
    Ref names = Ref::steal(PyTuple_New(nkw));
    PyObject *key, *value;
    Py_ssize_t pos = 0, k = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(names.get(), k++, Py_NewRef(key));
        flat.push_back(value);
    }
    return bind(sig, flat.data(), nargs, names.get());
}

// Refuses every argument (for callables documented to take none).
inline void noArguments(const char* fn, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs) detail::raiseCount(fn, 0, 0, false, nargs);
    if (kwnames && PyTuple_GET_SIZE(kwnames))
        raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn, PyTuple_GET_ITEM(kwnames, 0));
}
inline void noArguments(const char* fn, PyObject* args, PyObject* kwargs) {
    if (args && PyTuple_GET_SIZE(args)) detail::raiseCount(fn, 0, 0, false, PyTuple_GET_SIZE(args));
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        PyDict_Next(kwargs, &pos, &key, &value);
        raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn, key);
    }
}
// Refuses keyword arguments (for *args-only callables).
inline void noKeywords(const char* fn, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames))
        raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn, PyTuple_GET_ITEM(kwnames, 0));
}
inline Ref positionalTuple(PyObject* const* args, Py_ssize_t nargs) {
    Ref t = Ref::steal(PyTuple_New(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(t.get(), i, Py_NewRef(args[i]));
    return t;
}
inline Ref keywordDict(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref d = Ref::steal(PyDict_New());
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) check(PyDict_SetItem(d.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]));
    return d;
}

}  // namespace quillon
