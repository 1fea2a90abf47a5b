"""Configuration records: dictionaries with named keys.

Each facade class has a `Configuration` subclass; it is built with keyword
arguments, validates what a user can get wrong, and deep-copies to its own
type. `Keys` names the keys; `ReservedKeys` lists keys that never travel into
a document.
"""

import copy
import math
import numbers


def check_number(key, value, minimum=0.0, *, strict=False, allow_none=False):
    """Refuse anything but a finite real (not a bool) >= `minimum` (> with
    `strict`; no bound when `minimum` is None), or None with `allow_none`."""
    if value is None and allow_none:
        return
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{key} must be a number, got {type(value).__name__}.")
    if minimum is None:
        if not math.isfinite(value):
            raise ValueError(f"{key} must be a finite number, got {value!r}.")
    elif not math.isfinite(value) or value < minimum or (strict and value == minimum):
        relation = ">" if strict else ">="
        raise ValueError(f"{key} must be a finite number {relation} {minimum:g}, got {value!r}.")


def check_int(key, value, minimum, *, allow_none=False):
    """Refuse anything but an int (not a bool) >= `minimum`, or None with `allow_none`."""
    if value is None and allow_none:
        return
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{key} must be an int, got {type(value).__name__}.")
    if value < minimum:
        raise ValueError(f"{key} must be >= {minimum}, got {value}.")


class Configuration(dict):
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
        from .imp import ConstantsImp

        self.setdefault(self.Keys.ID, ConstantsImp.ID_TO_BE_GENERATED)
        self._set_defaults()
        self.validate()

    def _set_defaults(self):
        """Subclasses fill in their defaults here."""

    def validate(self):
        """Subclasses raise ValueError or TypeError for what a user can get wrong."""

    def __deepcopy__(self, memo):
        new = type(self).__new__(type(self))
        memo[id(self)] = new
        for key, value in self.items():
            dict.__setitem__(new, copy.deepcopy(key, memo), copy.deepcopy(value, memo))
        new.__dict__.update(copy.deepcopy(self.__dict__, memo))
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
