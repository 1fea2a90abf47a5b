// flowmesh.imp.vertex: NodeImp, a processing node. It holds the client's
// handlers and runs the node's cycle: setup once per run, then pre-step, step
// (or process in batch runs), post-step and the push of the output, with
// failures caught and recorded (or, in batch runs, left to the caller).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "data_path.hpp"
#include "handler_time.hpp"
#include "objects.hpp"

namespace {

// NodeObject.flags: facts about the instance's type, fixed at construction so
// that a cycle neither looks methods up by name nor tests classes.
enum : uint8_t {
    kIsOutputNode = 1 << 0,        // an imp.ONodeImp instance: post-step and push run
    kRunCycleOverridden = 1 << 1,  // a subclass redefines _run_cycle
    kPushDataMask = 3 << 2,
    kPushDataNoOp = 0 << 2,     // NodeImp's own _push_data: nothing to do
    kPushDataEmitter = 1 << 2,  // ONodeImp's: a direct call into emitter
    kPushDataByName = 2 << 2,   // redefined in Python: look it up on each call
};

// Attribute names; setup, step and process name a handler's role.
// clang-format off
#define FM_VERTEX_NAMES(X) \
    X(_run_cycle) X(_setup_wrapper) X(_run_setup) X(_get_context) X(_push_data) \
    X(_push_context) X(_cycle) X(record_failure) X(log) X(name) X(replace) X(setup) X(step) \
    X(process)
// clang-format on
FM_NAME_TABLE(FM_VERTEX_NAMES);

// The exported entry points come first: the API pointer is the state's.
struct VertexState : fm::VertexApi {
    PyObject* type;              // NodeImp
    PyObject* stop_flag_type;    // StopFlag
    PyObject* no_op_setup_hook;  // default pre-setup hook (data, context)
    PyObject* no_op_step_hook;   // default pre-step and post-step hooks (data)
    PyObject* own_run_cycle;     // NodeImp's descriptors, to detect overrides
    PyObject* own_push_data;
    PyObject* own_cycle;
    PyObject* emitter_module;  // keeps `emitter` valid
    fm::EmitterApi* emitter = nullptr;
    NameTable n;
    PyObject* kw_msg_type;      // ("msg", "type")
    PyObject* kw_input_output;  // ("input", "output")
    PyObject* kw_code_place;    // ("co_filename", "co_firstlineno", "co_name", "co_qualname")
    PyObject* blame_code;       // code of `def _(self, error): raise error`, all on one line
    PyObject* own_globals;      // of the functions defined here in Python
    PyObject* pending;          // `lambda: None`: its call runs the interpreter's pending work
    fm::Constants c;
    fm::Lazy context{"flowmesh.context", "Context"};
    fm::Lazy deepcopy{"copy", "deepcopy"};
    fm::Lazy onode{"flowmesh.imp", "ONodeImp"};
    fm::Lazy onode_push_data{"flowmesh.imp", "ONodeImp._push_data"};

    // Every reference the state owns, for traverse/clear.
    template <typename F>
    int refs(F f) {
        return f(type, stop_flag_type, no_op_setup_hook, no_op_step_hook, own_run_cycle,
                 own_push_data, own_cycle, emitter_module, n, kw_msg_type, kw_input_output,
                 kw_code_place, blame_code, own_globals, pending, context, deepcopy, onode,
                 onode_push_data, c);
    }
};

extern PyModuleDef vertex_module;

fm::NodeObject* node(PyObject* self) {
    return fm::as<fm::NodeObject>(self);
}
fm::ElementObject* element(PyObject* self) {
    return fm::as<fm::ElementObject>(self);
}

// Handler call. The slot may be replaced (even by the handler itself) while it
// runs, so the caller holds the callable for the duration; an empty slot calls
// None and fails like any broken handler.
// A handler is usually a bound method of the facade node: its function is
// called with the instance in front, as the bound method itself would.
template <size_t N>
PyObject* call_handler(PyObject* slot, PyObject* const (&given)[N]) {
    PyObject* fn = slot ? slot : Py_None;
    PyObject* args[N + 1];
    for (size_t i = 0; i < N; ++i) args[i + 1] = given[i];
    if (PyMethod_Check(fn)) {
        args[0] = PyMethod_GET_SELF(fn);
        return PyObject_Vectorcall(PyMethod_GET_FUNCTION(fn), args, N + 1, nullptr);
    }
    return PyObject_Vectorcall(fn, args + 1, N | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject* call_handler(PyObject* slot, PyObject* a) {
    PyObject* const args[] = {a};
    return call_handler(slot, args);
}

PyObject* call_handler(PyObject* slot, PyObject* a, PyObject* b) {
    PyObject* const args[] = {a, b};
    return call_handler(slot, args);
}

// self.log(msg=msg, type=type)
int log(VertexState* st, PyObject* self, PyObject* msg, fm::Constant& type) {
    PyObject* t = type.get();
    if (!t) return -1;
    PyObject* const values[] = {msg, t};
    fm::Ref r = fm::steal(fm::call_method_kw(self, st->n(N_log), st->kw_msg_type, values));
    return r ? 0 : -1;
}

enum Role : size_t { kSetup = N_setup, kStep = N_step, kProcess = N_process };

// A contract violation is raised here in C++ after the handler returned, so
// its traceback holds no frame of the node: the log entry would name
// whichever element drives the thread (or none, on a decoupled worker). The
// pending exception is raised again from a frame whose `self` is this node,
// placed at the handler's definition and named after its role, so that the
// entry names the node and the handler on every thread. Always returns -1.
int blame(VertexState* st, PyObject* self, PyObject* handler, Role role) {
    fm::Ref exc = fm::steal(PyErr_GetRaisedException());
    fm::Ref code = fm::borrow(st->blame_code);
    PyObject* fn = handler && PyMethod_Check(handler) ? PyMethod_GET_FUNCTION(handler) : handler;
    PyObject* found = nullptr;
    if (fn && PyObject_GetOptionalAttrString(fn, "__code__", &found) < 0) PyErr_Clear();
    fm::Ref own = fm::steal(found);
    fm::Ref file, line;
    if (own && PyCode_Check(own.get())) {
        file = fm::steal(PyObject_GetAttrString(own.get(), "co_filename"));
        line = file ? fm::steal(PyObject_GetAttrString(own.get(), "co_firstlineno")) : fm::Ref();
    }
    if (!line) {  // not a Python function: its place stays unknown
        PyErr_Clear();
        file = fm::steal(PyUnicode_FromFormat("<%s handler>", Py_TYPE(fn ? fn : Py_None)->tp_name));
        line = fm::steal(PyLong_FromLong(1));
    }
    if (file && line) {
        PyObject* const values[] = {code.get(), file.get(), line.get(), st->n(Name(role)),
                                    st->n(Name(role))};
        code = fm::steal(PyObject_VectorcallMethod(
            st->n(N_replace), values, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, st->kw_code_place));
    }
    fm::Ref raiser = code ? fm::steal(PyFunction_New(code.get(), st->own_globals)) : fm::Ref();
    if (raiser) {
        fm::Ref r = fm::steal(PyObject_CallFunctionObjArgs(raiser.get(), self, exc.get(), nullptr));
        PyObject* raised = PyErr_GetRaisedException();
        if (raised == exc.get()) {
            PyErr_SetRaisedException(raised);
            return -1;
        }
        Py_XDECREF(raised);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc.release());  // unattributed, but never masked
    return -1;
}

// The failure policy of a non-batch node, applied to the pending exception:
// record it, turn the node to ERROR and log it as ERROR. The log comes last:
// whoever it wakes (the monitoring thread, a page) finds the node failed. The
// condition is set even when recording raises, so a failed node never keeps
// running; that secondary error is what propagates then.
int contain_failure(VertexState* st, PyObject* self, bool setup) {
    fm::Ref exc = fm::steal(PyErr_GetRaisedException());
    fm::Ref r = fm::steal(fm::call_method(self, st->n(N_record_failure), exc.get()));
    fm::Ref secondary = fm::steal(r ? nullptr : PyErr_GetRaisedException());
    PyObject* error = st->c.error.get();
    if (!error) return -1;
    fm::set_field_of(self, &element(self)->condition, error);
    if (setup) element(self)->setup_failed = true;
    if (secondary) {
        PyErr_SetRaisedException(secondary.release());
        return -1;
    }
    return log(st, self, exc.get(), st->c.log_error);
}

// True when the pending exception is one a non-batch node contains.
bool containable(PyObject* self) {
    return !node(self)->batch && fm::pending_is_exception();
}

// ---------------------------------------------------------------- construction

// A name of the imp package for a type test, in *out; null there while the
// package is still being imported and has not bound it yet (the only time
// the package lacks it, so that failure alone is passed over). Any other
// failure is a broken installation, and is raised with its cause: a node
// that quietly took itself for one without outputs would drop its output.
bool bound_imp_name(fm::Lazy& slot, PyObject** out) {
    *out = slot.get();
    if (*out) return true;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return true;
    }
    if (!fm::pending_is_exception())
        return false;  // KeyboardInterrupt and the like stay as they are
    fm::raise_from(fm::steal(PyErr_GetRaisedException()), PyExc_ImportError,
                   "flowmesh.imp.%s cannot be imported", slot.path);
    return false;
}

// Fills `view`, a fresh tuple of 4, with what a cycle reads of the slots as
// they are now: (pre-step, step or process, post-step, whether process). The
// caller holds the node's critical section. Runs no code and cannot fail.
void fill_handlers_view(fm::NodeObject* n, PyObject* view) {
    auto given = [](PyObject* slot) { return Py_NewRef(slot ? slot : Py_None); };
    bool process = n->batch && n->process_handler && n->process_handler != Py_None;
    PyTuple_SET_ITEM(view, 0, given(n->pre_step_handler));
    PyTuple_SET_ITEM(view, 1, given(process ? n->process_handler : n->step_handler));
    PyTuple_SET_ITEM(view, 2, given(n->post_step_handler));
    PyTuple_SET_ITEM(view, 3, Py_NewRef(process ? Py_True : Py_False));
}

int node_init(PyObject* self, PyObject* args, PyObject* kwds) {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &vertex_module);
    if (!module) return -1;
    VertexState* st = fm::module_state<VertexState>(module);
    if (fm::init_base(st->type, self, args, kwds) < 0) return -1;

    fm::NodeObject* n = node(self);
    fm::set_field(&n->pre_setup_handler, st->no_op_setup_hook);
    fm::set_field(&n->pre_step_handler, st->no_op_step_hook);
    fm::set_field(&n->post_step_handler, st->no_op_step_hook);
    fm::set_field(&n->setup_handler, Py_None);
    fm::set_field(&n->step_handler, Py_None);
    fm::set_field(&n->process_handler, Py_None);
    n->batch = false;
    fm::Ref view = fm::steal(PyTuple_New(4));
    if (!view) return -1;
    fill_handlers_view(n, view.get());
    fm::Ref old_view = fm::replace_published(n->cycle_handlers, view.get());

    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    uint8_t flags = 0;
    fm::Ref run_cycle = fm::steal(PyObject_GetAttr(type, st->n(N__run_cycle)));
    if (!run_cycle) return -1;
    if (run_cycle.get() != st->own_run_cycle) flags |= kRunCycleOverridden;

    // While imp.ONodeImp is not bound yet no type derives from it: such a
    // node is no output node, and its pushes go by name, which is always right.
    PyObject* onode;
    if (!bound_imp_name(st->onode, &onode)) return -1;
    if (onode) {
        int sub = PyObject_IsSubclass(type, onode);
        if (sub < 0) return -1;
        if (sub) flags |= kIsOutputNode;
    }
    fm::Ref push_data = fm::steal(PyObject_GetAttr(type, st->n(N__push_data)));
    if (!push_data) return -1;
    if (push_data.get() == st->own_push_data) {
        flags |= kPushDataNoOp;
    } else {
        PyObject* emitter;
        if (!bound_imp_name(st->onode_push_data, &emitter)) return -1;
        if (emitter && push_data.get() == emitter && !fm::peek(st->emitter)) {
            fm::CriticalSection cs(module);  // nodes may be made on several threads
            if (!st->emitter) {
                auto* api = fm::import_api<fm::EmitterApi>("flowmesh.imp.emitter", fm::kEmitterApi,
                                                           &st->emitter_module);
                if (!api) return -1;
                fm::publish(st->emitter, api);
            }
        }
        flags |= emitter && push_data.get() == emitter ? kPushDataEmitter : kPushDataByName;
    }
    n->flags = flags;
    return 0;
}

int node_traverse(PyObject* self, visitproc visit, void* arg) {
    return fm::traverse_node(self, visit, arg);
}

int node_clear(PyObject* self) {
    fm::clear_node(self);
    return 0;
}

// ---------------------------------------------------------------- the cycle

int push_data(VertexState* st, PyObject* self, PyObject* output) {
    switch (node(self)->flags & kPushDataMask) {
        case kPushDataNoOp:
            return 0;
        case kPushDataEmitter:
            return st->emitter->push_data(st->emitter, self, output);
        default: {
            fm::Ref r = fm::steal(fm::call_method(self, st->n(N__push_data), output));
            return r ? 0 : -1;
        }
    }
}

// _setup_wrapper(data) through the instance, so that a subclass's version runs.
int setup_wrapper_on(VertexState* st, PyObject* self, PyObject* data) {
    fm::Ref r = fm::steal(fm::call_method(self, st->n(N__setup_wrapper), data));
    return r ? 0 : -1;
}

// The node's condition is ERROR (1), or not (0); -1 with an exception.
int failed(VertexState* st, PyObject* self) {
    return st->c.error.matches_field(self, &element(self)->condition, st->c.healthy, st->c.warning);
}

// The handlers a cycle calls (borrowed from the node's published view, which
// it holds for the cycle: another thread, or a handler itself, may replace
// them meanwhile). A default hook is left out: it is not called.
struct CycleHandlers {
    fm::Ref view;
    PyObject* pre = nullptr;      // the pre-step hook unless the default
    PyObject* produce = nullptr;  // step, or process in a batch run
    PyObject* post = nullptr;     // the post-step hook unless the default
    bool process = false;
};

// One reference taken without the node's lock: this runs on every cycle.
CycleHandlers cycle_handlers(VertexState* st, PyObject* self) {
    fm::NodeObject* n = node(self);
    CycleHandlers h;
    h.view = fm::published_ref(n->cycle_handlers);
    if (!h.view) return h;  // cleared: the step slot reads as empty
    PyObject* v = h.view.get();
    if (PyTuple_GET_ITEM(v, 0) != st->no_op_step_hook) h.pre = PyTuple_GET_ITEM(v, 0);
    h.produce = PyTuple_GET_ITEM(v, 1);
    if ((n->flags & kIsOutputNode) && PyTuple_GET_ITEM(v, 2) != st->no_op_step_hook)
        h.post = PyTuple_GET_ITEM(v, 2);
    h.process = PyTuple_GET_ITEM(v, 3) == Py_True;
    return h;
}

// A change of a handler slot or of `batch` under the node's critical section:
// `change` applies it and returns what it replaced, to release; then the view
// is replaced whole. The view is made first, so that nothing fails after the
// change. 0, or -1 with an exception and nothing changed.
template <typename Change>
int change_handlers(PyObject* self, Change change) {
    fm::Ref view = fm::steal(PyTuple_New(4));
    if (!view) return -1;
    fm::Ref replaced, old_view;
    {
        fm::CriticalSection cs(self);
        fm::NodeObject* n = node(self);
        replaced = change(n);
        fill_handlers_view(n, view.get());
        old_view = fm::replace_published(n->cycle_handlers, view.get());
    }
    return 0;  // the replaced objects are released here, with no lock held
}

// _run_cycle proper. `data` is a dict or None.
int run_cycle(VertexState* st, PyObject* self, PyObject* data) {
    fm::NodeObject* n = node(self);
    fm::ElementObject* e = element(self);
    int is;
    if ((is = failed(st, self)) != 0) return is < 0 ? -1 : 0;
    if ((is = st->c.stopped.matches_field(self, &e->state, st->c.running)) != 0)
        return is < 0 ? -1 : 0;
    // Handlers may keep the data they are given, so an empty one is made per
    // cycle; it is made only once the cycle is known to run.
    fm::Ref fresh;
    if (data == Py_None) {
        fresh = fm::steal(PyDict_New());
        if (!fresh) return -1;
        data = fresh.get();
    }
    // The time to the push, which may run downstream cycles on this thread.
    fm::handler_time::InHandler clock(&e->busy_ns);
    if (fm::count_of(e->counter) == 0) {
        if (setup_wrapper_on(st, self, data) < 0) return -1;
        if ((is = failed(st, self)) != 0) return is < 0 ? -1 : 0;
    }
    CycleHandlers h = cycle_handlers(st, self);
    // The default hooks do nothing and return None: they are not called.
    if (h.pre) {
        fm::Ref skip = fm::steal(call_handler(h.pre, data));
        if (!skip) return -1;
        int truth = skip.get() == Py_None ? 0 : PyObject_IsTrue(skip.get());
        if (truth < 0) return -1;
        if (truth) {
            fm::bump_shared(e->counter);
            return 0;
        }
    }
    fm::Ref output = fm::steal(call_handler(h.produce, data));
    if (!output) return -1;
    if (output.get() != Py_None) {
        if (!PyDict_CheckExact(output.get())) {
            PyErr_Format(PyExc_TypeError, "Expected dict, got %s", Py_TYPE(output.get())->tp_name);
            return blame(st, self, h.produce, h.process ? kProcess : kStep);
        }
        if (n->flags & kIsOutputNode) {
            if (h.post) {
                fm::Ref ignored = fm::steal(call_handler(h.post, output.get()));
                if (!ignored) return -1;
            }
            clock.stop();
            if (push_data(st, self, output.get()) < 0) return -1;
        }
    }
    fm::bump_shared(e->counter);
    return 0;
}

int run_cycle_on(VertexState* st, PyObject* self, PyObject* data) {
    if (node(self)->flags & kRunCycleOverridden) {
        fm::Ref r = fm::steal(fm::call_method(self, st->n(N__run_cycle), data));
        return r ? 0 : -1;
    }
    return run_cycle(st, self, data);
}

// The one argument `data`: optional, a dict or None, for _cycle / _run_cycle;
// required and a dict for _setup_wrapper / _run_setup / _push_data.
bool parse_data(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** data, bool required = false) {
    static const char* const names[] = {"data"};
    PyObject* out[] = {required ? nullptr : Py_None};
    if (!fm::parse_args(fname, args, nargs, kwnames, names, out, required)) return false;
    if (!fm::check_exact(out[0], &PyDict_Type, "data", !required)) return false;
    *data = out[0];
    return true;
}

// _cycle proper: the cycle with the failure policy of a non-batch node.
int cycle(VertexState* st, PyObject* self, PyObject* data) {
    if (run_cycle_on(st, self, data) < 0) {
        if (!containable(self) || contain_failure(st, self, false) < 0) return -1;
    }
    return 0;
}

// The exported entry point: a delivering module runs a consumer's cycle with it.
int api_cycle(fm::VertexApi* api, PyObject* self, PyObject* data) {
    return cycle(static_cast<VertexState*>(api), self, data);
}

// Not a METH_METHOD, and a shortcut for the one positional argument in front
// of parse_args: this is the call a source makes for every frame, and the
// interpreter specializes calls of plain fast-call methods (bench/PROFILE.md
// counts the module-state look-up and the parsing per frame).
PyObject* node_cycle(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data = Py_None;
    if (nargs == 1 && !kwnames && (PyDict_CheckExact(args[0]) || args[0] == Py_None)) {
        data = args[0];
    } else if ((nargs || kwnames) && !parse_data("_cycle", args, nargs, kwnames, &data)) {
        return nullptr;
    }
    VertexState* st = fm::instance_state<VertexState>(self, &vertex_module);
    if (!st || cycle(st, self, data) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* node_run_cycle(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data;
    if (!parse_data("_run_cycle", args, nargs, kwnames, &data)) return nullptr;
    if (run_cycle(fm::class_state<VertexState>(defining_class), self, data) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* node_setup_wrapper(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data;
    if (!parse_data("_setup_wrapper", args, nargs, kwnames, &data, true)) return nullptr;
    VertexState* st = fm::class_state<VertexState>(defining_class);
    int stopped = st->c.stopped.matches_field(self, &element(self)->state, st->c.running);
    if (stopped < 0) return nullptr;
    fm::Ref name = fm::steal(PyObject_GetAttr(self, st->n(N_name)));
    if (!name) return nullptr;
    if (stopped) {
        return PyErr_Format(PyExc_ValueError,
                            "Node %S is in STOPPED state. Make sure to call Node.start() from "
                            "your subclass.",
                            name.get());
    }
    fm::Ref line = fm::steal(PyUnicode_FromFormat("Setting up node %S.", name.get()));
    if (!line || log(st, self, line.get(), st->c.log_info) < 0) return nullptr;
    fm::Ref r = fm::steal(fm::call_method(self, st->n(N__run_setup), data));
    if (!r) {
        if (!containable(self) || contain_failure(st, self, true) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// The per-port contexts of an output node's setup result: each one present
// must be a dict, since the nodes downstream read it as one. 1 when every
// output port has one, 0 when one is missing (delivery reports which), -1
// with ValueError for a context of another type.
int port_contexts_checked(PyObject* self, PyObject* result) {
    if (!(node(self)->flags & kIsOutputNode)) return 1;
    PyObject* table = fm::as<fm::ONodeObject>(self)->output_ports;
    if (!table || !PyDict_Check(table)) return 1;
    // Snapshots: a name's hash or comparison runs code that may change either dict.
    fm::Ref ports = fm::steal(PyDict_Keys(table));
    fm::Ref given = fm::steal(PyDict_Copy(result));
    if (!ports || !given) return -1;
    int complete = 1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ports.get()); ++i) {
        PyObject* name = PyList_GET_ITEM(ports.get(), i);
        PyObject* context;
        int found = PyDict_GetItemRef(given.get(), name, &context);
        if (found < 0) return -1;
        if (!found) {
            complete = 0;
            continue;
        }
        fm::Ref held = fm::steal(context);
        if (PyDict_Check(context)) continue;
        PyErr_Format(PyExc_ValueError,
                     "Node.setup() must give each output port a dict as its context (such as {} "
                     "or the incoming context passed on); port '%S' got %s.",
                     name, Py_TYPE(context)->tp_name);
        return -1;
    }
    return complete;
}

PyObject* node_run_setup(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data;
    if (!parse_data("_run_setup", args, nargs, kwnames, &data, true)) return nullptr;
    VertexState* st = fm::class_state<VertexState>(defining_class);
    fm::NodeObject* n = node(self);

    fm::Ref received = fm::steal(PyObject_VectorcallMethod(
        st->n(N__get_context), &self, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!received) return nullptr;
    PyObject* deepcopy = st->deepcopy.get();
    if (!deepcopy) return nullptr;
    // The handlers get a private copy: what they change stays in this node.
    fm::Ref context = fm::steal(PyObject_CallOneArg(deepcopy, received.get()));
    if (!context) return nullptr;

    fm::Ref ignored = fm::steal(
        call_handler(fm::field_ref(self, &n->pre_setup_handler).get(), data, context.get()));
    if (!ignored) return nullptr;
    fm::Ref setup = fm::field_ref(self, &n->setup_handler);
    fm::Ref result = fm::steal(call_handler(setup.get(), data, context.get()));
    if (!result) return nullptr;
    if (!PyDict_CheckExact(result.get())) {
        PyErr_SetString(PyExc_ValueError, "Node.setup() must return a dict.");
        blame(st, self, setup.get(), kSetup);
        return nullptr;
    }
    int complete = port_contexts_checked(self, result.get());
    if (complete < 0) {
        blame(st, self, setup.get(), kSetup);
        return nullptr;
    }

    PyObject* context_type = st->context.get();
    if (!context_type) return nullptr;
    PyObject* kwargs[] = {context.get(), result.get()};
    fm::Ref record = fm::steal(PyObject_Vectorcall(context_type, kwargs, 0, st->kw_input_output));
    if (!record) return nullptr;
    fm::set_field_of(self, &element(self)->context, record.get());

    fm::Ref pushed = fm::steal(PyObject_VectorcallMethod(
        st->n(N__push_context), &self, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!pushed) {
        // Delivery reports the port that setup left without a context.
        if (!complete && PyErr_ExceptionMatches(PyExc_ValueError))
            blame(st, self, setup.get(), kSetup);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The first cycle's setup on its own, for a driver that must set a node up
// before any data arrives (an event-only input node whose context came in).
// It counts as a cycle whose pre-step skipped the step.
PyObject* node_setup_cycle(VertexState* st, PyObject* self) {
    fm::ElementObject* e = element(self);
    int running = st->c.running.matches_field(self, &e->state, st->c.stopped);
    if (running <= 0) return running < 0 ? nullptr : Py_NewRef(Py_None);
    int is_failed = failed(st, self);
    if (is_failed != 0) return is_failed < 0 ? nullptr : Py_NewRef(Py_None);
    if (fm::count_of(e->counter) != 0) Py_RETURN_NONE;

    fm::Ref data = fm::steal(PyDict_New());
    if (!data) return nullptr;
    int rc = setup_wrapper_on(st, self, data.get());
    if (rc == 0) {
        is_failed = failed(st, self);
        if (is_failed < 0) rc = -1;
        if (is_failed == 0) fm::bump_shared(e->counter);
    }
    if (rc < 0) {
        if (!containable(self) || contain_failure(st, self, false) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// Where data and context come from and go to; subclasses with inputs or
// outputs redefine these.
PyObject* node_get_data(PyObject*) {
    return PyDict_New();
}

PyObject* node_get_context(PyObject*) {
    return PyDict_New();
}

PyObject* node_push_data(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data;
    if (!parse_data("_push_data", args, nargs, kwnames, &data, true)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* node_push_context(PyObject*) {
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- accessors

// The six handler properties differ only in their slot; the closure carries
// the slot's offset.
PyObject* handler_get(PyObject* self, void* offset) {
    auto* slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                              reinterpret_cast<intptr_t>(offset));
    return fm::field_or_none(self, slot).release();
}

int handler_set(PyObject* self, PyObject* value, void* offset) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
        return -1;
    }
    auto* slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                              reinterpret_cast<intptr_t>(offset));
    return change_handlers(self, [slot, value](fm::NodeObject*) {
        fm::Ref replaced = fm::steal(*slot);
        fm::publish(*slot, Py_NewRef(value));
        return replaced;
    });
}

PyObject* batch_get(PyObject* self, void*) {
    return PyBool_FromLong(node(self)->batch);
}

int batch_set(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
        return -1;
    }
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    return change_handlers(self, [truth](fm::NodeObject* n) {
        n->batch = truth;
        return fm::Ref();
    });
}

#define FM_HANDLER(name, field, doc)                 \
    {name, handler_get, handler_set, PyDoc_STR(doc), \
     reinterpret_cast<void*>(static_cast<intptr_t>(offsetof(fm::NodeObject, field)))}

// The slots themselves, read-only under their field names.
#define FM_SLOT(name, field)              \
    {name, handler_get, nullptr, nullptr, \
     reinterpret_cast<void*>(static_cast<intptr_t>(offsetof(fm::NodeObject, field)))}

PyGetSetDef node_getset[] = {
    FM_HANDLER("setup_handler", setup_handler, "setup(data, context) -> dict; None until set."),
    FM_HANDLER("pre_setup_handler", pre_setup_handler, "Hook run just before setup."),
    FM_HANDLER("pre_step_handler", pre_step_handler,
               "Hook run before each step; a truthy result skips the step."),
    FM_HANDLER("post_step_handler", post_step_handler,
               "Hook run with a step's output, on output nodes."),
    FM_HANDLER("step_handler", step_handler, "step(data) -> dict or None; None until set."),
    FM_HANDLER("process_handler", process_handler, "Used instead of step in batch runs."),
    FM_SLOT("_setup_handler", setup_handler),
    FM_SLOT("_pre_setup_handler", pre_setup_handler),
    FM_SLOT("_pre_step_handler", pre_step_handler),
    FM_SLOT("_post_step_handler", post_step_handler),
    FM_SLOT("_step_handler", step_handler),
    FM_SLOT("_process_handler", process_handler),
    {"batch", batch_get, batch_set, PyDoc_STR("Whether the node runs as a batch run."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef FM_HANDLER
#undef FM_SLOT

PyMemberDef node_members[] = {
    {"_batch", Py_T_BOOL, offsetof(fm::NodeObject, batch), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

using fm::as_cfunc;

PyMethodDef node_methods[] = {
    {"_cycle", as_cfunc(node_cycle), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("_cycle(data=None)\n--\n\nRuns one cycle; failures of a non-batch node are "
               "recorded, logged and turn it to ERROR.")},
    {"_run_cycle", as_cfunc(node_run_cycle), fm::kMethodCall,
     PyDoc_STR("_run_cycle(data=None)\n--\n\nThe cycle itself, without catching.")},
    {"_setup_wrapper", as_cfunc(node_setup_wrapper), fm::kMethodCall,
     PyDoc_STR("_setup_wrapper(data)\n--\n\nState check, log line, then setup with the failure "
               "policy.")},
    {"_run_setup", as_cfunc(node_run_setup), fm::kMethodCall,
     PyDoc_STR("_run_setup(data)\n--\n\nBuilds the context from the setup handler and pushes "
               "it.")},
    fm::method_def<"_setup_cycle", node_setup_cycle>(
        PyDoc_STR("_setup_cycle()\n--\n\nRuns the first cycle's setup alone, counted as a skipped "
                  "cycle.")),
    fm::method_def<"_get_data", node_get_data>(PyDoc_STR("_get_data()\n--\n\nA new empty dict.")),
    fm::method_def<"_get_context", node_get_context>(
        PyDoc_STR("_get_context()\n--\n\nA new empty dict.")),
    {"_push_data", as_cfunc(node_push_data), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("_push_data(data)\n--\n\nDoes nothing: a plain node has no outputs.")},
    fm::method_def<"_push_context", node_push_context>(
        PyDoc_STR("_push_context()\n--\n\nDoes nothing: a plain node has no outputs.")),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot node_slots[] = {
    {Py_tp_doc, const_cast<char*>("NodeImp(config)\n--\n\nA processing node: handlers, batch "
                                  "flag and the per-cycle algorithm.")},
    {Py_tp_init, reinterpret_cast<void*>(node_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(node_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(node_clear)},
    {Py_tp_methods, node_methods},
    {Py_tp_members, node_members},
    {Py_tp_getset, node_getset},
    {0, nullptr},
};

PyType_Spec node_spec = {
    .name = "flowmesh.imp.NodeImp",
    .basicsize = sizeof(fm::NodeObject),
    .itemsize = 0,
    .flags = fm::kTypeFlags,
    .slots = node_slots,
};

// ---------------------------------------------------------------- sampling

// The stop request of a sampling thread, with the interface of
// threading.Event (set, clear, is_set, wait) so that a source's own
// production loop in Python reads it as it would an event. The frame loop
// below reads the flag with one atomic load per frame, and its waits for a
// frame's due time release the interpreter and wake as soon as it is set.
struct StopFlagObject {
    PyObject ob_base;
    std::atomic<bool> set;
    std::mutex lock;  // taken only without the interpreter held, or briefly by set()
    std::condition_variable changed;
};

StopFlagObject* stop_flag(PyObject* self) {
    return reinterpret_cast<StopFlagObject*>(self);
}

PyObject* stop_flag_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    if (PyTuple_GET_SIZE(args) || (kwds && PyDict_GET_SIZE(kwds))) {
        PyErr_SetString(PyExc_TypeError, "StopFlag() takes no arguments");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    StopFlagObject* f = stop_flag(self);
    new (&f->set) std::atomic<bool>(false);
    new (&f->lock) std::mutex();
    new (&f->changed) std::condition_variable();
    return self;
}

void stop_flag_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    StopFlagObject* f = stop_flag(self);
    f->changed.~condition_variable();
    f->lock.~mutex();
    f->set.~atomic();
    tp->tp_free(self);
    Py_DECREF(tp);
}

// A wait longer than this is taken in slices, between which a signal handler
// can run (on the main thread) and raise.
constexpr double kLongestSlice = 0.1;

// Waits up to `timeout` seconds (infinity: until set) for the flag, the
// interpreter released. 1 once set, 0 on timeout, -1 with the exception a
// signal handler raised.
int stop_flag_wait_for(StopFlagObject* f, double timeout) {
    if (f->set.load(std::memory_order_acquire)) return 1;
    if (!(timeout > 0.0)) return 0;
    double deadline = fm::monotonic_seconds() + timeout;
    for (;;) {
        double left = deadline - fm::monotonic_seconds();
        if (!(left > 0.0)) return f->set.load(std::memory_order_acquire) ? 1 : 0;
        auto slice = std::chrono::duration<double>(left < kLongestSlice ? left : kLongestSlice);
        bool set;
        Py_BEGIN_ALLOW_THREADS;
        {  // the lock is let go before the interpreter is taken back
            std::unique_lock<std::mutex> held(f->lock);
            set = f->changed.wait_for(held, slice,
                                      [f] { return f->set.load(std::memory_order_acquire); });
        }
        Py_END_ALLOW_THREADS;
        if (set) return 1;
        if (PyErr_CheckSignals() < 0) return -1;
    }
}

PyObject* stop_flag_set(PyObject* self) {
    StopFlagObject* f = stop_flag(self);
    {  // under the lock, so that a waiter between its test and its sleep cannot miss it
        std::lock_guard<std::mutex> held(f->lock);
        f->set.store(true, std::memory_order_release);
    }
    f->changed.notify_all();
    Py_RETURN_NONE;
}

PyObject* stop_flag_clear(PyObject* self) {
    stop_flag(self)->set.store(false, std::memory_order_release);
    Py_RETURN_NONE;
}

PyObject* stop_flag_is_set(PyObject* self) {
    return PyBool_FromLong(stop_flag(self)->set.load(std::memory_order_acquire));
}

PyObject* stop_flag_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    static const char* const names[] = {"timeout"};
    PyObject* a[] = {Py_None};
    if (!fm::parse_args("wait", args, nargs, kwnames, names, a, 0)) return nullptr;
    double timeout = std::numeric_limits<double>::infinity();
    if (a[0] != Py_None) {
        timeout = PyFloat_AsDouble(a[0]);
        if (timeout == -1.0 && PyErr_Occurred()) return nullptr;
    }
    int set = stop_flag_wait_for(stop_flag(self), timeout);
    return set < 0 ? nullptr : PyBool_FromLong(set);
}

PyMethodDef stop_flag_methods[] = {
    fm::method_def<"set", stop_flag_set>(
        PyDoc_STR("set()\n--\n\nRequests the stop and wakes every waiter.")),
    fm::method_def<"clear", stop_flag_clear>(PyDoc_STR("clear()\n--\n\nWithdraws the request.")),
    fm::method_def<"is_set", stop_flag_is_set>(
        PyDoc_STR("is_set()\n--\n\nWhether the stop is requested.")),
    {"wait", fm::as_cfunc(stop_flag_wait), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("wait(timeout=None)\n--\n\nWaits until set or `timeout` seconds passed; returns "
               "whether it is set.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stop_flag_slots[] = {
    {Py_tp_doc, const_cast<char*>("StopFlag()\n--\n\nThe stop request of a sampling thread, "
                                  "used as a threading.Event.")},
    {Py_tp_new, reinterpret_cast<void*>(stop_flag_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stop_flag_dealloc)},
    {Py_tp_methods, stop_flag_methods},
    {0, nullptr},
};

PyType_Spec stop_flag_spec = {
    .name = "flowmesh.imp.vertex.StopFlag",
    .basicsize = sizeof(StopFlagObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = stop_flag_slots,
};

// Frames between two moments at which the loop lets other threads take the
// interpreter if they asked, should its cycles run no bytecode that would.
constexpr int64_t kFramesPerYield = 64;

// _sample_frames(node, stop, t0, period, frames): a sampled source's
// production. Frame k is due at t0 + k * period on the monotonic clock
// (period 0: at once), so a late frame delays only itself; each is one
// `node._cycle(None)`. Ends after `frames` frames (None: no limit), once
// `stop` is set (also during a wait), or when the node is no longer running
// or has failed, which would only make it spin. What leaves a cycle is raised.
PyObject* sample_frames(PyObject* module, PyObject* self, PyObject* stop, PyObject* t0_arg,
                        PyObject* period_arg, PyObject* frames_arg) {
    VertexState* st = fm::module_state<VertexState>(module);
    if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(st->type)))
        return PyErr_Format(PyExc_TypeError,
                            "Argument 'node' has incorrect type (expected NodeImp, got %s)",
                            Py_TYPE(self)->tp_name);
    if (!fm::check_exact(stop, reinterpret_cast<PyTypeObject*>(st->stop_flag_type), "stop"))
        return nullptr;
    double t0 = PyFloat_AsDouble(t0_arg);
    if (t0 == -1.0 && PyErr_Occurred()) return nullptr;
    double period = PyFloat_AsDouble(period_arg);
    if (period == -1.0 && PyErr_Occurred()) return nullptr;
    int64_t limit = -1;  // none
    if (frames_arg != Py_None) {
        if (!PyLong_Check(frames_arg))
            return PyErr_Format(PyExc_TypeError, "frames must be an int or None, got %s",
                                Py_TYPE(frames_arg)->tp_name);
        int overflow = 0;
        long long given = PyLong_AsLongLongAndOverflow(frames_arg, &overflow);
        if (given == -1 && PyErr_Occurred()) return nullptr;
        if (overflow < 0 || (!overflow && given < 0))
            return PyErr_Format(PyExc_ValueError, "frames must be >= 0, got %S", frames_arg);
        limit = overflow ? -1 : given;  // beyond 2**63 frames: no limit in practice
    }

    // The cycle as the node has it now: a `_cycle` redefined in Python (on
    // the type or the instance) is called as such, NodeImp's own directly.
    fm::Ref bound = fm::steal(PyObject_GetAttr(self, st->n(N__cycle)));
    if (!bound) return nullptr;
    bool direct = PyCFunction_Check(bound.get()) && PyCFunction_GET_SELF(bound.get()) == self &&
                  PyCFunction_GET_FUNCTION(bound.get()) == fm::as_cfunc(node_cycle);

    StopFlagObject* flag = stop_flag(stop);
    fm::ElementObject* e = element(self);
    int64_t unyielded = 0;
    for (int64_t k = 0; limit < 0 || k < limit; ++k) {
        if (flag->set.load(std::memory_order_acquire)) break;
        int running = st->c.running.matches_field(self, &e->state, st->c.stopped);
        if (running <= 0) {
            if (running < 0) return nullptr;
            break;
        }
        int failed = ::failed(st, self);
        if (failed != 0) {
            if (failed < 0) return nullptr;
            break;
        }
        if (period != 0.0) {
            double due = t0 + static_cast<double>(k) * period;
            double delay = due - fm::monotonic_seconds();
            if (delay > 0.0) {
                int set = stop_flag_wait_for(flag, delay);
                if (set < 0) return nullptr;
                if (set) break;
                unyielded = 0;  // the wait let other threads run
            }
        }
        if (direct) {
            if (st->cycle(st, self, Py_None) < 0) return nullptr;
        } else {
            fm::Ref r = fm::steal(PyObject_CallOneArg(bound.get(), Py_None));
            if (!r) return nullptr;
        }
        if (++unyielded == kFramesPerYield) {
            unyielded = 0;
            // Bytecode's own check, as at any call: the interpreter goes to a
            // thread that asked for it, signals are handled. Letting go of it
            // every time instead woke a waiting thread for nothing and made it
            // wait anew, many times per wait: a thread waking 4 times a second
            // then took 6 % from a free-running chain.
            fm::Ref done = fm::steal(PyObject_CallNoArgs(st->pending));
            if (!done) return nullptr;
        }
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- module

// The default hooks: they accept their arguments and do nothing.
PyObject* no_op_setup_hook(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data", "context"};
    PyObject* a[] = {nullptr, nullptr};
    if (!fm::parse_args("_no_op_setup_hook", args, nargs, kwnames, names, a, 2)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* no_op_step_hook(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data"};
    PyObject* a[] = {nullptr};
    if (!fm::parse_args("_no_op_step_hook", args, nargs, kwnames, names, a, 1)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* time_handlers(PyObject*, PyObject* on) {
    int truth = PyObject_IsTrue(on);
    if (truth < 0) return nullptr;
    int count;
    Py_BEGIN_ALLOW_THREADS;
    count = fm::handler_time::watch(truth);
    Py_END_ALLOW_THREADS;
    if (count < 0) {
        PyErr_SetString(PyExc_RuntimeError, "Handler timing could not be set up.");
        return nullptr;
    }
    return PyLong_FromLong(count);
}

PyMethodDef vertex_functions[] = {
    {"_time_handlers", time_handlers, METH_O,
     PyDoc_STR("_time_handlers(on)\n--\n\nOne more (on) or one fewer watcher of the "
               "nodes' handler time; returns how many there are. While there is any, about "
               "one handler call in a stride on each thread (every call of a thread that "
               "calls rarely) is timed, and its own time, times the stride, is added to "
               "its node's get_busy_time().")},
    fm::method_def<"_sample_frames", sample_frames, "node", "stop", "t0", "period", "frames">(
        PyDoc_STR("_sample_frames(node, stop, t0, period, frames)\n--\n\nA sampled source's "
                  "frames: node._cycle(None) for frame k at t0 + k * period, until `frames` "
                  "(None: no limit), a set StopFlag `stop`, or the node stopped or failed.")),
    {"_no_op_setup_hook", as_cfunc(no_op_setup_hook), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("_no_op_setup_hook(data, context)\n--\n\nDefault pre-setup hook.")},
    {"_no_op_step_hook", as_cfunc(no_op_step_hook), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("_no_op_step_hook(data)\n--\n\nDefault pre-step and post-step hook.")},
    {nullptr, nullptr, 0, nullptr},
};

// Replaces *code by a copy without column positions: a traceback then shows
// the handler's line whole instead of marking columns of the one-line raise.
// Locations table entries of the form "no column information, same line",
// up to eight code units each.
int drop_columns(VertexState* st, PyObject** code) {
    fm::Ref units = fm::steal(PyObject_GetAttrString(*code, "co_code"));
    if (!units) return -1;
    Py_ssize_t left = PyBytes_Size(units.get()) / 2;
    std::string table;
    for (; left > 0; left -= 8)
        table += {static_cast<char>(0x80 | (13 << 3) | ((left < 8 ? left : 8) - 1)), 0};
    fm::Ref bytes = fm::steal(PyBytes_FromStringAndSize(table.data(), std::ssize(table)));
    fm::Ref kw = fm::names_tuple({"co_linetable"});
    if (!bytes || !kw) return -1;
    PyObject* const args[] = {*code, bytes.get()};
    PyObject* plain = PyObject_VectorcallMethod(st->n(N_replace), args,
                                                1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.get());
    if (!plain) return -1;
    fm::set_field(code, plain);
    Py_DECREF(plain);
    return 0;
}

int vertex_exec(PyObject* module) {
    VertexState* st = fm::module_state<VertexState>(module);
    new (st) VertexState{};
    if (st->n.intern() < 0) return -1;
    st->kw_msg_type = fm::names_tuple({"msg", "type"}).release();
    st->kw_input_output = fm::names_tuple({"input", "output"}).release();
    st->kw_code_place =
        fm::names_tuple({"co_filename", "co_firstlineno", "co_name", "co_qualname"}).release();
    if (!st->kw_msg_type || !st->kw_input_output || !st->kw_code_place) return -1;
    st->own_globals = PyDict_New();
    if (!st->own_globals) return -1;
    fm::Ref defined = fm::steal(PyRun_String("def _(self, error): raise error\n", Py_file_input,
                                             st->own_globals, st->own_globals));
    fm::Ref blame_fn = defined ? fm::borrow(PyDict_GetItemString(st->own_globals, "_")) : fm::Ref();
    if (!blame_fn) return -1;
    st->blame_code = Py_XNewRef(PyFunction_GetCode(blame_fn.get()));
    if (!st->blame_code || drop_columns(st, &st->blame_code) < 0) return -1;
    if (PyDict_DelItemString(st->own_globals, "_") < 0) return -1;
    st->pending = PyRun_String("lambda: None", Py_eval_input, st->own_globals, st->own_globals);
    if (!st->pending) return -1;
    st->no_op_setup_hook = PyObject_GetAttrString(module, "_no_op_setup_hook");
    st->no_op_step_hook = PyObject_GetAttrString(module, "_no_op_step_hook");
    if (!st->no_op_setup_hook || !st->no_op_step_hook) return -1;

    fm::Ref base = fm::steal(fm::imp_class("ProcessingElementImp"));
    if (!base) return -1;
    st->type = fm::type_from_spec(module, &node_spec, base.get());
    if (!st->type) return -1;
    st->own_run_cycle = PyObject_GetAttr(st->type, st->n(N__run_cycle));
    st->own_push_data = PyObject_GetAttr(st->type, st->n(N__push_data));
    st->own_cycle = PyObject_GetAttr(st->type, st->n(N__cycle));
    if (!st->own_run_cycle || !st->own_push_data || !st->own_cycle) return -1;
    st->cycle = api_cycle;
    st->cycle_descriptor = st->own_cycle;
    if (fm::export_api(module, fm::kVertexApi, static_cast<fm::VertexApi*>(st)) < 0) return -1;
    st->stop_flag_type = PyType_FromModuleAndSpec(module, &stop_flag_spec, nullptr);
    if (!st->stop_flag_type) return -1;
    if (PyModule_AddObjectRef(module, "StopFlag", st->stop_flag_type) < 0) return -1;
    return PyModule_AddObjectRef(module, "NodeImp", st->type);
}

PyModuleDef vertex_module = fm::module_def<VertexState>(
    "flowmesh.imp.vertex", "Processing nodes: handlers and the node cycle.",
    fm::module_slots<vertex_exec>, vertex_functions);

}  // namespace

PyMODINIT_FUNC PyInit_vertex(void) {
    return PyModuleDef_Init(&vertex_module);
}
