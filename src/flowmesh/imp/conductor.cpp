// flowmesh.imp.conductor: PipelineImp, the graph of elements, its run control
// and the monitoring thread that turns failures inside a run into a stopped
// pipeline, a console banner and calls to the client's error handlers.
#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <new>
#include <thread>
#include <utility>

#include "documents.hpp"
#include "objects.hpp"

namespace {

using fm::borrow;
using fm::chain_context;
using fm::names_tuple;
using fm::Ref;
using fm::steal;
using fm::swallow_exception;

// ------------------------------------------------------------------- layout

struct PipelineObject {
    fm::ImplementationObject base;
    PyObject* nodes;           // list of facade elements, append-only
    PyObject* logger;          // flowmesh.logging.Logger
    PyObject* state;           // Constants.States
    PyObject* condition;       // Constants.Conditions
    PyObject* monitor_thread;  // threading.Thread of the current run, or None
    PyObject* stop_event;      // threading.Event, one for the pipeline's life
    PyObject* start_time;      // float from time.time(), or None
    PyObject* backlog_level;   // "ok", "warning" or "error"
    PyObject* error_handlers;  // list of callables
    // Run control may be called from any thread (the client's, a GUI's, a
    // signal handler's, an element's step, the monitoring thread). Claims
    // are taken and tested under the GIL with no Python code in between, so
    // they need no lock; a thread never waits for another's start or stop,
    // since that one may be waiting for it (an element's thread is joined by
    // stop). What arrives meanwhile is left to the claiming thread.
    uint8_t run_control;               // kIdle, kStarting or kStopping
    unsigned long run_control_thread;  // the claiming thread
    bool stop_requested;               // by another thread while starting
    bool close_requested;              // by another thread while starting or stopping
};

constexpr uint8_t kIdle = 0;
constexpr uint8_t kStarting = 1;
constexpr uint8_t kStopping = 2;

// Holds a claim on run control for the length of a start or stop.
class RunControlClaim {
  public:
    RunControlClaim(PyObject* self, uint8_t kind) : self_(borrow(self)) {
        auto* p = fm::as<PipelineObject>(self);
        p->run_control = kind;
        p->run_control_thread = PyThread_get_thread_ident();
    }
    RunControlClaim(const RunControlClaim&) = delete;
    RunControlClaim& operator=(const RunControlClaim&) = delete;
    ~RunControlClaim() {
        auto* p = fm::as<PipelineObject>(self_.get());
        p->run_control = kIdle;
        p->run_control_thread = 0;
    }

  private:
    Ref self_;
};

PipelineObject* pipe(PyObject* self) {
    return fm::as<PipelineObject>(self);
}

// A field read as the attribute would be: a deleted or unset field is None.
PyObject* field(PyObject* value) {
    return value ? value : Py_None;
}

int pipeline_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* p = pipe(self);
    Py_VISIT(p->nodes);
    Py_VISIT(p->logger);
    Py_VISIT(p->state);
    Py_VISIT(p->condition);
    Py_VISIT(p->monitor_thread);
    Py_VISIT(p->stop_event);
    Py_VISIT(p->start_time);
    Py_VISIT(p->backlog_level);
    Py_VISIT(p->error_handlers);
    return fm::traverse_implementation(self, visit, arg);
}

int pipeline_clear(PyObject* self) {
    auto* p = pipe(self);
    Py_CLEAR(p->nodes);
    Py_CLEAR(p->logger);
    Py_CLEAR(p->state);
    Py_CLEAR(p->condition);
    Py_CLEAR(p->monitor_thread);
    Py_CLEAR(p->stop_event);
    Py_CLEAR(p->start_time);
    Py_CLEAR(p->backlog_level);
    Py_CLEAR(p->error_handlers);
    fm::clear_implementation(self);
    return 0;
}

// ------------------------------------------------------------ module state

// clang-format off
#define FM_CONDUCTOR_NAMES(X) \
    X(set_logger) X(name) X(connect) X(disconnect) X(node) X(port) X(_imp) X(reset_run_state) \
    X(get_incident) X(message) X(source) X(start) X(stop) X(get_condition) \
    X(failure) X(get_nodes) X(get_max_backlog) X(write) X(flush) X(is_persistent) X(file_name) \
    X(file_error) X(attempted_file) X(join) X(clear) X(set) X(wait) X(daemon) \
    X(summary) X(filename) X(lineno) X(instance) X(directory) X(get) X(append) \
    X(_monitoring_fun) X(_check_backlog) X(_notify_error) X(_log_reference) X(get_backlog) \
    X(log) X(stop_after_failed_start) X(MONITORING_INTERVAL) X(BACKLOG_WARNING) X(BACKLOG_ERROR) \
    X(isatty) X(encoding) X(print) X(ok) X(warning) X(error) X(NO_COLOR) X(TERM) X(dumb) \
    X(unknown)
// clang-format on

enum Name {
#define FM_ENUM(n) N_##n,
    FM_CONDUCTOR_NAMES(FM_ENUM)
#undef FM_ENUM
        N_COUNT
};

const char* const kNameText[] = {
#define FM_TEXT(n) #n,
    FM_CONDUCTOR_NAMES(FM_TEXT)
#undef FM_TEXT
};

constexpr size_t kCapabilityClasses = 5;

struct ConductorState {
    PyObject* type;  // PipelineImp
    PyObject* names[N_COUNT];
    // Keyword-name tuples for vectorcalls.
    PyObject* kw_type;
    PyObject* kw_type_opaque;
    PyObject* kw_opaque;
    PyObject* kw_type_message;
    PyObject* kw_timeout;
    PyObject* kw_target;
    PyObject* kw_directory;
    PyObject* rule;  // 120 "="
    PyObject* fallback_interval;
    bool capability_missing[kCapabilityClasses];
    fm::Lazy stopped{"flowmesh.constants", "Constants.States.STOPPED"};
    fm::Lazy running{"flowmesh.constants", "Constants.States.RUNNING"};
    fm::Lazy healthy{"flowmesh.constants", "Constants.Conditions.HEALTHY"};
    fm::Lazy warned{"flowmesh.constants", "Constants.Conditions.WARNING"};
    fm::Lazy failed{"flowmesh.constants", "Constants.Conditions.ERROR"};
    fm::Lazy log_info{"flowmesh.constants", "Constants.LogTypes.INFO"};
    fm::Lazy log_warning{"flowmesh.constants", "Constants.LogTypes.WARNING"};
    fm::Lazy log_error{"flowmesh.constants", "Constants.LogTypes.ERROR"};
    fm::Lazy port_out{"flowmesh.constants", "Constants.Defaults.PORT_OUT"};
    fm::Lazy port_in{"flowmesh.constants", "Constants.Defaults.PORT_IN"};
    fm::Lazy thread_cls{"threading", "Thread"};
    fm::Lazy event_cls{"threading", "Event"};
    fm::Lazy current_thread{"threading", "current_thread"};
    fm::Lazy time_fn{"time", "time"};
    fm::Lazy environ{"os", "environ"};
    fm::Lazy builtins{"builtins", nullptr};
    fm::documents::State docs;

    PyObject* n(Name id) const { return names[id]; }

    // Every reference the state owns, for traverse/clear.
    template <typename F>
    int refs(F f) {
        return f(type, names, kw_type, kw_type_opaque, kw_opaque, kw_type_message, kw_timeout,
                 kw_target, kw_directory, rule, fallback_interval, stopped, running, healthy,
                 warned, failed, log_info, log_warning, log_error, port_out, port_in, thread_cls,
                 event_cls, current_thread, time_fn, environ, builtins, docs);
    }
};

extern PyModuleDef conductor_module;

ConductorState* state_for(PyObject* self) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &conductor_module);
    return module ? fm::module_state<ConductorState>(module) : nullptr;
}

// ---------------------------------------------------------------- helpers

// 1, 0, or -1 with an exception; `a == b` with the host's equality.
int is(PyObject* a, fm::Lazy& constant) {
    PyObject* c = constant.get();
    if (!c) return -1;
    return fm::equal(field(a), c);
}

int truthy(PyObject* obj) {
    return PyObject_IsTrue(obj);
}

// obj.<name> or None when the attribute is missing (new reference).
Ref attr_or_none(PyObject* obj, PyObject* name) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(obj, name, &value) < 0) return {};
    return value ? steal(value) : borrow(Py_None);
}

// The text of `obj` for a report, which must not fail on it: str(obj), else
// repr(obj), else "<unprintable T object>". Never raises an Exception; null
// only for a pending BaseException that is not one.
Ref safe_text(PyObject* obj) {
    for (reprfunc convert : {PyObject_Str, PyObject_Repr}) {
        Ref text = steal(convert(obj));
        if (text) return text;
        if (!swallow_exception()) return {};
    }
    Ref text = steal(PyUnicode_FromFormat("<unprintable %s object>", Py_TYPE(obj)->tp_name));
    if (!text) swallow_exception();
    return text;
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
    Ref logger = borrow(field(pipe(self)->logger));
    if (logger.get() == Py_None) return 0;
    if (!type || type == Py_None) {
        type = st->log_info.get();
        if (!type) return -1;
    }
    PyObject* values[] = {type, msg};
    Ref r = steal(fm::call_method_kw(logger.get(), st->n(N_write), st->kw_type_message, values));
    return r ? 0 : -1;
}

int log_text(ConductorState* st, PyObject* self, fm::Lazy* type, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    Ref msg = steal(PyUnicode_FromFormatV(fmt, va));
    va_end(va);
    if (!msg) return -1;
    PyObject* t = nullptr;
    if (type && !(t = type->get())) return -1;
    return log_object(st, self, msg.get(), t);
}

// ------------------------------------------------------------------ console

Ref colour(ConductorState* st, PyObject* code) {
    Ref empty = steal(PyUnicode_FromStringAndSize("", 0));
    auto decide = [&]() -> int {  // 1: colour on, 0: off, -1: error
        PyObject* environ = st->environ.get();
        if (!environ) return -1;
        Ref no_color = steal(fm::call_method(environ, st->n(N_get), st->n(N_NO_COLOR)));
        if (!no_color) return -1;
        int set = truthy(no_color.get());
        if (set) return set < 0 ? -1 : 0;
        Ref term = steal(fm::call_method(environ, st->n(N_get), st->n(N_TERM)));
        if (!term) return -1;
        int dumb = fm::equal(term.get(), st->n(N_dumb));
        if (dumb) return dumb < 0 ? -1 : 0;
        Ref out = borrow(PySys_GetObject("stdout"));
        if (!out) {
            PyErr_SetString(PyExc_RuntimeError, "no standard output");
            return -1;
        }
        Ref tty = steal(fm::call_method(out.get(), st->n(N_isatty)));
        if (!tty) return -1;
        return truthy(tty.get());
    };
    int on = decide();
    if (on < 0) {
        if (!swallow_exception()) return {};
        return empty;
    }
    return on ? borrow(code) : std::move(empty);
}

Ref colour(ConductorState* st, const char* code) {
    Ref text = steal(PyUnicode_FromString(code));
    if (!text) return {};
    return colour(st, text.get());
}

// Prints one line; reporting a failure must never fail. -1 only for a
// BaseException that is not an Exception.
int safe_print(ConductorState* st, PyObject* text) {
    PyObject* builtins = st->builtins.get();
    if (!builtins) return swallow_exception() ? 0 : -1;
    Ref print = steal(PyObject_GetAttr(builtins, st->n(N_print)));
    if (!print) return swallow_exception() ? 0 : -1;
    Ref r = steal(PyObject_CallOneArg(print.get(), text));
    if (r) return 0;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return swallow_exception() ? 0 : -1;
    PyErr_Clear();
    // A legacy console code page: print what it can, with replacement characters.
    auto retry = [&]() -> bool {
        Ref out = borrow(PySys_GetObject("stdout"));
        Ref encoding;
        if (out) {
            encoding = attr_or_none(out.get(), st->n(N_encoding));
            if (!encoding) return false;
        }
        const char* enc = "ascii";
        if (encoding && PyUnicode_Check(encoding.get()) &&
            PyUnicode_GetLength(encoding.get()) > 0) {
            enc = PyUnicode_AsUTF8(encoding.get());
            if (!enc) return false;
        }
        Ref str = PyUnicode_Check(text) ? borrow(text) : steal(PyObject_Str(text));
        if (!str) return false;
        Ref bytes = steal(PyUnicode_AsEncodedString(str.get(), enc, "replace"));
        if (!bytes) return false;
        Ref back = steal(PyUnicode_Decode(PyBytes_AS_STRING(bytes.get()),
                                          PyBytes_GET_SIZE(bytes.get()), enc, "replace"));
        if (!back) return false;
        Ref again = steal(PyObject_CallOneArg(print.get(), back.get()));
        return bool(again);
    };
    if (retry()) return 0;
    return swallow_exception() ? 0 : -1;
}

// A formatted line; one whose values cannot be turned into text (a `__str__`
// that raises) is left out rather than ending the report.
int print_fmt(ConductorState* st, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    Ref text = steal(PyUnicode_FromFormatV(fmt, va));
    va_end(va);
    if (!text) return swallow_exception() ? 0 : -1;
    return safe_print(st, text.get());
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
    static const char* kwlist[] = {"directory", nullptr};
    PyObject* directory = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:PipelineImp", const_cast<char**>(kwlist),
                                     &directory))
        return -1;
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
    PyObject* stopped = st->stopped.get();
    PyObject* healthy = stopped ? st->healthy.get() : nullptr;
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

int add_node_impl(ConductorState* st, PyObject* self, PyObject* node) {
    auto* p = pipe(self);
    Ref nodes = borrow(p->nodes);
    if (!nodes) {
        PyErr_SetString(PyExc_AttributeError, "'PipelineImp' object has no attribute '_nodes'");
        return -1;
    }
    int present = PySequence_Contains(nodes.get(), node);
    if (present < 0) return -1;
    if (present) {
        PyErr_SetString(PyExc_ValueError, "Node already exists in pipeline.");
        return -1;
    }
    // The element joins the list only once it took the logger and was logged:
    // an element that cannot be added must not stay behind to break every
    // later start and stop.
    Ref r = steal(fm::call_method(node, st->n(N_set_logger), field(p->logger)));
    if (!r) return -1;
    Ref name = steal(PyObject_GetAttr(node, st->n(N_name)));
    if (!name) return -1;
    if (log_text(st, self, nullptr, "Node %S added to pipeline.", name.get()) < 0) return -1;
    return append_to(st, nodes.get(), node);
}

int ensure_added(ConductorState* st, PyObject* self, PyObject* node) {
    Ref nodes = borrow(pipe(self)->nodes);
    int present = nodes ? PySequence_Contains(nodes.get(), node) : 0;
    if (present < 0) return -1;
    return present ? 0 : add_node_impl(st, self, node);
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
    PyObject* port_out = st->port_out.get();
    PyObject* port_in = port_out ? st->port_in.get() : nullptr;
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
    PyObject* port_out = st->port_out.get();
    PyObject* port_in = port_out ? st->port_in.get() : nullptr;
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

// First failure kept by `element` or one of its inner nodes (Py_None if none).
Ref element_failure(ConductorState* st, PyObject* element) {
    Ref candidates = candidates_of(st, element);
    if (!candidates) return {};
    Py_ssize_t n = PyList_GET_SIZE(candidates.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref f = kept_failure(st, PyList_GET_ITEM(candidates.get(), i));
        if (!f || f.get() != Py_None) return f;
    }
    return borrow(Py_None);
}

Ref first_element_failure(ConductorState* st, PyObject* self) {
    Ref nodes = snapshot(pipe(self)->nodes);
    if (!nodes) return {};
    Py_ssize_t n = PyList_GET_SIZE(nodes.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref f = element_failure(st, PyList_GET_ITEM(nodes.get(), i));
        if (!f || f.get() != Py_None) return f;
    }
    return borrow(Py_None);
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
    int failed = is(condition.get(), st->failed);
    if (failed) return failed;
    Ref f = element_failure(st, element);
    if (!f) return -1;
    return f.get() != Py_None;
}

// -------------------------------------------------------------- run control

int join_monitor_thread(ConductorState* st, PyObject* self) {
    auto* p = pipe(self);
    Ref thread = borrow(field(p->monitor_thread));
    if (thread.get() == Py_None) return 0;
    PyObject* current_fn = st->current_thread.get();
    if (!current_fn) return -1;
    Ref current = steal(PyObject_CallNoArgs(current_fn));
    if (!current) return -1;
    if (current.get() == thread.get()) return 0;
    Ref r = steal(fm::call_method(thread.get(), st->n(N_join)));
    if (!r) return -1;
    // Another caller may have replaced the thread meanwhile; keep that one.
    if (p->monitor_thread == thread.get()) fm::set_field(&p->monitor_thread, Py_None);
    return 0;
}

Ref get_incident(ConductorState* st, PyObject* logger, fm::Lazy& type, bool opaque) {
    PyObject* t = type.get();
    if (!t) return {};
    if (!opaque) {
        PyObject* values[] = {t};
        return steal(fm::call_method_kw(logger, st->n(N_get_incident), st->kw_type, values));
    }
    PyObject* values[] = {t, Py_True};
    return steal(fm::call_method_kw(logger, st->n(N_get_incident), st->kw_type_opaque, values));
}

// Rolls back a start that raised, logs the failure and leaves it pending again.
void recover_from_failed_start(ConductorState* st, PyObject* self, PyObject* started,
                               PyObject* element) {
    Ref failure = steal(PyErr_GetRaisedException());
    auto roll_back = [&]() -> bool {
        Ref pe = steal(fm::imp_class("ProcessingElementImp"));
        if (!pe) return false;
        Ref log = steal(PyObject_GetAttr(self, st->n(N_log)));
        if (!log) return false;
        Ref r = steal(fm::call_method(pe.get(), st->n(N_stop_after_failed_start), started, element,
                                      log.get()));
        if (!r) return false;
        return log_object(st, self, failure.get(), st->log_error.get()) == 0;
    };
    if (roll_back()) {
        PyErr_SetRaisedException(failure.release());
        return;
    }
    chain_context(std::move(failure));
}

PyObject* stop_impl(ConductorState* st, PyObject* self);
PyObject* close_impl(ConductorState* st, PyObject* self);

bool claimed_by_other_thread(PipelineObject* p) {
    return p->run_control != kIdle && p->run_control_thread != PyThread_get_thread_ident();
}

// After a start or stop let go of run control: carries out a stop or close
// that another thread asked for meanwhile. `result` is what the start or stop
// returned (null with its exception pending), and stays the outcome unless
// the requested step fails where it succeeded.
PyObject* finish_requests(ConductorState* st, PyObject* self, Ref result) {
    auto* p = pipe(self);
    bool close = p->close_requested;
    bool stop = p->stop_requested;
    p->close_requested = p->stop_requested = false;
    if (!close && !stop) return result.release();
    Ref failure = result ? Ref() : steal(PyErr_GetRaisedException());
    Ref r = steal(close ? close_impl(st, self) : stop_impl(st, self));
    if (failure) {
        if (r)
            PyErr_SetRaisedException(failure.release());
        else
            chain_context(std::move(failure));
        return nullptr;
    }
    return r ? result.release() : nullptr;
}

PyObject* start_run(ConductorState* st, PyObject* self);

PyObject* start_impl(ConductorState* st, PyObject* self) {
    auto* p = pipe(self);
    if (log_text(st, self, nullptr, "Starting pipeline...") < 0) return nullptr;
    int running = is(p->state, st->running);
    if (running < 0) return nullptr;
    // Running, or about to be: a start already under way (here or on
    // another thread) counts as running.
    if (running || p->run_control == kStarting) {
        if (log_text(st, self, nullptr, "Pipeline running, skipping.") < 0) return nullptr;
        Py_RETURN_NONE;
    }
    if (p->run_control == kStopping) {
        PyErr_SetString(PyExc_RuntimeError,
                        "The pipeline is being stopped; start it again once stop() has returned.");
        return nullptr;
    }
    Ref result;
    {
        RunControlClaim claim(self, kStarting);
        result = steal(start_run(st, self));
    }
    return finish_requests(st, self, std::move(result));
}

PyObject* start_run(ConductorState* st, PyObject* self) {
    auto* p = pipe(self);
    // A monitoring thread that stopped the previous run may still be calling
    // handlers or printing its banner; it must be done before the next run.
    if (join_monitor_thread(st, self) < 0) return nullptr;

    Ref nodes = snapshot(p->nodes);
    if (!nodes) return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(nodes.get());
    int failed = is(p->condition, st->failed);
    if (failed < 0) return nullptr;
    if (failed) {
        Ref logger = borrow(field(p->logger));
        Ref incident = get_incident(st, logger.get(), st->log_error, false);
        if (!incident) return nullptr;
        int has = truthy(incident.get());
        if (has < 0) return nullptr;
        Ref message = has ? steal(PyObject_GetItem(incident.get(), st->n(N_message)))
                          : borrow(st->n(N_unknown));
        if (!message) return nullptr;
        if (log_text(st, self, nullptr,
                     "Pipeline recovering from a previous error ('%S'); resetting run state and "
                     "restarting.",
                     message.get()) < 0)
            return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (reset_element(st, PyList_GET_ITEM(nodes.get(), i)) < 0) return nullptr;
    } else {
        // A failure the monitoring thread never reported must not survive
        // into the next run, where the element would drop every frame.
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* element = PyList_GET_ITEM(nodes.get(), i);
            int reset = needs_reset(st, element);
            if (reset < 0 || (reset && reset_element(st, element) < 0)) return nullptr;
        }
    }
    PyObject* healthy = st->healthy.get();
    if (!healthy) return nullptr;
    fm::set_field(&p->condition, healthy);
    fm::set_field(&p->backlog_level, st->n(N_ok));

    {
        Ref logger = borrow(field(p->logger));
        Ref e = get_incident(st, logger.get(), st->log_error, true);
        if (!e) return nullptr;
        Ref w = get_incident(st, logger.get(), st->log_warning, true);
        if (!w) return nullptr;
    }

    Ref started = steal(PyList_New(0));
    if (!started) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* element = PyList_GET_ITEM(nodes.get(), i);
        Ref r = steal(fm::call_method(element, st->n(N_start)));
        if (!r) {
            if (fm::pending_is_exception())
                recover_from_failed_start(st, self, started.get(), element);
            return nullptr;
        }
        if (PyList_Append(started.get(), element) < 0) return nullptr;
    }

    PyObject* time_fn = st->time_fn.get();
    if (!time_fn) return nullptr;
    Ref now = steal(PyObject_CallNoArgs(time_fn));
    PyObject* running_value = now ? st->running.get() : nullptr;
    if (!running_value) return nullptr;
    fm::set_field(&p->start_time, now.get());
    fm::set_field(&p->state, running_value);
    if (log_text(st, self, nullptr, "Pipeline started.") < 0) return nullptr;

    Ref event = borrow(field(p->stop_event));
    Ref r = steal(fm::call_method(event.get(), st->n(N_clear)));
    if (!r) return nullptr;
    Ref target = steal(PyObject_GetAttr(self, st->n(N__monitoring_fun)));
    PyObject* thread_cls = target ? st->thread_cls.get() : nullptr;
    if (!thread_cls) return nullptr;
    PyObject* targs[] = {target.get()};
    Ref thread = steal(PyObject_Vectorcall(thread_cls, targs, 0, st->kw_target));
    if (!thread) return nullptr;
    fm::set_field(&p->monitor_thread, thread.get());
    if (PyObject_SetAttr(thread.get(), st->n(N_daemon), Py_True) < 0) return nullptr;
    r = steal(fm::call_method(thread.get(), st->n(N_start)));
    if (!r) {
        // A thread that never started cannot be joined by a later stop.
        if (p->monitor_thread == thread.get()) fm::set_field(&p->monitor_thread, Py_None);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Whether the calling thread is the current run's monitoring thread. -1 on error.
int on_monitor_thread(ConductorState* st, PyObject* self) {
    PyObject* current_fn = st->current_thread.get();
    if (!current_fn) return -1;
    Ref current = steal(PyObject_CallNoArgs(current_fn));
    if (!current) return -1;
    return current.get() == pipe(self)->monitor_thread;
}

PyObject* stop_run(ConductorState* st, PyObject* self);

PyObject* stop_impl(ConductorState* st, PyObject* self) {
    auto* p = pipe(self);
    if (log_text(st, self, nullptr, "Stopping pipeline...") < 0) return nullptr;
    while (p->run_control == kStarting && claimed_by_other_thread(p)) {
        // The run's own monitoring thread found a failure before its start
        // returned: that start waits for nothing of this thread's, so let it
        // end, and stop the run before the failure is reported.
        int monitor = on_monitor_thread(st, self);
        if (monitor < 0) return nullptr;
        if (!monitor || p->run_control != kStarting) break;
        Py_BEGIN_ALLOW_THREADS std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Py_END_ALLOW_THREADS
    }
    if (p->run_control == kStarting) {
        p->stop_requested = true;  // the starting thread stops the run once it has started
        Py_RETURN_NONE;
    }
    if (p->run_control == kStopping) {
        // Stopping already, further up this thread's stack, or on another
        // thread that may be joining this one (an element's thread): nothing
        // to add, and no waiting. Once that stop has stopped every element,
        // what is left is the stop of an already stopped pipeline, which
        // waits for the monitoring thread's report.
        if (!claimed_by_other_thread(p)) Py_RETURN_NONE;
        int stopped = is(p->state, st->stopped);
        if (stopped <= 0) return stopped < 0 ? nullptr : Py_NewRef(Py_None);
        return stop_run(st, self);
    }
    Ref result;
    {
        RunControlClaim claim(self, kStopping);
        result = steal(stop_run(st, self));
    }
    return finish_requests(st, self, std::move(result));
}

PyObject* stop_run(ConductorState* st, PyObject* self) {
    auto* p = pipe(self);
    int stopped = is(p->state, st->stopped);
    if (stopped < 0) return nullptr;
    if (stopped) {
        int healthy = is(p->condition, st->healthy);
        if (healthy < 0) return nullptr;
        if (healthy &&
            log_text(st, self, nullptr, "Pipeline has already been stopped. Skipping.") < 0)
            return nullptr;
        int failed = is(p->condition, st->failed);
        if (failed < 0) return nullptr;
        if (failed) {
            if (log_text(st, self, nullptr,
                         "Pipeline has already been stopped due to an error. Skipping.") < 0 ||
                join_monitor_thread(st, self) < 0)
                return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref nodes = snapshot(p->nodes);
    if (!nodes) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes.get()); ++i) {
        Ref r = steal(fm::call_method(PyList_GET_ITEM(nodes.get(), i), st->n(N_stop)));
        if (!r) return nullptr;
    }
    PyObject* stopped_value = st->stopped.get();
    if (!stopped_value) return nullptr;
    fm::set_field(&p->start_time, Py_None);
    fm::set_field(&p->state, stopped_value);
    if (log_text(st, self, nullptr, "Pipeline stopped.") < 0) return nullptr;
    Ref event = borrow(field(p->stop_event));
    Ref r = steal(fm::call_method(event.get(), st->n(N_set)));
    if (!r || join_monitor_thread(st, self) < 0) return nullptr;
    Ref logger = borrow(field(p->logger));
    r = steal(fm::call_method(logger.get(), st->n(N_flush)));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

PyObject* close_impl(ConductorState* st, PyObject* self) {
    auto* p = pipe(self);
    if (p->run_control != kIdle) {
        // A start under way, a stop further up this thread's stack, or
        // another thread still stopping the elements (it may be joining this
        // one): the claiming call closes once it is done. When the elements
        // are stopped already, the monitoring thread is joined below, as
        // after a run it stopped itself.
        int stopped = p->run_control == kStopping && claimed_by_other_thread(p)
                          ? is(p->state, st->stopped)
                          : 0;
        if (stopped < 0) return nullptr;
        if (!stopped) {
            p->close_requested = true;
            Py_RETURN_NONE;
        }
    }
    int running = p->run_control == kStopping ? 0 : is(p->state, st->running);
    if (running < 0) return nullptr;
    if (running) {
        Ref r = steal(stop_impl(st, self));
        if (!r) return nullptr;
    }
    if (join_monitor_thread(st, self) < 0) return nullptr;
    Ref logger = borrow(field(p->logger));
    if (logger.get() != Py_None) {
        Ref r = steal(fm::call_method(logger.get(), st->n(N_stop)));
        if (!r) return nullptr;
    }
    Py_RETURN_NONE;
}

// --------------------------------------------------------------- monitoring

PyObject* get_backlog_impl(ConductorState* st, PyObject* self) {
    Ref nodes = snapshot(pipe(self)->nodes);
    if (!nodes) return nullptr;
    Ref best = steal(PyLong_FromLong(0));
    if (!best) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes.get()); ++i) {
        Ref imp = steal(PyObject_GetAttr(PyList_GET_ITEM(nodes.get(), i), st->n(N__imp)));
        if (!imp) return nullptr;
        Ref backlog = steal(fm::call_method(imp.get(), st->n(N_get_max_backlog)));
        if (!backlog) return nullptr;
        int greater = i == 0 ? 1 : PyObject_RichCompareBool(backlog.get(), best.get(), Py_GT);
        if (greater < 0) return nullptr;
        if (greater) best = std::move(backlog);
    }
    return best.release();
}

PyObject* check_backlog_impl(ConductorState* st, PyObject* self) {
    auto* p = pipe(self);
    Ref backlog = steal(fm::call_method(self, st->n(N_get_backlog)));
    if (!backlog) return nullptr;
    Ref holder = steal(fm::imp_class("ConstantsImp"));
    if (!holder) return nullptr;
    Ref error_at = steal(PyObject_GetAttr(holder.get(), st->n(N_BACKLOG_ERROR)));
    if (!error_at) return nullptr;
    Ref warning_at = steal(PyObject_GetAttr(holder.get(), st->n(N_BACKLOG_WARNING)));
    if (!warning_at) return nullptr;
    Name level = N_ok;
    int over = PyObject_RichCompareBool(backlog.get(), error_at.get(), Py_GE);
    if (over < 0) return nullptr;
    if (over) {
        level = N_error;
    } else {
        over = PyObject_RichCompareBool(backlog.get(), warning_at.get(), Py_GE);
        if (over < 0) return nullptr;
        if (over) level = N_warning;
    }
    int same = fm::equal(st->n(level), field(p->backlog_level));
    if (same < 0) return nullptr;
    if (same) Py_RETURN_NONE;
    fm::set_field(&p->backlog_level, st->n(level));
    int rc = 0;
    if (level == N_error)
        rc = log_text(st, self, &st->log_error,
                      "Input backlog (%S items) exceeds the error threshold (%S); a consumer "
                      "cannot keep up. Stopping pipeline.",
                      backlog.get(), error_at.get());
    else if (level == N_warning)
        rc = log_text(st, self, &st->log_warning,
                      "Input backlog (%S items) exceeds the warning threshold (%S); a consumer is "
                      "falling behind.",
                      backlog.get(), warning_at.get());
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* notify_error_impl(ConductorState* st, PyObject* self, PyObject* entry) {
    Ref handlers = snapshot(pipe(self)->error_handlers);
    if (!handlers) return nullptr;
    // Reporting must not fail: whatever a handler raises (a BaseException
    // too, or an exception whose text cannot be taken) is logged, and the
    // next handler is still called.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(handlers.get()); ++i) {
        Ref r = steal(PyObject_CallOneArg(PyList_GET_ITEM(handlers.get(), i), entry));
        if (r) continue;
        Ref exc = steal(PyErr_GetRaisedException());
        Ref type_name = steal(PyType_GetName(Py_TYPE(exc.get())));
        Ref text = type_name ? safe_text(exc.get()) : Ref();
        if (!text || log_text(st, self, nullptr,
                              "An error handler raised while reporting a pipeline failure: %U: %U",
                              type_name.get(), text.get()) < 0) {
            if (!swallow_exception()) return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* log_reference_impl(ConductorState* st, PyObject* self) {
    Ref logger = borrow(field(pipe(self)->logger));
    int has_logger = truthy(logger.get());
    if (has_logger < 0) return nullptr;
    Ref why = borrow(Py_None);
    Ref at = borrow(Py_None);
    if (has_logger) {
        Ref file = attr_or_none(logger.get(), st->n(N_file_name));
        if (!file) return nullptr;
        int has_file = truthy(file.get());
        if (has_file < 0) return nullptr;
        if (has_file) return PyUnicode_FromFormat("See log file for details: %S", file.get());
    }
    if (logger.get() != Py_None) {
        why = attr_or_none(logger.get(), st->n(N_file_error));
        if (!why) return nullptr;
        at = attr_or_none(logger.get(), st->n(N_attempted_file));
        if (!at) return nullptr;
    }
    int has_at = truthy(at.get());
    int has_why = has_at < 0 ? -1 : truthy(why.get());
    if (has_why < 0) return nullptr;
    Ref at_text =
        has_at ? steal(PyUnicode_FromFormat(" at %S", at.get())) : steal(PyUnicode_FromString(""));
    Ref why_text =
        has_why ? steal(PyUnicode_FromFormat(" (%S)", why.get())) : steal(PyUnicode_FromString(""));
    if (!at_text || !why_text) return nullptr;
    return PyUnicode_FromFormat("No log file was written%U%U. This message is all there is.",
                                at_text.get(), why_text.get());
}

// entry["source"], an empty dict when falsy (new reference).
Ref source_of(ConductorState* st, PyObject* entry) {
    Ref source = steal(PyObject_GetItem(entry, st->n(N_source)));
    if (!source) return {};
    int t = truthy(source.get());
    if (t < 0) return {};
    return t ? std::move(source) : steal(PyDict_New());
}

Ref source_get(ConductorState* st, PyObject* source, Name key) {
    return steal(fm::call_method(source, st->n(N_get), st->n(key)));
}

int print_error_banner(ConductorState* st, PyObject* self, PyObject* error) {
    Ref source = source_of(st, error);
    if (!source) return -1;
    Ref red = colour(st, "\x1b[31m");
    Ref bold = red ? colour(st, "\x1b[1m") : Ref();
    Ref reset = bold ? colour(st, "\x1b[0m") : Ref();
    if (!reset) return -1;
    if (safe_print(st, red.get()) < 0 || safe_print(st, st->rule) < 0) return -1;
    Ref message = steal(PyObject_GetItem(error, st->n(N_message)));
    if (!message || print_fmt(st, "*** %S ***\n", message.get()) < 0) return -1;

    Ref summary = source_get(st, source.get(), N_summary);
    if (!summary) return -1;
    int has_summary = truthy(summary.get());
    if (has_summary < 0) return -1;
    if (has_summary) {
        if (print_fmt(st, "Raised in %S", summary.get()) < 0) return -1;
    } else {
        Ref filename = source_get(st, source.get(), N_filename);
        Ref lineno = filename ? source_get(st, source.get(), N_lineno) : Ref();
        if (!lineno || print_fmt(st, "Raised in %S:%S", filename.get(), lineno.get()) < 0)
            return -1;
    }
    const std::pair<Name, const char*> optional_lines[] = {{N_instance, "Node: %S"},
                                                           {N_directory, "File in: %S"}};
    for (const auto& [key, fmt] : optional_lines) {
        Ref value = source_get(st, source.get(), key);
        if (!value) return -1;
        int has = truthy(value.get());
        if (has < 0 || (has && print_fmt(st, fmt, value.get()) < 0)) return -1;
    }
    Ref reference = steal(fm::call_method(self, st->n(N__log_reference)));
    if (!reference || safe_print(st, reference.get()) < 0 || safe_print(st, st->rule) < 0)
        return -1;
    if (print_fmt(st, "%U%UPipeline stopped.%U%U", red.get(), bold.get(), reset.get(), red.get()) <
        0)
        return -1;
    return safe_print(st, reset.get());
}

int print_warning_banner(ConductorState* st, PyObject* self, PyObject* warning) {
    Ref source = source_of(st, warning);
    if (!source) return -1;
    Ref orange = colour(st, "\x1b[33m");
    Ref reset = orange ? colour(st, "\x1b[0m") : Ref();
    if (!reset) return -1;
    if (safe_print(st, orange.get()) < 0 || safe_print(st, st->rule) < 0) return -1;
    Ref message = steal(PyObject_GetItem(warning, st->n(N_message)));
    if (!message || print_fmt(st, "*** %S ***\n", message.get()) < 0) return -1;
    Ref directory = source_get(st, source.get(), N_directory);
    Ref filename = directory ? source_get(st, source.get(), N_filename) : Ref();
    Ref lineno = filename ? source_get(st, source.get(), N_lineno) : Ref();
    if (!lineno || print_fmt(st, "Warning raised in %S\\%S:%S.", directory.get(), filename.get(),
                             lineno.get()) < 0)
        return -1;
    Ref reference = steal(fm::call_method(self, st->n(N__log_reference)));
    if (!reference || safe_print(st, reference.get()) < 0 || safe_print(st, st->rule) < 0)
        return -1;
    return safe_print(st, reset.get());
}

// Logs the pending Exception as a recovery; the thread lives on. False for a
// BaseException that is not an Exception, which is left pending.
bool log_recovery(ConductorState* st, PyObject* self) {
    if (!fm::pending_is_exception()) return false;
    Ref exc = steal(PyErr_GetRaisedException());
    Ref text = safe_text(exc.get());
    if (!text) return false;
    if (log_text(st, self, nullptr, "Monitoring thread recovered from: %U", text.get()) < 0)
        return swallow_exception();
    return true;
}

// One monitoring pass: 1 when the run failed and the thread is to end, 0 to
// go on, -1 with an exception.
int monitoring_pass(ConductorState* st, PyObject* self) {
    auto* p = pipe(self);
    // A backlog query that keeps failing must not hide the incidents: it is
    // reported and the pass goes on.
    Ref r = steal(fm::call_method(self, st->n(N__check_backlog)));
    if (!r && !log_recovery(st, self)) return -1;
    Ref logger = borrow(field(p->logger));
    Ref error = get_incident(st, logger.get(), st->log_error, true);
    if (!error) return -1;
    int failed = truthy(error.get());
    if (failed < 0) return -1;
    if (failed) {
        PyObject* failed_value = st->failed.get();
        if (!failed_value) return -1;
        fm::set_field(&p->condition, failed_value);
        Ref stopped = steal(fm::call_method(self, st->n(N_stop)));
        Ref stop_error = stopped ? Ref() : steal(PyErr_GetRaisedException());
        Ref notified = steal(fm::call_method(self, st->n(N__notify_error), error.get()));
        if (!notified) {
            chain_context(std::move(stop_error));
            return -1;
        }
        if (stop_error) {
            PyErr_SetRaisedException(stop_error.release());
            return -1;
        }
        if (print_error_banner(st, self, error.get()) < 0) return -1;
        return 1;
    }
    PyObject* wtype = st->log_warning.get();
    if (!wtype) return -1;
    PyObject* wargs[] = {logger.get(), wtype, Py_True};
    Ref warning = steal(PyObject_VectorcallMethod(
        st->n(N_get_incident), wargs, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, st->kw_opaque));
    if (!warning) return -1;
    int warned = truthy(warning.get());
    if (warned < 0) return -1;
    if (warned) {
        PyObject* warned_value = st->warned.get();
        if (!warned_value) return -1;
        fm::set_field(&p->condition, warned_value);
        if (print_warning_banner(st, self, warning.get()) < 0) return -1;
    }
    return 0;
}

// Seconds to wait between passes: the holder's current MONITORING_INTERVAL
// when it is a positive finite number of seconds, else the fallback, which is
// logged the first time (`*warned` remembers that). A value that is too small
// would make the thread spin, one that is too large never to look again.
double monitoring_interval(ConductorState* st, PyObject* self, PyObject* holder, bool* warned) {
    constexpr double kShortest = 1e-3;
    const double longest = 86400.0;
    double fallback = PyFloat_AS_DOUBLE(st->fallback_interval);
    Ref value = holder ? steal(PyObject_GetAttr(holder, st->n(N_MONITORING_INTERVAL))) : Ref();
    double seconds = value && PyNumber_Check(value.get()) ? PyFloat_AsDouble(value.get()) : -1.0;
    if (seconds == -1.0 && PyErr_Occurred() && !swallow_exception()) return -1.0;
    if (seconds > 0.0 && seconds <= longest) return seconds < kShortest ? kShortest : seconds;
    if (!*warned) {
        *warned = true;
        Ref shown = value ? safe_text(value.get()) : steal(PyUnicode_FromString("(missing)"));
        if (!shown || log_text(st, self, nullptr,
                               "Monitoring thread recovered from: MONITORING_INTERVAL %U is not a "
                               "usable number of seconds; waiting %R seconds between passes.",
                               shown.get(), st->fallback_interval) < 0) {
            if (!swallow_exception()) return -1.0;
        }
    }
    return fallback;
}

// The timed wait between passes: 1 when the stop event was set.
int wait_for_stop(ConductorState* st, PyObject* self, PyObject* holder, bool* warned) {
    Ref event = borrow(field(pipe(self)->stop_event));
    double seconds = monitoring_interval(st, self, holder, warned);
    if (seconds < 0.0) return -1;
    Ref timeout = steal(PyFloat_FromDouble(seconds));
    if (!timeout) return -1;
    PyObject* values[] = {timeout.get()};
    Ref r = steal(fm::call_method_kw(event.get(), st->n(N_wait), st->kw_timeout, values));
    if (!r) return -1;
    return truthy(r.get());
}

PyObject* monitoring_fun_impl(ConductorState* st, PyObject* self) {
    if (log_text(st, self, nullptr, "Monitoring thread started...") < 0 && !swallow_exception())
        return nullptr;
    Ref holder = steal(fm::imp_class("ConstantsImp"));
    if (!holder && !log_recovery(st, self)) return nullptr;
    bool interval_warned = false;
    for (;;) {
        int failed = is(pipe(self)->condition, st->failed);
        if (failed > 0) break;
        int outcome = failed < 0 ? -1 : monitoring_pass(st, self);
        if (outcome > 0) break;
        if (outcome < 0 && !log_recovery(st, self)) return nullptr;
        int stop = wait_for_stop(st, self, holder.get(), &interval_warned);
        if (stop < 0) {
            if (!log_recovery(st, self)) return nullptr;
            break;  // not even the fallback wait works: end rather than spin
        }
        if (stop) break;
    }
    if (log_text(st, self, nullptr, "Monitoring thread terminated.") < 0 && !swallow_exception())
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* raise_if_failed_impl(ConductorState* st, PyObject* self) {
    auto* p = pipe(self);
    int failed = is(p->condition, st->failed);
    if (failed < 0) return nullptr;
    Ref cause = first_element_failure(st, self);
    if (!cause) return nullptr;
    // An element's failure counts even when the run was stopped before the
    // monitoring thread saw it.
    if (!failed && cause.get() == Py_None) Py_RETURN_NONE;
    Ref logger = borrow(field(p->logger));
    Ref entry = logger.get() == Py_None ? borrow(Py_None)
                                        : get_incident(st, logger.get(), st->log_error, false);
    if (!entry) return nullptr;
    Ref message;
    if (entry.get() == Py_None) {
        message = steal(PyUnicode_FromString("The pipeline failed."));
    } else {
        Ref source = source_of(st, entry.get());
        if (!source) return nullptr;
        Ref node = source_get(st, source.get(), N_instance);
        Ref where = node ? source_get(st, source.get(), N_summary) : Ref();
        Ref text = where ? steal(PyObject_GetItem(entry.get(), st->n(N_message))) : Ref();
        if (!text) return nullptr;
        message = steal(PyUnicode_FromFormat("The pipeline failed: %S", text.get()));
        int has_node = message ? truthy(node.get()) : -1;
        if (has_node < 0) return nullptr;
        if (has_node) {
            Ref part = steal(PyUnicode_FromFormat(" in node '%S'", node.get()));
            if (!part) return nullptr;
            message = steal(PyUnicode_Concat(message.get(), part.get()));
        }
        int has_where = message ? truthy(where.get()) : -1;
        if (has_where < 0) return nullptr;
        if (has_where) {
            Ref part = steal(PyUnicode_FromFormat(" at %S", where.get()));
            if (!part) return nullptr;
            message = steal(PyUnicode_Concat(message.get(), part.get()));
        }
    }
    if (!message) return nullptr;
    PyErr_SetObject(PyExc_RuntimeError, message.get());
    if (PyExceptionInstance_Check(cause.get())) fm::chain_cause(std::move(cause));
    return nullptr;
}

// ------------------------------------------------------------ method wrappers

#define FM_METHOD_ARGS \
    PyObject *self, PyTypeObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames

#define FM_NOARG_METHOD(pyname, impl)                              \
    PyObject* method_##pyname(FM_METHOD_ARGS) {                    \
        (void)args;                                                \
        if (!fm::no_args(#pyname, nargs, kwnames)) return nullptr; \
        return impl(fm::class_state<ConductorState>(cls), self);   \
    }

FM_NOARG_METHOD(start, start_impl)
FM_NOARG_METHOD(stop, stop_impl)
FM_NOARG_METHOD(close, close_impl)
FM_NOARG_METHOD(get_backlog, get_backlog_impl)
FM_NOARG_METHOD(_check_backlog, check_backlog_impl)
FM_NOARG_METHOD(_log_reference, log_reference_impl)
FM_NOARG_METHOD(_monitoring_fun, monitoring_fun_impl)
FM_NOARG_METHOD(raise_if_failed, raise_if_failed_impl)

PyObject* method__join_monitor_thread(FM_METHOD_ARGS) {
    if (!fm::no_args("_join_monitor_thread", nargs, kwnames)) return nullptr;
    (void)args;
    if (join_monitor_thread(fm::class_state<ConductorState>(cls), self) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* method_get_state(FM_METHOD_ARGS) {
    (void)args, (void)cls;
    if (!fm::no_args("get_state", nargs, kwnames)) return nullptr;
    return Py_NewRef(field(pipe(self)->state));
}

PyObject* method_get_condition(FM_METHOD_ARGS) {
    (void)args, (void)cls;
    if (!fm::no_args("get_condition", nargs, kwnames)) return nullptr;
    return Py_NewRef(field(pipe(self)->condition));
}

PyObject* method_get_elapsed_time(FM_METHOD_ARGS) {
    (void)args;
    if (!fm::no_args("get_elapsed_time", nargs, kwnames)) return nullptr;
    ConductorState* st = fm::class_state<ConductorState>(cls);
    Ref started = borrow(field(pipe(self)->start_time));
    if (started.get() == Py_None) return PyFloat_FromDouble(0.0);
    PyObject* time_fn = st->time_fn.get();
    if (!time_fn) return nullptr;
    Ref now = steal(PyObject_CallNoArgs(time_fn));
    if (!now) return nullptr;
    return PyNumber_Subtract(now.get(), started.get());
}

PyObject* method_is_logging_persistent(FM_METHOD_ARGS) {
    (void)args;
    if (!fm::no_args("is_logging_persistent", nargs, kwnames)) return nullptr;
    Ref logger = borrow(field(pipe(self)->logger));
    if (logger.get() == Py_None) Py_RETURN_FALSE;
    return fm::call_method(logger.get(), fm::class_state<ConductorState>(cls)->n(N_is_persistent));
}

PyObject* method_get_last_error(FM_METHOD_ARGS) {
    (void)args;
    if (!fm::no_args("get_last_error", nargs, kwnames)) return nullptr;
    ConductorState* st = fm::class_state<ConductorState>(cls);
    Ref logger = borrow(field(pipe(self)->logger));
    if (logger.get() == Py_None) Py_RETURN_NONE;
    return get_incident(st, logger.get(), st->log_error, false).release();
}

PyObject* method__first_element_failure(FM_METHOD_ARGS) {
    (void)args;
    if (!fm::no_args("_first_element_failure", nargs, kwnames)) return nullptr;
    return first_element_failure(fm::class_state<ConductorState>(cls), self).release();
}

PyObject* method_add_node(FM_METHOD_ARGS) {
    static const char* const names[] = {"node"};
    PyObject* out[] = {nullptr};
    if (!fm::parse_args("add_node", args, nargs, kwnames, names, out, 1)) return nullptr;
    if (add_node_impl(fm::class_state<ConductorState>(cls), self, out[0]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* method_connect(FM_METHOD_ARGS) {
    static const char* const names[] = {"source", "target"};
    PyObject* out[] = {nullptr, nullptr};
    if (!fm::parse_args("connect", args, nargs, kwnames, names, out, 2)) return nullptr;
    return connect_impl(fm::class_state<ConductorState>(cls), self, out[0], out[1]);
}

PyObject* method_disconnect(FM_METHOD_ARGS) {
    static const char* const names[] = {"source", "target"};
    PyObject* out[] = {nullptr, nullptr};
    if (!fm::parse_args("disconnect", args, nargs, kwnames, names, out, 2)) return nullptr;
    return disconnect_impl(fm::class_state<ConductorState>(cls), self, out[0], out[1]);
}

PyObject* method_log(FM_METHOD_ARGS) {
    static const char* const names[] = {"msg", "type"};
    PyObject* out[] = {nullptr, Py_None};
    if (!fm::parse_args("log", args, nargs, kwnames, names, out, 1)) return nullptr;
    if (log_object(fm::class_state<ConductorState>(cls), self, out[0], out[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* method_add_error_handler(FM_METHOD_ARGS) {
    static const char* const names[] = {"handler"};
    PyObject* out[] = {nullptr};
    if (!fm::parse_args("add_error_handler", args, nargs, kwnames, names, out, 1)) return nullptr;
    ConductorState* st = fm::class_state<ConductorState>(cls);
    if (append_to(st, pipe(self)->error_handlers, out[0]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* method__notify_error(FM_METHOD_ARGS) {
    static const char* const names[] = {"entry"};
    PyObject* out[] = {nullptr};
    if (!fm::parse_args("_notify_error", args, nargs, kwnames, names, out, 1)) return nullptr;
    return notify_error_impl(fm::class_state<ConductorState>(cls), self, out[0]);
}

#define FM_DEF(name, doc) {#name, fm::as_cfunc(method_##name), fm::kMethodCall, PyDoc_STR(doc)}

PyMethodDef pipeline_methods[] = {
    FM_DEF(add_node, "Add an element; it takes over the pipeline's logger."),
    FM_DEF(connect, "Join an output port of `source` to an input port of `target`."),
    FM_DEF(disconnect, "Undo a connection made by connect."),
    FM_DEF(start, "Start every element in order of addition, then the monitoring thread."),
    FM_DEF(stop, "Stop every element and the monitoring thread; flush the log."),
    FM_DEF(close, "Stop if running and release the logger."),
    FM_DEF(_join_monitor_thread, "Wait for the monitoring thread, unless called on it."),
    FM_DEF(get_state, "The run state."),
    FM_DEF(get_condition, "The health condition."),
    FM_DEF(get_elapsed_time, "Seconds since the run started; 0.0 when not running."),
    FM_DEF(is_logging_persistent, "Whether a log file is being written."),
    FM_DEF(log, "log(msg, type=None): write a message or an exception to the pipeline's log."),
    FM_DEF(add_error_handler, "Register a callable called with the incident of a failed run."),
    FM_DEF(raise_if_failed, "Raise RuntimeError if the run failed."),
    FM_DEF(get_last_error, "The most recent error incident, or None."),
    FM_DEF(get_backlog, "The largest input backlog of any element."),
    FM_DEF(_check_backlog, "Log a change of the backlog level."),
    FM_DEF(_notify_error, "Call every error handler with the incident."),
    FM_DEF(_first_element_failure, "The first failure kept by an element, or None."),
    FM_DEF(_log_reference, "The line telling where the details of a failure are."),
    FM_DEF(_monitoring_fun, "Body of the monitoring thread."),
    {"serialize", fm::as_cfunc(fm::documents::serialize), fm::kMethodCall,
     PyDoc_STR("The pipeline as a document: revision, writer, element entries, connections.")},
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
     const_cast<char*>("PipelineImp(directory=None): the implementation of a pipeline.")},
    {Py_tp_init, reinterpret_cast<void*>(pipeline_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(pipeline_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(pipeline_clear)},
    {Py_tp_methods, pipeline_methods},
    {Py_tp_members, pipeline_members},
    {0, nullptr},
};

PyType_Spec pipeline_spec = {
    "flowmesh.imp.conductor.PipelineImp", sizeof(PipelineObject), 0, fm::kTypeFlags, pipeline_slots,
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
    {"_has_output_capability", module_has_output_capability, METH_O,
     PyDoc_STR("Whether `element` is an ONode, OChain or IOChain (IONode through ONode).")},
    {"_has_input_capability", module_has_input_capability, METH_O,
     PyDoc_STR("Whether `element` is an INode, IChain or IOChain (IONode through INode).")},
    {"_colour", module_colour, METH_O,
     PyDoc_STR("`code` where the console interprets ANSI codes, else the empty string.")},
    {"_safe_print", module_safe_print, METH_O,
     PyDoc_STR("Print one line; never raises for an unprintable text or a broken console.")},
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
    for (int i = 0; i < N_COUNT; ++i) {
        st->names[i] = PyUnicode_InternFromString(kNameText[i]);
        if (!st->names[i]) return -1;
    }
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
    st->type = PyType_FromModuleAndSpec(module, &pipeline_spec, base.get());
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

PyModuleDef_Slot conductor_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(conductor_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef conductor_module = {
    PyModuleDef_HEAD_INIT,
    "flowmesh.imp.conductor",
    "PipelineImp: the pipeline graph, its run control and its monitoring thread.",
    sizeof(ConductorState),
    module_functions,
    conductor_slots,
    fm::traverse_state<ConductorState>,
    fm::clear_state<ConductorState>,
    fm::free_state<ConductorState>,
};

}  // namespace

fm::documents::State* fm::documents::state_of(PyObject* module) {
    return &fm::module_state<ConductorState>(module)->docs;
}

PyMODINIT_FUNC PyInit_conductor(void) {
    return PyModuleDef_Init(&conductor_module);
}
