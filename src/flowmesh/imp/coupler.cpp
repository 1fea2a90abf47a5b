// flowmesh.imp.coupler: PortImp, the common base of input and output ports.
// It owns the connection list, the effective timing and the rules that decide
// whether two ports may be joined. The connection list is an immutable tuple
// replaced whole on every change: a push iterating one snapshot while another
// thread detaches a consumer must not skip an unrelated consumer.
#include <cstddef>
#include <cstring>

#include "objects.hpp"

namespace {

// Attribute names, and "Any", the type a port accepts anything under.
// clang-format off
#define FM_COUPLER_NAMES(X) \
    X(Keys) X(TIMING) X(TYPE) X(NAME) X(config) X(get) X(_describe) X(Any)
// clang-format on
FM_NAME_TABLE(FM_COUPLER_NAMES);

struct CouplerState {
    PyObject* type;  // PortImp
    PyObject* base;  // PortableImp, whose constructor registers the id
    PyObject* empty_tuple;
    PyObject* unknown;  // "?"
    NameTable n;
    fm::Constants c;

    // Every reference the state owns, for traverse/clear.
    template <typename F>
    int refs(F f) {
        return f(type, base, empty_tuple, unknown, n, c);
    }
};

extern PyModuleDef coupler_module;

fm::PortObject* port(PyObject* self) {
    return fm::as<fm::PortObject>(self);
}

// config.Keys.<key>, read through the record's own namespace.
fm::Ref record_key(CouplerState* st, PyObject* config, PyObject* key) {
    fm::Ref keys = fm::steal(PyObject_GetAttr(config, st->n(N_Keys)));
    if (!keys) return {};
    return fm::steal(PyObject_GetAttr(keys.get(), key));
}

// config[config.Keys.<key>] (the record's own lookup error when missing).
fm::Ref record_item(CouplerState* st, PyObject* config, PyObject* key) {
    fm::Ref k = record_key(st, config, key);
    if (!k) return {};
    return fm::steal(PyObject_GetItem(config, k.get()));
}

// config.get(config.Keys.<key>, "?")
fm::Ref record_get(CouplerState* st, PyObject* config, PyObject* key) {
    fm::Ref k = record_key(st, config, key);
    if (!k) return {};
    return fm::steal(fm::call_method(config, st->n(N_get), k.get(), st->unknown));
}

// The record of a port, for either side of a connection: the target may be
// any object with a `config` (the check for PortImp is the caller's).
fm::Ref config_of(CouplerState* st, PyObject* obj) {
    if (PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(st->type))) {
        PyObject* config = port(obj)->base.config;
        if (config) return fm::borrow(config);
    }
    return fm::steal(PyObject_GetAttr(obj, st->n(N_config)));
}

// ------------------------------------------------------------- construction

int port_init(PyObject* self, PyObject* args, PyObject* kwds) {
    PyObject* config = fm::config_arg("PortImp", args, kwds);
    if (!config) return -1;
    CouplerState* st = fm::instance_state<CouplerState>(self, &coupler_module);
    if (!st) return -1;
    fm::Ref hold = fm::borrow(config);

    // Set before the base constructor so that a port is never seen without a list.
    fm::set_field(&port(self)->connected_ports.value, st->empty_tuple);
    if (fm::init_base(st->type, self, args, kwds) < 0) return -1;
    fm::Ref timing = record_item(st, config, st->n(N_TIMING));
    if (!timing) return -1;
    fm::set_field(&port(self)->timing, timing.get());
    fm::set_field(&port(self)->context, Py_None);
    return 0;
}

// ---------------------------------------------------------------- operations

PyObject* port_get_timing(PyObject* self, void* /*closure*/) {
    return fm::field_or_none(self, &port(self)->timing).release();
}

// The current list, never NULL (a port whose constructor has not run has
// none); borrowed, for the caller holding the port's critical section.
PyObject* current_list(CouplerState* st, PyObject* self) {
    PyObject* list = port(self)->connected_ports.value;
    return list ? list : st->empty_tuple;
}

// The current list, held.
fm::Ref list_ref(CouplerState* st, PyObject* self) {
    fm::CriticalSection cs(self);
    return fm::borrow(current_list(st, self));
}

PyObject* timing_message(CouplerState* st, PyObject* source, PyObject* target) {
    PyObject* sync = st->c.sync.get();
    PyObject* async = st->c.async.get();
    if (!sync || !async) return nullptr;
    fm::Ref source_text = fm::steal(fm::call_method(source, st->n(N__describe)));
    if (!source_text) return nullptr;
    fm::Ref target_text = fm::steal(fm::call_method(target, st->n(N__describe)));
    if (!target_text) return nullptr;
    return PyErr_Format(
        PyExc_TypeError,
        "Cannot connect %S to %S: one carries a continuous stream and the other carries events. "
        "'%S' means data arrives on the sampling clock, frame after frame, for as long as the "
        "pipeline runs; '%S' means it arrives only when something happens -- an epoch, a marker, "
        "a trigger -- so a node with an '%S' port is waiting to be handed discrete events, not a "
        "stream. A continuous signal cannot be joined to one directly: it has to pass through a "
        "node that turns the stream into events -- one that segments it, or detects something in "
        "it -- and that node's output is what connects here.",
        source_text.get(), target_text.get(), sync, async, async);
}

PyObject* type_message(CouplerState* st, PyObject* source, PyObject* target, PyObject* source_type,
                       PyObject* target_type) {
    fm::Ref source_text = fm::steal(fm::call_method(source, st->n(N__describe)));
    if (!source_text) return nullptr;
    fm::Ref target_text = fm::steal(fm::call_method(target, st->n(N__describe)));
    if (!target_text) return nullptr;
    return PyErr_Format(PyExc_TypeError,
                        "Cannot connect %S to %S: the first carries '%S' and the second expects "
                        "'%S'. A port declared 'Any' accepts either, so one of these two was given "
                        "a specific type on purpose.",
                        source_text.get(), target_text.get(), source_type, target_type);
}

PyObject* port_connect(CouplerState* st, PyObject* self, PyObject* target_arg) {
    fm::Ref target = fm::borrow(target_arg);
    PyObject* inherited = st->c.inherited.get();
    if (!inherited) return nullptr;

    if (Py_TYPE(target.get()) == reinterpret_cast<PyTypeObject*>(st->type)) {
        PyErr_SetString(PyExc_TypeError, "Cannot connect to abstract Port type.");
        return nullptr;
    }
    fm::Ref before = list_ref(st, self);
    int present = PySequence_Contains(before.get(), target.get());
    if (present < 0) return nullptr;
    if (present) {
        PyErr_SetString(PyExc_ValueError, "Port is already connected.");
        return nullptr;
    }
    if (Py_TYPE(self) == Py_TYPE(target.get())) {
        PyErr_SetString(PyExc_TypeError, "Cannot connect two ports of the same class.");
        return nullptr;
    }

    fm::Ref source_config = config_of(st, self);
    if (!source_config) return nullptr;
    fm::Ref target_config = config_of(st, target.get());
    if (!target_config) return nullptr;

    fm::Ref source_type = record_item(st, source_config.get(), st->n(N_TYPE));
    if (!source_type) return nullptr;
    fm::Ref target_type = record_item(st, target_config.get(), st->n(N_TYPE));
    if (!target_type) return nullptr;
    int source_any = fm::equal(source_type.get(), st->n(N_Any));
    if (source_any < 0) return nullptr;
    if (!source_any) {
        int target_any = fm::equal(target_type.get(), st->n(N_Any));
        if (target_any < 0) return nullptr;
        if (!target_any) {
            int same = fm::equal(source_type.get(), target_type.get());
            if (same < 0) return nullptr;
            if (!same)
                return type_message(st, self, target.get(), source_type.get(), target_type.get());
        }
    }

    fm::Ref source_timing = record_item(st, source_config.get(), st->n(N_TIMING));
    if (!source_timing) return nullptr;
    fm::Ref target_timing = record_item(st, target_config.get(), st->n(N_TIMING));
    if (!target_timing) return nullptr;
    int source_inherits = fm::equal(source_timing.get(), inherited);
    if (source_inherits < 0) return nullptr;
    PyObject* effective = target_timing.get();
    if (!source_inherits) {
        int target_inherits = fm::equal(target_timing.get(), inherited);
        if (target_inherits < 0) return nullptr;
        if (!target_inherits) {
            int same = fm::equal(source_timing.get(), target_timing.get());
            if (same < 0) return nullptr;
            if (!same) return timing_message(st, self, target.get());
        }
        effective = source_timing.get();
    }

    // From reading the list to publishing its successor, under the port's
    // critical section and with no Python code run, so that a concurrent
    // writer cannot slip in between. The old values are released after it.
    fm::Ref old_list, old_timing;
    {
        fm::CriticalSection cs(self);
        PyObject* old = current_list(st, self);
        Py_ssize_t n = PyTuple_GET_SIZE(old);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (PyTuple_GET_ITEM(old, i) == target.get()) {  // joined meanwhile by another thread
                PyErr_SetString(PyExc_ValueError, "Port is already connected.");
                return nullptr;
            }
        }
        fm::Ref fresh = fm::steal(PyTuple_New(n + 1));
        if (!fresh) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i)
            PyTuple_SET_ITEM(fresh.get(), i, Py_NewRef(PyTuple_GET_ITEM(old, i)));
        PyTuple_SET_ITEM(fresh.get(), n, Py_NewRef(target.get()));
        old_timing = fm::steal(port(self)->timing);
        fm::publish(port(self)->timing, Py_NewRef(effective));
        old_list = fm::replace_published(port(self)->connected_ports, fresh.get());
    }
    Py_RETURN_NONE;
}

PyObject* port_disconnect(CouplerState* st, PyObject* self, PyObject* target_arg) {
    fm::Ref target = fm::borrow(target_arg);

    fm::Ref before = list_ref(st, self);
    int present = PySequence_Contains(before.get(), target.get());
    if (present < 0) return nullptr;
    if (!present) {
        PyErr_SetString(PyExc_ValueError, "Ports are not connected.");
        return nullptr;
    }
    fm::Ref config = config_of(st, self);
    if (!config) return nullptr;
    fm::Ref configured = record_item(st, config.get(), st->n(N_TIMING));
    if (!configured) return nullptr;

    // No Python code from reading the list to publishing its successor (see connect).
    fm::Ref old_list, old_timing;
    {
        fm::CriticalSection cs(self);
        PyObject* old = current_list(st, self);
        Py_ssize_t n = PyTuple_GET_SIZE(old);
        Py_ssize_t keep = 0;
        for (Py_ssize_t i = 0; i < n; ++i) keep += PyTuple_GET_ITEM(old, i) != target.get();
        fm::Ref fresh = fm::steal(PyTuple_New(keep));
        if (!fresh) return nullptr;
        for (Py_ssize_t i = 0, j = 0; i < n; ++i) {
            PyObject* item = PyTuple_GET_ITEM(old, i);
            if (item != target.get()) PyTuple_SET_ITEM(fresh.get(), j++, Py_NewRef(item));
        }
        old_list = fm::replace_published(port(self)->connected_ports, fresh.get());
        old_timing = fm::steal(port(self)->timing);
        fm::publish(port(self)->timing, Py_NewRef(configured.get()));
    }
    Py_RETURN_NONE;
}

PyObject* port_is_connected(CouplerState* st, PyObject* self) {
    return PyBool_FromLong(PyTuple_GET_SIZE(list_ref(st, self).get()) > 0);
}

PyObject* port_describe(CouplerState* st, PyObject* self) {
    fm::Ref class_name = fm::steal(PyType_GetName(Py_TYPE(self)));
    if (!class_name) return nullptr;
    const char* class_text = PyUnicode_AsUTF8(class_name.get());
    if (!class_text) return nullptr;
    const char* kind = "port";
    if (std::strncmp(class_text, "IPort", 5) == 0)
        kind = "input";
    else if (std::strncmp(class_text, "OPort", 5) == 0)
        kind = "output";
    fm::Ref config = config_of(st, self);
    if (!config) return nullptr;
    fm::Ref name = record_get(st, config.get(), st->n(N_NAME));
    if (!name) return nullptr;
    fm::Ref timing = record_get(st, config.get(), st->n(N_TIMING));
    if (!timing) return nullptr;
    return PyUnicode_FromFormat("%s port '%S' (%S)", kind, name.get(), timing.get());
}

// ----------------------------------------------------------------- GC

int port_traverse(PyObject* self, visitproc visit, void* arg) {
    return fm::traverse_port(self, visit, arg);
}

int port_clear(PyObject* self) {
    fm::clear_port(self);
    return 0;
}

// ----------------------------------------------------------------- type

using fm::as_cfunc;

PyMethodDef port_methods[] = {
    fm::method_def<"connect", port_connect, "port">(
        PyDoc_STR("connect(port)\n--\n\nJoin `port` to this port (this side only).")),
    fm::method_def<"disconnect", port_disconnect, "port">(
        PyDoc_STR("disconnect(port)\n--\n\nDetach `port` from this port (this side only).")),
    fm::method_def<"is_connected", port_is_connected>(
        PyDoc_STR("is_connected()\n--\n\nWhether at least one port is joined to this one.")),
    fm::method_def<"_describe", port_describe>(
        PyDoc_STR("_describe()\n--\n\nA one-line name of this port for error messages.")),
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef port_members[] = {
    {"_connected_ports", Py_T_OBJECT_EX, offsetof(fm::PortObject, connected_ports.value),
     Py_READONLY,
     PyDoc_STR("The joined ports, in connection order; a tuple replaced whole on every change.")},
    {"_timing", Py_T_OBJECT_EX, offsetof(fm::PortObject, timing), 0,
     PyDoc_STR("The effective timing.")},
    {"_context", Py_T_OBJECT_EX, offsetof(fm::PortObject, context), 0,
     PyDoc_STR("The context that reached this port, or None.")},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef port_getset[] = {
    {"timing", port_get_timing, nullptr,
     PyDoc_STR("The effective timing (an inheriting port takes its partner's)."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot port_slots[] = {
    {Py_tp_doc, const_cast<char*>("PortImp(config)\n--\n\nBase of input and output ports: the "
                                  "connection list, the effective timing, the joining rules.")},
    {Py_tp_init, reinterpret_cast<void*>(port_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(port_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(port_clear)},
    {Py_tp_methods, port_methods},
    {Py_tp_members, port_members},
    {Py_tp_getset, port_getset},
    {0, nullptr},
};

PyType_Spec port_spec = {
    .name = "flowmesh.imp.PortImp",
    .basicsize = sizeof(fm::PortObject),
    .itemsize = 0,
    .flags = fm::kTypeFlags,
    .slots = port_slots,
};

// ---------------------------------------------------------------- module

int coupler_exec(PyObject* module) {
    CouplerState* st = fm::module_state<CouplerState>(module);
    new (st) CouplerState{};
    st->unknown = PyUnicode_InternFromString("?");
    if (st->n.intern() < 0 || !st->unknown) return -1;
    st->empty_tuple = PyTuple_New(0);
    if (!st->empty_tuple) return -1;

    st->base = fm::imp_class("PortableImp");
    if (!st->base) return -1;
    st->type = fm::type_from_spec(module, &port_spec, st->base);
    if (!st->type) return -1;
    return PyModule_AddObjectRef(module, "PortImp", st->type);
}

PyModuleDef coupler_module = fm::module_def<CouplerState>(
    "flowmesh.imp.coupler", "Ports: connection list, effective timing and joining rules.",
    fm::module_slots<coupler_exec>);

}  // namespace

PyMODINIT_FUNC PyInit_coupler(void) {
    return PyModuleDef_Init(&coupler_module);
}
