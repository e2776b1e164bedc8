"""Frame sources and windows files: what a batch run and the command rely on."""
import json
import pickle

import numpy as np
import pytest
from PIL import Image

from orbisect_detect import FIELD_WINDOW, Window
from orbisect_detect.scenes import make_scene
from orbisect_detect.sources import (ReadError, Source, expand_inputs, read_frames, read_image,
                                     split_video)
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
    assert list(json.loads(path.read_text())) == ["ball", "line"]
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
