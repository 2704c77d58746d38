// Quillon.Ext.Paging: page-by-page reads of a model query.
//
// A `Paging` controller holds the executor of one model and drives that
// executor's statement builder: `filter` and `orderBy` record the query,
// `execute` counts the matching rows, sets the limit of the requested page
// and lets the executor run the select.  The result is a `Page`, a dict
// (a DictPlus) with the entries page, pageSize, content, total and totalPage.
// With an asyncio connector `execute` returns a native coroutine doing the
// same steps with awaits.
#include <quillon/coro.hpp>
#include <quillon/facade.hpp>
#include <quillon/layouts.hpp>
#include <quillon/native.hpp>
#include <quillon/override.hpp>
#include <quillon/sql.hpp>
#include <quillon/terms.hpp>

#include <string>

using namespace quillon;

namespace {

PyTypeObject* PagingType = nullptr;
PyTypeObject* PageType = nullptr;

const DBApi* dbApi = nullptr;
const ColumnsApi* columnsApi = nullptr;
const GeneratorApi* generatorApi = nullptr;
const ExecutorsApi* executorsApi = nullptr;

struct Names {
    Leaked page, pageSize, content, total, totalPage, executeSql, args, getExecutor, col, pkName,
        tableName, select, where, Limit, execute, findListForeignKey;
} names;

PagingObject* asPaging(PyObject* o) { return reinterpret_cast<PagingObject*>(o); }

// ===========================================================================
// Page
// ===========================================================================

const Signature<4> pageSignature{"Page", {"page", "pageSize", "content", "total"}, 2};

int Page_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return boundary(-1, [&] {
        auto b = bind(pageSignature, args, kwargs);
        Ref page = Ref::steal(PyNumber_Index(b[0]));
        Ref pageSize = Ref::steal(PyNumber_Index(b[1]));
        PyObject* contentArg = b[2];
        if (contentArg && contentArg != Py_None && !PyList_Check(contentArg))
            raiseArgType("content", "list", contentArg);
        // Every page gets a list of its own when none is given.
        Ref content = contentArg ? Ref::borrow(contentArg) : Ref::steal(PyList_New(0));
        Ref total = b[3] ? Ref::steal(PyNumber_Index(b[3])) : integer(0);
        PyDict_Clear(self);
        check(PyDict_SetItem(self, names.page.get(), page.get()));
        check(PyDict_SetItem(self, names.pageSize.get(), pageSize.get()));
        check(PyDict_SetItem(self, names.content.get(), content.get()));
        check(PyDict_SetItem(self, names.total.get(), total.get()));
        return 0;
    });
}

PyType_Slot pageSlots[] = {
    {Py_tp_init, (void*)Page_init},
    {Py_tp_getattro, (void*)entryGetAttr},
    {Py_tp_setattro, (void*)entrySetAttr},
    {Py_tp_doc, (void*)"Page(page, pageSize, content=[], total=0)\n\n"
                       "One page of a query: the entries page, pageSize, content (the model rows),\n"
                       "total (rows matching the filter) and totalPage, readable as attributes too."},
    {0, nullptr},
};
// Derived from dict: the layout (and GC support) is inherited.
PyType_Spec pageSpec = {"Quillon.Ext.Paging.Page", 0, 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, pageSlots};

Ref newPage(int page, int pageSize) {
    Ref p = integer(page), size = integer(pageSize);
    return call((PyObject*)PageType, p.get(), size.get());
}

// ===========================================================================
// The facade and the executor
// ===========================================================================

// The controller's executor and its builder, held: every use of them runs
// Python code (an executor's handleResult override shows another builder on
// the executor while it runs).
Ref executorOf(PyObject* self) {
    Borrowed ex(asPaging(self)->executor);
    if (ex.get() == Py_None) raise(PyExc_AttributeError, "'NoneType' object has no attribute 'sqlBuilder'");
    return ex.ref();
}

Ref builderOf(PyObject* self) {
    Ref executor = executorOf(self);
    Ref builder = Borrowed(executor.as<BaseModelExecutorObject>()->sqlBuilder).ref();
    if (!PyObject_TypeCheck(builder.get(), generatorApi->SqlGenerator)) raiseConvert(builder.get(), "SqlGenerator");
    return builder;
}

Ref targetOf(PyObject* self) { return Borrowed(asPaging(self)->target).ref(); }

// ===========================================================================
// Paging
// ===========================================================================

const size_t pagingFieldOffsets[] = {offsetof(PagingObject, target), offsetof(PagingObject, executor),
                                     offsetof(PagingObject, relations)};
const FieldList pagingFields{pagingFieldOffsets, 3};

// findForeign's value: a truth value (every relation of the model), or the
// relations to load (one, or a sequence that may go on through related
// models), which the executor's findListForeignKey checks.
void setFindForeign(PyObject* self, PyObject* value) {
    auto* p = asPaging(self);
    if (!value || value == Py_None || PyBool_Check(value) || PyLong_Check(value)) {
        p->deep = value && truthy(value);
        assignField(p->relations, Py_None);
        return;
    }
    assignField(p->relations, value);
    p->deep = 1;
}

OverrideSet<3> overrides{{"_execute", "_asyncExecute", "_getCount"}};
enum { OV_EXECUTE, OV_ASYNC_EXECUTE, OV_GET_COUNT };

Ref executeBlocking(PyObject* self);

PyObject* op__execute(PyObject* self) {
    return entry([&] {
        if (overrides.overridden(self, OV_EXECUTE)) return callMethod(self, overrides.name(OV_EXECUTE));
        return executeBlocking(self);
    });
}

const PagingOps pagingOps = {op__execute};

const Signature<4> pagingSignature{"Paging", {"target", "page", "pageSize", "findForeign"}, 1};

PyObject* Paging_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return entry([&] {
        auto b = bind(pagingSignature, args, kwargs);
        int page = b[1] ? asInt32(b[1]) : 1;
        int pageSize = b[2] ? asInt32(b[2]) : 10;
        if (assertionsEnabled()) {
            if (pageSize < 1) raise(PyExc_AssertionError, "%s", "pageSize参数必须为大于零的整数");
            if (page < 1) raise(PyExc_AssertionError, "%s", "page参数必须为大于零的整数");
        }
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        auto* p = asPaging(self.get());
        p->ops = &pagingOps;
        initFieldsNone(self.get(), pagingFields);
        assignField(p->target, b[0]);
        Ref executor = callMethod(b[0], names.getExecutor.get());
        if (executor.get() != Py_None && !PyObject_TypeCheck(executor.get(), executorsApi->BaseModelExecutor))
            raiseConvert(executor.get(), "BaseModelExecutor");
        assignField(p->executor, std::move(executor));
        p->page = page;
        p->pageSize = pageSize;
        setFindForeign(self.get(), b[3]);
        return self;
    });
}

// Selects every column of the model with the filter chain (None: no filter).
void selectWhere(PyObject* self, PyObject* cell) {
    Ref builder = builderOf(self);
    Ref cols = getattr(targetOf(self).get(), names.col.get());
    Ref colTuple = Ref::steal(PySequence_Tuple(cols.get()));
    Ref select = getattr(builder.get(), names.select.get());
    Ref ignored = Ref::steal(PyObject_Call(select.get(), colTuple.get(), nullptr));
    callMethod(builder.get(), names.where.get(), cell);
}

const Signature<1> filterSignature{"filter", {"args"}, 0};

Ref Paging_filter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* cell = bind(filterSignature, args, nargs, kwnames).get(0, Py_None);
    if (cell != Py_None && !PyObject_TypeCheck(cell, columnsApi->FilterListCell))
        raiseArgType("args", "FilterListCell", cell);
    requireOwnColumns(columnsApi, targetOf(self).get(), cell);
    selectWhere(self, cell);
    return Ref::borrow(self);
}

// Order terms follow the executor's rule: columns of the model (properties,
// or names with an optional ASC/DESC), never SQL text from the caller.
Ref Paging_orderBy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    noKeywords("orderBy", kwnames);
    Ref builder = builderOf(self);
    Ref model = targetOf(self);
    Ref table = getattr(model.get(), names.tableName.get());
    if (!PyUnicode_Check(table.get())) raiseConvert(table.get(), "str");
    Ref cols = getattr(model.get(), names.col.get());
    if (!PyList_Check(cols.get())) raiseConvert(cols.get(), "list");
    int dialect = activeDialect(dbApi);
    Ref terms = Ref::steal(PyTuple_New(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        std::string text =
            orderTermText(columnsApi, generatorApi, model.get(), table.get(), cols.get(), args[i], dialect);
        PyTuple_SET_ITEM(terms.get(), i, str(text).release());
    }
    assignField(builder.as<SqlGeneratorObject>()->orderList, std::move(terms));
    return Ref::borrow(self);
}

const Signature<2> setPageSignature{"setPage", {"page", "pageSize"}, 1};

Ref Paging_setPage(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(setPageSignature, args, nargs, kwnames);
    int page = asInt32(b[0]);
    int pageSize = b[1] ? asInt32(b[1]) : 0;
    asPaging(self)->page = page;
    if (pageSize > 0) asPaging(self)->pageSize = pageSize;
    return Ref::borrow(self);
}

const Signature<1> findForeignSignature{"findForeign", {"relations"}, 0};

Ref Paging_findForeign(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(findForeignSignature, args, nargs, kwnames);
    setFindForeign(self, b[0] && b[0] != Py_None ? b[0] : Py_True);
    return Ref::borrow(self);
}

// Loads the relations of the page's rows through the executor: the call
// without relations when findForeign named none (an executor subclass may
// take the rows alone).
Ref loadRelations(PyObject* self, PyObject* executor, PyObject* content) {
    Ref relations = Borrowed(asPaging(self)->relations).ref();
    if (relations.get() == Py_None) return callMethod(executor, names.findListForeignKey.get(), content);
    return callMethod(executor, names.findListForeignKey.get(), content, relations.get());
}

// The count query: rows matching the recorded filter.  A model without a
// primary key counts rows with count(*).
Ref getCountNative(PyObject* self) {
    Ref builder = builderOf(self);
    Ref where = Borrowed(builder.as<SqlGeneratorObject>()->whereCol).ref();
    Ref parts = Ref::steal(generatorApi->sqlGeneratorOps->build_where(where.get()));
    if (!PyTuple_Check(parts.get()) || PyTuple_GET_SIZE(parts.get()) != 2) raiseConvert(parts.get(), "tuple");
    Borrowed whereText = tupleItem(parts.get(), 0);  // held by `parts`
    Borrowed whereArgs = tupleItem(parts.get(), 1);
    Ref target = targetOf(self);
    Ref pkName = getattr(target.get(), names.pkName.get());
    Ref tableName = getattr(target.get(), names.tableName.get());
    int dialect = activeDialect(dbApi);
    std::string sql = "select count(";
    if (pkName.get() == Py_None)
        sql += "*";
    else
        appendIdentifier(sql, utf8(Ref::steal(PyObject_Str(pkName.get())).get()), dialect);
    sql += ") from ";
    appendIdentifier(sql, utf8(Ref::steal(PyObject_Str(tableName.get())).get()), dialect);
    sql += " ";
    sql += utf8(whereText.get());
    Ref text = str(sql);
    Ref argTuple = Ref::steal(PySequence_Tuple(whereArgs.get()));
    Ref executeSql = getattr(activeFacade(dbApi), names.executeSql.get());
    Ref kwnames = tupleOf({names.args.get()});
    PyObject* argv[] = {text.get(), argTuple.get()};
    return Ref::steal(PyObject_Vectorcall(executeSql.get(), argv, 1, kwnames.get()));
}

Ref getCount(PyObject* self) {
    if (overrides.overridden(self, OV_GET_COUNT)) return callMethod(self, overrides.name(OV_GET_COUNT));
    return getCountNative(self);
}

// Element 0 of row 0 of the count result.
Ref firstValue(PyObject* rows) {
    Ref row = Ref::steal(PySequence_GetItem(rows, 0));
    return Ref::steal(PySequence_GetItem(row.get(), 0));
}

// Stores total and totalPage; false when the page has no rows to fetch.
bool settlePage(PyObject* self, PyObject* page, PyObject* total) {
    auto* p = asPaging(self);
    check(PyDict_SetItem(page, names.total.get(), total));
    Ref size = integer(p->pageSize);
    // Whole pages plus one for a remainder: the ceiling of total / pageSize.
    Ref whole = Ref::steal(PyNumber_FloorDivide(total, size.get()));
    Ref rest = Ref::steal(PyNumber_Remainder(total, size.get()));
    Ref totalPage = truthy(rest.get()) ? Ref::steal(PyNumber_Add(whole.get(), integer(1).get())) : std::move(whole);
    check(PyDict_SetItem(page, names.totalPage.get(), totalPage.get()));
    if (!truthy(total)) return false;
    Ref current = integer(p->page);
    return !check(PyObject_RichCompareBool(current.get(), totalPage.get(), Py_GT));
}

void limitPage(PyObject* self) {
    auto* p = asPaging(self);
    // A controller executed without filter() reads every row: the select of
    // all columns is recorded here, so the builder has a statement to run.
    if (builderOf(self).as<BaseSqlGeneratorObject>()->currentType == SQL_NONE) selectWhere(self, Py_None);
    Ref count = integer(p->pageSize);
    Ref offset = integer(((long long)p->page - 1) * p->pageSize);
    callMethod(builderOf(self).get(), names.Limit.get(), count.get(), offset.get());
}

Ref executeBlocking(PyObject* self) {
    auto* p = asPaging(self);
    Ref page = newPage(p->page, p->pageSize);
    Ref rows = getCount(self);
    if (!settlePage(self, page.get(), firstValue(rows.get()).get())) return page;
    limitPage(self);
    Ref executor = executorOf(self);
    Ref content = callMethod(executor.get(), names.execute.get());
    check(PyDict_SetItem(page.get(), names.content.get(), content.get()));
    if (p->deep && truthy(content.get())) loadRelations(self, executor.get(), content.get());
    return page;
}

Coro executeAwaited(Ref self) {
    auto* p = asPaging(self.get());  // held by the parameter
    Local page = newPage(p->page, p->pageSize);
    {
        Ref rows = co_await awaitPy(getCount(self.get()));
        if (!settlePage(self.get(), page.get(), firstValue(rows.get()).get())) co_return page.take();
    }
    limitPage(self.get());
    Local executor = executorOf(self.get());
    Local content = co_await awaitPy(callMethod(executor.get(), names.execute.get()));
    check(PyDict_SetItem(page.get(), names.content.get(), content.get()));
    if (p->deep && truthy(content.get()))
        co_await awaitPy(loadRelations(self.get(), executor.get(), content.get()));
    co_return page.take();
}

Ref asyncExecuteNative(PyObject* self) { return toPython(executeAwaited(Ref::borrow(self)), "Paging._asyncExecute"); }

Ref Paging_execute(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("execute", nargs, kwnames);
    if (activeConnectorIsAsync(dbApi)) {
        if (overrides.overridden(self, OV_ASYNC_EXECUTE)) return callMethod(self, overrides.name(OV_ASYNC_EXECUTE));
        return asyncExecuteNative(self);
    }
    return Ref::steal(asPaging(self)->ops->_execute(self));
}

Ref Paging__execute(PyObject* self) { return executeBlocking(self); }
Ref Paging__asyncExecute(PyObject* self) { return asyncExecuteNative(self); }
Ref Paging__getCount(PyObject* self) { return getCountNative(self); }

PyMethodDef pagingMethods[] = {
    Q_FAST("filter", Paging_filter, "filter(args=None) -> self; selects the model's columns with the filter chain"),
    Q_FAST("orderBy", Paging_orderBy,
           "orderBy(*terms) -> self; orders the rows by columns of the model: properties, or \"column\" or\n"
           "\"table.column\" with an optional ASC/DESC (anything else raises ValueError)"),
    Q_FAST("setPage", Paging_setPage, "setPage(page, pageSize=0) -> self; a size of 0 or less keeps the current one"),
    Q_FAST("findForeign", Paging_findForeign,
           "findForeign(relations=None) -> self; loads the relations of the page's rows: every relation of the\n"
           "model, or the relations given (one, or a sequence that may go on through related models)"),
    Q_FAST("execute", Paging_execute, "execute() -> the Page, or an awaitable of it with an asyncio connector"),
    Q_NOARGS("_execute", Paging__execute, "_execute() -> the Page, fetched blocking"),
    Q_NOARGS("_asyncExecute", Paging__asyncExecute, "_asyncExecute() -> a coroutine fetching the Page"),
    Q_NOARGS("_getCount", Paging__getCount, "_getCount() -> the rows of the count query (awaitable when async)"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot pagingSlots[] = {
    {Py_tp_new, (void*)Paging_new},
    {Py_tp_dealloc, (void*)deallocObject<pagingFields>},
    {Py_tp_traverse, (void*)traverseObject<pagingFields>},
    {Py_tp_clear, (void*)clearObject<pagingFields>},
    {Py_tp_methods, pagingMethods},
    {Py_tp_doc, (void*)"Paging(target, page=1, pageSize=10, findForeign=False)\n\n"
                       "Reads one page of a model's rows: configure with filter/orderBy/setPage/findForeign,\n"
                       "then execute() for a Page."},
    {0, nullptr},
};
PyType_Spec pagingSpec = {"Quillon.Ext.Paging.Paging", sizeof(PagingObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                          pagingSlots};

void internNames() {
    names.page = interned("page");
    names.pageSize = interned("pageSize");
    names.content = interned("content");
    names.total = interned("total");
    names.totalPage = interned("totalPage");
    names.executeSql = interned("executeSql");
    names.args = interned("args");
    names.getExecutor = interned("getExecutor");
    names.col = interned("col");
    names.pkName = interned("pkName");
    names.tableName = interned("tableName");
    names.select = interned("select");
    names.where = interned("where");
    names.Limit = interned("Limit");
    names.execute = interned("execute");
    names.findListForeignKey = interned("findListForeignKey");
}

void exec(PyObject* module) {
    initCoroutines(module);
    internNames();
    PagingType = addType(module, &pagingSpec);
    Ref dictPlus = importFrom("Quillon.Ext.Dict", "DictPlus");
    PageType = addType(module, &pageSpec, &PyDict_Type);
    callMethod(dictPlus.get(), "register", (PyObject*)PageType);  // a virtual subclass: isinstance(page, DictPlus)
    addObject(module, "DictPlus", dictPlus.get());
    dbApi = bindApi<DBApi>("Quillon.DB.DB", kDBCapsule);
    bindApi<ConnectorApi>("Quillon.DB.Connector", kConnectorCapsule);
    columnsApi = bindApi<ColumnsApi>("Quillon.Model.Columns", kColumnsCapsule);
    generatorApi = bindApi<GeneratorApi>("Quillon.DB.Generator", kGeneratorCapsule);
    bindApi<EntityApi>("Quillon.Model.Entity", kEntityCapsule);
    executorsApi = bindApi<ExecutorsApi>("Quillon.Model.Executors", kExecutorsCapsule);
    Ref db = importFrom("Quillon.DB.DB", "DB");
    addObject(module, "DB", db.get());
}

PyModuleDef_Slot moduleSlots[] = {
    Q_MODULE_SLOTS(exec),
    {0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "Quillon.Ext.Paging", "Page-by-page reads of a model query.", 0,
                         nullptr, moduleSlots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Paging() { return PyModuleDef_Init(&moduleDef); }
