"""Every ball of the colour: a frame of several sweets gives each once with
max_balls, the best alone without; the record, the drawing, the command and
the settings file carry them."""
import json
import math
import pickle
import subprocess
import sys

import numpy as np
import pytest
from PIL import Image

from orbisect_detect import Ball, FieldDetector
from orbisect_detect.detector import Detection
from orbisect_detect.drawing import BALL_COLOUR, annotate
from orbisect_detect.windowfile import WindowSet, load_windows, save_windows

H, W = 480, 640
YY, XX = np.mgrid[0:H, 0:W].astype(np.float64)
# Five orange sweets of different sizes, apart from one another.
SWEETS = [(100.0, 110.0, 40.0), (330.0, 90.0, 22.0), (520.0, 140.0, 55.0), (180.0, 350.0, 30.0),
          (450.0, 370.0, 12.0)]


def sweets_frame(sweets=SWEETS, seed=0):
    img = np.empty((H, W, 3))
    img[:] = (60.0, 140.0, 50.0)
    img *= (1 + 0.06 * np.sin(XX / 37.0) * np.cos(YY / 29.0))[..., None]
    for x, y, r in sweets:
        cover = np.clip(r + 0.5 - np.hypot(XX - x, YY - y), 0, 1)[..., None]
        img += cover * (np.array([235.0, 110.0, 25.0]) - img)
    img += np.random.default_rng(seed).normal(0, 3.0, img.shape)
    return np.clip(np.rint(img), 0, 255).astype(np.uint8)


@pytest.fixture(scope="module")
def sweets():
    return sweets_frame()


def matches(balls, truth=SWEETS):
    """For each ball the index of the sweet it is (centre within 2 px, radius
    within 1.5 px), or None."""
    out = []
    for b in balls:
        near = [k for k, (x, y, r) in enumerate(truth)
                if math.hypot(b.x - x, b.y - y) < 2.0 and abs(b.r - r) < 1.5]
        out.append(near[0] if near else None)
    return out


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_each_sweet_is_found_once_best_first(seed):
    frame = sweets_frame(seed=seed)
    for n in (5, 8, 16):
        d = FieldDetector(seed=seed, max_balls=n, diagnostics=True).detect(frame)
        assert sorted(matches(d.balls)) == [0, 1, 2, 3, 4], (n, d.balls)
        supports = [b.support for b in d.balls]
        assert supports == sorted(supports, reverse=True) and d.ball == d.balls[0]
        verdicts = [c["verdict"] for c in d.diagnostics["candidates"]]
        assert verdicts.count("ball") == 5 and d.diagnostics["reason"] is None
    # Fewer wanted than there are: that many, each a different sweet.
    three = FieldDetector(seed=seed, max_balls=3).detect(frame).balls
    assert len(three) == 3 and len(set(matches(three))) == 3 and None not in matches(three)


def test_one_ball_by_default_and_the_same_with_max_balls_one(sweets):
    d = FieldDetector(seed=0).detect(sweets)
    assert len(d.balls) == 1 and d.balls[0] == d.ball and matches(d.balls) != [None]
    again = FieldDetector(seed=0, max_balls=1, diagnostics=True).detect(sweets)
    assert again.balls == d.balls
    assert [c["verdict"] for c in again.diagnostics["candidates"]].count("ball") == 1


def test_overlapping_sweets_are_one_ball_and_a_frame_without_gives_none():
    # A small sweet on a large one's rim: the large one is found, once, however
    # many of its circles the search tries.
    pair = [(300.0, 240.0, 50.0), (345.0, 240.0, 14.0)]
    balls = FieldDetector(seed=0, max_balls=4).detect(sweets_frame(pair)).balls
    assert matches(balls, pair) == [0]
    empty = FieldDetector(seed=0, max_balls=4).detect(sweets_frame([]))
    assert empty.ball is None and empty.balls == () and empty.to_dict()["balls"] == []


def test_record_holds_every_ball_and_detection_keeps_ball_first(sweets):
    d = FieldDetector(seed=0, max_balls=5).detect(sweets)
    rec = json.loads(json.dumps(d.to_dict()))
    assert list(rec) == ["ball", "balls", "lines", "timings"]
    assert rec["balls"] == [b.to_dict() for b in d.balls] and rec["ball"] == rec["balls"][0]
    one, two = Ball(10.0, 10.0, 5.0, 0.9), Ball(40.0, 10.0, 6.0, 0.8)
    assert Detection(one, []).balls == (one,) and Detection(None, []).balls == ()
    assert Detection(None, [], balls=[one, two]).ball == one
    with pytest.raises(ValueError, match="ball must be the first of balls"):
        Detection(two, [], balls=(one, two))
    with pytest.raises(TypeError, match="balls must be a sequence of Ball"):
        Detection(None, [], balls=({"x": 1.0},))


@pytest.mark.parametrize("value, error", [(0, ValueError), (17, ValueError), (-1, ValueError),
                                          ("3", TypeError), (True, TypeError), (2.0, TypeError),
                                          (None, TypeError)])
def test_bad_max_balls_is_refused_naming_it(value, error):
    with pytest.raises(error, match="max_balls must be"):
        FieldDetector(max_balls=value)
    with pytest.raises(error, match="max_balls must be"):
        WindowSet(max_balls=value)


def test_detector_pickles_with_max_balls_and_annotate_draws_every_ball(sweets):
    detector = FieldDetector(seed=0, max_balls=5)
    copy = pickle.loads(pickle.dumps(detector))
    assert copy.max_balls == 5 and repr(copy) == repr(detector) and "max_balls=5" in repr(copy)
    d = copy.detect(sweets)
    assert d.balls == detector.detect(sweets).balls
    picture = annotate(sweets, d)
    for b in d.balls:                    # the circle's stroke, right of each centre
        assert picture.getpixel((round(b.x + b.r + 1), round(b.y))) == BALL_COLOUR, b


def test_scaled_live_pictures_keep_every_ball():
    from orbisect_detect.live.engine import _scaled
    d = Detection(None, [], balls=(Ball(10.0, 20.0, 5.0, 0.9), Ball(60.0, 20.0, 8.0, 0.8)))
    half = _scaled(d, 0.5)
    assert [(b.x, b.r) for b in half.balls] == [(4.75, 2.5), (29.75, 4.0)] and half.ball == half.balls[0]


def test_settings_file_max_balls_round_trips_and_old_files_keep_one(tmp_path):
    path = tmp_path / "settings.json"
    save_windows(path, WindowSet(max_balls=4))
    assert json.loads(path.read_text())["max_balls"] == 4
    assert load_windows(path) == WindowSet(max_balls=4)
    assert WindowSet.from_dict(WindowSet(max_balls=4).to_dict()).max_balls == 4
    assert "max_balls" not in WindowSet().to_dict()
    assert WindowSet.from_dict({"version": 1}).max_balls == 1
    assert WindowSet(max_balls=4).detector_arguments()["max_balls"] == 4
    for bad, match in ((0, "max_balls must be from 1 to 16, got 0"),
                       ("4", "max_balls must be an int from 1 to 16, got str"),
                       (2.5, "max_balls must be an int")):
        path.write_text(json.dumps({"version": 1, "max_balls": bad}))
        with pytest.raises(ValueError, match=match):
            load_windows(path)


def run(*args):
    return subprocess.run([sys.executable, "-m", "orbisect_detect.cli", *map(str, args)],
                          capture_output=True, text=True, timeout=120)


def test_command_takes_max_balls_from_the_flag_over_the_settings_file(tmp_path, sweets):
    Image.fromarray(sweets).save(tmp_path / "sweets.png")
    out = run("detect", tmp_path / "sweets.png", "--seed", "0", "--max-balls", "5")
    assert out.returncode == 0, out.stderr
    rec = json.loads(out.stdout)
    assert len(rec["balls"]) == 5 and rec["ball"] == rec["balls"][0]
    assert sorted(matches([Ball(**b) for b in rec["balls"]])) == [0, 1, 2, 3, 4]
    settings = tmp_path / "settings.json"
    settings.write_text(json.dumps({"version": 1, "max_balls": 2}))
    out = run("detect", tmp_path / "sweets.png", "--seed", "0", "--settings", settings)
    assert out.returncode == 0 and len(json.loads(out.stdout)["balls"]) == 2
    out = run("detect", tmp_path / "sweets.png", "--seed", "0", "--settings", settings,
              "--max-balls", "1")
    assert out.returncode == 0 and len(json.loads(out.stdout)["balls"]) == 1
    for bad, message in (("0", "must be from 1 to 16, got 0"), ("17", "must be from 1 to 16, got 17"),
                         ("two", "not an integer: 'two'")):
        out = run("detect", tmp_path / "sweets.png", "--max-balls", bad)
        assert out.returncode == 2 and f"argument --max-balls: {message}" in out.stderr


def test_live_records_carry_the_settings_files_max_balls(sweets):
    import io

    from orbisect_detect.live.engine import LiveRunner
    from orbisect_detect.sources import LiveSource
    source = LiveSource("-", size=(W, H), stdin=io.BytesIO(sweets.tobytes()), drop=False)
    records = []
    runner = LiveRunner(source, windows=WindowSet(max_balls=5), seed=0)
    runner.add_listener(lambda text, record: records.append(json.loads(text)))
    with runner:
        assert runner.wait_finished(30.0)
    assert [len(r["balls"]) for r in records] == [5]
    assert records[0]["balls"] == [b.to_dict() for b in FieldDetector(seed=0, max_balls=5).detect(sweets).balls]
