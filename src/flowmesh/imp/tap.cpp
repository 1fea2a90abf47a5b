// TapImp: an input port of no node that keeps the last `keep` values pushed
// to it, each with its arrival time, for a reader on another thread (the
// monitor's plot, a recorder's writer). The data path stores into it in C++
// (push() in _ports.cpp, or an input port collecting into it), so a tapped
// port costs its producer a read of the cycle counter and a store. The ticks
// become times on the monotonic clock when they are taken, between two
// readings of both (an anchor) that bracket them: the tap's start or last take,
// and the take itself.
//
// The ring changes only under the tap's critical section and with no Python
// code run inside it (no call, no release of a reference, no allocation of a
// Python object): a value given way is released after the section, whose
// finaliser may push here again or drop the tap's last other reference.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "input_side.hpp"

namespace fm::ports {

namespace {

struct Kept {
    uint64_t tick;
    PyObject* value;  // owned
};

// A reading of the stamps' clock and of the monotonic clock at one moment.
struct Anchor {
    uint64_t tick = 0;
    double time = 0.0;
};

// Both clocks, read as close together as three tries allow.
Anchor anchor_now() {
    Anchor best{fm::stamp(), fm::monotonic_seconds()};
    uint64_t spread = UINT64_MAX;
    for (int i = 0; i < 3; ++i) {
        uint64_t before = fm::stamp();
        double time = fm::monotonic_seconds();
        uint64_t after = fm::stamp();
        if (after >= before && after - before < spread) {  // not moved to a CPU behind
            spread = after - before;
            best = {before + spread / 2, time};
        }
    }
    return best;
}

// The time of `tick` on the line through two anchors; `from` was read first.
double time_of(uint64_t tick, const Anchor& from, const Anchor& to) {
    if (to.tick <= from.tick) return to.time;
    double per_tick = (to.time - from.time) / static_cast<double>(to.tick - from.tick);
    return to.time - static_cast<double>(to.tick - std::min(tick, to.tick)) * per_tick;
}

struct TapObject {
    IPortObject base;
    Kept* ring;   // `keep` slots, PyMem; null after tp_clear
    Kept* spare;  // `keep` empty slots that the next take() swaps in, or null
    Py_ssize_t keep;
    Py_ssize_t head;      // the oldest kept value's slot
    Py_ssize_t count;     // values kept
    int64_t arrived;      // pushed while open, kept or not
    int64_t overwritten;  // kept, then given way to a newer one before a take()
    uint64_t last_tick;   // no stamp is older than one before it (CPUs differ slightly)
    Anchor since;         // read before every kept stamp
    int open;             // read without the section on the data path
    // A tap that may decimate keeps 1 value in `stride` (a power of two), set
    // at each take from how many arrived since the one before, so that a
    // stream far faster than its reader fills the ring evenly instead of
    // overwriting it hundreds of times: the values given way cost their
    // producer neither a clock read nor a store. Never for a recorder.
    int decimate;
    uint32_t stride;
    uint32_t phase;
    int64_t arrived_at_take;
};

TapObject* tap(PyObject* o) {
    return fm::as<TapObject>(o);
}

// A new anchor, before every stamp still to come; the old one is returned.
// Under the tap's critical section.
Anchor reanchor(TapObject* t) {
    Anchor old = std::exchange(t->since, anchor_now());
    t->last_tick = std::max(t->last_tick, t->since.tick);
    return old;
}

constexpr Py_ssize_t kDefaultKeep = 4096;

// A ring taken out of a tap, with the values it keeps: the values not handed
// on are released and the storage freed when it goes, after the critical
// section it was taken under.
struct Detached {
    Kept* ring = nullptr;
    Py_ssize_t keep = 0;
    Py_ssize_t head = 0;
    Py_ssize_t count = 0;

    Detached() = default;
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;
    Kept& at(Py_ssize_t i) { return ring[(head + i) % keep]; }
    ~Detached() {
        for (Py_ssize_t i = 0; i < count; ++i) Py_XDECREF(at(i).value);
        PyMem_Free(ring);
    }
};

// Moves the tap's ring into `out` and gives the tap `replacement` (`keep`
// empty slots, or null with keep 0). Runs no Python code.
void swap_ring(TapObject* t, Detached& out, Kept* replacement, Py_ssize_t keep) {
    out.ring = t->ring;
    out.keep = t->keep;
    out.head = t->head;
    out.count = t->count;
    t->ring = replacement;
    t->keep = keep;
    t->head = 0;
    t->count = 0;
}

}  // namespace

// The data path's store: no Python code runs unless a value given way was
// the last reference to it. `also` (a node's cycle counter, for an input port
// collecting here) counts what arrives while open.
// Not inlined into the method below: GCC 12 then misreads the field's atomic
// load as a write out of bounds (-Wstringop-overflow).
[[gnu::noinline]] int tap_push(PyObject* self, PyObject* value, int64_t* also) {
    TapObject* t = tap(self);
    if (!fm::peek(t->open)) return 0;
    PyObject* old = nullptr;
    {
        fm::CriticalSection cs(self);
        if (!t->open) return 0;
        fm::bump(t->arrived);
        if (also) fm::bump_shared(*also);
        if (t->keep == 0) return 0;
        if ((++t->phase & (t->stride - 1)) != 0) return 0;  // stride 1: every value
        // Read under the section, so that concurrent pushes keep their times in order.
        uint64_t now = fm::stamp();
        if (now < t->last_tick) now = t->last_tick;
        t->last_tick = now;
        // Wrapped by a comparison: a division here would cost more than the store.
        Kept* slot;
        if (t->count == t->keep) {
            slot = &t->ring[t->head];
            if (++t->head == t->keep) t->head = 0;
            fm::bump(t->overwritten);
        } else {
            Py_ssize_t next = t->head + t->count;
            slot = &t->ring[next < t->keep ? next : next - t->keep];
            ++t->count;
        }
        old = slot->value;
        *slot = {now, Py_NewRef(value)};
    }
    Py_XDECREF(old);
    return 0;
}

namespace {

int tap_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"config", "keep", "decimate"};
    PyObject* a[] = {nullptr, nullptr, nullptr};
    if (!fm::parse_args("TapImp", args, kwds, names, a, 1)) return -1;
    int decimate = a[2] ? PyObject_IsTrue(a[2]) : 0;
    if (decimate < 0) return -1;
    fm::Ref config = fm::borrow(a[0]);
    Py_ssize_t keep = kDefaultKeep;
    if (a[1]) {
        if (!PyLong_Check(a[1])) {
            PyErr_Format(PyExc_TypeError, "keep must be an int, not %s", Py_TYPE(a[1])->tp_name);
            return -1;
        }
        keep = PyLong_AsSsize_t(a[1]);
        if (keep == -1 && PyErr_Occurred()) return -1;
        if (keep < 1) {
            PyErr_Format(PyExc_ValueError, "keep must be at least 1, not %zd", keep);
            return -1;
        }
    }
    Kept* ring = static_cast<Kept*>(PyMem_Calloc(static_cast<size_t>(keep), sizeof(Kept)));
    if (!ring) {
        PyErr_NoMemory();
        return -1;
    }
    PortsState* st = fm::instance_state<PortsState>(self, &ports_module);
    fm::Ref base_args = fm::steal(st ? PyTuple_Pack(1, config.get()) : nullptr);
    if (!base_args || fm::init_base(st->tap_type, self, base_args.get(), nullptr) < 0) {
        PyMem_Free(ring);
        return -1;
    }
    Detached gone, spare;  // a second __init__ starts empty and closed
    {
        fm::CriticalSection cs(self);
        TapObject* t = tap(self);
        swap_ring(t, gone, ring, keep);
        spare.ring = std::exchange(t->spare, nullptr);
        fm::set_count(t->arrived, 0);
        fm::set_count(t->overwritten, 0);
        t->decimate = decimate;
        t->stride = 1;
        t->phase = 0;
        t->arrived_at_take = 0;
        t->last_tick = 0;
        reanchor(t);
        fm::publish(t->open, 0);
    }
    return 0;
}

// take(): the kept values' times as an array('d') and the values as a list,
// oldest first: columns, so that a reader of thousands of numbers converts
// each in one go (numpy reads the times without a copy).
PyObject* tap_take(PyObject* self, PyObject* /*unused*/) {
    PortsState* st = fm::instance_state<PortsState>(self, &ports_module);
    PyObject* array_class = st ? st->array_class.get() : nullptr;
    if (!array_class) return nullptr;
    Detached taken;
    Anchor from, to;
    {
        // The ring changes hands whole: swapping costs less than copying out
        // the values, and the producer never waits for the columns below. The
        // ring swapped in is the one the last take emptied, whose pages the
        // data path has touched already.
        fm::CriticalSection cs(self);
        TapObject* t = tap(self);
        if (t->count > 0) {
            Kept* fresh = std::exchange(t->spare, nullptr);
            if (!fresh)
                fresh =
                    static_cast<Kept*>(PyMem_Calloc(static_cast<size_t>(t->keep), sizeof(Kept)));
            if (!fresh) return PyErr_NoMemory();
            swap_ring(t, taken, fresh, t->keep);
        }
        if (t->decimate) {
            // As many as arrived since the last take, in half the ring.
            int64_t arrived = fm::count_of(t->arrived);
            int64_t wanted = (arrived - t->arrived_at_take) / std::max<Py_ssize_t>(t->keep / 2, 1);
            t->arrived_at_take = arrived;
            uint32_t stride = 1;
            while (stride < (1u << 20) && stride <= wanted) stride <<= 1;
            t->stride = stride;
        }
        // After the swap: every stamp taken is older than `to`, every later one newer.
        from = reanchor(t);
        to = t->since;
    }
    fm::Ref raw = fm::steal(
        PyBytes_FromStringAndSize(nullptr, taken.count * static_cast<Py_ssize_t>(sizeof(double))));
    fm::Ref values = fm::steal(raw ? PyList_New(taken.count) : nullptr);
    if (!values) return nullptr;
    auto* times = reinterpret_cast<double*>(PyBytes_AS_STRING(raw.get()));
    for (Py_ssize_t i = 0; i < taken.count; ++i) {
        Kept& item = taken.at(i);
        times[i] = time_of(item.tick, from, to);
        PyList_SET_ITEM(values.get(), i, std::exchange(item.value, nullptr));  // handed on
    }
    // Every slot is empty now: the ring is the next take's spare, unless the
    // tap was cleared or given another size meanwhile.
    {
        fm::CriticalSection cs(self);
        TapObject* t = tap(self);
        if (taken.ring && !t->spare && t->ring && t->keep == taken.keep) {
            t->spare = std::exchange(taken.ring, nullptr);
            taken.count = 0;
        }
    }
    fm::Ref column = fm::steal(PyObject_CallFunction(array_class, "sO", "d", raw.get()));
    if (!column) return nullptr;
    return PyTuple_Pack(2, column.get(), values.get());
}

PyObject* tap_set_open(PyObject* self, bool open) {
    fm::CriticalSection cs(self);
    TapObject* t = tap(self);
    // Kept values older than a new anchor would lie outside the bracket.
    if (open && t->count == 0) reanchor(t);
    fm::publish(t->open, int{open});
    Py_RETURN_NONE;
}

PyObject* tap_start(PyObject* self, PyObject* /*unused*/) {
    return tap_set_open(self, true);
}

PyObject* tap_stop(PyObject* self, PyObject* /*unused*/) {
    return tap_set_open(self, false);
}

PyObject* tap_push_method(PyObject* self, PyObject* value) {
    fm::Ref hold = fm::borrow(self);  // a finaliser run by the push may drop the caller's
    if (tap_push(hold.get(), value, nullptr) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* tap_get_last(PyObject* self, void* /*closure*/) {
    double time = 0;
    fm::Ref value;
    {
        fm::CriticalSection cs(self);
        TapObject* t = tap(self);
        if (t->count > 0) {
            const Kept& newest = t->ring[(t->head + t->count - 1) % t->keep];
            time = time_of(newest.tick, t->since, anchor_now());
            value = fm::borrow(newest.value);
        }
    }
    if (!value) Py_RETURN_NONE;
    return Py_BuildValue("(dO)", time, value.get());
}

PyObject* tap_get_arrived(PyObject* self, void* /*closure*/) {
    return PyLong_FromLongLong(fm::count_of(tap(self)->arrived));
}

PyObject* tap_get_overwritten(PyObject* self, void* /*closure*/) {
    return PyLong_FromLongLong(fm::count_of(tap(self)->overwritten));
}

PyObject* tap_get_stride(PyObject* self, void* /*closure*/) {
    fm::CriticalSection cs(self);
    return PyLong_FromUnsignedLong(tap(self)->stride);
}

PyObject* tap_get_context(PyObject* self, void* /*closure*/) {
    fm::Ref context = fm::field_ref(self, &fm::as<fm::PortObject>(self)->context);
    if (!context || !PyDict_Check(context.get())) Py_RETURN_NONE;
    return context.release();
}

int tap_traverse(PyObject* self, visitproc visit, void* arg) {
    TapObject* t = tap(self);
    for (Py_ssize_t i = 0; t->ring && i < t->count; ++i)
        Py_VISIT(t->ring[(t->head + i) % t->keep].value);
    return iport_traverse(self, visit, arg);
}

int tap_clear(PyObject* self) {
    {
        Detached gone, spare;  // the spare ring holds no value: freed only
        fm::CriticalSection cs(self);
        swap_ring(tap(self), gone, nullptr, 0);
        spare.ring = std::exchange(tap(self)->spare, nullptr);
    }  // the section ends before the values go: `gone` was declared first
    return iport_clear(self);
}

PyMethodDef tap_methods[] = {
    {"push", tap_push_method, METH_O,
     PyDoc_STR("push(value)\n--\n\nKeep `value` with its arrival time while open.")},
    {"take", tap_take, METH_NOARGS,
     PyDoc_STR("take()\n--\n\n(times, values): the kept values' times as an array('d') and "
               "the values as a list, oldest first; none kept after.")},
    {"start", tap_start, METH_NOARGS, PyDoc_STR("start()\n--\n\nOpen: keep what arrives.")},
    {"stop", tap_stop, METH_NOARGS, PyDoc_STR("stop()\n--\n\nClose: ignore what arrives.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tap_getset[] = {
    {"last", tap_get_last, nullptr,
     PyDoc_STR("The newest kept (time, value), or None when none is kept."), nullptr},
    {"arrived", tap_get_arrived, nullptr, PyDoc_STR("Values pushed while open, kept or not."),
     nullptr},
    {"overwritten", tap_get_overwritten, nullptr,
     PyDoc_STR("Values kept, then given way to newer ones before any take()."), nullptr},
    {"stride", tap_get_stride, nullptr,
     PyDoc_STR("1 in how many values arriving is kept: 1 unless the tap decimates."), nullptr},
    {"context", tap_get_context, nullptr,
     PyDoc_STR("The context dict that reached the tap, or None."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tap_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("TapImp(config, keep=4096, decimate=False)\n--\n\nAn input port of no "
                       "node that keeps the last `keep` values pushed to it, with their times on "
                       "the clock of time.monotonic(); one that may `decimate` keeps 1 value in "
                       "a power of two when more than half of `keep` arrive between two takes.")},
    {Py_tp_init, reinterpret_cast<void*>(tap_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(tap_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(tap_clear)},
    {Py_tp_methods, tap_methods},
    {Py_tp_getset, tap_getset},
    {0, nullptr},
};

}  // namespace

// columns(times, values, dt, last): plain numbers taken from a tap, reduced
// to the min and max of each column of `dt` seconds, as the monitor's trace
// draws them: (numbers, lows, highs), an array('q') and two array('d'), or
// None when a value is not exactly a float or an int that a float holds.
// Times are made non-decreasing and a sample before column `last` (None: no
// column yet) is dropped. NaN counts only in a column of nothing else, as
// numpy's fmin and fmax have it. In C++ because numpy lets go of the GIL
// around loops of more than a few hundred items, and on a busy pipeline each
// time the reader then waits for the GIL costs the pipeline's threads a switch.
PyObject* tap_columns(PyObject* module, PyObject* times, PyObject* values, PyObject* dt_obj,
                      PyObject* last_obj) {
    PortsState* st = fm::module_state<PortsState>(module);
    PyObject* array_class = st->array_class.get();
    if (!array_class) return nullptr;
    if (!PyList_Check(values))
        return PyErr_Format(PyExc_TypeError, "values must be a list, not %s",
                            Py_TYPE(values)->tp_name);
    double dt = PyFloat_AsDouble(dt_obj);
    if (dt == -1.0 && PyErr_Occurred()) return nullptr;
    if (!(dt > 0)) return PyErr_Format(PyExc_ValueError, "dt must be > 0");
    bool bounded = last_obj != Py_None;
    long long last = bounded ? PyLong_AsLongLong(last_obj) : 0;
    if (last == -1 && PyErr_Occurred()) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(times, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    if (!view.format || std::strcmp(view.format, "d") != 0)
        return PyErr_Format(PyExc_TypeError, "times must be a buffer of doubles");
    Py_ssize_t n = view.len / static_cast<Py_ssize_t>(sizeof(double));
    const double* t = static_cast<const double*>(view.buf);
    std::vector<long long> numbers;
    std::vector<double> lows, highs;
    try {
        fm::CriticalSection cs(values);  // its items are borrowed
        if (n != PyList_GET_SIZE(values))
            return PyErr_Format(PyExc_ValueError, "%zd times for %zd values", n,
                                PyList_GET_SIZE(values));
        double floor_bin = -HUGE_VAL;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyList_GET_ITEM(values, i);
            double v;
            if (PyFloat_CheckExact(item)) {
                v = PyFloat_AS_DOUBLE(item);
            } else if (PyLong_CheckExact(item)) {
                v = PyLong_AsDouble(item);
                if (v == -1.0 && PyErr_Occurred()) {
                    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return nullptr;
                    PyErr_Clear();  // too large for a float: the caller's general path says so
                    Py_RETURN_NONE;
                }
            } else {
                Py_RETURN_NONE;
            }
            double b = std::floor(t[i] / dt);
            if (!(b >= floor_bin)) b = floor_bin;  // a NaN time, or a CPU slightly behind
            floor_bin = b;
            if (!(b > -9.2e18 && b < 9.2e18)) continue;  // no column can hold it
            auto bin = static_cast<long long>(b);
            if (bounded && bin < last) continue;  // before the open column: too late to draw
            if (numbers.empty() || numbers.back() != bin) {
                numbers.push_back(bin);
                lows.push_back(v);
                highs.push_back(v);
            } else {
                lows.back() = std::fmin(lows.back(), v);
                highs.back() = std::fmax(highs.back(), v);
            }
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    auto column = [&](const char* code, const void* data, size_t bytes) -> fm::Ref {
        fm::Ref raw = fm::steal(PyBytes_FromStringAndSize(static_cast<const char*>(data),
                                                          static_cast<Py_ssize_t>(bytes)));
        if (!raw) return {};
        return fm::steal(PyObject_CallFunction(array_class, "sO", code, raw.get()));
    };
    fm::Ref a = column("q", numbers.data(), numbers.size() * sizeof(long long));
    fm::Ref b = a ? column("d", lows.data(), lows.size() * sizeof(double)) : fm::Ref();
    fm::Ref c = b ? column("d", highs.data(), highs.size() * sizeof(double)) : fm::Ref();
    if (!c) return nullptr;
    return PyTuple_Pack(3, a.get(), b.get(), c.get());
}

PyType_Spec tap_spec = {
    .name = "flowmesh.imp.TapImp",
    .basicsize = sizeof(TapObject),
    .itemsize = 0,
    .flags = fm::kTypeFlags,
    .slots = tap_slots,
};

}  // namespace fm::ports
