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
    CascadeState* st = fm::instance_state<CascadeState>(self, &cascade_io_module);
    if (!st) return -1;
    if (!st->ionode.get()) return -1;
    PyObject* config;
    PyObject* nodes;
    if (!init_chain_base(st, self, args, kwds, "IOChainImp", &config, &nodes)) return -1;
    Ref hold_config = fm::borrow(config);
    Ref seq = steal(own_nodes(st, self));
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

    Ref first = steal(end_of(seq.get(), false));
    Ref last = steal(end_of(seq.get(), true));
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

PyMethodDef iochain_methods[] = {
    {"get_port", fm::as_cfunc(iochain_get_port), fm::kMethodCall,
     PyDoc_STR("get_port(port_name)\n--\n\nThe port the first internal node's own get_port "
               "returns.")},
    kChainConnect,
    kChainDisconnect,
    kChainGetOutputPort,
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kIOChainImpDoc[] =
    "IOChainImp(config, internal_nodes)\n--\n\nA chain of "
    "input-output nodes: the first node's inputs and the last "
    "node's outputs are its own.";

PyType_Spec iochain_spec = chain_spec("flowmesh.imp.IOChainImp",
                                      chain_slots<kIOChainImpDoc, iochain_init, iochain_methods>);

// ---------------------------------------------------------------- module

PyModuleDef cascade_io_module = chain_module<&iochain_spec>(
    "flowmesh.imp.cascade_io",
    "Input-output chains: a run of input-output nodes used as one element.");

}  // namespace

PyMODINIT_FUNC PyInit_cascade_io(void) {
    return PyModuleDef_Init(&cascade_io_module);
}
