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
enum SqlDialect : int { DIALECT_SQLITE = 0, DIALECT_MYSQL = 1 };

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
};

struct AioSqliteConnectorObject {
    BaseConnectorObject base;
    PyObject* loop;
    PyObject* con;
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
};

struct PyMysqlConnectorOps {
    PyObject* (*_noop)(PyObject* self);
};

struct PyMysqlConnectorObject {
    BaseConnectorObject base;
    const PyMysqlConnectorOps* ops;
};

struct ConnectorApi {
    unsigned version;
    PyTypeObject* BaseConnector;
    PyTypeObject* Sqlite3Connector;
    PyTypeObject* AioSqliteConnector;
    PyTypeObject* AioMysqlConnector;
    PyTypeObject* PyMysqlConnector;
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
// Frozen orders.
// ---------------------------------------------------------------------------

static_assert(offsetof(BaseSqlGeneratorObject, currentType) > offsetof(BaseSqlGeneratorObject, ops));
static_assert(offsetof(SqlGeneratorObject, selectCol) < offsetof(SqlGeneratorObject, whereCol) &&
              offsetof(SqlGeneratorObject, whereCol) < offsetof(SqlGeneratorObject, target) &&
              offsetof(SqlGeneratorObject, target) < offsetof(SqlGeneratorObject, limit) &&
              offsetof(SqlGeneratorObject, limit) < offsetof(SqlGeneratorObject, updateCol) &&
              offsetof(SqlGeneratorObject, updateCol) < offsetof(SqlGeneratorObject, _joinList) &&
              offsetof(SqlGeneratorObject, _joinList) < offsetof(SqlGeneratorObject, orderList));
static_assert(offsetof(SqlGeneratorOps, base) == 0 && offsetof(SqlGeneratorOps, update) == sizeof(void*) &&
              offsetof(SqlGeneratorOps, build_where) == 6 * sizeof(void*) &&
              offsetof(SqlGeneratorOps, build_join) == 11 * sizeof(void*));
static_assert(offsetof(TableGeneratorOps, build_col) == 2 * sizeof(void*));
static_assert(offsetof(BasePropertyObject, name) < offsetof(BasePropertyObject, _Type) &&
              offsetof(BasePropertyObject, _Type) < offsetof(BasePropertyObject, isPk) &&
              offsetof(BasePropertyObject, isPk) < offsetof(BasePropertyObject, Null) &&
              offsetof(BasePropertyObject, Null) < offsetof(BasePropertyObject, _default) &&
              offsetof(BasePropertyObject, _default) < offsetof(BasePropertyObject, _targetType) &&
              offsetof(BasePropertyObject, _targetType) < offsetof(BasePropertyObject, model) &&
              offsetof(BasePropertyObject, model) < offsetof(BasePropertyObject, define) &&
              offsetof(BasePropertyObject, define) < offsetof(BasePropertyObject, typeArgs));
static_assert(offsetof(BasePropertyOps, sizeChecker) == 0 && offsetof(BasePropertyOps, verifier) == sizeof(void*) &&
              offsetof(BasePropertyOps, desc) == 2 * sizeof(void*) && offsetof(BasePropertyOps, asc) == 3 * sizeof(void*) &&
              offsetof(BasePropertyOps, setFilter) == 4 * sizeof(void*));
static_assert(offsetof(FilterListCellObject, value) < offsetof(FilterListCellObject, relationship) &&
              offsetof(FilterListCellObject, relationship) < offsetof(FilterListCellObject, next) &&
              offsetof(FilterListCellObject, next) < offsetof(FilterListCellObject, col));
static_assert(offsetof(FilterListCellOps, append) == 0 && offsetof(FilterListCellOps, _add) == sizeof(void*));
static_assert(offsetof(BaseModelExecutorObject, model) < offsetof(BaseModelExecutorObject, sqlBuilder));
static_assert(offsetof(BaseModelExecutorOps, handleResult) == sizeof(void*));
static_assert(offsetof(BaseConnectorObject, _pool) < offsetof(BaseConnectorObject, Type) &&
              offsetof(BaseConnectorObject, Type) < offsetof(BaseConnectorObject, isAsync) &&
              offsetof(BaseConnectorObject, isAsync) < offsetof(BaseConnectorObject, selectCon) &&
              offsetof(BaseConnectorObject, selectCon) < offsetof(BaseConnectorObject, _config) &&
              offsetof(BaseConnectorObject, _config) < offsetof(BaseConnectorObject, count) &&
              offsetof(BaseConnectorObject, count) < offsetof(BaseConnectorObject, isReady) &&
              offsetof(BaseConnectorObject, isReady) < offsetof(BaseConnectorObject, dialect));
static_assert(offsetof(Sqlite3ConnectorOps, init_sqlite) == 0 &&
              offsetof(Sqlite3ConnectorOps, autoFiledAnnounce) == sizeof(void*) &&
              offsetof(Sqlite3ConnectorOps, getTableNameList) == 2 * sizeof(void*));

// Capsule names.
inline constexpr const char* kGeneratorCapsule = "Quillon.DB.Generator._C_API";
inline constexpr const char* kColumnsCapsule = "Quillon.Model.Columns._C_API";
inline constexpr const char* kEntityCapsule = "Quillon.Model.Entity._C_API";
inline constexpr const char* kExecutorsCapsule = "Quillon.Model.Executors._C_API";
inline constexpr const char* kConnectorCapsule = "Quillon.DB.Connector._C_API";
inline constexpr const char* kDBCapsule = "Quillon.DB.DB._C_API";

}  // namespace quillon
