// Quillon.Model.Executors: the query API of a model, blocking and awaited.
//
// An executor serves one model over one unit of work.  Every operation
// prepares its statement natively (a fresh builder, or SQL text made from
// declared identifiers only, every value an argument), starts it through the
// facade and shapes what comes back.  `ModelExecutor` returns the result;
// `AsyncModelExecutor` returns a native coroutine that awaits the connector
// and then shapes the result the same way, so both classes share every
// preparation and every finishing step.
//
// Each statement runs through a short-lived statement runner: an object of a
// native class derived from the executor's kind that holds the statement's
// builder and the executor it works for.  The connector reads `sqlBuilder`
// from the object it is given and records the changed-row count on it, so
// concurrent awaited operations of one executor never overwrite each other's
// statement.  When the executor's class overrides handleResult, the override
// runs on the executor itself, which shows the statement's builder for the
// length of that call.  The executor's own `sqlBuilder` is left for callers
// that drive it directly (the pager) and run it with `execute()`.
//
// Writes leave out the columns that a row built in Python took from a
// database-side default (the row records them when it is built), so the
// table's defaults and generated keys apply; where the database reports what
// it chose (INSERT ... RETURNING), a save stores those values in the row.
// Every identifier is written quoted when it is a keyword of the dialect.
#include <quillon/coro.hpp>
#include <quillon/facade.hpp>
#include <quillon/layouts.hpp>
#include <quillon/native.hpp>
#include <quillon/override.hpp>
#include <quillon/sql.hpp>
#include <quillon/terms.hpp>

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using namespace quillon;

namespace {

PyTypeObject* BaseModelExecutorType = nullptr;
PyTypeObject* ModelExecutorType = nullptr;
PyTypeObject* AsyncModelExecutorType = nullptr;
PyTypeObject* StatementType = nullptr;       // SQL text and its arguments, as a builder
PyTypeObject* BlockingRunnerType = nullptr;  // runs one statement of a blocking executor
PyTypeObject* AsyncRunnerType = nullptr;     // runs one statement of an awaited executor

const GeneratorApi* generatorApi = nullptr;
const ColumnsApi* columnsApi = nullptr;
const EntityApi* entityApi = nullptr;
const DBApi* dbApi = nullptr;
const ConnectorApi* connectorApi = nullptr;

struct Names {
    Leaked executor, con, args, dictCur, tableName, pkCol, pkName, col, fk, mapping, name, value, target, bindCol,
        targetBindCol, Type, middleModel, owner, getOtherFkBy, ONE_TO_ONE, ONE_TO_MANY, MANY_TO_MANY, object, getCon,
        in_transaction, beginTransaction, endTransaction, dunderDict, Sum, Avg, Min, Max;
} names;

BaseModelExecutorObject* asExecutor(PyObject* o) { return reinterpret_cast<BaseModelExecutorObject*>(o); }
SqlGeneratorObject* asBuilder(PyObject* o) { return reinterpret_cast<SqlGeneratorObject*>(o); }
BasePropertyObject* asProperty(PyObject* o) { return reinterpret_cast<BasePropertyObject*>(o); }
bool isAsyncExecutor(PyObject* self) { return PyObject_TypeCheck(self, AsyncModelExecutorType); }

// ===========================================================================
// The model's declaration
// ===========================================================================

// Whether `o` is a column property: the typed property classes derive from
// the base directly, which the per-column loops test first.
bool isProperty(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    PyTypeObject* base = columnsApi->BaseProperty;
    return t == base || t->tp_base == base || PyType_IsSubtype(t, base);
}

// The name of a column property, held: a lookup with it may run Python code
// (a key of a row whose hash collides compares itself with it).
Ref columnName(PyObject* prop) { return Borrowed(asProperty(prop)->name).ref(); }

// What an operation needs to know of its model, read once per operation.
// Everything is held: the operation runs Python code (conversions,
// comparisons) that may re-initialise the executor or change the model.
struct ModelInfo {
    Ref modelRef;
    PyObject* model;  // modelRef's object
    Ref table;   // str
    Ref pkCol;   // property or a false value
    Ref pkName;  // str or None
    Ref cols;    // list of properties

    explicit ModelInfo(Borrowed m) : modelRef(m.ref()), model(modelRef.get()) {
        table = getattr(model, names.tableName.get());
        if (!PyUnicode_Check(table.get())) raise(PyExc_TypeError, "model %R has no table name", model);
        pkCol = getattr(model, names.pkCol.get());
        pkName = getattr(model, names.pkName.get());
        cols = getattr(model, names.col.get());
        if (!PyList_Check(cols.get())) raise(PyExc_TypeError, "model %R has no column list", model);
    }
    bool hasKey() const { return pkCol.get() != Py_None && isProperty(pkCol.get()); }
    PyObject* requireKey(const char* op) const {
        if (!hasKey()) raise(PyExc_TypeError, "%s() needs a primary key, and model %R declares none", op, model);
        return pkCol.get();
    }
    // The number of columns, read again after any Python code has run.
    Py_ssize_t columnCount() const { return PyList_GET_SIZE(cols.get()); }
    // The column property at `index` of the column list, held.
    Ref column(Py_ssize_t index) const {
        if (index >= columnCount()) raise(PyExc_RuntimeError, "the column list of %R changed", model);
        Ref prop = listItem(cols.get(), index).ref();
        if (!isProperty(prop.get()))
            raise(PyExc_TypeError, "the column list of %R holds %.200s, not a property", model, typeName(prop.get()));
        return prop;
    }
};

Ref toDB(PyObject* prop, PyObject* value) { return Ref::steal(columnsApi->propertyOps->toDBValue(prop, value)); }
Ref toObj(PyObject* prop, PyObject* value) { return Ref::steal(columnsApi->propertyOps->toObjValue(prop, value)); }

// The column property of `model` called `key` (a name or a property of it).
Py_ssize_t columnIndex(const ModelInfo& info, PyObject* key) {
    for (Py_ssize_t i = 0; i < info.columnCount(); ++i) {
        Ref prop = info.column(i);
        if (prop.get() == key) return i;
        Borrowed name(asProperty(prop.get())->name);  // compared at once: no Python code
        if (PyUnicode_Check(key) && PyUnicode_Check(name.get()) && PyUnicode_Compare(name.get(), key) == 0)
            return i;
    }
    raise(PyExc_KeyError, "%R is not a column of %R", key, info.model);
}
Ref columnOf(const ModelInfo& info, PyObject* key) { return info.column(columnIndex(info, key)); }

Ref keyFilter(PyObject* pkCol, PyObject* value) {
    return Ref::steal(columnsApi->propertyOps->setFilter(pkCol, value, REL_EQ));
}

// A filter argument: a chain (or None where allowed) that computes no
// aggregate.  Returns the columns it names of models other than the
// executor's: a filter across relations.
std::vector<Ref> filterColumnsElsewhere(const ModelInfo& info, PyObject* where, bool noneOk = true) {
    std::vector<Ref> elsewhere;
    if (noneOk && where == Py_None) return elsewhere;
    if (!PyObject_TypeCheck(where, columnsApi->FilterListCell))
        raiseArgType("where", noneOk ? "FilterListCell or None" : "FilterListCell", where);
    std::vector<Ref> props;
    bool aggregate = false;
    collectFilterColumns(columnsApi, where, props, aggregate);
    if (aggregate)
        raise(PyExc_ValueError, "a filter of rows cannot compute an aggregate; aggregates filter the groups of "
                                "values() (having=)");
    for (Ref& p : props)
        if (!columnOfModel(p.get(), info.model)) elsewhere.push_back(std::move(p));
    return elsewhere;
}

Borrowed fkEntry(PyObject* fk, PyObject* key) {
    Borrowed v = dictItem(fk, key);
    return v ? v : Borrowed(Py_None);
}

Ref foreignTypeMember(PyObject* name) { return getattr(columnsApi->ForeignType, name); }

// ===========================================================================
// Rows given to writes
// ===========================================================================

// The model of a model row (its row class's `object`); null for a plain dict.
Borrowed modelOfRow(PyObject* row) {
    if (!PyObject_TypeCheck(row, entityApi->ModelInstance)) return Borrowed(nullptr);
    return Borrowed(lookupType(Py_TYPE(row), names.object.get()));
}

// A row argument of `op`: a dict, and a row of the executor's model when it
// is a model row at all.
void requireRowOf(const ModelInfo& info, PyObject* row, const char* op, const char* arg = "row") {
    if (!PyDict_Check(row)) raiseArgType(arg, "ModelInstance", row);
    Borrowed model = modelOfRow(row);
    if (model && model.get() != info.model)
        raise(PyExc_TypeError, "%s() of the %s executor takes rows of %s, not a row of %s", op, modelName(info.model),
              modelName(info.model), modelName(model.get()));
}

// The relation entries of the model's rows: (entry name, many-to-many).
std::vector<std::pair<Ref, bool>> relationEntries(const ModelInfo& info) {
    std::vector<std::pair<Ref, bool>> out;
    Ref fks = getattr(info.model, names.fk.get());
    Ref seq = Ref::steal(PySequence_Fast(fks.get(), "fk must be a list"));
    if (PySequence_Fast_GET_SIZE(seq.get()) == 0) return out;
    Ref manyToMany = foreignTypeMember(names.MANY_TO_MANY.get());
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        Ref fk = fastItem(seq.get(), i).ref();
        if (!PyDict_Check(fk.get())) continue;
        Ref name = fkEntry(fk.get(), names.name.get()).ref();
        if (!PyUnicode_Check(name.get())) continue;
        bool many = fkEntry(fk.get(), names.Type.get()).get() == manyToMany.get();
        out.emplace_back(std::move(name), many);
    }
    return out;
}

// Refuses a row that carries related rows: writes store the row's columns
// only, and dropping what the row says about its relations would lose it.
void refuseRelationValues(const ModelInfo& info, const std::vector<std::pair<Ref, bool>>& relations, PyObject* row,
                          const char* op) {
    for (const auto& [name, manyToMany] : relations) {
        Ref value = dictItem(row, name.get()).ref();
        if (!value || value.get() == Py_None || !truthy(value.get())) continue;
        const char* model = modelName(info.model);
        if (manyToMany)
            raise(PyExc_ValueError,
                  "%s(): the row carries related rows in %s.%U, which %s() does not store; %s the row without "
                  "them, then add the links with the executor's link(row, %s.%U, others)",
                  op, model, name.get(), op, op, model, name.get());
        raise(PyExc_ValueError,
              "%s(): the row carries related rows in %s.%U, which %s() does not store; %s the row without them "
              "and store the related rows through their own model's executor",
              op, model, name.get(), op, op);
    }
}

// Whether the database generates the key when an insert leaves it out.
bool keyIsGenerated(PyObject* pk) {
    PyObject* v = asProperty(pk)->_default;
    return v && (v == (PyObject*)columnsApi->AutoIncrement || PyObject_TypeCheck(v, columnsApi->AutoIncrement) ||
                 PyObject_TypeCheck(v, generatorApi->CustomColAnnounce));
}

// The columns a row built in Python filled from a database-side default (the
// row records them when it is built; other rows have no record).
PyObject* defaultedColumns(PyObject* row) {
    if (!PyObject_TypeCheck(row, entityApi->ModelInstance)) return nullptr;
    PyObject* t = reinterpret_cast<ModelInstanceObject*>(row)->_temp;
    return t && PyDict_Check(t) && PyDict_GET_SIZE(t) ? t : nullptr;
}

// Whether the row leaves column `name` (holding `value`) to the database:
// filled from a database-side default and still None.
bool leftToDatabase(PyObject* defaulted, PyObject* name, PyObject* value) {
    if (value != Py_None || !defaulted) return false;
    return check(PyDict_Contains(defaulted, name)) != 0;
}

// The columns an insert of one row writes and the ones it leaves to the
// database, by index in the model's column list, with the row's values of
// the written columns (held: reading the row may run Python code that
// changes it).
struct InsertPlan {
    std::vector<Py_ssize_t> columns;
    std::vector<Ref> values;
    std::vector<Py_ssize_t> leftOut;  // non-key columns left to their default
    bool keyLeftOut = false;          // the database generates the key
};

void planInsert(const ModelInfo& info, PyObject* row, const char* op, InsertPlan& plan) {
    plan.columns.clear();
    plan.values.clear();
    plan.leftOut.clear();
    plan.keyLeftOut = false;
    // Lookups of str keys, but a key of the row whose hash collides with a
    // column's name runs its __eq__, which may change the row (or the model's
    // columns): every value read is held, the columns are counted again.
    Ref defaulted = Borrowed(defaultedColumns(row)).ref();
    for (Py_ssize_t i = 0; i < info.columnCount(); ++i) {
        Ref prop = info.column(i);
        Ref name = columnName(prop.get());
        Ref value = dictItem(row, name.get()).ref();
        if (prop.get() == info.pkCol.get()) {
            if (value && value.get() != Py_None) {
                plan.columns.push_back(i);
                plan.values.push_back(std::move(value));
            } else if (keyIsGenerated(prop.get())) {
                plan.keyLeftOut = true;
            } else {
                raise(PyExc_ValueError,
                      "%s(): the row has no value for the key %R of %s, and nothing generates one: give the key, "
                      "or declare it with default=auto_increment",
                      op, name.get(), modelName(info.model));
            }
            continue;
        }
        if (!value) continue;
        if (leftToDatabase(defaulted.get(), name.get(), value.get())) {
            plan.leftOut.push_back(i);
        } else {
            plan.columns.push_back(i);
            plan.values.push_back(std::move(value));
        }
    }
}

InsertPlan planInsert(const ModelInfo& info, PyObject* row, const char* op) {
    InsertPlan plan;
    planInsert(info, row, op, plan);
    return plan;
}

// The statement arguments of one row: the planned values in database form.
Ref rowArguments(const ModelInfo& info, const InsertPlan& plan) {
    Py_ssize_t n = (Py_ssize_t)plan.columns.size();
    // The tuple holds the values first; each is then replaced by its
    // database form.
    Ref args = Ref::steal(PyTuple_New(n));
    for (Py_ssize_t c = 0; c < n; ++c) PyTuple_SET_ITEM(args.get(), c, plan.values[(size_t)c].newRef());
    for (Py_ssize_t c = 0; c < n; ++c) {
        Ref prop = info.column(plan.columns[(size_t)c]);
        Ref value = tupleItem(args.get(), c).ref();
        Ref stored = toDB(prop.get(), value.get());
        if (stored.get() == value.get()) continue;
        PyObject* old = PyTuple_GET_ITEM(args.get(), c);
        PyTuple_SET_ITEM(args.get(), c, stored.release());
        Py_DECREF(old);
    }
    return args;
}

// Appends the statement arguments of one row to `flat`: rows inserted by
// one multi-row statement bind their values one after the other.
void appendRowArguments(const ModelInfo& info, const InsertPlan& plan, PyObject* flat) {
    for (size_t c = 0; c < plan.columns.size(); ++c) {
        Ref prop = info.column(plan.columns[c]);
        Ref stored = toDB(prop.get(), plan.values[c].get());
        check(PyList_Append(flat, stored.get()));
    }
}

// ===========================================================================
// Statements
// ===========================================================================

Ref newBuilder(const ModelInfo& info, int kind) {
    if (!generatorApi->newSqlGenerator) raise(PyExc_ImportError, "the statement builder is not available");
    Ref b = Ref::steal(generatorApi->newSqlGenerator());
    auto* g = asBuilder(b.get());
    g->base.currentType = kind;
    assignField(g->target, info.table.get());
    return b;
}

// SQL text made here, as a builder: its Build gives the text and its
// arguments, one tuple (run once) or a list of tuples (run once per tuple,
// as one statement run).
struct StatementObject {
    BaseSqlGeneratorObject base;
    PyObject* sql;   // str
    PyObject* args;  // tuple, or list of tuples
};

PyObject* statement_Build(PyObject* self) {
    auto* s = reinterpret_cast<StatementObject*>(self);
    return entry([&] { return tupleOf({s->sql, s->args}); });
}
const BaseSqlGeneratorOps statementOps = {statement_Build};

const size_t statementFieldOffsets[] = {offsetof(StatementObject, sql), offsetof(StatementObject, args)};
const FieldList statementFields{statementFieldOffsets, 2};

Ref newStatement(const std::string& sql, Ref args, int kind) {
    Ref b = Ref::steal(StatementType->tp_alloc(StatementType, 0));
    auto* s = reinterpret_cast<StatementObject*>(b.get());
    s->base.ops = &statementOps;
    s->base.currentType = kind;
    s->sql = str(sql).release();
    s->args = args.release();
    return b;
}

Ref noArgs() { return Ref::steal(PyTuple_New(0)); }

constexpr long kNoLimit = 2147483647;

// MySQL and SQLite read "limit <offset>, <count>"; PostgreSQL has only
// "LIMIT <count> OFFSET <offset>".
Ref limitText(PyObject* limit, PyObject* offset, int dialect) {
    static const Leaked noLimit = str(" ");
    if (limit == Py_None && offset == Py_None) return Ref::borrow(noLimit.get());
    long count = kNoLimit, skip = 0;
    if (limit != Py_None) {
        count = PyLong_AsLong(limit);
        if (count == -1 && PyErr_Occurred()) throwPending();
        if (count < 0) raise(PyExc_ValueError, "limit must not be negative");
    }
    if (offset != Py_None) {
        skip = PyLong_AsLong(offset);
        if (skip == -1 && PyErr_Occurred()) throwPending();
        if (skip < 0) raise(PyExc_ValueError, "offset must not be negative");
    }
    return limitClause(count, skip, dialect);
}

// One order term, or a sequence of them.
bool isSingleOrderTerm(PyObject* orderBy) {
    return PyUnicode_Check(orderBy) || PyObject_TypeCheck(orderBy, columnsApi->BaseProperty) ||
           PyObject_TypeCheck(orderBy, columnsApi->OrderTerm) || PyObject_TypeCheck(orderBy, columnsApi->Expression);
}

Ref orderTuple(const ModelInfo& info, PyObject* orderBy, int dialect) {
    if (orderBy == Py_None) return Ref::none();
    auto term = [&](PyObject* t) {
        return str(orderTermText(columnsApi, generatorApi, info.model, info.table.get(), info.cols.get(), t, dialect));
    };
    if (isSingleOrderTerm(orderBy)) return tupleOf({term(orderBy).get()});
    Ref seq = Ref::steal(PySequence_Tuple(orderBy));
    Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    Ref out = Ref::steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(out.get(), i, term(PyTuple_GET_ITEM(seq.get(), i)).release());
    return out;
}

// The select of the model's rows; `where` is a filter on its own columns.
Ref selectBuilder(const ModelInfo& info, PyObject* where, PyObject* orderBy, PyObject* limit, PyObject* offset) {
    int dialect = activeDialect(dbApi);
    Ref order = orderTuple(info, orderBy, dialect);
    Ref b = newBuilder(info, SQL_SELECT);
    auto* g = asBuilder(b.get());
    assignField(g->selectCol, Ref::steal(PySequence_List(info.cols.get())));
    assignField(g->whereCol, where);
    assignField(g->limit, limitText(limit, offset, dialect));
    assignField(g->orderList, std::move(order));
    return b;
}

// "INSERT INTO <table> (<columns>) values (%s,...)", the builder's own form;
// a row without a column to write takes the table's default for every one.
std::string insertText(const ModelInfo& info, const std::vector<Py_ssize_t>& columns, int dialect) {
    std::string sql = "INSERT INTO ";
    appendIdentifier(sql, utf8(info.table.get()), dialect);
    if (columns.empty()) {
        sql += dialect == DIALECT_MYSQL ? " () values ()" : " DEFAULT VALUES";
        return sql;
    }
    sql += " (";
    for (size_t i = 0; i < columns.size(); ++i) {
        if (i) sql += ",";
        Ref prop = info.column(columns[i]);
        appendIdentifier(sql, utf8(Borrowed(asProperty(prop.get())->name).get()), dialect);
    }
    sql += ") values (";
    for (size_t i = 0; i < columns.size(); ++i) sql += i ? ",%s" : "%s";
    sql += ")";
    return sql;
}

// The texts of recent row shapes.  Saves and updates by key write the same
// columns of the same table over and over, so the text of a shape (the
// dialect, the table name and the names of the written columns, which are
// mostly the very strings the model holds) is made once.  A small ring of
// entries whose strings are kept alive by the entries themselves (and never
// released at exit).
class ShapeTexts {
public:
    // The text of the shape (borrowed), or null.  Runs no Python code.
    PyObject* find(int dialect, PyObject* table, const std::vector<PyObject*>& names) const {
        for (const Entry& e : entries_) {
            if (!e.text || e.dialect != dialect || !sameText(e.table.get(), table) || e.names.size() != names.size())
                continue;
            bool same = true;
            for (size_t i = 0; same && i < names.size(); ++i) same = sameText(e.names[i].get(), names[i]);
            if (same) return e.text.get();
        }
        return nullptr;
    }
    // Replacing an entry releases strs only, which runs no Python code.
    void store(int dialect, PyObject* table, const std::vector<PyObject*>& names, PyObject* text) {
        Entry& e = entries_[next_];
        next_ = (next_ + 1) % entries_.size();
        e.dialect = dialect;
        e.table = Ref::borrow(table);
        e.names.clear();
        for (PyObject* name : names) e.names.push_back(Ref::borrow(name));
        e.text = Ref::borrow(text);
    }

private:
    static bool sameText(PyObject* a, PyObject* b) {
        return a == b || (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) &&
                          PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0);
    }
    // Owned references: the tables themselves are never destroyed.
    struct Entry {
        int dialect = -1;
        Ref table;
        std::vector<Ref> names;
        Ref text;
    };
    std::array<Entry, 8> entries_;
    size_t next_ = 0;
};
// Process-lifetime: made once and never destroyed (their entries hold references).
ShapeTexts& insertTexts = *new ShapeTexts;
ShapeTexts& updateTexts = *new ShapeTexts;
ShapeTexts& countTexts = *new ShapeTexts;
ShapeTexts& existsTexts = *new ShapeTexts;

// The names of columns of the model's column list, borrowed from their
// properties (valid until Python code runs).
std::vector<PyObject*> columnNames(const ModelInfo& info, const std::vector<Py_ssize_t>& columns) {
    std::vector<PyObject*> names;
    names.reserve(columns.size());
    for (Py_ssize_t i : columns) names.push_back(asProperty(info.column(i).get())->name);
    return names;
}

// "INSERT INTO <table> (<columns>) values (%s,...);" for the written columns
// of a plan (at least one).  Runs no Python code.
Ref insertStatementText(const ModelInfo& info, const std::vector<Py_ssize_t>& columns, int dialect) {
    std::vector<PyObject*> names = columnNames(info, columns);
    if (PyObject* known = insertTexts.find(dialect, info.table.get(), names)) return Ref::borrow(known);
    Ref text = str(insertText(info, columns, dialect) + ";");
    insertTexts.store(dialect, info.table.get(), std::move(names), text.get());
    return text;
}

// The insert of one row that writes at least one column: the written
// columns in database form, the text of the row's shape.
Ref insertStatement(const ModelInfo& info, const InsertPlan& plan, int dialect) {
    Ref values = rowArguments(info, plan);
    Ref b = Ref::steal(StatementType->tp_alloc(StatementType, 0));
    auto* s = reinterpret_cast<StatementObject*>(b.get());
    s->base.ops = &statementOps;
    s->base.currentType = SQL_INSERT;
    s->sql = insertStatementText(info, plan.columns, dialect).release();
    s->args = values.release();
    return b;
}

// A SET item; `prop` and `value` are held by the caller (the conversion runs
// Python code).  An expression (`Item.stock - 1`) is kept: the statement
// computes it from the row's own columns.
Ref setItem(PyObject* prop, PyObject* value) {
    Ref item = Ref::steal(PyDict_New());
    Ref name = columnName(prop);
    check(PyDict_SetItem(item.get(), names.name.get(), name.get()));
    if (PyObject_TypeCheck(value, columnsApi->Expression))
        check(PyDict_SetItem(item.get(), names.value.get(), value));
    else
        check(PyDict_SetItem(item.get(), names.value.get(), toDB(prop, value).get()));
    return item;
}

// An expression set as a column's value names columns of the updated row
// only, and computes no aggregate.
void requireRowExpression(const ModelInfo& info, PyObject* column, PyObject* value) {
    if (!PyObject_TypeCheck(value, columnsApi->Expression)) return;
    std::vector<Ref> props;
    bool aggregate = false;
    collectTermColumns(columnsApi, value, props, aggregate);
    if (aggregate)
        raise(PyExc_ValueError, "the value of %U computes an aggregate; a row's value is computed from its own columns",
              columnLabel(column).get());
    for (const Ref& p : props)
        if (!columnOfModel(p.get(), info.model))
            raise(PyExc_ValueError, "the value of %U names %U, a column of another model; a row's value is computed "
                                    "from its own columns",
                  columnLabel(column).get(), columnLabel(p.get()).get());
}

Ref updateBuilder(const ModelInfo& info, Ref setItems, PyObject* where) {
    if (PyList_GET_SIZE(setItems.get()) == 0) raise(PyExc_ValueError, "an update needs at least one column to set");
    Ref b = newBuilder(info, SQL_UPDATE);
    auto* g = asBuilder(b.get());
    assignField(g->updateCol, std::move(setItems));
    assignField(g->whereCol, where);
    return b;
}

// SET items from a dict of column name to value, or from (column, value)
// pairs where a column is a name or a property (properties are unhashable,
// so they cannot be dict keys).
Ref setItemsFrom(const ModelInfo& info, PyObject* values) {
    Ref items = Ref::steal(PyList_New(0));
    // A conversion may change `values`: the pairs are taken first.
    Ref pairs = PyDict_Check(values)
                    ? Ref::steal(PyDict_Items(values))
                    : Ref::steal(PySequence_Fast(values, "values must be a dict or a sequence of (column, value) pairs"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(pairs.get()); ++i) {
        Ref item = fastItem(pairs.get(), i).ref();
        Ref pair = Ref::steal(PySequence_Tuple(item.get()));
        if (PyTuple_GET_SIZE(pair.get()) != 2) raise(PyExc_ValueError, "values must be (column, value) pairs");
        Ref column = columnOf(info, tupleItem(pair.get(), 0).get());
        requireRowExpression(info, column.get(), tupleItem(pair.get(), 1).get());
        check(PyList_Append(items.get(), setItem(column.get(), tupleItem(pair.get(), 1).get()).get()));
    }
    return items;
}

// The columns an update of a row sets (their indexes in the model's column
// list) and the row's values for them: every column but the key, except the
// columns the row left to a database default and still holds None for (the
// row never knew their stored value, which stays as it is).
void setColumnsOfRow(const ModelInfo& info, PyObject* row, std::vector<Py_ssize_t>& columns,
                     std::vector<Ref>& values) {
    for (Py_ssize_t i = 0; i < info.columnCount(); ++i) {
        Ref prop = info.column(i);
        if (prop.get() == info.pkCol.get()) continue;
        Ref name = columnName(prop.get());
        Ref value = dictItem(row, name.get()).ref();
        if (!value) continue;
        if (leftToDatabase(defaultedColumns(row), name.get(), value.get())) continue;
        columns.push_back(i);
        values.push_back(std::move(value));
    }
}

Ref setItemsOf(const ModelInfo& info, const std::vector<Py_ssize_t>& columns, const std::vector<Ref>& values) {
    Ref items = Ref::steal(PyList_New(0));
    for (size_t c = 0; c < columns.size(); ++c)
        check(PyList_Append(items.get(), setItem(info.column(columns[c]).get(), values[c].get()).get()));
    return items;
}


Ref rowKey(const ModelInfo& info, PyObject* row, const char* op) {
    PyObject* pk = info.requireKey(op);
    requireRowOf(info, row, op);
    Ref name = columnName(pk);
    Ref key = dictItem(row, name.get()).ref();
    if (!key || key.get() == Py_None) raise(PyExc_ValueError, "%s() needs a row whose key %R is set", op, name.get());
    return key;
}

Ref deleteBuilder(const ModelInfo& info, PyObject* where) {
    Ref b = newBuilder(info, SQL_DELETE);
    assignField(asBuilder(b.get())->whereCol, where);
    return b;
}

// The where text and arguments of a filter on the model's own columns
// (None: no filter).
Ref whereParts(PyObject* where) { return Ref::steal(generatorApi->sqlGeneratorOps->build_where(where)); }

// ===========================================================================
// Statement runners
// ===========================================================================

struct RunnerObject {
    BaseModelExecutorObject base;
    PyObject* owner;  // the executor whose operation runs the statement
};

const size_t runnerFieldOffsets[] = {offsetof(RunnerObject, base.model), offsetof(RunnerObject, base.sqlBuilder),
                                     offsetof(RunnerObject, base.work), offsetof(RunnerObject, owner)};
const FieldList runnerFields{runnerFieldOffsets, 4};

bool isRunner(PyObject* o) { return Py_TYPE(o) == BlockingRunnerType || Py_TYPE(o) == AsyncRunnerType; }

extern const BaseModelExecutorOps baseOps;

// A runner of `self`'s kind holding one statement's builder.
Ref newRunner(PyObject* self, PyObject* builder, int mode) {
    PyTypeObject* type = isAsyncExecutor(self) ? AsyncRunnerType : BlockingRunnerType;
    Ref runner = Ref::steal(type->tp_alloc(type, 0));
    auto* r = reinterpret_cast<RunnerObject*>(runner.get());
    auto* s = asExecutor(self);
    r->base.ops = &baseOps;
    r->base.model = Py_NewRef(s->model);
    r->base.sqlBuilder = Py_NewRef(builder);
    r->base.work = Py_NewRef(s->work);
    r->base.resultMode = mode;
    r->base.rowCount = -1;
    r->owner = Py_NewRef(self);
    return runner;
}

// Whether a blocking statement may go to the connector's process directly:
// the facade's class keeps the native `execute` (a Python subclass of the
// facade may define its own) and the connector is a blocking one.
OverrideSet<1> facadeOverrides{{"execute"}};

Ref directConnector(PyObject* facade) {
    PyTypeObject* t = Py_TYPE(facade);
    if (!isNativeType(t) && (t->tp_getattro != PyObject_GenericGetAttr || facadeOverrides.overridden(facade, 0)))
        return Ref();
    Ref connector = Borrowed(reinterpret_cast<DBObject*>(facade)->_connector).ref();
    if (connector.get() == Py_None || connector.as<BaseConnectorObject>()->isAsync) return Ref();
    return connector;
}

// Starts the prepared statement of `executor` through the facade: the result
// for a blocking connector, an awaitable of it for an asyncio one.
Ref startExecutor(PyObject* executor) {
    PyObject* facade = activeFacade(dbApi);
    if (!isAsyncExecutor(executor))
        if (Ref connector = directConnector(facade))
            return Ref::steal(connectorApi->process(connector.get(), executor));
    Ref op = getattr(facade, "execute");
    Ref work = Borrowed(asExecutor(executor)->work).ref();
    if (isAsyncExecutor(executor)) {
        if (work.get() != Py_None) {
            Ref kwnames = tupleOf({names.executor.get(), names.con.get()});
            PyObject* argv[] = {executor, work.get()};
            return Ref::steal(PyObject_Vectorcall(op.get(), argv, 0, kwnames.get()));
        }
        Ref kwnames = tupleOf({names.executor.get()});
        PyObject* argv[] = {executor};
        return Ref::steal(PyObject_Vectorcall(op.get(), argv, 0, kwnames.get()));
    }
    return call(op.get(), executor);
}

// Starts `builder` through a new runner; `runner` receives it when asked.
Ref startStatement(PyObject* self, PyObject* builder, int mode, Ref* runner = nullptr) {
    Ref r = newRunner(self, builder, mode);
    Ref started = startExecutor(r.get());
    if (runner) *runner = std::move(r);
    return started;
}

// Starts SQL text (a str) through the facade's executeSql (dict rows when asked).
Ref startSqlText(PyObject* self, PyObject* sqlText, PyObject* args, bool dictRows) {
    static const Leaked executeSql = interned("executeSql");
    Ref op = Ref::steal(PyObject_GetAttr(activeFacade(dbApi), executeSql.get()));
    Ref text = Ref::borrow(sqlText);
    Ref work = Borrowed(asExecutor(self)->work).ref();
    if (work.get() != Py_None) {
        Ref kwnames = tupleOf({names.con.get(), names.dictCur.get(), names.args.get()});
        PyObject* argv[] = {text.get(), work.get(), dictRows ? Py_True : Py_False, args};
        return Ref::steal(PyObject_Vectorcall(op.get(), argv, 1, kwnames.get()));
    }
    Ref kwnames = tupleOf({names.dictCur.get(), names.args.get()});
    PyObject* argv[] = {text.get(), dictRows ? Py_True : Py_False, args};
    return Ref::steal(PyObject_Vectorcall(op.get(), argv, 1, kwnames.get()));
}
Ref startSql(PyObject* self, const std::string& sql, PyObject* args, bool dictRows) {
    return startSqlText(self, str(sql).get(), args, dictRows);
}

// Rows of SQL text as a list (the blocking connector yields dict rows lazily).
Ref asList(Ref rows) {
    if (PyList_CheckExact(rows.get())) return rows;
    return Ref::steal(PySequence_List(rows.get()));
}

// A transaction around several statements of a blocking connector, which
// otherwise commits each statement on its own (and so before rows that an
// INSERT ... RETURNING gives back are read).  It is made with the
// connector's own block methods: inside an open block it is a savepoint.
// Other connectors need none: their statements commit when the task ends.
class BlockingTransaction {
public:
    // `oneStatement`: the block is for a single statement, which on
    // PostgreSQL gives its RETURNING rows before it commits: outside the
    // thread's own block none is needed.  (Inside one it is a savepoint: a
    // failed statement would otherwise end the whole block's transaction.)
    explicit BlockingTransaction(bool oneStatement = false) {
        Ref connector = requireConnector(dbApi);
        if (oneStatement && connector.as<BaseConnectorObject>()->dialect == DIALECT_POSTGRES &&
            PyObject_TypeCheck(connector.get(), connectorApi->PostgresConnector) &&
            !truthy(callMethod(connector.get(), "_blockDepth").get()))
            return;
        if (!PyObject_TypeCheck(connector.get(), connectorApi->Sqlite3Connector) &&
            !PyObject_TypeCheck(connector.get(), connectorApi->PyMysqlConnector) &&
            !PyObject_TypeCheck(connector.get(), connectorApi->PostgresConnector))
            return;
        callMethod(connector.get(), names.beginTransaction.get());
        connector_ = std::move(connector);
    }
    void commit() {
        if (!connector_) return;
        Ref connector = std::move(connector_);
        callMethod(connector.get(), names.endTransaction.get(), Py_True);
    }
    // Left without commit(): an error is on its way out, and that error wins
    // over one of the rollback.
    ~BlockingTransaction() {
        if (!connector_) return;
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject* r = PyObject_CallMethodObjArgs(connector_.get(), names.endTransaction.get(), Py_False, nullptr);
        if (r)
            Py_DECREF(r);
        else
            PyErr_Clear();
        PyErr_Restore(type, value, tb);
    }
    BlockingTransaction(const BlockingTransaction&) = delete;
    BlockingTransaction& operator=(const BlockingTransaction&) = delete;

private:
    Ref connector_;
};

// ===========================================================================
// INSERT ... RETURNING
// ===========================================================================

// Whether the database reports the values it chose for an insert: SQLite
// from 3.35 (the library the sqlite3 module runs on), MariaDB from 10.5 (asked
// once per connector), PostgreSQL always; MySQL has no RETURNING.  -1 while
// unknown.
int sqliteReturning = -1;
Leaked askedConnector;
int askedConnectorReturning = -1;

int returningSupport(int dialect) {
    if (dialect == DIALECT_SQLITE) {
        if (sqliteReturning < 0) {
            Ref version = importFrom("sqlite3", "sqlite_version_info");
            Ref three = integer(3), thirtyFive = integer(35);
            Ref least = tupleOf({three.get(), thirtyFive.get()});
            sqliteReturning = check(PyObject_RichCompareBool(version.get(), least.get(), Py_GE));
        }
        return sqliteReturning;
    }
    if (dialect == DIALECT_POSTGRES) return 1;
    Ref connector = requireConnector(dbApi);
    return askedConnector.get() == connector.get() ? askedConnectorReturning : -1;
}

const char* const kServerVersionQuery = "SELECT VERSION()";

// Remembers what the server's version (rows of kServerVersionQuery) says.
void rememberServer(PyObject* rows) {
    Ref seq = Ref::steal(PySequence_Fast(rows, "rows must be a sequence"));
    bool supported = false;
    if (PySequence_Fast_GET_SIZE(seq.get()) > 0) {
        Ref row = fastItem(seq.get(), 0).ref();
        Ref value = Ref::steal(PySequence_GetItem(row.get(), 0));
        Ref text = Ref::steal(PyObject_Str(value.get()));
        std::string_view v = utf8(text.get());
        int major = 0, minor = 0;
        size_t i = 0;
        for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i) major = major * 10 + (v[i] - '0');
        if (i < v.size() && v[i] == '.')
            for (++i; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i) minor = minor * 10 + (v[i] - '0');
        supported = v.find("MariaDB") != std::string_view::npos && (major > 10 || (major == 10 && minor >= 5));
    }
    askedConnector = requireConnector(dbApi);
    askedConnectorReturning = supported ? 1 : 0;
}

// Stores the values of one reported row (a dict of column name to value).
void storeReportedRow(const ModelInfo& info, PyObject* row, PyObject* reported) {
    if (!PyDict_Check(reported)) raise(PyExc_TypeError, "the inserted row came back as %.200s", typeName(reported));
    Ref items = Ref::steal(PyDict_Items(reported));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Borrowed pair = listItem(items.get(), i);  // held by `items`, which only this loop sees
        Ref key = tupleItem(pair.get(), 0).ref();
        Ref value = tupleItem(pair.get(), 1).ref();
        if (!PyUnicode_Check(key.get())) continue;
        Ref prop = findColumn(columnsApi, info.cols.get(), utf8(key.get())).ref();
        if (!prop) continue;
        Ref converted = toObj(prop.get(), value.get());
        Ref name = columnName(prop.get());  // read after the conversion, which may rename it
        check(PyDict_SetItem(row, name.get(), converted.get()));
    }
}

// Stores the values a RETURNING insert reported into the row.
void storeReturned(const ModelInfo& info, PyObject* row, PyObject* raw) {
    Ref rows = Ref::steal(PySequence_Fast(raw, "rows must be a sequence"));
    if (PySequence_Fast_GET_SIZE(rows.get()) == 0) return;
    Ref first = fastItem(rows.get(), 0).ref();
    storeReportedRow(info, row, first.get());
}

// ===========================================================================
// Result shaping
// ===========================================================================

Ref newInstanceList() {
    return Ref::steal(entityApi->InstanceList->tp_alloc(entityApi->InstanceList, 0));
}

Ref buildRow(PyObject* model, PyObject* values) {
    if (entityApi->buildRow) return Ref::steal(entityApi->buildRow(model, values, 1));
    return call(model, values);
}

// Dict rows of the model's table become an InstanceList of model rows.
Ref rowsOf(PyObject* model, PyObject* dicts) {
    if (entityApi->buildRows) return Ref::steal(entityApi->buildRows(model, dicts, 1));
    Ref seq = Ref::steal(PySequence_Fast(dicts, "rows must be a sequence"));
    Ref out = newInstanceList();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        Ref values = fastItem(seq.get(), i).ref();
        check(PyList_Append(out.get(), buildRow(model, values.get()).get()));
    }
    return out;
}

Ref handleResultNative(PyObject* self, PyObject* raw) {
    auto* ex = asExecutor(self);
    if (ex->resultMode == RESULT_RAW) return Ref::borrow(raw);
    Borrowed builder(ex->sqlBuilder);  // only inspected
    if (builder.get() != Py_None && PyObject_TypeCheck(builder.get(), generatorApi->BaseSqlGenerator) &&
        builder.as<BaseSqlGeneratorObject>()->currentType == SQL_SELECT) {
        Ref model = Borrowed(ex->model).ref();  // building rows runs conversions
        return rowsOf(model.get(), raw);
    }
    return Ref::borrow(raw);
}

Ref firstOf(PyObject* rows) {
    if (PyList_Check(rows) && PyList_GET_SIZE(rows) > 0) return Ref::borrow(PyList_GET_ITEM(rows, 0));
    return Ref::none();
}

// The first value of the first row of a tuple-row result.
Ref scalarOf(PyObject* rows) {
    Ref seq = Ref::steal(PySequence_Fast(rows, "rows must be a sequence"));
    if (PySequence_Fast_GET_SIZE(seq.get()) == 0) return Ref::none();
    Ref row = fastItem(seq.get(), 0).ref();
    return Ref::steal(PySequence_GetItem(row.get(), 0));
}

Ref countOf(PyObject* rows) {
    Ref v = scalarOf(rows);
    if (v.get() == Py_None) return integer(0);
    return Ref::steal(PyNumber_Long(v.get()));
}

Ref existsOf(PyObject* rows) { return boolean(checkSize(PyObject_Length(rows)) > 0); }

// The key of a saved row: the one it carries, else the one the database
// generated (`generated`, stored in the row); a model without a key gives
// `generated` as it is.
Ref savedKey(const ModelInfo& info, PyObject* row, PyObject* generated) {
    if (!info.hasKey()) return Ref::borrow(generated);
    Ref name = columnName(info.pkCol.get());
    Ref current = dictItem(row, name.get()).ref();
    if (current && current.get() != Py_None) return current;
    check(PyDict_SetItem(row, name.get(), generated));
    return Ref::borrow(generated);
}

// ===========================================================================
// Relation loading: one query per relation for all the rows together
// ===========================================================================

// One relation of the model: what to read and where to put it.
struct RelationPlan {
    Ref name;          // entry of the row that receives the relation
    Ref farModel;      // model class of the related rows
    Ref ownerColumn;   // owner-side property whose values select the related rows
    bool many;         // a list (one-to-many, many-to-many) or one row
    std::string sql;   // the query, one placeholder per owner value
    Ref args;          // the owner values (distinct)
    Ref matchKey;      // result column holding the owner value
};

// The references of a plan, for an awaited body that keeps plans.
int traverseValue(const RelationPlan& plan, visitproc visit, void* arg) {
    for (const Ref* r : {&plan.name, &plan.farModel, &plan.ownerColumn, &plan.args, &plan.matchKey})
        Py_VISIT(r->get());
    return 0;
}

std::string qualified(PyObject* prop, int dialect) {
    Ref model = Borrowed(asProperty(prop)->model).ref();
    Ref table = getattr(model.get(), names.tableName.get());
    std::string s;
    appendQualified(s, utf8(table.get()), utf8(Borrowed(asProperty(prop)->name).get()), dialect);
    return s;
}

std::string tableOf(PyObject* model, int dialect) {
    Ref table = getattr(model, names.tableName.get());
    std::string s;
    appendIdentifier(s, utf8(table.get()), dialect);
    return s;
}

// Distinct non-None values of `prop` over the rows, in first-seen order.
// The rows are the caller's list: a value's __hash__ or __eq__ may change it,
// so its size is read again for each row and the row is held.
Ref ownerValues(PyObject* rows, PyObject* prop) {
    Ref seen = Ref::steal(PySet_New(nullptr));
    Ref values = Ref::steal(PyList_New(0));
    Ref name = columnName(prop);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
        Ref row = listItem(rows, i).ref();
        if (!PyDict_Check(row.get())) raiseArgType("rows", "ModelInstance", row.get());
        Ref value = dictItem(row.get(), name.get()).ref();
        if (!value || value.get() == Py_None) continue;
        if (check(PySet_Contains(seen.get(), value.get()))) continue;
        check(PySet_Add(seen.get(), value.get()));
        check(PyList_Append(values.get(), value.get()));
    }
    return values;
}

std::string placeholders(Py_ssize_t n) {
    std::string s;
    s.reserve((size_t)n * 3);
    for (Py_ssize_t i = 0; i < n; ++i) s += i ? ",%s" : "%s";
    return s;
}

std::string columnList(PyObject* model, int dialect) {
    Ref cols = getattr(model, names.col.get());
    Ref table = getattr(model, names.tableName.get());
    if (!PyList_Check(cols.get())) raise(PyExc_TypeError, "model %R has no column list", model);
    std::string s;
    // No Python code runs in this loop.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols.get()); ++i) {
        Borrowed prop = listItem(cols.get(), i);
        if (!isProperty(prop.get()))
            raise(PyExc_TypeError, "the column list of %R holds %.200s, not a property", model, typeName(prop.get()));
        if (i) s += ",";
        appendQualified(s, utf8(table.get()), utf8(Borrowed(asProperty(prop.get())->name).get()), dialect);
    }
    return s;
}

constexpr const char* kMatchColumn = "__quillon_owner_key";

// Plans the loading of relation `fk` of `model` for `rows`; false when its
// declaration lacks what loading needs.
bool planRelation(PyObject* model, PyObject* fk, PyObject* rows, int dialect, RelationPlan& plan) {
    if (!PyDict_Check(fk)) return false;
    Ref oneToOne = foreignTypeMember(names.ONE_TO_ONE.get());
    Ref oneToMany = foreignTypeMember(names.ONE_TO_MANY.get());
    Ref manyToMany = foreignTypeMember(names.MANY_TO_MANY.get());
    Ref type = fkEntry(fk, names.Type.get()).ref();
    Ref name = fkEntry(fk, names.name.get()).ref();
    Ref bindCol = fkEntry(fk, names.bindCol.get()).ref();
    Ref targetBindCol = fkEntry(fk, names.targetBindCol.get()).ref();
    Ref target = fkEntry(fk, names.target.get()).ref();
    if (name.get() == Py_None || !PyObject_TypeCheck(bindCol.get(), columnsApi->BaseProperty) ||
        !PyObject_TypeCheck(targetBindCol.get(), columnsApi->BaseProperty) || target.get() == Py_None)
        return false;
    plan.name = std::move(name);
    plan.ownerColumn = std::move(bindCol);
    plan.args = ownerValues(rows, plan.ownerColumn.get());
    Py_ssize_t n = PyList_GET_SIZE(plan.args.get());
    if (type.get() == manyToMany.get()) {
        // Far rows joined with the middle table: the middle column that
        // refers to the owner selects them and tells whose they are.
        Ref otherFk = callMethod(target.get(), names.getOtherFkBy.get(), model);
        Ref farColumnInMiddle = fkEntry(otherFk.get(), names.bindCol.get()).ref();
        Ref farKey = fkEntry(otherFk.get(), names.targetBindCol.get()).ref();
        plan.farModel = fkEntry(otherFk.get(), names.target.get()).ref();
        if (!PyObject_TypeCheck(farColumnInMiddle.get(), columnsApi->BaseProperty) ||
            !PyObject_TypeCheck(farKey.get(), columnsApi->BaseProperty))
            return false;
        plan.many = true;
        plan.sql = "SELECT " + columnList(plan.farModel.get(), dialect) + "," + qualified(targetBindCol.get(), dialect) +
                   " AS " + kMatchColumn + " FROM " + tableOf(plan.farModel.get(), dialect) + " JOIN " +
                   tableOf(target.get(), dialect) + " ON " + qualified(farColumnInMiddle.get(), dialect) + " = " +
                   qualified(farKey.get(), dialect) + " WHERE " + qualified(targetBindCol.get(), dialect) + " IN (" +
                   placeholders(n) + ");";
        plan.matchKey = str(kMatchColumn);
    } else if (type.get() == oneToOne.get() || type.get() == oneToMany.get()) {
        plan.farModel = Ref::borrow(target.get());
        plan.many = type.get() == oneToMany.get();
        plan.sql = "SELECT " + columnList(target.get(), dialect) + " FROM " + tableOf(target.get(), dialect) +
                   " WHERE " + qualified(targetBindCol.get(), dialect) + " IN (" + placeholders(n) + ");";
        plan.matchKey = columnName(targetBindCol.get());
    } else {
        return false;
    }
    return true;
}

// Puts the fetched related rows into the owner rows; the related rows put
// there are appended to `placed` (each once), the owners of the next level.
void applyRelation(const RelationPlan& plan, PyObject* rows, PyObject* fetched, PyObject* placed) {
    // Group the related rows by the owner value they answer.
    // Building a row and hashing a key run Python code: every row and key is
    // held, and both lists are counted again for each row.
    Ref groups = Ref::steal(PyDict_New());
    Ref seq = Ref::steal(PySequence_Fast(fetched, "rows must be a sequence"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        Ref dict = fastItem(seq.get(), i).ref();
        if (!PyDict_Check(dict.get())) raise(PyExc_TypeError, "related rows must be dicts");
        Ref key = dictItem(dict.get(), plan.matchKey.get()).ref();
        if (!key) continue;
        Ref values = Ref::steal(PyDict_Copy(dict.get()));
        if (plan.matchKey && PyUnicode_CompareWithASCIIString(plan.matchKey.get(), kMatchColumn) == 0)
            check(PyDict_DelItem(values.get(), plan.matchKey.get()));
        Ref row = buildRow(plan.farModel.get(), values.get());
        Ref bucket = dictItem(groups.get(), key.get()).ref();
        if (!bucket) {
            bucket = newInstanceList();
            check(PyDict_SetItem(groups.get(), key.get(), bucket.get()));
        } else if (!plan.many) {
            continue;  // one related row per owner: the first one found
        }
        check(PyList_Append(bucket.get(), row.get()));
        check(PyList_Append(placed, row.get()));
    }
    Ref ownerName = columnName(plan.ownerColumn.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
        Ref row = listItem(rows, i).ref();
        Ref key = dictItem(row.get(), ownerName.get()).ref();
        Ref bucket = key ? dictItem(groups.get(), key.get()).ref() : Ref();
        if (plan.many) {
            Ref list = newInstanceList();
            if (bucket) check(PyList_SetSlice(list.get(), 0, 0, bucket.get()));
            check(PyDict_SetItem(row.get(), plan.name.get(), list.get()));
        } else {
            Ref one = bucket && PyList_GET_SIZE(bucket.get()) ? listItem(bucket.get(), 0).ref() : Ref::none();
            check(PyDict_SetItem(row.get(), plan.name.get(), one.get()));
        }
    }
}

Ref rowsArgument(PyObject* rows) {
    if (PyList_Check(rows)) return Ref::borrow(rows);
    return Ref::steal(PySequence_List(rows));
}

// The model whose rows relation `fk` of `model` gives.
Ref farModelOf(PyObject* model, PyObject* fk) {
    Ref target = fkEntry(fk, names.target.get()).ref();
    Ref manyToMany = foreignTypeMember(names.MANY_TO_MANY.get());
    if (fkEntry(fk, names.Type.get()).get() != manyToMany.get()) return target;
    Ref otherFk = callMethod(target.get(), names.getOtherFkBy.get(), model);
    if (!PyDict_Check(otherFk.get())) return Ref::none();
    return fkEntry(otherFk.get(), names.target.get()).ref();
}

// "Model.relation", for messages.
Ref relationText(PyObject* fk) {
    Ref owner = fkEntry(fk, names.owner.get()).ref();
    Ref name = fkEntry(fk, names.name.get()).ref();
    return Ref::steal(PyUnicode_FromFormat("%s.%S", PyType_Check(owner.get()) ? modelName(owner.get()) : "?",
                                           name.get()));
}

// The relations an operation loads, as a list of (owner model, relation)
// pairs in loading order; null for none.  `loadForeign` is a truth value
// (true: every relation of the model, one level), a relation (a ForeignKey
// attribute such as Member.posts) or a sequence of them, where a relation of
// a related model (Post.comments) follows one that leads to its model.
// Everything is checked before any statement runs.
Ref relationSteps(PyObject* model, PyObject* loadForeign, const char* arg) {
    if (!loadForeign || loadForeign == Py_None) return Ref();
    PyTypeObject* fkType = reinterpret_cast<PyTypeObject*>(columnsApi->ForeignKey);
    if (!fkType) raise(PyExc_ImportError, "the relation type is not available");
    Ref relations;
    if (PyObject_TypeCheck(loadForeign, fkType)) {
        relations = Ref::steal(PyList_New(0));
        check(PyList_Append(relations.get(), loadForeign));
    } else if (PyBool_Check(loadForeign) || PyLong_Check(loadForeign)) {
        if (!truthy(loadForeign)) return Ref();
        Ref fks = getattr(model, names.fk.get());
        Ref steps = Ref::steal(PyList_New(0));
        Ref all = Ref::steal(PySequence_List(fks.get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.get()); ++i) {
            Ref fk = listItem(all.get(), i).ref();
            check(PyList_Append(steps.get(), tupleOf({model, fk.get()}).get()));
        }
        return steps;
    } else if (PyUnicode_Check(loadForeign) || PyBytes_Check(loadForeign) || PyDict_Check(loadForeign)) {
        raise(PyExc_TypeError,
              "%s takes True, a relation (a ForeignKey attribute such as Model.relation) or a sequence of them, "
              "not %.200s",
              arg, typeName(loadForeign));
    } else {
        Ref it = Ref::stealOrNull(PyObject_GetIter(loadForeign));
        if (!it) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throwPending();
            PyErr_Clear();
            return truthy(loadForeign) ? relationSteps(model, Py_True, arg) : Ref();
        }
        relations = Ref::steal(PySequence_List(loadForeign));
    }
    // Each relation belongs to the model or to a model an earlier relation
    // leads to; it loads for the rows of the first such model.
    Ref reached = Ref::steal(PyList_New(0));
    check(PyList_Append(reached.get(), model));
    Ref steps = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(relations.get()); ++i) {
        Ref fk = listItem(relations.get(), i).ref();
        if (!PyObject_TypeCheck(fk.get(), fkType))
            raise(PyExc_TypeError, "%s takes relations (ForeignKey attributes such as Model.relation), not %.200s", arg,
                  typeName(fk.get()));
        Ref owner;
        for (Py_ssize_t m = 0; m < PyList_GET_SIZE(reached.get()) && !owner; ++m) {
            Ref candidate = listItem(reached.get(), m).ref();
            Ref fks = getattr(candidate.get(), names.fk.get());
            Ref declared = Ref::steal(PySequence_List(fks.get()));
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(declared.get()); ++k)
                if (listItem(declared.get(), k).get() == fk.get()) {
                    owner = std::move(candidate);
                    break;
                }
        }
        if (!owner)
            raise(PyExc_ValueError,
                  "%s: the relation %S is not one of %s, nor of a model that a relation listed before it leads to; "
                  "list the relation that loads its model first",
                  arg, relationText(fk.get()).get(), modelName(model));
        bool repeated = false;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(steps.get()); ++k) {
            Borrowed step = listItem(steps.get(), k);
            if (tupleItem(step.get(), 1).get() == fk.get() && tupleItem(step.get(), 0).get() == owner.get())
                repeated = true;
        }
        if (repeated) continue;
        check(PyList_Append(steps.get(), tupleOf({owner.get(), fk.get()}).get()));
        Ref far = farModelOf(owner.get(), fk.get());
        if (far.get() != Py_None && !check(PySequence_Contains(reached.get(), far.get())))
            check(PyList_Append(reached.get(), far.get()));
    }
    return steps;
}

// ===========================================================================
// Statements across relations
//
// A filter, and a column of values(), may name columns of the models that
// the executor's model reaches through its declared relations (one-to-one,
// one-to-many, many-to-many through the middle table).  The statement joins
// them with LEFT JOINs along the relation that `join=` names, or along the
// only relation that reaches the model; a model reached by two relations
// needs `join=`.  LEFT joins keep the rows without related rows, which a
// filter OR-ed with the model's own columns still matches.  The rows of the
// executor's model count once however many related rows match: they are
// selected by their keys (`key IN (SELECT key FROM ... LEFT JOIN ...)`),
// counted as distinct keys, and updated or deleted through a derived table
// of the keys (MySQL refuses a subquery on the table that a statement
// changes unless it is materialized; DISTINCT makes sure it is).  A model
// without a key has its rows told apart by their values (SELECT DISTINCT).
// ===========================================================================

// One relation followed by a statement: from `owner` (through its column
// `ownerColumn`) to `target`; a many-to-many relation goes on from its middle
// model (`target`) to `far`.
struct RelationStep {
    Ref label;         // "Model.relation", for messages
    Ref ownerColumn;   // a column of the model the relation leaves from
    Ref target;        // the model joined first
    Ref targetColumn;  // its column matching ownerColumn
    Ref middleColumn;  // many-to-many: the middle column holding the far key
    Ref far;           // many-to-many: the model on the other side, else null
    Ref farColumn;     // many-to-many: its key
};

// The step of a relation, or nothing for a relation that leads nowhere a
// statement can follow (its columns or models are missing).
std::optional<RelationStep> relationStep(PyObject* fk, Ref label) {
    RelationStep step;
    step.label = std::move(label);
    step.ownerColumn = fkEntry(fk, names.bindCol.get()).ref();
    step.target = fkEntry(fk, names.target.get()).ref();
    step.targetColumn = fkEntry(fk, names.targetBindCol.get()).ref();
    if (!isProperty(step.ownerColumn.get()) || !isProperty(step.targetColumn.get()) || !PyType_Check(step.target.get()))
        return std::nullopt;
    Ref manyToMany = foreignTypeMember(names.MANY_TO_MANY.get());
    if (fkEntry(fk, names.Type.get()).get() != manyToMany.get()) return step;
    Ref owner = Borrowed(asProperty(step.ownerColumn.get())->model).ref();
    Ref other = callMethod(step.target.get(), names.getOtherFkBy.get(), owner.get());
    if (!PyDict_Check(other.get())) return std::nullopt;
    step.middleColumn = fkEntry(other.get(), names.bindCol.get()).ref();
    step.far = fkEntry(other.get(), names.target.get()).ref();
    step.farColumn = fkEntry(other.get(), names.targetBindCol.get()).ref();
    if (!isProperty(step.middleColumn.get()) || !isProperty(step.farColumn.get()) || !PyType_Check(step.far.get()))
        return std::nullopt;
    return step;
}

// Whether a step reaches the model that `prop` is a column of.
bool stepReaches(const RelationStep& step, PyObject* prop) {
    return columnOfModel(prop, step.target.get()) || (step.far && columnOfModel(prop, step.far.get()));
}

// The relations the model's rows leave from: the ForeignKey attributes of
// its classes (declared ones, and those a relation of another model gave it
// back) whose own column belongs to the model.
std::vector<RelationStep> relationsOf(PyObject* model) {
    std::vector<RelationStep> out;
    if (!PyType_Check(model)) return out;
    Ref mro = Ref::borrow(reinterpret_cast<PyTypeObject*>(model)->tp_mro);
    Ref seen = Ref::steal(PySet_New(nullptr));
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro.get()); ++i) {
        Ref cls = tupleItem(mro.get(), i).ref();
        Ref namespace_ = getattr(cls.get(), names.dunderDict.get());
        Ref items = Ref::steal(PyMapping_Items(namespace_.get()));
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(items.get()); ++j) {
            Ref pair = listItem(items.get(), j).ref();
            Ref value = tupleItem(pair.get(), 1).ref();
            if (!PyObject_TypeCheck(value.get(), reinterpret_cast<PyTypeObject*>(columnsApi->ForeignKey))) continue;
            Ref id = Ref::steal(PyLong_FromVoidPtr(value.get()));
            if (check(PySet_Contains(seen.get(), id.get()))) continue;
            check(PySet_Add(seen.get(), id.get()));
            Ref label = Ref::steal(PyUnicode_FromFormat("%s.%S", modelName(model), tupleItem(pair.get(), 0).get()));
            std::optional<RelationStep> step;
            try {
                step = relationStep(value.get(), std::move(label));
            } catch (PyError& e) {
                // A relation that cannot be followed is not one a filter uses.
                if (!e.isException()) throw;
            }
            if (step && columnOfModel(step->ownerColumn.get(), model)) out.push_back(std::move(*step));
        }
    }
    return out;
}

// The models a statement joins and the text of its joins.
struct JoinPlan {
    std::string text;         // " LEFT JOIN ... ON ...", in order
    std::vector<Ref> models;  // the joined models (not the executor's)
    std::vector<std::string> tables;
    bool any() const { return !models.empty(); }
};

// The table of a joined model that the column `prop` belongs to, or null.
PyObject* joinedModelOf(const ModelInfo& info, const JoinPlan& plan, PyObject* prop) {
    if (columnOfModel(prop, info.model)) return info.model;
    for (const Ref& m : plan.models)
        if (columnOfModel(prop, m.get())) return m.get();
    return nullptr;
}

void addJoin(JoinPlan& plan, PyObject* model, const std::string& onLeft, PyObject* leftColumn, PyObject* rightColumn,
             const RelationStep& step, int dialect) {
    std::string table = tableOf(model, dialect);
    for (const std::string& t : plan.tables)
        if (t == table)
            raise(PyExc_ValueError,
                  "%U leads to %s, which the statement joins already (a statement joins each model once)",
                  step.label.get(), modelName(model));
    plan.tables.push_back(table);
    plan.models.push_back(Ref::borrow(model));
    plan.text += " LEFT JOIN " + table + " ON " + onLeft + ".";
    appendIdentifier(plan.text, utf8(columnName(leftColumn).get()), dialect);
    plan.text += " = " + table + ".";
    appendIdentifier(plan.text, utf8(columnName(rightColumn).get()), dialect);
}

// Adds the joins of `step`, leaving from the joined model `from`.
void addStep(JoinPlan& plan, const RelationStep& step, PyObject* from, int dialect) {
    addJoin(plan, step.target.get(), tableOf(from, dialect), step.ownerColumn.get(), step.targetColumn.get(), step,
            dialect);
    if (step.far)
        addJoin(plan, step.far.get(), tableOf(step.target.get(), dialect), step.middleColumn.get(), step.farColumn.get(),
                step, dialect);
}

// The relations of `join=`: one ForeignKey or a sequence of them, each
// leaving from the executor's model or from a model joined before it.
void planGivenJoins(const ModelInfo& info, PyObject* join, JoinPlan& plan, int dialect) {
    PyTypeObject* keyType = reinterpret_cast<PyTypeObject*>(columnsApi->ForeignKey);
    Ref items = PyObject_TypeCheck(join, keyType) ? tupleOf({join})
                                                  : stableItems(join, "join= takes a relation or a sequence of them");
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        Ref fk = fastItem(items.get(), i).ref();
        if (!PyObject_TypeCheck(fk.get(), keyType))
            raise(PyExc_TypeError, "join= takes relations (ForeignKey attributes of the models), not %.100s",
                  typeName(fk.get()));
        Ref name = fkEntry(fk.get(), names.name.get()).ref();
        Ref ownerColumn = fkEntry(fk.get(), names.bindCol.get()).ref();
        PyObject* owner = isProperty(ownerColumn.get()) ? asProperty(ownerColumn.get())->model : Py_None;
        Ref label = PyUnicode_Check(name.get())
                        ? Ref::steal(PyUnicode_FromFormat("%s.%U", modelName(owner), name.get()))
                        : Ref::steal(PyUnicode_FromFormat("a relation of %s", modelName(owner)));
        std::optional<RelationStep> step = relationStep(fk.get(), std::move(label));
        if (!step) raise(PyExc_ValueError, "join=: %R is not a relation a statement can follow", fk.get());
        PyObject* from = joinedModelOf(info, plan, step->ownerColumn.get());
        if (!from)
            raise(PyExc_ValueError, "join=: %U leaves from %s, which is neither %s nor a model joined before it",
                  step->label.get(), modelName(asProperty(step->ownerColumn.get())->model), modelName(info.model));
        addStep(plan, *step, from, dialect);
    }
}

// The joins a statement of the model needs for the columns `elsewhere` (of
// other models): the relations given by `join` (None: the one relation of
// the model that reaches each of them).
JoinPlan planJoins(const ModelInfo& info, PyObject* join, const std::vector<Ref>& elsewhere, int dialect) {
    JoinPlan plan;
    plan.tables.push_back(tableOf(info.model, dialect));
    if (join != Py_None) {
        planGivenJoins(info, join, plan, dialect);
        for (const Ref& prop : elsewhere)
            if (!joinedModelOf(info, plan, prop.get()))
                raise(PyExc_ValueError, "%U is a column of %s, which the relations of join= do not reach from %s",
                      columnLabel(prop.get()).get(), modelName(asProperty(prop.get())->model), modelName(info.model));
        return plan;
    }
    if (elsewhere.empty()) return plan;
    std::vector<RelationStep> relations = relationsOf(info.model);
    std::vector<bool> taken(relations.size(), false);
    for (const Ref& prop : elsewhere) {
        if (joinedModelOf(info, plan, prop.get())) continue;
        std::vector<size_t> reaching;
        for (size_t i = 0; i < relations.size(); ++i) {
            const RelationStep& r = relations[i];
            // A relation of the model to itself would join its own table.
            bool toItself = r.target.get() == info.model || (r.far && r.far.get() == info.model);
            if (!toItself && stepReaches(r, prop.get())) reaching.push_back(i);
        }
        Ref owner = Borrowed(asProperty(prop.get())->model).ref();
        Ref label = columnLabel(prop.get());
        if (reaching.empty())
            raise(PyExc_ValueError,
                  "%U is a column of %s, which no relation of %s reaches; filter on columns of %s or of the models "
                  "its relations lead to",
                  label.get(), modelName(owner.get()), modelName(info.model), modelName(info.model));
        if (reaching.size() > 1)
            raise(PyExc_ValueError,
                  "%s is reached from %s through several relations (%U, %U): name the one to follow with join=, "
                  "for example join=(%U,)",
                  modelName(owner.get()), modelName(info.model), relations[reaching[0]].label.get(),
                  relations[reaching[1]].label.get(), relations[reaching[0]].label.get());
        if (!taken[reaching[0]]) {
            taken[reaching[0]] = true;
            addStep(plan, relations[reaching[0]], info.model, dialect);
        }
    }
    return plan;
}

// The qualified key column of the model.
std::string keyColumnText(const ModelInfo& info, int dialect) {
    std::string s;
    appendQualified(s, utf8(info.table.get()), utf8(columnName(info.pkCol.get()).get()), dialect);
    return s;
}

// Appends the text of a filter after `keyword`, its values to `args`.
void appendFilter(std::string& sql, PyObject* where, PyObject* args, const char* keyword) {
    if (where == Py_None) return;
    Ref text = Ref::steal(generatorApi->renderFilter(where, args, keyword));
    sql += utf8(text.get());
}

// " FROM <table> WHERE <key> IN (SELECT <key> FROM <table> <joins> WHERE
// <filter>)": the model's rows that match, each once.
void appendMatchedRows(std::string& sql, const ModelInfo& info, const JoinPlan& plan, PyObject* where, PyObject* args,
                       int dialect) {
    std::string table = tableOf(info.model, dialect);
    std::string key = keyColumnText(info, dialect);
    sql += " FROM " + table + " WHERE " + key + " IN (SELECT " + key + " FROM " + table + plan.text;
    appendFilter(sql, where, args, " WHERE ");
    sql += ")";
}

// " WHERE <key> IN (SELECT quillon_key FROM (SELECT DISTINCT <key> AS
// quillon_key FROM ...) AS quillon_keys)": the keys of the rows that an
// update or a delete changes.
void appendChangedKeys(std::string& sql, const ModelInfo& info, const JoinPlan& plan, PyObject* where, PyObject* args,
                       const char* op, int dialect) {
    if (!info.hasKey())
        raise(PyExc_TypeError, "%s() across relations needs the primary key of %s to tell its rows apart", op,
              modelName(info.model));
    std::string key = keyColumnText(info, dialect);
    sql += " WHERE " + key + " IN (SELECT quillon_key FROM (SELECT DISTINCT " + key + " AS quillon_key FROM " +
           tableOf(info.model, dialect) + plan.text;
    appendFilter(sql, where, args, " WHERE ");
    sql += ") AS quillon_keys)";
}

Ref argumentTuple(PyObject* args) { return Ref::steal(PyList_AsTuple(args)); }

// find / first across relations: the model's rows, each once.
Ref selectAcross(const ModelInfo& info, const JoinPlan& plan, PyObject* where, PyObject* orderBy, PyObject* limit,
                 PyObject* offset, bool forUpdate = false) {
    int dialect = activeDialect(dbApi);
    Ref order = orderTuple(info, orderBy, dialect);
    Ref clause = limitText(limit, offset, dialect);
    Ref args = Ref::steal(PyList_New(0));
    std::string sql = info.hasKey() ? "SELECT " : "SELECT DISTINCT ";
    sql += columnList(info.model, dialect);
    if (info.hasKey()) {
        appendMatchedRows(sql, info, plan, where, args.get(), dialect);
    } else {
        sql += " FROM " + tableOf(info.model, dialect) + plan.text;
        appendFilter(sql, where, args.get(), " WHERE ");
    }
    if (order.get() != Py_None && PyTuple_GET_SIZE(order.get())) {
        sql += " order by ";
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(order.get()); ++i) {
            if (i) sql += ", ";
            sql += utf8(PyTuple_GET_ITEM(order.get(), i));
        }
    }
    sql += utf8(clause.get());
    if (forUpdate) sql += " FOR UPDATE";
    sql += ";";
    return newStatement(sql, argumentTuple(args.get()), SQL_SELECT);
}

// The SET list of an update: each column's value a placeholder, or the SQL
// of an expression of the row's own columns.
void appendSetItems(std::string& sql, PyObject* items, PyObject* args, int dialect) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
        Ref item = listItem(items, i).ref();
        Ref name = dictItem(item.get(), names.name.get()).ref();
        Ref value = dictItem(item.get(), names.value.get()).ref();
        if (i) sql += ",";
        appendIdentifier(sql, utf8(name.get()), dialect);
        sql += " = ";
        if (PyObject_TypeCheck(value.get(), columnsApi->Expression)) {
            Ref text = Ref::steal(generatorApi->renderTerm(value.get(), args, 0));
            sql += utf8(text.get());
        } else {
            sql += "%s";
            check(PyList_Append(args, value.get()));
        }
    }
}

// ===========================================================================
// values(): chosen columns, aggregates and groups
// ===========================================================================

// How a values() column reads back: converted by a property (a column, the
// Min/Max/Sum of a number column), as an int (Count), a float (Avg), or a
// plain number (arithmetic, Sum of anything else).
enum ValueForm : int { FORM_COLUMN = 0, FORM_COUNT = 1, FORM_AVG = 2, FORM_NUMBER = 3 };

// (form, property or None) of one values() column.
Ref valueForm(PyObject* term) {
    auto pair = [](int form, PyObject* prop) { return tupleOf({integer(form).get(), prop}); };
    if (isProperty(term)) return pair(FORM_COLUMN, term);
    if (!PyObject_TypeCheck(term, columnsApi->Expression)) return pair(FORM_NUMBER, Py_None);
    auto* e = reinterpret_cast<ExpressionObject*>(term);
    Ref left = Ref::borrow(e->left);
    bool ofColumn = isProperty(left.get());
    switch (e->kind) {
        case EXPR_COUNT: return pair(FORM_COUNT, Py_None);
        case EXPR_AVG: return pair(FORM_AVG, Py_None);
        case EXPR_MIN:
        case EXPR_MAX: return ofColumn ? pair(FORM_COLUMN, left.get()) : pair(FORM_NUMBER, Py_None);
        case EXPR_SUM: {
            // The sum of an integer or a float column reads as one.
            PyObject* valueType = ofColumn ? asProperty(left.get())->_Type : nullptr;
            bool number = valueType == (PyObject*)&PyLong_Type || valueType == (PyObject*)&PyFloat_Type;
            return number ? pair(FORM_COLUMN, left.get()) : pair(FORM_NUMBER, Py_None);
        }
        default: return pair(FORM_NUMBER, Py_None);
    }
}

// A number the driver gives (MySQL gives Decimals for sums and averages) as
// Python's own: an int when it is whole, else a float.
Ref plainNumber(PyObject* v) {
    if (PyLong_Check(v) || PyFloat_Check(v) || !PyNumber_Check(v)) return Ref::borrow(v);
    Ref whole = Ref::stealOrNull(PyNumber_Long(v));
    if (whole && check(PyObject_RichCompareBool(whole.get(), v, Py_EQ))) return whole;
    if (!whole) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throwPending();
        PyErr_Clear();
    }
    return Ref::steal(PyNumber_Float(v));
}

Ref readValue(PyObject* form, PyObject* v) {
    if (v == Py_None) return Ref::none();
    long kind = PyLong_AsLong(PyTuple_GET_ITEM(form, 0));
    switch (kind) {
        case FORM_COLUMN: {
            Ref prop = Ref::borrow(PyTuple_GET_ITEM(form, 1));
            return toObj(prop.get(), v);
        }
        case FORM_COUNT: return PyLong_CheckExact(v) ? Ref::borrow(v) : Ref::steal(PyNumber_Long(v));
        case FORM_AVG: return PyFloat_CheckExact(v) ? Ref::borrow(v) : Ref::steal(PyNumber_Float(v));
        default: return plainNumber(v);
    }
}

// state: the forms of the columns; raw: tuple rows.  A list of tuples.
Ref finishValues(PyObject*, PyObject* forms, PyObject* raw) {
    Ref rows = stableItems(raw, "rows must be a sequence");
    Py_ssize_t n = PySequence_Fast_GET_SIZE(rows.get());
    Py_ssize_t width = PyTuple_GET_SIZE(forms);
    Ref out = Ref::steal(PyList_New(n));
    for (Py_ssize_t r = 0; r < n; ++r) {
        Ref row = Ref::steal(PySequence_Tuple(fastItem(rows.get(), r).get()));
        if (PyTuple_GET_SIZE(row.get()) != width)
            raise(PyExc_RuntimeError, "a values() row came back with %zd columns, not %zd", PyTuple_GET_SIZE(row.get()),
                  width);
        Ref shaped = Ref::steal(PyTuple_New(width));
        // `row` and `forms` are tuples this function holds: their items stay.
        for (Py_ssize_t c = 0; c < width; ++c)
            PyTuple_SET_ITEM(shaped.get(), c,
                             readValue(PyTuple_GET_ITEM(forms, c), tupleItem(row.get(), c).get()).release());
        PyList_SET_ITEM(out.get(), r, shaped.release());
    }
    return out;
}

// state: the form of the one column; the value of the first row, or None.
Ref finishScalar(PyObject*, PyObject* forms, PyObject* raw) {
    Ref v = scalarOf(raw);
    return readValue(PyTuple_GET_ITEM(forms, 0), v.get());
}

// Terms given as one term or a sequence of them, as a tuple.
Ref termTuple(PyObject* terms, bool orderTerms) {
    if (terms == Py_None) return Ref::steal(PyTuple_New(0));
    bool single = orderTerms ? isSingleOrderTerm(terms)
                             : isProperty(terms) || PyObject_TypeCheck(terms, columnsApi->Expression);
    if (single) return tupleOf({terms});
    if (PyUnicode_Check(terms)) raiseArgType("groupBy", "property, expression or a sequence of them", terms);
    return Ref::steal(PySequence_Tuple(terms));
}

// The term an order term orders by (a property, an expression or text).
Ref orderedTerm(PyObject* term) {
    if (PyObject_TypeCheck(term, columnsApi->OrderTerm))
        return Ref::borrow(reinterpret_cast<OrderTermObject*>(term)->term);
    return Ref::borrow(term);
}

// A values() query, prepared.
struct ValuesQuery {
    std::string sql;
    Ref args;   // tuple
    Ref forms;  // tuple of (form, property)
};

ValuesQuery prepareValues(const ModelInfo& info, PyObject* columns, PyObject* where, PyObject* groupBy,
                          PyObject* having, PyObject* orderBy, PyObject* limit, PyObject* offset, bool distinct,
                          PyObject* join) {
    int dialect = activeDialect(dbApi);
    Ref groups = termTuple(groupBy, false);
    Ref order = termTuple(orderBy, true);
    if (having != Py_None && !PyObject_TypeCheck(having, columnsApi->FilterListCell))
        raiseArgType("having", "FilterListCell or None", having);
    // The columns the statement reads, shows and groups by: the model's own
    // and those of related models (joined into the statement's rows).
    std::vector<Ref> shown;
    bool aggregate = false;
    Py_ssize_t width = PyTuple_GET_SIZE(columns);
    Ref forms = Ref::steal(PyTuple_New(width));
    for (Py_ssize_t i = 0; i < width; ++i) {
        Ref term = tupleItem(columns, i).ref();
        if (!isProperty(term.get()) && !PyObject_TypeCheck(term.get(), columnsApi->Expression))
            raise(PyExc_TypeError, "values() takes properties and expressions (Count(), Sum(col), ...), not %.100s",
                  typeName(term.get()));
        collectTermColumns(columnsApi, term.get(), shown, aggregate);
        PyTuple_SET_ITEM(forms.get(), i, valueForm(term.get()).release());
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(groups.get()); ++i) {
        Ref term = tupleItem(groups.get(), i).ref();
        if (!isProperty(term.get()) && !PyObject_TypeCheck(term.get(), columnsApi->Expression))
            raiseArgType("groupBy", "property, expression or a sequence of them", term.get());
        collectTermColumns(columnsApi, term.get(), shown, aggregate);
    }
    collectFilterColumns(columnsApi, having, shown, aggregate);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(order.get()); ++i) {
        Ref term = orderedTerm(tupleItem(order.get(), i).get());
        collectTermColumns(columnsApi, term.get(), shown, aggregate);
    }
    std::vector<Ref> shownElsewhere;
    for (Ref& p : shown)
        if (!columnOfModel(p.get(), info.model)) shownElsewhere.push_back(std::move(p));
    std::vector<Ref> filtered = filterColumnsElsewhere(info, where);

    // Related columns shown join their rows into the statement's; a filter
    // across relations alone selects the model's rows, each once.
    bool joined = !shownElsewhere.empty() || (!filtered.empty() && !info.hasKey());
    std::vector<Ref> elsewhere = std::move(shownElsewhere);
    for (Ref& p : filtered) elsewhere.push_back(std::move(p));
    JoinPlan plan = planJoins(info, join, elsewhere, dialect);

    Ref args = Ref::steal(PyList_New(0));
    std::string sql = distinct ? "SELECT DISTINCT " : "SELECT ";
    for (Py_ssize_t i = 0; i < width; ++i) {
        if (i) sql += ",";
        Ref text = Ref::steal(generatorApi->renderTerm(tupleItem(columns, i).get(), args.get(), 1));
        sql += utf8(text.get());
    }
    if (plan.any() && !joined) {
        appendMatchedRows(sql, info, plan, where, args.get(), dialect);
    } else {
        sql += " FROM " + tableOf(info.model, dialect);
        if (plan.any()) sql += plan.text;
        appendFilter(sql, where, args.get(), " WHERE ");
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(groups.get()); ++i) {
        sql += i ? ", " : " GROUP BY ";
        Ref text = Ref::steal(generatorApi->renderTerm(tupleItem(groups.get(), i).get(), args.get(), 1));
        sql += utf8(text.get());
    }
    appendFilter(sql, having, args.get(), " HAVING ");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(order.get()); ++i) {
        sql += i ? ", " : " order by ";
        Ref item = tupleItem(order.get(), i).ref();
        if (PyUnicode_Check(item.get())) {
            sql += orderTermText(columnsApi, generatorApi, info.model, info.table.get(), info.cols.get(), item.get(),
                                 dialect);
            continue;
        }
        Ref term = orderedTerm(item.get());
        if (!isProperty(term.get()) && !PyObject_TypeCheck(term.get(), columnsApi->Expression))
            raiseArgType("orderBy", "property, expression, order term or str", term.get());
        Ref text = Ref::steal(generatorApi->renderTerm(term.get(), args.get(), 1));
        sql += utf8(text.get());
        bool descending = PyObject_TypeCheck(item.get(), columnsApi->OrderTerm) &&
                          reinterpret_cast<OrderTermObject*>(item.get())->descending;
        sql += descending ? " DESC" : " ASC";
    }
    sql += utf8(limitText(limit, offset, activeDialect(dbApi)).get());
    sql += ";";
    return {std::move(sql), argumentTuple(args.get()), std::move(forms)};
}

// ===========================================================================
// Operations.  Each has a blocking body and an awaited body built from the
// same preparation and finishing steps.
// ===========================================================================

Borrowed modelOf(PyObject* self) { return Borrowed(asExecutor(self)->model); }

// The rows reached so far by model: the operation's rows under their model,
// the related rows of each loaded relation under theirs.  Lists of its own,
// so the caller's list is never extended.
Ref reachedRows(PyObject* model, PyObject* rows) {
    Ref reached = Ref::steal(PyDict_New());
    Ref own = Ref::steal(PySequence_List(rows));
    check(PyDict_SetItem(reached.get(), model, own.get()));
    return reached;
}

// The owner rows of a step and its plan; false when there is nothing to load.
bool planStep(PyObject* reached, PyObject* step, RelationPlan& plan, Ref& ownerRows) {
    Ref owner = tupleItem(step, 0).ref();
    Ref fk = tupleItem(step, 1).ref();
    ownerRows = dictItem(reached, owner.get()).ref();
    if (!ownerRows || PyList_GET_SIZE(ownerRows.get()) == 0) return false;
    return planRelation(owner.get(), fk.get(), ownerRows.get(), activeDialect(dbApi), plan);
}

// Applies a fetched relation and records the related rows it placed.
void finishStep(PyObject* reached, const RelationPlan& plan, PyObject* ownerRows, PyObject* fetched) {
    Ref placed = Ref::steal(PyList_New(0));
    applyRelation(plan, ownerRows, fetched, placed.get());
    Ref list = dictItem(reached, plan.farModel.get()).ref();
    if (!list) {
        check(PyDict_SetItem(reached, plan.farModel.get(), placed.get()));
        return;
    }
    Py_ssize_t end = PyList_GET_SIZE(list.get());
    check(PyList_SetSlice(list.get(), end, end, placed.get()));
}

// Blocking relation loading.
void loadRelationsBlocking(PyObject* self, PyObject* rows, PyObject* steps) {
    Ref model = modelOf(self).ref();
    Ref reached = reachedRows(model.get(), rows);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(steps); ++i) {
        Ref step = listItem(steps, i).ref();
        RelationPlan plan;
        Ref ownerRows;
        if (!planStep(reached.get(), step.get(), plan, ownerRows)) continue;
        Ref fetched;
        if (PyList_GET_SIZE(plan.args.get()) == 0) {
            fetched = Ref::steal(PyList_New(0));
        } else {
            Ref args = Ref::steal(PyList_AsTuple(plan.args.get()));
            fetched = asList(startSql(self, plan.sql, args.get(), true));
        }
        finishStep(reached.get(), plan, ownerRows.get(), fetched.get());
    }
}

Coro loadRelationsAsync(Ref self, Ref rows, Ref steps, Ref passThrough) {
    Local reached = reachedRows(modelOf(self.get()).ref().get(), rows.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(steps.get()); ++i) {
        LocalValue<RelationPlan> plan(RelationPlan{});
        Local ownerRows;
        {
            Ref step = listItem(steps.get(), i).ref();
            Ref held;
            if (!planStep(reached.get(), step.get(), *plan, held)) continue;
            ownerRows = std::move(held);
        }
        Local fetched;
        if (PyList_GET_SIZE(plan->args.get()) == 0) {
            fetched = Ref::steal(PyList_New(0));
        } else {
            Ref started;
            {
                Ref args = Ref::steal(PyList_AsTuple(plan->args.get()));
                started = startSql(self.get(), plan->sql, args.get(), true);
            }
            fetched = co_await awaitPy(std::move(started));
            fetched = asList(fetched.take());
        }
        finishStep(reached.get(), *plan, ownerRows.get(), fetched.get());
    }
    co_return passThrough ? std::move(passThrough) : Ref::none();
}

// A finishing step applied to the raw result of the started statement.
using Finish = Ref (*)(PyObject* self, PyObject* state, PyObject* raw);

Ref finishIdentity(PyObject*, PyObject*, PyObject* raw) { return Ref::borrow(raw); }
Ref finishFirst(PyObject*, PyObject*, PyObject* raw) { return firstOf(raw); }
Ref finishCount(PyObject*, PyObject*, PyObject* raw) { return countOf(raw); }
Ref finishExists(PyObject*, PyObject*, PyObject* raw) { return existsOf(raw); }
// state: the saved row; raw: the driver's last row id.
Ref finishSave(PyObject* self, PyObject* row, PyObject* raw) {
    ModelInfo info(modelOf(self));
    return savedKey(info, row, raw);
}
// state: the saved row; raw: the rows an INSERT ... RETURNING gave back.
Ref finishSaveReturning(PyObject* self, PyObject* row, PyObject* raw) {
    ModelInfo info(modelOf(self));
    storeReturned(info, row, raw);
    return savedKey(info, row, Py_None);
}
Ref finishLength(PyObject*, PyObject* rows, PyObject*) { return integer(PyList_GET_SIZE(rows)); }
// The number of rows the statement changed, which the connector recorded on
// the runner that ran it.
Ref finishRowCount(PyObject*, PyObject* runner, PyObject*) { return integer(asExecutor(runner)->rowCount); }

// Awaits a started statement, finishes the result and loads the relations
// of `steps` (null: none) for the rows it gives.
Coro awaitAndFinish(Ref self, Ref started, Ref state, Finish finish, Ref steps) {
    Local result;
    {
        Ref raw = co_await awaitPy(std::move(started));
        result = finish(self.get(), state.get(), raw.get());
    }
    if (steps) {
        Ref rows = PyList_Check(result.get()) ? Ref::borrow(result.get()) : newInstanceList();
        if (!PyList_Check(result.get()) && result.get() != Py_None) check(PyList_Append(rows.get(), result.get()));
        if (PyList_GET_SIZE(rows.get())) {
            Ref loading = toPython(loadRelationsAsync(Ref::borrow(self.get()), std::move(rows), std::move(steps), Ref()),
                                   "AsyncModelExecutor.findListForeignKey");
            co_await awaitPy(std::move(loading));
        }
    }
    co_return result.take();
}

// Runs a started statement to its result: finished directly when blocking,
// as a native coroutine when the executor is awaited.  `steps` (null: none)
// are the relations to load for the rows of the result.
Ref complete(PyObject* self, Ref started, PyObject* state, Finish finish, Ref steps, const char* qualname) {
    if (isAsyncExecutor(self))
        return toPython(awaitAndFinish(Ref::borrow(self), std::move(started), Ref::borrow(state), finish, std::move(steps)),
                        qualname);
    Ref result = finish(self, state, started.get());
    if (steps && result.get() != Py_None) {
        Ref rows = PyList_Check(result.get()) ? Ref::borrow(result.get()) : newInstanceList();
        if (!PyList_Check(result.get())) check(PyList_Append(rows.get(), result.get()));
        if (PyList_GET_SIZE(rows.get())) loadRelationsBlocking(self, rows.get(), steps.get());
    }
    return result;
}

// Runs a statement through a runner and finishes with the count of rows it
// changed.
Ref completeRowCount(PyObject* self, PyObject* builder, const char* qualname) {
    Ref runner;
    Ref started = startStatement(self, builder, RESULT_RAW, &runner);
    return complete(self, std::move(started), runner.get(), finishRowCount, Ref(), qualname);
}

// An awaitable that yields `value` at once (async operations with nothing to run).
Coro ready(Ref value) { co_return std::move(value); }
Ref immediate(PyObject* self, Ref value, const char* qualname) {
    if (isAsyncExecutor(self)) return toPython(ready(std::move(value)), qualname);
    return value;
}

const Signature<7> findSignature{"find", {"where", "orderBy", "limit", "offset", "loadForeign", "forUpdate", "join"}, 0};
const Signature<5> firstSignature{"first", {"where", "orderBy", "loadForeign", "forUpdate", "join"}, 0};
const Signature<3> getSignature{"get", {"key", "loadForeign", "forUpdate"}, 1};
const Signature<2> whereSignature{"count", {"where", "join"}, 0};
const Signature<2> existsSignature{"exists", {"where", "join"}, 0};
const Signature<8> valuesSignature{
    "values", {"where", "groupBy", "having", "orderBy", "limit", "offset", "distinct", "join"}, 0};
const Signature<3> sumSignature{"sum", {"col", "where", "join"}, 1};
const Signature<3> avgSignature{"avg", {"col", "where", "join"}, 1};
const Signature<3> minSignature{"min", {"col", "where", "join"}, 1};
const Signature<3> maxSignature{"max", {"col", "where", "join"}, 1};
const Signature<1> rowSignature{"save", {"row"}, 1};
const Signature<1> rowsSignature{"insertMany", {"rows"}, 1};
const Signature<1> updateSignature{"update", {"row"}, 1};
const Signature<3> updateWhereSignature{"updateWhere", {"where", "values", "join"}, 2};
const Signature<1> deleteSignature{"delete", {"row"}, 1};
const Signature<2> deleteWhereSignature{"deleteWhere", {"where", "join"}, 1};
const Signature<2> findFkSignature{"findListForeignKey", {"rows", "relations"}, 1};
const Signature<3> linkSignature{"link", {"row", "relation", "others"}, 3};
const Signature<3> unlinkSignature{"unlink", {"row", "relation", "others"}, 3};

// Rows read in order to change them: on MySQL the select locks them until
// the task's transaction ends, so a concurrent reader that also asks for
// them waits; on SQLite the database's write lock already serializes the
// writers, and the select stays as it is.
bool locksRows(PyObject* forUpdate) {
    if (!forUpdate || !truthy(forUpdate)) return false;
    int dialect = activeDialect(dbApi);
    return dialect == DIALECT_MYSQL || dialect == DIALECT_POSTGRES;
}

void lockRows(PyObject* builder, PyObject* forUpdate) {
    if (!locksRows(forUpdate)) return;
    auto* g = asBuilder(builder);
    Ref suffix = str(" FOR UPDATE");
    assignField(g->limit, Ref::steal(PyUnicode_Concat(g->limit, suffix.get())));
}

// The select of find() and first(): through the statement builder, or
// across relations when the filter names columns of related models.
Ref findStatement(const ModelInfo& info, PyObject* where, PyObject* orderBy, PyObject* limit, PyObject* offset,
                  PyObject* join, PyObject* forUpdate) {
    std::vector<Ref> elsewhere = filterColumnsElsewhere(info, where);
    if (!elsewhere.empty() || join != Py_None) {
        JoinPlan plan = planJoins(info, join, elsewhere, activeDialect(dbApi));
        if (!elsewhere.empty()) return selectAcross(info, plan, where, orderBy, limit, offset, locksRows(forUpdate));
    }
    Ref builder = selectBuilder(info, where, orderBy, limit, offset);
    lockRows(builder.get(), forUpdate);
    return builder;
}

Ref Executor_find(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(findSignature, args, nargs, kwnames);
    ModelInfo info(modelOf(self));
    Ref builder = findStatement(info, b.get(0, Py_None), b.get(1, Py_None), b.get(2, Py_None), b.get(3, Py_None),
                                b.get(6, Py_None), b[5]);
    Ref steps = relationSteps(info.model, b[4], "loadForeign");
    return complete(self, startStatement(self, builder.get(), RESULT_ROWS), Py_None, finishIdentity, std::move(steps),
                    "AsyncModelExecutor.find");
}

Ref Executor_first(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(firstSignature, args, nargs, kwnames);
    ModelInfo info(modelOf(self));
    Ref one = integer(1);
    Ref builder = findStatement(info, b.get(0, Py_None), b.get(1, Py_None), one.get(), Py_None, b.get(4, Py_None), b[3]);
    Ref steps = relationSteps(info.model, b[2], "loadForeign");
    return complete(self, startStatement(self, builder.get(), RESULT_ROWS), Py_None, finishFirst, std::move(steps),
                    "AsyncModelExecutor.first");
}

Ref Executor_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(getSignature, args, nargs, kwnames);
    ModelInfo info(modelOf(self));
    Ref where = keyFilter(info.requireKey("get"), b[0]);
    Ref one = integer(1);
    Ref builder = selectBuilder(info, where.get(), Py_None, one.get(), Py_None);
    lockRows(builder.get(), b[2]);
    Ref steps = relationSteps(info.model, b[1], "loadForeign");
    return complete(self, startStatement(self, builder.get(), RESULT_ROWS), Py_None, finishFirst, std::move(steps),
                    "AsyncModelExecutor.get");
}

// Runs SQL text whose tuple rows `finish` reads (with `state`).
Ref completeSqlText(PyObject* self, PyObject* sql, PyObject* args, PyObject* state, Finish finish,
                    const char* qualname) {
    Ref started = startSqlText(self, sql, args, false);
    if (!isAsyncExecutor(self)) started = asList(std::move(started));
    return complete(self, std::move(started), state, finish, Ref(), qualname);
}
Ref completeSql(PyObject* self, const std::string& sql, PyObject* args, PyObject* state, Finish finish,
                const char* qualname) {
    return completeSqlText(self, str(sql).get(), args, state, finish, qualname);
}

enum CountKind { COUNT_ROWS, ANY_ROW };

// count() and exists().  Across relations a row of the model counts once:
// its key is counted once (a model without a key: its distinct rows), and
// exists() needs one joined row only.
Ref countLike(PyObject* self, PyObject* where, PyObject* join, CountKind kind) {
    ModelInfo info(modelOf(self));
    int dialect = activeDialect(dbApi);
    Finish finish = kind == COUNT_ROWS ? finishCount : finishExists;
    const char* qualname = kind == COUNT_ROWS ? "AsyncModelExecutor.count" : "AsyncModelExecutor.exists";
    std::vector<Ref> elsewhere = filterColumnsElsewhere(info, where);
    JoinPlan plan;
    if (!elsewhere.empty() || join != Py_None) plan = planJoins(info, join, elsewhere, dialect);
    if (elsewhere.empty()) {
        Ref parts = whereParts(where);
        // The text is kept per table and filter text (the filter's own text
        // is kept by shape), so a repeated count is one lookup.
        PyObject* filterText = PyTuple_GET_ITEM(parts.get(), 0);
        ShapeTexts& kept = kind == COUNT_ROWS ? countTexts : existsTexts;
        Ref text;
        if (PyUnicode_CheckExact(filterText) && PyUnicode_CheckExact(info.table.get()))
            text = Ref::borrow(kept.find(dialect, info.table.get(), {filterText}));
        if (!text) {
            std::string sql = kind == COUNT_ROWS ? "SELECT count(*) FROM " : "SELECT 1 FROM ";
            appendIdentifier(sql, utf8(info.table.get()), dialect);
            sql += utf8(filterText);
            sql += kind == COUNT_ROWS ? ";" : " limit 1;";
            text = str(sql);
            if (PyUnicode_CheckExact(filterText) && PyUnicode_CheckExact(info.table.get()))
                kept.store(dialect, info.table.get(), {filterText}, text.get());
        }
        Ref args = argumentTuple(PyTuple_GET_ITEM(parts.get(), 1));
        return completeSqlText(self, text.get(), args.get(), Py_None, finish, qualname);
    }
    Ref args = Ref::steal(PyList_New(0));
    std::string from = " FROM " + tableOf(info.model, dialect) + plan.text;
    std::string sql;
    if (kind == ANY_ROW) {
        sql = "SELECT 1" + from;
        appendFilter(sql, where, args.get(), " WHERE ");
        sql += " limit 1;";
    } else if (info.hasKey()) {
        sql = "SELECT count(DISTINCT " + keyColumnText(info, dialect) + ")" + from;
        appendFilter(sql, where, args.get(), " WHERE ");
        sql += ";";
    } else {
        sql = "SELECT count(*) FROM (SELECT DISTINCT " + columnList(info.model, dialect) + from;
        appendFilter(sql, where, args.get(), " WHERE ");
        sql += ") AS quillon_rows;";
    }
    return completeSql(self, sql, argumentTuple(args.get()).get(), Py_None, finish, qualname);
}

Ref Executor_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(whereSignature, args, nargs, kwnames);
    return countLike(self, b.get(0, Py_None), b.get(1, Py_None), COUNT_ROWS);
}

Ref Executor_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(existsSignature, args, nargs, kwnames);
    return countLike(self, b.get(0, Py_None), b.get(1, Py_None), ANY_ROW);
}

// values(*columns, where=None, groupBy=None, having=None, orderBy=None,
// limit=None, offset=None, distinct=False, join=None): a list of tuples.
Ref Executor_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // Every positional argument is a column; the rest are keywords only.
    auto b = bind(valuesSignature, args + nargs, 0, kwnames);
    if (nargs == 0) raise(PyExc_TypeError, "values() takes at least one column");
    Ref columns = positionalTuple(args, nargs);
    ModelInfo info(modelOf(self));
    ValuesQuery query = prepareValues(info, columns.get(), b.get(0, Py_None), b.get(1, Py_None), b.get(2, Py_None),
                                      b.get(3, Py_None), b.get(4, Py_None), b.get(5, Py_None),
                                      b[6] && truthy(b[6]), b.get(7, Py_None));
    return completeSql(self, query.sql, query.args.get(), query.forms.get(), finishValues, "AsyncModelExecutor.values");
}

// sum(), avg(), min() and max(): one aggregate of a column over the rows
// that match, None over no rows.
Ref aggregateOf(PyObject* self, PyObject* function, PyObject* col, PyObject* where, PyObject* join,
                const char* qualname) {
    Ref aggregate = call(function, col);
    Ref columns = tupleOf({aggregate.get()});
    ModelInfo info(modelOf(self));
    ValuesQuery query =
        prepareValues(info, columns.get(), where, Py_None, Py_None, Py_None, Py_None, Py_None, false, join);
    return completeSql(self, query.sql, query.args.get(), query.forms.get(), finishScalar, qualname);
}

Ref Executor_sum(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(sumSignature, args, nargs, kwnames);
    return aggregateOf(self, names.Sum.get(), b[0], b.get(1, Py_None), b.get(2, Py_None), "AsyncModelExecutor.sum");
}
Ref Executor_avg(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(avgSignature, args, nargs, kwnames);
    return aggregateOf(self, names.Avg.get(), b[0], b.get(1, Py_None), b.get(2, Py_None), "AsyncModelExecutor.avg");
}
Ref Executor_min(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(minSignature, args, nargs, kwnames);
    return aggregateOf(self, names.Min.get(), b[0], b.get(1, Py_None), b.get(2, Py_None), "AsyncModelExecutor.min");
}
Ref Executor_max(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(maxSignature, args, nargs, kwnames);
    return aggregateOf(self, names.Max.get(), b[0], b.get(1, Py_None), b.get(2, Py_None), "AsyncModelExecutor.max");
}

// ---------------------------------------------------------------------------
// save
// ---------------------------------------------------------------------------

// Whether a save of the row should read back what the database chose: some
// of its columns are left to their defaults (a model without a key keeps the
// driver's row id as its result).  PostgreSQL has no row id: a generated
// key is always read back.
bool wantsReturning(const ModelInfo& info, const InsertPlan& plan, int dialect) {
    if (dialect == DIALECT_POSTGRES && plan.keyLeftOut) return true;
    return info.hasKey() && !plan.leftOut.empty();
}

// The statement that saves one row, from its plan (which holds the values
// it read of the row).  A row that writes every column it holds is an
// insert of its shape; one that leaves columns to their defaults asks the
// database for the values it chose where `returningSupported`.  `returning`
// tells which of the two the statement does.
Ref saveStatement(const ModelInfo& info, const InsertPlan& plan, bool returningSupported, int dialect,
                  bool* returning) {
    *returning = returningSupported && wantsReturning(info, plan, dialect);
    if (!*returning && !plan.columns.empty()) return insertStatement(info, plan, dialect);
    std::string sql = insertText(info, plan.columns, dialect);
    if (*returning) {
        sql += " RETURNING ";
        bool first = true;
        auto add = [&](PyObject* prop) {
            if (!first) sql += ",";
            first = false;
            appendIdentifier(sql, utf8(asProperty(prop)->name), dialect);
        };
        if (plan.keyLeftOut) add(info.pkCol.get());
        for (Py_ssize_t i : plan.leftOut) add(info.column(i).get());
    }
    sql += ";";
    return newStatement(sql, rowArguments(info, plan), *returning ? SQL_SELECT : SQL_INSERT);
}

// The awaited save when the server must first be asked whether it reports
// inserted values.
Coro saveAfterAsking(Ref self, Ref row, int dialect) {
    {
        Ref empty = noArgs();
        Ref asking = startSql(self.get(), kServerVersionQuery, empty.get(), false);
        empty.reset();
        Ref versionRows = co_await awaitPy(std::move(asking));
        rememberServer(versionRows.get());
    }
    bool returning = false;
    Ref started;
    {
        ModelInfo info(modelOf(self.get()));
        InsertPlan plan = planInsert(info, row.get(), "save");
        Ref builder = saveStatement(info, plan, returningSupport(dialect) == 1, dialect, &returning);
        started = startStatement(self.get(), builder.get(), RESULT_RAW);
    }
    Ref raw = co_await awaitPy(std::move(started));
    co_return (returning ? finishSaveReturning : finishSave)(self.get(), row.get(), raw.get());
}

Ref saveRow(PyObject* self, PyObject* row) {
    if (!PyObject_TypeCheck(row, entityApi->ModelInstance)) raiseArgType("row", "ModelInstance", row);
    ModelInfo info(modelOf(self));
    requireRowOf(info, row, "save");
    refuseRelationValues(info, relationEntries(info), row, "save");
    // Refusals come before any statement; the plan also says whether the
    // database must be asked for what it chose.
    int dialect = activeDialect(dbApi);
    InsertPlan plan = planInsert(info, row, "save");
    bool asks = wantsReturning(info, plan, dialect);
    int support = asks ? returningSupport(dialect) : 0;
    if (support < 0) {
        if (isAsyncExecutor(self))
            return toPython(saveAfterAsking(Ref::borrow(self), Ref::borrow(row), dialect), "AsyncModelExecutor.save");
        Ref empty = noArgs();
        rememberServer(asList(startSql(self, kServerVersionQuery, empty.get(), false)).get());
        support = returningSupport(dialect);
        planInsert(info, row, "save", plan);  // asking ran Python code: the row is read again
    }
    bool returning = false;
    Ref builder = saveStatement(info, plan, support == 1, dialect, &returning);
    if (!returning) {
        if (isAsyncExecutor(self))
            return complete(self, startStatement(self, builder.get(), RESULT_RAW), row, finishSave, Ref(),
                            "AsyncModelExecutor.save");
        Ref raw = startStatement(self, builder.get(), RESULT_RAW);
        return savedKey(info, row, raw.get());
    }
    if (isAsyncExecutor(self))
        return complete(self, startStatement(self, builder.get(), RESULT_RAW), row, finishSaveReturning, Ref(),
                        "AsyncModelExecutor.save");
    // The blocking SQLite connector would commit before the returned row is read.
    BlockingTransaction transaction(true);
    Ref raw = startStatement(self, builder.get(), RESULT_RAW);
    transaction.commit();
    return finishSaveReturning(self, row, raw.get());
}

Ref Executor_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(rowSignature, args, nargs, kwnames);
    return saveRow(self, b[0]);
}

// ---------------------------------------------------------------------------
// upsert
// ---------------------------------------------------------------------------

// The columns a conflict is looked for on, by index in the column list: the
// key (None), or a column or a sequence of columns (properties or names)
// that a unique constraint covers.
std::vector<Py_ssize_t> conflictColumns(const ModelInfo& info, PyObject* conflict) {
    std::vector<Py_ssize_t> out;
    if (conflict == Py_None) {
        out.push_back(columnIndex(info, info.pkCol.get()));
        return out;
    }
    if (PyUnicode_Check(conflict) || isProperty(conflict)) {
        out.push_back(columnIndex(info, conflict));
        return out;
    }
    if (PyDict_Check(conflict) || PyBytes_Check(conflict)) raiseArgType("conflict", "a column or a sequence of columns", conflict);
    Ref items = Ref::steal(PySequence_List(conflict));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Ref item = listItem(items.get(), i).ref();
        if (!PyUnicode_Check(item.get()) && !isProperty(item.get()))
            raise(PyExc_TypeError, "upsert(): conflict names columns (properties or column names), not %.200s",
                  typeName(item.get()));
        Py_ssize_t index = columnIndex(info, item.get());
        if (std::find(out.begin(), out.end(), index) == out.end()) out.push_back(index);
    }
    if (out.empty()) raise(PyExc_ValueError, "upsert(): conflict names no column");
    return out;
}

// What an upsert runs: the statement itself and, where the database does not
// report the stored row, the select that reads its key back by the conflict
// columns (null otherwise).  Null statements: the row leaves its generated
// key to the database and conflicts only on the key, so it is a plain save.
struct UpsertStatements {
    Ref upsert;
    Ref readKey;
};

UpsertStatements upsertStatements(const ModelInfo& info, PyObject* row, PyObject* conflictArg, bool returning,
                                  int dialect) {
    std::vector<Py_ssize_t> conflict = conflictColumns(info, conflictArg);
    Py_ssize_t keyIndex = columnIndex(info, info.pkCol.get());
    InsertPlan plan = planInsert(info, row, "upsert");
    if (plan.keyLeftOut && conflict.size() == 1 && conflict[0] == keyIndex) return {};
    Ref args = rowArguments(info, plan);
    // Every conflict column carries a value: NULLs never conflict.
    std::vector<Py_ssize_t> positions;
    for (Py_ssize_t index : conflict) {
        auto at = std::find(plan.columns.begin(), plan.columns.end(), index);
        if (at == plan.columns.end() || tupleItem(args.get(), at - plan.columns.begin()).get() == Py_None) {
            Ref name = columnName(info.column(index).get());
            raise(PyExc_ValueError, "upsert(): the row has no value for the conflict column %R of %s", name.get(),
                  modelName(info.model));
        }
        positions.push_back(at - plan.columns.begin());
    }
    auto identifier = [&](Py_ssize_t index) {
        std::string out;
        Ref name = columnName(info.column(index).get());
        appendIdentifier(out, utf8(name.get()), dialect);
        return out;
    };
    // Every written column but the key takes the row's value: on MySQL the
    // conflict may be on any unique index, and the stored row then holds
    // the row's values all the same.
    std::vector<Py_ssize_t> updated;
    for (Py_ssize_t index : plan.columns)
        if (index != keyIndex) updated.push_back(index);
    if (updated.empty()) updated.push_back(keyIndex);  // an update that changes nothing
    std::string sql = insertText(info, plan.columns, dialect);
    if (dialect == DIALECT_MYSQL) {
        sql += " ON DUPLICATE KEY UPDATE ";
        for (size_t i = 0; i < updated.size(); ++i) {
            std::string column = identifier(updated[i]);
            sql += (i ? "," : "") + column + " = " + (updated[i] == keyIndex ? column : "VALUES(" + column + ")");
        }
    } else {
        sql += " ON CONFLICT (";
        for (size_t i = 0; i < conflict.size(); ++i) sql += (i ? "," : "") + identifier(conflict[i]);
        sql += ") DO UPDATE SET ";
        for (size_t i = 0; i < updated.size(); ++i) {
            std::string column = identifier(updated[i]);
            sql += (i ? "," : "") + column + " = excluded." + column;
        }
    }
    UpsertStatements out;
    if (returning) {
        sql += " RETURNING " + identifier(keyIndex);
        for (Py_ssize_t i : plan.leftOut) sql += "," + identifier(i);
        out.upsert = newStatement(sql + ";", std::move(args), SQL_SELECT);
        return out;
    }
    std::string select = "SELECT " + identifier(keyIndex) + " FROM ";
    appendIdentifier(select, utf8(info.table.get()), dialect);
    Ref keyArgs = Ref::steal(PyTuple_New((Py_ssize_t)conflict.size()));
    for (size_t i = 0; i < conflict.size(); ++i) {
        select += (i ? " AND " : " WHERE ") + identifier(conflict[i]) + " = %s";
        PyTuple_SET_ITEM(keyArgs.get(), (Py_ssize_t)i, tupleItem(args.get(), positions[i]).ref().release());
    }
    out.upsert = newStatement(sql + ";", std::move(args), SQL_INSERT);
    out.readKey = newStatement(select + ";", std::move(keyArgs), SQL_SELECT);
    return out;
}

int traverseValue(const UpsertStatements& statements, visitproc visit, void* arg) {
    Py_VISIT(statements.upsert.get());
    Py_VISIT(statements.readKey.get());
    return 0;
}

// state: the row; raw: the stored row's key (and its defaulted columns) as
// the database reports them.
Ref finishUpsert(PyObject* self, PyObject* row, PyObject* raw) {
    ModelInfo info(modelOf(self));
    storeReturned(info, row, raw);
    return savedKey(info, row, Py_None);
}

Coro upsertAwaited(Ref self, Ref row, Ref conflict, int dialect) {
    if (returningSupport(dialect) < 0) {
        Ref empty = noArgs();
        Ref asking = startSql(self.get(), kServerVersionQuery, empty.get(), false);
        empty.reset();
        Ref versionRows = co_await awaitPy(std::move(asking));
        rememberServer(versionRows.get());
    }
    LocalValue<UpsertStatements> statements(UpsertStatements{});
    {
        ModelInfo info(modelOf(self.get()));
        *statements = upsertStatements(info, row.get(), conflict.get(), returningSupport(dialect) == 1, dialect);
    }
    Local raw = co_await awaitPy(startStatement(self.get(), statements->upsert.get(), RESULT_RAW));
    if (statements->readKey) raw = co_await awaitPy(startStatement(self.get(), statements->readKey.get(), RESULT_RAW));
    co_return finishUpsert(self.get(), row.get(), raw.get());
}

const Signature<2> upsertSignature{"upsert", {"row", "conflict"}, 1};

Ref Executor_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(upsertSignature, args, nargs, kwnames);
    PyObject* row = b[0];
    PyObject* conflict = b.get(1, Py_None);
    if (!PyObject_TypeCheck(row, entityApi->ModelInstance)) raiseArgType("row", "ModelInstance", row);
    ModelInfo info(modelOf(self));
    info.requireKey("upsert");
    requireRowOf(info, row, "upsert");
    refuseRelationValues(info, relationEntries(info), row, "upsert");
    int dialect = activeDialect(dbApi);
    // Refusals come before any statement.
    int support = returningSupport(dialect);
    UpsertStatements statements = upsertStatements(info, row, conflict, support == 1, dialect);
    if (!statements.upsert) return saveRow(self, row);
    if (isAsyncExecutor(self))
        return toPython(upsertAwaited(Ref::borrow(self), Ref::borrow(row), Ref::borrow(conflict), dialect),
                        "AsyncModelExecutor.upsert");
    if (support < 0) {
        Ref empty = noArgs();
        rememberServer(asList(startSql(self, kServerVersionQuery, empty.get(), false)).get());
        statements = upsertStatements(info, row, conflict, returningSupport(dialect) == 1, dialect);
    }
    // The blocking SQLite connector would commit before the returned row is read.
    BlockingTransaction transaction(!statements.readKey);
    Ref raw = startStatement(self, statements.upsert.get(), RESULT_RAW);
    if (statements.readKey) raw = startStatement(self, statements.readKey.get(), RESULT_RAW);
    transaction.commit();
    return finishUpsert(self, row, raw.get());
}

// ---------------------------------------------------------------------------
// insertMany
// ---------------------------------------------------------------------------

// Whether the database generates the key by counting up (auto_increment):
// the keys one statement generates then increase in the order of its rows.
bool keyCountsUp(const ModelInfo& info) {
    if (!info.hasKey()) return false;
    PyObject* v = asProperty(info.pkCol.get())->_default;
    return v && (v == (PyObject*)columnsApi->AutoIncrement || PyObject_TypeCheck(v, columnsApi->AutoIncrement));
}

// The most arguments one statement binds: SQLite's limit (999 before 3.32);
// MySQL's drivers bind on the client, where it keeps statements moderate.
Py_ssize_t argumentLimit(int dialect) {
    if (dialect == DIALECT_SQLITE) {
        Ref version = importFrom("sqlite3", "sqlite_version_info");
        Ref three = integer(3), thirtyTwo = integer(32);
        Ref least = tupleOf({three.get(), thirtyTwo.get()});
        if (!check(PyObject_RichCompareBool(version.get(), least.get(), Py_GE))) return 999;
    }
    return 32766;
}

// The statement kind of a write whose result is its rows (INSERT ...
// RETURNING): the connectors give the rows of every kind but a select
// (dicts) and an insert (the row id) as tuples, and the asyncio SQLite
// connector runs a statement of this kind and reads its rows in one step of
// its worker thread.
constexpr int kWriteWithRows = SQL_NONE;

// Rows that write the same columns, inserted by one statement run.
struct RowGroup {
    std::vector<Py_ssize_t> columns;
    std::vector<Py_ssize_t> leftOut;  // of the group's first row
    bool keyLeftOut = false;
    Ref args;  // list of argument tuples; for rows whose keys are reported, their arguments one after the other
    Ref rows;  // list of the rows whose keys are reported
};

// One statement of an insertMany and, for an INSERT ... RETURNING, the rows
// whose generated keys (and defaulted columns) it reports: `reported` is then
// (rows, columns), the columns being the key and the defaulted columns, in
// the order of the statement's result rows.
struct InsertBatch {
    Ref statement;
    Ref reported;  // null: the statement reports nothing
};

// The insert statements of the rows: one statement run per set of written
// columns, in the order the sets first appear.  Where `reported` (the
// database reports inserted values and the key counts up), a set that
// leaves the key to the database is inserted by multi-row statements that
// report each row's key and defaulted columns, as many rows per statement as
// the argument limit allows.  Every row is checked before any statement
// exists.
std::vector<InsertBatch> insertStatements(const ModelInfo& info, PyObject* rows, bool reported) {
    std::vector<RowGroup> groups;
    std::map<std::vector<Py_ssize_t>, size_t> groupOf;
    auto relations = relationEntries(info);
    size_t last = 0;
    InsertPlan plan;
    for (Py_ssize_t r = 0; r < PyList_GET_SIZE(rows); ++r) {
        Ref row = Ref::borrow(PyList_GET_ITEM(rows, r));
        requireRowOf(info, row.get(), "insertMany", "rows");
        if (!relations.empty()) refuseRelationValues(info, relations, row.get(), "insertMany");
        planInsert(info, row.get(), "insertMany", plan);
        // Rows in a run mostly write the same columns as the one before.
        if (groups.empty() || groups[last].columns != plan.columns) {
            auto [it, added] = groupOf.emplace(plan.columns, groups.size());
            if (added)
                groups.push_back(
                    {plan.columns, plan.leftOut, plan.keyLeftOut, Ref::steal(PyList_New(0)), Ref::steal(PyList_New(0))});
            last = it->second;
        }
        if (reported && plan.keyLeftOut && !plan.columns.empty()) {
            appendRowArguments(info, plan, groups[last].args.get());
            check(PyList_Append(groups[last].rows.get(), row.get()));
        } else {
            check(PyList_Append(groups[last].args.get(), rowArguments(info, plan).get()));
        }
    }
    int dialect = activeDialect(dbApi);
    std::vector<InsertBatch> batches;
    for (RowGroup& group : groups) {
        std::string text = insertText(info, group.columns, dialect);
        // A set without columns is written DEFAULT VALUES, one row a statement.
        if (!reported || !group.keyLeftOut || group.columns.empty()) {
            batches.push_back({newStatement(text + ";", std::move(group.args), SQL_INSERT), Ref()});
            continue;
        }
        std::string returning = " RETURNING ";
        appendIdentifier(returning, utf8(columnName(info.pkCol.get()).get()), dialect);
        Ref columns = Ref::steal(PyTuple_New((Py_ssize_t)group.leftOut.size() + 1));
        PyTuple_SET_ITEM(columns.get(), 0, info.pkCol.newRef());
        for (size_t i = 0; i < group.leftOut.size(); ++i) {
            Ref prop = info.column(group.leftOut[i]);
            returning += ",";
            appendIdentifier(returning, utf8(columnName(prop.get()).get()), dialect);
            PyTuple_SET_ITEM(columns.get(), (Py_ssize_t)i + 1, prop.release());
        }
        returning += ";";
        Py_ssize_t width = (Py_ssize_t)group.columns.size();
        // Statements of a thousand rows at most: larger ones are no faster.
        Py_ssize_t perStatement = std::clamp<Py_ssize_t>(argumentLimit(dialect) / width, 1, 1000);
        std::string row = ",(" + placeholders(width) + ")";
        Py_ssize_t total = PyList_GET_SIZE(group.rows.get());
        std::string full;  // the text of a batch of perStatement rows, made once
        for (Py_ssize_t from = 0; from < total; from += perStatement) {
            Py_ssize_t n = std::min(perStatement, total - from);
            std::string sql;
            if (n == perStatement && !full.empty()) {
                sql = full;
            } else {
                sql = text;
                sql.reserve(text.size() + (size_t)n * row.size() + returning.size());
                for (Py_ssize_t i = 1; i < n; ++i) sql += row;
                sql += returning;
                if (n == perStatement) full = sql;
            }
            // The batch's arguments, row after row, in one tuple.
            Ref slice = Ref::steal(PyList_GetSlice(group.args.get(), from * width, (from + n) * width));
            Ref args = Ref::steal(PyList_AsTuple(slice.get()));
            Ref batchRows = Ref::steal(PyList_GetSlice(group.rows.get(), from, from + n));
            batches.push_back({newStatement(sql, std::move(args), kWriteWithRows), tupleOf({batchRows.get(), columns.get()})});
        }
    }
    return batches;
}

// Stores what one INSERT ... RETURNING reported (tuple rows) into its rows,
// `reported` being the batch's (rows, columns): the keys of one statement
// increase in the order of its rows, whatever order the database reports
// them in.
void storeReportedKeys(PyObject* reported, PyObject* raw) {
    Ref rows = tupleItem(reported, 0).ref();
    Ref columns = tupleItem(reported, 1).ref();
    Ref values = Ref::steal(PySequence_List(raw));
    Py_ssize_t n = PyList_GET_SIZE(values.get());
    if (n != PyList_GET_SIZE(rows.get()))
        raise(PyExc_RuntimeError, "insertMany(): the database reported %zd rows for %zd inserted", n,
              PyList_GET_SIZE(rows.get()));
    Py_ssize_t width = PyTuple_GET_SIZE(columns.get());
    std::vector<std::pair<long long, Py_ssize_t>> order;
    order.reserve((size_t)n);
    bool sorted = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        // `values` and its tuples are this function's own: no Python code runs here.
        Borrowed one = listItem(values.get(), i);
        if (!PyTuple_Check(one.get()) || PyTuple_GET_SIZE(one.get()) != width)
            raise(PyExc_TypeError, "insertMany(): the database reported %.200s for an inserted row", typeName(one.get()));
        Borrowed key = tupleItem(one.get(), 0);
        if (!PyLong_Check(key.get())) raise(PyExc_TypeError, "insertMany(): a reported key is not an integer");
        long long value = PyLong_AsLongLong(key.get());
        if (value == -1 && PyErr_Occurred()) throwPending();
        if (!order.empty() && value < order.back().first) sorted = false;
        order.emplace_back(value, i);
    }
    if (!sorted) std::sort(order.begin(), order.end());
    // Conversions run Python code: rows, values and names are held, the
    // lists counted again.
    for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(rows.get()); ++i) {
        Ref row = listItem(rows.get(), i).ref();
        Ref one = listItem(values.get(), order[(size_t)i].second).ref();
        if (!PyDict_Check(row.get())) continue;
        for (Py_ssize_t c = 0; c < width; ++c) {
            Ref prop = tupleItem(columns.get(), c).ref();
            Ref converted = toObj(prop.get(), tupleItem(one.get(), c).get());
            Ref name = columnName(prop.get());
            check(PyDict_SetItem(row.get(), name.get(), converted.get()));
        }
    }
}

// Stores what the statements reported (`results`, one per entry of
// `targets`), once every statement has run.
void storeBatches(PyObject* targets, PyObject* results) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(targets); ++i) {
        Ref reported = listItem(targets, i).ref();
        if (reported.get() == Py_None) continue;
        Ref raw = listItem(results, i).ref();
        storeReportedKeys(reported.get(), raw.get());
    }
}

// state: the batch's (rows, columns); raw: what its single INSERT ... RETURNING reported.
Ref finishInsertReported(PyObject*, PyObject* reported, PyObject* raw) {
    storeReportedKeys(reported, raw);
    return integer(PyList_GET_SIZE(tupleItem(reported, 0).get()));
}

const char* const kRowsSavepoint = "SAVEPOINT quillon_rows";
const char* const kRowsRelease = "RELEASE SAVEPOINT quillon_rows";
const char* const kRowsRollback = "ROLLBACK TO SAVEPOINT quillon_rows";

// Several insert statements as one: inside a savepoint of the task's
// transaction, rolled back to when one fails (or the operation is cut off:
// cancelled, timed out, closed while it could still clean up).  The last
// await is the last statement: once it has run, nothing can cut the
// operation off any more, so the savepoint is not released with one more
// await -- a cancellation arriving there would find the batch already merged
// into the task's transaction, which the task then commits.  The savepoint
// ends with the task's transaction (its commit or its rollback); a later
// batch of the same task opens one of the same name, which the databases
// stack (SQLite) or replace (MySQL), so rolling back to it never reaches an
// earlier batch.  What the statements report is stored in the rows only
// once all of them have run.
Coro insertGroupsAwaited(Ref self, Ref statements, Ref targets, Ref total) {
    Local empty = noArgs();
    if (activeDialect(dbApi) == DIALECT_SQLITE) {
        // A savepoint outside a transaction would start one that its release
        // commits; the task's transaction is begun first instead.
        Local con = co_await awaitPy(getattr(activeFacade(dbApi), names.getCon.get()));
        if (!truthy(getattr(con.get(), names.in_transaction.get()).get()))
            co_await awaitPy(startSql(self.get(), "BEGIN", empty.get(), false));
    }
    co_await awaitPy(startSql(self.get(), kRowsSavepoint, empty.get(), false));
    LocalError failure;
    Local results = Ref::steal(PyList_New(0));
    try {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(statements.get()); ++i) {
            Local statement = listItem(statements.get(), i).ref();
            bool reports = listItem(targets.get(), i).get() != Py_None;
            Local raw = co_await awaitPy(startStatement(self.get(), statement.get(), RESULT_RAW));
            if (reports) raw = asList(raw.take());
            check(PyList_Append(results.get(), raw.get()));
        }
    } catch (PyError& e) {
        failure = std::move(e);
    }
    if (failure) {
        try {
            co_await awaitPy(startSql(self.get(), kRowsRollback, empty.get(), false));
            co_await awaitPy(startSql(self.get(), kRowsRelease, empty.get(), false));
        } catch (PyError& e) {
            // The statement's own error is the one the caller needs, unless
            // the cleanup itself was cancelled or interrupted.
            if (!e.isException()) throw;
        }
        failure.rethrow();
    }
    storeBatches(targets.get(), results.get());
    co_return std::move(total);
}

// The statements of the batches and what each reports, as lists.
std::pair<Ref, Ref> batchLists(std::vector<InsertBatch>& batches) {
    Ref statements = Ref::steal(PyList_New(0));
    Ref targets = Ref::steal(PyList_New(0));
    for (InsertBatch& b : batches) {
        check(PyList_Append(statements.get(), b.statement.get()));
        check(PyList_Append(targets.get(), b.reported ? b.reported.get() : Py_None));
    }
    return {std::move(statements), std::move(targets)};
}

// Runs the batches of an awaited insertMany: one statement that reports
// nothing runs as it is, anything else as one unit.
Ref insertBatchesAwaited(PyObject* self, std::vector<InsertBatch> batches, PyObject* rows) {
    if (batches.size() == 1 && !batches[0].reported)
        return complete(self, startStatement(self, batches[0].statement.get(), RESULT_RAW), rows, finishLength, Ref(),
                        "AsyncModelExecutor.insertMany");
    if (batches.size() == 1)
        return complete(self, startStatement(self, batches[0].statement.get(), RESULT_RAW), batches[0].reported.get(),
                        finishInsertReported, Ref(), "AsyncModelExecutor.insertMany");
    auto [statements, targets] = batchLists(batches);
    return toPython(insertGroupsAwaited(Ref::borrow(self), std::move(statements), std::move(targets),
                                        integer(PyList_GET_SIZE(rows))),
                    "AsyncModelExecutor.insertMany");
}

// The awaited insertMany when the server must first be asked whether it
// reports inserted values.
Coro insertManyAfterAsking(Ref self, Ref rows) {
    {
        Ref empty = noArgs();
        Ref asking = startSql(self.get(), kServerVersionQuery, empty.get(), false);
        empty.reset();
        Ref versionRows = co_await awaitPy(std::move(asking));
        rememberServer(versionRows.get());
    }
    Ref inserting;
    {
        ModelInfo info(modelOf(self.get()));
        bool reported = returningSupport(activeDialect(dbApi)) == 1;
        inserting = insertBatchesAwaited(self.get(), insertStatements(info, rows.get(), reported), rows.get());
    }
    co_return co_await awaitPy(std::move(inserting));
}

Ref Executor_insertMany(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(rowsSignature, args, nargs, kwnames);
    ModelInfo info(modelOf(self));
    Ref rows = Ref::steal(PySequence_List(b[0]));
    if (PyList_GET_SIZE(rows.get()) == 0) return immediate(self, integer(0), "AsyncModelExecutor.insertMany");
    int dialect = activeDialect(dbApi);
    bool reportable = keyCountsUp(info);
    int support = reportable ? returningSupport(dialect) : 0;
    // Refusals come before any statement, the server's question included.
    std::vector<InsertBatch> batches = insertStatements(info, rows.get(), support == 1);
    if (isAsyncExecutor(self)) {
        if (support < 0)
            return toPython(insertManyAfterAsking(Ref::borrow(self), std::move(rows)), "AsyncModelExecutor.insertMany");
        return insertBatchesAwaited(self, std::move(batches), rows.get());
    }
    if (support < 0) {
        Ref empty = noArgs();
        rememberServer(asList(startSql(self, kServerVersionQuery, empty.get(), false)).get());
        batches = insertStatements(info, rows.get(), returningSupport(dialect) == 1);
    }
    if (batches.size() == 1 && !batches[0].reported)
        return complete(self, startStatement(self, batches[0].statement.get(), RESULT_RAW), rows.get(), finishLength,
                        Ref(), "AsyncModelExecutor.insertMany");
    auto [statements, targets] = batchLists(batches);
    Ref results = Ref::steal(PyList_New(0));
    // One transaction: the blocking SQLite connector would commit each
    // statement, and before the rows an INSERT ... RETURNING reports are read.
    BlockingTransaction transaction;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(statements.get()); ++i) {
        Ref statement = listItem(statements.get(), i).ref();
        bool reports = listItem(targets.get(), i).get() != Py_None;
        Ref raw = startStatement(self, statement.get(), RESULT_RAW);
        if (reports) raw = asList(std::move(raw));
        check(PyList_Append(results.get(), raw.get()));
    }
    transaction.commit();
    storeBatches(targets.get(), results.get());
    return integer(PyList_GET_SIZE(rows.get()));
}

// ---------------------------------------------------------------------------
// update and delete
// ---------------------------------------------------------------------------

// The update of one row by its key: the SET columns of setColumnsOfRow, with
// the text of the row's shape made once; the key filter is rendered by the
// generator as a builder's would be.  A row that sets a column to an
// expression goes through the builder, which renders the expression.
Ref rowUpdateStatement(const ModelInfo& info, PyObject* row, PyObject* where) {
    std::vector<Py_ssize_t> columns;
    std::vector<Ref> values;
    setColumnsOfRow(info, row, columns, values);
    for (const Ref& value : values)
        if (PyObject_TypeCheck(value.get(), columnsApi->Expression))
            return updateBuilder(info, setItemsOf(info, columns, values), where);
    if (columns.empty()) raise(PyExc_ValueError, "an update needs at least one column to set");
    Ref args = Ref::steal(PyList_New((Py_ssize_t)columns.size()));
    for (size_t c = 0; c < columns.size(); ++c)
        PyList_SET_ITEM(args.get(), (Py_ssize_t)c, toDB(info.column(columns[c]).get(), values[c].get()).release());
    Ref filter = Ref::steal(generatorApi->renderFilter(where, args.get(), " WHERE "));
    // The whole text is kept with the shape for the filter text it was made
    // with: updates by key render the same filter text every time.
    int dialect = activeDialect(dbApi);
    std::vector<PyObject*> names = columnNames(info, columns);
    names.push_back(filter.get());
    Ref text = Ref::borrow(updateTexts.find(dialect, info.table.get(), names));
    if (!text) {
        std::string sql = "UPDATE ";
        appendIdentifier(sql, utf8(info.table.get()), dialect);
        sql += " SET ";
        for (size_t c = 0; c < columns.size(); ++c) {
            if (c) sql += ",";
            appendIdentifier(sql, utf8(names[c]), dialect);
            sql += " = %s";
        }
        sql += utf8(filter.get());
        sql += ";";
        text = str(sql);
        updateTexts.store(dialect, info.table.get(), std::move(names), text.get());
    }
    Ref statement = Ref::steal(StatementType->tp_alloc(StatementType, 0));
    auto* s = reinterpret_cast<StatementObject*>(statement.get());
    s->base.ops = &statementOps;
    s->base.currentType = SQL_UPDATE;
    s->sql = text.release();
    s->args = PyList_AsTuple(args.get());
    if (!s->args) throwPending();
    return statement;
}

Ref Executor_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(updateSignature, args, nargs, kwnames);
    ModelInfo info(modelOf(self));
    Ref key = rowKey(info, b[0], "update");
    Ref where = keyFilter(info.pkCol.get(), key.get());
    Ref statement = rowUpdateStatement(info, b[0], where.get());
    return completeRowCount(self, statement.get(), "AsyncModelExecutor.update");
}

Ref Executor_updateWhere(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(updateWhereSignature, args, nargs, kwnames);
    ModelInfo info(modelOf(self));
    // Changing every row takes a filter, as deleting every row does: None
    // given by accident must not reach the table.
    std::vector<Ref> elsewhere = filterColumnsElsewhere(info, b[0], false);
    PyObject* join = b.get(2, Py_None);
    int dialect = activeDialect(dbApi);
    JoinPlan plan;
    if (!elsewhere.empty() || join != Py_None) plan = planJoins(info, join, elsewhere, dialect);
    Ref items = setItemsFrom(info, b[1]);
    if (elsewhere.empty()) {
        Ref builder = updateBuilder(info, std::move(items), b[0]);
        return completeRowCount(self, builder.get(), "AsyncModelExecutor.updateWhere");
    }
    if (PyList_GET_SIZE(items.get()) == 0) raise(PyExc_ValueError, "an update needs at least one column to set");
    Ref params = Ref::steal(PyList_New(0));
    std::string sql = "UPDATE " + tableOf(info.model, dialect) + " SET ";
    appendSetItems(sql, items.get(), params.get(), dialect);
    appendChangedKeys(sql, info, plan, b[0], params.get(), "updateWhere", dialect);
    sql += ";";
    Ref builder = newStatement(sql, argumentTuple(params.get()), SQL_UPDATE);
    return completeRowCount(self, builder.get(), "AsyncModelExecutor.updateWhere");
}

Ref Executor_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(deleteSignature, args, nargs, kwnames);
    ModelInfo info(modelOf(self));
    Ref key = rowKey(info, b[0], "delete");
    Ref where = keyFilter(info.pkCol.get(), key.get());
    Ref builder = deleteBuilder(info, where.get());
    return completeRowCount(self, builder.get(), "AsyncModelExecutor.delete");
}

Ref Executor_deleteWhere(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(deleteWhereSignature, args, nargs, kwnames);
    ModelInfo info(modelOf(self));
    // Deleting every row takes an explicit filter; None is refused here.
    std::vector<Ref> elsewhere = filterColumnsElsewhere(info, b[0], false);
    PyObject* join = b.get(1, Py_None);
    int dialect = activeDialect(dbApi);
    JoinPlan plan;
    if (!elsewhere.empty() || join != Py_None) plan = planJoins(info, join, elsewhere, dialect);
    if (elsewhere.empty()) {
        Ref builder = deleteBuilder(info, b[0]);
        return completeRowCount(self, builder.get(), "AsyncModelExecutor.deleteWhere");
    }
    Ref params = Ref::steal(PyList_New(0));
    std::string sql = "DELETE FROM " + tableOf(info.model, dialect);
    appendChangedKeys(sql, info, plan, b[0], params.get(), "deleteWhere", dialect);
    sql += ";";
    Ref builder = newStatement(sql, argumentTuple(params.get()), SQL_DELETE);
    return completeRowCount(self, builder.get(), "AsyncModelExecutor.deleteWhere");
}

// ---------------------------------------------------------------------------
// link and unlink: the rows of a many-to-many relation's middle table
// ---------------------------------------------------------------------------

// The middle-table side of a many-to-many relation of the executor's model.
struct LinkPlan {
    Ref middle;       // middle model
    Ref ownerColumn;  // middle column holding the owner's key
    Ref farColumn;    // middle column holding the far row's key
    Ref ownerKey;     // owner model property the middle refers to
    Ref farKey;       // far model property the middle refers to
    Ref farModel;
};

LinkPlan linkPlan(const ModelInfo& info, PyObject* relation, const char* op) {
    Ref fks = getattr(info.model, names.fk.get());
    if (!PyDict_Check(relation) || !check(PySequence_Contains(fks.get(), relation)))
        raise(PyExc_TypeError, "%s() needs a many-to-many relation of %s (a ForeignKey attribute of the model), got %R",
              op, modelName(info.model), relation);
    Ref manyToMany = foreignTypeMember(names.MANY_TO_MANY.get());
    if (fkEntry(relation, names.Type.get()).get() != manyToMany.get()) {
        Ref name = fkEntry(relation, names.name.get()).ref();
        raise(PyExc_ValueError, "%s(): %s.%S is not a many-to-many relation; %s() writes the links of those only", op,
              modelName(info.model), name.get(), op);
    }
    LinkPlan plan;
    plan.middle = fkEntry(relation, names.target.get()).ref();
    plan.ownerColumn = fkEntry(relation, names.targetBindCol.get()).ref();
    plan.ownerKey = fkEntry(relation, names.bindCol.get()).ref();
    Ref other = callMethod(plan.middle.get(), names.getOtherFkBy.get(), info.model);
    plan.farColumn = fkEntry(other.get(), names.bindCol.get()).ref();
    plan.farKey = fkEntry(other.get(), names.targetBindCol.get()).ref();
    plan.farModel = fkEntry(other.get(), names.target.get()).ref();
    for (PyObject* p : {plan.ownerColumn.get(), plan.farColumn.get(), plan.ownerKey.get(), plan.farKey.get()})
        if (!PyObject_TypeCheck(p, columnsApi->BaseProperty))
            raise(PyExc_TypeError, "%s(): the relation's middle model declares no link columns", op);
    return plan;
}

// The key of one side of a link: the key entry of a row (which must be saved
// already), or a key given as it is.
Ref linkKey(PyObject* item, PyObject* model, PyObject* keyProp, const char* op, const char* what) {
    if (PyDict_Check(item)) {
        Borrowed rowModel = modelOfRow(item);
        if (rowModel && rowModel.get() != model)
            raise(PyExc_TypeError, "%s() takes %s rows of %s here, not a row of %s", op, what, modelName(model),
                  modelName(rowModel.get()));
        Ref name = columnName(keyProp);
        Ref value = dictItem(item, name.get()).ref();
        if (!value || value.get() == Py_None)
            raise(PyExc_ValueError, "%s(): a row of %s without its key %R cannot be linked; save it first", op,
                  modelName(model), name.get());
        return toDB(keyProp, value.get());
    }
    if (item == Py_None) raise(PyExc_ValueError, "%s(): None is not a key of %s", op, modelName(model));
    return toDB(keyProp, item);
}

// The far keys of `others`: one row or key, or an iterable of them.
Ref farKeys(const LinkPlan& plan, PyObject* others, const char* op) {
    Ref keys = Ref::steal(PyList_New(0));
    auto add = [&](PyObject* item) {
        check(PyList_Append(keys.get(), linkKey(item, plan.farModel.get(), plan.farKey.get(), op, "other").get()));
    };
    Ref it;
    if (!PyDict_Check(others) && !PyUnicode_Check(others) && !PyBytes_Check(others)) {
        it = Ref::stealOrNull(PyObject_GetIter(others));
        if (!it) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throwPending();
            PyErr_Clear();  // not iterable: a single key
        }
    }
    if (!it) {
        add(others);
        return keys;
    }
    while (Ref item = Ref::stealOrNull(PyIter_Next(it.get()))) add(item.get());
    checkError();
    return keys;
}

Ref relationWrite(PyObject* self, PyObject* row, PyObject* relation, PyObject* others, bool add) {
    const char* op = add ? "link" : "unlink";
    const char* qualname = add ? "AsyncModelExecutor.link" : "AsyncModelExecutor.unlink";
    ModelInfo info(modelOf(self));
    requireRowOf(info, row, op);
    LinkPlan plan = linkPlan(info, relation, op);
    Ref owner = linkKey(row, info.model, plan.ownerKey.get(), op, "linked");
    Ref keys = farKeys(plan, others, op);
    Py_ssize_t n = PyList_GET_SIZE(keys.get());
    if (n == 0) return immediate(self, integer(0), qualname);
    int dialect = activeDialect(dbApi);
    std::string middle = tableOf(plan.middle.get(), dialect);
    std::string ownerColumn, farColumn;
    appendIdentifier(ownerColumn, utf8(columnName(plan.ownerColumn.get()).get()), dialect);
    appendIdentifier(farColumn, utf8(columnName(plan.farColumn.get()).get()), dialect);
    Ref builder;
    if (add) {
        // A link that exists already is skipped, so the middle table never
        // holds a pair twice; each pair is one run of the statement.
        std::string sql = "INSERT INTO " + middle + " (" + ownerColumn + "," + farColumn + ") SELECT %s,%s" +
                          (dialect == DIALECT_MYSQL ? " FROM DUAL" : "") + " WHERE NOT EXISTS (SELECT 1 FROM " + middle +
                          " WHERE " + ownerColumn + " = %s AND " + farColumn + " = %s);";
        Ref runs = Ref::steal(PyList_New(n));
        // `keys` and `runs` are this function's own: no Python code runs here.
        for (Py_ssize_t i = 0; i < n; ++i) {
            Borrowed far = listItem(keys.get(), i);
            PyList_SET_ITEM(runs.get(), i, tupleOf({owner.get(), far.get(), owner.get(), far.get()}).release());
        }
        Ref params = n == 1 ? Ref::steal(PySequence_Tuple(listItem(runs.get(), 0).get())) : std::move(runs);
        builder = newStatement(sql, std::move(params), SQL_INSERT);
    } else {
        std::string sql = "DELETE FROM " + middle + " WHERE " + ownerColumn + " = %s AND " + farColumn + " IN (" +
                          placeholders(n) + ");";
        Ref params = Ref::steal(PyTuple_New(n + 1));
        PyTuple_SET_ITEM(params.get(), 0, owner.newRef());
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(params.get(), i + 1, listItem(keys.get(), i).ref().release());
        builder = newStatement(sql, std::move(params), SQL_DELETE);
    }
    return completeRowCount(self, builder.get(), qualname);
}

Ref Executor_link(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(linkSignature, args, nargs, kwnames);
    return relationWrite(self, b[0], b[1], b[2], true);
}

Ref Executor_unlink(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(unlinkSignature, args, nargs, kwnames);
    return relationWrite(self, b[0], b[1], b[2], false);
}

Ref Executor_findListForeignKey(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(findFkSignature, args, nargs, kwnames);
    Ref rows = rowsArgument(b[0]);
    // None: every relation of the model, one level.
    Ref model = modelOf(self).ref();
    Ref steps = relationSteps(model.get(), !b[1] || b[1] == Py_None ? Py_True : b[1], "relations");
    if (!steps) steps = Ref::steal(PyList_New(0));
    if (isAsyncExecutor(self))
        return toPython(loadRelationsAsync(Ref::borrow(self), std::move(rows), std::move(steps), Ref()),
                        "AsyncModelExecutor.findListForeignKey");
    loadRelationsBlocking(self, rows.get(), steps.get());
    return Ref::none();
}

// ===========================================================================
// Native table
// ===========================================================================

OverrideSet<2> overrides{{"run", "handleResult"}};

Ref runNative(PyObject* self) { return startExecutor(self); }

PyObject* op_run(PyObject* self) {
    return entry([&] {
        if (overrides.overridden(self, 0)) return callMethod(self, overrides.name(0));
        return runNative(self);
    });
}

// The executor's own handleResult override, run on the executor itself for
// the statement of `runner`: for the length of the call the executor shows
// that statement's builder and result mode (so `super().handleResult(raw)`
// shapes it), then gets its own back.
Ref ownerHandleResult(PyObject* runner, PyObject* ownerObject, PyObject* raw) {
    Ref owner = Ref::borrow(ownerObject);
    Ref keepRunner = Ref::borrow(runner);
    auto exchange = [](BaseModelExecutorObject* a, BaseModelExecutorObject* b) noexcept {
        std::swap(a->sqlBuilder, b->sqlBuilder);
        std::swap(a->resultMode, b->resultMode);
        std::swap(a->rowCount, b->rowCount);
    };
    struct Exchanged {
        BaseModelExecutorObject *a, *b;
        void (*exchange)(BaseModelExecutorObject*, BaseModelExecutorObject*) noexcept;
        ~Exchanged() { exchange(a, b); }
    };
    exchange(asExecutor(owner.get()), asExecutor(runner));
    Exchanged back{asExecutor(owner.get()), asExecutor(runner), exchange};
    return callMethod(owner.get(), overrides.name(1), raw);
}

PyObject* op_handleResult(PyObject* self, PyObject* raw) {
    return entry([&] {
        if (isRunner(self)) {
            Borrowed owner(reinterpret_cast<RunnerObject*>(self)->owner);  // held at once by ownerHandleResult
            if (owner && overrides.overridden(owner.get(), 1)) return ownerHandleResult(self, owner.get(), raw);
            return handleResultNative(self, raw);
        }
        if (overrides.overridden(self, 1)) return callMethod(self, overrides.name(1), raw);
        return handleResultNative(self, raw);
    });
}

const BaseModelExecutorOps baseOps = {op_run, op_handleResult};

// ===========================================================================
// iterate(): rows streamed in batches
//
// The select of find() runs once, on one cursor of the connector (a
// RowStream), which hands over `batchSize` rows per fetch.  Each batch
// becomes model rows exactly as find()'s result does (the statement runner's
// handleResult, so an executor's override applies), its relations are loaded
// for that batch, and the iterator gives the rows out one by one: only one
// batch is held at a time.  RowIterator serves blocking executors,
// AsyncRowIterator (`async for`) awaited ones.  Closing the iterator, or
// dropping it, releases the cursor.
// ===========================================================================

struct RowIteratorObject {
    PyObject_HEAD
    PyObject* owner;   // the executor
    PyObject* runner;  // shapes each batch as find() shapes its rows
    PyObject* stream;  // the connector's RowStream
    PyObject* steps;   // the relations to load per batch, or None
    PyObject* batch;   // the rows of the current batch, or None
    Py_ssize_t index;  // the next row of `batch` to give out
    Py_ssize_t batchSize;
    int finished;      // the stream has given its last batch (or was closed)
    int busy;          // a batch is being fetched
};

const size_t rowIteratorOffsets[] = {offsetof(RowIteratorObject, owner), offsetof(RowIteratorObject, runner),
                                     offsetof(RowIteratorObject, stream), offsetof(RowIteratorObject, steps),
                                     offsetof(RowIteratorObject, batch)};
const FieldList rowIteratorFields{rowIteratorOffsets, 5};

PyTypeObject* RowIteratorType = nullptr;
PyTypeObject* AsyncRowIteratorType = nullptr;

RowIteratorObject* asIterator(PyObject* o) { return reinterpret_cast<RowIteratorObject*>(o); }

PyObject* fetchName() {
    static const Leaked name = interned("fetch");
    return name.get();
}
PyObject* closeName() {
    static const Leaked name = interned("close");
    return name.get();
}

// Marks the iterator as fetching for the life of the object.
class Fetching {
public:
    explicit Fetching(RowIteratorObject* it) : it_(it) {
        if (it->busy) raise(PyExc_RuntimeError, "the iterator is already fetching its next rows");
        it->busy = 1;
    }
    ~Fetching() { it_->busy = 0; }
    Fetching(const Fetching&) = delete;
    Fetching& operator=(const Fetching&) = delete;

private:
    RowIteratorObject* it_;
};

// The next buffered row (a new reference), or null when the batch is used up.
PyObject* bufferedRow(RowIteratorObject* it) {
    if (it->batch == Py_None) return nullptr;
    if (it->index < PyList_GET_SIZE(it->batch)) return listItem(it->batch, it->index++).ref().release();
    assignField(it->batch, Py_None);
    return nullptr;
}

// A fetched batch (dicts) as model rows; null when the stream had none left.
Ref batchRows(RowIteratorObject* it, PyObject* dicts) {
    if (!PyList_Check(dicts)) raise(PyExc_TypeError, "the row stream gave %.200s, not a list", typeName(dicts));
    Py_ssize_t got = PyList_GET_SIZE(dicts);
    if (got < it->batchSize) it->finished = 1;
    if (got == 0) return Ref();
    Ref runner = Ref::borrow(it->runner);
    Ref rows = Ref::steal(op_handleResult(runner.get(), dicts));
    if (!PyList_Check(rows.get())) rows = Ref::steal(PySequence_List(rows.get()));
    return rows;
}

void takeBatch(RowIteratorObject* it, Ref rows) {
    assignField(it->batch, std::move(rows));
    it->index = 0;
}

// --- blocking ---------------------------------------------------------------

PyObject* RowIterator_next(PyObject* selfObj) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref self = Ref::borrow(selfObj);
        auto* it = asIterator(selfObj);
        for (;;) {
            if (PyObject* row = bufferedRow(it)) return row;
            if (it->finished) return nullptr;  // exhausted, no error
            Fetching fetching(it);
            Ref stream = Ref::borrow(it->stream);
            Ref size = integer(it->batchSize);
            Ref dicts;
            try {
                dicts = callMethod(stream.get(), fetchName(), size.get());
            } catch (PyError&) {
                it->finished = 1;
                throw;
            }
            Ref rows = batchRows(it, dicts.get());
            if (!rows) continue;
            if (it->steps != Py_None) {
                Ref owner = Ref::borrow(it->owner);
                Ref steps = Ref::borrow(it->steps);
                loadRelationsBlocking(owner.get(), rows.get(), steps.get());
            }
            takeBatch(it, std::move(rows));
        }
    });
}

// Ends the iteration and releases the cursor; what the stream's close()
// returns (an awaitable on the asyncio connectors).
Ref closeIterator(PyObject* self) {
    auto* it = asIterator(self);
    if (it->busy) raise(PyExc_RuntimeError, "the iterator cannot close while it fetches its next rows");
    it->finished = 1;
    assignField(it->batch, Py_None);
    Ref stream = Ref::borrow(it->stream);
    return callMethod(stream.get(), closeName());
}

Ref RowIterator_close(PyObject* self) {
    closeIterator(self);
    return Ref::none();
}
Ref RowIterator_enter(PyObject* self) { return Ref::borrow(self); }
Ref RowIterator_exit(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    closeIterator(self);
    return Ref::borrow(Py_False);
}

// --- awaited ----------------------------------------------------------------

[[noreturn]] void endAsyncIteration() {
    PyErr_SetNone(PyExc_StopAsyncIteration);
    throwPending();
}

Coro nextRowAwaited(Ref self) {
    auto* it = asIterator(self.get());
    for (;;) {
        if (PyObject* row = bufferedRow(it)) co_return Ref::steal(row);
        if (it->finished) endAsyncIteration();
        Fetching fetching(it);
        Local dicts;
        {
            Ref size = integer(it->batchSize);
            Ref stream = Ref::borrow(it->stream);
            Ref started = callMethod(stream.get(), fetchName(), size.get());
            try {
                dicts = co_await awaitPy(std::move(started));
            } catch (PyError&) {
                it->finished = 1;
                throw;
            }
        }
        Local rows = batchRows(it, dicts.get());
        if (!rows) continue;
        if (it->steps != Py_None) {
            Ref loading = toPython(loadRelationsAsync(Borrowed(it->owner).ref(), Ref::borrow(rows.get()),
                                                      Borrowed(it->steps).ref(), Ref()),
                                   "AsyncModelExecutor.findListForeignKey");
            co_await awaitPy(std::move(loading));
        }
        takeBatch(it, rows.take());
    }
}

PyObject* AsyncRowIterator_anext(PyObject* selfObj) noexcept {
    return entry([&] { return toPython(nextRowAwaited(Ref::borrow(selfObj)), "AsyncRowIterator.__anext__"); });
}

Ref AsyncRowIterator_aclose(PyObject* self) { return closeIterator(self); }
Ref AsyncRowIterator_aenter(PyObject* self) { return toPython(ready(Ref::borrow(self)), "AsyncRowIterator.__aenter__"); }
Ref AsyncRowIterator_aexit(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) { return closeIterator(self); }

// --- iterate() --------------------------------------------------------------

const Signature<5> iterateSignature{"iterate", {"where", "orderBy", "batchSize", "loadForeign", "join"}, 0};

Ref Executor_iterate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(iterateSignature, args, nargs, kwnames);
    Py_ssize_t size = 500;
    if (PyObject* given = b[2]) {
        if (PyBool_Check(given) || !PyLong_Check(given))
            raise(PyExc_TypeError, "batchSize must be a whole number, not %.200s", typeName(given));
        size = PyLong_AsSsize_t(given);
        if (size == -1 && PyErr_Occurred()) throwPending();
        if (size < 1) raise(PyExc_ValueError, "batchSize must be at least 1");
    }
    ModelInfo info(modelOf(self));
    Ref builder = findStatement(info, b.get(0, Py_None), b.get(1, Py_None), Py_None, Py_None, b.get(4, Py_None),
                                Py_False);
    Ref steps = relationSteps(info.model, b[3], "loadForeign");
    Ref connector = requireConnector(dbApi);
    bool awaited = isAsyncExecutor(self);
    if (awaited != (reinterpret_cast<BaseConnectorObject*>(connector.get())->isAsync != 0))
        raise(PyExc_TypeError, awaited ? "an AsyncModelExecutor needs an asyncio connector to iterate()"
                                       : "a ModelExecutor needs a blocking connector to iterate()");
    Ref statement = Ref::steal(generatorOps(builder.get())->Build(builder.get()));
    if (!PyTuple_Check(statement.get()) || PyTuple_GET_SIZE(statement.get()) != 2)
        raise(PyExc_TypeError, "the statement builder gave %.200s, not (sql, args)", typeName(statement.get()));
    Ref runner = newRunner(self, builder.get(), RESULT_ROWS);
    Ref work = Borrowed(asExecutor(self)->work).ref();
    Ref stream;
    {
        static const Leaked openRows = interned("_openRows");
        Ref op = getattr(connector.get(), openRows.get());
        static const Leaked interleaved = interned("interleaved");
        Ref kwnames = tupleOf({names.args.get(), names.con.get(), interleaved.get()});
        PyObject* argv[] = {tupleItem(statement.get(), 0).get(), tupleItem(statement.get(), 1).get(), work.get(),
                            steps ? Py_True : Py_False};
        stream = Ref::steal(PyObject_Vectorcall(op.get(), argv, 1, kwnames.get()));
    }
    PyTypeObject* type = awaited ? AsyncRowIteratorType : RowIteratorType;
    auto* it = PyObject_GC_New(RowIteratorObject, type);
    if (!it) throwPending();
    it->owner = Py_NewRef(self);
    it->runner = runner.release();
    it->stream = stream.release();
    it->steps = steps ? steps.release() : Py_NewRef(Py_None);
    it->batch = Py_NewRef(Py_None);
    it->index = 0;
    it->batchSize = size;
    it->finished = 0;
    it->busy = 0;
    PyObject_GC_Track((PyObject*)it);
    return Ref::steal((PyObject*)it);
}

PyMethodDef rowIteratorMethods[] = {
    Q_NOARGS("close", RowIterator_close, "close() -> None; ends the iteration and releases the cursor"),
    Q_NOARGS("__enter__", RowIterator_enter, "__enter__() -> the iterator"),
    Q_FAST("__exit__", RowIterator_exit, "__exit__(*exc) -> False; closes the iterator"),
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef asyncRowIteratorMethods[] = {
    Q_NOARGS("aclose", AsyncRowIterator_aclose, "aclose() -> awaitable; ends the iteration and releases the cursor"),
    Q_NOARGS("__aenter__", AsyncRowIterator_aenter, "__aenter__() -> awaitable of the iterator"),
    Q_FAST("__aexit__", AsyncRowIterator_aexit, "__aexit__(*exc) -> awaitable; closes the iterator"),
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot rowIteratorSlots[] = {
    {Py_tp_iter, (void*)PyObject_SelfIter},
    {Py_tp_iternext, (void*)RowIterator_next},
    {Py_tp_methods, rowIteratorMethods},
    {Py_tp_traverse, (void*)traverseObject<rowIteratorFields>},
    {Py_tp_clear, (void*)clearObject<rowIteratorFields>},
    {Py_tp_dealloc, (void*)deallocObject<rowIteratorFields>},
    {Py_tp_doc, (void*)"The rows of iterate(), fetched in batches from one cursor; close() releases it."},
    {0, nullptr},
};
PyType_Slot asyncRowIteratorSlots[] = {
    {Py_am_aiter, (void*)PyObject_SelfIter},
    {Py_am_anext, (void*)AsyncRowIterator_anext},
    {Py_tp_methods, asyncRowIteratorMethods},
    {Py_tp_traverse, (void*)traverseObject<rowIteratorFields>},
    {Py_tp_clear, (void*)clearObject<rowIteratorFields>},
    {Py_tp_dealloc, (void*)deallocObject<rowIteratorFields>},
    {Py_tp_doc, (void*)"The rows of iterate() for `async for`, fetched in batches from one cursor; aclose() "
                       "releases it."},
    {0, nullptr},
};


// ===========================================================================
// Types
// ===========================================================================

const size_t executorFieldOffsets[] = {offsetof(BaseModelExecutorObject, model),
                                      offsetof(BaseModelExecutorObject, sqlBuilder),
                                      offsetof(BaseModelExecutorObject, work)};
const FieldList executorFields{executorFieldOffsets, 3};

const Signature<2> newSignature{"BaseModelExecutor", {"model", "work"}, 1};

// An executor starts out serving no model; __init__ (the native one, or a
// subclass's through super().__init__) gives it its model and unit of work.
// Arguments are left to __init__, so a subclass may take its own.
PyObject* Executor_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    return entry([&] {
        if (!generatorApi->newSqlGenerator) raise(PyExc_ImportError, "the statement builder is not available");
        Ref builder = Ref::steal(generatorApi->newSqlGenerator());
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        auto* ex = asExecutor(self.get());
        ex->ops = &baseOps;
        ex->model = Py_NewRef(Py_None);
        ex->work = Py_NewRef(Py_None);
        ex->sqlBuilder = builder.release();
        ex->resultMode = RESULT_ROWS;
        ex->rowCount = -1;
        return self;
    });
}

int Executor_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return boundary(-1, [&] {
        auto b = bind(newSignature, args, kwargs);
        auto* ex = asExecutor(self);
        assignField(ex->model, b[0]);
        assignField(ex->work, b.get(1, Py_None));
        // The builder targets the model's table: callers that drive it (the
        // pager) never call From.
        if (b[0] != Py_None && PyObject_TypeCheck(ex->sqlBuilder, generatorApi->SqlGenerator)) {
            Ref table = Ref::stealOrNull(PyObject_GetAttr(b[0], names.tableName.get()));
            if (!table) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) throwPending();
                PyErr_Clear();
            } else {
                assignField(asBuilder(ex->sqlBuilder)->target, std::move(table));
            }
        }
        return 0;
    });
}

Ref Executor_handleResult(PyObject* self, PyObject* raw) { return handleResultNative(self, raw); }

Ref Executor_execute(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("execute", nargs, kwnames);
    return Ref::steal(asExecutor(self)->ops->run(self));
}

PyMethodDef executorMethods[] = {
    Q_ONEARG("handleResult", Executor_handleResult,
             "handleResult(raw) -> the executor's result for the raw result of its statement"),
    Q_FAST("execute", Executor_execute, "execute() -> runs the statement recorded on sqlBuilder"),
    Q_FAST("find", Executor_find,
           "find(where=None, orderBy=None, limit=None, offset=None, loadForeign=False, forUpdate=False, join=None)\n"
           "-> InstanceList of rows; the filter may name columns of related models (each row comes once), join=\n"
           "names the relations; forUpdate locks the rows until the transaction ends (MySQL)"),
    Q_FAST("first", Executor_first,
           "first(where=None, orderBy=None, loadForeign=False, forUpdate=False, join=None) -> the first row or None"),
    Q_FAST("get", Executor_get,
           "get(key, loadForeign=False, forUpdate=False) -> the row with that primary key, or None"),
    Q_FAST("count", Executor_count, "count(where=None, join=None) -> the number of matching rows"),
    Q_FAST("exists", Executor_exists, "exists(where=None, join=None) -> whether any row matches"),
    Q_FAST("values", Executor_values,
           "values(*columns, where=None, groupBy=None, having=None, orderBy=None, limit=None, offset=None,\n"
           "distinct=False, join=None) -> list of tuples of the columns (properties and aggregates), each value in\n"
           "its Python form"),
    Q_FAST("sum", Executor_sum, "sum(col, where=None, join=None) -> the sum of the column over the matching rows"),
    Q_FAST("avg", Executor_avg, "avg(col, where=None, join=None) -> the average, or None over no rows"),
    Q_FAST("min", Executor_min, "min(col, where=None, join=None) -> the smallest value, or None over no rows"),
    Q_FAST("max", Executor_max, "max(col, where=None, join=None) -> the largest value, or None over no rows"),
    Q_FAST("save", Executor_save,
           "save(row) -> inserts the row and returns its key; columns the row left to database defaults are\n"
           "left out, and a key the database generates is stored in the row"),
    Q_FAST("upsert", Executor_upsert,
           "upsert(row, conflict=None) -> inserts the row, or where its key (conflict=None) or the named unique\n"
           "columns match a stored row, updates that row's other columns; the stored row's key, also stored in the row"),
    Q_FAST("insertMany", Executor_insertMany,
           "insertMany(rows) -> inserts all rows, all or none, one statement run per set of written columns;\n"
           "their count.  Where the database reports them, each generated key is stored in its row"),
    Q_FAST("update", Executor_update, "update(row) -> writes the columns of the row, found by its key; the number of rows changed"),
    Q_FAST("updateWhere", Executor_updateWhere,
           "updateWhere(where, values, join=None) -> sets {name: value} (or [(column, value), ...]) on matching rows;\n"
           "a value may be an expression of the row's columns (Item.stock - 1); their number"),
    Q_FAST("delete", Executor_delete, "delete(row) -> deletes the row, found by its key; the number of rows deleted"),
    Q_FAST("deleteWhere", Executor_deleteWhere, "deleteWhere(where, join=None) -> deletes the matching rows; their number"),
    Q_FAST("link", Executor_link,
           "link(row, relation, others) -> links the row with other rows (or keys) through a many-to-many\n"
           "relation of the model; links that exist are skipped; the number of links added"),
    Q_FAST("unlink", Executor_unlink,
           "unlink(row, relation, others) -> removes the links of the row with other rows (or keys); the number removed"),
    Q_FAST("iterate", Executor_iterate,
           "iterate(where=None, orderBy=None, batchSize=500, loadForeign=False, join=None) -> an iterator of the\n"
           "rows find() gives (an async iterator on asyncio connectors), fetched batchSize at a time from one\n"
           "cursor; close() / aclose() or a with block release the cursor early"),
    Q_FAST("findListForeignKey", Executor_findListForeignKey,
           "findListForeignKey(rows, relations=None) -> loads the relations of the rows (None: every relation of\n"
           "the model; or a relation, or a sequence of relations that may go on through related models),\n"
           "one query per relation"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef executorGetSet[] = {
    Q_GETTER("model", fieldGetter<offsetof(BaseModelExecutorObject, model)>, "the model class the executor serves"),
    Q_GETTER("sqlBuilder", fieldGetter<offsetof(BaseModelExecutorObject, sqlBuilder)>,
             "the statement builder of the executor"),
    Q_GETTER("work", fieldGetter<offsetof(BaseModelExecutorObject, work)>,
             "the connection the executor was given, or None"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot baseSlots[] = {
    {Py_tp_new, (void*)Executor_new},
    {Py_tp_init, (void*)Executor_init},
    {Py_tp_dealloc, (void*)deallocObject<executorFields>},
    {Py_tp_traverse, (void*)traverseObject<executorFields>},
    {Py_tp_clear, (void*)clearObject<executorFields>},
    {Py_tp_methods, executorMethods},
    {Py_tp_getset, executorGetSet},
    {Py_tp_doc, (void*)"Runs one model's statements over one unit of work."},
    {0, nullptr},
};
PyType_Slot blockingSlots[] = {
    {Py_tp_doc, (void*)"Executor whose operations run blocking (blocking connectors)."},
    {0, nullptr},
};
PyType_Slot asyncSlots[] = {
    {Py_tp_doc, (void*)"Executor whose operations return awaitables (asyncio connectors)."},
    {0, nullptr},
};
PyType_Slot runnerSlots[] = {
    {Py_tp_dealloc, (void*)deallocObject<runnerFields>},
    {Py_tp_traverse, (void*)traverseObject<runnerFields>},
    {Py_tp_clear, (void*)clearObject<runnerFields>},
    {Py_tp_doc, (void*)"Runs one statement of an executor's operation."},
    {0, nullptr},
};
PyType_Slot statementSlots[] = {
    {Py_tp_dealloc, (void*)deallocObject<statementFields>},
    {Py_tp_traverse, (void*)traverseObject<statementFields>},
    {Py_tp_clear, (void*)clearObject<statementFields>},
    {0, nullptr},
};

constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE;
// Derived specs leave out HAVE_GC: CPython inherits it with the base's traverse.
constexpr unsigned kDerivedFlags = kFlags & ~Py_TPFLAGS_HAVE_GC;
constexpr unsigned kInternalFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
PyType_Spec baseSpec = {"Quillon.Model.Executors.BaseModelExecutor", sizeof(BaseModelExecutorObject), 0, kFlags,
                        baseSlots};
PyType_Spec blockingSpec = {"Quillon.Model.Executors.ModelExecutor", sizeof(BaseModelExecutorObject), 0,
                            kDerivedFlags, blockingSlots};
PyType_Spec asyncSpec = {"Quillon.Model.Executors.AsyncModelExecutor", sizeof(BaseModelExecutorObject), 0,
                         kDerivedFlags, asyncSlots};
PyType_Spec blockingRunnerSpec = {"Quillon.Model.Executors.StatementRunner", sizeof(RunnerObject), 0,
                                  kInternalFlags, runnerSlots};
PyType_Spec asyncRunnerSpec = {"Quillon.Model.Executors.AsyncStatementRunner", sizeof(RunnerObject), 0,
                               kInternalFlags, runnerSlots};
PyType_Spec rowIteratorSpec = {"Quillon.Model.Executors.RowIterator", sizeof(RowIteratorObject), 0, kInternalFlags,
                               rowIteratorSlots};
PyType_Spec asyncRowIteratorSpec = {"Quillon.Model.Executors.AsyncRowIterator", sizeof(RowIteratorObject), 0,
                                    kInternalFlags, asyncRowIteratorSlots};
PyType_Spec statementSpec = {"Quillon.Model.Executors.Statement", sizeof(StatementObject), 0, kInternalFlags,
                             statementSlots};

ExecutorsApi api;

void internNames() {
    names.executor = interned("executor");
    names.con = interned("con");
    names.args = interned("args");
    names.dictCur = interned("dictCur");
    names.tableName = interned("tableName");
    names.pkCol = interned("pkCol");
    names.pkName = interned("pkName");
    names.col = interned("col");
    names.fk = interned("fk");
    names.mapping = interned("mapping");
    names.name = interned("name");
    names.value = interned("value");
    names.target = interned("target");
    names.bindCol = interned("bindCol");
    names.targetBindCol = interned("targetBindCol");
    names.Type = interned("Type");
    names.middleModel = interned("middleModel");
    names.owner = interned("owner");
    names.getOtherFkBy = interned("getOtherFkBy");
    names.ONE_TO_ONE = interned("ONE_TO_ONE");
    names.ONE_TO_MANY = interned("ONE_TO_MANY");
    names.MANY_TO_MANY = interned("MANY_TO_MANY");
    names.object = interned("object");
    names.getCon = interned("getCon");
    names.in_transaction = interned("in_transaction");
    names.beginTransaction = interned("_beginTransaction");
    names.endTransaction = interned("_endTransaction");
    names.dunderDict = interned("__dict__");
}

// An internal type of the module (not one of its attributes); it lives as
// long as the process, like the module's own types.
PyTypeObject* internalType(PyObject* module, PyType_Spec* spec, PyTypeObject* base) {
    Ref bases = tupleOf({(PyObject*)base});
    return (PyTypeObject*)Ref::steal(PyType_FromModuleAndSpec(module, spec, bases.get())).release();
}

void exec(PyObject* module) {
    initCoroutines(module);
    internNames();
    BaseModelExecutorType = addType(module, &baseSpec);
    ModelExecutorType = addType(module, &blockingSpec, BaseModelExecutorType);
    AsyncModelExecutorType = addType(module, &asyncSpec, BaseModelExecutorType);
    BlockingRunnerType = internalType(module, &blockingRunnerSpec, ModelExecutorType);
    AsyncRunnerType = internalType(module, &asyncRunnerSpec, AsyncModelExecutorType);
    RowIteratorType = addType(module, &rowIteratorSpec);
    AsyncRowIteratorType = addType(module, &asyncRowIteratorSpec);
    api.BaseModelExecutor = BaseModelExecutorType;
    api.ModelExecutor = ModelExecutorType;
    api.AsyncModelExecutor = AsyncModelExecutorType;
    api.baseOps = &baseOps;
    publish(module, &api, kExecutorsCapsule);

    generatorApi = bindApi<GeneratorApi>("Quillon.DB.Generator", kGeneratorCapsule);
    columnsApi = bindApi<ColumnsApi>("Quillon.Model.Columns", kColumnsCapsule);
    dbApi = bindApi<DBApi>("Quillon.DB.DB", kDBCapsule);
    entityApi = bindApi<EntityApi>("Quillon.Model.Entity", kEntityCapsule);
    connectorApi = bindApi<ConnectorApi>("Quillon.DB.Connector", kConnectorCapsule);
    Ref columnsModule = importModule("Quillon.Model.Columns");
    names.Sum = getattr(columnsModule.get(), "Sum");
    names.Avg = getattr(columnsModule.get(), "Avg");
    names.Min = getattr(columnsModule.get(), "Min");
    names.Max = getattr(columnsModule.get(), "Max");

    StatementType = internalType(module, &statementSpec, generatorApi->BaseSqlGenerator);
}

PyModuleDef_Slot moduleSlots[] = {
    Q_MODULE_SLOTS(exec),
    {0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "Quillon.Model.Executors",
                         "Model executors: the query API of a model, blocking and awaited.", 0, nullptr, moduleSlots,
                         nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Executors() { return PyModuleDef_Init(&moduleDef); }
