"""The pipeline: a graph of elements, run as one unit and watched while it runs."""

import itertools
import os
import threading
import weakref

from flowmesh import imp
from flowmesh.held_producer import production_held

# Read by type checkers only (annotations are strings, for 3.13 too):
# collections.abc and __future__ are no imports a run needs.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable

# Pipelines not yet closed, to tell who else holds an element, and the
# numbers pipelines are told apart by; both only under `_registry_lock`.
_open_pipelines = weakref.WeakSet()
_numbers = itertools.count(1)
_registry_lock = threading.Lock()


def holding_pipelines(element, but=None) -> "list[Pipeline]":
    """The open pipelines (other than `but`) that hold `element` itself."""
    with _registry_lock:
        open_now = list(_open_pipelines)
    return [p for p in open_now if p is not but and any(e is element for e in list(p._imp._nodes))]


def _port_records(table, direction):
    records = []
    for name, port in dict(table or {}).items():
        config = port.config
        keys = config.Keys
        kind = config.get(keys.TYPE, "Any")
        records.append(
            {
                "name": name,
                "id": config.get(keys.ID),
                "type": kind if isinstance(kind, str) else "Any",
                "timing": str(port.timing),
                "direction": direction,
            }
        )
    return records


def _element_record(element):
    """One element as plain values, and its port objects (for the links)."""
    element_imp = element._imp
    inputs = dict(getattr(element_imp, "_input_ports", None) or {})
    outputs = dict(getattr(element_imp, "_output_ports", None) or {})
    get_nodes = getattr(element_imp, "get_nodes", None)
    try:
        name = element.name
    except Exception:
        name = None  # a subclass's broken name property costs only the name
    record = {
        "name": name if isinstance(name, str) else None,
        "class": type(element).__name__,
        "module": type(element).__module__,
        "kind": "node" if get_nodes is None else "chain",
        "state": str(element_imp.get_state()),
        "condition": str(element_imp.get_condition()),
        "counter": element_imp.get_counter(),
        "backlog": element_imp.get_max_backlog() if inputs else None,
        "inputs": _port_records(inputs, "input"),
        "outputs": _port_records(outputs, "output"),
    }
    return record, inputs, outputs, (list(get_nodes()) if get_nodes is not None else None)


def _links(sides):
    """Connection records between the ports of `sides`, a list of (element
    name, input ports, output ports); ports joined to something outside are
    left out."""
    owners = {}
    for name, inputs, _ in sides:
        for port_name, port in inputs.items():
            owners[id(port)] = (name, port_name, port)
    links = []
    for name, _, outputs in sides:
        for port_name, port in outputs.items():
            for target in tuple(port._connected_ports):
                owner = owners.get(id(target))
                if owner is None:
                    continue
                links.append(
                    {
                        "output": port.config.get(port.config.Keys.ID),
                        "input": owner[2].config.get(owner[2].config.Keys.ID),
                        "source": f"{name}.{port_name}",
                        "target": f"{owner[0]}.{owner[1]}",
                        "timing": str(port.timing),
                    }
                )
    return links


def _endpoint_element(endpoint):
    if isinstance(endpoint, dict):
        return dict.get(endpoint, "node")
    return endpoint


class Pipeline:
    """A graph of processing elements.

    ``Pipeline(directory=None)`` creates the pipeline and its logger; `directory`
    is where the log file goes (None: the logger's default directory, "": no
    file). Elements are added with `add_node` or implicitly by `connect`, run
    with `start` and `stop`, and a pipeline that is no longer needed is closed
    (``with Pipeline() as p:`` closes it on leaving the block).

    Failures inside a run are not raised by `start`: the monitoring thread stops
    the pipeline, prints a banner and calls the handlers registered with
    `add_error_handler`; `raise_if_failed` raises them in the client's thread.
    That holds for SystemExit and KeyboardInterrupt raised on an element's own
    thread too: they are reported like any failure, never re-raised there.

    `start`, `stop` and `close` may be called from any thread, also from an
    element's step or an error handler, and never wait for a thread that may
    be waiting for them: a start while another thread starts is skipped; a
    stop or close while another thread starts is carried out by that thread
    once the run has started; a stop while another thread is stopping the
    elements returns at once (that thread finishes the job), and waits for
    the monitoring thread's report once they are stopped; a start while
    another thread stops raises RuntimeError.
    """

    def __init__(self, directory=None):
        self._imp = imp.PipelineImp(directory)
        with _registry_lock:
            self._number = next(_numbers)
            _open_pipelines.add(self)

    def __repr__(self):
        where = self.log_file
        return f"<pipeline {self._number}" + (f", log file {where}>" if where else ">")

    # Graph.
    def add_node(self, node):
        """Add an element; it logs into the pipeline's logger from now on.

        A node inside a chain is refused: the chain drives it. A node that
        another pipeline holds is added with a WARNING in this pipeline's log:
        whichever of the two stops first stops the node for both.
        """
        others = self._admit([node])
        result = self._imp.add_node(node)
        self._warn_shared(others)
        return result

    def connect(self, source, target):
        """Connect `source` to `target`.

        Each endpoint is an element (its default port) or a dict
        ``{"node": element, "port": name}``. Elements not yet in the pipeline
        are added (as by `add_node`).
        """
        others = self._admit([_endpoint_element(source), _endpoint_element(target)])
        result = self._imp.connect(source, target)
        self._warn_shared(others)
        return result

    def _admit(self, elements):
        """Refuse a chain's internal node; the (element, other pipelines)
        pairs of elements that are new here and held elsewhere."""
        shared = []
        for element in elements:
            chain = imp.holding_chain(element)
            if chain is not None:
                raise ValueError(
                    f"Node '{getattr(element, 'name', None)}' belongs to chain "
                    f"'{getattr(chain, 'name', None)}': connect the chain's ports, not its nodes."
                )
            if any(e is element for e in list(self._imp._nodes)):
                continue
            others = holding_pipelines(element, but=self)
            if others:
                shared.append((element, others))
        return shared

    def _warn_shared(self, shared):
        from .constants import Constants

        for element, others in shared:
            if not any(e is element for e in list(self._imp._nodes)):
                continue
            held = ", ".join(repr(p) for p in others)
            self.log(
                f"Node '{getattr(element, 'name', None)}' is also in {held}: the pipelines "
                "share it, and stopping either one stops it for both.",
                Constants.LogTypes.WARNING,
            )

    def disconnect(self, source, target):
        """Undo a connection; endpoints as for `connect`."""
        return self._imp.disconnect(source, target)

    def get_elements(self):
        """The elements, in order of addition (a new list)."""
        return list(self._imp._nodes)

    def describe(self) -> dict:
        """The graph and its run state as plain values (str, int, None, lists
        and dicts), safe to keep, compare or write as JSON.

        Keys: "state" and "condition" of the pipeline; "elements", one record
        per element in order of addition; "connections" between them.

        An element record has "name", "class", "module", "kind" ("node" or
        "chain"), "state", "condition", "counter", "backlog" (None without
        inputs), and "inputs"/"outputs": port records with "name", "id",
        "type", "timing" and "direction" ("input" or "output"). A chain's
        ports are its boundary nodes' own; its record adds "nodes" (a record
        per internal node, in order) and "links" (the connections between
        them).

        A connection record has "output" and "input" (the two port ids, as a
        document records them), "source" and "target" (the same ends as
        "element.port") and "timing" (the output port's). Connections to
        ports outside the pipeline (a probe joined by hand) are left out.
        """
        elements, sides = [], []
        for element in list(self._imp._nodes):
            record, inputs, outputs, inner = _element_record(element)
            if inner is not None:
                record["nodes"], inner_sides = [], []
                for node in inner:
                    node_record, node_inputs, node_outputs, _ = _element_record(node)
                    record["nodes"].append(node_record)
                    inner_sides.append((node_record["name"], node_inputs, node_outputs))
                record["links"] = _links(inner_sides)
            elements.append(record)
            sides.append((record["name"], inputs, outputs))
        return {
            "state": str(self._imp.get_state()),
            "condition": str(self._imp.get_condition()),
            "elements": elements,
            "connections": _links(sides),
        }

    # Run control.
    def start(self):
        """Start every element in order of addition, then the monitoring thread.

        Sampled sources begin producing once every element has started.
        """
        # The log file is made when a run starts, so that loading a document
        # only to check or draw it leaves none behind. A stand-in logger may
        # have no such step.
        start_log = getattr(self._imp._logger, "start", None)
        if start_log is not None:
            start_log()
        with production_held(list(self._imp._nodes)):
            return self._imp.start()

    def stop(self):
        """Stop every element, producers before their consumers, then the
        monitoring thread (after its last report); flush the log.

        While the monitoring thread is stopping a failed run itself, a stop
        from another thread returns at once: that thread may be one the stop
        joins. The main thread never is, and waits until the failure is
        reported (condition, handlers, banner)."""
        result = self._imp.stop()
        self._await_failure_report()
        return result

    def close(self):
        """Stop if running and release the logger. Safe to call again.

        As with `stop`, a close from another thread while the monitoring
        thread is stopping a failed run (or while a start is under way)
        returns at once: the thread holding the run closes once it is done."""
        with _registry_lock:
            _open_pipelines.discard(self)
        result = self._imp.close()
        self._await_failure_report()
        return result

    def _await_failure_report(self):
        if threading.current_thread() is not threading.main_thread():
            return
        thread = getattr(self._imp, "_monitor_thread", None)
        if not isinstance(thread, threading.Thread) or not thread.is_alive():
            return
        # Once it has found a failure, the monitoring thread stops the run,
        # reports and ends.
        from .constants import Constants

        if self._imp._condition == Constants.Conditions.ERROR:
            thread.join()

    def get_state(self):
        """The run state: Constants.States.RUNNING or STOPPED."""
        return self._imp.get_state()

    def get_condition(self):
        """The health condition: Constants.Conditions.HEALTHY, WARNING or ERROR."""
        return self._imp.get_condition()

    def get_elapsed_time(self):
        """Seconds since the run started; 0.0 when not running."""
        return self._imp.get_elapsed_time()

    @property
    def log_file(self):
        """The path of the log file being written, or None (memory only)."""
        return self._imp._logger.file_name

    @property
    def logger(self):
        """The pipeline's logger (its `recent_entries()` feed live views)."""
        return self._imp._logger

    def is_logging_persistent(self):
        """Whether a log file is being written."""
        return self._imp.is_logging_persistent()

    # Logging and failures.
    def log(self, msg, type=None):
        """Write a message (text or an exception) to the pipeline's log."""
        return self._imp.log(msg, type)

    def add_error_handler(self, handler):
        """Register `handler(entry)`, called on the monitoring thread when a run fails."""
        return self._imp.add_error_handler(handler)

    def raise_if_failed(self):
        """Raise RuntimeError, caused by the element's own exception, if the run failed."""
        return self._imp.raise_if_failed()

    def get_last_error(self):
        """The most recent error incident (a LogEntry), or None."""
        return self._imp.get_last_error()

    def failure_banner(self, entry=None) -> "list[str] | None":
        """The lines of the failure banner for the error incident `entry`
        (default: the last one), without colour, as the monitoring thread
        prints them; None when there is no incident."""
        if entry is None:
            entry = self._imp.get_last_error()
            if entry is None:
                return None
        return self._imp.failure_banner(entry)

    def get_backlog(self):
        """The largest input backlog of any element."""
        return self._imp.get_backlog()

    # Documents.
    def serialize(self) -> dict:
        """The pipeline as a document: a dict with "format_version", "writer"
        (the package versions that wrote it), "nodes" (one entry per element:
        class, module, configuration with every id) and "connections" (pairs
        of port ids, output side first).

        A connection to an input port of something outside the pipeline (the
        live monitor's tap, a probe joined by hand) is left out: the document
        could not name its target, and reading it back would fail.
        """
        document = self._imp.serialize()
        inside = set()
        for element in self._imp._nodes:
            for port in (getattr(element._imp, "_input_ports", None) or {}).values():
                inside.add(port.config[port.config.Keys.ID])
        pairs = document["connections"]
        kept = [pair for pair in pairs if pair[1] in inside]
        if len(kept) != len(pairs):
            document["connections"] = kept
        return document

    @staticmethod
    def deserialize(data: dict) -> "Pipeline":
        """A new, stopped pipeline rebuilt from a document.

        Each connection end is a port id, "node.port" or "node" (that node's
        default port). The ids of the document register again: to read one
        document twice in a process, call `Portable.reset()` in between.
        """
        return imp.PipelineImp.deserialize(data)

    def save(self, path: "str | os.PathLike") -> None:
        """Write the document to `path` as JSON text, atomically.

        Raises DocumentError, before anything is written, when a configuration
        value cannot be written as JSON (naming the element and the key).
        """
        from flowmesh import documents

        try:
            document = self.serialize()
        except RecursionError:
            raise documents.too_deep(list(self._imp._nodes)) from None
        text = documents.to_text(document)
        documents.write_atomic(path, text.encode("utf-8"))

    @classmethod
    def load(
        cls, path: "str | os.PathLike", allowed_modules: "Iterable[str] | None" = None
    ) -> "Pipeline":
        """A new, stopped pipeline rebuilt from the document at `path`.

        Loading imports the modules the document names: load only documents
        you trust like code. For a document from elsewhere pass
        `allowed_modules`, a list of module-name prefixes ("flowmesh" admits
        "flowmesh.sources", not "flowmeshevil"); a module outside it is refused
        before anything is imported.

        Raises OSError when the file cannot be read and DocumentError (naming
        the file) for anything wrong with the document. A failed load leaves
        nothing behind: its pipeline is closed and the elements it built are
        released, so their ids are free again.
        """
        from flowmesh import documents

        prefixes = None if allowed_modules is None else documents.module_prefixes(allowed_modules)
        where = os.fsdecode(path)
        document = documents.parse(path)
        if prefixes is not None:
            documents.check_modules(document, prefixes, where)
        import contextlib

        trust = contextlib.nullcontext() if prefixes is None else documents.restricting(prefixes)
        try:
            with documents.releasing_failed_build(), trust:
                return cls.deserialize(document)
        except Exception as e:
            raise documents.DocumentError(f"{where}: {e}", where) from e

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False
