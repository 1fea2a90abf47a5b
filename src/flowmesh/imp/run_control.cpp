// Run control of PipelineImp: start, stop and close, safe from any thread.
#include <chrono>
#include <new>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "conductor.hpp"

namespace fm::conductor {

void clear_if_same(PyObject* self, PyObject** slot, PyObject* expected);

int join_monitor_thread(ConductorState* st, PyObject* self) {
    auto* p = pipe(self);
    Ref thread = fm::field_ref(self, &p->monitor_thread);
    if (!thread || thread.get() == Py_None) return 0;
    PyObject* current_fn = st->current_thread.get();
    if (!current_fn) return -1;
    Ref current = steal(PyObject_CallNoArgs(current_fn));
    if (!current) return -1;
    if (current.get() == thread.get()) return 0;
    Ref r = steal(fm::call_method(thread.get(), st->n(N_join)));
    if (!r) return -1;
    // Another caller may have replaced the thread meanwhile; keep that one.
    clear_if_same(self, &p->monitor_thread, thread.get());
    return 0;
}

Ref get_incident(ConductorState* st, PyObject* logger, fm::Constant& type, bool opaque) {
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
        return log_object(st, self, failure.get(), st->c.log_error.get()) == 0;
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
    return fm::peek(p->run_control) != kIdle &&
           fm::peek(p->run_control_thread) != PyThread_get_thread_ident();
}

// Clears a field of the pipeline unless another thread replaced it meanwhile.
void clear_if_same(PyObject* self, PyObject** slot, PyObject* expected) {
    Ref old;
    {
        fm::CriticalSection cs(self);
        if (*slot != expected) return;
        old = steal(*slot);
        fm::publish(*slot, Py_NewRef(Py_None));
    }
}

// After a start or stop let go of run control: carries out a stop or close
// that another thread asked for meanwhile. `result` is what the start or stop
// returned (null with its exception pending), and stays the outcome unless
// the requested step fails where it succeeded.
PyObject* finish_requests(ConductorState* st, PyObject* self, Ref result) {
    auto* p = pipe(self);
    bool close, stop;
    {
        fm::CriticalSection cs(self);
        close = p->close_requested;
        stop = p->stop_requested;
        p->close_requested = p->stop_requested = false;
    }
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
    int running;
    uint8_t control;
    std::optional<RunControlClaim> claim;
    {
        fm::CriticalSection cs(self);
        running = st->c.running.matches_field(self, &p->state, st->c.stopped);
        control = p->run_control;
        if (running == 0 && control == kIdle) claim.emplace(self, kStarting);
    }
    if (running < 0) return nullptr;
    // Running, or about to be: a start already under way (here or on
    // another thread) counts as running.
    if (running || control == kStarting) {
        if (log_text(st, self, nullptr, "Pipeline running, skipping.") < 0) return nullptr;
        Py_RETURN_NONE;
    }
    if (control == kStopping) {
        PyErr_SetString(PyExc_RuntimeError,
                        "The pipeline is being stopped; start it again once stop() has returned.");
        return nullptr;
    }
    Ref result = steal(start_run(st, self));
    claim.reset();
    return finish_requests(st, self, std::move(result));
}

PyObject* start_run(ConductorState* st, PyObject* self) {
    auto* p = pipe(self);
    // A monitoring thread that stopped the previous run may still be calling
    // handlers or printing its banner; it must be done before the next run.
    if (join_monitor_thread(st, self) < 0) return nullptr;

    Ref nodes = snapshot(p->nodes);
    if (!nodes) return nullptr;
    // Connecting refuses a loop that no stop could end, but ports can be
    // joined by other ways; such a run must not begin.
    PyObject* check_loops = st->check_loops.get();
    if (!check_loops) return nullptr;
    Ref checked = steal(PyObject_CallOneArg(check_loops, nodes.get()));
    if (!checked) return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(nodes.get());
    int failed = st->c.error.matches_field(self, &p->condition, st->c.healthy, st->c.warning);
    if (failed < 0) return nullptr;
    if (failed) {
        Ref logger = fm::field_ref(self, &p->logger);
        Ref incident = get_incident(st, logger.get(), st->c.log_error, false);
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
    PyObject* healthy = st->c.healthy.get();
    if (!healthy) return nullptr;
    fm::set_field_of(self, &p->condition, healthy);
    fm::set_field_of(self, &p->backlog_level, st->n(N_ok));

    {
        Ref logger = fm::field_ref(self, &p->logger);
        Ref e = get_incident(st, logger.get(), st->c.log_error, true);
        if (!e) return nullptr;
        Ref w = get_incident(st, logger.get(), st->c.log_warning, true);
        if (!w) return nullptr;
        fm::set_field_of(self, &p->last_incidents, nullptr);  // a stop's, never reported
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
    PyObject* running_value = now ? st->c.running.get() : nullptr;
    if (!running_value) return nullptr;
    fm::set_field_of(self, &p->start_time, now.get());
    fm::set_field_of(self, &p->state, running_value);
    if (log_text(st, self, nullptr, "Pipeline started.") < 0) return nullptr;

    Ref event = fm::field_ref(self, &p->stop_event);
    Ref r = steal(fm::call_method(event.get(), st->n(N_clear)));
    if (!r) return nullptr;
    Ref target = steal(PyObject_GetAttr(self, st->n(N__monitoring_fun)));
    PyObject* thread_cls = target ? st->thread_cls.get() : nullptr;
    if (!thread_cls) return nullptr;
    PyObject* targs[] = {target.get()};
    Ref thread = steal(PyObject_Vectorcall(thread_cls, targs, 0, st->kw_target));
    if (!thread) return nullptr;
    fm::set_field_of(self, &p->monitor_thread, thread.get());
    if (PyObject_SetAttr(thread.get(), st->n(N_daemon), Py_True) < 0) return nullptr;
    r = steal(fm::call_method(thread.get(), st->n(N_start)));
    if (!r) {
        // A thread that never started cannot be joined by a later stop.
        clear_if_same(self, &p->monitor_thread, thread.get());
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
    return current.get() == fm::peek(pipe(self)->monitor_thread);
}

PyObject* stop_run(ConductorState* st, PyObject* self);

PyObject* stop_impl(ConductorState* st, PyObject* self) {
    auto* p = pipe(self);
    if (log_text(st, self, nullptr, "Stopping pipeline...") < 0) return nullptr;
    while (fm::peek(p->run_control) == kStarting && claimed_by_other_thread(p)) {
        // The run's own monitoring thread found a failure before its start
        // returned: that start waits for nothing of this thread's, so let it
        // end, and stop the run before the failure is reported.
        int monitor = on_monitor_thread(st, self);
        if (monitor < 0) return nullptr;
        if (!monitor || fm::peek(p->run_control) != kStarting) break;
        Py_BEGIN_ALLOW_THREADS std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Py_END_ALLOW_THREADS
    }
    uint8_t control;
    bool other;
    std::optional<RunControlClaim> claim;
    {
        fm::CriticalSection cs(self);
        control = p->run_control;
        other = claimed_by_other_thread(p);
        if (control == kStarting)
            p->stop_requested = true;  // the starting thread stops the run once it has started
        else if (control == kIdle)
            claim.emplace(self, kStopping);
    }
    if (control == kStarting) Py_RETURN_NONE;
    if (control == kStopping) {
        // Stopping already, further up this thread's stack, or on another
        // thread that may be joining this one (an element's thread): nothing
        // to add, and no waiting. Once that stop has stopped every element,
        // what is left is the stop of an already stopped pipeline, which
        // waits for the monitoring thread's report.
        if (!other) Py_RETURN_NONE;
        int stopped = st->c.stopped.matches_field(self, &p->state, st->c.running);
        if (stopped <= 0) return stopped < 0 ? nullptr : Py_NewRef(Py_None);
        return stop_run(st, self);
    }
    Ref result = steal(stop_run(st, self));
    claim.reset();
    return finish_requests(st, self, std::move(result));
}

// The ports of `imp`'s table `attr` (`_input_ports` / `_output_ports`, a
// dict of name to port), appended to `out`; nothing when it has none.
int append_ports(ConductorState* st, PyObject* imp, Name attr, std::vector<Ref>& out) {
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttr(imp, st->n(attr), &raw) < 0) return -1;
    Ref table = steal(raw);
    if (!table || table.get() == Py_None) return 0;
    Ref values = steal(fm::call_method(table.get(), st->n(N_values)));
    Ref list = values ? steal(PySequence_List(values.get())) : Ref();
    if (!list) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i)
        out.push_back(borrow(PyList_GET_ITEM(list.get(), i)));
    return 0;
}

// The nodes an element runs: itself and, for a chain, the nodes inside it.
int collect_members(ConductorState* st, PyObject* element, std::vector<Ref>& out, int depth) {
    out.push_back(borrow(element));
    PyObject* raw = nullptr;
    if (depth > 16 || PyObject_GetOptionalAttr(element, st->n(N_get_nodes), &raw) < 0)
        return depth > 16 ? 0 : -1;
    Ref get_nodes = steal(raw);
    if (!get_nodes) return 0;
    Ref inner = steal(PyObject_CallNoArgs(get_nodes.get()));
    Ref list = inner ? steal(PySequence_List(inner.get())) : Ref();
    if (!list) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i)
        if (collect_members(st, PyList_GET_ITEM(list.get(), i), out, depth + 1) < 0) return -1;
    return 0;
}

// Indices into `nodes` in the order to stop them: an element once every
// element feeding it has stopped, the earliest added first among those that
// may go; in a cycle, the earliest added of what is left. So producers stop
// before their consumers, and the last frames of a run reach running nodes.
// Ports are told apart by identity: no code of theirs runs here.
int stop_sequence(ConductorState* st, PyObject* nodes, std::vector<Py_ssize_t>& order) {
    Py_ssize_t n = PyList_GET_SIZE(nodes);
    std::vector<std::pair<PyObject*, Py_ssize_t>> inputs;  // input port -> its element
    std::vector<std::pair<Ref, Py_ssize_t>> outputs;       // output port, its element
    std::vector<Ref> held;                                 // keeps the ports alive meanwhile
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::vector<Ref> members;
        if (collect_members(st, PyList_GET_ITEM(nodes, i), members, 0) < 0) return -1;
        for (Ref& member : members) {
            PyObject* raw = nullptr;
            if (PyObject_GetOptionalAttr(member.get(), st->n(N__imp), &raw) < 0) return -1;
            Ref imp = steal(raw);
            if (!imp) continue;
            std::vector<Ref> in_ports, out_ports;
            if (append_ports(st, imp.get(), N__input_ports, in_ports) < 0 ||
                append_ports(st, imp.get(), N__output_ports, out_ports) < 0)
                return -1;
            for (Ref& port : in_ports) {
                inputs.emplace_back(port.get(), i);
                held.push_back(std::move(port));
            }
            for (Ref& port : out_ports) outputs.emplace_back(std::move(port), i);
        }
    }
    std::vector<std::vector<Py_ssize_t>> successors(static_cast<size_t>(n));
    std::vector<Py_ssize_t> feeders(static_cast<size_t>(n), 0);
    for (auto& [port, from] : outputs) {
        Ref connected = steal(PyObject_GetAttr(port.get(), st->n(N__connected_ports)));
        Ref targets = connected ? steal(PySequence_Tuple(connected.get())) : Ref();
        if (!targets) return -1;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(targets.get()); ++k) {
            PyObject* target = PyTuple_GET_ITEM(targets.get(), k);
            for (auto& [iport, to] : inputs) {
                if (iport != target || to == from) continue;
                successors[static_cast<size_t>(from)].push_back(to);
                ++feeders[static_cast<size_t>(to)];
            }
        }
    }
    std::vector<char> done(static_cast<size_t>(n), 0);
    for (Py_ssize_t count = 0; count < n; ++count) {
        Py_ssize_t next = -1;
        for (Py_ssize_t i = 0; i < n && next < 0; ++i)
            if (!done[static_cast<size_t>(i)] && feeders[static_cast<size_t>(i)] == 0) next = i;
        for (Py_ssize_t i = 0; i < n && next < 0; ++i)
            if (!done[static_cast<size_t>(i)]) next = i;
        done[static_cast<size_t>(next)] = 1;
        order.push_back(next);
        for (Py_ssize_t to : successors[static_cast<size_t>(next)])
            --feeders[static_cast<size_t>(to)];
    }
    return 0;
}

// `nodes` in stop order (a new list); in order of addition when the graph
// cannot be read.
Ref stop_order(ConductorState* st, PyObject* nodes) {
    std::vector<Py_ssize_t> order;
    int rc;
    try {
        rc = stop_sequence(st, nodes, order);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        rc = -1;
    }
    if (rc < 0) return swallow_exception() ? borrow(nodes) : Ref();
    Ref result = steal(PyList_New(static_cast<Py_ssize_t>(order.size())));
    if (!result) return {};
    for (size_t k = 0; k < order.size(); ++k)
        PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(k),
                        Py_NewRef(PyList_GET_ITEM(nodes, order[k])));
    return result;
}

PyObject* stop_run(ConductorState* st, PyObject* self) {
    auto* p = pipe(self);
    int stopped = st->c.stopped.matches_field(self, &p->state, st->c.running);
    if (stopped < 0) return nullptr;
    if (stopped) {
        int healthy = st->c.healthy.matches_field(self, &p->condition, st->c.warning, st->c.error);
        if (healthy < 0) return nullptr;
        if (healthy &&
            log_text(st, self, nullptr, "Pipeline has already been stopped. Skipping.") < 0)
            return nullptr;
        int failed = st->c.error.matches_field(self, &p->condition, st->c.healthy, st->c.warning);
        if (failed < 0) return nullptr;
        if (failed) {
            if (log_text(st, self, nullptr,
                         "Pipeline has already been stopped due to an error. Skipping.") < 0 ||
                join_monitor_thread(st, self) < 0)
                return nullptr;
        }
        Py_RETURN_NONE;
    }
    // What the run reported before this stop, for the monitoring thread's
    // last pass; what the elements log while they stop is no failure of the run.
    int monitor = on_monitor_thread(st, self);
    if (monitor < 0) return nullptr;
    if (!monitor && fm::peek(p->monitor_thread) != Py_None) {
        Ref logger = fm::field_ref(self, &p->logger);
        Ref error = get_incident(st, logger.get(), st->c.log_error, true);
        Ref warning = error ? get_incident(st, logger.get(), st->c.log_warning, true) : Ref();
        Ref pending = warning ? steal(PyTuple_Pack(2, error.get(), warning.get())) : Ref();
        if (!pending) return nullptr;
        fm::set_field_of(self, &p->last_incidents, pending.get());
    }
    Ref added = snapshot(p->nodes);
    Ref nodes = added ? stop_order(st, added.get()) : Ref();
    if (!nodes) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes.get()); ++i) {
        Ref r = steal(fm::call_method(PyList_GET_ITEM(nodes.get(), i), st->n(N_stop)));
        if (!r) return nullptr;
    }
    PyObject* stopped_value = st->c.stopped.get();
    if (!stopped_value) return nullptr;
    fm::set_field_of(self, &p->start_time, Py_None);
    fm::set_field_of(self, &p->state, stopped_value);
    if (log_text(st, self, nullptr, "Pipeline stopped.") < 0) return nullptr;
    Ref event = fm::field_ref(self, &p->stop_event);
    Ref r = steal(fm::call_method(event.get(), st->n(N_set)));
    if (!r || join_monitor_thread(st, self) < 0) return nullptr;
    Ref logger = fm::field_ref(self, &p->logger);
    r = steal(fm::call_method(logger.get(), st->n(N_flush)));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

PyObject* close_impl(ConductorState* st, PyObject* self) {
    auto* p = pipe(self);
    int running;
    {
        fm::CriticalSection cs(self);
        uint8_t control = p->run_control;
        if (control != kIdle) {
            // A start under way, a stop further up this thread's stack, or
            // another thread still stopping the elements (it may be joining
            // this one): the claiming call closes once it is done. When the
            // elements are stopped already, the monitoring thread is joined
            // below, as after a run it stopped itself.
            int stopped = control == kStopping && claimed_by_other_thread(p)
                              ? st->c.stopped.matches_field(self, &p->state, st->c.running)
                              : 0;
            if (stopped < 0) return nullptr;
            if (!stopped) {
                p->close_requested = true;
                Py_RETURN_NONE;
            }
        }
        running =
            control == kStopping ? 0 : st->c.running.matches_field(self, &p->state, st->c.stopped);
    }
    if (running < 0) return nullptr;
    if (running) {
        Ref r = steal(stop_impl(st, self));
        if (!r) return nullptr;
    }
    if (join_monitor_thread(st, self) < 0) return nullptr;
    Ref logger = fm::field_ref(self, &p->logger);
    if (logger.get() != Py_None) {
        Ref r = steal(fm::call_method(logger.get(), st->n(N_stop)));
        if (!r) return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace fm::conductor
