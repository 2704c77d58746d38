// Quillon.Model.Columns: column properties, filter cells and foreign keys.
//
// A model class body is written with the objects of this module.  Column
// properties (`BaseProperty` and its typed subclasses) describe a column and
// convert its values; comparisons on them build chains of `FilterListCell`s
// that the where renderer walks; `ForeignKey` records a relation.  Arithmetic
// on properties and the aggregate functions (`Count`, `Sum`, `Avg`, `Min`,
// `Max`) are `Expression`s, which compare like properties; `asc()`/`desc()`
// make `OrderTerm`s.
//
// The hot paths are native: a comparison builds its two cells and converts
// its operand in C++, `&`/`|` link chains in C++, and a fetched row's values
// are converted in C++.  Every operation a Python subclass may replace
// (`setFilter`, `toDBValue`, `toObjValue`, `sizeChecker`, `verifier`, `like`,
// and the cells' `append`/`_add`) is reached through a native table entry that
// asks once per class whether it is overridden, and only then calls Python.
#include <quillon/facade.hpp>
#include <quillon/layouts.hpp>
#include <quillon/native.hpp>
#include <quillon/override.hpp>
#include <quillon/sql.hpp>

#include <datetime.h>
#include <structmember.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

using namespace quillon;

namespace {

// ===========================================================================
// Module state
// ===========================================================================

PyTypeObject* NullDefaultType = nullptr;
PyTypeObject* AutoIncrementType = nullptr;
PyTypeObject* BasePropertyType = nullptr;
PyTypeObject* FilterListCellType = nullptr;
PyTypeObject* ForeignKeyType = nullptr;
PyTypeObject* ExpressionType = nullptr;
PyTypeObject* OrderTermType = nullptr;
GeneratorApi* gen = nullptr;
ColumnsApi api;

// Objects the module holds for the life of the process.
struct Held {
    PyObject* noDefault = nullptr;  // the no-default sentinel, not a module attribute
    PyObject* jsonDumps = nullptr;
    PyObject* jsonLoads = nullptr;
    PyObject* round = nullptr;
    PyObject* PropertyVerifyError = nullptr;
    PyObject* PrimaryKeyOverLimitError = nullptr;
    PyObject* PropertyUsageError = nullptr;
    PyObject* EmptyFilterValueError = nullptr;
    PyObject* boolTinyInt = nullptr;
    PyObject* boolBit = nullptr;
    PyObject* boolVarchar = nullptr;
    PyObject* manyToMany = nullptr;
    PyObject* oneToMany = nullptr;
    PyObject* oneToOne = nullptr;
    PyObject* ForeignKeyDependError = nullptr;
    PyObject* defaultTarget[6] = {};  // default targetType of each typed class, in class order
    PyObject* empty = nullptr;        // ""
    PyObject* emptyTuple = nullptr;
    PyObject* null = nullptr;         // "null"
    PyObject* percent = nullptr;      // "%"
    PyObject* likeSpecials = nullptr; // the characters a literal pattern escapes, escape character first
    PyObject* utc = nullptr;          // datetime.timezone.utc
    PyObject* fromIsoFormat = nullptr;  // datetime.datetime.fromisoformat
    PyObject* zeroDate = nullptr;     // "0000-00-00", MySQL's zero date
    PyObject* textTrue = nullptr;     // "true"
    PyObject* textFalse = nullptr;    // "false"
    PyObject* bitOne = nullptr;       // b"\x01"
    PyObject* bitZero = nullptr;      // b"\x00"
    PyObject* verifierContext = nullptr;
    PyObject* keyTarget = nullptr;
    PyObject* keyBindCol = nullptr;
    PyObject* keyType = nullptr;
    PyObject* keyTargetBindCol = nullptr;
    PyObject* keyMiddleModel = nullptr;
    PyObject* keyOwner = nullptr;
    PyObject* keyName = nullptr;
    PyObject* attrPkCol = nullptr;     // "pkCol"
    PyObject* attrTableName = nullptr; // "tableName"
    PyObject* unique = nullptr;        // "unique", the property's keyword
    PyObject* attrFk = nullptr;        // "fk"
    PyObject* modelWord = nullptr;     // "Model", dropped from middle class names
    PyObject* idSuffix = nullptr;      // "_id"
    PyObject* underscore = nullptr;    // "_"
};
Held held;

PyObject* keep(Ref r) { return r.release(); }

inline BasePropertyObject* prop(PyObject* o) { return reinterpret_cast<BasePropertyObject*>(o); }
inline FilterListCellObject* cellOf(PyObject* o) { return reinterpret_cast<FilterListCellObject*>(o); }
inline const BasePropertyOps* opsOf(PyObject* self) { return prop(self)->ops; }
inline ExpressionObject* exprOf(PyObject* o) { return reinterpret_cast<ExpressionObject*>(o); }
inline bool isExpression(PyObject* o) { return PyObject_TypeCheck(o, ExpressionType); }

// Raises an instance of one of the package's exception classes.
template <class... A>
[[noreturn]] void raiseNew(PyObject* excClass, A... args) {
    Ref exc = call(excClass, args...);
    PyErr_SetObject((PyObject*)Py_TYPE(exc.get()), exc.get());
    throwPending();
}

// ===========================================================================
// Filter cells
//
// A chain is a flat, singly linked list of cells.  Every walk relies on the
// chains being acyclic, so every way of linking cells (`append`, `_add`,
// assigning `next`) refuses a link that would close a loop.
// ===========================================================================

enum CellOp : size_t { CELL_APPEND = 0, CELL_ADD = 1 };
OverrideSet<2> cellOverrides{{"append", "_add"}};

const size_t cellOffsets[] = {offsetof(FilterListCellObject, value), offsetof(FilterListCellObject, next),
                              offsetof(FilterListCellObject, col)};
const FieldList cellFields{cellOffsets, 3};

FilterListCellObject* lastOf(PyObject* cell) {
    FilterListCellObject* c = cellOf(cell);
    while (c->next != Py_None) c = cellOf(c->next);
    return c;
}

// The payload test of the constructor: the empty string, or anything that
// compares equal to it.  Builtin scalars and containers never do, so they
// skip the comparison.
bool isEmptyPayload(PyObject* v) {
    if (PyUnicode_CheckExact(v)) return PyUnicode_GET_LENGTH(v) == 0;
    if (v == Py_None || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v) || PyBytes_CheckExact(v) ||
        PyTuple_CheckExact(v) || PyList_CheckExact(v) || PyDict_CheckExact(v))
        return false;
    // An expression compares into a filter chain; it is never empty.
    if (isExpression(v)) return false;
    Ref eq = Ref::steal(PyObject_RichCompare(v, held.empty, Py_EQ));
    return truthy(eq.get());
}

void refuseEmpty(PyObject* v) {
    if (isEmptyPayload(v)) raiseNew(held.EmptyFilterValueError);
}

[[noreturn]] void raiseCycle() {
    raise(PyExc_ValueError, "cannot link a filter chain to a chain that already contains it or that it contains");
}

Ref allocCell(PyTypeObject* type);

// A new native cell; the payload is refused before anything is allocated.
// The payload may be read from a field: it is held while its comparison with
// the empty string runs.
Ref newCell(PyObject* valueObject, int relationship, PyObject* col) {
    Ref value = Ref::borrow(valueObject);
    refuseEmpty(value.get());
    Ref cell = allocCell(FilterListCellType);
    FilterListCellObject* c = cell.as<FilterListCellObject>();
    assignField(c->value, std::move(value));
    c->relationship = relationship;
    assignField(c->col, col);
    return cell;
}

Ref appendNative(PyObject* self, PyObject* cell, int relationship) {
    FilterListCellObject* last = lastOf(self);
    if (cell != Py_None && lastOf(cell) == last) raiseCycle();
    assignField(last->next, cell);
    last->relationship = relationship;
    return Ref::borrow((PyObject*)last);
}

// `_add`: the right operand becomes a cell (or is a chain), is linked behind
// this chain, and the grouping written in Python is recorded so that
// `a & (b | c)` keeps its meaning when rendered.
Ref addNative(PyObject* self, PyObject* other, int relationship) {
    Ref tail;
    bool chain = false;
    if (PyObject_TypeCheck(other, BasePropertyType)) {
        tail = newCell(prop(other)->name, REL_NONE, other);
    } else if (PyObject_TypeCheck(other, FilterListCellType)) {
        tail = Ref::borrow(other);
        chain = true;
    } else {
        tail = newCell(other, REL_NONE, Py_None);
    }
    FilterListCellObject* head = cellOf(self);  // self: held by the caller
    // An overridden append may unlink either chain's last cell: both are
    // held until their grouping is recorded.
    Ref lastA = Borrowed((PyObject*)lastOf(self)).ref();
    Ref lastB = chain ? Borrowed((PyObject*)lastOf(tail.get())).ref() : Ref::borrow(tail.get());
    if (lastA.get() == lastB.get()) raiseCycle();

    if (cellOverrides.overridden(self, CELL_APPEND)) {
        Ref code = integer(relationship);
        callMethod(self, cellOverrides.name(CELL_APPEND), tail.get(), code.get());
    } else {
        assignField(lastA.as<FilterListCellObject>()->next, tail.get());
        lastA.as<FilterListCellObject>()->relationship = relationship;
    }

    if (chain && relationship == REL_AND) {
        if (head->topConnective == REL_OR) {
            head->openGroups++;
            lastA.as<FilterListCellObject>()->closeGroups++;
        }
        FilterListCellObject* right = tail.as<FilterListCellObject>();
        if (right->topConnective == REL_OR) {
            right->openGroups++;
            lastB.as<FilterListCellObject>()->closeGroups++;
        }
    }
    head->topConnective = relationship;
    return Ref::borrow(self);
}

PyObject* appendEntry(PyObject* self, PyObject* cell, int relationship) {
    return entry([&] {
        if (cellOverrides.overridden(self, CELL_APPEND)) {
            Ref code = integer(relationship);
            return callMethod(self, cellOverrides.name(CELL_APPEND), cell, code.get());
        }
        requireType("cell", cell, FilterListCellType, true);
        return appendNative(self, cell, relationship);
    });
}

PyObject* addEntry(PyObject* self, PyObject* other, int relationship) {
    return entry([&] {
        if (cellOverrides.overridden(self, CELL_ADD)) {
            Ref code = integer(relationship);
            return callMethod(self, cellOverrides.name(CELL_ADD), other, code.get());
        }
        return addNative(self, other, relationship);
    });
}

const FilterListCellOps cellOps{appendEntry, addEntry};

Ref allocCell(PyTypeObject* type) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    FilterListCellObject* c = self.as<FilterListCellObject>();
    c->ops = &cellOps;
    initFieldsNone(self.get(), cellFields);
    c->relationship = REL_NONE;
    c->openGroups = 0;
    c->closeGroups = 0;
    c->topConnective = -1;
    c->notGroups = 0;
    return self;
}

PyObject* cellNew(PyTypeObject* type, PyObject*, PyObject*) {
    return entry([&] { return allocCell(type); });
}

const Signature<3> cellSig{"FilterListCell", {"cell", "relationship", "col"}, 0};

int cellInit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary(-1, [&] {
        auto b = bind(cellSig, args, kwargs);
        PyObject* value = b.get(0, held.empty);
        int relationship = b[1] ? asInt32(b[1]) : REL_NONE;
        PyObject* col = b.get(2, Py_None);
        requireType("col", col, BasePropertyType, true);
        refuseEmpty(value);
        FilterListCellObject* c = cellOf(self);
        assignField(c->value, value);
        c->relationship = relationship;
        assignField(c->next, Py_None);
        assignField(c->col, col);
        c->openGroups = 0;
        c->closeGroups = 0;
        c->topConnective = -1;
        c->notGroups = 0;
        return 0;
    });
}

// Long chains are released without deep C recursion.
void cellDealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, cellDealloc)
    clearFields(self, cellFields);
    tp->tp_free(self);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

// `cell & other` and `cell | other` call `_add` of the left operand.
PyObject* combine(PyObject* left, PyObject* right, int relationship) {
    return entry([&] {
        if (Py_TYPE(left) == FilterListCellType) return addNative(left, right, relationship);
        Ref code = integer(relationship);
        return callMethod(left, cellOverrides.name(CELL_ADD), right, code.get());
    });
}
PyObject* cellAnd(PyObject* left, PyObject* right) { return combine(left, right, REL_AND); }
PyObject* cellOr(PyObject* left, PyObject* right) { return combine(left, right, REL_OR); }

// The groups one cell can open, negations among them (the bits of notGroups).
constexpr int kMostGroupsAtOneCell = 32;

// `~chain`: a copy of the chain wrapped in a negation, `NOT ( ... )`.  The
// chain itself is left as it is (it may be part of another chain); the
// negation reads as one comparison to the grouping of later `&` and `|`.
Ref negatedChain(PyObject* self) {
    Ref head, last;
    // Each cell is held while its copy is made: an allocation may run a
    // collection, whose finalizers may relink the chain.
    for (Ref cell = Ref::borrow(self); cell;) {
        Ref copy = allocCell(FilterListCellType);
        FilterListCellObject* from = cell.as<FilterListCellObject>();
        FilterListCellObject* to = copy.as<FilterListCellObject>();
        assignField(to->value, from->value);
        assignField(to->col, from->col);
        to->relationship = from->relationship;
        to->openGroups = from->openGroups;
        to->closeGroups = from->closeGroups;
        to->topConnective = from->topConnective;
        to->notGroups = from->notGroups;
        if (last) assignField(last.as<FilterListCellObject>()->next, copy.get());
        else head = Ref::borrow(copy.get());
        last = std::move(copy);
        PyObject* next = from->next;
        cell = next && next != Py_None ? Ref::borrow(next) : Ref();
    }
    FilterListCellObject* h = head.as<FilterListCellObject>();
    int at = h->openGroups > 0 ? h->openGroups : 0;
    if (at >= kMostGroupsAtOneCell)
        raise(PyExc_ValueError, "a filter can open %d groups before one comparison at most", kMostGroupsAtOneCell);
    h->notGroups |= 1u << at;
    h->openGroups = at + 1;
    last.as<FilterListCellObject>()->closeGroups++;
    h->topConnective = -1;
    return head;
}

PyObject* cellInvert(PyObject* self) {
    return entry([&] { return negatedChain(self); });
}

const Signature<2> appendSig{"append", {"cell", "relationship"}, 2};
const Signature<2> addSig{"_add", {"other", "relationship"}, 2};

Ref cellAppendMethod(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(appendSig, args, nargs, kwnames);
    requireType("cell", b[0], FilterListCellType, true);
    return appendNative(self, b[0], asInt32(b[1]));
}

Ref cellAddMethod(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(addSig, args, nargs, kwnames);
    return addNative(self, b[0], asInt32(b[1]));
}

Ref cellCheck(PyObject* self) {
    lastOf(self);
    return Ref::none();
}

void cellSetValue(PyObject* self, PyObject* v) { assignField(cellOf(self)->value, v ? v : Py_None); }
void cellSetRelationship(PyObject* self, PyObject* v) {
    if (!v) raise(PyExc_AttributeError, "cannot delete attribute 'relationship'");
    cellOf(self)->relationship = asInt32(v);
}
void cellSetNext(PyObject* self, PyObject* v) {
    if (!v) v = Py_None;
    requireConvertible(v, FilterListCellType);
    // Linking to a chain that reaches this cell would close a loop.
    if (v != Py_None) {
        for (PyObject* c = v; c != Py_None; c = cellOf(c)->next)
            if (c == self) raiseCycle();
    }
    assignField(cellOf(self)->next, v);
}
void cellSetCol(PyObject* self, PyObject* v) {
    if (!v) v = Py_None;
    requireConvertible(v, BasePropertyType);
    assignField(cellOf(self)->col, v);
}

PyMethodDef cellMethods[] = {
    Q_FAST("append", cellAppendMethod,
           "append(cell, relationship) -> the last cell of this chain, which now links to `cell`"),
    Q_FAST("_add", cellAddMethod, "_add(other, relationship) -> this cell, with `other` linked at the end"),
    Q_NOARGS("check", cellCheck, "check() -> None; walks to the end of the chain"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef cellGetSet[] = {
    Q_GETSET("value", fieldGetter<offsetof(FilterListCellObject, value)>, cellSetValue,
             "payload: a column name or a value"),
    Q_GETSET("relationship", intFieldGetter<offsetof(FilterListCellObject, relationship)>, cellSetRelationship,
             "code of the link to the next cell"),
    Q_GETSET("next", fieldGetter<offsetof(FilterListCellObject, next)>, cellSetNext, "the following cell or None"),
    Q_GETSET("col", fieldGetter<offsetof(FilterListCellObject, col)>, cellSetCol,
             "the property of a column cell, else None"),
    Q_GETTER("openGroups", intFieldGetter<offsetof(FilterListCellObject, openGroups)>,
             "groups that open before this cell when rendered"),
    Q_GETTER("closeGroups", intFieldGetter<offsetof(FilterListCellObject, closeGroups)>,
             "groups that close after this cell when rendered"),
    Q_GETTER("topConnective", intFieldGetter<offsetof(FilterListCellObject, topConnective)>,
             "the connective that last joined this chain (-1: none)"),
    Q_GETTER("notGroups", intFieldGetter<offsetof(FilterListCellObject, notGroups)>,
             "which groups opened before this cell are negations (bit i: the i-th from the innermost)"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot cellSlots[] = {
    {Py_tp_doc, (void*)"FilterListCell(cell='', relationship=8, col=None)\n\nOne link of a filter chain."},
    {Py_tp_new, (void*)cellNew},
    {Py_tp_init, (void*)cellInit},
    {Py_tp_traverse, (void*)traverseObject<cellFields>},
    {Py_tp_clear, (void*)clearObject<cellFields>},
    {Py_tp_dealloc, (void*)cellDealloc},
    {Py_tp_methods, cellMethods},
    {Py_tp_getset, cellGetSet},
    {Py_nb_and, (void*)cellAnd},
    {Py_nb_or, (void*)cellOr},
    {Py_nb_invert, (void*)cellInvert},
    {0, nullptr},
};

constexpr unsigned long kTypeFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC;

PyType_Spec cellSpec = {"Quillon.Model.Columns.FilterListCell", sizeof(FilterListCellObject), 0, kTypeFlags,
                        cellSlots};

PyObject* apiNewFilterCell(PyObject* value, int relationship, PyObject* col) {
    return entry([&] {
        requireType("col", col, BasePropertyType, true);
        return newCell(value, relationship, col);
    });
}

// ===========================================================================
// Markers: NullDefault and AutoIncrement
// ===========================================================================

void markerDealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot nullDefaultSlots[] = {
    {Py_tp_doc, (void*)"NullDefault()\n\nMarker of a property declared without a default."},
    {Py_tp_dealloc, (void*)markerDealloc},
    {0, nullptr},
};
PyType_Spec nullDefaultSpec = {"Quillon.Model.Columns.NullDefault", sizeof(PyObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, nullDefaultSlots};

PyType_Slot autoIncrementSlots[] = {
    {Py_tp_doc, (void*)"AutoIncrement()\n\nMarker of an auto-increment column (pass the class as `default`)."},
    {Py_tp_dealloc, (void*)markerDealloc},
    {0, nullptr},
};
PyType_Spec autoIncrementSpec = {"Quillon.Model.Columns.AutoIncrement", sizeof(PyObject), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
                                 autoIncrementSlots};

// ===========================================================================
// BaseProperty: operation table
// ===========================================================================

enum PropertyOp : size_t { OP_SIZE_CHECKER = 0, OP_VERIFIER, OP_SET_FILTER, OP_TO_DB, OP_TO_OBJ, OP_LIKE };
OverrideSet<6> propertyOverrides{{"sizeChecker", "verifier", "setFilter", "toDBValue", "toObjValue", "like"}};

// A property of one of our typed classes also carries an attribute dictionary.
struct TypedPropertyObject {
    BasePropertyObject base;
    PyObject* dict;
};

const size_t propertyOffsets[] = {
    offsetof(BasePropertyObject, name),     offsetof(BasePropertyObject, _Type),
    offsetof(BasePropertyObject, _default), offsetof(BasePropertyObject, _targetType),
    offsetof(BasePropertyObject, model),    offsetof(BasePropertyObject, define),
    offsetof(BasePropertyObject, typeArgs)};
const FieldList propertyFields{propertyOffsets, 7};
const size_t typedOffsets[] = {
    offsetof(BasePropertyObject, name),     offsetof(BasePropertyObject, _Type),
    offsetof(BasePropertyObject, _default), offsetof(BasePropertyObject, _targetType),
    offsetof(BasePropertyObject, model),    offsetof(BasePropertyObject, define),
    offsetof(BasePropertyObject, typeArgs), offsetof(TypedPropertyObject, dict)};
const FieldList typedFields{typedOffsets, 8};

using Conversion = Ref (*)(PyObject* self, PyObject* value);

// Errors in `verifier` never reach its caller: they go to the interpreter's
// unraisable hook and the check answers False.
void reportUnraisable() { PyErr_WriteUnraisable(held.verifierContext); }

int sizeCheckerEntry(PyObject* self, PyObject* value) {
    return boundary(-1, [&] {
        if (!propertyOverrides.overridden(self, OP_SIZE_CHECKER)) return 1;
        Ref r = callMethod(self, propertyOverrides.name(OP_SIZE_CHECKER), value);
        return truthy(r.get()) ? 1 : 0;
    });
}

int verifierNative(PyObject* self, PyObject* value) noexcept {
    try {
        // The instance check may run Python code that re-initialises the
        // property: its type is held.
        Ref heldType = Borrowed(prop(self)->_Type).ref();
        PyObject* valueType = heldType.get();
        if (!isInstance(value, valueType)) {
            Ref converted = Ref::stealOrNull(PyObject_CallOneArg(valueType, value));
            if (!converted) {
                PyObject *t, *v, *tb;
                PyErr_Fetch(&t, &v, &tb);
                PyErr_NormalizeException(&t, &v, &tb);
                if (tb && v) PyException_SetTraceback(v, tb);
                Ref cause = Ref::stealOrNull(v);
                Py_XDECREF(t);
                Py_XDECREF(tb);
                Ref exc = call(held.PropertyVerifyError, value, valueType);
                if (cause) PyException_SetContext(exc.get(), cause.release());
                PyErr_SetObject((PyObject*)Py_TYPE(exc.get()), exc.get());
                throwPending();
            }
        }
        int r = opsOf(self)->sizeChecker(self, value);
        if (r < 0) throwPending();
        return r;
    } catch (PyError& e) {
        e.restore();
    } catch (...) {
        PyErr_NoMemory();
    }
    reportUnraisable();
    return 0;
}

int verifierEntry(PyObject* self, PyObject* value) noexcept {
    try {
        if (!propertyOverrides.overridden(self, OP_VERIFIER)) return verifierNative(self, value);
        Ref r = callMethod(self, propertyOverrides.name(OP_VERIFIER), value);
        return truthy(r.get()) ? 1 : 0;
    } catch (PyError& e) {
        e.restore();
    } catch (...) {
        PyErr_NoMemory();
    }
    reportUnraisable();
    return 0;
}

// The facade's module is bound on first use: loading the properties must not
// load the facade.
const DBApi* dbApi() {
    static const DBApi* api = nullptr;
    if (!api) api = bindApi<DBApi>("Quillon.DB.DB", kDBCapsule);
    return api;
}

// "<table>.<column> ASC|DESC", the ordering text of the order renderer, each
// name quoted when it is a keyword of the active connector's dialect.
Ref orderText(PyObject* self, const char* direction) {
    Ref model = Borrowed(prop(self)->model).ref();
    Ref table = getattr(model.get(), "tableName");
    Ref tableText = Ref::steal(PyObject_Str(table.get()));
    Ref name = Borrowed(prop(self)->name).ref();
    Ref nameText = Ref::steal(PyObject_Str(name.get()));
    std::string out;
    appendQualified(out, utf8(tableText.get()), utf8(nameText.get()), activeDialect(dbApi()));
    out.push_back(' ');
    out.append(direction);
    return str(std::string_view(out));
}
PyObject* descEntry(PyObject* self) {
    return entry([&] { return orderText(self, "DESC"); });
}
PyObject* ascEntry(PyObject* self) {
    return entry([&] { return orderText(self, "ASC"); });
}

Ref toDBValue(PyObject* self, PyObject* value) { return Ref::steal(opsOf(self)->toDBValue(self, value)); }

// The two-cell chain of a comparison: column cell, then the operand as a
// column cell (a property) or as a converted value cell.  `== None` and
// `!= None` are the NULL tests: their operand cell holds None and renders
// nothing.
//
// Membership and ranges (IN, NOT IN, BETWEEN) take their values as one
// operand cell holding the tuple of converted values.  An expression as the
// operand is kept as it is: the renderer writes its SQL.
Ref membershipValues(PyObject* self, PyObject* values, int relationship);

// Links `operand` after `head` as the operand of `relationship`.
Ref linkOperand(Ref head, const Ref& operand, int relationship) {
    FilterListCellObject* h = head.as<FilterListCellObject>();
    assignField(h->next, operand.get());
    h->relationship = relationship;
    return head;
}

// The chain `head <relationship> other` of a comparison: == / != None are
// the NULL tests, another column or an expression is written as it is, and
// any other value is `convert()`ed and bound.
template <class Convert>
Ref comparisonChain(Ref head, PyObject* other, int relationship, Convert&& convert) {
    Ref operand;
    if (other == Py_None && (relationship == REL_EQ || relationship == REL_NE)) {
        relationship = relationship == REL_EQ ? REL_IS_NULL : REL_NOT_NULL;
        operand = newCell(Py_None, REL_NONE, Py_None);
    } else if (PyObject_TypeCheck(other, BasePropertyType)) {
        operand = newCell(prop(other)->name, REL_NONE, other);
    } else if (isExpression(other)) {
        operand = newCell(other, REL_NONE, Py_None);
    } else {
        Ref converted = convert();
        operand = newCell(converted.get(), REL_NONE, Py_None);
    }
    return linkOperand(std::move(head), operand, relationship);
}

Ref setFilterNative(PyObject* self, PyObject* other, int relationship) {
    Ref head = newCell(prop(self)->name, REL_NONE, self);
    if (relationship == REL_IN || relationship == REL_NOT_IN || relationship == REL_BETWEEN) {
        Ref values = membershipValues(self, other, relationship);
        return linkOperand(std::move(head), newCell(values.get(), REL_NONE, Py_None), relationship);
    }
    return comparisonChain(std::move(head), other, relationship, [&] { return toDBValue(self, other); });
}

PyObject* setFilterEntry(PyObject* self, PyObject* other, int relationship) {
    return entry([&] {
        if (propertyOverrides.overridden(self, OP_SET_FILTER)) {
            Ref code = integer(relationship);
            Ref r = callMethod(self, propertyOverrides.name(OP_SET_FILTER), other, code.get());
            requireConvertible(r.get(), FilterListCellType);
            return r;
        }
        return setFilterNative(self, other, relationship);
    });
}

const char* membershipName(int relationship) {
    return relationship == REL_BETWEEN ? "between" : relationship == REL_IN ? "isIn" : "notIn";
}

// A text is an iterable of characters, never meant as the values of IN.
void refuseText(PyObject* values, int relationship) {
    if (PyUnicode_Check(values) || PyBytes_Check(values) || PyByteArray_Check(values))
        raise(PyExc_TypeError, "%s() takes an iterable of values, not %.100s", membershipName(relationship),
              typeName(values));
}

// The values of IN / NOT IN (any iterable) or the two bounds of BETWEEN, each
// converted by the property.
Ref membershipValues(PyObject* self, PyObject* values, int relationship) {
    refuseText(values, relationship);
    Ref items = Ref::stealOrNull(PySequence_Fast(values, "not iterable"));
    if (!items) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throwPending();
        PyErr_Clear();
        raise(PyExc_TypeError, "%s() takes an iterable of values, not %.100s", membershipName(relationship),
              typeName(values));
    }
    if (PyList_Check(items.get())) items = Ref::steal(PyList_AsTuple(items.get()));  // a list the caller may change
    Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    if (relationship == REL_BETWEEN && n != 2) raise(PyExc_TypeError, "between() takes two bounds, got %zd", n);
    Ref out = Ref::steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Borrowed value = tupleItem(items.get(), i);  // held by `items`, which nothing else changes
        if (relationship == REL_BETWEEN && value.get() == Py_None)
            raise(PyExc_ValueError, "between() needs two bounds, not None: use >= or <= for one");
        PyTuple_SET_ITEM(out.get(), i, toDBValue(self, value.get()).release());
    }
    return out;
}

template <Conversion Native>
PyObject* toDBEntry(PyObject* self, PyObject* value) {
    return entry([&] {
        if (propertyOverrides.overridden(self, OP_TO_DB))
            return callMethod(self, propertyOverrides.name(OP_TO_DB), value);
        return Native(self, value);
    });
}

template <Conversion Native>
PyObject* toObjEntry(PyObject* self, PyObject* value) {
    return entry([&] {
        if (propertyOverrides.overridden(self, OP_TO_OBJ))
            return callMethod(self, propertyOverrides.name(OP_TO_OBJ), value);
        return Native(self, value);
    });
}

template <Conversion ToDB, Conversion ToObj>
constexpr BasePropertyOps makeOps() {
    return {sizeCheckerEntry, verifierEntry, descEntry, ascEntry, setFilterEntry, toDBEntry<ToDB>, toObjEntry<ToObj>};
}

Ref identity(PyObject*, PyObject* value) { return Ref::borrow(value); }

const BasePropertyOps basePropertyOps = makeOps<identity, identity>();

// The table published to other modules dispatches through the object's own
// table, so a typed property converts with its own conversions.
int apiSizeChecker(PyObject* self, PyObject* value) { return opsOf(self)->sizeChecker(self, value); }
int apiVerifier(PyObject* self, PyObject* value) { return opsOf(self)->verifier(self, value); }
PyObject* apiDesc(PyObject* self) { return opsOf(self)->desc(self); }
PyObject* apiAsc(PyObject* self) { return opsOf(self)->asc(self); }
PyObject* apiSetFilter(PyObject* self, PyObject* other, int relationship) {
    return opsOf(self)->setFilter(self, other, relationship);
}
PyObject* apiToDBValue(PyObject* self, PyObject* value) { return opsOf(self)->toDBValue(self, value); }
PyObject* apiToObjValue(PyObject* self, PyObject* value) { return opsOf(self)->toObjValue(self, value); }
const BasePropertyOps apiPropertyOps{apiSizeChecker, apiVerifier, apiDesc, apiAsc,
                                     apiSetFilter,   apiToDBValue, apiToObjValue};

// ===========================================================================
// Expressions: arithmetic on columns and aggregate functions
//
// `Item.stock - 1`, `Item.price * Item.qty` and `Sum(Order.total)` are
// `Expression`s: the where, select and update renderers write their SQL,
// binding the values they carry.  They compare like properties (into filter
// chains, for filters and `having`) and make order terms with asc()/desc().
// Their nesting is bounded, so every walk over one is bounded too.
// ===========================================================================

constexpr int kDeepestExpression = 64;

const size_t expressionOffsets[] = {offsetof(ExpressionObject, left), offsetof(ExpressionObject, right)};
const FieldList expressionFields{expressionOffsets, 2};

int depthOf(PyObject* o) { return o != Py_None && isExpression(o) ? exprOf(o)->depth : 0; }

// Whether an expression computes an aggregate anywhere inside.
bool hasAggregate(PyObject* o) {
    if (!isExpression(o)) return false;
    ExpressionObject* e = exprOf(o);
    return isAggregateKind(e->kind) || hasAggregate(e->left) || hasAggregate(e->right);
}

Ref newExpression(PyTypeObject* type, int kind, PyObject* left, PyObject* right, bool distinct) {
    int depth = std::max(depthOf(left), depthOf(right)) + 1;
    if (depth > kDeepestExpression)
        raise(PyExc_ValueError, "an expression may nest %d levels deep at most", kDeepestExpression);
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    ExpressionObject* e = exprOf(self.get());
    e->kind = kind;
    e->distinct = distinct;
    e->left = Py_NewRef(left);
    e->right = Py_NewRef(right);
    e->depth = depth;
    return self;
}

// Operands of arithmetic: columns, expressions and numbers.
bool isArithmeticOperand(PyObject* o) {
    if (PyObject_TypeCheck(o, BasePropertyType) || isExpression(o)) return true;
    if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o) || o == Py_None) return false;
    return PyLong_Check(o) || PyFloat_Check(o) || PyNumber_Check(o);
}

PyObject* arithmetic(PyObject* left, PyObject* right, int kind) {
    if (!isArithmeticOperand(left) || !isArithmeticOperand(right)) Py_RETURN_NOTIMPLEMENTED;
    return entry([&] { return newExpression(ExpressionType, kind, left, right, false); });
}
PyObject* addSlot(PyObject* a, PyObject* b) { return arithmetic(a, b, EXPR_ADD); }
PyObject* subtractSlot(PyObject* a, PyObject* b) { return arithmetic(a, b, EXPR_SUB); }
PyObject* multiplySlot(PyObject* a, PyObject* b) { return arithmetic(a, b, EXPR_MUL); }
PyObject* divideSlot(PyObject* a, PyObject* b) { return arithmetic(a, b, EXPR_DIV); }

// The operand of a comparison with an expression: Min and Max of a column
// compare with values of that column, converted by it; other expressions
// compare with numbers as they are.
Ref expressionOperand(PyObject* self, PyObject* value) {
    ExpressionObject* e = exprOf(self);
    if ((e->kind == EXPR_MIN || e->kind == EXPR_MAX) && PyObject_TypeCheck(e->left, BasePropertyType)) {
        Ref column = Ref::borrow(e->left);
        return toDBValue(column.get(), value);
    }
    return Ref::borrow(value);
}

// `expression <op> other`: the two-cell chain of a comparison whose first
// cell holds the expression.
Ref expressionFilter(PyObject* self, PyObject* other, int relationship) {
    return comparisonChain(newCell(self, REL_NONE, Py_None), other, relationship,
                           [&] { return expressionOperand(self, other); });
}

PyObject* expressionCompare(PyObject* self, PyObject* other, int op) {
    static const int codes[] = {REL_LT, REL_LE, REL_EQ, REL_NE, REL_GT, REL_GE};
    return entry([&] { return expressionFilter(self, other, codes[op]); });
}

Ref newOrderTerm(PyObject* term, bool descending) {
    Ref self = Ref::steal(OrderTermType->tp_alloc(OrderTermType, 0));
    auto* t = self.as<OrderTermObject>();
    t->term = Py_NewRef(term);
    t->descending = descending;
    return self;
}

Ref termAsc(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("asc", nargs, kwnames);
    return newOrderTerm(self, false);
}
Ref termDesc(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("desc", nargs, kwnames);
    return newOrderTerm(self, true);
}

// Deep expressions are released without deep C recursion.
void expressionDealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, expressionDealloc)
    clearFields(self, expressionFields);
    tp->tp_free(self);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

// The SQL of the expression (columns qualified by their tables) and the
// values it binds, for reading.
Ref expressionRepr(PyObject* self) {
    Ref args = Ref::steal(PyList_New(0));
    Ref text = Ref::steal(gen->renderTerm(self, args.get(), 1));
    const char* name = shortTypeName(Py_TYPE(self));
    if (PyList_GET_SIZE(args.get()) == 0) return Ref::steal(PyUnicode_FromFormat("<%s %U>", name, text.get()));
    return Ref::steal(PyUnicode_FromFormat("<%s %U %R>", name, text.get(), args.get()));
}
PyObject* expressionReprSlot(PyObject* self) { return entry([&] { return expressionRepr(self); }); }

PyMethodDef expressionMethods[] = {
    Q_FAST("asc", termAsc, "asc() -> an ascending order term"),
    Q_FAST("desc", termDesc, "desc() -> a descending order term"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot expressionSlots[] = {
    {Py_tp_doc, (void*)"Arithmetic on columns or an aggregate function: SQL that a statement computes.\n\n"
                       "Made by + - * / on properties, expressions and numbers, and by Count, Sum, Avg, Min, Max.\n"
                       "Compares like a property (into a filter chain) and orders with asc()/desc()."},
    {Py_tp_traverse, (void*)traverseObject<expressionFields>},
    {Py_tp_clear, (void*)clearObject<expressionFields>},
    {Py_tp_dealloc, (void*)expressionDealloc},
    {Py_tp_richcompare, (void*)expressionCompare},
    {Py_tp_hash, (void*)PyObject_HashNotImplemented},
    {Py_tp_repr, (void*)expressionReprSlot},
    {Py_tp_methods, expressionMethods},
    {Py_nb_add, (void*)addSlot},
    {Py_nb_subtract, (void*)subtractSlot},
    {Py_nb_multiply, (void*)multiplySlot},
    {Py_nb_true_divide, (void*)divideSlot},
    {0, nullptr},
};

constexpr unsigned long kAbstractFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE |
                                         Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyType_Spec expressionSpec = {"Quillon.Model.Columns.Expression", sizeof(ExpressionObject), 0, kAbstractFlags,
                              expressionSlots};

// --- the aggregate functions ----------------------------------------------

// The column of an aggregate: a property or an expression that computes no
// aggregate itself (SQL does not nest them).
void requireAggregateColumn(const char* function, PyObject* col) {
    if (!PyObject_TypeCheck(col, BasePropertyType) && !isExpression(col))
        raise(PyExc_TypeError, "%s() takes a column property or an expression of columns, not %.100s", function,
              typeName(col));
    if (hasAggregate(col)) raise(PyExc_TypeError, "%s() cannot take an aggregate: aggregates do not nest", function);
}

const Signature<2> countSig{"Count", {"col", "distinct"}, 0};

PyObject* countNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        auto b = bind(countSig, args, kwargs);
        PyObject* col = b.get(0, Py_None);
        bool distinct = b[1] && truthy(b[1]);
        if (col != Py_None) requireAggregateColumn("Count", col);
        else if (distinct) raise(PyExc_ValueError, "Count(distinct=True) needs the column whose distinct values it counts");
        return newExpression(type, EXPR_COUNT, col, Py_None, distinct);
    });
}

template <int Kind>
PyObject* aggregateNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const functionNames[] = {"Sum", "Avg", "Min", "Max"};
    static const Signature<1> sig{functionNames[Kind - EXPR_SUM], {"col"}, 1};
    return entry([&] {
        auto b = bind(sig, args, kwargs);
        requireAggregateColumn(sig.function, b[0]);
        return newExpression(type, Kind, b[0], Py_None, false);
    });
}

PyType_Slot aggregateSlots[] = {
    {Py_tp_doc, (void*)"An aggregate function over the rows a statement reads (or over each group)."},
    {0, nullptr},
};
// Derived specs leave out HAVE_GC: CPython inherits it with the base's traverse.
constexpr unsigned long kDerivedFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE;
PyType_Spec aggregateSpec = {"Quillon.Model.Columns.Aggregate", sizeof(ExpressionObject), 0,
                             kDerivedFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, aggregateSlots};

PyType_Slot countSlots[] = {
    {Py_tp_doc, (void*)"Count(col=None, distinct=False)\n\ncount(*) of the rows, or of the non-NULL values of `col` "
                       "(its distinct values with distinct=True)."},
    {Py_tp_new, (void*)countNew},
    {0, nullptr},
};
PyType_Slot sumSlots[] = {
    {Py_tp_doc, (void*)"Sum(col)\n\nThe sum of the values of `col` (None over no rows)."},
    {Py_tp_new, (void*)aggregateNew<EXPR_SUM>},
    {0, nullptr},
};
PyType_Slot avgSlots[] = {
    {Py_tp_doc, (void*)"Avg(col)\n\nThe average of the values of `col` (None over no rows)."},
    {Py_tp_new, (void*)aggregateNew<EXPR_AVG>},
    {0, nullptr},
};
PyType_Slot minSlots[] = {
    {Py_tp_doc, (void*)"Min(col)\n\nThe smallest value of `col` (None over no rows)."},
    {Py_tp_new, (void*)aggregateNew<EXPR_MIN>},
    {0, nullptr},
};
PyType_Slot maxSlots[] = {
    {Py_tp_doc, (void*)"Max(col)\n\nThe largest value of `col` (None over no rows)."},
    {Py_tp_new, (void*)aggregateNew<EXPR_MAX>},
    {0, nullptr},
};
PyType_Spec functionSpecs[] = {
    {"Quillon.Model.Columns.Count", sizeof(ExpressionObject), 0, kDerivedFlags, countSlots},
    {"Quillon.Model.Columns.Sum", sizeof(ExpressionObject), 0, kDerivedFlags, sumSlots},
    {"Quillon.Model.Columns.Avg", sizeof(ExpressionObject), 0, kDerivedFlags, avgSlots},
    {"Quillon.Model.Columns.Min", sizeof(ExpressionObject), 0, kDerivedFlags, minSlots},
    {"Quillon.Model.Columns.Max", sizeof(ExpressionObject), 0, kDerivedFlags, maxSlots},
};

// --- order terms -------------------------------------------------------------

const size_t orderTermOffsets[] = {offsetof(OrderTermObject, term)};
const FieldList orderTermFields{orderTermOffsets, 1};

Ref orderTermRepr(PyObject* self) {
    auto* t = reinterpret_cast<OrderTermObject*>(self);
    Ref term = Ref::borrow(t->term);
    return Ref::steal(PyUnicode_FromFormat("<OrderTerm %R %s>", term.get(), t->descending ? "DESC" : "ASC"));
}
PyObject* orderTermReprSlot(PyObject* self) { return entry([&] { return orderTermRepr(self); }); }

PyGetSetDef orderTermGetSet[] = {
    Q_GETTER("term", fieldGetter<offsetof(OrderTermObject, term)>, "the property or expression ordered by"),
    Q_GETTER("descending", intFieldGetter<offsetof(OrderTermObject, descending)>, "1 for DESC, 0 for ASC"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot orderTermSlots[] = {
    {Py_tp_doc, (void*)"An order term: a property or an expression and its direction (made by asc()/desc())."},
    {Py_tp_traverse, (void*)traverseObject<orderTermFields>},
    {Py_tp_clear, (void*)clearObject<orderTermFields>},
    {Py_tp_dealloc, (void*)deallocObject<orderTermFields>},
    {Py_tp_repr, (void*)orderTermReprSlot},
    {Py_tp_getset, orderTermGetSet},
    {0, nullptr},
};
PyType_Spec orderTermSpec = {"Quillon.Model.Columns.OrderTerm", sizeof(OrderTermObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC |
                                 Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             orderTermSlots};

// ===========================================================================
// BaseProperty: construction and binding
// ===========================================================================

template <const BasePropertyOps* Ops>
PyObject* propertyNew(PyTypeObject* type, PyObject*, PyObject*) {
    return entry([&] {
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        BasePropertyObject* p = self.as<BasePropertyObject>();
        p->ops = Ops;
        initFieldsNone(self.get(), propertyFields);
        p->isPk = 0;
        p->Null = 0;
        p->unique = 0;
        return self;
    });
}

const Signature<6> propertySig{"__init__", {"name", "pk", "default", "Null", "define", "typeArgs"}, 0, true, true};

int propertyInit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary(-1, [&] {
        auto b = bind(propertySig, args, kwargs);
        PyObject* name = b.get(0, Py_None);
        PyObject* defaultValue = b.get(2, held.noDefault);
        PyObject* define = b.get(4, held.empty);
        PyObject* typeArgs = b.get(5, held.emptyTuple);
        requireStrOrNone("name", name);
        requireStrOrNone("define", define);
        requireTupleOrNone("typeArgs", typeArgs);
        bool pk = b[1] ? truthy(b[1]) : false;
        bool nullable = b[3] ? truthy(b[3]) : true;
        // `unique` is a keyword of its own: positions after typeArgs belong
        // to the subclass's `_init`.
        bool unique = false;
        if (Ref flag = dictItem(b.extra.get(), held.unique).ref()) {
            check(PyDict_DelItem(b.extra.get(), held.unique));
            unique = truthy(flag.get());
        }

        BasePropertyObject* p = prop(self);
        if (name != Py_None && PyUnicode_GET_LENGTH(name) > 0) assignField(p->name, name);
        Ref valueType = getattr(self, "Type");
        if (valueType.get() != Py_None && !PyType_Check(valueType.get())) raiseConvert(valueType.get(), "type");
        assignField(p->_Type, valueType.get());
        assignField(p->define, define);
        p->Null = nullable;
        p->isPk = pk;
        p->unique = unique;
        assignField(p->typeArgs, typeArgs);
        Ref hook = getattr(self, "_init");
        Ref ignored = Ref::steal(PyObject_Call(hook.get(), b.rest.get(), b.extra.get()));
        assignField(p->_default, defaultValue);
        return 0;
    });
}

Ref propertyInitHook(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return Ref::none(); }

const Signature<2> setNameSig{"__set_name__", {"owner", "name"}, 2};

// Binding: the property learns its model and attribute name; a key property
// becomes the model's pkCol/pkName.
Ref propertySetName(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(setNameSig, args, nargs, kwnames);
    PyObject* owner = b[0];
    PyObject* name = b[1];
    requireStrOrNone("name", name);
    Ref entity = importFrom("Quillon.Model.Entity", "Entity");
    if (!isSubclass(owner, entity.get())) raiseNew(held.PropertyUsageError, owner);
    BasePropertyObject* p = prop(self);
    assignField(p->name, name);
    assignField(p->model, owner);
    if (!p->isPk) return Ref::none();
    Ref pkName = getattr(owner, "pkName");
    if (truthy(pkName.get())) {
        Ref pkCol = getattr(owner, "pkCol");
        if (truthy(pkCol.get())) raiseNew(held.PrimaryKeyOverLimitError);
    }
    setattr(owner, "pkCol", self);
    Ref columnName = Borrowed(p->name).ref();  // setting pkCol may have run Python code
    setattr(owner, "pkName", columnName.get());
    return Ref::none();
}

// The column default behind `Default`: markers give None, a value is
// converted the way the column stores it.
Ref buildDefault(PyObject* self) {
    Ref value = Borrowed(prop(self)->_default).ref();
    if (isInstance(value.get(), (PyObject*)gen->CustomColAnnounce)) return Ref::none();
    Ref isAuto = Ref::steal(PyObject_RichCompare(value.get(), (PyObject*)AutoIncrementType, Py_EQ));
    if (truthy(isAuto.get())) return Ref::none();
    if (value.get() == (PyObject*)NullDefaultType || PyObject_TypeCheck(value.get(), NullDefaultType))
        return Ref::none();
    return toDBValue(self, value.get());
}

// ===========================================================================
// BaseProperty: Python-visible methods and attributes
// ===========================================================================

const Signature<1> sizeCheckerSig{"sizeChecker", {"value"}, 1};
const Signature<1> verifierSig{"verifier", {"value"}, 1};
const Signature<1> insertCellSig{"insertCell", {"value"}, 1};
const Signature<1> updateCellSig{"updateCell", {"value"}, 1};
const Signature<1> toDBValueSig{"toDBValue", {"value"}, 1};
const Signature<1> toObjValueSig{"toObjValue", {"value"}, 1};
const Signature<2> setFilterSig{"setFilter", {"other", "relationship"}, 2};

// A one-argument Python method running the native code of `F`.
template <const Signature<1>* Sig, Conversion F>
Ref oneArgMethod(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs == 1 && !kwnames) return F(self, args[0]);
    auto b = bind(*Sig, args, nargs, kwnames);
    return F(self, b[0]);
}

Ref sizeCheckerNative(PyObject*, PyObject*) { return boolean(true); }
Ref verifierMethod(PyObject* self, PyObject* value) {
    int ok = verifierNative(self, value);
    return boolean(ok == 1);
}
Ref insertCell(PyObject* self, PyObject* value) {
    Ref d = Ref::steal(PyDict_New());
    check(PyDict_SetItemString(d.get(), "col", self));
    check(PyDict_SetItemString(d.get(), "value", value));
    return d;
}
Ref updateCell(PyObject* self, PyObject* value) {
    Ref d = Ref::steal(PyDict_New());
    check(PyDict_SetItemString(d.get(), "name", prop(self)->name));
    check(PyDict_SetItemString(d.get(), "value", value));
    return d;
}
Ref setFilterMethod(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(setFilterSig, args, nargs, kwnames);
    return setFilterNative(self, b[0], asInt32(b[1]));
}

// The filters that are methods of every property go through the setFilter
// entry, as comparisons do, so an overridden setFilter sees them all.
Ref filterVia(PyObject* self, PyObject* other, int relationship) {
    return Ref::steal(opsOf(self)->setFilter(self, other, relationship));
}

const Signature<1> isInSig{"isIn", {"values"}, 1};
const Signature<1> notInSig{"notIn", {"values"}, 1};
const Signature<2> betweenSig{"between", {"low", "high"}, 2};

Ref propertyIsIn(PyObject* self, PyObject* values) {
    refuseText(values, REL_IN);
    return filterVia(self, values, REL_IN);
}
Ref propertyNotIn(PyObject* self, PyObject* values) {
    refuseText(values, REL_NOT_IN);
    return filterVia(self, values, REL_NOT_IN);
}
Ref propertyBetween(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(betweenSig, args, nargs, kwnames);
    Ref bounds = tupleOf({b[0], b[1]});
    return filterVia(self, bounds.get(), REL_BETWEEN);
}
Ref propertyIsNull(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("isNull", nargs, kwnames);
    return filterVia(self, Py_None, REL_EQ);
}
Ref propertyNotNull(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("notNull", nargs, kwnames);
    return filterVia(self, Py_None, REL_NE);
}

PyObject* propertyCompare(PyObject* self, PyObject* other, int op) {
    static const int codes[] = {REL_LT, REL_LE, REL_EQ, REL_NE, REL_GT, REL_GE};
    return opsOf(self)->setFilter(self, other, codes[op]);
}

Ref getName(PyObject* self) { return Ref::borrow(prop(self)->name); }
void setName(PyObject* self, PyObject* v) {
    if (!v) v = Py_None;
    if (v != Py_None && !PyUnicode_CheckExact(v)) raise(PyExc_TypeError, "Expected str, got %.200s", typeName(v));
    assignField(prop(self)->name, v);
}
Ref getIsPk(PyObject* self) { return boolean(prop(self)->isPk); }
void setIsPk(PyObject* self, PyObject* v) {
    if (!v) raise(PyExc_AttributeError, "cannot delete attribute 'isPk'");
    prop(self)->isPk = truthy(v);
}
Ref getUnique(PyObject* self) { return boolean(prop(self)->unique); }
void setUnique(PyObject* self, PyObject* v) {
    if (!v) raise(PyExc_AttributeError, "cannot delete attribute 'unique'");
    prop(self)->unique = truthy(v);
}
Ref getNull(PyObject* self) { return boolean(prop(self)->Null); }
void setNull(PyObject* self, PyObject* v) {
    if (!v) raise(PyExc_AttributeError, "cannot delete attribute 'Null'");
    prop(self)->Null = truthy(v);
}
void setDefaultField(PyObject* self, PyObject* v) { assignField(prop(self)->_default, v ? v : Py_None); }
void setTargetTypeField(PyObject* self, PyObject* v) { assignField(prop(self)->_targetType, v ? v : Py_None); }
void setTypeArgs(PyObject* self, PyObject* v) {
    if (!v) v = Py_None;
    if (v != Py_None && !PyTuple_CheckExact(v)) raise(PyExc_TypeError, "Expected tuple, got %.200s", typeName(v));
    assignField(prop(self)->typeArgs, v);
}
Ref getHasDefault(PyObject* self) {
    Ref value = Borrowed(prop(self)->_default).ref();
    if (value.get() == held.noDefault) return boolean(false);
    Ref eq = Ref::steal(PyObject_RichCompare(value.get(), held.noDefault, Py_EQ));
    return boolean(!truthy(eq.get()));
}
Ref getDefault(PyObject* self) { return buildDefault(self); }
Ref getTargetType(PyObject* self) {
    Ref targetType = Borrowed(prop(self)->_targetType).ref();
    return getattr(targetType.get(), "value");
}

PyMethodDef propertyMethods[] = {
    Q_FAST("_init", propertyInitHook, "_init(*args, **kwargs) -> None; the initialisation hook of subclasses"),
    Q_FAST("__set_name__", propertySetName, "__set_name__(owner, name) -> None; binds the property to its model"),
    Q_FAST("sizeChecker", (oneArgMethod<&sizeCheckerSig, sizeCheckerNative>), "sizeChecker(value) -> True"),
    Q_FAST("verifier", (oneArgMethod<&verifierSig, verifierMethod>),
           "verifier(value) -> whether the value fits the column; errors are reported, never raised"),
    Q_FAST("insertCell", (oneArgMethod<&insertCellSig, insertCell>), "insertCell(value) -> {'col': self, 'value': value}"),
    Q_FAST("updateCell", (oneArgMethod<&updateCellSig, updateCell>),
           "updateCell(value) -> {'name': self.name, 'value': value}"),
    Q_FAST("toDBValue", (oneArgMethod<&toDBValueSig, identity>), "toDBValue(value) -> the value as stored"),
    Q_FAST("toObjValue", (oneArgMethod<&toObjValueSig, identity>), "toObjValue(value) -> the value as read"),
    Q_FAST("setFilter", setFilterMethod, "setFilter(other, relationship) -> the first cell of a new filter chain"),
    Q_FAST("isIn", (oneArgMethod<&isInSig, propertyIsIn>),
           "isIn(values) -> a filter matching the values of any iterable (None matches NULL); none: no row"),
    Q_FAST("notIn", (oneArgMethod<&notInSig, propertyNotIn>),
           "notIn(values) -> a filter matching values other than those (None: not NULL either); none: every row"),
    Q_FAST("between", propertyBetween, "between(low, high) -> a filter matching low <= value <= high"),
    Q_FAST("isNull", propertyIsNull, "isNull() -> the filter IS NULL, as `column == None`"),
    Q_FAST("notNull", propertyNotNull, "notNull() -> the filter IS NOT NULL, as `column != None`"),
    Q_FAST("asc", termAsc, "asc() -> an ascending order term"),
    Q_FAST("desc", termDesc, "desc() -> a descending order term"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef propertyGetSet[] = {
    Q_GETSET("name", getName, setName, "column name; the attribute name once bound"),
    Q_GETSET("isPk", getIsPk, setIsPk, "primary-key flag"),
    Q_GETSET("Null", getNull, setNull, "whether the column accepts NULL"),
    Q_GETSET("unique", getUnique, setUnique, "whether the column is declared UNIQUE"),
    Q_GETSET("_default", fieldGetter<offsetof(BasePropertyObject, _default)>, setDefaultField, "the declared default"),
    Q_GETSET("_targetType", fieldGetter<offsetof(BasePropertyObject, _targetType)>, setTargetTypeField,
             "the chosen SQL type member"),
    Q_GETSET("typeArgs", fieldGetter<offsetof(BasePropertyObject, typeArgs)>, setTypeArgs, "arguments of the SQL type"),
    Q_GETTER("hasDefault", getHasDefault, "whether a default was declared"),
    Q_GETTER("Default", getDefault, "the default as stored, or None for markers"),
    Q_GETTER("dbName", getName, "the column name"),
    Q_GETTER("objName", getName, "the attribute name"),
    Q_GETTER("targetType", getTargetType, "the SQL type text"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot propertySlots[] = {
    {Py_tp_doc, (void*)"BaseProperty(name=None, pk=False, default=<none>, Null=True, define='', typeArgs=(), "
                       "*args, unique=False, **kwargs)\n\nBase of every column property."},
    {Py_tp_new, (void*)propertyNew<&basePropertyOps>},
    {Py_tp_init, (void*)propertyInit},
    {Py_tp_traverse, (void*)traverseObject<propertyFields>},
    {Py_tp_clear, (void*)clearObject<propertyFields>},
    {Py_tp_dealloc, (void*)deallocObject<propertyFields>},
    {Py_tp_richcompare, (void*)propertyCompare},
    {Py_tp_hash, (void*)PyObject_HashNotImplemented},
    {Py_tp_methods, propertyMethods},
    {Py_tp_getset, propertyGetSet},
    {Py_nb_add, (void*)addSlot},
    {Py_nb_subtract, (void*)subtractSlot},
    {Py_nb_multiply, (void*)multiplySlot},
    {Py_nb_true_divide, (void*)divideSlot},
    {0, nullptr},
};

PyType_Spec propertySpec = {"Quillon.Model.Columns.BaseProperty", sizeof(BasePropertyObject), 0, kTypeFlags,
                            propertySlots};

// ===========================================================================
// Typed properties: conversions
// ===========================================================================

// round(number, digits) as the interpreter computes it: correctly rounded
// through the shortest decimal text with that many digits.
Ref roundFloat(PyObject* number, PyObject* digits) {
    if (PyLong_CheckExact(digits)) {
        int overflow = 0;
        long n = PyLong_AsLongAndOverflow(digits, &overflow);
        double x = PyFloat_AS_DOUBLE(number);
        if (!overflow && n >= 0 && n <= 17) {
            if (!std::isfinite(x)) return Ref::borrow(number);
            char* text = PyOS_double_to_string(x, 'f', (int)n, 0, nullptr);
            if (!text) throwPending();
            double r = PyOS_string_to_double(text, nullptr, nullptr);
            PyMem_Free(text);
            if (r == -1.0 && PyErr_Occurred()) throwPending();
            return Ref::steal(PyFloat_FromDouble(r));
        }
    }
    return call(held.round, number, digits);
}

bool equalsText(PyObject* value, PyObject* text) {
    if (PyUnicode_CheckExact(value)) return PyUnicode_Compare(value, text) == 0;
    Ref eq = Ref::steal(PyObject_RichCompare(value, text, Py_EQ));
    return truthy(eq.get());
}

// ---------------------------------------------------------------------------
// One rule per column kind, the same for rows being built, values being
// written and filter operands: None is NULL in both directions, a value of
// the column's kind passes, a value that means one (the text "12" for an
// integer column, "off" for a flag) is converted, and anything else raises
// ValueError naming the column, so that nothing is stored that would not
// read back as what was meant.
// ---------------------------------------------------------------------------

// "table.column" of a bound property, else its name, for error messages.
Ref columnLabel(PyObject* self) {
    Ref name = Ref::borrow(prop(self)->name);
    if (!name || !PyUnicode_Check(name.get())) return str("<unnamed>");
    Ref model = Ref::borrow(prop(self)->model);
    if (!model || model.get() == Py_None) return name;
    Ref table = Ref::stealOrNull(PyObject_GetAttr(model.get(), held.attrTableName));
    if (!table || !PyUnicode_Check(table.get())) {
        if (!table && !PyErr_ExceptionMatches(PyExc_Exception)) throwPending();
        PyErr_Clear();
        return name;
    }
    return Ref::steal(PyUnicode_FromFormat("%U.%U", table.get(), name.get()));
}

// The repr of a refused value, cut short: the message must stay readable
// for a long text.
Ref shortRepr(PyObject* value) {
    constexpr Py_ssize_t kLongest = 120;
    Ref text = Ref::steal(PyObject_Repr(value));
    if (PyUnicode_GET_LENGTH(text.get()) <= kLongest) return text;
    Ref head = Ref::steal(PyUnicode_Substring(text.get(), 0, kLongest));
    return Ref::steal(PyUnicode_FromFormat("%U...", head.get()));
}

// Raises ValueError("column 'x' cannot take <value>: expected <expected>"),
// caused by the pending error when there is one.  A pending error that is not
// an Exception (KeyboardInterrupt, a cancellation) passes through unchanged.
[[noreturn]] void refuseValue(PyObject* self, PyObject* value, const char* expected) {
    Ref cause;
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throwPending();
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        if (tb && v) PyException_SetTraceback(v, tb);
        cause = Ref::stealOrNull(v);
        Py_XDECREF(t);
        Py_XDECREF(tb);
    }
    Ref label = columnLabel(self);
    Ref shown = shortRepr(value);
    Ref message = Ref::steal(
        PyUnicode_FromFormat("column '%U' cannot take %U: expected %s", label.get(), shown.get(), expected));
    Ref exc = call(PyExc_ValueError, message.get());
    if (cause) PyException_SetCause(exc.get(), cause.release());
    PyErr_SetObject(PyExc_ValueError, exc.get());
    throwPending();
}

// --- integers --------------------------------------------------------------

constexpr const char* kInteger = "an integer";

// What is exactly an integer converts (True, 12.0, Decimal("12"), the text
// "12"); what would lose data (12.5, "12.5", "abc") is refused.
Ref intConvert(PyObject* self, PyObject* value) {
    if (PyLong_CheckExact(value) || value == Py_None) return Ref::borrow(value);
    if (PyBool_Check(value)) return integer(value == Py_True ? 1 : 0);
    if (PyUnicode_Check(value)) {
        Ref n = Ref::stealOrNull(PyLong_FromUnicodeObject(value, 10));
        if (!n) refuseValue(self, value, kInteger);
        return n;
    }
    if (PyFloat_Check(value)) {
        double x = PyFloat_AS_DOUBLE(value);
        if (!std::isfinite(x) || x != std::floor(x)) refuseValue(self, value, kInteger);
        return Ref::steal(PyLong_FromDouble(x));
    }
    if (PyIndex_Check(value)) {
        Ref n = Ref::stealOrNull(PyNumber_Index(value));
        if (!n) refuseValue(self, value, kInteger);
        return n;
    }
    if (PyNumber_Check(value)) {
        Ref n = Ref::stealOrNull(PyNumber_Long(value));
        if (!n) refuseValue(self, value, kInteger);
        int same = PyObject_RichCompareBool(n.get(), value, Py_EQ);
        if (same <= 0) refuseValue(self, value, kInteger);
        return n;
    }
    refuseValue(self, value, kInteger);
}

// --- floats and decimals ---------------------------------------------------

constexpr const char* kNumber = "a number";

// A float (or the exact number a driver gives for a decimal column) for a
// value that is a number or the text of one.
Ref numberOf(PyObject* self, PyObject* value) {
    if (PyUnicode_Check(value) || PyNumber_Check(value)) {
        Ref number = Ref::stealOrNull(PyNumber_Float(value));
        if (!number) refuseValue(self, value, kNumber);
        return number;
    }
    refuseValue(self, value, kNumber);
}

// Written values: numbers pass as they are (an int or a Decimal stays exact
// for a decimal column), the text of a number becomes a float.
Ref floatToDB(PyObject* self, PyObject* value) {
    if (value == Py_None || PyFloat_CheckExact(value) || PyLong_CheckExact(value)) return Ref::borrow(value);
    if (PyBool_Check(value) || PyUnicode_Check(value)) return numberOf(self, value);
    if (PyNumber_Check(value)) return Ref::borrow(value);
    refuseValue(self, value, kNumber);
}

// Values read from a decimal/float column, rounded to the column's scale
// (the second type argument) when the column declares one.  The text "null"
// (written by older versions for None) reads as None.
Ref floatToObj(PyObject* self, PyObject* value) {
    if (value == Py_None) return Ref::none();
    Ref number;
    if (PyFloat_CheckExact(value)) {
        number = Ref::borrow(value);
    } else {
        if (PyUnicode_Check(value) && equalsText(value, held.null)) return Ref::none();
        number = numberOf(self, value);
    }
    Ref typeArgs = Borrowed(prop(self)->typeArgs).ref();  // rounding may run Python code
    if (!PyTuple_Check(typeArgs.get()) || PyTuple_GET_SIZE(typeArgs.get()) < 2) return number;
    return roundFloat(number.get(), tupleItem(typeArgs.get(), 1).get());
}

// --- flags -----------------------------------------------------------------

enum class BoolKind { TinyInt, Varchar, Bit, Other };

BoolKind boolKind(PyObject* self) {
    Borrowed t(prop(self)->_targetType);
    if (t.get() == held.boolTinyInt) return BoolKind::TinyInt;
    if (t.get() == held.boolVarchar) return BoolKind::Varchar;
    if (t.get() == held.boolBit) return BoolKind::Bit;
    // Another object may still compare equal to a member; its __eq__ may
    // replace it on the property, so it is held.
    Ref other = t.ref();
    PyObject* members[] = {held.boolTinyInt, held.boolVarchar, held.boolBit};
    const BoolKind kinds[] = {BoolKind::TinyInt, BoolKind::Varchar, BoolKind::Bit};
    for (int i = 0; i < 3; ++i) {
        Ref eq = Ref::steal(PyObject_RichCompare(other.get(), members[i], Py_EQ));
        if (truthy(eq.get())) return kinds[i];
    }
    return BoolKind::Other;
}

constexpr const char* kTruthValue = "a truth value (true/false, yes/no, on/off, 1/0)";

// The meaning of a flag word, case-insensitive and without surrounding
// blanks: 1 true, 0 false, -1 not a flag word.
int flagWord(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (text.size() > 5) return -1;
    char lower[6] = {};
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        lower[i] = (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
    }
    std::string_view w(lower, text.size());
    if (w == "true" || w == "yes" || w == "on" || w == "1") return 1;
    if (w == "false" || w == "no" || w == "off" || w == "0") return 0;
    return -1;
}

// The truth value a flag means (Py_True or Py_False, borrowed): bools,
// numbers by their truth, flag words, and a bit column's bytes (true when
// any bit is set).
PyObject* truthOf(PyObject* self, PyObject* value) {
    if (value == Py_True || value == Py_False) return value;
    if (PyLong_CheckExact(value)) return truthy(value) ? Py_True : Py_False;
    if (PyUnicode_Check(value)) {
        int word = flagWord(utf8(value));
        if (word < 0) refuseValue(self, value, kTruthValue);
        return word ? Py_True : Py_False;
    }
    if (PyBytes_Check(value) || PyByteArray_Check(value)) {
        Py_ssize_t n = PyBytes_Check(value) ? PyBytes_GET_SIZE(value) : PyByteArray_GET_SIZE(value);
        const char* data = PyBytes_Check(value) ? PyBytes_AS_STRING(value) : PyByteArray_AS_STRING(value);
        if (n == 0) refuseValue(self, value, kTruthValue);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (data[i]) return Py_True;
        return Py_False;
    }
    if (PyNumber_Check(value)) return truthy(value) ? Py_True : Py_False;
    refuseValue(self, value, kTruthValue);
}

// Whether statements go to PostgreSQL, whose flag columns are `boolean`
// (an integer or a bit does not convert to one).  Asked without loading the
// facade: before it exists, statements are SQLite's.
bool writesForPostgres() {
    static const DBApi* api = nullptr;
    if (!api) {
        static PyObject* name = nullptr;  // interned, lives for the process
        if (!name) name = interned("Quillon.DB.DB").release();
        Ref loaded = Ref::stealOrNull(PyImport_GetModule(name));
        if (!loaded) {
            checkError();
            return false;
        }
        api = dbApi();
    }
    return activeDialect(api) == DIALECT_POSTGRES;
}

Ref boolToDB(PyObject* self, PyObject* value) {
    if (value == Py_None) return Ref::none();
    bool on = truthOf(self, value) == Py_True;
    BoolKind kind = boolKind(self);
    if (kind == BoolKind::Varchar) return Ref::borrow(on ? held.textTrue : held.textFalse);
    if (writesForPostgres()) return Ref::borrow(on ? Py_True : Py_False);
    if (kind == BoolKind::Bit) return Ref::borrow(on ? held.bitOne : held.bitZero);
    return integer(on ? 1 : 0);
}

Ref boolToObj(PyObject* self, PyObject* value) {
    if (value == Py_None) return Ref::none();
    return Ref::borrow(truthOf(self, value));
}

// --- JSON ------------------------------------------------------------------

constexpr const char* kJsonValue = "a JSON value";

// Every JSON value is written as its JSON text, a str included: a string
// value is encoded like any other, so it reads back as the same string.
Ref jsonToDB(PyObject* self, PyObject* value) {
    if (value == Py_None) return Ref::none();
    if (PyBytes_Check(value) || PyByteArray_Check(value)) refuseValue(self, value, kJsonValue);
    Ref text = Ref::stealOrNull(PyObject_CallOneArg(held.jsonDumps, value));
    if (!text) refuseValue(self, value, kJsonValue);
    return text;
}

// Stored JSON text is decoded; text that is not JSON is a string value (a
// row built with `meta="hello"` keeps the string).  Decoded values pass.
Ref jsonToObj(PyObject* self, PyObject* value) {
    if (value == Py_None || PyDict_Check(value) || PyList_Check(value) || PyLong_Check(value) ||
        PyFloat_Check(value) || PyTuple_Check(value))
        return Ref::borrow(value);
    if (PyUnicode_Check(value)) {
        Ref decoded = Ref::stealOrNull(PyObject_CallOneArg(held.jsonLoads, value));
        if (decoded) return decoded;
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throwPending();
        PyErr_Clear();
        return Ref::borrow(value);
    }
    refuseValue(self, value, kJsonValue);
}

// --- timestamps ------------------------------------------------------------
//
// A datetime is written as the text "YYYY-MM-DD HH:MM:SS[.ffffff]", which
// every database reads as a timestamp; an aware datetime (or ISO text with
// an offset) is first converted to its UTC time.  Values read keep the form
// the database gives (a datetime from MySQL's timestamp columns, the text
// from SQLite and from varchar columns): naive, and UTC when they were
// written from an aware value.

constexpr const char* kTimestamp = "a datetime, a date or ISO 8601 text";

Ref datetimeText(PyObject* dt) {
    char buffer[48];
    int n = snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", PyDateTime_GET_YEAR(dt),
                     PyDateTime_GET_MONTH(dt), PyDateTime_GET_DAY(dt), PyDateTime_DATE_GET_HOUR(dt),
                     PyDateTime_DATE_GET_MINUTE(dt), PyDateTime_DATE_GET_SECOND(dt));
    int micro = PyDateTime_DATE_GET_MICROSECOND(dt);
    if (micro) n += snprintf(buffer + n, sizeof buffer - (size_t)n, ".%06d", micro);
    return str(std::string_view(buffer, (size_t)n));
}

Ref dateText(PyObject* d) {
    char buffer[24];
    int n = snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", PyDateTime_GET_YEAR(d), PyDateTime_GET_MONTH(d),
                     PyDateTime_GET_DAY(d));
    return str(std::string_view(buffer, (size_t)n));
}

// The naive UTC time of an aware datetime; a naive one is returned as it is.
Ref naiveUtc(PyObject* dt) {
    if (PyDateTime_DATE_GET_TZINFO(dt) == Py_None) return Ref::borrow(dt);
    Ref offset = callMethod(dt, "utcoffset");
    if (offset.get() == Py_None) return Ref::borrow(dt);
    Ref utc = callMethod(dt, "astimezone", held.utc);
    PyObject* u = utc.get();
    return Ref::steal(PyDateTime_FromDateAndTime(PyDateTime_GET_YEAR(u), PyDateTime_GET_MONTH(u),
                                                 PyDateTime_GET_DAY(u), PyDateTime_DATE_GET_HOUR(u),
                                                 PyDateTime_DATE_GET_MINUTE(u), PyDateTime_DATE_GET_SECOND(u),
                                                 PyDateTime_DATE_GET_MICROSECOND(u)));
}

// ISO text: naive text is kept exactly as given, text with an offset
// becomes the text of its UTC time.  MySQL's zero date reads as it is.
Ref timestampText(PyObject* self, PyObject* value) {
    Ref parsed = Ref::stealOrNull(PyObject_CallOneArg(held.fromIsoFormat, value));
    if (!parsed) {
        if (PyErr_ExceptionMatches(PyExc_ValueError) && PyUnicode_Tailmatch(value, held.zeroDate, 0, 10, -1) == 1 &&
            PyUnicode_GET_LENGTH(value) >= 10) {
            PyErr_Clear();
            return Ref::borrow(value);
        }
        refuseValue(self, value, kTimestamp);
    }
    if (PyDateTime_DATE_GET_TZINFO(parsed.get()) == Py_None) return Ref::borrow(value);
    Ref naive = naiveUtc(parsed.get());
    if (naive.get() == parsed.get()) return Ref::borrow(value);
    return datetimeText(naive.get());
}

Ref timestampToDB(PyObject* self, PyObject* value) {
    if (value == Py_None) return Ref::none();
    if (PyDateTime_Check(value)) return datetimeText(naiveUtc(value).get());
    if (PyDate_Check(value)) return dateText(value);
    if (PyUnicode_Check(value)) return timestampText(self, value);
    refuseValue(self, value, kTimestamp);
}

Ref timestampToObj(PyObject* self, PyObject* value) {
    if (value == Py_None) return Ref::none();
    if (PyDateTime_Check(value)) return naiveUtc(value);
    if (PyDate_Check(value)) return Ref::borrow(value);
    if (PyUnicode_Check(value)) return timestampText(self, value);
    refuseValue(self, value, kTimestamp);
}

const BasePropertyOps identityOps = makeOps<identity, identity>();
const BasePropertyOps intOps = makeOps<intConvert, intConvert>();
const BasePropertyOps floatOps = makeOps<floatToDB, floatToObj>();
const BasePropertyOps boolOps = makeOps<boolToDB, boolToObj>();
const BasePropertyOps timestampOps = makeOps<timestampToDB, timestampToObj>();
const BasePropertyOps jsonOps = makeOps<jsonToDB, jsonToObj>();


// ===========================================================================
// Typed properties: `_init` hooks and pattern filters
// ===========================================================================

enum TypedClass : int { INT_PROP = 0, STR_PROP, FLOAT_PROP, BOOL_PROP, TIMESTAMP_PROP, JSON_PROP };

const Signature<1> initSig{"_init", {"targetType"}, 0, true, true};
const Signature<2> floatInitSig{"_init", {"targetType", "size"}, 0, true, true};

template <int Class>
Ref typedInit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BasePropertyObject* p = prop(self);
    if constexpr (Class == FLOAT_PROP) {
        auto b = bind(floatInitSig, args, nargs, kwnames);
        PyObject* size = b.get(1, Py_None);
        requireTupleOrNone("size", size);
        assignField(p->_targetType, b.get(0, held.defaultTarget[Class]));
        setattr(self, "size", size);
    } else {
        auto b = bind(initSig, args, nargs, kwnames);
        assignField(p->_targetType, b.get(0, held.defaultTarget[Class]));
        if constexpr (Class == STR_PROP) {
            // Only varchar needs a length; the text types take none.
            Ref targetType = Borrowed(p->_targetType).ref();
            Ref isVarchar = Ref::steal(PyObject_RichCompare(targetType.get(), held.defaultTarget[Class], Py_EQ));
            if (truthy(isVarchar.get()) && !truthy(Borrowed(p->typeArgs).get())) {  // a tuple: no Python code
                Ref length = integer(255);
                assignField(p->typeArgs, tupleOf({length.get()}));
            }
        }
    }
    return Ref::none();
}

// `like` takes a pattern as written.  startsWith, endsWith and has match
// their text literally: the wildcards and the escape character in it are
// escaped, and only then does the filter carry an ESCAPE clause, so the
// statement of an ordinary text is the plain LIKE it always was.
Ref setFilterDispatch(PyObject* self, PyObject* value, int relationship) {
    return Ref::steal(opsOf(self)->setFilter(self, value, relationship));
}
Ref strLike(PyObject* self, PyObject* value) { return setFilterDispatch(self, value, REL_LIKE); }

// `text` with '%', '_' and the escape character escaped; `escaped` tells
// whether the pattern needs its ESCAPE clause: when the text held any of
// them, or a backslash, which MySQL's LIKE otherwise takes as its escape.
Ref escapeLiteral(PyObject* text, bool& escaped) {
    if (!PyUnicode_Check(text)) raiseArgType("value", "str", text);
    escaped = false;
    Ref out = Ref::borrow(text);
    Py_ssize_t n = PyUnicode_GET_LENGTH(held.likeSpecials);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 special = PyUnicode_READ_CHAR(held.likeSpecials, i);
        if (check((int)PyUnicode_FindChar(out.get(), special, 0, PyUnicode_GET_LENGTH(out.get()), 1)) < 0) continue;
        escaped = true;
        Ref from = Ref::steal(PyUnicode_FromOrdinal((int)special));
        char pair[2] = {kLikeEscape, (char)special};
        Ref to = Ref::steal(PyUnicode_FromStringAndSize(pair, 2));
        out = Ref::steal(PyUnicode_Replace(out.get(), from.get(), to.get(), -1));
    }
    if (!escaped && check((int)PyUnicode_FindChar(text, '\\', 0, PyUnicode_GET_LENGTH(text), 1)) >= 0) escaped = true;
    return out;
}

Ref literalPattern(PyObject* self, PyObject* value, bool front, bool back) {
    bool escaped = false;
    Ref pattern = escapeLiteral(value, escaped);
    if (front) pattern = Ref::steal(PyUnicode_Concat(held.percent, pattern.get()));
    if (back) pattern = Ref::steal(PyUnicode_Concat(pattern.get(), held.percent));
    if (propertyOverrides.overridden(self, OP_LIKE)) {
        // An overridden `like` builds the chain; an escaped pattern still
        // needs its ESCAPE clause.
        Ref chain = callMethod(self, propertyOverrides.name(OP_LIKE), pattern.get());
        if (escaped && PyObject_TypeCheck(chain.get(), FilterListCellType) && cellOf(chain.get())->relationship == REL_LIKE)
            cellOf(chain.get())->relationship = REL_LIKE_ESCAPED;
        return chain;
    }
    return setFilterDispatch(self, pattern.get(), escaped ? REL_LIKE_ESCAPED : REL_LIKE);
}
Ref strStartsWith(PyObject* self, PyObject* value) { return literalPattern(self, value, false, true); }
Ref strEndsWith(PyObject* self, PyObject* value) { return literalPattern(self, value, true, false); }
Ref strHas(PyObject* self, PyObject* value) { return literalPattern(self, value, true, true); }

const Signature<1> likeSig{"like", {"value"}, 1};
const Signature<1> startsWithSig{"startsWith", {"value"}, 1};
const Signature<1> endsWithSig{"endsWith", {"value"}, 1};
const Signature<1> hasSig{"has", {"value"}, 1};

#define Q_INIT(cls) Q_FAST("_init", typedInit<cls>, "_init(targetType=<default>, *args, **kwargs) -> None")
#define Q_SENTINEL {nullptr, nullptr, 0, nullptr}

PyMethodDef intMethods[] = {
    Q_INIT(INT_PROP),
    Q_FAST("toDBValue", (oneArgMethod<&toDBValueSig, intConvert>), "toDBValue(value) -> int or None"),
    Q_FAST("toObjValue", (oneArgMethod<&toObjValueSig, intConvert>), "toObjValue(value) -> int or None"),
    Q_SENTINEL,
};
PyMethodDef timestampMethods[] = {
    Q_INIT(TIMESTAMP_PROP),
    Q_FAST("toDBValue", (oneArgMethod<&toDBValueSig, timestampToDB>),
           "toDBValue(value) -> 'YYYY-MM-DD HH:MM:SS[.ffffff]' text (UTC for an aware datetime), or None"),
    Q_FAST("toObjValue", (oneArgMethod<&toObjValueSig, timestampToObj>),
           "toObjValue(value) -> the value as stored (naive; UTC for an aware datetime), or None"),
    Q_SENTINEL,
};
PyMethodDef strMethods[] = {
    Q_INIT(STR_PROP),
    Q_FAST("like", (oneArgMethod<&likeSig, strLike>), "like(value) -> a LIKE filter chain"),
    Q_FAST("startsWith", (oneArgMethod<&startsWithSig, strStartsWith>),
           "startsWith(value) -> a LIKE filter matching texts that start with `value` literally"),
    Q_FAST("endsWith", (oneArgMethod<&endsWithSig, strEndsWith>),
           "endsWith(value) -> a LIKE filter matching texts that end with `value` literally"),
    Q_FAST("has", (oneArgMethod<&hasSig, strHas>),
           "has(value) -> a LIKE filter matching texts that contain `value` literally"),
    Q_SENTINEL,
};
PyMethodDef floatMethods[] = {
    Q_FAST("_init", typedInit<FLOAT_PROP>, "_init(targetType=<default>, size=None, *args, **kwargs) -> None"),
    Q_FAST("toDBValue", (oneArgMethod<&toDBValueSig, floatToDB>), "toDBValue(value) -> a number or None"),
    Q_FAST("toObjValue", (oneArgMethod<&toObjValueSig, floatToObj>),
           "toObjValue(value) -> float rounded to the column's scale, or None"),
    Q_SENTINEL,
};
PyMethodDef boolMethods[] = {
    Q_INIT(BOOL_PROP),
    Q_FAST("toDBValue", (oneArgMethod<&toDBValueSig, boolToDB>),
           "toDBValue(value) -> the stored form of a flag (1/0, 'true'/'false' or a bit), or None"),
    Q_FAST("toObjValue", (oneArgMethod<&toObjValueSig, boolToObj>), "toObjValue(value) -> bool or None"),
    Q_SENTINEL,
};
PyMethodDef jsonMethods[] = {
    Q_INIT(JSON_PROP),
    Q_FAST("toDBValue", (oneArgMethod<&toDBValueSig, jsonToDB>), "toDBValue(value) -> JSON text, or None"),
    Q_FAST("toObjValue", (oneArgMethod<&toObjValueSig, jsonToObj>),
           "toObjValue(value) -> the decoded value (text that is not JSON is a string value), or None"),
    Q_SENTINEL,
};

PyMemberDef typedMembers[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(TypedPropertyObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef typedGetSet[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define TYPED_SLOTS(ops, methods, doc)                                  \
    {                                                                   \
        {Py_tp_doc, (void*)doc}, {Py_tp_new, (void*)propertyNew<&ops>}, \
            {Py_tp_traverse, (void*)traverseObject<typedFields>},       \
            {Py_tp_clear, (void*)clearObject<typedFields>},             \
            {Py_tp_dealloc, (void*)deallocObject<typedFields>},         \
            {Py_tp_methods, methods}, {Py_tp_members, typedMembers}, {Py_tp_getset, typedGetSet}, {0, nullptr}, \
    }

PyType_Slot intSlots[] = TYPED_SLOTS(intOps, intMethods, "IntProperty(..., targetType=intSupportType.Int)");
PyType_Slot strSlots[] = TYPED_SLOTS(identityOps, strMethods, "StrProperty(..., targetType=strSupportType.varchar)");
PyType_Slot floatSlots[] =
    TYPED_SLOTS(floatOps, floatMethods, "FloatProperty(..., targetType=floatSupportType.float, size=None)");
PyType_Slot boolSlots[] = TYPED_SLOTS(boolOps, boolMethods, "BoolProperty(..., targetType=boolSupportType.tinyInt)");
PyType_Slot timestampSlots[] =
    TYPED_SLOTS(timestampOps, timestampMethods, "TimestampProperty(..., targetType=timestampSupportType.timestamp)");
PyType_Slot jsonSlots[] = TYPED_SLOTS(jsonOps, jsonMethods, "JsonProperty(..., targetType=jsonSupportType.json)");

PyType_Spec typedSpecs[] = {
    {"Quillon.Model.Columns.IntProperty", sizeof(TypedPropertyObject), 0, kTypeFlags, intSlots},
    {"Quillon.Model.Columns.StrProperty", sizeof(TypedPropertyObject), 0, kTypeFlags, strSlots},
    {"Quillon.Model.Columns.FloatProperty", sizeof(TypedPropertyObject), 0, kTypeFlags, floatSlots},
    {"Quillon.Model.Columns.BoolProperty", sizeof(TypedPropertyObject), 0, kTypeFlags, boolSlots},
    {"Quillon.Model.Columns.TimestampProperty", sizeof(TypedPropertyObject), 0, kTypeFlags, timestampSlots},
    {"Quillon.Model.Columns.JsonProperty", sizeof(TypedPropertyObject), 0, kTypeFlags, jsonSlots},
};

// ===========================================================================
// ForeignKey: a dict of relation entries read as attributes
// ===========================================================================

// Attribute reads fall back to the entries, then to None.  A name the class
// defines (a method, `directTarget`) never falls back: its errors are real.
PyObject* foreignKeyGetAttr(PyObject* self, PyObject* name) {
    PyObject* found = genericAttrOrNull(self, name);
    if (found || PyErr_Occurred()) return found;
    PyObject* value = PyDict_GetItemWithError(self, name);
    if (value) return Py_NewRef(value);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

Borrowed entryOrNone(PyObject* self, PyObject* key) {
    Borrowed value = dictItem(self, key);
    return value ? value : Borrowed(Py_None);
}

const Signature<5> foreignKeySig{"__init__", {"target", "Type", "bindCol", "targetBindCol", "middleModel"}, 0};

int foreignKeyInit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary(-1, [&] {
        auto b = bind(foreignKeySig, args, kwargs);
        check(PyObject_SetItem(self, held.keyTarget, b.get(0, Py_None)));
        check(PyObject_SetItem(self, held.keyBindCol, b.get(2, Py_None)));
        check(PyObject_SetItem(self, held.keyType, b.get(1, held.oneToOne)));
        check(PyObject_SetItem(self, held.keyTargetBindCol, b.get(3, Py_None)));
        check(PyObject_SetItem(self, held.keyMiddleModel, b.get(4, Py_None)));
        return 0;
    });
}

// The model at the far end: a bound many-to-many key targets its middle
// model, which names the model on the other side.
Ref foreignKeyDirectTarget(PyObject* self) {
    // The comparison may run Python code that changes the entries: what it
    // needs is held.
    Ref target = entryOrNone(self, held.keyTarget).ref();
    Ref type = entryOrNone(self, held.keyType).ref();
    Ref eq = Ref::steal(PyObject_RichCompare(type.get(), held.manyToMany, Py_EQ));
    if (!truthy(eq.get())) return target;
    Ref owner = entryOrNone(self, held.keyOwner).ref();
    return callMethod(target.get(), "getOtherModelBy", owner.get());
}

int foreignKeyTraverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return PyDict_Type.tp_traverse(self, visit, arg);
}

void foreignKeyDealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyDict_Type.tp_dealloc(self);
    Py_DECREF(tp);
}

// ---------------------------------------------------------------------------
// Binding.  The interpreter calls `__set_name__` while the owner class is
// created: the key records where it lives, defaults its bind columns to the
// primary keys, and gives the target a relation back.  A many-to-many key
// first generates its middle model (a `MiddleEntity` subclass holding the link
// table) and then points at it.
// ---------------------------------------------------------------------------

void setEntry(PyObject* self, PyObject* key, PyObject* value) { check(PyObject_SetItem(self, key, value)); }

// The entry as an owned reference: the dict may change under later calls.
Ref entryRef(PyObject* self, PyObject* key) { return entryOrNone(self, key).ref(); }

bool entryEquals(PyObject* self, PyObject* key, PyObject* value) {
    Ref entry = entryRef(self, key);
    Ref eq = Ref::steal(PyObject_RichCompare(entry.get(), value, Py_EQ));
    return truthy(eq.get());
}

// The builtin hasattr: only an AttributeError means "no such attribute".
bool hasAttribute(PyObject* o, PyObject* name) {
    if (Ref::stealOrNull(PyObject_GetAttr(o, name))) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throwPending();
    PyErr_Clear();
    return false;
}

Ref newForeignKey(PyObject* target, PyObject* type, PyObject* bindCol, PyObject* targetBindCol,
                  PyObject* middleModel) {
    return call((PyObject*)ForeignKeyType, target, type, bindCol, targetBindCol, middleModel);
}

Ref concat(PyObject* a, PyObject* b) { return Ref::steal(PyUnicode_Concat(a, b)); }

// A link column of the middle table: a fresh property of the class of the
// model's key, or None when the model has no key (the metaclass skips it).
Ref linkColumn(PyObject* pkCol) {
    if (!truthy(pkCol)) return Ref::none();
    return call((PyObject*)Py_TYPE(pkCol));
}

// The reverse one-to-one relation on the target, named after the owner's
// table, unless the target already uses that name.
Ref foreignKeyProcessTarget(PyObject* self) {
    if (entryEquals(self, held.keyType, held.manyToMany)) return Ref::none();
    Ref target = entryRef(self, held.keyTarget);
    Ref owner = entryRef(self, held.keyOwner);
    Ref table = getattr(owner.get(), held.attrTableName);
    if (hasAttribute(target.get(), table.get())) return Ref::none();
    Ref bindCol = entryRef(self, held.keyBindCol);
    Ref targetBindCol = entryRef(self, held.keyTargetBindCol);
    Ref reverse = newForeignKey(owner.get(), held.oneToOne, targetBindCol.get(), bindCol.get(), Py_None);
    setattr(target.get(), table.get(), reverse.get());
    return Ref::none();
}

// Generates the middle model of a many-to-many relation, gives the target
// the relation back through it, and re-points this key at it.
Ref foreignKeyProcessMTM(PyObject* self) {
    Ref middleBase = importFrom("Quillon.Model.Entity", "MiddleEntity");
    Ref owner = entryRef(self, held.keyOwner);
    Ref target = entryRef(self, held.keyTarget);
    // Without a target the relation links the owner with itself (a class
    // body cannot name its own class).
    if (target.get() == Py_None) {
        target = Ref::borrow(owner.get());
        setEntry(self, held.keyTarget, owner.get());
    }

    Ref ownerName = getattr(owner.get(), "__name__");
    Ref targetName = getattr(target.get(), "__name__");
    Ref ownerPart = Ref::steal(PyUnicode_Replace(ownerName.get(), held.modelWord, held.empty, -1));
    Ref targetPart = Ref::steal(PyUnicode_Replace(targetName.get(), held.modelWord, held.empty, -1));
    Ref name = concat(ownerPart.get(), targetPart.get());

    Ref ownerTable = getattr(owner.get(), held.attrTableName);
    Ref targetTable = getattr(target.get(), held.attrTableName);
    // Both sides of a self-relation share a table name; the target side then
    // takes the key's own name so that the middle table keeps two columns.
    Ref targetSide = Ref::borrow(targetTable.get());
    Ref sameTable = Ref::steal(PyObject_RichCompare(ownerTable.get(), targetTable.get(), Py_EQ));
    if (truthy(sameTable.get())) {
        Ref keyName = entryRef(self, held.keyName);
        Ref clash = Ref::steal(PyObject_RichCompare(keyName.get(), ownerTable.get(), Py_EQ));
        if (truthy(clash.get())) {
            Ref prefix = concat(ownerTable.get(), held.underscore);
            targetSide = concat(prefix.get(), keyName.get());
        } else {
            targetSide = std::move(keyName);
        }
    }
    Ref ownerColName = concat(ownerTable.get(), held.idSuffix);
    Ref targetColName = concat(targetSide.get(), held.idSuffix);

    Ref ownerPk = getattr(owner.get(), held.attrPkCol);
    Ref targetPk = getattr(target.get(), held.attrPkCol);
    Ref ownerLink = linkColumn(ownerPk.get());
    Ref targetLink = linkColumn(targetPk.get());
    Ref ownerSideKey = newForeignKey(owner.get(), held.oneToMany, ownerLink.get(), ownerPk.get(), Py_None);
    setEntry(ownerSideKey.get(), held.keyName, ownerTable.get());
    Ref targetSideKey = newForeignKey(target.get(), held.oneToMany, targetLink.get(), targetPk.get(), Py_None);
    setEntry(targetSideKey.get(), held.keyName, targetSide.get());

    // The order of the namespace is the order of the middle model's columns and keys.
    Ref attrs = Ref::steal(PyDict_New());
    check(PyDict_SetItem(attrs.get(), ownerColName.get(), ownerLink.get()));
    check(PyDict_SetItem(attrs.get(), targetColName.get(), targetLink.get()));
    check(PyDict_SetItem(attrs.get(), ownerTable.get(), ownerSideKey.get()));
    check(PyDict_SetItem(attrs.get(), targetSide.get(), targetSideKey.get()));

    // The three-argument type call runs the model metaclass of the base.
    Ref bases = tupleOf({middleBase.get()});
    Ref middle = call((PyObject*)&PyType_Type, name.get(), bases.get(), attrs.get());
    setEntry(self, held.keyMiddleModel, middle.get());

    Ref reverse = newForeignKey(middle.get(), held.manyToMany, targetPk.get(), targetLink.get(), middle.get());
    setEntry(reverse.get(), held.keyOwner, target.get());
    setEntry(reverse.get(), held.keyName, ownerTable.get());
    Ref targetFks = getattr(target.get(), held.attrFk);
    callMethod(targetFks.get(), "append", reverse.get());
    setattr(target.get(), ownerTable.get(), reverse.get());

    setEntry(self, held.keyTarget, middle.get());
    setEntry(self, held.keyTargetBindCol, ownerLink.get());
    return Ref::none();
}

const Signature<2> foreignKeySetNameSig{"__set_name__", {"owner", "name"}, 2};

Ref foreignKeySetName(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(foreignKeySetNameSig, args, nargs, kwnames);
    PyObject* owner = b[0];
    setEntry(self, held.keyName, b[1]);
    setEntry(self, held.keyOwner, owner);
    Ref entity = importFrom("Quillon.Model.Entity", "Entity");
    if (!isSubclass(owner, entity.get())) raiseNew(held.ForeignKeyDependError);

    Ref middleModel = entryRef(self, held.keyMiddleModel);
    if (entryEquals(self, held.keyType, held.manyToMany) && !truthy(middleModel.get())) {
        callMethod(self, "_processMTM");
    } else if (entryEquals(self, held.keyType, held.oneToMany) &&
               entryOrNone(self, held.keyTargetBindCol).get() == Py_None) {
        // Not a format string: the message is UTF-8 text.
        PyErr_SetString(PyExc_RuntimeError, "一对多外键需绑定目标表的指定字段");
        throwPending();
    }

    if (entryOrNone(self, held.keyTarget).get() == Py_None) setEntry(self, held.keyTarget, owner);
    Ref bindCol = entryRef(self, held.keyBindCol);
    if (!truthy(bindCol.get())) {
        Ref pk = getattr(owner, held.attrPkCol);
        setEntry(self, held.keyBindCol, pk.get());
    }
    Ref targetBindCol = entryRef(self, held.keyTargetBindCol);
    if (!truthy(targetBindCol.get())) {
        Ref target = entryRef(self, held.keyTarget);
        Ref pk = getattr(target.get(), held.attrPkCol);
        setEntry(self, held.keyTargetBindCol, pk.get());
    }
    callMethod(self, "_processTarget");
    return Ref::none();
}

PyMethodDef foreignKeyMethods[] = {
    Q_FAST("__set_name__", foreignKeySetName, "__set_name__(owner, name) -> None; binds the key to its model"),
    Q_NOARGS("_processTarget", foreignKeyProcessTarget, "_processTarget() -> None; adds the reverse relation"),
    Q_NOARGS("_processMTM", foreignKeyProcessMTM, "_processMTM() -> None; generates the many-to-many middle model"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef foreignKeyGetSet[] = {
    Q_GETTER("directTarget", foreignKeyDirectTarget, "the model at the far end of the relation"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot foreignKeySlots[] = {
    {Py_tp_doc, (void*)"ForeignKey(target=None, Type=ForeignType.ONE_TO_ONE, bindCol=None, targetBindCol=None, "
                       "middleModel=None)\n\nA relation to another model, kept as dict entries."},
    {Py_tp_init, (void*)foreignKeyInit},
    {Py_tp_getattro, (void*)foreignKeyGetAttr},
    {Py_tp_traverse, (void*)foreignKeyTraverse},
    {Py_tp_dealloc, (void*)foreignKeyDealloc},
    {Py_tp_getset, foreignKeyGetSet},
    {Py_tp_methods, foreignKeyMethods},
    {0, nullptr},
};

PyType_Spec foreignKeySpec = {"Quillon.Model.Columns.ForeignKey", sizeof(PyDictObject), 0, kTypeFlags,
                              foreignKeySlots};

// ===========================================================================
// Module loading
// ===========================================================================

// Class attributes of an immutable native type are set once, while loading.
void setClassAttr(PyTypeObject* type, const char* name, PyObject* value) {
    check(PyDict_SetItemString(type->tp_dict, name, value));
    PyType_Modified(type);
}

void exec(PyObject* module) {
    NullDefaultType = addType(module, &nullDefaultSpec);
    AutoIncrementType = addType(module, &autoIncrementSpec);
    BasePropertyType = addType(module, &propertySpec);
    FilterListCellType = addType(module, &cellSpec);
    ExpressionType = addType(module, &expressionSpec);
    OrderTermType = addType(module, &orderTermSpec);
    {
        PyTypeObject* aggregate = addType(module, &aggregateSpec, ExpressionType);
        for (PyType_Spec& spec : functionSpecs) addType(module, &spec, aggregate);
    }
    api.NullDefault = NullDefaultType;
    api.AutoIncrement = AutoIncrementType;
    api.BaseProperty = BasePropertyType;
    api.FilterListCell = FilterListCellType;
    api.propertyOps = &apiPropertyOps;
    api.filterCellOps = &cellOps;
    api.newFilterCell = apiNewFilterCell;
    api.Expression = ExpressionType;
    api.OrderTerm = OrderTermType;
    publish(module, &api, kColumnsCapsule);

    // Imports come only now that the capsule is in place.
    gen = bindApi<GeneratorApi>("Quillon.DB.Generator", kGeneratorCapsule);
    Ref json = importModule("json");
    held.jsonDumps = keep(getattr(json.get(), "dumps"));
    held.jsonLoads = keep(getattr(json.get(), "loads"));
    importFrom("typing", "Optional");
    Ref enumClass = importFrom("enum", "Enum");
    Ref intEnumClass = importFrom("enum", "IntEnum");
    Ref faults = importModule("Quillon.Error.ColumnFault");
    held.PropertyVerifyError = keep(getattr(faults.get(), "PropertyVerifyError"));
    held.PrimaryKeyOverLimitError = keep(getattr(faults.get(), "PrimaryKeyOverLimitError"));
    held.PropertyUsageError = keep(getattr(faults.get(), "PropertyUsageError"));
    held.ForeignKeyDependError = keep(getattr(faults.get(), "ForeignKeyDependError"));
    held.EmptyFilterValueError = keep(getattr(faults.get(), "EmptyFilterValueError"));
    held.round = keep(importFrom("builtins", "round"));

    held.empty = keep(str(""));
    held.emptyTuple = keep(Ref::steal(PyTuple_New(0)));
    held.null = keep(str("null"));
    held.percent = keep(str("%"));
    {
        const char specials[] = {kLikeEscape, '%', '_'};
        held.likeSpecials = keep(str(std::string_view(specials, 3)));
    }
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throwPending();
    Ref datetimeModule = importModule("datetime");
    Ref timezone = getattr(datetimeModule.get(), "timezone");
    held.utc = keep(getattr(timezone.get(), "utc"));
    Ref datetimeType = getattr(datetimeModule.get(), "datetime");
    held.fromIsoFormat = keep(getattr(datetimeType.get(), "fromisoformat"));
    held.zeroDate = keep(str("0000-00-00"));
    held.textTrue = keep(str("true"));
    held.textFalse = keep(str("false"));
    held.bitOne = keep(Ref::steal(PyBytes_FromStringAndSize("\x01", 1)));
    held.bitZero = keep(Ref::steal(PyBytes_FromStringAndSize("\x00", 1)));
    held.verifierContext = keep(str("Quillon.Model.Columns.BaseProperty.verifier"));
    held.keyTarget = keep(interned("target"));
    held.keyBindCol = keep(interned("bindCol"));
    held.keyType = keep(interned("Type"));
    held.keyTargetBindCol = keep(interned("targetBindCol"));
    held.keyMiddleModel = keep(interned("middleModel"));
    held.keyOwner = keep(interned("owner"));
    held.keyName = keep(interned("name"));
    held.attrPkCol = keep(interned("pkCol"));
    held.attrTableName = keep(interned("tableName"));
    held.unique = keep(interned("unique"));
    held.attrFk = keep(interned("fk"));
    held.modelWord = keep(str("Model"));
    held.idSuffix = keep(str("_id"));
    held.underscore = keep(str("_"));

    held.noDefault = keep(call((PyObject*)NullDefaultType));
    addObject(module, "auto_increment", (PyObject*)AutoIncrementType);
    Ref timestampText = str("current_timestamp");
    Ref dateText = str("current_date");
    addObject(module, "current_timestamp", Ref::steal(gen->newCustomColAnnounce(timestampText.get())).get());
    addObject(module, "current_date", Ref::steal(gen->newCustomColAnnounce(dateText.get())).get());

    makeEnum(module, intEnumClass.get(), "Relationship",
             {{"AND", integer(REL_AND)}, {"OR", integer(REL_OR)}, {"EQ", integer(REL_EQ)}, {"GT", integer(REL_GT)},
              {"GE", integer(REL_GE)}, {"LT", integer(REL_LT)}, {"LE", integer(REL_LE)}, {"NE", integer(REL_NE)},
              {"NONE", integer(REL_NONE)}, {"LIKE", integer(REL_LIKE)}, {"IS_NULL", integer(REL_IS_NULL)},
              {"NOT_NULL", integer(REL_NOT_NULL)}, {"LIKE_ESCAPED", integer(REL_LIKE_ESCAPED)},
              {"IN", integer(REL_IN)}, {"NOT_IN", integer(REL_NOT_IN)}, {"BETWEEN", integer(REL_BETWEEN)}});
    PyObject* enumBase = enumClass.get();
    Ref intTypes = makeEnum(module, enumBase, "intSupportType", {{"Int", str("int")}, {"bigint", str("bigint")}});
    Ref strTypes = makeEnum(module, enumBase, "strSupportType",
                            {{"varchar", str("varchar")}, {"text", str("text")}, {"longText", str("longtext")},
                             {"tinyText", str("tinytext")}});
    Ref floatTypes = makeEnum(module, enumBase, "floatSupportType", {{"float", str("float")}, {"decimal", str("decimal")}});
    Ref boolTypes = makeEnum(module, enumBase, "boolSupportType",
                             {{"tinyInt", str("tinyint")}, {"bit", str("bit")}, {"varchar", str("varchar")}});
    Ref timestampTypes = makeEnum(module, enumBase, "timestampSupportType",
                                  {{"varchar", str("varchar(32)")}, {"timestamp", str("timestamp")},
                                   {"datetime", str("datetime")}});
    Ref jsonTypes = makeEnum(module, enumBase, "jsonSupportType",
                             {{"varchar", str("varchar")}, {"text", str("text")}, {"longtext", str("longtext")},
                              {"tinytext", str("tinytext")}, {"json", str("json")}});
    held.boolTinyInt = keep(getattr(boolTypes.get(), "tinyInt"));
    held.boolBit = keep(getattr(boolTypes.get(), "bit"));
    held.boolVarchar = keep(getattr(boolTypes.get(), "varchar"));

    struct TypedClassInfo {
        PyObject* valueType;
        const char* enumAttr;
        PyObject* enumeration;
        const char* defaultMember;
    };
    const TypedClassInfo classes[] = {
        {(PyObject*)&PyLong_Type, "supportType", intTypes.get(), "Int"},
        {(PyObject*)&PyUnicode_Type, "supportType", strTypes.get(), "varchar"},
        {(PyObject*)&PyFloat_Type, "SupportType", floatTypes.get(), "float"},
        {(PyObject*)&PyBool_Type, "SupportType", boolTypes.get(), "tinyInt"},
        {(PyObject*)&PyUnicode_Type, "SupportType", timestampTypes.get(), "timestamp"},
        {(PyObject*)&PyDict_Type, "SupportType", jsonTypes.get(), "json"},
    };
    for (int i = 0; i < 6; ++i) {
        PyTypeObject* type = addType(module, &typedSpecs[i], BasePropertyType);
        setClassAttr(type, "Type", classes[i].valueType);
        setClassAttr(type, classes[i].enumAttr, classes[i].enumeration);
        held.defaultTarget[i] = keep(getattr(classes[i].enumeration, classes[i].defaultMember));
    }

    Ref foreignTypes = makeEnum(module, enumBase, "ForeignType",
                                {{"ONE_TO_ONE", integer(1)}, {"ONE_TO_MANY", integer(2)}, {"MANY_TO_MANY", integer(3)}});
    held.oneToOne = keep(getattr(foreignTypes.get(), "ONE_TO_ONE"));
    held.manyToMany = keep(getattr(foreignTypes.get(), "MANY_TO_MANY"));
    held.oneToMany = keep(getattr(foreignTypes.get(), "ONE_TO_MANY"));
    ForeignKeyType = addType(module, &foreignKeySpec, &PyDict_Type);

    api.ForeignKey = (PyObject*)ForeignKeyType;
    api.ForeignType = foreignTypes.release();
    api.noDefault = held.noDefault;
}

PyModuleDef_Slot moduleSlots[] = {
    Q_MODULE_SLOTS(exec),
    {0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "Quillon.Model.Columns",
                         "Column properties, filter cells and foreign keys.",
                         0, nullptr, moduleSlots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Columns() { return PyModuleDef_Init(&moduleDef); }
