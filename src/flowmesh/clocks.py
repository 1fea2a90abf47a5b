"""Clock offsets of streams whose timestamps are not on this machine's clock.

Kept apart from the XDF writer so that a source can hand offsets on without
loading it."""

#: The context key under which a source hands on its stream's `ClockOffsets`.
CLOCK_OFFSETS = "clock_offsets"


class ClockOffsets(list):
    """How far a stream's clock is from this machine's, measured as the run
    goes: (collection time on the local monotonic clock, seconds to add to the
    stream's timestamps) pairs, oldest first. A source whose timestamps are
    not on the local clock puts one in its context under `CLOCK_OFFSETS` and
    adds to it; a recorder writes each measurement as it appears. One thread
    may add while others read. A list, so that a context stays plain data
    (JSON writes the pairs); a copy is the same feed, as it is live."""

    __slots__ = ()

    def add(self, collection_time, offset):
        self.append((float(collection_time), float(offset)))

    def since(self, index):
        """The measurements from the `index`-th on."""
        return self[index:]

    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self
