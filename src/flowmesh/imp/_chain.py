"""ChainImp: the base of elements that run a sequence of nodes as one.

A chain owns its internal nodes (facade objects, in order) and wires each to
its successor: every output port goes to the successor's input port of the
same name, and the default output port to the default input port when neither
found a same-name partner. The chain starts its nodes in order (rolling back
the started ones when one fails, as the pipeline does), stops them, resets
them, hands them its logger, and reports their backlog, condition and first
failure as its own, so a pipeline watching the chain sees its nodes.
"""

import importlib
import weakref

from . import holding_chain
from .worker import ProcessingElementImp


def _facade(module, name):
    # The facade imports the implementation package, so facade names are
    # looked up when a chain is built, never at import time.
    return getattr(importlib.import_module(module), name)


def _port_names(table):
    return list(table) if table else []


class ChainImp(ProcessingElementImp):
    """A processing element made of internal nodes run as one element."""

    def __init__(self, config, internal_nodes):
        node_class = _facade("flowmesh.node", "Node")
        if type(internal_nodes) is not list:
            raise TypeError(
                f"internal_nodes must be a list of nodes, got {type(internal_nodes).__name__}."
            )
        if not internal_nodes:
            raise ValueError("A chain needs at least one internal node.")
        seen = {}
        for p, node in enumerate(internal_nodes):
            if not isinstance(node, node_class):
                raise TypeError(f"Internal node {p} must be a Node, got {type(node).__name__}.")
            if id(node) in seen:
                raise ValueError(
                    f"Internal node {p} is the same object as internal node {seen[id(node)]}."
                )
            seen[id(node)] = p
            # A chain drives its nodes: a node that something else starts and
            # stops would run twice or be stopped behind the chain's back.
            holder = holding_chain(node)
            if holder is not None:
                raise ValueError(
                    f"Internal node {p} '{node.name}' already belongs to chain '{holder.name}'."
                )
            pipelines = _facade("flowmesh.pipeline", "holding_pipelines")(node)
            if pipelines:
                raise ValueError(
                    f"Internal node {p} '{node.name}' is already in {pipelines[0]!r}: a chain's "
                    "nodes are its own."
                )
        super().__init__(config)
        self._internal_nodes = list(internal_nodes)
        self._run_control = _facade("flowmesh.sources", "RunControl")()

    def _claim_nodes(self, chain):
        """Mark the internal nodes as `chain`'s, once it is built."""
        ref = weakref.ref(chain)
        for node in self._internal_nodes:
            node._imp._chain_holder = ref

    # Wiring.
    def _connect_internal_nodes(self):
        """Join each internal node to its successor; undo this chain's joins
        and raise when two neighbours have no ports that pair."""
        made = []
        try:
            nodes = self._internal_nodes
            for p in range(len(nodes) - 1):
                upstream, downstream = nodes[p], nodes[p + 1]
                for out_name, in_name in self._pairs(p, upstream, downstream):
                    upstream.connect(out_name, downstream, in_name)
                    made.append((upstream, out_name, downstream, in_name))
        except BaseException:
            for upstream, out_name, downstream, in_name in reversed(made):
                try:
                    upstream.disconnect(out_name, downstream, in_name)
                except Exception:
                    pass  # the original failure is the one to report
            raise

    @staticmethod
    def _pairs(p, upstream, downstream):
        from ..constants import Constants

        outs = _port_names(getattr(upstream._imp, "_output_ports", None))
        ins = _port_names(getattr(downstream._imp, "_input_ports", None))
        pairs = [(name, name) for name in outs if name in ins]
        used_out = {o for o, _ in pairs}
        used_in = {i for _, i in pairs}
        out_default, in_default = Constants.Defaults.PORT_OUT, Constants.Defaults.PORT_IN
        if (
            out_default in outs
            and in_default in ins
            and out_default not in used_out
            and in_default not in used_in
        ):
            pairs.append((out_default, in_default))
        if not pairs:
            raise ValueError(
                f"Cannot join internal node {p} '{upstream.name}' (output ports: {outs}) to "
                f"internal node {p + 1} '{downstream.name}' (input ports: {ins}): no output "
                f"port has the name of an input port, and there is no "
                f"'{out_default}' -> '{in_default}' pair."
            )
        return pairs

    # Run control: from any thread, with the pipeline's guarantees (RunControl).
    def start(self):
        self._run_control.start(f"Chain '{self.name}'", self._begin, self._end, self._running)

    def stop(self):
        """Stop the internal nodes in order, then the chain; a node whose stop
        raises (an interrupt included) does not keep the others running (the
        first error is raised)."""
        self._run_control.stop(self._end)

    def _running(self):
        from ..constants import Constants

        return self._state == Constants.States.RUNNING

    def _begin(self):
        started = []
        for node in self._internal_nodes:
            try:
                node.start()
            except BaseException:
                # An interrupt too: a started node left behind keeps its thread.
                ProcessingElementImp.stop_after_failed_start(started, node, self.log)
                raise
            started.append(node)
        ProcessingElementImp.start(self)

    def _end(self):
        if not self._running():
            return
        first = None
        for node in self._internal_nodes:
            try:
                node.stop()
            except BaseException as e:
                if first is None:
                    first = e
        try:
            ProcessingElementImp.stop(self)
        finally:
            if first is not None:
                raise first

    def reset_run_state(self):
        ProcessingElementImp.reset_run_state(self)
        for node in self._internal_nodes:
            node.reset_run_state()

    def set_logger(self, logger):
        ProcessingElementImp.set_logger(self, logger)
        for node in self._internal_nodes:
            node.set_logger(logger)

    # What the pipeline reads.
    def get_nodes(self):
        """The internal nodes, in order (a new list)."""
        return list(self._internal_nodes)

    def get_max_backlog(self):
        return max((node.get_max_backlog() for node in self._internal_nodes), default=0)

    def get_condition(self):
        """The worst condition of the chain and its nodes."""
        from ..constants import Constants

        conditions = Constants.Conditions
        seen = [ProcessingElementImp.get_condition(self)]
        seen += [node.get_condition() for node in self._internal_nodes]
        for worst in (conditions.ERROR, conditions.WARNING):
            if worst in seen:
                return worst
        return seen[0]

    def failure(self):
        """The chain's own first failure, else the first one of its nodes."""
        own = ProcessingElementImp.failure(self)
        if own is not None:
            return own
        for node in self._internal_nodes:
            kept = node.failure()
            if kept is not None:
                return kept
        return None

    def setup_failed(self):
        return ProcessingElementImp.setup_failed(self) or any(
            node.setup_failed() for node in self._internal_nodes
        )

    # Port look-ups (subclasses bind their boundary tables).
    def get_output_port(self, port_name):
        last = self._internal_nodes[-1]
        getter = getattr(last._imp, "get_output_port", None)
        if getter is None:
            raise ValueError(f"Output port '{port_name}' not found.")
        return getter(port_name)

    def get_input_port(self, port_name):
        first = self._internal_nodes[0]
        getter = getattr(first._imp, "get_input_port", None)
        if getter is None:
            raise ValueError(f"Input port '{port_name}' not found.")
        return getter(port_name)


class IChainImp(ChainImp):
    """An input-only chain: its first node's input ports are the chain's, and
    every node after it is input-capable (a plain input node may end it)."""

    def __init__(self, config, internal_nodes):
        inode = _facade("flowmesh.i_node", "INode")
        super().__init__(config, internal_nodes)
        for p, node in enumerate(self._internal_nodes):
            if not isinstance(node, inode):
                raise TypeError(f"Internal node {p} must have input ports (INode or IONode).")
        self._connect_internal_nodes()
        first = self._internal_nodes[0]
        ip_key = config.Keys.INPUT_PORTS
        _adopt_input_ids(config, ip_key, first)
        import copy

        dict.__setitem__(config, ip_key, copy.deepcopy(first.config[ip_key]))
        self._input_ports = first._imp._input_ports

    def get_port(self, port_name):
        return self.get_input_port(port_name)


def _adopt_input_ids(config, key, node):
    # The same adoption the output and input-output chains use.
    from . import cascade_io

    cascade_io._adopt_recorded_port_ids(config, key, node)
