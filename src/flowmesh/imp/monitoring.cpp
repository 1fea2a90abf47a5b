// The monitoring thread of a run: backlog checks, failure and warning
// reports (log, banner, error handlers), and the stop it turns a failure into.
#include <chrono>
#include <cstdarg>
#include <thread>
#include <utility>

#include "conductor.hpp"

namespace fm::conductor {

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
    int same = fm::equal(st->n(level), field_or_none(self, &p->backlog_level).get());
    if (same < 0) return nullptr;
    if (same) Py_RETURN_NONE;
    fm::set_field_of(self, &p->backlog_level, st->n(level));
    int rc = 0;
    if (level == N_error)
        rc = log_text(st, self, &st->c.log_error,
                      "Input backlog (%S items) exceeds the error threshold (%S); a consumer "
                      "cannot keep up. Stopping pipeline.",
                      backlog.get(), error_at.get());
    else if (level == N_warning)
        rc = log_text(st, self, &st->c.log_warning,
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
    Ref logger = field_or_none(self, &pipe(self)->logger);
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

// Appends a formatted line; one whose values cannot be turned into text (a
// `__str__` that raises) is left out rather than ending the report. -1 only
// for a BaseException that is not an Exception, or no memory.
int append_fmt(PyObject* lines, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    Ref text = steal(PyUnicode_FromFormatV(fmt, va));
    va_end(va);
    if (!text) return swallow_exception() ? 0 : -1;
    return PyList_Append(lines, text.get());
}

// The one source of the failure banner's text: the console prints these
// lines between its rules, and the monitor's page shows them as they are.
PyObject* failure_banner_impl(ConductorState* st, PyObject* self, PyObject* error) {
    Ref source = source_of(st, error);
    if (!source) return nullptr;
    Ref lines = steal(PyList_New(0));
    if (!lines) return nullptr;
    Ref message = steal(PyObject_GetItem(error, st->n(N_message)));
    if (!message) return nullptr;
    Py_ssize_t before = PyList_GET_SIZE(lines.get());
    if (append_fmt(lines.get(), "*** %S ***", message.get()) < 0) return nullptr;
    if (PyList_GET_SIZE(lines.get()) > before && append_fmt(lines.get(), "") < 0) return nullptr;

    Ref summary = source_get(st, source.get(), N_summary);
    if (!summary) return nullptr;
    int has_summary = truthy(summary.get());
    if (has_summary < 0) return nullptr;
    if (has_summary) {
        if (append_fmt(lines.get(), "Raised in %S", summary.get()) < 0) return nullptr;
    } else {
        Ref filename = source_get(st, source.get(), N_filename);
        Ref lineno = filename ? source_get(st, source.get(), N_lineno) : Ref();
        if (!lineno || append_fmt(lines.get(), "Raised in %S:%S", filename.get(), lineno.get()) < 0)
            return nullptr;
    }
    const std::pair<Name, const char*> optional_lines[] = {{N_instance, "Node: %S"},
                                                           {N_directory, "File in: %S"}};
    for (const auto& [key, fmt] : optional_lines) {
        Ref value = source_get(st, source.get(), key);
        if (!value) return nullptr;
        int has = truthy(value.get());
        if (has < 0 || (has && append_fmt(lines.get(), fmt, value.get()) < 0)) return nullptr;
    }
    Ref reference = steal(fm::call_method(self, st->n(N__log_reference)));
    if (!reference || PyList_Append(lines.get(), reference.get()) < 0) return nullptr;
    if (append_fmt(lines.get(), "Pipeline stopped.") < 0) return nullptr;
    return lines.release();
}

int print_error_banner(ConductorState* st, PyObject* self, PyObject* error) {
    Ref lines = steal(failure_banner_impl(st, self, error));
    if (!lines) return -1;
    Ref red = colour(st, "\x1b[31m");
    Ref bold = red ? colour(st, "\x1b[1m") : Ref();
    Ref reset = bold ? colour(st, "\x1b[0m") : Ref();
    if (!reset) return -1;
    if (safe_print(st, red.get()) < 0 || safe_print(st, st->rule) < 0) return -1;
    // The last line, "Pipeline stopped.", stands below the rule in bold.
    Py_ssize_t last = PyList_GET_SIZE(lines.get()) - 1;
    for (Py_ssize_t i = 0; i < last; ++i)
        if (safe_print(st, PyList_GET_ITEM(lines.get(), i)) < 0) return -1;
    if (safe_print(st, st->rule) < 0) return -1;
    if (print_fmt(st, "%U%U%S%U%U", red.get(), bold.get(), PyList_GET_ITEM(lines.get(), last),
                  reset.get(), red.get()) < 0)
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
// go on, -1 with an exception. The `final` pass, after the run was stopped,
// reports what is still pending without stopping anything.
int monitoring_pass(ConductorState* st, PyObject* self, bool final) {
    auto* p = pipe(self);
    // A backlog query that keeps failing must not hide the incidents: it is
    // reported and the pass goes on.
    Ref r = final ? borrow(Py_None) : steal(fm::call_method(self, st->n(N__check_backlog)));
    if (!r && !log_recovery(st, self)) return -1;
    Ref logger = field_or_none(self, &p->logger);
    // The last pass reports what was pending when the stop began.
    Ref pending = final ? steal(p->last_incidents) : Ref();
    if (final) {
        p->last_incidents = nullptr;
        if (!pending || !PyTuple_Check(pending.get()) || PyTuple_GET_SIZE(pending.get()) != 2)
            return 0;
    }
    Ref error = final ? borrow(PyTuple_GET_ITEM(pending.get(), 0))
                      : get_incident(st, logger.get(), st->c.log_error, true);
    if (!error) return -1;
    int failed = truthy(error.get());
    if (failed < 0) return -1;
    if (failed) {
        PyObject* failed_value = st->c.error.get();
        if (!failed_value) return -1;
        fm::set_field_of(self, &p->condition, failed_value);
        Ref stopped = final ? borrow(Py_None) : steal(fm::call_method(self, st->n(N_stop)));
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
    PyObject* wtype = st->c.log_warning.get();
    if (!wtype) return -1;
    PyObject* wargs[] = {logger.get(), wtype, Py_True};
    Ref warning =
        final ? borrow(PyTuple_GET_ITEM(pending.get(), 1))
              : steal(PyObject_VectorcallMethod(st->n(N_get_incident), wargs,
                                                2 | PY_VECTORCALL_ARGUMENTS_OFFSET, st->kw_opaque));
    if (!warning) return -1;
    int warned = truthy(warning.get());
    if (warned < 0) return -1;
    if (warned) {
        PyObject* warned_value = st->c.warning.get();
        if (!warned_value) return -1;
        fm::set_field_of(self, &p->condition, warned_value);
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
    Ref event = field_or_none(self, &pipe(self)->stop_event);
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
        int failed =
            st->c.error.matches_field(self, &pipe(self)->condition, st->c.healthy, st->c.warning);
        if (failed > 0) break;
        int outcome = failed < 0 ? -1 : monitoring_pass(st, self, false);
        if (outcome > 0) break;
        if (outcome < 0 && !log_recovery(st, self)) return nullptr;
        int stop = wait_for_stop(st, self, holder.get(), &interval_warned);
        if (stop < 0) {
            if (!log_recovery(st, self)) return nullptr;
            break;  // not even the fallback wait works: end rather than spin
        }
        if (stop) {
            // A failure shortly before the stop is reported all the same:
            // condition, handlers and banner, as when this thread stops the run.
            if (monitoring_pass(st, self, true) < 0 && !log_recovery(st, self)) return nullptr;
            break;
        }
    }
    if (log_text(st, self, nullptr, "Monitoring thread terminated.") < 0 && !swallow_exception())
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* raise_if_failed_impl(ConductorState* st, PyObject* self) {
    auto* p = pipe(self);
    int failed = st->c.error.matches_field(self, &p->condition, st->c.healthy, st->c.warning);
    if (failed < 0) return nullptr;
    Ref cause = first_element_failure(st, self);
    if (!cause) return nullptr;
    // An element's failure counts even when the run was stopped before the
    // monitoring thread saw it.
    if (!failed && cause.get() == Py_None) Py_RETURN_NONE;
    Ref logger = field_or_none(self, &p->logger);
    Ref entry = logger.get() == Py_None ? borrow(Py_None)
                                        : get_incident(st, logger.get(), st->c.log_error, false);
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

}  // namespace fm::conductor
