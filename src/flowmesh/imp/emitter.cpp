// flowmesh.imp.emitter: ONodeImp, a node with output ports. It creates its
// ports from the configuration, joins them to other nodes' inputs, hands each
// cycle's output and the node's context to them, and runs the first cycle of
// an event-only node on a one-shot thread.
#include <atomic>
#include <cstddef>
#include <new>
#include <utility>

#include "data_path.hpp"
#include "objects.hpp"

namespace {

// clang-format off
#define FM_EMITTER_NAMES(X) \
    X(Keys) X(OUTPUT_PORTS) X(_imp) X(config) X(timing) X(_context) X(output) \
    X(_connected_ports) X(_event_handler) X(connect) X(disconnect) X(get_port) X(_cycle) \
    X(log) X(start) X(reset_run_state) X(_setup_thread_function)
// clang-format on
FM_NAME_TABLE(FM_EMITTER_NAMES);

// The exported entry points come first: the API pointer is the state's.
struct EmitterState : fm::EmitterApi {
    PyObject* type;          // ONodeImp
    PyObject* ports_module;  // keeps `ports` valid
    fm::PortsApi* ports;
    PyObject* inode_type;  // INodeImp
    PyObject* base_start;  // the base type's start and reset_run_state
    PyObject* base_reset;
    NameTable n;
    PyObject* kw_msg_type;       // ("msg", "type")
    PyObject* kw_target_daemon;  // ("target", "daemon")
    fm::Lazy oport{"flowmesh.o_port", "OPort"};
    fm::Lazy port_name_key{"flowmesh.o_port", "OPort.Configuration.Keys.NAME"};
    fm::Constants c;
    fm::Lazy decimation_key{"flowmesh.constants", "Constants.Keys.DECIMATION_FACTOR"};
    fm::Lazy thread{"threading", "Thread"};
    int table_watcher = -1;  // none free: every push takes its table afresh

    // Every reference the state owns, for traverse/clear.
    template <typename F>
    int refs(F f) {
        return f(type, ports_module, inode_type, base_start, base_reset, n, kw_msg_type,
                 kw_target_daemon, oport, port_name_key, decimation_key, thread, c);
    }

    // An interpreter has few dict watchers: a module loaded again (removed
    // from sys.modules and imported) must not keep its old one.
    void release() {
        if (table_watcher < 0) return;
        if (PyDict_ClearWatcher(table_watcher) < 0) PyErr_WriteUnraisable(nullptr);
        table_watcher = -1;
    }
};

extern PyModuleDef emitter_module;

fm::ONodeObject* onode(PyObject* self) {
    return fm::as<fm::ONodeObject>(self);
}

// The node's ports (borrowed), or nullptr with an exception before construction.
PyObject* ports_of(PyObject* self) {
    PyObject* ports = onode(self)->output_ports;
    if (!ports)
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '_output_ports'",
                     Py_TYPE(self)->tp_name);
    return ports;
}

// ---------------------------------------------------------------- construction

// The port names of the configured entries (a tuple taken from the list),
// after the checks that come before anything is built. New list, or nullptr.
PyObject* checked_port_names(EmitterState* st, PyObject* entries) {
    if (PyTuple_GET_SIZE(entries) == 0) {
        PyErr_SetString(PyExc_ValueError, "output_ports must not be empty.");
        return nullptr;
    }
    PyObject* name_key = st->port_name_key.get();
    if (!name_key) return nullptr;
    fm::Ref names = fm::steal(PyList_New(0));
    fm::Ref seen = fm::steal(PySet_New(nullptr));
    if (!names || !seen) return nullptr;
    bool duplicate = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(entries); ++i) {
        fm::Ref name = fm::steal(PyObject_GetItem(PyTuple_GET_ITEM(entries, i), name_key));
        if (!name) return nullptr;
        int known = PySet_Contains(seen.get(), name.get());
        if (known < 0) return nullptr;
        duplicate |= known;
        if (PySet_Add(seen.get(), name.get()) < 0 || PyList_Append(names.get(), name.get()) < 0)
            return nullptr;
    }
    if (duplicate) {
        PyErr_SetString(PyExc_ValueError, "output_ports contain duplicate names.");
        return nullptr;
    }
    return names.release();
}

int onode_init(PyObject* self, PyObject* args, PyObject* kwds) {
    PyObject* config_arg = fm::config_arg("ONodeImp", args, kwds);
    if (!config_arg) return -1;
    EmitterState* st = fm::instance_state<EmitterState>(self, &emitter_module);
    if (!st) return -1;
    fm::Ref config = fm::borrow(config_arg);

    PyObject* oport = st->oport.get();
    if (!oport) return -1;
    fm::Ref keys = fm::steal(PyObject_GetAttr(config.get(), st->n(N_Keys)));
    if (!keys) return -1;
    fm::Ref op_key = fm::steal(PyObject_GetAttr(keys.get(), st->n(N_OUTPUT_PORTS)));
    if (!op_key) return -1;
    fm::Ref listed = fm::steal(PyObject_GetItem(config.get(), op_key.get()));
    if (!listed || !fm::check_exact(listed.get(), &PyList_Type, "output_ports")) return -1;
    fm::Ref entries = fm::steal(PyList_AsTuple(listed.get()));
    if (!entries) return -1;
    fm::Ref names = fm::steal(checked_port_names(st, entries.get()));
    if (!names) return -1;

    if (fm::init_base(st->type, self, args, kwds) < 0) return -1;

    fm::Ref ports = fm::steal(PyDict_New());
    if (!ports) return -1;
    if (st->table_watcher >= 0 && PyDict_Watch(st->table_watcher, ports.get()) < 0) return -1;
    fm::set_field(&onode(self)->output_ports, ports.get());
    fm::Ref port_configs = fm::steal(PyList_New(0));
    if (!port_configs) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
        PyObject* entry = PyTuple_GET_ITEM(entries.get(), i);
        fm::Ref kwargs = fm::steal(PyDict_New());
        if (!kwargs || PyDict_Merge(kwargs.get(), entry, 1) < 0) return -1;
        fm::Ref facade = fm::steal(PyObject_VectorcallDict(oport, nullptr, 0, kwargs.get()));
        if (!facade) return -1;
        fm::Ref port = fm::steal(PyObject_GetAttr(facade.get(), st->n(N__imp)));
        if (!port) return -1;
        if (PyDict_SetItem(ports.get(), PyList_GET_ITEM(names.get(), i), port.get()) < 0) return -1;
    }
    // The node's record lists the ports' own records, so what a port adopts
    // later (an id) shows in the node's configuration too.
    Py_ssize_t pos = 0;
    PyObject* port;
    while (PyDict_Next(ports.get(), &pos, nullptr, &port)) {
        fm::Ref hold_port = fm::borrow(port);  // the table is reachable from Python already
        fm::Ref port_config = fm::steal(PyObject_GetAttr(port, st->n(N_config)));
        if (!port_config || PyList_Append(port_configs.get(), port_config.get()) < 0) return -1;
    }
    PyObject* own = fm::as<fm::PortableObject>(self)->config;
    if (!fm::check_config(own)) return -1;
    return PyDict_SetItem(own, op_key.get(), port_configs.get());
}

int onode_traverse(PyObject* self, visitproc visit, void* arg) {
    return fm::traverse_onode(self, visit, arg);
}

int onode_clear(PyObject* self) {
    fm::clear_onode(self);
    return 0;
}

// ---------------------------------------------------------------- lookup

// This class's own lookup; new reference or nullptr.
PyObject* find_port(PyObject* self, PyObject* port_name) {
    if (!fm::check_str(port_name, "port_name")) return nullptr;
    PyObject* ports = ports_of(self);
    if (!ports) return nullptr;
    PyObject* port;
    int found = PyDict_GetItemRef(ports, port_name, &port);
    if (found < 0) return nullptr;
    if (!found) return PyErr_Format(PyExc_ValueError, "Output port '%U' not found.", port_name);
    return port;
}

PyObject* lookup(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 const char* fname) {
    static const char* const names[] = {"port_name"};
    PyObject* a[] = {nullptr};
    if (!fm::parse_args(fname, args, nargs, kwnames, names, a, 1)) return nullptr;
    return find_port(self, a[0]);
}

PyObject* onode_get_port(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return lookup(self, args, nargs, kwnames, "get_port");
}

PyObject* onode_get_output_port(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return lookup(self, args, nargs, kwnames, "get_output_port");
}

// ---------------------------------------------------------------- connections

// The two ports a connect/disconnect joins: ours by our own lookup, the
// target's by the input side's.
bool port_pair(EmitterState* st, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, const char* fname, fm::Ref* op, fm::Ref* ip) {
    static const char* const names[] = {"output_port", "target", "input_port"};
    PyObject* out[] = {nullptr, nullptr, nullptr};
    if (!fm::parse_args(fname, args, nargs, kwnames, names, out, 3)) return false;
    if (!fm::check_str(out[0], "output_port") || !fm::check_str(out[2], "input_port")) return false;
    *op = fm::steal(find_port(self, out[0]));
    if (!*op) return false;
    fm::Ref get_port = fm::steal(PyObject_GetAttr(st->inode_type, st->n(N_get_port)));
    if (!get_port) return false;
    PyObject* call_args[] = {out[1], out[2]};
    *ip = fm::steal(PyObject_Vectorcall(get_port.get(), call_args, 2, nullptr));
    return static_cast<bool>(*ip);
}

PyObject* onode_connect(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
    EmitterState* st = fm::class_state<EmitterState>(defining_class);
    fm::Ref op, ip;
    if (!port_pair(st, self, args, nargs, kwnames, "connect", &op, &ip)) return nullptr;
    fm::Ref r = fm::steal(fm::call_method(op.get(), st->n(N_connect), ip.get()));
    if (!r) return nullptr;
    r = fm::steal(fm::call_method(ip.get(), st->n(N_connect), op.get()));
    if (!r) {
        if (!fm::pending_is_exception()) return nullptr;
        // The input side refused: detach the output side again, then report
        // the refusal itself (a failing roll-back must not mask it), unless
        // the roll-back was interrupted: that goes on, the refusal its context.
        fm::Ref refusal = fm::steal(PyErr_GetRaisedException());
        fm::Ref undone = fm::steal(fm::call_method(op.get(), st->n(N_disconnect), ip.get()));
        if (!undone && !fm::swallow_exception()) {
            fm::chain_context(std::move(refusal));
            return nullptr;
        }
        PyErr_SetRaisedException(refusal.release());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* onode_disconnect(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
    EmitterState* st = fm::class_state<EmitterState>(defining_class);
    fm::Ref op, ip;
    if (!port_pair(st, self, args, nargs, kwnames, "disconnect", &op, &ip)) return nullptr;
    fm::Ref r = fm::steal(fm::call_method(op.get(), st->n(N_disconnect), ip.get()));
    if (!r) return nullptr;
    r = fm::steal(fm::call_method(ip.get(), st->n(N_disconnect), op.get()));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- delivery

// Output tables change rarely (a test, a tool rewiring by hand), pushes read
// them on every frame: each node keeps a snapshot of its table's entries and
// takes it without a lock while no watched table changed since it was made.
// The count of changes is one for all tables, bumped by a dict watcher, which
// runs before the change under the table's own lock (the GIL or its critical
// section); a snapshot made under that lock after reading the count holds
// every change the count includes.
std::atomic<uint64_t> table_changes{1};

int table_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    table_changes.fetch_add(1, std::memory_order_acq_rel);
    return 0;
}

// (name, port, name, port, ...) of the table, made under its lock. New
// reference, or nullptr with an exception.
PyObject* table_entries(PyObject* table) {
    fm::CriticalSection cs(table);
    Py_ssize_t size = PyDict_GET_SIZE(table);
    fm::Ref entries = fm::steal(PyTuple_New(2 * size));
    if (!entries) return nullptr;
    Py_ssize_t pos = 0, i = 0;
    PyObject *name, *port;
    while (i < size && PyDict_Next(table, &pos, &name, &port)) {
        PyTuple_SET_ITEM(entries.get(), 2 * i, Py_NewRef(name));
        PyTuple_SET_ITEM(entries.get(), 2 * i + 1, Py_NewRef(port));
        ++i;
    }
    return entries.release();
}

// The node's snapshot of its table, made again when a table changed since.
fm::Ref outputs_of(EmitterState* st, PyObject* self, PyObject* table) {
    fm::ONodeObject* o = onode(self);
    // The stamp before the snapshot: a stamp is stored after its snapshot.
    uint64_t seen = fm::peek(o->outputs_seen);
    fm::Ref entries = fm::published_ref(o->outputs);
    uint64_t now = table_changes.load(std::memory_order_acquire);
    if (entries && seen == now && st->table_watcher >= 0) return entries;
    entries = fm::steal(table_entries(table));
    if (!entries) return {};
    fm::Ref old;
    {
        fm::CriticalSection cs(self);
        if (now >= o->outputs_seen) {  // never a snapshot older than the stamp
            old = fm::replace_published(o->outputs, entries.get());
            fm::publish(o->outputs_seen, now);
        }
    }
    return entries;
}

// data[name] to each output port named in data; the ports module delivers.
// A push runs arbitrary code (a name's hash, the consumers' cycles) that may
// change the table: it feeds the ports of the snapshot it began with.
int push_data(EmitterState* st, PyObject* self, PyObject* data) {
    PyObject* table = ports_of(self);  // set at construction, never replaced
    if (!table) return -1;
    fm::Ref entries = outputs_of(st, self, table);
    if (!entries) return -1;
    Py_ssize_t n = PyTuple_GET_SIZE(entries.get());
    for (Py_ssize_t i = 0; i < n; i += 2) {
        PyObject* value;
        int found = PyDict_GetItemRef(data, PyTuple_GET_ITEM(entries.get(), i), &value);
        if (found < 0) return -1;
        if (!found) continue;
        fm::Ref hold_value = fm::steal(value);
        if (st->ports->push(st->ports, PyTuple_GET_ITEM(entries.get(), i + 1), value) < 0)
            return -1;
    }
    return 0;
}

// The exported entry point: a node's cycle hands its output here.
int api_push_data(fm::EmitterApi* api, PyObject* self, PyObject* data) {
    return push_data(static_cast<EmitterState*>(api), self, data);
}

PyObject* onode_push_data(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
    // The shortcut for one positional argument serves a Python subclass that
    // calls the base's _push_data on every frame (bench/PROFILE.md).
    PyObject* data = nargs == 1 && !kwnames ? args[0] : nullptr;
    if (!data) {
        static const char* const names[] = {"data"};
        PyObject* out[] = {nullptr};
        if (!fm::parse_args("_push_data", args, nargs, kwnames, names, out, 1)) return nullptr;
        data = out[0];
    }
    if (!fm::check_exact(data, &PyDict_Type, "data")) return nullptr;
    if (push_data(fm::class_state<EmitterState>(defining_class), self, data) < 0) return nullptr;
    Py_RETURN_NONE;
}

// The context of one output port handed to the input ports connected to it.
// An input port takes the first context delivered after its reset, and only
// then is its event handler told.
int deliver_context(EmitterState* st, PyObject* port) {
    fm::Ref context = fm::steal(PyObject_GetAttr(port, st->n(N__context)));
    if (!context) return -1;
    fm::Ref connected = fm::steal(PyObject_GetAttr(port, st->n(N__connected_ports)));
    if (!connected) return -1;
    fm::Ref snapshot = fm::steal(PySequence_Tuple(connected.get()));
    if (!snapshot) return -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(snapshot.get()); ++i) {
        PyObject* ip = PyTuple_GET_ITEM(snapshot.get(), i);
        fm::Ref current = fm::steal(PyObject_GetAttr(ip, st->n(N__context)));
        if (!current) return -1;
        if (current.get() != Py_None) continue;
        if (PyObject_SetAttr(ip, st->n(N__context), context.get()) < 0) return -1;
        fm::Ref handler = fm::steal(PyObject_GetAttr(ip, st->n(N__event_handler)));
        if (!handler) return -1;
        if (handler.get() != Py_None) {
            fm::Ref r = fm::steal(PyObject_CallNoArgs(handler.get()));
            if (!r) return -1;
        }
    }
    return 0;
}

PyObject* onode_push_context(EmitterState* st, PyObject* self) {
    fm::Ref ports = fm::borrow(ports_of(self));
    if (!ports) return nullptr;

    fm::Ref own = fm::field_ref(self, &fm::as<fm::ElementObject>(self)->context);
    int truth = own ? PyObject_IsTrue(own.get()) : 0;
    if (truth < 0) return nullptr;
    fm::Ref per_port =
        fm::steal(truth ? PyObject_GetAttr(own.get(), st->n(N_output)) : PyDict_New());
    if (!per_port) return nullptr;

    fm::Ref snapshot = fm::steal(PyDict_Items(ports.get()));
    if (!snapshot) return nullptr;
    Py_ssize_t count = PyList_GET_SIZE(snapshot.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(snapshot.get(), i);
        PyObject* name = PyTuple_GET_ITEM(item, 0);
        int has = PySequence_Contains(per_port.get(), name);
        if (has < 0) return nullptr;
        if (!has) return PyErr_Format(PyExc_ValueError, "No context found for port '%S'.", name);
        fm::Ref value = fm::steal(PyObject_GetItem(per_port.get(), name));
        if (!value ||
            PyObject_SetAttr(PyTuple_GET_ITEM(item, 1), st->n(N__context), value.get()) < 0)
            return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(snapshot.get(), i);
        if (deliver_context(st, PyTuple_GET_ITEM(item, 1)) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// True in the N-th, 2N-th, ... cycle of a run (N the decimation factor).
PyObject* onode_is_decimation_step(EmitterState* st, PyObject* self) {
    PyObject* key = st->decimation_key.get();
    if (!key) return nullptr;
    fm::Ref config = fm::borrow(fm::config_of(self));
    if (!config) return nullptr;
    fm::Ref factor = fm::steal(PyObject_GetItem(config.get(), key));
    if (!factor) return nullptr;
    int64_t next = fm::count_of(fm::as<fm::ElementObject>(self)->counter) + 1;
    if (PyLong_CheckExact(factor.get())) {
        int overflow;
        long long f = PyLong_AsLongLongAndOverflow(factor.get(), &overflow);
        if (f == -1 && PyErr_Occurred()) return nullptr;
        if (!overflow && f != 0) {
            long long r = next % f;
            if (r != 0 && ((r < 0) != (f < 0))) r += f;  // sign of the divisor
            return PyBool_FromLong(r == 0);
        }
    }
    fm::Ref n = fm::steal(PyLong_FromLongLong(next));
    if (!n) return nullptr;
    fm::Ref rem = fm::steal(PyNumber_Remainder(n.get(), factor.get()));
    if (!rem) return nullptr;
    fm::Ref zero = fm::steal(PyLong_FromLong(0));
    if (!zero) return nullptr;
    int eq = fm::equal(rem.get(), zero.get());
    if (eq < 0) return nullptr;
    return PyBool_FromLong(eq);
}

// ---------------------------------------------------------------- run

PyObject* onode_reset_run_state(EmitterState* st, PyObject* self) {
    fm::Ref r = fm::steal(PyObject_CallOneArg(st->base_reset, self));
    if (!r) return nullptr;
    fm::Ref ports = fm::borrow(ports_of(self));
    if (!ports) return nullptr;
    fm::Ref values = fm::steal(PyDict_Values(ports.get()));
    if (!values) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
        if (PyObject_SetAttr(PyList_GET_ITEM(values.get(), i), st->n(N__context), Py_None) < 0)
            return nullptr;
    }
    Py_RETURN_NONE;
}

// Whether every output's effective timing is ASYNC (nothing drives such a
// node from outside until an event comes).
int all_outputs_async(EmitterState* st, PyObject* self) {
    PyObject* async = st->c.async.get();
    if (!async) return -1;
    fm::Ref ports = fm::borrow(ports_of(self));
    if (!ports) return -1;
    fm::Ref values = fm::steal(PyDict_Values(ports.get()));
    if (!values) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
        fm::Ref timing =
            fm::steal(PyObject_GetAttr(PyList_GET_ITEM(values.get(), i), st->n(N_timing)));
        if (!timing) return -1;
        int eq = fm::equal(timing.get(), async);
        if (eq <= 0) return eq;
    }
    return 1;
}

PyObject* onode_start(EmitterState* st, PyObject* self) {
    if (!st->c.async.get()) return nullptr;
    // start is idempotent: a second call must not run a second "first" cycle.
    int was_running =
        st->c.running.matches(fm::field_ref(self, &fm::as<fm::ElementObject>(self)->state).get());
    if (was_running < 0) return nullptr;
    fm::Ref r = fm::steal(PyObject_CallOneArg(st->base_start, self));
    if (!r) return nullptr;
    if (was_running) Py_RETURN_NONE;

    // An input-output node is set up by its input side.
    int is_input = PyObject_IsInstance(self, st->inode_type);
    if (is_input < 0) return nullptr;
    if (is_input) Py_RETURN_NONE;
    int all_async = all_outputs_async(st, self);
    if (all_async <= 0) return all_async < 0 ? nullptr : Py_NewRef(Py_None);

    PyObject* thread_class = st->thread.get();
    if (!thread_class) return nullptr;
    fm::Ref target = fm::steal(PyObject_GetAttr(self, st->n(N__setup_thread_function)));
    if (!target) return nullptr;
    PyObject* kwargs[] = {target.get(), Py_True};
    fm::Ref thread = fm::steal(PyObject_Vectorcall(thread_class, kwargs, 0, st->kw_target_daemon));
    if (!thread) return nullptr;
    fm::set_field_of(self, &onode(self)->setup_thread, thread.get());
    r = fm::steal(fm::call_method(thread.get(), st->n(N_start)));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

// Body of the one-shot setup thread: the node's first cycle, so that its
// setup runs and its context travels downstream before any event. A batch
// node's failure, or a BaseException no cycle contains, arrives here and is
// logged, not raised into the thread.
PyObject* onode_setup_thread_function(EmitterState* st, PyObject* self) {
    fm::Ref r = fm::steal(fm::call_method(self, st->n(N__cycle)));
    if (r) Py_RETURN_NONE;
    fm::Ref exc = fm::steal(PyErr_GetRaisedException());
    fm::keep_uncontained_failure(self, exc.get());
    PyObject* type = st->c.log_error.get();
    if (!type) return nullptr;
    PyObject* const values[] = {exc.get(), type};
    r = fm::steal(fm::call_method_kw(self, st->n(N_log), st->kw_msg_type, values));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- type

using fm::as_cfunc;

PyMethodDef onode_methods[] = {
    {"get_port", as_cfunc(onode_get_port), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("get_port(port_name)\n--\n\nThe output port named port_name.")},
    {"get_output_port", as_cfunc(onode_get_output_port), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("get_output_port(port_name)\n--\n\nThe output port named port_name, also where a "
               "subclass redefines get_port.")},
    {"connect", as_cfunc(onode_connect), fm::kMethodCall,
     PyDoc_STR("connect(output_port, target, input_port)\n--\n\nJoins an output port to an input "
               "port of target, output side first; the output side is undone when the input "
               "side refuses.")},
    {"disconnect", as_cfunc(onode_disconnect), fm::kMethodCall,
     PyDoc_STR("disconnect(output_port, target, input_port)\n--\n\nDetaches both sides, output "
               "side first.")},
    {"_push_data", as_cfunc(onode_push_data), fm::kMethodCall,
     PyDoc_STR("_push_data(data)\n--\n\nPushes data[name] to each output port named in data.")},
    fm::method_def<"_push_context", onode_push_context>(
        PyDoc_STR("_push_context()\n--\n\nGives each output port its context and hands it to the "
                  "connected input ports that have none yet.")),
    fm::method_def<"is_decimation_step", onode_is_decimation_step>(
        PyDoc_STR("is_decimation_step()\n--\n\nTrue in every N-th cycle, N the decimation "
                  "factor.")),
    fm::method_def<"reset_run_state", onode_reset_run_state>(
        PyDoc_STR("reset_run_state()\n--\n\nThe element's reset, then the output ports' contexts "
                  "cleared.")),
    fm::method_def<"start", onode_start>(
        PyDoc_STR("start()\n--\n\nStarts the node; a plain node whose outputs are all ASYNC runs "
                  "its first cycle on a one-shot daemon thread.")),
    fm::method_def<"_setup_thread_function", onode_setup_thread_function>(
        PyDoc_STR("_setup_thread_function()\n--\n\nBody of the one-shot setup thread.")),
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef onode_members[] = {
    {"_output_ports", Py_T_OBJECT_EX, offsetof(fm::ONodeObject, output_ports), Py_READONLY,
     PyDoc_STR("Output-port name to OPortImp, in configuration order.")},
    {"_setup_thread", Py_T_OBJECT_EX, offsetof(fm::ONodeObject, setup_thread), Py_READONLY,
     PyDoc_STR("The one-shot setup thread of the latest all-ASYNC start.")},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot onode_slots[] = {
    {Py_tp_doc, const_cast<char*>("ONodeImp(config)\n--\n\nA node with output ports.")},
    {Py_tp_init, reinterpret_cast<void*>(onode_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(onode_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(onode_clear)},
    {Py_tp_methods, onode_methods},
    {Py_tp_members, onode_members},
    {0, nullptr},
};

PyType_Spec onode_spec = {
    .name = "flowmesh.imp.ONodeImp",
    .basicsize = sizeof(fm::ONodeObject),
    .itemsize = 0,
    .flags = fm::kTypeFlags,
    .slots = onode_slots,
};

// ---------------------------------------------------------------- module

int emitter_exec(PyObject* module) {
    EmitterState* st = fm::module_state<EmitterState>(module);
    new (st) EmitterState{};
    if (st->n.intern() < 0) return -1;
    st->kw_msg_type = fm::names_tuple({"msg", "type"}).release();
    st->kw_target_daemon = fm::names_tuple({"target", "daemon"}).release();
    if (!st->kw_msg_type || !st->kw_target_daemon) return -1;

    fm::Ref base = fm::steal(fm::imp_class("NodeImp"));
    if (!base) return -1;
    st->type = fm::type_from_spec(module, &onode_spec, base.get());
    if (!st->type) return -1;
    st->ports =
        fm::import_api<fm::PortsApi>("flowmesh.imp._ports", fm::kPortsApi, &st->ports_module);
    if (!st->ports) return -1;
    st->push_data = api_push_data;
    st->table_watcher = PyDict_AddWatcher(table_changed);
    if (st->table_watcher < 0) PyErr_Clear();
    if (fm::export_api(module, fm::kEmitterApi, static_cast<fm::EmitterApi*>(st)) < 0) return -1;
    st->base_start = PyObject_GetAttr(base.get(), st->n(N_start));
    st->base_reset = PyObject_GetAttr(base.get(), st->n(N_reset_run_state));
    // The package binds INodeImp before it loads this module.
    st->inode_type = fm::imp_class("INodeImp");
    if (!st->base_start || !st->base_reset || !st->inode_type) return -1;
    return PyModule_AddObjectRef(module, "ONodeImp", st->type);
}

PyModuleDef emitter_module = fm::module_def<EmitterState>(
    "flowmesh.imp.emitter", "Output nodes: ports, delivery and the one-shot setup thread.",
    fm::module_slots<emitter_exec>);

}  // namespace

PyMODINIT_FUNC PyInit_emitter(void) {
    return PyModuleDef_Init(&emitter_module);
}
