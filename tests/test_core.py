"""The detector's native core: reproducible lines whatever the thread, the
process or the order of the frames, detectors in parallel, a detector used
from two threads at once refused, and the core's settings record."""
from __future__ import annotations

import json
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from orbisect_detect import FieldDetector, LineSearch
from orbisect_detect import _core
from orbisect_detect.scenes import make_scenes


@pytest.fixture(scope="module")
def frames():
    return [s.image for s in make_scenes(41, 16)]


def results(detector, frames):
    return [(d.ball, d.lines) for d in map(detector.detect, frames)]


def test_eight_threads_with_a_detector_each_give_the_results_of_one(frames):
    reference = results(FieldDetector(seed=9), frames)
    got: dict[int, list] = {}
    start = threading.Barrier(8)

    def work(k):
        detector = FieldDetector(seed=9)
        order = frames[k:] + frames[:k]                # each thread its own order
        start.wait()
        out = results(detector, order)
        got[k] = out[len(frames) - k:] + out[:len(frames) - k]

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert all(got[k] == reference for k in range(8))


CHILD = """
import json, sys
from orbisect_detect import FieldDetector
from orbisect_detect.scenes import make_scenes
frames = [s.image for s in make_scenes(41, 16)]
det = FieldDetector(seed=9)
print(json.dumps({i: [l.to_dict() for l in det.detect(frames[i]).lines] for i in (11, 2, 7, 2, 0)}))
"""


def test_lines_are_the_same_in_another_process_in_another_order(frames):
    detector = FieldDetector(seed=9)
    mine = {str(i): [l.to_dict() for l in detector.detect(frames[i]).lines] for i in (0, 2, 7, 11)}
    child = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True,
                           timeout=300, check=True)
    assert json.loads(child.stdout) == mine
    assert any(mine.values())


def test_without_a_seed_each_detector_counts_its_own_frames(frames):
    # The lines' draws come from the count of the detector's frames (the
    # ball's, unseeded, from the C runtime's generator as it stands).
    a, b = FieldDetector(), FieldDetector()
    b.detect(frames[5])
    lines_a = [a.detect(f).lines for f in frames[:6]]
    c = FieldDetector()
    assert [c.detect(f).lines for f in frames[:6]] == lines_a
    assert all(lines_a)


def big_frame():
    """A large busy frame: a detection takes long enough for a second
    thread to come in during it."""
    g = np.random.default_rng(3)
    img = np.empty((2160, 3840, 3), np.uint8)
    img[:] = (40, 140, 50)
    yy, xx = np.mgrid[:2160, :3840]
    img[(xx // 7 + yy // 5) % 9 == 0] = (235, 235, 235)
    img[g.random((2160, 3840)) < 0.01] = (230, 110, 20)
    return img


def collide(call, frame):
    """Runs call(frame) in a loop in one thread and in another; returns the
    errors the second one got and whether the first one ever failed."""
    stop = threading.Event()
    first_failed: list[BaseException] = []

    def keep_busy():
        try:
            while not stop.is_set():
                call(frame)
        except BaseException as e:  # noqa: BLE001 - reported below
            first_failed.append(e)

    t = threading.Thread(target=keep_busy)
    t.start()
    refused = []
    try:
        for _ in range(2000):
            try:
                call(frame)
            except RuntimeError as e:
                refused.append(e)
                if len(refused) >= 3:
                    break
    finally:
        stop.set()
        t.join()
    return refused, first_failed


def test_a_detector_used_from_two_threads_at_once_is_refused():
    frame = big_frame()
    detector = FieldDetector(seed=1, rows=480, columns=640)
    reference = detector.detect(frame)
    refused, failed = collide(detector.detect, frame)
    assert refused and not failed
    assert all("one detector per thread" in str(e) for e in refused)
    # The refusals left the detector as it was.
    again = detector.detect(frame)
    assert (again.ball, again.lines) == (reference.ball, reference.lines)


def test_the_core_refuses_a_second_thread_while_it_runs():
    frame = big_frame()
    finder = FieldDetector(seed=1, rows=2000, columns=3000)._searches(480, 640)[1]
    reference = finder.detect(frame, False, False)[:2]
    refused, failed = collide(lambda f: finder.detect(f, False, False), frame)
    assert refused and not failed
    assert all("in use by another thread" in str(e) for e in refused)
    assert finder.detect(frame, False, False)[:2] == reference


def test_the_core_reads_a_frame_it_may_not_write(frames):
    frame = frames[3].copy()
    detector = FieldDetector(seed=4)
    reference = detector._searches(480, 640)[1].detect(frame, False, False)[:3]
    frame.flags.writeable = False
    assert detector._searches(480, 640)[1].detect(frame, False, False)[:3] == reference
    assert detector._searches(480, 640)[1].detect(memoryview(frame), False, False)[:3] == reference


@pytest.mark.parametrize("frame, match", [
    (np.zeros((4, 5), np.uint8), "3 dimensions"),
    (np.zeros((4, 5, 4), np.uint8), "3 channels"),
    (np.zeros((4, 5, 3), np.int32), "uint8"),
    (np.zeros((0, 5, 3), np.uint8), "from 1"),
    (np.zeros((4, 5, 3), np.uint8)[..., ::-1], "adjacent"),
    (b"abc", "3 dimensions"),
])
def test_the_core_refuses_frames_it_cannot_read(frame, match):
    finder = FieldDetector()._searches(480, 640)[1]
    with pytest.raises(ValueError, match=match):
        finder.detect(frame, False, False)


def core_arguments(**change):
    """The arguments a default detector gives its core, with some changed."""
    from orbisect_detect.detector import _window_ints
    from orbisect_detect.lines import paint_test
    from orbisect_detect.windows import BALL_WINDOW, FIELD_WINDOW, LINE_WINDOWS
    paint = [_window_ints(m) for m in paint_test(LINE_WINDOWS, "rgb").mappings]
    args = dict(field_rgb=_window_ints(FIELD_WINDOW.mapping_for("rgb")),
                field_bgr=_window_ints(FIELD_WINDOW.mapping_for("bgr")), paint_rgb=paint,
                paint_bgr=paint, grey=(89, 256), rows=48, columns=64,
                search=(120, 1.5, 2.0, 60.0, 3, 5, 0.6, 8), seed=None,
                ball_rgb=_window_ints(BALL_WINDOW.mapping_for("rgb")),
                ball_bgr=_window_ints(BALL_WINDOW.mapping_for("bgr")),
                ball_search=(4.8, 160.0, 200, 1.5, 0.65, 4, 3, 0.7, 0.15, 0.35, True, 1))
    args.update(change)
    return args


def search(k, value, name="search"):
    s = list(core_arguments()[name])
    s[k] = value
    return tuple(s)


def ball(k, value):
    return {"ball_search": search(k, value, "ball_search")}


# The detector's settings are checked when made; the core checks its own
# record again, so that no setting it cannot run with reaches it.
@pytest.mark.parametrize("change, error, match", [
    ({"search": search(1, 0.0)}, ValueError, "tolerance"),
    ({"search": search(1, float("nan"))}, ValueError, "tolerance"),
    ({"search": search(2, 9.0)[:3] + (3.0,) + search(2, 9.0)[4:]}, ValueError, "min_width"),
    ({"search": search(5, 1)}, ValueError, "min_points"),
    ({"search": search(7, 65)}, ValueError, "max_lines"),
    ({"search": search(0, -5)}, ValueError, "iterations"),
    ({"search": search(0, 10 ** 6)}, ValueError, "iterations"),
    ({"rows": 0}, ValueError, "rows"),
    ({"columns": 65537}, ValueError, "columns"),
    ({"paint_rgb": []}, ValueError, "line_windows"),
    ({"field_rgb": (1, 2, 3)}, ValueError, "13 integers"),
    ({"field_bgr": (1 << 40,) * 13}, OverflowError, "32 bits"),
    ({"search": (1, 2)}, TypeError, None),
    (ball(0, 0.0), ValueError, "min_r"),
    (ball(1, 1.0), ValueError, "min_r <= max_r"),
    (ball(3, float("inf")), ValueError, "tolerance"),
    (ball(4, 1.5), ValueError, "min_support"),
    (ball(5, 17), ValueError, "candidates"),
    (ball(7, float("nan")), ValueError, "min_saturation"),
    (ball(9, -0.1), ValueError, "cut_support"),
    (ball(11, 0), ValueError, "max_balls"),
    ({"ball_rgb": (0,) * 12}, ValueError, "13 integers"),
])
def test_the_core_refuses_settings_it_cannot_run_with(change, error, match):
    with pytest.raises(error, match=match):
        _core.Detector(**core_arguments(**change))
    _core.Detector(**core_arguments())


def test_too_many_paint_windows_are_refused():
    from orbisect_detect.windows import LINE_WINDOWS
    with pytest.raises(ValueError, match="line_windows"):
        FieldDetector(line_windows=LINE_WINDOWS * 3)


def test_the_core_module_holds_only_its_own_names():
    assert {n for n in dir(_core) if not n.startswith("__")} == {
        "Detector", "MAX_SCAN_LINES", "MAX_SCAN_POINTS", "MAX_GAPS", "MAX_BORDERS", "MAX_CHORDS",
        "MAX_PROPOSALS", "MAX_DENSE_LINES", "MAX_BALLS", "fit_circle", "fit_circle_algebraic",
        "refine_circle_border", "disc_saturation", "chord_candidates"}


def test_the_interpreter_runs_other_threads_during_the_native_search():
    frame = big_frame()
    finder = FieldDetector(seed=1, rows=2000, columns=3000)._searches(480, 640)[1]
    span: list[float] = []
    ticks: list[float] = []
    done = threading.Event()

    def search():
        t0 = time.perf_counter()
        finder.detect(frame, False, False)
        span.extend((t0, time.perf_counter()))
        done.set()

    t = threading.Thread(target=search)
    t.start()
    while not done.is_set():
        ticks.append(time.perf_counter())
    t.join()
    t0, t1 = span
    # With the lock held for the call, this thread could not have run in
    # its middle half.
    q0, q1 = t0 + 0.25 * (t1 - t0), t1 - 0.25 * (t1 - t0)
    assert sum(q0 < x < q1 for x in ticks) > 10
