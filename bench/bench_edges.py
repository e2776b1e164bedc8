"""Edge-point benchmarks: simple_edge against a vectorised NumPy scan, and the
per-call overhead of a native function.

    python bench/bench_edges.py
"""
import time

import numpy as np

import orbisect


def best_time(fn, repeat=7, number=None):
    """Best per-call time in seconds over `repeat` rounds of `number` calls."""
    if number is None:
        number, t = 1, 0.0
        while t < 0.05:
            number *= 2
            t0 = time.perf_counter()
            for _ in range(number):
                fn()
            t = time.perf_counter() - t0
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - t0) / number)
    return best


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


def scene_mask(h=1080, w=1920, seed=1):
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[:h, :w]
    mask = np.zeros((h, w), np.uint8)
    for _ in range(12):
        cx, cy, r = rng.integers(0, w), rng.integers(0, h), rng.integers(20, 200)
        mask[(xx - cx) ** 2 + (yy - cy) ** 2 < r * r] = 1
    mask[rng.random((h, w)) < 0.002] ^= 1           # speckle
    return mask


def main():
    mask = scene_mask()
    ps = np.zeros((200_000, 2), np.int32)
    ref = np.zeros_like(ps)
    n = orbisect.simple_edge(mask, ps, 256, 256)
    assert numpy_simple_edge(mask, ref, 256, 256) == n and (ps[:n] == ref[:n]).all()

    t_native = best_time(lambda: orbisect.simple_edge(mask, ps, 256, 256))
    t_numpy = best_time(lambda: numpy_simple_edge(mask, ref, 256, 256), repeat=3)
    print(f"simple_edge 1920x1080 mask, 256 rows + 256 columns, {n} points:")
    print(f"  orbisect   {t_native * 1e6:9.1f} us")
    print(f"  NumPy scan {t_numpy * 1e6:9.1f} us   orbisect is {t_numpy / t_native:6.1f}x faster")

    tiny, tiny_ps = np.zeros((1, 1), np.uint8), np.zeros((1, 2), np.int32)
    t_call = best_time(lambda: orbisect.simple_edge(tiny, tiny_ps, 1, 1), number=200_000)
    t_empty = best_time(lambda: None, number=200_000)
    print(f"  per-call overhead on a 1x1 mask: {(t_call - t_empty) * 1e9:6.0f} ns "
          f"(a Python call of an empty lambda: {t_empty * 1e9:.0f} ns)")


if __name__ == "__main__":
    main()
