// What the two sources of Quillon.DB.Connector share.
//
// Connector.cpp holds the connector types and how each one runs a statement
// on a connection it is given.  Lifecycles.cpp holds which connection that
// is and when it is opened, joined, committed, rolled back, closed or given
// back: per statement, per thread, per asyncio task and per transaction
// block.  Both see the module state, the interned names and the entry
// points declared here.
#pragma once

#include <quillon/coro.hpp>
#include <quillon/facade.hpp>
#include <quillon/layouts.hpp>
#include <quillon/native.hpp>

namespace quillon::connector {

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
    PyObject* mysqlConnect = nullptr;    // pymysql.connect, imported on first use
    PyObject* pgConnect = nullptr;       // psycopg.connect, imported on first use
    PyObject* mainThread = nullptr;      // threading.main_thread
    PyObject* asyncioSleep = nullptr;    // asyncio.sleep
    PyObject* currentTask = nullptr;     // asyncio.current_task
    PyObject* mysqlCursor = nullptr;     // aiomysql.Cursor
    PyObject* mysqlDictCursor = nullptr; // aiomysql.DictCursor
    PyObject* blockingDictCursor = nullptr;  // pymysql.cursors.DictCursor, imported on first use
    PyObject* aiosqlite = nullptr;       // imported on first use
    PyObject* aiomysql = nullptr;        // imported on first use
    PyObject* pollDelay = nullptr;       // 0.3
    PyObject* endTasks = nullptr;        // set of running end-of-task coroutines' tasks
    PyObject* endThreads = nullptr;      // list of threads ending aiosqlite connections of finished tasks
    PyObject* threadType = nullptr;      // threading.Thread
    PyObject* taskType = nullptr;        // asyncio.Task
    PyObject* futureType = nullptr;      // asyncio.Future
    PyObject* runningLoop = nullptr;     // asyncio.get_running_loop
    PyObject* runningLoopOrNone = nullptr;  // asyncio._get_running_loop
    PyObject* shield = nullptr;          // asyncio.shield
    PyObject* waitFor = nullptr;         // asyncio.wait
    PyObject* newEventLoop = nullptr;    // asyncio.new_event_loop
    PyObject* isCoroutine = nullptr;     // asyncio.iscoroutine
    PyObject* isAwaitable = nullptr;     // inspect.isawaitable
    PyObject* abstractLoop = nullptr;    // asyncio.AbstractEventLoop
    PyObject* cancelledError = nullptr;  // asyncio.CancelledError
    PyObject* taskConnections = nullptr; // task -> list of connectors holding a connection for it
    PyObject* openConnections = nullptr; // per-task connection -> connector, until it is closed
    PyObject* writeHolder = nullptr;     // ContextVar: the task holding an open SQLite write
    PyObject* currentBlock = nullptr;    // ContextVar: the innermost transaction block
    PyObject* openStreams = nullptr;     // MySQL connection an open row stream reads on -> its cursor
    PyObject* abandonedCursors = nullptr;  // awaited MySQL connection -> cursor of a stream dropped while open
    PyObject* unsettled = nullptr;       // aiosqlite connections whose statement was cut off while it ran
    PyObject* threadLocal = nullptr;     // _thread._local
    PyObject* monotonic = nullptr;       // time.monotonic
    PyObject* sqliteProgrammingError = nullptr;
    PyObject* sqliteOperationalError = nullptr;
    PyObject* transactionError = nullptr;  // Quillon.Error.DbFault.TransactionError
    PyObject* deadlockError = nullptr;     // Quillon.Error.DbFault.DeadlockError
    PyObject* poolTimeout = nullptr;       // Quillon.Error.DbFault.PoolTimeoutError
    bool assertionsOn = true;
    const ExecutorsApi* executors = nullptr;
    const GeneratorApi* generators = nullptr;
    const DBApi* db = nullptr;
    PyTypeObject* BaseConnector = nullptr;
    PyTypeObject* Sqlite3Connector = nullptr;
    PyTypeObject* AioSqliteConnector = nullptr;
    PyTypeObject* AioMysqlConnector = nullptr;
    PyTypeObject* PyMysqlConnector = nullptr;
    PyTypeObject* PostgresConnector = nullptr;     // PyMysqlConnectorObject's layout
    PyTypeObject* AioPostgresConnector = nullptr;  // AioMysqlConnectorObject's layout
    PyTypeObject* DictRowIterator = nullptr;
    PyTypeObject* Transaction = nullptr;
    PyTypeObject* RowStream = nullptr;
};
extern State state;

// Interned names of the hot paths.
struct Names {
    PyObject *cursor, *execute, *executemany, *fetchall, *commit, *rollback, *close, *replace, *description,
        *lastrowid, *get, *getCon, *add_done_callback, *cancelled, *exception, *is_running, *run_until_complete,
        *create_task, *discard, *add, *releaseCon, *_releaseCon, *init_sqlite, *_init_mysql, *acquire, *release,
        *useDict, *percentS, *question, *futureBlocking, *aenter, *aexit, *typeArgs, *targetType, *rowcount,
        *in_transaction, *query, *done, *set_result, *set_exception, *create_future, *open, *ping,
        *get_transaction_status, *beginTransaction, *endTransaction, *closed;
};
extern Names names;

// A constant object made on first use and kept for the life of the process.
using Constant = Leaked;

inline BaseConnectorObject* asBase(PyObject* o) { return reinterpret_cast<BaseConnectorObject*>(o); }
inline Sqlite3ConnectorObject* asSqlite(PyObject* o) { return reinterpret_cast<Sqlite3ConnectorObject*>(o); }
inline AioSqliteConnectorObject* asAioSqlite(PyObject* o) { return reinterpret_cast<AioSqliteConnectorObject*>(o); }
inline AioMysqlConnectorObject* asAioMysql(PyObject* o) { return reinterpret_cast<AioMysqlConnectorObject*>(o); }
inline PyMysqlConnectorObject* asPyMysql(PyObject* o) { return reinterpret_cast<PyMysqlConnectorObject*>(o); }

// The PostgreSQL connectors share the MySQL ones' layouts (a pool of server
// connections) and differ in their driver calls, told by their dialect.
inline bool isPostgres(PyObject* connector) { return asBase(connector)->dialect == DIALECT_POSTGRES; }
// The blocking connectors over a pool of server connections.
inline bool isPooledBlocking(PyObject* connector) {
    return PyObject_TypeCheck(connector, state.PyMysqlConnector) ||
           PyObject_TypeCheck(connector, state.PostgresConnector);
}

// Calls `callable(*args, **kwargs)` with a tuple and a dict.
inline Ref callWith(PyObject* callable, PyObject* args, PyObject* kwargs) {
    return Ref::steal(PyObject_Call(callable, args, kwargs));
}

// The driver modules are imported by the operations that first need them.
PyObject* aiosqliteModule();
// The module's `_logger`, read at call time like any module global.
Ref moduleLogger();
// An error kept as (type, value, traceback) with the value normalized and
// carrying its traceback (taken out of a PyError, which it consumes).
struct ExcInfo {
    Ref type, value, tb;
    explicit ExcInfo(PyError& e);
    [[noreturn]] void rethrow();
};

// ===========================================================================
// Per thread: the blocking connectors
// ===========================================================================

// One use of a blocking connector by the calling thread: the connection its
// statement runs on and the depth of the thread's open transaction blocks.
//
// Sqlite3Connector: the main thread runs on the connector's own connection,
// every other thread on a connection of its own, opened on its first
// statement; on a shared (in-memory) connection the session holds the
// connector's lock unless the thread owns the open block.
// PyMysqlConnector: a statement outside a block takes a connection from the
// connector's pool and gives it back when the session ends; a block keeps
// the connection its thread took until the outermost block ends.
class ThreadSession {
public:
    explicit ThreadSession(PyObject* self);
    ~ThreadSession();
    ThreadSession(const ThreadSession&) = delete;
    ThreadSession& operator=(const ThreadSession&) = delete;

    PyObject* con() const { return con_.get(); }
    int depth() const { return depth_; }
    bool inBlock() const { return depth_ > 0; }
    void storeDepth(int depth);
    // Closes the calling thread's own connection (not the connector's).
    void closeThreadConnection();
    // SQLite: a cursor for a statement whose rows are all read before the
    // call returns: the spare cursor of the thread's connection, or a new
    // one.  The spare is taken out of its place while its statement runs, so
    // a statement that Python code starts meanwhile (an adapter, a trace
    // handler) gets a cursor of its own.
    Ref takeCursor();
    // Gives a cursor of takeCursor() back once its statement ran through: it
    // becomes the spare again unless another one took its place meanwhile.
    void keepCursor(Ref cursor);
    // MySQL: a statement was cut off mid-way (an interrupt), so the
    // connection's state is unknown: it is closed and never reused.
    void discard();

private:
    void openSqliteThreadConnection();
    // SQLite: the connection's statement trace follows the logger's level.
    void syncStatementLog();
    void takePooledConnection();

    PyObject* self_;
    bool mysql_;
    Ref con_;
    Ref threadDict_;
    int depth_ = 0;
    bool heldLock_ = false;   // SQLite, shared connection: this session holds the connector's lock
    bool spareOnConnector_ = false;  // SQLite: the main thread on the connector's own connection
    bool checkedOut_ = false; // MySQL: the connection goes back to the pool when the session ends
    bool discarded_ = false;
};

[[noreturn]] void raiseClosed();
// Whether the calling thread is the main thread (of the child, after a fork).
bool onMainThread();

// A new SQLite connection on the connector's database with its settings
// (untraced: a session traces it when the statement log is wanted).
Ref openSqliteConnection(PyObject* self, PyObject* path);
// The connector's own connection: whether it is traced.
void markMainConnectionTraced(PyObject* self, bool traced);
// The connector's own connection is closed or replaced: its spare cursor goes.
void dropSpareCursor(PyObject* self);

// The pool of a blocking MySQL connector: every connection it made and
// gave out is closed (those out now are closed when they come back).
void closeMysqlPool(PyObject* self);
// PyMysqlConnector.getCon(): inside the calling thread's block its
// connection, otherwise one taken from the pool for the caller, who gives it
// back with releaseCon() (committed then).
Ref takeCallerConnection(PyObject* self);
void giveCallerConnection(PyObject* self, PyObject* con);
// Whether the calling thread runs in a transaction block of the connector.
bool callerInBlock(PyObject* self);
// MySQL: a statement on a connection that an open row stream reads on would
// drop the rows not read yet; refused.
void refuseOpenStream(PyObject* con);
// The cursor of a row stream that was dropped while it read on `con`
// (awaited MySQL), taken out of the registry; null when there is none.  Its
// close() reads the rest of its rows out, which the connection's next
// statement must await first.
Ref takeAbandonedCursor(PyObject* con);
// The cursor of a row stream that reads on `con`, open or dropped, taken out
// of the registries; null when there is none.  The end of the connection's
// transaction closes it first, so the end does not find the rows unread.
Ref takeStreamCursor(PyObject* con);
// Whether an error value says the driver's MySQL connection is gone.
bool connectionLost(PyObject* value);

// `_beginTransaction()` and `_endTransaction(succeeded)` of the blocking
// connectors: a transaction block of the calling thread (a savepoint when
// nested), committed or rolled back by its end.
void beginThreadBlock(PyObject* self);
void endThreadBlock(PyObject* self, bool succeeded);

// ===========================================================================
// Per task: the asyncio connectors
// ===========================================================================

// AioSqliteConnector and AioMysqlConnector keep every asyncio task's
// connection in their `conMap` (task -> connection).  They differ only in
// where a connection comes from and where it goes at the end, and in the
// name of the done-callback.
struct TaskConnections {
    PyObject* (*conMap)(PyObject* self);
    int* (*closed)(PyObject* self);
    // true: taken from the connector's pool and released back to it;
    // false: opened on the connector's database path and closed.
    bool pooled;
    PyObject* Names::*doneCallback;
    const char* endName;  // the end-of-task coroutine's name
};
extern const TaskConnections aioSqliteConnections;
extern const TaskConnections aioMysqlConnections;
extern const TaskConnections aioPostgresConnections;
const TaskConnections& connectionsOf(PyObject* connector);

// The interpreter's `asyncio.current_task()`, refused when there is no task.
Ref requireCurrentTask(const char* operation);
// The calling task's connection (or the connection of the transaction block
// it runs in), opened on first use.
Coro taskConnection(Ref self, const TaskConnections* kind);
// AioMysqlConnector: the connection a row stream of the calling task reads
// on, as (connection, owned): the task's own when it holds one (its
// transaction may hold writes the rows must show), otherwise a pooled one
// for the stream alone (owned: given back with the pool's release()).
Coro streamConnection(Ref self);
// The done-callback of a task that opened a connection.
void endFinishedTaskConnection(PyObject* self, PyObject* task, const TaskConnections* kind);
void logTaskEnd(PyObject* task);
// close(): the calling task's own connection ended now (committed), and the
// ends already started waited for.
Coro endCallerConnection(Ref self, const TaskConnections* kind);
Coro waitStartedEnds();
// The pool of an AioMysqlConnector made on a running loop, still being made:
// an awaitable to wait for it, or null.
Ref pendingPool(PyObject* self);
void installTaskFactory(PyObject* loop);

// The idle connections of an AioSqliteConnector: a pool keeping at most
// `size`, its size, and the close of those waiting (connector.close()).
Ref newIdleConnections(int size);
int idleConnectionsSize(PyObject* connector);
Coro closeIdleConnectionsOf(Ref connector);
// The connection that runs a SELECT of `task` when it holds none of its own
// (see IdleConnectionsObject), or null; `*load` receives the reader's load,
// which the trip running the statement there reports to.
Ref sharedReader(PyObject* connector, PyObject* task, Ref* load);
void readerTripQueued(PyObject* load);
void readerTripDone(PyObject* load) noexcept;
// The write gate of an AioSqliteConnector's tasks (see Lifecycles.cpp): null
// when `task` may write now on its connection `con` (null: before it takes
// one), or an awaitable of the turn; after the statement (done, or failed in
// the driver), the gate passes to `con` while its transaction is open, or on
// to the next writer; and it is left when `con`'s transaction has ended.
Ref enterWriteGate(PyObject* connector, PyObject* con, PyObject* task);
void settleWriteGate(PyObject* connector, PyObject* con, PyObject* task);
void leaveWriteGate(PyObject* connector, PyObject* con, PyObject* task);

// SQLite's write lock between a task and the tasks it creates.
void refuseWriteUnderOpenWrite(PyObject* self, PyObject* task);
void markOpenWrite(PyObject* con, PyObject* task);
// A statement of a task's aiosqlite connection was cut off (an error or a
// cancellation) while its driver thread may still run it: until the task's
// end has been through that thread, what the connection reports about its
// transaction is not yet true.
void markUnsettled(PyObject* con);
bool writesText(PyObject* sql);

// ===========================================================================
// Per statement: the connection a statement of an asyncio task runs on
// ===========================================================================

// Inside a transaction block a statement runs on the block's connection,
// one statement of the block at a time: the statement holds the block's
// turn from `enter` until this object goes.  Outside a block it runs on its
// task's own connection (`connection()` is then null and the caller asks
// the connector's getCon()).
//
//     StatementTurn turn;
//     if (Ref waiting = turn.enter(self.get())) {
//         co_await awaitPy(std::move(waiting));
//         turn.granted();
//     }
//     Local con = turn.connection() ? Ref::borrow(turn.connection()) : co_await awaitPy(getCon...);
class StatementTurn {
public:
    StatementTurn() = default;
    ~StatementTurn() { leave(); }
    StatementTurn(const StatementTurn&) = delete;
    StatementTurn& operator=(const StatementTurn&) = delete;

    // Finds the open block of `connector` the calling task runs in and takes
    // its turn: null when there is no block or the turn was free, otherwise
    // an awaitable that ends once the turn is this statement's (then call
    // granted()).  A block that has ended raises TransactionError.
    Ref enter(PyObject* connector);
    void granted() { held_ = true; }
    PyObject* connection() const;
    // Gives the turn back (at once, or when the object goes).
    void leave() noexcept;

private:
    Local block_;
    bool held_ = false;
};

// ===========================================================================
// Module setup
// ===========================================================================

// Creates the Transaction type and the task factory's functions; called
// once from the module's exec.
void initLifecycles(PyObject* module);
// Registers the hook that ends what connections are left open when the
// program exits: the last step of the module's exec, so that a module whose
// exec failed (a driver missing) leaves no hook reading its state.
void registerExitHook(PyObject* threading);
// A forked child forgets the main thread's ident of its parent.
void registerForkHook();

}  // namespace quillon::connector
