"""Settings are checked when they are made: the searches, the detector, the
windows, the windows file and windows derived from samples refuse what would
fail or find nothing later, naming the field and its range."""
import doctest
import importlib
import io
import json
import math
from contextlib import redirect_stderr

import numpy as np
import pytest
from PIL import Image

from orbisect_detect import FieldDetector
from orbisect_detect.ball import BallSearch
from orbisect_detect.cli import main
from orbisect_detect.lines import LineSearch
from orbisect_detect.scenes import make_scene
from orbisect_detect.windowfile import load_windows
from orbisect_detect.windows import Window, window_from_pixels

NAN, INF = math.nan, math.inf


@pytest.mark.parametrize("kwargs, error, match", [
    ({"tolerance": NAN}, ValueError, r"tolerance must be a finite number above 0 and at most 64, got nan"),
    ({"min_r": 90.0}, ValueError, "min_r must not exceed max_r, got min_r=90.0 and max_r=80.0"),
    ({"iterations": -1}, ValueError, "iterations must be from 0 to 10000, got -1"),
    ({"iterations": 2.5}, TypeError, "iterations must be an int from 0 to 10000, got float"),
    ({"iterations": True}, TypeError, "iterations must be an int .* got bool"),
    ({"min_support": NAN}, ValueError, "min_support must be a finite number from 0 to 1, got nan"),
    ({"min_r": "10"}, TypeError, "min_r must be a number .* got str"),
    ({"candidates": 1000}, ValueError, "candidates must be from 0 to 16"),
])
def test_ball_search_refuses_bad_values(kwargs, error, match):
    with pytest.raises(error, match=match):
        BallSearch(**kwargs)


@pytest.mark.parametrize("kwargs, error, match", [
    ({"min_points": 0}, ValueError, "min_points must be from 2 to 65536, got 0"),
    ({"min_width": 30.0, "max_width": 10.0}, ValueError, "min_width must not exceed max_width"),
    ({"max_lines": 10 ** 9}, ValueError, "max_lines must be from 0 to 64"),
    ({"max_lines": False}, TypeError, "max_lines must be an int .* got bool"),
    ({"min_support": INF}, ValueError, "min_support must be a finite number from 0 to 1"),
    ({"iterations": "120"}, TypeError, "iterations must be an int .* got str"),
])
def test_line_search_refuses_bad_values(kwargs, error, match):
    with pytest.raises(error, match=match):
        LineSearch(**kwargs)


def test_settings_keep_numpy_numbers_as_plain_ones():
    s = BallSearch(min_r=np.float32(12.0), iterations=np.int64(50))
    assert type(s.min_r) is float and type(s.iterations) is int
    assert s == BallSearch(min_r=12.0, iterations=50)
    assert LineSearch(max_lines=np.int16(3)).max_lines == 3


@pytest.mark.parametrize("kwargs, match", [
    ({"ball_search": {"min_r": 5}}, "ball_search must be a BallSearch or None, got dict"),
    ({"line_search": BallSearch()}, "line_search must be a LineSearch or None, got BallSearch"),
])
def test_detector_refuses_searches_of_the_wrong_type(kwargs, match):
    with pytest.raises(TypeError, match=match):
        FieldDetector(**kwargs)


@pytest.mark.parametrize("args, error, match", [
    (((10, 36), (0, 1e30), (0, 1)), ValueError, r"chroma limits must be from 0 to 1\.2"),
    (((10, 36), (0.1, 1.0), (9, 67)), ValueError,
     r"intensity limits must be from 0 to 1 .* look like percent: write fractions, \[0\.09, 0\.67\]"),
    (((10, 36), (10, 90), (0.1, 0.9)), ValueError, r"chroma .* percent.*\[0\.1, 0\.9\]"),
    (((10, 36), ("0.1", 1.0), (0.1, 0.9)), TypeError, "chroma must be a pair of numbers"),
    (((10, 36), (0.1, 1.0), (False, True)), TypeError, "intensity must be a pair of numbers"),
    (((10, 36), (0.1, 1.0), (0.0, 10 ** 400)), ValueError, "intensity must be finite"),
    (((1e30, 1e30 + 20), (0.1, 1.0), (0.1, 0.9)), ValueError, "hue_deg limits must be from -720 to 720"),
    ((5, (0.1, 1.0), (0.1, 0.9)), TypeError, "hue_deg must be a pair of numbers"),
])
def test_windows_refuse_limits_out_of_range_or_not_numbers(args, error, match):
    with pytest.raises(error, match=match):
        Window(*args)


def write(tmp_path, entries, name="windows.json"):
    path = tmp_path / name
    path.write_text(entries if isinstance(entries, str) else json.dumps(entries))
    return path


BALL = {"hue_deg": [10, 36], "chroma": [0.1, 1.2], "intensity": [0.03, 0.95]}


@pytest.mark.parametrize("ball, match", [
    ({**BALL, "chroma": [0, 1e30]}, r"ball: chroma limits must be from 0 to 1\.2"),
    ({**BALL, "intensity": [9, 67]}, r"ball: intensity .* percent: write fractions, \[0\.09, 0\.67\]"),
    ({**BALL, "chroma": ["0.1", "1"]}, "ball: chroma must be a pair of numbers"),
    ({**BALL, "intensity": [True, 1]}, "ball: intensity must be a pair of numbers"),
    ({**BALL, "hue_deg": [10, 200]}, "ball: hue_deg must span more than 0 and less than 180"),
    ({**BALL, "hue_deg": [10, 10]}, "ball: hue_deg must span more than 0"),
    ({**BALL, "chroma": 0.5}, "ball: chroma must be a pair of numbers"),
])
def test_windows_file_refuses_bad_limits_naming_file_and_entry(tmp_path, ball, match):
    path = write(tmp_path, {"ball": ball})
    with pytest.raises(ValueError, match=f"^{path}: {match}"):
        load_windows(path)


@pytest.mark.parametrize("text, match", [
    ('{"ball": {"hue_deg": [10, 36], "chroma": [0, 1e999], "intensity": [0, 1]}}', "chroma must be finite"),
    ('{"ball": {"hue_deg": [10, 36], "chroma": [0, NaN], "intensity": [0, 1]}}', "chroma must be finite"),
    ('{"ball": {"hue_deg": [10, 36], "chroma": [0, 1%s], "intensity": [0, 1]}}' % ("0" * 400),
     "chroma must be finite"),
    ("[" * 100_000 + "]" * 100_000, "nested too deeply"),
    (" " * (1 << 20) + "{}", "larger than 1048576 bytes"),
])
def test_windows_file_refuses_odd_json_without_a_traceback(tmp_path, text, match):
    path = write(tmp_path, text)
    with pytest.raises(ValueError, match=f"^{path}: .*{match}"):
        load_windows(path)


def test_windows_file_refuses_bytes_that_are_not_text(tmp_path):
    path = tmp_path / "windows.json"
    path.write_bytes(b'{"ball": "\xff"}')
    with pytest.raises(ValueError, match=f"^{path}: not UTF-8 text"):
        load_windows(path)


@pytest.mark.parametrize("ball", [{**BALL, "chroma": [0, 1e30]}, {**BALL, "intensity": [9, 67]},
                                  {**BALL, "chroma": [False, "x"]}])
def test_detect_with_a_bad_windows_file_says_so_and_exits_2(tmp_path, ball):
    image = tmp_path / "a.png"
    Image.fromarray(make_scene(1, 3).image).save(image)
    path = write(tmp_path, {"ball": ball})
    err = io.StringIO()
    with redirect_stderr(err):
        status = main(["detect", str(image), "--windows", str(path), "--json", str(tmp_path / "out.jsonl")])
    assert status == 2
    assert err.getvalue().startswith(f"orbisect: {path}: ball: ")
    assert "Traceback" not in err.getvalue()


def test_window_from_pixels_refuses_two_hues_far_apart():
    red, cyan = [230, 30, 30], [30, 200, 200]
    with pytest.raises(ValueError, match="no dominant hue: .*hues far apart"):
        window_from_pixels(np.array([red] * 25 + [cyan] * 25, np.uint8))
    # One colour with some of another is still that colour's window.
    sample = np.array([red] * 40 + [cyan] * 10, np.uint8)
    assert window_from_pixels(sample).contains(sample[:40]).all()


@pytest.mark.parametrize("module", ["ball", "lines", "detector", "windows", "windowfile", "patterns",
                                    "_checks"])
def test_docstring_examples_of_the_checked_modules_hold(module):
    mod = importlib.import_module(f"orbisect_detect.{module}")
    result = doctest.testmod(mod, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0
