"""The orbisect command, run as a user runs it: the installed console script
in a subprocess, on generated scenes written to files."""
import json
import math
import fcntl
import os
import struct
import subprocess
import sys
import termios
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from orbisect_detect.scenes import make_scene

COMMAND = Path(sys.executable).with_name("orbisect")
# (seed, index) of scenes: a plain ball, a ball with three lines, no ball.
SCENES = {"a.png": (1, 3), "b.png": (2, 0), "c.png": (2, 9)}
RECORD_KEYS = ["source", "frame", "ball", "lines", "timings"]


def run(*args, cwd=None, env=None):
    return subprocess.run([str(COMMAND), *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, env=env, timeout=300)


def records(stdout):
    return [json.loads(line) for line in stdout.splitlines()]


def without_timings(recs):
    return [{k: v for k, v in r.items() if k != "timings"} for r in recs]


@pytest.fixture(scope="module")
def frames(tmp_path_factory):
    folder = tmp_path_factory.mktemp("frames")
    for name, (seed, index) in SCENES.items():
        Image.fromarray(make_scene(seed, index).image).save(folder / name)
    return folder


def test_console_script_is_installed_with_help_on_every_command():
    assert COMMAND.is_file()
    for sub in ([], ["detect"], ["tune"], ["demo"]):
        out = run(*sub, "--help")
        assert out.returncode == 0 and "usage: orbisect" in out.stdout
    assert "--annotate" in run("detect", "--help").stdout
    assert "--box" in run("tune", "--help").stdout


def test_detect_writes_a_record_per_frame_and_annotated_pictures(frames, tmp_path):
    out = run("detect", frames, "--seed", "0", "--annotate", tmp_path / "ann")
    assert out.returncode == 0, out.stderr
    assert out.stderr == ""                       # no progress bar off a terminal
    recs = records(out.stdout)
    assert [Path(r["source"]).name for r in recs] == sorted(SCENES)
    for r in recs:
        assert list(r) == RECORD_KEYS and r["frame"] == 0
        assert set(r["timings"]) >= {"total"} and all(v >= 0 for v in r["timings"].values())
        for line in r["lines"]:
            assert list(line) == ["x0", "y0", "x1", "y1", "width", "support"]
        truth = make_scene(*SCENES[Path(r["source"]).name])
        if truth.ball is None:
            assert r["ball"] is None
        else:
            assert list(r["ball"]) == ["x", "y", "r", "support"]
            b = r["ball"]
            assert math.hypot(b["x"] - truth.ball.x, b["y"] - truth.ball.y) < 2
            assert abs(b["r"] - truth.ball.r) < 2 and 0 < b["support"] <= 1
    assert sorted(os.listdir(tmp_path / "ann")) == sorted(SCENES)

    # The picture is the frame with the ball's circle drawn where it was found.
    scene = make_scene(*SCENES["a.png"])
    picture = np.asarray(Image.open(tmp_path / "ann" / "a.png").convert("RGB"))
    assert picture.shape == scene.image.shape
    b = recs[0]["ball"]
    yy, xx = np.mgrid[:480, :640]
    ring = np.abs(np.hypot(xx - b["x"], yy - b["y"]) - b["r"]) < 0.7
    changed = np.any(picture != scene.image, axis=2)
    assert changed[ring].mean() > 0.9
    inside = np.hypot(xx - b["x"], yy - b["y"]) < b["r"] - 15     # clear of circle and cross
    inside &= (np.abs(xx - b["x"]) > 20) | (np.abs(yy - b["y"]) > 20)
    assert changed[inside].mean() < 0.01


def test_progress_bar_on_a_terminal_only(frames):
    main, side = os.openpty()                       # standard error is a terminal
    fcntl.ioctl(side, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    try:
        out = subprocess.run([str(COMMAND), "detect", str(frames)], stdout=subprocess.PIPE,
                             stderr=side, text=True, timeout=300)
        os.close(side)
        err = b""
        while chunk := _read(main):
            err += chunk
    finally:
        os.close(main)
    assert out.returncode == 0 and len(records(out.stdout)) == 3
    assert b"3/3" in err and b"frame" in err


def _read(fd):
    try:
        return os.read(fd, 4096)
    except OSError:                                  # the other side is closed
        return b""


def test_json_to_a_file_and_output_names_of_video_frames(frames, tmp_path):
    out = run("detect", frames / "a.png", frames / "c.png", "--json", tmp_path / "out.jsonl")
    assert out.returncode == 0 and out.stdout == ""
    assert [r["source"] for r in records((tmp_path / "out.jsonl").read_text())] == \
        [str(frames / "a.png"), str(frames / "c.png")]


def test_corrupt_and_missing_files_are_named_and_skipped(frames, tmp_path):
    folder = tmp_path / "mixed"
    folder.mkdir()
    good = (frames / "a.png").read_bytes()
    (folder / "1-good.png").write_bytes(good)
    (folder / "2-truncated.png").write_bytes(good[: len(good) // 3])
    (folder / "3-not-an-image.jpg").write_text("hello")
    (folder / "4-good.png").write_bytes(good)
    out = run("detect", folder, tmp_path / "missing.png", "--seed", "1")
    assert out.returncode == 1
    assert [Path(r["source"]).name for r in records(out.stdout)] == ["1-good.png", "4-good.png"]
    for name in ("2-truncated.png", "3-not-an-image.jpg", "missing.png"):
        assert name in out.stderr
    assert "3 inputs skipped" in out.stderr


def test_empty_folder_and_bad_windows_file_fail(frames, tmp_path):
    (tmp_path / "empty").mkdir()
    out = run("detect", tmp_path / "empty")
    assert out.returncode == 1 and "empty" in out.stderr
    (tmp_path / "w.json").write_text('{"ball": {"hue_deg": [10, 30]}}')
    out = run("detect", frames / "a.png", "--windows", tmp_path / "w.json")
    assert out.returncode == 2 and "w.json" in out.stderr and "chroma" in out.stderr
    assert out.stdout == ""
    out = run("tune", frames / "a.png", "--box", "1,2,3")
    assert out.returncode == 2 and "X0,Y0,X1,Y1" in out.stderr


def test_seed_gives_identical_output_twice(frames):
    first, second = (run("detect", frames, "--seed", "7") for _ in range(2))
    assert first.returncode == second.returncode == 0
    assert without_timings(records(first.stdout)) == without_timings(records(second.stdout))


def test_bgr_files_give_the_same_detection(frames, tmp_path):
    rgb = np.asarray(Image.open(frames / "b.png"))
    Image.fromarray(np.ascontiguousarray(rgb[..., ::-1])).save(tmp_path / "b.png")
    normal = records(run("detect", frames / "b.png", "--seed", "3").stdout)
    swapped = records(run("detect", tmp_path / "b.png", "--bgr", "--seed", "3").stdout)
    assert without_timings(swapped)[0]["ball"] == without_timings(normal)[0]["ball"]
    assert swapped[0]["lines"] == normal[0]["lines"]


def test_tune_updates_the_windows_file_that_detect_reads(frames, tmp_path):
    scene = make_scene(*SCENES["a.png"])                     # ball r 51 at (126, 282)
    windows = tmp_path / "w.json"
    out = run("tune", frames / "a.png", "--box", "95,250,157,314", "--windows", windows,
              cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert "ball window" in out.stdout and "% of the 3968 sample pixels" in out.stdout
    assert (tmp_path / "w-ball.png").is_file()
    saved = json.loads(windows.read_text())
    assert list(saved) == ["ball"] and list(saved["ball"]) == ["hue_deg", "chroma", "intensity"]

    # A box across the thin white line (rows 347-350 hold paint and grass).
    out = run("tune", frames / "a.png", "--box", "300,346,360,352", "--name", "line",
              "--windows", windows, "--picture", tmp_path / "line.png")
    assert out.returncode == 0, out.stderr
    assert "no hue" in out.stdout and (tmp_path / "line.png").is_file()
    saved = json.loads(windows.read_text())
    assert list(saved) == ["ball", "line"] and len(saved["line"]) == 3

    found = records(run("detect", frames / "a.png", "--windows", windows, "--seed", "0").stdout)[0]
    assert math.hypot(found["ball"]["x"] - scene.ball.x, found["ball"]["y"] - scene.ball.y) < 3
    assert any(abs(ln["y0"] - 349) < 3 and abs(ln["y1"] - 349) < 3 for ln in found["lines"])


def write_video(path, images, codec):
    import av
    with av.open(str(path), "w") as container:
        stream = container.add_stream(codec, rate=10)
        stream.width, stream.height, stream.pix_fmt = 640, 480, "yuv420p"
        stream.codec_context.gop_size = 4
        for image in images:
            for packet in stream.encode(av.VideoFrame.from_ndarray(image, format="rgb24")):
                container.mux(packet)
        for packet in stream.encode():
            container.mux(packet)


def test_video_round_trip(tmp_path):
    pytest.importorskip("av")
    scenes = [make_scene(2, k) for k in range(6)]
    write_video(tmp_path / "clip.mp4", [s.image for s in scenes], "mpeg4")
    out = run("detect", tmp_path / "clip.mp4", "--seed", "0", "--annotate", tmp_path / "ann")
    assert out.returncode == 0, out.stderr
    recs = records(out.stdout)
    assert [(r["source"], r["frame"]) for r in recs] == [(str(tmp_path / "clip.mp4"), k)
                                                          for k in range(6)]
    hits = [math.hypot(r["ball"]["x"] - s.ball.x, r["ball"]["y"] - s.ball.y) < 3
            for r, s in zip(recs, scenes) if r["ball"] is not None and s.ball is not None]
    assert len(hits) >= 5 and all(hits)
    assert sorted(os.listdir(tmp_path / "ann")) == [f"clip-{k:06d}.png" for k in range(6)]


def test_video_without_pyav_names_the_extra(tmp_path):
    (tmp_path / "clip.mp4").write_bytes(b"\0" * 100)
    code = ("import sys; sys.modules['av'] = None\n"          # as if it were not installed
            "from orbisect_detect.cli import main\n"
            f"sys.exit(main(['detect', {str(tmp_path / 'clip.mp4')!r}]))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 1
    assert "clip.mp4" in out.stderr and "pip install 'orbisect[video]'" in out.stderr


def test_demo_reports_against_the_truth_and_writes_pictures(tmp_path):
    out = run("demo", "--out", tmp_path / "demo")
    assert out.returncode == 0, out.stderr
    for k in range(1, 6):
        assert f"scene {k}" in out.stdout
        for name in (f"scene-{k}.png", f"found/scene-{k}.png"):
            assert Image.open(tmp_path / "demo" / name).size == (640, 480)
    assert "drawn at" in out.stdout and "found at" in out.stdout
    assert "median time per frame (fastest of 5 runs): scan" in out.stdout
