// Quillon.DB.DB: the process-wide database facade.
//
// `DB.create(connector=...)` makes the one facade of the process; every other
// subsystem reaches the active connector through `DB.getInstance()`.  The
// facade runs no SQL itself: its properties hand out the connector's
// operations.
#include <quillon/facade.hpp>
#include <quillon/native.hpp>

using namespace quillon;

namespace {

PyTypeObject* DBType = nullptr;
PyObject* heldInstance = nullptr;  // the facade made by create(); never replaced

const ConnectorApi* connectorApi = nullptr;

struct Errors {
    PyObject* DBInstanceError = nullptr;
    PyObject* DBInstanceCreateError = nullptr;
    PyObject* DBInstanceMissingError = nullptr;
    PyObject* ConnectorMissingError = nullptr;
} errors;

DBObject* asDB(PyObject* o) { return reinterpret_cast<DBObject*>(o); }

// The facade's connector; a facade made without one fails in an orderly way.
Ref requireConnector(PyObject* self) {
    Borrowed c(asDB(self)->_connector);
    if (c.get() == Py_None) raiseNew(errors.ConnectorMissingError);
    return c.ref();
}

// ---------------------------------------------------------------------------
// Construction
// ---------------------------------------------------------------------------

PyObject* DB_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return entry([&] {
        PyObject* cr = nullptr;
        PyObject* connector = Py_None;
        if (kwargs) {
            PyObject *key, *value;
            Py_ssize_t pos = 0;
            while (PyDict_Next(kwargs, &pos, &key, &value))
                if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "DB() keywords must be strings");
            cr = PyDict_GetItemString(kwargs, "cr");
            if (PyObject* c = PyDict_GetItemString(kwargs, "connector")) connector = c;
        }
        (void)args;  // positional arguments are accepted and ignored
        // The flag's __bool__ runs Python code: the connector is held.
        Ref held = Ref::borrow(connector);
        if (!cr || !truthy(Ref::borrow(cr).get())) raiseNew(errors.DBInstanceCreateError);
        if (held.get() != Py_None && !PyObject_TypeCheck(held.get(), connectorApi->BaseConnector))
            raiseConvert(held.get(), "BaseConnector");
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        asDB(self.get())->_connector = held.release();
        return self;
    });
}

Ref DB_create(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref existing = callMethod(cls, "getInstance");
    if (PyObject_TypeCheck(existing.get(), DBType)) raiseNew(errors.DBInstanceError);
    Ref positional = positionalTuple(args, nargs);
    Ref keywords = keywordDict(args, nargs, kwnames);
    check(PyDict_SetItemString(keywords.get(), "cr", Py_True));
    Ref facade = Ref::steal(PyObject_Call((PyObject*)DBType, positional.get(), keywords.get()));
    PyObject* old = heldInstance;
    heldInstance = facade.newRef();
    Py_XDECREF(old);
    return facade;
}

Ref DB_getInstance(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("getInstance", nargs, kwnames);
    return Ref::borrow(heldInstance ? heldInstance : Py_None);
}

Ref DB_getInstanceWithCheck(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("getInstanceWithCheck", nargs, kwnames);
    Ref instance = Ref::borrow(heldInstance);
    if (!instance || !truthy(instance.get())) raiseNew(errors.DBInstanceMissingError);
    return instance;
}

// ---------------------------------------------------------------------------
// Instance operations
// ---------------------------------------------------------------------------

Ref DB_getCon(PyObject* self) { return callMethod(requireConnector(self).get(), "getCon"); }

Ref DB_execute(PyObject* self) {
    Ref connector = requireConnector(self);
    bool isAsync = connector.as<BaseConnectorObject>()->isAsync;
    return getattr(connector.get(), isAsync ? "asyncProcess" : "process");
}

Ref DB_executeSql(PyObject* self) { return getattr(requireConnector(self).get(), "execute"); }

Ref DB_instance(PyObject*) { return Ref::borrow(heldInstance ? heldInstance : Py_None); }

Ref DB_ConnectorType(PyObject* self) { return getattr(requireConnector(self).get(), "Type"); }

Ref DB_GenerateTable(PyObject* self) {
    callMethod(requireConnector(self).get(), "GenerateTable");
    return Ref::borrow(self);
}

const size_t dbFieldOffsets[] = {offsetof(DBObject, _connector)};
const FieldList dbFields{dbFieldOffsets, 1};

PyMethodDef dbMethods[] = {
    Q_FAST_CLASS("create", DB_create, "create(connector=...) -> the process-wide facade (once per process)"),
    Q_FAST_CLASS("getInstance", DB_getInstance, "getInstance() -> the facade, or None before create()"),
    Q_FAST_CLASS("getInstanceWithCheck", DB_getInstanceWithCheck,
                 "getInstanceWithCheck() -> the facade; raises DBInstanceMissingError (a DBInstanceError) before create()"),
    Q_NOARGS("GenerateTable", DB_GenerateTable, "GenerateTable() -> self; creates the tables of the declared models"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef dbGetSet[] = {
    Q_GETTER("connector", fieldGetter<offsetof(DBObject, _connector)>, "the active connector"),
    Q_GETTER("getCon", DB_getCon, "a connection of the connector (an awaitable one for async connectors)"),
    Q_GETTER("execute", DB_execute, "the connector operation that runs an executor's prepared statement"),
    Q_GETTER("executeSql", DB_executeSql, "the connector operation that runs SQL text with %s placeholders"),
    Q_GETTER("instance", DB_instance, "the process-wide facade"),
    Q_GETTER("ConnectorType", DB_ConnectorType, "the connector's type code"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot dbSlots[] = {
    {Py_tp_new, (void*)DB_new},
    {Py_tp_dealloc, (void*)deallocObject<dbFields>},
    {Py_tp_traverse, (void*)traverseObject<dbFields>},
    {Py_tp_clear, (void*)clearObject<dbFields>},
    {Py_tp_methods, dbMethods},
    {Py_tp_getset, dbGetSet},
    {Py_tp_doc, (void*)"The process-wide database facade; made once with DB.create(connector=...)."},
    {0, nullptr},
};

PyType_Spec dbSpec = {"Quillon.DB.DB.DB", sizeof(DBObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, dbSlots};

PyObject* api_instance() { return heldInstance; }

DBApi api;

void exec(PyObject* module) {
    DBType = addType(module, &dbSpec);
    api.DB = DBType;
    api.instance = api_instance;
    publish(module, &api, kDBCapsule);

    importFrom("typing", "Generic");
    importFrom("typing", "TypeVar");
    Ref dbFault = importModule("Quillon.Error.DbFault");
    errors.DBInstanceError = getattr(dbFault.get(), "DBInstanceError").release();
    errors.DBInstanceCreateError = getattr(dbFault.get(), "DBInstanceCreateError").release();
    errors.DBInstanceMissingError = getattr(dbFault.get(), "DBInstanceMissingError").release();
    errors.ConnectorMissingError = getattr(dbFault.get(), "ConnectorMissingError").release();
    addObject(module, "DBInstanceError", errors.DBInstanceError);
    addObject(module, "DBInstanceCreateError", errors.DBInstanceCreateError);

    bindApi<ColumnsApi>("Quillon.Model.Columns", kColumnsCapsule);
    bindApi<GeneratorApi>("Quillon.DB.Generator", kGeneratorCapsule);
    bindApi<EntityApi>("Quillon.Model.Entity", kEntityCapsule);
    bindApi<ExecutorsApi>("Quillon.Model.Executors", kExecutorsCapsule);
    connectorApi = bindApi<ConnectorApi>("Quillon.DB.Connector", kConnectorCapsule);
}

PyModuleDef_Slot moduleSlots[] = {
    Q_MODULE_SLOTS(exec),
    {0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "Quillon.DB.DB", "The process-wide database facade.", 0, nullptr,
                         moduleSlots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_DB() { return PyModuleDef_Init(&moduleDef); }
