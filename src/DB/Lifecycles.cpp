// Quillon.DB.Connector: connection lifecycles.
//
// Which connection a statement runs on, and when that connection is opened,
// committed, rolled back, closed or given back, written once for every
// connector:
//
//   Per thread (the blocking connectors).  SQLite: the main thread runs on
//   the connector's own connection, every other thread on one of its own (an
//   in-memory database: every thread on the one connection, one at a time).
//   MySQL and PostgreSQL: a statement takes a connection from the
//   connector's pool and gives it back.  Outside a transaction block every statement commits on its own.
//
//   Per task (the asyncio connectors).  Every task has a connection of its
//   own, opened on its first statement, and is one transaction: committed
//   when its coroutine returns, rolled back when it raises or is cancelled.
//   A connector installs a task factory on its loop whose tasks run their
//   coroutine through `runTask`, which ends the connections inside the task:
//   a task is done only once its work is stored, and a failed commit is its
//   exception.  A task made before that factory (asyncio.run's main task when
//   the connector is made inside it) ends its connection from its
//   done-callback.
//
//   Per block (`transaction()`).  A block is one transaction on one
//   connection: the calling thread's, or its task's; a nested block is a
//   savepoint.  Tasks created inside an awaited block run their statements on
//   the block's connection, one statement at a time (the block's turn); a
//   block whose tasks still run when it ends fails and is rolled back.
//
//   At the end of the program, connections that nothing ended are ended.
#include "Connector.hpp"

#include <quillon/override.hpp>

#include <structmember.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>

namespace quillon::connector {

namespace {

double monotonicSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

PyObject* conKey() {
    static const Constant key = interned("con");
    return key.get();
}
PyObject* cursorKey() {
    static const Constant key = interned("cursor");
    return key.get();
}
PyObject* depthKey() {
    static const Constant key = interned("depth");
    return key.get();
}
PyObject* heldKey() {
    static const Constant key = interned("held");
    return key.get();
}

// dict[key] as an int, 0 when missing.
int intEntry(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value) {
        checkError();
        return 0;
    }
    long n = PyLong_AsLong(value);
    if (n == -1 && PyErr_Occurred()) throwPending();
    return (int)n;
}
// Seconds as messages show them (PyUnicode_FromFormat has no float format).
std::string secondsText(double seconds) {
    char text[32];
    snprintf(text, sizeof text, "%.3g", seconds);
    return text;
}

void setIntEntry(PyObject* dict, PyObject* key, int n) {
    Ref value = integer(n);
    check(PyDict_SetItem(dict, key, value.get()));
}

// Calls `o.name()` and ignores an Exception it raises (a close that fails
// leaves nothing to do); other BaseExceptions pass.
void closeQuietly(PyObject* o) {
    try {
        callMethod(o, names.close);
    } catch (PyError& e) {
        if (!e.isException()) throw;
    }
}

}  // namespace

// Whether an error value says the driver's connection is gone (the server
// went away, the connection was killed, or a query was cut off mid-way):
// the server then rolls back whatever the connection had not committed.
// pymysql's InterfaceError, or its OperationalError with a client error
// code (2000 to 2999, the server's own errors being below); psycopg's
// OperationalError or InterfaceError (a statement error of the server is
// neither).
bool connectionLost(PyObject* value) {
    static Constant interfaceError, operationalError, pgErrors;
    if (!value) return false;
    if (!pgErrors) {
        // Asked only once psycopg is loaded: a program without it never loads it here.
        Ref loaded = Ref::stealOrNull(PyImport_GetModule(Ref::steal(PyUnicode_FromString("psycopg")).get()));
        if (!loaded) checkError();
        if (loaded) {
            Ref operational = getattr(loaded.get(), "OperationalError");
            Ref interface = getattr(loaded.get(), "InterfaceError");
            pgErrors = tupleOf({operational.get(), interface.get()});
        }
    }
    if (pgErrors && PyErr_GivenExceptionMatches(value, pgErrors.get())) return true;
    if (!interfaceError) {
        Ref errors = Ref::stealOrNull(PyImport_ImportModule("pymysql.err"));
        if (!errors) {
            PyErr_Clear();
            return false;
        }
        interfaceError = getattr(errors.get(), "InterfaceError");
        operationalError = getattr(errors.get(), "OperationalError");
    }
    if (PyErr_GivenExceptionMatches(value, interfaceError.get())) return true;
    if (!PyErr_GivenExceptionMatches(value, operationalError.get())) return false;
    Ref args = Ref::stealOrNull(PyObject_GetAttrString(value, "args"));
    if (!args || !PyTuple_Check(args.get()) || PyTuple_GET_SIZE(args.get()) == 0 ||
        !PyLong_Check(PyTuple_GET_ITEM(args.get(), 0))) {
        PyErr_Clear();
        return false;
    }
    long code = PyLong_AsLong(PyTuple_GET_ITEM(args.get(), 0));
    if (code == -1 && PyErr_Occurred()) PyErr_Clear();
    return code >= 2000 && code < 3000;
}

// ===========================================================================
// Per thread: the blocking connectors
// ===========================================================================

namespace {

// The main thread's ident, asked of `threading` on first use and again after
// a fork: the child's main thread is the thread that forked.  0 while not
// known (no thread has ident 0).
unsigned long mainThreadIdent = 0;

PyObject* forgetMainThread(PyObject*, PyObject*) noexcept {
    mainThreadIdent = 0;
    Py_RETURN_NONE;
}
PyMethodDef forgetMainThreadDef = {"_forget_main_thread", forgetMainThread, METH_NOARGS,
                                   "forgets the main thread's ident (a forked child asks again)"};

}  // namespace

bool onMainThread() {
    if (!mainThreadIdent) {
        Ref main = call(state.mainThread);
        Ref ident = getattr(main.get(), "ident");
        unsigned long value = PyLong_AsUnsignedLong(ident.get());
        if (value == (unsigned long)-1 && PyErr_Occurred()) throwPending();
        mainThreadIdent = value;
    }
    return PyThread_get_thread_ident() == mainThreadIdent;
}

namespace {

[[noreturn]] void raiseMysqlClosed(PyObject* self) { raise(PyExc_RuntimeError, "%s is closed", Py_TYPE(self)->tp_name); }

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
        if (remaining <= 0.0) raise(state.sqliteOperationalError, "%s", "database is locked");
    }
}

// ---------------------------------------------------------------------------
// The blocking MySQL pool
// ---------------------------------------------------------------------------

// How long a connection may rest in the pool before it is pinged (and
// reconnected when the server dropped it) on its next use.
constexpr double kIdleCheckSeconds = 30.0;

Ref openMysqlConnection(PyObject* self) {
    static const Constant noArgs = Ref::steal(PyTuple_New(0));
    if (isPostgres(self)) {
        if (!state.pgConnect) state.pgConnect = importFrom("psycopg", "connect").release();
        return callWith(state.pgConnect, noArgs.get(), asPyMysql(self)->driverSettings);
    }
    if (!state.mysqlConnect) state.mysqlConnect = importFrom("pymysql", "connect").release();
    return callWith(state.mysqlConnect, noArgs.get(), asPyMysql(self)->driverSettings);
}

// Whether a pooled connection is still open (pymysql: `open`; psycopg:
// not `closed`).
bool pooledConnectionOpen(PyObject* self, PyObject* con) {
    if (isPostgres(self)) return !truthy(getattr(con, names.closed).get());
    return truthy(getattr(con, names.open).get());
}

void countHeld(PyObject* threadDict, int delta) {
    int held = intEntry(threadDict, heldKey()) + delta;
    setIntEntry(threadDict, heldKey(), held < 0 ? 0 : held);
}

// A connection of the pool for the calling thread: a resting one, a new one
// while fewer than `maxsize` are out, or the first one given back within
// `acquire_timeout`.  When every connection out is the calling thread's own,
// nothing can give one back: refused at once.
Ref checkoutMysql(PyObject* self, PyObject* threadDict) {
    auto* c = asPyMysql(self);
    double deadline = -1.0;
    for (;;) {
        if (c->closed) raiseMysqlClosed(self);
        Py_ssize_t n = PyList_GET_SIZE(c->idle);
        if (n > 0) {
            Ref entry = Ref::borrow(PyList_GET_ITEM(c->idle, n - 1));
            check(PyList_SetSlice(c->idle, n - 1, n, nullptr));
            Ref con = Ref::borrow(PyTuple_GET_ITEM(entry.get(), 0));
            double since = PyFloat_AsDouble(PyTuple_GET_ITEM(entry.get(), 1));
            c->inUse++;
            countHeld(threadDict, 1);
            if (monotonicSeconds() - since > kIdleCheckSeconds) {
                try {
                    if (isPostgres(self)) {
                        static const Constant probe = str("SELECT 1");
                        callMethod(con.get(), names.execute, probe.get());
                    } else {
                        callMethod(con.get(), names.ping, Py_True);
                    }
                } catch (PyError& e) {
                    c->inUse--;
                    countHeld(threadDict, -1);
                    if (!e.isException()) throw;
                    closeQuietly(con.get());
                    continue;
                }
            }
            return con;
        }
        if (c->maxsize <= 0 || c->inUse < c->maxsize) {
            c->inUse++;
            countHeld(threadDict, 1);
            try {
                return openMysqlConnection(self);
            } catch (PyError&) {
                c->inUse--;
                countHeld(threadDict, -1);
                throw;
            }
        }
        if (intEntry(threadDict, heldKey()) >= c->inUse)
            raise(state.deadlockError,
                  "all %d connections of the pool are held by this thread (getCon() without releaseCon(), or "
                  "transaction blocks): it would wait for itself.  Give connections back with releaseCon(), or "
                  "raise maxsize",
                  c->inUse);
        double now = monotonicSeconds();
        if (deadline < 0.0) deadline = now + c->acquireTimeout;
        if (now >= deadline)
            raise(state.poolTimeout,
                  "no connection of the pool came free within acquire_timeout=%s seconds (%d of maxsize=%d are "
                  "out)",
                  secondsText(c->acquireTimeout).c_str(), c->inUse, c->maxsize);
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        Py_END_ALLOW_THREADS
        check(PyErr_CheckSignals());
    }
}

// Gives a connection back to the pool: kept for reuse when it is still open
// and the pool is not closed, closed otherwise.  Never raises (it runs when
// a session ends, maybe while an error is on its way out).
void giveBackMysql(PyObject* self, PyObject* con, PyObject* threadDict, bool reusable) noexcept {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    auto* c = asPyMysql(self);
    c->inUse--;
    try {
        if (threadDict) countHeld(threadDict, -1);
        bool open = pooledConnectionOpen(self, con);
        if (reusable && open && !c->closed) {
            Ref since = Ref::steal(PyFloat_FromDouble(monotonicSeconds()));
            Ref entry = tupleOf({con, since.get()});
            check(PyList_Append(c->idle, entry.get()));
        } else if (open) {
            closeQuietly(con);
        }
    } catch (PyError& e) {
        e.restore();
        PyErr_WriteUnraisable(con);
    }
    PyErr_Restore(t, v, tb);
}

}  // namespace

[[noreturn]] void raiseClosed() { raise(state.sqliteProgrammingError, "Cannot operate on a closed database."); }

// The statement log.  SQLite formats every traced statement, its values
// written in, before the callback sees it: a connection therefore carries the
// trace callback only while the "Quillon.DB" logger is enabled for DEBUG.
// Each session compares the logger with the connection and sets or clears
// the callback when they differ, so a level set later shows the statements
// after it.  Whether a connection is traced: for the connector's own one a
// bit of `showLog`, for a thread's own one an entry of its thread state.
namespace {

constexpr int kMainConnectionTraced = 2;  // in Sqlite3ConnectorObject::showLog, beside the setting (1)

PyObject* tracedKey() {
    static const Constant key = interned("traced");
    return key.get();
}

// Whether the logger handles DEBUG records, as its isEnabledFor says.  A
// logger of the logging module keeps that answer per level in its `_cache`
// dict, which the module empties in place whenever a level changes anywhere
// or logging.disable is called: a cached answer is read there, and
// isEnabledFor is called only to fill it, or for a logger that does not
// work the standard way (a replaced isEnabledFor, no such cache, disabled).
bool statementLogWanted() {
    static const Constant isEnabledFor = interned("isEnabledFor");
    static const Constant debugLevel = integer(10);  // logging.DEBUG
    static const Constant loggerName = interned("_logger");
    static const Constant cacheName = interned("_cache");
    static const Constant disabledName = interned("disabled");
    static const Constant standard = importFrom("logging", "Logger");
    static const Constant standardIsEnabledFor = getattr(standard.get(), isEnabledFor.get());
    Ref logger = dictItem(PyModule_GetDict(state.module), loggerName.get()).ref();
    if (!logger) logger = moduleLogger();  // the module's own error when it is gone
    PyTypeObject* t = Py_TYPE(logger.get());
    if (t->tp_getattro == PyObject_GenericGetAttr && t->tp_dictoffset != 0 &&
        lookupType(t, isEnabledFor.get()) == standardIsEnabledFor.get()) {
        Ref dict = Ref::steal(PyObject_GenericGetDict(logger.get(), nullptr));
        Ref cache = dictItem(dict.get(), cacheName.get()).ref();
        bool standardWay = cache && PyDict_CheckExact(cache.get()) && !dictItem(dict.get(), isEnabledFor.get()) &&
                           dictItem(dict.get(), disabledName.get()).get() == Py_False;
        if (standardWay) {
            Borrowed known = dictItem(cache.get(), debugLevel.get());  // only compared
            if (known.get() == Py_True) return true;
            if (known.get() == Py_False) return false;
        }
    }
    return truthy(callMethod(logger.get(), isEnabledFor.get(), debugLevel.get()).get());
}

void traceStatements(PyObject* con, bool on) {
    static const Constant setTraceCallback = interned("set_trace_callback");
    Ref callback = on ? getattr(moduleLogger().get(), "debug") : Ref::none();
    callMethod(con, setTraceCallback.get(), callback.get());
}

}  // namespace

void markMainConnectionTraced(PyObject* self, bool traced) {
    auto* c = asSqlite(self);
    c->showLog = traced ? c->showLog | kMainConnectionTraced : c->showLog & ~kMainConnectionTraced;
}

void ThreadSession::syncStatementLog() {
    auto* c = asSqlite(self_);
    if (!(c->showLog & 1)) return;  // never traced
    bool wanted = statementLogWanted();
    if (!threadDict_) {
        bool traced = c->showLog & kMainConnectionTraced;
        if (traced == wanted) return;
        traceStatements(con_.get(), wanted);
        markMainConnectionTraced(self_, wanted);
        return;
    }
    PyObject* entry = PyDict_GetItemWithError(threadDict_.get(), tracedKey());
    if (!entry) checkError();
    bool traced = entry == Py_True;
    if (traced == wanted) return;
    traceStatements(con_.get(), wanted);
    check(PyDict_SetItem(threadDict_.get(), tracedKey(), wanted ? Py_True : Py_False));
}

Ref openSqliteConnection(PyObject* self, PyObject* path) {
    auto* c = asSqlite(self);
    Ref keywords = Ref::steal(PyDict_New());
    Ref timeout = Ref::steal(PyFloat_FromDouble(c->timeout));
    check(PyDict_SetItemString(keywords.get(), "timeout", timeout.get()));
    check(PyDict_SetItemString(keywords.get(), "check_same_thread", Py_False));
    Ref args = tupleOf({path});
    return callWith(state.sqliteConnect, args.get(), keywords.get());
}

ThreadSession::ThreadSession(PyObject* self)
    : self_(self), mysql_(isPooledBlocking(self)) {
    if (mysql_) {
        takePooledConnection();
        return;
    }
    auto* c = asSqlite(self);
    if (c->sharedConnection) {
        if (c->closed) raiseClosed();
        if (c->blockOwner != PyThread_get_thread_ident()) {
            acquireBlockLock(c);
            heldLock_ = true;
            depth_ = 0;
        } else {
            depth_ = c->transactionDepth;
        }
        con_ = Ref::borrow(c->con);
        spareOnConnector_ = onMainThread();  // a cursor is never shared between threads
    } else if (onMainThread()) {
        con_ = Ref::borrow(c->con);
        depth_ = c->transactionDepth;
        spareOnConnector_ = true;
    } else {
        openSqliteThreadConnection();
    }
    syncStatementLog();
}

ThreadSession::~ThreadSession() {
    if (heldLock_) PyThread_release_lock(asSqlite(self_)->blockLock);
    if (checkedOut_ && con_) giveBackMysql(self_, con_.get(), threadDict_.get(), !discarded_);
}

void ThreadSession::discard() {
    if (!mysql_ || !con_) return;
    discarded_ = true;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject* r = PyObject_CallMethodNoArgs(con_.get(), names.close);
    if (r)
        Py_DECREF(r);
    else
        PyErr_Clear();  // already closed
    PyErr_Restore(t, v, tb);
}

// The thread's own SQLite connection, opened on its first statement; it
// closes when the thread ends (its thread-local entry goes) or the connector
// is closed.
void ThreadSession::openSqliteThreadConnection() {
    auto* c = asSqlite(self_);
    threadDict_ = getattr(c->threadState, "__dict__");
    PyObject* held = PyDict_GetItemWithError(threadDict_.get(), conKey());
    if (!held) checkError();
    Ref con = Ref::borrow(held);
    if (c->closed) {
        if (con) {
            check(PyDict_DelItem(threadDict_.get(), conKey()));
            callMethod(con.get(), names.close);
        }
        raiseClosed();
    }
    if (!con) {
        con = openSqliteConnection(self_, c->path);
        if (PyDict_DelItem(threadDict_.get(), cursorKey()) < 0) PyErr_Clear();  // one of a closed connection
        check(PyDict_SetItem(threadDict_.get(), conKey(), con.get()));
        check(PyDict_SetItem(threadDict_.get(), tracedKey(), Py_False));
    }
    con_ = std::move(con);
    depth_ = intEntry(threadDict_.get(), depthKey());
}

// MySQL: inside the thread's block its connection, otherwise one of the
// pool until the session ends.
void ThreadSession::takePooledConnection() {
    auto* c = asPyMysql(self_);
    threadDict_ = getattr(c->threadState, "__dict__");
    depth_ = intEntry(threadDict_.get(), depthKey());
    if (depth_ > 0) {
        if (c->closed) raiseMysqlClosed(self_);
        PyObject* held = PyDict_GetItemWithError(threadDict_.get(), conKey());
        if (!held) {
            checkError();
            raise(PyExc_RuntimeError, "the thread's transaction block has no connection");
        }
        con_ = Ref::borrow(held);
        return;
    }
    con_ = checkoutMysql(self_, threadDict_.get());
    checkedOut_ = true;
}

void ThreadSession::storeDepth(int depth) {
    int before = depth_;
    depth_ = depth;
    if (mysql_) {
        setIntEntry(threadDict_.get(), depthKey(), depth);
        if (before == 0 && depth > 0) {
            // The block keeps the connection until its outermost end.
            check(PyDict_SetItem(threadDict_.get(), conKey(), con_.get()));
            checkedOut_ = false;
        } else if (before > 0 && depth == 0) {
            if (PyDict_DelItem(threadDict_.get(), conKey()) < 0) PyErr_Clear();
            checkedOut_ = true;
        }
        return;
    }
    auto* c = asSqlite(self_);
    if (threadDict_) {
        setIntEntry(threadDict_.get(), depthKey(), depth);
    } else {
        c->transactionDepth = depth;
    }
    if (c->sharedConnection) {
        // A block that begins keeps the lock; the outermost end gives it back.
        if (depth > 0 && heldLock_) {
            c->blockOwner = PyThread_get_thread_ident();
            heldLock_ = false;
        } else if (depth == 0 && c->blockOwner == PyThread_get_thread_ident()) {
            c->blockOwner = 0;
            heldLock_ = true;
        }
    }
}

void ThreadSession::closeThreadConnection() {
    if (mysql_ || !threadDict_) return;
    if (PyDict_DelItem(threadDict_.get(), cursorKey()) < 0) PyErr_Clear();  // none kept
    check(PyDict_DelItem(threadDict_.get(), conKey()));
    callMethod(con_.get(), names.close);
}

// The spare cursor of a connection: an entry of the thread's state for a
// thread's own connection, a field of the connector for its own connection
// on the main thread; other threads on a shared connection keep none.
Ref ThreadSession::takeCursor() {
    static const Constant rowFactory = interned("row_factory");
    Ref spare;
    if (threadDict_) {
        spare = dictItem(threadDict_.get(), cursorKey()).ref();
        if (spare) check(PyDict_DelItem(threadDict_.get(), cursorKey()));
    } else if (spareOnConnector_) {
        PyObject*& slot = asSqlite(self_)->spareCursor;
        if (slot && slot != Py_None) spare = Ref::steal(std::exchange(slot, Py_NewRef(Py_None)));
    }
    // The driver gives a cursor the connection's row factory when it makes it.
    if (spare && getattr(spare.get(), rowFactory.get()).get() == getattr(con_.get(), rowFactory.get()).get())
        return spare;
    return callMethod(con_.get(), names.cursor);
}

void ThreadSession::keepCursor(Ref cursor) {
    if (threadDict_) {
        // Still the thread's connection, and no other cursor kept meanwhile.
        if (dictItem(threadDict_.get(), conKey()).get() != con_.get() || dictItem(threadDict_.get(), cursorKey()))
            return;
        check(PyDict_SetItem(threadDict_.get(), cursorKey(), cursor.get()));
    } else if (spareOnConnector_) {
        auto* c = asSqlite(self_);
        if (c->spareCursor != Py_None || c->closed || c->con != con_.get()) return;
        Py_SETREF(c->spareCursor, cursor.release());
    }
}

void dropSpareCursor(PyObject* self) { assignField(asSqlite(self)->spareCursor, Py_None); }

Ref takeCallerConnection(PyObject* self) {
    auto* c = asPyMysql(self);
    Ref threadDict = getattr(c->threadState, "__dict__");
    if (intEntry(threadDict.get(), depthKey()) > 0) {
        PyObject* held = PyDict_GetItemWithError(threadDict.get(), conKey());
        if (held) return Ref::borrow(held);
        checkError();
    }
    return checkoutMysql(self, threadDict.get());
}

Ref takeAbandonedCursor(PyObject* con) {
    if (PyDict_GET_SIZE(state.abandonedCursors) == 0) return Ref();
    PyObject* cursor = PyDict_GetItemWithError(state.abandonedCursors, con);
    if (!cursor) {
        checkError();
        return Ref();
    }
    Ref held = Ref::borrow(cursor);
    check(PyDict_DelItem(state.abandonedCursors, con));
    return held;
}

Ref takeStreamCursor(PyObject* con) {
    if (PyDict_GET_SIZE(state.openStreams) > 0) {
        PyObject* cursor = PyDict_GetItemWithError(state.openStreams, con);
        if (cursor) {
            Ref held = Ref::borrow(cursor);
            check(PyDict_DelItem(state.openStreams, con));
            return held;
        }
        checkError();
    }
    return takeAbandonedCursor(con);
}

bool callerInBlock(PyObject* self) {
    Ref threadDict = getattr(asPyMysql(self)->threadState, "__dict__");
    return intEntry(threadDict.get(), depthKey()) > 0;
}

void refuseOpenStream(PyObject* con) {
    int busy = PyDict_Contains(state.openStreams, con);
    if (busy < 0) throwPending();
    if (busy)
        raise(PyExc_RuntimeError,
              "this connection is reading the rows of an open iterate(): on MySQL it runs no other statement until "
              "the iterator is exhausted or closed (close() / aclose(), or a with block)");
}

namespace {
// MySQL: the cursor of a stream reading on `con` is closed (its rows read
// out) before the end of the transaction or savepoint it reads in.
void closeStreamCursor(PyObject* con) {
    Ref reading = takeStreamCursor(con);
    if (!reading) return;
    try {
        callMethod(reading.get(), names.close);
    } catch (PyError& e) {
        // The statement that follows reports the connection's state.
        if (!e.isException()) throw;
    }
}
}  // namespace

void giveCallerConnection(PyObject* self, PyObject* con) {
    auto* c = asPyMysql(self);
    Ref threadDict = getattr(c->threadState, "__dict__");
    PyObject* held = PyDict_GetItemWithError(threadDict.get(), conKey());
    if (!held) checkError();
    if (held == con) return;  // the thread's block ends it
    try {
        callMethod(con, names.commit);
    } catch (PyError& e) {
        giveBackMysql(self, con, threadDict.get(), false);
        throw;
    }
    giveBackMysql(self, con, threadDict.get(), true);
}

void closeMysqlPool(PyObject* self) {
    auto* c = asPyMysql(self);
    c->closed = 1;
    Ref idle = Ref::steal(PySequence_List(c->idle));
    check(PyList_SetSlice(c->idle, 0, PY_SSIZE_T_MAX, nullptr));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(idle.get()); ++i)
        closeQuietly(PyTuple_GET_ITEM(PyList_GET_ITEM(idle.get(), i), 0));
}

// ---------------------------------------------------------------------------
// Transaction blocks of a thread
// ---------------------------------------------------------------------------

// The calling thread's outermost block is one transaction on its connection,
// inner blocks are savepoints, and statements leave committing to the
// outermost block's end.  On SQLite the outermost block takes the write lock
// when it begins, so two threads' blocks wait for each other in turn instead
// of failing when both go on to write.
namespace {

Ref savepointStatement(const char* verb, int depth) {
    return Ref::steal(PyUnicode_FromFormat("%s quillon_block_%d", verb, depth));
}

// SQL text on a blocking connection (sqlite3 and psycopg: execute; pymysql: query).
void runOnThreadConnection(PyObject* con, int dialect, PyObject* text) {
    callMethod(con, dialect == DIALECT_MYSQL ? names.query : names.execute, text);
}

// Rolls back after a failed commit; the commit's error is the one the
// caller needs, unless an interrupt wins.
void rollbackAfterFailedCommit(PyObject* con) {
    PyObject* r = PyObject_CallMethodNoArgs(con, names.rollback);
    if (r)
        Py_DECREF(r);
    else if (PyErr_ExceptionMatches(PyExc_Exception))
        PyErr_Clear();
    else
        throwPending();
}

}  // namespace

void beginThreadBlock(PyObject* self) {
    ThreadSession session(self);
    int dialect = asBase(self)->dialect;
    PyObject* con = session.con();
    int depth = session.depth();
    if (depth == 0) {
        if (dialect != DIALECT_SQLITE) {
            static const Constant begin = str("BEGIN");
            runOnThreadConnection(con, dialect, begin.get());
        } else if (!truthy(getattr(con, names.in_transaction).get())) {
            static const Constant begin = str("BEGIN IMMEDIATE");
            runOnThreadConnection(con, dialect, begin.get());
        }
    } else {
        if (dialect != DIALECT_SQLITE) refuseOpenStream(con);
        runOnThreadConnection(con, dialect, savepointStatement("SAVEPOINT", depth).get());
    }
    session.storeDepth(depth + 1);
}

void endThreadBlock(PyObject* self, bool ok) {
    int dialect = asBase(self)->dialect;
    bool mysql = dialect != DIALECT_SQLITE;  // a pooled server connection
    if (!mysql) {
        auto* c = asSqlite(self);
        if (c->sharedConnection && c->blockOwner != PyThread_get_thread_ident())
            raise(PyExc_RuntimeError, "no transaction block is open on this thread");
    }
    ThreadSession session(self);
    if (session.depth() <= 0) raise(PyExc_RuntimeError, "no transaction block is open on this thread");
    int depth = session.depth() - 1;
    Ref con = Ref::borrow(session.con());
    session.storeDepth(depth);
    if (mysql) closeStreamCursor(con.get());
    if (depth > 0) {
        if (!ok) runOnThreadConnection(con.get(), dialect, savepointStatement("ROLLBACK TO SAVEPOINT", depth).get());
        runOnThreadConnection(con.get(), dialect, savepointStatement("RELEASE SAVEPOINT", depth).get());
        return;
    }
    if (!ok) {
        try {
            callMethod(con.get(), names.rollback);
        } catch (PyError& e) {
            // A lost connection has nothing left to roll back: the server
            // did.  The block's own error is the one the caller needs.
            if (!mysql || !e.isException()) throw;
            PyError kept = std::move(e);
            ExcInfo info(kept);
            if (!connectionLost(info.value.get())) info.rethrow();
        }
        return;
    }
    try {
        callMethod(con.get(), names.commit);
    } catch (PyError&) {
        // A commit that failed leaves nothing of the block behind either.
        rollbackAfterFailedCommit(con.get());
        throw;
    }
}

// ===========================================================================
// Per task: the asyncio connectors
// ===========================================================================

// Two process-wide registries tie the pieces together: `taskConnections`
// (task -> the connectors holding a connection for it) lets a task end all
// its connections itself, and `openConnections` (connection -> connector)
// holds every per-task connection until it is closed, so that the end of
// the interpreter finds those nothing ended.

namespace {

PyObject* aioSqliteConMap(PyObject* self) { return asAioSqlite(self)->conMap; }
PyObject* aioMysqlConMap(PyObject* self) { return asAioMysql(self)->conMap; }
int* aioSqliteClosed(PyObject* self) { return &asAioSqlite(self)->closed; }
int* aioMysqlClosed(PyObject* self) { return &asAioMysql(self)->closed; }

}  // namespace

const TaskConnections aioSqliteConnections{aioSqliteConMap, aioSqliteClosed, false, &Names::releaseCon,
                                           "AioSqliteConnector.releaseCon.<end>"};
const TaskConnections aioMysqlConnections{aioMysqlConMap, aioMysqlClosed, true, &Names::_releaseCon,
                                          "AioMysqlConnector._releaseCon.<end>"};
const TaskConnections aioPostgresConnections{aioMysqlConMap, aioMysqlClosed, true, &Names::_releaseCon,
                                             "AioPostgresConnector._releaseCon.<end>"};

const TaskConnections& connectionsOf(PyObject* connector) {
    if (PyObject_TypeCheck(connector, state.AioMysqlConnector)) return aioMysqlConnections;
    if (PyObject_TypeCheck(connector, state.AioPostgresConnector)) return aioPostgresConnections;
    return aioSqliteConnections;
}

Ref requireCurrentTask(const char* operation) {
    Ref task = call(state.currentTask);
    if (task.get() == Py_None)
        raise(PyExc_RuntimeError, "%s() must be awaited inside an asyncio task (it owns the connection)", operation);
    return task;
}

namespace {

// Whether a finished task's work must be rolled back: it was cancelled or
// ended with an exception.  (Asking a cancelled task for its exception
// raises, so cancellation is asked first.)
bool taskFailed(PyObject* task) {
    if (truthy(callMethod(task, names.cancelled).get())) return true;
    Ref exc = callMethod(task, names.exception);
    return truthy(exc.get());
}

bool isDone(PyObject* future) { return truthy(callMethod(future, names.done).get()); }

// conMap[task], or null when the task holds no connection (or there is no map).
Ref heldConnection(PyObject* conMap, PyObject* task) {
    if (!conMap || !PyDict_Check(conMap)) return Ref();
    PyObject* held = PyDict_GetItemWithError(conMap, task);
    if (!held) checkError();
    return held ? Ref::borrow(held) : Ref();
}

// Removes and returns conMap[task], or null when the task holds no connection.
Ref takeTaskConnection(PyObject* conMap, PyObject* task) {
    Ref con = heldConnection(conMap, task);
    if (con) check(PyDict_DelItem(conMap, task));
    return con;
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
    if (PySet_Discard(state.unsettled, con) < 0) throwPending();
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

// Starts a coroutine at once and lets a task of its own finish it; returns
// that task, or null when the coroutine ended at once (its value then in
// `*result`, its error raised here).
//
// The coroutine is advanced to its first suspension right here, so that its
// first driver call (a commit, say) is already issued.  A task created now
// might otherwise be cancelled before it ever runs (asyncio.run cancels every
// pending task once its main task is done), which would lose the commit and
// leave the connection open.
Ref spawnStarted(Ref coro, Ref* result = nullptr) {
    PyObject* yielded = nullptr;
    PySendResult r = PyIter_Send(coro.get(), Py_None, &yielded);
    if (r == PYGEN_ERROR) throwPending();
    Ref first = Ref::stealOrNull(yielded);
    if (r == PYGEN_RETURN) {
        if (result) *result = std::move(first);
        return Ref();
    }
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

// Runs `coro` (a coroutine object) to its end even when the caller is
// cancelled meanwhile: it is started at once and finished in a task of its
// own, and a cancellation of the caller waits for it, then is raised.  The
// coroutine's result is the result; its error the error (a cancellation
// wins over both).
Coro runToEnd(Ref coro) {
    Ref immediate;
    Local task = spawnStarted(std::move(coro), &immediate);
    if (!task) co_return immediate;
    LocalError cancellation;
    while (!isDone(task.get())) {
        try {
            co_await awaitPy(call(state.shield, task.get()));
        } catch (PyError& e) {
            if (!e.matches(state.cancelledError)) throw;
            cancellation = std::move(e);
        }
    }
    if (cancellation) {
        // The work's own error was logged or is not the caller's to see any
        // more: the caller is cancelled.
        if (!truthy(callMethod(task.get(), names.cancelled).get())) callMethod(task.get(), names.exception);
        cancellation.rethrow();
    }
    co_return callMethod(task.get(), "result");
}

// The idle aiosqlite connections (below).
bool mayKeepIdle(PyObject* connector);
void keepIdle(PyObject* connector, PyObject* con);

// ---------------------------------------------------------------------------
// Lost connections
// ---------------------------------------------------------------------------

// An end failure nobody awaits is logged: a lost connection as one warning
// that says so (the server has rolled back what was not committed; the
// task has its own error), any other failure with its traceback.
void logEndFailure(PyError&& failure, PyObject* task) {
    ExcInfo info(failure);
    try {
        Ref logger = moduleLogger();
        if (connectionLost(info.value.get())) {
            Ref message = str("the database connection of %r was lost (%r): the server rolls back what it had not "
                              "committed");
            callMethod(logger.get(), "warning", message.get(), task ? task : Py_None,
                       info.value ? info.value.get() : Py_None);
            return;
        }
        Ref error = getattr(logger.get(), "error");
        Ref keywords = Ref::steal(PyDict_New());
        check(PyDict_SetItemString(keywords.get(), "exc_info", info.value ? info.value.get() : Py_True));
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
// failure of the first step still closes or releases the connection (a
// pooled one that failed is closed first, so the pool does not hand it out
// again).  The first failure is raised when `report`; otherwise it is
// logged (a cancellation always passes on).
Coro endConnections(Ref ends, Ref task, bool rollback, bool report) {
    LocalError failure;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ends.get()); ++i) {
        Local pair = Ref::borrow(PyList_GET_ITEM(ends.get(), i));
        Local connector = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
        Local con = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1));
        const TaskConnections& kind = connectionsOf(connector.get());
        bool broken = false;
        // The first failure is kept; an interrupt or a cancellation that
        // comes later replaces an Exception kept before it.
        auto keep = [&](PyError& e) {
            if (!failure || (failure->isException() && !e.isException())) failure = std::move(e);
        };
        bool ended = false;
        try {
            Local reading = takeStreamCursor(con.get());
            if (reading) co_await awaitPy(callMethod(reading.get(), names.close));
            // An SQLite connection with no transaction open has nothing to
            // commit or roll back: no trip to its driver thread, unless a
            // statement cut off may still be running there (then only the
            // trip, which waits for it, tells the truth).
            int unsettled = kind.pooled ? 0 : PySet_Discard(state.unsettled, con.get());
            if (unsettled < 0) throwPending();
            if (kind.pooled || unsettled || truthy(getattr(con.get(), names.in_transaction).get()))
                co_await awaitPy(callMethod(con.get(), rollback ? names.rollback : names.commit));
            ended = true;
        } catch (PyError& e) {
            broken = kind.pooled;
            keep(e);
        }
        if (!kind.pooled) {
            try {
                leaveWriteGate(connector.get(), con.get(), task.get());
            } catch (PyError& e) {
                keep(e);
            }
        }
        try {
            if (kind.pooled) {
                if (broken) {
                    // psycopg's asyncio connection closes with an await.
                    Ref closing = callMethod(con.get(), names.close);
                    if (PyCoro_CheckExact(closing.get())) co_await awaitPy(std::move(closing));
                }
                co_await awaitPy(callMethod(asBase(connector.get())->_pool, names.release, con.get()));
            } else {
                if (ended && mayKeepIdle(connector.get())) {
                    // Clean before it waits: what a failed commit left open is rolled back.
                    if (truthy(getattr(con.get(), names.in_transaction).get()))
                        co_await awaitPy(callMethod(con.get(), names.rollback));
                    if (mayKeepIdle(connector.get())) {
                        keepIdle(connector.get(), con.get());
                        continue;
                    }
                }
                co_await awaitPy(callMethod(con.get(), names.close));
            }
        } catch (PyError& e) {
            keep(e);
        }
        forgetOpenConnection(con.get());
    }
    if (failure) {
        if (report || !failure->isException()) failure.rethrow();
        try {
            failure.rethrow();
        } catch (PyError& e) {
            // An Exception (checked above): logged, nobody awaits this end.
            logEndFailure(std::move(e), task.get());
        }
    }
    co_return Ref::none();
}

Ref endPair(PyObject* connector, PyObject* con) {
    Ref pair = tupleOf({connector, con});
    Ref list = Ref::steal(PyList_New(1));
    PyList_SET_ITEM(list.get(), 0, pair.release());
    return list;
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

bool endThreadsRunning() {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(state.endThreads); ++i)
        if (truthy(callMethod(PyList_GET_ITEM(state.endThreads, i), "is_alive").get())) return true;
    return false;
}

// The end a task made by a connector's task factory runs after its
// coroutine: an awaitable ending every connection the calling task holds
// (commit, or rollback when `failed`), or null when it holds none.  The end
// runs in a task of its own that the caller awaits shielded, so a
// cancellation cannot cut a commit in half.
Ref startTaskEnd(PyObject* task, bool failed) {
    PyObject* found = PyDict_GetItemWithError(state.taskConnections, task);
    if (!found) {
        checkError();
        return Ref();
    }
    Ref connectors = Ref::borrow(found);
    check(PyDict_DelItem(state.taskConnections, task));
    Ref ends = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(connectors.get()); ++i) {
        Ref connector = Ref::borrow(PyList_GET_ITEM(connectors.get(), i));
        Ref con = takeTaskConnection(connectionsOf(connector.get()).conMap(connector.get()), task);
        if (!con) continue;
        Ref pair = tupleOf({connector.get(), con.get()});
        check(PyList_Append(ends.get(), pair.get()));
    }
    if (PyList_GET_SIZE(ends.get()) == 0) return Ref();
    logTaskEnd(task);
    Ref ending = spawnStarted(
        toPython(endConnections(std::move(ends), Ref::borrow(task), failed, !failed), "task.<end>"));
    if (!ending) return Ref();
    return call(state.shield, ending.get());
}

// ---------------------------------------------------------------------------
// A bounded wait for a pooled connection
// ---------------------------------------------------------------------------

// Whether `future` completes only after `target` (a task) has ended: it is
// the task, a task that waits for it, a gather over it, or the future a
// TaskGroup or wait_for completes when the task ends.  (The links are the
// asyncio objects' own attributes; a shape not recognised counts as no.)
bool completesAfter(PyObject* future, PyObject* target, int depth) {
    if (!future || future == Py_None || depth > 16) return false;
    if (future == target) return true;
    auto attribute = [](PyObject* o, const char* name) {
        Ref value = Ref::stealOrNull(PyObject_GetAttrString(o, name));
        if (!value) PyErr_Clear();
        return value;
    };
    if (isInstance(future, state.taskType)) {
        Ref waiting = attribute(future, "_fut_waiter");
        return completesAfter(waiting.get(), target, depth + 1);
    }
    Ref children = attribute(future, "_children");
    if (children && PyList_Check(children.get())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(children.get()); ++i) {
            Ref child = Ref::borrow(PyList_GET_ITEM(children.get(), i));
            if (completesAfter(child.get(), target, depth + 1)) return true;
        }
        return false;
    }
    Ref callbacks = attribute(target, "_callbacks");
    if (!callbacks || !PyList_Check(callbacks.get())) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(callbacks.get()); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(callbacks.get(), i));
        Ref callback = PyTuple_Check(entry.get()) && PyTuple_GET_SIZE(entry.get()) > 0
                           ? Ref::borrow(PyTuple_GET_ITEM(entry.get(), 0))
                           : Ref::borrow(entry.get());
        Ref owner = attribute(callback.get(), "__self__");
        if (owner) {
            Ref completed = attribute(owner.get(), "_on_completed_fut");
            if (completed.get() == future) return true;
        }
        Ref args = attribute(callback.get(), "args");
        if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) > 0 &&
            PyTuple_GET_ITEM(args.get(), 0) == future)
            return true;
    }
    return false;
}

// Whether the pool's connections are all out with tasks that wait for
// `task`: its wait for one could then never end.
bool poolHeldByWaiters(PyObject* self, PyObject* pool, PyObject* task) {
    Ref size = getattr(pool, "size"), free = getattr(pool, "freesize");
    long out = PyLong_AsLong(size.get()) - PyLong_AsLong(free.get());
    if (PyErr_Occurred()) throwPending();
    PyObject* conMap = asAioMysql(self)->conMap;
    if (out <= 0 || PyDict_Size(conMap) != out) return false;
    Ref holders = Ref::steal(PyDict_Keys(conMap));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(holders.get()); ++i) {
        Ref holder = Ref::borrow(PyList_GET_ITEM(holders.get(), i));
        Ref waiting = Ref::stealOrNull(PyObject_GetAttrString(holder.get(), "_fut_waiter"));
        if (!waiting) {
            PyErr_Clear();
            return false;
        }
        if (!completesAfter(waiting.get(), task, 0)) return false;
    }
    return true;
}

bool poolExhausted(PyObject* pool) {
    Ref free = getattr(pool, "freesize");
    if (truthy(free.get())) return false;
    Ref maxsize = getattr(pool, "maxsize"), size = getattr(pool, "size");
    if (!truthy(maxsize.get())) return false;
    return check(PyObject_RichCompareBool(size.get(), maxsize.get(), Py_GE)) == 1;
}

// An awaitable as a coroutine (a task runs only coroutines).
Coro awaitAwaitable(Ref awaitable) { co_return co_await awaitPy(awaitable.get()); }

// The done-callback of an acquisition that was given up: a connection it
// got after all goes back to the pool.
PyObject* releaseIfAcquired(PyObject* pool, PyObject* task) noexcept {
    return entry([&] {
        if (truthy(callMethod(task, names.cancelled).get())) return Ref::none();
        if (truthy(callMethod(task, names.exception).get())) return Ref::none();
        Ref con = callMethod(task, "result");
        return callMethod(pool, names.release, con.get());
    });
}
PyMethodDef releaseIfAcquiredDef = {"release_if_acquired", releaseIfAcquired, METH_O,
                                    "gives back the connection of an acquisition that was given up"};

[[noreturn]] void raisePoolDeadlock(PyObject* pool, PyObject* task) {
    Ref name = callMethod(task, "get_name");
    Ref size = getattr(pool, "size");
    raise(state.deadlockError,
          "task %R needs a connection, but the pool's %S connections are all held by tasks that wait for it to end: "
          "it would wait forever.  Run the work inside their transaction block (async with transaction(), whose "
          "tasks share its connection), await it in the task that holds the connection, or raise maxsize",
          name.get(), size.get());
}

// A connection of the pool for `task`: at once when one is free or can be
// made; otherwise the first one given back within the connector's
// acquire_timeout, and refused at once when the connections are all held by
// tasks that wait for this one.
Coro acquirePooled(Ref self, Ref task) {
    Local pool = Ref::borrow(asBase(self.get())->_pool);
    if (!poolExhausted(pool.get())) co_return co_await awaitPy(callMethod(pool.get(), names.acquire));
    if (poolHeldByWaiters(self.get(), pool.get(), task.get())) raisePoolDeadlock(pool.get(), task.get());
    Local acquiring = newLoopTask(toPython(awaitAwaitable(callMethod(pool.get(), names.acquire)),
                                           "AioMysqlConnector.getCon.<acquire>").get());
    double deadline = monotonicSeconds() + asAioMysql(self.get())->acquireTimeout;
    bool deadlocked = false;
    try {
        while (!isDone(acquiring.get())) {
            double remaining = deadline - monotonicSeconds();
            if (remaining <= 0) break;
            Local waiting;
            {
                Ref limit = Ref::steal(PyFloat_FromDouble(remaining < 0.2 ? remaining : 0.2));
                Ref keywords = Ref::steal(PyDict_New());
                check(PyDict_SetItemString(keywords.get(), "timeout", limit.get()));
                Ref waitList = Ref::steal(PyList_New(0));
                check(PyList_Append(waitList.get(), acquiring.get()));
                Ref waitArgs = tupleOf({waitList.get()});
                waiting = callWith(state.waitFor, waitArgs.get(), keywords.get());
            }
            co_await awaitPy(waiting.take());
            if (!isDone(acquiring.get()) && poolHeldByWaiters(self.get(), pool.get(), task.get())) {
                deadlocked = true;
                break;
            }
        }
    } catch (PyError&) {
        // Given up (cancelled): a connection that arrives goes back.
        Ref giveBack = Ref::steal(PyCFunction_NewEx(&releaseIfAcquiredDef, pool.get(), nullptr));
        callMethod(acquiring.get(), names.add_done_callback, giveBack.get());
        callMethod(acquiring.get(), "cancel");
        throw;
    }
    if (isDone(acquiring.get())) co_return callMethod(acquiring.get(), "result");
    Ref giveBack = Ref::steal(PyCFunction_NewEx(&releaseIfAcquiredDef, pool.get(), nullptr));
    callMethod(acquiring.get(), names.add_done_callback, giveBack.get());
    callMethod(acquiring.get(), "cancel");
    if (deadlocked) raisePoolDeadlock(pool.get(), task.get());
    Ref size = getattr(pool.get(), "size");
    raise(state.poolTimeout,
          "no connection of the pool came free within acquire_timeout=%s seconds (all %S are held by running "
          "tasks)",
          secondsText(asAioMysql(self.get())->acquireTimeout).c_str(), size.get());
}

}  // namespace

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
    if (isDone(holder.get())) return;
    Ref con = heldConnection(asAioSqlite(self)->conMap, holder.get());
    if (!con || !truthy(getattr(con.get(), names.in_transaction).get())) return;
    Ref name = callMethod(holder.get(), "get_name");
    raise(state.deadlockError,
          "this task would wait for the open write transaction of task %R on the same SQLite database, and that "
          "task created it and commits only when it ends: if it waits for this task, neither can go on.  Commit "
          "those writes first (run them in a task of their own: await asyncio.create_task(...), or in a "
          "transaction block: async with transaction(), whose tasks share its connection), or await this write "
          "in that task itself",
          name.get());
}

namespace {

// A block that begins takes SQLite's write lock, so it waits for any other
// connection's open write.  When a task holding one waits for this task
// (it awaits it, a gather or TaskGroup over it), neither can go on: refused
// at once, whichever task created which.
void refuseBlockUnderWaitingWrite(PyObject* self, PyObject* task) {
    PyObject* conMap = asAioSqlite(self)->conMap;
    if (!PyDict_Check(conMap) || PyDict_GET_SIZE(conMap) == 0) return;
    Ref holders = Ref::steal(PyDict_Items(conMap));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(holders.get()); ++i) {
        Ref pair = Ref::borrow(PyList_GET_ITEM(holders.get(), i));
        Ref holder = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
        Ref con = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1));
        if (holder.get() == task || !truthy(getattr(con.get(), names.in_transaction).get())) continue;
        Ref waiting = Ref::stealOrNull(PyObject_GetAttrString(holder.get(), "_fut_waiter"));
        if (!waiting) {
            PyErr_Clear();
            continue;
        }
        if (!completesAfter(waiting.get(), task, 0)) continue;
        Ref name = callMethod(holder.get(), "get_name");
        raise(state.deadlockError,
              "this transaction block would wait for the open write transaction of task %R on the same SQLite "
              "database, and that task waits for this one: neither can go on.  Start this work inside that "
              "task's transaction block (its tasks share its connection), or let that task commit first",
              name.get());
    }
}

}  // namespace

void markUnsettled(PyObject* con) { check(PySet_Add(state.unsettled, con)); }

void markOpenWrite(PyObject* con, PyObject* task) {
    if (!truthy(getattr(con, names.in_transaction).get())) return;
    PyObject* found = nullptr;
    check(PyContextVar_Get(state.writeHolder, nullptr, &found));
    Ref holder = Ref::stealOrNull(found);
    if (holder.get() == task) return;
    Ref token = Ref::steal(PyContextVar_Set(state.writeHolder, task));
}

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
// Idle aiosqlite connections
// ---------------------------------------------------------------------------

// A task's aiosqlite connection, once committed (or rolled back) at the end
// of the task, waits here for the next task instead of being closed: opening
// one costs a driver thread and a connect, far more than a statement.  A
// connection kept is clean (no transaction open) and keeps only what a
// connection keeps between transactions (PRAGMAs a task set, for one).  At
// most `size` wait; the others are closed.  The loop's end closes them: the
// pool registers with the loop's async-generator hook when it first keeps a
// connection, so the loop's shutdown_asyncgens() (asyncio.run does it) awaits
// its aclose().  Otherwise connector.close() or the end of the program
// closes them (they stay registered as open connections until then).
//
// The SELECTs of tasks that hold no connection of their own (they have not
// written, and are in no transaction block) run on one shared reader, one
// after another on its driver thread: the first of them takes a waiting
// connection for that, and later ones use it (until one is waiting, they
// read on connections of their own).  A task that has not written has no
// transaction open, so each of its reads sees what is committed, on
// whichever connection it runs; the reader spares such a task a connection
// of its own (and the trip of its end).  It closes with the idle ones, and
// is not counted in pool_size.  A reader busy with a long statement (one
// queued, none finished for a while) is passed by: the reads that come then
// take connections of their own, as they would without a reader, instead of
// queueing behind it.
struct IdleConnectionsObject {
    PyObject_HEAD
    PyObject* connections;  // list, the most recently kept last
    PyObject* loop;         // the loop whose end closes them, or None
    PyObject* reader;       // the shared reader, or None
    PyObject* readerLoad;   // its load (a capsule of ReaderLoad), or None
    PyObject* writer;       // the connection holding the write gate, or None
    PyObject* writeWaiters; // futures of the tasks waiting for the write gate
    PyObject* weakrefs;
    int size;
    int ended;  // the loop's end closed them: its later ends close theirs
};

namespace {

bool driverThreadAlive(PyObject* con);

const size_t idleOffsets[] = {offsetof(IdleConnectionsObject, connections), offsetof(IdleConnectionsObject, loop),
                               offsetof(IdleConnectionsObject, reader), offsetof(IdleConnectionsObject, writer),
                               offsetof(IdleConnectionsObject, writeWaiters), offsetof(IdleConnectionsObject, readerLoad)};
const FieldList idleFields{idleOffsets, 6};

IdleConnectionsObject* asIdle(PyObject* o) { return reinterpret_cast<IdleConnectionsObject*>(o); }

void IdleConnections_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (asIdle(self)->weakrefs) PyObject_ClearWeakRefs(self);
    clearFields(self, idleFields);
    tp->tp_free(self);
    Py_DECREF(tp);
}

Coro closeIdleConnections(Ref idle) {
    Local waiting = Ref::borrow(asIdle(idle.get())->connections);
    assignField(asIdle(idle.get())->connections, Ref::steal(PyList_New(0)));
    if (asIdle(idle.get())->reader != Py_None) {
        check(PyList_Append(waiting.get(), asIdle(idle.get())->reader));
        assignField(asIdle(idle.get())->reader, Py_None);
        assignField(asIdle(idle.get())->readerLoad, Py_None);
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(waiting.get()); ++i) {
        Local con = Ref::borrow(PyList_GET_ITEM(waiting.get(), i));
        try {
            co_await awaitPy(callMethod(con.get(), names.close));
        } catch (PyError& e) {
            if (!e.isException()) throw;  // a failed close leaves nothing to do
        }
        forgetOpenConnection(con.get());
    }
    co_return Ref::none();
}

// The loop's end: the hook's aclose().
Ref IdleConnections_aclose(PyObject* self) {
    asIdle(self)->ended = 1;
    return toPython(closeIdleConnections(Ref::borrow(self)), "AioSqliteConnector.<idle>.aclose");
}

PyMethodDef idleMethods[] = {
    Q_NOARGS("aclose", IdleConnections_aclose, "aclose() -> awaitable; closes the idle connections (the loop ends)"),
    {nullptr, nullptr, 0, nullptr},
};
PyMemberDef idleMembers[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(IdleConnectionsObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
PyType_Slot idleSlots[] = {
    {Py_tp_traverse, (void*)traverseObject<idleFields>},
    {Py_tp_clear, (void*)clearObject<idleFields>},
    {Py_tp_dealloc, (void*)IdleConnections_dealloc},
    {Py_tp_methods, idleMethods},
    {Py_tp_members, idleMembers},
    {Py_tp_doc, (void*)"The open aiosqlite connections of a connector waiting for their next task."},
    {0, nullptr},
};
PyType_Spec idleSpec = {"Quillon.DB.Connector.IdleConnections", sizeof(IdleConnectionsObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, idleSlots};
PyTypeObject* idleType = nullptr;

// The connector's pool, or null when it keeps none.
IdleConnectionsObject* idleOf(PyObject* connector) {
    PyObject* idle = asAioSqlite(connector)->idle;
    if (!idle || Py_TYPE(idle) != idleType) return nullptr;
    return asIdle(idle);
}

bool onConnectorLoop(PyObject* connector) {
    Ref loop = call(state.runningLoopOrNone);
    return loop.get() == asAioSqlite(connector)->loop;
}

// An idle connection for a new task, or null.
Ref takeIdleConnection(PyObject* connector) {
    IdleConnectionsObject* idle = idleOf(connector);
    if (!idle || idle->ended || !onConnectorLoop(connector)) return Ref();
    Ref connections = Ref::borrow(idle->connections);
    while (Py_ssize_t n = PyList_GET_SIZE(connections.get())) {
        Ref con = Ref::borrow(PyList_GET_ITEM(connections.get(), n - 1));
        check(PyList_SetSlice(connections.get(), n - 1, n, nullptr));
        if (driverThreadAlive(con.get())) return con;
        forgetOpenConnection(con.get());
    }
    return Ref();
}

// Whether a task's connection, its transaction ended, may wait for the next
// task: the connector is open, its pool has room, and this is the
// connector's loop (an end run on a loop of its own closes).
bool mayKeepIdle(PyObject* connector) {
    IdleConnectionsObject* idle = idleOf(connector);
    if (!idle || idle->ended || asAioSqlite(connector)->closed || !onConnectorLoop(connector)) return false;
    return PyList_GET_SIZE(idle->connections) < idle->size;
}

void keepIdle(PyObject* connector, PyObject* con) {
    IdleConnectionsObject* idle = idleOf(connector);
    Ref held = Ref::borrow(reinterpret_cast<PyObject*>(idle));
    if (idle->loop != asAioSqlite(connector)->loop) {
        assignField(idle->loop, asAioSqlite(connector)->loop);
        // The running loop's hook (sys.get_asyncgen_hooks().firstiter) holds
        // the pool weakly and calls its aclose() when the loop shuts down its
        // asynchronous generators.
        Ref hooks = call(Ref::borrow(PySys_GetObject("get_asyncgen_hooks")).get());
        Ref firstIter = Ref::steal(PySequence_GetItem(hooks.get(), 0));
        if (firstIter.get() != Py_None) call(firstIter.get(), held.get());
    }
    check(PyList_Append(idle->connections, con));
}

// Whether an aiosqlite connection still takes statements (close() and stop()
// end that before its driver thread ends).
bool takesStatements(PyObject* con) {
    static const Constant running = interned("_running");
    Ref flag = Ref::stealOrNull(PyObject_GetAttr(con, running.get()));
    if (!flag) {
        PyErr_Clear();
        return driverThreadAlive(con);
    }
    return truthy(flag.get());
}

}  // namespace

namespace {
Ref joinedBlockConnection(PyObject* connector);
}

// The reader's load: its statements queued and not finished (counted by the
// trips, on the loop's thread when queued and on the driver's when done,
// both holding the interpreter), and when the last one finished.
namespace {

struct ReaderLoad {
    long pending = 0;
    double lastDone = 0;
};
const char* const readerLoadName = "Quillon.DB.Connector.ReaderLoad";
constexpr double kReaderStall = 0.05;  // seconds without progress that make a reader busy

ReaderLoad* loadOf(PyObject* capsule) {
    return static_cast<ReaderLoad*>(PyCapsule_GetPointer(capsule, readerLoadName));
}

Ref newReaderLoad() {
    auto* load = new ReaderLoad();
    PyObject* capsule = PyCapsule_New(load, readerLoadName, [](PyObject* c) {
        delete static_cast<ReaderLoad*>(PyCapsule_GetPointer(c, readerLoadName));
    });
    if (!capsule) {
        delete load;
        throwPending();
    }
    return Ref::steal(capsule);
}

}  // namespace

void readerTripQueued(PyObject* load) {
    ReaderLoad* l = loadOf(load);
    if (!l) throwPending();
    if (l->pending++ == 0) l->lastDone = monotonicSeconds();
}

void readerTripDone(PyObject* load) noexcept {
    ReaderLoad* l = static_cast<ReaderLoad*>(PyCapsule_GetPointer(load, readerLoadName));
    if (!l) {
        PyErr_Clear();
        return;
    }
    if (l->pending > 0) --l->pending;
    l->lastDone = monotonicSeconds();
}

// The shared reader for a SELECT of `task`, or null when the task reads on
// a connection of its own: it holds one (it wrote, or asked for it), it is in
// a transaction block, or the connector keeps no reader (yet, or at all:
// pool_size=0, closed, another loop).
Ref sharedReader(PyObject* connector, PyObject* task, Ref* load) {
    IdleConnectionsObject* idle = idleOf(connector);
    if (!idle || idle->ended || asAioSqlite(connector)->closed) return Ref();
    if (idle->reader == Py_None && PyList_GET_SIZE(idle->connections) == 0) return Ref();
    if (heldConnection(asAioSqlite(connector)->conMap, task)) return Ref();
    if (joinedBlockConnection(connector) || !onConnectorLoop(connector)) return Ref();
    Ref held = Ref::borrow(reinterpret_cast<PyObject*>(idle));
    if (idle->reader != Py_None) {
        Ref reader = Ref::borrow(idle->reader);
        if (takesStatements(reader.get())) {
            ReaderLoad* l = loadOf(idle->readerLoad);
            if (!l) throwPending();
            if (l->pending > 0 && monotonicSeconds() - l->lastDone > kReaderStall) return Ref();
            *load = Ref::borrow(idle->readerLoad);
            return reader;
        }
        assignField(idle->reader, Py_None);
        assignField(idle->readerLoad, Py_None);
        forgetOpenConnection(reader.get());
    }
    Ref waiting = takeIdleConnection(connector);
    if (waiting) {
        assignField(idle->readerLoad, newReaderLoad());
        assignField(idle->reader, waiting.get());
        *load = Ref::borrow(idle->readerLoad);
    }
    return waiting;
}

Ref newIdleConnections(int size) {
    Ref idle = Ref::steal(PyType_GenericAlloc(idleType, 0));
    initFieldsNone(idle.get(), idleFields);
    assignField(asIdle(idle.get())->connections, Ref::steal(PyList_New(0)));
    assignField(asIdle(idle.get())->writeWaiters, Ref::steal(PyList_New(0)));
    asIdle(idle.get())->size = size;
    return idle;
}

// ---------------------------------------------------------------------------
// The write gate
// ---------------------------------------------------------------------------
//
// SQLite lets one connection write at a time; another one that tries waits
// in the driver's busy handler, which sleeps in growing steps (up to 100 ms)
// between its tries, so concurrent writing tasks spend most of their time
// asleep.  The tasks of one connector take turns before they write instead:
// a task's connection with no transaction open asks for the gate before its
// first write and holds it until its transaction ends (the task's end commits
// or rolls back), when the first task waiting gets it at once.  A gate whose
// holder has no transaction open any more (it committed on its own) is free;
// a waiter looks again every 0.1 s for that.  A connection already in a
// transaction goes on without waiting (it may hold SQLite's lock: waiting for
// the gate could wait for itself).  The wait is bounded by the connector's
// timeout and then fails as SQLite's own wait does: "database is locked".
// Other processes, and transaction blocks, still meet at SQLite's lock.

namespace {

bool inTransaction(PyObject* con) {
    Ref open = Ref::stealOrNull(PyObject_GetAttr(con, names.in_transaction));
    if (!open) {
        // A connection closed under its holder: nothing held any more.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throwPending();
        PyErr_Clear();
        return false;
    }
    return truthy(open.get());
}

// The gate's holder is the task whose write statement is under way (it
// waits for the gate before it takes a connection, so that the connection a
// writer gives back serves the next one instead of a new one for each), or,
// between statements, the connection whose transaction that write opened.
bool gateFreeFor(IdleConnectionsObject* idle, PyObject* claimant) {
    if (idle->writer == Py_None || idle->writer == claimant) return true;
    Ref holder = Ref::borrow(idle->writer);
    if (PyObject_TypeCheck(holder.get(), reinterpret_cast<PyTypeObject*>(state.futureType))) return isDone(holder.get());
    return !inTransaction(holder.get());
}

void forgetWaiter(IdleConnectionsObject* idle, PyObject* future) {
    Ref waiters = Ref::borrow(idle->writeWaiters);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(waiters.get()); ++i)
        if (PyList_GET_ITEM(waiters.get(), i) == future) {
            check(PyList_SetSlice(waiters.get(), i, i + 1, nullptr));
            return;
        }
}

// Wakes the first task still waiting for the gate.
void wakeNextWriter(IdleConnectionsObject* idle) {
    Ref waiters = Ref::borrow(idle->writeWaiters);
    while (PyList_GET_SIZE(waiters.get()) > 0) {
        Ref next = Ref::borrow(PyList_GET_ITEM(waiters.get(), 0));
        check(PyList_SetSlice(waiters.get(), 0, 1, nullptr));
        if (isDone(next.get())) continue;
        callMethod(next.get(), names.set_result, Py_None);
        return;
    }
}

Coro awaitWriteGate(Ref connector, Ref con) {  // `con`: the claiming task
    Local held = Ref::borrow(asAioSqlite(connector.get())->idle);
    IdleConnectionsObject* idle = asIdle(held.get());
    double deadline = monotonicSeconds() + asAioSqlite(connector.get())->timeout;
    for (;;) {
        if (gateFreeFor(idle, con.get())) {
            assignField(idle->writer, con.get());
            co_return Ref::none();
        }
        double remaining = deadline - monotonicSeconds();
        if (remaining <= 0) raise(state.sqliteOperationalError, "%s", "database is locked");
        Local future = callMethod(call(state.runningLoop).get(), names.create_future);
        check(PyList_Append(idle->writeWaiters, future.get()));
        Local waiting;
        {
            Ref limit = Ref::steal(PyFloat_FromDouble(remaining < 0.1 ? remaining : 0.1));
            Ref keywords = Ref::steal(PyDict_New());
            check(PyDict_SetItemString(keywords.get(), "timeout", limit.get()));
            Ref waitList = Ref::steal(PyList_New(0));
            check(PyList_Append(waitList.get(), future.get()));
            Ref waitArgs = tupleOf({waitList.get()});
            waiting = callWith(state.waitFor, waitArgs.get(), keywords.get());
        }
        try {
            co_await awaitPy(waiting.take());
        } catch (PyError&) {
            // Given up (cancelled): a turn given to it goes to the next one.
            forgetWaiter(idle, future.get());
            if (isDone(future.get()) && !truthy(callMethod(future.get(), names.cancelled).get())) wakeNextWriter(idle);
            throw;
        }
        forgetWaiter(idle, future.get());
    }
}

}  // namespace

Ref enterWriteGate(PyObject* connector, PyObject* con, PyObject* task) {
    IdleConnectionsObject* idle = idleOf(connector);
    if (!idle || !onConnectorLoop(connector) || idle->writer == task) return Ref();
    if (!con) {
        // Before the task takes a connection: only a task that holds none
        // and is in no block waits here.
        if (heldConnection(asAioSqlite(connector)->conMap, task) || joinedBlockConnection(connector)) return Ref();
    } else if (idle->writer != con && inTransaction(con)) {
        return Ref();
    }
    if ((con && idle->writer == con) || (gateFreeFor(idle, task) && PyList_GET_SIZE(idle->writeWaiters) == 0)) {
        assignField(idle->writer, task);
        return Ref();
    }
    return toPython(awaitWriteGate(Ref::borrow(connector), Ref::borrow(task)), "AioSqliteConnector.<write gate>");
}

void settleWriteGate(PyObject* connector, PyObject* con, PyObject* task) {
    IdleConnectionsObject* idle = idleOf(connector);
    if (!idle || idle->writer != task) return;
    if (inTransaction(con)) {
        assignField(idle->writer, con);
        return;
    }
    assignField(idle->writer, Py_None);
    if (onConnectorLoop(connector)) wakeNextWriter(idle);
}

void leaveWriteGate(PyObject* connector, PyObject* con, PyObject* task) {
    IdleConnectionsObject* idle = idleOf(connector);
    if (!idle || (idle->writer != con && idle->writer != task)) return;
    assignField(idle->writer, Py_None);
    // An end run away from the connector's loop (on a thread of its own)
    // cannot touch the loop's futures: the waiters find the gate free when
    // they look again.
    if (onConnectorLoop(connector)) wakeNextWriter(idle);
}

int idleConnectionsSize(PyObject* connector) {
    IdleConnectionsObject* idle = idleOf(connector);
    return idle ? idle->size : 0;
}

Coro closeIdleConnectionsOf(Ref connector) {
    Local idle = Ref::borrow(asAioSqlite(connector.get())->idle);
    if (Py_TYPE(idle.get()) == idleType)
        co_await awaitPy(toPython(closeIdleConnections(Ref::borrow(idle.get())), "AioSqliteConnector.close.<idle>"));
    co_return Ref::none();
}

// ---------------------------------------------------------------------------
// Opening and ending
// ---------------------------------------------------------------------------

Ref pendingPool(PyObject* self) {
    if (asBase(self)->_pool != Py_None) return Ref();
    PyObject* creating = asAioMysql(self)->poolTask;
    if (!creating || creating == Py_None)
        raise(PyExc_RuntimeError, "the connector has no pool: it was not initialised");
    return call(state.shield, creating);
}

namespace {
Ref joinedBlockConnection(PyObject* connector);
}

Coro taskConnection(Ref self, const TaskConnections* kind) {
    // The SQLite driver is imported before anything else is asked.
    PyObject* aiosqlite = kind->pooled ? nullptr : aiosqliteModule();
    // Inside a transaction block: the block's connection.
    if (Ref joined = joinedBlockConnection(self.get())) co_return joined;
    Local task = requireCurrentTask("getCon");
    PyObject* conMap = kind->conMap(self.get());
    if (!PyDict_Check(conMap)) raise(PyExc_TypeError, "the connector was not initialised (conMap is not a dict)");
    if (Ref held = heldConnection(conMap, task.get()); held && truthy(held.get())) co_return held;
    if (*kind->closed(self.get())) raise(PyExc_RuntimeError, "%s is closed", Py_TYPE(self.get())->tp_name);

    Local con;
    if (!kind->pooled) con = takeIdleConnection(self.get());
    if (con) {
        // an idle connection: already registered as open
    } else if (kind->pooled) {
        if (Ref waiting = pendingPool(self.get())) co_await awaitPy(std::move(waiting));
        con = co_await awaitPy(toPython(acquirePooled(Ref::borrow(self.get()), Ref::borrow(task.get())),
                                        "AioMysqlConnector.getCon.<pool>"));
        check(PyDict_SetItem(state.openConnections, con.get(), self.get()));
    } else {
        // Known before it is awaited: its driver thread starts with the await.
        Local opening;
        {
            Ref keywords = Ref::steal(PyDict_New());
            Ref timeout = Ref::steal(PyFloat_FromDouble(asAioSqlite(self.get())->timeout));
            check(PyDict_SetItemString(keywords.get(), "timeout", timeout.get()));
            Ref args = tupleOf({asAioSqlite(self.get())->path});
            opening = callWith(getattr(aiosqlite, "connect").get(), args.get(), keywords.get());
        }
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
    co_return con.take();
}

Coro streamConnection(Ref self) {
    if (asAioMysql(self.get())->closed) raise(PyExc_RuntimeError, "%s is closed", Py_TYPE(self.get())->tp_name);
    if (Ref waiting = pendingPool(self.get())) co_await awaitPy(std::move(waiting));
    Local task = requireCurrentTask("iterate");
    if (Ref held = heldConnection(asAioMysql(self.get())->conMap, task.get()); held && truthy(held.get()))
        co_return tupleOf({held.get(), Py_False});
    Local con = co_await awaitPy(toPython(acquirePooled(Ref::borrow(self.get()), Ref::borrow(task.get())),
                                          "AioMysqlConnector.iterate.<pool>"));
    co_return tupleOf({con.get(), Py_True});
}

// The task is named in the connector's debug log (not on standard output,
// which belongs to the application).
void logTaskEnd(PyObject* task) {
    static const Constant message = str("task finished, ending its connection: %r");
    callMethod(moduleLogger().get(), "debug", message.get(), task);
}

// When the task did not end its connection itself, it is ended now
// (rollback when the task failed or was cancelled).  A pooled connection
// belongs to the loop and ends there.
void endFinishedTaskConnection(PyObject* self, PyObject* task, const TaskConnections* kind) {
    Ref con = takeTaskConnection(kind->conMap(self), task);
    if (!con) return;
    forgetTaskConnector(task, self);
    bool rollback = taskFailed(task);
    Ref ending = toPython(endConnections(endPair(self, con.get()), Ref::borrow(task), rollback, false), kind->endName);
    if (kind->pooled)
        spawnStarted(std::move(ending));
    else
        endInThread(std::move(ending));
}

Coro endCallerConnection(Ref self, const TaskConnections* kind) {
    Local task = call(state.currentTask);
    if (task.get() == Py_None) co_return Ref::none();
    Ref con = takeTaskConnection(kind->conMap(self.get()), task.get());
    if (!con) co_return Ref::none();
    forgetTaskConnector(task.get(), self.get());
    Ref ends = endPair(self.get(), con.get());
    con.reset();
    co_await awaitPy(toPython(endConnections(std::move(ends), Ref::borrow(task.get()), false, true), kind->endName));
    co_return Ref::none();
}

// Waits for the ends already started on the running loop (tasks that are
// done but whose connection is still being committed and closed).  Tasks
// still running are not waited for: they end their connections when they end.
Coro waitStartedEnds() {
    Local started = Ref::steal(PyList_New(0));
    {
        Ref loop = call(state.runningLoop);
        Ref pending = Ref::steal(PySequence_List(state.endTasks));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pending.get()); ++i) {
            Ref task = Ref::borrow(PyList_GET_ITEM(pending.get(), i));
            if (callMethod(task.get(), "get_loop").get() == loop.get()) check(PyList_Append(started.get(), task.get()));
        }
    }
    if (PyList_GET_SIZE(started.get()) > 0) co_await awaitPy(call(state.waitFor, started.get()));
    static const Constant pause = Ref::steal(PyFloat_FromDouble(0.005));
    while (endThreadsRunning()) co_await awaitPy(call(state.asyncioSleep, pause.get()));
    co_return Ref::none();
}

// ---------------------------------------------------------------------------
// The task factory
// ---------------------------------------------------------------------------

namespace {

void registerChildTask(PyObject* task);

// The coroutine of a task, held by the task's body until the body starts.
// A task cancelled before its first step never starts its body: the
// coroutine is then closed when the body goes, as a task running it
// directly would have, so it is not reported as never awaited.  (Until its
// first step a task is held by the loop that scheduled that step, so this
// reference, which the garbage collector does not see, cannot be part of
// an unreachable cycle; the body moves it into a rooted local at once.)
class TaskCoroutine {
public:
    explicit TaskCoroutine(PyObject* coro) noexcept : coro_(Ref::borrow(coro)) {}
    TaskCoroutine(TaskCoroutine&& other) noexcept : coro_(std::move(other.coro_)) {}
    TaskCoroutine(const TaskCoroutine&) = delete;
    TaskCoroutine& operator=(const TaskCoroutine&) = delete;
    ~TaskCoroutine() {
        if (!coro_) return;
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyObject* done = PyObject_CallMethod(coro_.get(), "close", nullptr);
        if (done)
            Py_DECREF(done);
        else
            PyErr_WriteUnraisable(coro_.get());
        PyErr_Restore(t, v, tb);
    }
    Ref take() noexcept { return std::move(coro_); }

private:
    Ref coro_;
};

// The body of every task made on a connector's loop: the task's coroutine,
// then the end of the connections it opened (commit, or rollback when the
// coroutine raised or was cancelled), inside the task.  The task is
// therefore done only once its work is committed and its connections are
// closed, and a failed commit is the task's exception.
Coro runTask(TaskCoroutine owned) {
    Local coro = owned.take();
    Local result;
    LocalError failure;
    try {
        result = co_await awaitPy(coro.get());
    } catch (PyError& e) {
        // Closed: nothing may be awaited any more (the done-callback or the
        // end of the program ends the connections).
        if (e.matches(PyExc_GeneratorExit)) throw;
        failure = std::move(e);
    }
    Local task = call(state.currentTask);
    if (task.get() != Py_None) {
        if (Ref ending = startTaskEnd(task.get(), static_cast<bool>(failure))) co_await awaitPy(std::move(ending));
    }
    if (failure) failure.rethrow();
    co_return result.take();
}

// A connector's loop makes its tasks through this factory: each task runs
// its coroutine inside `runTask`, which ends the task's connections before
// the task is done.  A factory the loop had before is kept and called with
// the wrapped coroutine.  A task made inside an awaited transaction block is
// one of the block's tasks.
Ref taskFactoryCall(PyObject* previous, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 2) raise(PyExc_TypeError, "a task factory takes (loop, coro), got %zd positional arguments", nargs);
    PyObject* loop = args[0];
    PyObject* coro = args[1];
    // Coroutines of `async def` and of the package are known at once; other
    // objects are asked the way asyncio asks.
    bool wrapped = PyCoro_CheckExact(coro) || Py_TYPE(coro) == coro_detail::coroutineType ||
                   truthy(call(state.isCoroutine, coro).get());
    Ref body;
    if (wrapped)
        body = toPython(runTask(TaskCoroutine(coro)), "Quillon.DB.Connector.run_task");
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
    registerChildTask(task.get());
    return task;
}

PyMethodDef taskFactoryDef = Q_FAST("task_factory", taskFactoryCall,
                                    "task_factory(loop, coro, **kwargs) -> a task that ends its database connections "
                                    "before it is done");

}  // namespace

void installTaskFactory(PyObject* loop) {
    if (!loop || loop == Py_None || !isInstance(loop, state.abstractLoop)) return;
    Ref current = callMethod(loop, "get_task_factory");
    if (PyCFunction_Check(current.get()) && PyCFunction_GET_FUNCTION(current.get()) == taskFactoryDef.ml_meth) return;
    Ref factory = Ref::steal(PyCFunction_NewEx(&taskFactoryDef, current.get(), nullptr));
    callMethod(loop, "set_task_factory", factory.get());
}

// ===========================================================================
// Per block: transaction()
// ===========================================================================

namespace {

enum BlockState : int { BLOCK_NEW = 0, BLOCK_OPEN = 1, BLOCK_ENDING = 2, BLOCK_ENDED = 3 };

struct TransactionObject {
    PyObject_HEAD
    PyObject* connector;  // None until entered without one given
    PyObject* parent;     // the enclosing block of the same connector, or None
    PyObject* outer;      // the innermost block around it of any connector, or None
    PyObject* con;        // awaited blocks: the connection; None for a thread's block
    PyObject* task;       // awaited blocks: the task that entered it
    PyObject* token;      // the context variable's token of its entry
    PyObject* callbacks;  // onCommit callbacks (a list), or None
    PyObject* children;   // tasks created inside an awaited block (a list), or None
    PyObject* waiters;    // futures waiting for the block's turn (a list), or None
    int state;
    int depth;    // 0: the outermost block of its connection
    int busy;     // a statement or a nested block holds the turn
    int began;    // outermost: began the transaction (not a savepoint in the task's open one)
    int awaited;
};

TransactionObject* asBlock(PyObject* o) { return reinterpret_cast<TransactionObject*>(o); }

const size_t transactionOffsets[] = {
    offsetof(TransactionObject, connector), offsetof(TransactionObject, parent),
    offsetof(TransactionObject, outer),     offsetof(TransactionObject, con),
    offsetof(TransactionObject, task),      offsetof(TransactionObject, token),
    offsetof(TransactionObject, callbacks), offsetof(TransactionObject, children),
    offsetof(TransactionObject, waiters)};
const FieldList transactionFields{transactionOffsets, 9};



// The innermost block in the caller's context (any connector), or null.
Ref innermostBlock() {
    PyObject* found = nullptr;
    check(PyContextVar_Get(state.currentBlock, nullptr, &found));
    Ref block = Ref::stealOrNull(found);
    if (block && block.get() == Py_None) return Ref();
    return block;
}

// The innermost block of `connector` in the caller's context, or null.
Ref blockOf(PyObject* connector) {
    Ref block = innermostBlock();
    while (block && asBlock(block.get())->connector != connector) {
        PyObject* outer = asBlock(block.get())->outer;
        block = outer == Py_None ? Ref() : Ref::borrow(outer);
    }
    return block;
}

[[noreturn]] void raiseEndedBlock() {
    raise(state.transactionError,
          "this task was started inside a transaction block that has ended: its statements cannot run in that "
          "block's transaction any more.  A block's tasks must end before the block does (await them: gather, "
          "TaskGroup, await task)");
}

// The open awaited block of `connector` the caller runs in, or null; one
// that has ended is refused.
Ref joinedBlock(PyObject* connector) {
    PyObject* found = nullptr;
    check(PyContextVar_Get(state.currentBlock, nullptr, &found));
    if (!found) return Ref();
    Ref any = Ref::stealOrNull(found);
    if (any.get() == Py_None) return Ref();
    Ref block = blockOf(connector);
    if (!block || !asBlock(block.get())->awaited) return Ref();
    if (asBlock(block.get())->state != BLOCK_OPEN) raiseEndedBlock();
    return block;
}

Ref joinedBlockConnection(PyObject* connector) {
    Ref block = joinedBlock(connector);
    return block ? Ref::borrow(asBlock(block.get())->con) : Ref();
}

// A task made while an awaited block is open in the caller's context is one
// of the block's tasks: the block does not end before it.
void registerChildTask(PyObject* task) {
    Ref block = innermostBlock();
    if (!block || !asBlock(block.get())->awaited || asBlock(block.get())->state != BLOCK_OPEN) return;
    auto* b = asBlock(block.get());
    if (b->children == Py_None) assignField(b->children, Ref::steal(PyList_New(0)));
    // Finished children are dropped as new ones come, so a long block that
    // starts many short tasks keeps only those still running.
    Ref children = Ref::borrow(b->children);
    if (PyList_GET_SIZE(children.get()) >= 64) {
        Ref running = Ref::steal(PyList_New(0));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(children.get()); ++i) {
            Ref child = Ref::borrow(PyList_GET_ITEM(children.get(), i));
            if (!isDone(child.get())) check(PyList_Append(running.get(), child.get()));
        }
        assignField(b->children, running.get());
    }
    check(PyList_Append(b->children, task));
}

// ---------------------------------------------------------------------------
// The block's turn: one statement (or nested block) at a time
// ---------------------------------------------------------------------------

// Takes the block's turn: null when it was free, otherwise a new future
// queued for it (granted with a result, refused with an exception).
Ref requestTurn(PyObject* block) {
    auto* b = asBlock(block);
    if (!b->busy && (b->waiters == Py_None || PyList_GET_SIZE(b->waiters) == 0)) {
        b->busy = 1;
        return Ref();
    }
    Ref loop = call(state.runningLoop);
    Ref future = callMethod(loop.get(), names.create_future);
    if (b->waiters == Py_None) assignField(b->waiters, Ref::steal(PyList_New(0)));
    check(PyList_Append(b->waiters, future.get()));
    return future;
}

// Gives the turn to the next waiter still waiting, or frees it.
void passTurn(PyObject* block) {
    auto* b = asBlock(block);
    while (b->waiters != Py_None && PyList_GET_SIZE(b->waiters) > 0) {
        Ref next = Ref::borrow(PyList_GET_ITEM(b->waiters, 0));
        check(PyList_SetSlice(b->waiters, 0, 1, nullptr));
        if (isDone(next.get())) continue;
        callMethod(next.get(), names.set_result, Py_None);
        return;
    }
    b->busy = 0;
}

// A waiter that stops waiting (cancelled, or refused): out of the queue,
// and a turn it was granted meanwhile goes on to the next.
void abandonTurn(PyObject* block, PyObject* future) {
    auto* b = asBlock(block);
    if (b->waiters != Py_None) {
        Py_ssize_t at = PySequence_Index(b->waiters, future);
        if (at >= 0)
            check(PyList_SetSlice(b->waiters, at, at + 1, nullptr));
        else
            PyErr_Clear();
    }
    if (isDone(future) && !truthy(callMethod(future, names.cancelled).get()) &&
        callMethod(future, names.exception).get() == Py_None)
        passTurn(block);
}

// Refuses every waiter: the block is ending.
void refuseWaiters(PyObject* block) {
    auto* b = asBlock(block);
    if (b->waiters == Py_None) return;
    Ref waiters = Ref::borrow(b->waiters);
    assignField(b->waiters, Py_None);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(waiters.get()); ++i) {
        Ref waiter = Ref::borrow(PyList_GET_ITEM(waiters.get(), i));
        if (isDone(waiter.get())) continue;
        Ref error = call(state.transactionError,
                         str("the transaction block ended while this task waited to run a statement in it").get());
        callMethod(waiter.get(), names.set_exception, error.get());
    }
}

// Waits for a queued turn; a waiter that stops waiting gives it up.
Coro awaitTurn(Ref block, Ref future) {
    try {
        co_await awaitPy(future.get());
    } catch (PyError&) {
        abandonTurn(block.get(), future.get());
        throw;
    }
    co_return Ref::none();
}

}  // namespace

Ref StatementTurn::enter(PyObject* connector) {
    Ref block = joinedBlock(connector);
    if (!block) return Ref();
    block_ = Ref::borrow(block.get());
    Ref waiting = requestTurn(block.get());
    if (!waiting) {
        held_ = true;
        return Ref();
    }
    return toPython(awaitTurn(std::move(block), std::move(waiting)), "transaction.<turn>");
}

PyObject* StatementTurn::connection() const { return block_ ? asBlock(block_.get())->con : nullptr; }

void StatementTurn::leave() noexcept {
    if (!held_) return;
    held_ = false;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    try {
        passTurn(block_.get());
    } catch (PyError& e) {
        e.restore();
        PyErr_WriteUnraisable(block_.get());
    }
    PyErr_Restore(t, v, tb);
}

namespace {

// ---------------------------------------------------------------------------
// The statements that begin and end a block
// ---------------------------------------------------------------------------

Ref blockSavepoint(const char* verb, int depth) {
    return Ref::steal(PyUnicode_FromFormat("%s quillon_block_%d", verb, depth));
}

// SQL text on an asyncio connection: an awaitable (aiosqlite and psycopg:
// execute; aiomysql: query).
Ref controlStatement(PyObject* con, int dialect, PyObject* text) {
    return callMethod(con, dialect == DIALECT_MYSQL ? names.query : names.execute, text);
}

// Begins a block on `con`: a new transaction (`*began`) when none is open,
// a savepoint otherwise (always for a nested block).
Coro beginBlockStatements(Ref con, int dialect, int depth, Ref beganBox) {
    bool mysql = dialect == DIALECT_MYSQL;
    if (dialect != DIALECT_SQLITE) {
        Local abandoned = takeAbandonedCursor(con.get());
        if (abandoned) co_await awaitPy(callMethod(abandoned.get(), names.close));
        refuseOpenStream(con.get());
    }
    bool open;
    if (depth > 0) {
        open = true;
    } else if (mysql) {
        open = truthy(callMethod(con.get(), names.get_transaction_status).get());
    } else if (dialect == DIALECT_POSTGRES) {
        // Any status but idle: a transaction is open (or failed, which BEGIN would not fix).
        Ref info = getattr(con.get(), "info");
        open = truthy(getattr(info.get(), "transaction_status").get());
    } else {
        open = truthy(getattr(con.get(), names.in_transaction).get());
    }
    if (open) {
        co_await awaitPy(controlStatement(con.get(), dialect, blockSavepoint("SAVEPOINT", depth).get()));
    } else {
        static const Constant immediate = str("BEGIN IMMEDIATE");
        static const Constant begin = str("BEGIN");
        co_await awaitPy(
            controlStatement(con.get(), dialect, dialect != DIALECT_SQLITE ? begin.get() : immediate.get()));
        check(PyList_Append(beganBox.get(), Py_True));
    }
    co_return Ref::none();
}

// Ends a block on `con`: commit (RELEASE for a nested block), or roll back
// to where it began.  A failed commit rolls back too and is raised.
Coro endBlockStatements(Ref con, int dialect, int depth, bool began, bool ok) {
    if (dialect != DIALECT_SQLITE) {
        Local reading = takeStreamCursor(con.get());
        try {
            if (reading) co_await awaitPy(callMethod(reading.get(), names.close));
        } catch (PyError& e) {
            // The statement that follows reports the connection's state.
            if (!e.isException()) throw;
        }
    }
    if (depth > 0 || !began) {
        if (!ok) co_await awaitPy(controlStatement(con.get(), dialect, blockSavepoint("ROLLBACK TO SAVEPOINT", depth).get()));
        if (depth > 0 || !ok) {
            co_await awaitPy(controlStatement(con.get(), dialect, blockSavepoint("RELEASE SAVEPOINT", depth).get()));
            co_return Ref::none();
        }
    }
    if (!ok) {
        co_await awaitPy(callMethod(con.get(), names.rollback));
        co_return Ref::none();
    }
    LocalError failure;
    try {
        co_await awaitPy(callMethod(con.get(), names.commit));
    } catch (PyError& e) {
        failure = std::move(e);
    }
    if (failure) {
        // A commit that failed leaves nothing of the block behind either.
        try {
            co_await awaitPy(callMethod(con.get(), names.rollback));
        } catch (PyError& e) {
            if (!e.isException()) throw;
        }
        failure.rethrow();
    }
    co_return Ref::none();
}

// ---------------------------------------------------------------------------
// onCommit callbacks
// ---------------------------------------------------------------------------

// A nested block that succeeded hands its callbacks to its parent; the
// outermost block runs them after its commit.
void handCallbacksTo(PyObject* block, PyObject* parent) {
    auto* b = asBlock(block);
    if (b->callbacks == Py_None) return;
    auto* p = asBlock(parent);
    if (p->callbacks == Py_None) assignField(p->callbacks, Ref::steal(PyList_New(0)));
    Py_ssize_t n = PyList_GET_SIZE(p->callbacks);
    check(PyList_SetSlice(p->callbacks, n, n, b->callbacks));
    assignField(b->callbacks, Py_None);
}

Ref takeCallbacks(PyObject* block) {
    auto* b = asBlock(block);
    Ref callbacks = Ref::borrow(b->callbacks);
    assignField(b->callbacks, Py_None);
    return callbacks;
}

// Every callback runs; the first error is raised after the last one.
void runCallbacks(PyObject* callbacks) {
    if (callbacks == Py_None) return;
    std::optional<PyError> first;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(callbacks); ++i) {
        Ref callback = Ref::borrow(PyList_GET_ITEM(callbacks, i));
        try {
            call(callback.get());
        } catch (PyError& e) {
            if (!e.isException()) throw;
            if (!first) first.emplace(std::move(e));
        }
    }
    if (first) throw std::move(*first);
}

// Awaited: a callback's awaitable result is awaited.
Coro runCallbacksAwaited(Ref callbacks) {
    if (callbacks.get() == Py_None) co_return Ref::none();
    LocalError first;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(callbacks.get()); ++i) {
        Local callback = Ref::borrow(PyList_GET_ITEM(callbacks.get(), i));
        try {
            Ref result = call(callback.get());
            if (truthy(call(state.isAwaitable, result.get()).get())) co_await awaitPy(std::move(result));
        } catch (PyError& e) {
            if (!e.isException()) throw;
            if (!first) first = std::move(e);
        }
    }
    if (first) first.rethrow();
    co_return Ref::none();
}

// ---------------------------------------------------------------------------
// The Transaction type
// ---------------------------------------------------------------------------

PyObject* Transaction_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    return entry([&] {
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        initFieldsNone(self.get(), transactionFields);
        return self;
    });
}

int Transaction_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return boundary(-1, [&] {
        static const Signature<1> sig{"transaction", {"connector"}, 0};
        auto a = bind(sig, args, kwargs);
        PyObject* connector = a.get(0, Py_None);
        if (connector != Py_None && !PyObject_TypeCheck(connector, state.BaseConnector))
            raiseArgType("connector", "BaseConnector", connector);
        if (asBlock(self)->state != BLOCK_NEW) raise(state.transactionError, "a transaction block is entered once");
        assignField(asBlock(self)->connector, connector);
        return 0;
    });
}

// The block's connector: the one given, or the facade's.
PyObject* resolveConnector(PyObject* self) {
    auto* b = asBlock(self);
    if (b->state != BLOCK_NEW) raise(state.transactionError, "a transaction block is entered once");
    if (b->connector == Py_None) assignField(b->connector, requireConnector(state.db));
    return b->connector;
}

void setCurrent(PyObject* self) {
    auto* b = asBlock(self);
    Ref outer = innermostBlock();
    assignField(b->outer, outer ? outer.get() : Py_None);
    assignField(b->token, Ref::steal(PyContextVar_Set(state.currentBlock, self)));
}

void resetCurrent(PyObject* self) {
    auto* b = asBlock(self);
    if (b->token == Py_None) return;
    Ref token = Ref::borrow(b->token);
    assignField(b->token, Py_None);
    if (PyContextVar_Reset(state.currentBlock, token.get()) < 0) {
        // Ended in another context than it began (handed to another task):
        // the context that sees it now drops it.
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_RuntimeError)) throwPending();
        PyErr_Clear();
        Ref outer = Ref::borrow(b->outer);
        Ref replaced = Ref::steal(PyContextVar_Set(state.currentBlock, outer.get()));
    }
}

// --- blocking: with transaction() ---

Ref Transaction_enter(PyObject* self) {
    PyObject* connector = resolveConnector(self);
    if (asBase(connector)->isAsync)
        raise(state.transactionError,
              "%s has no blocking transactions: use `async with transaction()` (outside a block each asyncio task "
              "is a transaction of its own)",
              Py_TYPE(connector)->tp_name);
    Ref parent = blockOf(connector);
    callMethod(connector, names.beginTransaction);
    auto* b = asBlock(self);
    assignField(b->parent, parent ? parent.get() : Py_None);
    b->depth = parent ? asBlock(parent.get())->depth + 1 : 0;
    b->state = BLOCK_OPEN;
    setCurrent(self);
    return Ref::borrow(self);
}

Ref Transaction_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
    auto* b = asBlock(self);
    if (b->state != BLOCK_OPEN || b->awaited) raise(state.transactionError, "the transaction block is not open");
    bool ok = nargs < 1 || args[0] == Py_None;
    b->state = BLOCK_ENDED;
    resetCurrent(self);
    try {
        callMethod(b->connector, names.endTransaction, ok ? Py_True : Py_False);
    } catch (PyError&) {
        assignField(b->callbacks, Py_None);
        throw;
    }
    if (!ok) {
        assignField(b->callbacks, Py_None);
        return Ref::borrow(Py_False);
    }
    if (b->parent != Py_None && asBlock(b->parent)->state == BLOCK_OPEN) {
        handCallbacksTo(self, b->parent);
        return Ref::borrow(Py_False);
    }
    Ref callbacks = takeCallbacks(self);
    runCallbacks(callbacks.get());
    return Ref::borrow(Py_False);
}

// --- awaited: async with transaction() ---

Coro enterAwaited(Ref self) {
    Local keep = Ref::borrow(resolveConnector(self.get()));
    PyObject* connector = keep.get();  // owned by `keep` for the whole body
    if (!asBase(connector)->isAsync)
        raise(state.transactionError, "%s is a blocking connector: use `with transaction()`",
              Py_TYPE(connector)->tp_name);
    Local task = requireCurrentTask("transaction");
    auto* b = asBlock(self.get());
    b->awaited = 1;
    Local parent = joinedBlock(connector);
    int dialect = asBase(connector)->dialect;
    if (parent) {
        // A savepoint on the parent's connection, which the nested block
        // holds (its parent's turn) until it ends.
        if (Ref waiting = requestTurn(parent.get()))
            co_await awaitPy(toPython(awaitTurn(Ref::borrow(parent.get()), std::move(waiting)), "transaction.<turn>"));
        assignField(b->parent, parent.get());
        assignField(b->con, asBlock(parent.get())->con);
        b->depth = asBlock(parent.get())->depth + 1;
        try {
            Local began = Ref::steal(PyList_New(0));
            co_await awaitPy(toPython(runToEnd(toPython(beginBlockStatements(Ref::borrow(b->con), dialect, b->depth,
                                                                             Ref::borrow(began.get())),
                                                        "transaction.<begin>")),
                                      "transaction.<begin>"));
        } catch (PyError&) {
            passTurn(parent.get());
            assignField(b->parent, Py_None);
            assignField(b->con, Py_None);
            throw;
        }
    } else {
        const TaskConnections& kind = connectionsOf(connector);
        if (dialect == DIALECT_SQLITE) {
            refuseWriteUnderOpenWrite(connector, task.get());
            refuseBlockUnderWaitingWrite(connector, task.get());
        }
        Local con = co_await awaitPy(toPython(taskConnection(Ref::borrow(connector), &kind), "transaction.<connection>"));
        Local began = Ref::steal(PyList_New(0));
        co_await awaitPy(toPython(
            runToEnd(toPython(beginBlockStatements(Ref::borrow(con.get()), dialect, 0, Ref::borrow(began.get())),
                              "transaction.<begin>")),
            "transaction.<begin>"));
        assignField(b->con, con.get());
        b->depth = 0;
        b->began = PyList_GET_SIZE(began.get()) > 0;
    }
    assignField(b->task, task.get());
    b->state = BLOCK_OPEN;
    setCurrent(self.get());
    co_return Ref::borrow(self.get());
}

Ref Transaction_aenter(PyObject* self) { return toPython(enterAwaited(Ref::borrow(self)), "transaction.__aenter__"); }

// The tasks of the block that have not ended, as a list.
Ref runningChildren(PyObject* block) {
    Ref running = Ref::steal(PyList_New(0));
    PyObject* children = asBlock(block)->children;
    if (children == Py_None) return running;
    Ref list = Ref::borrow(children);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        Ref child = Ref::borrow(PyList_GET_ITEM(list.get(), i));
        if (!isDone(child.get())) check(PyList_Append(running.get(), child.get()));
    }
    return running;
}

// A rollback that failed because the connection is gone has nothing left
// to do (the server rolled back what the connection had not committed): it
// is logged once as what it is, and the block's own error goes on.  Any
// other failure is kept (false).
bool lostWhileRollingBack(PyError& failure, PyObject* task) {
    ExcInfo info(failure);
    if (!connectionLost(info.value.get())) {
        PyErr_Restore(info.type.release(), info.value.release(), info.tb.release());
        failure = PyError();
        return false;
    }
    Ref message = str("the database connection of %r was lost (%r): the server rolls back what it had not committed");
    callMethod(moduleLogger().get(), "warning", message.get(), task, info.value.get());
    return true;
}

Coro exitAwaited(Ref self, bool ok) {
    auto* b = asBlock(self.get());
    if (b->state != BLOCK_OPEN || !b->awaited) raise(state.transactionError, "the transaction block is not open");
    Local task = call(state.currentTask);
    if (task.get() != b->task)
        raise(state.transactionError, "a transaction block must end in the task that entered it");
    // A statement of one of the block's tasks may be running: the block ends
    // after it.  A cancellation meanwhile is kept and raised once the block
    // has ended (rolled back).
    LocalError cancellation;
    if (Ref waiting = requestTurn(self.get())) {
        Local future = std::move(waiting);
        try {
            while (!isDone(future.get())) {
                try {
                    co_await awaitPy(call(state.shield, future.get()));
                } catch (PyError& e) {
                    if (!e.matches(state.cancelledError)) throw;
                    cancellation = std::move(e);
                    ok = false;
                }
            }
            callMethod(future.get(), "result");
        } catch (PyError&) {
            abandonTurn(self.get(), future.get());
            throw;
        }
    }
    b->state = BLOCK_ENDING;
    refuseWaiters(self.get());
    LocalError outcome;
    Local running = runningChildren(self.get());
    if (ok && PyList_GET_SIZE(running.get()) > 0) {
        Ref first = Ref::borrow(PyList_GET_ITEM(running.get(), 0));
        Ref name = callMethod(first.get(), "get_name");
        PyErr_Format(state.transactionError,
                     "task %R, started inside this transaction block, is still running as the block ends (%zd "
                     "task(s) in all): the block is rolled back.  Await the tasks a block starts (gather, "
                     "TaskGroup, await task) before it ends",
                     name.get(), PyList_GET_SIZE(running.get()));
        outcome = PyError();
        ok = false;
    }
    int dialect = asBase(b->connector)->dialect;
    try {
        co_await awaitPy(toPython(
            runToEnd(toPython(endBlockStatements(Ref::borrow(b->con), dialect, b->depth, b->began != 0, ok),
                              "transaction.<end>")),
            "transaction.<end>"));
    } catch (PyError& e) {
        if (e.matches(state.cancelledError)) {
            cancellation = std::move(e);
        } else if (!e.isException()) {
            b->state = BLOCK_ENDED;
            throw;
        } else if (!ok && lostWhileRollingBack(e, task.get())) {
            // The server rolled the block back with the connection.
        } else if (!outcome) {
            outcome = std::move(e);
        }
        ok = false;
    }
    b->state = BLOCK_ENDED;
    b->busy = 0;
    if (b->parent != Py_None) passTurn(b->parent);
    resetCurrent(self.get());
    assignField(b->con, Py_None);
    assignField(b->children, Py_None);
    if (!ok) {
        assignField(b->callbacks, Py_None);
    } else if (b->parent != Py_None) {
        handCallbacksTo(self.get(), b->parent);
    } else {
        Local callbacks = takeCallbacks(self.get());
        try {
            co_await awaitPy(toPython(runCallbacksAwaited(Ref::borrow(callbacks.get())), "transaction.<onCommit>"));
        } catch (PyError& e) {
            if (!e.isException()) throw;
            outcome = std::move(e);
        }
    }
    if (cancellation) cancellation.rethrow();
    if (outcome) outcome.rethrow();
    co_return Ref::borrow(Py_False);
}

Ref Transaction_aexit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
    bool ok = nargs < 1 || args[0] == Py_None;
    return toPython(exitAwaited(Ref::borrow(self), ok), "transaction.__aexit__");
}

Ref Transaction_onCommit(PyObject* self, PyObject* callback) {
    auto* b = asBlock(self);
    if (!PyCallable_Check(callback)) raise(PyExc_TypeError, "onCommit() takes a callable, not %.200s", typeName(callback));
    if (b->state != BLOCK_OPEN) raise(state.transactionError, "onCommit() needs an open transaction block");
    if (b->callbacks == Py_None) assignField(b->callbacks, Ref::steal(PyList_New(0)));
    check(PyList_Append(b->callbacks, callback));
    return Ref::borrow(callback);
}

Ref Transaction_connector(PyObject* self) { return Ref::borrow(asBlock(self)->connector); }

PyMethodDef transactionMethods[] = {
    Q_NOARGS("__enter__", Transaction_enter, "opens the block on the calling thread's connection"),
    Q_FAST("__exit__", Transaction_exit, "commits the block, or rolls it back when it raised"),
    Q_NOARGS("__aenter__", Transaction_aenter, "awaitable: opens the block on the calling task's connection"),
    Q_FAST("__aexit__", Transaction_aexit,
           "awaitable: commits the block, or rolls it back when it raised or was cancelled"),
    Q_ONEARG("onCommit", Transaction_onCommit,
             "onCommit(callback) -> callback; called with no arguments after the outermost block commits (never "
             "after a rollback); an awaitable it returns inside `async with` is awaited"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef transactionGetSet[] = {
    Q_GETTER("connector", Transaction_connector, "the block's connector (None before it is entered)"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot transactionSlots[] = {
    {Py_tp_new, (void*)Transaction_new},
    {Py_tp_init, (void*)Transaction_init},
    {Py_tp_traverse, (void*)traverseObject<transactionFields>},
    {Py_tp_clear, (void*)clearObject<transactionFields>},
    {Py_tp_dealloc, (void*)deallocObject<transactionFields>},
    {Py_tp_methods, transactionMethods},
    {Py_tp_getset, transactionGetSet},
    {Py_tp_doc, (void*)"Transaction(connector=None): one transaction block; `with` on a blocking connector, `async "
                       "with` on an asyncio one."},
    {0, nullptr},
};
PyType_Spec transactionSpec = {"Quillon.DB.Connector.Transaction", sizeof(TransactionObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
                                   Py_TPFLAGS_IMMUTABLETYPE,
                               transactionSlots};

// ===========================================================================
// The end of the interpreter
// ===========================================================================

// Asks each connection's driver thread to close the connection and stop;
// whatever was queued before (a commit already issued) runs first.
Coro stopConnections(Ref connections) {
    Local stopping = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(connections.get()); ++i) {
        Ref done = callMethod(PyList_GET_ITEM(connections.get(), i), "stop");
        if (done.get() != Py_None) check(PyList_Append(stopping.get(), done.get()));
    }
    if (PyList_GET_SIZE(stopping.get()) > 0) {
        Local waiting;
        {
            Ref keywords = Ref::steal(PyDict_New());
            Ref limit = Ref::steal(PyFloat_FromDouble(5.0));
            check(PyDict_SetItemString(keywords.get(), "timeout", limit.get()));
            Ref args = tupleOf({stopping.get()});
            waiting = callWith(state.waitFor, args.get(), keywords.get());
        }
        co_await awaitPy(waiting.take());
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
        if (!PyObject_TypeCheck(owner, state.AioMysqlConnector) && !PyObject_TypeCheck(owner, state.AioPostgresConnector))
            check(PyList_Append(leftovers.get(), con));
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

}  // namespace

void initLifecycles(PyObject* module) {
    state.Transaction = addType(module, &transactionSpec);
    idleType = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &idleSpec, nullptr));  // kept
    if (!idleType) throwPending();
}

void registerExitHook(PyObject* threading) {
    // The aiosqlite driver runs every connection on a thread that is not a
    // daemon, and the interpreter waits for such threads before it runs its
    // atexit handlers: connections that nothing ended must be ended before
    // that wait, and only threading's own (private) exit registry runs then.
    // No public mechanism runs that early; without the registry (another
    // implementation of the threading module) the atexit module is used,
    // which still ends what the end threads left.
    Ref atExitHook = Ref::steal(PyCFunction_NewEx(&atExitDef, nullptr, nullptr));
    Ref registerAtExit = Ref::stealOrNull(PyObject_GetAttrString(threading, "_register_atexit"));
    if (!registerAtExit || !PyCallable_Check(registerAtExit.get())) {
        PyErr_Clear();
        registerAtExit = importFrom("atexit", "register");
    }
    call(registerAtExit.get(), atExitHook.get());
}

void registerForkHook() {
    // Where processes fork, a child asks again which thread is its main one.
    Ref os = importModule("os");
    Ref registerAtFork = Ref::stealOrNull(PyObject_GetAttrString(os.get(), "register_at_fork"));
    if (!registerAtFork) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throwPending();
        PyErr_Clear();
        return;
    }
    Ref forget = Ref::steal(PyCFunction_NewEx(&forgetMainThreadDef, nullptr, nullptr));
    Ref kwnames = tupleOf({interned("after_in_child").get()});
    PyObject* argv[] = {forget.get()};
    Ref done = Ref::steal(PyObject_Vectorcall(registerAtFork.get(), argv, 0, kwnames.get()));
}

}  // namespace quillon::connector
