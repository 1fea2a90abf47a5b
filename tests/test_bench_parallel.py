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


def test_failing_child_is_reported_not_parsed():
    with pytest.raises(RuntimeError, match="one-thread child failed"):
        parallel.one_thread_child(sys.executable, 2, 0)


@pytest.mark.parametrize(
    "a, b, expected",
    [
        # B's flowmesh twice as slow as A's, B's loop as fast: 2.
        ({"ours": 10, "plain": 5}, {"ours": 20, "plain": 5}, (2.0, 1.0, 2.0)),
        # Both twice as slow on B: the build's own price, 1.
        ({"ours": 10, "plain": 5}, {"ours": 20, "plain": 10}, (2.0, 2.0, 1.0)),
        # B's loop slower than its flowmesh line: below 1.
        ({"ours": 10, "plain": 5}, {"ours": 10, "plain": 10}, (1.0, 2.0, 0.5)),
    ],
)
def test_interleaved_rounds_alternate_and_set_b_over_a(monkeypatch, a, b, expected):
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


@pytest.mark.parametrize(
    "text, total",
    [
        ("events: Ir\nsummary: 1234\nfn=x\n5 6\ntotals: 1234\n", 1234),
        ("events: Ir\nfn=x\n5 6\ntotals: 987\n", 987),
    ],
)
def test_callgrind_total_reads_the_totals_line(tmp_path, text, total):
    path = tmp_path / "cg.out"
    path.write_text(text)
    assert parallel.callgrind_total(str(path)) == total


def test_callgrind_total_without_totals_is_an_error(tmp_path):
    path = tmp_path / "cg.out"
    path.write_text("events: Ir\nfn=x\n5 6\n")
    with pytest.raises(ValueError, match="no totals"):
        parallel.callgrind_total(str(path))


@pytest.mark.parametrize(
    "values, expected",
    [([3.0], (3.0, 3.0, 3.0)), ([4.0, 1.0, 3.0, 2.0, 5.0], (2.0, 3.0, 4.0))],
)
def test_quartiles(values, expected):
    assert parallel.quartiles(values) == pytest.approx(expected)
