// Quillon.Model.Executors: the executors that run one model's statements.
//
// An executor owns a statement builder (`sqlBuilder`) already pointed at its
// model's table; the connector runs the builder's statement and hands the
// raw driver result to the executor's `handleResult`, which turns it into
// what the caller gets back.  `ModelExecutor` runs blocking through the
// facade's `execute`; `AsyncModelExecutor` returns awaitables.
#include <quillon/coro.hpp>
#include <quillon/layouts.hpp>
#include <quillon/native.hpp>
#include <quillon/override.hpp>

using namespace quillon;

namespace {

PyTypeObject* BaseModelExecutorType = nullptr;
PyTypeObject* ModelExecutorType = nullptr;
PyTypeObject* AsyncModelExecutorType = nullptr;

const GeneratorApi* generatorApi = nullptr;
const DBApi* dbApi = nullptr;

BaseModelExecutorObject* asExecutor(PyObject* o) { return reinterpret_cast<BaseModelExecutorObject*>(o); }

// ---------------------------------------------------------------------------
// Native table
// ---------------------------------------------------------------------------

OverrideSet<2> overrides{{"run", "handleResult"}};

// The facade that runs statements; an orderly error before DB.create().
PyObject* facade() {
    PyObject* db = dbApi->instance();
    if (!db || db == Py_None) {
        Ref missing = importFrom("Quillon.Error.DbFault", "DBInstanceMissingError");
        Ref exc = call(missing.get());
        PyErr_SetObject(missing.get(), exc.get());
        throwPending();
    }
    return db;
}

// Runs the builder's statement through the facade's `execute`: the blocking
// connector's process(executor), or an awaitable of asyncProcess(executor=...).
Ref runNative(PyObject* self) {
    Ref op = getattr(facade(), "execute");
    if (PyObject_TypeCheck(self, AsyncModelExecutorType)) {
        Ref kwnames = tupleOf({interned("executor").get()});
        PyObject* argv[] = {self};
        return Ref::steal(PyObject_Vectorcall(op.get(), argv, 0, kwnames.get()));
    }
    return call(op.get(), self);
}

// The raw result of a statement becomes the executor's result unchanged
// until the model layer converts rows.
Ref handleResultNative(PyObject*, PyObject* raw) { return Ref::borrow(raw); }

PyObject* op_run(PyObject* self) {
    return entry([&] {
        if (overrides.overridden(self, 0)) return callMethod(self, overrides.name(0));
        return runNative(self);
    });
}

PyObject* op_handleResult(PyObject* self, PyObject* raw) {
    return entry([&] {
        if (overrides.overridden(self, 1)) return callMethod(self, overrides.name(1), raw);
        return handleResultNative(self, raw);
    });
}

const BaseModelExecutorOps baseOps = {op_run, op_handleResult};

// ---------------------------------------------------------------------------
// Python-visible operations
// ---------------------------------------------------------------------------

const size_t executorFieldOffsets[] = {offsetof(BaseModelExecutorObject, model),
                                      offsetof(BaseModelExecutorObject, sqlBuilder),
                                      offsetof(BaseModelExecutorObject, work)};
const FieldList executorFields{executorFieldOffsets, 3};

const Signature<2> newSignature{"BaseModelExecutor", {"model", "work"}, 1};

PyObject* Executor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return entry([&] {
        auto b = bind(newSignature, args, kwargs);
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        auto* ex = asExecutor(self.get());
        ex->ops = &baseOps;
        ex->model = Py_NewRef(b[0]);
        ex->work = Py_NewRef(b.get(1, Py_None));
        ex->sqlBuilder = Py_NewRef(Py_None);
        if (!generatorApi->newSqlGenerator) raise(PyExc_ImportError, "the statement builder is not available");
        Ref builder = Ref::steal(generatorApi->newSqlGenerator());
        // The builder already targets the model's table: callers that drive it
        // (the pager) never call From.
        if (b[0] != Py_None) {
            Ref table = Ref::stealOrNull(PyObject_GetAttrString(b[0], "tableName"));
            if (!table) PyErr_Clear();
            if (table) assignField(builder.as<SqlGeneratorObject>()->target, std::move(table));
        }
        assignField(ex->sqlBuilder, std::move(builder));
        return self;
    });
}

Ref Executor_model(PyObject* self) { return Ref::borrow(asExecutor(self)->model); }
Ref Executor_sqlBuilder(PyObject* self) { return Ref::borrow(asExecutor(self)->sqlBuilder); }
Ref Executor_work(PyObject* self) { return Ref::borrow(asExecutor(self)->work); }

Ref Executor_handleResult(PyObject* self, PyObject* raw) { return handleResultNative(self, raw); }

Ref Executor_execute(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("execute", nargs, kwnames);
    return Ref::steal(asExecutor(self)->ops->run(self));
}

PyMethodDef executorMethods[] = {
    Q_ONEARG("handleResult", Executor_handleResult, "handleResult(raw) -> the executor's result for a raw driver result"),
    Q_FAST("execute", Executor_execute, "execute() -> runs the statement recorded on sqlBuilder"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef executorGetSet[] = {
    Q_GETTER("model", Executor_model, "the model class the executor serves"),
    Q_GETTER("sqlBuilder", Executor_sqlBuilder, "the statement builder of the executor"),
    Q_GETTER("work", Executor_work, "the connection the executor was given, or None"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot baseSlots[] = {
    {Py_tp_new, (void*)Executor_new},
    {Py_tp_dealloc, (void*)deallocObject<executorFields>},
    {Py_tp_traverse, (void*)traverseObject<executorFields>},
    {Py_tp_clear, (void*)clearObject<executorFields>},
    {Py_tp_methods, executorMethods},
    {Py_tp_getset, executorGetSet},
    {Py_tp_doc, (void*)"Runs one model's statements over one unit of work."},
    {0, nullptr},
};
PyType_Slot blockingSlots[] = {
    {Py_tp_doc, (void*)"Executor whose operations run blocking (blocking connectors)."},
    {0, nullptr},
};
PyType_Slot asyncSlots[] = {
    {Py_tp_doc, (void*)"Executor whose operations return awaitables (asyncio connectors)."},
    {0, nullptr},
};

constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE;
PyType_Spec baseSpec = {"Quillon.Model.Executors.BaseModelExecutor", sizeof(BaseModelExecutorObject), 0, kFlags,
                        baseSlots};
// Derived specs leave out HAVE_GC: CPython inherits it with the base's traverse.
constexpr unsigned kDerivedFlags = kFlags & ~Py_TPFLAGS_HAVE_GC;
PyType_Spec blockingSpec = {"Quillon.Model.Executors.ModelExecutor", sizeof(BaseModelExecutorObject), 0, kDerivedFlags,
                            blockingSlots};
PyType_Spec asyncSpec = {"Quillon.Model.Executors.AsyncModelExecutor", sizeof(BaseModelExecutorObject), 0, kDerivedFlags,
                         asyncSlots};

ExecutorsApi api;

void exec(PyObject* module) {
    initCoroutines(module);
    BaseModelExecutorType = addType(module, &baseSpec);
    ModelExecutorType = addType(module, &blockingSpec, BaseModelExecutorType);
    AsyncModelExecutorType = addType(module, &asyncSpec, BaseModelExecutorType);
    api.BaseModelExecutor = BaseModelExecutorType;
    api.ModelExecutor = ModelExecutorType;
    api.AsyncModelExecutor = AsyncModelExecutorType;
    api.baseOps = &baseOps;
    publish(module, &api, kExecutorsCapsule);

    generatorApi = bindApi<GeneratorApi>("Quillon.DB.Generator", kGeneratorCapsule);
    bindApi<ColumnsApi>("Quillon.Model.Columns", kColumnsCapsule);
    dbApi = bindApi<DBApi>("Quillon.DB.DB", kDBCapsule);
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_exec, (void*)execModule<exec>},
    {0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "Quillon.Model.Executors",
                         "Model executors: the query API of a model, blocking and awaited.", 0, nullptr, moduleSlots,
                         nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Executors() { return PyModuleDef_Init(&moduleDef); }
