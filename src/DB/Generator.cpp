// Quillon.DB.Generator: SQL generation.
//
// Every generator derives from the native base `BaseSqlGenerator`, whose
// first native field is the statement kind and whose native table starts with
// `Build`.  The smallest generator, `CustomColAnnounce`, carries a literal
// piece of SQL that stands in for a generated column default.  The property
// module creates two announcements while it loads, so this module creates its
// types and publishes its capsule before it imports anything.
#include <quillon/coro.hpp>
#include <quillon/facade.hpp>
#include <quillon/layouts.hpp>
#include <quillon/native.hpp>
#include <quillon/override.hpp>
#include <quillon/sql.hpp>

#include <algorithm>
#include <cstring>
#include <memory>
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
// Text building
//
// Statements are rendered into one std::string with room reserved up front;
// Python objects are only read (str payloads as UTF-8 views), never
// concatenated, so a statement costs one allocation for its text.
// ===========================================================================

PyTypeObject* SqlGeneratorType = nullptr;
PyTypeObject* JoinCellType = nullptr;
PyTypeObject* TableGeneratorType = nullptr;
ColumnsApi* columns = nullptr;
PyObject* relationshipMap = nullptr;  // relationship code -> text
PyObject* joinTypeMap = nullptr;      // JoinType -> text
PyObject* sqlTypeEnum = nullptr;
PyObject* sqlFaultModule = nullptr;
PyObject* initialLimit = nullptr;     // " "
PyObject* tableNameKey = nullptr;     // interned "tableName", read once per column cell
PyObject* modelKey = nullptr;         // interned names of the entries read while rendering
PyObject* nameKey = nullptr;
PyObject* valueKey = nullptr;
PyObject* colKey = nullptr;
PyObject* getKey = nullptr;
PyObject* targetKey = nullptr;
PyObject* ownerKey = nullptr;
PyObject* bindColKey = nullptr;
PyObject* targetBindColKey = nullptr;

Ref textOf(const std::string& s) {
    return Ref::steal(PyUnicode_DecodeUTF8(s.data(), (Py_ssize_t)s.size(), nullptr));
}

// A piece joined into a statement: anything but a str fails the way the
// concatenation of the two would.
void appendConcat(std::string& out, PyObject* piece) {
    if (!PyUnicode_Check(piece))
        raise(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", typeName(piece));
    out.append(utf8(piece));
}

// A piece of the table declaration, which is typed as text.
std::string_view declarationText(PyObject* piece) {
    if (!PyUnicode_Check(piece)) raise(PyExc_TypeError, "Expected %.16s, got %.200s", "unicode", typeName(piece));
    return utf8(piece);
}
void appendUnicode(std::string& out, PyObject* piece) { out.append(declarationText(piece)); }

// The text a module map gives for `code`; codes without an entry give "".
void appendMapped(std::string& out, PyObject* map, int code) {
    Ref key = integer(code);
    PyObject* text = PyDict_GetItemWithError(map, key.get());
    if (!text) {
        checkError();
        return;
    }
    appendConcat(out, text);
}

[[noreturn]] void raiseFault(const char* name, std::initializer_list<PyObject*> args) {
    Ref cls = getattr(sqlFaultModule, name);
    Ref argv = tupleOf(args);
    Ref exc = Ref::steal(PyObject_Call(cls.get(), argv.get(), nullptr));
    PyErr_SetObject((PyObject*)Py_TYPE(exc.get()), exc.get());
    throwPending();
}

// The facade's API, bound on first use (defined with the table creation below).
const DBApi* dbApi();

// The dialect statements are written in: the active connector's, SQLite's
// for a builder used without a facade.
int currentDialect() { return activeDialect(dbApi()); }

// A name taken from an object: a str, or the TypeError of joining anything
// else into a statement.
std::string_view nameText(PyObject* name) {
    if (!PyUnicode_Check(name))
        raise(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", typeName(name));
    return utf8(name);
}

bool isProperty(PyObject* o) {
    // The column classes derive from the base directly.
    PyTypeObject* t = Py_TYPE(o);
    return t == columns->BaseProperty || t->tp_base == columns->BaseProperty || PyType_IsSubtype(t, columns->BaseProperty);
}
bool isFilterCell(PyObject* o) { return PyObject_TypeCheck(o, columns->FilterListCell); }
bool isExpression(PyObject* o) {
    // Operands are mostly builtin scalars, which are never expressions.
    if (PyLong_CheckExact(o) || PyUnicode_CheckExact(o) || PyFloat_CheckExact(o) || o == Py_None) return false;
    return columns->Expression && PyObject_TypeCheck(o, columns->Expression);
}
Borrowed propertyName(PyObject* prop) { return Borrowed(reinterpret_cast<BasePropertyObject*>(prop)->name); }

// ===========================================================================
// Table names and qualified column texts
//
// Every column of every statement asks its model for `tableName` and writes
// `table.column`, quoting keywords.  Both answers are kept:
//
// - getattr(model, "tableName") runs no Python code when the model's
//   metaclass reads attributes the standard way and defines no `tableName`
//   itself, and the model's MRO holds a plain str under that name.  Such an
//   answer is kept against the version tags of the model and its metaclass,
//   which the interpreter changes whenever either class (or a base) is
//   modified; anything else is asked through getattr each time.
// - The qualified text of a (table name, column name) pair of str objects is
//   kept per dialect while the entry holds those very objects.
//
// Both tables are small, direct-mapped, and live for the process (their
// references are released only when an entry is replaced).
// ===========================================================================

struct TableNameSlot {
    PyObject* model;  // compared only; the version tag proves it is the same class
    unsigned modelTag;
    unsigned metaTag;
    PyObject* tableName;  // owned
};
TableNameSlot* tableNameSlots = nullptr;  // 64 entries, leaked
constexpr size_t kTableNameSlots = 64;

size_t pointerSlot(const void* p, size_t size) {
    auto v = reinterpret_cast<uintptr_t>(p);
    return (size_t)((v >> 4) ^ (v >> 10)) & (size - 1);
}

// The str getattr(model, "tableName") would give without running Python
// code, or null when only getattr can tell.
PyObject* plainTableName(PyObject* model) {
    if (!PyType_Check(model)) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(model);
    PyTypeObject* meta = Py_TYPE(model);
    TableNameSlot& slot = tableNameSlots[pointerSlot(model, kTableNameSlots)];
    if (slot.model == model && slot.tableName && versionTagValid(type, slot.modelTag) &&
        versionTagValid(meta, slot.metaTag))
        return slot.tableName;
    if (meta->tp_getattro != PyType_Type.tp_getattro) return nullptr;
    unsigned metaTag = typeVersionTag(meta), modelTag = typeVersionTag(type);
    if (!metaTag || !modelTag) return nullptr;
    if (lookupType(meta, tableNameKey)) return nullptr;  // a descriptor of the metaclass decides
    PyObject* found = lookupType(type, tableNameKey);
    if (!found || !PyUnicode_CheckExact(found)) return nullptr;
    PyObject* old = slot.tableName;
    slot = {model, modelTag, metaTag, Py_NewRef(found)};
    Py_XDECREF(old);  // a str: releasing it runs no Python code
    return found;
}

Ref tableNameOf(PyObject* model) {
    if (PyObject* plain = plainTableName(model)) return Ref::borrow(plain);
    return getattr(model, tableNameKey);
}

struct QualifiedSlot {
    PyObject* table;  // owned str
    PyObject* column;  // owned str
    int dialect;
    std::string text;
};
QualifiedSlot* qualifiedSlots = nullptr;  // 256 entries, leaked
constexpr size_t kQualifiedSlots = 256;

// Appends `table.column` for two str objects, quoting keywords of `dialect`.
void appendQualifiedNames(std::string& out, PyObject* table, PyObject* column, int dialect) {
    if (!PyUnicode_CheckExact(table) || !PyUnicode_CheckExact(column)) {
        appendQualified(out, nameText(table), nameText(column), dialect);
        return;
    }
    auto mix = reinterpret_cast<uintptr_t>(table) * 31u + reinterpret_cast<uintptr_t>(column);
    QualifiedSlot& slot = qualifiedSlots[pointerSlot(reinterpret_cast<void*>(mix), kQualifiedSlots) ^ (size_t)dialect];
    if (slot.table == table && slot.column == column && slot.dialect == dialect) {
        out.append(slot.text);
        return;
    }
    size_t mark = out.size();
    appendQualified(out, utf8(table), utf8(column), dialect);
    std::string text(out, mark);  // made before the slot changes: a failure leaves it as it was
    PyObject *oldTable = slot.table, *oldColumn = slot.column;
    slot.table = Py_NewRef(table);
    slot.column = Py_NewRef(column);
    slot.dialect = dialect;
    slot.text = std::move(text);
    Py_XDECREF(oldTable);  // strs: releasing them runs no Python code
    Py_XDECREF(oldColumn);
}

// ===========================================================================
// Terms: columns, arithmetic and aggregates
//
// A column is written `table.column` (or bare, where a statement names its
// own table's columns: the SET list of an update); an expression writes its
// operands around its operator, a nested one in parentheses so that the
// grouping written in Python is kept; a value is a placeholder and an
// argument.  Expressions nest a bounded number of levels.
// ===========================================================================

void appendColumn(std::string& out, PyObject* prop, bool qualified, int dialect) {
    // Reading the table name may run Python code: the property is held.
    Ref held = Ref::borrow(prop);
    Ref name = propertyName(prop).ref();
    if (!qualified) {
        appendIdentifier(out, nameText(name.get()), dialect);
        return;
    }
    Ref model = Borrowed(reinterpret_cast<BasePropertyObject*>(prop)->model).ref();
    Ref tableName = tableNameOf(model.get());
    appendQualifiedNames(out, tableName.get(), name.get(), dialect);
}

// Whether a flag column is `boolean` on PostgreSQL (stored as tinyint or bit elsewhere).
bool isBooleanColumn(PyObject* term);

void renderTermInto(std::string& out, PyObject* term, PyObject* args, bool qualified, int dialect, bool nested) {
    if (isProperty(term)) {
        appendColumn(out, term, qualified, dialect);
        return;
    }
    if (!isExpression(term)) {
        check(PyList_Append(args, term));
        out.append("%s");
        return;
    }
    // The expression's operands are held: rendering them runs Python code.
    auto* e = reinterpret_cast<ExpressionObject*>(term);
    Ref left = Ref::borrow(e->left), right = Ref::borrow(e->right);
    int kind = e->kind;
    if (isAggregateKind(kind)) {
        static const char* const functions[] = {"count(", "sum(", "avg(", "min(", "max("};
        if (dialect == DIALECT_POSTGRES && (kind == EXPR_MIN || kind == EXPR_MAX) && isBooleanColumn(left.get()))
            out.append(kind == EXPR_MIN ? "bool_and(" : "bool_or(");  // PostgreSQL has no min/max of booleans
        else
            out.append(functions[kind - EXPR_COUNT]);
        if (kind == EXPR_COUNT && left.get() == Py_None) {
            out.push_back('*');
        } else {
            if (e->distinct) out.append("DISTINCT ");
            renderTermInto(out, left.get(), args, qualified, dialect, false);
        }
        out.push_back(')');
        return;
    }
    static const char* const operators[] = {" + ", " - ", " * ", " / "};
    if (kind < EXPR_ADD || kind > EXPR_DIV) raise(PyExc_ValueError, "unknown expression kind %d", kind);
    if (nested) out.push_back('(');
    // `/` divides as Python's does: SQLite and PostgreSQL divide integers to
    // an integer unless one side is a real number (MySQL never does).
    bool realDivision = kind == EXPR_DIV && (dialect == DIALECT_SQLITE || dialect == DIALECT_POSTGRES);
    if (realDivision) out.append("CAST(");
    renderTermInto(out, left.get(), args, qualified, dialect, !realDivision);
    if (realDivision) out.append(dialect == DIALECT_POSTGRES ? " AS DOUBLE PRECISION)" : " AS REAL)");
    out.append(operators[kind]);
    renderTermInto(out, right.get(), args, qualified, dialect, true);
    if (nested) out.push_back(')');
}

PyObject* apiRenderTerm(PyObject* term, PyObject* args, int qualified) {
    return entry([&] {
        if (!PyList_Check(args)) raiseArgType("args", "list", args);
        std::string out;
        renderTermInto(out, term, args, qualified != 0, currentDialect(), false);
        return textOf(out);
    });
}

// ===========================================================================
// Where rendering
//
// A chain is flat, but the cells remember the grouping written in Python:
// a cell opens `openGroups` parentheses before its text and closes
// `closeGroups` after its own text, before the connective that follows it.
// `depth` (when given) keeps the text balanced whatever the counts say.
// ===========================================================================

// boolSupportType.bit, looked up on first use.
PyObject* bitMember() {
    static PyObject* bit = nullptr;  // lives for the process
    if (!bit) {
        Ref types = importFrom("Quillon.Model.Columns", "boolSupportType");
        bit = getattr(types.get(), "bit").release();
    }
    return bit;
}

bool isBooleanColumn(PyObject* term) {
    static PyObject* tinyInt = nullptr;  // lives for the process
    if (!tinyInt) {
        Ref types = importFrom("Quillon.Model.Columns", "boolSupportType");
        tinyInt = getattr(types.get(), "tinyInt").release();
    }
    if (!isProperty(term)) return false;
    PyObject* type = reinterpret_cast<BasePropertyObject*>(term)->_targetType;
    return type == tinyInt || type == bitMember();
}

// MySQL compares a bit column with a bytes operand as a number made from the
// text, so a flag is matched by its integer (the column still stores bits).
bool isBitColumn(FilterListCellObject* columnCell) {
    if (!columnCell) return false;
    PyObject* bit = bitMember();
    PyObject* col = columnCell->col;
    return col && col != Py_None && isProperty(col) && reinterpret_cast<BasePropertyObject*>(col)->_targetType == bit;
}

// The opening parentheses of a cell, outermost first: a negation opens
// with `NOT (`.
void appendOpens(std::string& out, int opens, unsigned notGroups) {
    for (int i = opens - 1; i >= 0; --i) {
        if (i < 32 && (notGroups >> i) & 1u) out.append("NOT ");
        out.push_back('(');
    }
}

bool isMembership(int relationship) {
    return relationship == REL_IN || relationship == REL_NOT_IN || relationship == REL_BETWEEN;
}

// The argument of one operand value; MySQL matches a bit column by its integer.
Ref boundOperand(PyObject* value, FilterListCellObject* columnCell, int dialect) {
    if (dialect == DIALECT_MYSQL && PyBytes_Check(value) && PyBytes_GET_SIZE(value) == 1 && isBitColumn(columnCell))
        return integer(PyBytes_AS_STRING(value)[0] != 0 ? 1 : 0);
    return Ref::borrow(value);
}

void bindOperand(PyObject* args, PyObject* value, FilterListCellObject* columnCell, int dialect) {
    Ref bound = boundOperand(value, columnCell, dialect);
    check(PyList_Append(args, bound.get()));
}

// The whole test of IN, NOT IN or BETWEEN, written by its operand cell (the
// tuple of values) for the column cell `prev`.  An empty IN matches no row
// and an empty NOT IN every row; a None among the values stands for NULL,
// which IN cannot match by itself.  Kept out of line: the plain comparisons'
// path stays small.
[[gnu::noinline]] void renderMembership(std::string& out, FilterListCellObject* prev, PyObject* values, PyObject* args,
                                        int dialect) {
    int relationship = prev->relationship;
    Ref col = Borrowed(prev->col).ref();
    if (!col || !isProperty(col.get()))
        raise(PyExc_TypeError, "the values of IN, NOT IN and BETWEEN follow a column cell");
    if (!PyTuple_Check(values)) raiseArgType("value", "tuple", values);
    std::string column;
    appendColumn(column, col.get(), true, dialect);
    Py_ssize_t n = PyTuple_GET_SIZE(values);
    if (relationship == REL_BETWEEN) {
        if (n != 2) raise(PyExc_ValueError, "BETWEEN takes two bounds, got %zd", n);
        out.append(column);
        out.append("  BETWEEN  %s AND %s ");
        for (Py_ssize_t i = 0; i < 2; ++i) bindOperand(args, tupleItem(values, i).get(), prev, dialect);
        return;
    }
    bool in = relationship == REL_IN;
    Py_ssize_t present = 0;
    for (Py_ssize_t i = 0; i < n; ++i) present += tupleItem(values, i).get() != Py_None;
    bool nulls = present < n;
    if (present == 0) {
        if (nulls) out.append(column).append(in ? " IS NULL " : " IS NOT NULL ");
        else out.append(in ? "0 = 1 " : "1 = 1 ");
        return;
    }
    if (nulls) out.push_back('(');
    out.append(column);
    out.append(in ? "  IN (" : "  NOT IN (");
    bool first = true;
    // `values` is the operand cell's tuple, held by the caller; binding runs
    // no Python code.
    for (Py_ssize_t i = 0; i < n; ++i) {
        Borrowed value = tupleItem(values, i);
        if (value.get() == Py_None) continue;
        out.append(first ? "%s" : ",%s");
        first = false;
        bindOperand(args, value.get(), prev, dialect);
    }
    out.append(") ");
    if (nulls) out.append(in ? "OR " : "AND ").append(column).append(in ? " IS NULL) " : " IS NOT NULL) ");
}

// Renders one cell.  `prev` is the cell before it in the chain (null when
// rendered alone): a value cell is the operand of the comparison `prev`
// opened, and that comparison decides how it is written.  A cell holding an
// expression writes its SQL.
void renderCell(std::string& out, PyObject* cellObj, PyObject* args, int* depth, FilterListCellObject* prev,
                int dialect) {
    auto* cell = reinterpret_cast<FilterListCellObject*>(cellObj);
    int opens = cell->openGroups > 0 ? cell->openGroups : 0;
    int closes = cell->closeGroups > 0 ? cell->closeGroups : 0;
    if (depth) {
        *depth += opens;
        if (closes > *depth) closes = *depth;
        *depth -= closes;
    }
    appendOpens(out, opens, cell->notGroups);
    bool writesConnective = true;
    Ref col = Borrowed(cell->col).ref();
    if (col && col.get() != Py_None && truthy(col.get())) {
        // A membership test is written whole by its operand cell.
        if (isMembership(cell->relationship)) {
            writesConnective = false;
        } else {
            Ref model = isProperty(col.get()) ? Borrowed(col.as<BasePropertyObject>()->model).ref()
                                              : getattr(col.get(), modelKey);
            Ref tableName = tableNameOf(model.get());
            Ref name = Borrowed(cell->value).ref();
            appendQualifiedNames(out, tableName.get(), name.get(), dialect);
            out.push_back(' ');
        }
    } else {
        int comparison = prev ? prev->relationship : -1;
        Ref value = Borrowed(cell->value).ref();
        if (isExpression(value.get())) {
            if (prev && isMembership(comparison))
                raise(PyExc_TypeError, "IN, NOT IN and BETWEEN take values, not an expression");
            renderTermInto(out, value.get(), args, true, dialect, false);
            out.push_back(' ');
        } else if (prev && isMembership(comparison)) {
            renderMembership(out, prev, value.get(), args, dialect);
        } else if (comparison != REL_IS_NULL && comparison != REL_NOT_NULL) {
            // The NULL tests have no operand to write or bind.
            bindOperand(args, value.get(), prev, dialect);
            out.append(" %s ");
            if (comparison == REL_LIKE_ESCAPED) {
                out.append("ESCAPE '");
                out.push_back(kLikeEscape);
                out.append("' ");
            }
        }
    }
    out.append((size_t)closes, ')');
    if (writesConnective) appendMapped(out, relationshipMap, cell->relationship);
}

Borrowed nextCell(PyObject* cell) {
    PyObject* next = reinterpret_cast<FilterListCellObject*>(cell)->next;
    return Borrowed(next == Py_None ? nullptr : next);
}

// Appends the where text of the chain at `head` (a cell) to `out` and its
// arguments to `args`; `keyword` (" WHERE ", " HAVING ") comes first.
void renderWhere(std::string& out, PyObject* head, PyObject* args, const char* keyword = " WHERE ") {
    if (!nextCell(head)) raiseFault("SqlInStanceError", {});
    out.append(keyword);
    int depth = 0;
    // Cells are shared and mutable, so a chain can be linked into itself;
    // the slow cursor catches that instead of rendering forever.
    // Every cell is held while it is used: rendering reads attributes,
    // which may run Python code that relinks the chain.
    Ref slow = Borrowed(head).ref();
    size_t steps = 0;
    int dialect = currentDialect();
    Ref prev;
    for (Ref cell = Borrowed(head).ref(); cell;) {
        Ref next = nextCell(cell.get()).ref();
        if (next && cell.as<FilterListCellObject>()->relationship == REL_NONE) {
            Ref following = Ref::steal(PyObject_Str(next.get()));
            Ref value = Borrowed(cell.as<FilterListCellObject>()->value).ref();
            raiseFault("SqlMissingRelationshipError", {value.get(), following.get()});
        }
        renderCell(out, cell.get(), args, &depth, prev ? prev.as<FilterListCellObject>() : nullptr, dialect);
        if (next && !isFilterCell(next.get())) raiseConvert(next.get(), "FilterListCell");
        prev = std::move(cell);
        cell = std::move(next);
        if (++steps % 2 == 0) slow = nextCell(slow.get()).ref();
        if (cell && cell.get() == slow.get())
            raise(PyExc_ValueError, "the filter chain is circular: one of its cells is linked back into it");
    }
    out.append((size_t)depth, ')');
}

// ===========================================================================
// Statement shapes
//
// A statement's text depends on its shape only: the statement kind, the
// dialect, the table, the columns, each filter cell's column, operator,
// grouping and negation, how an operand is written (nothing for the NULL
// tests, one placeholder per present value of IN, ...), the order terms and
// the limit text.  Its values travel as arguments.  So a statement is first
// walked without running any Python code, which gives its shape key and its
// arguments; the text rendered for a key is kept, and a statement of a known
// shape costs that walk only.
//
// The walk gives up (and the statement is rendered the usual way, its text
// not kept) wherever the text could depend on Python code: a column whose
// class defines its truth value or length, a model whose `tableName` is not
// a plain str of the class (a metaclass descriptor, a changed `getattr`), a
// name that is not an exact str, joins, overlong statements.
// Because the walk runs no Python code, giving up is invisible: the usual
// renderer then makes every call it always made, once.
//
// The key holds the identities of the str objects the text was made from
// (table and column names, the target; an entry owns references to them, so
// an identity in a key always stands for the same text) and the content of
// the limit and order texts, which are often made afresh.  Values never
// enter a key.  A key reads unambiguously from its start: every part whose
// form varies begins with a tag, every list with its length.  The table is
// bounded (two-way set-associative) and lives for the process: it is
// allocated once and never freed, and an entry's references are released
// only when the entry is replaced -- all of them strs, whose release runs no
// Python code.
// ===========================================================================

enum ShapeTag : uintptr_t {
    SHAPE_SELECT = 1,
    SHAPE_UPDATE,
    SHAPE_DELETE,
    SHAPE_INSERT,
    SHAPE_WHERE,         // a filter rendered alone; the keyword follows
    SHAPE_NO_FILTER,
    SHAPE_FILTER,
    SHAPE_COLUMN_CELL,   // table and column name follow
    SHAPE_TEST_CELL,     // the column cell of IN / NOT IN / BETWEEN (its operand writes it)
    SHAPE_VALUE_CELL,
    SHAPE_PLAIN_VALUE,   // a value cell binding its value (or nothing, for the NULL tests)
    SHAPE_MEMBERSHIP,    // table, column name, values, present values
    SHAPE_ORDER_TEXT,
    SHAPE_ORDER_COLUMN,  // descending, then the term
    SHAPE_SET_ITEM,      // column name
    SHAPE_INSERT_ITEM,   // column name
    SHAPE_EXPRESSION,    // an expression written by a cell, a SET item or an order term
    SHAPE_TERM_COLUMN,
    SHAPE_TERM_VALUE,
    SHAPE_TERM_AGGREGATE,  // kind, DISTINCT and PostgreSQL's boolean columns
    SHAPE_TERM_STAR,
    SHAPE_TERM_ARITHMETIC,
};

// The longest statement that is kept: longer ones (long IN lists, wide
// selects) are rendered each time.
constexpr size_t kShapeWords = 160;
constexpr size_t kShapeObjects = 48;
constexpr size_t kShapeArgs = 64;
constexpr size_t kShapeCells = 64;
constexpr size_t kShapeContent = 120;  // bytes of a text kept by its content
constexpr int kShapeTermDepth = 16;

// PyObject_IsTrue of an object of class `t` is True without calling
// anything: the class defines neither a truth value nor a length.
bool plainlyTrue(PyTypeObject* t) {
    return !(t->tp_as_number && t->tp_as_number->nb_bool) && !(t->tp_as_mapping && t->tp_as_mapping->mp_length) &&
           !(t->tp_as_sequence && t->tp_as_sequence->sq_length);
}

struct Shape {
    uintptr_t words[kShapeWords];
    PyObject* objects[kShapeObjects];  // the strs whose identities are in `words`, borrowed
    PyObject* args[kShapeArgs];        // owned
    size_t wordCount = 0, objectCount = 0, argCount = 0;
    // The last model and column class asked about: a statement's columns
    // mostly share both.
    PyObject* lastModel = nullptr;
    PyObject* lastTable = nullptr;
    PyTypeObject* lastTrueType = nullptr;

    Shape() = default;
    Shape(const Shape&) = delete;
    Shape& operator=(const Shape&) = delete;
    ~Shape() {
        for (size_t i = 0; i < argCount; ++i) Py_DECREF(args[i]);
    }

    bool put(uintptr_t w) {
        if (wordCount == kShapeWords) return false;
        words[wordCount++] = w;
        return true;
    }
    bool put(uintptr_t a, uintptr_t b) { return put(a) && put(b); }
    // A list's length, known once the list is walked: its word is kept first.
    size_t reserve() { return put(0) ? wordCount - 1 : kShapeWords; }
    bool fill(size_t at, uintptr_t count) {
        if (at >= wordCount) return false;
        words[at] = count;
        return true;
    }
    // A str that the text is made from: its identity is the key.
    bool putText(PyObject* s) {
        if (!s || !PyUnicode_CheckExact(s) || objectCount == kShapeObjects) return false;
        objects[objectCount++] = s;
        return put(reinterpret_cast<uintptr_t>(s));
    }
    // The table name of a model, when getattr would give it without running code.
    PyObject* tableOf(PyObject* model) {
        if (model != lastModel) {
            lastTable = plainTableName(model);
            lastModel = model;
        }
        return lastTable;
    }
    // A column whose truth value the renderer asks is plainly True.
    bool trueColumn(PyObject* col) {
        PyTypeObject* t = Py_TYPE(col);
        if (t == lastTrueType) return true;
        if (!isProperty(col) || !plainlyTrue(t)) return false;
        lastTrueType = t;
        return true;
    }
    // A short str that the text is made from, by its content: limit and
    // order texts are often made afresh for every statement.
    bool putContent(PyObject* s) {
        if (!s || !PyUnicode_CheckExact(s)) return false;
        std::string_view text = utf8(s);
        if (text.size() > kShapeContent || !put(text.size())) return false;
        for (size_t at = 0; at < text.size(); at += sizeof(uintptr_t)) {
            uintptr_t w = 0;
            std::memcpy(&w, text.data() + at, std::min(sizeof w, text.size() - at));
            if (!put(w)) return false;
        }
        return true;
    }
    bool bind(Ref value) {
        if (argCount == kShapeArgs) return false;
        args[argCount++] = value.release();
        return true;
    }
    // Four independent lanes: the key is hashed on every render.
    size_t hash() const {
        constexpr uint64_t k = 0x9e3779b97f4a7c15ull;
        uint64_t a = 1, b = 2, c = 3, d = 4;
        size_t i = 0;
        for (; i + 4 <= wordCount; i += 4) {
            a = (a + words[i]) * k;
            b = (b + words[i + 1]) * k;
            c = (c + words[i + 2]) * k;
            d = (d + words[i + 3]) * k;
        }
        for (; i < wordCount; ++i) a = (a + words[i]) * k;
        // Multiplying carries a word's bits upwards only: the lanes are
        // folded and mixed so that every bit reaches the low bits, which
        // choose the entry.
        uint64_t h = (a ^ (b >> 29)) + (c ^ (d >> 31)) * k + wordCount;
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdull;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ull;
        return (size_t)(h ^ (h >> 33));
    }
    Ref argTuple() {
        Ref tuple = Ref::steal(PyTuple_New((Py_ssize_t)argCount));
        for (size_t i = 0; i < argCount; ++i) PyTuple_SET_ITEM(tuple.get(), (Py_ssize_t)i, args[i]);
        argCount = 0;
        return tuple;
    }
    void appendArgs(PyObject* list) {
        for (size_t i = 0; i < argCount; ++i) check(PyList_Append(list, args[i]));
    }
};

struct ShapeEntry {
    size_t hash;
    size_t wordCount, objectCount;
    uintptr_t* words;   // owned array
    PyObject** objects;  // owned array of owned strs
    PyObject* text;      // owned
};

class ShapeCache {
public:
    static constexpr size_t kSets = 256, kWays = 2;

    PyObject* find(const Shape& shape, size_t hash) {
        ShapeEntry* set = entries_ + (hash & (kSets - 1)) * kWays;
        for (size_t way = 0; way < kWays; ++way) {
            ShapeEntry& e = set[way];
            if (e.text && e.hash == hash && e.wordCount == shape.wordCount &&
                std::equal(shape.words, shape.words + shape.wordCount, e.words)) {
                recent_[hash & (kSets - 1)] = (unsigned char)way;
                return e.text;
            }
        }
        return nullptr;
    }

    void insert(const Shape& shape, size_t hash, PyObject* text) {
        size_t index = hash & (kSets - 1);
        size_t way = recent_[index] ^ 1u;  // the way not used last
        recent_[index] = (unsigned char)way;
        // Allocated before the entry changes: a failure leaves it as it was.
        std::unique_ptr<uintptr_t[]> words(new uintptr_t[shape.wordCount ? shape.wordCount : 1]);
        std::unique_ptr<PyObject*[]> objects(new PyObject*[shape.objectCount ? shape.objectCount : 1]);
        ShapeEntry& e = entries_[index * kWays + way];
        ShapeEntry old = e;
        e.hash = hash;
        e.wordCount = shape.wordCount;
        e.objectCount = shape.objectCount;
        e.words = words.release();
        std::copy(shape.words, shape.words + shape.wordCount, e.words);
        e.objects = objects.release();
        for (size_t i = 0; i < shape.objectCount; ++i) e.objects[i] = Py_NewRef(shape.objects[i]);
        e.text = Py_NewRef(text);
        // Released last, with the entry in its new state: strs only.
        for (size_t i = 0; i < old.objectCount; ++i) Py_DECREF(old.objects[i]);
        Py_XDECREF(old.text);
        delete[] old.words;
        delete[] old.objects;
    }

private:
    ShapeEntry entries_[kSets * kWays]{};
    unsigned char recent_[kSets]{};
};

ShapeCache* shapeCache = nullptr;  // allocated once, never freed


// The table and column name of a property as `appendColumn` writes it.
bool shapeOfColumn(Shape& s, PyObject* prop) {
    if (!isProperty(prop)) return false;
    auto* p = reinterpret_cast<BasePropertyObject*>(prop);
    return s.putText(s.tableOf(p->model)) && s.putText(p->name);
}

// The column types the renderer compares with are looked up before a walk,
// which then runs no Python code.
void prepareWalk(int dialect) {
    if (dialect == DIALECT_MYSQL) bitMember();
    if (dialect == DIALECT_POSTGRES) isBooleanColumn(Py_None);
}

// The shape of a term as renderTermInto writes it: columns, values bound,
// aggregates and arithmetic by their kinds.
bool shapeOfTerm(Shape& s, PyObject* term, bool qualified, int dialect, int depth) {
    if (!term || depth > kShapeTermDepth) return false;
    if (isProperty(term)) {
        auto* p = reinterpret_cast<BasePropertyObject*>(term);
        return s.put(SHAPE_TERM_COLUMN) && (!qualified || s.putText(s.tableOf(p->model))) && s.putText(p->name);
    }
    if (!isExpression(term)) return s.put(SHAPE_TERM_VALUE) && s.bind(Ref::borrow(term));
    auto* e = reinterpret_cast<ExpressionObject*>(term);
    int kind = e->kind;
    if (isAggregateKind(kind)) {
        bool boolean = dialect == DIALECT_POSTGRES && (kind == EXPR_MIN || kind == EXPR_MAX) && isBooleanColumn(e->left);
        uintptr_t form = (uintptr_t)kind | (uintptr_t)(e->distinct != 0) << 8 | (uintptr_t)boolean << 9;
        if (!s.put(SHAPE_TERM_AGGREGATE, form)) return false;
        if (kind == EXPR_COUNT && e->left == Py_None) return s.put(SHAPE_TERM_STAR);
        return shapeOfTerm(s, e->left, qualified, dialect, depth + 1);
    }
    if (kind < EXPR_ADD || kind > EXPR_DIV) return false;  // the renderer raises
    return s.put(SHAPE_TERM_ARITHMETIC, (uintptr_t)kind) && shapeOfTerm(s, e->left, qualified, dialect, depth + 1) &&
           shapeOfTerm(s, e->right, qualified, dialect, depth + 1);
}

// The shape of the filter chain at `head`, as renderWhere writes it; its
// values are bound as bindOperand binds them.
bool shapeOfFilter(Shape& s, PyObject* head, int dialect) {
    if (!isFilterCell(head) || !nextCell(head)) return false;
    if (!s.put(SHAPE_FILTER)) return false;
    size_t countAt = s.reserve();
    FilterListCellObject* prev = nullptr;
    size_t cells = 0;
    for (PyObject* cellObj = head; cellObj;) {
        if (++cells > kShapeCells) return false;  // long (or circular) chains render the usual way
        auto* cell = reinterpret_cast<FilterListCellObject*>(cellObj);
        PyObject* next = cell->next == Py_None ? nullptr : cell->next;
        if (next && (cell->relationship == REL_NONE || !isFilterCell(next))) return false;
        uintptr_t groups = (uintptr_t)(uint32_t)cell->openGroups | (uintptr_t)(uint32_t)cell->closeGroups << 32;
        uintptr_t kind = (uintptr_t)cell->notGroups | (uintptr_t)(uint32_t)cell->relationship << 32;
        if (!s.put(groups, kind)) return false;
        PyObject* col = cell->col;
        if (col && col != Py_None) {
            // The renderer asks the column's truth value: a property's is True.
            if (!s.trueColumn(col)) return false;
            if (isMembership(cell->relationship)) {
                if (!s.put(SHAPE_TEST_CELL)) return false;
            } else {
                auto* p = reinterpret_cast<BasePropertyObject*>(col);
                if (!s.put(SHAPE_COLUMN_CELL) || !s.putText(s.tableOf(p->model)) || !s.putText(cell->value))
                    return false;
            }
        } else {
            int comparison = prev ? prev->relationship : -1;
            PyObject* value = cell->value;
            if (!value || !s.put(SHAPE_VALUE_CELL)) return false;
            if (isExpression(value)) {
                if ((prev && isMembership(comparison)) || !s.put(SHAPE_EXPRESSION) ||
                    !shapeOfTerm(s, value, true, dialect, 0))
                    return false;
            } else if (prev && isMembership(comparison)) {
                if (!PyTuple_CheckExact(value) || !s.put(SHAPE_MEMBERSHIP) || !shapeOfColumn(s, prev->col))
                    return false;
                Py_ssize_t n = PyTuple_GET_SIZE(value), present = 0;
                if (comparison == REL_BETWEEN && n != 2) return false;
                for (Py_ssize_t i = 0; i < n; ++i) {
                    PyObject* item = PyTuple_GET_ITEM(value, i);
                    if (item == Py_None && comparison != REL_BETWEEN) continue;
                    ++present;
                    if (!s.bind(boundOperand(item, prev, dialect))) return false;
                }
                if (!s.put((uintptr_t)n, (uintptr_t)present)) return false;
            } else {
                if (!s.put(SHAPE_PLAIN_VALUE)) return false;
                if (comparison != REL_IS_NULL && comparison != REL_NOT_NULL &&
                    !s.bind(boundOperand(value, prev, dialect)))
                    return false;
            }
        }
        prev = cell;
        cellObj = next;
    }
    return s.fill(countAt, cells);
}

// Whether `item` is a dict whose keys are all exact strs: looking a str up
// in it compares no other objects.
bool plainItem(PyObject* item) {
    if (!PyDict_CheckExact(item)) return false;
    Py_ssize_t at = 0;
    PyObject *key, *entry;
    while (PyDict_Next(item, &at, &key, &entry))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

// The shape of a builder's statement of `kind` (SELECT, INSERT, UPDATE or DELETE):
// the kind, the dialect and everything its text is made from; false when it
// is rendered the usual way.
bool shapeOfStatement(Shape& s, SqlGeneratorObject* g, int kind, int dialect) {
    prepareWalk(dialect);
    uintptr_t tag = kind == SQL_SELECT   ? SHAPE_SELECT
                    : kind == SQL_UPDATE ? SHAPE_UPDATE
                    : kind == SQL_INSERT ? SHAPE_INSERT
                                         : SHAPE_DELETE;
    if (!s.put(tag, (uintptr_t)dialect) || !s.put((uintptr_t)dictStamp(relationshipMap)) || !s.putText(g->target))
        return false;
    if (kind == SQL_SELECT) {
        if (!PyList_CheckExact(g->selectCol) || !s.put((uintptr_t)PyList_GET_SIZE(g->selectCol))) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(g->selectCol); ++i) {
            PyObject* col = PyList_GET_ITEM(g->selectCol, i);
            if (col == Py_None) {
                if (!s.put(0)) return false;  // a skipped entry
                continue;
            }
            if (!s.trueColumn(col) || !shapeOfColumn(s, col)) return false;
        }
        // Joins are written from the foreign keys' Python attributes.
        if (g->_joinList != Py_None && !(PyList_CheckExact(g->_joinList) && PyList_GET_SIZE(g->_joinList) == 0))
            return false;
    } else if (kind == SQL_UPDATE) {
        if (!PyList_CheckExact(g->updateCol) || !s.put((uintptr_t)PyList_GET_SIZE(g->updateCol))) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(g->updateCol); ++i) {
            PyObject* item = PyList_GET_ITEM(g->updateCol, i);
            if (!plainItem(item)) return false;
            PyObject* name = PyDict_GetItemWithError(item, nameKey);
            PyObject* value = name ? PyDict_GetItemWithError(item, valueKey) : nullptr;
            if (!value) return false;  // the renderer raises the KeyError
            if (!s.put(SHAPE_SET_ITEM) || !s.putText(name)) return false;
            if (isExpression(value) ? !s.put(SHAPE_EXPRESSION) || !shapeOfTerm(s, value, false, dialect, 0)
                                    : !s.bind(Ref::borrow(value)))
                return false;
        }
    } else if (kind == SQL_INSERT) {
        // The values of an insert are its items' values, a missing one None.
        if (!PyList_CheckExact(g->selectCol) || !s.put((uintptr_t)PyList_GET_SIZE(g->selectCol))) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(g->selectCol); ++i) {
            PyObject* item = PyList_GET_ITEM(g->selectCol, i);
            if (!plainItem(item)) return false;
            PyObject* col = PyDict_GetItemWithError(item, colKey);
            PyObject* value = col ? PyDict_GetItemWithError(item, valueKey) : nullptr;
            if (!s.put(SHAPE_INSERT_ITEM) || !s.putText(col) || !s.bind(Ref::borrow(value ? value : Py_None)))
                return false;
        }
        return true;
    }
    if (g->whereCol == Py_None) {
        if (!s.put(SHAPE_NO_FILTER)) return false;
    } else if (!shapeOfFilter(s, g->whereCol, dialect)) {
        return false;
    }
    if (kind != SQL_SELECT) return true;
    if (g->orderList == Py_None) {
        if (!s.put(0)) return false;
    } else {
        if (!PyTuple_CheckExact(g->orderList) || !s.put((uintptr_t)PyTuple_GET_SIZE(g->orderList))) return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(g->orderList); ++i) {
            PyObject* term = PyTuple_GET_ITEM(g->orderList, i);
            if (PyUnicode_CheckExact(term)) {
                if (!s.put(SHAPE_ORDER_TEXT) || !s.putContent(term)) return false;
                continue;
            }
            bool ordered = PyObject_TypeCheck(term, columns->OrderTerm);
            if (!ordered && !isProperty(term)) return false;  // the renderer raises
            bool descending = ordered && reinterpret_cast<OrderTermObject*>(term)->descending != 0;
            if (ordered) term = reinterpret_cast<OrderTermObject*>(term)->term;
            if (!s.put(SHAPE_ORDER_COLUMN, descending) || !shapeOfTerm(s, term, true, dialect, 0)) return false;
        }
    }
    return s.putContent(g->limit);
}

// Renders a statement of a kept shape from the kept text; any other the
// usual way, keeping the text of a shape seen for the first time.  `render`
// gives (text, args).
Ref renderKept(PyObject* self, int kind, Ref (*render)(PyObject*)) {
    SqlGeneratorObject* g = reinterpret_cast<SqlGeneratorObject*>(self);
    int dialect = currentDialect();
    Shape shape;
    if (!shapeOfStatement(shape, g, kind, dialect)) return render(self);
    size_t hash = shape.hash();
    // The kept text is held at once: making the arguments' tuple may run a
    // collection, whose finalizers may render (and replace entries).
    if (Ref text = Ref::borrow(shapeCache->find(shape, hash))) {
        Ref args = shape.argTuple();
        return tupleOf({text.get(), args.get()});
    }
    Ref pair = render(self);
    // Kept only when rendering changed nothing the shape was made from.
    Shape after;
    if (shapeOfStatement(after, g, kind, dialect) && after.wordCount == shape.wordCount &&
        std::equal(shape.words, shape.words + shape.wordCount, after.words))
        shapeCache->insert(shape, hash, PyTuple_GET_ITEM(pair.get(), 0));
    return pair;
}

// The where text of the chain at `head` after `keyword`, its values
// appended to `args`; texts of the usual keywords are kept by shape.
Ref whereText(PyObject* head, PyObject* args, const char* keyword) {
    uintptr_t keywordCode = std::strcmp(keyword, " WHERE ") == 0 ? 1 : std::strcmp(keyword, " HAVING ") == 0 ? 2 : 0;
    int dialect = currentDialect();
    Shape shape;
    prepareWalk(dialect);
    bool kept = keywordCode && shape.put(SHAPE_WHERE, keywordCode) && shape.put((uintptr_t)dialect) &&
                shape.put((uintptr_t)dictStamp(relationshipMap)) && shapeOfFilter(shape, head, dialect);
    size_t hash = kept ? shape.hash() : 0;
    if (kept) {
        if (Ref text = Ref::borrow(shapeCache->find(shape, hash))) {
            shape.appendArgs(args);
            return text;
        }
    }
    std::string out;
    out.reserve(160);
    renderWhere(out, head, args, keyword);
    Ref text = textOf(out);
    if (kept) {
        Shape after;
        if (after.put(SHAPE_WHERE, keywordCode) && after.put((uintptr_t)dialect) &&
            after.put((uintptr_t)dictStamp(relationshipMap)) && shapeOfFilter(after, head, dialect) &&
            after.wordCount == shape.wordCount && std::equal(shape.words, shape.words + shape.wordCount, after.words))
            shapeCache->insert(shape, hash, text.get());
    }
    return text;
}

PyObject* apiRenderFilter(PyObject* cell, PyObject* args, const char* keyword) {
    return entry([&] {
        if (!isFilterCell(cell)) raiseArgType("cell", "FilterListCell", cell);
        if (!PyList_Check(args)) raiseArgType("args", "list", args);
        return whereText(cell, args, keyword);
    });
}

Ref buildWhere(PyObject* cell) {
    Ref args = Ref::steal(PyList_New(0));
    if (cell == Py_None) return tupleOf({Ref::steal(PyUnicode_FromStringAndSize("", 0)).get(), args.get()});
    if (!isFilterCell(cell)) raiseArgType("cell", "FilterListCell", cell);
    Ref text = whereText(cell, args.get(), " WHERE ");
    return tupleOf({text.get(), args.get()});
}

// The order terms: texts as they are, properties and the order terms of
// asc()/desc() rendered (their values appended to `args`).
void renderOrder(std::string& out, PyObject* orderList, PyObject* args) {
    if (orderList == Py_None) return;
    if (!PyTuple_Check(orderList)) raiseArgType("orderList", "tuple", orderList);
    Py_ssize_t n = PyTuple_GET_SIZE(orderList);
    if (n == 0) return;
    out.append(" order by ");
    int dialect = -1;
    // Rendering a term runs Python code, which may replace the builder's
    // tuple: it is held, and it holds its terms.
    Ref held = Ref::borrow(orderList);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Borrowed term = tupleItem(orderList, i);
        if (i) out.append(", ");
        if (PyUnicode_Check(term.get())) {
            out.append(utf8(term.get()));
            continue;
        }
        bool ordered = PyObject_TypeCheck(term.get(), columns->OrderTerm);
        if (!ordered && !isProperty(term.get()))
            raise(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", i, typeName(term.get()));
        if (dialect < 0) dialect = currentDialect();
        auto* t = term.as<OrderTermObject>();
        renderTermInto(out, ordered ? t->term : term.get(), args, true, dialect, false);
        out.append(ordered && t->descending ? " DESC" : " ASC");
    }
}

// The order text alone, for terms that bind no value.
Ref orderText(PyObject* orderList) {
    Ref args = Ref::steal(PyList_New(0));
    std::string out;
    renderOrder(out, orderList, args.get());
    if (PyList_GET_SIZE(args.get())) raise(PyExc_ValueError, "order terms here cannot bind values");
    return textOf(out);
}

// ===========================================================================
// JoinType, JoinCell and join rendering
// ===========================================================================

const size_t joinCellOffsets[] = {offsetof(JoinCellObject, key)};
const FieldList joinCellFields{joinCellOffsets, 1};

Ref makeJoinCell(PyTypeObject* type, PyObject* key, int joinType) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    auto* j = self.as<JoinCellObject>();
    j->Type = joinType;
    j->key = Py_NewRef(key);
    return self;
}

PyObject* joinCellNew(PyTypeObject* type, PyObject*, PyObject*) {
    return entry([&] { return makeJoinCell(type, Py_None, JOIN_PLAIN); });
}

const Signature<2> joinCellSig{"JoinCell", {"fk", "joinType"}, 1};

int joinCellInit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary(-1, [&] {
        auto b = bind(joinCellSig, args, kwargs);
        auto* j = reinterpret_cast<JoinCellObject*>(self);
        j->Type = b[1] ? asInt32(b[1]) : JOIN_PLAIN;
        assignField(j->key, b[0]);
        return 0;
    });
}

PyType_Slot joinCellSlots[] = {
    {Py_tp_doc, (void*)"JoinCell(fk, joinType=0)\n\nA join recorded on a builder: the foreign key and the join kind."},
    {Py_tp_new, (void*)joinCellNew},
    {Py_tp_init, (void*)joinCellInit},
    {Py_tp_traverse, (void*)traverseObject<joinCellFields>},
    {Py_tp_clear, (void*)clearObject<joinCellFields>},
    {Py_tp_dealloc, (void*)deallocObject<joinCellFields>},
    {0, nullptr},
};

PyType_Spec joinCellSpec = {"Quillon.DB.Generator.JoinCell", sizeof(JoinCellObject), 0, kTypeFlags, joinCellSlots};

// A foreign key reads its relation entries as attributes; as a dict its
// entries are read directly (a missing entry reads as None, as the key's own
// attribute fallback does).
Ref keyEntry(PyObject* fk, PyObject* name) {
    if (PyDict_Check(fk)) {
        Borrowed v = dictItem(fk, name);
        return v ? v.ref() : Ref::none();
    }
    return getattr(fk, name);
}

void appendTableName(std::string& out, PyObject* model, int dialect) {
    Ref tableName = tableNameOf(model);
    appendIdentifier(out, nameText(tableName.get()), dialect);
}

void appendColumnName(std::string& out, PyObject* prop, int dialect) {
    Ref name = isProperty(prop) ? propertyName(prop).ref() : getattr(prop, nameKey);
    appendIdentifier(out, nameText(name.get()), dialect);
}

void renderJoins(std::string& out, PyObject* joinList) {
    int dialect = currentDialect();
    out.push_back('\n');
    if (joinList == Py_None) return;
    if (!PyList_Check(joinList)) raiseConvert(joinList, "list");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(joinList); ++i) {
        Ref item = listItem(joinList, i).ref();
        if (!PyObject_TypeCheck(item.get(), JoinCellType)) raiseConvert(item.get(), "Quillon.DB.Generator.JoinCell");
        auto* join = item.as<JoinCellObject>();
        Ref kind = integer(join->Type);
        // Reading the key's entries runs Python code, which may replace the
        // cell's key or the map's text: both are held.
        Ref kindText = dictItem(joinTypeMap, kind.get()).ref();
        if (!kindText) raise(PyExc_TypeError, "can only concatenate str (not \"NoneType\") to str");
        Ref fk = Borrowed(join->key).ref();
        Ref target = keyEntry(fk.get(), targetKey);
        Ref owner = keyEntry(fk.get(), ownerKey);
        Ref bindCol = keyEntry(fk.get(), bindColKey);
        Ref targetBindCol = keyEntry(fk.get(), targetBindColKey);
        out.append("       ");
        appendConcat(out, kindText.get());
        appendTableName(out, target.get(), dialect);
        out.append(" on ");
        appendTableName(out, owner.get(), dialect);
        out.push_back('.');
        appendColumnName(out, bindCol.get(), dialect);
        out.append(" = ");
        appendTableName(out, target.get(), dialect);
        out.push_back('.');
        appendColumnName(out, targetBindCol.get(), dialect);
        out.push_back('\n');
    }
}

// ===========================================================================
// SqlGenerator
// ===========================================================================

SqlGeneratorObject* asBuilder(PyObject* self) { return reinterpret_cast<SqlGeneratorObject*>(self); }

const size_t sqlOffsets[] = {
    offsetof(SqlGeneratorObject, selectCol), offsetof(SqlGeneratorObject, whereCol),
    offsetof(SqlGeneratorObject, target),    offsetof(SqlGeneratorObject, limit),
    offsetof(SqlGeneratorObject, updateCol), offsetof(SqlGeneratorObject, _joinList),
    offsetof(SqlGeneratorObject, orderList),
};
const FieldList sqlFields{sqlOffsets, sizeof(sqlOffsets) / sizeof(sqlOffsets[0])};

// --- rendering -------------------------------------------------------------

bool hasJoins(SqlGeneratorObject* g) {
    return g->_joinList != Py_None && checkSize(PyObject_Length(g->_joinList)) > 0;
}

Ref renderSelect(PyObject* self) {
    SqlGeneratorObject* g = asBuilder(self);
    if (g->selectCol == Py_None) raise(PyExc_TypeError, "'NoneType' object is not iterable");
    Ref cols = Ref::steal(PySequence_Fast(g->selectCol, "object is not iterable"));
    std::string out;
    out.reserve(256);
    out.append("SELECT ");
    int dialect = currentDialect();
    bool first = true;
    // A column's __bool__ or its model's table name may run Python code
    // that changes the select list: its size is read again for each column,
    // and the column and its model are held while they are used.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(cols.get()); ++i) {
        Ref col = fastItem(cols.get(), i).ref();
        if (col.get() == Py_None) continue;
        if (!isProperty(col.get())) raiseConvert(col.get(), "Quillon.Model.Columns.BaseProperty");
        if (!truthy(col.get())) continue;
        if (!first) out.push_back(',');
        first = false;
        Ref model = Borrowed(col.as<BasePropertyObject>()->model).ref();
        Ref tableName = tableNameOf(model.get());
        Ref tableText = PyUnicode_CheckExact(tableName.get()) ? std::move(tableName)
                                                               : Ref::steal(PyObject_Str(tableName.get()));
        Borrowed name = propertyName(col.get());
        if (name.get() == Py_None)
            appendQualified(out, utf8(tableText.get()), "None", dialect);
        else
            appendQualifiedNames(out, tableText.get(), name.get(), dialect);
    }
    out.append(" FROM ");
    appendIdentifier(out, nameText(g->target), dialect);
    if (hasJoins(g)) renderJoins(out, g->_joinList);
    Ref args = Ref::steal(PyList_New(0));
    if (g->whereCol != Py_None) renderWhere(out, g->whereCol, args.get());
    // ORDER BY comes before LIMIT so that the statement runs on every dialect.
    renderOrder(out, g->orderList, args.get());
    appendConcat(out, g->limit);
    out.push_back(';');
    Ref text = textOf(out);
    Ref argTuple = Ref::steal(PyList_AsTuple(args.get()));
    return tupleOf({text.get(), argTuple.get()});
}

Ref itemEntry(PyObject* item, PyObject* key) {
    if (PyDict_CheckExact(item)) {
        Ref v = dictItem(item, key).ref();
        if (!v) {
            PyErr_SetObject(PyExc_KeyError, key);
            throwPending();
        }
        return v;
    }
    return Ref::steal(PyObject_GetItem(item, key));
}

Ref renderUpdate(PyObject* self) {
    SqlGeneratorObject* g = asBuilder(self);
    std::string out;
    out.reserve(256);
    out.append("UPDATE ");
    int dialect = currentDialect();
    appendIdentifier(out, nameText(g->target), dialect);
    out.append(" SET ");
    Ref args = Ref::steal(PyList_New(0));
    if (g->updateCol == Py_None) raise(PyExc_TypeError, "'NoneType' object is not iterable");
    Ref items = Ref::steal(PySequence_Fast(g->updateCol, "object is not iterable"));
    // An item's __getitem__ may change the list: each item is held.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        Ref item = fastItem(items.get(), i).ref();
        Ref name = itemEntry(item.get(), nameKey);
        appendIdentifier(out, nameText(name.get()), dialect);
        Ref value = itemEntry(item.get(), valueKey);
        if (isExpression(value.get())) {
            // Computed from the row's own columns: `stock = stock - %s`.
            out.append(" = ");
            renderTermInto(out, value.get(), args.get(), false, dialect, false);
            out.push_back(',');
        } else {
            out.append(" = %s,");
            check(PyList_Append(args.get(), value.get()));
        }
    }
    out.pop_back();
    if (g->whereCol != Py_None) renderWhere(out, g->whereCol, args.get());
    out.push_back(';');
    Ref text = textOf(out);
    Ref argTuple = Ref::steal(PyList_AsTuple(args.get()));
    return tupleOf({text.get(), argTuple.get()});
}

Ref insertEntry(PyObject* item, PyObject* key) {
    if (PyDict_Check(item)) {
        Borrowed v = dictItem(item, key);
        return v ? v.ref() : Ref::none();
    }
    return callMethod(item, getKey, key);
}

Ref renderInsert(PyObject* self) {
    SqlGeneratorObject* g = asBuilder(self);
    if (g->selectCol == Py_None) raise(PyExc_TypeError, "'NoneType' object is not iterable");
    // An item's `get` may change the list: the statement is made from the
    // items as they are now, held until it is made.
    Ref items = stableItems(g->selectCol, "object is not iterable");
    Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    std::string out;
    out.reserve(128 + 16 * (size_t)n);
    out.append("INSERT INTO ");
    int dialect = currentDialect();
    appendIdentifier(out, nameText(g->target), dialect);
    out.append(" (");
    Ref values = Ref::steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Borrowed item = fastItem(items.get(), i);  // held by `items`
        Ref col = insertEntry(item.get(), colKey);
        Ref value = insertEntry(item.get(), valueKey);
        if (!PyUnicode_Check(col.get()))
            raise(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", i, typeName(col.get()));
        if (i) out.push_back(',');
        appendIdentifier(out, utf8(col.get()), dialect);
        PyTuple_SET_ITEM(values.get(), i, value.release());
    }
    out.append(") values (");
    for (Py_ssize_t i = 0; i < n; ++i) out.append(i ? ",%s" : "%s");
    out.append(");");
    Ref text = textOf(out);
    return tupleOf({text.get(), values.get()});
}

Ref renderDelete(PyObject* self) {
    SqlGeneratorObject* g = asBuilder(self);
    std::string out;
    out.reserve(160);
    out.append("DELETE FROM ");
    appendIdentifier(out, nameText(g->target), currentDialect());
    out.push_back(' ');
    Ref args = Ref::steal(PyList_New(0));
    if (g->whereCol != Py_None) renderWhere(out, g->whereCol, args.get());
    Ref text = textOf(out);
    Ref argTuple = Ref::steal(PyList_AsTuple(args.get()));
    return tupleOf({text.get(), argTuple.get()});
}

Ref renderBuild(PyObject* self) {
    switch (asBuilder(self)->base.currentType) {
        case SQL_SELECT: return renderKept(self, SQL_SELECT, renderSelect);
        case SQL_UPDATE: return renderKept(self, SQL_UPDATE, renderUpdate);
        case SQL_INSERT: return renderKept(self, SQL_INSERT, renderInsert);
        case SQL_DELETE: return renderKept(self, SQL_DELETE, renderDelete);
        default: return Ref::none();
    }
}

Ref renderJoinText(PyObject* self) {
    std::string out;
    out.reserve(128);
    renderJoins(out, asBuilder(self)->_joinList);
    return textOf(out);
}

// --- native operations -----------------------------------------------------

OverrideSet<3> sqlOverrides{{"update", "From", "Build"}};
enum { OV_UPDATE, OV_FROM, OV_BUILD };

Ref fromTarget(PyObject* self, PyObject* target);

Ref callFrom(PyObject* self, PyObject* target) {
    if (sqlOverrides.overridden(self, OV_FROM)) return callMethod(self, sqlOverrides.name(OV_FROM), target);
    return fromTarget(self, target);
}

// The model base class, looked up on first use (the models module imports this one).
PyObject* entityClass() {
    static PyObject* entity = nullptr;  // lives for the process
    if (!entity) entity = importFrom("Quillon.Model.Entity", "Entity").release();
    return entity;
}

Ref fromTarget(PyObject* self, PyObject* target) {
    if (!PyUnicode_Check(target)) {
        // A model's type says it is one without asking a __subclasscheck__.
        if (assertionsEnabled() && !(PyType_Check(target) &&
                                     (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(target),
                                                       reinterpret_cast<PyTypeObject*>(entityClass())) ||
                                      isSubclass(target, entityClass()))))
            raise(PyExc_AssertionError, "%s", "Form仅支持字符串或者Entity子类");
        Ref tableName = tableNameOf(target);
        assignField(asBuilder(self)->target, std::move(tableName));
    } else {
        assignField(asBuilder(self)->target, target);
    }
    return Ref::borrow(self);
}

Ref updateTarget(PyObject* self, PyObject* target) {
    asBuilder(self)->base.currentType = SQL_UPDATE;
    callFrom(self, target);
    return Ref::borrow(self);
}

PyObject* sqlBuildSlot(PyObject* self) {
    return entry([&] {
        if (sqlOverrides.overridden(self, OV_BUILD)) return callMethod(self, sqlOverrides.name(OV_BUILD));
        return renderBuild(self);
    });
}
PyObject* sqlUpdateSlot(PyObject* self, PyObject* target) {
    return entry([&] {
        if (sqlOverrides.overridden(self, OV_UPDATE)) return callMethod(self, sqlOverrides.name(OV_UPDATE), target);
        return updateTarget(self, target);
    });
}
PyObject* sqlFromSlot(PyObject* self, PyObject* target) { return entry([&] { return callFrom(self, target); }); }
PyObject* buildUpdateSlot(PyObject* self) { return entry([&] { return renderKept(self, SQL_UPDATE, renderUpdate); }); }
PyObject* buildSelectSlot(PyObject* self) { return entry([&] { return renderKept(self, SQL_SELECT, renderSelect); }); }
PyObject* buildWhereSlot(PyObject* cell) { return entry([&] { return buildWhere(cell); }); }
PyObject* buildInsertSlot(PyObject* self) { return entry([&] { return renderKept(self, SQL_INSERT, renderInsert); }); }
PyObject* buildDeleteSlot(PyObject* self) { return entry([&] { return renderKept(self, SQL_DELETE, renderDelete); }); }
PyObject* buildJoinSlot(PyObject* self) { return entry([&] { return renderJoinText(self); }); }
PyObject* buildOrderSlot(PyObject* orderList) {
    return entry([&] { return orderText(orderList); });
}

Ref whereCellText(PyObject* cell, PyObject* args) {
    if (!isFilterCell(cell)) raiseArgType("cell", "FilterListCell", cell);
    if (!PyList_Check(args)) raiseArgType("args", "list", args);
    std::string out;
    renderCell(out, cell, args, nullptr, nullptr, currentDialect());
    return textOf(out);
}
PyObject* getWhereCellStrSlot(PyObject* cell, PyObject* args) {
    return entry([&] { return whereCellText(cell, args); });
}

const SqlGeneratorOps sqlOps{
    {sqlBuildSlot}, sqlUpdateSlot,   sqlFromSlot,     sqlBuildSlot,   buildUpdateSlot,     buildSelectSlot,
    buildWhereSlot, buildInsertSlot, buildOrderSlot,  buildDeleteSlot, getWhereCellStrSlot, buildJoinSlot,
};

// --- construction ----------------------------------------------------------

Ref makeBuilder(PyTypeObject* type) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    SqlGeneratorObject* g = self.as<SqlGeneratorObject>();
    g->base.ops = &sqlOps;
    g->base.currentType = SQL_NONE;
    initFieldsNone(self.get(), sqlFields);
    assignField(g->limit, initialLimit);
    return self;
}

PyObject* sqlNew(PyTypeObject* type, PyObject*, PyObject*) { return entry([&] { return makeBuilder(type); }); }

int sqlInit(PyObject*, PyObject* args, PyObject* kwargs) {
    return boundary(-1, [&] {
        noArguments("SqlGenerator", args, kwargs);
        return 0;
    });
}

PyObject* apiNewSqlGenerator() { return entry([&] { return makeBuilder(SqlGeneratorType); }); }

// --- Python methods --------------------------------------------------------

Ref kindOf(int kind) { return integer(kind); }

void requireKindNone(PyObject* self, int requested) {
    int current = asBuilder(self)->base.currentType;
    if (current != SQL_NONE) {
        Ref currentObj = kindOf(current), requestedObj = kindOf(requested);
        raiseFault("SqlInStanceError", {currentObj.get(), requestedObj.get()});
    }
}

Ref listOf(PyObject* const* args, Py_ssize_t nargs) {
    Ref list = Ref::steal(PyList_New(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(args[i]));
    return list;
}

Ref select(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    noKeywords("select", kwnames);
    requireKindNone(self, SQL_SELECT);
    asBuilder(self)->base.currentType = SQL_SELECT;
    assignField(asBuilder(self)->selectCol, listOf(args, nargs));
    return Ref::borrow(self);
}

const Signature<1> insertSig{"insert", {"target"}, 1};
Ref insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(insertSig, args, nargs, kwnames);
    requireKindNone(self, SQL_INSERT);
    asBuilder(self)->base.currentType = SQL_INSERT;
    callFrom(self, b[0]);
    return Ref::borrow(self);
}

Ref values(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    noKeywords("values", kwnames);
    assignField(asBuilder(self)->selectCol, listOf(args, nargs));
    return Ref::borrow(self);
}

const Signature<1> updateSig{"update", {"target"}, 1};
Ref update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(updateSig, args, nargs, kwnames);
    return updateTarget(self, b[0]);
}

Ref set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    noKeywords("set", kwnames);
    if (asBuilder(self)->base.currentType == SQL_NONE) raiseFault("SetSqlFault", {});
    assignField(asBuilder(self)->updateCol, listOf(args, nargs));
    return Ref::borrow(self);
}

const Signature<1> deleteSig{"delete", {"target"}, 1};
Ref delete_(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(deleteSig, args, nargs, kwnames);
    requireKindNone(self, SQL_DELETE);
    callFrom(self, b[0]);
    asBuilder(self)->base.currentType = SQL_DELETE;
    return Ref::borrow(self);
}

const Signature<1> fromSig{"From", {"target"}, 1};
Ref From(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(fromSig, args, nargs, kwnames);
    return fromTarget(self, b[0]);
}

const Signature<1> whereSig{"where", {"args"}, 0};
Ref where(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(whereSig, args, nargs, kwnames);
    PyObject* cell = b.get(0, Py_None);
    if (cell != Py_None && !isFilterCell(cell)) raiseArgType("args", "FilterListCell", cell);
    if (asBuilder(self)->base.currentType == SQL_NONE) raiseFault("WhereSqlFault", {});
    assignField(asBuilder(self)->whereCol, cell);
    return Ref::borrow(self);
}

const Signature<2> limitSig{"Limit", {"count", "offset"}, 2};
Ref Limit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(limitSig, args, nargs, kwnames);
    int count = asInt32(b[0]);
    int offset = asInt32(b[1]);
    assignField(asBuilder(self)->limit, limitClause(count, offset, currentDialect()));
    return Ref::borrow(self);
}

Ref orderBy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    noKeywords("orderBy", kwnames);
    assignField(asBuilder(self)->orderList, positionalTuple(args, nargs));
    return Ref::none();
}

Ref joinListOf(PyObject* self) {
    SqlGeneratorObject* g = asBuilder(self);
    // Only a missing list is created: replacing an empty one would detach
    // the list a caller already holds and drop what it appends.
    if (g->_joinList == Py_None) assignField(g->_joinList, Ref::steal(PyList_New(0)));
    return Ref::borrow(g->_joinList);
}

Ref addJoin(PyObject* self, PyObject* foreignKey, int joinType) {
    Ref cell = makeJoinCell(JoinCellType, foreignKey, joinType);
    Ref list = joinListOf(self);
    if (PyList_Check(list.get())) check(PyList_Append(list.get(), cell.get()));
    else callMethod(list.get(), "append", cell.get());
    return Ref::borrow(self);
}

const Signature<2> joinSig{"join", {"foreignKey", "joinType"}, 1};
Ref join(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(joinSig, args, nargs, kwnames);
    return addJoin(self, b[0], b[1] ? asInt32(b[1]) : JOIN_PLAIN);
}

const Signature<1> leftJoinSig{"leftJoin", {"foreignKey"}, 1};
Ref leftJoin(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return addJoin(self, bind(leftJoinSig, args, nargs, kwnames)[0], JOIN_LEFT);
}
const Signature<1> rightJoinSig{"rightJoin", {"foreignKey"}, 1};
Ref rightJoin(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return addJoin(self, bind(rightJoinSig, args, nargs, kwnames)[0], JOIN_RIGHT);
}
const Signature<1> innerJoinSig{"innerJoin", {"foreignKey"}, 1};
Ref innerJoin(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return addJoin(self, bind(innerJoinSig, args, nargs, kwnames)[0], JOIN_INNER);
}

Ref Build(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("Build", nargs, kwnames);
    return renderBuild(self);
}

Ref build_join(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("build_join", nargs, kwnames);
    return renderJoinText(self);
}

const Signature<1> buildWhereSig{"build_where", {"cell"}, 1};
Ref build_where(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return buildWhere(bind(buildWhereSig, args, nargs, kwnames)[0]);
}

const Signature<2> cellStrSig{"_getWhereCellStr", {"cell", "args"}, 2};
Ref _getWhereCellStr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(cellStrSig, args, nargs, kwnames);
    return whereCellText(b[0], b[1]);
}

const Signature<1> buildOrderSig{"build_order", {"orderList"}, 1};
Ref build_order(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return orderText(bind(buildOrderSig, args, nargs, kwnames)[0]);
}

PyMethodDef sqlMethods[] = {
    Q_FAST("select", select, "select(*cols) -> starts a select of the given properties"),
    Q_FAST("insert", insert, "insert(target) -> starts an insert into a table name or model class"),
    Q_FAST("values", values, "values(*items) -> the {'col', 'value'} items of an insert"),
    Q_FAST("update", update, "update(target) -> starts an update of a table name or model class"),
    Q_FAST("set", set, "set(*items) -> the {'name', 'value'} items of an update"),
    Q_FAST("delete", delete_, "delete(target) -> starts a delete from a table name or model class"),
    Q_FAST("From", From, "From(target) -> sets the table from a name or a model class"),
    Q_FAST("where", where, "where(args=None) -> sets the filter chain"),
    Q_FAST("Limit", Limit, "Limit(count, offset) -> limits a select"),
    Q_FAST("orderBy", orderBy, "orderBy(*terms) -> orders a select; returns None"),
    Q_FAST("join", join, "join(foreignKey, joinType=0) -> records a join"),
    Q_FAST("leftJoin", leftJoin, "leftJoin(foreignKey) -> records a left join"),
    Q_FAST("rightJoin", rightJoin, "rightJoin(foreignKey) -> records a right join"),
    Q_FAST("innerJoin", innerJoin, "innerJoin(foreignKey) -> records an inner join"),
    Q_FAST("Build", Build, "Build() -> (sql, args), or None before a statement kind is chosen"),
    Q_FAST("build_join", build_join, "build_join() -> the join text of the recorded joins"),
    Q_FAST_STATIC("build_where", build_where, "build_where(cell) -> (where text, list of arguments)"),
    Q_FAST_STATIC("_getWhereCellStr", _getWhereCellStr, "_getWhereCellStr(cell, args) -> the text of one cell"),
    Q_FAST_STATIC("build_order", build_order, "build_order(orderList) -> the order text"),
    {nullptr, nullptr, 0, nullptr},
};

Ref currentTypeGetter(PyObject* self) {
    Ref kind = integer(reinterpret_cast<BaseSqlGeneratorObject*>(self)->currentType);
    PyObject* members = PyObject_GetAttrString(sqlTypeEnum, "_value2member_map_");
    Ref map = Ref::steal(members);
    PyObject* member = PyDict_GetItemWithError(map.get(), kind.get());
    if (member) return Ref::borrow(member);
    checkError();
    return kind;
}

PyGetSetDef sqlGetSet[] = {
    Q_GETTER("joinList", joinListOf, "the recorded joins (the list itself)"),
    Q_GETTER("currentType", currentTypeGetter, "the statement kind (read-only)"),
    Q_GETTER("selectCol", fieldGetter<offsetof(SqlGeneratorObject, selectCol)>, "selected properties or insert items"),
    Q_GETTER("whereCol", fieldGetter<offsetof(SqlGeneratorObject, whereCol)>, "head cell of the filter chain"),
    Q_GETTER("target", fieldGetter<offsetof(SqlGeneratorObject, target)>, "the table name"),
    Q_GETTER("limit", fieldGetter<offsetof(SqlGeneratorObject, limit)>, "the limit text"),
    Q_GETTER("updateCol", fieldGetter<offsetof(SqlGeneratorObject, updateCol)>, "the SET items"),
    Q_GETTER("orderList", fieldGetter<offsetof(SqlGeneratorObject, orderList)>, "the order terms"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot sqlSlots[] = {
    {Py_tp_doc, (void*)"SqlGenerator()\n\nChainable builder of one select, insert, update or delete statement."},
    {Py_tp_new, (void*)sqlNew},
    {Py_tp_init, (void*)sqlInit},
    {Py_tp_traverse, (void*)traverseObject<sqlFields>},
    {Py_tp_clear, (void*)clearObject<sqlFields>},
    {Py_tp_dealloc, (void*)deallocObject<sqlFields>},
    {Py_tp_methods, sqlMethods},
    {Py_tp_getset, sqlGetSet},
    {0, nullptr},
};

PyType_Spec sqlSpec = {"Quillon.DB.Generator.SqlGenerator", sizeof(SqlGeneratorObject), 0, kTypeFlags, sqlSlots};

// ===========================================================================
// TableGenerator
// ===========================================================================

const size_t tableOffsets[] = {offsetof(TableGeneratorObject, model)};
const FieldList tableFields{tableOffsets, 1};

// "(255)" for (255,), "(10, 2)" for (10, 2), nothing for ().
void appendTypeArgs(std::string& out, PyObject* typeArgs) {
    Ref text = Ref::steal(PyObject_Str(typeArgs));
    std::string_view s = utf8(text.get());
    if (s.size() >= 2 && s.substr(s.size() - 2) == ",)") {
        for (char c : s)
            if (c != ',') out.push_back(c);
    } else if (checkSize(PyObject_Length(typeArgs)) >= 1) {
        out.append(s);
    }
}

void appendNullability(std::string& out, PyObject* col) {
    out.append(reinterpret_cast<BasePropertyObject*>(col)->Null ? "NULL " : "NOT NULL ");
}

// The text types take no length: MySQL reads `text(255)` as tinytext and
// refuses `longtext(255)`.
bool isTextType(std::string_view type) {
    if (type.size() < 4 || type.size() > 10) return false;
    std::string lower(type);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return lower == "text" || lower == "tinytext" || lower == "mediumtext" || lower == "longtext";
}

std::string lowerText(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return lower;
}

// PostgreSQL's name for a declared type: integers without display widths,
// flags as boolean, a float with arguments as numeric(p, s) and without as
// double precision, the text types as text, JSON as jsonb, datetime as
// timestamp; anything else as declared.
void appendPostgresType(std::string& out, std::string_view declared, PyObject* typeArgs) {
    std::string type = lowerText(declared);
    bool hasArgs = checkSize(PyObject_Length(typeArgs)) > 0;
    if (type == "int" || type == "integer" || type == "mediumint") {
        out.append("integer");
    } else if (type == "bigint" || type == "smallint") {
        out.append(type);
    } else if (type == "tinyint" || type == "bit" || type == "bool" || type == "boolean") {
        out.append("boolean");
    } else if (type == "float" || type == "double" || type == "real" || type == "decimal" || type == "numeric") {
        if (hasArgs) {
            out.append("numeric");
            appendTypeArgs(out, typeArgs);
        } else {
            out.append(type == "decimal" || type == "numeric" ? "numeric" : "double precision");
        }
    } else if (isTextType(type)) {
        out.append("text");
    } else if (type == "json" || type == "jsonb") {
        out.append("jsonb");
    } else if (type == "datetime") {
        out.append("timestamp");
    } else if (type == "blob" || type == "longblob" || type == "binary" || type == "varbinary") {
        out.append("bytea");
    } else {
        out.append(declared);
        appendTypeArgs(out, typeArgs);
    }
}

void appendTargetType(std::string& out, PyObject* col) {
    Ref targetType = getattr(col, "targetType");
    if (currentDialect() == DIALECT_POSTGRES) {
        if (!PyUnicode_Check(targetType.get())) raiseConvert(targetType.get(), "str");
        Ref typeArgs = Borrowed(reinterpret_cast<BasePropertyObject*>(col)->typeArgs).ref();
        appendPostgresType(out, utf8(targetType.get()), typeArgs.get());
        out.push_back(' ');
        return;
    }
    appendUnicode(out, targetType.get());
    if (!isTextType(utf8(targetType.get()))) {
        // Writing the arguments runs their __repr__: the tuple is held.
        Ref typeArgs = Borrowed(reinterpret_cast<BasePropertyObject*>(col)->typeArgs).ref();
        appendTypeArgs(out, typeArgs.get());
    }
    out.push_back(' ');
}

// A key column never holds NULL, whatever its property says.
void appendKeyNotNull(std::string& out) {
    if (!out.empty() && out.back() != ' ') out.push_back(' ');
    out.append("NOT NULL ");
}

// Whether a literal key declaration already says NOT NULL.
bool declaresNotNull(std::string_view text) {
    std::string upper(text);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    return upper.find("NOT NULL") != std::string::npos;
}

Ref toDBValue(PyObject* col, PyObject* value) {
    if (columns->propertyOps && columns->propertyOps->toDBValue)
        return Ref::steal(columns->propertyOps->toDBValue(col, value));
    return callMethod(col, "toDBValue", value);
}

// Literal text of a default value.  Quotes inside a text are doubled, so the
// literal holds exactly the declared text; None is SQL's NULL.
void processValue(std::string& out, PyObject* value) {
    if (PyBytes_Check(value)) {
        bool one = PyBytes_GET_SIZE(value) == 1 && PyBytes_AS_STRING(value)[0] == '\x01';
        out.push_back(one ? '1' : '0');
    } else if (PyUnicode_Check(value)) {
        out.push_back('\'');
        for (char c : utf8(value)) {
            if (c == '\'') out.push_back('\'');
            out.push_back(c);
        }
        out.push_back('\'');
    } else if (value == Py_None) {
        out.append("NULL");
    } else {
        Ref text = Ref::steal(PyObject_Str(value));
        out.append(utf8(text.get()));
    }
}

void buildDefault(std::string& out, PyObject* col) {
    auto* prop = reinterpret_cast<BasePropertyObject*>(col);
    Ref value = Borrowed(prop->_default).ref();
    bool isPk = prop->isPk;
    if (PyObject_TypeCheck(value.get(), BaseSqlGeneratorType)) {
        Ref built = Ref::steal(generatorOps(value.get())->Build(value.get()));
        Ref announce = Ref::steal(PySequence_GetItem(built.get(), 0));
        appendUnicode(out, announce.get());
        if (isPk && !declaresNotNull(utf8(announce.get()))) appendKeyNotNull(out);
        return;
    }
    if (isPk) {
        if (check(PyObject_RichCompareBool(value.get(), (PyObject*)columns->AutoIncrement, Py_EQ))) {
            Ref db = importFrom("Quillon.DB.DB", "DB");
            Ref instance = callMethod(db.get(), "getInstance");
            Ref connector = getattr(instance.get(), "connector");
            Ref declaration = callMethod(connector.get(), "autoFiledAnnounce", col);
            appendUnicode(out, declaration.get());
            if (!declaresNotNull(utf8(declaration.get()))) appendKeyNotNull(out);
            return;
        }
        appendTargetType(out, col);
        out.append("NOT NULL ");
        return;
    }
    if (PyObject_TypeCheck(value.get(), columns->NullDefault) || value.get() == (PyObject*)columns->NullDefault) return;
    Ref converted = toDBValue(col, value.get());
    processValue(out, converted.get());
}

void buildCol(std::string& out, PyObject* col) {
    if (!isProperty(col)) raiseConvert(col, "Quillon.Model.Columns.BaseProperty");
    auto* prop = reinterpret_cast<BasePropertyObject*>(col);
    out.append("   ");
    Ref name = Borrowed(prop->name).ref();
    appendIdentifier(out, declarationText(name.get()), currentDialect());
    out.push_back(' ');
    if (prop->isPk) {
        buildDefault(out, col);
    } else {
        appendTargetType(out, col);
        appendNullability(out, col);
        Ref hasDefault = getattr(col, "hasDefault");
        if (truthy(hasDefault.get())) {
            // A default marker without a value (NullDefault) gives no text:
            // the keyword alone would make the declaration invalid.
            size_t mark = out.size();
            out.append("DEFAULT ");
            buildDefault(out, col);
            if (out.size() == mark + 8) out.resize(mark);
        }
        if (prop->unique) {
            if (!out.empty() && out.back() != ' ') out.push_back(' ');
            out.append("UNIQUE ");
        }
    }
    appendUnicode(out, Borrowed(prop->define).get());  // read where it is used
    out.append(",\n");
}

// Whether `model` is the generated middle model of a many-to-many relation.
bool isMiddleModel(PyObject* model) {
    if (!PyType_Check(model)) return false;
    Ref middle = importFrom("Quillon.Model.Entity", "MiddleEntity");
    return model != middle.get() && isSubclass(model, middle.get());
}

// A declared name of the table: "<table><suffix>", quoted when a keyword.
void appendTableSuffixed(std::string& out, PyObject* tableName, const char* suffix, int dialect) {
    std::string name(utf8(tableName));
    name.append(suffix);
    appendIdentifier(out, name, dialect);
}

Ref renderTable(PyObject* self) {
    Ref model = Borrowed(reinterpret_cast<TableGeneratorObject*>(self)->model).ref();
    Ref tableName = getattr(model.get(), "tableName");
    int dialect = currentDialect();
    std::string out;
    out.reserve(512);
    out.append("CREATE TABLE ");
    appendIdentifier(out, declarationText(tableName.get()), dialect);
    out.append("( \n");
    Ref cols = getattr(model.get(), "col");
    Py_ssize_t n = checkSize(PyObject_Length(cols.get()));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref current = getattr(model.get(), "col");
        Ref col = Ref::steal(PySequence_GetItem(current.get(), i));
        buildCol(out, col.get());
    }
    Ref pkCol = getattr(model.get(), "pkCol");
    if (truthy(pkCol.get())) {
        out.append("   constraint ");
        appendTableSuffixed(out, tableName.get(), "_pk", dialect);
        out.append(" PRIMARY KEY (");
        Ref name = isProperty(pkCol.get()) ? propertyName(pkCol.get()).ref() : getattr(pkCol.get(), "name");
        appendIdentifier(out, declarationText(name.get()), dialect);
        out.append(")\n");
    } else if (isMiddleModel(model.get()) && n == 2) {
        // A link is stored once: the pair of keys is unique.
        out.append("   constraint ");
        appendTableSuffixed(out, tableName.get(), "_uq", dialect);
        out.append(" UNIQUE (");
        for (Py_ssize_t i = 0; i < 2; ++i) {
            Ref current = getattr(model.get(), "col");
            Ref col = Ref::steal(PySequence_GetItem(current.get(), i));
            if (!isProperty(col.get())) raiseConvert(col.get(), "Quillon.Model.Columns.BaseProperty");
            if (i) out.append(", ");
            appendIdentifier(out, nameText(propertyName(col.get()).get()), dialect);
        }
        out.append(")\n");
    }
    if (out.size() >= 2 && out.compare(out.size() - 2, 2, ",\n") == 0) {
        out.resize(out.size() - 2);
        out.push_back('\n');
    }
    // MySQL tables store full UTF-8 whatever the server's default is.
    out.append(dialect == DIALECT_MYSQL ? ") DEFAULT CHARSET=utf8mb4 ;" : ") ;");
    Ref text = textOf(out);
    return tupleOf({text.get()});
}

OverrideSet<1> tableOverrides{{"Build"}};

PyObject* tableBuildSlot(PyObject* self) {
    return entry([&] {
        if (tableOverrides.overridden(self, 0)) return callMethod(self, tableOverrides.name(0));
        return renderTable(self);
    });
}

PyObject* buildColSlot(PyObject* col) {
    return entry([&] {
        std::string out;
        buildCol(out, col);
        return textOf(out);
    });
}

const TableGeneratorOps tableOps{{tableBuildSlot}, tableBuildSlot, buildColSlot};

PyObject* tableNew(PyTypeObject* type, PyObject*, PyObject*) {
    return entry([&] {
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        auto* t = self.as<TableGeneratorObject>();
        t->base.ops = &tableOps;
        t->base.currentType = SQL_NONE;
        t->model = Py_NewRef(Py_None);
        return self;
    });
}

const Signature<1> tableSig{"TableGenerator", {"model"}, 1};

int tableInit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary(-1, [&] {
        auto b = bind(tableSig, args, kwargs);
        assignField(reinterpret_cast<TableGeneratorObject*>(self)->model, b[0]);
        return 0;
    });
}

Ref tableBuild(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("Build", nargs, kwnames);
    return renderTable(self);
}

PyMethodDef tableMethods[] = {
    Q_FAST("Build", tableBuild, "Build() -> (CREATE TABLE text,)"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tableGetSet[] = {
    Q_GETTER("model", fieldGetter<offsetof(TableGeneratorObject, model)>, "the model class whose table is declared"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tableSlots[] = {
    {Py_tp_doc, (void*)"TableGenerator(model)\n\nRenders the CREATE TABLE statement of a model class."},
    {Py_tp_new, (void*)tableNew},
    {Py_tp_init, (void*)tableInit},
    {Py_tp_traverse, (void*)traverseObject<tableFields>},
    {Py_tp_clear, (void*)clearObject<tableFields>},
    {Py_tp_dealloc, (void*)deallocObject<tableFields>},
    {Py_tp_methods, tableMethods},
    {Py_tp_getset, tableGetSet},
    {0, nullptr},
};

PyType_Spec tableSpec = {"Quillon.DB.Generator.TableGenerator", sizeof(TableGeneratorObject), 0, kTypeFlags,
                         tableSlots};

// ===========================================================================
// Module functions
// ===========================================================================

// Table creation for every declared model.
//
// The tables are declared in model-creation order (targets before the models
// that refer to them, middle tables after both sides); a table that already
// exists is left alone, so calling it again is harmless.  With a blocking
// connector it runs at once; with an asyncio connector it returns a native
// coroutine that runs on the calling task's connection, committing after
// each table.  A table that fails stops the run with TableCreationError,
// which names the model and carries the driver's error as its cause; the
// tables created before it stay.

// The declared models whose tables are missing, as (model, table name,
// CREATE TABLE text) tuples.
Ref missingTables(PyObject* existing) {
    Ref entityModule = importModule("Quillon.Model.Entity");
    Ref entity = getattr(entityModule.get(), "Entity");
    Ref middle = getattr(entityModule.get(), "MiddleEntity");
    Ref models = getattr(entity.get(), "ModelList");
    Ref known = Ref::steal(PySet_New(existing));
    Ref statements = Ref::steal(PyList_New(0));
    Ref seq = Ref::steal(PySequence_List(models.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq.get()); ++i) {
        Ref model = listItem(seq.get(), i).ref();
        if (model.get() == entity.get() || model.get() == middle.get()) continue;
        Ref table = getattr(model.get(), tableNameKey);
        if (check(PySet_Contains(known.get(), table.get()))) continue;
        check(PySet_Add(known.get(), table.get()));
        Ref generator = call((PyObject*)TableGeneratorType, model.get());
        Ref built = Ref::steal(tableOps.Build(generator.get()));
        Ref entry = tupleOf({model.get(), table.get(), PyTuple_GET_ITEM(built.get(), 0)});
        check(PyList_Append(statements.get(), entry.get()));
    }
    return statements;
}

// The facade's module is bound on first use: loading the generator must not
// load the facade and everything it binds.
const DBApi* dbApi() {
    static const DBApi* api = nullptr;
    if (!api) api = bindApi<DBApi>("Quillon.DB.DB", kDBCapsule);
    return api;
}

Ref requireActiveConnector() {
    Ref connector = activeConnector(dbApi());
    if (connector.get() == Py_None) raisePackageError("Quillon.Error.DbFault", "ConnectorMissingError");
    return connector;
}

// Raises TableCreationError for the table of `entry` (a missingTables
// tuple), with the driver's error `failure` as its cause.
[[noreturn]] void raiseTableFailure(PyObject* entry, PyError& failure) {
    failure.restore();
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb && v) PyException_SetTraceback(v, tb);
    Ref type = Ref::stealOrNull(t), cause = Ref::stealOrNull(v), trace = Ref::stealOrNull(tb);
    if (!cause || !PyErr_GivenExceptionMatches(cause.get(), PyExc_Exception)) {
        // A cancellation or an interrupt passes on unchanged.
        PyErr_Restore(type.release(), cause.release(), trace.release());
        throwPending();
    }
    Ref cls = importFrom("Quillon.Error.DbFault", "TableCreationError");
    Ref error = call(cls.get(), PyTuple_GET_ITEM(entry, 0), PyTuple_GET_ITEM(entry, 1), cause.get());
    PyException_SetCause(error.get(), cause.newRef());
    PyException_SetContext(error.get(), cause.release());
    PyErr_SetObject(cls.get(), error.get());
    throwPending();
}

Coro generateTablesAsync(Ref connector) {
    Local statements;
    {
        Local existing = co_await awaitPy(callMethod(connector.get(), "getTableNameList"));
        statements = missingTables(existing.get());
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(statements.get()); ++i) {
        Local entry = listItem(statements.get(), i).ref();
        try {
            co_await awaitPy(callMethod(connector.get(), "execute", tupleItem(entry.get(), 2).get()));
        } catch (PyError& e) {
            // A cancellation or an interrupt passes on unchanged.
            if (!e.isException()) throw;
            raiseTableFailure(entry.get(), e);
        }
        // Each table is committed at once: a later failure keeps it.
        Local con = co_await awaitPy(callMethod(connector.get(), "getCon"));
        co_await awaitPy(callMethod(con.get(), "commit"));
    }
    Local con = co_await awaitPy(callMethod(connector.get(), "getCon"));
    co_await awaitPy(callMethod(con.get(), "commit"));
    co_return Ref::none();
}

Ref generate_table(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("generate_table", nargs, kwnames);
    Ref connector = requireActiveConnector();
    if (reinterpret_cast<BaseConnectorObject*>(connector.get())->isAsync)
        return toPython(generateTablesAsync(std::move(connector)), "generate_table");
    Ref existing = callMethod(connector.get(), "getTableNameList");
    Ref statements = missingTables(existing.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(statements.get()); ++i) {
        Ref entry = listItem(statements.get(), i).ref();
        try {
            callMethod(connector.get(), "execute", tupleItem(entry.get(), 2).get());
        } catch (PyError& e) {
            if (!e.isException()) throw;
            raiseTableFailure(entry.get(), e);
        }
    }
    Ref con = callMethod(connector.get(), "getCon");
    callMethod(connector.get(), "releaseCon", con.get());
    return Ref::none();
}

PyMethodDef moduleMethods[] = {
    Q_FAST("generate_table", generate_table, "generate_table() -> creates the table of every declared model"),
    {nullptr, nullptr, 0, nullptr},
};

// ===========================================================================
// Module loading
// ===========================================================================

Ref textMap(std::initializer_list<std::pair<int, const char*>> entries, PyObject* keyEnum) {
    Ref map = Ref::steal(PyDict_New());
    for (auto& [code, text] : entries) {
        Ref key = integer(code);
        if (keyEnum) key = call(keyEnum, key.get());
        Ref value = str(text);
        check(PyDict_SetItem(map.get(), key.get(), value.get()));
    }
    return map;
}

void exec(PyObject* module) {
    initCoroutines(module);
    BaseSqlGeneratorType = addType(module, &baseSpec);
    CustomColAnnounceType = addType(module, &announceSpec, BaseSqlGeneratorType);
    SqlGeneratorType = addType(module, &sqlSpec, BaseSqlGeneratorType);
    JoinCellType = addType(module, &joinCellSpec);
    TableGeneratorType = addType(module, &tableSpec, BaseSqlGeneratorType);
    initialLimit = interned(" ").release();
    tableNameKey = interned("tableName").release();
    modelKey = interned("model").release();
    nameKey = interned("name").release();
    valueKey = interned("value").release();
    colKey = interned("col").release();
    getKey = interned("get").release();
    targetKey = interned("target").release();
    ownerKey = interned("owner").release();
    bindColKey = interned("bindCol").release();
    targetBindColKey = interned("targetBindCol").release();
    tableNameSlots = new TableNameSlot[kTableNameSlots]();
    qualifiedSlots = new QualifiedSlot[kQualifiedSlots]();

    api.BaseSqlGenerator = BaseSqlGeneratorType;
    api.CustomColAnnounce = CustomColAnnounceType;
    api.SqlGenerator = SqlGeneratorType;
    api.JoinCell = JoinCellType;
    api.TableGenerator = TableGeneratorType;
    api.sqlGeneratorOps = &sqlOps;
    api.tableGeneratorOps = &tableOps;
    api.newSqlGenerator = apiNewSqlGenerator;
    api.newCustomColAnnounce = apiNewCustomColAnnounce;
    api.renderTerm = apiRenderTerm;
    api.renderFilter = apiRenderFilter;
    publish(module, &api, kGeneratorCapsule);

    // Imports come only now that the capsule is in place.
    check(PyModule_AddFunctions(module, moduleMethods));
    // Int enumerations, so their members are plain ints to every native reader.
    Ref intEnum = importFrom("enum", "IntEnum");
    sqlTypeEnum = makeEnum(module, intEnum.get(), "sqlType",
                           {{"SELECT", integer(SQL_SELECT)}, {"INSERT", integer(SQL_INSERT)},
                            {"DELETE", integer(SQL_DELETE)}, {"UPDATE", integer(SQL_UPDATE)},
                            {"NONE", integer(SQL_NONE)}})
                      .release();
    Ref joinType = makeEnum(module, intEnum.get(), "JoinType",
                            {{"JOIN", integer(JOIN_PLAIN)}, {"LEFT", integer(JOIN_LEFT)},
                             {"RIGHT", integer(JOIN_RIGHT)}, {"INNER", integer(JOIN_INNER)}});

    Ref relationships = textMap({{REL_AND, " AND "}, {REL_OR, " OR "}, {REL_EQ, " = "}, {REL_GT, " > "},
                                 {REL_GE, " >= "}, {REL_LT, " < "}, {REL_LE, " <= "}, {REL_NE, " != "},
                                 {REL_LIKE, " LIKE "}, {REL_IS_NULL, " IS NULL"}, {REL_NOT_NULL, " IS NOT NULL"},
                                 {REL_LIKE_ESCAPED, " LIKE "}, {REL_IN, " IN "}, {REL_NOT_IN, " NOT IN "},
                                 {REL_BETWEEN, " BETWEEN "}},
                                nullptr);
    Ref joins = textMap({{JOIN_PLAIN, "JOIN "}, {JOIN_LEFT, "LEFT JOIN "}, {JOIN_RIGHT, "RIGHT JOIN "},
                         {JOIN_INNER, "INNER JOIN "}},
                        joinType.get());
    addObject(module, "relationshipMap", relationships.get());
    addObject(module, "joinTypeMap", joins.get());
    relationshipMap = relationships.release();
    watchDict(relationshipMap);  // kept texts are made with its entries
    shapeCache = new ShapeCache();
    joinTypeMap = joins.release();

    sqlFaultModule = importModule("Quillon.Error.SqlFault").release();
    columns = bindApi<ColumnsApi>("Quillon.Model.Columns", kColumnsCapsule);
}

PyModuleDef_Slot moduleSlots[] = {
    Q_MODULE_SLOTS(exec),
    {0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "Quillon.DB.Generator",
                         "SQL generation: statement builder, renderers and table generator.",
                         0, nullptr, moduleSlots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Generator() { return PyModuleDef_Init(&moduleDef); }
