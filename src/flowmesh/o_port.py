"""OPort: an output port."""

from . import imp
from .constants import Constants
from .port import Port


class OPort(Port):
    """An output port; named "out" unless configured otherwise."""

    class Configuration(Port.Configuration):
        __slots__ = ()
        DEFAULT_NAME = Constants.Defaults.PORT_OUT

    def _create_imp(self, config):
        return imp.OPortImp(config)

    def push(self, value):
        """Deliver `value` to every connected input port."""
        self._imp.push(value)
