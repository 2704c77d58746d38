// Native operations that a Python subclass may override, and what they
// rest on: lookups along a class's MRO and the stamps that tell whether a
// class or a dict has changed since something was cached against it.
//
// A native operation table entry first asks `OverrideSet::overridden(self, i)`
// whether the object's Python class replaces operation i.  The answer is
// decided once per class and cached against the class's version tag, which
// CPython changes whenever the class or one of its bases is modified; the hot
// path for a class that overrides nothing is a type test and one cached
// lookup, never an attribute lookup.  Our native types are immutable, so an
// object whose type is one of them never needs the lookup at all.
//
// The two directions stay apart: the table entry may call into Python, while
// the Python-visible method of the native type always runs the native code,
// so `super().op()` in an override never loops back into the override.
//
// The interpreter-version differences of these mechanisms live here and
// nowhere else.  Since 3.12 everything goes through public API (the class
// namespaces through PyType_GetDict, PyUnstable_Type_AssignVersionTag, dict
// watchers).  Before 3.12 two private parts of the interpreter are used,
// because it offers no public way to do the same without running Python code:
// _PyType_Lookup, which also gives the class the version tag that its later
// changes invalidate, and the dict version tag (ma_version_tag).
#pragma once

#include "ref.hpp"

#include <array>
#include <unordered_map>

namespace quillon {

inline bool isNativeType(PyTypeObject* t) { return (t->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) != 0; }

// ---------------------------------------------------------------------------
// Class attributes and class version tags.
// ---------------------------------------------------------------------------

// The attribute `name` as the class's MRO defines it, before any descriptor
// applies: borrowed from the namespace of the class that defines it (kept
// alive by that class), or null when none does -- with an error set only if
// comparing the names failed.  Runs no Python code for string names.  Before
// 3.12 it also gives the class a version tag.
inline PyObject* findInType(PyTypeObject* t, PyObject* name) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* mro = t->tp_mro;
    if (!mro) return nullptr;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n; ++i) {
        PyObject* dict = PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        if (!dict) return nullptr;
        PyObject* found = PyDict_GetItemWithError(dict, name);
        Py_DECREF(dict);  // the class keeps its namespace, and so `found`
        if (found || PyErr_Occurred()) return found;
    }
    return nullptr;
#else
    return _PyType_Lookup(t, name);
#endif
}

// The same for C++ code: a failure throws.
inline PyObject* lookupType(PyTypeObject* t, PyObject* name) {
    PyObject* found = findInType(t, name);
    if (!found) checkError();
    return found;
}

// Generic attribute lookup that finds nothing without raising: the
// attribute the class defines (its descriptor applied; its errors are real)
// or else the entry of the instance's own __dict__.  A new reference, or null
// -- with an error set only for a real failure.
inline PyObject* genericAttrOrNull(PyObject* self, PyObject* name) noexcept {
    if (findInType(Py_TYPE(self), name)) return PyObject_GenericGetAttr(self, name);
    if (PyErr_Occurred() || Py_TYPE(self)->tp_dictoffset == 0) return nullptr;
    PyObject* dict = PyObject_GenericGetDict(self, nullptr);
    if (!dict) return nullptr;
    PyObject* found = PyDict_GetItemWithError(dict, name);
    Py_XINCREF(found);
    Py_DECREF(dict);
    return found;
}

// A version tag of the class, which the interpreter changes whenever the
// class or one of its bases is modified; 0 when it cannot give one (nothing
// may then be cached against it).
inline unsigned int typeVersionTag(PyTypeObject* t) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Type_AssignVersionTag(t) ? t->tp_version_tag : 0;
#else
    static PyObject* probe = nullptr;  // an interned name, kept for the process
    if (!probe && !(probe = PyUnicode_InternFromString("__class__"))) throwPending();
    (void)_PyType_Lookup(t, probe);  // assigns the tag as a side effect
    return (t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? t->tp_version_tag : 0;
#endif
}

// Whether `tag`, taken from the class earlier, is still its valid tag.
inline bool versionTagValid(PyTypeObject* t, unsigned int tag) {
#if PY_VERSION_HEX < 0x030C0000
    return (t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && t->tp_version_tag == tag;
#else
    return t->tp_version_tag != 0 && t->tp_version_tag == tag;
#endif
}

// ---------------------------------------------------------------------------
// Dict stamps: a number that changes whenever a watched dict is changed in
// place (compare the stamp taken with the dict's contents to the current one).
// ---------------------------------------------------------------------------

#if PY_VERSION_HEX < 0x030C0000
inline void watchDict(PyObject*) {}
inline unsigned long long dictStamp(PyObject* d) { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }
#else
// The dict version tag is deprecated since 3.12: a watcher on every watched
// dict bumps one generation counter instead (an interpreter has few dict
// watchers: one per module that watches).
namespace dict_watch {
inline unsigned long long generation = 1;
inline int watcher = -1;
inline int onEvent(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++generation;
    return 0;
}
}  // namespace dict_watch
inline void watchDict(PyObject* d) {
    if (dict_watch::watcher < 0) dict_watch::watcher = PyDict_AddWatcher(dict_watch::onEvent);
    if (dict_watch::watcher < 0) throwPending();
    check(PyDict_Watch(dict_watch::watcher, d));
}
inline unsigned long long dictStamp(PyObject*) { return dict_watch::generation; }
#endif

// ---------------------------------------------------------------------------
// Per-class override detection.
// ---------------------------------------------------------------------------

template <size_t N>
class OverrideSet {
public:
    explicit OverrideSet(std::array<const char*, N> names) : names_(names) {}

    // True when the class of `self` defines operation `i` in Python.
    bool overridden(PyObject* self, size_t i) {
        PyTypeObject* t = Py_TYPE(self);
        if (isNativeType(t)) return false;
        return (mask(t) >> i) & 1u;
    }
    PyObject* name(size_t i) {
        if (!interned_[i]) interned_[i] = PyUnicode_InternFromString(names_[i]);
        if (!interned_[i]) throwPending();
        return interned_[i];
    }

private:
    struct Entry {
        unsigned int tag;
        unsigned int mask;
    };

    unsigned int mask(PyTypeObject* t) {
        if (t == lastType_ && versionTagValid(t, lastEntry_.tag)) return lastEntry_.mask;
        auto it = cache_.find(t);
        if (it != cache_.end() && versionTagValid(t, it->second.tag)) {
            lastType_ = t;
            lastEntry_ = it->second;
            return it->second.mask;
        }
        unsigned int tag = typeVersionTag(t);
        unsigned int m = 0;
        for (size_t i = 0; i < N; ++i) {
            PyObject* attr = lookupType(t, name(i));  // borrowed; only compared and inspected
            // A method or a property of one of our native types is the native operation.
            bool native = attr && (Py_IS_TYPE(attr, &PyMethodDescr_Type) || Py_IS_TYPE(attr, &PyGetSetDescr_Type)) &&
                          isNativeType(reinterpret_cast<PyDescrObject*>(attr)->d_type);
            if (attr && !native) m |= 1u << i;
        }
        Entry e{tag, m};
        cache_[t] = e;
        lastType_ = t;
        lastEntry_ = e;
        return m;
    }

    std::array<const char*, N> names_;
    std::array<PyObject*, N> interned_{};
    std::unordered_map<PyTypeObject*, Entry> cache_;
    PyTypeObject* lastType_ = nullptr;
    Entry lastEntry_{0, 0};
};

}  // namespace quillon
