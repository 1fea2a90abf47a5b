// The machinery both chain modules share: module state, the adoption of
// recorded boundary-port ids, the operations that delegate to a boundary node,
// and the module set-up. cascade_out.cpp and cascade_io.cpp each hold only
// their class's construction and method table.
#pragma once

#include <cstring>
#include <new>
#include <utility>

#include "objects.hpp"

namespace fm::cascade {

// clang-format off
#define FM_CASCADE_NAMES(X) \
    X(Keys) X(INPUT_PORTS) X(OUTPUT_PORTS) X(_imp) X(config) X(_input_ports) X(_output_ports) \
    X(_internal_nodes) X(_connect_internal_nodes) X(connect) X(disconnect) X(get_port) \
    X(adopt_id) X(is_externally_fed) X(get) X(ID_TO_BE_GENERATED) X(__init__)
// clang-format on

FM_NAME_TABLE(FM_CASCADE_NAMES);

struct CascadeState {
    PyObject* type;           // OChainImp or IOChainImp
    PyObject* chain_init;     // imp.ChainImp.__init__
    PyObject* chain_connect;  // imp.ChainImp._connect_internal_nodes
    PyObject* output_lookup;  // imp.ONodeImp.get_port: an output node's own lookup
    NameTable n;
    Lazy onode{"flowmesh.o_node", "ONode"};
    Lazy inode{"flowmesh.i_node", "INode"};
    Lazy ionode{"flowmesh.io_node", "IONode"};
    Lazy port_name_key{"flowmesh.port", "Port.Configuration.Keys.NAME"};
    Lazy port_id_key{"flowmesh.port", "Port.Configuration.Keys.ID"};
    Lazy constants_imp{"flowmesh.imp", "ConstantsImp"};
    Lazy deepcopy{"copy", "deepcopy"};

    template <typename F>
    int refs(F f) {
        return f(type, chain_init, chain_connect, output_lookup, n, onode, inode, ionode,
                 port_name_key, port_id_key, constants_imp, deepcopy);
    }
};

// ------------------------------------------------------------------ helpers

// config.Keys.<which> (new reference).
inline PyObject* config_key(CascadeState* st, PyObject* config, Name which) {
    Ref keys = steal(PyObject_GetAttr(config, st->n(N_Keys)));
    return keys ? PyObject_GetAttr(keys.get(), st->n(which)) : nullptr;
}

// 1 when `obj` is an instance of the facade class in `slot`, 0 if not, -1 on error.
inline int is_a(PyObject* obj, Lazy& slot) {
    PyObject* cls = slot.get();
    return cls ? PyObject_IsInstance(obj, cls) : -1;
}

// obj.<name>, or an empty Ref (and no exception) when it has none.
inline bool optional_attr(PyObject* obj, PyObject* name, Ref* out) {
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttr(obj, name, &raw) < 0) return false;
    *out = steal(raw);
    return true;
}

// Adds every (name, port) of `table` to `live`; a missing or empty table adds nothing.
inline int merge_into(PyObject* live, PyObject* table) {
    if (!table || table == Py_None) return 0;
    int truth = PyObject_IsTrue(table);
    if (truth <= 0) return truth;
    return PyDict_Merge(live, table, 1);
}

// The port a recorded name stands for in `table` (new reference), or an empty
// Ref without an exception when it is not there (or the name cannot be a key).
inline bool find_in(PyObject* table, PyObject* name, Ref* port) {
    PyObject* found = nullptr;
    int r = PyDict_GetItemRef(table, name, &found);
    if (r < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();  // an unhashable name names no port
        return true;
    }
    *port = steal(found);
    return true;
}

// ----------------------------------------------------------------- adoption

// Lets a rebuilt boundary node take the port ids its chain recorded. Entries
// are matched by name, never by position; a malformed entry is skipped. A
// name is looked up first among the ports of the side `key` names, so that a
// node with an input and an output port of one name gives each its own id;
// the table of both sides (outputs over inputs) answers only when that side
// has no such port.
inline int adopt_recorded_port_ids(CascadeState* st, PyObject* config, PyObject* key,
                                   PyObject* node) {
    Ref recorded = steal(call_method(config, st->n(N_get), key));
    if (!recorded) return -1;
    int truth = PyObject_IsTrue(recorded.get());
    if (truth <= 0) return truth;

    Ref imp, inputs, outputs;
    if (!optional_attr(node, st->n(N__imp), &imp)) return -1;
    if (imp && (!optional_attr(imp.get(), st->n(N__input_ports), &inputs) ||
                !optional_attr(imp.get(), st->n(N__output_ports), &outputs)))
        return -1;
    Ref live = steal(PyDict_New());
    if (!live || merge_into(live.get(), inputs.get()) < 0 ||
        merge_into(live.get(), outputs.get()) < 0)
        return -1;
    if (PyDict_GET_SIZE(live.get()) == 0) return 0;

    // The table of the side the key names, when the key names one (a record
    // without Keys names none).
    Ref side = steal(PyDict_New());
    Ref keys;
    if (!side || !optional_attr(config, st->n(N_Keys), &keys)) return -1;
    const std::pair<Name, PyObject*> sides[] = {{N_INPUT_PORTS, inputs.get()},
                                                {N_OUTPUT_PORTS, outputs.get()}};
    for (const auto& [key_name, table] : sides) {
        Ref side_key;
        if (keys && !optional_attr(keys.get(), st->n(key_name), &side_key)) return -1;
        if (!side_key) continue;
        int same = equal(side_key.get(), key);
        if (same < 0) return -1;
        if (!same) continue;
        if (merge_into(side.get(), table) < 0) return -1;
        break;
    }

    PyObject* name_key = st->port_name_key.get();
    PyObject* id_key = name_key ? st->port_id_key.get() : nullptr;
    PyObject* constants = id_key ? st->constants_imp.get() : nullptr;
    if (!constants) return -1;
    Ref entries = steal(PyObject_GetIter(recorded.get()));
    if (!entries) return -1;
    while (Ref entry = steal(PyIter_Next(entries.get()))) {
        Ref name = steal(PyObject_GetItem(entry.get(), name_key));
        Ref recorded_id = name ? steal(PyObject_GetItem(entry.get(), id_key)) : Ref();
        if (!recorded_id) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError) && !PyErr_ExceptionMatches(PyExc_TypeError))
                return -1;
            PyErr_Clear();
            continue;
        }
        // Read on every use: the sentinel is a setting that may change.
        Ref sentinel = steal(PyObject_GetAttr(constants, st->n(N_ID_TO_BE_GENERATED)));
        if (!sentinel) return -1;
        int unassigned = equal(recorded_id.get(), sentinel.get());
        if (unassigned < 0) return -1;
        if (unassigned) continue;
        Ref port;
        if (!find_in(side.get(), name.get(), &port)) return -1;
        if (!port && !find_in(live.get(), name.get(), &port)) return -1;
        if (!port) continue;
        Ref r = steal(call_method(port.get(), st->n(N_adopt_id), recorded_id.get()));
        if (!r) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The module function `_adopt_recorded_port_ids(config, key, node)`.
inline PyObject* adopt_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    static const char* const names[] = {"config", "key", "node"};
    PyObject* a[] = {nullptr, nullptr, nullptr};
    if (!parse_args("_adopt_recorded_port_ids", args, nargs, kwnames, names, a, 3)) return nullptr;
    CascadeState* st = module_state<CascadeState>(module);
    if (adopt_recorded_port_ids(st, a[0], a[1], a[2]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// Both chain modules' functions.
inline PyMethodDef kModuleFunctions[] = {
    {"_adopt_recorded_port_ids", as_cfunc(adopt_function), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("_adopt_recorded_port_ids(config, key, node)\n--\n\nGives node's ports the ids "
               "recorded for them under config[key], matched by name.")},
    {nullptr, nullptr, 0, nullptr},
};

// ------------------------------------------------------------- construction

// Parses (config, internal_nodes) and runs ChainImp's constructor.
inline bool init_chain_base(CascadeState* st, PyObject* self, PyObject* args, PyObject* kwds,
                            const char* fname, PyObject** config, PyObject** nodes) {
    static const char* const names[] = {"config", "internal_nodes"};
    PyObject* a[] = {nullptr, nullptr};
    if (!parse_args(fname, args, kwds, names, a, 2)) return false;
    *config = a[0];
    *nodes = a[1];
    PyObject* call[] = {self, *config, *nodes};
    Ref r = steal(PyObject_Vectorcall(st->chain_init, call, 3, nullptr));
    return static_cast<bool>(r);
}

// Adopts the recorded ids of `node`'s ports under `which`, then returns a deep
// copy of the node's own list under that key (new reference).
inline PyObject* adopt_and_copy(CascadeState* st, PyObject* config, Name which, PyObject* node) {
    Ref key = steal(config_key(st, config, which));
    if (!key || adopt_recorded_port_ids(st, config, key.get(), node) < 0) return nullptr;
    Ref node_config = steal(PyObject_GetAttr(node, st->n(N_config)));
    Ref listed = node_config ? steal(PyObject_GetItem(node_config.get(), key.get())) : Ref();
    PyObject* deepcopy = listed ? st->deepcopy.get() : nullptr;
    return deepcopy ? PyObject_CallOneArg(deepcopy, listed.get()) : nullptr;
}

// Stores `value` under config.Keys.<which> with the plain dictionary store.
inline int store_plain(CascadeState* st, PyObject* config, Name which, PyObject* value) {
    if (!check_config(config)) return -1;
    Ref key = steal(config_key(st, config, which));
    return key ? PyDict_SetItem(config, key.get(), value) : -1;
}

// self.<table> = node._imp.<table>: the node's dictionary itself, not a copy.
inline int bind_table(CascadeState* st, PyObject* self, PyObject* node, Name table) {
    Ref imp = steal(PyObject_GetAttr(node, st->n(N__imp)));
    Ref ports = imp ? steal(PyObject_GetAttr(imp.get(), st->n(table))) : Ref();
    return ports ? PyObject_SetAttr(self, st->n(table), ports.get()) : -1;
}

// -------------------------------------------------------------- operations

// The chain's own internal nodes as a tuple, never empty (new reference). The
// constructor reads them here rather than from its argument, which Python code
// run since the copy was taken (is_externally_fed, an instance check) may
// have changed: the boundary nodes are then the nodes that were wired.
inline PyObject* own_nodes(CascadeState* st, PyObject* self) {
    Ref nodes = steal(PyObject_GetAttr(self, st->n(N__internal_nodes)));
    Ref seq = nodes ? steal(PySequence_Tuple(nodes.get())) : Ref();
    if (!seq) return nullptr;
    if (PyTuple_GET_SIZE(seq.get()) == 0) {
        PyErr_SetString(PyExc_ValueError, "A chain needs at least one internal node.");
        return nullptr;
    }
    return seq.release();
}

// The first or last node of a tuple from own_nodes (new reference).
inline PyObject* end_of(PyObject* seq, bool last) {
    return Py_NewRef(PyTuple_GET_ITEM(seq, last ? PyTuple_GET_SIZE(seq) - 1 : 0));
}

// The chain's own first or last internal node (new reference).
inline PyObject* boundary_node(CascadeState* st, PyObject* self, bool last) {
    Ref seq = steal(own_nodes(st, self));
    return seq ? end_of(seq.get(), last) : nullptr;
}

// connect / disconnect: the last internal node's, with the same three arguments.
inline PyObject* delegate_to_last(PyObject* self, PyTypeObject* defining_class,
                                  PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                  Name op) {
    CascadeState* st = class_state<CascadeState>(defining_class);
    static const char* const names[] = {"output_port", "target", "input_port"};
    PyObject* a[] = {nullptr, nullptr, nullptr};
    if (!parse_args(op == N_connect ? "connect" : "disconnect", args, nargs, kwnames, names, a, 3))
        return nullptr;
    Ref last = steal(boundary_node(st, self, true));
    if (!last) return nullptr;
    Ref r = steal(call_method(last.get(), st->n(op), a[0], a[1], a[2]));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

inline PyObject* chain_connect(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames) {
    return delegate_to_last(self, defining_class, args, nargs, kwnames, N_connect);
}

inline PyObject* chain_disconnect(PyObject* self, PyTypeObject* defining_class,
                                  PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return delegate_to_last(self, defining_class, args, nargs, kwnames, N_disconnect);
}

// The last node's output port by the output node's own lookup, whatever
// get_port that node's class defines.
inline PyObject* chain_get_output_port(PyObject* self, PyTypeObject* defining_class,
                                       PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    CascadeState* st = class_state<CascadeState>(defining_class);
    static const char* const names[] = {"port_name"};
    PyObject* a[] = {nullptr};
    if (!parse_args("get_output_port", args, nargs, kwnames, names, a, 1)) return nullptr;
    Ref last = steal(boundary_node(st, self, true));
    Ref imp = last ? steal(PyObject_GetAttr(last.get(), st->n(N__imp))) : Ref();
    if (!imp) return nullptr;
    PyObject* call[] = {imp.get(), a[0]};
    return PyObject_Vectorcall(st->output_lookup, call, 2, nullptr);
}

// -------------------------------------------------------------- module set-up

inline PyObject* chain_type(PyObject* module, PyType_Spec* spec) {
    CascadeState* st = module_state<CascadeState>(module);
    new (st) CascadeState{};
    if (st->n.intern() < 0) return nullptr;
    Ref base = steal(imp_class("ChainImp"));
    if (!base) return nullptr;
    if (!PyType_Check(base.get()) || reinterpret_cast<PyTypeObject*>(base.get())->tp_basicsize !=
                                         static_cast<Py_ssize_t>(sizeof(ElementObject))) {
        // The chain types visit and clear exactly a processing element's fields.
        PyErr_SetString(PyExc_TypeError,
                        "imp.ChainImp must be a processing element with no fields of its own");
        return nullptr;
    }
    st->chain_init = PyObject_GetAttr(base.get(), st->n(N___init__));
    st->chain_connect = PyObject_GetAttr(base.get(), st->n(N__connect_internal_nodes));
    if (!st->chain_init || !st->chain_connect) return nullptr;
    Ref onode_imp = steal(imp_class("ONodeImp"));
    st->output_lookup = onode_imp ? PyObject_GetAttr(onode_imp.get(), st->n(N_get_port)) : nullptr;
    if (!st->output_lookup) return nullptr;
    st->type = type_from_spec(module, spec, base.get());
    return st->type;
}

inline int chain_traverse(PyObject* self, visitproc visit, void* arg) {
    return traverse_element(self, visit, arg);
}

inline int chain_clear(PyObject* self) {
    clear_element(self);
    return 0;
}

// Method entries every chain type has; each type lists them after its own.
inline const PyMethodDef kChainConnect = {
    "connect", as_cfunc(chain_connect), kMethodCall,
    PyDoc_STR("connect(output_port, target, input_port)\n--\n\nThe last internal node's connect.")};
inline const PyMethodDef kChainDisconnect = {
    "disconnect", as_cfunc(chain_disconnect), kMethodCall,
    PyDoc_STR("disconnect(output_port, target, input_port)\n--\n\nThe last internal node's "
              "disconnect.")};
inline const PyMethodDef kChainGetOutputPort = {
    "get_output_port", as_cfunc(chain_get_output_port), kMethodCall,
    PyDoc_STR("get_output_port(port_name)\n--\n\nThe last internal node's output port named "
              "port_name.")};

// A chain type: its doc, constructor and methods over the shared GC slots.
template <const char* Doc, initproc Init, PyMethodDef* Methods>
inline PyType_Slot chain_slots[] = {
    {Py_tp_doc, const_cast<char*>(Doc)},
    {Py_tp_init, reinterpret_cast<void*>(Init)},
    {Py_tp_traverse, reinterpret_cast<void*>(chain_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(chain_clear)},
    {Py_tp_methods, Methods},
    {0, nullptr},
};

constexpr PyType_Spec chain_spec(const char* name, PyType_Slot* slots) {
    return {.name = name, .basicsize = 0, .itemsize = 0, .flags = kTypeFlags, .slots = slots};
}

// The module's one exec step: build the type and bind it under its short name.
template <PyType_Spec* Spec>
int chain_exec(PyObject* module) {
    PyObject* type = chain_type(module, Spec);
    const char* dot = std::strrchr(Spec->name, '.');
    return type ? PyModule_AddObjectRef(module, dot ? dot + 1 : Spec->name, type) : -1;
}

template <PyType_Spec* Spec>
constexpr PyModuleDef chain_module(const char* name, const char* doc) {
    return module_def<CascadeState>(name, doc, module_slots<chain_exec<Spec>>, kModuleFunctions);
}

}  // namespace fm::cascade
