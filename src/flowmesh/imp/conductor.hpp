// PipelineImp's layout and module state, shared by the files of
// flowmesh.imp.conductor: the module file (the graph, its queries and the
// module), run_control.cpp (start, stop, close), monitoring.cpp (the
// monitoring thread, backlog checks, failure reports) and console.cpp
// (banners and colour on the terminal).
#pragma once

#include <cstddef>
#include <initializer_list>

#include "documents.hpp"
#include "objects.hpp"

namespace fm::conductor {

using fm::borrow;
using fm::chain_context;
using fm::field_or_none;
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
    PyObject* last_incidents;  // (error, warning) pending when a stop began, or NULL
    // Run control may be called from any thread (the client's, a GUI's, a
    // signal handler's, an element's step, the monitoring thread). Claims
    // are taken and tested under the pipeline's critical section (the GIL's
    // own atomicity on its build) with no Python code in between, and never
    // held while a start or stop runs: a thread never waits for another's
    // start or stop, since that one may be waiting for it (an element's
    // thread is joined by stop). What arrives meanwhile is left to the
    // claiming thread.
    uint8_t run_control;               // kIdle, kStarting or kStopping
    unsigned long run_control_thread;  // the claiming thread
    bool stop_requested;               // by another thread while starting
    bool close_requested;              // by another thread while starting or stopping
    // Held for an add's last look at `nodes` and its append: unlike a
    // critical section on the list, it stays held while the append waits for
    // the list's own section (3.13t lets go of a thread's section on an
    // object while that thread locks the same object again).
    PyMutex adding;

    // Every reference the pipeline owns beyond its base's, for traverse/clear.
    template <typename F>
    int refs(F f) {
        return f(nodes, logger, state, condition, monitor_thread, stop_event, start_time,
                 backlog_level, error_handlers, last_incidents);
    }
};

constexpr uint8_t kIdle = 0;
constexpr uint8_t kStarting = 1;
constexpr uint8_t kStopping = 2;

// Holds a claim on run control for the length of a start or stop. Taken by
// a caller that holds the pipeline's critical section and decided to take it.
class RunControlClaim {
  public:
    RunControlClaim(PyObject* self, uint8_t kind) : self_(borrow(self)) {
        auto* p = fm::as<PipelineObject>(self);
        fm::publish(p->run_control, kind);
        fm::publish(p->run_control_thread, PyThread_get_thread_ident());
    }
    RunControlClaim(const RunControlClaim&) = delete;
    RunControlClaim& operator=(const RunControlClaim&) = delete;
    ~RunControlClaim() {
        fm::CriticalSection cs(self_.get());
        auto* p = fm::as<PipelineObject>(self_.get());
        fm::publish(p->run_control, kIdle);
        fm::publish(p->run_control_thread, 0UL);
    }

  private:
    Ref self_;
};

inline PipelineObject* pipe(PyObject* self) {
    return fm::as<PipelineObject>(self);
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
    X(unknown) X(_output_ports) X(_input_ports) X(_connected_ports) X(values)
// clang-format on

FM_NAME_TABLE(FM_CONDUCTOR_NAMES);

constexpr size_t kCapabilityClasses = 5;

struct ConductorState {
    PyObject* type;  // PipelineImp
    NameTable n;
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
    fm::Constants c;
    fm::Lazy thread_cls{"threading", "Thread"};
    fm::Lazy event_cls{"threading", "Event"};
    fm::Lazy current_thread{"threading", "current_thread"};
    fm::Lazy time_fn{"time", "time"};
    fm::Lazy environ{"os", "environ"};
    fm::Lazy builtins{"builtins", nullptr};
    fm::Lazy check_loops{"flowmesh.imp._ports", "_check_loops"};
    fm::documents::State docs;

    // Every reference the state owns, for traverse/clear.
    template <typename F>
    int refs(F f) {
        return f(type, n, kw_type, kw_type_opaque, kw_opaque, kw_type_message, kw_timeout,
                 kw_target, kw_directory, rule, fallback_interval, thread_cls, event_cls,
                 current_thread, time_fn, environ, builtins, check_loops, docs, c);
    }
};

extern PyModuleDef conductor_module;

// ------------------------------------------------------------ conductor.cpp

ConductorState* state_for(PyObject* self);
int truthy(PyObject* obj);
Ref attr_or_none(PyObject* obj, PyObject* name);
Ref snapshot(PyObject* seq);
int append_to(ConductorState* st, PyObject* seq, PyObject* item);
int log_object(ConductorState* st, PyObject* self, PyObject* msg, PyObject* type);
int log_text(ConductorState* st, PyObject* self, fm::Constant* type, const char* fmt, ...);
Ref first_element_failure(ConductorState* st, PyObject* self);
int reset_element(ConductorState* st, PyObject* element);
int needs_reset(ConductorState* st, PyObject* element);

// -------------------------------------------------------------- console.cpp

Ref colour(ConductorState* st, PyObject* code);
Ref colour(ConductorState* st, const char* code);
int safe_print(ConductorState* st, PyObject* text);
int print_fmt(ConductorState* st, const char* fmt, ...);

// ---------------------------------------------------------- run_control.cpp

int join_monitor_thread(ConductorState* st, PyObject* self);
Ref get_incident(ConductorState* st, PyObject* logger, fm::Constant& type, bool opaque);
PyObject* start_impl(ConductorState* st, PyObject* self);
PyObject* stop_impl(ConductorState* st, PyObject* self);
PyObject* close_impl(ConductorState* st, PyObject* self);

// ----------------------------------------------------------- monitoring.cpp

PyObject* get_backlog_impl(ConductorState* st, PyObject* self);
PyObject* check_backlog_impl(ConductorState* st, PyObject* self);
PyObject* notify_error_impl(ConductorState* st, PyObject* self, PyObject* entry);
PyObject* log_reference_impl(ConductorState* st, PyObject* self);
PyObject* failure_banner_impl(ConductorState* st, PyObject* self, PyObject* error);
PyObject* monitoring_fun_impl(ConductorState* st, PyObject* self);
PyObject* raise_if_failed_impl(ConductorState* st, PyObject* self);

}  // namespace fm::conductor
