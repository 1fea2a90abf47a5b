"""Configuration records: dictionaries with named keys.

Each facade class has a `Configuration` subclass; it is built with keyword
arguments, validates what a user can get wrong, and deep-copies to its own
type. `Keys` names the keys; `ReservedKeys` lists keys that never travel into
a document.
"""

import math

from .constants import ConstantsImp

#: The highest sampling rate (Hz) that a ready-made node's setting may give.
MAX_RATE = 1e6


def _finite(value):
    # An int too large for a float is no finite number of any use here.
    try:
        return math.isfinite(value)
    except OverflowError:
        return False


def _is_real(value):
    # int and float first: `numbers` (with its ABCs) is imported only for the
    # other reals (numpy's scalars, Fraction, Decimal-like registrations).
    if isinstance(value, (int, float)):
        return True
    import numbers

    return isinstance(value, numbers.Real)


def check_number(key, value, minimum=0.0, *, strict=False, allow_none=False, maximum=None):
    """Refuse anything but a finite real (not a bool) >= `minimum` (> with
    `strict`; no bound when `minimum` is None) and <= `maximum` (when given),
    or None with `allow_none`."""
    if value is None and allow_none:
        return
    if isinstance(value, bool) or not _is_real(value):
        raise TypeError(f"{key} must be a number, got {type(value).__name__}.")
    if minimum is None:
        if not _finite(value):
            raise ValueError(f"{key} must be a finite number, got {value!r}.")
    elif not _finite(value) or value < minimum or (strict and value == minimum):
        relation = ">" if strict else ">="
        raise ValueError(f"{key} must be a finite number {relation} {minimum:g}, got {value!r}.")
    if maximum is not None and value > maximum:
        raise ValueError(f"{key} must be <= {maximum:g}, got {value!r}.")


def check_int(key, value, minimum, *, maximum=None, allow_none=False):
    """Refuse anything but an int (not a bool) >= `minimum` and <= `maximum`
    (when given), or None with `allow_none`."""
    if value is None and allow_none:
        return
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{key} must be an int, got {type(value).__name__}.")
    if value < minimum:
        raise ValueError(f"{key} must be >= {minimum}, got {value}.")
    if maximum is not None and value > maximum:
        raise ValueError(f"{key} must be <= {maximum}, got {value}.")


def check_bool(key, value):
    """Refuse anything but True or False."""
    if not isinstance(value, bool):
        raise TypeError(f"{key} must be a bool, got {type(value).__name__}.")


def check_str(key, value, *, allow_none=False, allow_empty=False):
    """Refuse anything but a str (a non-empty one unless `allow_empty`), or
    None with `allow_none`."""
    if value is None and allow_none:
        return
    if not isinstance(value, str):
        what = "a str or None" if allow_none else "a str"
        raise TypeError(f"{key} must be {what}, got {type(value).__name__}.")
    if not value and not allow_empty:
        raise ValueError(f"{key} must not be empty.")


def check_choice(key, value, choices):
    """Refuse a value that is not one of `choices` (strs)."""
    if not isinstance(value, str) or value not in choices:
        raise ValueError(f"{key} must be one of {', '.join(choices)}; got {value!r}.")


def check_list(key, value, *, length=None, allow_none=False):
    """Refuse anything but a list (of `length` entries when given), or None
    with `allow_none`."""
    if value is None and allow_none:
        return
    if not isinstance(value, list) or (length is not None and len(value) != length):
        what = "a list" if length is None else f"a list of {length}"
        if allow_none:
            what = f"None or {what}"
        raise TypeError(f"{key} must be {what}, got {value!r}.")


def declared_keys(config_type):
    """The keys a record type names in the `Keys` and `ReservedKeys` of its
    class tree."""
    known = set()
    for cls in config_type.__mro__:
        for name in ("Keys", "ReservedKeys"):
            namespace = vars(cls).get(name)
            for ns in getattr(namespace, "__mro__", ()):
                known.update(
                    value
                    for attr, value in vars(ns).items()
                    if not attr.startswith("__") and isinstance(value, str)
                )
    return known


def known_keys(config_type):
    """The keys a record of this type may hold: those its `Keys` and
    `ReservedKeys` name, and those its defaults fill in (a subclass may add
    settings through `_set_defaults` alone)."""
    known = declared_keys(config_type)
    blank = config_type.__new__(config_type)
    try:
        blank._set_defaults()
    except Exception:
        pass  # defaults that need given settings: what they filled so far counts
    known.update(key for key in blank if type(key) is str)
    return known


def check_keys(config):
    """Refuse a key that the record's type does not know, naming the closest
    known one: a misspelt setting must not silently leave the default in force."""
    known = None
    owner = type(config).__qualname__.removesuffix(".Configuration")
    for key in list(config):
        if type(key) is not str:
            raise TypeError(f"{owner}: setting names must be str, got {type(key).__name__}.")
        if known is None:
            known = known_keys(type(config))
        if key in known:
            continue
        import difflib

        close = difflib.get_close_matches(key, sorted(known), n=1)
        hint = f"; did you mean {close[0]!r}?" if close else "."
        raise ValueError(f"{owner} has no setting {key!r}{hint}")


class Configuration(dict):
    # A record is its items alone: without an instance dict it is 16 bytes
    # smaller, and every element and port holds one. Subclasses keep that by
    # declaring empty slots too (one that does not still works).
    __slots__ = ()

    class Keys:
        ID = "id"
        NAME = "name"
        TYPE = "type"
        TIMING = "timing"
        OUTPUT_PORTS = "output_ports"
        INPUT_PORTS = "input_ports"

    class ReservedKeys:
        pass

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.setdefault(self.Keys.ID, ConstantsImp.ID_TO_BE_GENERATED)
        self._set_defaults()
        self.validate()

    def _set_defaults(self):
        """Subclasses fill in their defaults here."""

    def validate(self):
        """Subclasses raise ValueError or TypeError for what a user can get wrong."""

    def __deepcopy__(self, memo):
        import copy

        new = type(self).__new__(type(self))
        memo[id(self)] = new
        for key, value in self.items():
            dict.__setitem__(new, copy.deepcopy(key, memo), copy.deepcopy(value, memo))
        # A subclass without empty slots has an instance dict: its
        # attributes are copied too.
        attributes = getattr(self, "__dict__", None)
        if attributes:
            new.__dict__.update(copy.deepcopy(attributes, memo))
        return new

    def __reduce__(self):
        return (type(self), (dict(self),))

    def __repr__(self):
        return f"{type(self).__qualname__}({dict.__repr__(self)})"


def reserved_keys(config):
    """The reserved keys of a record type, in definition order (dunders excluded)."""
    ns = getattr(config, "ReservedKeys", None)
    if ns is None:
        return []
    return [v for k, v in vars(ns).items() if not (k.startswith("__") and k.endswith("__"))]
