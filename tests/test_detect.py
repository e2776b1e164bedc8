"""The field detector: accuracy on drawn frames, frame layouts, refusals,
reproducibility, rejection of what is not a ball, and its rates on generated
scenes."""
import ctypes
import json
import math
import subprocess
import sys
import threading
import tracemalloc

import numpy as np
import pytest

from orbisect_detect import FieldDetector
from orbisect_detect.ball import fit_circle, fit_circle_algebraic, refine_circle
from orbisect_detect.scenes import Tally, make_scenes

H, W = 480, 640
YY, XX = np.mgrid[0:H, 0:W].astype(np.float64)
GRASS = np.array([60.0, 140.0, 50.0])
ORANGE = np.array([235.0, 110.0, 25.0])
WHITE = np.array([235.0, 235.0, 230.0])
DARK = np.array([35.0, 35.0, 38.0])


# ---- drawing: shapes as pixel coverage, then blur and sensor noise -------------

def grass(seed=0):
    shade = 1 + 0.08 * np.sin(XX / 37.0 + seed) * np.cos(YY / 29.0) + 0.05 * np.sin((XX + YY) / 23.0)
    return shade[..., None] * GRASS


def paint(img, cover, colour):
    img += cover[..., None] * (colour - img)
    return img


def disc(cx, cy, r):
    return np.clip(r + 0.5 - np.hypot(XX - cx, YY - cy), 0, 1)


def ellipse(cx, cy, a, b, phi):
    u = (XX - cx) * math.cos(phi) + (YY - cy) * math.sin(phi)
    v = -(XX - cx) * math.sin(phi) + (YY - cy) * math.cos(phi)
    return np.clip((1 - np.hypot(u / a, v / b)) * b + 0.5, 0, 1)


def stripe(x0, y0, x1, y1, w):
    n = math.hypot(x1 - x0, y1 - y0)
    ux, uy = (x1 - x0) / n, (y1 - y0) / n
    across = np.abs((XX - x0) * uy - (YY - y0) * ux)
    along = (XX - x0) * ux + (YY - y0) * uy
    return np.clip(w / 2 + 0.5 - across, 0, 1) * np.clip(along + 0.5, 0, 1) * np.clip(n + 0.5 - along, 0, 1)


def frame(img, seed=0, noise=3.0):
    p = np.pad(img, ((1, 1), (1, 1), (0, 0)), mode="edge")
    p = (p[:-2] + 2 * p[1:-1] + p[2:]) / 4                 # a [1, 2, 1] blur down the columns
    img = (p[:, :-2] + 2 * p[:, 1:-1] + p[:, 2:]) / 4      # and along the rows
    img += np.random.default_rng(seed).normal(0, noise, img.shape)
    return np.clip(np.rint(img), 0, 255).astype(np.uint8)


def same(a, b):
    return (a.ball, a.lines) == (b.ball, b.lines)


@pytest.fixture(scope="module")
def series():
    return list(make_scenes(11, 40))


@pytest.fixture(scope="module")
def busy(series):
    """A generated frame with a ball and at least two lines."""
    return next(s for s in series if s.ball is not None and len(s.lines) >= 2).image


# ---- the refits ------------------------------------------------------------------

@pytest.mark.parametrize("arc", [2 * math.pi, 2 * math.pi / 3])
def test_circle_fits_recover_a_known_circle_from_noisy_points(arc):
    rng = np.random.default_rng(5)
    cx, cy, r = 213.37, 98.61, 31.4
    t = rng.uniform(0.3, 0.3 + arc, 150)
    x = cx + r * np.cos(t) + rng.normal(0, 0.35, t.size)
    y = cy + r * np.sin(t) + rng.normal(0, 0.35, t.size)
    first = fit_circle_algebraic(x, y)
    assert first is not None
    for fx, fy, fr in (first, fit_circle(x, y, *first, iterations=10),
                       fit_circle(x, y, cx + 3, cy - 2, r + 2, iterations=10)):
        assert math.hypot(fx - cx, fy - cy) < 0.25 and abs(fr - r) < 0.2
    # Far points (another object's border) are left out of the refit.
    xo = np.concatenate([x, rng.uniform(cx - 80, cx + 80, 40)])
    yo = np.concatenate([y, rng.uniform(cy - 80, cy + 80, 40)])
    fx, fy, fr = refine_circle(xo, yo, cx + 0.8, cy - 0.6, r + 0.7, 1.5)
    assert math.hypot(fx - cx, fy - cy) < 0.25 and abs(fr - r) < 0.2


def test_circle_fits_decline_degenerate_points():
    x = np.arange(10.0)
    assert fit_circle_algebraic(x, 2 * x + 1) is None                  # collinear
    assert fit_circle_algebraic(x[:2], x[:2]) is None
    assert fit_circle(x[:2], x[:2], 1.0, 2.0, 3.0) == (1.0, 2.0, 3.0)


@pytest.mark.parametrize("kind", ["whole", "cut", "bar", "cut and bar"])
def test_ball_is_found_to_sub_pixel_accuracy(kind):
    rng = np.random.default_rng(["whole", "cut", "bar", "cut and bar"].index(kind))
    for k in range(4):
        r = rng.uniform(12, 60)
        x = rng.uniform(0.2, 0.9) * r - 0.5 if "cut" in kind else rng.uniform(r + 2, W - 3 - r)
        y = rng.uniform(r + 2, H - 3 - r)
        img = paint(grass(k), disc(x, y, r), ORANGE)
        if "bar" in kind:                        # a dark leg in front of part of it
            bx, half = x + rng.choice([-1, 1]) * rng.uniform(0.35, 0.8) * r, rng.uniform(0.2, 0.45) * r
            paint(img, np.clip(half + 0.5 - np.abs(XX - bx), 0, 1) * (YY < y + r + 20), DARK)
        ball = FieldDetector(seed=0).detect(frame(img, k)).ball
        assert ball is not None, (x, y, r)
        # Whole balls: about 0.1 px off centre, and 0.3 to 0.45 px small (a pixel
        # half orange, half green has left the ball's hue wedge).
        assert math.hypot(ball.x - x, ball.y - y) < (0.3 if kind == "whole" else 1.0), (ball, x, y, r)
        assert abs(ball.r - r) < (0.75 if kind == "whole" else 1.25), (ball, r)
        assert 0.45 <= ball.support <= 1.0


def line_errors(line, x0, y0, x1, y1):
    """Angle in degrees, largest distance of the end points from the true
    centre line, and how far each end lies from the true one along it."""
    n = math.hypot(x1 - x0, y1 - y0)
    ux, uy = (x1 - x0) / n, (y1 - y0) / n
    ends = [(line.x0, line.y0), (line.x1, line.y1)]
    across = max(abs((x - x0) * uy - (y - y0) * ux) for x, y in ends)
    along = sorted((x - x0) * ux + (y - y0) * uy for x, y in ends)
    dx, dy = line.x1 - line.x0, line.y1 - line.y0
    angle = math.degrees(math.atan2(abs(dx * uy - dy * ux), abs(dx * ux + dy * uy)))
    return angle, across, (along[0], n - along[1])


SEGMENTS = [   # stripes that end inside the frame: (x0, y0, x1, y1, width)
    (150.5, 240.5, 450.5, 240.5, 8.0),          # exactly horizontal
    (320.5, 100.5, 320.5, 300.5, 6.0),          # exactly vertical
    (100.0, 100.0, 540.0, 400.0, 10.0),
    (520.0, 80.0, 120.0, 380.0, 7.0),           # image slope exactly -3/4
    (50.0, 60.0, 590.0, 70.0, 4.0),             # nearly horizontal
    (200.0, 50.0, 230.0, 430.0, 12.0),          # nearly vertical
]


@pytest.mark.parametrize("x0, y0, x1, y1, width", SEGMENTS)
def test_stripe_becomes_one_line_on_its_centre_line(x0, y0, x1, y1, width):
    for seed in range(2):
        lines = FieldDetector(seed=seed).detect(frame(paint(grass(seed), stripe(x0, y0, x1, y1, width),
                                                            WHITE), seed)).lines
        assert len(lines) == 1
        angle, across, ends = line_errors(lines[0], x0, y0, x1, y1)
        assert angle < 0.2 and across < 0.5
        assert max(map(abs, ends)) < 2.0, ends              # the paint is followed in 1 px steps
        assert abs(lines[0].width - width) < 1.25 and 0.6 <= lines[0].support <= 1.0


@pytest.mark.parametrize("x0, y0, x1, y1, width", [
    (-0.5, 449.5, 449.5, -0.5, 9.0),
    (-0.5, 20.5, 639.5, 460.5, 7.0),
    (-0.5, 200.0, 639.5, 200.0, 8.0),
    (321.0, -0.5, 321.0, 479.5, 6.0),
    (200.5, -0.5, 439.5, 479.5, 10.0),
])
def test_stripe_across_the_frame_reaches_its_borders(x0, y0, x1, y1, width):
    ux, uy = (x1 - x0) / 1e3, (y1 - y0) / 1e3           # painted far beyond the frame
    img = frame(paint(grass(), stripe(x0 - 200 * ux, y0 - 200 * uy, x1 + 200 * ux, y1 + 200 * uy, width),
                      WHITE))
    lines = FieldDetector(seed=0).detect(img).lines
    assert len(lines) == 1
    angle, across, ends = line_errors(lines[0], x0, y0, x1, y1)
    assert angle < 0.2 and across < 0.5
    assert max(map(abs, ends)) < 1.0, ends


# ---- frames: layouts, read-only memory, channel order ---------------------------

def read_only(a):
    a.setflags(write=False)
    return a


def embedded(f):
    big = np.zeros((H + 23, W + 41, 3), np.uint8)
    big[9:9 + H, 17:17 + W] = f
    return read_only(big[9:9 + H, 17:17 + W])


LAYOUTS = {
    "read-only": lambda f: read_only(f.copy()),
    "from bytes": lambda f: np.frombuffer(f.tobytes(), np.uint8).reshape(f.shape),
    "region of a larger frame, read-only": embedded,
    "every other column": lambda f: np.repeat(f, 2, axis=1)[:, ::2],
    "every other row, read-only": lambda f: read_only(np.repeat(f, 2, axis=0)[::2]),
    "rows and columns reversed": lambda f: np.ascontiguousarray(f[::-1, ::-1])[::-1, ::-1],
    "reversed, read-only": lambda f: read_only(np.ascontiguousarray(f[::-1, ::-1]))[::-1, ::-1],
    "channel-reversed view of BGR": lambda f: np.ascontiguousarray(f[..., ::-1])[..., ::-1],
    "RGB of RGBA": lambda f: np.dstack([f, np.full(f.shape[:2], 255, np.uint8)])[..., :3],
    "planar": lambda f: np.moveaxis(np.ascontiguousarray(np.moveaxis(f, 2, 0)), 0, 2),
    "Fortran order": np.asfortranarray,
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_every_layout_gives_the_detection_of_the_packed_frame(busy, layout):
    expected = FieldDetector(seed=3).detect(busy)
    assert expected.ball is not None and len(expected.lines) >= 2
    view = LAYOUTS[layout](busy)
    assert (view == busy).all() and view.ctypes.data != busy.ctypes.data
    before = view.tobytes()
    assert same(FieldDetector(seed=3).detect(view), expected)
    assert view.tobytes() == before                       # never written, even when read-only


def test_a_frame_is_copied_only_when_its_channels_are_not_adjacent(busy):
    detector = FieldDetector(seed=0)
    detector.detect(busy)                                 # buffers sized for this frame size

    def peak(f):
        tracemalloc.start()
        try:
            detector.detect(f)
            return tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
    for layout in ("read-only", "from bytes", "region of a larger frame, read-only",
                   "reversed, read-only", "channel-reversed view of BGR"):
        assert peak(LAYOUTS[layout](busy)) < busy.nbytes // 4, layout
    assert peak(LAYOUTS["planar"](busy)) >= busy.nbytes  # the one unavoidable copy is seen


def test_bgr_detector_on_bgr_frames_matches_rgb(series):
    rgb, bgr = FieldDetector(seed=4), FieldDetector(seed=4, order="bgr")
    for scene in series[:6]:
        expected = rgb.detect(scene.image)
        assert same(bgr.detect(np.ascontiguousarray(scene.image[..., ::-1])), expected)
        assert same(bgr.detect(scene.image[..., ::-1]), expected)          # a view, no copy


# ---- refusals ------------------------------------------------------------------------

@pytest.mark.parametrize("bad, error, match", [
    (np.zeros((48, 64, 3), np.float32), TypeError, "frame must have dtype uint8, got float32"),
    (np.zeros((48, 64, 3), np.uint16), TypeError, "frame must have dtype uint8"),
    (np.zeros((48, 64, 3), np.int8), TypeError, "frame must have dtype uint8"),
    (np.zeros((48, 64), np.uint8), ValueError, r"frame must have shape \(H, W, 3\), got \(48, 64\)"),
    (np.zeros((48, 64, 4), np.uint8), ValueError, r"frame must have shape \(H, W, 3\)"),
    (np.zeros((2, 48, 64, 3), np.uint8), ValueError, r"frame must have shape \(H, W, 3\)"),
    (np.zeros((0, 64, 3), np.uint8), ValueError, "frame must hold at least one pixel"),
    (np.zeros((48, 0, 3), np.uint8), ValueError, "frame must hold at least one pixel"),
    ([[[0, 0, 0]]], TypeError, r"frame must be a NumPy array .*\(H, W, 3\).*uint8, got list"),
    (b"\0" * 9, TypeError, "frame must be a NumPy array"),
    (None, TypeError, "frame must be a NumPy array"),
])
def test_bad_frames_are_refused_naming_the_argument(bad, error, match):
    with pytest.raises(error, match=match):
        FieldDetector().detect(bad)


@pytest.mark.parametrize("kwargs, error, match", [
    ({"order": "hsv"}, ValueError, "order must be 'rgb' or 'bgr', got 'hsv'"),
    ({"ball_window": (10, 30)}, TypeError, "ball_window must be a Window, got tuple"),
    ({"field_window": None}, TypeError, "field_window must be a Window"),
    ({"line_windows": ()}, TypeError, "line_windows must be a non-empty sequence of Window"),
    ({"line_windows": ("white",)}, TypeError, "line_windows must be a non-empty sequence"),
    ({"rows": 0}, ValueError, "rows must be from 1 to 65536, got 0"),
    ({"rows": "48"}, TypeError, "rows must be an int, got str"),
    ({"seed": True}, TypeError, "seed must be an int or None, got bool"),
    ({"columns": 70000}, ValueError, "columns must be from 1 to 65536"),
    ({"seed": "7"}, TypeError, "seed must be an int or None, got str"),
    ({"seed": 1.5}, TypeError, "seed must be an int or None, got float"),
])
def test_bad_detector_arguments_are_refused(kwargs, error, match):
    with pytest.raises(error, match=match):
        FieldDetector(**kwargs)


@pytest.mark.parametrize("shape", [(1, 1), (1, 640), (480, 1), (2, 2), (5, 3), (17, 16)])
@pytest.mark.parametrize("colour", [ORANGE, WHITE, GRASS])
def test_tiny_frames_give_an_empty_detection(shape, colour):
    tiny = np.empty(shape + (3,), np.uint8)
    tiny[...] = colour
    d = FieldDetector(seed=0).detect(tiny)
    assert d.ball is None and d.lines == []
    assert json.loads(json.dumps(d.to_dict()))["ball"] is None


# ---- reproducibility with seed -----------------------------------------------------

REPRO_FRAMES = (0, 3, 5, 8, 13)

CHILD = """
import json, sys
from orbisect_detect import FieldDetector
from orbisect_detect.scenes import make_scene
detector = FieldDetector(seed=21)
detector.detect(make_scene(99, 0).image)
out = {}
for i in reversed(%r):
    d = detector.detect(make_scene(11, i).image).to_dict()
    out[i] = [d["ball"], d["lines"]]
json.dump(out, sys.stdout)
"""


def test_same_frame_same_detection_whatever_came_before(series):
    frames = [series[i].image for i in REPRO_FRAMES]
    reference = [FieldDetector(seed=21).detect(f) for f in frames]
    libc = ctypes.CDLL(None)
    detector = FieldDetector(seed=21)
    for k in (4, 2, 0, 3, 1, 1, 4):
        libc.srand(1000 + k)                             # someone else draws from the C runtime
        libc.rand()
        detector.detect(series[30 + k].image)
        assert same(detector.detect(frames[k]), reference[k])
    # The seed matters: another one changes the fits somewhere in these frames.
    other = FieldDetector(seed=22)
    assert any(not same(other.detect(f), r) for f, r in zip(frames, reference))

    child = subprocess.run([sys.executable, "-c", CHILD % (REPRO_FRAMES,)], capture_output=True,
                           text=True, timeout=300, check=True)
    theirs = json.loads(child.stdout)
    for i, r in zip(REPRO_FRAMES, reference):
        mine = r.to_dict()
        assert theirs[str(i)] == [mine["ball"], mine["lines"]]


def test_threads_with_their_own_detectors_do_not_disturb_each_other(series):
    frames = [s.image for s in series[:8]]
    reference = [FieldDetector(seed=5).detect(f) for f in frames]
    results: dict[int, list[bool]] = {}

    def work(k):
        detector = FieldDetector(seed=5)
        order = frames if k % 2 == 0 else frames[::-1]
        got = [detector.detect(f) for f in order]
        results[k] = [same(g, r) for g, r in zip(got if k % 2 == 0 else got[::-1], reference)]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=work, args=(k,)) for k in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert results == {k: [True] * len(frames) for k in range(3)}


# ---- what is not a ball ---------------------------------------------------------------

@pytest.mark.parametrize("shape", [
    ("ellipse", 24, 12, 0.0), ("ellipse", 50, 25, 1.1), ("ellipse", 75, 25, 0.4),
    ("ellipse", 70, 35, 1.57), ("two discs", 20, 1.0, 0.0), ("two discs", 20, 1.3, 1.6),
    ("two discs", 35, 1.0, 0.7), ("two discs", 35, 1.5, 0.0),
    ("two discs", 16, 1.0, 0.0),
], ids=lambda shape: " ".join(map(str, shape)))
def test_ball_coloured_blob_that_is_not_round_is_no_ball(shape):
    kind, size, k, phi = shape
    for seed in range(2):
        if kind == "ellipse":
            cover = ellipse(300 + seed, 220, size, k, phi)
        else:
            cover = np.maximum(disc(300, 220, size), disc(300 + k * size * math.cos(phi),
                                                         220 + k * size * math.sin(phi), size))
        assert FieldDetector(seed=seed).detect(frame(paint(grass(seed), cover, ORANGE), seed)).ball is None


def test_frames_without_a_ball_give_none(series):
    assert [FieldDetector(seed=0).detect(s.image).ball for s in series if s.ball is None] == [None]
    # Grass, lines and red and yellow objects, none of them the ball's colour.
    img = paint(grass(2), stripe(-10, 300, 700, 250, 9), WHITE)
    paint(img, disc(150, 120, 30), np.array([220.0, 30.0, 35.0]))
    paint(img, disc(470, 380, 25), np.array([235.0, 215.0, 40.0]))
    paint(img, ellipse(500, 120, 40, 15, 0.3), np.array([225.0, 50.0, 20.0]))
    d = FieldDetector(seed=0).detect(frame(img, 2))
    assert d.ball is None and len(d.lines) == 1


def test_pure_grass_gives_no_ball_and_no_lines():
    for seed in range(3):
        rng = np.random.default_rng(seed)
        img = grass(seed) * (1 + 0.06 * np.tanh(3 * np.sin(XX / 40.0 + YY / 90.0 + seed)))[..., None]
        img *= (1 + 0.04 * rng.standard_normal((H, W)))[..., None]          # blades
        d = FieldDetector(seed=seed).detect(frame(img, seed, noise=4.0))
        assert d.ball is None and d.lines == []


# ---- rates on generated scenes ------------------------------------------------------

def test_rates_on_generated_scenes_stay_at_the_measured_level(series):
    # Measured: ball within 2 px in 100 % of the 39 frames with a ball, no
    # false ball, median centre error 0.21 px, line recall and precision 100 %.
    detector, tally = FieldDetector(seed=0), Tally()
    for scene in series:
        d = detector.detect(scene.image)
        tally.add(scene, d.ball, d.lines)
    s = tally.summary()
    assert s.ball_frames >= 35
    assert s.within2 >= 92.0 and tally.false_balls <= 1
    assert s.median_centre_error < 0.6
    assert s.line_recall >= 95.0 and s.line_precision >= 95.0


def test_a_detector_pickles_as_its_settings():
    import pickle

    from orbisect_detect.scenes import make_scene
    frame = make_scene(5, 1).image
    detector = FieldDetector(seed=3, rows=40)
    copy = pickle.loads(pickle.dumps(detector))
    assert repr(copy) == repr(detector) and copy.ball_search == detector.ball_search
    assert copy.detect(frame).to_dict()["lines"] == detector.detect(frame).to_dict()["lines"]


def test_stripes_across_deep_shadows_keep_their_field_runs():
    """With the shade window the dark, greyish grass of a shadow frames the
    paint as the lit grass does; without it stripes through shadows are lost."""
    from orbisect_detect import LineSearch
    from orbisect_detect.scenes import score_lines
    scenes = list(make_scenes(5, 24, "light"))
    found = {}
    for shade in (True, False):
        det = FieldDetector(seed=0, line_search=LineSearch(shade=shade))
        tally = [score_lines(det.detect(s.image).lines, s.lines) for s in scenes]
        found[shade] = sum(len(t.pairs) for t in tally)
    total = sum(len(s.lines) for s in scenes)
    assert found[True] >= 0.85 * total
    assert found[True] - found[False] >= 0.1 * total, (found, total)
    with pytest.raises(TypeError, match="shade"):
        LineSearch(shade=1)


def test_paint_in_deep_shadow_is_paint_and_a_dim_grey_on_sunlit_grass_is_not():
    """A stripe under a double shadow keeps a fifth of its light, below the
    paint windows' intensity; between shaded grass, twice as bright as it,
    it is still paint.  The same dim grey on sunlit grass (a leg, a bag) is
    not."""
    shadow = np.array([0.2, 0.21, 0.26])
    img = grass()
    img[:, :320] *= shadow
    paint(img, stripe(150, -5, 150, 485, 8), WHITE * shadow)
    paint(img, stripe(480, -5, 480, 485, 8), np.array([62.0, 62.0, 66.0]))
    lines = FieldDetector(seed=0).detect(frame(img)).lines
    xs = sorted(round((ln.x0 + ln.x1) / 2) for ln in lines)
    assert len(xs) == 1 and abs(xs[0] - 150) <= 1, lines


def test_a_patch_of_ball_colour_with_no_round_border_is_not_a_ball():
    """A small red patch of a shirt on a 320x240 frame gives a supported
    circle in its corner, but the border refinement finds no round border
    from it although every ray lies in the frame: no ball."""
    from orbisect_detect.scenes import make_scene
    scene = make_scene(2, 39, "320x240")
    assert scene.ball is None
    d = FieldDetector(seed=0, diagnostics=True).detect(scene.image)
    assert d.ball is None
    assert any(c["verdict"] == "oval" and c["support"] >= 0.6 for c in d.diagnostics["candidates"])
