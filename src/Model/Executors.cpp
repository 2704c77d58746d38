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
        in_transaction, beginTransaction, endTransaction;
} names;

BaseModelExecutorObject* asExecutor(PyObject* o) { return reinterpret_cast<BaseModelExecutorObject*>(o); }
SqlGeneratorObject* asBuilder(PyObject* o) { return reinterpret_cast<SqlGeneratorObject*>(o); }
BasePropertyObject* asProperty(PyObject* o) { return reinterpret_cast<BasePropertyObject*>(o); }
bool isAsyncExecutor(PyObject* self) { return PyObject_TypeCheck(self, AsyncModelExecutorType); }

// ===========================================================================
// The model's declaration
// ===========================================================================

// What an operation needs to know of its model, read once per operation.
struct ModelInfo {
    PyObject* model;
    Ref table;   // str
    Ref pkCol;   // property or a false value
    Ref pkName;  // str or None
    Ref cols;    // list of properties

    explicit ModelInfo(PyObject* m) : model(m) {
        table = getattr(m, names.tableName.get());
        if (!PyUnicode_Check(table.get())) raise(PyExc_TypeError, "model %R has no table name", m);
        pkCol = getattr(m, names.pkCol.get());
        pkName = getattr(m, names.pkName.get());
        cols = getattr(m, names.col.get());
        if (!PyList_Check(cols.get())) raise(PyExc_TypeError, "model %R has no column list", m);
    }
    bool hasKey() const { return pkCol.get() != Py_None && PyObject_TypeCheck(pkCol.get(), columnsApi->BaseProperty); }
    PyObject* requireKey(const char* op) const {
        if (!hasKey()) raise(PyExc_TypeError, "%s() needs a primary key, and model %R declares none", op, model);
        return pkCol.get();
    }
    // The column at `index` of the column list (held by the caller's Ref).
    Ref column(Py_ssize_t index) const {
        if (index >= PyList_GET_SIZE(cols.get())) raise(PyExc_RuntimeError, "the column list of %R changed", model);
        return Ref::borrow(PyList_GET_ITEM(cols.get(), index));
    }
};

Ref toDB(PyObject* prop, PyObject* value) { return Ref::steal(columnsApi->propertyOps->toDBValue(prop, value)); }
Ref toObj(PyObject* prop, PyObject* value) { return Ref::steal(columnsApi->propertyOps->toObjValue(prop, value)); }

// The column property of `model` called `key` (a name or a property of it).
PyObject* columnOf(const ModelInfo& info, PyObject* key) {
    Py_ssize_t n = PyList_GET_SIZE(info.cols.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* prop = PyList_GET_ITEM(info.cols.get(), i);
        if (prop == key) return prop;
        PyObject* name = asProperty(prop)->name;
        if (PyUnicode_Check(key) && PyUnicode_Check(name) && PyUnicode_Compare(name, key) == 0) return prop;
    }
    raise(PyExc_KeyError, "%R is not a column of %R", key, info.model);
}

Ref keyFilter(PyObject* pkCol, PyObject* value) {
    return Ref::steal(columnsApi->propertyOps->setFilter(pkCol, value, REL_EQ));
}

// A filter argument: a chain on the model's own columns (or None where allowed).
void requireFilter(const ModelInfo& info, PyObject* where, bool noneOk = true) {
    if (noneOk && where == Py_None) return;
    if (!PyObject_TypeCheck(where, columnsApi->FilterListCell))
        raiseArgType("where", noneOk ? "FilterListCell or None" : "FilterListCell", where);
    requireOwnColumns(columnsApi, info.model, where);
}

PyObject* fkEntry(PyObject* fk, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(fk, key);
    if (!v) {
        checkError();
        return Py_None;
    }
    return v;
}

Ref foreignTypeMember(PyObject* name) { return getattr(columnsApi->ForeignType, name); }

// ===========================================================================
// Rows given to writes
// ===========================================================================

// The model of a model row (its row class's `object`); null for a plain dict.
PyObject* modelOfRow(PyObject* row) {
    if (!PyObject_TypeCheck(row, entityApi->ModelInstance)) return nullptr;
    return _PyType_Lookup(Py_TYPE(row), names.object.get());
}

// A row argument of `op`: a dict, and a row of the executor's model when it
// is a model row at all.
void requireRowOf(const ModelInfo& info, PyObject* row, const char* op, const char* arg = "row") {
    if (!PyDict_Check(row)) raiseArgType(arg, "ModelInstance", row);
    PyObject* model = modelOfRow(row);
    if (model && model != info.model)
        raise(PyExc_TypeError, "%s() of the %s executor takes rows of %s, not a row of %s", op, modelName(info.model),
              modelName(info.model), modelName(model));
}

// The relation entries of the model's rows: (entry name, many-to-many).
std::vector<std::pair<Ref, bool>> relationEntries(const ModelInfo& info) {
    std::vector<std::pair<Ref, bool>> out;
    Ref fks = getattr(info.model, names.fk.get());
    Ref seq = Ref::steal(PySequence_Fast(fks.get(), "fk must be a list"));
    Ref manyToMany = foreignTypeMember(names.MANY_TO_MANY.get());
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        Ref fk = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (!PyDict_Check(fk.get())) continue;
        Ref name = Ref::borrow(fkEntry(fk.get(), names.name.get()));
        if (!PyUnicode_Check(name.get())) continue;
        bool many = fkEntry(fk.get(), names.Type.get()) == manyToMany.get();
        out.emplace_back(std::move(name), many);
    }
    return out;
}

// Refuses a row that carries related rows: writes store the row's columns
// only, and dropping what the row says about its relations would lose it.
void refuseRelationValues(const ModelInfo& info, const std::vector<std::pair<Ref, bool>>& relations, PyObject* row,
                          const char* op) {
    for (const auto& [name, manyToMany] : relations) {
        Ref value = Ref::borrow(PyDict_GetItemWithError(row, name.get()));
        if (!value) {
            checkError();
            continue;
        }
        if (value.get() == Py_None || !truthy(value.get())) continue;
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
// the written columns (borrowed: valid until Python code runs).
struct InsertPlan {
    std::vector<Py_ssize_t> columns;
    std::vector<PyObject*> values;
    std::vector<Py_ssize_t> leftOut;  // non-key columns left to their default
    bool keyLeftOut = false;          // the database generates the key
};

void planInsert(const ModelInfo& info, PyObject* row, const char* op, InsertPlan& plan) {
    plan.columns.clear();
    plan.values.clear();
    plan.leftOut.clear();
    plan.keyLeftOut = false;
    PyObject* defaulted = defaultedColumns(row);
    Py_ssize_t n = PyList_GET_SIZE(info.cols.get());
    // Only lookups of str keys below: no Python code runs in this loop.
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* prop = PyList_GET_ITEM(info.cols.get(), i);
        PyObject* name = asProperty(prop)->name;
        PyObject* value = PyDict_GetItemWithError(row, name);
        if (!value) checkError();
        if (prop == info.pkCol.get()) {
            if (value && value != Py_None) {
                plan.columns.push_back(i);
                plan.values.push_back(value);
            } else if (keyIsGenerated(prop)) {
                plan.keyLeftOut = true;
            } else {
                raise(PyExc_ValueError,
                      "%s(): the row has no value for the key %R of %s, and nothing generates one: give the key, "
                      "or declare it with default=auto_increment",
                      op, name, modelName(info.model));
            }
            continue;
        }
        if (!value) continue;
        if (leftToDatabase(defaulted, name, value)) {
            plan.leftOut.push_back(i);
        } else {
            plan.columns.push_back(i);
            plan.values.push_back(value);
        }
    }
}

InsertPlan planInsert(const ModelInfo& info, PyObject* row, const char* op) {
    InsertPlan plan;
    planInsert(info, row, op, plan);
    return plan;
}

// The statement arguments of one row: the planned values in database form.
// Call it before any Python code has run since the plan was made.
Ref rowArguments(const ModelInfo& info, const InsertPlan& plan) {
    Py_ssize_t n = (Py_ssize_t)plan.columns.size();
    // The new tuple holds the values first, so a conversion that runs Python
    // code cannot free one; each is then replaced by its database form.
    Ref args = Ref::steal(PyTuple_New(n));
    for (Py_ssize_t c = 0; c < n; ++c) PyTuple_SET_ITEM(args.get(), c, Py_NewRef(plan.values[(size_t)c]));
    for (Py_ssize_t c = 0; c < n; ++c) {
        Ref prop = info.column(plan.columns[(size_t)c]);
        Ref value = Ref::borrow(PyTuple_GET_ITEM(args.get(), c));
        Ref stored = toDB(prop.get(), value.get());
        if (stored.get() == value.get()) continue;
        PyObject* old = PyTuple_GET_ITEM(args.get(), c);
        PyTuple_SET_ITEM(args.get(), c, stored.release());
        Py_DECREF(old);
    }
    return args;
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

Ref limitText(PyObject* limit, PyObject* offset) {
    if (limit == Py_None && offset == Py_None) return str(" ");
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
    return Ref::steal(PyUnicode_FromFormat(" limit %ld, %ld", skip, count));
}

Ref orderTuple(const ModelInfo& info, PyObject* orderBy, int dialect) {
    if (orderBy == Py_None) return Ref::none();
    auto term = [&](PyObject* t) {
        return str(orderTermText(columnsApi, info.model, info.table.get(), info.cols.get(), t, dialect));
    };
    if (PyUnicode_Check(orderBy) || PyObject_TypeCheck(orderBy, columnsApi->BaseProperty))
        return tupleOf({term(orderBy).get()});
    Ref seq = Ref::steal(PySequence_Tuple(orderBy));
    Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    Ref out = Ref::steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(out.get(), i, term(PyTuple_GET_ITEM(seq.get(), i)).release());
    return out;
}

Ref selectBuilder(const ModelInfo& info, PyObject* where, PyObject* orderBy, PyObject* limit, PyObject* offset) {
    requireFilter(info, where);
    Ref order = orderTuple(info, orderBy, activeDialect(dbApi));
    Ref b = newBuilder(info, SQL_SELECT);
    auto* g = asBuilder(b.get());
    assignField(g->selectCol, Ref::steal(PySequence_List(info.cols.get())));
    assignField(g->whereCol, where);
    assignField(g->limit, limitText(limit, offset));
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
        appendIdentifier(sql, utf8(asProperty(prop.get())->name), dialect);
    }
    sql += ") values (";
    for (size_t i = 0; i < columns.size(); ++i) sql += i ? ",%s" : "%s";
    sql += ")";
    return sql;
}

// The insert of one row through the statement builder: the written columns
// in database form.
Ref insertBuilder(const ModelInfo& info, const InsertPlan& plan) {
    const std::vector<Py_ssize_t>& columns = plan.columns;
    Ref values = rowArguments(info, plan);
    Ref items = Ref::steal(PyList_New((Py_ssize_t)columns.size()));
    for (size_t c = 0; c < columns.size(); ++c) {
        Ref prop = info.column(columns[c]);
        Ref item = Ref::steal(PyDict_New());
        check(PyDict_SetItem(item.get(), names.col.get(), asProperty(prop.get())->name));
        check(PyDict_SetItem(item.get(), names.value.get(), PyTuple_GET_ITEM(values.get(), (Py_ssize_t)c)));
        PyList_SET_ITEM(items.get(), (Py_ssize_t)c, item.release());
    }
    Ref b = newBuilder(info, SQL_INSERT);
    assignField(asBuilder(b.get())->selectCol, std::move(items));
    return b;
}

Ref setItem(PyObject* prop, PyObject* value) {
    Ref item = Ref::steal(PyDict_New());
    check(PyDict_SetItem(item.get(), names.name.get(), asProperty(prop)->name));
    check(PyDict_SetItem(item.get(), names.value.get(), toDB(prop, value).get()));
    return item;
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
    if (PyDict_Check(values)) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(values, &pos, &key, &value))
            check(PyList_Append(items.get(), setItem(columnOf(info, key), value).get()));
        return items;
    }
    Ref pairs = Ref::steal(PySequence_Fast(values, "values must be a dict or a sequence of (column, value) pairs"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(pairs.get()); ++i) {
        Ref pair = Ref::steal(PySequence_Tuple(PySequence_Fast_GET_ITEM(pairs.get(), i)));
        if (PyTuple_GET_SIZE(pair.get()) != 2) raise(PyExc_ValueError, "values must be (column, value) pairs");
        PyObject* column = columnOf(info, PyTuple_GET_ITEM(pair.get(), 0));
        check(PyList_Append(items.get(), setItem(column, PyTuple_GET_ITEM(pair.get(), 1)).get()));
    }
    return items;
}

// SET items of a row: every column but the key, except the columns the row
// left to a database default and still holds None for (the row never knew
// their stored value, which stays as it is).
Ref setItemsOfRow(const ModelInfo& info, PyObject* row) {
    Ref items = Ref::steal(PyList_New(0));
    Py_ssize_t n = PyList_GET_SIZE(info.cols.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref prop = info.column(i);
        if (prop.get() == info.pkCol.get()) continue;
        PyObject* name = asProperty(prop.get())->name;
        Ref value = Ref::borrow(PyDict_GetItemWithError(row, name));
        if (!value) {
            checkError();
            continue;
        }
        if (leftToDatabase(defaultedColumns(row), name, value.get())) continue;
        check(PyList_Append(items.get(), setItem(prop.get(), value.get()).get()));
    }
    return items;
}

PyObject* rowKey(const ModelInfo& info, PyObject* row, const char* op) {
    PyObject* pk = info.requireKey(op);
    requireRowOf(info, row, op);
    PyObject* key = PyDict_GetItemWithError(row, asProperty(pk)->name);
    if (!key) checkError();
    if (!key || key == Py_None) raise(PyExc_ValueError, "%s() needs a row whose key %R is set", op, asProperty(pk)->name);
    return key;
}

Ref deleteBuilder(const ModelInfo& info, PyObject* where) {
    Ref b = newBuilder(info, SQL_DELETE);
    assignField(asBuilder(b.get())->whereCol, where);
    return b;
}

// The where text and arguments of a filter (None: no filter).
Ref whereParts(const ModelInfo& info, PyObject* where) {
    requireFilter(info, where);
    return Ref::steal(generatorApi->sqlGeneratorOps->build_where(where));
}

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

// Starts the prepared statement of `executor` through the facade: the result
// for a blocking connector, an awaitable of it for an asyncio one.
Ref startExecutor(PyObject* executor) {
    Ref op = getattr(activeFacade(dbApi), "execute");
    PyObject* work = asExecutor(executor)->work;
    if (isAsyncExecutor(executor)) {
        if (work != Py_None) {
            Ref kwnames = tupleOf({names.executor.get(), names.con.get()});
            PyObject* argv[] = {executor, work};
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

// Starts SQL text through the facade's executeSql (dict rows when asked).
Ref startSql(PyObject* self, const std::string& sql, PyObject* args, bool dictRows) {
    Ref op = getattr(activeFacade(dbApi), "executeSql");
    Ref text = str(sql);
    PyObject* work = asExecutor(self)->work;
    if (work != Py_None) {
        Ref kwnames = tupleOf({names.con.get(), names.dictCur.get(), names.args.get()});
        PyObject* argv[] = {text.get(), work, dictRows ? Py_True : Py_False, args};
        return Ref::steal(PyObject_Vectorcall(op.get(), argv, 1, kwnames.get()));
    }
    Ref kwnames = tupleOf({names.dictCur.get(), names.args.get()});
    PyObject* argv[] = {text.get(), dictRows ? Py_True : Py_False, args};
    return Ref::steal(PyObject_Vectorcall(op.get(), argv, 1, kwnames.get()));
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
    BlockingTransaction() {
        Ref connector = requireConnector(dbApi);
        if (!PyObject_TypeCheck(connector.get(), connectorApi->Sqlite3Connector) &&
            !PyObject_TypeCheck(connector.get(), connectorApi->PyMysqlConnector))
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
// once per connector); MySQL has no RETURNING.  -1 while unknown.
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
    Ref connector = requireConnector(dbApi);
    return askedConnector.get() == connector.get() ? askedConnectorReturning : -1;
}

const char* const kServerVersionQuery = "SELECT VERSION()";

// Remembers what the server's version (rows of kServerVersionQuery) says.
void rememberServer(PyObject* rows) {
    Ref seq = Ref::steal(PySequence_Fast(rows, "rows must be a sequence"));
    bool supported = false;
    if (PySequence_Fast_GET_SIZE(seq.get()) > 0) {
        Ref value = Ref::steal(PySequence_GetItem(PySequence_Fast_GET_ITEM(seq.get(), 0), 0));
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

// Stores the values a RETURNING insert reported into the row.
void storeReturned(const ModelInfo& info, PyObject* row, PyObject* raw) {
    Ref rows = Ref::steal(PySequence_Fast(raw, "rows must be a sequence"));
    if (PySequence_Fast_GET_SIZE(rows.get()) == 0) return;
    Ref first = Ref::borrow(PySequence_Fast_GET_ITEM(rows.get(), 0));
    if (!PyDict_Check(first.get())) raise(PyExc_TypeError, "the inserted row came back as %.200s", typeName(first.get()));
    Ref items = Ref::steal(PyDict_Items(first.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        Ref key = Ref::borrow(PyTuple_GET_ITEM(pair, 0));
        Ref value = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
        if (!PyUnicode_Check(key.get())) continue;
        Ref prop = Ref::borrow(findColumn(info.cols.get(), utf8(key.get())));
        if (!prop) continue;
        check(PyDict_SetItem(row, asProperty(prop.get())->name, toObj(prop.get(), value.get()).get()));
    }
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
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    Ref out = newInstanceList();
    PyObject** items = PySequence_Fast_ITEMS(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) check(PyList_Append(out.get(), buildRow(model, items[i]).get()));
    return out;
}

Ref handleResultNative(PyObject* self, PyObject* raw) {
    auto* ex = asExecutor(self);
    if (ex->resultMode == RESULT_RAW) return Ref::borrow(raw);
    PyObject* builder = ex->sqlBuilder;
    if (builder != Py_None && PyObject_TypeCheck(builder, generatorApi->BaseSqlGenerator) &&
        reinterpret_cast<BaseSqlGeneratorObject*>(builder)->currentType == SQL_SELECT)
        return rowsOf(ex->model, raw);
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
    PyObject* row = PySequence_Fast_GET_ITEM(seq.get(), 0);
    return Ref::steal(PySequence_GetItem(row, 0));
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
    PyObject* name = asProperty(info.pkCol.get())->name;
    Ref current = Ref::borrow(PyDict_GetItemWithError(row, name));
    if (!current) checkError();
    if (current && current.get() != Py_None) return current;
    check(PyDict_SetItem(row, name, generated));
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

std::string qualified(PyObject* prop, int dialect) {
    auto* p = asProperty(prop);
    Ref table = getattr(p->model, names.tableName.get());
    std::string s;
    appendQualified(s, utf8(table.get()), utf8(p->name), dialect);
    return s;
}

std::string tableOf(PyObject* model, int dialect) {
    Ref table = getattr(model, names.tableName.get());
    std::string s;
    appendIdentifier(s, utf8(table.get()), dialect);
    return s;
}

// Distinct non-None values of `prop` over the rows, in first-seen order.
Ref ownerValues(PyObject* rows, PyObject* prop) {
    Ref seen = Ref::steal(PySet_New(nullptr));
    Ref values = Ref::steal(PyList_New(0));
    PyObject* name = asProperty(prop)->name;
    Py_ssize_t n = PyList_GET_SIZE(rows);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PyList_GET_ITEM(rows, i);
        if (!PyDict_Check(row)) raiseArgType("rows", "ModelInstance", row);
        PyObject* v = PyDict_GetItemWithError(row, name);
        if (!v) {
            checkError();
            continue;
        }
        if (v == Py_None) continue;
        Ref value = Ref::borrow(v);
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
    std::string s;
    Py_ssize_t n = PyList_GET_SIZE(cols.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i) s += ",";
        appendQualified(s, utf8(table.get()), utf8(asProperty(PyList_GET_ITEM(cols.get(), i))->name), dialect);
    }
    return s;
}

constexpr const char* kMatchColumn = "__quillon_owner_key";

// Plans the loading of every relation declared on the model.
std::vector<RelationPlan> relationPlans(PyObject* model, PyObject* rows) {
    std::vector<RelationPlan> plans;
    int dialect = activeDialect(dbApi);
    Ref fks = getattr(model, names.fk.get());
    Ref oneToOne = foreignTypeMember(names.ONE_TO_ONE.get());
    Ref oneToMany = foreignTypeMember(names.ONE_TO_MANY.get());
    Ref manyToMany = foreignTypeMember(names.MANY_TO_MANY.get());
    Ref seq = Ref::steal(PySequence_Fast(fks.get(), "fk must be a list"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        Ref fk = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (!PyDict_Check(fk.get())) continue;
        Ref type = Ref::borrow(fkEntry(fk.get(), names.Type.get()));
        Ref name = Ref::borrow(fkEntry(fk.get(), names.name.get()));
        Ref bindCol = Ref::borrow(fkEntry(fk.get(), names.bindCol.get()));
        Ref targetBindCol = Ref::borrow(fkEntry(fk.get(), names.targetBindCol.get()));
        Ref target = Ref::borrow(fkEntry(fk.get(), names.target.get()));
        if (name.get() == Py_None || !PyObject_TypeCheck(bindCol.get(), columnsApi->BaseProperty) ||
            !PyObject_TypeCheck(targetBindCol.get(), columnsApi->BaseProperty) || target.get() == Py_None)
            continue;
        RelationPlan plan;
        plan.name = Ref::borrow(name.get());
        plan.ownerColumn = Ref::borrow(bindCol.get());
        plan.args = ownerValues(rows, bindCol.get());
        Py_ssize_t n = PyList_GET_SIZE(plan.args.get());
        if (type.get() == manyToMany.get()) {
            // Far rows joined with the middle table: the middle column that
            // refers to the owner selects them and tells whose they are.
            Ref otherFk = callMethod(target.get(), names.getOtherFkBy.get(), model);
            Ref farColumnInMiddle = Ref::borrow(fkEntry(otherFk.get(), names.bindCol.get()));
            Ref farKey = Ref::borrow(fkEntry(otherFk.get(), names.targetBindCol.get()));
            plan.farModel = Ref::borrow(fkEntry(otherFk.get(), names.target.get()));
            if (!PyObject_TypeCheck(farColumnInMiddle.get(), columnsApi->BaseProperty) ||
                !PyObject_TypeCheck(farKey.get(), columnsApi->BaseProperty))
                continue;
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
            plan.matchKey = Ref::borrow(asProperty(targetBindCol.get())->name);
        } else {
            continue;
        }
        plans.push_back(std::move(plan));
    }
    return plans;
}

// Puts the fetched related rows into the owner rows.
void applyRelation(const RelationPlan& plan, PyObject* rows, PyObject* fetched) {
    // Group the related rows by the owner value they answer.
    Ref groups = Ref::steal(PyDict_New());
    Ref seq = Ref::steal(PySequence_Fast(fetched, "rows must be a sequence"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* dict = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyDict_Check(dict)) raise(PyExc_TypeError, "related rows must be dicts");
        PyObject* key = PyDict_GetItemWithError(dict, plan.matchKey.get());
        if (!key) {
            checkError();
            continue;
        }
        Ref keyRef = Ref::borrow(key);
        Ref values = Ref::steal(PyDict_Copy(dict));
        if (plan.matchKey && PyUnicode_CompareWithASCIIString(plan.matchKey.get(), kMatchColumn) == 0)
            check(PyDict_DelItem(values.get(), plan.matchKey.get()));
        Ref row = buildRow(plan.farModel.get(), values.get());
        PyObject* bucket = PyDict_GetItemWithError(groups.get(), keyRef.get());
        if (!bucket) {
            checkError();
            Ref list = newInstanceList();
            check(PyDict_SetItem(groups.get(), keyRef.get(), list.get()));
            bucket = list.get();
        }
        check(PyList_Append(bucket, row.get()));
    }
    PyObject* ownerName = asProperty(plan.ownerColumn.get())->name;
    Py_ssize_t rowCount = PyList_GET_SIZE(rows);
    for (Py_ssize_t i = 0; i < rowCount; ++i) {
        PyObject* row = PyList_GET_ITEM(rows, i);
        PyObject* key = PyDict_GetItemWithError(row, ownerName);
        if (!key) checkError();
        PyObject* bucket = key ? PyDict_GetItemWithError(groups.get(), key) : nullptr;
        if (!bucket) checkError();
        if (plan.many) {
            Ref list = newInstanceList();
            if (bucket) check(PyList_SetSlice(list.get(), 0, 0, bucket));
            check(PyDict_SetItem(row, plan.name.get(), list.get()));
        } else {
            PyObject* one = bucket && PyList_GET_SIZE(bucket) ? PyList_GET_ITEM(bucket, 0) : Py_None;
            check(PyDict_SetItem(row, plan.name.get(), one));
        }
    }
}

Ref rowsArgument(PyObject* rows) {
    if (PyList_Check(rows)) return Ref::borrow(rows);
    return Ref::steal(PySequence_List(rows));
}

// ===========================================================================
// Operations.  Each has a blocking body and an awaited body built from the
// same preparation and finishing steps.
// ===========================================================================

PyObject* modelOf(PyObject* self) { return asExecutor(self)->model; }

// Blocking relation loading.
void loadRelationsBlocking(PyObject* self, PyObject* rows) {
    for (RelationPlan& plan : relationPlans(modelOf(self), rows)) {
        if (PyList_GET_SIZE(plan.args.get()) == 0) {
            applyRelation(plan, rows, Ref::steal(PyList_New(0)).get());
            continue;
        }
        Ref args = Ref::steal(PyList_AsTuple(plan.args.get()));
        Ref fetched = asList(startSql(self, plan.sql, args.get(), true));
        applyRelation(plan, rows, fetched.get());
    }
}

Coro loadRelationsAsync(Ref self, Ref rows, Ref passThrough) {
    for (RelationPlan& plan : relationPlans(modelOf(self.get()), rows.get())) {
        if (PyList_GET_SIZE(plan.args.get()) == 0) {
            applyRelation(plan, rows.get(), Ref::steal(PyList_New(0)).get());
            continue;
        }
        Ref args = Ref::steal(PyList_AsTuple(plan.args.get()));
        Ref fetched = co_await awaitPy(startSql(self.get(), plan.sql, args.get(), true));
        fetched = asList(std::move(fetched));
        applyRelation(plan, rows.get(), fetched.get());
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

// Awaits a started statement, finishes the result and optionally loads the
// relations of the rows it gives.
Coro awaitAndFinish(Ref self, Ref started, Ref state, Finish finish, bool loadRelations) {
    Ref raw = co_await awaitPy(started);
    Ref result = finish(self.get(), state.get(), raw.get());
    if (loadRelations) {
        Ref rows = PyList_Check(result.get()) ? Ref::borrow(result.get()) : newInstanceList();
        if (!PyList_Check(result.get()) && result.get() != Py_None) check(PyList_Append(rows.get(), result.get()));
        if (PyList_GET_SIZE(rows.get())) {
            Ref loading = toPython(loadRelationsAsync(Ref::borrow(self.get()), std::move(rows), Ref()),
                                   "AsyncModelExecutor.findListForeignKey");
            co_await awaitPy(loading);
        }
    }
    co_return result;
}

// Runs a started statement to its result: finished directly when blocking,
// as a native coroutine when the executor is awaited.
Ref complete(PyObject* self, Ref started, PyObject* state, Finish finish, bool loadRelations, const char* qualname) {
    if (isAsyncExecutor(self))
        return toPython(awaitAndFinish(Ref::borrow(self), std::move(started), Ref::borrow(state), finish, loadRelations),
                        qualname);
    Ref result = finish(self, state, started.get());
    if (loadRelations && result.get() != Py_None) {
        Ref rows = PyList_Check(result.get()) ? Ref::borrow(result.get()) : newInstanceList();
        if (!PyList_Check(result.get())) check(PyList_Append(rows.get(), result.get()));
        if (PyList_GET_SIZE(rows.get())) loadRelationsBlocking(self, rows.get());
    }
    return result;
}

// Runs a statement through a runner and finishes with the count of rows it
// changed.
Ref completeRowCount(PyObject* self, PyObject* builder, const char* qualname) {
    Ref runner;
    Ref started = startStatement(self, builder, RESULT_RAW, &runner);
    return complete(self, std::move(started), runner.get(), finishRowCount, false, qualname);
}

// An awaitable that yields `value` at once (async operations with nothing to run).
Coro ready(Ref value) { co_return std::move(value); }
Ref immediate(PyObject* self, Ref value, const char* qualname) {
    if (isAsyncExecutor(self)) return toPython(ready(std::move(value)), qualname);
    return value;
}

const Signature<5> findSignature{"find", {"where", "orderBy", "limit", "offset", "loadForeign"}, 0};
const Signature<3> firstSignature{"first", {"where", "orderBy", "loadForeign"}, 0};
const Signature<2> getSignature{"get", {"key", "loadForeign"}, 1};
const Signature<1> whereSignature{"count", {"where"}, 0};
const Signature<1> existsSignature{"exists", {"where"}, 0};
const Signature<1> rowSignature{"save", {"row"}, 1};
const Signature<1> rowsSignature{"insertMany", {"rows"}, 1};
const Signature<1> updateSignature{"update", {"row"}, 1};
const Signature<2> updateWhereSignature{"updateWhere", {"where", "values"}, 2};
const Signature<1> deleteSignature{"delete", {"row"}, 1};
const Signature<1> deleteWhereSignature{"deleteWhere", {"where"}, 1};
const Signature<1> findFkSignature{"findListForeignKey", {"rows"}, 1};
const Signature<3> linkSignature{"link", {"row", "relation", "others"}, 3};
const Signature<3> unlinkSignature{"unlink", {"row", "relation", "others"}, 3};

Ref Executor_find(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(findSignature, args, nargs, kwnames);
    ModelInfo info(modelOf(self));
    Ref builder = selectBuilder(info, b.get(0, Py_None), b.get(1, Py_None), b.get(2, Py_None), b.get(3, Py_None));
    bool load = b[4] && truthy(b[4]);
    return complete(self, startStatement(self, builder.get(), RESULT_ROWS), Py_None, finishIdentity, load,
                    "AsyncModelExecutor.find");
}

Ref Executor_first(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(firstSignature, args, nargs, kwnames);
    ModelInfo info(modelOf(self));
    Ref one = integer(1);
    Ref builder = selectBuilder(info, b.get(0, Py_None), b.get(1, Py_None), one.get(), Py_None);
    bool load = b[2] && truthy(b[2]);
    return complete(self, startStatement(self, builder.get(), RESULT_ROWS), Py_None, finishFirst, load,
                    "AsyncModelExecutor.first");
}

Ref Executor_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(getSignature, args, nargs, kwnames);
    ModelInfo info(modelOf(self));
    Ref where = keyFilter(info.requireKey("get"), b[0]);
    Ref one = integer(1);
    Ref builder = selectBuilder(info, where.get(), Py_None, one.get(), Py_None);
    bool load = b[1] && truthy(b[1]);
    return complete(self, startStatement(self, builder.get(), RESULT_ROWS), Py_None, finishFirst, load,
                    "AsyncModelExecutor.get");
}

Ref countLike(PyObject* self, PyObject* where, const char* head, const char* tail, Finish finish, const char* qualname) {
    ModelInfo info(modelOf(self));
    Ref parts = whereParts(info, where);
    std::string sql = head;
    appendIdentifier(sql, utf8(info.table.get()), activeDialect(dbApi));
    sql += utf8(PyTuple_GET_ITEM(parts.get(), 0));
    sql += tail;
    Ref args = Ref::steal(PyList_AsTuple(PyTuple_GET_ITEM(parts.get(), 1)));
    Ref started = startSql(self, sql, args.get(), false);
    if (!isAsyncExecutor(self)) started = asList(std::move(started));
    return complete(self, std::move(started), Py_None, finish, false, qualname);
}

Ref Executor_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(whereSignature, args, nargs, kwnames);
    return countLike(self, b.get(0, Py_None), "SELECT count(*) FROM ", ";", finishCount, "AsyncModelExecutor.count");
}

Ref Executor_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(existsSignature, args, nargs, kwnames);
    return countLike(self, b.get(0, Py_None), "SELECT 1 FROM ", " limit 1;", finishExists, "AsyncModelExecutor.exists");
}

// ---------------------------------------------------------------------------
// save
// ---------------------------------------------------------------------------

// Whether a save of the row should read back what the database chose: some
// of its columns are left to their defaults (a model without a key keeps the
// driver's row id as its result).
bool wantsReturning(const ModelInfo& info, const InsertPlan& plan) { return info.hasKey() && !plan.leftOut.empty(); }

// The statement that saves one row, planned from the row as it is now.  A row
// that writes every column it holds goes through the statement builder as it
// always has; one that leaves columns to their defaults asks the database
// for the values it chose where `returningSupported`.  `returning` tells
// which of the two the statement does.
Ref saveStatement(const ModelInfo& info, PyObject* row, bool returningSupported, int dialect, bool* returning) {
    InsertPlan plan = planInsert(info, row, "save");
    *returning = returningSupported && wantsReturning(info, plan);
    if (!*returning && !plan.columns.empty()) return insertBuilder(info, plan);
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
    // No Python code has run since the plan was made: its values are valid.
    return newStatement(sql, rowArguments(info, plan), *returning ? SQL_SELECT : SQL_INSERT);
}

// The awaited save when the server must first be asked whether it reports
// inserted values.
Coro saveAfterAsking(Ref self, Ref row, int dialect) {
    Ref empty = noArgs();
    Ref versionRows = co_await awaitPy(startSql(self.get(), kServerVersionQuery, empty.get(), false));
    rememberServer(versionRows.get());
    ModelInfo info(modelOf(self.get()));
    bool returning = false;
    Ref builder = saveStatement(info, row.get(), returningSupport(dialect) == 1, dialect, &returning);
    Ref raw = co_await awaitPy(startStatement(self.get(), builder.get(), RESULT_RAW));
    co_return (returning ? finishSaveReturning : finishSave)(self.get(), row.get(), raw.get());
}

Ref Executor_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(rowSignature, args, nargs, kwnames);
    PyObject* row = b[0];
    if (!PyObject_TypeCheck(row, entityApi->ModelInstance)) raiseArgType("row", "ModelInstance", row);
    ModelInfo info(modelOf(self));
    requireRowOf(info, row, "save");
    refuseRelationValues(info, relationEntries(info), row, "save");
    // Refusals come before any statement; the plan also says whether the
    // database must be asked for what it chose.
    bool asks = wantsReturning(info, planInsert(info, row, "save"));
    int dialect = activeDialect(dbApi);
    int support = asks ? returningSupport(dialect) : 0;
    if (support < 0) {
        if (isAsyncExecutor(self))
            return toPython(saveAfterAsking(Ref::borrow(self), Ref::borrow(row), dialect), "AsyncModelExecutor.save");
        Ref empty = noArgs();
        rememberServer(asList(startSql(self, kServerVersionQuery, empty.get(), false)).get());
        support = returningSupport(dialect);
    }
    bool returning = false;
    Ref builder = saveStatement(info, row, support == 1, dialect, &returning);
    if (!returning)
        return complete(self, startStatement(self, builder.get(), RESULT_RAW), row, finishSave, false,
                        "AsyncModelExecutor.save");
    if (isAsyncExecutor(self))
        return complete(self, startStatement(self, builder.get(), RESULT_RAW), row, finishSaveReturning, false,
                        "AsyncModelExecutor.save");
    // The blocking SQLite connector would commit before the returned row is read.
    BlockingTransaction transaction;
    Ref raw = startStatement(self, builder.get(), RESULT_RAW);
    transaction.commit();
    return finishSaveReturning(self, row, raw.get());
}

// ---------------------------------------------------------------------------
// insertMany
// ---------------------------------------------------------------------------

// Rows that write the same columns, inserted by one statement run.
struct RowGroup {
    std::vector<Py_ssize_t> columns;
    Ref args;  // list of argument tuples
};

// The insert statements of the rows: one per set of written columns, in the
// order the sets first appear.  Every row is checked before any statement
// exists.
std::vector<Ref> insertStatements(const ModelInfo& info, PyObject* rows) {
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
            if (added) groups.push_back({plan.columns, Ref::steal(PyList_New(0))});
            last = it->second;
        }
        check(PyList_Append(groups[last].args.get(), rowArguments(info, plan).get()));
    }
    int dialect = activeDialect(dbApi);
    std::vector<Ref> statements;
    for (RowGroup& group : groups)
        statements.push_back(newStatement(insertText(info, group.columns, dialect) + ";", std::move(group.args), SQL_INSERT));
    return statements;
}

const char* const kRowsSavepoint = "SAVEPOINT quillon_rows";
const char* const kRowsRelease = "RELEASE SAVEPOINT quillon_rows";
const char* const kRowsRollback = "ROLLBACK TO SAVEPOINT quillon_rows";

// Several insert statements as one: inside a savepoint of the task's
// transaction, rolled back to when one fails.
Coro insertGroupsAwaited(Ref self, Ref statements, Ref total) {
    Ref empty = noArgs();
    if (activeDialect(dbApi) == DIALECT_SQLITE) {
        // A savepoint outside a transaction would start one that its release
        // commits; the task's transaction is begun first instead.
        Ref con = co_await awaitPy(getattr(activeFacade(dbApi), names.getCon.get()));
        if (!truthy(getattr(con.get(), names.in_transaction.get()).get()))
            co_await awaitPy(startSql(self.get(), "BEGIN", empty.get(), false));
    }
    co_await awaitPy(startSql(self.get(), kRowsSavepoint, empty.get(), false));
    std::optional<PyError> failure;
    try {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(statements.get()); ++i) {
            Ref statement = Ref::borrow(PyList_GET_ITEM(statements.get(), i));
            co_await awaitPy(startStatement(self.get(), statement.get(), RESULT_RAW));
        }
    } catch (PyError& e) {
        failure.emplace(std::move(e));
    }
    if (failure) {
        try {
            co_await awaitPy(startSql(self.get(), kRowsRollback, empty.get(), false));
            co_await awaitPy(startSql(self.get(), kRowsRelease, empty.get(), false));
        } catch (PyError&) {
            // The statement's own error is the one the caller needs.
        }
        throw std::move(*failure);
    }
    co_await awaitPy(startSql(self.get(), kRowsRelease, empty.get(), false));
    co_return total;
}

Ref Executor_insertMany(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(rowsSignature, args, nargs, kwnames);
    ModelInfo info(modelOf(self));
    Ref rows = Ref::steal(PySequence_List(b[0]));
    if (PyList_GET_SIZE(rows.get()) == 0) return immediate(self, integer(0), "AsyncModelExecutor.insertMany");
    std::vector<Ref> statements = insertStatements(info, rows.get());
    if (statements.size() == 1)
        return complete(self, startStatement(self, statements[0].get(), RESULT_RAW), rows.get(), finishLength, false,
                        "AsyncModelExecutor.insertMany");
    Ref total = integer(PyList_GET_SIZE(rows.get()));
    if (isAsyncExecutor(self)) {
        Ref list = Ref::steal(PyList_New(0));
        for (Ref& s : statements) check(PyList_Append(list.get(), s.get()));
        return toPython(insertGroupsAwaited(Ref::borrow(self), std::move(list), std::move(total)),
                        "AsyncModelExecutor.insertMany");
    }
    BlockingTransaction transaction;
    for (Ref& s : statements) startStatement(self, s.get(), RESULT_RAW);
    transaction.commit();
    return total;
}

// ---------------------------------------------------------------------------
// update and delete
// ---------------------------------------------------------------------------

Ref Executor_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(updateSignature, args, nargs, kwnames);
    ModelInfo info(modelOf(self));
    Ref key = Ref::borrow(rowKey(info, b[0], "update"));
    Ref where = keyFilter(info.pkCol.get(), key.get());
    Ref builder = updateBuilder(info, setItemsOfRow(info, b[0]), where.get());
    return completeRowCount(self, builder.get(), "AsyncModelExecutor.update");
}

Ref Executor_updateWhere(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(updateWhereSignature, args, nargs, kwnames);
    ModelInfo info(modelOf(self));
    // Changing every row takes a filter, as deleting every row does: None
    // given by accident must not reach the table.
    requireFilter(info, b[0], false);
    Ref builder = updateBuilder(info, setItemsFrom(info, b[1]), b[0]);
    return completeRowCount(self, builder.get(), "AsyncModelExecutor.updateWhere");
}

Ref Executor_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(deleteSignature, args, nargs, kwnames);
    ModelInfo info(modelOf(self));
    Ref key = Ref::borrow(rowKey(info, b[0], "delete"));
    Ref where = keyFilter(info.pkCol.get(), key.get());
    Ref builder = deleteBuilder(info, where.get());
    return completeRowCount(self, builder.get(), "AsyncModelExecutor.delete");
}

Ref Executor_deleteWhere(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(deleteWhereSignature, args, nargs, kwnames);
    ModelInfo info(modelOf(self));
    // Deleting every row takes an explicit filter; None is refused here.
    requireFilter(info, b[0], false);
    Ref builder = deleteBuilder(info, b[0]);
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
    if (fkEntry(relation, names.Type.get()) != manyToMany.get())
        raise(PyExc_ValueError, "%s(): %s.%S is not a many-to-many relation; %s() writes the links of those only", op,
              modelName(info.model), fkEntry(relation, names.name.get()), op);
    LinkPlan plan;
    plan.middle = Ref::borrow(fkEntry(relation, names.target.get()));
    plan.ownerColumn = Ref::borrow(fkEntry(relation, names.targetBindCol.get()));
    plan.ownerKey = Ref::borrow(fkEntry(relation, names.bindCol.get()));
    Ref other = callMethod(plan.middle.get(), names.getOtherFkBy.get(), info.model);
    plan.farColumn = Ref::borrow(fkEntry(other.get(), names.bindCol.get()));
    plan.farKey = Ref::borrow(fkEntry(other.get(), names.targetBindCol.get()));
    plan.farModel = Ref::borrow(fkEntry(other.get(), names.target.get()));
    for (PyObject* p : {plan.ownerColumn.get(), plan.farColumn.get(), plan.ownerKey.get(), plan.farKey.get()})
        if (!PyObject_TypeCheck(p, columnsApi->BaseProperty))
            raise(PyExc_TypeError, "%s(): the relation's middle model declares no link columns", op);
    return plan;
}

// The key of one side of a link: the key entry of a row (which must be saved
// already), or a key given as it is.
Ref linkKey(PyObject* item, PyObject* model, PyObject* keyProp, const char* op, const char* what) {
    if (PyDict_Check(item)) {
        PyObject* rowModel = modelOfRow(item);
        if (rowModel && rowModel != model)
            raise(PyExc_TypeError, "%s() takes %s rows of %s here, not a row of %s", op, what, modelName(model),
                  modelName(rowModel));
        Ref value = Ref::borrow(PyDict_GetItemWithError(item, asProperty(keyProp)->name));
        if (!value) checkError();
        if (!value || value.get() == Py_None)
            raise(PyExc_ValueError, "%s(): a row of %s without its key %R cannot be linked; save it first", op,
                  modelName(model), asProperty(keyProp)->name);
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
    appendIdentifier(ownerColumn, utf8(asProperty(plan.ownerColumn.get())->name), dialect);
    appendIdentifier(farColumn, utf8(asProperty(plan.farColumn.get())->name), dialect);
    Ref builder;
    if (add) {
        // A link that exists already is skipped, so the middle table never
        // holds a pair twice; each pair is one run of the statement.
        std::string sql = "INSERT INTO " + middle + " (" + ownerColumn + "," + farColumn + ") SELECT %s,%s" +
                          (dialect == DIALECT_MYSQL ? " FROM DUAL" : "") + " WHERE NOT EXISTS (SELECT 1 FROM " + middle +
                          " WHERE " + ownerColumn + " = %s AND " + farColumn + " = %s);";
        Ref runs = Ref::steal(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* far = PyList_GET_ITEM(keys.get(), i);
            PyList_SET_ITEM(runs.get(), i, tupleOf({owner.get(), far, owner.get(), far}).release());
        }
        Ref params = n == 1 ? Ref::steal(PySequence_Tuple(PyList_GET_ITEM(runs.get(), 0))) : std::move(runs);
        builder = newStatement(sql, std::move(params), SQL_INSERT);
    } else {
        std::string sql = "DELETE FROM " + middle + " WHERE " + ownerColumn + " = %s AND " + farColumn + " IN (" +
                          placeholders(n) + ");";
        Ref params = Ref::steal(PyTuple_New(n + 1));
        PyTuple_SET_ITEM(params.get(), 0, owner.newRef());
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(params.get(), i + 1, Py_NewRef(PyList_GET_ITEM(keys.get(), i)));
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
    if (isAsyncExecutor(self))
        return toPython(loadRelationsAsync(Ref::borrow(self), std::move(rows), Ref()),
                        "AsyncModelExecutor.findListForeignKey");
    loadRelationsBlocking(self, rows.get());
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
            PyObject* owner = reinterpret_cast<RunnerObject*>(self)->owner;
            if (owner && overrides.overridden(owner, 1)) return ownerHandleResult(self, owner, raw);
            return handleResultNative(self, raw);
        }
        if (overrides.overridden(self, 1)) return callMethod(self, overrides.name(1), raw);
        return handleResultNative(self, raw);
    });
}

const BaseModelExecutorOps baseOps = {op_run, op_handleResult};

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
           "find(where=None, orderBy=None, limit=None, offset=None, loadForeign=False) -> InstanceList of rows"),
    Q_FAST("first", Executor_first, "first(where=None, orderBy=None, loadForeign=False) -> the first row or None"),
    Q_FAST("get", Executor_get, "get(key, loadForeign=False) -> the row with that primary key, or None"),
    Q_FAST("count", Executor_count, "count(where=None) -> the number of matching rows"),
    Q_FAST("exists", Executor_exists, "exists(where=None) -> whether any row matches"),
    Q_FAST("save", Executor_save,
           "save(row) -> inserts the row and returns its key; columns the row left to database defaults are\n"
           "left out, and a key the database generates is stored in the row"),
    Q_FAST("insertMany", Executor_insertMany,
           "insertMany(rows) -> inserts all rows, one statement run per set of written columns; their count"),
    Q_FAST("update", Executor_update, "update(row) -> writes the columns of the row, found by its key; the number of rows changed"),
    Q_FAST("updateWhere", Executor_updateWhere, "updateWhere(where, values) -> sets {name: value} (or [(column, value), ...]) on matching rows; their number"),
    Q_FAST("delete", Executor_delete, "delete(row) -> deletes the row, found by its key; the number of rows deleted"),
    Q_FAST("deleteWhere", Executor_deleteWhere, "deleteWhere(where) -> deletes the matching rows; their number"),
    Q_FAST("link", Executor_link,
           "link(row, relation, others) -> links the row with other rows (or keys) through a many-to-many\n"
           "relation of the model; links that exist are skipped; the number of links added"),
    Q_FAST("unlink", Executor_unlink,
           "unlink(row, relation, others) -> removes the links of the row with other rows (or keys); the number removed"),
    Q_FAST("findListForeignKey", Executor_findListForeignKey,
           "findListForeignKey(rows) -> loads every relation of the rows, one query per relation"),
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
