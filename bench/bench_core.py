"""Speed of the field detector: time per frame against the OpenCV pipeline of
bench_detect.py in the same run (each frame's best of 3 runs; on frames
just written, as a camera delivers them; and from memory), the time of
each stage, the first frame
against a warm one, the import, the frames per second of 1, 2 and 8
threads (one detector each), and the growth of the time per frame with the
frame's size (sizes scaled to the frame).  Then the geometry of the lines
found: width and centre-line errors against the scenes' truth, on the
generated frames and on the same frames JPEG-compressed.

    python bench/bench_core.py [frames]

Every figure is a ratio against a reference measured in the same run; the
absolute times are printed beside them.
"""
from __future__ import annotations

import math
import os
import statistics
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any

import cv2
import numpy as np
import numpy.typing as npt
from PIL import Image

from bench_detect import REPORT_SEED, OpenCVPipeline
from orbisect_detect import BallSearch, FieldDetector, LineSearch
from orbisect_detect.scenes import Scene, make_scenes, score_lines

Frame = npt.NDArray[np.uint8]
SIZES = ((320, 240), (640, 480), (1280, 720), (1920, 1080), (3840, 2160))


def per_frame(fns: Sequence[Callable[[Frame], Any]], frames: Sequence[Frame],
              repeats: int = 3) -> list[float]:
    """Median over the frames of each function's best of `repeats` runs; the
    functions take turns on each frame."""
    times: list[list[float]] = [[] for _ in fns]
    for f in frames:
        for k, fn in enumerate(fns):
            best = math.inf
            for _ in range(repeats):
                t0 = time.perf_counter()
                fn(f)
                best = min(best, time.perf_counter() - t0)
            times[k].append(best)
    return [statistics.median(t) for t in times]


def delivered(fns: Sequence[Callable[[Frame], Any]], frames: Sequence[Frame]
              ) -> tuple[list[float], list[float], list[float]]:
    """Each function's median time on frames as a camera delivers them, and
    on frames out of the caches: (1) each frame just written into a buffer,
    as a decoder or a camera's driver writes it (new to the function, its
    pixels in the caches), each function going through the frames alone;
    (2) the same with the functions taking turns on each frame, so that
    each runs after the other has filled the caches with its own work;
    (3) each frame once, alone, straight from memory (the frames together
    are far larger than the caches)."""
    buf = np.empty_like(frames[0])

    def written(fn: Callable[[Frame], Any], f: Frame) -> float:
        np.copyto(buf, f)
        t0 = time.perf_counter()
        fn(buf)
        return time.perf_counter() - t0

    def direct(fn: Callable[[Frame], Any], f: Frame) -> float:
        t0 = time.perf_counter()
        fn(f)
        return time.perf_counter() - t0

    alone = [statistics.median(written(fn, f) for f in frames) for fn in fns]
    turns: list[list[float]] = [[] for _ in fns]
    for f in frames:
        for k, fn in enumerate(fns):
            turns[k].append(written(fn, f))
    cold = [statistics.median(direct(fn, f) for f in frames) for fn in fns]
    return alone, [statistics.median(t) for t in turns], cold


def stage_medians(frames: Sequence[Frame]) -> dict[str, float]:
    det = FieldDetector(seed=0)
    det.detect(frames[0])
    stages: dict[str, list[float]] = {}
    for f in frames:
        best: dict[str, float] = {}
        for _ in range(3):
            for k, v in det.detect(f).timings.items():
                best[k] = min(best.get(k, math.inf), v)
        for k, v in best.items():
            stages.setdefault(k, []).append(v)
    return {k: statistics.median(v) for k, v in stages.items()}


def thread_rate(frames: Sequence[Frame], threads: int, seconds: float = 1.5) -> float:
    """Frames per second of `threads` threads, each with its own detector,
    each going round the frames for about `seconds`."""
    detectors = [FieldDetector(seed=0) for _ in range(threads)]
    for d in detectors:
        d.detect(frames[0])
    counts = [0] * threads
    start = threading.Barrier(threads + 1)
    stop = threading.Event()

    def work(k: int) -> None:
        det, n = detectors[k], 0
        start.wait()
        while not stop.is_set():
            det.detect(frames[n % len(frames)])
            n += 1
        counts[k] = n

    pool = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
    for t in pool:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for t in pool:
        t.join()
    return sum(counts) / (time.perf_counter() - t0)


def scaled(frame: Frame, width: int, height: int) -> Frame:
    """The frame at another size: cut to the target's shape (from the
    middle), then resized."""
    h, w = frame.shape[:2]
    if width * h > height * w:                      # wider: cut rows
        keep = round(w * height / width)
        frame = frame[(h - keep) // 2:(h - keep) // 2 + keep]
    else:
        keep = round(h * width / height)
        frame = frame[:, (w - keep) // 2:(w - keep) // 2 + keep]
    img = Image.fromarray(np.ascontiguousarray(frame)).resize((width, height), Image.BILINEAR)
    return np.asarray(img).copy()


def detector_for(width: int, height: int, cut_height: int) -> FieldDetector:
    """A detector whose sizes follow the frame's (the defaults suit 640x480
    and the frame was cut to `cut_height` rows of a 480-row scene)."""
    s = height / cut_height
    cut_width = round(cut_height * width / height)
    b, ln = BallSearch().for_frame(cut_height, cut_width), LineSearch().for_frame(cut_height, cut_width)
    assert b.min_r is not None and b.max_r is not None and b.min_run is not None
    assert ln.min_width is not None and ln.max_width is not None and ln.min_run is not None
    return FieldDetector(seed=0,
                         ball_search=BallSearch(min_r=b.min_r * s, max_r=b.max_r * s,
                                                tolerance=b.tolerance * max(s, 1.0),
                                                min_run=max(2, round(b.min_run * s))),
                         line_search=LineSearch(min_width=ln.min_width * s, max_width=ln.max_width * s,
                                                tolerance=ln.tolerance * max(s, 1.0),
                                                min_run=max(2, round(ln.min_run * s))))


def growth(frames: Sequence[Frame]) -> list[tuple[int, int, float]]:
    out = []
    for width, height in SIZES:
        cut = 480 if width * 3 == height * 4 else 360
        group = [scaled(f, width, height) for f in frames]
        det = detector_for(width, height, cut)
        out.append((width, height, per_frame([det.detect], group)[0]))
    return out


def jpeg(frame: Frame, quality: int) -> Frame:
    """The frame after JPEG compression (4:2:0 chroma, as cameras write it)."""
    import io
    buf = io.BytesIO()
    Image.fromarray(frame).save(buf, "JPEG", quality=quality)
    return np.asarray(Image.open(io.BytesIO(buf.getvalue())).convert("RGB")).copy()


def line_geometry(scenes: Sequence[Scene], frames: Sequence[Frame]
                  ) -> tuple[float, float, int, float, float, float]:
    """Line recall and precision (%), and over the lines matched to the
    truth: their number, the median width error (signed: the bias), the
    median absolute width error, and the median distance of the found ends
    from the true centre line."""
    det = FieldDetector(seed=0)
    width_err, centre = [], []
    true_count = found_count = 0
    for scene, frame in zip(scenes, frames):
        found = det.detect(frame).lines
        true_count += len(scene.lines)
        found_count += len(found)
        for i, j in score_lines(found, scene.lines).pairs:
            t, f = scene.lines[i], found[j]
            length = math.hypot(t.x1 - t.x0, t.y1 - t.y0)
            nx, ny = -(t.y1 - t.y0) / length, (t.x1 - t.x0) / length
            width_err.append(f.width - t.width)
            centre.extend(abs((x - t.x0) * nx + (y - t.y0) * ny) for x, y in ((f.x0, f.y0), (f.x1, f.y1)))
    n = len(width_err)
    return (100.0 * n / max(true_count, 1), 100.0 * n / max(found_count, 1), n,
            statistics.median(width_err), statistics.median(map(abs, width_err)),
            statistics.median(centre))


_STARTUP = r"""
import time, sys
t0 = time.perf_counter()
import numpy
t1 = time.perf_counter()
import orbisect_detect
t2 = time.perf_counter()
from orbisect_detect import FieldDetector
from orbisect_detect.scenes import make_scene
frames = [make_scene(seed=7, index=i).image for i in range(31)]
det = FieldDetector(seed=0)
t3 = time.perf_counter(); det.detect(frames[0]); t4 = time.perf_counter()
warm, again = [], []
for f in frames[1:]:
    a = time.perf_counter(); det.detect(f); warm.append(time.perf_counter() - a)
for _ in range(30):
    a = time.perf_counter(); det.detect(frames[0]); again.append(time.perf_counter() - a)
warm.sort(); again.sort()
print(t2 - t1, t4 - t3, warm[len(warm) // 2], again[len(again) // 2])
"""


def startup(runs: int = 5) -> tuple[float, float, float, float]:
    """Import of orbisect_detect after NumPy, the first frame, a warm
    detector's frame (each frame new to it, as a camera's are) and the
    first frame detected again (its pixels in the caches): medians over
    fresh interpreters."""
    got = []
    for _ in range(runs):
        out = subprocess.run([sys.executable, "-c", _STARTUP], capture_output=True, text=True,
                             check=True).stdout.split()
        got.append(tuple(float(v) for v in out))
    imp, first, warm, again = (statistics.median(g[k] for g in got) for k in range(4))
    return imp, first, warm, again


def main() -> None:
    frames = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    cv2.setNumThreads(1)
    scenes = [s.image for s in make_scenes(REPORT_SEED, frames)]
    print(f"{frames} generated 640x480 scenes (seed {REPORT_SEED}), {os.cpu_count()} cores; "
          f"OpenCV {cv2.__version__} on one thread")

    cv = OpenCVPipeline()
    det = FieldDetector(seed=0)
    det.detect(scenes[0])
    cv.detect(scenes[0])
    t_ours, t_cv = per_frame([det.detect, cv.detect], scenes)
    print(f"per frame: orbisect {t_ours * 1e3:.3f} ms, OpenCV {t_cv * 1e3:.3f} ms: "
          f"{t_cv / t_ours:.1f}x as fast")
    (w_ours, w_cv), (t_ours, t_cv), (c_ours, c_cv) = delivered([det.detect, cv.detect], scenes)
    print(f"each frame just written into a buffer (as a camera delivers it): orbisect "
          f"{w_ours * 1e3:.3f} ms, OpenCV {w_cv * 1e3:.3f} ms: {w_cv / w_ours:.1f}x as fast; "
          f"the two taking turns: {t_ours * 1e3:.3f} ms, OpenCV {t_cv * 1e3:.3f} ms: "
          f"{t_cv / t_ours:.1f}x; each frame once from memory: {c_ours * 1e3:.3f} ms, "
          f"OpenCV {c_cv * 1e3:.3f} ms: {c_cv / c_ours:.1f}x")
    stages = stage_medians(scenes)
    print("stages (median of best of 3): " + ", ".join(
        f"{k} {v * 1e3:.3f} ms" for k, v in stages.items()))

    imp, first, warm, again = startup()
    print(f"import orbisect_detect after NumPy: {imp * 1e3:.1f} ms; first frame {first * 1e3:.3f} ms, "
          f"warm (new frames) {warm * 1e3:.3f} ms: {first / warm:.2f}x; "
          f"the first frame again {again * 1e3:.3f} ms: {first / again:.2f}x")

    one = thread_rate(scenes, 1)
    rates = [(n, thread_rate(scenes, n)) for n in (1, 2, 8)]
    print(f"threads (one detector each, frames per second): 1 thread {one:.0f}; " + ", ".join(
        f"{n}: {r:.0f} ({r / one:.2f}x)" for n, r in rates))

    truth = list(make_scenes(REPORT_SEED, frames))
    print("lines against the truth (recall, precision; over the matched lines: median width "
          "error, median |width error|, median distance of the ends from the true centre line):")
    for name, group in (("generated", scenes), ("JPEG quality 60", [jpeg(f, 60) for f in scenes]),
                        ("JPEG quality 30", [jpeg(f, 30) for f in scenes])):
        recall, precision, n, bias, err, off = line_geometry(truth, group)
        print(f"  {name}: recall {recall:.1f}%, precision {precision:.1f}%; {n} lines, width "
              f"{bias:+.3f} px, |width| {err:.3f} px, centre {off:.3f} px")

    few = scenes[: max(10, frames // 5)]
    rows = growth(few)
    base = next(t for w, h, t in rows if (w, h) == (640, 480))
    print("growth (sizes scaled to the frame; x against 640x480):")
    for w, h, t in rows:
        print(f"  {w}x{h}: {t * 1e3:.3f} ms ({t / base:.2f}x)")


if __name__ == "__main__":
    main()
