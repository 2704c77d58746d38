// Quillon.Model.Entity: model declaration, rows and many-to-many middle models.
//
// A table is a class derived from `Entity`.  The metaclass `_EntityMeta`
// turns the class body into a table description (`col`, `mapping`, `fk`,
// `tableName`), registers the class in `ModelList` and generates two
// companions: the row class (a `ModelInstance` subclass whose `object` is
// the model) and a pydantic model.  Calling a model class builds a row.
//
// Rows are the hot path of every read: the executors hand each fetched dict
// to `buildRow`.  Each model class gets a cached row plan (its mapping as a
// vector of name, property and kind), kept beside the class rather than in
// it and checked against the class's version tag and the mapping's own
// change stamp, so a row costs one dict build plus one native conversion
// call per column.
#include <quillon/facade.hpp>
#include <quillon/layouts.hpp>
#include <quillon/native.hpp>
#include <quillon/override.hpp>

#include <memory>
#include <unordered_map>
#include <vector>

using namespace quillon;

namespace {

PyTypeObject* EntityBaseType = nullptr;      // _Entity
PyTypeObject* EntityMetaType = nullptr;      // _EntityMeta
PyTypeObject* ModelInstanceType = nullptr;
PyTypeObject* InstanceListType = nullptr;

const ColumnsApi* columnsApi = nullptr;
const GeneratorApi* generatorApi = nullptr;
const ExecutorsApi* executorsApi = nullptr;
const DBApi* dbApi = nullptr;

// Objects taken from other modules when this one loads; they live as long as
// the process (like the model classes themselves).
struct Imports {
    PyObject* Optional = nullptr;
    PyObject* List = nullptr;
    PyObject* create_model = nullptr;
    PyObject* JsonValue = nullptr;          // pydantic.JsonValue (Any on older pydantic)
    PyObject* datetimeType = nullptr;       // datetime.datetime
    PyObject* TimestampProperty = nullptr;
    PyObject* JsonProperty = nullptr;
    PyObject* pydantic_support = nullptr;
    PyObject* ForeignKey = nullptr;
    PyObject* ONE_TO_ONE = nullptr;
    PyObject* ONE_TO_MANY = nullptr;
    PyObject* MANY_TO_MANY = nullptr;
    PyObject* ModelList = nullptr;
    PyObject* builderDescr = nullptr;  // _Entity's own instanceBuilder (borrowed from its dict)
    PyObject* lenContext = nullptr;    // name reported when InstanceList.len fails
} imports;

struct Names {
    PyObject *Default, *check, *object, *mapping, *instanceBuilder, *modelInstance, *Type, *target, *name,
        *directTarget, *tableName, *col, *fk, *MODEL, *hasDefault, *toObjValue, *items, *getOtherFkBy, *Model,
        *empty, *Instance, *underscore;
} names;

EntityApi api;

inline bool isForeignKey(PyObject* o) {
    return imports.ForeignKey && PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(imports.ForeignKey));
}
inline bool isProperty(PyObject* o) { return PyObject_TypeCheck(o, columnsApi->BaseProperty); }

// Calls `target(arg, check=<check>)`.
Ref callWithCheck(PyObject* target, PyObject* arg, bool check) {
    static PyObject* kwnames = nullptr;
    if (!kwnames) kwnames = tupleOf({names.check}).release();
    PyObject* argv[] = {arg, check ? Py_True : Py_False};
    return Ref::steal(PyObject_Vectorcall(target, argv, 1, kwnames));
}

// A value where a row is required: a ModelInstance or None.
Ref requireRow(Ref value) {
    if (value.get() != Py_None && !PyObject_TypeCheck(value.get(), ModelInstanceType))
        raiseConvert(value.get(), "ModelInstance");
    return value;
}

// ===========================================================================
// Table names
// ===========================================================================

// Class name to table name: "Model" removed, "_" before every upper-case
// letter but the first, lower-cased (UserModel -> user, ABCLog -> a_b_c_log).
Ref get_lower_case_name(PyObject* name) {
    Ref stripped = Ref::steal(PyUnicode_Replace(name, names.Model, names.empty, -1));
    Py_ssize_t n = PyUnicode_GET_LENGTH(stripped.get());
    int kind = PyUnicode_KIND(stripped.get());
    const void* data = PyUnicode_DATA(stripped.get());
    Py_UCS4 maxChar = 0;
    Py_ssize_t extra = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch > maxChar) maxChar = ch;
        if (i > 0 && Py_UNICODE_ISUPPER(ch)) ++extra;
    }
    if (maxChar < '_') maxChar = '_';
    Ref joined = Ref::steal(PyUnicode_New(n + extra, maxChar));
    int outKind = PyUnicode_KIND(joined.get());
    void* out = PyUnicode_DATA(joined.get());
    Py_ssize_t j = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (i > 0 && Py_UNICODE_ISUPPER(ch)) PyUnicode_WRITE(outKind, out, j++, '_');
        PyUnicode_WRITE(outKind, out, j++, ch);
    }
    return callMethod(joined.get(), "lower");
}

// ===========================================================================
// Row plans
// ===========================================================================

enum class Kind : unsigned char { Column, Foreign, Other };

struct PlanEntry {
    Ref name;  // attribute name (str)
    Ref prop;  // BaseProperty, ForeignKey or anything else found in the mapping
    Kind kind;
};

struct RowPlan {
    Ref model;
    unsigned int versionTag = 0;
    Ref mapping;
    unsigned long long mappingStamp = 0;
    Ref rowClass;                    // model.modelInstance, or null when missing
    bool builderOverridden = false;  // model.instanceBuilder is not _Entity's
    bool nativeRows = false;         // rowClass.object is the model
    bool columnsOnly = true;         // no mapping entry other than columns and foreign keys
    std::vector<PlanEntry> entries;
    std::vector<const PlanEntry*> columns;  // the column entries, in mapping order
};

using PlanPtr = std::shared_ptr<RowPlan>;


// Keyed by model class (kept alive by the plan).  Like the model classes it
// lives for the process: a static map would release its plans after the
// interpreter has finalized.
std::unordered_map<PyObject*, PlanPtr>& plans = *new std::unordered_map<PyObject*, PlanPtr>();

PlanPtr buildPlan(PyObject* model) {
    auto plan = std::make_shared<RowPlan>();
    plan->model = Ref::borrow(model);
    if (PyType_Check(model)) {
        plan->versionTag = typeVersionTag(reinterpret_cast<PyTypeObject*>(model));
        PyObject* builder = lookupType(reinterpret_cast<PyTypeObject*>(model), names.instanceBuilder);
        plan->builderOverridden = builder != imports.builderDescr;
    }
    plan->mapping = getattr(model, names.mapping);
    if (!PyDict_Check(plan->mapping.get())) raiseConvert(plan->mapping.get(), "dict");
    watchDict(plan->mapping.get());
    plan->mappingStamp = dictStamp(plan->mapping.get());
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(plan->mapping.get(), &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) raiseConvert(key, "str");
        Kind kind = isProperty(value) ? Kind::Column : isForeignKey(value) ? Kind::Foreign : Kind::Other;
        plan->entries.push_back({Ref::borrow(key), Ref::borrow(value), kind});
        if (kind == Kind::Other) plan->columnsOnly = false;
    }
    for (const PlanEntry& e : plan->entries)
        if (e.kind == Kind::Column) plan->columns.push_back(&e);
    plan->rowClass = Ref::stealOrNull(PyObject_GetAttr(model, names.modelInstance));
    if (!plan->rowClass) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throwPending();
        PyErr_Clear();
    } else {
        Ref owner = Ref::stealOrNull(PyObject_GetAttr(plan->rowClass.get(), names.object));
        if (!owner) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throwPending();
            PyErr_Clear();
        }
        plan->nativeRows = owner.get() == model && PyType_Check(plan->rowClass.get()) &&
                           PyType_IsSubtype(plan->rowClass.as<PyTypeObject>(), ModelInstanceType);
    }
    return plan;
}

inline bool fresh(const RowPlan& plan, PyObject* model) {
    return versionTagValid(reinterpret_cast<PyTypeObject*>(model), plan.versionTag) &&
           dictStamp(plan.mapping.get()) == plan.mappingStamp;
}

// The current plan of a model class (built or rebuilt when needed).
PlanPtr planFor(PyObject* model) {
    if (!PyType_Check(model)) return buildPlan(model);
    auto it = plans.find(model);
    if (it != plans.end() && fresh(*it->second, model)) return it->second;
    PlanPtr plan = buildPlan(model);  // may run Python code: look the slot up again
    plans[model] = plan;
    return plan;
}

// ===========================================================================
// Filling a row
// ===========================================================================

inline void setEntry(PyObject* row, PyObject* key, PyObject* value) { check(PyDict_SetItem(row, key, value)); }

inline Ref toObjValue(PyObject* prop, PyObject* value) {
    return Ref::steal(columnsApi->propertyOps->toObjValue(prop, value));
}

// The nested row(s) of a foreign-key value; null when the relation kind
// stores nothing.
Ref nestedRows(PyObject* key, PyObject* value, bool convert) {
    Ref type = dictItem(key, names.Type).ref();
    if (!type) type = Ref::none();
    auto equals = [&](PyObject* member) {
        return member && check(PyObject_RichCompareBool(type.get(), member, Py_EQ)) != 0;
    };
    if (equals(imports.ONE_TO_ONE)) {
        Ref target = getattr(key, names.target);
        return callWithCheck(target.get(), value, convert);
    }
    Ref target;
    if (equals(imports.ONE_TO_MANY))
        target = getattr(key, names.target);
    else if (equals(imports.MANY_TO_MANY))
        target = getattr(key, names.directTarget);  // rows of the far model, not of the middle model
    else
        return Ref();
    Ref out = Ref::steal(PyList_New(0));
    Ref iter = Ref::steal(PyObject_GetIter(value));
    while (Ref item = Ref::stealOrNull(PyIter_Next(iter.get()))) {
        check(PyList_Append(out.get(), callWithCheck(target.get(), item.get(), convert).get()));
    }
    checkError();
    return out;
}

// Whether the column's value comes from the database when an insert leaves
// it out: an auto-increment key, a default the table declares
// (current_timestamp, ...) or no declared default at all.
bool databaseDefault(PyObject* prop) {
    PyObject* v = reinterpret_cast<BasePropertyObject*>(prop)->_default;
    if (!v) return true;
    return v == columnsApi->noDefault || v == (PyObject*)columnsApi->NullDefault ||
           PyObject_TypeCheck(v, columnsApi->NullDefault) || v == (PyObject*)columnsApi->AutoIncrement ||
           PyObject_TypeCheck(v, columnsApi->AutoIncrement) || PyObject_TypeCheck(v, generatorApi->CustomColAnnounce);
}

// Records on a row built in Python that column `key` was filled from a
// database-side default, so inserts leave it out.  Only rows with such a
// column get the record; fetched rows never do.
void markDatabaseDefault(PyObject* row, PyObject* key) {
    if (!PyObject_TypeCheck(row, ModelInstanceType)) return;
    auto* r = reinterpret_cast<ModelInstanceObject*>(row);
    if (!r->_temp || !PyDict_Check(r->_temp)) {
        assignField(r->_temp, Ref::steal(PyDict_New()));
        if (!PyObject_GC_IsTracked(row)) PyObject_GC_Track(row);  // it holds a container now
    }
    check(PyDict_SetItem(r->_temp, key, Py_None));
}

// Default entry of a column that was not given (check on).
void fillDefault(PyObject* row, const PlanEntry& e) {
    if (e.kind == Kind::Foreign) return;
    Ref dflt = getattr(e.prop.get(), names.Default);
    if (e.kind == Kind::Column) {
        Borrowed name(reinterpret_cast<BasePropertyObject*>(e.prop.get())->name);
        Ref keep = name && name.get() != Py_None ? name.ref() : Ref::borrow(e.name.get());
        setEntry(row, keep.get(), toObjValue(e.prop.get(), dflt.get()).get());
        // A key left None is left to the database anyway (when it generates
        // one), so only other columns need the record.
        auto* prop = reinterpret_cast<BasePropertyObject*>(e.prop.get());
        if (!prop->isPk && databaseDefault(e.prop.get())) markDatabaseDefault(row, keep.get());
    } else {
        Ref key = getattr(e.prop.get(), names.name);
        setEntry(row, key.get(), callMethod(e.prop.get(), names.toObjValue, dflt.get()).get());
    }
}

inline bool sameText(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (!PyUnicode_Check(a) || !PyUnicode_Check(b)) return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), (size_t)n * PyUnicode_KIND(a)) == 0;
}

// Whether a value may take part in a reference cycle (see untrackAtomicRow).
inline bool mayBeTracked(PyObject* o) {
    return PyObject_IS_GC(o) && (!PyTuple_CheckExact(o) || PyObject_GC_IsTracked(o));
}

// The common fetched row: a plain dict holding exactly the model's columns in
// mapping order.  It is cloned in one step and only the values that a
// conversion changes are replaced; the result is the one the general path
// builds.  Returns false (row untouched) for any other shape.  `*atomic`
// (when given) tells whether every value the row ends with is atomic (its
// keys are texts).
bool fillFetched(PyObject* row, const RowPlan& plan, PyObject* source, bool convert, bool* atomic = nullptr) {
    size_t n = plan.columns.size();
    if (!plan.columnsOnly || !PyDict_CheckExact(source) || PyDict_GET_SIZE(row) != 0 ||
        PyDict_GET_SIZE(source) != (Py_ssize_t)n)
        return false;
    // The values in column order, held: a conversion may run Python code.
    Ref few[16];
    std::vector<Ref> many;
    Ref* values = few;
    if (n > 16) {
        many.resize(n);
        values = many.data();
    }
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    size_t i = 0;
    for (const PlanEntry* e : plan.columns) {
        if (!PyDict_Next(source, &pos, &key, &value) || !sameText(key, e->name.get())) return false;
        values[i++] = Ref::borrow(value);
    }
    check(PyDict_Update(row, source));
    bool onlyAtomic = true;
    i = 0;
    for (const PlanEntry* e : plan.columns) {
        Ref& v = values[i++];
        if (convert) {
            Ref converted = toObjValue(e->prop.get(), v.get());
            if (converted.get() != v.get()) {
                setEntry(row, e->name.get(), converted.get());
                v = std::move(converted);
            }
        }
        if (onlyAtomic && mayBeTracked(v.get())) onlyAtomic = false;
    }
    if (atomic) *atomic = onlyAtomic;
    return true;
}

// Fills `row` from `source` (a dict, or null for no values) following the
// model's mapping: conversion through the properties when `convert`, nested
// rows for foreign keys, defaults for the columns not given.
void fillRowByMapping(PyObject* row, const RowPlan& plan, PyObject* source, bool convert);
void fillRow(PyObject* row, const RowPlan& plan, PyObject* source, bool convert) {
    if (source && fillFetched(row, plan, source, convert)) return;
    fillRowByMapping(row, plan, source, convert);
}

// fillRow for any source: entry by entry through the mapping.
void fillRowByMapping(PyObject* row, const RowPlan& plan, PyObject* source, bool convert) {
    bool prefilled = PyDict_GET_SIZE(row) != 0;  // pairs of a zip
    for (const PlanEntry& e : plan.entries) {
        PyObject* name = e.name.get();
        Ref value;
        if (source) {
            value = dictItem(source, name).ref();
        }
        if (value) {
            if (e.kind == Kind::Foreign && value.get() != Py_None) {
                if (Ref nested = nestedRows(e.prop.get(), value.get(), convert)) setEntry(row, name, nested.get());
            } else if (!convert) {
                setEntry(row, name, value.get());
            } else if (e.kind == Kind::Column) {
                setEntry(row, name, toObjValue(e.prop.get(), value.get()).get());
            }
            continue;
        }
        if (!convert) continue;
        if (prefilled) {
            Ref current = dictItem(row, name).ref();
            if (current) {
                // A zip value: converted in place; a relation value stays as it came.
                if (e.kind == Kind::Column)
                    setEntry(row, name, toObjValue(e.prop.get(), current.get()).get());
                else if (e.kind == Kind::Other)
                    setEntry(row, name, callMethod(e.prop.get(), names.toObjValue, current.get()).get());
                continue;
            }
        }
        fillDefault(row, e);
    }
}

// ===========================================================================
// ModelInstance
// ===========================================================================

ModelInstanceObject* asRow(PyObject* o) { return reinterpret_cast<ModelInstanceObject*>(o); }

PyObject* ModelInstance_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* self = PyDict_Type.tp_new(type, args, kwargs);  // the dict part ignores the arguments
    if (self) asRow(self)->_temp = Py_NewRef(Py_None);
    return self;
}

int ModelInstance_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(asRow(self)->_temp);
    return PyDict_Type.tp_traverse(self, visit, arg);
}

int ModelInstance_clear(PyObject* self) noexcept {
    Py_CLEAR(asRow(self)->_temp);
    return PyDict_Type.tp_clear(self);
}

void ModelInstance_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(asRow(self)->_temp);
    PyDict_Type.tp_dealloc(self);
    Py_DECREF(tp);
}

// The model class of a row: its class attribute `object`.
Borrowed rowModel(PyObject* row) {
    PyObject* model = lookupType(Py_TYPE(row), names.object);
    if (!model)
        raise(PyExc_AttributeError, "row class '%.200s' has no model: its class attribute 'object' is missing",
              Py_TYPE(row)->tp_name);
    return Borrowed(model);
}

int ModelInstance_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return boundary(-1, [&] {
        bool check = true;
        PyObject* source = kwargs;
        if (kwargs) {
            PyObject* flag = PyDict_GetItemWithError(kwargs, names.check);
            if (!flag) checkError();
            if (flag) check = truthy(flag);
        }
        if (PyTuple_GET_SIZE(args) > 0) {
            PyObject* first = PyTuple_GET_ITEM(args, 0);
            if (PyObject_TypeCheck(first, &PyZip_Type))
                quillon::check(PyDict_MergeFromSeq2(self, first, 1));
            else if (PyDict_Check(first))
                source = first;
        }
        Ref model = rowModel(self).ref();
        PlanPtr plan = planFor(model.get());
        fillRow(self, *plan, source, check);
        return 0;
    });
}

// Attribute read: the entry of that name first, then ordinary lookup.
PyObject* ModelInstance_getattro(PyObject* self, PyObject* name) noexcept {
    return entry([&] {
        if (!PyUnicode_Check(name)) raiseArgType("item", "str", name);
        PyObject* value = PyDict_GetItemWithError(self, name);
        if (value) return Ref::borrow(value);
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) throwPending();
        PyErr_Clear();
        return Ref::steal(PyObject_GenericGetAttr(self, name));
    });
}

// Attribute write: only the model's mapping names, stored as entries.
int ModelInstance_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
    return boundary(-1, [&] {
        if (!value) return PyObject_GenericSetAttr(self, name, nullptr);
        Ref model = rowModel(self).ref();
        Ref mapping = getattr(model.get(), names.mapping);
        if (!check(PySequence_Contains(mapping.get(), name))) {
            PyErr_SetNone(PyExc_KeyError);
            throwPending();
        }
        return check(PyDict_SetItem(self, name, value));
    });
}

// ===========================================================================
// buildRow: one fetched row of a model (the executors' hot path)
// ===========================================================================

// A fetched row holding only atomic values (numbers, texts, None) and keys
// cannot be part of a reference cycle, so the collector need not watch it:
// CPython leaves such plain dicts untracked, and so is such a row.  Storing
// a container in it later tracks it again (the dict's own insertion does,
// for a subclass too), and so does giving it a record of database defaults
// (markDatabaseDefault).  A row class with an instance dict stays tracked.
bool mayUntrack(PyObject* row) { return asRow(row)->_temp == Py_None && !hasInstanceDict(Py_TYPE(row)); }
void untrackAtomicRow(PyObject* row) {
    if (!mayUntrack(row)) return;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(row, &pos, &key, &value))
        if (mayBeTracked(key) || mayBeTracked(value)) return;
    PyObject_GC_UnTrack(row);
}

// Whether rows of the plan's row class can be made and filled natively.
bool nativelyBuilt(const RowPlan& plan) {
    if (plan.builderOverridden || !plan.rowClass || !plan.nativeRows) return false;
    auto* rowClass = plan.rowClass.as<PyTypeObject>();
    return rowClass->tp_new == ModelInstance_new && rowClass->tp_init == ModelInstance_init;
}

// One row by the plan; `values` is a dict.
Ref rowFromPlan(PyObject* model, const RowPlan& plan, PyObject* values, int check) {
    if (nativelyBuilt(plan)) {
        static PyObject* noArgs = PyTuple_New(0);
        Ref row = Ref::steal(ModelInstance_new(plan.rowClass.as<PyTypeObject>(), noArgs, nullptr));
        bool atomic = false;
        if (values && fillFetched(row.get(), plan, values, check != 0, &atomic)) {
            // The values were seen as they were stored: no second look.
            if (atomic && mayUntrack(row.get())) PyObject_GC_UnTrack(row.get());
        } else {
            fillRowByMapping(row.get(), plan, values, check != 0);
            untrackAtomicRow(row.get());
        }
        return row;
    }
    if (plan.builderOverridden) {
        Ref builder = getattr(model, names.instanceBuilder);
        return requireRow(callWithCheck(builder.get(), values, check));
    }
    if (!plan.rowClass) return getattr(model, names.modelInstance);  // raises the AttributeError
    return requireRow(callWithCheck(plan.rowClass.get(), values, check));
}

PyObject* buildRow(PyObject* model, PyObject* values, int check) noexcept {
    return entry([&]() -> Ref {
        if (!PyType_Check(model)) raiseConvert(model, "type");
        if (!PyDict_Check(values)) raiseConvert(values, "dict");
        PlanPtr plan = planFor(model);
        return rowFromPlan(model, *plan, values, check);
    });
}

PyObject* buildRows(PyObject* model, PyObject* rows, int check) noexcept {
    return entry([&]() -> Ref {
        if (!PyType_Check(model)) raiseConvert(model, "type");
        Ref seq = Ref::steal(PySequence_Fast(rows, "rows must be a sequence of dicts"));
        Ref out = Ref::steal(InstanceListType->tp_alloc(InstanceListType, 0));
        PlanPtr plan = planFor(model);
        // A conversion run in Python may change the list of rows (its size is
        // read again for each row, and the row is held) or the model (the
        // rows keep to a fresh plan).
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            Ref values = fastItem(seq.get(), i).ref();
            if (!PyDict_Check(values.get())) raiseConvert(values.get(), "dict");
            if (!fresh(*plan, model)) plan = planFor(model);
            quillon::check(PyList_Append(out.get(), rowFromPlan(model, *plan, values.get(), check).get()));
        }
        return out;
    });
}

// ===========================================================================
// InstanceList
// ===========================================================================

int InstanceList_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    return PyList_Type.tp_traverse(self, visit, arg);
}

void InstanceList_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyList_Type.tp_dealloc(self);
    Py_DECREF(tp);
}

// Native-only length: a failure is reported, never raised.
Py_ssize_t InstanceList_len(PyObject* self) noexcept {
    Py_ssize_t n = PyObject_Length(self);
    if (n < 0) {
        PyErr_WriteUnraisable(imports.lenContext);
        return 0;
    }
    return n;
}

const InstanceListOps instanceListOps = {InstanceList_len};

// ===========================================================================
// _Entity
// ===========================================================================

EntityObject* asEntity(PyObject* o) { return reinterpret_cast<EntityObject*>(o); }

const size_t entityFieldOffsets[] = {offsetof(EntityObject, col), offsetof(EntityObject, mapping),
                                     offsetof(EntityObject, modelInstance), offsetof(EntityObject, tableName)};
const FieldList entityFields{entityFieldOffsets, 4};

PyObject* Entity_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    return entry([&] {
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        initFieldsNone(self.get(), entityFields);
        return self;
    });
}

Ref Entity_getTableName(PyObject* self) {
    PyObject* v = asEntity(self)->tableName;
    return Ref::borrow(v ? v : Py_None);
}
void Entity_setTableName(PyObject* self, PyObject* value) {
    if (!value) value = Py_None;
    requireStrOrNone("tableName", value);
    assignField(asEntity(self)->tableName, value);
}

// instanceBuilder(*args, **kwargs): a row of the model's row class.
Ref Entity_instanceBuilder(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref rowClass = getattr(cls, names.modelInstance);
    return requireRow(Ref::steal(PyObject_Vectorcall(rowClass.get(), args, nargs, kwnames)));
}

PyMethodDef entityMethods[] = {
    Q_FAST_CLASS("instanceBuilder", Entity_instanceBuilder,
                 "instanceBuilder(*args, **kwargs) -> a row of the model (cls.modelInstance(*args, **kwargs))"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef entityGetSet[] = {
    Q_GETSET("tableName", Entity_getTableName, Entity_setTableName, "the table name (str or None)"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot entitySlots[] = {
    {Py_tp_new, (void*)Entity_new},
    {Py_tp_dealloc, (void*)deallocObject<entityFields>},
    {Py_tp_traverse, (void*)traverseObject<entityFields>},
    {Py_tp_clear, (void*)clearObject<entityFields>},
    {Py_tp_methods, entityMethods},
    {Py_tp_getset, entityGetSet},
    {Py_tp_doc, (void*)"Native base of every model class."},
    {0, nullptr},
};

// ===========================================================================
// _EntityMeta
// ===========================================================================

// getPropertyObj(cls, attrs) -> (columns, mapping, foreign keys)
Ref propertyObjects(PyObject* attrs) {
    Ref cols = Ref::steal(PyList_New(0));
    Ref mapping = Ref::steal(PyDict_New());
    Ref fks = Ref::steal(PyList_New(0));
    auto classify = [&](PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) raiseConvert(key, "str");
        if (isProperty(value))
            check(PyList_Append(cols.get(), value));
        else if (isForeignKey(value))
            check(PyList_Append(fks.get(), value));
        else
            return;
        check(PyDict_SetItem(mapping.get(), key, value));
    };
    if (PyDict_Check(attrs)) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(attrs, &pos, &key, &value)) {
            Ref k = Ref::borrow(key), v = Ref::borrow(value);
            classify(k.get(), v.get());
        }
    } else {
        Ref items = callMethod(attrs, names.items);
        Ref iter = Ref::steal(PyObject_GetIter(items.get()));
        while (Ref pair = Ref::stealOrNull(PyIter_Next(iter.get()))) {
            Ref seq = Ref::steal(PySequence_Tuple(pair.get()));
            if (PyTuple_GET_SIZE(seq.get()) != 2) raise(PyExc_ValueError, "items() must yield (name, value) pairs");
            classify(PyTuple_GET_ITEM(seq.get(), 0), PyTuple_GET_ITEM(seq.get(), 1));
        }
        checkError();
    }
    return tupleOf({cols.get(), mapping.get(), fks.get()});
}

const Signature<2> getPropertyObjSig{"getPropertyObj", {"cls", "attrs"}, 2};
Ref Meta_getPropertyObj(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(getPropertyObjSig, args, nargs, kwnames);
    return propertyObjects(b[1]);
}

// buildModelInstance(cls, cols, name): the row class `<name>Instance`.
const Signature<3> buildModelInstanceSig{"buildModelInstance", {"cls", "cols", "name"}, 3};
Ref Meta_buildModelInstance(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(buildModelInstanceSig, args, nargs, kwnames);
    Ref rowName = Ref::steal(PyUnicode_Concat(b[2], names.Instance));
    Ref bases = tupleOf({(PyObject*)ModelInstanceType});
    Ref ns = Ref::steal(PyDict_New());
    check(PyDict_SetItem(ns.get(), names.object, b[0]));
    Ref temp = Ref::steal(PyDict_New());
    check(PyDict_SetItemString(ns.get(), "_temp", temp.get()));
    // Rows keep everything in their entries: no per-row attribute dict, so a
    // row costs about what a plain dict does.
    Ref noSlots = Ref::steal(PyTuple_New(0));
    check(PyDict_SetItemString(ns.get(), "__slots__", noSlots.get()));
    return call((PyObject*)&PyType_Type, rowName.get(), bases.get(), ns.get());
}

// buildPydanticModel(cls, cols, name, fk): the pydantic model of the class.
//
// It describes rows as users see them: each field has the Python type of the
// column's values (any JSON value for a JSON column, a datetime for a
// timestamp), its default in Python form (what a row built without the
// column holds), and a column that may hold NULL, or whose value the
// database assigns, is optional.
const Signature<4> buildPydanticModelSig{"buildPydanticModel", {"cls", "cols", "name", "fk"}, 4};

// The Python type of a column's values.
Ref fieldType(PyObject* prop) {
    if (check(PyObject_IsInstance(prop, imports.JsonProperty))) return Ref::borrow(imports.JsonValue);
    if (check(PyObject_IsInstance(prop, imports.TimestampProperty))) return Ref::borrow(imports.datetimeType);
    Borrowed type(reinterpret_cast<BasePropertyObject*>(prop)->_Type);
    if (!type || type.get() == Py_None) return importFrom("typing", "Any");
    return type.ref();
}

// Whether the declared default is a marker whose value the database
// assigns (auto_increment, current_timestamp) rather than a value.
bool databaseAssigned(PyObject* prop) {
    Ref declared = Borrowed(reinterpret_cast<BasePropertyObject*>(prop)->_default).ref();
    if (declared.get() == (PyObject*)columnsApi->AutoIncrement) return true;
    Ref generator = importFrom("Quillon.DB.Generator", "BaseSqlGenerator");
    return check(PyObject_IsInstance(declared.get(), generator.get())) != 0;
}

// The default of a field in Python form: the row value of the column's
// declared default; a timestamp's text becomes the datetime it names.
Ref fieldDefault(PyObject* prop) {
    Ref stored = getattr(prop, names.Default);
    Ref value = toObjValue(prop, stored.get());
    if (PyUnicode_Check(value.get()) && check(PyObject_IsInstance(prop, imports.TimestampProperty))) {
        Ref parsed = Ref::stealOrNull(PyObject_CallMethod(imports.datetimeType, "fromisoformat", "O", value.get()));
        if (parsed) return parsed;
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throwPending();
        PyErr_Clear();
    }
    return value;
}

Ref Meta_buildPydanticModel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(buildPydanticModelSig, args, nargs, kwnames);
    Ref fields = Ref::steal(PyDict_New());
    Ref cols = Ref::steal(PySequence_Fast(b[1], "cols must be a sequence of properties"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(cols.get()); ++i) {
        Ref prop = fastItem(cols.get(), i).ref();
        if (prop.get() == Py_None) continue;
        requireConvertible(prop.get(), columnsApi->BaseProperty, false);
        Ref type = fieldType(prop.get());
        bool optional = prop.as<BasePropertyObject>()->Null != 0;
        Ref dflt;
        if (truthy(getattr(prop.get(), names.hasDefault).get())) {
            if (databaseAssigned(prop.get())) {
                optional = true;
                dflt = Ref::none();
            } else {
                dflt = fieldDefault(prop.get());
                if (dflt.get() == Py_None) optional = true;
            }
        } else {
            dflt = Ref::borrow(optional ? Py_None : Py_Ellipsis);
        }
        if (optional) type = Ref::steal(PyObject_GetItem(imports.Optional, type.get()));
        Borrowed name(prop.as<BasePropertyObject>()->name);
        Ref key = name ? name.ref() : Ref::none();
        check(PyObject_SetItem(fields.get(), key.get(), tupleOf({type.get(), dflt.get()}).get()));
    }
    Ref fks = Ref::steal(PySequence_Fast(b[3], "fk must be a sequence of foreign keys"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fks.get()); ++i) {
        Ref key = fastItem(fks.get(), i).ref();
        Ref type = Ref::steal(PyObject_GetItem(key.get(), names.Type));
        Ref fieldName = Ref::steal(PyObject_GetItem(key.get(), names.name));
        Ref target = Ref::steal(PyObject_GetItem(key.get(), names.target));
        Ref targetModel = getattr(target.get(), names.MODEL);
        Ref field;
        if (check(PyObject_RichCompareBool(type.get(), imports.ONE_TO_ONE, Py_EQ))) {
            field = tupleOf({Ref::steal(PyObject_GetItem(imports.Optional, targetModel.get())).get(), Py_None});
        } else {
            Ref listType = Ref::steal(PyObject_GetItem(imports.List, targetModel.get()));
            field = tupleOf({listType.get(), Ref::steal(PyList_New(0)).get()});
        }
        check(PyObject_SetItem(fields.get(), fieldName.get(), field.get()));
    }
    Ref nameArgs = tupleOf({b[2]});
    Ref created = Ref::steal(PyObject_Call(imports.create_model, nameArgs.get(), fields.get()));
    call(imports.pydantic_support, created.get());
    return created;
}

// __new__(cls, name, bases, attrs, **kwargs): a model class.
const Signature<3> metaNewSig{"__new__", {"name", "bases", "attrs"}, 3, false, true};
PyObject* Meta_new(PyTypeObject* meta, PyObject* args, PyObject* kwargs) noexcept {
    return entry([&] {
        auto b = bind(metaNewSig, args, kwargs);
        PyObject *name = b[0], *bases = b[1], *attrs = b[2];
        requireStrOrNone("name", name);
        requireTupleOrNone("bases", bases);
        requireDictOrNone("attrs", attrs);
        PyObject* cls = (PyObject*)meta;
        Ref found = callMethod(cls, "getPropertyObj", cls, attrs);
        if (!PyTuple_Check(found.get()) || PyTuple_GET_SIZE(found.get()) != 3) raiseConvert(found.get(), "tuple");
        // attrs is a dict here: getPropertyObj has already refused None.
        PyObject* cols = PyTuple_GET_ITEM(found.get(), 0);
        PyObject* fks = PyTuple_GET_ITEM(found.get(), 2);
        check(PyDict_SetItem(attrs, names.col, cols));
        check(PyDict_SetItem(attrs, names.mapping, PyTuple_GET_ITEM(found.get(), 1)));
        check(PyDict_SetItem(attrs, names.fk, fks));
        PyObject* table = PyDict_GetItemWithError(attrs, names.tableName);
        if (!table) checkError();
        if (!table || !truthy(table)) check(PyDict_SetItem(attrs, names.tableName, get_lower_case_name(name).get()));

        Ref typeArgs = tupleOf({name, bases, attrs});
        Ref model = Ref::steal(PyType_Type.tp_new(meta, typeArgs.get(), nullptr));
        check(PyList_Append(imports.ModelList, model.get()));
        Ref rowClass = callMethod(cls, "buildModelInstance", model.get(), cols, name);
        setattr(model.get(), names.modelInstance, rowClass.get());
        Ref pydanticModel = callMethod(cls, "buildPydanticModel", model.get(), cols, name, fks);
        setattr(model.get(), names.MODEL, pydanticModel.get());
        return model;
    });
}

PyMethodDef metaMethods[] = {
    Q_FAST_STATIC("getPropertyObj", Meta_getPropertyObj,
                  "getPropertyObj(cls, attrs) -> (column properties, mapping, foreign keys) in class-body order"),
    Q_FAST_STATIC("buildModelInstance", Meta_buildModelInstance,
                  "buildModelInstance(cls, cols, name) -> the row class <name>Instance of the model"),
    Q_FAST_STATIC("buildPydanticModel", Meta_buildPydanticModel,
                  "buildPydanticModel(cls, cols, name, fk) -> the pydantic model of the model class"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot metaSlots[] = {
    {Py_tp_new, (void*)Meta_new},
    {Py_tp_methods, metaMethods},
    {Py_tp_doc, (void*)"Metaclass of the models: turns a class body into a table description."},
    {0, nullptr},
};

// ===========================================================================
// Entity and MiddleEntity (classes made with the metaclass)
// ===========================================================================

// Entity.__new__(cls, *args, **kwargs): a row, never a model object.
Ref Entity_dunderNew(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 1) raise(PyExc_TypeError, "Entity.__new__(): not enough arguments");
    PyObject* cls = args[0];
    Ref builder = getattr(cls, names.instanceBuilder);
    return requireRow(Ref::steal(PyObject_Vectorcall(builder.get(), args + 1, nargs - 1, kwnames)));
}

const Signature<1> workSig{"getExecutor", {"work"}, 0};
const Signature<1> asyncWorkSig{"getAsyncExecutor", {"work"}, 0};

Ref asyncExecutor(PyObject* cls, PyObject* work) {
    return call((PyObject*)executorsApi->AsyncModelExecutor, cls, work);
}

Ref Entity_getAsyncExecutor(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(asyncWorkSig, args + 1, nargs - 1, kwnames);
    return asyncExecutor(args[0], b.get(0, Py_None));
}

// The executor for the connector that is active now: read on every call.
Ref Entity_getExecutor(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(workSig, args + 1, nargs - 1, kwnames);
    PyObject* cls = args[0];
    PyObject* work = b.get(0, Py_None);
    if (activeConnectorIsAsync(dbApi)) return callMethod(cls, "getAsyncExecutor", work);
    return call((PyObject*)executorsApi->ModelExecutor, cls, work);
}

Ref Middle_instanceBuilder(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return Ref::none(); }

// getOtherFkBy(model): the foreign key leading away from `model`.
const Signature<1> otherSig{"getOtherFkBy", {"model"}, 1};
Ref otherFk(PyObject* cls, PyObject* model) {
    Ref fks = getattr(cls, names.fk);
    Ref first = Ref::steal(PySequence_GetItem(fks.get(), 0));
    Ref target = getattr(first.get(), names.target);
    if (target.get() == model) return Ref::steal(PySequence_GetItem(fks.get(), 1));
    return first;
}
Ref Middle_getOtherFkBy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(otherSig, args + 1, nargs - 1, kwnames);
    return otherFk(args[0], b[0]);
}
const Signature<1> otherModelSig{"getOtherModelBy", {"model"}, 1};
Ref Middle_getOtherModelBy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(otherModelSig, args + 1, nargs - 1, kwnames);
    Ref key = callMethod(args[0], names.getOtherFkBy, b[0]);
    return getattr(key.get(), names.target);
}

PyMethodDef entityNewDef = Q_FAST("__new__", Entity_dunderNew, "__new__(cls, *args, **kwargs) -> cls.instanceBuilder(*args, **kwargs)");
PyMethodDef getExecutorDef =
    Q_FAST("getExecutor", Entity_getExecutor,
           "getExecutor(work=None) -> ModelExecutor, or the async executor while the active connector is async");
PyMethodDef getAsyncExecutorDef =
    Q_FAST("getAsyncExecutor", Entity_getAsyncExecutor, "getAsyncExecutor(work=None) -> AsyncModelExecutor(cls, work)");
PyMethodDef middleBuilderDef =
    Q_FAST("instanceBuilder", Middle_instanceBuilder, "instanceBuilder(*args, **kwargs) -> None: middle models have no rows");
PyMethodDef getOtherFkByDef =
    Q_FAST("getOtherFkBy", Middle_getOtherFkBy, "getOtherFkBy(model) -> the foreign key that leads to the other side");
PyMethodDef getOtherModelByDef =
    Q_FAST("getOtherModelBy", Middle_getOtherModelBy, "getOtherModelBy(model) -> the model class on the other side");

enum class Bind { Static, Class };
void putFunction(PyObject* ns, PyObject* module, PyMethodDef* def, Bind how) {
    Ref fn = Ref::steal(PyCFunction_NewEx(def, nullptr, PyModule_GetNameObject(module)));
    Ref wrapped = Ref::steal(how == Bind::Static ? PyStaticMethod_New(fn.get()) : PyClassMethod_New(fn.get()));
    check(PyDict_SetItemString(ns, def->ml_name, wrapped.get()));
}

Ref makeModel(PyObject* module, const char* name, PyObject* base, PyObject* ns, const char* doc) {
    check(PyDict_SetItemString(ns, "__module__", PyModule_GetNameObject(module)));
    check(PyDict_SetItemString(ns, "__doc__", str(doc).get()));
    Ref bases = tupleOf({base});
    return call((PyObject*)EntityMetaType, str(name).get(), bases.get(), ns);
}

// ===========================================================================
// Module
// ===========================================================================

constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE;

PyType_Spec entitySpec = {"Quillon.Model.Entity._Entity", sizeof(EntityObject), 0, kFlags | Py_TPFLAGS_HAVE_GC,
                          entitySlots};
// The metaclass inherits GC support (and its traverse) from `type`.
PyType_Spec metaSpec = {"Quillon.Model.Entity._EntityMeta", 0, 0, kFlags, metaSlots};

PyType_Slot rowSlots[] = {
    {Py_tp_new, (void*)ModelInstance_new},
    {Py_tp_init, (void*)ModelInstance_init},
    {Py_tp_traverse, (void*)ModelInstance_traverse},
    {Py_tp_clear, (void*)ModelInstance_clear},
    {Py_tp_dealloc, (void*)ModelInstance_dealloc},
    {Py_tp_getattro, (void*)ModelInstance_getattro},
    {Py_tp_setattro, (void*)ModelInstance_setattro},
    {Py_tp_doc, (void*)"A row of a model: a dict of column values that also reads and writes them as attributes."},
    {0, nullptr},
};
PyType_Spec rowSpec = {"Quillon.Model.Entity.ModelInstance", sizeof(ModelInstanceObject), 0,
                       kFlags | Py_TPFLAGS_HAVE_GC, rowSlots};

PyType_Slot listSlots[] = {
    {Py_tp_traverse, (void*)InstanceList_traverse},
    {Py_tp_dealloc, (void*)InstanceList_dealloc},
    {Py_tp_doc, (void*)"A list of model rows."},
    {0, nullptr},
};
PyType_Spec listSpec = {"Quillon.Model.Entity.InstanceList", sizeof(InstanceListObject), 0,
                        kFlags | Py_TPFLAGS_HAVE_GC, listSlots};

void internNames() {
    struct {
        PyObject** slot;
        const char* text;
    } table[] = {
        {&names.Default, "Default"}, {&names.check, "check"}, {&names.object, "object"},
        {&names.mapping, "mapping"}, {&names.instanceBuilder, "instanceBuilder"},
        {&names.modelInstance, "modelInstance"}, {&names.Type, "Type"}, {&names.target, "target"},
        {&names.name, "name"}, {&names.directTarget, "directTarget"}, {&names.tableName, "tableName"},
        {&names.col, "col"}, {&names.fk, "fk"}, {&names.MODEL, "MODEL"}, {&names.hasDefault, "hasDefault"},
        {&names.toObjValue, "toObjValue"}, {&names.items, "items"}, {&names.getOtherFkBy, "getOtherFkBy"},
        {&names.Model, "Model"}, {&names.empty, ""}, {&names.Instance, "Instance"}, {&names.underscore, "_"},
    };
    for (auto& e : table)
        if (!*e.slot) *e.slot = interned(e.text).release();
}

void exec(PyObject* module) {
    internNames();
    EntityBaseType = addType(module, &entitySpec);
    EntityMetaType = addType(module, &metaSpec, &PyType_Type);
    ModelInstanceType = addType(module, &rowSpec, &PyDict_Type);
    InstanceListType = addType(module, &listSpec, &PyList_Type);

    // The registry of every model class, a class attribute of the (immutable) metaclass.
    Ref registry = Ref::steal(PyList_New(0));
    check(PyDict_SetItemString(EntityMetaType->tp_dict, "ModelList", registry.get()));
    PyType_Modified(EntityMetaType);
    imports.ModelList = registry.release();
    imports.builderDescr = PyDict_GetItemWithError(EntityBaseType->tp_dict, names.instanceBuilder);
    if (!imports.builderDescr) throwPending();
    imports.lenContext = interned("Quillon.Model.Entity.InstanceList.len").release();

    api._Entity = EntityBaseType;
    api._EntityMeta = EntityMetaType;
    api.ModelInstance = ModelInstanceType;
    api.InstanceList = InstanceListType;
    api.instanceListOps = &instanceListOps;
    api.buildRow = buildRow;
    api.buildRows = buildRows;
    publish(module, &api, kEntityCapsule);

    columnsApi = bindApi<ColumnsApi>("Quillon.Model.Columns", kColumnsCapsule);
    generatorApi = bindApi<GeneratorApi>("Quillon.DB.Generator", kGeneratorCapsule);
    bindApi<ConnectorApi>("Quillon.DB.Connector", kConnectorCapsule);
    dbApi = bindApi<DBApi>("Quillon.DB.DB", kDBCapsule);
    executorsApi = bindApi<ExecutorsApi>("Quillon.Model.Executors", kExecutorsCapsule);

    imports.Optional = importFrom("typing", "Optional").release();
    imports.List = importFrom("typing", "List").release();
    Ref columns = importModule("Quillon.Model.Columns");
    imports.ForeignKey = getattr(columns.get(), "ForeignKey").release();
    Ref foreignType = getattr(columns.get(), "ForeignType");
    imports.ONE_TO_ONE = getattr(foreignType.get(), "ONE_TO_ONE").release();
    imports.ONE_TO_MANY = getattr(foreignType.get(), "ONE_TO_MANY").release();
    imports.MANY_TO_MANY = getattr(foreignType.get(), "MANY_TO_MANY").release();
    imports.create_model = importFrom("pydantic", "create_model").release();
    {
        Ref pydantic = importModule("pydantic");
        imports.JsonValue = Ref::stealOrNull(PyObject_GetAttrString(pydantic.get(), "JsonValue")).release();
        if (!imports.JsonValue) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throwPending();
            PyErr_Clear();
            imports.JsonValue = importFrom("typing", "Any").release();
        }
    }
    imports.datetimeType = importFrom("datetime", "datetime").release();
    imports.TimestampProperty = getattr(columns.get(), "TimestampProperty").release();
    imports.JsonProperty = getattr(columns.get(), "JsonProperty").release();
    imports.pydantic_support = importFrom("Quillon.Ext.Decorators", "pydantic_support").release();

    // Entity and MiddleEntity pass through the metaclass like every model.
    Ref entityNs = Ref::steal(PyDict_New());
    putFunction(entityNs.get(), module, &entityNewDef, Bind::Static);
    putFunction(entityNs.get(), module, &getExecutorDef, Bind::Class);
    putFunction(entityNs.get(), module, &getAsyncExecutorDef, Bind::Class);
    check(PyDict_SetItemString(entityNs.get(), "pkName", Py_None));
    check(PyDict_SetItemString(entityNs.get(), "pkCol", Py_None));
    check(PyDict_SetItemString(entityNs.get(), "_db", (PyObject*)dbApi->DB));
    Ref entity = makeModel(module, "Entity", (PyObject*)EntityBaseType, entityNs.get(),
                           "Base of every model class: calling a model class builds a row of it.");
    addObject(module, "Entity", entity.get());

    Ref middleNs = Ref::steal(PyDict_New());
    putFunction(middleNs.get(), module, &middleBuilderDef, Bind::Class);
    putFunction(middleNs.get(), module, &getOtherFkByDef, Bind::Class);
    putFunction(middleNs.get(), module, &getOtherModelByDef, Bind::Class);
    Ref middle = makeModel(module, "MiddleEntity", entity.get(), middleNs.get(),
                           "Base of the middle model of a many-to-many relation; it has no row objects.");
    addObject(module, "MiddleEntity", middle.get());

    api.Entity = entity.release();
    api.MiddleEntity = middle.release();
}

PyModuleDef_Slot moduleSlots[] = {
    Q_MODULE_SLOTS(exec),
    {0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "Quillon.Model.Entity",
                         "Model declaration, rows and many-to-many middle models.", 0, nullptr, moduleSlots, nullptr,
                         nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Entity() { return PyModuleDef_Init(&moduleDef); }
