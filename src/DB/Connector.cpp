// Quillon.DB.Connector: the database connectors.
//
// A connector owns the driver-level connections and runs SQL text for the
// rest of the system.  `BaseConnector` holds the fields every connector
// shares and the do-nothing defaults.
//
// `Sqlite3Connector` runs blocking over the host's sqlite3 module.  The main
// thread runs on the connector's own connection (`con`), every other thread
// on a connection of its own, so a transaction block (SqliteContextManager)
// belongs to the thread that opened it and no other thread's statement joins
// it; SQLite's own locking (with the connector's busy timeout) serialises the
// writers.  An in-memory database exists only inside its one connection:
// there every thread runs on `con`, and a thread's block holds the connector
// until it ends.
//
// `AioSqliteConnector` and `AioMysqlConnector` give every asyncio task a
// connection of its own, ended (commit, or rollback when the task failed or
// was cancelled; then closed or given back to the pool) when the task ends.
// A connector installs a task factory on its loop whose tasks end their
// connections inside the task, after their coroutine: such a task is done
// only once its work is committed, and a failed commit is its exception.  A
// task made before the factory (asyncio.run's main task when the connector
// is made inside it) ends its connections from its done-callback instead.  At
// interpreter exit, connections whose end never ran are ended so that no
// driver thread keeps the process alive.  `PyMysqlConnector` is a blocking
// placeholder.
//
// Statements arrive with "%s" placeholders; the SQLite connectors rewrite
// them to "?" before the driver sees them.  Every awaitable operation is a
// C++ coroutine (coro.hpp) that Python drives like an `async def`.
#include <quillon/coro.hpp>
#include <quillon/layouts.hpp>
#include <quillon/native.hpp>
#include <quillon/override.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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
    PyObject* lock = nullptr;            // multiprocessing.Lock(), kept for compatibility
    PyObject* sqliteConnect = nullptr;   // sqlite3.connect
    PyObject* mainThread = nullptr;      // threading.main_thread
    PyObject* asyncioSleep = nullptr;    // asyncio.sleep
    PyObject* currentTask = nullptr;     // asyncio.current_task
    PyObject* mysqlCursor = nullptr;     // aiomysql.Cursor
    PyObject* mysqlDictCursor = nullptr; // aiomysql.DictCursor
    PyObject* aiosqlite = nullptr;       // imported on first use
    PyObject* aiomysql = nullptr;        // imported on first use
    PyObject* pollDelay = nullptr;       // 0.3
    PyObject* endTasks = nullptr;        // set of running end-of-task coroutines' tasks
    PyObject* endThreads = nullptr;      // list of threads ending aiosqlite connections of finished tasks
    PyObject* threadType = nullptr;      // threading.Thread
    PyObject* taskType = nullptr;        // asyncio.Task
    PyObject* runningLoop = nullptr;     // asyncio.get_running_loop
    PyObject* runningLoopOrNone = nullptr;  // asyncio._get_running_loop
    PyObject* shield = nullptr;          // asyncio.shield
    PyObject* waitFor = nullptr;         // asyncio.wait
    PyObject* newEventLoop = nullptr;    // asyncio.new_event_loop
    PyObject* isCoroutine = nullptr;     // asyncio.iscoroutine
    PyObject* abstractLoop = nullptr;    // asyncio.AbstractEventLoop
    PyObject* runTask = nullptr;         // Quillon.DB.utils._run_task
    PyObject* taskEnding = nullptr;      // the end hook handed to _run_task
    PyObject* taskConnections = nullptr; // task -> list of connectors holding a connection for it
    PyObject* openConnections = nullptr; // per-task connection -> connector, until it is closed
    PyObject* writeHolder = nullptr;     // ContextVar: the task holding an open SQLite write
    PyObject* threadLocal = nullptr;     // _thread._local
    PyObject* sqliteProgrammingError = nullptr;
    PyObject* sqliteOperationalError = nullptr;
    PyObject* transactionError = nullptr;  // Quillon.Error.DbFault.TransactionError
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
// Reading a name or a value of an object other than a plain tuple, and
// hashing a name, may run Python code that changes the description or the
// rows: both are walked as held snapshots (a tuple is one already; a list is
// copied once per result set).
class RowShaper {
public:
    explicit RowShaper(PyObject* cursor) {
        Ref description = getattr(cursor, names.description);
        Ref entries = stableItems(description.get(), "the cursor's description is not iterable");
        Py_ssize_t n = PySequence_Fast_GET_SIZE(entries.get());
        keys_ = Ref::steal(PyTuple_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            Borrowed entry = fastItem(entries.get(), i);  // held by `entries`
            Ref key = PyTuple_CheckExact(entry.get()) && PyTuple_GET_SIZE(entry.get()) > 0
                          ? tupleItem(entry.get(), 0).ref()
                          : itemAt(entry.get(), 0);
            PyTuple_SET_ITEM(keys_.get(), i, key.release());
        }
    }

    // One row (held by the caller) as a dict.
    Ref shape(PyObject* row) const {
        Py_ssize_t n = PyTuple_GET_SIZE(keys_.get());
        Ref out = Ref::steal(PyDict_New());
        bool fast = PyTuple_CheckExact(row);  // immutable: its items live as long as it does
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref value = fast && i < PyTuple_GET_SIZE(row) ? tupleItem(row, i).ref() : itemAt(row, i);
            check(PyDict_SetItem(out.get(), tupleItem(keys_.get(), i).get(), value.get()));
        }
        return out;
    }

    // A list of dicts over a sequence of rows, in row order.
    Ref shapeAll(PyObject* rows) const {
        Ref seq = stableItems(rows, "fetched rows must be a sequence");
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        Ref out = Ref::steal(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            Borrowed row = fastItem(seq.get(), i);  // held by `seq`
            if (!PyTuple_Check(row.get())) raiseConvert(row.get(), "tuple");
            PyList_SET_ITEM(out.get(), i, shape(row.get()).release());
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
        return listItem(self->rows, self->index++).ref().release();
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
        } catch (PyError& e) {
            // The statement's own error is the one the caller needs.
            if (!e.matches(PyExc_Exception)) throw;
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

// A task of the running loop made directly, not through the loop's task
// factory: the connectors' own work is no task of the application's.
Ref newLoopTask(PyObject* coro) {
    Ref loop = call(state.runningLoop);
    Ref keywords = Ref::steal(PyDict_New());
    check(PyDict_SetItemString(keywords.get(), "loop", loop.get()));
    Ref args = tupleOf({coro});
    return callWith(state.taskType, args.get(), keywords.get());
}

// Starts an end-of-task coroutine at once and lets a task of its own finish
// it; returns that task, or null when the coroutine ended at once.
//
// The coroutine is advanced to its first suspension right here, so that its
// first driver call (the commit or rollback) is already issued.  A task
// created now might otherwise be cancelled before it ever runs (asyncio.run
// cancels every pending task once its main task is done), which would lose
// the commit and leave the connection open.
Ref spawnEnd(Ref coro) {
    PyObject* yielded = nullptr;
    PySendResult r = PyIter_Send(coro.get(), Py_None, &yielded);
    if (r == PYGEN_ERROR) throwPending();
    Ref first = Ref::stealOrNull(yielded);
    if (r == PYGEN_RETURN) return Ref();
    // The task re-awaits the same future on its first step; like a task's
    // own step, clear the future's blocking mark so it may be yielded again.
    if (first.get() != Py_None && PyObject_HasAttr(first.get(), names.futureBlocking))
        setattr(first.get(), names.futureBlocking, Py_False);
    Ref task = newLoopTask(coro.get());
    callMethod(state.endTasks, names.add, task.get());
    Ref discard = getattr(state.endTasks, names.discard);
    callMethod(task.get(), names.add_done_callback, discard.get());
    return task;
}

// Removes and returns conMap[task], or null when the task holds no connection.
Ref takeTaskConnection(PyObject* conMap, PyObject* task) {
    if (!conMap || !PyDict_Check(conMap)) return Ref();
    PyObject* held = PyDict_GetItemWithError(conMap, task);
    if (!held) {
        checkError();
        return Ref();
    }
    Ref con = Ref::borrow(held);
    check(PyDict_DelItem(conMap, task));
    return con;
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
Ref BaseConnector_close(PyObject*) { return Ref::none(); }

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
    Q_NOARGS("close", BaseConnector_close, "close() -> None; connectors that hold connections override it"),
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
// Sqlite3Connector: blocking, a connection per thread
// ===========================================================================

const size_t sqliteOffsets[] = {offsetof(BaseConnectorObject, _pool),    offsetof(BaseConnectorObject, selectCon),
                                offsetof(BaseConnectorObject, _config),  offsetof(Sqlite3ConnectorObject, con),
                                offsetof(Sqlite3ConnectorObject, path),  offsetof(Sqlite3ConnectorObject, threadState)};
const FieldList sqliteFields{sqliteOffsets, 6};

// The busy timeout a blocking connector waits by default, in seconds: long
// enough for threads that queue their writes behind each other's transaction
// blocks, finite so that a lock nobody releases shows up as an error.
constexpr double kBlockingTimeout = 30.0;
// The asyncio SQLite connector's default, the driver's own.
constexpr double kAwaitableTimeout = 5.0;

// A `timeout=` setting: seconds, a finite number not below zero.
double timeoutSetting(PyObject* value, double fallback) {
    if (!value) return fallback;
    if (PyBool_Check(value) || !(PyFloat_Check(value) || PyLong_Check(value)))
        raise(PyExc_TypeError, "timeout must be a number of seconds, not %.200s", typeName(value));
    double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) throwPending();
    if (!(seconds >= 0.0) || seconds > 1e9) raise(PyExc_ValueError, "timeout must be between 0 and 1e9 seconds");
    return seconds;
}

// Takes the `timeout` keyword out of a constructor's surplus keywords.
double takeTimeout(PyObject* extra, double fallback) {
    static const Constant key = interned("timeout");
    PyObject* given = PyDict_GetItemWithError(extra, key.get());
    if (!given) {
        checkError();
        return fallback;
    }
    Ref held = Ref::borrow(given);
    double seconds = timeoutSetting(held.get(), fallback);
    check(PyDict_DelItem(extra, key.get()));
    return seconds;
}

// autoFiledAnnounce and getTableNameList honour a Python subclass's own
// version when they are called through the native table.
OverrideSet<2> sqliteOverrides{{"autoFiledAnnounce", "getTableNameList"}};

// A new connection on the connector's database with its settings.
Ref openSqliteConnection(PyObject* self, PyObject* path) {
    auto* c = asSqlite(self);
    Ref keywords = Ref::steal(PyDict_New());
    Ref timeout = Ref::steal(PyFloat_FromDouble(c->timeout));
    check(PyDict_SetItemString(keywords.get(), "timeout", timeout.get()));
    check(PyDict_SetItemString(keywords.get(), "check_same_thread", Py_False));
    Ref args = tupleOf({path});
    Ref con = callWith(state.sqliteConnect, args.get(), keywords.get());
    if (c->showLog) {
        Ref debug = getattr(getattr(state.module, "_logger").get(), "debug");
        callMethod(con.get(), "set_trace_callback", debug.get());
    }
    return con;
}

Ref sqliteInitNative(PyObject* self, PyObject* path, bool showLog) {
    asSqlite(self)->showLog = showLog;
    assignField(asSqlite(self)->con, openSqliteConnection(self, path));
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

// ---------------------------------------------------------------------------
// The calling thread's connection
// ---------------------------------------------------------------------------

bool onMainThread() {
    Ref main = call(state.mainThread);
    Ref ident = getattr(main.get(), "ident");
    unsigned long mainIdent = PyLong_AsUnsignedLong(ident.get());
    if (mainIdent == (unsigned long)-1 && PyErr_Occurred()) throwPending();
    return PyThread_get_thread_ident() == mainIdent;
}

[[noreturn]] void raiseClosed() { raise(state.sqliteProgrammingError, "Cannot operate on a closed database."); }

// Waits up to the busy timeout for the lock of a shared connection, with the
// interpreter released and signals handled; then fails the way SQLite does.
void acquireBlockLock(Sqlite3ConnectorObject* c) {
    PyThread_type_lock lock = c->blockLock;
    if (PyThread_acquire_lock(lock, NOWAIT_LOCK)) return;
    double remaining = c->timeout;
    for (;;) {
        double slice = remaining < 0.05 ? remaining : 0.05;
        PyLockStatus got;
        Py_BEGIN_ALLOW_THREADS
        got = PyThread_acquire_lock_timed(lock, (PY_TIMEOUT_T)(slice * 1e6), 0);
        Py_END_ALLOW_THREADS
        if (got == PY_LOCK_ACQUIRED) return;
        check(PyErr_CheckSignals());
        remaining -= slice;
        if (remaining <= 0.0) raise(state.sqliteOperationalError, "database is locked");
    }
}

// One use of the connector by the calling thread: its connection and the
// depth of its open transaction blocks.  On a shared connection the session
// holds the connector's lock unless the thread owns the open block; the lock
// is let go when the session ends, or kept by a block that begins.
class ThreadSession {
public:
    explicit ThreadSession(PyObject* self) : c_(asSqlite(self)) {
        if (c_->sharedConnection) {
            if (c_->closed) raiseClosed();
            if (c_->blockOwner != PyThread_get_thread_ident()) {
                acquireBlockLock(c_);
                heldLock_ = true;
                depth_ = 0;
            } else {
                depth_ = c_->transactionDepth;
            }
            con_ = Ref::borrow(c_->con);
        } else if (onMainThread()) {
            con_ = Ref::borrow(c_->con);
            depth_ = c_->transactionDepth;
        } else {
            openThreadConnection();
        }
    }
    ~ThreadSession() {
        if (heldLock_) PyThread_release_lock(c_->blockLock);
    }
    ThreadSession(const ThreadSession&) = delete;
    ThreadSession& operator=(const ThreadSession&) = delete;

    PyObject* con() const { return con_.get(); }
    int depth() const { return depth_; }
    bool inBlock() const { return depth_ > 0; }

    void storeDepth(int depth) {
        depth_ = depth;
        if (threadDict_) {
            Ref value = integer(depth);
            check(PyDict_SetItem(threadDict_.get(), depthKey(), value.get()));
        } else {
            c_->transactionDepth = depth;
        }
        if (c_->sharedConnection) {
            // A block that begins keeps the lock; the outermost end gives it back.
            if (depth > 0 && heldLock_) {
                c_->blockOwner = PyThread_get_thread_ident();
                heldLock_ = false;
            } else if (depth == 0 && c_->blockOwner == PyThread_get_thread_ident()) {
                c_->blockOwner = 0;
                heldLock_ = true;
            }
        }
    }

    // Closes the calling thread's own connection (not the connector's).
    void closeThreadConnection() {
        if (!threadDict_) return;
        check(PyDict_DelItem(threadDict_.get(), conKey()));
        callMethod(con_.get(), names.close);
    }

private:
    static PyObject* conKey() {
        static const Constant key = interned("con");
        return key.get();
    }
    static PyObject* depthKey() {
        static const Constant key = interned("depth");
        return key.get();
    }

    // The thread's own connection, opened on its first statement; it closes
    // when the thread ends (its thread-local entry goes) or the connector is
    // closed.
    void openThreadConnection() {
        threadDict_ = getattr(c_->threadState, "__dict__");
        PyObject* held = PyDict_GetItemWithError(threadDict_.get(), conKey());
        if (!held) checkError();
        Ref con = Ref::borrow(held);
        if (c_->closed) {
            if (con) {
                check(PyDict_DelItem(threadDict_.get(), conKey()));
                callMethod(con.get(), names.close);
            }
            raiseClosed();
        }
        if (!con) {
            con = openSqliteConnection((PyObject*)c_, c_->path);
            check(PyDict_SetItem(threadDict_.get(), conKey(), con.get()));
        }
        con_ = std::move(con);
        PyObject* depth = PyDict_GetItemWithError(threadDict_.get(), depthKey());
        if (!depth) checkError();
        depth_ = depth ? (int)PyLong_AsLong(depth) : 0;
    }

    Sqlite3ConnectorObject* c_;
    Ref con_;
    Ref threadDict_;
    int depth_ = 0;
    bool heldLock_ = false;
};

Ref sqliteTableNamesNative(PyObject* self) {
    static const Constant query = str("select tbl_name from sqlite_master where type = \"table\";");
    ThreadSession session(self);
    Ref cursor = callMethod(session.con(), names.execute, query.get());
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
    if (self) {
        auto* c = asSqlite(self);
        c->ops = &sqliteOps;
        c->timeout = kBlockingTimeout;
        c->showLog = 1;
        c->blockLock = PyThread_allocate_lock();
        if (!c->blockLock) {
            Py_DECREF(self);
            PyErr_NoMemory();
            return nullptr;
        }
    }
    return self;
}

void Sqlite3Connector_dealloc(PyObject* self) noexcept {
    PyThread_type_lock lock = asSqlite(self)->blockLock;
    asSqlite(self)->blockLock = nullptr;
    deallocObject<sqliteFields>(self);
    if (lock) PyThread_free_lock(lock);
}

bool isPrivateDatabase(PyObject* path) {
    // ":memory:" and "" (a temporary file) exist only inside their connection.
    return PyUnicode_Check(path) &&
           (PyUnicode_GET_LENGTH(path) == 0 || PyUnicode_CompareWithASCIIString(path, ":memory:") == 0);
}

int Sqlite3Connector_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return boundary(-1, [&] {
        static const Signature<2> sig{"Sqlite3Connector", {"path", "showLog"}, 1, false, true};
        auto a = bind(sig, args, kwargs);
        requireStrOrNone("path", a[0]);
        auto* c = asSqlite(self);
        c->timeout = takeTimeout(a.extra.get(), kBlockingTimeout);
        noArguments("Sqlite3Connector", nullptr, a.extra.get());
        bool showLog = a[1] ? truthy(a[1]) : true;
        asBase(self)->isAsync = 0;
        assignField(c->path, a[0]);
        c->sharedConnection = isPrivateDatabase(a[0]);
        assignField(c->threadState, call(state.threadLocal));
        Ref done = Ref::steal(c->ops->init_sqlite(self, a[0], showLog));
        return 0;
    });
}

// A connection for the calling thread: the connector's own one on the main
// thread, a new default connection (owned by the caller) on any other.
Ref Sqlite3Connector_getCon(PyObject* self) {
    if (onMainThread()) return Ref::borrow(asSqlite(self)->con);
    return call(state.sqliteConnect, asSqlite(self)->path);
}

Ref Sqlite3Connector_releaseCon(PyObject*, PyObject* con) {
    callMethod(con, names.commit);
    return Ref::none();
}

// SQL text on the calling thread's connection.  Outside a transaction block
// a statement that wrote is committed at once; inside one it belongs to the
// block.
Ref Sqlite3Connector_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ExecuteCall request = bindExecute(args, nargs, kwnames, true);
    ThreadSession session(self);
    Ref cursor = callMethod(session.con(), names.cursor);
    Ref text = toQmark(request.sql);
    callMethod(cursor.get(), names.execute, text.get(), request.params);
    bool wrote = !session.inBlock() && truthy(getattr(session.con(), "in_transaction").get());
    if (request.dictCur) {
        if (!wrote) return newDictRowIterator(cursor.get());
        // The rows of a writing statement are read before its commit.
        Ref rows = callMethod(cursor.get(), names.fetchall);
        Ref shaped = RowShaper(cursor.get()).shapeAll(rows.get());
        callMethod(session.con(), names.commit);
        Ref list = Ref::steal(PySequence_List(shaped.get()));
        return Ref::steal(PyObject_GetIter(list.get()));
    }
    Ref rows = callMethod(cursor.get(), names.fetchall);
    if (wrote) callMethod(session.con(), names.commit);
    return Ref::steal(PySequence_Tuple(rows.get()));
}

Ref Sqlite3Connector_process(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature<2> sig{"process", {"executor", "con"}, 1};
    auto a = bind(sig, args, nargs, kwnames);
    PyObject* executor = a[0];
    // A None executor has no statement to run: refused before the database is touched.
    requireType("executor", executor, state.executors->ModelExecutor, false);

    PyObject* builder = builderOf(executor);
    auto [text, params] = preparedStatement(builder, true);

    ThreadSession session(self);
    PyObject* con = session.con();
    Ref cursor = callMethod(con, names.cursor);
    runStatementAtomically(con, cursor.get(), text.get(), params.get());
    recordRowCount(executor, cursor.get());
    // Inside a transaction block the block's end commits.
    if (!session.inBlock()) callMethod(con, names.commit);
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

// Transaction blocks (SqliteContextManager): the calling thread's outermost
// block is one transaction on its connection, inner blocks are savepoints,
// and statements leave committing to the outermost block's end.  The
// outermost block takes the write lock when it begins, so two threads' blocks
// wait for each other in turn instead of failing when both go on to write.
Ref savepointStatement(const char* verb, int depth) {
    return Ref::steal(PyUnicode_FromFormat("%s quillon_block_%d", verb, depth));
}

Ref Sqlite3Connector__beginTransaction(PyObject* self) {
    ThreadSession session(self);
    PyObject* con = session.con();
    int depth = session.depth();
    if (depth == 0) {
        if (!truthy(getattr(con, "in_transaction").get())) {
            static const Constant begin = str("BEGIN IMMEDIATE");
            callMethod(con, names.execute, begin.get());
        }
    } else {
        callMethod(con, names.execute, savepointStatement("SAVEPOINT", depth).get());
    }
    session.storeDepth(depth + 1);
    return Ref::none();
}

Ref Sqlite3Connector__endTransaction(PyObject* self, PyObject* succeeded) {
    bool ok = truthy(succeeded);
    auto* c = asSqlite(self);
    if (c->sharedConnection && c->blockOwner != PyThread_get_thread_ident())
        raise(PyExc_RuntimeError, "no transaction block is open on this thread");
    ThreadSession session(self);
    if (session.depth() <= 0) raise(PyExc_RuntimeError, "no transaction block is open on this thread");
    int depth = session.depth() - 1;
    PyObject* con = session.con();
    Ref keep = Ref::borrow(con);
    session.storeDepth(depth);
    if (depth > 0) {
        if (!ok) callMethod(con, names.execute, savepointStatement("ROLLBACK TO SAVEPOINT", depth).get());
        callMethod(con, names.execute, savepointStatement("RELEASE SAVEPOINT", depth).get());
        return Ref::none();
    }
    if (!ok) {
        callMethod(con, names.rollback);
        return Ref::none();
    }
    try {
        callMethod(con, names.commit);
    } catch (PyError&) {
        // A commit that failed leaves nothing of the block behind either;
        // the commit's error is the one the caller needs.
        PyObject* r = PyObject_CallMethodNoArgs(con, names.rollback);
        if (r)
            Py_DECREF(r);
        else if (PyErr_ExceptionMatches(PyExc_Exception))
            PyErr_Clear();
        else
            throwPending();
        throw;
    }
    return Ref::none();
}

// Closes the connector: its own connection and the calling thread's; any
// other thread's connection closes on that thread's next statement or when
// the thread ends.  Statements after that fail.
Ref Sqlite3Connector_close(PyObject* self) {
    auto* c = asSqlite(self);
    if (c->closed) return Ref::none();
    {
        ThreadSession session(self);
        if (session.inBlock())
            raise(state.transactionError, "close() inside a transaction block: end the block first");
        c->closed = 1;
        session.closeThreadConnection();
        callMethod(c->con, names.close);
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
Ref get_sqlite_timeout(PyObject* self) { return Ref::steal(PyFloat_FromDouble(asSqlite(self)->timeout)); }

PyMethodDef sqliteMethods[] = {
    Q_NOARGS("getCon", Sqlite3Connector_getCon,
             "getCon() -> the connector's own connection on the main thread, a new connection on any other thread"),
    Q_ONEARG("releaseCon", Sqlite3Connector_releaseCon, "releaseCon(con) -> None; commits the connection"),
    Q_FAST("execute", Sqlite3Connector_execute,
           "execute(sql, con=None, dictCur=False, args=()) -> rows as tuples, or a lazy iterator of dicts;\n"
           "a write is committed unless a transaction block of the calling thread is open"),
    Q_FAST("process", Sqlite3Connector_process,
           "process(executor, con=None) -> the executor's result of its prepared statement (committed)"),
    Q_FAST("getTableNameList", Sqlite3Connector_getTableNameList, "getTableNameList() -> the names of all tables"),
    Q_ONEARG("autoFiledAnnounce", Connector_autoFiledAnnounce,
             "autoFiledAnnounce(col) -> the column type of an auto-increment key"),
    Q_NOARGS("GenerateTable", Sqlite3Connector_GenerateTable, "GenerateTable() -> None; creates the models' tables"),
    Q_NOARGS("_beginTransaction", Sqlite3Connector__beginTransaction,
             "_beginTransaction() -> None; opens a transaction block of the calling thread (a savepoint when nested)"),
    Q_ONEARG("_endTransaction", Sqlite3Connector__endTransaction,
             "_endTransaction(succeeded) -> None; commits or rolls back the calling thread's innermost block"),
    Q_NOARGS("close", Sqlite3Connector_close,
             "close() -> None; closes the connector's connections; statements after that fail"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sqliteGetSet[] = {
    Q_GETTER("paramsHolder", paramsHolderQmark, "the dialect's parameter placeholder"),
    Q_GETTER("con", get_sqlite_con, "the connector's own connection (the main thread's)"),
    Q_GETTER("path", get_sqlite_path, "the database file path"),
    Q_GETTER("timeout", get_sqlite_timeout, "seconds a statement waits for another connection's lock"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot sqliteSlots[] = {
    {Py_tp_new, (void*)Sqlite3Connector_new},
    {Py_tp_init, (void*)Sqlite3Connector_init},
    {Py_tp_traverse, (void*)traverseObject<sqliteFields>},
    {Py_tp_clear, (void*)clearObject<sqliteFields>},
    {Py_tp_dealloc, (void*)Sqlite3Connector_dealloc},
    {Py_tp_methods, sqliteMethods},
    {Py_tp_getset, sqliteGetSet},
    {Py_tp_doc, (void*)"Sqlite3Connector(path, showLog=True, *, timeout=30.0): blocking SQLite, a connection per "
                       "thread."},
    {0, nullptr},
};
PyType_Spec sqliteSpec = {"Quillon.DB.Connector.Sqlite3Connector", sizeof(Sqlite3ConnectorObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                          sqliteSlots};

// ===========================================================================
// Per-task connections of the awaitable connectors
// ===========================================================================

// AioSqliteConnector and AioMysqlConnector keep every asyncio task's
// connection in their `conMap` (task -> connection).  They differ only in
// where a connection comes from and where it goes at the end, and in the
// name of the done-callback.  Two process-wide registries tie the pieces
// together: `taskConnections` (task -> the connectors holding a connection
// for it) lets a task end all its connections itself, and `openConnections`
// (connection -> connector) holds every per-task connection until it is
// closed, so that the end of the interpreter finds those nothing ended.
struct TaskConnections {
    PyObject* (*conMap)(PyObject* self);
    int* (*closed)(PyObject* self);
    // true: taken from the connector's pool and released back to it;
    // false: opened on the connector's database path and closed.
    bool pooled;
    PyObject* Names::*doneCallback;
    const char* endName;  // the end-of-task coroutine's name
};

PyObject* aioSqliteConMap(PyObject* self) { return asAioSqlite(self)->conMap; }
PyObject* aioMysqlConMap(PyObject* self) { return asAioMysql(self)->conMap; }
int* aioSqliteClosed(PyObject* self) { return &asAioSqlite(self)->closed; }
int* aioMysqlClosed(PyObject* self) { return &asAioMysql(self)->closed; }

const TaskConnections aioSqliteConnections{aioSqliteConMap, aioSqliteClosed, false, &Names::releaseCon,
                                           "AioSqliteConnector.releaseCon.<end>"};
const TaskConnections aioMysqlConnections{aioMysqlConMap, aioMysqlClosed, true, &Names::_releaseCon,
                                          "AioMysqlConnector._releaseCon.<end>"};

const TaskConnections& connectionsOf(PyObject* connector) {
    return PyObject_TypeCheck(connector, state.AioMysqlConnector) ? aioMysqlConnections : aioSqliteConnections;
}

// conMap[task], or null when the task holds no connection (or there is no map).
Ref heldConnection(PyObject* conMap, PyObject* task) {
    if (!PyDict_Check(conMap)) return Ref();
    PyObject* held = PyDict_GetItemWithError(conMap, task);
    if (!held) checkError();
    return held ? Ref::borrow(held) : Ref();
}

void rememberTaskConnector(PyObject* task, PyObject* connector) {
    PyObject* held = PyDict_GetItemWithError(state.taskConnections, task);
    if (!held) {
        checkError();
        Ref list = Ref::steal(PyList_New(0));
        check(PyDict_SetItem(state.taskConnections, task, list.get()));
        held = list.get();
    }
    check(PyList_Append(held, connector));
}

void forgetTaskConnector(PyObject* task, PyObject* connector) {
    PyObject* held = PyDict_GetItemWithError(state.taskConnections, task);
    if (!held) {
        checkError();
        return;
    }
    Ref list = Ref::borrow(held);
    for (Py_ssize_t i = PyList_GET_SIZE(list.get()); i-- > 0;)
        if (PyList_GET_ITEM(list.get(), i) == connector) check(PyList_SetSlice(list.get(), i, i + 1, nullptr));
    if (PyList_GET_SIZE(list.get()) == 0) check(PyDict_DelItem(state.taskConnections, task));
}

void forgetOpenConnection(PyObject* con) {
    if (PyDict_DelItem(state.openConnections, con) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throwPending();
        PyErr_Clear();
    }
}

// ---------------------------------------------------------------------------
// Writes that would wait for the task that created them
// ---------------------------------------------------------------------------

// A task whose SQLite connection holds an open write transaction marks
// itself in its context; a task created afterwards inherits the mark.  Such
// a task that is about to write would wait for that transaction, which ends
// only when the marking task ends: if that task waits for this one (gather,
// wait_for), neither can go on.  The write is refused at once instead of
// failing after the busy timeout.
void refuseWriteUnderOpenWrite(PyObject* self, PyObject* task) {
    PyObject* found = nullptr;
    check(PyContextVar_Get(state.writeHolder, nullptr, &found));
    Ref holder = Ref::stealOrNull(found);
    if (!holder || holder.get() == Py_None || holder.get() == task) return;
    if (truthy(callMethod(holder.get(), "done").get())) return;
    Ref con = heldConnection(asAioSqlite(self)->conMap, holder.get());
    if (!con || !truthy(getattr(con.get(), "in_transaction").get())) return;
    Ref name = callMethod(holder.get(), "get_name");
    raise(state.transactionError,
          "this task would wait for the open write transaction of task %R on the same SQLite database, and that "
          "task created it and commits only when it ends: if it waits for this task, neither can go on.  Commit "
          "those writes first (run them in a task of their own: await asyncio.create_task(...)), or await this "
          "write in that task itself",
          name.get());
}

void markOpenWrite(PyObject* con, PyObject* task) {
    if (!truthy(getattr(con, "in_transaction").get())) return;
    PyObject* found = nullptr;
    check(PyContextVar_Get(state.writeHolder, nullptr, &found));
    Ref holder = Ref::stealOrNull(found);
    if (holder.get() == task) return;
    Ref token = Ref::steal(PyContextVar_Set(state.writeHolder, task));
}

// Whether SQL text writes: its first word starts a statement that changes
// the database.  Reads may run beside another connection's open write.
bool writesText(PyObject* sql) {
    if (!PyUnicode_Check(sql)) return false;
    std::string_view text = utf8(sql);
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
    size_t start = i;
    while (i < text.size() && ((text[i] | 0x20) >= 'a' && (text[i] | 0x20) <= 'z')) ++i;
    std::string word(text.substr(start, i - start));
    for (char& ch : word) ch = (char)(ch | 0x20);
    for (const char* verb : {"insert", "update", "delete", "replace", "create", "drop", "alter"})
        if (word == verb) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Opening and ending
// ---------------------------------------------------------------------------

// Waits for the pool of an AioMysqlConnector made on a running loop; a pool
// creation that failed raises its error again here.
Ref pendingPool(PyObject* self) {
    if (asBase(self)->_pool != Py_None) return Ref();
    PyObject* creating = asAioMysql(self)->poolTask;
    if (!creating || creating == Py_None)
        raise(PyExc_RuntimeError, "the connector has no pool: it was not initialised");
    return call(state.shield, creating);
}

// The calling task's connection, opened on first use.  The task ends it
// itself when it was made by a connector's task factory; its done-callback
// ends it otherwise.
Coro taskConnection(Ref self, const TaskConnections* kind) {
    // The SQLite driver is imported before anything else is asked.
    PyObject* aiosqlite = kind->pooled ? nullptr : aiosqliteModule();
    Ref task = requireCurrentTask("getCon");
    PyObject* conMap = kind->conMap(self.get());
    if (!PyDict_Check(conMap)) raise(PyExc_TypeError, "the connector was not initialised (conMap is not a dict)");
    Ref held = heldConnection(conMap, task.get());
    if (held && truthy(held.get())) co_return held;
    if (*kind->closed(self.get())) raise(PyExc_RuntimeError, "%s is closed", Py_TYPE(self.get())->tp_name);

    Ref con;
    if (kind->pooled) {
        Ref waiting = pendingPool(self.get());
        if (waiting) co_await awaitPy(waiting);
        Ref acquiring = callMethod(asBase(self.get())->_pool, names.acquire);
        con = co_await awaitPy(acquiring);
        check(PyDict_SetItem(state.openConnections, con.get(), self.get()));
    } else {
        // Known before it is awaited: its driver thread starts with the await.
        Ref keywords = Ref::steal(PyDict_New());
        Ref timeout = Ref::steal(PyFloat_FromDouble(asAioSqlite(self.get())->timeout));
        check(PyDict_SetItemString(keywords.get(), "timeout", timeout.get()));
        Ref args = tupleOf({asAioSqlite(self.get())->path});
        Ref opening = callWith(getattr(aiosqlite, "connect").get(), args.get(), keywords.get());
        check(PyDict_SetItem(state.openConnections, opening.get(), self.get()));
        try {
            con = co_await awaitPy(opening);
        } catch (PyError&) {
            forgetOpenConnection(opening.get());
            throw;
        }
    }
    check(PyDict_SetItem(kind->conMap(self.get()), task.get(), con.get()));
    rememberTaskConnector(task.get(), self.get());
    Ref end = getattr(self.get(), names.*kind->doneCallback);
    callMethod(task.get(), names.add_done_callback, end.get());
    co_return con;
}

// An end failure nobody awaits is logged.
void logEndFailure(PyError&& failure) {
    failure.restore();
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb && v) PyException_SetTraceback(v, tb);
    Ref type = Ref::stealOrNull(t), value = Ref::stealOrNull(v), trace = Ref::stealOrNull(tb);
    try {
        Ref logger = getattr(state.module, "_logger");
        Ref error = getattr(logger.get(), "error");
        Ref keywords = Ref::steal(PyDict_New());
        check(PyDict_SetItemString(keywords.get(), "exc_info", value ? value.get() : Py_True));
        Ref message = str("ending a task's database connection failed");
        Ref args = tupleOf({message.get()});
        callWith(error.get(), args.get(), keywords.get());
    } catch (PyError& e) {
        e.restore();
        PyErr_WriteUnraisable(state.module);
    }
}

// Ends per-task connections, each a (connector, connection) pair: commit,
// or rollback; then close it or give it back to the pool, and forget it.  A
// failure of the first step still closes or releases the connection.  The
// first failure is raised when `report`; otherwise it is logged (a
// cancellation always passes on).
Coro endConnections(Ref ends, bool rollback, bool report) {
    std::optional<PyError> failure;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ends.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(ends.get(), i);
        Ref connector = Ref::borrow(PyTuple_GET_ITEM(pair, 0));
        Ref con = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
        const TaskConnections& kind = connectionsOf(connector.get());
        try {
            Ref ending = callMethod(con.get(), rollback ? names.rollback : names.commit);
            co_await awaitPy(ending);
        } catch (PyError& e) {
            if (!failure) failure.emplace(std::move(e));
        }
        try {
            Ref giveBack;
            if (kind.pooled)
                giveBack = callMethod(asBase(connector.get())->_pool, names.release, con.get());
            else
                giveBack = callMethod(con.get(), names.close);
            co_await awaitPy(giveBack);
        } catch (PyError& e) {
            if (!failure) failure.emplace(std::move(e));
        }
        forgetOpenConnection(con.get());
    }
    if (failure) {
        if (report || !failure->matches(PyExc_Exception)) throw std::move(*failure);
        logEndFailure(std::move(*failure));
    }
    co_return Ref::none();
}

Ref endPair(PyObject* connector, PyObject* con) {
    Ref pair = tupleOf({connector, con});
    Ref list = Ref::steal(PyList_New(1));
    PyList_SET_ITEM(list.get(), 0, pair.release());
    return list;
}

// The task is named in the connector's debug log (not on standard output,
// which belongs to the application).
void logTaskEnd(PyObject* task) {
    static const Constant message = str("task finished, ending its connection: %r");
    callMethod(getattr(state.module, "_logger").get(), "debug", message.get(), task);
}

// Runs an end-of-task coroutine on a loop of its own (the target of an end
// thread).
PyObject* runEndLoop(PyObject*, PyObject* coro) noexcept {
    try {
        Ref loop = call(state.newEventLoop);
        try {
            callMethod(loop.get(), names.run_until_complete, coro);
        } catch (PyError&) {
            callMethod(loop.get(), names.close);
            throw;
        }
        callMethod(loop.get(), names.close);
    } catch (PyError& e) {
        e.restore();
        PyErr_WriteUnraisable(state.module);
    }
    Py_RETURN_NONE;
}
PyMethodDef runEndLoopDef = {"run_end", runEndLoop, METH_O, "run_end(coro) -> None; runs an end of task to completion"};

// Ends an aiosqlite connection on a thread of its own with its own loop and
// waits for it.  Its driver futures then never belong to the application's
// loop, which may stop or close right after the task (run_until_complete,
// then close()), and the work is committed and the connection closed before
// the program goes on (asyncio.run returns only then).  Only tasks made
// before the connector's task factory end this way: usually the one task
// that made the connector, at the end of the program.
void endInThread(Ref coro) {
    for (Py_ssize_t i = PyList_GET_SIZE(state.endThreads); i-- > 0;)
        if (!truthy(callMethod(PyList_GET_ITEM(state.endThreads, i), "is_alive").get()))
            check(PyList_SetSlice(state.endThreads, i, i + 1, nullptr));
    static const Constant target = Ref::steal(PyCFunction_NewEx(&runEndLoopDef, nullptr, nullptr));
    Ref keywords = Ref::steal(PyDict_New());
    Ref args = tupleOf({coro.get()});
    Ref name = str("Quillon connection end");
    check(PyDict_SetItemString(keywords.get(), "target", target.get()));
    check(PyDict_SetItemString(keywords.get(), "args", args.get()));
    check(PyDict_SetItemString(keywords.get(), "name", name.get()));
    static const Constant noArgs = Ref::steal(PyTuple_New(0));
    Ref thread = callWith(state.threadType, noArgs.get(), keywords.get());
    callMethod(thread.get(), "start");
    check(PyList_Append(state.endThreads, thread.get()));
    callMethod(thread.get(), "join");
}

// The done-callback of a task that opened a connection: when the task did
// not end it itself, it is ended now (rollback when the task failed or was
// cancelled).  A pooled connection belongs to the loop and ends there.
void endFinishedTaskConnection(PyObject* self, PyObject* task, const TaskConnections* kind) {
    Ref con = takeTaskConnection(kind->conMap(self), task);
    if (!con) return;
    forgetTaskConnector(task, self);
    bool rollback = taskFailed(task);
    Ref ending = toPython(endConnections(endPair(self, con.get()), rollback, false), kind->endName);
    if (kind->pooled)
        spawnEnd(std::move(ending));
    else
        endInThread(std::move(ending));
}

bool endThreadsRunning() {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(state.endThreads); ++i)
        if (truthy(callMethod(PyList_GET_ITEM(state.endThreads, i), "is_alive").get())) return true;
    return false;
}

// The end a task made by a connector's task factory runs after its
// coroutine (see Quillon.DB.utils._run_task): an awaitable ending every
// connection the calling task holds (commit, or rollback when `failed`),
// or None when it holds none.  The end runs in a task of its own that the
// caller awaits shielded, so a cancellation cannot cut a commit in half.
Ref taskEnding(PyObject*, PyObject* failedArg) {
    bool failed = truthy(failedArg);
    Ref task = call(state.currentTask);
    if (task.get() == Py_None) return Ref::none();
    PyObject* found = PyDict_GetItemWithError(state.taskConnections, task.get());
    if (!found) {
        checkError();
        return Ref::none();
    }
    Ref connectors = Ref::borrow(found);
    check(PyDict_DelItem(state.taskConnections, task.get()));
    Ref ends = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(connectors.get()); ++i) {
        Ref connector = Ref::borrow(PyList_GET_ITEM(connectors.get(), i));
        Ref con = takeTaskConnection(connectionsOf(connector.get()).conMap(connector.get()), task.get());
        if (!con) continue;
        Ref pair = tupleOf({connector.get(), con.get()});
        check(PyList_Append(ends.get(), pair.get()));
    }
    if (PyList_GET_SIZE(ends.get()) == 0) return Ref::none();
    logTaskEnd(task.get());
    Ref ending = spawnEnd(toPython(endConnections(std::move(ends), failed, !failed), "task.<end>"));
    if (!ending) return Ref::none();
    return call(state.shield, ending.get());
}

// The calling task's own connection of `self`, ended now (commit) by close().
Coro endCallerConnection(Ref self, const TaskConnections* kind) {
    Ref task = call(state.currentTask);
    if (task.get() == Py_None) co_return Ref::none();
    Ref con = takeTaskConnection(kind->conMap(self.get()), task.get());
    if (!con) co_return Ref::none();
    forgetTaskConnector(task.get(), self.get());
    co_await awaitPy(toPython(endConnections(endPair(self.get(), con.get()), false, true), kind->endName));
    co_return Ref::none();
}

// Waits for the ends already started on the running loop (tasks that are
// done but whose connection is still being committed and closed).  Tasks
// still running are not waited for: they end their connections when they end.
Coro waitStartedEnds() {
    Ref loop = call(state.runningLoop);
    Ref started = Ref::steal(PyList_New(0));
    Ref pending = Ref::steal(PySequence_List(state.endTasks));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pending.get()); ++i) {
        PyObject* task = PyList_GET_ITEM(pending.get(), i);
        if (callMethod(task, "get_loop").get() == loop.get()) check(PyList_Append(started.get(), task));
    }
    if (PyList_GET_SIZE(started.get()) > 0) co_await awaitPy(call(state.waitFor, started.get()));
    static const Constant pause = Ref::steal(PyFloat_FromDouble(0.005));
    while (endThreadsRunning()) co_await awaitPy(call(state.asyncioSleep, pause.get()));
    co_return Ref::none();
}

// ---------------------------------------------------------------------------
// The task factory
// ---------------------------------------------------------------------------

Ref closeCoroutine(PyObject* coro, PyObject*) {
    Ref closer = Ref::stealOrNull(PyObject_GetAttrString(coro, "close"));
    if (!closer) {
        PyErr_Clear();
        return Ref::none();
    }
    return call(closer.get());
}

PyMethodDef closeCoroutineDef = Q_ONEARG("close_coroutine", closeCoroutine,
                                         "close_coroutine(task) -> None; closes the coroutine a task was made for");
// A connector's loop makes its tasks through this factory: each task runs
// its coroutine inside Quillon.DB.utils._run_task, which ends the task's
// connections before the task is done.  A factory the loop had before is
// kept and called with the wrapped coroutine.
Ref taskFactoryCall(PyObject* previous, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 2) raise(PyExc_TypeError, "a task factory takes (loop, coro), got %zd positional arguments", nargs);
    PyObject* loop = args[0];
    PyObject* coro = args[1];
    bool wrapped = truthy(call(state.isCoroutine, coro).get());
    Ref body;
    if (wrapped)
        body = call(state.runTask, coro, state.taskEnding);
    else
        body = Ref::borrow(coro);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    std::vector<PyObject*> argv;
    argv.reserve((size_t)(nkw + 2));
    Ref task;
    if (previous == Py_None) {
        // asyncio.Task(body, loop=loop, **kwargs)
        static const Constant loopName = Ref::steal(Py_BuildValue("(s)", "loop"));
        Ref callNames = kwnames ? Ref::steal(PySequence_Concat(loopName.get(), kwnames)) : Ref::borrow(loopName.get());
        argv.push_back(body.get());
        argv.push_back(loop);
        for (Py_ssize_t k = 0; k < nkw; ++k) argv.push_back(args[nargs + k]);
        task = Ref::steal(PyObject_Vectorcall(state.taskType, argv.data(), 1, callNames.get()));
    } else {
        argv.push_back(loop);
        argv.push_back(body.get());
        for (Py_ssize_t k = 0; k < nkw; ++k) argv.push_back(args[nargs + k]);
        task = Ref::steal(PyObject_Vectorcall(previous, argv.data(), 2, kwnames));
    }
    // A task cancelled before its first step never started the body, so the
    // body never awaited the coroutine: close it when the task is done, as a
    // task running it directly would have (a finished coroutine ignores it).
    if (wrapped) {
        Ref closeInner = Ref::steal(PyCFunction_NewEx(&closeCoroutineDef, coro, nullptr));
        callMethod(task.get(), names.add_done_callback, closeInner.get());
    }
    return task;
}

PyMethodDef taskFactoryDef = Q_FAST("task_factory", taskFactoryCall,
                                    "task_factory(loop, coro, **kwargs) -> a task that ends its database connections "
                                    "before it is done");
PyMethodDef taskEndingDef = Q_ONEARG("task_ending", taskEnding,
                                     "task_ending(failed) -> awaitable ending the calling task's connections, or None");

void installTaskFactory(PyObject* loop) {
    if (!loop || loop == Py_None || !isInstance(loop, state.abstractLoop)) return;
    Ref current = callMethod(loop, "get_task_factory");
    if (PyCFunction_Check(current.get()) && PyCFunction_GET_FUNCTION(current.get()) == taskFactoryDef.ml_meth) return;
    Ref factory = Ref::steal(PyCFunction_NewEx(&taskFactoryDef, current.get(), nullptr));
    callMethod(loop, "set_task_factory", factory.get());
}

// ---------------------------------------------------------------------------
// The end of the interpreter
// ---------------------------------------------------------------------------

// Asks each connection's driver thread to close the connection and stop;
// whatever was queued before (a commit already issued) runs first.
Coro stopConnections(Ref connections) {
    Ref stopping = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(connections.get()); ++i) {
        Ref done = callMethod(PyList_GET_ITEM(connections.get(), i), "stop");
        if (done.get() != Py_None) check(PyList_Append(stopping.get(), done.get()));
    }
    if (PyList_GET_SIZE(stopping.get()) > 0) {
        Ref keywords = Ref::steal(PyDict_New());
        Ref limit = Ref::steal(PyFloat_FromDouble(5.0));
        check(PyDict_SetItemString(keywords.get(), "timeout", limit.get()));
        Ref args = tupleOf({stopping.get()});
        co_await awaitPy(callWith(state.waitFor, args.get(), keywords.get()));
    }
    co_return Ref::none();
}

// Whether an aiosqlite connection's driver thread still runs (a thread that
// never started or has ended keeps nothing alive).
bool driverThreadAlive(PyObject* con) {
    Ref thread = Ref::stealOrNull(PyObject_GetAttrString(con, "_thread"));
    if (!thread) {
        PyErr_Clear();
        return true;
    }
    return truthy(callMethod(thread.get(), "is_alive").get());
}

// Runs before the interpreter waits for its threads: ends that were started
// on a loop that stopped are run to their end on that loop, and the driver
// threads of connections whose end never ran (a task left pending on a
// closed loop) are stopped, rolling back what they never committed.
void endAtExit() {
    Ref wait = Ref::steal(PyDict_New());
    Ref limit = Ref::steal(PyFloat_FromDouble(5.0));
    check(PyDict_SetItemString(wait.get(), "timeout", limit.get()));
    if (PySet_GET_SIZE(state.endTasks) > 0) {
        Ref byLoop = Ref::steal(PyDict_New());
        Ref pending = Ref::steal(PySequence_List(state.endTasks));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pending.get()); ++i) {
            PyObject* task = PyList_GET_ITEM(pending.get(), i);
            Ref loop = callMethod(task, "get_loop");
            PyObject* list = PyDict_GetItemWithError(byLoop.get(), loop.get());
            if (!list) {
                checkError();
                Ref fresh = Ref::steal(PyList_New(0));
                check(PyDict_SetItem(byLoop.get(), loop.get(), fresh.get()));
                list = fresh.get();
            }
            check(PyList_Append(list, task));
        }
        PyObject *loop, *tasks;
        Py_ssize_t pos = 0;
        while (PyDict_Next(byLoop.get(), &pos, &loop, &tasks)) {
            Ref heldLoop = Ref::borrow(loop), heldTasks = Ref::borrow(tasks);
            if (truthy(callMethod(loop, "is_closed").get()) || truthy(callMethod(loop, "is_running").get())) continue;
            Ref args = tupleOf({heldTasks.get()});
            Ref waiting = callWith(state.waitFor, args.get(), wait.get());
            callMethod(heldLoop.get(), names.run_until_complete, waiting.get());
        }
    }
    // Ends running on threads of their own finish first (the interpreter
    // would wait for them anyway), so that what is left below is only what
    // nothing is ending.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(state.endThreads); ++i)
        callMethod(PyList_GET_ITEM(state.endThreads, i), "join", limit.get());
    Ref leftovers = Ref::steal(PyList_New(0));
    PyObject *con, *owner;
    Py_ssize_t pos = 0;
    while (PyDict_Next(state.openConnections, &pos, &con, &owner))
        if (!PyObject_TypeCheck(owner, state.AioMysqlConnector)) check(PyList_Append(leftovers.get(), con));
    for (Py_ssize_t i = PyList_GET_SIZE(leftovers.get()); i-- > 0;)
        if (!driverThreadAlive(PyList_GET_ITEM(leftovers.get(), i)))
            check(PyList_SetSlice(leftovers.get(), i, i + 1, nullptr));
    if (PyList_GET_SIZE(leftovers.get()) == 0) return;
    Ref sink = call(state.newEventLoop);
    try {
        callMethod(sink.get(), names.run_until_complete,
                   toPython(stopConnections(std::move(leftovers)), "Connector.<exit>").get());
    } catch (PyError&) {
        callMethod(sink.get(), names.close);
        throw;
    }
    callMethod(sink.get(), names.close);
}

PyObject* atExit(PyObject*, PyObject*) noexcept {
    try {
        endAtExit();
    } catch (PyError& e) {
        e.restore();
        PyErr_WriteUnraisable(state.module);
    }
    Py_RETURN_NONE;
}
PyMethodDef atExitDef = {"_end_at_exit", atExit, METH_NOARGS,
                         "ends the connections left open, before the interpreter exits"};

// ===========================================================================
// AioSqliteConnector: awaitable, one connection per asyncio task
// ===========================================================================

const size_t aioSqliteOffsets[] = {offsetof(BaseConnectorObject, _pool),    offsetof(BaseConnectorObject, selectCon),
                                   offsetof(BaseConnectorObject, _config),  offsetof(AioSqliteConnectorObject, loop),
                                   offsetof(AioSqliteConnectorObject, con), offsetof(AioSqliteConnectorObject, path),
                                   offsetof(AioSqliteConnectorObject, conMap)};
const FieldList aioSqliteFields{aioSqliteOffsets, 7};

PyObject* AioSqliteConnector_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* self = newConnector<aioSqliteFields>(type, args, kwargs);
    if (self) asAioSqlite(self)->timeout = kAwaitableTimeout;
    return self;
}

int AioSqliteConnector_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return boundary(-1, [&] {
        static const Signature<1> sig{"AioSqliteConnector", {"loop"}, 1, false, true};
        auto a = bind(sig, args, kwargs);
        assignField(asAioSqlite(self)->loop, a[0]);
        asBase(self)->isAsync = 1;
        asAioSqlite(self)->timeout = takeTimeout(a.extra.get(), kAwaitableTimeout);
        installTaskFactory(a[0]);
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

// The done-callback of every task that opened a connection.
Ref AioSqliteConnector_releaseCon(PyObject* self, PyObject* task) {
    Ref con = heldConnection(asAioSqlite(self)->conMap, task);
    if (!con) return Ref::none();  // the task holds no connection (or ended it itself)
    logTaskEnd(task);
    endFinishedTaskConnection(self, task, &aioSqliteConnections);
    return Ref::none();
}

Coro aioSqliteExecute(Ref self, Ref sql, Ref params, bool dictCur) {
    co_await awaitPy(toPython(waitReady(Ref::borrow(self.get())), "AioSqliteConnector.execute.<ready>"));
    Local text = toQmark(sql.get());
    Local task = call(state.currentTask);
    if (task.get() != Py_None && writesText(sql.get())) refuseWriteUnderOpenWrite(self.get(), task.get());
    Local con = co_await awaitPy(callMethod(self.get(), names.getCon));
    Local cursor = co_await awaitPy(callMethod(con.get(), names.cursor));
    setattr(cursor.get(), names.useDict, dictCur ? Py_True : Py_False);
    co_await awaitPy(callMethod(cursor.get(), names.execute, text.get(), params.get()));
    if (task.get() != Py_None) markOpenWrite(con.get(), task.get());
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

    Ref task = call(state.currentTask);
    if (task.get() != Py_None && statementKind(keepBuilder.get()) != SQL_SELECT)
        refuseWriteUnderOpenWrite(self.get(), task.get());
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
            } catch (PyError& e) {
                // The statement's own error is the one the caller needs.
                if (!e.matches(PyExc_Exception)) throw;
            }
            throw std::move(*failure);
        }
        co_await awaitPy(callMethod(con.get(), names.execute, steps.release));
    }
    if (task.get() != Py_None) markOpenWrite(con.get(), task.get());
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

// Runs the table generation to its end on the connector's loop.  While a
// loop runs, nothing can wait for it here: the caller is told to await it.
Ref runTableGeneration(PyObject* loop) {
    Ref running = callMethod(loop, names.is_running);
    Ref current = call(state.runningLoopOrNone);
    if (truthy(running.get()) || current.get() != Py_None)
        raise(PyExc_RuntimeError,
              "GenerateTable() cannot create the tables while an event loop is running: inside the loop use "
              "`await generate_table()` (from Quillon.Ext import generate_table)");
    Ref work = generateTable();
    callMethod(loop, names.run_until_complete, work.get());
    return Ref::none();
}

Ref AioSqliteConnector_GenerateTable(PyObject* self) { return runTableGeneration(asAioSqlite(self)->loop); }

// close(): refuses new connections, ends the calling task's own connection
// (committed) and waits for the ends already under way.  A task still
// running keeps its connection until it ends; it is then committed and
// closed as always.
Coro aioSqliteClose(Ref self) {
    asAioSqlite(self.get())->closed = 1;
    co_await awaitPy(toPython(endCallerConnection(Ref::borrow(self.get()), &aioSqliteConnections),
                              "AioSqliteConnector.close.<own>"));
    co_await awaitPy(toPython(waitStartedEnds(), "AioSqliteConnector.close.<ends>"));
    co_return Ref::none();
}

Ref AioSqliteConnector_close(PyObject* self) {
    return toPython(aioSqliteClose(Ref::borrow(self)), "AioSqliteConnector.close");
}

Ref get_aio_loop(PyObject* self) { return Ref::borrow(asAioSqlite(self)->loop); }
Ref get_aio_path(PyObject* self) { return Ref::borrow(asAioSqlite(self)->path); }
Ref get_aio_timeout(PyObject* self) { return Ref::steal(PyFloat_FromDouble(asAioSqlite(self)->timeout)); }

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
             "GenerateTable() -> None; creates the tables on the stopped loop (inside a running loop: await "
             "generate_table())"),
    Q_NOARGS("close", AioSqliteConnector_close,
             "close() -> awaitable; refuses new connections and ends the calling task's own (committed); a task "
             "still running ends its connection when it ends"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef aioSqliteGetSet[] = {
    Q_GETTER("paramsHolder", paramsHolderQmark, "the dialect's parameter placeholder"),
    Q_GETTER("loop", get_aio_loop, "the connector's event loop"),
    Q_GETTER("path", get_aio_path, "the database file path"),
    Q_GETTER("timeout", get_aio_timeout, "seconds a statement waits for another connection's lock"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot aioSqliteSlots[] = {
    {Py_tp_new, (void*)AioSqliteConnector_new},
    {Py_tp_init, (void*)AioSqliteConnector_init},
    {Py_tp_traverse, (void*)traverseObject<aioSqliteFields>},
    {Py_tp_clear, (void*)clearObject<aioSqliteFields>},
    {Py_tp_dealloc, (void*)deallocObject<aioSqliteFields>},
    {Py_tp_methods, aioSqliteMethods},
    {Py_tp_getset, aioSqliteGetSet},
    {Py_tp_doc, (void*)"AioSqliteConnector(loop, *, path, showLog=True, timeout=5.0): awaitable SQLite, one "
                       "connection per asyncio task."},
    {0, nullptr},
};
PyType_Spec aioSqliteSpec = {"Quillon.DB.Connector.AioSqliteConnector", sizeof(AioSqliteConnectorObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                             aioSqliteSlots};

// ===========================================================================
// AioMysqlConnector: awaitable, one pooled connection per asyncio task
// ===========================================================================

const size_t aioMysqlOffsets[] = {offsetof(BaseConnectorObject, _pool),      offsetof(BaseConnectorObject, selectCon),
                                  offsetof(BaseConnectorObject, _config),    offsetof(AioMysqlConnectorObject, loop),
                                  offsetof(AioMysqlConnectorObject, conMap),
                                  offsetof(AioMysqlConnectorObject, poolTask)};
const FieldList aioMysqlFields{aioMysqlOffsets, 6};

// The pool settings the connector adds to the user's: the connection
// character set utf8mb4 unless one is given, and the client flag that makes
// UPDATE report the rows it matched (as SQLite does), not only those whose
// values changed; a client_flag the user gives keeps its own bits.
Ref poolSettings(PyObject* given) {
    Ref settings = Ref::steal(PyDict_Copy(given));
    static const Constant charsetKey = interned("charset");
    static const Constant charset = str("utf8mb4");
    check(PyDict_SetDefault(settings.get(), charsetKey.get(), charset.get()) ? 0 : -1);
    static const Constant flagKey = interned("client_flag");
    static const Constant foundRows = importFrom("pymysql.constants.CLIENT", "FOUND_ROWS");
    PyObject* flag = PyDict_GetItemWithError(settings.get(), flagKey.get());
    if (!flag) checkError();
    Ref combined = flag ? Ref::steal(PyNumber_Or(flag, foundRows.get())) : Ref::borrow(foundRows.get());
    check(PyDict_SetItem(settings.get(), flagKey.get(), combined.get()));
    return settings;
}

Coro aioMysqlInit(Ref self, Ref args, Ref kwargs) {
    Ref createPool = getattr(aiomysqlModule(), "create_pool");
    Ref settings = poolSettings(kwargs.get());
    Ref pool = co_await awaitPy(callWith(createPool.get(), args.get(), settings.get()));
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
        installTaskFactory(loop);
        Ref init = getattr(self, names._init_mysql);
        Ref work = callWith(init.get(), a.rest.get(), a.extra.get());
        // On a running loop the pool is made by a task; the first operation
        // waits for it (and raises its error when it failed).
        if (truthy(callMethod(loop, names.is_running).get()))
            assignField(asAioMysql(self)->poolTask, callMethod(loop, names.create_task, work.get()));
        else
            callMethod(loop, names.run_until_complete, work.get());
        return 0;
    });
}

Ref AioMysqlConnector_getCon(PyObject* self) {
    return toPython(taskConnection(Ref::borrow(self), &aioMysqlConnections), "AioMysqlConnector.getCon");
}

Coro aioMysqlSelectCon(Ref self) {
    if (asAioMysql(self.get())->closed) raise(PyExc_RuntimeError, "%s is closed", Py_TYPE(self.get())->tp_name);
    Ref waiting = pendingPool(self.get());
    if (waiting) co_await awaitPy(waiting);
    co_return co_await awaitPy(callMethod(asBase(self.get())->_pool, names.acquire));
}

Ref AioMysqlConnector_getSelectCon(PyObject* self) {
    return toPython(aioMysqlSelectCon(Ref::borrow(self)), "AioMysqlConnector.getSelectCon");
}

Ref AioMysqlConnector_releaseCon(PyObject* self, PyObject* con) {
    return callMethod(asBase(self)->_pool, names.release, con);
}

Ref AioMysqlConnector__releaseCon(PyObject* self, PyObject* task) {
    endFinishedTaskConnection(self, task, &aioMysqlConnections);
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

Ref AioMysqlConnector_GenerateTable(PyObject* self) { return runTableGeneration(asAioMysql(self)->loop); }

// close(): refuses new connections, ends the calling task's own connection
// (committed), waits for the ends already under way and closes the pool:
// at once when every connection is back, otherwise each remaining one is
// closed when its task gives it back.  A pool whose creation failed leaves
// nothing to close.
Coro aioMysqlClose(Ref self) {
    asAioMysql(self.get())->closed = 1;
    bool noPool = false;
    if (asBase(self.get())->_pool == Py_None) {
        PyObject* creating = asAioMysql(self.get())->poolTask;
        if (!creating || creating == Py_None) co_return Ref::none();
        try {
            co_await awaitPy(call(state.shield, creating));
        } catch (PyError& e) {
            if (!e.matches(PyExc_Exception)) throw;
            noPool = true;
        }
    }
    if (noPool) co_return Ref::none();
    co_await awaitPy(toPython(endCallerConnection(Ref::borrow(self.get()), &aioMysqlConnections),
                              "AioMysqlConnector.close.<own>"));
    co_await awaitPy(toPython(waitStartedEnds(), "AioMysqlConnector.close.<ends>"));
    Ref pool = Ref::borrow(asBase(self.get())->_pool);
    callMethod(pool.get(), names.close);
    Ref size = getattr(pool.get(), "size");
    Ref free = getattr(pool.get(), "freesize");
    if (check(PyObject_RichCompareBool(size.get(), free.get(), Py_EQ)))
        co_await awaitPy(callMethod(pool.get(), "wait_closed"));
    co_return Ref::none();
}

Ref AioMysqlConnector_close(PyObject* self) {
    return toPython(aioMysqlClose(Ref::borrow(self)), "AioMysqlConnector.close");
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
             "GenerateTable() -> None; creates the tables on the stopped loop (inside a running loop: await "
             "generate_table())"),
    Q_NOARGS("close", AioMysqlConnector_close,
             "close() -> awaitable; refuses new connections, ends the calling task's own (committed) and closes "
             "the pool (a connection still out is closed when its task gives it back)"),
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
    state.mainThread = getattr(threading.get(), "main_thread").release();
    state.asyncioSleep = getattr(asyncio.get(), "sleep").release();
    state.currentTask = getattr(asyncio.get(), "current_task").release();
    state.pollDelay = PyFloat_FromDouble(0.3);
    if (!state.pollDelay) throwPending();
    state.endTasks = PySet_New(nullptr);
    if (!state.endTasks) throwPending();
    state.taskType = getattr(asyncio.get(), "Task").release();
    state.endThreads = Ref::steal(PyList_New(0)).release();
    state.threadType = getattr(threading.get(), "Thread").release();
    state.runningLoop = getattr(asyncio.get(), "get_running_loop").release();
    state.runningLoopOrNone = getattr(asyncio.get(), "_get_running_loop").release();
    state.shield = getattr(asyncio.get(), "shield").release();
    state.waitFor = getattr(asyncio.get(), "wait").release();
    state.newEventLoop = getattr(asyncio.get(), "new_event_loop").release();
    state.isCoroutine = getattr(asyncio.get(), "iscoroutine").release();
    state.abstractLoop = getattr(asyncio.get(), "AbstractEventLoop").release();
    state.taskConnections = Ref::steal(PyDict_New()).release();
    state.openConnections = Ref::steal(PyDict_New()).release();
    state.writeHolder = Ref::steal(PyContextVar_New("Quillon.DB.Connector.writeHolder", nullptr)).release();
    state.threadLocal = importFrom("_thread", "_local").release();
    state.sqliteProgrammingError = getattr(sqlite3.get(), "ProgrammingError").release();
    state.sqliteOperationalError = getattr(sqlite3.get(), "OperationalError").release();
    state.transactionError = importFrom("Quillon.Error.DbFault", "TransactionError").release();
    state.runTask = importFrom("Quillon.DB.utils", "_run_task").release();
    state.taskEnding = Ref::steal(PyCFunction_NewEx(&taskEndingDef, nullptr, nullptr)).release();
    // Connections whose end never ran are ended before the interpreter waits
    // for its threads (plain atexit handlers run only after that wait).
    Ref atExitHook = Ref::steal(PyCFunction_NewEx(&atExitDef, nullptr, nullptr));
    Ref registerAtExit = Ref::stealOrNull(PyObject_GetAttrString(threading.get(), "_register_atexit"));
    if (!registerAtExit) {
        PyErr_Clear();
        registerAtExit = importFrom("atexit", "register");
    }
    call(registerAtExit.get(), atExitHook.get());
    state.assertionsOn = assertionsEnabled();

    // Module state, in order: the logger, the process-wide lock, dict_factory.
    state.logger = callMethod(logging.get(), "getLogger", getattr(module, "__package__").get()).release();
    addObject(module, "_logger", state.logger);
    state.lock = callMethod(multiprocessing.get(), "Lock").release();
    addObject(module, "lock", state.lock);
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
