// flowmesh.imp.worker: ProcessingElementImp, the common base of nodes and
// chains: name, run state, condition, cycle counter, first failure, context
// and logger, plus the roll-back shared by everything that starts a sequence
// of elements.

#include "objects.hpp"

namespace {

// clang-format off
#define FM_WORKER_NAMES(X) \
    X(Keys) X(NAME) X(name) X(write) X(stop) X(get_state)
// clang-format on
FM_NAME_TABLE(FM_WORKER_NAMES);

struct WorkerState {
    PyObject* type;  // ProcessingElementImp
    PyObject* base;  // PortableImp, whose constructor registers the id
    NameTable n;
    PyObject* write_kwnames;  // ("type", "message")
    PyObject* empty_str;
    fm::Lazy logger_class{"flowmesh.logging", "Logger"};
    fm::Constants c;
    fm::Lazy current_element{"flowmesh.logging", "current_element"};

    // Every reference the state owns, for traverse/clear.
    template <typename F>
    int refs(F f) {
        return f(type, base, n, write_kwnames, empty_str, logger_class, current_element, c);
    }
};

extern PyModuleDef worker_module;

fm::ElementObject* element(PyObject* self) {
    return fm::as<fm::ElementObject>(self);
}

// ------------------------------------------------------------- construction

int element_init(PyObject* self, PyObject* args, PyObject* kwds) {
    WorkerState* st = fm::instance_state<WorkerState>(self, &worker_module);
    if (!st) return -1;
    if (fm::init_base(st->type, self, args, kwds) < 0) return -1;

    PyObject* stopped = st->c.stopped.get();
    PyObject* healthy = st->c.healthy.get();
    if (!stopped || !healthy) return -1;

    fm::ElementObject* e = element(self);
    fm::set_count(e->counter, 0);
    fm::set_count(e->busy_ns, 0);
    // No logger yet: the memory logger of its own is made on first need
    // (see logger_of), since most elements take their pipeline's instead.
    fm::set_field_of(self, &e->logger, nullptr);
    fm::set_field_of(self, &e->state, stopped);
    fm::set_field_of(self, &e->condition, healthy);
    fm::set_field_of(self, &e->context, Py_None);
    e->setup_failed = false;
    fm::set_field_of(self, &e->failure, Py_None);
    return 0;
}

// ---------------------------------------------------------------- operations

// `name` read from the record: text or None.
PyObject* element_get_name(PyObject* self, void* /*closure*/) {
    WorkerState* st = fm::instance_state<WorkerState>(self, &worker_module);
    if (!st) return nullptr;
    fm::Ref config = fm::borrow(fm::config_of(self));
    if (!config) return nullptr;
    fm::Ref keys = fm::steal(PyObject_GetAttr(config.get(), st->n(N_Keys)));
    if (!keys) return nullptr;
    fm::Ref key = fm::steal(PyObject_GetAttr(keys.get(), st->n(N_NAME)));
    if (!key) return nullptr;
    fm::Ref name = fm::steal(PyObject_GetItem(config.get(), key.get()));
    if (!name) return nullptr;
    if (name.get() != Py_None && !PyUnicode_Check(name.get()))
        return PyErr_Format(PyExc_TypeError, "Element name must be a str or None, not %s",
                            Py_TYPE(name.get())->tp_name);
    return name.release();
}

// The element's logger (None: silent). Until one is set, a memory logger of
// its own, made here the first time it is needed.
fm::Ref logger_of(WorkerState* st, PyObject* self) {
    fm::ElementObject* e = element(self);
    if (fm::Ref logger = fm::field_ref(self, &e->logger)) return logger;
    PyObject* logger_class = st->logger_class.get();
    if (!logger_class) return {};
    fm::Ref logger = fm::steal(PyObject_CallOneArg(logger_class, st->empty_str));
    if (!logger) return {};
    // Making it may have let another thread in that set one first.
    fm::CriticalSection cs(self);
    if (!e->logger) fm::publish(e->logger, Py_NewRef(logger.get()));
    return fm::borrow(e->logger);
}

// log(msg, type): `msg` goes to the logger untouched, so an exception arrives
// as an object with its traceback. The logger learns which element writes
// from the context variable: the calling thread may be another element's.
PyObject* log_impl(WorkerState* st, PyObject* self, PyObject* msg, PyObject* type) {
    fm::Ref logger = logger_of(st, self);
    if (!logger) return nullptr;
    if (logger.get() == Py_None) Py_RETURN_NONE;
    if (!type || type == Py_None) {
        type = st->c.log_info.get();
        if (!type) return nullptr;
    }
    PyObject* var = st->current_element.get();
    if (!var) return nullptr;
    fm::Ref token = fm::steal(PyContextVar_Set(var, self));
    if (!token) return nullptr;
    PyObject* const values[] = {type, msg};
    fm::Ref r =
        fm::steal(fm::call_method_kw(logger.get(), st->n(N_write), st->write_kwnames, values));
    fm::Ref pending = fm::steal(PyErr_GetRaisedException());
    int reset = PyContextVar_Reset(var, token.get());
    if (pending) {
        PyErr_SetRaisedException(pending.release());
        return nullptr;
    }
    if (reset < 0 || !r) return nullptr;
    Py_RETURN_NONE;
}

PyObject* element_log(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"msg", "type"};
    PyObject* a[] = {nullptr, Py_None};
    if (!fm::parse_args("log", args, nargs, kwnames, names, a, 1)) return nullptr;
    return log_impl(fm::class_state<WorkerState>(defining_class), self, a[0], a[1]);
}

// Moves to `target` and logs "{name} <suffix>" as INFO. The message is built
// first, so a name that cannot be read leaves the state as it was.
bool transition(WorkerState* st, PyObject* self, PyObject* target, const char* suffix) {
    fm::Ref name = fm::steal(PyObject_GetAttr(self, st->n(N_name)));
    if (!name) return false;
    fm::Ref msg = fm::steal(PyUnicode_FromFormat("%S %s", name.get(), suffix));
    if (!msg) return false;
    fm::set_field_of(self, &element(self)->state, target);
    fm::Ref r = fm::steal(log_impl(st, self, msg.get(), nullptr));
    return static_cast<bool>(r);
}

PyObject* element_start(WorkerState* st, PyObject* self) {
    int is_running = st->c.running.matches(fm::field_ref(self, &element(self)->state).get());
    if (is_running < 0) return nullptr;
    if (is_running) Py_RETURN_NONE;
    if (!transition(st, self, st->c.running.value, "started.")) return nullptr;
    Py_RETURN_NONE;
}

PyObject* element_stop(WorkerState* st, PyObject* self) {
    PyObject* stopped = st->c.stopped.get();
    if (!stopped) return nullptr;
    int is_running = st->c.running.matches(fm::field_ref(self, &element(self)->state).get());
    if (is_running < 0) return nullptr;
    if (!is_running) Py_RETURN_NONE;
    if (!transition(st, self, stopped, "stopped.")) return nullptr;
    Py_RETURN_NONE;
}

PyObject* element_get_counter(PyObject* self) {
    return PyLong_FromLongLong(fm::count_of(element(self)->counter));
}

PyObject* element_get_busy_time(PyObject* self) {
    return PyFloat_FromDouble(static_cast<double>(fm::count_of(element(self)->busy_ns)) * 1e-9);
}

PyObject* element_get_max_backlog(PyObject* /*self*/) {
    return PyLong_FromLong(0);
}

PyObject* element_reset_run_state(WorkerState* st, PyObject* self) {
    PyObject* healthy = st->c.healthy.get();
    if (!healthy) return nullptr;
    fm::ElementObject* e = element(self);
    fm::set_count(e->counter, 0);
    fm::set_count(e->busy_ns, 0);
    fm::set_field_of(self, &e->condition, healthy);
    fm::set_field_of(self, &e->context, Py_None);
    e->setup_failed = false;
    fm::set_field_of(self, &e->failure, Py_None);
    Py_RETURN_NONE;
}

PyObject* element_get_state(PyObject* self) {
    return fm::field_or_none(self, &element(self)->state).release();
}

PyObject* element_get_condition(PyObject* self) {
    return fm::field_or_none(self, &element(self)->condition).release();
}

PyObject* element_setup_failed(PyObject* self) {
    return PyBool_FromLong(element(self)->setup_failed);
}

PyObject* element_failure(PyObject* self) {
    return fm::field_or_none(self, &element(self)->failure).release();
}

// The first failure of a run wins: later ones are its consequences.
PyObject* element_record_failure(PyObject* self, PyObject* error) {
    if (!PyExceptionInstance_Check(error))
        return PyErr_Format(PyExc_TypeError,
                            "Argument 'error' has incorrect type (expected an exception, got %s)",
                            Py_TYPE(error)->tp_name);
    fm::set_field_if_unset(self, &element(self)->failure, error);
    Py_RETURN_NONE;
}

PyObject* element_get_context(PyObject* self) {
    return fm::field_or_none(self, &element(self)->context).release();
}

PyObject* element_set_logger(PyObject* self, PyObject* logger) {
    fm::set_field_of(self, &element(self)->logger, logger);
    Py_RETURN_NONE;
}

// stop_after_failed_start(started, failed, log): stops, newest first, what a
// start that raised left running; a stop that fails is logged and passed over.
PyObject* element_stop_after_failed_start(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    static const char* const names[] = {"started", "failed", "log"};
    PyObject* a[] = {nullptr, nullptr, nullptr};
    if (!fm::parse_args("stop_after_failed_start", args, nargs, kwnames, names, a, 3))
        return nullptr;
    if (!fm::check_exact(a[0], &PyList_Type, "started")) return nullptr;
    WorkerState* st = fm::module_state<WorkerState>(module);
    fm::Ref failed = fm::borrow(a[1]);
    fm::Ref log = fm::borrow(a[2]);

    // A copy: stopping may run code that changes the caller's list.
    fm::Ref work = fm::steal(PyList_GetSlice(a[0], 0, PY_SSIZE_T_MAX));
    if (!work || PyList_Reverse(work.get()) < 0) return nullptr;
    fm::Ref failed_state = fm::steal(fm::call_method(failed.get(), st->n(N_get_state)));
    if (!failed_state) return nullptr;
    int failed_running = st->c.running.matches(failed_state.get());
    if (failed_running < 0) return nullptr;
    if (failed_running && PyList_Insert(work.get(), 0, failed.get()) < 0) return nullptr;

    Py_ssize_t n = PyList_GET_SIZE(work.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        fm::Ref item = fm::borrow(PyList_GET_ITEM(work.get(), i));
        fm::Ref r = fm::steal(fm::call_method(item.get(), st->n(N_stop)));
        if (r) continue;
        if (!fm::pending_is_exception()) return nullptr;
        fm::Ref error = fm::steal(PyErr_GetRaisedException());
        fm::Ref name = fm::steal(PyObject_GetAttr(item.get(), st->n(N_name)));
        if (!name) return nullptr;
        fm::Ref msg = fm::steal(
            PyUnicode_FromFormat("Failed to stop node %S while recovering from a start failure: %S",
                                 name.get(), error.get()));
        if (!msg) return nullptr;
        fm::Ref logged = fm::steal(PyObject_CallOneArg(log.get(), msg.get()));
        if (!logged) return nullptr;
    }
    Py_RETURN_NONE;
}

// ------------------------------------------------------------------ type

int element_traverse(PyObject* self, visitproc visit, void* arg) {
    return fm::traverse_element(self, visit, arg);
}

int element_clear(PyObject* self) {
    fm::clear_element(self);
    return 0;
}

PyObject* element_counter_get(PyObject* self, void* /*closure*/) {
    return PyLong_FromLongLong(fm::count_of(element(self)->counter));
}

int element_counter_set(PyObject* self, PyObject* value, void* /*closure*/) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete attribute '_counter'");
        return -1;
    }
    long long v = PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred()) return -1;
    fm::set_count(element(self)->counter, v);
    return 0;
}

using fm::as_cfunc;

PyMethodDef element_methods[] = {
    fm::method_def<"start", element_start>(
        PyDoc_STR("start()\n--\n\nSTOPPED -> RUNNING, logged; no effect when running.")),
    fm::method_def<"stop", element_stop>(
        PyDoc_STR("stop()\n--\n\nRUNNING -> STOPPED, logged; no effect when stopped.")),
    fm::method_def<"get_counter", element_get_counter>(
        PyDoc_STR("get_counter()\n--\n\nNumber of completed cycles in this run.")),
    fm::method_def<"get_max_backlog", element_get_max_backlog>(
        PyDoc_STR("get_max_backlog()\n--\n\nLargest input backlog; 0 without inputs.")),
    fm::method_def<"get_busy_time", element_get_busy_time>(
        PyDoc_STR("get_busy_time()\n--\n\nSeconds spent in this node's handlers in this run "
                  "while handler timing was on, estimated from the calls it timed (see "
                  "flowmesh.imp.vertex._time_handlers).")),
    fm::method_def<"reset_run_state", element_reset_run_state>(
        PyDoc_STR("reset_run_state()\n--\n\nClear counter, condition, context and failure for a "
                  "new run.")),
    fm::method_def<"get_state", element_get_state>(PyDoc_STR("get_state()\n--\n\nRun state.")),
    fm::method_def<"get_condition", element_get_condition>(
        PyDoc_STR("get_condition()\n--\n\nHealth condition.")),
    fm::method_def<"setup_failed", element_setup_failed>(
        PyDoc_STR("setup_failed()\n--\n\nWhether setup raised in this run.")),
    fm::method_def<"failure", element_failure>(
        PyDoc_STR("failure()\n--\n\nThe first exception recorded in this run, or None.")),
    fm::method_def<"record_failure", element_record_failure, "error">(
        PyDoc_STR("record_failure(error)\n--\n\nKeep `error` unless a failure is already "
                  "recorded.")),
    fm::method_def<"get_context", element_get_context>(
        PyDoc_STR("get_context()\n--\n\nThe context produced by setup, or None.")),
    fm::method_def<"set_logger", element_set_logger, "logger">(
        PyDoc_STR("set_logger(logger)\n--\n\nWrite to `logger` from now on (None: silent).")),
    {"log", as_cfunc(element_log), fm::kMethodCall,
     PyDoc_STR("log(msg, type=None)\n--\n\nWrite `msg` (text or exception) with log type "
               "`type` (INFO when None).")},
    {nullptr, nullptr, 0, nullptr},
};

// Bound to the module when installed (see fm::add_static_methods).
PyMethodDef element_static_methods[] = {
    {"stop_after_failed_start", as_cfunc(element_stop_after_failed_start),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("stop_after_failed_start(started, failed, log)\n--\n\nStop what a failed start "
               "left running, newest first.")},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef element_members[] = {
    {"_state", Py_T_OBJECT_EX, offsetof(fm::ElementObject, state), 0, nullptr},
    {"_condition", Py_T_OBJECT_EX, offsetof(fm::ElementObject, condition), 0, nullptr},
    {"_context", Py_T_OBJECT_EX, offsetof(fm::ElementObject, context), 0, nullptr},
    {"_failure", Py_T_OBJECT_EX, offsetof(fm::ElementObject, failure), 0, nullptr},
    {"_setup_failed", Py_T_BOOL, offsetof(fm::ElementObject, setup_failed), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* element_logger_get(PyObject* self, void* /*closure*/) {
    WorkerState* st = fm::instance_state<WorkerState>(self, &worker_module);
    return st ? logger_of(st, self).release() : nullptr;
}

int element_logger_set(PyObject* self, PyObject* value, void* /*closure*/) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete _logger; set None to silence it");
        return -1;
    }
    fm::set_field_of(self, &element(self)->logger, value);
    return 0;
}

PyGetSetDef element_getset[] = {
    {"_logger", element_logger_get, element_logger_set,
     PyDoc_STR("The logger written to (None: silent); a memory logger of its own until one is "
               "set."),
     nullptr},
    {"name", element_get_name, nullptr, PyDoc_STR("The element's name (str or None)."), nullptr},
    {"_counter", element_counter_get, element_counter_set,
     PyDoc_STR("Completed cycles; 0 until setup has run."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot element_slots[] = {
    {Py_tp_doc, const_cast<char*>("ProcessingElementImp(config)\n--\n\nBase of every element "
                                  "that can sit in a pipeline.")},
    {Py_tp_init, reinterpret_cast<void*>(element_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(element_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(element_clear)},
    {Py_tp_methods, element_methods},
    {Py_tp_members, element_members},
    {Py_tp_getset, element_getset},
    {0, nullptr},
};

PyType_Spec element_spec = {
    .name = "flowmesh.imp.ProcessingElementImp",
    .basicsize = sizeof(fm::ElementObject),
    .itemsize = 0,
    .flags = fm::kTypeFlags,
    .slots = element_slots,
};

// ---------------------------------------------------------------- module

int worker_exec(PyObject* module) {
    WorkerState* st = fm::module_state<WorkerState>(module);
    new (st) WorkerState{};
    st->empty_str = PyUnicode_InternFromString("");
    st->write_kwnames = fm::names_tuple({"type", "message"}).release();
    if (st->n.intern() < 0 || !st->empty_str || !st->write_kwnames) return -1;

    st->base = fm::imp_class("PortableImp");
    if (!st->base) return -1;
    st->type = fm::type_from_spec(module, &element_spec, st->base);
    if (!st->type) return -1;
    if (fm::add_static_methods(st->type, module, element_static_methods) < 0) return -1;
    return PyModule_AddObjectRef(module, "ProcessingElementImp", st->type);
}

PyModuleDef worker_module = fm::module_def<WorkerState>(
    "flowmesh.imp.worker", "Processing elements: run state, condition, failure and logging.",
    fm::module_slots<worker_exec>);

}  // namespace

PyMODINIT_FUNC PyInit_worker(void) {
    return PyModuleDef_Init(&worker_module);
}
