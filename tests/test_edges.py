"""Scan-line edge points of masks."""
import numpy as np
import pytest

import orbisect


def scan_order(k, lines):
    r = int(f"{k & 0xFFFF:016b}"[::-1], 2)
    return ((r * lines) & 0xFFFFFFFF) >> 16


def line_points(values):
    """Run starts and ends of one line, as positions along it."""
    set_ = np.asarray(values) != 0
    change = np.flatnonzero(np.diff(np.concatenate(([False], set_))))
    out = change.tolist()
    if len(out) % 2:
        out.append(len(set_) - 1)
    return out


def reference_scan(mask, capacity, rows, columns):
    h, w = mask.shape
    points = []
    if h and w:
        for k in range(max(0, min(rows, 65536))):
            y = scan_order(k, h)
            points += [(x, y) for x in line_points(mask[y])]
        for k in range(max(0, min(columns, 65536))):
            x = scan_order(k, w)
            points += [(x, y) for y in line_points(mask[:, x])]
    return points[:max(capacity, 0)]


def run_scan(mask, capacity, rows, columns):
    ps = np.full((capacity, 2), -7, np.int32)
    n = orbisect.simple_edge(mask, ps, rows, columns)
    assert (ps[n:] == -7).all()
    return [tuple(p) for p in ps[:n].tolist()]


def test_scan_order():
    assert [scan_order(k, 100) for k in range(16)] == [
        0, 50, 25, 75, 12, 62, 37, 87, 6, 56, 31, 81, 18, 68, 43, 93]
    m = np.zeros((100, 1), np.uint8)
    m[:, 0] = np.arange(100) % 2 + 1        # every row is a one-pixel run
    ps = np.zeros((32, 2), np.int32)
    assert orbisect.simple_edge(m, ps, 16, 0) == 32
    assert ps[::2, 1].tolist() == [scan_order(k, 100) for k in range(16)]


@pytest.mark.parametrize("shape", [(1, 1), (7, 1), (1, 9), (37, 53), (64, 200), (130, 70)])
@pytest.mark.parametrize("density", [0.0, 0.1, 0.5, 0.95, 1.0])
def test_matches_reference_on_random_masks(shape, density):
    rng = np.random.default_rng(hash((shape, density)) & 0xFFFF)
    mask = (rng.random(shape) < density).astype(np.uint8) * rng.integers(1, 256, shape, np.uint8)
    for rows, columns in [(0, 0), (1, 0), (0, 3), (5, 7), (64, 64), (300, 1)]:
        full = reference_scan(mask, 10 ** 6, rows, columns)
        assert run_scan(mask, len(full) + 3, rows, columns) == full
        for capacity in {0, 1, len(full) // 2, max(len(full) - 1, 0)}:
            assert run_scan(mask, capacity, rows, columns) == full[:capacity]


def test_runs_and_line_ends():
    m = np.zeros((4, 6), np.uint8)
    m[0, :] = 1                       # full row
    m[1, 5] = 9                       # single pixel in the last column
    m[2, [1, 3, 4]] = 1               # two runs
    # rows in scan order 0, 2, 1
    assert run_scan(m, 20, 3, 0) == [(0, 0), (5, 0), (1, 2), (2, 2), (3, 2), (5, 2),
                                     (5, 1), (5, 1)]
    assert run_scan(m[:2], 20, 0, 1) == [(0, 0), (0, 1)]
    assert run_scan(m, 20, -5, -1) == []


def test_capacity_can_split_a_run():
    m = np.ones((4, 4), np.uint8)
    assert run_scan(m, 3, 4, 4) == [(0, 0), (3, 0), (0, 2)]


def test_strided_and_reversed_views_equal_packed_copies():
    rng = np.random.default_rng(5)
    big = (rng.random((90, 120)) < 0.3).astype(np.uint8)
    for view in [big[10:70, 20:100], big[::-1], big[::3], big[80:5:-2, 7:111]]:
        packed = np.ascontiguousarray(view)
        ps_view = np.zeros((400, 4), np.int32)[::2, 1:3]     # strided point set
        n = orbisect.simple_edge(view, ps_view, 40, 40)
        assert ps_view[:n].tolist() == [list(p) for p in reference_scan(packed, 200, 40, 40)]


def test_counts_are_clamped():
    m = np.zeros((2, 3), np.uint8)
    m[1, 1] = 1
    assert run_scan(m, 10, 2 ** 31 - 1, 0) == reference_scan(m, 10, 65536, 0)


def test_point_set_needs_two_columns():
    with pytest.raises(ValueError, match="2 columns"):
        orbisect.simple_edge(np.ones((2, 2), np.uint8), np.zeros((4, 1), np.int32), 1, 1)
    # an empty point set is never written, whatever its shape
    assert orbisect.simple_edge(np.ones((2, 2), np.uint8), np.zeros((0, 1), np.int32), 1, 1) == 0
