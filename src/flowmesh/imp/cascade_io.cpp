// flowmesh.imp.cascade_io: IOChainImp, a chain of input-output nodes whose
// first node's input ports and last node's output ports are its own.
#include "cascade.hpp"

namespace {

using fm::Ref;
using fm::steal;
using namespace fm::cascade;

extern PyModuleDef cascade_io_module;

// ------------------------------------------------------------- construction

int iochain_init(PyObject* self, PyObject* args, PyObject* kwds) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &cascade_io_module);
    if (!module) return -1;
    CascadeState* st = fm::module_state<CascadeState>(module);
    if (!st->ionode.get()) return -1;
    PyObject* config;
    PyObject* nodes;
    if (!init_chain_base(st, self, args, kwds, "OO:IOChainImp", &config, &nodes)) return -1;
    Ref hold_config = fm::borrow(config);
    Ref hold_nodes = fm::borrow(nodes);

    Ref seq = steal(PySequence_Tuple(nodes));
    if (!seq) return -1;
    for (Py_ssize_t p = 0; p < PyTuple_GET_SIZE(seq.get()); ++p) {
        int ok = is_a(PyTuple_GET_ITEM(seq.get(), p), st->ionode);
        if (ok < 0) return -1;
        if (!ok) {
            PyErr_Format(PyExc_TypeError, "Internal node %zd must be an IONode.", p);
            return -1;
        }
    }
    Ref r = steal(fm::call_method(self, st->n(N__connect_internal_nodes)));
    if (!r) return -1;

    Ref first = steal(node_at(nodes, 0));
    Ref last = first ? steal(node_at(nodes, -1)) : Ref();
    if (!last) return -1;
    Ref inputs = steal(adopt_and_copy(st, config, N_INPUT_PORTS, first.get()));
    Ref outputs = inputs ? steal(adopt_and_copy(st, config, N_OUTPUT_PORTS, last.get())) : Ref();
    if (!outputs || store_plain(st, config, N_INPUT_PORTS, inputs.get()) < 0 ||
        store_plain(st, config, N_OUTPUT_PORTS, outputs.get()) < 0)
        return -1;
    if (bind_table(st, self, first.get(), N__input_ports) < 0) return -1;
    return bind_table(st, self, last.get(), N__output_ports);
}

// ---------------------------------------------------------------- operations

// Whatever the first node's own get_port returns (dispatched on that node).
PyObject* iochain_get_port(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
    CascadeState* st = fm::class_state<CascadeState>(defining_class);
    static const char* const names[] = {"port_name"};
    PyObject* a[] = {nullptr};
    if (!fm::parse_args("get_port", args, nargs, kwnames, names, a, 1)) return nullptr;
    Ref first = steal(boundary_node(st, self, false));
    Ref imp = first ? steal(PyObject_GetAttr(first.get(), st->n(N__imp))) : Ref();
    if (!imp) return nullptr;
    return fm::call_method(imp.get(), st->n(N_get_port), a[0]);
}

// ---------------------------------------------------------------- type

using fm::as_cfunc;

PyMethodDef iochain_methods[] = {
    {"connect", as_cfunc(chain_connect), fm::kMethodCall,
     PyDoc_STR("connect(output_port, target, input_port)\n--\n\nThe last internal node's "
               "connect.")},
    {"disconnect", as_cfunc(chain_disconnect), fm::kMethodCall,
     PyDoc_STR("disconnect(output_port, target, input_port)\n--\n\nThe last internal node's "
               "disconnect.")},
    {"get_port", as_cfunc(iochain_get_port), fm::kMethodCall,
     PyDoc_STR("get_port(port_name)\n--\n\nThe port the first internal node's own get_port "
               "returns.")},
    {"get_output_port", as_cfunc(chain_get_output_port), fm::kMethodCall,
     PyDoc_STR("get_output_port(port_name)\n--\n\nThe last internal node's output port named "
               "port_name.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot iochain_slots[] = {
    {Py_tp_doc, const_cast<char*>("IOChainImp(config, internal_nodes)\n--\n\nA chain of "
                                  "input-output nodes: the first node's inputs and the last "
                                  "node's outputs are its own.")},
    {Py_tp_init, reinterpret_cast<void*>(iochain_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(chain_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(chain_clear)},
    {Py_tp_methods, iochain_methods},
    {0, nullptr},
};

PyType_Spec iochain_spec = {
    .name = "flowmesh.imp.IOChainImp",
    .basicsize = 0,
    .itemsize = 0,
    .flags = fm::kTypeFlags,
    .slots = iochain_slots,
};

// ---------------------------------------------------------------- module

int cascade_io_exec(PyObject* module) {
    PyObject* type = chain_type(module, &iochain_spec);
    return type ? PyModule_AddObjectRef(module, "IOChainImp", type) : -1;
}

PyModuleDef_Slot cascade_io_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(cascade_io_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef cascade_io_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "flowmesh.imp.cascade_io",
    .m_doc = "Input-output chains: a run of input-output nodes used as one element.",
    .m_size = sizeof(CascadeState),
    .m_methods = kModuleFunctions,
    .m_slots = cascade_io_slots,
    .m_traverse = fm::traverse_state<CascadeState>,
    .m_clear = fm::clear_state<CascadeState>,
    .m_free = fm::free_state<CascadeState>,
};

}  // namespace

PyMODINIT_FUNC PyInit_cascade_io(void) {
    return PyModuleDef_Init(&cascade_io_module);
}
