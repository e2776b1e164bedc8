"""Colour windows in readable units, and windows derived from a sample of pixels.

Pixels are built here from (hue, chroma, intensity) by inverting the
definitions the windows document, not through the package's own helpers.
"""
import json
import math

import numpy as np
import pytest

import orbisect
from orbisect_detect import (BALL_WINDOW, FIELD_WINDOW, LINE_WINDOWS, FieldDetector, Window,
                             window_from_pixels)
from orbisect_detect.scenes import make_scene, make_scenes, score_ball


def pixel(hue_deg, chroma, intensity):
    """The RGB pixel with this hue (degrees), chroma and intensity (fractions)."""
    a = 256.0 * chroma * math.cos(math.radians(hue_deg))
    b = 256.0 * chroma * math.sin(math.radians(hue_deg))
    s = 768.0 * intensity                       # R + G + B
    r = (2.0 * a + s) / 3.0
    g = (s - r + 2.0 * b / math.sqrt(3.0)) / 2.0
    return np.rint([r, g, s - r - g]).astype(np.uint8)


def blob(rng, rgb, sd, n):
    return np.clip(rng.normal(rgb, sd, (n, 3)), 0, 255).astype(np.uint8)


# ---- units and compiled bounds ------------------------------------------------

WINDOW = Window(hue_deg=(20.0, 60.0), chroma=(0.2, 0.5), intensity=(0.3, 0.6))


@pytest.mark.parametrize("inside, outside", [
    ((22, 0.35, 0.45), (18, 0.35, 0.45)),       # hue, lower limit in degrees
    ((58, 0.35, 0.45), (62, 0.35, 0.45)),       # hue, upper limit
    ((40, 0.22, 0.45), (40, 0.18, 0.45)),       # chroma as a fraction of full scale
    ((40, 0.48, 0.45), (40, 0.52, 0.45)),
    ((40, 0.35, 0.32), (40, 0.35, 0.28)),       # intensity as a fraction
    ((40, 0.35, 0.58), (40, 0.35, 0.62)),
])
def test_limits_are_in_degrees_and_fractions(inside, outside):
    pixels = np.array([pixel(*inside), pixel(*outside)])
    assert WINDOW.contains(pixels).tolist() == [True, False]
    assert WINDOW.contains(pixels[:, ::-1], "bgr").tolist() == [True, False]


def test_hue_limits_may_wrap_around():
    rng = np.random.default_rng(1)
    pixels = rng.integers(0, 256, (5000, 3), dtype=np.uint8)
    a = Window((-20.0, 20.0), (0.05, 1.0), (0.05, 0.95))
    b = Window((340.0, 380.0), (0.05, 1.0), (0.05, 0.95))
    assert (a.contains(pixels) == b.contains(pixels)).all()
    assert a.contains(pixels).any() and not a.contains(pixels).all()


@pytest.mark.parametrize("window", [WINDOW, BALL_WINDOW, FIELD_WINDOW, *LINE_WINDOWS,
                                    Window((-170.0, -100.0), (0.1, 0.6), (0.1, 0.9))])
def test_contains_and_both_orders_agree_with_the_mask_kernel(window):
    rng = np.random.default_rng(2)
    image = rng.integers(0, 256, (64, 80, 3), dtype=np.uint8)
    expected = window.contains(image)
    assert expected.any()
    assert (orbisect.mask_image(image, window.bounds) == expected).all()
    bgr = np.ascontiguousarray(image[..., ::-1])
    assert (orbisect.mask_image(bgr, window.bounds_for("bgr")) == expected).all()
    assert (window.contains(bgr, "bgr") == expected).all()
    assert (orbisect.mask_image(image, window.mapping_for("rgb")) == expected).all()


def test_dict_round_trip_through_json():
    w = Window((-12.5, 33.25), (0.125, 0.75), (0.0625, 0.875))
    assert Window.from_dict(json.loads(json.dumps(w.to_dict()))) == w
    with pytest.raises(ValueError, match="hue_deg, chroma and intensity"):
        Window.from_dict({"hue_deg": [0, 10], "chroma": [0.1, 0.2]})


@pytest.mark.parametrize("args, error, match", [
    (((10, 10), (0.1, 0.5), (0.1, 0.9)), ValueError, "hue_deg"),
    (((10, 190), (0.1, 0.5), (0.1, 0.9)), ValueError, "hue_deg"),
    (((40, 10), (0.1, 0.5), (0.1, 0.9)), ValueError, "hue_deg"),
    (((0, 10), (0.5, 0.1), (0.1, 0.9)), ValueError, "chroma"),
    (((0, 10), (0.1, 0.5), (0.9, 0.9)), ValueError, "intensity"),
    (((0, math.nan), (0.1, 0.5), (0.1, 0.9)), ValueError, "hue_deg.*finite"),
    (((0, 10, 20), (0.1, 0.5), (0.1, 0.9)), TypeError, "hue_deg.*pair"),
    (((0, 10), 0.5, (0.1, 0.9)), TypeError, "chroma.*pair"),
])
def test_bad_windows_are_refused(args, error, match):
    with pytest.raises(error, match=match):
        Window(*args)


def test_unknown_channel_order_is_refused():
    with pytest.raises(ValueError, match="'rgb' or 'bgr'"):
        WINDOW.bounds_for("hsv")  # type: ignore[arg-type]


# ---- window_from_pixels ---------------------------------------------------------

ORANGE, RED, GRASS = (235, 110, 25), (230, 90, 25), (60, 140, 50)     # hue 24, 18, 114


def test_window_holds_the_sample_and_ignores_a_few_strays():
    rng = np.random.default_rng(3)
    ball, grass = blob(rng, ORANGE, 8, 600), blob(rng, GRASS, 8, 5000)
    clean = window_from_pixels(ball)
    assert clean.contains(ball).mean() > 0.99
    assert not clean.contains(grass).any()
    # 1 % background pixels and a few white highlights caught in the box.
    sample = np.concatenate([ball, grass[:6], blob(rng, (245, 245, 245), 3, 6)])
    w = window_from_pixels(rng.permutation(sample))
    assert w.contains(ball).mean() > 0.99
    assert not w.contains(grass).any()
    assert abs(w.hue_deg[1] - clean.hue_deg[1]) < 5 and abs(w.hue_deg[0] - clean.hue_deg[0]) < 5


def test_window_ignores_two_percent_of_strays():
    rng = np.random.default_rng(3)
    ball, grass = blob(rng, ORANGE, 8, 600), blob(rng, GRASS, 8, 5000)
    w = window_from_pixels(np.concatenate([ball, grass[:12]]))
    assert w.contains(grass).mean() < 0.01


def _ball_and_distractor(rng, distractor_r):
    """A frame with an orange disc (r 30 at 200, 240) and a red-orange one at (450, 240)."""
    yy, xx = np.mgrid[:480, :640]
    frame = blob(rng, GRASS, 6, 480 * 640).reshape(480, 640, 3)
    frame[np.hypot(xx - 200, yy - 240) < 30] = blob(rng, ORANGE, 6, 1)[0]
    frame[np.hypot(xx - 450, yy - 240) < distractor_r] = blob(rng, RED, 6, 1)[0]
    frame = np.clip(frame + rng.normal(0, 6, frame.shape), 0, 255).astype(np.uint8)
    ball = np.hypot(xx - 200, yy - 240) < 28
    red = np.hypot(xx - 450, yy - 240) < distractor_r - 2
    return frame, frame[225:256, 185:216].reshape(-1, 3), ball, red, np.hypot(xx - 200, yy - 240) > 33


def test_exclude_moves_only_the_limit_facing_the_excluded_pixels():
    frame, box, ball, red, rest = _ball_and_distractor(np.random.default_rng(4), 45)
    loose = window_from_pixels(box)
    assert loose.contains(frame[red]).mean() > 0.5          # the case needs tightening
    region = np.zeros(frame.shape[:2], bool)
    region[180:300, 390:510] = True                         # the distractor and grass round it
    tight = window_from_pixels(box, exclude=frame[region])
    assert tight.contains(frame[red]).mean() < 0.03
    assert tight.contains(frame[ball]).mean() > 0.95
    assert tight.hue_deg[0] > loose.hue_deg[0] + 3          # red lies below the ball's hue
    assert (tight.hue_deg[1], tight.chroma, tight.intensity) == (
        loose.hue_deg[1], loose.chroma, loose.intensity)
    # Pixels that are outside already change nothing.
    assert window_from_pixels(box, exclude=frame[rest & ~region]) == loose


def test_exclude_the_rest_of_the_frame_keeps_a_near_hue_object_out():
    # A red-orange disc 6 degrees from the ball's hue: the detector takes it for the ball.
    frame, box, ball, red, rest = _ball_and_distractor(np.random.default_rng(4), 45)
    w = window_from_pixels(box, exclude=frame[rest])
    found = FieldDetector(seed=0, ball_window=w).detect(frame).ball
    assert found is not None and math.hypot(found.x - 200, found.y - 240) < 2
    # A generated frame with an orange-yellow object: 1.4 % of the rest stays inside.
    scene = make_scene(23, 7)
    b = scene.ball
    yy, xx = np.mgrid[:480, :640]
    h, x, y = int(0.6 * b.r), int(round(b.x)), int(round(b.y))
    rest = scene.image[np.hypot(xx - b.x, yy - b.y) > b.r + 3]
    w = window_from_pixels(scene.image[y - h:y + h + 1, x - h:x + h + 1].reshape(-1, 3), exclude=rest)
    assert w.contains(rest).mean() < 0.005


def test_box_on_a_generated_ball_gives_a_window_that_finds_it():
    yy, xx = np.mgrid[:480, :640]
    checked = 0
    for scene in make_scenes(23, 12):
        b = scene.ball
        if b is None or b.cut or b.occluded:
            continue
        h, x, y = int(0.6 * b.r), int(round(b.x)), int(round(b.y))
        box = scene.image[y - h:y + h + 1, x - h:x + h + 1].reshape(-1, 3)
        rest = scene.image[np.hypot(xx - b.x, yy - b.y) > b.r + 3]
        w = window_from_pixels(box, exclude=rest)
        found = FieldDetector(seed=0, ball_window=w).detect(scene.image).ball
        assert score_ball(found, b).within2, (scene.index, found, b)
        checked += 1
    assert checked >= 6


@pytest.mark.parametrize("pixels, match", [
    ([[128, 128, 128]] * 50, "no dominant hue"),
    ([[250, 250, 247]] * 50, "no dominant hue"),
    ([[3, 2, 4]] * 50, "no dominant hue"),
    ([[235, 110, 25]] * 5, "at least 10"),
    ([235, 110, 25] * 20, r"\(N, 3\)"),
])
def test_window_from_pixels_refuses(pixels, match):
    with pytest.raises(ValueError, match=match):
        window_from_pixels(np.array(pixels, np.uint8))


def test_window_from_pixels_refuses_a_bad_exclude():
    with pytest.raises(ValueError, match=r"exclude must be an \(M, 3\)"):
        window_from_pixels(np.full((20, 3), (235, 110, 25)), exclude=np.zeros(6))
