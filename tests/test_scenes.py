"""Generated scenes: reproducible, truth that agrees with the pixels, and the
scoring rules on hand-made cases."""
import math
from dataclasses import dataclass

import numpy as np
import pytest

from orbisect_detect.scenes import (BallTruth, LineTruth, Tally, line_fit, make_scene,
                                    make_scenes, score_ball, score_lines)


@pytest.fixture(scope="module")
def series():
    return list(make_scenes(11, 80))


def orange(image):
    f = image.astype(np.float32)
    r, g, b = f[..., 0], f[..., 1], f[..., 2]
    return (r > g) & (g > b) & (r - b > 0.45 * r) & (g - b > 0.1 * (r - b)) & (g - b < 0.75 * (r - b))


def whitish(image):
    f = image.astype(np.float32)
    return (f.max(axis=-1) - f.min(axis=-1) < 0.25 * f.max(axis=-1)) & (f.min(axis=-1) > 80)


# ---- generation ------------------------------------------------------------

def test_same_seed_and_index_give_the_same_bytes():
    a, b = make_scene(5, 3), make_scene(5, 3)
    assert a.image.tobytes() == b.image.tobytes()
    assert (a.ball, a.lines, a.seed, a.index) == (b.ball, b.lines, 5, 3)
    assert make_scene(5, 4).image.tobytes() != a.image.tobytes()
    assert make_scene(6, 3).image.tobytes() != a.image.tobytes()
    assert [s.image.tobytes() for s in make_scenes(5, 5)][3] == a.image.tobytes()


def test_frame_layout(series):
    for s in series[:5]:
        assert s.image.shape == (480, 640, 3) and s.image.dtype == np.uint8
        assert s.image.flags.c_contiguous


def test_series_covers_the_advertised_cases(series):
    balls = [s.ball for s in series if s.ball is not None]
    lines = [t for s in series for t in s.lines]
    assert 3 <= len(series) - len(balls) <= 16                    # about one frame in ten
    assert all(12 <= b.r <= 60 for b in balls)
    assert any(b.cut for b in balls) and any(b.occluded for b in balls)
    assert any(not (b.cut or b.occluded) for b in balls)
    assert all(1 <= len(s.lines) <= 3 for s in series)
    assert all(3 <= t.width <= 16 for t in lines)
    assert any(t.y0 == t.y1 for t in lines) and any(t.x0 == t.x1 for t in lines)
    on_edge = [(min(t.x0, t.y0, 639 - t.x0, 479 - t.y0) < 0, min(t.x1, t.y1, 639 - t.x1, 479 - t.y1) < 0)
               for t in lines]
    assert any(e == (True, True) for e in on_edge) and any(not all(e) for e in on_edge)
    for t in lines:                         # clipped to the frame
        for x, y in ((t.x0, t.y0), (t.x1, t.y1)):
            assert -0.5 - 1e-9 <= x <= 639.5 + 1e-9 and -0.5 - 1e-9 <= y <= 479.5 + 1e-9


def test_cut_flag_matches_geometry(series):
    for s in series:
        b = s.ball
        if b is not None:
            out = b.x - b.r < -0.5 or b.y - b.r < -0.5 or b.x + b.r > 639.5 or b.y + b.r > 479.5
            assert b.cut == out
            assert 0 <= b.x <= 639 and 0 <= b.y <= 479             # centre always in the frame


def test_ball_truth_matches_the_orange_pixels(series):
    yy, xx = np.mgrid[:480, :640]
    checked = 0
    for s in series:
        b = s.ball
        if b is None:
            continue
        d = np.hypot(xx - b.x, yy - b.y)
        mask = orange(s.image)
        ring = mask[(d > b.r + 2) & (d < b.r + 5)]
        assert ring.mean() < 0.05
        inside = mask[d < b.r - 2].mean()
        assert inside > (0.4 if b.occluded else 0.97)
        if b.cut or b.occluded:
            continue
        # sub-pixel: the orange area is centred on the truth, of the true size
        w = (mask & (d < b.r + 4)).astype(float)
        cx, cy = (w * xx).sum() / w.sum(), (w * yy).sum() / w.sum()
        assert math.hypot(cx - b.x, cy - b.y) < 0.5
        assert abs(math.sqrt(w.sum() / math.pi) - b.r) < 0.8
        checked += 1
    assert checked > 30


def test_line_truth_runs_over_white_paint(series):
    for s in series:
        white = whitish(s.image)
        f = s.image.astype(np.int16)
        r, g, b = f[..., 0], f[..., 1], f[..., 2]
        on_top = ((f.max(axis=-1) < 90) & (f.max(axis=-1) - f.min(axis=-1) < 20)   # a robot's leg
                  | (r - b > 50) & (r > g - 15))                                   # a red or yellow object
        for t in s.lines:
            length = math.hypot(t.x1 - t.x0, t.y1 - t.y0)
            ux, uy = (t.x1 - t.x0) / length, (t.y1 - t.y0) / length
            k = np.linspace(3, length - 3, 60)
            px, py = t.x0 + k * ux, t.y0 + k * uy
            if s.ball is not None:                       # the ball lies on top of the paint
                keep = np.hypot(px - s.ball.x, py - s.ball.y) > s.ball.r + 3
                px, py = px[keep], py[keep]
            iy, ix = np.rint(py).astype(int), np.rint(px).astype(int)
            seen = ~on_top[iy, ix]
            assert white[iy, ix][seen].mean() > 0.8, (s.index, t)
            # beside the stripe: grass (or another stripe, now and then)
            off = t.width / 2 + 4
            qx = np.clip(np.rint(px - uy * off), 0, 639).astype(int)
            qy = np.clip(np.rint(py + ux * off), 0, 479).astype(int)
            assert white[qy, qx].mean() < 0.5, (s.index, t)


# ---- scoring ---------------------------------------------------------------

@dataclass(frozen=True)
class Seg:
    x0: float
    y0: float
    x1: float
    y1: float


def rotated(t, degrees):
    """t turned about its mid point."""
    mx, my = (t.x0 + t.x1) / 2, (t.y0 + t.y1) / 2
    c, s = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
    ends = [(mx + c * (x - mx) - s * (y - my), my + s * (x - mx) + c * (y - my))
            for x, y in ((t.x0, t.y0), (t.x1, t.y1))]
    return Seg(*ends[0], *ends[1])


TRUE_LINE = LineTruth(100.0, 200.0, 300.0, 200.0, 8.0)       # half width 4: margin 6 px


def test_line_angle_limit():
    assert line_fit(rotated(TRUE_LINE, 0.9), TRUE_LINE) is not None
    assert line_fit(rotated(TRUE_LINE, 1.5), TRUE_LINE) is None
    assert line_fit(rotated(TRUE_LINE, 179.5), TRUE_LINE) is not None    # direction does not matter


def test_line_end_points_near_the_centre_line_segment():
    assert line_fit(Seg(110, 205.9, 290, 205.9), TRUE_LINE) == pytest.approx(5.9)
    assert line_fit(Seg(110, 206.1, 290, 206.1), TRUE_LINE) is None
    assert line_fit(Seg(95, 200, 305, 200), TRUE_LINE) == pytest.approx(5.0)
    assert line_fit(Seg(150, 200, 320, 200), TRUE_LINE) is None         # runs on past the painted end
    assert line_fit(Seg(150, 200, 150, 200), TRUE_LINE) is None         # no direction


def test_lines_match_one_to_one():
    a = LineTruth(0.0, 100.0, 600.0, 100.0, 10.0)
    b = LineTruth(0.0, 112.0, 600.0, 112.0, 10.0)
    # the first found line fits both (a better), the second only a: best fit first pairs all
    s = score_lines([Seg(0, 105.5, 600, 105.5), Seg(0, 101, 600, 101)], [a, b])
    assert s.pairs == ((0, 1), (1, 0)) and s.matched == 2
    dup = score_lines([Seg(0, 100, 600, 100), Seg(10, 101, 590, 101)], [a])
    assert dup.matched == 1 and dup.found_count == 2
    tally = Tally()
    scene = make_scene(11, 0)
    t = scene.lines[0]
    tally.add(scene, scene.ball, list(scene.lines) + [Seg(t.x0, t.y0, t.x1, t.y1)])
    summary = tally.summary()
    assert summary.line_recall == 100.0
    assert summary.line_precision == pytest.approx(100.0 * len(scene.lines) / (len(scene.lines) + 1))


@dataclass(frozen=True)
class Ball:
    x: float
    y: float
    r: float


def test_ball_rules():
    truth = BallTruth(300.0, 200.0, 30.0, cut=False, occluded=False)
    near = score_ball(Ball(301.9, 200.0, 32.1), truth)
    assert not near.within2 and near.within5 and not near.false_ball
    assert near.centre_error == pytest.approx(1.9) and near.radius_error == pytest.approx(2.1)
    assert score_ball(Ball(300.0, 201.5, 28.5), truth).within2
    assert not score_ball(Ball(314.0, 200.0, 30.0), truth).false_ball           # within r / 2
    assert score_ball(Ball(316.0, 200.0, 30.0), truth).false_ball
    small = BallTruth(300.0, 200.0, 8.0, cut=False, occluded=False)
    assert not score_ball(Ball(304.9, 200.0, 8.0), small).false_ball            # within 5 px
    assert score_ball(Ball(305.1, 200.0, 8.0), small).false_ball
    assert score_ball(Ball(1.0, 1.0, 10.0), None).false_ball
    missed = score_ball(None, truth)
    assert not (missed.false_ball or missed.within5) and math.isnan(missed.centre_error)
    assert score_ball(None, None) == score_ball(None, None)


def test_tally_percentages(series):
    with_ball = next(s for s in series if s.ball is not None)
    without = next(s for s in series if s.ball is None)
    b = with_ball.ball
    tally = Tally()
    tally.add(with_ball, Ball(b.x + 1, b.y, b.r), [], seconds=0.002)
    tally.add(with_ball, Ball(b.x + 3, b.y, b.r), [], seconds=0.004)
    tally.add(without, Ball(10, 10, 20), [], seconds=0.009)
    tally.add(without, None, [])
    s = tally.summary()
    assert (s.frames, s.ball_frames) == (4, 2)
    assert (s.within2, s.within5, s.false_balls) == (50.0, 100.0, 25.0)
    assert s.median_centre_error == pytest.approx(2.0) and s.ms_per_frame == pytest.approx(4.0)
    assert s.line_recall == 0.0 and s.line_precision == 100.0
