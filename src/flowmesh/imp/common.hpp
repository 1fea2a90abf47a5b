// Helpers every extension module of flowmesh.imp shares, first theme: owning
// references, module state and what it holds (lazily imported names, the
// Constants members the implementation reads, interned names). The second
// theme, calls in and out of the host and their errors, is calls.hpp.
// Header-only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <thread>
#include <type_traits>
#include <utility>
#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace fm {

// Shared state and the free-threaded build. Under the GIL, code that calls no
// Python code runs atomically; without it, that guarantee is given by:
//  - CriticalSection on the object that owns the state, around every region
//    that reads and changes it (the region runs no code that blocks, or
//    accepts that a block lets another thread in, as a GIL switch would);
//  - fields replaced whole (set_field_of) and read with a reference taken
//    under the owner's critical section (field_ref), or compared by identity
//    with one atomic load (peek);
//  - std::atomic (relaxed where only the value matters) for counters and flags.
// On the GIL build a critical section compiles to nothing and an atomic load
// or store of a word is a plain move.

// The owner's per-object lock while in scope (free-threaded build only). Like
// the host's own critical sections, it is released while the thread blocks
// and taken again afterwards, so it cannot deadlock; unlock()/lock() let a
// region call out (a node's cycle) without holding it. A call inside that
// locks the same object again (PyList_Append on the owner list) may park the
// thread on 3.13t and so let go of this one too: a check-then-change that
// must hold across such a call needs a mutex of its own (a PyMutex).
class CriticalSection {
  public:
    explicit CriticalSection(PyObject* owner) : owner_(owner) { lock(); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    ~CriticalSection() { unlock(); }

#ifdef Py_GIL_DISABLED
    void lock() {
        if (!held_) PyCriticalSection_Begin(&cs_, owner_);
        held_ = true;
    }
    void unlock() {
        if (held_) PyCriticalSection_End(&cs_);
        held_ = false;
    }

  private:
    PyCriticalSection cs_;
    bool held_ = false;
#else
    void lock() {}
    void unlock() {}

  private:
#endif
    PyObject* owner_;
};

// One atomic load of a field shared between threads, for an identity test or
// a decision; the pointer must not be dereferenced unless the caller holds a
// reference to the value by other means.
template <typename T>
inline T peek(T const& slot) {
    return std::atomic_ref<T>(const_cast<T&>(slot)).load(std::memory_order_acquire);
}
template <typename T>
inline void publish(T& slot, T value) {
    std::atomic_ref<T>(slot).store(value, std::memory_order_release);
}

// Counters written by one thread at a time and read by any (a monitor).
inline int64_t count_of(int64_t const& counter) {
    return std::atomic_ref<int64_t>(const_cast<int64_t&>(counter)).load(std::memory_order_relaxed);
}
inline void set_count(int64_t& counter, int64_t value) {
    std::atomic_ref<int64_t>(counter).store(value, std::memory_order_relaxed);
}
// One writer at a time (the element's cycle thread): a load and a store, no
// locked instruction.
inline void bump(int64_t& counter, int64_t delta = 1) {
    set_count(counter, count_of(counter) + delta);
}
// A counter that other threads may add to as well (a node's cycle counter,
// which an input port collecting for the node adds to): one atomic add
// without the GIL; under it, `bump`.
inline void bump_shared(int64_t& counter, int64_t delta = 1) {
#ifdef Py_GIL_DISABLED
    std::atomic_ref<int64_t>(counter).fetch_add(delta, std::memory_order_relaxed);
#else
    bump(counter, delta);
#endif
}

// Seconds on the clock of time.monotonic(); needs no attached thread state.
inline double monotonic_seconds() {
    PyTime_t now = 0;
    PyTime_MonotonicRaw(&now);  // cannot fail once the interpreter runs
    return PyTime_AsSecondsDouble(now);
}

// Nanoseconds on the same clock, for deadlines.
inline int64_t monotonic_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The cycle counter where there is one: a read costs a third of the
// monotonic clock's (a fifth in a virtual machine), which matters on paths
// that take well under a microsecond. Its rate is found by comparing two
// readings with the monotonic clock's.
inline uint64_t ticks() {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return static_cast<uint64_t>(monotonic_ns());
#endif
}

// Whether the cycle counter runs at one rate on every CPU: the kernel keeps
// time with it only then.
inline bool counter_is_a_clock() {
#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__))
    static const bool usable = [] {
        char name[32] = {};
        FILE* f =
            std::fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "r");
        if (!f) return false;
        bool read = std::fgets(name, sizeof name, f) != nullptr;
        std::fclose(f);
        return read && std::strncmp(name, "tsc\n", 4) == 0;
    }();
    return usable;
#else
    return false;
#endif
}

// A time stamp for spans well under a microsecond apart: the cycle counter
// where it is a clock, the monotonic clock's nanoseconds elsewhere.
inline uint64_t stamp() {
    return counter_is_a_clock() ? ticks() : static_cast<uint64_t>(monotonic_ns());
}

// Owning reference: the destructor releases it, so no early return can leak.
class Ref {
  public:
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (may be NULL: then an exception is pending).
    static Ref steal(PyObject* p) { return Ref(p); }
    // Adds a reference of its own to a borrowed one.
    static Ref borrow(PyObject* p) { return Ref(Py_XNewRef(p)); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }  // caller owns it now
    explicit operator bool() const { return p_ != nullptr; }
    void reset(PyObject* stolen = nullptr) {
        PyObject* old = std::exchange(p_, stolen);
        Py_XDECREF(old);
    }

  private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

inline Ref steal(PyObject* p) {
    return Ref::steal(p);
}
inline Ref borrow(PyObject* p) {
    return Ref::borrow(p);
}

// Replaces *slot with a new reference to value; the old value is released last,
// after the slot already holds the new one (a decref can run arbitrary code).
// For an object no other thread can reach yet, or a slot that only ever
// changes under a critical section the caller holds.
inline void set_field(PyObject** slot, PyObject* value) {
    PyObject* old = *slot;
    publish(*slot, Py_XNewRef(value));
    Py_XDECREF(old);
}

// set_field for a field of `owner` that other threads read: swapped under the
// owner's critical section, the old value released after it.
inline void set_field_of(PyObject* owner, PyObject** slot, PyObject* value) {
    PyObject* old;
    {
        CriticalSection cs(owner);
        old = *slot;
        publish(*slot, Py_XNewRef(value));
    }
    Py_XDECREF(old);
}

// Stores `value` unless the field holds one already; true when it stored.
inline bool set_field_if_unset(PyObject* owner, PyObject** slot, PyObject* value) {
    CriticalSection cs(owner);
    if (*slot && *slot != Py_None) return false;
    PyObject* old = *slot;
    publish(*slot, Py_XNewRef(value));
    Py_XDECREF(old);  // None: cannot run code
    return true;
}

// A new reference to a field of `owner` that other threads may replace.
inline Ref field_ref(PyObject* owner, PyObject* const* slot) {
    CriticalSection cs(owner);
    return Ref::borrow(*slot);
}

// The same, None for a field never set (or deleted).
inline Ref field_or_none(PyObject* owner, PyObject* const* slot) {
    Ref value = field_ref(owner, slot);
    return value ? std::move(value) : Ref::borrow(Py_None);
}

// A field that a hot path reads without the owner's lock: an immutable object
// (a tuple) replaced whole. A reader counts itself in `readers` only for the
// instant between loading the field and taking its reference, which runs no
// code; a writer, after the swap, waits until no reader is in that instant
// before the old value may be released. Readers never wait; a writer (rare:
// a handler changed) waits a few instructions at most. Under the GIL, a plain
// field.
struct Published {
    PyObject* value;
    uint32_t readers;
};

inline Ref published_ref(Published& slot) {
#ifdef Py_GIL_DISABLED
    // seq_cst: either the writer sees this reader counted, or the reader sees
    // the new value.
    std::atomic_ref<uint32_t> readers(slot.readers);
    readers.fetch_add(1, std::memory_order_seq_cst);
    PyObject* v = std::atomic_ref<PyObject*>(slot.value).load(std::memory_order_seq_cst);
    Py_XINCREF(v);
    readers.fetch_sub(1, std::memory_order_release);
    return steal(v);
#else
    return borrow(slot.value);
#endif
}

// Swaps in a new reference to `value` and returns the old one, which no
// reader can still be about to take: the caller releases it once it holds no
// lock (a decref can run arbitrary code). Writers hold the owner's critical
// section.
[[nodiscard]] inline Ref replace_published(Published& slot, PyObject* value) {
#ifdef Py_GIL_DISABLED
    PyObject* old = std::atomic_ref<PyObject*>(slot.value)
                        .exchange(Py_XNewRef(value), std::memory_order_seq_cst);
    std::atomic_ref<uint32_t> readers(slot.readers);
    while (readers.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
    return steal(old);
#else
    return steal(std::exchange(slot.value, Py_XNewRef(value)));
#endif
}

// Equality with the host's semantics; identity short-cuts inside. -1 on error.
inline int equal(PyObject* a, PyObject* b) {
    return PyObject_RichCompareBool(a, b, Py_EQ);
}

// Looks up a dotted attribute path in a module: resolve("flowmesh.constants",
// "Constants.LogTypes.ERROR"). New reference, or nullptr with an exception.
inline PyObject* resolve(const char* module, const char* path) {
    Ref cur = steal(PyImport_ImportModule(module));
    if (!cur || !path || !*path) return cur.release();
    const char* p = path;
    while (*p) {
        const char* dot = p;
        while (*dot && *dot != '.') ++dot;
        Ref name = steal(PyUnicode_FromStringAndSize(p, dot - p));
        if (!name) return nullptr;
        cur = steal(PyObject_GetAttr(cur.get(), name.get()));
        if (!cur) return nullptr;
        p = *dot ? dot + 1 : dot;
    }
    return cur.release();
}

// A name imported on first use and kept in module state: modules import each
// other's packages lazily because the facade and the implementation modules
// refer to each other.
struct Lazy {
    const char* module;
    const char* path;
    PyObject* value = nullptr;

    // Borrowed reference owned by this slot, or nullptr with an exception set.
    PyObject* get() {
        if (PyObject* v = peek(value)) return v;
        return first_get();
    }
    [[gnu::noinline]] PyObject* first_get() {
        PyObject* v = resolve(module, path);
        if (!v) return nullptr;
        return keep(v);
    }
    // Stores a new reference `v` unless another thread stored one first (while
    // an import ran); the slot's value either way.
    PyObject* keep(PyObject* v) {
        PyObject* expected = nullptr;
        if (std::atomic_ref<PyObject*>(value).compare_exchange_strong(expected, v,
                                                                      std::memory_order_acq_rel))
            return v;
        Py_DECREF(v);
        return expected;
    }
    int traverse(visitproc visit, void* arg) {
        Py_VISIT(value);
        return 0;
    }
    void clear() { Py_CLEAR(value); }
};

// `field == value` for a field that usually holds `value` itself: identity
// first, and a field never set equals nothing. 1, 0, or -1 with an exception.
inline int same_or_equal(PyObject* field, PyObject* value) {
    if (field == value) return 1;
    return field ? equal(field, value) : 0;
}

// A member of flowmesh.constants.Constants, imported on first use.
struct Constant : Lazy {
    bool enumerated = false;  // a member of an enumeration: equal only to itself

    explicit Constant(const char* path) : Lazy{"flowmesh.constants", path} {}

    PyObject* get() {
        if (PyObject* v = peek(value)) return v;
        return first_get();
    }
    [[gnu::noinline]] PyObject* first_get() {
        Ref v = steal(resolve(module, path));
        Ref enum_type = v ? steal(resolve("enum", "EnumType")) : Ref();
        if (!enum_type) return nullptr;
        int is_enum =
            PyObject_IsInstance(reinterpret_cast<PyObject*>(Py_TYPE(v.get())), enum_type.get());
        if (is_enum < 0) return nullptr;
        // Written before the value is published, and the same in every thread.
        std::atomic_ref<bool>(enumerated).store(is_enum, std::memory_order_relaxed);
        return keep(v.release());
    }

    // matches() for a field of `owner` that other threads may replace. Decided
    // by identity when the field holds this member or one of `others` (the
    // members it usually holds), with no reference taken; otherwise on a
    // reference taken under the owner's critical section.
    template <typename... Others>
    int matches_field(PyObject* owner, PyObject* const* slot, Others&... others) {
        PyObject* c = get();
        if (!c) return -1;
        PyObject* v = peek(*slot);
        if (v == c) return 1;
        for (Constant* other : {&others...}) {
            PyObject* m = other->get();
            if (!m) return -1;
            if (v == m) return 0;
        }
        return matches_held(owner, slot);
    }
    [[gnu::noinline]] int matches_held(PyObject* owner, PyObject* const* slot) {
        Ref held = field_ref(owner, slot);
        return matches(held.get());
    }

    // `field == member`, where a field never set equals nothing. Two members of
    // one enumeration are equal only when they are the same object (equal
    // values are aliases), which spares a comparison on a cycle's checks.
    // 1, 0, or -1 with an exception when the member cannot be imported.
    int matches(PyObject* field) {
        PyObject* c = get();
        if (!c) return -1;
        if (field && field != c &&
            std::atomic_ref<bool>(enumerated).load(std::memory_order_relaxed) &&
            Py_TYPE(field) == Py_TYPE(c))
            return 0;
        return same_or_equal(field, c);
    }
};

// Module state of a module object, or of the module that defined a heap type.
template <typename State>
inline State* module_state(PyObject* module) {
    return static_cast<State*>(PyModule_GetState(module));
}
template <typename State>
inline State* class_state(PyTypeObject* defining_class) {
    return static_cast<State*>(PyType_GetModuleState(defining_class));
}
// The state of the module whose definition made the type of `self` (or one of
// its bases), or nullptr with the error set.
template <typename State>
inline State* instance_state(PyObject* self, PyModuleDef* def) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), def);
    return module ? module_state<State>(module) : nullptr;
}

// GC support for module state (and object layouts). A struct lists every
// reference it owns once, in `template <typename F> int refs(F f) { return
// f(a, b, lazy, ...); }` (PyObject* members, arrays of them and Lazy slots);
// a module def takes fm::traverse_state<S> / fm::clear_state<S> /
// fm::free_state<S>, a type's slots call visit_refs / clear_refs.
inline int visit_ref(PyObject*& ref, visitproc visit, void* arg) {
    Py_VISIT(ref);
    return 0;
}
inline int visit_ref(Lazy& lazy, visitproc visit, void* arg) {
    return lazy.traverse(visit, arg);
}
template <size_t N>
inline int visit_ref(PyObject* (&refs)[N], visitproc visit, void* arg) {
    for (PyObject*& ref : refs) Py_VISIT(ref);
    return 0;
}
inline void clear_ref(PyObject*& ref) {
    Py_CLEAR(ref);
}
inline void clear_ref(Lazy& lazy) {
    lazy.clear();
}
template <size_t N>
inline void clear_ref(PyObject* (&refs)[N]) {
    for (PyObject*& ref : refs) Py_CLEAR(ref);
}

// Visits or clears every reference a struct lists in refs().
template <typename S>
inline int visit_refs(S& st, visitproc visit, void* arg) {
    return st.refs([&](auto&... ref) {
        int r = 0;
        (void)((r = visit_ref(ref, visit, arg)) || ...);  // stops at the first non-zero
        return r;
    });
}
template <typename S>
inline void clear_refs(S& st) {
    st.refs([](auto&... ref) {
        (clear_ref(ref), ...);
        return 0;
    });
}

template <typename State>
inline int traverse_state(PyObject* module, visitproc visit, void* arg) {
    State* st = module_state<State>(module);
    return st ? visit_refs(*st, visit, arg) : 0;
}
// A state that holds more than references (a registration with the
// interpreter) gives it back in release(), which runs once the references
// are cleared and must be harmless when run again.
template <typename State>
inline int clear_state(PyObject* module) {
    State* st = module_state<State>(module);
    if (st) {
        clear_refs(*st);
        if constexpr (requires(State& s) { s.release(); }) st->release();
    }
    return 0;
}
template <typename State>
inline void free_state(void* module) {
    clear_state<State>(static_cast<PyObject*>(module));
}

// Module set-up. Every module runs one exec step, keeps its state per
// interpreter (so it loads in subinterpreters with their own GIL) and does not
// need the GIL. The host keeps pointers to the definition, so each module holds
// it in a static object:
//   PyModuleDef m = fm::module_def<S>(name, doc, fm::module_slots<exec>, methods);
// with S = void for a module without state.
template <int (*Exec)(PyObject*)>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};
template <typename State>
constexpr PyModuleDef module_def(const char* name, const char* doc, PyModuleDef_Slot* slots,
                                 PyMethodDef* methods = nullptr) {
    PyModuleDef def = {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = name,
        .m_doc = doc,
        .m_size = 0,
        .m_methods = methods,
        .m_slots = slots,
        .m_traverse = nullptr,
        .m_clear = nullptr,
        .m_free = nullptr,
    };
    if constexpr (!std::is_void_v<State>) {
        def.m_size = sizeof(State);
        def.m_traverse = traverse_state<State>;
        def.m_clear = clear_state<State>;
        def.m_free = free_state<State>;
    }
    return def;
}

// A heap type of the module from its spec, deriving from `base` (nullptr: from
// object). New reference, or nullptr with the error set.
inline PyObject* type_from_spec(PyObject* module, PyType_Spec* spec, PyObject* base) {
    Ref bases = steal(base ? PyTuple_Pack(1, base) : nullptr);
    if (base && !bases) return nullptr;
    return PyType_FromModuleAndSpec(module, spec, bases.get());
}

// The Constants members the implementation reads, each named once. Every
// module state holds the set as `c` (st->c.running); a slot imports its
// member when first read.
struct Constants {
    static constexpr const char* kError = "Constants.Conditions.ERROR";

    Constant stopped{"Constants.States.STOPPED"};
    Constant running{"Constants.States.RUNNING"};
    Constant healthy{"Constants.Conditions.HEALTHY"};
    Constant warning{"Constants.Conditions.WARNING"};
    Constant error{kError};
    Constant log_info{"Constants.LogTypes.INFO"};
    Constant log_warning{"Constants.LogTypes.WARNING"};
    Constant log_error{"Constants.LogTypes.ERROR"};
    Constant sync{"Constants.Timing.SYNC"};
    Constant async{"Constants.Timing.ASYNC"};
    Constant inherited{"Constants.Timing.INHERITED"};
    Constant port_out{"Constants.Defaults.PORT_OUT"};
    Constant port_in{"Constants.Defaults.PORT_IN"};

    template <typename F>
    int refs(F f) {
        return f(stopped, running, healthy, warning, error, log_info, log_warning, log_error, sync,
                 async, inherited, port_out, port_in);
    }
};
inline int visit_ref(Constants& c, visitproc visit, void* arg) {
    return visit_refs(c, visit, arg);
}
inline void clear_ref(Constants& c) {
    clear_refs(c);
}

// A module's interned names, listed once as an X-macro:
//
//     #define FM_WORKER_NAMES(X) X(Keys) X(name) X(write)
//     FM_NAME_TABLE(FM_WORKER_NAMES);
//
// declares `enum Name { N_Keys, N_name, N_write, N_COUNT }`, their texts and
// `NameTable`, which the module state holds as `n` (read as st->n(N_Keys)),
// lists in refs() and fills with n.intern() when the module executes.
template <typename Name, size_t N>
struct Names {
    PyObject* slots[N] = {};

    PyObject* operator()(Name id) const { return slots[id]; }
    // -1 with an exception.
    int intern(const char* const (&texts)[N]) {
        for (size_t i = 0; i < N; ++i)
            if (!(slots[i] = PyUnicode_InternFromString(texts[i]))) return -1;
        return 0;
    }
};
template <typename Name, size_t N>
inline int visit_ref(Names<Name, N>& names, visitproc visit, void* arg) {
    return visit_ref(names.slots, visit, arg);
}
template <typename Name, size_t N>
inline void clear_ref(Names<Name, N>& names) {
    clear_ref(names.slots);
}

#define FM_NAME_ENUM(n) N_##n,
#define FM_NAME_TEXT(n) #n,
#define FM_NAME_TABLE(LIST)                                             \
    enum Name : size_t { LIST(FM_NAME_ENUM) N_COUNT };                  \
    inline const char* const kNameText[N_COUNT] = {LIST(FM_NAME_TEXT)}; \
    struct NameTable : ::fm::Names<Name, N_COUNT> {                     \
        int intern() { return Names::intern(kNameText); }               \
    }

// A tuple of interned names, e.g. the keyword names of a vectorcall.
inline Ref names_tuple(std::initializer_list<const char*> names) {
    Ref t = steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!t) return {};
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* s = PyUnicode_InternFromString(name);
        if (!s) return {};
        PyTuple_SET_ITEM(t.get(), i++, s);
    }
    return t;
}

}  // namespace fm
