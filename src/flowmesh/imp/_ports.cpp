// flowmesh.imp._ports: the data path between nodes. OPortImp.push hands a
// value to every port of one snapshot of its connection list; IPortImp.push
// queues it on its node's input driver, which assembles frames and runs the
// node's cycles; INodeImp is the node with input ports.
//
// The driver runs a node's cycle on one thread at a time without a lock. By
// default the thread that delivers the item completing a frame runs it
// ("push-through"); a thread that finds another one running the node only
// queues, and the running thread drains the queue before it lets go. Under the
// GIL, "queue empty" and "no longer running" are decided with no Python call
// in between, so nothing queued is ever stranded. A decoupled node runs its
// cycles on a worker thread of its own instead.
//
// Files: input_side.hpp (shared layouts), input_driver.cpp, input_node.cpp,
// tap.cpp (TapImp, the port of no node that keeps what reaches it),
// streams.cpp (StreamsImp, event streams to many clients written without Python).
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "input_side.hpp"

namespace fm::ports {

// ==================================================================== OPortImp

int push(PortsState* st, PyObject* port, PyObject* value);

// OPortImp.push: the value to every port of one snapshot of the connections.
int deliver(PortsState* st, PyObject* self, PyObject* value) {
    // One snapshot for the whole delivery: a concurrent connect or disconnect
    // publishes a new tuple and leaves this one intact.
    fm::Ref snapshot = fm::published_ref(fm::as<fm::PortObject>(self)->connected_ports);
    if (!snapshot) return 0;
    Py_ssize_t n = PyTuple_GET_SIZE(snapshot.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (push(st, PyTuple_GET_ITEM(snapshot.get(), i), value) < 0) return -1;
    }
    return 0;
}

// port.push(value): the ports of this module in C++, any other (a Python
// subclass may redefine push) by name.
int push(PortsState* st, PyObject* port, PyObject* value) {
    PyTypeObject* type = Py_TYPE(port);
    if (type == reinterpret_cast<PyTypeObject*>(st->iport_type)) return receive(port, value);
    if (type == reinterpret_cast<PyTypeObject*>(st->oport_type)) return deliver(st, port, value);
    if (type == reinterpret_cast<PyTypeObject*>(st->tap_type))
        return tap_push(port, value, nullptr);
    fm::Ref r = fm::steal(fm::call_method(port, st->n(N_push), value));
    return r ? 0 : -1;
}

// The exported entry point: an output node hands each output value here.
int api_push(fm::PortsApi* api, PyObject* port, PyObject* value) {
    return push(static_cast<PortsState*>(api), port, value);
}

PyObject* oport_push(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
    // The shortcut for one positional argument serves the facade's OPort.push,
    // called on every frame a Python source sends (bench/PROFILE.md).
    PyObject* value;
    if (nargs == 1 && !kwnames) {
        value = args[0];
    } else {
        static const char* const names[] = {"value"};
        PyObject* a[] = {nullptr};
        if (!fm::parse_args("push", args, nargs, kwnames, names, a, 1)) return nullptr;
        value = a[0];
    }
    if (deliver(fm::class_state<PortsState>(defining_class), self, value) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ==================================================================== loops
//
// A frame pushed through to a node runs that node's cycle on the delivering
// thread, and the cycle's output is pushed on from there. Around a loop of
// such connections a frame would come back to a node the same thread is still
// running: it is queued there and run as soon as the cycle ends, and so on
// without end, with no point at which a stop could intervene. A connection
// into a decoupled node only queues for the node's worker, so a loop through
// one is feedback across a thread boundary, which a stop ends.

// The types the walk tells apart, resolved before it starts. The walk holds
// every node and connection list it reads: other threads may change the graph
// meanwhile (then it sees each list as it was when read).
struct LoopTypes {
    PyTypeObject* onode;
    PyTypeObject* port;
    PyTypeObject* iport;
};

bool loop_types(PortsState* st, fm::Ref* onode, LoopTypes* types) {
    *onode = fm::steal(fm::imp_class("ONodeImp"));
    if (!*onode) return false;
    types->onode = reinterpret_cast<PyTypeObject*>(onode->get());
    types->port = reinterpret_cast<PyTypeObject*>(st->port_base);
    types->iport = reinterpret_cast<PyTypeObject*>(st->iport_type);
    return true;
}

// The node an input port delivers to on the delivering thread, or null for
// one that only queues (a decoupled node) or belongs to no node.
PyObject* pushed_through_to(const LoopTypes& types, PyObject* ip) {
    if (!PyObject_TypeCheck(ip, types.iport)) return nullptr;
    PyObject* owner = iport(ip)->driver;
    if (!owner || driver(owner)->decoupled) return nullptr;
    return driver(owner)->node;
}

// The nodes that `node`'s cycle runs on its own thread through its outputs;
// *owns is set when `port` is one of those outputs. Runs no code.
void successors(const LoopTypes& types, PyObject* node, PyObject* port, std::vector<fm::Ref>& next,
                bool* owns) {
    next.clear();
    if (!PyObject_TypeCheck(node, types.onode)) return;
    fm::Ref outputs = fm::field_ref(node, &fm::as<fm::ONodeObject>(node)->output_ports);
    if (!outputs || !PyDict_Check(outputs.get())) return;
    std::vector<fm::Ref> ports;
    {
        fm::CriticalSection cs(outputs.get());
        Py_ssize_t pos = 0;
        PyObject* op;
        while (PyDict_Next(outputs.get(), &pos, nullptr, &op)) ports.push_back(fm::borrow(op));
    }
    for (const fm::Ref& op : ports) {
        if (op.get() == port) *owns = true;
        if (!PyObject_TypeCheck(op.get(), types.port)) continue;
        fm::Ref connected =
            fm::field_ref(op.get(), &fm::as<fm::PortObject>(op.get())->connected_ports.value);
        if (!connected || !PyTuple_Check(connected.get())) continue;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(connected.get()); ++i)
            if (PyObject* target = pushed_through_to(types, PyTuple_GET_ITEM(connected.get(), i)))
                next.push_back(fm::borrow(target));
    }
}

// One step of a depth-first walk: a node and the successors still to visit.
struct WalkFrame {
    PyObject* node;  // held by its predecessor's `next`, or by the caller
    std::vector<fm::Ref> next;
    size_t at = 0;
};

// The nodes of the walk's current path, from `from` on, held.
std::vector<fm::Ref> held_path(const std::vector<WalkFrame>& stack, size_t from) {
    std::vector<fm::Ref> path;
    for (size_t i = from; i < stack.size(); ++i) path.push_back(fm::borrow(stack[i].node));
    return path;
}

// A path of pushed-through connections from `start` to the node that owns
// the output port `port`, or an empty one.
std::vector<fm::Ref> path_to_port(const LoopTypes& types, PyObject* start, PyObject* port) {
    std::vector<WalkFrame> stack;
    std::unordered_set<PyObject*> seen{start};
    std::vector<fm::Ref> held;  // everything in `seen`, so that no address is reused
    bool owns = false;
    stack.push_back({start, {}});
    successors(types, start, port, stack.back().next, &owns);
    if (owns) return held_path(stack, 0);
    while (!stack.empty()) {
        WalkFrame& top = stack.back();
        if (top.at == top.next.size()) {
            stack.pop_back();
            continue;
        }
        PyObject* node = top.next[top.at++].get();
        if (!seen.insert(node).second) continue;
        held.push_back(fm::borrow(node));
        stack.push_back({node, {}});
        successors(types, node, port, stack.back().next, &owns);
        if (owns) return held_path(stack, 0);
    }
    return {};
}

// A loop of pushed-through connections among the nodes reachable from
// `seeds`, or an empty one.
std::vector<fm::Ref> find_loop(const LoopTypes& types, const std::vector<fm::Ref>& seeds) {
    enum : uint8_t { kOnPath = 1, kDone = 2 };
    std::unordered_map<PyObject*, uint8_t> mark;
    std::vector<WalkFrame> stack;
    std::vector<fm::Ref> held;  // everything in `mark`, so that no address is reused
    bool unused = false;
    for (const fm::Ref& seed : seeds) {
        if (mark.count(seed.get())) continue;
        mark[seed.get()] = kOnPath;
        stack.push_back({seed.get(), {}});
        successors(types, seed.get(), nullptr, stack.back().next, &unused);
        while (!stack.empty()) {
            WalkFrame& top = stack.back();
            if (top.at == top.next.size()) {
                mark[top.node] = kDone;
                stack.pop_back();
                continue;
            }
            PyObject* node = top.next[top.at++].get();
            auto known = mark.find(node);
            if (known != mark.end()) {
                if (known->second == kDone) continue;
                size_t from = 0;
                while (stack[from].node != node) ++from;
                return held_path(stack, from);
            }
            mark[node] = kOnPath;
            held.push_back(fm::borrow(node));
            stack.push_back({node, {}});
            successors(types, node, nullptr, stack.back().next, &unused);
        }
    }
    return {};
}

// Raises ValueError "{lead} the loop a -> b -> a: ..." for a loop given as
// its nodes in order. Always returns -1.
int raise_loop(const char* lead, const std::vector<fm::Ref>& loop) {
    fm::Ref names = fm::steal(PyList_New(0));
    if (!names) return -1;
    for (size_t i = 0; i <= loop.size(); ++i) {
        PyObject* node = loop[i % loop.size()].get();
        fm::Ref name = fm::steal(PyObject_GetAttrString(node, "name"));
        if (!name && !fm::swallow_exception()) return -1;
        fm::Ref text = name ? fm::safe_text(name.get())
                            : fm::steal(PyUnicode_FromFormat("<%s>", Py_TYPE(node)->tp_name));
        if (!text || PyList_Append(names.get(), text.get()) < 0) return -1;
    }
    fm::Ref arrow = fm::steal(PyUnicode_FromString(" -> "));
    fm::Ref path = arrow ? fm::steal(PyUnicode_Join(arrow.get(), names.get())) : fm::Ref();
    if (!path) return -1;
    PyErr_Format(PyExc_ValueError,
                 "%s the loop %U: each frame would travel it without end on one thread, which "
                 "nothing could stop. Make a node on the loop decoupled (decoupled=True): a loop "
                 "through a decoupled node's queue runs as feedback.",
                 lead, path.get());
    return -1;
}

// Refuses a connection from output port `self` to input port `ip` that
// would close a loop of pushed-through connections.
int refuse_loop(PortsState* st, PyObject* self, PyObject* ip) {
    fm::Ref onode;
    LoopTypes types;
    if (!loop_types(st, &onode, &types)) return -1;
    PyObject* start = pushed_through_to(types, ip);
    if (!start) return 0;
    std::vector<fm::Ref> loop = path_to_port(types, start, self);
    if (loop.empty()) return 0;
    return raise_loop("Connecting these ports would close", loop);
}

// OPortImp.connect: the loop check, then the joining rules of PortImp.
PyObject* oport_connect(PortsState* st, PyObject* self, PyObject* target_arg) {
    fm::Ref target = fm::borrow(target_arg);
    if (refuse_loop(st, self, target.get()) < 0) return nullptr;
    fm::Ref base = fm::steal(PyObject_GetAttrString(st->port_base, "connect"));
    if (!base) return nullptr;
    PyObject* call[] = {self, target.get()};
    return PyObject_Vectorcall(base.get(), call, 2, nullptr);
}

// _check_loops(elements): raises ValueError naming a loop of pushed-through
// connections among the given elements (nodes, chains' internal nodes, or
// their implementations) and whatever they reach.
PyObject* check_loops(PyObject* module, PyObject* elements) {
    PortsState* st = fm::module_state<PortsState>(module);
    fm::Ref listed = fm::steal(PySequence_Tuple(elements));
    if (!listed) return nullptr;
    PyTypeObject* node_type = reinterpret_cast<PyTypeObject*>(st->node_base);
    std::vector<fm::Ref> seeds;
    // The implementation of an element, or of each internal node of a chain.
    auto gather = [&](auto&& self_fn, PyObject* element, int depth) -> int {
        fm::Ref imp = fm::borrow(element);
        if (!PyObject_TypeCheck(element, node_type)) {
            PyObject* found;
            if (PyObject_GetOptionalAttr(element, st->n(N__imp), &found) < 0) return -1;
            if (found) imp = fm::steal(found);
        }
        if (PyObject_TypeCheck(imp.get(), node_type)) {
            seeds.push_back(std::move(imp));
            return 0;
        }
        if (depth > 0) return 0;
        PyObject* inner;
        if (PyObject_GetOptionalAttrString(imp.get(), "_internal_nodes", &inner) < 0) return -1;
        fm::Ref held = fm::steal(inner);
        if (!held || !PyList_Check(held.get())) return 0;
        fm::Ref nodes = fm::steal(PyList_AsTuple(held.get()));
        if (!nodes) return -1;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(nodes.get()); ++i)
            if (self_fn(self_fn, PyTuple_GET_ITEM(nodes.get(), i), depth + 1) < 0) return -1;
        return 0;
    };
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(listed.get()); ++i)
        if (gather(gather, PyTuple_GET_ITEM(listed.get(), i), 0) < 0) return nullptr;
    fm::Ref onode;
    LoopTypes types;
    if (!loop_types(st, &onode, &types)) return nullptr;
    std::vector<fm::Ref> loop = find_loop(types, seeds);
    if (!loop.empty()) {
        raise_loop("The pipeline holds", loop);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef ports_functions[] = {
    fm::method_def<"_check_loops", check_loops, "elements">(
        PyDoc_STR("_check_loops(elements)\n--\n\nRaise ValueError naming a loop that a frame would "
                  "travel without end on one thread.")),
    fm::method_def<"_columns", tap_columns, "times", "values", "dt", "last">(
        PyDoc_STR("_columns(times, values, dt, last)\n--\n\n(numbers, lows, highs) of plain "
                  "numbers taken from a tap, per column of `dt` seconds from column `last` on "
                  "(None: all), or None when a value is not a plain float or int.")),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef oport_methods[] = {
    {"push", as_cfunc(oport_push), fm::kMethodCall,
     PyDoc_STR("push(value)\n--\n\nDeliver `value` to every connected port.")},
    fm::method_def<"connect", oport_connect, "port">(
        PyDoc_STR("connect(port)\n--\n\nJoin `port` to this port (this side only), unless that "
                  "closes a loop a frame would travel without end on one thread.")),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot oport_slots[] = {
    {Py_tp_doc, const_cast<char*>("OPortImp(config)\n--\n\nAn output port.")},
    {Py_tp_methods, oport_methods},
    {0, nullptr},
};

PyType_Spec oport_spec = {
    .name = "flowmesh.imp.OPortImp",
    .basicsize = 0,  // no fields of its own, so no GC slots either: the base's are inherited
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .slots = oport_slots,
};

// ==================================================================== IPortImp

int iport_init(PyObject* self, PyObject* args, PyObject* kwds) {
    PortsState* st = fm::instance_state<PortsState>(self, &ports_module);
    if (!st) return -1;
    if (fm::init_base(st->iport_type, self, args, kwds) < 0) return -1;
    fm::set_field(&iport(self)->event_handler, Py_None);
    return 0;
}

// METH_O: the data path's call when a Python-level port pushes to this one;
// bench/PROFILE.md counts what argument parsing costs a frame.
PyObject* iport_push(PyObject* self, PyObject* value) {
    fm::Ref keep = fm::borrow(self);
    if (receive(self, value) < 0) return nullptr;
    Py_RETURN_NONE;
}

// _collect(tap, counts=True): what reaches this port from now on goes to
// `tap`, a TapImp, counted as the node's cycles while `counts`, and the
// node's own cycle never runs for it; tap None: to the node again.
PyObject* iport_collect(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    static const char* const names[] = {"tap", "counts"};
    PyObject* a[] = {nullptr, Py_True};
    if (!fm::parse_args("_collect", args, nargs, kwnames, names, a, 1)) return nullptr;
    PortsState* st = fm::instance_state<PortsState>(self, &ports_module);
    if (!st) return nullptr;
    PyObject* tap = a[0];
    if (tap != Py_None && Py_TYPE(tap) != reinterpret_cast<PyTypeObject*>(st->tap_type))
        return PyErr_Format(PyExc_TypeError, "_collect takes a TapImp or None, not %s",
                            Py_TYPE(tap)->tp_name);
    int counts = PyObject_IsTrue(a[1]);
    if (counts < 0) return nullptr;
    fm::Ref old;
    {
        fm::CriticalSection cs(self);
        fm::publish(iport(self)->collector_counts, counts);
        old = fm::replace_published(iport(self)->collector, tap == Py_None ? nullptr : tap);
    }
    Py_RETURN_NONE;
}

int iport_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(iport(self)->event_handler);
    Py_VISIT(iport(self)->driver);
    Py_VISIT(iport(self)->collector.value);
    return fm::traverse_port(self, visit, arg);
}

int iport_clear(PyObject* self) {
    Py_CLEAR(iport(self)->event_handler);
    Py_CLEAR(iport(self)->driver);
    {
        fm::Ref old = fm::replace_published(iport(self)->collector, nullptr);
    }
    fm::clear_port(self);
    return 0;
}

PyMethodDef iport_methods[] = {
    {"push", iport_push, METH_O,
     PyDoc_STR("push(value)\n--\n\nQueue `value` for this port's node (dropped unless the "
               "node is running).")},
    {"_collect", as_cfunc(iport_collect), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("_collect(tap, counts=True)\n--\n\nSend what reaches this port to `tap` (a "
               "TapImp) instead of to the node's cycle, counted as the node's cycles while "
               "`counts`; tap None: to the node again.")},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef iport_members[] = {
    {"_event_handler", Py_T_OBJECT_EX, offsetof(IPortObject, event_handler), 0,
     PyDoc_STR("Called with no arguments when a context first reaches this port, or None.")},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot iport_slots[] = {
    {Py_tp_doc, const_cast<char*>("IPortImp(config)\n--\n\nAn input port.")},
    {Py_tp_init, reinterpret_cast<void*>(iport_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(iport_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iport_clear)},
    {Py_tp_methods, iport_methods},
    {Py_tp_members, iport_members},
    {0, nullptr},
};

PyType_Spec iport_spec = {
    .name = "flowmesh.imp.IPortImp",
    .basicsize = sizeof(IPortObject),
    .itemsize = 0,
    .flags = fm::kTypeFlags,
    .slots = iport_slots,
};

// ==================================================================== module

int ports_exec(PyObject* module) {
    PortsState* st = fm::module_state<PortsState>(module);
    new (st) PortsState{};
    if (st->n.intern() < 0) return -1;
    st->kw_msg_type = fm::names_tuple({"msg", "type"}).release();
    st->kw_target_args_daemon = fm::names_tuple({"target", "args", "daemon"}).release();
    if (!st->kw_msg_type || !st->kw_target_args_daemon) return -1;

    st->vertex =
        fm::import_api<fm::VertexApi>("flowmesh.imp.vertex", fm::kVertexApi, &st->vertex_module);
    if (!st->vertex) return -1;
    st->push = api_push;
    if (fm::export_api(module, fm::kPortsApi, static_cast<fm::PortsApi*>(st)) < 0) return -1;
    st->port_base = fm::imp_class("PortImp");
    if (!st->port_base) return -1;
    st->node_base = fm::imp_class("NodeImp");
    if (!st->node_base) return -1;
    st->base_start = PyObject_GetAttr(st->node_base, st->n(N_start));
    st->base_stop = PyObject_GetAttr(st->node_base, st->n(N_stop));
    st->base_reset = PyObject_GetAttr(st->node_base, st->n(N_reset_run_state));
    if (!st->base_start || !st->base_stop || !st->base_reset) return -1;

    st->driver_type = fm::type_from_spec(module, &driver_spec, nullptr);
    if (!st->driver_type) return -1;
    st->oport_type = fm::type_from_spec(module, &oport_spec, st->port_base);
    if (!st->oport_type) return -1;
    st->iport_type = fm::type_from_spec(module, &iport_spec, st->port_base);
    if (!st->iport_type) return -1;
    st->tap_type = fm::type_from_spec(module, &tap_spec, st->iport_type);
    if (!st->tap_type) return -1;
    st->inode_type = fm::type_from_spec(module, &inode_spec, st->node_base);
    if (!st->inode_type) return -1;
    if (fm::add_static_methods(st->inode_type, module, inode_static_methods) < 0) return -1;
    fm::Ref streams_type = fm::steal(fm::type_from_spec(module, &streams_spec, nullptr));
    if (!streams_type) return -1;
    if (PyModule_AddObjectRef(module, "OPortImp", st->oport_type) < 0 ||
        PyModule_AddObjectRef(module, "IPortImp", st->iport_type) < 0 ||
        PyModule_AddObjectRef(module, "TapImp", st->tap_type) < 0 ||
        PyModule_AddObjectRef(module, "INodeImp", st->inode_type) < 0 ||
        PyModule_AddObjectRef(module, "StreamsImp", streams_type.get()) < 0)
        return -1;
    return 0;
}

PyModuleDef ports_module = fm::module_def<PortsState>(
    "flowmesh.imp._ports", "Output and input ports, and the input side of nodes.",
    fm::module_slots<ports_exec>, ports_functions);

}  // namespace fm::ports

PyMODINIT_FUNC PyInit__ports(void) {
    return PyModuleDef_Init(&fm::ports::ports_module);
}
