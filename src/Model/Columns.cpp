// Quillon.Model.Columns: column properties, filter cells and foreign keys.
// Placeholder: the types exist so the package loads; their behaviour comes later.
#include <quillon/layouts.hpp>
#include <quillon/native.hpp>

using namespace quillon;

namespace {

PyType_Slot NullDefaultSlots[] = {{0, nullptr}};
PyType_Spec NullDefaultSpec = {"Quillon.Model.Columns.NullDefault", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, NullDefaultSlots};
PyType_Slot AutoIncrementSlots[] = {{0, nullptr}};
PyType_Spec AutoIncrementSpec = {"Quillon.Model.Columns.AutoIncrement", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, AutoIncrementSlots};
PyType_Slot BasePropertySlots[] = {{0, nullptr}};
PyType_Spec BasePropertySpec = {"Quillon.Model.Columns.BaseProperty", sizeof(BasePropertyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, BasePropertySlots};
PyType_Slot FilterListCellSlots[] = {{0, nullptr}};
PyType_Spec FilterListCellSpec = {"Quillon.Model.Columns.FilterListCell", sizeof(FilterListCellObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, FilterListCellSlots};
ColumnsApi api;

void exec(PyObject* module) {
    PyTypeObject* NullDefault = addType(module, &NullDefaultSpec);
    PyTypeObject* AutoIncrement = addType(module, &AutoIncrementSpec);
    PyTypeObject* BaseProperty = addType(module, &BasePropertySpec);
    PyTypeObject* FilterListCell = addType(module, &FilterListCellSpec);
    api.NullDefault = NullDefault;
    api.AutoIncrement = AutoIncrement;
    api.BaseProperty = BaseProperty;
    api.FilterListCell = FilterListCell;
    publish(module, &api, kColumnsCapsule);
    bindApi<GeneratorApi>("Quillon.DB.Generator", kGeneratorCapsule);
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_exec, (void*)execModule<exec>},
    {0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "Quillon.Model.Columns", "Column properties, filter cells and foreign keys.", 0, nullptr, moduleSlots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Columns() { return PyModuleDef_Init(&moduleDef); }
