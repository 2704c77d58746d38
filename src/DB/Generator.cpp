// Quillon.DB.Generator: SQL generation.
//
// Every generator derives from the native base `BaseSqlGenerator`, whose
// first native field is the statement kind and whose native table starts with
// `Build`.  The smallest generator, `CustomColAnnounce`, carries a literal
// piece of SQL that stands in for a generated column default.  The property
// module creates two announcements while it loads, so this module creates its
// types and publishes its capsule before it imports anything.
#include <quillon/layouts.hpp>
#include <quillon/native.hpp>
#include <quillon/override.hpp>

#include <string>

using namespace quillon;

namespace {

// ===========================================================================
// Module state
// ===========================================================================

PyTypeObject* BaseSqlGeneratorType = nullptr;
PyTypeObject* CustomColAnnounceType = nullptr;
GeneratorApi api;

// ===========================================================================
// BaseSqlGenerator
// ===========================================================================

const FieldList baseFields{nullptr, 0};

Ref baseBuildNative(PyObject*) { return Ref::steal(PyTuple_New(0)); }

// A Python subclass of the base may give its own `Build`; native callers
// (the table generator reading a column default) honour it.
OverrideSet<1> baseOverrides{{"Build"}};

PyObject* baseBuildSlot(PyObject* self) {
    return entry([&] {
        if (baseOverrides.overridden(self, 0)) return callMethod(self, baseOverrides.name(0));
        return baseBuildNative(self);
    });
}

const BaseSqlGeneratorOps baseOps{baseBuildSlot};

PyObject* baseNew(PyTypeObject* type, PyObject*, PyObject*) {
    return entry([&] {
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        auto* g = self.as<BaseSqlGeneratorObject>();
        g->ops = &baseOps;
        g->currentType = SQL_NONE;
        return self;
    });
}

int baseInit(PyObject*, PyObject* args, PyObject* kwargs) {
    return boundary(-1, [&] {
        noArguments("BaseSqlGenerator", args, kwargs);
        return 0;
    });
}

Ref baseBuild(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("Build", nargs, kwnames);
    return baseBuildNative(self);
}

PyMethodDef baseMethods[] = {
    Q_FAST("Build", baseBuild, "Build() -> the statement; () on the base"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot baseSlots[] = {
    {Py_tp_doc, (void*)"BaseSqlGenerator()\n\nCommon base of every generator: the statement kind and Build."},
    {Py_tp_new, (void*)baseNew},
    {Py_tp_init, (void*)baseInit},
    {Py_tp_traverse, (void*)traverseObject<baseFields>},
    {Py_tp_clear, (void*)clearObject<baseFields>},
    {Py_tp_dealloc, (void*)deallocObject<baseFields>},
    {Py_tp_methods, baseMethods},
    {0, nullptr},
};

constexpr unsigned long kTypeFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC;

PyType_Spec baseSpec = {"Quillon.DB.Generator.BaseSqlGenerator", sizeof(BaseSqlGeneratorObject), 0, kTypeFlags,
                        baseSlots};

// ===========================================================================
// CustomColAnnounce
// ===========================================================================

const size_t announceOffsets[] = {offsetof(CustomColAnnounceObject, announce)};
const FieldList announceFields{announceOffsets, 1};

PyObject* announceBuildSlot(PyObject* self) {
    return entry([&] {
        PyObject* announce = reinterpret_cast<CustomColAnnounceObject*>(self)->announce;
        return tupleOf({announce, Py_None});
    });
}

const BaseSqlGeneratorOps announceOps{announceBuildSlot};

Ref makeAnnounce(PyTypeObject* type, PyObject* announce) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    auto* a = self.as<CustomColAnnounceObject>();
    a->base.ops = &announceOps;
    a->base.currentType = SQL_NONE;
    a->announce = Py_NewRef(announce);
    return self;
}

PyObject* announceNew(PyTypeObject* type, PyObject*, PyObject*) {
    return entry([&] { return makeAnnounce(type, Py_None); });
}

const Signature<1> announceSig{"CustomColAnnounce", {"announce"}, 1};

int announceInit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary(-1, [&] {
        auto b = bind(announceSig, args, kwargs);
        requireStrOrNone("announce", b[0]);
        assignField(reinterpret_cast<CustomColAnnounceObject*>(self)->announce, b[0]);
        return 0;
    });
}

// `Build` belongs to the native table only: reading it from Python on an
// announcement fails as for a missing attribute.
PyObject* announceHideBuild(PyObject* self, void*) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute 'Build'", typeName(self));
    return nullptr;
}

PyGetSetDef announceGetSet[] = {
    {"Build", announceHideBuild, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot announceSlots[] = {
    {Py_tp_doc, (void*)"CustomColAnnounce(announce)\n\nA literal piece of SQL used in place of a generated column "
                       "default or key declaration."},
    {Py_tp_new, (void*)announceNew},
    {Py_tp_init, (void*)announceInit},
    {Py_tp_traverse, (void*)traverseObject<announceFields>},
    {Py_tp_clear, (void*)clearObject<announceFields>},
    {Py_tp_dealloc, (void*)deallocObject<announceFields>},
    {Py_tp_getset, announceGetSet},
    {0, nullptr},
};

PyType_Spec announceSpec = {"Quillon.DB.Generator.CustomColAnnounce", sizeof(CustomColAnnounceObject), 0,
                            kTypeFlags, announceSlots};

PyObject* apiNewCustomColAnnounce(PyObject* announce) {
    return entry([&] {
        requireStrOrNone("announce", announce);
        return makeAnnounce(CustomColAnnounceType, announce);
    });
}

// ===========================================================================
// Statement builder, joins and table generator (behaviour follows)
// ===========================================================================

PyType_Slot SqlGeneratorSlots[] = {{0, nullptr}};
PyType_Spec SqlGeneratorSpec = {"Quillon.DB.Generator.SqlGenerator", sizeof(SqlGeneratorObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, SqlGeneratorSlots};
PyType_Slot JoinCellSlots[] = {{0, nullptr}};
PyType_Spec JoinCellSpec = {"Quillon.DB.Generator.JoinCell", sizeof(JoinCellObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, JoinCellSlots};
PyType_Slot TableGeneratorSlots[] = {{0, nullptr}};
PyType_Spec TableGeneratorSpec = {"Quillon.DB.Generator.TableGenerator", sizeof(TableGeneratorObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, TableGeneratorSlots};

// ===========================================================================
// Module functions
// ===========================================================================

// Table creation for every declared model; filled in with the model layer.
Ref generate_table(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("generate_table", nargs, kwnames);
    return Ref::none();
}

PyMethodDef moduleMethods[] = {
    Q_FAST("generate_table", generate_table, "generate_table() -> creates the table of every declared model"),
    {nullptr, nullptr, 0, nullptr},
};

// An int enumeration built on the interpreter's IntEnum, so its members are
// plain ints to every native reader.
void addIntEnum(PyObject* module, const char* name, std::initializer_list<std::pair<const char*, int>> members) {
    Ref intEnum = importFrom("enum", "IntEnum");
    Ref items = Ref::steal(PyList_New(0));
    for (auto& [member, value] : members) {
        Ref pair = Ref::steal(Py_BuildValue("(si)", member, value));
        check(PyList_Append(items.get(), pair.get()));
    }
    Ref enumName = str(name);
    Ref cls = call(intEnum.get(), enumName.get(), items.get());
    Ref moduleName = getattr(module, "__name__");
    setattr(cls.get(), "__module__", moduleName.get());
    addObject(module, name, cls.get());
}

// ===========================================================================
// Module loading
// ===========================================================================

void exec(PyObject* module) {
    BaseSqlGeneratorType = addType(module, &baseSpec);
    CustomColAnnounceType = addType(module, &announceSpec, BaseSqlGeneratorType);

    api.BaseSqlGenerator = BaseSqlGeneratorType;
    api.CustomColAnnounce = CustomColAnnounceType;
    api.newCustomColAnnounce = apiNewCustomColAnnounce;
    api.SqlGenerator = addType(module, &SqlGeneratorSpec, BaseSqlGeneratorType);
    api.JoinCell = addType(module, &JoinCellSpec);
    api.TableGenerator = addType(module, &TableGeneratorSpec, BaseSqlGeneratorType);
    publish(module, &api, kGeneratorCapsule);

    // Imports come only now that the capsule is in place.
    check(PyModule_AddFunctions(module, moduleMethods));
    addIntEnum(module, "sqlType", {{"SELECT", SQL_SELECT}, {"INSERT", SQL_INSERT}, {"DELETE", SQL_DELETE},
                                   {"UPDATE", SQL_UPDATE}, {"NONE", SQL_NONE}});
    bindApi<ColumnsApi>("Quillon.Model.Columns", kColumnsCapsule);
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_exec, (void*)execModule<exec>},
    {0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "Quillon.DB.Generator",
                         "SQL generation: statement builder, renderers and table generator.",
                         0, nullptr, moduleSlots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Generator() { return PyModuleDef_Init(&moduleDef); }
