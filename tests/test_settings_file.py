"""The settings file: windows and search settings round-trip, bad values are
refused naming the entry, old windows files load, and the command takes the
file, single settings and --diagnostics."""
import json
import subprocess
import sys

import numpy as np
import pytest
from PIL import Image

from orbisect_detect import BallSearch, LineSearch, Window
from orbisect_detect.windowfile import (WindowSet, load_settings, load_windows, save_windows,
                                        staged_windows_file)

CUSTOM = WindowSet(ball=Window((5.0, 30.0), (0.2, 1.0), (0.1, 0.9)),
                   ball_search=BallSearch(max_r=300.0, min_support=0.6, min_saturation=0.0),
                   line_search=LineSearch(max_width=90.0, min_run=4))


def test_settings_round_trip_and_keep_searches_on_tune(tmp_path):
    path = tmp_path / "settings.json"
    save_windows(path, CUSTOM)
    text = json.loads(path.read_text())
    assert text["version"] == 1
    assert text["ball_search"] == {"max_r": 300.0, "min_support": 0.6, "min_saturation": 0.0}
    assert text["line_search"] == {"max_width": 90.0, "min_run": 4}
    assert load_settings(path) == CUSTOM
    assert WindowSet.from_dict(json.loads(json.dumps(CUSTOM.to_dict()))) == CUSTOM
    # Tuning one window keeps the searches and the other entries.
    staged, ws = staged_windows_file(path, "field", Window((80.0, 160.0), (0.1, 1.0), (0.05, 0.8)))
    staged.commit()
    assert ws.ball_search == CUSTOM.ball_search and ws.line_search == CUSTOM.line_search
    assert load_windows(path).ball == CUSTOM.ball
    # A size given as null follows the frame again.
    assert WindowSet.from_dict({"ball_search": {"max_r": None}}).ball_search == BallSearch()


def test_old_windows_file_loads(tmp_path):
    old = tmp_path / "windows.json"
    old.write_text('{"ball": {"hue_deg": [7.16, 30.96], "chroma": [0.1674, 0.7917], '
                   '"intensity": [0.0897, 0.6704]}}')
    ws = load_windows(old)
    assert ws.ball.hue_deg == (7.16, 30.96) and ws.ball_search == BallSearch()


@pytest.mark.parametrize("content, match", [
    ({"version": 2}, "version 2: this orbisect reads settings files of version 1"),
    ({"version": True}, "version True"),
    ({"ball_search": {"max_radius": 10}}, r"ball_search: unknown fields \['max_radius'\]"),
    ({"ball_search": {"min_r": 50, "max_r": 20}}, "ball_search: min_r must not exceed max_r"),
    ({"ball_search": {"tolerance": "1.5"}}, "ball_search: tolerance"),
    ({"line_search": {"max_width": -1}}, "line_search: max_width"),
    ({"line_search": [1, 2]}, "line_search: a search's settings are an object"),
    ({"searches": {}}, r"unknown entries \['searches'\]"),
])
def test_bad_settings_are_refused(tmp_path, content, match):
    path = tmp_path / "s.json"
    path.write_text(json.dumps(content))
    with pytest.raises(ValueError, match=match):
        load_windows(path)


def run(*args):
    return subprocess.run([sys.executable, "-m", "orbisect_detect.cli", *map(str, args)],
                          capture_output=True, text=True, timeout=120)


def test_command_takes_settings_single_values_and_diagnostics(tmp_path):
    yy, xx = np.mgrid[:240, :320]
    cover = np.clip(60.5 - np.hypot(xx - 160, yy - 120), 0, 1)[..., None]
    img = (cover * [235, 115, 25] + (1 - cover) * [55, 140, 50]).astype(np.uint8)
    Image.fromarray(img).save(tmp_path / "big.png")
    settings = tmp_path / "settings.json"
    settings.write_text(json.dumps({"version": 1, "ball_search": {"max_r": 40}}))
    out = run("detect", tmp_path / "big.png", "--settings", settings, "--diagnostics", "--seed", "0")
    assert out.returncode == 0, out.stderr
    rec = json.loads(out.stdout)
    assert rec["ball"] is None and "outside the size range" in rec["diagnostics"]["reason"]
    # A setting on the command goes over the file's; --windows is the same option.
    out = run("detect", tmp_path / "big.png", "--windows", settings, "--ball", "max_r=none", "--seed", "0")
    rec = json.loads(out.stdout)
    assert out.returncode == 0 and abs(rec["ball"]["r"] - 60.0) < 0.3 and "diagnostics" not in rec
    out = run("detect", tmp_path / "big.png", "--ball", "max_r=10", "--ball", "min_r=20")
    assert out.returncode == 2 and "--ball: min_r must not exceed max_r" in out.stderr
    out = run("detect", tmp_path / "big.png", "--line", "max_width")
    assert out.returncode == 2 and "NAME=VALUE" in out.stderr
