"""Node: the base class a client subclasses to process data.

A subclass defines `setup(data, context)` and `step(data)`, and optionally
`process(data)` (used instead of `step` in batch runs), `pre_setup(data,
context)`, `pre_step(data)` (a truthy result skips the cycle's step) and
`post_step(output)`. The node installs them on its implementation object,
which calls them from its cycle.
"""

from . import imp
from .processing_element import ProcessingElement

# Optional handlers: installed only when the subclass defines them, so the
# implementation keeps its own defaults (no-op hooks, no process handler).
_OPTIONAL_HANDLERS = (
    ("process", "process_handler"),
    ("pre_setup", "pre_setup_handler"),
    ("pre_step", "pre_step_handler"),
    ("post_step", "post_step_handler"),
)


class Node(ProcessingElement):
    """A processing node."""

    class Configuration(ProcessingElement.Configuration):
        __slots__ = ()

    def __init__(self, **config):
        super().__init__(**config)
        self._install_handlers()

    def _create_imp(self, config):
        return imp.NodeImp(config)

    def _install_handlers(self):
        node_imp = self._imp
        node_imp.setup_handler = self.setup
        node_imp.step_handler = self.step
        cls = type(self)
        for name, slot in _OPTIONAL_HANDLERS:
            if getattr(cls, name, None) is not getattr(Node, name, None):
                setattr(node_imp, slot, getattr(self, name))

    def setup(self, data, context):
        """Called once per run before the first step; returns the output half
        of the node's context (a dict). A node without outputs has none."""
        return {}

    def step(self, data):
        """Called once per cycle with the input data; returns a dict of output
        data or None."""
        raise NotImplementedError(f"{type(self).__name__} must define step(data)")

    @property
    def batch(self):
        """Batch runs use `process` (when defined) and let failures propagate."""
        return self._imp.batch

    @batch.setter
    def batch(self, value):
        self._imp.batch = value
