"""Edge-point benchmarks: simple_edge against a vectorised NumPy scan, the
per-call overhead of a native function, simple_edge_hsv against masking
first and against NumPy, and simple_denoise throughput.

    python bench/bench_edges.py
"""
import numpy as np

import orbisect
from benchtools import best_time, instruction_set


def scan_order(count, lines):
    k = np.arange(min(count, 65536), dtype=np.uint32)
    r = np.zeros_like(k)
    for bit in range(16):
        r |= ((k >> bit) & 1) << (15 - bit)
    return ((r.astype(np.uint64) * lines) & 0xFFFFFFFF) >> 16


def numpy_line_points(lines):
    """(line index, position) of run starts and ends, in scan order."""
    set_ = lines != 0
    d = np.diff(set_.astype(np.int8), axis=1, prepend=0)
    li, pos = np.nonzero(d)
    closed = np.flatnonzero(set_[:, -1])
    li = np.concatenate((li, closed))
    pos = np.concatenate((pos, np.full(len(closed), lines.shape[1] - 1)))
    order = np.lexsort((np.arange(len(li)), li))
    return li[order], pos[order]


def numpy_simple_edge(mask, ps, rows, columns):
    ys = scan_order(rows, mask.shape[0])
    li, x = numpy_line_points(mask[ys])
    xs = scan_order(columns, mask.shape[1])
    lc, y = numpy_line_points(mask[:, xs].T)
    pts = np.concatenate((np.stack((x, ys[li]), 1), np.stack((xs[lc], y), 1)))
    n = min(len(pts), len(ps))
    ps[:n] = pts[:n]
    return n


def numpy_window(pixels, window):
    """The integer window test of an (..., 3) array of pixels, in NumPy."""
    m = np.asarray(window["M"], np.int32).reshape(3, 3)
    h = pixels.astype(np.int32) @ m.T
    s = h[..., 0] + h[..., 1]
    (i0, i1), (c0, c1) = window["i"], window["c"]
    return ((h[..., 0] > 0) & (h[..., 1] > 0) & (h[..., 2] > i0) & (h[..., 2] < i1)
            & (s > c0) & (s < c1))


def numpy_simple_edge_hsv(image, ps, window, rows, columns):
    ys = scan_order(rows, image.shape[0])
    li, x = numpy_line_points(numpy_window(image[ys], window))
    xs = scan_order(columns, image.shape[1])
    lc, y = numpy_line_points(numpy_window(image[:, xs], window).T)
    pts = np.concatenate((np.stack((x, ys[li]), 1), np.stack((xs[lc], y), 1)))
    n = min(len(pts), len(ps))
    ps[:n] = pts[:n]
    return n


def scene_image(h=1080, w=1920, seed=2):
    """Green field, white lines, an orange ball, camera noise."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[:h, :w]
    image = np.empty((h, w, 3), np.int16)
    image[:] = (40, 140, 50)
    for x0 in (300, 960, 1600):
        image[np.abs(xx - x0 - (yy - h / 2) * 0.2) < 6] = (235, 235, 235)
    image[(xx - 700) ** 2 + (yy - 500) ** 2 < 60 ** 2] = (240, 120, 20)
    image += rng.integers(-12, 13, image.shape, np.int16)
    return np.clip(image, 0, 255).astype(np.uint8)


def scene_mask(h=1080, w=1920, seed=1):
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[:h, :w]
    mask = np.zeros((h, w), np.uint8)
    for _ in range(12):
        cx, cy, r = rng.integers(0, w), rng.integers(0, h), rng.integers(20, 200)
        mask[(xx - cx) ** 2 + (yy - cy) ** 2 < r * r] = 1
    mask[rng.random((h, w)) < 0.002] ^= 1           # speckle
    return mask


def frame_scans():
    """The field detector's scan: a 640x480 frame, 48 rows and 64 columns,
    under the ball's and the field's window; rows and columns apart too."""
    from orbisect_detect import BALL_WINDOW, FIELD_WINDOW
    from orbisect_detect.scenes import make_scene

    frame = make_scene(2026, 3).image
    ps = np.zeros((100_000, 2), np.int32)
    ref = np.zeros_like(ps)
    mask = np.zeros(frame.shape[:2], np.uint8)
    print("simple_edge_hsv 640x480 frame (the detector's scan), best of many calls:")
    for name, window in (("ball", BALL_WINDOW), ("field", FIELD_WINDOW)):
        mapping = window.mapping_for("rgb")
        for label, rows, columns in (("48 rows + 64 columns", 48, 64),
                                     ("48 rows only", 48, 0), ("64 columns only", 0, 64)):
            n = orbisect.simple_edge_hsv(frame, ps, mapping, rows, columns)
            assert numpy_simple_edge_hsv(frame, ref, mapping, rows, columns) == n
            assert (ps[:n] == ref[:n]).all()
            t = best_time(lambda: orbisect.simple_edge_hsv(frame, ps, mapping, rows, columns),
                          repeat=15)
            print(f"  {name:5} window, {label:20} {t * 1e6:7.2f} us  ({n} points)")
    orbisect.mask_image(frame, FIELD_WINDOW.mapping_for("rgb"), mask)
    t = best_time(lambda: orbisect.simple_edge(mask, ps, 0, 64), repeat=15)
    print(f"  simple_edge on its field mask, 64 columns only  {t * 1e6:7.2f} us")


def main():
    mask = scene_mask()
    ps = np.zeros((200_000, 2), np.int32)
    ref = np.zeros_like(ps)
    n = orbisect.simple_edge(mask, ps, 256, 256)
    assert numpy_simple_edge(mask, ref, 256, 256) == n and (ps[:n] == ref[:n]).all()

    t_native = best_time(lambda: orbisect.simple_edge(mask, ps, 256, 256))
    t_numpy = best_time(lambda: numpy_simple_edge(mask, ref, 256, 256), repeat=3)
    print(f"instruction set: {instruction_set()}")
    print(f"simple_edge 1920x1080 mask, 256 rows + 256 columns, {n} points:")
    print(f"  orbisect   {t_native * 1e6:9.1f} us")
    print(f"  NumPy scan {t_numpy * 1e6:9.1f} us   orbisect is {t_numpy / t_native:6.1f}x faster")

    tiny, tiny_ps = np.zeros((1, 1), np.uint8), np.zeros((1, 2), np.int32)
    t_call = best_time(lambda: orbisect.simple_edge(tiny, tiny_ps, 1, 1), number=200_000)
    t_empty = best_time(lambda: None, number=200_000)
    print(f"  per-call overhead on a 1x1 mask: {(t_call - t_empty) * 1e9:6.0f} ns "
          f"(a Python call of an empty lambda: {t_empty * 1e9:.0f} ns)")

    image = scene_image()
    window = orbisect.calculate_lch_bounds((0.1, 0.9), (0.2, 1.0), (0.1, 0.9))._asdict()
    buffer = np.zeros(image.shape[:2], np.uint8)
    n = orbisect.simple_edge_hsv(image, ps, window, 128, 128)
    assert numpy_simple_edge_hsv(image, ref, window, 128, 128) == n and (ps[:n] == ref[:n]).all()

    def mask_then_scan():
        orbisect.mask_image(image, window, buffer)
        return orbisect.simple_edge(buffer, ref, 128, 128)

    assert mask_then_scan() == n and (ps[:n] == ref[:n]).all()
    t_hsv = best_time(lambda: orbisect.simple_edge_hsv(image, ps, window, 128, 128))
    t_two = best_time(mask_then_scan)
    t_np = best_time(lambda: numpy_simple_edge_hsv(image, ref, window, 128, 128), repeat=3)
    print(f"simple_edge_hsv 1920x1080 RGB, 128 rows + 128 columns, {n} points:")
    print(f"  orbisect                    {t_hsv * 1e6:9.1f} us")
    print(f"  mask_image then simple_edge {t_two * 1e6:9.1f} us   "
          f"simple_edge_hsv is {t_two / t_hsv:6.1f}x faster")
    print(f"  NumPy edge search           {t_np * 1e6:9.1f} us   "
          f"simple_edge_hsv is {t_np / t_hsv:6.1f}x faster")

    frame_scans()

    rng = np.random.default_rng(4)
    runs = np.zeros((100_000, 2), np.int32)
    y = np.repeat(np.arange(50_000) // 40, 2)
    x = np.cumsum(rng.integers(1, 12, 100_000))
    runs[:, 0], runs[:, 1] = x % 4000, y
    out = np.zeros_like(runs)
    t_dn = best_time(lambda: orbisect.simple_denoise(runs, out, 4))
    print(f"simple_denoise on 100 000 points: {t_dn * 1e6:9.1f} us, "
          f"{len(runs) / t_dn / 1e6:7.0f} million points per second")


if __name__ == "__main__":
    main()
