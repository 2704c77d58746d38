// Quillon.DB.Connector: the database connectors.
//
// A connector owns the driver-level connections and runs SQL text for the
// rest of the system.  `BaseConnector` holds the fields every connector
// shares and the do-nothing defaults.  The blocking connectors run on the
// calling thread: `Sqlite3Connector` over the host's sqlite3 module,
// `PyMysqlConnector` over pymysql and `PostgresConnector` over psycopg, each
// with a pool of connections.  The asyncio connectors, `AioSqliteConnector`,
// `AioMysqlConnector` and `AioPostgresConnector`, return
// awaitables; every one of them is a C++ coroutine (coro.hpp) that Python
// drives like an `async def`.
//
// This file holds the connector types and how each one runs a statement on
// the connection it is given.  Which connection that is, and when it is
// committed, rolled back and closed (per thread, per task, per transaction
// block), is Lifecycles.cpp's.
//
// Statements arrive with "%s" placeholders; the SQLite connectors rewrite
// them to "?" before the driver sees them.
#include "Connector.hpp"

#include <quillon/override.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillon::connector {

State state;
Names names;

PyObject* aiosqliteModule() {
    if (!state.aiosqlite) state.aiosqlite = importModule("aiosqlite").release();
    return state.aiosqlite;
}

Ref moduleLogger() { return getattr(state.module, "_logger"); }

ExcInfo::ExcInfo(PyError& e) {
    e.restore();
    PyObject *t, *v, *b;
    PyErr_Fetch(&t, &v, &b);
    PyErr_NormalizeException(&t, &v, &b);
    if (b && v) PyException_SetTraceback(v, b);
    type = Ref::stealOrNull(t);
    value = Ref::stealOrNull(v);
    tb = Ref::stealOrNull(b);
}

void ExcInfo::rethrow() {
    PyErr_Restore(type.release(), value.release(), tb.release());
    throwPending();
}

namespace {

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
             in("typeArgs"),    in("targetType"),      in("rowcount"),         in("in_transaction"),
             in("query"),       in("done"),            in("set_result"),       in("set_exception"),
             in("create_future"), in("open"),          in("ping"),             in("get_transaction_status"),
             in("_beginTransaction"), in("_endTransaction"), in("closed")};
}

// The module's `generate_table`, read at call time like any module global.
Ref generateTable() {
    Ref fn = getattr(state.module, "generate_table");
    return call(fn.get());
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
    // psycopg: the names straight from the result (its `description` builds
    // an object per column on every read).
    struct FromResult {};
    RowShaper(PyObject* cursor, FromResult) {
        static const Constant pgresultName = interned("pgresult");
        static const Constant fname = interned("fname");
        Ref result = getattr(cursor, pgresultName.get());
        // The names are in the connection's encoding (its Python codec name).
        Ref connection = getattr(cursor, "connection");
        Ref info = getattr(connection.get(), "info");
        Ref encoding = getattr(info.get(), "encoding");
        if (!PyUnicode_Check(encoding.get())) raiseConvert(encoding.get(), "str");
        std::string codec(utf8(encoding.get()));
        Ref count = getattr(result.get(), "nfields");
        Py_ssize_t n = PyLong_AsSsize_t(count.get());
        if (n == -1 && PyErr_Occurred()) throwPending();
        keys_ = Ref::steal(PyTuple_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref index = integer(i);
            Ref raw = callMethod(result.get(), fname.get(), index.get());
            if (!PyBytes_Check(raw.get())) raiseConvert(raw.get(), "bytes");
            Ref key = Ref::steal(
                PyUnicode_Decode(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), codec.c_str(), nullptr));
            PyTuple_SET_ITEM(keys_.get(), i, key.release());
        }
    }

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
//
// The generator gives a statement of a shape it has seen as the very str
// object it gave before, so the rewritten text of the last statements is
// kept beside them: a small direct-mapped table keyed by identity, whose
// entries own both strs (so an identity always stands for the same text).
// It lives for the process; replaced entries release strs only, which runs
// no Python code.
struct QmarkSlot {
    Ref sql;
    Ref qmark;
};
constexpr size_t kQmarkSlots = 64;
QmarkSlot* qmarkSlots = nullptr;  // allocated on first use, never freed

Ref toQmark(PyObject* sql) {
    if (!PyUnicode_CheckExact(sql)) return callMethod(sql, names.replace, names.percentS, names.question);
    if (!qmarkSlots) qmarkSlots = new QmarkSlot[kQmarkSlots]();
    auto bits = reinterpret_cast<uintptr_t>(sql);
    QmarkSlot& slot = qmarkSlots[((bits >> 4) ^ (bits >> 11)) & (kQmarkSlots - 1)];
    if (slot.sql.get() == sql) return Ref::borrow(slot.qmark.get());
    Ref qmark = Ref::steal(PyUnicode_Replace(sql, names.percentS, names.question, -1));
    slot.sql = Ref::borrow(sql);
    slot.qmark = Ref::borrow(qmark.get());
    return qmark;
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

// Runs a prepared statement on a cursor (or an aiosqlite connection, whose
// execute gives the cursor): `execute` for one tuple of arguments,
// `executemany` for a sequence of them.  An awaitable driver returns the
// awaitable of the call.
Ref runStatement(PyObject* cursor, PyObject* text, PyObject* params) {
    return callMethod(cursor, PyTuple_Check(params) ? names.execute : names.executemany, text, params);
}

// A statement run over many argument tuples (executemany) is made atomic:
// the driver runs it once per tuple, so a failure in the middle (a
// constraint violation, say) would leave the tuples before it in the open
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
// Returns whether it began a transaction that the caller must commit
// (MySQL outside a block, where every statement otherwise commits itself).
bool runStatementAtomically(PyObject* con, PyObject* cursor, PyObject* text, PyObject* params, int dialect,
                            bool inBlock) {
    if (!isManyStatement(params)) {
        runStatement(cursor, text, params);
        return false;
    }
    const auto& steps = manySteps();
    // The server connectors run with autocommit on: a transaction is begun
    // unless the thread's block has one open.
    bool mysql = dialect != DIALECT_SQLITE;
    PyObject* run = dialect == DIALECT_MYSQL ? names.query : names.execute;
    bool began = mysql ? !inBlock : !truthy(getattr(con, names.in_transaction).get());
    if (began) callMethod(con, run, steps.begin);
    callMethod(con, run, steps.savepoint);
    try {
        runStatement(cursor, text, params);
    } catch (PyError&) {
        try {
            callMethod(con, run, steps.rollbackTo);
            callMethod(con, run, steps.release);
            if (mysql && began) callMethod(con, names.rollback);
        } catch (PyError& e) {
            // The statement's own error is the one the caller needs.
            if (!e.isException()) throw;
        }
        throw;
    }
    callMethod(con, run, steps.release);
    return mysql && began;
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

// The `__aexit__` call that ends an `async with` block the body left with
// the error kept in `failure`: given the error's type, value and traceback.
// The error stays kept (normalized) for the caller to raise.
Ref exitBlockFailed(PyObject* manager, LocalError& failure) {
    Ref type, value, tb;
    try {
        failure.rethrow();
    } catch (PyError& e) {
        // Taken apart and kept again below: nothing is swallowed.
        ExcInfo info(e);
        type = std::move(info.type);
        value = std::move(info.value);
        tb = std::move(info.tb);
    }
    PyErr_Restore(type.newRef(), value.newRef(), tb.newRef());
    failure = PyError();
    return callMethod(manager, names.aexit, type.get(), value ? value.get() : Py_None, tb ? tb.get() : Py_None);
}

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


// Closes a driver connection whose state is unknown; an Exception of the
// close is dropped (it is most likely closed already).
void closeQuietlyDriver(PyObject* con) {
    try {
        callMethod(con, names.close);
    } catch (PyError& e) {
        if (!e.isException()) throw;
    }
}


// ===========================================================================
// Row streams: the rows of one select read in batches from one cursor
//
// `connector._openRows(sql, args, con=None)` gives a RowStream; its
// `fetch(n)` returns the next at most n rows as dicts (an awaitable of them
// on the asyncio connectors), an empty list once the rows are done, and
// `close()` releases the cursor.  The statement starts on the first fetch,
// on the connection a statement of the caller would run on: in a
// transaction block the block's, otherwise the thread's (SQLite) or the
// task's own.  Blocking MySQL outside a block takes a pooled connection for
// the stream alone and gives it back at the end, so the caller's other
// statements run on other connections.
//
// MySQL reads the rows unbuffered (the server sends them as the cursor asks
// for them), and a connection reading such a result can run nothing else:
// a statement on it would silently drop the rows not read yet.  While a
// stream is open its connection is in `state.openStreams` (with the
// stream's cursor), and the MySQL connectors refuse a statement on such a
// connection; the end of the connection's transaction (its block's, its
// task's) closes the cursor first, and the stream then raises.  A block does
// not begin on such a connection either.  A stream whose
// caller runs statements between fetches (`interleaved`) on a connection it
// shares (a block's, a task's) reads the rows into the driver's buffer
// instead, which leaves the connection free.
// ===========================================================================

struct RowStreamObject {
    PyObject_HEAD
    PyObject* connector;
    PyObject* sql;     // in the driver's placeholder form
    PyObject* args;
    PyObject* given;   // a connection the caller gave (awaited MySQL), or None
    PyObject* con;     // the connection the cursor reads on; None before the first fetch
    PyObject* cursor;  // None before the first fetch and once closed
    int phase;
    int registered;    // MySQL: `con` is in state.openStreams
    int owned;         // MySQL: `con` was taken from the pool for the stream alone
    int interleaved;   // the caller runs statements of its own between fetches
};
enum StreamPhase { STREAM_NEW = 0, STREAM_OPEN = 1, STREAM_CLOSED = 2 };

const size_t rowStreamOffsets[] = {offsetof(RowStreamObject, connector), offsetof(RowStreamObject, sql),
                                   offsetof(RowStreamObject, args),      offsetof(RowStreamObject, given),
                                   offsetof(RowStreamObject, con),       offsetof(RowStreamObject, cursor)};
const FieldList rowStreamFields{rowStreamOffsets, 6};

RowStreamObject* asStream(PyObject* o) { return reinterpret_cast<RowStreamObject*>(o); }

PyObject* fetchmanyName() {
    static const Constant name = interned("fetchmany");
    return name.get();
}

void registerStream(PyObject* s) {
    check(PyDict_SetItem(state.openStreams, asStream(s)->con, asStream(s)->cursor));
    asStream(s)->registered = 1;
}
// `cursor`: the stream's cursor.  The end of the connection's transaction
// may have closed it and taken the entry out already (and another stream
// may hold the connection's entry since).
void unregisterStream(PyObject* s, PyObject* cursor) noexcept {
    auto* st = asStream(s);
    if (!st->registered) return;
    st->registered = 0;
    PyObject* held = PyDict_GetItemWithError(state.openStreams, st->con);
    if (held == cursor && PyDict_DelItem(state.openStreams, st->con) < 0) PyErr_Clear();
    if (!held) PyErr_Clear();
}

// The rows of one fetch as dicts; the stream closes itself when they are
// fewer than asked for (the cursor has nothing more).
Ref shapedBatch(PyObject* cursor, PyObject* rows) { return RowShaper(cursor).shapeAll(rows); }

Ref batchSize(PyObject* n) {
    Py_ssize_t size = PyLong_Check(n) ? PyLong_AsSsize_t(n) : -1;
    if (size == -1 && PyErr_Occurred()) throwPending();
    if (size < 1) raise(PyExc_ValueError, "fetch() needs a batch size of at least 1");
    return Ref::borrow(n);
}

// MySQL: the end of the transaction a stream read in (its block's, its
// task's) closed the stream's cursor and took it out of the registry: the
// rows not read yet are gone, which the stream says rather than ending short.
void requireCursorKept(PyObject* self) {
    auto* s = asStream(self);
    if (!s->registered) return;
    PyObject* held = PyDict_GetItemWithError(state.openStreams, s->con);
    if (!held) checkError();
    if (held != s->cursor)
        raise(state.transactionError,
              "the transaction this iterate() read in has ended (a block's or a task's end closed its cursor): "
              "close the iterator before its block ends");
}

// --- blocking ---------------------------------------------------------------

// Ends a blocking stream: the cursor closed (on MySQL the rows not read are
// read out, so the connection can run statements again) and a connection
// taken for the stream given back.
void closeBlockingStream(PyObject* self, bool quietly = false) {
    auto* s = asStream(self);
    if (s->phase != STREAM_OPEN) {
        s->phase = STREAM_CLOSED;
        return;
    }
    s->phase = STREAM_CLOSED;
    Ref cursor = Ref::borrow(s->cursor);
    Ref con = Ref::borrow(s->con);
    assignField(s->cursor, Py_None);
    if (PyObject_TypeCheck(s->connector, state.PyMysqlConnector)) {
        LocalError failure;
        try {
            if (cursor.get() != Py_None) callMethod(cursor.get(), names.close);
        } catch (PyError& e) {
            failure = std::move(e);
        }
        unregisterStream(self, cursor.get());
        bool owned = s->owned;
        s->owned = 0;
        if (failure) {
            if (owned) {
                closeQuietlyDriver(con.get());  // its state is unknown: the pool drops it
                try {
                    giveCallerConnection(s->connector, con.get());
                } catch (PyError& e) {
                    if (!e.isException()) throw;
                }
            }
            failure.rethrow();
        }
        if (owned) giveCallerConnection(s->connector, con.get());
        return;
    }
    if (cursor.get() == Py_None) return;
    try {
        callMethod(cursor.get(), names.close);
    } catch (PyError& e) {
        // A cursor of a connection closed since has nothing left to release.
        if (!e.isException() || !quietly) throw;
    }
}

Ref fetchBlocking(PyObject* self, PyObject* n) {
    auto* s = asStream(self);
    if (s->phase == STREAM_CLOSED) return Ref::steal(PyList_New(0));
    bool mysql = PyObject_TypeCheck(s->connector, state.PyMysqlConnector);
    Ref rows;
    try {
        if (mysql) {
            if (s->phase == STREAM_NEW) {
                static const Constant unbuffered = importFrom("pymysql.cursors", "SSCursor");
                bool owned = !callerInBlock(s->connector);
                bool buffered = s->interleaved && !owned;
                Ref con = takeCallerConnection(s->connector);
                assignField(s->con, con.get());
                s->owned = owned;
                s->phase = STREAM_OPEN;
                refuseOpenStream(con.get());
                assignField(s->cursor, buffered ? callMethod(con.get(), names.cursor)
                                                : callMethod(con.get(), names.cursor, unbuffered.get()));
                if (!buffered) registerStream(self);
                callMethod(s->cursor, names.execute, s->sql, s->args);
            }
            requireCursorKept(self);
            Ref cursor = Ref::borrow(s->cursor);
            rows = callMethod(cursor.get(), fetchmanyName(), n);
            rows = shapedBatch(cursor.get(), rows.get());
        } else {
            ThreadSession session(s->connector);
            if (s->phase == STREAM_NEW) {
                Ref cursor = callMethod(session.con(), names.cursor);
                assignField(s->con, session.con());
                assignField(s->cursor, cursor.get());
                s->phase = STREAM_OPEN;
                callMethod(cursor.get(), names.execute, s->sql, s->args);
            }
            Ref cursor = Ref::borrow(s->cursor);
            rows = callMethod(cursor.get(), fetchmanyName(), n);
            rows = shapedBatch(cursor.get(), rows.get());
        }
    } catch (PyError&) {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        try {
            closeBlockingStream(self);
        } catch (PyError& e) {
            if (!e.isException()) throw;
        }
        PyErr_Restore(t, v, tb);
        throw;
    }
    if (PyList_GET_SIZE(rows.get()) < PyLong_AsSsize_t(n)) closeBlockingStream(self);
    return rows;
}

// --- awaited ----------------------------------------------------------------

Coro closeAwaited(Ref self);

// The statement's turn in a transaction block is taken for each fetch only:
// between fetches the block (and the task) may run other statements.
Coro fetchAwaited(Ref self, Ref n) {
    auto* s = asStream(self.get());
    if (s->phase == STREAM_CLOSED) co_return Ref::steal(PyList_New(0));
    bool mysql = PyObject_TypeCheck(s->connector, state.AioMysqlConnector);
    StatementTurn turn;
    bool givenCon = mysql && truthy(s->given);
    if (!givenCon) {
        if (Ref waiting = turn.enter(s->connector)) {
            co_await awaitPy(std::move(waiting));
            turn.granted();
        }
    }
    Local rows;
    LocalError failure;
    try {
        if (s->phase == STREAM_NEW) {
            Local con;
            bool owned = false;
            if (givenCon) {
                con = Ref::borrow(s->given);
            } else if (turn.connection()) {
                con = Ref::borrow(turn.connection());
            } else if (mysql) {
                Ref taken = co_await awaitPy(toPython(streamConnection(Ref::borrow(s->connector)), "RowStream.fetch.<con>"));
                con = tupleItem(taken.get(), 0).ref();
                owned = tupleItem(taken.get(), 1).get() == Py_True;
            } else {
                con = co_await awaitPy(callMethod(s->connector, names.getCon));
            }
            if (owned && s->phase != STREAM_NEW) {
                Ref back = callMethod(asBase(s->connector)->_pool, names.release, con.get());
                raise(PyExc_RuntimeError, "the row stream was closed while it opened");
            }
            if (mysql && !owned) {
                if (Local abandoned = takeAbandonedCursor(con.get()))
                    co_await awaitPy(callMethod(abandoned.get(), names.close));
                refuseOpenStream(con.get());
            }
            if (owned) {
                assignField(s->con, con.get());
                s->owned = 1;
            }
            bool unbuffered = mysql && (owned || !s->interleaved);
            Local cursor;
            if (unbuffered) {
                static const Constant cursorType = importFrom("aiomysql", "SSCursor");
                cursor = co_await awaitPy(callMethod(con.get(), names.cursor, cursorType.get()));
            } else if (mysql) {
                cursor = co_await awaitPy(callMethod(con.get(), names.cursor, state.mysqlCursor));
            } else {
                // The cursor made and the statement run in one trip to the driver thread.
                cursor = co_await awaitPy(callMethod(con.get(), names.execute, s->sql, s->args));
            }
            if (s->phase != STREAM_NEW) raise(PyExc_RuntimeError, "the row stream was closed while it opened");
            assignField(s->con, con.get());
            assignField(s->cursor, cursor.get());
            s->phase = STREAM_OPEN;
            if (unbuffered) registerStream(self.get());
            if (mysql) co_await awaitPy(callMethod(cursor.get(), names.execute, s->sql, s->args));
        }
        requireCursorKept(self.get());
        Local cursor = Ref::borrow(s->cursor);
        if (cursor.get() == Py_None) {
            rows = Ref::steal(PyList_New(0));
        } else {
            Local fetched = co_await awaitPy(callMethod(cursor.get(), fetchmanyName(), n.get()));
            rows = shapedBatch(cursor.get(), fetched.get());
        }
    } catch (PyError& e) {
        failure = std::move(e);
    }
    bool done = failure || PyList_GET_SIZE(rows.get()) < PyLong_AsSsize_t(n.get());
    turn.leave();
    if (done) {
        try {
            co_await awaitPy(toPython(closeAwaited(Ref::borrow(self.get())), "RowStream.close"));
        } catch (PyError& e) {
            if (!failure) failure = std::move(e);
            else if (!e.isException()) throw;
        }
    }
    if (failure) failure.rethrow();
    co_return rows.take();
}

// Gives back a connection taken for the stream alone: its read transaction
// ended, or the connection closed when that fails (the pool then drops it).
void giveBackStreamConnection(PyObject* self, bool closeIt) {
    auto* s = asStream(self);
    if (!s->owned || !PyObject_TypeCheck(s->connector, state.AioMysqlConnector)) return;
    s->owned = 0;
    Ref con = Ref::borrow(s->con);
    if (closeIt) closeQuietlyDriver(con.get());
    callMethod(asBase(s->connector)->_pool, names.release, con.get());
}

Coro closeAwaited(Ref self) {
    auto* s = asStream(self.get());
    if (s->phase == STREAM_NEW) s->phase = STREAM_CLOSED;
    if (s->phase != STREAM_OPEN) {
        if (s->owned) giveBackStreamConnection(self.get(), true);
        co_return Ref::none();
    }
    Local cursor = Ref::borrow(s->cursor);
    s->phase = STREAM_CLOSED;
    assignField(s->cursor, Py_None);
    LocalError failure;
    try {
        co_await awaitPy(callMethod(cursor.get(), names.close));
        if (s->owned) co_await awaitPy(callMethod(s->con, names.rollback));
    } catch (PyError& e) {
        failure = std::move(e);
    }
    unregisterStream(self.get(), cursor.get());
    if (s->owned) {
        try {
            giveBackStreamConnection(self.get(), static_cast<bool>(failure));
        } catch (PyError& e) {
            if (!failure) failure = std::move(e);
            else if (!e.isException()) throw;
        }
    }
    if (failure) failure.rethrow();
    co_return Ref::none();
}

bool streamIsAwaited(PyObject* self) { return asBase(asStream(self)->connector)->isAsync != 0; }

Ref RowStream_fetch(PyObject* self, PyObject* n) {
    batchSize(n);
    if (streamIsAwaited(self)) return toPython(fetchAwaited(Ref::borrow(self), Ref::borrow(n)), "RowStream.fetch");
    return fetchBlocking(self, n);
}

Ref RowStream_close(PyObject* self) {
    if (streamIsAwaited(self)) return toPython(closeAwaited(Ref::borrow(self)), "RowStream.close");
    closeBlockingStream(self);
    return Ref::none();
}

// A stream dropped while open: a blocking one is closed now; an awaited one
// cannot wait here.  A pooled MySQL connection of its own is closed and
// given back; on a shared MySQL connection the cursor is kept aside and
// closed (its rows read out) before that connection's next statement, its
// transaction's end or its block's end; SQLite releases the cursor with its
// object.
void RowStream_finalize(PyObject* self) noexcept {
    auto* s = asStream(self);
    if (s->phase != STREAM_OPEN && !s->owned) return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    if (streamIsAwaited(self)) {
        s->phase = STREAM_CLOSED;
        if (s->registered && !s->owned && PyDict_SetItem(state.abandonedCursors, s->con, s->cursor) < 0)
            PyErr_WriteUnraisable(self);
        unregisterStream(self, s->cursor);
        assignField(s->cursor, Py_None);
        try {
            giveBackStreamConnection(self, true);
        } catch (PyError& e) {
            e.restore();
            PyErr_WriteUnraisable(self);
        }
    } else {
        try {
            closeBlockingStream(self, true);
        } catch (PyError& e) {
            e.restore();
            PyErr_WriteUnraisable(self);
        }
    }
    PyErr_Restore(t, v, tb);
}

void RowStream_dealloc(PyObject* self) noexcept {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    deallocObject<rowStreamFields>(self);
}

PyMethodDef rowStreamMethods[] = {
    Q_ONEARG("fetch", RowStream_fetch,
             "fetch(n) -> the next at most n rows as dicts (an awaitable of them on asyncio connectors); [] at the end"),
    Q_NOARGS("close", RowStream_close, "close() -> None (an awaitable on asyncio connectors); releases the cursor"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot rowStreamSlots[] = {
    {Py_tp_traverse, (void*)traverseObject<rowStreamFields>},
    {Py_tp_clear, (void*)clearObject<rowStreamFields>},
    {Py_tp_dealloc, (void*)RowStream_dealloc},
    {Py_tp_finalize, (void*)RowStream_finalize},
    {Py_tp_methods, rowStreamMethods},
    {Py_tp_doc, (void*)"The rows of one select, read in batches from one cursor."},
    {0, nullptr},
};
PyType_Spec rowStreamSpec = {"Quillon.DB.Connector.RowStream", sizeof(RowStreamObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                                 Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             rowStreamSlots};

// `_openRows(sql, args=(), con=None, interleaved=False)` of every connector:
// SQL text with %s placeholders, not started before the stream's first
// fetch.  `interleaved`: the caller runs statements of its own on the same
// connection between fetches (it loads relations per batch).
Ref Connector__openRows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature<4> sig{"_openRows", {"sql", "args", "con", "interleaved"}, 1};
    static const Constant empty = Ref::steal(PyTuple_New(0));
    auto a = bind(sig, args, nargs, kwnames);
    if (!PyUnicode_Check(a[0])) raiseConvert(a[0], "unicode");
    PyObject* params = a.get(1, empty.get());
    requireTupleOrNone("args", params);
    if (params == Py_None) params = empty.get();
    bool sqlite = PyObject_TypeCheck(self, state.Sqlite3Connector) || PyObject_TypeCheck(self, state.AioSqliteConnector);
    if (!sqlite && !PyObject_TypeCheck(self, state.PyMysqlConnector) &&
        !PyObject_TypeCheck(self, state.AioMysqlConnector) && !PyObject_TypeCheck(self, state.PostgresConnector) &&
        !PyObject_TypeCheck(self, state.AioPostgresConnector))
        raise(PyExc_TypeError, "%.200s cannot stream rows", Py_TYPE(self)->tp_name);
    Ref text = sqlite ? toQmark(a[0]) : Ref::borrow(a[0]);
    auto* s = PyObject_GC_New(RowStreamObject, state.RowStream);
    if (!s) throwPending();
    s->connector = Py_NewRef(self);
    s->sql = text.release();
    s->args = Py_NewRef(params);
    s->given = Py_NewRef(a.get(2, Py_None));
    s->con = Py_NewRef(Py_None);
    s->cursor = Py_NewRef(Py_None);
    s->phase = STREAM_NEW;
    s->registered = 0;
    s->owned = 0;
    s->interleaved = a[3] && truthy(a[3]);
    PyObject_GC_Track((PyObject*)s);
    return Ref::steal((PyObject*)s);
}

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

// The busy timeout a blocking connector waits by default, in seconds: long
// enough for threads that queue their writes behind each other's transaction
// blocks, finite so that a lock nobody releases shows up as an error.
constexpr double kBlockingTimeout = 30.0;
// The asyncio SQLite connector's default, the driver's own.
constexpr double kAwaitableTimeout = 5.0;
constexpr int kAioSqlitePoolSize = 10;  // idle connections an AioSqliteConnector keeps
// How long a MySQL statement waits for a connection of a full pool.
constexpr double kAcquireTimeout = 30.0;
// The blocking MySQL pool's size.
constexpr int kBlockingPoolSize = 10;

// A seconds setting: a finite number not below zero.
double secondsSetting(const char* name, PyObject* value, double fallback) {
    if (!value) return fallback;
    if (PyBool_Check(value) || !(PyFloat_Check(value) || PyLong_Check(value)))
        raise(PyExc_TypeError, "%s must be a number of seconds, not %.200s", name, typeName(value));
    double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) throwPending();
    if (!(seconds >= 0.0) || seconds > 1e9) raise(PyExc_ValueError, "%s must be between 0 and 1e9 seconds", name);
    return seconds;
}

// Takes the keyword `name` out of a constructor's surplus keywords: its
// value, or null when it was not given.
Ref takeKeyword(PyObject* extra, const char* name) {
    Ref key = interned(name);
    PyObject* given = PyDict_GetItemWithError(extra, key.get());
    if (!given) {
        checkError();
        return Ref();
    }
    Ref held = Ref::borrow(given);
    check(PyDict_DelItem(extra, key.get()));
    return held;
}

double takeSeconds(PyObject* extra, const char* name, double fallback) {
    Ref given = takeKeyword(extra, name);
    return secondsSetting(name, given.get(), fallback);
}

// lock_wait_timeout: whole seconds (at least 1), or None for the server's.
int takeLockWait(PyObject* extra) {
    Ref given = takeKeyword(extra, "lock_wait_timeout");
    if (!given || given.get() == Py_None) return -1;
    if (PyBool_Check(given.get()) || !PyLong_Check(given.get()))
        raise(PyExc_TypeError, "lock_wait_timeout must be whole seconds or None, not %.200s", typeName(given.get()));
    long seconds = PyLong_AsLong(given.get());
    if (seconds == -1 && PyErr_Occurred()) throwPending();
    if (seconds < 1 || seconds > 1073741824) raise(PyExc_ValueError, "lock_wait_timeout must be between 1 and 1073741824 seconds");
    return (int)seconds;
}

// The settings both MySQL connectors add to the user's: the connection
// character set utf8mb4 unless one is given, and the client flag that makes
// UPDATE report the rows it matched (as SQLite does), not only those whose
// values changed; a client_flag the user gives keeps its own bits.  A lock
// wait timeout is set on every new session.
Ref mysqlSettings(PyObject* given, int lockWait) {
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
    if (lockWait >= 0) {
        static const Constant initKey = interned("init_command");
        PyObject* init = PyDict_GetItemWithError(settings.get(), initKey.get());
        if (!init) checkError();
        if (init && init != Py_None)
            raise(PyExc_ValueError, "give lock_wait_timeout or init_command, not both (set the session's "
                                    "innodb_lock_wait_timeout in your init_command instead)");
        Ref command = Ref::steal(PyUnicode_FromFormat("SET SESSION innodb_lock_wait_timeout = %d", lockWait));
        check(PyDict_SetItem(settings.get(), initKey.get(), command.get()));
    }
    return settings;
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
Ref get_dialect(PyObject* self) {
    switch (asBase(self)->dialect) {
        case DIALECT_MYSQL: return str("mysql");
        case DIALECT_POSTGRES: return str("postgres");
        default: return str("sqlite");
    }
}
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
    Q_GETTER("dialect", get_dialect, "the SQL dialect statements are written in: 'sqlite', 'mysql' or 'postgres'"),
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
                                offsetof(Sqlite3ConnectorObject, path),  offsetof(Sqlite3ConnectorObject, threadState),
                                offsetof(Sqlite3ConnectorObject, spareCursor)};
const FieldList sqliteFields{sqliteOffsets, 7};

// autoFiledAnnounce and getTableNameList honour a Python subclass's own
// version when they are called through the native table.
OverrideSet<2> sqliteOverrides{{"autoFiledAnnounce", "getTableNameList"}};

Ref sqliteInitNative(PyObject* self, PyObject* path, bool showLog) {
    asSqlite(self)->showLog = showLog;
    dropSpareCursor(self);
    assignField(asSqlite(self)->con, openSqliteConnection(self, path));
    markMainConnectionTraced(self, false);
    return Ref::none();
}

Ref autoFiledAnnounceNative(PyObject*, PyObject*) { return str("INTEGER "); }

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
        c->timeout = takeSeconds(a.extra.get(), "timeout", kBlockingTimeout);
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
    // The lazy dict rows keep the cursor; every other form reads its rows here.
    Ref cursor = session.takeCursor();
    Ref text = toQmark(request.sql);
    callMethod(cursor.get(), names.execute, text.get(), request.params);
    bool wrote = !session.inBlock() && truthy(getattr(session.con(), names.in_transaction).get());
    if (request.dictCur) {
        if (!wrote) return newDictRowIterator(cursor.get());
        // The rows of a writing statement are read before its commit.
        Ref rows = callMethod(cursor.get(), names.fetchall);
        Ref shaped = RowShaper(cursor.get()).shapeAll(rows.get());
        session.keepCursor(std::move(cursor));
        callMethod(session.con(), names.commit);
        Ref list = Ref::steal(PySequence_List(shaped.get()));
        return Ref::steal(PyObject_GetIter(list.get()));
    }
    Ref rows = callMethod(cursor.get(), names.fetchall);
    session.keepCursor(std::move(cursor));
    if (wrote) callMethod(session.con(), names.commit);
    return Ref::steal(PySequence_Tuple(rows.get()));
}

// The statement of a blocking executor on the calling thread's connection
// (`process` takes a connection argument but runs on the thread's own).
Ref sqliteProcess(PyObject* self, PyObject* executor) {
    // A None executor has no statement to run: refused before the database is touched.
    requireType("executor", executor, state.executors->ModelExecutor, false);

    PyObject* builder = builderOf(executor);
    auto [text, params] = preparedStatement(builder, true);

    ThreadSession session(self);
    PyObject* con = session.con();
    // A run over many tuples leaves the cursor's lastrowid as it was: it gets
    // a cursor of its own, as a statement whose rows are left unread would.
    bool many = isManyStatement(params.get());
    Ref cursor = many ? callMethod(con, names.cursor) : session.takeCursor();
    runStatementAtomically(con, cursor.get(), text.get(), params.get(), DIALECT_SQLITE, session.inBlock());
    recordRowCount(executor, cursor.get());
    // Inside a transaction block the block's end commits.
    if (!session.inBlock()) callMethod(con, names.commit);
    Ref raw;
    bool readThrough = !many;
    switch (statementKind(builder)) {
    case SQL_SELECT: {
        Ref rows = callMethod(cursor.get(), names.fetchall);
        raw = RowShaper(cursor.get()).shapeAll(rows.get());
        break;
    }
    case SQL_INSERT:
        raw = getattr(cursor.get(), names.lastrowid);
        readThrough = readThrough && getattr(cursor.get(), names.description).get() == Py_None;  // no rows
        break;
    default:
        raw = callMethod(cursor.get(), names.fetchall);
    }
    if (readThrough) session.keepCursor(std::move(cursor));
    return handleResult(executor, raw.get());
}

Ref Sqlite3Connector_process(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature<2> sig{"process", {"executor", "con"}, 1};
    auto a = bind(sig, args, nargs, kwnames);
    return sqliteProcess(self, a[0]);
}

Ref Connector__beginTransaction(PyObject* self) {
    beginThreadBlock(self);
    return Ref::none();
}

Ref Connector__endTransaction(PyObject* self, PyObject* succeeded) {
    endThreadBlock(self, truthy(succeeded));
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
        dropSpareCursor(self);
        callMethod(c->con, names.close);
    }
    return Ref::none();
}

Ref Sqlite3Connector_getTableNameList(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("getTableNameList", nargs, kwnames);
    return sqliteTableNamesNative(self);
}

Ref Connector_autoFiledAnnounce(PyObject* self, PyObject* col) { return autoFiledAnnounceNative(self, col); }

Ref Connector_GenerateTable(PyObject*) {
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
    Q_NOARGS("GenerateTable", Connector_GenerateTable, "GenerateTable() -> None; creates the models' tables"),
    Q_NOARGS("_beginTransaction", Connector__beginTransaction,
             "_beginTransaction() -> None; opens a transaction block of the calling thread (a savepoint when nested)"),
    Q_ONEARG("_endTransaction", Connector__endTransaction,
             "_endTransaction(succeeded) -> None; commits or rolls back the calling thread's innermost block"),
    Q_NOARGS("close", Sqlite3Connector_close,
             "close() -> None; closes the connector's connections; statements after that fail"),
    Q_FAST("_openRows", Connector__openRows,
           "_openRows(sql, args=(), con=None) -> a RowStream of the select's rows, started on its first fetch"),
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
// AioSqliteConnector: awaitable, one connection per asyncio task
// ===========================================================================

const size_t aioSqliteOffsets[] = {offsetof(BaseConnectorObject, _pool),    offsetof(BaseConnectorObject, selectCon),
                                   offsetof(BaseConnectorObject, _config),  offsetof(AioSqliteConnectorObject, loop),
                                   offsetof(AioSqliteConnectorObject, idle), offsetof(AioSqliteConnectorObject, path),
                                   offsetof(AioSqliteConnectorObject, conMap)};
const FieldList aioSqliteFields{aioSqliteOffsets, 7};

PyObject* AioSqliteConnector_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* self = newConnector<aioSqliteFields>(type, args, kwargs);
    if (self) asAioSqlite(self)->timeout = kAwaitableTimeout;
    return self;
}

// pool_size: how many open connections wait for the next task (0: every
// task's connection is closed when the task ends).
int takePoolSize(PyObject* extra) {
    Ref given = takeKeyword(extra, "pool_size");
    if (!given || given.get() == Py_None) return kAioSqlitePoolSize;
    if (!PyLong_Check(given.get()) || PyBool_Check(given.get()))
        raise(PyExc_TypeError, "pool_size must be an int, not %.200s", typeName(given.get()));
    long size = PyLong_AsLong(given.get());
    if (size == -1 && PyErr_Occurred()) throwPending();
    if (size < 0 || size > 1000000) raise(PyExc_ValueError, "pool_size must be 0 or more, got %ld", size);
    return (int)size;
}

int AioSqliteConnector_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return boundary(-1, [&] {
        static const Signature<1> sig{"AioSqliteConnector", {"loop"}, 1, false, true};
        auto a = bind(sig, args, kwargs);
        assignField(asAioSqlite(self)->loop, a[0]);
        asBase(self)->isAsync = 1;
        asAioSqlite(self)->timeout = takeSeconds(a.extra.get(), "timeout", kAwaitableTimeout);
        assignField(asAioSqlite(self)->idle, newIdleConnections(takePoolSize(a.extra.get())));
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
    if (!PyDict_Check(asAioSqlite(self)->conMap)) return Ref::none();
    PyObject* held = PyDict_GetItemWithError(asAioSqlite(self)->conMap, task);
    if (!held) {
        checkError();
        return Ref::none();  // the task holds no connection (or ended it itself)
    }
    logTaskEnd(task);
    endFinishedTaskConnection(self, task, &aioSqliteConnections);
    return Ref::none();
}

// One trip to an aiosqlite connection's driver thread for a statement and
// its rows: the driver's own connection runs it on a cursor of its own and
// reads every row, and (cursor, rows) comes back.  aiosqlite's public calls
// take a trip for the statement and another for the rows; its queue of
// calls (`_execute`) takes any function.  Where the installed aiosqlite has
// no such queue, null: the caller takes the two trips.
// After a statement that failed in the driver: the gate follows what the
// connection holds; the statement's own error is the one the caller needs.
void settleWriteGateQuietly(PyObject* self, PyObject* con, PyObject* task) {
    try {
        settleWriteGate(self, con, task);
    } catch (PyError& e) {
        if (!e.isException()) throw;
    }
}

// Whether SQL text is a SELECT (its first word, after blanks).
bool startsWithSelect(PyObject* sql) {
    if (!PyUnicode_Check(sql)) return false;
    std::string_view text = utf8(sql);
    size_t i = text.find_first_not_of(" \t\r\n");
    if (i == std::string_view::npos || text.size() - i < 7) return false;
    for (size_t k = 0; k < 6; ++k)
        if ((text[i + k] | 0x20) != "select"[k]) return false;
    char next = text[i + 6];
    return next == ' ' || next == '\t' || next == '\r' || next == '\n' || next == '*' || next == '(';
}

// Bound to a shared reader's load (or to nothing), which it tells when the
// statement is done.
PyObject* runAndFetch(PyObject* load, PyObject* const* args, Py_ssize_t nargs) noexcept {
    PyObject* result = entry([&] {
        if (nargs != 3) raise(PyExc_TypeError, "run_and_fetch(connection, sql, args) takes 3 arguments");
        Ref cursor = callMethod(args[0], names.cursor);
        callMethod(cursor.get(), names.execute, args[1], args[2]);
        Ref rows = callMethod(cursor.get(), names.fetchall);
        return tupleOf({cursor.get(), rows.get()});
    });
    if (load) readerTripDone(load);
    return result;
}
PyMethodDef runAndFetchDef = {"run_and_fetch", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(runAndFetch)),
                              METH_FASTCALL, "run_and_fetch(connection, sql, args) -> (cursor, rows)"};

Ref oneTrip(PyObject* con, PyObject* text, PyObject* params, PyObject* load = nullptr) {
    static const Constant queue = interned("_execute");
    static const Constant driverConnection = interned("_conn");
    static int supported = -1;
    if (supported < 0) {
        Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(con)));
        supported = PyObject_HasAttr(type.get(), queue.get()) && PyObject_HasAttr(type.get(), driverConnection.get());
    }
    if (!supported) return Ref();
    Ref driver = Ref::stealOrNull(PyObject_GetAttr(con, driverConnection.get()));
    if (!driver) {
        // A connection not (or no longer) open: its own calls say so.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throwPending();
        PyErr_Clear();
        return Ref();
    }
    static const Constant unbound = Ref::steal(PyCFunction_NewEx(&runAndFetchDef, nullptr, nullptr));
    Ref function = load ? Ref::steal(PyCFunction_NewEx(&runAndFetchDef, load, nullptr)) : Ref::borrow(unbound.get());
    PyObject* argv[] = {con, function.get(), driver.get(), text, params};
    Ref trip = Ref::steal(PyObject_VectorcallMethod(queue.get(), argv, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (load) readerTripQueued(load);
    return trip;
}

// The connection a statement runs on outside a block's turn, as
// (connection, the shared reader's load or None, whether it is the task's
// own): the shared reader for a SELECT of a task that holds no connection
// (`reads`), otherwise the task's own; a task's first write waits for its
// turn among the connector's writers, before it takes a connection and
// again with it.  `own`: the statement has a task.
Coro statementConnection(Ref self, Ref task, Ref text, bool own, bool reads) {
    if (reads) {
        Ref load;
        if (Ref reader = sharedReader(self.get(), task.get(), &load))
            co_return tupleOf({reader.get(), load.get(), Py_False});
    }
    bool writes = own && writesText(text.get());
    if (writes)
        if (Ref gate = enterWriteGate(self.get(), nullptr, task.get())) co_await awaitPy(std::move(gate));
    Local con = co_await awaitPy(callMethod(self.get(), names.getCon));
    if (writes)
        if (Ref gate = enterWriteGate(self.get(), con.get(), task.get())) co_await awaitPy(std::move(gate));
    co_return tupleOf({con.get(), Py_None, own ? Py_True : Py_False});
}

void takeChosen(PyObject* chosen, Local& con, Local& readerLoad, bool& own) {
    con = Ref::borrow(PyTuple_GET_ITEM(chosen, 0));
    if (PyTuple_GET_ITEM(chosen, 1) != Py_None) readerLoad = Ref::borrow(PyTuple_GET_ITEM(chosen, 1));
    own = PyTuple_GET_ITEM(chosen, 2) == Py_True;
}

Coro aioSqliteExecute(Ref self, Ref sql, Ref params, bool dictCur) {
    if (!asBase(self.get())->isReady)
        co_await awaitPy(toPython(waitReady(Ref::borrow(self.get())), "AioSqliteConnector.execute.<ready>"));
    Local text = toQmark(sql.get());
    StatementTurn turn;
    if (Ref waiting = turn.enter(self.get())) {
        co_await awaitPy(std::move(waiting));
        turn.granted();
    }
    Local task = call(state.currentTask);
    bool own = !turn.connection() && task.get() != Py_None;
    Local con, readerLoad;
    if (turn.connection()) {
        con = Ref::borrow(turn.connection());
    } else {
        if (own && writesText(sql.get())) refuseWriteUnderOpenWrite(self.get(), task.get());
        Local chosen = co_await awaitPy(toPython(statementConnection(Ref::borrow(self.get()), Ref::borrow(task.get()),
                                                                     Ref::borrow(text.get()), own,
                                                                     own && startsWithSelect(sql.get())),
                                                 "AioSqliteConnector.execute.<connection>"));
        takeChosen(chosen.get(), con, readerLoad, own);
    }
    // One trip to the driver thread for the statement and its rows where the
    // driver allows; otherwise the connection's execute makes the cursor and
    // runs the statement in one trip, and the rows are read in a second.
    Local cursor, rows;
    try {
        if (Ref trip = oneTrip(con.get(), text.get(), params.get(), readerLoad ? readerLoad.get() : nullptr)) {
            Local done = co_await awaitPy(std::move(trip));
            cursor = Ref::borrow(PyTuple_GET_ITEM(done.get(), 0));
            rows = Ref::borrow(PyTuple_GET_ITEM(done.get(), 1));
            if (own) markOpenWrite(con.get(), task.get());
        } else {
            cursor = co_await awaitPy(callMethod(con.get(), names.execute, text.get(), params.get()));
            setattr(cursor.get(), names.useDict, dictCur ? Py_True : Py_False);
            if (own) markOpenWrite(con.get(), task.get());
            rows = co_await awaitPy(callMethod(cursor.get(), names.fetchall));
        }
    } catch (PyError& e) {
        if (own) markUnsettled(con.get());
        if (own && e.isException()) settleWriteGateQuietly(self.get(), con.get(), task.get());
        throw;
    }
    if (own) settleWriteGate(self.get(), con.get(), task.get());
    turn.leave();
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
    if (!asBase(self.get())->isReady)
        co_await awaitPy(toPython(waitReady(Ref::borrow(self.get())), "AioSqliteConnector.asyncProcess.<ready>"));
    requireAsyncExecutor(executor.get());
    Local builder = Ref::borrow(builderOf(executor.get()));
    Local statementText, statementArgs;
    {
        auto [text, params] = preparedStatement(builder.get(), true);
        statementText = std::move(text);
        statementArgs = std::move(params);
    }
    int kind = statementKind(builder.get());

    StatementTurn turn;
    if (Ref waiting = turn.enter(self.get())) {
        co_await awaitPy(std::move(waiting));
        turn.granted();
    }
    Local task = call(state.currentTask);
    bool own = !turn.connection() && task.get() != Py_None;
    Local con, readerLoad;
    if (turn.connection()) {
        con = Ref::borrow(turn.connection());
    } else {
        if (own && kind != SQL_SELECT) refuseWriteUnderOpenWrite(self.get(), task.get());
        // Told by the text: a write that reports rows is a SELECT to its executor.
        bool reads = own && !isManyStatement(statementArgs.get()) && startsWithSelect(statementText.get());
        Local chosen = co_await awaitPy(toPython(
            statementConnection(Ref::borrow(self.get()), Ref::borrow(task.get()), Ref::borrow(statementText.get()), own,
                                reads),
            "AioSqliteConnector.asyncProcess.<connection>"));
        takeChosen(chosen.get(), con, readerLoad, own);
    }
    Local cursor;
    Local raw;
    try {
        // A write whose result is its rows (INSERT ... RETURNING) runs and is read
        // in one step of the driver's worker (between two steps a cancellation
        // would leave it done and its statement still open), atomic like a run
        // over many tuples.
        bool reportingWrite = kind == SQL_NONE && !isManyStatement(statementArgs.get());
        if (!isManyStatement(statementArgs.get()) && !reportingWrite) {
            // An INSERT is read from its cursor (lastrowid): one trip.  Other
            // statements take one trip for the statement and its rows where
            // the driver allows, two otherwise (the cursor made and the
            // statement run, then the rows read).
            Ref trip = kind == SQL_INSERT ? Ref()
                                          : oneTrip(con.get(), statementText.get(), statementArgs.get(),
                                                    readerLoad ? readerLoad.get() : nullptr);
            Local rows;
            if (trip) {
                Local done = co_await awaitPy(std::move(trip));
                cursor = Ref::borrow(PyTuple_GET_ITEM(done.get(), 0));
                rows = Ref::borrow(PyTuple_GET_ITEM(done.get(), 1));
            } else {
                cursor = co_await awaitPy(runStatement(con.get(), statementText.get(), statementArgs.get()));
                if (kind != SQL_INSERT) rows = co_await awaitPy(callMethod(cursor.get(), names.fetchall));
            }
            recordRowCount(executor.get(), cursor.get());
            if (kind == SQL_INSERT)
                raw = getattr(cursor.get(), names.lastrowid);
            else
                raw = kind == SQL_SELECT ? RowShaper(cursor.get()).shapeAll(rows.get()) : rows.take();
        } else {
            // Atomic like the blocking run: a task that catches the error and
            // goes on must not commit half of the batch when it ends.  The
            // savepoint stays until the transaction ends (its commit or rollback
            // ends it too): a release would be one more await after the batch is
            // complete, where a cancellation would find the batch already merged
            // into the transaction.
            const auto& steps = manySteps();
            if (!truthy(getattr(con.get(), names.in_transaction).get()))
                co_await awaitPy(callMethod(con.get(), names.execute, steps.begin));
            co_await awaitPy(callMethod(con.get(), names.execute, steps.savepoint));
            LocalError failure;
            try {
                if (reportingWrite) {
                    static const Constant executeFetchall = interned("execute_fetchall");
                    Local rows = co_await awaitPy(
                        callMethod(con.get(), executeFetchall.get(), statementText.get(), statementArgs.get()));
                    raw = Ref::steal(PySequence_List(rows.get()));
                    reinterpret_cast<BaseModelExecutorObject*>(executor.get())->rowCount = PyList_GET_SIZE(raw.get());
                } else {
                    cursor = co_await awaitPy(runStatement(con.get(), statementText.get(), statementArgs.get()));
                    recordRowCount(executor.get(), cursor.get());
                    if (kind == SQL_INSERT)
                        raw = getattr(cursor.get(), names.lastrowid);
                    else
                        raw = co_await awaitPy(callMethod(cursor.get(), names.fetchall));
                }
            } catch (PyError& e) {
                failure = std::move(e);
            }
            if (failure) {
                try {
                    co_await awaitPy(callMethod(con.get(), names.execute, steps.rollbackTo));
                    co_await awaitPy(callMethod(con.get(), names.execute, steps.release));
                } catch (PyError& e) {
                    // The statement's own error is the one the caller needs.
                    if (!e.isException()) throw;
                }
                failure.rethrow();
            }
        }
    } catch (PyError& e) {
        if (own) markUnsettled(con.get());
        if (own && e.isException()) settleWriteGateQuietly(self.get(), con.get(), task.get());
        throw;
    }
    if (own) settleWriteGate(self.get(), con.get(), task.get());
    if (own) markOpenWrite(con.get(), task.get());
    turn.leave();
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
    StatementTurn turn;
    if (Ref waiting = turn.enter(self.get())) {
        co_await awaitPy(std::move(waiting));
        turn.granted();
    }
    Local con;
    if (turn.connection())
        con = Ref::borrow(turn.connection());
    else
        con = co_await awaitPy(callMethod(self.get(), names.getCon));
    Local cursor = co_await awaitPy(callMethod(con.get(), names.execute, query.get()));
    Local rows = co_await awaitPy(callMethod(cursor.get(), names.fetchall));
    turn.leave();
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
    co_await awaitPy(toPython(closeIdleConnectionsOf(Ref::borrow(self.get())), "AioSqliteConnector.close.<idle>"));
    co_return Ref::none();
}

Ref AioSqliteConnector_close(PyObject* self) {
    return toPython(aioSqliteClose(Ref::borrow(self)), "AioSqliteConnector.close");
}

Ref get_aio_loop(PyObject* self) { return Ref::borrow(asAioSqlite(self)->loop); }
Ref get_aio_path(PyObject* self) { return Ref::borrow(asAioSqlite(self)->path); }
Ref get_aio_timeout(PyObject* self) { return Ref::steal(PyFloat_FromDouble(asAioSqlite(self)->timeout)); }
Ref get_aio_pool_size(PyObject* self) { return integer(idleConnectionsSize(self)); }

PyMethodDef aioSqliteMethods[] = {
    Q_FAST("init_sqlite", AioSqliteConnector_init_sqlite,
           "init_sqlite(path, showLog=True) -> None; records the database path and marks the connector ready"),
    Q_NOARGS("getCon", AioSqliteConnector_getCon,
             "getCon() -> awaitable of the calling task's connection (its transaction block's inside one), opened "
             "on first use"),
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
    Q_FAST("_openRows", Connector__openRows,
           "_openRows(sql, args=(), con=None) -> a RowStream of the select's rows, started on its first fetch"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef aioSqliteGetSet[] = {
    Q_GETTER("paramsHolder", paramsHolderQmark, "the dialect's parameter placeholder"),
    Q_GETTER("loop", get_aio_loop, "the connector's event loop"),
    Q_GETTER("path", get_aio_path, "the database file path"),
    Q_GETTER("timeout", get_aio_timeout, "seconds a statement waits for another connection's lock"),
    Q_GETTER("pool_size", get_aio_pool_size, "how many open connections wait for the next task"),
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
    {Py_tp_doc, (void*)"AioSqliteConnector(loop, *, path, showLog=True, timeout=5.0, pool_size=10): awaitable SQLite, "
                       "one connection per asyncio task, kept open for the next task once committed."},
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

Coro aioMysqlInit(Ref self, Ref args, Ref kwargs) {
    Local pool;
    {
        Ref createPool = getattr(aiomysqlModule(), "create_pool");
        Ref settings = mysqlSettings(kwargs.get(), asAioMysql(self.get())->lockWaitTimeout);
        pool = callWith(createPool.get(), args.get(), settings.get());
    }
    pool = co_await awaitPy(pool.take());
    asBase(self.get())->isReady = 1;
    assignField(asBase(self.get())->_pool, pool.take());
    co_return Ref::none();
}

Ref AioMysqlConnector__init_mysql(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return toPython(aioMysqlInit(Ref::borrow(self), positionalTuple(args, nargs), keywordDict(args, nargs, kwnames)),
                    "AioMysqlConnector._init_mysql");
}

PyObject* AioMysqlConnector_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* self = newConnector<aioMysqlFields, DIALECT_MYSQL>(type, args, kwargs);
    if (self) {
        asAioMysql(self)->acquireTimeout = kAcquireTimeout;
        asAioMysql(self)->lockWaitTimeout = -1;
    }
    return self;
}

int AioMysqlConnector_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return boundary(-1, [&] {
        static const Signature<1> sig{"AioMysqlConnector", {"loop"}, 1, true, true};
        auto a = bind(sig, args, kwargs);
        asAioMysql(self)->acquireTimeout = takeSeconds(a.extra.get(), "acquire_timeout", kAcquireTimeout);
        asAioMysql(self)->lockWaitTimeout = takeLockWait(a.extra.get());
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
    if (Ref waiting = pendingPool(self.get())) co_await awaitPy(std::move(waiting));
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

// `async with con.cursor(cls) as cursor:` around a statement, in C++: the
// cursor's `__aexit__` runs with the statement's error, which is raised
// after it.
Coro aioMysqlExecute(Ref self, Ref sql, Ref givenCon, Ref params, bool dictCur) {
    StatementTurn turn;
    Local con;
    if (givenCon && truthy(givenCon.get())) {
        con = Ref::borrow(givenCon.get());
    } else {
        if (Ref waiting = turn.enter(self.get())) {
            co_await awaitPy(std::move(waiting));
            turn.granted();
        }
        if (turn.connection())
            con = Ref::borrow(turn.connection());
        else
            con = co_await awaitPy(callMethod(self.get(), names.getCon));
    }
    if (Local abandoned = takeAbandonedCursor(con.get())) co_await awaitPy(callMethod(abandoned.get(), names.close));
    refuseOpenStream(con.get());
    Local manager = callMethod(con.get(), names.cursor, dictCur ? state.mysqlDictCursor : state.mysqlCursor);
    Local cursor = co_await awaitPy(callMethod(manager.get(), names.aenter));
    LocalError failure;
    Local rows;
    try {
        co_await awaitPy(callMethod(cursor.get(), names.execute, sql.get(), params.get()));
        rows = co_await awaitPy(callMethod(cursor.get(), names.fetchall));
    } catch (PyError& e) {
        failure = std::move(e);
    }
    if (failure) {
        Local suppress = co_await awaitPy(exitBlockFailed(manager.get(), failure));
        if (!truthy(suppress.get()) || !failure->isException()) failure.rethrow();
        co_return Ref::none();
    }
    co_await awaitPy(callMethod(manager.get(), names.aexit, Py_None, Py_None, Py_None));
    turn.leave();
    co_return rows.take();
}

Ref AioMysqlConnector_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ExecuteCall request = bindExecute(args, nargs, kwnames, false);
    return toPython(aioMysqlExecute(Ref::borrow(self), Ref::borrow(request.sql), Ref::borrow(request.con),
                                    Ref::borrow(request.params), request.dictCur),
                    "AioMysqlConnector.execute");
}

Coro aioMysqlProcess(Ref self, Ref executor, Ref givenCon, bool hasCon) {
    requireAsyncExecutor(executor.get());
    Local builder = Ref::borrow(builderOf(executor.get()));
    StatementTurn turn;
    Local con;
    if (hasCon) {
        con = Ref::borrow(givenCon.get());
    } else {
        if (Ref waiting = turn.enter(self.get())) {
            co_await awaitPy(std::move(waiting));
            turn.granted();
        }
        if (turn.connection())
            con = Ref::borrow(turn.connection());
        else
            con = co_await awaitPy(callMethod(self.get(), names.getCon));
    }
    if (Local abandoned = takeAbandonedCursor(con.get())) co_await awaitPy(callMethod(abandoned.get(), names.close));
    refuseOpenStream(con.get());
    int kindAtOpen = statementKind(builder.get());
    Local manager =
        callMethod(con.get(), names.cursor, kindAtOpen == SQL_SELECT ? state.mysqlDictCursor : state.mysqlCursor);
    Local cursor = co_await awaitPy(callMethod(manager.get(), names.aenter));
    LocalError failure;
    Local raw;
    try {
        Local statementText, statementArgs;
        {
            auto [text, params] = preparedStatement(builder.get(), false);
            statementText = std::move(text);
            statementArgs = std::move(params);
        }
        co_await awaitPy(runStatement(cursor.get(), statementText.get(), statementArgs.get()));
        recordRowCount(executor.get(), cursor.get());
        if (statementKind(builder.get()) == SQL_INSERT)
            raw = getattr(cursor.get(), names.lastrowid);
        else
            raw = co_await awaitPy(callMethod(cursor.get(), names.fetchall));
    } catch (PyError& e) {
        failure = std::move(e);
    }
    if (failure) {
        Local suppress = co_await awaitPy(exitBlockFailed(manager.get(), failure));
        if (!truthy(suppress.get()) || !failure->isException()) failure.rethrow();
        raw = Ref::none();
    } else {
        co_await awaitPy(callMethod(manager.get(), names.aexit, Py_None, Py_None, Py_None));
    }
    turn.leave();
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
    Local running;
    {
        Ref config = Ref::borrow(asBase(self.get())->_config);
        Ref db = Ref::none();
        if (config && PyDict_Check(config.get())) {
            static const Constant dbKey = interned("db");
            PyObject* found = PyDict_GetItemWithError(config.get(), dbKey.get());
            if (!found) checkError();
            if (found) db = Ref::borrow(found);
        }
        Ref dbText = Ref::steal(PyObject_Format(db.get(), nullptr));
        Ref args = tupleOf({dbText.get()});
        running = callMethod(self.get(), names.execute, query.get(), Py_None, Py_False, args.get());
    }
    Local rows = co_await awaitPy(running.take());
    co_return firstColumns(rows.get());
}

Ref AioMysqlConnector_getTableNameList(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("getTableNameList", nargs, kwnames);
    return toPython(aioMysqlTableNames(Ref::borrow(self)), "AioMysqlConnector.getTableNameList");
}

// targetType + "(args)" + " AUTO_INCREMENT", with a one-element tuple's
// trailing comma dropped.
Ref MysqlConnector_autoFiledAnnounce(PyObject*, PyObject* col) {
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
            co_await awaitPy(call(state.shield, creating));  // the pointer is not used after the call
        } catch (PyError& e) {
            if (!e.isException()) throw;
            noPool = true;
        }
    }
    if (noPool) co_return Ref::none();
    co_await awaitPy(toPython(endCallerConnection(Ref::borrow(self.get()), &connectionsOf(self.get())),
                              "AioMysqlConnector.close.<own>"));
    co_await awaitPy(toPython(waitStartedEnds(), "AioMysqlConnector.close.<ends>"));
    Local pool = Ref::borrow(asBase(self.get())->_pool);
    callMethod(pool.get(), names.close);
    bool allBack;
    {
        Ref size = getattr(pool.get(), "size");
        Ref free = getattr(pool.get(), "freesize");
        allBack = check(PyObject_RichCompareBool(size.get(), free.get(), Py_EQ)) == 1;
    }
    if (allBack) co_await awaitPy(callMethod(pool.get(), "wait_closed"));
    co_return Ref::none();
}

Ref AioMysqlConnector_close(PyObject* self) {
    return toPython(aioMysqlClose(Ref::borrow(self)), "AioMysqlConnector.close");
}

Ref get_mysql_config(PyObject* self) { return Ref::borrow(asBase(self)->_config); }
Ref get_mysql_loop(PyObject* self) { return Ref::borrow(asAioMysql(self)->loop); }
Ref get_aio_mysql_acquire(PyObject* self) { return Ref::steal(PyFloat_FromDouble(asAioMysql(self)->acquireTimeout)); }
Ref lockWaitValue(int seconds) { return seconds < 0 ? Ref::none() : integer(seconds); }
Ref get_aio_mysql_lock_wait(PyObject* self) { return lockWaitValue(asAioMysql(self)->lockWaitTimeout); }

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
    Q_ONEARG("autoFiledAnnounce", MysqlConnector_autoFiledAnnounce,
             "autoFiledAnnounce(col) -> the column type of an auto-increment key"),
    Q_NOARGS("GenerateTable", AioMysqlConnector_GenerateTable,
             "GenerateTable() -> None; creates the tables on the stopped loop (inside a running loop: await "
             "generate_table())"),
    Q_NOARGS("close", AioMysqlConnector_close,
             "close() -> awaitable; refuses new connections, ends the calling task's own (committed) and closes "
             "the pool (a connection still out is closed when its task gives it back)"),
    Q_FAST("_openRows", Connector__openRows,
           "_openRows(sql, args=(), con=None) -> a RowStream of the select's rows, started on its first fetch"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef aioMysqlGetSet[] = {
    Q_GETTER("config", get_mysql_config, "the pool settings given to the constructor"),
    Q_GETTER("loop", get_mysql_loop, "the connector's event loop"),
    Q_GETTER("acquire_timeout", get_aio_mysql_acquire,
             "seconds a task waits for a connection of the full pool before PoolTimeoutError"),
    Q_GETTER("lock_wait_timeout", get_aio_mysql_lock_wait,
             "innodb_lock_wait_timeout of the connector's sessions in seconds (None: the server's)"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot aioMysqlSlots[] = {
    {Py_tp_new, (void*)AioMysqlConnector_new},
    {Py_tp_init, (void*)AioMysqlConnector_init},
    {Py_tp_traverse, (void*)traverseObject<aioMysqlFields>},
    {Py_tp_clear, (void*)clearObject<aioMysqlFields>},
    {Py_tp_dealloc, (void*)deallocObject<aioMysqlFields>},
    {Py_tp_methods, aioMysqlMethods},
    {Py_tp_getset, aioMysqlGetSet},
    {Py_tp_doc, (void*)"AioMysqlConnector(loop, *, acquire_timeout=30.0, lock_wait_timeout=None, **pool_settings): "
                       "awaitable MySQL, one pooled connection per task."},
    {0, nullptr},
};
PyType_Spec aioMysqlSpec = {"Quillon.DB.Connector.AioMysqlConnector", sizeof(AioMysqlConnectorObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                            aioMysqlSlots};

// ===========================================================================
// PyMysqlConnector: blocking MySQL over a pool of connections
// ===========================================================================

const size_t pyMysqlOffsets[] = {offsetof(BaseConnectorObject, _pool),        offsetof(BaseConnectorObject, selectCon),
                                 offsetof(BaseConnectorObject, _config),      offsetof(PyMysqlConnectorObject, idle),
                                 offsetof(PyMysqlConnectorObject, threadState),
                                 offsetof(PyMysqlConnectorObject, driverSettings)};
const FieldList pyMysqlFields{pyMysqlOffsets, 6};

PyObject* op_noop(PyObject*) noexcept { Py_RETURN_NONE; }
const PyMysqlConnectorOps pyMysqlOps = {op_noop};

PyObject* PyMysqlConnector_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* self = newConnector<pyMysqlFields, DIALECT_MYSQL>(type, args, kwargs);
    if (self) {
        auto* c = asPyMysql(self);
        c->ops = &pyMysqlOps;
        c->acquireTimeout = kAcquireTimeout;
        c->maxsize = kBlockingPoolSize;
        c->lockWaitTimeout = -1;
    }
    return self;
}

// A whole-number setting taken out of the constructor's keywords.
int takeCount(PyObject* extra, const char* name, int fallback, int least, const char* leastMeans = "") {
    Ref given = takeKeyword(extra, name);
    if (!given) return fallback;
    if (PyBool_Check(given.get()) || !PyLong_Check(given.get()))
        raise(PyExc_TypeError, "%s must be a whole number, not %.200s", name, typeName(given.get()));
    long n = PyLong_AsLong(given.get());
    if (n == -1 && PyErr_Occurred()) throwPending();
    if (n < least || n > 100000) raise(PyExc_ValueError, "%s must be between %d%s and 100000", name, least, leastMeans);
    return (int)n;
}

// The end of a blocking pooled connector's init: the driver's connection
// settings, an empty pool and the per-thread state; ready at once (nothing
// connects before the first statement).
void startPooledBlocking(PyObject* self, Ref settings) {
    auto* c = asPyMysql(self);
    assignField(c->driverSettings, std::move(settings));
    assignField(c->idle, Ref::steal(PyList_New(0)));
    assignField(c->threadState, call(state.threadLocal));
    asBase(self)->isAsync = 0;
    asBase(self)->Type = 0;
    asBase(self)->isReady = 1;
}

// PyMysqlConnector(**settings): the keywords of pymysql.connect, and the
// connector's own maxsize, acquire_timeout and lock_wait_timeout.  Nothing
// connects before the first statement.  Connections always run with
// autocommit on: outside a block every statement commits on its own, and a
// block is an explicit transaction.
int PyMysqlConnector_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return boundary(-1, [&] {
        static const Signature<0> sig{"PyMysqlConnector", {}, 0, false, true};
        auto a = bind(sig, args, kwargs);
        auto* c = asPyMysql(self);
        c->acquireTimeout = takeSeconds(a.extra.get(), "acquire_timeout", kAcquireTimeout);
        c->lockWaitTimeout = takeLockWait(a.extra.get());
        c->maxsize = takeCount(a.extra.get(), "maxsize", c->maxsize, 0, " (no limit)");
        static const Constant autocommit = interned("autocommit");
        if (PyDict_DelItem(a.extra.get(), autocommit.get()) < 0) PyErr_Clear();
        assignField(asBase(self)->_config, a.extra.get());
        Ref settings = mysqlSettings(a.extra.get(), c->lockWaitTimeout);
        check(PyDict_SetItem(settings.get(), autocommit.get(), Py_True));
        startPooledBlocking(self, std::move(settings));
        return 0;
    });
}

void PyMysqlConnector_dealloc(PyObject* self) noexcept {
    // Resting connections close with their objects.
    deallocObject<pyMysqlFields>(self);
}

Ref blockingDictCursor() {
    if (!state.blockingDictCursor) state.blockingDictCursor = importFrom("pymysql.cursors", "DictCursor").release();
    return Ref::borrow(state.blockingDictCursor);
}

// The rows of a statement run on `con`: tuples, or dicts with `dictCur`.
Ref runMysqlText(PyObject* con, PyObject* sql, PyObject* params, bool dictCur) {
    Ref cursor = dictCur ? callMethod(con, names.cursor, blockingDictCursor().get()) : callMethod(con, names.cursor);
    callMethod(cursor.get(), names.execute, sql, params);
    Ref rows = callMethod(cursor.get(), names.fetchall);
    callMethod(cursor.get(), names.close);
    if (dictCur) return Ref::steal(PySequence_List(rows.get()));
    return Ref::steal(PySequence_Tuple(rows.get()));
}

// SQL text on the calling thread's block connection, or a pooled one; a
// given connection is used as it is (its owner commits it).
Ref PyMysqlConnector_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ExecuteCall request = bindExecute(args, nargs, kwnames, false);
    if (request.con != Py_None && truthy(request.con)) {
        refuseOpenStream(request.con);
        return runMysqlText(request.con, request.sql, request.params, request.dictCur);
    }
    ThreadSession session(self);
    refuseOpenStream(session.con());
    try {
        return runMysqlText(session.con(), request.sql, request.params, request.dictCur);
    } catch (PyError& e) {
        if (!e.isException()) session.discard();
        throw;
    }
}

// The statement of a blocking executor on `given` (None: the calling
// thread's block connection, or one of the pool).
Ref pyMysqlProcess(PyObject* self, PyObject* executor, PyObject* given) {
    requireType("executor", executor, state.executors->ModelExecutor, false);
    PyObject* builder = builderOf(executor);
    auto [text, params] = preparedStatement(builder, false);

    std::optional<ThreadSession> session;
    Ref con;
    if (given != Py_None && truthy(given)) {
        con = Ref::borrow(given);
    } else {
        session.emplace(self);
        con = Ref::borrow(session->con());
    }
    refuseOpenStream(con.get());
    try {
        int kind = statementKind(builder);
        Ref cursor =
            kind == SQL_SELECT ? callMethod(con.get(), names.cursor, blockingDictCursor().get()) : callMethod(con.get(), names.cursor);
        bool began = runStatementAtomically(con.get(), cursor.get(), text.get(), params.get(), DIALECT_MYSQL,
                                            !session || session->inBlock());
        if (began) callMethod(con.get(), names.commit);
        recordRowCount(executor, cursor.get());
        Ref raw;
        if (kind == SQL_SELECT)
            raw = Ref::steal(PySequence_List(callMethod(cursor.get(), names.fetchall).get()));
        else if (kind == SQL_INSERT)
            raw = getattr(cursor.get(), names.lastrowid);
        else
            raw = callMethod(cursor.get(), names.fetchall);
        callMethod(cursor.get(), names.close);
        return handleResult(executor, raw.get());
    } catch (PyError& e) {
        if (session && !e.isException()) session->discard();
        throw;
    }
}

Ref PyMysqlConnector_process(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature<2> sig{"process", {"executor", "con"}, 1};
    auto a = bind(sig, args, nargs, kwnames);
    return pyMysqlProcess(self, a[0], a.get(1, Py_None));
}

Ref PyMysqlConnector_getCon(PyObject* self) { return takeCallerConnection(self); }

Ref PyMysqlConnector_releaseCon(PyObject* self, PyObject* con) {
    giveCallerConnection(self, con);
    return Ref::none();
}

Ref PyMysqlConnector_getTableNameList(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("getTableNameList", nargs, kwnames);
    static const Constant query =
        str("SELECT TABLE_NAME FROM information_schema.`TABLES` WHERE TABLE_SCHEMA = DATABASE();");
    static const Constant noArgs = Ref::steal(PyTuple_New(0));
    ThreadSession session(self);
    Ref rows = runMysqlText(session.con(), query.get(), noArgs.get(), false);
    return firstColumns(rows.get());
}

// close(): the pool's resting connections close now, those out when they
// come back; statements after that fail.  Refused inside the calling
// thread's transaction block.
Ref PyMysqlConnector_close(PyObject* self) {
    auto* c = asPyMysql(self);
    if (c->closed) return Ref::none();
    Ref threadDict = getattr(c->threadState, "__dict__");
    static const Constant depthKey = interned("depth");
    PyObject* depth = PyDict_GetItemWithError(threadDict.get(), depthKey.get());
    if (!depth) checkError();
    if (depth && truthy(depth))
        raise(state.transactionError, "close() inside a transaction block: end the block first");
    closeMysqlPool(self);
    return Ref::none();
}

Ref get_py_mysql_acquire(PyObject* self) { return Ref::steal(PyFloat_FromDouble(asPyMysql(self)->acquireTimeout)); }
Ref get_py_mysql_lock_wait(PyObject* self) { return lockWaitValue(asPyMysql(self)->lockWaitTimeout); }
Ref get_py_mysql_maxsize(PyObject* self) { return integer(asPyMysql(self)->maxsize); }
Ref get_py_mysql_freesize(PyObject* self) { return integer(PyList_GET_SIZE(asPyMysql(self)->idle)); }
Ref get_py_mysql_size(PyObject* self) {
    return integer(asPyMysql(self)->inUse + PyList_GET_SIZE(asPyMysql(self)->idle));
}

PyMethodDef pyMysqlMethods[] = {
    Q_NOARGS("getCon", PyMysqlConnector_getCon,
             "getCon() -> the calling thread's block connection inside a block, otherwise a connection of the pool "
             "(give it back with releaseCon)"),
    Q_ONEARG("releaseCon", PyMysqlConnector_releaseCon,
             "releaseCon(con) -> None; commits a connection getCon() gave and puts it back in the pool"),
    Q_FAST("execute", PyMysqlConnector_execute,
           "execute(sql, con=None, dictCur=False, args=()) -> rows as tuples, or a list of dicts;\n"
           "committed unless a transaction block of the calling thread is open"),
    Q_FAST("process", PyMysqlConnector_process,
           "process(executor, con=None) -> the executor's result of its prepared statement (committed)"),
    Q_FAST("getTableNameList", PyMysqlConnector_getTableNameList,
           "getTableNameList() -> the table names of the connection's database"),
    Q_ONEARG("autoFiledAnnounce", MysqlConnector_autoFiledAnnounce,
             "autoFiledAnnounce(col) -> the column type of an auto-increment key"),
    Q_NOARGS("GenerateTable", Connector_GenerateTable, "GenerateTable() -> None; creates the models' tables"),
    Q_NOARGS("_beginTransaction", Connector__beginTransaction,
             "_beginTransaction() -> None; opens a transaction block of the calling thread (a savepoint when nested)"),
    Q_ONEARG("_endTransaction", Connector__endTransaction,
             "_endTransaction(succeeded) -> None; commits or rolls back the calling thread's innermost block"),
    Q_NOARGS("close", PyMysqlConnector_close,
             "close() -> None; closes the pool's connections; statements after that fail"),
    Q_FAST("_openRows", Connector__openRows,
           "_openRows(sql, args=(), con=None) -> a RowStream of the select's rows, started on its first fetch"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef pyMysqlGetSet[] = {
    Q_GETTER("config", get_mysql_config, "the connection settings given to the constructor"),
    Q_GETTER("maxsize", get_py_mysql_maxsize, "connections out at once (0: no limit)"),
    Q_GETTER("size", get_py_mysql_size, "connections open: given out and resting in the pool"),
    Q_GETTER("freesize", get_py_mysql_freesize, "connections resting in the pool"),
    Q_GETTER("acquire_timeout", get_py_mysql_acquire,
             "seconds a statement waits for a connection of the full pool before PoolTimeoutError"),
    Q_GETTER("lock_wait_timeout", get_py_mysql_lock_wait,
             "innodb_lock_wait_timeout of the connector's sessions in seconds (None: the server's)"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot pyMysqlSlots[] = {
    {Py_tp_new, (void*)PyMysqlConnector_new},
    {Py_tp_init, (void*)PyMysqlConnector_init},
    {Py_tp_traverse, (void*)traverseObject<pyMysqlFields>},
    {Py_tp_clear, (void*)clearObject<pyMysqlFields>},
    {Py_tp_dealloc, (void*)PyMysqlConnector_dealloc},
    {Py_tp_methods, pyMysqlMethods},
    {Py_tp_getset, pyMysqlGetSet},
    {Py_tp_doc, (void*)"PyMysqlConnector(*, maxsize=10, acquire_timeout=30.0, lock_wait_timeout=None, "
                       "**connect_settings): blocking MySQL over a pool of connections."},
    {0, nullptr},
};
PyType_Spec pyMysqlSpec = {"Quillon.DB.Connector.PyMysqlConnector", sizeof(PyMysqlConnectorObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                           pyMysqlSlots};

// ===========================================================================
// PostgreSQL: PostgresConnector (blocking) and AioPostgresConnector (awaited)
// ===========================================================================
//
// Both run on psycopg 3 and share the MySQL connectors' layouts and
// lifecycles: the blocking one the per-thread pool (its connections in
// autocommit, a block an explicit transaction), the awaited one a connection
// per task from an asyncio pool (psycopg_pool, seen through
// Quillon.DB.postgres_pool), one transaction per task.  Rows come back as
// tuples and are shaped into dicts here.  Keys of inserts come back through
// RETURNING: PostgreSQL has no last row id.

// The schema whose tables getTableNameList() lists, unless the settings name one.
constexpr const char* kDefaultSchema = "public";
constexpr int kPostgresPoolSize = 10;

// psycopg parses placeholders only when it is given arguments: text run
// without any is sent as it is (a literal % stays one).
Ref runPostgresStatement(PyObject* cursor, PyObject* text, PyObject* params) {
    if (PyTuple_Check(params) && PyTuple_GET_SIZE(params) == 0) return callMethod(cursor, names.execute, text);
    return runStatement(cursor, text, params);
}

// Whether the cursor's statement gave a result to fetch (psycopg's fetchall
// raises after one that did not).  Its `rownumber` says so without building
// the description.
bool pgHasResult(PyObject* cursor) {
    static const Constant rownumber = interned("rownumber");
    return getattr(cursor, rownumber.get()).get() != Py_None;
}

// The rows a cursor holds after its statement (none for a statement without
// a result).
Ref pgFetchedRows(PyObject* cursor) {
    if (!pgHasResult(cursor)) return Ref::steal(PyList_New(0));
    return callMethod(cursor, names.fetchall);
}

// The schema setting of a PostgreSQL connector's `config`, as text.
Ref pgSchema(PyObject* self) {
    PyObject* config = asBase(self)->_config;
    if (config && PyDict_Check(config)) {
        PyObject* found = PyDict_GetItemString(config, "schema");
        // Held: str() of it may run code that changes the settings.
        if (found && found != Py_None) return Ref::steal(PyObject_Str(Ref::borrow(found).get()));
    }
    return str(kDefaultSchema);
}

// The catalog query of the connector's tables, the schema bound as its argument.
std::pair<Ref, Ref> pgTableQuery(PyObject* self) {
    static const Constant query = str(
        "SELECT table_name FROM information_schema.tables WHERE table_schema = %s AND table_type = 'BASE TABLE' "
        "ORDER BY table_name;");
    Ref schema = pgSchema(self);
    return {Ref::borrow(query.get()), tupleOf({schema.get()})};
}

// An auto-increment key: an identity column of the key's integer type.
Ref PostgresConnector_autoFiledAnnounce(PyObject*, PyObject* col) {
    Ref targetType = getattr(col, names.targetType);
    Ref text = Ref::steal(PyObject_Str(targetType.get()));
    std::string type(utf8(text.get()));
    for (char& c : type)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    const char* integerType = type == "bigint" ? "bigint" : type == "smallint" ? "smallint" : "integer";
    return Ref::steal(PyUnicode_FromFormat("%s GENERATED BY DEFAULT AS IDENTITY", integerType));
}

// ---------------------------------------------------------------------------
// PostgresConnector
// ---------------------------------------------------------------------------

PyObject* PostgresConnector_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* self = newConnector<pyMysqlFields, DIALECT_POSTGRES>(type, args, kwargs);
    if (self) {
        auto* c = asPyMysql(self);
        c->ops = &pyMysqlOps;
        c->acquireTimeout = kAcquireTimeout;
        c->maxsize = kPostgresPoolSize;
        c->lockWaitTimeout = -1;
    }
    return self;
}

// PostgresConnector(**settings): psycopg's connection keywords (or
// `conninfo`), and the connector's own maxsize, acquire_timeout and schema.
// Nothing connects before the first statement.
int PostgresConnector_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return boundary(-1, [&] {
        static const Signature<0> sig{"PostgresConnector", {}, 0, false, true};
        auto a = bind(sig, args, kwargs);
        auto* c = asPyMysql(self);
        c->acquireTimeout = takeSeconds(a.extra.get(), "acquire_timeout", kAcquireTimeout);
        c->maxsize = takeCount(a.extra.get(), "maxsize", kPostgresPoolSize, 0);
        static const Constant autocommit = interned("autocommit");
        if (PyDict_DelItem(a.extra.get(), autocommit.get()) < 0) PyErr_Clear();
        assignField(asBase(self)->_config, a.extra.get());
        Ref settings = Ref::steal(PyDict_Copy(a.extra.get()));
        if (PyDict_DelItemString(settings.get(), "schema") < 0) PyErr_Clear();
        check(PyDict_SetItem(settings.get(), autocommit.get(), Py_True));
        Ref context = call(importFrom("Quillon.DB.postgres_pool", "text_json_context").get());
        check(PyDict_SetDefault(settings.get(), interned("context").get(), context.get()) ? 0 : -1);
        startPooledBlocking(self, std::move(settings));
        return 0;
    });
}

// The rows of a statement run on a psycopg connection: a tuple of tuples,
// or a list of dicts with `dictCur`.
Ref runPostgresText(PyObject* con, PyObject* sql, PyObject* params, bool dictCur) {
    Ref cursor = callMethod(con, names.cursor);
    runPostgresStatement(cursor.get(), sql, params);
    Ref rows = pgFetchedRows(cursor.get());
    Ref out = dictCur ? (PyList_GET_SIZE(rows.get()) ? RowShaper(cursor.get(), RowShaper::FromResult{}).shapeAll(rows.get())
                                                     : std::move(rows))
                      : Ref::steal(PySequence_Tuple(rows.get()));
    callMethod(cursor.get(), names.close);
    return out;
}

Ref PostgresConnector_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ExecuteCall request = bindExecute(args, nargs, kwnames, true);
    if (request.con != Py_None && truthy(request.con))
        return runPostgresText(request.con, request.sql, request.params, request.dictCur);
    ThreadSession session(self);
    try {
        return runPostgresText(session.con(), request.sql, request.params, request.dictCur);
    } catch (PyError& e) {
        if (!e.isException()) session.discard();
        throw;
    }
}

// The executor's result of a statement that ran on `cursor`: a select's rows
// as dicts, nothing for an insert (its key comes back through RETURNING),
// any other statement's rows as tuples.
Ref pgStatementResult(PyObject* executor, PyObject* cursor, int kind) {
    recordRowCount(executor, cursor);
    Ref rows = pgFetchedRows(cursor);
    if (kind == SQL_SELECT) return RowShaper(cursor, RowShaper::FromResult{}).shapeAll(rows.get());
    if (kind == SQL_INSERT) return Ref::none();
    return rows;
}

// The statement of a blocking executor on `given` (None: the calling
// thread's block connection, or one of the pool).
Ref postgresProcess(PyObject* self, PyObject* executor, PyObject* given) {
    requireType("executor", executor, state.executors->ModelExecutor, false);
    PyObject* builder = builderOf(executor);
    auto [text, params] = preparedStatement(builder, false);

    std::optional<ThreadSession> session;
    Ref con;
    if (given != Py_None && truthy(given)) {
        con = Ref::borrow(given);
    } else {
        session.emplace(self);
        con = Ref::borrow(session->con());
    }
    try {
        Ref cursor = callMethod(con.get(), names.cursor);
        bool began = runStatementAtomically(con.get(), cursor.get(), text.get(), params.get(), DIALECT_POSTGRES,
                                            !session || session->inBlock());
        Ref raw = pgStatementResult(executor, cursor.get(), statementKind(builder));
        if (began) callMethod(con.get(), names.commit);
        callMethod(cursor.get(), names.close);
        return handleResult(executor, raw.get());
    } catch (PyError& e) {
        if (session && !e.isException()) session->discard();
        throw;
    }
}

Ref PostgresConnector_process(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature<2> sig{"process", {"executor", "con"}, 1};
    auto a = bind(sig, args, nargs, kwnames);
    return postgresProcess(self, a[0], a.get(1, Py_None));
}

// The depth of the calling thread's transaction blocks (0: none open).
Ref PostgresConnector__blockDepth(PyObject* self) {
    Ref threadDict = getattr(asPyMysql(self)->threadState, "__dict__");
    static const Constant depthKey = interned("depth");
    PyObject* depth = PyDict_GetItemWithError(threadDict.get(), depthKey.get());
    if (!depth) checkError();
    return depth ? Ref::borrow(depth) : integer(0);
}

Ref PostgresConnector_getTableNameList(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("getTableNameList", nargs, kwnames);
    auto [query, args] = pgTableQuery(self);
    ThreadSession session(self);
    Ref rows = runPostgresText(session.con(), query.get(), args.get(), false);
    return firstColumns(rows.get());
}

PyMethodDef postgresMethods[] = {
    Q_FAST("_openRows", Connector__openRows,
           "_openRows(sql, args=(), con=None) -> a RowStream of the select's rows, started on its first fetch"),
    Q_NOARGS("getCon", PyMysqlConnector_getCon,
             "getCon() -> the calling thread's block connection inside a block, otherwise a connection of the pool "
             "(give it back with releaseCon)"),
    Q_ONEARG("releaseCon", PyMysqlConnector_releaseCon,
             "releaseCon(con) -> None; commits a connection getCon() gave and puts it back in the pool"),
    Q_FAST("execute", PostgresConnector_execute,
           "execute(sql, con=None, dictCur=False, args=()) -> rows as tuples, or a list of dicts;\n"
           "committed unless a transaction block of the calling thread is open"),
    Q_FAST("process", PostgresConnector_process,
           "process(executor, con=None) -> the executor's result of its prepared statement (committed)"),
    Q_FAST("getTableNameList", PostgresConnector_getTableNameList,
           "getTableNameList() -> the table names of the connector's schema"),
    Q_ONEARG("autoFiledAnnounce", PostgresConnector_autoFiledAnnounce,
             "autoFiledAnnounce(col) -> the column type of an auto-increment key (an identity column)"),
    Q_NOARGS("GenerateTable", Connector_GenerateTable, "GenerateTable() -> None; creates the models' tables"),
    Q_NOARGS("_beginTransaction", Connector__beginTransaction,
             "_beginTransaction() -> None; opens a transaction block of the calling thread (a savepoint when nested)"),
    Q_ONEARG("_endTransaction", Connector__endTransaction,
             "_endTransaction(succeeded) -> None; commits or rolls back the calling thread's innermost block"),
    Q_NOARGS("_blockDepth", PostgresConnector__blockDepth,
             "_blockDepth() -> how many transaction blocks of the calling thread are open"),
    Q_NOARGS("close", PyMysqlConnector_close,
             "close() -> None; closes the pool's connections; statements after that fail"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef postgresGetSet[] = {
    Q_GETTER("config", get_mysql_config, "the connection settings given to the constructor"),
    Q_GETTER("maxsize", get_py_mysql_maxsize, "connections out at once (0: no limit)"),
    Q_GETTER("size", get_py_mysql_size, "connections open: given out and resting in the pool"),
    Q_GETTER("freesize", get_py_mysql_freesize, "connections resting in the pool"),
    Q_GETTER("acquire_timeout", get_py_mysql_acquire,
             "seconds a statement waits for a connection of the full pool before PoolTimeoutError"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot postgresSlots[] = {
    {Py_tp_new, (void*)PostgresConnector_new},
    {Py_tp_init, (void*)PostgresConnector_init},
    {Py_tp_traverse, (void*)traverseObject<pyMysqlFields>},
    {Py_tp_clear, (void*)clearObject<pyMysqlFields>},
    {Py_tp_dealloc, (void*)PyMysqlConnector_dealloc},
    {Py_tp_methods, postgresMethods},
    {Py_tp_getset, postgresGetSet},
    {Py_tp_doc, (void*)"PostgresConnector(*, maxsize=10, acquire_timeout=30.0, schema='public', **connect_settings): "
                       "blocking PostgreSQL over a pool of connections."},
    {0, nullptr},
};
PyType_Spec postgresSpec = {"Quillon.DB.Connector.PostgresConnector", sizeof(PyMysqlConnectorObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                            postgresSlots};

// ---------------------------------------------------------------------------
// AioPostgresConnector
// ---------------------------------------------------------------------------

Coro aioPostgresInit(Ref self, Ref settings, int minSize, int maxSize) {
    Local opening;
    {
        Ref open = importFrom("Quillon.DB.postgres_pool", "open_pool");
        Ref low = integer(minSize), high = integer(maxSize);
        opening = call(open.get(), settings.get(), low.get(), high.get());
    }
    Local pool = co_await awaitPy(opening.take());
    asBase(self.get())->isReady = 1;
    assignField(asBase(self.get())->_pool, pool.take());
    co_return Ref::none();
}

PyObject* AioPostgresConnector_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* self = newConnector<aioMysqlFields, DIALECT_POSTGRES>(type, args, kwargs);
    if (self) {
        asAioMysql(self)->acquireTimeout = kAcquireTimeout;
        asAioMysql(self)->lockWaitTimeout = -1;
    }
    return self;
}

// AioPostgresConnector(loop, **settings): psycopg's connection keywords (or
// `conninfo`), the pool's min_size and max_size, acquire_timeout and schema.
int AioPostgresConnector_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return boundary(-1, [&] {
        static const Signature<1> sig{"AioPostgresConnector", {"loop"}, 1, false, true};
        auto a = bind(sig, args, kwargs);
        asAioMysql(self)->acquireTimeout = takeSeconds(a.extra.get(), "acquire_timeout", kAcquireTimeout);
        int maxSize = takeCount(a.extra.get(), "max_size", kPostgresPoolSize, 1);
        int minSize = takeCount(a.extra.get(), "min_size", 1, 0);
        if (minSize > maxSize) raise(PyExc_ValueError, "min_size must not be above max_size");
        static const Constant autocommit = interned("autocommit");
        if (PyDict_DelItem(a.extra.get(), autocommit.get()) < 0) PyErr_Clear();
        assignField(asBase(self)->_config, a.extra.get());
        Ref settings = Ref::steal(PyDict_Copy(a.extra.get()));
        if (PyDict_DelItemString(settings.get(), "schema") < 0) PyErr_Clear();
        asBase(self)->isAsync = 1;
        asBase(self)->Type = 0;
        assignField(asBase(self)->selectCon, Py_None);
        PyObject* loop = a[0];
        assignField(asAioMysql(self)->loop, loop);
        assignField(asAioMysql(self)->conMap, Ref::steal(PyDict_New()));
        installTaskFactory(loop);
        Ref work = toPython(aioPostgresInit(Ref::borrow(self), std::move(settings), minSize, maxSize),
                            "AioPostgresConnector.<pool>");
        // On a running loop the pool is made by a task; the first operation
        // waits for it (and raises its error when it failed).
        if (truthy(callMethod(loop, names.is_running).get()))
            assignField(asAioMysql(self)->poolTask, callMethod(loop, names.create_task, work.get()));
        else
            callMethod(loop, names.run_until_complete, work.get());
        return 0;
    });
}

Ref AioPostgresConnector_getCon(PyObject* self) {
    return toPython(taskConnection(Ref::borrow(self), &aioPostgresConnections), "AioPostgresConnector.getCon");
}

Ref AioPostgresConnector__releaseCon(PyObject* self, PyObject* task) {
    endFinishedTaskConnection(self, task, &aioPostgresConnections);
    return Ref::none();
}

Coro aioPostgresExecute(Ref self, Ref sql, Ref givenCon, Ref params, bool dictCur) {
    // The given connection, the transaction block's (holding its turn), or the task's own.
    StatementTurn turn;
    Local con;
    if (givenCon && givenCon.get() != Py_None && truthy(givenCon.get())) {
        con = Ref::borrow(givenCon.get());
    } else {
        if (Ref waiting = turn.enter(self.get())) {
            co_await awaitPy(std::move(waiting));
            turn.granted();
        }
        if (turn.connection())
            con = Ref::borrow(turn.connection());
        else
            con = co_await awaitPy(callMethod(self.get(), names.getCon));
    }
    Local cursor = callMethod(con.get(), names.cursor);
    co_await awaitPy(runPostgresStatement(cursor.get(), sql.get(), params.get()));
    Local rows;
    if (!pgHasResult(cursor.get()))
        rows = Ref::steal(PyList_New(0));
    else
        rows = co_await awaitPy(callMethod(cursor.get(), names.fetchall));
    turn.leave();
    if (dictCur)
        co_return PyList_GET_SIZE(rows.get()) ? RowShaper(cursor.get(), RowShaper::FromResult{}).shapeAll(rows.get())
                                              : rows.take();
    co_return Ref::steal(PySequence_Tuple(rows.get()));
}

Ref AioPostgresConnector_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ExecuteCall request = bindExecute(args, nargs, kwnames, true);
    return toPython(aioPostgresExecute(Ref::borrow(self), Ref::borrow(request.sql), Ref::borrow(request.con),
                                       Ref::borrow(request.params), request.dictCur),
                    "AioPostgresConnector.execute");
}

// An executor's statement on the task's connection.  A statement run over
// many argument tuples is atomic (a savepoint around it), so a task that
// catches its error and goes on commits none of the batch.
Coro aioPostgresProcess(Ref self, Ref executor, Ref givenCon) {
    requireAsyncExecutor(executor.get());
    Local builder = Ref::borrow(builderOf(executor.get()));
    Local statementText, statementArgs;
    {
        auto [text, params] = preparedStatement(builder.get(), false);
        statementText = std::move(text);
        statementArgs = std::move(params);
    }
    int kind = statementKind(builder.get());
    // The given connection, the transaction block's (holding its turn), or the task's own.
    StatementTurn turn;
    Local con;
    if (givenCon && givenCon.get() != Py_None && truthy(givenCon.get())) {
        con = Ref::borrow(givenCon.get());
    } else {
        if (Ref waiting = turn.enter(self.get())) {
            co_await awaitPy(std::move(waiting));
            turn.granted();
        }
        if (turn.connection())
            con = Ref::borrow(turn.connection());
        else
            con = co_await awaitPy(callMethod(self.get(), names.getCon));
    }
    Local cursor = callMethod(con.get(), names.cursor);
    bool many = isManyStatement(statementArgs.get());
    const auto& steps = manySteps();
    if (many) co_await awaitPy(callMethod(con.get(), names.execute, steps.savepoint));
    LocalError failure;
    try {
        co_await awaitPy(runPostgresStatement(cursor.get(), statementText.get(), statementArgs.get()));
    } catch (PyError& e) {
        failure = std::move(e);
    }
    if (failure) {
        if (many) {
            try {
                co_await awaitPy(callMethod(con.get(), names.execute, steps.rollbackTo));
                co_await awaitPy(callMethod(con.get(), names.execute, steps.release));
            } catch (PyError& e) {
                // The statement's own error is the one the caller needs.
                if (!e.isException()) throw;
            }
        }
        failure.rethrow();
    }
    recordRowCount(executor.get(), cursor.get());
    Local raw;
    if (kind == SQL_INSERT) {
        raw = Ref::none();
    } else {
        Local rows;
        if (!pgHasResult(cursor.get()))
            rows = Ref::steal(PyList_New(0));
        else
            rows = co_await awaitPy(callMethod(cursor.get(), names.fetchall));
        raw = kind == SQL_SELECT ? RowShaper(cursor.get(), RowShaper::FromResult{}).shapeAll(rows.get()) : rows.take();
    }
    turn.leave();
    co_return handleResult(executor.get(), raw.get());
}

Ref AioPostgresConnector_asyncProcess(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature<0> sig{"asyncProcess", {}, 0, true, true};
    auto a = bind(sig, args, nargs, kwnames);
    PyObject* executor = PyDict_GetItemString(a.extra.get(), "executor");
    PyObject* con = PyDict_GetItemString(a.extra.get(), "con");
    return toPython(aioPostgresProcess(Ref::borrow(self), Ref::borrow(executor ? executor : Py_None),
                                       Ref::borrow(con ? con : Py_None)),
                    "AioPostgresConnector.asyncProcess");
}

Coro aioPostgresTableNames(Ref self) {
    Local running;
    {
        auto [query, args] = pgTableQuery(self.get());
        running = callMethod(self.get(), names.execute, query.get(), Py_None, Py_False, args.get());
    }
    Local rows = co_await awaitPy(running.take());
    co_return firstColumns(rows.get());
}

Ref AioPostgresConnector_getTableNameList(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("getTableNameList", nargs, kwnames);
    return toPython(aioPostgresTableNames(Ref::borrow(self)), "AioPostgresConnector.getTableNameList");
}

Ref get_aio_pg_maxsize(PyObject* self) {
    PyObject* pool = asBase(self)->_pool;
    if (!pool || pool == Py_None) return Ref::none();
    return getattr(pool, "maxsize");
}

PyMethodDef aioPostgresMethods[] = {
    Q_FAST("_openRows", Connector__openRows,
           "_openRows(sql, args=(), con=None) -> a RowStream of the select's rows, started on its first fetch"),
    Q_NOARGS("getCon", AioPostgresConnector_getCon,
             "getCon() -> awaitable of the calling task's connection (its transaction block's inside one)"),
    Q_NOARGS("getSelectCon", AioMysqlConnector_getSelectCon,
             "getSelectCon() -> awaitable of a new pooled connection; give it back with releaseCon"),
    Q_ONEARG("releaseCon", AioMysqlConnector_releaseCon,
             "releaseCon(con) -> awaitable; gives a connection of getSelectCon() back to the pool"),
    Q_ONEARG("_releaseCon", AioPostgresConnector__releaseCon,
             "_releaseCon(task) -> None; ends a finished task's connection"),
    Q_FAST("execute", AioPostgresConnector_execute,
           "execute(sql, con=None, dictCur=False, args=()) -> awaitable of the rows"),
    Q_FAST("asyncProcess", AioPostgresConnector_asyncProcess,
           "asyncProcess(executor=..., con=...) -> awaitable of the executor's result of its prepared statement"),
    Q_FAST("getTableNameList", AioPostgresConnector_getTableNameList,
           "getTableNameList() -> awaitable of the table names of the connector's schema"),
    Q_ONEARG("autoFiledAnnounce", PostgresConnector_autoFiledAnnounce,
             "autoFiledAnnounce(col) -> the column type of an auto-increment key (an identity column)"),
    Q_NOARGS("GenerateTable", AioMysqlConnector_GenerateTable,
             "GenerateTable() -> None; creates the tables on the stopped loop (inside a running loop: await "
             "generate_table())"),
    Q_NOARGS("close", AioMysqlConnector_close,
             "close() -> awaitable; refuses new connections, ends the calling task's own (committed) and closes "
             "the pool (a connection still out is closed when its task gives it back)"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef aioPostgresGetSet[] = {
    Q_GETTER("config", get_mysql_config, "the settings given to the constructor"),
    Q_GETTER("loop", get_mysql_loop, "the connector's event loop"),
    Q_GETTER("maxsize", get_aio_pg_maxsize, "the pool's max_size (None before the pool exists)"),
    Q_GETTER("acquire_timeout", get_aio_mysql_acquire,
             "seconds a task waits for a connection of the full pool before PoolTimeoutError"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot aioPostgresSlots[] = {
    {Py_tp_new, (void*)AioPostgresConnector_new},
    {Py_tp_init, (void*)AioPostgresConnector_init},
    {Py_tp_traverse, (void*)traverseObject<aioMysqlFields>},
    {Py_tp_clear, (void*)clearObject<aioMysqlFields>},
    {Py_tp_dealloc, (void*)deallocObject<aioMysqlFields>},
    {Py_tp_methods, aioPostgresMethods},
    {Py_tp_getset, aioPostgresGetSet},
    {Py_tp_doc, (void*)"AioPostgresConnector(loop, *, min_size=1, max_size=10, acquire_timeout=30.0, schema='public', "
                       "**connect_settings): awaitable PostgreSQL, one pooled connection per task."},
    {0, nullptr},
};
PyType_Spec aioPostgresSpec = {"Quillon.DB.Connector.AioPostgresConnector", sizeof(AioMysqlConnectorObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                               aioPostgresSlots};

// ===========================================================================
// Module
// ===========================================================================

PyMethodDef moduleMethods[] = {
    Q_FAST("dict_factory", dict_factory, "dict_factory(cursor, row) -> dict of column name to the row's value"),
    {nullptr, nullptr, 0, nullptr},
};

// `connector.process(executor)` for the executors, without looking the
// operation up on every statement: the native process of the connector's
// class, unless a Python subclass defines its own, the instance holds one
// or the class looks its attributes up its own way.
OverrideSet<1> processOverrides{{"process"}};

bool instanceHolds(PyObject* self, PyObject* name) {
    if (Py_TYPE(self)->tp_dictoffset == 0) return false;
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (PyDict_GetItemWithError(dict.get(), name)) return true;
    checkError();
    return false;
}

PyObject* api_process(PyObject* self, PyObject* executor) noexcept {
    return entry([&]() -> Ref {
        PyTypeObject* t = Py_TYPE(self);
        bool replaced = !isNativeType(t) && (t->tp_getattro != PyObject_GenericGetAttr ||
                                             processOverrides.overridden(self, 0) ||
                                             instanceHolds(self, processOverrides.name(0)));
        if (!replaced) {
            if (PyObject_TypeCheck(self, state.Sqlite3Connector)) return sqliteProcess(self, executor);
            if (PyObject_TypeCheck(self, state.PyMysqlConnector)) return pyMysqlProcess(self, executor, Py_None);
            if (PyObject_TypeCheck(self, state.PostgresConnector)) return postgresProcess(self, executor, Py_None);
        }
        return callMethod(self, processOverrides.name(0), executor);
    });
}

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
    state.PostgresConnector = addType(module, &postgresSpec, state.BaseConnector);
    state.AioPostgresConnector = addType(module, &aioPostgresSpec, state.BaseConnector);
    state.DictRowIterator = (PyTypeObject*)PyType_FromModuleAndSpec(module, &dictRowIteratorSpec, nullptr);
    if (!state.DictRowIterator) throwPending();
    state.RowStream = (PyTypeObject*)PyType_FromModuleAndSpec(module, &rowStreamSpec, nullptr);
    if (!state.RowStream) throwPending();
    state.openStreams = PyDict_New();
    if (!state.openStreams) throwPending();
    state.abandonedCursors = PyDict_New();
    if (!state.abandonedCursors) throwPending();
    state.unsettled = PySet_New(nullptr);
    if (!state.unsettled) throwPending();
    api.BaseConnector = state.BaseConnector;
    api.Sqlite3Connector = state.Sqlite3Connector;
    api.AioSqliteConnector = state.AioSqliteConnector;
    api.AioMysqlConnector = state.AioMysqlConnector;
    api.PyMysqlConnector = state.PyMysqlConnector;
    api.PostgresConnector = state.PostgresConnector;
    api.AioPostgresConnector = state.AioPostgresConnector;
    api.process = api_process;
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
    state.transactionError = importFrom("Quillon.Error.DbFault", "TransactionError").release();
    state.deadlockError = importFrom("Quillon.Error.DbFault", "DeadlockError").release();
    state.poolTimeout = importFrom("Quillon.Error.DbFault", "PoolTimeoutError").release();
    state.currentBlock = Ref::steal(PyContextVar_New("Quillon.DB.Connector.currentBlock", nullptr)).release();
    // Quillon.DB.utils builds its blocks on this type: it exists before the
    // utils module is imported.
    initLifecycles(module);
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
    state.futureType = getattr(asyncio.get(), "Future").release();
    state.endThreads = Ref::steal(PyList_New(0)).release();
    state.threadType = getattr(threading.get(), "Thread").release();
    state.runningLoop = getattr(asyncio.get(), "get_running_loop").release();
    state.runningLoopOrNone = getattr(asyncio.get(), "_get_running_loop").release();
    state.shield = getattr(asyncio.get(), "shield").release();
    state.waitFor = getattr(asyncio.get(), "wait").release();
    state.newEventLoop = getattr(asyncio.get(), "new_event_loop").release();
    state.isCoroutine = getattr(asyncio.get(), "iscoroutine").release();
    state.isAwaitable = importFrom("inspect", "isawaitable").release();
    state.abstractLoop = getattr(asyncio.get(), "AbstractEventLoop").release();
    state.cancelledError = getattr(asyncio.get(), "CancelledError").release();
    state.taskConnections = Ref::steal(PyDict_New()).release();
    state.openConnections = Ref::steal(PyDict_New()).release();
    state.writeHolder = Ref::steal(PyContextVar_New("Quillon.DB.Connector.writeHolder", nullptr)).release();
    state.threadLocal = importFrom("_thread", "_local").release();
    state.sqliteProgrammingError = getattr(sqlite3.get(), "ProgrammingError").release();
    state.sqliteOperationalError = getattr(sqlite3.get(), "OperationalError").release();
    state.assertionsOn = assertionsEnabled();

    // Module state, in order: the logger, the process-wide lock, dict_factory.
    state.logger = callMethod(logging.get(), "getLogger", getattr(module, "__package__").get()).release();
    addObject(module, "_logger", state.logger);
    state.lock = callMethod(multiprocessing.get(), "Lock").release();
    addObject(module, "lock", state.lock);
    check(PyModule_AddFunctions(module, moduleMethods));

    state.db = bindApi<DBApi>("Quillon.DB.DB", kDBCapsule);
    bindApi<ColumnsApi>("Quillon.Model.Columns", kColumnsCapsule);
    state.generators = bindApi<GeneratorApi>("Quillon.DB.Generator", kGeneratorCapsule);
    bindApi<EntityApi>("Quillon.Model.Entity", kEntityCapsule);
    state.executors = bindApi<ExecutorsApi>("Quillon.Model.Executors", kExecutorsCapsule);
    registerExitHook(threading.get());
    registerForkHook();
}

PyModuleDef_Slot moduleSlots[] = {
    Q_MODULE_SLOTS(exec),
    {0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "Quillon.DB.Connector", "The database connectors.", 0, nullptr,
                         moduleSlots, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace quillon::connector

PyMODINIT_FUNC PyInit_Connector() { return PyModuleDef_Init(&quillon::connector::moduleDef); }
