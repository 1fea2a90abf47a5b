"""Chain: the facade base of elements that run a sequence of nodes as one.

A chain is used like a node (added to a pipeline, connected, started), but its
work is done by internal nodes that it builds itself and wires in order: each
output port of a node goes to the successor's input port of the same name,
and the default output port "out" to the default input port "in" when neither
found a same-name partner. A chain exposes its boundary nodes' ports as its
own; their configuration records are copied into the chain's configuration.

Round trip. A chain must be rebuildable as ``cls(**config)`` from the
configuration it wrote into a document, so its internal nodes are never kept
in the configuration as objects. They are made by `build_nodes(config)`:

* override it in a subclass and build the nodes from the chain's own
  parameters (the usual way: the parameters are plain values in the
  configuration, so the document holds them); or
* keep the default, which rebuilds the nodes from plain entries listed under
  the key ``nodes`` -- ``{"class": ..., "module": ..., "config": {...}}``, as
  `node_entry` makes them.

The ids that the document recorded for the chain's boundary ports are taken
over by the rebuilt nodes' ports, so the document's connections still find
them. Internal nodes get fresh ids on every build: leave ``id`` out of the
entries' configurations.
"""

from .portable import Portable
from .processing_element import ProcessingElement


def node_entry(cls, **config):
    """A plain entry describing a node of class `cls` with `config`, for the
    ``nodes`` list of a chain's configuration."""
    return {"class": cls.__name__, "module": cls.__module__, "config": config}


def _check_port_list(config, key):
    ports = config.get(key)
    if ports is not None and not isinstance(ports, list):
        raise TypeError(f"{key} must be a list of port entries, got {type(ports).__name__}.")


class Chain(ProcessingElement):
    """Base of `OChain`, `IChain` and `IOChain` (not used directly)."""

    class Configuration(ProcessingElement.Configuration):
        __slots__ = ()

        class Keys(ProcessingElement.Configuration.Keys):
            NODES = "nodes"

        def _set_defaults(self):
            super()._set_defaults()
            self.setdefault(self.Keys.NODES, None)

        def validate(self):
            super().validate()
            nodes = self[self.Keys.NODES]
            if nodes is None:
                return
            if not isinstance(nodes, list):
                raise TypeError(
                    f"{self.Keys.NODES} must be a list of node entries, got {type(nodes).__name__}."
                )
            for p, entry in enumerate(nodes):
                if not isinstance(entry, dict) or isinstance(entry, Portable):
                    raise TypeError(
                        f"{self.Keys.NODES}[{p}] must be a node entry (a dict with class, module "
                        f"and config), got {type(entry).__name__}."
                    )

    # The implementation class; subclasses name theirs.
    _imp_class = None

    def _create_imp(self, config):
        built = self._imp_class(config, self.build_nodes(config))
        built._claim_nodes(self)
        return built

    def build_nodes(self, config):
        """The internal nodes, in order, as a list of new node objects.

        The default rebuilds them from the entries under ``nodes``; a subclass
        that knows its nodes overrides this and builds them from `config`.
        """
        entries = config[config.Keys.NODES]
        if not entries:
            raise ValueError(
                f"{type(self).__name__} has no internal nodes: list node entries under "
                f"'{config.Keys.NODES}' or override build_nodes()."
            )
        # Entries are rebuilt from copies, so the configuration never takes an id.
        return [Portable.deserialize(dict(entry)) for entry in entries]

    def get_nodes(self):
        """The internal nodes, in order."""
        return self._imp.get_nodes()


class _OutputSide:
    """Output ports of a chain: its last node's."""

    def connect(self, output_port, target, input_port):
        """Join `output_port` of the last node to `input_port` of `target`."""
        self._imp.connect(output_port, target, input_port)

    def disconnect(self, output_port, target, input_port):
        """Undo `connect`."""
        self._imp.disconnect(output_port, target, input_port)

    def get_output_port(self, name):
        """The implementation object of the last node's output port `name`."""
        return self._imp.get_output_port(name)


class _InputSide:
    """Input ports of a chain: its first node's."""

    @property
    def _input_imp(self):
        # What an upstream node joins its output to: the first node's side.
        return self._imp.get_nodes()[0]._imp

    def get_input_port(self, name):
        """The implementation object of the first node's input port `name`."""
        return self._imp.get_input_port(name)
