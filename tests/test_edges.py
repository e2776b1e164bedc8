"""Scan-line edge points of masks."""
import numpy as np
import pytest

import orbisect


def scan_order(k, lines):
    r = int(f"{k & 0xFFFF:016b}"[::-1], 2)
    return (r * lines) >> 16


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


# --- edge points straight from a colour image -----------------------------

def random_window(rng):
    if rng.random() < 0.6:
        t1 = rng.uniform(-np.pi, np.pi)
        b = orbisect.calculate_lch_bounds((t1, t1 + rng.uniform(0.05, 2.5)),
                                          sorted(rng.uniform(0, 0.6, 2)),
                                          sorted(rng.uniform(0, 1, 2)))
        return b._asdict()
    big = 2 ** 31 - 1                       # raw windows, products may wrap
    return {"M": rng.integers(-big, big, 9).tolist(),
            "i": sorted(rng.integers(-big, big, 2).tolist()),
            "c": sorted(rng.integers(-big, big, 2).tolist())}


def blocky_image(rng, h, w):
    """Random colours in blocks, so that runs are longer than one pixel."""
    small = rng.integers(0, 256, (h // 4 + 1, w // 4 + 1, 3), np.uint8)
    return np.ascontiguousarray(small.repeat(4, 0).repeat(4, 1)[:h, :w])


@pytest.mark.parametrize("seed", range(12))
def test_hsv_scan_equals_scan_of_mask(seed):
    rng = np.random.default_rng(seed)
    h, w = rng.integers(1, 90, 2)
    image = blocky_image(rng, h, w)
    window = random_window(rng)
    mask = orbisect.mask_image(image, window)
    rows, columns = rng.integers(-2, 120, 2)
    full = np.zeros((100_000, 2), np.int32)
    n = orbisect.simple_edge(mask, full, rows, columns)
    for capacity in (n + 2, n, n // 3, 1, 0):
        ps = np.full((capacity, 2), -1, np.int32)
        assert orbisect.simple_edge_hsv(image, ps, window, rows, columns) == min(n, capacity)
        assert (ps[:n] == full[:min(n, capacity)]).all()


def test_hsv_scan_on_views_and_wide_images():
    rng = np.random.default_rng(3)
    big = blocky_image(rng, 70, 2300)            # rows longer than one chunk
    window = orbisect.calculate_lch_bounds((-1.0, 1.0), (0.05, 0.9), (0.05, 0.95))._asdict()
    for view in [big, big[5:60, 100:2250], big[::-1, ::-1], big[::2, ::3]]:
        expected = np.zeros((50_000, 2), np.int32)
        n = orbisect.simple_edge(orbisect.mask_image(np.ascontiguousarray(view), window),
                                 expected, 64, 64)
        ps = np.zeros((50_000, 2), np.int32)
        assert orbisect.simple_edge_hsv(view, ps, window, 64, 64) == n
        assert (ps[:n] == expected[:n]).all()


def test_hsv_scan_argument_errors():
    image = np.zeros((4, 4, 3), np.uint8)
    ps = np.zeros((8, 2), np.int32)
    window = orbisect.calculate_lch_bounds((0, 1), (0.1, 0.5), (0.1, 0.9))
    with pytest.raises(TypeError):                  # a named tuple is not a mapping
        orbisect.simple_edge_hsv(image, ps, window, 4, 4)
    with pytest.raises(ValueError, match="expected 'uchar' but got 'double'"):
        orbisect.simple_edge_hsv(image.astype(float), ps, window._asdict(), 4, 4)
    with pytest.raises(ValueError, match="3 channels"):
        orbisect.simple_edge_hsv(np.zeros((4, 4, 4), np.uint8), ps, window._asdict(), 4, 4)
    assert orbisect.simple_edge_hsv(None, ps, window._asdict(), 4, 4) == 0


# --- run denoising --------------------------------------------------------

def reference_denoise(points, d):
    def i32(v):
        return (v + 2 ** 31) % 2 ** 32 - 2 ** 31

    def keep(l, m):
        return (l[1] == m[1] and i32(m[0] - l[0]) >= d) or (l[0] == m[0] and i32(m[1] - l[1]) >= d)

    pts = [tuple(p) for p in points]
    if len(pts) < 2:
        return []
    out, (l, m) = [], (pts[0], pts[1])
    for i in range(2, len(pts) - 1, 2):
        s, e = pts[i], pts[i + 1]
        if (s[1] == m[1] and i32(s[0] - m[0]) < d) or (s[0] == m[0] and i32(s[1] - m[1]) < d):
            m = e
            continue
        if keep(l, m):
            out += [l, m]
        l, m = s, e
    if keep(l, m):
        out += [l, m]
    return out


def denoise(points, d):
    ps_in = np.array(points, np.int32).reshape(-1, 2)
    ps_out = np.full((len(ps_in) + 1, 2), -9, np.int32)
    n = orbisect.simple_denoise(ps_in, ps_out, d)
    assert (ps_out[n:] == -9).all()
    return [tuple(p) for p in ps_out[:n].tolist()]


@pytest.mark.parametrize("points,d,expected", [
    # two row runs merge across a gap of 1, the third stays apart
    ([(0, 5), (10, 5), (11, 5), (12, 5), (40, 5), (50, 5)], 3,
     [(0, 5), (12, 5), (40, 5), (50, 5)]),
    # not merged (gap 18) and too short (2 < 5); the last run is kept
    ([(0, 5), (2, 5), (20, 5), (30, 5)], 5, [(20, 5), (30, 5)]),
    # a gap equal to d keeps runs apart; a run of exactly d survives
    ([(0, 1), (4, 1), (7, 1), (10, 1)], 3, [(0, 1), (4, 1), (7, 1), (10, 1)]),
    # column runs merge the same way
    ([(7, 0), (7, 4), (7, 6), (7, 9)], 3, [(7, 0), (7, 9)]),
    # a row run's end and the next start share x: merged across rows, and the
    # merged run, along neither a row nor a column, is then dropped
    ([(0, 5), (10, 5), (10, 7), (10, 12)], 3, []),
    # d <= 0: nothing merges, everything is kept
    ([(0, 1), (4, 1), (5, 1), (5, 1), (2, 2), (1, 2)], 0,
     [(0, 1), (4, 1), (5, 1), (5, 1)]),
    ([(0, 1), (4, 1), (5, 1), (5, 1)], -3, [(0, 1), (4, 1), (5, 1), (5, 1)]),
    # odd length: the last row takes no part; fewer than 4 rows still give the run
    ([(0, 1), (9, 1), (3, 3)], 2, [(0, 1), (9, 1)]),
    ([(0, 1)], 2, []),
    ([], 2, []),
])
def test_denoise_examples(points, d, expected):
    assert denoise(points, d) == expected
    assert reference_denoise(points, d) == expected


@pytest.mark.parametrize("seed", range(6))
def test_denoise_matches_reference_and_works_in_place(seed):
    rng = np.random.default_rng(seed)
    mask = (rng.random((60, 80)) < 0.5).astype(np.uint8)
    ps = np.zeros((20_000, 2), np.int32)
    n = orbisect.simple_edge(mask, ps, 60, 80)
    points = ps[:n].copy()
    if seed % 2:
        points = points[: n - 1]                          # odd length
    for d in (-1, 0, 1, 2, 3, 7, 2 ** 31 - 1):
        expected = reference_denoise(points.tolist(), d)
        assert denoise(points, d) == expected
        inplace = points.copy()
        k = orbisect.simple_denoise(inplace, inplace, d)
        assert [tuple(p) for p in inplace[:k].tolist()] == expected
        assert (inplace[k:] == points[k:]).all()


def test_denoise_extreme_coordinates_wrap():
    big = 2 ** 31 - 1
    points = [(-big, 0), (big, 0), (big, 5), (big, 6)]
    assert denoise(points, 3) == reference_denoise(points, 3)


def test_denoise_strided_views():
    points = np.array([(0, 5), (10, 5), (11, 5), (12, 5), (40, 5), (50, 5)], np.int32)
    ps_in = np.zeros((12, 3), np.int32)[::2, :2]
    ps_in[:] = points
    ps_out = np.zeros((6, 4), np.int32)[:, 1:3]
    assert orbisect.simple_denoise(ps_in[::-1][::-1], ps_out, 3) == 4
    assert ps_out[:4].tolist() == [[0, 5], [12, 5], [40, 5], [50, 5]]


@pytest.mark.parametrize("ps_in,ps_out,error,message", [
    (np.zeros((0, 2), np.int32), np.zeros((0, 2), np.int32), None, 0),
    (None, None, None, 0),
    (np.zeros((2, 2), np.int32), np.zeros((0, 2), np.int32), IndexError,
     "Out of bounds on buffer access (axis 0)"),
    (np.zeros((2, 2), np.int32), None, IndexError, "Out of bounds on buffer access (axis 1)"),
    (np.zeros((2, 0), np.int32), np.zeros((2, 2), np.int32), IndexError,
     "Out of bounds on buffer access (axis 1)"),
    (np.zeros((4, 2), np.int32), np.zeros((3, 2), np.int32), ValueError, "fewer rows"),
    (np.zeros((4, 1), np.int32), np.zeros((4, 2), np.int32), ValueError, "2 columns"),
    # a shorter view of the input itself is an output like any other
    (SIX := np.arange(12, dtype=np.int32).reshape(6, 2), SIX[:2], ValueError, "fewer rows"),
    (SIX, SIX[::-1][:4], ValueError, "fewer rows"),
])
def test_denoise_argument_checks(ps_in, ps_out, error, message):
    if error is None:
        assert orbisect.simple_denoise(ps_in, ps_out, 3) == message
        return
    before = None if ps_out is None else ps_out.copy()
    with pytest.raises(error) as info:
        orbisect.simple_denoise(ps_in, ps_out, 3)
    assert message in str(info.value)
    if before is not None:
        assert (ps_out == before).all()


def test_columns_taller_than_the_column_scratch():
    # columns longer than the scan keeps at once are read in pieces
    rng = np.random.default_rng(11)
    h = 600_000
    mask = np.zeros((h, 3), np.uint8)
    starts = np.sort(rng.choice(h - 10, 40, replace=False))
    for s in starts:
        mask[s:s + rng.integers(1, 9), rng.integers(0, 3)] = 1
    mask[-3:, 1] = 1                                  # a run to the last pixel
    full = reference_scan(mask, 10 ** 6, 0, 3)
    assert run_scan(mask, len(full) + 1, 0, 3) == full
    assert run_scan(mask, 7, 0, 3) == full[:7]
    image = np.zeros((h, 3, 3), np.uint8)
    image[mask != 0] = (255, 0, 0)
    window = orbisect.calculate_lch_bounds((-0.5, 0.5), (0.1, 1.2), (0.05, 0.95))._asdict()
    ps = np.zeros((len(full) + 1, 2), np.int32)
    assert orbisect.simple_edge_hsv(image, ps, window, 0, 3) == len(full)
    assert [tuple(p) for p in ps[:len(full)].tolist()] == full


def test_scan_order_beyond_65536_lines():
    # Lines are spread over tall images too; up to 65536 lines the order is
    # the one a 32-bit product gives.
    def rows_scanned(h, count):
        mask = np.zeros((h, 1), np.uint8)
        mask[:, 0] = np.arange(h) % 2 + 1          # every row is a one-pixel run
        ps = np.zeros((2 * count, 2), np.int32)
        assert orbisect.simple_edge(mask, ps, count, 0) == 2 * count
        return ps[::2, 1]

    for h in (1, 3, 100, 40_000, 65_535, 65_536):
        expected = [((int(f"{k:016b}"[::-1], 2) * h) & 0xFFFFFFFF) >> 16 for k in range(4096)]
        assert rows_scanned(h, 4096).tolist() == expected
    assert rows_scanned(131_072, 4).tolist() == [0, 65_536, 32_768, 98_304]
    assert rows_scanned(100_000, 4)[3] == 75_000
    assert rows_scanned(131_072, 1024).max() > 120_000


@pytest.mark.parametrize("layout", ["reversed", "zero stride", "reversed roi"])
def test_hsv_scan_with_more_columns_than_the_width(layout):
    # Chosen columns repeat when there are more of them than the width.
    rng = np.random.default_rng(5)
    image = rng.choice([0, 255], (6, 5, 3)).astype(np.uint8)
    image[..., 1:] = 0
    view = {"reversed": image[::-1],
            "zero stride": np.lib.stride_tricks.as_strided(image[:1], (6, 5, 3), (0, 3, 1), writeable=True),
            "reversed roi": image[::-1, 1:4]}[layout]
    window = orbisect.calculate_lch_bounds((-0.5, 0.5), (0.1, 1.2), (0.05, 0.95))._asdict()
    for columns in (6, 9, 40):
        ps, packed = np.zeros((512, 2), np.int32), np.zeros((512, 2), np.int32)
        n = orbisect.simple_edge_hsv(view, ps, window, 0, columns)
        assert n == orbisect.simple_edge_hsv(np.ascontiguousarray(view), packed, window, 0, columns)
        assert (ps[:n] == packed[:n]).all()
