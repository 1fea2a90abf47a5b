// Helpers every extension module of flowmesh.imp shares, second theme: calls
// into a module (argument parsing, method tables), calls out of it, and the
// exceptions they raise or report. Header-only.
#pragma once

#include <cstdarg>
#include <type_traits>
#include <utility>
#include <vector>

#include "common.hpp"

namespace fm {

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

// Runs the initializer of the base class of `type` (a C type of this
// package) on self: each C initializer chains to its base explicitly.
inline int init_base(PyObject* type, PyObject* self, PyObject* args, PyObject* kwds) {
    return reinterpret_cast<PyTypeObject*>(type)->tp_base->tp_init(self, args, kwds);
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

// Arguments come in two ways, and each method takes one:
//  - fm::parse_args below, for every method, constructor and function that
//    takes arguments by name, and for those that take none (the form without
//    names). A method that needs module state is METH_METHOD (kMethodCall).
//    For an implementation function whose parameters are all required,
//    fm::method_def (below) writes the method and its parsing.
//  - the host's METH_O / METH_NOARGS, or a shortcut for one positional
//    argument in front of parse_args, only on the data path, where the
//    instruction counts of bench/PROFILE.md showed what the parsing costs a
//    frame; each such place says so.
//
// parse_args binds METH_FASTCALL | METH_KEYWORDS arguments to parameter
// names. out[i] receives a borrowed reference or keeps its preset default;
// the first `required` parameters must be given. False with TypeError set
// otherwise.
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

// parse_args for a method without parameters: rejects any argument.
inline bool parse_args(const char* fname, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs == 0 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments", fname);
    return false;
}

// parse_args for a constructor (tp_init), which the host calls with a tuple
// and a dict; the references in `out` are borrowed from those.
template <size_t N>
inline bool parse_args(const char* fname, PyObject* args, PyObject* kwds,
                       const char* const (&names)[N], PyObject* (&out)[N], size_t required) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwds ? PyDict_GET_SIZE(kwds) : 0;
    std::vector<PyObject*> stack(PySequence_Fast_ITEMS(args), PySequence_Fast_ITEMS(args) + nargs);
    Ref kwnames = nkw ? steal(PyTuple_New(nkw)) : Ref();
    if (nkw && !kwnames) return false;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (nkw && PyDict_Next(kwds, &pos, &key, &value)) {  // runs no code: the keys are str
        PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
        stack.push_back(value);
    }
    return parse_args(fname, stack.data(), nargs, kwnames.get(), names, out, required);
}

// Fixed text as a template argument: a method's name.
template <size_t N>
struct Text {
    char chars[N];
    constexpr Text(const char (&s)[N]) {
        for (size_t i = 0; i < N; ++i) chars[i] = s[i];
    }
};

// The pointee of an implementation function's first parameter: PyObject for
// `impl(self, ...)`, the module state for `impl(state, self, ...)`.
template <typename F>
struct FirstOf;
template <typename R, typename S, typename... A>
struct FirstOf<R (*)(S*, A...)> {
    using type = S;
};

template <typename R>
inline PyObject* as_result(R r) {
    if constexpr (std::is_same_v<R, int>) {
        if (r < 0) return nullptr;
        Py_RETURN_NONE;
    } else {
        return r;
    }
}

// Binds the arguments to `params` (all required) and calls `call(a...)`.
template <Text name, Text... params, typename Call>
inline PyObject* bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Call call) {
    if constexpr (sizeof...(params) == 0) {
        if (!parse_args(name.chars, nargs, kwnames)) return nullptr;
        return as_result(call());
    } else {
        const char* const names[] = {params.chars...};
        PyObject* a[sizeof...(params)] = {};
        if (!parse_args(name.chars, args, nargs, kwnames, names, a, sizeof...(params)))
            return nullptr;
        return [&]<size_t... I>(std::index_sequence<I...>) {
            return as_result(call(a[I]...));
        }(std::make_index_sequence<sizeof...(params)>{});
    }
}

// Wrappers that parse for an implementation function: `impl(self, a, ...)`
// as a method (or, with the module as self, a function) name(params...), and
// `impl(state, self, a, ...)` as a METH_METHOD one. An impl returning int
// makes a method returning None (or raising, for -1).
template <Text name, auto impl, Text... params>
PyObject* plain_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bind<name, params...>(args, nargs, kwnames,
                                 [self](auto... a) { return impl(self, a...); });
}

template <Text name, auto impl, Text... params>
PyObject* state_method(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    using State = typename FirstOf<decltype(impl)>::type;
    State* st = class_state<State>(cls);
    return bind<name, params...>(args, nargs, kwnames,
                                 [st, self](auto... a) { return impl(st, self, a...); });
}

// The method-table entry of one of those wrappers, chosen by impl's first
// parameter: fm::method_def<"get_state", element_get_state>(doc), or with
// the parameters' names, fm::method_def<"set_logger", element_set_logger, "logger">(doc).
template <Text name, auto impl, Text... params>
inline PyMethodDef method_def(const char* doc) {
    if constexpr (std::is_same_v<typename FirstOf<decltype(impl)>::type, PyObject>)
        return {name.chars, as_cfunc(plain_method<name, impl, params...>),
                METH_FASTCALL | METH_KEYWORDS, doc};
    else
        return {name.chars, as_cfunc(state_method<name, impl, params...>), kMethodCall, doc};
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

// The text of `obj` for a report, which must not fail on it: str(obj), else
// repr(obj), else "<unprintable T object>". Never raises an Exception; null
// only for a pending BaseException that is not one.
inline Ref safe_text(PyObject* obj) {
    for (reprfunc convert : {PyObject_Str, PyObject_Repr}) {
        Ref text = steal(convert(obj));
        if (text) return text;
        if (!swallow_exception()) return {};
    }
    Ref text = steal(PyUnicode_FromFormat("<unprintable %s object>", Py_TYPE(obj)->tp_name));
    if (!text) swallow_exception();
    return text;
}

// repr(obj) for a report; a str subclass shows as the plain text it holds, and
// an object whose repr fails as "<unprintable T object>". Never raises an
// Exception; null only for a pending BaseException.
inline Ref safe_repr(PyObject* obj) {
    Ref plain = PyUnicode_Check(obj) ? steal(PyUnicode_FromObject(obj)) : borrow(obj);
    Ref text = plain ? steal(PyObject_Repr(plain.get())) : Ref();
    if (text || !swallow_exception()) return text;
    text = steal(PyUnicode_FromFormat("<unprintable %s object>", Py_TYPE(obj)->tp_name));
    if (!text) swallow_exception();
    return text;
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

}  // namespace fm
