// Pipeline documents: writing a pipeline as a nested dictionary of plain values
// (revision, writer identity, element entries, connection pairs), checking a
// document's revision, and rebuilding a pipeline from a document, each
// connection end resolved by port id, "node.port" or "node".
#include "documents.hpp"

#include <utility>

namespace fm::documents {

namespace {

// ------------------------------------------------------------------ helpers

Ref text(const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    Ref msg = steal(PyUnicode_FromFormatV(fmt, va));
    va_end(va);
    return msg;
}

// pipeline.log(msg) (INFO), or pipeline.log(msg, type=<type>).
int log_on(State* st, PyObject* pipeline, PyObject* msg, Constant* type = nullptr) {
    Ref r;
    if (!type) {
        r = steal(call_method(pipeline, st->n(N_log), msg));
    } else {
        PyObject* t = type->get();
        if (!t) return -1;
        PyObject* stack[] = {pipeline, msg, t};
        r = steal(PyObject_VectorcallMethod(st->n(N_log), stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            st->kw_type));
    }
    return r ? 0 : -1;
}

int log_text(State* st, PyObject* pipeline, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    Ref msg = steal(PyUnicode_FromFormatV(fmt, va));
    va_end(va);
    if (!msg) return -1;
    return log_on(st, pipeline, msg.get());
}

// obj.config[obj.config.Keys.ID] (new reference).
Ref port_id(State* st, PyObject* port) {
    Ref config = steal(PyObject_GetAttr(port, st->n(N_config)));
    if (!config) return {};
    Ref keys = steal(PyObject_GetAttr(config.get(), st->n(N_Keys)));
    Ref key = keys ? steal(PyObject_GetAttr(keys.get(), st->n(N_ID))) : Ref();
    if (!key) return {};
    return steal(PyObject_GetItem(config.get(), key.get()));
}

// The type's short name (`type(obj).__name__`).
Ref type_name(PyObject* obj) {
    return steal(PyType_GetName(Py_TYPE(obj)));
}

// ---------------------------------------------------------------- writing

// [oport_id, iport_id] for every connection of one output element, appended to `pairs`.
int append_pairs(State* st, PyObject* element, PyObject* pairs) {
    Ref impl = steal(PyObject_GetAttr(element, st->n(N__imp)));
    Ref ports = impl ? steal(PyObject_GetAttr(impl.get(), st->n(N__output_ports))) : Ref();
    Ref values = ports ? steal(call_method(ports.get(), st->n(N_values))) : Ref();
    Ref it = values ? steal(PyObject_GetIter(values.get())) : Ref();
    if (!it) return -1;
    while (Ref oport = steal(PyIter_Next(it.get()))) {
        // One read of the published list: a concurrent edit shows whole or not at all.
        Ref connected = steal(PyObject_GetAttr(oport.get(), st->n(N__connected_ports)));
        Ref targets = connected ? steal(PyObject_GetIter(connected.get())) : Ref();
        if (!targets) return -1;
        Ref oport_id;
        while (Ref iport = steal(PyIter_Next(targets.get()))) {
            if (!oport_id && !(oport_id = port_id(st, oport.get()))) return -1;
            Ref iport_id = port_id(st, iport.get());
            if (!iport_id) return -1;
            Ref pair = steal(PyList_New(2));
            if (!pair) return -1;
            PyList_SET_ITEM(pair.get(), 0, Py_NewRef(oport_id.get()));
            PyList_SET_ITEM(pair.get(), 1, iport_id.release());
            if (PyList_Append(pairs, pair.get()) < 0) return -1;
        }
        if (PyErr_Occurred()) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

Ref writer_identity() {
    Ref identity = steal(PyDict_New());
    if (!identity) return {};
    Ref version = steal(resolve("flowmesh", "__version__"));
    int ok = version ? PyObject_IsTrue(version.get()) : -1;
    Ref version_text = ok > 0 ? steal(PyObject_Str(version.get())) : Ref();
    if (version_text) {
        if (PyDict_SetItemString(identity.get(), "flowmesh", version_text.get()) < 0) return {};
    } else if (ok != 0 && !swallow_exception()) {
        return {};
    }
    return identity;
}

PyObject* serialize_impl(State* st, PyObject* module, PyObject* self) {
    Ref has_output = steal(PyObject_GetAttr(module, st->n(N__has_output_capability)));
    Ref nodes_field = has_output ? steal(PyObject_GetAttr(self, st->n(N__nodes))) : Ref();
    // A private copy: serializing an element runs Python code that may add elements.
    Ref nodes = nodes_field ? steal(PySequence_List(nodes_field.get())) : Ref();
    Ref pairs = nodes ? steal(PyList_New(0)) : Ref();
    if (!pairs) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes.get()); ++i) {
        PyObject* element = PyList_GET_ITEM(nodes.get(), i);
        Ref capable = steal(PyObject_CallOneArg(has_output.get(), element));
        int yes = capable ? PyObject_IsTrue(capable.get()) : -1;
        if (yes < 0) return nullptr;
        if (yes && append_pairs(st, element, pairs.get()) < 0) return nullptr;
    }
    Ref version = steal(PyObject_GetAttr(st->type, st->n(N_FORMAT_VERSION)));
    Ref writer = version ? writer_identity() : Ref();
    Ref entries = writer ? steal(PyList_New(0)) : Ref();
    if (!entries) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes.get()); ++i) {
        Ref entry = steal(call_method(PyList_GET_ITEM(nodes.get(), i), st->n(N_serialize)));
        if (!entry || PyList_Append(entries.get(), entry.get()) < 0) return nullptr;
    }
    Ref document = steal(PyDict_New());
    if (!document || PyDict_SetItem(document.get(), st->key_version, version.get()) < 0 ||
        PyDict_SetItem(document.get(), st->key_writer, writer.get()) < 0 ||
        PyDict_SetItem(document.get(), st->key_nodes, entries.get()) < 0 ||
        PyDict_SetItem(document.get(), st->key_connections, pairs.get()) < 0)
        return nullptr;
    return document.release();
}

// ----------------------------------------------------------- revision check

// "name version, name version" over the writer entries, sorted; an empty text
// when there are none. A writer record that cannot be read as name -> version
// entries counts as unrecorded: the refusal it words must still come out.
Ref written_by(State* st, PyObject* writer) {
    Ref empty = steal(PyUnicode_FromString(""));
    Ref items = steal(call_method(writer, st->n(N_items)));
    Ref it = items ? steal(PyObject_GetIter(items.get())) : Ref();
    Ref entries = it ? steal(PyList_New(0)) : Ref();
    if (entries) {
        while (Ref item = steal(PyIter_Next(it.get()))) {
            Ref pair = steal(PySequence_Tuple(item.get()));
            if (!pair || PyTuple_GET_SIZE(pair.get()) != 2) {
                if (pair) PyErr_SetString(PyExc_ValueError, "writer entry is not a pair");
                entries.reset();
                break;
            }
            Ref name = steal(PyObject_Str(PyTuple_GET_ITEM(pair.get(), 0)));
            Ref version = name ? steal(PyObject_Str(PyTuple_GET_ITEM(pair.get(), 1))) : Ref();
            Ref sortable = version ? steal(PyTuple_Pack(2, name.get(), version.get())) : Ref();
            if (!sortable || PyList_Append(entries.get(), sortable.get()) < 0) {
                entries.reset();
                break;
            }
        }
    }
    if (!entries || PyErr_Occurred() || PyList_Sort(entries.get()) < 0) {
        if (!swallow_exception()) return {};
        return empty;
    }
    Ref parts = steal(PyList_New(0));
    if (!parts) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        PyObject* e = PyList_GET_ITEM(entries.get(), i);
        Ref part = text("%U %U", PyTuple_GET_ITEM(e, 0), PyTuple_GET_ITEM(e, 1));
        if (!part || PyList_Append(parts.get(), part.get()) < 0) return {};
    }
    Ref sep = steal(PyUnicode_FromString(", "));
    return sep ? steal(PyUnicode_Join(sep.get(), parts.get())) : Ref();
}

int check_format_version_impl(State* st, PyObject* data, PyObject* pipeline) {
    if (!check_exact(data, &PyDict_Type, "data")) return -1;
    PyObject* key = st->key_version;
    Ref current = steal(PyObject_GetAttr(st->type, st->n(N_FORMAT_VERSION)));
    if (!current) return -1;
    PyObject* raw_ptr = nullptr;
    int present = PyDict_GetItemRef(data, key, &raw_ptr);
    if (present < 0) return -1;
    Ref raw = steal(raw_ptr);
    if (!present) {
        Ref note = text(
            "This document carries no %U, so it was written before the format was versioned. "
            "Reading it as revision %S; re-saving it will add the version.",
            key, current.get());
        return note ? log_on(st, pipeline, note.get(), &st->c.log_warning) : -1;
    }
    Ref found = PyLong_CheckExact(raw.get()) ? borrow(raw.get()) : steal(PyNumber_Long(raw.get()));
    if (!found) {
        // Infinity overflows the conversion: not convertible either.
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
            !PyErr_ExceptionMatches(PyExc_OverflowError))
            return -1;
        Ref cause = steal(PyErr_GetRaisedException());
        raise_from(std::move(cause), PyExc_ValueError,
                   "%U is %R, which is not a revision number. This build reads revision %S.", key,
                   raw.get(), current.get());
        return -1;
    }
    int newer = PyObject_RichCompareBool(found.get(), current.get(), Py_GT);
    if (newer < 0) return -1;
    if (newer) {
        PyObject* writer_ptr = nullptr;
        if (PyDict_GetItemRef(data, st->key_writer, &writer_ptr) < 0) return -1;
        Ref writer = steal(writer_ptr);
        int recorded = writer ? PyObject_IsTrue(writer.get()) : 0;
        if (recorded < 0 && !swallow_exception()) return -1;
        Ref wrote = recorded > 0 ? written_by(st, writer.get()) : steal(PyUnicode_FromString(""));
        if (!wrote) return -1;
        if (PyUnicode_GET_LENGTH(wrote.get()) == 0)
            wrote = steal(PyUnicode_FromString("an unrecorded version"));
        if (!wrote) return -1;
        PyErr_Format(PyExc_ValueError,
                     "This document is format revision %S and this build reads revision %S. It was "
                     "written by %U. Upgrade to read it -- reading it anyway could only guess at a "
                     "structure this build has never seen.",
                     found.get(), current.get(), wrote.get());
        return -1;
    }
    int older = PyObject_RichCompareBool(found.get(), current.get(), Py_LT);
    if (older <= 0) return older;
    Ref note = text(
        "This document is format revision %S; this build reads revision %S. Reading it, "
        "since every revision so far is readable.",
        found.get(), current.get());
    return note ? log_on(st, pipeline, note.get()) : -1;
}

// ---------------------------------------------------------------- reading

Ref node_name_impl(State* st, PyObject* node) {
    PyObject* name_key = st->name_key.get();
    if (!name_key) return {};
    PyObject* config_ptr = nullptr;
    if (PyObject_GetOptionalAttr(node, st->n(N_config), &config_ptr) < 0) return {};
    if (!config_ptr) return borrow(Py_None);
    Ref config = steal(config_ptr);
    Ref name = steal(call_method(config.get(), st->n(N_get), name_key));
    if (!name) return {};
    if (name.get() != Py_None && !check_str(name.get(), "name")) return {};
    return name;
}

// (by_name, ambiguous) over `nodes`, an exact list.
Ref index_nodes_impl(State* st, PyObject* nodes) {
    if (!check_exact(nodes, &PyList_Type, "nodes")) return {};
    Ref by_name = steal(PyDict_New());
    Ref ambiguous = by_name ? steal(PySet_New(nullptr)) : Ref();
    if (!ambiguous) return {};
    // Indexed afresh each time: a name lookup runs Python code that may edit the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes); ++i) {
        Ref node = steal(PyList_GetItemRef(nodes, i));
        if (!node) return {};
        Ref name = node_name_impl(st, node.get());
        if (!name) return {};
        if (name.get() == Py_None) continue;
        int known = PyDict_Contains(by_name.get(), name.get());
        if (known < 0) return {};
        if (known ? PySet_Add(ambiguous.get(), name.get()) < 0
                  : PyDict_SetItem(by_name.get(), name.get(), node.get()) < 0)
            return {};
    }
    Ref names = steal(PySequence_List(ambiguous.get()));
    if (!names) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i)
        if (PyDict_DelItem(by_name.get(), PyList_GET_ITEM(names.get(), i)) < 0) return {};
    return steal(PyTuple_Pack(2, by_name.get(), ambiguous.get()));
}

// The known names, sorted and joined with ", ", or "none".
Ref known_names(PyObject* by_name) {
    Ref keys = steal(PyDict_Keys(by_name));
    if (!keys || PyList_Sort(keys.get()) < 0) return {};
    if (PyList_GET_SIZE(keys.get()) == 0) return steal(PyUnicode_FromString("none"));
    Ref sep = steal(PyUnicode_FromString(", "));
    return sep ? steal(PyUnicode_Join(sep.get(), keys.get())) : Ref();
}

PyObject* resolve_port_impl(State* st, PyObject* ref_arg, PyObject* by_name, PyObject* ambiguous,
                            int output) {
    if (!check_exact(by_name, &PyDict_Type, "by_name") ||
        !check_exact(ambiguous, &PySet_Type, "ambiguous"))
        return nullptr;
    if (!PyUnicode_Check(ref_arg)) {
        Ref tname = type_name(ref_arg);
        if (!tname) return nullptr;
        PyErr_Format(PyExc_ValueError, "a connection endpoint must be a string, got %U",
                     tname.get());
        return nullptr;
    }
    // A str subclass is read as the plain text it holds: the id registry takes
    // exact strings, and its own __str__/__eq__ must not change what it names.
    Ref ref = steal(PyUnicode_FromObject(ref_arg));
    PyObject* portable = ref ? st->portable.get() : nullptr;
    if (!portable) return nullptr;
    Ref port = steal(call_method(portable, st->n(N_get_by_id), ref.get()));
    if (!port) return nullptr;
    if (port.get() != Py_None) return port.release();

    Py_ssize_t len = PyUnicode_GET_LENGTH(ref.get());
    Py_ssize_t dot = PyUnicode_FindChar(ref.get(), '.', 0, len, 1);
    if (dot == -2) return nullptr;
    Ref node_name, port_name;
    if (dot < 0) {
        node_name = borrow(ref.get());
        port_name = borrow(output ? st->c.port_out.get() : st->c.port_in.get());
    } else {
        node_name = steal(PyUnicode_Substring(ref.get(), 0, dot));
        port_name = node_name ? steal(PyUnicode_Substring(ref.get(), dot + 1, len)) : Ref();
    }
    if (!port_name) return nullptr;

    int is_ambiguous = PySet_Contains(ambiguous, node_name.get());
    if (is_ambiguous < 0) return nullptr;
    if (is_ambiguous) {
        PyErr_Format(PyExc_ValueError,
                     "'%U' is ambiguous: more than one node is named '%U'. Give each node a unique "
                     "name, or connect by port id.",
                     ref.get(), node_name.get());
        return nullptr;
    }
    PyObject* node_ptr = nullptr;
    if (PyDict_GetItemRef(by_name, node_name.get(), &node_ptr) < 0) return nullptr;
    Ref node = steal(node_ptr);
    if (!node || node.get() == Py_None) {
        Ref known = known_names(by_name);
        if (!known) return nullptr;
        PyErr_Format(PyExc_ValueError,
                     "'%U' names no node in this pipeline. It is neither a port id nor a known "
                     "node name. Named nodes: %U.",
                     ref.get(), known.get());
        return nullptr;
    }
    const char* side = output ? "output" : "input";
    PyObject* getter_ptr = nullptr;
    if (PyObject_GetOptionalAttr(node.get(), st->n(output ? N_get_output_port : N_get_input_port),
                                 &getter_ptr) < 0)
        return nullptr;
    Ref getter = steal(getter_ptr);
    if (!getter || getter.get() == Py_None) {
        Ref tname = type_name(node.get());
        if (!tname) return nullptr;
        PyErr_Format(PyExc_ValueError,
                     "'%U' cannot be used as a connection %s: %U has no %s ports.", ref.get(), side,
                     tname.get(), side);
        return nullptr;
    }
    PyObject* found = PyObject_CallOneArg(getter.get(), port_name.get());
    if (found || !pending_is_exception()) return found;
    Ref cause = steal(PyErr_GetRaisedException());
    Ref error = safe_text(cause.get());
    if (!error) {
        chain_context(std::move(cause));
        return nullptr;
    }
    return raise_from(std::move(cause), PyExc_ValueError, "node '%U' has no %s port '%U' (%U).",
                      node_name.get(), side, port_name.get(), error.get());
}

// `first, second = pair` with the host's own unpacking and its errors.
Ref unpack(State* st, PyObject* pair) {
    if ((PyList_CheckExact(pair) || PyTuple_CheckExact(pair)) && Py_SIZE(pair) == 2)
        return steal(PySequence_Tuple(pair));
    return steal(PyObject_CallOneArg(st->unpack_pair, pair));
}

// One connection pair, both halves joined output side first; a half-made
// connection is undone before the error leaves. 0, or -1 with an exception.
int join_ports(State* st, PyObject* pipeline, PyObject* oport_id, PyObject* iport_id,
               PyObject* by_name, PyObject* ambiguous) {
    Ref oport = steal(resolve_port_impl(st, oport_id, by_name, ambiguous, 1));
    if (!oport) return -1;
    Ref iport = steal(resolve_port_impl(st, iport_id, by_name, ambiguous, 0));
    if (!iport) return -1;
    Ref r = steal(call_method(oport.get(), st->n(N_connect), iport.get()));
    if (!r) return -1;
    r = steal(call_method(iport.get(), st->n(N_connect), oport.get()));
    if (!r) {
        Ref refused = steal(PyErr_GetRaisedException());
        Ref undone = steal(call_method(oport.get(), st->n(N_disconnect), iport.get()));
        if (!undone) {
            chain_context(std::move(refused));
            return -1;
        }
        PyErr_SetRaisedException(refused.release());
        return -1;
    }
    // Both ends are text by now; a str subclass is logged as the text it holds.
    Ref o_text = steal(PyUnicode_FromObject(oport_id));
    Ref i_text = o_text ? steal(PyUnicode_FromObject(iport_id)) : Ref();
    if (!i_text) return -1;
    return log_text(st, pipeline, "Connected ports %U and %U.", o_text.get(), i_text.get());
}

// Wraps a resolution or connection failure; always -1.
int connection_failed(State* st, PyObject* pipeline, PyObject* oport_id, PyObject* iport_id) {
    // The report must come out whatever the error and the endpoints print as.
    Ref error = steal(PyErr_GetRaisedException());
    Ref shown = safe_text(error.get());
    Ref o_shown = shown ? safe_repr(oport_id) : Ref();
    Ref i_shown = o_shown ? safe_repr(iport_id) : Ref();
    Ref msg = i_shown ? text("Deserialization failed: %U (connecting %U to %U)", shown.get(),
                             o_shown.get(), i_shown.get())
                      : Ref();
    PyObject* type = msg ? st->c.log_error.get() : nullptr;
    if (!type) {
        chain_context(std::move(error));
        return -1;
    }
    PyObject* stack[] = {pipeline, msg.get(), type};
    Ref r = steal(PyObject_VectorcallMethod(st->n(N_log), stack, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            st->kw_msg_type));
    if (!r) {
        chain_context(std::move(error));
        return -1;
    }
    PyErr_SetObject(PyExc_TypeError, msg.get());
    chain_cause(std::move(error));
    return -1;
}

int build(State* st, PyObject* pipeline, PyObject* data, PyObject* node_config,
          PyObject* connections) {
    if (log_text(st, pipeline, "Starting pipeline deserialization...") < 0) return -1;
    Ref checked = steal(PyObject_CallMethodObjArgs(st->type, st->n(N__check_format_version), data,
                                                   pipeline, nullptr));
    if (!checked) return -1;

    PyObject* portable = st->portable.get();
    Ref nodes = portable ? steal(PyList_New(0)) : Ref();
    Ref settings = nodes ? steal(PyObject_GetIter(node_config)) : Ref();
    if (!settings) return -1;
    while (Ref setting = steal(PyIter_Next(settings.get()))) {
        Ref node = steal(call_method(portable, st->n(N_deserialize), setting.get()));
        if (!node || PyList_Append(nodes.get(), node.get()) < 0) return -1;
        Ref added = steal(call_method(pipeline, st->n(N_add_node), node.get()));
        if (!added) return -1;
    }
    if (PyErr_Occurred()) return -1;

    Ref index = index_nodes_impl(st, nodes.get());
    if (!index) return -1;
    PyObject* by_name = PyTuple_GET_ITEM(index.get(), 0);
    PyObject* ambiguous = PyTuple_GET_ITEM(index.get(), 1);
    Ref pairs = steal(PyObject_GetIter(connections));
    if (!pairs) return -1;
    while (Ref connection = steal(PyIter_Next(pairs.get()))) {
        Ref ends = unpack(st, connection.get());
        if (!ends) return -1;
        PyObject* oport_id = PyTuple_GET_ITEM(ends.get(), 0);
        PyObject* iport_id = PyTuple_GET_ITEM(ends.get(), 1);
        if (join_ports(st, pipeline, oport_id, iport_id, by_name, ambiguous) < 0) {
            if (!pending_is_exception()) return -1;
            return connection_failed(st, pipeline, oport_id, iport_id);
        }
    }
    if (PyErr_Occurred()) return -1;
    return log_text(st, pipeline, "Deserialization complete.");
}

PyObject* deserialize_impl(State* st, PyObject* data) {
    if (!check_exact(data, &PyDict_Type, "data")) return nullptr;
    PyObject* pipeline_cls = st->pipeline.get();
    if (!pipeline_cls || !st->portable.get()) return nullptr;
    PyObject* node_config = nullptr;
    PyObject* connections = nullptr;
    for (auto [key, out] :
         {std::pair{st->key_nodes, &node_config}, std::pair{st->key_connections, &connections}}) {
        int found = PyDict_GetItemRef(data, key, out);
        if (found == 0) PyErr_SetObject(PyExc_KeyError, key);
        if (found <= 0) {
            Py_XDECREF(node_config);
            return nullptr;
        }
    }
    Ref owned_nodes = steal(node_config), owned_connections = steal(connections);
    Ref pipeline = steal(PyObject_CallNoArgs(pipeline_cls));
    if (!pipeline) return nullptr;
    if (build(st, pipeline.get(), data, node_config, connections) == 0) return pipeline.release();
    // The pipeline is never handed out: release its logger (writer thread, open
    // file) before the error leaves.
    Ref error = steal(PyErr_GetRaisedException());
    Ref closed = steal(call_method(pipeline.get(), st->n(N_close)));
    if (!closed && !swallow_exception()) {
        chain_context(std::move(error));
        return nullptr;
    }
    PyErr_SetRaisedException(error.release());
    return nullptr;
}

// ------------------------------------------------------------ entry points

// Static methods and module functions are bound to the module.
PyObject* static_writer_identity(PyObject* module) {
    (void)module;
    return writer_identity().release();
}

PyObject* static_check_format_version(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    static const char* const names[] = {"data", "pipeline"};
    PyObject* out[] = {nullptr, nullptr};
    if (!parse_args("_check_format_version", args, nargs, kwnames, names, out, 2)) return nullptr;
    if (check_format_version_impl(state_of(module), out[0], out[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* static_deserialize(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static const char* const names[] = {"data"};
    PyObject* out[] = {nullptr};
    if (!parse_args("deserialize", args, nargs, kwnames, names, out, 1)) return nullptr;
    return deserialize_impl(state_of(module), out[0]);
}

PyObject* module_node_name(PyObject* module, PyObject* node) {
    return node_name_impl(state_of(module), node).release();
}

PyObject* module_index_nodes(PyObject* module, PyObject* nodes) {
    return index_nodes_impl(state_of(module), nodes).release();
}

PyObject* module_resolve_port(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError,
                     "_resolve_port() takes 3 positional arguments but %zd were given", nargs);
        return nullptr;
    }
    static const char* const names[] = {"ref", "by_name", "ambiguous", "output"};
    PyObject* out[] = {nullptr, nullptr, nullptr, nullptr};
    if (!parse_args("_resolve_port", args, nargs, kwnames, names, out, 4)) return nullptr;
    int output = PyObject_IsTrue(out[3]);
    if (output < 0) return nullptr;
    return resolve_port_impl(state_of(module), out[0], out[1], out[2], output);
}

PyMethodDef static_methods[] = {
    fm::method_def<"_writer_identity", static_writer_identity>(
        PyDoc_STR("_writer_identity()\n--\n\n"
                  "The writer identity of a document: {\"flowmesh\": version}, or {}.")),
    {"_check_format_version", as_cfunc(static_check_format_version), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR(
         "_check_format_version(data, pipeline)\n--\n\nRefuse a revision this build cannot read; "
         "note an absent or older one on the pipeline's log.")},
    {"deserialize", as_cfunc(static_deserialize), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("deserialize(data)\n--\n\nA new pipeline rebuilt from a document.")},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef module_functions[] = {
    fm::method_def<"_node_name", module_node_name, "node">(
        PyDoc_STR("_node_name(node)\n--\n\nThe configured name of an element, or None.")),
    fm::method_def<"_index_nodes", module_index_nodes, "nodes">(
        PyDoc_STR("_index_nodes(nodes)\n--\n\n"
                  "(by_name, ambiguous): the elements by unique name, and the names used twice.")),
    {"_resolve_port", as_cfunc(module_resolve_port), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("_resolve_port(ref, by_name, ambiguous, *, output)\n--\n\nThe port a connection end "
               "names (port id, \"node.port\" or \"node\").")},
    {nullptr, nullptr, 0, nullptr},
};

const char kUnpackSource[] =
    "def unpack_pair(pair):\n"
    "    first, second = pair\n"
    "    return first, second\n";

}  // namespace

int visit_ref(State& st, visitproc visit, void* arg) {
    return visit_refs(st, visit, arg);
}

void clear_ref(State& st) {
    clear_refs(st);
}

PyObject* serialize(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    (void)args;
    if (!parse_args("serialize", nargs, kwnames)) return nullptr;
    PyObject* module = PyType_GetModule(cls);
    if (!module) return nullptr;
    return serialize_impl(state_of(module), module, self);
}

int init(State* st, PyObject* module, PyObject* type) {
    if (st->n.intern() < 0) return -1;
    st->type = Py_NewRef(type);
    st->kw_type = names_tuple({"type"}).release();
    st->kw_msg_type = names_tuple({"msg", "type"}).release();
    if (!st->kw_type || !st->kw_msg_type) return -1;

    Ref keys = steal(PyObject_GetAttr(type, st->n(N_SerializationKeys)));
    if (!keys) return -1;
    struct {
        PyObject** slot;
        Name name;
    } key_slots[] = {{&st->key_version, N_FORMAT_VERSION},
                     {&st->key_writer, N_WRITER},
                     {&st->key_nodes, N_NODES},
                     {&st->key_connections, N_CONNECTIONS}};
    for (auto& k : key_slots)
        if (!(*k.slot = PyObject_GetAttr(keys.get(), st->n(k.name)))) return -1;

    Ref globals = steal(PyDict_New());
    if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0)
        return -1;
    Ref code = steal(Py_CompileString(kUnpackSource, "<flowmesh.imp.documents>", Py_file_input));
    Ref done = code ? steal(PyEval_EvalCode(code.get(), globals.get(), globals.get())) : Ref();
    if (!done) return -1;
    PyObject* fn = nullptr;
    if (PyDict_GetItemStringRef(globals.get(), "unpack_pair", &fn) <= 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "unpack helper missing");
        return -1;
    }
    st->unpack_pair = fn;

    if (add_static_methods(type, module, static_methods) < 0) return -1;
    return PyModule_AddFunctions(module, module_functions);
}

}  // namespace fm::documents
