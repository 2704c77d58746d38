// Quillon.Model.Entity: model declaration, rows and many-to-many middle models.
// Placeholder: the types exist so the package loads; their behaviour comes later.
#include <quillon/layouts.hpp>
#include <quillon/native.hpp>

using namespace quillon;

namespace {

PyType_Slot _EntitySlots[] = {{0, nullptr}};
PyType_Spec _EntitySpec = {"Quillon.Model.Entity._Entity", sizeof(EntityObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, _EntitySlots};
PyType_Slot ModelInstanceSlots[] = {{0, nullptr}};
PyType_Spec ModelInstanceSpec = {"Quillon.Model.Entity.ModelInstance", sizeof(ModelInstanceObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, ModelInstanceSlots};
PyType_Slot InstanceListSlots[] = {{0, nullptr}};
PyType_Spec InstanceListSpec = {"Quillon.Model.Entity.InstanceList", sizeof(InstanceListObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, InstanceListSlots};
EntityApi api;

void exec(PyObject* module) {
    PyTypeObject* _Entity = addType(module, &_EntitySpec);
    PyTypeObject* ModelInstance = addType(module, &ModelInstanceSpec, &PyDict_Type);
    PyTypeObject* InstanceList = addType(module, &InstanceListSpec, &PyList_Type);
    api._Entity = _Entity;
    api.ModelInstance = ModelInstance;
    api.InstanceList = InstanceList;
    publish(module, &api, kEntityCapsule);
    bindApi<ColumnsApi>("Quillon.Model.Columns", kColumnsCapsule);
    bindApi<GeneratorApi>("Quillon.DB.Generator", kGeneratorCapsule);
    bindApi<ConnectorApi>("Quillon.DB.Connector", kConnectorCapsule);
    bindApi<DBApi>("Quillon.DB.DB", kDBCapsule);
    bindApi<ExecutorsApi>("Quillon.Model.Executors", kExecutorsCapsule);

    // Interim model base until the metaclass lands: a plain class over
    // _Entity whose subclasses name their own table.
    Ref ns = Ref::steal(PyDict_New());
    check(PyDict_SetItemString(ns.get(), "pkName", Py_None));
    check(PyDict_SetItemString(ns.get(), "pkCol", Py_None));
    check(PyDict_SetItemString(ns.get(), "tableName", str("entity").get()));
    check(PyDict_SetItemString(ns.get(), "__module__", str("Quillon.Model.Entity").get()));
    Ref name = str("Entity");
    Ref bases = tupleOf({(PyObject*)_Entity});
    Ref entity = call((PyObject*)&PyType_Type, name.get(), bases.get(), ns.get());
    addObject(module, "Entity", entity.get());
    api.Entity = entity.release();
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_exec, (void*)execModule<exec>},
    {0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "Quillon.Model.Entity", "Model declaration, rows and many-to-many middle models.", 0, nullptr, moduleSlots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Entity() { return PyModuleDef_Init(&moduleDef); }
