// Quillon.Ext.Seeder: test-data generation tasks run blocking or on an event loop.
// Placeholder: the types exist so the package loads; their behaviour comes later.
#include <quillon/layouts.hpp>
#include <quillon/native.hpp>

using namespace quillon;

namespace {

PyType_Slot RunnerTaskSlots[] = {{0, nullptr}};
PyType_Spec RunnerTaskSpec = {"Quillon.Ext.Seeder.RunnerTask", sizeof(RunnerTaskObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, RunnerTaskSlots};
PyType_Slot GeneratorRunnerSlots[] = {{0, nullptr}};
PyType_Spec GeneratorRunnerSpec = {"Quillon.Ext.Seeder.GeneratorRunner", sizeof(GeneratorRunnerObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, GeneratorRunnerSlots};

void exec(PyObject* module) {
    PyTypeObject* RunnerTask = addType(module, &RunnerTaskSpec);
    PyTypeObject* GeneratorRunner = addType(module, &GeneratorRunnerSpec);
    (void)RunnerTask;
    (void)GeneratorRunner;
    bindApi<DBApi>("Quillon.DB.DB", kDBCapsule);
    bindApi<ConnectorApi>("Quillon.DB.Connector", kConnectorCapsule);
    bindApi<ColumnsApi>("Quillon.Model.Columns", kColumnsCapsule);
    bindApi<GeneratorApi>("Quillon.DB.Generator", kGeneratorCapsule);
    bindApi<EntityApi>("Quillon.Model.Entity", kEntityCapsule);
    bindApi<ExecutorsApi>("Quillon.Model.Executors", kExecutorsCapsule);
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_exec, (void*)execModule<exec>},
    {0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "Quillon.Ext.Seeder", "Test-data generation tasks run blocking or on an event loop.", 0, nullptr, moduleSlots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Seeder() { return PyModuleDef_Init(&moduleDef); }
