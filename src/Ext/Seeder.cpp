// Quillon.Ext.Seeder: test-data generation tasks run blocking or on an event loop.
//
// Applications register tasks (a row-producing function, a model and a row
// count) with `create_task` or the `data_task` decorator; the module keeps
// every task in registration order, and the tasks of each group apart.  A
// `GeneratorRunner` runs the registered tasks (all of them, or one group's),
// saving each generated row through the model's executor: blocking, or as a
// native coroutine when the active connector is an asyncio one.
//
// The blocking run makes each task one transaction of the blocking SQLite
// connection (SqliteContextManager), so seeding many rows is not one commit
// per row; what ends up stored is the same, including the rows saved before
// an error.  The awaited run makes each task one `async with transaction()`
// block: committed when the task has saved all its rows, rolled back when
// one fails or the run is cancelled, and a savepoint of the caller's block
// when the run is awaited inside one, so only that block commits.
#include <quillon/coro.hpp>
#include <quillon/facade.hpp>
#include <quillon/layouts.hpp>
#include <quillon/native.hpp>

#include <string>

using namespace quillon;

namespace {

PyTypeObject* RunnerTaskType = nullptr;
PyTypeObject* GeneratorRunnerType = nullptr;

const DBApi* dbApi = nullptr;
const ConnectorApi* connectorApi = nullptr;
const EntityApi* entityApi = nullptr;
const ExecutorsApi* executorsApi = nullptr;

// Module state: every task ever registered, and the tasks of each group.
PyObject* taskList = nullptr;    // list of RunnerTask
PyObject* groupTable = nullptr;  // dict: group key -> list of RunnerTask

struct Names {
    Leaked time, object, getExecutor, save, isReady, getCon, is_running, run_until_complete, arun, __name__,
        write, flush, isatty, aenter, aexit;
} names;

PyObject* asyncioSleep = nullptr;
PyObject* pollDelay = nullptr;  // 0.3 seconds between readiness polls
PyObject* transactionBlock = nullptr;  // Quillon.DB.utils.SqliteContextManager
PyObject* awaitedBlock = nullptr;      // Quillon.DB.utils.transaction

// ===========================================================================
// RunnerTask
// ===========================================================================

RunnerTaskObject* asTask(PyObject* o) { return reinterpret_cast<RunnerTaskObject*>(o); }

const size_t taskFieldOffsets[] = {offsetof(RunnerTaskObject, _model), offsetof(RunnerTaskObject, generator)};
const FieldList taskFields{taskFieldOffsets, 2};

Ref newTask(PyObject* model, int count, PyObject* generator) {
    Ref self = Ref::steal(RunnerTaskType->tp_alloc(RunnerTaskType, 0));
    auto* t = asTask(self.get());
    t->_model = Py_NewRef(model);
    t->generator = Py_NewRef(generator);
    t->count = count;
    return self;
}

const Signature<3> taskSignature{"RunnerTask", {"model", "count", "generator"}, 3};

PyObject* RunnerTask_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return entry([&] {
        auto b = bind(taskSignature, args, kwargs);
        int count = asInt32(b[1]);
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        auto* t = asTask(self.get());
        t->_model = Py_NewRef(b[0]);
        t->generator = Py_NewRef(b[2]);
        t->count = count;
        return self;
    });
}

Ref generateRow(PyObject* generator, long time) {
    Ref t = integer(time);
    Ref kwnames = tupleOf({names.time.get()});
    PyObject* argv[] = {t.get()};
    return Ref::steal(PyObject_Vectorcall(generator, argv, 0, kwnames.get()));
}

// The task's model; a task registered without one learns it from one extra
// row of its generator (not saved).
Ref taskModel(PyObject* self) {
    auto* t = asTask(self);
    Ref known = Borrowed(t->_model).ref();
    if (truthy(known.get())) return known;
    Ref generator = Borrowed(t->generator).ref();
    Ref row = generateRow(generator.get(), 1);
    Ref model = getattr(row.get(), names.object.get());
    assignField(t->_model, model.get());
    return model;
}

Ref RunnerTask_model(PyObject* self) { return taskModel(self); }

PyGetSetDef taskGetSet[] = {
    Q_GETTER("model", RunnerTask_model, "the task's model class (learned from the generator when not given)"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot taskSlots[] = {
    {Py_tp_new, (void*)RunnerTask_new},
    {Py_tp_dealloc, (void*)deallocObject<taskFields>},
    {Py_tp_traverse, (void*)traverseObject<taskFields>},
    {Py_tp_clear, (void*)clearObject<taskFields>},
    {Py_tp_getset, taskGetSet},
    {Py_tp_doc, (void*)"RunnerTask(model, count, generator)\n\n"
                       "One registered generation task: `count` rows made by `generator(time=n)`."},
    {0, nullptr},
};
PyType_Spec taskSpec = {"Quillon.Ext.Seeder.RunnerTask", sizeof(RunnerTaskObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                        taskSlots};

// ===========================================================================
// Registration
// ===========================================================================

void registerTask(PyObject* generator, PyObject* model, PyObject* countArg, PyObject* group) {
    int count = asInt32(countArg);
    Ref task = newTask(model, count, generator);
    if (truthy(group)) {
        // The group's hash and comparisons run Python code: the list is held.
        Ref tasks = dictItem(groupTable, group).ref();
        if (!tasks) {
            tasks = Ref::steal(PyList_New(0));
            check(PyDict_SetItem(groupTable, group, tasks.get()));
        }
        check(PyList_Append(tasks.get(), task.get()));
    }
    check(PyList_Append(taskList, task.get()));
}

const Signature<4> createTaskSignature{"create_task", {"generator", "model", "count", "group"}, 1};

Ref create_task(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(createTaskSignature, args, nargs, kwnames);
    Ref one = integer(1);
    registerTask(b[0], b.get(1, Py_None), b.get(2, one.get()), b.get(3, Py_None));
    return Ref::none();
}

// The decorator made by data_task: its self is (model, count, group).
Ref dataTaskInner(PyObject* self, PyObject* fun) {
    // `self` is the decorator's own tuple: its items live as long as it does.
    registerTask(fun, tupleItem(self, 0).get(), tupleItem(self, 1).get(), tupleItem(self, 2).get());
    return Ref::borrow(fun);
}

PyMethodDef innerDef = Q_ONEARG("inner", dataTaskInner, "inner(fun) -> fun, registered as a generation task");

const Signature<3> dataTaskSignature{"data_task", {"model", "count", "group"}, 0};

Ref data_task(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto b = bind(dataTaskSignature, args, nargs, kwnames);
    Ref one = integer(1);
    Ref bound = tupleOf({b.get(0, Py_None), b.get(1, one.get()), b.get(2, Py_None)});
    return Ref::steal(PyCFunction_New(&innerDef, bound.get()));
}

// ===========================================================================
// Progress display (opt-in): rows done out of rows planned, per task, on
// standard error; redrawn in place on a terminal, one line per step otherwise.
// ===========================================================================

struct Progress {
    bool enabled = false;
    bool terminal = false;
    Local label;  // an awaited run keeps the display across its awaits
    int planned = 0;
    int step = 1;

    void start(PyObject* model, int count) {
        if (!enabled) return;
        Ref err = standardError();
        if (!err) {
            enabled = false;
            return;
        }
        Ref tty = Ref::stealOrNull(PyObject_CallMethodNoArgs(err.get(), names.isatty.get()));
        terminal = tty && PyObject_IsTrue(tty.get()) == 1;
        clearUnlessInterrupted();
        label = Ref::stealOrNull(PyObject_GetAttr(model, names.__name__.get()));
        if (!label || !PyUnicode_Check(label.get())) {
            clearUnlessInterrupted();
            label = Ref::steal(PyObject_Repr(model));
        }
        planned = count > 0 ? count : 0;
        // A terminal line is redrawn often; a log gets about ten lines per task.
        int parts = terminal ? 100 : 10;
        step = planned > parts ? (planned + parts - 1) / parts : 1;
        show(0, planned == 0);
    }
    void advance(int done) {
        if (!enabled) return;
        if (done == planned || done % step == 0) show(done, done == planned);
    }
    void show(int done, bool last) {
        Ref line = Ref::steal(PyUnicode_FromFormat("%sseeding %U: %d/%d rows%s", terminal ? "\r" : "", label.get(),
                                                   done, planned, terminal && !last ? "" : "\n"));
        Ref err = standardError();
        if (!err) return;
        callMethod(err.get(), names.write.get(), line.get());
        callMethod(err.get(), names.flush.get());
    }
    // sys.stderr, held (writing to it may replace it), or null without one.
    static Ref standardError() {
        Borrowed err(PySys_GetObject("stderr"));
        return err && err.get() != Py_None ? err.ref() : Ref();
    }
    // A display that cannot ask or name is no error, but an interrupt is.
    static void clearUnlessInterrupted() {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) throwPending();
        PyErr_Clear();
    }
};

// ===========================================================================
// GeneratorRunner
// ===========================================================================

// The runner's object: the shared layout followed by this module's own flag.
struct RunnerObject {
    GeneratorRunnerObject base;
    int progress;
};

RunnerObject* asRunner(PyObject* o) { return reinterpret_cast<RunnerObject*>(o); }

const size_t runnerFieldOffsets[] = {offsetof(GeneratorRunnerObject, loop)};
const FieldList runnerFields{runnerFieldOffsets, 1};

Ref checkedTask(Borrowed task) {
    if (task.get() == Py_None) raise(PyExc_AttributeError, "'NoneType' object has no attribute 'model'");
    if (!PyObject_TypeCheck(task.get(), RunnerTaskType)) raiseConvert(task.get(), "RunnerTask");
    return task.ref();
}

// A value that must be an object of a native type or None, refused with the
// type's short name.
void requireKind(PyObject* v, PyTypeObject* type, const char* name) {
    if (v != Py_None && !PyObject_TypeCheck(v, type)) raiseConvert(v, name);
}

Ref taskExecutor(PyObject* task, PyObject* work, PyTypeObject* required, const char* requiredName) {
    Ref model = taskModel(task);
    Ref executor = work ? callMethod(model.get(), names.getExecutor.get(), work)
                        : callMethod(model.get(), names.getExecutor.get());
    requireKind(executor.get(), required, requiredName);
    return executor;
}

Ref checkedRow(PyObject* generator, int time) {
    Ref row = generateRow(generator, time);
    requireKind(row.get(), entityApi->ModelInstance, "ModelInstance");
    return row;
}

// A snapshot of the tasks to run: registrations made during the run are not
// part of it.
Ref snapshot(PyObject* tasks) { return Ref::steal(PyList_GetSlice(tasks, 0, PyList_GET_SIZE(tasks))); }

// One transaction block of a blocking connector around a task.  The block
// always ends with a commit: rows saved before an error stay saved, as they
// would with a commit per row.
class TaskTransaction {
public:
    explicit TaskTransaction(PyObject* connector) {
        if (!PyObject_TypeCheck(connector, connectorApi->Sqlite3Connector) &&
            !PyObject_TypeCheck(connector, connectorApi->PyMysqlConnector) &&
            !PyObject_TypeCheck(connector, connectorApi->PostgresConnector))
            return;
        block_ = call(transactionBlock, connector);
        Ref entered = callMethod(block_.get(), "__enter__");
    }
    void finish() {
        if (!block_) return;
        Ref block = std::move(block_);
        callMethod(block.get(), "__exit__", Py_None, Py_None, Py_None);
    }
    // Ends the block while an error is on its way out; that error wins.
    void abandon() noexcept {
        if (!block_) return;
        Ref block = std::move(block_);
        PyObject* r = PyObject_CallMethod(block.get(), "__exit__", "OOO", Py_None, Py_None, Py_None);
        if (r)
            Py_DECREF(r);
        else
            PyErr_Clear();
    }
    ~TaskTransaction() { abandon(); }

private:
    Ref block_;
};

void runTaskBlocking(PyObject* self, PyObject* connector, PyObject* task) {
    Ref executor = taskExecutor(task, nullptr, executorsApi->ModelExecutor, "ModelExecutor");
    Ref generator = Borrowed(asTask(task)->generator).ref();
    int count = asTask(task)->count;
    Progress progress;
    progress.enabled = asRunner(self)->progress;
    progress.start(Borrowed(asTask(task)->_model).ref().get(), count);
    TaskTransaction transaction(connector);
    for (int time = 1; time <= count; ++time) {
        Ref row = checkedRow(generator.get(), time);
        callMethod(executor.get(), names.save.get(), row.get());
        progress.advance(time);
    }
    transaction.finish();
}

void runBlocking(PyObject* self, PyObject* tasks) {
    Ref run = snapshot(tasks);
    Ref connector = requireConnector(dbApi);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(run.get()); ++i)
        runTaskBlocking(self, connector.get(), checkedTask(listItem(run.get(), i)).get());
}

// One task's rows, saved on the connection of the calling task (or of the
// transaction block it runs in).
Coro saveTaskRows(Ref self, Ref task) {
    Local con = co_await awaitPy(callMethod(requireConnector(dbApi).get(), names.getCon.get()));
    Local executor = taskExecutor(task.get(), con.get(), executorsApi->AsyncModelExecutor, "AsyncModelExecutor");
    Local generator = Borrowed(asTask(task.get())->generator).ref();
    int count = asTask(task.get())->count;
    Progress progress;
    progress.enabled = asRunner(self.get())->progress;
    progress.start(Borrowed(asTask(task.get())->_model).ref().get(), count);
    for (int time = 1; time <= count; ++time) {
        Ref saving = callMethod(executor.get(), names.save.get(), checkedRow(generator.get(), time).get());
        co_await awaitPy(std::move(saving));
        progress.advance(time);
    }
    co_return Ref::none();
}

Coro runAwaited(Ref self, Ref tasks) {
    Local run = snapshot(tasks.get());
    while (!truthy(getattr(requireConnector(dbApi).get(), names.isReady.get()).get()))
        co_await awaitPy(call(asyncioSleep, pollDelay));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(run.get()); ++i) {
        Local task = checkedTask(listItem(run.get(), i));
        Local block = call(awaitedBlock);
        co_await awaitPy(callMethod(block.get(), names.aenter.get()));
        LocalError failure;
        try {
            co_await awaitPy(toPython(saveTaskRows(Ref::borrow(self.get()), Ref::borrow(task.get())), "GeneratorRunner.arun.<task>"));
        } catch (PyError& e) {
            failure = std::move(e);
        }
        if (failure) {
            // The block rolls back; the task's own error is the one to raise.
            PyObject* type = failure->isException() ? PyExc_Exception : PyExc_BaseException;
            try {
                co_await awaitPy(callMethod(block.get(), names.aexit.get(), type, Py_None, Py_None));
            } catch (PyError& e) {
                if (!e.isException()) throw;
            }
            failure.rethrow();
        }
        co_await awaitPy(callMethod(block.get(), names.aexit.get(), Py_None, Py_None, Py_None));
    }
    co_return Ref::none();
}

PyObject* op__run(PyObject* self) {
    return entry([&] {
        runBlocking(self, taskList);
        return Ref::none();
    });
}

const GeneratorRunnerOps runnerOps = {op__run};

const Signature<2> runnerSignature{"GeneratorRunner", {"loop", "progress"}, 0};

PyObject* GeneratorRunner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return entry([&] {
        auto b = bind(runnerSignature, args, kwargs);
        bool progress = b[1] && truthy(b[1]);
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        auto* r = asRunner(self.get());
        r->base.ops = &runnerOps;
        r->base.loop = Py_NewRef(b.get(0, Py_None));
        r->progress = progress;
        return self;
    });
}

Ref awaitedRun(PyObject* self, PyObject* tasks, const char* qualname) {
    return toPython(runAwaited(Ref::borrow(self), Ref::borrow(tasks)), qualname);
}

// Runs a coroutine of the runner on its loop.  A stopped loop runs it to
// completion; inside the running loop nothing can block until the rows are
// stored, so the coroutine itself is returned for the caller to await (a
// coroutine nobody awaits is reported by the interpreter, never dropped
// silently).
Ref runOnLoop(PyObject* self, Ref coroutine) {
    Ref loop = Borrowed(asRunner(self)->base.loop).ref();
    Ref running = callMethod(loop.get(), names.is_running.get());
    if (truthy(running.get())) return coroutine;
    callMethod(loop.get(), names.run_until_complete.get(), coroutine.get());
    return Ref::none();
}

Ref GeneratorRunner_run(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    noArguments("run", nargs, kwnames);
    if (activeConnectorIsAsync(dbApi)) {
        // The loop is checked before the coroutine exists, so a runner
        // without one leaves no never-awaited coroutine behind.
        Ref isRunning = getattr(asRunner(self)->base.loop, names.is_running.get());
        return runOnLoop(self, callMethod(self, names.arun.get()));
    }
    Ref done = Ref::steal(asRunner(self)->base.ops->_run(self));
    return Ref::none();
}

Ref GeneratorRunner_arun(PyObject* self) { return awaitedRun(self, taskList, "GeneratorRunner.arun"); }

Ref GeneratorRunner_run_group(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    noKeywords("run_group", kwnames);
    if (nargs != 1) raise(PyExc_TypeError, "run_group() takes exactly one argument (%zd given)", nargs);
    Ref held = Ref::borrow(PyDict_GetItemWithError(groupTable, args[0]));
    if (!held) {
        checkError();
        // An unknown group has no tasks: nothing to run, but inside a running
        // loop still something to await, like every other group.
        PyObject* facade = dbApi->instance();
        if (!facade || facade == Py_None) return Ref::none();
        held = Ref::steal(PyList_New(0));
    }
    if (activeConnectorIsAsync(dbApi)) {
        Ref isRunning = getattr(asRunner(self)->base.loop, names.is_running.get());
        return runOnLoop(self, awaitedRun(self, held.get(), "GeneratorRunner.run_group"));
    }
    runBlocking(self, held.get());
    return Ref::none();
}

PyMethodDef runnerMethods[] = {
    Q_FAST("run", GeneratorRunner_run,
           "run() -> None once every registered task has run; inside the running loop of an asyncio\n"
           "connector, the coroutine that runs them (await it)"),
    Q_NOARGS("arun", GeneratorRunner_arun, "arun() -> a coroutine running every registered task"),
    Q_FAST("run_group", GeneratorRunner_run_group,
           "run_group(group) -> None once the tasks registered under group have run; inside the running\n"
           "loop of an asyncio connector, the coroutine that runs them (await it)"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot runnerSlots[] = {
    {Py_tp_new, (void*)GeneratorRunner_new},
    {Py_tp_dealloc, (void*)deallocObject<runnerFields>},
    {Py_tp_traverse, (void*)traverseObject<runnerFields>},
    {Py_tp_clear, (void*)clearObject<runnerFields>},
    {Py_tp_methods, runnerMethods},
    {Py_tp_doc, (void*)"GeneratorRunner(loop=None, progress=False)\n\n"
                       "Runs the registered generation tasks; `loop` is used with asyncio connectors,\n"
                       "`progress` shows rows done per task on standard error."},
    {0, nullptr},
};
PyType_Spec runnerSpec = {"Quillon.Ext.Seeder.GeneratorRunner", sizeof(RunnerObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                          runnerSlots};

PyMethodDef moduleMethods[] = {
    Q_FAST("create_task", create_task,
           "create_task(generator, model=None, count=1, group=None) -> None; registers a generation task"),
    Q_FAST("data_task", data_task,
           "data_task(model=None, count=1, group=None) -> a decorator registering the decorated generator"),
    {nullptr, nullptr, 0, nullptr},
};

void internNames() {
    names.time = interned("time");
    names.object = interned("object");
    names.getExecutor = interned("getExecutor");
    names.save = interned("save");
    names.isReady = interned("isReady");
    names.getCon = interned("getCon");
    names.is_running = interned("is_running");
    names.run_until_complete = interned("run_until_complete");
    names.arun = interned("arun");
    names.__name__ = interned("__name__");
    names.write = interned("write");
    names.flush = interned("flush");
    names.isatty = interned("isatty");
    names.aenter = interned("__aenter__");
    names.aexit = interned("__aexit__");
}

void exec(PyObject* module) {
    initCoroutines(module);
    internNames();
    RunnerTaskType = addType(module, &taskSpec);
    GeneratorRunnerType = addType(module, &runnerSpec);
    check(PyModule_AddFunctions(module, moduleMethods));
    // Kept for the life of the process, like the registrations they hold.
    taskList = Ref::steal(PyList_New(0)).release();
    groupTable = Ref::steal(PyDict_New()).release();

    Ref asyncio = importModule("asyncio");
    asyncioSleep = getattr(asyncio.get(), "sleep").release();
    pollDelay = Ref::steal(PyFloat_FromDouble(0.3)).release();
    addObject(module, "asyncio", asyncio.get());
    importModule("enum");
    Ref typing = importModule("typing");
    for (const char* name : {"Type", "Optional", "Union", "Callable", "Dict", "List"})
        addObject(module, name, getattr(typing.get(), name).get());

    dbApi = bindApi<DBApi>("Quillon.DB.DB", kDBCapsule);
    connectorApi = bindApi<ConnectorApi>("Quillon.DB.Connector", kConnectorCapsule);
    bindApi<ColumnsApi>("Quillon.Model.Columns", kColumnsCapsule);
    bindApi<GeneratorApi>("Quillon.DB.Generator", kGeneratorCapsule);
    entityApi = bindApi<EntityApi>("Quillon.Model.Entity", kEntityCapsule);
    executorsApi = bindApi<ExecutorsApi>("Quillon.Model.Executors", kExecutorsCapsule);
    addObject(module, "Entity", importFrom("Quillon.Model.Entity", "Entity").get());
    transactionBlock = importFrom("Quillon.DB.utils", "SqliteContextManager").release();
    awaitedBlock = importFrom("Quillon.DB.utils", "transaction").release();
}

PyModuleDef_Slot moduleSlots[] = {
    Q_MODULE_SLOTS(exec),
    {0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "Quillon.Ext.Seeder",
                         "Test-data generation tasks run blocking or on an event loop.", 0, nullptr, moduleSlots,
                         nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Seeder() { return PyModuleDef_Init(&moduleDef); }
