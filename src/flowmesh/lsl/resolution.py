"""Finding streams on the network: the query for a node's settings, the
first stream that answers it, and whether a stream found is still there."""

import time

import pylsl

from .metadata import Metadata

# How often a resolution in progress looks for results.
_POLL = 0.02


def _xpath_literal(text):
    """`text` as an XPath 1.0 string literal (which has no escapes)."""
    if "'" not in text:
        return f"'{text}'"
    if '"' not in text:
        return f'"{text}"'
    parts = text.split("'")
    return "concat(" + ', "\'", '.join(f"'{p}'" for p in parts) + ")"


def stream_query(name=None, type=None, source_id=None, predicate=None):
    """The LSL predicate selecting streams with every given property (and, if
    given, matching the XPath `predicate` as well)."""
    terms = [
        f"{prop}={_xpath_literal(value)}"
        for prop, value in (("name", name), ("type", type), ("source_id", source_id))
        if value is not None
    ]
    if predicate is not None:
        terms.append(f"({predicate})" if terms else predicate)
    if not terms:
        raise ValueError("An LSL stream query needs a name, type, source id or predicate.")
    return " and ".join(terms)


def first_stream(query, stop, timeout):
    """The first stream matching `query`, looking until `timeout` seconds
    pass (None: until `stop` is set); None when stopped or timed out."""
    # A background resolver, polled: liblsl's queries go out in waves
    # (the first outlet of a machine answers at once, others a round
    # later), which short one-shot resolutions would keep cutting off.
    resolver = pylsl.ContinuousResolver(pred=query, forget_after=5.0)
    deadline = None if timeout is None else time.monotonic() + timeout
    while True:
        found = resolver.results()
        if found:
            return found[0]
        if deadline is None:
            wait = _POLL
        else:
            wait = min(_POLL, deadline - time.monotonic())
            if wait <= 0:
                return None
        if stop.wait(wait):
            return None


class _Presence:
    """Whether a stream is still announced on the network, asked of a
    background resolver so that the pulling thread never waits for it. The
    resolver runs only while the stream is silent: its queries are traffic,
    and its wake-ups cost a real-time process on a busy machine."""

    # liblsl hears from a stream once per wave of queries, up to a second
    # apart on a busy machine: a resolver that forgets sooner than this
    # finds a stream that is there gone between two waves.
    FORGET_AT_LEAST = 2.0

    def __init__(self, metadata, forget_after):
        self._query = stream_query(
            name=metadata[Metadata.STREAM_NAME],
            type=metadata[Metadata.STREAM_TYPE],
            source_id=metadata[Metadata.SOURCE_ID],
        )
        self._forget_after = max(forget_after, self.FORGET_AT_LEAST)
        self._resolver = None
        self._since = 0.0

    def present(self):
        if self._resolver is None:
            self._resolver = pylsl.ContinuousResolver(
                pred=self._query, forget_after=self._forget_after
            )
            self._since = time.monotonic()
        # A young resolver has not heard back yet: give it its forgetting time.
        if time.monotonic() - self._since < self._forget_after:
            return True
        return bool(self._resolver.results())

    def heard(self):
        """The stream spoke: no need to look for it."""
        self._resolver = None
