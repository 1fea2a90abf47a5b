// C layouts of the implementation objects. A subtype defined in one extension
// module extends its base's layout from another, so the layouts (and the GC
// visitors that go with them) live here, once.
#pragma once

#include "calls.hpp"

namespace fm {

// Root of the hierarchy (module _base). Instances carry a managed dict and
// managed weak references, so every subclass takes attributes and weakrefs.
struct ImplementationObject {
    PyObject_HEAD
};

// PortableImp (ledger).
struct PortableObject {
    ImplementationObject base;
    PyObject* config;
};

// ProcessingElementImp (worker).
struct ElementObject {
    PortableObject base;
    PyObject* logger;
    PyObject* state;
    PyObject* condition;
    PyObject* context;
    PyObject* failure;
    int64_t counter;
    int64_t busy_ns;  // in the node's own handlers this run, sampled while timing is on
    bool setup_failed;
};

// NodeImp (vertex).
struct NodeObject {
    ElementObject base;
    PyObject* pre_setup_handler;
    PyObject* pre_step_handler;
    PyObject* post_step_handler;
    PyObject* setup_handler;
    PyObject* step_handler;
    PyObject* process_handler;
    // (pre-step, step or process, post-step, whether process): what a cycle
    // reads, replaced whole on every change of a handler or of `batch`.
    Published cycle_handlers;
    bool batch;
    uint8_t flags;  // vertex-private: type facts computed once at construction
};

// ONodeImp (emitter). INodeImp adds no C fields (see imp/__init__.py), so an
// input-output node's layout is this one.
struct ONodeObject {
    NodeObject base;
    PyObject* output_ports;
    PyObject* setup_thread;  // NULL until an all-event start made one
    // (name, port, name, port, ...) of output_ports as of `outputs_seen`,
    // emitter-private: a push reads it without a lock while the table is
    // unchanged.
    Published outputs;
    uint64_t outputs_seen;
};

// PortImp (coupler).
struct PortObject {
    PortableObject base;
    // A tuple replaced whole on every change, under the port's critical
    // section; a push reads it without taking that.
    Published connected_ports;
    PyObject* timing;
    PyObject* context;
};

template <typename T>
inline T* as(PyObject* o) {
    return reinterpret_cast<T*>(o);
}

// The one argument of a constructor taking a configuration record
// (borrowed), or nullptr with TypeError.
inline PyObject* config_arg(const char* fname, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"config"};
    PyObject* a[] = {nullptr};
    return parse_args(fname, args, kwds, names, a, 1) ? a[0] : nullptr;
}

// The configuration record of an object whose constructor ran (borrowed), or
// nullptr with AttributeError.
inline PyObject* config_of(PyObject* self) {
    PyObject* config = as<PortableObject>(self)->config;
    if (!config)
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute 'config'",
                     Py_TYPE(self)->tp_name);
    return config;
}

// A record written with the plain dictionary stores must be a dict: anything
// else would make PyDict_SetItem fail with an internal error. `config` may be
// null (a record never set).
inline bool check_config(PyObject* config) {
    if (config && PyDict_Check(config)) return true;
    PyErr_Format(PyExc_TypeError, "Argument 'config' has incorrect type (expected dict, got %s)",
                 config ? Py_TYPE(config)->tp_name : "nothing");
    return false;
}

// GC support, chained from the most derived layout down to the root. Each C
// type's tp_traverse / tp_clear calls the one for its own layout; the root part
// visits the type (instances of heap types own a reference to it) and the
// managed dict.
inline int traverse_implementation(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return PyObject_VisitManagedDict(self, visit, arg);
}
inline void clear_implementation(PyObject* self) {
    PyObject_ClearManagedDict(self);
}

inline int traverse_portable(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as<PortableObject>(self)->config);
    return traverse_implementation(self, visit, arg);
}
inline void clear_portable(PyObject* self) {
    Py_CLEAR(as<PortableObject>(self)->config);
    clear_implementation(self);
}

inline int traverse_element(PyObject* self, visitproc visit, void* arg) {
    auto* e = as<ElementObject>(self);
    Py_VISIT(e->logger);
    Py_VISIT(e->state);
    Py_VISIT(e->condition);
    Py_VISIT(e->context);
    Py_VISIT(e->failure);
    return traverse_portable(self, visit, arg);
}
inline void clear_element(PyObject* self) {
    auto* e = as<ElementObject>(self);
    Py_CLEAR(e->logger);
    Py_CLEAR(e->state);
    Py_CLEAR(e->condition);
    Py_CLEAR(e->context);
    Py_CLEAR(e->failure);
    clear_portable(self);
}

inline int traverse_node(PyObject* self, visitproc visit, void* arg) {
    auto* n = as<NodeObject>(self);
    Py_VISIT(n->pre_setup_handler);
    Py_VISIT(n->pre_step_handler);
    Py_VISIT(n->post_step_handler);
    Py_VISIT(n->setup_handler);
    Py_VISIT(n->step_handler);
    Py_VISIT(n->process_handler);
    Py_VISIT(n->cycle_handlers.value);
    return traverse_element(self, visit, arg);
}
inline void clear_node(PyObject* self) {
    auto* n = as<NodeObject>(self);
    Py_CLEAR(n->pre_setup_handler);
    Py_CLEAR(n->pre_step_handler);
    Py_CLEAR(n->post_step_handler);
    Py_CLEAR(n->setup_handler);
    Py_CLEAR(n->step_handler);
    Py_CLEAR(n->process_handler);
    Py_CLEAR(n->cycle_handlers.value);
    clear_element(self);
}

inline int traverse_onode(PyObject* self, visitproc visit, void* arg) {
    auto* o = as<ONodeObject>(self);
    Py_VISIT(o->output_ports);
    Py_VISIT(o->setup_thread);
    Py_VISIT(o->outputs.value);
    return traverse_node(self, visit, arg);
}
inline void clear_onode(PyObject* self) {
    auto* o = as<ONodeObject>(self);
    Py_CLEAR(o->output_ports);
    Py_CLEAR(o->setup_thread);
    Py_CLEAR(o->outputs.value);
    clear_node(self);
}

inline int traverse_port(PyObject* self, visitproc visit, void* arg) {
    auto* p = as<PortObject>(self);
    Py_VISIT(p->connected_ports.value);
    Py_VISIT(p->timing);
    Py_VISIT(p->context);
    return traverse_portable(self, visit, arg);
}
inline void clear_port(PyObject* self) {
    auto* p = as<PortObject>(self);
    Py_CLEAR(p->connected_ports.value);
    Py_CLEAR(p->timing);
    Py_CLEAR(p->context);
    clear_portable(self);
}

// A failure that reached a thread an element owns (a decoupled worker, a
// setup thread) without any cycle containing it, such as SystemExit or
// KeyboardInterrupt: kept as the element's failure (unless one is kept
// already) and the element turned to ERROR, so that the failure is reported
// instead of vanishing with the thread. Never raises: a failure to keep it is
// written as unraisable. The caller logs `exc` afterwards.
inline void keep_uncontained_failure(PyObject* element, PyObject* exc) {
    if (PyErr_GivenExceptionMatches(exc, PyExc_Exception)) return;  // contained or logged
    Ref r = steal(PyObject_CallMethod(element, "record_failure", "O", exc));
    if (!r) PyErr_WriteUnraisable(element);
    Ref error = steal(resolve("flowmesh.constants", Constants::kError));
    if (!error) {
        PyErr_WriteUnraisable(element);
        return;
    }
    set_field_of(element, &as<ElementObject>(element)->condition, error.get());
}

// Flags shared by every type in the hierarchy: GC, subclassable.
constexpr unsigned long kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

// Base type of a deliverable, reached through the package's imp namespace
// (never by importing the sibling module). New reference, or nullptr.
inline PyObject* imp_class(const char* name) {
    return resolve("flowmesh.imp", name);
}

}  // namespace fm
