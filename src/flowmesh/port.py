"""Port: the base of input and output ports."""

from . import imp
from .constants import Constants
from .portable import Portable


class Port(Portable):
    """A named connection point of a node, with a data type and a timing.

    `type` is the kind of data carried or expected ("Any" accepts every kind);
    `timing` is SYNC (a continuous stream), ASYNC (discrete events) or
    INHERITED (the timing of the port it is joined to).
    """

    class Configuration(Portable.Configuration):
        # Input and output ports have a default name; a bare port has none.
        __slots__ = ()
        DEFAULT_NAME = None

        def _set_defaults(self):
            super()._set_defaults()
            keys = self.Keys
            if self.DEFAULT_NAME is not None:
                self.setdefault(keys.NAME, self.DEFAULT_NAME)
            self.setdefault(keys.TYPE, "Any")
            self.setdefault(keys.TIMING, Constants.Timing.SYNC)
            timing = self[keys.TIMING]
            if isinstance(timing, str) and timing in list(Constants.Timing):
                # Stored as the member itself: "Sync" read back from a document
                # compares equal, and the data path tests timings by identity first.
                dict.__setitem__(self, keys.TIMING, Constants.Timing(timing))

        def validate(self):
            super().validate()
            keys = self.Keys
            name = self.get(keys.NAME)
            if name is not None and not isinstance(name, str):
                raise TypeError(f"Port {keys.NAME} must be a str, got {type(name).__name__}.")
            if not isinstance(self[keys.TYPE], str):
                raise TypeError(
                    f"Port {keys.TYPE} must be a str, got {type(self[keys.TYPE]).__name__}."
                )
            if self[keys.TIMING] not in list(Constants.Timing):
                choices = ", ".join(Constants.Timing)
                raise ValueError(
                    f"Port {keys.TIMING} must be one of {choices}, got {self[keys.TIMING]!r}."
                )

    def _create_imp(self, config):
        return imp.PortImp(config)

    @property
    def name(self):
        """The port's name."""
        return self.config.get(self.config.Keys.NAME)

    @property
    def timing(self):
        """The effective timing (an INHERITED port reads its partner's once joined)."""
        return self._imp.timing

    def connect(self, port):
        """Join `port` (a facade port or an implementation object) to this side."""
        self._imp.connect(getattr(port, "_imp", port))

    def disconnect(self, port):
        """Detach `port` from this side."""
        self._imp.disconnect(getattr(port, "_imp", port))

    def is_connected(self):
        """Whether any port is joined to this one."""
        return self._imp.is_connected()
