// INodeImp, the node with input ports: its ports and driver built from the
// configuration, the input side's start, stop and reset, and its queries.
#include <utility>
#include <vector>

#include "input_side.hpp"

namespace fm::ports {

// No C fields of its own (an input-output node also derives from ONodeImp,
// whose layout extends NodeImp's): its state lives in the instance dict.

// The node's driver, from its instance dict (new reference).
fm::Ref driver_of(PortsState* st, PyObject* self) {
    fm::Ref d = fm::steal(PyObject_GetAttr(self, st->n(N__input_driver)));
    if (d && !Py_IS_TYPE(d.get(), reinterpret_cast<PyTypeObject*>(st->driver_type))) {
        PyErr_Format(PyExc_TypeError, "'%s' object has a broken input driver",
                     Py_TYPE(self)->tp_name);
        return {};
    }
    return d;
}

// config.Keys.INPUT_PORTS
fm::Ref input_ports_key(PortsState* st, PyObject* config) {
    fm::Ref keys = fm::steal(PyObject_GetAttr(config, st->n(N_Keys)));
    if (!keys) return {};
    return fm::steal(PyObject_GetAttr(keys.get(), st->n(N_INPUT_PORTS)));
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

// config[config.Keys.<attr>], or `fallback` for a record without that key
// or without the option at all. An empty Ref with an exception on failure.
fm::Ref config_option(PortsState* st, PyObject* config, PyObject* attr, PyObject* fallback) {
    fm::Ref keys = fm::steal(PyObject_GetAttr(config, st->n(N_Keys)));
    if (!keys) return {};
    PyObject* raw_key;
    if (PyObject_GetOptionalAttr(keys.get(), attr, &raw_key) < 0) return {};
    fm::Ref key = fm::steal(raw_key);
    if (!key) return fm::borrow(fallback);
    return fm::steal(PyObject_CallMethod(config, "get", "OO", key.get(), fallback));
}

// A boolean option (absent: false).
bool config_flag(PortsState* st, PyObject* config, PyObject* attr, bool* out) {
    fm::Ref value = config_option(st, config, attr, Py_False);
    int truth = value ? PyObject_IsTrue(value.get()) : -1;
    if (truth < 0) return false;
    *out = truth;
    return true;
}

// The queue settings: a bound (0: the default, resolved at start) and the
// overflow policy.
bool config_queue(PortsState* st, PyObject* config, Py_ssize_t* bound, Overflow* overflow) {
    fm::Ref value = config_option(st, config, st->n(N_QUEUE_BOUND), Py_None);
    if (!value) return false;
    *bound = 0;
    if (value.get() != Py_None) {
        int overflowed = 0;
        long long n = PyLong_Check(value.get()) && !PyBool_Check(value.get())
                          ? PyLong_AsLongLongAndOverflow(value.get(), &overflowed)
                          : 0;
        if (n == -1 && PyErr_Occurred()) return false;
        if (overflowed > 0) n = PY_SSIZE_T_MAX;
        if (n < 1) {
            PyErr_Format(PyExc_ValueError, "queue_bound must be an int >= 1 or None, got %R.",
                         value.get());
            return false;
        }
        *bound = static_cast<Py_ssize_t>(n < PY_SSIZE_T_MAX ? n : PY_SSIZE_T_MAX);
    }
    fm::Ref default_policy = fm::steal(PyUnicode_FromString(kOverflowNames[0]));
    if (!default_policy) return false;
    value = config_option(st, config, st->n(N_OVERFLOW), default_policy.get());
    if (!value) return false;
    for (int i = 0; i < 3; ++i) {
        if (PyUnicode_Check(value.get()) && PyUnicode_EqualToUTF8(value.get(), kOverflowNames[i])) {
            *overflow = static_cast<Overflow>(i);
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError,
                 "overflow must be one of 'block', 'drop_oldest', 'drop_newest', got %R.",
                 value.get());
    return false;
}

// Builds the input ports from the configuration and the driver that feeds
// the node. Does nothing when they exist already.
int init_input_side(PortsState* st, PyObject* self) {
    PyObject* existing;
    if (PyObject_GetOptionalAttr(self, st->n(N__input_driver), &existing) < 0) return -1;
    if (existing) {
        Py_DECREF(existing);
        return 0;
    }
    fm::Ref config = fm::steal(PyObject_GetAttr(self, st->n(N_config)));
    if (!config) return -1;
    fm::Ref entries = checked_entries(st, config.get());
    if (!entries) return -1;
    fm::Ref key = input_ports_key(st, config.get());
    if (!key) return -1;
    PyObject* facade = st->iport_facade.get();
    PyObject* name_key = st->port_name_key.get();
    if (!facade || !name_key) return -1;
    if (!fm::check_config(config.get())) return -1;
    bool decoupled, anticipate;
    if (!config_flag(st, config.get(), st->n(N_DECOUPLED), &decoupled) ||
        !config_flag(st, config.get(), st->n(N_ANTICIPATE), &anticipate))
        return -1;
    Py_ssize_t bound;
    Overflow overflow = Overflow::kBlock;
    if (!config_queue(st, config.get(), &bound, &overflow)) return -1;
    PyObject* running = st->c.running.get();
    PyObject* sync = st->c.sync.get();
    PyObject* async = st->c.async.get();
    PyObject* inherited = st->c.inherited.get();
    if (!running || !sync || !async || !inherited) return -1;
    fm::Ref cycle =
        fm::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), st->n(N__cycle)));
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
        fm::Ref port = fm::steal(PyObject_GetAttr(port_facade.get(), st->n(N__imp)));
        if (!port) return -1;
        if (!PyObject_TypeCheck(port.get(), reinterpret_cast<PyTypeObject*>(st->iport_type))) {
            PyErr_Format(PyExc_TypeError, "Input port '%S' must be an IPortImp, got %s", name.get(),
                         Py_TYPE(port.get())->tp_name);
            return -1;
        }
        fm::Ref record = fm::steal(PyObject_GetAttr(port.get(), st->n(N_config)));
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
    drv->direct = cycle.get() == st->vertex->cycle_descriptor ? st->vertex : nullptr;
    drv->cycle = cycle.release();
    drv->running = Py_NewRef(running);
    drv->sync = Py_NewRef(sync);
    drv->async = Py_NewRef(async);
    drv->inherited = Py_NewRef(inherited);
    drv->decoupled = decoupled;
    drv->anticipate = anticipate;
    drv->configured_bound = bound;
    drv->queue_bound = bound ? bound : PY_SSIZE_T_MAX;
    drv->overflow = overflow;
    for (size_t i = 0; i < made.size(); ++i) {
        drv->core->inputs[i].name = made[i].first.release();
        drv->core->inputs[i].port = Py_NewRef(made[i].second.get());
    }
    fm::Ref handler = fm::steal(PyObject_GetAttr(d.get(), st->n(N__context_arrived)));
    if (!handler) return -1;
    for (size_t i = 0; i < made.size(); ++i) {
        IPortObject* p = iport(made[i].second.get());
        fm::set_field(&p->driver, d.get());
        p->index = static_cast<Py_ssize_t>(i);
        fm::set_field(&p->event_handler, handler.get());
    }
    // The record lists the ports' own records, so an id a port adopts later shows in it.
    if (PyDict_SetItem(config.get(), key.get(), records.get()) < 0) return -1;
    if (PyObject_SetAttr(self, st->n(N__input_ports), ports.get()) < 0) return -1;
    return PyObject_SetAttr(self, st->n(N__input_driver), d.get());
}

int inode_init(PyObject* self, PyObject* args, PyObject* kwds) {
    PyObject* config = fm::config_arg("INodeImp", args, kwds);
    if (!config) return -1;
    PortsState* st = fm::instance_state<PortsState>(self, &ports_module);
    if (!st) return -1;
    fm::Ref hold = fm::borrow(config);
    // Nothing is built when the port list is unusable.
    if (!checked_entries(st, config)) return -1;
    if (fm::init_base(st->inode_type, self, args, kwds) < 0) return -1;
    return init_input_side(st, self);
}

PyObject* lookup_input_port(PortsState* st, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, const char* fname) {
    static const char* const names[] = {"port_name"};
    PyObject* a[] = {nullptr};
    if (!fm::parse_args(fname, args, nargs, kwnames, names, a, 1)) return nullptr;
    if (!fm::check_str(a[0], "port_name")) return nullptr;
    fm::Ref ports = fm::steal(PyObject_GetAttr(self, st->n(N__input_ports)));
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

PyObject* inode_get_data(PortsState* st, PyObject* self) {
    fm::Ref d = driver_of(st, self);
    if (!d) return nullptr;
    fm::Ref current = fm::field_ref(d.get(), &driver(d.get())->current);
    return current ? current.release() : PyDict_New();
}

PyObject* inode_get_context(PortsState* st, PyObject* self) {
    fm::Ref d = driver_of(st, self);
    if (!d) return nullptr;
    fm::Ref result = fm::steal(PyDict_New());
    if (!result) return nullptr;
    fm::CriticalSection cs(d.get());
    if (Core* c = driver(d.get())->core) {
        for (Input& in : c->inputs) {
            // Held: the name's hash may run code that replaces the context.
            fm::Ref context = fm::field_ref(in.port, &fm::as<fm::PortObject>(in.port)->context);
            if (PyDict_SetItem(result.get(), in.name, context ? context.get() : Py_None) < 0)
                return nullptr;
        }
    }
    return result.release();
}

PyObject* inode_get_max_backlog(PortsState* st, PyObject* self) {
    fm::Ref d = driver_of(st, self);
    if (!d) return nullptr;
    Py_ssize_t most = 0;
    fm::CriticalSection cs(d.get());
    if (Core* c = driver(d.get())->core)
        for (Input& in : c->inputs) most = in.waiting > most ? in.waiting : most;
    return PyLong_FromSsize_t(most);
}

// Input-port name to `count(input)` for every input of the node.
template <typename Count>
PyObject* per_input(PortsState* st, PyObject* self, Count count) {
    fm::Ref d = driver_of(st, self);
    if (!d) return nullptr;
    fm::Ref result = fm::steal(PyDict_New());
    if (!result) return nullptr;
    fm::CriticalSection cs(d.get());
    Core* c = driver(d.get())->core;
    for (size_t i = 0; c && i < c->inputs.size(); ++i) {
        // Each name and count are read before anything runs code (a name's hash).
        fm::Ref name = fm::borrow(c->inputs[i].name);
        fm::Ref value = fm::steal(count(c->inputs[i]));
        if (!value || PyDict_SetItem(result.get(), name.get(), value.get()) < 0) return nullptr;
        c = driver(d.get())->core;
    }
    return result.release();
}

PyObject* inode_get_dropped(PortsState* st, PyObject* self) {
    return per_input(st, self,
                     [](const Input& in) { return PyLong_FromUnsignedLongLong(in.dropped); });
}

PyObject* inode_get_queued(PortsState* st, PyObject* self) {
    return per_input(st, self, [](const Input& in) { return PyLong_FromSsize_t(in.waiting); });
}

PyObject* inode_anticipated(PortsState* st, PyObject* self) {
    fm::Ref d = driver_of(st, self);
    if (!d) return nullptr;
    fm::CriticalSection cs(d.get());
    Core* c = driver(d.get())->core;
    return PyLong_FromUnsignedLongLong(c ? c->anticipated.load(std::memory_order_relaxed) : 0);
}

PyObject* inode_get_queue_bound(PortsState* st, PyObject* self) {
    fm::Ref d = driver_of(st, self);
    if (!d) return nullptr;
    return PyLong_FromSsize_t(fm::peek(driver(d.get())->queue_bound));
}

// The input side's part of start / stop / reset, shared with IONodeImp.
// A run's queue bound and drop counts: set when the run starts, kept (and
// readable) after it stops until the next one starts.
int begin_run(PortsState* st, DriverObject* d) {
    if (d->in_run) return 0;
    Py_ssize_t bound = d->configured_bound;
    if (bound == 0) {
        PyObject* holder = st->constants_imp.get();
        if (!holder) return -1;
        fm::Ref level = fm::steal(PyObject_GetAttrString(holder, "BACKLOG_ERROR"));
        if (!level) return -1;
        Py_ssize_t error_level = PyNumber_AsSsize_t(level.get(), nullptr);
        if (error_level == -1 && PyErr_Occurred()) return -1;
        // One more than the error level: the backlog still reaches it, and no further.
        bound = error_level < 1 ? 1 : error_level < PY_SSIZE_T_MAX ? error_level + 1 : error_level;
    }
    fm::publish(d->queue_bound, bound);
    if (Core* c = d->core) {
        for (Input& in : c->inputs) {
            in.dropped = in.reported = in.at_stop = 0;
            in.reported_at = -1;
        }
    }
    d->in_run = d->ran = true;
    d->closing = false;
    return 0;
}

int start_input_side(PortsState* st, PyObject* self) {
    fm::Ref d = driver_of(st, self);
    if (!d) return -1;
    fm::CriticalSection cs(d.get());
    if (begin_run(st, driver(d.get())) < 0) return -1;
    if (driver_start(st, driver(d.get())) < 0) return -1;
    // A context that arrived before the start is handled now.
    return claim_setup_and_run(driver(d.get()), cs);
}

// While the node still runs: refuse new items and let the queued ones run.
int drain_input_side(PortsState* st, PyObject* self) {
    fm::Ref d = driver_of(st, self);
    if (!d) return -1;
    fm::CriticalSection cs(d.get());
    int running = node_is_running(driver(d.get()));
    if (running <= 0) return running;
    return drain_for_stop(st, driver(d.get()));
}

int stop_input_side(PortsState* st, PyObject* self) {
    fm::Ref d = driver_of(st, self);
    if (!d) return -1;
    DriverObject* drv = driver(d.get());
    fm::CriticalSection cs(d.get());
    int rc = driver_stop(st, drv);
    drv->in_run = false;
    if (report_drops(st, drv, true) < 0) return -1;
    return rc;
}

int reset_input_side(PortsState* st, PyObject* self) {
    fm::Ref d = driver_of(st, self);
    if (!d) return -1;
    DriverObject* drv = driver(d.get());
    fm::CriticalSection cs(d.get());
    discard_queued(drv);
    drv->setup_claimed = false;
    if (Core* c = drv->core)
        for (Input& in : c->inputs)
            fm::set_field_of(in.port, &fm::as<fm::PortObject>(in.port)->context, Py_None);
    return 0;
}

int call_base(PyObject* method, PyObject* self) {
    fm::Ref r = fm::steal(PyObject_CallOneArg(method, self));
    return r ? 0 : -1;
}

PyObject* inode_start(PortsState* st, PyObject* self) {
    if (call_base(st->base_start, self) < 0 || start_input_side(st, self) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* inode_stop(PortsState* st, PyObject* self) {
    // The queue is worked off while the node still runs; STOPPED then, and
    // what is left is counted as dropped.
    if (drain_input_side(st, self) < 0 || call_base(st->base_stop, self) < 0 ||
        stop_input_side(st, self) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

int inode_reset_run_state(PortsState* st, PyObject* self) {
    return call_base(st->base_reset, self) < 0 ? -1 : reset_input_side(st, self);
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
    fm::method_def<"_get_data", inode_get_data>(
        PyDoc_STR("_get_data()\n--\n\nThe frame being processed (a new empty dict outside a "
                  "cycle).")),
    fm::method_def<"_get_context", inode_get_context>(
        PyDoc_STR("_get_context()\n--\n\nInput-port name to the context that reached it.")),
    fm::method_def<"get_max_backlog", inode_get_max_backlog>(
        PyDoc_STR("get_max_backlog()\n--\n\nThe largest number of items waiting at one input.")),
    fm::method_def<"get_queued", inode_get_queued>(
        PyDoc_STR("get_queued()\n--\n\nInput-port name to the items waiting at it.")),
    fm::method_def<"get_queue_bound", inode_get_queue_bound>(
        PyDoc_STR("get_queue_bound()\n--\n\nThe most items one input queues in this run.")),
    fm::method_def<"get_dropped", inode_get_dropped>(
        PyDoc_STR("get_dropped()\n--\n\nInput-port name to the items its full queue dropped in "
                  "the current (or last) run.")),
    fm::method_def<"_anticipated", inode_anticipated>(
        PyDoc_STR("_anticipated()\n--\n\nHand-offs the worker caught by polling where it "
                  "expected them.")),
    fm::method_def<"start", inode_start>(
        PyDoc_STR("start()\n--\n\nStart the node and its input side.")),
    fm::method_def<"stop", inode_stop>(
        PyDoc_STR("stop()\n--\n\nStop the node once its queued input has run (or, after "
                  "STOP_DRAIN_TIMEOUT seconds, been counted as dropped).")),
    fm::method_def<"reset_run_state", inode_reset_run_state>(
        PyDoc_STR("reset_run_state()\n--\n\nBase reset plus the inputs' contexts and queues.")),
    fm::method_def<"_init_input_side", init_input_side>(
        PyDoc_STR("_init_input_side()\n--\n\nBuild the input ports and their driver.")),
    fm::method_def<"_start_input_side", start_input_side>(
        PyDoc_STR("_start_input_side()\n--\n\nThe input side's part of start.")),
    fm::method_def<"_stop_input_side", stop_input_side>(
        PyDoc_STR("_stop_input_side()\n--\n\nThe input side's part of stop.")),
    fm::method_def<"_reset_input_side", reset_input_side>(
        PyDoc_STR("_reset_input_side()\n--\n\nThe input side's part of reset_run_state.")),
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
    .name = "flowmesh.imp.INodeImp",
    .basicsize = 0,  // no fields of its own (see above), so the base's GC slots are inherited
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .slots = inode_slots,
};

}  // namespace fm::ports
