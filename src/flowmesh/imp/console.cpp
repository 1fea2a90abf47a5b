// The console: colour when the terminal takes it, and printing that never
// fails the report it is part of.
#include <utility>

#include "conductor.hpp"

namespace fm::conductor {

Ref colour(ConductorState* st, PyObject* code) {
    Ref empty = steal(PyUnicode_FromStringAndSize("", 0));
    auto decide = [&]() -> int {  // 1: colour on, 0: off, -1: error
        PyObject* environ = st->environ.get();
        if (!environ) return -1;
        Ref no_color = steal(fm::call_method(environ, st->n(N_get), st->n(N_NO_COLOR)));
        if (!no_color) return -1;
        int set = truthy(no_color.get());
        if (set) return set < 0 ? -1 : 0;
        Ref term = steal(fm::call_method(environ, st->n(N_get), st->n(N_TERM)));
        if (!term) return -1;
        int dumb = fm::equal(term.get(), st->n(N_dumb));
        if (dumb) return dumb < 0 ? -1 : 0;
        Ref out = borrow(PySys_GetObject("stdout"));
        if (!out) {
            PyErr_SetString(PyExc_RuntimeError, "no standard output");
            return -1;
        }
        Ref tty = steal(fm::call_method(out.get(), st->n(N_isatty)));
        if (!tty) return -1;
        return truthy(tty.get());
    };
    int on = decide();
    if (on < 0) {
        if (!swallow_exception()) return {};
        return empty;
    }
    return on ? borrow(code) : std::move(empty);
}

Ref colour(ConductorState* st, const char* code) {
    Ref text = steal(PyUnicode_FromString(code));
    if (!text) return {};
    return colour(st, text.get());
}

// Prints one line; reporting a failure must never fail. -1 only for a
// BaseException that is not an Exception.
int safe_print(ConductorState* st, PyObject* text) {
    PyObject* builtins = st->builtins.get();
    if (!builtins) return swallow_exception() ? 0 : -1;
    Ref print = steal(PyObject_GetAttr(builtins, st->n(N_print)));
    if (!print) return swallow_exception() ? 0 : -1;
    Ref r = steal(PyObject_CallOneArg(print.get(), text));
    if (r) return 0;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return swallow_exception() ? 0 : -1;
    PyErr_Clear();
    // A legacy console code page: print what it can, with replacement characters.
    auto retry = [&]() -> bool {
        Ref out = borrow(PySys_GetObject("stdout"));
        Ref encoding;
        if (out) {
            encoding = attr_or_none(out.get(), st->n(N_encoding));
            if (!encoding) return false;
        }
        const char* enc = "ascii";
        if (encoding && PyUnicode_Check(encoding.get()) &&
            PyUnicode_GetLength(encoding.get()) > 0) {
            enc = PyUnicode_AsUTF8(encoding.get());
            if (!enc) return false;
        }
        Ref str = PyUnicode_Check(text) ? borrow(text) : steal(PyObject_Str(text));
        if (!str) return false;
        Ref bytes = steal(PyUnicode_AsEncodedString(str.get(), enc, "replace"));
        if (!bytes) return false;
        Ref back = steal(PyUnicode_Decode(PyBytes_AS_STRING(bytes.get()),
                                          PyBytes_GET_SIZE(bytes.get()), enc, "replace"));
        if (!back) return false;
        Ref again = steal(PyObject_CallOneArg(print.get(), back.get()));
        return bool(again);
    };
    if (retry()) return 0;
    return swallow_exception() ? 0 : -1;
}

// A formatted line; one whose values cannot be turned into text (a `__str__`
// that raises) is left out rather than ending the report.
int print_fmt(ConductorState* st, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    Ref text = steal(PyUnicode_FromFormatV(fmt, va));
    va_end(va);
    if (!text) return swallow_exception() ? 0 : -1;
    return safe_print(st, text.get());
}

}  // namespace fm::conductor
