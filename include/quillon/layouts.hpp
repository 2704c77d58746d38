// The native layouts and operation tables that the modules share.
//
// Every module reads the objects of the others directly: the generator reads
// a property's fields, the connectors read a builder's statement kind and an
// executor's builder, paging calls `build_where` through the builder's table.
// The field orders and table slot orders below are therefore an interface;
// the static_asserts at the end freeze them.  Table entries follow the C
// convention of the API (a new reference or null with the error set, -1 for a
// failed int result), because they are called across module boundaries.
// Tables and capsule structs are append-only.
#pragma once

#include "ref.hpp"

#include <cstddef>

namespace quillon {

// ===========================================================================
// Quillon.DB.Generator
// ===========================================================================

enum SqlKind : int { SQL_SELECT = 0, SQL_INSERT = 1, SQL_DELETE = 2, SQL_UPDATE = 3, SQL_NONE = 4 };
enum JoinKind : int { JOIN_PLAIN = 0, JOIN_LEFT = 1, JOIN_RIGHT = 2, JOIN_INNER = 3 };

struct BaseSqlGeneratorOps {
    PyObject* (*Build)(PyObject* self);  // statement pair, () on the base
};

struct BaseSqlGeneratorObject {
    PyObject_HEAD
    const void* ops;   // the most derived native table of the object
    int currentType;   // SqlKind
};

struct CustomColAnnounceObject {
    BaseSqlGeneratorObject base;
    PyObject* announce;  // str or None
};

struct SqlGeneratorOps {
    BaseSqlGeneratorOps base;                                   // Build (the builder's form)
    PyObject* (*update)(PyObject* self, PyObject* target);     // returns the builder
    PyObject* (*From)(PyObject* self, PyObject* target);       // returns the builder
    PyObject* (*Build)(PyObject* self);                         // the builder's own form
    PyObject* (*build_update)(PyObject* self);                  // (text, args)
    PyObject* (*build_select)(PyObject* self);
    PyObject* (*build_where)(PyObject* cell);                   // (text, list of args)
    PyObject* (*build_insert)(PyObject* self);
    PyObject* (*build_order)(PyObject* orderList);              // str
    PyObject* (*build_delete)(PyObject* self);
    PyObject* (*_getWhereCellStr)(PyObject* cell, PyObject* args);  // str
    PyObject* (*build_join)(PyObject* self);                    // str
};

struct SqlGeneratorObject {
    BaseSqlGeneratorObject base;
    PyObject* selectCol;  // list or None
    PyObject* whereCol;   // FilterListCell or None
    PyObject* target;     // table name
    PyObject* limit;      // str or None
    PyObject* updateCol;  // list or None
    PyObject* _joinList;  // list or None
    PyObject* orderList;  // tuple or None
};

struct JoinCellObject {
    PyObject_HEAD
    int Type;       // JoinKind
    PyObject* key;  // ForeignKey
};

struct TableGeneratorOps {
    BaseSqlGeneratorOps base;
    PyObject* (*Build)(PyObject* self);
    PyObject* (*build_col)(PyObject* col);
};

struct TableGeneratorObject {
    BaseSqlGeneratorObject base;
    PyObject* model;
};

struct GeneratorApi {
    unsigned version;
    PyTypeObject* BaseSqlGenerator;
    PyTypeObject* CustomColAnnounce;
    PyTypeObject* SqlGenerator;
    PyTypeObject* JoinCell;
    PyTypeObject* TableGenerator;
    const SqlGeneratorOps* sqlGeneratorOps;
    const TableGeneratorOps* tableGeneratorOps;
    // A new builder in kind NONE.
    PyObject* (*newSqlGenerator)();
    // A new CustomColAnnounce holding `announce`.
    PyObject* (*newCustomColAnnounce)(PyObject* announce);
    // The SQL of a term (a property, an expression or an aggregate) in the
    // active dialect: columns `table.column` when `qualified`, else bare;
    // the values it carries are appended to `args` (a list).  A str.
    PyObject* (*renderTerm)(PyObject* term, PyObject* args, int qualified);
    // The text of a filter chain after `keyword` (" WHERE ", " HAVING "),
    // its values appended to `args` (a list).  A str.
    PyObject* (*renderFilter)(PyObject* cell, PyObject* args, const char* keyword);
};

inline const BaseSqlGeneratorOps* generatorOps(PyObject* g) {
    return static_cast<const BaseSqlGeneratorOps*>(reinterpret_cast<BaseSqlGeneratorObject*>(g)->ops);
}

// ===========================================================================
// Quillon.Model.Columns
// ===========================================================================

enum Relationship : int {
    REL_AND = 0,
    REL_OR = 1,
    REL_EQ = 2,
    REL_GT = 3,
    REL_GE = 4,
    REL_LT = 5,
    REL_LE = 6,
    REL_NE = 7,
    REL_NONE = 8,
    REL_LIKE = 9,
    // Appended codes.  A comparison is always two cells (column, operand);
    // these codes tell the where renderer how to write the operand cell:
    // nothing for the NULL tests, the pattern plus its ESCAPE clause for a
    // LIKE whose pattern escapes literal text.
    REL_IS_NULL = 10,
    REL_NOT_NULL = 11,
    REL_LIKE_ESCAPED = 12,
    // Membership and ranges: the operand cell holds a tuple of values (two
    // for BETWEEN) and writes the whole test, column included.  A None among
    // the values of IN / NOT IN stands for NULL.
    REL_IN = 13,
    REL_NOT_IN = 14,
    REL_BETWEEN = 15,
};

// The escape character of patterns made from literal text (startsWith,
// endsWith, has): a plain character, so it needs no escaping in any
// dialect's string literals.
inline constexpr char kLikeEscape = '!';

struct BasePropertyOps {
    int (*sizeChecker)(PyObject* self, PyObject* value);  // 1, 0, -1 on error
    int (*verifier)(PyObject* self, PyObject* value);     // 1 or 0; never raises
    PyObject* (*desc)(PyObject* self);
    PyObject* (*asc)(PyObject* self);
    PyObject* (*setFilter)(PyObject* self, PyObject* other, int relationship);
    // Conversions, honouring Python-level overrides.
    PyObject* (*toDBValue)(PyObject* self, PyObject* value);
    PyObject* (*toObjValue)(PyObject* self, PyObject* value);
};

struct BasePropertyObject {
    PyObject_HEAD
    const BasePropertyOps* ops;
    PyObject* name;         // str or None
    PyObject* _Type;        // type or None
    int isPk;
    int Null;
    PyObject* _default;
    PyObject* _targetType;
    PyObject* model;
    PyObject* define;       // str or None
    PyObject* typeArgs;     // tuple or None
    int unique;             // the column is declared UNIQUE
};

struct FilterListCellOps {
    PyObject* (*append)(PyObject* self, PyObject* cell, int relationship);  // the cell that got the successor
    PyObject* (*_add)(PyObject* self, PyObject* other, int relationship);   // self
};

struct FilterListCellObject {
    PyObject_HEAD
    const FilterListCellOps* ops;
    PyObject* value;
    int relationship;
    PyObject* next;  // FilterListCell or None
    PyObject* col;   // BaseProperty or None
    // Grouping written in Python, kept so that rendering preserves the
    // meaning of `a & (b | c)`: a cell that starts an operand needing
    // parentheses counts the groups it opens, the operand's last cell the
    // groups it closes; a chain's head records the connective that joined it
    // last (-1 for a single comparison).
    int openGroups;
    int closeGroups;
    int topConnective;
    // Which of the groups opened before this cell are negations, `NOT (`:
    // bit i stands for the i-th group opened here, counted from the
    // innermost (groups wrapped later enclose the earlier ones).
    unsigned notGroups;
};

// Expressions: arithmetic on columns and the aggregate functions.  `left`
// and `right` are properties, expressions or values (right is None for an
// aggregate; left is None for count(*)).
enum ExpressionKind : int {
    EXPR_ADD = 0,
    EXPR_SUB = 1,
    EXPR_MUL = 2,
    EXPR_DIV = 3,
    EXPR_COUNT = 16,
    EXPR_SUM = 17,
    EXPR_AVG = 18,
    EXPR_MIN = 19,
    EXPR_MAX = 20,
};
inline bool isAggregateKind(int kind) { return kind >= EXPR_COUNT && kind <= EXPR_MAX; }

struct ExpressionObject {
    PyObject_HEAD
    int kind;      // ExpressionKind
    int distinct;  // count(DISTINCT ...)
    PyObject* left;
    PyObject* right;
    int depth;     // nesting of expressions (1 for one over columns and values)
};

// An order term made by `asc()` / `desc()`: a property or an expression.
struct OrderTermObject {
    PyObject_HEAD
    PyObject* term;
    int descending;
};

struct ColumnsApi {
    unsigned version;
    PyTypeObject* NullDefault;
    PyTypeObject* AutoIncrement;
    PyTypeObject* BaseProperty;
    PyTypeObject* FilterListCell;
    const BasePropertyOps* propertyOps;      // dispatching entries (honour overrides)
    const FilterListCellOps* filterCellOps;  // dispatching entries
    // Filled once the module has finished loading (null before).
    PyObject* ForeignKey;
    PyObject* ForeignType;
    PyObject* noDefault;  // the module's no-default sentinel
    // A new cell: FilterListCell(value, relationship, col).
    PyObject* (*newFilterCell)(PyObject* value, int relationship, PyObject* col);
    PyTypeObject* Expression;  // arithmetic and aggregates (Count, Sum, ... derive from it)
    PyTypeObject* OrderTerm;
};

// ===========================================================================
// Quillon.Model.Entity
// ===========================================================================

struct EntityObject {
    PyObject_HEAD
    PyObject* col;
    PyObject* mapping;
    PyObject* modelInstance;
    PyObject* tableName;
};

struct ModelInstanceObject {
    PyDictObject dict;
    PyObject* _temp;  // dict or None
};

struct InstanceListOps {
    Py_ssize_t (*len)(PyObject* self);
};

struct InstanceListObject {
    PyListObject list;
};

struct EntityApi {
    unsigned version;
    PyTypeObject* _Entity;
    PyTypeObject* _EntityMeta;
    PyTypeObject* ModelInstance;
    PyTypeObject* InstanceList;
    const InstanceListOps* instanceListOps;
    // Filled once the module has finished loading (null before).
    PyObject* Entity;
    PyObject* MiddleEntity;
    // Builds one row of `model` from a dict of values (conversion on when
    // `check`), honouring an overridden instanceBuilder.
    PyObject* (*buildRow)(PyObject* model, PyObject* values, int check);
    // The same for a sequence of fetched dicts, into a new InstanceList
    // (the model's row plan is looked up once for the whole result).
    PyObject* (*buildRows)(PyObject* model, PyObject* rows, int check);
};

// ===========================================================================
// Quillon.Model.Executors
// ===========================================================================

struct BaseModelExecutorOps {
    PyObject* (*run)(PyObject* self);                         // runs sqlBuilder's statement through the facade
    PyObject* (*handleResult)(PyObject* self, PyObject* raw);  // raw driver result -> executor's result
};

struct BaseModelExecutorObject {
    PyObject_HEAD
    const BaseModelExecutorOps* ops;
    PyObject* model;       // the model class
    PyObject* sqlBuilder;  // SqlGenerator
    PyObject* work;        // a connection of the active connector, or None
    int resultMode;        // how handleResult shapes a select (ExecutorResultMode)
    Py_ssize_t rowCount;   // rows the last statement changed, set by the connector (-1 unknown)
};

enum ExecutorResultMode : int {
    RESULT_ROWS = 0,  // a select gives an InstanceList of model rows
    RESULT_RAW = 1,   // the driver's result unchanged
};

struct ExecutorsApi {
    unsigned version;
    PyTypeObject* BaseModelExecutor;
    PyTypeObject* ModelExecutor;
    PyTypeObject* AsyncModelExecutor;
    const BaseModelExecutorOps* baseOps;  // dispatching entries
};

// ===========================================================================
// Quillon.DB.Connector
// ===========================================================================

struct BaseConnectorObject {
    PyObject_HEAD
    PyObject* _pool;
    int Type;
    int isAsync;
    PyObject* selectCon;
    PyObject* _config;  // dict or None
    int count;
    int isReady;
    int dialect;  // SqlDialect: how statements for this connector are written
};

// The SQL dialect of a connector, chosen by its class.
enum SqlDialect : int { DIALECT_SQLITE = 0, DIALECT_MYSQL = 1, DIALECT_POSTGRES = 2 };

struct Sqlite3ConnectorOps {
    PyObject* (*init_sqlite)(PyObject* self, PyObject* path, int showLog);
    PyObject* (*autoFiledAnnounce)(PyObject* self, PyObject* col);
    PyObject* (*getTableNameList)(PyObject* self);
};

struct Sqlite3ConnectorObject {
    BaseConnectorObject base;
    const Sqlite3ConnectorOps* ops;
    PyObject* con;
    PyObject* path;
    // Transaction state of the blocking connection.
    int transactionDepth;
    // Connections of the other threads, and how statements wait.
    PyObject* threadState;          // _thread._local: a thread's own connection and block depth
    double timeout;                 // seconds a statement waits for another connection's lock
    int showLog;
    int sharedConnection;           // an in-memory database: every thread runs on `con`
    int closed;
    unsigned long blockOwner;       // sharedConnection: the thread whose block is open, or 0
    PyThread_type_lock blockLock;   // sharedConnection: held while a block or statement runs
    PyObject* spareCursor;          // a cursor of `con` for the main thread's next statement, or None
};

struct AioSqliteConnectorObject {
    BaseConnectorObject base;
    PyObject* loop;
    PyObject* idle;  // the open connections waiting for their next task (the connector's pool)
    int isUsing;
    PyObject* path;
    PyObject* conMap;
    double timeout;  // seconds a statement waits for another connection's lock
    int closed;
};

struct AioMysqlConnectorObject {
    BaseConnectorObject base;
    PyObject* loop;
    PyObject* conMap;
    PyObject* poolTask;  // the task creating the pool on a running loop, or None
    int closed;
    double acquireTimeout;  // seconds a task waits for a connection of the full pool
    int lockWaitTimeout;    // innodb_lock_wait_timeout of its sessions; -1: the server's
};

struct PyMysqlConnectorOps {
    PyObject* (*_noop)(PyObject* self);
};

struct PyMysqlConnectorObject {
    BaseConnectorObject base;
    const PyMysqlConnectorOps* ops;
    PyObject* idle;            // list of (connection, time it came back) ready for reuse
    PyObject* threadState;     // _thread._local: a thread's block connection and depth
    PyObject* driverSettings;  // the keywords every pymysql.connect() call gets
    double acquireTimeout;     // seconds a statement waits for a connection of the full pool
    int maxsize;               // connections out at once (0: no limit)
    int inUse;
    int closed;
    int lockWaitTimeout;       // innodb_lock_wait_timeout of its sessions; -1: the server's
};

struct ConnectorApi {
    unsigned version;
    PyTypeObject* BaseConnector;
    PyTypeObject* Sqlite3Connector;
    PyTypeObject* AioSqliteConnector;
    PyTypeObject* AioMysqlConnector;
    PyTypeObject* PyMysqlConnector;
    // PostgreSQL: the blocking one shares PyMysqlConnectorObject's layout,
    // the awaited one AioMysqlConnectorObject's.
    PyTypeObject* PostgresConnector;
    PyTypeObject* AioPostgresConnector;
    // `connector.process(executor)` for a blocking executor: the native
    // process of the connector's class unless a Python subclass or the
    // instance replaces it.  The executor's result.
    PyObject* (*process)(PyObject* connector, PyObject* executor);
};

// ===========================================================================
// Quillon.DB.DB
// ===========================================================================

struct DBObject {
    PyObject_HEAD
    PyObject* _connector;  // BaseConnector or None
};

struct DBApi {
    unsigned version;
    PyTypeObject* DB;
    // The held facade (borrowed), or null before `create`.
    PyObject* (*instance)();
};

// ===========================================================================
// Quillon.Ext.Paging and Quillon.Ext.Seeder
// ===========================================================================

struct PagingOps {
    PyObject* (*_execute)(PyObject* self);
};

struct PagingObject {
    PyObject_HEAD
    const PagingOps* ops;
    PyObject* target;
    PyObject* executor;  // BaseModelExecutor or None
    int page;
    int pageSize;
    int deep;
    PyObject* relations;  // the relations findForeign loads, or None: every relation
};

struct RunnerTaskObject {
    PyObject_HEAD
    PyObject* _model;
    PyObject* generator;
    int count;
};

struct GeneratorRunnerOps {
    PyObject* (*_run)(PyObject* self);
};

struct GeneratorRunnerObject {
    PyObject_HEAD
    const GeneratorRunnerOps* ops;
    PyObject* loop;
};

// ---------------------------------------------------------------------------
// Frozen layouts.
//
// Every shared struct and table by absolute offset and size, so that a field
// inserted in the middle, a type changed or a slot moved fails the build of
// every module instead of silently misreading another module's objects.
// Object structs count from the object header H (PyObject_HEAD, larger in
// trace-refs builds) or from the builtin struct they extend.  The numbers are
// those of 64-bit targets (8-byte pointers, 4-byte ints); a new field or slot
// goes at the end, with its line here.
// ---------------------------------------------------------------------------

#if SIZEOF_VOID_P == 8 && SIZEOF_INT == 4
namespace layout_check {
constexpr size_t H = sizeof(PyObject);
#define Q_SIZE(T, n) static_assert(sizeof(T) == (n), #T " changed size")
#define Q_AT(T, f, off) static_assert(offsetof(T, f) == (off), #T "::" #f " moved")
Q_SIZE(BaseSqlGeneratorOps, 8); Q_AT(BaseSqlGeneratorOps, Build, 0);
Q_SIZE(BaseSqlGeneratorObject, H + 16); Q_AT(BaseSqlGeneratorObject, ops, H);
Q_AT(BaseSqlGeneratorObject, currentType, H + 8);
Q_SIZE(CustomColAnnounceObject, H + 24); Q_AT(CustomColAnnounceObject, announce, H + 16);
Q_SIZE(SqlGeneratorOps, 96); Q_AT(SqlGeneratorOps, update, 8); Q_AT(SqlGeneratorOps, From, 16);
Q_AT(SqlGeneratorOps, Build, 24); Q_AT(SqlGeneratorOps, build_update, 32); Q_AT(SqlGeneratorOps, build_select, 40);
Q_AT(SqlGeneratorOps, build_where, 48); Q_AT(SqlGeneratorOps, build_insert, 56);
Q_AT(SqlGeneratorOps, build_order, 64); Q_AT(SqlGeneratorOps, build_delete, 72);
Q_AT(SqlGeneratorOps, _getWhereCellStr, 80); Q_AT(SqlGeneratorOps, build_join, 88);
Q_SIZE(SqlGeneratorObject, H + 72); Q_AT(SqlGeneratorObject, selectCol, H + 16);
Q_AT(SqlGeneratorObject, whereCol, H + 24); Q_AT(SqlGeneratorObject, target, H + 32);
Q_AT(SqlGeneratorObject, limit, H + 40); Q_AT(SqlGeneratorObject, updateCol, H + 48);
Q_AT(SqlGeneratorObject, _joinList, H + 56); Q_AT(SqlGeneratorObject, orderList, H + 64);
Q_SIZE(JoinCellObject, H + 16); Q_AT(JoinCellObject, Type, H); Q_AT(JoinCellObject, key, H + 8);
Q_SIZE(TableGeneratorOps, 24); Q_AT(TableGeneratorOps, Build, 8); Q_AT(TableGeneratorOps, build_col, 16);
Q_SIZE(TableGeneratorObject, H + 24); Q_AT(TableGeneratorObject, model, H + 16);
Q_AT(GeneratorApi, version, 0); Q_AT(GeneratorApi, BaseSqlGenerator, 8);
Q_AT(GeneratorApi, CustomColAnnounce, 16); Q_AT(GeneratorApi, SqlGenerator, 24); Q_AT(GeneratorApi, JoinCell, 32);
Q_AT(GeneratorApi, TableGenerator, 40); Q_AT(GeneratorApi, sqlGeneratorOps, 48);
Q_AT(GeneratorApi, tableGeneratorOps, 56); Q_AT(GeneratorApi, newSqlGenerator, 64);
Q_AT(GeneratorApi, newCustomColAnnounce, 72);
Q_SIZE(GeneratorApi, 96); Q_AT(GeneratorApi, renderTerm, 80); Q_AT(GeneratorApi, renderFilter, 88);
Q_SIZE(BasePropertyOps, 56); Q_AT(BasePropertyOps, sizeChecker, 0); Q_AT(BasePropertyOps, verifier, 8);
Q_AT(BasePropertyOps, desc, 16); Q_AT(BasePropertyOps, asc, 24); Q_AT(BasePropertyOps, setFilter, 32);
Q_AT(BasePropertyOps, toDBValue, 40); Q_AT(BasePropertyOps, toObjValue, 48);
Q_SIZE(BasePropertyObject, H + 80); Q_AT(BasePropertyObject, ops, H); Q_AT(BasePropertyObject, name, H + 8);
Q_AT(BasePropertyObject, _Type, H + 16); Q_AT(BasePropertyObject, isPk, H + 24);
Q_AT(BasePropertyObject, Null, H + 28); Q_AT(BasePropertyObject, _default, H + 32);
Q_AT(BasePropertyObject, _targetType, H + 40); Q_AT(BasePropertyObject, model, H + 48);
Q_AT(BasePropertyObject, define, H + 56); Q_AT(BasePropertyObject, typeArgs, H + 64);
Q_AT(BasePropertyObject, unique, H + 72);
Q_SIZE(FilterListCellOps, 16); Q_AT(FilterListCellOps, append, 0); Q_AT(FilterListCellOps, _add, 8);
Q_SIZE(FilterListCellObject, H + 56); Q_AT(FilterListCellObject, ops, H); Q_AT(FilterListCellObject, value, H + 8);
Q_AT(FilterListCellObject, relationship, H + 16); Q_AT(FilterListCellObject, next, H + 24);
Q_AT(FilterListCellObject, col, H + 32); Q_AT(FilterListCellObject, openGroups, H + 40);
Q_AT(FilterListCellObject, closeGroups, H + 44); Q_AT(FilterListCellObject, topConnective, H + 48);
Q_AT(FilterListCellObject, notGroups, H + 52);
Q_SIZE(ExpressionObject, H + 32); Q_AT(ExpressionObject, kind, H); Q_AT(ExpressionObject, distinct, H + 4);
Q_AT(ExpressionObject, left, H + 8); Q_AT(ExpressionObject, right, H + 16); Q_AT(ExpressionObject, depth, H + 24);
Q_SIZE(OrderTermObject, H + 16); Q_AT(OrderTermObject, term, H); Q_AT(OrderTermObject, descending, H + 8);
Q_SIZE(ColumnsApi, 104); Q_AT(ColumnsApi, version, 0); Q_AT(ColumnsApi, NullDefault, 8);
Q_AT(ColumnsApi, AutoIncrement, 16); Q_AT(ColumnsApi, BaseProperty, 24); Q_AT(ColumnsApi, FilterListCell, 32);
Q_AT(ColumnsApi, propertyOps, 40); Q_AT(ColumnsApi, filterCellOps, 48); Q_AT(ColumnsApi, ForeignKey, 56);
Q_AT(ColumnsApi, ForeignType, 64); Q_AT(ColumnsApi, noDefault, 72); Q_AT(ColumnsApi, newFilterCell, 80);
Q_AT(ColumnsApi, Expression, 88); Q_AT(ColumnsApi, OrderTerm, 96);
Q_SIZE(EntityObject, H + 32); Q_AT(EntityObject, col, H); Q_AT(EntityObject, mapping, H + 8);
Q_AT(EntityObject, modelInstance, H + 16); Q_AT(EntityObject, tableName, H + 24);
Q_SIZE(ModelInstanceObject, sizeof(PyDictObject) + 8);
Q_AT(ModelInstanceObject, _temp, sizeof(PyDictObject));
Q_SIZE(InstanceListOps, 8); Q_AT(InstanceListOps, len, 0);
Q_SIZE(InstanceListObject, sizeof(PyListObject));
Q_SIZE(EntityApi, 80); Q_AT(EntityApi, version, 0); Q_AT(EntityApi, _Entity, 8); Q_AT(EntityApi, _EntityMeta, 16);
Q_AT(EntityApi, ModelInstance, 24); Q_AT(EntityApi, InstanceList, 32); Q_AT(EntityApi, instanceListOps, 40);
Q_AT(EntityApi, Entity, 48); Q_AT(EntityApi, MiddleEntity, 56); Q_AT(EntityApi, buildRow, 64);
Q_AT(EntityApi, buildRows, 72);
Q_SIZE(BaseModelExecutorOps, 16); Q_AT(BaseModelExecutorOps, run, 0); Q_AT(BaseModelExecutorOps, handleResult, 8);
Q_SIZE(BaseModelExecutorObject, H + 48); Q_AT(BaseModelExecutorObject, ops, H);
Q_AT(BaseModelExecutorObject, model, H + 8); Q_AT(BaseModelExecutorObject, sqlBuilder, H + 16);
Q_AT(BaseModelExecutorObject, work, H + 24); Q_AT(BaseModelExecutorObject, resultMode, H + 32);
Q_AT(BaseModelExecutorObject, rowCount, H + 40);
Q_SIZE(ExecutorsApi, 40); Q_AT(ExecutorsApi, version, 0); Q_AT(ExecutorsApi, BaseModelExecutor, 8);
Q_AT(ExecutorsApi, ModelExecutor, 16); Q_AT(ExecutorsApi, AsyncModelExecutor, 24); Q_AT(ExecutorsApi, baseOps, 32);
Q_SIZE(BaseConnectorObject, H + 48); Q_AT(BaseConnectorObject, _pool, H); Q_AT(BaseConnectorObject, Type, H + 8);
Q_AT(BaseConnectorObject, isAsync, H + 12); Q_AT(BaseConnectorObject, selectCon, H + 16);
Q_AT(BaseConnectorObject, _config, H + 24); Q_AT(BaseConnectorObject, count, H + 32);
Q_AT(BaseConnectorObject, isReady, H + 36); Q_AT(BaseConnectorObject, dialect, H + 40);
Q_SIZE(Sqlite3ConnectorOps, 24); Q_AT(Sqlite3ConnectorOps, init_sqlite, 0);
Q_AT(Sqlite3ConnectorOps, autoFiledAnnounce, 8); Q_AT(Sqlite3ConnectorOps, getTableNameList, 16);
Q_SIZE(Sqlite3ConnectorObject, H + 136); Q_AT(Sqlite3ConnectorObject, ops, H + 48);
Q_AT(Sqlite3ConnectorObject, con, H + 56); Q_AT(Sqlite3ConnectorObject, path, H + 64);
Q_AT(Sqlite3ConnectorObject, transactionDepth, H + 72); Q_AT(Sqlite3ConnectorObject, threadState, H + 80);
Q_AT(Sqlite3ConnectorObject, timeout, H + 88); Q_AT(Sqlite3ConnectorObject, showLog, H + 96);
Q_AT(Sqlite3ConnectorObject, sharedConnection, H + 100); Q_AT(Sqlite3ConnectorObject, closed, H + 104);
Q_AT(Sqlite3ConnectorObject, blockOwner, H + 112); Q_AT(Sqlite3ConnectorObject, blockLock, H + 120);
Q_AT(Sqlite3ConnectorObject, spareCursor, H + 128);
Q_SIZE(AioSqliteConnectorObject, H + 104); Q_AT(AioSqliteConnectorObject, loop, H + 48);
Q_AT(AioSqliteConnectorObject, idle, H + 56); Q_AT(AioSqliteConnectorObject, isUsing, H + 64);
Q_AT(AioSqliteConnectorObject, path, H + 72); Q_AT(AioSqliteConnectorObject, conMap, H + 80);
Q_AT(AioSqliteConnectorObject, timeout, H + 88); Q_AT(AioSqliteConnectorObject, closed, H + 96);
Q_SIZE(AioMysqlConnectorObject, H + 96); Q_AT(AioMysqlConnectorObject, loop, H + 48);
Q_AT(AioMysqlConnectorObject, conMap, H + 56); Q_AT(AioMysqlConnectorObject, poolTask, H + 64);
Q_AT(AioMysqlConnectorObject, closed, H + 72); Q_AT(AioMysqlConnectorObject, acquireTimeout, H + 80);
Q_AT(AioMysqlConnectorObject, lockWaitTimeout, H + 88);
Q_SIZE(PyMysqlConnectorOps, 8); Q_AT(PyMysqlConnectorOps, _noop, 0);
Q_SIZE(PyMysqlConnectorObject, H + 104); Q_AT(PyMysqlConnectorObject, ops, H + 48);
Q_AT(PyMysqlConnectorObject, idle, H + 56); Q_AT(PyMysqlConnectorObject, threadState, H + 64);
Q_AT(PyMysqlConnectorObject, driverSettings, H + 72); Q_AT(PyMysqlConnectorObject, acquireTimeout, H + 80);
Q_AT(PyMysqlConnectorObject, maxsize, H + 88); Q_AT(PyMysqlConnectorObject, inUse, H + 92);
Q_AT(PyMysqlConnectorObject, closed, H + 96); Q_AT(PyMysqlConnectorObject, lockWaitTimeout, H + 100);
Q_SIZE(ConnectorApi, 72); Q_AT(ConnectorApi, version, 0); Q_AT(ConnectorApi, BaseConnector, 8);
Q_AT(ConnectorApi, Sqlite3Connector, 16); Q_AT(ConnectorApi, AioSqliteConnector, 24);
Q_AT(ConnectorApi, AioMysqlConnector, 32); Q_AT(ConnectorApi, PyMysqlConnector, 40);
Q_AT(ConnectorApi, PostgresConnector, 48); Q_AT(ConnectorApi, AioPostgresConnector, 56);
Q_AT(ConnectorApi, process, 64);
Q_SIZE(DBObject, H + 8); Q_AT(DBObject, _connector, H);
Q_SIZE(DBApi, 24); Q_AT(DBApi, version, 0); Q_AT(DBApi, DB, 8); Q_AT(DBApi, instance, 16);
Q_SIZE(PagingOps, 8); Q_AT(PagingOps, _execute, 0);
Q_SIZE(PagingObject, H + 48); Q_AT(PagingObject, ops, H); Q_AT(PagingObject, target, H + 8);
Q_AT(PagingObject, executor, H + 16); Q_AT(PagingObject, page, H + 24); Q_AT(PagingObject, pageSize, H + 28);
Q_AT(PagingObject, deep, H + 32); Q_AT(PagingObject, relations, H + 40);
Q_SIZE(RunnerTaskObject, H + 24); Q_AT(RunnerTaskObject, _model, H); Q_AT(RunnerTaskObject, generator, H + 8);
Q_AT(RunnerTaskObject, count, H + 16);
Q_SIZE(GeneratorRunnerOps, 8); Q_AT(GeneratorRunnerOps, _run, 0);
Q_SIZE(GeneratorRunnerObject, H + 16); Q_AT(GeneratorRunnerObject, ops, H); Q_AT(GeneratorRunnerObject, loop, H + 8);
#undef Q_SIZE
#undef Q_AT
}  // namespace layout_check
#endif

// Capsule names.
inline constexpr const char* kGeneratorCapsule = "Quillon.DB.Generator._C_API";
inline constexpr const char* kColumnsCapsule = "Quillon.Model.Columns._C_API";
inline constexpr const char* kEntityCapsule = "Quillon.Model.Entity._C_API";
inline constexpr const char* kExecutorsCapsule = "Quillon.Model.Executors._C_API";
inline constexpr const char* kConnectorCapsule = "Quillon.DB.Connector._C_API";
inline constexpr const char* kDBCapsule = "Quillon.DB.DB._C_API";

}  // namespace quillon
