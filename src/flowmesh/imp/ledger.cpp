// flowmesh.imp.ledger: PortableImp, the base of every object that can be
// written to a pipeline document. It owns the process-wide id registry and
// turns an object into a document entry and back.

#include "objects.hpp"

namespace {

// Attribute names, and the keys of a document entry (class, module, source,
// config: the values of PortableImp.SerializationKeys).
// clang-format off
#define FM_LEDGER_NAMES(X) \
    X(Keys) X(ID) X(ReservedKeys) X(get) X(clear) X(ID_TO_BE_GENERATED) X(class) X(module) \
    X(source) X(config) X(random) X(getrandbits)
// clang-format on
FM_NAME_TABLE(FM_LEDGER_NAMES);

struct LedgerState {
    PyObject* type;          // PortableImp
    PyObject* id_map;        // weakref.WeakValueDictionary: id -> live object
    PyObject* ids;           // set: every id handed out or adopted
    PyObject* preinstalled;  // set: names given to add_preinstalled_module
    // A reentrant lock around each look-up-then-claim of an id: the registry's
    // operations run Python code, so another thread could claim the same id in
    // between (with or without the GIL); reentrant, since an id's hash may make
    // another element on the same thread.
    PyObject* registry_lock;
    NameTable n;
    fm::Lazy constants_imp{"flowmesh.imp", "ConstantsImp"};
    fm::Lazy deepcopy{"copy", "deepcopy"};
    fm::Lazy import_module{"importlib", "import_module"};
    fm::Lazy getrandbits{"random", "getrandbits"};
    // Until the program imports `random` (whose import costs a plain pipeline
    // more than the ids are worth), a generator of the same kind of its own:
    // nothing can have seeded the host's yet. Made under the registry lock.
    fm::Lazy own_generator_type{"_random", "Random"};
    PyObject* own_getrandbits = nullptr;

    // Every reference the state owns, for traverse/clear.
    template <typename F>
    int refs(F f) {
        return f(type, id_map, ids, preinstalled, registry_lock, n, constants_imp, deepcopy,
                 import_module, getrandbits, own_generator_type, own_getrandbits);
    }
};

extern PyModuleDef ledger_module;

// config.Keys.ID, read through the record's own Keys namespace.
fm::Ref id_key(LedgerState* st, PyObject* config) {
    fm::Ref keys = fm::steal(PyObject_GetAttr(config, st->n(N_Keys)));
    if (!keys) return {};
    return fm::steal(PyObject_GetAttr(keys.get(), st->n(N_ID)));
}

// The registry lock while in scope; `held` false (an exception set) when it
// could not be taken.
class RegistryLock {
  public:
    explicit RegistryLock(LedgerState* st) : lock_(st->registry_lock) {
        fm::Ref r = fm::steal(PyObject_CallMethod(lock_, "acquire", nullptr));
        held = static_cast<bool>(r);
    }
    ~RegistryLock() {
        if (!held) return;
        fm::Ref pending = fm::steal(PyErr_GetRaisedException());
        fm::Ref r = fm::steal(PyObject_CallMethod(lock_, "release", nullptr));
        if (!r) PyErr_WriteUnraisable(lock_);
        PyErr_SetRaisedException(pending.release());
    }
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;
    bool held;

  private:
    PyObject* lock_;
};

// _id_map.get(id): the live object or None (new reference).
fm::Ref registered(LedgerState* st, PyObject* id) {
    return fm::steal(fm::call_method(st->id_map, st->n(N_get), id));
}

// ---------------------------------------------------------------- identity

// The host's `random.getrandbits` once `random` is imported (seeding it then
// reproduces ids), else the registry's own generator. Borrowed, or nullptr
// with an exception set.
PyObject* id_generator(LedgerState* st) {
    fm::Ref host = fm::steal(PyImport_GetModule(st->n(N_random)));
    if (host || PyErr_Occurred()) return host ? st->getrandbits.get() : nullptr;
    if (!st->own_getrandbits) {
        PyObject* type = st->own_generator_type.get();
        fm::Ref generator = type ? fm::steal(PyObject_CallNoArgs(type)) : fm::Ref();
        if (!generator) return nullptr;
        st->own_getrandbits = PyObject_GetAttr(generator.get(), st->n(N_getrandbits));
    }
    return st->own_getrandbits;
}

PyObject* new_id_impl(LedgerState* st) {
    PyObject* draw = id_generator(st);
    if (!draw) return nullptr;
    fm::Ref bits_arg = fm::steal(PyLong_FromLong(64));
    if (!bits_arg) return nullptr;
    for (;;) {
        fm::Ref n = fm::steal(PyObject_CallOneArg(draw, bits_arg.get()));
        if (!n) return nullptr;
        unsigned long long v = PyLong_AsUnsignedLongLong(n.get());
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
        char buf[17];
        PyOS_snprintf(buf, sizeof buf, "%016llX", v);
        fm::Ref id = fm::steal(PyUnicode_FromStringAndSize(buf, 16));
        if (!id) return nullptr;
        int taken = PySet_Contains(st->ids, id.get());
        if (taken < 0) return nullptr;
        if (taken) continue;
        if (PySet_Add(st->ids, id.get()) < 0) return nullptr;
        return id.release();
    }
}

PyObject* portable_new_id(PyObject* module) {
    LedgerState* st = fm::module_state<LedgerState>(module);
    RegistryLock lock(st);
    return lock.held ? new_id_impl(st) : nullptr;
}

int portable_init(PyObject* self, PyObject* args, PyObject* kwds) {
    PyObject* config = fm::config_arg("PortableImp", args, kwds);
    if (!config) return -1;
    LedgerState* st = fm::instance_state<LedgerState>(self, &ledger_module);
    if (!st) return -1;
    if (!fm::check_config(config)) return -1;
    fm::Ref hold_config = fm::borrow(config);

    fm::Ref key = id_key(st, config);
    if (!key) return -1;
    fm::Ref id = fm::steal(PyObject_GetItem(config, key.get()));
    if (!id) return -1;

    PyObject* constants = st->constants_imp.get();
    if (!constants) return -1;
    fm::Ref sentinel = fm::steal(PyObject_GetAttr(constants, st->n(N_ID_TO_BE_GENERATED)));
    if (!sentinel) return -1;
    int generate = fm::equal(id.get(), sentinel.get());
    if (generate < 0) return -1;
    RegistryLock lock(st);
    if (!lock.held) return -1;
    if (generate) {
        id = fm::steal(new_id_impl(st));
        if (!id) return -1;
    }

    fm::Ref existing = registered(st, id.get());
    if (!existing) return -1;
    if (existing.get() != Py_None && existing.get() != self) {
        PyErr_Format(PyExc_ValueError,
                     "ID '%S' conflict with another object. When re-deserializing in the same "
                     "process, call Portable.reset() first to clear the id registry.",
                     id.get());
        return -1;
    }
    if (PyObject_SetItem(st->id_map, id.get(), self) < 0) return -1;
    if (PyDict_SetItem(config, key.get(), id.get()) < 0) return -1;
    fm::set_field(&fm::as<fm::PortableObject>(self)->config, config);
    return 0;
}

PyObject* portable_adopt_id(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"new_id"};
    PyObject* a[] = {nullptr};
    if (!fm::parse_args("adopt_id", args, nargs, kwnames, names, a, 1)) return nullptr;
    PyObject* new_id = a[0];
    if (!fm::check_exact(new_id, &PyUnicode_Type, "new_id")) return nullptr;
    auto* st = static_cast<LedgerState*>(PyType_GetModuleState(defining_class));
    PyObject* borrowed = fm::config_of(self);
    if (!borrowed) return nullptr;
    fm::Ref config = fm::borrow(borrowed);
    if (!fm::check_config(config.get())) return nullptr;

    fm::Ref key = id_key(st, config.get());
    if (!key) return nullptr;
    fm::Ref current = fm::steal(PyObject_GetItem(config.get(), key.get()));
    if (!current) return nullptr;
    int same = fm::equal(current.get(), new_id);
    if (same < 0) return nullptr;
    if (same) Py_RETURN_NONE;

    RegistryLock lock(st);
    if (!lock.held) return nullptr;
    fm::Ref existing = registered(st, new_id);
    if (!existing) return nullptr;
    if (existing.get() != Py_None && existing.get() != self)
        return PyErr_Format(PyExc_ValueError,
                            "ID '%S' cannot be adopted: another object already holds it.", new_id);

    // Drop the old entry only while it still names this object: after a reset
    // another live object may have claimed the old id.
    fm::Ref holder = registered(st, current.get());
    if (!holder) return nullptr;
    if (holder.get() == self && PyObject_DelItem(st->id_map, current.get()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
        PyErr_Clear();
    }
    if (PyObject_SetItem(st->id_map, new_id, self) < 0) return nullptr;
    if (PySet_Add(st->ids, new_id) < 0) return nullptr;
    if (PyDict_SetItem(config.get(), key.get(), new_id) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* portable_get_by_id(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static const char* const names[] = {"id"};
    PyObject* a[] = {nullptr};
    if (!fm::parse_args("get_by_id", args, nargs, kwnames, names, a, 1)) return nullptr;
    if (!fm::check_exact(a[0], &PyUnicode_Type, "id")) return nullptr;
    LedgerState* st = fm::module_state<LedgerState>(module);
    return registered(st, a[0]).release();
}

PyObject* portable_reset(PyObject* module) {
    LedgerState* st = fm::module_state<LedgerState>(module);
    RegistryLock lock(st);
    if (!lock.held) return nullptr;
    fm::Ref r = fm::steal(fm::call_method(st->id_map, st->n(N_clear)));
    if (!r) return nullptr;
    if (PySet_Clear(st->ids) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ----------------------------------------------------------- serialization

PyObject* portable_serialize(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"interface"};
    PyObject* a[] = {nullptr};
    if (!fm::parse_args("serialize", args, nargs, kwnames, names, a, 1)) return nullptr;
    fm::Ref interface = fm::borrow(a[0]);
    auto* st = static_cast<LedgerState*>(PyType_GetModuleState(defining_class));
    PyObject* borrowed = fm::config_of(self);
    if (!borrowed) return nullptr;
    fm::Ref config = fm::borrow(borrowed);

    PyObject* deepcopy = st->deepcopy.get();
    if (!deepcopy) return nullptr;
    fm::Ref settings = fm::steal(PyObject_CallOneArg(deepcopy, config.get()));
    if (!settings) return nullptr;
    if (!PyDict_Check(settings.get()))
        return PyErr_Format(PyExc_TypeError, "A copy of the configuration must be a dict, not %s",
                            Py_TYPE(settings.get())->tp_name);

    fm::Ref reserved = fm::steal(PyObject_GetAttr(config.get(), st->n(N_ReservedKeys)));
    if (!reserved) return nullptr;
    // The namespace's own dunder entries (__module__, __doc__, ...) are not keys.
    fm::Ref ns = fm::steal(PyObject_GetAttrString(reserved.get(), "__dict__"));
    if (!ns) return nullptr;
    fm::Ref items = fm::steal(PyMapping_Items(ns.get()));
    if (!items) return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        // A metaclass may make the namespace any mapping: take pairs only.
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) continue;
        PyObject* attr = PyTuple_GET_ITEM(item, 0);
        PyObject* key = PyTuple_GET_ITEM(item, 1);
        if (PyUnicode_Check(attr)) {
            Py_ssize_t len = PyUnicode_GET_LENGTH(attr);
            if (len > 4 && PyUnicode_READ_CHAR(attr, 0) == '_' &&
                PyUnicode_READ_CHAR(attr, 1) == '_' && PyUnicode_READ_CHAR(attr, len - 1) == '_' &&
                PyUnicode_READ_CHAR(attr, len - 2) == '_')
                continue;
        }
        int present = PyDict_Contains(settings.get(), key);
        if (present < 0) return nullptr;
        if (present && PyDict_DelItem(settings.get(), key) < 0) return nullptr;
    }

    fm::Ref cls = fm::steal(PyObject_GetAttrString(interface.get(), "__class__"));
    if (!cls) return nullptr;
    fm::Ref cls_name = fm::steal(PyObject_GetAttrString(cls.get(), "__name__"));
    if (!cls_name) return nullptr;
    fm::Ref cls_module = fm::steal(PyObject_GetAttrString(cls.get(), "__module__"));
    if (!cls_module) return nullptr;

    fm::Ref entry = fm::steal(PyDict_New());
    if (!entry) return nullptr;
    if (PyDict_SetItem(entry.get(), st->n(N_class), cls_name.get()) < 0 ||
        PyDict_SetItem(entry.get(), st->n(N_module), cls_module.get()) < 0 ||
        PyDict_SetItem(entry.get(), st->n(N_source), Py_None) < 0 ||
        PyDict_SetItem(entry.get(), st->n(N_config), settings.get()) < 0)
        return nullptr;
    return entry.release();
}

// data[key] with the dict's own KeyError (new reference).
fm::Ref required_item(PyObject* data, PyObject* key) {
    PyObject* value;
    int found = PyDict_GetItemRef(data, key, &value);
    if (found == 0) PyErr_SetObject(PyExc_KeyError, key);
    return fm::steal(value);
}

PyObject* portable_deserialize(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    static const char* const names[] = {"data"};
    PyObject* a[] = {nullptr};
    if (!fm::parse_args("deserialize", args, nargs, kwnames, names, a, 1)) return nullptr;
    if (!fm::check_exact(a[0], &PyDict_Type, "data")) return nullptr;
    fm::Ref data = fm::borrow(a[0]);
    LedgerState* st = fm::module_state<LedgerState>(module);

    // Imported on every call: the facade module imports this one.
    fm::Ref portable = fm::steal(fm::resolve("flowmesh.portable", "Portable"));
    if (!portable) return nullptr;

    fm::Ref module_name = required_item(data.get(), st->n(N_module));
    if (!module_name) return nullptr;
    PyObject* import_module = st->import_module.get();
    if (!import_module) return nullptr;
    fm::Ref source = fm::steal(PyObject_CallOneArg(import_module, module_name.get()));
    if (!source) return nullptr;

    fm::Ref class_name = required_item(data.get(), st->n(N_class));
    if (!class_name) return nullptr;
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(source.get(), class_name.get(), &found) < 0) return nullptr;
    fm::Ref cls = fm::steal(found);
    if (!cls || !PyType_Check(cls.get())) {
        // The message names the module and the nearest element class it holds.
        fm::Ref explain = fm::steal(fm::resolve("flowmesh.documents", "class_lookup_error"));
        if (!explain) return nullptr;
        fm::Ref text =
            fm::steal(cls ? PyObject_CallFunctionObjArgs(explain.get(), source.get(),
                                                         class_name.get(), cls.get(), nullptr)
                          : PyObject_CallFunctionObjArgs(explain.get(), source.get(),
                                                         class_name.get(), nullptr));
        if (!text) return nullptr;
        PyErr_SetObject(PyExc_TypeError, text.get());
        return nullptr;
    }
    int derived = PyObject_IsSubclass(cls.get(), portable.get());
    if (derived < 0) return nullptr;
    fm::Ref cls_name = fm::steal(PyObject_GetAttrString(cls.get(), "__name__"));
    if (!cls_name) return nullptr;
    if (!derived)
        return PyErr_Format(PyExc_TypeError, "Class '%S' must be derived from class 'Portable'.",
                            cls_name.get());

    PyObject* stored = nullptr;
    if (PyDict_GetItemRef(data.get(), st->n(N_config), &stored) < 0) return nullptr;
    fm::Ref settings = fm::steal(stored);
    fm::Ref kwargs = fm::steal(PyDict_New());
    if (!kwargs) return nullptr;
    if (settings && settings.get() != Py_None) {
        int empty = PyObject_Not(settings.get());
        if (empty < 0) return nullptr;
        if (!empty && PyDict_Merge(kwargs.get(), settings.get(), 1) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            return PyErr_Format(PyExc_TypeError, "%S() argument after ** must be a mapping, not %s",
                                cls_name.get(), Py_TYPE(settings.get())->tp_name);
        }
    }

    fm::Ref empty_args = fm::steal(PyTuple_New(0));
    if (!empty_args) return nullptr;
    PyObject* rebuilt = PyObject_Call(cls.get(), empty_args.get(), kwargs.get());
    if (rebuilt || !PyErr_ExceptionMatches(PyExc_TypeError)) return rebuilt;

    fm::Ref error = fm::steal(PyErr_GetRaisedException());
    fm::Ref text = fm::steal(PyObject_Str(error.get()));
    if (!text) return nullptr;
    fm::Ref needle = fm::steal(PyUnicode_FromString("multiple values for keyword argument"));
    if (!needle) return nullptr;
    int collides = PyUnicode_Contains(text.get(), needle.get());
    if (collides < 0) return nullptr;
    if (!collides) {
        PyErr_SetRaisedException(error.release());
        return nullptr;
    }
    return fm::raise_from(
        std::move(error), PyExc_TypeError,
        "Could not reconstruct '%S' from its serialized configuration (%U). %S.__init__ most "
        "likely passes a configuration field (e.g. input_ports/output_ports) explicitly while "
        "also forwarding **kwargs, so the stored value collides with the explicit one. Use "
        "kwargs.setdefault('<field>', ...) instead of passing it alongside **kwargs, or declare "
        "the field as an explicit __init__ parameter.",
        cls_name.get(), text.get(), cls_name.get());
}

PyObject* portable_add_preinstalled_module(PyObject* module, PyObject* const* args,
                                           Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"module"};
    PyObject* a[] = {nullptr};
    if (!fm::parse_args("add_preinstalled_module", args, nargs, kwnames, names, a, 1))
        return nullptr;
    if (!fm::check_exact(a[0], &PyUnicode_Type, "module")) return nullptr;
    LedgerState* st = fm::module_state<LedgerState>(module);
    if (PySet_Add(st->preinstalled, a[0]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ------------------------------------------------------------------ type

int portable_traverse(PyObject* self, visitproc visit, void* arg) {
    return fm::traverse_portable(self, visit, arg);
}

int portable_clear(PyObject* self) {
    fm::clear_portable(self);
    return 0;
}

PyMethodDef portable_methods[] = {
    {"adopt_id", fm::as_cfunc(portable_adopt_id), fm::kMethodCall,
     PyDoc_STR("adopt_id(new_id)\n--\n\nTake over `new_id` as this object's id.")},
    {"serialize", fm::as_cfunc(portable_serialize), fm::kMethodCall,
     PyDoc_STR("serialize(interface)\n--\n\nThe document entry of `interface`, the facade "
               "object owning this one.")},
    {nullptr, nullptr, 0, nullptr},
};

// Bound to the module when installed (see fm::add_static_methods).
PyMethodDef portable_static_methods[] = {
    fm::method_def<"new_id", portable_new_id>(
        PyDoc_STR("new_id()\n--\n\nReserve and return a fresh 16-digit hexadecimal id.")),
    {"get_by_id", fm::as_cfunc(portable_get_by_id), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("get_by_id(id)\n--\n\nThe live object registered under `id`, or None.")},
    fm::method_def<"reset", portable_reset>(
        PyDoc_STR("reset()\n--\n\nForget every registered and reserved id.")),
    {"deserialize", fm::as_cfunc(portable_deserialize), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("deserialize(data)\n--\n\nRebuild the facade object a document entry describes.")},
    {"add_preinstalled_module", fm::as_cfunc(portable_add_preinstalled_module),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("add_preinstalled_module(module)\n--\n\nKept for older client code; has no "
               "effect on serialization.")},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef portable_members[] = {
    {"config", Py_T_OBJECT_EX, offsetof(fm::PortableObject, config), 0,
     PyDoc_STR("The configuration record; the id lives under config.Keys.ID.")},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot portable_slots[] = {
    {Py_tp_doc, const_cast<char*>("PortableImp(config)\n--\n\nAn object with a registered id "
                                  "that can be written to a document.")},
    {Py_tp_init, reinterpret_cast<void*>(portable_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(portable_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(portable_clear)},
    {Py_tp_methods, portable_methods},
    {Py_tp_members, portable_members},
    {0, nullptr},
};

PyType_Spec portable_spec = {
    .name = "flowmesh.imp.PortableImp",
    .basicsize = sizeof(fm::PortableObject),
    .itemsize = 0,
    .flags = fm::kTypeFlags,
    .slots = portable_slots,
};

// ---------------------------------------------------------------- module

// The SerializationKeys namespace class, holding the entry keys.
PyObject* make_serialization_keys(LedgerState* st) {
    fm::Ref ns = fm::steal(PyDict_New());
    if (!ns) return nullptr;
    if (PyDict_SetItemString(ns.get(), "CLASS", st->n(N_class)) < 0 ||
        PyDict_SetItemString(ns.get(), "MODULE", st->n(N_module)) < 0 ||
        PyDict_SetItemString(ns.get(), "SOURCE", st->n(N_source)) < 0 ||
        PyDict_SetItemString(ns.get(), "SETTINGS", st->n(N_config)) < 0)
        return nullptr;
    fm::Ref qualname = fm::steal(PyUnicode_FromString("PortableImp.SerializationKeys"));
    fm::Ref modname = fm::steal(PyUnicode_FromString("flowmesh.imp"));
    if (!qualname || !modname) return nullptr;
    if (PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__module__", modname.get()) < 0)
        return nullptr;
    return PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O",
                                 "SerializationKeys",
                                 reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns.get());
}

int ledger_exec(PyObject* module) {
    LedgerState* st = fm::module_state<LedgerState>(module);
    new (st) LedgerState{};
    if (st->n.intern() < 0) return -1;

    fm::Ref base = fm::steal(fm::imp_class("Implementation"));
    if (!base) return -1;
    st->type = fm::type_from_spec(module, &portable_spec, base.get());
    if (!st->type) return -1;

    fm::Ref weakref = fm::steal(PyImport_ImportModule("weakref"));
    if (!weakref) return -1;
    st->id_map = PyObject_CallMethod(weakref.get(), "WeakValueDictionary", nullptr);
    st->ids = PySet_New(nullptr);
    st->preinstalled = PySet_New(nullptr);
    if (!st->id_map || !st->ids || !st->preinstalled) return -1;
    fm::Ref rlock = fm::steal(fm::resolve("threading", "RLock"));
    st->registry_lock = rlock ? PyObject_CallNoArgs(rlock.get()) : nullptr;
    if (!st->registry_lock) return -1;
    fm::Ref keys = fm::steal(make_serialization_keys(st));
    if (!keys) return -1;
    if (fm::add_static_methods(st->type, module, portable_static_methods) < 0) return -1;
    if (PyObject_SetAttrString(st->type, "_id_map", st->id_map) < 0 ||
        PyObject_SetAttrString(st->type, "_ids", st->ids) < 0 ||
        PyObject_SetAttrString(st->type, "_preinstalled_modules", st->preinstalled) < 0 ||
        PyObject_SetAttrString(st->type, "SerializationKeys", keys.get()) < 0)
        return -1;
    return PyModule_AddObjectRef(module, "PortableImp", st->type);
}

PyModuleDef ledger_module = fm::module_def<LedgerState>(
    "flowmesh.imp.ledger", "Portable objects: id registry and document entries.",
    fm::module_slots<ledger_exec>);
}  // namespace

PyMODINIT_FUNC PyInit_ledger(void) {
    return PyModuleDef_Init(&ledger_module);
}
