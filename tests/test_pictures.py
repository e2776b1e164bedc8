"""Tuning a window from a box, and the pictures of detections and windows."""
import doctest
import importlib

import numpy as np
import pytest

from orbisect_detect import Ball, Detection, Line, Window
from orbisect_detect.drawing import BALL_COLOUR, LINE_COLOURS, _window_region, annotate, tune_picture
from orbisect_detect.scenes import make_scene
from orbisect_detect.tuning import Box, tune_window, white_windows
from orbisect_detect.windows import pixel_coordinates

YY, XX = np.mgrid[:480, :640]
# Scenes whose ball is whole and in plain view, of radius 14 to 56 px.
CLEAR_BALLS = [(1, 3), (1, 6), (1, 8), (2, 0), (2, 2), (2, 5), (2, 6)]


@pytest.mark.parametrize("seed, index", CLEAR_BALLS)
def test_a_box_inside_the_ball_gives_a_window_for_the_ball_and_not_the_field(seed, index):
    scene = make_scene(seed, index)
    b = scene.ball
    tuned = tune_window(scene.image, Box.around(b.x, b.y, 0.65 * b.r), "ball")
    dist = np.hypot(XX - b.x, YY - b.y)
    ball = scene.image[dist < b.r - 1.5]            # clear of the blended border
    hue, chroma, _ = pixel_coordinates(scene.image)
    grass = scene.image[(dist > b.r + 10) & (hue > 70) & (hue < 170) & (chroma > 0.05)]
    window = tuned.window
    assert window.contains(ball).mean() >= 0.95
    assert window.contains(grass).mean() < 0.01
    assert tuned.coverage > 0.97 and tuned.sample_size == tuned.box.area


def test_white_paint_gives_three_wedges_with_the_samples_limits():
    scene = make_scene(1, 3)                         # a white line 3.8 px wide at y = 349
    tuned = tune_window(scene.image, Box(300, 345, 360, 354), "line")
    assert tuned.achromatic and [w.hue_deg for w in tuned.windows] == \
        [(-70.0, 60.0), (50.0, 180.0), (170.0, 300.0)]
    assert tuned.sample_size < tuned.box.area / 2    # the grass in the box is not paint
    paint = scene.image[np.abs(YY - 349) < 1][100:540]
    assert tuned.coverage > 0.95
    assert np.mean([any(w.contains(p[None])[0] for w in tuned.windows) for p in paint]) > 0.9
    # Grey and black samples alike; the chroma limit follows the sample.
    ws = white_windows(np.full((50, 3), 40) + np.arange(50)[:, None] % 3)
    assert ws[0].intensity[1] < 0.3 and ws[0].chroma[1] < 0.1


def test_a_coloured_paint_gets_one_window_and_a_greyish_ball_is_refused():
    frame = np.zeros((100, 100, 3), np.uint8)
    frame[:] = (40, 140, 50)
    frame[40:60] = (235, 215, 40)                  # yellow paint
    tuned = tune_window(frame, Box(10, 45, 90, 55), "line")
    assert not tuned.achromatic and len(tuned.windows) == 1 and tuned.frame_coverage == 0.2
    frame[40:60] = (128, 128, 130)
    with pytest.raises(ValueError, match="no dominant hue"):
        tune_window(frame, Box(10, 45, 90, 55), "ball")
    with pytest.raises(ValueError, match="at least 10"):
        tune_window(frame, Box(98, 98, 120, 120), "ball")     # 4 pixels inside the frame


def test_bgr_frames_tune_to_the_same_window():
    scene = make_scene(2, 0)
    box = Box.around(scene.ball.x, scene.ball.y, 25)
    bgr = np.ascontiguousarray(scene.image[..., ::-1])
    assert tune_window(bgr, box, "ball", order="bgr").windows == \
        tune_window(scene.image, box, "ball").windows


def inside_polygon(px, py, poly):
    """Even-odd rule, vectorised over points."""
    inside = np.zeros(px.shape, bool)
    for (x0, y0), (x1, y1) in zip(poly, poly[1:] + poly[:1]):
        crosses = (y0 > py) != (y1 > py)
        with np.errstate(divide="ignore", invalid="ignore"):
            x_at = x0 + (py - y0) * (x1 - x0) / (y1 - y0)
        inside ^= crosses & (px < x_at)
    return inside


@pytest.mark.parametrize("windows", [
    [Window((10.0, 36.0), (0.1, 1.2), (0.0, 1.0))],
    [Window((75.0, 170.0), (0.3, 0.9), (0.0, 1.0))],
    [Window((-70.0, 60.0), (0.0, 0.16), (0.0, 1.0)), Window((50.0, 180.0), (0.0, 0.16), (0.0, 1.0)),
     Window((170.0, 300.0), (0.0, 0.16), (0.0, 1.0))],
])
def test_the_plotted_region_is_where_the_window_holds_colours(windows):
    rng = np.random.default_rng(0)
    pixels = rng.integers(0, 256, (40000, 3))
    hue, chroma, _ = pixel_coordinates(pixels)
    a, b = chroma * np.cos(np.radians(hue)), chroma * np.sin(np.radians(hue))
    drawn = np.zeros(len(pixels), bool)
    for ring in _window_region(windows, 5.0)[:1]:
        drawn |= inside_polygon(a, b, ring)
    held = np.zeros(len(pixels), bool)
    for w in windows:
        held |= w.contains(pixels)
    assert held.sum() > 200
    assert (drawn != held).mean() < 0.003           # only on the border


def test_annotated_picture_shows_the_ball_and_each_line_in_its_colour():
    frame = np.zeros((240, 320, 3), np.uint8)
    frame[:] = (40, 140, 50)
    lines = [Line(0.0, 60.0, 319.0, 60.0, 8.0, 0.9), Line(250.0, 0.0, 250.0, 239.0, 4.0, 0.7)]
    d = Detection(Ball(100.0, 150.0, 30.0, 0.8), lines, {"total": 0.001})
    before = frame.copy()
    pic = np.asarray(annotate(frame, d))
    assert pic.shape == frame.shape and np.array_equal(frame, before)     # the input is intact
    assert tuple(pic[150, 130]) == BALL_COLOUR and tuple(pic[120, 100]) == BALL_COLOUR
    assert tuple(pic[150, 100]) == BALL_COLOUR                         # the centre's cross
    assert tuple(pic[60, 150]) == LINE_COLOURS[0] and tuple(pic[120, 250]) == LINE_COLOURS[1]
    band = pic[57, 150].astype(int)                  # inside the 8 px band, off the centre line
    assert np.all(band != frame[57, 150]) and tuple(band) != LINE_COLOURS[0]
    assert np.array_equal(pic[110, 180], frame[110, 180])   # away from everything drawn
    # A BGR frame gives the same picture as its RGB view.
    bgr = np.ascontiguousarray(frame[..., ::-1])
    assert np.array_equal(np.asarray(annotate(bgr, d, order="bgr")), pic)
    # The legend goes to a corner clear of the shapes.
    corner = np.asarray(annotate(frame, Detection(Ball(40.0, 40.0, 30.0, 0.9), [])))
    assert np.array_equal(corner[40, 25], frame[40, 25])
    # Nothing found: the frame and a legend saying so.
    empty = np.asarray(annotate(frame, Detection(None, [])))
    assert (np.any(empty != frame, axis=2)).mean() < 0.05


def test_tune_picture_tints_what_the_window_selects():
    scene = make_scene(1, 3)
    b = scene.ball
    window = Window((8.0, 42.0), (0.2, 0.85), (0.1, 0.8))
    pic = np.asarray(tune_picture(scene.image, (100, 260, 150, 300), [window]))
    assert pic.shape[0] == 480 and pic.shape[1] > 640 + 480
    left = pic[:, :640].astype(int)
    selected = window.contains(scene.image)
    grey = np.ptp(left, axis=2) < 3                  # dimmed grey where nothing is selected
    outline = (np.abs(XX - 100) <= 3) | (np.abs(XX - 150) <= 3) | (np.abs(YY - 260) <= 3) | \
        (np.abs(YY - 300) <= 3)                      # the box, drawn in yellow and black
    assert grey[~selected & ~outline].mean() == 1 and not grey[selected & ~outline].any()
    assert tuple(pic[280, 99]) == (255, 230, 0)
    assert selected[int(b.y), int(b.x)]


@pytest.mark.parametrize("module", ["sources", "windowfile", "tuning", "drawing", "cli", "demo", "outputs"])
def test_docstring_examples_hold(module):
    mod = importlib.import_module(f"orbisect_detect.{module}")
    result = doctest.testmod(mod, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0
