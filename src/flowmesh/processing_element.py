"""ProcessingElement: the base of every element that can sit in a pipeline."""

from . import imp
from .logging import register_element_class
from .portable import Portable


class ProcessingElement(Portable):
    """An element with a name, run state, condition, cycle counter and logger."""

    class Configuration(Portable.Configuration):
        __slots__ = ()

        def _set_defaults(self):
            super()._set_defaults()
            self.setdefault(self.Keys.NAME, None)
            name = self[self.Keys.NAME]
            if isinstance(name, str) and type(name) is not str:
                # A name is text: hooks of a str subclass (__str__, __eq__,
                # __hash__) must not run wherever the element is named, in
                # logs, banners and lookups, where they could raise.
                dict.__setitem__(self, self.Keys.NAME, str.__str__(name))

        def validate(self):
            super().validate()
            name = self.get(self.Keys.NAME)
            if name is not None and not isinstance(name, str):
                raise TypeError(
                    f"Configuration '{self.Keys.NAME}' must be a str or None, "
                    f"not {type(name).__name__}"
                )

    def _create_imp(self, config):
        return imp.ProcessingElementImp(config)

    @property
    def name(self):
        """The element's name, or None."""
        return self._imp.name

    def start(self):
        """STOPPED -> RUNNING; no effect when running."""
        self._imp.start()

    def stop(self):
        """RUNNING -> STOPPED; no effect when stopped."""
        self._imp.stop()

    def get_state(self):
        """The run state: Constants.States.RUNNING or STOPPED."""
        return self._imp.get_state()

    def get_condition(self):
        """The health condition: Constants.Conditions.HEALTHY, WARNING or ERROR."""
        return self._imp.get_condition()

    def get_counter(self):
        """Cycles completed since the run state was last reset."""
        return self._imp.get_counter()

    def get_max_backlog(self):
        """The largest number of items waiting at one input (0 without inputs)."""
        return self._imp.get_max_backlog()

    def get_busy_time(self):
        """Seconds this node spent in its handlers in the current (or last)
        run while someone watched it (a monitor page, `flowmesh run`); 0.0
        otherwise, and for a chain, whose nodes keep their own."""
        return self._imp.get_busy_time()

    def failure(self):
        """The first exception recorded in this run, or None."""
        return self._imp.failure()

    def setup_failed(self):
        """Whether setup raised in this run."""
        return self._imp.setup_failed()

    def get_context(self):
        """The Context built by setup, or None before it ran."""
        return self._imp.get_context()

    def set_logger(self, logger):
        """Write log entries to `logger` from now on (None: nowhere)."""
        self._imp.set_logger(logger)

    def log(self, msg, type=None):
        """Write `msg` (text or an exception) to the element's logger as `type` (INFO)."""
        self._imp.log(msg, type)

    def reset_run_state(self):
        """Clear counter, condition, context and failure, so that the next run sets up again."""
        self._imp.reset_run_state()


register_element_class(ProcessingElement)
