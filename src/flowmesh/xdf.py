"""XDF recordings: a streaming writer that survives crashes, and readers.

`XdfWriter` writes the XDF 1.0 container as data arrives: the magic bytes and
a file header, one stream header per stream (XML info with name, type,
channel count, nominal rate, channel format, source id, creation time and,
when known, channel labels and units), samples chunks with a timestamp on
every sample, clock-offset chunks, a boundary chunk every
`boundary_interval` seconds and, at a clean close, one footer per stream
(first and last timestamp, sample count, clock offsets).

`BackgroundWriter` owns an `XdfWriter` on a thread of its own, fed through a
bounded queue: a producer never waits on the disk. Every item accepted is
on its way to the OS within `flush_interval` seconds and on the disk within
`fsync_interval` (None: at close only); an item refused because the queue is
full is counted in `dropped`, never lost unseen.

Crash safety: bytes reach the file only in whole chunks, through `os.write`
(no buffer of the process holds data past a flush), so a process killed at
any moment leaves a file whose complete chunks hold every flushed sample.
Each flush writes its chunks but their first byte, then that byte: a kill
at any byte of a flush leaves a file that `pyxdf` reads up to the flush,
where it would refuse a file cut inside a stream header or a clock offset.
The samples chunks also choose the width of their length field so that a
cut at a page boundary of a finished file never falls inside a chunk's tag,
where `pyxdf` could not step over it.

Readers go through `pyxdf` and never past the last complete chunk of the
file: `load`, `info`, `to_mne` and `export`.
"""

import collections
import errno
import io
import json
import logging
import math
import os
import socket
import stat
import struct
import threading
import time
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape

import numpy as np

from .constants import EXPORT_FORMATS

__all__ = [
    "FORMATS",
    "BackgroundWriter",
    "XdfError",
    "XdfWriter",
    "export",
    "encode_samples",
    "format_of",
    "info",
    "json_text",
    "load",
    "stream_header",
    "streams",
    "summary",
    "to_mne",
]

_MAGIC = b"XDF:"
_FILE_HEADER, _STREAM_HEADER, _SAMPLES, _CLOCK_OFFSET, _BOUNDARY, _STREAM_FOOTER = range(1, 7)
# Fixed by the format: a reader that lost its place looks for these bytes.
_BOUNDARY_UUID = bytes.fromhex("43A546DCCBF5410FB30ED5467383CBE4")
_PAGE = 4096
_IOV_MAX = 512
_ADVISE = getattr(os, "POSIX_FADV_DONTNEED", None)
# Frames of at most this many samples are copied together before encoding,
# about this many bytes at a time.
_SMALL = 4096
_GROUP_BYTES = 1 << 20
# Items queued at once that wake the writer before its tick.
_BURST = 512

#: Channel formats of XDF and the little-endian dtype each is stored as.
FORMATS = {
    "float32": np.dtype("<f4"),
    "double64": np.dtype("<f8"),
    "int8": np.dtype("i1"),
    "int16": np.dtype("<i2"),
    "int32": np.dtype("<i4"),
    "int64": np.dtype("<i8"),
    "string": None,
}

# numpy kinds stored without loss in a wider signed format.
_WIDENED = {
    np.dtype("bool"): "int8",
    np.dtype("uint8"): "int16",
    np.dtype("uint16"): "int32",
    np.dtype("uint32"): "int64",
}


class XdfError(OSError):
    """A recording that cannot be written or a file that cannot be read; the
    message names the file and the reason on one line."""


def format_of(dtype):
    """The XDF channel format that holds values of `dtype` without loss."""
    dtype = np.dtype(dtype)
    if dtype in _WIDENED:
        return _WIDENED[dtype]
    for name, stored in FORMATS.items():
        if stored is not None and dtype.kind == stored.kind and dtype.itemsize == stored.itemsize:
            return name
    if dtype.kind in "US":
        return "string"
    raise TypeError(f"values of dtype {dtype} have no XDF channel format")


def _varlen(n):
    if n < 0x100:
        return b"\x01" + n.to_bytes(1, "little")
    if n < 0x1_0000_0000:
        return b"\x04" + n.to_bytes(4, "little")
    return b"\x08" + n.to_bytes(8, "little")


def _xml(root, fields):
    """An XML document <root> with one element per (tag, text-or-raw) pair."""
    parts = ['<?xml version="1.0"?>', f"<{root}>"]
    for tag, value in fields:
        if isinstance(value, _Raw):
            parts.append(f"<{tag}>{value.text}</{tag}>")
        else:
            parts.append(f"<{tag}>{escape(str(value))}</{tag}>")
    parts.append(f"</{root}>")
    return "".join(parts).encode("utf-8")


class _Raw:
    __slots__ = ("text",)

    def __init__(self, text):
        self.text = text


def _text(value):
    # XML 1.0 cannot carry most control characters, even escaped.
    return escape("".join(c if c >= " " or c in "\t\n\r" else "\ufffd" for c in str(value)))


def _number(value):
    return repr(float(value)) if math.isfinite(value) else "0"


class _Stream:
    __slots__ = ("id", "fmt", "channels", "first", "last", "count", "offsets")

    def __init__(self, stream_id, fmt, channels):
        self.id = stream_id
        self.fmt = fmt
        self.channels = channels
        self.first = self.last = None
        self.count = 0
        self.offsets = []


def _open_new(path, overwrite):
    """A descriptor for writing `path`, which is created, or (with
    `overwrite`) emptied when it is a regular file; nothing else is opened."""
    shown = os.fsdecode(path)
    if shown.endswith(os.sep):
        raise XdfError(f"{shown}: a path ending in a separator names a directory, not a file")
    flags = os.O_WRONLY | os.O_CREAT | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0)
    if not overwrite:
        flags |= os.O_EXCL
    try:
        fd = os.open(path, flags, 0o666)
    except FileExistsError:
        raise XdfError(f"{shown}: exists; pass overwrite=True to replace it") from None
    except OSError as e:
        raise XdfError(f"{shown}: cannot be opened for writing: {e.strerror}") from e
    try:
        # Checked on the descriptor, so a file swapped in meanwhile is seen;
        # O_NONBLOCK kept a FIFO from stalling the open itself.
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise XdfError(f"{shown}: is not a regular file; only a regular file is replaced")
        os.set_blocking(fd, True)
        os.ftruncate(fd, 0)
    except OSError as e:
        os.close(fd)
        if isinstance(e, XdfError):
            raise
        raise XdfError(f"{shown}: cannot be written: {e.strerror}") from e
    return fd


def stream_header(
    stream_id,
    name,
    *,
    type="",
    channel_count=1,
    nominal_srate=0.0,
    channel_format="float32",
    source_id="",
    labels=None,
    units=None,
    created_at=None,
    json_values=False,
):
    """(content of the stream header chunk, format, channel count), after
    checking the description. `json_values` marks a string stream whose
    values are JSON texts, so a reader can give the values back."""
    if channel_format not in FORMATS:
        raise ValueError(
            f"channel_format must be one of {', '.join(FORMATS)}, got {channel_format!r}"
        )
    if isinstance(channel_count, bool) or not isinstance(channel_count, int):
        raise TypeError(f"channel_count must be an int, got {channel_count!r}")
    if channel_count < 1:
        raise ValueError(f"channel_count must be >= 1, got {channel_count}")
    try:
        srate = float(nominal_srate)
    except (TypeError, ValueError):
        srate = math.nan
    if not math.isfinite(srate) or srate < 0:
        raise ValueError(f"nominal_srate must be a finite number >= 0, got {nominal_srate!r}")
    for key, values in (("labels", labels), ("units", units)):
        if values is not None and len(values) != channel_count:
            raise ValueError(f"{key} has {len(values)} entries for {channel_count} channels")
    desc = ""
    if labels is not None or units is not None:
        channels = []
        for i in range(channel_count):
            entry = ""
            if labels is not None:
                entry += f"<label>{_text(labels[i])}</label>"
            if units is not None:
                entry += f"<unit>{_text(units[i])}</unit>"
            channels.append(f"<channel>{entry}</channel>")
        desc = f"<channels>{''.join(channels)}</channels>"
    if json_values:
        desc += "<flowmesh><encoding>json</encoding></flowmesh>"
    fields = [
        ("name", _Raw(_text(name))),
        ("type", _Raw(_text(type))),
        ("channel_count", channel_count),
        ("nominal_srate", _number(srate)),
        ("channel_format", channel_format),
        ("source_id", _Raw(_text(source_id))),
        ("version", "1.1"),
        ("created_at", _number(time.monotonic() if created_at is None else created_at)),
        ("uid", f"{os.getpid():x}-{time.time_ns():x}-{stream_id}"),
        ("hostname", _Raw(_text(socket.gethostname()))),
        ("desc", _Raw(desc)),
    ]
    content = struct.pack("<I", stream_id) + _xml("info", fields)
    return content, channel_format, channel_count


def encode_samples(fmt, channels, record, values, timestamps):
    """(count, body, first timestamp, last timestamp): the samples part of a
    samples chunk, for a stream of format `fmt` with `channels` channels
    (`record`: its `_record_dtype`, or None to make it here). The body is a
    copy: `values` may change once this returns."""
    stamps = np.ascontiguousarray(timestamps, dtype=np.float64).reshape(-1)
    n = len(stamps)
    if n == 0:
        return 0, b"", None, None
    dtype = FORMATS[fmt]
    if dtype is None:
        body = bytearray()
        for t, row in zip(stamps.tolist(), _string_rows(values, channels, n), strict=True):
            body += b"\x08" + struct.pack("<d", t)
            for text in row:
                raw = text.encode("utf-8", "surrogatepass")
                body += _varlen(len(raw)) + raw
        return n, bytes(body), float(stamps[0]), float(stamps[-1])
    array = np.asarray(values)
    if array.ndim <= 1 and array.size == n * channels:
        array = array.reshape(n, channels)
    if array.shape != (n, channels):
        raise ValueError(
            f"{n} timestamps for values of shape {array.shape}; the stream has "
            f"{channels} channel(s)"
        )
    if array.dtype.kind not in "biuf":
        raise TypeError(f"values of dtype {array.dtype} do not fit format {fmt}")
    if record is None:
        record = _record_dtype(dtype, channels)
    records = np.empty(n, dtype=record)
    records["n"] = 8
    records["t"] = stamps
    records["v"] = array
    return n, records.view(np.uint8), float(stamps[0]), float(stamps[-1])


def _record_dtype(dtype, channels):
    return np.dtype([("n", "u1"), ("t", "<f8"), ("v", dtype, (channels,))])


class XdfWriter:
    """Writes one XDF file; used by one thread at a time.

    Chunks are built in memory and reach the file at `flush` (and `close`),
    whole. `close` writes the stream footers; a writer that is dropped
    without it leaves a valid file without footers.
    """

    def __init__(self, path, *, overwrite=False, boundary_interval=10.0):
        self.path = os.fsdecode(path)
        self._fd = _open_new(path, overwrite)
        # Built chunks, as buffers handed to one writev: never copied together.
        self._parts = [_MAGIC]
        self._pending = len(_MAGIC)
        self._offset = 0  # bytes already in the file
        self._streams = {}
        self._boundary_interval = boundary_interval
        self._next_boundary = time.monotonic() + boundary_interval
        self.closed = False
        created = time.strftime("%Y-%m-%dT%H:%M:%S%z")
        self._chunk(_FILE_HEADER, _xml("info", [("version", "1.0"), ("datetime", created)]))
        self.flush(sync=True)

    @property
    def size(self):
        """Bytes written so far, buffered ones included."""
        return self._offset + self._pending

    def _chunk(self, tag, *content):
        length = sum(len(part) for part in content) + 2
        start = self.size
        width = 4 if length < 0x1_0000_0000 else 8
        # A write cut short by the process's death ends on a page boundary:
        # keep that boundary out of the two bytes of the tag.
        if width == 4 and (start + 5) % _PAGE in (0, _PAGE - 1):
            width = 8
        head = bytes((width,)) + length.to_bytes(width, "little") + struct.pack("<H", tag)
        self._parts.append(head)
        self._parts.extend(content)
        self._pending += len(head) + length - 2

    def add_stream(self, name, **info):
        """Declare a stream (see `stream_header` for the description);
        returns its id for `write_samples`."""
        stream_id = len(self._streams) + 1
        self._add(stream_id, *stream_header(stream_id, name, **info))
        return stream_id

    def _add(self, stream_id, header, channel_format, channel_count):
        if stream_id in self._streams:
            raise ValueError(f"stream {stream_id} declared twice")
        self._chunk(_STREAM_HEADER, header)
        self._streams[stream_id] = _Stream(stream_id, channel_format, channel_count)

    def _stream(self, stream_id):
        try:
            return self._streams[stream_id]
        except (KeyError, TypeError):
            raise ValueError(f"no stream with id {stream_id!r}") from None

    def write_samples(self, stream_id, values, timestamps):
        """Append samples: `values` (samples x channels; 1-D is one sample per
        entry of a one-channel stream, or one sample of several channels)
        with one timestamp (seconds) per sample; a string stream takes str
        values (anything else as its JSON text)."""
        s = self._stream(stream_id)
        self.write_encoded(stream_id, *encode_samples(s.fmt, s.channels, None, values, timestamps))

    def write_encoded(self, stream_id, n, body, first, last):
        """Append samples made by `encode_samples`."""
        self.write_encoded_many(stream_id, [(stream_id, n, body, first, last)])

    def write_encoded_many(self, stream_id, items):
        """Append, as one chunk, the samples of (stream id, n, body, first,
        last) items made by `encode_samples` for the stream `stream_id`."""
        s = self._stream(stream_id)
        items = [item for item in items if item[1]]
        n = sum(item[1] for item in items)
        if n == 0:
            return
        self._chunk(_SAMPLES, struct.pack("<I", s.id) + _varlen(n), *(i[2] for i in items))
        if s.first is None:
            s.first = items[0][3]
        s.last = items[-1][4]
        s.count += n

    def write_clock_offset(self, stream_id, collection_time, offset):
        """Record that the stream's clock read `offset` seconds off the
        recorder's at `collection_time` (recorder's clock)."""
        s = self._stream(stream_id)
        self._chunk(_CLOCK_OFFSET, struct.pack("<Idd", s.id, collection_time, offset))
        s.offsets.append((float(collection_time), float(offset)))

    def boundary(self):
        self._chunk(_BOUNDARY, _BOUNDARY_UUID)
        self._next_boundary = time.monotonic() + self._boundary_interval

    def flush(self, sync=False):
        """Hand every chunk built so far to the OS (and to the disk with `sync`)."""
        if time.monotonic() >= self._next_boundary and not self.closed:
            self.boundary()
        parts = self._parts
        try:
            # A boundary chunk ends a batch: see `_commit`.
            while parts:
                end = next((k + 1 for k, p in enumerate(parts) if p is _BOUNDARY_UUID), len(parts))
                self._commit(parts[:end])
                del parts[:end]
            if sync:
                os.fsync(self._fd)
        except OSError as e:
            raise XdfError(f"{self.path}: cannot be written: {e.strerror}") from e

    def _commit(self, batch):
        """Write `batch` at the end of the file: all of it but its first byte,
        then that byte. Until the last write, the batch begins with a zero
        where a chunk's length width belongs, and a reader stops there: a
        process killed at any byte of the batch leaves a file that reads up
        to the batch, since no reader can tell a torn stream header or clock
        offset from a bad file. A reader that searches past a bad chunk for
        a boundary finds none in the batch but at its very end."""
        size = sum(len(p) for p in batch)
        first = memoryview(batch[0])
        rest = [first[1:], *batch[1:]]
        os.lseek(self._fd, self._offset + 1, os.SEEK_SET)
        while rest:
            done = os.writev(self._fd, rest[:_IOV_MAX])
            whole = 0
            while whole < len(rest) and done >= len(rest[whole]):
                done -= len(rest[whole])
                whole += 1
            del rest[:whole]
            if done:
                rest[0] = memoryview(rest[0])[done:]
        if os.pwrite(self._fd, first[:1], self._offset) != 1:
            raise OSError(errno.EIO, os.strerror(errno.EIO))
        if _ADVISE is not None:
            # Written back now rather than all at once at the next sync (which
            # then finds little to do), and out of the cache: a recording is
            # not read back while written. The page still being filled stays.
            begin, end = self._offset // _PAGE * _PAGE, (self._offset + size) // _PAGE * _PAGE
            if end > begin:
                try:
                    os.posix_fadvise(self._fd, begin, end - begin, _ADVISE)
                except OSError:
                    pass  # only advice
        self._offset += size
        self._pending -= size

    def close(self, footers=True):
        """Write the footers (unless told not to), flush, sync and close."""
        if self.closed:
            return
        try:
            if footers:
                for s in self._streams.values():
                    offsets = "".join(
                        f"<offset><time>{_number(t)}</time><value>{_number(v)}</value></offset>"
                        for t, v in s.offsets
                    )
                    fields = [
                        ("first_timestamp", _number(s.first or 0.0)),
                        ("last_timestamp", _number(s.last or 0.0)),
                        ("sample_count", s.count),
                        ("clock_offsets", _Raw(offsets)),
                    ]
                    self._chunk(_STREAM_FOOTER, struct.pack("<I", s.id) + _xml("info", fields))
            self.flush(sync=True)
        finally:
            self.closed = True
            os.close(self._fd)

    def stats(self):
        """Per stream id: samples written so far."""
        return {sid: s.count for sid, s in self._streams.items()}


def _string_rows(values, channels, n):
    """Rows of text for a string stream: str values as they are, anything
    else as its JSON text."""
    if isinstance(values, (str, bytes)) or not hasattr(values, "__len__"):
        values = [values]
    rows = list(values)
    if len(rows) != n:
        raise ValueError(f"{n} timestamps for {len(rows)} samples")
    out = []
    for row in rows:
        cells = row if channels > 1 else [row]
        if len(cells) != channels:
            raise ValueError(f"a sample has {len(cells)} values for {channels} channels")
        out.append([c if type(c) is str else json_text(c) for c in cells])
    return out


def json_text(value):
    """`value` as JSON text; what JSON cannot hold as the text of its repr
    (or of its type's name, when even that fails)."""
    if isinstance(value, np.generic):
        value = value.item()
    elif isinstance(value, np.ndarray) and value.dtype.kind in "biufUS":
        value = value.tolist()
    try:
        return json.dumps(value, allow_nan=False, ensure_ascii=False)
    except Exception:
        pass
    try:
        return json.dumps(repr(value), ensure_ascii=False)
    except BaseException:
        # Even a repr that raises SystemExit must not end a recording: this
        # runs on the writer's thread, where no signal is delivered.
        return json.dumps(f"<{type(value).__name__}>")


# Heads of the queue's items other than samples (whose head is a stream id).
_CLOSE, _STREAM, _OFFSET = object(), object(), object()


class BackgroundWriter:
    """An `XdfWriter` driven by a thread of its own.

    The file is opened here, so a path that cannot be written raises at
    once. `push` encodes the samples in the caller (a copy; samples that do
    not fit the stream raise there) and appends them to a queue of at most
    `queue_size` items without waking anyone: the writer thread takes the
    queue in batches every `tick` seconds, so the data path never waits for
    it nor hands it the interpreter per item. `push` returns False (and
    counts the item in `dropped`) when the queue is full or the writer
    failed. `error` holds the writer's failure; `close` writes every queued
    item, the footers, syncs, and raises that failure if there was one.
    """

    def __init__(
        self,
        path,
        *,
        overwrite=False,
        flush_interval=1.0,
        fsync_interval=5.0,
        queue_size=10_000,
        boundary_interval=10.0,
        tick=None,
    ):
        if not (isinstance(flush_interval, (int, float)) and 0 < flush_interval < math.inf):
            raise ValueError(f"flush_interval must be a positive number, got {flush_interval!r}")
        if fsync_interval is not None and not (
            isinstance(fsync_interval, (int, float)) and 0 < fsync_interval < math.inf
        ):
            raise ValueError(
                f"fsync_interval must be a positive number or None, got {fsync_interval!r}"
            )
        self._writer = XdfWriter(path, overwrite=overwrite, boundary_interval=boundary_interval)
        self.path = self._writer.path
        self._flush_interval = float(flush_interval)
        self._fsync_interval = None if fsync_interval is None else float(fsync_interval)
        # Taken often enough that an item is in the OS well within the flush
        # interval of its arrival.
        self._tick = min(0.05, self._flush_interval / 4) if tick is None else tick
        self._bound = queue_size
        # While fewer items than this are queued, an append is all that a
        # caller on a data path needs to do (`append` does the rest: the
        # bound, a burst's wake, drops); 0 once closed or failed.
        self.room = queue_size if _BURST is None else min(queue_size, _BURST)
        # What `append` takes, for the writer's thread; read it, or append
        # to it while `room` allows, never take from it.
        self.queue = collections.deque()
        self._wake = threading.Event()
        self._ids = 0
        self._shapes = {}  # stream id -> (format, channels, record dtype, nominal rate)
        self._json = set()  # string streams whose values are written as JSON text
        self._scratch = {}  # stream id -> records that small frames are encoded into
        self._lock = threading.Lock()
        self.dropped = 0  # items refused by `push` or lost to a failure
        self.dropped_samples = 0
        self._taken = 0  # sample items the writer's thread took from the queue
        self._open = True
        self.error = None
        self.last_flush = time.monotonic()
        self._closing = self._close_sent = False
        self._thread = threading.Thread(target=self._run, name=f"xdf:{self.path}", daemon=True)
        self._thread.start()

    @property
    def size(self):
        return self._writer.size

    def samples(self):
        """Per stream id: samples in the file so far (flushed or not)."""
        return self._writer.stats()

    def add_stream(self, name, **info):
        """Declare a stream (see `stream_header`); its header is written
        before any later item. Returns the stream's id."""
        header = self._declare(name, info)
        self.queue.append(header)
        self._wake.set()
        return header[1]

    def _declare(self, name, info):
        """A new stream's id registered, and the item that writes its header."""
        with self._lock:
            stream_id = self._ids + 1
            # Checked here, so the caller hears of a bad description at once.
            declared = stream_header(stream_id, name, **info)
            self._ids = stream_id
            fmt, channels = declared[1:]
            record = None if FORMATS[fmt] is None else _record_dtype(FORMATS[fmt], channels)
            rate = float(info.get("nominal_srate", 0.0))
            self._shapes[stream_id] = (fmt, channels, record, rate)
            if info.get("json_values"):
                self._json.add(stream_id)
        return (_STREAM, stream_id, declared)

    def push(self, stream_id, values, timestamps=None, arrival=None):
        """Queue samples (see `XdfWriter.write_samples`); False when dropped.

        Nothing is copied or checked here, so that a caller on a data path
        pays for an append only: `values` must not change afterwards (frames
        never do once delivered), and samples that do not fit the stream
        fail the writer. Without `timestamps`, the last sample is stamped
        `arrival` and the ones before it are spaced at the stream's nominal
        rate (all at `arrival` for an irregular stream).
        """
        if stream_id not in self._shapes:
            raise ValueError(f"no stream with id {stream_id!r}")
        return self.append((stream_id, values, timestamps, arrival))

    def append(self, item):
        """`push` for a caller that made (stream id, values, timestamps,
        arrival) itself: no lock taken unless the item is dropped."""
        queue = self.queue
        # A deque's append is atomic; the bound may be passed by one item
        # per producing thread, no more.
        n = len(queue)
        if self._open and n < self._bound:
            queue.append(item)
            if n == _BURST:
                # A burst: the writer starts on it rather than at its next tick.
                self._wake.set()
            return True
        self._lost(item)
        return False

    def _lost(self, item):
        items, samples = self._weigh(item)
        with self._lock:
            self.dropped += items
            self.dropped_samples += samples

    def _weigh(self, item):
        """(sample items, samples) that a queued item of samples stands for."""
        return 1, _count(item[1], item[2])

    def _expand(self, item, batch):
        """On the writer's thread: append to `batch` the items that a queued
        item headed by a dict (a subclass's own) stands for: samples as
        `push` takes them, `_declare`'s header items, `_offset_item`s."""
        raise TypeError(f"no item of the queue is headed by a {type(item[0]).__name__}")

    def _collect(self, batch):
        """On the writer's thread, before the queue is taken and before the
        close is written: a subclass's items kept outside the queue, as
        `_expand` appends them."""

    def _drop_collected(self):
        """What `_collect` would have taken, counted as dropped."""

    @staticmethod
    def _offset_item(stream_id, collection_time, offset):
        return (_OFFSET, stream_id, collection_time, offset)

    @property
    def accepted(self):
        """Sample items taken by `push` and not dropped since."""
        queued = list(self.queue)
        return self._taken + sum(
            self._weigh(item)[0] for item in queued if type(item[0]) is not object
        )

    def clock_offset(self, stream_id, collection_time, offset):
        if self._open:
            self.queue.append(self._offset_item(stream_id, collection_time, offset))

    def close(self, footers=True, timeout=None):
        """Write what is queued, the footers, sync, close; raise the
        writer's failure if there was one."""
        with self._lock:
            send, self._close_sent = not self._close_sent, True
            self._closing = True
            self._open = False
            self.room = 0
            if send:
                self.queue.append((_CLOSE, footers))
        self._wake.set()
        self._thread.join(timeout)
        if self._thread.is_alive():
            raise XdfError(f"{self.path}: the writer did not finish within {timeout} s")
        self._drop_queued()
        if self.error is not None:
            raise self.error

    def _run(self):
        w = self._writer
        taken = self.queue.popleft
        flush_at = fsync_at = None
        # Flush at half the interval after the first unflushed item.
        half = self._flush_interval / 2
        closing = None
        # What a failed write leaves unwritten: the run being written and the
        # batch from `done` on, counted as dropped.
        batch, run, done = [], [], 0
        try:
            while closing is None:
                self._wake.wait(self._tick)
                self._wake.clear()
                batch, done = [], 0
                self._collect(batch)
                while True:
                    try:
                        item = taken()
                    except IndexError:
                        break
                    head = item[0]
                    if type(head) is dict:
                        self._expand(item, batch)
                    else:
                        if head is _CLOSE:
                            self._collect(batch)  # all that came before the close
                        batch.append(item)
                now = time.monotonic()
                if batch and flush_at is None:
                    flush_at = now + half
                run_id, run = None, []  # consecutive samples of one stream: one chunk
                for done, item in enumerate(batch):
                    head = item[0]
                    if type(head) is int:
                        if head != run_id:
                            if run:
                                self._write_run(w, run_id, run)
                            run_id, run = head, []
                        run.append(item)
                        self._taken += 1
                        continue
                    if run:
                        self._write_run(w, run_id, run)
                        run_id, run = None, []
                    if head is _STREAM:
                        w._add(item[1], *item[2])
                        flush_at = now  # a header goes out at once
                    elif head is _OFFSET:
                        w.write_clock_offset(*item[1:])
                    else:
                        closing = item
                        break
                done = len(batch)
                if run:
                    self._write_run(w, run_id, run)
                    run = []
                now = time.monotonic()
                due = fsync_at is not None and now >= fsync_at
                if closing is None and (due or (flush_at is not None and now >= flush_at)):
                    if fsync_at is None and self._fsync_interval is not None:
                        fsync_at = now + self._fsync_interval
                    sync = fsync_at is not None and now >= fsync_at
                    w.flush(sync=sync)
                    if sync:
                        fsync_at = None
                    self.last_flush = time.monotonic()
                    flush_at = None
            w.close(footers=closing[1])
            self.last_flush = time.monotonic()
        except BaseException as e:
            with self._lock:
                self.error = e if isinstance(e, XdfError) else _wrapped(self.path, e)
                self._closing = True
                self._open = False
                self.room = 0
            self._taken -= len(run)
            for item in run + [i for i in batch[done:] if type(i[0]) is int]:
                self._lost(item)
            self._drop_queued()
            try:
                w.close(footers=False)
            except Exception:
                pass
            self._failed(self.error)

    def _failed(self, error):
        """On the writer's thread, once it has given up with `error`."""

    def _drop_queued(self):
        """Count what is left in the queue, never to be written, as dropped."""
        self._drop_collected()
        while True:
            try:
                item = self.queue.popleft()
            except IndexError:
                return
            if type(item[0]) is not object:
                self._lost(item)

    def _write_run(self, w, stream_id, items):
        """Consecutive queued items of one stream: small numeric frames in
        chunks of about `_GROUP_BYTES`, each encoded into one buffer of the
        stream and handed to the OS at once, so that the buffer serves the
        next (a few numpy calls per chunk rather than per frame, and no fresh
        memory); anything else as one chunk."""
        fmt, channels, record, _ = self._shapes[stream_id]
        if len(items) > 1 and FORMATS[fmt] is not None:
            frames, rows, arrivals, ends = [], [], [], []
            size, limit = 0, _group_rows(record)
            for _, values, stamps, arrival in items:
                if (
                    stamps is not None
                    or type(values) is not np.ndarray
                    or values.ndim != 2
                    or len(values) > _SMALL
                    or values.dtype.kind not in "biuf"
                ):
                    break
                if values.shape[1] != channels:
                    raise ValueError(
                        f"a frame of shape {values.shape} for a stream of {channels} channel(s)"
                    )
                frames.append(values)
                rows.append(len(values))
                arrivals.append(arrival)
                size += len(values)
                if size >= limit:
                    ends.append(len(frames))
                    size = 0
            else:
                begin = 0
                for end in [*ends, len(frames)] if size else ends:
                    self._write_group(
                        w, stream_id, frames[begin:end], rows[begin:end], arrivals[begin:end]
                    )
                    begin = end
                return
        w.write_encoded_many(stream_id, [self._encode(item) for item in items])

    def _write_group(self, w, stream_id, frames, rows, arrivals):
        fmt, channels, record, rate = self._shapes[stream_id]
        counts = np.array(rows, dtype=np.int64)
        n = int(counts.sum())
        # A full group goes out at once from the stream's buffer; the rest of
        # a run waits for the next flush in memory of its own.
        full = n >= _group_rows(record)
        records = self._scratch.get(stream_id) if full else None
        if records is None or len(records) < n:
            # Room for the largest full group: one that one more frame tipped over.
            records = np.empty(_group_rows(record) + _SMALL if full else n, dtype=record)
            records["n"] = 8
            if full:
                self._scratch[stream_id] = records
        records = records[:n]
        np.concatenate(frames, out=records["v"], casting="unsafe")
        stamps = np.repeat(np.array(arrivals, dtype=np.float64), counts)
        if rate:
            # Samples before a frame's last one lie 1/rate apart, ending at its arrival.
            stamps -= (np.repeat(np.cumsum(counts), counts) - 1 - np.arange(n)) / rate
        records["t"] = stamps
        w.write_encoded(stream_id, n, records.view(np.uint8), float(stamps[0]), float(stamps[-1]))
        if full:
            w.flush()  # the buffer is free again once the OS has the bytes
            self.last_flush = time.monotonic()

    def _encode(self, item):
        stream_id, values, stamps, arrival = item
        fmt, channels, record, rate = self._shapes[stream_id]
        if stream_id in self._json:
            values = [json_text(v) for v in values]
        if stamps is None:
            n = _count(values, None) if FORMATS[fmt] is None else _rows(values, channels)
            if rate and n > 1:
                stamps = arrival - np.arange(n - 1, -1, -1) / rate
            else:
                stamps = np.full(n, arrival, dtype=np.float64)
        return (stream_id, *encode_samples(fmt, channels, record, values, stamps))


def _group_rows(record):
    return max(1, _GROUP_BYTES // record.itemsize)


def _rows(values, channels):
    """Samples in a numeric frame (1-D: one sample of `channels` channels,
    or one sample per entry for a one-channel stream)."""
    shape = np.shape(values)
    if len(shape) == 2:
        return shape[0]
    if len(shape) == 1 and channels == 1:
        return shape[0]
    return 1


def _count(values, timestamps):
    if timestamps is not None:
        return int(np.size(timestamps))
    if isinstance(values, np.ndarray):
        return values.shape[0] if values.ndim == 2 else 1
    if isinstance(values, (list, tuple)):
        return len(values)
    return 1


def _wrapped(path, error):
    wrapped = XdfError(f"{path}: recording failed: {type(error).__name__}: {error}")
    wrapped.__cause__ = error
    return wrapped


# ---------------------------------------------------------------- reading


def _intact_end(f, size):
    """The offset just past the last complete chunk (after the magic)."""
    end = len(_MAGIC)
    f.seek(end)
    while end < size:
        head = f.read(9)
        if not head or head[0] not in (1, 4, 8) or len(head) < 1 + head[0]:
            break
        length = int.from_bytes(head[1 : 1 + head[0]], "little")
        following = end + 1 + head[0] + length
        if length < 2 or following > size:
            break
        end = following
        f.seek(end)
    return end


class _Prefix(io.RawIOBase):
    """The first `end` bytes of a file, as a file."""

    def __init__(self, f, end):
        self._f, self._end, self._pos = f, end, 0

    def readable(self):
        return True

    def seekable(self):
        return True

    def readinto(self, buffer):
        n = max(0, min(len(buffer), self._end - self._pos))
        self._f.seek(self._pos)
        got = self._f.readinto(memoryview(buffer)[:n])
        self._pos += got
        return got

    def seek(self, offset, whence=0):
        base = (0, self._pos, self._end)[whence]
        self._pos = max(0, base + offset)
        return self._pos

    def tell(self):
        return self._pos

    def close(self):
        self._f.close()
        super().close()


def _open_intact(path):
    shown = os.fsdecode(path)
    try:
        f = open(path, "rb")
    except OSError as e:
        raise XdfError(f"{shown}: cannot be read: {e.strerror}") from e
    try:
        if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
            raise XdfError(f"{shown}: is not a regular file")
        if f.read(4) != _MAGIC:
            raise XdfError(f"{shown}: not an XDF file")
        size = os.fstat(f.fileno()).st_size
        end = _intact_end(f, size)
    except BaseException:
        f.close()
        raise
    return f, end


def streams(path):
    """The stream headers of an XDF file, read without its samples: a list
    of dicts (id, name, type, channel_count, nominal_srate, channel_format,
    source_id, labels)."""
    f, end = _open_intact(path)
    found = []
    with f:
        pos = len(_MAGIC)
        while pos < end:
            f.seek(pos)
            width = f.read(1)[0]
            length = int.from_bytes(f.read(width), "little")
            tag = struct.unpack("<H", f.read(2))[0]
            if tag == _STREAM_HEADER:
                sid = struct.unpack("<I", f.read(4))[0]
                try:
                    found.append({"id": sid, **_header_fields(ET.fromstring(f.read(length - 6)))})
                except ET.ParseError as e:
                    raise XdfError(f"{os.fsdecode(path)}: stream {sid} header: {e}") from e
            pos += 1 + width + length
    return found


def _header_fields(root):
    def text(tag, default=""):
        node = root.find(tag)
        return default if node is None or node.text is None else node.text

    labels = [c.findtext("label") or "" for c in root.findall("./desc/channels/channel")]
    units = [c.findtext("unit") or "" for c in root.findall("./desc/channels/channel")]
    try:
        count = int(text("channel_count", "0"))
        srate = float(text("nominal_srate", "0"))
    except ValueError:
        count, srate = 0, 0.0
    return {
        "name": text("name"),
        "type": text("type"),
        "channel_count": count,
        "nominal_srate": srate,
        "channel_format": text("channel_format", "float32"),
        "source_id": text("source_id"),
        "labels": labels if len(labels) == count and any(labels) else None,
        "units": units if len(units) == count and any(units) else None,
    }


class _Quiet(logging.Filter):
    # pyxdf says this of every stream when clocks are synchronised but
    # timestamps not dejittered: it describes no fault of the file.
    def filter(self, record):
        return "clock-segments differ" not in str(record.msg)


_quiet = _Quiet()


def load(path, select=None, *, dejitter=False, synchronize_clocks=True):
    """Read an XDF file with `pyxdf` up to its last complete chunk.

    `select`: None (every stream), or a list of stream ids or of dicts
    matched against the headers (name, type, ...; every key must match).
    Returns (streams, file header) as `pyxdf.load_xdf` does; each stream also
    carries "complete" (whether its footer was written). Timestamps are as
    recorded unless `dejitter`.
    """
    import pyxdf

    shown = os.fsdecode(path)
    headers = streams(path)
    ids = None
    if select is not None:
        ids = []
        for entry in select:
            if isinstance(entry, dict):
                ids += [
                    h["id"]
                    for h in headers
                    if all(str(h.get(k)) == str(v) for k, v in entry.items())
                ]
            elif isinstance(entry, int) and not isinstance(entry, bool):
                ids.append(entry)
            else:
                raise TypeError(f"select takes stream ids or dicts, got {entry!r}")
        ids = sorted(set(ids))
        if not ids:
            return [], None
    f, end = _open_intact(path)
    reader = io.BufferedReader(_Prefix(f, end))
    log = logging.getLogger(pyxdf.pyxdf.__name__)
    log.addFilter(_quiet)
    try:
        loaded, header = pyxdf.load_xdf(
            reader,
            select_streams=ids,
            synchronize_clocks=synchronize_clocks,
            dejitter_timestamps=dejitter,
        )
    except Exception as e:
        raise XdfError(f"{shown}: unreadable XDF: {type(e).__name__}: {e}") from e
    finally:
        log.removeFilter(_quiet)
        reader.close()
    for s in loaded:
        s["complete"] = "footer" in s
    return loaded, header


def _first(info, key, default=""):
    value = info.get(key, [default])
    return value[0] if isinstance(value, list) and value else value


def _labels(stream):
    try:
        channels = stream["info"]["desc"][0]["channels"][0]["channel"]
        labels = [_first(c, "label", "") for c in channels]
    except (KeyError, IndexError, TypeError):
        return None
    return labels if all(isinstance(x, str) and x for x in labels) else None


def info(path):
    """One dict per stream: id, name, type, channels, rate (nominal Hz),
    format, samples, first and last timestamp, duration (s), gaps (count of
    intervals longer than twice the nominal period) and complete (footer
    written)."""
    loaded, _ = load(path)
    out = []
    for s in loaded:
        i = s["info"]
        stamps = np.asarray(s["time_stamps"], dtype=np.float64)
        rate = float(_first(i, "nominal_srate", "0") or 0)
        gaps = 0
        if rate > 0 and len(stamps) > 1:
            gaps = int(np.count_nonzero(np.diff(stamps) > 2.0 / rate))
        out.append(
            {
                "id": i["stream_id"],
                "name": _first(i, "name"),
                "type": _first(i, "type"),
                "channels": int(_first(i, "channel_count", "0") or 0),
                "rate": rate,
                "format": _first(i, "channel_format"),
                "samples": len(stamps),
                "first": float(stamps[0]) if len(stamps) else None,
                "last": float(stamps[-1]) if len(stamps) else None,
                "duration": float(stamps[-1] - stamps[0]) if len(stamps) else 0.0,
                "gaps": gaps,
                "complete": s["complete"],
            }
        )
    return out


def summary(path):
    """One line per stream of the XDF file `path` (read with pyxdf)."""
    lines = []
    for s in info(path):
        rate = f"{s['rate']:g} Hz" if s["rate"] else "irregular"
        lines.append(
            f"stream {s['name']!r} ({s['type'] or 'no type'}): {s['samples']} samples x "
            f"{s['channels']} channel(s), {s['format']}, {rate}, {s['duration']:.2f} s"
            + ("" if s["complete"] else " (no footer: not closed cleanly)")
        )
    return lines


def _pick(loaded, stream):
    if stream is None:
        return [s for s in loaded if _first(s["info"], "channel_format") != "string"]
    return [
        s
        for s in loaded
        if stream in (_first(s["info"], "name"), _first(s["info"], "type"))
        or stream == s["info"]["stream_id"]
    ]


def to_mne(path, stream=None, markers=None):
    """The numeric stream `stream` (name, type or id; default: the first
    numeric stream) as an `mne.io.RawArray`, with the samples of the string
    streams `markers` (name or type; default: every string stream) as
    annotations at their times. Needs MNE (`pip install flowmesh[mne]`)."""
    try:
        import mne
    except ImportError as e:
        raise ImportError("to_mne needs MNE: pip install flowmesh[mne]") from e
    shown = os.fsdecode(path)
    loaded, _ = load(path)
    signals = [s for s in _pick(loaded, stream) if len(s["time_stamps"])]
    signals = [s for s in signals if _first(s["info"], "channel_format") != "string"]
    if not signals:
        raise XdfError(f"{shown}: no numeric stream with samples matches {stream!r}")
    signal = signals[0]
    i = signal["info"]
    rate = float(_first(i, "nominal_srate", "0") or 0)
    if rate <= 0:
        rate = float(i.get("effective_srate") or 0)
    if rate <= 0:
        raise XdfError(f"{shown}: stream {_first(i, 'name')!r} has no sampling rate")
    data = np.asarray(signal["time_series"], dtype=np.float64).T
    labels = _labels(signal) or [f"ch{k + 1}" for k in range(data.shape[0])]
    if len(set(labels)) != len(labels):
        labels = [f"{label}-{k + 1}" for k, label in enumerate(labels)]
    kind = _first(i, "type").lower()
    ch_type = kind if kind in ("eeg", "meg", "ecg", "emg", "eog", "misc", "stim") else "misc"
    raw = mne.io.RawArray(data, mne.create_info(labels, rate, ch_type), verbose=False)
    t0 = float(signal["time_stamps"][0])
    onsets, texts = [], []
    for s in loaded:
        if _first(s["info"], "channel_format") != "string":
            continue
        if markers is not None and markers not in (
            _first(s["info"], "name"),
            _first(s["info"], "type"),
        ):
            continue
        for t, row in zip(s["time_stamps"], s["time_series"], strict=True):
            onsets.append(float(t) - t0)
            texts.append(" ".join(row))
    if onsets:
        raw.set_annotations(mne.Annotations(onsets, [0.0] * len(onsets), texts))
    return raw


def export(path, to, out, *, stream=None, markers=None, overwrite=False):
    """Write a stream of an XDF file (see `to_mne`) as EDF, BrainVision or
    FIF to `out`."""
    if to not in EXPORT_FORMATS:
        raise ValueError(f"export format must be one of {', '.join(EXPORT_FORMATS)}, got {to!r}")
    if os.path.lexists(out) and not overwrite:
        raise XdfError(f"{os.fsdecode(out)}: exists; pass overwrite=True to replace it")
    raw = to_mne(path, stream=stream, markers=markers)
    import warnings

    with warnings.catch_warnings():
        # MNE says so whenever a format stores less precision than double.
        warnings.simplefilter("ignore", RuntimeWarning)
        if to == "fif":
            raw.save(out, overwrite=overwrite, verbose=False)
        else:
            import mne

            mne.export.export_raw(out, raw, fmt=to, overwrite=overwrite, verbose=False)
