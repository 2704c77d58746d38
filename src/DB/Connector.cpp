// Quillon.DB.Connector: the database connectors.
// Placeholder: the types exist so the package loads; their behaviour comes later.
#include <quillon/layouts.hpp>
#include <quillon/native.hpp>

using namespace quillon;

namespace {

PyType_Slot BaseConnectorSlots[] = {{0, nullptr}};
PyType_Spec BaseConnectorSpec = {"Quillon.DB.Connector.BaseConnector", sizeof(BaseConnectorObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, BaseConnectorSlots};
PyType_Slot Sqlite3ConnectorSlots[] = {{0, nullptr}};
PyType_Spec Sqlite3ConnectorSpec = {"Quillon.DB.Connector.Sqlite3Connector", sizeof(Sqlite3ConnectorObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, Sqlite3ConnectorSlots};
PyType_Slot AioSqliteConnectorSlots[] = {{0, nullptr}};
PyType_Spec AioSqliteConnectorSpec = {"Quillon.DB.Connector.AioSqliteConnector", sizeof(AioSqliteConnectorObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, AioSqliteConnectorSlots};
PyType_Slot AioMysqlConnectorSlots[] = {{0, nullptr}};
PyType_Spec AioMysqlConnectorSpec = {"Quillon.DB.Connector.AioMysqlConnector", sizeof(AioMysqlConnectorObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, AioMysqlConnectorSlots};
PyType_Slot PyMysqlConnectorSlots[] = {{0, nullptr}};
PyType_Spec PyMysqlConnectorSpec = {"Quillon.DB.Connector.PyMysqlConnector", sizeof(PyMysqlConnectorObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, PyMysqlConnectorSlots};
ConnectorApi api;

void exec(PyObject* module) {
    PyTypeObject* BaseConnector = addType(module, &BaseConnectorSpec);
    PyTypeObject* Sqlite3Connector = addType(module, &Sqlite3ConnectorSpec, BaseConnector);
    PyTypeObject* AioSqliteConnector = addType(module, &AioSqliteConnectorSpec, BaseConnector);
    PyTypeObject* AioMysqlConnector = addType(module, &AioMysqlConnectorSpec, BaseConnector);
    PyTypeObject* PyMysqlConnector = addType(module, &PyMysqlConnectorSpec, BaseConnector);
    api.BaseConnector = BaseConnector;
    api.Sqlite3Connector = Sqlite3Connector;
    api.AioSqliteConnector = AioSqliteConnector;
    api.AioMysqlConnector = AioMysqlConnector;
    api.PyMysqlConnector = PyMysqlConnector;
    publish(module, &api, kConnectorCapsule);
    bindApi<DBApi>("Quillon.DB.DB", kDBCapsule);
    bindApi<ColumnsApi>("Quillon.Model.Columns", kColumnsCapsule);
    bindApi<GeneratorApi>("Quillon.DB.Generator", kGeneratorCapsule);
    bindApi<EntityApi>("Quillon.Model.Entity", kEntityCapsule);
    bindApi<ExecutorsApi>("Quillon.Model.Executors", kExecutorsCapsule);
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_exec, (void*)execModule<exec>},
    {0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "Quillon.DB.Connector", "The database connectors.", 0, nullptr, moduleSlots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Connector() { return PyModuleDef_Init(&moduleDef); }
