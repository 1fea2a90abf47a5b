// flowmesh.imp.conductor: PipelineImp, the graph of elements, its run control
// and the monitoring thread that turns failures inside a run into a stopped
// pipeline, a console banner and calls to the client's error handlers.
//
// Files: conductor.hpp (layout and module state), run_control.cpp,
// monitoring.cpp, console.cpp, documents.hpp/.cpp (pipeline documents).
#include "conductor.hpp"

#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <new>
#include <thread>
#include <utility>

namespace fm::conductor {

int pipeline_traverse(PyObject* self, visitproc visit, void* arg) {
    if (int r = fm::visit_refs(*pipe(self), visit, arg)) return r;
    return fm::traverse_implementation(self, visit, arg);
}

int pipeline_clear(PyObject* self) {
    fm::clear_refs(*pipe(self));
    fm::clear_implementation(self);
    return 0;
}

ConductorState* state_for(PyObject* self) {
    return fm::instance_state<ConductorState>(self, &conductor_module);
}

// ---------------------------------------------------------------- helpers

int truthy(PyObject* obj) {
    return PyObject_IsTrue(obj);
}

// obj.<name> or None when the attribute is missing (new reference).
Ref attr_or_none(PyObject* obj, PyObject* name) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(obj, name, &value) < 0) return {};
    return value ? steal(value) : borrow(Py_None);
}

// A private copy of a sequence field: the list may grow while Python code
// runs during the iteration (elements are added from the client's thread).
Ref snapshot(PyObject* seq) {
    if (!seq || seq == Py_None) return steal(PyList_New(0));
    return steal(PySequence_List(seq));
}

int append_to(ConductorState* st, PyObject* seq, PyObject* item) {
    if (!seq) {
        PyErr_SetString(PyExc_AttributeError, "pipeline field is not set");
        return -1;
    }
    if (PyList_CheckExact(seq)) return PyList_Append(seq, item);
    Ref r = steal(fm::call_method(seq, st->n(N_append), item));
    return r ? 0 : -1;
}

// ------------------------------------------------------------------ logging

int log_object(ConductorState* st, PyObject* self, PyObject* msg, PyObject* type) {
    Ref logger = field_or_none(self, &pipe(self)->logger);
    if (logger.get() == Py_None) return 0;
    if (!type || type == Py_None) {
        type = st->c.log_info.get();
        if (!type) return -1;
    }
    PyObject* values[] = {type, msg};
    Ref r = steal(fm::call_method_kw(logger.get(), st->n(N_write), st->kw_type_message, values));
    return r ? 0 : -1;
}

int log_text(ConductorState* st, PyObject* self, fm::Constant* type, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    Ref msg = steal(PyUnicode_FromFormatV(fmt, va));
    va_end(va);
    if (!msg) return -1;
    PyObject* t = nullptr;
    if (type && !(t = type->get())) return -1;
    return log_object(st, self, msg.get(), t);
}

// ------------------------------------------------------------ capabilities

struct FacadeClass {
    const char* module;
    const char* name;
};
// The element classes the capability checks test. A class is read from its
// module in sys.modules on every check, so whichever module object holds it
// now answers; only a module that is not loaded yet is imported, and one that
// cannot be imported is not tried again.
constexpr FacadeClass kFacadeClasses[kCapabilityClasses] = {
    {"flowmesh.o_node", "ONode"}, {"flowmesh.o_chain", "OChain"}, {"flowmesh.io_chain", "IOChain"},
    {"flowmesh.i_node", "INode"}, {"flowmesh.i_chain", "IChain"},
};
constexpr size_t kOutputClasses[] = {0, 1, 2};
constexpr size_t kInputClasses[] = {3, 4, 2};

// The class at `index` (new reference), or an empty Ref: without an exception
// when its module or name does not exist, with one for any other error.
Ref capability_class(ConductorState* st, size_t index) {
    const FacadeClass& c = kFacadeClasses[index];
    Ref name = steal(PyUnicode_FromString(c.module));
    if (!name) return {};
    Ref module = steal(PyImport_GetModule(name.get()));
    if (!module && !PyErr_Occurred() && !st->capability_missing[index]) {
        module = steal(PyImport_Import(name.get()));
        if (!module && PyErr_ExceptionMatches(PyExc_ImportError)) {
            st->capability_missing[index] = true;
            PyErr_Clear();
        }
    }
    if (!module) return {};
    PyObject* cls = nullptr;
    // A module that is still being imported may not hold the name yet.
    if (PyObject_GetOptionalAttrString(module.get(), c.name, &cls) < 0) return {};
    return steal(cls);
}

// 1 when `element` is an instance of one of the classes, 0 otherwise; a class
// whose module does not exist simply matches nothing. -1 only for a
// BaseException that is not an Exception.
template <size_t N>
int has_capability(ConductorState* st, PyObject* element, const size_t (&classes)[N]) {
    if (!element || element == Py_None) return 0;
    for (size_t index : classes) {
        Ref cls = capability_class(st, index);
        if (!cls) {
            if (PyErr_Occurred() && !swallow_exception()) return -1;
            continue;
        }
        int r = PyObject_IsInstance(element, cls.get());
        if (r > 0) return 1;
        if (r < 0 && !swallow_exception()) return -1;
    }
    return 0;
}

int has_output(ConductorState* st, PyObject* element) {
    return has_capability(st, element, kOutputClasses);
}
int has_input(ConductorState* st, PyObject* element) {
    return has_capability(st, element, kInputClasses);
}

// --------------------------------------------------------------- construction

int pipeline_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"directory"};
    PyObject* a[] = {Py_None};
    if (!fm::parse_args("PipelineImp", args, kwds, names, a, 0)) return -1;
    PyObject* directory = a[0];
    if (!fm::check_exact(directory, &PyUnicode_Type, "directory", true)) return -1;
    ConductorState* st = state_for(self);
    if (!st) return -1;
    auto* p = pipe(self);

    Ref logger_cls = steal(fm::resolve("flowmesh.logging", "Logger"));
    if (!logger_cls) return -1;
    Ref nodes = steal(PyList_New(0));
    if (!nodes) return -1;
    fm::set_field(&p->nodes, nodes.get());
    PyObject* dir_arg[] = {directory};
    Ref logger = steal(PyObject_Vectorcall(logger_cls.get(), dir_arg, 0, st->kw_directory));
    if (!logger) return -1;
    fm::set_field(&p->logger, logger.get());
    PyObject* stopped = st->c.stopped.get();
    PyObject* healthy = stopped ? st->c.healthy.get() : nullptr;
    PyObject* event_cls = healthy ? st->event_cls.get() : nullptr;
    if (!event_cls) return -1;
    fm::set_field(&p->state, stopped);
    fm::set_field(&p->condition, healthy);
    fm::set_field(&p->monitor_thread, Py_None);
    Ref event = steal(PyObject_CallNoArgs(event_cls));
    if (!event) return -1;
    fm::set_field(&p->stop_event, event.get());
    fm::set_field(&p->start_time, Py_None);
    fm::set_field(&p->backlog_level, st->n(N_ok));
    Ref handlers = steal(PyList_New(0));
    if (!handlers) return -1;
    fm::set_field(&p->error_handlers, handlers.get());

    Ref persistent = steal(fm::call_method(logger.get(), st->n(N_is_persistent)));
    if (!persistent) return -1;
    int ok = truthy(persistent.get());
    if (ok != 0) return ok < 0 ? -1 : 0;
    Ref why = attr_or_none(logger.get(), st->n(N_file_error));
    if (!why) return -1;
    Ref at = attr_or_none(logger.get(), st->n(N_attempted_file));
    if (!at) return -1;
    int has_at = truthy(at.get());
    int has_why = has_at < 0 ? -1 : truthy(why.get());
    if (has_why < 0) return -1;
    Ref at_text =
        has_at ? steal(PyUnicode_FromFormat(" at %S", at.get())) : steal(PyUnicode_FromString(""));
    Ref why_text =
        has_why ? steal(PyUnicode_FromFormat(" %S", why.get())) : steal(PyUnicode_FromString(""));
    if (!at_text || !why_text) return -1;
    return print_fmt(st,
                     "*** flowmesh: no log file could be created%U.%U Logging to memory only - no "
                     "persistent audit trail will be written. ***",
                     at_text.get(), why_text.get());
}

// ------------------------------------------------------------------- graph

const char kAlreadyAdded[] = "Node already exists in pipeline.";

// `anew`: an element already in the pipeline, or that another thread adds
// meanwhile, is an error; otherwise (connect) it is what was wanted.
int add_element(ConductorState* st, PyObject* self, PyObject* node, bool anew) {
    auto* p = pipe(self);
    Ref nodes = borrow(p->nodes);
    if (!nodes) {
        PyErr_SetString(PyExc_AttributeError, "'PipelineImp' object has no attribute '_nodes'");
        return -1;
    }
    auto already = [anew] {
        if (!anew) return 0;
        PyErr_SetString(PyExc_ValueError, kAlreadyAdded);
        return -1;
    };
    int present = PySequence_Contains(nodes.get(), node);
    if (present < 0) return -1;
    if (present) return already();
    // The element joins the list only once it took the logger and was logged:
    // an element that cannot be added must not stay behind to break every
    // later start and stop.
    Ref r =
        steal(fm::call_method(node, st->n(N_set_logger), field_or_none(self, &p->logger).get()));
    if (!r) return -1;
    Ref name = steal(PyObject_GetAttr(node, st->n(N_name)));
    if (!name) return -1;
    if (log_text(st, self, nullptr, "Node %S added to pipeline.", name.get()) < 0) return -1;
    if (!PyList_CheckExact(nodes.get())) return append_to(st, nodes.get(), node);
    // Another thread adding the same element may have passed the check above
    // while this one called out: the list is looked at again, by identity,
    // as it takes the element.
    bool twice = false;
    PyMutex_Lock(&p->adding);
    {
        fm::CriticalSection cs(nodes.get());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes.get()) && !twice; ++i)
            twice = PyList_GET_ITEM(nodes.get(), i) == node;
    }
    int appended = twice ? 0 : PyList_Append(nodes.get(), node);
    PyMutex_Unlock(&p->adding);
    return twice ? already() : appended;
}

int add_node_impl(ConductorState* st, PyObject* self, PyObject* node) {
    return add_element(st, self, node, true);
}

int ensure_added(ConductorState* st, PyObject* self, PyObject* node) {
    return add_element(st, self, node, false);
}

const char kSourceCapability[] =
    "source must have output capability (ONode, IONode, OChain, or IOChain).";
const char kTargetCapability[] =
    "target must have input capability (INode, IONode, IChain, or IOChain).";

// An endpoint of `connect`: an element with the capability, or an exact dict
// {"node": element, "port": name}. Fills node and port (new references).
int endpoint(ConductorState* st, PyObject* value, int (*capable)(ConductorState*, PyObject*),
             PyObject* default_port, const char* capability_msg, const char* malformed_msg,
             Ref& node, Ref& port) {
    int c = capable(st, value);
    if (c < 0) return -1;
    if (c) {
        node = borrow(value);
        port = borrow(default_port);
        return 0;
    }
    if (!PyDict_CheckExact(value)) {
        PyErr_SetString(PyExc_TypeError, capability_msg);
        return -1;
    }
    PyObject* item = nullptr;
    if (PyDict_GetItemRef(value, st->n(N_node), &item) < 0) return -1;
    node = item ? steal(item) : borrow(Py_None);
    c = capable(st, node.get());
    if (c <= 0) {
        if (c == 0) PyErr_SetString(PyExc_TypeError, capability_msg);
        return -1;
    }
    item = nullptr;
    if (PyDict_GetItemRef(value, st->n(N_port), &item) < 0) return -1;
    port = item ? steal(item) : borrow(Py_None);
    if (!PyUnicode_Check(port.get())) {
        PyErr_SetString(PyExc_TypeError, malformed_msg);
        return -1;
    }
    return 0;
}

PyObject* connect_impl(ConductorState* st, PyObject* self, PyObject* source, PyObject* target) {
    PyObject* port_out = st->c.port_out.get();
    PyObject* port_in = port_out ? st->c.port_in.get() : nullptr;
    if (!port_in) return nullptr;
    Ref snode, sport, tnode, tport;
    if (endpoint(st, source, has_output, port_out, kSourceCapability, "source dict is malformed.",
                 snode, sport) < 0 ||
        endpoint(st, target, has_input, port_in, kTargetCapability, "target dict is malformed.",
                 tnode, tport) < 0)
        return nullptr;
    if (ensure_added(st, self, snode.get()) < 0 || ensure_added(st, self, tnode.get()) < 0)
        return nullptr;

    PyObject* args[] = {snode.get(), sport.get(), tnode.get(), tport.get()};
    Ref r = steal(PyObject_VectorcallMethod(st->n(N_connect), args,
                                            4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!r) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
        Ref caught = steal(PyErr_GetRaisedException());
        Ref sname = steal(PyObject_GetAttr(snode.get(), st->n(N_name)));
        Ref tname = sname ? steal(PyObject_GetAttr(tnode.get(), st->n(N_name))) : Ref();
        if (!tname) {
            chain_context(std::move(caught));
            return nullptr;
        }
        Ref msg = steal(PyUnicode_FromFormat("%S (connecting '%S' to '%S')", caught.get(),
                                             sname.get(), tname.get()));
        if (!msg) {
            chain_context(std::move(caught));
            return nullptr;
        }
        PyErr_SetObject(PyExc_TypeError, msg.get());
        fm::chain_cause(std::move(caught));
        return nullptr;
    }
    Ref sname = steal(PyObject_GetAttr(snode.get(), st->n(N_name)));
    if (!sname) return nullptr;
    Ref tname = steal(PyObject_GetAttr(tnode.get(), st->n(N_name)));
    if (!tname) return nullptr;
    if (log_text(st, self, nullptr, "Nodes %S[%S] and %S[%S] connected.", sname.get(), sport.get(),
                 tname.get(), tport.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* disconnect_impl(ConductorState* st, PyObject* self, PyObject* source, PyObject* target) {
    PyObject* port_out = st->c.port_out.get();
    PyObject* port_in = port_out ? st->c.port_in.get() : nullptr;
    if (!port_in) return nullptr;
    auto as_endpoint = [&](PyObject* value, int (*capable)(ConductorState*, PyObject*),
                           PyObject* port) -> Ref {
        int c = capable(st, value);
        if (c < 0) return {};
        if (!c) return borrow(value);
        Ref d = steal(PyDict_New());
        if (!d || PyDict_SetItem(d.get(), st->n(N_node), value) < 0 ||
            PyDict_SetItem(d.get(), st->n(N_port), port) < 0)
            return {};
        return d;
    };
    Ref src = as_endpoint(source, has_output, port_out);
    if (!src) return nullptr;
    Ref tgt = as_endpoint(target, has_input, port_in);
    if (!tgt) return nullptr;

    Ref snode = steal(PyObject_GetItem(src.get(), st->n(N_node)));
    if (!snode || ensure_added(st, self, snode.get()) < 0) return nullptr;
    Ref tnode = steal(PyObject_GetItem(tgt.get(), st->n(N_node)));
    if (!tnode || ensure_added(st, self, tnode.get()) < 0) return nullptr;
    int c = has_output(st, snode.get());
    if (c <= 0) {
        if (c == 0) PyErr_SetString(PyExc_TypeError, kSourceCapability);
        return nullptr;
    }
    c = has_input(st, tnode.get());
    if (c <= 0) {
        if (c == 0) PyErr_SetString(PyExc_TypeError, kTargetCapability);
        return nullptr;
    }
    Ref sport = steal(PyObject_GetItem(src.get(), st->n(N_port)));
    if (!sport) return nullptr;
    Ref tport = steal(PyObject_GetItem(tgt.get(), st->n(N_port)));
    if (!tport) return nullptr;
    PyObject* args[] = {snode.get(), sport.get(), tnode.get(), tport.get()};
    Ref r = steal(PyObject_VectorcallMethod(st->n(N_disconnect), args,
                                            4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!r) return nullptr;
    Ref sname = steal(PyObject_GetAttr(snode.get(), st->n(N_name)));
    if (!sname) return nullptr;
    Ref tname = steal(PyObject_GetAttr(tnode.get(), st->n(N_name)));
    if (!tname) return nullptr;
    if (log_text(st, self, nullptr, "Nodes %S[%S] and %S[%S] disconnected.", sname.get(),
                 sport.get(), tname.get(), tport.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// ----------------------------------------------------------- element queries

// What `candidate.failure` reports (calling it when callable); an Exception
// from the query counts as nothing kept. New reference, Py_None when none;
// null only for a BaseException that is not an Exception.
Ref kept_failure(ConductorState* st, PyObject* candidate) {
    Ref value;
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttr(candidate, st->n(N_failure), &raw) < 0) {
        if (!swallow_exception()) return {};
        return borrow(Py_None);
    }
    if (!raw) return borrow(Py_None);
    value = steal(raw);
    if (PyCallable_Check(value.get())) {
        value = steal(PyObject_CallNoArgs(value.get()));
        if (!value) {
            if (!swallow_exception()) return {};
            return borrow(Py_None);
        }
    }
    return value;
}

// The element followed by its inner nodes, when it has `get_nodes`.
Ref candidates_of(ConductorState* st, PyObject* element) {
    Ref list = steal(PyList_New(0));
    if (!list || PyList_Append(list.get(), element) < 0) return {};
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttr(element, st->n(N_get_nodes), &raw) < 0) {
        if (!swallow_exception()) return {};
        return list;
    }
    if (!raw) return list;
    Ref get_nodes = steal(raw);
    Ref inner = steal(PyObject_CallNoArgs(get_nodes.get()));
    Ref seq = inner ? steal(PySequence_List(inner.get())) : Ref();
    if (!seq) {
        if (!swallow_exception()) return {};
        return list;
    }
    Py_ssize_t n = PyList_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyList_Append(list.get(), PyList_GET_ITEM(seq.get(), i)) < 0) return {};
    return list;
}

// The first failure Find reports for an item of `list` (a list only this
// thread holds, or nullptr after an error): Py_None if none, nullptr on error.
template <Ref (*Find)(ConductorState*, PyObject*)>
Ref first_failure(ConductorState* st, const Ref& list) {
    if (!list) return {};
    Py_ssize_t n = PyList_GET_SIZE(list.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref f = Find(st, PyList_GET_ITEM(list.get(), i));
        if (!f || f.get() != Py_None) return f;
    }
    return borrow(Py_None);
}

// First failure kept by `element` or one of its inner nodes (Py_None if none).
Ref element_failure(ConductorState* st, PyObject* element) {
    return first_failure<kept_failure>(st, candidates_of(st, element));
}

Ref first_element_failure(ConductorState* st, PyObject* self) {
    return first_failure<element_failure>(st, snapshot(pipe(self)->nodes));
}

int reset_element(ConductorState* st, PyObject* element) {
    Ref imp = steal(PyObject_GetAttr(element, st->n(N__imp)));
    if (!imp) return -1;
    Ref r = steal(fm::call_method(imp.get(), st->n(N_reset_run_state)));
    return r ? 0 : -1;
}

// An element left in ERROR, or holding a failure, by a run whose failure the
// monitoring thread never saw (it failed just before the client stopped).
int needs_reset(ConductorState* st, PyObject* element) {
    Ref condition = steal(fm::call_method(element, st->n(N_get_condition)));
    if (!condition) return -1;
    int failed = st->c.error.matches(condition.get());
    if (failed) return failed;
    Ref f = element_failure(st, element);
    if (!f) return -1;
    return f.get() != Py_None;
}

// ------------------------------------------------------------ method wrappers

PyObject* get_state_impl(ConductorState*, PyObject* self) {
    return field_or_none(self, &pipe(self)->state).release();
}

PyObject* get_condition_impl(ConductorState*, PyObject* self) {
    return field_or_none(self, &pipe(self)->condition).release();
}

PyObject* get_elapsed_time_impl(ConductorState* st, PyObject* self) {
    Ref started = field_or_none(self, &pipe(self)->start_time);
    if (started.get() == Py_None) return PyFloat_FromDouble(0.0);
    PyObject* time_fn = st->time_fn.get();
    if (!time_fn) return nullptr;
    Ref now = steal(PyObject_CallNoArgs(time_fn));
    if (!now) return nullptr;
    return PyNumber_Subtract(now.get(), started.get());
}

PyObject* is_logging_persistent_impl(ConductorState* st, PyObject* self) {
    Ref logger = field_or_none(self, &pipe(self)->logger);
    if (logger.get() == Py_None) Py_RETURN_FALSE;
    return fm::call_method(logger.get(), st->n(N_is_persistent));
}

PyObject* get_last_error_impl(ConductorState* st, PyObject* self) {
    Ref logger = field_or_none(self, &pipe(self)->logger);
    if (logger.get() == Py_None) Py_RETURN_NONE;
    return get_incident(st, logger.get(), st->c.log_error, false).release();
}

PyObject* first_element_failure_impl(ConductorState* st, PyObject* self) {
    return first_element_failure(st, self).release();
}

PyObject* method_log(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    static const char* const names[] = {"msg", "type"};
    PyObject* out[] = {nullptr, Py_None};
    if (!fm::parse_args("log", args, nargs, kwnames, names, out, 1)) return nullptr;
    if (log_object(fm::class_state<ConductorState>(cls), self, out[0], out[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

int add_error_handler_impl(ConductorState* st, PyObject* self, PyObject* handler) {
    return append_to(st, pipe(self)->error_handlers, handler);
}

// The entry of a method made from `impl(state, self, params...)`; `signature`
// is the text signature after $self, which inspect.signature reads.
#define FM_DEF(name, impl, signature, doc, ...)             \
    fm::method_def<#name, impl __VA_OPT__(, ) __VA_ARGS__>( \
        PyDoc_STR(#name "($self" signature ")\n--\n\n" doc))

PyMethodDef pipeline_methods[] = {
    FM_DEF(add_node, add_node_impl, ", node",
           "Add an element; it takes over the pipeline's logger.", "node"),
    FM_DEF(connect, connect_impl, ", source, target",
           "Join an output port of `source` to an input port of `target`.", "source", "target"),
    FM_DEF(disconnect, disconnect_impl, ", source, target", "Undo a connection made by connect.",
           "source", "target"),
    FM_DEF(start, start_impl, "",
           "Start every element in order of addition, then the monitoring thread."),
    FM_DEF(stop, stop_impl, "",
           "Stop every element, producers before their consumers, then the monitoring thread; "
           "flush the log."),
    FM_DEF(close, close_impl, "", "Stop if running and release the logger."),
    FM_DEF(_join_monitor_thread, join_monitor_thread, "",
           "Wait for the monitoring thread, unless called on it."),
    FM_DEF(get_state, get_state_impl, "", "The run state."),
    FM_DEF(get_condition, get_condition_impl, "", "The health condition."),
    FM_DEF(get_elapsed_time, get_elapsed_time_impl, "",
           "Seconds since the run started; 0.0 when not running."),
    FM_DEF(is_logging_persistent, is_logging_persistent_impl, "",
           "Whether a log file is being written."),
    {"log", fm::as_cfunc(method_log), fm::kMethodCall,
     PyDoc_STR("log($self, msg, type=None)\n--\n\nWrite a message or an exception to the "
               "pipeline's log.")},
    FM_DEF(add_error_handler, add_error_handler_impl, ", handler",
           "Register a callable called with the incident of a failed run.", "handler"),
    FM_DEF(raise_if_failed, raise_if_failed_impl, "", "Raise RuntimeError if the run failed."),
    FM_DEF(get_last_error, get_last_error_impl, "", "The most recent error incident, or None."),
    FM_DEF(get_backlog, get_backlog_impl, "", "The largest input backlog of any element."),
    FM_DEF(_check_backlog, check_backlog_impl, "", "Log a change of the backlog level."),
    FM_DEF(_notify_error, notify_error_impl, ", entry",
           "Call every error handler with the incident.", "entry"),
    FM_DEF(_first_element_failure, first_element_failure_impl, "",
           "The first failure kept by an element, or None."),
    FM_DEF(_log_reference, log_reference_impl, "",
           "The line telling where the details of a failure are."),
    FM_DEF(failure_banner, failure_banner_impl, ", entry",
           "The failure banner's lines for an error incident, without colour.", "entry"),
    FM_DEF(_monitoring_fun, monitoring_fun_impl, "", "Body of the monitoring thread."),
    {"serialize", fm::as_cfunc(fm::documents::serialize), fm::kMethodCall,
     PyDoc_STR("serialize($self)\n--\n\n"
               "The pipeline as a document: revision, writer, element entries, connections.")},
    {nullptr, nullptr, 0, nullptr},
};

#define FM_MEMBER(pyname, cname) \
    {pyname, Py_T_OBJECT_EX, offsetof(PipelineObject, cname), 0, nullptr}

PyMemberDef pipeline_members[] = {
    FM_MEMBER("_nodes", nodes),
    FM_MEMBER("_logger", logger),
    FM_MEMBER("_state", state),
    FM_MEMBER("_condition", condition),
    FM_MEMBER("_monitor_thread", monitor_thread),
    FM_MEMBER("_stop_event", stop_event),
    FM_MEMBER("_start_time", start_time),
    FM_MEMBER("_backlog_level", backlog_level),
    FM_MEMBER("_error_handlers", error_handlers),
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot pipeline_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("PipelineImp(directory=None)\n--\n\nThe implementation of a pipeline.")},
    {Py_tp_init, reinterpret_cast<void*>(pipeline_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(pipeline_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(pipeline_clear)},
    {Py_tp_methods, pipeline_methods},
    {Py_tp_members, pipeline_members},
    {0, nullptr},
};

PyType_Spec pipeline_spec = {
    .name = "flowmesh.imp.conductor.PipelineImp",
    .basicsize = sizeof(PipelineObject),
    .itemsize = 0,
    .flags = fm::kTypeFlags,
    .slots = pipeline_slots,
};

// ------------------------------------------------------------ module functions

PyObject* module_has_output_capability(PyObject* module, PyObject* element) {
    int r = has_output(fm::module_state<ConductorState>(module), element);
    if (r < 0) return nullptr;
    return PyBool_FromLong(r);
}

PyObject* module_has_input_capability(PyObject* module, PyObject* element) {
    int r = has_input(fm::module_state<ConductorState>(module), element);
    if (r < 0) return nullptr;
    return PyBool_FromLong(r);
}

PyObject* module_colour(PyObject* module, PyObject* code) {
    return colour(fm::module_state<ConductorState>(module), code).release();
}

PyObject* module_safe_print(PyObject* module, PyObject* text) {
    if (safe_print(fm::module_state<ConductorState>(module), text) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef module_functions[] = {
    fm::method_def<"_has_output_capability", module_has_output_capability, "element">(
        PyDoc_STR("_has_output_capability(element)\n--\n\n"
                  "Whether `element` is an ONode, OChain or IOChain (IONode through ONode).")),
    fm::method_def<"_has_input_capability", module_has_input_capability, "element">(
        PyDoc_STR("_has_input_capability(element)\n--\n\n"
                  "Whether `element` is an INode, IChain or IOChain (IONode through INode).")),
    fm::method_def<"_colour", module_colour, "code">(
        PyDoc_STR("_colour(code)\n--\n\n"
                  "`code` where the console interprets ANSI codes, else the empty string.")),
    fm::method_def<"_safe_print", module_safe_print, "text">(
        PyDoc_STR("_safe_print(text)\n--\n\n"
                  "Print one line; never raises for an unprintable text or a broken console.")),
    {nullptr, nullptr, 0, nullptr},
};

// ------------------------------------------------------------------ module

// PipelineImp.SerializationKeys: the keys of a pipeline document.
Ref make_serialization_keys() {
    Ref ns = steal(Py_BuildValue("{ssssssssssss}", "NODES", "nodes", "CONNECTIONS", "connections",
                                 "FORMAT_VERSION", "format_version", "WRITER", "writer",
                                 "__qualname__", "PipelineImp.SerializationKeys", "__module__",
                                 "flowmesh.imp.conductor"));
    if (!ns) return {};
    return steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O",
                                       "SerializationKeys",
                                       reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns.get()));
}

// The annotated fields of the class, as its Python source would declare them.
Ref make_annotations() {
    Ref states = steal(fm::resolve("flowmesh.constants", "Constants.States"));
    Ref conditions =
        states ? steal(fm::resolve("flowmesh.constants", "Constants.Conditions")) : Ref();
    Ref thread = conditions ? steal(fm::resolve("threading", "Thread")) : Ref();
    Ref event = thread ? steal(fm::resolve("threading", "Event")) : Ref();
    if (!event) return {};
    return steal(Py_BuildValue("{sOsssOsOsOsOsO}", "_nodes", &PyList_Type, "_logger", "Logger",
                               "_state", states.get(), "_condition", conditions.get(),
                               "_monitor_thread", thread.get(), "_stop_event", event.get(),
                               "_start_time", &PyFloat_Type));
}

int conductor_exec(PyObject* module) {
    ConductorState* st = new (PyModule_GetState(module)) ConductorState{};
    if (st->n.intern() < 0) return -1;
    struct {
        PyObject** slot;
        std::initializer_list<const char*> names;
    } tuples[] = {
        {&st->kw_type, {"type"}},           {&st->kw_type_opaque, {"type", "opaque"}},
        {&st->kw_opaque, {"opaque"}},       {&st->kw_type_message, {"type", "message"}},
        {&st->kw_timeout, {"timeout"}},     {&st->kw_target, {"target"}},
        {&st->kw_directory, {"directory"}},
    };
    for (auto& t : tuples) {
        *t.slot = names_tuple(t.names).release();
        if (!*t.slot) return -1;
    }
    st->rule = PyUnicode_New(120, 127);
    if (!st->rule) return -1;
    for (Py_ssize_t i = 0; i < 120; ++i)
        PyUnicode_WRITE(PyUnicode_1BYTE_KIND, PyUnicode_DATA(st->rule), i, '=');
    st->fallback_interval = PyFloat_FromDouble(0.5);
    if (!st->fallback_interval) return -1;

    Ref base = steal(fm::imp_class("Implementation"));
    if (!base) return -1;
    st->type = fm::type_from_spec(module, &pipeline_spec, base.get());
    if (!st->type) return -1;
    Ref annotations = make_annotations();
    if (!annotations || PyObject_SetAttrString(st->type, "__annotations__", annotations.get()) < 0)
        return -1;
    Ref keys = make_serialization_keys();
    Ref current = steal(PyLong_FromLong(1));
    Ref legacy = steal(PyLong_FromLong(0));
    if (!keys || !current || !legacy ||
        PyObject_SetAttrString(st->type, "SerializationKeys", keys.get()) < 0 ||
        PyObject_SetAttrString(st->type, "FORMAT_VERSION", current.get()) < 0 ||
        PyObject_SetAttrString(st->type, "LEGACY_FORMAT_VERSION", legacy.get()) < 0)
        return -1;
    if (fm::documents::init(&st->docs, module, st->type) < 0) return -1;
    return PyModule_AddObjectRef(module, "PipelineImp", st->type);
}

PyModuleDef conductor_module = fm::module_def<ConductorState>(
    "flowmesh.imp.conductor",
    "PipelineImp: the pipeline graph, its run control and its monitoring thread.",
    fm::module_slots<conductor_exec>, module_functions);

}  // namespace fm::conductor

fm::documents::State* fm::documents::state_of(PyObject* module) {
    return &fm::module_state<fm::conductor::ConductorState>(module)->docs;
}

PyMODINIT_FUNC PyInit_conductor(void) {
    return PyModuleDef_Init(&fm::conductor::conductor_module);
}
