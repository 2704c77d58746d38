// Quillon.DB.Connector: the database connectors.
//
// A connector owns the driver-level connections and runs SQL text for the
// rest of the system.  `BaseConnector` holds the fields every connector
// shares and the do-nothing defaults; `Sqlite3Connector` runs blocking over
// the host's sqlite3 module on one shared connection, serialising statement
// and commit with the module-wide `lock`; `AioSqliteConnector` and
// `AioMysqlConnector` give every asyncio task a connection of its own and end
// it (commit, or rollback when the task failed or was cancelled) from the
// task's done-callback; `PyMysqlConnector` is a blocking placeholder.
//
// Statements arrive with "%s" placeholders; the SQLite connectors rewrite
// them to "?" before the driver sees them.  Every awaitable operation is a
// C++ coroutine (coro.hpp) that Python drives like an `async def`.
#include <quillon/coro.hpp>
#include <quillon/layouts.hpp>
#include <quillon/native.hpp>
#include <quillon/override.hpp>

#include <optional>
#include <utility>

using namespace quillon;

namespace {

// ===========================================================================
// Module state
// ===========================================================================

// Process-lifetime references (never released: the module is never unloaded
// and releasing at exit would run after the interpreter is gone).
struct State {
    PyObject* module = nullptr;
    PyObject* logger = nullptr;          // logging.getLogger("Quillon.DB")
    PyObject* lock = nullptr;            // multiprocessing.Lock()
    PyObject* lockAcquire = nullptr;
    PyObject* lockRelease = nullptr;
    PyObject* sqliteConnect = nullptr;   // sqlite3.connect
    PyObject* currentThread = nullptr;   // threading.current_thread
    PyObject* mainThread = nullptr;      // threading.main_thread
    PyObject* asyncioSleep = nullptr;    // asyncio.sleep
    PyObject* currentTask = nullptr;     // asyncio.current_task
    PyObject* createTask = nullptr;      // asyncio.create_task
    PyObject* mysqlCursor = nullptr;     // aiomysql.Cursor
    PyObject* mysqlDictCursor = nullptr; // aiomysql.DictCursor
    PyObject* aiosqlite = nullptr;       // imported on first use
    PyObject* aiomysql = nullptr;        // imported on first use
    PyObject* pollDelay = nullptr;       // 0.3
    PyObject* endTasks = nullptr;        // set of running end-of-task coroutines' tasks
    bool assertionsOn = true;
    const ExecutorsApi* executors = nullptr;
    const GeneratorApi* generators = nullptr;
    PyTypeObject* BaseConnector = nullptr;
    PyTypeObject* Sqlite3Connector = nullptr;
    PyTypeObject* AioSqliteConnector = nullptr;
    PyTypeObject* AioMysqlConnector = nullptr;
    PyTypeObject* PyMysqlConnector = nullptr;
    PyTypeObject* DictRowIterator = nullptr;
} state;

// Interned names of the hot paths.
struct Names {
    PyObject *cursor, *execute, *executemany, *fetchall, *commit, *rollback, *close, *replace, *description,
        *lastrowid, *get, *getCon, *add_done_callback, *cancelled, *exception, *is_running, *run_until_complete,
        *create_task, *discard, *add, *releaseCon, *_releaseCon, *init_sqlite, *_init_mysql, *acquire, *release,
        *useDict, *percentS, *question, *futureBlocking, *aenter, *aexit, *typeArgs, *targetType, *rowcount;
} names;

void internNames() {
    auto in = [](const char* s) { return interned(s).release(); };
    names = {in("cursor"),      in("execute"),         in("executemany"),      in("fetchall"),
             in("commit"),      in("rollback"),        in("close"),            in("replace"),
             in("description"), in("lastrowid"),       in("get"),              in("getCon"),
             in("add_done_callback"), in("cancelled"), in("exception"),        in("is_running"),
             in("run_until_complete"), in("create_task"), in("discard"),       in("add"),
             in("releaseCon"),  in("_releaseCon"),     in("init_sqlite"),      in("_init_mysql"),
             in("acquire"),     in("release"),         in("useDict"),          in("%s"),
             in("?"),           in("_asyncio_future_blocking"), in("__aenter__"), in("__aexit__"),
             in("typeArgs"),    in("targetType"),      in("rowcount")};
}

// A constant object made on first use and kept for the life of the process.
using Constant = Leaked;

BaseConnectorObject* asBase(PyObject* o) { return reinterpret_cast<BaseConnectorObject*>(o); }
Sqlite3ConnectorObject* asSqlite(PyObject* o) { return reinterpret_cast<Sqlite3ConnectorObject*>(o); }
AioSqliteConnectorObject* asAioSqlite(PyObject* o) { return reinterpret_cast<AioSqliteConnectorObject*>(o); }
AioMysqlConnectorObject* asAioMysql(PyObject* o) { return reinterpret_cast<AioMysqlConnectorObject*>(o); }

// Calls `callable(*args, **kwargs)` with a tuple and a dict.
Ref callWith(PyObject* callable, PyObject* args, PyObject* kwargs) {
    return Ref::steal(PyObject_Call(callable, args, kwargs));
}

// The module's `generate_table`, read at call time like any module global.
Ref generateTable() {
    Ref fn = getattr(state.module, "generate_table");
    return call(fn.get());
}

// The driver modules are imported by the operations that first need them.
PyObject* aiosqliteModule() {
    if (!state.aiosqlite) state.aiosqlite = importModule("aiosqlite").release();
    return state.aiosqlite;
}
PyObject* aiomysqlModule() {
    if (!state.aiomysql) state.aiomysql = importModule("aiomysql").release();
    return state.aiomysql;
}

// ===========================================================================
// Row shaping
// ===========================================================================

// Turns rows into dicts keyed by the result column names of one cursor.  The
// names are read from `description` once per result set, not once per row.
class RowShaper {
public:
    explicit RowShaper(PyObject* cursor) {
        Ref description = getattr(cursor, names.description);
        Ref entries = Ref::steal(PySequence_Fast(description.get(), "the cursor's description is not iterable"));
        Py_ssize_t n = PySequence_Fast_GET_SIZE(entries.get());
        keys_ = Ref::steal(PyTuple_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* entry = PySequence_Fast_GET_ITEM(entries.get(), i);
            Ref key = PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) > 0
                          ? Ref::borrow(PyTuple_GET_ITEM(entry, 0))
                          : itemAt(entry, 0);
            PyTuple_SET_ITEM(keys_.get(), i, key.release());
        }
    }

    Ref shape(PyObject* row) const {
        Py_ssize_t n = PyTuple_GET_SIZE(keys_.get());
        Ref out = Ref::steal(PyDict_New());
        bool fast = PyTuple_CheckExact(row);
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref value = fast && i < PyTuple_GET_SIZE(row) ? Ref::borrow(PyTuple_GET_ITEM(row, i)) : itemAt(row, i);
            check(PyDict_SetItem(out.get(), PyTuple_GET_ITEM(keys_.get(), i), value.get()));
        }
        return out;
    }

    // A list of dicts over a sequence of rows, in row order.
    Ref shapeAll(PyObject* rows) const {
        Ref seq = Ref::steal(PySequence_Fast(rows, "fetched rows must be a sequence"));
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        Ref out = Ref::steal(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* row = PySequence_Fast_GET_ITEM(seq.get(), i);
            if (!PyTuple_Check(row)) raiseConvert(row, "tuple");
            PyList_SET_ITEM(out.get(), i, shape(row).release());
        }
        return out;
    }

private:
    // `o[i]` with the interpreter's own errors ("not subscriptable", "index out of range").
    static Ref itemAt(PyObject* o, Py_ssize_t i) {
        Ref index = Ref::steal(PyLong_FromSsize_t(i));
        return Ref::steal(PyObject_GetItem(o, index.get()));
    }
    Ref keys_;
};

Ref dict_factory(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature<2> sig{"dict_factory", {"cursor", "row"}, 2};
    auto a = bind(sig, args, nargs, kwnames);
    return RowShaper(a[0]).shape(a[1]);
}

// The lazy iterator of a blocking `execute(..., dictCur=True)`: nothing is
// fetched until it is first advanced; then it yields one dict per row.
struct DictRowIteratorObject {
    PyObject_HEAD
    PyObject* cursor;  // None once the rows have been fetched
    PyObject* rows;    // list or None
    PyObject* keys;    // the shaper's column names, kept as a dict row template
    Py_ssize_t index;
};

const size_t dictRowIteratorOffsets[] = {offsetof(DictRowIteratorObject, cursor),
                                         offsetof(DictRowIteratorObject, rows),
                                         offsetof(DictRowIteratorObject, keys)};
const FieldList dictRowIteratorFields{dictRowIteratorOffsets, 3};

Ref newDictRowIterator(PyObject* cursor) {
    auto* it = PyObject_GC_New(DictRowIteratorObject, state.DictRowIterator);
    if (!it) throwPending();
    it->cursor = Py_NewRef(cursor);
    it->rows = Py_NewRef(Py_None);
    it->keys = Py_NewRef(Py_None);
    it->index = 0;
    PyObject_GC_Track((PyObject*)it);
    return Ref::stealOrNull((PyObject*)it);
}

PyObject* DictRowIterator_next(PyObject* selfObj) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* self = reinterpret_cast<DictRowIteratorObject*>(selfObj);
        if (self->cursor != Py_None) {
            Ref cursor = Ref::borrow(self->cursor);
            Ref rows = callMethod(cursor.get(), names.fetchall);
            Ref list = Ref::steal(PySequence_List(rows.get()));
            RowShaper shaper(cursor.get());
            // Shape eagerly into the list: the cursor is then released at once.
            Ref shaped = shaper.shapeAll(list.get());
            assignField(self->rows, std::move(shaped));
            assignField(self->cursor, Py_None);
        }
        if (self->rows == Py_None || self->index >= PyList_GET_SIZE(self->rows)) {
            assignField(self->rows, Py_None);
            return nullptr;  // exhausted, no error
        }
        return Py_NewRef(PyList_GET_ITEM(self->rows, self->index++));
    });
}

PyType_Slot dictRowIteratorSlots[] = {
    {Py_tp_iter, (void*)PyObject_SelfIter},
    {Py_tp_iternext, (void*)DictRowIterator_next},
    {Py_tp_traverse, (void*)traverseObject<dictRowIteratorFields>},
    {Py_tp_clear, (void*)clearObject<dictRowIteratorFields>},
    {Py_tp_dealloc, (void*)deallocObject<dictRowIteratorFields>},
    {Py_tp_doc, (void*)"Rows of one statement as dicts, fetched when first iterated."},
    {0, nullptr},
};
PyType_Spec dictRowIteratorSpec = {"Quillon.DB.Connector.DictRowIterator", sizeof(DictRowIteratorObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                                       Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                   dictRowIteratorSlots};

// ===========================================================================
// Statement helpers shared by the connectors
// ===========================================================================

// "%s" -> "?" for the SQLite driver.  A non-str (None) fails the way a
// missing `replace` does.
Ref toQmark(PyObject* sql) {
    if (PyUnicode_CheckExact(sql)) return Ref::steal(PyUnicode_Replace(sql, names.percentS, names.question, -1));
    return callMethod(sql, names.replace, names.percentS, names.question);
}

// Unpacks a builder's `Build()` result into (sql, args) like `sql, args = r`.
std::pair<Ref, Ref> unpackStatement(Ref pair) {
    if (PyTuple_CheckExact(pair.get()) && PyTuple_GET_SIZE(pair.get()) == 2)
        return {Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0)), Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1))};
    Ref it = Ref::stealOrNull(PyObject_GetIter(pair.get()));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", typeName(pair.get()));
        }
        throwPending();
    }
    Ref items[2];
    for (int i = 0; i < 2; ++i) {
        items[i] = Ref::stealOrNull(PyIter_Next(it.get()));
        if (!items[i]) {
            checkError();
            raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
    }
    Ref extra = Ref::stealOrNull(PyIter_Next(it.get()));
    if (extra) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    checkError();
    return {std::move(items[0]), std::move(items[1])};
}

// The arguments of every connector's `execute(sql, con=None, dictCur=False,
// args=())` (borrowed from the call).  `args=None` means no arguments where
// `noneIsNoArgs`; otherwise None goes to the driver as given.
struct ExecuteCall {
    PyObject* sql;
    PyObject* con;
    bool dictCur;
    PyObject* params;
};
ExecuteCall bindExecute(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool noneIsNoArgs) {
    static const Signature<4> sig{"execute", {"sql", "con", "dictCur", "args"}, 1};
    static const Constant empty = Ref::steal(PyTuple_New(0));
    auto a = bind(sig, args, nargs, kwnames);
    PyObject* params = a.get(3, empty.get());
    requireStrOrNone("sql", a[0]);
    requireTupleOrNone("args", params);
    if (noneIsNoArgs && params == Py_None) params = empty.get();
    return {a[0], a.get(1, Py_None), a[2] ? truthy(a[2]) : false, params};
}

// The statement builder of an executor, checked before it is read natively.
PyObject* builderOf(PyObject* executor) {
    PyObject* builder = reinterpret_cast<BaseModelExecutorObject*>(executor)->sqlBuilder;
    if (!builder || !PyObject_TypeCheck(builder, state.generators->BaseSqlGenerator))
        raise(PyExc_TypeError, "the executor's sqlBuilder must be a BaseSqlGenerator, got %.200s",
              builder ? typeName(builder) : "NULL");
    return builder;
}
int statementKind(PyObject* builder) { return reinterpret_cast<BaseSqlGeneratorObject*>(builder)->currentType; }
Ref buildStatement(PyObject* builder) { return Ref::steal(generatorOps(builder)->Build(builder)); }

// An executor's prepared statement as (text, args), its text with "%s"
// rewritten to "?" when `qmark` (the SQLite driver's placeholder).
std::pair<Ref, Ref> preparedStatement(PyObject* builder, bool qmark) {
    auto [sql, params] = unpackStatement(buildStatement(builder));
    if (sql.get() != Py_None && !PyUnicode_Check(sql.get())) raiseConvert(sql.get(), "unicode");
    if (qmark) return {toQmark(sql.get()), std::move(params)};
    return {std::move(sql), std::move(params)};
}

// Runs a prepared statement on a cursor: `execute` for one tuple of
// arguments, `executemany` for a sequence of them.  An awaitable driver
// returns the awaitable of the call.
Ref runStatement(PyObject* cursor, PyObject* text, PyObject* params) {
    return callMethod(cursor, PyTuple_Check(params) ? names.execute : names.executemany, text, params);
}

// A statement run over many argument tuples (executemany) is made atomic
// on SQLite: the driver runs it once per tuple, so a failure in the middle
// (a constraint violation, say) would leave the tuples before it in the open
// transaction, and the next commit would keep half of the batch.  The run
// happens inside a savepoint that is rolled back when it fails; a
// transaction is begun first when none is open, so releasing the savepoint
// never commits on its own.
struct ManyStatementSteps {
    PyObject* begin;
    PyObject* savepoint;
    PyObject* release;
    PyObject* rollbackTo;
};
const ManyStatementSteps& manySteps() {
    static const Constant begin = str("BEGIN");
    static const Constant savepoint = str("SAVEPOINT quillon_many");
    static const Constant release = str("RELEASE SAVEPOINT quillon_many");
    static const Constant rollbackTo = str("ROLLBACK TO SAVEPOINT quillon_many");
    static const ManyStatementSteps steps{begin.get(), savepoint.get(), release.get(), rollbackTo.get()};
    return steps;
}
bool isManyStatement(PyObject* params) { return !PyTuple_Check(params); }

// Blocking: the statement on `cursor` of connection `con`, atomic when it
// runs over many tuples.  The driver's error reaches the caller unchanged.
void runStatementAtomically(PyObject* con, PyObject* cursor, PyObject* text, PyObject* params) {
    if (!isManyStatement(params)) {
        runStatement(cursor, text, params);
        return;
    }
    const auto& steps = manySteps();
    if (!truthy(getattr(con, "in_transaction").get())) callMethod(con, names.execute, steps.begin);
    callMethod(con, names.execute, steps.savepoint);
    try {
        runStatement(cursor, text, params);
    } catch (PyError&) {
        try {
            callMethod(con, names.execute, steps.rollbackTo);
            callMethod(con, names.execute, steps.release);
        } catch (PyError&) {
            // The statement's own error is the one the caller needs.
        }
        throw;
    }
    callMethod(con, names.execute, steps.release);
}

// Tells the executor how many rows its statement changed (the driver's
// rowcount), so update and delete operations can report it.
void recordRowCount(PyObject* executor, PyObject* cursor) {
    Ref count = Ref::stealOrNull(PyObject_GetAttr(cursor, names.rowcount));
    Py_ssize_t n = count ? PyLong_AsSsize_t(count.get()) : -1;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        n = -1;
    }
    reinterpret_cast<BaseModelExecutorObject*>(executor)->rowCount = n;
}
Ref handleResult(PyObject* executor, PyObject* raw) {
    return Ref::steal(state.executors->baseOps->handleResult(executor, raw));
}

// The awaitable connectors' executor rule.
void requireAsyncExecutor(PyObject* executor) {
    PyTypeObject* type = state.executors->AsyncModelExecutor;
    if (executor != Py_None && !PyObject_TypeCheck(executor, type)) raiseConvert(executor, "AsyncModelExecutor");
    if (executor == Py_None) {
        if (state.assertionsOn)
            raise(PyExc_AssertionError, "%s", "需要传入executor参数,且必须为AsyncModelExecutor实例");
        // Without assertions there is still nothing to run.
        raise(PyExc_TypeError, "asyncProcess() needs the keyword executor=<AsyncModelExecutor>");
    }
}

// The interpreter's `asyncio.current_task()`, refused when there is no task:
// a connection is owned by a task, so nothing is opened outside one.
Ref requireCurrentTask(const char* operation) {
    Ref task = call(state.currentTask);
    if (task.get() == Py_None)
        raise(PyExc_RuntimeError, "%s() must be awaited inside an asyncio task (it owns the connection)", operation);
    return task;
}

// Whether a finished task's work must be rolled back: it was cancelled or
// ended with an exception.  (Asking a cancelled task for its exception
// raises, so cancellation is asked first.)
bool taskFailed(PyObject* task) {
    if (truthy(callMethod(task, names.cancelled).get())) return true;
    Ref exc = callMethod(task, names.exception);
    return truthy(exc.get());
}

// A Python exception taken apart for an `__aexit__` call and put back after.
struct ExcInfo {
    Ref type, value, tb;
    explicit ExcInfo(PyError& e) {
        e.restore();
        PyObject *t, *v, *b;
        PyErr_Fetch(&t, &v, &b);
        PyErr_NormalizeException(&t, &v, &b);
        if (b && v) PyException_SetTraceback(v, b);
        type = Ref::stealOrNull(t);
        value = Ref::stealOrNull(v);
        tb = Ref::stealOrNull(b);
    }
    [[noreturn]] void rethrow() {
        PyErr_Restore(type.release(), value.release(), tb.release());
        throwPending();
    }
};

// The `__aexit__` call that ends an `async with` block: with the parts of the
// block's exception, or with three Nones when the block succeeded.
Ref exitBlock(PyObject* manager, const std::optional<ExcInfo>& info) {
    if (!info) return callMethod(manager, names.aexit, Py_None, Py_None, Py_None);
    return callMethod(manager, names.aexit, info->type.get(), info->value.get(), info->tb ? info->tb.get() : Py_None);
}

// Starts an end-of-task coroutine at once and lets a task finish it.
//
// The coroutine is advanced to its first suspension right here, inside the
// done-callback, so that its first driver call (the commit or rollback) is
// already issued.  A task created now might otherwise be cancelled before it
// ever runs (asyncio.run cancels every pending task once its main task is
// done), which would lose the commit and leave the connection open.
void startEndTask(PyObject* createTask, Ref coro) {
    PyObject* yielded = nullptr;
    PySendResult r = PyIter_Send(coro.get(), Py_None, &yielded);
    if (r == PYGEN_ERROR) throwPending();
    Ref first = Ref::stealOrNull(yielded);
    if (r == PYGEN_RETURN) return;
    // The task re-awaits the same future on its first step; like a task's
    // own step, clear the future's blocking mark so it may be yielded again.
    if (first.get() != Py_None && PyObject_HasAttr(first.get(), names.futureBlocking))
        setattr(first.get(), names.futureBlocking, Py_False);
    Ref task = call(createTask, coro.get());
    callMethod(state.endTasks, names.add, task.get());
    Ref discard = getattr(state.endTasks, names.discard);
    callMethod(task.get(), names.add_done_callback, discard.get());
}

// Removes conMap[task] when it still maps to `con`.
void forgetTaskConnection(PyObject* conMap, PyObject* task, PyObject* con) {
    if (!conMap || !PyDict_Check(conMap)) return;
    PyObject* held = PyDict_GetItemWithError(conMap, task);
    if (!held) {
        checkError();
        return;
    }
    if (held == con) check(PyDict_DelItem(conMap, task));
}

// ===========================================================================
// BaseConnector
// ===========================================================================

const size_t baseOffsets[] = {offsetof(BaseConnectorObject, _pool), offsetof(BaseConnectorObject, selectCon),
                              offsetof(BaseConnectorObject, _config)};
const FieldList baseFields{baseOffsets, 3};

template <const FieldList& Fields, int Dialect = DIALECT_SQLITE>
PyObject* newConnector(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    return entry([&] {
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        initFieldsNone(self.get(), Fields);
        asBase(self.get())->dialect = Dialect;
        return self;
    });
}

int BaseConnector_init(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return boundary(-1, [&] {
        noArguments("BaseConnector", args, kwargs);
        return 0;
    });
}

Ref BaseConnector_process(PyObject*, PyObject* const*, Py_ssize_t, PyObject* kwnames) {
    // Any arguments are accepted; keyword names are strings by construction.
    (void)kwnames;
    return Ref::none();
}

Coro nothingToDo() { co_return Ref::none(); }

Ref BaseConnector_asyncProcess(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    return toPython(nothingToDo(), "BaseConnector.asyncProcess");
}

Ref BaseConnector_GenerateTable(PyObject*) { return Ref::none(); }

Ref get_pool(PyObject* self) { return Ref::borrow(asBase(self)->_pool); }
void set_pool(PyObject* self, PyObject* value) { assignField(asBase(self)->_pool, value ? value : Py_None); }
Ref get_Type(PyObject* self) { return integer(asBase(self)->Type); }
Ref get_isAsync(PyObject* self) { return boolean(asBase(self)->isAsync); }
void set_isAsync(PyObject* self, PyObject* value) {
    if (!value) raise(PyExc_TypeError, "cannot delete isAsync");
    asBase(self)->isAsync = truthy(value);
}
Ref get_config(PyObject* self) { return Ref::borrow(asBase(self)->_config); }
void set_config(PyObject* self, PyObject* value) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyDict_CheckExact(value)) raiseConvert(value, "dict");
    assignField(asBase(self)->_config, value);
}
Ref get_isReady(PyObject* self) { return boolean(asBase(self)->isReady); }
void set_isReady(PyObject* self, PyObject* value) {
    if (!value) raise(PyExc_TypeError, "cannot delete isReady");
    asBase(self)->isReady = truthy(value);
}
Ref get_dialect(PyObject* self) { return str(asBase(self)->dialect == DIALECT_MYSQL ? "mysql" : "sqlite"); }
Ref paramsHolderFormat(PyObject*) { return str("%s"); }
Ref paramsHolderQmark(PyObject*) { return str("?"); }

PyMethodDef baseMethods[] = {
    Q_FAST("process", BaseConnector_process, "process(*args, **kwargs) -> None; connectors that run executors override it"),
    Q_FAST("asyncProcess", BaseConnector_asyncProcess,
           "asyncProcess(*args, **kwargs) -> awaitable of None; awaitable connectors override it"),
    Q_NOARGS("GenerateTable", BaseConnector_GenerateTable, "GenerateTable() -> None; connectors override it"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef baseGetSet[] = {
    Q_GETSET("_pool", get_pool, set_pool, "the driver's connection pool (None without one)"),
    Q_GETTER("Type", get_Type, "the connector's type code"),
    Q_GETSET("isAsync", get_isAsync, set_isAsync, "True when the operations return awaitables"),
    Q_GETSET("_config", get_config, set_config, "connection settings (a dict or None)"),
    Q_GETSET("isReady", get_isReady, set_isReady, "True once the connector can serve statements"),
    Q_GETTER("paramsHolder", paramsHolderFormat, "the dialect's parameter placeholder"),
    Q_GETTER("dialect", get_dialect, "the SQL dialect statements are written in: 'sqlite' or 'mysql'"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot baseSlots[] = {
    {Py_tp_new, (void*)newConnector<baseFields>},
    {Py_tp_init, (void*)BaseConnector_init},
    {Py_tp_traverse, (void*)traverseObject<baseFields>},
    {Py_tp_clear, (void*)clearObject<baseFields>},
    {Py_tp_dealloc, (void*)deallocObject<baseFields>},
    {Py_tp_methods, baseMethods},
    {Py_tp_getset, baseGetSet},
    {Py_tp_doc, (void*)"Base of every connector: shared fields and do-nothing defaults."},
    {0, nullptr},
};
PyType_Spec baseSpec = {"Quillon.DB.Connector.BaseConnector", sizeof(BaseConnectorObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                        baseSlots};

// ===========================================================================
// Sqlite3Connector: blocking, one shared connection
// ===========================================================================

const size_t sqliteOffsets[] = {offsetof(BaseConnectorObject, _pool), offsetof(BaseConnectorObject, selectCon),
                                offsetof(BaseConnectorObject, _config), offsetof(Sqlite3ConnectorObject, con),
                                offsetof(Sqlite3ConnectorObject, path)};
const FieldList sqliteFields{sqliteOffsets, 5};

// autoFiledAnnounce and getTableNameList honour a Python subclass's own
// version when they are called through the native table.
OverrideSet<2> sqliteOverrides{{"autoFiledAnnounce", "getTableNameList"}};

Ref sqliteInitNative(PyObject* self, PyObject* path, bool showLog) {
    static const Constant keywords = [] {
        Ref k = Ref::steal(PyDict_New());
        Ref timeout = integer(99999);
        check(PyDict_SetItemString(k.get(), "timeout", timeout.get()));
        check(PyDict_SetItemString(k.get(), "check_same_thread", Py_False));
        return k;
    }();
    Ref args = tupleOf({path});
    Ref con = callWith(state.sqliteConnect, args.get(), keywords.get());
    if (showLog) {
        Ref debug = getattr(getattr(state.module, "_logger").get(), "debug");
        callMethod(con.get(), "set_trace_callback", debug.get());
    }
    assignField(asSqlite(self)->con, std::move(con));
    return Ref::none();
}

Ref autoFiledAnnounceNative(PyObject*, PyObject*) { return str("INTEGER "); }

// The first column of every row, each row a tuple.
Ref firstColumns(PyObject* rows) {
    Ref seq = Ref::steal(PySequence_Fast(rows, "fetched rows must be a sequence"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    Ref out = Ref::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyTuple_Check(row)) raiseConvert(row, "tuple");
        if (PyTuple_GET_SIZE(row) < 1) raise(PyExc_IndexError, "tuple index out of range");
        PyList_SET_ITEM(out.get(), i, Py_NewRef(PyTuple_GET_ITEM(row, 0)));
    }
    return out;
}

Ref sqliteTableNamesNative(PyObject* self) {
    static const Constant query = str("select tbl_name from sqlite_master where type = \"table\";");
    Ref cursor = callMethod(asSqlite(self)->con, names.execute, query.get());
    Ref rows = callMethod(cursor.get(), names.fetchall);
    return firstColumns(rows.get());
}

// Native table entries (C convention, dispatching to Python overrides).
PyObject* op_init_sqlite(PyObject* self, PyObject* path, int showLog) noexcept {
    return entry([&] { return sqliteInitNative(self, path, showLog != 0); });
}
PyObject* op_autoFiledAnnounce(PyObject* self, PyObject* col) noexcept {
    return entry([&] {
        if (sqliteOverrides.overridden(self, 0)) return callMethod(self, sqliteOverrides.name(0), col);
        return autoFiledAnnounceNative(self, col);
    });
}
PyObject* op_getTableNameList(PyObject* self) noexcept {
    return entry([&] {
        if (sqliteOverrides.overridden(self, 1)) return callMethod(self, sqliteOverrides.name(1));
        return sqliteTableNamesNative(self);
    });
}
const Sqlite3ConnectorOps sqliteOps = {op_init_sqlite, op_autoFiledAnnounce, op_getTableNameList};

PyObject* Sqlite3Connector_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* self = newConnector<sqliteFields>(type, args, kwargs);
    if (self) asSqlite(self)->ops = &sqliteOps;
    return self;
}

int Sqlite3Connector_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return boundary(-1, [&] {
        static const Signature<2> sig{"Sqlite3Connector", {"path", "showLog"}, 1};
        auto a = bind(sig, args, kwargs);
        requireStrOrNone("path", a[0]);
        bool showLog = a[1] ? truthy(a[1]) : true;
        asBase(self)->isAsync = 0;
        Ref done = Ref::steal(asSqlite(self)->ops->init_sqlite(self, a[0], showLog));
        assignField(asSqlite(self)->path, a[0]);
        return 0;
    });
}

// A connection for the calling thread: the shared one on the main thread, a
// new default connection (owned by the caller) on any other.
Ref Sqlite3Connector_getCon(PyObject* self) {
    Ref current = call(state.currentThread);
    Ref main = call(state.mainThread);
    if (check(PyObject_RichCompareBool(current.get(), main.get(), Py_EQ))) return Ref::borrow(asSqlite(self)->con);
    return call(state.sqliteConnect, asSqlite(self)->path);
}

Ref Sqlite3Connector_releaseCon(PyObject*, PyObject* con) {
    callMethod(con, names.commit);
    return Ref::none();
}

Ref Sqlite3Connector_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ExecuteCall request = bindExecute(args, nargs, kwnames, true);
    Ref cursor = callMethod(asSqlite(self)->con, names.cursor);
    Ref text = toQmark(request.sql);
    callMethod(cursor.get(), names.execute, text.get(), request.params);
    if (request.dictCur) return newDictRowIterator(cursor.get());
    Ref rows = callMethod(cursor.get(), names.fetchall);
    return Ref::steal(PySequence_Tuple(rows.get()));
}

// Holds the module-wide lock for a scope (released also on error, with any
// pending Python error preserved).
class LockGuard {
public:
    LockGuard() { call(state.lockAcquire); }
    ~LockGuard() {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyObject* r = PyObject_CallNoArgs(state.lockRelease);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(state.lock);
        PyErr_Restore(t, v, tb);
    }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
};

Ref Sqlite3Connector_process(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature<2> sig{"process", {"executor", "con"}, 1};
    auto a = bind(sig, args, nargs, kwnames);
    PyObject* executor = a[0];
    // A None executor has no statement to run: refused before the database is touched.
    requireType("executor", executor, state.executors->ModelExecutor, false);

    PyObject* builder = builderOf(executor);
    auto [text, params] = preparedStatement(builder, true);

    PyObject* con = asSqlite(self)->con;
    Ref cursor = callMethod(con, names.cursor);
    {
        LockGuard held;
        runStatementAtomically(con, cursor.get(), text.get(), params.get());
        recordRowCount(executor, cursor.get());
        // Inside a transaction block the block's end commits.
        if (asSqlite(self)->transactionDepth == 0) callMethod(con, names.commit);
    }
    Ref raw;
    switch (statementKind(builder)) {
    case SQL_SELECT: {
        Ref rows = callMethod(cursor.get(), names.fetchall);
        raw = RowShaper(cursor.get()).shapeAll(rows.get());
        break;
    }
    case SQL_INSERT:
        raw = getattr(cursor.get(), names.lastrowid);
        break;
    default:
        raw = callMethod(cursor.get(), names.fetchall);
    }
    return handleResult(executor, raw.get());
}

// Transaction blocks (SqliteContextManager): the outermost block is one
// transaction on the shared connection, inner blocks are savepoints, and
// `process` leaves committing to the outermost block's end.
Ref savepointStatement(const char* verb, int depth) {
    return Ref::steal(PyUnicode_FromFormat("%s quillon_block_%d", verb, depth));
}

Ref Sqlite3Connector__beginTransaction(PyObject* self) {
    auto* c = asSqlite(self);
    LockGuard held;
    if (c->transactionDepth == 0) {
        if (!truthy(getattr(c->con, "in_transaction").get())) {
            static const Constant begin = str("BEGIN");
            callMethod(c->con, names.execute, begin.get());
        }
    } else {
        callMethod(c->con, names.execute, savepointStatement("SAVEPOINT", c->transactionDepth).get());
    }
    c->transactionDepth += 1;
    return Ref::none();
}

Ref Sqlite3Connector__endTransaction(PyObject* self, PyObject* succeeded) {
    auto* c = asSqlite(self);
    if (c->transactionDepth <= 0) raise(PyExc_RuntimeError, "no transaction block is open on this connector");
    bool ok = truthy(succeeded);
    LockGuard held;
    c->transactionDepth -= 1;
    int depth = c->transactionDepth;
    if (depth == 0) {
        callMethod(c->con, ok ? names.commit : names.rollback);
    } else {
        if (!ok) callMethod(c->con, names.execute, savepointStatement("ROLLBACK TO SAVEPOINT", depth).get());
        callMethod(c->con, names.execute, savepointStatement("RELEASE SAVEPOINT", depth).get());
    }
    return Ref::none();
}

Ref Sqlite3Connector_getTableNameList(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("getTableNameList", nargs, kwnames);
    return sqliteTableNamesNative(self);
}

Ref Connector_autoFiledAnnounce(PyObject* self, PyObject* col) { return autoFiledAnnounceNative(self, col); }

Ref Sqlite3Connector_GenerateTable(PyObject*) {
    generateTable();
    return Ref::none();
}

Ref get_sqlite_con(PyObject* self) { return Ref::borrow(asSqlite(self)->con); }
Ref get_sqlite_path(PyObject* self) { return Ref::borrow(asSqlite(self)->path); }

PyMethodDef sqliteMethods[] = {
    Q_NOARGS("getCon", Sqlite3Connector_getCon,
             "getCon() -> the shared connection on the main thread, a new connection on any other thread"),
    Q_ONEARG("releaseCon", Sqlite3Connector_releaseCon, "releaseCon(con) -> None; commits the connection"),
    Q_FAST("execute", Sqlite3Connector_execute,
           "execute(sql, con=None, dictCur=False, args=()) -> rows as tuples, or a lazy iterator of dicts"),
    Q_FAST("process", Sqlite3Connector_process,
           "process(executor, con=None) -> the executor's result of its prepared statement (committed)"),
    Q_FAST("getTableNameList", Sqlite3Connector_getTableNameList, "getTableNameList() -> the names of all tables"),
    Q_ONEARG("autoFiledAnnounce", Connector_autoFiledAnnounce,
             "autoFiledAnnounce(col) -> the column type of an auto-increment key"),
    Q_NOARGS("GenerateTable", Sqlite3Connector_GenerateTable, "GenerateTable() -> None; creates the models' tables"),
    Q_NOARGS("_beginTransaction", Sqlite3Connector__beginTransaction,
             "_beginTransaction() -> None; opens a transaction block (a savepoint when nested)"),
    Q_ONEARG("_endTransaction", Sqlite3Connector__endTransaction,
             "_endTransaction(succeeded) -> None; commits or rolls back the innermost transaction block"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sqliteGetSet[] = {
    Q_GETTER("paramsHolder", paramsHolderQmark, "the dialect's parameter placeholder"),
    Q_GETTER("con", get_sqlite_con, "the shared connection"),
    Q_GETTER("path", get_sqlite_path, "the database file path"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot sqliteSlots[] = {
    {Py_tp_new, (void*)Sqlite3Connector_new},
    {Py_tp_init, (void*)Sqlite3Connector_init},
    {Py_tp_traverse, (void*)traverseObject<sqliteFields>},
    {Py_tp_clear, (void*)clearObject<sqliteFields>},
    {Py_tp_dealloc, (void*)deallocObject<sqliteFields>},
    {Py_tp_methods, sqliteMethods},
    {Py_tp_getset, sqliteGetSet},
    {Py_tp_doc, (void*)"Sqlite3Connector(path, showLog=True): blocking SQLite over one shared connection."},
    {0, nullptr},
};
PyType_Spec sqliteSpec = {"Quillon.DB.Connector.Sqlite3Connector", sizeof(Sqlite3ConnectorObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                          sqliteSlots};

// ===========================================================================
// Per-task connections of the awaitable connectors
// ===========================================================================

// AioSqliteConnector and AioMysqlConnector keep every asyncio task's
// connection in their `conMap` (task -> connection) and end it from the
// task's done-callback.  They differ only in where a connection comes from
// and where it goes at the end, and in the name of the done-callback.
struct TaskConnections {
    PyObject* (*conMap)(PyObject* self);
    // true: taken from the connector's pool and released back to it;
    // false: opened on the connector's database path and closed.
    bool pooled;
    PyObject* Names::*doneCallback;
    const char* endName;  // the end-of-task coroutine's name
};

PyObject* aioSqliteConMap(PyObject* self) { return asAioSqlite(self)->conMap; }
PyObject* aioMysqlConMap(PyObject* self) { return asAioMysql(self)->conMap; }

const TaskConnections aioSqliteConnections{aioSqliteConMap, false, &Names::releaseCon,
                                           "AioSqliteConnector.releaseCon.<end>"};
const TaskConnections aioMysqlConnections{aioMysqlConMap, true, &Names::_releaseCon,
                                          "AioMysqlConnector._releaseCon.<end>"};

// conMap[task], or null when the task holds no connection (or there is no map).
Ref heldConnection(PyObject* conMap, PyObject* task) {
    if (!PyDict_Check(conMap)) return Ref();
    PyObject* held = PyDict_GetItemWithError(conMap, task);
    if (!held) checkError();
    return held ? Ref::borrow(held) : Ref();
}

// The calling task's connection, opened on first use; the task's
// done-callback then ends it.
Coro taskConnection(Ref self, const TaskConnections* kind) {
    // The SQLite driver is imported before anything else is asked.
    PyObject* aiosqlite = kind->pooled ? nullptr : aiosqliteModule();
    Ref task = requireCurrentTask("getCon");
    PyObject* conMap = kind->conMap(self.get());
    if (!PyDict_Check(conMap)) raise(PyExc_TypeError, "the connector was not initialised (conMap is not a dict)");
    Ref held = heldConnection(conMap, task.get());
    if (held && truthy(held.get())) co_return held;

    // An if, not a conditional expression: GCC 12 evaluates a conditional
    // expression whose branches make temporaries wrongly inside a coroutine.
    Ref opening;
    if (kind->pooled)
        opening = callMethod(asBase(self.get())->_pool, names.acquire);
    else
        opening = call(getattr(aiosqlite, "connect").get(), asAioSqlite(self.get())->path);
    Ref con = co_await awaitPy(opening);
    check(PyDict_SetItem(kind->conMap(self.get()), task.get(), con.get()));
    Ref end = getattr(self.get(), names.*kind->doneCallback);
    callMethod(task.get(), names.add_done_callback, end.get());
    co_return con;
}

// Ends a finished task's connection: commit, or rollback when the task
// failed or was cancelled; then close it or give it back to the pool, and
// forget it.  A failure of the first step still closes or releases the
// connection; the first failure is re-raised on the loop.
Coro endTaskConnection(Ref self, Ref task, Ref con, bool rollback, const TaskConnections* kind) {
    std::optional<PyError> failure;
    try {
        co_await awaitPy(callMethod(con.get(), rollback ? names.rollback : names.commit));
    } catch (PyError& e) {
        failure.emplace(std::move(e));
    }
    try {
        Ref giveBack;
        if (kind->pooled)
            giveBack = callMethod(asBase(self.get())->_pool, names.release, con.get());
        else
            giveBack = callMethod(con.get(), names.close);
        co_await awaitPy(giveBack);
    } catch (PyError& e) {
        if (!failure) failure.emplace(std::move(e));
    }
    forgetTaskConnection(kind->conMap(self.get()), task.get(), con.get());
    if (failure) throw std::move(*failure);
    co_return Ref::none();
}

// Starts the end of `task`'s connection `con` from its done-callback, as a
// task of the connector's `loop`, or of the running loop without one.
void startTaskConnectionEnd(PyObject* self, PyObject* task, Ref con, Ref loop, const TaskConnections* kind) {
    bool rollback = taskFailed(task);
    Ref createTask = loop ? getattr(loop.get(), names.create_task) : Ref::borrow(state.createTask);
    startEndTask(createTask.get(), toPython(endTaskConnection(Ref::borrow(self), Ref::borrow(task), std::move(con),
                                                              rollback, kind),
                                            kind->endName));
}

// ===========================================================================
// AioSqliteConnector: awaitable, one connection per asyncio task
// ===========================================================================

const size_t aioSqliteOffsets[] = {offsetof(BaseConnectorObject, _pool),    offsetof(BaseConnectorObject, selectCon),
                                   offsetof(BaseConnectorObject, _config),  offsetof(AioSqliteConnectorObject, loop),
                                   offsetof(AioSqliteConnectorObject, con), offsetof(AioSqliteConnectorObject, path),
                                   offsetof(AioSqliteConnectorObject, conMap)};
const FieldList aioSqliteFields{aioSqliteOffsets, 7};

int AioSqliteConnector_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return boundary(-1, [&] {
        static const Signature<1> sig{"AioSqliteConnector", {"loop"}, 1, false, true};
        auto a = bind(sig, args, kwargs);
        assignField(asAioSqlite(self)->loop, a[0]);
        asBase(self)->isAsync = 1;
        Ref init = getattr(self, names.init_sqlite);
        static const Constant noArgs = Ref::steal(PyTuple_New(0));
        callWith(init.get(), noArgs.get(), a.extra.get());
        asAioSqlite(self)->isUsing = 0;
        assignField(asAioSqlite(self)->conMap, Ref::steal(PyDict_New()));
        return 0;
    });
}

Ref AioSqliteConnector_init_sqlite(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature<2> sig{"init_sqlite", {"path", "showLog"}, 1};
    auto a = bind(sig, args, nargs, kwnames);
    requireStrOrNone("path", a[0]);
    assignField(asAioSqlite(self)->path, a[0]);
    asBase(self)->isReady = 1;
    return Ref::none();
}

// Waits, polling every 0.3 seconds, until the connector is ready.
Coro waitReady(Ref self) {
    while (!asBase(self.get())->isReady) co_await awaitPy(call(state.asyncioSleep, state.pollDelay));
    co_return Ref::none();
}

Ref AioSqliteConnector_getCon(PyObject* self) {
    return toPython(taskConnection(Ref::borrow(self), &aioSqliteConnections), "AioSqliteConnector.getCon");
}

// The done-callback of every task that opened a connection.  The task is
// named in the connector's debug log (not on standard output, which belongs
// to the application).
Ref AioSqliteConnector_releaseCon(PyObject* self, PyObject* task) {
    Ref con = heldConnection(asAioSqlite(self)->conMap, task);
    if (!con) return Ref::none();  // the task holds no connection: nothing to end
    static const Constant message = str("task finished, ending its connection: %r");
    callMethod(getattr(state.module, "_logger").get(), "debug", message.get(), task);
    startTaskConnectionEnd(self, task, std::move(con), Ref(), &aioSqliteConnections);
    return Ref::none();
}

Coro aioSqliteExecute(Ref self, Ref sql, Ref params, bool dictCur) {
    co_await awaitPy(toPython(waitReady(Ref::borrow(self.get())), "AioSqliteConnector.execute.<ready>"));
    Local text = toQmark(sql.get());
    Local con = co_await awaitPy(callMethod(self.get(), names.getCon));
    Local cursor = co_await awaitPy(callMethod(con.get(), names.cursor));
    setattr(cursor.get(), names.useDict, dictCur ? Py_True : Py_False);
    co_await awaitPy(callMethod(cursor.get(), names.execute, text.get(), params.get()));
    Local rows = co_await awaitPy(callMethod(cursor.get(), names.fetchall));
    if (dictCur) co_return RowShaper(cursor.get()).shapeAll(rows.get());
    co_return Ref::steal(PySequence_Tuple(rows.get()));
}

Ref AioSqliteConnector_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ExecuteCall request = bindExecute(args, nargs, kwnames, true);
    return toPython(
        aioSqliteExecute(Ref::borrow(self), Ref::borrow(request.sql), Ref::borrow(request.params), request.dictCur),
        "AioSqliteConnector.execute");
}

Coro aioSqliteProcess(Ref self, Ref executor) {
    co_await awaitPy(toPython(waitReady(Ref::borrow(self.get())), "AioSqliteConnector.asyncProcess.<ready>"));
    requireAsyncExecutor(executor.get());
    Ref keepBuilder = Ref::borrow(builderOf(executor.get()));
    auto [text, params] = preparedStatement(keepBuilder.get(), true);
    Ref statementText = std::move(text);
    Ref statementArgs = std::move(params);

    Ref con = co_await awaitPy(callMethod(self.get(), names.getCon));
    Ref cursor = co_await awaitPy(callMethod(con.get(), names.cursor));
    if (!isManyStatement(statementArgs.get())) {
        co_await awaitPy(runStatement(cursor.get(), statementText.get(), statementArgs.get()));
    } else {
        // Atomic like the blocking run: a task that catches the error and
        // goes on must not commit half of the batch when it ends.
        const auto& steps = manySteps();
        if (!truthy(getattr(con.get(), "in_transaction").get()))
            co_await awaitPy(callMethod(con.get(), names.execute, steps.begin));
        co_await awaitPy(callMethod(con.get(), names.execute, steps.savepoint));
        std::optional<PyError> failure;
        try {
            co_await awaitPy(runStatement(cursor.get(), statementText.get(), statementArgs.get()));
        } catch (PyError& e) {
            failure.emplace(std::move(e));
        }
        if (failure) {
            try {
                co_await awaitPy(callMethod(con.get(), names.execute, steps.rollbackTo));
                co_await awaitPy(callMethod(con.get(), names.execute, steps.release));
            } catch (PyError&) {
                // The statement's own error is the one the caller needs.
            }
            throw std::move(*failure);
        }
        co_await awaitPy(callMethod(con.get(), names.execute, steps.release));
    }
    recordRowCount(executor.get(), cursor.get());
    Ref raw;
    int kind = statementKind(keepBuilder.get());
    if (kind == SQL_INSERT) {
        raw = getattr(cursor.get(), names.lastrowid);
    } else {
        Ref rows = co_await awaitPy(callMethod(cursor.get(), names.fetchall));
        raw = kind == SQL_SELECT ? RowShaper(cursor.get()).shapeAll(rows.get()) : std::move(rows);
    }
    co_return handleResult(executor.get(), raw.get());
}

Ref AioSqliteConnector_asyncProcess(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature<0> sig{"asyncProcess", {}, 0, true, true};
    auto a = bind(sig, args, nargs, kwnames);
    PyObject* executor = PyDict_GetItemString(a.extra.get(), "executor");
    return toPython(aioSqliteProcess(Ref::borrow(self), Ref::borrow(executor ? executor : Py_None)),
                    "AioSqliteConnector.asyncProcess");
}

Coro aioSqliteTableNames(Ref self) {
    static const Constant query = str("select tbl_name as name from sqlite_master where type = \"table\";");
    Ref con = co_await awaitPy(callMethod(self.get(), names.getCon));
    Ref cursor = co_await awaitPy(callMethod(con.get(), names.execute, query.get()));
    Ref rows = co_await awaitPy(callMethod(cursor.get(), names.fetchall));
    Ref dicts = RowShaper(cursor.get()).shapeAll(rows.get());
    Py_ssize_t n = PyList_GET_SIZE(dicts.get());
    Ref out = Ref::steal(PyList_New(n));
    static const Constant key = str("name");
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(out.get(), i, Ref::steal(PyObject_GetItem(PyList_GET_ITEM(dicts.get(), i), key.get())).release());
    co_return out;
}

Ref AioSqliteConnector_getTableNameList(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("getTableNameList", nargs, kwnames);
    return toPython(aioSqliteTableNames(Ref::borrow(self)), "AioSqliteConnector.getTableNameList");
}

// Runs the table generation on the connector's loop, or schedules it when
// the loop is already running.
Ref runOrSchedule(PyObject* loop, PyObject* createTask) {
    Ref running = callMethod(loop, names.is_running);
    Ref work = generateTable();
    if (truthy(running.get())) {
        Ref task = call(createTask, work.get());
        callMethod(state.endTasks, names.add, task.get());
        Ref discard = getattr(state.endTasks, names.discard);
        callMethod(task.get(), names.add_done_callback, discard.get());
    } else {
        callMethod(loop, names.run_until_complete, work.get());
    }
    return Ref::none();
}

Ref AioSqliteConnector_GenerateTable(PyObject* self) {
    return runOrSchedule(asAioSqlite(self)->loop, state.createTask);
}

Ref get_aio_loop(PyObject* self) { return Ref::borrow(asAioSqlite(self)->loop); }
Ref get_aio_path(PyObject* self) { return Ref::borrow(asAioSqlite(self)->path); }

PyMethodDef aioSqliteMethods[] = {
    Q_FAST("init_sqlite", AioSqliteConnector_init_sqlite,
           "init_sqlite(path, showLog=True) -> None; records the database path and marks the connector ready"),
    Q_NOARGS("getCon", AioSqliteConnector_getCon,
             "getCon() -> awaitable of the calling task's connection, opened on first use"),
    Q_ONEARG("releaseCon", AioSqliteConnector_releaseCon,
             "task call back: ends a finished task's connection (commit, or rollback when it failed or was cancelled)"),
    Q_FAST("execute", AioSqliteConnector_execute,
           "execute(sql, con=None, dictCur=False, args=()) -> awaitable of the rows (tuples, or dicts with dictCur)"),
    Q_FAST("asyncProcess", AioSqliteConnector_asyncProcess,
           "asyncProcess(executor=...) -> awaitable of the executor's result of its prepared statement"),
    Q_FAST("getTableNameList", AioSqliteConnector_getTableNameList,
           "getTableNameList() -> awaitable of the names of all tables"),
    Q_ONEARG("autoFiledAnnounce", Connector_autoFiledAnnounce,
             "autoFiledAnnounce(col) -> the column type of an auto-increment key"),
    Q_NOARGS("GenerateTable", AioSqliteConnector_GenerateTable,
             "GenerateTable() -> None; runs the table generation on the loop, or schedules it when it is running"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef aioSqliteGetSet[] = {
    Q_GETTER("paramsHolder", paramsHolderQmark, "the dialect's parameter placeholder"),
    Q_GETTER("loop", get_aio_loop, "the connector's event loop"),
    Q_GETTER("path", get_aio_path, "the database file path"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot aioSqliteSlots[] = {
    {Py_tp_new, (void*)newConnector<aioSqliteFields>},
    {Py_tp_init, (void*)AioSqliteConnector_init},
    {Py_tp_traverse, (void*)traverseObject<aioSqliteFields>},
    {Py_tp_clear, (void*)clearObject<aioSqliteFields>},
    {Py_tp_dealloc, (void*)deallocObject<aioSqliteFields>},
    {Py_tp_methods, aioSqliteMethods},
    {Py_tp_getset, aioSqliteGetSet},
    {Py_tp_doc, (void*)"AioSqliteConnector(loop, path=...): awaitable SQLite, one connection per asyncio task."},
    {0, nullptr},
};
PyType_Spec aioSqliteSpec = {"Quillon.DB.Connector.AioSqliteConnector", sizeof(AioSqliteConnectorObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                             aioSqliteSlots};

// ===========================================================================
// AioMysqlConnector: awaitable, one pooled connection per asyncio task
// ===========================================================================

const size_t aioMysqlOffsets[] = {offsetof(BaseConnectorObject, _pool), offsetof(BaseConnectorObject, selectCon),
                                  offsetof(BaseConnectorObject, _config), offsetof(AioMysqlConnectorObject, loop),
                                  offsetof(AioMysqlConnectorObject, conMap)};
const FieldList aioMysqlFields{aioMysqlOffsets, 5};

Coro aioMysqlInit(Ref self, Ref args, Ref kwargs) {
    Ref createPool = getattr(aiomysqlModule(), "create_pool");
    Ref pool = co_await awaitPy(callWith(createPool.get(), args.get(), kwargs.get()));
    asBase(self.get())->isReady = 1;
    assignField(asBase(self.get())->_pool, std::move(pool));
    co_return Ref::none();
}

Ref AioMysqlConnector__init_mysql(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return toPython(aioMysqlInit(Ref::borrow(self), positionalTuple(args, nargs), keywordDict(args, nargs, kwnames)),
                    "AioMysqlConnector._init_mysql");
}

int AioMysqlConnector_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return boundary(-1, [&] {
        static const Signature<1> sig{"AioMysqlConnector", {"loop"}, 1, true, true};
        auto a = bind(sig, args, kwargs);
        assignField(asBase(self)->_config, a.extra.get());
        asBase(self)->isAsync = 1;
        asBase(self)->Type = 0;
        assignField(asBase(self)->selectCon, Py_None);
        PyObject* loop = a[0];
        assignField(asAioMysql(self)->loop, loop);
        assignField(asAioMysql(self)->conMap, Ref::steal(PyDict_New()));
        Ref init = getattr(self, names._init_mysql);
        Ref work = callWith(init.get(), a.rest.get(), a.extra.get());
        if (truthy(callMethod(loop, names.is_running).get()))
            callMethod(loop, names.create_task, work.get());
        else
            callMethod(loop, names.run_until_complete, work.get());
        return 0;
    });
}

Ref AioMysqlConnector_getCon(PyObject* self) {
    return toPython(taskConnection(Ref::borrow(self), &aioMysqlConnections), "AioMysqlConnector.getCon");
}

Coro aioMysqlSelectCon(Ref self) {
    co_return co_await awaitPy(callMethod(asBase(self.get())->_pool, names.acquire));
}

Ref AioMysqlConnector_getSelectCon(PyObject* self) {
    return toPython(aioMysqlSelectCon(Ref::borrow(self)), "AioMysqlConnector.getSelectCon");
}

Ref AioMysqlConnector_releaseCon(PyObject* self, PyObject* con) {
    return callMethod(asBase(self)->_pool, names.release, con);
}

Ref AioMysqlConnector__releaseCon(PyObject* self, PyObject* task) {
    Ref con = heldConnection(asAioMysql(self)->conMap, task);
    if (con) startTaskConnectionEnd(self, task, std::move(con), Ref::borrow(asAioMysql(self)->loop),
                                    &aioMysqlConnections);
    return Ref::none();
}

// `async with con.cursor(cls) as cursor:` around `body`, in C++.
Coro aioMysqlExecute(Ref self, Ref sql, Ref con, Ref params, bool dictCur) {
    if (!con || !truthy(con.get())) con = co_await awaitPy(callMethod(self.get(), names.getCon));
    Ref manager = callMethod(con.get(), names.cursor, dictCur ? state.mysqlDictCursor : state.mysqlCursor);
    Ref cursor = co_await awaitPy(callMethod(manager.get(), names.aenter));
    std::optional<PyError> failure;
    Ref rows;
    try {
        co_await awaitPy(callMethod(cursor.get(), names.execute, sql.get(), params.get()));
        rows = co_await awaitPy(callMethod(cursor.get(), names.fetchall));
    } catch (PyError& e) {
        failure.emplace(std::move(e));
    }
    std::optional<ExcInfo> info;
    if (failure) info.emplace(*failure);
    Ref suppress = co_await awaitPy(exitBlock(manager.get(), info));
    if (!info) co_return rows;
    if (!truthy(suppress.get())) info->rethrow();
    co_return Ref::none();
}

Ref AioMysqlConnector_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ExecuteCall request = bindExecute(args, nargs, kwnames, false);
    return toPython(aioMysqlExecute(Ref::borrow(self), Ref::borrow(request.sql), Ref::borrow(request.con),
                                    Ref::borrow(request.params), request.dictCur),
                    "AioMysqlConnector.execute");
}

Coro aioMysqlProcess(Ref self, Ref executor, Ref givenCon, bool hasCon) {
    requireAsyncExecutor(executor.get());
    Ref builder = Ref::borrow(builderOf(executor.get()));
    Ref con;
    if (hasCon)
        con = std::move(givenCon);
    else
        con = co_await awaitPy(callMethod(self.get(), names.getCon));
    int kindAtOpen = statementKind(builder.get());
    Ref manager =
        callMethod(con.get(), names.cursor, kindAtOpen == SQL_SELECT ? state.mysqlDictCursor : state.mysqlCursor);
    Ref cursor = co_await awaitPy(callMethod(manager.get(), names.aenter));
    std::optional<PyError> failure;
    Ref raw;
    try {
        auto [text, params] = preparedStatement(builder.get(), false);
        Ref statementText = std::move(text);
        Ref statementArgs = std::move(params);
        co_await awaitPy(runStatement(cursor.get(), statementText.get(), statementArgs.get()));
        recordRowCount(executor.get(), cursor.get());
        if (statementKind(builder.get()) == SQL_INSERT)
            raw = getattr(cursor.get(), names.lastrowid);
        else
            raw = co_await awaitPy(callMethod(cursor.get(), names.fetchall));
    } catch (PyError& e) {
        failure.emplace(std::move(e));
    }
    std::optional<ExcInfo> info;
    if (failure) info.emplace(*failure);
    Ref suppress = co_await awaitPy(exitBlock(manager.get(), info));
    if (info) {
        if (!truthy(suppress.get())) info->rethrow();
        raw = Ref::none();
    }
    co_return handleResult(executor.get(), raw.get());
}

Ref AioMysqlConnector_asyncProcess(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature<0> sig{"asyncProcess", {}, 0, true, true};
    auto a = bind(sig, args, nargs, kwnames);
    PyObject* executor = PyDict_GetItemString(a.extra.get(), "executor");
    PyObject* con = PyDict_GetItemString(a.extra.get(), "con");
    return toPython(aioMysqlProcess(Ref::borrow(self), Ref::borrow(executor ? executor : Py_None),
                                    Ref::borrow(con ? con : Py_None), con != nullptr),
                    "AioMysqlConnector.asyncProcess");
}

Coro aioMysqlTableNames(Ref self) {
    // The schema name travels as a statement argument, never inside the text.
    static const Constant query = str("SELECT TABLE_NAME FROM information_schema.`TABLES` WHERE TABLE_SCHEMA = %s;");
    PyObject* config = asBase(self.get())->_config;
    PyObject* db = Py_None;
    if (config && PyDict_Check(config)) {
        static const Constant dbKey = interned("db");
        db = PyDict_GetItemWithError(config, dbKey.get());
        if (!db) {
            checkError();
            db = Py_None;
        }
    }
    Ref dbText = Ref::steal(PyObject_Format(db, nullptr));
    Ref args = tupleOf({dbText.get()});
    Ref rows = co_await awaitPy(callMethod(self.get(), names.execute, query.get(), Py_None, Py_False, args.get()));
    co_return firstColumns(rows.get());
}

Ref AioMysqlConnector_getTableNameList(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("getTableNameList", nargs, kwnames);
    return toPython(aioMysqlTableNames(Ref::borrow(self)), "AioMysqlConnector.getTableNameList");
}

// targetType + "(args)" + " AUTO_INCREMENT", with a one-element tuple's
// trailing comma dropped.
Ref AioMysqlConnector_autoFiledAnnounce(PyObject*, PyObject* col) {
    Ref typeArgs = getattr(col, names.typeArgs);
    Ref text = Ref::steal(PyObject_Str(typeArgs.get()));
    static const Constant trailing = str(",)");
    static const Constant comma = str(",");
    static const Constant nothing = str("");
    Ref argPart;
    if (check((int)PyUnicode_Tailmatch(text.get(), trailing.get(), 0, PY_SSIZE_T_MAX, 1)) == 1)
        argPart = Ref::steal(PyUnicode_Replace(text.get(), comma.get(), nothing.get(), -1));
    else if (checkSize(PyObject_Length(typeArgs.get())) == 0)
        argPart = Ref::borrow(nothing.get());
    else
        argPart = std::move(text);
    Ref targetType = getattr(col, names.targetType);
    Ref head = Ref::steal(PyNumber_Add(targetType.get(), argPart.get()));
    static const Constant tail = str(" AUTO_INCREMENT");
    return Ref::steal(PyNumber_Add(head.get(), tail.get()));
}

Ref AioMysqlConnector_GenerateTable(PyObject* self) {
    Ref createTask = getattr(asAioMysql(self)->loop, names.create_task);
    return runOrSchedule(asAioMysql(self)->loop, createTask.get());
}

Ref get_mysql_config(PyObject* self) { return Ref::borrow(asBase(self)->_config); }
Ref get_mysql_loop(PyObject* self) { return Ref::borrow(asAioMysql(self)->loop); }

PyMethodDef aioMysqlMethods[] = {
    Q_FAST("_init_mysql", AioMysqlConnector__init_mysql,
           "_init_mysql(*args, **kwargs) -> awaitable; creates the pool and marks the connector ready"),
    Q_NOARGS("getCon", AioMysqlConnector_getCon, "获取链接实例"),
    Q_NOARGS("getSelectCon", AioMysqlConnector_getSelectCon,
             "getSelectCon() -> awaitable of a new pooled connection; give it back with releaseCon"),
    Q_ONEARG("releaseCon", AioMysqlConnector_releaseCon, "释放链接实例\n\ncon: 数据库链接实例"),
    Q_ONEARG("_releaseCon", AioMysqlConnector__releaseCon,
             "_releaseCon(task) -> None; ends a finished task's connection"),
    Q_FAST("execute", AioMysqlConnector_execute,
           "execute(sql, con=None, dictCur=False, args=()) -> awaitable of the rows"),
    Q_FAST("asyncProcess", AioMysqlConnector_asyncProcess,
           "asyncProcess(executor=..., con=...) -> awaitable of the executor's result of its prepared statement"),
    Q_FAST("getTableNameList", AioMysqlConnector_getTableNameList,
           "getTableNameList() -> awaitable of the table names of the configured database"),
    Q_ONEARG("autoFiledAnnounce", AioMysqlConnector_autoFiledAnnounce,
             "autoFiledAnnounce(col) -> the column type of an auto-increment key"),
    Q_NOARGS("GenerateTable", AioMysqlConnector_GenerateTable,
             "GenerateTable() -> None; runs the table generation on the loop, or schedules it when it is running"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef aioMysqlGetSet[] = {
    Q_GETTER("config", get_mysql_config, "the pool settings given to the constructor"),
    Q_GETTER("loop", get_mysql_loop, "the connector's event loop"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot aioMysqlSlots[] = {
    {Py_tp_new, (void*)newConnector<aioMysqlFields, DIALECT_MYSQL>},
    {Py_tp_init, (void*)AioMysqlConnector_init},
    {Py_tp_traverse, (void*)traverseObject<aioMysqlFields>},
    {Py_tp_clear, (void*)clearObject<aioMysqlFields>},
    {Py_tp_dealloc, (void*)deallocObject<aioMysqlFields>},
    {Py_tp_methods, aioMysqlMethods},
    {Py_tp_getset, aioMysqlGetSet},
    {Py_tp_doc, (void*)"AioMysqlConnector(loop, **pool_settings): awaitable MySQL, one pooled connection per task."},
    {0, nullptr},
};
PyType_Spec aioMysqlSpec = {"Quillon.DB.Connector.AioMysqlConnector", sizeof(AioMysqlConnectorObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                            aioMysqlSlots};

// ===========================================================================
// PyMysqlConnector: blocking placeholder with the base defaults
// ===========================================================================

PyObject* op_noop(PyObject*) noexcept { Py_RETURN_NONE; }
const PyMysqlConnectorOps pyMysqlOps = {op_noop};

PyObject* PyMysqlConnector_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* self = newConnector<baseFields, DIALECT_MYSQL>(type, args, kwargs);
    if (self) reinterpret_cast<PyMysqlConnectorObject*>(self)->ops = &pyMysqlOps;
    return self;
}

int PyMysqlConnector_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return boundary(-1, [&] {
        noArguments("PyMysqlConnector", args, kwargs);
        asBase(self)->isAsync = 0;
        return 0;
    });
}

PyType_Slot pyMysqlSlots[] = {
    {Py_tp_new, (void*)PyMysqlConnector_new},
    {Py_tp_init, (void*)PyMysqlConnector_init},
    {Py_tp_traverse, (void*)traverseObject<baseFields>},
    {Py_tp_clear, (void*)clearObject<baseFields>},
    {Py_tp_dealloc, (void*)deallocObject<baseFields>},
    {Py_tp_doc, (void*)"PyMysqlConnector(): blocking MySQL connector without a statement path."},
    {0, nullptr},
};
PyType_Spec pyMysqlSpec = {"Quillon.DB.Connector.PyMysqlConnector", sizeof(PyMysqlConnectorObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                           pyMysqlSlots};

// ===========================================================================
// Module
// ===========================================================================

PyMethodDef moduleMethods[] = {
    Q_FAST("dict_factory", dict_factory, "dict_factory(cursor, row) -> dict of column name to the row's value"),
    {nullptr, nullptr, 0, nullptr},
};

ConnectorApi api;

// `from module import name` as a module attribute.
Ref importInto(PyObject* module, const char* from, const char* name) {
    Ref value = importFrom(from, name);
    addObject(module, name, value.get());
    return value;
}

void exec(PyObject* module) {
    state.module = Py_NewRef(module);
    internNames();
    state.BaseConnector = addType(module, &baseSpec);
    state.Sqlite3Connector = addType(module, &sqliteSpec, state.BaseConnector);
    state.AioSqliteConnector = addType(module, &aioSqliteSpec, state.BaseConnector);
    state.AioMysqlConnector = addType(module, &aioMysqlSpec, state.BaseConnector);
    state.PyMysqlConnector = addType(module, &pyMysqlSpec, state.BaseConnector);
    state.DictRowIterator = (PyTypeObject*)PyType_FromModuleAndSpec(module, &dictRowIteratorSpec, nullptr);
    if (!state.DictRowIterator) throwPending();
    api.BaseConnector = state.BaseConnector;
    api.Sqlite3Connector = state.Sqlite3Connector;
    api.AioSqliteConnector = state.AioSqliteConnector;
    api.AioMysqlConnector = state.AioMysqlConnector;
    api.PyMysqlConnector = state.PyMysqlConnector;
    publish(module, &api, kConnectorCapsule);
    initCoroutines(module);

    // The module's imports, in their documented order.
    Ref asyncio = importModule("asyncio");
    addObject(module, "asyncio", asyncio.get());
    Ref multiprocessing = importModule("multiprocessing");
    addObject(module, "multiprocessing", multiprocessing.get());
    Ref threading = importModule("threading");
    addObject(module, "threading", threading.get());
    importInto(module, "asyncio", "AbstractEventLoop");
    importInto(module, "asyncio", "Task");
    importInto(module, "Quillon.DB.utils", "SqliteContextManager");
    importInto(module, "Quillon.Error.DbFault", "WriteOperateNotInAffairs");
    importInto(module, "Quillon.Ext", "generate_table");
    Ref sqlite3 = importModule("sqlite3");
    addObject(module, "sqlite3", sqlite3.get());
    Ref logging = importModule("logging");
    addObject(module, "logging", logging.get());
    state.mysqlCursor = importInto(module, "aiomysql", "Cursor").release();  // kept for the process
    state.mysqlDictCursor = importInto(module, "aiomysql", "DictCursor").release();

    state.sqliteConnect = getattr(sqlite3.get(), "connect").release();
    state.currentThread = getattr(threading.get(), "current_thread").release();
    state.mainThread = getattr(threading.get(), "main_thread").release();
    state.asyncioSleep = getattr(asyncio.get(), "sleep").release();
    state.currentTask = getattr(asyncio.get(), "current_task").release();
    state.createTask = getattr(asyncio.get(), "create_task").release();
    state.pollDelay = PyFloat_FromDouble(0.3);
    if (!state.pollDelay) throwPending();
    state.endTasks = PySet_New(nullptr);
    if (!state.endTasks) throwPending();
    state.assertionsOn = assertionsEnabled();

    // Module state, in order: the logger, the process-wide lock, dict_factory.
    state.logger = callMethod(logging.get(), "getLogger", getattr(module, "__package__").get()).release();
    addObject(module, "_logger", state.logger);
    state.lock = callMethod(multiprocessing.get(), "Lock").release();
    addObject(module, "lock", state.lock);
    state.lockAcquire = getattr(state.lock, "acquire").release();
    state.lockRelease = getattr(state.lock, "release").release();
    check(PyModule_AddFunctions(module, moduleMethods));

    bindApi<DBApi>("Quillon.DB.DB", kDBCapsule);
    bindApi<ColumnsApi>("Quillon.Model.Columns", kColumnsCapsule);
    state.generators = bindApi<GeneratorApi>("Quillon.DB.Generator", kGeneratorCapsule);
    bindApi<EntityApi>("Quillon.Model.Entity", kEntityCapsule);
    state.executors = bindApi<ExecutorsApi>("Quillon.Model.Executors", kExecutorsCapsule);
}

PyModuleDef_Slot moduleSlots[] = {
    Q_MODULE_SLOTS(exec),
    {0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "Quillon.DB.Connector", "The database connectors.", 0, nullptr,
                         moduleSlots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Connector() { return PyModuleDef_Init(&moduleDef); }
