// The input side of nodes, shared by the files of flowmesh.imp._ports: the
// module state, the layouts of the input driver and of IPortImp, and the
// entry points each file offers the others. The module file holds the ports
// and the module; input_driver.cpp the queues, frame assembly and the
// decoupled worker; input_node.cpp INodeImp.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#ifdef __linux__
#include <sched.h>
#endif

#include "data_path.hpp"
#include "objects.hpp"

namespace fm::ports {

using fm::as_cfunc;

// clang-format off
#define FM_PORTS_NAMES(X) \
    X(push) X(_cycle) X(_setup_cycle) X(_input_ports) X(_input_driver) X(_context_arrived) \
    X(_work) X(Keys) X(INPUT_PORTS) X(DECOUPLED) X(ANTICIPATE) X(QUEUE_BOUND) X(OVERFLOW) X(_imp) X(config) \
    X(start) X(stop) X(reset_run_state) X(join) X(ident) X(log) X(name)
// clang-format on
FM_NAME_TABLE(FM_PORTS_NAMES);

// The exported entry points come first: the API pointer is the state's.
struct PortsState : fm::PortsApi {
    PyObject* vertex_module;  // keeps `vertex` valid
    fm::VertexApi* vertex;
    PyObject* oport_type;
    PyObject* iport_type;
    PyObject* inode_type;
    PyObject* driver_type;
    PyObject* tap_type;
    PyObject* port_base;   // PortImp
    PyObject* node_base;   // NodeImp
    PyObject* base_start;  // NodeImp's unbound start / stop / reset_run_state
    PyObject* base_stop;
    PyObject* base_reset;
    NameTable n;
    PyObject* kw_msg_type;            // ("msg", "type")
    PyObject* kw_target_args_daemon;  // ("target", "args", "daemon")
    fm::Constants c;
    fm::Lazy constants_imp{"flowmesh.imp", "ConstantsImp"};
    fm::Lazy iport_facade{"flowmesh.i_port", "IPort"};
    fm::Lazy port_name_key{"flowmesh.i_port", "IPort.Configuration.Keys.NAME"};
    fm::Lazy thread_class{"threading", "Thread"};
    fm::Lazy array_class{"array", "array"};

    // Every reference the state owns, for traverse/clear.
    template <typename F>
    int refs(F f) {
        return f(vertex_module, oport_type, iport_type, inode_type, driver_type, tap_type,
                 port_base, node_base, base_start, base_stop, base_reset, n, kw_msg_type,
                 kw_target_args_daemon, constants_imp, iport_facade, port_name_key, thread_class,
                 array_class, c);
    }
};

extern PyModuleDef ports_module;

// What a queued entry asks the node to do; a value >= 0 is an event that
// arrived at that input.
constexpr int32_t kFrame = -1;
constexpr int32_t kSetup = -2;

struct Entry {
    PyObject* item;    // event value (owned), nullptr for a frame or the setup
    int32_t kind;      // kFrame, kSetup or the event's input index
    uint32_t members;  // kFrame: how many inputs gave an item (in Core::parts)
};

// A std::deque made on first insertion and released when cleared: an empty
// libstdc++ deque already holds a 512-byte block and its map, four of them
// per single-input node, and most nodes never queue anything (push-through).
template <typename T>
class LazyDeque {
  public:
    using Deque = std::deque<T>;
    using iterator = typename Deque::iterator;

    bool empty() const { return !q_ || q_->empty(); }
    size_t size() const { return q_ ? q_->size() : 0; }
    // front, back, the pops and erase need an element: the deque exists.
    T& front() { return q_->front(); }
    T& back() { return q_->back(); }
    void pop_front() { q_->pop_front(); }
    void pop_back() { q_->pop_back(); }
    iterator erase(iterator at) { return q_->erase(at); }
    iterator erase(iterator first, iterator last) { return q_->erase(first, last); }
    // Without a deque, both ends are those of one shared empty deque.
    iterator begin() { return q_ ? q_->begin() : none().begin(); }
    iterator end() { return q_ ? q_->end() : none().end(); }
    void push_back(const T& value) { made().push_back(value); }
    void push_front(const T& value) { made().push_front(value); }
    // Without a deque, `at` is an end of the empty one: the value goes first.
    iterator insert(iterator at, const T& value) {
        if (!q_) {
            made().push_back(value);
            return q_->begin();
        }
        return q_->insert(at, value);
    }
    void clear() { q_.reset(); }
    void swap(LazyDeque& other) noexcept { q_.swap(other.q_); }

  private:
    Deque& made() {
        if (!q_) q_ = std::make_unique<Deque>();
        return *q_;
    }
    static Deque& none() {
        static Deque empty;  // never changed
        return empty;
    }
    std::unique_ptr<Deque> q_;
};

// One input's item of a frame that is ready or being assembled.
struct Part {
    uint32_t input;
    PyObject* item;  // owned
};

// A frame item waiting for the other inputs' items of its frame. Frame k is
// the k-th item of every frame input in this run.
struct Waiting {
    PyObject* item;  // owned
    uint64_t frame;
};

struct Input {
    PyObject* name;              // owned
    PyObject* port;              // owned IPortImp
    LazyDeque<Waiting> pending;  // frame items not yet in a complete frame, oldest first
    uint64_t arrived = 0;        // frame items that reached this input in this run
    LazyDeque<uint64_t> doomed;  // frames dropped before this input's item came, ascending:
                                 // that item is dropped when it comes
    Py_ssize_t waiting = 0;      // items arrived and not yet handed to a cycle
    uint64_t dropped = 0;        // items this run dropped: a full queue's, and the stop's
    uint64_t at_stop = 0;        // of those, items refused by a stopping or stopped node, or
                                 // still queued when it stopped
    uint64_t reported = 0;       // `dropped` as last logged
    int64_t reported_at = -1;    // when, in monotonic ns (-1: never)
};

// What receive() does with an item that finds its input's queue full.
enum class Overflow : uint8_t { kBlock, kDropOldest, kDropNewest };
constexpr const char* kOverflowNames[] = {"block", "drop_oldest", "drop_newest"};

// The C++ half of a driver, allocated with new and released in tp_clear.
//
// Queues change only where no Python code can run (no call, no release of a
// reference, no allocation of a Python object): a hash, an equality test or a
// finaliser may deliver again, from this thread or after a thread switch
// (the driver's critical section, like the GIL, holds only while no code
// blocks). A
// frame is therefore taken off the queues whole, as parts, and its dict is
// built afterwards from items this thread owns.
struct Core {
    std::vector<Input> inputs;
    LazyDeque<Entry> ready;         // work in the order it became ready
    LazyDeque<Part> parts;          // the items of each queued frame, in `ready` order
    std::vector<char> event_input;  // scratch: effective timing per input
    // The hand-off to a decoupled node's worker: every delivery bumps
    // `wake_count`; the worker, out of work, spins on it briefly with the GIL
    // released and only then sleeps on `wake`, and a delivery signals the
    // condition variable only while the worker sleeps.
    std::atomic<uint64_t> wake_count{0};
    std::atomic<bool> sleeping{false};
    std::mutex mutex;  // orders `sleeping` against the wait on `wake`
    std::condition_variable wake;
    // Producers blocked on a full queue wait on `room` until `room_count`
    // moves on; it is bumped only while `blocked` says someone waits.
    std::atomic<uint64_t> room_count{0};
    std::atomic<int> blocked{0};
    std::condition_variable room;
    // An anticipating worker's figures: the deliveries it caught by polling
    // (read by tests and the bench), and the CPU its producer last delivered
    // from (so that it does not poll on that one).
    std::atomic<uint64_t> anticipated{0};
    std::atomic<int> producer_cpu{-1};
};

// What a decoupled worker that anticipates knows of its stream (its own,
// touched by no other thread). Times in monotonic nanoseconds.
struct Anticipation {
    static constexpr int kSteady = 4;               // gaps alike before it polls
    static constexpr int64_t kMargin = 20'000;      // least room either side of a due time
    static constexpr int64_t kMaxSide = 2'000'000;  // most room either side
    // A miss widens its side by half; each catch narrows it by 1/kShrink:
    // slowly enough that the window covers all but about one in 200.
    static constexpr int64_t kShrink = 256;
    enum class Caught { kPolled, kBefore, kAfter, kUnplanned };
    int64_t last = 0;                         // when the last delivery waited for was seen
    int64_t period = 0;                       // the stream's spacing, 0 until two were seen
    int64_t next = 0;                         // when the next delivery is due
    int64_t early = kMargin, late = kMargin;  // the window around a due time
    int64_t oversleep = 0;                    // how late a timed sleep ends, lately
    int steady = 0;                           // gaps that matched `period`, at most kSteady
    int missed = 0;                           // deliveries in a row that came outside the window
    int odd = 0;                              // gaps in a row that did not match `period`
#ifdef __linux__
    cpu_set_t allowed{};  // the thread's own CPUs, as read before its last poll (none: unknown)
#endif

    bool begin();
    void seen(int64_t at, int64_t due, Caught how);
    bool may_poll();
    bool step_aside(const Core* c);
    void step_back();
};

struct DriverObject {
    PyObject_HEAD PyObject* node;  // the INodeImp this driver feeds
    PyObject* cycle;               // type(node)._cycle, called unbound with (node, data)
    fm::VertexApi* direct;         // set when that is NodeImp's own: called in C++
    PyObject* running;             // Constants.States.RUNNING
    PyObject* sync;
    PyObject* async;
    PyObject* inherited;
    PyObject* current;  // the frame being processed (for _get_data)
    PyObject* thread;   // the worker of a decoupled node while it runs
    Core* core;
    uint64_t generation;           // a worker runs while this still equals its own
    PyThreadState* active_thread;  // which one, while `active`
    Py_ssize_t queue_bound;        // per input, for this run
    Py_ssize_t configured_bound;   // 0: the default, resolved at each start
    Overflow overflow = Overflow::kBlock;
    bool decoupled;
    bool anticipate;     // the worker polls around the due times of a steady stream
    bool in_run;         // started and not stopped since
    bool ran;            // started at least once: from then on a refused item is counted
    bool closing;        // a stop is under way: new items are refused, the queued ones run
    bool active;         // a thread is running the node's cycles
    bool setup_claimed;  // the event-only setup of this run is queued or done
};

// IPortImp: a port plus the driver of the node that owns it.
struct IPortObject {
    fm::PortObject base;
    PyObject* event_handler;
    PyObject* driver;  // DriverObject or NULL when the port belongs to no node
    Py_ssize_t index;  // this port's position in the driver's inputs
    // A TapImp that what reaches this port goes to instead of the node's
    // cycle (a node that only hands its input to a thread of its own), or
    // null. Read on every push without the port's section.
    fm::Published collector;
    // Whether what it keeps counts as the node's cycles: of a node's SYNC
    // inputs, which make one cycle per frame together, one port counts.
    int collector_counts;
};

inline DriverObject* driver(PyObject* o) {
    return fm::as<DriverObject>(o);
}
inline IPortObject* iport(PyObject* o) {
    return fm::as<IPortObject>(o);
}

// ------------------------------------------------------ input_driver.cpp
//
// A driver's state (its flags, Core's queues and counts) is read and changed
// under the driver's critical section, which the GIL build compiles away:
// `receive`, the worker and the driver's methods take it; every other entry
// point below expects the caller to hold it (fm::CriticalSection on the
// driver). It is let go around a node's cycle and while a thread waits.

int receive(PyObject* port, PyObject* value);
int claim_setup_and_run(DriverObject* d, fm::CriticalSection& cs);
int driver_start(PortsState* st, DriverObject* d);
int drain_for_stop(PortsState* st, DriverObject* d);
int driver_stop(PortsState* st, DriverObject* d);
int node_is_running(DriverObject* d);
void discard_queued(DriverObject* d);
int report_drops(PortsState* st, DriverObject* d, bool final);
extern PyType_Spec driver_spec;

// ------------------------------------------------------- _ports.cpp

int iport_traverse(PyObject* self, visitproc visit, void* arg);
int iport_clear(PyObject* self);

// ------------------------------------------------------- tap.cpp

int tap_push(PyObject* self, PyObject* value, int64_t* also);
extern PyType_Spec tap_spec;
extern PyType_Spec streams_spec;
PyObject* tap_columns(PyObject* module, PyObject* times, PyObject* values, PyObject* dt,
                      PyObject* last);

// ------------------------------------------------------- input_node.cpp

extern PyType_Spec inode_spec;
extern PyMethodDef inode_static_methods[];

}  // namespace fm::ports
