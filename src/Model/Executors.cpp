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
// Each operation runs its statement through a short-lived child executor of
// the same class that holds the statement's builder: the connector reads
// `executor.sqlBuilder`, and a child per statement keeps concurrent awaited
// operations of one executor from overwriting each other's builder.  The
// executor's own `sqlBuilder` is left for callers that drive it directly
// (the pager) and run it with `execute()`.
#include <quillon/coro.hpp>
#include <quillon/facade.hpp>
#include <quillon/layouts.hpp>
#include <quillon/native.hpp>
#include <quillon/override.hpp>

#include <string>
#include <vector>

using namespace quillon;

namespace {

PyTypeObject* BaseModelExecutorType = nullptr;
PyTypeObject* ModelExecutorType = nullptr;
PyTypeObject* AsyncModelExecutorType = nullptr;
PyTypeObject* BulkInsertType = nullptr;

const GeneratorApi* generatorApi = nullptr;
const ColumnsApi* columnsApi = nullptr;
const EntityApi* entityApi = nullptr;
const DBApi* dbApi = nullptr;

struct Names {
    Leaked executor, con, args, dictCur, tableName, pkCol, pkName, col, fk, mapping, name, value, target, bindCol,
        targetBindCol, Type, middleModel, owner, getOtherFkBy, ONE_TO_ONE, ONE_TO_MANY, MANY_TO_MANY;
} names;

BaseModelExecutorObject* asExecutor(PyObject* o) { return reinterpret_cast<BaseModelExecutorObject*>(o); }
SqlGeneratorObject* asBuilder(PyObject* o) { return reinterpret_cast<SqlGeneratorObject*>(o); }
bool isAsyncExecutor(PyObject* self) { return PyObject_TypeCheck(self, AsyncModelExecutorType); }

// ===========================================================================
// The facade and the model's declaration
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
};

BasePropertyObject* asProperty(PyObject* o) { return reinterpret_cast<BasePropertyObject*>(o); }

Ref toDB(PyObject* prop, PyObject* value) { return Ref::steal(columnsApi->propertyOps->toDBValue(prop, value)); }

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

void requireFilter(PyObject* where, bool noneOk = true) {
    if (noneOk && where == Py_None) return;
    if (!PyObject_TypeCheck(where, columnsApi->FilterListCell))
        raiseArgType("where", noneOk ? "FilterListCell or None" : "FilterListCell", where);
}

// ===========================================================================
// Ordering terms: declared columns only, never free SQL text
// ===========================================================================

// One order term: a property (ascending), the text of asc()/desc() or a
// column name with an optional direction; anything else is refused, so no
// caller-supplied text reaches the SQL.
Ref orderTerm(const ModelInfo& info, PyObject* term) {
    if (PyObject_TypeCheck(term, columnsApi->BaseProperty)) return Ref::steal(columnsApi->propertyOps->asc(term));
    if (!PyUnicode_Check(term)) raiseArgType("orderBy", "property or str", term);
    std::string_view text = utf8(term);
    std::string_view column = text, direction;
    if (size_t sp = text.find(' '); sp != std::string_view::npos) {
        column = text.substr(0, sp);
        direction = text.substr(sp + 1);
    }
    auto upper = [](std::string_view s) {
        std::string u(s);
        for (char& c : u) c = (char)toupper((unsigned char)c);
        return u;
    };
    std::string dir = upper(direction);
    if (!direction.empty() && dir != "ASC" && dir != "DESC")
        raise(PyExc_ValueError, "order term %R: the direction must be ASC or DESC", term);
    std::string_view table = utf8(info.table.get());
    if (column.size() > table.size() + 1 && column.substr(0, table.size()) == table && column[table.size()] == '.')
        column = column.substr(table.size() + 1);
    Ref name = str(column);
    PyObject* prop = columnOf(info, name.get());
    Ref base = Ref::steal(dir == "DESC" ? columnsApi->propertyOps->desc(prop) : columnsApi->propertyOps->asc(prop));
    return base;
}

Ref orderTuple(const ModelInfo& info, PyObject* orderBy) {
    if (orderBy == Py_None) return Ref::none();
    if (PyUnicode_Check(orderBy) || PyObject_TypeCheck(orderBy, columnsApi->BaseProperty))
        return tupleOf({orderTerm(info, orderBy).get()});
    Ref seq = Ref::steal(PySequence_Tuple(orderBy));
    Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    Ref out = Ref::steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(out.get(), i, orderTerm(info, PyTuple_GET_ITEM(seq.get(), i)).release());
    return out;
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

Ref selectBuilder(const ModelInfo& info, PyObject* where, PyObject* orderBy, PyObject* limit, PyObject* offset) {
    requireFilter(where);
    Ref b = newBuilder(info, SQL_SELECT);
    auto* g = asBuilder(b.get());
    assignField(g->selectCol, Ref::steal(PySequence_List(info.cols.get())));
    assignField(g->whereCol, where);
    assignField(g->limit, limitText(limit, offset));
    assignField(g->orderList, orderTuple(info, orderBy));
    return b;
}

// The insert items of one row: every column entry in database form; the key
// is left out while its value is None, so the database assigns it.
Ref insertItems(const ModelInfo& info, PyObject* row, std::vector<PyObject*>* columns) {
    if (!PyDict_Check(row)) raiseArgType("row", "ModelInstance", row);
    Ref items = Ref::steal(PyList_New(0));
    Py_ssize_t n = PyList_GET_SIZE(info.cols.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* prop = PyList_GET_ITEM(info.cols.get(), i);
        PyObject* name = asProperty(prop)->name;
        PyObject* value = PyDict_GetItemWithError(row, name);
        if (!value) {
            checkError();
            continue;
        }
        if (value == Py_None && prop == info.pkCol.get()) continue;
        if (columns) columns->push_back(prop);
        Ref item = Ref::steal(PyDict_New());
        check(PyDict_SetItem(item.get(), names.col.get(), name));
        check(PyDict_SetItem(item.get(), names.value.get(), toDB(prop, value).get()));
        check(PyList_Append(items.get(), item.get()));
    }
    return items;
}

Ref insertBuilder(const ModelInfo& info, PyObject* row) {
    Ref b = newBuilder(info, SQL_INSERT);
    assignField(asBuilder(b.get())->selectCol, insertItems(info, row, nullptr));
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

// SET items of a row: every column but the key.
Ref setItemsOfRow(const ModelInfo& info, PyObject* row) {
    if (!PyDict_Check(row)) raiseArgType("row", "ModelInstance", row);
    Ref items = Ref::steal(PyList_New(0));
    Py_ssize_t n = PyList_GET_SIZE(info.cols.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* prop = PyList_GET_ITEM(info.cols.get(), i);
        if (prop == info.pkCol.get()) continue;
        PyObject* value = PyDict_GetItemWithError(row, asProperty(prop)->name);
        if (!value) {
            checkError();
            continue;
        }
        check(PyList_Append(items.get(), setItem(prop, value).get()));
    }
    return items;
}

PyObject* rowKey(const ModelInfo& info, PyObject* row, const char* op) {
    PyObject* pk = info.requireKey(op);
    if (!PyDict_Check(row)) raiseArgType("row", "ModelInstance", row);
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

// SQL text of a count or existence query over the model's table.
Ref whereParts(PyObject* where) {
    requireFilter(where);
    return Ref::steal(generatorApi->sqlGeneratorOps->build_where(where));
}

// ---------------------------------------------------------------------------
// Bulk insert: a generator whose Build gives one statement and a list of
// argument tuples, so the connector runs it with executemany.
// ---------------------------------------------------------------------------

struct BulkInsertObject {
    BaseSqlGeneratorObject base;
    PyObject* sql;   // str
    PyObject* rows;  // list of argument tuples
};

PyObject* bulk_Build(PyObject* self) {
    auto* b = reinterpret_cast<BulkInsertObject*>(self);
    return entry([&] { return tupleOf({b->sql, b->rows}); });
}
const BaseSqlGeneratorOps bulkOps = {bulk_Build};

const size_t bulkFieldOffsets[] = {offsetof(BulkInsertObject, sql), offsetof(BulkInsertObject, rows)};
const FieldList bulkFields{bulkFieldOffsets, 2};

Ref bulkBuilder(const ModelInfo& info, PyObject* rowsArg) {
    Ref rows = Ref::steal(PySequence_List(rowsArg));
    Py_ssize_t n = PyList_GET_SIZE(rows.get());
    if (n == 0) return Ref();
    // The column set comes from the first row; every row must carry the same.
    std::vector<PyObject*> columns;
    insertItems(info, PyList_GET_ITEM(rows.get(), 0), &columns);
    if (columns.empty()) raise(PyExc_ValueError, "insertMany() needs rows with at least one column value");
    std::string sql = "INSERT INTO ";
    sql += utf8(info.table.get());
    sql += " (";
    for (size_t i = 0; i < columns.size(); ++i) {
        if (i) sql += ",";
        sql += utf8(asProperty(columns[i])->name);
    }
    sql += ") values (";
    for (size_t i = 0; i < columns.size(); ++i) sql += i ? ",%s" : "%s";
    sql += ");";
    Ref argsList = Ref::steal(PyList_New(n));
    for (Py_ssize_t r = 0; r < n; ++r) {
        PyObject* row = PyList_GET_ITEM(rows.get(), r);
        if (!PyDict_Check(row)) raiseArgType("rows", "ModelInstance", row);
        Ref args = Ref::steal(PyTuple_New((Py_ssize_t)columns.size()));
        for (size_t c = 0; c < columns.size(); ++c) {
            PyObject* value = PyDict_GetItemWithError(row, asProperty(columns[c])->name);
            if (!value) {
                checkError();
                raise(PyExc_ValueError, "insertMany(): row %zd has no value for %R (every row needs the columns of the first)",
                      r, asProperty(columns[c])->name);
            }
            PyTuple_SET_ITEM(args.get(), (Py_ssize_t)c, toDB(columns[c], value).release());
        }
        PyList_SET_ITEM(argsList.get(), r, args.release());
    }
    Ref b = Ref::steal(BulkInsertType->tp_alloc(BulkInsertType, 0));
    auto* bulk = reinterpret_cast<BulkInsertObject*>(b.get());
    bulk->base.ops = &bulkOps;
    bulk->base.currentType = SQL_INSERT;
    bulk->sql = str(sql).release();
    bulk->rows = argsList.release();
    return b;
}

// ===========================================================================
// Running statements
// ===========================================================================

// A child executor of the same class holding one statement's builder.
Ref childExecutor(PyObject* self, PyObject* builder, int mode) {
    PyTypeObject* type = Py_TYPE(self);
    Ref child = Ref::steal(type->tp_alloc(type, 0));
    auto* c = asExecutor(child.get());
    auto* s = asExecutor(self);
    c->ops = s->ops;
    c->model = Py_NewRef(s->model);
    c->sqlBuilder = Py_NewRef(builder);
    c->work = Py_NewRef(s->work);
    c->resultMode = mode;
    c->rowCount = -1;
    return child;
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

Ref startStatement(PyObject* self, PyObject* builder, int mode) {
    Ref child = childExecutor(self, builder, mode);
    return startExecutor(child.get());
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

// Stores the new key of a saved row; returns it.
Ref storeKey(const ModelInfo& info, PyObject* row, PyObject* id) {
    if (info.hasKey()) {
        PyObject* name = asProperty(info.pkCol.get())->name;
        PyObject* current = PyDict_GetItemWithError(row, name);
        if (!current) checkError();
        if (!current || current == Py_None) check(PyDict_SetItem(row, name, id));
    }
    return Ref::borrow(id);
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

PyObject* fkEntry(PyObject* fk, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(fk, key);
    if (!v) {
        checkError();
        return Py_None;
    }
    return v;
}

Ref foreignTypeMember(PyObject* name) { return getattr(columnsApi->ForeignType, name); }

std::string qualified(PyObject* prop) {
    auto* p = asProperty(prop);
    Ref table = getattr(p->model, names.tableName.get());
    std::string s(utf8(table.get()));
    s += ".";
    s += utf8(p->name);
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
        if (check(PySet_Contains(seen.get(), v))) continue;
        check(PySet_Add(seen.get(), v));
        check(PyList_Append(values.get(), v));
    }
    return values;
}

std::string placeholders(Py_ssize_t n) {
    std::string s;
    s.reserve((size_t)n * 3);
    for (Py_ssize_t i = 0; i < n; ++i) s += i ? ",%s" : "%s";
    return s;
}

std::string columnList(PyObject* model) {
    Ref cols = getattr(model, names.col.get());
    Ref table = getattr(model, names.tableName.get());
    std::string s;
    Py_ssize_t n = PyList_GET_SIZE(cols.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i) s += ",";
        s += utf8(table.get());
        s += ".";
        s += utf8(asProperty(PyList_GET_ITEM(cols.get(), i))->name);
    }
    return s;
}

constexpr const char* kMatchColumn = "__quillon_owner_key";

// Plans the loading of every relation declared on the model.
std::vector<RelationPlan> relationPlans(PyObject* model, PyObject* rows) {
    std::vector<RelationPlan> plans;
    Ref fks = getattr(model, names.fk.get());
    Ref oneToOne = foreignTypeMember(names.ONE_TO_ONE.get());
    Ref oneToMany = foreignTypeMember(names.ONE_TO_MANY.get());
    Ref manyToMany = foreignTypeMember(names.MANY_TO_MANY.get());
    Ref seq = Ref::steal(PySequence_Fast(fks.get(), "fk must be a list"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* fk = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyDict_Check(fk)) continue;
        PyObject* type = fkEntry(fk, names.Type.get());
        PyObject* name = fkEntry(fk, names.name.get());
        PyObject* bindCol = fkEntry(fk, names.bindCol.get());
        PyObject* targetBindCol = fkEntry(fk, names.targetBindCol.get());
        PyObject* target = fkEntry(fk, names.target.get());
        if (name == Py_None || !PyObject_TypeCheck(bindCol, columnsApi->BaseProperty) ||
            !PyObject_TypeCheck(targetBindCol, columnsApi->BaseProperty) || target == Py_None)
            continue;
        RelationPlan plan;
        plan.name = Ref::borrow(name);
        plan.ownerColumn = Ref::borrow(bindCol);
        plan.args = ownerValues(rows, bindCol);
        Py_ssize_t n = PyList_GET_SIZE(plan.args.get());
        if (type == manyToMany.get()) {
            // Far rows joined with the middle table: the middle column that
            // refers to the owner selects them and tells whose they are.
            Ref otherFk = callMethod(target, names.getOtherFkBy.get(), model);
            PyObject* farColumnInMiddle = fkEntry(otherFk.get(), names.bindCol.get());
            PyObject* farKey = fkEntry(otherFk.get(), names.targetBindCol.get());
            plan.farModel = Ref::borrow(fkEntry(otherFk.get(), names.target.get()));
            if (!PyObject_TypeCheck(farColumnInMiddle, columnsApi->BaseProperty) ||
                !PyObject_TypeCheck(farKey, columnsApi->BaseProperty))
                continue;
            Ref farTable = getattr(plan.farModel.get(), names.tableName.get());
            Ref middleTable = getattr(target, names.tableName.get());
            plan.many = true;
            plan.sql = "SELECT " + columnList(plan.farModel.get()) + "," + qualified(targetBindCol) + " AS " + kMatchColumn +
                       " FROM " + std::string(utf8(farTable.get())) + " JOIN " + std::string(utf8(middleTable.get())) +
                       " ON " + qualified(farColumnInMiddle) + " = " + qualified(farKey) + " WHERE " +
                       qualified(targetBindCol) + " IN (" + placeholders(n) + ");";
            plan.matchKey = str(kMatchColumn);
        } else if (type == oneToOne.get() || type == oneToMany.get()) {
            plan.farModel = Ref::borrow(target);
            Ref farTable = getattr(target, names.tableName.get());
            plan.many = type == oneToMany.get();
            plan.sql = "SELECT " + columnList(target) + " FROM " + std::string(utf8(farTable.get())) + " WHERE " +
                       qualified(targetBindCol) + " IN (" + placeholders(n) + ");";
            plan.matchKey = Ref::borrow(asProperty(targetBindCol)->name);
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
Ref finishSave(PyObject* self, PyObject* row, PyObject* raw) {
    ModelInfo info(modelOf(self));
    return storeKey(info, row, raw);
}
Ref finishLength(PyObject*, PyObject* rows, PyObject*) { return integer(PyList_GET_SIZE(rows)); }
// The number of rows the statement changed, which the connector recorded on
// the child executor that ran it.
Ref finishRowCount(PyObject*, PyObject* child, PyObject*) { return integer(asExecutor(child)->rowCount); }

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
    Ref parts = whereParts(where);
    std::string sql = head;
    sql += utf8(info.table.get());
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

Ref Executor_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(rowSignature, args, nargs, kwnames);
    if (!PyObject_TypeCheck(b[0], entityApi->ModelInstance)) raiseArgType("row", "ModelInstance", b[0]);
    ModelInfo info(modelOf(self));
    Ref builder = insertBuilder(info, b[0]);
    return complete(self, startStatement(self, builder.get(), RESULT_RAW), b[0], finishSave, false,
                    "AsyncModelExecutor.save");
}

Ref Executor_insertMany(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(rowsSignature, args, nargs, kwnames);
    ModelInfo info(modelOf(self));
    Ref rows = Ref::steal(PySequence_List(b[0]));
    Ref builder = bulkBuilder(info, rows.get());
    if (!builder) return immediate(self, integer(0), "AsyncModelExecutor.insertMany");
    return complete(self, startStatement(self, builder.get(), RESULT_RAW), rows.get(), finishLength, false,
                    "AsyncModelExecutor.insertMany");
}

Ref Executor_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(updateSignature, args, nargs, kwnames);
    ModelInfo info(modelOf(self));
    PyObject* key = rowKey(info, b[0], "update");
    Ref where = keyFilter(info.pkCol.get(), key);
    Ref builder = updateBuilder(info, setItemsOfRow(info, b[0]), where.get());
    Ref child = childExecutor(self, builder.get(), RESULT_RAW);
    return complete(self, startExecutor(child.get()), child.get(), finishRowCount, false, "AsyncModelExecutor.update");
}

Ref Executor_updateWhere(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(updateWhereSignature, args, nargs, kwnames);
    requireFilter(b[0]);
    ModelInfo info(modelOf(self));
    Ref builder = updateBuilder(info, setItemsFrom(info, b[1]), b[0]);
    Ref child = childExecutor(self, builder.get(), RESULT_RAW);
    return complete(self, startExecutor(child.get()), child.get(), finishRowCount, false, "AsyncModelExecutor.updateWhere");
}

Ref Executor_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(deleteSignature, args, nargs, kwnames);
    ModelInfo info(modelOf(self));
    PyObject* key = rowKey(info, b[0], "delete");
    Ref where = keyFilter(info.pkCol.get(), key);
    Ref builder = deleteBuilder(info, where.get());
    Ref child = childExecutor(self, builder.get(), RESULT_RAW);
    return complete(self, startExecutor(child.get()), child.get(), finishRowCount, false, "AsyncModelExecutor.delete");
}

Ref Executor_deleteWhere(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(deleteWhereSignature, args, nargs, kwnames);
    // Deleting every row takes an explicit filter; None is refused here.
    requireFilter(b[0], false);
    ModelInfo info(modelOf(self));
    Ref builder = deleteBuilder(info, b[0]);
    Ref child = childExecutor(self, builder.get(), RESULT_RAW);
    return complete(self, startExecutor(child.get()), child.get(), finishRowCount, false, "AsyncModelExecutor.deleteWhere");
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

PyObject* op_handleResult(PyObject* self, PyObject* raw) {
    return entry([&] {
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

PyObject* Executor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return entry([&] {
        auto b = bind(newSignature, args, kwargs);
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        auto* ex = asExecutor(self.get());
        ex->ops = &baseOps;
        ex->model = Py_NewRef(b[0]);
        ex->work = Py_NewRef(b.get(1, Py_None));
        ex->sqlBuilder = Py_NewRef(Py_None);
        ex->resultMode = RESULT_ROWS;
        if (!generatorApi->newSqlGenerator) raise(PyExc_ImportError, "the statement builder is not available");
        Ref builder = Ref::steal(generatorApi->newSqlGenerator());
        // The builder already targets the model's table: callers that drive
        // it (the pager) never call From.
        if (b[0] != Py_None) {
            Ref table = Ref::stealOrNull(PyObject_GetAttr(b[0], names.tableName.get()));
            if (!table) PyErr_Clear();
            if (table) assignField(asBuilder(builder.get())->target, std::move(table));
        }
        assignField(ex->sqlBuilder, std::move(builder));
        return self;
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
    Q_FAST("save", Executor_save, "save(row) -> inserts the row, stores and returns its new key"),
    Q_FAST("insertMany", Executor_insertMany, "insertMany(rows) -> inserts all rows in one statement run; their count"),
    Q_FAST("update", Executor_update, "update(row) -> writes every column of the row, found by its key; the number of rows changed"),
    Q_FAST("updateWhere", Executor_updateWhere, "updateWhere(where, values) -> sets {name: value} (or [(column, value), ...]) on matching rows; their number"),
    Q_FAST("delete", Executor_delete, "delete(row) -> deletes the row, found by its key; the number of rows deleted"),
    Q_FAST("deleteWhere", Executor_deleteWhere, "deleteWhere(where) -> deletes the matching rows; their number"),
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
PyType_Slot bulkSlots[] = {
    {Py_tp_dealloc, (void*)deallocObject<bulkFields>},
    {Py_tp_traverse, (void*)traverseObject<bulkFields>},
    {Py_tp_clear, (void*)clearObject<bulkFields>},
    {0, nullptr},
};

constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE;
// Derived specs leave out HAVE_GC: CPython inherits it with the base's traverse.
constexpr unsigned kDerivedFlags = kFlags & ~Py_TPFLAGS_HAVE_GC;
PyType_Spec baseSpec = {"Quillon.Model.Executors.BaseModelExecutor", sizeof(BaseModelExecutorObject), 0, kFlags,
                        baseSlots};
PyType_Spec blockingSpec = {"Quillon.Model.Executors.ModelExecutor", sizeof(BaseModelExecutorObject), 0,
                            kDerivedFlags, blockingSlots};
PyType_Spec asyncSpec = {"Quillon.Model.Executors.AsyncModelExecutor", sizeof(BaseModelExecutorObject), 0,
                         kDerivedFlags, asyncSlots};
PyType_Spec bulkSpec = {"Quillon.Model.Executors.BulkInsert", sizeof(BulkInsertObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                            Py_TPFLAGS_DISALLOW_INSTANTIATION,
                        bulkSlots};

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
}

void exec(PyObject* module) {
    initCoroutines(module);
    internNames();
    BaseModelExecutorType = addType(module, &baseSpec);
    ModelExecutorType = addType(module, &blockingSpec, BaseModelExecutorType);
    AsyncModelExecutorType = addType(module, &asyncSpec, BaseModelExecutorType);
    api.BaseModelExecutor = BaseModelExecutorType;
    api.ModelExecutor = ModelExecutorType;
    api.AsyncModelExecutor = AsyncModelExecutorType;
    api.baseOps = &baseOps;
    publish(module, &api, kExecutorsCapsule);

    generatorApi = bindApi<GeneratorApi>("Quillon.DB.Generator", kGeneratorCapsule);
    columnsApi = bindApi<ColumnsApi>("Quillon.Model.Columns", kColumnsCapsule);
    dbApi = bindApi<DBApi>("Quillon.DB.DB", kDBCapsule);
    entityApi = bindApi<EntityApi>("Quillon.Model.Entity", kEntityCapsule);

    Ref bases = tupleOf({(PyObject*)generatorApi->BaseSqlGenerator});
    BulkInsertType = (PyTypeObject*)Ref::steal(PyType_FromModuleAndSpec(module, &bulkSpec, bases.get())).release();
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
