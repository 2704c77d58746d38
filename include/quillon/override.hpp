// Native operations that a Python subclass may override.
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
#pragma once

#include "ref.hpp"

#include <array>
#include <unordered_map>

namespace quillon {

inline bool isNativeType(PyTypeObject* t) { return (t->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) != 0; }

inline bool versionTagValid(PyTypeObject* t, unsigned int tag) {
#if PY_VERSION_HEX < 0x030C0000
    return (t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && t->tp_version_tag == tag;
#else
    return t->tp_version_tag != 0 && t->tp_version_tag == tag;
#endif
}

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
        unsigned int m = 0;
        for (size_t i = 0; i < N; ++i) {
            PyObject* attr = _PyType_Lookup(t, name(i));  // borrowed; assigns the version tag
            bool native = attr && Py_IS_TYPE(attr, &PyMethodDescr_Type) &&
                          isNativeType(reinterpret_cast<PyMethodDescrObject*>(attr)->d_common.d_type);
            if (attr && !native) m |= 1u << i;
        }
        Entry e{t->tp_version_tag, m};
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
