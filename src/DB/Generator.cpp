// Quillon.DB.Generator: sQL generation: statement builder, renderers and table generator.
// Placeholder: the types exist so the package loads; their behaviour comes later.
#include <quillon/layouts.hpp>
#include <quillon/native.hpp>

using namespace quillon;

namespace {

PyType_Slot BaseSqlGeneratorSlots[] = {{0, nullptr}};
PyType_Spec BaseSqlGeneratorSpec = {"Quillon.DB.Generator.BaseSqlGenerator", sizeof(BaseSqlGeneratorObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, BaseSqlGeneratorSlots};
PyType_Slot CustomColAnnounceSlots[] = {{0, nullptr}};
PyType_Spec CustomColAnnounceSpec = {"Quillon.DB.Generator.CustomColAnnounce", sizeof(CustomColAnnounceObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, CustomColAnnounceSlots};
PyType_Slot SqlGeneratorSlots[] = {{0, nullptr}};
PyType_Spec SqlGeneratorSpec = {"Quillon.DB.Generator.SqlGenerator", sizeof(SqlGeneratorObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, SqlGeneratorSlots};
PyType_Slot JoinCellSlots[] = {{0, nullptr}};
PyType_Spec JoinCellSpec = {"Quillon.DB.Generator.JoinCell", sizeof(JoinCellObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, JoinCellSlots};
PyType_Slot TableGeneratorSlots[] = {{0, nullptr}};
PyType_Spec TableGeneratorSpec = {"Quillon.DB.Generator.TableGenerator", sizeof(TableGeneratorObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, TableGeneratorSlots};
GeneratorApi api;

// Table creation for every declared model; filled in with the model layer.
Ref generate_table(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("generate_table", nargs, kwnames);
    return Ref::none();
}

PyMethodDef moduleMethods[] = {
    Q_FAST("generate_table", generate_table, "generate_table() -> creates the table of every declared model"),
    {nullptr, nullptr, 0, nullptr},
};

void exec(PyObject* module) {
    PyTypeObject* BaseSqlGenerator = addType(module, &BaseSqlGeneratorSpec);
    PyTypeObject* CustomColAnnounce = addType(module, &CustomColAnnounceSpec, BaseSqlGenerator);
    PyTypeObject* SqlGenerator = addType(module, &SqlGeneratorSpec, BaseSqlGenerator);
    PyTypeObject* JoinCell = addType(module, &JoinCellSpec);
    PyTypeObject* TableGenerator = addType(module, &TableGeneratorSpec, BaseSqlGenerator);
    api.BaseSqlGenerator = BaseSqlGenerator;
    api.CustomColAnnounce = CustomColAnnounce;
    api.SqlGenerator = SqlGenerator;
    api.JoinCell = JoinCell;
    api.TableGenerator = TableGenerator;
    publish(module, &api, kGeneratorCapsule);
    check(PyModule_AddFunctions(module, moduleMethods));
    bindApi<ColumnsApi>("Quillon.Model.Columns", kColumnsCapsule);
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_exec, (void*)execModule<exec>},
    {0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "Quillon.DB.Generator", "SQL generation: statement builder, renderers and table generator.", 0, nullptr, moduleSlots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Generator() { return PyModuleDef_Init(&moduleDef); }
