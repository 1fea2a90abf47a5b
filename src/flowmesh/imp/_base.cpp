// flowmesh.imp._base: Implementation, the root of every implementation class.
// It owns the parts of an instance that the whole hierarchy shares: the
// managed dict, managed weak references, and deallocation.
#include "objects.hpp"

namespace {

int implementation_traverse(PyObject* self, visitproc visit, void* arg) {
    return fm::traverse_implementation(self, visit, arg);
}

int implementation_clear(PyObject* self) {
    fm::clear_implementation(self);
    return 0;
}

// The one dealloc of the hierarchy: subtypes extend tp_clear instead, which
// this calls through the instance's own type.
void implementation_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    tp->tp_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// The managed dict has no descriptor of its own; expose it as `__dict__`.
PyGetSetDef implementation_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot implementation_slots[] = {
    {Py_tp_doc, const_cast<char*>("Base of every flowmesh implementation object.")},
    {Py_tp_traverse, reinterpret_cast<void*>(implementation_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(implementation_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(implementation_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_getset, implementation_getset},
    {0, nullptr},
};

PyType_Spec implementation_spec = {
    .name = "flowmesh.imp.Implementation",
    .basicsize = sizeof(fm::ImplementationObject),
    .itemsize = 0,
    .flags = fm::kTypeFlags | Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF,
    .slots = implementation_slots,
};

int base_exec(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &implementation_spec, nullptr);
    if (!type) return -1;
    return PyModule_Add(module, "Implementation", type);
}

PyModuleDef base_module = fm::module_def<void>("flowmesh.imp._base", "Root implementation class.",
                                               fm::module_slots<base_exec>);

}  // namespace

PyMODINIT_FUNC PyInit__base(void) {
    return PyModuleDef_Init(&base_module);
}
