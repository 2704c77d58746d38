// Building blocks for native types and modules: entry-point wrappers for the
// CPython calling conventions, garbage-collection support driven by a list of
// object fields, heap-type creation and the capsules through which modules
// bind each other's native types.
#pragma once

#include "args.hpp"

#include <cstddef>
#include <initializer_list>

namespace quillon {

// ---------------------------------------------------------------------------
// Entry-point wrappers: business code returns a Ref (or throws); the wrapper
// is the boundary that CPython calls.
// ---------------------------------------------------------------------------

using FastFn = Ref (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
using NoArgsFn = Ref (*)(PyObject* self);
using OneArgFn = Ref (*)(PyObject* self, PyObject* arg);

template <FastFn F>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return entry([&] { return F(self, args, nargs, kwnames); });
}
template <NoArgsFn F>
PyObject* noargs(PyObject* self, PyObject*) noexcept {
    return entry([&] { return F(self); });
}
template <OneArgFn F>
PyObject* onearg(PyObject* self, PyObject* arg) noexcept {
    return entry([&] { return F(self, arg); });
}
template <NoArgsFn F>
PyObject* getter(PyObject* self, void*) noexcept {
    return entry([&] { return F(self); });
}
template <void (*F)(PyObject* self, PyObject* value)>
int setter(PyObject* self, PyObject* value, void*) noexcept {
    return boundary(-1, [&] {
        F(self, value);
        return 0;
    });
}

#define Q_FAST(name, fn, doc) \
    { name, (PyCFunction)(void (*)(void))::quillon::fastcall<fn>, METH_FASTCALL | METH_KEYWORDS, doc }
#define Q_FAST_CLASS(name, fn, doc) \
    { name, (PyCFunction)(void (*)(void))::quillon::fastcall<fn>, METH_FASTCALL | METH_KEYWORDS | METH_CLASS, doc }
#define Q_FAST_STATIC(name, fn, doc) \
    { name, (PyCFunction)(void (*)(void))::quillon::fastcall<fn>, METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc }
#define Q_NOARGS(name, fn, doc) { name, (PyCFunction)::quillon::noargs<fn>, METH_NOARGS, doc }
#define Q_ONEARG(name, fn, doc) { name, (PyCFunction)::quillon::onearg<fn>, METH_O, doc }
#define Q_GETTER(name, fn, doc) { name, ::quillon::getter<fn>, nullptr, doc, nullptr }
#define Q_GETSET(name, get, set, doc) { name, ::quillon::getter<get>, ::quillon::setter<set>, doc, nullptr }

// ---------------------------------------------------------------------------
// Object fields and garbage collection.
//
// Each native type lists the offsets of its object fields once; traverse,
// clear and dealloc are generated from that list.  Heap types visit their
// type in traverse and release it in dealloc.
// ---------------------------------------------------------------------------

template <class T>
inline PyObject*& field(PyObject* self, size_t offset) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
}

struct FieldList {
    const size_t* offsets;
    size_t count;
};

inline int visitFields(PyObject* self, const FieldList& f, visitproc visit, void* arg) {
    for (size_t i = 0; i < f.count; ++i) Py_VISIT(field<PyObject>(self, f.offsets[i]));
    return 0;
}
inline void clearFields(PyObject* self, const FieldList& f) {
    for (size_t i = 0; i < f.count; ++i) Py_CLEAR(field<PyObject>(self, f.offsets[i]));
}

// Generated GC support for a plain object type whose fields are `Fields`.
template <const FieldList& Fields>
int traverseObject(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    return visitFields(self, Fields, visit, arg);
}
template <const FieldList& Fields>
int clearObject(PyObject* self) noexcept {
    clearFields(self, Fields);
    return 0;
}
template <const FieldList& Fields>
void deallocObject(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clearFields(self, Fields);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// Getters of an object field (the object it holds) and of an int field, for
// getset tables: `Q_GETTER("model", fieldGetter<offsetof(T, model)>, ...)`.
template <size_t Offset>
Ref fieldGetter(PyObject* self) {
    return Ref::borrow(field<PyObject>(self, Offset));
}
template <size_t Offset>
Ref intFieldGetter(PyObject* self) {
    return integer(*reinterpret_cast<int*>(reinterpret_cast<char*>(self) + Offset));
}

// Sets every object field of a freshly allocated object to None, as a new
// native object starts out.
inline void initFieldsNone(PyObject* self, const FieldList& f) {
    for (size_t i = 0; i < f.count; ++i) field<PyObject>(self, f.offsets[i]) = Py_NewRef(Py_None);
}

// ---------------------------------------------------------------------------
// The interpreter's assertion state.
//
// Checks that the design makes `assert`s (they raise AssertionError with the
// design's text) run only when the interpreter runs assertions, as Python
// code would: not under -O or PYTHONOPTIMIZE.  Every module asks here, on
// every supported version; `sys.flags.optimize` is the public source
// (the C global behind it is deprecated since 3.12).  It cannot change while
// the process runs, so it is read once.
// ---------------------------------------------------------------------------

inline bool assertionsEnabled() {
    static int enabled = -1;  // a plain int: nothing to destroy at exit
    if (enabled < 0) {
        PyObject* flags = PySys_GetObject("flags");  // borrowed
        if (!flags) raise(PyExc_RuntimeError, "sys.flags is missing");
        Ref optimize = getattr(flags, "optimize");
        long level = PyLong_AsLong(optimize.get());
        if (level == -1 && PyErr_Occurred()) throwPending();
        enabled = level == 0;
    }
    return enabled != 0;
}

// ---------------------------------------------------------------------------
// Dicts whose entries read and write as attributes.
//
// The attribute slots of a native dict type that behaves like
// Quillon.Ext.Dict.DictPlus: reading an attribute returns the entry of that
// name when there is one (an entry wins over a method of the class), writing
// or deleting an attribute stores or removes the entry.  A native type
// cannot derive from the Python class (an immutable type on a mutable base is
// refused by newer interpreters), so it derives from dict and takes these
// slots: `{Py_tp_getattro, (void*)entryGetAttr}, {Py_tp_setattro, (void*)entrySetAttr}`.
// ---------------------------------------------------------------------------

// The name a class shows in messages: its tp_name after the last dot.
inline const char* shortTypeName(PyTypeObject* t) {
    const char* dot = strrchr(t->tp_name, '.');
    return dot ? dot + 1 : t->tp_name;
}

inline PyObject* entryGetAttr(PyObject* self, PyObject* name) noexcept {
    PyObject* value = PyDict_GetItemWithError(self, name);  // borrowed; a new reference at once
    if (value) return Py_NewRef(value);
    if (PyErr_Occurred()) return nullptr;
    PyObject* found = PyObject_GenericGetAttr(self, name);
    if (found || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
    PyErr_Clear();
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute or entry '%U'", shortTypeName(Py_TYPE(self)),
                 name);
    return nullptr;
}

inline int entrySetAttr(PyObject* self, PyObject* name, PyObject* value) noexcept {
    if (value) return PyDict_SetItem(self, name, value);
    if (PyDict_DelItem(self, name) == 0) return 0;
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        PyErr_SetObject(PyExc_AttributeError, name);
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Types and modules.
// ---------------------------------------------------------------------------

// Creates a heap type from `spec` with the given bases and sets it as a module
// attribute.  Returns a borrowed pointer kept alive by the module.
inline PyTypeObject* addType(PyObject* module, PyType_Spec* spec, PyObject* bases = nullptr) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, spec, bases));
    check(PyModule_AddObjectRef(module, shortTypeName(type.as<PyTypeObject>()), type.get()));
    return type.as<PyTypeObject>();
}
inline PyTypeObject* addType(PyObject* module, PyType_Spec* spec, PyTypeObject* base) {
    Ref bases = tupleOf({(PyObject*)base});
    return addType(module, spec, bases.get());
}
inline void addObject(PyObject* module, const char* name, PyObject* value) {
    check(PyModule_AddObjectRef(module, name, value));
}

// An enumeration on `base` (a class of the interpreter's `enum` module) with
// the given members, set on the module and naming it as its home.
inline Ref makeEnum(PyObject* module, PyObject* base, const char* name,
                    std::initializer_list<std::pair<const char*, Ref>> members) {
    Ref items = Ref::steal(PyList_New(0));
    for (auto& [member, value] : members) {
        Ref key = str(member);
        Ref pair = tupleOf({key.get(), value.get()});
        check(PyList_Append(items.get(), pair.get()));
    }
    Ref enumName = str(name);
    Ref args = tupleOf({enumName.get(), items.get()});
    Ref kwargs = Ref::steal(PyDict_New());
    Ref moduleName = getattr(module, "__name__");
    check(PyDict_SetItemString(kwargs.get(), "module", moduleName.get()));
    check(PyDict_SetItemString(kwargs.get(), "qualname", enumName.get()));
    Ref cls = Ref::steal(PyObject_Call(base, args.get(), kwargs.get()));
    addObject(module, name, cls.get());
    return cls;
}

// Module execution wrapper: the exec slot is the boundary of module loading.
//
// A module's native types, tables and interned names live in process-wide
// variables (shared with the other modules through their capsules), so a
// module is executed once per process, in the main interpreter.  A second
// execution (the module deleted from sys.modules and imported again, or
// module_from_spec + exec_module) would silently make a
// second set of types that the other modules do not know; it is refused, as
// is loading in a subinterpreter.  A failed first execution may be retried.
template <void (*Exec)(PyObject* module)>
int execModule(PyObject* module) noexcept {
    static bool executed = false;  // a plain flag: nothing to destroy at exit
    return boundary(-1, [&] {
        const char* name = PyModule_GetName(module);
        if (!name) throwPending();
#ifdef Py_GIL_DISABLED
        raise(PyExc_ImportError, "%s cannot be loaded: Quillon does not support the free-threaded build of Python",
              name);
#endif
        if (PyInterpreterState_Get() != PyInterpreterState_Main())
            raise(PyExc_ImportError,
                  "%s cannot be loaded in a subinterpreter: Quillon keeps its native state once per process, "
                  "in the main interpreter",
                  name);
        if (executed)
            raise(PyExc_ImportError,
                  "%s is already loaded in this process and cannot be loaded again: its native types exist once "
                  "per process (importing it again after removing it from sys.modules, or executing a second "
                  "module object, is not supported)",
                  name);
        Exec(module);
        executed = true;
        return 0;
    });
}

// The slots of every module: its exec function and, where the interpreter
// knows them, the declarations that it does not support subinterpreters and
// needs the GIL.  `PyModuleDef_Slot slots[] = {Q_MODULE_SLOTS(exec), {0, nullptr}};`
#define Q_EXEC_SLOT(exec) {Py_mod_exec, (void*)::quillon::execModule<exec>}
#if PY_VERSION_HEX >= 0x030D0000
#define Q_MODULE_SLOTS(exec)                                                              \
    Q_EXEC_SLOT(exec), {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED}, \
        {Py_mod_gil, Py_MOD_GIL_USED}
#elif PY_VERSION_HEX >= 0x030C0000
#define Q_MODULE_SLOTS(exec) \
    Q_EXEC_SLOT(exec), {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED}
#else
#define Q_MODULE_SLOTS(exec) Q_EXEC_SLOT(exec)
#endif

// Whether instances of `type` carry an instance dict (a `__dict__` slot, or
// the interpreter-managed dict of 3.11 and later).
inline bool hasInstanceDict(PyTypeObject* type) {
#ifdef Py_TPFLAGS_MANAGED_DICT
    if (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) return true;
#endif
    return type->tp_dictoffset != 0;
}

// ---------------------------------------------------------------------------
// Capsules: each module publishes one struct of type pointers and native
// tables (append-only, versioned) as its attribute `_C_API` before it imports
// anything that may import it back, so import cycles resolve whatever module
// is imported first.
// ---------------------------------------------------------------------------

constexpr unsigned kApiVersion = 1;

template <class Api>
void publish(PyObject* module, Api* api, const char* capsuleName) {
    api->version = kApiVersion;
    Ref capsule = Ref::steal(PyCapsule_New(api, capsuleName, nullptr));
    check(PyModule_AddObjectRef(module, "_C_API", capsule.get()));
}

template <class Api>
Api* bindApi(const char* moduleName, const char* capsuleName) {
    Ref module = importModule(moduleName);
    Ref capsule = getattr(module.get(), "_C_API");
    auto* api = static_cast<Api*>(PyCapsule_GetPointer(capsule.get(), capsuleName));
    if (!api) throwPending();
    if (api->version != kApiVersion)
        raise(PyExc_ImportError, "%s has native API version %u, expected %u", moduleName, api->version, kApiVersion);
    return api;
}

}  // namespace quillon
