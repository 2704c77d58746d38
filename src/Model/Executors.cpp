// Quillon.Model.Executors: model executors: the query API of a model, blocking and awaited.
// Placeholder: the types exist so the package loads; their behaviour comes later.
#include <quillon/layouts.hpp>
#include <quillon/native.hpp>

using namespace quillon;

namespace {

PyType_Slot BaseModelExecutorSlots[] = {{0, nullptr}};
PyType_Spec BaseModelExecutorSpec = {"Quillon.Model.Executors.BaseModelExecutor", sizeof(BaseModelExecutorObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, BaseModelExecutorSlots};
PyType_Slot ModelExecutorSlots[] = {{0, nullptr}};
PyType_Spec ModelExecutorSpec = {"Quillon.Model.Executors.ModelExecutor", sizeof(BaseModelExecutorObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, ModelExecutorSlots};
PyType_Slot AsyncModelExecutorSlots[] = {{0, nullptr}};
PyType_Spec AsyncModelExecutorSpec = {"Quillon.Model.Executors.AsyncModelExecutor", sizeof(BaseModelExecutorObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, AsyncModelExecutorSlots};
ExecutorsApi api;

void exec(PyObject* module) {
    PyTypeObject* BaseModelExecutor = addType(module, &BaseModelExecutorSpec);
    PyTypeObject* ModelExecutor = addType(module, &ModelExecutorSpec, BaseModelExecutor);
    PyTypeObject* AsyncModelExecutor = addType(module, &AsyncModelExecutorSpec, BaseModelExecutor);
    api.BaseModelExecutor = BaseModelExecutor;
    api.ModelExecutor = ModelExecutor;
    api.AsyncModelExecutor = AsyncModelExecutor;
    publish(module, &api, kExecutorsCapsule);
    bindApi<GeneratorApi>("Quillon.DB.Generator", kGeneratorCapsule);
    bindApi<ColumnsApi>("Quillon.Model.Columns", kColumnsCapsule);
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_exec, (void*)execModule<exec>},
    {0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "Quillon.Model.Executors", "Model executors: the query API of a model, blocking and awaited.", 0, nullptr, moduleSlots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Executors() { return PyModuleDef_Init(&moduleDef); }
