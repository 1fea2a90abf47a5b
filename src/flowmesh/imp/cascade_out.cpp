// flowmesh.imp.cascade_out: OChainImp, a chain whose last node's output ports
// are its own. Its first node produces (an output node, or an input-output
// node that feeds itself); every later node takes the previous one's output.
#include "cascade.hpp"

namespace {

using fm::Ref;
using fm::steal;
using namespace fm::cascade;

extern PyModuleDef cascade_out_module;

// ------------------------------------------------------------- construction

// Whether the first node can be a chain's source: an output node that is not
// an input-output node, or one that reports that it feeds itself.
int can_head(CascadeState* st, PyObject* first) {
    int r = is_a(first, st->onode);
    if (r <= 0) return r;
    r = is_a(first, st->ionode);
    if (r <= 0) return r < 0 ? -1 : 1;
    Ref fed = steal(fm::call_method(first, st->n(N_is_externally_fed)));
    return fed ? PyObject_IsTrue(fed.get()) : -1;
}

int ochain_init(PyObject* self, PyObject* args, PyObject* kwds) {
    CascadeState* st = fm::instance_state<CascadeState>(self, &cascade_out_module);
    if (!st) return -1;
    if (!st->onode.get() || !st->ionode.get()) return -1;
    PyObject* config;
    PyObject* nodes;
    if (!init_chain_base(st, self, args, kwds, "OChainImp", &config, &nodes)) return -1;
    Ref hold_config = fm::borrow(config);
    Ref seq = steal(own_nodes(st, self));
    if (!seq) return -1;

    Ref first = steal(end_of(seq.get(), false));
    int ok = can_head(st, first.get());
    if (ok <= 0) {
        if (ok == 0)
            PyErr_SetString(PyExc_TypeError,
                            "First internal node must be an ONode (not an IONode), or must report "
                            "is_externally_fed().");
        return -1;
    }
    Ref last = steal(end_of(seq.get(), true));
    ok = is_a(last.get(), st->onode);
    if (ok <= 0) {
        if (ok == 0)
            PyErr_SetString(PyExc_TypeError, "Last internal node must be an ONode or IONode.");
        return -1;
    }
    Ref r = steal(fm::call_method(self, st->n(N__connect_internal_nodes)));
    if (!r) return -1;

    Ref ports = steal(adopt_and_copy(st, config, N_OUTPUT_PORTS, last.get()));
    if (!ports || store_plain(st, config, N_OUTPUT_PORTS, ports.get()) < 0) return -1;
    return bind_table(st, self, last.get(), N__output_ports);
}

// ---------------------------------------------------------------- operations

// Every node after the first must take input; then ChainImp wires them.
PyObject* ochain_connect_internal_nodes(CascadeState* st, PyObject* self) {
    if (!st->inode.get()) return nullptr;
    Ref nodes = steal(PyObject_GetAttr(self, st->n(N__internal_nodes)));
    Ref seq = nodes ? steal(PySequence_Tuple(nodes.get())) : Ref();
    if (!seq) return nullptr;
    for (Py_ssize_t p = 1; p < PyTuple_GET_SIZE(seq.get()); ++p) {
        int ok = is_a(PyTuple_GET_ITEM(seq.get(), p), st->inode);
        if (ok < 0) return nullptr;
        if (!ok)
            return PyErr_Format(PyExc_TypeError,
                                "Internal node %zd must have input ports (INode or IONode).", p);
    }
    return PyObject_CallOneArg(st->chain_connect, self);
}

// The last node's output port named port_name.
PyObject* ochain_get_port(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
    return chain_get_output_port(self, defining_class, args, nargs, kwnames);
}

// ---------------------------------------------------------------- type

PyMethodDef ochain_methods[] = {
    fm::method_def<"_connect_internal_nodes", ochain_connect_internal_nodes>(
        PyDoc_STR("_connect_internal_nodes()\n--\n\nChecks that every node after the first takes "
                  "input, then joins each node to its successor.")),
    {"get_port", fm::as_cfunc(ochain_get_port), fm::kMethodCall,
     PyDoc_STR("get_port(port_name)\n--\n\nThe last internal node's output port named "
               "port_name.")},
    kChainConnect,
    kChainDisconnect,
    kChainGetOutputPort,
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kOChainImpDoc[] =
    "OChainImp(config, internal_nodes)\n--\n\nA chain whose last "
    "node's output ports are its own.";

PyType_Spec ochain_spec =
    chain_spec("flowmesh.imp.OChainImp", chain_slots<kOChainImpDoc, ochain_init, ochain_methods>);

// ---------------------------------------------------------------- module

PyModuleDef cascade_out_module = chain_module<&ochain_spec>(
    "flowmesh.imp.cascade_out",
    "Output chains: a run of nodes whose last node's outputs are the chain's.");

}  // namespace

PyMODINIT_FUNC PyInit_cascade_out(void) {
    return PyModuleDef_Init(&cascade_out_module);
}
