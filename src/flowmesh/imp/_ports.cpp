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
// Files: input_side.hpp (shared layouts), input_driver.cpp, input_node.cpp.
#include <new>

#include "input_side.hpp"

namespace fm::ports {

// ==================================================================== OPortImp

int push(PortsState* st, PyObject* port, PyObject* value);

// OPortImp.push: the value to every port of one snapshot of the connections.
int deliver(PortsState* st, PyObject* self, PyObject* value) {
    PyObject* list = fm::as<fm::PortObject>(self)->connected_ports;
    if (!list) return 0;
    // One snapshot for the whole delivery: a concurrent connect or disconnect
    // publishes a new tuple and leaves this one intact.
    fm::Ref snapshot = fm::borrow(list);
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
    fm::Ref r = fm::steal(fm::call_method(port, st->s_push, value));
    return r ? 0 : -1;
}

// The exported entry point: an output node hands each output value here.
int api_push(fm::PortsApi* api, PyObject* port, PyObject* value) {
    return push(static_cast<PortsState*>(api), port, value);
}

PyObject* oport_push(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
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

PyMethodDef oport_methods[] = {
    {"push", as_cfunc(oport_push), fm::kMethodCall,
     PyDoc_STR("push(value)\n--\n\nDeliver `value` to every connected port.")},
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
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &ports_module);
    if (!module) return -1;
    PortsState* st = fm::module_state<PortsState>(module);
    if (fm::init_base(st->iport_type, self, args, kwds) < 0) return -1;
    fm::set_field(&iport(self)->event_handler, Py_None);
    return 0;
}

PyObject* iport_push(PyObject* self, PyObject* value) {
    fm::Ref keep = fm::borrow(self);
    if (receive(self, value) < 0) return nullptr;
    Py_RETURN_NONE;
}

int iport_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(iport(self)->event_handler);
    Py_VISIT(iport(self)->driver);
    return fm::traverse_port(self, visit, arg);
}

int iport_clear(PyObject* self) {
    Py_CLEAR(iport(self)->event_handler);
    Py_CLEAR(iport(self)->driver);
    fm::clear_port(self);
    return 0;
}

PyMethodDef iport_methods[] = {
    {"push", iport_push, METH_O,
     PyDoc_STR("push(value)\n--\n\nQueue `value` for this port's node (dropped unless the "
               "node is running).")},
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

PyObject* make_type(PyObject* module, PyType_Spec* spec, PyObject* base) {
    fm::Ref bases = fm::steal(base ? PyTuple_Pack(1, base) : nullptr);
    if (base && !bases) return nullptr;
    return PyType_FromModuleAndSpec(module, spec, bases.get());
}

int ports_exec(PyObject* module) {
    PortsState* st = fm::module_state<PortsState>(module);
    new (st) PortsState{};
    if (fm::intern(&st->s_push, "push") < 0 || fm::intern(&st->s_cycle, "_cycle") < 0 ||
        fm::intern(&st->s_setup_cycle, "_setup_cycle") < 0 ||
        fm::intern(&st->s_input_ports, "_input_ports") < 0 ||
        fm::intern(&st->s_input_driver, "_input_driver") < 0 ||
        fm::intern(&st->s_context_arrived, "_context_arrived") < 0 ||
        fm::intern(&st->s_work, "_work") < 0 || fm::intern(&st->s_Keys, "Keys") < 0 ||
        fm::intern(&st->s_INPUT_PORTS, "INPUT_PORTS") < 0 ||
        fm::intern(&st->s_DECOUPLED, "DECOUPLED") < 0 ||
        fm::intern(&st->s_QUEUE_BOUND, "QUEUE_BOUND") < 0 ||
        fm::intern(&st->s_OVERFLOW, "OVERFLOW") < 0 || fm::intern(&st->s_imp, "_imp") < 0 ||
        fm::intern(&st->s_config, "config") < 0 || fm::intern(&st->s_start, "start") < 0 ||
        fm::intern(&st->s_join, "join") < 0 || fm::intern(&st->s_ident, "ident") < 0 ||
        fm::intern(&st->s_log, "log") < 0 || fm::intern(&st->s_name, "name") < 0)
        return -1;
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
    st->base_start = PyObject_GetAttr(st->node_base, st->s_start);
    st->base_stop = PyObject_GetAttrString(st->node_base, "stop");
    st->base_reset = PyObject_GetAttrString(st->node_base, "reset_run_state");
    if (!st->base_start || !st->base_stop || !st->base_reset) return -1;

    st->driver_type = make_type(module, &driver_spec, nullptr);
    if (!st->driver_type) return -1;
    st->oport_type = make_type(module, &oport_spec, st->port_base);
    if (!st->oport_type) return -1;
    st->iport_type = make_type(module, &iport_spec, st->port_base);
    if (!st->iport_type) return -1;
    st->inode_type = make_type(module, &inode_spec, st->node_base);
    if (!st->inode_type) return -1;
    if (fm::add_static_methods(st->inode_type, module, inode_static_methods) < 0) return -1;
    if (PyModule_AddObjectRef(module, "OPortImp", st->oport_type) < 0 ||
        PyModule_AddObjectRef(module, "IPortImp", st->iport_type) < 0 ||
        PyModule_AddObjectRef(module, "INodeImp", st->inode_type) < 0)
        return -1;
    return 0;
}

PyModuleDef_Slot ports_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(ports_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef ports_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "flowmesh.imp._ports",
    .m_doc = "Output and input ports, and the input side of nodes.",
    .m_size = sizeof(PortsState),
    .m_methods = nullptr,
    .m_slots = ports_slots,
    .m_traverse = fm::traverse_state<PortsState>,
    .m_clear = fm::clear_state<PortsState>,
    .m_free = fm::free_state<PortsState>,
};

}  // namespace fm::ports

PyMODINIT_FUNC PyInit__ports(void) {
    return PyModuleDef_Init(&fm::ports::ports_module);
}
