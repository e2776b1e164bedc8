"""Frame sources and windows files: what a batch run and the command rely on."""
import json
import pickle
import warnings

import numpy as np
import pytest
from PIL import Image

from orbisect_detect import FIELD_WINDOW, Window
from orbisect_detect.scenes import make_scene
from orbisect_detect.sources import (ReadError, Source, expand_inputs, read_frames, read_image,
                                     split_video)
from orbisect_detect.sources import VideoIndex, index_ranges

import videos
from orbisect_detect.windowfile import WindowSet, load_windows, save_windows, update_windows_file

BALL = Window((5.0, 30.0), (0.2, 1.0), (0.1, 0.9))


# ---- images and folders --------------------------------------------------------

def test_folders_expand_to_their_images_in_sorted_order(tmp_path):
    for name in ("b.PNG", "a.jpg", "c.jpeg", "notes.txt", "clip.mp4"):
        (tmp_path / name).write_bytes(b"")
    (tmp_path / "sub.png").mkdir()                   # a folder is not an image
    (tmp_path / "empty").mkdir()
    sources, errors = expand_inputs([tmp_path, tmp_path / "x.MKV", tmp_path / "empty"])
    assert [(s.path.rsplit("/", 1)[1], s.kind) for s in sources] == \
        [("a.jpg", "image"), ("b.PNG", "image"), ("c.jpeg", "image"), ("x.MKV", "video")]
    assert [e.source for e in errors] == [str(tmp_path / "empty")]


def test_images_read_as_writable_rgb_whatever_their_mode(tmp_path):
    rgb = make_scene(1, 3).image[:40, :60]
    Image.fromarray(rgb).convert("RGBA").save(tmp_path / "rgba.png")
    Image.fromarray(rgb).convert("L").save(tmp_path / "grey.png")
    Image.fromarray(rgb).save(tmp_path / "q.jpg", quality=95)
    assert np.array_equal(read_image(tmp_path / "rgba.png"), rgb)
    grey = read_image(tmp_path / "grey.png")
    assert grey.shape == (40, 60, 3) and np.all(grey[..., 0] == grey[..., 2])
    jpeg = read_image(tmp_path / "q.jpg")
    assert jpeg.flags.writeable and np.abs(jpeg.astype(int) - rgb).mean() < 4


def test_a_failing_source_is_reported_and_the_next_one_read(tmp_path):
    Image.fromarray(make_scene(1, 0).image).save(tmp_path / "good.png")
    (tmp_path / "bad.png").write_bytes(b"\x89PNG\r\n\x1a\n broken")
    items = list(read_frames([Source(str(tmp_path / "bad.png"), "image"),
                              Source(str(tmp_path / "good.png"), "image")]))
    assert isinstance(items[0], ReadError) and str(items[0]).startswith(str(tmp_path / "bad.png"))
    assert (items[1].source, items[1].frame, items[1].image.shape) == \
        (str(tmp_path / "good.png"), 0, (480, 640, 3))


def test_sources_and_errors_cross_process_boundaries():
    s = Source("clip.mp4", "video", start=30, stop=60)
    assert pickle.loads(pickle.dumps(s)) == s
    e = pickle.loads(pickle.dumps(ReadError("clip.mp4", "invalid data", frame=41)))
    assert (e.source, e.reason, e.frame, str(e)) == ("clip.mp4", "invalid data", 41,
                                                     "clip.mp4, frame 41: invalid data")


# ---- video --------------------------------------------------------------------

@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    av = pytest.importorskip("av")
    path = tmp_path_factory.mktemp("video") / "clip.mp4"
    with av.open(str(path), "w") as container:
        stream = container.add_stream("mpeg4", rate=25)
        stream.width, stream.height, stream.pix_fmt = 160, 120, "yuv420p"
        stream.codec_context.gop_size = 6                # key frames every 6 frames
        for k in range(23):
            image = np.zeros((120, 160, 3), np.uint8)
            image[:, : 5 * k + 5] = (200, 120, 40)       # a bar growing frame by frame
            for packet in stream.encode(av.VideoFrame.from_ndarray(image, format="rgb24")):
                container.mux(packet)
        for packet in stream.encode():
            container.mux(packet)
    return str(path)


def test_video_ranges_seek_to_the_same_frames_as_a_full_read(clip):
    full = list(Source(clip, "video").frames())
    assert [f.frame for f in full] == list(range(23))
    # The bar's length tells the frames apart.
    assert [int((f.image[60, :, 0] > 100).sum()) // 5 for f in full] == [k + 1 for k in range(23)]
    parts = split_video(Source(clip, "video"), 7)
    assert [(p.start, p.stop) for p in parts] == [(0, 7), (7, 14), (14, 21), (21, 23)]
    for part in parts:
        got = list(part.frames())
        assert [f.frame for f in got] == list(range(part.start, part.stop))
        for f in got:
            assert np.array_equal(f.image, full[f.frame].image)
    assert [f.frame for f in Source(clip, "video", start=20).frames()] == [20, 21, 22]


def test_a_corrupt_video_fails_with_its_name(clip, tmp_path):
    data = open(clip, "rb").read()
    (tmp_path / "cut.mp4").write_bytes(data[:200])
    (tmp_path / "noise.mp4").write_bytes(bytes(range(256)) * 8)
    for name in ("cut.mp4", "noise.mp4"):
        items = list(read_frames([Source(str(tmp_path / name), "video")]))
        assert items and isinstance(items[-1], ReadError)
        assert str(items[-1]).startswith(str(tmp_path / name))


# ---- windows files --------------------------------------------------------------

def test_windows_file_round_trip_keeps_entries_and_defaults(tmp_path):
    path = tmp_path / "w.json"
    wide = Window((-70.0, 60.0), (0.0, 0.2), (0.4, 1.0))
    update_windows_file(path, "ball", BALL)
    ws = update_windows_file(path, "line", (wide, Window((50.0, 180.0), (0.0, 0.2), (0.4, 1.0))))
    assert list(json.loads(path.read_text())) == ["version", "ball", "line"]
    assert ws.ball == BALL and ws.field == FIELD_WINDOW and ws.line[0] == wide
    ws = update_windows_file(path, "ball", Window((1.0, 20.0), (0.3, 1.0), (0.1, 0.9)))
    assert ws.ball.hue_deg == (1.0, 20.0) and len(ws.line) == 2      # the other entry kept
    # Limits are stored rounded, readable by a person.
    save_windows(path, WindowSet(ball=Window((10.123456, 30.0), (0.123456, 1.0), (0.1, 0.9))))
    assert json.loads(path.read_text())["ball"] == {"hue_deg": [10.12, 30.0], "chroma": [0.1235, 1.0],
                                                    "intensity": [0.1, 0.9]}


@pytest.mark.parametrize("text, message", [
    ('{"bal": {}}', "unknown entries"),
    ('{"ball": {"hue_deg": [10, 30], "chroma": [0.2, 1]}}', "intensity"),
    ('{"ball": {"hue_deg": [30, 10], "chroma": [0.2, 1], "intensity": [0, 1]}}', "hue_deg"),
    ('{"line": []}', "at least one"),
    ('{"ball": {"hue_deg": [1, 2], "chroma": [0, 1], "intensity": [0, 1], "x": 1}}', "unknown keys"),
    ("[1, 2]", "JSON object"),
    ("{", "not valid JSON"),
])
def test_malformed_windows_files_are_refused_with_the_reason(tmp_path, text, message):
    path = tmp_path / "w.json"
    path.write_text(text)
    with pytest.raises(ValueError, match=message) as info:
        load_windows(path)
    assert str(path) in str(info.value)


# ---- videos as cameras and editors write them ---------------------------------------

@pytest.fixture(scope="module", params=sorted(videos.KINDS))
def awkward_video(request, tmp_path_factory):
    pytest.importorskip("av")
    path = tmp_path_factory.mktemp("awkward") / f"{request.param}.mp4"
    return videos.write_video(path, request.param)


def test_ranges_of_awkward_videos_give_the_frames_of_a_full_read(awkward_video):
    full = list(Source(awkward_video, "video").frames())
    expected = 57 if "edit-list" in awkward_video else 60      # the edit leaves three out
    assert [f.frame for f in full] == list(range(expected))
    index = VideoIndex.of(awkward_video)
    assert len(index) == expected and index.exact
    for size in (1, 5, 13):
        parts = split_video(Source(awkward_video, "video"), size)
        got = [f for p in parts for f in p.frames()]
        assert [f.frame for f in got] == list(range(expected)), size
        assert all(np.array_equal(a.image, b.image) for a, b in zip(got, full))
        # Each range is read on its own, as a worker reads it.
        part = pickle.loads(pickle.dumps(parts[len(parts) // 2]))
        assert [f.frame for f in part.frames()] == list(range(part.start, part.stop))


def test_a_video_cut_short_is_reported_after_its_frames(tmp_path):
    pytest.importorskip("av")
    whole = videos.write_video(tmp_path / "whole.mkv", "b-frames", frames=100, container="matroska")
    data = open(whole, "rb").read()
    (tmp_path / "cut.mkv").write_bytes(data[: len(data) // 2])
    items = list(read_frames([Source(str(tmp_path / "cut.mkv"), "video")]))
    frames = [x for x in items if not isinstance(x, ReadError)]
    assert 10 < len(frames) < 90 and isinstance(items[-1], ReadError)
    assert "ends early" in str(items[-1]) and str(items[-1]).startswith(str(tmp_path / "cut.mkv"))
    # The whole file is not reported, read whole or in ranges.
    assert not any(isinstance(x, ReadError) for x in read_frames([Source(whole, "video")]))
    ranges = index_ranges(Source(whole, "video"), VideoIndex.of(whole), [30])
    assert [f.frame for p in ranges for f in p.frames()] == list(range(100))


# ---- photos ---------------------------------------------------------------------

def test_exif_orientation_is_applied_as_viewers_do(tmp_path):
    upright = make_scene(1, 3).image[:60, :100]
    stored = Image.fromarray(upright).transpose(Image.Transpose.ROTATE_90)   # on its side
    exif = Image.Exif()
    exif[0x0112] = 6                    # "rotate 90 degrees clockwise to view"
    stored.save(tmp_path / "phone.png", exif=exif)
    assert np.asarray(Image.open(tmp_path / "phone.png")).shape == (100, 60, 3)
    assert np.array_equal(read_image(tmp_path / "phone.png"), upright)


def test_greyscale_images_carry_a_note_on_their_frame(tmp_path):
    rgb = make_scene(1, 3).image[:40, :60]
    Image.fromarray(rgb).convert("L").save(tmp_path / "grey.png")
    Image.fromarray(rgb).save(tmp_path / "colour.png")
    grey, colour = (next(Source(str(tmp_path / n), "image").frames()) for n in ("grey.png", "colour.png"))
    assert len(grey.notes) == 1 and "greyscale" in grey.notes[0]
    assert colour.notes == ()


def test_huge_images_are_refused_with_their_size_and_no_raw_warning(tmp_path):
    Image.new("1", (12000, 12000)).save(tmp_path / "huge.png")
    with warnings.catch_warnings():
        warnings.simplefilter("error")          # a stray warning fails the test
        with pytest.raises(ReadError, match=r"12000x12000 pixels \(144 megapixels\)"):
            read_image(tmp_path / "huge.png")
