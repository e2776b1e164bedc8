"""The building blocks by hand, from a camera frame to shapes.

`orbisect demo` runs the field detector (orbisect_detect), which chains these
same functions with more care.  This script shows the road without it, on a
simple picture: a green field with three white lines and an orange ball, with
camera noise:

  ball:  calculate_lch_bounds -> simple_edge_hsv -> ransac_circle
  lines: calculate_lch_bounds -> mask_image -> simple_edge -> simple_denoise
         -> ransac_line + remove_inliers, peeling one line border at a time

Prints the shapes found and the time each stage took.
"""
import ctypes
import math
import time

import numpy as np

import orbisect

H, W = 480, 640
BALL = (412, 233, 38)                                   # centre x, y and radius
LINES = [(110, 0.35), (330, -0.15), (530, 0.05)]        # x at the top row, dx per row


def make_scene(seed=7):
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[:H, :W]
    image = np.empty((H, W, 3), np.int16)
    image[:] = (45, 135, 55)                                         # grass
    for x0, slope in LINES:
        image[np.abs(xx - (x0 + slope * yy)) < 5] = (230, 232, 228)  # painted lines
    cx, cy, r = BALL
    image[(xx - cx) ** 2 + (yy - cy) ** 2 < r * r] = (235, 110, 25)  # the ball
    image += rng.integers(-14, 15, image.shape, np.int16)            # sensor noise
    return np.clip(image, 0, 255).astype(np.uint8)


class Stages:
    def __init__(self):
        self.times = []

    def run(self, name, fn, *args):
        t0 = time.perf_counter()
        result = fn(*args)
        self.times.append((name, time.perf_counter() - t0))
        return result


def process(image, orange, green):
    """One frame: returns the ball, the line borders and the stage times."""
    ctypes.CDLL(None).srand(2026)           # reproducible RANSAC draws
    st = Stages()

    # The ball: edge points straight from the colour image, then a circle.
    ball_points = np.zeros((4096, 2), np.int32)
    n = st.run("simple_edge_hsv (ball)", orbisect.simple_edge_hsv,
               image, ball_points, orange._asdict(), 128, 128)
    ball = st.run("ransac_circle", orbisect.ransac_circle, ball_points[:n], 500, 10, 200, 2)

    # The lines: where grass runs stop and start are the borders of the paint.
    mask = st.run("mask_image (grass)", orbisect.mask_image, image, green)
    raw = np.zeros((16384, 2), np.int32)
    n = st.run("simple_edge (grass)", orbisect.simple_edge, mask, raw, 128, 0)
    clean = np.zeros_like(raw)
    n = st.run("simple_denoise", orbisect.simple_denoise, raw[:n], clean, 4)
    # The ends of the grass at the frame's left and right edges are no edges.
    inner = clean[:n][(clean[:n, 0] > 0) & (clean[:n, 0] < W - 1)]
    # The sampler draws indices from a simple congruential sequence, whose low
    # bits repeat; shuffling the points keeps the scan's regular order (start,
    # end, start, end) out of the samples.
    points = np.ascontiguousarray(np.random.default_rng(1).permutation(inner))

    lines = []
    flags = np.zeros(len(points), np.uint8)
    rest = np.zeros_like(points)
    t0 = time.perf_counter()
    while len(points) >= 40 and len(lines) < 8:
        line = orbisect.ransac_line(points, flags[:len(points)], 300, 2, 0.5)
        found = int(flags[:len(points)].sum())
        if found < 40:
            break
        lines.append((line, found))
        k = orbisect.remove_inliers(points, rest, flags[:len(points)])
        points = rest[:k].copy()
    st.times.append(("ransac_line + remove_inliers, all lines", time.perf_counter() - t0))
    return ball, lines, st.times


def main():
    image = make_scene()
    # Colour windows are compiled once and reused for every frame.
    t0 = time.perf_counter()
    orange = orbisect.calculate_lch_bounds((-0.1, 0.9), (0.25, 1.2), (0.15, 0.85))
    green = orbisect.calculate_lch_bounds((1.4, 2.6), (0.08, 1.0), (0.05, 0.7))
    t_windows = time.perf_counter() - t0
    for _ in range(3):                      # the last run shows warm, per-frame times
        ball, lines, times = process(image, orange, green)

    print(f"Scene: {W}x{H} RGB, a ball at ({BALL[0]}, {BALL[1]}) with radius {BALL[2]} "
          f"and {len(LINES)} painted lines (two borders each).")
    print(f"Ball:  centre ({ball['x']}, {ball['y']}), radius {ball['r']}")
    print(f"Lines: {len(lines)} borders found")
    for line, found in lines:
        # nx*x + ny*y + h = 0; report where the border crosses the top and bottom rows
        nx, ny, px, py = line["nx"], line["ny"], line["px"], line["py"]
        x_at = [px - ny * (y - py) / nx for y in (0, H - 1)] if nx else [math.nan] * 2
        print(f"  through ({px}, {py}), normal ({nx}, {ny}): x = {x_at[0]:6.1f} at the top, "
              f"{x_at[1]:6.1f} at the bottom, {found} points")
    print(f"Time per stage (two windows compiled once beforehand in {t_windows * 1e3:.1f} ms):")
    for name, t in times:
        print(f"  {name:42s} {t * 1e6:8.1f} us")
    print(f"  {'whole frame':42s} {sum(t for _, t in times) * 1e6:8.1f} us")


if __name__ == "__main__":
    main()
