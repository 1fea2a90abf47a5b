"""The pipeline: a graph of elements, run as one unit and watched while it runs."""

from flowmesh import imp


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
    """

    def __init__(self, directory=None):
        self._imp = imp.PipelineImp(directory)

    # Graph.
    def add_node(self, node):
        """Add an element; it logs into the pipeline's logger from now on."""
        return self._imp.add_node(node)

    def connect(self, source, target):
        """Connect `source` to `target`.

        Each endpoint is an element (its default port) or a dict
        ``{"node": element, "port": name}``. Elements not yet in the pipeline
        are added.
        """
        return self._imp.connect(source, target)

    def disconnect(self, source, target):
        """Undo a connection; endpoints as for `connect`."""
        return self._imp.disconnect(source, target)

    def get_elements(self):
        """The elements, in order of addition (a new list)."""
        return list(self._imp._nodes)

    # Run control.
    def start(self):
        """Start every element in order of addition, then the monitoring thread.

        Sampled sources begin producing once every element has started.
        """
        from .sources import production_held

        with production_held(list(self._imp._nodes)):
            return self._imp.start()

    def stop(self):
        """Stop every element and the monitoring thread; flush the log."""
        return self._imp.stop()

    def close(self):
        """Stop if running and release the logger. Safe to call again."""
        return self._imp.close()

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

    def get_backlog(self):
        """The largest input backlog of any element."""
        return self._imp.get_backlog()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False
