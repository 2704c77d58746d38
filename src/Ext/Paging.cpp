// Quillon.Ext.Paging: page-by-page reads of a model query.
// Placeholder: the types exist so the package loads; their behaviour comes later.
#include <quillon/layouts.hpp>
#include <quillon/native.hpp>

using namespace quillon;

namespace {

PyType_Slot PagingSlots[] = {{0, nullptr}};
PyType_Spec PagingSpec = {"Quillon.Ext.Paging.Paging", sizeof(PagingObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, PagingSlots};

void exec(PyObject* module) {
    PyTypeObject* Paging = addType(module, &PagingSpec);
    (void)Paging;
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

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "Quillon.Ext.Paging", "Page-by-page reads of a model query.", 0, nullptr, moduleSlots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Paging() { return PyModuleDef_Init(&moduleDef); }
