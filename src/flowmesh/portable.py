"""Portable: the base of every facade object that can be written to a document."""

from . import configuration, imp


class Portable:
    """An object with a registered id, serializable as a document entry.

    `Portable(**config)` builds `self.Configuration(**config)` and hands it to
    the implementation object created by `_create_imp`; calls are forwarded to
    it. A class rebuilt from a document is called the same way.
    """

    class Configuration(configuration.Configuration):
        __slots__ = ()

    def __init__(self, **kwargs):
        config = self.Configuration(**kwargs)
        self._imp = self._create_imp(config)

    def _create_imp(self, config):
        return imp.PortableImp(config)

    @property
    def config(self):
        """The configuration record (a dict subclass)."""
        return self._imp.config

    @property
    def id(self):
        """The registered id (16 hex digits unless chosen)."""
        config = self._imp.config
        return config[config.Keys.ID]

    def serialize(self):
        """The document entry of this object: class, module, source, config."""
        return self._imp.serialize(self)

    @staticmethod
    def get_by_id(id):
        """The live implementation object registered under `id`, or None."""
        return imp.PortableImp.get_by_id(id)

    @staticmethod
    def reset():
        """Clear the id registry (needed before reading a document twice)."""
        imp.PortableImp.reset()

    @staticmethod
    def deserialize(entry):
        """Rebuild the facade object a document entry describes."""
        return imp.PortableImp.deserialize(entry)

    @staticmethod
    def add_preinstalled_module(module):
        """Kept for older client code; no effect on serialization."""
        imp.PortableImp.add_preinstalled_module(module)
