"""Properties of the detector layer on generated input.

- Frames: random patterns of the windows' colours (and a few others) at
  random scales and sizes: the detector returns a detection of finite
  numbers inside the frame's reach, and its peak memory (as tracemalloc
  sees NumPy's and Python's allocations) stays under 64 MiB.
- Settings: any values for the searches and the detector either are refused
  with TypeError or ValueError when made, or give a detector that returns on
  any frame.
- Windows files: any JSON (and some that is not) either loads or is refused
  with ValueError naming the file; what loads gives a detector that returns.
- Samples: window_from_pixels returns a window or raises ValueError.

The short profile runs with the suite, the long one with ``make fuzz``;
the calls are counted in the end-of-run report.
"""
from __future__ import annotations

import json
import math
import tracemalloc
from typing import Any

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from orbisect_detect import FieldDetector
from orbisect_detect.ball import BallSearch
from orbisect_detect.detector import Detection
from orbisect_detect.lines import LineSearch
from orbisect_detect.patterns import COLOURS, pattern
from orbisect_detect.windowfile import load_windows
from orbisect_detect.windows import Window, window_from_pixels

KINDS = ("stripes-v", "stripes-h", "stripes-d", "checker", "dots", "holes", "speckle", "rings")
PALETTE = st.one_of(st.sampled_from(list(COLOURS.values())),
                    st.tuples(*[st.integers(0, 255)] * 3))


@st.composite
def frames(draw: st.DrawFn, big: bool = True) -> np.ndarray:
    kind = draw(st.sampled_from(KINDS))
    colours = tuple(draw(st.lists(PALETTE, min_size=2, max_size=4)))
    width = draw(st.sampled_from((640, 320, 97, 1, 2, 33)) if big else st.integers(1, 120))
    height = draw(st.sampled_from((480, 240, 71, 1, 3, 25)) if big else st.integers(1, 90))
    scale = draw(st.integers(1, 48))
    density = draw(st.floats(0.0, 1.0))
    return pattern(kind, scale, colours, width, height, seed=draw(st.integers(0, 3)), density=density)


def check_detection(d: Detection, frame: np.ndarray) -> None:
    height, width = frame.shape[:2]
    reach = 2 * max(height, width) + 200
    if d.ball is not None:
        assert all(math.isfinite(v) for v in (d.ball.x, d.ball.y, d.ball.r))
        assert 0.0 <= d.ball.support <= 1.0 and abs(d.ball.x) < reach and abs(d.ball.y) < reach
    for line in d.lines:
        values = (line.x0, line.y0, line.x1, line.y1, line.width)
        assert all(math.isfinite(v) and abs(v) < reach for v in values)
        assert 0.0 <= line.support <= 1.0
    json.dumps(d.to_dict(), allow_nan=False)


DETECTOR = FieldDetector(seed=0)
DETECTOR.detect(np.zeros((480, 640, 3), np.uint8))       # buffers made before any peak is taken


@given(frame=frames())
def test_any_pattern_gives_a_detection_within_the_memory_bound(frame: np.ndarray,
                                                                kernel_calls: Any) -> None:
    tracemalloc.start()
    try:
        d = DETECTOR.detect(frame)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    kernel_calls["FieldDetector.detect"] += 1
    check_detection(d, frame)
    assert peak < 64 << 20


WILD = st.one_of(st.none(), st.booleans(), st.text(max_size=3), st.floats(allow_nan=True),
                 st.integers(-10 ** 30, 10 ** 30), st.just(10 ** 400))


def values(lo: float, hi: float, integral: bool) -> st.SearchStrategy[Any]:
    """Mostly values in range (so that detectors get made), sometimes anything."""
    inside = st.integers(int(lo), int(hi)) if integral else st.floats(lo, hi)
    return st.one_of(inside, inside, inside, WILD)


# Iterations are drawn up to 3000: a detector does work in proportion to them.
BALL_FIELDS = {"min_r": values(0.0, 200.0, False), "max_r": values(0.0, 800.0, False),
               "iterations": values(-2, 3000, True), "tolerance": values(0.0, 70.0, False),
               "min_support": values(-0.1, 1.1, False), "candidates": values(-1, 17, True),
               "min_run": values(-1, 700, True)}
LINE_FIELDS = {"iterations": values(-2, 3000, True), "tolerance": values(0.0, 70.0, False),
               "min_width": values(-1.0, 100.0, False), "max_width": values(-1.0, 700.0, False),
               "min_run": values(-1, 700, True), "min_points": values(-1, 300, True),
               "min_support": values(-0.1, 1.1, False), "max_lines": values(-1, 65, True)}


def made(cls: Any, kwargs: dict[str, Any]) -> Any:
    try:
        return cls(**kwargs)
    except (TypeError, ValueError):
        return None


@given(ball=st.fixed_dictionaries({}, optional=BALL_FIELDS),
       line=st.fixed_dictionaries({}, optional=LINE_FIELDS),
       rows=values(1, 300, True), columns=values(1, 300, True),
       frame=frames(big=False))
def test_any_settings_are_refused_when_made_or_work_on_any_frame(ball: dict[str, Any],
                                                                 line: dict[str, Any], rows: Any,
                                                                 columns: Any, frame: np.ndarray,
                                                                 kernel_calls: Any) -> None:
    ball_search, line_search = made(BallSearch, ball), made(LineSearch, line)
    try:
        detector = FieldDetector(ball_search=ball_search, line_search=line_search, rows=rows,
                                 columns=columns, seed=1)
    except (TypeError, ValueError):
        return
    kernel_calls["FieldDetector.detect"] += 1
    check_detection(detector.detect(frame), frame)


NUMBER = st.one_of(st.floats(-2.0, 400.0), st.integers(-400, 400), WILD,
                   st.lists(st.integers(), max_size=2))
PAIR = st.one_of(st.lists(NUMBER, min_size=0, max_size=3), NUMBER, st.dictionaries(st.text(max_size=2), NUMBER))
WINDOW = st.fixed_dictionaries({}, optional={"hue_deg": PAIR, "chroma": PAIR, "intensity": PAIR,
                                             "x": NUMBER})
GOOD_WINDOW = st.fixed_dictionaries({
    "hue_deg": st.tuples(st.floats(-400, 400), st.floats(0.5, 179.5)).map(lambda t: [t[0], t[0] + t[1]]),
    "chroma": st.tuples(st.floats(0, 0.6), st.floats(0.6, 1.2)).map(list),
    "intensity": st.tuples(st.floats(0, 0.5), st.floats(0.5, 1.0)).map(list)})
ENTRY = st.one_of(WINDOW, GOOD_WINDOW, GOOD_WINDOW, NUMBER)
DOCUMENT = st.one_of(
    st.fixed_dictionaries({}, optional={"ball": ENTRY, "field": ENTRY,
                                        "line": st.one_of(ENTRY, st.lists(ENTRY, max_size=3)),
                                        "other": NUMBER}),
    st.recursive(NUMBER, lambda inner: st.lists(inner, max_size=3), max_leaves=8))


@given(document=DOCUMENT, frame=frames(big=False))
def test_any_windows_file_loads_or_is_refused_naming_the_file(tmp_path_factory: pytest.TempPathFactory,
                                                              document: Any, frame: np.ndarray,
                                                              kernel_calls: Any) -> None:
    path = tmp_path_factory.mktemp("w") / "windows.json"
    try:
        text = json.dumps(document)
    except (ValueError, OverflowError):
        text = repr(document)
    path.write_text(text)
    try:
        windows = load_windows(path)
    except ValueError as e:
        assert str(e).startswith(f"{path}: ")
        return
    kernel_calls["FieldDetector.detect"] += 1
    check_detection(FieldDetector(**windows.detector_arguments(), seed=0).detect(frame), frame)


@given(sample=st.lists(st.tuples(*[st.integers(0, 255)] * 3), min_size=0, max_size=300),
       exclude=st.none() | st.lists(st.tuples(*[st.integers(0, 255)] * 3), min_size=1, max_size=300))
def test_window_from_pixels_returns_a_window_or_refuses(sample: list[tuple[int, int, int]],
                                                         exclude: list[tuple[int, int, int]] | None,
                                                         kernel_calls: Any) -> None:
    kernel_calls["window_from_pixels"] += 1
    pixels = np.array(sample, np.uint8).reshape(-1, 3)
    try:
        w = window_from_pixels(pixels, exclude=None if exclude is None else np.array(exclude, np.uint8))
    except ValueError:
        return
    assert isinstance(w, Window)
