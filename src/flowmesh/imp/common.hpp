// Internal helpers shared by every extension module of flowmesh.imp.
// Everything here is header-only; keep it small.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>

namespace fm {

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
inline void set_field(PyObject** slot, PyObject* value) {
    PyObject* old = *slot;
    *slot = Py_XNewRef(value);
    Py_XDECREF(old);
}

// Exact-type argument check with the host's wording, e.g.
// "Argument 'data' has incorrect type (expected dict, got list)".
inline bool check_exact(PyObject* obj, PyTypeObject* type, const char* name, bool none_ok = false) {
    if (Py_IS_TYPE(obj, type) || (none_ok && obj == Py_None)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %s)", name,
                 type->tp_name, Py_TYPE(obj)->tp_name);
    return false;
}

// Instance check for an argument that may be any subclass of a string.
inline bool check_str(PyObject* obj, const char* name) {
    if (PyUnicode_Check(obj)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected str, got %s)", name,
                 Py_TYPE(obj)->tp_name);
    return false;
}

// `raise <new> from cause`: `cause` is an exception taken earlier with
// PyErr_GetRaisedException(); the new exception must already be set.
inline void chain_cause(Ref cause) {
    if (!cause) return;
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    PyException_SetContext(exc, Py_NewRef(cause.get()));
    PyException_SetCause(exc, cause.release());  // steals
    PyErr_SetRaisedException(exc);
}

// Raises `type` with a formatted message, caused by `cause`. Always returns nullptr.
inline PyObject* raise_from(Ref cause, PyObject* type, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    PyObject* msg = PyUnicode_FromFormatV(fmt, va);
    va_end(va);
    if (msg) {
        PyErr_SetObject(type, msg);
        Py_DECREF(msg);
        chain_cause(std::move(cause));
    }
    return nullptr;
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
        if (value) return value;
        PyObject* v = resolve(module, path);
        if (!v) return nullptr;
        if (value)  // another thread resolved it while the import ran
            Py_DECREF(v);
        else
            value = v;
        return value;
    }
    int traverse(visitproc visit, void* arg) {
        Py_VISIT(value);
        return 0;
    }
    void clear() { Py_CLEAR(value); }
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

// GC support for module state. A state struct lists every reference it owns
// once, in `template <typename F> int refs(F f) { return f(a, b, lazy, ...); }`
// (PyObject* members, arrays of them and Lazy slots), and the module def takes
// fm::traverse_state<S> / fm::clear_state<S> / fm::free_state<S>.
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

template <typename State>
inline int traverse_state(PyObject* module, visitproc visit, void* arg) {
    State* st = module_state<State>(module);
    if (!st) return 0;
    return st->refs([&](auto&... ref) {
        int r = 0;
        (void)((r = visit_ref(ref, visit, arg)) || ...);  // stops at the first non-zero
        return r;
    });
}
template <typename State>
inline int clear_state(PyObject* module) {
    State* st = module_state<State>(module);
    if (!st) return 0;
    return st->refs([](auto&... ref) {
        (clear_ref(ref), ...);
        return 0;
    });
}
template <typename State>
inline void free_state(void* module) {
    clear_state<State>(static_cast<PyObject*>(module));
}

// A field never set (or deleted) reads as None: as a new reference, or
// borrowed from the object that holds the field.
inline PyObject* field_new(PyObject* value) {
    return Py_NewRef(value ? value : Py_None);
}
inline PyObject* field_borrowed(PyObject* value) {
    return value ? value : Py_None;
}

// Interned names kept in module state, one slot or a table of them; the
// state owns each one. -1 with an exception.
inline int intern(PyObject** slot, const char* text) {
    *slot = PyUnicode_InternFromString(text);
    return *slot ? 0 : -1;
}
template <size_t N>
inline int intern_all(PyObject* (&slots)[N], const char* const (&texts)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (intern(&slots[i], texts[i]) < 0) return -1;
    return 0;
}

// Runs the initializer of the base class of `type` (a C type of this
// package) on self: each C initializer chains to its base explicitly.
inline int init_base(PyObject* type, PyObject* self, PyObject* args, PyObject* kwds) {
    return reinterpret_cast<PyTypeObject*>(type)->tp_base->tp_init(self, args, kwds);
}

// Rejects any argument to a METH_FASTCALL | METH_KEYWORDS method that takes none.
inline bool no_args(const char* fname, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs == 0 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments", fname);
    return false;
}

// Calling convention of methods that need their defining class (module state).
constexpr int kMethodCall = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

// A METH_FASTCALL / METH_METHOD function as the PyCFunction a PyMethodDef stores.
template <typename F>
inline PyCFunction as_cfunc(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Calls obj.<name>(*args) through vectorcall without creating a bound method.
template <typename... A>
inline PyObject* call_method(PyObject* obj, PyObject* name, A... args) {
    PyObject* stack[] = {obj, args...};
    return PyObject_VectorcallMethod(name, stack,
                                     (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// `obj.<name>(**kw)` with keyword-only arguments; `kwnames` is a tuple of
// interned names matching `values`.
template <size_t N>
inline PyObject* call_method_kw(PyObject* obj, PyObject* name, PyObject* kwnames,
                                PyObject* const (&values)[N]) {
    PyObject* stack[N + 1];
    stack[0] = obj;
    for (size_t i = 0; i < N; ++i) stack[i + 1] = values[i];
    return PyObject_VectorcallMethod(name, stack, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}

// Binds METH_FASTCALL | METH_KEYWORDS arguments to parameter names. out[i]
// receives a borrowed reference or keeps its preset default; the first
// `required` parameters must be given. False with TypeError set otherwise.
template <size_t N>
inline bool parse_args(const char* fname, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, const char* const (&names)[N], PyObject* (&out)[N],
                       size_t required) {
    if (nargs > static_cast<Py_ssize_t>(N)) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", fname, N,
                     N == 1 ? "" : "s", nargs);
        return false;
    }
    bool given[N] = {};
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = args[i];
        given[i] = true;
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        size_t i = 0;
        while (i < N && !PyUnicode_EqualToUTF8(key, names[i])) ++i;
        if (i == N) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname,
                         key);
            return false;
        }
        if (given[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname,
                         names[i]);
            return false;
        }
        out[i] = args[nargs + k];
        given[i] = true;
    }
    for (size_t i = 0; i < required; ++i) {
        if (!given[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fname,
                         names[i], i + 1);
            return false;
        }
    }
    return true;
}

// Installs static methods on a heap type, bound to the defining module (their
// `self` is the module, so they reach module state with PyModule_GetState).
// `defs` must not carry METH_STATIC: the host would pass them no self at all.
inline int add_static_methods(PyObject* type, PyObject* module, PyMethodDef* defs) {
    Ref modname = steal(PyModule_GetNameObject(module));
    if (!modname) return -1;
    for (PyMethodDef* def = defs; def->ml_name; ++def) {
        Ref func = steal(PyCFunction_NewEx(def, module, modname.get()));
        if (!func) return -1;
        Ref method = steal(PyStaticMethod_New(func.get()));
        if (!method || PyObject_SetAttrString(type, def->ml_name, method.get()) < 0) return -1;
    }
    return 0;
}

// Equality with the host's semantics; identity short-cuts inside. -1 on error.
inline int equal(PyObject* a, PyObject* b) {
    return PyObject_RichCompareBool(a, b, Py_EQ);
}

// True when the pending exception is an ordinary Exception (not SystemExit,
// KeyboardInterrupt, ...): only those are caught by element code.
inline bool pending_is_exception() {
    return PyErr_ExceptionMatches(PyExc_Exception);
}

// A pending Exception (not a BaseException such as KeyboardInterrupt) is
// dropped; true when nothing is pending any more.
inline bool swallow_exception() {
    if (!PyErr_Occurred()) return true;
    if (!pending_is_exception()) return false;
    PyErr_Clear();
    return true;
}

// While `earlier` (an exception taken with PyErr_GetRaisedException) was being
// handled, the pending one arose: keep the earlier one as its context, as the
// host does for an exception raised inside an except or finally block.
inline void chain_context(Ref earlier) {
    if (!earlier) return;
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) {
        PyErr_SetRaisedException(earlier.release());
        return;
    }
    if (exc != earlier.get()) PyException_SetContext(exc, earlier.release());
    PyErr_SetRaisedException(exc);
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
