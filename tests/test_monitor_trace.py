"""The trace's columns against a sample-by-sample reference, and its replies."""

import math
from array import array

import numpy as np
import pytest

from flowmesh.monitor import trace


def reference(batches, dt):
    """{column: [min, max]} of one channel, sample by sample: a sample before
    the newest column is dropped, and only the last COLUMNS columns stay."""
    columns, newest = {}, None
    for times, values in batches:
        running = None
        for t, v in zip(times, values):
            b = math.floor(t / dt)
            running = b if running is None else max(running, b)
            b = running
            if newest is not None and b < newest:
                continue
            low, high = columns.get(b, (math.nan, math.nan))
            columns[b] = [np.fmin(low, v), np.fmax(high, v)]
            newest = b
        columns = {b: c for b, c in columns.items() if b > newest - trace.COLUMNS}
    return columns


def batches_of(pattern, seed):
    rng = np.random.default_rng(seed)
    t, out = 50.0, []
    for _ in range(12):
        count = int(rng.integers(1, 300))
        if pattern == "late":
            # Arrivals that go back in time, within and across drains.
            times = t + np.cumsum(rng.normal(0.002, 0.01, count))
        elif pattern == "gaps":
            # Stalls longer than the window between some drains.
            times = t + np.sort(rng.uniform(0, 0.05, count))
            if rng.random() < 0.3:
                times += trace.DEFAULT_WINDOW * rng.uniform(0.5, 1.5)
        else:
            times = t + np.sort(rng.uniform(0, 0.3, count))
        values = rng.normal(size=count)
        values[rng.random(count) < 0.05] = math.nan
        out.append((times, values))
        t = float(np.nanmax(times))
    return out


@pytest.mark.parametrize("pattern", ["steady", "late", "gaps"])
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_columns_match_a_sample_by_sample_reference(pattern, seed):
    batches = batches_of(pattern, seed)
    t = trace.Trace()
    for times, values in batches:
        t.add_scalars(array("d", times), values.tolist())
    expected = reference(batches, t.dt)
    start, columns = t.since(0)
    assert t.last == max(expected)
    assert start == min(expected) and len(columns) == t.last - start + 1
    for b in range(start, t.last + 1):
        got = columns[b - start, 0].tolist()
        want = np.float32(expected.get(b, [math.nan, math.nan])).tolist()
        assert got == want or (np.isnan(got).all() and np.isnan(want).all()), b
    # From any column on: the tail of the same.
    middle = (start + t.last) // 2
    later, tail = t.since(middle)
    assert later >= middle
    np.testing.assert_array_equal(tail, columns[later - start :])
    assert t.since(t.last + 1)[0] is None


def test_a_reply_is_made_once_per_change_of_the_columns():
    t = trace.Trace()
    t.add_scalars(array("d", [1.0, 1.02]), [3.0, 4.0])
    first = t.encode(0)
    assert t.encode(0) is first  # another page, same columns: the same bytes
    # The open column grows: a page asking again gets the new maximum.
    t.add_scalars(array("d", [1.025]), [9.0])
    again = t.encode(0)
    _, _, _, count, start, _ = trace.TRACE_HEADER.unpack_from(again)
    columns = np.frombuffer(again, "<f4", offset=trace.TRACE_HEADER.size).reshape(count, 1, 2)
    assert columns[-1, 0].tolist() == [4.0, 9.0]
    # Many pages at many columns: every reply still answers its own column.
    for from_ in range(95, 95 + trace.REPLIES_KEPT * 3):
        assert t.encode(from_) == t._encode(from_)


def test_a_width_that_changes_every_frame_restarts_the_trace_each_time():
    t = trace.Trace()
    frames = [(1.0 + k * 0.001, np.ones((2, 1 + k % 2))) for k in range(2000)]
    generation = t.generation
    t.add(frames, None, None)
    # Only the last width's frame is drawn; the others were restarts.
    assert t.channels == 2 and t.generation == generation + 2000
    assert t.since(0)[1].shape == (1, 2, 2)
