// What every module needs of the process-wide facade: the facade itself, its
// connector, and the package's own exception classes raised the one way.
#pragma once

#include "layouts.hpp"

namespace quillon {

// Raises an instance of the exception class `cls`, made with no arguments.
[[noreturn]] inline void raiseNew(PyObject* cls) {
    Ref exc = call(cls);
    PyErr_SetObject(cls, exc.get());
    throwPending();
}

// Raises the package exception class `name` of `module` (for instance
// "Quillon.Error.DbFault"), made with no arguments.
[[noreturn]] inline void raisePackageError(const char* module, const char* name) {
    Ref cls = importFrom(module, name);
    raiseNew(cls.get());
}

// The facade made by `DB.create` (borrowed; it lives for the process), or
// DBInstanceMissingError before it exists.
inline PyObject* activeFacade(const DBApi* db) {
    PyObject* facade = db->instance();
    if (!facade || facade == Py_None) raisePackageError("Quillon.Error.DbFault", "DBInstanceMissingError");
    return facade;
}

// The connector the facade holds (None for a facade made without one).
inline Ref activeConnector(const DBApi* db) {
    return Ref::borrow(reinterpret_cast<DBObject*>(activeFacade(db))->_connector);
}

// The connector the facade holds; ConnectorMissingError for a facade made
// without one.
inline Ref requireConnector(const DBApi* db) {
    Ref connector = activeConnector(db);
    if (connector.get() == Py_None) raisePackageError("Quillon.Error.DbFault", "ConnectorMissingError");
    return connector;
}

// Whether the active connector is an asyncio one.
inline bool activeConnectorIsAsync(const DBApi* db) {
    Ref connector = requireConnector(db);
    static PyObject* isAsync = nullptr;  // lives for the process
    if (!isAsync) isAsync = interned("isAsync").release();
    return truthy(getattr(connector.get(), isAsync).get());
}

// The SQL dialect of the active connector; SQLite's when no facade or
// connector exists yet (statements built without a database).
inline int activeDialect(const DBApi* db) {
    PyObject* facade = db->instance();
    if (!facade || facade == Py_None) return DIALECT_SQLITE;
    PyObject* connector = reinterpret_cast<DBObject*>(facade)->_connector;
    if (!connector || connector == Py_None) return DIALECT_SQLITE;
    return reinterpret_cast<BaseConnectorObject*>(connector)->dialect;
}

}  // namespace quillon
