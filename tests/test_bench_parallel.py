"""The free-threaded build's one-thread figure in bench/parallel.py: the
children it runs, the order they run in, and what it makes of their times."""

import pathlib
import sys

import pytest

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))
import parallel  # noqa: E402

sys.path.remove(str(BENCH))

KEYS = {"ours_wall", "ours_cpu", "plain_wall", "plain_cpu"}


def test_child_reports_both_clocks_of_both_loops():
    got = parallel.one_thread_child(sys.executable, 2, 200)
    assert set(got) == KEYS
    assert all(v > 0 for v in got.values())
    # A thread's CPU time cannot exceed the wall time it took.
    assert got["ours_cpu"] <= got["ours_wall"] * 1.05


def test_interleaved_rounds_alternate_and_set_b_over_a(monkeypatch):
    # B's flowmesh twice as slow as A's, B's loop as fast: a ratio of 2.
    a, b, expected = {"ours": 10, "plain": 5}, {"ours": 20, "plain": 5}, (2.0, 1.0, 2.0)
    calls = []

    def child(python, length, frames):
        calls.append(python)
        times = a if python == "gil" else b
        return {f"{k}_{clock}": v for k, v in times.items() for clock in ("wall", "cpu")}

    monkeypatch.setattr(parallel, "one_thread_child", child)
    got = parallel.interleaved("gil", "ft", 3, 5, 100)
    # Each round runs both builds, the one that goes first alternating.
    assert calls == ["gil", "ft", "ft", "gil", "gil", "ft"]
    for clock in ("wall", "cpu"):
        assert got[clock] == [pytest.approx(expected)] * 3
