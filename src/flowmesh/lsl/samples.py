"""Conversions between what travels through a pipeline (frames, events) and
LSL samples."""

import json
import numbers

import numpy as np

from .metadata import _STRING, _shape_text


class _Event:
    LABEL = "label"
    VALUE = "value"
    TIME = "time"


# The numpy types of the numeric formats: what a sample's values must fit.
_FORMAT_DTYPES = {
    "float32": np.float32,
    "double64": np.float64,
    "int8": np.int8,
    "int16": np.int16,
    "int32": np.int32,
    "int64": np.int64,
}


def check_representable(array, channel_format, owner):
    """Refuse values that `channel_format` cannot hold (liblsl would wrap
    them silently): NaN, infinities and values out of range for an integer
    format, finite values beyond float32's range for float32."""
    dtype = _FORMAT_DTYPES.get(channel_format)
    if dtype is None or array.dtype.kind == "b" or array.size == 0:
        return
    if np.issubdtype(dtype, np.integer):
        limits = np.iinfo(dtype)
        low, high = limits.min, limits.max
        if array.dtype.kind == "f":
            # max + 1 is a power of two, exact as a float, unlike max itself.
            with np.errstate(invalid="ignore"):
                bad = ~np.isfinite(array) | (array < low) | (array >= high + 1)
        else:
            bad = (array < low) | (array > high)
    elif dtype is np.float32 and array.dtype.kind == "f" and array.dtype.itemsize > 4:
        low, high = -float(np.finfo(np.float32).max), float(np.finfo(np.float32).max)
        with np.errstate(invalid="ignore"):
            bad = np.isfinite(array) & (np.abs(array) > high)
    else:
        return
    if bad.any():
        row, channel = (int(i) for i in np.argwhere(bad)[0])
        raise ValueError(
            f"{owner}: value {array[row, channel].item()!r} on channel {channel} does not fit "
            f"the stream's format {channel_format} ({low:g} .. {high:g})."
        )


def as_samples(value, channel_count, channel_format, owner):
    """A frame as a 2-D array (samples, channels) ready for an outlet.

    A 2-D array is samples x channels, a 1-D one a single sample, a scalar a
    single sample of one channel. `channel_count` None accepts any width.
    """
    array = np.asarray(value)
    if array.ndim == 0:
        array = array.reshape(1, 1)
    elif array.ndim == 1:
        array = array.reshape(1, -1)
    elif array.ndim != 2:
        raise ValueError(
            f"{owner} publishes frames of shape (samples, channels); got {array.ndim} dimensions."
        )
    if channel_count is not None and array.shape[1] != channel_count:
        raise ValueError(
            f"{owner} publishes {_shape_text(channel_count, channel_format)}; got a frame "
            f"of shape {array.shape} ({array.shape[1]} channels)."
        )
    numeric = channel_format != _STRING
    if numeric and array.dtype.kind not in "biuf":
        raise ValueError(
            f"{owner} publishes {_shape_text(channel_count, channel_format)}; got a frame "
            f"of dtype {array.dtype}."
        )
    if not numeric:
        array = array.astype(str)
    else:
        check_representable(array, channel_format, owner)
    return array


def as_event_sample(value, channel_count, channel_format, owner):
    """(sample values, timestamp or 0.0 for "now") of an event for an outlet."""
    stamp = 0.0
    if isinstance(value, dict):
        stamp = value.get(_Event.TIME)
        if stamp is None:
            stamp = 0.0
        elif isinstance(stamp, bool) or not isinstance(stamp, numbers.Real):
            raise TypeError(f"{owner}: an event's time must be a number, got {stamp!r}.")
        if _Event.LABEL in value:
            value = value[_Event.LABEL]
        elif _Event.VALUE in value:
            value = value[_Event.VALUE]
        else:
            raise ValueError(f"{owner}: an event dict needs a 'label' or a 'value', got {value!r}.")
    values = list(value) if isinstance(value, (list, tuple, np.ndarray)) else [value]
    if len(values) != channel_count:
        raise ValueError(
            f"{owner} publishes {_shape_text(channel_count, channel_format)}; got an event "
            f"with {len(values)} values."
        )
    if channel_format == _STRING:
        values = [v if isinstance(v, str) else json.dumps(v, default=str) for v in values]
    else:
        for v in values:
            if isinstance(v, bool) or not isinstance(v, numbers.Real):
                raise ValueError(
                    f"{owner} publishes {_shape_text(channel_count, channel_format)}; got an "
                    f"event value {v!r}."
                )
        check_representable(np.asarray([values]), channel_format, owner)
    return values, float(stamp)


def _event_of(sample, stamp, string_stream):
    """The event an inlet emits for one sample."""
    if string_stream and len(sample) == 1:
        return {_Event.LABEL: sample[0], _Event.TIME: stamp}
    value = sample[0] if len(sample) == 1 else list(sample)
    return {_Event.VALUE: value, _Event.TIME: stamp}
