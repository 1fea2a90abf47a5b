"""Constant groups shared by the facade and the implementation layer.

Values are string enumerations: they compare equal to their text (so a
document written as plain values reads back equal) and print as that text.
"""


class _Enumeration(type):
    """The type of a group of named texts, each an instance of the group.

    What a plain pipeline uses of the standard library's `StrEnum` (members
    equal to and hashed as their text, printed as it, looked up by it,
    iterated in order), without the cost of importing `enum` and building its
    classes, which is most of what the constants would cost a process.
    """

    def __new__(mcls, name, bases, namespace):
        texts = {
            key: value
            for key, value in namespace.items()
            if not key.startswith("_") and type(value) is str
        }
        for key in texts:
            del namespace[key]
        cls = super().__new__(mcls, name, bases, namespace)
        if texts and len(set(texts.values())) != len(texts):
            raise ValueError(f"{name}: two members with one text")
        members = {key: str.__new__(cls, text) for key, text in texts.items()}
        for key, member in members.items():
            type.__setattr__(cls, key, member)
        type.__setattr__(cls, "_members", members)
        type.__setattr__(cls, "_by_text", {str.__str__(m): m for m in members.values()})
        type.__setattr__(cls, "_names", {str.__str__(m): k for k, m in members.items()})
        return cls

    def __call__(cls, value):
        # Exact text only: a str subclass's own __hash__ or __eq__ is never run.
        member = cls._by_text.get(str.__str__(value)) if isinstance(value, str) else None
        if member is None:
            raise ValueError(f"{value!r} is not a valid {cls.__name__}")
        return member

    def __iter__(cls):
        return iter(tuple(cls._members.values()))

    def __len__(cls):
        return len(cls._members)

    def __contains__(cls, value):
        return isinstance(value, str) and str.__str__(value) in cls._by_text

    def __setattr__(cls, name, value):
        if name in cls.__dict__.get("_members", ()):
            raise AttributeError(f"cannot reassign member {name!r}")
        super().__setattr__(name, value)

    def __delattr__(cls, name):
        if name in cls.__dict__.get("_members", ()):
            raise AttributeError(f"cannot delete member {name!r}")
        super().__delattr__(name)

    @property
    def __members__(cls):
        return dict(cls._members)


class TextEnum(str, metaclass=_Enumeration):
    """Base of a group of named texts (see `_Enumeration`)."""

    __slots__ = ()

    @property
    def name(self):
        return type(self)._names[str.__str__(self)]

    @property
    def value(self):
        return str.__str__(self)

    __str__ = str.__str__
    __format__ = str.__format__

    def __repr__(self):
        return f"<{type(self).__name__}.{self.name}: {str.__repr__(self)}>"

    # Copies and pickles are the member itself.
    def __reduce_ex__(self, protocol):
        return type(self), (str.__str__(self),)

    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self


class _States(TextEnum):
    STOPPED = "Stopped"
    RUNNING = "Running"


class _Conditions(TextEnum):
    HEALTHY = "Healthy"
    WARNING = "Warning"
    ERROR = "Error"


class _LogTypes(TextEnum):
    INFO = "INFO"
    WARNING = "WARNING"
    ERROR = "ERROR"


class _Timing(TextEnum):
    SYNC = "Sync"
    ASYNC = "Async"
    INHERITED = "Inherited"


class Constants:
    States = _States
    Conditions = _Conditions
    LogTypes = _LogTypes
    Timing = _Timing

    class Defaults:
        PORT_OUT = "out"
        PORT_IN = "in"

    class Keys:
        DECIMATION_FACTOR = "decimation_factor"


class ConstantsImp:
    """Settings read by the implementation layer on every use (tests may change
    them); `flowmesh.imp` hands this class on under the same name."""

    ID_TO_BE_GENERATED = None
    # Seconds between monitoring passes; a value that is not a number of
    # seconds above 0 and up to a day falls back to 0.5 (logged once per run),
    # and one below a millisecond counts as a millisecond.
    MONITORING_INTERVAL = 0.5
    BACKLOG_WARNING = 100
    BACKLOG_ERROR = 1000
    QUEUE_BLOCK_TIMEOUT = 1.0  # longest wait of a thread delivering to a full queue
    # Longest wait of a node's stop for its queued items to run; the rest is
    # counted as dropped.
    STOP_DRAIN_TIMEOUT = 2.0


# The formats a recording exports to (through MNE); the command line offers
# them without importing the recording code.
EXPORT_FORMATS = ("edf", "brainvision", "fif")
