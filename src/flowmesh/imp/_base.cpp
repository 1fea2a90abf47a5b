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

PyModuleDef_Slot base_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(base_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef base_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "flowmesh.imp._base",
    .m_doc = "Root implementation class.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = base_module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__base(void) {
    return PyModuleDef_Init(&base_module);
}
