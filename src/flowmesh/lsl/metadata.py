"""A stream's description: its channel formats, the context entry an inlet
hands downstream (`Metadata`), the limits of the settings describing a
stream, and the check that a stream is the one a node is configured for."""

import pylsl

from ..configuration import (
    check_choice,
    check_int,
    check_list,
    check_str,
)

#: The channel formats of LSL, by the names used in configurations.
FORMATS = ("float32", "double64", "int8", "int16", "int32", "int64", "string")
_FORMAT_CODES = {name: getattr(pylsl, f"cf_{name}") for name in FORMATS}
_FORMAT_NAMES = {code: name for name, code in _FORMAT_CODES.items()}
_STRING = "string"

#: The most channels of a stream.
MAX_CHANNELS = 65_536
#: The most samples of a frame pulled or a chunk pushed.
MAX_CHUNK = 1_000_000
#: The longest buffer, in seconds (liblsl keeps that much of a stream).
MAX_BUFFER = 3600
#: The most samples kept of an irregular-rate stream, which has no seconds to count in.
MAX_BUFFER_SAMPLES = 10_000_000
#: The longest wait a setting may ask for, in seconds (a day).
MAX_WAIT = 86_400.0
#: Seconds between two measurements of a stream's clock offset.
OFFSET_INTERVAL = 5.0
#: The longest wait for one measurement (the first takes a few exchanges).
OFFSET_TIMEOUT = 2.0


class Metadata:
    """Keys of the stream description in an inlet's context (read back by outlets)."""

    STREAM_NAME = "stream_name"
    STREAM_TYPE = "stream_type"
    SOURCE_ID = "source_id"
    CHANNEL_COUNT = "channel_count"
    CHANNEL_FORMAT = "channel_format"
    RATE = "rate"
    CHANNELS = "channels"
    HOSTNAME = "hostname"
    T0 = "t0"


def stream_metadata(info, full_info=None):
    """The context entry describing a stream (see `Metadata`); channel labels
    come from `full_info` (the description an inlet retrieves) when given."""
    described = full_info if full_info is not None else info
    metadata = {
        Metadata.STREAM_NAME: info.name(),
        Metadata.STREAM_TYPE: info.type(),
        Metadata.SOURCE_ID: info.source_id(),
        Metadata.CHANNEL_COUNT: info.channel_count(),
        Metadata.CHANNEL_FORMAT: _FORMAT_NAMES.get(info.channel_format(), "undefined"),
        Metadata.RATE: info.nominal_srate(),
        Metadata.HOSTNAME: info.hostname(),
    }
    labels = described.get_channel_labels()
    if labels is not None and all(isinstance(label, str) for label in labels):
        metadata[Metadata.CHANNELS] = list(labels)
    return metadata


def _describe_stream(metadata):
    return (
        f"LSL stream '{metadata[Metadata.STREAM_NAME]}' (type '{metadata[Metadata.STREAM_TYPE]}')"
    )


def _shape_text(count, fmt):
    if count is None and fmt is None:
        return "any stream"
    channels = "any number of" if count is None else str(count)
    noun = "channel" if count == 1 else "channels"
    return f"{channels} {noun} of {fmt or 'any format'}"


def _rated_shape(metadata):
    count, fmt = metadata[Metadata.CHANNEL_COUNT], metadata[Metadata.CHANNEL_FORMAT]
    return f"{_shape_text(count, fmt)} at {metadata[Metadata.RATE]:g} Hz"


def check_stream(metadata, channel_count, channel_format, events, owner):
    """Refuse a stream that the node is not configured for, naming both."""
    actual_count = metadata[Metadata.CHANNEL_COUNT]
    actual_format = metadata[Metadata.CHANNEL_FORMAT]
    wrong_count = channel_count is not None and channel_count != actual_count
    wrong_format = channel_format is not None and channel_format != actual_format
    if wrong_count or wrong_format:
        raise ValueError(
            f"{owner} expects {_shape_text(channel_count, channel_format)}, but "
            f"{_describe_stream(metadata)} has {_shape_text(actual_count, actual_format)}."
        )
    if events:
        return
    if actual_format == _STRING:
        raise ValueError(
            f"{owner} emits frames, but {_describe_stream(metadata)} is a string stream; "
            "set events=True to receive its samples as events."
        )
    if metadata[Metadata.RATE] == pylsl.IRREGULAR_RATE:
        raise ValueError(
            f"{owner} emits frames, but {_describe_stream(metadata)} has an irregular rate; "
            "set events=True to receive its samples as events."
        )


def _same_stream_shape(a, b):
    keys = (Metadata.CHANNEL_COUNT, Metadata.CHANNEL_FORMAT, Metadata.RATE)
    return all(a.get(k) == b.get(k) for k in keys)


def _check_format(key, value):
    if value is not None:
        check_choice(key, value, FORMATS)


def _check_channel_count(key, value):
    check_int(key, value, 1, maximum=MAX_CHANNELS, allow_none=True)


def _check_events_format(owner, events, channel_format):
    if not events and channel_format == _STRING:
        raise ValueError(f"{owner}: a string stream needs events=True.")


def _check_labels(key, value, count):
    if value is None:
        return
    check_list(key, value)
    for label in value:
        check_str(key, label, allow_empty=True)
    if count is not None and len(value) != count:
        raise ValueError(f"{key} has {len(value)} labels for {count} channels.")
