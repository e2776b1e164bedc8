"""The orbisect command, run as a user runs it: the installed console script
in a subprocess, on generated scenes written to files."""
import json
import math
import fcntl
import os
import signal
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from orbisect_detect.scenes import make_scene

COMMAND = Path(sys.executable).with_name("orbisect")
# (seed, index) of scenes: a plain ball, a ball with three lines, no ball.
SCENES = {"a.png": (1, 3), "b.png": (2, 0), "c.png": (2, 9)}
RECORD_KEYS = ["source", "frame", "ball", "balls", "lines", "timings"]


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
    assert list(saved) == ["version", "ball"] and saved["version"] == 1 and list(saved["ball"]) == ["hue_deg", "chroma", "intensity"]

    # A box across the thin white line (rows 347-350 hold paint and grass).
    out = run("tune", frames / "a.png", "--box", "300,346,360,352", "--name", "line",
              "--windows", windows, "--picture", tmp_path / "line.png")
    assert out.returncode == 0, out.stderr
    assert "no hue" in out.stdout and (tmp_path / "line.png").is_file()
    saved = json.loads(windows.read_text())
    assert list(saved) == ["version", "ball", "line"] and len(saved["line"]) == 3

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


# ---- a bad frame, a bad file ---------------------------------------------------------

def test_a_frame_the_detector_fails_on_costs_only_itself(frames, tmp_path, monkeypatch, capsys):
    from orbisect_detect import FieldDetector
    from orbisect_detect.cli import main
    detect = FieldDetector.detect
    b = np.asarray(Image.open(frames / "b.png"))

    def failing(self, image):
        if np.array_equal(image, b):
            raise ZeroDivisionError("division by zero")
        return detect(self, image)

    monkeypatch.setattr(FieldDetector, "detect", failing)
    assert main(["detect", str(frames), "--seed", "0", "--json", str(tmp_path / "out.jsonl")]) == 1
    err = capsys.readouterr().err
    assert f"{frames / 'b.png'}, frame 0: the detector failed on it (ZeroDivisionError" in err
    assert [Path(r["source"]).name for r in records((tmp_path / "out.jsonl").read_text())] == \
        ["a.png", "c.png"]


def test_video_cut_short_is_named_with_exit_1(tmp_path):
    pytest.importorskip("av")
    import videos
    whole = videos.write_video(tmp_path / "whole.mkv", "dropped", frames=100, container="matroska")
    data = open(whole, "rb").read()
    (tmp_path / "cut.mkv").write_bytes(data[: len(data) // 2])
    out = run("detect", tmp_path / "cut.mkv")
    assert out.returncode == 1 and f"{tmp_path / 'cut.mkv'}, frame " in out.stderr
    assert "ends early" in out.stderr and 10 < len(records(out.stdout)) < 90


def test_photos_upright_greyscale_noted_huge_refused(tmp_path):
    scene = make_scene(*SCENES["a.png"])
    exif = Image.Exif()
    exif[0x0112] = 6
    Image.fromarray(scene.image).transpose(Image.Transpose.ROTATE_90).save(tmp_path / "phone.png",
                                                                           exif=exif)
    Image.fromarray(scene.image).convert("L").save(tmp_path / "grey.png")
    Image.new("1", (12000, 12000)).save(tmp_path / "huge.png")
    out = run("detect", tmp_path / "phone.png", tmp_path / "grey.png", tmp_path / "huge.png")
    assert out.returncode == 1
    ball = records(out.stdout)[0]["ball"]          # where the upright picture has it
    assert math.hypot(ball["x"] - scene.ball.x, ball["y"] - scene.ball.y) < 2
    assert out.stderr.count("a greyscale image") == 1 and "grey.png: a greyscale image" in out.stderr
    assert "huge.png: the image is too large: 12000x12000" in out.stderr
    assert "Warning" not in out.stderr
    assert "EXIF orientation" in run("detect", "--help").stdout


def test_a_file_name_that_is_not_utf8_is_kept_in_the_record(frames, tmp_path):
    import base64
    name = os.fsencode(tmp_path) + b"/bad\xffname.png"
    with open(name, "wb") as f:
        f.write((frames / "a.png").read_bytes())
    out = subprocess.run([os.fsencode(COMMAND), b"detect", name], capture_output=True, timeout=300)
    assert out.returncode == 0, out.stderr
    (rec,) = [json.loads(line) for line in out.stdout.splitlines()]
    assert base64.b64decode(rec["source_bytes"]) == name
    assert os.fsencode(rec["source"]) == name
    assert "source_bytes" not in records(run("detect", frames / "a.png").stdout)[0]


# ---- outputs never destroy inputs -----------------------------------------------------

def test_outputs_that_are_inputs_or_the_windows_file_are_refused_untouched(frames, tmp_path):
    image = tmp_path / "v.png"
    image.write_bytes((frames / "a.png").read_bytes())
    windows = tmp_path / "w.json"
    windows.write_text("{}")
    (tmp_path / "link.jsonl").symlink_to(image)
    os.link(image, tmp_path / "hard.jsonl")
    before = image.read_bytes()
    for args in ([image, "--json", image], [tmp_path, "--json", tmp_path / "v.png"],
                 [image, "--json", tmp_path / "link.jsonl"], [image, "--json", tmp_path / "hard.jsonl"],
                 [image, "--windows", windows, "--json", windows],
                 [image, "--annotate", image],
                 [frames / "a.png", "--windows", windows, "--annotate", windows]):
        out = run("detect", *args)
        assert out.returncode == 2 and "would be destroyed" in out.stderr, (args, out.stderr)
        assert out.stdout == ""
    assert image.read_bytes() == before and windows.read_text() == "{}"
    assert sorted(os.listdir(tmp_path)) == ["hard.jsonl", "link.jsonl", "v.png", "w.json"]


def test_pictures_never_replace_inputs_nor_each_other(frames, tmp_path):
    same = tmp_path / "same"
    same.mkdir()
    Image.fromarray(make_scene(*SCENES["a.png"]).image).save(same / "x.jpg", quality=95)
    (same / "x.png").write_bytes((frames / "b.png").read_bytes())
    before = (same / "x.png").read_bytes()
    alone = records(run("detect", same / "x.png", "--seed", "0").stdout)
    out = run("detect", same, "--annotate", same, "--seed", "0")
    assert out.returncode == 0, out.stderr
    assert (same / "x.png").read_bytes() == before
    assert without_timings(records(out.stdout)[1:]) == without_timings(alone)
    assert sorted(os.listdir(same)) == ["x.jpg", "x.jpg.png", "x.png", "x.png.png"]
    # Two inputs of one name, in two folders: the second picture gets the suffix.
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "a.png").write_bytes((frames / "b.png").read_bytes())
    out = run("detect", frames / "a.png", tmp_path / "other" / "a.png", "--annotate", tmp_path / "ann")
    assert out.returncode == 0 and sorted(os.listdir(tmp_path / "ann")) == ["a.png", "a.png.png"]


def test_an_unwritable_picture_is_named_and_the_run_goes_on(frames, tmp_path):
    (tmp_path / "ann" / "b.png").mkdir(parents=True)         # the picture's name is a folder
    out = run("detect", frames, "--annotate", tmp_path / "ann", "--seed", "0")
    assert out.returncode == 1
    assert f"{tmp_path / 'ann' / 'b.png'}: cannot write the picture" in out.stderr
    assert len(records(out.stdout)) == 3 and (tmp_path / "ann" / "c.png").is_file()


def test_json_file_is_replaced_only_by_a_run_that_ends(frames, tmp_path):
    target = tmp_path / "real.jsonl"
    target.write_text("earlier results\n")
    (tmp_path / "out.jsonl").symlink_to(target)
    out = run("detect", tmp_path / "missing.png", "--json", tmp_path / "out.jsonl")
    assert out.returncode == 1 and "left as it was" in out.stderr
    assert target.read_text() == "earlier results\n"
    out = run("detect", frames / "a.png", "--json", tmp_path / "out.jsonl")
    assert out.returncode == 0 and len(records(target.read_text())) == 1
    assert (tmp_path / "out.jsonl").is_symlink()
    assert sorted(os.listdir(tmp_path)) == ["out.jsonl", "real.jsonl"]      # no file left over


@pytest.mark.parametrize("sig, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_an_interrupted_run_keeps_complete_records(frames, tmp_path, sig, status):
    folder = tmp_path / "many"
    folder.mkdir()
    for k in range(400):
        (folder / f"{k:03d}.png").symlink_to(frames / "a.png")
    (tmp_path / "out.jsonl").write_text("earlier results\n")
    p = subprocess.Popen([str(COMMAND), "detect", str(folder), "--json", str(tmp_path / "out.jsonl")],
                         stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:              # until a record is written
        partial = [f for f in os.listdir(tmp_path) if f.endswith(".partial")]
        if partial and os.path.getsize(tmp_path / partial[0]) > 0:
            break
        time.sleep(0.02)
    p.send_signal(sig)
    _, err = p.communicate(timeout=120)
    assert p.returncode == status, err
    lines = (tmp_path / "out.jsonl").read_text().splitlines()
    assert 0 < len(lines) < 400 and all(json.loads(line)["frame"] == 0 for line in lines)
    assert sorted(os.listdir(tmp_path)) == ["many", "out.jsonl"]


# ---- tune ------------------------------------------------------------------------------

def test_tune_writes_nothing_unless_all_is_written(frames, tmp_path):
    windows = tmp_path / "w.json"
    windows.write_text('{"field": {"hue_deg": [75, 170], "chroma": [0.14, 1], "intensity": [0.04, 0.8]}}\n')
    before = windows.read_text()
    out = run("tune", frames / "a.png", "--box", "95,250,157,314", "--windows", windows,
              "--picture", tmp_path / "nodir" / "p.png")
    assert out.returncode == 2 and "nodir" in out.stderr
    assert windows.read_text() == before and sorted(os.listdir(tmp_path)) == ["w.json"]
    # A windows file that is a symlink keeps its link; its target is updated.
    (tmp_path / "link.json").symlink_to(windows)
    out = run("tune", frames / "a.png", "--box", "95,250,157,314", "--windows", tmp_path / "link.json")
    assert out.returncode == 0, out.stderr
    assert (tmp_path / "link.json").is_symlink() and list(json.loads(windows.read_text())) == \
        ["version", "ball", "field"]
    assert sorted(os.listdir(tmp_path)) == ["link-ball.png", "link.json", "w.json"]


def test_tune_takes_negative_box_corners_and_warns_of_a_wide_window(frames, tmp_path):
    out = run("tune", frames / "a.png", "--box", "-10,-10,40,40", "--name", "field",
              "--windows", tmp_path / "w.json")
    assert out.returncode == 0, out.stderr
    assert "box 0,0,40,40" in out.stdout
    # A box of turf saved as the ball: its window takes in much of the field.
    out = run("tune", frames / "a.png", "--box", "400,40,440,80", "--windows", tmp_path / "w.json")
    assert out.returncode == 0, out.stderr
    share = float(out.stderr.split("also selects ")[1].split(" %")[0])
    assert share > 20 and "of the frame outside the box" in out.stderr
    out = run("tune", frames / "a.png", "--box", "95,250,157,314", "--windows", tmp_path / "w.json")
    assert out.returncode == 0 and out.stderr == ""


def test_json_to_a_pipe_or_device_writes_into_it(frames, tmp_path):
    import threading
    pipe = tmp_path / "records"
    os.mkfifo(pipe)
    got = []
    reader = threading.Thread(target=lambda: got.append(pipe.read_text()))
    reader.start()
    out = run("detect", frames / "a.png", "--json", pipe)
    reader.join(60)
    assert out.returncode == 0, out.stderr
    assert len(records(got[0])) == 1 and pipe.is_fifo() and os.listdir(tmp_path) == ["records"]


def test_output_rules_are_callable_from_python(tmp_path):
    from orbisect_detect.outputs import OutputClash, PictureNames, check_outputs
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "clip-000003.png").write_bytes(b"")     # a file named like a picture
    os.link(tmp_path / "in" / "clip-000003.png", tmp_path / "elsewhere.jsonl")
    with pytest.raises(OutputClash, match="elsewhere.jsonl is an input of the run"):
        check_outputs([tmp_path / "in"], json_path=tmp_path / "elsewhere.jsonl")
    check_outputs([tmp_path / "in"], json_path=tmp_path / "in" / "new.jsonl",
                  annotate_dir=tmp_path / "in")
    names = PictureNames(tmp_path / "in", [tmp_path / "in"])
    got = [names.path(s, f, video=True) for s, f in (("v/clip.mp4", 3), ("w/clip.mkv", 3),
                                                     ("v/clip.mp4", 4), ("x/clip.mp4", 3))]
    assert [Path(p).name for p in got] == ["clip.mp4-000003.png", "clip.mkv-000003.png",
                                           "clip-000004.png", "clip.mp4-000003-2.png"]
