"""IPort: an input port."""

from . import imp
from .constants import Constants
from .port import Port


class IPort(Port):
    """An input port; named "in" unless configured otherwise."""

    class Configuration(Port.Configuration):
        __slots__ = ()
        DEFAULT_NAME = Constants.Defaults.PORT_IN

    def _create_imp(self, config):
        return imp.IPortImp(config)
