// The input driver of a node with inputs: its queues, frame assembly, the
// thread that runs the node's cycles, bounded queues and the decoupled
// worker (see the module file for how they work together).
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <new>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "input_side.hpp"

namespace fm::ports {

// Items at an ASYNC input are events; SYNC and INHERITED inputs make frames.
// Constants are compared by identity first: a timing is one of them almost always.
[[gnu::noinline]] int is_event_input_by_equality(DriverObject* d, PyObject* port) {
    fm::Ref held = fm::field_ref(port, &fm::as<fm::PortObject>(port)->timing);
    return held ? fm::equal(held.get(), d->async) : 0;
}

inline int is_event_input(DriverObject* d, PyObject* port) {
    PyObject* t = fm::peek(fm::as<fm::PortObject>(port)->timing);
    if (t == d->async) return 1;
    if (!t || t == d->sync || t == d->inherited) return 0;
    return is_event_input_by_equality(d, port);
}

// The same by identity alone (-1: undecided), for paths that must not run code.
int is_event_input_by_identity(DriverObject* d, PyObject* port) {
    PyObject* t = fm::peek(fm::as<fm::PortObject>(port)->timing);
    if (t == d->async) return 1;
    if (t == d->sync || t == d->inherited) return 0;
    return -1;
}

[[gnu::noinline]] int node_is_running_by_equality(DriverObject* d) {
    PyObject* node = d->node;
    fm::Ref held = fm::field_ref(node, &fm::as<fm::ElementObject>(node)->state);
    return fm::same_or_equal(held.get(), d->running);
}

int node_is_running(DriverObject* d) {
    if (fm::peek(fm::as<fm::ElementObject>(d->node)->state) == d->running) return 1;
    return node_is_running_by_equality(d);
}

// Tells producers blocked on a full queue that items left it.
void make_room(Core* c) {
    if (c->blocked.load() == 0) return;
    c->room_count.fetch_add(1);
    {
        std::lock_guard<std::mutex> lock(c->mutex);
    }
    c->room.notify_all();
}

// The node is now run by this thread.
void claim(DriverObject* d) {
    d->active = true;
    d->active_thread = PyThreadState_GetUnchecked();
}

// The node is no longer run by this thread; a stop waiting for its queue to
// be worked off looks again.
void let_go(DriverObject* d) {
    d->active = false;
    if (d->core) make_room(d->core);
}

// Drops every queued item: the caller owns nothing afterwards. The containers
// are emptied before any reference is released, since a release can run code
// that delivers again.
void discard_queued(DriverObject* d) {
    Core* c = d->core;
    if (!c) return;
    LazyDeque<Entry> ready;
    ready.swap(c->ready);
    LazyDeque<Part> parts;
    parts.swap(c->parts);
    std::vector<PyObject*> items;
    for (Input& in : c->inputs) {
        for (Waiting& w : in.pending) items.push_back(w.item);
        in.pending.clear();
        in.doomed.clear();
        in.waiting = 0;
        in.arrived = 0;  // the next run's frames count from 0
    }
    make_room(c);
    for (Entry& e : ready) Py_XDECREF(e.item);
    for (Part& part : parts) Py_DECREF(part.item);
    for (PyObject* item : items) Py_DECREF(item);
}

void wake_worker(Core* c) {
    c->wake_count.fetch_add(1);
    // Sequentially consistent with the worker's `sleeping` store and re-check
    // of the count: either the worker sees the new count or this sees it asleep.
    if (!c->sleeping.load()) return;
    {
        std::lock_guard<std::mutex> lock(c->mutex);
    }  // the worker is inside wait() now
    c->wake.notify_all();
}

// How long a worker out of work keeps looking for the next delivery before it
// sleeps: a wake-up from sleep costs the scheduler's latency, a spin costs CPU.
constexpr auto kSpin = std::chrono::microseconds(50);

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

// Sleeps on `wake` until `wake_count` moves on from `seen` or `until` (if
// given) passes. True when it moved on.
bool sleep_for_delivery(Core* c, uint64_t seen,
                        std::optional<std::chrono::steady_clock::time_point> until = {}) {
    std::unique_lock<std::mutex> lock(c->mutex);
    c->sleeping.store(true);
    auto moved = [c, seen] { return c->wake_count.load() != seen; };
    bool delivered = true;
    if (until)
        delivered = c->wake.wait_until(lock, *until, moved);
    else
        c->wake.wait(lock, moved);
    c->sleeping.store(false);
    return delivered;
}

// Polls `wake_count` until it moves on from `seen` (true) or `until` passes.
// `relax` pauses between reads, which spares a sibling hyperthread; but a
// hypervisor takes a CPU that pauses for long away from a virtual machine
// (pause-loop exiting), so a window that must not miss a delivery polls without.
bool poll_for_delivery(Core* c, uint64_t seen, std::chrono::steady_clock::time_point until,
                       bool relax = true) {
    do {
        for (int i = 0; i < 64; ++i) {
            if (c->wake_count.load(std::memory_order_acquire) != seen) return true;
            if (relax) cpu_relax();
        }
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

// Learns the spacing of a steady stream from the deliveries its worker waited
// for, and the window around each due time in which they came: what the
// worker needs to be polling, not asleep, when the next one comes. A paced
// producer keeps to a grid (a late item delays only itself), so the next due
// time follows the grid, nudged by each exact arrival, rather than the last
// arrival: one late item then costs one miss, not two.
void Anticipation::seen(int64_t at, int64_t due, Caught how) {
    using std::max;
    using std::min;
    if (last && period) {
        int64_t gap = at - last;
        int64_t spans = (gap + period / 2) / period;  // a busy worker waits for every k-th
        if (spans >= 1 && spans <= 4 && std::abs(gap - spans * period) < period / 4) {
            if (spans == 1) period += (gap - period) / 8;
            steady = min(steady + 1, kSteady);
            odd = 0;
        } else if (steady < kSteady || ++odd > 2) {
            // A stall of the producer (a collection, a busy CPU) makes one
            // gap long and the next short; more than that is a new rate.
            period = max<int64_t>(gap, 0);
            steady = odd = 0;
        }
    } else if (last) {
        period = max<int64_t>(at - last, 0);
    }
    last = at;
    if (steady < kSteady || !period || !due) {
        next = at + period;
        missed = 0;
        return;
    }
    // The arrival's own slot: after a pause or a busy spell, a later one.
    int64_t error = at - due;
    int64_t slots = (error >= 0 ? error + period / 2 : error - period / 2) / period;
    due += slots * period;
    error -= slots * period;
    next = due + period;
    missed = how == Caught::kPolled ? 0 : missed + 1;
    switch (how) {
        case Caught::kPolled:  // exact: the window shrinks slowly towards the spread seen
            next += error / 4;
            early = max(early - early / kShrink, kMargin - error);
            late = max(late - late / kShrink, kMargin + error);
            break;
        case Caught::kBefore:  // `at` is late by a wake-up: widen rather than measure
            early = min(early + early / 2, kMaxSide);
            break;
        case Caught::kAfter:
            late = min(late + late / 2, kMaxSide);
            break;
        case Caught::kUnplanned:
            break;
    }
    // Missed again and again: the stream has moved on the grid; follow it.
    if (missed >= 3) next = at + period;
}

// Readies the worker's thread for polling; false on a machine of one CPU.
bool Anticipation::begin() {
#ifdef __linux__
    // A timed sleep otherwise ends up to 50 us late: the window would have to
    // open that much earlier and poll that much longer.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
#endif
    return std::thread::hardware_concurrency() != 1;
}

// Whether the worker may poll for the next delivery: not while its thread
// may use one CPU only (read afresh, since its owner may change them at any
// time), where polling would hold off the producer it waits for.
bool Anticipation::may_poll() {
#ifdef __linux__
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) return CPU_COUNT(&allowed) > 1;
    CPU_ZERO(&allowed);  // it polls where it is
#endif
    return true;
}

// A thread woken by another tends to be put on the waker's CPU, and there,
// polling, it keeps its producer from that CPU (or waits for it) when the
// next delivery comes: it polls on another of its CPUs. True when it moved.
bool Anticipation::step_aside(const Core* c) {
#ifdef __linux__
    int cpu = sched_getcpu();
    if (cpu < 0 || cpu != c->producer_cpu.load(std::memory_order_relaxed)) return false;
    cpu_set_t others = allowed;
    CPU_CLR(cpu, &others);
    return CPU_COUNT(&others) > 0 && sched_setaffinity(0, sizeof others, &others) == 0;
#else
    (void)c;
    return false;
#endif
}

// The thread's own CPUs again: the handlers (and threads they start) keep them.
void Anticipation::step_back() {
#ifdef __linux__
    sched_setaffinity(0, sizeof allowed, &allowed);
#endif
}

// Waits, with the GIL released by the caller, until `wake_count` moves on
// from `seen`. A worker that anticipates polls from shortly before the next
// delivery of a steady stream is due until shortly after it, and sleeps
// outside that window.
void await_delivery(Core* c, uint64_t seen, Anticipation* a) {
    using clock = std::chrono::steady_clock;
    using ns = std::chrono::nanoseconds;
    using Caught = Anticipation::Caught;
    int64_t due = a ? a->next : 0;
    if (a && a->steady >= Anticipation::kSteady && a->may_poll()) {
        // Each side at most an eighth of the spacing: polling longer costs
        // more than the sleep it saves.
        int64_t open = due - std::min(a->early, a->period / 8);
        int64_t close = due + std::min(a->late, a->period / 8);
        int64_t now = fm::monotonic_ns();
        if (now < close) {
            Caught how = Caught::kPolled;
            if (now < open) {
                // A timed sleep ends late by about `oversleep`: it is set that much earlier.
                int64_t alarm = open - a->oversleep;
                if (sleep_for_delivery(c, seen, clock::time_point(ns(alarm))))
                    how = Caught::kBefore;
                else
                    a->oversleep += (fm::monotonic_ns() - alarm - a->oversleep) / 8;
            }
            if (how == Caught::kPolled) {
                bool aside = a->step_aside(c);
                bool caught = poll_for_delivery(c, seen, clock::time_point(ns(close)), false);
                // Late: the window widens for the next one, and meanwhile
                // this one is looked for as long as any worker out of work
                // spins before it sleeps.
                bool late = !caught && poll_for_delivery(c, seen, clock::now() + kSpin, false);
                if (aside) a->step_back();
                if (caught || late)
                    c->anticipated.fetch_add(1, std::memory_order_relaxed);
                else
                    sleep_for_delivery(c, seen);
                if (!caught) how = Caught::kAfter;
            }
            a->seen(fm::monotonic_ns(), due, how);
            return;
        }
    }
    if (!poll_for_delivery(c, seen, clock::now() + kSpin)) sleep_for_delivery(c, seen);
    if (a) a->seen(fm::monotonic_ns(), due, Caught::kUnplanned);
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
                    c->parts.push_back(
                        {static_cast<uint32_t>(i), c->inputs[i].pending.front().item});
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

// The parts of one frame, owned by the thread that took them off the queues.
// A few fit inline, so the usual frame allocates nothing here.
class TakenParts {
  public:
    // Room for `n` parts; false with MemoryError set when there is none.
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
    // Within the reserved room: cannot throw.
    void push_back(Part part) {
        if (heap_.capacity())
            heap_.push_back(part);
        else
            inline_[size_++] = part;
    }
    Part* begin() { return heap_.capacity() ? heap_.data() : inline_; }
    Part* end() { return heap_.capacity() ? heap_.data() + heap_.size() : inline_ + size_; }
    void clear() {
        size_ = 0;
        heap_.clear();
    }

  private:
    static constexpr size_t kInline = 8;
    Part inline_[kInline];
    size_t size_ = 0;
    std::vector<Part> heap_;
};

// The frame dict of parts this thread owns; releases them. Building it may
// run code (a name's hash), which is harmless now that nothing is shared.
fm::Ref frame_of(Core* c, TakenParts& taken) {
    fm::Ref frame = fm::steal(PyDict_New());
    for (Part& part : taken) {
        if (frame && PyDict_SetItem(frame.get(), c->inputs[part.input].name, part.item) < 0)
            frame.reset();
    }
    for (Part& part : taken) Py_DECREF(part.item);
    taken.clear();
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
            taken.push_back(part);  // capacity reserved by the caller: cannot throw
        }
    }
}

// ------------------------------------------------------------ push-through
//
// An item delivered while this thread runs a cycle is not run at once inside
// that cycle: it waits in the thread's list, and the outermost cycle runs the
// list in order once its node's handlers have returned. A frame crossing a
// line of N nodes thus runs them one after another, not one inside the other:
// the C stack and the frames kept alive stay those of one hop at any depth of
// the graph. The outermost node stays claimed until the list is done, so a
// stop of it still waits for everything its cycle set going.

struct Delivery {
    PyObject* port;  // both owned; no port: `value` is a driver whose queue is to run
    PyObject* value;
};

struct Deliveries {
    Delivery* items;  // malloc'd
    size_t size;
    size_t capacity;
    size_t next;  // items[next:size] are still to run
    int depth;    // cycles this thread is inside
};

// Reached on every hop, hence plain data in the initial-exec model: one load,
// not a call into the dynamic linker (the few bytes fit the static TLS that
// the C library keeps for modules loaded later).
[[gnu::tls_model("initial-exec")]] thread_local Deliveries t_deliveries;

// Frees the thread's list when the thread ends; made with the list.
struct DeliveriesOwner {
    ~DeliveriesOwner() { std::free(t_deliveries.items); }
};
thread_local DeliveriesOwner t_deliveries_owner;

int receive_now(PyObject* port, PyObject* value);
int drain(DriverObject* d, fm::CriticalSection& cs);

// A queue that kick() left to run once the outermost cycle is done.
int drain_deferred(PyObject* owner) {
    fm::CriticalSection cs(owner);
    DriverObject* d = driver(owner);
    if (d->decoupled || d->active) return 0;  // its worker, or the thread running it, will
    return drain(d, cs);
}

int defer(Deliveries& t, PyObject* port, PyObject* value) {
    if (t.size == t.capacity) {
        size_t capacity = t.capacity ? 2 * t.capacity : 16;
        void* grown = std::realloc(t.items, capacity * sizeof(Delivery));
        if (!grown) {
            PyErr_NoMemory();
            return -1;
        }
        if (!t.items) asm volatile("" : : "r"(&t_deliveries_owner));  // its destructor, registered
        t.items = static_cast<Delivery*>(grown);
        t.capacity = capacity;
    }
    t.items[t.size++] = {Py_XNewRef(port), Py_NewRef(value)};
    return 0;
}

// Runs the waiting deliveries, those they add included. Each runs whatever
// came before it failed: items already sent are run or counted, never left
// behind. The first failure, the cycle's own (`rc` < 0) first, is the one
// raised; a later one is reported as unraisable.
int run_deliveries(Deliveries& t, int rc) {
    fm::Ref failure;
    if (rc < 0) failure = fm::steal(PyErr_GetRaisedException());
    while (t.next < t.size) {
        Delivery item = t.items[t.next++];
        fm::Ref port = fm::steal(item.port);
        fm::Ref value = fm::steal(item.value);
        int rc = port ? receive_now(port.get(), value.get()) : drain_deferred(value.get());
        if (rc < 0) {
            if (!failure)
                failure = fm::steal(PyErr_GetRaisedException());
            else
                PyErr_WriteUnraisable(port ? port.get() : value.get());
        }
    }
    t.size = t.next = 0;
    if (!failure) return 0;
    PyErr_SetRaisedException(failure.release());
    return -1;
}

// One cycle of the node with `data` as its frame, run without the driver's
// critical section: other threads queue for the node meanwhile (`active`
// tells them it is run), and a decoupled worker and its producers overlap.
// Runs `body` (0, or -1 with an exception) as a cycle of this thread: what it
// delivers waits, and the outermost cycle runs it once `body` has returned.
template <typename Body>
int as_cycle(Body body) {
    Deliveries& t = t_deliveries;
    ++t.depth;
    int rc = body();
    if (t.depth == 1 && t.next < t.size) rc = run_deliveries(t, rc);
    --t.depth;
    return rc;
}

int call_cycle(DriverObject* d, PyObject* node, PyObject* data, fm::CriticalSection& cs) {
    fm::set_field(&d->current, data);
    cs.unlock();
    int rc = as_cycle([d, node, data] {
        if (d->direct) return d->direct->cycle(d->direct, node, data);
        PyObject* args[] = {node, data};
        fm::Ref r = fm::steal(PyObject_Vectorcall(d->cycle, args, 2, nullptr));
        return r ? 0 : -1;
    });
    cs.lock();
    fm::set_field(&d->current, nullptr);
    return rc;
}

// Runs one entry just taken off the ready queue (its item is owned here).
int run_entry(DriverObject* d, Entry e, fm::CriticalSection& cs) {
    fm::Ref item = fm::steal(e.item);
    Core* c = d->core;
    TakenParts taken;
    if (e.kind == kFrame && !taken.reserve(e.members)) {
        // Drop the frame rather than leave its parts to the next entry.
        fm::Ref no_memory = fm::steal(PyErr_GetRaisedException());
        for (uint32_t k = 0; k < e.members && !c->parts.empty(); ++k) {
            Part part = c->parts.front();
            c->parts.pop_front();
            --c->inputs[part.input].waiting;
            Py_DECREF(part.item);
        }
        PyErr_SetRaisedException(no_memory.release());
        return -1;
    }
    settle(c, e, taken);
    make_room(c);
    fm::Ref node = fm::borrow(d->node);
    if (!node) {
        frame_of(c, taken);
        return 0;
    }
    if (e.kind == kSetup) {
        PortsState* st = static_cast<PortsState*>(PyType_GetModuleState(Py_TYPE(d)));
        PyObject* self_arg = node.get();
        cs.unlock();
        int rc = as_cycle([st, &self_arg] {
            fm::Ref r = fm::steal(PyObject_VectorcallMethod(
                st->n(N__setup_cycle), &self_arg, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            return r ? 0 : -1;
        });
        cs.lock();
        return rc;
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
    return call_cycle(d, node.get(), data.get(), cs);
}

// Push-through, with `active` set by the caller: runs queued work on this
// thread until none is left.
int keep_draining(DriverObject* d, fm::CriticalSection& cs) {
    for (;;) {
        Core* c = d->core;
        if (!c || c->ready.empty()) {
            let_go(d);  // decided together with the emptiness, no call in between
            return 0;
        }
        Entry e = c->ready.front();
        c->ready.pop_front();
        if (run_entry(d, e, cs) < 0) {
            // Whatever is still queued runs with the next delivery.
            let_go(d);
            return -1;
        }
    }
}

// The caller has checked that no other thread is running the node.
int drain(DriverObject* d, fm::CriticalSection& cs) {
    fm::Ref keep = fm::borrow(reinterpret_cast<PyObject*>(d));
    claim(d);
    return keep_draining(d, cs);
}

// Runs a cycle that never needed queueing, then whatever was queued meanwhile.
// The caller has claimed the node (`active`) already.
int run_now(DriverObject* d, PyObject* data, fm::CriticalSection& cs) {
    fm::Ref keep = fm::borrow(reinterpret_cast<PyObject*>(d));
    fm::Ref node = fm::borrow(d->node);
    if (!node || call_cycle(d, node.get(), data, cs) < 0) {
        let_go(d);
        return node ? -1 : 0;
    }
    return keep_draining(d, cs);
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
    taken.push_back({static_cast<uint32_t>(index), Py_NewRef(value)});
    ++c->inputs[index].arrived;
    for (size_t i = 0; i < n; ++i) {
        if (i == index || c->event_input[i]) continue;
        Input& in = c->inputs[i];
        taken.push_back({static_cast<uint32_t>(i), in.pending.front().item});
        in.pending.pop_front();
        --in.waiting;
    }
    make_room(c);
    return true;
}

// Gets queued work running: on this thread, or by waking the worker.
int kick(DriverObject* d, fm::CriticalSection& cs) {
    if (d->decoupled) {
        if (Core* c = d->core) {
#ifdef __linux__
            if (d->anticipate) c->producer_cpu.store(sched_getcpu(), std::memory_order_relaxed);
#endif
            wake_worker(c);
        }
        return 0;
    }
    if (d->active) return 0;
    // From inside a cycle (an event-only node's setup set off by a context
    // arriving), once that cycle is done: a line of such setups would nest.
    Deliveries& t = t_deliveries;
    if (t.depth > 0) return defer(t, nullptr, reinterpret_cast<PyObject*>(d));
    return drain(d, cs);
}

// ------------------------------------------------------------ full queues

// Drops frame `frame` at every frame input (Core::event_input decided): an
// item of it that is waiting goes to `released` and is counted at its input;
// an input whose item has not come yet drops it when it comes. Items of one
// frame go together, so a later frame never pairs items of different frames.
// Runs no code; false with MemoryError set (and nothing changed) when the
// record of a frame to drop cannot grow.
bool drop_frame(Core* c, uint64_t frame, std::vector<PyObject*>& released) {
    size_t n = c->inputs.size();
    size_t marked = 0;
    try {
        for (; marked < n; ++marked) {
            Input& in = c->inputs[marked];
            if (c->event_input[marked] || in.arrived > frame) continue;
            auto at = std::lower_bound(in.doomed.begin(), in.doomed.end(), frame);
            if (at == in.doomed.end() || *at != frame) in.doomed.insert(at, frame);
        }
    } catch (const std::bad_alloc&) {
        for (size_t i = 0; i < marked; ++i) {
            Input& in = c->inputs[i];
            if (c->event_input[i] || in.arrived > frame) continue;
            auto at = std::lower_bound(in.doomed.begin(), in.doomed.end(), frame);
            if (at != in.doomed.end() && *at == frame) in.doomed.erase(at);
        }
        PyErr_NoMemory();
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        Input& in = c->inputs[i];
        if (c->event_input[i] || in.arrived <= frame) continue;
        auto at = std::lower_bound(in.pending.begin(), in.pending.end(), frame,
                                   [](const Waiting& w, uint64_t f) { return w.frame < f; });
        if (at == in.pending.end() || at->frame != frame) continue;  // the arriving item itself
        released.push_back(at->item);  // capacity reserved by the caller: cannot throw
        in.pending.erase(at);
        --in.waiting;
        ++in.dropped;
    }
    return true;
}

// Takes the oldest item waiting at input `index` off the queues into
// `released` and counts it; when that item is part of a frame, complete or
// not, the whole frame goes, each of its items counted at its own input.
// Runs no code; false with MemoryError set.
bool drop_oldest(Core* c, size_t index, std::vector<PyObject*>& released) {
    auto drop = [&](uint32_t input, PyObject* item) {
        released.push_back(item);  // capacity reserved by the caller: cannot throw
        --c->inputs[input].waiting;
        ++c->inputs[input].dropped;
    };
    size_t first_part = 0;
    for (auto entry = c->ready.begin(); entry != c->ready.end(); ++entry) {
        if (entry->kind == static_cast<int32_t>(index)) {
            drop(static_cast<uint32_t>(index), entry->item);
            c->ready.erase(entry);
            return true;
        }
        if (entry->kind != kFrame) continue;
        auto begin = c->parts.begin() + static_cast<std::ptrdiff_t>(first_part);
        auto end = begin + entry->members;
        if (std::any_of(begin, end, [index](const Part& p) { return p.input == index; })) {
            for (auto part = begin; part != end; ++part) drop(part->input, part->item);
            c->parts.erase(begin, end);
            c->ready.erase(entry);
            return true;
        }
        first_part += entry->members;
    }
    Input& in = c->inputs[index];
    return in.pending.empty() || drop_frame(c, in.pending.front().frame, released);
}

// A setting of ConstantsImp as a number of seconds (`fallback` when unusable).
double constant_seconds(PortsState* st, const char* name, double fallback) {
    PyObject* holder = st->constants_imp.get();
    fm::Ref value = holder ? fm::steal(PyObject_GetAttrString(holder, name)) : fm::Ref();
    double seconds = value ? PyFloat_AsDouble(value.get()) : -1.0;
    if (PyErr_Occurred()) {
        if (!fm::pending_is_exception()) return -1.0;
        PyErr_Clear();
    }
    return seconds >= 0.0 && seconds < 1e9 ? seconds : fallback;
}

// Logs, as one WARNING per input, the drops not reported yet: those of an
// input last reported at least MONITORING_INTERVAL ago, or all when `final`.
// A failure to log is reported as unraisable: it must not fail the push.
int report_drops(PortsState* st, DriverObject* d, bool final) {
    Core* c = d->core;
    fm::Ref node = fm::borrow(d->node);
    if (!c || !node) return 0;
    fm::Ref keep = fm::borrow(reinterpret_cast<PyObject*>(d));
    double interval = final ? 0.0 : constant_seconds(st, "MONITORING_INTERVAL", 0.5);
    if (interval < 0.0) return -1;
    int64_t now = fm::monotonic_ns();
    for (size_t i = 0; (c = d->core) && i < c->inputs.size(); ++i) {
        Input& in = c->inputs[i];
        if (in.dropped == in.reported) continue;
        if (in.reported_at >= 0 && now - in.reported_at < static_cast<int64_t>(interval * 1e9))
            continue;
        in.reported = in.dropped;
        in.reported_at = now;
        fm::Ref name = fm::borrow(in.name);
        PyObject* type = st->c.log_warning.get();
        fm::Ref owner = type ? fm::steal(PyObject_GetAttr(node.get(), st->n(N_name))) : fm::Ref();
        fm::Ref msg = owner ? fm::steal(PyUnicode_FromFormat(
                                  "Input port '%S' of node %S: queue full (bound %zd, overflow "
                                  "%s); %llu items dropped in this run (%llu of them at the "
                                  "node's stop).",
                                  name.get(), owner.get(), d->queue_bound,
                                  kOverflowNames[static_cast<int>(d->overflow)],
                                  static_cast<unsigned long long>(in.reported),
                                  static_cast<unsigned long long>(in.at_stop)))
                            : fm::Ref();
        if (msg) {
            PyObject* const values[] = {msg.get(), type};
            fm::Ref r =
                fm::steal(fm::call_method_kw(node.get(), st->n(N_log), st->kw_msg_type, values));
            if (r) continue;
        }
        if (!fm::pending_is_exception()) return -1;
        PyErr_WriteUnraisable(node.get());
    }
    return 0;
}

// Waits, the GIL released, until an item leaves a queue of `d`, a thread
// stops running the node, the node stops, or `deadline` (monotonic ns) passes.
void wait_for_room(DriverObject* d, int64_t deadline) {
    Core* c = d->core;
    uint64_t seen = c->room_count.load();
    c->blocked.fetch_add(1);
    Py_BEGIN_ALLOW_THREADS {
        std::unique_lock<std::mutex> lock(c->mutex);
        auto until = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline));
        c->room.wait_until(lock, until, [c, seen] { return c->room_count.load() != seen; });
    }
    Py_END_ALLOW_THREADS c->blocked.fetch_sub(1);
}

// An item reaching a node that is being stopped, or that was stopped after a
// run, is counted as dropped at its input, so that what a producer sent is
// either run or counted. Before the node's first run nothing is counted.
int refuse(DriverObject* d, PyObject* port) {
    Core* c = d->core;
    Py_ssize_t index = iport(port)->index;
    if (!d->ran || !c || index < 0 || static_cast<size_t>(index) >= c->inputs.size() ||
        c->inputs[index].port != port)
        return 0;
    ++c->inputs[index].dropped;
    ++c->inputs[index].at_stop;
    return report_drops(static_cast<PortsState*>(PyType_GetModuleState(Py_TYPE(d))), d, false);
}

// The first half of a node's stop, while the node still runs: from here on
// new items are refused, and the queued ones get up to STOP_DRAIN_TIMEOUT
// seconds to be run by whoever runs the node (its worker, or another thread
// draining it). A thread stopping the node from inside its cycle cannot wait
// for itself; what is still queued afterwards is counted by driver_stop.
int drain_for_stop(PortsState* st, DriverObject* d) {
    if (!d->in_run) return 0;
    fm::Ref keep = fm::borrow(reinterpret_cast<PyObject*>(d));
    d->closing = true;
    if (d->core) make_room(d->core);  // blocked producers give their items up now
    double timeout = constant_seconds(st, "STOP_DRAIN_TIMEOUT", 2.0);
    if (timeout < 0.0) return -1;
    int64_t deadline = fm::monotonic_ns() + static_cast<int64_t>(timeout * 1e9);
    PyThreadState* self = PyThreadState_GetUnchecked();
    while (Core* c = d->core) {
        bool on_this_thread = d->active && d->active_thread == self;
        bool elsewhere = d->active && !on_this_thread;
        bool worker_has_work = d->decoupled && d->thread && !on_this_thread && !c->ready.empty();
        if ((!elsewhere && !worker_has_work) || fm::monotonic_ns() >= deadline) break;
        wait_for_room(d, deadline);
    }
    return 0;
}

// Counts what is still queued as dropped at its inputs (incomplete frames
// too) and logs the total once; the caller discards the items.
int count_left_at_stop(PortsState* st, DriverObject* d) {
    Core* c = d->core;
    if (!c) return 0;
    unsigned long long left = 0;
    for (Input& in : c->inputs) {
        if (in.waiting <= 0) continue;
        in.dropped += static_cast<uint64_t>(in.waiting);
        in.at_stop += static_cast<uint64_t>(in.waiting);
        left += static_cast<unsigned long long>(in.waiting);
    }
    if (left == 0) return 0;
    fm::Ref node = fm::borrow(d->node);
    PyObject* type = st->c.log_warning.get();
    fm::Ref name =
        node && type ? fm::steal(PyObject_GetAttr(node.get(), st->n(N_name))) : fm::Ref();
    fm::Ref msg = name ? fm::steal(PyUnicode_FromFormat(
                             "Node %S stopped with %llu queued items not processed; they are "
                             "counted as dropped.",
                             name.get(), left))
                       : fm::Ref();
    if (msg) {
        PyObject* const values[] = {msg.get(), type};
        fm::Ref r =
            fm::steal(fm::call_method_kw(node.get(), st->n(N_log), st->kw_msg_type, values));
        if (r) return 0;
    }
    if (!fm::pending_is_exception()) return -1;
    PyErr_WriteUnraisable(node ? node.get() : reinterpret_cast<PyObject*>(d));
    return 0;
}

int receive_once(DriverObject* d, PyObject* port, PyObject* value, int64_t* deadline,
                 fm::CriticalSection& cs);

// A port collecting into a tap: the value is kept there and counted as the
// node's cycle, and nothing of the node runs. 1 when the port collects no more.
int collect(PyObject* port, PyObject* value) {
    fm::Ref tap = fm::published_ref(iport(port)->collector);
    if (!tap) return 1;
    fm::Ref owner =
        fm::peek(iport(port)->collector_counts) ? fm::borrow(iport(port)->driver) : fm::Ref();
    fm::Ref node = owner ? fm::field_ref(owner.get(), &driver(owner.get())->node) : fm::Ref();
    return tap_push(tap.get(), value,
                    node ? &fm::as<fm::ElementObject>(node.get())->counter : nullptr);
}

// The receiving end of a push; from inside a cycle, once that cycle is done.
int receive(PyObject* port, PyObject* value) {
    if (fm::peek(iport(port)->collector.value)) {
        int rc = collect(port, value);
        if (rc <= 0) return rc;
    }
    Deliveries& t = t_deliveries;
    if (t.depth > 0) return defer(t, port, value);
    return receive_now(port, value);
}

// A producer that finds the queue full under `block` waits for room and then
// delivers from the start, since the node may have changed in every respect
// meanwhile.
int receive_now(PyObject* port, PyObject* value) {
    // Held: code run below may drop the port's or the node's last reference.
    fm::Ref owner = fm::borrow(iport(port)->driver);
    if (!owner) return 0;
    fm::CriticalSection cs(owner.get());
    int64_t deadline = -1;  // set by the first wait
    int rc;
    while ((rc = receive_once(driver(owner.get()), port, value, &deadline, cs)) == 1) {
    }
    return rc;
}

// 1: wait for room was done, deliver again.
int receive_once(DriverObject* d, PyObject* port, PyObject* value, int64_t* deadline,
                 fm::CriticalSection& cs) {
    if (!d->core || !d->node) return 0;
    int running = node_is_running(d);
    if (running < 0) return -1;
    if (!running || d->closing) return refuse(d, port);
    int event = is_event_input(d, port);
    if (event < 0) return -1;
    // A node's only input is this port (checked below), whose timing is
    // decided already: no second look, which may run code.
    bool only_input = d->core && d->core->inputs.size() == 1;
    if (d->core && !only_input && decide_timings(d) < 0) return -1;
    // Read after the checks above, which may run code.
    Core* c = d->core;
    Py_ssize_t index = iport(port)->index;
    if (!c || index < 0 || static_cast<size_t>(index) >= c->inputs.size() ||
        c->inputs[index].port != port)
        return 0;
    if (only_input) c->event_input[0] = static_cast<char>(event);  // no code ran since
    Input& in = c->inputs[index];
    PortsState* st = static_cast<PortsState*>(PyType_GetModuleState(Py_TYPE(d)));
    if (!event) {
        while (!in.doomed.empty() && in.doomed.front() < in.arrived) in.doomed.pop_front();
        if (!in.doomed.empty() && in.doomed.front() == in.arrived) {
            // Its frame was dropped at another input already.
            in.doomed.pop_front();
            ++in.arrived;
            ++in.dropped;
            return report_drops(st, d, false);
        }
    }
    // Nothing queued, nobody running the node, and this item alone decides the
    // next cycle: run it at once, without a trip through the queues. The node
    // is claimed before the frame is built, since building it may run code.
    if (!d->decoupled && !d->active && c->ready.empty() && (event || in.pending.empty())) {
        // An event, or the item of a node's only input, is a frame by itself.
        bool alone = event || c->inputs.size() == 1;
        TakenParts taken;
        if (!alone && !taken.reserve(c->inputs.size())) return -1;
        if (alone || take_frame(d, static_cast<size_t>(index), value, taken)) {
            claim(d);
            fm::Ref data;
            if (alone) {
                if (!event) ++in.arrived;
                data = fm::steal(PyDict_New());
                if (data && PyDict_SetItem(data.get(), in.name, value) < 0) data.reset();
            } else {
                data = frame_of(c, taken);
            }
            if (!data) {
                let_go(d);
                return -1;
            }
            return run_now(d, data.get(), cs);
        }
    }
    std::vector<PyObject*> released;  // dropped items, released once the queues are consistent
    bool dropped = false;
    if (in.waiting >= d->queue_bound) {
        Overflow policy = d->overflow;
        // A thread running the node cannot wait for itself to make room.
        bool own_thread = d->active && d->active_thread == PyThreadState_GetUnchecked();
        if (policy == Overflow::kBlock && !own_thread) {
            if (*deadline < 0) {
                double timeout = constant_seconds(st, "QUEUE_BLOCK_TIMEOUT", 1.0);
                if (timeout < 0.0) return -1;
                *deadline = fm::monotonic_ns() + static_cast<int64_t>(timeout * 1e9);
            }
            if (fm::monotonic_ns() < *deadline) {
                if (d->core) wait_for_room(d, *deadline);
                return 1;  // everything is decided afresh, the deadline kept
            }
        }
        try {
            released.reserve(c->inputs.size());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return -1;
        }
        if (policy == Overflow::kDropOldest) {
            if (!drop_oldest(c, static_cast<size_t>(index), released)) return -1;
        } else {
            // The new item goes (blocked too long, or no one to wait for), and
            // with it the rest of its frame.
            if (!event && !drop_frame(c, in.arrived, released)) return -1;
            if (!event) ++in.arrived;
            ++in.dropped;
            for (PyObject* item : released) Py_DECREF(item);
            if (report_drops(st, d, false) < 0) return -1;
            return 0;
        }
        dropped = true;
    }
    try {
        if (event)
            c->ready.push_back({value, static_cast<int32_t>(index), 0});
        else
            in.pending.push_back({value, in.arrived});
    } catch (const std::bad_alloc&) {
        for (PyObject* item : released) Py_DECREF(item);
        PyErr_NoMemory();
        return -1;
    }
    Py_INCREF(value);
    ++in.waiting;
    if (!event) ++in.arrived;
    if (dropped) {
        for (PyObject* item : released) Py_DECREF(item);
        if (report_drops(st, d, false) < 0) return -1;
        if (!d->core) return 0;  // code run above cleared the driver
    }
    if (!event && collect_frames(d) < 0) return -1;
    return kick(d, cs);
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
    if (fm::count_of(fm::as<fm::ElementObject>(d->node)->counter) != 0) return 0;
    for (Input& in : c->inputs) {
        PyObject* context = fm::peek(fm::as<fm::PortObject>(in.port)->context);
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

int claim_setup_and_run(DriverObject* d, fm::CriticalSection& cs) {
    int claimed = claim_setup(d);
    if (claimed <= 0) return claimed;
    return kick(d, cs);
}

// --------------------------------------------------------- driver methods

PyObject* driver_context_arrived(PyObject* self) {
    fm::CriticalSection cs(self);
    if (claim_setup_and_run(driver(self), cs) < 0) return nullptr;
    Py_RETURN_NONE;
}

// Reports the pending exception of a cycle run on the worker thread, at
// ERROR through the node's log, so that a pipeline's monitoring thread stops
// the run; the worker lives on. A failure to report is written as unraisable.
void report_worker_failure(PortsState* st, DriverObject* d) {
    fm::Ref exc = fm::steal(PyErr_GetRaisedException());
    fm::Ref node = fm::borrow(d->node);
    if (node) fm::keep_uncontained_failure(node.get(), exc.get());
    PyObject* type = st->c.log_error.get();
    if (type && node) {
        PyObject* const values[] = {exc.get(), type};
        fm::Ref r =
            fm::steal(fm::call_method_kw(node.get(), st->n(N_log), st->kw_msg_type, values));
        if (r) return;
    }
    PyErr_WriteUnraisable(node ? node.get() : reinterpret_cast<PyObject*>(d));
}

// Body of a decoupled node's worker thread: runs queued work while its
// generation is current, waiting with the GIL released when there is none.
PyObject* driver_work(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"generation"};
    PyObject* a[] = {nullptr};
    if (!fm::parse_args("_work", args, nargs, kwnames, names, a, 1)) return nullptr;
    DriverObject* d = driver(self);
    fm::Ref keep = fm::borrow(self);
    PortsState* st = static_cast<PortsState*>(PyType_GetModuleState(Py_TYPE(self)));
    uint64_t generation = PyLong_AsUnsignedLongLong(a[0]);
    if (generation == static_cast<uint64_t>(-1) && PyErr_Occurred()) return nullptr;
    fm::CriticalSection cs(self);
    Core* c = d->core;
    if (!c) Py_RETURN_NONE;
    std::optional<Anticipation> anticipation;
    if (d->anticipate && !anticipation.emplace().begin()) anticipation.reset();
    Anticipation* ahead = anticipation ? &*anticipation : nullptr;
    for (;;) {
        if (d->generation != generation) break;
        // `active` also keeps out an older worker's last entry after a stop and
        // start issued from inside a cycle.
        if (!d->active && !c->ready.empty()) {
            Entry e = c->ready.front();
            c->ready.pop_front();
            claim(d);
            int rc = run_entry(d, e, cs);
            let_go(d);
            if (rc < 0) report_worker_failure(st, d);
            continue;
        }
        uint64_t seen = c->wake_count.load();
        if (d->generation != generation || (!d->active && !c->ready.empty())) continue;
        // The counter was read while every producer was kept out (the GIL, or
        // the driver's critical section), so a delivery after this point
        // changes it and the wait returns. All that queued meanwhile then runs
        // in one go.
        cs.unlock();
        Py_BEGIN_ALLOW_THREADS await_delivery(c, seen, ahead);
        Py_END_ALLOW_THREADS cs.lock();
    }
    wake_worker(c);  // a newer worker may be waiting for this one's last entry
    Py_RETURN_NONE;
}

// ------------------------------------------------------ driver lifecycle

int driver_start(PortsState* st, DriverObject* d) {
    if (!d->decoupled || d->thread) return 0;
    PyObject* thread_class = st->thread_class.get();
    if (!thread_class) return -1;
    fm::Ref work = fm::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(d), st->n(N__work)));
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
    fm::Ref started = fm::steal(fm::call_method(thread.get(), st->n(N_start)));
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
        fm::Ref ident = fm::steal(PyObject_GetAttr(thread.get(), st->n(N_ident)));
        if (!ident) return -1;
        unsigned long id = ident.get() == Py_None ? 0 : PyLong_AsUnsignedLong(ident.get());
        if (PyErr_Occurred()) return -1;
        // A node stopped from inside its own cycle cannot wait for itself.
        if (id != PyThread_get_thread_ident()) {
            fm::Ref joined = fm::steal(fm::call_method(thread.get(), st->n(N_join)));
            if (!joined) rc = -1;
        }
    }
    if (count_left_at_stop(st, d) < 0) rc = -1;
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
            for (Waiting& w : in.pending) Py_VISIT(w.item);
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
    fm::method_def<"_context_arrived", driver_context_arrived>(
        PyDoc_STR("_context_arrived()\n--\n\nAn input port received its context.")),
    {"_work", fm::as_cfunc(driver_work), METH_FASTCALL | METH_KEYWORDS,
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
    .name = "flowmesh.imp._ports._InputDriver",
    .basicsize = sizeof(DriverObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = driver_slots,
};

}  // namespace fm::ports
