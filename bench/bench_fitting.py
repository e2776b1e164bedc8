"""RANSAC fits on N = 2 000 points (half on a noisy shape, half uniform
outliers) with 1 000 candidates each: time per fit, nanoseconds per point
test (candidates x points), and the ratio against scikit-image's ransac with
the same number of trials, all timed in this process."""
import ctypes
import math
import time
import types
import warnings

import numpy as np

import orbisect as ob
from benchtools import instruction_set, median_time

N, COUNT, SIDE = 2000, 1000, 600
PILOT = 50


def scenes():
    rng = np.random.default_rng(1)
    half = N // 2
    t = rng.uniform(0, 2 * np.pi, half)
    c, s = math.cos(0.4), math.sin(0.4)
    u, v = 120 * np.cos(t), 60 * np.sin(t)
    shapes = {
        "circle": np.c_[300 + 90 * np.cos(t), 280 + 90 * np.sin(t)],
        "ellipse": np.c_[300 + c * u - s * v, 280 + s * u + c * v],
        "line": np.c_[200 + 0.4 * t * 60, 100 + t * 60],
        "line2": np.c_[200 + 0.4 * t * 60 + 80 * (np.arange(half) % 2), 100 + t * 60],
    }
    out = {}
    for name, shape in shapes.items():
        pts = np.r_[shape + rng.normal(0, 1.0, shape.shape), rng.uniform(0, SIDE, (N - half, 2))]
        out[name] = np.rint(pts[rng.permutation(N)]).astype(np.int32)
    return out


def skimage_ransac():
    """skimage's ransac and models, or None when scikit-image is missing."""
    try:
        from skimage.measure import CircleModel, EllipseModel, LineModelND, ransac
        import skimage.measure.fit as fit
    except ImportError:
        return None
    # Some NumPy releases return complex eigenpairs from eig even when every
    # eigenvalue is real, which makes EllipseModel fail on every sample.  Hand
    # that module a NumPy whose eig returns the real parts in that case.
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            t = np.linspace(0, 6, 8)
            EllipseModel.from_estimate(np.c_[50 * np.cos(t), 20 * np.sin(t)])
    except TypeError:
        linalg = types.ModuleType("linalg")
        linalg.__dict__.update(np.linalg.__dict__)

        def eig(m):
            w, v = np.linalg.eig(m)
            if np.iscomplexobj(w) and not np.any(w.imag) and not np.any(v.imag):
                return w.real, v.real
            return w, v
        linalg.eig = eig
        shim = types.ModuleType("numpy")
        shim.__dict__.update(np.__dict__)
        shim.linalg = linalg
        fit.np = shim
    return ransac, {"circle": (CircleModel, 3), "ellipse": (EllipseModel, 5),
                    "line": (LineModelND, 2)}


def reference_time(ransac, model, k, data):
    """Median of full runs at COUNT trials; a reference too slow for that is
    timed once over PILOT trials and scaled to COUNT (each trial costs about
    the same, since the trial count is fixed and nothing stops early)."""
    run = lambda trials: ransac(data, model, k, 2.0, max_trials=trials, rng=0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        t0 = time.perf_counter()
        run(PILOT)
        projected = (time.perf_counter() - t0) * COUNT / PILOT
        if projected < 20.0:
            return median_time(lambda: run(COUNT), 3), ""
        t0 = time.perf_counter()
        run(PILOT)
        return (time.perf_counter() - t0) * COUNT / PILOT, f" (scaled from {PILOT} trials)"


def main():
    import importlib.metadata as md
    pts = scenes()
    ms = np.zeros(N, np.uint8)
    libc = ctypes.CDLL(None)
    libc.srand(12345)
    fits = {
        "circle": lambda: ob.ransac_circle(pts["circle"], COUNT, 20, 300, 2),
        "ellipse": lambda: ob.ransac_ellipse(pts["ellipse"], COUNT, 20, 300, 3.0, 2),
        "line": lambda: ob.ransac_line(pts["line"], ms, COUNT, 2, 0.1),
        "line2": lambda: ob.ransac_line2(pts["line2"], ms, COUNT, 0.98, 2),
    }
    sk = skimage_ransac()
    print(f"instruction set: {instruction_set()}")
    print(f"N = {N} points (half on the shape), {COUNT} candidates per fit")
    if sk is None:
        print("scikit-image is not installed: no reference ratios (pip install scikit-image)")
    else:
        print(f"reference: skimage.measure.ransac, scikit-image {md.version('scikit-image')}, "
              f"NumPy {np.__version__}, {COUNT} trials, residual threshold 2")
    print(f"{'fit':8} {'time':>10} {'ns/point':>9} {'reference':>11} {'ratio':>8}   result")
    for name, fn in fits.items():
        t = median_time(fn, 15)
        result = fn()
        line = f"{name:8} {t * 1e6:8.1f}us {t * 1e9 / (COUNT * N):9.3f}"
        if sk is not None and name in sk[1]:
            ransac, (model, k) = sk[0], sk[1][name]
            data = pts[name].astype(float)
            ref, note = reference_time(ransac, model, k, data)
            line += f" {ref * 1e3:9.1f}ms {ref / t:7.0f}x{note}"
        else:
            line += f" {'-':>11} {'-':>8}"
        print(line + f"   {result}")


def small_fit():
    """A ball-sized fit: 200 candidates on 120 points (the edge points around
    a ball of radius 30 and a few outliers), where each candidate costs
    little besides its circle."""
    rng = np.random.default_rng(5)
    t = rng.uniform(0, 2 * np.pi, 100)
    pts = np.r_[np.c_[320 + 30 * np.cos(t), 240 + 30 * np.sin(t)], rng.uniform(0, 640, (20, 2))]
    pts = np.rint(pts).astype(np.int32)
    t = min(median_time(lambda: ob.ransac_circle(pts, 200, 10, 100, 2), 15) for _ in range(5))
    print(f"circle, 120 points, 200 candidates: {t * 1e6:8.1f}us   {ob.ransac_circle(pts, 200, 10, 100, 2)}")


if __name__ == "__main__":
    main()
    small_fit()
