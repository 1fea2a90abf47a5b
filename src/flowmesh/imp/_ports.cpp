// flowmesh.imp._ports: the data path between nodes. OPortImp.push hands a
// value to every port of one snapshot of its connection list; IPortImp.push
// queues it on its node's input driver, which assembles frames and runs the
// node's cycles; INodeImp is the node with input ports.
//
// The driver runs a node's cycle on one thread at a time without a lock. By
// default the thread that delivers the item completing a frame runs it
// ("push-through"); a thread that finds another one running the node only
// queues, and the running thread drains the queue before it lets go. Under the
// GIL, "queue empty" and "no longer running" are decided with no Python call
// in between, so nothing queued is ever stranded. A decoupled node runs its
// cycles on a worker thread of its own instead.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "objects.hpp"

namespace {

struct PortsState {
    PyObject* oport_type;
    PyObject* iport_type;
    PyObject* inode_type;
    PyObject* driver_type;
    PyObject* port_base;   // PortImp
    PyObject* node_base;   // NodeImp
    PyObject* base_start;  // NodeImp's unbound start / stop / reset_run_state
    PyObject* base_stop;
    PyObject* base_reset;
    PyObject* s_push;
    PyObject* s_cycle;
    PyObject* s_setup_cycle;
    PyObject* s_input_ports;
    PyObject* s_input_driver;
    PyObject* s_context_arrived;
    PyObject* s_work;
    PyObject* s_Keys;
    PyObject* s_INPUT_PORTS;
    PyObject* s_DECOUPLED;
    PyObject* s_imp;
    PyObject* s_config;
    PyObject* s_start;
    PyObject* s_join;
    PyObject* s_ident;
    PyObject* s_log;
    PyObject* kw_msg_type;            // ("msg", "type")
    PyObject* kw_target_args_daemon;  // ("target", "args", "daemon")
    fm::Lazy running{"flowmesh.constants", "Constants.States.RUNNING"};
    fm::Lazy sync{"flowmesh.constants", "Constants.Timing.SYNC"};
    fm::Lazy async{"flowmesh.constants", "Constants.Timing.ASYNC"};
    fm::Lazy inherited{"flowmesh.constants", "Constants.Timing.INHERITED"};
    fm::Lazy log_error{"flowmesh.constants", "Constants.LogTypes.ERROR"};
    fm::Lazy iport_facade{"flowmesh.i_port", "IPort"};
    fm::Lazy port_name_key{"flowmesh.i_port", "IPort.Configuration.Keys.NAME"};
    fm::Lazy thread_class{"threading", "Thread"};

    // Every reference the state owns, for traverse/clear.
    template <typename F>
    int refs(F f) {
        return f(oport_type, iport_type, inode_type, driver_type, port_base, node_base, base_start,
                 base_stop, base_reset, s_push, s_cycle, s_setup_cycle, s_input_ports,
                 s_input_driver, s_context_arrived, s_work, s_Keys, s_INPUT_PORTS, s_DECOUPLED,
                 s_imp, s_config, s_start, s_join, s_ident, s_log, kw_msg_type,
                 kw_target_args_daemon, running, sync, async, inherited, log_error, iport_facade,
                 port_name_key, thread_class);
    }
};

extern PyModuleDef ports_module;

using fm::as_cfunc;

// ================================================================ input driver

// What a queued entry asks the node to do; a value >= 0 is an event that
// arrived at that input.
constexpr int32_t kFrame = -1;
constexpr int32_t kSetup = -2;

struct Entry {
    PyObject* item;    // event value (owned), nullptr for a frame or the setup
    int32_t kind;      // kFrame, kSetup or the event's input index
    uint32_t members;  // kFrame: how many inputs gave an item (in Core::parts)
};

// One input's item of a frame that is ready or being assembled.
struct Part {
    uint32_t input;
    PyObject* item;  // owned
};

struct Input {
    PyObject* name;                 // owned
    PyObject* port;                 // owned IPortImp
    std::deque<PyObject*> pending;  // frame items not yet in a complete frame (owned)
    Py_ssize_t waiting = 0;         // items arrived and not yet handed to a cycle
};

// The C++ half of a driver, allocated with new and released in tp_clear.
//
// Queues change only where no Python code can run (no call, no release of a
// reference, no allocation of a Python object): a hash, an equality test or a
// finaliser may deliver again, from this thread or after a thread switch. A
// frame is therefore taken off the queues whole, as parts, and its dict is
// built afterwards from items this thread owns.
struct Core {
    std::vector<Input> inputs;
    std::deque<Entry> ready;        // work in the order it became ready
    std::deque<Part> parts;         // the items of each queued frame, in `ready` order
    std::vector<char> event_input;  // scratch: effective timing per input
    std::mutex mutex;               // guards `wake_count` only
    std::condition_variable wake;
    uint64_t wake_count = 0;
};
// The parts of one frame that a thread has taken and owns: inline for the
// usual few inputs, so that a frame costs no allocation of its own.
class TakenParts {
  public:
    // Room for `n` parts, so that push cannot fail; false (MemoryError set) if none.
    bool reserve(size_t n) {
        if (n <= kInline) return true;
        try {
            heap_.reserve(n);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }
    void push(Part part) {
        if (heap_.capacity() > 0)
            heap_.push_back(part);
        else
            inline_[size_++] = part;
    }
    Part* begin() { return heap_.capacity() > 0 ? heap_.data() : inline_; }
    Part* end() { return begin() + (heap_.capacity() > 0 ? heap_.size() : size_); }

  private:
    static constexpr size_t kInline = 8;
    Part inline_[kInline];
    size_t size_ = 0;
    std::vector<Part> heap_;
};

struct DriverObject {
    PyObject_HEAD PyObject* node;  // the INodeImp this driver feeds
    PyObject* cycle;               // type(node)._cycle, called unbound with (node, data)
    PyObject* running;             // Constants.States.RUNNING
    PyObject* sync;
    PyObject* async;
    PyObject* inherited;
    PyObject* current;  // the frame being processed (for _get_data)
    PyObject* thread;   // the worker of a decoupled node while it runs
    Core* core;
    uint64_t generation;  // a worker runs while this still equals its own
    bool decoupled;
    bool active;         // a thread is running the node's cycles
    bool setup_claimed;  // the event-only setup of this run is queued or done
};

// IPortImp: a port plus the driver of the node that owns it.
struct IPortObject {
    fm::PortObject base;
    PyObject* event_handler;
    PyObject* driver;  // DriverObject or NULL when the port belongs to no node
    Py_ssize_t index;  // this port's position in the driver's inputs
};

DriverObject* driver(PyObject* o) {
    return fm::as<DriverObject>(o);
}
IPortObject* iport(PyObject* o) {
    return fm::as<IPortObject>(o);
}

// Items at an ASYNC input are events; SYNC and INHERITED inputs make frames.
// Constants are compared by identity first: a timing is one of them almost always.
int is_event_input(DriverObject* d, PyObject* port) {
    PyObject* t = fm::as<fm::PortObject>(port)->timing;
    if (t == d->async) return 1;
    if (!t || t == d->sync || t == d->inherited) return 0;
    return fm::equal(t, d->async);
}

// The same by identity alone (-1: undecided), for paths that must not run code.
int is_event_input_by_identity(DriverObject* d, PyObject* port) {
    PyObject* t = fm::as<fm::PortObject>(port)->timing;
    if (t == d->async) return 1;
    if (t == d->sync || t == d->inherited) return 0;
    return -1;
}

int node_is_running(DriverObject* d) {
    PyObject* state = fm::as<fm::ElementObject>(d->node)->state;
    if (state == d->running) return 1;
    return state ? fm::equal(state, d->running) : 0;
}

// Drops every queued item: the caller owns nothing afterwards. The containers
// are emptied before any reference is released, since a release can run code
// that delivers again.
void discard_queued(DriverObject* d) {
    Core* c = d->core;
    if (!c) return;
    std::deque<Entry> ready;
    ready.swap(c->ready);
    std::deque<Part> parts;
    parts.swap(c->parts);
    std::vector<PyObject*> items;
    for (Input& in : c->inputs) {
        items.insert(items.end(), in.pending.begin(), in.pending.end());
        in.pending.clear();
        in.waiting = 0;
    }
    for (Entry& e : ready) Py_XDECREF(e.item);
    for (Part& part : parts) Py_DECREF(part.item);
    for (PyObject* item : items) Py_DECREF(item);
}

void wake_worker(Core* c) {
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        ++c->wake_count;
    }
    c->wake.notify_all();
}

// Fills Core::event_input with each input's effective timing. Deciding by
// identity runs no code; an input whose timing needs an equality test makes
// this run code, so callers decide before they touch a queue.
int decide_timings(DriverObject* d) {
    Core* c = d->core;
    size_t n = c->inputs.size();
    for (size_t i = 0; i < n; ++i) {
        int ev = is_event_input_by_identity(d, c->inputs[i].port);
        if (ev < 0 && (ev = is_event_input(d, c->inputs[i].port)) < 0) return -1;
        c->event_input[i] = static_cast<char>(ev);
    }
    return 0;
}

// Moves every complete frame from the inputs' queues to the ready queue.
int collect_frames(DriverObject* d) {
    Core* c = d->core;
    size_t n = c->inputs.size();
    for (;;) {
        if (decide_timings(d) < 0) return -1;
        // No Python code runs from here until the frame is queued.
        uint32_t frame_inputs = 0;
        for (size_t i = 0; i < n; ++i) {
            if (c->event_input[i]) continue;
            if (c->inputs[i].pending.empty()) return 0;
            ++frame_inputs;
        }
        if (frame_inputs == 0) return 0;
        size_t before = c->parts.size();
        try {
            for (size_t i = 0; i < n; ++i)
                if (!c->event_input[i])
                    c->parts.push_back({static_cast<uint32_t>(i), c->inputs[i].pending.front()});
            c->ready.push_back({nullptr, kFrame, frame_inputs});
        } catch (const std::bad_alloc&) {
            while (c->parts.size() > before) c->parts.pop_back();  // the queues still own them
            PyErr_NoMemory();
            return -1;
        }
        for (size_t i = 0; i < n; ++i)
            if (!c->event_input[i]) c->inputs[i].pending.pop_front();  // now owned by the parts
    }
}

// The frame dict of parts this thread owns; releases them. Building it may
// run code (a name's hash), which is harmless now that nothing is shared.
fm::Ref frame_of(Core* c, TakenParts& taken) {
    fm::Ref frame = fm::steal(PyDict_New());
    for (Part& part : taken) {
        if (frame && PyDict_SetItem(frame.get(), c->inputs[part.input].name, part.item) < 0)
            frame.reset();
    }
    for (Part& part : taken) Py_DECREF(part.item);  // `taken` is this thread's own
    return frame;
}

// Takes an entry's frame parts off the shared queue and its items off the
// inputs' waiting counts. Runs no code.
void settle(Core* c, const Entry& e, TakenParts& taken) {
    if (e.kind >= 0) {
        --c->inputs[e.kind].waiting;
    } else if (e.kind == kFrame) {
        for (uint32_t k = 0; k < e.members && !c->parts.empty(); ++k) {
            Part part = c->parts.front();
            c->parts.pop_front();
            --c->inputs[part.input].waiting;
            taken.push(part);  // room reserved by the caller
        }
    }
}

// One cycle of the node with `data` as its frame.
int call_cycle(DriverObject* d, PyObject* node, PyObject* data) {
    fm::set_field(&d->current, data);
    PyObject* args[] = {node, data};
    fm::Ref r = fm::steal(PyObject_Vectorcall(d->cycle, args, 2, nullptr));
    Py_CLEAR(d->current);
    return r ? 0 : -1;
}

// Runs one entry just taken off the ready queue (its item is owned here).
int run_entry(DriverObject* d, Entry e) {
    fm::Ref item = fm::steal(e.item);
    Core* c = d->core;
    TakenParts taken;
    if (e.kind == kFrame && !taken.reserve(e.members)) {
        // Drop the frame rather than leave its parts to the next entry.
        for (uint32_t k = 0; k < e.members && !c->parts.empty(); ++k) {
            Part part = c->parts.front();
            c->parts.pop_front();
            --c->inputs[part.input].waiting;
            Py_DECREF(part.item);
        }
        return -1;
    }
    settle(c, e, taken);
    fm::Ref node = fm::borrow(d->node);
    if (!node) {
        frame_of(c, taken);
        return 0;
    }
    if (e.kind == kSetup) {
        PortsState* st = static_cast<PortsState*>(PyType_GetModuleState(Py_TYPE(d)));
        PyObject* self_arg = node.get();
        fm::Ref r = fm::steal(PyObject_VectorcallMethod(
            st->s_setup_cycle, &self_arg, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        return r ? 0 : -1;
    }
    fm::Ref data;
    if (e.kind == kFrame) {
        data = frame_of(c, taken);
    } else {
        data = fm::steal(PyDict_New());
        if (data && PyDict_SetItem(data.get(), c->inputs[e.kind].name, item.get()) < 0)
            data.reset();
    }
    if (!data) return -1;
    return call_cycle(d, node.get(), data.get());
}

// Push-through, with `active` set by the caller: runs queued work on this
// thread until none is left.
int keep_draining(DriverObject* d) {
    for (;;) {
        Core* c = d->core;
        if (!c || c->ready.empty()) {
            d->active = false;  // decided together with the emptiness, no call in between
            return 0;
        }
        Entry e = c->ready.front();
        c->ready.pop_front();
        if (run_entry(d, e) < 0) {
            // Whatever is still queued runs with the next delivery.
            d->active = false;
            return -1;
        }
    }
}

// The caller has checked that no other thread is running the node.
int drain(DriverObject* d) {
    fm::Ref keep = fm::borrow(reinterpret_cast<PyObject*>(d));
    d->active = true;
    return keep_draining(d);
}

// Runs a cycle that never needed queueing, then whatever was queued meanwhile.
// The caller has claimed the node (`active`) already.
int run_now(DriverObject* d, PyObject* data) {
    fm::Ref keep = fm::borrow(reinterpret_cast<PyObject*>(d));
    fm::Ref node = fm::borrow(d->node);
    if (!node || call_cycle(d, node.get(), data) < 0) {
        d->active = false;
        return node ? -1 : 0;
    }
    return keep_draining(d);
}

// Whether `value`, arriving at frame input `index` whose queue is empty,
// completes a frame with the oldest items of the other frame inputs: then
// those items move to `taken` (with `value` first), and the caller owns them.
// Decides by identity alone and runs no code; false when it cannot tell.
bool take_frame(DriverObject* d, size_t index, PyObject* value, TakenParts& taken) {
    Core* c = d->core;
    size_t n = c->inputs.size();
    for (size_t i = 0; i < n; ++i) {
        if (i == index) continue;
        int ev = is_event_input_by_identity(d, c->inputs[i].port);
        if (ev < 0) return false;
        c->event_input[i] = static_cast<char>(ev);
        if (!ev && c->inputs[i].pending.empty()) return false;
    }
    taken.push({static_cast<uint32_t>(index), Py_NewRef(value)});
    for (size_t i = 0; i < n; ++i) {
        if (i == index || c->event_input[i]) continue;
        Input& in = c->inputs[i];
        taken.push({static_cast<uint32_t>(i), in.pending.front()});
        in.pending.pop_front();
        --in.waiting;
    }
    return true;
}

// Gets queued work running: on this thread, or by waking the worker.
int kick(DriverObject* d) {
    if (d->decoupled) {
        if (d->core) wake_worker(d->core);
        return 0;
    }
    if (d->active) return 0;
    return drain(d);
}

// The receiving end of a push.
int receive(PyObject* port, PyObject* value) {
    // Held: code run below may drop the port's or the node's last reference.
    fm::Ref owner = fm::borrow(iport(port)->driver);
    if (!owner) return 0;
    DriverObject* d = driver(owner.get());
    if (!d->core || !d->node) return 0;
    int running = node_is_running(d);
    if (running <= 0) return running;  // a stopped node drops what arrives
    int event = is_event_input(d, port);
    if (event < 0) return -1;
    // Read after the checks above, which may run code.
    Core* c = d->core;
    Py_ssize_t index = iport(port)->index;
    if (!c || index < 0 || static_cast<size_t>(index) >= c->inputs.size() ||
        c->inputs[index].port != port)
        return 0;
    Input& in = c->inputs[index];
    // Nothing queued, nobody running the node, and this item alone decides the
    // next cycle: run it at once, without a trip through the queues. The node
    // is claimed before the frame is built, since building it may run code.
    if (!d->decoupled && !d->active && c->ready.empty() && (event || in.pending.empty())) {
        TakenParts taken;
        if (!event && !taken.reserve(c->inputs.size())) return -1;
        if (event || take_frame(d, static_cast<size_t>(index), value, taken)) {
            d->active = true;
            fm::Ref data;
            if (event) {
                data = fm::steal(PyDict_New());
                if (data && PyDict_SetItem(data.get(), in.name, value) < 0) data.reset();
            } else {
                data = frame_of(c, taken);
            }
            if (!data) {
                d->active = false;
                return -1;
            }
            return run_now(d, data.get());
        }
    }
    try {
        if (event)
            c->ready.push_back({value, static_cast<int32_t>(index), 0});
        else
            in.pending.push_back(value);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    Py_INCREF(value);
    ++in.waiting;
    if (!event && collect_frames(d) < 0) return -1;
    return kick(d);
}

// The event-only setup: once every input of a running node whose inputs are
// all ASYNC holds a context and no cycle has run yet, the node's setup runs
// by itself, so that its context travels downstream before the first event.
// 1 when this call claimed it (the entry is queued first), 0 when not.
int claim_setup(DriverObject* d) {
    Core* c = d->core;
    if (d->setup_claimed || !c || !d->node || c->inputs.empty()) return 0;
    int running = node_is_running(d);
    if (running <= 0) return running;
    if (fm::as<fm::ElementObject>(d->node)->counter != 0) return 0;
    for (Input& in : c->inputs) {
        PyObject* context = fm::as<fm::PortObject>(in.port)->context;
        if (!context || context == Py_None) return 0;
        int event = is_event_input(d, in.port);
        if (event <= 0) return event;
    }
    // An equality test above may have run code that claimed it meanwhile.
    if (d->setup_claimed) return 0;
    try {
        c->ready.push_front({nullptr, kSetup, 0});
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    d->setup_claimed = true;
    return 1;
}

int claim_setup_and_run(DriverObject* d) {
    int claimed = claim_setup(d);
    if (claimed <= 0) return claimed;
    return kick(d);
}

// --------------------------------------------------------- driver methods

PyObject* driver_context_arrived(PyObject* self, PyObject* /*unused*/) {
    if (claim_setup_and_run(driver(self)) < 0) return nullptr;
    Py_RETURN_NONE;
}

// Reports the pending exception of a cycle run on the worker thread, at
// ERROR through the node's log, so that a pipeline's monitoring thread stops
// the run; the worker lives on. A failure to report is written as unraisable.
void report_worker_failure(PortsState* st, DriverObject* d) {
    fm::Ref exc = fm::steal(PyErr_GetRaisedException());
    fm::Ref node = fm::borrow(d->node);
    if (node) fm::keep_uncontained_failure(node.get(), exc.get());
    PyObject* type = st->log_error.get();
    if (type && node) {
        PyObject* const values[] = {exc.get(), type};
        fm::Ref r = fm::steal(fm::call_method_kw(node.get(), st->s_log, st->kw_msg_type, values));
        if (r) return;
    }
    PyErr_WriteUnraisable(node ? node.get() : reinterpret_cast<PyObject*>(d));
}

// Body of a decoupled node's worker thread: runs queued work while its
// generation is current, waiting with the GIL released when there is none.
PyObject* driver_work(PyObject* self, PyObject* arg) {
    DriverObject* d = driver(self);
    fm::Ref keep = fm::borrow(self);
    PortsState* st = static_cast<PortsState*>(PyType_GetModuleState(Py_TYPE(self)));
    uint64_t generation = PyLong_AsUnsignedLongLong(arg);
    if (generation == static_cast<uint64_t>(-1) && PyErr_Occurred()) return nullptr;
    Core* c = d->core;
    if (!c) Py_RETURN_NONE;
    for (;;) {
        if (d->generation != generation) break;
        // `active` also keeps out an older worker's last entry after a stop and
        // start issued from inside a cycle.
        if (!d->active && !c->ready.empty()) {
            Entry e = c->ready.front();
            c->ready.pop_front();
            d->active = true;
            int rc = run_entry(d, e);
            d->active = false;
            if (rc < 0) report_worker_failure(st, d);
            continue;
        }
        uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(c->mutex);
            seen = c->wake_count;
        }
        if (d->generation != generation || (!d->active && !c->ready.empty())) continue;
        // The counter was read while the GIL excluded every producer, so a
        // delivery after this point changes it and the wait returns.
        Py_BEGIN_ALLOW_THREADS {
            std::unique_lock<std::mutex> lock(c->mutex);
            c->wake.wait(lock, [c, seen] { return c->wake_count != seen; });
        }
        Py_END_ALLOW_THREADS
    }
    wake_worker(c);  // a newer worker may be waiting for this one's last entry
    Py_RETURN_NONE;
}

// ------------------------------------------------------ driver lifecycle

int driver_start(PortsState* st, DriverObject* d) {
    if (!d->decoupled || d->thread) return 0;
    PyObject* thread_class = st->thread_class.get();
    if (!thread_class) return -1;
    fm::Ref work = fm::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(d), st->s_work));
    if (!work) return -1;
    ++d->generation;
    fm::Ref generation = fm::steal(PyLong_FromUnsignedLongLong(d->generation));
    if (!generation) return -1;
    fm::Ref args = fm::steal(PyTuple_Pack(1, generation.get()));
    if (!args) return -1;
    PyObject* values[] = {work.get(), args.get(), Py_True};
    fm::Ref thread =
        fm::steal(PyObject_Vectorcall(thread_class, values, 0, st->kw_target_args_daemon));
    if (!thread) return -1;
    fm::Ref started = fm::steal(fm::call_method(thread.get(), st->s_start));
    if (!started) return -1;
    fm::set_field(&d->thread, thread.get());
    return 0;
}

int driver_stop(PortsState* st, DriverObject* d) {
    fm::Ref thread = fm::steal(d->thread);
    d->thread = nullptr;
    int rc = 0;
    if (thread) {
        ++d->generation;
        if (d->core) wake_worker(d->core);
        fm::Ref ident = fm::steal(PyObject_GetAttr(thread.get(), st->s_ident));
        if (!ident) return -1;
        unsigned long id = ident.get() == Py_None ? 0 : PyLong_AsUnsignedLong(ident.get());
        if (PyErr_Occurred()) return -1;
        // A node stopped from inside its own cycle cannot wait for itself.
        if (id != PyThread_get_thread_ident()) {
            fm::Ref joined = fm::steal(fm::call_method(thread.get(), st->s_join));
            if (!joined) rc = -1;
        }
    }
    discard_queued(d);
    d->setup_claimed = false;
    return rc;
}

// ------------------------------------------------------------- driver type

int driver_traverse(PyObject* self, visitproc visit, void* arg) {
    DriverObject* d = driver(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(d->node);
    Py_VISIT(d->cycle);
    Py_VISIT(d->running);
    Py_VISIT(d->sync);
    Py_VISIT(d->async);
    Py_VISIT(d->inherited);
    Py_VISIT(d->current);
    Py_VISIT(d->thread);
    if (Core* c = d->core) {
        for (Input& in : c->inputs) {
            Py_VISIT(in.name);
            Py_VISIT(in.port);
            for (PyObject* item : in.pending) Py_VISIT(item);
        }
        for (Entry& e : c->ready) Py_VISIT(e.item);
        for (Part& part : c->parts) Py_VISIT(part.item);
    }
    return 0;
}

int driver_clear(PyObject* self) {
    DriverObject* d = driver(self);
    discard_queued(d);
    if (Core* c = d->core) {
        d->core = nullptr;
        std::vector<Input> inputs;
        inputs.swap(c->inputs);
        delete c;
        for (Input& in : inputs) {
            Py_XDECREF(in.name);
            Py_XDECREF(in.port);
        }
    }
    Py_CLEAR(d->node);
    Py_CLEAR(d->cycle);
    Py_CLEAR(d->running);
    Py_CLEAR(d->sync);
    Py_CLEAR(d->async);
    Py_CLEAR(d->inherited);
    Py_CLEAR(d->current);
    Py_CLEAR(d->thread);
    return 0;
}

void driver_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    driver_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef driver_methods[] = {
    {"_context_arrived", driver_context_arrived, METH_NOARGS,
     PyDoc_STR("_context_arrived()\n--\n\nAn input port received its context.")},
    {"_work", driver_work, METH_O,
     PyDoc_STR("_work(generation)\n--\n\nBody of a decoupled node's worker thread.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot driver_slots[] = {
    {Py_tp_doc, const_cast<char*>("Queues and runs the cycles of one node with inputs.")},
    {Py_tp_traverse, reinterpret_cast<void*>(driver_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(driver_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(driver_dealloc)},
    {Py_tp_methods, driver_methods},
    {0, nullptr},
};

PyType_Spec driver_spec = {
    "flowmesh.imp._ports._InputDriver",
    sizeof(DriverObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    driver_slots,
};

// ==================================================================== OPortImp

PyObject* oport_push(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* value;
    if (nargs == 1 && !kwnames) {
        value = args[0];
    } else {
        static const char* const names[] = {"value"};
        PyObject* a[] = {nullptr};
        if (!fm::parse_args("push", args, nargs, kwnames, names, a, 1)) return nullptr;
        value = a[0];
    }
    PyObject* list = fm::as<fm::PortObject>(self)->connected_ports;
    if (!list) Py_RETURN_NONE;
    // One snapshot for the whole delivery: a concurrent connect or disconnect
    // publishes a new tuple and leaves this one intact.
    fm::Ref snapshot = fm::borrow(list);
    PyTypeObject* iport_type =
        reinterpret_cast<PyTypeObject*>(fm::class_state<PortsState>(defining_class)->iport_type);
    PyObject* push_name = fm::class_state<PortsState>(defining_class)->s_push;
    Py_ssize_t n = PyTuple_GET_SIZE(snapshot.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* target = PyTuple_GET_ITEM(snapshot.get(), i);
        if (Py_IS_TYPE(target, iport_type)) {
            if (receive(target, value) < 0) return nullptr;
        } else {
            fm::Ref r = fm::steal(fm::call_method(target, push_name, value));
            if (!r) return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyMethodDef oport_methods[] = {
    {"push", as_cfunc(oport_push), fm::kMethodCall,
     PyDoc_STR("push(value)\n--\n\nDeliver `value` to every connected port.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot oport_slots[] = {
    {Py_tp_doc, const_cast<char*>("OPortImp(config)\n--\n\nAn output port.")},
    {Py_tp_methods, oport_methods},
    {0, nullptr},
};

PyType_Spec oport_spec = {
    "flowmesh.imp.OPortImp",
    0,  // no fields of its own, so no GC slots either: the base's are inherited
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    oport_slots,
};

// ==================================================================== IPortImp

int iport_init(PyObject* self, PyObject* args, PyObject* kwds) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &ports_module);
    if (!module) return -1;
    PortsState* st = fm::module_state<PortsState>(module);
    if (reinterpret_cast<PyTypeObject*>(st->port_base)->tp_init(self, args, kwds) < 0) return -1;
    fm::set_field(&iport(self)->event_handler, Py_None);
    return 0;
}

PyObject* iport_push(PyObject* self, PyObject* value) {
    fm::Ref keep = fm::borrow(self);
    if (receive(self, value) < 0) return nullptr;
    Py_RETURN_NONE;
}

int iport_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(iport(self)->event_handler);
    Py_VISIT(iport(self)->driver);
    return fm::traverse_port(self, visit, arg);
}

int iport_clear(PyObject* self) {
    Py_CLEAR(iport(self)->event_handler);
    Py_CLEAR(iport(self)->driver);
    fm::clear_port(self);
    return 0;
}

PyMethodDef iport_methods[] = {
    {"push", iport_push, METH_O,
     PyDoc_STR("push(value)\n--\n\nQueue `value` for this port's node (dropped unless the "
               "node is running).")},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef iport_members[] = {
    {"_event_handler", Py_T_OBJECT_EX, offsetof(IPortObject, event_handler), 0,
     PyDoc_STR("Called with no arguments when a context first reaches this port, or None.")},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot iport_slots[] = {
    {Py_tp_doc, const_cast<char*>("IPortImp(config)\n--\n\nAn input port.")},
    {Py_tp_init, reinterpret_cast<void*>(iport_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(iport_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iport_clear)},
    {Py_tp_methods, iport_methods},
    {Py_tp_members, iport_members},
    {0, nullptr},
};

PyType_Spec iport_spec = {
    "flowmesh.imp.IPortImp", sizeof(IPortObject), 0, fm::kTypeFlags, iport_slots,
};

// ==================================================================== INodeImp
// No C fields of its own (an input-output node also derives from ONodeImp,
// whose layout extends NodeImp's): its state lives in the instance dict.

// The node's driver, from its instance dict (new reference).
fm::Ref driver_of(PortsState* st, PyObject* self) {
    fm::Ref d = fm::steal(PyObject_GetAttr(self, st->s_input_driver));
    if (d && !Py_IS_TYPE(d.get(), reinterpret_cast<PyTypeObject*>(st->driver_type))) {
        PyErr_Format(PyExc_TypeError, "'%s' object has a broken input driver",
                     Py_TYPE(self)->tp_name);
        return {};
    }
    return d;
}

// config.Keys.INPUT_PORTS
fm::Ref input_ports_key(PortsState* st, PyObject* config) {
    fm::Ref keys = fm::steal(PyObject_GetAttr(config, st->s_Keys));
    if (!keys) return {};
    return fm::steal(PyObject_GetAttr(keys.get(), st->s_INPUT_PORTS));
}

// The configured input-port list, checked: a non-empty list with unique names.
// A tuple copy: reading an entry runs its code, which may change the list.
fm::Ref checked_entries(PortsState* st, PyObject* config) {
    fm::Ref key = input_ports_key(st, config);
    if (!key) return {};
    fm::Ref listed = fm::steal(PyObject_GetItem(config, key.get()));
    if (!listed) return {};
    if (!fm::check_exact(listed.get(), &PyList_Type, "input_ports")) return {};
    fm::Ref entries = fm::steal(PyList_AsTuple(listed.get()));
    if (!entries) return {};
    Py_ssize_t n = PyTuple_GET_SIZE(entries.get());
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "input_ports must not be empty.");
        return {};
    }
    PyObject* name_key = st->port_name_key.get();
    if (!name_key) return {};
    fm::Ref names = fm::steal(PySet_New(nullptr));
    if (!names) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        fm::Ref name = fm::steal(PyObject_GetItem(PyTuple_GET_ITEM(entries.get(), i), name_key));
        if (!name) return {};
        int seen = PySet_Contains(names.get(), name.get());
        if (seen < 0) return {};
        if (seen) {
            PyErr_SetString(PyExc_ValueError, "input_ports contain duplicate names.");
            return {};
        }
        if (PySet_Add(names.get(), name.get()) < 0) return {};
    }
    return entries;
}

bool config_decoupled(PortsState* st, PyObject* config, bool* out) {
    *out = false;
    fm::Ref keys = fm::steal(PyObject_GetAttr(config, st->s_Keys));
    if (!keys) return false;
    PyObject* raw_key;
    if (PyObject_GetOptionalAttr(keys.get(), st->s_DECOUPLED, &raw_key) < 0) return false;
    fm::Ref key = fm::steal(raw_key);
    if (!key) return true;  // a record without the option: push-through
    fm::Ref value = fm::steal(PyObject_CallMethod(config, "get", "OO", key.get(), Py_False));
    if (!value) return false;
    int truth = PyObject_IsTrue(value.get());
    if (truth < 0) return false;
    *out = truth;
    return true;
}

// Builds the input ports from the configuration and the driver that feeds
// the node. Does nothing when they exist already.
int init_input_side(PortsState* st, PyObject* self) {
    PyObject* existing;
    if (PyObject_GetOptionalAttr(self, st->s_input_driver, &existing) < 0) return -1;
    if (existing) {
        Py_DECREF(existing);
        return 0;
    }
    fm::Ref config = fm::steal(PyObject_GetAttr(self, st->s_config));
    if (!config) return -1;
    fm::Ref entries = checked_entries(st, config.get());
    if (!entries) return -1;
    fm::Ref key = input_ports_key(st, config.get());
    if (!key) return -1;
    PyObject* facade = st->iport_facade.get();
    PyObject* name_key = st->port_name_key.get();
    if (!facade || !name_key) return -1;
    if (!PyDict_Check(config.get())) {
        PyErr_Format(PyExc_TypeError,
                     "Argument 'config' has incorrect type (expected dict, got %s)",
                     Py_TYPE(config.get())->tp_name);
        return -1;
    }
    bool decoupled;
    if (!config_decoupled(st, config.get(), &decoupled)) return -1;
    PyObject* running = st->running.get();
    PyObject* sync = st->sync.get();
    PyObject* async = st->async.get();
    PyObject* inherited = st->inherited.get();
    if (!running || !sync || !async || !inherited) return -1;
    fm::Ref cycle =
        fm::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), st->s_cycle));
    if (!cycle) return -1;

    Py_ssize_t n = PyTuple_GET_SIZE(entries.get());
    fm::Ref ports = fm::steal(PyDict_New());
    fm::Ref records = fm::steal(PyList_New(0));
    if (!ports || !records) return -1;
    std::vector<std::pair<fm::Ref, fm::Ref>> made;  // (name, port)
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* entry = PyTuple_GET_ITEM(entries.get(), i);
        fm::Ref kwargs = fm::steal(PyDict_New());
        if (!kwargs || PyDict_Update(kwargs.get(), entry) < 0) return -1;
        fm::Ref name = fm::steal(PyObject_GetItem(entry, name_key));
        if (!name) return -1;
        fm::Ref empty = fm::steal(PyTuple_New(0));
        if (!empty) return -1;
        fm::Ref port_facade = fm::steal(PyObject_Call(facade, empty.get(), kwargs.get()));
        if (!port_facade) return -1;
        fm::Ref port = fm::steal(PyObject_GetAttr(port_facade.get(), st->s_imp));
        if (!port) return -1;
        if (!PyObject_TypeCheck(port.get(), reinterpret_cast<PyTypeObject*>(st->iport_type))) {
            PyErr_Format(PyExc_TypeError, "Input port '%S' must be an IPortImp, got %s", name.get(),
                         Py_TYPE(port.get())->tp_name);
            return -1;
        }
        fm::Ref record = fm::steal(PyObject_GetAttr(port.get(), st->s_config));
        if (!record) return -1;
        if (PyDict_SetItem(ports.get(), name.get(), port.get()) < 0) return -1;
        if (PyList_Append(records.get(), record.get()) < 0) return -1;
        made.emplace_back(std::move(name), std::move(port));
    }

    fm::Ref d = fm::steal(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(st->driver_type), 0));
    if (!d) return -1;
    DriverObject* drv = driver(d.get());
    try {
        drv->core = new Core();
        drv->core->inputs.resize(made.size());
        drv->core->event_input.resize(made.size());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    drv->node = Py_NewRef(self);
    drv->cycle = cycle.release();
    drv->running = Py_NewRef(running);
    drv->sync = Py_NewRef(sync);
    drv->async = Py_NewRef(async);
    drv->inherited = Py_NewRef(inherited);
    drv->decoupled = decoupled;
    for (size_t i = 0; i < made.size(); ++i) {
        drv->core->inputs[i].name = made[i].first.release();
        drv->core->inputs[i].port = Py_NewRef(made[i].second.get());
    }
    fm::Ref handler = fm::steal(PyObject_GetAttr(d.get(), st->s_context_arrived));
    if (!handler) return -1;
    for (size_t i = 0; i < made.size(); ++i) {
        IPortObject* p = iport(made[i].second.get());
        fm::set_field(&p->driver, d.get());
        p->index = static_cast<Py_ssize_t>(i);
        fm::set_field(&p->event_handler, handler.get());
    }
    // The record lists the ports' own records, so an id a port adopts later shows in it.
    if (PyDict_SetItem(config.get(), key.get(), records.get()) < 0) return -1;
    if (PyObject_SetAttr(self, st->s_input_ports, ports.get()) < 0) return -1;
    return PyObject_SetAttr(self, st->s_input_driver, d.get());
}

int inode_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"config", nullptr};
    PyObject* config;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:INodeImp", const_cast<char**>(kwlist), &config))
        return -1;
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &ports_module);
    if (!module) return -1;
    PortsState* st = fm::module_state<PortsState>(module);
    fm::Ref hold = fm::borrow(config);
    // Nothing is built when the port list is unusable.
    if (!checked_entries(st, config)) return -1;
    if (reinterpret_cast<PyTypeObject*>(st->node_base)->tp_init(self, args, kwds) < 0) return -1;
    return init_input_side(st, self);
}

PyObject* lookup_input_port(PortsState* st, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, const char* fname) {
    static const char* const names[] = {"port_name"};
    PyObject* a[] = {nullptr};
    if (!fm::parse_args(fname, args, nargs, kwnames, names, a, 1)) return nullptr;
    if (!fm::check_str(a[0], "port_name")) return nullptr;
    fm::Ref ports = fm::steal(PyObject_GetAttr(self, st->s_input_ports));
    if (!ports) return nullptr;
    PyObject* port = nullptr;
    int found = PyDict_Check(ports.get()) ? PyDict_GetItemRef(ports.get(), a[0], &port)
                                          : PyMapping_GetOptionalItem(ports.get(), a[0], &port);
    if (found < 0) return nullptr;
    if (!found) return PyErr_Format(PyExc_ValueError, "Input port '%U' not found.", a[0]);
    return port;
}

PyObject* inode_get_port(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
    return lookup_input_port(fm::class_state<PortsState>(defining_class), self, args, nargs,
                             kwnames, "get_port");
}

PyObject* inode_get_input_port(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames) {
    return lookup_input_port(fm::class_state<PortsState>(defining_class), self, args, nargs,
                             kwnames, "get_input_port");
}

PyObject* inode_get_data(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                         Py_ssize_t nargs, PyObject* kwnames) {
    if (!fm::no_args("_get_data", nargs, kwnames)) return nullptr;
    fm::Ref d = driver_of(fm::class_state<PortsState>(defining_class), self);
    if (!d) return nullptr;
    PyObject* current = driver(d.get())->current;
    return current ? Py_NewRef(current) : PyDict_New();
}

PyObject* inode_get_context(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                            Py_ssize_t nargs, PyObject* kwnames) {
    if (!fm::no_args("_get_context", nargs, kwnames)) return nullptr;
    fm::Ref d = driver_of(fm::class_state<PortsState>(defining_class), self);
    if (!d) return nullptr;
    fm::Ref result = fm::steal(PyDict_New());
    if (!result) return nullptr;
    if (Core* c = driver(d.get())->core) {
        for (Input& in : c->inputs) {
            // Held: the name's hash may run code that replaces the context.
            fm::Ref context = fm::borrow(fm::as<fm::PortObject>(in.port)->context);
            if (PyDict_SetItem(result.get(), in.name, context ? context.get() : Py_None) < 0)
                return nullptr;
        }
    }
    return result.release();
}

PyObject* inode_get_max_backlog(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                                Py_ssize_t nargs, PyObject* kwnames) {
    if (!fm::no_args("get_max_backlog", nargs, kwnames)) return nullptr;
    fm::Ref d = driver_of(fm::class_state<PortsState>(defining_class), self);
    if (!d) return nullptr;
    Py_ssize_t most = 0;
    if (Core* c = driver(d.get())->core)
        for (Input& in : c->inputs) most = in.waiting > most ? in.waiting : most;
    return PyLong_FromSsize_t(most);
}

// The input side's part of start / stop / reset, shared with IONodeImp.
int start_input_side(PortsState* st, PyObject* self) {
    fm::Ref d = driver_of(st, self);
    if (!d) return -1;
    if (driver_start(st, driver(d.get())) < 0) return -1;
    // A context that arrived before the start is handled now.
    return claim_setup_and_run(driver(d.get()));
}

int stop_input_side(PortsState* st, PyObject* self) {
    fm::Ref d = driver_of(st, self);
    if (!d) return -1;
    return driver_stop(st, driver(d.get()));
}

int reset_input_side(PortsState* st, PyObject* self) {
    fm::Ref d = driver_of(st, self);
    if (!d) return -1;
    DriverObject* drv = driver(d.get());
    discard_queued(drv);
    drv->setup_claimed = false;
    if (Core* c = drv->core)
        for (Input& in : c->inputs)
            fm::set_field(&fm::as<fm::PortObject>(in.port)->context, Py_None);
    return 0;
}

int call_base(PyObject* method, PyObject* self) {
    fm::Ref r = fm::steal(PyObject_CallOneArg(method, self));
    return r ? 0 : -1;
}

PyObject* inode_start(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                      Py_ssize_t nargs, PyObject* kwnames) {
    if (!fm::no_args("start", nargs, kwnames)) return nullptr;
    PortsState* st = fm::class_state<PortsState>(defining_class);
    if (call_base(st->base_start, self) < 0 || start_input_side(st, self) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* inode_stop(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                     Py_ssize_t nargs, PyObject* kwnames) {
    if (!fm::no_args("stop", nargs, kwnames)) return nullptr;
    PortsState* st = fm::class_state<PortsState>(defining_class);
    // STOPPED first: what arrives from here on is dropped, then the queue goes.
    if (call_base(st->base_stop, self) < 0 || stop_input_side(st, self) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* inode_reset_run_state(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                                Py_ssize_t nargs, PyObject* kwnames) {
    if (!fm::no_args("reset_run_state", nargs, kwnames)) return nullptr;
    PortsState* st = fm::class_state<PortsState>(defining_class);
    if (call_base(st->base_reset, self) < 0 || reset_input_side(st, self) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* inode_init_input_side(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                                Py_ssize_t nargs, PyObject* kwnames) {
    if (!fm::no_args("_init_input_side", nargs, kwnames)) return nullptr;
    if (init_input_side(fm::class_state<PortsState>(defining_class), self) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* inode_start_input_side(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                                 Py_ssize_t nargs, PyObject* kwnames) {
    if (!fm::no_args("_start_input_side", nargs, kwnames)) return nullptr;
    if (start_input_side(fm::class_state<PortsState>(defining_class), self) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* inode_stop_input_side(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                                Py_ssize_t nargs, PyObject* kwnames) {
    if (!fm::no_args("_stop_input_side", nargs, kwnames)) return nullptr;
    if (stop_input_side(fm::class_state<PortsState>(defining_class), self) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* inode_reset_input_side(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                                 Py_ssize_t nargs, PyObject* kwnames) {
    if (!fm::no_args("_reset_input_side", nargs, kwnames)) return nullptr;
    if (reset_input_side(fm::class_state<PortsState>(defining_class), self) < 0) return nullptr;
    Py_RETURN_NONE;
}

// Static: `module` is this module (see fm::add_static_methods).
PyObject* inode_check_input_ports(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    static const char* const names[] = {"config"};
    PyObject* a[] = {nullptr};
    if (!fm::parse_args("_check_input_ports", args, nargs, kwnames, names, a, 1)) return nullptr;
    if (!checked_entries(fm::module_state<PortsState>(module), a[0])) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef inode_methods[] = {
    {"get_port", as_cfunc(inode_get_port), fm::kMethodCall,
     PyDoc_STR("get_port(port_name)\n--\n\nThe input port named `port_name`.")},
    {"get_input_port", as_cfunc(inode_get_input_port), fm::kMethodCall,
     PyDoc_STR("get_input_port(port_name)\n--\n\nThe input port named `port_name`.")},
    {"_get_data", as_cfunc(inode_get_data), fm::kMethodCall,
     PyDoc_STR("_get_data()\n--\n\nThe frame being processed (a new empty dict outside a "
               "cycle).")},
    {"_get_context", as_cfunc(inode_get_context), fm::kMethodCall,
     PyDoc_STR("_get_context()\n--\n\nInput-port name to the context that reached it.")},
    {"get_max_backlog", as_cfunc(inode_get_max_backlog), fm::kMethodCall,
     PyDoc_STR("get_max_backlog()\n--\n\nThe largest number of items waiting at one input.")},
    {"start", as_cfunc(inode_start), fm::kMethodCall,
     PyDoc_STR("start()\n--\n\nStart the node and its input side.")},
    {"stop", as_cfunc(inode_stop), fm::kMethodCall,
     PyDoc_STR("stop()\n--\n\nStop the node; queued input is dropped.")},
    {"reset_run_state", as_cfunc(inode_reset_run_state), fm::kMethodCall,
     PyDoc_STR("reset_run_state()\n--\n\nBase reset plus the inputs' contexts and queues.")},
    {"_init_input_side", as_cfunc(inode_init_input_side), fm::kMethodCall,
     PyDoc_STR("_init_input_side()\n--\n\nBuild the input ports and their driver.")},
    {"_start_input_side", as_cfunc(inode_start_input_side), fm::kMethodCall,
     PyDoc_STR("_start_input_side()\n--\n\nThe input side's part of start.")},
    {"_stop_input_side", as_cfunc(inode_stop_input_side), fm::kMethodCall,
     PyDoc_STR("_stop_input_side()\n--\n\nThe input side's part of stop.")},
    {"_reset_input_side", as_cfunc(inode_reset_input_side), fm::kMethodCall,
     PyDoc_STR("_reset_input_side()\n--\n\nThe input side's part of reset_run_state.")},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef inode_static_methods[] = {
    {"_check_input_ports", as_cfunc(inode_check_input_ports), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("_check_input_ports(config)\n--\n\nRaise unless the configured input-port list "
               "is usable.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot inode_slots[] = {
    {Py_tp_doc, const_cast<char*>("INodeImp(config)\n--\n\nA node with input ports.")},
    {Py_tp_init, reinterpret_cast<void*>(inode_init)},
    {Py_tp_methods, inode_methods},
    {0, nullptr},
};

PyType_Spec inode_spec = {
    "flowmesh.imp.INodeImp",
    0,  // no fields of its own (see above), so the base's GC slots are inherited
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    inode_slots,
};

// ==================================================================== module

int intern(PyObject** slot, const char* text) {
    *slot = PyUnicode_InternFromString(text);
    return *slot ? 0 : -1;
}

PyObject* make_type(PyObject* module, PyType_Spec* spec, PyObject* base) {
    fm::Ref bases = fm::steal(base ? PyTuple_Pack(1, base) : nullptr);
    if (base && !bases) return nullptr;
    return PyType_FromModuleAndSpec(module, spec, bases.get());
}

int ports_exec(PyObject* module) {
    PortsState* st = fm::module_state<PortsState>(module);
    new (&st->running) fm::Lazy{"flowmesh.constants", "Constants.States.RUNNING"};
    new (&st->sync) fm::Lazy{"flowmesh.constants", "Constants.Timing.SYNC"};
    new (&st->async) fm::Lazy{"flowmesh.constants", "Constants.Timing.ASYNC"};
    new (&st->inherited) fm::Lazy{"flowmesh.constants", "Constants.Timing.INHERITED"};
    new (&st->log_error) fm::Lazy{"flowmesh.constants", "Constants.LogTypes.ERROR"};
    new (&st->iport_facade) fm::Lazy{"flowmesh.i_port", "IPort"};
    new (&st->port_name_key) fm::Lazy{"flowmesh.i_port", "IPort.Configuration.Keys.NAME"};
    new (&st->thread_class) fm::Lazy{"threading", "Thread"};
    if (intern(&st->s_push, "push") < 0 || intern(&st->s_cycle, "_cycle") < 0 ||
        intern(&st->s_setup_cycle, "_setup_cycle") < 0 ||
        intern(&st->s_input_ports, "_input_ports") < 0 ||
        intern(&st->s_input_driver, "_input_driver") < 0 ||
        intern(&st->s_context_arrived, "_context_arrived") < 0 ||
        intern(&st->s_work, "_work") < 0 || intern(&st->s_Keys, "Keys") < 0 ||
        intern(&st->s_INPUT_PORTS, "INPUT_PORTS") < 0 ||
        intern(&st->s_DECOUPLED, "DECOUPLED") < 0 || intern(&st->s_imp, "_imp") < 0 ||
        intern(&st->s_config, "config") < 0 || intern(&st->s_start, "start") < 0 ||
        intern(&st->s_join, "join") < 0 || intern(&st->s_ident, "ident") < 0 ||
        intern(&st->s_log, "log") < 0)
        return -1;
    st->kw_msg_type = Py_BuildValue("(ss)", "msg", "type");
    st->kw_target_args_daemon = Py_BuildValue("(sss)", "target", "args", "daemon");
    if (!st->kw_msg_type || !st->kw_target_args_daemon) return -1;

    st->port_base = fm::imp_class("PortImp");
    if (!st->port_base) return -1;
    st->node_base = fm::imp_class("NodeImp");
    if (!st->node_base) return -1;
    st->base_start = PyObject_GetAttr(st->node_base, st->s_start);
    st->base_stop = PyObject_GetAttrString(st->node_base, "stop");
    st->base_reset = PyObject_GetAttrString(st->node_base, "reset_run_state");
    if (!st->base_start || !st->base_stop || !st->base_reset) return -1;

    st->driver_type = make_type(module, &driver_spec, nullptr);
    if (!st->driver_type) return -1;
    st->oport_type = make_type(module, &oport_spec, st->port_base);
    if (!st->oport_type) return -1;
    st->iport_type = make_type(module, &iport_spec, st->port_base);
    if (!st->iport_type) return -1;
    st->inode_type = make_type(module, &inode_spec, st->node_base);
    if (!st->inode_type) return -1;
    if (fm::add_static_methods(st->inode_type, module, inode_static_methods) < 0) return -1;
    if (PyModule_AddObjectRef(module, "OPortImp", st->oport_type) < 0 ||
        PyModule_AddObjectRef(module, "IPortImp", st->iport_type) < 0 ||
        PyModule_AddObjectRef(module, "INodeImp", st->inode_type) < 0)
        return -1;
    return 0;
}

PyModuleDef_Slot ports_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(ports_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef ports_module = {
    PyModuleDef_HEAD_INIT,
    "flowmesh.imp._ports",
    "Output and input ports, and the input side of nodes.",
    sizeof(PortsState),
    nullptr,
    ports_slots,
    fm::traverse_state<PortsState>,
    fm::clear_state<PortsState>,
    fm::free_state<PortsState>,
};

}  // namespace

PyMODINIT_FUNC PyInit__ports(void) {
    return PyModuleDef_Init(&ports_module);
}
