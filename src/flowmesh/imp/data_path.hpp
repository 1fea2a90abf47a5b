// The data path between the implementation modules as C++ calls. A frame goes
//
//   vertex   run_cycle: the node's handlers, then its output to
//   emitter  EmitterApi::push_data: each output value to its port,
//   _ports   PortsApi::push: each connected input, frame assembly, then
//   vertex   VertexApi::cycle: the consuming node's cycle.
//
// The module that owns a type exports its entry points as a capsule (its
// `_data_path` attribute) holding a pointer into its module state; a module
// that calls them keeps the exporting module alive. Every entry point falls
// back to the Python-level call where a Python subclass redefines the
// operation, so what a subclass observes does not change.
#pragma once

#include "common.hpp"

namespace fm {

// flowmesh.imp.vertex
struct VertexApi {
    // NodeImp._cycle(node, data): data a dict or None; 0, or -1 with an exception.
    int (*cycle)(VertexApi* api, PyObject* node, PyObject* data);
    PyObject* cycle_descriptor;  // NodeImp._cycle, to tell whether a type redefines it
};

// flowmesh.imp.emitter
struct EmitterApi {
    // ONodeImp._push_data(node, output): output a dict; 0, or -1 with an exception.
    int (*push_data)(EmitterApi* api, PyObject* node, PyObject* output);
};

// flowmesh.imp._ports
struct PortsApi {
    // port.push(value) for any port object; 0, or -1 with an exception.
    int (*push)(PortsApi* api, PyObject* port, PyObject* value);
};

constexpr const char* kDataPathAttr = "_data_path";
constexpr const char* kVertexApi = "flowmesh.imp.vertex._data_path";
constexpr const char* kEmitterApi = "flowmesh.imp.emitter._data_path";
constexpr const char* kPortsApi = "flowmesh.imp._ports._data_path";

// Publishes `api` (which lives in `module`'s state) as module._data_path.
inline int export_api(PyObject* module, const char* capsule_name, void* api) {
    Ref capsule = steal(PyCapsule_New(api, capsule_name, nullptr));
    if (!capsule) return -1;
    return PyModule_AddObjectRef(module, kDataPathAttr, capsule.get());
}

// The API a module exported: imports `module_name`, keeps the module in
// *owner (a reference of the importing module's state) and returns the
// pointer, or nullptr with an exception. The capsule is named after its
// module: "<module>._data_path".
template <typename Api>
inline Api* import_api(const char* module_name, const char* capsule_name, PyObject** owner) {
    Ref module = steal(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    Ref capsule = steal(PyObject_GetAttrString(module.get(), kDataPathAttr));
    if (!capsule) return nullptr;
    void* api = PyCapsule_GetPointer(capsule.get(), capsule_name);
    if (!api) return nullptr;
    set_field(owner, module.get());
    return static_cast<Api*>(api);
}

}  // namespace fm
