// Pipeline documents: PipelineImp.serialize, the revision check, the static
// deserialize and the endpoint resolution functions. Compiled into the
// conductor module, which embeds the State below in its module state.
#pragma once

#include "calls.hpp"

namespace fm::documents {

// clang-format off
#define FM_DOCUMENT_NAMES(X) \
    X(_imp) X(_output_ports) X(_connected_ports) X(_nodes) X(config) X(Keys) X(ID) X(serialize) \
    X(log) X(close) X(add_node) X(deserialize) X(get_by_id) X(_check_format_version) X(get) \
    X(items) X(get_output_port) X(get_input_port) X(connect) X(disconnect) X(values) \
    X(_has_output_capability) X(SerializationKeys) X(FORMAT_VERSION) X(NODES) X(CONNECTIONS) \
    X(WRITER)
// clang-format on

FM_NAME_TABLE(FM_DOCUMENT_NAMES);

struct State {
    PyObject* type = nullptr;  // PipelineImp
    NameTable n;
    PyObject* kw_type = nullptr;          // ("type",)
    PyObject* kw_msg_type = nullptr;      // ("msg", "type")
    PyObject* unpack_pair = nullptr;      // the host's own two-target unpacking
    PyObject* key_version = nullptr;      // SerializationKeys.FORMAT_VERSION
    PyObject* key_writer = nullptr;       // SerializationKeys.WRITER
    PyObject* key_nodes = nullptr;        // SerializationKeys.NODES
    PyObject* key_connections = nullptr;  // SerializationKeys.CONNECTIONS
    Lazy portable{"flowmesh.portable", "Portable"};
    Lazy pipeline{"flowmesh.pipeline", "Pipeline"};
    Lazy name_key{"flowmesh.node", "Node.Configuration.Keys.NAME"};
    Constants c;

    template <typename F>
    int refs(F f) {
        return f(type, n, kw_type, kw_msg_type, unpack_pair, key_version, key_writer, key_nodes,
                 key_connections, portable, pipeline, name_key, c);
    }
};

// GC hooks for a State embedded in another module's state (found by argument-
// dependent lookup from fm::traverse_state / fm::clear_state).
int visit_ref(State& st, visitproc visit, void* arg);
void clear_ref(State& st);

// The State of the module that embeds it; defined by that module.
State* state_of(PyObject* module);

// Fills the state, installs the static methods on `type` (PipelineImp) and
// adds the module functions to `module`. 0, or -1 with an exception.
int init(State* st, PyObject* module, PyObject* type);

// PipelineImp.serialize (METH_METHOD | METH_FASTCALL | METH_KEYWORDS).
PyObject* serialize(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);

}  // namespace fm::documents
